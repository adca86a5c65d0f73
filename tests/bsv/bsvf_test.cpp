// Binary log records in pcap capture files, read back with capinfos and
// tshark.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "libbsv/bsv.h"
#include "libbsvf/bsvf.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string hex(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        if (i)
            s += ' ';
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// A log record of exactly len bytes (at least 34), sec and usec given.
std::vector<uint8_t> record(int len, uint64_t sec, uint32_t usec, char fill = 'm')
{
    bsv_log_t r{};
    r.sec = sec;
    r.usec = usec;
    r.pid = 1;
    r.tid = 2;
    r.level = 6;
    std::string msg((size_t)(len - 21 - 5 - 1), fill);
    r.tag = "";
    r.tid_name = "";
    r.file = "";
    r.line = "";
    r.func = "";
    r.msg = msg.c_str();
    std::vector<uint8_t> v(BSV_LOG_MAX);
    int n = bsv_build_log2(v.data(), &r);
    v.resize((size_t)n);
    return v;
}

std::string sh(const std::string &cmd) { return zk_test::run(cmd + " 2>/dev/null"); }

// "capinfos -T" row: name, encapsulation, packet count.
std::string capinfos_row(const std::string &path) { return sh("capinfos -T -r -E -c '" + path + "'"); }

struct tmpdir {
    fs::path dir;
    tmpdir()
    {
        char t[] = "/tmp/zk_bsvf_XXXXXX";
        dir = mkdtemp(t);
    }
    ~tmpdir() { fs::remove_all(dir); }
    std::string file(const char *name) const { return (dir / name).string(); }
};

const char HEADER_LE[] = "d4 c3 b2 a1 02 00 04 00 00 00 00 00 00 00 00 00 00 00 01 00 93 00 00 00";

} // namespace

TEST(Bsvf, LinkTypes)
{
    zk_test::log_capture cap;
    struct {
        int type, dlt;
    } cases[] = {{1, 147}, {2, 148}, {15, 161}, {0, -1}, {16, -1}, {-3, -1}};
    for (auto &c : cases)
        EXPECT_EQ(bsvf_type_2_dlt(c.type), c.dlt) << c.type;
    EXPECT_TRUE(cap.has("type=16 error"));
    EXPECT_EQ(bsvf_pcap_create("/tmp/never.pcap", 16), nullptr);
    EXPECT_FALSE(fs::exists("/tmp/never.pcap"));
}

TEST(Bsvf, HeaderRecordsAndTools)
{
    tmpdir t;
    std::string p = t.file("a.pcap");
    bsvf_pcap_t *f = bsvf_pcap_create(p.c_str(), BSV_TYPE_LOG);
    ASSERT_NE(f, nullptr);
    // The known 51-byte record.
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
    uint8_t rec[BSV_LOG_MAX];
    ASSERT_EQ(bsv_build_log2(rec, &r), 51);
    EXPECT_EQ(bsvf_pcap_write(f, rec, 51), 0);
    std::vector<uint8_t> big = record(200, 1700000001, 5);
    EXPECT_EQ(bsvf_pcap_write(f, big.data(), 200), 0);
    {
        zk_test::log_capture cap;
        EXPECT_EQ(bsvf_pcap_write(f, rec, 12), -1);
        EXPECT_TRUE(cap.has("expr[len > 12]: assert failed"));
        EXPECT_EQ(bsvf_pcap_write(f, rec, 1), -1);
    }
    EXPECT_EQ(bsvf_pcap_flush(f), 0);
    EXPECT_EQ(bsvf_pcap_close(f), 0);

    std::vector<uint8_t> img = slurp(p);
    ASSERT_EQ(img.size(), 24u + 55 + 16 + 188);
    EXPECT_EQ(hex(img.data(), 24), HEADER_LE);
    EXPECT_EQ(hex(img.data() + 24, 16), "00 f1 53 65 40 e2 01 00 27 00 00 00 27 00 00 00");
    EXPECT_EQ(memcmp(img.data() + 40, rec + 12, 39), 0);
    EXPECT_EQ(hex(img.data() + 79 + 8, 8), "bc 00 00 00 bc 00 00 00");

    EXPECT_EQ(capinfos_row(p), p + "\tuser0\t2\n");
    EXPECT_EQ(sh("tshark -r '" + p + "' -T fields -e frame.time_epoch -e frame.cap_len -e frame.len"),
              "1700000000.123456000\t39\t39\n1700000001.000005000\t188\t188\n");
    EXPECT_NE(sh("tshark -r '" + p + "' -V").find("Encapsulation type: USER 0"), std::string::npos);
}

