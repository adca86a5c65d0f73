// Inside of the log handle, shared by the log core and its outputs.
#pragma once
#include <atomic>
#include <cstdint>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_dyn.h"
#include "liblog/log2.h"

// Log file output state.
struct log2_file_state {
    char name[4096];  // current file path
    char dir[4096];   // directory for relative names
    char key[256];
    int max_size;     // size cap in bytes, 0 none
    int max_count;    // files kept
    int fd;           // -1 when closed
    int64_t size;     // bytes written to the current file
};

// Syslog output state (the URL first, as its readers expect).
struct log2_syslog_state {
    char url[4096];
    char host[256];
    int port;
    int proto; // 2 UDP, 4 TCP
    int fd;
    int state; // 0 off, 1 connect on next write, 2 connected
};

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
    log2_file_state file;
    log2_syslog_state syslog;
    log2_t *self;
    log2_bsv_state bsv;
};

// Outputs, called under the handle's mutex.
int log2_file_open(log2_t *h, const char *path);
int log2_file_write(log2_t *h, int level, const char *tag, const char *text, int len);
void log2_file_close(log2_t *h);
int log2_syslog_open(log2_t *h, const char *url);
int log2_syslog_write(log2_t *h, int level, const char *tag, const char *line, int len);
int log_net_close(log2_syslog_state *s);
int log2_bsv_open(log2_t *h, const char *url);
void log2_bsv_close(log2_t *h);
int bsv_write_log(unsigned level, const char *tag, const char *file, int line, const char *func, const char *msg);
