// Connections: opening from URLs, plain TCP reads and writes against a
// scripted loopback peer (time-outs as short counts, aborts, peers that
// close or stall), lines, the memory loopback and the block-size probe.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "libnet/libnet.h"
#include "libpal/basic/pl_base.h"
#include "net_test_util.h"
#include "test_util.h"

using net_test::read_n;
using net_test::tcp_peer;
using net_test::write_all;

namespace {

struct conn_guard {
    net_conn c{};
    ~conn_guard() { net_close(&c); }
};

std::string url_of(int port, const std::string &proto = "tcp", const std::string &query = "")
{
    return proto + "://127.0.0.1:" + std::to_string(port) + "/" + (query.empty() ? "" : "?" + query);
}

uint64_t elapsed_ms(uint64_t start) { return os_clock_ms() - start; }

} // namespace

TEST(NetOpen, UrlChecks)
{
    struct row {
        const char *url;
        int code;
        const char *msg;
    };
    const row rows[] = {
        {"ftp://127.0.0.1:21", -37, "unkouwn protocol"},
        {"tcp://127.0.0.1", -2, "needs to specify the port"},
        {"zkp://127.0.0.1/x", -2, "needs to specify the port"},
        {"tcp://127.0.0.1:99999", -2, "url syntax error"},
    };
    for (const row &r : rows) {
        zk_test::log_capture cap;
        net_conn c{};
        vperror_t e{};
        EXPECT_EQ(net_open3(&c, r.url, nullptr, &e), -1) << r.url;
        EXPECT_EQ(e.code, r.code) << r.url;
        EXPECT_STREQ(e.msg, r.msg) << r.url;
    }
}

TEST(NetOpen, TimeoutsFromUrl)
{
    tcp_peer peer([](int, int) {});
    struct row {
        const char *query;
        int timeout;
    };
    const row rows[] = {{"", 15000}, {"read_timeout=3", 3000}, {"read_timeout=0", 15000}, {"read_timeout=601", 15000}};
    for (const row &r : rows) {
        zk_test::log_capture cap;
        conn_guard g;
        vperror_t e{};
        ASSERT_EQ(net_open3(&g.c, url_of(peer.port(), "zkp", r.query).c_str(), nullptr, &e), 0) << e.msg;
        EXPECT_EQ(g.c.timeout, r.timeout) << r.query;
    }
    conn_guard preset;
    preset.c.timeout = 1234;
    vperror_t e{};
    ASSERT_EQ(net_open3(&preset.c, url_of(peer.port()).c_str(), nullptr, &e), 0);
    EXPECT_EQ(preset.c.timeout, 1234);
}

TEST(NetOpen, MemoryLoopback)
{
    conn_guard g;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, "net://mem", nullptr, &e), 0);
    EXPECT_EQ(g.c.type, NET_MEM_TYPE);
    char buf[10];
    EXPECT_EQ(net_write(&g.c, "abc", 3), 3);
    EXPECT_EQ(net_read(&g.c, buf, 10), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(net_read(&g.c, buf, 10), 0);
    EXPECT_EQ(net_write(&g.c, "de", 2), 2); // empties first
    EXPECT_EQ(net_read(&g.c, buf, 1), 1);
    EXPECT_EQ(net_read(&g.c, buf + 1, 10), 1);
    EXPECT_EQ(std::string(buf, 2), "de");
    EXPECT_EQ(net_write(&g.c, buf, 0), 0);
}

