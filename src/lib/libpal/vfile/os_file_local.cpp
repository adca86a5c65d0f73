// The local file kind: a POSIX descriptor, handle = descriptor + 1.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/os/os_volume.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/vfile/os_file_flag.h"
#include "libpal/vfile/os_file_kind.h"
#include "liblog/log2.h"

#define TAG "pal"

static inline int fd_of(uint64_t h) { return (int)(h - 1); }

int os_file_pf_2_oflags(uint32_t pf)
{
    int o;
    if (pf & OS_FILE_READ)
        o = O_RDONLY;
    else if (pf & OS_FILE_WRITE)
        o = O_WRONLY;
    else if (pf & OS_FILE_RDWR)
        o = O_RDWR;
    else
        o = O_RDONLY;
    if (pf & OS_FILE_CREATE)
        o |= O_CREAT;
    if (pf & OS_FILE_APPEND)
        o |= O_APPEND;
    if (pf & OS_FILE_TRUNC)
        o |= O_TRUNC;
    if (pf & OS_FILE_DIRECT)
        o |= O_DIRECT;
    if (pf & OS_FILE_SYNC)
        o |= O_SYNC;
    return o | O_NONBLOCK | O_LARGEFILE;
}

static uint64_t local_open_pf(const char *path, uint32_t pf, int extra)
{
    PL_ASSERT_RET(TAG, path, 0);
    int oflags = os_file_pf_2_oflags(pf) | extra | O_CLOEXEC;
    mode_t mode = (pf & OS_FILE_CREATE) ? 0644 : 0;
    int fd = open(path, oflags, mode);
    if (fd < 0 && (pf & OS_FILE_CREATE) && errno != EPERM && errno != EACCES && errno != EEXIST) {
        int err = errno;
        if (os_mkdirs_parent(path) == 0)
            fd = open(path, oflags, mode);
        else
            errno = err;
    }
    return fd < 0 ? 0 : (uint64_t)fd + 1;
}

uint64_t os_local_file_init(const char *path, uint32_t pf) { return local_open_pf(path, pf, 0); }

uint64_t os_local_file_wopen(const char *path, uint32_t access, uint32_t, uint32_t disposition, uint32_t)
{
    // Create-new is one atomic open: a stat first could race with a creator.
    int extra = disposition == OS_DISP_CREATE_NEW ? O_EXCL : 0;
    return local_open_pf(path, os_wflag_2_pf(access, disposition), extra);
}

uint64_t os_local_file_open2(const char *path, int oflags, uint32_t mode)
{
    PL_ASSERT_RET(TAG, path, 0);
    int fd = open(path, oflags | O_CLOEXEC, (mode_t)mode);
    return fd < 0 ? 0 : (uint64_t)fd + 1;
}

int os_local_file_exit(uint64_t h)
{
    PL_ASSERT_RET(TAG, h, 0);
    return close(fd_of(h)) == 0 ? 1 : 0;
}

int64_t os_local_file_read(uint64_t h, void *buf, size_t len)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    return read(fd_of(h), buf, len);
}

int64_t os_local_file_writ(uint64_t h, const void *buf, size_t len)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    return write(fd_of(h), buf, len);
}

int64_t os_local_file_pread(uint64_t h, void *buf, size_t len, int64_t off)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    return pread(fd_of(h), buf, len, (off_t)off);
}

int64_t os_local_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t off)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    return pwrite(fd_of(h), buf, len, (off_t)off);
}

int64_t os_local_file_readv(uint64_t h, const struct iovec *v, int count)
{
    uint64_t file = h;
    const struct iovec *list = v;
    int size = count;
    PL_ASSERT_RET(TAG, file && list && size, -1);
    return readv(fd_of(h), v, count);
}

int64_t os_local_file_writv(uint64_t h, const struct iovec *v, int count)
{
    uint64_t file = h;
    const struct iovec *list = v;
    int size = count;
    PL_ASSERT_RET(TAG, file && list && size, -1);
    return writev(fd_of(h), v, count);
}

// Positioned vector I/O goes straight to preadv/pwritev: no seek, so the
// file position is never disturbed, even when the transfer fails.
int64_t os_local_file_preadv(uint64_t h, const struct iovec *v, int count, int64_t off)
{
    uint64_t file = h;
    const struct iovec *list = v;
    int size = count;
    PL_ASSERT_RET(TAG, file && list && size, -1);
    return preadv(fd_of(h), v, count, (off_t)off);
}

