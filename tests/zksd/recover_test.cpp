// Recovery of a broken exchange against the project's test server: the
// connection drops before or after a request, the index jumps, the server
// stalls.
#include <gtest/gtest.h>

#include <map>
#include <fstream>
#include <sstream>

#include "zksd/zksd_test_util.h"

using namespace zksd_test;

namespace {

size_t count_code(const server &s, int code)
{
    size_t n = 0;
    for (auto &r : s.requests())
        n += r.cmd == ZKSD_CMD_IOCTL2 && r.code == code;
    return n;
}

size_t count_event(const server &s, const std::string &ev)
{
    std::ifstream in(s.log);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line))
        n += line.find("\"event\": \"" + ev + "\"") != std::string::npos;
    return n;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

TEST(ZksdRecover, DropBeforeWriteResendsOnce)
{
    server s({"--drop-before", "1:13"});
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0) << c.err.msg;
    EXPECT_EQ(c->auto_reconnect, 1);
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zksd_cli_write(f, "hello", 5, -1), 5) << c.err.msg;
    EXPECT_EQ(slurp(s.path("w")), "hello");
    EXPECT_EQ(s.count(13), 1u);
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX), 1u);
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX_REPLY), 0u);
    // The context goes on: counts agree for the next break too.
    EXPECT_EQ(zksd_cli_write(f, " world", 6, -1), 6);
    EXPECT_EQ(slurp(s.path("w")), "hello world");
    EXPECT_EQ(c->fix_failed, 0);
}

TEST(ZksdRecover, DropAfterReadKeepsTheReply)
{
    server s({"--drop-after", "1:12"});
    {
        std::ofstream(s.path("r")) << "0123456789";
    }
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
    cli_file_ctx *f = zksd_cli_open(c.c, "/r", 1);
    ASSERT_NE(f, nullptr);
    char buf[16] = {};
    EXPECT_EQ(zksd_cli_read(f, buf, 4, -1), 4) << c.err.msg;
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(s.count(12), 1u); // ran once, its reply re-read
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX_REPLY), 1u);
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX), 0u);
    EXPECT_EQ(zksd_cli_read(f, buf, 4, -1), 4);
    EXPECT_EQ(std::string(buf, 4), "4567");
}

TEST(ZksdRecover, GivesUpOnIndexJump)
{
    server s({"--drop-before", "1:13", "--index-skew", "2"});
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    zk_test::log_capture cap;
    EXPECT_EQ(zksd_cli_write(f, "hello", 5, -1), -1);
    EXPECT_EQ(c.err.code, -40);
    EXPECT_EQ(c->fix_failed, 1);
    EXPECT_TRUE(cap.has("cmd_send_count="));
    EXPECT_EQ(s.count(13), 0u);
    // A dead context sends nothing more.
    size_t n0 = s.size();
    os_file_stat_t st;
    EXPECT_EQ(zksd_cli_stat(c.c, "/w", &st), -1);
    EXPECT_EQ(c.err.code, -40);
    EXPECT_EQ(s.size(), n0);
}

TEST(ZksdRecover, GivesUpAfterThreeTimeouts)
{
    server s({"--drop-before", "1:13", "--after-drop", "stall:5"});
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    // Short waits from here on only: the log-in and the open had the usual
    // time, which a loaded machine may need.
    c->conn.timeout = c->read_timeout = 1000;
    zk_test::log_capture cap;
    EXPECT_EQ(zksd_cli_write(f, "hello", 5, -1), -1);
    EXPECT_EQ(c->fix_failed, 1);
    EXPECT_EQ(cap.count("zksd_cli_reconnect eno=-40"), 3u);
    EXPECT_EQ(count_event(s, "stall"), 3u);
}

TEST(ZksdRecover, ManualReconnectKeepsRecovery)
{
    server s({"--drop-before", "1:13"});
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
    const uint64_t old_id = c->srv_ctx_id;
    // A reconnect of its own lands on a new server context: recovery
    // follows it there and counts from its frames.
    ASSERT_EQ(zksd_cli_reconnect(c.c), 0) << c.err.msg;
    EXPECT_EQ(c->auto_reconnect, 1);
    EXPECT_NE(c->srv_ctx_id, old_id);
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zksd_cli_write(f, "abc", 3, -1), 3) << c.err.msg;
    EXPECT_EQ(slurp(s.path("w")), "abc");
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX), 1u);
}

TEST(ZksdRecover, OtherReconnectFailuresGiveUpAtOnce)
{
    server s({"--drop-before", "1:13", "--after-drop", "reset:5"});
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    zk_test::log_capture cap;
    EXPECT_EQ(zksd_cli_write(f, "hello", 5, -1), -1);
    EXPECT_EQ(c->fix_failed, 1);
    EXPECT_EQ(cap.count("zksd_cli_reconnect eno="), 1u);
    EXPECT_EQ(count_event(s, "reset"), 1u);
}

