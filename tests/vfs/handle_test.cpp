// File and directory handles of a local mount: data operations, the read
// and write-behind caches, write-outs before path operations, a driver whose
// writes fail, and one mount used from two threads.
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "capture.h"
#include "libpal/os/zkfile.h"
#include "libpal/tframe/cache_pio.h"
#include "vfs_test_util.h"

using namespace vfs_test;

namespace {

class Handles : public VfsFixture {
  protected:
    void SetUp() override
    {
        VfsFixture::SetUp();
        ASSERT_TRUE(mount());
    }
    // An O_WRONLY|O_CREAT handle, as a FUSE create gives it.
    vfs_handle *writer(const char *p)
    {
        vfs_handle *h = vfs_open2(mnt, p, PL_O_WRONLY | PL_O_CREAT, 0644);
        EXPECT_TRUE(h) << vfs_errstr(mnt);
        return h;
    }
    std::string size_of(const char *p) const { return stat_fmt("%s", p); }
};

std::string random_bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(seed >> 16);
    }
    return s;
}

} // namespace

TEST_F(Handles, WholeFileWrittenInPiecesThenReadBack)
{
    // 8 MiB in 1 MiB and odd-sized pieces through the write-behind cache,
    // then read back through the read cache in 4 KiB pieces; cmp agrees.
    std::string data = random_bytes(8 << 20, 7);
    vfs_handle *w = writer("/big");
    ASSERT_TRUE(w);
    size_t off = 0, step = 1 << 20;
    while (off < data.size()) {
        size_t n = std::min(step, data.size() - off);
        ASSERT_EQ(vfs_write(w, data.data() + off, n, (int64_t)off), (int64_t)n);
        off += n;
        step = step == (1u << 20) ? 12345 : 1u << 20;
    }
    EXPECT_NE(w->wcache, nullptr);
    EXPECT_EQ(w->rcache, nullptr);
    ASSERT_EQ(vfs_close(w), 0);
    spit(base + "/src", data);
    EXPECT_EQ(sh("cmp -s " + q(base + "/src") + " " + q(host("/big"))), 0);

    vfs_handle *r = vfs_open(mnt, "/big", OS_FILE_READ);
    ASSERT_TRUE(r);
    std::string back;
    char buf[4096];
    int64_t n;
    while ((n = vfs_read(r, buf, sizeof(buf), (int64_t)back.size())) > 0)
        back.append(buf, (size_t)n);
    EXPECT_EQ(n, 0);
    EXPECT_NE(r->rcache, nullptr);
    EXPECT_EQ(r->wcache, nullptr);
    EXPECT_TRUE(back == data);
    EXPECT_EQ(vfs_close(r), 0);
}

TEST_F(Handles, ReadWriteHandleNeverGetsACache)
{
    spit(host("/f"), "0123456789");
    vfs_handle *h = vfs_open2(mnt, "/f", PL_O_RDWR, 0);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->flags & (OS_FILE_READ | OS_FILE_WRITE | OS_FILE_RDWR), (uint32_t)OS_FILE_RDWR);
    char buf[4];
    EXPECT_EQ(vfs_write(h, "ab", 2, 0), 2);
    EXPECT_EQ(slurp(host("/f")), "ab23456789"); // straight through
    EXPECT_EQ(vfs_read(h, buf, 4, 0), 4);
    EXPECT_EQ(h->rcache, nullptr);
    EXPECT_EQ(h->wcache, nullptr);
    EXPECT_EQ(vfs_close(h), 0);
}

