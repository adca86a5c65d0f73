// os_file2: file objects. A file object is a handle plus the operation record
// of its kind; the kind is chosen from the path when the object is opened:
// ordinary paths are local files, "/dev/" + stdin|stdout|stderr|null|zero|
// random are built-in kinds that never touch the kernel device, and a zz path
// list (path, "X", name) opens one extended attribute of a path as a file.
//
// File objects carry no lock: a caller sharing one between threads
// serialises its use.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

#include "libpal/basic/pl_verr.h"
#include "libpal/os/posix/os_fs.h"

// A prepared path, with its NUL.
enum { OS_FILE_PATH_SIZE = 4096 };

// File-object flags (the "pf" word given to the init slot).
enum : uint32_t {
    OS_FILE_READ = 0x1,
    OS_FILE_WRITE = 0x2,
    OS_FILE_RDWR = 0x4,
    OS_FILE_CREATE = 0x8,   // local kind: mode 0644, parents made on demand
    OS_FILE_APPEND = 0x10,
    OS_FILE_TRUNC = 0x20,
    OS_FILE_DIRECT = 0x40,
    OS_FILE_PL = 0x80,      // always set by pl_oflag_2_pf; no effect
    OS_FILE_SYNC = 0x800,
    OS_FILE_VSS = 0x10000,  // read by the zksd mount; no effect here
    OS_FILE_ZZ = 0x80000,   // the path is a zz path list
};

// ioctl codes (0, 1, 2, 6 and 7 mean the same on the zksd client's handles).
enum {
    OS_FILE_GET_INFO = 0,
    OS_FILE_GET_ERROR_CLASS = 1,
    OS_FILE_GET_STAT = 2,
    OS_FILE_GET_SPARSE_RANGES = 3,
    OS_FILE_IOCTL_CODE4 = 4,
    OS_FILE_PUNCH_HOLE = 5,
    OS_FILE_SET_TIMES = 6,
    OS_FILE_LOCK = 7,
    OS_FILE_SET_READ_TIMEOUT = 8,
    OS_FILE_SET_WRITE_TIMEOUT = 9,
    OS_FILE_RENAME = 10,
    OS_FILE_IOCTL_CODE11 = 11,
    OS_FILE_CHMOD = 12,
    OS_FILE_CHOWN = 13,
};

// os_file_info_t::type
enum { OS_FILE_INFO_DIR = 1, OS_FILE_INFO_FILE = 2, OS_FILE_INFO_DEVICE = 3, OS_FILE_INFO_BLOCK = 5 };
enum { OS_FILE_INFO_NAME_SIZE = 128 };

struct os_file_info_t {
    uint32_t type;
    uint64_t size;
    uint64_t offset;
    uint32_t block_size;
    char name[OS_FILE_INFO_NAME_SIZE]; // device model text
};

// os_file_lock_t::type: low four bits 1 shared, 3 unlock, other exclusive.
enum { OS_FILE_LOCK_SHARED = 1, OS_FILE_LOCK_EXCLUSIVE = 2, OS_FILE_LOCK_UNLOCK = 3, OS_FILE_LOCK_NOWAIT = 0x10 };
struct os_file_lock_t {
    int32_t type;
    uint64_t offset;
    uint64_t length;
};

// Argument of OS_FILE_RENAME.
struct os_file_rename_t {
    const char *name;
    uint8_t replace;
};
// Argument of OS_FILE_CHOWN.
struct os_file_owner_t {
    uint32_t uid;
    uint32_t gid;
};

