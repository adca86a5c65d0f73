// Signals: the one handler for stop and crash signals, panic callback,
// core-dump set-up and daemonizing.
#include "libpal/os/posix/os_signal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "libpal/basic/pl_app.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_process.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

const char *const DEFAULT_CORE_PATTERN_FILE = "/proc/sys/kernel/core_pattern";

// Written during start-up only, before any other thread exists; read by the
// handler.
os_panic_cb_t s_panic_cb;
volatile sig_atomic_t s_core_dump_on;
char s_dump_dir[4096];
char s_core_pattern_file[4096] = "/proc/sys/kernel/core_pattern";

const int s_signals[] = {SIGTERM, SIGQUIT, SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// The first stop signal handed to the application's stop procedure, and
// whether its line has been logged (off the handler, see os_signal_stop_report).
std::atomic<int> s_stop_signo{0};
std::atomic<bool> s_stop_reported{false};
static_assert(std::atomic<int>::is_always_lock_free, "written by the signal handler");

// Descriptors above 2 the process was started with, by number and file, so
// that a daemon can let go of what its starter handed down (a lock, a pipe).
struct inherited_fd {
    int fd;
    dev_t dev;
    ino_t ino;
};
std::vector<inherited_fd> s_inherited;
std::once_flag s_inherited_once;

// Description of a signal. sigdescr_np, unlike strsignal, uses no buffer
// and no locale, which matters inside a handler.
const char *sig_text(int signo)
{
    const char *s = sigdescr_np(signo);
    return s ? s : "Unknown signal";
}

// Makes a directory and its missing parents (mode 0755). 0 / -1 with errno.
int mkdirs(const char *dir)
{
    char path[4096];
    if (str_safecopy(path, sizeof(path), dir) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (char *p = path + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        if (access(path, F_OK) != 0 && mkdir(path, 0755) != 0 && errno != EEXIST)
            return -1;
        *p = '/';
    }
    if (access(path, F_OK) == 0)
        return 0;
    return mkdir(path, 0755) == 0 || errno == EEXIST ? 0 : -1;
}

// Replaces the whole content of a file with text. 0 / -1 with errno.
int save_text(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    size_t len = strlen(text), off = 0;
    while (off < len) {
        ssize_t n = write(fd, text + off, len - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = n < 0 ? errno : EIO;
            close(fd);
            errno = e;
            return -1;
        }
        off += (size_t)n;
    }
    return close(fd);
}

void crash_path(int signo)
{
    signal(signo, SIG_DFL);
    log2_printf(nullptr, LOG2_CRIT | LOG2_F_NOEXIT | LOG2_F_BSV_ONLY, TAG, __FILE__, __LINE__, "sig_panic_handler",
                "[%s]", log2_get_history(nullptr));
    log2_printf(nullptr, LOG2_CRIT | LOG2_F_NOEXIT | LOG2_F_NET, TAG, __FILE__, __LINE__, "sig_panic_handler",
                "signo=%d [%s]\n", signo, sig_text(signo));
    log2_printf(nullptr, LOG2_CRIT | LOG2_F_NOEXIT, TAG, __FILE__, __LINE__, "sig_panic_handler",
                "info: os=%s arch=%s ver=%s\n", pl_os_name(), pl_arch_name(), g_app.app_ver ? g_app.app_ver : "");
    if (s_panic_cb)
        s_panic_cb();
    if (s_core_dump_on) {
        if (mkdirs(s_dump_dir) != 0)
            log2_printf(nullptr, LOG2_DBG | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, "sig_panic_handler",
                        "mkdir [%s] error:", s_dump_dir);
        // Die by the signal's default action, which writes the core file. The
        // signal is blocked while its handler runs, so it is delivered as soon
        // as we return; a faulting instruction would fault again anyway, and
        // a signal sent with kill(2) must not leave the process running with
        // its mount gone.
        raise(signo);
        return;
    }
    exit(254);
}

void stop_path(int signo)
{
    signal(signo, SIG_DFL);
    if (app_stop_fn stop = g_app.user_stop_proc) {
        // Nothing here may take a lock (this thread may hold the log's):
        // the signal is only noted, and its line is logged off the handler.
        int none = 0;
        s_stop_signo.compare_exchange_strong(none, signo);
        stop(signo);
        return;
    }
    if (g_app.ready || g_pl_sys.ready) {
        log2_printf(nullptr, LOG2_WARN, TAG, __FILE__, __LINE__, "panic_handler", "signo=%d [%s] now exit!!", signo,
                    sig_text(signo));
        exit(253);
    }
}

void child_path(int signo)
{
    int reaped = 0, st = 0;
    // Any finished child, whatever its process group.
    while (waitpid(-1, &st, WNOHANG) > 0) {
        os_waitpid_status_2_eno(0, st, nullptr);
        reaped++;
    }
    if (!reaped)
        log2_printf(nullptr, LOG2_DBG, TAG, __FILE__, __LINE__, "sig_chid_handler", "signo=%d [%s]\n", signo,
                    sig_text(signo));
}

} // namespace

void sig_panic_handler(int signo)
{
    int saved = errno;
    switch (signo) {
    case SIGILL:
    case SIGABRT:
    case SIGBUS:
    case SIGFPE:
    case SIGSEGV:
        crash_path(signo);
        break;
    case SIGINT:
    case SIGQUIT:
    case SIGTERM:
        stop_path(signo);
        break;
    case SIGCHLD:
        child_path(signo);
        break;
    default:
        log2_printf(nullptr, LOG2_WARN, TAG, __FILE__, __LINE__, "panic_handler", "signo=%d [%s] unprocessed\n",
                    signo, sig_text(signo));
        break;
    }
    errno = saved;
}

int os_panic_init(void)
{
    os_daemon_note_inherited();
    for (int s : s_signals)
        signal(s, sig_panic_handler);
    return 0;
}

int os_signal_stop_report(void)
{
    int signo = s_stop_signo.load();
    if (signo && !s_stop_reported.exchange(true))
        log2_printf(nullptr, LOG2_WARN, TAG, __FILE__, __LINE__, "panic_handler", "signo=%d [%s] call user_stop_proc",
                    signo, sig_text(signo));
    return signo;
}

void os_daemon_note_inherited(void)
{
    std::call_once(s_inherited_once, [] {
        DIR *d = opendir("/proc/self/fd");
        if (!d)
            return;
        int self = dirfd(d);
        while (struct dirent *e = readdir(d)) {
            char *end = nullptr;
            long fd = strtol(e->d_name, &end, 10);
            struct stat st;
            if (*e->d_name == '.' || *end || fd <= 2 || fd == self || fstat((int)fd, &st) != 0)
                continue;
            s_inherited.push_back({(int)fd, st.st_dev, st.st_ino});
        }
        closedir(d);
    });
}

void os_painc_set_callback(os_panic_cb_t cb) { s_panic_cb = cb; }

int os_painc_set_dump_dir(const char *dir, const char *app_name)
{
    LOG_VERB(TAG, "[%s][%s]==>\n", dir ? dir : "", app_name ? app_name : "");
    if (!os_is_root())
        return -1;
    if (!dir || !*dir)
        return 0;
    os_panic_init_core_dump(dir);
    return 0;
}

int os_panic_set_core_pattern_file(const char *path)
{
    return str_safecopy(s_core_pattern_file, sizeof(s_core_pattern_file), path ? path : DEFAULT_CORE_PATTERN_FILE) ==
                   0
               ? 0
               : -1;
}

int os_panic_init_core_dump(const char *dir)
{
    // The kernel runs a pattern that starts with '|' as a program, and control
    // characters would end or corrupt it: such a directory is refused.
    if (!dir || !*dir || dir[0] == '|' || strlen(dir) >= sizeof(s_dump_dir)) {
        LOG_ERR(TAG, "panic dump dir [%s] refused\n", dir ? dir : "");
        return -1;
    }
    for (const char *c = dir; *c; c++) {
        if ((unsigned char)*c < 0x20 || *c == 0x7f) {
            LOG_ERR(TAG, "panic dump dir [%s] refused\n", dir);
            return -1;
        }
    }
    char pattern[1024];
    if (!STR_FMT_OK(str_sprintf_s(pattern, sizeof(pattern), "%s/%%e-%%p-%%t-%%c.core", dir), sizeof(pattern)))
        return -1;

    struct rlimit rl;
    getrlimit(RLIMIT_CORE, &rl);
    rl.rlim_cur = rl.rlim_max = RLIM_INFINITY;
    if (setrlimit(RLIMIT_CORE, &rl) != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "setrlimit error: ");
        return -1;
    }
    str_safecopy(s_dump_dir, sizeof(s_dump_dir), dir);
    LOG_VERB(TAG, "buf=%s\n", pattern);
    if (save_text(s_core_pattern_file, pattern) != 0)
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "write /proc/sys/kernel/core_pattern error:");
    s_core_dump_on = 1;
    return 0;
}

