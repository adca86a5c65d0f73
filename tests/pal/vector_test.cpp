// Typed dynamic arrays and the intrusive list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <random>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/utils/pl_list.h"
#include "libpal/utils/pl_vector.h"

namespace {

// Every element from count up to and including capacity must read as zero.
template <typename V> void expect_zero_tail(const V *a)
{
    for (uint64_t i = a->count; i <= a->capacity; ++i)
        EXPECT_EQ(a->data[i], std::remove_reference_t<decltype(a->data[0])>{}) << "index " << i;
}

template <typename V> std::vector<uint64_t> u64_items(const V *a)
{
    return std::vector<uint64_t>(a->data, a->data + a->count);
}

u64_vector_t *u64_of(std::initializer_list<uint64_t> vals)
{
    u64_vector_t *a = u64_vector_new(0);
    for (uint64_t v : vals)
        EXPECT_EQ(u64_vector_push_back(a, v), 0);
    return a;
}


} // namespace

TEST(Vector, NewGrowsByDoublingAndKeepsZeroTail)
{
    ptr_vector_t *a = ptr_vector_new(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->capacity, 8u);
    static int cells[9];
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(ptr_vector_push_back(a, &cells[i]), 0);
    EXPECT_EQ(a->count, 9u);
    EXPECT_EQ(a->capacity, 16u);
    EXPECT_EQ(a->data[9], nullptr);
    expect_zero_tail(a);
    EXPECT_EQ(ptr_vector_index_of(a, &cells[4]), 4);
    EXPECT_EQ(ptr_vector_index_of(a, nullptr), -1);
    ptr_vector_free(a);
}

TEST(Vector, EraseCases)
{
    static int c[5];
    struct Case {
        const char *what;
        int n;             // elements before
        uint64_t index;
        uint64_t count;    // 0: erase, else erase_n with this count
        int ret;
        uint64_t left;
    } cases[] = {
        {"erase last via all bits", 3, PL_VECTOR_ALL, 0, 0, 2},
        {"erase on empty", 0, 0, 0, 0, 0},
        {"erase past end", 3, 5, 0, -1, 3},
        {"erase at count", 3, 3, 0, -1, 3},
        {"erase_n to the end", 5, 1, PL_VECTOR_ALL, 0, 1},
        {"erase_n middle", 5, 1, 2, 0, 3},
        {"erase_n past the end fails", 5, 7, 1, -1, 5},
        {"erase_n at count fails", 5, 5, 1, -1, 5},
        {"erase_n all from 0", 5, 0, PL_VECTOR_ALL, 0, 0},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.what);
        ptr_vector_t *a = ptr_vector_new(4);
        for (int i = 0; i < k.n; ++i)
            ptr_vector_push_back(a, &c[i]);
        int r = k.count ? ptr_vector_erase_n(a, k.index, k.count) : ptr_vector_erase(a, k.index);
        EXPECT_EQ(r, k.ret);
        EXPECT_EQ(a->count, k.left);
        expect_zero_tail(a);
        ptr_vector_free(a);
    }
    // What is left after removing the middle two of five keeps its order.
    ptr_vector_t *a = ptr_vector_new(0);
    for (int i = 0; i < 5; ++i)
        ptr_vector_push_back(a, &c[i]);
    ASSERT_EQ(ptr_vector_erase_n(a, 1, 2), 0);
    EXPECT_EQ(a->data[0], &c[0]);
    EXPECT_EQ(a->data[1], &c[3]);
    EXPECT_EQ(a->data[2], &c[4]);
    ptr_vector_free(a);
}

TEST(Vector, InsertRemoveClear)
{
    u64_vector_t *a = u64_of({10, 20, 30});
    EXPECT_EQ(u64_vector_insert(a, 0, 5), 0);
    EXPECT_EQ(u64_vector_insert(a, 4, 40), 0); // at count: appends
    EXPECT_EQ(u64_vector_insert(a, 6, 99), -1);
    EXPECT_EQ(u64_items(a), (std::vector<uint64_t>{5, 10, 20, 30, 40}));

    u64_vector_t *d = u64_of({7, 3, 9, 3, 1});
    EXPECT_EQ(u64_vector_remove(d, 3), 1);
    EXPECT_EQ(u64_items(d), (std::vector<uint64_t>{7, 9, 3, 1}));
    EXPECT_EQ(u64_vector_remove(d, 42), -1);
    expect_zero_tail(d);

    uint64_t cap = a->capacity;
    u64_vector_clear(a);
    EXPECT_EQ(a->count, 0u);
    EXPECT_EQ(a->capacity, cap);
    expect_zero_tail(a);
    u64_vector_free(a);
    u64_vector_free(d);
}

TEST(Vector, UniqZeroesFreedElements)
{
    u64_vector_t *a = u64_of({1, 1, 2, 2, 2, 3});
    u64_vector_uniq(a);
    EXPECT_EQ(u64_items(a), (std::vector<uint64_t>{1, 2, 3}));
    for (int i = 3; i < 6; ++i)
        EXPECT_EQ(a->data[i], 0u);
    u64_vector_free(a);
}

