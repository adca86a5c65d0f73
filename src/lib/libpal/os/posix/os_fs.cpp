// Path calls, stat records and directory handles; see os_fs.h.
#include "libpal/os/posix/os_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/os/posix/os_fs_priv.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_path.h"
#include "libpal/os/posix/os_xattr.h"
#include "libpal/string/str_safe.h"
#include "libpal/vfile/os_file2.h"
#include "liblog/log2.h"

#define TAG "pal"

// ---- stat records ----------------------------------------------------------------

void os_stat_from_posix(const struct stat *st, os_file_stat_t *rec)
{
    memset(rec, 0, sizeof(*rec));
    rec->type = S_ISDIR(st->st_mode) ? OS_FTYPE_DIR : OS_FTYPE_FILE;
    if (S_ISLNK(st->st_mode))
        rec->type |= OS_FTYPE_LINK;
    rec->mode = st->st_mode;
    rec->uid = st->st_uid;
    rec->gid = st->st_gid;
    rec->size = (uint64_t)st->st_size;
    rec->atime = (uint64_t)st->st_atim.tv_sec;
    rec->atime_ns = (uint64_t)st->st_atim.tv_nsec;
    rec->mtime = (uint64_t)st->st_mtim.tv_sec;
    rec->mtime_ns = (uint64_t)st->st_mtim.tv_nsec;
    rec->ctime = (uint64_t)st->st_ctim.tv_sec;
    rec->ctime_ns = (uint64_t)st->st_ctim.tv_nsec;
    rec->nlink = st->st_nlink;
    rec->dev = st->st_dev;
    rec->rdev = st->st_rdev;
    rec->ino = st->st_ino;
    rec->blksize = (uint64_t)st->st_blksize;
    rec->blocks = (uint64_t)st->st_blocks;
}

int os_stat(const char *path, os_file_stat_t *rec)
{
    struct stat st;
    if (!path || !rec) {
        errno = EINVAL;
        return -1;
    }
    if (stat(path, &st) != 0)
        return -1;
    os_stat_from_posix(&st, rec);
    return 0;
}

int os_lstat(const char *path, os_file_stat_t *rec)
{
    struct stat st;
    if (!path || !rec) {
        errno = EINVAL;
        return -1;
    }
    if (lstat(path, &st) != 0)
        return -1;
    os_stat_from_posix(&st, rec);
    return 0;
}

void os_stat_2_posix(const os_file_stat_t *rec, struct stat *st)
{
    memset(st, 0, sizeof(*st));
    if (rec->type & OS_FTYPE_NO_MODE)
        st->st_mode = (rec->type & OS_FTYPE_MASK) == OS_FTYPE_DIR ? 040775 : 0100775;
    else
        st->st_mode = rec->mode;
    st->st_uid = rec->uid;
    st->st_gid = rec->gid;
    st->st_size = (off_t)rec->size;
    st->st_atim.tv_sec = (time_t)rec->atime;
    st->st_atim.tv_nsec = (long)rec->atime_ns;
    st->st_mtim.tv_sec = (time_t)rec->mtime;
    st->st_mtim.tv_nsec = (long)rec->mtime_ns;
    st->st_ctim.tv_sec = (time_t)rec->ctime;
    st->st_ctim.tv_nsec = (long)rec->ctime_ns;
    st->st_nlink = (nlink_t)rec->nlink;
    st->st_dev = (dev_t)rec->dev;
    st->st_rdev = (dev_t)rec->rdev;
    st->st_ino = (ino_t)rec->ino;
    st->st_blksize = (blksize_t)rec->blksize;
    st->st_blocks = (blkcnt_t)rec->blocks;
}

void os_statfs_2_posix(const os_statfs_t *rec, struct statvfs *st)
{
    memset(st, 0, sizeof(*st));
    st->f_bsize = rec->f_bsize;
    st->f_frsize = rec->f_frsize;
    st->f_blocks = rec->f_blocks;
    st->f_bfree = rec->f_bfree;
    st->f_bavail = rec->f_bavail;
    st->f_files = rec->f_files;
    st->f_ffree = rec->f_ffree;
    st->f_favail = rec->f_favail;
    st->f_fsid = rec->f_fsid;
    st->f_flag = rec->f_flag;
    st->f_namemax = rec->f_namemax;
}