TEST(NetGets, Lines)
{
    struct row {
        std::string input;
        size_t size;
        int first;
        const char *text;
        int second;
    };
    const row rows[] = {
        {"ab\r\ncd\n", 4096, 2, "ab", 2},
        {"\n", 4096, 1, "", 0},
        {std::string("\0x\n", 3), 4096, 1, "", 1},
        {"\r\n", 4096, 0, "", 0},
        {"abc\n", 4, 3, "abc", 0},
        {"abcd\n", 4, -1, "", 0},
        {"abcdef\nz\n", 4, -1, "", 1},
    };
    for (const row &r : rows) {
        conn_guard g;
        vperror_t e{};
        ASSERT_EQ(net_open3(&g.c, "net://mem", nullptr, &e), 0);
        net_write(&g.c, r.input.data(), r.input.size());
        char buf[4096];
        EXPECT_EQ(net_gets(&g.c, buf, r.size), r.first) << r.input;
        if (r.first >= 0) {
            EXPECT_STREQ(buf, r.text) << r.input;
        }
        EXPECT_EQ(net_gets(&g.c, buf, r.size), r.second) << r.input;
    }
    // The same lines from a socket peer, where bytes wait together.
    for (const row &r : rows) {
        tcp_peer peer([&](int fd, int) {
            write_all(fd, r.input);
            read_n(fd, 1, 2000);
        });
        conn_guard g;
        g.c.timeout = 300;
        vperror_t e{};
        ASSERT_EQ(net_open3(&g.c, url_of(peer.port()).c_str(), nullptr, &e), 0);
        char buf[4096];
        EXPECT_EQ(net_gets(&g.c, buf, r.size), r.first) << r.input;
        if (r.first >= 0) {
            EXPECT_STREQ(buf, r.text) << r.input;
        }
        EXPECT_EQ(net_gets(&g.c, buf, r.size), r.second) << r.input;
        net_write(&g.c, "q", 1);
    }
    // Lines and the bytes behind them: a line read never takes the next.
    tcp_peer peer([](int fd, int) {
        write_all(fd, "first\r\nsecond\nRAW");
        read_n(fd, 1, 2000);
    });
    conn_guard s;
    s.c.timeout = 300;
    vperror_t se{};
    ASSERT_EQ(net_open3(&s.c, url_of(peer.port()).c_str(), nullptr, &se), 0);
    char line[64];
    EXPECT_EQ(net_gets(&s.c, line, sizeof line), 5);
    EXPECT_EQ(net_gets(&s.c, line, sizeof line), 6);
    EXPECT_EQ(net_read(&s.c, line, 3), 3);
    EXPECT_EQ(std::string(line, 3), "RAW");
    net_write(&s.c, "q", 1);

    conn_guard z;
    vperror_t e{};
    ASSERT_EQ(net_open3(&z.c, "net://mem", nullptr, &e), 0);
    net_write(&z.c, "a\nb\0", 4);
    char buf[16];
    EXPECT_EQ(net_gets_z(&z.c, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "a\nb");
}

TEST(NetTcp, DataTimeoutsAndClose)
{
    std::atomic<bool> release{false};
    tcp_peer peer([&](int fd, int idx) {
        if (idx == 0) { // echo one request, then send 40 of 100 and stall
            std::string got = read_n(fd, 5);
            write_all(fd, got);
            write_all(fd, std::string(40, 'x'));
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else { // a line, then close
            write_all(fd, "line one\r\n");
        }
    });
    conn_guard g;
    g.c.timeout = 400;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, url_of(peer.port()).c_str(), nullptr, &e), 0) << e.msg;
    EXPECT_EQ(net_write(&g.c, "hello", 5), 5);
    char buf[100];
    EXPECT_EQ(net_read(&g.c, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    uint64_t t0 = os_clock_ms();
    EXPECT_EQ(net_read(&g.c, buf, 100), 40); // a short count, not an error
    EXPECT_GE(elapsed_ms(t0), 380u);
    EXPECT_LT(elapsed_ms(t0), 20000u); // not stuck until the peer lets go
    EXPECT_FALSE(g.c.disconnected);
    // Nothing at all before the time-out: 0, and net_gets answers 0 too.
    EXPECT_EQ(net_read(&g.c, buf, 10), 0);
    EXPECT_EQ(net_gets(&g.c, buf, sizeof buf), 0);
    release = true;

    // Bounds below are far from the time-out, so that a busy machine passes
    // and a read that waited for the time-out fails.
    conn_guard h;
    h.c.timeout = 30000;
    ASSERT_EQ(net_open3(&h.c, url_of(peer.port()).c_str(), nullptr, &e), 0);
    EXPECT_EQ(net_gets(&h.c, buf, sizeof buf), 8);
    EXPECT_STREQ(buf, "line one");
    // The peer closed: the count so far, the flag set, then -1 at once.
    t0 = os_clock_ms();
    EXPECT_EQ(net_read(&h.c, buf, 10), 0);
    EXPECT_LT(elapsed_ms(t0), 15000u);
    EXPECT_TRUE(h.c.disconnected);
    EXPECT_EQ(net_read(&h.c, buf, 10), -1);
    EXPECT_EQ(net_write(&h.c, "x", 1), -1);
    net_reset_flags(&h.c);
    EXPECT_FALSE(h.c.disconnected);
}

TEST(NetTcp, ReadSecondTimeout)
{
    tcp_peer peer([](int fd, int) {
        write_all(fd, "ab");
        read_n(fd, 1, 30000); // keep the link until the client is done
    });
    conn_guard g;
    g.c.timeout = 30000;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, url_of(peer.port()).c_str(), nullptr, &e), 0);
    char buf[10];
    const uint64_t t0 = os_clock_ms();
    EXPECT_EQ(net_read2(&g.c, buf, 10, 100), 2);
    EXPECT_LT(elapsed_ms(t0), 15000u);
    EXPECT_EQ(g.c.timeout, 30000);
    net_write(&g.c, "q", 1);
}