TEST_F(Handles, ReadCacheLimitDoesNotHideGrowth)
{
    spit(host("/f"), "0123456789");
    vfs_handle *h = vfs_open(mnt, "/f", OS_FILE_READ);
    ASSERT_TRUE(h);
    char buf[4096];
    ASSERT_EQ(vfs_read(h, buf, 4, 0), 4);
    ASSERT_NE(h->rcache, nullptr);
    EXPECT_EQ(h->rcache->limit, 10u);
    std::ofstream(host("/f"), std::ios::app) << "abc";
    // The bytes appended after the first read are read too.
    ASSERT_EQ(vfs_read(h, buf, sizeof(buf), 10), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(vfs_close(h), 0);
}

TEST_F(Handles, HandleOperationsWriteOutHeldData)
{
    struct step {
        const char *name;
        std::function<void(vfs_handle *)> op;
        std::string want; // file contents afterwards, before the close
    };
    std::vector<step> steps = {
        {"fstat",
         [](vfs_handle *h) {
             os_file_stat_t st{};
             ASSERT_EQ(vfs_fstat(h, &st), 0);
             EXPECT_EQ(st.size, 6u);
         },
         "abcdef"},
        {"fsync", [](vfs_handle *h) { ASSERT_EQ(vfs_fsync(h), 0); }, "abcdef"},
        {"lseek", [](vfs_handle *h) { ASSERT_EQ(vfs_lseek(h, 0, SEEK_END), 6); }, "abcdef"},
        // The truncate comes after the held bytes, not before them.
        {"ftruncate", [](vfs_handle *h) { ASSERT_EQ(vfs_ftruncate(h, 2), 0); }, "ab"},
        // A read on a write-only handle fails, but the data is out first.
        {"read",
         [](vfs_handle *h) {
             char b[4];
             EXPECT_EQ(vfs_read(h, b, 4, 0), -1);
         },
         "abcdef"},
    };
    for (const step &s : steps) {
        vfs_handle *h = writer("/f");
        ASSERT_TRUE(h);
        ASSERT_EQ(vfs_ftruncate(h, 0), 0);
        ASSERT_EQ(vfs_write(h, "abc", 3, 0), 3);
        ASSERT_EQ(vfs_write(h, "def", 3, 3), 3);
        EXPECT_EQ(size_of("/f"), "0") << s.name; // held
        s.op(h);
        EXPECT_EQ(slurp(host("/f")), s.want) << s.name;
        ASSERT_EQ(vfs_close(h), 0);
        EXPECT_EQ(slurp(host("/f")), s.want) << s.name;
    }
}

TEST_F(Handles, PathOperationsWriteOutHeldDataFirst)
{
    // A writer with held bytes, then a path truncate to 0: the size stays 0
    // after the close (the held bytes went out before the truncate).
    vfs_handle *h = writer("/t");
    ASSERT_EQ(vfs_write(h, "hello", 5, 0), 5);
    ASSERT_EQ(vfs_truncate(mnt, "/t", 0), 0);
    ASSERT_EQ(vfs_close(h), 0);
    EXPECT_EQ(size_of("/t"), "0");

    // stat and lstat of the path see the held bytes.
    h = writer("/s");
    ASSERT_EQ(vfs_write(h, "12345678", 8, 0), 8);
    os_file_stat_t st{};
    ASSERT_EQ(vfs_lstat(mnt, "/s", &st), 0);
    EXPECT_EQ(st.size, 8u);
    ASSERT_EQ(vfs_write(h, "9", 1, 8), 1);
    ASSERT_EQ(vfs_stat(mnt, "/s", &st), 0);
    EXPECT_EQ(st.size, 9u);
    ASSERT_EQ(vfs_close(h), 0);

    // Set-times after writes: the modification time stays as set.
    h = writer("/u");
    ASSERT_EQ(vfs_write(h, "x", 1, 0), 1);
    os_file_times_t t{};
    t.atime = {1000000000, 0};
    t.mtime = {1000000000, 0};
    ASSERT_EQ(vfs_utimens(mnt, "/u", &t), 0);
    ASSERT_EQ(vfs_close(h), 0);
    EXPECT_EQ(stat_fmt("%Y %s", "/u"), "1000000000 1");

    // Rename: the bytes land in the renamed file, and what the handle holds
    // later is found under the new name (its directory's too).
    h = writer("/r");
    ASSERT_EQ(vfs_write(h, "moved", 5, 0), 5);
    ASSERT_EQ(vfs_rename(mnt, "/r", "/r2", 1), 0);
    EXPECT_EQ(slurp(host("/r2")), "moved");
    ASSERT_EQ(vfs_write(h, "+", 1, 5), 1);
    ASSERT_EQ(vfs_lstat(mnt, "/r2", &st), 0);
    EXPECT_EQ(st.size, 6u);
    ASSERT_EQ(vfs_close(h), 0);
    EXPECT_EQ(slurp(host("/r2")), "moved+");
    ASSERT_EQ(vfs_mkdir(mnt, "/dir", 0755), 0);
    h = writer("/dir/f");
    ASSERT_EQ(vfs_write(h, "in", 2, 0), 2);
    ASSERT_EQ(vfs_rename(mnt, "/dir", "/dir2", 1), 0);
    ASSERT_EQ(vfs_write(h, "side", 4, 2), 4);
    ASSERT_EQ(vfs_stat(mnt, "/dir2/f", &st), 0);
    EXPECT_EQ(st.size, 6u);
    ASSERT_EQ(vfs_close(h), 0);

    // Unlink: written before the name goes.
    h = writer("/x");
    ASSERT_EQ(vfs_write(h, "gone", 4, 0), 4);
    ASSERT_EQ(vfs_unlink(mnt, "/x"), 0);
    EXPECT_FALSE(exists(host("/x")));
    EXPECT_EQ(vfs_close(h), 0);

    // Another path's handle is not touched.
    h = writer("/other");
    ASSERT_EQ(vfs_write(h, "zz", 2, 0), 2);
    ASSERT_EQ(vfs_stat(mnt, "/s", &st), 0);
    EXPECT_EQ(size_of("/other"), "0");
    ASSERT_EQ(vfs_close(h), 0);
}

TEST_F(Handles, WritesAtTheCurrentPositionKeepTheirOrder)
{
    vfs_handle *h = writer("/o");
    ASSERT_EQ(vfs_write(h, "AAAA", 4, 0), 4); // held
    // Written at the descriptor's position (0) after the held bytes.
    ASSERT_EQ(vfs_stream_write(h, "BB", 2), 2);
    ASSERT_EQ(vfs_close(h), 0);
    EXPECT_EQ(slurp(host("/o")), "BBAA");

    spit(host("/i"), "xyz");
    h = vfs_open(mnt, "/i", OS_FILE_READ);
    char b[4] = {};
    EXPECT_EQ(vfs_stream_read(h, b, 3), 3);
    EXPECT_STREQ(b, "xyz");
    EXPECT_EQ(vfs_stream_read(h, b, 3), 0);
    EXPECT_EQ(vfs_lseek(h, 1, SEEK_SET), 1);
    EXPECT_EQ(vfs_read(h, b, 2, -1), 2);
    EXPECT_EQ(std::string(b, 2), "yz");
    EXPECT_EQ(vfs_close(h), 0);
}

TEST_F(Handles, StreamDriverRecordRunsOnTheMount)
{
    // The stream layer's driver record: every call goes through the mount's
    // handles, reads and writes at the current position.
    zkfile_drv_t ops;
    ASSERT_EQ(vfs_stream_ops_init(mnt, &ops), 0);
    EXPECT_EQ(ops.context, (void *)mnt);
    EXPECT_EQ(ops.mount, nullptr);
    intptr_t w = ops.open(ops.context, "/s", OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC);
    ASSERT_NE(w, 0);
    EXPECT_EQ(ops.write(w, "stream", 6), 6);
    EXPECT_EQ(ops.flush(w), 0);
    EXPECT_EQ(slurp(host("/s")), "stream");
    EXPECT_EQ(ops.close(w), 0);
    intptr_t r = ops.open(ops.context, "/s", OS_FILE_READ);
    ASSERT_NE(r, 0);
    EXPECT_EQ(ops.seek(r, 2, SEEK_SET), 2);
    char b[8] = {};
    EXPECT_EQ(ops.read(r, b, sizeof(b)), 4);
    EXPECT_STREQ(b, "ream");
    EXPECT_EQ(ops.read(r, b, sizeof(b)), 0);
    EXPECT_EQ(ops.close(r), 0);
    EXPECT_EQ(ops.open(ops.context, "/missing", OS_FILE_READ), 0);
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr);
    EXPECT_EQ(vfs_stream_ops_init(nullptr, &ops), -1);
}

