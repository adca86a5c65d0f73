// Path calls, stat records and directory handles, checked against python3's
// os.stat/os.lstat and coreutils.
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
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "libpal/basic/pl_verr.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/os/posix/os_xattr.h"
#include "test_util.h"

namespace {

using zk_test::run;

class FsTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zk_fs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string p(const std::string &name) const { return dir + "/" + name; }
    void write(const std::string &name, const std::string &data) const
    {
        std::ofstream(p(name), std::ios::binary) << data;
    }
    std::string dir;
};

// python3 prints the fields of os.stat (follow 1) or os.lstat (follow 0) in
// the order of os_file_stat_t.
std::vector<unsigned long long> py_stat(const std::string &path, bool follow)
{
    std::string cmd = "python3 -c \"import os,sys; s=os." + std::string(follow ? "stat" : "lstat") +
                      "(sys.argv[1]); print(s.st_mode, s.st_uid, s.st_gid, s.st_size, s.st_atime_ns//10**9, "
                      "s.st_atime_ns%10**9, s.st_mtime_ns//10**9, s.st_mtime_ns%10**9, s.st_ctime_ns//10**9, "
                      "s.st_ctime_ns%10**9, s.st_nlink, s.st_dev, s.st_rdev, s.st_ino, s.st_blksize, s.st_blocks)\" '" +
                      path + "'";
    std::istringstream in(run(cmd));
    std::vector<unsigned long long> v;
    unsigned long long x;
    while (in >> x)
        v.push_back(x);
    return v;
}

std::vector<unsigned long long> rec_fields(const os_file_stat_t &r)
{
    return {r.mode, r.uid, r.gid, r.size, r.atime, r.atime_ns, r.mtime, r.mtime_ns, r.ctime, r.ctime_ns,
            r.nlink, r.dev, r.rdev, r.ino, r.blksize, r.blocks};
}

} // namespace

