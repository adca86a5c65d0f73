// The FUSE operations called directly, the way libfuse calls them, on a real
// local mount of the virtual file system. Faults the local file system
// cannot produce on demand (a listing failing part-way, a refused write, a
// slot left empty, a failure without an errno) come from a wrapper around
// the local driver's record that fails chosen calls.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "libfuse2/src/help.h"
#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/vfile/os_file2.h"
#include "libvfs/libvfs.h"
#include "liblog/log2.h"
#include "zkue/fuse/myfuse.h"

namespace {

vfs_handle *fh_of(const struct fuse_file_info *fi) { return (vfs_handle *)(uintptr_t)fi->fh; }

// ---- log records ------------------------------------------------------------------

struct record {
    unsigned level;
    std::string func;
    std::string text;
};
std::vector<record> s_records;

int capture_hook(unsigned level, const char *, const char *, int, const char *func, int, const char *fmt, va_list va)
{
    char buf[8192];
    vsnprintf(buf, sizeof(buf), fmt, va);
    std::string t = buf;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    s_records.push_back({level & LOG2_LEVEL_MASK, func ? func : "", t});
    return 0;
}

// The records of one function.
std::vector<record> records_of(const std::string &func)
{
    std::vector<record> r;
    for (const record &x : s_records)
        if (x.func == func)
            r.push_back(x);
    return r;
}

// ---- the wrapped local driver -------------------------------------------------------

const vfs_drv *s_orig;
int s_fail_ioctl_code;            // path code to fail, 0: none
int s_fail_ioctl_status;          // status recorded for it (0: nothing recorded)
int s_fail_ioctl_errno;           // or the errno recorded for it (0: none)
int s_readdir_fail_after = -1;    // entries handed out before readdir fails
int s_readdir_count;
int s_write_fail_errno;           // errno of failed driver writes, 0: none
bool s_seekdir_fails;             // the driver cannot move a listing

int64_t w_ioctl(void *h, int code, void *arg, int64_t len)
{
    if (code == s_fail_ioctl_code) {
        if (s_fail_ioctl_errno)
            vfs_set_error_errno(g_vfs_handle, __FILE__, __LINE__, __func__, s_fail_ioctl_errno);
        else if (s_fail_ioctl_status)
            VPERROR_SET(vfs_err_rec(), s_fail_ioctl_status, "refused by the test");
        return -1;
    }
    return s_orig->ioctl(h, code, arg, len);
}

os_dir_entry_t *w_readdir(void *dh)
{
    if (s_readdir_fail_after >= 0 && s_readdir_count >= s_readdir_fail_after) {
        vfs_set_error_errno(g_vfs_handle, __FILE__, __LINE__, __func__, EIO);
        errno = EIO;
        return nullptr;
    }
    s_readdir_count++;
    return s_orig->readdir(dh);
}

int w_seekdir(void *dh, int64_t pos)
{
    if (s_seekdir_fails) {
        vfs_set_error_errno(g_vfs_handle, __FILE__, __LINE__, __func__, EIO);
        return -1;
    }
    return s_orig->seekdir(dh, pos);
}

int64_t w_write(void *fh, const void *buf, uint64_t len, int64_t off)
{
    if (s_write_fail_errno) {
        vfs_set_error_errno(g_vfs_handle, __FILE__, __LINE__, __func__, s_write_fail_errno);
        return -1;
    }
    return s_orig->write(fh, buf, len, off);
}

class FuseOps : public ::testing::Test {
  protected:
    std::string root;
    vfs_drv drv;
    const struct fuse_operations *ops = myfuse_get_ops();

