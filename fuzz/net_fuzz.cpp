// Fuzz target: the IPv4 and IPv6 address parsers (with a print/parse round
// trip), and the replies a proxy may send: the first byte picks the HTTP
// CONNECT, SOCKS4 or SOCKS5 handshake, the rest is what the proxy answers,
// delivered over a socket pair to the real handshake code.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "libnet/libnet.h"
#include "libpal/network/os_ipaddr.h"

namespace {

void fuzz_addresses(const char *t)
{
    os_ipv4 v4{};
    if (os_ipv4_cstr_set(&v4, t)) {
        char buf[OS_IPV4_CSTR_MAXN];
        os_ipv4 again{};
        CHECK(os_ipv4_cstr(&v4, buf, sizeof buf));
        CHECK(os_ipv4_cstr_set(&again, buf) && again.addr == v4.addr);
    }
    os_ipv6 v6{};
    if (os_ipv6_cstr_set(&v6, t)) {
        char buf[OS_IPV6_CSTR_MAXN];
        os_ipv6 again{};
        CHECK(os_ipv6_cstr(&v6, buf, sizeof buf));
        CHECK(os_ipv6_cstr_set(&again, buf));
        CHECK(os_ipv6_is_equal(&v6, &again));
    }
    os_ipaddr a{};
    if (os_ipaddr_ip_cstr_set(&a, t, OS_IPADDR_UNSPEC)) {
        char buf[OS_IPADDR_CSTR_MAXN];
        CHECK(os_ipaddr_cstr(&a, buf, sizeof buf));
        CHECK(os_ipaddr_host_cstr(&a, buf, sizeof buf));
    }
}

// Runs one handshake against a proxy whose whole answer is reply.
void fuzz_handshake(uint8_t kind, const uint8_t *reply, size_t len)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return;
    // The answer waits in the socket, then the proxy stops sending.
    if (len && write(sv[1], reply, len) != ssize_t(len)) {
        close(sv[0]);
        close(sv[1]);
        return;
    }
    shutdown(sv[1], SHUT_WR);
    net_conn c{};
    c.type = NET_TCP_TYPE;
    c.handle = os_socket_from_fd(sv[0]);
    os_socket_ctrl(static_cast<os_socket_t>(c.handle), OS_SOCKET_CTRL_SET_BLOCK, 0);
    c.timeout = 0;
    net_proxy px{};
    if (kind & 0x10) {
        strcpy(px.user, "u");
        strcpy(px.pwd, "p");
    }
    vperror_t e{};
    int r;
    switch (kind % 3) {
    case 0: r = proxy_http_init(&c, "127.0.0.1", 6688, &px, &e); break;
    case 1: r = proxy_sock4_init(&c, "127.0.0.1", 6688, &px, &e); break;
    default: r = proxy_sock5_init(&c, kind & 0x20 ? "example.localhost" : "::1", 6688, &px, &e); break;
    }
    CHECK(r == 0 || r == -1);
    CHECK(r == 0 || e.msg[0]);
    close(sv[0]);
    close(sv[1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size == 0 || size > 20000)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    fuzz_addresses(text.c_str());
    fuzz_handshake(data[0], data + 1, size - 1);
    return 0;
}
