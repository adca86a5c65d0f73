// The syslog client: priorities, message texts, URLs, and the bytes that
// reach a UDP or TCP receiver on the loopback, including a receiver that is
// gone.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"
#include "liblog/log2_out.h"

namespace {

// The program installs the log's outputs at start-up (its log configuration
// does); these tests use them without one.
[[maybe_unused]] const bool k_outputs_installed = (log2_outputs_init(), true);

// "<PRI>Mmm dd hh:mm:ss host tag[pid]: message"
const std::regex k_msg(R"(<(\d+)>([A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d) (\S{1,32}) (.{1,64})\[(\d+)\]: ([^]*))");

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n;
}

// A loopback socket of the given type bound to a free port.
int bound(int type, int *port)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof(a)) != 0 || getsockname(fd, (sockaddr *)&a, &len) != 0)
        return -1;
    *port = ntohs(a.sin_port);
    if (type == SOCK_STREAM && listen(fd, 8) != 0)
        return -1;
    return fd;
}

bool readable(int fd, int ms = 10000)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// A private handle with the console off, its syslog output at url.
struct handle {
    log2_t *h;
    explicit handle(const std::string &url, unsigned flags = LOG2_FL_DEFAULT)
    {
        pl_init();
        h = log2_new();
        log2_ioctl(h, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
        log2_ioctl(h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)flags, 0);
        log2_ioctl(h, LOG2_IOC_LEVEL, (const void *)(uintptr_t)LOG2_VERB, 0);
        if (log2_ioctl(h, LOG2_IOC_SYSLOG_OPEN, url.c_str(), 0) == 0)
            log2_ioctl(h, LOG2_IOC_SYSLOG_ON, (const void *)1, 0);
    }
    ~handle() { log2_exit(h); }
    void rec(unsigned level, const std::string &msg) { log2_printf(h, level, "vfs", "f.c", 1, "fn", "%s", msg.c_str()); }
};

TEST(Syslog, PriorityTexts)
{
    struct {
        const char *text;
        int pri;
    } rows[] = {
        {"user.crit", 10}, {"user.error", 11}, {"user.warn", 12}, {"user.notice", 13}, {"user.info", 14},
        {"user.debug", 15}, {"local7.err", 187}, {"auth.emerg", 32}, {"kern.none", 0}, {"LOCAL0.Warning", 132},
        {"crit", 10}, {"24.3", 27}, {"user.7", 15}, {"bogus.err", -1}, {"user.bogus", -1}, {"25.3", -1},
        {"user.8", -1}, {"", -1},
    };
    for (const auto &r : rows) {
        fd_capture cap;
        EXPECT_EQ(syslog_pri(r.text), r.pri) << r.text;
        std::string err = cap.stop();
        if (r.pri < 0) {
            EXPECT_NE(err.find("unknown "), std::string::npos) << r.text;
        }
    }
    fd_capture cap;
    syslog_pri("bogus.err");
    syslog_pri("user.bogus");
    EXPECT_EQ(cap.stop(), "unknown facility name: bogus\nunknown priority name: user.bogus\n");
    const char *names[] = {"crit", "error", "warn", "notice", "info", "debug", "debug"};
    for (int lv = 2; lv <= 8; lv++)
        EXPECT_STREQ(syslog_level_name(lv), names[lv - 2]);
}

