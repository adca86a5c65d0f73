// zkfile: the platform's buffered streams. A stream runs on a stream driver
// (a record of procedures chosen at open), so the same calls read and write
// file objects, texts in memory, temporary files, the output of a command
// and raw descriptors. Calls are shaped like the C library's buffered I/O.
//
// Thread-safety: every public call on a stream takes that stream's mutex, so
// one stream may be shared between threads. Calls on a NULL or damaged
// stream end the program (fatal assertion).
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"

// Stream magic: the bytes 'L','I','F','V' in memory order (little-endian).
constexpr uint32_t VFILE_MAGIC = 0x5646494cu;

// Stream flags.
enum : uint32_t {
    ZKF_NORD = 0x2,     // not readable
    ZKF_NOWR = 0x4,     // not writable
    ZKF_APPEND = 0x8,
    ZKF_BIN = 0x10,     // byte mode; without it the stream is in text mode
    ZKF_CRLF = 0x20,    // LF written as CRLF (no mode text sets it)
    ZKF_EOF = 0x100,
    ZKF_ERR = 0x200,
    ZKF_VOLUME = 0x800, // opened on a numbered volume (not released on close)
};

// Stream driver: 12 slots, any may be empty. A handle of 0 means "none".
struct zkfile_drv_t {
    // 0: volume drivers only: mount an archive, the volume handle or NULL.
    void *(*mount)(const char *path, vperror_t *err);
    // 1: release an auxiliary handle (a volume).
    void (*release)(void *aux);
    // 2: open path with file-object flags; handle, 0 on failure.
    intptr_t (*open)(void *ctx, const char *path, uint32_t pf);
    // 3: 0 ok.
    int (*close)(intptr_t h);
    // 4: new position, negative on failure.
    int64_t (*seek)(intptr_t h, int64_t off, int whence);
    // 5: bytes, 0 at the end, negative on failure.
    int64_t (*read)(intptr_t h, void *buf, size_t len);
    // 6: bytes, negative on failure.
    int64_t (*write)(intptr_t h, const void *buf, size_t len);
    // 7: 0 ok, -1.
    int (*flush)(intptr_t h);
    // 8: first argument of open.
    void *context;
    void *spare[3];
};

// Indexes of the built-in driver table.
enum { ZKDRV_FILE = 0, ZKDRV_MEM = 1, ZKDRV_TMP = 2, ZKDRV_CMD = 3, ZKDRV_FD = 4, ZKDRV_COUNT = 5 };

struct zkfile_t {
    uint32_t magic;
    uint32_t flags;
    const zkfile_drv_t *drv;
    unsigned char *rpos, *rend;         // read window
    unsigned char *wend, *wpos, *wbase; // write window
    unsigned char *buf;
    size_t buf_size;
    pl_mutex_t *mutex;
    int32_t lbf;  // line-buffer character, -1 = none (every stream)
    uint32_t own; // 1: the driver handle is closed with the stream
    void *crypt;
    intptr_t handle;
    void *aux;    // volume the path was opened in
    // Room for pushed-back bytes in front of the buffer, which follows.
    unsigned char pushback[8];
};

extern zkfile_t *zk_stdin;
extern zkfile_t *zk_stdout;
extern zkfile_t *zk_stderr;
extern size_t zkfile_buf_size;

// ---- opening: each returns a new stream (caller closes with zkclose) or NULL.
// share: 16, 32, 48, 64 or 128 (file-object share bits); any other fails.
zkfile_t *zkopen(const char *path, const char *mode, int share);
// Local paths are taken literally (a '?' or '#' is part of the name). With an
// explicit driver the path is read as a URL: its path part is opened, and a
// "type" query is handed back to the driver.
zkfile_t *zkopen_imp(const char *path, const char *mode, int share, const zkfile_drv_t *drv);
zkfile_t *zkopen_drv(const char *path, const char *mode, const zkfile_drv_t *drv);
zkfile_t *zkopen2(const char *path, const char *mode);
zkfile_t *zkopen_type(int index, const char *path, const char *mode, int share);
// Reads the caller's text, which must outlive the stream (not copied).
zkfile_t *zkopen_str(const char *text);
// Read-write temporary file, gone when closed.
zkfile_t *zkopen_tmp(void);
// Runs the command through the shell and reads its whole output (or its
// error output when the output is empty).
zkfile_t *zkopen_cmd(const char *cmd, const char *mode);
zkfile_t *zkopen_handle(intptr_t h, int index, int own, const char *mode);
zkfile_t *zkdopen(int fd, const char *mode);
// Opens path and moves it into f; f is closed and NULL returned on failure.
zkfile_t *zkreopen(const char *path, const char *mode, zkfile_t *f);
// Flushes; closes the driver handle when the stream owns it; frees f.
// 0, or non-zero when the write-out or the close failed.
int zkclose(zkfile_t *f);

