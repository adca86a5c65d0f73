// libvfs: the virtual file system between the FUSE operations and the
// sources the program can mount. A registry of drivers ("file", "zksd",
// "ftp", "physfs") maps a mount URL to a driver; a mount hands out file and
// directory handles that wrap the driver's own handles, and carries every
// path operation to the driver as a numbered code through the driver's ioctl
// slot. Failures are recorded per thread: each call leaves its own failure
// in the calling thread's error record (see "errors" below).
// File handles opened read-only read through a read-ahead cache, handles
// opened write-only write through a write-behind cache (sizes from the mount
// URL options "rcache_size" and "wcache_size", default "2m").
//
// Threads: the FUSE loop and the heartbeat call the same mount. The core
// locks the mount's handle arrays (mount mutex) and each handle's caches
// (handle mutex); every other call goes to the driver unlocked, and a driver
// reachable from two threads serialises itself. One handle is worked on by
// one thread at a time. Log tag "vfs".
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_volume.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/os/posix/os_fs_at.h"

struct cache_pwrite_t;
struct cache_pread_t;
struct zkfile_drv_t;
struct vfs_mount_ctx;

enum : uint32_t {
    VFS_MAGIC = 0x55aa55aa,
    VFS_TYPE_MOUNT = 1,
    VFS_TYPE_FILE = 2,
    VFS_TYPE_DIR = 3,
};

// Driver ids.
enum { VFS_DRV_FILE = 1, VFS_DRV_ZKSD = 2, VFS_DRV_FTP = 3, VFS_DRV_PHYSFS = 4 };

// Operating-system type answered by code 6 for a local mount.
enum { VFS_OS_TYPE_LOCAL = 2 };

// ---- driver record ----------------------------------------------------------------------
// 27 slots and the flush hook; a slot the driver does not provide is NULL (the core then fails
// the call with -1 / NULL and status -12 in the caller's error record).
// "m" is the driver's mount handle, "fh" its file handle, "dh" its directory
// handle. A driver records every failure of a slot in the calling thread's
// error record (vfs_err_rec, VFS_SET_ERROR, vfs_set_error_errno below); a
// driver reached from two threads (FUSE loop, heartbeat) thus never mixes
// up their failures. A driver's record is a `static const vfs_drv` with
// designated initialisers (slots not named stay NULL).
struct vfs_drv {
    int id = 0;
    const char *name = nullptr;
    int (*init)(void) = nullptr;             // 0, non-zero: the driver cannot start
    int (*exit)(void) = nullptr;             // 0
    int (*match)(const char *url) = nullptr; // 0 when the driver takes the (translated) URL
    // Driver mount handle, or NULL with *err filled. arg is the caller's,
    // passed through unchanged. err is for this call only: later failures
    // go to the calling thread's record, never to a kept pointer.
    void *(*mount)(const char *url, void *arg, vperror_t *err, vfs_mount_ctx *mnt) = nullptr;
    int (*umount)(void *m) = nullptr;
    int (*statfs)(void *m, os_volume_info_t *vi) = nullptr;
    int (*get_readonly)(void *m, uint32_t *ro) = nullptr;
    void *(*open)(void *m, const char *path, uint32_t pf) = nullptr;
    void *(*wopen)(void *m, const char *path, uint32_t access, uint32_t share, void *security,
                   uint32_t disposition, uint32_t attributes, void *templ) = nullptr;
    void *(*open2)(void *m, const char *path, int flags, uint32_t mode) = nullptr;
    int (*close)(void *fh) = nullptr;
    // Offset -1: at the current position. Same shape as the cache procedures.
    int64_t (*read)(void *fh, void *buf, uint64_t len, int64_t off) = nullptr;
    int64_t (*write)(void *fh, const void *buf, uint64_t len, int64_t off) = nullptr;
    int (*fsync)(void *fh) = nullptr;
    int64_t (*lseek)(void *fh, int64_t off, int whence) = nullptr;
    int (*fstat)(void *fh, os_file_stat_t *st) = nullptr;
    int (*ftruncate)(void *fh, int64_t size) = nullptr;
    int (*futime)(void *fh, const os_file_times_t *times) = nullptr;
    int (*flock)(void *fh, int32_t type, uint64_t off, uint64_t len) = nullptr; // type 3 unlocks
    void *(*opendir)(void *m, const char *path, const char *pattern) = nullptr;
    // The next entry; NULL with errno 0 at the end, NULL with errno set (and
    // the error record filled) on failure.
    os_dir_entry_t *(*readdir)(void *dh) = nullptr;
    int (*seekdir)(void *dh, int64_t pos) = nullptr;
    int64_t (*telldir)(void *dh) = nullptr;
    int (*closedir)(void *dh) = nullptr;
    // m for the path codes, fh for codes 100-103.
    int64_t (*ioctl)(void *h, int code, void *arg, int64_t len) = nullptr;
    // The end of a close(2) of the handle (its caches already written out):
    // a driver whose writes only complete when the transfer ends (a stream
    // upload) ends it here and reports its outcome. 0 / -1; NULL: nothing to do.
    int (*flush)(void *fh) = nullptr;
};

