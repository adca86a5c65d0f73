// The log routine: builds one prefixed line per record and dispatches it to
// the hooks, the console, the in-memory history and the outputs installed
// beside it (log file, syslog, binary records).
#include "liblog/log2.h"

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "libpal/basic/pl_verr.h"
#include "libpal/env/os_console.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2_imp.h"

namespace {
// The default handle: made once, by whichever thread logs first (the lock
// makes the others wait for it), freed by log2_exit once no thread is
// inside the routine any more.
std::atomic<log2_t *> s_default{nullptr};
std::mutex s_default_mu;
thread_local bool t_making_default = false;
std::atomic<int> s_inside{0};
std::atomic<bool> s_created{false};
std::atomic<bool> s_closed{false};
std::atomic<bool> s_dbg_switch{false};
std::atomic<const log2_out_ops *> s_outs{nullptr};

// Restores errno on every way out of a function.
struct errno_keeper {
    int saved = errno;
    ~errno_keeper() { errno = saved; }
};

const pl_idtab_t k_level_names[] = {
    {8, {"verb"}}, {7, {"dbg"}}, {6, {"info"}}, {5, {"noti"}}, {4, {"warn"}}, {3, {"err"}}, {2, {"crit"}},
};
const pl_idtab_t k_level_prefix[] = {
    {8, {"VERB"}}, {7, {"DEBUG"}}, {6, {"INFO"}}, {5, {"NOTI"}}, {4, {"WARN"}}, {3, {"ERROR"}}, {2, {"CRIT"}},
};
const pl_idtab_t k_level_severity[] = {
    {8, {"debug"}}, {7, {"debug"}}, {6, {"info"}}, {5, {"warning"}}, {4, {"warning"}}, {3, {"error"}}, {2, {"error"}},
};

// Console colour code of a level (0 plain).
int level_colour(int level)
{
    switch (level) {
    case 2: return 9;
    case 3: return 8;
    case 4: return 7;
    case 5: return 2;
    case 7: return 5;
    case 8: return 3;
    default: return 0;
    }
}

const char *base_name(const char *file)
{
    const char *b = file;
    for (const char *p = file; *p; ++p)
        if (*p == '/' || *p == '\\')
            b = p + 1;
    return b;
}

// Counts the calling thread as inside the log for its scope. Taken before
// the handle is looked up, so that log2_exit, which marks the log closed and
// then waits for the count to drop, never frees a handle in use.
struct inside_scope {
    inside_scope() { s_inside.fetch_add(1); }
    ~inside_scope() { s_inside.fetch_sub(1); }
    inside_scope(const inside_scope &) = delete;
    inside_scope &operator=(const inside_scope &) = delete;
};

// Length of the well-formed UTF-8 sequence at p (n bytes left) and its code
// point, or 0 when the bytes there are not one.
size_t utf8_seq(const unsigned char *p, size_t n, uint32_t *cp)
{
    size_t len;
    uint32_t c, min;
    if (p[0] >= 0xc2 && p[0] <= 0xdf) {
        len = 2, c = p[0] & 0x1f, min = 0x80;
    } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
        len = 3, c = p[0] & 0x0f, min = 0x800;
    } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
        len = 4, c = p[0] & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        c = (c << 6) | (p[i] & 0x3f);
    }
    if (c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
        return 0;
    *cp = c;
    return len;
}

} // namespace

size_t log2_escape(const char *in, size_t n, char *out, size_t size)
{
    if (!size)
        return 0;
    const unsigned char *p = (const unsigned char *)in;
    size_t o = 0;
    auto room = [&](size_t k) { return o + k < size; };
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7f) {
            if (!room(1))
                break;
            out[o++] = (char)c;
            i++;
            continue;
        }
        uint32_t cp = 0;
        size_t seq = c >= 0x80 ? utf8_seq(p + i, n - i, &cp) : 0;
        if (seq && cp > 0x9f) {
            // A character of its own (not a C1 control): as it is.
            if (!room(seq))
                break;
            memcpy(out + o, p + i, seq);
            o += seq;
            i += seq;
            continue;
        }
        if (c == '\t') {
            if (!room(1))
                break;
            out[o++] = '\t';
            i++;
            continue;
        }
        // Control bytes (C0, DEL, C1 in either form) and bytes that are no
        // UTF-8 become escapes, each byte for itself.
        size_t count = seq ? seq : 1;
        size_t k = 0;
        for (; k < count; k++) {
            unsigned char b = p[i + k];
            char e[5];
            size_t el;
            if (b == '\n')
                el = 2, memcpy(e, "\\n", 2);
            else if (b == '\r')
                el = 2, memcpy(e, "\\r", 2);
            else
                el = (size_t)snprintf(e, sizeof(e), "\\x%02x", b);
            if (!room(el))
                break;
            memcpy(out + o, e, el);
            o += el;
        }
        if (k < count)
            break;
        i += count;
    }
    out[o] = '\0';
    return o;
}