    void SetUp() override
    {
        pl_init();
        char name[] = "/tmp/zk_fuseops_XXXXXX";
        root = mkdtemp(name);
        vperror_t err{};
        g_vfs_handle = vfs_mount(root.c_str(), &err);
        ASSERT_NE(g_vfs_handle, nullptr) << vperror_str(&err);
        vfs_set_mnt_dir(g_vfs_handle, "/mnt/test");
        s_orig = g_vfs_handle->drv;
        drv = *s_orig;
        drv.ioctl = w_ioctl;
        drv.readdir = w_readdir;
        drv.write = w_write;
        drv.seekdir = w_seekdir;
        s_seekdir_fails = false;
        g_vfs_handle->drv = &drv;
        s_fail_ioctl_code = 0;
        s_fail_ioctl_status = 0;
        s_fail_ioctl_errno = 0;
        s_readdir_fail_after = -1;
        s_readdir_count = 0;
        s_write_fail_errno = 0;
        g_fuse_trace = 0;
        g_fuse_umask = 022;
        s_records.clear();
        log2_set_hook(nullptr, capture_hook);
    }
    void TearDown() override
    {
        log2_set_hook(nullptr, nullptr);
        if (g_vfs_handle) {
            g_vfs_handle->drv = s_orig;
            vfs_umount(g_vfs_handle);
            g_vfs_handle = nullptr;
        }
        std::system(("rm -rf " + root).c_str());
    }
    std::string P(const std::string &rel) const { return root + rel; }
    void put(const std::string &rel, const std::string &text)
    {
        FILE *f = fopen(P(rel).c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
    }
};

// Filler that takes at most `room` entries per call, like a kernel buffer.
struct fill_buf {
    size_t room = SIZE_MAX;
    size_t taken = 0;
    std::vector<std::pair<std::string, off_t>> got;
};

int filler(void *buf, const char *name, const struct stat *, off_t off)
{
    fill_buf *b = (fill_buf *)buf;
    if (b->taken == b->room)
        return 1;
    b->taken++;
    b->got.push_back({name, off});
    return 0;
}

} // namespace

TEST_F(FuseOps, RecordHasEveryOperationIncludingHandleForms)
{
    EXPECT_NE(ops->ftruncate, nullptr);
    EXPECT_NE(ops->fgetattr, nullptr);
    EXPECT_NE(ops->flush, nullptr);
    EXPECT_NE(ops->create, nullptr);
    EXPECT_NE(ops->utimens, nullptr);
    // UTIME_NOW and UTIME_OMIT reach utimens (touch -m, touch -a).
    EXPECT_EQ(ops->flag_utime_omit_ok, 1u);
    EXPECT_EQ(ops->getdir, nullptr);
    EXPECT_EQ(ops->init, nullptr);
    EXPECT_EQ(ops->lock, nullptr);
}

TEST_F(FuseOps, GetattrLineAndMissingNameLevels)
{
    put("/f", "abc");
    struct stat st;
    ASSERT_EQ(ops->getattr("/f", &st), 0);
    EXPECT_EQ(st.st_size, 3);
    auto r = records_of("xmp_getattr");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].level, LOG2_VERB);
    EXPECT_EQ(r[0].text, "path=[/f] time=[N/A] eno=0 [ok]");

    s_records.clear();
    EXPECT_EQ(ops->getattr("/missing", &st), -ENOENT);
    r = records_of("xmp_getattr");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].level, LOG2_VERB) << "a missing name is no failure: " << r[0].text;

    g_fuse_trace = MYFUSE_TRACE_TIME;
    s_records.clear();
    EXPECT_EQ(ops->getattr("/missing", &st), -ENOENT);
    r = records_of("xmp_getattr");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].level, LOG2_DBG);
    EXPECT_NE(r[0].text.find("time=["), std::string::npos);
    EXPECT_NE(r[0].text.find(" ms]"), std::string::npos) << r[0].text;
}

TEST_F(FuseOps, FailureWithoutErrnoIsIoErrorAndEmptySlotIsNotImplemented)
{
    put("/f", "x");
    // A driver that fails without saying why.
    s_fail_ioctl_code = VFS_IOC_UNLINK;
    EXPECT_EQ(ops->unlink("/f"), -EIO);
    auto r = records_of("xmp_unlink");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].level, LOG2_ERR);

    // A slot the driver leaves empty.
    drv.fsync = nullptr;
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    fi.flags = O_RDWR;
    ASSERT_EQ(ops->open("/f", &fi), 0);
    EXPECT_EQ(ops->fsync("/f", 0, &fi), -ENOSYS);
    EXPECT_EQ(ops->release("/f", &fi), 0);
}

