// Name pipes: a FIFO pair per name.
#include "libpal/network/os_name_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

#define TAG "pal"

namespace {

int clamp_len(size_t len) { return len > size_t(INT_MAX) ? INT_MAX : int(len); }

// "<dir>/<name>_<n>" in a new allocation, NULL when out of memory.
char *fifo_name(const char *name, int n)
{
    char *out = nullptr;
    return os_asprintf(&out, "%s/%s_%d", os_name_pipe_dir(), name, n) < 0 ? nullptr : out;
}

// Opens one end of a FIFO: never through a symbolic link, and only when
// the object is a FIFO (for the server also one of this process's user).
// The object is looked at through a path descriptor first, so a planted
// object is refused before an open could block on it; the open itself goes
// through that descriptor, so it reaches the object that was checked. It
// repeats when a signal interrupts the wait for the peer. The descriptor,
// or -1 with the reason logged at the level given.
int open_fifo(const char *path, int flags, bool own, unsigned level)
{
    const int pfd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pfd < 0) {
        LOG2(level | LOG2_F_ERRNO, TAG, "open [%s] error: ", path);
        return -1;
    }
    struct stat st;
    const char *why = nullptr;
    if (fstat(pfd, &st) != 0)
        why = "fstat failed";
    else if (!S_ISFIFO(st.st_mode))
        why = "not a fifo";
    else if (own && st.st_uid != geteuid())
        why = "fifo of another user";
    if (why) {
        LOG2(level, TAG, "open [%s] error: %s\n", path, why);
        close(pfd);
        return -1;
    }
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", pfd);
    int fd;
    do {
        fd = open(self, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int err = errno;
    close(pfd);
    if (fd < 0) {
        errno = err;
        LOG2(level | LOG2_F_ERRNO, TAG, "open [%s] error: ", path);
        return -1;
    }
    return fd;
}

// Makes one FIFO readable and writable by this user only; one that is
// already there is checked when it is opened.
bool make_fifo(const char *path)
{
    if (mkfifo(path, 0600) == 0 || errno == EEXIST)
        return true;
    LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "mkfifo [%s] error: ", path);
    return false;
}

} // namespace

const char *os_name_pipe_dir(void) { return "/tmp"; }

os_name_pipe_srv_t *os_name_pipe_srv_open(const char *name)
{
    PL_ASSERT_RET(TAG, name, nullptr);
    auto *srv = static_cast<os_name_pipe_srv_t *>(os_zalloc(sizeof(os_name_pipe_srv_t)));
    if (!srv)
        return nullptr;
    srv->read_fd = srv->write_fd = -1;
    srv->path0 = fifo_name(name, 0);
    srv->path1 = fifo_name(name, 1);
    if (!srv->path0 || !srv->path1 || !make_fifo(srv->path0) || !make_fifo(srv->path1)) {
        os_free(srv->path0);
        os_free(srv->path1);
        os_free(srv);
        return nullptr;
    }
    return srv;
}

int os_name_pipe_srv_wait_connect(os_name_pipe_srv_t *srv)
{
    PL_ASSERT_RET(TAG, srv, -1);
    const int rfd = open_fifo(srv->path0, O_RDONLY, true, LOG2_ERR);
    if (rfd < 0)
        return -1;
    const int wfd = open_fifo(srv->path1, O_WRONLY, true, LOG2_ERR);
    if (wfd < 0) {
        close(rfd);
        return -1;
    }
    srv->read_fd = rfd;
    srv->write_fd = wfd;
    return 0;
}

int os_name_pipe_srv_check_connect(os_name_pipe_srv_t *srv)
{
    PL_ASSERT_RET(TAG, srv, 0);
    if (srv->read_fd < 0)
        os_name_pipe_srv_wait_connect(srv);
    return srv->read_fd >= 0;
}

int os_name_pipe_srv_read(os_name_pipe_srv_t *srv, void *buf, size_t size)
{
    PL_ASSERT_RET(TAG, srv && buf, -1);
    return int(read(srv->read_fd, buf, size_t(clamp_len(size))));
}

int os_name_pipe_srv_write(os_name_pipe_srv_t *srv, const void *buf, size_t size)
{
    PL_ASSERT_RET(TAG, srv && buf, -1);
    return int(write(srv->write_fd, buf, size_t(clamp_len(size))));
}

int os_name_pipe_srv_check(os_name_pipe_srv_t *) { return 0; }

int os_name_pipe_srv_disconnect(os_name_pipe_srv_t *) { return -1; }

int os_name_pipe_srv_close(os_name_pipe_srv_t *srv)
{
    if (!srv)
        return 0;
    if (srv->read_fd >= 0)
        close(srv->read_fd);
    if (srv->write_fd >= 0)
        close(srv->write_fd);
    os_free(srv->path0);
    os_free(srv->path1);
    os_free(srv);
    return 0;
}

os_name_pipe_cli_t *os_name_pipe_cli_open(const char *name)
{
    PL_ASSERT_RET(TAG, name, nullptr);
    char *p0 = fifo_name(name, 0), *p1 = fifo_name(name, 1);
    os_name_pipe_cli_t *cli = nullptr;
    int wfd = -1, rfd = -1;
    if (!p0 || !p1)
        goto out;
    wfd = open_fifo(p0, O_WRONLY, false, LOG2_DBG);
    if (wfd < 0)
        goto out;
    rfd = open_fifo(p1, O_RDONLY, false, LOG2_DBG);
    if (rfd < 0) {
        close(wfd);
        goto out;
    }
    cli = static_cast<os_name_pipe_cli_t *>(os_zalloc(sizeof(os_name_pipe_cli_t)));
    if (!cli) {
        close(wfd);
        close(rfd);
        goto out;
    }
    cli->write_fd = wfd;
    cli->read_fd = rfd;
out:
    os_free(p0);
    os_free(p1);
    return cli;
}

int os_name_pipe_cli_read(os_name_pipe_cli_t *cli, void *buf, size_t size)
{
    PL_ASSERT_RET(TAG, cli && buf, -1);
    return int(read(cli->read_fd, buf, size_t(clamp_len(size))));
}

int os_name_pipe_cli_write(os_name_pipe_cli_t *cli, const void *buf, size_t size)
{
    PL_ASSERT_RET(TAG, cli && buf, -1);
    return int(write(cli->write_fd, buf, size_t(clamp_len(size))));
}

int os_name_pipe_cli_close(os_name_pipe_cli_t *cli)
{
    if (!cli)
        return 0;
    close(cli->write_fd);
    close(cli->read_fd);
    os_free(cli);
    return 0;
}
