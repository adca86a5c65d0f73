// Hash dictionary: hashes against a MurmurHash2 written here, slot
// positions and rebuilds, ownership flags, and long random mixes against
// std::unordered_map.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/utils/pl_dict.h"

namespace {

// MurmurHash2 as published (32 bits, m 0x5bd1e995, r 24), little-endian blocks.
uint32_t ref_murmur2(const std::string &key, uint32_t seed)
{
    const uint32_t m = 0x5bd1e995;
    uint32_t len = (uint32_t)key.size();
    uint32_t h = seed ^ len;
    const unsigned char *data = (const unsigned char *)key.data();
    while (len >= 4) {
        uint32_t k;
        memcpy(&k, data, 4); // the test host is little-endian, as the reference assumes
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        len -= 4;
    }
    switch (len) {
    case 3:
        h ^= data[2] << 16;
        [[fallthrough]];
    case 2:
        h ^= data[1] << 8;
        [[fallthrough]];
    case 1:
        h ^= data[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

std::vector<std::pair<int, std::string>> positions(const dict_t *d)
{
    std::vector<std::pair<int, std::string>> out;
    const char *k;
    uint64_t v;
    for (int pos = dict_next(d, 0, &k, &v); pos >= 0; pos = dict_next(d, pos, &k, &v))
        out.push_back({pos, k});
    return out;
}

TEST(Dict, HashKnownAnswersAndReference)
{
    struct {
        const char *key;
        uint32_t hash;
    } known[] = {{"a", 0xd1d61d09},     {"b", 0x61227a72},   {"c", 0x307be064},         {"abc", 0x81e84d4b},
                 {"hello", 0x6d046d40}, {"key", 0x5f587212}, {"log.level", 0xfb31ff11}, {"", 0}};
    for (auto &k : known)
        EXPECT_EQ(dict_hash(k.key), k.hash) << k.key;
    std::mt19937 rng(5);
    for (int i = 0; i < 500; ++i) {
        std::string s(rng() % 40 + 1, ' ');
        for (auto &c : s)
            c = (char)(rng() % 255 + 1);
        ASSERT_EQ(dict_hash(s.c_str()), ref_murmur2(s, (uint32_t)s.size() ^ 0xbadcafe)) << "seed 5 round " << i;
    }
}

TEST(Dict, PositionsAndRebuild)
{
    dict_t *d = dict_init(DICT_F_KEY_COPY);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 8u);
    for (const char *k : {"a", "b", "c"})
        ASSERT_EQ(dict_set(d, k, 1), 0);
    EXPECT_EQ(positions(d), (std::vector<std::pair<int, std::string>>{{2, "a"}, {3, "b"}, {5, "c"}}));
    for (const char *k : {"d", "e"})
        ASSERT_EQ(dict_set(d, k, 1), 0);
    EXPECT_EQ(d->size, 8u);
    // The sixth key fills two thirds: rebuilt into the first size above 6 x 4.
    ASSERT_EQ(dict_set(d, "f", 1), 0);
    EXPECT_EQ(d->size, 32u);
    EXPECT_EQ(d->fill, 6u);
    EXPECT_EQ(positions(d), (std::vector<std::pair<int, std::string>>{
                                {5, "c"}, {10, "a"}, {14, "b"}, {19, "f"}, {22, "d"}, {32, "e"}}));
    dict_exit(d);

    d = dict_init(0);
    dict_set(d, "b", 1);
    dict_set(d, "d", 2);
    const char *k;
    uint64_t v;
    EXPECT_EQ(dict_next(d, 0, &k, &v), 3);
    EXPECT_STREQ(k, "b");
    EXPECT_EQ(dict_next(d, 3, &k, &v), 6);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(dict_next(d, 6, &k, &v), -1);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(dict_next(d, -1, &k, &v), -1);
    EXPECT_EQ(dict_next(nullptr, 0, &k, &v), -1);
    dict_exit(d);
}

// Inserting and deleting k0, k1, ... one after another wears every slot
// with deleted markers; the table clears them at its size and never fails.
TEST(Dict, DeletedSlotsNeverExhaustTheTable)
{
    dict_t *d = dict_init(DICT_F_KEY_COPY);
    for (int i = 0; i < 5000; ++i) {
        std::string k = "k" + std::to_string(i);
        ASSERT_EQ(dict_set(d, k.c_str(), (uint64_t)i), 0) << k;
        ASSERT_EQ(dict_get(d, k.c_str(), 99999), (uint64_t)i);
        ASSERT_EQ(dict_del(d, k.c_str()), 0);
        ASSERT_EQ(dict_count(d), 0u);
    }
    EXPECT_EQ(d->size, 8u);
    dict_exit(d);
}

TEST(Dict, SetGetDelete)
{
    dict_t *d = dict_init(DICT_F_KEY_COPY);
    char key[] = "name";
    ASSERT_EQ(dict_set(d, key, 7), 0);
    key[0] = 'g'; // the dictionary holds its own copy
    EXPECT_EQ(dict_get(d, "name", 0), 7u);
    EXPECT_EQ(dict_get(d, "game", 5), 5u);
    ASSERT_EQ(dict_set(d, "name", 8), 0);
    EXPECT_EQ(dict_count(d), 1u);
    EXPECT_EQ(dict_get(d, "name", 0), 8u);
    ASSERT_EQ(dict_set(d, "", 3), 0); // the empty key is a key
    EXPECT_EQ(dict_get(d, "", 0), 3u);
    EXPECT_EQ(dict_del(d, "name"), 0);
    EXPECT_EQ(dict_del(d, "name"), -1);
    EXPECT_EQ(dict_get(d, "name", 42), 42u);
    EXPECT_EQ(dict_count(d), 1u);
    uint32_t fill = d->fill;
    ASSERT_EQ(dict_set(d, "name", 9), 0); // reuses the deleted slot
    EXPECT_EQ(d->fill, fill + 1);
    EXPECT_EQ(dict_get(nullptr, "x", 4), 4u);
    EXPECT_EQ(dict_get(d, nullptr, 4), 4u);
    EXPECT_EQ(dict_count(nullptr), 0u);
    dict_exit(d);
}

// Values the dictionary owns: replaced, deleted and freed at the end, and
// never freed when the value stored again is the one it holds (the
// sanitizer build sees any use after free).
TEST(Dict, OwnedValuesAndSelfReplacement)
{
    dict_t *d = dict_init(DICT_F_KEY_COPY | DICT_F_VAL_STR);
    ASSERT_EQ(dict_set(d, "t", (uint64_t)(uintptr_t) "first"), 0);
    const char *held = (const char *)(uintptr_t)dict_get(d, "t", 0);
    ASSERT_STREQ(held, "first");
    ASSERT_EQ(dict_set(d, "t", (uint64_t)(uintptr_t)held), 0); // its own copy
    EXPECT_STREQ((const char *)(uintptr_t)dict_get(d, "t", 0), "first");
    ASSERT_EQ(dict_set(d, "t", 0), 0);
    EXPECT_EQ(dict_get(d, "t", 1), 0u);
    ASSERT_EQ(dict_set(d, "u", (uint64_t)(uintptr_t) "second"), 0);
    dict_exit(d);

    d = dict_init(DICT_F_VAL_FREE);
    char *p = strdup("owned");
    ASSERT_EQ(dict_set(d, "p", (uint64_t)(uintptr_t)p), 0);
    ASSERT_EQ(dict_set(d, "p", (uint64_t)(uintptr_t)p), 0); // the very pointer again
    EXPECT_STREQ((const char *)(uintptr_t)dict_get(d, "p", 0), "owned");
    ASSERT_EQ(dict_set(d, "p", (uint64_t)(uintptr_t)strdup("next")), 0); // frees "owned"
    ASSERT_EQ(dict_set(d, "q", (uint64_t)(uintptr_t)strdup("gone")), 0);
    EXPECT_EQ(dict_del(d, "q"), 0);
    dict_exit(d); // frees "next"
}

TEST(Dict, DumpAndKeyList)
{
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    dict_t *d = dict_init(DICT_F_VAL_STR);
    dict_set(d, "a", (uint64_t)(uintptr_t) "x");
    dict_set(d, "b", 0);
    dict_dump(d, f);
    dict_exit(d);
    d = dict_init(0);
    dict_set(d, "c", 12345);
    dict_dump(d, f);
    dict_dump(nullptr, f);
    dict_dump(d, nullptr);
    fclose(f);
    EXPECT_EQ(std::string(text), "[rank=2] a: x\n[rank=3] b: UNDEF\n[rank=5] c: 12345\n");
    free(text);

    dict_key_list_t *list = (dict_key_list_t *)1;
    dict_t *e = dict_init(0);
    EXPECT_EQ(dict_get_key_list(e, &list), -1);
    EXPECT_EQ(list, nullptr);
    dict_exit(e);
    // The keys of a list, which is freed.
    auto drain = [](dict_key_list_t *l) {
        std::vector<std::string> keys;
        while (l) {
            keys.push_back(l->key);
            dict_key_list_t *next = l->next;
            os_free(l->key);
            os_free(l);
            l = next;
        }
        return keys;
    };
    EXPECT_EQ(dict_get_key_list(d, &list), -1); // "done"
    EXPECT_EQ(drain(list), (std::vector<std::string>{"c"}));
    dict_set(d, "a", 1);
    dict_set(d, "b", 1);
    ASSERT_EQ(dict_get_key_list(d, &list), -1);
    EXPECT_EQ(drain(list), (std::vector<std::string>{"a", "b", "c"})); // slot order: 1, 2, 4
    dict_exit(d);
}

int s_fail;
void *failing_malloc(size_t n) { return s_fail ? nullptr : malloc(n); }
void *failing_realloc(void *p, size_t n) { return s_fail ? nullptr : realloc(p, n); }

// A failed allocation is -1 and leaves the dictionary as it was: for the key
// copy of a new key and the value copy of an update.
TEST(Dict, AllocationFailureLeavesDictionary)
{
    pl_malloc_init(failing_malloc, failing_realloc, free);
    dict_t *d = dict_init(DICT_F_KEY_COPY | DICT_F_VAL_STR);
    for (const char *k : {"a", "b", "c", "d", "e"})
        ASSERT_EQ(dict_set(d, k, (uint64_t)(uintptr_t)k), 0);
    s_fail = 1;
    EXPECT_EQ(dict_set(d, "f", (uint64_t)(uintptr_t) "f"), -1);
    EXPECT_EQ(dict_set(d, "a", (uint64_t)(uintptr_t) "new"), -1);
    EXPECT_EQ(dict_init(0), nullptr);
    s_fail = 0;
    pl_malloc_init(_malloc, _realloc, free);
    EXPECT_EQ(dict_count(d), 5u);
    EXPECT_EQ(dict_get(d, "f", 0), 0u);
    EXPECT_STREQ((const char *)(uintptr_t)dict_get(d, "a", 0), "a");
    dict_exit(d);
}

// Long random mixes of set, get, delete and re-insert against
// std::unordered_map; dict_next visits exactly the live keys.
TEST(Dict, RandomMixMatchesUnorderedMap)
{
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        dict_t *d = dict_init(DICT_F_KEY_COPY | DICT_F_VAL_STR);
        std::unordered_map<std::string, std::string> ref;
        const int keyspace = seed == 3 ? 20 : 3000; // a small one wears the table with deleted markers
        for (int step = 0; step < 60000; ++step) {
            std::string k = "key" + std::to_string(rng() % (unsigned)keyspace);
            int op = (int)(rng() % 4);
            if (op <= 1) {
                std::string v = "v" + std::to_string(step);
                ASSERT_EQ(dict_set(d, k.c_str(), (uint64_t)(uintptr_t)v.c_str()), 0);
                ref[k] = v;
            } else if (op == 2) {
                ASSERT_EQ(dict_del(d, k.c_str()), ref.erase(k) ? 0 : -1);
            } else {
                const char *got = (const char *)(uintptr_t)dict_get(d, k.c_str(), 0);
                auto it = ref.find(k);
                if (it == ref.end())
                    ASSERT_EQ(got, nullptr);
                else
                    ASSERT_STREQ(got, it->second.c_str());
            }
            ASSERT_EQ(dict_count(d), ref.size());
        }
        std::map<std::string, std::string> seen;
        const char *k;
        uint64_t v;
        for (int pos = dict_next(d, 0, &k, &v); pos >= 0; pos = dict_next(d, pos, &k, &v))
            ASSERT_TRUE(seen.emplace(k, (const char *)(uintptr_t)v).second) << k;
        std::map<std::string, std::string> want(ref.begin(), ref.end());
        EXPECT_EQ(seen, want);
        EXPECT_LE(d->size, 8u * 1024);
        dict_exit(d);
    }
}

} // namespace