// Operation record of a kind: a name and 19 slots (any may be empty). The
// records are constant; the objects of a std kind dispatch through a live
// copy whose read or writ slot os_file_set_std_fd_proc may swap.
// "h" is the object's handle. Transfers and positions answer a count or -1;
// exit, sync, truncate and ioctl answer 1 or 0.
struct os_file_ops_t {
    const char *name = nullptr;
    uint64_t (*init)(const char *path, uint32_t pf) = nullptr;
    uint64_t (*wopen)(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t attributes) = nullptr;
    uint64_t (*open2)(const char *path, int oflags, uint32_t mode) = nullptr;
    uint64_t (*zzopen)(const char *path, const char *kind, const char *name, uint32_t pf) = nullptr;
    int (*exit)(uint64_t h) = nullptr;
    int64_t (*read)(uint64_t h, void *buf, size_t len) = nullptr;
    int64_t (*writ)(uint64_t h, const void *buf, size_t len) = nullptr;
    int64_t (*pread)(uint64_t h, void *buf, size_t len, int64_t off) = nullptr;
    int64_t (*pwrit)(uint64_t h, const void *buf, size_t len, int64_t off) = nullptr;
    int64_t (*readv)(uint64_t h, const struct iovec *v, int count) = nullptr;
    int64_t (*writv)(uint64_t h, const struct iovec *v, int count) = nullptr;
    int64_t (*preadv)(uint64_t h, const struct iovec *v, int count, int64_t off) = nullptr;
    int64_t (*pwritv)(uint64_t h, const struct iovec *v, int count, int64_t off) = nullptr;
    int (*sync)(uint64_t h) = nullptr;
    int (*truncate)(uint64_t h, int64_t size) = nullptr;
    int64_t (*seek)(uint64_t h, int64_t off, int whence) = nullptr;
    int64_t (*offset)(uint64_t h) = nullptr;
    int64_t (*size)(uint64_t h) = nullptr;
    int (*ioctl)(uint64_t h, int code, void *buf, size_t len) = nullptr;
};

typedef int64_t (*os_file_read_fn)(uint64_t h, void *buf, size_t len);
typedef int64_t (*os_file_writ_fn)(uint64_t h, const void *buf, size_t len);

// A file object: one zeroed allocation, owned by whoever opened it and freed
// by os_file_close.
struct os_file_t {
    uint64_t handle; // kind-specific; 0 means no file
    const os_file_ops_t *ops;
    char *path;      // as the caller gave it (a zz list: the whole list)
    uint8_t remove_on_close;
};

// A probe that may claim a prepared path for a kind of its own.
struct os_file_probe_t {
    const char *name;
    const os_file_ops_t *(*match)(const char *path);
};
enum { OS_FILE_PROBE_MAX = 4 };
// Registers a probe (asked before the built-in kinds); 0, or -1 when full.
int os_file_register_probe(const os_file_probe_t *probe);

// ---- path preparation and kind choice ---------------------------------------
// Bounded copy, normalisation and "file:" prefix removal; 0 or -1.
int os_file_path_prepare(const char *path, char (&out)[OS_FILE_PATH_SIZE]);
void os_file_path_strip_url(char (&path)[OS_FILE_PATH_SIZE]);
// Kind for a prepared path (probes, then "/dev/"+built-in name, else local).
const os_file_ops_t *os_file_get_ops(const char *path);

// ---- opening (new object, or NULL with errno set) ----------------------------
// pf bit OS_FILE_ZZ: path is a zz list (path[, letter[, name]]).
os_file_t *os_file_open(const char *path, uint32_t pf);
os_file_t *os_file_wopen(const char *path, uint32_t access, uint32_t share, void *security, uint32_t disposition,
                         uint32_t attributes, void *templ);
// flags are portable open flags (os_file_flag.h).
os_file_t *os_file_open2(const char *path, int flags, uint32_t mode);
// Calls exit, removes the path when asked, frees the object; exit's result.
int os_file_close(os_file_t *f);
// A local file object over an open descriptor, which it owns from now on
// (closed on failure too); path is kept as the object's path. NULL with errno.
os_file_t *os_file_from_fd(int fd, const char *path);
// Host O_* flags the local kind opens a pf word with (O_NONBLOCK and
// O_LARGEFILE always; with OS_FILE_CREATE the mode is 0644).
int os_file_pf_2_oflags(uint32_t pf);