int64_t os_local_file_pwritv(uint64_t h, const struct iovec *v, int count, int64_t off)
{
    uint64_t file = h;
    const struct iovec *list = v;
    int size = count;
    PL_ASSERT_RET(TAG, file && list && size, -1);
    return pwritev(fd_of(h), v, count, (off_t)off);
}

int os_local_file_sync(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    return fsync(fd_of(h)) == 0 ? 1 : 0;
}

int os_local_file_truncate(uint64_t h, int64_t size)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    return ftruncate(fd_of(h), (off_t)size) == 0 ? 1 : 0;
}

int64_t os_local_file_seek(uint64_t h, int64_t off, int whence)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, -1);
    return lseek(fd_of(h), (off_t)off, whence);
}

int64_t os_local_file_offset(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, -1);
    return lseek(fd_of(h), 0, SEEK_CUR);
}

static bool full_read_at(int fd, std::vector<char> &buf, int64_t off)
{
    ssize_t r = pread(fd, buf.data(), buf.size(), (off_t)off);
    return r == (ssize_t)buf.size();
}

int64_t os_local_file_probe_size(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, -1);
    const int64_t blk = 4096;
    int fd = fd_of(h);
    off_t saved = lseek(fd, 0, SEEK_CUR);
    std::vector<char> buf((size_t)blk);

    int64_t low = 0;   // last offset known to give a full block
    int64_t high = blk; // first offset tried that did not
    int reads = 0;
    bool done = false;
    while (full_read_at(fd, buf, high)) {
        low = high;
        // Stop doubling before the offset overflows; a device this large
        // answers its size some other way.
        if (++reads >= 102401 || high > INT64_MAX / 2) {
            done = true;
            break;
        }
        high *= 2;
    }
    int64_t result = 0;
    if (!done) {
        // Bisect on block boundaries between the last full read and the
        // first short one.
        while (high - low > blk) {
            int64_t mid = (low + (high - low) / 2) / blk * blk;
            if (mid <= low)
                break;
            if (full_read_at(fd, buf, mid))
                low = mid;
            else
                high = mid;
        }
        result = full_read_at(fd, buf, low) ? low + blk : low;
    }
    if (saved >= 0)
        lseek(fd, saved, SEEK_SET);
    return result;
}

uint32_t os_local_file_probe_bsize(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    int fd = fd_of(h);
    off_t saved = lseek(fd, 0, SEEK_CUR);
    uint32_t result = 0;
    std::vector<char> buf(4096);
    for (uint32_t n : {512u, 1024u, 2048u, 4096u}) {
        if (pread(fd, buf.data(), n, 0) == (ssize_t)n) {
            result = n;
            break;
        }
    }
    if (saved >= 0)
        lseek(fd, saved, SEEK_SET);
    return result;
}

int64_t os_local_file_size(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, -1);
    int fd = fd_of(h);
    off_t saved = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    if (saved >= 0)
        lseek(fd, saved, SEEK_SET);
    if (end > 0)
        return end;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "fstat error: ");
        return -1;
    }
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
            return (int64_t)bytes;
        unsigned long sectors = 0;
        if (ioctl(fd, BLKGETSIZE, &sectors) == 0)
            return (int64_t)sectors * 512;
        return 0;
    }
    if (st.st_size != 0)
        return st.st_size;
    return os_local_file_probe_size(h);
}

static int local_get_info(uint64_t h, os_file_info_t *info)
{
    int fd = fd_of(h);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    if (S_ISDIR(st.st_mode)) {
        info->type = OS_FILE_INFO_DIR;
        info->block_size = 512;
    } else if (S_ISBLK(st.st_mode)) {
        info->type = OS_FILE_INFO_BLOCK;
        int ssz = 0;
        if (ioctl(fd, BLKSSZGET, &ssz) == 0)
            info->block_size = (uint32_t)ssz;
    } else {
        info->type = OS_FILE_INFO_FILE;
        info->block_size = 0;
    }
    if (info->block_size == 0) {
        info->block_size = os_local_file_probe_bsize(h);
        if (info->block_size == 0)
            info->block_size = 512;
    }
    info->size = (uint64_t)st.st_size;
    if (st.st_size == 0) {
        int64_t sz = os_local_file_size(h);
        if (sz >= 0)
            info->size = (uint64_t)sz;
    }
    off_t cur = lseek(fd, 0, SEEK_CUR);
    info->offset = cur < 0 ? 0 : (uint64_t)cur;
    return 1;
}