// ---- mount and handle ------------------------------------------------------------------
struct vfs_mount_ctx {
    uint32_t magic; // VFS_MAGIC
    uint32_t type;  // VFS_TYPE_MOUNT
    void *drv_mnt;
    mem_parray_t files; // vfs_handle * (type 2)
    mem_parray_t dirs;  // vfs_handle * (type 3)
    const vfs_drv *drv;
    // What the driver's mount slot was given as its error record; read only
    // when that mount failed.
    vperror_t mount_err;
    pl_mutex_t *mutex;  // guards files and dirs
    uint32_t wcache_size;
    uint32_t rcache_size;
    char *mnt_dir;      // owned copy, NULL until vfs_set_mnt_dir
};

struct vfs_handle {
    uint32_t magic;     // VFS_MAGIC, cleared before the handle is freed
    uint32_t type;      // VFS_TYPE_FILE or VFS_TYPE_DIR
    uint32_t flags;     // file-object open flags (0 for directories)
    void *drv_h;
    vfs_mount_ctx *mnt;
    char *path;         // owned copy of the path the caller opened
    cache_pwrite_t *wcache;
    cache_pread_t *rcache;
    uint8_t caches_ready;
    // A write-out made for someone else's path operation failed: the data is
    // still held, and the handle's own next write reports the failure.
    uint8_t wcache_failed;
    pl_mutex_t mutex;   // guards the caches (path operations flush them from any thread)
    // Directories of a driver without telldir/seekdir: the entries handed
    // out since the listing was opened, and the pattern it was opened with
    // (owned), so the listing can be opened again to go back.
    int64_t dir_pos;
    char *pattern;
};

// ---- library ------------------------------------------------------------------------------
// Builds the registry once ("file", "zksd", "ftp", "physfs") and starts each
// driver; a driver whose init fails is logged and still claims its URLs, but
// their mounts fail ("<name> driver could not start"); the others stay
// usable. 0. Any thread (serialised).
int libvfs_init(void);
// Unmounts the stream layer's volumes, stops each driver, frees the registry.
// 0. Mounts still open are not touched.
int libvfs_exit(void);

// ---- mounts -------------------------------------------------------------------------------
// Mounts url (a session reference "///name/rest" is translated first). arg is
// handed to the driver's mount. NULL on failure: err (when given) receives the
// translation's or the driver's error; "find_drv failed" is only logged.
// Cache sizes of 2 GiB or more are refused. The caller frees with vfs_umount.
vfs_mount_ctx *vfs_mount2(const char *url, void *arg, vperror_t *err);
vfs_mount_ctx *vfs_mount(const char *url, vperror_t *err);
// Writes out and closes every open handle, then unmounts; the driver's
// umount result, -1 for a bad handle. No other thread may use the mount.
int vfs_umount(vfs_mount_ctx *mnt);
int vfs_statfs(vfs_mount_ctx *mnt, os_volume_info_t *vi);
int vfs_get_readonly(vfs_mount_ctx *mnt, uint32_t *ro);
// Keeps a copy of the directory the mount is shown at. 0, -1.
int vfs_set_mnt_dir(vfs_mount_ctx *mnt, const char *dir);
// "file_name=%s h=%x\n" per open file, then "dir_name=%s h=%x\n" per open
// directory; new text (os_free), NULL when nothing is open or bad handle.
char *vfs_dump_handles(vfs_mount_ctx *mnt);

