// os_poller: the poll() back end (see os_poller.h).
#include "libpal/network/os_poller.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

int64_t fd_of(const os_poller_object_t *o) { return static_cast<int64_t>(o->handle) - 1; }

// Index of the entry for fd, or of the place it would go (*found false).
uint64_t find_entry(const os_poller_t *p, int64_t fd, bool *found)
{
    uint64_t lo = 0, hi = p->list_n;
    while (lo < hi) {
        const uint64_t mid = (lo + hi) / 2;
        if (p->list[mid].fd < fd)
            lo = mid + 1;
        else
            hi = mid;
    }
    *found = lo < p->list_n && p->list[lo].fd == fd;
    return lo;
}

// Sets or adds the entry of fd; a new one counts against the limit.
int put_entry(os_poller_t *p, int64_t fd, uint64_t events, uint64_t user)
{
    if (fd < 0)
        return 0;
    if (!p->list) {
        p->list = static_cast<os_poller_entry_t *>(os_zalloc(sizeof(os_poller_entry_t) * OS_POLLER_MAX_FDS));
        PL_ASSERT_RET(TAG, p->list, 0);
    }
    bool found;
    const uint64_t i = find_entry(p, fd, &found);
    if (found) {
        p->list[i].events = events;
        p->list[i].user = user;
        return 1;
    }
    if (p->count >= OS_POLLER_MAX_FDS || p->list_n >= OS_POLLER_MAX_FDS)
        return 0;
    memmove(&p->list[i + 1], &p->list[i], sizeof(os_poller_entry_t) * (p->list_n - i));
    p->list[i] = {fd, user, events};
    p->list_n++;
    p->count++;
    if (fd > p->maxfd)
        p->maxfd = fd;
    return 1;
}

int drop_entry(os_poller_t *p, int64_t fd)
{
    bool found;
    const uint64_t i = find_entry(p, fd, &found);
    if (!found)
        return 1;
    memmove(&p->list[i], &p->list[i + 1], sizeof(os_poller_entry_t) * (p->list_n - i - 1));
    p->list_n--;
    if (p->count > 0)
        p->count--;
    return 1;
}

struct list_lock {
    explicit list_lock(os_poller_t *p) : m(p->lock) { mutex_lock(m); }
    ~list_lock() { mutex_unlock(m); }
    list_lock(const list_lock &) = delete;
    list_lock &operator=(const list_lock &) = delete;
    pl_mutex_t *m;
};

int sel_insert(os_poller_t *p, const os_poller_object_t *o, uint64_t events, uint64_t user)
{
    list_lock lk(p);
    return put_entry(p, fd_of(o), events, user);
}

int sel_modify(os_poller_t *p, const os_poller_object_t *o, uint64_t events, uint64_t user)
{
    list_lock lk(p);
    return put_entry(p, fd_of(o), events, user);
}

int sel_remove(os_poller_t *p, const os_poller_object_t *o)
{
    list_lock lk(p);
    return p->list ? drop_entry(p, fd_of(o)) : 1;
}

void send_byte(os_poller_t *p, char c)
{
    if (p->pair[0])
        os_socket_send(p->pair[0], &c, 1);
}

void sel_spak(os_poller_t *p) { send_byte(p, 'p'); }
void sel_kill(os_poller_t *p) { send_byte(p, 'k'); }

int make_pair(os_poller_t *p, const char *func)
{
    if (!os_socket_pair(OS_SOCKET_TCP, p->pair)) {
        log2_printf(nullptr, LOG2_ERR | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, func, "os_socket_pair error: ");
        p->pair[0] = p->pair[1] = nullptr;
        return 0;
    }
    const os_poller_object_t o{OS_POLLER_OBJECT_SOCKET, reinterpret_cast<uint64_t>(p->pair[1])};
    if (!sel_insert(p, &o, OS_POLLER_EVENT_READ, 0)) {
        log2_printf(nullptr, LOG2_ERR | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, func, "os_poller_select_insert error: ");
        os_socket_exit(p->pair[0]);
        os_socket_exit(p->pair[1]);
        p->pair[0] = p->pair[1] = nullptr;
        return 0;
    }
    return 1;
}

void close_pair(os_poller_t *p)
{
    if (p->pair[1]) {
        const os_poller_object_t o{OS_POLLER_OBJECT_SOCKET, reinterpret_cast<uint64_t>(p->pair[1])};
        sel_remove(p, &o);
    }
    os_socket_exit(p->pair[0]);
    os_socket_exit(p->pair[1]);
    p->pair[0] = p->pair[1] = nullptr;
}