TEST(Vector, SortOrderTable)
{
    struct Case {
        std::vector<uint64_t> v;
        int order;
    } cases[] = {
        {{1, 2, 2, 3}, 2}, {{3, 3, 1}, 3}, {{1, 3, 2}, 0}, {{5, 5}, 1}, {{}, 1}, {{4}, 1},
    };
    for (auto &k : cases) {
        u64_vector_t *a = u64_vector_new(0);
        for (auto v : k.v)
            u64_vector_push_back(a, v);
        EXPECT_EQ(u64_vector_sort_order(a), k.order);
        u64_vector_free(a);
    }
}

// Unsigned order for u64 (values above 2^63 sort last), signed order for
// int, and the u16 and u32 members, ascending and descending, as std::sort
// orders them.
TEST(Vector, SortMatchesStd)
{
    std::mt19937_64 rng(7);
    u64_vector_t *u = u64_vector_new(0);
    int_vector_t *s = int_vector_new(0);
    u16_vector_t *h = u16_vector_new(0);
    u32_vector_t *w = u32_vector_new(0);
    std::vector<uint64_t> ru;
    std::vector<int32_t> rs;
    std::vector<uint16_t> rh;
    std::vector<uint32_t> rw;
    for (int i = 0; i < 2000; ++i) {
        uint64_t v = rng() ^ ((uint64_t)(i % 3) << 63);
        u64_vector_push_back(u, v);
        ru.push_back(v);
        int32_t x = (int32_t)(rng() % 2001) - 1000;
        int_vector_push_back(s, x);
        rs.push_back(x);
        uint16_t y = (uint16_t)(rng() % 700 * 90); // duplicates, some above 32767
        u16_vector_push_back(h, y);
        rh.push_back(y);
        uint32_t z = (uint32_t)rng();
        u32_vector_push_back(w, z);
        rw.push_back(z);
    }
    for (bool rev : {false, true}) {
        SCOPED_TRACE(rev ? "descending" : "ascending");
        u64_vector_sort(u, rev);
        int_vector_sort(s, rev);
        u16_vector_sort(h, rev);
        u32_vector_sort(w, rev);
        auto order = [rev](auto &v) {
            std::sort(v.begin(), v.end());
            if (rev)
                std::reverse(v.begin(), v.end());
        };
        order(ru);
        order(rs);
        order(rh);
        order(rw);
        EXPECT_EQ(std::vector<uint64_t>(u->data, u->data + u->count), ru);
        EXPECT_EQ(std::vector<int32_t>(s->data, s->data + s->count), rs);
        EXPECT_EQ(std::vector<uint16_t>(h->data, h->data + h->count), rh);
        EXPECT_EQ(std::vector<uint32_t>(w->data, w->data + w->count), rw);
        EXPECT_EQ(u64_vector_sort_order(u), rev ? 3 : 2);
        EXPECT_EQ(u16_vector_sort_order(h), rev ? 3 : 2);
        EXPECT_EQ(u32_vector_sort_order(w), rev ? 3 : 2);
    }
    // the u16 member de-duplicates like std::unique
    u16_vector_uniq(h);
    rh.erase(std::unique(rh.begin(), rh.end()), rh.end());
    EXPECT_EQ(std::vector<uint16_t>(h->data, h->data + h->count), rh);
    EXPECT_EQ(h->data[h->count], 0);
    u64_vector_free(u);
    int_vector_free(s);
    u16_vector_free(h);
    u32_vector_free(w);
}

// Every member sorts and searches, the u16 and u32 ones included.
TEST(Vector, FindOnEveryMember)
{
    u8_vector_t *b = u8_vector_new(0);
    u16_vector_t *h = u16_vector_new(0);
    u32_vector_t *w = u32_vector_new(0);
    int_vector_t *i = int_vector_new(0);
    for (int v : {200, 3, 77, 255, 0, 128}) {
        u8_vector_push_back(b, (uint8_t)v);
        u16_vector_push_back(h, (uint16_t)(v * 250));
        u32_vector_push_back(w, (uint32_t)v * 16000000u);
        int_vector_push_back(i, v - 100);
    }
    u8_vector_sort(b, 0);
    u16_vector_sort(h, 0);
    u32_vector_sort(w, 0);
    int_vector_sort(i, 0);
    EXPECT_EQ(u8_vector_sort_order(b), 2);
    EXPECT_EQ(b->data[5], 255);
    EXPECT_EQ(h->data[5], 255 * 250);
    EXPECT_EQ(w->data[5], 255u * 16000000u);
    EXPECT_EQ(i->data[0], -100);
    EXPECT_EQ(u8_vector_find(b, 128), 3);
    EXPECT_EQ(u16_vector_find(h, 77 * 250), 2);
    EXPECT_EQ(u32_vector_find(w, 200u * 16000000u), 4);
    EXPECT_EQ(int_vector_find(i, -23), 2);
    EXPECT_EQ(u8_vector_find(b, 1), -1);
    EXPECT_EQ(u16_vector_find(h, 1), -1);
    EXPECT_EQ(u32_vector_find(w, 1), -1);
    EXPECT_EQ(int_vector_find(i, 1000), -1);
    u8_vector_free(b);
    u16_vector_free(h);
    u32_vector_free(w);
    int_vector_free(i);

    u64_vector_t *e = u64_vector_new(0);
    EXPECT_EQ(u64_vector_find(e, 1), -1);
    for (uint64_t v = 0; v < 50; ++v)
        u64_vector_push_back(e, v * 2);
    for (uint64_t v = 0; v < 100; ++v)
        EXPECT_EQ(u64_vector_find(e, v), v % 2 ? -1 : (int64_t)(v / 2)) << v;
    u64_vector_free(e);
}