TEST(NetTcp, AbortFlagAndHook)
{
    std::atomic<bool> done{false};
    tcp_peer peer([&](int, int) { // holds the link without reading
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    net_abort_hook hook{};
    conn_guard g;
    g.c.timeout = 10000;
    g.c.hook = &hook;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, url_of(peer.port()).c_str(), nullptr, &e), 0);
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        net_abort_hook_set(&hook, 1);
    });
    char buf[4];
    const uint64_t t0 = os_clock_ms();
    errno = 0;
    EXPECT_EQ(net_read(&g.c, buf, 4), -1);
    EXPECT_EQ(errno, ECANCELED); // maps to -14 "aborted"
    EXPECT_EQ(os_verr_get(errno), VERR_ABORTED);
    EXPECT_LT(elapsed_ms(t0), 5000u); // the time-out is 10 s
    raiser.join();

    // The hook's function answers too; the record's own flag stops writes.
    net_abort_hook_set(&hook, 0);
    hook.func = [](void *, int) { return 1; };
    EXPECT_EQ(net_read(&g.c, buf, 4), -1);
    net_abort_set(&g.c, 1);
    // A socket buffer fills before the write has to wait for the flag.
    std::string big(8 << 20, 'b');
    EXPECT_EQ(net_write(&g.c, big.data(), big.size()), -1);
    EXPECT_EQ(errno, ECANCELED);
    done = true;
}

TEST(NetTcp, ConnectFailures)
{
    // Refused.
    const net_test::refused_port refused;
    const int port = refused.port();
    vperror_t e{};
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", port, nullptr, &e), nullptr);
    EXPECT_EQ(e.code, -461);
    EXPECT_STREQ(e.msg, "connection refused");
    // An unresolvable host never reaches a name server for an empty name.
    EXPECT_EQ(sock_tcp_connect("", 80, nullptr, &e), nullptr);
    EXPECT_EQ(e.code, -2);

    // A listener whose queue is full leaves new connects in progress: the
    // time-out and the abort hook end them.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(lfd, 0);
    socklen_t len = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
    const int full_port = ntohs(a.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 8; i++) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(f);
    }
    net_opts o{};
    o.connect_timeout = 300;
    uint64_t t0 = os_clock_ms();
    os_socket_t s = sock_tcp_connect("127.0.0.1", full_port, &o, &e);
    if (s) {
        os_socket_exit(s);
        GTEST_LOG_(INFO) << "this kernel accepts beyond the backlog; time-out path not reached";
    } else {
        EXPECT_EQ(e.code, -40);
        EXPECT_STREQ(e.msg, "connection timeout");
        EXPECT_GE(elapsed_ms(t0), 290u);
        net_abort_hook hook{};
        hook.abort = 1;
        o.connect_timeout = 60000;
        o.hook = &hook;
        t0 = os_clock_ms();
        EXPECT_EQ(sock_tcp_connect("127.0.0.1", full_port, &o, &e), nullptr);
        EXPECT_EQ(e.code, -14);
        EXPECT_STREQ(e.msg, "connection aborted");
        EXPECT_LT(elapsed_ms(t0), 30000u);
    }
    for (int f : fillers)
        close(f);
    close(lfd);
}

TEST(NetConn, CloseKindsAndConsole)
{
    net_conn serial{};
    serial.type = NET_SERIAL_TYPE;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    serial.handle = reinterpret_cast<void *>(intptr_t(p[0]));
    serial.timeout = 50;
    EXPECT_EQ(net_close(&serial), -1);
    EXPECT_NE(fcntl(p[0], F_GETFD), -1); // still open
    char c;
    EXPECT_EQ(net_read(&serial, &c, 1), 0); // nothing within the time-out
    write(p[1], "s", 1);
    EXPECT_EQ(net_read(&serial, &c, 1), 1);
    close(p[0]);
    close(p[1]);

    // A console write that cannot reach its file fails.
    fflush(stdout);
    const int saved = dup(1);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    dup2(full, 1);
    net_conn con{};
    con.type = NET_CONSOLE_TYPE;
    const int r = net_write(&con, "abc", 3);
    clearerr(stdout);
    dup2(saved, 1);
    close(saved);
    close(full);
    EXPECT_EQ(r, -1);
    net_conn bad{};
    bad.type = 9;
    EXPECT_EQ(net_read(&bad, &c, 1), -1);
}

