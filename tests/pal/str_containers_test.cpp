// String containers: vector splits (against python3 str.split), push rules,
// zz lists, strv and the string map's layouts, order and ownership.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_vector.h"
#include "liblog/log2.h"

namespace {

// Records every log line (level and formatted text) while alive.
struct LogCapture {
    static std::vector<std::string> &lines()
    {
        static std::vector<std::string> v;
        return v;
    }
    static int hook(unsigned level, const char *, const char *, int, const char *, int, const char *fmt, va_list va)
    {
        char buf[8192];
        vsnprintf(buf, sizeof(buf), fmt, va);
        lines().push_back(std::to_string(level & 0xff) + ":" + buf);
        return 0;
    }
    LogCapture()
    {
        lines().clear();
        log2_set_hook(nullptr, hook);
    }
    ~LogCapture() { log2_set_hook(nullptr, nullptr); }
    bool has(const std::string &text) const
    {
        for (auto &l : lines())
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
};

std::vector<std::string> items(const str_vector &v)
{
    std::vector<std::string> r;
    for (uint64_t i = 0; i < v.count; ++i)
        r.push_back(v.items[i]);
    return r;
}

using Strings = std::vector<std::string>;

} // namespace

TEST(StrVector, SplitMatchesPythonSplit)
{
    // Expected values from python3: "a,,b".split(","), "a,,b".split(",", n-1), ...
    struct Case {
        const char *text, *seps;
        int max;
        Strings want;
    } cases[] = {
        {"a,,b", ",", 0, {"a", "", "b"}},
        {"a,,b", ",", 2, {"a", ",b"}},           // "a,,b".split(",", 1)
        {"a,,b", ",", 1, {"a,,b"}},
        {"a,b", ",", 5, {"a", "b"}},             // fewer fields than max
        {"", ",", 0, {""}},                      // "".split(",")
        {",x,", ",", 0, {"", "x", ""}},
        {"k=v;w", "=;", 0, {"k", "v", "w"}},     // any character of seps
    };
    for (auto &c : cases) {
        str_vector v;
        str_vector_init(&v, 0);
        ASSERT_EQ(str_vector_split_dup(c.text, c.seps, c.max, &v), 0);
        EXPECT_EQ(items(v), c.want) << c.text << " max " << c.max;
        ASSERT_LT(v.count, v.cap);
        EXPECT_EQ(v.items[v.count], nullptr); // usable as an argument vector
        str_vector_uninit(&v);
    }
}

TEST(StrVector, SplitInPlaceAndCopyModes)
{
    char text[] = "one two three";
    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_vector_split(text, " ", &v), 0);
    EXPECT_EQ(items(v), (Strings{"one", "two", "three"}));
    EXPECT_EQ(v.items[0], text); // cut in place, items point into the caller's text
    EXPECT_EQ(v.buf, nullptr);

    const char *keep = "x:y";
    ASSERT_EQ(str_vector_split_str(keep, ":", &v), 0);
    EXPECT_STREQ(keep, "x:y");
    EXPECT_EQ(items(v), (Strings{"x", "y"}));
    char *buf = v.buf;
    ASSERT_EQ(str_vector_split_str("p", ":", &v), 0); // short text reuses buf
    EXPECT_EQ(v.buf, buf);
    // Re-splitting an item of the vector's own buffer is safe.
    ASSERT_EQ(str_vector_split_str("ab:cd:ef", ":", &v), 0);
    ASSERT_EQ(str_vector_split_str(v.items[1], "c", &v), 0);
    EXPECT_EQ(items(v), (Strings{"", "d"}));
    str_vector_uninit(&v);
}

TEST(StrVector, OwningVectorHoldsCopies)
{
    // Items of an owning vector are its own copies, never pointers into buf,
    // so clear and free release exactly what was allocated (checked under the
    // sanitizer build), and a re-split frees the earlier items.
    str_vector *v = str_vector_new(STR_VEC_OWN);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->heap, 1u);
    ASSERT_EQ(str_vector_split_str("a b c", " ", v), 0);
    EXPECT_EQ(items(*v), (Strings{"a", "b", "c"}));
    for (uint64_t i = 0; i < v->count; ++i)
        EXPECT_FALSE(v->items[i] >= v->buf && v->items[i] < v->buf + v->buf_size);
    ASSERT_EQ(str_vector_split_str("d e", " ", v), 0);
    EXPECT_EQ(items(*v), (Strings{"d", "e"}));
    char own[] = "x,y";
    ASSERT_EQ(str_vector_split(own, ",", v), 0);
    EXPECT_NE(v->items[0], own);
    EXPECT_EQ(str_vector_remove(v, "x"), 0);
    EXPECT_EQ(items(*v), (Strings{"y"}));
    str_vector_free(v);
}

