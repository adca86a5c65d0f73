// IP addresses: the IPv4 and IPv6 text parsers against known answers (where
// they deliberately differ from the C library), printing, equality across
// families, system address conversion and resolution.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include "libpal/network/os_ipaddr.h"
#include "test_util.h"

namespace {

std::string v4_text(const char *in)
{
    os_ipv4 a{};
    if (!os_ipv4_cstr_set(&a, in))
        return "invalid";
    char buf[OS_IPV4_CSTR_MAXN];
    return os_ipv4_cstr(&a, buf, sizeof buf);
}

std::string v6_text(const char *in)
{
    os_ipv6 a{};
    if (!os_ipv6_cstr_set(&a, in))
        return "invalid";
    char buf[OS_IPV6_CSTR_MAXN];
    return os_ipv6_cstr(&a, buf, sizeof buf);
}

os_ipaddr addr(const char *text, uint16_t port = 0, int family = OS_IPADDR_UNSPEC)
{
    os_ipaddr a{};
    EXPECT_TRUE(os_ipaddr_set(&a, text, port, family)) << text;
    return a;
}

std::string cstr(const os_ipaddr &a)
{
    char buf[OS_IPADDR_CSTR_MAXN + 64];
    const char *r = os_ipaddr_cstr(&a, buf, sizeof buf);
    return r ? r : "(null)";
}

} // namespace

TEST(Ipv4, ParseKnownAnswers)
{
    struct row {
        const char *in, *out;
    };
    // Leading zeros are decimal and empty numbers count as 0, unlike
    // inet_pton and inet_aton.
    const row rows[] = {
        {"1.2.3.4", "1.2.3.4"},   {"256.1.1.1", "invalid"}, {"1.2.3.4.5", "invalid"}, {"", "invalid"},
        {"1.2.3", "invalid"},     {"01.002.3.4", "1.2.3.4"}, {"010.0.0.1", "10.0.0.1"}, {"1..2.3", "1.0.2.3"},
        {"1.2.3.", "1.2.3.0"},    {".1.2.3", "0.1.2.3"},    {"1.2.3.4 ", "invalid"}, {"0x7f.0.0.1", "invalid"},
        {"2560.1.1.1", "invalid"}, {"255.255.255.255", "255.255.255.255"}, {"99999999999999999999.1.1.1", "invalid"},
    };
    for (const row &r : rows)
        EXPECT_EQ(v4_text(r.in), r.out) << "[" << r.in << "]";
}

TEST(Ipv4, SameNetAndTests)
{
    EXPECT_EQ(os_ipv4_cstr_same_net("10.1.2.3", "255.255.0.0", "10.1.200.9"), 1);
    EXPECT_EQ(os_ipv4_cstr_same_net("10.1.2.3", "255.255.0.0", "10.2.2.3"), 0);
    EXPECT_EQ(os_ipv4_cstr_same_net("10.1.2.3", "255.255.0", "10.1.2.3"), -1);
    os_ipv4 a{};
    os_ipv4_cstr_set(&a, "127.0.0.1");
    EXPECT_TRUE(os_ipv4_is_loopback(&a));
    os_ipv4_cstr_set(&a, "127.0.0.2");
    EXPECT_FALSE(os_ipv4_is_loopback(&a));
}

