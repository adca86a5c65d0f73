// AVL tree: shapes and balance after known insertions, ownership flags,
// walks in both directions, and random insertions and deletions against
// std::map.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/utils/pl_avl.h"
#include "test_util.h"

namespace {

const void *K(uintptr_t k) { return (const void *)k; }

int height(const avl_node_t *n)
{
    if (!n)
        return 0;
    int l = height(n->left), r = height(n->right);
    return 1 + (l > r ? l : r);
}

std::vector<uintptr_t> walk(const avl_t *t, int direction)
{
    std::vector<uintptr_t> out;
    avl_iter_t it;
    for (avl_iter_init(&it, t, direction); it.node; avl_iter_next(&it))
        out.push_back((uintptr_t)it.key);
    return out;
}

TEST(Avl, PerfectTreeAndWalks)
{
    avl_t *t = avl_new(nullptr);
    ASSERT_NE(t, nullptr);
    for (uintptr_t k = 1; k <= 7; ++k)
        ASSERT_EQ(avl_set(t, K(k), K(k * 10)), 1);
    EXPECT_EQ(avl_check(t), 1);
    EXPECT_EQ(height(t->root), 3);
    EXPECT_EQ((uintptr_t)t->root->key, 4u);
    EXPECT_EQ(avl_count(t), 7u);
    EXPECT_EQ(walk(t, 0), (std::vector<uintptr_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(walk(t, 1), (std::vector<uintptr_t>{7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ((uintptr_t)avl_get(t, K(6)), 60u);
    EXPECT_EQ(avl_get(t, K(8)), nullptr);
    EXPECT_EQ(avl_find_node(t, K(8)), nullptr);
    EXPECT_EQ((uintptr_t)avl_find_node(t, K(2))->value, 20u);
    // an existing key: 0, count kept
    EXPECT_EQ(avl_set(t, K(3), K(33)), 0);
    EXPECT_EQ(avl_count(t), 7u);
    EXPECT_EQ((uintptr_t)avl_get(t, K(3)), 33u);
    avl_free(t);

    t = avl_new(nullptr);
    for (uintptr_t k : {2, 1, 3})
        avl_set(t, K(k), K(k));
    avl_iter_t it;
    avl_iter_init(&it, t, 1);
    std::vector<uintptr_t> seen;
    for (; it.node; avl_iter_next(&it))
        seen.push_back((uintptr_t)it.value);
    EXPECT_EQ(seen, (std::vector<uintptr_t>{3, 2, 1}));
    EXPECT_EQ(it.key, nullptr);
    EXPECT_EQ(it.value, nullptr);
    EXPECT_EQ(avl_iter_next(&it), nullptr);
    avl_free(t);

    t = avl_new(nullptr);
    EXPECT_TRUE(walk(t, 0).empty());
    ASSERT_EQ(avl_set(t, K(5), K(1)), 1);
    EXPECT_EQ(avl_del(t, K(6)), 0);
    EXPECT_EQ(avl_del(t, K(5)), 1);
    EXPECT_EQ(avl_count(t), 0u);
    EXPECT_EQ(t->root, nullptr);
    EXPECT_EQ(avl_check(t), 1);
    avl_free(t);
    avl_free(nullptr);
}

// Every rotation: ascending, descending and zig-zag insertions, and
// deletions of nodes with two children on both leanings.
TEST(Avl, RotationsKeepBalance)
{
    const std::vector<std::vector<uintptr_t>> orders = {
        {1, 2, 3}, {3, 2, 1}, {1, 3, 2}, {3, 1, 2}, {50, 20, 80, 10, 30, 25}, {50, 20, 80, 90, 70, 75},
    };
    for (auto &order : orders) {
        avl_t *t = avl_new(nullptr);
        for (uintptr_t k : order)
            avl_set(t, K(k), nullptr);
        EXPECT_EQ(avl_check(t), 1);
        for (uintptr_t k : order) {
            EXPECT_EQ(avl_del(t, K(k)), 1);
            EXPECT_EQ(avl_check(t), 1) << "after deleting " << k;
        }
        avl_free(t);
    }
}

TEST(Avl, TextKeysAndValuesInThePool)
{
    avl_settings_t s{};
    s.flags = AVL_F_KEY_STR | AVL_F_VAL_STR;
    avl_t *t = avl_new(&s);
    char key[] = "beta", val[] = "one";
    ASSERT_EQ(avl_set(t, key, val), 1);
    strcpy(key, "zzzz");
    strcpy(val, "two");
    EXPECT_STREQ((const char *)avl_get(t, "beta"), "one"); // copies
    ASSERT_EQ(avl_set(t, "alpha", "a"), 1);
    ASSERT_EQ(avl_set(t, "gamma", nullptr), 1);
    EXPECT_EQ(avl_get(t, "gamma"), nullptr);
    // Replacing with the stored copies themselves keeps them readable.
    avl_node_t *n = avl_find_node(t, "beta");
    ASSERT_EQ(avl_set(t, n->key, n->value), 0);
    EXPECT_STREQ((const char *)avl_get(t, "beta"), "one");
    ASSERT_EQ(avl_set(t, "beta", "uno"), 0);
    EXPECT_STREQ((const char *)avl_get(t, "beta"), "uno");
    EXPECT_EQ(avl_count(t), 3u);
    // strcmp order without a compare function
    avl_iter_t it;
    std::vector<std::string> keys;
    for (avl_iter_init(&it, t, 0); it.node; avl_iter_next(&it))
        keys.push_back((const char *)it.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"alpha", "beta", "gamma"}));
    EXPECT_EQ(avl_del(t, "beta"), 1);
    EXPECT_EQ(avl_get(t, "beta"), nullptr);
    EXPECT_EQ(avl_get(t, nullptr), nullptr);
    EXPECT_EQ(avl_del(t, nullptr), 0);
    avl_free(t);
}

int s_freed;
void count_free(void *v)
{
    ++s_freed;
    free(v);
}

// Values the tree owns are released when replaced, deleted and at the end,
// never when the very value stored is set again (the sanitizer build sees
// any use after free or leak of the strdup'ed texts).
TEST(Avl, OwnedValues)
{
    avl_settings_t s{};
    s.flags = AVL_F_VAL_FREEFN;
    s.free_fn = count_free;
    avl_t *t = avl_new(&s);
    char *a = strdup("a");
    avl_set(t, K(1), a);
    avl_set(t, K(1), a); // itself: not released
    EXPECT_EQ(s_freed, 0);
    EXPECT_STREQ((const char *)avl_get(t, K(1)), "a");
    avl_set(t, K(1), strdup("b")); // releases "a"
    EXPECT_EQ(s_freed, 1);
    avl_set(t, K(2), strdup("c"));
    avl_set(t, K(3), strdup("d"));
    avl_del(t, K(2));
    EXPECT_EQ(s_freed, 2);
    avl_free(t); // releases "b" and "d"
    EXPECT_EQ(s_freed, 4);

    s.flags = AVL_F_VAL_FREE;
    t = avl_new(&s);
    char *p = (char *)os_malloc(8);
    avl_set(t, K(1), p);
    avl_set(t, K(1), p);
    avl_set(t, K(2), os_malloc(8));
    avl_free(t);
}

int s_fail;
void *failing_malloc(size_t n) { return s_fail ? nullptr : malloc(n); }
void *failing_realloc(void *p, size_t n) { return s_fail ? nullptr : realloc(p, n); }

TEST(Avl, AllocationFailureIsMinusOne)
{
    zk_test::log_capture cap;
    avl_settings_t s{};
    s.flags = AVL_F_KEY_STR;
    avl_t *t = avl_new(&s);
    ASSERT_EQ(avl_set(t, "a", K(1)), 1);
    pl_malloc_init(failing_malloc, failing_realloc, free);
    s_fail = 1;
    int r1 = avl_set(t, "b", K(2));
    int r2 = avl_set(t, "c", K(2));
    avl_t *none = avl_new(nullptr);
    s_fail = 0;
    pl_malloc_init(_malloc, _realloc, free);
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(cap.has("assert failed"));
    EXPECT_EQ(avl_count(t), 1u);
    EXPECT_EQ(avl_check(t), 1);
    EXPECT_EQ(avl_set(t, "b", K(2)), 1);
    avl_free(t);
}

// 10,000 random insertions and deletions against std::map, checked after
// each batch; walks in both directions equal the map's order.
TEST(Avl, RandomAgainstStdMap)
{
    for (uint32_t seed : {11u, 12u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        avl_t *t = avl_new(nullptr);
        std::map<uintptr_t, uintptr_t> ref;
        for (int batch = 0; batch < 100; ++batch) {
            for (int i = 0; i < 100; ++i) {
                uintptr_t k = rng() % 3000 + 1;
                if (rng() % 3 == 0) {
                    ASSERT_EQ(avl_del(t, K(k)), (int)ref.erase(k));
                } else {
                    uintptr_t v = rng();
                    ASSERT_EQ(avl_set(t, K(k), K(v)), ref.count(k) ? 0 : 1);
                    ref[k] = v;
                }
            }
            ASSERT_EQ(avl_check(t), 1) << "batch " << batch;
            ASSERT_EQ(avl_count(t), ref.size());
        }
        std::vector<uintptr_t> asc, vals;
        for (auto &kv : ref) {
            asc.push_back(kv.first);
            vals.push_back(kv.second);
        }
        EXPECT_EQ(walk(t, 0), asc);
        std::vector<uintptr_t> desc(asc.rbegin(), asc.rend());
        EXPECT_EQ(walk(t, 1), desc);
        for (size_t i = 0; i < asc.size(); ++i)
            ASSERT_EQ((uintptr_t)avl_get(t, K(asc[i])), vals[i]);
        // empty it again, in random order
        std::shuffle(asc.begin(), asc.end(), rng);
        for (uintptr_t k : asc)
            ASSERT_EQ(avl_del(t, K(k)), 1);
        EXPECT_EQ(avl_count(t), 0u);
        EXPECT_EQ(avl_check(t), 1);
        avl_free(t);
    }
}

} // namespace
