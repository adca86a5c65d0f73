// The error record of the virtual file system: every failing call leaves
// its own status in the calling thread's record, whatever other threads do
// on the same mount at the same time and whatever an earlier call left.
#include <atomic>
#include <cerrno>
#include <thread>

#include "vfs_test_util.h"

using namespace vfs_test;

namespace {

class ErrRecord : public VfsFixture {
  protected:
    void SetUp() override
    {
        VfsFixture::SetUp();
        ASSERT_TRUE(mount());
        spit(host("/file"), "x");
    }
};

} // namespace

TEST_F(ErrRecord, EachThreadReadsTheFailureOfItsOwnCall)
{
    // Two threads fail in different ways on one mount, as the FUSE loop and
    // the heartbeat (or a driver's reconnect) do; neither ever reads the
    // other's failure, or a success of the other, after its own call.
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<int> rounds{0};
    auto missing = [&] {
        os_file_stat_t st{};
        while (!stop.load()) {
            if (vfs_lstat(mnt, "/missing", &st) != -1 || vfs_errno(mnt) != ENOENT ||
                vfs_errcode(mnt) != VERR_FILE_NOT_FOUND)
                wrong++;
            rounds++;
        }
    };
    auto exists = [&] {
        while (!stop.load()) {
            if (vfs_mkdir(mnt, "/file", 0755) != -1 || vfs_errno(mnt) != EEXIST)
                wrong++;
            // A success in between must not hide from this thread what it
            // reads next; the statfs of the other kind of caller succeeds.
            os_volume_info_t vi{};
            vfs_statfs(mnt, &vi);
            rounds++;
        }
    };
    std::thread a(missing), b(exists);
    while (rounds.load() < 4000)
        std::this_thread::yield();
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ErrRecord, AFailureAlwaysCarriesItsOwnStatus)
{
    os_file_stat_t st{};
    // An older failure is gone once the next call starts.
    ASSERT_EQ(vfs_lstat(mnt, "/missing", &st), -1);
    ASSERT_EQ(vfs_errno(mnt), ENOENT);
    ASSERT_EQ(vfs_lstat(mnt, "/file", &st), 0);
    EXPECT_EQ(vfs_errcode(mnt), 0);
    EXPECT_STREQ(vfs_errstr(mnt), "Success.");

    // Failures the core decides itself (no driver call) are recorded too.
    struct row {
        const char *what;
        int (*call)(vfs_mount_ctx *);
        int code;
    } rows[] = {
        {"symlink before the mount directory is known",
         [](vfs_mount_ctx *m) { return vfs_symlink(m, "target", "/l"); }, VERR_INVALID_PARAMETER},
        {"mount directory missing", [](vfs_mount_ctx *m) { return vfs_set_mnt_dir(m, nullptr); },
         VERR_INVALID_PARAMETER},
        {"path missing", [](vfs_mount_ctx *m) { return vfs_unlink(m, nullptr); }, VERR_INVALID_PARAMETER},
        {"bad handle", [](vfs_mount_ctx *m) { return vfs_close((vfs_handle *)m); }, VERR_INVALID_HANDLE},
    };
    for (const row &r : rows) {
        ASSERT_EQ(vfs_lstat(mnt, "/missing", &st), -1) << r.what;
        EXPECT_EQ(r.call(mnt), -1) << r.what;
        EXPECT_EQ(vfs_errcode(mnt), r.code) << r.what;
    }

    // Closing after a failure keeps the failure for the caller to read.
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_TRUE(d);
    ASSERT_EQ(vfs_lstat(mnt, "/missing", &st), -1);
    EXPECT_EQ(vfs_closedir(d), 0);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
}

TEST_F(ErrRecord, AFailedMountSaysWhyInBothRecords)
{
    vperror_t err{};
    ASSERT_EQ(vfs_mount((base + "/nothing-here").c_str(), &err), nullptr);
    EXPECT_NE(err.code, 0);
    EXPECT_EQ(vfs_err_rec()->code, err.code);
    EXPECT_STREQ(vperror_str(vfs_err_rec()), vperror_str(&err));
}
