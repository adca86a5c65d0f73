// The log routine: line formats, colours, levels, errno, crit, hooks, ioctl.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>
#include <regex>
#include <string>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "liblog/log2.h"
#include "liblog/log2_out.h"

namespace {

// The program installs the log's outputs at start-up (its log configuration
// does); these tests use them without one.
[[maybe_unused]] const bool k_outputs_installed = (log2_outputs_init(), true);
// A private handle so the tests do not disturb the default one.
struct handle {
    log2_t *h = log2_new();
    ~handle() { log2_exit(h); }
};

std::string log_line(log2_t *h, unsigned level, const char *file, int line, const char *func, const char *msg)
{
    fd_capture cap;
    log2_printf(h, level, "t", file, line, func, "%s", msg);
    return cap.stop();
}

// The same with the standard error stream on a terminal (a pseudo-terminal
// that passes the bytes through as they are).
std::string log_line_tty(log2_t *h, unsigned level, const char *msg)
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return "no pty";
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fflush(stderr);
    int saved = dup(2);
    dup2(slave, 2);
    log2_printf(h, level, "t", "f", 1, "fn", "%s", msg);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(slave);
    std::string out;
    char buf[512];
    ssize_t n;
    struct pollfd p = {master, POLLIN, 0};
    while (poll(&p, 1, 100) == 1 && (n = read(master, buf, sizeof(buf))) > 0)
        out.append(buf, (size_t)n);
    close(master);
    return out;
}
} // namespace

TEST(Log2, FlagWords)
{
    struct {
        const char *text;
        unsigned want;
    } rows[] = {
        {"time|tid|func", 0x27}, {"time_ms|tid_name|file", 0xF8}, {"no_colour", 0x00},
        {"", 0x20},              {"time_ms|time", 0x62},          {"|func||", 0x24},
    };
    for (auto &r : rows)
        EXPECT_EQ(log_flags_2_int(r.text), r.want) << r.text;
    fd_capture cap;
    EXPECT_EQ(log_flags_2_int("bogus"), 0x20u);
    EXPECT_EQ(cap.stop(), "Invalid tags: [bogus]\n");
}

TEST(Log2, LineFormats)
{
    handle h;
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)log_flags_2_int("time|tid|func"), 0);
    // info is not coloured
    std::string l = log_line(h.h, LOG2_INFO, "a/b.c", 10, "fn", "hello");
    EXPECT_TRUE(std::regex_match(l, std::regex(R"(\d\d:\d\d:\d\d \[\d+\] fn\(\): hello\n)"))) << l;

    os_thread_name_set("main");
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0xF8, 0);
    l = log_line(h.h, LOG2_INFO, "a/b.c", 10, "fn", "hello");
    EXPECT_TRUE(std::regex_match(l, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} \[main_[0-9a-f]{4}_\d+\] \[b\.c:10\] hello\n)")))
        << l;
    os_thread_name_del();

    // file without the base-name bit keeps the whole path; a NULL file prints ""
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0x08, 0);
    EXPECT_EQ(log_line(h.h, LOG2_INFO, "a/b.c", 3, "fn", "x"), "[a/b.c:3] x\n");
    EXPECT_EQ(log_line(h.h, LOG2_INFO, nullptr, 3, "fn", "x"), "[:3] x\n");
    // no fields at all; a message ending in a newline gets no second one
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    EXPECT_EQ(log_line(h.h, LOG2_INFO, "f", 1, "fn", "m\n"), "m\n");
    // NULL function with func flag: no function field
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0x04, 0);
    EXPECT_EQ(log_line(h.h, LOG2_INFO, "f", 1, nullptr, "m"), "m\n");
}

