// The simple file log: appending, time prefix, size cap, and writes while
// the file cannot be opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "libpal/basic/pl_base.h"
#include "liblog/log2_out.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Flog : public ::testing::Test {
protected:
    void SetUp() override
    {
        pl_init();
        char t[] = "/tmp/zk_flog_XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        dir = t;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string dir;
};

TEST_F(Flog, AppendsWithAndWithoutTime)
{
    std::string path = dir + "/f.log";
    {
        std::ofstream f(path);
        f << "old\n";
    }
    flog_opt_t opt = {0, FLOG_F_TIME};
    flog_t *f = flog_open(path.c_str(), &opt);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flog_printf(f, "n=%d\n", 5), 0);
    EXPECT_EQ(flog_close(f), 0);
    opt.flags = 0;
    f = flog_open(path.c_str(), &opt);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flog_write(f, "raw\n", 4), 0);
    EXPECT_EQ(flog_close(f), 0);
    std::string text = slurp(path);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(old\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d n=5\nraw\n)"))) << text;
    EXPECT_EQ(flog_close(nullptr), -1);
    EXPECT_EQ(flog_write(nullptr, "x", 1), -1);
    f = flog_open((dir + "/no").c_str(), nullptr); // no options: no cap, no time
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flog_close(f), 0);
}

TEST_F(Flog, CapKeepsTheNewestHalfAfterALineEnd)
{
    std::string path = dir + "/cap.log";
    flog_opt_t opt = {100, 0};
    flog_t *f = flog_open(path.c_str(), &opt);
    ASSERT_NE(f, nullptr);
    size_t before = 0;
    int trims = 0;
    for (int i = 0; i < 60; i++) {
        ASSERT_EQ(flog_printf(f, "line %d\n", i), 0);
        std::string text = slurp(path);
        ASSERT_LT(text.size(), 100u);
        if (text.size() < before) {
            trims++;
            EXPECT_LE(text.size(), 50u);
            EXPECT_EQ(text.rfind("line ", 0), 0u) << text;
            EXPECT_EQ(text.back(), '\n');
        }
        before = text.size();
    }
    EXPECT_GE(trims, 3);
    flog_close(f);
}

TEST_F(Flog, CapsOfTwoGigabytesAndMoreAreNoCap)
{
    struct {
        uint32_t cap;
        bool trimmed;
    } rows[] = {{2048, true}, {0x7fffffffu, false}, {0x80000000u, false}, {0xffffffffu, false}};
    for (const auto &r : rows) {
        std::string path = dir + "/c" + std::to_string(r.cap) + ".log";
        flog_opt_t opt = {r.cap, 0};
        flog_t *f = flog_open(path.c_str(), &opt);
        ASSERT_NE(f, nullptr);
        std::string line(99, 'x');
        line += '\n';
        for (int i = 0; i < 30; i++)
            ASSERT_EQ(flog_write(f, line.data(), line.size()), 0) << r.cap;
        flog_close(f);
        EXPECT_EQ(slurp(path).size() < 3000u, r.trimmed) << r.cap;
    }
}

TEST_F(Flog, WritesFailUntilTheFileCanBeOpenedAgain)
{
    // The log's name is a link: first to a device that refuses every write,
    // then to a place that cannot be opened, then to a plain file.
    std::string path = dir + "/link.log", real = dir + "/real.log";
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    flog_opt_t opt = {0, 0};
    flog_t *f = flog_open(path.c_str(), &opt);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(flog_write(f, "a\n", 2), -1); // written, reopened, written again: both fail

    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink((dir + "/missing/x.log").c_str(), path.c_str()), 0);
    EXPECT_EQ(flog_write(f, "b\n", 2), -1); // the reopen after the error fails: no stream
    EXPECT_EQ(flog_write(f, "c\n", 2), -1); // still none

    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
    EXPECT_EQ(flog_write(f, "d\n", 2), 0);
    EXPECT_EQ(slurp(real), "d\n");
    flog_close(f);

    EXPECT_EQ(flog_open((dir + "/missing/y.log").c_str(), &opt), nullptr);
}

} // namespace