TEST_F(FuseOps, ChmodNotSupportedCountsAsDoneOtherFailuresDoNot)
{
    put("/f", "x");
    s_fail_ioctl_code = VFS_IOC_CHMOD;
    s_fail_ioctl_status = VERR_NOT_SUPPORTED;
    EXPECT_EQ(ops->chmod("/f", 0600), 0);
    auto r = records_of("xmp_chmod");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, "path=[/f] mode=[0600] time=[N/A] eno=0 [ok]");
    s_fail_ioctl_status = VERR_FILE_NOT_FOUND;
    EXPECT_EQ(ops->chmod("/f", 0600), -ENOENT);
}

TEST_F(FuseOps, RmdirOfNonEmptyDirectory)
{
    ASSERT_EQ(mkdir(P("/d").c_str(), 0755), 0);
    put("/d/f", "x");
    EXPECT_EQ(ops->rmdir("/d"), -ENOTEMPTY);
    auto r = records_of("xmp_rmdir");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].level, LOG2_VERB) << r[0].text;
}

TEST_F(FuseOps, MissingAttributeIsNoDataNotAnEmptyValue)
{
    put("/f", "x");
    char buf[64];
    EXPECT_EQ(ops->getxattr("/f", "user.missing", buf, sizeof(buf)), -ENODATA);
    EXPECT_EQ(ops->getxattr("/nothing", "user.missing", buf, sizeof(buf)), -ENOENT);
    auto r = records_of("xmp_getxattr");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NE(r[0].level, LOG2_ERR);
    ASSERT_EQ(setxattr(P("/f").c_str(), "user.k", "value", 5, 0), 0);
    EXPECT_EQ(ops->getxattr("/f", "user.k", nullptr, 0), 5);
    EXPECT_EQ(ops->getxattr("/f", "user.k", buf, sizeof(buf)), 5);
    EXPECT_EQ(std::string(buf, 5), "value");
    EXPECT_EQ(ops->getxattr("/f", "user.k", buf, 2), -ERANGE);
    // The list: empty for a file without attributes, an error for no file.
    put("/g", "x");
    EXPECT_EQ(ops->listxattr("/g", buf, sizeof(buf)), 0);
    EXPECT_EQ(ops->listxattr("/nothing", buf, sizeof(buf)), -ENOENT);
}

TEST_F(FuseOps, AttributeListOfASourceWithoutAttributesIsEmptyOtherFailuresAreErrors)
{
    put("/f", "x");
    struct row {
        int eno;
        int ret;
    } rows[] = {
        {ENODATA, 0},
        {EOPNOTSUPP, 0},
        {ENOENT, -ENOENT},
        {EACCES, -EACCES},
        {EIO, -EIO},
    };
    s_fail_ioctl_code = VFS_IOC_LISTXATTR;
    for (const row &r : rows) {
        s_fail_ioctl_errno = r.eno;
        s_records.clear();
        char buf[64];
        EXPECT_EQ(ops->listxattr("/f", buf, sizeof(buf)), r.ret) << r.eno;
        auto rec = records_of("xmp_listxattr");
        ASSERT_EQ(rec.size(), 1u);
        if (r.ret == 0)
            EXPECT_EQ(rec[0].text, "path=[/f] time=[N/A] eno=0 [ok]") << r.eno;
        else
            EXPECT_EQ(rec[0].level, LOG2_ERR) << r.eno;
    }
}

