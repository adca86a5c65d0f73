// Codecs: the worst-case size, the registry, packing and unpacking with
// "none" and "lz4" (known LZ4 blocks), and the connection's codec holder.
#include <gtest/gtest.h>
#include <lz4.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libpack/pack_ex.h"
#include "libpal/basic/pl_base.h"
#include "libpal/memory/pl_mem.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v)
{
    std::vector<uint8_t> out;
    for (int b : v)
        out.push_back((uint8_t)b);
    return out;
}

struct codec_ptr {
    zcomp *z;
    explicit codec_ptr(zcomp *p) : z(p) {}
    ~codec_ptr() { zcomp_free(z); }
};

TEST(Pack, BoundTable)
{
    struct row {
        int n, bound;
    };
    for (row r : {row{0, 16}, row{255, 272}, row{0x10000, 65809}, row{0x200000, 2105392},
                  row{0x7E000000, 2122219150}, row{0x7E000001, 0}, row{-1, 0}, row{INT32_MAX, 0}}) {
        EXPECT_EQ(zcomp_bound(r.n), r.bound) << r.n;
        EXPECT_EQ(zcomp_bound(r.n), LZ4_compressBound(r.n)) << r.n;
    }
}

TEST(Pack, RegistryNamesAndIds)
{
    ASSERT_STREQ(g_zcomp_list[0]->name, "none");
    ASSERT_STREQ(g_zcomp_list[1]->name, "lz4");
    EXPECT_EQ(g_zcomp_list[2], nullptr);
    for (const char *bad : {"NONE", "LZ4", "zstd", "", "lz4 "}) {
        zcomp *z = zcomp_new_by_name(bad, nullptr);
        EXPECT_EQ(z, nullptr) << bad;
        zcomp_free(z);
    }
    EXPECT_EQ(zcomp_new_by_name(nullptr, nullptr), nullptr);
    codec_ptr n(zcomp_new_by_name("none", nullptr)), l(zcomp_new_by_name("lz4", nullptr));
    ASSERT_TRUE(n.z && l.z);
    EXPECT_EQ(zcomp_id(n.z), 0);
    EXPECT_EQ(zcomp_id(l.z), 1);
    codec_ptr i0(zcomp_new_by_id(0, nullptr)), i1(zcomp_new_by_id(1, nullptr));
    EXPECT_STREQ(i0.z->ops->name, "none");
    EXPECT_STREQ(i1.z->ops->name, "lz4");
    EXPECT_EQ(zcomp_new_by_id(2, nullptr), nullptr);
    EXPECT_EQ(zcomp_new_by_id(-1, nullptr), nullptr);
    EXPECT_EQ(zcomp_id(nullptr), -1);
    EXPECT_EQ(zcomp_compress(nullptr, "a", 1, nullptr, 0), -1);
}

TEST(Pack, Lz4KnownBlocks)
{
    codec_ptr l(zcomp_new_by_name("lz4", nullptr));
    ASSERT_TRUE(l.z);
    struct row {
        std::string in;
        std::vector<uint8_t> packed;
    };
    const row rows[] = {
        {"", bytes({0x00})},
        {"hello", bytes({0x50, 0x68, 0x65, 0x6C, 0x6C, 0x6F})},
        {std::string(1000, 'a'),
         bytes({0x1F, 0x61, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xD2, 0x50, 0x61, 0x61, 0x61, 0x61, 0x61})},
    };
    for (auto &r : rows) {
        std::vector<uint8_t> out(zcomp_bound((int)r.in.size()));
        int n = zcomp_compress(l.z, r.in.data(), (int)r.in.size(), out.data(), (int)out.size());
        ASSERT_EQ(n, (int)r.packed.size()) << r.in.size();
        out.resize(n);
        EXPECT_EQ(out, r.packed);
        std::string back(r.in.size() + 8, '?');
        EXPECT_EQ(zcomp_decompress(l.z, out.data(), n, back.data(), (int)back.size()), (int)r.in.size());
        EXPECT_EQ(back.substr(0, r.in.size()), r.in);
        // One byte short of room fails, it never cuts.
        if (!r.in.empty()) {
            EXPECT_LT(zcomp_decompress(l.z, out.data(), n, back.data(), (int)r.in.size() - 1), 0);
        }
        // A destination too small for the packed form fails too (LZ4 says 0).
        if (r.packed.size() > 1) {
            EXPECT_LT(zcomp_compress(l.z, r.in.data(), (int)r.in.size(), out.data(), 1), 0);
        }
    }
    // The empty block unpacks into no room at all; an empty piece is empty.
    uint8_t zero = 0, dst[10];
    EXPECT_EQ(zcomp_decompress(l.z, &zero, 1, dst, 0), 0);
    EXPECT_EQ(zcomp_decompress(l.z, dst, 0, dst, 10), 0);
    // Corrupt blocks and bad arguments.
    auto junk = bytes({0xF0, 0xFF, 0xFF, 0x12});
    EXPECT_LT(zcomp_decompress(l.z, junk.data(), (int)junk.size(), dst, 10), 0);
    EXPECT_LT(zcomp_decompress(l.z, dst, -1, dst, 10), 0);
    EXPECT_LT(zcomp_compress(l.z, nullptr, 5, dst, 10), 0);
}

