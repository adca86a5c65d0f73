// Sockets: creation, control codes, connect, bind, accept, data calls,
// readiness waits and the connected UDP sender.
#include "libpal/network/os_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_assert.h"

#define TAG "pal"

namespace {

int fd_of(os_socket_t sock) { return int(reinterpret_cast<intptr_t>(sock) - 1); }
os_socket_t handle_of(int fd) { return fd < 0 ? nullptr : reinterpret_cast<os_socket_t>(intptr_t(fd) + 1); }

int clamp_len(size_t len) { return len > size_t(INT_MAX) ? INT_MAX : int(len); }

// A data call's system result: counts as they are, "try again" and
// interruptions as 0, other failures -1.
int data_result(ssize_t r)
{
    if (r >= 0)
        return int(r);
    return (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

int socket_type_of(int type)
{
    switch (type & ~0xff) {
    case OS_SOCKET_STREAM: return SOCK_STREAM;
    case OS_SOCKET_DGRAM: return SOCK_DGRAM;
    case OS_SOCKET_RAW: return SOCK_RAW;
    default: return -1;
    }
}

int os_socket_proto(int type, int family)
{
    switch (type & 0xff) {
    case OS_SOCKET_PROTO_TCP: return IPPROTO_TCP;
    case OS_SOCKET_PROTO_UDP: return IPPROTO_UDP;
    case OS_SOCKET_PROTO_ICMP:
        if (family == OS_IPADDR_IPV4)
            return IPPROTO_ICMP;
        PL_ASSERT_HARD(TAG, family == OS_IPADDR_IPV6);
        return IPPROTO_ICMPV6;
    default: return -1;
    }
}

int domain_of(int family)
{
    return family == OS_IPADDR_IPV6 ? AF_INET6 : family == OS_IPADDR_UNIX ? AF_UNIX : AF_INET;
}

int set_nonblock(int fd, bool on)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0)
        return -1;
    return fcntl(fd, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK));
}

int set_int_opt(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 1 : 0;
}

// Converts a system address the kernel gave into out (when given); an
// address of no family the records know (an unbound peer, nothing received)
// leaves out empty.
void save_addr(os_ipaddr *out, const sockaddr_storage *ss, socklen_t len)
{
    if (!out)
        return;
    const int f = ss->ss_family;
    if (len == 0 || (f != AF_INET && f != AF_INET6 && f != AF_UNIX)) {
        memset(out, 0, sizeof(*out));
        return;
    }
    os_sockaddr_save(out, reinterpret_cast<const sockaddr *>(ss));
}

int pending_error(int fd, int *err)
{
    socklen_t len = sizeof(*err);
    *err = 0;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, err, &len);
}

// Loop of the full transfers: move len bytes, waiting without end whenever
// the socket has nothing to give or take.
template <class Op> int full_transfer(os_socket_t sock, size_t len, int event, Op op)
{
    size_t done = 0;
    bool waited = false;
    while (done < len) {
        int r = op(done);
        if (r > 0) {
            done += size_t(r);
            waited = false;
            continue;
        }
        if (r < 0 || waited)
            break;
        if (os_socket_wait(sock, event, -1) < 1)
            break;
        waited = true;
    }
    return done == len;
}

} // namespace

// ---- handles ----------------------------------------------------------------------------

int os_socket_fd(os_socket_t sock) { return sock ? fd_of(sock) : -1; }
os_socket_t os_socket_from_fd(int fd) { return handle_of(fd); }

os_socket_t os_socket_init(int type, int family)
{
    PL_ASSERT_RET(TAG, type, nullptr);
    const int t = socket_type_of(type);
    const int p = family == OS_IPADDR_UNIX ? 0 : os_socket_proto(type, family);
    PL_ASSERT_RET(TAG, t >= 0 && p >= 0, nullptr);
    const int fd = socket(domain_of(family), t | SOCK_CLOEXEC, p);
    PL_ASSERT_RET(TAG, fd >= 0, nullptr);
    set_nonblock(fd, true);
    return handle_of(fd);
}

