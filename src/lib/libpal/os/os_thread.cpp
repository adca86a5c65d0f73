// Named threads with stack sizes and a waitable, detachable handle.
#include "libpal/os/os_thread.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"

#define TAG "pal"

namespace {

enum : uint32_t {
    END_THREAD = 1, // the thread's function is over
    END_OWNER = 2,  // the owner has given the handle up
};

// Made by the starter, owned and freed by the new thread.
struct start_rec {
    char name[256];
    os_thread_opts_t opts;
    os_thread_fn func;
    void *arg;
    os_thread_t *h;
};

void handle_free(os_thread_t *h)
{
    h->~os_thread_t();
    os_free(h);
}

// Runs when the function returns, and also when the thread is cancelled or
// calls os_thread_exit, so the name and the handle never leak.
void thread_end(void *p)
{
    os_thread_t *h = (os_thread_t *)p;
    os_thread_name_del();
    if (h->finished.fetch_or(END_THREAD) & END_OWNER)
        handle_free(h);
}

// Not instrumented by AddressSanitizer: a cancelled thread unwinds through
// frames whose stack red zones stay marked, and the instrumented clean-up
// landing pad would then report its own stack as overflowed.
__attribute__((no_sanitize_address)) void *os_thread_start(void *p)
{
    start_rec *s = (start_rec *)p;
    os_thread_fn func = s->func;
    void *arg = s->arg;
    os_thread_t *h = s->h;
    char name[sizeof(s->name)];
    memcpy(name, s->name, sizeof(name));
    os_free(s);
    void *ret = nullptr;
    pthread_cleanup_push(thread_end, h);
    os_thread_name_set(name);
    ret = func(arg);
    pthread_cleanup_pop(1);
    return ret;
}

// Stack size from ZK_THREAD_STACK_SIZE, or 0 when unset or unusable.
uint64_t env_stack_size(void)
{
    const char *text = getenv("ZK_THREAD_STACK_SIZE");
    if (!text || !*text)
        return 0;
    uint64_t v = str_parse_size(text);
    if (v > INT_MAX) {
        LOG_WARN(TAG, "ZK_THREAD_STACK_SIZE=%s too large, ignored\n", text);
        return 0;
    }
    if (v)
        LOG_VERB(TAG, "ZK_ENV_STACK_SIZE=%d\n", (int)v);
    return v;
}

} // namespace

os_thread_t *os_thread_init2(const char *name, os_thread_fn func, void *arg, uint64_t stack_size,
                             const os_thread_opts_t *opts)
{
    PL_ASSERT_HARD(TAG, name!=NULL);
    PL_ASSERT_HARD(TAG, func!=NULL);
    if (stack_size == 0)
        stack_size = env_stack_size();
    if (stack_size == 0)
        stack_size = OS_THREAD_STACK_DEFAULT;

    void *mem = os_zalloc(sizeof(os_thread_t));
    if (!mem)
        return nullptr;
    os_thread_t *h = new (mem) os_thread_t();
    start_rec *s = (start_rec *)os_zalloc(sizeof(start_rec));
    if (!s) {
        handle_free(h);
        return nullptr;
    }
    str_safecopy_trunc(s->name, sizeof(s->name), name);
    if (opts)
        s->opts = *opts;
    s->func = func;
    s->arg = arg;
    s->h = h;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int rc = pthread_attr_setstacksize(&attr, (size_t)stack_size);
    if (rc != 0) {
        LOG_WARN(TAG, "name:%s stack_size=%llu refused, using %d\n", name, (unsigned long long)stack_size,
                 OS_THREAD_STACK_DEFAULT);
        pthread_attr_setstacksize(&attr, OS_THREAD_STACK_DEFAULT);
    }
    pthread_t tid;
    rc = pthread_create(&tid, &attr, os_thread_start, s);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        log2_printf(nullptr, LOG2_ERR | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, __func__,
                    "pthread_create name:%s error: ", name);
        os_free(s);
        handle_free(h);
        return nullptr;
    }
    // Only the owner reads this field, and the thread cannot free the handle
    // before the owner gives it up.
    h->thread = tid;
    return h;
}

os_thread_t *os_thread_init(const char *name, os_thread_fn func, void *arg, uint64_t stack_size)
{
    return os_thread_init2(name, func, arg, stack_size, nullptr);
}

int os_thread_wait(os_thread_t *h, uint32_t timeout_ms, uint32_t *result)
{
    PL_ASSERT_RET(TAG, h, -1);
    if (h->detached.load()) {
        if (result)
            *result = 0;
        return 0;
    }
    uint64_t start = os_clock_ms();
    for (;;) {
        if (h->finished.load() & END_THREAD) {
            void *ret = nullptr;
            int rc = pthread_join(h->thread, &ret);
            if (rc == 0) {
                h->detached = 1;
                if (result)
                    *result = (uint32_t)(uintptr_t)ret;
                return 0;
            }
            LOG_WARN(TAG, "pthread_join ret=%d failed\n", rc);
            pthread_detach(h->thread);
            h->detached = 1;
            return -1;
        }
        if (timeout_ms != UINT32_MAX && os_clock_ms() - start >= timeout_ms)
            return -2;
        os_msleep(1);
    }
}

int os_thread_detach(os_thread_t *h)
{
    if (!h)
        return -1;
    if (h->detached.exchange(1) == 0)
        pthread_detach(h->thread);
    if (h->finished.fetch_or(END_OWNER) & END_THREAD) {
        handle_free(h);
        return 0;
    }
    return -1;
}

int os_thread_kill(os_thread_t *h)
{
    // A joined thread's id is no longer valid; there is nothing to cancel.
    if (!h || h->detached.load())
        return -1;
    return pthread_cancel(h->thread) == 0 ? 0 : -1;
}

int os_thread_wait_kill_exit(os_thread_t *h, uint32_t timeout_ms, uint32_t *result)
{
    int r = os_thread_wait(h, timeout_ms, result);
    if (r < 0)
        os_thread_kill(h);
    os_thread_detach(h);
    return r;
}

void os_thread_exit(void *value) { pthread_exit(value); }