TEST(Pack, Lz4LargeRoundTrip)
{
    codec_ptr l(zcomp_new_by_name("lz4", nullptr));
    // Incompressible and compressible data of one block size each; the state
    // is reused for every piece.
    std::vector<uint8_t> in(0x10000);
    uint32_t x = 12345;
    for (auto &b : in) {
        x = x * 1103515245 + 12345;
        b = (uint8_t)(x >> 24);
    }
    for (int round = 0; round < 2; ++round) {
        std::vector<uint8_t> out(zcomp_bound((int)in.size())), back(in.size());
        int n = zcomp_compress(l.z, in.data(), (int)in.size(), out.data(), (int)out.size());
        ASSERT_GT(n, 0);
        EXPECT_LE(n, zcomp_bound((int)in.size()));
        EXPECT_EQ(zcomp_decompress(l.z, out.data(), n, back.data(), (int)back.size()), (int)in.size());
        EXPECT_EQ(back, in);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = (uint8_t)(i / 100);
    }
}

TEST(Pack, NoneCopiesWithinTheDestination)
{
    codec_ptr n(zcomp_new_by_name("none", nullptr));
    char dst[8] = "-------";
    EXPECT_EQ(zcomp_compress(n.z, "hello", 5, dst, 8), 5);
    EXPECT_EQ(std::string(dst, 5), "hello");
    EXPECT_EQ(zcomp_decompress(n.z, "abcdef", 6, dst, 6), 6);
    // A source longer than the room is refused, nothing written past it.
    char guard[12];
    memset(guard, 'G', sizeof guard);
    EXPECT_LT(zcomp_decompress(n.z, "0123456789", 10, guard, 4), 0);
    EXPECT_EQ(std::string(guard, 12), std::string(12, 'G'));
    EXPECT_EQ(zcomp_compress(n.z, "", 0, dst, 0), 0);
}

TEST(Pack, HolderSetupPackUnpack)
{
    sdcomp_ctx h{};
    // Without a codec nothing packs or unpacks.
    char buf[64];
    {
        zk_test::log_capture cap;
        EXPECT_EQ(sdcomp_unpack(&h, "x", 1, buf, sizeof buf), -1);
        EXPECT_EQ(sdcomp_pack(&h, "x", 1, buf, sizeof buf), -1);
        EXPECT_EQ(sdcomp_unpack(nullptr, "x", 1, buf, sizeof buf), -1);
        EXPECT_TRUE(cap.has("no codec"));
    }
    strcpy(h.name, "LZ4");
    EXPECT_EQ(sdcomp_setup(&h), -1);
    EXPECT_EQ(h.codec, nullptr);
    strcpy(h.name, "lz4");
    ASSERT_EQ(sdcomp_setup(&h), 0);
    EXPECT_EQ(h.id, 1);
    std::string text(300, 'z');
    char packed[400];
    int n = sdcomp_pack(&h, text.data(), (int)text.size(), packed, zcomp_bound((int)text.size()));
    ASSERT_GT(n, 0);
    std::string back(300, '\0');
    EXPECT_EQ(sdcomp_unpack(&h, packed, n, back.data(), 300), 300);
    EXPECT_EQ(back, text);

    // By id when the name is empty; setting up again replaces the codec.
    h.name[0] = '\0';
    h.id = 0;
    ASSERT_EQ(sdcomp_setup(&h), 0);
    EXPECT_STREQ(h.codec->ops->name, "none");
    h.id = 7;
    EXPECT_EQ(sdcomp_setup(&h), -1);
    sdcomp_free(&h);
}

int s_fail;
void *fail_malloc(size_t n) { return s_fail ? nullptr : malloc(n); }
void *fail_realloc(void *p, size_t n) { return s_fail ? nullptr : realloc(p, n); }

TEST(Pack, AlignedBuffer)
{
    sdcomp_ctx h{};
    strcpy(h.name, "lz4");
    ASSERT_EQ(sdcomp_setup(&h), 0);
    uint32_t page = mem_get_pagesize();
    ASSERT_GE(page, 2u);
    uint8_t *a = (uint8_t *)zcomp_alloc_align_pagesize(&h, 100);
    ASSERT_TRUE(a);
    EXPECT_EQ((uintptr_t)a % page, 0u);
    EXPECT_EQ(a[0], 0);
    a[0] = 9;
    EXPECT_EQ(zcomp_alloc_align_pagesize(&h, 50), a); // reused
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(h.abuf_cap, 100u);
    uint8_t *b = (uint8_t *)zcomp_alloc_align_pagesize(&h, 5000);
    ASSERT_TRUE(b);
    EXPECT_EQ(h.abuf_cap, 5000u);

    // A failed growth keeps the buffer it had.
    pl_malloc_init(fail_malloc, fail_realloc, free);
    s_fail = 1;
    EXPECT_EQ(zcomp_alloc_align_pagesize(&h, 1 << 20), nullptr);
    s_fail = 0;
    pl_malloc_init(_malloc, _realloc, free);
    EXPECT_EQ(h.abuf, b);
    EXPECT_EQ(h.abuf_cap, 5000u);

    std::string text(1000, 'q');
    char packed[1100];
    int n = sdcomp_pack(&h, text.data(), 1000, packed, sizeof packed);
    void *out = nullptr;
    EXPECT_EQ(sdcomp_unpack_align(&h, packed, n, &out, 1000), 0);
    EXPECT_EQ(std::string((char *)out, 1000), text);
    EXPECT_EQ(sdcomp_unpack_align(&h, packed, n, &out, 999), -1);
    EXPECT_EQ(sdcomp_unpack_align(&h, packed, n, &out, 2000), -1);
    sdcomp_free(&h);
    EXPECT_EQ(h.abuf, nullptr);
    EXPECT_EQ(h.abuf_cap, 0u);
}

} // namespace
