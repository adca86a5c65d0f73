// Memory managers: random fill, start-up values, packing, pointer arrays,
// slot tables, byte buffers, the block allocator and its managers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpal/hash/pl_hash.h"
#include "libpal/memory/pl_mem.h"

namespace {

uint64_t command_u64(const char *cmd)
{
    FILE *p = popen(cmd, "r");
    unsigned long long v = 0;
    if (p) {
        if (fscanf(p, "%llu", &v) != 1)
            v = 0;
        pclose(p);
    }
    return v;
}

int s_fail_alloc;
void *failing_malloc(size_t n) { return s_fail_alloc ? nullptr : malloc(n); }
void *failing_realloc(void *p, size_t n) { return s_fail_alloc ? nullptr : realloc(p, n); }
struct HookGuard {
    HookGuard() { pl_malloc_init(failing_malloc, failing_realloc, free); }
    ~HookGuard()
    {
        s_fail_alloc = 0;
        pl_malloc_init(_malloc, _realloc, free);
    }
};

} // namespace

TEST(Mem, RandomFillUsesWholeWordsThenLowBytes)
{
    pl_xorshift_seed(12345);
    uint64_t w0 = pl_xorshift64(), w1 = pl_xorshift64();
    pl_xorshift_seed(12345);
    uint8_t buf[16];
    memset(buf, 0xee, sizeof(buf));
    EXPECT_EQ(memory_random(buf, 13), 13);
    uint64_t got0;
    memcpy(&got0, buf, 8);
    EXPECT_EQ(got0, w0);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(buf[8 + i], (uint8_t)(w1 >> (8 * i))) << i;
    for (int i = 13; i < 16; ++i)
        EXPECT_EQ(buf[i], 0xee) << "written past the end at " << i;
    EXPECT_EQ(memory_random(buf, 0), 0);
    EXPECT_EQ(memory_random(nullptr, 4), -1);
    EXPECT_EQ(memory_random_libc(buf, 11), 11);
}

TEST(Mem, InitRecordsSystemValues)
{
    ASSERT_EQ(mem_init(), 0);
    uint64_t ps = command_u64("getconf PAGESIZE");
    ASSERT_GT(ps, 0u);
    EXPECT_EQ(mem_get_pagesize(), ps);
    EXPECT_EQ(1ull << mem_get_pageshift(), ps);
    EXPECT_EQ(mem_get_total_ram(), command_u64("getconf _PHYS_PAGES") * ps);
}

TEST(Mem, PackTexts)
{
    uint8_t buf[8];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(mem_add_strv_trunc(buf, 8, "aaaaa", "bbbbb", (char *)nullptr), 8);
    EXPECT_EQ(std::string((char *)buf, 8), std::string("aaaaa\0b\0", 8));

    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(mem_add_strv(buf, 8, "aaaaa", "bbbbb", (char *)nullptr), -1);
    EXPECT_EQ(mem_add_strv(buf, 8, "abc", "def", (char *)nullptr), 8); // exactly full
    EXPECT_EQ(std::string((char *)buf, 8), std::string("abc\0def\0", 8));
    EXPECT_EQ(mem_add_strv(buf, 8, "abc", "def", "", (char *)nullptr), -1); // nothing left for the third
    EXPECT_EQ(mem_add_strv(buf, 8, (char *)nullptr), 0);

    mem_bufv_t pieces[] = {{"12345", 5}, {"6789", 4}};
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(mem_add_bufv(buf, 8, pieces, 2), -1);
    EXPECT_EQ(mem_add_bufv_trunc(buf, 8, pieces, 2), 8);
    EXPECT_EQ(std::string((char *)buf, 8), std::string("1234567\0", 8));
    EXPECT_EQ(mem_add_bufv(buf, 8, pieces, 1), 5);
}