// ---- files -------------------------------------------------------------------------------
// Each returns a new handle (free with vfs_close) or NULL with the calling
// thread's error record filled.
// flags: file-object flags (OS_FILE_READ ...), stored in the handle.
vfs_handle *vfs_open(vfs_mount_ctx *mnt, const char *path, uint32_t flags);
// flags: portable open flags (PL_O_*); the handle stores pl_oflag_2_pf(flags).
// A driver without an open2 slot gets open with those converted flags (the
// mode is then not used).
vfs_handle *vfs_open2(vfs_mount_ctx *mnt, const char *path, int flags, uint32_t mode);
vfs_handle *vfs_wopen(vfs_mount_ctx *mnt, const char *path, uint32_t access, uint32_t share, void *security,
                      uint32_t disposition, uint32_t attributes, void *templ);
// Writes out the write cache and closes. The handle is freed whatever
// happens; -1 when the write-out failed (the error record holds the cause),
// else the driver's close result.
int vfs_close(vfs_handle *h);
int64_t vfs_read(vfs_handle *h, void *buf, uint64_t len, int64_t off);
int64_t vfs_write(vfs_handle *h, const void *buf, uint64_t len, int64_t off);
// Writes out what the write-behind cache holds (nothing to do without one),
// then calls the driver's flush hook when it has one (a stream upload ends
// there); the driver is not asked to sync. 0, or -1 with the error record
// filled (the held bytes stay held); -1 for a bad handle. Same thread rules
// as vfs_write.
int vfs_flush(vfs_handle *h);
int vfs_fsync(vfs_handle *h);
int64_t vfs_lseek(vfs_handle *h, int64_t off, int whence);
int vfs_fstat(vfs_handle *h, os_file_stat_t *st);
int vfs_ftruncate(vfs_handle *h, int64_t size);
// times NULL: all three now. A pair whose nanoseconds are UTIME_NOW is set
// to now; one whose nanoseconds are UTIME_OMIT, or whose seconds are 0, is
// taken from fstat (left unchanged). The caller's record is completed in
// place, so the driver never sees the two markers.
int vfs_futime(vfs_handle *h, os_file_times_t *times);
int vfs_flock(vfs_handle *h, int32_t type);
int vfs_flock2(vfs_handle *h, int32_t type, uint64_t off, uint64_t len);
int vfs_funlock(vfs_handle *h, uint64_t off, uint64_t len);
// The driver's ioctl on the driver file handle, unchanged.
int64_t vfs_ioctl(vfs_handle *h, int code, void *arg, int64_t len);
// Driver read / write at the current position, past the caches (held
// writes are written out first so nothing is reordered).
int64_t vfs_stream_read(vfs_handle *h, void *buf, uint64_t len);
int64_t vfs_stream_write(vfs_handle *h, const void *buf, uint64_t len);
// Fills a stream-driver record so that streams run on the mount. 0, -1.
int vfs_stream_ops_init(vfs_mount_ctx *mnt, zkfile_drv_t *ops);

// ---- directories ---------------------------------------------------------------------------
vfs_handle *vfs_opendir2(vfs_mount_ctx *mnt, const char *path, const char *pattern);
vfs_handle *vfs_opendir(vfs_mount_ctx *mnt, const char *path);
// The next entry (owned by the handle, valid until the next call), or NULL:
// at the end with errno 0, on failure with errno set and the error
// record filled. vfs_readdir2 says which without errno.
os_dir_entry_t *vfs_readdir(vfs_handle *dh);
// 1 with *entry set to the next entry (as vfs_readdir), 0 at the end of the
// listing, -1 on failure (the error record filled); *entry is NULL unless 1.
int vfs_readdir2(vfs_handle *dh, os_dir_entry_t **entry);
// Positions are the driver's; for a driver without telldir/seekdir they
// count the entries handed out (0 at the start): a seek forward reads on, a
// seek back opens the listing again and reads up to the position (a
// position past the end stops there). 0 / the position, or -1 (the
// error record filled; a failed reopen keeps the listing where it was).
int vfs_seekdir(vfs_handle *dh, int64_t pos);
int64_t vfs_telldir(vfs_handle *dh);
int vfs_closedir(vfs_handle *dh);

