// The remote drivers' metadata cache: the window, names missing by a whole
// listing, what each kind of change drops, writers, the entry cap.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "libvfs/meta_cache.h"

namespace {

uint64_t g_now = 1000;
uint64_t test_clock(void) { return g_now; }

struct MetaCache : ::testing::Test {
    vfs_mcache *c = nullptr;
    void SetUp() override
    {
        g_now = 1000;
        c = vfs_mcache_new(1000, 64);
        ASSERT_NE(c, nullptr);
        vfs_mcache_set_clock(c, test_clock);
    }
    void TearDown() override { vfs_mcache_free(c); }

    os_file_stat_t st_of(uint64_t size, uint32_t type = OS_FTYPE_FILE)
    {
        os_file_stat_t st{};
        st.type = type;
        st.size = size;
        return st;
    }
    // HIT with the size, ABSENT, or MISS.
    int get(const char *path, uint64_t *size = nullptr, bool follow = false)
    {
        os_file_stat_t st{};
        vperror_t err{};
        int r = vfs_mcache_get_stat(c, path, follow, &st, &err);
        if (size)
            *size = st.size;
        if (r == VFS_MC_ABSENT) {
            EXPECT_NE(err.code, 0);
        }
        return r;
    }
    void list(const char *dir, std::initializer_list<const char *> names)
    {
        uint64_t t = vfs_mcache_now(c);
        uint64_t n = 1;
        for (const char *name : names) {
            os_file_stat_t st = st_of(n++);
            vfs_mcache_put_listed(c, dir, name, &st);
        }
        vfs_mcache_set_listed(c, dir, t);
    }
};

TEST_F(MetaCache, AnswersWithinTheWindowOnly)
{
    os_file_stat_t st = st_of(5);
    vfs_mcache_put_stat(c, "/a//b/", &st);
    uint64_t size = 0;
    EXPECT_EQ(get("/a/b", &size), VFS_MC_HIT);
    EXPECT_EQ(size, 5u);
    g_now += 999;
    EXPECT_EQ(get("/a/b"), VFS_MC_HIT);
    g_now += 1;
    EXPECT_EQ(get("/a/b"), VFS_MC_MISS);
    // A clock that went back never makes an answer fresh.
    g_now = 10;
    EXPECT_EQ(get("/a/b"), VFS_MC_MISS);
}

TEST_F(MetaCache, WholeListingAnswersMissingNames)
{
    list("/d", {"x", "y", ".", "..", "bad/name"});
    uint64_t size = 0;
    EXPECT_EQ(get("/d/y", &size), VFS_MC_HIT);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(get("/d/z"), VFS_MC_ABSENT);
    EXPECT_EQ(get("/d/bad"), VFS_MC_ABSENT);
    EXPECT_EQ(get("/d/x/deeper"), VFS_MC_MISS);
    EXPECT_TRUE(vfs_mcache_listed(c, "/d/"));
    g_now += 1000;
    EXPECT_EQ(get("/d/z"), VFS_MC_MISS);
    EXPECT_FALSE(vfs_mcache_listed(c, "/d"));
}

TEST_F(MetaCache, ChangesDropWhatTheyTouch)
{
    list("/", {"d", "f"});
    list("/d", {"x", "y"});
    list("/d/x", {"deep"});
    os_file_stat_t root = st_of(0, OS_FTYPE_DIR);
    vfs_mcache_put_stat(c, "/", &root);
    vfs_mcache_put_xattr(c, "/f", "user.k", 0, "v", 1);

    // An attribute change: the entry asks again, its name still exists,
    // the directory's other names are still known.
    vfs_mcache_forget(c, "/f");
    EXPECT_EQ(get("/f"), VFS_MC_MISS);
    vfs_mcache_xattr a{};
    EXPECT_EQ(vfs_mcache_get_xattr(c, "/f", "user.k", &a), VFS_MC_MISS);
    EXPECT_EQ(get("/g"), VFS_MC_ABSENT);

    // A name made in /d: the name asks, /d's own record goes, its listing stays.
    vfs_mcache_forget(c, "/d/new");
    vfs_mcache_parent_changed(c, "/d/new");
    EXPECT_EQ(get("/d/new"), VFS_MC_MISS);
    EXPECT_EQ(get("/d"), VFS_MC_MISS);
    EXPECT_EQ(get("/d/other"), VFS_MC_ABSENT);
    EXPECT_EQ(get("/d/y"), VFS_MC_HIT);

    // A directory renamed away: nothing below it answers.
    vfs_mcache_forget_tree(c, "/d/x");
    EXPECT_EQ(get("/d/x"), VFS_MC_MISS);
    EXPECT_EQ(get("/d/x/deep"), VFS_MC_MISS);
    EXPECT_EQ(get("/d/x/gone"), VFS_MC_MISS);
    EXPECT_EQ(get("/d/y"), VFS_MC_HIT);

    vfs_mcache_clear(c);
    EXPECT_EQ(get("/d/y"), VFS_MC_MISS);
    EXPECT_EQ(vfs_mcache_size(c), 0u);
}

TEST_F(MetaCache, LinksAndMissingEntries)
{
    os_file_stat_t ln = st_of(3, OS_FTYPE_FILE | OS_FTYPE_LINK);
    vfs_mcache_put_stat(c, "/ln", &ln);
    EXPECT_EQ(get("/ln"), VFS_MC_HIT);
    EXPECT_EQ(get("/ln", nullptr, true), VFS_MC_MISS);

    vperror_t err{};
    vperror_set(&err, __FILE__, __LINE__, __func__, VERR_FILE_NOT_FOUND, "gone: %s", "x");
    vfs_mcache_put_absent(c, "/x", &err);
    os_file_stat_t st{};
    vperror_t got{};
    EXPECT_EQ(vfs_mcache_get_stat(c, "/x", true, &st, &got), VFS_MC_ABSENT);
    EXPECT_EQ(got.code, VERR_FILE_NOT_FOUND);
    EXPECT_STREQ(got.msg, "gone: x");
}

TEST_F(MetaCache, WritersAreAnsweredOnlyFromStatsAfterTheirLastWrite)
{
    os_file_stat_t st = st_of(1);
    vfs_mcache_put_stat(c, "/w", &st);
    vfs_mcache_writer(c, "/w", 1);
    EXPECT_EQ(get("/w"), VFS_MC_MISS);
    vfs_mcache_put_listed(c, "/", "w", &st); // a listing line is not kept
    EXPECT_EQ(get("/w"), VFS_MC_MISS);
    vfs_mcache_put_stat(c, "/w", &st);
    EXPECT_EQ(get("/w"), VFS_MC_HIT);
    vfs_mcache_wrote(c, "/w");
    EXPECT_EQ(get("/w"), VFS_MC_MISS);
    vperror_t err{};
    err.code = VERR_FILE_NOT_FOUND;
    vfs_mcache_put_absent(c, "/w", &err);
    EXPECT_EQ(get("/w"), VFS_MC_MISS);

    // Renamed with its directory: the writer moves along.
    vfs_mcache_writer(c, "/d/w2", 1);
    vfs_mcache_writers_renamed(c, "/d", "/e");
    vfs_mcache_put_listed(c, "/e", "w2", &st);
    EXPECT_EQ(get("/e/w2"), VFS_MC_MISS);
    vfs_mcache_put_listed(c, "/d", "w2", &st);
    EXPECT_EQ(get("/d/w2"), VFS_MC_HIT);

    vfs_mcache_writer(c, "/w", -1);
    vfs_mcache_put_listed(c, "/", "w", &st);
    EXPECT_EQ(get("/w"), VFS_MC_HIT);
}

TEST_F(MetaCache, AChangeThroughOneNameReachesTheFilesOtherNames)
{
    auto rec = [&](uint64_t ino, uint64_t nlink, uint32_t type = OS_FTYPE_FILE) {
        os_file_stat_t st = st_of(1, type);
        st.dev = 3;
        st.ino = ino;
        st.nlink = nlink;
        return st;
    };
    auto fill = [&] {
        os_file_stat_t a = rec(7, 2), other = rec(8, 2), one = rec(9, 1), dir = rec(7, 3, OS_FTYPE_DIR);
        vfs_mcache_put_stat(c, "/a", &a);
        vfs_mcache_put_listed(c, "/d", "b", &a);
        vfs_mcache_put_stat(c, "/other", &other);
        vfs_mcache_put_stat(c, "/one", &one);
        vfs_mcache_put_stat(c, "/dir", &dir);
    };
    struct {
        const char *what;
        void (*change)(vfs_mcache *c);
        const char *asks; // the names answered no longer
    } cases[] = {
        {"a write through one name", [](vfs_mcache *c) { vfs_mcache_wrote(c, "/d/b"); }, "/a /d/b"},
        {"a mode change through one name", [](vfs_mcache *c) { vfs_mcache_forget_stat(c, "/a"); }, "/a /d/b"},
        {"an attribute change", [](vfs_mcache *c) { vfs_mcache_forget(c, "/a"); }, "/a /d/b"},
        {"one name removed", [](vfs_mcache *c) { vfs_mcache_removed(c, "/d/b"); }, "/a /d/b"},
        {"its directory removed", [](vfs_mcache *c) { vfs_mcache_forget_tree(c, "/d"); }, "/a /d/b /other"},
        {"a file of one name", [](vfs_mcache *c) { vfs_mcache_wrote(c, "/one"); }, "/one"},
        {"a directory", [](vfs_mcache *c) { vfs_mcache_forget_stat(c, "/dir"); }, "/dir"},
        // What the changed name is, is not known (/d above neither): every
        // name of a file with further names goes.
        {"an unknown name", [](vfs_mcache *c) { vfs_mcache_wrote(c, "/new"); }, "/a /d/b /other"},
    };
    for (auto &k : cases) {
        vfs_mcache_clear(c);
        fill();
        k.change(c);
        std::string asks;
        for (const char *n : {"/a", "/d/b", "/other", "/one", "/dir"})
            if (get(n) != VFS_MC_HIT)
                asks += std::string(asks.empty() ? "" : " ") + n;
        EXPECT_EQ(asks, k.asks) << k.what;
    }
}

TEST_F(MetaCache, StatChangesKeepWhatSaysAnAttributeIsAbsent)
{
    auto answers = [&](const char *path) {
        std::string out;
        vfs_mcache_xattr a{};
        for (const char *name : {"user.a", "user.none", (const char *)nullptr})
            out += vfs_mcache_get_xattr(c, path, name, &a) == VFS_MC_HIT ? "+" : "-";
        return out;
    };
    auto fill = [&](const char *path, const char *list, uint32_t len) {
        vfs_mcache_put_xattr(c, path, "user.a", 0, "v", 1);
        vfs_mcache_put_xattr(c, path, "user.none", VERR_NO_DATA, "none", 4);
        vfs_mcache_put_xattr(c, path, nullptr, 0, list, len);
    };
    fill("/f", "user.a\0", 7);
    fill("/cap", "security.capability\0", 20);
    EXPECT_EQ(answers("/f"), "+++");
    vfs_mcache_forget_stat(c, "/f");
    EXPECT_EQ(answers("/f"), "-++");
    // A change of owner or data takes file capabilities away.
    vfs_mcache_forget_stat(c, "/cap");
    EXPECT_EQ(answers("/cap"), "-+-");
    vfs_mcache_forget(c, "/f");
    EXPECT_EQ(answers("/f"), "---");
}

TEST_F(MetaCache, MadeEntriesAreKnownEmpty)
{
    list("/", {"x"});
    vfs_mcache_writer(c, "/new", 1);
    vfs_mcache_made(c, "/new", OS_FTYPE_FILE);
    vfs_mcache_xattr a{};
    ASSERT_EQ(vfs_mcache_get_xattr(c, "/new", nullptr, &a), VFS_MC_HIT);
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(a.len, 0u);
    EXPECT_EQ(get("/new"), VFS_MC_MISS); // its stat record is the server's to say
    EXPECT_EQ(vfs_mcache_is_link(c, "/new"), 0);
    EXPECT_EQ(vfs_mcache_is_link(c, "/x"), 0);
    EXPECT_EQ(vfs_mcache_is_link(c, "/unknown"), -1);

    vfs_mcache_made(c, "/dir", OS_FTYPE_DIR);
    EXPECT_EQ(get("/dir/any"), VFS_MC_ABSENT);
    EXPECT_FALSE(vfs_mcache_fill_due(c, "/dir"));
    EXPECT_EQ(vfs_mcache_get_xattr(c, "/dir", nullptr, &a), VFS_MC_HIT);
    g_now += 1000;
    EXPECT_EQ(get("/dir/any"), VFS_MC_MISS);
    EXPECT_EQ(vfs_mcache_is_link(c, "/new"), -1);
}

TEST_F(MetaCache, CapDropsTheOldestAndItsDirectorysListing)
{
    vfs_mcache *small = vfs_mcache_new(1000, 4);
    ASSERT_NE(small, nullptr);
    vfs_mcache_set_clock(small, test_clock);
    os_file_stat_t st = st_of(1);
    for (const char *n : {"a", "b", "c"})
        vfs_mcache_put_listed(small, "/d", n, &st);
    vfs_mcache_set_listed(small, "/d", g_now); // "/d" is the 4th entry
    for (int i = 0; i < 100; i++) {
        std::string p = "/other/f" + std::to_string(i);
        vfs_mcache_put_stat(small, p.c_str(), &st);
        EXPECT_LE(vfs_mcache_size(small), 4u);
    }
    // /d/a went first; /d/a must not read as missing.
    vperror_t err{};
    os_file_stat_t out{};
    EXPECT_EQ(vfs_mcache_get_stat(small, "/d/a", false, &out, &err), VFS_MC_MISS);
    EXPECT_EQ(vfs_mcache_get_stat(small, "/other/f99", false, &out, &err), VFS_MC_HIT);
    vfs_mcache_free(small);
}

TEST_F(MetaCache, ListingForALookupIsTriedOncePerWindow)
{
    EXPECT_TRUE(vfs_mcache_fill_due(c, "/big"));
    EXPECT_FALSE(vfs_mcache_fill_due(c, "/big"));
    g_now += 1000;
    EXPECT_TRUE(vfs_mcache_fill_due(c, "/big"));
    list("/whole", {"a"});
    EXPECT_FALSE(vfs_mcache_fill_due(c, "/whole"));
}

TEST_F(MetaCache, AttributeAnswers)
{
    vfs_mcache_put_xattr(c, "/f", "user.a", 0, "abc", 3);
    vfs_mcache_put_xattr(c, "/f", "user.none", VERR_FILE_NOT_FOUND, "no data", 7);
    vfs_mcache_put_xattr(c, "/f", nullptr, 0, "user.a\0", 7);
    vfs_mcache_xattr a{};
    ASSERT_EQ(vfs_mcache_get_xattr(c, "/f", "user.a", &a), VFS_MC_HIT);
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(std::string(a.data, a.len), "abc");
    ASSERT_EQ(vfs_mcache_get_xattr(c, "/f", "user.none", &a), VFS_MC_HIT);
    EXPECT_EQ(a.code, VERR_FILE_NOT_FOUND);
    ASSERT_EQ(vfs_mcache_get_xattr(c, "/f", nullptr, &a), VFS_MC_HIT);
    EXPECT_EQ(a.len, 7u);
    EXPECT_EQ(vfs_mcache_get_xattr(c, "/f", "user.b", &a), VFS_MC_MISS);
    g_now += 1000;
    EXPECT_EQ(vfs_mcache_get_xattr(c, "/f", "user.a", &a), VFS_MC_MISS);
}

TEST_F(MetaCache, BatchAsksEachListedNameOncePerListing)
{
    auto wanted = [&](const char *path, size_t max = 100) {
        std::string out;
        vfs_mcache_xattr_wanted(
            c, path, max,
            [](void *arg, const char *p) {
                std::string &o = *(std::string *)arg;
                o += std::string(o.empty() ? "" : " ") + p;
            },
            &out);
        return out;
    };
    // A listing still being read: the names it brought so far, from the
    // asked one on, in name order; a name looked up alone is no part of it.
    os_file_stat_t st = st_of(1);
    for (const char *n : {"a", "b", "c", "d"})
        vfs_mcache_put_listed(c, "/d", n, &st);
    vfs_mcache_put_stat(c, "/d/bb", &st);
    vfs_mcache_put_listed(c, "/d/a", "deep", &st);
    vfs_mcache_put_xattr(c, "/d/c", nullptr, 0, "", 0);
    EXPECT_EQ(wanted("/d/b", 1), "/d/b");
    EXPECT_EQ(wanted("/d/a"), "/d/a /d/d");
    // Each name once, however long the listing takes...
    EXPECT_EQ(wanted("/d/a"), "");
    g_now += 5000;
    EXPECT_EQ(wanted("/d/a"), "");
    // ...until a listing brings it again; a known list is not asked for.
    g_now += 1;
    for (const char *n : {"a", "b", "c"})
        vfs_mcache_put_listed(c, "/d", n, &st);
    vfs_mcache_put_xattr(c, "/d/b", nullptr, 0, "", 0);
    EXPECT_EQ(wanted("/d/a"), "/d/a /d/c");
    EXPECT_EQ(wanted("/"), "");
}

} // namespace

