// sock_event: the socket event service (see sock_event.h).
#include "libnet/sock_event.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/os_poller.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "net"

namespace {

// How long sock_env_exit waits for the "listen" thread to end.
constexpr uint32_t kStopWaitMs = 1000;

// One run of the service: what its thread works on. The thread and
// sock_env_exit each hold it; the last to let go frees it with everything
// in it, so a thread that does not end in time keeps what it uses.
struct run_t {
    std::atomic<uint32_t> stop{0};
    std::atomic<int> refs{2};
    os_poller_t *poller = nullptr;
    lbuf_t *pool = nullptr;
};

// The current run's parts, for the calls that register and delete.
os_poller_t *g_poller;
os_thread_t *g_thread;
lbuf_t *g_pool;
run_t *g_run;
sock_env_config_t g_config;
std::atomic<uint32_t> g_running{0};

os_poller_object_t object_of(os_socket_t s) { return {OS_POLLER_OBJECT_SOCKET, reinterpret_cast<uint64_t>(s)}; }

// Frees a record and closes its socket; the caller holds the pool's lock.
// Every block of the pool is a record (texts live outside it).
void free_record(lbuf_t *pool, sock_event_t *r)
{
    os_socket_exit(r->sock);
    if (r->type == SOCKET_TYPE_LISTEN)
        os_free(r->first); // the thread-name text
    lbuf_free(pool, r);
}

// Frees the records of pool that match (all of them without a filter).
void free_records(lbuf_t *pool, bool only_dead)
{
    std::vector<sock_event_t *> dead;
    lbuf_lock(pool);
    lbuf_iter_t it;
    lbuf_iter_init(pool, &it);
    while (void *p = lbuf_iter_next(&it)) {
        auto *r = static_cast<sock_event_t *>(p);
        if (r->dead || !only_dead)
            dead.push_back(r);
    }
    for (sock_event_t *r : dead)
        free_record(pool, r);
    lbuf_unlock(pool);
}

// Lets go of a run; the last holder closes its records and frees it.
void run_release(run_t *run)
{
    if (run->refs.fetch_sub(1) != 1)
        return;
    if (run->pool) {
        free_records(run->pool, false);
        lbuf_exit(run->pool);
    }
    os_poller_exit(run->poller);
    delete run;
}

// Deletes the records whose idle time-out has passed.
void expire_idle(lbuf_t *pool)
{
    const uint64_t now = os_clock_ms();
    std::vector<sock_event_t *> idle;
    lbuf_lock(pool);
    lbuf_iter_t it;
    lbuf_iter_init(pool, &it);
    while (void *p = lbuf_iter_next(&it)) {
        auto *r = static_cast<sock_event_t *>(p);
        if (r->type != SOCKET_TYPE_EVENT || r->dead)
            continue;
        const uint32_t limit = r->never_event ? g_config.idle_ms_first : g_config.idle_ms;
        if (limit != 0 && now - r->fourth >= limit)
            idle.push_back(r);
    }
    lbuf_unlock(pool);
    for (sock_event_t *r : idle)
        sock_del_event_proc(r);
}

void accept_all(sock_event_t *r)
{
    for (;;) {
        os_ipaddr peer;
        memset(&peer, 0, sizeof peer);
        os_socket_t s = os_socket_accept(r->sock, &peer);
        if (!s)
            return;
        auto accept_cb = reinterpret_cast<sock_accept_fn>(r->second);
        if (accept_cb) {
            accept_cb(s, &peer, reinterpret_cast<void *>(r->fourth));
            continue;
        }
        PL_ASSERT_RET_VOID(TAG, r->work!=NULL);
        char name[64];
        str_sprintf_s2(name, sizeof name, "%s_work", static_cast<const char *>(r->first));
        os_thread_t *t = os_thread_init(name, r->work, s, 0);
        if (!t) {
            LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "os_thread_init error: ");
            os_socket_exit(s);
            return;
        }
        os_thread_detach(t);
    }
}

void sock_events_callback(os_poller_t *, os_poller_object_t *, uint64_t events, uint64_t user)
{
    LOG_VERB(TAG, "==>\n");
    auto *r = reinterpret_cast<sock_event_t *>(user);
    if (!r || r->dead)
        return;
    switch (r->type) {
    case SOCKET_TYPE_EVENT: {
        r->never_event = 0;
        r->fourth = os_clock_ms();
        auto cb = reinterpret_cast<sock_event_fn>(r->first);
        if (cb(r->sock, events, r->second) < 0)
            sock_del_event_proc(r);
        break;
    }
    case SOCKET_TYPE_CALLBACK:
        reinterpret_cast<sock_event_fn>(r->second)(r->sock, 0, reinterpret_cast<void *>(r->fourth));
        break;
    case SOCKET_TYPE_LISTEN: accept_all(r); break;
    default: LOG_ERR(TAG, "invalid type=%d\n", static_cast<int>(r->type)); break;
    }
}