TEST_F(FsTest, StatRecordsMatchPython)
{
    write("f", std::string(5000, 'x'));
    ASSERT_EQ(symlink("f", p("l").c_str()), 0);
    ASSERT_EQ(mkdir(p("d").c_str(), 0750), 0);
    struct Case {
        std::string path;
        bool follow;
        uint32_t type;
    } cases[] = {
        {p("f"), true, OS_FTYPE_FILE},
        {p("l"), true, OS_FTYPE_FILE},
        {p("l"), false, OS_FTYPE_FILE | OS_FTYPE_LINK},
        {p("d"), true, OS_FTYPE_DIR},
        {"/dev/null", true, OS_FTYPE_FILE}, // rdev is set
    };
    for (const Case &c : cases) {
        os_file_stat_t rec;
        ASSERT_EQ(c.follow ? os_stat(c.path.c_str(), &rec) : os_lstat(c.path.c_str(), &rec), 0) << c.path;
        EXPECT_EQ(rec.type, c.type) << c.path;
        EXPECT_EQ(rec_fields(rec), py_stat(c.path, c.follow)) << c.path << " follow=" << c.follow;
    }
    os_file_stat_t rec;
    errno = 0;
    EXPECT_EQ(os_stat(p("missing").c_str(), &rec), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FsTest, StatToPosix)
{
    os_file_stat_t rec{};
    struct stat st;
    rec.type = 0x801;
    rec.mode = 0;
    os_stat_2_posix(&rec, &st);
    EXPECT_EQ(st.st_mode, 040775u);
    rec.type = 0x802;
    os_stat_2_posix(&rec, &st);
    EXPECT_EQ(st.st_mode, 0100775u);
    // Without the made-up-mode bit everything round-trips.
    write("f", "abc");
    ASSERT_EQ(os_lstat(p("f").c_str(), &rec), 0);
    os_stat_2_posix(&rec, &st);
    struct stat real;
    ASSERT_EQ(lstat(p("f").c_str(), &real), 0);
    EXPECT_EQ(st.st_mode, real.st_mode);
    EXPECT_EQ(st.st_ino, real.st_ino);
    EXPECT_EQ(st.st_size, real.st_size);
    EXPECT_EQ(st.st_mtim.tv_nsec, real.st_mtim.tv_nsec);

    os_statfs_t fs{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    struct statvfs sv;
    os_statfs_2_posix(&fs, &sv);
    EXPECT_EQ(sv.f_bsize, 1u);
    EXPECT_EQ(sv.f_bavail, 5u);
    EXPECT_EQ(sv.f_fsid, 9u);
    EXPECT_EQ(sv.f_namemax, 11u);
}

TEST_F(FsTest, RenameWithoutReplaceKeepsBoth)
{
    write("a", "A");
    ASSERT_EQ(mkdir(p("d").c_str(), 0755), 0);
    write("b", "B");
    // Onto an existing directory and onto an existing file.
    for (const char *target : {"d", "b"}) {
        errno = 0;
        EXPECT_EQ(os_rename(p("a").c_str(), p(target).c_str(), 0), -1) << target;
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(access(p("a").c_str(), F_OK), 0);
    }
    EXPECT_EQ(run("cat " + p("b")), "B");
    EXPECT_EQ(os_rename(p("a").c_str(), p("c").c_str(), 0), 0);
    EXPECT_EQ(run("cat " + p("c")), "A");
    EXPECT_EQ(os_rename(p("c").c_str(), p("b").c_str(), 1), 0);
    EXPECT_EQ(run("cat " + p("b")), "A");
    EXPECT_EQ(os_rename_replace(p("b").c_str(), p("e").c_str()), 0);
    EXPECT_EQ(os_is_file(p("e").c_str()), 1);
}

TEST_F(FsTest, MkdirAndMkdirs)
{
    write("f", "x");
    errno = 0;
    EXPECT_EQ(os_mkdir(p("f").c_str(), 0755), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(os_mkdir(dir.c_str(), 0755), 0); // exists as a directory
    EXPECT_EQ(os_mkdir_default(p("n").c_str()), 0);
    EXPECT_EQ(run("stat -c %a " + p("n")), "755\n");

    // Three levels with a trailing separator, backslashes separating too.
    std::string win = dir + "\\a\\b\\c\\";
    EXPECT_EQ(os_mkdirs(win.c_str()), 0);
    EXPECT_EQ(os_is_dir(p("a/b/c").c_str()), 1);
    EXPECT_EQ(os_mkdirs(p("x/y/z").c_str()), 0);
    EXPECT_EQ(os_is_dir(p("x/y/z").c_str()), 1);
    EXPECT_EQ(os_mkdirs(p("f/sub").c_str()), -1); // a file in the way

    EXPECT_EQ(os_mkdirs_parent(p("q/r/file").c_str()), 0);
    EXPECT_EQ(os_is_dir(p("q/r").c_str()), 1);
    EXPECT_EQ(access(p("q/r/file").c_str(), F_OK), -1);
    EXPECT_EQ(os_mkdirs_parent("noseparator"), -1);

    EXPECT_EQ(os_is_dir(p("q").c_str()), 1);
    EXPECT_EQ(os_is_file(p("q").c_str()), 0);
    EXPECT_EQ(os_is_file(p("f").c_str()), 1);
    EXPECT_EQ(os_is_dir(p("f").c_str()), 0);
    EXPECT_EQ(os_is_dir(p("none").c_str()), -1);
    EXPECT_EQ(os_is_file(p("none").c_str()), -1);
}

TEST_F(FsTest, ReadlinkBounds)
{
    ASSERT_EQ(symlink("0123456789", p("l").c_str()), 0);
    char buf[64];
    EXPECT_EQ(os_readlink(p("l").c_str(), buf, sizeof(buf)), 10);
    EXPECT_STREQ(buf, "0123456789");
    // A buffer as long as the text: cut one byte short and terminated; the
    // guard byte after the buffer is never touched.
    char small[11];
    memset(small, 'Q', sizeof(small));
    EXPECT_EQ(os_readlink(p("l").c_str(), small, 10), 9);
    EXPECT_STREQ(small, "012345678");
    EXPECT_EQ(small[10], 'Q');
    EXPECT_EQ(os_readlink(p("l").c_str(), small, 1), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(os_readlink(p("l").c_str(), small, 0), -1);
    EXPECT_EQ(os_readlink(p("none").c_str(), buf, sizeof(buf)), -1);

    // Full target: relative joined to the link's directory, absolute as is.
    ASSERT_EQ(symlink("sub/t", p("rel").c_str()), 0);
    ASSERT_EQ(symlink("/etc/hostname", p("abs").c_str()), 0);
    char full[4096];
    EXPECT_EQ(os_readlink_full(p("rel").c_str(), full, sizeof(full)), 0);
    EXPECT_EQ(std::string(full), p("sub/t"));
    EXPECT_EQ(os_readlink_full(p("abs").c_str(), full, sizeof(full)), 0);
    EXPECT_STREQ(full, "/etc/hostname");
    EXPECT_EQ(os_readlink_or_self(p("rel").c_str(), full, sizeof(full)), 0);
    EXPECT_EQ(std::string(full), p("sub/t"));
    EXPECT_EQ(os_readlink_or_self(dir.c_str(), full, sizeof(full)), 0);
    EXPECT_EQ(std::string(full), dir);

    char real[4096];
    EXPECT_STREQ(os_realpath(p("none/x").c_str(), real), "");
    EXPECT_EQ(std::string(os_realpath(p("abs").c_str(), real)) + "\n", run("realpath " + p("abs")));
}

TEST_F(FsTest, PathWrappers)
{
    write("f", "hello world");
    EXPECT_EQ(os_truncate(p("f").c_str(), 5), 0);
    EXPECT_EQ(run("cat " + p("f")), "hello");
    EXPECT_EQ(os_chmod(p("f").c_str(), 0600), 0);
    EXPECT_EQ(run("stat -c %a " + p("f")), "600\n");
    EXPECT_EQ(os_mkfifo(p("fifo").c_str(), 0644), 0);
    EXPECT_EQ(run("stat -c %F " + p("fifo")), "fifo\n");
    EXPECT_EQ(os_link(p("f").c_str(), p("hard").c_str()), 0);
    EXPECT_EQ(os_is_same_file(p("f").c_str(), p("hard").c_str()), 1);
    EXPECT_EQ(os_is_same_file(p("f").c_str(), p("fifo").c_str()), 0);
    EXPECT_EQ(os_is_same_file(p("f").c_str(), p("none").c_str()), 0);
    EXPECT_EQ(os_symlink("f", p("sym").c_str()), 0);
    EXPECT_EQ(os_lchown(p("sym").c_str(), 1, 2), 0);
    EXPECT_EQ(run("stat -c '%u %g' " + p("sym")), "1 2\n");
    EXPECT_EQ(os_chown(p("sym").c_str(), 3, 4), 0);
    EXPECT_EQ(run("stat -c '%u %g' " + p("f")), "3 4\n");

    os_file_times_t t{};
    t.atime = {1000000000, 123456789};
    t.mtime = {1100000000, 5};
    EXPECT_EQ(os_lutimes(p("sym").c_str(), &t), 0);
    EXPECT_EQ(run("stat -c '%X %Y %y' " + p("sym")).substr(0, 21), "1000000000 1100000000");
    EXPECT_EQ(os_utimes(p("sym").c_str(), &t), 0);
    EXPECT_EQ(run("python3 -c \"import os; s=os.stat('" + p("f") + "'); print(s.st_atime_ns, s.st_mtime_ns)\""),
              "1000000000123456789 1100000000000000005\n");

    uint32_t old = os_umask(077);
    EXPECT_EQ(os_umask(old), 077u);

    EXPECT_EQ(os_unlink(p("hard").c_str()), 0);
    EXPECT_EQ(os_remove(p("fifo").c_str()), 0);
    ASSERT_EQ(mkdir(p("d").c_str(), 0755), 0);
    EXPECT_EQ(os_remove(p("d").c_str()), 0); // an empty directory
    ASSERT_EQ(mkdir(p("d").c_str(), 0755), 0);
    EXPECT_EQ(os_rmdir_ex(p("d").c_str(), 0), 0);
    EXPECT_EQ(os_rmdir(p("d").c_str()), -1);
    EXPECT_EQ(os_path_nop(p("d").c_str(), nullptr), 0);
}

TEST_F(FsTest, ReadDirEntries)
{
    write("plain", "abc");
    // A file with a hole: size 1 MiB, no blocks.
    ASSERT_EQ(system(("truncate -s 1M " + p("sparse")).c_str()), 0);
    ASSERT_EQ(run("stat -c '%s %b' " + p("sparse")), "1048576 0\n");
    ASSERT_EQ(mkdir(p("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("sub", p("ldir").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", p("dangling").c_str()), 0);

    os_dir_t *d = os_opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> names;
    errno = 5;
    while (os_dir_entry_t *e = os_readdir(d)) {
        names.insert(e->name);
        std::string n = e->name;
        if (n == "plain") {
            EXPECT_EQ(e->st.type, OS_FTYPE_FILE);
            EXPECT_EQ(e->st.size, 3u);
            EXPECT_EQ(e->link[0], 0);
        } else if (n == "sparse") {
            EXPECT_EQ(e->st.type, OS_FTYPE_FILE | OS_FTYPE_SPARSE);
        } else if (n == "sub") {
            EXPECT_EQ(e->st.type, OS_FTYPE_DIR);
        } else if (n == "ldir") {
            EXPECT_EQ(e->st.type, OS_FTYPE_DIR | OS_FTYPE_LINK);
            EXPECT_STREQ(e->link, "sub");
            EXPECT_TRUE(S_ISLNK(e->st.mode));
        } else if (n == "dangling") {
            EXPECT_EQ(e->st.type, OS_FTYPE_FILE | OS_FTYPE_LINK);
            EXPECT_STREQ(e->link, "nowhere");
        }
    }
    EXPECT_EQ(errno, 0); // the end, not an error
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "plain", "sparse", "sub", "ldir", "dangling"}));
    os_closedir(d);

    // The link-target form, a pattern, and the attribute listing.
    ASSERT_EQ(lsetxattr(p("plain").c_str(), "user.k", "vv", 2, 0), 0);
    d = os_opendir_imp(dir.c_str(), "pl*|ld?r", OS_DIR_LINK_TARGET | OS_DIR_XATTR);
    ASSERT_NE(d, nullptr);
    names.clear();
    while (os_dir_entry_t *e = os_readdir(d)) {
        names.insert(e->name);
        if (std::string(e->name) == "ldir") {
            EXPECT_EQ(std::string(e->link), p("sub"));
        }
        if (std::string(e->name) == "plain") {
            EXPECT_STREQ(e->xattr, "user.k\tX\t2\n");
        }
    }
    EXPECT_EQ(names, (std::set<std::string>{"plain", "ldir"}));
    os_closedir(d);

    EXPECT_EQ(os_opendir(p("none").c_str()), nullptr);
    EXPECT_EQ(os_opendir(p("plain").c_str()), nullptr);
}

TEST_F(FsTest, OpendirFollowsLinkToDirectory)
{
    ASSERT_EQ(mkdir(p("target").c_str(), 0755), 0);
    write("target/inside", "1");
    ASSERT_EQ(symlink(p("target").c_str(), p("link").c_str()), 0);
    os_dir_t *d = os_opendir(p("link").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(d->path), p("target"));
    bool seen = false;
    while (os_dir_entry_t *e = os_readdir(d))
        seen |= std::string(e->name) == "inside";
    EXPECT_TRUE(seen);
    os_closedir(d);
}

TEST(FsMount, MountPointEntryMarked)
{
    // /dev/shm and /dev/pts are mounts of their own below /dev.
    std::string mounts = run("findmnt -rn -o TARGET");
    bool have_shm = mounts.find("/dev/shm\n") != std::string::npos;
    if (!have_shm)
        GTEST_SKIP() << "no mount below /dev";
    os_dir_t *d = os_opendir("/dev");
    ASSERT_NE(d, nullptr);
    bool found = false;
    while (os_dir_entry_t *e = os_readdir(d)) {
        if (std::string(e->name) == "shm") {
            found = true;
            EXPECT_EQ(e->st.type, OS_FTYPE_DIR | OS_FTYPE_LINK);
            EXPECT_STREQ(e->link, ".");
        }
        if (std::string(e->name) == "null") {
            EXPECT_EQ(e->st.type & OS_FTYPE_LINK, 0u);
        }
    }
    EXPECT_TRUE(found);
    os_closedir(d);
}

TEST_F(FsTest, TellAndSeekDir)
{
    for (int i = 0; i < 5; i++)
        write("f" + std::to_string(i), "x");
    os_dir_t *d = os_opendir2(dir.c_str(), "f*");
    ASSERT_NE(d, nullptr);
    std::vector<std::string> order;
    std::vector<int64_t> pos;
    while (os_dir_entry_t *e = os_readdir(d)) {
        order.push_back(e->name);
        pos.push_back(os_telldir(d));
    }
    ASSERT_EQ(order.size(), 5u);
    int64_t end = os_telldir(d);
    EXPECT_EQ(end, 7); // raw entries: ".", ".." and the five files

    // Back to 0 re-opens the stream: the first entry comes again.
    EXPECT_EQ(os_seekdir(d, 0, 0), 0);
    EXPECT_EQ(os_telldir(d), 0);
    os_dir_entry_t *e = os_readdir(d);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(order[0], e->name);
    // Forward to the position after the third match.
    EXPECT_EQ(os_seekdir(d, pos[2], 0), 0);
    e = os_readdir(d);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(order[3], e->name);
    // Back to just after the second one.
    EXPECT_EQ(os_seekdir(d, pos[1], 0), 0);
    e = os_readdir(d);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(order[2], e->name);
    // Past the end stops at the end.
    EXPECT_EQ(os_seekdir(d, 1000, 0), 0);
    EXPECT_EQ(os_readdir(d), nullptr);
    os_closedir(d);
}

TEST_F(FsTest, FileGetEntry)
{
    write("f", "12345");
    ASSERT_EQ(symlink("f", p("l").c_str()), 0);
    os_dir_entry_t ent;
    EXPECT_EQ(os_file_get_entry((p("f") + "/").c_str(), 0, &ent), 0); // one trailing separator dropped
    EXPECT_STREQ(ent.name, "f");
    EXPECT_EQ(os_file_get_entry(p("f").c_str(), 0, &ent), 0);
    EXPECT_STREQ(ent.name, "f");
    EXPECT_EQ(ent.st.size, 5u);
    EXPECT_EQ(os_file_get_entry(p("l").c_str(), OS_DIR_LINK_RAW, &ent), 0);
    EXPECT_STREQ(ent.name, "l");
    EXPECT_EQ(ent.st.type, OS_FTYPE_FILE | OS_FTYPE_LINK);
    EXPECT_STREQ(ent.link, "f");
    EXPECT_EQ(os_file_get_entry(p("l").c_str(), OS_DIR_LINK_TARGET, &ent), 0);
    EXPECT_EQ(std::string(ent.link), p("f"));
    EXPECT_EQ(os_file_get_entry((dir + "/").c_str(), 0, &ent), 0);
    EXPECT_EQ(ent.st.type, OS_FTYPE_DIR);
    EXPECT_EQ(std::string(ent.name), dir.substr(dir.rfind('/') + 1));
    EXPECT_EQ(os_file_get_entry(p("none").c_str(), 0, &ent), -1);
}

TEST_F(FsTest, KeepLastN)
{
    for (int i = 1; i <= 5; i++)
        write("log" + std::to_string(i), "x");
    write("other", "x");
    EXPECT_EQ(os_dir_keep_last_n(dir.c_str(), "log*", 2), 0);
    // coreutils: ls | sort | head -n -2 names the removed ones.
    EXPECT_EQ(run("cd " + dir + " && ls | sort"), "log4\nlog5\nother\n");
    EXPECT_EQ(os_dir_keep_last_n(p("none").c_str(), "*", 1), -1);
}

TEST_F(FsTest, ZzPathLists)
{
    write("f", "x");
    ASSERT_EQ(lsetxattr(p("f").c_str(), "user.a", "1", 1, 0), 0);
    auto zz = [](std::initializer_list<std::string> parts) {
        std::string s;
        for (const std::string &x : parts)
            s += x + '\0';
        s += '\0';
        return s;
    };
    std::string x = zz({p("f"), "X", "user.a"});
    EXPECT_EQ(os_remove_zz(x.c_str()), 0);
    EXPECT_EQ(run("python3 -c \"import os; print(os.listxattr('" + p("f") + "'))\""), "[]\n");

    std::string s = zz({p("f"), "S", "n"});
    errno = 0;
    EXPECT_EQ(os_remove_zz(s.c_str()), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_NOT_SUPPORTED));
    std::string empty(2, '\0');
    errno = 0;
    EXPECT_EQ(os_remove_zz(empty.c_str()), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_INVALID_PARAMETER));
    EXPECT_EQ(os_remove_zz_nonempty(empty.c_str()), -1);

    os_file_desc_t desc{};
    desc.type = OS_FTYPE_FILE;
    desc.mode = 0640;
    desc.uid = 7;
    desc.gid = 8;
    desc.atime = 1000000000;
    desc.mtime = 1200000000;
    std::string xa = zz({p("f"), "X", "user.new"});
    EXPECT_EQ(os_create_zz(xa.c_str(), &desc), 0);
    EXPECT_EQ(run("python3 -c \"import os; print(os.getxattr('" + p("f") + "', 'user.new'))\""), "b''\n");
    std::string one = zz({p("made/deep")});
    EXPECT_EQ(os_create_zz(one.c_str(), &desc), 0);
    EXPECT_EQ(run("stat -c '%a %u %g %X %Y' " + p("made/deep")), "640 7 8 1000000000 1200000000\n");
    desc.type = OS_FTYPE_DIR;
    desc.mode = 0711;
    one = zz({p("newdir/a/b")});
    EXPECT_EQ(os_create_zz(one.c_str(), &desc), 0);
    EXPECT_EQ(run("stat -c '%F %a' " + p("newdir/a/b")), "directory 711\n");
    errno = 0;
    EXPECT_EQ(os_create_zz(s.c_str(), &desc), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_NOT_SUPPORTED));
    std::string two = zz({p("f"), "Q"});
    EXPECT_EQ(os_create_zz(two.c_str(), &desc), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_INVALID_PARAMETER));

    std::string plain = zz({p("made/deep")});
    EXPECT_EQ(os_remove_zz_ex(plain.c_str(), 0), 0);
    EXPECT_EQ(access(p("made/deep").c_str(), F_OK), -1);
    EXPECT_EQ(os_remove_zz_ex(p("f").c_str(), 1), 0);
    EXPECT_EQ(access(p("f").c_str(), F_OK), -1);
}

TEST_F(FsTest, CreateLinkAndJunction)
{
    write("lnk", "old content");
    os_file_desc_t desc{};
    desc.link = "target";
    desc.type = OS_FTYPE_FILE | OS_FTYPE_LINK;
    // What stood at the path is replaced by a link holding the text.
    EXPECT_EQ(os_create_file_or_dir(p("lnk").c_str(), &desc), 0);
    EXPECT_EQ(run("readlink " + p("lnk")), "target\n");
    desc.type |= OS_FTYPE_JUNCTION;
    errno = 0;
    EXPECT_EQ(os_create_file_or_dir(p("j").c_str(), &desc), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_NOT_SUPPORTED));
}
