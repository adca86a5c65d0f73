// Volumes: type names, sizes, mount points and locks, checked against
// coreutils `stat -f` and util-linux `findmnt`.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "capture.h"
#include "libpal/os/os_volume.h"
#include "liblog/log2.h"
#include "test_util.h"

namespace {

using zk_test::run;

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Mount target of a path as util-linux sees it (the last of stacked mounts).
std::string findmnt_target(const std::string &path)
{
    std::string out = trim(run("findmnt -n -o TARGET -T '" + path + "'"));
    size_t nl = out.rfind('\n');
    return nl == std::string::npos ? out : out.substr(nl + 1);
}

} // namespace

TEST(Volume, FsTypeNames)
{
    struct Case {
        uint32_t magic;
        const char *name;
    } cases[] = {{0xef53, "EXT4"},        {0x65735546, "VMHGFS-FUSE"}, {0x9fa0, "PROC"},  {0x62656572, "SYSFS"},
                 {0x01021994, "TMPFS"},   {0x2011bab0, "exfat"},       {0x5346544e, "ntfs"}, {0x564f4654, "vfat"},
                 {0x9123683e, "BTRFS"},   {0x73727279, "BTRFS"},       {0x138f, "MINIX"}, {0x58295829, "ZSMALLOC"}};
    for (const Case &c : cases)
        EXPECT_STREQ(os_fs_type(c.magic), c.name) << std::hex << c.magic;

    int old = log2_get_level(nullptr);
    log2_set_level_str(nullptr, "verb");
    fd_capture cap;
    EXPECT_STREQ(os_fs_type(0x1234), "UNKOWN");
    std::string out = cap.stop();
    log2_set_level(nullptr, old);
    EXPECT_NE(out.find("unkown fs_type=0x1234"), std::string::npos) << out;

    // The magic coreutils reports for mounted file systems here.
    for (const char *path : {"/", "/proc", "/sys", "/dev/shm"}) {
        std::string hex = trim(run(std::string("stat -f -c %t ") + path));
        if (hex.empty())
            continue;
        uint32_t magic = (uint32_t)std::stoul(hex, nullptr, 16);
        std::string expect = trim(run(std::string("stat -f -c %T ") + path));
        const char *name = os_fs_type(magic);
        EXPECT_STRNE(name, "UNKOWN") << path << " " << hex;
        // coreutils names them in lower case; every ext2/3/4 is "EXT4".
        struct Name {
            const char *coreutils, *ours;
        } names[] = {{"ext2/ext3", "EXT4"}, {"tmpfs", "TMPFS"}, {"proc", "PROC"}, {"sysfs", "SYSFS"}};
        for (const Name &n : names) {
            if (expect == n.coreutils) {
                EXPECT_STREQ(name, n.ours) << path;
            }
        }
    }
}

TEST(Volume, InfoMatchesStatF)
{
    char tmpl[] = "/tmp/zk_vol_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    for (const std::string &path : {dir + "/missing/file", std::string("/proc/self"), std::string("/dev/shm")}) {
        os_volume_info_t vi;
        ASSERT_EQ(os_get_volume_info(path.c_str(), &vi), 0) << path;
        // block size, blocks, free, available, name length of stat -f.
        std::string probe = path.find("missing") != std::string::npos ? dir : path;
        std::istringstream in(run("stat -f -c '%S %b %f %a %l %t' " + probe));
        unsigned long long bs, blocks, bfree, bavail, namelen;
        std::string magic;
        in >> bs >> blocks >> bfree >> bavail >> namelen >> magic;
        EXPECT_EQ(vi.flags, 0u);
        EXPECT_EQ(vi.total_bytes, blocks * bs) << path;
        EXPECT_EQ(vi.name_len, namelen ? namelen : 255) << path;
        EXPECT_STREQ(vi.fs_name, os_fs_type((uint32_t)std::stoul(magic, nullptr, 16))) << path;
        if (path.rfind("/proc", 0) == 0) {
            EXPECT_EQ(vi.free_bytes, bfree * bs);
            EXPECT_EQ(vi.avail_bytes, bavail * bs);
        } else {
            // Free space moves while other things write: allow some drift.
            double drift = (double)vi.free_bytes - (double)(bfree * bs);
            EXPECT_LT(drift < 0 ? -drift : drift, 512.0 * 1024 * 1024) << path;
            EXPECT_LE(vi.avail_bytes, vi.free_bytes);
        }
        EXPECT_LT(strlen(vi.vol_name), sizeof(vi.vol_name));
    }
    std::filesystem::remove_all(dir);
}