TEST(Mem, ParrayBasics)
{
    int x[4];
    mem_parray_t a = {};
    a.flags = MEM_PARRAY_F_UNIQUE;
    ASSERT_EQ(mem_parray_init(&a), 0);
    EXPECT_EQ(a.capacity, 16u);
    uint64_t idx = 99;
    EXPECT_EQ(mem_parray_add2(&a, &x[0], &idx), 0);
    EXPECT_EQ(idx, 0u);
    EXPECT_EQ(mem_parray_add(&a, &x[1]), 0);
    EXPECT_EQ(mem_parray_add(&a, &x[0]), 0); // refused: already there
    EXPECT_EQ(a.count, 2u);
    EXPECT_EQ(mem_parray_add(&a, &x[2]), 0);
    EXPECT_EQ(mem_parray_add(&a, &x[3]), 0);

    void *old = nullptr;
    EXPECT_EQ(mem_parray_del2(&a, 1, &old), 0);
    EXPECT_EQ(old, &x[1]);
    EXPECT_EQ(mem_parray_del(&a, 3), -1);
    EXPECT_EQ(mem_parray_get(&a, 1), &x[2]);
    EXPECT_EQ(mem_parray_get(&a, 3), nullptr);
    EXPECT_EQ(mem_parray_remove(&a, &x[2]), 1);
    EXPECT_EQ(mem_parray_remove(&a, &x[2]), -1);
    EXPECT_EQ(mem_parray_index(&a, &x[3]), 1);
    EXPECT_EQ(mem_parray_set(&a, 1, &x[1]), 0);
    EXPECT_EQ(mem_parray_set(&a, 2, &x[1]), -1);
    EXPECT_EQ(mem_parray_remove_first(&a, 1), 0);
    EXPECT_EQ(a.count, 1u);
    EXPECT_EQ(mem_parray_get(&a, 0), &x[1]);
    EXPECT_EQ(mem_parray_remove_first(&a, 5), 0);
    EXPECT_EQ(a.count, 0u);

    EXPECT_EQ(mem_parray_reserve(&a, 100), 0);
    EXPECT_EQ(a.capacity, 100u);
    EXPECT_EQ(mem_parray_reserve(&a, 10), 0);
    EXPECT_EQ(a.capacity, 100u);

    // Growth past the first 16 keeps every pointer in order.
    a.flags = 0;
    mem_parray_clear(&a);
    ASSERT_EQ(mem_parray_reset(&a), 0);
    for (uintptr_t i = 1; i <= 40; ++i)
        ASSERT_EQ(mem_parray_add(&a, (void *)i), 0);
    EXPECT_EQ(a.capacity, 64u);
    for (uintptr_t i = 0; i < 40; ++i)
        EXPECT_EQ(mem_parray_get(&a, i), (void *)(i + 1));
    mem_parray_exit(&a);
    EXPECT_EQ(a.data, nullptr);
}

TEST(Mem, LockedParrayAndSlotsTakeConcurrentAdds)
{
    mem_parray_t a = {};
    a.use_lock = 1;
    mem_slots_t t = {};
    t.use_lock = 1;
    ASSERT_EQ(mem_parray_init(&a), 0);
    ASSERT_EQ(mem_slots_init(&t), 0);
    std::vector<std::thread> th;
    for (uintptr_t k = 0; k < 4; ++k)
        th.emplace_back([&, k] {
            for (uintptr_t i = 1; i <= 500; ++i) {
                mem_parray_add(&a, (void *)(k * 1000 + i));
                uint64_t ix;
                mem_slots_add2(&t, (void *)(k * 1000 + i), &ix);
                if (i % 2)
                    mem_slots_del_nocopy(&t, ix);
            }
        });
    for (auto &x : th)
        x.join();
    EXPECT_EQ(a.count, 2000u);
    uint64_t used = 0;
    for (uint64_t i = 0; i < t.high; ++i)
        used += mem_slots_get(&t, i) != nullptr;
    EXPECT_EQ(used, 1000u);
    mem_parray_exit(&a);
    mem_slots_exit(&t);
}

