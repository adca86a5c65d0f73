// Log outputs: the log file (plain append), and the network outputs that are
// not available in this build yet.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "libpal/string/str_safe.h"
#include "liblog/log2_imp.h"

int log2_file_open(log2_t *h, const char *path)
{
    if (!path || !*path)
        return -1;
    char full[4096];
    if (path[0] != '/' && h->file.dir[0]) {
        if (!STR_FMT_OK(str_sprintf_s2(full, sizeof(full), "%s/%s", h->file.dir, path), sizeof(full)))
            return -1;
    } else if (str_safecopy(full, sizeof(full), path) != 0) {
        return -1;
    }
    int fd = open(full, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        int e = errno;
        fprintf(stderr, "log file [%s] open failed: %s\n", full, strerror(e));
        errno = e;
        return -1;
    }
    if (h->file.fd >= 0)
        close(h->file.fd);
    h->file.fd = fd;
    h->file.size = lseek(fd, 0, SEEK_END);
    str_safecopy_trunc(h->file.name, sizeof(h->file.name), full);
    return 0;
}

int log2_file_write(log2_t *h, int level, const char *tag, const char *text, int len)
{
    if (h->file.fd < 0)
        return -1;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char tname[256];
    os_thread_name_get(tname, sizeof(tname));
    char head[512];
    int n = snprintf(head, sizeof(head), "%04d-%02d-%02d %02d:%02d:%02d.%06d %-5s %d --- [%s] %s ",
                     tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (int)tv.tv_usec,
                     log2_level_2_prefix(level), os_getpid(), tname, tag ? tag : "");
    if (n < 0)
        return -1;
    if ((size_t)n >= sizeof(head))
        n = sizeof(head) - 1;
    if (write(h->file.fd, head, (size_t)n) < 0 || write(h->file.fd, text, (size_t)len) < 0)
        return -1;
    h->file.size += n + len;
    return 0;
}

void log2_file_close(log2_t *h)
{
    if (h->file.fd >= 0)
        close(h->file.fd);
    h->file.fd = -1;
}

int log2_syslog_open(log2_t *h, const char *url)
{
    if (url)
        str_safecopy_trunc(h->syslog.url, sizeof(h->syslog.url), url);
    fprintf(stderr, "syslog output [%s]: not available in this build\n", url ? url : "");
    return -1;
}

int log2_syslog_write(log2_t *, int, const char *, const char *, int) { return -1; }

int log_net_close(log2_syslog_state *s)
{
    if (s->fd > 0)
        close(s->fd);
    s->fd = 0;
    s->state = 0;
    return 0;
}

// ---- binary log records over UDP ----------------------------------------------------------
#include <mutex>

#include "libbsv/bsv.h"

// The handle's UDP output context is made on first open and freed by close.
int log2_bsv_open(log2_t *h, const char *url)
{
    if (!url)
        return -1;
    static std::mutex s_make_mu;
    log_bsv_t *ctx;
    {
        std::lock_guard<std::mutex> g(s_make_mu);
        if (!h->bsv.ctx)
            h->bsv.ctx = log_bsv_new();
        ctx = (log_bsv_t *)h->bsv.ctx;
    }
    if (!ctx)
        return -1;
    int r = log_bsv_udp_open(ctx, url);
    str_safecopy_trunc(h->bsv.url, sizeof(h->bsv.url), log_bsv_get_url(ctx));
    return r;
}

void log2_bsv_close(log2_t *h)
{
    log_bsv_free((log_bsv_t *)h->bsv.ctx);
    h->bsv.ctx = nullptr;
    h->bsv.url[0] = '\0';
}