TEST(StrVector, PushRulesFindAndRemove)
{
    str_vector v;
    str_vector_init(&v, STR_VEC_NO_EMPTY | STR_VEC_UNIQ);
    EXPECT_EQ(v.flags & STR_MODE_MASK, (uint32_t)STR_MODE_U64); // mode default
    for (const char *s : {"a", "", "b", "a", "B"})
        EXPECT_EQ(str_vector_push_back(&v, s), 0) << s;
    EXPECT_EQ(items(v), (Strings{"a", "b", "B"}));
    ASSERT_EQ(str_vector_term_null(&v), 0);
    EXPECT_EQ(v.items[v.count], nullptr);
    EXPECT_EQ(v.count, 3u);

    EXPECT_EQ(str_vector_find(&v, "b"), 1);
    EXPECT_EQ(str_vector_find(&v, "c"), -1);
    EXPECT_EQ(str_vector_find_nocase(&v, "A"), 0);
    EXPECT_EQ(str_vector_find_case(&v, "A"), -1);
    v.flags |= STR_VEC_NOCASE;
    EXPECT_EQ(str_vector_remove(&v, "b"), 0); // both b and B
    EXPECT_EQ(items(v), (Strings{"a"}));
    EXPECT_EQ(v.items[1], nullptr);
    EXPECT_EQ(str_vector_remove(&v, "zz"), -1);

    LogCapture log;
    EXPECT_EQ(str_vector_push_back(&v, nullptr), -1);
    EXPECT_TRUE(log.has("expr[str!=NULL]: assert failed"));
    str_vector_uninit(&v);
}

TEST(StrVector, GrowthDoubles)
{
    str_vector v;
    str_vector_init(&v, 0);
    std::vector<uint64_t> caps;
    for (int i = 0; i < 40; ++i) {
        str_vector_push_back(&v, "x");
        if (caps.empty() || caps.back() != v.cap)
            caps.push_back(v.cap);
    }
    EXPECT_EQ(caps, (std::vector<uint64_t>{16, 32, 64}));
    str_vector_uninit(&v);
}

TEST(StrVector, SortModes)
{
    char t1[] = "pear", t2[] = "apple", t3[] = "fig";
    str_vector v;
    str_vector_init(&v, STR_MODE_STR);
    for (const char *s : {"pear", "apple", "fig", "apple"})
        str_vector_push_back(&v, s);
    str_vector_sort_uniq(&v);
    EXPECT_EQ(items(v), (Strings{"apple", "fig", "pear"}));
    str_vector_uninit(&v);

    // Mode 0x4 orders by pointer value, not by text.
    str_vector_init(&v, 0);
    char *ptrs[] = {t1, t2, t3};
    std::sort(std::begin(ptrs), std::end(ptrs), std::greater<char *>());
    for (char *p : ptrs)
        str_vector_push_back(&v, p);
    str_vector_sort(&v);
    EXPECT_LT(v.items[0], v.items[1]);
    EXPECT_LT(v.items[1], v.items[2]);
    str_vector_uninit(&v);

    // Mode 0x8: records by their first field.
    struct rec {
        const char *name;
        int n;
    } r1{"b", 1}, r2{"a", 2}, r3{"c", 3};
    str_vector_init(&v, STR_MODE_STRUCT);
    for (rec *r : {&r1, &r2, &r3})
        str_vector_push_back(&v, (const char *)r);
    str_vector_sort(&v);
    EXPECT_EQ(((rec *)v.items[0])->n, 2);
    EXPECT_EQ(((rec *)v.items[2])->n, 3);
    str_vector_uninit(&v);
}

TEST(StrVector, SplitOutsideQuotes)
{
    struct Case {
        const char *text, *seps, *quotes;
        int ret;
        Strings want;
    } cases[] = {
        {"a \"b c\" d", " ", "\"", 0, {"a", "\"b c\"", "d"}},
        {"ls 'a;b'; cd x;", ";", "\"'", 0, {"ls 'a;b'", " cd x"}}, // no empty item after the last ;
        {"a;;'b'", ";", "'", 0, {"a", "", "'b'"}},
        {"\"a'b\" c", " ", "\"'", -1, {}}, // every quote character toggles: three is odd
        {"x y ", " ", "\"", 0, {"x", "y", ""}},     // no quote in the text: a plain split
        {"a \"b", " ", "\"", -1, {}},
    };
    for (auto &c : cases) {
        LogCapture log;
        str_vector v;
        str_vector_init(&v, 0);
        EXPECT_EQ(str_split_esape(c.text, c.seps, c.quotes, &v), c.ret) << c.text;
        EXPECT_EQ(items(v), c.want) << c.text;
        if (c.ret < 0)
            EXPECT_TRUE(log.has("3:syntax error")) << c.text;
        else
            EXPECT_EQ(v.items[v.count], nullptr);
        str_vector_uninit(&v);
    }
}

