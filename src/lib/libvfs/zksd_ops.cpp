// The "zksd" driver's file operations (open, read, write and the calls on
// an open file) and the codes of its ioctl slot, each a row of a table.
#include "libvfs/zksd_imp.h"

namespace zksd_drv {

zksd_file_times_t to_cli_times(const os_file_times_t *t)
{
    zksd_file_times_t z{};
    z.time_access = (uint64_t)t->atime.sec;
    z.time_access_ns = t->atime.nsec;
    z.time_write = (uint64_t)t->mtime.sec;
    z.time_write_ns = t->mtime.nsec;
    z.time_create = (uint64_t)t->ctime.sec;
    z.time_create_ns = t->ctime.nsec;
    return z;
}

// Before an open: a writer's path leaves the cache and stays out of it
// until the handle closes; a create or truncate changes the directory. A
// reader changes nothing: what is known of its path stays (a failed open
// drops it, in open_finish).
void open_begin(zksd_vol *v, const char *path, bool writer, bool makes)
{
    if (writer)
        vfs_mcache_writer(v->mc, path, 1);
    if (makes)
        vfs_mcache_parent_changed(v->mc, path);
}

// The end of every open: the handle is kept and counted, or the path's
// cache marks of open_begin are undone.
void *open_finish(zksd_vol *v, cli_file_ctx *f, const char *path, bool writer)
{
    zksd_fh *h = f ? new_handle(v, k_tag_file, &zksd_fh::f, f, zksd_cli_close, path, v->fcount) : nullptr;
    if (!h) {
        if (writer)
            vfs_mcache_writer(v->mc, path, -1);
        vfs_mcache_forget(v->mc, path);
        return nullptr;
    }
    h->writer = writer;
    return h;
}

// Whether file-object flags open for writing (or make or cut the file).
bool pf_writes(uint32_t pf) { return (pf & (OS_FILE_WRITE | OS_FILE_RDWR | OS_FILE_CREATE | OS_FILE_TRUNC | OS_FILE_APPEND)) != 0; }

void *vfs_zksd_open(void *m, const char *path, uint32_t pf)
{
    zksd_vol *v = (zksd_vol *)m;
    char full[PL_MAX_PATH];
    if (refused(v) || !full_path(v, path, full, true))
        return nullptr;
    bool w = pf_writes(pf);
    open_begin(v, path, w, (pf & (OS_FILE_CREATE | OS_FILE_TRUNC)) != 0);
    cli_file_ctx *f = nullptr;
    with_retry(v, [&](cli_ctx *c) { return (f = zksd_cli_open(c, full, pf)) != nullptr; });
    return open_finish(v, f, path, w);
}

void *vfs_zksd_wopen(void *m, const char *path, uint32_t access, uint32_t share, void *security,
                     uint32_t disposition, uint32_t attributes, void *templ)
{
    zksd_vol *v = (zksd_vol *)m;
    char full[PL_MAX_PATH];
    if (refused(v) || !full_path(v, path, full, true))
        return nullptr;
    // Windows-style access and disposition: taken as writing and making.
    open_begin(v, path, true, true);
    cli_file_ctx *f = nullptr;
    with_retry(v, [&](cli_ctx *c) {
        return (f = zksd_cli_wopen(c, full, (int32_t)access, (int32_t)share, security, (int32_t)disposition,
                                   (int32_t)attributes, (int64_t)(intptr_t)templ)) != nullptr;
    });
    return open_finish(v, f, path, true);
}

// Every FUSE open comes here: it reconnects as open does, so an idle mount
// whose connection dropped serves again.
void *vfs_zksd_open2(void *m, const char *path, int flags, uint32_t mode)
{
    zksd_vol *v = (zksd_vol *)m;
    char full[PL_MAX_PATH];
    if (refused(v) || !full_path(v, path, full, true))
        return nullptr;
    bool makes = (flags & (PL_O_CREAT | PL_O_TRUNC)) != 0;
    bool w = makes || (flags & (PL_O_ACCMODE | PL_O_APPEND)) != 0;
    // A create of a name that is not there makes a new, empty file (the
    // kernel creates only names its lookup found missing).
    bool fresh = false;
    if (flags & PL_O_CREAT) {
        os_file_stat_t st{};
        vperror_t err{};
        fresh = (flags & PL_O_EXCL) || vfs_mcache_get_stat(v->mc, path, false, &st, &err) == VFS_MC_ABSENT;
    }
    open_begin(v, path, w, makes);
    cli_file_ctx *f = nullptr;
    with_retry(v, [&](cli_ctx *c) { return (f = zksd_cli_open2(c, full, flags, (int32_t)mode)) != nullptr; });
    void *h = open_finish(v, f, path, w);
    if (h && fresh)
        vfs_mcache_made(v->mc, path, OS_FTYPE_FILE);
    return h;
}

int vfs_zksd_close(void *fh)
{
    zksd_fh *h = (zksd_fh *)fh;
    zksd_vol *v = h->v;
    int r = on_handle(v, [&] { return zksd_cli_close(h->f); });
    v->fcount--;
    if (h->writer) {
        vfs_mcache_writer(v->mc, h->path, -1);
        vfs_mcache_forget_stat(v->mc, h->path);
        vfs_mcache_parent_changed(v->mc, h->path);
    }
    os_free(h->path);
    h->tag = 0;
    os_free(h);
    return r;
}

// A reader's blocks are asked for ahead, a writer's sent without waiting
// for their replies (zksd_cli.h): a writer's reads go one at a time, as what
// is read ahead of a file being written may be older than its writes.
int64_t vfs_zksd_read(void *fh, void *buf, uint64_t len, int64_t off)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] {
        return h->writer ? zksd_cli_read(h->f, buf, (int64_t)len, off)
                         : zksd_cli_read_ahead(h->f, buf, (int64_t)len, off);
    });
}