TEST_F(Handles, TimesLocksAndFileCodes)
{
    spit(host("/f"), "x");
    vfs_handle *h = vfs_open2(mnt, "/f", PL_O_RDWR, 0);
    ASSERT_TRUE(h);
    os_file_times_t t{};
    t.atime = {1000000000, 0};
    t.mtime = {1100000000, 0};
    ASSERT_EQ(vfs_futime(h, &t), 0);
    EXPECT_EQ(stat_fmt("%X %Y", "/f"), "1000000000 1100000000");
    os_file_times_t m_only{};
    m_only.mtime = {1200000000, 0};
    ASSERT_EQ(vfs_futime(h, &m_only), 0);
    EXPECT_EQ(stat_fmt("%X %Y", "/f"), "1000000000 1200000000");

    // A record lock held here keeps another process out until unlocked.
    const std::string probe = "python3 -c " +
                              q("import fcntl,sys; f=open(sys.argv[1],\"r+\"); fcntl.lockf(f, "
                                "fcntl.LOCK_EX|fcntl.LOCK_NB)") +
                              " " + q(host("/f")) + " 2>/dev/null";
    ASSERT_EQ(vfs_flock(h, OS_FILE_LOCK_EXCLUSIVE), 0);
    EXPECT_NE(sh(probe), 0);
    ASSERT_EQ(vfs_funlock(h, 0, (uint64_t)-1), 0);
    EXPECT_EQ(sh(probe), 0);
    ASSERT_EQ(vfs_flock2(h, OS_FILE_LOCK_EXCLUSIVE, 0, 1), 0);
    EXPECT_NE(sh(probe), 0);
    ASSERT_EQ(vfs_funlock(h, 0, 1), 0);

    ASSERT_EQ(vfs_fchmod(h, 0611), 0);
    EXPECT_EQ(stat_fmt("%a", "/f"), "611");
    vfs_ioc_path_u32_t a{nullptr, 0644};
    ASSERT_EQ(vfs_ioctl(h, VFS_IOC_FCHMOD, &a, sizeof(a)), 0); // straight to the driver
    EXPECT_EQ(stat_fmt("%a", "/f"), "644");
    uint32_t id = getuid() == 0 ? 65534 : getuid();
    ASSERT_EQ(vfs_fchown(h, id, id == 65534 ? 65534 : getgid()), 0);
    EXPECT_EQ(stat_fmt("%u", "/f"), std::to_string(id));

    // The local file kind refuses renaming a handle.
    EXPECT_EQ(vfs_frename(h, "/g", 0), -1);
    EXPECT_EQ(vfs_errno(h), EPERM);

    ASSERT_EQ(vfs_set_delete_on_close(h, 1), 0);
    EXPECT_TRUE(exists(host("/f")));
    ASSERT_EQ(vfs_close(h), 0);
    EXPECT_FALSE(exists(host("/f")));
}

