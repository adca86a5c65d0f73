// The log file output: line format, size cap, recreation, links and
// rotation, open modes, name families and their clean-up, what happens while
// the file cannot be opened, and capture files (also on a full disk).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/env/os_env.h"
#include "liblog/log2.h"
#include "liblog/log2_conf.h"
#include "liblog/log2_out.h"

namespace {

// The program installs the log's outputs at start-up (its log configuration
// does); these tests use them without one.
[[maybe_unused]] const bool k_outputs_installed = (log2_outputs_init(), true);

const std::regex k_line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (VERB |DEBUG|INFO |NOTI |WARN |ERROR|CRIT ) \d+ --- \[[^\]]*\] \S* (\S+\(\): )?.*\n)");

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

// A private handle with the console off, logging everything to a file in a
// scratch directory.
class LogFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        pl_init();
        char t[] = "/tmp/zk_logfile_XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        dir = t;
        h = log2_new();
        ASSERT_NE(h, nullptr);
        log2_ioctl(h, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
        log2_ioctl(h, LOG2_IOC_LEVEL, (const void *)(intptr_t)LOG2_VERB, 0);
    }
    void TearDown() override
    {
        log2_exit(h);
        for (const std::string &d : {dir, extra_dir}) {
            if (d.empty())
                continue;
            std::string cmd = "rm -rf '" + d + "'";
            ASSERT_EQ(system(cmd.c_str()), 0);
        }
    }
    int open(const std::string &name) { return log2_open_file(h, name.c_str()); }
    void rec(unsigned level, const char *msg) { log2_printf(h, level, "vfs", "f.c", 1, "fn", "%s", msg); }

    std::string dir, extra_dir;
    log2_t *h = nullptr;
};

TEST_F(LogFile, EveryLevelWordMakesOneLine)
{
    std::string path = dir + "/a.log";
    ASSERT_EQ(open(path), 0);
    const unsigned levels[] = {LOG2_VERB, LOG2_DBG, LOG2_INFO, LOG2_NOTI, LOG2_WARN, LOG2_ERR, LOG2_CRIT | LOG2_F_NOEXIT};
    for (unsigned lv : levels)
        rec(lv, "hello");
    // Without the function flag the line has no "fn(): ".
    log2_ioctl(h, LOG2_IOC_FLAGS, (const void *)(uintptr_t)LOG2_FL_TIME, 0);
    rec(LOG2_INFO, "plain\n"); // one line end only
    std::vector<std::string> lines = lines_of(slurp(path));
    ASSERT_EQ(lines.size(), 8u);
    const char *words[] = {"VERB ", "DEBUG", "INFO ", "NOTI ", "WARN ", "ERROR", "CRIT "};
    for (size_t i = 0; i < 7; i++) {
        EXPECT_TRUE(std::regex_match(lines[i], k_line)) << lines[i];
        EXPECT_NE(lines[i].find(std::string(" ") + words[i] + " " + std::to_string(getpid()) + " --- ["),
                  std::string::npos)
            << lines[i];
        EXPECT_NE(lines[i].find("] vfs fn(): hello\n"), std::string::npos) << lines[i];
    }
    EXPECT_TRUE(std::regex_match(lines[7], k_line)) << lines[7];
    EXPECT_NE(lines[7].find("] vfs plain\n"), std::string::npos) << lines[7];
    EXPECT_EQ(log2_get_file_fd(h) >= 0, true);
}

TEST_F(LogFile, CapKeepsTheNewestHalfFromALineStart)
{
    std::string path = dir + "/cap.log";
    // A file opened anew ("w") is trimmed as well as one reopened later.
    ASSERT_EQ(open(path), 0);
    log2_ioctl(h, LOG2_IOC_FILE_MAX_SIZE, (const void *)(intptr_t)2048, 0);
    size_t before = 0;
    int trims = 0;
    for (int i = 0; i < 200; i++) {
        rec(LOG2_INFO, ("record " + std::to_string(i) + " " + std::string((size_t)(i % 37), 'x')).c_str());
        std::string text = slurp(path);
        ASSERT_LT(text.size(), 2048u) << i;
        if (text.size() < before) {
            trims++;
            EXPECT_LE(text.size(), 1024u);
            std::vector<std::string> lines = lines_of(text);
            ASSERT_FALSE(lines.empty());
            for (const std::string &l : lines)
                EXPECT_TRUE(std::regex_match(l, k_line)) << l;
            EXPECT_NE(lines.back().find("record " + std::to_string(i) + " "), std::string::npos);
        }
        before = text.size();
    }
    EXPECT_GE(trims, 5);
    // Caps below 1024 become 1024.
    log2_info_t info;
    log2_ioctl(h, LOG2_IOC_FILE_MAX_SIZE, (const void *)(intptr_t)10, 0);
    log2_get_info(h, &info);
    EXPECT_EQ(info.file_max_size, 1024);
}

