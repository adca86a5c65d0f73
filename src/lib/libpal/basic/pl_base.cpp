// Platform start-up and shut-down, allocation hooks, mutexes, clocks, sleeps
// and id tables.
#include "libpal/basic/pl_base.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/env/os_env.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/posix/os_process.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/os/zkfile.h"
#include "libpal/vfile/os_file2.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/network/os_socket_env.h"
#include "libpal/os/os_host.h"
#include "libpal/string/str_safe.h"
#include "libpal/utils/pl_sort.h"
#include "libpal/value/pl_value.h"
#include "liblog/log2.h"

#define TAG "pal"

pl_sys_info_t g_pl_sys;
static std::atomic<int> s_pl_started{0};

const char *pl_os_name(void) { return "linux"; }

const char *pl_arch_name(void)
{
#if defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
    return "powerpc64le";
#elif defined(__powerpc64__)
    return "powerpc64";
#elif defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "aarch64";
#elif defined(__i386__)
    return "x86";
#elif defined(__arm__)
    return "arm";
#else
    return "unknown";
#endif
}

uint8_t pl_arch_id(void)
{
#if defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
    return 42;
#elif defined(__powerpc64__)
    return 41;
#elif defined(__x86_64__)
    return 62;
#elif defined(__aarch64__)
    return 183;
#elif defined(__i386__)
    return 3;
#elif defined(__arm__)
    return 40;
#else
    return 0;
#endif
}

int pl_sys_info_init(void)
{
    g_pl_sys.os_name = pl_os_name();
    g_pl_sys.arch_name = pl_arch_name();
    g_pl_sys.os_id = 2;
    g_pl_sys.arch_id = pl_arch_id();
    g_pl_sys.mac = os_mac_get();
    os_get_hostname(g_pl_sys.hostname, sizeof(g_pl_sys.hostname));
    g_pl_sys.boot_time = os_get_boot_time();
    g_pl_sys.start_time = (int64_t)time(nullptr);
    g_pl_sys.start_clock = os_clock_ms();
    g_pl_sys.ready = 1;
    return 0;
}

int pl_is_inited(void) { return s_pl_started.load(); }

int os_init(void)
{
    os_set_process_limits();
    time_t now = time(nullptr);
    srand((unsigned)now);
    pl_xorshift_seed((uint64_t)now);
    os_global_mutex_init();
    os_panic_init();
    return 0;
}

int os_exit(void)
{
    os_global_mutex_exit();
    return 0;
}

int pl_init(void)
{
    LOG_VERB(TAG, "==>\n");
    if (s_pl_started.exchange(1))
        return 0;
    if (const char *lv = getenv("ZK_LOG_LEVEL"))
        log2_set_level_str(nullptr, lv);
    os_init();
    if (!os_socket_init_env())
        LOG_ERR(TAG, "os_socket_init_env failed\n");
    mem_init();
    pl_file_std_init();
    zkfile_init();
    pl_sys_info_init();
    return 0;
}

int pl_log_exit(void)
{
    log2_exit(nullptr);
    return 1;
}

int pl_exit(void)
{
    if (!s_pl_started.exchange(0))
        return 0;
    os_exit();
    os_thread_name_exit();
    log2_exit(nullptr);
    zkfile_exit();
    pl_file_std_exit();
    pl_log_exit();
    return 0;
}

void pl_exit_process(int status)
{
    pl_exit();
    exit(status);
}

char *os_conf_path_get(char (&buf)[OS_CONF_PATH_SIZE], const char *name)
{
    char dir[4096];
    if (os_exe_get_dir(dir, sizeof(dir)) != 0)
        str_safecopy(dir, sizeof(dir), ".");
    // os_exe_get_dir ends with '/'; strip it so the formats below give one.
    size_t n = strlen(dir);
    if (n > 1 && dir[n - 1] == '/')
        dir[n - 1] = '\0';
    struct stat st;
    if (str_sprintf_s2(buf, sizeof(buf), "%s%cconf", dir, '/') >= 0 && stat(buf, &st) == 0 && S_ISDIR(st.st_mode)) {
        strcat_printf2(buf, sizeof(buf), "/%s", name);
        return buf;
    }
    str_sprintf_s2(buf, sizeof(buf), "%s%c%s", dir, '/', name);
    return buf;
}