TEST_F(Handles, OpenVariantsAndTimeouts)
{
    vfs_umount(mnt);
    mount("read_timeout=0&write_timeout=0");
    ASSERT_TRUE(mnt);
    spit(host("/f"), "x");
    auto warnings = [](const std::string &s) {
        size_t n = 0;
        for (size_t p = 0; (p = s.find("error: too short", p)) != std::string::npos; p++)
            n++;
        return n;
    };
    // vfs_open sets both time-outs, wopen only the read one, open2 none.
    fd_capture c1;
    vfs_handle *a = vfs_open(mnt, "/f", OS_FILE_READ);
    EXPECT_EQ(warnings(c1.stop()), 2u);
    fd_capture c2;
    vfs_handle *b = vfs_wopen(mnt, "/f", OS_WACCESS_READ, 0, nullptr, OS_DISP_OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(warnings(c2.stop()), 1u);
    fd_capture c3;
    vfs_handle *c = vfs_open2(mnt, "/f", PL_O_RDONLY, 0);
    EXPECT_EQ(warnings(c3.stop()), 0u);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(b->flags, os_wflag_2_pf(OS_WACCESS_READ, OS_DISP_OPEN_EXISTING));
    EXPECT_EQ(c->flags, pl_oflag_2_pf(PL_O_RDONLY));
    for (vfs_handle *h : {a, b, c})
        EXPECT_EQ(vfs_close(h), 0);

    // Create-new on an existing file; a missing file read-only.
    EXPECT_EQ(vfs_wopen(mnt, "/f", OS_WACCESS_WRITE, 0, nullptr, OS_DISP_CREATE_NEW, 0, nullptr), nullptr);
    EXPECT_EQ(vfs_errno(mnt), EEXIST);
    EXPECT_EQ(vfs_open(mnt, "/missing", OS_FILE_READ), nullptr);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
    EXPECT_STREQ(vfs_errstr(mnt), "No such file or directory");
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr); // failed opens leave nothing
}

