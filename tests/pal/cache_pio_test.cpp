// Positioned I/O caches over a counting stand-in procedure that records
// every call, so call counts and offsets are checked exactly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "libpal/tframe/cache_pio.h"

namespace {

using call = std::pair<uint64_t, int64_t>; // (length, offset)

// An in-memory file. Each call is logged; scripted results, when queued,
// make the next calls fail (-1) or transfer at most that many bytes.
struct stand_in {
    std::string data;
    std::vector<call> calls;
    std::deque<int64_t> script;

    int64_t next_limit(uint64_t len)
    {
        if (script.empty())
            return (int64_t)len;
        int64_t s = script.front();
        script.pop_front();
        return s < 0 ? -1 : std::min<int64_t>(s, (int64_t)len);
    }
    static int64_t write(void *user, const void *buf, uint64_t len, int64_t off)
    {
        auto *f = (stand_in *)user;
        f->calls.emplace_back(len, off);
        int64_t n = f->next_limit(len);
        if (n < 0)
            return -1;
        if (f->data.size() < (size_t)off + (size_t)n)
            f->data.resize((size_t)off + (size_t)n, '\0');
        f->data.replace((size_t)off, (size_t)n, (const char *)buf, (size_t)n);
        return n;
    }
    static int64_t read(void *user, void *buf, uint64_t len, int64_t off)
    {
        auto *f = (stand_in *)user;
        f->calls.emplace_back(len, off);
        int64_t n = f->next_limit(len);
        if (n < 0)
            return -1;
        if ((size_t)off >= f->data.size())
            return 0;
        n = std::min<int64_t>(n, (int64_t)(f->data.size() - (size_t)off));
        memcpy(buf, f->data.data() + off, (size_t)n);
        return n;
    }
};

std::string pattern(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = (char)(seed + (char)(i * 7 % 23));
    return s;
}

cache_pwrite_t *wopen(stand_in &f, uint64_t size = 4096)
{
    cache_pwrite_cfg_t cfg = {size, &f, stand_in::write};
    return cache_pwrite_open(&cfg);
}

cache_pread_t *ropen(stand_in &f, uint64_t size = 4096, uint64_t limit = 0)
{
    cache_pread_cfg_t cfg = {size, limit, &f, stand_in::read};
    return cache_pread_open(&cfg);
}

} // namespace

TEST(CachePwrite, SequentialWritesBecomeOne)
{
    stand_in f;
    cache_pwrite_t *c = wopen(f);
    ASSERT_NE(c, nullptr);
    std::string d = pattern(300, 'a');
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cache_pwrite(c, d.data() + 100 * i, 100, 100 * i), 100);
    EXPECT_TRUE(f.calls.empty());
    EXPECT_EQ(cache_pwrite_fflush(c), 300);
    EXPECT_EQ(f.calls, (std::vector<call>{{300, 0}}));
    EXPECT_EQ(f.data, d);
    EXPECT_EQ(cache_pwrite_fflush(c), 0); // empty now
    EXPECT_EQ(f.calls.size(), 1u);
    EXPECT_EQ(cache_pwrite_close(c), 0);
}

TEST(CachePwrite, RunBreaksFlushFirst)
{
    struct Case {
        const char *what;
        std::vector<call> writes; // (length, offset), data from the pattern
        std::vector<call> expect; // procedure calls, close included
    } cases[] = {
        {"overlap backwards", {{100, 0}, {100, 100}, {100, 200}, {50, 50}}, {{300, 0}, {50, 50}}},
        {"gap forwards", {{100, 0}, {100, 500}}, {{100, 0}, {100, 500}}},
        {"run would overflow", {{3000, 0}, {2000, 3000}}, {{3000, 0}, {2000, 3000}}},
        {"exactly capacity goes direct", {{100, 0}, {4096, 100}}, {{100, 0}, {4096, 100}}},
        {"capacity on empty cache", {{4096, 0}, {10, 4096}}, {{4096, 0}, {10, 4096}}},
        {"fills to capacity exactly", {{4000, 0}, {96, 4000}}, {{4096, 0}}},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.what);
        stand_in f;
        std::string model;
        cache_pwrite_t *c = wopen(f);
        char seed = 'a';
        for (auto &w : k.writes) {
            std::string d = pattern(w.first, seed++);
            EXPECT_EQ(cache_pwrite(c, d.data(), w.first, w.second), (int64_t)w.first);
            if (model.size() < w.first + (size_t)w.second)
                model.resize(w.first + (size_t)w.second, '\0');
            model.replace((size_t)w.second, w.first, d);
        }
        cache_pwrite_close(c);
        EXPECT_EQ(f.calls, k.expect);
        EXPECT_EQ(f.data, model);
    }
}

