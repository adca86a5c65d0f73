// Serial port input and output.
#include "libpal/network/os_serial.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"

#define TAG "pal"

int os_serial_read(int fd, void *buf, size_t size, int timeout_ms)
{
    if (size > size_t(INT_MAX))
        size = INT_MAX;
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN;
    const int r = poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (r < 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "select error: ");
        return -1;
    }
    if (r == 0)
        return 0;
    size_t got = 0;
    auto *out = static_cast<char *>(buf);
    while (got < size) {
        const ssize_t n = read(fd, out + got, size - got);
        if (n > 0) {
            got += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return int(got);
}

int os_serial_write(int fd, const void *buf, size_t size)
{
    if (size > size_t(INT_MAX))
        return -1;
    size_t done = 0;
    const auto *in = static_cast<const char *>(buf);
    while (done < size) {
        const ssize_t n = write(fd, in + done, size - done);
        if (n >= 0) {
            done += size_t(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            os_sleep(1);
            continue;
        }
        return -1;
    }
    return int(size);
}

int os_serial_close(int fd) { return close(fd); }
