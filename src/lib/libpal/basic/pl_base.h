// pl_base: platform start-up and shut-down, allocation hooks, mutexes,
// clocks and sleeps, thread ids and names, id tables, platform information.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <pthread.h>

// ---- start-up -------------------------------------------------------------
int pl_init(void);   // once per process; a second call only logs "==>"
int pl_exit(void);   // undoes pl_init; idempotent
int pl_log_exit(void);
[[noreturn]] void pl_exit_process(int status);
int os_init(void);
int os_exit(void);
// "<exe dir>/conf/<name>" when that conf directory exists, else "<exe dir>/<name>".
enum { OS_CONF_PATH_SIZE = 4096 };
char *os_conf_path_get(char (&buf)[OS_CONF_PATH_SIZE], const char *name);

// Platform facts of the machine the program is built for, filled by pl_init.
struct pl_sys_info_t {
    const char *os_name;   // "linux"
    const char *arch_name; // e.g. "powerpc64le" on the target
    uint8_t os_id;         // 2
    uint8_t arch_id;       // 42 on powerpc64le
    uint64_t mac;
    char hostname[128];
    int64_t boot_time;
    int64_t start_time;
    uint64_t start_clock;
    int ready;
};
extern pl_sys_info_t g_pl_sys;
// Compile-time names, usable before pl_init.
const char *pl_os_name(void);
const char *pl_arch_name(void);
uint8_t pl_arch_id(void);
int pl_sys_info_init(void);
// Replaceable pieces of pl_init for facts owned by later modules.
int pl_is_inited(void);

// ---- allocation -------------------------------------------------------------
typedef void *(*pl_malloc_fn)(size_t);
typedef void *(*pl_realloc_fn)(void *, size_t);
typedef void (*pl_free_fn)(void *);
void pl_malloc_init(pl_malloc_fn m, pl_realloc_fn r, pl_free_fn f);
void *_malloc(size_t size);
void *_realloc(void *p, size_t size);
void *os_malloc(size_t size);
void *os_realloc(void *p, size_t size);
void os_free(void *p);
void *os_zalloc(size_t size);
void *os_zalloc2(size_t size);
void *os_calloc(size_t n, size_t size);
void *os_realloc0(void *p, size_t size);
void *os_memdup(const void *src, size_t len);
char *os_strdup(const char *s);
size_t os_strnlen(const char *s, size_t limit);
char *os_strndup(const char *s, size_t limit);
void *os_malloc_align(size_t size, size_t align);
void *os_zalloc_align(size_t size, size_t align);
void os_free_align(void *p);
int os_vsnprintf(char *buf, size_t size, const char *fmt, va_list va);
// alloc(ctx, size) provides the block; the context is passed through as is.
int os_vasprintf_imp(char **out, const char *fmt, va_list va, void *(*alloc)(void *ctx, size_t size), void *ctx);
int os_vasprintf(char **out, const char *fmt, va_list va);
int os_vasprintf_raw(char **out, const char *fmt, va_list va);
int os_asprintf(char **out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
char *pl_mem_info_str(void);

// ---- mutexes: os_mutex_init 0 (os_mutex_destroy the pthread result); the
// mutex_* calls 1 for success, 0 for failure -----------------------------
typedef pthread_mutex_t pl_mutex_t;
int os_mutex_init(pl_mutex_t *m);
int os_mutex_destroy(pl_mutex_t *m);
pl_mutex_t *mutex_malloc(void);
void mutex_free(pl_mutex_t *m);
int mutex_trylock(pl_mutex_t *m);
int mutex_lock(pl_mutex_t *m);
int mutex_unlock(pl_mutex_t *m);

// ---- clocks and sleeps ------------------------------------------------------
struct os_timespec_t {
    int64_t tv_sec;
    uint32_t tv_nsec;
};
struct os_timeval_t {
    int64_t tv_sec;
    uint32_t tv_usec;
};
int os_clock_gettime(clockid_t id, os_timespec_t *t);
int os_realtime_get(os_timespec_t *t);
int os_gettimeofday(os_timeval_t *tv);
// Adds a signed count of ms; -1 means "never" ({INT64_MAX, 0}).
void os_timespec_add_ms(os_timespec_t *t, int64_t ms);
// Real-time now + ms in the system's own form, for timed condition waits.
void os_deadline_ms(struct timespec *ts, int64_t ms);
uint64_t os_clock_ns(void);
uint64_t os_clock_ms(void);
uint64_t os_clock_us(void);
uint64_t os_uptime_ms(void);
void os_yield(void);
void os_usleep(uint64_t us);
void os_msleep(uint64_t ms);
void os_sleep(uint64_t secs);
uint32_t os_gettid(void);
int os_getpid(void);

// ---- thread names ---------------------------------------------------------------
int os_thread_name_init(void);
int os_thread_name_set(const char *name);
char *os_thread_name_get(char *buf, size_t size);
int os_thread_name_del(void);
void os_thread_name_exit(void);

// ---- id tables ---------------------------------------------------------------------
struct pl_idtab_t {
    int32_t id;
    union {
        const char *str;
        int64_t num;
        const void *ptr;
    };
};
// The row of `id` (the row at index id when it holds that id, else the
// first such row), or NULL.
const pl_idtab_t *pl_idtab_row(int id, const pl_idtab_t *rows, int count);
// Value text of `id`, or a per-thread "unkown(%d)" text on a miss.
const char *pl_idtab_get(int id, const pl_idtab_t *rows, int count);
const char *pl_idtab_get_sorted(int id, const pl_idtab_t *rows, int count);
int pl_idtab_set(int id, pl_idtab_t *rows, int count, const char *value);
int pl_idtab_find_str(const char *text, const pl_idtab_t *rows, int count);
void pl_idtab_sort(pl_idtab_t *rows, int count);
// CRC-16 (polynomial 0x8005, register held byte-swapped): the value the
// thread names use. Full checksum family lives with the hash module.
uint16_t pl_crc16(uint16_t init, const void *data, size_t len);
