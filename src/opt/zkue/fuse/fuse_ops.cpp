// The FUSE operations: each answers one kernel request by calling the
// virtual file system on g_vfs_handle (or on the handle kept in the request's
// file information), logs one line with its timing and error, and returns
// 0 or a count, or minus a POSIX error number. All run on the one thread of
// the request loop.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "libfuse2/src/help.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/os/posix/os_xattr.h"
#include "libpal/string/str_num.h"
#include "libpal/vfile/os_file_flag.h"
#include "libvfs/libvfs.h"
#include "liblog/log2.h"
#include "zkue/fuse/myfuse.h"

#define TAG "zkue"
#define SRC "src/opt/zkue/fuse/myfuse"
#define FLOG(lvl, ...) log2_printf(nullptr, (unsigned)(lvl), TAG, SRC, __LINE__, __func__, __VA_ARGS__)

uint32_t g_fuse_trace;
uint32_t g_fuse_umask = 022;
uint32_t g_fuse_serving;

namespace {

// 1 when the request's caller belongs to group gid.
int caller_in_group(uint32_t gid)
{
    gid_t few[32];
    int n = fuse_getgroups(32, few);
    const gid_t *g = few;
    std::vector<gid_t> many;
    if (n > 32) {
        many.resize((size_t)n);
        int m = fuse_getgroups(n, many.data());
        n = m > n ? n : m;
        g = many.data();
    }
    for (int i = 0; i < n; i++)
        if (g[i] == gid)
            return 1;
    return 0;
}

// For the scope of a request that creates a node: the request's caller, to
// whom a local mount gives what it makes.
struct caller_scope {
    os_owner_t owner{};
    caller_scope()
    {
        if (!g_fuse_serving)
            return;
        const struct fuse_context *c = fuse_get_context();
        owner = {(uint32_t)c->uid, (uint32_t)c->gid, caller_in_group, 0};
        vfs_set_caller(&owner);
    }
    ~caller_scope() { vfs_set_caller(nullptr); }
    caller_scope(const caller_scope &) = delete;
    caller_scope &operator=(const caller_scope &) = delete;
};

// The POSIX error number of the last failure; EIO when none was given, so
// that a failure never reaches the kernel as success.
int vfs_errno_or_eio(const void *h)
{
    int eno = vfs_errno(h);
    return eno > 0 ? eno : EIO;
}

// One operation's bookkeeping: start time, the level of its line, the time
// text, and the error shown and returned.
struct op_t {
    uint64_t start;
    int level = LOG2_VERB;
    int code = 0;          // status code shown
    const char *text = ""; // its text
    int eno = 0;           // POSIX error number returned (negated)
    char tbuf[128];

    op_t() : start((g_fuse_trace & MYFUSE_TRACE_TIME) ? os_clock_ms() : UINT64_MAX) {}