TEST_F(FuseOps, OpenFlagsBecomePortableFlagsAndPickTheCache)
{
    put("/f", "hi\n");
    // What the kernel sends, in host O_* names plus its large-file bit (on
    // x86_64: 0x8241 for "echo hi > f", then 0x8000, 0x8002 and 0x8401).
    const int big = fuse_kernel_largefile();
    struct row {
        bool create;
        int flags;
        const char *pflag; // portable flags as logged
        uint32_t pf;       // file-object flags of the handle
        char cache;        // 'r' read cache, 'w' write-behind, '-' none
    } rows[] = {
        {true, O_WRONLY | O_CREAT | O_TRUNC | big, "0x15", 0xaa, 'w'},
        {false, O_RDONLY | big, "0x0", 0x81, 'r'},
        {false, O_RDWR | big, "0x2", 0x84, '-'},
        {false, O_WRONLY | O_APPEND | big, "0x9", 0x92, '-'}, // appends land at once
    };
    for (const row &r : rows) {
        s_records.clear();
        struct fuse_file_info fi;
        memset(&fi, 0, sizeof(fi));
        fi.flags = r.flags;
        ASSERT_EQ(r.create ? ops->create("/f", 0100644, &fi) : ops->open("/f", &fi), 0) << r.pflag;
        auto rec = records_of(r.create ? "xmp_create" : "xmp_open");
        ASSERT_EQ(rec.size(), 1u);
        char want[96];
        snprintf(want, sizeof(want), "path=/f flag=0x%x pflag=%s time=[N/A] eno=0 [ok]", (unsigned)r.flags, r.pflag);
        EXPECT_EQ(rec[0].text, want);
        vfs_handle *h = fh_of(&fi);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->flags, r.pf) << r.pflag;
        // The caches are made at the first transfer.
        char buf[8];
        if (r.pf & OS_FILE_WRITE)
            EXPECT_EQ(ops->write("/f", "hi\n", 3, 0, &fi), 3);
        else
            EXPECT_EQ(ops->read("/f", buf, sizeof(buf), 0, &fi), 3);
        char cache = h->rcache ? 'r' : h->wcache ? 'w' : '-';
        EXPECT_EQ(cache, r.cache) << r.pflag;
        EXPECT_EQ(ops->flush("/f", &fi), 0);
        EXPECT_EQ(ops->release("/f", &fi), 0);
    }
}

TEST_F(FuseOps, ListingContinuesWithTheRefusedEntryAndRewinds)
{
    std::set<std::string> want = {".", ".."};
    for (int i = 0; i < 25; i++) {
        std::string n = "e" + std::to_string(i);
        put("/" + n, "x");
        want.insert(n);
    }
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    ASSERT_EQ(ops->opendir("/", &fi), 0);
    std::vector<std::string> seen;
    off_t off = 0;
    for (int call = 0; call < 100; call++) {
        fill_buf b;
        b.room = 4;
        ASSERT_EQ(ops->readdir("/", &b, filler, off, &fi), 0);
        if (b.got.empty())
            break;
        for (auto &e : b.got)
            seen.push_back(e.first);
        off = b.got.back().second;
    }
    EXPECT_EQ(seen.size(), want.size()) << "no entry lost or repeated";
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), want);

    // Offset 0 again: the listing starts over.
    fill_buf all;
    ASSERT_EQ(ops->readdir("/", &all, filler, 0, &fi), 0);
    ASSERT_EQ(all.got.size(), want.size());
    EXPECT_EQ(all.got.front().first, seen.front());
    // Back to a position the kernel had been given: the rest from there.
    fill_buf tail;
    ASSERT_EQ(ops->readdir("/", &tail, filler, all.got[9].second, &fi), 0);
    EXPECT_EQ(tail.got.size(), want.size() - 10);
    EXPECT_EQ(tail.got.front().first, all.got[10].first);
    EXPECT_EQ(ops->releasedir("/", &fi), 0);
    EXPECT_EQ(vfs_dump_handles(g_vfs_handle), nullptr) << "nothing left open";
}

TEST_F(FuseOps, AListingThatCannotBeMovedIsAnErrorNotTheWrongEntries)
{
    for (int i = 0; i < 10; i++)
        put("/e" + std::to_string(i), "x");
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    ASSERT_EQ(ops->opendir("/", &fi), 0);
    fill_buf first;
    first.room = 6;
    ASSERT_EQ(ops->readdir("/", &first, filler, 0, &fi), 0);
    ASSERT_EQ(first.got.size(), 6u);
    s_seekdir_fails = true;
    fill_buf back;
    EXPECT_EQ(ops->readdir("/", &back, filler, first.got[1].second, &fi), -EIO);
    EXPECT_TRUE(back.got.empty());
    auto r = records_of("xmp_readdir_i");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().level, LOG2_ERR);
    // Once the driver can move it again, the listing goes on from there.
    s_seekdir_fails = false;
    fill_buf rest;
    ASSERT_EQ(ops->readdir("/", &rest, filler, first.got[1].second, &fi), 0);
    ASSERT_FALSE(rest.got.empty());
    EXPECT_EQ(rest.got.front().first, first.got[2].first);
    EXPECT_EQ(ops->releasedir("/", &fi), 0);
}