TEST(Vector, SortWithCallerComparator)
{
    static const char *words[] = {"pear", "apple", "fig", "banana"};
    ptr_vector_t *a = ptr_vector_new(0);
    for (auto w : words)
        ptr_vector_push_back(a, (void *)w);
    ptr_vector_sort_with(a, [](const void *x, const void *y) {
        return strcmp(*(const char *const *)x, *(const char *const *)y);
    });
    EXPECT_STREQ((const char *)a->data[0], "apple");
    EXPECT_STREQ((const char *)a->data[3], "pear");
    ptr_vector_free(a);
}

namespace {
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

TEST(Vector, AllocationFailureLeavesArrayIntact)
{
    HookGuard g;
    u64_vector_t *a = u64_vector_new(2);
    ASSERT_NE(a, nullptr);
    u64_vector_push_back(a, 1);
    u64_vector_push_back(a, 2);
    s_fail_alloc = 1;
    EXPECT_EQ(u64_vector_new(0), nullptr);
    EXPECT_EQ(u64_vector_push_back(a, 3), -1);
    EXPECT_EQ(u64_vector_insert(a, 0, 3), -1);
    s_fail_alloc = 0;
    EXPECT_EQ(u64_items(a), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(a->capacity, 2u);
    EXPECT_EQ(u64_vector_push_back(a, 3), 0);
    EXPECT_EQ(a->capacity, 4u);
    u64_vector_free(a);
}

// ---- intrusive list ---------------------------------------------------------

namespace {
struct item {
    int v;
    list_node link;
};
std::vector<int> values(list_node *h)
{
    std::vector<int> out;
    for (list_node *n = h->next; n != h; n = n->next)
        out.push_back(list_entry(n, item, link)->v);
    return out;
}
} // namespace

TEST(List, AddPopMove)
{
    list_node a, b;
    list_init(&a);
    list_init(&b);
    EXPECT_EQ(list_pop_first(&a, offsetof(item, link)), nullptr);
    item it[6];
    for (int i = 0; i < 6; ++i) {
        it[i].v = i;
        list_add_tail(i < 3 ? &a : &b, &it[i].link);
    }
    list_node empty;
    list_init(&empty);
    list_move_all_tail(&a, &empty);
    EXPECT_EQ(values(&a), (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(list_empty(&empty));

    list_move_all_tail(&a, &b);
    EXPECT_EQ(values(&a), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(list_empty(&b));
    EXPECT_EQ(list_verify(&a, "a"), &a);

    item *first = (item *)list_pop_first(&a, offsetof(item, link));
    ASSERT_EQ(first, &it[0]);
    EXPECT_EQ(first->link.next, &first->link); // unlinked and self-pointing
    list_add_tail(&b, &first->link);
    list_move_all_head(&b, &a);
    EXPECT_EQ(values(&b), (std::vector<int>{1, 2, 3, 4, 5, 0}));
    EXPECT_TRUE(list_empty(&a));

    list_del_from(&b, &it[3].link);
    list_del_init(&it[4].link);
    EXPECT_EQ(values(&b), (std::vector<int>{1, 2, 5, 0}));
    EXPECT_EQ(list_verify(&b, nullptr), &b);
}

TEST(List, VerifyFindsBrokenBackLink)
{
    list_node h;
    list_init(&h);
    item it[3];
    for (auto &x : it)
        list_add_tail(&h, &x.link);
    it[1].link.prev = &h; // damaged
    EXPECT_EQ(list_verify(&h, nullptr), nullptr);
    EXPECT_EQ(list_verify_node(&it[0].link, nullptr), nullptr);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(list_verify(&h, "vfs_list"), "vfs_list: prev corrupt in node 0x[0-9a-f]+ \\(2\\) of");
    // The head's own back link is the last test, reported as position 0.
    it[1].link.prev = &it[0].link;
    h.prev = &it[1].link;
    EXPECT_EQ(list_verify(&h, nullptr), nullptr);
    EXPECT_DEATH(list_verify(&h, "x"), "x: prev corrupt in node 0x[0-9a-f]+ \\(0\\) of");
}

TEST(List, DelFromEmptyListStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    list_node h, n;
    list_init(&h);
    list_init(&n);
    EXPECT_DEATH(list_del_from(&h, &n), "expr\\[!list_empty\\(h\\)\\]: assert failed");
}
