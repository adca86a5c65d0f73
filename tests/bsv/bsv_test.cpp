// Binary log records: layouts, field access, records, packets, envelope.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libbsv/bsv.h"
#include "liblog/log2_out.h"
#include "libpal/hash/pl_hash.h"
#include "test_util.h"

namespace {

// The program installs the log's outputs at start-up (its log configuration
// does); these tests use them without one.
[[maybe_unused]] const bool k_outputs_installed = (log2_outputs_init(), true);

std::string hex(const void *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    const uint8_t *b = (const uint8_t *)p;
    for (size_t i = 0; i < n; i++) {
        if (i)
            s += ' ';
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
    }
    return s;
}

bsv_log_t sample()
{
    bsv_log_t r{};
    r.sec = 1700000000;
    r.usec = 123456;
    r.pid = 1234;
    r.tid = 1240;
    r.level = 4;
    r.tag = "vfs";
    r.tid_name = "main_1240";
    r.file = "a.c";
    r.line = "10";
    r.func = "fn";
    r.msg = "hello";
    return r;
}

const char SAMPLE_HEX[] = "00 f1 53 65 00 00 00 00 40 e2 01 00 d2 04 00 00 d8 04 00 00 04 76 66 73 00 6d 61 69 "
                          "6e 5f 31 32 34 30 00 61 2e 63 00 31 30 00 66 6e 00 68 65 6c 6c 6f 00";

bsv_env_t sample_env()
{
    bsv_env_t e{};
    e.sid = 0;
    e.bid = 1699996400;
    e.stime = 1699999940;
    e.ver_id = 17237506;
    e.app_id = 7;
    e.os_id = 2;
    e.arch_id = 42;
    e.type_id = 1;
    e.hostname = "box";
    return e;
}

struct plain_packets {
    plain_packets() { bsv_set_encrypt(0); }
    ~plain_packets() { bsv_set_encrypt(0); }
};

} // namespace

TEST(BsvRecord, KnownAnswerAndParseBack)
{
    uint8_t buf[BSV_LOG_MAX];
    bsv_log_t in = sample();
    int n = bsv_build_log2(buf, &in);
    ASSERT_EQ(n, 51);
    EXPECT_EQ(hex(buf, 51), SAMPLE_HEX);

    bsv_log_t out;
    ASSERT_EQ(bsv_parse_log(buf, n, nullptr, &out), 0);
    EXPECT_EQ(out.sec, 1700000000u);
    EXPECT_EQ(out.usec, 123456u);
    EXPECT_EQ(out.pid, 1234u);
    EXPECT_EQ(out.tid, 1240u);
    EXPECT_EQ(out.level, 4);
    EXPECT_STREQ(out.tag, "vfs");
    EXPECT_STREQ(out.tid_name, "main_1240");
    EXPECT_STREQ(out.file, "a.c");
    EXPECT_STREQ(out.line, "10");
    EXPECT_STREQ(out.func, "fn");
    EXPECT_STREQ(out.msg, "hello");
}

TEST(BsvRecord, LongMessageIsCutToTheRecordLimit)
{
    std::string msg(2000, 'm');
    uint8_t buf[BSV_LOG_MAX + 16];
    memset(buf, 0xee, sizeof(buf));
    int n = bsv_build_log(buf, 6, "vfs", "a.c", 10, "fn", msg.c_str());
    ASSERT_EQ(n, 1470);
    EXPECT_EQ(buf[1469], 0);
    EXPECT_EQ(buf[1470], 0xee); // nothing written past the record
    bsv_log_t out;
    ASSERT_EQ(bsv_parse_log(buf, n, nullptr, &out), 0);
    size_t msg_off = (size_t)(out.msg - (const char *)buf);
    EXPECT_EQ(strlen(out.msg), 1470 - msg_off - 1);
    EXPECT_EQ(std::string(out.msg), std::string(strlen(out.msg), 'm'));
    EXPECT_EQ(out.level, 6);
    EXPECT_STREQ(out.line, "10");
}

