// The poller with socket pairs and TCP sockets on loopback: time-outs, wake
// and kill, one-shot entries, pending errors, descriptors closed while
// inserted, descriptors above 1024, more
// ready descriptors than one pass dispatches, and the descriptor limit.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/network/os_poller.h"
#include "libpal/network/os_socket.h"

namespace {

struct calls {
    std::vector<std::pair<int, uint64_t>> seen; // descriptor, bits
    std::map<int, uint64_t> user;
};
calls *g_calls;

void record(os_poller_t *, os_poller_object_t *o, uint64_t bits, uint64_t user)
{
    const int fd = static_cast<int>(o->handle) - 1;
    g_calls->seen.push_back({fd, bits});
    g_calls->user[fd] = user;
}

// Reads the byte that made a descriptor ready, so it is not ready again.
void consume(os_poller_t *p, os_poller_object_t *o, uint64_t bits, uint64_t user)
{
    record(p, o, bits, user);
    char c;
    (void)!read(static_cast<int>(o->handle) - 1, &c, 1);
}

struct pair_t {
    int fd[2];
    pair_t() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~pair_t()
    {
        close(fd[0]);
        close(fd[1]);
    }
    void poke() { EXPECT_EQ(write(fd[1], "x", 1), 1); }
};

os_poller_object_t obj(int fd) { return {OS_POLLER_OBJECT_SOCKET, static_cast<uint64_t>(fd) + 1}; }

struct poller_guard {
    os_poller_t *p = os_poller_init(nullptr);
    calls c;
    poller_guard() { g_calls = &c; }
    ~poller_guard() { os_poller_exit(p); }
};

void raise_fd_limit(rlim_t want)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < want && rl.rlim_max >= want) {
        rl.rlim_cur = want;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

TEST(Poller, SupportTypeAndTimeOuts)
{
    poller_guard g;
    ASSERT_TRUE(g.p);
    EXPECT_EQ(os_poller_type(g.p), 5);
    EXPECT_EQ(os_poller_support(g.p, 0x03), 1);
    EXPECT_EQ(os_poller_support(g.p, 0x21), 1);
    EXPECT_EQ(os_poller_support(g.p, 0x200), 0);

    pair_t s;
    auto o = obj(s.fd[0]);
    ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 7), 1);
    s.poke();
    // A time-out of 0 answers at once, ready descriptors or not.
    EXPECT_EQ(os_poller_wait(g.p, record, 0), 0);
    EXPECT_TRUE(g.c.seen.empty());
    EXPECT_EQ(os_poller_wait(g.p, consume, 5000), 1);
    ASSERT_EQ(g.c.seen.size(), 1u);
    EXPECT_EQ(g.c.seen[0].second, (uint64_t)OS_POLLER_EVENT_READ);
    EXPECT_EQ(g.c.user[s.fd[0]], 7u);
    // Nothing ready: the time-out runs out with 0.
    EXPECT_EQ(os_poller_wait(g.p, record, 50), 0);
}

TEST(Poller, WakeAndKill)
{
    poller_guard g;
    ASSERT_TRUE(g.p);
    os_poller_spak(g.p);
    EXPECT_EQ(os_poller_wait(g.p, record, -1), 0);

    pair_t s;
    auto o = obj(s.fd[0]);
    os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 1);
    std::thread t([&] {
        s.poke();
        os_poller_kill(g.p);
    });
    t.join();
    // The pass that sees the kill ends with -1, after dispatching what it
    // collected before the wake pair in descriptor order.
    EXPECT_EQ(os_poller_wait(g.p, consume, -1), -1);
    EXPECT_LE(g.c.seen.size(), 1u);
    os_poller_remove(g.p, &o);

    // A kill from another thread ends a blocking wait.
    std::thread k([&] {
        usleep(20000);
        os_poller_kill(g.p);
    });
    EXPECT_EQ(os_poller_wait(g.p, record, 30000), -1);
    k.join();
}

TEST(Poller, OneShotDoubleInsertAndRemove)
{
    poller_guard g;
    ASSERT_TRUE(g.p);
    pair_t s;
    auto o = obj(s.fd[0]);
    const uint64_t base = g.p->count;
    ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 1), 1);
    ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ | OS_POLLER_EVENT_ONESHOT, 2), 1);
    EXPECT_EQ(g.p->count, base + 1); // the same descriptor counts once
    EXPECT_EQ(g.p->list_n, base + 1);
    s.poke();
    s.poke();
    EXPECT_EQ(os_poller_wait(g.p, consume, 5000), 1);
    ASSERT_EQ(g.c.seen.size(), 1u);
    EXPECT_EQ(g.c.seen[0].second, (uint64_t)OS_POLLER_EVENT_READ); // 0x20 is cleared
    EXPECT_EQ(g.c.user[s.fd[0]], 2u);
    EXPECT_EQ(g.p->count, base); // removed before its callback
    // The second byte is still there, but nobody is told.
    EXPECT_EQ(os_poller_wait(g.p, record, 50), 0);
    EXPECT_EQ(g.c.seen.size(), 1u);
    EXPECT_EQ(os_poller_remove(g.p, &o), 1); // not present: nothing changes
    EXPECT_EQ(g.p->count, base);
}