int os_socket_pair(int type, os_socket_t pair[2])
{
    PL_ASSERT_RET(TAG, type && pair, 0);
    const int t = socket_type_of(type);
    PL_ASSERT_RET(TAG, t >= 0, 0);
    int fds[2];
    if (socketpair(AF_UNIX, t | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    set_nonblock(fds[0], true);
    set_nonblock(fds[1], true);
    pair[0] = handle_of(fds[0]);
    pair[1] = handle_of(fds[1]);
    return 1;
}

int os_socket_ctrl(os_socket_t sock, int code, ...)
{
    PL_ASSERT_RET(TAG, sock, 0);
    const int fd = fd_of(sock);
    va_list va;
    va_start(va, code);
    int ret = 0;
    switch (code) {
    case OS_SOCKET_CTRL_SET_BLOCK:
        set_nonblock(fd, (va_arg(va, int) & 0xff) == 0);
        ret = 1;
        break;
    case OS_SOCKET_CTRL_GET_BLOCK: {
        uint8_t *pis_block = va_arg(va, uint8_t *);
        if (!pis_block) {
            va_end(va);
            PL_ASSERT_RET(TAG, pis_block, 0);
        }
        *pis_block = (fcntl(fd, F_GETFL) & O_NONBLOCK) ? 0 : 1;
        ret = 1;
        break;
    }
    case OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE: ret = set_int_opt(fd, SOL_SOCKET, SO_RCVBUF, va_arg(va, int)); break;
    case OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE: ret = set_int_opt(fd, SOL_SOCKET, SO_SNDBUF, va_arg(va, int)); break;
    case OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE:
    case OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE: {
        int64_t *pbuff_size = va_arg(va, int64_t *);
        if (!pbuff_size) {
            va_end(va);
            PL_ASSERT_RET(TAG, pbuff_size, 0);
        }
        int v = 0;
        socklen_t len = sizeof v;
        const int name = code == OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE ? SO_RCVBUF : SO_SNDBUF;
        ret = getsockopt(fd, SOL_SOCKET, name, &v, &len) == 0;
        *pbuff_size = ret ? int64_t(v) : 0;
        break;
    }
    case OS_SOCKET_CTRL_SET_TCP_NODELAY: ret = set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, va_arg(va, int)); break;
    case OS_SOCKET_CTRL_GET_TCP_NODELAY: {
        uint8_t *penable = va_arg(va, uint8_t *);
        if (!penable) {
            va_end(va);
            PL_ASSERT_RET(TAG, penable, 0);
        }
        int v = 0;
        socklen_t len = sizeof v;
        ret = getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len) == 0;
        *penable = ret ? uint8_t(v) : 0;
        break;
    }
    case OS_SOCKET_CTRL_SET_TCP_KEEPINTVL: ret = set_int_opt(fd, IPPROTO_TCP, TCP_KEEPINTVL, va_arg(va, int)); break;
    case OS_SOCKET_CTRL_SET_KEEPALIVE: ret = set_int_opt(fd, SOL_SOCKET, SO_KEEPALIVE, va_arg(va, int)); break;
    case OS_SOCKET_CTRL_SET_NOSIGPIPE:
        // The option other systems have under the no-signal flag's number;
        // Linux refuses it, and SIGPIPE is ignored process-wide instead.
        ret = set_int_opt(fd, SOL_SOCKET, MSG_NOSIGNAL, va_arg(va, int));
        break;
    case OS_SOCKET_CTRL_SET_TCP_KEEPIDLE: ret = set_int_opt(fd, IPPROTO_TCP, TCP_KEEPIDLE, va_arg(va, int)); break;
    case OS_SOCKET_CTRL_SET_TCP_KEEPCNT: ret = set_int_opt(fd, IPPROTO_TCP, TCP_KEEPCNT, va_arg(va, int)); break;
    case OS_SOCKET_CTRL_ADD_MEMBERSHIP: {
        const char *group = va_arg(va, const char *);
        os_ipv4 g;
        if (!group || !os_ipv4_cstr_set(&g, group))
            break;
        ip_mreq req{};
        req.imr_multiaddr.s_addr = g.addr;
        req.imr_interface.s_addr = htonl(INADDR_ANY);
        ret = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0;
        break;
    }
    default: LOG_ERR(TAG, "unknown socket ctrl: %lu\n", (unsigned long)code); break;
    }
    va_end(va);
    return ret;
}

int os_socket_connect(os_socket_t sock, const os_ipaddr *addr)
{
    PL_ASSERT_RET(TAG, sock && addr, -1);
    PL_ASSERT_RET(TAG, !os_ipaddr_is_empty(addr), -1);
    sockaddr_storage ss;
    const int len = os_sockaddr_load(&ss, addr);
    if (len <= 0)
        return -1;
    if (connect(fd_of(sock), reinterpret_cast<sockaddr *>(&ss), socklen_t(len)) == 0 || errno == EISCONN)
        return 1;
    if (errno == EINTR || errno == EINPROGRESS || errno == EAGAIN)
        return 0;
    return -1;
}