TEST_F(Handles, Directories)
{
    for (const char *n : {"a.txt", "b.txt", "c.dat"})
        spit(host(std::string("/") + n), n);
    std::filesystem::create_directories(host("/sub"));
    std::string ref = run("python3 -c " + q("import os,sys; print(*sorted(os.listdir(sys.argv[1])))") +
                          " " + q(root));

    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_TRUE(d);
    std::vector<std::string> names;
    int64_t pos1 = -1;
    while (os_dir_entry_t *e = vfs_readdir(d)) {
        if (!strcmp(e->name, ".") || !strcmp(e->name, ".."))
            continue;
        names.push_back(e->name);
        if (names.size() == 1)
            pos1 = vfs_telldir(d);
    }
    // The end of the listing is recorded as status 0.
    EXPECT_EQ(vfs_errcode(d), 0);
    std::sort(names.begin(), names.end());
    std::string got;
    for (auto &n : names)
        got += (got.empty() ? "" : " ") + n;
    EXPECT_EQ(got, ref);

    // Back to just after the first entry: the listing goes on from there.
    ASSERT_GE(pos1, 0);
    ASSERT_EQ(vfs_seekdir(d, 0), 0);
    size_t again = 0;
    while (os_dir_entry_t *e = vfs_readdir(d))
        again += strcmp(e->name, ".") && strcmp(e->name, "..");
    EXPECT_EQ(again, names.size());
    EXPECT_EQ(vfs_closedir(d), 0);

    vfs_handle *p = vfs_opendir2(mnt, "/", "*.txt");
    ASSERT_TRUE(p);
    std::set<std::string> txt;
    while (os_dir_entry_t *e = vfs_readdir(p))
        txt.insert(e->name);
    EXPECT_EQ(txt, (std::set<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(vfs_closedir(p), 0);

    EXPECT_EQ(vfs_opendir(mnt, "/a.txt"), nullptr);
    EXPECT_EQ(vfs_errno(mnt), ENOTDIR);
}

// ---- a driver whose writes fail -------------------------------------------------------------

namespace {

vfs_mount_ctx *g_chain_mnt;
std::atomic<bool> g_fail_writes;
const vfs_drv *g_real;

int64_t failing_write(void *fh, const void *buf, uint64_t len, int64_t off)
{
    if (g_fail_writes) {
        VPERROR_SET(vfs_err_rec(), VERR_DISK_FULL, "test: no space");
        return -1;
    }
    return g_real->write(fh, buf, len, off);
}

class Chain : public Handles {
  protected:
    void SetUp() override
    {
        Handles::SetUp();
        g_real = mnt->drv;
        drv = *mnt->drv;
        drv.write = failing_write;
        mnt->drv = &drv;
        g_chain_mnt = mnt;
        g_fail_writes = false;
    }
    void TearDown() override
    {
        if (mnt)
            mnt->drv = g_real;
        Handles::TearDown();
    }
    vfs_drv drv;
};

} // namespace

TEST_F(Chain, CloseReportsAFailedWriteOutAndStillFreesTheHandle)
{
    vfs_handle *h = writer("/c");
    ASSERT_TRUE(h);
    std::string data(300, 'w');
    ASSERT_EQ(vfs_write(h, data.data(), 100, 0), 100); // held in the cache
    ASSERT_EQ(vfs_write(h, data.data(), 100, 100), 100);
    g_fail_writes = true;
    EXPECT_EQ(vfs_close(h), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_DISK_FULL);
    EXPECT_STREQ(vfs_errstr(mnt), "test: no space");
    // Closed and freed: nothing registered (the sanitizer build checks the
    // memory), and the driver handle is closed (the file can be removed
    // and nothing is written later).
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr);
    g_fail_writes = false;
    EXPECT_EQ(size_of("/c"), "0");
}

TEST_F(Chain, FailedWriteOutKeepsTheDataForALaterTry)
{
    vfs_handle *h = writer("/k");
    ASSERT_EQ(vfs_write(h, "abcdef", 6, 0), 6);
    g_fail_writes = true;
    // The handle's own calls that need the data out report the failure.
    EXPECT_EQ(vfs_fsync(h), -1);
    os_file_stat_t st{};
    EXPECT_EQ(vfs_fstat(h, &st), -1);
    // A write that needs the held run out first fails too; nothing is lost.
    EXPECT_EQ(vfs_write(h, "zz", 2, 100), -1);
    // Someone else's path operation is not blocked by it (space could not be
    // freed otherwise): it goes on without the data.
    ASSERT_EQ(vfs_lstat(mnt, "/k", &st), 0);
    EXPECT_EQ(st.size, 0u);
    // The owner hears of it at its next write, even one that joins the run.
    EXPECT_EQ(vfs_write(h, "gh", 2, 6), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_DISK_FULL);
    g_fail_writes = false;
    ASSERT_EQ(vfs_write(h, "gh", 2, 6), 2);
    ASSERT_EQ(vfs_fsync(h), 0);
    EXPECT_EQ(slurp(host("/k")), "abcdefgh");
    ASSERT_EQ(vfs_close(h), 0);
}

// A full source: another process's held writes never make stat, rm or mv of
// the file fail, so space can be freed.
TEST_F(Chain, PathOperationsGoOnPastAnotherHandlesFailedWriteOut)
{
    vfs_handle *h = writer("/full");
    ASSERT_EQ(vfs_write(h, "data", 4, 0), 4);
    g_fail_writes = true;
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/full", &st), 0);
    EXPECT_EQ(vfs_utimens(mnt, "/full", nullptr), 0);
    EXPECT_EQ(vfs_rename(mnt, "/full", "/moved", 1), 0);
    EXPECT_EQ(vfs_unlink(mnt, "/moved"), 0);
    EXPECT_FALSE(exists(host("/moved")));
    // Still held, and still the handle's to report.
    EXPECT_EQ(h->wcache->fill, 4u);
    EXPECT_EQ(vfs_flush(h), -1);
    g_fail_writes = false;
    EXPECT_EQ(vfs_close(h), 0);
}

TEST_F(Chain, UmountWithAFailingWriteOutFreesEverything)
{
    vfs_handle *h = writer("/m");
    ASSERT_EQ(vfs_write(h, "abc", 3, 0), 3);
    g_fail_writes = true;
    EXPECT_EQ(vfs_umount(mnt), 0);
    mnt = nullptr;
    g_fail_writes = false;
    EXPECT_EQ(size_of("/m"), "0");
}

TEST_F(Chain, FlushWritesOutHeldBytesAndReportsAFailure)
{
    vfs_handle *h = writer("/fl");
    ASSERT_TRUE(h);
    ASSERT_EQ(vfs_write(h, "abcdef", 6, 0), 6);
    EXPECT_EQ(size_of("/fl"), "0"); // held
    g_fail_writes = true;
    EXPECT_EQ(vfs_flush(h), -1);
    EXPECT_EQ(vfs_errcode(h), VERR_DISK_FULL);
    EXPECT_STREQ(vfs_errstr(h), "test: no space");
    // Still open and still holding: the next flush writes the bytes out.
    g_fail_writes = false;
    EXPECT_EQ(vfs_flush(h), 0);
    EXPECT_EQ(slurp(host("/fl")), "abcdef");
    EXPECT_EQ(vfs_flush(h), 0); // nothing held
    ASSERT_EQ(vfs_write(h, "gh", 2, 6), 2);
    ASSERT_EQ(vfs_close(h), 0);
    EXPECT_EQ(slurp(host("/fl")), "abcdefgh");

    // Handles without a write-behind cache have nothing to write out.
    spit(host("/ro"), "x");
    for (int flags : {PL_O_RDONLY, PL_O_RDWR}) {
        vfs_handle *o = vfs_open2(mnt, "/ro", flags, 0);
        ASSERT_TRUE(o);
        g_fail_writes = true;
        EXPECT_EQ(vfs_flush(o), 0) << flags;
        g_fail_writes = false;
        EXPECT_EQ(vfs_close(o), 0);
    }
}

// ---- a driver whose listings fail -----------------------------------------------------------

namespace {

vfs_mount_ctx *g_list_mnt;
const vfs_drv *g_list_real;
int g_list_fail_after = -1; // entries handed out before the failure, -1: never
int g_list_fail_errno;
bool g_list_fail_records;   // the driver fills the record itself
int g_list_count;

os_dir_entry_t *failing_readdir(void *dh)
{
    if (g_list_fail_after >= 0 && g_list_count >= g_list_fail_after) {
        if (g_list_fail_records)
            vfs_set_error_errno(g_list_mnt, __FILE__, __LINE__, __func__, g_list_fail_errno);
        errno = g_list_fail_errno;
        return nullptr;
    }
    os_dir_entry_t *e = g_list_real->readdir(dh);
    if (e)
        g_list_count++;
    return e;
}

class Listing : public Handles {
  protected:
    void SetUp() override
    {
        Handles::SetUp();
        g_list_real = mnt->drv;
        drv = *mnt->drv;
        drv.readdir = failing_readdir;
        mnt->drv = &drv;
        g_list_mnt = mnt;
        g_list_fail_after = -1;
        g_list_fail_records = true;
        g_list_count = 0;
        for (const char *n : {"a", "b", "c"})
            spit(host(std::string("/") + n), n);
    }
    void TearDown() override
    {
        if (mnt)
            mnt->drv = g_list_real;
        Handles::TearDown();
    }
    // Reads to the end or the first failure: {entries, last status}.
    std::pair<int, int> drain(vfs_handle *d)
    {
        int n = 0;
        for (int i = 0; i < 100; i++) {
            os_dir_entry_t *e = (os_dir_entry_t *)this;
            int r = vfs_readdir2(d, &e);
            if (r != 1) {
                EXPECT_EQ(e, nullptr);
                return {n, r};
            }
            EXPECT_NE(e, nullptr);
            n++;
        }
        return {n, 99};
    }
    vfs_drv drv;
};

} // namespace

TEST_F(Listing, EndAndFailureAreToldApart)
{
    // The end, even with a stale failure in the record and in errno.
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_TRUE(d);
    VPERROR_SET(vfs_err_rec(), VERR_DISK_FULL, "an older failure");
    errno = EIO;
    EXPECT_EQ(drain(d), std::make_pair(5, 0)); // ".", "..", a, b, c
    errno = EIO;
    EXPECT_EQ(vfs_readdir(d), nullptr);
    EXPECT_EQ(errno, 0) << "the end leaves errno 0";
    EXPECT_EQ(vfs_closedir(d), 0);

    struct row {
        int after;
        int eno;
        bool records;
    } rows[] = {
        {2, EIO, true},     // part-way, recorded by the driver
        {0, EACCES, true},  // at once
        {1, ENOMEM, false}, // the driver only set errno: the core records it
    };
    for (const row &r : rows) {
        d = vfs_opendir(mnt, "/");
        ASSERT_TRUE(d);
        // A record that says "no error" (the local driver writes one at
        // every end of a listing).
        memset(vfs_err_rec(), 0, sizeof(vperror_t));
        g_list_count = 0;
        g_list_fail_after = r.after;
        g_list_fail_errno = r.eno;
        g_list_fail_records = r.records;
        EXPECT_EQ(drain(d), std::make_pair(r.after, -1)) << r.eno;
        EXPECT_EQ(vfs_errcode(d), os_verr_get(r.eno)) << r.eno;
        EXPECT_NE(vfs_errcode(d), 0) << r.eno;
        EXPECT_EQ(vfs_errno(d), r.eno);
        errno = 0;
        EXPECT_EQ(vfs_readdir(d), nullptr);
        EXPECT_EQ(errno, r.eno) << "a failure leaves errno set";
        EXPECT_EQ(vfs_closedir(d), 0);
    }
    g_list_fail_after = -1;
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr);
}