// A short write is retried from the first unwritten byte; a write that
// fails or moves nothing keeps the rest held and reports failure.
TEST(CachePwrite, ShortAndFailedFlushKeepData)
{
    struct Case {
        const char *what;
        std::deque<int64_t> script;
        int64_t first;               // first flush result
        std::vector<call> calls;     // calls of the first flush
        uint64_t held;               // bytes still held after it
    } cases[] = {
        {"short then rest", {100}, 300, {{300, 0}, {200, 100}}, 0},
        {"fails", {-1}, -1, {{300, 0}}, 300},
        {"short then nothing", {120, 0}, -1, {{300, 0}, {180, 120}}, 180},
        {"short then fails", {1, -1}, -1, {{300, 0}, {299, 1}}, 299},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.what);
        stand_in f;
        cache_pwrite_t *c = wopen(f);
        std::string d = pattern(300, 'k');
        ASSERT_EQ(cache_pwrite(c, d.data(), 300, 0), 300);
        f.script = k.script;
        EXPECT_EQ(cache_pwrite_fflush(c), k.first);
        EXPECT_EQ(f.calls, k.calls);
        EXPECT_EQ(c->fill, k.held);
        if (k.held) {
            EXPECT_EQ(c->offset, (int64_t)(300 - k.held));
            // The next flush writes exactly what is missing.
            EXPECT_EQ(cache_pwrite_fflush(c), (int64_t)k.held);
            EXPECT_EQ(f.calls.back(), call(k.held, 300 - (int64_t)k.held));
        }
        EXPECT_EQ(f.data, d);
        cache_pwrite_close(c);
    }
}

TEST(CachePwrite, FailedFlushRefusesNewData)
{
    stand_in f;
    cache_pwrite_t *c = wopen(f);
    std::string a = pattern(100, 'a'), b = pattern(100, 'b'), big = pattern(5000, 'c');
    ASSERT_EQ(cache_pwrite(c, a.data(), 100, 0), 100);
    f.script = {-1};
    EXPECT_EQ(cache_pwrite(c, b.data(), 100, 1000), -1); // needs a flush, which fails
    f.script = {-1};
    EXPECT_EQ(cache_pwrite(c, big.data(), 5000, 0), -1); // direct write after a failed flush: no
    EXPECT_EQ(c->fill, 100u);
    EXPECT_EQ(c->offset, 0);
    EXPECT_EQ(cache_pwrite(c, b.data(), 100, 1000), 100);
    EXPECT_EQ(cache_pwrite_fflush(c), 100);
    EXPECT_EQ(f.calls, (std::vector<call>{{100, 0}, {100, 0}, {100, 0}, {100, 1000}}));
    EXPECT_EQ(f.data.substr(0, 100), a);
    EXPECT_EQ(f.data.substr(1000), b);
    cache_pwrite_close(c);
}

TEST(CachePwrite, BadArguments)
{
    EXPECT_EQ(cache_pwrite(nullptr, "x", 1, 0), -1);
    EXPECT_EQ(cache_pwrite_fflush(nullptr), -1);
    stand_in f;
    EXPECT_EQ(wopen(f, 0), nullptr);
    EXPECT_EQ(wopen(f, 1ull << 32), nullptr);
    cache_pwrite_t *c = wopen(f);
    EXPECT_EQ(cache_pwrite(c, "x", 1, -1), -1);
    cache_pwrite_close(c);
    EXPECT_TRUE(f.calls.empty());
}