int os_is_same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    if (!a || !b || stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---- path wrappers ---------------------------------------------------------------------

int os_truncate(const char *path, int64_t size) { return truncate(path, (off_t)size); }
int os_mknod(const char *path, uint32_t mode, uint64_t dev) { return mknod(path, mode, (dev_t)dev); }
int os_mkfifo(const char *path, uint32_t mode) { return mkfifo(path, mode); }
int os_symlink(const char *target, const char *linkpath) { return symlink(target, linkpath); }
int os_link(const char *oldpath, const char *newpath) { return link(oldpath, newpath); }
int os_chmod(const char *path, uint32_t mode) { return chmod(path, mode); }
int os_lchmod(const char *path, uint32_t mode) { return fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW); }
int os_chown(const char *path, uint32_t uid, uint32_t gid) { return chown(path, uid, gid); }
int os_lchown(const char *path, uint32_t uid, uint32_t gid) { return lchown(path, uid, gid); }
uint32_t os_umask(uint32_t mask) { return umask(mask); }
int os_remove(const char *path) { return remove(path); }
int os_remove_ex(const char *path, int) { return remove(path); }
int os_unlink(const char *path) { return unlink(path); }
int os_rmdir(const char *path) { return rmdir(path); }
int os_rmdir_ex(const char *path, int) { return rmdir(path); }
int os_rename_replace(const char *oldpath, const char *newpath) { return rename(oldpath, newpath); }
int os_path_nop(const char *, void *) { return 0; }