// Without recovery, a write cut off after its first piece reports the bytes
// that reached the file (a short write); one cut off at its first piece
// reports -1. What the server has is exactly what was reported.
TEST(ZksdRecover, WriteCutAfterAPieceIsShort)
{
    struct row {
        const char *drop; // the write request (of this write) that never arrives
        bool first;       // the first piece is lost
    };
    const row rows[] = {{"2:13", false}, {"1:13", true}};
    for (const row &r : rows) {
        server s({"--drop-before", r.drop, "--after-drop", "reset:5"});
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        ASSERT_EQ(c->auto_reconnect, 0);
        const int64_t piece = (int64_t)c->block_size;
        ASSERT_GT(piece, 0);
        cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
        ASSERT_NE(f, nullptr) << c.err.msg;
        std::string data((size_t)(3 * piece), '\0');
        for (size_t i = 0; i < data.size(); i++)
            data[i] = (char)('a' + i % 23);
        const int64_t n = zksd_cli_write(f, data.data(), (int64_t)data.size(), -1);
        if (r.first) {
            EXPECT_EQ(n, -1) << r.drop;
            EXPECT_EQ(slurp(s.path("w")), "") << r.drop;
        } else {
            EXPECT_EQ(n, piece) << r.drop;
            EXPECT_TRUE(slurp(s.path("w")) == data.substr(0, (size_t)piece)) << r.drop;
        }
        EXPECT_NE(zksd_cli_get_last_error(c.c), 0) << r.drop;
        EXPECT_EQ(s.count(13), r.first ? 0u : 1u) << r.drop;
    }
}

// ---- requests in flight ------------------------------------------------------------------------

namespace {

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((i * 131 + seed + i / 4099) & 0xff);
    return s;
}

// The offsets the server was asked for with command cmd, in order.
std::vector<int64_t> offsets(const server &s, int cmd)
{
    std::vector<int64_t> v;
    for (auto &r : s.requests())
        if (r.cmd == cmd) {
            size_t p = r.line.find("\"offset\": ");
            v.push_back(p == std::string::npos ? -1 : atoll(r.line.c_str() + p + 10));
        }
    return v;
}

} // namespace

// The connection drops before the first reply of a window, between its
// replies, or after the last request was handled but before its reply:
// every unanswered read and write is sent once more on the recovered
// context, in order, and the data comes out whole.
TEST(ZksdRecover, DropsInAWindowOfRequestsInFlight)
{
    struct row {
        const char *rule;
        const char *n; // "N:CMD"
        bool write;
    };
    // 1.25 MiB in 21 pieces of about 64 KiB (the slow probe): the window holds
    // them all.
    const row rows[] = {
        {"--drop-before", "1:29", false}, {"--drop-before", "7:29", false}, {"--drop-after", "21:29", false},
        {"--drop-before", "1:30", true},  {"--drop-before", "7:30", true},  {"--drop-after", "21:30", true},
    };
    for (const row &r : rows) {
        const std::string what = std::string(r.rule) + " " + r.n;
        server s({"--delay-ms", "3:20", r.rule, r.n});
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        ASSERT_EQ(c->block_size, 65536);
        ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
        const std::string data = pattern(20 * 65536, 9);
        cli_file_ctx *f = nullptr;
        if (r.write) {
            f = zksd_cli_open(c.c, "/w", 4 | 8);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(zksd_cli_write_behind(f, data.data(), (int64_t)data.size(), 0), (int64_t)data.size());
            EXPECT_EQ(zksd_cli_flush(f), 0) << what << ": " << c.err.msg;
            EXPECT_TRUE(slurp(s.path("w")) == data) << what;
        } else {
            std::ofstream(s.path("r"), std::ios::binary) << data;
            f = zksd_cli_open(c.c, "/r", 1);
            ASSERT_NE(f, nullptr);
            zksd_cli_read_ahead_limit(f, (int64_t)data.size());
            std::string got, buf(200000, '\0');
            for (int64_t n; (n = zksd_cli_read_ahead(f, buf.data(), 200000, (int64_t)got.size())) > 0;)
                got.append(buf, 0, (size_t)n);
            EXPECT_TRUE(got == data) << what << ": " << c.err.msg;
        }
        EXPECT_EQ(zksd_cli_close(f), 0) << what << ": " << c.err.msg;
        EXPECT_EQ(c->fix_failed, 0) << what;
        EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX), 1u) << what;
        // Handled at most twice (the one whose reply was lost); past the
        // end only the reads that found it.
        std::map<int64_t, int> times;
        for (int64_t o : offsets(s, r.write ? ZKSD_CMD_PWRITE : ZKSD_CMD_PREAD))
            if (o < (int64_t)data.size())
                times[o]++;
        for (auto &[o, n] : times)
            EXPECT_LE(n, 2) << what << " offset " << o;
    }
}

// Without recovery, or when the server is gone for good, what was in flight
// is lost: a read that needs it fails, and a lost write fails every later
// write, flush and close of its file; nothing hangs.
TEST(ZksdRecover, RequestsInFlightLostFailTheirFile)
{
    struct row {
        std::vector<std::string> args;
        bool recovery;
        int code; // of the failure
    };
    const row rows[] = {
        {{"--drop-before", "5:30"}, false, 0},
        {{"--drop-before", "5:30", "--after-drop", "reset:20"}, true, VERR_TIMEOUT},
    };
    for (const row &r : rows) {
        std::vector<std::string> args = {"--delay-ms", "3:20"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        server s(args);
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        if (r.recovery) {
            ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
        }
        const std::string data = pattern(20 * 65536, 4);
        cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(zksd_cli_write_behind(f, data.data(), (int64_t)data.size(), 0), (int64_t)data.size());
        EXPECT_EQ(zksd_cli_flush(f), -1);
        const int code = c.err.code;
        EXPECT_NE(code, 0);
        if (r.code) {
            EXPECT_EQ(code, r.code);
        }
        EXPECT_EQ(zksd_cli_write_behind(f, "x", 1, 0), -1);
        EXPECT_EQ(c.err.code, code);
        EXPECT_EQ(zksd_cli_close(f), -1);
        EXPECT_EQ(c.err.code, code);
        EXPECT_EQ(c->files.count, 0u);
    }
}