// ---- caller -------------------------------------------------------------------------------
// Who the calling thread works for (the FUSE request's caller): drivers whose
// ownership is this machine's give what they create to it. NULL clears it.
// The record is the caller's and must stay valid until cleared.
void vfs_set_caller(os_owner_t *owner);
// The calling thread's caller, or NULL.
os_owner_t *vfs_get_caller(void);

// ---- errors ---------------------------------------------------------------------------------
// Every thread has its own last-error record. Each call of this interface
// starts by emptying the calling thread's record (the two closes excepted:
// they leave it as it is unless they fail themselves, so closing after a
// failure does not wipe it), and a call that fails leaves its own failure
// there, never one of another thread or of an older call. So a caller reads,
// right after a failed call and on the same thread, the status of exactly
// that call; a record still empty after a failure means the driver gave no
// reason (the FUSE layer answers EIO). The readers below take a mount, file
// or directory handle only to check it; they read the calling thread's record.
int vfs_errcode(const void *h);     // status code (0: none recorded); -1 for a bad handle
// POSIX errno of the last failure: the original errno when the driver gave
// one with this record (vfs_set_error_errno), else verr_2_posix(code).
int vfs_errno(const void *h);
// Message, else the status text; "invalid handle error" for a bad handle.
// Valid until the thread's next call of this interface.
const char *vfs_errstr(const void *h);
void vfs_get_error(const void *h, vperror_t *out);

// For drivers, and for libraries they call that fill a vperror_t: the
// calling thread's record. Never NULL; never keep it beyond the call served.
vperror_t *vfs_err_rec(void);
// Records a failure in the calling thread's record (printf-style message,
// NULL for none).
#define VFS_SET_ERROR(code, ...) vperror_set(vfs_err_rec(), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
// Records the failure of a system call from its errno (status code of eno,
// its text) and keeps eno itself for vfs_errno. mnt is only checked for NULL.
void vfs_set_error_errno(vfs_mount_ctx *mnt, const char *file, int line, const char *func, int eno);

// ---- path-operation codes ----------------------------------------------------------------
enum {
    VFS_IOC_LAST_ACTIVITY = 1,
    VFS_IOC_NEED_REOPEN = 2,
    VFS_IOC_STATVFS = 3,
    VFS_IOC_GETCWD = 4,
    VFS_IOC_CHDIR = 5,
    VFS_IOC_GET_OS_TYPE = 6,
    VFS_IOC_VOLUME_INFO = 7,
    VFS_IOC_UMASK = 8,
    VFS_IOC_ACCESS = 30,
    VFS_IOC_CREATE_FILE = 31,
    VFS_IOC_MKDIR_DEFAULT = 32,
    VFS_IOC_MKDIR = 33,
    VFS_IOC_MKNOD = 34,
    VFS_IOC_MKFIFO = 35,
    VFS_IOC_LINK = 36,
    VFS_IOC_SYMLINK = 37,
    VFS_IOC_RMDIR = 40,
    VFS_IOC_UNLINK = 41,
    VFS_IOC_RENAME = 42,
    VFS_IOC_READLINK = 43,
    VFS_IOC_STAT = 44,
    VFS_IOC_LSTAT = 45,
    VFS_IOC_RMDIR2 = 46,
    VFS_IOC_REMOVE2 = 47,
    VFS_IOC_SET_ATTRIB = 50,
    VFS_IOC_TRUNCATE = 51,
    VFS_IOC_CHMOD = 52,
    VFS_IOC_LCHMOD = 53,
    VFS_IOC_CHOWN = 54,
    VFS_IOC_LCHOWN = 55,
    VFS_IOC_UTIME = 56,
    VFS_IOC_UTIMENS = 57,
    VFS_IOC_GET_ENTRY = 58,
    VFS_IOC_CHDIR_MT = 59,
    VFS_IOC_REALPATH_MT = 60,
    VFS_IOC_GETXATTR = 70,
    VFS_IOC_SETXATTR = 71,
    VFS_IOC_REMOVEXATTR = 72,
    VFS_IOC_LISTXATTR = 73,
    // file-handle codes
    VFS_IOC_FRENAME = 100,
    VFS_IOC_FCHMOD = 101,
    VFS_IOC_FCHOWN = 102,
    VFS_IOC_SET_DELETE_ON_CLOSE = 103,
};

