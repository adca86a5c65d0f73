// File data in flight against the project's test server: reads asked for
// ahead and writes sent back to back reach their own blocks with other
// requests in between; a failed write fails every later call of its file;
// a reply sent twice, or one of another request, is never taken as data.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "zksd/zksd_test_util.h"

using namespace zksd_test;

namespace {

// A slow latency probe makes the client choose 64 KiB blocks, so that a
// file of a few of them is read and written in many requests.
const std::vector<std::string> k_small_blocks = {"--delay-ms", "3:20"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((i * 131 + seed + i / 4099) & 0xff);
    return s;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Whether the server has sent its copy of a reply (--dup-reply), waiting
// for it up to 30 s.
bool copy_sent(const server &s)
{
    for (int i = 0; i < 3000; i++) {
        std::ifstream in(s.log);
        for (std::string line; std::getline(in, line);)
            if (line.find("\"event\": \"dup\"") != std::string::npos)
                return true;
        usleep(10000);
    }
    return false;
}

// Reads the whole file through the read-ahead in pieces of `piece`: the
// bytes, or what came before the first failure (*failed set).
std::string read_all(cli_file_ctx *f, int64_t piece, bool *failed = nullptr)
{
    std::string out, buf((size_t)piece, '\0');
    for (int64_t off = 0;;) {
        const int64_t n = zksd_cli_read_ahead(f, buf.data(), piece, off);
        if (n < 0 && failed)
            *failed = true;
        if (n <= 0)
            return out;
        out.append(buf, 0, (size_t)n);
        off += n;
    }
}

} // namespace

TEST(ZksdFlight, ReadsAheadAndAnotherRequestBetweenLosesNothing)
{
    server s(k_small_blocks);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(c->block_size, 65536);
    const std::string data = pattern(40 * 65536 + 123, 1);
    std::ofstream(s.path("r"), std::ios::binary) << data;
    cli_file_ctx *f = zksd_cli_open(c.c, "/r", 1);
    ASSERT_NE(f, nullptr);
    zksd_cli_read_ahead_limit(f, (int64_t)data.size());
    std::string got, buf(100000, '\0');
    ASSERT_EQ(zksd_cli_read_ahead(f, buf.data(), 100000, 0), 100000) << c.err.msg;
    got.append(buf);
    ASSERT_EQ(zksd_cli_read_ahead(f, buf.data(), 100000, 100000), 100000) << c.err.msg;
    got.append(buf);
    // Requests travel ahead of the reader, more as it goes on.
    EXPECT_GE(c->await_n, 4u);
    // A stat while they are in flight gets its own answer, and so does
    // every block.
    os_file_stat_t st{};
    ASSERT_EQ(zksd_cli_stat(c.c, "/r", &st), 0) << c.err.msg;
    EXPECT_EQ(st.size, data.size());
    EXPECT_EQ(c->await_n, 0u);
    for (int64_t off = 200000;;) {
        const int64_t n = zksd_cli_read_ahead(f, buf.data(), 100000, off);
        ASSERT_GE(n, 0) << c.err.msg;
        if (n == 0)
            break;
        got.append(buf, 0, (size_t)n);
        off += n;
    }
    EXPECT_TRUE(got == data);
    // Nothing asked twice; past the end only the reads that reach it (the
    // last crossing it, the one at it).
    std::set<int64_t> seen;
    size_t past = 0;
    for (auto &q : s.requests())
        if (q.cmd == ZKSD_CMD_PREAD) {
            const int64_t o = atoll(q.line.c_str() + q.line.find("\"offset\": ") + 10);
            if (o >= (int64_t)data.size())
                past++;
            else
                EXPECT_TRUE(seen.insert(o).second) << o;
        }
    EXPECT_EQ(past, 2u);
    // A jump back is read anew at its own size.
    ASSERT_EQ(zksd_cli_read_ahead(f, buf.data(), 10, 5), 10);
    EXPECT_EQ(buf.substr(0, 10), data.substr(5, 10));
    EXPECT_EQ(zksd_cli_flush(f), 0);
    EXPECT_EQ(zksd_cli_close(f), 0) << c.err.msg;
    EXPECT_EQ(c->proto_errors, 0u);
}

TEST(ZksdFlight, WritesTravelBackToBackAndAFailureStays)
{
    server s(k_small_blocks);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    const std::string data = pattern(30 * 65536 + 5, 2);
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(zksd_cli_write_behind(f, data.data(), (int64_t)data.size(), 0), (int64_t)data.size()) << c.err.msg;
    EXPECT_GT(c->await_n, 4u); // sent, not answered yet
    os_file_stat_t st{};
    ASSERT_EQ(zksd_cli_stat(c.c, "/w", &st), 0);
    EXPECT_EQ(st.size, data.size()); // every write answered first
    EXPECT_EQ(zksd_cli_fsync(f), 0) << c.err.msg;
    EXPECT_TRUE(slurp(s.path("w")) == data);
    EXPECT_EQ(zksd_cli_close(f), 0) << c.err.msg;

    // The server refuses writes to a file opened for reading: the refusal
    // reaches every later write, flush, fsync and close of that file, and
    // no other file.
    std::ofstream(s.path("ro")) << "x";
    cli_file_ctx *r = zksd_cli_open(c.c, "/ro", 1);
    cli_file_ctx *w = zksd_cli_open(c.c, "/w2", 4 | 8);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(zksd_cli_write_behind(r, data.data(), 200000, 0), 200000);
    EXPECT_EQ(zksd_cli_write_behind(w, data.data(), 200000, 0), 200000);
    EXPECT_EQ(zksd_cli_flush(r), -1);
    const int code = c.err.code;
    EXPECT_NE(code, 0);
    EXPECT_EQ(zksd_cli_write_behind(r, "y", 1, 0), -1);
    EXPECT_EQ(c.err.code, code);
    EXPECT_EQ(zksd_cli_fsync(r), -1);
    EXPECT_EQ(c.err.code, code);
    EXPECT_EQ(zksd_cli_close(r), -1);
    EXPECT_EQ(c.err.code, code);
    EXPECT_EQ(zksd_cli_close(w), 0) << c.err.msg;
    EXPECT_TRUE(slurp(s.path("w2")) == data.substr(0, 200000));
    EXPECT_EQ(c->files.count, 0u);
}

// The buffers of answered blocks and writes serve the next ones: two files
// read in turn, a file read after another was closed with its blocks in
// flight, and a second file written after a first each come out as they
// are, none with bytes of another.
TEST(ZksdFlight, BuffersServeAgainWithoutMixingFiles)
{
    server s(k_small_blocks);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    const std::string a = pattern(24 * 65536 + 77, 5), b = pattern(17 * 65536 + 3, 6);
    std::ofstream(s.path("a"), std::ios::binary) << a;
    std::ofstream(s.path("b"), std::ios::binary) << b;
    cli_file_ctx *fa = zksd_cli_open(c.c, "/a", 1), *fb = zksd_cli_open(c.c, "/b", 1);
    ASSERT_NE(fa, nullptr);
    ASSERT_NE(fb, nullptr);
    std::string ga, gb, buf(150000, '\0');
    for (bool more = true; more;) {
        more = false;
        for (auto [f, got] : {std::pair{fa, &ga}, std::pair{fb, &gb}}) {
            const int64_t n = zksd_cli_read_ahead(f, buf.data(), 150000, (int64_t)got->size());
            ASSERT_GE(n, 0) << c.err.msg;
            got->append(buf, 0, (size_t)n);
            more |= n > 0;
        }
    }
    EXPECT_TRUE(ga == a);
    EXPECT_TRUE(gb == b);
    EXPECT_EQ(zksd_cli_close(fa), 0) << c.err.msg;
    EXPECT_EQ(zksd_cli_close(fb), 0) << c.err.msg;
    // A file closed with blocks asked for ahead: the next file's blocks
    // hold only its own bytes.
    cli_file_ctx *cut = zksd_cli_open(c.c, "/a", 1);
    ASSERT_NE(cut, nullptr);
    ASSERT_EQ(zksd_cli_read_ahead(cut, buf.data(), 150000, 0), 150000) << c.err.msg;
    ASSERT_EQ(zksd_cli_read_ahead(cut, buf.data(), 150000, 150000), 150000) << c.err.msg;
    EXPECT_GE(c->await_n, 2u);
    EXPECT_EQ(zksd_cli_close(cut), 0) << c.err.msg;
    cli_file_ctx *again = zksd_cli_open(c.c, "/b", 1);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(read_all(again, 200000) == b);
    EXPECT_EQ(zksd_cli_close(again), 0) << c.err.msg;

    for (const auto &[name, data] : {std::pair{"/w1", &a}, std::pair{"/w2", &b}}) {
        cli_file_ctx *w = zksd_cli_open(c.c, name, 4 | 8);
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(zksd_cli_write_behind(w, data->data(), (int64_t)data->size(), 0), (int64_t)data->size());
        EXPECT_EQ(zksd_cli_close(w), 0) << c.err.msg;
        EXPECT_TRUE(slurp(s.path(name + 1)) == *data) << name;
    }
    EXPECT_EQ(c->proto_errors, 0u);
}

// A reply the server sends twice, or late, is never taken for another
// request's answer: the connection is out of step, recovered, and the
// request gets its own reply; without recovery the call fails.
TEST(ZksdFlight, AReplySentTwiceIsNeverData)
{
    struct row {
        const char *what;
        std::vector<std::string> args;
        bool recovery;
        int64_t want; // the second read's count
    };
    const row rows[] = {
        {"a read's reply twice", {"--dup-reply", "1:29"}, true, 10},
        {"an open's reply, late", {"--dup-reply", "1:25", "--dup-delay-ms", "300"}, true, 10},
        {"a read's reply twice, no recovery", {"--dup-reply", "1:29"}, false, -1},
    };
    for (const row &r : rows) {
        server s(r.args);
        std::ofstream(s.path("f")) << "0123456789abcdefghij";
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        if (r.recovery) {
            ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
        }
        cli_file_ctx *f = zksd_cli_open2(c.c, "/f", 0, 0);
        ASSERT_NE(f, nullptr) << r.what;
        char buf[16] = {};
        zk_test::log_capture cap;
        EXPECT_EQ(zksd_cli_read(f, buf, 10, 0), 10) << r.what;
        // The copy is there by the time the next request goes.
        ASSERT_TRUE(copy_sent(s)) << r.what;
        EXPECT_EQ(zksd_cli_read(f, buf, 10, 10), r.want) << r.what;
        if (r.want > 0) {
            EXPECT_EQ(std::string(buf, 10), "abcdefghij") << r.what;
        } else {
            EXPECT_EQ(c.err.code, VERR_NET_PROTOCOL_ERROR) << r.what;
        }
        EXPECT_EQ(c->proto_errors, 1u) << r.what;
        EXPECT_TRUE(cap.has("the connection is out of step")) << r.what;
    }
}

// Blocks read ahead: one reply sent twice shifts the replies after it. The
// file fails with EIO at its next read or at its flush (a round trip of
// another command shows the connection out of step), never ends quietly;
// the connection, recovered, serves on.
TEST(ZksdFlight, AReplySentTwiceInATrainFailsTheFile)
{
    for (const char *which : {"3:29", "20:29"}) {
        server s(with(k_small_blocks, {"--dup-reply", which}));
        const std::string data = pattern(20 * 65536, 3);
        std::ofstream(s.path("r"), std::ios::binary) << data;
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0);
        cli_file_ctx *f = zksd_cli_open(c.c, "/r", 1);
        ASSERT_NE(f, nullptr);
        zksd_cli_read_ahead_limit(f, (int64_t)data.size());
        bool failed = false;
        const std::string got = read_all(f, 100000, &failed);
        if (!failed) {
            EXPECT_EQ(zksd_cli_flush(f), -1) << which;
        }
        EXPECT_EQ(c.err.code, VERR_DEV_IO_ERROR) << which;
        char one;
        EXPECT_EQ(zksd_cli_read_ahead(f, &one, 1, 0), -1) << which;
        EXPECT_EQ(c->proto_errors, 1u) << which;
        EXPECT_EQ(zksd_cli_close(f), -1) << which;
        // The next file reads right on the recovered connection.
        cli_file_ctx *g = zksd_cli_open(c.c, "/r", 1);
        ASSERT_NE(g, nullptr) << c.err.msg;
        EXPECT_TRUE(read_all(g, 100000) == data) << which;
        EXPECT_EQ(zksd_cli_close(g), 0) << c.err.msg;
        EXPECT_EQ(c->fix_failed, 0);
    }
}
