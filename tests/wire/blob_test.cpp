// Blob-message tables: the bytes the encoder writes for known requests, the
// buffer's growth, trimming, and every rule of the reply parser on byte
// fixtures.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libzksd/zksd_frame.h"
#include "test_util.h"
#include "wire/wire_test_util.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes from_hex(const char *text)
{
    std::string s = wire_test::from_hex(text);
    return bytes(s.begin(), s.end());
}

struct msg {
    blob_buf b{};
    msg() { EXPECT_EQ(blob_buf_init(&b, 2), 0); }
    ~msg() { blob_buf_free(&b); }
    bytes root() const
    {
        const uint8_t *p = (const uint8_t *)blob_buf_root(&b);
        return bytes(p, p + blob_pad_len(blob_buf_root(&b)));
    }
    // The request frame as it goes on the wire: head, then the root payload.
    bytes frame(uint8_t cmd) const
    {
        bytes f = {0x5A, 0x4B, 0x01, cmd};
        bytes r = root();
        f.insert(f.end(), r.begin(), r.end());
        return f;
    }
    void add_str(const char *name, const char *v) { ASSERT_EQ(blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, name, v, strlen(v) + 1), 0); }
};

TEST(Blob, KnownRequestFrames)
{
    {
        msg m; // close a file: fd 5
        ASSERT_EQ(blobmsg_add_u64(&m.b, "fd", 5), 0);
        EXPECT_EQ(m.frame(11), from_hex("5A 4B 01 0B 02 00 00 18 85 00 00 14 00 02 66 64 00 00 00 00 "
                                        "00 00 00 00 00 00 00 05"));
    }
    {
        msg m; // goodbye: an empty table
        EXPECT_EQ(m.frame(2), from_hex("5A 4B 01 02 02 00 00 04"));
    }
    {
        msg m; // the login probe
        m.add_str("user", ":");
        m.add_str("passwd", "");
        EXPECT_EQ(m.frame(1), from_hex("5A 4B 01 01 02 00 00 28 84 00 00 0E 00 04 75 73 65 72 00 00 3A 00 00 00 "
                                       "84 00 00 11 00 06 70 61 73 73 77 64 00 00 00 00 00 00 00 00"));
    }
    {
        msg m; // codec negotiation
        ASSERT_EQ(blobmsg_add_u64(&m.b, "fd", 0), 0);
        ASSERT_EQ(blobmsg_add_u32(&m.b, "cmd", 10001), 0);
        ASSERT_EQ(blobmsg_add_u32(&m.b, "len", 4), 0);
        ASSERT_EQ(blobmsg_add_field(&m.b, BLOBMSG_TYPE_BINARY, "data", "lz4", 4), 0);
        EXPECT_EQ(m.frame(20), from_hex("5A 4B 01 14 02 00 00 48 85 00 00 14 00 02 66 64 00 00 00 00 00 00 00 00 "
                                        "00 00 00 00 86 00 00 10 00 03 63 6D 64 00 00 00 00 00 27 11 86 00 00 10 "
                                        "00 03 6C 65 6E 00 00 00 00 00 00 04 83 00 00 10 00 04 64 61 74 61 00 00 "
                                        "6C 7A 34 00"));
    }
}