// ---- allocation -------------------------------------------------------------

void *_malloc(size_t size)
{
    void *p = malloc(size);
    if (!p) {
        LOG_ERR(TAG, "size=%lu malloc failed\n", (unsigned long)size);
        pl_dump_stack();
    }
    return p;
}

void *_realloc(void *p, size_t size)
{
    void *q = realloc(p, size);
    if (!q && size) {
        LOG_ERR(TAG, "ptr=%p size=%lu realloc failed\n", p, (unsigned long)size);
        pl_dump_stack();
    }
    return q;
}

static void plain_free(void *p) { free(p); }

static pl_malloc_fn s_malloc = _malloc;
static pl_realloc_fn s_realloc = _realloc;
static pl_free_fn s_free = plain_free;

void pl_malloc_init(pl_malloc_fn m, pl_realloc_fn r, pl_free_fn f)
{
    PL_ASSERT_HARD(TAG, m != NULL);
    PL_ASSERT_HARD(TAG, r != NULL);
    PL_ASSERT_HARD(TAG, f != NULL);
    s_malloc = m;
    s_realloc = r;
    s_free = f;
}

void *os_malloc(size_t size) { return s_malloc(size); }
void *os_realloc(void *p, size_t size) { return s_realloc(p, size); }
void os_free(void *p) { s_free(p); }

void *os_zalloc(size_t size)
{
    void *p = os_malloc(size);
    if (p)
        memset(p, 0, size);
    return p;
}
void *os_zalloc2(size_t size) { return os_zalloc(size); }

void *os_calloc(size_t n, size_t size)
{
    if (size && n > SIZE_MAX / size) {
        errno = ENOMEM;
        return nullptr;
    }
    return os_zalloc(n * size);
}

void *os_realloc0(void *p, size_t size)
{
    LOG_ERR(TAG, "_realloc not support extend mem clear 0\n");
    return os_realloc(p, size);
}

void *os_memdup(const void *src, size_t len)
{
    void *p = os_malloc(len ? len : 1);
    if (p && len)
        memcpy(p, src, len);
    return p;
}

char *os_strdup(const char *s)
{
    if (!s)
        return nullptr;
    size_t n = strlen(s) + 1;
    char *d = (char *)os_malloc(n);
    if (d)
        memcpy(d, s, n);
    return d;
}

size_t os_strnlen(const char *s, size_t limit) { return strnlen(s, limit); }

char *os_strndup(const char *s, size_t limit)
{
    if (!s)
        return nullptr;
    size_t n = strnlen(s, limit);
    char *d = (char *)os_malloc(n + 1);
    if (d) {
        memcpy(d, s, n);
        d[n] = '\0';
    }
    return d;
}

void *os_malloc_align(size_t size, size_t align)
{
    if (align == 0 || (align & (align - 1)) != 0)
        return nullptr;
    uint8_t *raw = (uint8_t *)os_malloc(size + align + 7);
    if (!raw)
        return nullptr;
    uintptr_t a = ((uintptr_t)raw + align + 7) & ~(uintptr_t)(align - 1);
    if (a - (uintptr_t)raw < 8) // keep room for the back pointer
        a += align;
    memcpy((void *)(a - 8), &raw, sizeof(raw));
    return (void *)a;
}

void *os_zalloc_align(size_t size, size_t align)
{
    void *p = os_malloc_align(size, align);
    if (p)
        memset(p, 0, size);
    return p;
}

void os_free_align(void *p)
{
    if (!p)
        return;
    void *raw;
    memcpy(&raw, (uint8_t *)p - 8, sizeof(raw));
    os_free(raw);
}

int os_vsnprintf(char *buf, size_t size, const char *fmt, va_list va) { return vsnprintf(buf, size, fmt, va); }