TEST_F(FuseOps, ListingThatFailsPartWayIsAnError)
{
    for (int i = 0; i < 10; i++)
        put("/e" + std::to_string(i), "x");
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    ASSERT_EQ(ops->opendir("/", &fi), 0);
    s_readdir_fail_after = 5;
    fill_buf b;
    EXPECT_EQ(ops->readdir("/", &b, filler, 0, &fi), -EIO);
    EXPECT_EQ(b.got.size(), 5u);
    EXPECT_EQ(ops->releasedir("/", &fi), 0);
}

TEST_F(FuseOps, ListingEndIsNotTakenForAFailureNorAFailureForTheEnd)
{
    for (int i = 0; i < 3; i++)
        put("/e" + std::to_string(i), "x");
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    ASSERT_EQ(ops->opendir("/", &fi), 0);
    // What earlier calls left behind does not turn the end into an error.
    VPERROR_SET(vfs_err_rec(), VERR_DISK_FULL, "an older failure");
    errno = EIO;
    fill_buf all;
    EXPECT_EQ(ops->readdir("/", &all, filler, 0, &fi), 0);
    EXPECT_EQ(all.got.size(), 5u);
    for (const record &r : records_of("xmp_readdir_i"))
        EXPECT_NE(r.level, LOG2_ERR) << r.text;

    // A driver that cannot list: an error, never an empty directory.
    drv.readdir = nullptr;
    fill_buf none;
    EXPECT_EQ(ops->readdir("/", &none, filler, 0, &fi), -ENOSYS);
    EXPECT_TRUE(none.got.empty());
    auto r = records_of("xmp_readdir_i");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().level, LOG2_ERR);
    EXPECT_EQ(r.back().text, "path=[/] readdir failed: -12 [readdir not supported by the file driver]");
    EXPECT_EQ(ops->releasedir("/", &fi), 0);
}

TEST_F(FuseOps, DirectoryCallsWithoutFileInformation)
{
    fill_buf b;
    EXPECT_EQ(ops->readdir("/", &b, filler, 0, nullptr), -1);
    EXPECT_EQ(ops->releasedir("/", nullptr), -1);
}

