// The "file" driver: mounts a directory of the local file system. Every path
// the virtual file system hands over is a name relative to the mount's root,
// used byte for byte: it is resolved beneath a descriptor of the root without
// following a symbolic link in any component (the kernel already resolved
// links on the caller's side), and the last name is acted on through its
// parent's descriptor. Only local URLs (plain paths and "file://") are taken,
// so an unknown scheme never silently becomes a local directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "libpal/env/os_env.h"
#include "libpal/os/posix/os_fs_at.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libpal/vfile/os_file2.h"
#include "libpal/vfile/os_file_flag.h"
#include "liblog/log2.h"
#include "libvfs/vfs_imp.h"

namespace {

enum : uint32_t { KIND_MOUNT = 1, KIND_FILE = 2, KIND_DIR = 3 };

constexpr uint32_t k_local_piece = 128 * 1024;

struct file_mnt {
    uint32_t kind;
    char *root;          // normalised, absolute, ends with '/'
    vfs_mount_ctx *mnt;
    uint32_t read_timeout;  // ms
    uint32_t write_timeout; // ms
    int root_fd;            // O_PATH descriptor of root: every path resolves beneath it
    bool give_away;         // the daemon may give files away: new nodes go to the caller
    uint32_t uid, gid;      // the daemon's own (effective) ones
};

struct file_h {
    uint32_t kind;
    void *obj; // os_file_t * or os_dir_t *
    file_mnt *m;
    // Opened for appending. The source descriptor is not: the kernel gives
    // every write through the mount its offset, which O_APPEND would
    // ignore; only writes at the current position go to the end.
    uint8_t append;
    uint8_t remove_on_close;
};

// Records the failure of a platform call from errno. A failure that left
// errno 0 must still read as a failure, so it becomes EIO.
#define FAIL(m) fail_rec((m), __LINE__, __func__, errno)
void fail_rec(file_mnt *m, int line, const char *func, int eno)
{
    vfs_set_error_errno(m->mnt, __FILE__, line, func, eno ? eno : EIO);
}

uint32_t timeout_ms(const char *url, const char *key, int def)
{
    long long v = (long long)url_get_query_int(url, key, def) * 1000;
    if (v < 0)
        return 0;
    return v > INT_MAX ? INT_MAX : (uint32_t)v;
}

file_h *wrap(file_mnt *m, uint32_t kind, void *obj)
{
    file_h *h = (file_h *)os_zalloc(sizeof(file_h));
    if (!h) {
        fail_rec(m, __LINE__, __func__, ENOMEM);
        return nullptr;
    }
    h->kind = kind;
    h->obj = obj;
    h->m = m;
    return h;
}

os_file_t *fobj(void *fh) { return (os_file_t *)((file_h *)fh)->obj; }
os_dir_t *dobj(void *dh) { return (os_dir_t *)((file_h *)dh)->obj; }
file_mnt *fmnt(void *h) { return ((file_h *)h)->m; }

// Whom a node made now is given to: the calling thread's caller, where the
// daemon can give files away and the caller is someone else (what the
// daemon makes for itself is its caller's already).
os_owner_t *new_owner(const file_mnt *m)
{
    os_owner_t *o = m->give_away ? vfs_get_caller() : nullptr;
    if (o && o->uid == m->uid && o->gid == m->gid)
        return nullptr;
    return o;
}

// Opens path beneath the root with host O_* flags (creating with mode and
// the caller's ownership when O_CREAT is given). A FIFO never blocks the
// daemon, and no terminal becomes its controlling one.
void *open_at(file_mnt *m, const char *path, int oflags, uint32_t mode, const char *func)
{
    if (!path) {
        fail_rec(m, __LINE__, func, EINVAL);
        return nullptr;
    }
    // The caller's direct I/O bypassed its own page cache already; the
    // daemon's buffers are not aligned as O_DIRECT on the source would need.
    const bool append = oflags & O_APPEND;
    oflags = (oflags & ~(O_APPEND | O_DIRECT)) | O_NONBLOCK | O_NOCTTY;
    int fd = (oflags & O_CREAT) ? os_at_create(m->root_fd, path, oflags, mode, new_owner(m))
                                : os_at_open(m->root_fd, path, oflags, 0);
    os_file_t *f = fd < 0 ? nullptr : os_file_from_fd(fd, path);
    if (!f) {
        fail_rec(m, __LINE__, func, errno);
        return nullptr;
    }
    file_h *h = wrap(m, KIND_FILE, f);
    if (!h) {
        os_file_close(f);
        return nullptr;
    }
    h->append = append;
    return h;
}

// ---- slots -------------------------------------------------------------------------

int vfs_file_init(void)
{
    LOG_VERB(VFS_TAG, "==>\n");
    return 0;
}

int vfs_file_exit(void) { return 0; }

// 0 for plain local paths and "file://" URLs.
int vfs_file_match(const char *url) { return url_get_type(url) == URL_TYPE_FILE ? 0 : 1; }

void *vfs_file_mount(const char *url, void *, vperror_t *err, vfs_mount_ctx *mnt)
{
    // "file://" is followed by the path itself: "file://data/x" names the
    // relative path data/x, not the path /x on a host "data".
    const char *text = str_istart_with(url, "file://") ? url + 7 : url;
    char path[PL_MAX_PATH];
    if (url_get_path(text, path) != 0 || !*path) {
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_INVALID_PARAMETER, nullptr);
        return nullptr;
    }
    // The root is the one path given in the platform's own convention (the
    // command line's), so it alone is normalised.
    path_normalize(path);
    // A relative root would follow the process into whatever directory it
    // moves to (the daemon changes to "/"), so it is fixed now.
    char root[PL_MAX_PATH];
    if (path_is_absolute(path))
        str_safecopy(root, sizeof(root), path);
    else
        path_resolve(path, nullptr, root);
    path_add_sep_not_exist_tail(root);
    if (!*root) {
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_FILENAME_TOO_LONG, nullptr);
        return nullptr;
    }
    int fd = open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        LOG_ERR(VFS_TAG, "root_dir=[%s] error: not a directory\n", root);
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_FILE_NOT_FOUND, nullptr);
        return nullptr;
    }
    file_mnt *m = (file_mnt *)os_zalloc(sizeof(file_mnt));
    char *copy = os_strdup(root);
    if (!m || !copy) {
        os_free(m);
        os_free(copy);
        close(fd);
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    m->kind = KIND_MOUNT;
    m->mnt = mnt;
    m->read_timeout = timeout_ms(url, "read_timeout", 15);
    m->write_timeout = timeout_ms(url, "write_timeout", 8);
    m->root = copy;
    m->root_fd = fd;
    m->uid = geteuid();
    m->gid = getegid();
    m->give_away = m->uid == 0;
    // A local file system takes writes fastest in pieces of this size (larger
    // single writes can take a slow copy path), and reads are read ahead by
    // the kernel already, on both sides of the mount: the caches of a local
    // mount gather small requests up to this size, and larger ones go
    // straight to the file without a copy through the cache.
    if (mnt && mnt->wcache_size > k_local_piece)
        mnt->wcache_size = k_local_piece;
    if (mnt && mnt->rcache_size > k_local_piece)
        mnt->rcache_size = k_local_piece;
    LOG_VERB(VFS_TAG, "root_dir=[%s]\n", m->root);
    return m;
}

