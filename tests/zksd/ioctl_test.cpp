// zksd text ioctl channels against the project's test server: the exact
// text of every operation, answers and their bounds, local codes.
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "libpal/vfile/os_file2.h"
#include "zksd/zksd_test_util.h"

using namespace zksd_test;

TEST(ZksdIoctl, EveryTextIsExact)
{
    server s;
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    cli_file_ctx *f = zksd_cli_open(c.c, "/f", 4 | 8);
    ASSERT_NE(f, nullptr);
    cli_dir_ctx *d = zksd_cli_opendir(c.c, "/");
    ASSERT_NE(d, nullptr);
    char fdhex[32];
    snprintf(fdhex, sizeof fdhex, "%lx", (unsigned long)f->fd);
    const zksd_file_times_t t{1, 2, 3, 4, 5, 6};
    char buf[256];
    struct row {
        int cmd, code;
        std::string text;
        std::function<void()> call;
        bool on_file; // travels with the handle's descriptor
    } rows[] = {
        {ZKSD_CMD_IOCTL, ZKSD_IOC_GETCWD, "/cwd", [&] { zksd_cli_getcwd_send(c.c, "/cwd"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_CHDIR, "/d", [&] { zksd_cli_chdir(c.c, "/d"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_CREATE_FILE, "/n1", [&] { zksd_cli_create_file(c.c, "/n1"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_CREATE_DIR, "/n2", [&] { zksd_cli_create_dir(c.c, "/n2"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_RMDIR, "/n2", [&] { zksd_cli_rmdir(c.c, "/n2"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_UNLINK, "/n1", [&] { zksd_cli_unlink(c.c, "/n1"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_RENAME, "/a\t/b\t1", [&] { zksd_cli_rename(c.c, "/a", "/b", 1); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_SET_ATTRIB, "/f\t32", [&] { zksd_cli_set_attrib(c.c, "/f", 32); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_ACCESS, "/f\t4", [&] { zksd_cli_access(c.c, "/f", 4); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_MKDIR, "/d\t493", [&] { zksd_cli_mkdir(c.c, "/d", 493); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_MKNOD, "/n\t420\t5", [&] { zksd_cli_mknod(c.c, "/n", 420, 5); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_MKFIFO, "/p\t420", [&] { zksd_cli_mkfifo(c.c, "/p", 420); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_LINK, "b\ta", [&] { zksd_cli_link(c.c, "a", "b"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_SYMLINK, "l\tt", [&] { zksd_cli_symlink(c.c, "t", "l"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_CHMOD, "/f\t420", [&] { zksd_cli_chmod(c.c, "/f", 420); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_LCHMOD, "/f\t384", [&] { zksd_cli_lchmod(c.c, "/f", 384); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_CHOWN, "/f\t1\t2", [&] { zksd_cli_chown(c.c, "/f", 1, 2); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_LCHOWN, "/f\t3\t4", [&] { zksd_cli_lchown(c.c, "/f", 3, 4); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_UTIME, "/f\t1\t3\t5\t2\t4\t6", [&] { zksd_cli_utime(c.c, "/f", &t); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_UTIMENS, "/f\t1\t3\t5\t2\t4\t6", [&] { zksd_cli_utimens(c.c, "/f", &t); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_TRUNCATE, "/f\t10", [&] { zksd_cli_truncate(c.c, "/f", 10); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_RMDIR2, "/x\t1", [&] { zksd_cli_rmdir2(c.c, "/x", 1); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_REMOVE2, "/x\t0", [&] { zksd_cli_remove2(c.c, "/x", 0); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_PATH_OP, "/q", [&] { zksd_cli_path_op(c.c, "/q"); }, false},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_FD_READ_TIMEOUT, "500", [&] { zksd_cli_set_fd_read_timeout(f, 500); }, true},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_FRENAME, "g\t1", [&] { zksd_cli_frename(f, "g", 1); }, true},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_FCHMOD, "420", [&] { zksd_cli_fchmod(f, 420); }, true},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_FCHOWN, "1\t2", [&] { zksd_cli_fchown(f, 1, 2); }, true},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_DELETE_ON_CLOSE, "0", [&] { zksd_cli_set_delete_on_close(f, 0); }, true},
        {ZKSD_CMD_IOCTL, ZKSD_IOC_FD_WRITE_TIMEOUT, "600", [&] { zksd_cli_set_fd_write_timeout(f, 600); }, true},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_STATVFS, "/", [&] { uint64_t v[11]; zksd_cli_statvfs(c.c, "/", v); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_READLINK, "/l", [&] { zksd_cli_readlink(c.c, "/l", buf, sizeof buf); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_LISTXATTR, "/f", [&] { zksd_cli_listxattr(c.c, "/f", buf, sizeof buf); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_GETXATTR, "/f\tuser.x", [&] { zksd_cli_getxattr(c.c, "/f", "user.x", buf, sizeof buf); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_REMOVEXATTR, "/f\tuser.x", [&] { zksd_cli_removexattr(c.c, "/f", "user.x"); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_CHDIR_MT, "/\tsub", [&] { char cwd[64] = "/"; zksd_cli_chdir_mt(c.c, cwd, sizeof cwd, "sub"); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_REALPATH_MT, "/\tsub", [&] { zksd_cli_realpath_mt(c.c, "/", "sub", buf, sizeof buf); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_UMASK, "12", [&] { unsigned o; zksd_cli_umask(c.c, 022, &o); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_SEEKDIR, "0", [&] { zksd_cli_seekdir(d, 0); }, false},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_HASH_INIT, std::string(fdhex) + "\t1\t2\t3\tx", [&] { zksd_cli_hash_init(f, 1, 2, 3, "x"); }, true},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_BCOUNT_INIT, std::string(fdhex) + "\t-1\t2\t3\ty", [&] { zksd_cli_bcount_init(f, -1, 2, 3, "y"); }, true},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_PWRITEX, "7\t9", [&] { zksd_cli_pwritex(f, 0, 9, 7); }, true},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_FD_OP, std::string(fdhex) + "\t1\t2", [&] { zksd_cli_fd_op(f, 1, 2); }, true},
        {ZKSD_CMD_IOCTL2, ZKSD_IOCTL2_VSS_MOUNT, "C:\\", [&] { char o[ZKSD_ANSWER_SIZE]; zksd_cli_vss_mount(c.c, "C:\\", o); }, false},
    };
    for (auto &r : rows) {
        size_t n0 = s.size();
        r.call();
        auto v = s.requests();
        ASSERT_EQ(v.size(), n0 + 1) << r.code;
        EXPECT_EQ(v.back().cmd, r.cmd) << r.code;
        EXPECT_EQ(v.back().code, r.code);
        EXPECT_EQ(v.back().text, r.text) << r.code;
        const int64_t fd = r.code == ZKSD_IOCTL2_SEEKDIR ? d->fd : r.on_file ? f->fd : 0;
        EXPECT_EQ(json_int(v.back().line, "fd"), fd) << r.code;
    }
}

TEST(ZksdIoctl, AnswersAndLocalRules)
{
    server s;
    ASSERT_EQ(symlink("abcdefgh", s.path("l").c_str()), 0);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    char buf[64];
    EXPECT_EQ(zksd_cli_readlink(c.c, "/l", buf, sizeof buf), 8);
    EXPECT_STREQ(buf, "abcdefgh");
    // Cut to the capacity, the NUL kept inside the buffer.
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(zksd_cli_readlink(c.c, "/l", buf, 4), 3);
    EXPECT_STREQ(buf, "abc");
    int kept = -1;
    char raw[5];
    EXPECT_EQ(zksd_cli_ioctl2(c.c, ZKSD_IOCTL2_READLINK, "/l", -1, raw, 5, &kept), 0);
    EXPECT_EQ(kept, 5);
    EXPECT_EQ(std::string(raw, 5), "abcde");
    uint64_t vfs[11];
    EXPECT_EQ(zksd_cli_statvfs(c.c, "/", vfs), 0);
    EXPECT_GT(vfs[2], 0u);
    unsigned old = 0;
    EXPECT_EQ(zksd_cli_umask(c.c, 077, &old), 0);
    EXPECT_EQ(zksd_cli_umask(c.c, 022, &old), 0);
    EXPECT_EQ(old, 077u);
    char cwd[8] = "/";
    ASSERT_EQ(mkdir(s.path("sub").c_str(), 0755), 0);
    EXPECT_EQ(zksd_cli_chdir_mt(c.c, cwd, sizeof cwd, "sub"), 0);
    EXPECT_STREQ(cwd, "/sub");
    char tiny[4] = "/";
    EXPECT_EQ(zksd_cli_chdir_mt(c.c, tiny, sizeof tiny, "sub"), -1); // does not fit
    EXPECT_STREQ(tiny, "/");

    size_t n0 = s.size();
    // A TAB or line end in a name is refused before sending.
    EXPECT_EQ(zksd_cli_rename(c.c, "/a\tb", "/c", 0), -1);
    EXPECT_EQ(c.err.code, -2);
    EXPECT_EQ(zksd_cli_unlink(c.c, "/a\nb"), -1);
    EXPECT_EQ(zksd_cli_getxattr(c.c, "/f", "x\ty", buf, sizeof buf), -1);
    // Settings cannot be enciphered without a key login.
    EXPECT_EQ(zksd_cli_set_settings(c.c, "user=admin\npasswd=secret\n"), -1);
    EXPECT_EQ(c.err.code, -2);
    // The error class of the last server error is local; the record stays.
    os_file_stat_t st{};
    EXPECT_EQ(zksd_cli_stat(c.c, "/missing", &st), -1);
    n0 = s.size();
    uint64_t cls = 9;
    EXPECT_EQ(zksd_cli_ioctl(c.c, ZKSD_IOC_ERROR_CLASS, &cls, 8), 0);
    EXPECT_EQ(cls, (uint64_t)os_file_error_class(2, -102));
    EXPECT_EQ(c.err.code, -102);
    EXPECT_EQ(s.size(), n0);
}

TEST(ZksdIoctl, SettingsWithKeyLogin)
{
    server s({"--login", "key"});
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    char text[ZKSD_ANSWER_SIZE];
    ASSERT_EQ(zksd_cli_get_settings(c.c, text, sizeof text), 0) << c.err.msg;
    EXPECT_NE(std::string(text).find("user=u"), std::string::npos);
    EXPECT_EQ(zksd_cli_allow_set_readonly(c.c), 1);
    // The server deciphers user and password with the login key: they become
    // its account.
    EXPECT_EQ(zksd_cli_set_settings(c.c, "user=admin\npasswd=secret\n"), 0) << c.err.msg;
    EXPECT_EQ(s.last().code, 11);
    client fresh(s.url("", "admin:secret"));
    EXPECT_NE(fresh.c, nullptr) << fresh.err.msg;
    client stale(s.url());
    EXPECT_EQ(stale.c, nullptr);
    std::string big(9000, 'x');
    size_t n0 = s.size();
    EXPECT_EQ(zksd_cli_set_settings(c.c, ("a=" + big).c_str()), -1);
    EXPECT_EQ(s.size(), n0);
}