// Argument records (on the caller's stack; pointers into caller memory).
// Codes 5, 31, 32, 40, 41 pass the path itself with length -1; code 4 the
// buffer; codes 1, 2, 6 the out field; code 103 one byte.
struct vfs_ioc_statvfs_t { const char *path; uint64_t *out; };         // 3: 11 figures
struct vfs_ioc_volinfo_t { const char *path; os_volume_info_t *vi; };  // 7
struct vfs_ioc_umask_t { uint32_t mask; uint32_t *old; };              // 8
struct vfs_ioc_path_u32_t { const char *path; uint32_t value; };       // 30 33 35 50 52 53 101
struct vfs_ioc_mknod_t { const char *path; uint32_t mode; uint64_t dev; };  // 34
struct vfs_ioc_2path_t { const char *from; const char *to; };          // 36 37 (target, link path)
struct vfs_ioc_rename_t { const char *from; const char *to; uint8_t replace; };  // 42
struct vfs_ioc_readlink_t { const char *path; char *buf; uint64_t size; };       // 43
struct vfs_ioc_stat_t { const char *path; os_file_stat_t *st; };       // 44 45
struct vfs_ioc_path_flag_t { const char *path; uint8_t flag; };        // 46 47
struct vfs_ioc_truncate_t { const char *path; uint64_t size; };        // 51
struct vfs_ioc_chown_t { const char *path; uint32_t uid; uint32_t gid; };  // 54 55 102
struct vfs_ioc_times_t { const char *path; os_file_times_t *times; };  // 56 57
struct vfs_ioc_entry_t { const char *path; uint32_t flag; os_dir_entry_t *entry; };  // 58
struct vfs_ioc_chdir_t { char *cwd; uint64_t size; const char *path; };               // 59
struct vfs_ioc_realpath_t { const char *cwd; const char *path; char *out; uint64_t size; };  // 60
struct vfs_ioc_xattr_t { const char *path; const char *name; void *value; uint64_t size; uint32_t flags; };  // 70 71 72
struct vfs_ioc_listxattr_t { const char *path; char *list; uint64_t size; };  // 73
struct vfs_ioc_frename_t { const char *name; uint8_t replace; };       // 100