int os_rename(const char *oldpath, const char *newpath, int replace)
{
    if (replace)
        return rename(oldpath, newpath);
    // Atomic: a stat-then-rename could replace a file created in between.
    if (renameat2(AT_FDCWD, oldpath, AT_FDCWD, newpath, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
    // The file system cannot do it atomically: best effort.
    struct stat st;
    if (lstat(newpath, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(oldpath, newpath);
}

static void times_2_timespec(const os_file_times_t *t, struct timespec ts[2])
{
    ts[0].tv_sec = (time_t)t->atime.sec;
    ts[0].tv_nsec = (long)t->atime.nsec;
    ts[1].tv_sec = (time_t)t->mtime.sec;
    ts[1].tv_nsec = (long)t->mtime.nsec;
}

int os_utimes(const char *path, const os_file_times_t *times)
{
    struct timespec ts[2];
    if (!times) {
        errno = EINVAL;
        return -1;
    }
    times_2_timespec(times, ts);
    return utimensat(AT_FDCWD, path, ts, 0);
}

int os_lutimes(const char *path, const os_file_times_t *times)
{
    struct timespec ts[2];
    if (!times) {
        errno = EINVAL;
        return -1;
    }
    times_2_timespec(times, ts);
    return utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW);
}

// ---- links ------------------------------------------------------------------------------

int os_readlink(const char *path, char *buf, size_t n)
{
    if (!path || !buf || n == 0) {
        errno = EINVAL;
        return -1;
    }
    char probe[1];
    // With room for the terminator only, still tell a link from an error.
    ssize_t r = n > 1 ? readlink(path, buf, n - 1) : readlink(path, probe, 1) < 0 ? -1 : 0;
    if (r < 0) {
        buf[0] = 0;
        return -1;
    }
    buf[r] = 0;
    return (int)r;
}

int os_readlink_full(const char *path, char *buf, size_t n)
{
    char link[PL_MAX_PATH];
    if (!path || !buf || n == 0) {
        errno = EINVAL;
        return -1;
    }
    if (os_readlink(path, link, sizeof(link)) < 0)
        return -1;
    if (link[0] == '/') {
        if (str_safecopy(buf, n, link) != 0) {
            errno = ENAMETOOLONG;
            return -1;
        }
        return 0;
    }
    // Relative: resolve against the directory holding the link.
    std::string dir(path);
    size_t cut = dir.find_last_of("/\\");
    dir = cut == std::string::npos ? std::string() : dir.substr(0, cut + 1);
    if (dir.empty()) {
        if (str_safecopy(buf, n, link) != 0) {
            errno = ENAMETOOLONG;
            return -1;
        }
        return 0;
    }
    if (os_fs_path_join(buf, n, dir.c_str(), link) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

int os_readlink_or_self(const char *path, char *buf, size_t n)
{
    if (!buf || n == 0)
        return 0;
    int saved = errno;
    if (!path) {
        buf[0] = 0;
        return 0;
    }
    if (os_readlink_full(path, buf, n) != 0)
        str_safecopy(buf, n, path);
    errno = saved;
    return 0;
}

char *os_realpath(const char *path, char (&buf)[OS_REALPATH_SIZE])
{
    if (!path || !realpath(path, buf))
        buf[0] = 0;
    return buf;
}

char *os_path_copy(const char *path, char *buf, size_t n)
{
    str_safecopy(buf, n, path ? path : "");
    return buf;
}

// ---- directories ---------------------------------------------------------------------

int os_is_dir(const char *path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int os_is_file(const char *path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 0 : 1;
}

int os_mkdir(const char *path, uint32_t mode)
{
    struct stat st;
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        errno = EACCES;
        return -1;
    }
    return mkdir(path, mode);
}

int os_mkdir_default(const char *path) { return os_mkdir(path, 0755); }

int os_mkdirs(const char *path)
{
    char buf[PL_MAX_PATH];
    if (!path || str_safecopy(buf, sizeof(buf), path) != 0) {
        errno = path ? ENAMETOOLONG : EINVAL;
        return -1;
    }
    path_normalize(buf);
    for (size_t i = 1; buf[i]; i++) {
        if (buf[i] != '/' && buf[i] != '\\')
            continue;
        char c = buf[i];
        buf[i] = 0;
        if (access(buf, F_OK) != 0 && os_mkdir_default(buf) != 0) {
            buf[i] = c;
            return -1;
        }
        buf[i] = c;
    }
    return os_mkdir_default(buf);
}

int os_mkdirs_parent(const char *path)
{
    char buf[PL_MAX_PATH];
    if (!path || str_safecopy(buf, sizeof(buf), path) != 0) {
        errno = path ? ENAMETOOLONG : EINVAL;
        return -1;
    }
    path_normalize(buf);
    char *cut = strrchr(buf, '/');
    if (!cut) {
        errno = EINVAL;
        return -1;
    }
    if (cut == buf)
        return 0; // the parent is the root
    *cut = 0;
    return os_mkdirs(buf);
}

os_dir_t *os_opendir(const char *path) { return os_opendir_imp(path, nullptr, OS_DIR_LINK_RAW); }
os_dir_t *os_opendir2(const char *path, const char *pattern) { return os_opendir_imp(path, pattern, OS_DIR_LINK_RAW); }

os_dir_t *os_opendir_imp(const char *path, const char *pattern, uint32_t flags)
{
    char buf[PL_MAX_PATH];
    char real[PL_MAX_PATH];
    if (!path || str_safecopy(buf, sizeof(buf), path) != 0) {
        errno = path ? ENAMETOOLONG : EINVAL;
        return nullptr;
    }
    path_normalize(buf);
    os_readlink_or_self(buf, real, sizeof(real));

    os_dir_t *d = (os_dir_t *)os_zalloc(sizeof(os_dir_t));
    if (!d) {
        errno = ENOMEM;
        return nullptr;
    }
    d->fd = -1;
    d->flags = flags;
    struct stat st;
    int err = 0;
    d->dir = opendir(real);
    if (!d->dir)
        goto fail;
    if (stat(real, &st) != 0)
        goto fail;
    d->dev = st.st_dev;
    d->fd = open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d->fd < 0)
        goto fail;
    if (pattern) {
        d->pattern = os_strdup(pattern);
        if (!d->pattern) {
            errno = ENOMEM;
            goto fail;
        }
    }
    d->path = os_strdup(real);
    if (!d->path) {
        errno = ENOMEM;
        goto fail;
    }
    return d;
fail:
    err = errno;
    os_closedir(d);
    errno = err;
    return nullptr;
}

os_dir_t *os_opendir_fd(int fd, const char *pattern, uint32_t flags)
{
    if (fd < 0) {
        errno = EBADF;
        return nullptr;
    }
    os_dir_t *d = (os_dir_t *)os_zalloc(sizeof(os_dir_t));
    if (!d) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    d->fd = -1;
    d->flags = flags;
    d->dir = fdopendir(fd);
    if (!d->dir) {
        int err = errno;
        close(fd);
        os_closedir(d);
        errno = err;
        return nullptr;
    }
    if (pattern && !(d->pattern = os_strdup(pattern))) {
        os_closedir(d);
        errno = ENOMEM;
        return nullptr;
    }
    return d;
}

// Reads the next raw entry, counting it in the position.
static struct dirent *dir_read_raw(os_dir_t *d)
{
    struct dirent *e = readdir(d->dir);
    if (e)
        d->pos++;
    return e;
}

// Link field of an entry: the raw text (flag 1) or the target path (flag 2).
static void entry_fill_link(const char *full, uint32_t flags, os_dir_entry_t *ent)
{
    if (flags & OS_DIR_LINK_RAW)
        os_readlink(full, ent->link, sizeof(ent->link));
    else if (flags & OS_DIR_LINK_TARGET)
        os_readlink_full(full, ent->link, sizeof(ent->link));
}

static void entry_copy_stat(const struct stat *st, os_dir_entry_t *ent)
{
    os_file_stat_t tmp;
    os_stat_from_posix(st, &tmp);
    uint32_t type = ent->st.type;
    ent->st = tmp;
    ent->st.type = type;
}

// An entry of a handle made by os_opendir_fd: looked at through the
// directory's descriptor, links never followed.
static os_dir_entry_t *readdir_at(os_dir_t *d, const struct dirent *e, os_dir_entry_t *ent)
{
    struct stat st;
    bool looked = false;
    if (!(d->flags & OS_DIR_LISTING) || e->d_type == DT_UNKNOWN)
        looked = fstatat(dirfd(d->dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (looked && !(d->flags & OS_DIR_LISTING)) {
        entry_copy_stat(&st, ent);
        if (S_ISREG(st.st_mode) && (uint64_t)st.st_size > (uint64_t)st.st_blocks * 512)
            ent->st.type |= OS_FTYPE_SPARSE;
    } else if (looked) {
        ent->st.mode = st.st_mode & S_IFMT;
    }
    if (S_ISDIR(ent->st.mode))
        ent->st.type = OS_FTYPE_DIR;
    else if (S_ISLNK(ent->st.mode))
        ent->st.type = OS_FTYPE_FILE | OS_FTYPE_LINK;
    if (S_ISLNK(ent->st.mode) && (d->flags & OS_DIR_LINK_RAW)) {
        ssize_t n = readlinkat(dirfd(d->dir), e->d_name, ent->link, sizeof(ent->link) - 1);
        ent->link[n > 0 ? n : 0] = 0;
    }
    errno = 0;
    return ent;
}

os_dir_entry_t *os_readdir(os_dir_t *d)
{
    if (!d || !d->dir) {
        errno = EINVAL;
        return nullptr;
    }
    os_dir_entry_t *ent = &d->entry;
    os_free(ent->xattr);
    ent->xattr = nullptr;
    ent->link[0] = 0;

    errno = 0;
    struct dirent *e;
    while ((e = dir_read_raw(d)) != nullptr) {
        if (!d->pattern || pl_glob_match_any(e->d_name, d->pattern))
            break;
    }
    if (!e)
        return nullptr; // errno tells an error from the end

    memset(&ent->st, 0, sizeof(ent->st));
    str_safecopy_trunc(ent->name, sizeof(ent->name), e->d_name);
    ent->st.type = e->d_type == DT_DIR ? OS_FTYPE_DIR : OS_FTYPE_FILE;
    // What the listing says stands whatever a closer look gives: an entry
    // with inode 0 or no type would be dropped or misread by its readers.
    ent->st.ino = e->d_ino;
    ent->st.mode = e->d_type == DT_UNKNOWN ? 0 : DTTOIF(e->d_type);

    if (!d->path)
        return readdir_at(d, e, ent);
    char full[PL_MAX_PATH];
    if (os_fs_path_join(full, sizeof(full), d->path, e->d_name) != 0) {
        errno = 0;
        return ent; // only the name and the type
    }
    struct stat st;
    int lst = lstat(full, &st);
    bool is_link = e->d_type == DT_LNK || (e->d_type == DT_UNKNOWN && lst == 0 && S_ISLNK(st.st_mode));
    if (e->d_type == DT_UNKNOWN && lst == 0 && !is_link)
        ent->st.type = S_ISDIR(st.st_mode) ? OS_FTYPE_DIR : OS_FTYPE_FILE;
    if (is_link) {
        struct stat target;
        entry_fill_link(full, d->flags, ent);
        if (stat(full, &target) == 0)
            ent->st.type = S_ISDIR(target.st_mode) ? OS_FTYPE_DIR : OS_FTYPE_FILE;
        else
            ent->st.type = OS_FTYPE_FILE; // dangling
        ent->st.type |= OS_FTYPE_LINK;
    }
    if (d->flags & OS_DIR_XATTR)
        ent->xattr = os_get_file_xattr_info(full);
    if (lst != 0) {
        errno = 0;
        return ent; // only the name and the type
    }
    entry_copy_stat(&st, ent);
    if (S_ISREG(st.st_mode)) {
        // Links and devices have no data blocks; only a file can have holes.
        if ((uint64_t)st.st_size > (uint64_t)st.st_blocks * 512)
            ent->st.type |= OS_FTYPE_SPARSE;
    } else if (S_ISDIR(st.st_mode) && st.st_dev != d->dev) {
        ent->st.type |= OS_FTYPE_LINK; // a mount point
        str_safecopy(ent->link, sizeof(ent->link), ".");
    }
    errno = 0;
    return ent;
}

int64_t os_telldir(os_dir_t *d) { return d ? d->pos : -1; }

int os_seekdir(os_dir_t *d, int64_t pos, int64_t)
{
    if (!d || !d->dir || pos < 0) {
        errno = EINVAL;
        return -1;
    }
    errno = 0;
    if (pos == d->pos)
        return 0;
    if (pos > d->pos) {
        int64_t n = pos - d->pos;
        for (int64_t i = 0; i < n; i++)
            if (!readdir(d->dir))
                break;
        d->pos = pos;
        return 0;
    }
    if (d->path) {
        DIR *nd = opendir(d->path);
        if (!nd)
            return -1;
        closedir(d->dir);
        d->dir = nd;
    } else {
        rewinddir(d->dir);
    }
    for (int64_t i = 0; i < pos; i++)
        if (!readdir(d->dir))
            break;
    d->pos = pos;
    errno = 0;
    return 0;
}

int os_closedir(os_dir_t *d)
{
    if (!d)
        return 0;
    os_free(d->entry.xattr);
    if (d->fd >= 0)
        close(d->fd);
    if (d->dir)
        closedir(d->dir);
    os_free(d->pattern);
    os_free(d->path);
    os_free(d);
    return 0;
}

int os_file_get_entry(const char *path, uint32_t flags, os_dir_entry_t *entry)
{
    char buf[PL_MAX_PATH];
    if (!path || !entry || str_safecopy(buf, sizeof(buf), path) != 0) {
        errno = path && entry ? ENAMETOOLONG : EINVAL;
        return -1;
    }
    path_normalize(buf);
    path_del_sep_tail(buf);
    memset(entry, 0, sizeof(*entry));
    if (os_lstat(buf, &entry->st) != 0)
        return -1;
    str_safecopy_trunc(entry->name, sizeof(entry->name), path_basename(buf));
    if (entry->st.type & OS_FTYPE_LINK) {
        struct stat st;
        entry->st.type = (stat(buf, &st) == 0 && S_ISDIR(st.st_mode) ? OS_FTYPE_DIR : OS_FTYPE_FILE) | OS_FTYPE_LINK;
        entry_fill_link(buf, flags, entry);
    }
    return 0;
}

int os_dir_keep_last_n(const char *dir, const char *pattern, int n)
{
    os_dir_t *d = os_opendir2(dir, pattern);
    if (!d)
        return -1;
    std::vector<std::string> names;
    while (os_dir_entry_t *e = os_readdir(d)) {
        if (strcmp(e->name, ".") == 0 || strcmp(e->name, "..") == 0)
            continue;
        names.emplace_back(e->name);
    }
    std::string base = d->path;
    os_closedir(d);
    std::sort(names.begin(), names.end()); // byte order: the names sort by age
    if (n < 0)
        n = 0;
    size_t drop = names.size() > (size_t)n ? names.size() - (size_t)n : 0;
    for (size_t i = 0; i < drop; i++) {
        char full[PL_MAX_PATH];
        if (os_fs_path_join(full, sizeof(full), base.c_str(), names[i].c_str()) == 0)
            os_remove_ex(full, 0);
    }
    return 0;
}

// ---- zz path lists -------------------------------------------------------------------------

static int fail_verr(int code)
{
    os_errno_set_verr(code);
    return -1;
}

int os_remove_zz(const char *list)
{
    const char *parts[3];
    int n = os_fs_zz_split(list, parts);
    if (n <= 0)
        return fail_verr(VERR_INVALID_PARAMETER);
    if (n == 1)
        return remove(parts[0]);
    if (strcmp(parts[1], "X") == 0)
        return os_lremovexattr(parts[0], parts[2] ? parts[2] : "");
    return fail_verr(VERR_NOT_SUPPORTED);
}

int os_remove_zz_nonempty(const char *list)
{
    const char *parts[3];
    if (os_fs_zz_split(list, parts) <= 0)
        return fail_verr(VERR_INVALID_PARAMETER);
    return os_remove_zz(list);
}

int os_remove_zz_ex(const char *path, int flag) { return flag == 0 ? os_remove_zz(path) : remove(path); }

int os_create_zz(const char *list, const os_file_desc_t *desc)
{
    const char *parts[3];
    int n = os_fs_zz_split(list, parts);
    if (n == 1)
        return os_create_file_or_dir(parts[0], desc);
    if (n == 3 && strcmp(parts[1], "X") == 0)
        return os_lsetxattr(parts[0], parts[2], "", 0, PL_XATTR_SET_ANY);
    if (n >= 2 && strcmp(parts[1], "S") == 0)
        return fail_verr(VERR_NOT_SUPPORTED);
    return fail_verr(VERR_INVALID_PARAMETER);
}

// ---- creating from a description ---------------------------------------------------------

int os_symlink_desc(const char *path, const os_file_desc_t *desc)
{
    if (!path || !desc || !desc->link) {
        errno = EINVAL;
        return -1;
    }
    // path becomes the link; the description's link text is its content.
    return symlink(desc->link, path);
}

int os_create_file_or_dir(const char *path, const os_file_desc_t *desc)
{
    if (!path || !desc) {
        errno = EINVAL;
        return -1;
    }
    if ((desc->type & OS_FTYPE_MASK) == OS_FTYPE_DIR && !(desc->type & OS_FTYPE_LINK)) {
        if (os_mkdirs(path) != 0)
            return -1;
        return os_path_apply_desc(path, desc);
    }
    if (desc->type & OS_FTYPE_LINK) {
        if ((desc->type & OS_FTYPE_MASK) == OS_FTYPE_DIR)
            rmdir(path);
        else
            remove(path);
        if (desc->type & OS_FTYPE_JUNCTION) {
            LOG_ERR(TAG, "os_create_junction [%s]->[%s] error: not supported", path, desc->link ? desc->link : "");
            return fail_verr(VERR_NOT_SUPPORTED);
        }
        return os_symlink_desc(path, desc);
    }
    os_file_t *f = os_file_open(path, OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC);
    if (!f)
        return -1;
    int ret = os_file_apply_desc(f, desc);
    int err = errno;
    os_file_close(f);
    errno = err;
    return ret;
}

static uint32_t desc_mode(const os_file_desc_t *d) { return (d->type & OS_FTYPE_NO_MODE) ? d->mode2 : d->mode; }

static void desc_owner(const os_file_desc_t *d, uint32_t *uid, uint32_t *gid)
{
    *uid = d->uid;
    *gid = d->gid;
    if ((d->type & OS_FTYPE_NO_MODE) && d->uid == 0 && d->gid == 0) {
        *uid = getuid();
        *gid = getgid();
    }
}

static void desc_times(const os_file_desc_t *d, os_file_times_t *t)
{
    memset(t, 0, sizeof(*t));
    t->atime.sec = (int64_t)d->atime;
    t->mtime.sec = (int64_t)d->mtime;
    t->ctime.sec = (int64_t)d->ctime;
}

int os_path_apply_desc(const char *path, const os_file_desc_t *desc)
{
    if (!path || !desc) {
        errno = EINVAL;
        return -1;
    }
    uint32_t uid, gid;
    os_file_times_t t;
    os_chmod(path, desc_mode(desc));
    desc_owner(desc, &uid, &gid);
    os_chown(path, uid, gid);
    desc_times(desc, &t);
    return os_lutimes(path, &t);
}

int os_file_apply_desc(os_file_t *f, const os_file_desc_t *desc)
{
    if (!f || !desc) {
        errno = EINVAL;
        return -1;
    }
    uint32_t uid, gid;
    os_file_times_t t;
    os_file_fchmod(f, desc_mode(desc));
    desc_owner(desc, &uid, &gid);
    os_file_fchown(f, uid, gid);
    desc_times(desc, &t);
    return os_file_futime(f, &t) == 1 ? 0 : -1;
}