TEST(CachePread, LimitAndSequence)
{
    stand_in f;
    f.data = pattern(1000, 'r');
    char buf[128];
    cache_pread_t *c = ropen(f, 4096, 1000);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(cache_pread(c, buf, 10, 990), 10);
    EXPECT_EQ(std::string(buf, 10), f.data.substr(990));
    EXPECT_EQ(f.calls, (std::vector<call>{{10, 990}}));
    // At the limit the procedure is asked directly: unchanged file, 0 bytes.
    EXPECT_EQ(cache_pread(c, buf, 10, 1000), 0);
    EXPECT_EQ(f.calls.back(), call(10, 1000));
    EXPECT_EQ(f.calls.size(), 2u);
    cache_pread_close(c);

    // No limit: sequential small reads share one read-ahead; a read that
    // goes back into the held data, or on from there, is served from it.
    stand_in g;
    g.data = pattern(9000, 's');
    c = ropen(g);
    EXPECT_EQ(cache_pread(c, buf, 10, 0), 10);
    EXPECT_EQ(cache_pread(c, buf, 10, 10), 10);
    EXPECT_EQ(std::string(buf, 10), g.data.substr(10, 10));
    EXPECT_EQ(cache_pread(c, buf, 10, 5), 10);
    EXPECT_EQ(std::string(buf, 10), g.data.substr(5, 10));
    EXPECT_EQ(cache_pread(c, buf, 10, 15), 10);
    EXPECT_EQ(std::string(buf, 10), g.data.substr(15, 10));
    EXPECT_EQ(g.calls, (std::vector<call>{{4096, 0}}));
    // Invalidate drops the data: the next read at the following offset refills.
    cache_pread_invalidate(c);
    EXPECT_EQ(cache_pread(c, buf, 10, 25), 10);
    EXPECT_EQ(std::string(buf, 10), g.data.substr(25, 10));
    EXPECT_EQ(g.calls.back(), call(4096, 25));
    cache_pread_close(c);
}

// The limit is the size at set-up; a file that grew since is still read to
// its new end, both for reads at the old end and for reads crossing it.
TEST(CachePread, GrownFileReadsPastOldEnd)
{
    stand_in f;
    f.data = pattern(1500, 'g');
    cache_pread_t *c = ropen(f, 4096, 1000);
    char buf[200];
    EXPECT_EQ(cache_pread(c, buf, 10, 1000), 10);
    EXPECT_EQ(std::string(buf, 10), f.data.substr(1000, 10));
    EXPECT_EQ(cache_pread(c, buf, 100, 950), 100);
    EXPECT_EQ(std::string(buf, 100), f.data.substr(950, 100));
    EXPECT_EQ(f.calls, (std::vector<call>{{10, 1000}, {100, 950}}));
    cache_pread_close(c);

    // A sequential reader: the read-ahead stops at the old end, and the part
    // of a request past it is asked for on its own.
    f.calls.clear();
    c = ropen(f, 4096, 1000);
    EXPECT_EQ(cache_pread(c, buf, 10, 0), 10);
    for (int64_t off = 10; off < 810; off += 200)
        EXPECT_EQ(cache_pread(c, buf, 200, off), 200);
    EXPECT_EQ(cache_pread(c, buf, 200, 810), 200); // 190 held, 10 past the old end
    EXPECT_EQ(std::string(buf, 200), f.data.substr(810, 200));
    EXPECT_EQ(f.calls, (std::vector<call>{{1000, 0}, {10, 1000}}));
    cache_pread_close(c);
}

TEST(CachePread, WholeFileInSmallPieces)
{
    stand_in f;
    f.data = pattern(10000, 'w');
    cache_pread_t *c = ropen(f);
    std::string got;
    char buf[100];
    for (int64_t off = 0;; off += 100) {
        int64_t r = cache_pread(c, buf, 100, off);
        ASSERT_GE(r, 0);
        if (r == 0)
            break;
        got.append(buf, (size_t)r);
    }
    EXPECT_EQ(got, f.data);
    // Computed with a python3 model of the read-ahead steps.
    EXPECT_EQ(f.calls, (std::vector<call>{{4096, 0}, {4096, 4096}, {4096, 8192}, {4096, 10000}}));
    cache_pread_close(c);
}

TEST(CachePread, LargeReadsAndFailures)
{
    stand_in f;
    f.data = pattern(200000, 'l');
    cache_pread_t *c = ropen(f);
    std::string big(4096, '\0');
    char buf[16];
    EXPECT_EQ(cache_pread(c, buf, 10, 0), 10);
    EXPECT_EQ(cache_pread(c, big.data(), 4096, 10), 4096); // direct, empties the cache
    EXPECT_EQ(big, f.data.substr(10, 4096));
    EXPECT_EQ(cache_pread(c, buf, 10, 100000), 10); // a jump: its own size
    EXPECT_EQ(f.calls, (std::vector<call>{{4096, 0}, {4096, 10}, {10, 100000}}));

    f.calls.clear();
    EXPECT_EQ(cache_pread(c, buf, 10, 100010), 10); // going on: reads ahead
    f.script = {-1};
    EXPECT_EQ(cache_pread(c, buf, 10, 150000), -1);
    EXPECT_EQ(cache_pread(c, buf, 10, 150000), 10);
    EXPECT_EQ(std::string(buf, 10), f.data.substr(150000, 10));
    EXPECT_EQ(f.calls, (std::vector<call>{{4096, 100010}, {10, 150000}, {10, 150000}}));
    EXPECT_EQ(cache_pread(c, buf, 0, 150010), 0);
    EXPECT_EQ(cache_pread(c, buf, 10, -1), -1);
    EXPECT_EQ(f.calls.size(), 3u);
    cache_pread_close(c);

    cache_pread_cfg_t cfg = {0, 0, &f, stand_in::read};
    c = cache_pread_open(&cfg);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->size, 0x200000u);
    cache_pread_close(c);
}