// Parses a mode text into file-object flags and stream flags; -1 when the
// first letter is not r, w or a.
int zkfile_parse_mode(const char *mode, uint32_t *pf, uint32_t *sflags);

// ---- reading and writing (count of whole items)
size_t zkread(void *buf, size_t size, size_t count, zkfile_t *f);
size_t zkwrite(const void *buf, size_t size, size_t count, zkfile_t *f);
int zkgetc(zkfile_t *f);              // byte, -1 at the end or on error
int zkungetc(int c, zkfile_t *f);     // c, -1 when c is -1 or no room is left
char *zkgets(char *buf, int n, zkfile_t *f);
// Reads a line into *line (grown by os_realloc: cap/4 + cap + 64; the caller
// frees it with os_free). The length, or -1 when nothing was read.
int64_t zkgetline(char **line, size_t *cap, zkfile_t *f);
int zkgetchar(void);
char *zkgets_stdin(char *buf, int n);
int zkputc(int c, zkfile_t *f);      // c, or -1
int zkputs(const char *s, zkfile_t *f); // text and a newline; the newline's result or -1
int zkprintf(zkfile_t *f, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int zkvprintf(zkfile_t *f, const char *fmt, va_list va);
int zkputchar(int c);
int zkputs_stdout(const char *s);
int zkprintf_stdout(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- positions and state
int zkflush(zkfile_t *f); // NULL: every writable stream; 0 or -1
int zkseeko(zkfile_t *f, int64_t off, int whence);
int zkseek(zkfile_t *f, int64_t off, int whence);
void zkrewind(zkfile_t *f);
int64_t zktell(zkfile_t *f);
int zkgetpos(zkfile_t *f, int64_t *pos);
int zkeof(zkfile_t *f);
int zkerror(zkfile_t *f);
void zkclearerr(zkfile_t *f);
int zkfileno(zkfile_t *f);
// Skips a UTF-8 byte-order mark; otherwise the stream goes back to offset 0.
int zkskip_bom(zkfile_t *f);

// ---- set-up (start-up and shut-down run on the main thread)
int zkfile_init(void);
int zkfile_exit(void);
int zkfile_init_std_env(void);
int zkfile_set_std_handle(int index, intptr_t h);
void zkfile_set_rw_bsize(size_t size);
const zkfile_drv_t *zkfile_get_drv(int index);
// Replaces slots 2-8 of the file driver; NULL restores the default.
void zkfile_set_file_drv(const zkfile_drv_t *drv);
void zkfile_check_api(void);

// ---- volumes (nothing in this system installs a volume driver)
void zkfile_vfs_set_drv(const zkfile_drv_t *drv);
// Writes the new volume's index into idx ("%d"); 0 or -1.
int zkfile_vfs_mount(const char *path, char *idx, size_t idx_size);
int zkfile_vfs_umount(const char *idx);
void zkfile_vfs_umount_all(void);
// Handle, 0 on failure, -1 when path is not a volume path.
intptr_t zkfile_vfs_open(const char *path, uint32_t pf, const zkfile_drv_t **drv, void **aux, int *numbered);

// ---- crypt hooks (nothing in this system installs them)
typedef void *(*zkcrypt_open_fn)(const char *alg, const char *key);
typedef void (*zkcrypt_close_fn)(void *ctx);
// dir 1 before writing, 0 after reading; pos = file position of the bytes.
typedef void (*zkcrypt_do_fn)(void *ctx, int dir, void *bytes, size_t len, int64_t pos);
void zkfile_set_crypt_func(zkcrypt_open_fn o, zkcrypt_close_fn c, zkcrypt_do_fn d);
int zkfile_set_crypt(zkfile_t *f, const char *alg, const char *key);
