// Record type registry, in-memory readers and log-record readers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "libbsv/bsv.h"
#include "liblog/log2.h"
#include "liblog/log2_out.h"
#include "libpal/basic/pl_base.h"
#include "libpal/memory/rbuf/rbuf.h"

namespace {

// The program installs the log's outputs at start-up (its log configuration
// does); these tests use them without one.
[[maybe_unused]] const bool k_outputs_installed = (log2_outputs_init(), true);

struct stat6 {
    uint64_t wb = 0, rb = 0, db = 0, wc = 0, rc = 0, dc = 0;
};

stat6 stat_of(bsv_reader_t *r)
{
    stat6 s;
    EXPECT_EQ(bsv_reader_stat(r, &s.wb, &s.rb, &s.db, &s.wc, &s.rc, &s.dc), 0);
    return s;
}

// The six counters of a log-record reader's statistics text.
std::map<std::string, uint64_t> parse_stat(bsv_log_reader_t *h)
{
    std::map<std::string, uint64_t> m;
    char *t = bsv_log_stat(h);
    EXPECT_NE(t, nullptr);
    if (!t)
        return m;
    std::string s(t);
    os_free(t);
    size_t p = 0;
    while (p < s.size()) {
        size_t eq = s.find('=', p), nl = s.find('\n', p);
        if (eq == std::string::npos || nl == std::string::npos)
            break;
        m[s.substr(p, eq - p)] = std::stoull(s.substr(eq + 1, nl - eq - 1));
        p = nl + 1;
    }
    return m;
}

// Tags of every record queued in a reader, in order.
std::vector<std::string> drain_tags(bsv_reader_t *r)
{
    std::vector<std::string> tags;
    uint8_t buf[8192];
    int n;
    while ((n = bsv_reader_read(r, buf, sizeof(buf))) > 0) {
        for (int pos = 0; pos + 2 <= n;) {
            uint16_t len;
            memcpy(&len, buf + pos, 2);
            bsv_log_t lg;
            EXPECT_EQ(bsv_parse_log(buf + pos + 2, len, nullptr, &lg), 0);
            tags.emplace_back(lg.tag);
            pos += 2 + len;
        }
    }
    return tags;
}

void write_rec(const char *tag, const char *msg, unsigned level = LOG2_INFO)
{
    bsv_write_log(level, tag, "a.c", 1, "fn", msg);
}

} // namespace