int vfs_file_umount(void *mp)
{
    file_mnt *m = (file_mnt *)mp;
    close(m->root_fd);
    os_free(m->root);
    os_free(m);
    return 0;
}

int vfs_file_statfs(void *mp, os_volume_info_t *vi)
{
    file_mnt *m = (file_mnt *)mp;
    if (os_get_volume_info(m->root, vi) != 0) {
        FAIL(m);
        return -1;
    }
    return 0;
}

int vfs_file_get_readonly(void *, uint32_t *ro)
{
    if (ro)
        *ro = 0;
    return 0;
}

void *vfs_file_open(void *mp, const char *path, uint32_t pf)
{
    file_mnt *m = (file_mnt *)mp;
    void *h = open_at(m, path, os_file_pf_2_oflags(pf), (pf & OS_FILE_CREATE) ? 0644 : 0, __func__);
    if (h) {
        os_file_set_read_timeout(fobj(h), (int)m->read_timeout);
        os_file_set_write_timeout(fobj(h), (int)m->write_timeout);
    }
    return h;
}

void *vfs_file_wopen(void *mp, const char *path, uint32_t access, uint32_t, void *, uint32_t disposition, uint32_t,
                     void *)
{
    file_mnt *m = (file_mnt *)mp;
    uint32_t pf = os_wflag_2_pf(access, disposition);
    // Create-new is one atomic open: a look first could race with a creator.
    int oflags = os_file_pf_2_oflags(pf) | (disposition == OS_DISP_CREATE_NEW ? O_EXCL : 0);
    void *h = open_at(m, path, oflags, (pf & OS_FILE_CREATE) ? 0644 : 0, __func__);
    if (h)
        os_file_set_read_timeout(fobj(h), (int)m->read_timeout);
    return h;
}

