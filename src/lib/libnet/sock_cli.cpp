// Client sockets: TCP connect with time-out and abort, the UDP sender, and
// thin wrappers over the platform's socket calls.
#include <cerrno>

#include "libnet/net_imp.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"

#define TAG NET_TAG

namespace {

constexpr int k_connect_slice_ms = 200;
constexpr int k_default_connect_ms = 6000;

// Resolves host into addr with port; false (err filled) on failure.
bool resolve(const char *host, int port, os_ipaddr *addr, vperror_t *err)
{
    if (port < 1 || port > 65535) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "invalid port %d", port);
        return false;
    }
    *addr = os_ipaddr{};
    if (!os_addrinfo_addr(host, addr)) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "addrinfo_addr %s failed", host);
        return false;
    }
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

os_socket_t sock_tcp_connect(const char *host, int port, const net_opts *opts, vperror_t *err)
{
    PL_ASSERT_RET(TAG, host, nullptr);
    if (opts && opts->proxy.type != NET_PROXY_NONE)
        return proxy_tcp_connect(host, port, opts, err);
    const int timeout = opts ? opts->connect_timeout : k_default_connect_ms;
    net_abort_hook *hook = opts ? opts->hook : nullptr;
    os_ipaddr addr;
    if (!resolve(host, port, &addr, err))
        return nullptr;
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
    if (!resolve(host, port, &addr, err))
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