TEST(NetProbe, BlockSizes)
{
    struct row {
        double ms;
        int size;
    };
    const row rows[] = {{1.9, 0x200000}, {2.0, 0x10000}, {100.0, 0x10000}, {100.1, 0x4000}};
    for (const row &r : rows)
        EXPECT_EQ(net_block_size_of_ms(r.ms), r.size) << r.ms;
    int calls = 0;
    double ms = -1;
    EXPECT_EQ(net_probe_block_size([](void *a) { return ++*static_cast<int *>(a); }, &calls, &ms), 0x200000);
    EXPECT_EQ(calls, 3);
    EXPECT_GE(ms, 0.0);
    EXPECT_EQ(net_probe_block_size([](void *) { return -1; }, nullptr, nullptr), -1);
}

TEST(NetSecrets, UrlCredentialsNeverLogged)
{
    const net_test::refused_port refused;
    const int port = refused.port();
    const std::string marker = "Sekr3tMarker";
    {
        zk_test::log_capture cap;
        for (const std::string &url :
             {"ftp://user:" + marker + "@127.0.0.1:21", "tcp://user:" + marker + "@127.0.0.1:" + std::to_string(port),
              "tcp://user:" + marker + "@127.0.0.1:" + std::to_string(port) + "?proxy_url=http://u:" + marker +
                  "@127.0.0.1:" + std::to_string(port),
              "tcp://u:" + marker + "@127.0.0.1:" + std::to_string(port) + "?proxy_url=gopher://u:" + marker +
                  "@127.0.0.1:1"}) {
            net_conn c{};
            vperror_t e{};
            EXPECT_EQ(net_open3(&c, url.c_str(), nullptr, &e), -1);
            EXPECT_EQ(std::string(e.msg).find(marker), std::string::npos) << e.msg;
        }
        EXPECT_GT(cap.lines().size(), 0u);
        for (const std::string &l : cap.lines())
            EXPECT_EQ(l.find(marker), std::string::npos) << l;
    }
}

// ---- name lookups --------------------------------------------------------------------------------

namespace {

// In a child of its own mount and network namespaces (the machine is not
// touched), the resolver is pointed at a name server on 127.0.0.1:53 that
// never answers; run() is then called there. The child's exit status: 0
// when run() held, 77 when the namespaces could not be made.
int with_silent_resolver(const std::function<bool()> &run)
{
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid > 0) {
        int st = 0;
        if (waitpid(pid, &st, 0) != pid)
            return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        _exit(77);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0)
        _exit(77);
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
        _exit(77);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int t = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(s, (sockaddr *)&a, sizeof a) != 0 || bind(t, (sockaddr *)&a, sizeof a) != 0 || listen(t, 8) != 0)
        _exit(77);
    char dir[] = "/tmp/zk_resolvXXXXXX";
    if (!mkdtemp(dir))
        _exit(77);
    const std::string resolv = std::string(dir) + "/resolv.conf", nss = std::string(dir) + "/nsswitch.conf";
    FILE *f = fopen(resolv.c_str(), "w");
    fputs("nameserver 127.0.0.1\noptions timeout:30 attempts:3\n", f);
    fclose(f);
    f = fopen(nss.c_str(), "w");
    fputs("hosts: dns\n", f);
    fclose(f);
    const bool mounted = mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0 &&
                         mount(nss.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0;
    unlink(resolv.c_str());
    unlink(nss.c_str());
    rmdir(dir);
    if (!mounted)
        _exit(77);
    _exit(run() ? 0 : 1);
}

int abort_after_300ms(void *arg, int)
{
    return os_clock_ms() - *(uint64_t *)arg >= 300;
}

} // namespace

// A lookup the resolver never answers ends with the connect time-out, or
// sooner with the abort hook; an address as text needs no resolver.
TEST(NetLookup, BoundedByTimeOutAndAbort)
{
    int r = with_silent_resolver([] {
        net_opts o{};
        o.connect_timeout = 1000;
        vperror_t e{};
        uint64_t t0 = os_clock_ms();
        if (sock_tcp_connect("zk-never.example", 80, &o, &e) || e.code != VERR_TIMEOUT || os_clock_ms() - t0 > 20000)
            return false;
        uint64_t start = os_clock_ms();
        net_abort_hook hook{0, abort_after_300ms, &start};
        o.connect_timeout = 120000;
        o.hook = &hook;
        e = vperror_t{};
        if (sock_tcp_connect("zk-never.example", 80, &o, &e) || e.code != VERR_ABORTED ||
            os_clock_ms() - start > 60000)
            return false;
        os_ipaddr a{};
        return sock_resolve("127.0.0.1", &a, 0, 1, nullptr, nullptr) == 0 && os_ipaddr_family(&a) == OS_IPADDR_IPV4 &&
               sock_resolve("::1", &a, 0, 1, nullptr, nullptr) == 0 && os_ipaddr_family(&a) == OS_IPADDR_IPV6;
    });
    if (r == 77)
        GTEST_SKIP() << "needs root for a private mount and network namespace";
    EXPECT_EQ(r, 0);
}