namespace {

void dispatch(log2_t *h, unsigned lw, const char *tag, const char *line, int len, const char *record)
{
    int level = (int)(lw & LOG2_LEVEL_MASK);
    if (h->level.load() < level)
        return;
    if (len < 0)
        len = (int)strlen(line);
    char tagbuf[256];
    str_sprintf_s(tagbuf, sizeof(tagbuf), "%s", tag ? tag : "");
    log2_out_fn ih = h->info_hook.load(), eh = h->err_hook.load();
    if (ih && eh) {
        if (level > 4)
            ih(level, tagbuf, line, len);
        else
            eh(level, tagbuf, line, len);
    }
    if (h->console_on.load() && level <= h->console_level.load()) {
        // Escapes only for a terminal: never into a file or a pipe.
        int code = (h->flags.load() & LOG2_FL_COLOUR) && isatty(fileno(stderr)) ? level_colour(level) : 0;
        os_console_color_fputs(stderr, code, line);
        fflush(stderr);
    }
    const log2_out_ops *ops = s_outs.load();
    if (ops && (h->file_on.load() || h->syslog_on.load()))
        ops->write(h, level, tagbuf, line, len, record);
    line_ring_add(&h->history, line);
    if (level == LOG2_CRIT && !(lw & LOG2_F_NOEXIT))
        exit(1);
}

} // namespace

void log2_set_outputs(const log2_out_ops *ops) { s_outs = ops; }

// Takes the handle for this thread; false when this thread is already inside
// the routine (an output logging), whose record is then dropped.
bool log2_enter(log2_t *h, uint32_t tid, int *cancel_state)
{
    if (h->busy.load() != 0 && h->owner.load() == tid)
        return false;
    // Writing a line is a cancellation point; a thread cancelled there would
    // leave the mutex held for good.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, cancel_state);
    mutex_lock(h->mutex);
    h->busy.fetch_add(1);
    h->owner.store(tid);
    return true;
}

void log2_leave(log2_t *h, int cancel_state)
{
    h->owner.store(0);
    h->busy.fetch_sub(1);
    mutex_unlock(h->mutex);
    pthread_setcancelstate(cancel_state, nullptr);
}

log2_t *log2_new(void)
{
    void *mem = os_zalloc_align(sizeof(log2_t), 8);
    if (!mem)
        return nullptr;
    log2_t *h = new (mem) log2_t();
    h->mutex = mutex_malloc();
    if (!h->mutex) {
        // Without its lock the handle cannot serialise anything: no handle.
        fputs("log: no memory for the log handle's mutex\n", stderr);
        h->~log2_t();
        os_free_align(mem);
        return nullptr;
    }
    h->flags = LOG2_FL_DEFAULT;
    h->level = LOG2_DBG;
    h->console_on = 1;
    h->console_level = LOG2_DBG;
    line_ring_init(&h->history, h->history_buf, sizeof(h->history_buf));
    h->record = str_dyn_new();
    h->self = h;
    s_created = true;
    return h;
}

log2_t *log2_get(log2_t *h)
{
    if (h)
        return h;
    if (s_closed.load())
        return nullptr;
    log2_t *d = s_default.load();
    if (d || t_making_default)
        return d; // (a log call made while the handle is being made has none)
    std::lock_guard<std::mutex> g(s_default_mu);
    d = s_default.load();
    if (!d && !s_closed.load()) {
        t_making_default = true;
        d = log2_new();
        t_making_default = false;
        s_default.store(d);
    }
    return d;
}

int log2_is_closed(void) { return s_closed.load() ? 1 : 0; }

