// Sockets: kinds and protocols as the kernel reports them, control codes,
// non-blocking connect, readiness waits (also for descriptors above 1023),
// accept, data calls that answer 0 for "nothing now", and the UDP sender.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "libpal/network/os_socket.h"
#include "net_test_util.h"
#include "test_util.h"

namespace {

int opt(os_socket_t s, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(os_socket_fd(s), level, name, &v, &len);
    return v;
}

struct closer {
    os_socket_t s;
    ~closer()
    {
        if (s)
            os_socket_exit(s);
    }
};

os_ipaddr loopback(int port = 0, int family = OS_IPADDR_IPV4)
{
    os_ipaddr a{};
    os_ipaddr_set(&a, family == OS_IPADDR_IPV6 ? "::1" : "127.0.0.1", uint16_t(port), family);
    return a;
}

// A listening TCP socket on loopback and its port.
os_socket_t listener(int *port, int family = OS_IPADDR_IPV4)
{
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, family);
    os_ipaddr a = loopback(0, family);
    EXPECT_TRUE(os_socket_bind(s, &a));
    EXPECT_TRUE(os_socket_listen(s, 8));
    os_ipaddr local{};
    os_socket_local(s, &local);
    *port = os_ipaddr_port(&local);
    return s;
}

} // namespace

TEST(Socket, KindsAndProtocols)
{
    struct row {
        int type, family, domain, stype, proto;
    };
    const row rows[] = {
        {0x101, 0, AF_INET, SOCK_STREAM, IPPROTO_TCP},  {0x101, 1, AF_INET, SOCK_STREAM, IPPROTO_TCP},
        {0x101, 3, AF_UNIX, SOCK_STREAM, 0},            {0x202, 2, AF_INET6, SOCK_DGRAM, IPPROTO_UDP},
        {0x303, 1, AF_INET, SOCK_RAW, IPPROTO_ICMP},    {0x303, 2, AF_INET6, SOCK_RAW, IPPROTO_ICMPV6},
    };
    for (const row &r : rows) {
        zk_test::log_capture cap;
        closer c{os_socket_init(r.type, r.family)};
        if (!c.s && r.stype == SOCK_RAW)
            continue; // raw sockets need a privilege the sandbox may not give
        ASSERT_NE(c.s, nullptr) << std::hex << r.type << " " << r.family;
        EXPECT_EQ(opt(c.s, SOL_SOCKET, SO_DOMAIN), r.domain);
        EXPECT_EQ(opt(c.s, SOL_SOCKET, SO_TYPE), r.stype);
        EXPECT_EQ(opt(c.s, SOL_SOCKET, SO_PROTOCOL), r.proto);
        EXPECT_TRUE(fcntl(os_socket_fd(c.s), F_GETFL) & O_NONBLOCK);
    }
    zk_test::log_capture cap;
    EXPECT_EQ(os_socket_init(0, 1), nullptr);
    EXPECT_TRUE(cap.has("expr[type]: assert failed"));
    EXPECT_EQ(os_socket_init(0x401, 1), nullptr);
}

TEST(Socket, ControlCodes)
{
    closer c{os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4)};
    uint8_t b = 9;
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_GET_BLOCK, &b), 1);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_SET_BLOCK, 1), 1);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_GET_BLOCK, &b), 1);
    EXPECT_EQ(b, 1);
    os_socket_ctrl(c.s, OS_SOCKET_CTRL_SET_BLOCK, 0);

    int64_t size = 0;
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, 4096), 1);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &size), 1);
    EXPECT_EQ(size, int64_t(opt(c.s, SOL_SOCKET, SO_RCVBUF))); // the kernel's doubled value
    EXPECT_GE(size, 4096);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1), 1);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_GET_TCP_NODELAY, &b), 1);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_SET_KEEPALIVE, 1), 1);
    EXPECT_EQ(opt(c.s, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_SET_TCP_KEEPIDLE, 30), 1);
    EXPECT_EQ(opt(c.s, IPPROTO_TCP, TCP_KEEPIDLE), 30);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_SET_NOSIGPIPE, 1), 0);

    zk_test::log_capture cap;
    EXPECT_EQ(os_socket_ctrl(c.s, 14, 0), 0);
    EXPECT_TRUE(cap.has("unknown socket ctrl: 14\n"));
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_ADD_MEMBERSHIP, "x"), 0);
    EXPECT_EQ(os_socket_ctrl(c.s, OS_SOCKET_CTRL_GET_BLOCK, (uint8_t *)nullptr), 0);
    EXPECT_TRUE(cap.has("expr[pis_block]: assert failed"));
}

TEST(Socket, RefusedConnectReportsOnWait)
{
    const net_test::refused_port refused;
    const int port = refused.port();
    closer c{os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4)};
    os_ipaddr a = loopback(port);
    const int r = os_socket_connect(c.s, &a);
    ASSERT_GE(r, -1);
    if (r == 0) {
        errno = 0;
        EXPECT_EQ(os_socket_wait(c.s, OS_SOCKET_WAIT_WRITE, 2000), -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    }
}