// A record cut anywhere reads its missing numbers as 0 and its missing
// strings as "", and the parser stays inside the record (the buffer is
// exactly as long as the record, so the sanitizer build sees any overread).
TEST(BsvRecord, CutRecordsNeverReadPastTheirLength)
{
    uint8_t full[BSV_LOG_MAX];
    bsv_log_t in = sample();
    int n = bsv_build_log2(full, &in);
    struct {
        int len;
        int parse;
        uint32_t pid;
        const char *tag, *msg, *func;
    } cases[] = {
        {0, -1, 0, "", "", ""},          {10, -1, 0, "", "", ""},
        {21, 0, 1234, "", "", ""},       {24, 0, 1234, "", "", ""}, // "vfs" without its NUL
        {25, 0, 1234, "vfs", "", ""},    {n - 1, 0, 1234, "vfs", "", "fn"},
        {n, 0, 1234, "vfs", "hello", "fn"},
    };
    for (auto &c : cases) {
        std::vector<uint8_t> rec(full, full + c.len);
        bsv_log_t out;
        EXPECT_EQ(bsv_parse_log(rec.data(), c.len, nullptr, &out), c.parse) << c.len;
        EXPECT_EQ(out.pid, c.pid) << c.len;
        EXPECT_STREQ(out.tag, c.tag) << c.len;
        EXPECT_STREQ(out.msg, c.msg) << c.len;
        EXPECT_STREQ(out.func, c.func) << c.len;
    }
}

TEST(BsvValue, LayoutFieldsAndAccess)
{
    bsv_value_t *v = bsv_type_open_value(BSV_TYPE_KLOG);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(bsv_value_get_count(v), 13);
    struct {
        const char *name;
        int type, size, offset;
    } want[] = {{"sec", 14, 8, 0},     {"usec", 10, 4, 8},   {"pid", 10, 4, 12},     {"tid", 10, 4, 16},
                {"cpu_num", 6, 2, 20}, {"irql", 2, 1, 22},   {"level", 2, 1, 23},    {"tag", 28, -1, 24},
                {"tid_name", 28, -1, -1}, {"file", 28, -1, -1}, {"line", 28, -1, -1}, {"func", 28, -1, -1},
                {"msg", 28, -1, -1}};
    for (int i = 0; i < 13; i++) {
        const bsv_field_t *f = bsv_value_get_name(v, i);
        ASSERT_NE(f, nullptr);
        EXPECT_STREQ(f->name, want[i].name);
        EXPECT_EQ(f->type, want[i].type) << want[i].name;
        EXPECT_EQ(f->size, want[i].size) << want[i].name;
        EXPECT_EQ(f->offset, want[i].offset) << want[i].name;
    }
    uint8_t rec[BSV_LOG_MAX];
    int n = bsv_build_klog(rec, 5, "t", "f.c", 7, "fn", "hi");
    EXPECT_EQ(bsv_value_get_u16(v, rec, n, 4), 1);
    EXPECT_EQ(bsv_value_get_u8(v, rec, n, 5), 2);
    EXPECT_EQ(bsv_value_get_u8(v, rec, n, 6), 5);
    EXPECT_STREQ(bsv_value_get_str(v, rec, n, 12), "hi");
    bsv_log_t k;
    ASSERT_EQ(bsv_parse_klog(rec, n, nullptr, &k), 0);
    EXPECT_EQ(k.cpu_num, 1);
    EXPECT_EQ(k.irql, 2);
    EXPECT_STREQ(k.line, "7");
    bsv_value_exit(v);

    v = bsv_type_open_value(BSV_TYPE_LOG);
    bsv_log_t in = sample();
    n = bsv_build_log2(rec, &in);
    EXPECT_STREQ(bsv_value_get_str(v, rec, n, 10), "hello");
    {
        zk_test::log_capture cap;
        EXPECT_EQ(bsv_value_get_u8(v, rec, n, 10), 0);
        EXPECT_TRUE(cap.has("ctx->val[idx].type!=VALUE_TYPE_STRING"));
        EXPECT_EQ(bsv_value_get(v, rec, n, 11), 0u);
        EXPECT_TRUE(cap.has("expr[idx<ctx->count_idx]: assert failed"));
    }
    value2_t out;
    ASSERT_EQ(bsv_value_get_by_name(v, rec, n, "pid", &out), 0);
    EXPECT_EQ(out.type, BSV_VT_U32);
    EXPECT_EQ(out.v.u64, 1234u);
    ASSERT_EQ(bsv_value_get_by_name(v, rec, n, "func", &out), 0);
    EXPECT_EQ(out.type, BSV_VT_STR);
    EXPECT_STREQ(out.v.str, "fn");
    EXPECT_EQ(bsv_value_get_by_name(v, rec, n, "nosuch", &out), -1);
    bsv_value_exit(v);

    // The big-endian log type reads the same fields the other way round.
    v = bsv_type_open_value(BSV_TYPE_LOG_BE);
    uint8_t be[] = {0, 0, 0, 0, 0x65, 0x53, 0xf1, 0x00, 0, 1, 0xe2, 0x40, 0, 0, 4, 0xd2, 0, 0, 4, 0xd8, 3, 'x', 0};
    EXPECT_EQ(bsv_value_get_u64(v, be, sizeof(be), 0), 1700000000u);
    EXPECT_EQ(bsv_value_get_u32(v, be, sizeof(be), 2), 1234u);
    EXPECT_STREQ(bsv_value_get_str(v, be, sizeof(be), 5), "x");
    EXPECT_STREQ(bsv_value_get_str(v, be, sizeof(be), 6), "");
    bsv_value_exit(v);
}

