// log2_out: the log's outputs besides the console: the log file (size cap,
// recreation, clean-up of older files, capture files for ".pcap" names),
// the syslog client over UDP or TCP, the binary records (bsv_write_log, and
// their UDP sender), and the simple file log, a standalone appending file
// with its own lock. They form a library of their own above the log core
// (liblog/log2.h), which reaches them through the procedures
// log2_outputs_init installs.
//
// The log file, syslog and binary-record contexts of a handle hang from it
// (log2_outs); the log routine calls their writers under the handle's
// mutex, and the handle's settings (log2_ioctl) take that mutex too, so
// none of them locks on its own. A flog_t has its own mutex and may be used
// from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

struct log2_t;
struct zkfile_t;

// Installs the outputs into the log core, so that every handle's file,
// syslog and binary-record settings and records reach them. Idempotent, any
// thread; the log configuration (log2_init_imp) does it, and so must a
// program that sets outputs through log2_ioctl or log2_open_file without one.
void log2_outputs_init(void);

// ---- log file ------------------------------------------------------------------------------

enum : int32_t {
    LOG_FILE_KIND_PCAP = 1, // binary log records in a capture file
    LOG_FILE_KIND_TEXT = 2, // one text line per record
    LOG_FILE_MIN_SIZE = 1024,
    LOG_FILE_DEF_SIZE = 2097152,
};

struct log_file_ctx {
    char path[4096];    // full path of the open file; "" until an open succeeds
    char pattern[4096]; // glob of the configured name's family: each set variable as "?*"
    char dir[4096];     // absolute directory of relative names; "" none
    char key[128];      // cipher key of the stream; "" none
    char mode[2];       // "w" (truncate on open) or "a" (append)
    int32_t max_size;   // size cap in bytes, at least LOG_FILE_MIN_SIZE
    int32_t kind;       // LOG_FILE_KIND_*
    void *pcap;         // capture writer while kind is LOG_FILE_KIND_PCAP
    zkfile_t *stream;   // text stream; NULL while closed or after a failed reopen
    uint64_t dev, ino;  // identity of the open text file: the path must still name it
};

// Opens path for a log output: read-write, created 0644 (missing parents
// made), truncated when trunc is set, never through a symbolic link in its
// last component and never anything but a regular file. The descriptor
// (close-on-exec, above the standard three), or -1 with errno set.
int log_file_open_fd(const char *path, bool trunc);
// 1 when path (not followed through a link) names the regular file open at
// fd, 0 when it names something else or nothing.
int log_file_names_fd(const char *path, int fd);

// Defaults: cap 2 MiB, text kind, mode "w", nothing open.
void log_file_init(log_file_ctx *ctx);
// Closes what is open, expands $NAME / ${NAME} in name, joins a relative
// result to the directory and opens it (a ".pcap" name as a capture file).
// 0, or -1 with the former path kept and nothing open. name not NULL.
int log_file_open(log_file_ctx *ctx, const char *name);
// A relative dir is taken beside the executable; it is created (0755) when
// missing. 0, or -1 when the text does not fit.
int log_file_set_dir(log_file_ctx *ctx, const char *dir);
// Cap = n, at least LOG_FILE_MIN_SIZE. 0.
int log_file_set_size(log_file_ctx *ctx, int32_t n);
// With n >= 2 and a directory set, deletes the older files of the open
// name's family (its pattern) so that n remain; the open file always stays.
// The family is what the name can make: a variable with a value stands for
// any text, one without a value (it stays in the name as "${name}") and
// every other character only for itself.
// Runs once, when called. 0.
int log_file_set_max_num(log_file_ctx *ctx, int32_t n);
// Stores the key and hands it to the open stream's cipher hook: that
// result, or -1 without a stream or hook (the file stays in clear).
int log_file_set_key(log_file_ctx *ctx, const char *key);
// "a" or "w"; -1 ("mode %s err" to the debug printing) for anything else.
int log_file_set_mode(log_file_ctx *ctx, const char *mode);
// One record: a line head (time, level word, pid, thread name, tag), then
// text. When the path no longer names the open file (deleted, renamed away
// by a rotation, replaced), the path is opened again (appending, never
// through a link). Retries once after a write error; at the cap keeps the
// newest half, trimming the open file in place. 0, or -1 when the record
// could not be written (it is dropped; the next record opens the file
// again).
int log_file_write(log_file_ctx *ctx, int level, const char *tag, const char *text, int len);
int log_file_close(log_file_ctx *ctx); // 0
int log_file_exit(log_file_ctx *ctx);  // 0
const char *log_file_get_name(const log_file_ctx *ctx);
int32_t log_file_get_max_size(const log_file_ctx *ctx);
int log_file_get_fd(const log_file_ctx *ctx); // descriptor of the text stream, or -1

// ---- syslog client -------------------------------------------------------------------------

