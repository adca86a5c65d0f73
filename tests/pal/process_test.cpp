// Processes: commands and their end codes, piped children and capture,
// /proc lookups, power control seam, privileges and limits.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_process.h"
#include "test_util.h"

namespace {

// Standard output of a shell command run by the C library, as an
// independent reference.
std::string sh_out(const std::string &cmd)
{
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    pclose(f);
    return out;
}

std::string take(char *s)
{
    std::string r = s ? s : "(null)";
    free(s);
    return r;
}

// Runs fn in a forked child and returns its wait status.
template <class F> int in_child(F fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        fn();
        _exit(0);
    }
    int st = -1;
    waitpid(pid, &st, 0);
    return st;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

} // namespace

TEST(Process, SystemEndCodes)
{
    EXPECT_EQ(os_system("exit 3", 0), 3);
    EXPECT_EQ(os_system("true", 0), 0);
    EXPECT_EQ(os_system_sync("exit 7"), 7);
    EXPECT_EQ(os_system_raw("exit 3"), 3 << 8);
    EXPECT_EQ(os_system_fmt("exit %d", 5), 5);
    // A command that does not fit the 8192-byte buffer is not run cut short.
    std::string big(9000, 'x');
    fd_capture cap;
    EXPECT_EQ(os_system_fmt("echo %s", big.c_str()), -1);
    // The shell itself killed by a signal: the signal number, logged.
    EXPECT_EQ(os_system("kill -9 $$", 0), 9);
    std::string log = cap.stop();
    EXPECT_NE(log.find("pid=0 killed by the 9 signal"), std::string::npos) << log;
    EXPECT_EQ(log.find("xxxxxxxxxxxxxxxx\n"), std::string::npos);
}

TEST(Process, WaitStatusMapping)
{
    struct {
        int status;
        int want;
        const char *log; // expected line part, or nullptr for no log
    } rows[] = {
        {0, 0, nullptr},
        {3 << 8, 3, nullptr},
        {255 << 8, 255, nullptr},
        {SIGKILL, 9, "[cmd] pid=42 killed by the 9 signal"},
        {SIGSEGV | 0x80, 11, "[cmd] pid=42 killed by the 11 signal"}, // with core dump bit
        {(SIGSTOP << 8) | 0x7f, SIGSTOP, "[cmd] pid=42 stop by the 19 signal"},
        {0xffff, -1, "[cmd] pid=42 wait_ret status=0xffff"}, // continued
    };
    for (auto &r : rows) {
        fd_capture cap;
        EXPECT_EQ(os_waitpid_status_2_eno(42, r.status, "cmd"), r.want) << r.status;
        std::string log = cap.stop();
        if (r.log)
            EXPECT_NE(log.find(r.log), std::string::npos) << log;
        else
            EXPECT_EQ(log, "");
    }
    // A null name prints as an empty text; a real SIGKILL status maps to 9.
    int st = in_child([] { raise(SIGKILL); });
    fd_capture cap;
    EXPECT_EQ(os_waitpid_status_2_eno(7, st, nullptr), 9);
    EXPECT_NE(cap.stop().find("[] pid=7 killed by the 9 signal"), std::string::npos);
}

