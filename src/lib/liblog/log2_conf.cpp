// The log section of a configuration document, applied key by key.
#include "liblog/log2_conf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libconf/conf.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2_imp.h"
#include "liblog/log2_out.h"

namespace {

std::mutex s_mu;
log2_t *s_configured_default = nullptr;

constexpr int kMinFileSize = 2048;

// The default handle the first time, a new handle every later time.
log2_t *choose_handle()
{
    log2_t *def = log2_get(nullptr);
    if (!def)
        return nullptr;
    std::lock_guard<std::mutex> g(s_mu);
    if (s_configured_default != def) {
        s_configured_default = def;
        return def;
    }
    return log2_new();
}

const char *key_of(conf_t *c, const char *sec, const char *key, const char *dbg_fmt)
{
    const char *v = conf_get(c, sec, key, "");
    if (!v)
        v = "";
    if (dbg_fmt)
        log2_dbg_printf(dbg_fmt, v);
    return v;
}

void apply(log2_t *h, conf_t *c, const char *sec)
{
    const char *v = key_of(c, sec, "debug", "log.debug=%s\n");
    if (strcmp(v, "1") == 0)
        log2_set_dbg_switch(1);

    v = key_of(c, sec, "level", "log.level=%s\n");
    if (*v)
        log2_ioctl(h, LOG2_IOC_LEVEL_STR, v, 0);

    v = key_of(c, sec, "flags", "log.flags=%s\n");
    if (*v)
        log2_ioctl(h, LOG2_IOC_FLAGS_STR, v, 0);

    // An output is switched on only once it could be opened.
    v = key_of(c, sec, "syslog", "log.syslog=%s\n");
    if (*v && log2_ioctl(h, LOG2_IOC_SYSLOG_OPEN, v, 0) == 0)
        log2_ioctl(h, LOG2_IOC_SYSLOG_ON, (const void *)(uintptr_t)1, 0);

    v = key_of(c, sec, "bsvlog", "log.bsvlog=%s\n");
    if (*v)
        log2_ioctl(h, LOG2_IOC_BSV_OPEN, v, 0);

    v = key_of(c, sec, "file_dir", "log.file_dir=%s\n");
    if (*v)
        log2_ioctl(h, LOG2_IOC_FILE_DIR, v, 0);

    v = key_of(c, sec, "file_mode", nullptr);
    if (*v)
        log2_conf_set_file_mode(h, v);

    v = key_of(c, sec, "file", "log.file=%s\n");
    if (*v && log2_ioctl(h, LOG2_IOC_FILE_OPEN, v, 0) == 0)
        log2_ioctl(h, LOG2_IOC_FILE_ON, (const void *)(uintptr_t)1, 0);

    v = key_of(c, sec, "max_num_file", "log.max_num_file=%s\n");
    if (*v)
        log2_ioctl(h, LOG2_IOC_FILE_MAX_COUNT, (const void *)(intptr_t)str_atoi(v), 0);

    // The key itself is never printed.
    v = key_of(c, sec, "key", nullptr);
    log2_dbg_printf("log.key=%s\n", *v ? "***" : "");
    if (*v)
        log2_ioctl(h, LOG2_IOC_FILE_KEY, v, 0);

    v = key_of(c, sec, "file_size", "log.file_size=%s\n");
    if (*v) {
        int32_t n = (int32_t)str_parse_size(v);
        if (n < kMinFileSize) {
            log2_printf(h, LOG2_WARN, "tag", __FILE__, __LINE__, __func__,
                        "log2_ioctl log.file_size=%d (must>=%d error)\n", n, kMinFileSize);
        } else {
            log2_dbg_printf("log2_ioctl log.file_size=%d\n", n);
            log2_ioctl(h, LOG2_IOC_FILE_MAX_SIZE, (const void *)(intptr_t)n, 0);
        }
    }
}

} // namespace

log2_t *log2_init_imp(const char *type, const char *conf, const char *name)
{
    if (const char *e = getenv("ZK_LOG_DBG")) {
        if (strtol(e, nullptr, 0) != 0)
            log2_set_dbg_switch(1);
    }
    log2_outputs_init();
    log2_t *h = choose_handle();
    if (!h)
        return nullptr;
    log2_dbg_printf("conf=[%s]\n", conf ? conf : "");
    if (!conf)
        return h;
    char sec[256];
    if (name ? !STR_FMT_OK(str_sprintf_s(sec, sizeof(sec), "log_%s", name), sizeof(sec))
             : str_safecopy(sec, sizeof(sec), "log") != 0)
        return h;
    conf_t *c = nullptr;
    if (type && strcmp(type, "ini_file") == 0) {
        c = conf_load(conf);
        if (!c) {
            log2_dbg_printf("conf_load [%s] failed\n", conf);
            return h;
        }
    } else if (type && strcmp(type, "ini_str") == 0) {
        c = conf_load_str(conf, 0);
        if (!c) {
            log2_dbg_printf("conf_load_str [%s] failed\n", conf);
            return h;
        }
    } else {
        log2_dbg_printf("type [%s] error\n", type ? type : "");
        return h;
    }
    apply(h, c, sec);
    conf_free(c);
    return h;
}

log2_t *log2_init_ini_file(const char *path, const char *name) { return log2_init_imp("ini_file", path, name); }

log2_t *log2_init_ini_str(const char *text, const char *name) { return log2_init_imp("ini_str", text, name); }

int log2_print_str(log2_t *h, unsigned level, const char *tag, const char *file, int line, const char *func,
                   const char *msg)
{
    return log2_printf(h, level, tag, file, line, func, "%s", msg ? msg : "");
}

int log_level_var_get(char *buf, size_t size)
{
    str_safecopy(buf, size, log2_get_level_str(nullptr));
    return 0;
}

int log2_conf_set_file_mode(log2_t *hh, const char *mode)
{
    log2_t *h = log2_get(hh);
    if (!h)
        return -1;
    log2_out_lock lk(h);
    log2_outs *o = log2_outs_of(h);
    return o ? log_file_set_mode(&o->file, mode) : -1;
}

const char *log2_conf_get_file_mode(log2_t *hh)
{
    log2_t *h = log2_get(hh);
    log2_outs *o = h ? h->outs.load() : nullptr;
    return o && o->file.mode[0] == 'a' ? "a" : "w";
}