TEST(Bsvf, BigEndianType)
{
    tmpdir t;
    std::string p = t.file("b.pcap");
    bsvf_pcap_t *f = bsvf_pcap_create(p.c_str(), BSV_TYPE_LOG_BE);
    ASSERT_NE(f, nullptr);
    // sec 1700000000, usec 7, big-endian.
    uint8_t rec[] = {0, 0, 0, 0, 0x65, 0x53, 0xf1, 0x00, 0, 0, 0, 7, 1, 2, 3, 4};
    EXPECT_EQ(bsvf_pcap_write(f, rec, sizeof(rec)), 0);
    bsvf_pcap_close(f);
    std::vector<uint8_t> img = slurp(p);
    ASSERT_EQ(img.size(), 24u + 16 + 4);
    EXPECT_EQ(hex(img.data(), 4), "a1 b2 c3 d4");
    EXPECT_EQ(hex(img.data() + 20, 4), "00 00 00 94");
    EXPECT_EQ(sh("tshark -r '" + p + "' -T fields -e frame.time_epoch -e frame.cap_len"),
              "1700000000.000007000\t4\n");
}

TEST(Bsvf, AppendAddsNoSecondHeaderAndRefusesForeignFiles)
{
    tmpdir t;
    std::string p = t.file("c.pcap");
    // Appending to a missing file creates it with a header.
    bsvf_pcap_t *f = bsvf_pcap_append(p.c_str(), BSV_TYPE_LOG);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> r1 = record(60, 1700000000, 1);
    bsvf_pcap_write(f, r1.data(), 60);
    bsvf_pcap_close(f);
    f = bsvf_pcap_append(p.c_str(), BSV_TYPE_LOG);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> r2 = record(70, 1700000002, 2);
    bsvf_pcap_write(f, r2.data(), 70);
    bsvf_pcap_close(f);
    std::vector<uint8_t> img = slurp(p);
    ASSERT_EQ(img.size(), 24u + 64 + 74);
    EXPECT_EQ(hex(img.data(), 24), HEADER_LE);
    EXPECT_EQ(capinfos_row(p), p + "\tuser0\t2\n");

    // A record cut short at the end (a crash mid-write) is cut off before
    // new records follow.
    {
        std::ofstream o(p, std::ios::binary | std::ios::app);
        o.write((const char *)r2.data(), 10);
    }
    f = bsvf_pcap_append(p.c_str(), BSV_TYPE_LOG);
    ASSERT_NE(f, nullptr);
    bsvf_pcap_write(f, r1.data(), 60);
    bsvf_pcap_close(f);
    EXPECT_EQ(slurp(p).size(), 24u + 64 + 74 + 64);
    EXPECT_EQ(capinfos_row(p), p + "\tuser0\t3\n");

    // Files that are not a little-endian capture of link type 147 are left
    // alone and the open fails.
    struct {
        const char *name;
        std::string content;
    } foreign[] = {
        {"text.pcap", "just some log text\nthat is long enough to hold a header\n"},
        {"short.pcap", std::string("\xd4\xc3\xb2\xa1", 4)},
        {"other_link.pcap", std::string("\xd4\xc3\xb2\xa1\x02\x00\x04\x00", 8) + std::string(8, '\0') +
                                std::string("\x00\x00\x01\x00\x94\x00\x00\x00", 8)},
        {"big_endian.pcap", std::string("\xa1\xb2\xc3\xd4\x00\x02\x00\x04", 8) + std::string(8, '\0') +
                                std::string("\x00\x01\x00\x00\x00\x00\x00\x93", 8)},
    };
    for (auto &c : foreign) {
        std::string q = t.file(c.name);
        {
            std::ofstream o(q, std::ios::binary);
            o << c.content;
        }
        zk_test::log_capture cap;
        EXPECT_EQ(bsvf_pcap_append(q.c_str(), BSV_TYPE_LOG), nullptr) << c.name;
        std::vector<uint8_t> after = slurp(q);
        EXPECT_EQ(std::string(after.begin(), after.end()), c.content) << c.name;
    }
}

namespace {
// The expected file after a write of a record of len bytes with the cap:
// sizes of the capture records kept, in order.
void model_write(std::vector<int> &kept, int len, uint64_t cap)
{
    kept.push_back(16 + len - 12);
    uint64_t size = 24;
    for (int k : kept)
        size += (uint64_t)k;
    if (size < cap)
        return;
    uint64_t off = 24;
    size_t drop = 0;
    while (off < cap / 2)
        off += (uint64_t)kept[drop++];
    kept.erase(kept.begin(), kept.begin() + (long)drop);
}
} // namespace

// Both for a created file and for one opened for appending (whose stream
// writes at the end whatever its position).
class BsvfTrim : public ::testing::TestWithParam<int> {};