TEST(BsvValue, BadLayoutsAndTypes)
{
    zk_test::log_capture cap;
    EXPECT_EQ(bsv_value_init("sec-u64,nodash", 0), nullptr);
    EXPECT_TRUE(cap.has("buf=[sec-u64,nodash] info=[nodash] error"));
    EXPECT_EQ(bsv_value_init("a-u7", 0), nullptr);
    EXPECT_TRUE(cap.has("type=[u7] error"));
    EXPECT_EQ(bsv_type_open_value(4), nullptr);
    EXPECT_TRUE(cap.has("type=4 error: not found"));
    EXPECT_EQ(bsv_type_get_os_endian(1), 0);
    EXPECT_EQ(bsv_type_get_os_endian(2), 1);
    EXPECT_EQ(bsv_type_get_os_endian(3), 0);
    // A name of 32 characters is stored empty; the field still counts.
    bsv_value_t *v = bsv_value_init("abcdefghijabcdefghijabcdefghij12-u8,b-u16", 0);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(bsv_value_get_name(v, 0)->name, "");
    EXPECT_EQ(bsv_value_get_name(v, 1)->offset, 1);
    bsv_value_exit(v);
}

TEST(BsvPacket, EnvelopeKnownAnswer)
{
    plain_packets pp;
    uint8_t rec[BSV_LOG_MAX];
    bsv_log_t in = sample();
    int n = bsv_build_log2(rec, &in);
    uint8_t pkt[BSV_PKT_MAX];
    bsv_env_t e = sample_env();
    int len = bsv_pkt_env2(pkt, &e, rec, n);
    ASSERT_EQ(len, 98);
    EXPECT_EQ(hex(pkt, 8), "62 73 76 02 62 00 05 00");
    EXPECT_EQ(pkt[97], 0x52);
    EXPECT_EQ(hex(pkt + 8 + 34, 4), "62 6f 78 00");
    EXPECT_EQ(memcmp(pkt + 46, rec, 51), 0);

    ASSERT_EQ(bsv_parse_net_type(pkt, len), BSV_TYPE_ENV);
    bsv_env_t out;
    ASSERT_EQ(bsv_parse_env(pkt, len, nullptr, &out), 0);
    EXPECT_EQ(out.bid, 1699996400u);
    EXPECT_EQ(out.stime, 1699999940u);
    EXPECT_EQ(out.ver_id, 0x01070602u);
    EXPECT_EQ(out.app_id, 7);
    EXPECT_EQ(out.os_id, 2);
    EXPECT_EQ(out.arch_id, 42);
    EXPECT_EQ(out.type_id, 1);
    EXPECT_STREQ(out.hostname, "box");
    ASSERT_EQ(out.data_len, 51);
    EXPECT_EQ(memcmp(out.data, rec, 51), 0);

    // type_id 0 means the log record type.
    e.type_id = 0;
    ASSERT_EQ(bsv_pkt_env2(pkt, &e, rec, n), 98);
    EXPECT_EQ(pkt[8 + 32], 1);
}