TEST(StrZz, ListsFromTheWire)
{
    const char list[] = "a\0b\0c\0"; // with the literal's NUL: a b c and the end
    const char *arr[4];
    size_t total = 0;
    {
        LogCapture log;
        EXPECT_EQ(str_split_zz(list, arr, 2, &total), -1);
        EXPECT_TRUE(log.has("3:[a] error: more '0' sep, max_sep=2"));
    }
    EXPECT_EQ(str_split_zz(list, arr, 3, &total), 3);
    EXPECT_EQ(total, 7u);
    EXPECT_STREQ(arr[2], "c");
    EXPECT_EQ(str_split_zz("\0", arr, 0, &total), 0);
    EXPECT_EQ(total, 2u);

    struct Len {
        const char *zz;
        size_t max;
        int64_t want;
    } lens[] = {
        {"\0", 0, 0},            // the two-byte empty list
        {"ab\0cd\0", 0, 5},
        {"ab\0cd\0", 6, -1},     // the second NUL lies beyond max bytes
        {"ab\0cd\0", 7, 5},
    };
    for (auto &l : lens)
        EXPECT_EQ(str_zz_len(l.zz, l.max), l.want) << l.max;

    EXPECT_EQ(str_zz_find(list, "b"), 1);
    EXPECT_EQ(str_zz_find(list, "d"), -1);

    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_vector_from_zz(list, -1, &v), 0);
    EXPECT_EQ(items(v), (Strings{"a", "b", "c"}));
    EXPECT_EQ(v.items[3], nullptr);
    ASSERT_EQ(str_vector_from_zz(list, 4, &v), 0);
    EXPECT_EQ(items(v), (Strings{"a", "b"}));
    // An unterminated string at the end of the bound is not taken.
    const char raw[] = {'x', '\0', 'y', 'z'};
    ASSERT_EQ(str_vector_from_zz(raw, sizeof(raw), &v), 0);
    EXPECT_EQ(items(v), (Strings{"x"}));
    str_vector_uninit(&v);
}

TEST(Strv, AddSplitSortUniq)
{
    strv *v = strv_new(2, 0x1);
    ASSERT_NE(v, nullptr);
    std::vector<uint64_t> caps{v->cap};
    for (const char *s : {"d", "b", "a", "b", "c", "a"}) {
        ASSERT_EQ(strv_add(v, s), 0);
        if (caps.back() != v->cap)
            caps.push_back(v->cap);
    }
    EXPECT_EQ(caps, (std::vector<uint64_t>{2, 8}));
    EXPECT_EQ(v->items[v->count], nullptr);
    strv_sort_uniq(v);
    ASSERT_EQ(v->count, 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(std::string(v->items[i]), std::string(1, (char)('a' + i)));
    EXPECT_EQ(v->items[4], nullptr);
    strv_truncate(v, 1);
    EXPECT_EQ(v->count, 1u);
    EXPECT_EQ(v->items[1], nullptr);
    strv_free(v);

    strv *s = strv_split(",a,,b", ",");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->flags, 0x1u);
    ASSERT_EQ(s->count, 4u);
    EXPECT_STREQ(s->items[0], "");
    EXPECT_STREQ(s->items[3], "b");
    strv_free(s);
}