TEST_F(Listing, EmptinessOfADirectoryThatCannotBeListedIsUnknown)
{
    std::filesystem::create_directories(host("/e"));
    EXPECT_EQ(vfs_dir_is_empty(mnt, "/e"), 1);
    g_list_fail_after = 2; // after "." and ".."
    g_list_fail_errno = EIO;
    g_list_count = 0;
    EXPECT_EQ(vfs_dir_is_empty(mnt, "/e"), -1);
    g_list_fail_after = 0;
    g_list_count = 0;
    EXPECT_EQ(vfs_dir_is_empty(mnt, "/"), -1);
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr) << "closed whatever happened";
}

// ---- one mount, two threads -------------------------------------------------------------

TEST_F(Handles, TwoThreadsOnOneMount)
{
    // One thread works like the FUSE loop (files, names, listings); the
    // other like the heartbeat plus a second client of the same files
    // (statfs, activity, reopen flag, handle dump, stat of the paths the
    // first one writes, which writes out its caches from this thread).
    const int rounds = 200;
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread loop([&] {
        std::string data = random_bytes(64 << 10, 3);
        for (int i = 0; i < rounds; i++) {
            std::string p = "/f" + std::to_string(i % 8);
            vfs_handle *h = vfs_open2(mnt, p.c_str(), PL_O_WRONLY | PL_O_CREAT | PL_O_TRUNC, 0644);
            if (!h) {
                failures++;
                continue;
            }
            for (size_t off = 0; off < data.size(); off += 4096)
                if (vfs_write(h, data.data() + off, 4096, (int64_t)off) != 4096)
                    failures++;
            if (vfs_close(h) != 0)
                failures++;
            vfs_handle *r = vfs_open(mnt, p.c_str(), OS_FILE_READ);
            char buf[4096];
            if (!r || vfs_read(r, buf, sizeof(buf), 4096) != 4096 || memcmp(buf, data.data() + 4096, 4096) != 0)
                failures++;
            if (r)
                vfs_close(r);
            std::string d = "/d" + std::to_string(i % 4);
            vfs_mkdir(mnt, d.c_str(), 0755);
            vfs_dir_is_empty(mnt, d.c_str());
            vfs_rmdir(mnt, d.c_str());
            vfs_rename(mnt, p.c_str(), (p + ".r").c_str(), 1);
            vfs_rename(mnt, (p + ".r").c_str(), p.c_str(), 1);
        }
        stop = true;
    });
    std::thread beat([&] {
        for (int i = 0; i < 100000 && !stop; i++) {
            os_volume_info_t vi{};
            if (vfs_statfs(mnt, &vi) != 0)
                failures++;
            vfs_get_last_activity(mnt);
            if (vfs_get_need_reopen(mnt) != 0)
                failures++;
            os_free(vfs_dump_handles(mnt));
            os_file_stat_t st{};
            std::string p = "/f" + std::to_string(i % 8);
            vfs_stat(mnt, p.c_str(), &st);
            (void)vfs_errstr(mnt);
        }
    });
    loop.join();
    beat.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr);
    std::string data = random_bytes(64 << 10, 3);
    for (int i = 0; i < 8; i++)
        EXPECT_TRUE(slurp(host("/f" + std::to_string(i))) == data) << i;
}
