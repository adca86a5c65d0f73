// The outputs as the log core calls them: a handle's output state, the
// record writers, the output settings of log2_ioctl and the binary-record
// UDP output.
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "libbsv/bsv.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2_imp.h"
#include "liblog/log2_out.h"

namespace {

// The handle's UDP output context is made on first open and freed by close.
int bsv_open(log2_outs *o, const char *url)
{
    if (!url)
        return -1;
    static std::mutex s_make_mu;
    log_bsv_t *ctx;
    {
        std::lock_guard<std::mutex> g(s_make_mu);
        if (!o->bsv_ctx)
            o->bsv_ctx = log_bsv_new();
        ctx = (log_bsv_t *)o->bsv_ctx;
    }
    if (!ctx)
        return -1;
    int r = log_bsv_udp_open(ctx, url);
    str_safecopy_trunc(o->bsv_url, sizeof(o->bsv_url), log_bsv_get_url(ctx));
    return r;
}

void out_write(log2_t *h, int level, const char *tag, const char *line, int len, const char *record)
{
    log2_outs *o = h->outs.load();
    if (!o)
        return; // nothing was ever opened
    if (h->file_on.load()) {
        if (record && *record)
            log_file_write(&o->file, level, tag, record, (int)strlen(record));
        else
            log_file_write(&o->file, level, tag, line, len);
    }
    if (h->syslog_on.load())
        syslog_write(&o->syslog, level, tag, line, len);
}

// The log file's settings are taken under the output lock, so that no
// record is being written while they change.
int out_ioctl(log2_t *h, int code, const void *value, int)
{
    const char *text = (const char *)value;
    switch (code) {
    case LOG2_IOC_FILE_OPEN: {
        int r = -1, e = ENOMEM;
        char dir[sizeof(log_file_ctx::dir)] = "";
        {
            log2_out_lock lk(h);
            if (log2_outs *o = log2_outs_of(h)) {
                r = log_file_open(&o->file, text);
                e = errno;
                str_safecopy(dir, sizeof(dir), o->file.dir);
            }
        }
        if (r != 0) {
            // Said on the console once, outside the lock (the log file is
            // not there to take it).
            errno = e;
            const bool rel = text && text[0] != '/' && dir[0];
            log2_printf(h, LOG2_WARN | LOG2_F_ERRNO, "log", __FILE__, __LINE__, __func__,
                        "cannot open the log file [%s%s%s]: ", rel ? dir : "", rel ? "/" : "", text ? text : "");
        }
        return r;
    }
    case LOG2_IOC_FILE_DIR:
    case LOG2_IOC_FILE_MAX_SIZE:
    case LOG2_IOC_FILE_MAX_COUNT:
    case LOG2_IOC_FILE_KEY: {
        log2_out_lock lk(h);
        log2_outs *o = log2_outs_of(h);
        if (!o)
            return -1;
        if (code == LOG2_IOC_FILE_DIR)
            return log_file_set_dir(&o->file, text);
        if (code == LOG2_IOC_FILE_MAX_SIZE)
            return log_file_set_size(&o->file, (int32_t)(intptr_t)value);
        if (code == LOG2_IOC_FILE_MAX_COUNT)
            return log_file_set_max_num(&o->file, (int32_t)(intptr_t)value);
        return log_file_set_key(&o->file, text);
    }
    case LOG2_IOC_BSV_OPEN:
    case LOG2_IOC_SYSLOG_OPEN: {
        log2_outs *o;
        {
            log2_out_lock lk(h);
            o = log2_outs_of(h);
        }
        if (!o)
            return -1;
        return code == LOG2_IOC_BSV_OPEN ? bsv_open(o, text) : log_net_open(&o->syslog, text);
    }
    default: return -1;
    }
}

const char *out_file_name(log2_t *h)
{
    log2_outs *o = h->outs.load();
    return o ? log_file_get_name(&o->file) : "";
}

int out_file_fd(log2_t *h)
{
    log2_outs *o = h->outs.load();
    return o ? log_file_get_fd(&o->file) : -1;
}

void out_info(log2_t *h, log2_info_t *info)
{
    log2_outs *o = h->outs.load();
    if (!o) {
        info->file_max_size = LOG_FILE_DEF_SIZE;
        return;
    }
    str_safecopy_trunc(info->file_name, sizeof(info->file_name), log_file_get_name(&o->file));
    info->file_max_size = log_file_get_max_size(&o->file);
    str_safecopy_trunc(info->syslog_url, sizeof(info->syslog_url), log_net_get_url(&o->syslog));
    str_safecopy_trunc(info->bsv_url, sizeof(info->bsv_url), o->bsv_url);
}

void out_close(log2_t *h)
{
    log2_outs *o = h->outs.exchange(nullptr);
    if (!o)
        return;
    log_bsv_free((log_bsv_t *)o->bsv_ctx);
    log_net_close(&o->syslog);
    log_file_exit(&o->file);
    delete o;
}

void out_exit(void) { bsv_reg_exit(); }

constexpr log2_out_ops k_ops = {
    out_write, bsv_write_log, out_ioctl, out_file_name, out_file_fd, out_info, out_close, out_exit,
};

} // namespace

log2_outs *log2_outs_of(log2_t *h)
{
    if (log2_outs *o = h->outs.load())
        return o;
    auto *o = new (std::nothrow) log2_outs();
    if (!o)
        return nullptr;
    log_file_init(&o->file);
    log_syslog_init(&o->syslog, h);
    // Callers hold the output lock, so only one of them makes the state.
    h->outs.store(o);
    return o;
}

void log2_outputs_init(void) { log2_set_outputs(&k_ops); }