int64_t vfs_zksd_write(void *fh, const void *buf, uint64_t len, int64_t off)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    int64_t r = on_handle(h->v, [&] { return zksd_cli_write_behind(h->f, buf, (int64_t)len, off); });
    vfs_mcache_wrote(h->v->mc, h->path);
    return r;
}

// close(2) of a descriptor: the replies of the file's writes in flight are
// read, and a failure among them is reported here. Like the close it is not
// refused when the volume needs a reopen: a file with nothing in flight has
// nothing to report, one with writes in flight reports them lost.
int vfs_zksd_flush(void *fh)
{
    zksd_fh *h = (zksd_fh *)fh;
    return on_handle(h->v, [&] { return zksd_cli_flush(h->f); });
}

int vfs_zksd_fsync(void *fh)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] { return zksd_cli_fsync(h->f); });
}

int64_t vfs_zksd_lseek(void *fh, int64_t off, int whence)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] { return zksd_cli_lseek(h->f, off, whence); });
}

// An fstat is the stat of the handle's path, so what the window knows of
// the path answers it (for a writer's path, only a stat reply that came
// after its last write).
int vfs_zksd_fstat(void *fh, os_file_stat_t *st)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    vperror_t err{};
    int r = 0;
    if (vfs_mcache_get_stat(h->v->mc, h->path, true, st, &err) != VFS_MC_HIT)
        r = on_handle(h->v, [&] { return zksd_cli_fstat(h->f, st); });
    // A reader's blocks are asked for ahead up to the size it was told.
    if (r == 0 && !h->writer)
        on_handle(h->v, [&] { zksd_cli_read_ahead_limit(h->f, (int64_t)st->size); return 0; });
    return r;
}

int vfs_zksd_ftruncate(void *fh, int64_t size)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    int r = on_handle(h->v, [&] { return zksd_cli_ftruncate(h->f, size); });
    vfs_mcache_forget_stat(h->v->mc, h->path);
    return r;
}

int vfs_zksd_futime(void *fh, const os_file_times_t *times)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    zksd_file_times_t t = to_cli_times(times);
    int r = on_handle(h->v, [&] { return zksd_cli_futime(h->f, &t); });
    vfs_mcache_forget_stat(h->v->mc, h->path);
    return r;
}

int vfs_zksd_flock(void *fh, int32_t type, uint64_t off, uint64_t len)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] { return zksd_cli_flock(h->f, (uint32_t)type, off, len); });
}

// ---- path and handle codes ----------------------------------------------------------------

// The volume of a volume or file handle; NULL (logged, -1 for the caller)
// for anything else.
zksd_vol *get_vol_ctx(void *hd)
{
    uint64_t t = tag_of(hd);
    if (t == k_tag_vol)
        return (zksd_vol *)hd;
    if (t == k_tag_file)
        return ((zksd_fh *)hd)->v;
    LOG_ERR(VFS_TAG, "handle=%p invalid\n", hd);
    return nullptr;
}