// The poll loop, on the "listen" thread; it touches only its own run.
void *sock_events_thread(void *arg)
{
    auto *run = static_cast<run_t *>(arg);
    LOG_VERB(TAG, "==>\n");
    while (!run->stop.load()) {
        if (os_poller_wait(run->poller, sock_events_callback, 1000) < 0 && !run->stop.load())
            LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "os_poller_wait error: ");
        if (run->stop.load())
            break;
        free_records(run->pool, true);
        if (g_config.idle_ms_first != 0 || g_config.idle_ms != 0)
            expire_idle(run->pool);
        if (g_config.periodic)
            g_config.periodic(g_config.periodic_arg);
    }
    LOG_VERB(TAG, "<==\n");
    run_release(run);
    return nullptr;
}

sock_event_t *add_record(os_socket_t sock, uint64_t events, const sock_event_t &init)
{
    if (!g_running.load() || !sock) {
        os_socket_exit(sock);
        return nullptr;
    }
    auto *r = static_cast<sock_event_t *>(lbuf_malloc0(g_pool, sizeof(sock_event_t), 1));
    if (!r) {
        os_socket_exit(sock);
        return nullptr;
    }
    *r = init;
    r->sock = sock;
    if (os_poller_support(g_poller, 16))
        events |= 16;
    const os_poller_object_t o = object_of(sock);
    if (!os_poller_insert(g_poller, &o, events, reinterpret_cast<uint64_t>(r))) {
        os_socket_exit(sock); // the caller's socket is closed on failure
        lbuf_free(g_pool, r);
        return nullptr;
    }
    os_poller_spak(g_poller);
    return r;
}

} // namespace

int sock_env_init(void)
{
    if (g_running.load())
        return 0;
    auto *run = new run_t;
    run->poller = os_poller_init(nullptr);
    if (!run->poller)
        LOG_CRIT(TAG, "os_poller_init failed\n");
    os_poller_attach(run->poller);
    // The pool exists before the thread that walks it.
    lbuf_cfg_t cfg{};
    cfg.name = "events";
    run->pool = lbuf_init(&cfg);
    if (!run->pool)
        LOG_CRIT(TAG, "lbuf_init failed");
    g_run = run;
    g_poller = run->poller;
    g_pool = run->pool;
    g_thread = os_thread_init("listen", sock_events_thread, run, 0);
    if (!g_thread)
        LOG_CRIT(TAG, "os_thread_init failed");
    g_running.store(1);
    return 0;
}

void sock_env_config(const sock_env_config_t *config)
{
    if (config)
        g_config = *config;
}

sock_event_t *sock_add_event(os_socket_t sock, uint64_t events, sock_event_fn callback, void *arg)
{
    sock_event_t init{};
    init.type = SOCKET_TYPE_EVENT;
    init.first = reinterpret_cast<void *>(callback);
    init.second = arg;
    init.third = sock;
    init.fourth = os_clock_ms();
    init.never_event = 1;
    return add_record(sock, events, init);
}

sock_event_t *sock_add_listener(os_socket_t sock, const char *name, sock_accept_fn accept_cb, sock_work_fn work,
                                void *arg)
{
    if (!accept_cb && !work) {
        os_socket_exit(sock);
        return nullptr;
    }
    char *text = g_running.load() ? os_strdup(name ? name : "sock") : nullptr;
    sock_event_t init{};
    init.type = SOCKET_TYPE_LISTEN;
    init.first = text;
    init.second = reinterpret_cast<void *>(accept_cb);
    init.third = sock;
    init.fourth = reinterpret_cast<uint64_t>(arg);
    init.work = work;
    if (!text) {
        os_socket_exit(sock);
        return nullptr;
    }
    sock_event_t *r = add_record(sock, OS_POLLER_EVENT_READ, init);
    if (!r)
        os_free(text);
    return r;
}

void sock_del_event_proc(sock_event_t *ectx)
{
    PL_ASSERT_RET_VOID(TAG, ectx->type == SOCKET_TYPE_EVENT);
    if (!g_running.load() || !g_pool)
        return;
    const os_poller_object_t o = object_of(ectx->sock);
    lbuf_lock(g_pool);
    if (!ectx->dead) {
        ectx->dead = 1;
        os_poller_remove(g_poller, &o);
    }
    lbuf_unlock(g_pool);
    os_poller_spak(g_poller);
}

int sock_env_exit(void)
{
    LOG_VERB(TAG, "==>\n");
    if (g_running.load()) {
        // The kill wakes the wait at once. A callback that does not return
        // is not waited for longer than kStopWaitMs: the thread is given up
        // (never cancelled, so it can't be stopped while it holds the pool's
        // lock) and frees its run when it ends.
        run_t *run = g_run;
        run->stop.store(1);
        os_poller_kill(run->poller);
        uint32_t result = 0;
        const int r = os_thread_wait(g_thread, kStopWaitMs, &result);
        if (r != 0)
            LOG_ERR(TAG, "os_thread_wait_kill_exit ret=%d error=%d\n", r, errno);
        os_thread_detach(g_thread);
        g_thread = nullptr;
        g_running.store(0);
        g_run = nullptr;
        g_poller = nullptr;
        g_pool = nullptr;
        g_config = sock_env_config_t{};
        run_release(run);
    }
    LOG_VERB(TAG, "<==\n");
    return 0;
}
