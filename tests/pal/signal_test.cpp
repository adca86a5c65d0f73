// Signals: stop and crash paths, panic dump set-up, daemonizing. Every case
// runs in a forked child, whose standard error is collected.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_process.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/tframe/app/app.h"
#include "liblog/log2.h"

namespace {

struct child_result {
    int status;
    std::string err; // the child's standard error
};

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Runs fn in a forked child with the handlers installed and the start-up
// state cleared; fn's return ends the child with status 0.
template <class F> child_result in_child(F fn)
{
    char name[] = "/tmp/zk_sig_errXXXXXX";
    int tmp = mkstemp(name);
    unlink(name);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(tmp, 2);
        close(tmp);
        g_app.user_stop_proc = nullptr;
        g_app.ready = 0;
        g_app.app_ver = "1.7.6.2";
        g_pl_sys.ready = 0;
        os_panic_init();
        fn();
        _exit(0);
    }
    child_result r;
    waitpid(pid, &r.status, 0);
    lseek(tmp, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(tmp, buf, sizeof(buf))) > 0)
        r.err.append(buf, (size_t)n);
    close(tmp);
    return r;
}

// State letter of /proc/<pid>/stat is 'Z' for an ended, unreaped child.
bool is_zombie(pid_t pid)
{
    std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t p = st.rfind(')');
    return p != std::string::npos && p + 2 < st.size() && st[p + 2] == 'Z';
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1))
        n++;
    return n;
}

// A temporary directory, removed with its content.
struct temp_dir {
    std::string path;
    temp_dir()
    {
        char name[] = "/tmp/zk_sig_dirXXXXXX";
        path = mkdtemp(name);
    }
    ~temp_dir() { system(("rm -rf '" + path + "'").c_str()); }
};

void marker_cb(void) { write(2, "<panic callback>\n", 17); }

int g_stops;
void stop_and_return(int) { g_stops++; }

// A stop procedure as a program writes one: async-signal-safe.
void stop_and_note(int signo)
{
    g_stops++;
    char text[32];
    int n = snprintf(text, sizeof(text), "<stop %d>\n", signo);
    write(2, text, (size_t)n);
}

} // namespace

TEST(Signal, StopSignalsCallTheStopProcedure)
{
    // Texts from python3 signal.strsignal. The handler only notes the
    // signal; its line comes when the program reports it off the handler.
    struct {
        int sig;
        const char *line;
    } rows[] = {
        {SIGTERM, "panic_handler(): signo=15 [Terminated] call user_stop_proc"},
        {SIGINT, "panic_handler(): signo=2 [Interrupt] call user_stop_proc"},
        {SIGQUIT, "panic_handler(): signo=3 [Quit] call user_stop_proc"},
    };
    for (auto &row : rows) {
        int sig = row.sig;
        child_result r = in_child([sig] {
            g_app.user_stop_proc = stop_and_note;
            kill(getpid(), sig);
            write(2, "<after>\n", 8);
            if (os_signal_stop_report() != sig || os_signal_stop_report() != sig)
                _exit(8);
            _exit(g_stops == 1 ? 0 : 9);
        });
        ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
        EXPECT_EQ(count(r.err, row.line), 1u) << r.err;
        EXPECT_TRUE(has(r.err, "<stop " + std::to_string(sig) + ">")) << r.err;
        EXPECT_LT(r.err.find("<after>"), r.err.find(row.line)) << "nothing logged by the handler";
    }
    EXPECT_EQ(in_child([] { _exit(os_signal_stop_report() == 0 ? 0 : 1); }).status, 0) << "no stop, no line";

    // The disposition is back to the default once handled: a stop procedure
    // that returns leaves the next SIGTERM to kill the process.
    child_result r = in_child([] {
        g_app.user_stop_proc = stop_and_return;
        raise(SIGTERM);
        if (g_stops != 1)
            _exit(3);
        raise(SIGTERM);
        _exit(4);
    });
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.status;
    EXPECT_EQ(WTERMSIG(r.status), SIGTERM);
}