void sel_exit(os_poller_t *p)
{
    if (p->lock)
        close_pair(p);
    os_free(p->list);
    os_free(p->fds);
    os_free(p->snap);
    mutex_free(p->lock);
    os_free(p);
}

struct event_t {
    int64_t fd;
    uint64_t events;
    uint64_t user;
    bool closed; // the descriptor was closed while inserted: its entry goes
};

// Removes the entry of a descriptor found closed, unless it was removed or
// given to another user meanwhile.
void drop_closed(os_poller_t *p, int64_t fd, uint64_t user)
{
    list_lock lk(p);
    bool found;
    const uint64_t i = p->list ? find_entry(p, fd, &found) : 0;
    if (p->list && found && p->list[i].user == user)
        drop_entry(p, fd);
}

// The event bits poll's answer gives an entry, as select would report them.
uint64_t bits_of(const os_poller_entry_t &e, short revents)
{
    uint64_t bits = 0;
    if ((e.events & OS_POLLER_EVENT_READ) && (revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)))
        bits |= OS_POLLER_EVENT_READ;
    if ((e.events & OS_POLLER_EVENT_WRITE) && (revents & (POLLOUT | POLLERR)))
        bits |= OS_POLLER_EVENT_WRITE;
    if (revents) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(static_cast<int>(e.fd), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0)
            bits |= OS_POLLER_EVENT_ERROR;
    }
    if (bits && (e.events & OS_POLLER_EVENT_ONESHOT))
        bits |= OS_POLLER_EVENT_ONESHOT;
    return bits;
}

int dispatch(os_poller_t *p, os_poller_fn func, event_t *ev, int n)
{
    for (int i = 0; i < n; i++) {
        os_poller_object_t o{OS_POLLER_OBJECT_SOCKET, static_cast<uint64_t>(ev[i].fd + 1)};
        uint64_t bits = ev[i].events;
        if (ev[i].closed)
            drop_closed(p, ev[i].fd, ev[i].user);
        if (bits & OS_POLLER_EVENT_ONESHOT) {
            bits &= ~static_cast<uint64_t>(OS_POLLER_EVENT_ONESHOT);
            sel_remove(p, &o);
        }
        func(p, &o, bits, ev[i].user);
    }
    return n;
}

int sel_wait(os_poller_t *p, os_poller_fn func, int64_t timeout_ms)
{
    const uint64_t start = os_clock_ms();
    if (!p->fds) {
        p->fds = os_zalloc(sizeof(struct pollfd) * OS_POLLER_MAX_FDS);
        p->snap = static_cast<os_poller_entry_t *>(os_zalloc(sizeof(os_poller_entry_t) * OS_POLLER_MAX_FDS));
        PL_ASSERT_RET(TAG, p->fds && p->snap, -1);
    }
    auto *fds = static_cast<struct pollfd *>(p->fds);
    os_poller_entry_t *snap = p->snap;
    event_t ev[OS_POLLER_MAX_EVENTS];
    for (;;) {
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const uint64_t now = os_clock_ms();
            if (now - start >= static_cast<uint64_t>(timeout_ms))
                return 0;
            wait_ms = static_cast<int>(static_cast<uint64_t>(timeout_ms) - (now - start));
        }
        uint64_t n;
        {
            // The entries polled are a snapshot: other threads may change
            // the list while this thread waits.
            list_lock lk(p);
            n = p->list_n;
            if (n)
                memcpy(snap, p->list, sizeof(os_poller_entry_t) * n);
        }
        for (uint64_t i = 0; i < n; i++) {
            const os_poller_entry_t &e = snap[i];
            PL_ASSERT_RET(TAG, e.fd >= 0, -1);
            fds[i].fd = static_cast<int>(e.fd);
            fds[i].events = static_cast<short>(((e.events & OS_POLLER_EVENT_READ) ? POLLIN : 0) |
                                               ((e.events & OS_POLLER_EVENT_WRITE) ? POLLOUT : 0));
            fds[i].revents = 0;
        }
        const int r = poll(fds, n, wait_ms);
        if (r == 0)
            return 0;
        if (r < 0)
            return errno == EINTR ? 0 : -1;

        // Collect in descriptor order, starting where a full pass stopped
        // last time, so that more than a pass's worth are all served in turn.
        int count = 0;
        bool woken = false, killed = false;
        uint64_t first = 0;
        while (first < n && fds[first].fd < p->resume_fd)
            first++;
        p->resume_fd = 0;
        const int64_t wake_fd = os_socket_fd(p->pair[1]);
        for (uint64_t k = 0; k < n && !killed; k++) {
            const uint64_t i = (first + k) % n;
            if (!fds[i].revents)
                continue;
            const os_poller_entry_t e = snap[i];
            if (e.fd == wake_fd) {
                char c = 0;
                const int got = os_socket_recv(p->pair[1], &c, 1);
                if (got == 1) {
                    if (c == 'k')
                        killed = true;
                    else
                        woken = true;
                    continue;
                }
                LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "recv ret=%d error: ", got);
                close_pair(p);
                if (make_pair(p, "os_poller_reset_pair"))
                    return 0;
                dispatch(p, func, ev, count);
                return -1;
            }
            // A descriptor closed while inserted would be answered at once
            // on every pass (a busy loop): it is reported once, as an error,
            // and its entry removed.
            const bool closed = (fds[i].revents & POLLNVAL) != 0;
            const uint64_t bits = closed ? static_cast<uint64_t>(OS_POLLER_EVENT_ERROR) : bits_of(e, fds[i].revents);
            if (!bits)
                continue;
            if (count == OS_POLLER_MAX_EVENTS) {
                p->resume_fd = e.fd; // the next pass starts with this one
                break;
            }
            ev[count++] = {e.fd, bits, e.user, closed};
        }
        if (killed) {
            dispatch(p, func, ev, count);
            return -1;
        }
        if (count > 0)
            return dispatch(p, func, ev, count);
        if (woken)
            return 0;
    }
}

} // namespace