TEST(Socket, ConnectAcceptAndData)
{
    int port;
    closer l{listener(&port)};
    closer c{os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4)};
    os_ipaddr a = loopback(port);
    int r = os_socket_connect(c.s, &a);
    if (r == 0) {
        EXPECT_EQ(os_socket_wait(c.s, OS_SOCKET_WAIT_WRITE, 2000), OS_SOCKET_WAIT_WRITE);
        r = os_socket_connect(c.s, &a); // EISCONN now
    }
    ASSERT_EQ(r, 1);
    ASSERT_EQ(os_socket_wait(l.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
    os_ipaddr peer{};
    closer s{os_socket_accept(l.s, &peer)};
    ASSERT_NE(s.s, nullptr);
    EXPECT_TRUE(fcntl(os_socket_fd(s.s), F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(opt(s.s, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_TRUE(os_ipaddr_ip_is_loopback(&peer));
    os_ipaddr mine{};
    os_socket_local(c.s, &mine);
    EXPECT_TRUE(os_ipaddr_is_equal(&mine, &peer));

    char buf[16];
    EXPECT_EQ(os_socket_recv(s.s, buf, sizeof buf), 0); // nothing yet
    EXPECT_EQ(os_socket_wait(s.s, OS_SOCKET_WAIT_READ, 0), 0);
    EXPECT_EQ(os_socket_recv(s.s, buf, 0), 0);
    EXPECT_EQ(os_socket_send(c.s, "hello", 5), 5);
    EXPECT_EQ(os_socket_wait(s.s, OS_SOCKET_WAIT_READ, -1), OS_SOCKET_WAIT_READ);
    EXPECT_EQ(os_socket_recv(s.s, buf, sizeof buf), 5);
    iovec iov[2] = {{(void *)"ab", 2}, {(void *)"cd", 2}};
    EXPECT_EQ(os_socket_sendv(c.s, iov, 2), 4);
    EXPECT_TRUE(os_socket_recv_full(s.s, buf, 4));
    EXPECT_EQ(std::string(buf, 4), "abcd");
    // The peer closes: a receive answers 0 like "no data", and the full
    // receive tells them apart by failing after a successful wait.
    EXPECT_TRUE(os_socket_kill(c.s, 1));
    EXPECT_FALSE(os_socket_recv_full(s.s, buf, 4));
    EXPECT_EQ(os_socket_recv(s.s, buf, sizeof buf), 0);
}

TEST(Socket, IPv6BindIsV6OnlyAndPairs)
{
    int port;
    closer l{listener(&port, OS_IPADDR_IPV6)};
    EXPECT_EQ(opt(l.s, IPPROTO_IPV6, IPV6_V6ONLY), 1);
    os_socket_t pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_STREAM, pair));
    closer a{pair[0]}, b{pair[1]};
    EXPECT_TRUE(fcntl(os_socket_fd(a.s), F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(os_socket_send(a.s, "x", 1), 1);
    char c;
    EXPECT_EQ(os_socket_recv(b.s, &c, 1), 1);
    zk_test::log_capture cap;
    EXPECT_FALSE(os_socket_pair(0x500, pair));
}

TEST(Socket, HighDescriptorsAndDescriptorZero)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 1600)
        GTEST_SKIP() << "descriptor limit " << rl.rlim_cur;
    os_socket_t pair[2];
    ASSERT_TRUE(os_socket_pair(OS_SOCKET_STREAM, pair));
    const int high = 1500;
    ASSERT_EQ(dup2(os_socket_fd(pair[0]), high), high);
    os_socket_exit(pair[0]);
    closer a{os_socket_from_fd(high)}, b{pair[1]};
    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_READ, 0), 0);
    os_socket_send(b.s, "z", 1);
    EXPECT_EQ(os_socket_wait(a.s, OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE, 1000),
              OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE);

    // An accepted connection that gets descriptor 0 is a connection.
    int port;
    closer l{listener(&port)};
    closer c{os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4)};
    os_ipaddr addr = loopback(port);
    os_socket_connect(c.s, &addr);
    os_socket_wait(l.s, OS_SOCKET_WAIT_READ, 2000);
    const int saved = dup(0);
    close(0);
    os_socket_t s0 = os_socket_accept(l.s, nullptr);
    EXPECT_EQ(os_socket_fd(s0), 0);
    EXPECT_NE(s0, nullptr);
    if (s0)
        os_socket_exit(s0);
    dup2(saved, 0);
    close(saved);
}

TEST(Socket, UdpSenderReachesReceiver)
{
    closer r{os_socket_init(OS_SOCKET_UDP, OS_IPADDR_IPV4)};
    os_ipaddr a = loopback(0);
    ASSERT_TRUE(os_socket_bind(r.s, &a));
    os_ipaddr local{};
    os_socket_local(r.s, &local);
    os_socket_t u = os_udp_open("127.0.0.1", os_ipaddr_port(&local));
    ASSERT_NE(u, nullptr);
    EXPECT_FALSE(fcntl(os_socket_fd(u), F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(os_udp_send(u, "ping", 4), 4);
    ASSERT_EQ(os_socket_wait(r.s, OS_SOCKET_WAIT_READ, 2000), OS_SOCKET_WAIT_READ);
    char buf[8];
    os_ipaddr from{};
    EXPECT_EQ(os_socket_urecv(r.s, &from, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_TRUE(os_ipaddr_ip_is_loopback(&from));
    os_udp_close(u);
}