TEST_F(FuseOps, FlushReportsHeldWritesThatFailAndReleaseStillFrees)
{
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    fi.flags = O_WRONLY | O_CREAT | O_TRUNC | fuse_kernel_largefile();
    ASSERT_EQ(ops->create("/f", 0100644, &fi), 0);
    auto r = records_of("xmp_create");
    ASSERT_EQ(r.size(), 1u);
    // The kernel's large-file bit is gone from the portable flags.
    EXPECT_NE(r[0].text.find(" pflag=0x15 "), std::string::npos) << r[0].text;
    s_write_fail_errno = ENOSPC;
    EXPECT_EQ(ops->write("/f", "hello", 5, 0, &fi), 5) << "held by the write-behind cache";
    EXPECT_EQ(ops->flush("/f", &fi), -ENOSPC);
    EXPECT_EQ(ops->release("/f", &fi), 0);
    EXPECT_EQ(vfs_dump_handles(g_vfs_handle), nullptr) << "the handle is closed and freed";
    // Without a failure the held bytes land at flush.
    s_write_fail_errno = 0;
    memset(&fi, 0, sizeof(fi));
    fi.flags = O_WRONLY | O_TRUNC;
    ASSERT_EQ(ops->open("/f", &fi), 0);
    EXPECT_EQ(ops->write("/f", "hello", 5, 0, &fi), 5);
    struct stat st;
    ASSERT_EQ(stat(P("/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "still held";
    EXPECT_EQ(ops->flush("/f", &fi), 0);
    ASSERT_EQ(stat(P("/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(ops->release("/f", &fi), 0);
}

TEST_F(FuseOps, HandleTruncateAndStatSeeHeldWrites)
{
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    fi.flags = O_WRONLY | O_CREAT;
    ASSERT_EQ(ops->create("/f", 0100644, &fi), 0);
    EXPECT_EQ(ops->write("/f", "0123456789", 10, 0, &fi), 10);
    struct stat st;
    ASSERT_EQ(ops->fgetattr("/f", &st, &fi), 0);
    EXPECT_EQ(st.st_size, 10);
    ASSERT_EQ(ops->ftruncate("/f", 4, &fi), 0);
    EXPECT_EQ(ops->release("/f", &fi), 0);
    ASSERT_EQ(stat(P("/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4) << "the held writes did not overtake the truncation";
}

TEST_F(FuseOps, CreationModesIgnoreTheDaemonMask)
{
    mode_t old = umask(022);
    g_fuse_umask = 022;
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof(fi));
    fi.flags = O_WRONLY | O_CREAT;
    ASSERT_EQ(ops->create("/f", 0100664, &fi), 0);
    EXPECT_EQ(ops->release("/f", &fi), 0);
    ASSERT_EQ(ops->mkdir("/d", 0775), 0);
    ASSERT_EQ(ops->mknod("/p", S_IFIFO | 0666, 0), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(P("/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    ASSERT_EQ(stat(P("/d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0775u);
    ASSERT_EQ(stat(P("/p").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(FuseOps, TimesNowMovesTheTimesOmitKeepsThem)
{
    put("/f", "x");
    struct timespec tv[2] = {{1000000000, 5}, {1100000000, 7}};
    ASSERT_EQ(ops->utimens("/f", tv), 0);
    struct stat st;
    ASSERT_EQ(stat(P("/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 7);
    // What libfuse sends for "touch": now for both.
    struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    time_t t0 = time(nullptr);
    ASSERT_EQ(ops->utimens("/f", now), 0);
    ASSERT_EQ(stat(P("/f").c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, t0);
    EXPECT_GE(st.st_atim.tv_sec, t0);
    // Only the modification time; the access time stays.
    struct timespec omit[2] = {{0, UTIME_OMIT}, {1200000000, 0}};
    ASSERT_EQ(ops->utimens("/f", omit), 0);
    ASSERT_EQ(stat(P("/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_GE(st.st_atim.tv_sec, t0);
}

TEST_F(FuseOps, SlowOperationWarningLevels)
{
    struct row {
        uint64_t ago_ms;
        int records;
        unsigned level;
        const char *text;
    } rows[] = {
        {1000, 0, 0, ""},
        {3500, 1, LOG2_WARN, "xmp_release (/f) time=[3.500 s] warn: more time use"},
        {20000, 1, LOG2_ERR, "xmp_release (/f) time=[20.000 s] warn: more time use"},
    };
    for (const row &r : rows) {
        s_records.clear();
        // The clock moves a little while the check runs: compare the start
        // of the time text only.
        fuse_time_use_check(os_clock_ms() - r.ago_ms, "/f", "xmp_release");
        auto got = records_of("fuse_time_use_check");
        ASSERT_EQ((int)got.size(), r.records) << r.ago_ms;
        if (r.records) {
            EXPECT_EQ(got[0].level, r.level);
            EXPECT_EQ(got[0].text.substr(0, 30), std::string(r.text).substr(0, 30));
            EXPECT_NE(got[0].text.find(" s] warn: more time use"), std::string::npos) << got[0].text;
        }
    }
}

TEST_F(FuseOps, ReadlinkAndStatfs)
{
    ASSERT_EQ(symlink("target/x", P("/l").c_str()), 0);
    char buf[64];
    memset(buf, 'z', sizeof(buf));
    ASSERT_EQ(ops->readlink("/l", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "target/x");
    // A buffer too small keeps its terminating zero.
    ASSERT_EQ(ops->readlink("/l", buf, 4), 0);
    EXPECT_STREQ(buf, "ta");
    struct statvfs sv, ref;
    ASSERT_EQ(ops->statfs("/", &sv), 0);
    ASSERT_EQ(statvfs(root.c_str(), &ref), 0);
    EXPECT_EQ(sv.f_bsize, ref.f_bsize);
    EXPECT_EQ(sv.f_blocks, ref.f_blocks);
}