TEST(BsvReader, OpenByNameAndRingSize)
{
    ASSERT_EQ(bsv_log_get_type(), BSV_TYPE_LOG);
    struct row {
        const char *name;
        uint64_t bytes;  // 0: refused
        uint64_t slots;
    } rows[] = {
        {"log?bsv_rbuf_size=64k", 65536, 44},
        {"log", 1048576, 1048576 / 1474},
        {"log?bsv_rbuf_size=0", 1048576, 1048576 / 1474},
        {"kernel", 0, 0},
        {"", 0, 0},
        {"lo", 0, 0},
        {"logs?bsv_rbuf_size=64k", 0, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        char err[BSV_ERR_SIZE] = "x";
        bsv_reader_t *rd = bsv_reader_open(r.name, err);
        if (!r.bytes) {
            EXPECT_EQ(rd, nullptr);
            EXPECT_STREQ(err, "name does not exist");
            continue;
        }
        ASSERT_NE(rd, nullptr);
        EXPECT_EQ(rd->ring->all_size, r.bytes);
        EXPECT_EQ(rd->ring->MaxQueueSize, r.slots);
        EXPECT_EQ(rd->state, 1u);
        EXPECT_EQ(bsv_reader_exists(rd), 0);
        bsv_reader_info_t info;
        ASSERT_EQ(bsv_reader_get_info(rd, &info), 0);
        EXPECT_STREQ(info.layout, bsv_type_layout(BSV_TYPE_LOG));
        EXPECT_EQ(info.type_id, 1u);
        EXPECT_EQ(info.byte_order, 0u);
        EXPECT_EQ(info.max_rec_size, 1472u);
        EXPECT_EQ(bsv_reader_close(rd), 0);
    }
    // A ring too small for two records can't be made.
    char err[BSV_ERR_SIZE];
    EXPECT_EQ(bsv_reader_open("log?bsv_rbuf_size=2k", err), nullptr);
    EXPECT_STREQ(err, "memory allocation failed");
}

// Eight readers get records, a ninth is made but gets none; closing the
// ninth leaves the count of the eight alone, so the last of them still
// receives.
TEST(BsvReader, NinthReaderGetsNothingAndClosingItKeepsTheOthers)
{
    bsv_reg_log();
    char err[BSV_ERR_SIZE];
    std::vector<bsv_reader_t *> rs;
    for (int i = 0; i < 9; i++) {
        rs.push_back(bsv_reader_open("log?bsv_rbuf_size=16k", err));
        ASSERT_NE(rs.back(), nullptr) << err;
    }
    EXPECT_EQ(bsv_reader_exists(rs[7]), 0);
    EXPECT_EQ(bsv_reader_exists(rs[8]), -1);
    write_rec("vfs", "one");
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(stat_of(rs[i]).wc, i < 8 ? 1u : 0u) << i;
    bsv_reader_close(rs[8]);
    write_rec("vfs", "two");
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(stat_of(rs[i]).wc, 2u) << i;
    // A freed slot is taken again by the next reader.
    bsv_reader_close(rs[3]);
    bsv_reader_t *again = bsv_reader_open("log?bsv_rbuf_size=16k", err);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(bsv_reader_exists(again), 0);
    write_rec("vfs", "three");
    EXPECT_EQ(stat_of(again).wc, 1u);
    EXPECT_EQ(stat_of(rs[7]).wc, 3u);
    bsv_reader_close(again);
    for (int i = 0; i < 8; i++)
        if (i != 3)
            bsv_reader_close(rs[i]);
}

// Rules read the record's fields: a reader dropping tag "vfs" gets only the
// other records; its neighbour gets all of them.
TEST(BsvReader, RulesDropRecordsForOneReaderOnly)
{
    bsv_reg_log();
    char err[BSV_ERR_SIZE];
    bsv_reader_t *all = bsv_reader_open("log?bsv_rbuf_size=64k", err);
    bsv_reader_t *novfs = bsv_reader_open("log?bsv_rbuf_size=64k", err);
    ASSERT_NE(all, nullptr);
    ASSERT_NE(novfs, nullptr);
    EXPECT_EQ(bsv_reader_add_rule(novfs, "tag != vfs"), 0);
    EXPECT_NE(novfs->filter_layout, nullptr);
    write_rec("vfs", "a");
    write_rec("sh", "b");
    write_rec("VFS", "c"); // rules ignore letter case
    write_rec("zkue", "d");
    EXPECT_EQ(drain_tags(all), (std::vector<std::string>{"vfs", "sh", "VFS", "zkue"}));
    EXPECT_EQ(drain_tags(novfs), (std::vector<std::string>{"sh", "zkue"}));

    // New rule text replaces the earlier rules; a bad text keeps them.
    EXPECT_EQ(bsv_reader_add_rule(novfs, "level <= 3"), 0);
    EXPECT_EQ(bsv_reader_add_rule(novfs, "level <<>> 3"), -1);
    write_rec("vfs", "e", LOG2_ERR);
    write_rec("vfs", "f", LOG2_INFO);
    EXPECT_EQ(drain_tags(novfs), (std::vector<std::string>{"vfs"}));
    EXPECT_EQ(drain_tags(all).size(), 2u);
    bsv_reader_close(all);
    bsv_reader_close(novfs);
}

// The filter itself: unknown fields and a missing layout read nothing.
TEST(BsvReader, FilterValues)
{
    uint8_t rec[BSV_LOG_MAX];
    int len = bsv_build_log(rec, LOG2_WARN, "vfs", "a.c", 3, "fn", "m");
    bsv_value_t *lay = bsv_type_open_value(BSV_TYPE_LOG);
    ASSERT_NE(lay, nullptr);
    bsv_filter_rec_t f{lay, rec, len};
    value2_t v;
    ASSERT_EQ(bsv_filter_get_value("level", &v, &f), 0);
    EXPECT_EQ(v.type, 2);
    EXPECT_EQ(v.v.u64, (uint64_t)LOG2_WARN);
    ASSERT_EQ(bsv_filter_get_value("tag", &v, &f), 0);
    EXPECT_EQ(v.type, 28);
    EXPECT_STREQ(v.v.str, "vfs");
    EXPECT_EQ(bsv_filter_get_value("nosuch", &v, &f), -1);
    bsv_filter_rec_t nolay{nullptr, rec, len};
    EXPECT_EQ(bsv_filter_get_value("level", &v, &nolay), -1);
    bsv_value_exit(lay);
}

// A reader nobody reads drops its oldest records once full.
TEST(BsvLogReader, UnreadReaderCountsDrops)
{
    bsv_log_reader_t *h = bsv_open_log();
    ASSERT_NE(h, nullptr);
    const uint64_t slots = h->reader->ring->MaxQueueSize;
    for (uint64_t i = 0; i < slots + 50; i++)
        write_rec("vfs", "fill");
    auto a = parse_stat(h);
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a["write_count"], slots + 50);
    EXPECT_GE(a["drop_count"], 50u);
    EXPECT_EQ(a["read_count"], 0u);
    for (int i = 0; i < 10; i++)
        write_rec("vfs", "more");
    auto b = parse_stat(h);
    EXPECT_EQ(b["drop_count"], a["drop_count"] + 10);
    EXPECT_EQ(b["write_byte"] - a["write_byte"], b["drop_byte"] - a["drop_byte"]);
    // What is left reads back, and the counts add up.
    uint64_t got = 0;
    const uint8_t *rec;
    int n;
    while ((n = bsv_read_raw_log(h, &rec)) > 0)
        got++;
    EXPECT_EQ(n, 0);
    auto c = parse_stat(h);
    EXPECT_GE(c["read_count"], 1u); // reads, not records
    EXPECT_EQ(c["write_count"], got + c["drop_count"]);
    EXPECT_EQ(c["write_byte"], c["read_byte"] + c["drop_byte"]);
    bsv_close_log(h);
}

