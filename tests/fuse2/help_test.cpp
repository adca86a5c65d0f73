// FUSE set-up: option settling, /proc/filesystems answers, module loader and
// device node, and real kernel mounts of a tiny file system served by
// try_fuse_mount in a forked child. Every mount is taken down again, also
// when a check fails.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "capture.h"
#include "libfuse2/src/help.h"
#include "libpal/basic/pl_base.h"
#include "test_util.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &text)
{
    std::ofstream f(path);
    f << text;
}

using zk_test::fuse_usable;

// A temporary directory removed (after a lazy unmount of anything left on
// its entries) at the end of the test.
struct tmp_dir {
    std::string path;
    tmp_dir()
    {
        char name[] = "/tmp/zk_fuse2_XXXXXX";
        path = mkdtemp(name);
    }
    ~tmp_dir() { std::system(("umount -l " + path + "/* 2>/dev/null; rm -rf " + path).c_str()); }
    std::string sub(const std::string &n) const { return path + "/" + n; }
};

// ---- the tiny file system: "/" and "/hello" -------------------------------------

const char k_hello[] = "hello world\n";

int t_getattr(const char *path, struct stat *st)
{
    memset(st, 0, sizeof(*st));
    if (!strcmp(path, "/")) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        st->st_ino = 1;
        return 0;
    }
    if (!strcmp(path, "/hello")) {
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        st->st_size = sizeof(k_hello) - 1;
        st->st_ino = 2;
        return 0;
    }
    return -ENOENT;
}

int t_readdir(const char *, void *buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info *)
{
    filler(buf, ".", nullptr, 0);
    filler(buf, "..", nullptr, 0);
    filler(buf, "hello", nullptr, 0);
    return 0;
}

int t_open(const char *path, struct fuse_file_info *) { return strcmp(path, "/hello") ? -ENOENT : 0; }

int t_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *)
{
    size_t len = sizeof(k_hello) - 1;
    if ((size_t)off >= len)
        return 0;
    size_t n = std::min(size, len - (size_t)off);
    memcpy(buf, k_hello + off, n);
    return (int)n;
}

struct fuse_operations tiny_ops()
{
    struct fuse_operations ops;
    memset(&ops, 0, sizeof(ops));
    ops.getattr = t_getattr;
    ops.readdir = t_readdir;
    ops.open = t_open;
    ops.read = t_read;
    return ops;
}

// ---- a mount served by a forked child ---------------------------------------------

int s_ready_fd = -1;
int s_fail_ready;

void child_mounted(void *) { (void)!write(s_ready_fd, "m", 1); }
int child_ready(void *)
{
    (void)!write(s_ready_fd, "r", 1);
    return s_fail_ready ? -1 : 0;
}

struct served_mount {
    std::string dir;
    pid_t pid = -1;
    std::string marks; // 'm' mounted, 'r' ready, as the child reported them

    // Starts the child and waits (at most 10 s) until it is about to serve,
    // or has given up.
    served_mount(const std::string &d, const std::string &options, bool fail_ready = false) : dir(d)
    {
        mkdir(dir.c_str(), 0755);
        int p[2];
        if (pipe(p) != 0)
            return;
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            close(p[0]);
            s_ready_fd = p[1];
            s_fail_ready = fail_ready;
            // As the program has it: SIGPIPE ignored for its sockets, which
            // must still hold once the mount is gone.
            signal(SIGPIPE, SIG_IGN);
            struct fuse_operations ops = tiny_ops();
            fuse_mount_cfg_t cfg{"zkue", dir.c_str(), options.c_str(), child_mounted, child_ready, nullptr};
            int r = try_fuse_mount(&ops, &cfg);
            struct sigaction sa;
            sigaction(SIGPIPE, nullptr, &sa);
            int st = r == 0 ? 0 : 3;
            if (sa.sa_handler != SIG_IGN)
                st += 1; // 1 or 4: SIGPIPE left at its default
            _exit(st);
        }
        close(p[1]);
        uint64_t end = os_clock_ms() + 10000;
        char c;
        while (os_clock_ms() < end) {
            struct pollfd pfd = {p[0], POLLIN, 0};
            if (poll(&pfd, 1, 200) <= 0)
                continue;
            ssize_t n = read(p[0], &c, 1);
            if (n <= 0)
                break; // the child closed it: it has ended
            marks.push_back(c);
            if (c == 'r')
                break;
        }
        close(p[0]);
    }
    // The child's exit status after at most 30 s, or -1 when it is still running.
    int wait_exit()
    {
        if (pid <= 0)
            return -1;
        int st = 0;
        for (int i = 0; i < 300; i++) {
            pid_t r = waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                pid = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            os_msleep(100);
        }
        return -1;
    }
    ~served_mount()
    {
        if (fuse_mnt_is_fuse(dir.c_str()))
            umount2(dir.c_str(), MNT_DETACH);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// The /proc/mounts line of dir, or "".
std::string mounts_line(const std::string &dir)
{
    std::istringstream in(slurp("/proc/mounts"));
    std::string line, found;
    while (std::getline(in, line))
        if (line.find(" " + dir + " ") != std::string::npos)
            found = line;
    return found;
}

} // namespace