void *vfs_file_open2(void *mp, const char *path, int flags, uint32_t mode)
{
    return open_at((file_mnt *)mp, path, pl_oflag_2_os(flags), mode, __func__);
}

int vfs_file_close(void *fh)
{
    file_h *h = (file_h *)fh;
    file_mnt *m = h->m;
    os_file_t *f = fobj(fh);
    int eno = 0;
    if (h->remove_on_close && os_at_remove(m->root_fd, f->path) != 0)
        eno = errno;
    int r = os_file_close(f);
    if (r != 1)
        eno = errno;
    os_free(fh);
    if (r != 1) {
        fail_rec(m, __LINE__, __func__, eno);
        return -1;
    }
    return 0;
}

int64_t vfs_file_read(void *fh, void *buf, uint64_t len, int64_t off)
{
    int64_t r = off == -1 ? os_file_read(fobj(fh), buf, len) : os_file_pread(fobj(fh), buf, len, off);
    if (r < 0)
        FAIL(fmnt(fh));
    return r;
}

int64_t vfs_file_write(void *fh, const void *buf, uint64_t len, int64_t off)
{
    file_h *h = (file_h *)fh;
    int64_t r;
    if (off != -1)
        r = os_file_pwrit(fobj(fh), buf, len, off);
    else if (h->append && os_file_seek(fobj(fh), 0, SEEK_END) < 0)
        r = -1;
    else
        r = os_file_write(fobj(fh), buf, len);
    if (r < 0)
        FAIL(h->m);
    return r;
}

int vfs_file_fsync(void *fh)
{
    if (os_file_fsync(fobj(fh)) != 1) {
        FAIL(fmnt(fh));
        return -1;
    }
    return 0;
}

int64_t vfs_file_lseek(void *fh, int64_t off, int whence)
{
    int64_t r = os_file_seek(fobj(fh), off, whence);
    if (r < 0)
        FAIL(fmnt(fh));
    return r;
}

int vfs_file_fstat(void *fh, os_file_stat_t *st)
{
    if (os_file_fstat(fobj(fh), st) != 1) {
        FAIL(fmnt(fh));
        return -1;
    }
    return 0;
}

int vfs_file_ftruncate(void *fh, int64_t size)
{
    if (os_file_ftruncate(fobj(fh), size) != 1) {
        FAIL(fmnt(fh));
        return -1;
    }
    return 0;
}

int vfs_file_futime(void *fh, const os_file_times_t *times)
{
    if (os_file_futime(fobj(fh), times) != 1) {
        FAIL(fmnt(fh));
        return -1;
    }
    return 0;
}

int vfs_file_flock(void *fh, int32_t type, uint64_t off, uint64_t len)
{
    // "The whole file" arrives as length -1; a record lock says "to the end"
    // with length 0 (a range past the largest offset is refused).
    if (len > (uint64_t)INT64_MAX || off > (uint64_t)INT64_MAX - len)
        len = 0;
    if (os_file_flock(fobj(fh), type, off, len) != 1) {
        FAIL(fmnt(fh));
        return -1;
    }
    return 0;
}

// The listing gives name, inode number and type: all the kernel needs of an
// entry (attributes come with their own request).
void *vfs_file_opendir(void *mp, const char *path, const char *pattern)
{
    file_mnt *m = (file_mnt *)mp;
    os_dir_t *d = path ? os_at_opendir(m->root_fd, path, pattern, OS_DIR_LISTING) : nullptr;
    if (!d) {
        fail_rec(m, __LINE__, __func__, path ? errno : EINVAL);
        return nullptr;
    }
    file_h *h = wrap(m, KIND_DIR, d);
    if (!h)
        os_closedir(d);
    return h;
}

os_dir_entry_t *vfs_file_readdir(void *dh)
{
    os_dir_entry_t *e = os_readdir(dobj(dh));
    if (!e) {
        // The end of the listing is recorded too (errno 0, "ok"). errno is
        // what tells the end from a failure, so it leaves as it came.
        int eno = errno;
        vfs_set_error_errno(fmnt(dh)->mnt, __FILE__, __LINE__, __func__, eno);
        errno = eno;
    }
    return e;
}