TEST(Poller, RefusedConnectIsReportedAsAnError)
{
    poller_guard g;
    ASSERT_TRUE(g.p);
    // A port held by a bound socket that never listens refuses connections.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(holder, reinterpret_cast<sockaddr *>(&a), &len);
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
    auto o = obj(c);
    ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_WRITE, 9), 1);
    EXPECT_EQ(os_poller_wait(g.p, record, 5000), 1);
    ASSERT_EQ(g.c.seen.size(), 1u);
    EXPECT_TRUE(g.c.seen[0].second & OS_POLLER_EVENT_ERROR);
    close(c);
    close(holder);
}

// A descriptor closed while still inserted is reported once, as an error,
// and dropped; the wait neither spins on it nor reports it again.
TEST(Poller, ClosedDescriptorIsReportedOnceAndDropped)
{
    poller_guard g;
    ASSERT_TRUE(g.p);
    const uint64_t base = g.p->count;
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0);
    auto o = obj(fd[0]);
    ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 4), 1);
    close(fd[0]);
    EXPECT_EQ(os_poller_wait(g.p, record, 5000), 1);
    ASSERT_EQ(g.c.seen.size(), 1u);
    EXPECT_EQ(g.c.seen[0], std::make_pair(fd[0], (uint64_t)OS_POLLER_EVENT_ERROR));
    EXPECT_EQ(g.c.user[fd[0]], 4u);
    EXPECT_EQ(g.p->count, base);
    EXPECT_EQ(os_poller_wait(g.p, record, 50), 0);
    EXPECT_EQ(g.c.seen.size(), 1u);
    close(fd[1]);
}

TEST(Poller, DescriptorAbove1024)
{
    raise_fd_limit(4096);
    poller_guard g;
    ASSERT_TRUE(g.p);
    pair_t s;
    const int high = 1500;
    ASSERT_EQ(dup2(s.fd[0], high), high);
    auto o = obj(high);
    ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 3), 1);
    s.poke();
    EXPECT_EQ(os_poller_wait(g.p, consume, 5000), 1);
    ASSERT_EQ(g.c.seen.size(), 1u);
    EXPECT_EQ(g.c.seen[0].first, high);
    close(high);
}

TEST(Poller, MoreReadyThanOnePassTakes)
{
    raise_fd_limit(4096);
    poller_guard g;
    ASSERT_TRUE(g.p);
    std::vector<pair_t> pairs(600);
    for (auto &s : pairs) {
        auto o = obj(s.fd[0]);
        ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 0), 1);
        s.poke();
    }
    EXPECT_EQ(os_poller_wait(g.p, consume, 5000), (int)OS_POLLER_MAX_EVENTS);
    EXPECT_EQ(os_poller_wait(g.p, consume, 5000), 600 - (int)OS_POLLER_MAX_EVENTS);
    std::map<int, int> times;
    for (auto &e : g.c.seen)
        times[e.first]++;
    EXPECT_EQ(times.size(), 600u);
}

TEST(Poller, DescriptorLimit)
{
    raise_fd_limit(4096);
    poller_guard g;
    ASSERT_TRUE(g.p);
    pair_t s;
    std::vector<int> fds;
    // The wake pair is one of the 1024.
    for (uint32_t i = 1; i < OS_POLLER_MAX_FDS; i++) {
        const int fd = dup(s.fd[0]);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        auto o = obj(fd);
        ASSERT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 0), 1) << i;
    }
    const int extra = dup(s.fd[0]);
    auto o = obj(extra);
    EXPECT_EQ(os_poller_insert(g.p, &o, OS_POLLER_EVENT_READ, 0), 0);
    EXPECT_EQ(os_poller_modify(g.p, &o, OS_POLLER_EVENT_READ, 0), 0);
    // An inserted one can still be modified, and a removal makes room.
    auto first = obj(fds[0]);
    EXPECT_EQ(os_poller_modify(g.p, &first, OS_POLLER_EVENT_WRITE, 1), 1);
    EXPECT_EQ(os_poller_remove(g.p, &first), 1);
    EXPECT_EQ(os_poller_modify(g.p, &o, OS_POLLER_EVENT_READ, 0), 1);
    close(extra);
    for (int fd : fds)
        close(fd);
}

} // namespace