TEST(FuseOpts, SettlesReadOnlyReadWriteAndPermissions)
{
    struct row {
        const char *in;
        int readonly;
        const char *out;
        int forced;
    } rows[] = {
        {"", 0, "ro", 0},
        {"", 1, "ro", 0},
        {"rw", 0, "", 0},
        {"rw", 1, "rw,ro", 1},
        {"rw,allow_other", 0, "allow_other,default_permissions", 0},
        {"rw,allow_other,default_permissions", 0, "allow_other,default_permissions", 0},
        {"allow_other", 0, "allow_other,ro,default_permissions", 0},
        {"rw,rw,noexec", 0, "noexec", 0},
        {"rw,ro", 0, "ro", 0},
        {",,rw,,noexec,", 1, "rw,noexec,ro", 1},
        {"allow_root", 0, "allow_root,ro", 0},
    };
    for (const row &r : rows) {
        char out[8192];
        int forced = -1;
        ASSERT_EQ(fuse_opts_settle(r.in, r.readonly, out, sizeof(out), &forced), 0) << r.in;
        EXPECT_STREQ(out, r.out) << "[" << r.in << "] readonly=" << r.readonly;
        EXPECT_EQ(forced, r.forced) << r.in;
    }
}

// Items no mount takes stay in the text (libfuse's mount ignores them), each
// named once; the file system's own options are said to be fixed.
TEST(FuseOpts, IgnoredItemsAreNamedOnce)
{
    char out[8192];
    fd_capture err(2);
    ASSERT_EQ(fuse_opts_settle("rw,attr_timeout=1,nosuchopt,entry_timeout=3,max_read=4096,attr_timeout=1,"
                               "kernel_cache,attr_timeout",
                               0, out, sizeof(out), nullptr),
              0);
    std::string log = err.stop();
    EXPECT_STREQ(out, "attr_timeout=1,nosuchopt,entry_timeout=3,max_read=4096,attr_timeout=1,kernel_cache,"
                      "attr_timeout");
    const std::string fixed = "] is ignored: the file system's own options (attr_timeout, entry_timeout, ...) are "
                              "fixed (use_ino,";
    struct {
        const char *item;
        const char *says;
    } rows[] = {
        {"attr_timeout=1", fixed.c_str()},
        {"entry_timeout=3", fixed.c_str()},
        {"kernel_cache", fixed.c_str()},
        {"nosuchopt", "] is not one FUSE knows; ignored"},
        {"attr_timeout", "] is not one FUSE knows; ignored"}, // without its value: no option at all
    };
    for (const auto &r : rows) {
        std::string line = std::string("mount option [") + r.item + r.says;
        size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos) << r.item << "\n" << log;
        EXPECT_EQ(log.find(line, at + 1), std::string::npos) << r.item << " named twice";
    }
    EXPECT_EQ(log.find("max_read"), std::string::npos) << log;
    EXPECT_EQ(log.find("passed on"), std::string::npos) << log;
}

TEST(FuseOpts, TooLongResultIsRefused)
{
    char out[8];
    EXPECT_EQ(fuse_opts_settle("noexec,nosuid", 0, out, sizeof(out), nullptr), -1);
    EXPECT_STREQ(out, "");
}

TEST(FuseFsType, ReadsProcFilesystemsForm)
{
    tmp_dir t;
    struct row {
        const char *text;
        int type;
    } rows[] = {
        // "fuseblk" answers at once, even before a "fuse" line.
        {"nodev\tsysfs\n\tfuseblk\nnodev\tfuse\n", 3},
        {"nodev\tsysfs\nnodev\tfuse\nnodev\tfusectl\n", 2},
        {"nodev\tfusectl\n\text4\n", 0},
        {"", 0},
    };
    std::string f = t.sub("filesystems");
    for (const row &r : rows) {
        spit(f, r.text);
        fuse_help_set_paths(f.c_str(), nullptr, nullptr);
        EXPECT_EQ(get_fuse_fstype(), r.type) << r.text;
    }
    fuse_help_set_paths(t.sub("missing").c_str(), nullptr, nullptr);
    fd_capture out(1);
    EXPECT_EQ(get_fuse_fstype(), 1);
    EXPECT_EQ(out.stop(), "Failed to open /proc/filesystems");
    fuse_help_set_paths(nullptr, nullptr, nullptr);
}

