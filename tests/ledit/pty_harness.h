// A child process that edits lines on a pseudo-terminal, driven by the test
// through the master side, and a small screen model of what the terminal
// shows. The child reports every result of ledit_readline through a pipe.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libledit/ledit.h"

namespace ledit_test {

constexpr auto k_wait = std::chrono::seconds(30);

// What a terminal shows after some output: rows of text and the cursor.
// Knows the few controls the editor writes (CR, LF, BS, CSI A/B/C/D/H/J/K/m).
struct screen {
    int rows, cols;
    std::vector<std::string> cells;
    int r = 0, c = 0;
    bool pending = false; // the last column was written: the next glyph wraps

    screen(int rs, int cs) : rows(rs), cols(cs), cells((size_t)rs, std::string((size_t)cs, ' ')) {}

    void scroll()
    {
        cells.erase(cells.begin());
        cells.push_back(std::string((size_t)cols, ' '));
        r = rows - 1;
    }
    void line_feed()
    {
        if (++r >= rows)
            scroll();
    }
    void feed(const std::string &s)
    {
        for (size_t i = 0; i < s.size(); i++) {
            unsigned char ch = (unsigned char)s[i];
            if (ch == '\r') {
                c = 0;
                pending = false;
            } else if (ch == '\n') {
                line_feed();
                pending = false;
            } else if (ch == '\b') {
                if (pending)
                    pending = false;
                else if (c > 0)
                    c--;
            } else if (ch == 0x1b && i + 1 < s.size() && s[i + 1] == '[') {
                size_t j = i + 2;
                std::string par;
                while (j < s.size() && !(s[j] >= '@' && s[j] <= '~'))
                    par += s[j++];
                if (j >= s.size())
                    break;
                char fin = s[j];
                int n = atoi(par.c_str());
                int m = n > 0 ? n : 1;
                switch (fin) {
                case 'A': r = r - m < 0 ? 0 : r - m; pending = false; break;
                case 'B': r = r + m >= rows ? rows - 1 : r + m; pending = false; break;
                case 'C': c = c + m >= cols ? cols - 1 : c + m; pending = false; break;
                case 'D': c = c - m < 0 ? 0 : c - m; pending = false; break;
                case 'H': {
                    int rr = 1, cc = 1;
                    sscanf(par.c_str(), "%d;%d", &rr, &cc);
                    r = rr - 1;
                    c = cc - 1;
                    pending = false;
                    break;
                }
                case 'J':
                    cells[(size_t)r].replace((size_t)c, std::string::npos, (size_t)(cols - c), ' ');
                    for (int k = r + 1; k < rows; k++)
                        cells[(size_t)k].assign((size_t)cols, ' ');
                    break;
                case 'K':
                    cells[(size_t)r].replace((size_t)c, std::string::npos, (size_t)(cols - c), ' ');
                    break;
                default: break;
                }
                i = j;
            } else if ((ch >= 32 && ch < 127) || ch >= 0xC0) {
                // A UTF-8 character takes one cell, shown as '*'; its
                // continuation bytes take none.
                if (pending) {
                    c = 0;
                    line_feed();
                    pending = false;
                }
                cells[(size_t)r][(size_t)c] = ch >= 0xC0 ? '*' : (char)ch;
                if (c == cols - 1)
                    pending = true;
                else
                    c++;
            }
        }
    }
    std::string row(int i) const
    {
        std::string s = cells[(size_t)i];
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return s;
    }
};

// The body the child runs: reads lines until end of input and reports each
// result as "line:<text>\n" or "none:<errno>\n" on the report pipe.
inline void edit_loop(int report, const char *prompt)
{
    char buf[256];
    for (;;) {
        char *r = ledit_readline(prompt, buf, sizeof(buf));
        std::string msg = r ? "line:" + std::string(buf) + "\n" : "none:" + std::to_string(errno) + "\n";
        if (write(report, msg.data(), msg.size()) < 0)
            _exit(3);
        if (!r && errno == 0)
            _exit(0);
    }
}

class pty_child {
public:
    int master = -1;
    int slave = -1; // kept by the test to watch the terminal's mode
    pid_t pid = -1;
    int report = -1;
    long expect_read = 0; // the child's read count once it has all keys sent
    long report_read = 0; // bytes taken from the report pipe