void os_socket_reuse_addr_port(os_socket_t sock)
{
    PL_ASSERT_RET_VOID(TAG, sock);
    if (!set_int_opt(fd_of(sock), SOL_SOCKET, SO_REUSEADDR, 1))
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "reuseaddr: error: ");
    if (!set_int_opt(fd_of(sock), SOL_SOCKET, SO_REUSEPORT, 1))
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "reuseport: error: ");
}

int os_socket_bind(os_socket_t sock, const os_ipaddr *addr)
{
    PL_ASSERT_RET(TAG, sock && addr, 0);
    if (os_ipaddr_family(addr) == OS_IPADDR_IPV6 && !set_int_opt(fd_of(sock), IPPROTO_IPV6, IPV6_V6ONLY, 1))
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "set only ipv6 error: ");
    sockaddr_storage ss;
    const int len = os_sockaddr_load(&ss, addr);
    if (len <= 0)
        return 0;
    return bind(fd_of(sock), reinterpret_cast<sockaddr *>(&ss), socklen_t(len)) == 0;
}

int os_socket_listen(os_socket_t sock, int backlog)
{
    PL_ASSERT_RET(TAG, sock, 0);
    return listen(fd_of(sock), backlog) == 0;
}

os_socket_t os_socket_accept(os_socket_t sock, os_ipaddr *peer)
{
    PL_ASSERT_RET(TAG, sock, nullptr);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const int fd = accept4(fd_of(sock), reinterpret_cast<sockaddr *>(&ss), &len, SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    set_nonblock(fd, true);
    set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    save_addr(peer, &ss, len);
    return handle_of(fd);
}

int os_socket_local(os_socket_t sock, os_ipaddr *addr)
{
    PL_ASSERT_RET(TAG, sock, 0);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd_of(sock), reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return 0;
    save_addr(addr, &ss, len);
    return 1;
}

int os_socket_peer(os_socket_t sock, os_ipaddr *addr)
{
    PL_ASSERT_RET(TAG, sock, 0);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd_of(sock), reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return 0;
    save_addr(addr, &ss, len);
    return 1;
}

int os_socket_kill(os_socket_t sock, int how)
{
    PL_ASSERT_RET(TAG, sock, 0);
    const int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    if (shutdown(fd_of(sock), h) != 0) {
        LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "kill: %p failed, eno: %d error: ", (void *)sock, errno);
        return 0;
    }
    return 1;
}

int os_socket_exit(os_socket_t sock)
{
    PL_ASSERT_RET(TAG, sock, 0);
    if (close(fd_of(sock)) != 0) {
        LOG_ERR(TAG, "close: %p failed, errno: %d\n", (void *)sock, errno);
        return 0;
    }
    return 1;
}

// ---- data -------------------------------------------------------------------------------

int os_socket_recv(os_socket_t sock, void *data, size_t len)
{
    PL_ASSERT_RET(TAG, sock && data, -1);
    if (len == 0)
        return 0;
    return data_result(recv(fd_of(sock), data, size_t(clamp_len(len)), 0));
}

int os_socket_send(os_socket_t sock, const void *data, size_t len)
{
    PL_ASSERT_RET(TAG, sock && data, -1);
    if (len == 0)
        return 0;
    return data_result(send(fd_of(sock), data, size_t(clamp_len(len)), 0));
}

int os_socket_urecv(os_socket_t sock, os_ipaddr *sender, void *data, size_t len)
{
    PL_ASSERT_RET(TAG, sock && data, -1);
    if (len == 0)
        return 0;
    sockaddr_storage ss{};
    socklen_t slen = 128;
    ssize_t r = recvfrom(fd_of(sock), data, size_t(clamp_len(len)), 0, reinterpret_cast<sockaddr *>(&ss), &slen);
    if (r >= 0)
        save_addr(sender, &ss, slen);
    return data_result(r);
}

int os_socket_usend(os_socket_t sock, const os_ipaddr *addr, const void *data, size_t len)
{
    PL_ASSERT_RET(TAG, sock && addr && data, -1);
    if (len == 0)
        return 0;
    sockaddr_storage ss;
    const int slen = os_sockaddr_load(&ss, addr);
    if (slen <= 0)
        return -1;
    return data_result(
        sendto(fd_of(sock), data, size_t(clamp_len(len)), 0, reinterpret_cast<sockaddr *>(&ss), socklen_t(slen)));
}

int os_socket_recvv(os_socket_t sock, const struct iovec *list, int size)
{
    PL_ASSERT_RET(TAG, sock && list && size, -1);
    return data_result(readv(fd_of(sock), list, size));
}

