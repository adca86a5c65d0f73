// The heartbeat thread on a real mount of the virtual file system whose
// driver record is wrapped so that the test decides the last activity time,
// the need-reopen flag and the outcome of the statfs probe.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpal/vfile/os_file2.h"
#include "libvfs/libvfs.h"
#include "test_util.h"

#include "zkue/heartbeat.h"
#include "zksd/zksd_test_util.h"

namespace {

std::atomic<int> s_unmounts{0};
std::atomic<uint64_t> s_activity{0};
std::atomic<uint32_t> s_need_reopen{0};
std::atomic<int> s_statfs_result{0};
std::atomic<int> s_probes{0};
// Cycles the heartbeat has run (it asks for the need-reopen flag once in each).
std::atomic<int> s_cycles{0};
// When set, the activity time is told only to the first question (the one
// heartbeat_init asks); later ones hear 0, "nothing recorded".
std::atomic<bool> s_activity_once{false};
std::atomic<int> s_activity_reads{0};

// The heartbeat's clock in these tests: far from 0, so that times "two
// minutes ago" need no machine that has been up that long.
constexpr uint64_t k_now = 1000000000;
uint64_t fake_clock(void) { return k_now; }

void count_unmount(void) { s_unmounts++; }
const vfs_drv *s_hb_orig;
vfs_mount_ctx *s_hb_mnt;

int64_t hb_ioctl(void *h, int code, void *arg, int64_t len)
{
    if (code == VFS_IOC_LAST_ACTIVITY) {
        const bool first = s_activity_reads++ == 0;
        *(uint64_t *)arg = s_activity_once && !first ? 0 : s_activity.load();
        return 0;
    }
    if (code == VFS_IOC_NEED_REOPEN) {
        *(uint32_t *)arg = s_need_reopen.load();
        s_cycles++;
        return 0;
    }
    return s_hb_orig->ioctl(h, code, arg, len);
}

int hb_statfs(void *, os_volume_info_t *)
{
    s_probes++;
    int r = s_statfs_result.load();
    if (r < 0)
        VFS_SET_ERROR(-1, "server unreachable");
    return r;
}

int threads_of_process()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n - 2;
}

// Waits (with a generous bound: the machine may be busy) until pred holds.
template <class Pred> bool wait_until(Pred pred, int ms = 30000)
{
    for (int i = 0; i < ms / 20 && !pred(); i++)
        os_msleep(20);
    return pred();
}

bool wait_unmounts(int n) { return wait_until([n] { return s_unmounts.load() >= n; }); }
// Until the running heartbeat has finished n cycles' checks.
bool wait_cycles(int n) { return wait_until([n] { return s_cycles.load() >= n; }); }

class Heartbeat : public ::testing::Test {
  protected:
    std::string root;
    vfs_drv drv;

    void SetUp() override
    {
        pl_init();
        char name[] = "/tmp/zk_hb_XXXXXX";
        root = mkdtemp(name);
        vperror_t err{};
        s_hb_mnt = vfs_mount(root.c_str(), &err);
        ASSERT_NE(s_hb_mnt, nullptr) << vperror_str(&err);
        s_hb_orig = s_hb_mnt->drv;
        drv = *s_hb_orig;
        drv.ioctl = hb_ioctl;
        drv.statfs = hb_statfs;
        s_hb_mnt->drv = &drv;
        s_unmounts = 0;
        s_activity = k_now;
        s_activity_once = false;
        s_activity_reads = 0;
        s_cycles = 0;
        s_need_reopen = 0;
        s_statfs_result = 0;
        s_probes = 0;
        heartbeat_set_unmount_proc(count_unmount);
        heartbeat_set_clock_proc(fake_clock);
    }
    void TearDown() override
    {
        heartbeat_exit();
        heartbeat_set_unmount_proc(nullptr);
        heartbeat_set_clock_proc(nullptr);
        if (s_hb_mnt) {
            s_hb_mnt->drv = s_hb_orig;
            vfs_umount(s_hb_mnt);
            s_hb_mnt = nullptr;
        }
        std::system(("rm -rf " + root).c_str());
    }
};

} // namespace


TEST_F(Heartbeat, NoneForLocalPathsOrSourcesWithoutActivityTime)
{
    int before = threads_of_process();
    EXPECT_EQ(heartbeat_init("/some/dir", s_hb_mnt), 0);
    EXPECT_EQ(heartbeat_init("file:///some/dir", s_hb_mnt), 0);
    EXPECT_EQ(heartbeat_init("zkp://host/dir", nullptr), 0);
    s_activity = 0;
    EXPECT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 0);
    EXPECT_EQ(threads_of_process(), before);
    EXPECT_EQ(heartbeat_exit(), 0) << "nothing to stop";
}