int os_vasprintf_imp(char **out, const char *fmt, va_list va, void *(*alloc)(void *ctx, size_t size), void *ctx)
{
    *out = nullptr;
    va_list cp;
    va_copy(cp, va);
    int n = vsnprintf(nullptr, 0, fmt, cp);
    va_end(cp);
    if (n < 0) {
        LOG_ERR(TAG, "fmt=[%s] vsnprintf failed\n", fmt);
        pl_dump_stack();
        return -1;
    }
    char *p = (char *)alloc(ctx, (size_t)n + 1);
    if (!p)
        return -1;
    va_copy(cp, va);
    int m = vsnprintf(p, (size_t)n + 1, fmt, cp);
    va_end(cp);
    if (m < 0) {
        // The block came from the caller's allocator, which may not be
        // os_malloc: it is left to that allocator rather than freed wrongly.
        LOG_ERR(TAG, "fmt=[%s] vsnprintf failed\n", fmt);
        pl_dump_stack();
        return -1;
    }
    *out = p;
    return m;
}

int os_vasprintf(char **out, const char *fmt, va_list va)
{
    return os_vasprintf_imp(out, fmt, va, [](void *, size_t n) { return os_malloc(n); }, nullptr);
}

int os_vasprintf_raw(char **out, const char *fmt, va_list va)
{
    return os_vasprintf_imp(out, fmt, va, [](void *, size_t n) { return s_malloc(n); }, nullptr);
}

int os_asprintf(char **out, const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = os_vasprintf(out, fmt, va);
    va_end(va);
    return r;
}

char *pl_mem_info_str(void) { return os_strdup(""); }

// ---- mutexes -------------------------------------------------------------------

int os_mutex_init(pl_mutex_t *m)
{
    pthread_mutex_init(m, nullptr);
    return 0;
}
int os_mutex_destroy(pl_mutex_t *m) { return pthread_mutex_destroy(m); }

pl_mutex_t *mutex_malloc(void)
{
    pl_mutex_t *m = (pl_mutex_t *)os_malloc_align(sizeof(pl_mutex_t), 8);
    if (m && pthread_mutex_init(m, nullptr) != 0) {
        os_free_align(m);
        return nullptr;
    }
    return m;
}

void mutex_free(pl_mutex_t *m)
{
    if (!m)
        return;
    pthread_mutex_destroy(m);
    os_free_align(m);
}

int mutex_trylock(pl_mutex_t *m) { return m && pthread_mutex_trylock(m) == 0; }
int mutex_lock(pl_mutex_t *m) { return m && pthread_mutex_lock(m) == 0; }
int mutex_unlock(pl_mutex_t *m) { return m && pthread_mutex_unlock(m) == 0; }

// ---- clocks and sleeps ------------------------------------------------------

int os_clock_gettime(clockid_t id, os_timespec_t *t)
{
    struct timespec ts;
    int r = clock_gettime(id, &ts);
    if (r == 0) {
        t->tv_sec = ts.tv_sec;
        t->tv_nsec = (uint32_t)ts.tv_nsec;
    }
    return r;
}

int os_realtime_get(os_timespec_t *t) { return os_clock_gettime(CLOCK_REALTIME, t); }

int os_gettimeofday(os_timeval_t *tv)
{
    os_timespec_t t;
    os_realtime_get(&t);
    tv->tv_sec = t.tv_sec;
    tv->tv_usec = t.tv_nsec / 1000;
    return 1;
}

// Normalises seconds + signed nanoseconds into {sec, 0..999999999}.
static void norm_ns(int64_t &sec, int64_t &nsec)
{
    sec += nsec / 1000000000;
    nsec %= 1000000000;
    if (nsec < 0) {
        nsec += 1000000000;
        sec -= 1;
    }
}

void os_timespec_add_ms(os_timespec_t *t, int64_t ms)
{
    if (ms == -1) {
        t->tv_sec = INT64_MAX;
        t->tv_nsec = 0;
        return;
    }
    int64_t sec = t->tv_sec + ms / 1000;
    int64_t nsec = (int64_t)t->tv_nsec + (ms % 1000) * 1000000;
    norm_ns(sec, nsec);
    t->tv_sec = sec;
    t->tv_nsec = (uint32_t)nsec;
}

