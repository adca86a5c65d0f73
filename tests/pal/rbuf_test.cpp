// The ring of length-prefixed blocks: geometry, drops, the four read modes,
// waiting, and a writer and a reader on two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/memory/rbuf/rbuf.h"

namespace {

struct ring {
    rbuf_t *h;
    ring(uint64_t all, uint64_t block) : h(rbuf_init(all, block)) {}
    ~ring()
    {
        if (h)
            rbuf_exit(h);
    }
};

std::vector<uint8_t> block(size_t n, uint8_t fill) { return std::vector<uint8_t>(n, fill); }

struct stats {
    uint64_t wb, rb, db, wc, rc, dc;
};
stats stat_of(rbuf_t *h)
{
    stats s{};
    rbuf_get_stat(h, &s.wb, &s.rb, &s.db, &s.wc, &s.rc, &s.dc);
    return s;
}

TEST(Rbuf, GeometryAndRefusals)
{
    struct row {
        uint64_t all, block;
        bool made;
        uint64_t slot, slots, prefix;
    };
    const row rows[] = {
        {1048576, 1472, true, 1474, 711, 2},
        {65536, 1472, true, 1474, 44, 2},
        {1 << 20, 65536, true, 65540, 15, 4},
        {1 << 20, 2, false, 0, 0, 0},
        {2, 100, false, 0, 0, 0},
        {2000, 1472, false, 0, 0, 0}, // one slot only
    };
    for (const row &r : rows) {
        fd_capture err;
        ring g(r.all, r.block);
        const std::string log = err.stop();
        ASSERT_EQ(g.h != nullptr, r.made) << r.all << "/" << r.block;
        if (!g.h) {
            if (r.all == 2000) {
                EXPECT_NE(log.find("MaxQueueSize=1 <2 error"), std::string::npos) << log;
            }
            continue;
        }
        EXPECT_EQ(g.h->BlockSize, r.slot);
        EXPECT_EQ(g.h->MaxQueueSize, r.slots);
        EXPECT_EQ(g.h->bs_byte, r.prefix);
    }
}

TEST(Rbuf, BlockSizeLimitAndDropOfTheOldest)
{
    ring g(1048576, 1472);
    ASSERT_TRUE(g.h);
    {
        fd_capture err;
        EXPECT_EQ(rbuf_write(g.h, block(1473, 1).data(), 1473), -1);
        EXPECT_NE(err.stop().find("size>0 && size<=ctx->BlockSize-ctx->bs_byte"), std::string::npos);
    }
    EXPECT_EQ(rbuf_write(g.h, block(1472, 1).data(), 1472), 0);
    for (uint64_t i = 1; i < g.h->MaxQueueSize; i++)
        ASSERT_EQ(rbuf_write(g.h, block(10 + i, (uint8_t)i).data(), 10 + i), 0);
    EXPECT_EQ(g.h->used, g.h->MaxQueueSize);
    EXPECT_EQ(rbuf_get_drop_count(g.h), 0u);
    EXPECT_EQ(rbuf_write(g.h, block(5, 0xee).data(), 5), 0);
    stats s = stat_of(g.h);
    EXPECT_EQ(s.dc, 1u);
    EXPECT_EQ(s.db, 1472u);
    EXPECT_EQ(g.h->used, g.h->MaxQueueSize);
    // The dropped block's bytes are no longer counted as queued.
    uint64_t queued = 0;
    for (uint64_t i = 1; i < g.h->MaxQueueSize; i++)
        queued += 10 + i;
    EXPECT_EQ(rbuf_queued_bytes(g.h), queued + 5);
    // The oldest left is the second block written.
    std::vector<uint8_t> out(1472);
    EXPECT_EQ(rbuf_read_one(g.h, out.data(), out.size()), 11);
    EXPECT_EQ(out[0], 1);
}

TEST(Rbuf, ReadModes)
{
    ring g(1048576, 1472);
    ASSERT_TRUE(g.h);
    for (uint8_t i = 1; i <= 3; i++)
        rbuf_write(g.h, block(1400, i).data(), 1400);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(rbuf_read_blocks(g.h, buf.data(), buf.size()), 2804);
    uint16_t len;
    memcpy(&len, buf.data(), 2);
    EXPECT_EQ(len, 1400);
    EXPECT_EQ(buf[2], 1);
    EXPECT_EQ(buf[1402 + 2], 2);
    EXPECT_EQ(rbuf_is_empty(g.h), 0);
    EXPECT_EQ(rbuf_read_one(g.h, buf.data(), 1472), 1400);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(rbuf_is_empty(g.h), 1);

    // Many payloads back to back, without prefixes.
    for (uint8_t i = 1; i <= 3; i++)
        rbuf_write(g.h, block(100, i).data(), 100);
    EXPECT_EQ(rbuf_read_many(g.h, buf.data(), buf.size()), 300);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[100], 2);
    EXPECT_EQ(buf[299], 3);

    // Every block to a procedure.
    static std::vector<uint64_t> seen;
    seen.clear();
    for (uint8_t i = 1; i <= 4; i++)
        rbuf_write(g.h, block(i, i).data(), i);
    EXPECT_EQ(rbuf_read_each(g.h, [](const void *, uint64_t n) { seen.push_back(n); }), 0);
    EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(rbuf_queued_bytes(g.h), 0u);