TEST_F(LogFile, DeletedFileIsMadeAgain)
{
    std::string path = dir + "/gone.log";
    ASSERT_EQ(open(path), 0);
    rec(LOG2_INFO, "first");
    ASSERT_EQ(unlink(path.c_str()), 0);
    rec(LOG2_INFO, "second");
    rec(LOG2_INFO, "third");
    std::string text = slurp(path);
    EXPECT_EQ(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
    EXPECT_NE(text.find("third"), std::string::npos);
    EXPECT_EQ(lines_of(text).size(), 2u);
}

// The daemon runs as root: the log file is never written through a link,
// and records follow the name, so a rotation by rename and create works.
TEST_F(LogFile, NeverThroughALinkAndRecordsFollowTheName)
{
    std::string path = dir + "/z.log", victim = dir + "/victim";
    spit(victim, "precious\n");
    // A link at the name: neither a text file nor a capture file opens it.
    for (const std::string &name : {path, dir + "/z.pcap"}) {
        ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
        EXPECT_EQ(open(name), -1) << name;
        ASSERT_EQ(unlink(name.c_str()), 0);
    }
    EXPECT_EQ(slurp(victim), "precious\n");

    // The name replaced by a link while the file is open: the records of
    // that time are dropped, even past the cap, and the target stays.
    ASSERT_EQ(open(path), 0);
    log2_ioctl(h, LOG2_IOC_FILE_MAX_SIZE, (const void *)(intptr_t)2048, 0);
    rec(LOG2_INFO, "before");
    std::string moved = dir + "/z.log.1";
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    for (int i = 0; i < 100; i++)
        rec(LOG2_INFO, ("dropped " + std::to_string(i) + " " + std::string(40, 'x')).c_str());
    EXPECT_EQ(slurp(victim), "precious\n");
    EXPECT_EQ(lines_of(slurp(moved)).size(), 1u);
    ASSERT_EQ(unlink(path.c_str()), 0);

    // Rename and create: the records go to the new file, which keeps to the
    // cap; the renamed one stays as it was.
    rec(LOG2_INFO, "fresh");
    std::string old = dir + "/z.log.2";
    ASSERT_EQ(rename(path.c_str(), old.c_str()), 0);
    spit(path, "");
    for (int i = 0; i < 100; i++)
        rec(LOG2_INFO, ("rotated " + std::to_string(i) + " " + std::string(40, 'x')).c_str());
    std::string text = slurp(path);
    EXPECT_LT(text.size(), 2048u);
    EXPECT_NE(text.find("rotated 99 "), std::string::npos);
    for (const std::string &l : lines_of(text))
        EXPECT_TRUE(std::regex_match(l, k_line)) << l;
    std::vector<std::string> olds = lines_of(slurp(old));
    ASSERT_EQ(olds.size(), 1u);
    EXPECT_NE(olds[0].find("fresh"), std::string::npos);
}

TEST_F(LogFile, ModesAppendAndTruncate)
{
    std::string path = dir + "/m.log";
    struct {
        const char *mode;
        bool kept;
    } rows[] = {{"a", true}, {"w", false}};
    for (const auto &r : rows) {
        spit(path, "old line\n");
        ASSERT_EQ(log2_conf_set_file_mode(h, r.mode), 0);
        ASSERT_EQ(open(path), 0);
        rec(LOG2_INFO, "new line");
        std::string text = slurp(path);
        EXPECT_EQ(text.rfind("old line\n", 0) == 0, r.kept) << r.mode << ": " << text;
        EXPECT_NE(text.find("new line\n"), std::string::npos);
    }
    // Other texts leave the mode as it was.
    fd_capture cap;
    log2_set_dbg_switch(1);
    EXPECT_EQ(log2_conf_set_file_mode(h, "a+"), -1);
    log2_set_dbg_switch(0);
    EXPECT_NE(cap.stop().find("mode a+ err\n"), std::string::npos);
    EXPECT_STREQ(log2_conf_get_file_mode(h), "w");
}

TEST_F(LogFile, FailedOpenKeepsThePathAndWritesNothing)
{
    std::string path = dir + "/keep.log";
    ASSERT_EQ(open(path), 0);
    rec(LOG2_INFO, "before");
    // A directory cannot be opened as the log file.
    std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_EQ(log2_ioctl(h, LOG2_IOC_FILE_OPEN, sub.c_str(), 0), -1);
    EXPECT_EQ(log2_get_file_name(h), path);
    // The records go on in the former file.
    rec(LOG2_INFO, "after");
    EXPECT_NE(slurp(path).find("after"), std::string::npos);

    // A fresh handle whose first open fails writes nowhere.
    log2_t *h2 = log2_new();
    log2_ioctl(h2, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
    EXPECT_EQ(log2_open_file(h2, sub.c_str()), -1);
    EXPECT_STREQ(log2_get_file_name(h2), "");
    log2_printf(h2, LOG2_ERR, "vfs", "f", 1, "fn", "lost");
    log2_exit(h2);
}

TEST_F(LogFile, RecordsAreDroppedWhileTheFileCannotBeOpened)
{
    std::string path = dir + "/x.log";
    ASSERT_EQ(open(path), 0);
    rec(LOG2_INFO, "one");
    // The file's name now belongs to a directory: the reopen fails, the
    // stream is gone and the records are dropped.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    rec(LOG2_INFO, "two");
    rec(LOG2_INFO, "three");
    EXPECT_EQ(log2_get_file_fd(h), -1);
    // Once the name is free again the next record opens it.
    ASSERT_EQ(rmdir(path.c_str()), 0);
    rec(LOG2_INFO, "four");
    std::string text = slurp(path);
    EXPECT_EQ(lines_of(text).size(), 1u) << text;
    EXPECT_NE(text.find("four"), std::string::npos);
}

TEST_F(LogFile, KeyWithoutCipherLeavesTheFileInClear)
{
    std::string path = dir + "/k.log";
    EXPECT_EQ(log2_ioctl(h, LOG2_IOC_FILE_KEY, "secret", 0), -1); // no stream yet
    ASSERT_EQ(open(path), 0);
    EXPECT_EQ(log2_ioctl(h, LOG2_IOC_FILE_KEY, "secret", 0), -1); // no cipher hook
    rec(LOG2_INFO, "clear text");
    EXPECT_NE(slurp(path).find("clear text"), std::string::npos);
}

// Files of a family named by a variable: directory beside the executable,
// pattern, and the clean-up that never removes the open file.
TEST_F(LogFile, FamilyAndCleanUp)
{
    char exe[4096];
    ASSERT_EQ(os_exe_get_dir(exe, sizeof(exe)), 0);
    std::string rel = "zk_logfam_" + std::to_string(getpid());
    std::string logdir = std::string(exe) + rel;
    extra_dir = logdir;
    ASSERT_EQ(log2_ioctl(h, LOG2_IOC_FILE_DIR, rel.c_str(), 0), 0);
    ASSERT_TRUE(exists(logdir));

    for (const char *n : {"zkue_9998.log", "zkue_9999.log", "zkue_.log", "other.log", "zkue_1.txt"})
        spit(logdir + "/" + n, "x\n");
    ASSERT_EQ(mkdir((logdir + "/zkue_1.log").c_str(), 0755), 0);
    setenv("pid", "10000", 1);
    ASSERT_EQ(open("zkue_${pid}.log"), 0);
    unsetenv("pid");
    EXPECT_EQ(log2_get_file_name(h), logdir + "/zkue_10000.log");

    // One, or none, deletes nothing.
    log2_ioctl(h, LOG2_IOC_FILE_MAX_COUNT, (const void *)(intptr_t)1, 0);
    log2_ioctl(h, LOG2_IOC_FILE_MAX_COUNT, (const void *)(intptr_t)0, 0);
    EXPECT_TRUE(exists(logdir + "/zkue_9998.log"));
    // By name the open file would sort first; it stays, with the newest
    // other one (numbers compare as numbers).
    log2_ioctl(h, LOG2_IOC_FILE_MAX_COUNT, (const void *)(intptr_t)2, 0);
    EXPECT_TRUE(exists(logdir + "/zkue_10000.log"));
    EXPECT_TRUE(exists(logdir + "/zkue_9999.log"));
    EXPECT_FALSE(exists(logdir + "/zkue_9998.log"));
    // Names outside the pattern "zkue_?*.log" and directories stay.
    for (const char *n : {"zkue_.log", "other.log", "zkue_1.txt", "zkue_1.log"})
        EXPECT_TRUE(exists(logdir + "/" + n)) << n;
    rec(LOG2_INFO, "still here");
    EXPECT_NE(slurp(logdir + "/zkue_10000.log").find("still here"), std::string::npos);
}

TEST_F(LogFile, CleanUpNeedsADirectory)
{
    log_file_ctx ctx;
    log_file_init(&ctx);
    std::string a = dir + "/app_1.log", b = dir + "/app_2.log";
    spit(a, "x\n");
    setenv("ZK_FAM", "2", 1);
    ASSERT_EQ(log_file_open(&ctx, (dir + "/app_${ZK_FAM}.log").c_str()), 0);
    unsetenv("ZK_FAM");
    EXPECT_STREQ(ctx.pattern, (dir + "/app_?*.log").c_str());
    EXPECT_EQ(log_file_set_max_num(&ctx, 2), 0);
    EXPECT_TRUE(exists(a));
    // With a directory the family of an absolute name is cleaned where it is.
    ASSERT_EQ(log_file_set_dir(&ctx, dir.c_str()), 0);
    spit(dir + "/app_0.log", "x\n");
    EXPECT_EQ(log_file_set_max_num(&ctx, 2), 0);
    EXPECT_TRUE(exists(a));
    EXPECT_TRUE(exists(b));
    EXPECT_FALSE(exists(dir + "/app_0.log"));
    log_file_exit(&ctx);
}

// The clean-up takes only names the configured name can make: an unset
// variable stays in the name as it is, and '?', '*' and '[' in a name are
// no wildcards.
TEST_F(LogFile, CleanUpTakesOnlyTheNamesFamily)
{
    log_file_ctx ctx;
    log_file_init(&ctx);
    ASSERT_EQ(log_file_set_dir(&ctx, dir.c_str()), 0);
    const char *files[] = {"zkue_a.txt", "zkue_b.log", "a1_1.log", "a[1]_1.log", "a[1]_2.log"};
    for (const char *n : files)
        spit(dir + "/" + n, "x\n");
    unsetenv("NAME.log");
    // "$NAME.log" names the variable "NAME.log", which has no value.
    ASSERT_EQ(log_file_open(&ctx, "zkue_$NAME.log"), 0);
    EXPECT_STREQ(ctx.path, (dir + "/zkue_${NAME.log}").c_str());
    EXPECT_EQ(log_file_set_max_num(&ctx, 2), 0);
    setenv("ZK_FAM", "3", 1);
    ASSERT_EQ(log_file_open(&ctx, "a[1]_${ZK_FAM}.log"), 0);
    unsetenv("ZK_FAM");
    EXPECT_EQ(log_file_set_max_num(&ctx, 2), 0);
    // Of the family "a[1]_*.log" the open file and the newest other stay.
    EXPECT_FALSE(exists(dir + "/a[1]_1.log"));
    for (const char *n : {"zkue_a.txt", "zkue_b.log", "zkue_${NAME.log}", "a1_1.log", "a[1]_2.log", "a[1]_3.log"})
        EXPECT_TRUE(exists(dir + "/" + n)) << n;
    log_file_exit(&ctx);
}

// Capture files: a ".pcap" name takes binary log records, not text lines.
// The file callback is the process's one: every handle's records reach it.

const unsigned char k_pcap_head[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0,    0,    1,    0,    0x93, 0, 0, 0};

// Record count of a little-endian capture file, -1 when its header or a
// record length is wrong.
int pcap_records(const std::string &text)
{
    if (text.size() < 24 || memcmp(text.data(), k_pcap_head, 24) != 0)
        return -1;
    size_t at = 24;
    int n = 0;
    while (at < text.size()) {
        if (text.size() - at < 16)
            return -1;
        uint32_t cap;
        memcpy(&cap, text.data() + at + 8, 4); // little-endian on the hosts that run the tests
        at += 16 + cap;
        n++;
    }
    return at == text.size() ? n : -1;
}

TEST_F(LogFile, CaptureFileTakesRecordsAndIsMadeAgain)
{
    std::string path = dir + "/x.pcap";
    ASSERT_EQ(open(path), 0);
    EXPECT_EQ(log2_get_file_name(h), path);
    EXPECT_EQ(log2_get_file_fd(h), -1); // no text stream
    std::string text = slurp(path);
    ASSERT_EQ(pcap_records(text), 0);
    for (int i = 0; i < 3; i++)
        rec(LOG2_INFO, "into the capture");
    text = slurp(path);
    EXPECT_EQ(pcap_records(text), 3);
    EXPECT_EQ(text.find("INFO "), std::string::npos); // no text line
    EXPECT_NE(text.find("into the capture"), std::string::npos);

    // Deleted: the next record makes it again, with a fresh header.
    ASSERT_EQ(unlink(path.c_str()), 0);
    rec(LOG2_INFO, "after the delete");
    text = slurp(path);
    EXPECT_EQ(pcap_records(text), 1);
    EXPECT_NE(text.find("after the delete"), std::string::npos);

    // Mode "a" appends to it without a second header.
    log2_conf_set_file_mode(h, "a");
    ASSERT_EQ(open(path), 0);
    rec(LOG2_INFO, "appended");
    EXPECT_EQ(pcap_records(slurp(path)), 2);
}

TEST_F(LogFile, CaptureCapKeepsWholeRecords)
{
    std::string path = dir + "/cap.pcap";
    ASSERT_EQ(open(path), 0);
    log2_ioctl(h, LOG2_IOC_FILE_MAX_SIZE, (const void *)(intptr_t)4096, 0);
    for (int i = 0; i < 100; i++) {
        rec(LOG2_INFO, ("record " + std::to_string(i)).c_str());
        std::string text = slurp(path);
        ASSERT_LT(text.size(), 4096u);
        ASSERT_GT(pcap_records(text), 0) << i;
    }
    EXPECT_NE(slurp(path).find("record 99"), std::string::npos);
}

// A write that fails on a full disk leaves no part of a record: the file
// stays sound while the disk is full and after it has room again.
TEST_F(LogFile, CaptureFileStaysSoundThroughAFullDisk)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system needs root";
    std::string mnt = dir + "/fs";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount("zk_tiny", mnt.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no tmpfs mount here: " << strerror(errno);
    struct unmount_at_end {
        std::string at;
        ~unmount_at_end() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{mnt};

    std::string path = mnt + "/x.pcap", fill = mnt + "/fill";
    ASSERT_EQ(open(path), 0);
    rec(LOG2_INFO, "first");
    int fd = ::open(fill.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::vector<char> block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
    // Records until the file stops growing: its pages are full.
    size_t last = 0;
    int same = 0;
    for (int i = 0; i < 3000 && same < 20; i++) {
        rec(LOG2_INFO, ("record " + std::to_string(i) + " " + std::string(300, 'y')).c_str());
        size_t n = slurp(path).size();
        same = n == last ? same + 1 : 0;
        last = n;
    }
    ASSERT_EQ(same, 20) << "the file system never filled up";
    int before = pcap_records(slurp(path));
    EXPECT_GT(before, 1);
    ASSERT_EQ(unlink(fill.c_str()), 0);
    for (int i = 0; i < 5; i++)
        rec(LOG2_INFO, "room again");
    std::string text = slurp(path);
    EXPECT_EQ(pcap_records(text), before + 5);
    EXPECT_NE(text.find("room again"), std::string::npos);
    ASSERT_EQ(open(dir + "/y.log"), 0); // the capture file closed before the unmount
}

TEST_F(LogFile, LeavingACaptureFileRemovesItsCallback)
{
    std::string pcap = dir + "/x.pcap", text = dir + "/y.log";
    ASSERT_EQ(open(pcap), 0);
    rec(LOG2_INFO, "one");
    size_t size = slurp(pcap).size();
    // The switch to a text file: records are lines there and the capture
    // file neither grows nor comes back once deleted.
    ASSERT_EQ(open(text), 0);
    rec(LOG2_INFO, "two");
    EXPECT_EQ(slurp(pcap).size(), size);
    ASSERT_EQ(unlink(pcap.c_str()), 0);
    rec(LOG2_INFO, "three");
    EXPECT_FALSE(exists(pcap));
    std::vector<std::string> lines = lines_of(slurp(text));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("three"), std::string::npos);

    // A handle closed while its capture file is open: the records of other
    // handles never reach its freed context.
    log2_t *h2 = log2_new();
    log2_ioctl(h2, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
    std::string other = dir + "/other.pcap";
    ASSERT_EQ(log2_open_file(h2, other.c_str()), 0);
    rec(LOG2_INFO, "seen by both");
    EXPECT_EQ(pcap_records(slurp(other)), 1);
    log2_exit(h2);
    rec(LOG2_INFO, "after the close");
    EXPECT_EQ(pcap_records(slurp(other)), 1);

    // A failed switch away from a capture file leaves nothing installed.
    ASSERT_EQ(open(pcap), 0);
    ASSERT_EQ(mkdir((dir + "/d.log").c_str(), 0755), 0);
    EXPECT_EQ(open(dir + "/d.log"), -1);
    size = slurp(pcap).size();
    rec(LOG2_INFO, "nowhere");
    EXPECT_EQ(slurp(pcap).size(), size);
}

} // namespace