TEST(Log2, Colours)
{
    handle h;
    struct {
        unsigned level;
        const char *esc;
    } rows[] = {{LOG2_ERR, "\033[01;31m"}, {LOG2_WARN, "\033[01;33m"}, {LOG2_NOTI, "\033[07;37m"},
                {LOG2_DBG, "\033[36m"},    {LOG2_INFO, nullptr}};
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0x20, 0);
    for (auto &r : rows) {
        std::string want = r.esc ? std::string(r.esc) + "x\n\033[0m" : std::string("x\n");
        EXPECT_EQ(log_line_tty(h.h, r.level, "x"), want) << r.level;
        // Never into a file or a pipe.
        EXPECT_EQ(log_line(h.h, r.level, "f", 1, "fn", "x"), "x\n") << r.level;
    }
    log2_set_level(h.h, 8);
    EXPECT_EQ(log_line_tty(h.h, LOG2_VERB, "x"), "\033[32mx\n\033[0m");
    // crit with the no-exit bit, to see its colour
    EXPECT_EQ(log_line_tty(h.h, LOG2_CRIT | LOG2_F_NOEXIT, "x"), "\033[01;07;31mx\n\033[0m");
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    EXPECT_EQ(log_line_tty(h.h, LOG2_ERR, "x"), "x\n");
}

TEST(Log2, LevelFiltering)
{
    handle h;
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    EXPECT_EQ(log_line(h.h, LOG2_VERB, "f", 1, "fn", "x"), ""); // level 7 drops verb
    EXPECT_EQ(log_line(h.h, LOG2_DBG, "f", 1, "fn", "x"), "x\n");
    ASSERT_EQ(log2_ioctl(h.h, LOG2_IOC_CONSOLE_LEVEL_STR, "warn", 0), 0);
    EXPECT_EQ(log_line(h.h, LOG2_INFO, "f", 1, "fn", "x"), "");
    EXPECT_EQ(log_line(h.h, LOG2_WARN, "f", 1, "fn", "w"), "w\n");
    // The history still records what the console did not show.
    EXPECT_NE(std::string(log2_get_history(h.h)).find("x\n"), std::string::npos);

    // Code 3 sets only the level; the string setter sets both.
    ASSERT_EQ(log2_ioctl(h.h, LOG2_IOC_LEVEL_STR, "verb", 0), 0);
    EXPECT_EQ(log2_get_level(h.h), 8);
    EXPECT_EQ(log2_get_console_level(h.h), 4);
    ASSERT_EQ(log2_set_level_str(h.h, "info"), 0);
    EXPECT_EQ(log2_get_level(h.h), 6);
    EXPECT_EQ(log2_get_console_level(h.h), 6);

    // An unknown name keeps the old level and reports failure.
    fd_capture cap;
    EXPECT_EQ(log2_ioctl(h.h, LOG2_IOC_LEVEL_STR, "loud", 0), -1);
    EXPECT_EQ(log2_set_level_str(h.h, "loud"), -1);
    EXPECT_EQ(cap.stop(), "error: invalid level [loud]\nerror: invalid level [loud]\n");
    EXPECT_EQ(log2_get_level(h.h), 6);
    EXPECT_EQ(log_line(h.h, LOG2_ERR, "f", 1, "fn", "still"), "still\n");
}

TEST(Log2, ErrnoTextAndPreserved)
{
    handle h;
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    errno = 2;
    EXPECT_EQ(log_line(h.h, LOG2_ERR | LOG2_F_ERRNO, "f", 1, "fn", "x: "), "x: No such file or directory\n");
    errno = 0;
    EXPECT_EQ(log_line(h.h, LOG2_ERR | LOG2_F_ERRNO, "f", 1, "fn", "x: "), "x: ok\n");
    struct {
        unsigned level;
    } rows[] = {{LOG2_ERR}, {LOG2_VERB} /* filtered */};
    for (auto &r : rows) {
        errno = 123;
        fd_capture cap;
        log2_printf(h.h, r.level, "t", "f", 1, "fn", "line");
        cap.stop();
        EXPECT_EQ(errno, 123);
    }
}