// ---- path operations (mount + path relative to the mount) ----------------------------------
// Each returns the driver's result (0 or a count, negative on failure with
// the calling thread's error record filled), -1 for a bad mount. Before truncate, rename,
// unlink, remove, set-times and stat of a path, the write caches of the open
// handles of that path are written out; a write-out that fails stays with the
// handle holding the data (reported at its next write, flush, fsync or close)
// and the path operation goes on.
// Monotonic ms of the driver's last activity (0 when it keeps none); -1 bad mount.
int64_t vfs_get_last_activity(vfs_mount_ctx *mnt);
// 1 when the mount lost its connection with handles open; -1 bad mount.
int vfs_get_need_reopen(vfs_mount_ctx *mnt);
int vfs_statvfs(vfs_mount_ctx *mnt, const char *path, uint64_t out[11]);
int vfs_getcwd(vfs_mount_ctx *mnt, char *buf, int64_t len);
int vfs_chdir(vfs_mount_ctx *mnt, const char *path);
int vfs_get_os_type(vfs_mount_ctx *mnt, uint32_t *out);
int vfs_volume_info(vfs_mount_ctx *mnt, const char *path, os_volume_info_t *vi);
int vfs_umask(vfs_mount_ctx *mnt, uint32_t mask, uint32_t *old);
int vfs_access(vfs_mount_ctx *mnt, const char *path, uint32_t mode);
int vfs_create_file(vfs_mount_ctx *mnt, const char *path);
int vfs_mkdir_default(vfs_mount_ctx *mnt, const char *path);
int vfs_mkdir(vfs_mount_ctx *mnt, const char *path, uint32_t mode);
int vfs_mknod(vfs_mount_ctx *mnt, const char *path, uint32_t mode, uint64_t dev);
int vfs_mkfifo(vfs_mount_ctx *mnt, const char *path, uint32_t mode);
int vfs_link(vfs_mount_ctx *mnt, const char *oldpath, const char *newpath);
// Refused (-1, logged) until vfs_set_mnt_dir.
int vfs_symlink(vfs_mount_ctx *mnt, const char *target, const char *linkpath);
int vfs_rmdir(vfs_mount_ctx *mnt, const char *path);
int vfs_unlink(vfs_mount_ctx *mnt, const char *path);
int vfs_rename(vfs_mount_ctx *mnt, const char *oldpath, const char *newpath, int replace);
// The link text, NUL-terminated, into buf; its length or negative.
int64_t vfs_readlink(vfs_mount_ctx *mnt, const char *path, char *buf, uint64_t size);
int vfs_stat(vfs_mount_ctx *mnt, const char *path, os_file_stat_t *st);
int vfs_lstat(vfs_mount_ctx *mnt, const char *path, os_file_stat_t *st);
int vfs_rmdir2(vfs_mount_ctx *mnt, const char *path, int flag);
int vfs_remove2(vfs_mount_ctx *mnt, const char *path, int flag);
int vfs_set_attrib(vfs_mount_ctx *mnt, const char *path, uint32_t attrib);
int vfs_truncate(vfs_mount_ctx *mnt, const char *path, uint64_t size);
int vfs_chmod(vfs_mount_ctx *mnt, const char *path, uint32_t mode);
int vfs_lchmod(vfs_mount_ctx *mnt, const char *path, uint32_t mode);
int vfs_chown(vfs_mount_ctx *mnt, const char *path, uint32_t uid, uint32_t gid);
int vfs_lchown(vfs_mount_ctx *mnt, const char *path, uint32_t uid, uint32_t gid);
// times NULL: all three now; pairs with nanoseconds UTIME_NOW become now,
// pairs with nanoseconds UTIME_OMIT or seconds 0 come from the file's stat.
// utime follows a final link, utimens does not.
int vfs_utime(vfs_mount_ctx *mnt, const char *path, os_file_times_t *times);
int vfs_utimens(vfs_mount_ctx *mnt, const char *path, os_file_times_t *times);
// flag 1: link target as stored, 2: resolved.
int vfs_get_entry(vfs_mount_ctx *mnt, const char *path, uint32_t flag, os_dir_entry_t *entry);
int vfs_chdir_mt(vfs_mount_ctx *mnt, char *cwd, uint64_t len, const char *path);
int vfs_realpath_mt(vfs_mount_ctx *mnt, const char *cwd, const char *path, char *out, uint64_t len);
// Value size, or negative (ERANGE when buf is too small, see vfs_errno).
int64_t vfs_getxattr(vfs_mount_ctx *mnt, const char *path, const char *name, void *value, uint64_t size);
int vfs_setxattr(vfs_mount_ctx *mnt, const char *path, const char *name, const void *value, uint64_t size,
                 uint32_t flags);
int vfs_removexattr(vfs_mount_ctx *mnt, const char *path, const char *name);
int64_t vfs_listxattr(vfs_mount_ctx *mnt, const char *path, char *list, uint64_t size);
// vfs_stat, then the record's type word into *out; the vfs_stat result.
int vfs_get_file_type(vfs_mount_ctx *mnt, const char *path, uint32_t *out);
// 1 empty (only "." and ".."), 0 not empty, -1 cannot be opened or read.
int vfs_dir_is_empty(vfs_mount_ctx *mnt, const char *path);

// ---- file-handle codes -------------------------------------------------------------------
int vfs_frename(vfs_handle *h, const char *name, int replace);
int vfs_fchmod(vfs_handle *h, uint32_t mode);
int vfs_fchown(vfs_handle *h, uint32_t uid, uint32_t gid);
int vfs_set_delete_on_close(vfs_handle *h, int flag);
