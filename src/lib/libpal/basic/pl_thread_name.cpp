// Thread-name registry: readable names for the log, keyed by kernel thread id.
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/str_safe.h"
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
std::map<uint32_t, std::string> *s_names = nullptr;

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
    s_names = new (std::nothrow) std::map<uint32_t, std::string>();
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
    uint32_t tid = os_gettid();
    mutex_lock(s_mutex);
    (*s_names)[tid] = text;
    mutex_unlock(s_mutex);
    return 0;
}

char *os_thread_name_get(char *buf, size_t size)
{
    uint32_t tid = os_gettid();
    if (names_ready()) {
        mutex_lock(s_mutex);
        auto it = s_names->find(tid);
        if (it != s_names->end()) {
            snprintf(buf, size, "%s_%lu", it->second.c_str(), (unsigned long)tid);
            mutex_unlock(s_mutex);
            return buf;
        }
        mutex_unlock(s_mutex);
    }
    snprintf(buf, size, "%lu", (unsigned long)tid);
    return buf;
}

int os_thread_name_del(void)
{
    if (s_state != 2)
        return 0;
    uint32_t tid = os_gettid();
    mutex_lock(s_mutex);
    s_names->erase(tid);
    mutex_unlock(s_mutex);
    return 0;
}

void os_thread_name_exit(void)
{
    // Idempotent: pl_exit and log2_exit both call it.
    std::lock_guard<std::recursive_mutex> lock(s_init_mutex);
    if (s_state == 3 || s_state == 0)
        return;
    s_state = 3;
    delete s_names;
    s_names = nullptr;
    mutex_free(s_mutex);
    s_mutex = nullptr;
}
