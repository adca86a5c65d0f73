// Every numbered path operation of a local mount, checked against the
// directory with coreutils, attr and python3.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>
#include <type_traits>

#include "capture.h"
#include "vfs_test_util.h"

using namespace vfs_test;

namespace {

// Seconds of the real-time clock as the file system reads it: time() reads a
// coarser clock that can still show the second before.
time_t realtime_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

class PathOps : public VfsFixture {
  protected:
    void SetUp() override
    {
        VfsFixture::SetUp();
        ASSERT_TRUE(mount());
    }
    // python3 prints expr, with the host path of p as `p`.
    std::string py(const std::string &expr, const std::string &p) const
    {
        return run("python3 -c " + q("import os, sys; p = sys.argv[1]; print(" + expr + ")") + " " + q(host(p)));
    }
};

} // namespace

TEST_F(PathOps, ReopenActivityAndOsType)
{
    uint32_t t = 9;
    EXPECT_EQ(vfs_get_os_type(mnt, &t), 0);
    EXPECT_EQ(t, 2u);
    // The local driver keeps neither: 0 from both wrappers. The heartbeat
    // asks these from its own thread, which leaves this thread's record of
    // its last failure as it was.
    EXPECT_EQ(vfs_access(mnt, "/missing", F_OK), -1);
    const int code = vfs_errcode(mnt);
    std::thread([&] {
        EXPECT_EQ(vfs_get_need_reopen(mnt), 0);
        uint32_t flag = 5;
        EXPECT_EQ(mnt->drv->ioctl(mnt->drv_mnt, VFS_IOC_NEED_REOPEN, &flag, 4), -1);
        EXPECT_EQ(flag, 0u);
        EXPECT_EQ(vfs_get_last_activity(mnt), 0);
    }).join();
    EXPECT_EQ(vfs_errcode(mnt), code);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
}

TEST_F(PathOps, StatvfsAndVolumeInfo)
{
    uint64_t f[11] = {};
    ASSERT_EQ(vfs_statvfs(mnt, "/", f), 0);
    // frsize, blocks and name length as coreutils reads them (free counts
    // move while other tests write).
    std::string want = run("stat -f -c '%S %b %l' " + q(root));
    EXPECT_EQ(std::to_string(f[1]) + " " + std::to_string(f[2]) + " " + std::to_string(f[10]), want);
    os_volume_info_t vi{};
    ASSERT_EQ(vfs_volume_info(mnt, "/", &vi), 0);
    EXPECT_EQ(vi.total_bytes, f[2] * f[1]);
    EXPECT_EQ(vfs_statvfs(mnt, "/missing/x", f), -1);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
}

