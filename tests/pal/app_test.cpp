// The application framework's start-up sequence and exit. Every case runs
// in a child process: start-up installs process-wide state (platform,
// signal handlers, log settings) that must not leak into other tests.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/env/os_env.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/tframe/app/app.h"
#include "liblog/log2.h"

namespace {

// The scratch file that stands for the kernel's core pattern in a child.
std::string g_pattern_file;

// Runs fn in a child; fn returns "" on success or a description of what went
// wrong. Returns that text ("child ended with ..." when it did not finish).
std::string in_child(const std::function<std::string()> &fn)
{
    int p[2];
    if (pipe(p) != 0)
        return "pipe failed";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        // Banners and log lines of the child are not part of the report.
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        // Start-up as root with a dump directory writes the kernel's core
        // pattern: point that at a scratch file.
        char pattern[] = "/tmp/zk_app_core_patternXXXXXX";
        int pfd = mkstemp(pattern);
        if (pfd < 0 || os_panic_set_core_pattern_file(pattern) != 0)
            _exit(4);
        close(pfd);
        g_pattern_file = pattern;
        std::string r = fn();
        unlink(pattern);
        if (write(p[1], r.data(), r.size()) < 0)
            _exit(3);
        _exit(0);
    }
    close(p[1]);
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof(buf))) > 0)
        out.append(buf, (size_t)n);
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
        out += " child ended with status " + std::to_string(st);
    return out;
}

// Records what the callbacks saw, in order.
std::string g_trace;
std::string g_conf_path;
const char *g_conf_sets_dump_dir;

int t_opt_get(int argc, char **)
{
    g_trace += "opt(" + std::to_string(argc) + ")";
    return 0;
}
void t_pre_init(void) { g_trace += "pre;"; }
int t_conf_load(const char *path)
{
    g_trace += "conf;";
    g_conf_path = path ? path : "(null)";
    if (g_conf_sets_dump_dir)
        app_opt_block.panic_dump_dir = os_strdup(g_conf_sets_dump_dir);
    return 0;
}
int g_exit_calls;
void t_exit(void) { ++g_exit_calls; }

void fill_app(void)
{
    g_app.app_name = "zkt";
    g_app.app_ver = "1.2.3.4";
    g_app.app_ver_date = "2025-1-2";
    g_app.app_desc = "test app";
    g_app.app_conf_file = "zkt_missing.ini";
    g_app.opt_get_proc = t_opt_get;
    g_app.pre_init_proc = t_pre_init;
    g_app.conf_load_proc = t_conf_load;
    g_app.exit_proc = t_exit;
}

std::string exe_dir(void)
{
    char d[4096];
    return os_exe_get_dir(d, sizeof(d)) == 0 ? d : "";
}

char *argv_of(const char *s) { return const_cast<char *>(s); }

} // namespace

TEST(App, StartUpOrderEnvironmentAndExitOnce)
{
    EXPECT_EQ(in_child([] {
        fill_app();
        char *argv[] = {argv_of("zkt"), argv_of("-r"), argv_of("a b"), nullptr};
        time_t before = time(nullptr);
        app_opt_init(3, argv);
        time_t after = time(nullptr);
        if (g_trace != "pre;opt(3)conf;")
            return "callback order: " + g_trace;
        if (std::string(g_app.cmdline) != "zkt -r \"a b\" ")
            return std::string("cmdline: ") + g_app.cmdline;
        const char *pid = getenv("pid");
        if (!pid || std::string(pid) != std::to_string(getpid()))
            return std::string("pid: ") + (pid ? pid : "(unset)");
        // "proc_start_time" is the local time of start-up, YYYYmmddHHMMSS.
        const char *st = getenv("proc_start_time");
        bool ok = false;
        for (time_t t = before; st && t <= after && !ok; ++t) {
            char want[32];
            struct tm tm;
            localtime_r(&t, &tm);
            strftime(want, sizeof(want), "%Y%m%d%H%M%S", &tm);
            ok = strcmp(st, want) == 0;
        }
        if (!ok)
            return std::string("proc_start_time: ") + (st ? st : "(unset)");
        if (strcmp(g_app.os_name, pl_os_name()) != 0 || strcmp(g_app.arch_name, pl_arch_name()) != 0 ||
            !g_app.ready || g_app.start_clock == 0)
            return std::string("platform facts not copied");
        app_exit();
        app_exit();
        if (g_exit_calls != 1)
            return "exit_proc calls: " + std::to_string(g_exit_calls);
        if (app_opt_block.conf_file || g_app.exit_proc)
            return std::string("option block or exit slot not cleared");
        return std::string();
    }),
              "");
}

