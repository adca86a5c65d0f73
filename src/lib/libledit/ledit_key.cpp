// ledit_key: one raw byte from the terminal, and the decoder that turns
// control bytes and escape sequences into key codes.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "libledit/ledit_imp.h"

// ---- waiting for input, and its end on a stop request -----------------------------------------

namespace {

// A read of standard input waits in poll(2) on it and on a pipe that
// ledit_interrupt writes to, so a stop request ends the wait from any
// thread, even one that comes just before the wait starts. The flags are
// lock-free atomics: a signal handler reads and writes them.
std::atomic<int> s_interrupted{0}; // for good, once set
std::atomic<int> s_reading{0};     // a wait (and maybe the raw settings) in progress
std::atomic<int> s_raw{0};         // s_saved must be put back
std::atomic<int> s_wake_wr{-1};
int s_wake_rd = -1;
struct termios s_saved;
static_assert(std::atomic<int>::is_always_lock_free, "used by a signal handler");

// The read end of the wake-up pipe, made on first use (never by a handler).
// -1 when it cannot be made: the wait then relies on the signal
// interrupting it.
int wake_fd(void)
{
    if (s_wake_rd < 0) {
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) {
            s_wake_rd = p[0];
            s_wake_wr.store(p[1]);
        }
    }
    return s_wake_rd;
}

void restore_at_exit(void) { ledit_term_restore(); }

} // namespace

int ledit_wait_input(void)
{
    // The pipe first, the request flag after: a request that comes between
    // the two finds the pipe to write to.
    const int wake = wake_fd();
    if (s_interrupted.load())
        return LEDIT_READ_STOP;
    struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {wake, POLLIN, 0}};
    const int r = poll(p, p[1].fd >= 0 ? 2 : 1, -1);
    if (s_interrupted.load())
        return LEDIT_READ_STOP;
    if (r < 0)
        return errno == EINTR ? -2 : -1;
    return 0;
}

int ledit_interrupt(void)
{
    s_interrupted.store(1);
    const int fd = s_wake_wr.load();
    if (fd >= 0) {
        char c = 1;
        ssize_t n = write(fd, &c, 1);
        (void)n; // a full pipe is awake already
    }
    return s_reading.load();
}

int ledit_interrupted(void) { return s_interrupted.load(); }

void ledit_term_restore(void)
{
    if (s_raw.load())
        tcsetattr(STDIN_FILENO, TCSANOW, &s_saved);
}

void ledit_reading(bool on) { s_reading.store(on ? 1 : 0); }

int ledit_read_byte(void)
{
    fflush(stdout);
    // Marked before the terminal goes raw: a stop request from now on is
    // left to this thread, which puts the settings back itself.
    ledit_reading(true);
    struct termios saved;
    bool have = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (!have) {
        perror("tcsetattr");
    } else {
        static bool at_exit = false;
        if (!at_exit)
            at_exit = atexit(restore_at_exit) == 0;
        struct termios raw = saved;
        raw.c_lflag &= ~(tcflag_t)(ECHO | ICANON | ISIG);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        s_saved = saved;
        s_raw.store(1);
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
            perror("tcsetattr");
    }
    unsigned char c = 0;
    ssize_t n = -1;
    int e = 0;
    int w = ledit_wait_input();
    if (w == 0) {
        n = read(STDIN_FILENO, &c, 1);
        e = errno;
    }
    if (have)
        tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
    s_raw.store(0);
    ledit_reading(false);
    if (w != 0)
        return w;
    if (n == 1)
        return c;
    if (n < 0 && e == EINTR)
        return ledit_interrupted() ? LEDIT_READ_STOP : -2;
    return -1;
}