    // Buffers too small for the mode.
    fd_capture err;
    EXPECT_EQ(rbuf_read_blocks(g.h, buf.data(), 1473), -1);
    EXPECT_EQ(rbuf_read_one(g.h, buf.data(), 1469), -1);
    const std::string log = err.stop();
    EXPECT_NE(log.find("len>=ctx->BlockSize"), std::string::npos);
    EXPECT_NE(log.find("len+ctx->bs_byte>=ctx->BlockSize"), std::string::npos);
}

TEST(Rbuf, WaitingReadsAndClear)
{
    ring g(65536, 1472);
    ASSERT_TRUE(g.h);
    std::vector<uint8_t> buf(1472);
    EXPECT_EQ(rbuf_read_one(g.h, buf.data(), buf.size()), 0);
    const uint64_t t0 = os_clock_ms();
    EXPECT_EQ(rbuf_read_one_wait(g.h, buf.data(), buf.size(), 100), 0);
    const uint64_t took = os_clock_ms() - t0;
    EXPECT_GE(took, 90u);

    // A block written while a reader waits is handed to it.
    std::thread w([&] { rbuf_write(g.h, "hello", 5); });
    EXPECT_EQ(rbuf_read_one_wait(g.h, buf.data(), buf.size(), 30000), 5);
    w.join();

    rbuf_write(g.h, "abc", 3);
    EXPECT_EQ(rbuf_clear(g.h), 0);
    EXPECT_EQ(rbuf_queued_bytes(g.h), 0u);
    EXPECT_EQ(rbuf_is_empty(g.h), 1);
    stats s = stat_of(g.h);
    EXPECT_EQ(s.wc + s.rc + s.dc + s.wb + s.rb + s.db, 0u);
}

TEST(Rbuf, ReservedBlocksAreSeenByWaitingReaders)
{
    ring g(65536, 1472);
    ASSERT_TRUE(g.h);
    std::thread w([&] {
        void *p = rbuf_alloc_lock(g.h, 4);
        memcpy(p, "wxyz", 4);
        rbuf_unlock(g.h);
    });
    std::vector<uint8_t> buf(1472);
    EXPECT_EQ(rbuf_read_many_wait(g.h, buf.data(), buf.size(), 30000), 4);
    w.join();
    EXPECT_EQ(memcmp(buf.data(), "wxyz", 4), 0);
    EXPECT_EQ(rbuf_queued_bytes(g.h), 0u);
}

TEST(Rbuf, WriteWaitOnAFullRing)
{
    ring g(3 * 12, 10); // three slots of 12 bytes
    ASSERT_TRUE(g.h);
    ASSERT_EQ(g.h->MaxQueueSize, 3u);
    EXPECT_EQ(rbuf_write_wait(g.h, "a", 1, 10), 0);
    EXPECT_EQ(rbuf_write_wait(g.h, "b", 1, 10), 0);
    EXPECT_EQ(rbuf_is_full(g.h), 1);
    EXPECT_EQ(rbuf_write_wait(g.h, "c", 1, 10), -2);
    char c;
    std::thread r([&] { rbuf_read_one_wait(g.h, &c, 10, 30000); });
    r.join();
    EXPECT_EQ(rbuf_write_wait(g.h, "c", 1, 30000), 0);
}

TEST(Rbuf, ThreadedWriterAndReaderAccountForEveryBlock)
{
    ring g(16 * 1024, 200);
    ASSERT_TRUE(g.h);
    constexpr int kBlocks = 20000;
    std::atomic<bool> done{false};
    uint64_t got_blocks = 0, got_bytes = 0;
    std::thread reader([&] {
        std::vector<uint8_t> buf(200);
        for (;;) {
            const int64_t n = rbuf_read_one_wait(g.h, buf.data(), buf.size(), 50);
            if (n > 0) {
                got_blocks++;
                got_bytes += (uint64_t)n;
                ASSERT_EQ(buf[0], (uint8_t)n);
            } else if (done.load() && rbuf_is_empty(g.h)) {
                break;
            }
        }
    });
    uint64_t sent = 0;
    for (int i = 0; i < kBlocks; i++) {
        const size_t n = 1 + (size_t)(i % 199);
        std::vector<uint8_t> b(n, (uint8_t)n);
        ASSERT_EQ(rbuf_write(g.h, b.data(), n), 0);
        sent += n;
    }
    done = true;
    reader.join();
    stats s = stat_of(g.h);
    EXPECT_EQ(s.wc, (uint64_t)kBlocks);
    EXPECT_EQ(s.wb, sent);
    EXPECT_EQ(got_blocks + s.dc, (uint64_t)kBlocks);
    EXPECT_EQ(got_bytes + s.db, sent);
    EXPECT_EQ(s.rb, got_bytes);
    EXPECT_EQ(rbuf_queued_bytes(g.h), 0u);
}

TEST(Rbuf, EndianFields)
{
    const uint8_t b[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    EXPECT_EQ(get_u16_endian(1, b, 1), 0x0203);
    EXPECT_EQ(get_u32_endian(1, b, 1), 0x02030405u);
    EXPECT_EQ(get_u64_endian(1, b, 1), 0x0203040506070809ull);
    uint32_t native;
    memcpy(&native, b + 1, 4);
    EXPECT_EQ(get_u32_endian(0, b, 1), native);
}

} // namespace