int vfs_file_seekdir(void *dh, int64_t pos)
{
    int r = os_seekdir(dobj(dh), pos, 0);
    if (r < 0)
        FAIL(fmnt(dh));
    return r;
}

int64_t vfs_file_telldir(void *dh)
{
    int64_t r = os_telldir(dobj(dh));
    if (r < 0)
        FAIL(fmnt(dh));
    return r;
}

int vfs_file_closedir(void *dh)
{
    file_mnt *m = fmnt(dh);
    int r = os_closedir(dobj(dh));
    int eno = errno;
    os_free(dh);
    if (r != 0) {
        fail_rec(m, __LINE__, __func__, eno);
        return -1;
    }
    return 0;
}

// ---- ioctl ---------------------------------------------------------------------------

// Result of a platform call that answers 0 / -1 (or a count) with errno.
int64_t rec(file_mnt *m, int64_t r, int line)
{
    if (r < 0)
        fail_rec(m, line, "vfs_file_ioctl", errno);
    return r;
}
#define REC(call) rec(m, (int64_t)(call), __LINE__)

// Result of a file-object call that answers 1 / 0.
int64_t rec10(file_mnt *m, int r, int line)
{
    if (r != 1) {
        fail_rec(m, line, "vfs_file_ioctl", errno);
        return -1;
    }
    return 0;
}
#define REC10(call) rec10(m, (call), __LINE__)

int64_t bad_code(file_mnt *, int code)
{
    LOG_DBG(VFS_TAG, "code=%d error: not supported\n", code);
    vperror_set(vfs_err_rec(), __FILE__, __LINE__, "vfs_file_ioctl", VERR_INVALID_PARAMETER, nullptr);
    return -1;
}

// os_file_touch beneath the root: 0 for anything there but a directory,
// EACCES for a directory, otherwise a new empty file (mode 0644).
int touch_at(file_mnt *m, const char *path)
{
    os_file_stat_t st;
    if (os_at_stat(m->root_fd, path, &st, 0) == 0) {
        if ((st.type & OS_FTYPE_MASK) != OS_FTYPE_DIR)
            return 0;
        errno = EACCES;
        return -1;
    }
    if (errno != ENOENT)
        return -1;
    int fd = os_at_create(m->root_fd, path, O_WRONLY | O_NONBLOCK | O_NOCTTY, 0644, new_owner(m));
    return fd < 0 ? -1 : close(fd);
}

// os_mkdir beneath the root: 0 for an existing directory, EACCES for anything
// else already there, otherwise a new directory.
int mkdir_at(file_mnt *m, const char *path, uint32_t mode)
{
    os_file_stat_t st;
    if (os_at_stat(m->root_fd, path, &st, 0) == 0) {
        if ((st.type & OS_FTYPE_MASK) == OS_FTYPE_DIR && !(st.type & OS_FTYPE_LINK))
            return 0;
        errno = EACCES;
        return -1;
    }
    return os_at_mkdir(m->root_fd, path, mode, new_owner(m));
}

// Volume information of the file system holding path.
int volume_at(file_mnt *m, const char *path, os_volume_info_t *vi)
{
    char real[PL_MAX_PATH];
    if (os_at_realpath(m->root_fd, path, real, sizeof(real)) != 0)
        return -1;
    return os_get_volume_info(real, vi);
}

// ---- the codes' table ---------------------------------------------------------------

// The last argument of the os_at_ calls that may follow a final link.
enum : int { HERE = 0, FOLLOW = 1 };

// A handle row's handler: the handle and the argument (not NULL).
using handle_fn = int64_t (*)(file_h *h, void *arg);

// The handler of a file-handle code on its record A: F(mount, file, record).
template <class A, auto F>
int64_t on_file(file_h *h, void *arg)
{
    return F(h->m, (os_file_t *)h->obj, *(const A *)arg);
}

// Removed beneath the root by the driver's own close, never by a path the
// platform would resolve on its own.
int64_t delete_on_close_op(file_h *h, void *arg)
{
    h->remove_on_close = *(uint8_t *)arg ? 1 : 0;
    return 0;
}

struct handle_code {
    int code;
    handle_fn run;
};

