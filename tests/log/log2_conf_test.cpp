// The log section: keys applied to the default handle, then to new handles.
// Which handle a call configures depends on the calls before it in the
// process, so every case runs in a child of its own.
#include "liblog/log2_conf.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture.h"
#include "libpal/basic/pl_base.h"

namespace {

// Runs body in a forked child; its exit status 0 means every check passed.
// Failed checks print what they saw.
#define CHILD_CHECK(cond)                                                        \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #cond);   \
            exit(1);                                                             \
        }                                                                        \
    } while (0)

#define RUN_IN_CHILD(body) EXPECT_EXIT({ body; exit(0); }, ::testing::ExitedWithCode(0), "")

bool has(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

std::string tmpdir()
{
    char t[] = "/tmp/zklogconf_XXXXXX";
    return mkdtemp(t) ? t : "/tmp";
}

// Records of the default handle as "level tag: message".
std::string s_records;
int record_hook(unsigned lw, const char *tag, const char *, int, const char *, int, const char *fmt, va_list va)
{
    char msg[1024];
    vsnprintf(msg, sizeof(msg), fmt, va);
    s_records += std::to_string(lw & LOG2_LEVEL_MASK) + " " + (tag ? tag : "") + ": " + msg;
    return 0;
}

TEST(Log2Conf, LevelFlagsAndSizeCap)
{
    RUN_IN_CHILD({
        unsetenv("ZK_LOG_DBG");
        pl_init();
        log2_info_t before;
        log2_get_info(nullptr, &before);
        log2_set_hook(nullptr, record_hook);
        log2_t *h = log2_init_ini_str("[log]\nlevel=warn\nflags=time|tid\nfile_size=1k\n", nullptr);
        log2_set_hook(nullptr, nullptr);
        CHILD_CHECK(h == log2_get(nullptr));
        CHILD_CHECK(log2_get_level(nullptr) == 4);
        CHILD_CHECK(log2_get_console_level(nullptr) == 7);
        CHILD_CHECK(log2_get_flags(nullptr) == 0x23); // the colour bit stays on
        CHILD_CHECK(s_records == "4 tag: log2_ioctl log.file_size=1024 (must>=2048 error)\n");
        log2_info_t after;
        log2_get_info(nullptr, &after);
        CHILD_CHECK(after.file_max_size == before.file_max_size);

        log2_t *h2 = log2_init_ini_str("[log]\nfile_size=2k\n", nullptr);
        CHILD_CHECK(h2 != h);
        log2_get_info(h2, &after);
        CHILD_CHECK(after.file_max_size == 2048);
        log2_exit(h2);
    });
}

TEST(Log2Conf, LevelKeySetsOnlyTheLevel)
{
    RUN_IN_CHILD({
        unsetenv("ZK_LOG_DBG");
        pl_init();
        log2_init_ini_str("[log]\nlevel=verb\n", nullptr);
        CHILD_CHECK(log2_get_level(nullptr) == 8);
        CHILD_CHECK(log2_get_console_level(nullptr) == 7);
        // The command line's setter raises both.
        log2_set_level_str(nullptr, "verb");
        CHILD_CHECK(log2_get_console_level(nullptr) == 8);
    });
}

TEST(Log2Conf, NamedSectionsAndLaterHandles)
{
    RUN_IN_CHILD({
        unsetenv("ZK_LOG_DBG");
        pl_init();
        const char *text = "[log]\nlevel=err\n[log_fuse]\nlevel=noti\n[LOG_fuse]\nlevel=verb\n";
        log2_t *def = log2_init_ini_str(text, nullptr);
        CHILD_CHECK(def == log2_get(nullptr));
        CHILD_CHECK(log2_get_level(nullptr) == 3);
        log2_t *fuse = log2_init_ini_str(text, "fuse");
        CHILD_CHECK(fuse && fuse != def);
        CHILD_CHECK(log2_get_level(fuse) == 5);
        CHILD_CHECK(log2_get_level(nullptr) == 3); // handle 0 keeps the first configuration
        // A name that does not fit "log_%s" in 256 bytes configures nothing.
        std::string long_name(300, 'n');
        log2_t *other = log2_init_ini_str(text, long_name.c_str());
        CHILD_CHECK(other && log2_get_level(other) == 7);
        log2_exit(fuse);
        log2_exit(other);
    });
}

TEST(Log2Conf, DebugKeyAndFileMode)
{
    RUN_IN_CHILD({
        unsetenv("ZK_LOG_DBG");
        pl_init();
        fd_capture cap;
        log2_init_ini_str("[log]\ndebug=1\nlevel=info\nfile_mode=x\n", nullptr);
        std::string err = cap.stop();
        // The debug line of the debug key itself comes before the switch.
        CHILD_CHECK(!has(err, "log.debug=1"));
        CHILD_CHECK(has(err, "log.level=info\n"));
        CHILD_CHECK(has(err, "mode x err\n"));
        CHILD_CHECK(!has(err, "log.file_mode"));
        CHILD_CHECK(strcmp(log2_conf_get_file_mode(nullptr), "w") == 0);
        CHILD_CHECK(log2_conf_set_file_mode(nullptr, "a") == 0);
        CHILD_CHECK(strcmp(log2_conf_get_file_mode(nullptr), "a") == 0);
        CHILD_CHECK(log2_conf_set_file_mode(nullptr, "a+") == -1);
        CHILD_CHECK(strcmp(log2_conf_get_file_mode(nullptr), "a") == 0);
    });
    RUN_IN_CHILD({
        setenv("ZK_LOG_DBG", "1", 1);
        pl_init();
        fd_capture cap;
        log2_init_ini_str("[log]\ndebug=1\n", nullptr);
        std::string err = cap.stop();
        CHILD_CHECK(has(err, "conf=[[log]\ndebug=1\n]"));
        CHILD_CHECK(has(err, "log.debug=1\n"));
    });
}

TEST(Log2Conf, FilesAndFailures)
{
    std::string dir = tmpdir();
    RUN_IN_CHILD({
        unsetenv("ZK_LOG_DBG");
        pl_init();
        log2_set_level(nullptr, 6);
        // A file that cannot be loaded leaves the handle as it was.
        log2_t *h = log2_init_ini_file((dir + "/missing.ini").c_str(), nullptr);
        CHILD_CHECK(h == log2_get(nullptr) && log2_get_level(nullptr) == 6);
        h = log2_init_ini_file(nullptr, nullptr);
        CHILD_CHECK(h && h != log2_get(nullptr));
        log2_exit(h);
    });
    RUN_IN_CHILD({
        unsetenv("ZK_LOG_DBG");
        pl_init();
        std::string ini = dir + "/zkue.ini";
        std::string text = "\xEF\xBB\xBF[log]\nlevel=bogus\nfile_dir=" + dir + "\nfile=z.log\nsyslog=udp://127.0.0.1:1\n";
        int fd = open(ini.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        CHILD_CHECK(fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size());
        close(fd);
        int level = log2_get_level(nullptr);
        fd_capture cap;
        log2_init_ini_file(ini.c_str(), nullptr);
        std::string err = cap.stop();
        CHILD_CHECK(log2_get_level(nullptr) == level); // unknown names change nothing
        CHILD_CHECK(has(err, "error: invalid level [bogus]\n"));
        log2_info_t info;
        log2_get_info(nullptr, &info);
        CHILD_CHECK(info.file_on == 1);
        CHILD_CHECK(std::string(info.file_name) == dir + "/z.log");
        CHILD_CHECK(info.syslog_on == 1);
        CHILD_CHECK(std::string(info.syslog_url) == "udp://127.0.0.1:1");
        fd_capture console;
        LOG_ERR("test", "into the file %d%%\n", 7);
        log2_print_str(nullptr, LOG2_ERR, "test", __FILE__, __LINE__, __func__, "literal %d%%\n");
        // A binary-only record reaches neither the console nor the file.
        LOG2(LOG2_ERR | LOG2_F_BSV_ONLY, "test", "binary only\n");
        std::string shown = console.stop();
        CHILD_CHECK(has(shown, "into the file 7%") && !has(shown, "binary only"));
        int rfd = open((dir + "/z.log").c_str(), O_RDONLY);
        char buf[4096] = {};
        CHILD_CHECK(rfd >= 0 && read(rfd, buf, sizeof(buf) - 1) > 0);
        CHILD_CHECK(strstr(buf, "into the file 7%") && strstr(buf, "literal %d%%"));
        CHILD_CHECK(!strstr(buf, "binary only"));
    });
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(Log2Conf, LevelVariableGetter)
{
    RUN_IN_CHILD({
        pl_init();
        log2_set_level(nullptr, 4);
        char buf[16] = "x";
        CHILD_CHECK(log_level_var_get(buf, sizeof(buf)) == 0 && strcmp(buf, "warn") == 0);
        char tiny[3] = "x";
        log_level_var_get(tiny, sizeof(tiny));
        CHILD_CHECK(tiny[0] == '\0'); // strict copy
    });
}

} // namespace