TEST(FuseFsType, ModuleLoaderRunsWithOneArgumentAndNoEnvironment)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the loader only runs for root";
    tmp_dir t;
    std::string fs = t.sub("filesystems"), loader = t.sub("modprobe"), log = t.sub("loader.log");
    spit(fs, "nodev\tsysfs\n");
    // The stand-in loader records its arguments and environment, then
    // "loads" the module by listing it.
    spit(loader, "#!/bin/sh\necho \"args=$*\" > " + log + "\necho \"home=${HOME-unset}\" >> " + log +
                     "\nprintf 'nodev\\tfuse\\n' >> " + fs + "\n");
    chmod(loader.c_str(), 0755);
    fuse_help_set_paths(fs.c_str(), loader.c_str(), "/dev/fuse");
    EXPECT_EQ(fuse_module_ensure(), 2);
    EXPECT_EQ(slurp(log), "args=fuse\nhome=unset\n");

    // Neither listed nor loadable: ten short waits, then the mount is tried
    // anyway with what there is.
    spit(fs, "nodev\tsysfs\n");
    fuse_help_set_paths(fs.c_str(), t.sub("no-modprobe").c_str(), "/dev/fuse");
    EXPECT_EQ(fuse_module_ensure(), 0);
    fuse_help_set_paths(nullptr, nullptr, nullptr);
}

TEST(FuseFsType, MissingDeviceIsMadeAsCharTenTwoTwentyNine)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mknod of a device needs root";
    tmp_dir t;
    std::string dev = t.sub("fuse");
    fuse_help_set_paths(nullptr, nullptr, dev.c_str());
    mode_t old = umask(077);
    fuse_module_ensure();
    umask(old);
    fuse_help_set_paths(nullptr, nullptr, nullptr);
    struct stat st;
    ASSERT_EQ(stat(dev.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 10u);
    EXPECT_EQ(minor(st.st_rdev), 229u);
    EXPECT_EQ(st.st_mode & 07777, 0666u) << "made with the mode mask cleared";
}

TEST(FuseMount, ServesUntilUnmountedFromOutside)
{
    if (!fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    tmp_dir t;
    served_mount m(t.sub("mnt"), "ro");
    ASSERT_EQ(m.marks, "mr");
    std::string line = mounts_line(m.dir);
    EXPECT_EQ(line, "/dev/fuse " + m.dir + " fuse ro,nosuid,nodev,relatime,user_id=0,group_id=0 0 0");
    EXPECT_EQ(slurp(m.dir + "/hello"), k_hello);
    // Read-only: the kernel refuses before asking the file system.
    int fd = open((m.dir + "/new").c_str(), O_CREAT | O_WRONLY, 0644);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, EROFS);
    if (fd >= 0)
        close(fd);
    ASSERT_EQ(umount2(m.dir.c_str(), 0), 0);
    EXPECT_EQ(m.wait_exit(), 0) << "the loop ends and try_fuse_mount returns 0 (1: SIGPIPE no longer ignored)";
    EXPECT_EQ(fuse_mnt_is_fuse(m.dir.c_str()), 0);
}