TEST(Mem, SlotsKeepIndexesAndReuseFreedOnes)
{
    mem_slots_t t = {};
    ASSERT_EQ(mem_slots_init(&t), 0);
    static int x[20];
    uint64_t idx = 0;
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(mem_slots_add2(&t, &x[i], &idx), 0);
        EXPECT_EQ(idx, (uint64_t)i);
    }
    EXPECT_EQ(t.capacity, 16u);
    ASSERT_EQ(mem_slots_add2(&t, &x[16], &idx), 0);
    EXPECT_EQ(idx, 16u);
    EXPECT_EQ(t.capacity, 32u);
    EXPECT_EQ(t.high, 17u);

    void *old = nullptr;
    EXPECT_EQ(mem_slots_del(&t, 3, &old), 0);
    EXPECT_EQ(old, &x[3]);
    EXPECT_EQ(mem_slots_get(&t, 3), nullptr);
    EXPECT_EQ(mem_slots_get(&t, 4), &x[4]); // neighbours do not move
    ASSERT_EQ(mem_slots_add2(&t, &x[17], &idx), 0);
    EXPECT_EQ(idx, 3u);

    EXPECT_EQ(mem_slots_del(&t, 17, &old), -1); // at the mark
    EXPECT_EQ(mem_slots_get(&t, 20), nullptr);
    EXPECT_EQ(mem_slots_set(&t, 16, &x[18]), 0);
    EXPECT_EQ(mem_slots_set(&t, 17, &x[18]), -1);
    EXPECT_EQ(mem_slots_index(&t, &x[18]), 16);
    EXPECT_EQ(mem_slots_remove(&t, &x[18]), 0);
    EXPECT_EQ(mem_slots_remove(&t, &x[18]), -1);
    EXPECT_EQ(t.high, 17u); // the mark is never lowered
    EXPECT_EQ(mem_slots_add(&t, nullptr), -1);
    EXPECT_EQ(mem_slots_reserve(&t, 100), 0);
    EXPECT_EQ(t.capacity, 100u);
    mem_slots_exit(&t);
}

TEST(Mem, BufGrowthAndTermination)
{
    mem_buf_t b;
    mem_buf_zero(&b);
    std::string big(5000, 'q');
    ASSERT_EQ(mem_buf_append(&b, big.data(), big.size()), 0);
    EXPECT_EQ(b.cap, 12288u);
    EXPECT_EQ(b.len, 5000u);
    EXPECT_EQ(b.data[5000], 0);
    ASSERT_EQ(mem_buf_append(&b, "xyz", 3), 0);
    EXPECT_EQ(std::string((char *)b.data + 4998), "qqxyz");
    mem_buf_reset(&b);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ((char *)b.data, "");
    EXPECT_EQ(b.cap, 12288u);
    ASSERT_EQ(mem_buf_set_len(&b, 20000), 0);
    EXPECT_EQ(b.len, 20000u);
    EXPECT_GE(b.cap, 20001u);
    EXPECT_EQ(b.cap % 4096, 0u);
    mem_buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);

    ASSERT_EQ(mem_buf_init(&b, 1), 0);
    EXPECT_EQ(b.cap, 4096u);
    EXPECT_EQ(mem_buf_reserve(&b, 4097), 0);
    EXPECT_EQ(b.cap, 8192u);
    // Many small appends keep every byte and the terminator.
    std::string want;
    for (int i = 0; i < 3000; ++i) {
        char piece[16];
        int n = snprintf(piece, sizeof(piece), "%d,", i);
        want += piece;
        ASSERT_EQ(mem_buf_append(&b, piece, (uint64_t)n), 0);
    }
    EXPECT_EQ(std::string((char *)b.data), want);

    HookGuard g;
    s_fail_alloc = 1;
    uint64_t len = b.len;
    std::string more(b.cap, 'z');
    EXPECT_EQ(mem_buf_append(&b, more.data(), more.size()), -1);
    s_fail_alloc = 0;
    EXPECT_EQ(b.len, len);
    EXPECT_EQ(std::string((char *)b.data), want);
    mem_buf_free(&b);
}

namespace {
struct counters {
    int allocs = 0, frees = 0;
};
void on_alloc(void *, void *u) { ((counters *)u)->allocs++; }
void on_free(void *, void *u) { ((counters *)u)->frees++; }
} // namespace