// A record is one line, whatever its message holds: control bytes reach
// the outputs as escapes, never as themselves.
TEST(Log2, ControlBytesAreEscaped)
{
    handle h;
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    struct {
        const char *msg, *line;
    } rows[] = {
        {"a\nforged record", "a\\nforged record\n"},
        {"ends once\n\n", "ends once\n"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J\n"},
        {"cr\rdel\x7f", "cr\\rdel\\x7f\n"},
        {"tab\tstays", "tab\tstays\n"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\n"},
        {"c1 \xc2\x9b" "2J raw \x9b", "c1 \\xc2\\x9b2J raw \\x9b\n"},
        {"no utf-8 \xff\xc3(\xed\xa0\x80", "no utf-8 \\xff\\xc3(\\xed\\xa0\\x80\n"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(log_line(h.h, LOG2_INFO, "f", 1, "fn", r.msg), r.line) << r.msg;
    // A message that ends its line before the errno text stays one line.
    errno = 2;
    EXPECT_EQ(log_line(h.h, LOG2_ERR | LOG2_F_ERRNO, "f", 1, "fn", "can't\n"), "can't: No such file or directory\n");
    // So does a line dispatched as it is, and the history keeps the escapes.
    fd_capture cap;
    log2_write_line(h.h, LOG2_INFO, "t", "built\x1b[31m\nline\n", -1);
    EXPECT_EQ(cap.stop(), "built\\x1b[31m\\nline\n");
    std::string hist = log2_get_history(h.h);
    EXPECT_EQ(hist.find('\x1b'), std::string::npos);
    EXPECT_NE(hist.find("a\\nforged record\n"), std::string::npos);
}

TEST(Log2, CritEndsProgramUnlessAsked)
{
    struct {
        unsigned level;
        int want_status;
        bool printed;
    } rows[] = {
        {LOG2_CRIT, 1, true},
        {LOG2_CRIT | LOG2_F_NOEXIT, 0, true},
        {LOG2_CRIT | LOG2_F_BSV_ONLY, 0, false},
    };
    for (auto &r : rows) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 2);
            log2_printf(nullptr, r.level, "t", "f", 1, "fn", "dying words");
            _exit(0);
        }
        close(fds[1]);
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0)
            out.append(buf, (size_t)n);
        close(fds[0]);
        int st = 0;
        waitpid(pid, &st, 0);
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), r.want_status) << r.level;
        EXPECT_EQ(out.find("dying words") != std::string::npos, r.printed) << r.level;
    }
}

namespace {
int s_info_calls, s_err_calls;
int info_hook(int, const char *, const char *, int)
{
    ++s_info_calls;
    return 0;
}
int err_hook(int, const char *, const char *, int)
{
    ++s_err_calls;
    return 0;
}
log2_t *s_reenter_handle;
int reentering_hook(int, const char *, const char *, int)
{
    ++s_info_calls;
    // An output that logs on the same thread must not deadlock.
    log2_printf(s_reenter_handle, LOG2_ERR, "t", "f", 1, "fn", "from inside");
    return 0;
}
} // namespace

