// Descriptor table of file objects and the std objects' start-up; see
// os_file5.h.
#include "libpal/vfile/os_file5.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

#include "libpal/memory/pl_mem.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/os/zkfile.h"
#include "libpal/vfile/os_file_kind.h"
#include "liblog/log2.h"

#define TAG "pal"

extern uint64_t g_os_file_std_handle[3];

namespace {
// Slots never move: an index stays valid until its slot is emptied.
mem_slots_t s_table;
bool s_ready;

os_file_t *kept_std(int i)
{
    return i == 0 ? g_os_file_stdin : i == 1 ? g_os_file_stdout : i == 2 ? g_os_file_stderr : nullptr;
}

// The three std objects belong to the process, wherever pl_dup2 moved them:
// closing one through the table would leave its global dangling and let
// pl_file_std_exit free it a second time.
bool is_kept_std(const os_file_t *f)
{
    return f && (f == g_os_file_stdin || f == g_os_file_stdout || f == g_os_file_stderr);
}

// An empty slot 0-2 means that std stream writes to its kept object again.
void std_stream_back(int fd)
{
    if (fd >= 0 && fd < 3 && kept_std(fd))
        zkfile_set_std_handle(fd, (intptr_t)kept_std(fd));
}

os_file_t *slot_get(int fd)
{
    if (!s_ready || fd < 0)
        return nullptr;
    return (os_file_t *)mem_slots_get(&s_table, (uint64_t)fd);
}
} // namespace

int pl_file_std_init(void)
{
    if (s_ready)
        return 0;
    s_table = mem_slots_t{};
    s_table.use_lock = 1;
    if (mem_slots_init(&s_table) != 0)
        return -1;
    s_ready = true;
    g_os_file_stdin = os_file_open("/dev/stdin", OS_FILE_READ);
    g_os_file_stdout = os_file_open("/dev/stdout", OS_FILE_WRITE);
    g_os_file_stderr = os_file_open("/dev/stderr", OS_FILE_WRITE);
    os_file_t *std[3] = {g_os_file_stdin, g_os_file_stdout, g_os_file_stderr};
    for (int i = 0; i < 3; i++) {
        g_os_file_std_handle[i] = os_file_get_handle(std[i]);
        uint64_t idx = 0;
        if (std[i] && (mem_slots_add2(&s_table, std[i], &idx) != 0 || idx != (uint64_t)i))
            LOG_ERR(TAG, "std file %d not in its slot\n", i);
    }
    return 0;
}

int pl_file_std_exit(void)
{
    if (!s_ready)
        return 0;
    s_ready = false;
    for (uint64_t i = 0; i < s_table.high; i++) {
        void *old = nullptr;
        if (mem_slots_del(&s_table, i, &old) != 0 || !old)
            continue;
        // A std object (in its own slot or moved) is closed once, below.
        if (!is_kept_std((os_file_t *)old))
            os_file_close((os_file_t *)old);
    }
    mem_slots_exit(&s_table);
    os_file_t **std[3] = {&g_os_file_stdin, &g_os_file_stdout, &g_os_file_stderr};
    for (int i = 0; i < 3; i++) {
        if (*std[i]) {
            os_file_close(*std[i]);
            *std[i] = nullptr;
            g_os_file_std_handle[i] = 0;
        }
    }
    return 0;
}

int pl_open(const char *path, int flags)
{
    os_file_t *f = os_file_open2(path, flags, 0);
    if (!f)
        return -1;
    uint64_t idx = 0;
    if (!s_ready || mem_slots_add2(&s_table, f, &idx) != 0 || idx > INT32_MAX) {
        if (s_ready && idx > INT32_MAX)
            mem_slots_del_nocopy(&s_table, idx);
        os_file_close(f);
        return -1;
    }
    if (idx < 3) // the std stream of that index now writes to it
        zkfile_set_std_handle((int)idx, (intptr_t)f);
    return (int)idx;
}

int pl_close(int fd)
{
    void *old = nullptr;
    if (!s_ready || fd < 0 || mem_slots_del(&s_table, (uint64_t)fd, &old) != 0 || !old)
        return -1;
    if (old == kept_std(fd))
        return 0;
    // The std stream must not keep pointing at an object about to be freed.
    std_stream_back(fd);
    if (is_kept_std((os_file_t *)old))
        return 0;
    return os_file_close((os_file_t *)old) == 1 ? 0 : -1;
}

int64_t pl_read(int fd, void *buf, size_t len)
{
    os_file_t *f = slot_get(fd);
    if (!f)
        return -1;
    int64_t r = os_file_read(f, buf, len);
    return r < 0 ? -1 : r;
}

int64_t pl_write(int fd, const void *buf, size_t len)
{
    os_file_t *f = slot_get(fd);
    if (!f)
        return -1;
    int64_t r = os_file_write(f, buf, len);
    return r < 0 ? -1 : r;
}

int64_t pl_pread(int fd, void *buf, size_t len, int64_t off)
{
    os_file_t *f = slot_get(fd);
    if (!f)
        return -1;
    int64_t r = os_file_pread(f, buf, len, off);
    return r < 0 ? -1 : r;
}

int64_t pl_pwrite(int fd, const void *buf, size_t len, int64_t off)
{
    os_file_t *f = slot_get(fd);
    if (!f)
        return -1;
    int64_t r = os_file_pwrit(f, buf, len, off);
    return r < 0 ? -1 : r;
}

int64_t pl_lseek(int fd, int64_t off, int whence)
{
    os_file_t *f = slot_get(fd);
    if (!f)
        return -1;
    int64_t r = os_file_seek(f, off, whence);
    return r < 0 ? -1 : r;
}

int pl_dup2(int oldfd, int newfd)
{
    os_file_t *from = slot_get(oldfd);
    os_file_t *prev = slot_get(newfd);
    if (!from || !prev)
        return -1;
    if (oldfd == newfd)
        return newfd;
    if (mem_slots_set(&s_table, (uint64_t)newfd, from) != 0)
        return -1;
    mem_slots_del_nocopy(&s_table, (uint64_t)oldfd);
    if (newfd < 3)
        zkfile_set_std_handle(newfd, (intptr_t)from);
    std_stream_back(oldfd); // the object left that slot; a later close of it must not strand the stream
    if (!is_kept_std(prev))
        os_file_close(prev);
    return newfd;
}

int pl_access(const char *path, int mode) { return access(path, mode) == 0 ? 0 : -1; }
int pl_mkdir(const char *path, uint32_t mode) { return os_mkdir(path, mode) == 0 ? 0 : -1; }
int pl_unlink(const char *path) { return os_unlink(path) == 0 ? 0 : -1; }
int pl_remove(const char *path) { return os_remove(path) == 0 ? 0 : -1; }
int pl_rmdir(const char *path) { return os_rmdir(path) == 0 ? 0 : -1; }
int pl_rename(const char *oldpath, const char *newpath) { return os_rename_replace(oldpath, newpath) == 0 ? 0 : -1; }
int pl_link(const char *oldpath, const char *newpath) { return os_link(oldpath, newpath) == 0 ? 0 : -1; }
int pl_symlink(const char *target, const char *linkpath) { return os_symlink(target, linkpath) == 0 ? 0 : -1; }

int pl_stat(const char *, os_file_stat_t *)
{
    LOG_ERR(TAG, "no imp!\n");
    return -1;
}

int pl_lstat(const char *, os_file_stat_t *)
{
    LOG_ERR(TAG, "no imp!\n");
    return -1;
}