    // After the call: `failed` decides the error fields; `counts` whether
    // the failure raises the level (a missing name does not).
    void end(const void *h, bool failed, bool counts = true)
    {
        if (failed) {
            code = vfs_errcode(h);
            text = vfs_errstr(h);
            eno = vfs_errno_or_eio(h);
        } else {
            code = 0;
            text = "ok";
            eno = 0;
        }
        level = log2_elapsed_level(g_fuse_trace & MYFUSE_TRACE_TIME, failed && counts, &start, LOG2_DBG, LOG2_VERB);
        str_fmt_ms(start, tbuf, sizeof(tbuf));
    }
    // Treat the failure as success (the caller decided it is harmless).
    void forgive()
    {
        code = 0;
        text = "ok";
        eno = 0;
        if (level == LOG2_ERR)
            level = (g_fuse_trace & MYFUSE_TRACE_TIME) ? LOG2_DBG : LOG2_VERB;
    }
    int ret() const { return -eno; }
};

// The daemon's mode mask cuts bits the caller asked for; a new file, directory
// or node must carry exactly the requested permissions, so they are set again
// when the mask touched them. Special bits the file system added on its own
// (a directory's set-group-id inherited from its parent) are kept.
void create_mode_fix(const char *path, vfs_handle *h, uint32_t mode, const caller_scope &who)
{
    // A driver that made the node for its caller gave it exactly this mode
    // (or found it there and left it alone).
    if (who.owner.used)
        return;
    uint32_t perm = mode & 07777;
    if (!(perm & g_fuse_umask))
        return;
    int r;
    if (h) {
        r = vfs_fchmod(h, perm);
    } else {
        os_file_stat_t st{};
        if (vfs_lstat(g_vfs_handle, path, &st) < 0)
            return;
        if ((st.mode & 07777) == perm)
            return;
        r = vfs_chmod(g_vfs_handle, path, (st.mode & 07000) | perm);
    }
    if (r < 0)
        FLOG(LOG2_DBG, "path=[%s] mode=[0%o] set mode failed: %s", path, perm, vfs_errstr(g_vfs_handle));
}

void stat_dump(const struct stat *st)
{
    FLOG(LOG2_DBG, "st_dev=%u st_ino=%llu mode=0x%x sd_nlink=%llu\n", (unsigned)st->st_dev,
         (unsigned long long)st->st_ino, (unsigned)st->st_mode, (unsigned long long)st->st_nlink);
    FLOG(LOG2_DBG, "uid=%u gid=%u st_rdev=%llu st_size=%llu\n", (unsigned)st->st_uid, (unsigned)st->st_gid,
         (unsigned long long)st->st_rdev, (unsigned long long)st->st_size);
    FLOG(LOG2_DBG, "st_blksize=%llu st_blocks=%llu\n", (unsigned long long)st->st_blksize,
         (unsigned long long)st->st_blocks);
}

vfs_handle *fh_of(const struct fuse_file_info *fi) { return fi ? (vfs_handle *)(uintptr_t)fi->fh : nullptr; }

// FUSE open flags -> portable open flags. The kernel adds its large-file bit
// to every open; it has no portable meaning.
int fuse_oflag_2_pl(int flags) { return os_oflag_2_pl(flags & ~fuse_kernel_largefile()); }

// Directory context of an open directory.
struct dir_ctx {
    vfs_handle *dir;
    os_dir_entry_t *pending; // read but not yet taken by the kernel's buffer
    int64_t offset;          // position after the last entry taken
};

// ---- path operations ----------------------------------------------------------------

int xmp_getattr(const char *path, struct stat *stbuf)
{
    op_t op;
    os_file_stat_t st{};
    int r = vfs_lstat(g_vfs_handle, path, &st);
    bool failed = r < 0;
    // Looking up names that do not exist is what the kernel does all day.
    op.end(g_vfs_handle, failed, !(failed && vfs_errno(g_vfs_handle) == ENOENT));
    FLOG(op.level, "path=[%s] time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    if (failed)
        return op.ret();
    os_stat_2_posix(&st, stbuf);
    if (g_fuse_trace & MYFUSE_TRACE_DUMP)
        stat_dump(stbuf);
    return 0;
}

int xmp_fgetattr(const char *path, struct stat *stbuf, struct fuse_file_info *fi)
{
    op_t op;
    vfs_handle *h = fh_of(fi);
    os_file_stat_t st{};
    int r = vfs_fstat(h, &st);
    op.end(h, r < 0);
    FLOG(op.level, "path=[%s] time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    if (r < 0)
        return op.ret();
    os_stat_2_posix(&st, stbuf);
    if (g_fuse_trace & MYFUSE_TRACE_DUMP)
        stat_dump(stbuf);
    return 0;
}

int xmp_readlink(const char *path, char *buf, size_t size)
{
    if (size < 2)
        return -EINVAL;
    op_t op;
    int64_t r = vfs_readlink(g_vfs_handle, path, buf, size - 1);
    op.end(g_vfs_handle, r < 0);
    if (r < 0)
        buf[0] = '\0';
    FLOG(op.level, "path=[%s] link=[%s] time=[%s] eno=%d [%s]", path, buf, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_mknod(const char *path, mode_t mode, dev_t rdev)
{
    caller_scope who;
    op_t op;
    int r;
    if (S_ISFIFO(mode)) {
        r = vfs_mkfifo(g_vfs_handle, path, mode);
        op.end(g_vfs_handle, r < 0);
        FLOG(op.level, "mkfifo path=[%s] mode=[0%o] time=[%s] eno=%d [%s]", path, (unsigned)mode, op.tbuf, op.code,
             op.text);
    } else {
        r = vfs_mknod(g_vfs_handle, path, mode, rdev);
        op.end(g_vfs_handle, r < 0);
        FLOG(op.level, "mknod path=[%s] mode=[0%o] rdev=%u time=[%s] eno=%d [%s]", path, (unsigned)mode,
             (unsigned)rdev, op.tbuf, op.code, op.text);
    }
    if (r < 0)
        return op.ret();
    create_mode_fix(path, nullptr, mode, who);
    return 0;
}

int xmp_mkdir(const char *path, mode_t mode)
{
    caller_scope who;
    op_t op;
    int r = vfs_mkdir(g_vfs_handle, path, mode);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=[%s] mode=[0%o] time=[%s] eno=%d [%s]", path, (unsigned)mode, op.tbuf, op.code, op.text);
    if (r < 0)
        return op.ret();
    create_mode_fix(path, nullptr, mode, who);
    return 0;
}

int xmp_unlink(const char *path)
{
    op_t op;
    int r = vfs_unlink(g_vfs_handle, path);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=[%s] time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_rmdir(const char *path)
{
    op_t op;
    int r = vfs_rmdir(g_vfs_handle, path);
    op.end(g_vfs_handle, r < 0);
    // A directory that still holds files is an answer, not a fault.
    if (r < 0 && op.code == VERR_DIR_NOT_EMPTY)
        op.level = (g_fuse_trace & MYFUSE_TRACE_TIME) ? LOG2_ERR : LOG2_VERB;
    FLOG(op.level, "path=[%s] time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_symlink(const char *from, const char *to)
{
    caller_scope who;
    op_t op;
    int r = vfs_symlink(g_vfs_handle, from, to);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "from=[%s] to=[%s] time=[%s] eno=%d [%s]", from, to, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_rename(const char *from, const char *to)
{
    op_t op;
    int r = vfs_rename(g_vfs_handle, from, to, 1);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "from=[%s] to=[%s] time=[%s] eno=%d [%s]", from, to, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_link(const char *from, const char *to)
{
    op_t op;
    int r = vfs_link(g_vfs_handle, from, to);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "from=[%s] to=[%s] time=[%s] eno=%d [%s]", from, to, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_chmod(const char *path, mode_t mode)
{
    op_t op;
    int r = vfs_chmod(g_vfs_handle, path, mode);
    op.end(g_vfs_handle, r < 0);
    // Sources without modes: copying tools (cp -p, tar) must not fail on them.
    if (r < 0 && op.code == VERR_NOT_SUPPORTED) {
        op.forgive();
        r = 0;
    }
    FLOG(op.level, "path=[%s] mode=[0%o] time=[%s] eno=%d [%s]", path, (unsigned)mode, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_chown(const char *path, uid_t uid, gid_t gid)
{
    op_t op;
    int r = vfs_lchown(g_vfs_handle, path, uid, gid);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=[%s] uid=%u gid=%u time=[%s] eno=%d [%s]", path, (unsigned)uid, (unsigned)gid, op.tbuf,
         op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_truncate(const char *path, off_t size)
{
    if (size < 0)
        return -EINVAL;
    op_t op;
    int r = vfs_truncate(g_vfs_handle, path, (uint64_t)size);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=[%s] len=%li time=[%s] eno=%d [%s]", path, (long)size, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_ftruncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    if (size < 0)
        return -EINVAL;
    op_t op;
    vfs_handle *h = fh_of(fi);
    // Through the handle, so that writes it still holds land first and
    // cannot overtake the truncation.
    int r = vfs_ftruncate(h, size);
    op.end(h, r < 0);
    FLOG(op.level, "path=[%s] len=%li time=[%s] eno=%d [%s]", path, (long)size, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_open(const char *path, struct fuse_file_info *fi)
{
    op_t op;
    int pflags = fuse_oflag_2_pl(fi->flags);
    vfs_handle *h = vfs_open2(g_vfs_handle, path, pflags, 0);
    op.end(g_vfs_handle, !h);
    FLOG(op.level, "path=%s flag=0x%x pflag=0x%x time=[%s] eno=%d [%s]", path, (unsigned)fi->flags, (unsigned)pflags,
         op.tbuf, op.code, op.text);
    if (!h)
        return op.ret();
    fi->fh = (uint64_t)(uintptr_t)h;
    return 0;
}

int xmp_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    caller_scope who;
    op_t op;
    int pflags = fuse_oflag_2_pl(fi->flags);
    vfs_handle *h = vfs_open2(g_vfs_handle, path, pflags, mode);
    op.end(g_vfs_handle, !h);
    FLOG(op.level, "path=%s flag=0x%x pflag=0x%x time=[%s] eno=%d [%s]", path, (unsigned)fi->flags, (unsigned)pflags,
         op.tbuf, op.code, op.text);
    if (!h)
        return op.ret();
    fi->fh = (uint64_t)(uintptr_t)h;
    create_mode_fix(path, h, mode, who);
    return 0;
}

int xmp_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    op_t op;
    vfs_handle *h = fh_of(fi);
    int64_t r = vfs_read(h, buf, size, offset);
    op.end(h, r < 0);
    FLOG(op.level, "path=%s off=%lld len=%zux ret=%d time=[%s] eno=%d [%s]", path, (long long)offset, size, (int)r,
         op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : (int)r;
}

int xmp_write(const char *path, const char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    op_t op;
    vfs_handle *h = fh_of(fi);
    int64_t r = vfs_write(h, buf, size, offset);
    op.end(h, r < 0);
    FLOG(op.level, "path=%s off=%lld len=%zux ret=%d time=[%s] eno=%d [%s]", path, (long long)offset, size, (int)r,
         op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : (int)r;
}

int xmp_statfs(const char *path, struct statvfs *stbuf)
{
    op_t op;
    uint64_t w[11] = {};
    int r = vfs_statvfs(g_vfs_handle, path, w);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=%s time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    if (r < 0)
        return op.ret();
    os_statfs_t rec;
    static_assert(sizeof(rec) == sizeof(w), "eleven 64-bit figures");
    memcpy(&rec, w, sizeof(rec));
    os_statfs_2_posix(&rec, stbuf);
    return 0;
}

int xmp_fsync(const char *path, int, struct fuse_file_info *fi)
{
    op_t op;
    vfs_handle *h = fh_of(fi);
    int r = vfs_fsync(h);
    op.end(h, r < 0);
    FLOG(op.level, "path=%s time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_setxattr(const char *path, const char *name, const char *value, size_t size, int flags)
{
    op_t op;
    int r = vfs_setxattr(g_vfs_handle, path, name, value, size, (uint32_t)os_setxattr_flag_2_pl(flags));
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=%s name=[%s] oflags=0x%x time=[%s] eno=%d [%s]", path, name, (unsigned)flags, op.tbuf,
         op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

// Answers that only say "no such attribute" or "no attributes here" (a
// source without any answers ENOSYS, after which the kernel stops asking).
bool xattr_absent(int eno) { return eno == ENODATA || eno == EOPNOTSUPP || eno == ENOENT || eno == ENOSYS; }

int xmp_getxattr(const char *path, const char *name, char *value, size_t size)
{
    op_t op;
    int64_t r = vfs_getxattr(g_vfs_handle, path, name, value, size);
    bool failed = r < 0;
    // Tools ask for attributes that are mostly absent (ACLs, labels); such an
    // answer is returned as it is, but it is not a fault worth an err line.
    op.end(g_vfs_handle, failed, !(failed && xattr_absent(vfs_errno(g_vfs_handle))));
    FLOG(op.level, "path=%s name=[%s] time=[%s] eno=%d [%s]", path, name, op.tbuf, op.code, op.text);
    return failed ? op.ret() : (int)r;
}

int xmp_listxattr(const char *path, char *list, size_t size)
{
    op_t op;
    int64_t r = vfs_listxattr(g_vfs_handle, path, list, size);
    bool failed = r < 0;
    int eno = failed ? vfs_errno(g_vfs_handle) : 0;
    // A source without attributes truthfully has an empty list; anything
    // else (a missing file included) is an error.
    bool empty = failed && (eno == ENODATA || eno == EOPNOTSUPP);
    op.end(g_vfs_handle, failed, !empty);
    if (empty) {
        op.forgive();
        r = 0;
        failed = false;
    }
    FLOG(op.level, "path=[%s] time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    return failed ? op.ret() : (int)r;
}

int xmp_removexattr(const char *path, const char *name)
{
    if (g_fuse_trace & MYFUSE_TRACE_TIME)
        FLOG(LOG2_DBG, "path=[%s] name=[%s]", path, name);
    op_t op;
    int r = vfs_removexattr(g_vfs_handle, path, name);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=%s name=[%s] time=[%s] eno=%d [%s]", path, name, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_access(const char *path, int mask)
{
    op_t op;
    int r = vfs_access(g_vfs_handle, path, (uint32_t)mask);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=[%s] mask=0%o time=[%s] eno=%d [%s]", path, (unsigned)mask, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_utimens(const char *path, const struct timespec tv[2])
{
    op_t op;
    // The nanoseconds go through as they are: the virtual file system turns
    // UTIME_NOW into the clock and UTIME_OMIT into the file's own time. The
    // creation time is left alone.
    os_file_times_t t{};
    t.atime = {(int64_t)tv[0].tv_sec, (uint32_t)tv[0].tv_nsec};
    t.mtime = {(int64_t)tv[1].tv_sec, (uint32_t)tv[1].tv_nsec};
    int r = vfs_utimens(g_vfs_handle, path, &t);
    op.end(g_vfs_handle, r < 0);
    FLOG(op.level, "path=[%s] time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

// ---- handles ---------------------------------------------------------------------------

// close(2) of every descriptor: what the handle still holds is written out
// now, so that a failed write is reported to the closing program.
int xmp_flush(const char *path, struct fuse_file_info *fi)
{
    op_t op;
    vfs_handle *h = fh_of(fi);
    int r = vfs_flush(h);
    op.end(h, r < 0);
    FLOG(op.level, "path=%s time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    return r < 0 ? op.ret() : 0;
}

int xmp_release_i(const char *path, struct fuse_file_info *fi)
{
    uint64_t start = os_clock_ms();
    if (g_fuse_trace & MYFUSE_TRACE_TIME)
        FLOG(LOG2_DBG, "==>\n");
    vfs_handle *h = fh_of(fi);
    // The handle is closed and freed whatever happens; a failure here can
    // no longer reach the program (flush already reported it).
    if (vfs_close(h) < 0)
        FLOG(LOG2_ERR, "path=%s close failed: %d [%s]", path, vfs_errcode(g_vfs_handle), vfs_errstr(g_vfs_handle));
    if (fi)
        fi->fh = 0;
    fuse_time_use_check(start, path, "xmp_release");
    return 0;
}

int xmp_opendir(const char *path, struct fuse_file_info *fi)
{
    dir_ctx *d = (dir_ctx *)os_zalloc(sizeof(dir_ctx));
    if (!d)
        return -ENOMEM;
    op_t op;
    vfs_handle *dh = vfs_opendir(g_vfs_handle, path);
    op.end(g_vfs_handle, !dh);
    FLOG(op.level, "path=[%s] time=[%s] eno=%d [%s]", path, op.tbuf, op.code, op.text);
    if (!dh) {
        os_free(d);
        return op.ret();
    }
    d->dir = dh;
    d->pending = nullptr;
    d->offset = 0;
    fi->fh = (uint64_t)(uintptr_t)d;
    return 0;
}

int xmp_readdir_i(const char *path, void *buf, fuse_fill_dir_t filler, off_t offset, struct fuse_file_info *fi)
{
    uint64_t start = os_clock_ms();
    const bool dump = g_fuse_trace & MYFUSE_TRACE_DUMP;
    if (dump)
        FLOG(LOG2_DBG, "path=%s offset=%u fi=%p\n", path, (unsigned)offset, (void *)fi);
    int result = 0;
    dir_ctx *d = fi ? (dir_ctx *)(uintptr_t)fi->fh : nullptr;
    if (!d) {
        result = -1;
    } else {
        if (offset != d->offset) {
            // The kernel asks for another position (a rewind, or a restart
            // after it dropped entries): move there and forget the pending one.
            if (dump)
                FLOG(LOG2_DBG, "d->offset=%u\n", (unsigned)d->offset);
            d->pending = nullptr;
            if (vfs_seekdir(d->dir, offset) < 0) {
                // Going on from wherever the listing stands would hand out
                // the wrong entries.
                result = -vfs_errno_or_eio(d->dir);
                FLOG(LOG2_ERR, "path=[%s] seekdir %lld failed: %d [%s]", path, (long long)offset,
                     vfs_errcode(d->dir), vfs_errstr(d->dir));
            } else {
                d->offset = offset;
            }
        }
        for (; result == 0;) {
            if (!d->pending) {
                int rr = vfs_readdir2(d->dir, &d->pending);
                if (rr == 0)
                    break; // the end of the listing
                if (rr < 0) {
                    // A failure part-way must not pass for a complete listing.
                    result = -vfs_errno_or_eio(d->dir);
                    FLOG(LOG2_ERR, "path=[%s] readdir failed: %d [%s]", path, vfs_errcode(d->dir),
                         vfs_errstr(d->dir));
                    break;
                }
            }
            int64_t next = vfs_telldir(d->dir);
            struct stat st;
            os_stat_2_posix(&d->pending->st, &st);
            if (dump) {
                FLOG(LOG2_DBG, "nextoff=%lld\n", (long long)next);
                FLOG(LOG2_DBG, "name=%s\n", d->pending->name);
                FLOG(LOG2_DBG,
                     "dev=%u ino=%u mode=%u nlink=%u uid=%u gid=%u rdev=%u size=%lld blksize=%u st_blocks=%u\n",
                     (unsigned)st.st_dev, (unsigned)st.st_ino, (unsigned)st.st_mode, (unsigned)st.st_nlink,
                     (unsigned)st.st_uid, (unsigned)st.st_gid, (unsigned)st.st_rdev, (long long)st.st_size,
                     (unsigned)st.st_blksize, (unsigned)st.st_blocks);
            }
            if (filler(buf, d->pending->name, &st, next) != 0)
                break; // the kernel's buffer is full: offered again next call
            d->pending = nullptr;
            d->offset = next;
        }
    }
    fuse_time_use_check(start, path, "xmp_readdir");
    return result;
}

int xmp_releasedir_i(const char *path, struct fuse_file_info *fi)
{
    uint64_t start = os_clock_ms();
    if (g_fuse_trace & MYFUSE_TRACE_DUMP)
        FLOG(LOG2_DBG, "path=%s fi=%p\n", path, (void *)fi);
    int result = -1;
    dir_ctx *d = fi ? (dir_ctx *)(uintptr_t)fi->fh : nullptr;
    if (d) {
        vfs_closedir(d->dir);
        os_free(d);
        fi->fh = 0;
        result = 0;
    }
    fuse_time_use_check(start, path, "xmp_releasedir");
    return result;
}

// Every member in declaration order (designated initialisers must follow
// it); the ones this file system does not answer are named empty, so that
// the table shows all libfuse could call. utimens takes UTIME_NOW and
// UTIME_OMIT as they come: without that flag libfuse drops a request that
// sets only one of the two times (touch -m, touch -a) and reports success.
const struct fuse_operations k_ops = {
    .getattr = xmp_getattr,
    .readlink = xmp_readlink,
    .getdir = nullptr,
    .mknod = xmp_mknod,
    .mkdir = xmp_mkdir,
    .unlink = xmp_unlink,
    .rmdir = xmp_rmdir,
    .symlink = xmp_symlink,
    .rename = xmp_rename,
    .link = xmp_link,
    .chmod = xmp_chmod,
    .chown = xmp_chown,
    .truncate = xmp_truncate,
    .utime = nullptr,
    .open = xmp_open,
    .read = xmp_read,
    .write = xmp_write,
    .statfs = xmp_statfs,
    .flush = xmp_flush,
    .release = xmp_release_i,
    .fsync = xmp_fsync,
    .setxattr = xmp_setxattr,
    .getxattr = xmp_getxattr,
    .listxattr = xmp_listxattr,
    .removexattr = xmp_removexattr,
    .opendir = xmp_opendir,
    .readdir = xmp_readdir_i,
    .releasedir = xmp_releasedir_i,
    .fsyncdir = nullptr,
    .init = nullptr,
    .destroy = nullptr,
    .access = xmp_access,
    .create = xmp_create,
    .ftruncate = xmp_ftruncate,
    .fgetattr = xmp_fgetattr,
    .lock = nullptr,
    .utimens = xmp_utimens,
    .bmap = nullptr,
    .flag_nullpath_ok = 0,
    .flag_nopath = 0,
    .flag_utime_omit_ok = 1,
    .flag_reserved = 0,
    .ioctl = nullptr,
    .poll = nullptr,
    .write_buf = nullptr,
    .read_buf = nullptr,
    .flock = nullptr,
    .fallocate = nullptr,
};

} // namespace

const struct fuse_operations *myfuse_get_ops(void) { return &k_ops; }

void fuse_time_use_check(uint64_t start, const char *path, const char *label)
{
    uint64_t ms = os_clock_ms() - start;
    double sec = (double)ms / 1000.0;
    if (sec <= 3.0)
        return;
    char tbuf[128];
    str_fmt_ms(ms, tbuf, sizeof(tbuf));
    FLOG(sec < 15.0 ? LOG2_WARN : LOG2_ERR, "%s (%s) time=[%s] warn: more time use\n", label, path ? path : "", tbuf);
}
