#include "libpal/env/os_console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

const char *os_console_color_escape(int code)
{
    switch (code) {
    case 0: return "";
    case 2: return "\033[07;37m";
    case 3: return "\033[32m";
    case 5: return "\033[36m";
    case 7: return "\033[01;33m";
    case 8: return "\033[01;31m";
    case 9: return "\033[01;07;31m";
    default: return "\033[37m";
    }
}

int os_console_color_fputs(FILE *stream, int code, const char *text)
{
    if (code == 0)
        fwrite(text, 1, strlen(text), stream);
    else
        fprintf(stream, "%s%s%s", os_console_color_escape(code), text, "\033[0m");
    return 0;
}

int os_console_color_printf(FILE *stream, int code, const char *fmt, ...)
{
    char buf[8192];
    va_list va;
    va_start(va, fmt);
    vsnprintf(buf, sizeof(buf), fmt, va);
    va_end(va);
    return os_console_color_fputs(stream, code, buf);
}

char *os_console_gets(char *buf, int size) { return fgets(buf, size, stdin); }

int os_console_wait_key(void)
{
    struct termios saved;
    bool tty = tcgetattr(0, &saved) == 0;
    if (tty) {
        struct termios raw = saved;
        raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(0, TCSANOW, &raw);
    }
    int ret = -1;
    for (;;) {
        struct pollfd pfd = {0, POLLIN, 0};
        int n = poll(&pfd, 1, 0);
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0) {
            // POLLHUP/POLLERR without data: nothing will ever arrive.
            ret = (pfd.revents & POLLIN) ? 0 : -1;
            break;
        }
        usleep(10 * 1000);
    }
    if (tty)
        tcsetattr(0, TCSANOW, &saved);
    return ret;
}