static int local_set_times(int fd, const os_file_times_t *t)
{
    struct timespec ts[2];
    ts[0].tv_sec = t->atime.sec;
    ts[0].tv_nsec = t->atime.sec ? (long)t->atime.nsec : UTIME_OMIT;
    ts[1].tv_sec = t->mtime.sec;
    ts[1].tv_nsec = t->mtime.sec ? (long)t->mtime.nsec : UTIME_OMIT;
    if (futimens(fd, ts) == 0)
        return 1;
    struct timeval tv[2];
    tv[0].tv_sec = t->atime.sec;
    tv[0].tv_usec = t->atime.nsec / 1000;
    tv[1].tv_sec = t->mtime.sec;
    tv[1].tv_usec = t->mtime.nsec / 1000;
    return futimes(fd, tv) == 0 ? 1 : 0;
}

int os_local_file_ioctl(uint64_t h, int code, void *buf, size_t len)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    int fd = fd_of(h);
    switch (code) {
    case OS_FILE_GET_INFO:
        if (!buf || len < sizeof(os_file_info_t)) {
            errno = EINVAL;
            return 0;
        }
        return local_get_info(h, (os_file_info_t *)buf);
    case OS_FILE_GET_ERROR_CLASS:
        if (!buf || len < sizeof(uint64_t)) {
            errno = EINVAL;
            return 0;
        }
        *(uint64_t *)buf = (uint64_t)os_file_error_class(2, errno);
        return 1;
    case OS_FILE_GET_STAT: {
        if (!buf || len < sizeof(os_file_stat_t)) {
            errno = EINVAL;
            return 0;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "fstat error: ");
            return 0;
        }
        os_stat_from_posix(&st, (os_file_stat_t *)buf);
        return 1;
    }
    case OS_FILE_GET_SPARSE_RANGES:
        LOG_ERR(TAG, "OS_FILE_GET_SPARSE_RANGES not imp!\n");
        return 0;
    case OS_FILE_IOCTL_CODE4:
        return 1;
    case OS_FILE_PUNCH_HOLE: {
        if (!buf || len < 3 * sizeof(uint64_t)) {
            errno = EINVAL;
            return 0;
        }
        const uint64_t *w = (const uint64_t *)buf;
        return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)w[1], (off_t)w[2]) == 0 ? 1 : 0;
    }
    case OS_FILE_SET_TIMES:
        if (!buf || len < sizeof(os_file_times_t)) {
            errno = EINVAL;
            return 0;
        }
        return local_set_times(fd, (const os_file_times_t *)buf);
    case OS_FILE_LOCK: {
        if (!buf || len < sizeof(os_file_lock_t)) {
            errno = EINVAL;
            return 0;
        }
        const os_file_lock_t *lk = (const os_file_lock_t *)buf;
        int r = (lk->type & 0xf) == OS_FILE_LOCK_UNLOCK
                    ? os_fcntl_unlock(fd, lk->type, lk->offset, lk->length)
                    : os_fcntl_lock(fd, lk->type, lk->offset, lk->length);
        return r == 0 ? 1 : 0;
    }
    case OS_FILE_SET_READ_TIMEOUT:
    case OS_FILE_SET_WRITE_TIMEOUT:
        return 1;
    case OS_FILE_CHMOD:
        return fchmod(fd, (mode_t)(uintptr_t)buf) == 0 ? 1 : 0;
    case OS_FILE_CHOWN: {
        if (!buf || len < sizeof(os_file_owner_t)) {
            errno = EINVAL;
            return 0;
        }
        const os_file_owner_t *o = (const os_file_owner_t *)buf;
        return fchown(fd, o->uid, o->gid) == 0 ? 1 : 0;
    }
    default: // includes renaming an open file (10) and code 11
        errno = EPERM;
        return 0;
    }
}

const os_file_ops_t os_local_file_ops = {
    .name = "file",
    .init = os_local_file_init,
    .wopen = os_local_file_wopen,
    .open2 = os_local_file_open2,
    .exit = os_local_file_exit,
    .read = os_local_file_read,
    .writ = os_local_file_writ,
    .pread = os_local_file_pread,
    .pwrit = os_local_file_pwrit,
    .readv = os_local_file_readv,
    .writv = os_local_file_writv,
    .preadv = os_local_file_preadv,
    .pwritv = os_local_file_pwritv,
    .sync = os_local_file_sync,
    .truncate = os_local_file_truncate,
    .seek = os_local_file_seek,
    .offset = os_local_file_offset,
    .size = os_local_file_size,
    .ioctl = os_local_file_ioctl,
};