void log2_exit(log2_t *h)
{
    bool is_default = (h == nullptr || h == s_default.load());
    if (is_default) {
        if (s_closed.exchange(true))
            return;
        {
            std::lock_guard<std::mutex> g(s_default_mu);
            h = s_default.exchange(nullptr);
        }
        // Threads inside the routine finish their record first. One that
        // does not come out (an output blocked for good) keeps the handle:
        // it is left allocated rather than freed under it.
        for (int i = 0; i < 5000 && s_inside.load() > 0; i++)
            os_msleep(1);
        if (s_inside.load() > 0) {
            fputs("log: a thread is still inside the log at its exit; its handle is kept\n", stderr);
            return;
        }
        if (!h) {
            if (const log2_out_ops *ops = s_outs.load())
                ops->exit();
            os_thread_name_exit();
            return;
        }
    }
    const log2_out_ops *ops = s_outs.load();
    mutex_lock(h->mutex);
    if (ops)
        ops->close(h);
    str_dyn_free(h->record);
    h->record = nullptr;
    mutex_unlock(h->mutex);
    mutex_free(h->mutex);
    if (is_default) {
        if (ops)
            ops->exit();
        os_thread_name_exit();
    }
    h->~log2_t();
    os_free_align(h);
}

int log2_vprintf(log2_t *hh, unsigned lw, const char *tag, const char *file, int line, const char *func,
                 const char *fmt, va_list va)
{
    errno_keeper ek;
    inside_scope in;
    log2_t *h = log2_get(hh);
    if (!h)
        return -1;
    if (tag && !*tag)
        tag = "tag";
    if (log2_hook_fn oh = h->override_hook.load()) {
        va_list cp;
        va_copy(cp, va);
        oh(lw, tag, file, line, func, ek.saved, fmt, cp);
        va_end(cp);
        return 0;
    }
    int level = (int)(lw & LOG2_LEVEL_MASK);
    if (h->level.load() < level)
        return 0;
    uint32_t tid = os_gettid();
    int cancel_state;
    if (!log2_enter(h, tid, &cancel_state))
        return 0;

    char out[8192];
    char msg[8192];
    out[0] = msg[0] = '\0';
    str_dyn *rec = h->record;
    if (rec)
        str_dyn_clear(rec);
    unsigned fl = h->flags.load();
    if (fl & (LOG2_FL_TIME | LOG2_FL_TIME_MS)) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        struct tm tm;
        localtime_r(&tv.tv_sec, &tm);
        char tbuf[256];
        if (fl & LOG2_FL_TIME)
            snprintf(tbuf, sizeof(tbuf), "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
        else
            snprintf(tbuf, sizeof(tbuf), "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                     (int)(tv.tv_usec / 1000));
        strcat_printf(out, sizeof(out), "%s ", tbuf);
    }
    if (fl & LOG2_FL_TID)
        strcat_printf(out, sizeof(out), "[%u] ", tid);
    if (fl & LOG2_FL_TID_NAME) {
        char nbuf[256];
        os_thread_name_get(nbuf, sizeof(nbuf));
        strcat_printf(out, sizeof(out), "[%s] ", nbuf);
    }
    if (fl & LOG2_FL_FILE) {
        const char *f = file ? file : "";
        if (fl & LOG2_FL_BASENAME)
            f = base_name(f);
        strcat_printf(out, sizeof(out), "[%s:%d] ", f, line);
    }
    if ((fl & LOG2_FL_FUNC) && func) {
        strcat_printf(out, sizeof(out), "%s(): ", func);
        if (rec)
            str_dyn_printf(rec, "%s(): ", func);
    }
    va_list cp;
    va_copy(cp, va);
    str_vsprintf_s2(msg, sizeof(msg), fmt ? fmt : "", cp);
    va_end(cp);
    // The outputs get one line per record, whatever the message holds: its
    // control bytes are written as escapes ("\n", "\x1b"), and its closing
    // line ends become the one end of the line (or ": " before the text of
    // errno).
    char text[8192];
    size_t mlen = strlen(msg), body = mlen;
    while (body && msg[body - 1] == '\n')
        body--;
    log2_escape(msg, body, text, sizeof(text));
    if (body < mlen)
        str_safecat_trunc(text, sizeof(text), (lw & LOG2_F_ERRNO) ? ": " : "\n");
    if (rec)
        str_dyn_add_str(rec, text);
    str_safecat_trunc(out, sizeof(out), text);
    if (lw & LOG2_F_ERRNO) {
        char ebuf[4096];
        os_errno_str_r(ek.saved, ebuf, sizeof(ebuf));
        strcat_printf2(out, sizeof(out), "%s\n", ebuf);
        strcat_printf2(msg, sizeof(msg), "%s\n", ebuf);
        if (rec)
            str_dyn_printf(rec, "%s\n", ebuf);
    }
    if (const log2_out_ops *ops = s_outs.load())
        ops->record(lw, tag, file, line, func, msg);
    if (!(lw & LOG2_F_BSV_ONLY)) {
        size_t n = strlen(out);
        if (n == 0 || out[n - 1] != '\n') {
            if (n + 1 < sizeof(out)) {
                out[n] = '\n';
                out[n + 1] = '\0';
            } else {
                out[n - 1] = '\n'; // a full line keeps its end of line
            }
        }
        if (rec)
            str_dyn_add_chr_not_exist_tail(rec, '\n');
        dispatch(h, lw, tag, out, -1, rec ? str_dyn_get(rec) : nullptr);
    }
    log2_leave(h, cancel_state);
    return 0;
}

int log2_printf(log2_t *h, unsigned lw, const char *tag, const char *file, int line, const char *func,
                const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = log2_vprintf(h, lw, tag, file, line, func, fmt, va);
    va_end(va);
    return r;
}

int log2_cb_vprintf(unsigned lw, const char *tag, const char *file, int line, const char *func, int eno,
                    const char *fmt, va_list va)
{
    if (lw & LOG2_F_ERRNO)
        errno = eno;
    return log2_vprintf(nullptr, lw, tag, file, line, func, fmt, va);
}

int log2_cb_printf(unsigned lw, const char *tag, const char *file, int line, const char *func, int,
                   const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = log2_vprintf(nullptr, lw, tag, file, line, func, fmt, va);
    va_end(va);
    return r;
}

void log2_set_dbg_switch(int on) { s_dbg_switch = on != 0; }

void log2_dbg_printf(const char *fmt, ...)
{
    if (!s_dbg_switch.load())
        return;
    errno_keeper ek;
    char buf[4096];
    va_list va;
    va_start(va, fmt);
    vsnprintf(buf, sizeof(buf), fmt, va);
    va_end(va);
    fputs(buf, stderr);
    fflush(stderr);
}

int log2_write_line(log2_t *hh, unsigned lw, const char *tag, const char *line, int len)
{
    errno_keeper ek;
    inside_scope in;
    log2_t *h = log2_get(hh);
    if (!h || !line)
        return -1;
    size_t n = len < 0 ? strlen(line) : (size_t)len, body = n;
    while (body && line[body - 1] == '\n')
        body--;
    // As in the log routine: control bytes as escapes, one line end.
    std::string text(body * 4 + 2, '\0');
    size_t tn = log2_escape(line, body, &text[0], text.size());
    if (body < n)
        text[tn++] = '\n';
    text.resize(tn);
    int cancel_state;
    if (!log2_enter(h, os_gettid(), &cancel_state))
        return 0;
    dispatch(h, lw, tag, text.c_str(), (int)text.size(), nullptr);
    log2_leave(h, cancel_state);
    return 0;
}

// ---- settings ------------------------------------------------------------------

int log2_ioctl(log2_t *hh, int code, const void *value, int len)
{
    inside_scope in;
    log2_t *h = log2_get(hh);
    if (!h)
        return -1;
    const char *text = (const char *)value;
    switch (code) {
    case LOG2_IOC_LEVEL: h->level = (int)(intptr_t)value; return 0;
    case LOG2_IOC_FLAGS: h->flags = (uint32_t)(uintptr_t)value; return 0;
    case LOG2_IOC_LEVEL_STR:
    case LOG2_IOC_CONSOLE_LEVEL_STR: {
        // An unknown name keeps the old level: silencing the log (crit
        // included) because of a typo would hide every later failure.
        int lv = log2_level_from_str(text);
        if (lv < 0)
            return -1;
        if (code == LOG2_IOC_LEVEL_STR)
            h->level = lv;
        else
            h->console_level = lv;
        return 0;
    }
    case LOG2_IOC_FLAGS_STR: h->flags = log_flags_2_int(text); return 0;
    case LOG2_IOC_INFO_HOOK: h->info_hook = (log2_out_fn)value; return 0;
    case LOG2_IOC_ERR_HOOK: h->err_hook = (log2_out_fn)value; return 0;
    case LOG2_IOC_GET_LEVEL:
        if (len < 4 || !value)
            return -1;
        *(uint32_t *)value = (uint32_t)h->level.load();
        return 0;
    case LOG2_IOC_FILE_OPEN:
    case LOG2_IOC_FILE_DIR:
    case LOG2_IOC_FILE_MAX_SIZE:
    case LOG2_IOC_FILE_MAX_COUNT:
    case LOG2_IOC_FILE_KEY:
    case LOG2_IOC_BSV_OPEN:
    case LOG2_IOC_SYSLOG_OPEN: {
        const log2_out_ops *ops = s_outs.load();
        if (!ops)
            log2_dbg_printf("log2_ioctl code=%d: the log outputs are not installed\n", code);
        return ops ? ops->ioctl(h, code, value, len) : -1;
    }
    case LOG2_IOC_CONSOLE_ON: h->console_on = (uint8_t)(uintptr_t)value; return 0;
    case LOG2_IOC_FILE_ON: h->file_on = (uint8_t)(uintptr_t)value; return 0;
    case LOG2_IOC_SYSLOG_ON: h->syslog_on = (uint8_t)(uintptr_t)value; return 0;
    default: fprintf(stderr, "Invalid command code=%d\n", code); return -1;
    }
}

int log2_set_level(log2_t *hh, int level)
{
    log2_t *h = log2_get(hh);
    if (!h)
        return -1;
    h->level = level;
    h->console_level = level;
    return level;
}

int log2_set_level_str(log2_t *hh, const char *name)
{
    int lv = log2_level_from_str(name);
    if (lv < 0)
        return -1;
    return log2_set_level(hh, lv) < 0 ? -1 : 0;
}

int log2_get_level(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    return h ? h->level.load() : -1;
}

int log2_get_console_level(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    return h ? h->console_level.load() : -1;
}

unsigned log2_get_flags(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    return h ? h->flags.load() : 0;
}

const char *log2_get_level_str(log2_t *hh) { return log2_level_2_str(log2_get_level(hh)); }

int log2_set_hook(log2_t *hh, log2_hook_fn hook)
{
    log2_t *h = log2_get(hh);
    if (!h)
        return -1;
    h->override_hook = hook;
    return 0;
}

int log2_open_file(log2_t *h, const char *path)
{
    int r = log2_ioctl(h, LOG2_IOC_FILE_OPEN, path, 0);
    if (r != 0)
        return r; // file output stays as it was
    return log2_ioctl(h, LOG2_IOC_FILE_ON, (const void *)1, 0);
}

const char *log2_get_file_name(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    const log2_out_ops *ops = s_outs.load();
    return h && ops ? ops->file_name(h) : "";
}

int log2_get_file_fd(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    const log2_out_ops *ops = s_outs.load();
    if (!h || !ops)
        return -1;
    log2_out_lock lk(h);
    return ops->file_fd(h);
}

const char *log2_get_history(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    return h ? h->history_buf : "";
}

unsigned log2_get_busy(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    return h ? h->busy.load() : 0;
}

void log2_get_info(log2_t *hh, log2_info_t *info)
{
    memset(info, 0, sizeof(*info));
    log2_t *h = log2_get(hh);
    if (!h)
        return;
    info->level = h->level;
    info->flags = h->flags;
    info->console_on = h->console_on;
    info->file_on = h->file_on;
    info->syslog_on = h->syslog_on;
    if (const log2_out_ops *ops = s_outs.load())
        ops->info(h, info);
}

// Single-quoted text for the info view.
static const char *quote_sq(const char *s, char *buf, size_t size)
{
    str_sprintf_s2(buf, size, "'%s'", s ? s : "");
    return buf;
}

char *log2_info_str(log2_t *hh)
{
    log2_info_t info;
    log2_get_info(hh, &info);
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    char q[4096];
    str_dyn_printf(d, "log_level=%s\n", log2_level_2_str(info.level));
    str_dyn_printf(d, "log_shell_enale_out=%d\n", info.console_on);
    str_dyn_printf(d, "log_file_enale_out=%d\n", info.file_on);
    str_dyn_printf(d, "log_file_name=%s\n", quote_sq(info.file_name, q, sizeof(q)));
    str_dyn_printf(d, "log_file_max_size=%d\n", info.file_max_size);
    str_dyn_printf(d, "log_syslog_enale_out=%d\n", info.syslog_on);
    str_dyn_printf(d, "log_syslog_url=%s\n", quote_sq(info.syslog_url, q, sizeof(q)));
    str_dyn_printf(d, "log_bsvlog_url=%s\n", quote_sq(info.bsv_url, q, sizeof(q)));
    return str_dyn_detach_nonull(d);
}

int log2_set_thread_name(const char *name)
{
    return name ? os_thread_name_set(name) : os_thread_name_del();
}

int log2_elapsed_level(int timed, int failed, uint64_t *start, int level_fast, int level_untimed)
{
    if (timed) {
        uint64_t el = os_clock_ms() - *start;
        *start = el;
        if (failed)
            return LOG2_ERR;
        return el >= 3000 ? (int)LOG2_WARN : level_fast;
    }
    return failed ? (int)LOG2_ERR : level_untimed;
}

// ---- level names ------------------------------------------------------------

int log2_level_from_str(const char *name)
{
    if (!name)
        return -1;
    int lv = pl_idtab_find_str(name, k_level_names, 7);
    if (lv < 0)
        fprintf(stderr, "error: invalid level [%s]\n", name);
    return lv;
}

const char *log2_level_2_str(int level) { return pl_idtab_get(level & 0xff, k_level_names, 7); }

int log2_prefix_2_level(const char *prefix)
{
    if (!prefix)
        return -1;
    int lv = pl_idtab_find_str(prefix, k_level_prefix, 7);
    if (lv < 0)
        fprintf(stderr, "error: invalid prefix [%s]\n", prefix);
    return lv;
}

const char *log2_level_2_prefix(int level) { return pl_idtab_get(level & 0xff, k_level_prefix, 7); }
const char *log2_level_2_severity(int level) { return pl_idtab_get(level & 0xff, k_level_severity, 7); }
const char *log2_level_enum_str(void) { return "verb|dbg|info|noti|warn|err|crit"; }

const char *log2_level_num_str(void)
{
    static char s_text[128];
    static std::atomic<bool> s_built{false};
    if (!s_built.load()) {
        snprintf(s_text, sizeof(s_text), "log.verb=%d\nlog.dbg=%d\nlog.info=%d\nlog.noti=%d\nlog.warn=%d\nlog.err=%d\nlog.crit=%d",
                 8, 7, 6, 5, 4, 3, 2);
        s_built = true;
    }
    return s_text;
}

unsigned log_flags_2_int(const char *text)
{
    unsigned fl = LOG2_FL_COLOUR;
    if (text) {
        char copy[1024];
        str_safecopy_trunc(copy, sizeof(copy), text);
        char *save = nullptr;
        for (char *tok = strtok_r(copy, "|", &save); tok; tok = strtok_r(nullptr, "|", &save)) {
            if (!strcmp(tok, "no_colour"))
                fl &= ~LOG2_FL_COLOUR;
            else if (!strcmp(tok, "time"))
                fl |= LOG2_FL_TIME;
            else if (!strcmp(tok, "time_ms"))
                fl = (fl & ~LOG2_FL_TIME) | LOG2_FL_TIME_MS;
            else if (!strcmp(tok, "func"))
                fl |= LOG2_FL_FUNC;
            else if (!strcmp(tok, "tid"))
                fl |= LOG2_FL_TID;
            else if (!strcmp(tok, "tid_name"))
                fl |= LOG2_FL_TID_NAME;
            else if (!strcmp(tok, "file"))
                fl |= LOG2_FL_FILE | LOG2_FL_BASENAME;
            else
                fprintf(stderr, "Invalid tags: [%s]\n", tok);
        }
    }
    log2_dbg_printf("log_flags_2_int=%s 0x%x\n", text ? text : "", fl);
    return fl;
}