TEST(Blob, HeaderLengthsAndAccessors)
{
    struct row {
        uint32_t n, h;
    };
    for (row r : {row{0, 4}, row{1, 4}, row{2, 8}, row{5, 8}, row{6, 12}, row{9, 12}, row{10, 16}})
        EXPECT_EQ(blobmsg_hdrlen(r.n), r.h) << r.n;
    msg m;
    ASSERT_EQ(blobmsg_add_u64(&m.b, "big", 0x0102030405060708ull), 0);
    ASSERT_EQ(blobmsg_add_field(&m.b, BLOBMSG_TYPE_BINARY, nullptr, "xyz", 3), 0);
    m.add_str("s", "text");
    blob_attr *root = blob_buf_root(&m.b);
    EXPECT_EQ(blob_id(root), 2u);
    EXPECT_FALSE(blob_is_extended(root));
    EXPECT_EQ(blob_raw_len(root) % 4, 0u);
    blob_attr *a = (blob_attr *)blob_data(root);
    EXPECT_TRUE(blob_is_extended(a));
    EXPECT_STREQ(blobmsg_name(a), "big");
    EXPECT_EQ(blobmsg_get_u64(a), 0x0102030405060708ull);
    a = (blob_attr *)((uint8_t *)a + blob_pad_len(a));
    EXPECT_STREQ(blobmsg_name(a), ""); // NULL name: the empty name, h = 4
    EXPECT_EQ(blob_raw_len(a), 4u + 4 + 3);
    EXPECT_EQ(blobmsg_data_len(a), 3u);
    EXPECT_EQ(memcmp(blobmsg_data(a), "xyz", 3), 0);
    EXPECT_EQ(blob_pad_len(a), 12u);
    EXPECT_EQ(((uint8_t *)a)[11], 0); // padding is zero
    a = (blob_attr *)((uint8_t *)a + blob_pad_len(a));
    EXPECT_STREQ(blobmsg_get_string(a), "text");
}

int s_fail;
void *fail_malloc(size_t n) { return s_fail ? nullptr : malloc(n); }
void *fail_realloc(void *p, size_t n) { return s_fail ? nullptr : realloc(p, n); }

TEST(Blob, BufferGrowsInWholeBlocksAndNeverShrinks)
{
    msg m;
    EXPECT_EQ(m.b.buflen, 256);
    // A 300-byte value: the field ends at 4 + 4 + 8 + 300 = 316, 60 past the
    // end, so the buffer grows by ((60 / 256) + 1) * 256.
    std::string v(300, 'v');
    ASSERT_EQ(blobmsg_add_field(&m.b, BLOBMSG_TYPE_BINARY, "data", v.data(), v.size()), 0);
    EXPECT_EQ(m.b.buflen, 512);
    std::string big(1000, 'w');
    ASSERT_EQ(blobmsg_add_field(&m.b, BLOBMSG_TYPE_BINARY, "data2", big.data(), big.size()), 0);
    // Ends at 316 + 4 + 8 + 1000 = 1328: 816 past 512, so 4 blocks more.
    EXPECT_EQ(m.b.buflen, 1536);
    EXPECT_EQ(blob_raw_len(blob_buf_root(&m.b)), 1328u);
    ASSERT_EQ(blob_buf_init(&m.b, 2), 0);
    EXPECT_EQ(m.b.buflen, 1536);
    EXPECT_EQ(blob_raw_len(blob_buf_root(&m.b)), 4u);

    // A growth that fails leaves the message and its storage as they were.
    ASSERT_EQ(blobmsg_add_u32(&m.b, "cmd", 7), 0);
    bytes before = m.root();
    void *storage = m.b.buf;
    pl_malloc_init(fail_malloc, fail_realloc, free);
    s_fail = 1;
    std::string huge(4000, 'h');
    EXPECT_EQ(blobmsg_add_field(&m.b, BLOBMSG_TYPE_BINARY, "data", huge.data(), huge.size()), -1);
    void *dp = nullptr;
    EXPECT_EQ(blobmsg_alloc_bin(&m.b, "data", huge.size(), &dp), nullptr);
    s_fail = 0;
    pl_malloc_init(_malloc, _realloc, free);
    EXPECT_EQ(m.b.buf, storage);
    EXPECT_EQ(m.b.buflen, 1536);
    EXPECT_EQ(m.root(), before);
    ASSERT_EQ(blobmsg_add_field(&m.b, BLOBMSG_TYPE_BINARY, "data", huge.data(), huge.size()), 0);

    // Names and values that the 16-bit name length or the 24-bit raw length
    // cannot carry are refused.
    std::string long_name(70000, 'n');
    EXPECT_EQ(blobmsg_add_u32(&m.b, long_name.c_str(), 1), -1);
    EXPECT_EQ(blobmsg_alloc_bin(&m.b, "data", 0x1000000, &dp), nullptr);
    EXPECT_EQ(blobmsg_alloc_bin(&m.b, "data", 0xfffff0, &dp), nullptr); // value fits, message not
    blob_buf_free(&m.b);
    EXPECT_EQ(blobmsg_add_u32(&m.b, "cmd", 1), -1); // not initialised
}

