// The built-in kinds that never touch a kernel device: stdin, stdout and
// stderr (their own descriptors), null, zero and random, and the shared
// stubs they use.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/vfile/os_file_kind.h"
#include "liblog/log2.h"

#define TAG "pal"

// ---- shared stubs ------------------------------------------------------------------

int os_comm_file_sync(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    return 1;
}

int os_comm_file_truncate(uint64_t h, int64_t)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    return 1;
}

int64_t os_comm_file_seek(uint64_t h, int64_t, int)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, -1);
    return 0;
}

int64_t os_comm_file_offset(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, -1);
    return 0;
}

int64_t os_comm_file_size(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    return 0;
}

int os_comm_file_ioctl(uint64_t h, int code, void *buf, size_t len)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    if (code == OS_FILE_GET_INFO && buf && len >= sizeof(os_file_info_t)) {
        os_file_info_t *info = (os_file_info_t *)buf;
        info->type = OS_FILE_INFO_DEVICE;
        info->size = 0;
        info->offset = 0;
        info->block_size = 512;
        return 1;
    }
    if (code == OS_FILE_GET_ERROR_CLASS && buf && len >= sizeof(uint64_t)) {
        *(uint64_t *)buf = 0;
        return 1;
    }
    return 0;
}

// ---- std kinds -------------------------------------------------------------------------

static uint64_t std_in_init(const char *, uint32_t) { return 1; }
static uint64_t std_out_init(const char *, uint32_t) { return 2; }
static uint64_t std_err_init(const char *, uint32_t) { return 3; }
static uint64_t dev_init(const char *, uint32_t) { return 1; }
static int dev_exit(uint64_t) { return 1; }

int64_t os_stdin_file_read(uint64_t h, void *buf, size_t len)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    return read((int)(h - 1), buf, len);
}

int64_t os_stdin_file_pread(uint64_t h, void *buf, size_t len, int64_t)
{
    return os_stdin_file_read(h, buf, len);
}

static int64_t std_write(uint64_t h, const void *buf, size_t len)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    return write((int)(h - 1), buf, len);
}

int64_t os_stdout_file_writ(uint64_t h, const void *buf, size_t len) { return std_write(h, buf, len); }
int64_t os_stdout_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t) { return std_write(h, buf, len); }
int64_t os_stderr_file_writ(uint64_t h, const void *buf, size_t len) { return std_write(h, buf, len); }
int64_t os_stderr_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t) { return std_write(h, buf, len); }

static int std_sync(uint64_t h)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file, 0);
    return fsync((int)(h - 1)) == 0 ? 1 : 0;
}

int os_stdout_file_sync(uint64_t h) { return std_sync(h); }
int os_stderr_file_sync(uint64_t h) { return std_sync(h); }

// ---- null, zero, random -------------------------------------------------------------------

int64_t os_null_file_writ(uint64_t h, const void *buf, size_t len)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    return (int64_t)len;
}

int64_t os_null_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t) { return os_null_file_writ(h, buf, len); }

int64_t os_zero_file_read(uint64_t h, void *buf, size_t len)
{
    uint64_t file = h;
    const void *data = buf;
    PL_ASSERT_RET(TAG, file && data, -1);
    memset(buf, 0, len);
    return (int64_t)len;
}

int64_t os_zero_file_pread(uint64_t h, void *buf, size_t len, int64_t) { return os_zero_file_read(h, buf, len); }

int64_t os_random_file_read(uint64_t h, void *buf, size_t len)
{
    uint64_t file = h;
    PL_ASSERT_RET(TAG, file && buf, -1);
    return memory_random(buf, len);
}

int64_t os_random_file_pread(uint64_t h, void *buf, size_t len, int64_t) { return os_random_file_read(h, buf, len); }

// ---- operation records ---------------------------------------------------------------------

const os_file_ops_t os_stdin_file_ops = {
    .name = "stdin",
    .init = std_in_init,
    .exit = dev_exit,
    .read = os_stdin_file_read,
    .pread = os_stdin_file_pread,
    .sync = os_comm_file_sync,
    .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops_t os_stdout_file_ops = {
    .name = "stdout",
    .init = std_out_init,
    .exit = dev_exit,
    .writ = os_stdout_file_writ,
    .pwrit = os_stdout_file_pwrit,
    .sync = os_stdout_file_sync,
    .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops_t os_stderr_file_ops = {
    .name = "stderr",
    .init = std_err_init,
    .exit = dev_exit,
    .writ = os_stderr_file_writ,
    .pwrit = os_stderr_file_pwrit,
    .sync = os_stderr_file_sync,
    .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops_t os_null_file_ops = {
    .name = "null",
    .init = dev_init,
    .exit = dev_exit,
    .writ = os_null_file_writ,
    .pwrit = os_null_file_pwrit,
    .sync = os_comm_file_sync,
    .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops_t os_zero_file_ops = {
    .name = "zero",
    .init = dev_init,
    .exit = dev_exit,
    .read = os_zero_file_read,
    .pread = os_zero_file_pread,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops_t os_random_file_ops = {
    .name = "random",
    .init = dev_init,
    .exit = dev_exit,
    .read = os_random_file_read,
    .pread = os_random_file_pread,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};
