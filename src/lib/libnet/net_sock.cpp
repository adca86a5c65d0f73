// Socket reads and writes of a connection: non-blocking calls waited on in
// slices, so a call can be given up on time-out or abort.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "libnet/net_imp.h"
#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"

#define TAG NET_TAG

namespace {

constexpr int k_read_slice_ms = 300;
constexpr int k_write_slice_ms = 500;

// The next wait: at most one slice, never past the time-out.
int slice_ms(uint64_t start, int timeout, int slice)
{
    const int64_t left = int64_t(timeout) - int64_t(os_clock_ms() - start);
    return int(std::clamp<int64_t>(left, 0, slice));
}

bool timed_out(uint64_t start, int timeout) { return int64_t(os_clock_ms() - start) >= int64_t(timeout); }

} // namespace

int net_hook_aborts(net_abort_hook *hook, int timeout_ms)
{
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
    if (net_flag_get(&conn->disconnected)) {
        LOG_VERB(TAG, "_disconnect!!\n");
        return -1;
    }
    auto sock = static_cast<os_socket_t>(conn->handle);
    auto *p = static_cast<char *>(buf);
    const uint64_t start = os_clock_ms();
    size_t got = 0;
    bool readable = false;
    while (got < len) {
        errno = 0;
        const int r = os_socket_recv(sock, p + got, len - got);
        if (r > 0) {
            got += size_t(r);
            readable = false;
            continue;
        }
        if (r < 0) {
            LOG_VERB(TAG, "socket_recv error [%d] [%s]\n", errno, os_errno_str());
            return -1;
        }
        if (readable && errno == 0) {
            // Readable, yet nothing to read: the peer has closed.
            net_flag_set(&conn->disconnected, 1);
            return int(got);
        }
        for (;;) {
            if (net_flag_get(&conn->abort) || net_hook_aborts(conn->hook, conn->timeout)) {
                errno = ECANCELED;
                return -1;
            }
            const int w = os_socket_wait(sock, OS_SOCKET_WAIT_READ, slice_ms(start, conn->timeout, k_read_slice_ms));
            if (w < 0) {
                LOG_VERB(TAG, "socket_wait error [%d] [%s]\n", errno, os_errno_str());
                // A failed wait with nothing read is an error, not a time-out.
                return got ? int(got) : -1;
            }
            if (w > 0) {
                readable = true;
                break;
            }
            if (timed_out(start, conn->timeout))
                return int(got);
        }
    }
    return int(got);
}

int net_sock_write(net_conn *conn, const void *buf, size_t len)
{
    if (conn->type == NET_CONSOLE_TYPE)
        return net_console_write(conn, buf, len);
    if (net_flag_get(&conn->disconnected)) {
        LOG_VERB(TAG, "_disconnect!!\n");
        return -1;
    }
    auto sock = static_cast<os_socket_t>(conn->handle);
    const auto *p = static_cast<const char *>(buf);
    const uint64_t start = os_clock_ms();
    size_t done = 0;
    bool writable = false;
    while (done < len) {
        errno = 0;
        const int r = os_socket_send(sock, p + done, len - done);
        if (r > 0) {
            done += size_t(r);
            writable = false;
            continue;
        }
        if (r < 0) {
            LOG_VERB(TAG, "socket_send error [%d] [%s]\n", errno, os_errno_str());
            return -1;
        }
        if (writable && errno == 0) {
            net_flag_set(&conn->disconnected, 1);
            return int(done);
        }
        for (;;) {
            if (net_flag_get(&conn->abort)) {
                errno = ECANCELED;
                return -1;
            }
            const int w = os_socket_wait(sock, OS_SOCKET_WAIT_WRITE, slice_ms(start, conn->timeout, k_write_slice_ms));
            if (w < 0) {
                LOG_VERB(TAG, "socket_wait error [%d] [%s]\n", errno, os_errno_str());
                return -1;
            }
            if (w > 0) {
                writable = true;
                break;
            }
            if (timed_out(start, conn->timeout)) {
                LOG_VERB(TAG, "write timeout\n");
                return int(done);
            }
        }
    }
    return int(done);
}