// The codes on a file handle.
constexpr handle_code k_handle_codes[] = {
    {VFS_IOC_FRENAME, on_file<vfs_ioc_frename_t, [](auto m, auto f, auto &a) {
         return REC10(os_file_ioctl_code10(f, a.name, a.replace)); }>},
    {VFS_IOC_FCHMOD, on_file<vfs_ioc_path_u32_t, [](auto m, auto f, auto &a) {
         return REC10(os_file_fchmod(f, a.value)); }>},
    {VFS_IOC_FCHOWN, on_file<vfs_ioc_chown_t, [](auto m, auto f, auto &a) {
         return REC10(os_file_fchown(f, a.uid, a.gid)); }>},
    {VFS_IOC_SET_DELETE_ON_CLOSE, delete_on_close_op},
};
static_assert(vfs_codes_unique(k_handle_codes));

// A mount row's handler: the mount, the code (for bad_code), the argument
// (not NULL) and its length.
using mnt_fn = int64_t (*)(file_mnt *m, int code, void *arg, int64_t len);

// The handler of a code on its record A: F(mount, code, record). A field
// the call needs left NULL is refused by F with bad_code.
template <class A, auto F>
int64_t on_rec(file_mnt *m, int code, void *arg, int64_t)
{
    return F(m, code, *(A *)arg);
}

// The handler of a code whose argument is the path itself: F(mount, path).
template <auto F>
int64_t on_path(file_mnt *m, int, void *arg, int64_t)
{
    return F(m, (const char *)arg);
}

// A local directory never needs a reopen and keeps no activity time. The
// probes may come from the heartbeat thread, so they leave the error record
// (which the other thread's failures fill) alone.
int64_t need_reopen_op(file_mnt *, int, void *arg, int64_t)
{
    *(uint32_t *)arg = 0;
    return -1;
}
int64_t last_activity_op(file_mnt *, int, void *, int64_t) { return -1; }

// The process's own directory, with no error record.
int64_t getcwd_op(file_mnt *, int, void *arg, int64_t len)
{
    return len > 0 && os_getcwd((char *)arg, (size_t)len) ? 0 : -1;
}

// Attribute bits of the other platform: nothing to do here.
int64_t set_attrib_op(file_mnt *, int, void *, int64_t) { return 0; }

struct mnt_code {
    int code;
    mnt_fn run;
};

