// Key tables, executable path, environment shortcuts, command lookup,
// working-directory resolution and console colours.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture.h"
#include "test_util.h"
#include "libpal/env/os_console.h"
#include "libpal/env/os_env.h"

// Output of a shell command with the trailing newline removed.
static std::string sh(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

struct KeyTable : ::testing::Test {
    int http = 0, dbg = 0;
    char *name = nullptr;
    os_opt_kv_t tab[4] = {
        {"http_server_port", &http, OS_OPT_KV_INT, nullptr},
        {"debug_server_port", &dbg, OS_OPT_KV_INT, nullptr},
        {"name", &name, 23, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    void TearDown() override
    {
        os_opt_kv_free(tab);
        free(name);
    }
};

TEST_F(KeyTable, GetStoresPendingValueAndApplyWritesTargets)
{
    // Keys match without regard to case; nothing reaches a target before apply.
    EXPECT_EQ(os_opt_kv_get(tab, "DEBUG_SERVER_PORT=7000"), 0);
    EXPECT_STREQ(tab[1].value, "7000");
    EXPECT_EQ(dbg, 0);
    // A later setting of the same key replaces the pending value.
    EXPECT_EQ(os_opt_kv_get(tab, "http_server_port=1"), 0);
    EXPECT_EQ(os_opt_kv_get(tab, "http_server_port=8080"), 0);
    // The value ends at a further '='.
    EXPECT_EQ(os_opt_kv_get(tab, "name=a=b"), 0);
    EXPECT_STREQ(tab[2].value, "a");

    EXPECT_EQ(os_opt_kv_apply(tab), 0);
    EXPECT_EQ(dbg, 7000);
    EXPECT_EQ(http, 8080);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "a");
    EXPECT_NE(name, tab[2].value); // the target gets its own copy

    EXPECT_EQ(os_opt_kv_free(tab), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tab[i].value, nullptr);
}

TEST_F(KeyTable, BadSettingsAreRefusedAndLeaveTheTableAlone)
{
    struct {
        const char *text;
        const char *log;
    } cases[] = {
        {"port", "port syntax error Example: k=v"},
        {"nosuch=1", "unsupported key [nosuch]"},
        {"", " syntax error Example: k=v"},
    };
    for (auto &c : cases) {
        fd_capture cap;
        EXPECT_EQ(os_opt_kv_get(tab, c.text), -1) << c.text;
        EXPECT_NE(cap.stop().find(c.log), std::string::npos) << c.text;
    }
    // Key or value of 256 characters or more does not fit.
    std::string long_key(256, 'k'), long_val(256, '7');
    EXPECT_EQ(os_opt_kv_get(tab, (long_key + "=1").c_str()), -1);
    EXPECT_EQ(os_opt_kv_get(tab, ("http_server_port=" + long_val).c_str()), -1);
    EXPECT_EQ(tab[0].value, nullptr);
    EXPECT_EQ(os_opt_kv_get(tab, ("http_server_port=" + long_val.substr(1)).c_str()), 0);
    EXPECT_EQ(tab[0].value, long_val.substr(1));
    EXPECT_EQ(tab[1].value, nullptr);
}

TEST_F(KeyTable, Set2WritesAtOnce)
{
    EXPECT_EQ(os_opt_kv_set2(tab, "Http_Server_Port", "9000"), 0);
    EXPECT_EQ(http, 9000);
    EXPECT_EQ(os_opt_kv_set2(tab, "debug_server_port", "12abc"), 0); // strict parse gives 0
    EXPECT_EQ(dbg, 0);
    EXPECT_EQ(os_opt_kv_set2(tab, "missing", "1"), -1);
}

TEST_F(KeyTable, ListPrintsKeysAndEnds)
{
    EXPECT_EXIT(os_opt_kv_get(tab, "list"), ::testing::ExitedWithCode(0),
                "^support the following key settings\nhttp_server_port\ndebug_server_port\nname\n$");
}

TEST(ExePath, MatchesProcLinkAndNeverOverflows)
{
    char buf[4096];
    ASSERT_EQ(os_exe_get_name(buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf), sh("readlink /proc/" + std::to_string(getpid()) + "/exe"));

    char dir[4096];
    ASSERT_EQ(os_exe_get_dir(dir, sizeof(dir)), 0);
    std::string d = dir;
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back(), '/');
    EXPECT_EQ(d + sh("basename \"$(readlink /proc/" + std::to_string(getpid()) + "/exe)\""), std::string(buf));

    // Buffers too small for the path: failure, and not a byte past the end.
    size_t len = strlen(buf);
    for (size_t size : {len, len - 1, (size_t)1}) {
        char small[4200];
        memset(small, '#', sizeof(small));
        EXPECT_EQ(os_exe_get_name(small, size), -1) << size;
        EXPECT_EQ(small[size], '#') << size;
    }
    // A path that just fits with its NUL comes from the link itself, not
    // from the fallback through the command line.
    char exact[4200];
    memset(exact, '#', sizeof(exact));
    {
        zk_test::log_capture logs;
        EXPECT_EQ(os_exe_get_name(exact, len + 1), 0);
        EXPECT_FALSE(logs.has("readlink /proc/self/exe error")) << "fallback taken";
    }
    EXPECT_STREQ(exact, buf);
    EXPECT_EQ(os_exe_get_dir(dir, 2), -1);
}

TEST(Which, AgreesWithTheShell)
{
    char buf[4096];
    ASSERT_EQ(os_which("sh", buf), 0);
    EXPECT_EQ(std::string(buf), sh("readlink -f \"$(command -v sh)\""));

    EXPECT_EQ(os_which("no-such-command-zk", buf), -1);
    EXPECT_STREQ(buf, "no-such-command-zk");

    // Absolute names are resolved whether or not they are on PATH.
    ASSERT_EQ(os_which("/bin/../bin/sh", buf), 0);
    EXPECT_EQ(std::string(buf), sh("readlink -f /bin/sh"));
    EXPECT_EQ(os_which("/no/such/file", buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST(Which, CommandLineResolution)
{
    char buf[4096];
    std::string sh_path = sh("readlink -f \"$(command -v sh)\"");
    ASSERT_EQ(os_cmdline_resolve("sh -c 'echo hi'", buf), 0);
    EXPECT_EQ(std::string(buf), sh_path + " -c 'echo hi'");
    ASSERT_EQ(os_cmdline_resolve("sh", buf), 0);
    EXPECT_EQ(std::string(buf), sh_path);
    ASSERT_EQ(os_cmdline_resolve("/opt/x/y -v", buf), 0);
    EXPECT_STREQ(buf, "/opt/x/y -v");
    EXPECT_EQ(os_cmdline_resolve("no-such-command-zk -v", buf), -1);

    // A resolved path holding a blank is quoted.
    char tmpl[] = "/tmp/zk env XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string exe = std::string(tmpl) + "/tool";
    FILE *f = fopen(exe.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#!/bin/sh\n", f);
    fclose(f);
    chmod(exe.c_str(), 0755);
    std::string old_path = getenv("PATH");
    setenv("PATH", (std::string(tmpl) + ":" + old_path).c_str(), 1);
    EXPECT_EQ(os_cmdline_resolve("tool a b", buf), 0);
    setenv("PATH", old_path.c_str(), 1);
    EXPECT_EQ(std::string(buf), "\"" + exe + "\" a b");
    unlink(exe.c_str());
    rmdir(tmpl);
}

TEST(Env, Shortcuts)
{
    struct {
        const char *value;
        int as_int;
        int32_t as_size;
    } cases[] = {
        {"42", 42, 42}, {" 7 ", 7, 0}, {"-3", -3, 0}, {"12abc", 0, 0}, {"2m", 0, 2097152},
        {"2mb", 0, 2000000}, {"1b", 0, 512}, {"2147483648", 0, (int32_t)2147483648u}, {"", 0, 0},
    };
    for (auto &c : cases) {
        setenv("ZK_ENV_TEST", c.value, 1);
        EXPECT_EQ(os_getenv_int("ZK_ENV_TEST"), c.as_int) << c.value;
        EXPECT_EQ(os_getenv_size("ZK_ENV_TEST"), c.as_size) << c.value;
    }
    // The strict parse says why a value gave 0.
    {
        setenv("ZK_ENV_TEST", "12abc", 1);
        zk_test::log_capture logs;
        EXPECT_EQ(os_getenv_int("ZK_ENV_TEST"), 0);
        EXPECT_TRUE(logs.has("illegal char")) << "no parse warning";
    }
    unsetenv("ZK_ENV_TEST");
    EXPECT_EQ(os_getenv("ZK_ENV_TEST"), nullptr);
    EXPECT_EQ(os_getenv_int("ZK_ENV_TEST"), 0);
    EXPECT_EQ(os_getenv_size("ZK_ENV_TEST"), 0);

    EXPECT_EQ(os_setenv_fmt("ZK_ENV_TEST", "%s-%u", "a", 7u), 0);
    EXPECT_STREQ(os_getenv("ZK_ENV_TEST"), "a-7");
    // A value that does not fit 256 bytes is not set at all.
    EXPECT_EQ(os_setenv_fmt("ZK_ENV_TEST", "%s", std::string(256, 'x').c_str()), -1);
    EXPECT_STREQ(os_getenv("ZK_ENV_TEST"), "a-7");
    EXPECT_EQ(os_setenv("ZK_ENV_TEST", "b", 0), 0);
    EXPECT_STREQ(os_getenv("ZK_ENV_TEST"), "a-7");
    EXPECT_EQ(os_unsetenv("ZK_ENV_TEST"), 0);
}

TEST(Env, CmdlineJoin)
{
    const char *argv[] = {"zkue", "-r", "a b", "-q"};
    char buf[4096];
    EXPECT_STREQ(os_cmdline_join(4, (char **)argv, buf, sizeof(buf)), "zkue -r \"a b\" -q ");
    char small[8];
    os_cmdline_join(4, (char **)argv, small, sizeof(small));
    EXPECT_STREQ(small, "zkue -r");
}

TEST(ChdirPath, Resolve)
{
    struct {
        const char *cur, *path, *want;
    } cases[] = {
        {"/a/b", "..", "/a/"}, {"/", "..", "/"},    {"/a", "..", "/"},      {"/a", "c", "/a/c"},
        {"/a/", "c", "/a/c"},  {"/a", "/x", "/x"}, {"/a/b", ".", "/a/b"}, {"\\a\\b", "c\\d", "/a/b/c/d"},
        {"/a", "c//d/", "/a/c/d"},
    };
    for (auto &c : cases) {
        char buf[4096];
        EXPECT_STREQ(os_chdir_path_resolve(c.cur, c.path, buf, sizeof(buf)), c.want) << c.cur << " + " << c.path;
    }
}

TEST(ChdirPath, ContextDirectoryOnlyMovesToDirectories)
{
    char tmpl[] = "/tmp/zk_envXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string sub = std::string(tmpl) + "/sub", file = std::string(tmpl) + "/f";
    mkdir(sub.c_str(), 0755);
    fclose(fopen(file.c_str(), "w"));
    char before[PATH_MAX];
    ASSERT_NE(getcwd(before, sizeof(before)), nullptr);

    char cur[4096];
    strcpy(cur, tmpl);
    EXPECT_EQ(os_chdir_mt(cur, sizeof(cur), "sub"), 0);
    EXPECT_EQ(std::string(cur), sub);
    EXPECT_EQ(os_chdir_mt(cur, sizeof(cur), ".."), 0);
    EXPECT_EQ(std::string(cur), std::string(tmpl) + "/");

    strcpy(cur, tmpl);
    errno = 0;
    EXPECT_EQ(os_chdir_mt(cur, sizeof(cur), "f"), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(os_chdir_mt(cur, sizeof(cur), "missing"), -1);
    EXPECT_STREQ(cur, tmpl);
    EXPECT_EQ(os_chdir_mt(cur, sizeof(cur), "/"), 0);
    EXPECT_STREQ(cur, "/");

    // The process's own working directory never moves.
    char after[PATH_MAX];
    ASSERT_NE(getcwd(after, sizeof(after)), nullptr);
    EXPECT_STREQ(before, after);
    unlink(file.c_str());
    rmdir(sub.c_str());
    rmdir(tmpl);
}

TEST(Console, ColourEscapes)
{
    struct {
        int code;
        const char *want;
    } cases[] = {
        {0, "hi"},
        {2, "\033[07;37mhi\033[0m"},
        {3, "\033[32mhi\033[0m"},
        {4, "\033[37mhi\033[0m"},
        {5, "\033[36mhi\033[0m"},
        {7, "\033[01;33mhi\033[0m"},
        {8, "\033[01;31mhi\033[0m"},
        {9, "\033[01;07;31mhi\033[0m"},
    };
    for (auto &c : cases) {
        fd_capture cap;
        EXPECT_EQ(os_console_color_fputs(stderr, c.code, "hi"), 0);
        EXPECT_EQ(cap.stop(), c.want) << c.code;
    }
    fd_capture cap;
    os_console_color_printf(stderr, 8, "%s=%d", "n", 5);
    EXPECT_EQ(cap.stop(), "\033[01;31mn=5\033[0m");
}

TEST(Console, WaitKeyLeavesTheByteUnread)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int saved = dup(0);
    dup2(fds[0], 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(os_console_wait_key(), 0);
    char c = 0;
    EXPECT_EQ(read(0, &c, 1), 1);
    EXPECT_EQ(c, 'x');
    // With the writer gone nothing can arrive: no endless wait.
    close(fds[1]);
    EXPECT_EQ(os_console_wait_key(), -1);
    dup2(saved, 0);
    close(saved);
    close(fds[0]);
}

TEST(GlobalMutex, InitAndExitAreIdempotent)
{
    EXPECT_EQ(os_global_mutex_init(), 0);
    EXPECT_EQ(os_global_mutex_init(), 0);
    EXPECT_EQ(os_global_mutex_exit(), 0);
    EXPECT_EQ(os_global_mutex_exit(), 0);
    EXPECT_EQ(os_global_mutex_init(), 0);
}