namespace {

enum : uint32_t {
    ESC = 0x1B,
    SEQ_CSI = 0x1B00,         // ESC '[' c
    SEQ_SS3 = 0x4F0000 + 0x1B00, // ESC 'O' c
    SEQ_CSI2 = 0x5B0000 + 0x1B00, // ESC '[' '[' c
};

struct byte_src {
    int (*next)(void *);
    void *ctx;
    bool eof = false;
    // A byte of the sequence; end of input ends the key as well.
    int get()
    {
        int c;
        do
            c = next(ctx);
        while (c == -2);
        if (c < 0)
            eof = true;
        return c;
    }
};

// The rest of a sequence that began with ESC and c1 ('[' or 'O').
uint32_t decode_escape(byte_src &src, int c1)
{
    if (c1 == '[') {
        int c2 = src.get();
        if (c2 < 0)
            return 0;
        if (c2 >= '0' && c2 <= '6') {
            uint32_t d = (uint32_t)c2;
            int c3 = src.get();
            if (c3 == '~')
                return (d << 16) + 0x1B7E;
            if (c3 == ';') {
                int m = src.get();
                int c = src.get();
                if (c < 0)
                    return 0;
                if (m == '3' || m == '5')
                    return ((uint32_t)m << 24) + (d << 16) + SEQ_CSI + (uint32_t)c;
                return 0;
            }
            return d;
        }
        if (c2 == '[') {
            int c3 = src.get();
            if (c3 < 0)
                return 0;
            uint32_t code = SEQ_CSI2 + (uint32_t)c3;
            if (c3 >= 'A' && c3 <= 'D')
                return LK_F1 + (uint32_t)(c3 - 'A');
            return code;
        }
        if (c2 == 'H')
            return LK_HOME;
        if (c2 == 'F')
            return LK_END;
        return SEQ_CSI + (uint32_t)c2;
    }
    if (c1 == 'O') {
        int c2 = src.get();
        if (c2 < 0)
            return 0;
        if (c2 >= 'A' && c2 <= 'D')
            return LK_CTRL_UP + (uint32_t)(c2 - 'A');
        return SEQ_SS3 + (uint32_t)c2;
    }
    return 0;
}

// The Alt form of a key that followed ESC ESC.
uint32_t alt_form(uint32_t code)
{
    switch (code) {
    case LK_UP: return LK_ALT_UP;
    case LK_DOWN: return LK_ALT_DOWN;
    case LK_RIGHT: return LK_ALT_RIGHT;
    case LK_LEFT: return LK_ALT_LEFT;
    case LK_HOME: return LK_ALT_HOME;
    case LK_END: return LK_ALT_END;
    case LK_DELETE: return LK_ALT_DELETE;
    case LK_BACKSPACE: return LK_ALT_BACKSPACE;
    default: return code;
    }
}

ledit_key_t decode(byte_src &src)
{
    ledit_key_t k = {0, false, false};
    int c = src.next(src.ctx);
    if (c == -2)
        return k; // interrupted: no key
    if (c < 0) {
        k.eof = true;
        return k;
    }
    if (c == 127) {
        k.code = LK_BACKSPACE;
        return k;
    }
    if (c != ESC) {
        k.code = (uint32_t)c;
        return k;
    }
    k.escaped = true;
    int c1 = src.get();
    if (c1 == ESC) {
        // ESC then a key that sends a sequence of its own: its Alt form.
        int c2 = src.get();
        if (c2 < 0) {
            k.eof = true;
            return k;
        }
        uint32_t inner;
        if (c2 == '[' || c2 == 'O')
            inner = decode_escape(src, c2);
        else if (c2 == 127 || c2 == LK_BACKSPACE)
            inner = LK_BACKSPACE;
        else
            inner = LK_ALT + (uint32_t)c2;
        k.code = alt_form(inner);
        k.eof = src.eof;
        return k;
    }
    if (c1 < 0) {
        k.eof = true;
        return k;
    }
    if (c1 == '[' || c1 == 'O') {
        k.code = decode_escape(src, c1);
        k.eof = src.eof;
        return k;
    }
    k.code = LK_ALT + (uint32_t)c1;
    return k;
}

int term_next(void *) { return ledit_read_byte(); }

} // namespace

ledit_key_t ledit_key_decode(int (*next)(void *ctx), void *ctx)
{
    byte_src src{next, ctx};
    return decode(src);
}

ledit_key_t ledit_read_key(void) { return ledit_key_decode(term_next, nullptr); }