TEST(Process, PopenRefusesBadArguments)
{
    for (const char *mode : {"rw", "", "R", "r+"}) {
        errno = 0;
        EXPECT_EQ(os_popen("true", mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
    errno = 0;
    EXPECT_EQ(os_popen(nullptr, "r"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    // Without a shell an empty command names no program.
    errno = 0;
    EXPECT_EQ(os_popen_exec("   ", "r"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Process, Capture)
{
    struct {
        const char *cmd;
        int mode; // 1 shell, 2 exec
        int want;
        const char *out;
        const char *err;
    } rows[] = {
        {"echo hi", 1, 0, "hi\n", "(null)"},
        {"echo hi", 2, 0, "hi\n", "(null)"},
        {"echo oops >&2; exit 4", 1, 4, "(null)", "oops\n"},
        // exec's errno becomes the end code: ENOENT
        {"no-such-program-zkue-test", 2, ENOENT, "(null)", "(null)"},
        {"/nonexistent/dir/prog a b", 2, ENOENT, "(null)", "(null)"},
        // words: quoted blanks kept, backslash-quote literal
        {"printf %s| a \"b c\" d\\\"e", 2, 0, "a|b c|d\"e|", "(null)"},
        {"  printf x", 2, 0, "x", "(null)"},
        // SIGPIPE is back to its default in the child: `yes` just ends
        {"yes | head -n 1", 1, 0, "y\n", "(null)"},
        // a NUL byte ends its chunk's text
        {"printf 'ab\\000cd'", 1, 0, "ab", "(null)"},
    };
    for (auto &r : rows) {
        char *out = nullptr, *err = nullptr;
        int ret = os_system_capture_imp(r.cmd, r.mode, &out, &err);
        EXPECT_EQ(ret, r.want) << r.cmd;
        EXPECT_EQ(take(out), r.out) << r.cmd;
        EXPECT_EQ(take(err), r.err) << r.cmd;
    }
    // The named forms pick shell or exec; "a;b" only means two commands to a shell.
    char *out = nullptr;
    EXPECT_EQ(os_system_capture_sh("echo a;echo b", 0, &out, nullptr), 0);
    EXPECT_EQ(take(out), "a\nb\n");
    EXPECT_EQ(os_system_capture("echo a;echo b", 0, &out, nullptr), 0);
    EXPECT_EQ(take(out), "a;echo b\n");
    EXPECT_EQ(os_system_capture_exec("echo x", 0, nullptr, nullptr), 0);
}

TEST(Process, CaptureReadsBothStreamsTogether)
{
    // Each stream gets more than a pipe holds while the other stays open:
    // reading one to its end before the other would block both sides.
    const char *cmds[] = {
        "head -c 300000 /dev/zero | tr '\\0' e >&2; echo done",
        "head -c 300000 /dev/zero | tr '\\0' o; echo done >&2",
    };
    char *out = nullptr, *err = nullptr;
    ASSERT_EQ(os_system_capture_sh(cmds[0], 0, &out, &err), 0);
    EXPECT_EQ(take(out), "done\n");
    std::string e = take(err);
    EXPECT_EQ(e.size(), 300000u);
    EXPECT_EQ(e.find_first_not_of('e'), std::string::npos);

    ASSERT_EQ(os_system_capture_sh(cmds[1], 0, &out, &err), 0);
    std::string o = take(out);
    EXPECT_EQ(o.size(), 300000u);
    EXPECT_EQ(take(err), "done\n");
}

TEST(Process, ChildInheritsNoDescriptorAbove2)
{
    // Descriptors without close-on-exec, far above 255, as the raised
    // RLIMIT_NOFILE allows.
    int base = open("/dev/null", O_RDONLY);
    ASSERT_GE(base, 0);
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    std::vector<int> high = {200, 300};
    if (rl.rlim_cur > 1100)
        high.push_back(1024);
    for (int fd : high)
        ASSERT_EQ(dup2(base, fd), fd);

    char *out = nullptr;
    ASSERT_EQ(os_system_capture_exec("ls /proc/self/fd", 0, &out, nullptr), 0);
    std::string o = take(out);
    std::istringstream in(o);
    std::string line;
    std::vector<int> seen;
    while (std::getline(in, line))
        seen.push_back(atoi(line.c_str()));
    // 0-2 are wired to the pipes; ls itself holds one more for the listing.
    EXPECT_GE(seen.size(), 3u) << o;
    for (int fd : seen)
        EXPECT_LE(fd, 3) << o;

    // A plain shell command inherits none either: the listing goes to a file.
    zk_test::temp_dir tmp("zk_sys");
    std::string list = tmp / "fds";
    EXPECT_EQ(os_system(("ls /proc/self/fd > '" + list + "'").c_str(), 0), 0);
    std::string fds = zk_test::run("cat '" + list + "'");
    std::istringstream in2(fds);
    int n = 0;
    while (std::getline(in2, line)) {
        ++n;
        EXPECT_LE(atoi(line.c_str()), 3) << fds;
    }
    EXPECT_GE(n, 3) << fds;
    for (int fd : high)
        close(fd);
    close(base);
}

TEST(Process, PipedChildLifecycle)
{
    fd_capture cap;
    os_popen_t *p = os_popen_exec("sleep 30", "r");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->cmd, "sleep 30");
    EXPECT_GT(p->pid, 0);
    const std::string pid = std::to_string(p->pid);
    EXPECT_EQ(os_perrno_get(p), 0); // still running
    // No time left: the time-out line at once, -1.
    EXPECT_EQ(os_perrno_wait(p, 0), -1);
    EXPECT_EQ(os_pid_exists((uint32_t)p->pid), 1);
    EXPECT_EQ(os_pid_kill((uint32_t)p->pid), 1);
    EXPECT_EQ(os_perrno_wait(p, 10000), 9);
    EXPECT_EQ(p->done, 1);
    EXPECT_EQ(p->result, 9);
    // Collected once, then cached.
    EXPECT_EQ(os_perrno_get(p), 9);
    EXPECT_EQ(os_pclose(p), 0);
    std::string log = cap.stop();
    EXPECT_NE(log.find("waitpid pid=" + pid + " timeout_ms=0..."), std::string::npos) << log;
    EXPECT_NE(log.find("[sleep 30] pid=" + pid + " killed by the 9 signal"), std::string::npos) << log;

    // Mode "w": what we write is the child's standard input.
    char path[] = "/tmp/zk_popen_wXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string cmd = std::string("tr a-z A-Z > ") + path;
    p = os_popen(cmd.c_str(), "w");
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(write(p->fd, "hello\n", 6), 6);
    EXPECT_EQ(os_pclose(p), 0);
    EXPECT_EQ(slurp(path), "HELLO\n");
    unlink(path);

    // Reading the two pipes one after the other through the record.
    p = os_popen_exec("sh -c \"echo out; echo err >&2\"", "r");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(take(os_popen_read_out(p)), "out\n");
    EXPECT_EQ(take(os_popen_read_err(p)), "err\n");
    EXPECT_EQ(os_perrno_wait(p, 10000), 0);
    os_pclose(p);
}

TEST(Process, FdReadAll)
{
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    close(pfd[1]);
    EXPECT_EQ(os_fd_read_all(pfd[0]), nullptr); // nothing read
    close(pfd[0]);
    EXPECT_EQ(os_fd_read_all(-1), nullptr);

    ASSERT_EQ(pipe(pfd), 0);
    std::string big(10000, 'z');
    ASSERT_EQ(write(pfd[1], big.data(), big.size()), (ssize_t)big.size());
    close(pfd[1]);
    EXPECT_EQ(take(os_fd_read_all(pfd[0])), big);
    close(pfd[0]);
}

TEST(Process, CaptureBufAndDbg)
{
    char buf[64], err[4096];
    size_t size = sizeof(buf);
    EXPECT_EQ(os_system_capture_buf("echo hello", 0, buf, &size, err), 0);
    EXPECT_STREQ(buf, "hello\n");
    EXPECT_EQ(size, 7u);
    EXPECT_STREQ(err, "");

    size = 4; // cut to the buffer
    EXPECT_EQ(os_system_capture_buf("echo hello", 0, buf, &size, err), 0);
    EXPECT_STREQ(buf, "hel");
    EXPECT_EQ(size, 4u);

    size = sizeof(buf);
    EXPECT_EQ(os_system_capture_buf(R"(sh -c "printf \" \t oops here \n \" >&2; exit 2")", 0, buf, &size, err), 2);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(size, 1u);
    EXPECT_STREQ(err, "oops here");

    fd_capture cap;
    EXPECT_EQ(os_system_dbg("sh -c \"echo info; echo bad >&2; exit 1\"", 0), 1);
    std::string log = cap.stop();
    EXPECT_NE(log.find("cmd=[sh -c \"echo info; echo bad >&2; exit 1\"] ret=1"), std::string::npos) << log;
    // (the log writes a line end inside a record as an escape)
    EXPECT_NE(log.find("info=[info\\n]"), std::string::npos) << log;
    EXPECT_NE(log.find("err=[bad\\n]"), std::string::npos) << log;
}

TEST(Process, Facts)
{
    EXPECT_EQ(os_is_root(), geteuid() == 0 ? 1 : 0);
    EXPECT_EQ(os_perrno_cur(), (uint32_t)getpid());
    EXPECT_EQ(os_pid_exists((uint32_t)getpid()), 1);

    char exe[4096];
    ASSERT_EQ(os_pid_exe((uint32_t)getpid(), exe), 0);
    EXPECT_EQ(std::string(exe) + "\n", sh_out("readlink /proc/" + std::to_string(getpid()) + "/exe"));

    // A child that has been reaped is gone.
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(os_pid_exists((uint32_t)pid), 0);
    EXPECT_EQ(os_pid_exe((uint32_t)pid, exe), -1);
    EXPECT_EQ(os_pid_kill((uint32_t)pid), 0);
    // Ids kill(2) would take as process groups are refused.
    EXPECT_EQ(os_pid_kill(0), 0);
    EXPECT_EQ(os_pid_kill(0xffffffffu), 0);
    EXPECT_EQ(os_pid_kill(0x80000000u), 0);

    EXPECT_EQ(os_get_uid_by_name("root"), 0);
    std::string nobody = sh_out("id -u nobody");
    if (!nobody.empty()) {
        EXPECT_EQ(os_get_uid_by_name("nobody"), atoi(nobody.c_str()));
    }
    EXPECT_EQ(os_get_uid_by_name("no-such-user-zkue"), -1);
    EXPECT_EQ(os_get_uid_by_name(nullptr), -1);
    std::string admin = sh_out("getent group admin | cut -d: -f3");
    EXPECT_EQ(os_get_admin_gid(), admin.empty() ? -1 : atoi(admin.c_str()));
}

TEST(Process, PidCmdline)
{
    // A shell started with an exact argument vector, waiting on its standard
    // input until the test closes it; the close-on-exec pipe tells when the
    // exec has happened.
    int sync[2], in[2];
    ASSERT_EQ(pipe2(sync, O_CLOEXEC), 0);
    ASSERT_EQ(pipe(in), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(sync[0]);
        close(in[1]);
        dup2(in[0], 0);
        close(in[0]);
        execl("/bin/sh", "sh", "-c", "read x", "", "x\"y\\z", "it's", "tab\there", "plain", (char *)nullptr);
        _exit(127);
    }
    close(sync[1]);
    close(in[0]);
    char c;
    ASSERT_EQ(read(sync[0], &c, 1), 0);
    close(sync[0]);

    char buf[4096];
    ASSERT_EQ(os_pid_cmdline((uint32_t)pid, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "sh -c \"read x\" \"x\\\"y\\\\z\" \"it's\" \"tab\there\" plain");
    // Too small for the whole line: an error, not a cut line.
    char small[16];
    EXPECT_EQ(os_pid_cmdline((uint32_t)pid, small, sizeof(small)), -1);
    close(in[1]); // the shell's read ends, and so does the shell
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(os_pid_cmdline((uint32_t)pid, buf, sizeof(buf)), -1);

    // A zombie has no arguments left: an empty text.
    pid = fork();
    if (pid == 0)
        _exit(0);
    ASSERT_GT(pid, 0);
    siginfo_t si{};
    ASSERT_EQ(waitid(P_PID, (id_t)pid, &si, WEXITED | WNOWAIT), 0); // ended, not reaped
    strcpy(buf, "stale");
    EXPECT_EQ(os_pid_cmdline((uint32_t)pid, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "");
    waitpid(pid, nullptr, 0);
}

TEST(Process, PidsByExe)
{
    os_popen_t *p = os_popen_exec("sleep 30", "r");
    ASSERT_NE(p, nullptr);
    // Until the exec, the child still runs the test binary.
    std::string sleep_exe = sh_out("readlink -f \"$(command -v sleep)\"");
    sleep_exe.erase(sleep_exe.find_last_not_of('\n') + 1);
    char exe[4096] = "";
    for (int i = 0; i < 30000 && (os_pid_exe((uint32_t)p->pid, exe) != 0 || sleep_exe != exe); i++)
        usleep(1000);
    u32_vector_t *pids = os_pids_by_exe("sleep");
    ASSERT_NE(pids, nullptr);
    bool found = false;
    for (uint64_t i = 0; i < pids->count; i++) {
        found = found || pids->data[i] == (uint32_t)p->pid;
        // Every one runs that very file (the pidof reference would also list
        // other helpers' sleeps, so each is checked on its own).
        std::string e = sh_out("readlink -f /proc/" + std::to_string(pids->data[i]) + "/exe");
        if (!e.empty()) {
            EXPECT_EQ(e, sleep_exe + "\n");
        }
    }
    EXPECT_TRUE(found);
    u32_vector_free(pids);
    os_pid_kill((uint32_t)p->pid);
    os_pclose(p);
    EXPECT_EQ(os_pids_by_exe("no-such-program-zkue-test"), nullptr);
    EXPECT_EQ(os_pids_by_exe(nullptr), nullptr);
}

namespace {
std::vector<std::string> g_power_cmds;
int record_power(const char *cmd)
{
    g_power_cmds.push_back(cmd);
    return 0;
}
} // namespace

TEST(Process, PowerControlGoesThroughTheRunner)
{
    // Modes 0-2 only ever reach the recording runner here.
    os_power_ctrl_set_runner(record_power);
    EXPECT_EQ(os_power_ctrl(3), 0);
    EXPECT_EQ(os_power_ctrl(-1), 0);
    EXPECT_TRUE(g_power_cmds.empty());
    EXPECT_EQ(os_power_ctrl(0), 1);
    EXPECT_EQ(os_power_ctrl(1), 1);
    EXPECT_EQ(os_power_ctrl(2), 1);
    EXPECT_EQ(g_power_cmds, (std::vector<std::string>{"halt", "poweroff", "reboot"}));
    EXPECT_EQ(os_power_ctrl_set_runner(nullptr), record_power);
}

TEST(Process, LimitsAndUmask)
{
    // In a child: the limits and the mask are process-wide.
    int st = in_child([] {
        umask(0);
        struct rlimit before;
        getrlimit(RLIMIT_NOFILE, &before);
        if (os_set_process_limits() != 0)
            _exit(10);
        // Unlimited open files are refused by the kernel, so both limits
        // become the old hard limit.
        struct rlimit after;
        getrlimit(RLIMIT_NOFILE, &after);
        if (after.rlim_cur != before.rlim_max || after.rlim_max != before.rlim_max)
            _exit(11);
        getrlimit(RLIMIT_FSIZE, &after);
        if (after.rlim_cur != RLIM_INFINITY)
            _exit(12);
        std::string status = slurp("/proc/self/status");
        if (status.find("Umask:\t0022\n") == std::string::npos)
            _exit(13);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);

    // Independent check: the shell sees soft == hard for open files.
    st = in_child([] {
        os_ulimit(RLIMIT_NOFILE);
        std::string s = sh_out("ulimit -Sn; ulimit -Hn");
        std::istringstream in(s);
        std::string a, b;
        in >> a >> b;
        _exit(!a.empty() && a == b ? 0 : 1);
    });
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(os_ulimit(9999), -1);
}

TEST(Process, PrivilegeDropAndRestore)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const uid_t nob = 65534;
    // Temporary: real ids nobody, effective root; drop, then restore.
    int st = in_child([&] {
        if (setresgid(nob, 0, 0) || setresuid(nob, 0, 0))
            _exit(20);
        os_drop_privileges(0);
        if (geteuid() != nob || getegid() != nob)
            _exit(21);
        gid_t g[4];
        if (getgroups(4, g) != 1 || g[0] != nob)
            _exit(22);
        os_restore_privileges();
        if (geteuid() != 0 || getegid() != 0)
            _exit(23);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);

    // Permanent: no way back to root afterwards.
    st = in_child([&] {
        if (setresgid(nob, 0, 0) || setresuid(nob, 0, 0))
            _exit(20);
        os_drop_privileges(1);
        uid_t r, e, s;
        getresuid(&r, &e, &s);
        if (r != nob || e != nob || s != nob)
            _exit(21);
        if (seteuid(0) == 0)
            _exit(22);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);

    // Restore without a temporary drop before it: the process aborts.
    st = in_child([] {
        signal(SIGABRT, SIG_DFL);
        os_restore_privileges();
        _exit(0);
    });
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGABRT);
}