TEST(Syslog, MessageTexts)
{
    pl_init();
    log2_t *h = log2_new();
    char out[1536];
    std::string host = syslog_host_name();
    std::string pid = std::to_string(getpid());
    struct {
        unsigned flags;
        const char *line;
        const char *msg;
    } rows[] = {
        {0x27, "22:13:20 [1240] fn(): hello\n", "[1240] fn(): hello\n"},
        {0x25 | 0x40, "22:13:20.123 [1240] hello\n", "[1240] hello\n"},
        {0x42, "22:13:20 x\n", "x\n"}, // with both bits the line has no milliseconds
        {0x25, "[1240] fn(): hello\n", "[1240] fn(): hello\n"},
        {0x27, "short", ""},
    };
    for (const auto &r : rows) {
        log2_ioctl(h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)r.flags, 0);
        int n = syslog_format(h, LOG_SYSLOG_UDP, "user.warn", "vfs", r.line, out, sizeof(out));
        ASSERT_GT(n, 0);
        EXPECT_EQ(out[n - 1], '\0'); // a datagram carries its NUL
        std::string text(out, (size_t)n - 1);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, k_msg)) << text;
        EXPECT_EQ(m[1], "12");
        EXPECT_EQ(m[3], host);
        EXPECT_EQ(m[4], "vfs");
        EXPECT_EQ(m[5], pid);
        EXPECT_EQ(m[6], r.msg) << r.flags;
    }
    // No tag; a message cut at 800 characters.
    log2_ioctl(h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    std::string big(2000, 'm');
    int n = syslog_format(h, LOG_SYSLOG_UDP, "user.info", nullptr, big.c_str(), out, sizeof(out));
    std::string text(out, (size_t)n - 1);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, k_msg));
    EXPECT_EQ(m[4], "<someone>");
    EXPECT_EQ(m[6], std::string(800, 'm'));
    // Over TCP: exactly one LF ends each message, also a cut one; no NUL.
    struct {
        std::string line, tail;
    } tcp[] = {{"hello\n", "hello\n"}, {"hello", "hello\n"}, {"hello\n\n", "hello\n"}, {big, std::string(800, 'm') + "\n"}};
    for (const auto &r : tcp) {
        n = syslog_format(h, LOG_SYSLOG_TCP, "user.info", "vfs", r.line.c_str(), out, sizeof(out));
        ASSERT_GT(n, 0);
        std::string t(out, (size_t)n);
        EXPECT_EQ(t.find('\0'), std::string::npos);
        EXPECT_EQ(t.substr(t.size() - r.tail.size()), r.tail);
        EXPECT_EQ(t.rfind(": " + r.tail), t.size() - r.tail.size() - 2);
    }
    log2_exit(h);
}

TEST(Syslog, UrlsChooseProtocolAndPort)
{
    log_syslog_ctx ctx;
    log_syslog_init(&ctx, nullptr);
    struct {
        const char *url;
        int r, proto, port;
        const char *host;
    } rows[] = {
        {"tcp://loghost:1514", 0, LOG_SYSLOG_TCP, 1514, "loghost"},
        {"udp://loghost", 0, LOG_SYSLOG_UDP, 0, "loghost"},
        {"syslog://127.0.0.1", 0, LOG_SYSLOG_UDP, 0, "127.0.0.1"},
        {"TCP://h:1", 0, LOG_SYSLOG_UDP, 1, "h"}, // only "tcp" exactly is TCP
    };
    for (const auto &r : rows) {
        log_syslog_init(&ctx, nullptr);
        EXPECT_EQ(log_net_open(&ctx, r.url), r.r) << r.url;
        EXPECT_EQ(ctx.proto, r.proto) << r.url;
        EXPECT_EQ(ctx.port, r.port) << r.url;
        EXPECT_STREQ(ctx.host, r.host);
        EXPECT_EQ(ctx.state, LOG_SYSLOG_PENDING);
        EXPECT_STREQ(log_net_get_url(&ctx), r.url);
    }
    // A new URL starts over: no port of the former one stays.
    EXPECT_EQ(log_net_open(&ctx, "udp://a:1514"), 0);
    EXPECT_EQ(log_net_open(&ctx, "udp://b"), 0);
    EXPECT_EQ(ctx.port, 0);
    // A URL that does not parse leaves the output off.
    EXPECT_EQ(log_net_open(&ctx, "udp://h:70000"), -1);
    EXPECT_EQ(ctx.state, LOG_SYSLOG_OFF);
    EXPECT_EQ(syslog_write(&ctx, LOG2_ERR, "vfs", "x\n", 2), 0);
    handle bad("udp://h:70000");
    log2_info_t info;
    log2_get_info(bad.h, &info);
    EXPECT_EQ(info.syslog_on, 0);

    // TCP has no default service on this system: such a URL must give a port.
    fd_capture cap;
    EXPECT_EQ(syslog_open("127.0.0.1", nullptr, LOG_SYSLOG_TCP), -1);
    std::string err = cap.stop();
    EXPECT_NE(err.find("getaddrinfo: "), std::string::npos) << err;
    EXPECT_NE(err.find("failed to resolve name 127.0.0.1 port syslog-conn\n"), std::string::npos) << err;
}

