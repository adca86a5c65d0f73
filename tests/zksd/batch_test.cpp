// Attribute lists asked for together: the requests travel back to back and
// every answer comes back to its own path; a batch broken by the server
// leaves the context counting as the server does, or closed, or dead, and
// never waiting for replies that will not come.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "zksd/zksd_test_util.h"

using namespace zksd_test;

namespace {

struct answer {
    int i = -1;
    int status = 0;
    std::string data;
};

void keep(void *arg, int i, int status, const char *data, uint32_t len)
{
    ((std::vector<answer> *)arg)->push_back({i, status, std::string(data, len)});
}

// Files f000..f(n-1) in the served root; f001 carries user.k = "v".
std::vector<std::string> make_files(const server &s, int n)
{
    std::vector<std::string> paths;
    for (int i = 0; i < n; i++) {
        char name[16];
        snprintf(name, sizeof name, "f%03d", i);
        std::ofstream(s.path(name)) << "x";
        paths.push_back(std::string("/") + name);
    }
    if (n > 1)
        setxattr(s.path("f001").c_str(), "user.k", "v", 1, 0);
    return paths;
}

std::vector<const char *> ptrs(const std::vector<std::string> &v)
{
    std::vector<const char *> p;
    for (auto &s : v)
        p.push_back(s.c_str());
    return p;
}

size_t count_code(const server &s, int code)
{
    size_t n = 0;
    for (auto &r : s.requests())
        n += r.cmd == ZKSD_CMD_IOCTL2 && r.code == code;
    return n;
}

} // namespace

TEST(ZksdBatch, EveryAnswerReachesItsPathInOrder)
{
    server s;
    // More than may be in flight at once, so the window slides.
    std::vector<std::string> paths = make_files(s, ZKSD_BATCH_IN_FLIGHT * 2 + 7);
    paths.push_back("/missing");
    paths.push_back("/bad\tname");
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0) << c.err.msg;
    std::vector<answer> got;
    auto p = ptrs(paths);
    ASSERT_EQ(zksd_cli_listxattr_batch(c.c, p.data(), (int)p.size(), 4096, keep, &got), 0) << c.err.msg;
    ASSERT_EQ(got.size(), paths.size());
    for (size_t k = 0; k < got.size(); k++)
        EXPECT_EQ(got[k].i, (int)k);
    EXPECT_EQ(got[1].status, 0);
    EXPECT_EQ(got[1].data, std::string("user.k\0", 7)); // f001
    EXPECT_EQ(got[0].status, 0);
    EXPECT_EQ(got[0].data, "");
    EXPECT_NE(got[got.size() - 2].status, 0); // /missing
    // The refused name is answered in its place, without a request.
    EXPECT_EQ(got.back().status, VERR_INVALID_PARAMETER);
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_LISTXATTR), paths.size() - 1);
    EXPECT_EQ(c.err.code, 0);
    // The connection carries single requests on as before.
    char buf[64];
    EXPECT_EQ(zksd_cli_listxattr(c.c, "/f001", buf, sizeof buf), 7);
}

TEST(ZksdBatch, AStoppedBatchAnswersWhatWentOutAndNoMore)
{
    server s;
    std::vector<std::string> paths = make_files(s, 40);
    paths.insert(paths.begin() + 3, "/bad\tname"); // answered without a request
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    auto p = ptrs(paths);
    zksd_batch *b = zksd_cli_batch_listxattr(c.c, p.data(), (int)p.size(), 4096, 4);
    ASSERT_NE(b, nullptr) << c.err.msg;
    // Four requests out; the refused path before the fifth needs none.
    EXPECT_EQ(zksd_cli_batch_sent(b), 5u);
    std::vector<answer> got;
    ASSERT_EQ(zksd_cli_batch_next(b, keep, &got), 1);
    // A wider window: the second answer tops it up to 16 unanswered.
    zksd_cli_batch_window(b, 16);
    ASSERT_EQ(zksd_cli_batch_next(b, keep, &got), 1);
    ASSERT_EQ(zksd_cli_batch_sent(b), 19u);
    EXPECT_EQ(zksd_cli_batch_stop(b), 19u);
    while (zksd_cli_batch_next(b, keep, &got) > 0) {
    }
    zksd_cli_batch_free(b);
    ASSERT_EQ(got.size(), 19u);
    for (size_t k = 0; k < got.size(); k++)
        EXPECT_EQ(got[k].i, (int)k);
    EXPECT_EQ(got[1].data, std::string("user.k\0", 7)); // f001
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_LISTXATTR), 18u);
    // Nothing of the batch is left on the connection.
    char buf[64];
    EXPECT_EQ(zksd_cli_listxattr(c.c, "/f001", buf, sizeof buf), 7) << c.err.msg;
    EXPECT_EQ(c.err.code, 0);
}