TEST(Ipv6, ParseKnownAnswers)
{
    struct row {
        const char *in, *out;
    };
    const row rows[] = {
        {"::", "0000:0000:0000:0000:0000:0000:0000:0000"},
        {"::1", "0000:0000:0000:0000:0000:0000:0000:0001"},
        {"1::", "0001:0000:0000:0000:0000:0000:0000:0000"},
        {"1::2:3:4:5:6:7", "0001:0000:0002:0003:0004:0005:0006:0007"},
        {"fe80::1%3", "fe80:0000:0000:0000:0000:0000:0000:0001%3"},
        {"fe80::1%eth0", "fe80:0000:0000:0000:0000:0000:0000:0001%0"},
        {"1:2:3:4:5:6:7:", "0001:0002:0003:0004:0005:0006:0007:0000"},
        {"::FFFF:10.0.0.1", "0000:0000:0000:0000:0000:ffff:0a00:0001"},
        {"::10.0.0.1", "0000:0000:0000:0000:0000:0000:0a00:0001"},
        {"ABCD:ef01::", "abcd:ef01:0000:0000:0000:0000:0000:0000"},
        // "::" standing for one zero group at either end
        {"::1:2:3:4:5:6:7", "0000:0001:0002:0003:0004:0005:0006:0007"},
        {"1:2:3:4:5:6:7::", "0001:0002:0003:0004:0005:0006:0007:0000"},
        {"1:2:3::4:5:6:7", "0001:0002:0003:0000:0004:0005:0006:0007"},
        {"1:2:3:4::5:6:7:8", "invalid"},
        {"1::2::3", "invalid"},
        {"1:::2", "invalid"},
        {":1::2", "invalid"},
        {"12345::1", "invalid"},
        {"fe80::12345%1", "invalid"},
        {"1:2:3:4:5:6:7:8:9", "invalid"},
        {"64:ff9b::1.2.3.4", "invalid"},
        {"fe80::1%", "invalid"},
        {"1:2:3:4:5:6:7:8", "0001:0002:0003:0004:0005:0006:0007:0008"},
        {"1:2:3:4:5:6:7", "invalid"},
        {"", "invalid"},
        {"g::1", "invalid"},
        {"::1:2:3:4:5:6:7:8", "invalid"},
    };
    for (const row &r : rows)
        EXPECT_EQ(v6_text(r.in), r.out) << "[" << r.in << "]";
}

TEST(Ipv6, ScopeKeptOnlyForZonedAndLinkLocal)
{
    os_ipv6 a{};
    a.scope = 7;
    ASSERT_TRUE(os_ipv6_cstr_set(&a, "::ffff:1.2.3.4"));
    EXPECT_EQ(a.scope, 7u); // the IPv4 forms do not touch it
    ASSERT_TRUE(os_ipv6_cstr_set(&a, "2001:db8::1"));
    EXPECT_EQ(a.scope, 0u);
    // Link-local addresses that differ in scope differ; global ones do not.
    os_ipv6 b{}, c{};
    os_ipv6_cstr_set(&b, "fe80::1%1");
    os_ipv6_cstr_set(&c, "fe80::1%2");
    EXPECT_FALSE(os_ipv6_is_equal(&b, &c));
    b.addr[0] = c.addr[0] = 0x20;
    EXPECT_TRUE(os_ipv6_is_equal(&b, &c));
}

TEST(Ipaddr, PrintsAndFamilies)
{
    EXPECT_EQ(cstr(addr("10.0.0.1", 80)), "10.0.0.1:80");
    EXPECT_EQ(cstr(addr("fe80::1%2", 443)), "[fe80:0000:0000:0000:0000:0000:0000:0001%2]:443");
    os_ipaddr empty{};
    empty.port = 99;
    EXPECT_EQ(cstr(empty), "0.0.0.0:0");
    EXPECT_EQ(os_ipaddr_family(&(empty = addr("10.1.2.3"))), OS_IPADDR_IPV4);
    os_ipaddr v6 = addr("fe80::1%2");
    EXPECT_EQ(os_ipaddr_family(&v6), OS_IPADDR_IPV6);
    EXPECT_EQ(v6.ipv6.scope, 2u);
    char buf[OS_IPADDR_CSTR_MAXN];
    EXPECT_STREQ(os_ipaddr_host_cstr(&v6, buf, sizeof buf), "[fe80:0000:0000:0000:0000:0000:0000:0001%2]");
    os_ipaddr v4 = addr("10.0.0.1", 80);
    EXPECT_STREQ(os_ipaddr_host_cstr(&v4, buf, sizeof buf), "10.0.0.1");
    // A Unix path keeps its ':' when printed as a host.
    os_ipaddr u{};
    ASSERT_TRUE(os_ipaddr_unix_set_cstr(&u, "/tmp/a:b", 0));
    char ubuf[OS_UNIXADDR_CSTR_MAXN];
    EXPECT_STREQ(os_ipaddr_host_cstr(&u, ubuf, sizeof ubuf), "/tmp/a:b");
    // Failed parses leave the record alone.
    os_ipaddr keep = addr("1.2.3.4", 5);
    EXPECT_FALSE(os_ipaddr_ip_cstr_set(&keep, "1.2.3", OS_IPADDR_IPV4));
    EXPECT_EQ(cstr(keep), "1.2.3.4:5");
    EXPECT_TRUE(os_ipaddr_is_ipv4_cstr("1.2.3.4"));
    EXPECT_FALSE(os_ipaddr_is_ipv4_cstr("::1"));
    EXPECT_TRUE(os_ipaddr_is_ipv6_cstr("::1"));
}

