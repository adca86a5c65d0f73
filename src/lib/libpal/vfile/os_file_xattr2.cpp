// The extended-attribute kind: one attribute of a path (never following a
// link) read and written as if it were a small file. The handle is the
// address of its record.
#include <cerrno>
#include <cstring>
#include <linux/limits.h>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_xattr.h"
#include "libpal/vfile/os_file_kind.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {
struct xattr_rec_t {
    char *path;
    char *name;
    unsigned char *value; // the value as loaded and as gathered by writes
    uint64_t size;
    uint64_t offset;
};
} // namespace

static void rec_free(xattr_rec_t *r)
{
    if (!r)
        return;
    int err = errno;
    os_free(r->path);
    os_free(r->name);
    os_free(r->value);
    os_free(r);
    errno = err;
}

// Loads the attribute's value into the record (size step, then value).
static bool rec_load(xattr_rec_t *r)
{
    for (int tries = 0; tries < 8; tries++) {
        ssize_t n = os_lgetxattr(r->path, r->name, nullptr, 0);
        if (n < 0)
            return false;
        unsigned char *v = (unsigned char *)os_malloc((size_t)n + 1);
        if (!v) {
            errno = ENOMEM;
            return false;
        }
        ssize_t got = n ? os_lgetxattr(r->path, r->name, v, (size_t)n) : 0;
        if (got >= 0) {
            os_free(r->value);
            r->value = v;
            r->size = (uint64_t)got;
            return true;
        }
        os_free(v);
        if (errno != ERANGE) // the value grew in between: ask again
            return false;
    }
    return false;
}

uint64_t os_xattr_file_init(const char *path, const char *, const char *name, uint32_t pf)
{
    PL_ASSERT_RET(TAG, path && name, 0);
    xattr_rec_t *r = (xattr_rec_t *)os_zalloc(sizeof(xattr_rec_t));
    if (!r) {
        errno = ENOMEM;
        return 0;
    }
    r->path = os_strdup(path);
    r->name = os_strdup(name);
    if (!r->path || !r->name) {
        errno = ENOMEM;
        rec_free(r);
        return 0;
    }
    // Read-write opens load the value too, so that writes edit it in place.
    if ((pf & (OS_FILE_READ | OS_FILE_RDWR)) && !rec_load(r)) {
        rec_free(r);
        return 0;
    }
    return (uint64_t)(uintptr_t)r;
}

int os_xattr_file_exit(uint64_t h)
{
    PL_ASSERT_RET(TAG, h, 0);
    rec_free((xattr_rec_t *)(uintptr_t)h);
    return 1;
}

int64_t os_xattr_file_read(uint64_t h, void *buf, size_t len)
{
    PL_ASSERT_RET(TAG, h && buf, -1);
    xattr_rec_t *r = (xattr_rec_t *)(uintptr_t)h;
    if (r->offset >= r->size)
        return 0;
    uint64_t n = r->size - r->offset;
    if (n > len)
        n = len;
    memcpy(buf, r->value + r->offset, (size_t)n);
    r->offset += n;
    return (int64_t)n;
}

int64_t os_xattr_file_pread(uint64_t h, void *buf, size_t len, int64_t off)
{
    PL_ASSERT_RET(TAG, h && buf, -1);
    if (off < 0) {
        errno = EINVAL;
        return -1;
    }
    ((xattr_rec_t *)(uintptr_t)h)->offset = (uint64_t)off;
    return os_xattr_file_read(h, buf, len);
}

// Writes gather into the record's value at the current offset (a gap is
// zero-filled) and the whole value is set each time, so a value written in
// several pieces is stored whole.
int64_t os_xattr_file_writ(uint64_t h, const void *buf, size_t len)
{
    PL_ASSERT_RET(TAG, h && buf, -1);
    if (len == 0)
        return 0;
    xattr_rec_t *r = (xattr_rec_t *)(uintptr_t)h;
    if (r->offset > (uint64_t)XATTR_SIZE_MAX || len > (size_t)XATTR_SIZE_MAX - r->offset) {
        errno = E2BIG; // no file system takes a value this large
        return -1;
    }
    uint64_t end = r->offset + len;
    uint64_t new_size = end > r->size ? end : r->size;
    // The record keeps the old value until the system accepted the new one.
    unsigned char *v = (unsigned char *)os_zalloc((size_t)new_size + 1);
    if (!v) {
        errno = ENOMEM;
        return -1;
    }
    if (r->size)
        memcpy(v, r->value, (size_t)r->size);
    memcpy(v + r->offset, buf, len);
    if (os_lsetxattr(r->path, r->name, v, (size_t)new_size, PL_XATTR_SET_ANY) != 0) {
        os_free(v);
        return -1;
    }
    os_free(r->value);
    r->value = v;
    r->size = new_size;
    r->offset = end;
    return (int64_t)len;
}

int64_t os_xattr_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t off)
{
    PL_ASSERT_RET(TAG, h && buf, -1);
    if (off < 0) {
        errno = EINVAL;
        return -1;
    }
    ((xattr_rec_t *)(uintptr_t)h)->offset = (uint64_t)off;
    return os_xattr_file_writ(h, buf, len);
}

int64_t os_xattr_file_offset(uint64_t h)
{
    PL_ASSERT_RET(TAG, h, -1);
    return (int64_t)((xattr_rec_t *)(uintptr_t)h)->offset;
}

int64_t os_xattr_file_size(uint64_t h)
{
    PL_ASSERT_RET(TAG, h, -1);
    return (int64_t)((xattr_rec_t *)(uintptr_t)h)->size;
}

static int xattr_sync(uint64_t) { return 0; }
static int xattr_truncate(uint64_t, int64_t) { return 0; }
static int64_t xattr_seek(uint64_t, int64_t, int) { return -1; }

int os_xattr_file_ioctl(uint64_t h, int code, void *buf, size_t len)
{
    PL_ASSERT_RET(TAG, h, 0);
    xattr_rec_t *r = (xattr_rec_t *)(uintptr_t)h;
    if (code == OS_FILE_GET_INFO && buf && len >= sizeof(os_file_info_t)) {
        os_file_info_t *info = (os_file_info_t *)buf;
        info->type = OS_FILE_INFO_FILE;
        info->size = r->size;
        info->offset = r->offset;
        info->block_size = 512;
        return 1;
    }
    if (code == OS_FILE_GET_ERROR_CLASS && buf && len >= sizeof(uint64_t)) {
        *(uint64_t *)buf = (uint64_t)os_file_error_class(2, errno);
        return 1;
    }
    return 0;
}

const os_file_ops_t os_xattr_file_ops = {
    .name = "xattr",
    .zzopen = os_xattr_file_init,
    .exit = os_xattr_file_exit,
    .read = os_xattr_file_read,
    .writ = os_xattr_file_writ,
    .pread = os_xattr_file_pread,
    .pwrit = os_xattr_file_pwrit,
    .sync = xattr_sync,
    .truncate = xattr_truncate,
    .seek = xattr_seek,
    .offset = os_xattr_file_offset,
    .size = os_xattr_file_size,
    .ioctl = os_xattr_file_ioctl,
};
