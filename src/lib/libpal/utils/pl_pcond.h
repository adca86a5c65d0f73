// pl_pcond: an auto-reset event: a signal with no waiter stays set until a
// wait or a reset takes it, and each signal releases at most one waiter.
// Every call but pcond_new and pcond_free may come from any thread.
#pragma once
#include <cstdint>
#include <pthread.h>

#include "libpal/basic/pl_base.h"

struct pcond_t {
    pthread_cond_t cond; // real-time clock
    pl_mutex_t *mutex;
    uint32_t signalled; // 0 or 1, changed under the mutex
};

// A new unsignalled event, or NULL when it cannot be made.
pcond_t *pcond_new(void);
// Frees the event; no thread may be waiting on it. NULL does nothing.
void pcond_free(pcond_t *e);
// Sets the event and wakes one waiter; the pthread result (0).
int pcond_signal(pcond_t *e);
// Clears the event; 0.
int pcond_reset(pcond_t *e);
// 0 when the event was or became set within ms milliseconds (a negative ms
// waits without end); the event is then clear again. -2 when the time ran
// out first; -1 on another wait error (logged).
int pcond_wait(pcond_t *e, int64_t ms);