// ---- dispatchers (an empty slot: soft assertion, -1 or 0) ----------------------
int64_t os_file_read(os_file_t *f, void *buf, size_t len);
int64_t os_file_write(os_file_t *f, const void *buf, size_t len);
int64_t os_file_pread(os_file_t *f, void *buf, size_t len, int64_t off);
int64_t os_file_pwrit(os_file_t *f, const void *buf, size_t len, int64_t off);
int64_t os_file_readv(os_file_t *f, const struct iovec *v, int count);
int64_t os_file_writv(os_file_t *f, const struct iovec *v, int count);
int64_t os_file_preadv(os_file_t *f, const struct iovec *v, int count, int64_t off);
int64_t os_file_pwritv(os_file_t *f, const struct iovec *v, int count, int64_t off);
int os_file_fsync(os_file_t *f);
int os_file_ftruncate(os_file_t *f, int64_t size);
int64_t os_file_seek(os_file_t *f, int64_t off, int whence);
int64_t os_file_offset(os_file_t *f);
int64_t os_file_size(os_file_t *f);
// 1 / 0; a NULL object gives 0. Code 0 on the local kind also fills the
// device model into info->name.
int os_file_ioctl(os_file_t *f, int code, void *buf, size_t len);

// ---- ioctl wrappers (each returns what os_file_ioctl returns) -------------------
int os_file_fstat(os_file_t *f, os_file_stat_t *st);
int os_file_get_sparse_ranges(os_file_t *f, void *buf);
int os_file_ioctl_code4(os_file_t *f);
int os_file_punch_hole(os_file_t *f, uint64_t word, uint64_t offset, uint64_t length);
int os_file_futime(os_file_t *f, const os_file_times_t *times);
int os_file_flock(os_file_t *f, int32_t type, uint64_t offset, uint64_t length);
int os_file_ioctl_code10(os_file_t *f, const char *name, int replace);
int os_file_ioctl_code11(os_file_t *f, void *buf);
int os_file_fchmod(os_file_t *f, uint32_t mode);
int os_file_fchown(os_file_t *f, uint32_t uid, uint32_t gid);
// Opens path read-only, asks code 0, closes; 0 when the open fails.
int os_file_get_info(const char *path, os_file_info_t *info);

// ---- time-outs: clamped to 1000..600000 ms with a warning ----------------------
int os_file_set_read_timeout(os_file_t *f, int ms);
int os_file_set_write_timeout(os_file_t *f, int ms);
int os_file_read_write_timeout(os_file_t *f, int is_read, int ms);

// ---- other object calls --------------------------------------------------------------
// 0 one element, 1 "S", 2 "A", 3 "X", -1 anything else (empty, malformed).
int os_file_path_kind(const char *list);
int os_file_set_remove_on_close(os_file_t *f, int flag);
uint64_t os_file_get_handle(os_file_t *f);
int os_file_fd(os_file_t *f); // handle - 1, or -1
int os_file_last_verr(void);
int os_file_last_vperror(os_file_t *f, vperror_t *rec);
// kind 2: POSIX errno (1 EIO, 2 ENXIO, 3 other); kind 1: Windows codes of a
// remote server (1 for 23/1117, 2 for 2/55, 3 other); 0 for code 0.
int os_file_error_class(int kind, int64_t code);

// ---- std objects ----------------------------------------------------------------------
// The three std objects made by pl_file_std_init (NULL before and after).
extern os_file_t *g_os_file_stdin;
extern os_file_t *g_os_file_stdout;
extern os_file_t *g_os_file_stderr;
// Only for stdin|stdout|stderr objects: sets the handle and replaces the
// kind's read and/or writ slot (process-wide); 1, or 0 for another kind.
// One thread at a time.
int os_file_set_std_fd_proc(os_file_t *f, uint64_t handle, os_file_read_fn read, os_file_writ_fn writ);
// Puts back the saved handles and procedures on the three std objects.
int os_file_std_proc_reset(void);

// Platform start-up and shut-down of the std objects and descriptor table.
int pl_file_std_init(void);
int pl_file_std_exit(void);