// The local driver asks for volume information on every statfs (every
// `df`): no shell and no blkid may be started for it. A blkid found first on
// PATH would leave a mark if anything ran it.
TEST(Volume, InfoStartsNoProcess)
{
    char tmpl[] = "/tmp/zk_blk_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl, mark = dir + "/ran";
    std::string fake = dir + "/blkid";
    FILE *f = fopen(fake.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "#!/bin/sh\ntouch '%s'\n", mark.c_str());
    fclose(f);
    ASSERT_EQ(chmod(fake.c_str(), 0755), 0);
    const char *old_path = getenv("PATH");
    std::string saved = old_path ? old_path : "";
    setenv("PATH", (dir + ":" + saved).c_str(), 1);
    os_volume_info_t vi;
    for (const char *p : {"/", "/tmp", "/dev/shm"})
        EXPECT_EQ(os_get_volume_info(p, &vi), 0) << p;
    setenv("PATH", saved.c_str(), 1);
    EXPECT_NE(access(mark.c_str(), F_OK), 0) << "blkid was started";
    std::filesystem::remove_all(dir);
}

TEST(Volume, MountPointMatchesFindmnt)
{
    char buf[4096];
    struct Case {
        const char *path, *existing;
    } cases[] = {{"/", "/"},           {"/proc/self/status", "/proc/self/status"}, {"/dev/shm", "/dev/shm"},
                 {"/dev/shm/no/such/file", "/dev/shm"}, {"/tmp", "/tmp"}, {"/sys/kernel", "/sys/kernel"}};
    for (const Case &c : cases) {
        ASSERT_EQ(os_get_mount_point(c.path, buf), 0) << c.path;
        EXPECT_EQ(std::string(buf), findmnt_target(c.existing)) << c.path;
    }
}

// A FUSE mount whose server never answers blocks every stat of its root.
// In a private mount namespace (nothing leaks to the machine), such a mount
// must not stop the lookup of another path's mount point.
TEST(Volume, DeadMountElsewhereDoesNotBlock)
{
    if (!zk_test::fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    char tmpl[] = "/tmp/zk_dead_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::string dead = dir + "/dead";
    ASSERT_EQ(mkdir(dead.c_str(), 0755), 0);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20); // a hang ends the child with SIGALRM
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(3);
        int fd = open("/dev/fuse", O_RDWR);
        if (fd < 0)
            _exit(3);
        std::string opts = "fd=" + std::to_string(fd) + ",rootmode=40000,user_id=0,group_id=0";
        if (mount("zkdead", dead.c_str(), "fuse", MS_NOSUID | MS_NODEV, opts.c_str()) != 0)
            _exit(3);
        char buf[4096];
        int ok = os_get_mount_point((dir + "/file").c_str(), buf) == 0;
        os_volume_info_t vi;
        ok = ok && os_get_volume_info(dir.c_str(), &vi) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    rmdir(dead.c_str());
    std::filesystem::remove_all(dir);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot make a FUSE mount here";
    EXPECT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Volume, ExistingParent)
{
    char tmpl[] = "/tmp/zk_par_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    char buf[4096];
    struct Case {
        std::string in, out;
    } cases[] = {
        {dir + "/missing", dir},
        {dir + "/a/b/c/", dir},
        {dir + "//", dir},
        {dir, dir},
        {"/", "/"},
        {"/no_such_top_dir_zk/x", "/"},
        {"", "/"},
        // A relative name none of whose elements exists ends at the current
        // directory instead of looping.
        {"no_such_rel_zk", "."},
        {"no_such_rel_zk/deeper/x", "."},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(os_path_existing_parent(c.in.c_str(), buf), 0);
        EXPECT_EQ(std::string(buf), c.out) << c.in;
    }
    // A file in the way: its path is not a directory, the file is the answer.
    std::string f = dir + "/file";
    fclose(fopen(f.c_str(), "w"));
    EXPECT_EQ(os_path_existing_parent((f + "/x/y").c_str(), buf), 0);
    EXPECT_EQ(std::string(buf), f);
    std::filesystem::remove_all(dir);
}

