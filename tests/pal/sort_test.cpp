// Sorting, searching and the comparator tables: every algorithm against
// std::sort on many shapes and sizes, TimSort against std::stable_sort, the
// searches against their std:: counterparts, and the edge cases as tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/utils/pl_sort.h"
#include "libpal/value/pl_value.h"
#include "test_util.h"

namespace {

// ---- elements of any size, ordered by a key ----------------------------------
// The key is written big-endian into the first bytes (at most 8) and the
// other bytes are a function of it, so memcmp orders elements by key and
// equal keys make identical elements: any correct sort gives one answer.
struct ElemArray {
    size_t size;
    std::vector<uint8_t> bytes;
    ElemArray(size_t esize, const std::vector<uint64_t> &keys) : size(esize), bytes(esize * keys.size())
    {
        for (size_t i = 0; i < keys.size(); ++i)
            encode(&bytes[i * size], keys[i]);
    }
    void encode(uint8_t *p, uint64_t key) const
    {
        size_t kb = std::min<size_t>(size, 8);
        for (size_t j = 0; j < kb; ++j)
            p[j] = (uint8_t)(key >> (8 * (kb - 1 - j)));
        for (size_t j = kb; j < size; ++j)
            p[j] = (uint8_t)(key * 31 + j);
    }
    // Keys that fit the element's key bytes.
    uint64_t mask() const { return size >= 8 ? UINT64_MAX : ((uint64_t)1 << (8 * size)) - 1; }
};

struct Counter {
    size_t size;
    uint64_t calls = 0;
};
int cmp_bytes(const void *a, const void *b, void *ctx)
{
    Counter *c = (Counter *)ctx;
    ++c->calls;
    int r = memcmp(a, b, c->size);
    return r < 0 ? -1 : r > 0;
}

enum Shape { RANDOM, SORTED, REVERSED, EQUAL, SAWTOOTH };
const char *shape_name(int s)
{
    static const char *n[] = {"random", "sorted", "reversed", "equal", "sawtooth"};
    return n[s];
}

std::vector<uint64_t> make_keys(int shape, size_t n, uint64_t mask, uint32_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> k(n);
    for (size_t i = 0; i < n; ++i) {
        switch (shape) {
        case RANDOM: // plenty of duplicates at every size
            k[i] = rng() % (n / 2 + 3);
            break;
        case SORTED:
            k[i] = i;
            break;
        case REVERSED:
            k[i] = n - i;
            break;
        case EQUAL:
            k[i] = 42;
            break;
        default:
            k[i] = i % 37;
            break;
        }
        k[i] &= mask;
    }
    if (shape == SORTED) // masking may have wrapped small elements
        std::sort(k.begin(), k.end());
    if (shape == REVERSED)
        std::sort(k.rbegin(), k.rend());
    return k;
}

const size_t kSizes[] = {0, 1, 2, 9, 10, 31, 32, 33, 511, 512, 1000, 100000};

class SortProperty : public ::testing::TestWithParam<std::tuple<int, int>>
{
};

// Each algorithm and element size on every shape and size gives what
// std::sort gives.
TEST_P(SortProperty, MatchesStdSort)
{
    const int alg = std::get<0>(GetParam());
    const size_t esize = (size_t)std::get<1>(GetParam());
    for (size_t n : kSizes) {
        for (int shape = RANDOM; shape <= SAWTOOTH; ++shape) {
            const uint32_t seed = (uint32_t)(alg * 1000003 + esize * 10007 + n * 31 + shape);
            SCOPED_TRACE("algorithm " + std::to_string(alg) + " size " + std::to_string(esize) + " n " +
                         std::to_string(n) + " " + shape_name(shape) + " seed " + std::to_string(seed));
            ElemArray arr(esize, {});
            auto keys = make_keys(shape, n, arr.mask(), seed);
            arr = ElemArray(esize, keys);
            std::sort(keys.begin(), keys.end());
            ElemArray want(esize, keys);
            Counter c{esize};
            ASSERT_EQ(pl_qsort_r(alg, arr.bytes.data(), n, esize, cmp_bytes, &c), 0);
            ASSERT_TRUE(arr.bytes == want.bytes);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllAlgorithms, SortProperty,
                         ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Values(1, 2, 4, 8, 16, 24)),
                         [](const auto &info) {
                             return "alg" + std::to_string(std::get<0>(info.param)) + "_size" +
                                    std::to_string(std::get<1>(info.param));
                         });

// TimSort keeps records of equal keys in their input order: (key 0..9,
// sequence) records sorted by key equal std::stable_sort, for each of its
// element-size variants.
TEST(Sort, TimSortIsStable)
{
    for (size_t rsize : {4u, 8u, 12u, 16u}) {
        for (size_t n : {2u, 31u, 32u, 100u, 1000u, 100000u}) {
            const uint32_t seed = (uint32_t)(rsize * 7919 + n);
            SCOPED_TRACE("record size " + std::to_string(rsize) + " n " + std::to_string(n) + " seed " +
                         std::to_string(seed));
            std::mt19937 rng(seed);
            // key in the first byte, the sequence number in the next bytes
            std::vector<std::vector<uint8_t>> recs(n, std::vector<uint8_t>(rsize));
            for (size_t i = 0; i < n; ++i) {
                recs[i][0] = (uint8_t)(rng() % 10);
                for (size_t j = 1; j < rsize && j < 5; ++j)
                    recs[i][j] = (uint8_t)(i >> (8 * (j - 1)));
            }
            std::vector<uint8_t> flat;
            for (auto &r : recs)
                flat.insert(flat.end(), r.begin(), r.end());
            std::stable_sort(recs.begin(), recs.end(), [](auto &a, auto &b) { return a[0] < b[0]; });
            std::vector<uint8_t> want;
            for (auto &r : recs)
                want.insert(want.end(), r.begin(), r.end());
            Counter c{1}; // compares the key byte only
            ASSERT_EQ(pl_qsort_r(PL_SORT_TIM, flat.data(), n, rsize, cmp_bytes, &c), 0);
            ASSERT_TRUE(flat == want);
        }
    }
}

int cmp_int_counted(const void *a, const void *b, void *ctx)
{
    ++*(uint64_t *)ctx;
    int x = *(const int *)a, y = *(const int *)b;
    return x < y ? -1 : x > y;
}

// Existing runs cost about one comparison per element: a strictly descending
// array of 100 is one run, reversed with 99 comparisons; an ascending one
// likewise. All-equal data ends the three-way quicksort after one partition.
TEST(Sort, ComparisonCounts)
{
    std::vector<int> v(100);
    for (int i = 0; i < 100; ++i)
        v[(size_t)i] = 100 - i;
    uint64_t calls = 0;
    ASSERT_EQ(pl_qsort_r(PL_SORT_TIM, v.data(), v.size(), sizeof(int), cmp_int_counted, &calls), 0);
    EXPECT_EQ(calls, 99u);
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    calls = 0;
    ASSERT_EQ(pl_qsort_r(PL_SORT_TIM, v.data(), v.size(), sizeof(int), cmp_int_counted, &calls), 0);
    EXPECT_EQ(calls, 99u);

    std::vector<int> eq(1000, 5);
    calls = 0;
    ASSERT_EQ(pl_qsort_r(PL_SORT_QUICK3, eq.data(), eq.size(), sizeof(int), cmp_int_counted, &calls), 0);
    EXPECT_LE(calls, 1000u + 3u); // median of three, then one pass
}

// An unknown algorithm is an error, not the end of the program.
TEST(Sort, UnknownAlgorithmAndBadArguments)
{
    zk_test::log_capture cap;
    int v[3] = {3, 1, 2};
    uint64_t calls = 0;
    EXPECT_EQ(pl_qsort_r(7, v, 3, sizeof(int), cmp_int_counted, &calls), -1);
    EXPECT_TRUE(cap.has("type=7 invalid type"));
    EXPECT_EQ(pl_qsort_r(-1, v, 3, sizeof(int), cmp_int_counted, &calls), -1);
    EXPECT_EQ(v[0], 3);
    // algorithm 0 leaves the order
    EXPECT_EQ(pl_qsort_r(PL_SORT_NONE, v, 3, sizeof(int), cmp_int_counted, &calls), 0);
    EXPECT_EQ(v[0], 3);
    EXPECT_EQ(calls, 0u);
    EXPECT_EQ(pl_qsort_r(PL_SORT_QUICK3, nullptr, 3, sizeof(int), cmp_int_counted, &calls), -1);
    EXPECT_EQ(pl_qsort_r(PL_SORT_QUICK3, v, 3, sizeof(int), nullptr, nullptr), -1);
    EXPECT_EQ(pl_qsort_r(PL_SORT_QUICK3, nullptr, 0, sizeof(int), cmp_int_counted, &calls), 0);
}

// A comparator that is no ordering at all: no algorithm reads or writes
// outside the array (the sanitizer build watches), and whatever the result,
// the array still holds every element; TimSort may say EINVAL.
int cmp_random(const void *, const void *, void *ctx)
{
    auto *rng = (std::mt19937 *)ctx;
    return (int)((*rng)() % 3) - 1;
}

TEST(Sort, InconsistentComparatorKeepsElements)
{
    for (int alg = 1; alg <= 3; ++alg) {
        for (size_t n : {5u, 40u, 700u, 5000u}) {
            for (size_t esize : {4u, 8u, 24u}) {
                const uint32_t seed = (uint32_t)(alg * 131 + n + esize);
                SCOPED_TRACE("algorithm " + std::to_string(alg) + " n " + std::to_string(n) + " size " +
                             std::to_string(esize) + " seed " + std::to_string(seed));
                std::vector<uint64_t> keys(n);
                for (size_t i = 0; i < n; ++i)
                    keys[i] = i;
                ElemArray arr(esize, keys);
                std::mt19937 rng(seed);
                errno = 0;
                int r = pl_qsort_r(alg, arr.bytes.data(), n, esize, cmp_random, &rng);
                EXPECT_TRUE(r == 0 || (alg == 3 && r == -1 && errno == EINVAL));
                // a permutation of the input: sort it properly and compare
                Counter c{esize};
                ASSERT_EQ(pl_qsort_r(PL_SORT_QUICK3, arr.bytes.data(), n, esize, cmp_bytes, &c), 0);
                ASSERT_TRUE(arr.bytes == ElemArray(esize, keys).bytes);
            }
        }
    }
}

// TimSort's merge buffer cannot be had: -1 with ENOMEM and every element
// still in the array, whether the first buffer fails (nothing moved) or a
// later growth of it.
int s_allocs_left = -1;
void *counting_malloc(size_t n)
{
    if (s_allocs_left == 0)
        return nullptr;
    if (s_allocs_left > 0)
        --s_allocs_left;
    return malloc(n);
}
void *counting_realloc(void *p, size_t n) { return s_allocs_left == 0 ? nullptr : realloc(p, n); }
struct AllocGuard {
    explicit AllocGuard(int allowed)
    {
        s_allocs_left = allowed;
        pl_malloc_init(counting_malloc, counting_realloc, free);
    }
    ~AllocGuard()
    {
        s_allocs_left = -1;
        pl_malloc_init(_malloc, _realloc, free);
    }
};

TEST(Sort, TimSortAllocationFailureKeepsElements)
{
    zk_test::log_capture cap;
    const size_t n = 20000;
    std::vector<uint64_t> keys(n);
    std::mt19937_64 rng(99);
    for (auto &k : keys)
        k = rng();
    for (int allowed : {0, 1}) {
        SCOPED_TRACE("allocations allowed " + std::to_string(allowed));
        std::vector<uint64_t> v = keys;
        Counter c{8};
        int r;
        {
            AllocGuard g(allowed);
            errno = 0;
            r = pl_qsort_r(PL_SORT_TIM, v.data(), n, 8, cmp_bytes, &c);
        }
        EXPECT_EQ(r, -1);
        EXPECT_EQ(errno, ENOMEM);
        if (allowed == 0) {
            EXPECT_EQ(v, keys);
        }
        std::vector<uint64_t> a = v, b = keys;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b);
    }
}

int cmp2_int(const void *a, const void *b) { return cmp_i32p(a, b); }
int find_int(const void *key, const void *elem)
{
    int k = (int)(intptr_t)key, e = *(const int *)elem;
    return k < e ? -1 : k > e;
}

TEST(Sort, OrderUniqAndSearchTables)
{
    struct {
        std::vector<int> v;
        int order;
    } orders[] = {{{1, 2, 2, 3}, 2}, {{3, 3, 1}, 3}, {{1, 3, 2}, 0}, {{5, 5}, 1}, {{7}, 1}, {{}, 1}};
    for (auto &o : orders)
        EXPECT_EQ(pl_sort_order(o.v.data(), o.v.size(), sizeof(int), cmp2_int), o.order);

    std::vector<int> one = {9};
    EXPECT_EQ(pl_uniq(one.data(), 1, sizeof(int), cmp2_int), 1u);
    std::vector<int> pairs = {1, 1, 2, 2};
    ASSERT_EQ(pl_uniq(pairs.data(), 4, sizeof(int), cmp2_int), 2u);
    EXPECT_EQ(pairs[0], 1);
    EXPECT_EQ(pairs[1], 2);

    EXPECT_EQ(pl_bsearch((void *)1, nullptr, 0, sizeof(int), find_int), -1);
    EXPECT_EQ(pl_is_uniq(pairs.data(), 0, sizeof(int), cmp2_int), 1);
    std::vector<int> u = {4, 1, 3}, d = {4, 1, 4};
    EXPECT_EQ(pl_is_uniq(u.data(), 3, sizeof(int), cmp2_int), 1);
    EXPECT_EQ(pl_is_uniq(d.data(), 3, sizeof(int), cmp2_int), 0);
    EXPECT_EQ(u, (std::vector<int>{4, 1, 3})); // checked on a copy
}

size_t s_esize; // element size for the capture-less comparators below

// pl_uniq against std::unique; pl_bsearch, pl_lsearch and pl_count_equal
// against std::lower_bound, std::find and std::count, on random data of
// every element size the unique exchange treats apart.
TEST(Sort, UniqAndSearchesMatchStd)
{
    for (size_t esize : {1u, 2u, 4u, 8u, 16u, 24u}) {
        for (size_t n : {0u, 1u, 2u, 10u, 333u, 4000u}) {
            const uint32_t seed = (uint32_t)(esize * 100 + n);
            SCOPED_TRACE("size " + std::to_string(esize) + " n " + std::to_string(n) + " seed " + std::to_string(seed));
            std::mt19937 rng(seed);
            ElemArray arr(esize, {});
            std::vector<uint64_t> keys(n);
            for (auto &k : keys)
                k = (rng() % (n / 3 + 2)) & arr.mask();
            std::sort(keys.begin(), keys.end());
            arr = ElemArray(esize, keys);
            auto cmp = [](const void *a, const void *b) { return memcmp(a, b, s_esize); };
            s_esize = esize;
            std::vector<uint64_t> uk = keys;
            uk.erase(std::unique(uk.begin(), uk.end()), uk.end());
            ElemArray ua = arr;
            size_t m = pl_uniq(ua.bytes.data(), n, esize, cmp);
            ASSERT_EQ(m, uk.size());
            ASSERT_TRUE(std::equal(ua.bytes.begin(), ua.bytes.begin() + (ptrdiff_t)(m * esize),
                                   ElemArray(esize, uk).bytes.begin()));
            // searches: the key is an encoded element
            auto find = [](const void *key, const void *elem) { return memcmp(key, elem, s_esize); };
            for (uint64_t probe = 0; probe < n / 3 + 4; ++probe) {
                uint64_t k = probe & arr.mask();
                std::vector<uint8_t> kb(esize);
                arr.encode(kb.data(), k);
                int64_t b = pl_bsearch(kb.data(), arr.bytes.data(), n, esize, find);
                auto lb = std::lower_bound(keys.begin(), keys.end(), k);
                bool present = lb != keys.end() && *lb == k;
                if (!present) {
                    ASSERT_EQ(b, -1) << k;
                } else {
                    ASSERT_GE(b, 0);
                    ASSERT_EQ(keys[(size_t)b], k);
                }
                auto f = std::find(keys.begin(), keys.end(), k);
                ASSERT_EQ(pl_lsearch(kb.data(), arr.bytes.data(), n, esize, find),
                          f == keys.end() ? -1 : (int64_t)(f - keys.begin()));
                ASSERT_EQ(pl_count_equal(kb.data(), arr.bytes.data(), n, esize, find),
                          (size_t)std::count(keys.begin(), keys.end(), k));
            }
        }
    }
}

// ---- comparator tables ----------------------------------------------------------

TEST(Sort, ComparatorTables)
{
    uint8_t u8a = 200, u8b = 3;
    uint16_t u16a = 60000, u16b = 2;
    uint32_t u32a = 4000000000u, u32b = 5;
    int32_t i32a = -5, i32b = 3;
    uint64_t u64a = UINT64_MAX, u64b = 1;
    const char *sa = "abc", *sb = "abd";
    struct Row {
        int type;
        const void *a, *b; // addresses or values, as the type takes them
        int want;
    } rows[] = {
        {VALUE_TYPE_U16P, &u16a, &u16b, 1},
        {VALUE_TYPE_U32P, &u32a, &u32b, 1},
        {VALUE_TYPE_U64, (const void *)(uintptr_t)UINT64_MAX, (const void *)1, 1},
        {VALUE_TYPE_U64P, &u64a, &u64b, 1},
        {VALUE_TYPE_U8, (const void *)(uintptr_t)0xFFFFFFFFu, (const void *)1, 1},
        {VALUE_TYPE_U8P, &u8a, &u8b, 1},
        {VALUE_TYPE_INT, (const void *)(uintptr_t)(uint32_t)-5, (const void *)3, -1},
        {VALUE_TYPE_INTP, &i32a, &i32b, -1},
        {VALUE_TYPE_PTR, (const void *)1, (const void *)2, -1},
        {VALUE_TYPE_PTRP, &u64a, &u64b, 1},
        {VALUE_TYPE_STRING, "b", "a", 1},
        {VALUE_TYPE_STRP, &sa, &sb, -1},
    };
    for (auto &r : rows) {
        SCOPED_TRACE("type " + std::to_string(r.type));
        pl_cmp_fn asc = cmp_val_get_proc(r.type, 0), desc = cmp_val_get_proc(r.type, 1);
        ASSERT_NE(asc, nullptr);
        ASSERT_NE(desc, nullptr);
        EXPECT_EQ(asc(r.a, r.b), r.want);
        EXPECT_EQ(desc(r.a, r.b), -r.want);
        EXPECT_EQ(asc(r.a, r.a), 0);
        EXPECT_EQ(desc(r.b, r.b), 0);
    }
    zk_test::log_capture cap;
    EXPECT_EQ(cmp_val_get_proc(99, 0), nullptr);
    EXPECT_TRUE(cap.has("val_type=99 not support"));
    EXPECT_EQ(cmp_array_get_proc(0x10, nullptr, 0), nullptr);
    EXPECT_TRUE(cap.has("mode=0x10 not support"));

    EXPECT_EQ(cmp_array_get_proc(0x1, nullptr, 0), cmp_strp);
    EXPECT_EQ(cmp_array_get_proc(0x2, nullptr, 1), cmp_strp_desc);
    EXPECT_EQ(cmp_array_get_proc(0x4, nullptr, 0), cmp_u64p);
    EXPECT_EQ(cmp_array_get_proc(0x8, nullptr, 1), cmp_struct_str_desc);
    EXPECT_EQ(cmp_array_get_proc(0x8, cmp_u8p, 1), cmp_u8p);
    EXPECT_EQ(cmp_default_proc(0x1, nullptr), cmp_str);
    EXPECT_EQ(cmp_default_proc(0x2, nullptr), cmp_str);
    EXPECT_EQ(cmp_default_proc(0x100, nullptr), cmp_ptr);
    EXPECT_EQ(cmp_default_proc(0x1, cmp_u8p), cmp_u8p);

    // Raw differences and 64-bit values come back as -1, 0, 1.
    int64_t big = (int64_t)1 << 40, small = 0;
    EXPECT_EQ(cmp_i64p(&big, &small), 1);
    EXPECT_EQ(cmp_i64p_desc(&big, &small), -1);
    EXPECT_EQ(cmp_i64((const void *)(intptr_t)-1, (const void *)1), -1);
    EXPECT_EQ(cmp_str("\xff", "a"), 1); // bytes compare unsigned, as strcmp does
    for (int v : {-1000, -1, 0, 1, 77})
        EXPECT_EQ(cmp_sign(v), v < 0 ? -1 : v > 0);
}

// ---- typed shortcuts and the pieces of the entry point ---------------------------

struct Rec {
    const char *name;
    int n;
};

TEST(Sort, TypedShortcuts)
{
    uint8_t b[] = {9, 200, 0, 9, 1};
    pl_sort_u8(b, 5);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 5), (std::vector<uint8_t>{0, 1, 9, 9, 200}));
    uint64_t q[] = {UINT64_MAX, 0, 1ull << 63, 5};
    pl_sort_u64(q, 4);
    EXPECT_EQ(std::vector<uint64_t>(q, q + 4), (std::vector<uint64_t>{0, 5, 1ull << 63, UINT64_MAX}));

    const char *words[] = {"pear", "apple", "fig", "Zebra"};
    pl_sort_strp(words, 4);
    EXPECT_STREQ(words[0], "Zebra");
    EXPECT_STREQ(words[3], "pear");
    EXPECT_EQ(str_array_bsearch(words, 4, "fig"), 2);
    EXPECT_EQ(str_array_bsearch(words, 4, "grape"), -1);
    EXPECT_EQ(str_array_bsearch(words, 0, "fig"), -1);

    Rec r1{"m", 1}, r2{"c", 2}, r3{"x", 3};
    Rec *recs[] = {&r1, &r2, &r3};
    pl_sort_struct_str(recs, 3);
    EXPECT_EQ(recs[0]->n, 2);
    EXPECT_EQ(recs[2]->n, 3);
    EXPECT_EQ(str_struct_array_bsearch(recs, 3, "m"), 1);
    EXPECT_EQ(str_struct_array_bsearch(recs, 3, "a"), -1);

    int v[] = {3, 1, 2};
    pl_qsort_nop(v, 3, sizeof(int), cmp_int_counted, nullptr);
    EXPECT_EQ(v[0], 3);
    uint64_t calls = 0;
    pl_qsort_pair_t pair{&calls, cmp_int_counted};
    EXPECT_EQ(pl_qsort_ctx_thunk(&pair, &v[0], &v[1]), 1);
    EXPECT_EQ(calls, 1u);
    EXPECT_EQ(pl_qsort_r_default(v, 3, sizeof(int), cmp_int_counted, &calls), 0);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(pl_qsort(v, 3, sizeof(int), cmp_i32p_desc), 0);
    EXPECT_EQ(v[0], 3);
}

} // namespace