TEST(BsvPacket, LongestRecordFillsTheLargestPacket)
{
    plain_packets pp;
    std::string msg(2000, 'x');
    uint8_t rec[BSV_LOG_MAX];
    int n = bsv_build_log(rec, 6, "vfs", "a.c", 1, "fn", msg.c_str());
    ASSERT_EQ(n, 1470);
    uint8_t pkt[BSV_PKT_MAX];
    int len = bsv_pkt_env(pkt, 0, rec, n);
    ASSERT_EQ(len, 1472);
    EXPECT_EQ(pkt[4] | pkt[5] << 8, 1472);
    EXPECT_EQ(pkt[1470], 0); // the cut copy ends with a NUL
    EXPECT_EQ(pkt[1471], hash_crc8(pkt + 3, 1468, 0));
    EXPECT_EQ(bsv_parse_net_type(pkt, len), BSV_TYPE_ENV);
    // Oversized packets are refused.
    EXPECT_EQ(bsv_pkt_finish(pkt, 1472), -1);
    EXPECT_EQ(bsv_pkt_finish(pkt, 1471), 1472);
}

TEST(BsvPacket, EnvelopeFactsFollowTheBuildTarget)
{
    bsv_env_t e;
    bsv_env_facts(&e);
#if defined(__linux__)
    EXPECT_EQ(e.os_id, 2);
#endif
#if defined(__x86_64__)
    EXPECT_EQ(e.arch_id, 2);
    EXPECT_STREQ(bsv_arch_id_name(e.arch_id), "x64");
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
    EXPECT_EQ(e.arch_id, 42);
#endif
    EXPECT_STREQ(bsv_os_id_name(e.os_id), "linux");
    EXPECT_EQ(bsv_app_id_get("zkue"), 7);
    EXPECT_EQ(bsv_app_id_get(""), 0);
    EXPECT_EQ(bsv_app_id_get("other"), 0);
    EXPECT_STREQ(bsv_app_id_name(7), "zkue");
    EXPECT_STREQ(bsv_os_id_name(5), "freebsd");
    EXPECT_STREQ(bsv_arch_id_name(10), "arm64");
    EXPECT_STRNE(e.hostname, "");
}

TEST(BsvPacket, ReceivedPacketChecks)
{
    plain_packets pp;
    uint8_t rec[BSV_LOG_MAX];
    bsv_log_t in = sample();
    int n = bsv_build_log2(rec, &in);
    uint8_t good[BSV_PKT_MAX];
    bsv_env_t e = sample_env();
    int len = bsv_pkt_env2(good, &e, rec, n);
    ASSERT_EQ(len, 98);

    struct {
        const char *what;
        int at;      // byte to change (-1: none)
        uint8_t val;
        int len;
        const char *msg;
    } cases[] = {
        {"short", -1, 0, 15, "len=15 error: len<16"},
        {"magic", 0, 'x', 98, "magic 0x78-0x73-0x76 error"},
        {"version", 3, 0x12, 98, "ver=1 not supportd"},
        {"crc", 50, 0xff, 98, "crc check failed"},
        {"length", -1, 0, 97, "crc check failed"},
    };
    for (auto &c : cases) {
        uint8_t p[BSV_PKT_MAX];
        memcpy(p, good, sizeof(p));
        if (c.at >= 0)
            p[c.at] = c.val;
        zk_test::log_capture cap;
        EXPECT_EQ(bsv_parse_net_type(p, c.len), -1) << c.what;
        EXPECT_TRUE(cap.has(c.msg)) << c.what;
    }
    // A sound CRC with a wrong length field.
    uint8_t p[BSV_PKT_MAX];
    memcpy(p, good, sizeof(p));
    p[4] = 99;
    p[97] = hash_crc8(p + 3, 94, 0);
    zk_test::log_capture cap;
    EXPECT_EQ(bsv_parse_net_type(p, 98), -1);
    EXPECT_TRUE(cap.has("len=98 dlen=99 endian=0 error: len!=dlen"));
}