void os_deadline_ms(struct timespec *ts, int64_t ms)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t sec = now.tv_sec + ms / 1000;
    int64_t nsec = now.tv_nsec + (ms % 1000) * 1000000;
    norm_ns(sec, nsec);
    ts->tv_sec = sec;
    ts->tv_nsec = nsec;
}

uint64_t os_clock_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
}
uint64_t os_clock_ms(void) { return (uint64_t)((double)os_clock_ns() / 1000000.0); }
uint64_t os_clock_us(void) { return (uint64_t)((double)os_clock_ns() / 1000.0); }

uint64_t os_uptime_ms(void)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0)
        return 0;
    return (uint64_t)si.uptime * 1000;
}

void os_yield(void) { sched_yield(); }

static void sleep_ns(uint64_t ns)
{
    struct timespec req = {(time_t)(ns / 1000000000ULL), (long)(ns % 1000000000ULL)}, rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

void os_usleep(uint64_t us) { sleep_ns((uint64_t)(uint32_t)us * 1000ULL); }

void os_msleep(uint64_t ms)
{
    if (ms == UINT64_MAX) {
        for (;;)
            pause();
    }
    if (ms < 1000) {
        sleep_ns(ms * 1000000ULL);
        return;
    }
    sleep_ns((ms / 1000) * 1000000000ULL);
    sleep_ns((ms % 1000) * 1000000ULL);
}

void os_sleep(uint64_t secs) { os_msleep(secs == UINT64_MAX ? UINT64_MAX : secs * 1000); }

uint32_t os_gettid(void) { return (uint32_t)syscall(SYS_gettid); }
int os_getpid(void) { return (int)syscall(SYS_getpid); }

// ---- id tables ---------------------------------------------------------------------

static thread_local char t_idtab_miss[32];

static const char *idtab_miss(int id)
{
    snprintf(t_idtab_miss, sizeof(t_idtab_miss), "unkown(%d)", id);
    return t_idtab_miss;
}

const pl_idtab_t *pl_idtab_row(int id, const pl_idtab_t *rows, int count)
{
    if (id >= 0 && id < count && rows[id].id == id)
        return &rows[id];
    for (int i = 0; i < count; ++i)
        if (rows[i].id == id)
            return &rows[i];
    return nullptr;
}

const char *pl_idtab_get(int id, const pl_idtab_t *rows, int count)
{
    const pl_idtab_t *row = pl_idtab_row(id, rows, count);
    return row ? row->str : idtab_miss(id);
}

const char *pl_idtab_get_sorted(int id, const pl_idtab_t *rows, int count)
{
    if (id >= 0 && id < count && rows[id].id == id)
        return rows[id].str;
    // The id is the row's first field, so the i32 find comparator applies.
    int64_t i = count > 0 ? pl_bsearch((const void *)(intptr_t)id, rows, (size_t)count, sizeof(pl_idtab_t), cmp2_i32p)
                          : -1;
    return i >= 0 ? rows[i].str : idtab_miss(id);
}

int pl_idtab_set(int id, pl_idtab_t *rows, int count, const char *value)
{
    const pl_idtab_t *row = pl_idtab_row(id, rows, count);
    if (!row)
        return -1;
    rows[row - rows].str = value;
    return 0;
}

int pl_idtab_find_str(const char *text, const pl_idtab_t *rows, int count)
{
    if (!text)
        return -1;
    for (int i = 0; i < count; ++i)
        if (rows[i].str && strcmp(rows[i].str, text) == 0)
            return rows[i].id;
    return -1;
}

void pl_idtab_sort(pl_idtab_t *rows, int count)
{
    if (count > 1)
        pl_qsort(rows, (size_t)count, sizeof(pl_idtab_t), cmp_i32p);
}

uint16_t pl_crc16(uint16_t init, const void *data, size_t len) { return hash_crc16(data, len, init); }
