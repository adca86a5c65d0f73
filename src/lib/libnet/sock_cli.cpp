// Client sockets: TCP connect with time-out and abort, the UDP sender, and
// thin wrappers over the platform's socket calls.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "libnet/net_imp.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

#define TAG NET_TAG

namespace {

constexpr int k_connect_slice_ms = 200;
constexpr int k_default_connect_ms = 6000;
constexpr int k_lookup_slice_ms = 100;

// One name lookup on a helper thread. The waiter may give up (time-out,
// abort); the record is shared, so whichever of the two ends last frees it.
struct lookup_job {
    std::mutex mu;
    std::condition_variable cv;
    std::string host;
    int family = 0;
    os_ipaddr addr{};
    bool done = false;
    bool ok = false;
};

void *lookup_main(void *arg)
{
    auto *held = static_cast<std::shared_ptr<lookup_job> *>(arg);
    std::shared_ptr<lookup_job> job = std::move(*held);
    delete held;
    os_ipaddr a{};
    a.state = uint8_t(job->family);
    const bool ok = os_addrinfo_addr(job->host.c_str(), &a) != 0;
    {
        std::lock_guard<std::mutex> g(job->mu);
        job->addr = a;
        job->ok = ok;
        job->done = true;
    }
    job->cv.notify_all();
    return nullptr;
}

// Resolves host into addr with port; false (err filled) on failure.
bool resolve(const char *host, int port, os_ipaddr *addr, int timeout_ms, net_abort_hook *hook, vperror_t *err)
{
    if (port < 1 || port > 65535) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "invalid port %d", port);
        return false;
    }
    if (sock_resolve(host, addr, 0, timeout_ms, hook, err) != 0)
        return false;
    os_ipaddr_port_set(addr, uint16_t(port));
    return true;
}

// Fails the connect: closes the socket and answers NULL.
os_socket_t give_up(os_socket_t sock)
{
    os_socket_exit(sock);
    return nullptr;
}

} // namespace

int sock_resolve(const char *host, os_ipaddr *addr, int family, int timeout_ms, net_abort_hook *hook, vperror_t *err)
{
    PL_ASSERT_RET(TAG, host && addr, -1);
    *addr = os_ipaddr{};
    // An address as text needs no resolver.
    if ((family == 0 || family == OS_IPADDR_IPV4) && os_ipaddr_ip_cstr_set(addr, host, OS_IPADDR_IPV4))
        return 0;
    if ((family == 0 || family == OS_IPADDR_IPV6) && os_ipaddr_ip_cstr_set(addr, host, OS_IPADDR_IPV6))
        return 0;
    auto job = std::make_shared<lookup_job>();
    job->host = host;
    job->family = family;
    auto *held = new (std::nothrow) std::shared_ptr<lookup_job>(job);
    os_thread_t *th = held ? os_thread_init2("resolve", lookup_main, held, 0, nullptr) : nullptr;
    if (!th) {
        delete held;
        VPERROR_SET(err, VERR_NO_MEMORY, "addrinfo_addr %s: no lookup thread", host);
        return -1;
    }
    const uint64_t start = os_clock_ms();
    int status = 0;
    {
        std::unique_lock<std::mutex> g(job->mu);
        while (!job->done) {
            if (int64_t(os_clock_ms() - start) >= int64_t(timeout_ms)) {
                status = VERR_TIMEOUT;
                break;
            }
            g.unlock();
            const bool aborted = net_hook_aborts(hook, timeout_ms);
            g.lock();
            if (aborted) {
                status = VERR_ABORTED;
                break;
            }
            job->cv.wait_for(g, std::chrono::milliseconds(k_lookup_slice_ms));
        }
        if (!status && job->ok)
            *addr = job->addr;
        else if (!status)
            status = VERR_INVALID_PARAMETER;
    }
    os_thread_detach(th); // a lookup given up ends on its own and frees its share
    if (status == VERR_TIMEOUT)
        VPERROR_SET(err, VERR_TIMEOUT, "addrinfo_addr %s timed out", host);
    else if (status == VERR_ABORTED)
        VPERROR_SET(err, VERR_ABORTED, "connection aborted");
    else if (status)
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "addrinfo_addr %s failed", host);
    return status ? -1 : 0;
}