int os_socket_sendv(os_socket_t sock, const struct iovec *list, int size)
{
    PL_ASSERT_RET(TAG, sock && list && size, -1);
    return data_result(writev(fd_of(sock), list, size));
}

int os_socket_urecvv(os_socket_t sock, os_ipaddr *sender, const struct iovec *list, int size)
{
    PL_ASSERT_RET(TAG, sock && list && size, -1);
    sockaddr_storage ss{};
    msghdr mh{};
    mh.msg_name = &ss;
    mh.msg_namelen = 128;
    mh.msg_iov = const_cast<iovec *>(list);
    mh.msg_iovlen = size_t(size);
    ssize_t r = recvmsg(fd_of(sock), &mh, 0);
    if (r >= 0)
        save_addr(sender, &ss, mh.msg_namelen);
    return data_result(r);
}

int os_socket_usendv(os_socket_t sock, const os_ipaddr *addr, const struct iovec *list, int size)
{
    PL_ASSERT_RET(TAG, sock && addr && list && size, -1);
    sockaddr_storage ss;
    const int slen = os_sockaddr_load(&ss, addr);
    if (slen <= 0)
        return -1;
    msghdr mh{};
    mh.msg_name = &ss;
    mh.msg_namelen = socklen_t(slen);
    mh.msg_iov = const_cast<iovec *>(list);
    mh.msg_iovlen = size_t(size);
    return data_result(sendmsg(fd_of(sock), &mh, 0));
}

int os_socket_wait(os_socket_t sock, int events, int timeout_ms)
{
    PL_ASSERT_RET(TAG, sock, -1);
    const int fd = fd_of(sock);
    PL_ASSERT_RET(TAG, fd >= 0, -1);
    pollfd p{};
    p.fd = fd;
    if (events & OS_SOCKET_WAIT_READ)
        p.events |= POLLIN;
    if (events & OS_SOCKET_WAIT_WRITE)
        p.events |= POLLOUT;
    const int r = poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
    int err = 0;
    if (r == 0) {
        if (pending_error(fd, &err) == 0 && err == ECONNREFUSED) {
            errno = ECONNREFUSED;
            return -1;
        }
        return 0;
    }
    if (r < 0) {
        if (errno == EINTR)
            return 0;
        PL_ASSERT_RET(TAG, r >= 0, -1);
    }
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    if (pending_error(fd, &err) != 0)
        return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    // A hang-up or error counts as ready, as a select set would report it:
    // the next data call then tells what happened.
    int bits = 0;
    if ((events & OS_SOCKET_WAIT_READ) && (p.revents & (POLLIN | POLLHUP | POLLERR)))
        bits |= OS_SOCKET_WAIT_READ;
    if ((events & OS_SOCKET_WAIT_WRITE) && (p.revents & (POLLOUT | POLLHUP | POLLERR)))
        bits |= OS_SOCKET_WAIT_WRITE;
    return bits;
}

int os_socket_recv_full(os_socket_t sock, void *data, size_t len)
{
    PL_ASSERT_RET(TAG, sock && data, 0);
    auto *p = static_cast<uint8_t *>(data);
    return full_transfer(sock, len, OS_SOCKET_WAIT_READ,
                         [&](size_t done) { return os_socket_recv(sock, p + done, len - done); });
}

int os_socket_send_full(os_socket_t sock, const void *data, size_t len)
{
    PL_ASSERT_RET(TAG, sock && data, 0);
    auto *p = static_cast<const uint8_t *>(data);
    return full_transfer(sock, len, OS_SOCKET_WAIT_WRITE,
                         [&](size_t done) { return os_socket_send(sock, p + done, len - done); });
}

// ---- connected UDP sender --------------------------------------------------------------------

os_socket_t os_udp_open(const char *host, int port)
{
    PL_ASSERT_RET(TAG, host, nullptr);
    char service[32];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, service, &hints, &res) != 0 || !res) {
        LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "failed to resolve name %s port %s error: ", host, service);
        return nullptr;
    }
    const int fd = socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, res->ai_protocol);
    if (fd < 0) {
        freeaddrinfo(res);
        return nullptr;
    }
    if (connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
        freeaddrinfo(res);
        close(fd);
        return nullptr;
    }
    freeaddrinfo(res);
    return handle_of(fd);
}

int os_udp_send(os_socket_t sock, const void *data, size_t len)
{
    return int32_t(send(os_socket_fd(sock), data, len, 0));
}

void os_udp_close(os_socket_t sock) { close(os_socket_fd(sock)); }