TEST(Blob, AllocBinAndTrim)
{
    msg m;
    ASSERT_EQ(blobmsg_add_u64(&m.b, "fd", 3), 0);
    void *data = nullptr;
    blob_attr *f = blobmsg_alloc_bin(&m.b, "data", 100, &data);
    ASSERT_TRUE(f && data);
    memset(data, 0xAB, 100);
    EXPECT_EQ(blob_raw_len(blob_buf_root(&m.b)), 4u + 20 + 4 + 8 + 100);
    EXPECT_EQ(blobmsg_trim(&m.b, f, 101), -1);
    ASSERT_EQ(blobmsg_trim(&m.b, f, 10), 0);
    EXPECT_EQ(blob_raw_len(f), 4u + 8 + 10);
    EXPECT_EQ(blob_raw_len(blob_buf_root(&m.b)), 4u + 20 + 24);
    bytes r = m.root();
    ASSERT_EQ(r.size(), 48u);
    EXPECT_EQ(r[46], 0); // new padding zeroed
    EXPECT_EQ(r[47], 0);
    // Only the last field can be trimmed.
    blob_attr *first = (blob_attr *)blob_data(blob_buf_root(&m.b));
    EXPECT_EQ(blobmsg_trim(&m.b, first, 4), -1);
    ASSERT_EQ(blobmsg_trim(&m.b, f, 0), 0);
    EXPECT_EQ(blob_raw_len(blob_buf_root(&m.b)), 4u + 20 + 12);
}

// ---- parser ----------------------------------------------------------------------------

// One raw attribute: word (extended flag, id, raw length) and payload,
// padded with zeros to a multiple of 4.
bytes attr(bool ext, uint32_t id, uint32_t raw, const bytes &payload)
{
    uint32_t w = (ext ? 0x80000000u : 0) | id << 24 | raw;
    bytes a = {(uint8_t)(w >> 24), (uint8_t)(w >> 16), (uint8_t)(w >> 8), (uint8_t)w};
    a.insert(a.end(), payload.begin(), payload.end());
    while (a.size() % 4)
        a.push_back(0);
    return a;
}

// A well-formed named field.
bytes field(uint32_t id, const std::string &name, const bytes &value)
{
    bytes p = {(uint8_t)(name.size() >> 8), (uint8_t)name.size()};
    p.insert(p.end(), name.begin(), name.end());
    p.resize(blobmsg_hdrlen((uint32_t)name.size()), 0);
    p.insert(p.end(), value.begin(), value.end());
    return attr(true, id, (uint32_t)(4 + p.size()), p);
}
bytes i32(const std::string &name, uint32_t v)
{
    return field(6, name, {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v});
}
bytes i64(const std::string &name, uint64_t v)
{
    bytes b;
    for (int i = 7; i >= 0; --i)
        b.push_back((uint8_t)(v >> (8 * i)));
    return field(5, name, b);
}
bytes str(const std::string &name, const std::string &v)
{
    bytes b(v.begin(), v.end());
    b.push_back(0);
    return field(4, name, b);
}
bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const blobmsg_policy k_policy[] = {
    {"errno", BLOBMSG_TYPE_INT32},
    {"errno_str", BLOBMSG_TYPE_STRING},
    {"fd", BLOBMSG_TYPE_INT64},
    {"len", BLOBMSG_TYPE_INT32},
};
constexpr int k_rows = 4;

int parse(const bytes &payload, blob_attr **tb)
{
    // A heap copy of exactly the payload, so that a read past it is caught
    // by the sanitizer build.
    std::vector<uint8_t> heap(payload);
    static std::vector<uint8_t> keep;
    keep = heap;
    return cli_blobmsg_parse(k_policy, k_rows, tb, keep.data(), keep.size());
}