int64_t unsupported(int code)
{
    LOG_ERR(VFS_TAG, "unspport cmd=%d\n", code);
    VFS_SET_ERROR(VERR_NOT_SUPPORTED, "unspport cmd=%d", code);
    return -1;
}

// An attribute answer (value, list or failure) given out by the caller's
// buffer rules: size 0 asks only for the length; a value longer than size
// is refused with ERANGE.
// ---- the codes' table -------------------------------------------------------------------

// What a path code's request may have changed, dropped from the cache once
// it is answered (a failed request included: it may have done part).
enum drops {
    DROP_NONE,
    DROP_ATTR_IF_FAILED, // a failure may mean the cached entry is out of date
    DROP_STAT,           // changed(CH_STAT)
    DROP_ATTR,           // changed(CH_ATTR)
    DROP_NAME,           // changed(CH_NAME)
    DROP_TREE,           // changed(CH_TREE)
    DROP_GONE,           // a removal: gone when it succeeded, else DROP_TREE
    DROP_FOLLOWED,       // changed_follow: the call follows a final link
};

// After a path code's request (r its result): drops what d says.
void drop(zksd_vol *v, const char *path, drops d, int64_t r)
{
    if (d == DROP_FOLLOWED)
        changed_follow(v, path);
    else if (d == DROP_STAT)
        changed(v, path, CH_STAT);
    else if (d == DROP_ATTR || (d == DROP_ATTR_IF_FAILED && r < 0))
        changed(v, path, CH_ATTR);
    else if (d == DROP_NAME || d == DROP_TREE || d == DROP_GONE)
        changed(v, path, d == DROP_NAME ? CH_NAME : CH_TREE);
    if (d == DROP_GONE && r == 0)
        vfs_mcache_removed(v->mc, path);
}

// f(full) with path joined to the root into full (PL_MAX_PATH bytes on the
// stack); -1 when the path is refused (the thread's record says why).
template <class F>
int64_t joined(zksd_vol *v, const char *path, F f)
{
    char full[PL_MAX_PATH];
    if (!full_path(v, path, full, false))
        return -1;
    return f(full);
}

// Joins path to the root, runs call(c, full) on the client and drops what
// d says. -1 with nothing sent (and nothing dropped) when the path is
// refused; otherwise the call's result.
template <class F>
int64_t path_call(zksd_vol *v, const char *path, drops d, F call)
{
    return joined(v, path, [&](char *full) {
        int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return call(c, full); });
        drop(v, path, d, r);
        return r;
    });
}

// false, with "<what> missing" recorded, for a field of a record left NULL.
bool present(const void *field, const char *what)
{
    if (field)
        return true;
    VFS_SET_ERROR(VERR_INVALID_PARAMETER, "%s missing", what);
    return false;
}

// A row's handler: the volume, the argument record (not NULL) and its length.
using vol_fn = int64_t (*)(zksd_vol *v, void *arg, int64_t len);

// The handler of a code on the path field of its record A:
// Call(client, joined path, record), then drop D.
template <class A, drops D, auto Call>
int64_t path_op(zksd_vol *v, void *arg, int64_t)
{
    const A &a = *(const A *)arg;
    return path_call(v, a.path, D, [&](cli_ctx *c, const char *full) { return Call(c, full, a); });
}

// The handler of a code whose argument is the path itself: Call(client,
// joined path), then drop D.
template <drops D, auto Call>
int64_t name_op(zksd_vol *v, void *arg, int64_t)
{
    return path_call(v, (const char *)arg, D, Call);
}

// The handler of a code that joins nothing: Call(client, record A).
template <class A, auto Call>
int64_t call_op(zksd_vol *v, void *arg, int64_t)
{
    A &a = *(A *)arg;
    return (int64_t)plain(v, [&](cli_ctx *c) { return Call(c, a); });
}

// A server ioctl that takes the caller's buffer and length as they are.
template <int Ioc>
int64_t pass_op(zksd_vol *v, void *arg, int64_t len)
{
    return (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_ioctl(c, Ioc, arg, (int)len); });
}

int64_t get_os_type_op(zksd_vol *v, void *arg, int64_t)
{
    return (int64_t)plain(v, [&](cli_ctx *c) {
        int t = 0;
        int r = zksd_cli_get_os_type(c, &t);
        *(uint32_t *)arg = (uint32_t)t;
        return r;
    });
}