TEST(Volume, StatvfsAndUsedPercent)
{
    uint64_t v[11];
    ASSERT_EQ(os_statvfs("/proc", v), 0);
    std::istringstream in(run("stat -f -c '%s %S %b %c %d %l' /proc"));
    unsigned long long bsize, frsize, blocks, files, ffree, namelen;
    in >> bsize >> frsize >> blocks >> files >> ffree >> namelen;
    EXPECT_EQ(v[0], bsize);
    EXPECT_EQ(v[1], frsize);
    EXPECT_EQ(v[2], blocks);
    EXPECT_EQ(v[10], namelen);
    EXPECT_LT(os_statvfs("/no/such/path", v), 0);

    os_volume_info_t vi{};
    vi.total_bytes = 1000;
    vi.free_bytes = 250;
    EXPECT_DOUBLE_EQ(os_volume_used_percent(&vi), 75.0);
    vi.free_bytes = 2000;
    EXPECT_DOUBLE_EQ(os_volume_used_percent(&vi), 0.0);
    vi.total_bytes = 0;
    EXPECT_DOUBLE_EQ(os_volume_used_percent(&vi), 0.0);
}

TEST(Volume, DevGetMount)
{
    char buf[4096];
    // The first table entry of the device "proc".
    EXPECT_EQ(os_dev_get_mount("proc", "mnt_type", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "proc");
    EXPECT_EQ(os_dev_get_mount("proc", "mnt_dir", buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf), trim(run("awk '$1==\"proc\"{print $2; exit}' /proc/mounts")));
    EXPECT_EQ(os_dev_get_mount("proc", "mnt_opts", buf, sizeof(buf)), -1);
    EXPECT_EQ(os_dev_get_mount("/dev/no-such-device", "mnt_dir", buf, sizeof(buf)), -1);
    char tiny[2];
    EXPECT_EQ(os_dev_get_mount("proc", "mnt_type", tiny, sizeof(tiny)), -1);
}

TEST(Volume, RecordLocks)
{
    char tmpl[] = "/tmp/zk_lock_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "0123456789", 10), 10);
    EXPECT_EQ(os_fcntl_lock(fd, 2, 0, 5), 0);
    // Another process sees the exclusive range and the free rest.
    pid_t pid = fork();
    if (pid == 0) {
        int fd2 = open(tmpl, O_RDWR);
        bool held = os_fcntl_lock(fd2, 1 | 0x10, 0, 5) == -1;
        bool free_rest = os_fcntl_lock(fd2, 2 | 0x10, 5, 5) == 0;
        _exit(held && free_rest ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(os_fcntl_unlock(fd, 0, 0, 5), 0);
    pid = fork();
    if (pid == 0) {
        int fd2 = open(tmpl, O_RDWR);
        _exit(os_fcntl_lock(fd2, 2 | 0x10, 0, 10) == 0 ? 0 : 1);
    }
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(os_fcntl_lock(-1, 1, 0, 1), -1);
    close(fd);
    unlink(tmpl);
}
