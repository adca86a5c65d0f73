// os_poller: watches many socket descriptors for readiness on behalf of one
// waiting thread and calls a procedure for each ready one. A front end with
// a record of operation slots over one back end (type 5, kept for callers),
// which waits with poll(), so descriptors of any number work. Other threads
// wake the waiting thread through a private socket pair: "p" makes it look
// at its descriptors again, "k" makes the wait end with -1. Log tag "pal".
//
// Thread-safety: one thread waits; insert, remove, modify, spak and kill may
// come from any thread (a private mutex guards the descriptor list, never
// held while the procedure runs). A change made during a wait is seen by its
// next pass; wake the waiting thread with os_poller_spak to make that soon.
#pragma once
#include <cstdint>

#include "libpal/basic/pl_base.h"
#include "libpal/network/os_socket.h"

enum : uint16_t { OS_POLLER_TYPE_SELECT = 5 };

// Event bits.
enum : uint64_t {
    OS_POLLER_EVENT_READ = 1,
    OS_POLLER_EVENT_WRITE = 2,
    OS_POLLER_EVENT_ONESHOT = 0x20, // the entry is removed just before its callback
    OS_POLLER_EVENT_ERROR = 0x200,  // reported only: the socket has a pending error
};
// A descriptor closed while still inserted is reported once with
// OS_POLLER_EVENT_ERROR alone, and its entry is removed before the call.

// Object kinds.
enum : uint8_t { OS_POLLER_OBJECT_SOCKET = 1, OS_POLLER_OBJECT_PROC = 3 };

// At most this many descriptors are inserted at once (the wake pair is one),
// and at most OS_POLLER_MAX_EVENTS are dispatched by one pass of a wait; the
// rest are dispatched by the next pass.
enum : uint32_t { OS_POLLER_MAX_FDS = 1024, OS_POLLER_MAX_EVENTS = 512 };

struct os_poller_object_t {
    uint8_t type;    // OS_POLLER_OBJECT_*
    uint64_t handle; // an os_socket_t
};

struct os_poller_t;
// Called on the waiting thread for each ready descriptor.
typedef void (*os_poller_fn)(os_poller_t *poller, os_poller_object_t *object, uint64_t events, uint64_t user);

struct os_poller_entry_t {
    int64_t fd;
    uint64_t user;
    uint64_t events;
};

struct os_poller_t {
    void *priv;
    uint16_t type;
    uint16_t events; // bits the back end supports: 0x23
    void (*exit)(os_poller_t *);
    void (*kill)(os_poller_t *);
    void (*spak)(os_poller_t *);
    int (*wait)(os_poller_t *, os_poller_fn, int64_t timeout_ms);
    int (*insert)(os_poller_t *, const os_poller_object_t *, uint64_t events, uint64_t user);
    int (*remove)(os_poller_t *, const os_poller_object_t *);
    int (*modify)(os_poller_t *, const os_poller_object_t *, uint64_t events, uint64_t user);
    int (*attach)(os_poller_t *); // none in this back end
    os_socket_t pair[2];          // [0] written by spak/kill, [1] watched
    int64_t maxfd;                // highest descriptor ever inserted
    uint64_t count;               // descriptors inserted
    os_poller_entry_t *list;      // OS_POLLER_MAX_FDS entries, sorted by descriptor
    uint64_t list_n;
    void *fds;                    // the wait's poll array, OS_POLLER_MAX_FDS entries
    os_poller_entry_t *snap;      // the entries polled, in the same order
    pl_mutex_t *lock;             // guards list, list_n, count, maxfd
    int64_t resume_fd;            // a pass that filled its events starts here next
};

// A new poller with its wake pair, or NULL (soft assertion "poller").
// Freed with os_poller_exit.
os_poller_t *os_poller_init(void *priv);
void *os_poller_priv(os_poller_t *poller);
int os_poller_type(os_poller_t *poller);
// 1 when every bit asked is supported (0x23), else 0.
int os_poller_support(os_poller_t *poller, uint64_t events);
// 1/0. Inserting a descriptor already present updates its bits and user
// data and counts it once. 0 when OS_POLLER_MAX_FDS are inserted.
int os_poller_insert(os_poller_t *poller, const os_poller_object_t *object, uint64_t events, uint64_t user);
// 1/0; removing a descriptor not present changes nothing.
int os_poller_remove(os_poller_t *poller, const os_poller_object_t *object);
// Sets the bits and user data of a descriptor, inserting it when missing
// (within the same limit as insert). 1/0.
int os_poller_modify(os_poller_t *poller, const os_poller_object_t *object, uint64_t events, uint64_t user);
// Waits up to timeout_ms (negative: without limit; 0 answers 0 at once) and
// dispatches the ready descriptors: their number, 0 (time-out, wake, signal),
// or -1 (killed, after dispatching what the pass collected, or a failure).
int os_poller_wait(os_poller_t *poller, os_poller_fn func, int64_t timeout_ms);
void os_poller_spak(os_poller_t *poller);
void os_poller_kill(os_poller_t *poller);
// Kills the wait, closes the wake pair and frees the poller.
void os_poller_exit(os_poller_t *poller);
void os_poller_attach(os_poller_t *poller);