TEST(Ipaddr, EqualityAcrossFamiliesAndConversion)
{
    os_ipaddr v4 = addr("10.0.0.1"), mapped = addr("::ffff:10.0.0.1", 0, OS_IPADDR_IPV6);
    os_ipaddr unixa{};
    os_ipaddr_unix_set_cstr(&unixa, "/tmp/x", 0);
    EXPECT_TRUE(os_ipaddr_ip_is_equal(&v4, &mapped));
    EXPECT_TRUE(os_ipaddr_ip_is_equal(&mapped, &v4));
    EXPECT_FALSE(os_ipaddr_ip_is_equal(&v4, &unixa));
    os_ipaddr e1{}, e2{};
    EXPECT_TRUE(os_ipaddr_ip_is_equal(&e1, &e2));
    EXPECT_FALSE(os_ipaddr_ip_is_equal(&e1, &v4));
    mapped.port = 1;
    EXPECT_FALSE(os_ipaddr_is_equal(&v4, &mapped));

    // Part access converts the record itself.
    ASSERT_NE(os_ipaddr_ipv4(&mapped), nullptr);
    EXPECT_EQ(os_ipaddr_family(&mapped), OS_IPADDR_IPV4);
    EXPECT_EQ(cstr(mapped), "10.0.0.1:1");
    ASSERT_NE(os_ipaddr_ipv6(&mapped), nullptr);
    EXPECT_EQ(cstr(mapped), "[0000:0000:0000:0000:0000:ffff:0a00:0001]:1");
    os_ipaddr other6 = addr("2001:db8::1");
    EXPECT_EQ(os_ipaddr_ipv4(&other6), nullptr);
    EXPECT_EQ(os_ipaddr_ipv4(&unixa), nullptr);

    // IPv4 -> IPv6 family change maps the address; family 0 empties.
    os_ipaddr f = addr("1.2.3.4", 9);
    os_ipaddr_family_set(&f, OS_IPADDR_IPV6);
    EXPECT_EQ(cstr(f), "[0000:0000:0000:0000:0000:ffff:0102:0304]:9");
    os_ipaddr_family_set(&f, OS_IPADDR_UNSPEC);
    EXPECT_TRUE(os_ipaddr_is_empty(&f));

    // Raw bytes.
    const uint8_t b4[4] = {192, 168, 1, 2};
    os_ipaddr r{};
    EXPECT_TRUE(os_ipaddr_bin_set(&r, b4, 4, OS_IPADDR_IPV4));
    EXPECT_EQ(cstr(r), "192.168.1.2:0");
    EXPECT_FALSE(os_ipaddr_bin_set(&r, b4, 3, OS_IPADDR_IPV4));
    EXPECT_FALSE(os_ipaddr_bin_set(&r, b4, 4, OS_IPADDR_IPV6));
}