// The old mask is given out only on success.
int64_t umask_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_umask_t *)arg;
    unsigned old = 0;
    int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_umask(c, a->mask, &old); });
    if (r == 0 && a->old)
        *a->old = old;
    return r;
}

// Both paths are joined before anything is sent.
bool join2(zksd_vol *v, const char *from, const char *to, char *full, char *full2)
{
    return full_path(v, from, full, false) && full_path(v, to, full2, false);
}

int64_t link_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_2path_t *)arg;
    char full[PL_MAX_PATH], full2[PL_MAX_PATH];
    if (!join2(v, a->from, a->to, full, full2))
        return -1;
    int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_link(c, full, full2); });
    changed(v, a->from, CH_STAT); // its link count
    changed(v, a->to, CH_NAME);
    return r;
}

// A directory made is empty: the names in it are missing without a listing.
int64_t mkdir_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_path_u32_t *)arg;
    int64_t r = path_call(v, a->path, DROP_NAME,
                          [&](cli_ctx *c, const char *full) { return zksd_cli_mkdir(c, full, a->value); });
    if (r == 0)
        vfs_mcache_made(v->mc, a->path, OS_FTYPE_DIR);
    return r;
}

// The target is stored as given: it is the link's text, not a path here.
int64_t symlink_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_2path_t *)arg;
    if (!present(a->from, "target"))
        return -1;
    return path_call(v, a->to, DROP_NAME,
                     [&](cli_ctx *c, const char *full) { return zksd_cli_symlink(c, a->from, full); });
}

int64_t rename_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_rename_t *)arg;
    char full[PL_MAX_PATH], full2[PL_MAX_PATH];
    if (!join2(v, a->from, a->to, full, full2))
        return -1;
    // The old name is gone after the rename unless both names were of one
    // file (a rename that does nothing): known only when the window holds
    // the old name and says the new one is missing or another file.
    os_file_stat_t fs{}, ts{};
    vperror_t e1{}, e2{};
    bool moves = vfs_mcache_get_stat(v->mc, a->from, false, &fs, &e1) == VFS_MC_HIT;
    if (moves) {
        int th = vfs_mcache_get_stat(v->mc, a->to, false, &ts, &e2);
        moves = th == VFS_MC_ABSENT ||
                (th == VFS_MC_HIT && fs.ino != 0 && ts.ino != 0 && (fs.ino != ts.ino || fs.dev != ts.dev));
    }
    int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_rename(c, full, full2, a->replace); });
    changed(v, a->from, CH_TREE);
    changed(v, a->to, CH_TREE);
    if (r == 0)
        vfs_mcache_writers_renamed(v->mc, a->from, a->to);
    if (r == 0 && moves)
        vfs_mcache_removed(v->mc, a->from);
    return r;
}

int64_t readlink_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_readlink_t *)arg;
    if (!a->buf || a->size == 0) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "buffer missing");
        return -1;
    }
    return path_call(v, a->path, DROP_ATTR_IF_FAILED,
                     [&](cli_ctx *c, const char *full) { return zksd_cli_readlink(c, full, a->buf, (size_t)a->size); });
}

// stat (Follow) and lstat, through the cache.
template <bool Follow>
int64_t stat_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_stat_t *)arg;
    if (!present(a->st, "stat record"))
        return -1;
    return joined(v, a->path, [&](const char *full) { return stat_cached(v, a->path, full, a->st, Follow); });
}

// utime (follows a final link) and utimens: Call(client, joined path, times).
template <drops D, auto Call>
int64_t times_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_times_t *)arg;
    if (!present(a->times, "times"))
        return -1;
    zksd_file_times_t t = to_cli_times(a->times);
    return path_call(v, a->path, D, [&](cli_ctx *c, const char *full) { return Call(c, full, &t); });
}

int64_t getxattr_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_xattr_t *)arg;
    return joined(v, a->path,
                  [&](const char *full) { return getxattr_cached(v, a->path, full, a->name, a->value, a->size); });
}

int64_t listxattr_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_listxattr_t *)arg;
    return joined(v, a->path, [&](const char *full) { return listxattr_cached(v, a->path, full, a->list, a->size); });
}

struct vol_code {
    int code;
    vol_fn run;
};