TEST(Log2, Hooks)
{
    handle h;
    log2_ioctl(h.h, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
    s_info_calls = s_err_calls = 0;
    log2_ioctl(h.h, LOG2_IOC_INFO_HOOK, (const void *)info_hook, 0);
    log2_printf(h.h, LOG2_INFO, "t", "f", 1, "fn", "x");
    EXPECT_EQ(s_info_calls, 0); // only one hook: neither is called
    log2_ioctl(h.h, LOG2_IOC_ERR_HOOK, (const void *)err_hook, 0);
    log2_printf(h.h, LOG2_INFO, "t", "f", 1, "fn", "x");
    log2_printf(h.h, LOG2_WARN, "t", "f", 1, "fn", "x");
    EXPECT_EQ(s_info_calls, 1);
    EXPECT_EQ(s_err_calls, 1);

    s_reenter_handle = h.h;
    log2_ioctl(h.h, LOG2_IOC_INFO_HOOK, (const void *)reentering_hook, 0);
    log2_printf(h.h, LOG2_INFO, "t", "f", 1, "fn", "x");
    EXPECT_EQ(s_info_calls, 2);
    EXPECT_EQ(log2_get_busy(h.h), 0u);
}

TEST(Log2, Ioctl)
{
    handle h;
    uint32_t lv = 99;
    EXPECT_EQ(log2_ioctl(h.h, LOG2_IOC_GET_LEVEL, &lv, 3), -1);
    EXPECT_EQ(lv, 99u);
    EXPECT_EQ(log2_ioctl(h.h, LOG2_IOC_GET_LEVEL, &lv, 4), 0);
    EXPECT_EQ(lv, 7u);
    fd_capture cap;
    EXPECT_EQ(log2_ioctl(h.h, 9, nullptr, 0), -1);
    EXPECT_EQ(cap.stop(), "Invalid command code=9\n");
}

TEST(Log2, LevelTables)
{
    EXPECT_STREQ(log2_level_enum_str(), "verb|dbg|info|noti|warn|err|crit");
    EXPECT_STREQ(log2_level_num_str(),
                 "log.verb=8\nlog.dbg=7\nlog.info=6\nlog.noti=5\nlog.warn=4\nlog.err=3\nlog.crit=2");
    EXPECT_STREQ(log2_level_2_prefix(3), "ERROR");
    EXPECT_STREQ(log2_level_2_severity(5), "warning");
    EXPECT_STREQ(log2_level_2_str(9), "unkown(9)");
    EXPECT_EQ(log2_level_from_str("noti"), 5);
    EXPECT_EQ(log2_level_from_str(nullptr), -1);
    EXPECT_EQ(log2_prefix_2_level("WARN"), 4);
}

TEST(Log2, ElapsedLevel)
{
    uint64_t start = os_clock_ms() - 3500;
    EXPECT_EQ(log2_elapsed_level(1, 0, &start, 8, 7), 4);
    EXPECT_GE(start, 3500u);
    start = os_clock_ms();
    EXPECT_EQ(log2_elapsed_level(1, 0, &start, 8, 7), 8);
    EXPECT_EQ(log2_elapsed_level(1, 1, &start, 8, 7), 3);
    EXPECT_EQ(log2_elapsed_level(0, 0, &start, 8, 7), 7);
    EXPECT_EQ(log2_elapsed_level(0, 1, &start, 8, 7), 3);
}

TEST(Log2, FileOutput)
{
    handle h;
    log2_ioctl(h.h, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
    char dir[] = "/tmp/zk_logXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/a.log";
    // A failed open (a directory) reports failure and leaves file output off.
    fd_capture cap;
    EXPECT_NE(log2_open_file(h.h, dir), 0);
    cap.stop();
    log2_info_t info;
    log2_get_info(h.h, &info);
    EXPECT_EQ(info.file_on, 0);

    ASSERT_EQ(log2_open_file(h.h, path.c_str()), 0);
    log2_printf(h.h, LOG2_WARN, "zkue", "f", 1, "fn", "to the file");
    log2_printf(h.h, LOG2_WARN, nullptr, nullptr, 1, "fn", "no tag"); // NULL texts print as ""
    FILE *f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[512] = {0}, line2[512] = {0};
    ASSERT_NE(fgets(line, sizeof(line), f), nullptr);
    ASSERT_NE(fgets(line2, sizeof(line2), f), nullptr);
    fclose(f);
    EXPECT_TRUE(std::regex_match(std::string(line2), std::regex(R"(.* --- \[\d+\]  fn\(\): no tag\n)"))) << line2;
    std::regex re(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} WARN  \d+ --- \[\d+\] zkue fn\(\): to the file\n)");
    EXPECT_TRUE(std::regex_match(std::string(line), re)) << line;
    EXPECT_STREQ(log2_get_file_name(h.h), path.c_str());
    char *s = log2_info_str(h.h);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(std::string(s).find("log_file_enale_out=1\n"), std::string::npos);
    EXPECT_NE(std::string(s).find("log_file_max_size=2097152\n"), std::string::npos);
    EXPECT_NE(std::string(s).find("log_file_name='" + path + "'\n"), std::string::npos);
    os_free(s);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(Log2, ClosedDefaultHandle)
{
    pid_t pid = fork();
    if (pid == 0) {
        log2_printf(nullptr, LOG2_INFO, "t", "f", 1, "fn", "open");
        log2_exit(nullptr);
        log2_exit(nullptr);
        fd_capture cap;
        int r = log2_printf(nullptr, LOG2_ERR, "t", "f", 1, "fn", "closed");
        int ok = r == -1 && log2_set_level(nullptr, 3) == -1 && log2_get_level(nullptr) == -1 &&
                 log2_ioctl(nullptr, 1, nullptr, 0) == -1;
        std::string out = cap.stop();
        _exit(ok && out.empty() ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

namespace {
void *log_forever(void *arg)
{
    log2_t *h = (log2_t *)arg;
    for (;;) {
        log2_printf(h, LOG2_INFO, "t", "f", 1, "fn", "busy line");
        pthread_testcancel();
    }
    return nullptr;
}
} // namespace

TEST(Log2, CancelledWriterLeavesHandleUsable)
{
    // Console writes are cancellation points; the lines go to a scratch file.
    handle h;
    log2_ioctl(h.h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)0, 0);
    fd_capture cap;
    for (int round = 0; round < 20; ++round) {
        pthread_t t;
        ASSERT_EQ(pthread_create(&t, nullptr, log_forever, h.h), 0);
        usleep(1000);
        pthread_cancel(t);
        pthread_join(t, nullptr);
        EXPECT_EQ(log2_get_busy(h.h), 0u);
        // Would hang here if the cancelled thread kept the mutex.
        EXPECT_EQ(log2_printf(h.h, LOG2_INFO, "t", "f", 1, "fn", "after"), 0);
    }
}

// The default handle's life across threads. Each case runs in a fresh copy
// of this test binary (started with ZK_LOG_FRESH naming the case), where no
// default handle exists yet; the case runs before main and its result is
// the copy's exit status.
namespace {
std::atomic<int> s_ready{0};
std::atomic<bool> s_go{false};

int first_use_from_many_threads(void)
{
    constexpr int n = 8;
    std::vector<std::thread> threads;
    std::vector<log2_t *> got(n);
    for (int i = 0; i < n; i++)
        threads.emplace_back([&got, i] {
            s_ready++;
            while (!s_go.load()) {
            }
            got[i] = log2_get(nullptr);
            log2_printf(nullptr, LOG2_INFO, "t", "f", 1, "fn", "first");
        });
    while (s_ready.load() < n) {
    }
    s_go = true;
    for (auto &t : threads)
        t.join();
    for (log2_t *h : got)
        if (!h || h != got[0])
            return 1;
    return 0;
}

int exit_while_others_log(void)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&stop] {
            while (!stop.load())
                log2_printf(nullptr, LOG2_INFO, "t", "f", 1, "fn", "busy line %d", 1);
        });
    usleep(20000);
    log2_exit(nullptr); // must not free the handle under a writer
    usleep(20000);
    stop = true;
    for (auto &t : threads)
        t.join();
    return log2_printf(nullptr, LOG2_INFO, "t", "f", 1, "fn", "after") == -1 ? 0 : 1;
}

[[maybe_unused]] const int s_fresh_case = [] {
    const char *which = getenv("ZK_LOG_FRESH");
    if (!which)
        return 0;
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    _exit(strcmp(which, "first") == 0 ? first_use_from_many_threads() : exit_while_others_log());
}();

int run_fresh(const char *which)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setenv("ZK_LOG_FRESH", which, 1);
        execl("/proc/self/exe", "log_test", (char *)nullptr);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}
} // namespace

TEST(Log2, DefaultHandleIsMadeOnceAndFreedWhenNoThreadIsInside)
{
    EXPECT_EQ(run_fresh("first"), 0);
    EXPECT_EQ(run_fresh("exit"), 0);
}