TEST(Ipaddr, CopyFromEmptySourceKeepsDestinationAddress)
{
    os_ipaddr dst = addr("1.2.3.4", 5), src{};
    src.port = 77;
    src.state = OS_IPADDR_IPV4;
    os_ipaddr_copy(&dst, &src);
    EXPECT_EQ(dst.port, 77);
    EXPECT_FALSE(os_ipaddr_is_empty(&dst));
    EXPECT_EQ(cstr(dst), "1.2.3.4:77");
    os_ipaddr v6 = addr("::1", 3);
    os_ipaddr_copy(&dst, &v6);
    EXPECT_TRUE(os_ipaddr_is_equal(&dst, &v6));
}

TEST(Ipaddr, SystemAddressConversion)
{
    sockaddr_storage ss;
    os_ipaddr a = addr("10.0.0.1", 80);
    ASSERT_EQ(os_sockaddr_load(&ss, &a), 16);
    auto *in4 = reinterpret_cast<sockaddr_in *>(&ss);
    EXPECT_EQ(in4->sin_family, AF_INET);
    EXPECT_EQ(ntohs(in4->sin_port), 80);
    char text[64];
    EXPECT_STREQ(inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text), "10.0.0.1");
    os_ipaddr back;
    EXPECT_EQ(os_sockaddr_save(&back, reinterpret_cast<sockaddr *>(&ss)), 16);
    EXPECT_TRUE(os_ipaddr_is_equal(&a, &back));

    os_ipaddr ll = addr("fe80::1%4", 443), global = addr("2001:db8::1%4", 443);
    ASSERT_EQ(os_sockaddr_load(&ss, &ll), 28);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_scope_id, 4u);
    EXPECT_EQ(os_sockaddr_save(&back, reinterpret_cast<sockaddr *>(&ss)), 28);
    EXPECT_TRUE(os_ipaddr_is_equal(&ll, &back));
    ASSERT_EQ(os_sockaddr_load(&ss, &global), 28);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_scope_id, 0u);

    os_ipaddr abs{};
    ASSERT_TRUE(os_ipaddr_unix_set_cstr(&abs, "0123456789", 1));
    ASSERT_EQ(os_sockaddr_load(&ss, &abs), int(sizeof(sockaddr_un)));
    auto *un = reinterpret_cast<sockaddr_un *>(&ss);
    EXPECT_EQ(un->sun_path[0], '\0');
    EXPECT_EQ(std::string(un->sun_path + 1, 10), "0123456789");
    EXPECT_EQ(os_sockaddr_save(&back, reinterpret_cast<sockaddr *>(&ss)), 110);
    EXPECT_TRUE(os_unixaddr_is_abstract(&back.unixaddr));
    EXPECT_STREQ(back.unixaddr.path, "0123456789");

    // Paths too long for the system's address are refused.
    zk_test::log_capture cap;
    os_ipaddr longp{};
    longp.state = OS_IPADDR_SET | OS_IPADDR_UNIX;
    memset(longp.unixaddr.path, 'a', 107);
    longp.unixaddr.path[107] = '\0';
    EXPECT_EQ(os_sockaddr_load(&ss, &longp), 110);
    longp.unixaddr.abstract = 1;
    EXPECT_EQ(os_sockaddr_load(&ss, &longp), 0);
    EXPECT_TRUE(cap.has("n < sizeof(addru->sun_path) - 1"));
    EXPECT_FALSE(os_ipaddr_unix_set_cstr(&longp, std::string(108, 'b').c_str(), 0));
}

TEST(Ipaddr, Resolution)
{
    os_ipaddr a{};
    a.state = OS_IPADDR_IPV4;
    a.port = 80;
    ASSERT_TRUE(os_addrinfo_addr("localhost", &a));
    EXPECT_EQ(cstr(a), "127.0.0.1:80");
    os_ipaddr none{};
    none.port = 5;
    EXPECT_FALSE(os_addrinfo_addr("", &none)); // refused without asking a name server
    EXPECT_EQ(none.port, 5); // untouched
    char name[256];
    os_ipaddr lo = addr("127.0.0.1");
    ASSERT_NE(os_addrinfo_name(&lo, name, sizeof name), nullptr);
    EXPECT_STREQ(name, "localhost");
}
