// log2: the log routine every module reports through, its handle, levels,
// flag words and settings.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Levels (bits 0-7 of the level word); a smaller number is more severe.
enum : unsigned {
    LOG2_CRIT = 2,
    LOG2_ERR = 3,
    LOG2_WARN = 4,
    LOG2_NOTI = 5,
    LOG2_INFO = 6,
    LOG2_DBG = 7,
    LOG2_VERB = 8,
    LOG2_LEVEL_MASK = 0xff,
    // flag bits of the level word
    LOG2_F_ERRNO = 0x100,    // append the text of errno as it was at entry
    LOG2_F_NOEXIT = 0x200,   // a crit record does not end the program
    LOG2_F_NET = 0x400,      // hand the binary record to the network sender too
    LOG2_F_BSV_ONLY = 0x800, // binary record only, no text line
};

// Handle flag word: which prefix fields a console line carries.
enum : unsigned {
    LOG2_FL_TID = 0x01,
    LOG2_FL_TIME = 0x02,
    LOG2_FL_FUNC = 0x04,
    LOG2_FL_FILE = 0x08,
    LOG2_FL_BASENAME = 0x10,
    LOG2_FL_COLOUR = 0x20,
    LOG2_FL_TIME_MS = 0x40,
    LOG2_FL_TID_NAME = 0x80,
    LOG2_FL_DEFAULT = 0x27,
};

struct log2_t;
typedef int (*log2_out_fn)(int level, const char *tag, const char *line, int len);
typedef int (*log2_hook_fn)(unsigned level, const char *tag, const char *file, int line, const char *func, int eno,
                            const char *fmt, va_list va);

// The log routine. h 0 is the default handle. Returns 0, or -1 once the log
// is closed. Never changes errno. Any thread.
int log2_printf(log2_t *h, unsigned level, const char *tag, const char *file, int line, const char *func,
                const char *fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_vprintf(log2_t *h, unsigned level, const char *tag, const char *file, int line, const char *func,
                 const char *fmt, va_list va);
int log2_cb_printf(unsigned level, const char *tag, const char *file, int line, const char *func, int eno,
                   const char *fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_cb_vprintf(unsigned level, const char *tag, const char *file, int line, const char *func, int eno,
                    const char *fmt, va_list va);
// The log's own debug print (standard error, only while the debug switch is on).
void log2_dbg_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log2_set_dbg_switch(int on);
// Copies n bytes of in into out (size bytes, always NUL-terminated when size
// is not 0) with every control byte written as an escape: LF "\n", CR "\r",
// the other C0 bytes, DEL and the C1 controls (raw or UTF-8) "\x%02x" per
// byte, as are bytes that are not UTF-8. TAB and well-formed UTF-8 stay.
// An escape that does not fit ends the copy. Returns the bytes written.
size_t log2_escape(const char *in, size_t n, char *out, size_t size);
// Dispatch an already built line (len -1: its string length), its control
// bytes escaped as the log routine does.
int log2_write_line(log2_t *h, unsigned level, const char *tag, const char *line, int len);

log2_t *log2_new(void);
log2_t *log2_get(log2_t *h);
void log2_exit(log2_t *h);
// 1 once the default handle has been closed.
int log2_is_closed(void);

int log2_ioctl(log2_t *h, int code, const void *value, int len);
int log2_set_level(log2_t *h, int level);
int log2_set_level_str(log2_t *h, const char *name);
int log2_get_level(log2_t *h);
const char *log2_get_level_str(log2_t *h);
int log2_get_console_level(log2_t *h);
unsigned log2_get_flags(log2_t *h);
int log2_set_hook(log2_t *h, log2_hook_fn hook);
int log2_open_file(log2_t *h, const char *path);
const char *log2_get_file_name(log2_t *h);
int log2_get_file_fd(log2_t *h);
const char *log2_get_history(log2_t *h);
unsigned log2_get_busy(log2_t *h);

struct log2_info_t {
    int level;
    unsigned flags;
    int console_on;
    int file_on;
    char file_name[4096];
    int file_max_size;
    int syslog_on;
    char syslog_url[4096];
    char bsv_url[4096];
};
void log2_get_info(log2_t *h, log2_info_t *info);
// New text (caller frees with os_free), NULL when it cannot be made.
char *log2_info_str(log2_t *h);
int log2_set_thread_name(const char *name);
int log2_elapsed_level(int timed, int failed, uint64_t *start, int level_fast, int level_untimed);

int log2_level_from_str(const char *name);
const char *log2_level_2_str(int level);
int log2_prefix_2_level(const char *prefix);
const char *log2_level_2_prefix(int level);
const char *log2_level_2_severity(int level);
const char *log2_level_enum_str(void);
const char *log2_level_num_str(void);
unsigned log_flags_2_int(const char *text);

// ioctl command codes
enum {
    LOG2_IOC_LEVEL = 1,
    LOG2_IOC_FLAGS = 2,
    LOG2_IOC_LEVEL_STR = 3,
    LOG2_IOC_CONSOLE_LEVEL_STR = 4,
    LOG2_IOC_FLAGS_STR = 5,
    LOG2_IOC_INFO_HOOK = 6,
    LOG2_IOC_ERR_HOOK = 7,
    LOG2_IOC_GET_LEVEL = 8,
    LOG2_IOC_FILE_OPEN = 20,
    LOG2_IOC_FILE_DIR = 21,
    LOG2_IOC_FILE_MAX_SIZE = 22,
    LOG2_IOC_FILE_MAX_COUNT = 23,
    LOG2_IOC_FILE_KEY = 24,
    LOG2_IOC_BSV_OPEN = 30,
    LOG2_IOC_SYSLOG_OPEN = 31,
    LOG2_IOC_CONSOLE_ON = 40,
    LOG2_IOC_FILE_ON = 42,
    LOG2_IOC_SYSLOG_ON = 43,
};

// Registers the settable shell variable "log.level" (levels verb..crit,
// set and read on the default handle) in reg; the registry's result.
struct dvar_mgr_t;
int log2_dvar_reg(dvar_mgr_t *reg);

// Convenience forms used across the code base: level, tag, printf format.
#define LOG2(lvl, tag, ...) log2_printf(nullptr, (lvl), (tag), __FILE__, __LINE__, __func__, __VA_ARGS__)
#define LOG_CRIT(tag, ...) LOG2(LOG2_CRIT, tag, __VA_ARGS__)
#define LOG_ERR(tag, ...) LOG2(LOG2_ERR, tag, __VA_ARGS__)
#define LOG_WARN(tag, ...) LOG2(LOG2_WARN, tag, __VA_ARGS__)
#define LOG_NOTI(tag, ...) LOG2(LOG2_NOTI, tag, __VA_ARGS__)
#define LOG_INFO(tag, ...) LOG2(LOG2_INFO, tag, __VA_ARGS__)
#define LOG_DBG(tag, ...) LOG2(LOG2_DBG, tag, __VA_ARGS__)
#define LOG_VERB(tag, ...) LOG2(LOG2_VERB, tag, __VA_ARGS__)
