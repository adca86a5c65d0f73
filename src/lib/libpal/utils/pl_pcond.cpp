// Auto-reset event over a condition variable.
#include "libpal/utils/pl_pcond.h"

#include <cerrno>
#include <ctime>

#include "liblog/log2.h"

#define TAG "pal"

pcond_t *pcond_new(void)
{
    pcond_t *e = (pcond_t *)os_zalloc_align(sizeof(pcond_t), 8);
    if (!e)
        return nullptr;
    e->mutex = mutex_malloc();
    if (!e->mutex) {
        os_free_align(e);
        return nullptr;
    }
    if (pthread_cond_init(&e->cond, nullptr) != 0) {
        mutex_free(e->mutex);
        os_free_align(e);
        return nullptr;
    }
    return e;
}

void pcond_free(pcond_t *e)
{
    if (!e)
        return;
    mutex_free(e->mutex);
    pthread_cond_destroy(&e->cond);
    os_free_align(e);
}

int pcond_signal(pcond_t *e)
{
    mutex_lock(e->mutex);
    __atomic_store_n(&e->signalled, 1, __ATOMIC_SEQ_CST);
    int r = pthread_cond_signal(&e->cond);
    mutex_unlock(e->mutex);
    return r;
}

int pcond_reset(pcond_t *e)
{
    mutex_lock(e->mutex);
    __atomic_store_n(&e->signalled, 0, __ATOMIC_SEQ_CST);
    mutex_unlock(e->mutex);
    return 0;
}

int pcond_wait(pcond_t *e, int64_t ms)
{
    struct timespec deadline;
    if (ms >= 0)
        os_deadline_ms(&deadline, ms);
    int r = 0;
    mutex_lock(e->mutex);
    // Spurious wake-ups wait again until the deadline.
    while (__atomic_load_n(&e->signalled, __ATOMIC_SEQ_CST) == 0) {
        int rc =
            ms >= 0 ? pthread_cond_timedwait(&e->cond, e->mutex, &deadline) : pthread_cond_wait(&e->cond, e->mutex);
        if (rc == ETIMEDOUT && __atomic_load_n(&e->signalled, __ATOMIC_SEQ_CST) == 0) {
            r = -2;
            break;
        }
        if (rc != 0 && rc != ETIMEDOUT) {
            LOG_ERR(TAG, "pthread_cond_timedwait error ret=%d", rc);
            r = -1;
            break;
        }
    }
    if (r == 0)
        __atomic_store_n(&e->signalled, 0, __ATOMIC_SEQ_CST);
    mutex_unlock(e->mutex);
    return r;
}
