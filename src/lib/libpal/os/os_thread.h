// os_thread: the one way the system starts threads. A thread gets a name in
// the thread-name registry (shown by the log), a stack size from the caller,
// ZK_THREAD_STACK_SIZE or 256 KiB, and a small handle through which its
// starter waits for it with a time-out, detaches it or cancels it.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

typedef void *(*os_thread_fn)(void *arg);

// The handle. `finished` bit 0 is set by the thread when its function has
// returned (or it was cancelled or called os_thread_exit); bit 1 by the
// owner when it gives the handle up. Whichever of the two sets the second
// bit frees the handle, so exactly one of them does.
struct os_thread_t {
    pthread_t thread;
    std::atomic<uint32_t> detached; // 1 once joined or detached at the platform
    std::atomic<uint32_t> finished;
};

// Caller's options, copied unchanged; this platform does not act on them.
struct os_thread_opts_t {
    uint64_t v[2];
};

#define OS_THREAD_STACK_DEFAULT 0x40000

// Starts func(arg) on a new thread named `name` (registered as "name_xxxx"
// for the log). stack_size 0: ZK_THREAD_STACK_SIZE (a size text such as
// "1M"), else 256 KiB. Returns the handle, or NULL with nothing left
// allocated. name and func must not be NULL (the program stops).
// The owner must end the handle with os_thread_detach (directly or through
// os_thread_wait_kill_exit).
os_thread_t *os_thread_init2(const char *name, os_thread_fn func, void *arg, uint64_t stack_size,
                             const os_thread_opts_t *opts);
os_thread_t *os_thread_init(const char *name, os_thread_fn func, void *arg, uint64_t stack_size);

// Waits for the thread to end: 0 (the thread's result, cut to 32 bits, into
// *result when given), -2 after timeout_ms milliseconds (0: do not wait;
// 0xffffffff, that is -1: wait for ever), -1 when the join fails. A handle
// already detached or joined answers 0 at once with result 0.
int os_thread_wait(os_thread_t *h, uint32_t timeout_ms, uint32_t *result);
// Gives the handle up: 0 when it was freed here (the thread had ended), -1
// when the still running thread frees it as it ends. h is invalid after.
int os_thread_detach(os_thread_t *h);
// Asks the platform to cancel the thread; 0 or -1. The thread's name is
// still removed and its handle still freed as it goes.
int os_thread_kill(os_thread_t *h);
// os_thread_wait; on time-out or failure os_thread_kill; then
// os_thread_detach. Returns the wait result. h is invalid after.
int os_thread_wait_kill_exit(os_thread_t *h, uint32_t timeout_ms, uint32_t *result);
// Ends the calling thread with `value` as its result.
[[noreturn]] void os_thread_exit(void *value);