TEST(Blob, ParseReplyPresenceRules)
{
    blob_attr *tb[k_rows];
    ASSERT_EQ(parse(cat({i32("errno", 0), str("errno_str", ""), i64("fd", 9), i32("len", 77)}), tb), 0);
    EXPECT_EQ(blobmsg_get_u64(tb[2]), 9u);
    EXPECT_EQ(blobmsg_get_u32(tb[3]), 77u);
    // Order does not matter.
    ASSERT_EQ(parse(cat({i32("len", 1), i64("fd", 2), str("errno_str", ""), i32("errno", 0)}), tb), 0);
    EXPECT_EQ(blobmsg_get_u32(tb[3]), 1u);

    // An error reply carries only errno and errno_str.
    ASSERT_EQ(parse(cat({i32("errno", (uint32_t)-102), str("errno_str", "no such file")}), tb), 0);
    EXPECT_EQ((int32_t)blobmsg_get_u32(tb[0]), -102);
    EXPECT_STREQ(blobmsg_get_string(tb[1]), "no such file");
    EXPECT_EQ(tb[2], nullptr);

    zk_test::log_capture cap;
    EXPECT_EQ(parse(cat({i32("errno", 0), i64("fd", 9), i32("len", 7)}), tb), -1);
    EXPECT_TRUE(cap.has("ba[1]=NULL error"));
    EXPECT_EQ(parse(cat({i32("errno", 5), i64("fd", 9)}), tb), -1); // errno_str missing
    EXPECT_EQ(parse(cat({str("errno_str", ""), i64("fd", 9), i32("len", 7)}), tb), -1);
    EXPECT_TRUE(cap.has("ba[0]=NULL error"));
    EXPECT_EQ(parse(cat({i32("errno", 0), str("errno_str", ""), i64("fd", 9)}), tb), -1);
    EXPECT_TRUE(cap.has("ba[3]=NULL error"));
    EXPECT_EQ(parse({}, tb), -1);
}