os_poller_t *os_poller_init(void *priv)
{
    auto *poller = static_cast<os_poller_t *>(os_zalloc(sizeof(os_poller_t)));
    PL_ASSERT_RET(TAG, poller, nullptr);
    poller->priv = priv;
    poller->type = OS_POLLER_TYPE_SELECT;
    poller->events = OS_POLLER_EVENT_READ | OS_POLLER_EVENT_WRITE | OS_POLLER_EVENT_ONESHOT;
    poller->exit = sel_exit;
    poller->kill = sel_kill;
    poller->spak = sel_spak;
    poller->wait = sel_wait;
    poller->insert = sel_insert;
    poller->remove = sel_remove;
    poller->modify = sel_modify;
    poller->maxfd = -1;
    poller->lock = mutex_malloc();
    if (!poller->lock || !make_pair(poller, "os_poller_select_init")) {
        sel_exit(poller);
        return nullptr;
    }
    return poller;
}

void *os_poller_priv(os_poller_t *poller)
{
    PL_ASSERT_RET(TAG, poller, nullptr);
    return poller->priv;
}

int os_poller_type(os_poller_t *poller)
{
    PL_ASSERT_RET(TAG, poller, 0);
    return poller->type;
}

int os_poller_support(os_poller_t *poller, uint64_t events)
{
    PL_ASSERT_RET(TAG, poller, 0);
    return (events & ~static_cast<uint64_t>(poller->events)) == 0 ? 1 : 0;
}

int os_poller_insert(os_poller_t *poller, const os_poller_object_t *object, uint64_t events, uint64_t user)
{
    PL_ASSERT_RET(TAG, poller && poller->insert && object, 0);
    PL_ASSERT_RET(TAG, object->type != OS_POLLER_OBJECT_PROC, 0);
    return poller->insert(poller, object, events, user);
}

int os_poller_remove(os_poller_t *poller, const os_poller_object_t *object)
{
    PL_ASSERT_RET(TAG, poller && poller->remove && object, 0);
    PL_ASSERT_RET(TAG, object->type != OS_POLLER_OBJECT_PROC, 0);
    return poller->remove(poller, object);
}

int os_poller_modify(os_poller_t *poller, const os_poller_object_t *object, uint64_t events, uint64_t user)
{
    PL_ASSERT_RET(TAG, poller && poller->modify && object, 0);
    PL_ASSERT_RET(TAG, object->type != OS_POLLER_OBJECT_PROC, 0);
    return poller->modify(poller, object, events, user);
}

int os_poller_wait(os_poller_t *poller, os_poller_fn func, int64_t timeout_ms)
{
    PL_ASSERT_RET(TAG, poller && poller->wait && func, -1);
    return poller->wait(poller, func, timeout_ms);
}

void os_poller_spak(os_poller_t *poller)
{
    if (poller && poller->spak)
        poller->spak(poller);
}

void os_poller_kill(os_poller_t *poller)
{
    if (poller && poller->kill)
        poller->kill(poller);
}

void os_poller_attach(os_poller_t *poller)
{
    if (poller && poller->attach)
        poller->attach(poller);
}

void os_poller_exit(os_poller_t *poller)
{
    if (!poller)
        return;
    os_poller_kill(poller);
    if (poller->exit)
        poller->exit(poller);
}