TEST(App, MissingConfigurationFallsBackToTheBareName)
{
    // No -c and no file beside the executable; then -c naming a missing file.
    for (const char *conf : {(const char *)nullptr, "/nonexistent/zkt.ini"}) {
        EXPECT_EQ(in_child([conf] {
            setenv("ZK_LOG_LEVEL", "verb", 1);
            fill_app();
            if (conf)
                app_opt_block.conf_file = os_strdup(conf);
            fd_capture cap;
            app_opt_init(1, nullptr);
            std::string err = cap.stop();
            if (g_conf_path != "zkt_missing.ini")
                return "loader got " + g_conf_path;
            if (err.find("Load default zkt_missing.ini\n") == std::string::npos)
                return "no Load default line in: " + err;
            return std::string();
        }),
                  "")
            << (conf ? conf : "(no -c)");
    }
}

TEST(App, CommandLineLevelWinsOverEnvironment)
{
    EXPECT_EQ(in_child([] {
        setenv("ZK_LOG_LEVEL", "err", 1);
        fill_app();
        app_opt_block.log_level = os_strdup("dbg");
        app_opt_init(1, nullptr);
        if (log2_get_level(nullptr) != LOG2_DBG)
            return "level " + std::to_string(log2_get_level(nullptr));
        return std::string();
    }),
              "");
    EXPECT_EQ(in_child([] {
        setenv("ZK_LOG_LEVEL", "err", 1);
        fill_app();
        app_opt_init(1, nullptr);
        if (log2_get_level(nullptr) != LOG2_ERR)
            return "level " + std::to_string(log2_get_level(nullptr));
        return std::string();
    }),
              "");
}

TEST(App, PanicDumpDirectoryIsMadeAbsolute)
{
    struct {
        const char *given;
        std::string want;
    } cases[] = {
        {"dumps", exe_dir() + "dumps"},
        {"/var/dumps", "/var/dumps"},
        {"", ""},
    };
    for (auto &c : cases) {
        EXPECT_EQ(in_child([&c] {
            fill_app();
            g_conf_sets_dump_dir = c.given;
            app_opt_init(1, nullptr);
            const char *got = app_opt_block.panic_dump_dir;
            if (!got || c.want != got)
                return std::string("got ") + (got ? got : "(null)");
            // The directory reached the panic dump set-up (none: no pattern).
            std::string pattern;
            if (FILE *f = fopen(g_pattern_file.c_str(), "r")) {
                char line[8192] = "";
                if (fgets(line, sizeof(line), f))
                    pattern = line;
                fclose(f);
            }
            std::string want_pattern = c.want.empty() ? "" : c.want + "/%e-%p-%t-%c.core";
            if (getuid() == 0 && pattern.rfind(want_pattern, 0) != 0)
                return "core pattern [" + pattern + "]";
            return std::string();
        }),
                  "")
            << c.given;
    }
}

TEST(App, BannerQuietAndLogged)
{
    std::string want = std::string("zkt-linux-") + pl_arch_name() + " v1.2.3.4 (2025-1-2) - test app";
    EXPECT_EQ(in_child([&want] {
        fill_app();
        g_app.app_notice = "notice line";
        fd_capture cap;
        app_opt_init(1, nullptr);
        std::string err = cap.stop();
        if (err.find(want + "\nnotice line\n") == std::string::npos)
            return "banner missing in: " + err;
        return std::string();
    }),
              "");
    // -q hides it from the standard error stream; log_banner still logs it.
    EXPECT_EQ(in_child([&want] {
        fill_app();
        app_opt_block.quiet = 1;
        app_opt_block.log_banner = 1;
        setenv("ZK_LOG_LEVEL", "dbg", 1);
        fd_capture cap;
        app_opt_init(1, nullptr);
        std::string err = cap.stop();
        size_t at = err.find(want);
        if (at == std::string::npos || err.find("app_baner(): " + want + "\n") == std::string::npos)
            return "banner not logged: " + err;
        if (err.find(want, at + 1) != std::string::npos)
            return "banner printed despite quiet: " + err;
        return std::string();
    }),
              "");
}

TEST(App, MissingDescriptorFieldsStopTheProgram)
{
    struct {
        void (*clear)(void);
        const char *expr;
    } cases[] = {
        {[] { g_app.app_name = nullptr; }, "g_app.app_name!=NULL"},
        {[] { g_app.app_desc = nullptr; }, "g_app.app_desc!=NULL"},
        {[] { g_app.app_ver = nullptr; }, "g_app.app_ver!=NULL"},
        {[] { g_app.app_ver_date = nullptr; }, "g_app.app_ver_date!=NULL"},
        {[] { g_app.app_conf_file = nullptr; }, "g_app.app_conf_file!=NULL"},
    };
    for (auto &c : cases) {
        EXPECT_DEATH(
            {
                fill_app();
                c.clear();
                app_opt_init(1, nullptr);
            },
            std::string("expr\\[") + c.expr + "\\]: assert failed")
            << c.expr;
    }
}

TEST(App, ExecCommandWithoutShellFails)
{
    EXPECT_EXIT(
        {
            fill_app();
            app_opt_block.exec_cmd = os_strdup("help");
            app_opt_init(1, nullptr);
        },
        ::testing::ExitedWithCode(1), "no command shell");
}