TEST(ZksdBatch, CountsAgreeForALaterRecovery)
{
    // The first write's frame is dropped: its recovery resends it only when
    // the counter kept up with every frame of the batch.
    server s({"--drop-before", "1:13"});
    std::vector<std::string> paths = make_files(s, 40);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0) << c.err.msg;
    std::vector<answer> got;
    auto p = ptrs(paths);
    ASSERT_EQ(zksd_cli_listxattr_batch(c.c, p.data(), (int)p.size(), 4096, keep, &got), 0) << c.err.msg;
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zksd_cli_write(f, "hello", 5, -1), 5) << c.err.msg;
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX), 1u);
    EXPECT_EQ(c->fix_failed, 0);
    EXPECT_EQ(zksd_cli_close(f), 0);
}

TEST(ZksdBatch, ABrokenBatchStartsAfreshOnTheSameServerContext)
{
    // The connection drops when the 5th ioctl2 arrives: two went to enabling
    // recovery, so the batch breaks at its third request.
    server s({"--drop-before", "5:8", "--drop-before", "1:13"});
    std::vector<std::string> paths = make_files(s, 30);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0) << c.err.msg;
    // A file open across the break stays usable: same server context.
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", 4 | 8);
    ASSERT_NE(f, nullptr);
    std::vector<answer> got;
    auto p = ptrs(paths);
    EXPECT_EQ(zksd_cli_listxattr_batch(c.c, p.data(), (int)p.size(), 4096, keep, &got), -1);
    EXPECT_LT(got.size(), paths.size());
    for (size_t k = 0; k < got.size(); k++)
        EXPECT_EQ(got[k].i, (int)k); // what came was right
    EXPECT_EQ(c->fix_failed, 0);
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX), 1u);
    // The next requests get their own answers, and a later break of a
    // write is recovered: the counter is the server's again.
    char buf[64];
    EXPECT_EQ(zksd_cli_listxattr(c.c, "/f001", buf, sizeof buf), 7) << c.err.msg;
    EXPECT_EQ(std::string(buf, 7), std::string("user.k\0", 7));
    EXPECT_EQ(zksd_cli_write(f, "hello", 5, -1), 5) << c.err.msg;
    EXPECT_EQ(count_code(s, ZKSD_IOCTL2_ATTACH_CTX), 2u);
    EXPECT_EQ(zksd_cli_close(f), 0);
    std::ifstream in(s.path("w"));
    std::string text;
    in >> text;
    EXPECT_EQ(text, "hello");
}

TEST(ZksdBatch, ABrokenBatchWithoutRecoveryClosesTheConnection)
{
    server s({"--drop-before", "3:8"});
    std::vector<std::string> paths = make_files(s, 20);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    std::vector<answer> got;
    auto p = ptrs(paths);
    EXPECT_EQ(zksd_cli_listxattr_batch(c.c, p.data(), (int)p.size(), 4096, keep, &got), -1);
    // Two replies were on their way before the drop; the reset of the
    // closed connection may take them (or fail a send first).
    EXPECT_LE(got.size(), 2u);
    for (size_t k = 0; k < got.size(); k++)
        EXPECT_EQ(got[k].i, (int)k);
    EXPECT_NE(c.err.code, 0);
    // Nothing stale is read as the next answer: the next request fails.
    char buf[64];
    EXPECT_EQ(zksd_cli_listxattr(c.c, "/f001", buf, sizeof buf), -1);
    EXPECT_NE(c.err.code, 0);
}