const char *os_get_stack_info(void) { return "release no stack info"; }

int os_daemonize(void)
{
    // Buffered output not yet written would otherwise be written again by
    // each process that ends with exit().
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "can't fork\n");
        return -1;
    }
    if (pid > 0)
        exit(0);
    setsid();
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGHUP, &sa, nullptr) < 0)
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "can't ignore SIGHUP\n");
    fflush(nullptr);
    pid = fork();
    if (pid < 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "can't fork\n");
        return -1;
    }
    if (pid > 0)
        exit(0);
    // What the starter handed down is not the daemon's: a lock or a pipe end
    // it held would stay taken for as long as the daemon runs. A descriptor
    // that now names another file was reused by the program itself.
    for (const inherited_fd &i : s_inherited) {
        struct stat st;
        if (fstat(i.fd, &st) == 0 && st.st_dev == i.dev && st.st_ino == i.ino)
            close(i.fd);
    }
    // Files made by the daemon must not come out world-writable.
    umask(022);
    close(0);
    close(1);
    close(2);
    if (open("/dev/null", O_RDWR) < 0)
        LOG_DBG(TAG, "open /dev/null fail\n");
    if (dup(0) < 0)
        LOG_DBG(TAG, "dup(0)fail\n");
    if (dup(0) < 0)
        LOG_DBG(TAG, "dup(0)fail\n");
    return 0;
}