enum : int32_t {
    LOG_SYSLOG_UDP = 2,
    LOG_SYSLOG_TCP = 4,
    LOG_SYSLOG_OFF = 0,
    LOG_SYSLOG_PENDING = 1, // configured, connects at the next record
    LOG_SYSLOG_TRIED = 2,   // a connection was attempted
    LOG_SYSLOG_MSG_MAX = 800,
    // After a receiver failed (no connection, or a send that could not go
    // out), records are dropped without trying for this long, doubled after
    // each further failure up to the bound.
    LOG_SYSLOG_BACKOFF_MS = 10000,
    LOG_SYSLOG_BACKOFF_MAX_MS = 60000,
};

struct log_syslog_ctx {
    char url[8192];
    char host[8192];
    int32_t port;  // 0 when the URL gives none
    int32_t proto; // LOG_SYSLOG_UDP or LOG_SYSLOG_TCP
    int32_t fd;    // connected socket, -1 none
    int32_t state; // LOG_SYSLOG_OFF / PENDING / TRIED
    log2_t *owner; // handle whose flags say how long a line's time prefix is
    int64_t retry_at;   // monotonic ms before which records are dropped; 0 none
    int32_t backoff_ms; // length of the current back-off; 0 none
    uint64_t dropped;   // records dropped since the receiver last took one
};

// Off, no socket, owned by h.
void log_syslog_init(log_syslog_ctx *ctx, log2_t *owner);
// Stores and parses url ("tcp://host:port" TCP, any other scheme UDP),
// closes any connection; the next record connects. 0, or -1 for a bad URL.
int log_net_open(log_syslog_ctx *ctx, const char *url);
// (Re)connects: the old socket is closed first. Descriptor or -1.
int log_net_connect(log_syslog_ctx *ctx);
int log_net_close(log_syslog_ctx *ctx); // 0; the output is off afterwards
const char *log_net_get_url(const log_syslog_ctx *ctx);
// Sends one console line as a syslog message; reconnects once when the
// send fails. When the receiver cannot be reached (the connect fails or
// times out, a send stalls, or the send after the reconnect fails), the
// output backs off (above) and drops the records meanwhile at no cost; they
// are counted, and once a record goes out again it is preceded by a warn
// message "syslog: %llu records dropped while the receiver could not be
// reached". Bytes sent, or negative (the record dropped).
int syslog_write(log_syslog_ctx *ctx, int level, const char *tag, const char *line, int len);

// Connected socket to host (service: NULL gives "syslog" for UDP and
// "syslog-conn" for TCP) of protocol LOG_SYSLOG_UDP and/or LOG_SYSLOG_TCP;
// a TCP connect waits at most a short time. Descriptor, or -1 (the reason
// on the standard error stream).
int syslog_open(const char *host, const char *service, int proto);
void syslog_close(int fd);
// Message text of one console line as sent: "<PRI>Mmm dd hh:mm:ss host
// tag[pid]: message" (message cut at 800 characters). Over TCP it ends with
// exactly one LF; over UDP it is followed by its NUL (counted in the
// result). Length to send, or -1.
int syslog_format(log2_t *owner, int proto, const char *pri, const char *tag, const char *line, char *out,
                  size_t size);
// Formats and sends one message on fd (framed by the socket's kind). Bytes
// sent, or negative.
int syslog_send(log2_t *owner, int fd, const char *pri, const char *tag, const char *line);
// PRI of a "facility.priority" text (no '.': facility "user"); -1 when a
// name is unknown (reported on the standard error stream).
int syslog_pri(const char *pri);
// Code of a facility or priority name (any case) or of a decimal code in the
// table; -1 when unknown. table: SYSLOG_TAB_FACILITY or SYSLOG_TAB_PRIORITY.
enum { SYSLOG_TAB_FACILITY = 0, SYSLOG_TAB_PRIORITY = 1 };
int syslog_decode(const char *name, int table);
// Priority name of a log level: "crit", "error", "warn", "notice", "info",
// "debug".
const char *syslog_level_name(int level);
// Host name carried by the messages (filled at the first connection).
const char *syslog_host_name(void);

// ---- simple file log -----------------------------------------------------------------------

struct flog_t;
enum : uint32_t { FLOG_F_TIME = 1 }; // prefix each write with the local time
struct flog_opt_t {
    uint32_t max_size; // 0, or 2^31 and more: no cap
    uint32_t flags;    // FLOG_F_*
};

// Opens path for appending. The record (free with flog_close) or NULL.
flog_t *flog_open(const char *path, const flog_opt_t *opt);
// Appends data under the record's lock, keeping the newest half when the
// cap is reached. 0, or -1 when it could not be written (also while the
// file cannot be reopened after an error). Any thread.
int flog_write(flog_t *f, const void *data, size_t len);
int flog_printf(flog_t *f, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int flog_close(flog_t *f); // 0, -1 for NULL

// ---- a handle's outputs --------------------------------------------------------------------

struct log2_outs {
    log_file_ctx file;
    log_syslog_ctx syslog;
    char bsv_url[4096]; // URL of the binary-record UDP output; "" none
    void *bsv_ctx;      // its sender (log_bsv_t), made on first open
};

// The handle's output state, made (defaults, nothing open) on first use;
// NULL when there is no memory for it. Under the handle's output lock.
log2_outs *log2_outs_of(log2_t *h);