// The path codes (on a volume or on a file handle's volume). A path that
// would leave the root is refused before anything is sent.
constexpr vol_code k_vol_codes[] = {
    {VFS_IOC_STATVFS, path_op<vfs_ioc_statvfs_t, DROP_NONE, [](auto c, auto full, auto &a) {
         return zksd_cli_statvfs(c, full, a.out); }>},
    {VFS_IOC_GETCWD, pass_op<ZKSD_IOC_GETCWD>},
    {VFS_IOC_CHDIR, pass_op<ZKSD_IOC_CHDIR>},
    {VFS_IOC_GET_OS_TYPE, get_os_type_op},
    {VFS_IOC_VOLUME_INFO, path_op<vfs_ioc_volinfo_t, DROP_NONE, [](auto c, auto full, auto &a) {
         return zksd_cli_statfs(c, full, a.vi); }>},
    {VFS_IOC_UMASK, umask_op},
    {VFS_IOC_ACCESS, path_op<vfs_ioc_path_u32_t, DROP_ATTR_IF_FAILED, [](auto c, auto full, auto &a) {
         return zksd_cli_access(c, full, a.value); }>},
    {VFS_IOC_CREATE_FILE, name_op<DROP_NAME, [](auto c, auto full) {
         return zksd_cli_ioctl(c, ZKSD_IOC_CREATE_FILE, full, -1); }>},
    {VFS_IOC_MKDIR_DEFAULT, name_op<DROP_NAME, [](auto c, auto full) {
         return zksd_cli_ioctl(c, ZKSD_IOC_CREATE_DIR, full, -1); }>},
    {VFS_IOC_MKDIR, mkdir_op},
    {VFS_IOC_MKNOD, path_op<vfs_ioc_mknod_t, DROP_NAME, [](auto c, auto full, auto &a) {
         return zksd_cli_mknod(c, full, a.mode, a.dev); }>},
    {VFS_IOC_MKFIFO, path_op<vfs_ioc_path_u32_t, DROP_NAME, [](auto c, auto full, auto &a) {
         return zksd_cli_mkfifo(c, full, a.value); }>},
    {VFS_IOC_LINK, link_op},
    {VFS_IOC_SYMLINK, symlink_op},
    {VFS_IOC_RMDIR, name_op<DROP_GONE, [](auto c, auto full) { return zksd_cli_rmdir(c, full); }>},
    {VFS_IOC_UNLINK, name_op<DROP_GONE, [](auto c, auto full) { return zksd_cli_unlink(c, full); }>},
    {VFS_IOC_RENAME, rename_op},
    {VFS_IOC_READLINK, readlink_op},
    {VFS_IOC_STAT, stat_op<true>},
    {VFS_IOC_LSTAT, stat_op<false>},
    {VFS_IOC_RMDIR2, path_op<vfs_ioc_path_flag_t, DROP_GONE, [](auto c, auto full, auto &a) {
         return zksd_cli_rmdir2(c, full, a.flag); }>},
    {VFS_IOC_REMOVE2, path_op<vfs_ioc_path_flag_t, DROP_GONE, [](auto c, auto full, auto &a) {
         return zksd_cli_remove2(c, full, a.flag); }>},
    {VFS_IOC_SET_ATTRIB, path_op<vfs_ioc_path_u32_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_set_attrib(c, full, a.value); }>},
    {VFS_IOC_TRUNCATE, path_op<vfs_ioc_truncate_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_truncate(c, full, (long)a.size); }>},
    {VFS_IOC_CHMOD, path_op<vfs_ioc_path_u32_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_chmod(c, full, a.value); }>},
    {VFS_IOC_LCHMOD, path_op<vfs_ioc_path_u32_t, DROP_STAT, [](auto c, auto full, auto &a) {
         return zksd_cli_lchmod(c, full, a.value); }>},
    {VFS_IOC_CHOWN, path_op<vfs_ioc_chown_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_chown(c, full, a.uid, a.gid); }>},
    {VFS_IOC_LCHOWN, path_op<vfs_ioc_chown_t, DROP_STAT, [](auto c, auto full, auto &a) {
         return zksd_cli_lchown(c, full, a.uid, a.gid); }>},
    {VFS_IOC_UTIME, times_op<DROP_FOLLOWED, zksd_cli_utime>},
    {VFS_IOC_UTIMENS, times_op<DROP_STAT, zksd_cli_utimens>},
    {VFS_IOC_CHDIR_MT, call_op<vfs_ioc_chdir_t, [](auto c, auto &a) {
         return zksd_cli_chdir_mt(c, a.cwd, (size_t)a.size, a.path); }>},
    {VFS_IOC_REALPATH_MT, call_op<vfs_ioc_realpath_t, [](auto c, auto &a) {
         return zksd_cli_realpath_mt(c, a.cwd, a.path, a.out, (size_t)a.size); }>},
    {VFS_IOC_GETXATTR, getxattr_op},
    {VFS_IOC_SETXATTR, path_op<vfs_ioc_xattr_t, DROP_ATTR, [](auto c, auto full, auto &a) {
         return zksd_cli_setxattr(c, full, a.name, a.value, (size_t)a.size, (int32_t)a.flags); }>},
    {VFS_IOC_REMOVEXATTR, path_op<vfs_ioc_xattr_t, DROP_ATTR, [](auto c, auto full, auto &a) {
         return zksd_cli_removexattr(c, full, a.name); }>},
    {VFS_IOC_LISTXATTR, listxattr_op},
};
static_assert(vfs_codes_unique(k_vol_codes));