TEST(BsvLogReader, TextLinesForEveryLevel)
{
    bsv_log_reader_t *h = bsv_open_log();
    ASSERT_NE(h, nullptr);
    char line[4096];
    int level = -1;
    EXPECT_EQ(bsv_read_log(h, &level, line, sizeof(line)), 0); // empty: at once
    EXPECT_EQ(bsv_read_log(h, nullptr, line, sizeof(line)), -1);
    EXPECT_EQ(bsv_read_log(nullptr, &level, line, sizeof(line)), -1);
    while (bsv_read_log(h, &level, line, sizeof(line)) > 0) {
    } // the assertions' own log lines

    const std::regex re(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (VERB |DEBUG|INFO |NOTI |WARN |ERROR|CRIT ) \d+ --- \[[^\]]*\] \S* \S*\(\): [\s\S]*)");
    const char *words[] = {"", "", "CRIT ", "ERROR", "WARN ", "NOTI ", "INFO ", "DEBUG", "VERB "};
    for (int lv = 2; lv <= 8; lv++) {
        SCOPED_TRACE(lv);
        write_rec("vfs", "lvl\n", (unsigned)lv | 0x200);
        int n = bsv_read_log(h, &level, line, sizeof(line));
        ASSERT_GT(n, 0);
        EXPECT_EQ((size_t)n, strlen(line));
        EXPECT_EQ(level, lv);
        EXPECT_TRUE(std::regex_match(line, re)) << line;
        EXPECT_NE(strstr(line, words[lv]), nullptr) << line;
        EXPECT_NE(strstr(line, " vfs fn(): lvl\n"), nullptr) << line;
    }

    // A known record, fields as written.
    bsv_log_t in{};
    in.sec = 1700000000;
    in.usec = 123456;
    in.pid = 1234;
    in.tid = 1240;
    in.level = LOG2_WARN;
    in.tag = "vfs";
    in.tid_name = "main_1240";
    in.file = "a.c";
    in.line = "10";
    in.func = "fn";
    in.msg = "hello";
    uint8_t rec[BSV_LOG_MAX];
    int len = bsv_build_log2(rec, &in);
    bsv_reg_write(BSV_TYPE_LOG, rec, len);
    time_t t = 1700000000;
    struct tm tm;
    localtime_r(&t, &tm);
    char want[256];
    snprintf(want, sizeof(want), "%04d-%02d-%02d %02d:%02d:%02d.123 WARN  1234 --- [main_1240] vfs fn(): hello",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    ASSERT_EQ(bsv_read_log(h, &level, line, sizeof(line)), (int)strlen(want));
    EXPECT_STREQ(line, want);

    // A line that does not fit is an error, and the next record still reads.
    bsv_reg_write(BSV_TYPE_LOG, rec, len);
    bsv_reg_write(BSV_TYPE_LOG, rec, len);
    char small[16];
    EXPECT_EQ(bsv_read_log(h, &level, small, sizeof(small)), -1);
    EXPECT_EQ(bsv_read_log(h, &level, line, sizeof(line)), (int)strlen(want));
    EXPECT_STREQ(line, want);
    while (bsv_read_log(h, &level, line, sizeof(line)) > 0) // the formatter's complaint
        EXPECT_EQ(strstr(line, "hello"), nullptr) << line;
    bsv_close_log(h);
}

