// File objects: opening, kind choice, dispatch, ioctl wrappers, time-outs
// and the std procedures; see os_file2.h.
#include "libpal/vfile/os_file2.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "libpal/basic/pl_assert.h"
#include "libpal/os/os_host.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_fs_priv.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/vfile/os_file_flag.h"
#include "libpal/vfile/os_file_kind.h"
#include "liblog/log2.h"

#define TAG "pal"

// ---- probes and kind choice --------------------------------------------------------

static const os_file_probe_t *s_probes[OS_FILE_PROBE_MAX];

int os_file_register_probe(const os_file_probe_t *probe)
{
    for (auto &slot : s_probes) {
        if (!slot) {
            slot = probe;
            return 0;
        }
    }
    return -1;
}

// The live records of the std kinds (stdin, stdout, stderr): copies of their
// constant records, made on first use, whose read or writ slot
// os_file_set_std_fd_proc swaps.
static os_file_ops_t *std_live(void)
{
    static os_file_ops_t live[3] = {os_stdin_file_ops, os_stdout_file_ops, os_stderr_file_ops};
    return live;
}

// Index of ops among the live std records, or -1.
static int std_live_index(const os_file_ops_t *ops)
{
    for (int i = 0; i < 3; i++)
        if (ops == &std_live()[i])
            return i;
    return -1;
}

const os_file_ops_t *os_file_get_ops(const char *path)
{
    for (const os_file_probe_t *p : s_probes) {
        if (p && p->match) {
            if (const os_file_ops_t *ops = p->match(path))
                return ops;
        }
    }
    if (path && (strncasecmp(path, "/dev/", 5) == 0 || strncasecmp(path, "\\dev\\", 5) == 0)) {
        // The built-in kinds reachable by name after "/dev/", in this order.
        const os_file_ops_t *const builtin[] = {&os_local_file_ops, &std_live()[0], &std_live()[1],
                                                &std_live()[2],     &os_null_file_ops, &os_zero_file_ops,
                                                &os_random_file_ops};
        for (const os_file_ops_t *ops : builtin)
            if (strcmp(path + 5, ops->name) == 0)
                return ops;
    }
    return &os_local_file_ops;
}

void os_file_path_strip_url(char (&path)[OS_FILE_PATH_SIZE])
{
    char tmp[8192];
    str_safecopy_trunc(tmp, sizeof(tmp), path);
    for (char *p = tmp; *p; p++)
        if (*p == '/')
            *p = '\\';
    char *s = tmp;
    if (strncmp(s, "file:\\\\", 7) == 0) {
        s += 7;
        if (strncmp(s, "\\?\\", 3) == 0) // the long-path form
            s += 3;
    }
    for (char *p = s; *p; p++)
        if (*p == '\\')
            *p = '/';
    str_safecopy_trunc(path, sizeof(path), s);
}

int os_file_path_prepare(const char *path, char (&out)[OS_FILE_PATH_SIZE])
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    if (str_safecopy(out, sizeof(out), path) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    path_normalize(out);
    os_file_path_strip_url(out);
    return 0;
}

// ---- opening -----------------------------------------------------------------------

// A new object for `ops` with a copy of `path` (len bytes when given, for zz
// lists); NULL with errno ENOMEM.
static os_file_t *file_new(const os_file_ops_t *ops, const char *path, size_t len)
{
    os_file_t *f = (os_file_t *)os_zalloc(sizeof(os_file_t));
    if (!f) {
        errno = ENOMEM;
        return nullptr;
    }
    f->ops = ops;
    f->path = (char *)(len ? os_memdup(path, len) : os_strdup(path));
    if (!f->path) {
        os_free(f);
        errno = ENOMEM;
        return nullptr;
    }
    return f;
}

static void file_free(os_file_t *f)
{
    if (!f)
        return;
    int err = errno;
    os_free(f->path);
    os_free(f);
    errno = err;
}

// Byte length of a zz list including its final empty string.
static size_t zz_bytes(const char *list, int count)
{
    size_t off = 0;
    for (int i = 0; i < count; i++)
        off += strlen(list + off) + 1;
    return off + 1;
}

static os_file_t *file_open_zz(const char *list, uint32_t pf)
{
    const char *parts[3];
    int n = os_fs_zz_split(list, parts);
    if (n <= 0) {
        os_errno_set_verr(VERR_INVALID_PARAMETER);
        return nullptr;
    }
    if (n == 1)
        return os_file_open(parts[0], pf & ~OS_FILE_ZZ);
    if (strcmp(parts[1], "X") != 0) {
        os_errno_set_verr(VERR_NOT_SUPPORTED);
        return nullptr;
    }
    os_file_t *f = file_new(&os_xattr_file_ops, list, zz_bytes(list, n));
    if (!f)
        return nullptr;
    f->handle = os_xattr_file_ops.zzopen(parts[0], "X", parts[2] ? parts[2] : "", pf);
    if (!f->handle) {
        file_free(f);
        return nullptr;
    }
    return f;
}