// A file-handle row's handler: the handle and the argument record (not NULL).
using file_fn = int64_t (*)(zksd_fh *fh, void *arg);

// The handler of a file-handle code: Call(client file, record A); the
// file's cached stat record goes.
template <class A, auto Call>
int64_t handle_op(zksd_fh *fh, void *arg)
{
    const A &a = *(const A *)arg;
    int64_t r = on_handle(fh->v, [&] { return Call(fh->f, a); });
    changed(fh->v, fh->path, CH_STAT);
    return r;
}

// The new name is the server's to resolve: nothing in the cache is sure.
int64_t frename_op(zksd_fh *fh, void *arg)
{
    auto *a = (vfs_ioc_frename_t *)arg;
    int64_t r = on_handle(fh->v, [&] { return zksd_cli_frename(fh->f, a->name, a->replace); });
    vfs_mcache_clear(fh->v->mc);
    return r;
}

struct file_code {
    int code;
    file_fn run;
};

// The codes on a file handle.
constexpr file_code k_file_codes[] = {
    {VFS_IOC_FRENAME, frename_op},
    {VFS_IOC_FCHMOD, handle_op<vfs_ioc_path_u32_t, [](auto f, auto &a) { return zksd_cli_fchmod(f, a.value); }>},
    {VFS_IOC_FCHOWN, handle_op<vfs_ioc_chown_t, [](auto f, auto &a) { return zksd_cli_fchown(f, a.uid, a.gid); }>},
    {VFS_IOC_SET_DELETE_ON_CLOSE, handle_op<uint8_t, [](auto f, auto &a) {
         return zksd_cli_set_delete_on_close(f, a); }>},
};
static_assert(vfs_codes_unique(k_file_codes));

// A path code runs on the volume of a volume or file handle; a file-handle
// code only on a file handle.
int64_t dispatch(zksd_vol *v, void *hd, int code, void *arg, int64_t len)
{
    if (const file_code *fc = vfs_code_row(k_file_codes, code))
        return tag_of(hd) == k_tag_file ? fc->run((zksd_fh *)hd, arg) : unsupported(code);
    if (const vol_code *vc = vfs_code_row(k_vol_codes, code))
        return vc->run(v, arg, len);
    return unsupported(code);
}

int64_t vfs_zksd_ioctl(void *hd, int code, void *arg, int64_t len)
{
    zksd_vol *v = get_vol_ctx(hd);
    if (!v) {
        VFS_SET_ERROR(VERR_INVALID_HANDLE, "handle=%p invalid", hd);
        return -1;
    }
    // The activity time and the flag are read by the heartbeat: they never
    // touch the calling thread's record, and like every other code they wait
    // while a request is in progress.
    if (code == VFS_IOC_LAST_ACTIVITY || code == VFS_IOC_NEED_REOPEN) {
        if (!arg)
            return -1;
        vol_lock g(v, true);
        if (code == VFS_IOC_LAST_ACTIVITY)
            *(uint64_t *)arg = v->last_activity.load();
        else
            *(uint32_t *)arg = v->need_reopen.load();
        return 0;
    }
    if (refused(v))
        return -1;
    if (!arg) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "argument missing");
        return -1;
    }
    return dispatch(v, hd, code, arg, len);
}

} // namespace zksd_drv