TEST(BsvPacket, EncipheredPackets)
{
    plain_packets pp;
    uint8_t rec[BSV_LOG_MAX];
    bsv_log_t in = sample();
    int n = bsv_build_log2(rec, &in);
    bsv_env_t e = sample_env();
    uint8_t plain[BSV_PKT_MAX], enc[BSV_PKT_MAX];
    ASSERT_EQ(bsv_pkt_env2(plain, &e, rec, n), 98);
    bsv_set_encrypt(1);
    ASSERT_EQ(bsv_pkt_env2(enc, &e, rec, n), 98);
    EXPECT_EQ(hex(enc, 4), "62 73 76 06");
    EXPECT_NE(memcmp(enc + 4, plain + 4, 94), 0);
    // Deciphering gives the plain packet with the cipher bit set (the CRC
    // covers the flags byte, so it differs from the plain one's).
    uint8_t dec[BSV_PKT_MAX];
    memcpy(dec, enc, 98);
    bsv_crypt(dec, 98);
    EXPECT_EQ(memcmp(dec + 4, plain + 4, 93), 0);
    EXPECT_EQ(dec[97], hash_crc8(dec + 3, 94, 0));
    EXPECT_EQ(bsv_parse_net_type(enc, 98), BSV_TYPE_ENV);
    EXPECT_EQ(memcmp(enc + 4, plain + 4, 93), 0);
}

// The file output gets the bare record; tags "bsv" and "net" get nothing;
// the build-path prefix is dropped from file names.
namespace {
struct file_sink {
    std::vector<std::vector<uint8_t>> recs;
    std::vector<unsigned> lws;
    static int cb(unsigned lw, const void *data, int len, void *arg)
    {
        file_sink *s = (file_sink *)arg;
        s->recs.emplace_back((const uint8_t *)data, (const uint8_t *)data + len);
        s->lws.push_back(lw);
        return 0;
    }
};
} // namespace

TEST(BsvWriter, FileOutputTagsAndPrefix)
{
    file_sink s;
    bsv_set_file_callback(file_sink::cb, &s);
    bsv_write_log(LOG2_INFO, "net", "a.c", 1, "fn", "no");
    bsv_write_log(LOG2_INFO | LOG2_F_NET, "bsv", "a.c", 1, "fn", "no");
    bsv_write_log(LOG2_WARN | LOG2_F_NET, "vfs", "d:\\work\\zks\\src\\lib\\x.c", 33, "fn", "yes");
    bsv_write_log(LOG2_ERR, "vfs", "D:\\work\\zks\\y.c", 1, "fn", "case");
    bsv_set_file_callback(nullptr, nullptr);
    bsv_write_log(LOG2_ERR, "vfs", "z.c", 1, "fn", "after");
    ASSERT_EQ(s.recs.size(), 2u);
    bsv_log_t r;
    ASSERT_EQ(bsv_parse_log(s.recs[0].data(), (int)s.recs[0].size(), nullptr, &r), 0);
    EXPECT_STREQ(r.file, "src\\lib\\x.c");
    EXPECT_STREQ(r.line, "33");
    EXPECT_STREQ(r.msg, "yes");
    EXPECT_EQ(r.level, LOG2_WARN);
    EXPECT_EQ(s.lws[0], (unsigned)(LOG2_WARN | LOG2_F_NET));
    ASSERT_EQ(bsv_parse_log(s.recs[1].data(), (int)s.recs[1].size(), nullptr, &r), 0);
    EXPECT_STREQ(r.file, "D:\\work\\zks\\y.c");
}

