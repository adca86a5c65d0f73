// sock_event: one poller thread ("listen") for many sockets. Each registered
// socket gets a callback when it has events; idle sockets are closed after
// the configured time-outs; a listening socket accepts its connections and
// hands each to a callback or to a thread of its own; a periodic callback
// runs after every poll. Stopped by libnet_exit. Log tag "net".
//
// Thread-safety: registering and deleting may come from any thread. The
// callbacks run on the "listen" thread. A record is freed only by that
// thread after its pass (or by sock_env_exit), so a callback may delete any
// record, its own included.
#pragma once
#include <cstdint>

#include "libpal/network/os_ipaddr.h"
#include "libpal/network/os_socket.h"

// Record kinds.
enum : uint32_t { SOCKET_TYPE_CALLBACK = 1, SOCKET_TYPE_LISTEN = 2, SOCKET_TYPE_EVENT = 3 };

// A socket's event callback: (socket, event bits, arg); a negative answer
// removes the registration.
typedef int (*sock_event_fn)(os_socket_t sock, uint64_t events, void *arg);
// A listener's accept callback: (new socket, its peer, arg); it owns the socket.
typedef void (*sock_accept_fn)(os_socket_t sock, const os_ipaddr *peer, void *arg);
// A listener's work procedure, run on a thread of its own with the new socket.
typedef void *(*sock_work_fn)(void *sock);
typedef void (*sock_periodic_fn)(void *arg);

struct sock_env_config_t {
    uint32_t idle_ms_first; // idle time-out of a socket that never had an event (0: none)
    uint32_t idle_ms;       // idle time-out after its first event (0: none)
    sock_periodic_fn periodic;
    void *periodic_arg;
};

struct sock_event_t {
    uint32_t type;       // SOCKET_TYPE_*
    void *first;         // event callback (3) or thread-name text (2)
    void *second;        // callback's argument (3) or callback (1, 2)
    void *third;         // socket (3 and 2) or work procedure (2)
    uint64_t fourth;     // last event time in ms (3) or callback's argument (1, 2)
    uint8_t never_event; // 1 until the first event (3)
    uint8_t dead;        // deleted; freed by the "listen" thread
    os_socket_t sock;
    sock_work_fn work;   // listener's work procedure
};

// Starts the service once: the poller, the "listen" thread and the record
// pool (a failure is a crit record, which ends the program). 0.
int sock_env_init(void);
void sock_env_config(const sock_env_config_t *config);
// Registers sock for events (OS_POLLER_EVENT_*); the service then owns the
// socket. The record, or NULL: the socket is then closed.
sock_event_t *sock_add_event(os_socket_t sock, uint64_t events, sock_event_fn callback, void *arg);
// Registers a listening socket: each accepted connection goes to accept_cb,
// or without one to a detached thread "<name>_work" running work(socket).
sock_event_t *sock_add_listener(os_socket_t sock, const char *name, sock_accept_fn accept_cb, sock_work_fn work,
                                void *arg);
// Removes a socket event record's socket from the poller, closes it and
// frees the record (at the end of the current pass). Listeners stay until
// sock_env_exit.
void sock_del_event_proc(sock_event_t *record);
// Stops the "listen" thread and frees everything. The thread is waited for
// at most 1000 ms: one stuck in a callback is given up (logged at err) and
// frees the service's poller, records and sockets itself when it ends. 0.
int sock_env_exit(void);
