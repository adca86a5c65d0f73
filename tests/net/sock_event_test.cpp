// The socket event service: callbacks, removal by the callback's answer,
// idle time-outs, listeners with an accept callback or a work thread, and
// stopping (also without a start, and with a callback that does not return).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "capture.h"
#include "libnet/sock_event.h"
#include "liblog/log2.h"
#include "libpal/basic/pl_base.h"
#include "libpal/network/os_poller.h"
#include "libpal/network/os_socket.h"
#include "net_test_util.h"

namespace {

bool wait_until(const std::function<bool()> &pred, int ms = 20000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

struct service {
    service() { sock_env_init(); }
    ~service() { sock_env_exit(); }
};

// One end of a pair for the service, the other for the test.
struct pair_t {
    os_socket_t s[2]{};
    pair_t() { EXPECT_EQ(os_socket_pair(OS_SOCKET_TCP, s), 1); }
    ~pair_t() { os_socket_exit(s[1]); }
};

std::atomic<int> g_events{0};
int count_cb(os_socket_t sock, uint64_t, void *)
{
    char c;
    os_socket_recv(sock, &c, 1);
    g_events++;
    return 0;
}
int once_cb(os_socket_t sock, uint64_t, void *)
{
    char c;
    os_socket_recv(sock, &c, 1);
    g_events++;
    return -1;
}

bool peer_closed(os_socket_t s)
{
    char c;
    return recv(os_socket_fd(s), &c, 1, MSG_DONTWAIT) == 0;
}

TEST(SockEvent, ExitWithoutInitOnlyLogs)
{
    log2_set_level(nullptr, LOG2_VERB);
    fd_capture err;
    EXPECT_EQ(sock_env_exit(), 0);
    const std::string out = err.stop();
    log2_set_level(nullptr, LOG2_INFO);
    EXPECT_NE(out.find("==>"), std::string::npos);
    EXPECT_NE(out.find("<=="), std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
}

TEST(SockEvent, CallbacksAndRemovalByAnswer)
{
    service svc;
    pair_t a, b;
    g_events = 0;
    ASSERT_TRUE(sock_add_event(a.s[0], OS_POLLER_EVENT_READ, count_cb, nullptr));
    ASSERT_TRUE(sock_add_event(b.s[0], OS_POLLER_EVENT_READ, once_cb, nullptr));
    os_socket_send(a.s[1], "x", 1);
    os_socket_send(b.s[1], "x", 1);
    EXPECT_TRUE(wait_until([] { return g_events.load() == 2; }));
    // The record that answered -1 is gone and its socket closed.
    EXPECT_TRUE(wait_until([&] { return peer_closed(b.s[1]); }));
    os_socket_send(a.s[1], "y", 1);
    EXPECT_TRUE(wait_until([] { return g_events.load() == 3; }));
    EXPECT_FALSE(peer_closed(a.s[1]));
}

TEST(SockEvent, IdleTimeOuts)
{
    {
        // Both 0: nothing is ever closed.
        service svc;
        pair_t a;
        ASSERT_TRUE(sock_add_event(a.s[0], OS_POLLER_EVENT_READ, count_cb, nullptr));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(peer_closed(a.s[1]));
    }
    service svc;
    sock_env_config_t cfg{};
    // Long enough for the service to take the busy socket's byte first on
    // a loaded machine.
    cfg.idle_ms_first = 1000;
    cfg.idle_ms = 0;
    std::atomic<int> ticks{0};
    cfg.periodic = [](void *arg) { ++*static_cast<std::atomic<int> *>(arg); };
    cfg.periodic_arg = &ticks;
    sock_env_config(&cfg);
    pair_t quiet, busy;
    g_events = 0;
    ASSERT_TRUE(sock_add_event(quiet.s[0], OS_POLLER_EVENT_READ, count_cb, nullptr));
    ASSERT_TRUE(sock_add_event(busy.s[0], OS_POLLER_EVENT_READ, count_cb, nullptr));
    os_socket_send(busy.s[1], "x", 1);
    EXPECT_TRUE(wait_until([&] { return peer_closed(quiet.s[1]); }));
    EXPECT_TRUE(wait_until([] { return g_events.load() == 1; }));
    EXPECT_FALSE(peer_closed(busy.s[1])); // had its event: the second time-out (0) applies
    EXPECT_TRUE(wait_until([&] { return ticks.load() > 0; }));
}

// A callback that does not return holds sock_env_exit up for about a second
// only: the thread is given up, the service can start anew, and the thread
// closes what its run held once it ends.
std::atomic<bool> g_entered{false}, g_release{false}, g_left{false};
int stuck_cb(os_socket_t sock, uint64_t, void *)
{
    char c;
    os_socket_recv(sock, &c, 1);
    g_entered = true;
    wait_until([] { return g_release.load(); }, 60000);
    g_left = true;
    return 0;
}

TEST(SockEvent, ExitGivesUpAThreadStuckInACallback)
{
    pair_t a;
    sock_env_init();
    ASSERT_TRUE(sock_add_event(a.s[0], OS_POLLER_EVENT_READ, stuck_cb, nullptr));
    os_socket_send(a.s[1], "x", 1);
    ASSERT_TRUE(wait_until([] { return g_entered.load(); }));
    fd_capture err;
    EXPECT_EQ(sock_env_exit(), 0);
    const std::string out = err.stop();
    EXPECT_FALSE(g_left.load());
    EXPECT_NE(out.find("os_thread_wait_kill_exit ret=-2 "), std::string::npos) << out;
    {
        service svc;
        pair_t b;
        g_events = 0;
        ASSERT_TRUE(sock_add_event(b.s[0], OS_POLLER_EVENT_READ, count_cb, nullptr));
        os_socket_send(b.s[1], "y", 1);
        EXPECT_TRUE(wait_until([] { return g_events.load() == 1; }));
    }
    EXPECT_FALSE(peer_closed(a.s[1]));
    g_release = true;
    EXPECT_TRUE(wait_until([&] { return peer_closed(a.s[1]); }));
}

std::atomic<int> g_accepted{0};
void on_accept(os_socket_t s, const os_ipaddr *, void *arg)
{
    g_accepted++;
    os_socket_send(s, static_cast<const char *>(arg), 1);
    os_socket_exit(s);
}
void *work(void *arg)
{
    auto s = static_cast<os_socket_t>(arg);
    os_socket_send(s, "w", 1);
    os_socket_exit(s);
    return nullptr;
}

// A listening socket on 127.0.0.1 and its port.
os_socket_t listener(int *port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 16), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return os_socket_from_fd(fd);
}

char first_byte_from(int port)
{
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char b = 0;
    if (connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        timeval tv{20, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (recv(c, &b, 1, 0) != 1)
            b = 0;
    }
    close(c);
    return b;
}

TEST(SockEvent, Listeners)
{
    service svc;
    int p1 = 0, p2 = 0;
    static char tag = 'a';
    ASSERT_TRUE(sock_add_listener(listener(&p1), "acc", on_accept, nullptr, &tag));
    ASSERT_TRUE(sock_add_listener(listener(&p2), "srv", nullptr, work, nullptr));
    EXPECT_EQ(first_byte_from(p1), 'a');
    EXPECT_EQ(first_byte_from(p1), 'a');
    EXPECT_EQ(g_accepted.load(), 2);
    EXPECT_EQ(first_byte_from(p2), 'w');
}

} // namespace