TEST_F(PathOps, ProcessWideCwdAndUmask)
{
    char cwd[4096], was[4096];
    ASSERT_NE(getcwd(was, sizeof(was)), nullptr);
    ASSERT_EQ(vfs_getcwd(mnt, cwd, sizeof(cwd)), 0);
    EXPECT_STREQ(cwd, was);
    // chdir takes the path as given, not joined to the root.
    ASSERT_EQ(vfs_chdir(mnt, root.c_str()), 0);
    ASSERT_EQ(vfs_getcwd(mnt, cwd, sizeof(cwd)), 0);
    EXPECT_EQ(std::string(cwd), std::filesystem::canonical(root).string());
    ASSERT_EQ(chdir(was), 0);
    EXPECT_EQ(vfs_getcwd(mnt, cwd, 2), -1);

    uint32_t old = 0;
    ASSERT_EQ(vfs_umask(mnt, 027, &old), 0);
    uint32_t mid = 0;
    ASSERT_EQ(vfs_umask(mnt, old, &mid), 0);
    EXPECT_EQ(mid, 027u);
    EXPECT_EQ(vfs_umask(mnt, old, nullptr), 0);

    // Context directories: both take their texts unchanged.
    char ctx[4096] = "/";
    ASSERT_EQ(vfs_chdir_mt(mnt, ctx, sizeof(ctx), root.c_str()), 0);
    EXPECT_EQ(std::string(ctx).rfind(root, 0), 0u) << ctx;
    char out[4096];
    ASSERT_EQ(vfs_realpath_mt(mnt, "/a/b", "..", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/a/");
    ASSERT_EQ(vfs_realpath_mt(mnt, "/a", "c", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/a/c");
}

TEST_F(PathOps, CreateAccessAndMkdir)
{
    EXPECT_EQ(vfs_access(mnt, "/f", F_OK), -1);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
    ASSERT_EQ(vfs_create_file(mnt, "/f"), 0);
    EXPECT_EQ(stat_fmt("%F %s", "/f"), "regular empty file 0");
    spit(host("/f"), "keep");
    EXPECT_EQ(vfs_create_file(mnt, "/f"), 0); // an existing file is left alone
    EXPECT_EQ(slurp(host("/f")), "keep");
    EXPECT_EQ(vfs_access(mnt, "/f", R_OK | W_OK), 0);

    ASSERT_EQ(vfs_mkdir_default(mnt, "/d0"), 0);
    EXPECT_EQ(stat_fmt("%F", "/d0"), "directory");
    EXPECT_EQ(vfs_mkdir_default(mnt, "/d0"), 0);

    ASSERT_EQ(vfs_mkdir(mnt, "/d1", 0750), 0);
    EXPECT_EQ(stat_fmt("%F %a", "/d1"), "directory 750");
    // Any existing path is EEXIST, a directory too.
    for (const char *p : {"/d1", "/f"}) {
        EXPECT_EQ(vfs_mkdir(mnt, p, 0755), -1) << p;
        EXPECT_EQ(vfs_errno(mnt), EEXIST) << p;
    }
    EXPECT_EQ(vfs_mkdir(mnt, "/no/such/d", 0755), -1);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
}

TEST_F(PathOps, NodesFifosAndLinks)
{
    ASSERT_EQ(vfs_mknod(mnt, "/n", S_IFREG | 0640, 0), 0);
    EXPECT_EQ(stat_fmt("%F %a", "/n"), "regular empty file 640");
    ASSERT_EQ(vfs_mkfifo(mnt, "/p", 0600), 0);
    EXPECT_EQ(stat_fmt("%F %a", "/p"), "fifo 600");

    spit(host("/a"), "abc");
    ASSERT_EQ(vfs_link(mnt, "/a", "/b"), 0);
    EXPECT_EQ(stat_fmt("%h %i", "/b"), stat_fmt("%h %i", "/a"));
    EXPECT_EQ(stat_fmt("%h", "/a"), "2");
    EXPECT_EQ(vfs_link(mnt, "/a", "/b"), -1);
    EXPECT_EQ(vfs_errno(mnt), EEXIST);

    // symlink needs the mount directory first; the driver is not reached.
    fd_capture cap;
    EXPECT_EQ(vfs_symlink(mnt, "a", "/l"), -1);
    EXPECT_NE(cap.stop().find("error:mnt_dir not set"), std::string::npos);
    EXPECT_FALSE(exists(host("/l")));
    ASSERT_EQ(vfs_set_mnt_dir(mnt, "/mnt/x"), 0);
    ASSERT_EQ(vfs_symlink(mnt, "a", "/l"), 0); // the target text is kept as given
    EXPECT_EQ(run("readlink " + q(host("/l"))), "a");

    char buf[64];
    EXPECT_EQ(vfs_readlink(mnt, "/l", buf, sizeof(buf)), 1);
    EXPECT_STREQ(buf, "a");
    ASSERT_EQ(vfs_symlink(mnt, "a-long-target", "/l2"), 0);
    EXPECT_EQ(vfs_readlink(mnt, "/l2", buf, 5), 4); // cut to n - 1, terminated
    EXPECT_STREQ(buf, "a-lo");
    EXPECT_EQ(vfs_readlink(mnt, "/a", buf, sizeof(buf)), -1);
    EXPECT_EQ(vfs_errno(mnt), EINVAL);
}

TEST_F(PathOps, RemovingAndRenaming)
{
    std::filesystem::create_directories(host("/e"));
    std::filesystem::create_directories(host("/full/x"));
    spit(host("/f"), "1");
    ASSERT_EQ(vfs_rmdir(mnt, "/e"), 0);
    EXPECT_FALSE(exists(host("/e")));
    EXPECT_EQ(vfs_rmdir(mnt, "/full"), -1);
    EXPECT_EQ(vfs_errno(mnt), ENOTEMPTY);
    ASSERT_EQ(vfs_unlink(mnt, "/f"), 0);
    EXPECT_FALSE(exists(host("/f")));
    EXPECT_EQ(vfs_unlink(mnt, "/f"), -1);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);

    std::filesystem::create_directories(host("/e2"));
    spit(host("/g"), "1");
    ASSERT_EQ(vfs_rmdir2(mnt, "/e2", 1), 0);
    ASSERT_EQ(vfs_remove2(mnt, "/g", 1), 0);
    EXPECT_FALSE(exists(host("/e2")) || exists(host("/g")));

    spit(host("/a"), "A");
    spit(host("/b"), "B");
    // Without replace an existing name is refused and both files stay.
    EXPECT_EQ(vfs_rename(mnt, "/a", "/b", 0), -1);
    EXPECT_EQ(vfs_errno(mnt), EEXIST);
    EXPECT_EQ(slurp(host("/a")), "A");
    EXPECT_EQ(slurp(host("/b")), "B");
    ASSERT_EQ(vfs_rename(mnt, "/a", "/c", 0), 0);
    EXPECT_EQ(slurp(host("/c")), "A");
    ASSERT_EQ(vfs_rename(mnt, "/c", "/b", 1), 0);
    EXPECT_EQ(slurp(host("/b")), "A");
    EXPECT_FALSE(exists(host("/c")));
}

TEST_F(PathOps, StatAndLstatMatchPython)
{
    spit(host("/f"), std::string(1234, 'z'));
    ASSERT_EQ(symlink("f", host("/l").c_str()), 0);
    for (const char *p : {"/f", "/l"}) {
        for (int follow : {1, 0}) {
            os_file_stat_t st{};
            if (follow && std::string(p) == "/l") {
                // The driver follows no link: the follow form refuses one.
                EXPECT_EQ(vfs_stat(mnt, p, &st), -1);
                EXPECT_EQ(vfs_errno(mnt), ELOOP);
                continue;
            }
            ASSERT_EQ(follow ? vfs_stat(mnt, p, &st) : vfs_lstat(mnt, p, &st), 0);
            std::string fn = follow ? "os.stat" : "os.lstat";
            std::string ref = py("*(lambda s: (s.st_size, oct(s.st_mode), s.st_ino, s.st_nlink, "
                                 "s.st_mtime_ns // 10**9, s.st_mtime_ns % 10**9))(" +
                                     fn + "(p))",
                                 p);
            char got[256];
            snprintf(got, sizeof(got), "%llu 0o%o %llu %llu %llu %llu", (unsigned long long)st.size, st.mode,
                     (unsigned long long)st.ino, (unsigned long long)st.nlink, (unsigned long long)st.mtime,
                     (unsigned long long)st.mtime_ns);
            EXPECT_EQ(got, ref) << p << " follow=" << follow;
        }
    }
    uint32_t type = 0;
    ASSERT_EQ(vfs_get_file_type(mnt, "/f", &type), 0);
    EXPECT_EQ(type & OS_FTYPE_MASK, (uint32_t)OS_FTYPE_FILE);
    ASSERT_EQ(vfs_get_file_type(mnt, "/", &type), 0);
    EXPECT_EQ(type & OS_FTYPE_MASK, (uint32_t)OS_FTYPE_DIR);
    EXPECT_EQ(vfs_get_file_type(mnt, "/missing", &type), -1);
}

TEST_F(PathOps, AttributesTruncateModesOwners)
{
    spit(host("/f"), std::string(100, 'x'));
    EXPECT_EQ(vfs_set_attrib(mnt, "/f", 0x20), 0); // nothing to do locally
    ASSERT_EQ(vfs_truncate(mnt, "/f", 10), 0);
    EXPECT_EQ(stat_fmt("%s", "/f"), "10");
    ASSERT_EQ(vfs_truncate(mnt, "/f", 1 << 20), 0);
    EXPECT_EQ(stat_fmt("%s", "/f"), "1048576");

    ASSERT_EQ(vfs_chmod(mnt, "/f", 0604), 0);
    EXPECT_EQ(stat_fmt("%a", "/f"), "604");
    ASSERT_EQ(vfs_lchmod(mnt, "/f", 0640), 0);
    EXPECT_EQ(stat_fmt("%a", "/f"), "640");

    ASSERT_EQ(symlink("f", host("/l").c_str()), 0);
    uint32_t uid = getuid() == 0 ? 65534 : getuid();
    uint32_t gid = getuid() == 0 ? 65534 : getgid();
    ASSERT_EQ(vfs_lchown(mnt, "/l", uid, gid), 0); // the link itself
    EXPECT_EQ(run("stat -c '%u %g' " + q(host("/l"))), std::to_string(uid) + " " + std::to_string(gid));
    if (getuid() == 0) {
        EXPECT_EQ(stat_fmt("%u", "/f"), "0");
    }
    // Never through the link: the follow forms refuse a final link.
    EXPECT_EQ(vfs_chown(mnt, "/l", 0, 0), -1);
    EXPECT_EQ(vfs_errno(mnt), ELOOP);
    EXPECT_EQ(vfs_chmod(mnt, "/l", 0777), -1);
    EXPECT_EQ(vfs_errno(mnt), ELOOP);
    EXPECT_EQ(stat_fmt("%a", "/f"), "640");
    ASSERT_EQ(vfs_chown(mnt, "/f", uid, gid), 0);
    EXPECT_EQ(stat_fmt("%u %g", "/f"), std::to_string(uid) + " " + std::to_string(gid));
}

// One times record everywhere: the platform's, with 64-bit seconds and
// 32-bit nanoseconds, in the handle slot and in the path-code record alike.
static_assert(sizeof(os_time_pair_t::sec) == 8 && sizeof(os_time_pair_t::nsec) == 4);
static_assert(std::is_same_v<decltype(vfs_drv::futime), int (*)(void *, const os_file_times_t *)>);
static_assert(std::is_same_v<decltype(vfs_ioc_times_t::times), os_file_times_t *>);

TEST_F(PathOps, SettingTimes)
{
    spit(host("/f"), "x");
    os_file_times_t t{};
    t.atime = {1000000000, 5};
    t.mtime = {1100000000, 7};
    t.ctime = {1200000000, 0};
    ASSERT_EQ(vfs_utime(mnt, "/f", &t), 0);
    EXPECT_EQ(stat_fmt("%X %Y", "/f"), "1000000000 1100000000");
    EXPECT_EQ(py("os.stat(p).st_mtime_ns % 10**9", "/f"), "7");

    // Seconds 0 keep that time: only the access time changes here, and the
    // caller's record is completed in place.
    os_file_times_t only_a{};
    only_a.atime = {1300000000, 0};
    ASSERT_EQ(vfs_utimens(mnt, "/f", &only_a), 0);
    EXPECT_EQ(stat_fmt("%X %Y", "/f"), "1300000000 1100000000");
    EXPECT_EQ(only_a.mtime.sec, 1100000000);
    EXPECT_EQ(only_a.mtime.nsec, 7u);

    // NULL: all now.
    time_t before = time(nullptr);
    ASSERT_EQ(vfs_utimens(mnt, "/f", nullptr), 0);
    time_t after = realtime_s();
    for (const char *fmt : {"%X", "%Y"}) {
        long long v = std::stoll(stat_fmt(fmt, "/f"));
        EXPECT_GE(v, (long long)before) << fmt;
        EXPECT_LE(v, (long long)after) << fmt;
    }

    // The kernel's markers: "now" moves that time to the clock (its seconds
    // are 0), "omit" keeps it whatever the seconds say. The driver gets the
    // completed record.
    struct row {
        os_time_pair_t a, m;
        bool a_now, m_now; // else the time stays as it was
    } rows[] = {
        {{0, (uint32_t)UTIME_NOW}, {0, (uint32_t)UTIME_NOW}, true, true},
        {{0, (uint32_t)UTIME_OMIT}, {0, (uint32_t)UTIME_NOW}, false, true},
        {{0, (uint32_t)UTIME_NOW}, {5, (uint32_t)UTIME_OMIT}, true, false},
        {{7, (uint32_t)UTIME_OMIT}, {9, (uint32_t)UTIME_OMIT}, false, false},
    };
    for (int by_handle = 0; by_handle < 2; by_handle++) {
        for (const row &r : rows) {
            os_file_times_t old{};
            old.atime = {1000000000, 11};
            old.mtime = {1100000000, 22};
            ASSERT_EQ(vfs_utime(mnt, "/f", &old), 0);
            os_file_times_t t{};
            t.atime = r.a;
            t.mtime = r.m;
            time_t t0 = time(nullptr);
            if (by_handle) {
                vfs_handle *h = vfs_open2(mnt, "/f", PL_O_RDWR, 0);
                ASSERT_TRUE(h);
                EXPECT_EQ(vfs_futime(h, &t), 0);
                EXPECT_EQ(vfs_close(h), 0);
            } else {
                ASSERT_EQ(vfs_utimens(mnt, "/f", &t), 0);
            }
            time_t t1 = realtime_s();
            long long at = std::stoll(stat_fmt("%X", "/f")), mt = std::stoll(stat_fmt("%Y", "/f"));
            std::string what = std::to_string(by_handle) + " " + std::to_string(&r - rows);
            if (r.a_now) {
                EXPECT_GE(at, (long long)t0) << what;
                EXPECT_LE(at, (long long)t1) << what;
            } else {
                EXPECT_EQ(at, 1000000000) << what;
                EXPECT_EQ(py("os.stat(p).st_atime_ns % 10**9", "/f"), "11") << what;
            }
            if (r.m_now) {
                EXPECT_GE(mt, (long long)t0) << what;
                EXPECT_LE(mt, (long long)t1) << what;
            } else {
                EXPECT_EQ(mt, 1100000000) << what;
                EXPECT_EQ(py("os.stat(p).st_mtime_ns % 10**9", "/f"), "22") << what;
            }
            // Completed in place: no marker is left for the driver.
            for (const os_time_pair_t &p : {t.atime, t.mtime, t.ctime}) {
                EXPECT_LT(p.nsec, 1000000000u) << what;
                EXPECT_NE(p.sec, 0) << what;
            }
        }
    }

    // utimens changes the link, not its target; a dangling link works too.
    ASSERT_EQ(symlink("nowhere", host("/dl").c_str()), 0);
    os_file_times_t lm{};
    lm.mtime = {1400000000, 0};
    ASSERT_EQ(vfs_utimens(mnt, "/dl", &lm), 0);
    EXPECT_EQ(stat_fmt("%Y", "/dl"), "1400000000");
    EXPECT_EQ(vfs_utime(mnt, "/dl", &lm), -1); // follows: no target
}

TEST_F(PathOps, EntryOfAHostPath)
{
    spit(host("/f"), "12");
    os_dir_entry_t e{};
    // The path is taken as given (a host path), not joined to the root.
    ASSERT_EQ(vfs_get_entry(mnt, host("/f").c_str(), 1, &e), 0);
    EXPECT_STREQ(e.name, "f");
    EXPECT_EQ(e.st.size, 2u);
}

TEST_F(PathOps, ExtendedAttributes)
{
    spit(host("/f"), "x");
    ASSERT_EQ(vfs_setxattr(mnt, "/f", "user.k", "hello", 5, 0), 0);
    EXPECT_EQ(run("getfattr --only-values -n user.k " + q(host("/f"))), "hello");
    EXPECT_EQ(vfs_getxattr(mnt, "/f", "user.k", nullptr, 0), 5); // size query
    char v[16] = {};
    EXPECT_EQ(vfs_getxattr(mnt, "/f", "user.k", v, sizeof(v)), 5);
    EXPECT_EQ(std::string(v, 5), "hello");
    // Create-only on an existing name.
    EXPECT_EQ(vfs_setxattr(mnt, "/f", "user.k", "x", 1, 1), -1);
    EXPECT_EQ(vfs_errno(mnt), EEXIST);
    EXPECT_EQ(vfs_getxattr(mnt, "/f", "user.none", v, sizeof(v)), -1);
    EXPECT_EQ(vfs_errno(mnt), ENODATA);

    ASSERT_EQ(sh("setfattr -n user.b -v 12 " + q(host("/f"))), 0);
    char list[256];
    int64_t n = vfs_listxattr(mnt, "/f", list, sizeof(list));
    ASSERT_GT(n, 0);
    std::set<std::string> names;
    for (int64_t i = 0; i < n; i += (int64_t)strlen(list + i) + 1)
        names.insert(list + i);
    EXPECT_EQ(names, (std::set<std::string>{"user.k", "user.b"}));
    EXPECT_EQ(vfs_listxattr(mnt, "/f", list, 3), -1);
    EXPECT_EQ(vfs_errno(mnt), ERANGE);

    ASSERT_EQ(vfs_removexattr(mnt, "/f", "user.k"), 0);
    EXPECT_NE(sh("getfattr -n user.k " + q(host("/f")) + " >/dev/null 2>&1"), 0);

    // The link itself, never its target.
    ASSERT_EQ(symlink("f", host("/l").c_str()), 0);
    EXPECT_EQ(vfs_getxattr(mnt, "/l", "user.b", v, sizeof(v)), -1);
}

TEST_F(PathOps, DirectoryEmptiness)
{
    std::filesystem::create_directories(host("/e"));
    std::filesystem::create_directories(host("/n/x"));
    spit(host("/f"), "");
    EXPECT_EQ(vfs_dir_is_empty(mnt, "/e"), 1);
    EXPECT_EQ(vfs_dir_is_empty(mnt, "/n"), 0);
    EXPECT_EQ(vfs_dir_is_empty(mnt, "/f"), -1);
    EXPECT_EQ(vfs_dir_is_empty(mnt, "/missing"), -1);
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr); // all it opened is closed
}

TEST_F(PathOps, UnknownCodesAndMissingArguments)
{
    int64_t x = 0;
    EXPECT_EQ(mnt->drv->ioctl(mnt->drv_mnt, VFS_IOC_LAST_ACTIVITY + 20, &x, 8), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_INVALID_PARAMETER);
    EXPECT_EQ(vfs_stat(mnt, nullptr, nullptr), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_INVALID_PARAMETER);
    EXPECT_EQ(vfs_rename(mnt, "/a", nullptr, 1), -1);
    // A path too long for the join: ENAMETOOLONG, nothing touched.
    std::string longp = "/" + std::string(5000, 'a');
    EXPECT_EQ(vfs_mkdir(mnt, longp.c_str(), 0755), -1);
    EXPECT_EQ(vfs_errno(mnt), ENAMETOOLONG);
}

// Every name is used byte for byte beneath the root: no backslash becomes a
// separator, no "file:" prefix is cut, no parent is made, "." and ".." are
// refused, and no link in the source is followed on the way.
TEST_F(PathOps, NamesStayBytesBeneathTheRoot)
{
    const std::string outside = base + "/outside";
    spit(outside, "keep");
    for (const char *n : {"/..\\..\\outside", "/a\\b", "/file:", "/file:\\\\?\\x", "/?", "/%2e%2e"}) {
        vfs_handle *h = vfs_open2(mnt, n, PL_O_WRONLY | PL_O_CREAT | PL_O_TRUNC, 0644);
        ASSERT_TRUE(h) << n << ": " << vfs_errstr(mnt);
        EXPECT_EQ(vfs_write(h, "x", 1, 0), 1);
        EXPECT_EQ(vfs_close(h), 0);
        EXPECT_EQ(slurp(host(n)), "x") << n;
    }
    EXPECT_EQ(slurp(outside), "keep");
    for (const char *n : {"/../outside", "/./x", "/d/.."}) {
        EXPECT_EQ(vfs_open2(mnt, n, PL_O_RDONLY, 0), nullptr) << n;
        EXPECT_EQ(vfs_errno(mnt), EINVAL) << n;
    }
    // No parents made on the way, whatever the open form.
    EXPECT_EQ(vfs_open(mnt, "/no/such/f", OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
    EXPECT_EQ(vfs_wopen(mnt, "/no/such/f", OS_WACCESS_WRITE, 0, nullptr, OS_DISP_CREATE_ALWAYS, 0, nullptr), nullptr);
    EXPECT_EQ(vfs_create_file(mnt, "/no/such/f"), -1);
    EXPECT_FALSE(exists(host("/no")));
    // A link to the outside, anywhere on the way or at the end.
    ASSERT_EQ(symlink(base.c_str(), host("/up").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), host("/out").c_str()), 0);
    EXPECT_EQ(vfs_open2(mnt, "/up/outside", PL_O_RDWR, 0), nullptr);
    EXPECT_EQ(vfs_errno(mnt), ELOOP);
    EXPECT_EQ(vfs_open2(mnt, "/out", PL_O_WRONLY | PL_O_TRUNC, 0), nullptr);
    EXPECT_EQ(vfs_truncate(mnt, "/out", 0), -1);
    EXPECT_EQ(vfs_unlink(mnt, "/up/outside"), -1);
    EXPECT_EQ(vfs_opendir(mnt, "/up"), nullptr);
    EXPECT_EQ(slurp(outside), "keep");
    // Removed on close beneath the root too, never through a link.
    vfs_handle *h = vfs_open2(mnt, "/tmpf", PL_O_WRONLY | PL_O_CREAT, 0600);
    ASSERT_TRUE(h);
    ASSERT_EQ(vfs_set_delete_on_close(h, 1), 0);
    ASSERT_EQ(vfs_close(h), 0);
    EXPECT_FALSE(exists(host("/tmpf")));
}

// A handle opened for appending writes where the caller says (the kernel
// gives each request its offset), and at the end only at the current
// position; its writes land at once.
TEST_F(PathOps, AppendHandlesTakeTheOffsetGiven)
{
    spit(host("/a"), "0123456789");
    vfs_handle *h = vfs_open2(mnt, "/a", PL_O_WRONLY | PL_O_APPEND, 0);
    ASSERT_TRUE(h);
    EXPECT_EQ(vfs_write(h, "AB", 2, 4), 2);
    EXPECT_EQ(slurp(host("/a")), "0123AB6789"); // landed already
    EXPECT_EQ(vfs_stream_write(h, "Z", 1), 1);
    EXPECT_EQ(slurp(host("/a")), "0123AB6789Z");
    EXPECT_EQ(h->wcache, nullptr);
    EXPECT_EQ(vfs_close(h), 0);
}