os_file_t *os_file_open(const char *path, uint32_t pf)
{
    if (!path) {
        os_errno_set_verr(VERR_INVALID_PARAMETER);
        return nullptr;
    }
    if (pf & OS_FILE_ZZ)
        return file_open_zz(path, pf);
    char prep[OS_FILE_PATH_SIZE];
    if (os_file_path_prepare(path, prep) != 0)
        return nullptr;
    const os_file_ops_t *ops = os_file_get_ops(prep);
    if (!ops->init) {
        errno = ENOTSUP;
        return nullptr;
    }
    os_file_t *f = file_new(ops, path, 0);
    if (!f)
        return nullptr;
    f->handle = ops->init(prep, pf);
    if (!f->handle) {
        file_free(f);
        return nullptr;
    }
    return f;
}

os_file_t *os_file_wopen(const char *path, uint32_t access, uint32_t share, void *, uint32_t disposition,
                         uint32_t attributes, void *)
{
    char prep[OS_FILE_PATH_SIZE];
    if (!path) {
        os_errno_set_verr(VERR_INVALID_PARAMETER);
        return nullptr;
    }
    if (os_file_path_prepare(path, prep) != 0)
        return nullptr;
    const os_file_ops_t *ops = os_file_get_ops(prep);
    os_file_t *f = file_new(ops, path, 0);
    if (!f)
        return nullptr;
    if (ops->wopen)
        f->handle = ops->wopen(prep, access, share, disposition, attributes);
    else if (ops->init)
        f->handle = ops->init(prep, os_wflag_2_pf(access, disposition));
    else
        errno = ENOTSUP;
    if (!f->handle) {
        file_free(f);
        return nullptr;
    }
    return f;
}

os_file_t *os_file_open2(const char *path, int flags, uint32_t mode)
{
    char prep[OS_FILE_PATH_SIZE];
    if (!path) {
        os_errno_set_verr(VERR_INVALID_PARAMETER);
        return nullptr;
    }
    if (os_file_path_prepare(path, prep) != 0)
        return nullptr;
    const os_file_ops_t *ops = os_file_get_ops(prep);
    os_file_t *f = file_new(ops, path, 0);
    if (!f)
        return nullptr;
    if (ops->open2)
        f->handle = ops->open2(prep, pl_oflag_2_os(flags), mode);
    else if (ops->init)
        f->handle = ops->init(prep, pl_oflag_2_pf(flags));
    else
        errno = ENOTSUP;
    if (!f->handle) {
        file_free(f);
        return nullptr;
    }
    return f;
}

os_file_t *os_file_from_fd(int fd, const char *path)
{
    if (fd < 0) {
        errno = EBADF;
        return nullptr;
    }
    os_file_t *f = file_new(&os_local_file_ops, path ? path : "", 0);
    if (!f) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    f->handle = (uint64_t)fd + 1;
    return f;
}

int os_file_close(os_file_t *f)
{
    if (!f)
        return 0;
    os_file_t *ctx = f;
    PL_ASSERT_RET(TAG, ctx->ops->exit, 0);
    int ret = ctx->ops->exit(ctx->handle);
    if (ctx->remove_on_close && ctx->path) {
        int err = errno;
        remove(ctx->path);
        errno = err;
    }
    file_free(ctx);
    return ret;
}

// ---- dispatch ---------------------------------------------------------------------------