TEST_F(Heartbeat, NeedReopenUnmountsWithinACycle)
{
    ASSERT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 1);
    ASSERT_TRUE(wait_cycles(1));
    EXPECT_EQ(s_unmounts.load(), 0);
    s_need_reopen = 1;
    EXPECT_TRUE(wait_unmounts(1));
    EXPECT_EQ(s_probes.load(), 0) << "a busy mount is never probed";
}

TEST_F(Heartbeat, FailedProbeAfterSilenceUnmounts)
{
    s_activity = k_now - 120500;
    s_statfs_result = -1;
    ASSERT_EQ(heartbeat_init("zkps://host/dir", s_hb_mnt), 1);
    EXPECT_TRUE(wait_unmounts(1));
    EXPECT_EQ(s_probes.load(), 1);
}

TEST_F(Heartbeat, SilenceWithAnsweringSourceOrNothingToProbeStaysMounted)
{
    // Silent, but not for more than 119999 ms: not probed.
    s_activity = k_now - 100000;
    ASSERT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 1);
    ASSERT_TRUE(wait_cycles(1));
    EXPECT_EQ(heartbeat_exit(), 0);
    EXPECT_EQ(s_probes.load(), 0);

    // A stamp from after the clock's time is no silence either.
    s_activity = k_now + 500000;
    s_cycles = 0;
    ASSERT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 1);
    ASSERT_TRUE(wait_cycles(1));
    EXPECT_EQ(heartbeat_exit(), 0);
    EXPECT_EQ(s_probes.load(), 0);

    // Silent, but the source answers: probed, kept.
    s_activity = k_now - 200000;
    ASSERT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 1);
    EXPECT_TRUE(wait_until([] { return s_probes.load() >= 1; }));
    EXPECT_EQ(heartbeat_exit(), 0);
    EXPECT_EQ(s_unmounts.load(), 0);

    // Silent and the driver has no statfs: nothing to probe, kept, and not
    // asked (no missing-slot assertion).
    drv.statfs = nullptr;
    {
        zk_test::log_capture logs;
        s_cycles = 0;
        ASSERT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 1);
        ASSERT_TRUE(wait_cycles(1));
        EXPECT_EQ(heartbeat_exit(), 0);
        EXPECT_FALSE(logs.has("assert failed"));
    }
    EXPECT_EQ(s_unmounts.load(), 0);

    // Activity no longer recorded (0 after the start): not idle, no probe.
    drv.statfs = hb_statfs;
    s_probes = 0;
    s_cycles = 0;
    s_activity_reads = 0;
    s_activity_once = true;
    ASSERT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 1);
    ASSERT_TRUE(wait_cycles(1));
    EXPECT_EQ(heartbeat_exit(), 0);
    EXPECT_GE(s_activity_reads.load(), 2);
    EXPECT_EQ(s_probes.load(), 0);
    EXPECT_EQ(s_unmounts.load(), 0);
}

TEST_F(Heartbeat, ExitStopsARunningThread)
{
    int before = threads_of_process();
    ASSERT_EQ(heartbeat_init("zkp://host/dir", s_hb_mnt), 1);
    EXPECT_EQ(threads_of_process(), before + 1);
    EXPECT_EQ(heartbeat_exit(), 0);
    // The thread has ended (its name and handle are gone with it).
    EXPECT_TRUE(wait_until([before] { return threads_of_process() == before; }));
    EXPECT_EQ(heartbeat_exit(), 0);
    EXPECT_EQ(s_unmounts.load(), 0);
}

// A real zksd mount keeps an activity time, so it is watched; a time-out
// with a file open makes it need a reopen, and the heartbeat unmounts.
TEST_F(Heartbeat, ZksdMountIsWatchedAndUnmountedWhenItNeedsAReopen)
{
    heartbeat_set_clock_proc(nullptr); // a real mount stamps real times
    // The read waits past its time-out; every other request has 3 s, which
    // a loaded machine needs for the log-in.
    zksd_test::server srv({"--version", "1.5.3", "--delay-ms", "8000:12"});
    std::string url = "zkp://u:p@127.0.0.1:" + std::to_string(srv.port) + "/?read_timeout=3";
    FILE *f = fopen(srv.path("f").c_str(), "w");
    ASSERT_TRUE(f);
    fputs("data", f);
    fclose(f);
    vperror_t err{};
    vfs_mount_ctx *z = vfs_mount(url.c_str(), &err);
    ASSERT_NE(z, nullptr) << vperror_str(&err);
    EXPECT_EQ(heartbeat_init(url.c_str(), z), 1);
    vfs_handle *h = vfs_open(z, "/f", OS_FILE_READ);
    ASSERT_NE(h, nullptr);
    os_msleep(300);
    EXPECT_EQ(s_unmounts.load(), 0);
    char buf[4];
    EXPECT_EQ(vfs_read(h, buf, sizeof(buf), 0), -1);
    EXPECT_TRUE(wait_unmounts(1));
    heartbeat_exit();
    vfs_close(h);
    vfs_umount(z);
}
