// What the core does for a driver that leaves open2 empty: open2 falls back
// to open with converted flags. The local driver, with that slot taken
// away, stands in for such a driver.
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "vfs_test_util.h"

using namespace vfs_test;

namespace {

class SlotFallback : public VfsFixture {
  protected:
    void SetUp() override
    {
        VfsFixture::SetUp();
        for (const char *n : {"a.txt", "b.txt", "c.bin", "d.txt", "e.bin"})
            spit(host(std::string("/") + n), n);
        std::filesystem::create_directories(host("/sub"));
        ASSERT_TRUE(mount());
        real = mnt->drv;
        drv = *mnt->drv;
        drv.open2 = nullptr;
        mnt->drv = &drv;
    }
    void TearDown() override
    {
        if (mnt)
            mnt->drv = real;
        VfsFixture::TearDown();
    }
    const vfs_drv *real = nullptr;
    vfs_drv drv{};
};

} // namespace

TEST_F(SlotFallback, Open2GoesToOpenWithConvertedFlags)
{
    const int flags = PL_O_WRONLY | PL_O_CREAT | PL_O_TRUNC;
    vfs_handle *h = vfs_open2(mnt, "/new", flags, 0600);
    ASSERT_TRUE(h) << vfs_errstr(mnt);
    EXPECT_EQ(h->flags, pl_oflag_2_pf(flags));
    ASSERT_EQ(vfs_write(h, "hello", 5, 0), 5);
    EXPECT_EQ(vfs_close(h), 0);
    EXPECT_EQ(slurp(host("/new")), "hello");

    h = vfs_open2(mnt, "/new", PL_O_RDONLY, 0);
    ASSERT_TRUE(h);
    char buf[8] = {};
    EXPECT_EQ(vfs_read(h, buf, sizeof(buf), 0), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(vfs_close(h), 0);

    EXPECT_EQ(vfs_open2(mnt, "/missing", PL_O_RDONLY, 0), nullptr);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);

    // Neither slot: refused, and said so.
    drv.open = nullptr;
    EXPECT_EQ(vfs_open2(mnt, "/new", PL_O_RDONLY, 0), nullptr);
    EXPECT_EQ(vfs_errcode(mnt), VERR_NOT_IMPLEMENTED);
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr);
}
