// The log file output: one text line per record, a size cap that keeps the
// newest half, recreation of a deleted file, and the clean-up of older files
// of a name family ("zkue_${pid}.log").
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "libbsv/bsv.h"
#include "libbsvf/bsvf.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/env/os_env.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/os/zkfile.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vars.h"
#include "liblog/log2_imp.h"
#include "liblog/log2_out.h"

namespace {

constexpr int kShareFlags = 0x20;
constexpr const char *kPcapExt = ".pcap";

struct free_deleter {
    void operator()(void *p) const { os_free(p); }
};

bool ends_with(const char *s, const char *tail)
{
    size_t n = strlen(s), t = strlen(tail);
    return n >= t && memcmp(s + n - t, tail, t) == 0;
}

// Opens path as the text stream (appending; truncated first when trunc is
// set) and hands it the key. The stream reads too: the cap reads the
// newest half back. Bytes go through unchanged (binary mode).
zkfile_t *file_fopen(log_file_ctx *ctx, const char *path, bool trunc)
{
    int fd = log_file_open_fd(path, trunc);
    if (fd < 0)
        return nullptr;
    struct stat st;
    zkfile_t *f = fstat(fd, &st) == 0 ? zkdopen(fd, "a+b") : nullptr;
    if (!f) {
        int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    ctx->dev = (uint64_t)st.st_dev;
    ctx->ino = (uint64_t)st.st_ino;
    if (ctx->key[0])
        zkfile_set_crypt(f, "", ctx->key);
    return f;
}

void close_stream(log_file_ctx *ctx)
{
    if (ctx->stream) {
        zkclose(ctx->stream);
        ctx->stream = nullptr;
    }
}

// 1 when the path (not followed) still names the open text file.
bool path_is_open_file(const log_file_ctx *ctx)
{
    struct stat st;
    return lstat(ctx->path, &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_dev == ctx->dev &&
           (uint64_t)st.st_ino == ctx->ino;
}

// Keeps the newest half of the stream's file once it reached the cap: the
// bytes after the first line end within the last cap/2 bytes. The open file
// is cut and rewritten in place; the path is never opened again for it.
void apply_cap(log_file_ctx *ctx)
{
    if (zkseeko(ctx->stream, 0, SEEK_END) != 0)
        return;
    int64_t pos = zktell(ctx->stream);
    if (pos < 0 || pos < ctx->max_size)
        return;
    size_t half = (size_t)(ctx->max_size / 2);
    std::unique_ptr<char, free_deleter> buf((char *)os_malloc(half));
    if (!buf || zkseeko(ctx->stream, pos - (int64_t)half, SEEK_SET) != 0)
        return;
    size_t got = zkread(buf.get(), 1, half, ctx->stream);
    if (got > 0 && ftruncate(zkfileno(ctx->stream), 0) == 0 && zkseeko(ctx->stream, 0, SEEK_SET) == 0) {
        const char *nl = (const char *)memchr(buf.get(), '\n', got);
        const char *from = nl ? nl + 1 : buf.get() + 1;
        size_t keep = got - (size_t)(from - buf.get());
        if (keep)
            zkwrite(from, 1, keep, ctx->stream);
        zkflush(ctx->stream);
    }
    zkseeko(ctx->stream, 0, SEEK_END);
}

bool write_record(zkfile_t *f, const char *head, size_t hlen, const char *text, size_t len)
{
    zkwrite(head, 1, hlen, f);
    if (len)
        zkwrite(text, 1, len, f);
    zkflush(f);
    return zkerror(f) == 0;
}

// ---- the clean-up pattern of a name family

constexpr char kVarMark = '\x01';

// A variable with a value becomes the mark (any text in the family's names);
// one without a value stays in the file name as its reference text, and so
// in the pattern.
char *pattern_lookup(const char *name, void *)
{
    if (name && os_getenv(name)) {
        const char mark[2] = {kVarMark, '\0'};
        return os_strdup(mark);
    }
    std::string ref = std::string("${") + (name ? name : "") + "}";
    return os_strdup(ref.c_str());
}

// The glob pattern of the files that name (before expansion) can make: the
// expansion's literal text with '?', '*' and '[' matched as themselves, and
// "?*" where a variable's value goes. So "zkue_${pid}.log" gives
// "zkue_?*.log", and "zkue_$NAME.log" (the variable "NAME.log", unset)
// only its own name. "" (no clean-up) when it cannot be made.
void build_pattern(const char *name, char *out, size_t size)
{
    out[0] = '\0';
    if (strchr(name, kVarMark))
        return;
    char *x = str_expand_vars_imp(name, pattern_lookup, nullptr);
    if (!x)
        return;
    std::string p;
    for (const char *c = x; *c; ++c) {
        if (*c == kVarMark) {
            p += "?*";
        } else if (*c == '?' || *c == '*' || *c == '[') {
            p += '[';
            p += *c;
            p += ']';
        } else {
            p += *c;
        }
    }
    os_free(x);
    if (str_safecopy(out, size, p.c_str()) != 0)
        out[0] = '\0';
}

// ---- capture files for ".pcap" names: binary log records reach them
// through the binary-log file callback, installed while the file is open.

bsvf_pcap_t *pcap_of(log_file_ctx *ctx) { return (bsvf_pcap_t *)ctx->pcap; }

void pcap_drop_writer(log_file_ctx *ctx)
{
    bsvf_pcap_close(pcap_of(ctx));
    ctx->pcap = nullptr;
}

// The binary-log file callback: one record into the capture file, then the
// size cap. A deleted file is made again with a fresh header; a writer lost
// in a failed trim is opened again; records are dropped while that fails.
int pcap_cb(unsigned, const void *rec, int len, void *arg)
{
    log_file_ctx *ctx = (log_file_ctx *)arg;
    if (!ctx || ctx->kind != LOG_FILE_KIND_PCAP || !ctx->path[0])
        return -1;
    if (ctx->pcap && !log_file_names_fd(ctx->path, fileno(pcap_of(ctx)->dumper->fp)))
        pcap_drop_writer(ctx);
    if (!ctx->pcap) {
        ctx->pcap = bsvf_pcap_append(ctx->path, BSV_TYPE_LOG);
        if (!ctx->pcap)
            return -1;
    }
    bsvf_pcap_t *f = pcap_of(ctx);
    int r = bsvf_pcap_write(f, rec, len);
    bsvf_pcap_flush(f);
    bsvf_pcap_set_fsize(f, (uint64_t)ctx->max_size);
    if (!f->dumper || !f->dumper->fp)
        pcap_drop_writer(ctx);
    return r;
}

// Opens the capture file (appending or anew) and installs the callback.
int log_file_pcap_open(log_file_ctx *ctx, const char *path, bool append)
{
    bsvf_pcap_t *f = append ? bsvf_pcap_append(path, BSV_TYPE_LOG) : bsvf_pcap_create(path, BSV_TYPE_LOG);
    if (!f)
        return -1;
    ctx->pcap = f;
    bsv_set_file_callback(pcap_cb, ctx);
    return 0;
}

// Removes the callback (waiting out a call in flight), then closes the file.
void log_file_pcap_close(log_file_ctx *ctx)
{
    bsv_unset_file_callback(ctx);
    pcap_drop_writer(ctx);
}

} // namespace

void log_file_init(log_file_ctx *ctx)
{
    memset(ctx, 0, sizeof(*ctx));
    ctx->max_size = LOG_FILE_DEF_SIZE;
    ctx->kind = LOG_FILE_KIND_TEXT;
    ctx->mode[0] = 'w';
}

int log_file_close(log_file_ctx *ctx)
{
    if (ctx->kind == LOG_FILE_KIND_PCAP)
        log_file_pcap_close(ctx);
    close_stream(ctx);
    return 0;
}

int log_file_exit(log_file_ctx *ctx) { return log_file_close(ctx); }

int log_file_open(log_file_ctx *ctx, const char *name)
{
    PL_ASSERT_HARD("log", name!=NULL);
    log_file_close(ctx);

    char a[4096], b[4096], pattern[4096];
    str_expand_env_buf(name, a, sizeof(a));
    if (!a[0] && name[0]) {
        log2_dbg_printf("fopen [%s] failed\n", name);
        return -1;
    }
    build_pattern(name, pattern, sizeof(pattern));
    if (!path_is_absolute(a) && ctx->dir[0]) {
        if (!STR_FMT_OK(str_sprintf_s(b, sizeof(b), "%s%c%s", ctx->dir, '/', a), sizeof(b))) {
            log2_dbg_printf("fopen [%s] failed\n", a);
            return -1;
        }
    } else {
        str_safecopy(b, sizeof(b), a);
    }
    path_resolve(b, nullptr, a);
    log2_dbg_printf("log_file_path=[%s] buf=[%s]\n", a, b);
    if (!a[0])
        return -1;

    if (ends_with(a, kPcapExt)) {
        char former[sizeof(ctx->path)];
        str_safecopy(former, sizeof(former), ctx->path);
        int former_kind = ctx->kind;
        // The callback finds the path and kind in place from its first call.
        str_safecopy(ctx->path, sizeof(ctx->path), a);
        ctx->kind = LOG_FILE_KIND_PCAP;
        if (log_file_pcap_open(ctx, a, ctx->mode[0] == 'a') != 0) {
            str_safecopy(ctx->path, sizeof(ctx->path), former);
            ctx->kind = former_kind;
            log2_dbg_printf("bsvf_pcap_file %s err\n", a);
            return -1;
        }
    } else {
        // Readable too: the size cap reads the file's newest half back.
        ctx->stream = file_fopen(ctx, a, ctx->mode[0] != 'a');
        if (!ctx->stream) {
            log2_dbg_printf("fopen [%s] failed\n", a);
            return -1;
        }
        ctx->kind = LOG_FILE_KIND_TEXT;
    }
    str_safecopy(ctx->path, sizeof(ctx->path), a);
    str_safecopy(ctx->pattern, sizeof(ctx->pattern), pattern);
    return 0;
}

int log_file_set_dir(log_file_ctx *ctx, const char *dir)
{
    if (!dir)
        return -1;
    char full[4096];
    if (!path_is_absolute(dir)) {
        char exe[4096];
        if (os_exe_get_dir(exe, sizeof(exe)) != 0)
            exe[0] = '\0';
        if (!path_build2(full, sizeof(full), exe[0] ? exe : "/", dir)[0])
            return -1;
    } else if (str_safecopy(full, sizeof(full), dir) != 0) {
        return -1;
    }
    if (os_is_dir(full) != 1 && os_mkdirs(full) != 0)
        log2_dbg_printf("os_mkdirs %s failed\n", full);
    str_safecopy(ctx->dir, sizeof(ctx->dir), full);
    return 0;
}

int log_file_set_size(log_file_ctx *ctx, int32_t n)
{
    ctx->max_size = n < LOG_FILE_MIN_SIZE ? LOG_FILE_MIN_SIZE : n;
    return 0;
}

int log_file_set_max_num(log_file_ctx *ctx, int32_t n)
{
    if (n < 2 || !ctx->dir[0] || !ctx->pattern[0])
        return 0;
    // The family lives where its pattern points: beside a relative name in
    // the directory, or at the pattern's own absolute place.
    char full[4096], where[4096];
    if (path_is_absolute(ctx->pattern))
        str_safecopy(full, sizeof(full), ctx->pattern);
    else if (!STR_FMT_OK(str_sprintf_s(full, sizeof(full), "%s/%s", ctx->dir, ctx->pattern), sizeof(full)))
        return 0;
    path_resolve(full, nullptr, where);
    const char *base = path_basename((const char *)where);
    std::string glob = base;
    path_cut_name(where);
    if (!where[0])
        str_safecopy(where, sizeof(where), "/");
    // A family spread over directories (a variable in a directory part) is
    // not cleaned up.
    if (glob.empty() || strpbrk(where, "?*["))
        return 0;

    os_dir_t *d = os_opendir(where);
    if (!d)
        return 0;
    std::vector<std::string> others;
    bool open_matches = false;
    while (os_dir_entry_t *e = os_readdir(d)) {
        if (!strcmp(e->name, ".") || !strcmp(e->name, ".."))
            continue;
        if (!pl_glob_match(glob.c_str(), e->name, 0, 0))
            continue;
        std::string path = std::string(where) + (where[strlen(where) - 1] == '/' ? "" : "/") + e->name;
        if (path == ctx->path) {
            open_matches = true;
            continue;
        }
        others.push_back(e->name);
    }
    os_closedir(d);
    // Oldest first: names of one family differ in their variable part,
    // whose numbers are compared as numbers (9999 before 10000).
    std::sort(others.begin(), others.end(),
              [](const std::string &x, const std::string &y) { return strverscmp(x.c_str(), y.c_str()) < 0; });
    size_t keep = (size_t)n - (open_matches ? 1 : 0);
    size_t drop = others.size() > keep ? others.size() - keep : 0;
    for (size_t i = 0; i < drop; i++) {
        std::string path = std::string(where) + "/" + others[i];
        os_file_stat_t st;
        // Only plain files; a directory or device of a matching name stays.
        if (os_lstat(path.c_str(), &st) == 0 && (st.mode & S_IFMT) == S_IFREG)
            os_unlink(path.c_str());
    }
    return 0;
}

int log_file_set_key(log_file_ctx *ctx, const char *key)
{
    if (!key || str_safecopy(ctx->key, sizeof(ctx->key), key) != 0)
        return -1;
    if (!ctx->stream)
        return -1;
    return zkfile_set_crypt(ctx->stream, "", ctx->key);
}

int log_file_set_mode(log_file_ctx *ctx, const char *mode)
{
    if (!mode || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0)) {
        log2_dbg_printf("mode %s err\n", mode ? mode : "");
        return -1;
    }
    ctx->mode[0] = mode[0];
    ctx->mode[1] = '\0';
    return 0;
}

int log_file_write(log_file_ctx *ctx, int level, const char *tag, const char *text, int len)
{
    if (!ctx->path[0] || ctx->kind == LOG_FILE_KIND_PCAP)
        return 0;
    if (len < 0)
        len = text ? (int)strlen(text) : 0;
    // A file deleted, renamed away (rotated) or replaced is not written to
    // any more: the path is opened again, never through a link. A stream
    // lost to a failed reopen is tried again, and the record dropped while
    // that fails.
    if (!ctx->stream || !path_is_open_file(ctx)) {
        close_stream(ctx);
        ctx->stream = file_fopen(ctx, ctx->path, false);
        if (!ctx->stream)
            return -1;
    }

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char when[256], tname[256], head[8192];
    str_sprintf_s(when, sizeof(when), "%04d-%02d-%02d %02d:%02d:%02d.%06d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (int)tv.tv_usec);
    os_thread_name_get(tname, sizeof(tname));
    int n = str_sprintf_s(head, sizeof(head), "%s %-5s %d --- [%s] %s ", when, log2_level_2_prefix(level),
                          os_getpid(), tname, tag ? tag : "");
    if (!STR_FMT_OK(n, sizeof(head)))
        n = 0;

    if (!write_record(ctx->stream, head, (size_t)n, text, (size_t)len)) {
        log2_dbg_printf("log_file_write: fwrite error\n");
        close_stream(ctx);
        ctx->stream = file_fopen(ctx, ctx->path, false);
        if (!ctx->stream)
            return -1;
        if (!write_record(ctx->stream, head, (size_t)n, text, (size_t)len)) {
            close_stream(ctx);
            return -1;
        }
    }
    apply_cap(ctx);
    return 0;
}

const char *log_file_get_name(const log_file_ctx *ctx) { return ctx->path; }

int32_t log_file_get_max_size(const log_file_ctx *ctx) { return ctx->max_size; }

int log_file_get_fd(const log_file_ctx *ctx) { return ctx->stream ? zkfileno(ctx->stream) : -1; }

int log_file_open_fd(const char *path, bool trunc)
{
    if (!path || !*path) {
        errno = ENOENT;
        return -1;
    }
    const int flags = O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (trunc ? O_TRUNC : 0);
    int fd = open(path, flags, 0644);
    if (fd < 0 && errno == ENOENT) {
        int e = errno;
        if (os_mkdirs_parent(path) == 0)
            fd = open(path, flags, 0644);
        else
            errno = e;
    }
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (fd <= 2) {
        // A closed standard descriptor is no place for the log: other code
        // writes there.
        int hi = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        int e = errno;
        close(fd);
        errno = e;
        fd = hi;
    }
    return fd;
}

int log_file_names_fd(const char *path, int fd)
{
    struct stat a, b;
    if (fd < 0 || lstat(path, &a) != 0 || fstat(fd, &b) != 0)
        return 0;
    return S_ISREG(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino ? 1 : 0;
}
