// Extended attributes (against python3 os.getxattr/os.listxattr) and the
// whole-file operations (against coreutils).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/os_volume.h"
#include "libpal/os/posix/os_fs_file3.h"
#include "libpal/os/posix/os_xattr.h"
#include "test_util.h"

namespace {

using zk_test::run;

class XattrTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zk_xa_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string p(const std::string &name) const { return dir + "/" + name; }
    void write(const std::string &name, const std::string &data) const
    {
        std::ofstream(p(name), std::ios::binary) << data;
    }
    std::string py(const std::string &expr) const
    {
        return run("python3 -c \"import os; print(" + expr + ")\"");
    }
    std::string dir;
};

} // namespace

TEST(XattrFlags, Conversions)
{
    for (int f : {0, 1, 2}) {
        EXPECT_EQ(pl_setxattr_flag_2_os(f), f);
        EXPECT_EQ(os_setxattr_flag_2_pl(f), f);
    }
    EXPECT_EQ(XATTR_CREATE, PL_XATTR_CREATE);
    EXPECT_EQ(XATTR_REPLACE, PL_XATTR_REPLACE);
    fd_capture cap;
    EXPECT_EQ(pl_setxattr_flag_2_os(3), 0);
    EXPECT_EQ(os_setxattr_flag_2_pl(7), 0);
    std::string out = cap.stop();
    EXPECT_NE(out.find("flag=3 error: unspport"), std::string::npos);
    EXPECT_NE(out.find("flag=7 error: unspport"), std::string::npos);
}