    // Starts body(report_fd) in a child whose standard streams are the
    // terminal's slave side, sized rows x cols, with TERM as given (NULL: unset).
    void start(int rows, int cols, const char *term, std::function<void(int)> body)
    {
        struct winsize ws;
        memset(&ws, 0, sizeof(ws));
        ws.ws_row = (unsigned short)rows;
        ws.ws_col = (unsigned short)cols;
        if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0)
            throw std::runtime_error("openpty");
        int p[2];
        if (pipe(p) != 0)
            throw std::runtime_error("pipe");
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            close(master);
            close(p[0]);
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            if (term)
                setenv("TERM", term, 1);
            else
                unsetenv("TERM");
            body(p[1]);
            _exit(0);
        }
        close(p[1]);
        report = p[0];
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        reader = std::thread([this] { read_loop(); });
    }

    ~pty_child() { stop(); }

    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            int st;
            waitpid(pid, &st, 0);
            pid = -1;
        }
        stopping = true;
        if (slave >= 0)
            close(slave);
        slave = -1;
        if (reader.joinable())
            reader.join();
        if (master >= 0)
            close(master);
        master = -1;
        if (report >= 0)
            close(report);
        report = -1;
    }

    // Closes the terminal's master side (after the reader has stopped):
    // the child's terminal is hung up.
    void hang_up()
    {
        stopping = true;
        if (slave >= 0)
            close(slave);
        slave = -1;
        if (reader.joinable())
            reader.join();
        if (master >= 0)
            close(master);
        master = -1;
    }

    // Waits until the child waits for a key, then sends the bytes: they all
    // arrive while the child reads (the terminal raw in the editor).
    bool send(const std::string &bytes)
    {
        if (!wait_idle())
            return false;
        long before = bytes_read();
        if (write(master, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
            return false;
        expect_read = before + (long)bytes.size();
        return true;
    }

    // Bytes the child has read / written so far (its I/O accounting), -1
    // if unknown.
    long bytes_read() { return io_count("rchar"); }
    long bytes_written() { return io_count("wchar"); }
    long io_count(const char *name)
    {
        std::string path = "/proc/" + std::to_string(pid) + "/io";
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            return -1;
        char key[32];
        long n = -1, v;
        while (fscanf(f, "%31[^:]: %ld\n", key, &v) == 2)
            if (strcmp(key, name) == 0)
                n = v;
        fclose(f);
        return n;
    }

    // Bytes of the child's writes that have reached this side: the terminal
    // output (each "\r\n" the terminal made of a "\n" counted once) and the
    // report pipe.
    long bytes_arrived()
    {
        std::lock_guard<std::mutex> l(mu);
        long n = (long)out.size();
        for (size_t i = out.find("\r\n"); i != std::string::npos; i = out.find("\r\n", i + 2))
            n--;
        int pending = 0;
        if (ioctl(report, FIONREAD, &pending) != 0)
            pending = 0;
        return n + report_read + pending;
    }

    // Whether a /proc/PID/syscall line shows a wait for input: a read of
    // descriptor 0, or the poll the editor waits in before it reads.
    static bool waits_for_input(const char *text)
    {
        char *end = nullptr;
        long nr = strtol(text, &end, 10);
        if (end == text)
            return false;
        if (nr == (long)SYS_read)
            return strncmp(end, " 0x0 ", 5) == 0;
#ifdef SYS_poll
        if (nr == (long)SYS_poll)
            return true;
#endif
        return nr == (long)SYS_ppoll;
    }

    // True once the child is blocked waiting for descriptor 0 with nothing
    // left to read: every key sent so far has been handled and its output
    // written.
    bool wait_idle()
    {
        auto end = std::chrono::steady_clock::now() + k_wait;
        std::string path = "/proc/" + std::to_string(pid) + "/syscall";
        while (std::chrono::steady_clock::now() < end) {
            int inq = -1;
            char text[128] = {0};
            FILE *f = fopen(path.c_str(), "r");
            if (f) {
                if (!fgets(text, sizeof(text), f))
                    text[0] = '\0';
                fclose(f);
            }
            if (ioctl(slave, FIONREAD, &inq) == 0 && inq == 0 && waits_for_input(text) && sleeping())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // Whether the child sleeps. A child preempted on its way out of a read
    // still shows that read in /proc/PID/syscall, with the byte already
    // counted and nothing left in the queue, but it is runnable.
    bool sleeping()
    {
        std::string path = "/proc/" + std::to_string(pid) + "/stat";
        char text[512] = {0};
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            return false;
        size_t n = fread(text, 1, sizeof(text) - 1, f);
        fclose(f);
        text[n] = '\0';
        const char *end = strrchr(text, ')');
        return end && end[1] == ' ' && end[2] == 'S';
    }

    // Whether the terminal is in the editor's raw mode now.
    bool raw_now()
    {
        struct termios t;
        return tcgetattr(slave, &t) == 0 && !(t.c_lflag & ICANON);
    }

    // Waits until the child waits for a key and its output is all read.
    bool sync()
    {
        auto end = std::chrono::steady_clock::now() + k_wait;
        for (;;) {
            // The count first: idle seen after every key was read means the
            // keys were handled. Idle first could be the wait for a key still
            // on its way through the terminal, read right after.
            long got = bytes_read();
            if (!wait_idle())
                return false;
            if (got >= expect_read)
                break;
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // The terminal hands output over asynchronously: wait for all of it.
        while (bytes_arrived() < bytes_written()) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Everything the child wrote so far.
    std::string output()
    {
        std::lock_guard<std::mutex> l(mu);
        return out;
    }

    // Waits until the output from offset `from` on holds `text`.
    bool wait_output(const std::string &text, size_t from = 0)
    {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, k_wait, [&] { return out.size() >= from && out.find(text, from) != std::string::npos; });
    }

    // The next report line of the child ("line:..." / "none:N"), or "" on
    // time-out or end.
    std::string next_result()
    {
        std::string line;
        auto end = std::chrono::steady_clock::now() + k_wait;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return "";
            struct pollfd pfd = {report, POLLIN, 0};
            if (poll(&pfd, 1, (int)left.count()) <= 0)
                continue;
            char ch;
            if (read(report, &ch, 1) != 1)
                return "";
            report_read++;
            if (ch == '\n')
                return line;
            line += ch;
        }
    }

    // Waits for the child's end; its wait status, or -1 on time-out.
    int wait_exit(int options = 0)
    {
        auto end = std::chrono::steady_clock::now() + k_wait;
        while (std::chrono::steady_clock::now() < end) {
            int st;
            pid_t r = waitpid(pid, &st, WNOHANG | options);
            if (r == pid) {
                if (!WIFSTOPPED(st))
                    pid = -1;
                return st;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    // The screen after all output so far.
    screen show(int rows, int cols)
    {
        screen s(rows, cols);
        s.feed(output());
        return s;
    }

private:
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::mutex mu;
    std::condition_variable cv;
    std::string out;

    // Reads the master side; the lock is held over read and append, so a
    // caller that finds nothing pending and then takes the lock sees all.
    void read_loop()
    {
        char b[4096];
        for (;;) {
            struct pollfd pfd = {master, POLLIN, 0};
            int pr = poll(&pfd, 1, 200);
            if (pr < 0 && errno != EINTR)
                break;
            if (pr <= 0) {
                if (stopping)
                    break;
                continue;
            }
            if (pfd.revents & (POLLHUP | POLLERR) && !(pfd.revents & POLLIN))
                break;
            std::lock_guard<std::mutex> l(mu);
            ssize_t n;
            bool end = false;
            while ((n = read(master, b, sizeof(b))) > 0)
                out.append(b, (size_t)n);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                end = true;
            cv.notify_all();
            if (end)
                break;
        }
    }
};

} // namespace ledit_test