TEST(StrMap, LayoutsGetSetDel)
{
    static int payload1, payload2;
    for (uint32_t flags : {0u, (uint32_t)STR_MAP_KEY_IN, 0x100u, 0x101u}) {
        SCOPED_TRACE(flags);
        str_map *m = str_map_new(flags);
        ASSERT_NE(m, nullptr);
        bool text = flags & 0x100;
        const void *v1 = text ? (const void *)"one" : &payload1;
        const void *v2 = text ? (const void *)"a much longer value" : &payload2;
        std::string k1 = "key1"; // a key pointer map keeps the caller's keys
        ASSERT_EQ(str_map_add(m, k1.c_str(), v1), 0);
        ASSERT_EQ(str_map_set(m, "k2", v1), 0);
        EXPECT_EQ(m->count, 2u);
        EXPECT_STREQ(str_map_key_at(m, 1), "k2");
        if (text) {
            EXPECT_STREQ((char *)str_map_get(m, "key1"), "one");
            void *before = m->entries[0];
            ASSERT_EQ(str_map_set(m, "key1", "uno"), 0); // not longer: in place
            EXPECT_EQ(m->entries[0], before);
            ASSERT_EQ(str_map_set(m, "key1", v2), 0); // longer: a new block, same slot
            EXPECT_STREQ((char *)str_map_val_at(m, 0), "a much longer value");
            EXPECT_STREQ(str_map_key_at(m, 0), "key1");
        } else {
            EXPECT_EQ(str_map_get(m, "key1"), &payload1);
            ASSERT_EQ(str_map_set(m, "key1", v2), 0);
            EXPECT_EQ(str_map_val_at(m, 0), &payload2);
        }
        EXPECT_EQ(m->count, 2u);
        EXPECT_EQ(str_map_find(m, "nope"), -1);
        EXPECT_EQ(str_map_get(m, "nope"), nullptr);
        EXPECT_EQ(str_map_key_at(m, 2), nullptr);
        EXPECT_EQ(str_map_del(m, "key1"), 0);
        EXPECT_EQ(str_map_del(m, "k2"), 0);
        EXPECT_EQ(m->count, 0u);
        EXPECT_EQ(m->entries[0], nullptr);
        EXPECT_EQ(str_map_del(m, "k2"), -1);
        str_map_free(m);
    }
}

TEST(StrMap, OwnedPointerValuesAreFreed)
{
    // Run under the sanitizer build this shows neither leaks nor double frees.
    str_map m{};
    ASSERT_EQ(str_map_init(&m, STR_MAP_KEY_IN | STR_MAP_VAL_OWN), 0);
    char *a = os_strdup("a");
    ASSERT_EQ(str_map_set(&m, "k", a), 0);
    ASSERT_EQ(str_map_set(&m, "k", a), 0); // the same pointer again is kept, not freed
    ASSERT_EQ(str_map_set(&m, "k", os_strdup("b")), 0);
    EXPECT_STREQ((char *)str_map_get(&m, "k"), "b");
    ASSERT_EQ(str_map_set(&m, "j", os_strdup("c")), 0);
    str_map_del_at(&m, 0);
    EXPECT_EQ(str_map_key_at(&m, 0), nullptr);
    EXPECT_EQ(m.count, 2u);
    EXPECT_EQ(str_map_find(&m, "j"), 1);
    str_map_uninit(&m);
}

TEST(StrMap, SortedMapStaysSorted)
{
    str_map m{};
    m.cap = 4; // preset capacity: the array is made by init
    ASSERT_EQ(str_map_init(&m, 0x101), 0);
    ASSERT_NE(m.entries, nullptr);
    for (const char *k : {"m", "c", "x"})
        str_map_add(&m, k, k);
    str_map_sort(&m);
    EXPECT_TRUE(m.flags & STR_MAP_SORTED);
    ASSERT_EQ(str_map_set(&m, "a", "new"), 0);
    ASSERT_EQ(str_map_add(&m, "n", "added"), 0); // add keeps a sorted map in order too
    std::string order;
    for (uint64_t i = 0; i < m.count; ++i)
        order += str_map_key_at(&m, i);
    EXPECT_EQ(order, "acmnx");
    for (const char *k : {"a", "c", "m", "n", "x"})
        EXPECT_GE(str_map_find(&m, k), 0) << k;
    EXPECT_EQ(str_map_find(&m, "b"), -1);
    str_map_del_at(&m, 2); // a hole: found by scanning from then on
    EXPECT_EQ(str_map_find(&m, "x"), 4);
    EXPECT_EQ(str_map_find(&m, "m"), -1);
    str_map_uninit(&m);
}

TEST(StrMap, GrowthAndKeyPointerSort)
{
    str_map *m = str_map_new(0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->flags & STR_MODE_MASK, (uint32_t)STR_MODE_STRUCT);
    std::vector<std::string> keys;
    for (int i = 0; i < 100; ++i)
        keys.push_back("k" + std::to_string(99 - i));
    std::vector<uint64_t> caps;
    for (auto &k : keys) {
        str_map_add(m, k.c_str(), nullptr);
        if (caps.empty() || caps.back() != m->cap)
            caps.push_back(m->cap);
    }
    EXPECT_EQ(caps, (std::vector<uint64_t>{16, 64, 256}));
    str_map_sort(m);
    for (uint64_t i = 1; i < m->count; ++i)
        EXPECT_LT(strcmp(str_map_key_at(m, i - 1), str_map_key_at(m, i)), 0);
    ASSERT_GE(str_map_find(m, "k42"), 0);
    EXPECT_STREQ(str_map_key_at(m, (uint64_t)str_map_find(m, "k42")), "k42");
    str_map_free(m);
}