TEST(FuseMount, OptionTextsReachTheKernel)
{
    if (!fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    struct row {
        const char *opts;
        const char *shown;
    } rows[] = {
        {"", "rw,nosuid,nodev,relatime,user_id=0,group_id=0"},
        {"rw,ro", "ro,nosuid,nodev,relatime,user_id=0,group_id=0"},
        {"allow_other,default_permissions", "rw,nosuid,nodev,relatime,user_id=0,group_id=0,default_permissions,allow_other"},
    };
    tmp_dir t;
    for (const row &r : rows) {
        served_mount m(t.sub("mnt"), r.opts);
        ASSERT_EQ(m.marks, "mr") << r.opts;
        EXPECT_EQ(mounts_line(m.dir), "/dev/fuse " + m.dir + " fuse " + r.shown + " 0 0") << r.opts;
        EXPECT_EQ(umount2(m.dir.c_str(), 0), 0);
        EXPECT_EQ(m.wait_exit(), 0);
    }
}

TEST(FuseMount, RefusedOptionsMountNothing)
{
    if (!fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    tmp_dir t;
    std::string dir = t.sub("mnt");
    mkdir(dir.c_str(), 0755);
    struct fuse_operations ops = tiny_ops();
    fuse_mount_cfg_t cfg{"zkue", dir.c_str(), "allow_other,allow_root,noexec", nullptr, nullptr, nullptr};
    fd_capture err(2);
    EXPECT_EQ(try_fuse_mount(&ops, &cfg), -1);
    EXPECT_NE(err.stop().find("'allow_other' and 'allow_root' options are mutually exclusive"), std::string::npos);
    EXPECT_EQ(fuse_mnt_is_fuse(dir.c_str()), 0);
    EXPECT_EQ(g_fuse_chan, nullptr);
}

TEST(FuseMount, FailedReadyStepUnmounts)
{
    if (!fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    tmp_dir t;
    served_mount m(t.sub("mnt"), "ro", true);
    EXPECT_EQ(m.marks, "mr");
    EXPECT_EQ(m.wait_exit(), 3) << "try_fuse_mount returned -1 (4: SIGPIPE no longer ignored)";
    EXPECT_EQ(fuse_mnt_is_fuse(m.dir.c_str()), 0) << "nothing stays mounted";
}

TEST(FuseStale, OnlyADeadFuseMountIsRemoved)
{
    if (!fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    tmp_dir t;
    // A live FUSE mount stays.
    served_mount live(t.sub("live"), "ro");
    ASSERT_EQ(live.marks, "mr");
    EXPECT_EQ(fuse_umount_stale(live.dir.c_str()), 0);
    EXPECT_EQ(fuse_mnt_is_fuse(live.dir.c_str()), 1);
    EXPECT_EQ(slurp(live.dir + "/hello"), k_hello);

    // Its daemon killed: the mount is dead and goes.
    served_mount dead(t.sub("dead"), "ro");
    ASSERT_EQ(dead.marks, "mr");
    kill(dead.pid, SIGKILL);
    waitpid(dead.pid, nullptr, 0);
    dead.pid = -1;
    struct stat st;
    EXPECT_EQ(stat(dead.dir.c_str(), &st), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(fuse_mnt_dir_prepare(dead.dir.c_str()), 0);
    EXPECT_EQ(fuse_mnt_is_fuse(dead.dir.c_str()), 0);
    EXPECT_EQ(stat(dead.dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // Any other file system mounted there is never touched.
    std::string tmpfs = t.sub("tmpfs");
    mkdir(tmpfs.c_str(), 0755);
    ASSERT_EQ(mount("zk_test", tmpfs.c_str(), "tmpfs", 0, "size=1m"), 0);
    EXPECT_EQ(fuse_mnt_dir_prepare(tmpfs.c_str()), 0);
    EXPECT_NE(mounts_line(tmpfs).find(" tmpfs "), std::string::npos);
    EXPECT_EQ(fuse_mnt_is_fuse(tmpfs.c_str()), 0);
    umount2(tmpfs.c_str(), MNT_DETACH);
}

TEST(FuseStale, DeadMountIsFoundByRelativeAndLinkedNames)
{
    if (!fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    tmp_dir t;
    mkdir(t.sub("real").c_str(), 0755);
    ASSERT_EQ(symlink("real", t.sub("link").c_str()), 0);
    served_mount dead(t.sub("real/dead"), "ro");
    ASSERT_EQ(dead.marks, "mr");
    kill(dead.pid, SIGKILL);
    waitpid(dead.pid, nullptr, 0);
    dead.pid = -1;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(t.path.c_str()), 0);
    // The kernel lists the mount under its absolute, resolved name.
    for (const char *name : {"real/dead", "./real/../real/dead/", "link/dead"})
        EXPECT_EQ(fuse_mnt_is_fuse(name), 1) << name;
    EXPECT_EQ(fuse_mnt_is_fuse("real"), 0);
    EXPECT_EQ(fuse_mnt_dir_prepare("link/dead"), 0);
    EXPECT_EQ(fuse_mnt_is_fuse("real/dead"), 0);
    EXPECT_EQ(chdir(cwd), 0);
    struct stat st;
    ASSERT_EQ(stat(dead.dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(FuseStale, PrepareMakesMissingParents)
{
    tmp_dir t;
    std::string dir = t.sub("a/b/c");
    ASSERT_EQ(fuse_mnt_dir_prepare(dir.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(fuse_mnt_dir_prepare(dir.c_str()), 0) << "an existing directory is fine";
    spit(t.sub("file"), "x");
    EXPECT_EQ(fuse_mnt_dir_prepare((t.sub("file") + "/sub").c_str()), -1);
}