TEST(ZksdBatch, AServerGoneMidBatchLeavesTheContextDeadNotHanging)
{
    // After the drop, every new connection is closed at once: the
    // resynchronisation fails and the context is dead.
    server s({"--drop-before", "5:8", "--after-drop", "reset:20"});
    std::vector<std::string> paths = make_files(s, 30);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0) << c.err.msg;
    std::vector<answer> got;
    auto p = ptrs(paths);
    EXPECT_EQ(zksd_cli_listxattr_batch(c.c, p.data(), (int)p.size(), 4096, keep, &got), -1);
    EXPECT_EQ(c->fix_failed, 1);
    char buf[64];
    EXPECT_EQ(zksd_cli_listxattr(c.c, "/f001", buf, sizeof buf), -1);
    EXPECT_EQ(c.err.code, VERR_TIMEOUT);
    EXPECT_EQ(zksd_cli_listxattr_batch(c.c, p.data(), (int)p.size(), 4096, keep, &got), -1);
}

namespace {

void keep_name(void *arg, const os_dir_entry_t *e) { ((std::vector<std::string> *)arg)->push_back(e->name); }

} // namespace

TEST(ZksdBatch, ListingAndCloseTravelTogether)
{
    server s;
    make_files(s, 5);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    size_t before = s.size();
    cli_dir_ctx *d = zksd_cli_opendir(c.c, "/");
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    EXPECT_EQ(zksd_cli_readdir_close(d, keep_name, &names), 1) << c.err.msg;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "f000", "f001", "f002", "f003", "f004"}));
    auto reqs = s.requests();
    ASSERT_EQ(reqs.size() - before, 3u);
    EXPECT_EQ(reqs[before].cmd, ZKSD_CMD_OPENDIR);
    EXPECT_EQ(reqs[before + 1].cmd, ZKSD_CMD_READDIR_EXT);
    EXPECT_EQ(reqs[before + 2].cmd, ZKSD_CMD_CLOSEDIR);
    EXPECT_EQ(c->dirs.count, 0u);
    // The connection carries on.
    char buf[64];
    EXPECT_EQ(zksd_cli_listxattr(c.c, "/f001", buf, sizeof buf), 7);
}

TEST(ZksdBatch, AListingLongerThanOneBlockSaysSo)
{
    // A slow latency probe makes the client choose 64 KiB blocks.
    server s({"--delay-ms", "3:20"});
    std::string pad(120, 'x');
    for (int i = 0; i < 1000; i++)
        std::ofstream(s.path(pad + std::to_string(i))) << "";
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_LT(c->block_size, 1000 * 130);
    cli_dir_ctx *d = zksd_cli_opendir(c.c, "/");
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    EXPECT_EQ(zksd_cli_readdir_close(d, keep_name, &names), 0) << c.err.msg;
    EXPECT_GT(names.size(), 2u);
    EXPECT_LT(names.size(), 1002u);
    EXPECT_EQ(c.err.code, 0);
    EXPECT_EQ(c->dirs.count, 0u);
}

TEST(ZksdBatch, AListingBrokenAtItsCloseStartsAfresh)
{
    server s({"--drop-before", "1:43"});
    make_files(s, 5);
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_set_auto_reconnect(c.c), 0) << c.err.msg;
    cli_dir_ctx *d = zksd_cli_opendir(c.c, "/");
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    EXPECT_EQ(zksd_cli_readdir_close(d, keep_name, &names), -1);
    EXPECT_EQ(c->fix_failed, 0);
    EXPECT_EQ(c->dirs.count, 0u);
    char buf[64];
    EXPECT_EQ(zksd_cli_listxattr(c.c, "/f001", buf, sizeof buf), 7) << c.err.msg;
    EXPECT_EQ(std::string(buf, 7), std::string("user.k\0", 7));
}