// Several threads, each with its own pair of caches over one real file,
// write their own region in small pieces and read it back. Run in the
// sanitizer build as well.
TEST(CacheThreads, ConcurrentHandlesOnOneFile)
{
    char path[] = "/tmp/zk_cache_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    auto pw = [](void *u, const void *b, uint64_t n, int64_t o) -> int64_t {
        return pwrite((int)(intptr_t)u, b, (size_t)n, (off_t)o);
    };
    auto pr = [](void *u, void *b, uint64_t n, int64_t o) -> int64_t {
        return pread((int)(intptr_t)u, b, (size_t)n, (off_t)o);
    };
    const int kThreads = 4;
    const size_t kRegion = 50000;
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> th;
    for (int t = 0; t < kThreads; ++t) {
        th.emplace_back([&, t] {
            std::string d = pattern(kRegion, (char)('A' + t));
            int64_t base = (int64_t)(t * kRegion);
            cache_pwrite_cfg_t wc = {1000, (void *)(intptr_t)fd, pw};
            cache_pwrite_t *w = cache_pwrite_open(&wc);
            for (size_t off = 0; off < kRegion; off += 37) {
                size_t n = std::min<size_t>(37, kRegion - off);
                if (cache_pwrite(w, d.data() + off, n, base + (int64_t)off) != (int64_t)n)
                    return;
            }
            if (cache_pwrite_fflush(w) < 0)
                return;
            cache_pwrite_close(w);
            cache_pread_cfg_t rc = {1024, 0, (void *)(intptr_t)fd, pr};
            cache_pread_t *r = cache_pread_open(&rc);
            std::string back;
            char buf[53];
            for (size_t off = 0; off < kRegion; off += 53) {
                size_t n = std::min<size_t>(53, kRegion - off);
                if (cache_pread(r, buf, n, base + (int64_t)off) != (int64_t)n)
                    break;
                back.append(buf, n);
            }
            cache_pread_close(r);
            ok[t] = back == d;
        });
    }
    for (auto &x : th)
        x.join();
    close(fd);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_TRUE(ok[t]) << "thread " << t;
}

// A reader that jumps is served at each request's own size and holds no
// buffer; one that goes on where it stopped reads ahead in a window that
// doubles up to the cache size.
TEST(CachePread, ReadAheadOnlyWhileSequential)
{
    stand_in f;
    f.data = pattern(4 << 20, 'q');
    cache_pread_t *c = ropen(f, 1 << 20);
    char buf[4096];
    for (int64_t off : {3 << 20, 12288, 1 << 20, 8192 + 1})
        ASSERT_EQ(cache_pread(c, buf, 4096, off), 4096);
    EXPECT_EQ(f.calls, (std::vector<call>{{4096, 3 << 20}, {4096, 12288}, {4096, 1 << 20}, {4096, 8193}}));
    EXPECT_EQ(c->buffer, nullptr);

    f.calls.clear();
    std::string got;
    for (int64_t off = 8193 + 4096; off < (3 << 20); off += 4096) {
        ASSERT_EQ(cache_pread(c, buf, 4096, off), 4096);
        got.append(buf, 4096);
    }
    EXPECT_EQ(got, f.data.substr(8193 + 4096, got.size()));
    ASSERT_GE(f.calls.size(), 5u);
    const int64_t o = 8193 + 4096;
    EXPECT_EQ(std::vector<call>(f.calls.begin(), f.calls.begin() + 5),
              (std::vector<call>{{128 << 10, o},
                                 {256 << 10, o + (128 << 10)},
                                 {512 << 10, o + (384 << 10)},
                                 {1 << 20, o + (896 << 10)},
                                 {1 << 20, o + (1920 << 10)}}));
    cache_pread_close(c);
}