TEST_F(XattrTest, CallsMatchPython)
{
    write("f", "x");
    std::string f = p("f");
    EXPECT_EQ(os_lsetxattr(f.c_str(), "user.a", "abc", 3, PL_XATTR_SET_ANY), 0);
    EXPECT_EQ(py("os.getxattr('" + f + "', 'user.a')"), "b'abc'\n");
    errno = 0;
    EXPECT_EQ(os_lsetxattr(f.c_str(), "user.a", "z", 1, PL_XATTR_CREATE), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(os_lsetxattr(f.c_str(), "user.b", "z", 1, PL_XATTR_REPLACE), -1);
    EXPECT_EQ(errno, ENODATA);
    EXPECT_EQ(os_lsetxattr(f.c_str(), "user.b", "", 0, PL_XATTR_CREATE), 0);

    EXPECT_EQ(os_lgetxattr(f.c_str(), "user.a", nullptr, 0), 3);
    char buf[8] = {0};
    EXPECT_EQ(os_lgetxattr(f.c_str(), "user.a", buf, sizeof(buf)), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(os_lgetxattr(f.c_str(), "user.a", buf, 2), -1);
    EXPECT_EQ(errno, ERANGE);

    char names[64];
    ssize_t n = os_llistxattr(f.c_str(), names, sizeof(names));
    EXPECT_EQ(os_llistxattr(f.c_str(), nullptr, 0), n);
    std::string listed(names, (size_t)n);
    EXPECT_EQ(py("sorted(os.listxattr('" + f + "'))"), "['user.a', 'user.b']\n");
    EXPECT_EQ(listed.size(), strlen("user.a") + strlen("user.b") + 2);

    // The listing: host order, one line each, an empty value has size 0.
    std::string order = py("'|'.join(os.listxattr('" + f + "'))");
    char *info = os_get_file_xattr_info(f.c_str());
    ASSERT_NE(info, nullptr);
    std::string expect = order == "user.a|user.b\n" ? "user.a\tX\t3\nuser.b\tX\t0\n" : "user.b\tX\t0\nuser.a\tX\t3\n";
    EXPECT_EQ(std::string(info), expect);
    os_free(info);

    // Values printed through the link-following read.
    fd_capture cap(1);
    EXPECT_EQ(os_llistxattr2(f.c_str()), 0);
    std::string out = cap.stop();
    EXPECT_NE(out.find("user.a: abc"), std::string::npos);
    EXPECT_NE(out.find("user.b: "), std::string::npos);

    EXPECT_EQ(os_lremovexattr(f.c_str(), "user.a"), 0);
    EXPECT_EQ(py("os.listxattr('" + f + "')"), "['user.b']\n");
    EXPECT_EQ(os_lremovexattr(f.c_str(), "user.a"), -1);
    EXPECT_EQ(errno, ENODATA);
    EXPECT_EQ(os_lremovexattr(f.c_str(), "user.b"), 0);
    EXPECT_EQ(os_get_file_xattr_info(f.c_str()), nullptr); // no attributes
    EXPECT_EQ(os_get_file_xattr_info(p("none").c_str()), nullptr);
    EXPECT_EQ(os_llistxattr2(p("none").c_str()), -1);
}

TEST_F(XattrTest, LinkItselfNeverTarget)
{
    write("t", "x");
    ASSERT_EQ(symlink("t", p("l").c_str()), 0);
    ASSERT_EQ(setxattr(p("t").c_str(), "user.t", "T", 1, 0), 0);
    // The link has no attributes of its own (user.* on links is refused).
    EXPECT_EQ(os_lgetxattr(p("l").c_str(), "user.t", nullptr, 0), -1);
    EXPECT_EQ(os_get_file_xattr_info(p("l").c_str()), nullptr);
    EXPECT_EQ(os_lsetxattr(p("l").c_str(), "user.x", "1", 1, 0), -1);
    EXPECT_EQ(py("os.listxattr('" + p("t") + "')"), "['user.t']\n");
}

TEST_F(XattrTest, LoadAndCat)
{
    write("empty", "");
    size_t n = 99;
    char *b = os_file_load(p("empty").c_str(), &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(n, 0u);
    os_free(b);
    b = os_file_read_all(p("empty").c_str(), &n, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(b[0], 0);
    os_free(b);
    b = os_file_load_text(p("empty").c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "");
    os_free(b);

    std::string data;
    for (int i = 0; i < 10000; i++)
        data += (char)(i * 7);
    write("bin", data);
    b = os_file_load(p("bin").c_str(), &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(b, n), data);
    os_free(b);
    EXPECT_EQ(os_file_load(p("none").c_str(), &n), nullptr);
    EXPECT_EQ(os_file_load(dir.c_str(), &n), nullptr); // a read error is no file

    // Exactly 4096 bytes: a second, empty chunk is read.
    write("page", std::string(4096, 'a'));
    char *c = os_cat(p("page").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::string(c), std::string(4096, 'a'));
    os_free(c);
    write("nul", std::string("ab\0cd", 5));
    c = os_cat(p("nul").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "ab");
    os_free(c);
    EXPECT_EQ(os_cat(p("none").c_str()), nullptr);
}

TEST_F(XattrTest, SaveCopyTouch)
{
    EXPECT_EQ(os_file_save_text(p("a/b/t.txt").c_str(), "text\n"), 0);
    EXPECT_EQ(run("cat " + p("a/b/t.txt")), "text\n");
    EXPECT_EQ(os_file_save_text(p("e.txt").c_str(), ""), -1); // empty: -1, file made
    EXPECT_EQ(run("stat -c %s " + p("e.txt")), "0\n");
    EXPECT_EQ(os_file_save(p("bin").c_str(), "a\0b", 3), 0);
    EXPECT_EQ(run("stat -c %s " + p("bin")), "3\n");

    // Into a directory (made when missing) under the source's name.
    std::string big(100000, 'q');
    big[500] = 0;
    write("src.dat", big);
    EXPECT_EQ(os_file_copy(p("src.dat").c_str(), (p("out") + "/").c_str()), 0);
    EXPECT_EQ(run("cmp " + p("src.dat") + " " + p("out/src.dat") + " && echo same"), "same\n");
    EXPECT_EQ(os_file_copy(p("src.dat").c_str(), p("copy2").c_str()), 0);
    EXPECT_EQ(run("cmp " + p("src.dat") + " " + p("copy2") + " && echo same"), "same\n");
    EXPECT_EQ(os_file_copy(p("none").c_str(), p("copy3").c_str()), -1);
    // A source that cannot be read (a directory) is an error, not an empty
    // copy reported as success.
    EXPECT_EQ(os_file_copy(dir.c_str(), p("copy4").c_str()), -1);

    errno = 0;
    EXPECT_EQ(os_file_touch(dir.c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(os_file_touch(p("bin").c_str()), 0);
    EXPECT_EQ(run("stat -c %s " + p("bin")), "3\n");
    EXPECT_EQ(os_file_touch(p("n/e/w").c_str()), 0);
    EXPECT_EQ(run("stat -c '%s %a' " + p("n/e/w")), "0 644\n");

    ASSERT_EQ(system(("touch -d @1000000000 " + p("bin")).c_str()), 0);
    time_t before = time(nullptr);
    EXPECT_EQ(os_file_touch_times(p("bin").c_str()), 0);
    long long mt = std::stoll(run("stat -c %Y " + p("bin")));
    EXPECT_GE(mt, (long long)before);
    EXPECT_EQ(os_file_touch_times(p("none").c_str()), -1);

    ASSERT_EQ(mkdir(p("rm").c_str(), 0755), 0);
    EXPECT_EQ(os_remove_any(p("rm").c_str()), 0);
    EXPECT_EQ(os_remove_any(p("bin").c_str()), 0);
    EXPECT_EQ(os_remove_any(p("none").c_str()), -1);
}

TEST_F(XattrTest, SpaceChecks)
{
    write("s", "12345");
    EXPECT_EQ(os_file_save_space_check(p("s").c_str(), 1 << 20), 0);
    // The size is given back; the content stays.
    EXPECT_EQ(run("stat -c %s " + p("s")), "5\n");
    EXPECT_EQ(run("cat " + p("s")), "12345");
    EXPECT_EQ(os_file_save_space_check(p("new").c_str(), 100), 0);
    EXPECT_EQ(run("stat -c %s " + p("new")), "0\n");
    // More than the volume has free: the reservation fails.
    os_volume_info_t vi;
    ASSERT_EQ(os_get_volume_info(dir.c_str(), &vi), 0);
    EXPECT_EQ(os_file_save_space_check(p("s").c_str(), vi.avail_bytes * 4 + (1ull << 40)), -1);
    EXPECT_EQ(run("stat -c %s " + p("s")), "5\n");
    EXPECT_EQ(os_file_save_space_check(p("nodir/x").c_str(), 1), -1);

    char msg[4096] = "";
    EXPECT_EQ(os_disk_space_check((dir + "/file").c_str(), 1024, msg), 0);
    uint64_t need = vi.free_bytes * 2 + (1ull << 40);
    EXPECT_EQ(os_disk_space_check((dir + "/file").c_str(), need, msg), 1);
    std::string m = msg;
    EXPECT_EQ(m.find(dir + "/ free=["), 0u) << m;
    EXPECT_NE(m.find("]  need=["), std::string::npos) << m;
    EXPECT_EQ(m.substr(m.size() - strlen("] not enough space")), "] not enough space") << m;
}

TEST_F(XattrTest, ByteOrderMark)
{
    FILE *fp = fopen(p("bom").c_str(), "w+");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(os_fwrite_bom(fp), 1);
    fputs("[s]", fp);
    rewind(fp);
    os_fskip_bom(fp);
    char buf[8] = {0};
    ASSERT_NE(fgets(buf, sizeof(buf), fp), nullptr);
    EXPECT_STREQ(buf, "[s]");
    fclose(fp);
    EXPECT_EQ(run("od -An -tx1 -N3 " + p("bom")), " ef bb bf\n");

    write("plain", "[p]");
    fp = fopen(p("plain").c_str(), "r");
    ASSERT_NE(fp, nullptr);
    os_fskip_bom(fp);
    ASSERT_NE(fgets(buf, sizeof(buf), fp), nullptr);
    EXPECT_STREQ(buf, "[p]");
    fclose(fp);
}
