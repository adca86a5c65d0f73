// The simple file log: an appending file with an optional time prefix and a
// size cap that keeps the newest half, independent of the log handle.
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2_imp.h"
#include "liblog/log2_out.h"

struct flog_t {
    FILE *fp;       // NULL after a reopen failed; the next write tries again
    char *path;
    int32_t max_size; // 0: no cap
    int32_t last;
    uint32_t flags;
    pl_mutex_t *mutex;
};

namespace {

constexpr size_t kPrintfSize = 4096;

struct free_deleter {
    void operator()(void *p) const { os_free(p); }
};

bool put(FILE *fp, const void *data, size_t len)
{
    if (len && fwrite(data, len, 1, fp) != 1)
        return false;
    return fflush(fp) == 0 && !ferror(fp);
}

// Keeps the newest half once the file reached the cap. 0.
int apply_cap(flog_t *f)
{
    if (f->max_size == 0)
        return 0;
    if (fseeko(f->fp, 0, SEEK_END) != 0)
        return 0;
    off_t pos = ftello(f->fp);
    if (pos < 0 || pos < f->max_size)
        return 0;
    size_t half = (size_t)(f->max_size / 2);
    std::unique_ptr<char, free_deleter> buf((char *)os_malloc(half));
    if (!buf || fseeko(f->fp, pos - (off_t)half, SEEK_SET) != 0)
        return 0;
    size_t got = fread(buf.get(), 1, half, f->fp);
    // The open file is cut and rewritten in place (appending: the writes
    // land at its new start); its path is not opened again for it.
    if (got > 0 && fflush(f->fp) == 0 && ftruncate(fileno(f->fp), 0) == 0 && fseeko(f->fp, 0, SEEK_SET) == 0) {
        const char *nl = (const char *)memchr(buf.get(), '\n', got);
        const char *from = nl ? nl + 1 : buf.get() + 1;
        size_t keep = got - (size_t)(from - buf.get());
        if (keep)
            fwrite(from, keep, 1, f->fp);
        fflush(f->fp);
    }
    fseeko(f->fp, 0, SEEK_END);
    return 0;
}

// One write without the lock: retried once after reopening on an error.
int write_unlocked(flog_t *f, const void *data, size_t len)
{
    if (!f->fp) {
        f->fp = fopen(f->path, "a+e");
        if (!f->fp)
            return -1;
    }
    if (!put(f->fp, data, len)) {
        fclose(f->fp);
        f->fp = fopen(f->path, "a+e");
        if (!f->fp)
            return -1;
        if (!put(f->fp, data, len))
            return -1;
    }
    return apply_cap(f);
}

} // namespace

flog_t *flog_open(const char *path, const flog_opt_t *opt)
{
    if (!path)
        return nullptr;
    FILE *fp = fopen(path, "a+e");
    if (!fp) {
        int e = errno;
        char etext[256];
        os_errno_str_r(e, etext, sizeof(etext));
        log2_printf(nullptr, LOG2_DBG, "tag", __FILE__, __LINE__, __func__, "fopen %s error: %s\n", path, etext);
        errno = e;
        return nullptr;
    }
    flog_t *f = (flog_t *)os_zalloc(sizeof(flog_t));
    char *copy = os_strdup(path);
    pl_mutex_t *m = mutex_malloc();
    if (!f || !copy || !m) {
        fclose(fp);
        os_free(f);
        os_free(copy);
        mutex_free(m);
        return nullptr;
    }
    f->fp = fp;
    f->path = copy;
    // A cap that does not fit a signed 32-bit count is no cap.
    uint32_t cap = opt ? opt->max_size : 0;
    f->max_size = cap > (uint32_t)INT32_MAX ? 0 : (int32_t)cap;
    f->flags = opt ? opt->flags : 0;
    f->mutex = m;
    return f;
}

int flog_write(flog_t *f, const void *data, size_t len)
{
    if (!f || (!data && len))
        return -1;
    mutex_lock(f->mutex);
    int r = 0;
    if (f->flags & FLOG_F_TIME) {
        time_t t = time(nullptr);
        struct tm tm;
        localtime_r(&t, &tm);
        char when[64];
        int n = str_sprintf_s(when, sizeof(when), "%04d-%02d-%02d %02d:%02d:%02d ", tm.tm_year + 1900,
                              tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        if (STR_FMT_OK(n, sizeof(when)))
            r = write_unlocked(f, when, (size_t)n);
    }
    if (r == 0)
        r = write_unlocked(f, data, len);
    f->last = r;
    mutex_unlock(f->mutex);
    return r;
}

int flog_printf(flog_t *f, const char *fmt, ...)
{
    char buf[kPrintfSize];
    va_list va;
    va_start(va, fmt);
    str_vsprintf_s2(buf, sizeof(buf), fmt ? fmt : "", va);
    va_end(va);
    return flog_write(f, buf, strlen(buf));
}

int flog_close(flog_t *f)
{
    if (!f)
        return -1;
    os_free(f->path);
    if (f->fp)
        fclose(f->fp);
    mutex_free(f->mutex);
    os_free(f);
    return 0;
}