// The path codes, each resolved beneath the root descriptor.
constexpr mnt_code k_mnt_codes[] = {
    {VFS_IOC_LAST_ACTIVITY, last_activity_op},
    {VFS_IOC_NEED_REOPEN, need_reopen_op},
    {VFS_IOC_STATVFS, on_rec<vfs_ioc_statvfs_t, [](auto m, int code, auto &a) {
         return a.out ? REC(os_at_statvfs(m->root_fd, a.path, a.out)) : bad_code(m, code); }>},
    {VFS_IOC_GETCWD, getcwd_op},
    {VFS_IOC_CHDIR, on_path<[](auto m, auto path) { return REC(os_chdir(path)); }>},
    {VFS_IOC_GET_OS_TYPE, on_rec<uint32_t, [](auto, int, auto &type) -> int64_t {
         type = VFS_OS_TYPE_LOCAL;
         return 0; }>},
    {VFS_IOC_VOLUME_INFO, on_rec<vfs_ioc_volinfo_t, [](auto m, int code, auto &a) {
         return a.vi ? REC(volume_at(m, a.path, a.vi)) : bad_code(m, code); }>},
    {VFS_IOC_UMASK, on_rec<vfs_ioc_umask_t, [](auto, int, auto &a) -> int64_t {
         uint32_t old = os_umask(a.mask);
         if (a.old)
             *a.old = old;
         return 0; }>},
    {VFS_IOC_ACCESS, on_rec<vfs_ioc_path_u32_t, [](auto m, int, auto &a) {
         return REC(os_at_access(m->root_fd, a.path, (int)a.value)); }>},
    {VFS_IOC_CREATE_FILE, on_path<[](auto m, auto path) { return REC(touch_at(m, path)); }>},
    {VFS_IOC_MKDIR_DEFAULT, on_path<[](auto m, auto path) { return REC(mkdir_at(m, path, 0755)); }>},
    // Any existing path is EEXIST, a directory too: the platform's own mkdir
    // accepts an existing directory, which would let a create race report
    // success for a directory someone else made.
    {VFS_IOC_MKDIR, on_rec<vfs_ioc_path_u32_t, [](auto m, int, auto &a) {
         return REC(os_at_mkdir(m->root_fd, a.path, a.value, new_owner(m))); }>},
    {VFS_IOC_MKNOD, on_rec<vfs_ioc_mknod_t, [](auto m, int, auto &a) {
         return REC(os_at_mknod(m->root_fd, a.path, a.mode, a.dev, new_owner(m))); }>},
    {VFS_IOC_MKFIFO, on_rec<vfs_ioc_path_u32_t, [](auto m, int, auto &a) {
         return REC(os_at_mknod(m->root_fd, a.path, S_IFIFO | (a.value & 07777), 0, new_owner(m))); }>},
    {VFS_IOC_LINK, on_rec<vfs_ioc_2path_t, [](auto m, int, auto &a) {
         return REC(os_at_link(m->root_fd, a.from, a.to)); }>},
    {VFS_IOC_SYMLINK, on_rec<vfs_ioc_2path_t, [](auto m, int code, auto &a) {
         return a.from ? REC(os_at_symlink(a.from, m->root_fd, a.to, new_owner(m))) : bad_code(m, code); }>},
    {VFS_IOC_RMDIR, on_path<[](auto m, auto path) { return REC(os_at_rmdir(m->root_fd, path)); }>},
    {VFS_IOC_UNLINK, on_path<[](auto m, auto path) { return REC(os_at_remove(m->root_fd, path)); }>},
    {VFS_IOC_RENAME, on_rec<vfs_ioc_rename_t, [](auto m, int, auto &a) {
         return REC(os_at_rename(m->root_fd, a.from, a.to, a.replace)); }>},
    {VFS_IOC_READLINK, on_rec<vfs_ioc_readlink_t, [](auto m, int code, auto &a) {
         return a.buf ? REC(os_at_readlink(m->root_fd, a.path, a.buf, (size_t)a.size)) : bad_code(m, code); }>},
    {VFS_IOC_STAT, on_rec<vfs_ioc_stat_t, [](auto m, int code, auto &a) {
         return a.st ? REC(os_at_stat(m->root_fd, a.path, a.st, FOLLOW)) : bad_code(m, code); }>},
    {VFS_IOC_LSTAT, on_rec<vfs_ioc_stat_t, [](auto m, int code, auto &a) {
         return a.st ? REC(os_at_stat(m->root_fd, a.path, a.st, HERE)) : bad_code(m, code); }>},
    {VFS_IOC_RMDIR2, on_rec<vfs_ioc_path_flag_t, [](auto m, int, auto &a) {
         return REC(os_at_rmdir(m->root_fd, a.path)); }>},
    {VFS_IOC_REMOVE2, on_rec<vfs_ioc_path_flag_t, [](auto m, int, auto &a) {
         return REC(os_at_remove(m->root_fd, a.path)); }>},
    {VFS_IOC_SET_ATTRIB, set_attrib_op},
    {VFS_IOC_TRUNCATE, on_rec<vfs_ioc_truncate_t, [](auto m, int, auto &a) {
         return REC(os_at_truncate(m->root_fd, a.path, (int64_t)a.size)); }>},
    {VFS_IOC_CHMOD, on_rec<vfs_ioc_path_u32_t, [](auto m, int, auto &a) {
         return REC(os_at_chmod(m->root_fd, a.path, a.value, FOLLOW)); }>},
    {VFS_IOC_LCHMOD, on_rec<vfs_ioc_path_u32_t, [](auto m, int, auto &a) {
         return REC(os_at_chmod(m->root_fd, a.path, a.value, HERE)); }>},
    {VFS_IOC_CHOWN, on_rec<vfs_ioc_chown_t, [](auto m, int, auto &a) {
         return REC(os_at_chown(m->root_fd, a.path, a.uid, a.gid, FOLLOW)); }>},
    {VFS_IOC_LCHOWN, on_rec<vfs_ioc_chown_t, [](auto m, int, auto &a) {
         return REC(os_at_chown(m->root_fd, a.path, a.uid, a.gid, HERE)); }>},
    {VFS_IOC_UTIME, on_rec<vfs_ioc_times_t, [](auto m, int code, auto &a) {
         return a.times ? REC(os_at_utimes(m->root_fd, a.path, a.times, FOLLOW)) : bad_code(m, code); }>},
    {VFS_IOC_UTIMENS, on_rec<vfs_ioc_times_t, [](auto m, int code, auto &a) {
         return a.times ? REC(os_at_utimes(m->root_fd, a.path, a.times, HERE)) : bad_code(m, code); }>},
    {VFS_IOC_GET_ENTRY, on_rec<vfs_ioc_entry_t, [](auto m, int code, auto &a) {
         return a.path && a.entry ? REC(os_file_get_entry(a.path, a.flag, a.entry)) : bad_code(m, code); }>},
    {VFS_IOC_CHDIR_MT, on_rec<vfs_ioc_chdir_t, [](auto m, int code, auto &a) {
         return a.cwd && a.path ? REC(os_chdir_mt(a.cwd, (size_t)a.size, a.path)) : bad_code(m, code); }>},
    {VFS_IOC_REALPATH_MT, on_rec<vfs_ioc_realpath_t, [](auto m, int code, auto &a) -> int64_t {
         if (!a.cwd || !a.path || !a.out)
             return bad_code(m, code);
         os_chdir_path_resolve(a.cwd, a.path, a.out, (size_t)a.size);
         return 0; }>},
    {VFS_IOC_GETXATTR, on_rec<vfs_ioc_xattr_t, [](auto m, int code, auto &a) {
         return a.name ? REC(os_at_getxattr(m->root_fd, a.path, a.name, a.value, (size_t)a.size))
                       : bad_code(m, code); }>},
    {VFS_IOC_SETXATTR, on_rec<vfs_ioc_xattr_t, [](auto m, int code, auto &a) {
         return a.name ? REC(os_at_setxattr(m->root_fd, a.path, a.name, a.value, (size_t)a.size, (int)a.flags))
                       : bad_code(m, code); }>},
    {VFS_IOC_REMOVEXATTR, on_rec<vfs_ioc_xattr_t, [](auto m, int code, auto &a) {
         return a.name ? REC(os_at_removexattr(m->root_fd, a.path, a.name)) : bad_code(m, code); }>},
    {VFS_IOC_LISTXATTR, on_rec<vfs_ioc_listxattr_t, [](auto m, int, auto &a) {
         return REC(os_at_listxattr(m->root_fd, a.path, a.list, (size_t)a.size)); }>},
};
static_assert(vfs_codes_unique(k_mnt_codes));