TEST(Mem, LbufBlocks)
{
    counters c;
    lbuf_cfg_t cfg = {"test", on_alloc, on_free, &c, 0};
    lbuf_t *lb = lbuf_init(&cfg);
    ASSERT_NE(lb, nullptr);
    EXPECT_STREQ(lb->name, "test");

    char *a = (char *)lbuf_malloc(lb, 10);
    char *z = (char *)lbuf_malloc0(lb, 64, 1);
    ASSERT_TRUE(a && z);
    EXPECT_EQ((uintptr_t)a % 16, 0u);
    EXPECT_EQ(lbuf_size(z), 64u);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(z[i], 0);
    EXPECT_EQ(c.allocs, 2);
    EXPECT_EQ(lbuf_owns(lb, a), 1);
    EXPECT_EQ(lbuf_owns(lb, a + 1), 0);

    memcpy(a, "123456789", 10);
    EXPECT_EQ(lbuf_realloc(lb, a, 4), a);
    char *b = (char *)lbuf_realloc(lb, a, 100);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "123456789");
    EXPECT_EQ(lbuf_owns(lb, a), b == a);
    EXPECT_EQ(lbuf_realloc(lb, b, 0), nullptr);
    EXPECT_EQ(lbuf_owns(lb, b), 0);

    char *s1 = lbuf_strdup(lb, "hello");
    char *s2 = lbuf_strndup(lb, "hello", 3);
    char *s3 = lbuf_sprintf(lb, "%s-%d", "n", 42);
    EXPECT_STREQ(s1, "hello");
    EXPECT_STREQ(s2, "hel");
    EXPECT_STREQ(s3, "n-42");

    // Allocation order: z, s1, s2, s3.
    lbuf_iter_t it;
    lbuf_iter_init(lb, &it);
    std::vector<void *> seen;
    for (void *p = lbuf_iter_next(&it); p; p = lbuf_iter_next(&it))
        seen.push_back(p);
    EXPECT_EQ(seen, (std::vector<void *>{z, s1, s2, s3}));

    lbuf_free(lb, nullptr);
    int frees = c.frees;
    lbuf_clear(lb);
    EXPECT_EQ(c.frees, frees + 4);
    lbuf_iter_init(lb, &it);
    EXPECT_EQ(lbuf_iter_next(&it), nullptr);
    lbuf_exit(lb);
}

TEST(Mem, LbufReallocFailureKeepsOldBlock)
{
    lbuf_t *lb = lbuf_init(nullptr);
    ASSERT_NE(lb, nullptr);
    char *a = lbuf_strdup(lb, "keep");
    HookGuard g;
    s_fail_alloc = 1;
    EXPECT_EQ(lbuf_realloc(lb, a, 1000), nullptr);
    s_fail_alloc = 0;
    EXPECT_EQ(lbuf_owns(lb, a), 1);
    EXPECT_STREQ(a, "keep");
    lbuf_exit(lb);
}

// The holder of lbuf_lock may keep using the lbuf; other threads wait.
TEST(Mem, LbufLockHolderMayCallInOthersWait)
{
    lbuf_t *lb = lbuf_init(nullptr);
    void *p = lbuf_malloc(lb, 8);
    std::atomic<int> freed{0};
    lbuf_lock(lb);
    void *q = lbuf_malloc(lb, 8);
    EXPECT_EQ(lbuf_owns(lb, q), 1);
    lbuf_free(lb, q);
    std::thread t([&] {
        lbuf_free(lb, p);
        freed = 1;
    });
    for (int i = 0; i < 20; ++i) {
        std::this_thread::yield();
        EXPECT_EQ(freed.load(), 0);
    }
    lbuf_unlock(lb);
    t.join();
    EXPECT_EQ(freed.load(), 1);
    EXPECT_EQ(lbuf_owns(lb, p), 0);
    lbuf_exit(lb);
}

TEST(Mem, SlabAndPoolManagers)
{
    mem_alloc_mgr_t *slab = mem_slab_mgr_init(0, nullptr, 40);
    ASSERT_NE(slab, nullptr);
    void *n1 = mem_mgr_alloc(slab);
    ASSERT_NE(n1, nullptr);
    EXPECT_EQ(lbuf_size(n1), 40u);
    mem_mgr_free(slab, n1);
    EXPECT_EQ(lbuf_owns(slab->lb, n1), 0);
    mem_mgr_alloc(slab);
    mem_mgr_clear(slab);
    lbuf_iter_t it;
    lbuf_iter_init(slab->lb, &it);
    EXPECT_EQ(lbuf_iter_next(&it), nullptr);
    mem_mgr_destroy(slab);

    mem_alloc_mgr_t *pool = mem_pool_mgr_init(0, nullptr);
    ASSERT_NE(pool, nullptr);
    void *p = mem_pool_alloc(pool, 123);
    EXPECT_EQ(lbuf_size(p), 123u);
    EXPECT_STREQ(mem_pool_strdup(pool, "pooled"), "pooled");
    mem_pool_free(pool, p);
    mem_mgr_destroy(pool);

    // A slab without an item size refuses.
    lbuf_t *lb = lbuf_init(nullptr);
    EXPECT_EQ(lbuf_slab_malloc(lb), nullptr);
    lbuf_exit(lb);
}

TEST(Mem, FatalMisuse)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(mem_pool_mgr_init(1, nullptr), "expr\\[0\\]: assert failed");
    EXPECT_DEATH(lbuf_iter_next(nullptr), "expr\\[iter != NULL\\]: assert failed");
}