TEST(Signal, StopWhileTheSameThreadLogsNeverBlocks)
{
    // Stop signals land on a thread that logs all the time, so sooner or
    // later inside the log routine with its lock held; the handler must not
    // need that lock. A hang ends the child by the alarm.
    child_result r = in_child([] {
        alarm(20);
        g_app.user_stop_proc = [](int) {
            g_stops++;
            signal(SIGTERM, sig_panic_handler); // take the next one too
        };
        log2_set_level(nullptr, LOG2_INFO);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        static pthread_t main_thread = pthread_self();
        pthread_t sender;
        pthread_create(
            &sender, nullptr,
            [](void *) -> void * {
                for (int i = 0; i < 2000; i++) {
                    pthread_kill(main_thread, SIGTERM);
                    usleep(50);
                }
                return nullptr;
            },
            nullptr);
        static std::atomic<bool> done{false};
        pthread_t joiner;
        pthread_create(
            &joiner, nullptr,
            [](void *p) -> void * {
                pthread_join(*(pthread_t *)p, nullptr);
                done = true;
                return nullptr;
            },
            &sender);
        while (!done.load())
            LOG2(LOG2_INFO, "pal", "busy %d\n", g_stops);
        pthread_join(joiner, nullptr);
        _exit(g_stops > 0 ? 0 : 7);
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
}

TEST(Signal, StopWithoutProcedure)
{
    // After start-up: status 253.
    child_result r = in_child([] {
        g_pl_sys.ready = 1;
        raise(SIGTERM);
        _exit(9);
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 253);
    EXPECT_TRUE(has(r.err, "panic_handler(): signo=15 [Terminated] now exit!!")) << r.err;

    // The framework's copy of the flag counts as well.
    r = in_child([] {
        g_app.ready = 1;
        raise(SIGINT);
        _exit(9);
    });
    EXPECT_EQ(WEXITSTATUS(r.status), 253);

    // Before start-up the first one is ignored, the second takes the default.
    r = in_child([] {
        raise(SIGTERM);
        write(2, "<survived>\n", 11);
        raise(SIGTERM);
        _exit(9);
    });
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.status;
    EXPECT_EQ(WTERMSIG(r.status), SIGTERM);
    EXPECT_TRUE(has(r.err, "<survived>"));
}

TEST(Signal, CrashWithoutDumpDirExits254)
{
    struct {
        int sig;
        const char *text; // python3 signal.strsignal
    } rows[] = {
        {SIGSEGV, "Segmentation fault"}, {SIGBUS, "Bus error"},
        {SIGILL, "Illegal instruction"}, {SIGFPE, "Floating point exception"},
        {SIGABRT, "Aborted"},
    };
    const std::string info = std::string("info: os=linux arch=") + pl_arch_name() + " ver=1.7.6.2";
    for (auto &row : rows) {
        int sig = row.sig;
        child_result r = in_child([sig] {
            os_painc_set_callback(marker_cb);
            kill(getpid(), sig);
            _exit(9);
        });
        ASSERT_TRUE(WIFEXITED(r.status)) << row.text << " " << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 254);
        std::string want = "sig_panic_handler(): signo=" + std::to_string(sig) + " [" + row.text + "]";
        EXPECT_TRUE(has(r.err, want)) << r.err;
        EXPECT_TRUE(has(r.err, "sig_panic_handler(): " + info)) << r.err;
        // The history record is binary only: two crit lines on the console.
        EXPECT_EQ(count(r.err, "sig_panic_handler()"), 2u) << r.err;
        EXPECT_LT(r.err.find(want), r.err.find("<panic callback>")) << r.err;
    }

    // A real fault and abort(3) go the same way.
    child_result r = in_child([] {
        os_painc_set_callback(marker_cb);
        // A page we may not touch (not address 0, which the sanitizer
        // build would report before the fault).
        void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *(volatile int *)page = 1;
        _exit(9);
    });
    EXPECT_EQ(WEXITSTATUS(r.status), 254) << r.err;
    EXPECT_TRUE(has(r.err, "<panic callback>"));
    r = in_child([] { abort(); });
    EXPECT_EQ(WEXITSTATUS(r.status), 254);

    // A hard assertion: the expression line, then the panic report.
    r = in_child([] {
        int two = 2;
        PL_ASSERT_HARD("test", two == 3);
        _exit(9);
    });
    EXPECT_EQ(WEXITSTATUS(r.status), 254);
    size_t expr = r.err.find("expr[two == 3]: assert failed");
    ASSERT_NE(expr, std::string::npos) << r.err;
    EXPECT_LT(expr, r.err.find("signo=11 [Segmentation fault]"));
}

TEST(Signal, CrashWithDumpDirDiesByTheSignal)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    temp_dir tmp;
    const std::string pattern_file = tmp.path + "/core_pattern";
    const std::string dump = tmp.path + "/dumps/zkue";

    // Sent by another process with kill(2) while the child sleeps: the
    // handler must not return into a process that goes on running.
    for (int sig : {SIGSEGV, SIGBUS, SIGABRT}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        char name[] = "/tmp/zk_sig_errXXXXXX";
        int errf = mkstemp(name);
        unlink(name);
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(errf, 2);
            g_app.app_ver = "1.7.6.2";
            os_panic_init();
            // No core file from the test on this machine, whatever the
            // machine's own pattern says.
            prctl(PR_SET_DUMPABLE, 0);
            if (os_panic_set_core_pattern_file(pattern_file.c_str()) != 0 ||
                os_painc_set_dump_dir(dump.c_str(), "zkue") != 0)
                _exit(20);
            os_painc_set_callback(marker_cb);
            write(ready[1], "r", 1);
            // Bounded: a process left running by the handler ends here.
            for (int i = 0; i < 100; i++)
                usleep(100000);
            _exit(30);
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        kill(pid, sig);
        int st = 0;
        waitpid(pid, &st, 0);
        ASSERT_TRUE(WIFSIGNALED(st)) << sig << " " << st;
        EXPECT_EQ(WTERMSIG(st), sig);
        std::string err;
        lseek(errf, 0, SEEK_SET);
        char buf[4096];
        ssize_t n;
        while ((n = read(errf, buf, sizeof(buf))) > 0)
            err.append(buf, (size_t)n);
        close(errf);
        EXPECT_TRUE(has(err, "<panic callback>")) << err;
        EXPECT_EQ(slurp(pattern_file), dump + "/%e-%p-%t-%c.core");
        struct stat st_dir;
        EXPECT_EQ(stat(dump.c_str(), &st_dir), 0); // made by the crash path
        EXPECT_TRUE(S_ISDIR(st_dir.st_mode));
        unlink(pattern_file.c_str());
    }

    // The core size limit is raised by the set-up.
    child_result r = in_child([&] {
        os_panic_set_core_pattern_file(pattern_file.c_str());
        // Only the soft limit is lowered: raising a hard one needs
        // CAP_SYS_RESOURCE, which a container may lack.
        struct rlimit rl;
        getrlimit(RLIMIT_CORE, &rl);
        if (rl.rlim_max != RLIM_INFINITY)
            _exit(0);
        rl.rlim_cur = 0;
        setrlimit(RLIMIT_CORE, &rl);
        if (os_panic_init_core_dump(dump.c_str()) != 0)
            _exit(2);
        getrlimit(RLIMIT_CORE, &rl);
        _exit(rl.rlim_cur == RLIM_INFINITY && rl.rlim_max == RLIM_INFINITY ? 0 : 3);
    });
    EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
}

TEST(Signal, DumpDirSetUpRefusals)
{
    temp_dir tmp;
    const std::string pattern_file = tmp.path + "/core_pattern";
    // Neither an empty nor a missing directory sets anything up: crashes
    // still end with 254 and no pattern is written.
    for (const char *dir : {"", (const char *)nullptr}) {
        child_result r = in_child([&] {
            os_panic_set_core_pattern_file(pattern_file.c_str());
            if (geteuid() == 0 && os_painc_set_dump_dir(dir, "zkue") != 0)
                _exit(2);
            raise(SIGSEGV);
            _exit(9);
        });
        EXPECT_EQ(WEXITSTATUS(r.status), 254) << r.err;
        EXPECT_NE(access(pattern_file.c_str(), F_OK), 0);
    }

    // Not root: -1, nothing set up.
    child_result r = in_child([&] {
        os_panic_set_core_pattern_file(pattern_file.c_str());
        if (geteuid() == 0 && seteuid(65534) != 0)
            _exit(2);
        _exit(os_painc_set_dump_dir((tmp.path + "/d").c_str(), "zkue") == -1 ? 0 : 3);
    });
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_NE(access(pattern_file.c_str(), F_OK), 0);

    // Directories that would make the kernel run a program, break the
    // pattern, or not fit are refused before anything is written.
    std::string long_dir = "/" + std::string(5000, 'd');
    std::string cut_dir = "/" + std::string(1010, 'd'); // the pattern exceeds 1024 bytes
    for (std::string dir : {std::string("|/bin/sh -c evil"), std::string("/tmp/a\nb"), long_dir, cut_dir}) {
        r = in_child([&] {
            os_panic_set_core_pattern_file(pattern_file.c_str());
            _exit(os_panic_init_core_dump(dir.c_str()) == -1 ? 0 : 3);
        });
        EXPECT_EQ(WEXITSTATUS(r.status), 0) << dir.substr(0, 20);
        EXPECT_NE(access(pattern_file.c_str(), F_OK), 0) << dir.substr(0, 20);
    }
    EXPECT_EQ(os_panic_set_core_pattern_file(long_dir.c_str()), -1);
    EXPECT_EQ(os_panic_set_core_pattern_file(nullptr), 0);
}

TEST(Signal, OtherSignals)
{
    // Routed to the handler but neither stop nor crash: only logged.
    child_result r = in_child([] {
        signal(SIGUSR1, sig_panic_handler);
        raise(SIGUSR1);
        write(2, "<after>\n", 8);
    });
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_TRUE(has(r.err, "panic_handler(): signo=10 [User defined signal 1] unprocessed")) << r.err;
    EXPECT_TRUE(has(r.err, "<after>"));

    // SIGCHLD reaps finished children, logging abnormal ends.
    r = in_child([] {
        pid_t a = fork();
        if (a == 0)
            _exit(0);
        pid_t b = fork();
        if (b == 0) {
            raise(SIGKILL);
            _exit(0);
        }
        // Let both end, still unreaped.
        for (int i = 0; i < 30000 && !(is_zombie(a) && is_zombie(b)); i++)
            usleep(1000);
        sig_panic_handler(SIGCHLD);
        if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD)
            _exit(3);
        sig_panic_handler(SIGCHLD); // nothing left: a dbg line
    });
    EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
    EXPECT_TRUE(has(r.err, "killed by the 9 signal")) << r.err;
    EXPECT_TRUE(has(r.err, "sig_chid_handler(): signo=17 [Child exited]")) << r.err;
    EXPECT_EQ(count(r.err, "sig_chid_handler()"), 1u) << r.err;

    EXPECT_STREQ(os_get_stack_info(), "release no stack info");
}