TEST(Syslog, UdpDatagrams)
{
    int port = 0;
    int rx = bound(SOCK_DGRAM, &port);
    ASSERT_GE(rx, 0);
    handle h("udp://127.0.0.1:" + std::to_string(port));
    struct {
        unsigned level;
        const char *pri;
    } rows[] = {{LOG2_CRIT | LOG2_F_NOEXIT, "10"}, {LOG2_ERR, "11"}, {LOG2_WARN, "12"}, {LOG2_NOTI, "13"},
                {LOG2_INFO, "14"}, {LOG2_DBG, "15"}, {LOG2_VERB, "15"}};
    for (const auto &r : rows) {
        h.rec(r.level, "hello");
        ASSERT_TRUE(readable(rx));
        char buf[2048];
        ssize_t n = recv(rx, buf, sizeof(buf), 0);
        ASSERT_GT(n, 2);
        EXPECT_EQ(buf[n - 1], '\0');
        EXPECT_EQ(buf[n - 2], '\n');
        std::string text(buf, (size_t)n - 1);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, k_msg)) << text;
        EXPECT_EQ(m[1], r.pri);
        EXPECT_TRUE(std::regex_match(m[6].str(), std::regex(R"(\[\d+\] fn\(\): hello\n)"))) << m[6];
    }
    close(rx);
}