// Log calls on several threads while one thread reads and another opens and
// closes readers with rules: every record is either read once, in order per
// thread, or counted as dropped.
TEST(BsvLogReader, ThreadedWritersReaderAndReaderChurn)
{
    log2_t *lh = log2_new();
    ASSERT_NE(lh, nullptr);
    log2_ioctl(lh, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
    log2_set_level(lh, LOG2_INFO);
    bsv_log_reader_t *h = bsv_open_log();
    ASSERT_NE(h, nullptr);

    constexpr int WRITERS = 3, PER = 3000;
    std::atomic<int> writers_left{WRITERS};
    std::atomic<bool> stop_churn{false};
    std::vector<std::thread> th;
    for (int w = 0; w < WRITERS; w++)
        th.emplace_back([&, w] {
            for (int i = 0; i < PER; i++)
                log2_printf(lh, LOG2_INFO, "vfs", "t.c", 1, "writer", "%d %d", w, i);
            writers_left.fetch_sub(1);
        });
    std::atomic<int> churns{0};
    th.emplace_back([&] {
        char err[BSV_ERR_SIZE];
        while (!stop_churn.load()) {
            bsv_reader_t *a = bsv_reader_open("log?bsv_rbuf_size=16k", err);
            bsv_reader_t *b = bsv_reader_open("log?bsv_rbuf_size=16k", err);
            if (a)
                bsv_reader_add_rule(a, "tag == vfs; level >= 3");
            if (b)
                bsv_reader_exists(b);
            bsv_reader_close(a);
            bsv_reader_close(b);
            churns.fetch_add(1);
        }
    });

    uint64_t got = 0;
    int last[WRITERS] = {-1, -1, -1};
    bool in_order = true;
    for (;;) {
        const bool writers_done = writers_left.load() == 0;
        int level;
        char line[2048];
        int n = bsv_read_log(h, &level, line, sizeof(line));
        ASSERT_GE(n, 0);
        if (n == 0) {
            if (writers_done)
                break;
            std::this_thread::yield();
            continue;
        }
        const char *m = strstr(line, "writer(): ");
        ASSERT_NE(m, nullptr) << line;
        int w = -1, i = -1;
        ASSERT_EQ(sscanf(m + 10, "%d %d", &w, &i), 2);
        ASSERT_TRUE(w >= 0 && w < WRITERS);
        in_order = in_order && i > last[w];
        last[w] = i;
        got++;
    }
    stop_churn.store(true);
    for (auto &t : th)
        t.join();
    EXPECT_TRUE(in_order);
    EXPECT_GT(churns.load(), 0);
    auto s = parse_stat(h);
    EXPECT_EQ(s["write_count"], (uint64_t)WRITERS * PER);
    EXPECT_LE(s["read_count"], got); // reads, each of one or more records
    EXPECT_EQ(s["write_count"], got + s["drop_count"]);
    EXPECT_EQ(s["write_byte"], s["read_byte"] + s["drop_byte"]);
    bsv_close_log(h);
    log2_exit(lh);
}

// Emptying the registry frees its readers; the log type comes back on its
// next use.
TEST(BsvReader, RegistryExitAndRegisterAgain)
{
    bsv_reg_log();
    char err[BSV_ERR_SIZE];
    bsv_reader_t *r = bsv_reader_open("log", err);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(bsv_reg_exit(), 0); // frees r
    EXPECT_EQ(bsv_reader_open("log", err), nullptr);
    EXPECT_STREQ(err, "name does not exist");
    EXPECT_EQ(bsv_log_get_type(), 1);
    bsv_reader_t *again = bsv_reader_open("log", err);
    ASSERT_NE(again, nullptr);
    write_rec("vfs", "x");
    EXPECT_EQ(stat_of(again).wc, 1u);
    bsv_reader_close(again);

    // Registering the same type twice takes one slot; a ninth type is refused.
    static bsv_type_t extra[8];
    int ok = 0;
    for (int i = 0; i < 8; i++) {
        extra[i] = bsv_type_t{};
        extra[i].name = "extra";
        extra[i].layout = "a-u32";
        extra[i].type_id = 100 + i;
        extra[i].max_rec_size = 64;
        extra[i].max_readers = 1;
        ok += bsv_reg_add(&extra[i]) == 0;
    }
    EXPECT_EQ(ok, 7); // the log type holds the first slot
    EXPECT_EQ(bsv_reg_add(&extra[0]), 0);
    EXPECT_EQ(bsv_reg_exit(), 0);
    EXPECT_EQ(bsv_log_get_type(), 1);
}
