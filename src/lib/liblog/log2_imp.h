// Inside of the log handle, shared by the log core and its outputs.
#pragma once
#include <atomic>
#include <cstdint>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_dyn.h"
#include "liblog/log2.h"
#include "liblog/log2_out.h"

// Binary log output state.
struct log2_bsv_state {
    char url[4096];
    void *ctx;
};

struct log2_t {
    std::atomic<uint32_t> busy;
    std::atomic<uint32_t> owner;
    pl_mutex_t *mutex;
    // Settings are written without the lock by the setters and read by every
    // logging thread, hence atomics.
    std::atomic<uint32_t> flags;
    std::atomic<int> level;
    std::atomic<uint8_t> console_on;
    std::atomic<int> console_level;
    std::atomic<uint8_t> file_on;
    std::atomic<uint8_t> syslog_on;
    std::atomic<log2_out_fn> info_hook;
    std::atomic<log2_out_fn> err_hook;
    std::atomic<log2_hook_fn> override_hook;
    char history_buf[1024];
    line_ring history;
    str_dyn *record;
    log_file_ctx file;
    log_syslog_ctx syslog;
    log2_t *self;
    log2_bsv_state bsv;
};

// The handle's output lock as the log routine takes it: false (and nothing
// taken) when this thread already holds it. Records this thread logs while
// holding it are dropped.
bool log2_enter(log2_t *h, uint32_t tid, int *cancel_state);
void log2_leave(log2_t *h, int cancel_state);

// Holds a handle's output lock for a scope, unless this thread already
// does; a NULL handle locks nothing.
class log2_out_lock {
public:
    explicit log2_out_lock(log2_t *h) : h_(h) { taken_ = h_ && log2_enter(h_, os_gettid(), &cs_); }
    ~log2_out_lock()
    {
        if (taken_)
            log2_leave(h_, cs_);
    }
    log2_out_lock(const log2_out_lock &) = delete;
    log2_out_lock &operator=(const log2_out_lock &) = delete;

private:
    log2_t *h_;
    bool taken_ = false;
    int cs_ = 0;
};

// Binary log output, called under the handle's mutex.
int log2_bsv_open(log2_t *h, const char *url);
void log2_bsv_close(log2_t *h);
int bsv_write_log(unsigned level, const char *tag, const char *file, int line, const char *func, const char *msg);
// Closes every in-memory reader of binary records (when the default handle closes).
int bsv_reg_exit(void);