namespace {

// The listing the cache gives for dir as "name:size" words ("-" when it
// gives none).
std::string listing_of(vfs_mcache *c, const char *dir)
{
    std::string out;
    bool ok = vfs_mcache_listing(
        c, dir,
        [](void *arg, const char *name, const os_file_stat_t *st, const char *link) {
            std::string &o = *(std::string *)arg;
            o += std::string(o.empty() ? "" : " ") + name + ":" + std::to_string(st->size) + (*link ? "->" : "") +
                 link;
        },
        &out);
    return ok ? out : "-";
}

} // namespace

TEST_F(MetaCache, ListingIsGivenWhileEveryNameIsKnown)
{
    auto fill = [&] {
        uint64_t t = vfs_mcache_now(c);
        os_file_stat_t dot = st_of(9, OS_FTYPE_DIR), a = st_of(1), b = st_of(2), l = st_of(3, OS_FTYPE_LINK);
        vfs_mcache_put_listed2(c, "/d", ".", &dot, "");
        vfs_mcache_put_listed2(c, "/d", "..", &dot, "");
        vfs_mcache_put_listed2(c, "/d", "b", &b, "");
        vfs_mcache_put_listed2(c, "/d", "a", &a, nullptr);
        vfs_mcache_put_listed2(c, "/d", "l", &l, "a");
        vfs_mcache_set_listed(c, "/d", t);
    };
    const std::string whole = ".:9 ..:9 a:1 b:2 l:3->a";
    struct {
        const char *what;
        void (*change)(vfs_mcache *c);
        const char *want; // NULL: the whole listing
    } cases[] = {
        {"as listed", [](vfs_mcache *) {}, nullptr},
        {"a name below another entry does not count", [](vfs_mcache *c) {
             os_file_stat_t st{};
             vfs_mcache_put_stat(c, "/d/b/deep", &st);
         }, nullptr},
        {"a name a stat reply brought", [](vfs_mcache *c) {
             os_file_stat_t st{};
             vfs_mcache_put_stat(c, "/d/new", &st);
         }, ".:9 ..:9 a:1 b:2 l:3->a new:0"},
        {"a link a stat reply brought (no text)", [](vfs_mcache *c) {
             os_file_stat_t st{};
             st.type = OS_FTYPE_LINK;
             vfs_mcache_put_stat(c, "/d/new", &st);
         }, "-"},
        {"a name changed through the mount", [](vfs_mcache *c) { vfs_mcache_forget(c, "/d/a"); }, "-"},
        {"a name made through the mount", [](vfs_mcache *c) {
             vfs_mcache_forget(c, "/d/made");
             vfs_mcache_parent_changed(c, "/d/made");
         }, "-"},
        {"a name removed through the mount", [](vfs_mcache *c) {
             vfs_mcache_removed(c, "/d/b");
             vfs_mcache_parent_changed(c, "/d/b");
         }, ".:9 ..:9 a:1 l:3->a"},
        {"a name replaced by a rename", [](vfs_mcache *c) { vfs_mcache_forget_tree(c, "/d/b"); }, "-"},
        {"the directory itself changed", [](vfs_mcache *c) { vfs_mcache_forget(c, "/d"); }, "-"},
        {"a writer open on a name", [](vfs_mcache *c) { vfs_mcache_writer(c, "/d/a", 1); }, "-"},
        {"a missing name looked up", [](vfs_mcache *c) {
             vperror_t err{};
             err.code = VERR_FILE_NOT_FOUND;
             vfs_mcache_put_absent(c, "/d/gone", &err);
         }, nullptr},
        {"everything dropped", [](vfs_mcache *c) { vfs_mcache_clear(c); }, "-"},
    };
    for (auto &k : cases) {
        vfs_mcache_clear(c);
        vfs_mcache_writer(c, "/d/a", -1);
        fill();
        k.change(c);
        EXPECT_EQ(listing_of(c, "/d"), k.want ? std::string(k.want) : whole) << k.what;
    }
    // Only within the window.
    vfs_mcache_clear(c);
    fill();
    g_now += 1000;
    EXPECT_EQ(listing_of(c, "/d"), "-");
    // The root's own record is no name of its listing.
    vfs_mcache_clear(c);
    os_file_stat_t root = st_of(0, OS_FTYPE_DIR);
    vfs_mcache_put_stat(c, "/", &root);
    list("/", {"a"});
    EXPECT_EQ(listing_of(c, "/"), "a:1");
    // A link known without its text cannot be listed.
    vfs_mcache_clear(c);
    uint64_t t = vfs_mcache_now(c);
    os_file_stat_t l = st_of(3, OS_FTYPE_LINK);
    vfs_mcache_put_listed(c, "/e", "l", &l);
    vfs_mcache_set_listed(c, "/e", t);
    EXPECT_EQ(listing_of(c, "/e"), "-");
}