// The log routine hands every record that passes the level to the writer,
// also those that only go there (0x800).
TEST(BsvWriter, LogRoutineHandsRecordsOver)
{
    file_sink s;
    log2_t *h = log2_new();
    log2_ioctl(h, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
    log2_set_level(h, LOG2_INFO);
    bsv_set_file_callback(file_sink::cb, &s);
    log2_printf(h, LOG2_INFO, "vfs", "a.c", 5, "fn", "n=%d", 1);
    log2_printf(h, LOG2_DBG, "vfs", "a.c", 5, "fn", "dropped by level");
    log2_printf(h, LOG2_INFO | LOG2_F_BSV_ONLY, "vfs", "a.c", 6, "fn", "binary only");
    bsv_set_file_callback(nullptr, nullptr);
    log2_exit(h);
    ASSERT_EQ(s.recs.size(), 2u);
    bsv_log_t r;
    ASSERT_EQ(bsv_parse_log(s.recs[0].data(), (int)s.recs[0].size(), nullptr, &r), 0);
    EXPECT_STREQ(r.msg, "n=1");
    EXPECT_STREQ(r.tag, "vfs");
    ASSERT_EQ(bsv_parse_log(s.recs[1].data(), (int)s.recs[1].size(), nullptr, &r), 0);
    EXPECT_STREQ(r.msg, "binary only");
}

// Arbitrary bytes of every length up to a packet: the parsers answer without
// reading outside the buffer (each buffer is exactly as long as its data, so
// the sanitizer build catches any overread).
TEST(BsvPacket, ArbitraryBytesStayInside)
{
    plain_packets pp;
    uint64_t x = 0x9e3779b97f4a7c15ull;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return (uint8_t)x;
    };
    bsv_value_t *lv = bsv_type_open_value(BSV_TYPE_LOG);
    bsv_value_t *bv = bsv_type_open_value(BSV_TYPE_LOG_BE);
    zk_test::log_capture cap; // the refusals are logged
    for (int len = 0; len <= BSV_PKT_MAX; len += 7) {
        for (int round = 0; round < 4; round++) {
            std::vector<uint8_t> b((size_t)len);
            for (auto &c : b)
                c = round == 3 ? (uint8_t)(next() | 1) : next(); // round 3: no NUL at all
            if (len >= 8 && round >= 1) {
                // Make it pass the header checks now and then.
                bsv_pkt_hdr(b.data(), round == 2 ? BSV_TYPE_ENV : BSV_TYPE_LOG);
                b[3] = (uint8_t)(round == 1 ? 0 : BSV_F_CRC);
            }
            std::vector<uint8_t> c = b;
            int type = c.empty() ? bsv_parse_net_type(nullptr, 0) : bsv_parse_net_type(c.data(), len);
            EXPECT_TRUE(type == -1 || type >= 0);
            bsv_env_t env;
            if (!b.empty() && bsv_parse_env(b.data(), len, nullptr, &env) == 0) {
                EXPECT_GE(env.data_len, 0);
                EXPECT_LE(env.data + env.data_len, b.data() + len);
            }
            bsv_log_t r;
            bsv_parse_log(b.data(), len, lv, &r);
            bsv_parse_log(b.data(), len, bv, &r);
            EXPECT_LE(strlen(r.msg), (size_t)len);
            bsv_parse_klog(b.data(), len, nullptr, &r);
        }
    }
    bsv_value_exit(lv);
    bsv_value_exit(bv);
}
