// Socket reads and writes of a connection: non-blocking calls waited on in
// slices, so a call can be given up on time-out or abort. Both directions
// share one transfer loop; what differs between them is in their sock_dir.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "libnet/net_imp.h"
#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"
#include "libssl/libssl.h"

#define TAG NET_TAG

namespace {

// What differs between reading and writing a socket.
struct sock_dir {
    int events;           // OS_SOCKET_WAIT_READ or OS_SOCKET_WAIT_WRITE
    int slice_ms;         // the longest single wait
    const char *io_name;  // the call named by its failure line
    bool ask_hook;        // reads also ask the abort hook; writes look at the flag only
    bool wait_fail_count; // reads: a failed wait after some bytes answers their count
    bool log_timeout;     // writes log their time-out
};

constexpr sock_dir k_read_dir = {OS_SOCKET_WAIT_READ, 300, "socket_recv", true, true, false};
constexpr sock_dir k_write_dir = {OS_SOCKET_WAIT_WRITE, 500, "socket_send", false, false, true};

// Log lines of the loop name the public call (func) they were made for.
#define SOCK_LOG(func, ...) log2_printf(nullptr, LOG2_VERB, TAG, __FILE__, __LINE__, (func), __VA_ARGS__)

// The next wait: at most one slice, never past the time-out.
int slice_ms(uint64_t start, int timeout, int slice)
{
    const int64_t left = int64_t(timeout) - int64_t(os_clock_ms() - start);
    return int(std::clamp<int64_t>(left, 0, slice));
}

bool timed_out(uint64_t start, int timeout) { return int64_t(os_clock_ms() - start) >= int64_t(timeout); }

enum class wait_end { ready, timeout, aborted, failed };

// Waits in slices of dir until sock is ready, the connection's time-out
// counted from start passes, an abort is raised, or the wait fails (logged).
wait_end wait_ready(net_conn *conn, os_socket_t sock, uint64_t start, const sock_dir &dir, const char *func)
{
    for (;;) {
        if (net_flag_get(&conn->abort) || net_abort_all_due() ||
            (dir.ask_hook && net_hook_aborts(conn->hook, conn->timeout)))
            return wait_end::aborted;
        const int w = os_socket_wait(sock, dir.events, slice_ms(start, conn->timeout, dir.slice_ms));
        if (w < 0) {
            SOCK_LOG(func, "socket_wait error [%d] [%s]\n", errno, os_errno_str());
            return wait_end::failed;
        }
        if (w > 0)
            return wait_end::ready;
        if (timed_out(start, conn->timeout))
            return wait_end::timeout;
    }
}

// Moves len bytes through op(sock, done), one non-blocking call (bytes
// moved, 0 when the socket is not ready, -1 on error) from byte done, and
// waits between calls. The count moved (short on time-out or when the peer
// closed, which sets the disconnected flag); -1 on error (errno ECANCELED
// after an abort). func: the public call, for log lines.
template <class Op> int sock_transfer(net_conn *conn, size_t len, const sock_dir &dir, const char *func, Op op)
{
    if (net_flag_get(&conn->disconnected)) {
        SOCK_LOG(func, "_disconnect!!\n");
        return -1;
    }
    auto sock = static_cast<os_socket_t>(conn->handle);
    const uint64_t start = os_clock_ms();
    size_t done = 0;
    bool ready = false;
    while (done < len) {
        errno = 0;
        const int r = op(sock, done);
        if (r > 0) {
            done += size_t(r);
            ready = false;
            continue;
        }
        if (r < 0) {
            SOCK_LOG(func, "%s error [%d] [%s]\n", dir.io_name, errno, os_errno_str());
            return -1;
        }
        if (ready && errno == 0) {
            // Ready, yet nothing moved: the peer has closed.
            net_flag_set(&conn->disconnected, 1);
            return int(done);
        }
        switch (wait_ready(conn, sock, start, dir, func)) {
        case wait_end::ready: ready = true; break;
        case wait_end::aborted: errno = ECANCELED; return -1;
        case wait_end::failed:
            // A failed wait with nothing moved is an error, not a time-out.
            return dir.wait_fail_count && done ? int(done) : -1;
        case wait_end::timeout:
            if (dir.log_timeout)
                SOCK_LOG(func, "write timeout\n");
            return int(done);
        }
    }
    return int(done);
}

} // namespace

namespace {
// The monotonic millisecond from which every wait gives up; 0: none set.
std::atomic<uint64_t> s_abort_all_at{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "written by a signal handler");
} // namespace

void net_abort_all(int grace_ms)
{
    // clock_gettime and a lock-free atomic only: a handler may call this.
    uint64_t at = os_clock_ms() + uint64_t(grace_ms > 0 ? grace_ms : 0);
    if (at == 0)
        at = 1;
    uint64_t none = 0;
    s_abort_all_at.compare_exchange_strong(none, at);
}

int net_abort_all_due(void)
{
    const uint64_t at = s_abort_all_at.load(std::memory_order_acquire);
    return at != 0 && os_clock_ms() >= at ? 1 : 0;
}

int net_hook_aborts(net_abort_hook *hook, int timeout_ms)
{
    if (net_abort_all_due())
        return 1;
    if (!hook)
        return 0;
    if (net_flag_get(&hook->abort))
        return 1;
    return hook->func && hook->func(hook->arg, timeout_ms) != 0;
}

int net_sock_read(net_conn *conn, void *buf, size_t len)
{
    if (conn->type == NET_CONSOLE_TYPE)
        return int(read(0, buf, len));
    auto *p = static_cast<char *>(buf);
    return sock_transfer(conn, len, k_read_dir, __func__,
                         [&](os_socket_t sock, size_t done) { return os_socket_recv(sock, p + done, len - done); });
}

int net_sock_write(net_conn *conn, const void *buf, size_t len)
{
    if (conn->type == NET_CONSOLE_TYPE)
        return net_console_write(conn, buf, len);
    const auto *p = static_cast<const char *>(buf);
    return sock_transfer(conn, len, k_write_dir, __func__,
                         [&](os_socket_t sock, size_t done) { return os_socket_send(sock, p + done, len - done); });
}

namespace {

// TLS sessions run on these socket calls: the TLS layer sits below this
// library and is handed them when the program loads (any program that can
// open a socket connection has this file linked in).
[[maybe_unused]] const bool s_tls_transport_set = (ssl_set_transport(net_sock_read, net_sock_write), true);

} // namespace
