// The "file" driver: mounts a directory of the local file system. Every path
// the virtual file system hands over is joined to the mount's root and
// carried out with the platform's file objects and path calls. Only local
// URLs (plain paths and "file://") are taken, so an unknown scheme never
// silently becomes a local directory.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "libpal/env/os_env.h"
#include "libpal/os/posix/os_fs_file3.h"
#include "libpal/os/posix/os_xattr.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libpal/vfile/os_file2.h"
#include "liblog/log2.h"
#include "libvfs/vfs_imp.h"

namespace {

enum : uint32_t { KIND_MOUNT = 1, KIND_FILE = 2, KIND_DIR = 3 };

struct file_mnt {
    uint32_t kind;
    char *root;          // normalised, absolute, ends with '/'
    vperror_t *err;
    vfs_mount_ctx *mnt;
    uint32_t read_timeout;  // ms
    uint32_t write_timeout; // ms
};

struct file_h {
    uint32_t kind;
    void *obj; // os_file_t * or os_dir_t *
    file_mnt *m;
};

// Records the failure of a platform call from errno. A failure that left
// errno 0 must still read as a failure, so it becomes EIO.
#define FAIL(m) fail_rec((m), __LINE__, __func__, errno)
void fail_rec(file_mnt *m, int line, const char *func, int eno)
{
    vfs_set_error_errno(m->mnt, __FILE__, line, func, eno ? eno : EIO);
}

// Joins path to the root into out (PL_MAX_PATH). 0, or -1 recorded.
int full_path(file_mnt *m, const char *path, char *out, const char *func)
{
    if (!path) {
        fail_rec(m, __LINE__, func, EINVAL);
        return -1;
    }
    path_build(out, m->root, path);
    if (!*out) {
        fail_rec(m, __LINE__, func, ENAMETOOLONG);
        return -1;
    }
    return 0;
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
    if (os_is_dir(root) != 1) {
        LOG_ERR(VFS_TAG, "root_dir=[%s] error: not a directory\n", root);
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_FILE_NOT_FOUND, nullptr);
        return nullptr;
    }
    file_mnt *m = (file_mnt *)os_zalloc(sizeof(file_mnt));
    char *copy = os_strdup(root);
    if (!m || !copy) {
        os_free(m);
        os_free(copy);
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    m->kind = KIND_MOUNT;
    m->err = err;
    m->mnt = mnt;
    m->read_timeout = timeout_ms(url, "read_timeout", 15);
    m->write_timeout = timeout_ms(url, "write_timeout", 8);
    m->root = copy;
    LOG_VERB(VFS_TAG, "root_dir=[%s]\n", m->root);
    return m;
}

int vfs_file_umount(void *mp)
{
    file_mnt *m = (file_mnt *)mp;
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
    char full[PL_MAX_PATH];
    if (full_path(m, path, full, __func__) != 0)
        return nullptr;
    os_file_t *f = os_file_open(full, pf);
    if (!f) {
        FAIL(m);
        return nullptr;
    }
    os_file_set_read_timeout(f, (int)m->read_timeout);
    os_file_set_write_timeout(f, (int)m->write_timeout);
    file_h *h = wrap(m, KIND_FILE, f);
    if (!h)
        os_file_close(f);
    return h;
}

void *vfs_file_wopen(void *mp, const char *path, uint32_t access, uint32_t share, void *security,
                     uint32_t disposition, uint32_t attributes, void *templ)
{
    file_mnt *m = (file_mnt *)mp;
    char full[PL_MAX_PATH];
    if (full_path(m, path, full, __func__) != 0)
        return nullptr;
    os_file_t *f = os_file_wopen(full, access, share, security, disposition, attributes, templ);
    if (!f) {
        FAIL(m);
        return nullptr;
    }
    os_file_set_read_timeout(f, (int)m->read_timeout);
    file_h *h = wrap(m, KIND_FILE, f);
    if (!h)
        os_file_close(f);
    return h;
}

void *vfs_file_open2(void *mp, const char *path, int flags, uint32_t mode)
{
    file_mnt *m = (file_mnt *)mp;
    char full[PL_MAX_PATH];
    if (full_path(m, path, full, __func__) != 0)
        return nullptr;
    os_file_t *f = os_file_open2(full, flags, mode);
    if (!f) {
        FAIL(m);
        return nullptr;
    }
    file_h *h = wrap(m, KIND_FILE, f);
    if (!h)
        os_file_close(f);
    return h;
}

int vfs_file_close(void *fh)
{
    file_mnt *m = fmnt(fh);
    int r = os_file_close(fobj(fh));
    int eno = errno;
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
    int64_t r = off == -1 ? os_file_write(fobj(fh), buf, len) : os_file_pwrit(fobj(fh), buf, len, off);
    if (r < 0)
        FAIL(fmnt(fh));
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

void *vfs_file_opendir(void *mp, const char *path, const char *pattern)
{
    file_mnt *m = (file_mnt *)mp;
    char full[PL_MAX_PATH];
    if (full_path(m, path, full, __func__) != 0)
        return nullptr;
    os_dir_t *d = os_opendir2(full, pattern);
    if (!d) {
        FAIL(m);
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

int64_t file_handle_ioctl(file_h *h, int code, void *arg)
{
    file_mnt *m = h->m;
    os_file_t *f = (os_file_t *)h->obj;
    if (!arg)
        return bad_code(m, code);
    switch (code) {
    case VFS_IOC_FRENAME: {
        auto *a = (vfs_ioc_frename_t *)arg;
        return REC10(os_file_ioctl_code10(f, a->name, a->replace));
    }
    case VFS_IOC_FCHMOD:
        return REC10(os_file_fchmod(f, ((vfs_ioc_path_u32_t *)arg)->value));
    case VFS_IOC_FCHOWN: {
        auto *a = (vfs_ioc_chown_t *)arg;
        return REC10(os_file_fchown(f, a->uid, a->gid));
    }
    case VFS_IOC_SET_DELETE_ON_CLOSE:
        return REC10(os_file_set_remove_on_close(f, *(uint8_t *)arg));
    default:
        return bad_code(m, code);
    }
}

// mkdir that reports any existing path as EEXIST: the platform's own mkdir
// accepts an existing directory, which would let a create race report
// success for a directory someone else made.
int mkdir_new(const char *full, uint32_t mode) { return ::mkdir(full, (mode_t)mode); }

int64_t vfs_file_ioctl(void *hp, int code, void *arg, int64_t len)
{
    (void)len;
    if (code >= VFS_IOC_FRENAME && code <= VFS_IOC_SET_DELETE_ON_CLOSE) {
        file_h *h = (file_h *)hp;
        if (h->kind != KIND_FILE)
            return bad_code(h->m, code);
        return file_handle_ioctl(h, code, arg);
    }
    file_mnt *m = (file_mnt *)hp;
    if (m->kind != KIND_MOUNT)
        return bad_code(((file_h *)hp)->m, code);
    if (!arg)
        return bad_code(m, code);

    char full[PL_MAX_PATH];
    char full2[PL_MAX_PATH];
    // The path word of every record code is its first field.
    auto fp = [&](const char *p) { return full_path(m, p, full, "vfs_file_ioctl") == 0; };

    switch (code) {
    case VFS_IOC_NEED_REOPEN:
        *(uint32_t *)arg = 0;
        return -1;
    case VFS_IOC_LAST_ACTIVITY:
        // A local directory keeps no activity time. The probe may come from
        // the heartbeat thread, so like code 2 it leaves the error record
        // (which the other thread's failures fill) alone.
        return -1;
    case VFS_IOC_STATVFS: {
        auto *a = (vfs_ioc_statvfs_t *)arg;
        if (!fp(a->path) || !a->out)
            return -1;
        return REC(os_statvfs(full, a->out));
    }
    case VFS_IOC_GETCWD:
        return len > 0 && os_getcwd((char *)arg, (size_t)len) ? 0 : -1;
    case VFS_IOC_CHDIR:
        return REC(os_chdir((const char *)arg));
    case VFS_IOC_GET_OS_TYPE:
        *(uint32_t *)arg = VFS_OS_TYPE_LOCAL;
        return 0;
    case VFS_IOC_VOLUME_INFO: {
        auto *a = (vfs_ioc_volinfo_t *)arg;
        if (!fp(a->path) || !a->vi)
            return -1;
        return REC(os_get_volume_info(full, a->vi));
    }
    case VFS_IOC_UMASK: {
        auto *a = (vfs_ioc_umask_t *)arg;
        uint32_t old = os_umask(a->mask);
        if (a->old)
            *a->old = old;
        return 0;
    }
    case VFS_IOC_ACCESS: {
        auto *a = (vfs_ioc_path_u32_t *)arg;
        return fp(a->path) ? REC(os_access(full, (int)a->value)) : -1;
    }
    case VFS_IOC_CREATE_FILE:
        return fp((const char *)arg) ? REC(os_file_touch(full)) : -1;
    case VFS_IOC_MKDIR_DEFAULT:
        return fp((const char *)arg) ? REC(os_mkdir_default(full)) : -1;
    case VFS_IOC_MKDIR: {
        auto *a = (vfs_ioc_path_u32_t *)arg;
        return fp(a->path) ? REC(mkdir_new(full, a->value)) : -1;
    }
    case VFS_IOC_MKNOD: {
        auto *a = (vfs_ioc_mknod_t *)arg;
        return fp(a->path) ? REC(os_mknod(full, a->mode, a->dev)) : -1;
    }
    case VFS_IOC_MKFIFO: {
        auto *a = (vfs_ioc_path_u32_t *)arg;
        return fp(a->path) ? REC(os_mkfifo(full, a->value)) : -1;
    }
    case VFS_IOC_LINK: {
        auto *a = (vfs_ioc_2path_t *)arg;
        if (!fp(a->from) || full_path(m, a->to, full2, "vfs_file_ioctl") != 0)
            return -1;
        return REC(os_link(full, full2));
    }
    case VFS_IOC_SYMLINK: {
        auto *a = (vfs_ioc_2path_t *)arg;
        if (!a->from || !fp(a->to))
            return a->from ? -1 : bad_code(m, code);
        return REC(os_symlink(a->from, full));
    }
    case VFS_IOC_RMDIR:
        return fp((const char *)arg) ? REC(os_rmdir(full)) : -1;
    case VFS_IOC_UNLINK:
        return fp((const char *)arg) ? REC(os_remove(full)) : -1;
    case VFS_IOC_RENAME: {
        auto *a = (vfs_ioc_rename_t *)arg;
        if (!fp(a->from) || full_path(m, a->to, full2, "vfs_file_ioctl") != 0)
            return -1;
        return REC(os_rename(full, full2, a->replace));
    }
    case VFS_IOC_READLINK: {
        auto *a = (vfs_ioc_readlink_t *)arg;
        if (!fp(a->path) || !a->buf)
            return -1;
        return REC(os_readlink(full, a->buf, (size_t)a->size));
    }
    case VFS_IOC_STAT:
    case VFS_IOC_LSTAT: {
        auto *a = (vfs_ioc_stat_t *)arg;
        if (!fp(a->path) || !a->st)
            return -1;
        return REC(code == VFS_IOC_STAT ? os_stat(full, a->st) : os_lstat(full, a->st));
    }
    case VFS_IOC_RMDIR2:
    case VFS_IOC_REMOVE2: {
        auto *a = (vfs_ioc_path_flag_t *)arg;
        if (!fp(a->path))
            return -1;
        return REC(code == VFS_IOC_RMDIR2 ? os_rmdir_ex(full, a->flag) : os_remove_ex(full, a->flag));
    }
    case VFS_IOC_SET_ATTRIB:
        return 0;
    case VFS_IOC_TRUNCATE: {
        auto *a = (vfs_ioc_truncate_t *)arg;
        return fp(a->path) ? REC(os_truncate(full, (int64_t)a->size)) : -1;
    }
    case VFS_IOC_CHMOD:
    case VFS_IOC_LCHMOD: {
        auto *a = (vfs_ioc_path_u32_t *)arg;
        if (!fp(a->path))
            return -1;
        return REC(code == VFS_IOC_CHMOD ? os_chmod(full, a->value) : os_lchmod(full, a->value));
    }
    case VFS_IOC_CHOWN:
    case VFS_IOC_LCHOWN: {
        auto *a = (vfs_ioc_chown_t *)arg;
        if (!fp(a->path))
            return -1;
        return REC(code == VFS_IOC_CHOWN ? os_chown(full, a->uid, a->gid) : os_lchown(full, a->uid, a->gid));
    }
    case VFS_IOC_UTIME:
    case VFS_IOC_UTIMENS: {
        auto *a = (vfs_ioc_times_t *)arg;
        if (!fp(a->path) || !a->times)
            return -1;
        return REC(code == VFS_IOC_UTIME ? os_utimes(full, a->times) : os_lutimes(full, a->times));
    }
    case VFS_IOC_GET_ENTRY: {
        auto *a = (vfs_ioc_entry_t *)arg;
        if (!a->path || !a->entry)
            return bad_code(m, code);
        return REC(os_file_get_entry(a->path, a->flag, a->entry));
    }
    case VFS_IOC_CHDIR_MT: {
        auto *a = (vfs_ioc_chdir_t *)arg;
        if (!a->cwd || !a->path)
            return bad_code(m, code);
        return REC(os_chdir_mt(a->cwd, (size_t)a->size, a->path));
    }
    case VFS_IOC_REALPATH_MT: {
        auto *a = (vfs_ioc_realpath_t *)arg;
        if (!a->cwd || !a->path || !a->out)
            return bad_code(m, code);
        os_chdir_path_resolve(a->cwd, a->path, a->out, (size_t)a->size);
        return 0;
    }
    case VFS_IOC_GETXATTR:
    case VFS_IOC_SETXATTR:
    case VFS_IOC_REMOVEXATTR: {
        auto *a = (vfs_ioc_xattr_t *)arg;
        if (!fp(a->path) || !a->name)
            return -1;
        if (code == VFS_IOC_GETXATTR)
            return REC(os_lgetxattr(full, a->name, a->value, (size_t)a->size));
        if (code == VFS_IOC_SETXATTR)
            return REC(os_lsetxattr(full, a->name, a->value, (size_t)a->size, (int)a->flags));
        return REC(os_lremovexattr(full, a->name));
    }
    case VFS_IOC_LISTXATTR: {
        auto *a = (vfs_ioc_listxattr_t *)arg;
        return fp(a->path) ? REC(os_llistxattr(full, a->list, (size_t)a->size)) : -1;
    }
    default:
        return bad_code(m, code);
    }
}

} // namespace

const vfs_drv *vfs_file_drv_get(void)
{
    static vfs_drv d;
    d.id = VFS_DRV_FILE;
    d.name = "file";
    d.init = vfs_file_init;
    d.exit = vfs_file_exit;
    d.match = vfs_file_match;
    d.mount = vfs_file_mount;
    d.umount = vfs_file_umount;
    d.statfs = vfs_file_statfs;
    d.get_readonly = vfs_file_get_readonly;
    d.open = vfs_file_open;
    d.wopen = vfs_file_wopen;
    d.open2 = vfs_file_open2;
    d.close = vfs_file_close;
    d.read = vfs_file_read;
    d.write = vfs_file_write;
    d.fsync = vfs_file_fsync;
    d.lseek = vfs_file_lseek;
    d.fstat = vfs_file_fstat;
    d.ftruncate = vfs_file_ftruncate;
    d.futime = vfs_file_futime;
    d.flock = vfs_file_flock;
    d.opendir = vfs_file_opendir;
    d.readdir = vfs_file_readdir;
    d.seekdir = vfs_file_seekdir;
    d.telldir = vfs_file_telldir;
    d.closedir = vfs_file_closedir;
    d.ioctl = vfs_file_ioctl;
    return &d;
}
