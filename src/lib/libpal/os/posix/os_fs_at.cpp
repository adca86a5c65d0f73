// Path calls beneath a directory descriptor; see os_fs_at.h.
#include "libpal/os/posix/os_fs_at.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "libpal/os/os_volume.h"
#include "libpal/os/posix/os_xattr.h"

namespace {

// 1 while openat2 may be tried; cleared for good when the kernel lacks it.
std::atomic<int> s_openat2{1};
std::atomic<int> s_openat2_wanted{1};

constexpr uint64_t k_resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// Keeps errno across clean-up calls.
struct errno_keep {
    int e = errno;
    ~errno_keep() { errno = e; }
};

void close_keep(int fd)
{
    if (fd >= 0) {
        errno_keep k;
        close(fd);
    }
}

// The next name of [p, end) into *name / *len, skipping separators. 1 with a
// name, 0 at the end, -1 (errno) for "." / ".." or a name too long.
int next_name(const char *&p, const char *end, const char **name, size_t *len)
{
    while (p < end && *p == '/')
        p++;
    if (p == end)
        return 0;
    const char *s = p;
    while (p < end && *p != '/')
        p++;
    size_t n = (size_t)(p - s);
    if ((n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.')) {
        errno = EINVAL;
        return -1;
    }
    if (n > NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    *name = s;
    *len = n;
    return 1;
}

// Checks every name of [rel, rel + n). 0 or -1.
int check_span(const char *rel, size_t n)
{
    const char *p = rel, *name;
    size_t len;
    int r;
    while ((r = next_name(p, rel + n, &name, &len)) > 0) {
    }
    return r;
}

// Opens [rel, rel + n) beneath base, checked already, with oflags (O_NOFOLLOW
// and O_CLOEXEC added). An empty span opens the base itself.
int open_span(int base, const char *rel, size_t n, int oflags, uint32_t mode)
{
    oflags |= O_NOFOLLOW | O_CLOEXEC;
    const bool creat = (oflags & O_CREAT) || (oflags & O_TMPFILE) == O_TMPFILE;
    while (n && *rel == '/') {
        rel++;
        n--;
    }
    if (n == 0)
        return openat(base, ".", oflags, (mode_t)mode);
    if (s_openat2.load(std::memory_order_relaxed) && s_openat2_wanted.load(std::memory_order_relaxed) &&
        n < PATH_MAX) {
        char buf[PATH_MAX];
        memcpy(buf, rel, n);
        buf[n] = '\0';
        struct open_how how {};
        // RESOLVE_NO_SYMLINKS alone keeps every link out; O_NOFOLLOW would
        // only make a directory open of a final link say ENOTDIR, not ELOOP.
        how.flags = (uint64_t)(unsigned)((oflags & O_DIRECTORY) ? oflags & ~O_NOFOLLOW : oflags);
        how.mode = creat ? (mode & 07777) : 0; // openat2 refuses file-type bits
        how.resolve = k_resolve;
        for (int tries = 0; tries < 8; tries++) {
            long fd = syscall(SYS_openat2, base, buf, &how, sizeof(how));
            if (fd >= 0)
                return (int)fd;
            // A rename elsewhere in the tree can make the kernel give up on a
            // resolution it cannot prove stayed beneath the base: try again.
            if (errno == EAGAIN)
                continue;
            if (errno != ENOSYS)
                return -1;
            s_openat2.store(0);
            break;
        }
        if (s_openat2.load())
            return -1;
    }
    // The walk: every directory on the way opened without following a link.
    const char *p = rel, *end = rel + n, *name = nullptr;
    size_t len = 0;
    int cur = base;
    char one[NAME_MAX + 1];
    if (next_name(p, end, &name, &len) <= 0)
        return -1; // checked: not reached
    for (;;) {
        memcpy(one, name, len);
        one[len] = '\0';
        const char *nn;
        size_t nl;
        int more = next_name(p, end, &nn, &nl);
        if (more < 0) {
            if (cur != base)
                close_keep(cur);
            return -1;
        }
        // A trailing separator asks for a directory, as the kernel would.
        int fl = more ? O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC : oflags | (p[-1] == '/' ? O_DIRECTORY : 0);
        int fd = openat(cur, one, fl, (mode_t)mode);
        if (fd < 0 && errno == ENOTDIR) {
            struct stat st;
            if (fstatat(cur, one, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                errno = ELOOP;
        }
        if (cur != base)
            close_keep(cur);
        if (fd < 0 || !more)
            return fd;
        cur = fd;
        name = nn;
        len = nl;
    }
}

// "/proc/self/fd/<dir>/<name>": the name reached through a descriptor, for
// the calls that have no *at form.
void proc_path(char *buf, size_t size, int dir, const char *name)
{
    if (name)
        snprintf(buf, size, "/proc/self/fd/%d/%s", dir, name);
    else
        snprintf(buf, size, "/proc/self/fd/%d", dir);
}
constexpr size_t k_proc_size = 32 + NAME_MAX + 1;

// RAII parent of a path.
struct parent_of {
    os_at_name_t n;
    int r;
    int eno = 0; // errno of a failure
    parent_of(int base, const char *rel)
    {
        r = os_at_parent(base, rel, &n);
        if (r != 0)
            eno = errno;
    }
    ~parent_of() { os_at_release(&n); }
    parent_of(const parent_of &) = delete;
    parent_of &operator=(const parent_of &) = delete;
    bool ok() const { return r == 0; }
};

// ELOOP when the name is a symbolic link (the follow forms refuse it).
int refuse_link(const os_at_name_t &n)
{
    struct stat st;
    if (fstatat(n.dir, n.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return 0;
}

// The mode a node given to o gets under a parent with attributes ps.
uint32_t owner_gid(os_owner_t *o, const struct stat &ps)
{
    return (ps.st_mode & S_ISGID) ? (uint32_t)ps.st_gid : o->gid;
}

uint32_t owner_mode(os_owner_t *o, const struct stat &ps, mode_t type, uint32_t mode)
{
    uint32_t perm = mode & 07777;
    uint32_t gid = owner_gid(o, ps);
    if (type == S_IFDIR) {
        if (ps.st_mode & S_ISGID)
            perm |= S_ISGID;
    } else if ((perm & S_ISGID) && gid != o->gid && !(o->member && o->member(gid))) {
        perm &= ~(uint32_t)S_ISGID;
    }
    return perm;
}

// Gives the node just made at n (by this process, with a private mode) to o
// and then sets its mode. On failure the node is removed again.
int give_away(const os_at_name_t &n, mode_t type, uint32_t mode, os_owner_t *o, const struct stat &ps)
{
    int r = -1;
    int fd = openat(n.dir, n.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) {
        // Only what this process made: something else put in its place
        // meanwhile is left alone.
        if ((st.st_mode & S_IFMT) != type || st.st_uid != geteuid()) {
            errno = EAGAIN;
            close_keep(fd);
            return -1;
        }
        r = fchownat(fd, "", o->uid, owner_gid(o, ps), AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
        if (r == 0 && type != S_IFLNK) {
            char p[k_proc_size];
            proc_path(p, sizeof(p), fd, nullptr);
            r = chmod(p, owner_mode(o, ps, type, mode));
        }
    }
    close_keep(fd);
    if (r != 0) {
        errno_keep k;
        unlinkat(n.dir, n.name, type == S_IFDIR ? AT_REMOVEDIR : 0);
    }
    return r;
}

// Private mode of a node before it is given away.
constexpr uint32_t k_private_dir = 0700;
constexpr uint32_t k_private_file = 0600;

} // namespace

void os_at_set_openat2(int on) { s_openat2_wanted.store(on ? 1 : 0); }

int os_at_check(const char *rel)
{
    if (!rel) {
        errno = EINVAL;
        return -1;
    }
    return check_span(rel, strlen(rel));
}

int os_at_open(int base, const char *rel, int oflags, uint32_t mode)
{
    if (os_at_check(rel) != 0)
        return -1;
    return open_span(base, rel, strlen(rel), oflags, mode);
}

int os_at_parent(int base, const char *rel, os_at_name_t *out)
{
    out->dir = -1;
    out->owned = 0;
    out->name[0] = '\0';
    if (os_at_check(rel) != 0)
        return -1;
    size_t n = strlen(rel);
    while (n && rel[n - 1] == '/')
        n--;
    size_t start = n;
    while (start && rel[start - 1] != '/')
        start--;
    if (start == n) {
        // The base itself.
        out->dir = base;
        out->name[0] = '.';
        out->name[1] = '\0';
        return 0;
    }
    memcpy(out->name, rel + start, n - start);
    out->name[n - start] = '\0';
    size_t dn = start;
    while (dn && rel[dn - 1] == '/')
        dn--;
    if (dn == 0) {
        out->dir = base;
        return 0;
    }
    int fd = open_span(base, rel, dn, O_PATH | O_DIRECTORY, 0);
    if (fd < 0)
        return -1;
    out->dir = fd;
    out->owned = 1;
    return 0;
}

void os_at_release(os_at_name_t *n)
{
    if (n && n->owned && n->dir >= 0)
        close_keep(n->dir);
    if (n) {
        n->dir = -1;
        n->owned = 0;
    }
}

// ---- creating -----------------------------------------------------------------------------

int os_at_create(int base, const char *rel, int oflags, uint32_t mode, os_owner_t *owner)
{
    oflags |= O_CREAT;
    if (!owner)
        return os_at_open(base, rel, oflags, mode);
    owner->used = 1;
    parent_of p(base, rel);
    struct stat ps;
    if (!p.ok() || fstat(p.n.dir, &ps) != 0)
        return -1;
    oflags |= O_NOFOLLOW | O_CLOEXEC;
    // Made new (and then given away) or opened as it stands; a file that
    // disappears between the two tries is made again.
    for (int tries = 0; tries < 8; tries++) {
        int fd = openat(p.n.dir, p.n.name, oflags | O_EXCL, (mode_t)k_private_file);
        if (fd >= 0) {
            if (fchown(fd, owner->uid, owner_gid(owner, ps)) == 0 &&
                fchmod(fd, (mode_t)owner_mode(owner, ps, S_IFREG, mode)) == 0)
                return fd;
            errno_keep k;
            unlinkat(p.n.dir, p.n.name, 0);
            close(fd);
            return -1;
        }
        if (errno != EEXIST || (oflags & O_EXCL))
            return -1;
        fd = openat(p.n.dir, p.n.name, oflags & ~O_CREAT);
        if (fd >= 0 || errno != ENOENT)
            return fd;
    }
    return -1;
}

int os_at_mkdir(int base, const char *rel, uint32_t mode, os_owner_t *owner)
{
    parent_of p(base, rel);
    if (!p.ok())
        return -1;
    if (!owner)
        return mkdirat(p.n.dir, p.n.name, (mode_t)mode);
    owner->used = 1;
    struct stat ps;
    if (fstat(p.n.dir, &ps) != 0 || mkdirat(p.n.dir, p.n.name, k_private_dir) != 0)
        return -1;
    return give_away(p.n, S_IFDIR, mode, owner, ps);
}

int os_at_mknod(int base, const char *rel, uint32_t mode, uint64_t dev, os_owner_t *owner)
{
    parent_of p(base, rel);
    if (!p.ok())
        return -1;
    mode_t type = (mode & S_IFMT) ? (mode_t)(mode & S_IFMT) : S_IFREG;
    if (!owner)
        return mknodat(p.n.dir, p.n.name, type | (mode & 07777), (dev_t)dev);
    owner->used = 1;
    struct stat ps;
    if (fstat(p.n.dir, &ps) != 0 || mknodat(p.n.dir, p.n.name, type | k_private_file, (dev_t)dev) != 0)
        return -1;
    return give_away(p.n, type, mode, owner, ps);
}

int os_at_symlink(const char *target, int base, const char *rel, os_owner_t *owner)
{
    if (!target) {
        errno = EINVAL;
        return -1;
    }
    parent_of p(base, rel);
    if (!p.ok())
        return -1;
    struct stat ps;
    if (owner && fstat(p.n.dir, &ps) != 0)
        return -1;
    if (symlinkat(target, p.n.dir, p.n.name) != 0)
        return -1;
    return owner ? give_away(p.n, S_IFLNK, 0777, owner, ps) : 0;
}

// ---- names ------------------------------------------------------------------------------

// The parents of the two names of a link or rename.
struct two_parents {
    parent_of a, b;
    two_parents(int base, const char *from, const char *to) : a(base, from), b(base, to)
    {
        if (!ok())
            errno = a.ok() ? b.eno : a.eno;
    }
    bool ok() const { return a.ok() && b.ok(); }
};

int os_at_link(int base, const char *from, const char *to)
{
    two_parents p(base, from, to);
    return p.ok() ? linkat(p.a.n.dir, p.a.n.name, p.b.n.dir, p.b.n.name, 0) : -1;
}

int os_at_unlink(int base, const char *rel)
{
    parent_of p(base, rel);
    return p.ok() ? unlinkat(p.n.dir, p.n.name, 0) : -1;
}

int os_at_rmdir(int base, const char *rel)
{
    parent_of p(base, rel);
    return p.ok() ? unlinkat(p.n.dir, p.n.name, AT_REMOVEDIR) : -1;
}

int os_at_remove(int base, const char *rel)
{
    parent_of p(base, rel);
    if (!p.ok())
        return -1;
    if (unlinkat(p.n.dir, p.n.name, 0) == 0)
        return 0;
    if (errno != EISDIR)
        return -1;
    return unlinkat(p.n.dir, p.n.name, AT_REMOVEDIR);
}

int os_at_rename(int base, const char *from, const char *to, int replace)
{
    two_parents p(base, from, to);
    if (!p.ok())
        return -1;
    const parent_of &a = p.a, &b = p.b;
    if (replace)
        return renameat(a.n.dir, a.n.name, b.n.dir, b.n.name);
    if (renameat2(a.n.dir, a.n.name, b.n.dir, b.n.name, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
    // The file system cannot do it atomically: best effort.
    struct stat st;
    if (fstatat(b.n.dir, b.n.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(a.n.dir, a.n.name, b.n.dir, b.n.name);
}

int os_at_readlink(int base, const char *rel, char *buf, size_t n)
{
    if (!buf || n == 0) {
        errno = EINVAL;
        return -1;
    }
    buf[0] = '\0';
    parent_of p(base, rel);
    if (!p.ok())
        return -1;
    char probe[1];
    // With room for the terminator only, still tell a link from an error.
    ssize_t r = n > 1 ? readlinkat(p.n.dir, p.n.name, buf, n - 1)
                      : readlinkat(p.n.dir, p.n.name, probe, 1) < 0 ? -1 : 0;
    if (r < 0) {
        buf[0] = '\0';
        return -1;
    }
    buf[r] = '\0';
    return (int)r;
}

// ---- attributes --------------------------------------------------------------------------

int os_at_stat(int base, const char *rel, os_file_stat_t *rec, int follow)
{
    if (!rec) {
        errno = EINVAL;
        return -1;
    }
    parent_of p(base, rel);
    struct stat st;
    if (!p.ok() || fstatat(p.n.dir, p.n.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (follow && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    os_stat_from_posix(&st, rec);
    return 0;
}

int os_at_access(int base, const char *rel, int mode)
{
    parent_of p(base, rel);
    if (!p.ok() || refuse_link(p.n) != 0)
        return -1;
    if (faccessat(p.n.dir, p.n.name, mode, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    // A C library or kernel without the flag: the name was no link a moment
    // ago, and an access check changes nothing.
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    return faccessat(p.n.dir, p.n.name, mode, 0);
}

int os_at_truncate(int base, const char *rel, int64_t size)
{
    int fd = os_at_open(base, rel, O_PATH, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    int r = fstat(fd, &st);
    if (r == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        r = -1;
    }
    if (r == 0) {
        char p[k_proc_size];
        proc_path(p, sizeof(p), fd, nullptr);
        r = truncate(p, (off_t)size);
    }
    close_keep(fd);
    return r;
}

namespace {
// fchmodat2 of newer kernels takes AT_SYMLINK_NOFOLLOW in one call (the C
// library's fchmodat emulates the flag with four). Same number everywhere.
#if defined(__NR_fchmodat2)
constexpr long k_nr_fchmodat2 = __NR_fchmodat2;
#elif defined(__x86_64__) || defined(__powerpc64__) || defined(__aarch64__)
constexpr long k_nr_fchmodat2 = 452;
#else
constexpr long k_nr_fchmodat2 = -1;
#endif
std::atomic<int> s_fchmodat2{k_nr_fchmodat2 >= 0};

int chmod_nofollow(int dir, const char *name, mode_t mode)
{
    if (s_fchmodat2.load(std::memory_order_relaxed) && s_openat2_wanted.load()) {
        long r = syscall(k_nr_fchmodat2, dir, name, mode, AT_SYMLINK_NOFOLLOW);
        if (r == 0 || errno != ENOSYS)
            return (int)r;
        s_fchmodat2.store(0);
    }
    return fchmodat(dir, name, mode, AT_SYMLINK_NOFOLLOW);
}
} // namespace

int os_at_chmod(int base, const char *rel, uint32_t mode, int follow)
{
    parent_of p(base, rel);
    if (!p.ok())
        return -1;
    if (chmod_nofollow(p.n.dir, p.n.name, (mode_t)mode) == 0)
        return 0;
    // The mode of a link itself cannot be changed; the follow form says why
    // it did not go through the link.
    if (follow && (errno == EOPNOTSUPP || errno == ENOTSUP)) {
        errno_keep k;
        if (refuse_link(p.n) != 0 && errno == ELOOP)
            k.e = ELOOP;
    }
    return -1;
}

int os_at_chown(int base, const char *rel, uint32_t uid, uint32_t gid, int follow)
{
    parent_of p(base, rel);
    if (!p.ok() || (follow && refuse_link(p.n) != 0))
        return -1;
    return fchownat(p.n.dir, p.n.name, uid, gid, AT_SYMLINK_NOFOLLOW);
}

int os_at_utimes(int base, const char *rel, const os_file_times_t *times, int follow)
{
    if (!times) {
        errno = EINVAL;
        return -1;
    }
    parent_of p(base, rel);
    if (!p.ok() || (follow && refuse_link(p.n) != 0))
        return -1;
    struct timespec ts[2];
    ts[0].tv_sec = (time_t)times->atime.sec;
    ts[0].tv_nsec = (long)times->atime.nsec;
    ts[1].tv_sec = (time_t)times->mtime.sec;
    ts[1].tv_nsec = (long)times->mtime.nsec;
    return utimensat(p.n.dir, p.n.name, ts, AT_SYMLINK_NOFOLLOW);
}

int os_at_statvfs(int base, const char *rel, uint64_t out[11])
{
    int fd = os_at_open(base, rel, O_PATH, 0);
    if (fd < 0)
        return -1;
    char p[k_proc_size];
    proc_path(p, sizeof(p), fd, nullptr);
    int r = os_statvfs(p, out) == 0 ? 0 : -1;
    close_keep(fd);
    return r;
}

int os_at_realpath(int base, const char *rel, char *buf, size_t n)
{
    if (!buf || n == 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = os_at_open(base, rel, O_PATH, 0);
    if (fd < 0)
        return -1;
    char p[k_proc_size];
    proc_path(p, sizeof(p), fd, nullptr);
    ssize_t r = readlink(p, buf, n - 1);
    close_keep(fd);
    if (r < 0)
        return -1;
    if ((size_t)r >= n - 1) {
        errno = ENAMETOOLONG;
        return -1;
    }
    buf[r] = '\0';
    return 0;
}

// ---- extended attributes -----------------------------------------------------------------

namespace {

// The *xattrat calls of newer kernels: the name through its parent's
// descriptor in one call. Their numbers are the same on every architecture
// this system runs on. Without them the name is reached through /proc.
#if defined(__NR_getxattrat)
constexpr long k_nr_setxattrat = __NR_setxattrat, k_nr_getxattrat = __NR_getxattrat,
               k_nr_listxattrat = __NR_listxattrat, k_nr_removexattrat = __NR_removexattrat;
#elif defined(__x86_64__) || defined(__powerpc64__) || defined(__aarch64__)
constexpr long k_nr_setxattrat = 463, k_nr_getxattrat = 464, k_nr_listxattrat = 465, k_nr_removexattrat = 466;
#else
constexpr long k_nr_setxattrat = -1, k_nr_getxattrat = -1, k_nr_listxattrat = -1, k_nr_removexattrat = -1;
#endif

std::atomic<int> s_xattrat{k_nr_getxattrat >= 0};

struct xattr_args_t {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};

// The call's result, or -2 when the kernel lacks it (then never asked again).
long xattrat(long r)
{
    if (r < 0 && errno == ENOSYS) {
        s_xattrat.store(0);
        return -2;
    }
    return r;
}

bool use_xattrat() { return s_xattrat.load(std::memory_order_relaxed) && s_openat2_wanted.load(); }

} // namespace

// The l form of an attribute call on the name through its parent's
// descriptor: `at` where the kernel has the *xattrat calls, else `proc`.
#define XATTR_AT(at, proc)                                    \
    parent_of p(base, rel);                                   \
    if (!p.ok())                                              \
        return -1;                                            \
    if (use_xattrat()) {                                      \
        long r_ = xattrat(at);                                \
        if (r_ != -2)                                         \
            return r_;                                        \
    }                                                         \
    char path[k_proc_size];                                   \
    proc_path(path, sizeof(path), p.n.dir, p.n.name);         \
    return proc

ssize_t os_at_getxattr(int base, const char *rel, const char *name, void *buf, size_t n)
{
    xattr_args_t a{(uint64_t)(uintptr_t)buf, (uint32_t)(buf ? (n > UINT32_MAX ? UINT32_MAX : n) : 0), 0};
    XATTR_AT(syscall(k_nr_getxattrat, p.n.dir, p.n.name, AT_SYMLINK_NOFOLLOW, name, &a, sizeof(a)),
             os_lgetxattr(path, name, buf, n));
}

int os_at_setxattr(int base, const char *rel, const char *name, const void *value, size_t n, int flag)
{
    if (n > UINT32_MAX) {
        errno = E2BIG;
        return -1;
    }
    xattr_args_t a{(uint64_t)(uintptr_t)value, (uint32_t)n, (uint32_t)pl_setxattr_flag_2_os(flag)};
    XATTR_AT((int)syscall(k_nr_setxattrat, p.n.dir, p.n.name, AT_SYMLINK_NOFOLLOW, name, &a, sizeof(a)),
             os_lsetxattr(path, name, value, n, flag));
}

int os_at_removexattr(int base, const char *rel, const char *name)
{
    XATTR_AT((int)syscall(k_nr_removexattrat, p.n.dir, p.n.name, AT_SYMLINK_NOFOLLOW, name),
             os_lremovexattr(path, name));
}

ssize_t os_at_listxattr(int base, const char *rel, char *buf, size_t n)
{
    XATTR_AT(syscall(k_nr_listxattrat, p.n.dir, p.n.name, AT_SYMLINK_NOFOLLOW, buf, buf ? n : 0),
             os_llistxattr(path, buf, n));
}

// ---- directories --------------------------------------------------------------------------

os_dir_t *os_at_opendir(int base, const char *rel, const char *pattern, uint32_t flags)
{
    int fd = os_at_open(base, rel, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0)
        return nullptr;
    return os_opendir_fd(fd, pattern, flags);
}