TEST_P(BsvfTrim, KeepsTheRecordsAfterHalfTheCap)
{
    tmpdir t;
    std::string p = t.file("d.pcap");
    bsvf_pcap_t *f = bsvf_pcap_create_imp(p.c_str(), GetParam(), BSV_TYPE_LOG);
    ASSERT_NE(f, nullptr);
    const uint64_t cap = 4096;
    std::vector<int> kept;
    std::vector<std::vector<uint8_t>> all;
    int trims = 0;
    for (int i = 0; i < 200; i++) {
        int len = 40 + (i * 37) % 300;
        all.push_back(record(len, 1700000000 + (uint64_t)i, (uint32_t)i, (char)('a' + i % 26)));
        ASSERT_EQ(bsvf_pcap_write(f, all.back().data(), len), 0);
        bsvf_pcap_flush(f);
        size_t before = kept.size();
        model_write(kept, len, cap);
        trims += kept.size() < before + 1;
        ASSERT_EQ(bsvf_pcap_set_fsize(f, cap), 0);
        uint64_t want = 24;
        for (int k : kept)
            want += (uint64_t)k;
        ASSERT_EQ(fs::file_size(p), want) << i;
        ASSERT_LT(want, cap);
    }
    bsvf_pcap_close(f);
    EXPECT_GT(trims, 5);
    std::vector<uint8_t> img = slurp(p);
    EXPECT_EQ(hex(img.data(), 24), HEADER_LE);
    // The last records, whole and in order.
    size_t off = img.size();
    for (size_t k = kept.size(); k-- > 0;) {
        const std::vector<uint8_t> &r = all[all.size() - (kept.size() - k)];
        off -= 16 + r.size() - 12;
        EXPECT_EQ(memcmp(img.data() + off + 16, r.data() + 12, r.size() - 12), 0);
    }
    EXPECT_EQ(off, 24u);
    EXPECT_EQ(capinfos_row(p), p + "\tuser0\t" + std::to_string(kept.size()) + "\n");
    std::string times = sh("tshark -r '" + p + "' -T fields -e frame.time_epoch");
    EXPECT_NE(times.find("1700000199.000199000\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(CreateAndAppend, BsvfTrim, ::testing::Values(0, 1));

TEST(Bsvf, CorruptedCapturedLengthIsCutBack)
{
    tmpdir t;
    std::string p = t.file("e.pcap");
    bsvf_pcap_t *f = bsvf_pcap_create(p.c_str(), BSV_TYPE_LOG);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> r = record(100, 1700000000, 0);
    for (int i = 0; i < 10; i++)
        bsvf_pcap_write(f, r.data(), 100);
    bsvf_pcap_flush(f);
    // The fourth record's captured length becomes huge.
    int fd = open(p.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    uint8_t bad[4] = {0xff, 0xff, 0xff, 0x7f};
    ASSERT_EQ(pwrite(fd, bad, 4, 24 + 3 * 104 + 8), 4);
    close(fd);
    // Writing on until the cap is reached cuts the file back to its three
    // sound records; it never grows past the cap.
    {
        zk_test::log_capture cap;
        for (int i = 0; i < 40; i++) {
            ASSERT_EQ(bsvf_pcap_write(f, r.data(), 100), 0);
            bsvf_pcap_flush(f);
            ASSERT_EQ(bsvf_pcap_set_fsize(f, 2048), 0);
            ASSERT_LT(fs::file_size(p), 2048u);
        }
        EXPECT_TRUE(cap.has("file error offset=336 fsize="));
    }
    bsvf_pcap_close(f);
    std::vector<uint8_t> img = slurp(p);
    EXPECT_EQ(pcap_sound_end(img.data(), img.size(), 0, MPCAP_SNAPLEN), img.size());
    EXPECT_EQ((img.size() - 24) % 104, 0u);
    EXPECT_EQ(capinfos_row(p), p + "\tuser0\t" + std::to_string((img.size() - 24) / 104) + "\n");
}

TEST(Bsvf, FileWithoutAHeaderIsStartedAgain)
{
    tmpdir t;
    std::string p = t.file("f.pcap");
    bsvf_pcap_t *f = bsvf_pcap_create(p.c_str(), BSV_TYPE_LOG);
    ASSERT_NE(f, nullptr);
    // Something else truncated the file to a few bytes.
    ASSERT_EQ(truncate(p.c_str(), 10), 0);
    std::vector<uint8_t> r = record(100, 1700000000, 0);
    bsvf_pcap_write(f, r.data(), 100);
    bsvf_pcap_flush(f);
    ASSERT_EQ(bsvf_pcap_set_fsize(f, 100), 0);
    bsvf_pcap_close(f);
    std::vector<uint8_t> img = slurp(p);
    ASSERT_EQ(img.size(), 24u);
    EXPECT_EQ(hex(img.data(), 24), HEADER_LE);
}