TEST(Signal, Daemonize)
{
    // What the test binary was started with is inherited (and closed by the
    // daemon); the pipe is opened after that, as a program opens its own
    // files, and stays.
    os_daemon_note_inherited();
    int rep[2];
    ASSERT_EQ(pipe(rep), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(rep[0]);
        umask(0);
        if (os_daemonize() != 0)
            _exit(5);
        // The grandchild: report what it sees, then end.
        std::string fds;
        for (int fd = 0; fd < 3; fd++) {
            char link[64], target[256];
            snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
            ssize_t n = readlink(link, target, sizeof(target) - 1);
            target[n > 0 ? n : 0] = '\0';
            fds += std::string(target) + ",";
        }
        std::string status = slurp("/proc/self/status");
        size_t u = status.find("Umask:\t");
        std::string mask = u == std::string::npos ? "" : status.substr(u + 7, 4);
        dprintf(rep[1], "%d %d %d %s %s\n", (int)getpid(), (int)getsid(0), (int)getppid(), mask.c_str(),
                fds.c_str());
        struct sigaction sa;
        sigaction(SIGHUP, nullptr, &sa);
        dprintf(rep[1], "hup_ignored=%d\n", sa.sa_handler == SIG_IGN ? 1 : 0);
        _exit(0);
    }
    close(rep[1]);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0); // the caller ends inside the call
    std::string rpt;
    char buf[512];
    ssize_t n;
    while ((n = read(rep[0], buf, sizeof(buf))) > 0)
        rpt.append(buf, (size_t)n);
    close(rep[0]);
    int gpid = 0, sid = 0, ppid = 0;
    char mask[16] = "", fds[1024] = "";
    ASSERT_EQ(sscanf(rpt.c_str(), "%d %d %d %15s %1023s", &gpid, &sid, &ppid, mask, fds), 5) << rpt;
    EXPECT_NE(gpid, pid);
    EXPECT_NE(sid, gpid); // not a session leader: no controlling terminal again
    EXPECT_NE(sid, getsid(0));
    EXPECT_STREQ(mask, "0022");
    EXPECT_STREQ(fds, "/dev/null,/dev/null,/dev/null,");
    EXPECT_TRUE(has(rpt, "hup_ignored=1")) << rpt;
}
