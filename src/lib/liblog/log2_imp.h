// Inside of the log handle, shared by the log core and its outputs.
//
// The core (the routine, the handle and its settings) writes to the console
// and the hooks only. The outputs beside it (log file, syslog, binary
// records; liblog/log2_out.h) build on the core and on the configuration and
// binary-record libraries above it, so the core reaches them only through
// the procedures they install (log2_set_outputs). Until then a handle has no
// outputs: their settings fail (-1) and records reach the console only.
#pragma once
#include <atomic>
#include <cstdint>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_dyn.h"
#include "liblog/log2.h"

// A handle's output state (file, syslog, binary records): the outputs' own,
// made by them on first use and freed by their close procedure.
struct log2_outs;

// The outputs' procedures, as the core calls them.
struct log2_out_ops {
    // One record's line to the file and syslog outputs the handle has
    // switched on (record: the file's form of it, or NULL). Under the
    // handle's mutex.
    void (*write)(log2_t *h, int level, const char *tag, const char *line, int len, const char *record);
    // The binary record of every log call (bsv_write_log); under the
    // handle's mutex.
    int (*record)(unsigned lw, const char *tag, const char *file, int line, const char *func, const char *msg);
    // The output settings of log2_ioctl: LOG2_IOC_FILE_OPEN, _FILE_DIR,
    // _FILE_MAX_SIZE, _FILE_MAX_COUNT, _FILE_KEY, _BSV_OPEN and
    // _SYSLOG_OPEN; log2_ioctl's result. Takes the output lock itself.
    int (*ioctl)(log2_t *h, int code, const void *value, int len);
    const char *(*file_name)(log2_t *h); // "" while no file is open
    int (*file_fd)(log2_t *h);           // text stream's descriptor or -1; under the output lock
    // The outputs' fields of log2_get_info (file name and cap, syslog and
    // binary-record URLs).
    void (*info)(log2_t *h, log2_info_t *info);
    // The handle is being freed: its outputs closed, their state freed.
    // Under the handle's mutex.
    void (*close)(log2_t *h);
    // The default handle is closed: process-wide output state (the
    // in-memory readers of binary records) released.
    void (*exit)(void);
};

// Installs (NULL removes) the outputs' procedures; the record must outlive
// every handle. Any thread.
void log2_set_outputs(const log2_out_ops *ops);

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
    std::atomic<log2_outs *> outs; // NULL until an output setting needs it
    log2_t *self;
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
