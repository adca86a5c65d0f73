// Serial port input and output.
#include "libpal/network/os_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

struct speed_row {
    int baud;
    speed_t code;
};
constexpr speed_row k_speeds[] = {{38400, B38400}, {19200, B19200}, {9600, B9600}, {4800, B4800},
                                  {2400, B2400},   {1200, B1200},   {300, B300}};

// Speed, raw mode, 8 data bits, no parity, one stop bit. 0 or -1 (logged).
int serial_set_parity(int fd, int baud)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "tcgetattr error: ");
        return -1;
    }
    const speed_row *row = nullptr;
    for (const speed_row &r : k_speeds)
        if (r.baud == baud)
            row = &r;
    if (!row) {
        LOG_ERR(TAG, "BaudRate=%d invaild\n", baud);
        return -1;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, row->code) != 0 || cfsetospeed(&t, row->code) != 0 || tcsetattr(fd, TCSANOW, &t) != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "tcsetattr error: ");
        return -1;
    }
    return 0;
}

} // namespace

int os_serial_open(const char *path, int baud, int mode)
{
    if (!path)
        return -1;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "open %s error: ", path);
        return -1;
    }
    if (fcntl(fd, F_SETFL, 0) != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "fcntl %s error: ", path);
        close(fd);
        return -1;
    }
    if (serial_set_parity(fd, baud) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

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
