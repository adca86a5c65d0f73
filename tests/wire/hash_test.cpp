// Checksums, digests and their state texts, RC4, GUIDs and the random
// sources, against published check values and independent references.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "libpal/hash/pl_hash.h"
#include "test_util.h"

namespace {

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

const char k_digits[] = "123456789";

TEST(Hash, CrcCheckValuesAndChaining)
{
    EXPECT_EQ(hash_crc8(k_digits, 9, 0), 0xF4);
    EXPECT_EQ(hash_crc16(k_digits, 9, 0), 0xE8FE);
    EXPECT_EQ(hash_crc32(k_digits, 9, 0), 0xCBF43926u);
    EXPECT_EQ(hash_crc64(k_digits, 9, 0), 0xE9C6D914C4B8D9CAull);
    EXPECT_EQ(hash_crc32("a", 1, 0), 0xE8B7BE43u);
    EXPECT_EQ(hash_crc32("", 0, 0), 0u);
    // The second call starts from the first result.
    EXPECT_EQ(hash_crc8(k_digits + 4, 5, hash_crc8(k_digits, 4, 0)), 0xF4);
    EXPECT_EQ(hash_crc16(k_digits + 4, 5, hash_crc16(k_digits, 4, 0)), 0xE8FE);
    EXPECT_EQ(hash_crc32(k_digits + 4, 5, hash_crc32(k_digits, 4, 0)), 0xCBF43926u);
    EXPECT_EQ(hash_crc64(k_digits + 4, 5, hash_crc64(k_digits, 4, 0)), 0xE9C6D914C4B8D9CAull);
    zk_test::log_capture cap;
    EXPECT_EQ(hash_crc8(nullptr, 3, 7), 0);
    EXPECT_TRUE(cap.has("expr[data]: assert failed"));
}

TEST(Hash, Crc32TextIsPerThread)
{
    EXPECT_STREQ(hash_crc32_text(k_digits, 9), "cbf43926");
    const char *mine = hash_crc32_text("a", 1);
    std::string other;
    std::thread t([&] {
        const char *p = hash_crc32_text(k_digits, 9);
        EXPECT_NE(p, mine);
        other = p;
    });
    t.join();
    EXPECT_STREQ(mine, "e8b7be43");
    EXPECT_EQ(other, "cbf43926");
}

TEST(Hash, FileChecksumsReadToTheEnd)
{
    zk_test::temp_dir dir;
    std::string data(5 * 1024 * 1024 + 123, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (char)(i * 7 + i / 251);
    std::string path = dir / "f";
    std::ofstream(path, std::ios::binary) << data;
    uint32_t crc = 1;
    ASSERT_EQ(hash_crc32_file(path.c_str(), &crc), 0);
    EXPECT_EQ(crc, hash_crc32(data.data(), data.size(), 0));
    uint8_t d[16], want[16];
    hash_md5(data.data(), data.size(), want);
    ASSERT_EQ(hash_md5_file(path.c_str(), d), 0);
    EXPECT_EQ(hex(d, 16), hex(want, 16));
    char text[33];
    ASSERT_EQ(hash_md5_file_str(path.c_str(), text), 0);
    EXPECT_EQ(text, hex(want, 16));

    // A pipe hands its data over in pieces far below one block: the checksum
    // still covers everything up to the end. The pipe stands in for the
    // standard input, which the "/dev/stdin" kind reads.
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int saved_in = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    std::string piped(300000, 'x');
    for (size_t i = 0; i < piped.size(); ++i)
        piped[i] = (char)(i % 253);
    std::thread w([&] {
        for (size_t off = 0; off < piped.size(); off += 4096)
            if (write(fds[1], piped.data() + off, std::min<size_t>(4096, piped.size() - off)) < 0)
                break;
        close(fds[1]);
    });
    int r = hash_crc32_file("/dev/stdin", &crc);
    dup2(saved_in, 0); // a writer still going gets EPIPE, never blocks
    close(saved_in);
    w.join();
    ASSERT_EQ(r, 0);
    EXPECT_EQ(crc, hash_crc32(piped.data(), piped.size(), 0));

    EXPECT_EQ(hash_crc32_file((dir / "missing").c_str(), &crc), -1);
    strcpy(text, "junk");
    EXPECT_EQ(hash_md5_file_str((dir / "missing").c_str(), text), -1);
    EXPECT_STREQ(text, "");
}

TEST(Hash, DigestsKnownValues)
{
    uint8_t d[20];
    hash_sha1("abc", 3, d);
    EXPECT_EQ(hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    hash_md5("abc", 3, d);
    EXPECT_EQ(hex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
    hash_sha1("", 0, d);
    EXPECT_EQ(hex(d, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    // A million 'a' fed in uneven pieces crosses every buffering path.
    std::string a(1000000, 'a');
    sha1_ctx_t s;
    md5_ctx_t m;
    sha1_init(&s);
    md5_init(&m);
    for (size_t off = 0, step = 1; off < a.size(); off += step, step = step * 3 % 199 + 1) {
        size_t n = std::min(step, a.size() - off);
        sha1_update(&s, a.data() + off, n);
        md5_update(&m, a.data() + off, n);
    }
    sha1_final(&s, d);
    EXPECT_EQ(hex(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    md5_final(&m, d);
    EXPECT_EQ(hex(d, 16), "7707d6ae4e027c70eea2a935c2296f21");
    // Final zeroes the contexts.
    sha1_ctx_t zs{};
    md5_ctx_t zm{};
    EXPECT_EQ(memcmp(&s, &zs, sizeof s), 0);
    EXPECT_EQ(memcmp(&m, &zm, sizeof m), 0);

    char out[33] = "junk";
    EXPECT_STREQ(hash_md5_str("", out), "");
    EXPECT_STREQ(hash_md5_str(nullptr, out), "");
    EXPECT_STREQ(hash_md5_str("abc", out), "900150983cd24fb0d6963f7d28e17f72");
}

template <typename Ctx> struct digest_ops;
template <> struct digest_ops<sha1_ctx_t> {
    static constexpr int fields = 71, dlen = 20;
    static constexpr const char *head = "67452301,efcdab89,98badcfe,10325476,c3d2e1f0,";
    static void init(sha1_ctx_t *c) { sha1_init(c); }
    static void update(sha1_ctx_t *c, const void *p, size_t n) { sha1_update(c, p, n); }
    static void final(sha1_ctx_t *c, uint8_t *d) { sha1_final(c, d); }
    static int str(const sha1_ctx_t *c, char *t, size_t n) { return sha1_state_str(c, t, n); }
    static int load(sha1_ctx_t *c, const char *t) { return sha1_state_load(c, t); }
};
template <> struct digest_ops<md5_ctx_t> {
    static constexpr int fields = 70, dlen = 16;
    static constexpr const char *head = "67452301,efcdab89,98badcfe,10325476,";
    static void init(md5_ctx_t *c) { md5_init(c); }
    static void update(md5_ctx_t *c, const void *p, size_t n) { md5_update(c, p, n); }
    static void final(md5_ctx_t *c, uint8_t *d) { md5_final(c, d); }
    static int str(const md5_ctx_t *c, char *t, size_t n) { return md5_state_str(c, t, n); }
    static int load(md5_ctx_t *c, const char *t) { return md5_state_load(c, t); }
};

template <typename Ctx> void check_state_text(size_t fresh_len)
{
    using O = digest_ops<Ctx>;
    Ctx a;
    O::init(&a);
    char text[1024];
    ASSERT_EQ(O::str(&a, text, sizeof text), 0);
    EXPECT_EQ(strlen(text), fresh_len); // deterministic: every byte was set
    O::update(&a, "abc", 3);
    ASSERT_EQ(O::str(&a, text, sizeof text), 0);
    EXPECT_EQ(strlen(text), fresh_len + 4);
    std::string want = std::string(O::head) + "18,0,61,62,63";
    for (int i = 3; i < 64; ++i)
        want += ",0";
    EXPECT_EQ(text, want);

    // Save after an odd amount, load into a fresh context, continue both.
    O::update(&a, "0123456789012345678901234567890123456789012345678901234567890123456789", 70);
    ASSERT_EQ(O::str(&a, text, sizeof text), 0);
    Ctx b;
    O::init(&b);
    ASSERT_EQ(O::load(&b, text), 0);
    O::update(&a, "tail", 4);
    O::update(&b, "tail", 4);
    uint8_t da[20], db[20];
    O::final(&a, da);
    O::final(&b, db);
    EXPECT_EQ(hex(da, O::dlen), hex(db, O::dlen));

    // Refused texts leave the context as it was.
    std::string good(text);
    Ctx c;
    O::init(&c);
    O::update(&c, "xyz", 3);
    Ctx before = c;
    std::vector<std::string> bad = {
        "",
        good.substr(0, good.rfind(',')),          // one field short
        good + ",0",                              // one field too many
        good + ",",                               // empty last field
        "," + good.substr(good.find(',') + 1),    // empty first field
        "g" + good.substr(good.find(',')),        // not hex
        "123456789" + good.substr(good.find(',')), // a word of nine digits
        good.substr(0, good.rfind(',')) + ",100", // a byte above 0xff
        good.substr(0, good.rfind(',')) + ",1 ",  // trailing blank
    };
    for (auto &t : bad) {
        EXPECT_EQ(O::load(&c, t.c_str()), -1) << t;
        EXPECT_EQ(memcmp(&c, &before, sizeof c), 0) << t;
    }
    EXPECT_EQ(O::str(&c, text, 20), -1);
    EXPECT_STREQ(text, "");
}

TEST(Hash, StateTextsRoundTrip)
{
    check_state_text<sha1_ctx_t>(176);
    check_state_text<md5_ctx_t>(167);
}

TEST(Hash, Rc4Vectors)
{
    struct row {
        std::string key, in, out;
    };
    std::string k16;
    for (int i = 1; i <= 16; ++i)
        k16 += (char)i;
    const row rows[] = {
        {"Key", "Plaintext", "bbf316e8d940af0ad3"},
        {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"},
        {k16, std::string(32, '\0'), "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c"},
    };
    for (auto &r : rows) {
        rc4_state_t st;
        rc4_init(&st, r.key.data(), r.key.size());
        std::vector<uint8_t> out(r.in.size());
        rc4_crypt(&st, r.in.data(), out.data(), out.size());
        EXPECT_EQ(hex(out.data(), out.size()), r.out) << r.key;
        // In place, after a fresh init, deciphers.
        rc4_init(&st, r.key.data(), r.key.size());
        rc4_crypt(&st, out.data(), out.data(), out.size());
        EXPECT_EQ(std::string((char *)out.data(), out.size()), r.in);
    }
    // Two calls after one init: each restarts i and j, the permutation goes on.
    rc4_state_t st;
    rc4_init(&st, "Key", 3);
    uint8_t out[9];
    rc4_crypt(&st, "Plain", out, 5);
    rc4_crypt(&st, "text", out + 5, 4);
    EXPECT_EQ(hex(out, 9), "bbf316e8d9211e488b");
}

TEST(Hash, Guids)
{
    uint8_t g[16];
    for (int i = 0; i < 16; ++i)
        g[i] = (uint8_t)i;
    char text[PL_GUID_MAX_STR];
    EXPECT_STREQ(guid_fmt_str(g, text, sizeof text), "{03020100-0504-0706-0908-0B0A0D0C0F0E}");
    // New GUIDs made within the same second differ.
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        guid_new_str(text, sizeof text);
        EXPECT_EQ(strlen(text), 38u);
        EXPECT_EQ(strspn(text + 1, "0123456789ABCDEF-"), 36u);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(Hash, XorshiftSequences)
{
    pl_xorshift_seed(0x811c9dc5 + 1);
    EXPECT_EQ(pl_xorshift64(), 0x2006b901bffd75beull);
    EXPECT_EQ(pl_xorshift64(), 0x710f1933acc220d5ull);
    EXPECT_EQ(pl_xorshift64(), 0xefe84060dca131d4ull);
    pl_xorshift_seed(1000);
    EXPECT_EQ(pl_xorshift64(), 0xf8343c1a20ull);
    EXPECT_EQ(pl_xorshift64(), 0x70f9a85e9c3eea14ull);
    EXPECT_EQ(pl_xorshift32(), 0xd67e92c0u);
    // Seed 1 would be the all-zero state that never moves.
    pl_xorshift_seed(1);
    uint64_t a = pl_xorshift64(), b = pl_xorshift64();
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    pl_xorshift_seed((uint64_t)time(nullptr));
}

TEST(Hash, RandFormsAndRanges)
{
    srand(1);
    EXPECT_EQ(pl_random32(), 0x456723c6u);
    srand(1);
    EXPECT_EQ(pl_random64(), 0x456723c698694873ull);

    // Each range ends and every value of a small one turns up.
    struct urow {
        uint32_t lo, hi;
    };
    for (urow r : {urow{0, 3}, urow{5, 6}, urow{0xfffffffd, 0xffffffff}, urow{70000, 70004}}) {
        std::set<uint32_t> got;
        for (int i = 0; i < 400; ++i) {
            uint32_t v = pl_random_range(r.lo, r.hi);
            ASSERT_TRUE(v >= r.lo && v < r.hi) << v;
            got.insert(v);
        }
        EXPECT_EQ(got.size(), r.hi - r.lo);
    }
    struct srow {
        int32_t lo, hi;
    };
    for (srow r : {srow{-3, 2}, srow{100000, 100003}, srow{-70000, -69997}, srow{INT32_MIN, INT32_MIN + 2}}) {
        std::set<int32_t> got;
        for (int i = 0; i < 400; ++i) {
            int32_t v = pl_random_range(r.lo, r.hi);
            ASSERT_TRUE(v >= r.lo && v < r.hi) << v;
            got.insert(v);
        }
        EXPECT_EQ((int64_t)got.size(), (int64_t)r.hi - r.lo);
    }
    // The widest ranges end too; their values spread over both halves.
    bool neg = false, pos = false;
    for (int i = 0; i < 200; ++i) {
        int32_t v = pl_random_range(INT32_MIN, INT32_MAX);
        ASSERT_LT(v, INT32_MAX);
        (v < 0 ? neg : pos) = true;
    }
    EXPECT_TRUE(neg && pos);
    EXPECT_LT(pl_random_range(0u, 0xffffffffu), 0xffffffffu);
    zk_test::log_capture cap;
    EXPECT_EQ(pl_random_range(7u, 7u), 7u);
    EXPECT_EQ(pl_random_range(3, -3), 3);
    EXPECT_TRUE(cap.has("assert failed"));
}

TEST(Hash, RandomTexts)
{
    char buf[16];
    memset(buf, 'Z', sizeof buf);
    pl_random_alnum(buf, 1);
    EXPECT_EQ(buf[0], 'Z');
    pl_random_alnum(buf, 10);
    EXPECT_EQ(strlen(buf), 9u);
    EXPECT_EQ(strspn(buf, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"), 9u);
    pl_random_hex(buf, 16);
    EXPECT_EQ(strlen(buf), 15u);
    EXPECT_EQ(strspn(buf, "0123456789abcdef"), 15u);

    uint8_t a[32] = {0}, b[32] = {0};
    EXPECT_EQ(pl_random_sys(a, sizeof a), 0);
    EXPECT_EQ(pl_random_sys(b, sizeof b), 0);
    EXPECT_NE(memcmp(a, b, sizeof a), 0);

    pl_lagged_seed(7);
    uint32_t x = pl_lagged_next(), y = pl_lagged_next();
    pl_lagged_seed(7);
    EXPECT_EQ(pl_lagged_next(), x);
    EXPECT_EQ(pl_lagged_next(), y);
    EXPECT_LT(x, 0x80000000u);
}

} // namespace
