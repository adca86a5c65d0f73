// What the core does for a driver that leaves open2, telldir and seekdir
// empty: open2 falls back to open with converted flags, and directory
// positions count the entries handed out. The local driver, with those
// slots taken away, stands in for such a driver.
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
        drv.telldir = nullptr;
        drv.seekdir = nullptr;
        mnt->drv = &drv;
    }
    void TearDown() override
    {
        if (mnt)
            mnt->drv = real;
        VfsFixture::TearDown();
    }
    // The names to the end of the listing, with the position after each.
    std::vector<std::pair<std::string, int64_t>> rest(vfs_handle *d)
    {
        std::vector<std::pair<std::string, int64_t>> out;
        while (os_dir_entry_t *e = vfs_readdir(d))
            out.emplace_back(e->name, vfs_telldir(d));
        return out;
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

TEST_F(SlotFallback, PositionsCountEntriesAndSeekBothWays)
{
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_TRUE(d);
    EXPECT_EQ(vfs_telldir(d), 0);
    auto all = rest(d);
    ASSERT_EQ(all.size(), 8u); // ".", "..", five files, "sub"
    for (size_t i = 0; i < all.size(); i++)
        EXPECT_EQ(all[i].second, (int64_t)i + 1);
    EXPECT_EQ(vfs_telldir(d), 8);

    struct {
        int64_t to;
        size_t first; // index in `all` of the next entry; all.size() = end
    } seeks[] = {
        // Each row reads on to the end, so every seek below 8 goes back
        // (the listing is opened again).
        {3, 3}, {6, 6}, {0, 0}, {8, 8}, {20, 8} /* past the end */, {1, 1},
    };
    for (const auto &s : seeks) {
        ASSERT_EQ(vfs_seekdir(d, s.to), 0) << s.to;
        EXPECT_EQ(vfs_telldir(d), s.to);
        auto got = rest(d);
        ASSERT_EQ(got.size(), all.size() - s.first) << s.to;
        for (size_t i = 0; i < got.size(); i++)
            EXPECT_EQ(got[i], all[s.first + i]) << s.to;
    }
    // Forward part-way without reading to the end first.
    ASSERT_EQ(vfs_seekdir(d, 2), 0);
    ASSERT_EQ(vfs_seekdir(d, 5), 0);
    os_dir_entry_t *e = vfs_readdir(d);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name, all[5].first);

    EXPECT_EQ(vfs_seekdir(d, -1), -1);
    EXPECT_EQ(vfs_errcode(d), VERR_INVALID_PARAMETER);
    EXPECT_EQ(vfs_closedir(d), 0);
}

TEST_F(SlotFallback, GoingBackKeepsThePatternAndSurvivesAFailedReopen)
{
    vfs_handle *d = vfs_opendir2(mnt, "/", "*.txt");
    ASSERT_TRUE(d);
    std::set<std::string> first, again;
    while (os_dir_entry_t *e = vfs_readdir(d))
        first.insert(e->name);
    EXPECT_EQ(first, (std::set<std::string>{"a.txt", "b.txt", "d.txt"}));
    ASSERT_EQ(vfs_seekdir(d, 0), 0);
    while (os_dir_entry_t *e = vfs_readdir(d))
        again.insert(e->name);
    EXPECT_EQ(again, first);
    EXPECT_EQ(vfs_closedir(d), 0);

    // The listing cannot be opened again: the seek fails, the open one stays.
    d = vfs_opendir(mnt, "/sub");
    ASSERT_TRUE(d);
    auto all = rest(d);
    ASSERT_EQ(all.size(), 2u);
    ASSERT_EQ(vfs_seekdir(d, 1), 0);
    std::filesystem::remove(host("/sub"));
    EXPECT_EQ(vfs_seekdir(d, 0), -1);
    EXPECT_EQ(vfs_errno(d), ENOENT);
    EXPECT_EQ(vfs_telldir(d), 1);
    EXPECT_EQ(vfs_closedir(d), 0);
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr);
}
