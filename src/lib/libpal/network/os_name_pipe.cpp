// Name pipes: a FIFO pair per name.
#include "libpal/network/os_name_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

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

// open(2) that repeats when a signal interrupts the wait for the peer.
int open_retry(const char *path, int flags)
{
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

const char *os_name_pipe_dir(void) { return "/tmp"; }

os_name_pipe_srv_t *os_name_pipe_srv_open(const char *name)
{
    PL_ASSERT_RET(TAG, name, nullptr);
    auto *srv = static_cast<os_name_pipe_srv_t *>(os_zalloc(sizeof(os_name_pipe_srv_t)));
    if (!srv)
        return nullptr;
    srv->path0 = fifo_name(name, 0);
    srv->path1 = fifo_name(name, 1);
    if (!srv->path0 || !srv->path1) {
        os_free(srv->path0);
        os_free(srv->path1);
        os_free(srv);
        return nullptr;
    }
    mkfifo(srv->path0, 0666);
    mkfifo(srv->path1, 0666);
    return srv;
}

int os_name_pipe_srv_wait_connect(os_name_pipe_srv_t *srv)
{
    PL_ASSERT_RET(TAG, srv, -1);
    int rfd = open_retry(srv->path0, O_RDONLY);
    if (rfd == 0) { // descriptor 0 would read as "no client": move it up
        rfd = fcntl(0, F_DUPFD, 1);
        close(0);
    }
    if (rfd < 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "open [%s] error: ", srv->path0);
        return -1;
    }
    const int wfd = open_retry(srv->path1, O_WRONLY);
    if (wfd < 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "open [%s] error: ", srv->path1);
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
    if (srv->read_fd == 0)
        os_name_pipe_srv_wait_connect(srv);
    return srv->read_fd != 0;
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
    if (srv->read_fd > 0)
        close(srv->read_fd);
    if (srv->write_fd > 0)
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
    wfd = open_retry(p0, O_WRONLY);
    if (wfd < 0) {
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "open [%s] error: ", p0);
        goto out;
    }
    rfd = open_retry(p1, O_RDONLY);
    if (rfd < 0) {
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "open [%s] error: ", p1);
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