TEST(Syslog, TcpMessagesAreFramedByLineEnds)
{
    int port = 0;
    int ls = bound(SOCK_STREAM, &port);
    ASSERT_GE(ls, 0);
    handle h("tcp://127.0.0.1:" + std::to_string(port));
    std::vector<std::string> sent = {"one", "two\n", std::string(1200, 'z'), "three"};
    for (const std::string &s : sent)
        h.rec(LOG2_INFO, s);
    ASSERT_TRUE(readable(ls));
    int c = accept(ls, nullptr, nullptr);
    ASSERT_GE(c, 0);
    std::string got;
    while (std::count(got.begin(), got.end(), '\n') < 4 && readable(c)) {
        char buf[4096];
        ssize_t n = recv(c, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    EXPECT_EQ(got.find('\0'), std::string::npos);
    std::vector<std::string> msgs;
    size_t at = 0;
    for (size_t nl; (nl = got.find('\n', at)) != std::string::npos; at = nl + 1)
        msgs.push_back(got.substr(at, nl - at));
    ASSERT_EQ(msgs.size(), 4u) << got;
    EXPECT_EQ(at, got.size());
    const char *tails[] = {"one", "two", nullptr, "three"};
    for (size_t i = 0; i < 4; i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(msgs[i], m, k_msg)) << msgs[i];
        EXPECT_EQ(m[1], "14");
        std::string body = m[6];
        if (tails[i]) {
            EXPECT_TRUE(body.size() >= strlen(tails[i]) && body.substr(body.size() - strlen(tails[i])) == tails[i]);
        } else {
            EXPECT_EQ(body.size(), 800u);
        }
    }

    // The server drops the connection: the client connects again and the
    // records reach the new connection, each one whole.
    close(c);
    int c2 = -1;
    for (int i = 0; i < 200 && c2 < 0; i++) {
        h.rec(LOG2_INFO, "again " + std::to_string(i));
        if (readable(ls, 50))
            c2 = accept(ls, nullptr, nullptr);
    }
    ASSERT_GE(c2, 0);
    h.rec(LOG2_INFO, "last");
    std::string more;
    while (more.find("last\n") == std::string::npos && readable(c2)) {
        char buf[4096];
        ssize_t n = recv(c2, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        more.append(buf, (size_t)n);
    }
    ASSERT_NE(more.find("last\n"), std::string::npos);
    at = 0;
    for (size_t nl; (nl = more.find('\n', at)) != std::string::npos; at = nl + 1)
        EXPECT_TRUE(std::regex_match(more.substr(at, nl - at), k_msg)) << more.substr(at, nl - at);
    close(c2);
    close(ls);
}

// A receiver that stops taking connections (its queue full: every further
// connection attempt goes unanswered) costs the log next to nothing: the
// output backs off, counts what it drops and says so once a record goes
// out again.
TEST(Syslog, StalledReceiverIsLeftAloneAndTheGapReported)
{
    pl_init();
    int port = 0;
    int ls = bound(SOCK_STREAM, &port);
    ASSERT_GE(ls, 0);
    ASSERT_EQ(listen(ls, 0), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(filler, (sockaddr *)&a, sizeof(a)), 0); // the one place of the queue

    log2_t *owner = log2_new();
    log2_ioctl(owner, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    log_syslog_ctx ctx;
    log_syslog_init(&ctx, owner);
    ASSERT_EQ(log_net_open(&ctx, ("tcp://127.0.0.1:" + std::to_string(port)).c_str()), 0);
    fd_capture cap;
    auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    for (; n < 1000 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(30); n++)
        syslog_write(&ctx, LOG2_INFO, "vfs", "stalled\n", -1);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(n, 1000);
    EXPECT_LT(took.count(), 5.0); // one connection attempt of at most half a second
    EXPECT_EQ(ctx.dropped, 1000u);
    EXPECT_EQ(ctx.backoff_ms, LOG_SYSLOG_BACKOFF_MS);
    // Each failed attempt doubles the back-off, up to its bound.
    for (int want : {20000, 40000, 60000, 60000}) {
        ctx.retry_at = 1; // the back-off has passed
        syslog_write(&ctx, LOG2_INFO, "vfs", "stalled\n", -1);
        EXPECT_EQ(ctx.backoff_ms, want);
    }
    std::string err = cap.stop();
    std::string failed = "failed to connect to 127.0.0.1 port " + std::to_string(port) + "\n";
    size_t lines = 0;
    for (size_t at = err.find(failed); at != std::string::npos; at = err.find(failed, at + 1))
        lines++;
    EXPECT_EQ(lines, 5u) << err; // one per attempt

    // The receiver takes connections again: the gap comes first.
    close(filler);
    while (readable(ls, 200))
        close(accept(ls, nullptr, nullptr));
    std::string gap = "syslog: " + std::to_string(ctx.dropped) + " records dropped while the receiver could not be reached\n";
    ctx.retry_at = 1;
    EXPECT_GT(syslog_write(&ctx, LOG2_INFO, "vfs", "resumed\n", -1), 0);
    EXPECT_EQ(ctx.dropped, 0u);
    ASSERT_TRUE(readable(ls));
    int c = accept(ls, nullptr, nullptr);
    ASSERT_GE(c, 0);
    std::string got;
    while (got.find("resumed\n") == std::string::npos && readable(c)) {
        char buf[4096];
        ssize_t k = recv(c, buf, sizeof(buf), 0);
        if (k <= 0)
            break;
        got.append(buf, (size_t)k);
    }
    size_t nl = got.find('\n');
    ASSERT_NE(nl, std::string::npos) << got;
    std::smatch m;
    std::string first = got.substr(0, nl + 1);
    ASSERT_TRUE(std::regex_match(first, m, k_msg)) << first;
    EXPECT_EQ(m[1], "12");
    EXPECT_EQ(m[4], "log");
    EXPECT_EQ(m[6], gap);
    EXPECT_EQ(got.substr(nl + 1).find("resumed\n") != std::string::npos, true) << got;
    close(c);
    close(ls);
    log_net_close(&ctx);
    log2_exit(owner);
}

// A receiver that is gone: records keep coming, descriptors stay as many.
TEST(Syslog, GoneReceiverLeaksNoDescriptor)
{
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        int port = 0;
        int s = bound(type, &port);
        ASSERT_GE(s, 0);
        close(s); // nothing listens there now
        handle h(std::string(type == SOCK_STREAM ? "tcp" : "udp") + "://127.0.0.1:" + std::to_string(port));
        fd_capture cap;
        h.rec(LOG2_INFO, "first");
        int base = open_fds();
        for (int i = 0; i < 100; i++)
            h.rec(LOG2_INFO, "more");
        EXPECT_EQ(open_fds(), base) << type;
        std::string err = cap.stop();
        if (type == SOCK_STREAM) {
            EXPECT_NE(err.find("failed to connect to 127.0.0.1 port " + std::to_string(port) + "\n"), std::string::npos);
        }
    }
}

} // namespace