TEST(Blob, ParseFieldRules)
{
    blob_attr *tb[k_rows];
    const bytes head = cat({i32("errno", 0), str("errno_str", "")});
    auto with = [&](std::initializer_list<bytes> rest) {
        bytes b = head;
        for (auto &p : rest)
            b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    // Two fields of one name and type: the first counts.
    ASSERT_EQ(parse(with({i64("fd", 1), i64("fd", 2), i32("len", 3)}), tb), 0);
    EXPECT_EQ(blobmsg_get_u64(tb[2]), 1u);
    // The same name with another type is another field: skipped for that row.
    ASSERT_EQ(parse(with({i32("fd", 8), i64("fd", 2), i32("len", 3)}), tb), 0);
    EXPECT_EQ(blobmsg_get_u64(tb[2]), 2u);

    // A value of the wrong size under a row's type and name length fails the
    // whole parse, before or after a good field of that name.
    EXPECT_EQ(parse(with({i64("fd", 1), field(6, "len", {0, 0, 3}), i32("len", 3)}), tb), -1);
    EXPECT_EQ(parse(with({i64("fd", 1), i32("len", 3), field(6, "len", {0, 0, 0, 0, 3})}), tb), -1);
    EXPECT_EQ(parse(with({i64("fd", 1), i32("len", 3), field(6, "xyz", {0, 3})}), tb), -1); // same name length
    EXPECT_EQ(parse(cat({i32("errno", 0), field(4, "errno_str", {'a', 'b'}), i64("fd", 1), i32("len", 3)}), tb), -1);
    EXPECT_EQ(parse(cat({i32("errno", 0), field(4, "errno_str", {}), i64("fd", 1), i32("len", 3)}), tb), -1);

    // Fields no row asks for are skipped unchecked: other names, other
    // types, types above 8, and attributes without the extended flag.
    ASSERT_EQ(parse(with({field(6, "zz", {1}), field(9, "fd", {1}),
                          attr(true, 6, 4 + 8, {0, 0, 0, 0, 0, 0, 0, 3}), field(3, "fd", {}),
                          attr(false, 5, 4 + 12, {0, 2, 'f', 'd', 0, 0, 0, 0, 0, 0, 0, 1}), i64("fd", 4),
                          i32("len", 5)}),
                    tb),
              0);
    EXPECT_EQ(blobmsg_get_u64(tb[2]), 4u);
}

TEST(Blob, ParseBrokenFields)
{
    blob_attr *tb[k_rows];
    const bytes head = cat({i32("errno", 0), str("errno_str", "")});
    auto with = [&](const bytes &bad) {
        return cat({head, bad, i64("fd", 1), i32("len", 2)});
    };
    struct row {
        const char *what;
        bytes bad;
    };
    const row rows[] = {
        // Named fields too short to hold their name length (raw 1..5).
        {"raw 1", attr(true, 6, 1, {})},
        {"raw 3", attr(true, 6, 3, {})},
        {"raw 4", attr(true, 6, 4, {})},
        {"raw 5", attr(true, 6, 5, {0})},
        {"name past the payload", attr(true, 6, 4 + 6, {0, 5, 'e', 'r', 'r', 'o'})},
        {"name without NUL", attr(true, 6, 4 + 12, {0, 3, 'l', 'e', 'n', 'x', 0, 0, 0, 0, 0, 2})},
        {"header past the payload", attr(true, 6, 4 + 6, {0, 3, 'l', 'e', 'n', 0})},
    };
    for (auto &r : rows)
        EXPECT_EQ(parse(with(r.bad), tb), -1) << r.what;
    // A row of type 0 matches any id, so an id above 8 is then checked.
    const blobmsg_policy any[] = {{"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING},
                                  {"x", BLOBMSG_TYPE_UNSPEC}};
    bytes p = cat({head, field(9, "x", {1})});
    EXPECT_EQ(cli_blobmsg_parse(any, 3, tb, p.data(), p.size()), -1);
    p = cat({head, field(3, "x", {1, 2})});
    ASSERT_EQ(cli_blobmsg_parse(any, 3, tb, p.data(), p.size()), 0);
    EXPECT_EQ(blobmsg_data_len(tb[2]), 2u);
}

TEST(Blob, ParseWalkEndsQuietly)
{
    blob_attr *tb[k_rows];
    const bytes good = cat({i32("errno", 0), str("errno_str", ""), i64("fd", 1), i32("len", 2)});
    // Trailing bytes too few for a word, a zero word, an attribute running
    // past the end: the walk stops there and what came before counts.
    EXPECT_EQ(parse(cat({good, {0x86, 0x00}}), tb), 0);
    EXPECT_EQ(parse(cat({good, {0, 0, 0, 0}, i32("len", 9)}), tb), 0);
    EXPECT_EQ(blobmsg_get_u32(tb[3]), 2u);
    bytes over = cat({good, attr(true, 6, 40, {0, 3, 'l', 'e', 'n', 0, 0, 0})});
    EXPECT_EQ(parse(over, tb), 0);
    // Fields after the stop are not seen.
    EXPECT_EQ(parse(cat({i32("errno", 0), str("errno_str", ""), {0, 0, 0, 0}, i64("fd", 1), i32("len", 2)}), tb),
              -1);
}

TEST(Blob, ParseWhatTheEncoderWrote)
{
    msg m;
    ASSERT_EQ(blobmsg_add_u32(&m.b, "errno", 0), 0);
    m.add_str("errno_str", "");
    ASSERT_EQ(blobmsg_add_u64(&m.b, "fd", 0xfedcba9876543210ull), 0);
    ASSERT_EQ(blobmsg_add_u32(&m.b, "len", 0xffffffffu), 0);
    blob_attr *root = blob_buf_root(&m.b), *tb[k_rows];
    ASSERT_EQ(cli_blobmsg_parse(k_policy, k_rows, tb, blob_data(root), blob_len(root)), 0);
    EXPECT_EQ(blobmsg_get_u64(tb[2]), 0xfedcba9876543210ull);
    EXPECT_EQ(blobmsg_get_u32(tb[3]), 0xffffffffu);
}

} // namespace