// Every dispatcher names its slot in the assertion, exactly as "ctx->ops->X".
#define FILE_DISPATCH(f, slot, fail, ...)               \
    do {                                                \
        os_file_t *ctx = (f);                           \
        if (!ctx) {                                     \
            errno = EINVAL;                             \
            return fail;                                \
        }                                               \
        PL_ASSERT_RET(TAG, ctx->ops->slot, fail);       \
        return ctx->ops->slot(ctx->handle, ##__VA_ARGS__); \
    } while (0)

int64_t os_file_read(os_file_t *f, void *buf, size_t len) { FILE_DISPATCH(f, read, -1, buf, len); }
int64_t os_file_write(os_file_t *f, const void *buf, size_t len) { FILE_DISPATCH(f, writ, -1, buf, len); }
int64_t os_file_pread(os_file_t *f, void *buf, size_t len, int64_t off) { FILE_DISPATCH(f, pread, -1, buf, len, off); }
int64_t os_file_pwrit(os_file_t *f, const void *buf, size_t len, int64_t off)
{
    FILE_DISPATCH(f, pwrit, -1, buf, len, off);
}
int64_t os_file_readv(os_file_t *f, const struct iovec *v, int count) { FILE_DISPATCH(f, readv, -1, v, count); }
int64_t os_file_writv(os_file_t *f, const struct iovec *v, int count) { FILE_DISPATCH(f, writv, -1, v, count); }
int64_t os_file_preadv(os_file_t *f, const struct iovec *v, int count, int64_t off)
{
    FILE_DISPATCH(f, preadv, -1, v, count, off);
}
int64_t os_file_pwritv(os_file_t *f, const struct iovec *v, int count, int64_t off)
{
    FILE_DISPATCH(f, pwritv, -1, v, count, off);
}
int os_file_fsync(os_file_t *f) { FILE_DISPATCH(f, sync, 0); }
int os_file_ftruncate(os_file_t *f, int64_t size) { FILE_DISPATCH(f, truncate, 0, size); }
int64_t os_file_seek(os_file_t *f, int64_t off, int whence) { FILE_DISPATCH(f, seek, -1, off, whence); }
int64_t os_file_offset(os_file_t *f) { FILE_DISPATCH(f, offset, -1); }
int64_t os_file_size(os_file_t *f) { FILE_DISPATCH(f, size, -1); }

// Model text of the device behind a local descriptor: the host's device
// queries, asked only of device nodes (the physical-memory names answer
// without a query).
static void file_dev_model(int fd, const char *path, char *buf, size_t size)
{
    if (!path || !buf || size == 0)
        return;
    struct stat st;
    const bool device = fd >= 0 && fstat(fd, &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
    if (device || strcmp(path, "/dev/mem") == 0 || strcmp(path, "/dev/pmem") == 0 || strcmp(path, "/dev/ram") == 0)
        os_dev_get_model(fd, buf, size, path);
}

int os_file_ioctl(os_file_t *f, int code, void *buf, size_t len)
{
    if (!f)
        return 0;
    os_file_t *ctx = f;
    PL_ASSERT_RET(TAG, ctx->ops->ioctl, 0);
    int ret = ctx->ops->ioctl(ctx->handle, code, buf, len);
    // Only a local object's handle is a real descriptor: the device kinds'
    // handle 1 would otherwise query whatever descriptor 0 is.
    if (code == OS_FILE_GET_INFO && buf && len >= sizeof(os_file_info_t) && ctx->ops == &os_local_file_ops) {
        int err = errno;
        os_file_info_t *info = (os_file_info_t *)buf;
        file_dev_model(os_file_fd(ctx), ctx->path, info->name, sizeof(info->name));
        errno = err;
    }
    return ret;
}

// ---- ioctl wrappers ---------------------------------------------------------------------

int os_file_fstat(os_file_t *f, os_file_stat_t *st) { return os_file_ioctl(f, OS_FILE_GET_STAT, st, 128); }
int os_file_get_sparse_ranges(os_file_t *f, void *buf) { return os_file_ioctl(f, OS_FILE_GET_SPARSE_RANGES, buf, 0); }
int os_file_ioctl_code4(os_file_t *f) { return os_file_ioctl(f, OS_FILE_IOCTL_CODE4, nullptr, 0); }

int os_file_punch_hole(os_file_t *f, uint64_t word, uint64_t offset, uint64_t length)
{
    uint64_t arg[3] = {word, offset, length};
    return os_file_ioctl(f, OS_FILE_PUNCH_HOLE, arg, sizeof(arg));
}

int os_file_futime(os_file_t *f, const os_file_times_t *times)
{
    return os_file_ioctl(f, OS_FILE_SET_TIMES, (void *)times, sizeof(os_file_times_t));
}

int os_file_flock(os_file_t *f, int32_t type, uint64_t offset, uint64_t length)
{
    os_file_lock_t lk = {type, offset, length};
    return os_file_ioctl(f, OS_FILE_LOCK, &lk, sizeof(lk));
}

int os_file_ioctl_code10(os_file_t *f, const char *name, int replace)
{
    os_file_rename_t arg = {name, (uint8_t)(replace ? 1 : 0)};
    return os_file_ioctl(f, OS_FILE_RENAME, &arg, sizeof(arg));
}

int os_file_ioctl_code11(os_file_t *f, void *buf) { return os_file_ioctl(f, OS_FILE_IOCTL_CODE11, buf, 0); }

int os_file_fchmod(os_file_t *f, uint32_t mode)
{
    // The mode travels in place of the buffer.
    return os_file_ioctl(f, OS_FILE_CHMOD, (void *)(uintptr_t)mode, 0);
}

int os_file_fchown(os_file_t *f, uint32_t uid, uint32_t gid)
{
    os_file_owner_t o = {uid, gid};
    return os_file_ioctl(f, OS_FILE_CHOWN, &o, sizeof(o));
}

int os_file_get_info(const char *path, os_file_info_t *info)
{
    os_file_t *f = os_file_open(path, OS_FILE_READ);
    if (!f)
        return 0;
    int ret = os_file_ioctl(f, OS_FILE_GET_INFO, info, 160);
    int err = errno;
    os_file_close(f);
    errno = err;
    return ret;
}

// ---- time-outs -------------------------------------------------------------------------------

int os_file_read_write_timeout(os_file_t *f, int is_read, int ms)
{
    uint32_t v = (uint32_t)ms;
    if (ms < 1000) {
        LOG_WARN(TAG, "timeout=%ds fix=%ds error: too short\n", ms / 1000, 1);
        v = 1000;
    } else if (ms > 600000) {
        LOG_WARN(TAG, "timeout=%ds fix=%ds error: too long\n", ms / 1000, 600);
        v = 600000;
    }
    return os_file_ioctl(f, is_read ? OS_FILE_SET_READ_TIMEOUT : OS_FILE_SET_WRITE_TIMEOUT, &v, 4);
}

int os_file_set_read_timeout(os_file_t *f, int ms) { return os_file_read_write_timeout(f, 1, ms); }
int os_file_set_write_timeout(os_file_t *f, int ms) { return os_file_read_write_timeout(f, 0, ms); }

// ---- other object calls ----------------------------------------------------------------------

int os_file_path_kind(const char *list)
{
    const char *parts[3];
    int n = os_fs_zz_split(list, parts);
    if (n <= 0)
        return -1;
    if (n == 1)
        return 0;
    if (strcmp(parts[1], "S") == 0)
        return 1;
    if (strcmp(parts[1], "A") == 0)
        return 2;
    if (strcmp(parts[1], "X") == 0)
        return 3;
    return -1;
}

int os_file_set_remove_on_close(os_file_t *f, int flag)
{
    if (!f)
        return 0;
    f->remove_on_close = flag ? 1 : 0;
    return 1;
}

uint64_t os_file_get_handle(os_file_t *f) { return f ? f->handle : 0; }
int os_file_fd(os_file_t *f) { return f && f->handle ? (int)(f->handle - 1) : -1; }
int os_file_last_verr(void) { return os_verr_get(errno); }

int os_file_last_vperror(os_file_t *, vperror_t *rec)
{
    int eno = errno;
    vperror_set(rec, __FILE__, __LINE__, __func__, os_verr_get(eno), "%s", os_errno_str_of(eno));
    errno = eno;
    return 0;
}

int os_file_error_class(int kind, int64_t code)
{
    if (code == 0)
        return 0;
    if (kind == 2)
        return code == EIO ? 1 : code == ENXIO ? 2 : 3;
    if (kind == 1) {
        if (code == 23 || code == 1117)
            return 1;
        if (code == 2 || code == 55)
            return 2;
        return 3;
    }
    return 3;
}

// ---- std procedures -------------------------------------------------------------------------

os_file_t *g_os_file_stdin;
os_file_t *g_os_file_stdout;
os_file_t *g_os_file_stderr;
// Handles the std objects were opened with, put back by the reset.
uint64_t g_os_file_std_handle[3];

int os_file_set_std_fd_proc(os_file_t *f, uint64_t handle, os_file_read_fn read, os_file_writ_fn writ)
{
    int i = f ? std_live_index(f->ops) : -1;
    if (i < 0) {
        LOG_ERR(TAG, "error: only support stdin|stdout|stderr\n");
        return 0;
    }
    os_file_ops_t &live = std_live()[i];
    f->handle = handle;
    if (read)
        live.read = read;
    if (writ)
        live.writ = writ;
    return 1;
}

int os_file_std_proc_reset(void)
{
    std_live()[0].read = os_stdin_file_ops.read;
    std_live()[1].writ = os_stdout_file_ops.writ;
    std_live()[2].writ = os_stderr_file_ops.writ;
    os_file_t *std[3] = {g_os_file_stdin, g_os_file_stdout, g_os_file_stderr};
    for (int i = 0; i < 3; i++)
        if (std[i])
            std[i]->handle = g_os_file_std_handle[i];
    return 0;
}