// A file-handle code only on a file handle, a path code only on the mount;
// everything else is refused alike.
int64_t vfs_file_ioctl(void *hp, int code, void *arg, int64_t len)
{
    if (const handle_code *hc = vfs_code_row(k_handle_codes, code)) {
        file_h *h = (file_h *)hp;
        if (h->kind != KIND_FILE || !arg)
            return bad_code(h->m, code);
        return hc->run(h, arg);
    }
    file_mnt *m = (file_mnt *)hp;
    if (m->kind != KIND_MOUNT)
        return bad_code(((file_h *)hp)->m, code);
    const mnt_code *mc = arg ? vfs_code_row(k_mnt_codes, code) : nullptr;
    return mc ? mc->run(m, code, arg, len) : bad_code(m, code);
}

const vfs_drv k_file_drv = {
    .id = VFS_DRV_FILE,
    .name = "file",
    .init = vfs_file_init,
    .exit = vfs_file_exit,
    .match = vfs_file_match,
    .mount = vfs_file_mount,
    .umount = vfs_file_umount,
    .statfs = vfs_file_statfs,
    .get_readonly = vfs_file_get_readonly,
    .open = vfs_file_open,
    .wopen = vfs_file_wopen,
    .open2 = vfs_file_open2,
    .close = vfs_file_close,
    .read = vfs_file_read,
    .write = vfs_file_write,
    .fsync = vfs_file_fsync,
    .lseek = vfs_file_lseek,
    .fstat = vfs_file_fstat,
    .ftruncate = vfs_file_ftruncate,
    .futime = vfs_file_futime,
    .flock = vfs_file_flock,
    .opendir = vfs_file_opendir,
    .readdir = vfs_file_readdir,
    .seekdir = vfs_file_seekdir,
    .telldir = vfs_file_telldir,
    .closedir = vfs_file_closedir,
    .ioctl = vfs_file_ioctl,
};

} // namespace

const vfs_drv *vfs_file_drv_get(void) { return &k_file_drv; }
