// os_socket: the portable socket layer over BSD sockets: TCP, UDP, raw and
// Unix-domain sockets, options by numbered control codes, connects that do
// not block, readiness waits with a time-out in milliseconds, data calls
// that turn "try again" into a zero count, and a small connected UDP sender.
// Addresses are os_ipaddr records. Log tag "pal".
//
// A handle is the descriptor plus one (NULL: no socket), so descriptor 0 is
// representable. The handle owns the descriptor; os_socket_exit closes it.
// Every socket made, paired or accepted here is non-blocking (except the UDP
// sender of os_udp_open). Descriptors of any size work: waits use poll.
//
// The layer keeps no state besides the descriptors: calls on different
// handles may run on any threads; one handle is used by one thread at a time.
// Missing arguments are soft assertions answering the failure value (NULL,
// 0 for boolean operations, -1 for data and wait operations). Data calls
// never log; the caller reads errno after -1.
#pragma once
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "libpal/network/os_ipaddr.h"
#include "libpal/network/os_socket_env.h"

typedef struct os_socket_s *os_socket_t;

// Type word: the kind above the low byte, the protocol in the low byte.
enum : int {
    OS_SOCKET_STREAM = 0x100,
    OS_SOCKET_DGRAM = 0x200,
    OS_SOCKET_RAW = 0x300,
    OS_SOCKET_PROTO_TCP = 1,
    OS_SOCKET_PROTO_UDP = 2,
    OS_SOCKET_PROTO_ICMP = 3, // ICMP for IPv4, ICMPv6 for IPv6
    OS_SOCKET_TCP = OS_SOCKET_STREAM | OS_SOCKET_PROTO_TCP, // 0x101
    OS_SOCKET_UDP = OS_SOCKET_DGRAM | OS_SOCKET_PROTO_UDP,  // 0x202
};

// Readiness bits of os_socket_wait (asked and answered).
enum : int { OS_SOCKET_WAIT_READ = 1, OS_SOCKET_WAIT_WRITE = 2 };

// Control codes of os_socket_ctrl; the variadic value's type is given beside
// each. Setters answer 1 when the system call succeeds, 0 otherwise; getters
// 1 on success, 0 on failure (storing 0); codes 0 and 1 always answer 1.
enum : int {
    OS_SOCKET_CTRL_SET_BLOCK = 0,            // int: non-zero blocking, 0 non-blocking
    OS_SOCKET_CTRL_GET_BLOCK = 1,            // uint8_t *: 1 when blocking
    OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 2,   // int bytes
    OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE = 3,   // int64_t *
    OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 4,   // int bytes
    OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE = 5,   // int64_t *
    OS_SOCKET_CTRL_SET_TCP_NODELAY = 6,      // int
    OS_SOCKET_CTRL_GET_TCP_NODELAY = 7,      // uint8_t *
    OS_SOCKET_CTRL_SET_TCP_KEEPINTVL = 8,    // int seconds
    OS_SOCKET_CTRL_SET_KEEPALIVE = 9,        // int
    OS_SOCKET_CTRL_SET_NOSIGPIPE = 10,       // int; Linux has no such option: answers 0
    OS_SOCKET_CTRL_SET_TCP_KEEPIDLE = 11,    // int seconds
    OS_SOCKET_CTRL_SET_TCP_KEEPCNT = 12,     // int
    OS_SOCKET_CTRL_ADD_MEMBERSHIP = 13,      // const char *: dotted IPv4 group (any interface)
};

// ---- handles ----------------------------------------------------------------------------
// Creates the socket (family: OS_IPADDR_IPV6 -> AF_INET6, OS_IPADDR_UNIX ->
// AF_UNIX with protocol 0, anything else AF_INET), non-blocking. NULL on
// failure (logged as an assertion).
os_socket_t os_socket_init(int type, int family);
// socketpair(AF_UNIX) of the kind; both ends non-blocking. 1/0.
int os_socket_pair(int type, os_socket_t pair[2]);
// The descriptor of a handle (-1 for NULL), and the handle of a descriptor
// (NULL for a negative one); the handle does not own a descriptor it was
// made from until the caller hands it over.
int os_socket_fd(os_socket_t sock);
os_socket_t os_socket_from_fd(int fd);
int os_socket_ctrl(os_socket_t sock, int code, ...);
// 1 connected, 0 in progress (complete it by waiting for write readiness and
// calling again), -1 failure (errno).
int os_socket_connect(os_socket_t sock, const os_ipaddr *addr);
void os_socket_reuse_addr_port(os_socket_t sock); // SO_REUSEADDR, SO_REUSEPORT
int os_socket_bind(os_socket_t sock, const os_ipaddr *addr); // IPv6: V6ONLY first. 1/0
int os_socket_listen(os_socket_t sock, int backlog);          // 1/0
// A new non-blocking handle with TCP_NODELAY, or NULL (nothing pending, or
// failure: errno). peer (may be NULL) gets the peer's address.
os_socket_t os_socket_accept(os_socket_t sock, os_ipaddr *peer);
int os_socket_local(os_socket_t sock, os_ipaddr *addr); // 1/0
int os_socket_peer(os_socket_t sock, os_ipaddr *addr);  // 1/0
// shutdown: 0 receive side, 1 send side, other both. 1/0.
int os_socket_kill(os_socket_t sock, int how);
int os_socket_exit(os_socket_t sock); // close. 1/0

// ---- data -------------------------------------------------------------------------------
// Counts; 0 when the call would block, was interrupted or (receive) the peer
// closed; -1 for real errors. Length 0 answers 0 without a system call;
// lengths above INT32_MAX move at most INT32_MAX bytes.
int os_socket_recv(os_socket_t sock, void *data, size_t len);
int os_socket_send(os_socket_t sock, const void *data, size_t len);
int os_socket_urecv(os_socket_t sock, os_ipaddr *sender, void *data, size_t len);
int os_socket_usend(os_socket_t sock, const os_ipaddr *addr, const void *data, size_t len);
int os_socket_recvv(os_socket_t sock, const struct iovec *list, int size);
int os_socket_sendv(os_socket_t sock, const struct iovec *list, int size);
int os_socket_urecvv(os_socket_t sock, os_ipaddr *sender, const struct iovec *list, int size);
int os_socket_usendv(os_socket_t sock, const os_ipaddr *addr, const struct iovec *list, int size);
// Waits for the OS_SOCKET_WAIT_* events asked (timeout_ms 0 polls, negative
// waits without end). The ready bits, 0 on time-out or interruption, -1 on
// failure or a pending socket error (errno, ECONNREFUSED for a refused
// connect).
int os_socket_wait(os_socket_t sock, int events, int timeout_ms);
// 1 when all len bytes moved, else 0. They wait without a time-out: never
// use them on a peer that can stall.
int os_socket_recv_full(os_socket_t sock, void *data, size_t len);
int os_socket_send_full(os_socket_t sock, const void *data, size_t len);

// ---- connected UDP sender --------------------------------------------------------------------
// A blocking UDP socket connected to the first address of host:port, or NULL.
os_socket_t os_udp_open(const char *host, int port);
int os_udp_send(os_socket_t sock, const void *data, size_t len); // send's result
void os_udp_close(os_socket_t sock);