os_socket_t sock_tcp_connect(const char *host, int port, const net_opts *opts, vperror_t *err)
{
    PL_ASSERT_RET(TAG, host, nullptr);
    if (opts && opts->proxy.type != NET_PROXY_NONE)
        return proxy_tcp_connect(host, port, opts, err);
    const int timeout = opts ? opts->connect_timeout : k_default_connect_ms;
    os_ipaddr addr;
    if (!resolve(host, port, &addr, timeout, opts ? opts->hook : nullptr, err))
        return nullptr;
    return sock_tcp_connect_addr(&addr, opts, err);
}

os_socket_t sock_tcp_connect_addr(const os_ipaddr *addr_in, const net_opts *opts, vperror_t *err)
{
    PL_ASSERT_RET(TAG, addr_in, nullptr);
    const int timeout = opts ? opts->connect_timeout : k_default_connect_ms;
    net_abort_hook *hook = opts ? opts->hook : nullptr;
    const os_ipaddr addr = *addr_in;
    os_socket_t sock = os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(&addr));
    if (!sock) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "os_socket_init failed: ");
        NET_ERR_ERRNO(err);
        return nullptr;
    }
    if (opts && opts->buf_size) {
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, int(opts->buf_size)))
            LOG_WARN(TAG, "OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", opts->buf_size);
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, int(opts->buf_size)))
            LOG_WARN(TAG, "OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", opts->buf_size);
    }
    if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        LOG_WARN(TAG, "OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");

    if (opts && opts->single) {
        if (os_socket_connect(sock, &addr) >= 0)
            return sock;
        NET_ERR_ERRNO(err);
        return give_up(sock);
    }
    char text[OS_IPADDR_CSTR_MAXN];
    const uint64_t start = os_clock_ms();
    for (;;) {
        const int r = os_socket_connect(sock, &addr);
        if (r > 0)
            return sock;
        if (r < 0) {
            LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "os_socket_connect %s error: ", os_ipaddr_cstr(&addr, text, sizeof text));
            NET_ERR_ERRNO(err);
            return give_up(sock);
        }
        for (;;) {
            const int64_t left = int64_t(timeout) - int64_t(os_clock_ms() - start);
            if (left <= 0) {
                VPERROR_SET(err, VERR_TIMEOUT, "connection timeout");
                return give_up(sock);
            }
            if (net_hook_aborts(hook, timeout)) {
                VPERROR_SET(err, VERR_ABORTED, "connection aborted");
                return give_up(sock);
            }
            const int w = os_socket_wait(sock, OS_SOCKET_WAIT_WRITE, int(left < k_connect_slice_ms ? left : k_connect_slice_ms));
            if (w > 0)
                break;
            if (w < 0) {
                const int eno = errno;
                if (os_verr_get(eno) == VERR_NET_CONNECTION_REFUSED) {
                    VPERROR_SET(err, VERR_NET_CONNECTION_REFUSED, "connection refused");
                } else {
                    LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "os_socket_wait %s error: ",
                         os_ipaddr_cstr(&addr, text, sizeof text));
                    NET_ERR_ERRNO(err);
                }
                return give_up(sock);
            }
        }
    }
}

os_socket_t sock_udp_open(const char *host, int port, vperror_t *err)
{
    PL_ASSERT_RET(TAG, host, nullptr);
    os_ipaddr addr;
    if (!resolve(host, port, &addr, k_default_connect_ms, nullptr, err))
        return nullptr;
    os_socket_t sock = os_socket_init(OS_SOCKET_UDP, os_ipaddr_family(&addr));
    if (!sock) {
        NET_ERR_ERRNO(err);
        return nullptr;
    }
    if (os_socket_connect(sock, &addr) < 0) {
        NET_ERR_ERRNO(err);
        return give_up(sock);
    }
    return sock;
}

int sock_shutdown(os_socket_t sock, int how) { return os_socket_kill(sock, how) ? 0 : -1; }

void sock_close(os_socket_t sock)
{
    if (!sock)
        return;
    os_socket_kill(sock, 2);
    os_socket_exit(sock);
}

int sock_send(os_socket_t sock, const void *buf, size_t len) { return os_socket_send(sock, buf, len); }
int sock_recv(os_socket_t sock, void *buf, size_t len) { return os_socket_recv(sock, buf, len); }
int sock_sendto(os_socket_t sock, const os_ipaddr *addr, const void *buf, size_t len)
{
    return os_socket_usend(sock, addr, buf, len);
}
int sock_recvfrom(os_socket_t sock, os_ipaddr *addr, void *buf, size_t len)
{
    return os_socket_urecv(sock, addr, buf, len);
}