// The kernel's read-ahead asks for its pieces slightly out of order: the
// reader still counts as going on, its window keeps growing, and every piece
// is served from large reads.
TEST(CachePread, PiecesSlightlyOutOfOrderKeepTheWindow)
{
    stand_in f;
    f.data = pattern(8 << 20, 'o');
    cache_pread_t *c = ropen(f, 2 << 20);
    const int64_t piece = 128 << 10;
    std::string buf((size_t)piece, '\0');
    for (int64_t k : {0, 1, 3, 2, 4, 6, 5, 7, 8, 10, 9, 11, 13, 12, 15, 14, 16, 18, 17, 19, 20, 22, 21, 23}) {
        ASSERT_EQ(cache_pread(c, buf.data(), (uint64_t)piece, k * piece), piece) << k;
        ASSERT_TRUE(buf == f.data.substr((size_t)(k * piece), (size_t)piece)) << k;
    }
    for (const call &x : f.calls)
        EXPECT_GE(x.first, 512u << 10) << x.second;
    EXPECT_LE(f.calls.size(), 6u);
    EXPECT_EQ(c->window, 2u << 20);
    cache_pread_close(c);
}

// Buffers are taken when data arrives and only within the budget all caches
// share; a cache that finds it spent passes its requests through, and one
// that has written everything out gives its buffer back.
TEST(CacheBudget, BuffersComeWithDataAndWithinTheBudget)
{
    const uint64_t before = cache_budget_used();
    const uint64_t old = cache_budget_set(before + 3 * 4096);
    stand_in f;
    std::vector<cache_pwrite_t *> w;
    for (int i = 0; i < 5; i++)
        w.push_back(wopen(f));
    EXPECT_EQ(cache_budget_used(), before); // nothing taken at open
    std::string d = pattern(100, 'b');
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(cache_pwrite(w[i], d.data(), 100, 1000 * i), 100);
    // Three are held, the last two went through at once.
    EXPECT_EQ(f.calls, (std::vector<call>{{100, 3000}, {100, 4000}}));
    EXPECT_EQ(cache_budget_used(), before + 3 * 4096);
    EXPECT_EQ(w[3]->buffer, nullptr);

    EXPECT_EQ(cache_pwrite_fflush(w[0]), 100);
    EXPECT_EQ(w[0]->buffer, nullptr);
    EXPECT_EQ(cache_budget_used(), before + 2 * 4096);
    ASSERT_EQ(cache_pwrite(w[4], d.data(), 100, 4100), 100); // now it is held
    EXPECT_EQ(f.calls.size(), 3u);

    // Readers share the same budget: a sequential one finding it spent reads
    // at the request's size.
    stand_in g;
    g.data = pattern(20000, 'r');
    cache_pread_t *r = ropen(g);
    char buf[10];
    EXPECT_EQ(cache_pread(r, buf, 10, 0), 10);
    EXPECT_EQ(cache_pread(r, buf, 10, 10), 10);
    EXPECT_EQ(g.calls, (std::vector<call>{{10, 0}, {10, 10}}));
    for (cache_pwrite_t *c : w)
        cache_pwrite_close(c);
    EXPECT_EQ(cache_budget_used(), before);
    g.calls.clear();
    EXPECT_EQ(cache_pread(r, buf, 10, 20), 10);
    EXPECT_EQ(cache_pread(r, buf, 10, 30), 10);
    EXPECT_EQ(g.calls, (std::vector<call>{{4096, 20}}));
    EXPECT_EQ(cache_budget_used(), before + 4096);
    cache_pread_close(r);
    EXPECT_EQ(cache_budget_used(), before);
    cache_budget_set(old);
    // Every byte written reached the procedure.
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(f.data.substr(1000 * i, 100), d) << i;
}

// A write cache holds a buffer the size of what it holds (from 16 KiB,
// doubling), not its whole capacity.
TEST(CacheBudget, WriteBufferGrowsWithTheData)
{
    const uint64_t before = cache_budget_used();
    stand_in f;
    cache_pwrite_t *c = wopen(f, 1 << 20);
    std::string d = pattern(10000, 'g');
    ASSERT_EQ(cache_pwrite(c, d.data(), 100, 0), 100);
    EXPECT_EQ(c->cap, 16384u);
    for (int64_t off = 100; off < 40100; off += 10000)
        ASSERT_EQ(cache_pwrite(c, d.data(), 10000, off), 10000);
    EXPECT_EQ(c->cap, 65536u);
    EXPECT_EQ(cache_budget_used(), before + 65536);
    EXPECT_TRUE(f.calls.empty());
    EXPECT_EQ(cache_pwrite_fflush(c), 40100);
    EXPECT_EQ(cache_budget_used(), before);
    cache_pwrite_close(c);
}
