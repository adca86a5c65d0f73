// Thread-name registry: readable names for the log, keyed by kernel thread
// id, in an AVL tree whose string pool holds the name texts.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/str_safe.h"
#include "libpal/utils/pl_avl.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {
// 0 not made, 1 failed, 2 ready, 3 closed (after os_thread_name_exit).
std::atomic<int> s_state{0};
// Serialises making and closing the registry: its first use may come from
// several new threads at once, and each must find it whole. Recursive
// because making it can log, and the log asks for this thread's name.
std::recursive_mutex s_init_mutex;
pl_mutex_t *s_mutex = nullptr;
avl_t *s_names = nullptr;
// The thread holding s_mutex (0 for none). Changing the tree can log (a
// failed allocation), and the log asks for this thread's name: that thread
// must not wait for the mutex it holds, so it reads its bare id instead.
std::atomic<uint32_t> s_owner{0};

struct registry_lock {
    registry_lock()
    {
        mutex_lock(s_mutex);
        s_owner = os_gettid();
    }
    ~registry_lock()
    {
        s_owner = 0;
        mutex_unlock(s_mutex);
    }
    registry_lock(const registry_lock &) = delete;
    registry_lock &operator=(const registry_lock &) = delete;
};

const void *tid_key(uint32_t tid) { return (const void *)(uintptr_t)tid; }

// True once the registry is usable, making it on first use (or waiting
// for the thread that is making it).
bool names_ready(void)
{
    int st = s_state.load();
    if (st == 2 || st == 3)
        return st == 2;
    return os_thread_name_init() == 0;
}
} // namespace

int os_thread_name_init(void)
{
    std::lock_guard<std::recursive_mutex> lock(s_init_mutex);
    if (s_state > 0)
        return s_state == 2 ? 0 : -1;
    s_state = 1;
    s_mutex = mutex_malloc();
    if (!s_mutex) {
        LOG_ERR(TAG, "mutex_malloc filed\n");
        return -1;
    }
    avl_settings_t settings{};
    settings.flags = AVL_F_VAL_STR;
    s_names = avl_new(&settings);
    if (!s_names) {
        LOG_ERR(TAG, "avl_new filed\n");
        return -1;
    }
    s_state = 2;
    return 0;
}

int os_thread_name_set(const char *name)
{
    if (!name || !names_ready())
        return -1;
    os_timespec_t now;
    os_realtime_get(&now);
    uint8_t raw[16] = {0};
    for (int i = 0; i < 8; ++i)
        raw[i] = (uint8_t)((uint64_t)now.tv_sec >> (8 * i));
    for (int i = 0; i < 4; ++i)
        raw[8 + i] = (uint8_t)(now.tv_nsec >> (8 * i));
    char text[64];
    str_sprintf_s2(text, sizeof(text), "%s_%04x", name, hash_crc16(raw, sizeof(raw), 0));
    registry_lock lock;
    return avl_set(s_names, tid_key(os_gettid()), text) < 0 ? -1 : 0;
}

char *os_thread_name_get(char *buf, size_t size)
{
    uint32_t tid = os_gettid();
    if (s_owner.load() != tid && names_ready()) {
        registry_lock lock;
        if (const char *name = (const char *)avl_get(s_names, tid_key(tid))) {
            snprintf(buf, size, "%s_%lu", name, (unsigned long)tid);
            return buf;
        }
    }
    snprintf(buf, size, "%lu", (unsigned long)tid);
    return buf;
}

int os_thread_name_del(void)
{
    if (s_state != 2)
        return 0;
    registry_lock lock;
    avl_del(s_names, tid_key(os_gettid()));
    return 0;
}

void os_thread_name_exit(void)
{
    // Idempotent: pl_exit and log2_exit both call it.
    std::lock_guard<std::recursive_mutex> lock(s_init_mutex);
    if (s_state == 3 || s_state == 0)
        return;
    s_state = 3;
    avl_free(s_names);
    s_names = nullptr;
    mutex_free(s_mutex);
    s_mutex = nullptr;
}
