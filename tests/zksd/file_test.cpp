// zksd file and directory requests against the project's test server:
// pieces, offsets by version, stat, directory blocks, version gates.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "zksd/zksd_test_util.h"

using namespace zksd_test;

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)('a' + (i * 7 + i / 13) % 26);
    return s;
}

// The server's open flags: 1 read, 2 write, 4 both, 8 create.
constexpr int64_t k_rd = 1, k_rw_create = 4 | 8;

} // namespace

TEST(ZksdFile, ReadAndWritePieces)
{
    server s;
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    c->block_size = 1000;
    const std::string data = pattern(3001);
    cli_file_ctx *f = zksd_cli_open(c.c, "/w", k_rw_create);
    ASSERT_NE(f, nullptr) << c.err.msg;
    // 3 blocks plus 1 byte: four pieces each way.
    size_t n0 = s.size();
    EXPECT_EQ(zksd_cli_write(f, data.data(), (int64_t)data.size(), 0), 3001);
    EXPECT_EQ(s.count(30, n0), 4u);
    EXPECT_EQ(f->pos, 3001u);
    EXPECT_EQ(slurp(s.path("w")), data);
    std::string back(4000, '\0');
    n0 = s.size();
    EXPECT_EQ(zksd_cli_read(f, back.data(), 3001, 0), 3001);
    EXPECT_EQ(s.count(29, n0), 4u);
    EXPECT_EQ(back.substr(0, 3001), data);
    // A short piece ends the read: 2500 bytes asked from offset 1500 of 3001.
    n0 = s.size();
    EXPECT_EQ(zksd_cli_read(f, back.data(), 2500, 1500), 1501);
    EXPECT_EQ(s.count(29, n0), 2u);
    // A read of 0 bytes sends one request.
    n0 = s.size();
    EXPECT_EQ(zksd_cli_read(f, back.data(), 0, -1), 0);
    EXPECT_EQ(s.count(12, n0), 1u);
    // Seek, stat, truncate, file information.
    EXPECT_EQ(zksd_cli_lseek(f, 10, 0), 10);
    EXPECT_EQ(zksd_cli_read(f, back.data(), 5, -1), 5);
    EXPECT_EQ(back.substr(0, 5), data.substr(10, 5));
    os_file_stat_t st{};
    ASSERT_EQ(zksd_cli_fstat(f, &st), 0);
    EXPECT_EQ(st.size, 3001u);
    ASSERT_EQ(zksd_cli_ftruncate(f, 100), 0);
    EXPECT_EQ(zksd_cli_file_len(f), 100);
    EXPECT_EQ(zksd_cli_fsync(f), 0);
    EXPECT_EQ(zksd_cli_close(f), 0);
    ASSERT_EQ(zksd_cli_stat(c.c, "/w", &st), 0);
    EXPECT_EQ(st.size, 100u);
    EXPECT_NE(st.ino, 0u); // extended reply
    EXPECT_EQ(zksd_cli_stat(c.c, "/missing", &st), -1);
    EXPECT_EQ(c.err.code, -102);
    os_volume_info_t vi{};
    EXPECT_EQ(zksd_cli_statfs(c.c, "/", &vi), 0);
    EXPECT_GT(vi.total_bytes, 0u);
}

TEST(ZksdFile, OffsetsByServerVersion)
{
    for (const char *ver : {"1.6.3", "1.6.4"}) {
        server s({"--version", ver});
        put(s.path("r"), pattern(5000));
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        c->block_size = 1000;
        cli_file_ctx *f = zksd_cli_open(c.c, "/r", k_rd);
        ASSERT_NE(f, nullptr);
        std::string back(2000, '\0');
        size_t n0 = s.size();
        EXPECT_EQ(zksd_cli_read(f, back.data(), 2000, 1234), 2000) << ver;
        EXPECT_EQ(back, pattern(5000).substr(1234, 2000));
        auto r = s.requests();
        std::vector<int> sent;
        for (size_t i = n0; i < r.size(); i++)
            sent.push_back(r[i].cmd);
        if (std::string(ver) == "1.6.3")
            EXPECT_EQ(sent, (std::vector<int>{15, 12, 12}));
        else
            EXPECT_EQ(sent, (std::vector<int>{29, 29}));
        // A write at an offset on 1.6.3 seeks, then writes at the position.
        EXPECT_EQ(zksd_cli_write(f, "XY", 2, 10), -1); // opened read-only
        EXPECT_NE(c.err.code, 0);
    }
}

TEST(ZksdFile, WindowsServerSetsTimeoutsOncePerHandle)
{
    server s({"--plat", "windows"});
    client c(s.url("write_timeout=7")); // read_timeout=3
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    cli_file_ctx *f = zksd_cli_open(c.c, "/t", k_rw_create);
    ASSERT_NE(f, nullptr);
    size_t n0 = s.size();
    EXPECT_EQ(zksd_cli_write(f, "abc", 3, 0), 3);
    EXPECT_EQ(zksd_cli_write(f, "def", 3, -1), 3);
    char buf[8];
    EXPECT_EQ(zksd_cli_read(f, buf, 6, 0), 6);
    EXPECT_EQ(zksd_cli_read(f, buf, 6, 0), 6);
    auto r = s.requests();
    std::vector<std::pair<int, std::string>> ioc;
    for (size_t i = n0; i < r.size(); i++)
        if (r[i].cmd == ZKSD_CMD_IOCTL)
            ioc.push_back({r[i].code, r[i].text});
    EXPECT_EQ(ioc, (std::vector<std::pair<int, std::string>>{{ZKSD_IOC_FD_WRITE_TIMEOUT, "7000"},
                                                             {ZKSD_IOC_FD_READ_TIMEOUT, "2000"}}));
}

TEST(ZksdFile, DirectoryAcrossBlocks)
{
    for (const char *ver : {"1.8.2", "1.5.2"}) {
        server s({"--version", ver});
        std::set<std::string> want = {".", ".."};
        for (int i = 0; i < 40; i++) {
            std::string n = "file_with_a_longish_name_" + std::to_string(i);
            put(s.path(n), std::string((size_t)i, 'x'));
            want.insert(n);
        }
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        c->block_size = 300;
        cli_dir_ctx *d = zksd_cli_opendir(c.c, "/");
        ASSERT_NE(d, nullptr);
        std::set<std::string> got;
        size_t n0 = s.size();
        while (os_dir_entry_t *e = zksd_cli_readdir(d)) {
            got.insert(e->name);
            if (std::string(e->name) == "file_with_a_longish_name_7") {
                EXPECT_EQ(e->st.size, 7u);
                if (std::string(ver) == "1.5.2") {
                    EXPECT_EQ(e->st.mtime_ns, 0u);
                }
            }
        }
        EXPECT_EQ(zksd_cli_get_last_error(c.c), 0) << c.err.msg;
        EXPECT_EQ(got, want);
        EXPECT_EQ(zksd_cli_telldir(d), want.size());
        const int blockcmd = std::string(ver) == "1.5.2" ? ZKSD_CMD_READDIR : ZKSD_CMD_READDIR_EXT;
        EXPECT_GT(s.count(blockcmd, n0), 3u);
        // Back to the start: the same entries again.
        ASSERT_EQ(zksd_cli_seekdir(d, 0), 0);
        size_t again = 0;
        while (zksd_cli_readdir(d))
            again++;
        EXPECT_EQ(again, want.size());
        EXPECT_EQ(zksd_cli_closedir(d), 0);
        // A server error of a directory request leaves the connection up.
        EXPECT_EQ(zksd_cli_opendir(c.c, "/missing"), nullptr);
        EXPECT_EQ(c.err.code, -102);
        os_file_stat_t st;
        EXPECT_EQ(zksd_cli_stat(c.c, "/", &st), 0);
    }
}

TEST(ZksdFile, VersionGatesSendNothing)
{
    struct gate {
        const char *ver;
        std::function<bool(cli_ctx *, cli_file_ctx *)> call; // true when refused
    } gates[] = {
        {"1.6.6", [](cli_ctx *c, cli_file_ctx *) { return !zksd_cli_open(c, "/g", ZKSD_O_NEED_167); }},
        {"1.8.1", [](cli_ctx *c, cli_file_ctx *) { return !zksd_cli_open(c, "/g", ZKSD_O_NEED_182); }},
        {"1.8.1", [](cli_ctx *c, cli_file_ctx *) { return !zksd_cli_log_path(c); }},
        {"1.7.7", [](cli_ctx *c, cli_file_ctx *) { return zksd_cli_rmdir2(c, "/d", 1) == -1; }},
        {"1.7.7", [](cli_ctx *c, cli_file_ctx *) { return zksd_cli_remove2(c, "/d", 1) == -1; }},
        {"1.5.1", [](cli_ctx *, cli_file_ctx *f) { return zksd_cli_pwritex(f, 0, 10, 0) == -1; }},
        {"1.5.8", [](cli_ctx *, cli_file_ctx *f) { return zksd_cli_hash_init(f, 1, 0, 0, "x") == -1; }},
        {"1.6.2", [](cli_ctx *, cli_file_ctx *f) { return zksd_cli_hash_init(f, 0x400, 0, 0, "x") == -1; }},
        {"1.6.1", [](cli_ctx *, cli_file_ctx *f) { return zksd_cli_bcount_init(f, 0, 0, 0, "x") == -1; }},
        {"1.6.6", [](cli_ctx *c, cli_file_ctx *) {
             char out[ZKSD_ANSWER_SIZE];
             return zksd_cli_vss_mount(c, "C:\\", out) == -1;
         }},
        {"1.6.7", [](cli_ctx *, cli_file_ctx *f) {
             char out[64];
             return zksd_cli_hash_get2(f, out, sizeof out) == -1;
         }},
    };
    for (auto &g : gates) {
        server s({"--version", g.ver});
        client c(s.url());
        ASSERT_NE(c.c, nullptr) << c.err.msg;
        cli_file_ctx *f = zksd_cli_open(c.c, "/f", k_rw_create);
        ASSERT_NE(f, nullptr);
        size_t n0 = s.size();
        EXPECT_TRUE(g.call(c.c, f)) << g.ver;
        EXPECT_EQ(c.err.code, -12) << g.ver;
        EXPECT_STREQ(c.err.msg, ZKSD_UPGRADE_MSG);
        EXPECT_EQ(s.size(), n0) << g.ver;
    }
    // Below the gate of a single call: nothing sent, a fixed answer.
    server s({"--version", "1.6.1"});
    client c(s.url());
    ASSERT_NE(c.c, nullptr);
    cli_file_ctx *f = zksd_cli_open(c.c, "/f", k_rw_create);
    size_t n0 = s.size();
    unsigned mask = 0;
    EXPECT_EQ(zksd_cli_hash_caps(c.c, &mask), 0);
    EXPECT_EQ(mask, 1023u);
    EXPECT_EQ(zksd_cli_fd_op(f, 1, 2), 0);
    EXPECT_EQ(s.size(), n0);
}

TEST(ZksdFile, PathListAndPwritex)
{
    server s;
    client c(s.url());
    ASSERT_NE(c.c, nullptr);
    // An empty path list is refused before sending.
    size_t n0 = s.size();
    EXPECT_EQ(zksd_cli_open(c.c, "\0\0", ZKSD_O_PATH_LIST), nullptr);
    EXPECT_EQ(c.err.code, -1);
    EXPECT_STREQ(c.err.msg, "unkown error=9");
    EXPECT_EQ(s.size(), n0);
    cli_file_ctx *f = zksd_cli_open(c.c, "/p", k_rw_create);
    ASSERT_NE(f, nullptr);
    n0 = s.size();
    EXPECT_EQ(zksd_cli_pwritex(f, 0, 100, 50), 100);
    EXPECT_EQ(s.last().code, ZKSD_IOCTL2_PWRITEX);
    EXPECT_EQ(s.last().text, "50\t100");
    server old({"--version", "1.6.1"});
    client c2(old.url());
    cli_file_ctx *f2 = zksd_cli_open(c2.c, "/p", k_rw_create);
    EXPECT_EQ(zksd_cli_pwritex(f2, 0, 100, 50), 100);
    EXPECT_EQ(old.last().cmd, ZKSD_CMD_PWRITEX_OLD);
}

TEST(ZksdFile, RawReadAndWrite)
{
    server s;
    client c(s.url("pack=none"));
    ASSERT_NE(c.c, nullptr);
    cli_file_ctx *f = zksd_cli_open(c.c, "/raw", k_rw_create);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zksd_cli_write_raw(f, "hello", 5, 5, 0), 5);
    char buf[16];
    uint32_t plen = 0;
    EXPECT_EQ(zksd_cli_read_raw(f, buf, sizeof buf, 5, &plen, 0), 5);
    EXPECT_EQ(plen, 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    // The caller's capacity bounds the copy.
    EXPECT_EQ(zksd_cli_read_raw(f, buf, 3, 5, &plen, 0), -1);
    EXPECT_EQ(c.err.code, VERR_DEV_IO_ERROR);
}

// A server that claims to have moved more than it was given or asked for
// is out of protocol: its count is never used.
TEST(ZksdFile, CountsLargerThanAskedAreRefused)
{
    server s({"--count-skew", "7"});
    client c(s.url("pack=none"));
    ASSERT_NE(c.c, nullptr);
    cli_file_ctx *f = zksd_cli_open(c.c, "/skew", k_rw_create);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zksd_cli_write(f, "hello", 5, 0), -1);
    EXPECT_EQ(zksd_cli_write_raw(f, "hello", 5, 5, 0), -1);
    char buf[64] = {};
    uint32_t plen = 0;
    EXPECT_EQ(zksd_cli_read_raw(f, buf, sizeof buf, 5, &plen, 0), -1);
    EXPECT_NE(c.err.code, 0);
    // A read's count is what its data unpacks to, bounded by the buffer.
    EXPECT_EQ(zksd_cli_read(f, buf, 3, 0), 3);
    EXPECT_EQ(zksd_cli_close(f), 0);
}

// Reply data that does not unpack is an I/O error for the caller (EIO),
// never a permission error.
TEST(ZksdFile, DataThatDoesNotUnpackIsAnIoError)
{
    server s({"--bad-pack"});
    client c(s.url("pack=lz4"));
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    cli_file_ctx *f = zksd_cli_open(c.c, "/bad", k_rw_create);
    ASSERT_NE(f, nullptr) << c.err.msg;
    ASSERT_EQ(zksd_cli_write(f, "hello", 5, 0), 5) << c.err.msg;
    char buf[16];
    EXPECT_EQ(zksd_cli_read(f, buf, 5, 0), -1);
    EXPECT_EQ(verr_2_posix(c.err.code), EIO) << c.err.code << " " << c.err.msg;
    EXPECT_STREQ(c.err.msg, "unpack data error");
}

TEST(ZksdFile, OtherOpensAndRequests)
{
    server s;
    client c(s.url());
    ASSERT_NE(c.c, nullptr) << c.err.msg;
    cli_file_ctx *f = zksd_cli_open2(c.c, "/o2", 2 | 4, 0640);
    ASSERT_NE(f, nullptr) << c.err.msg;
    EXPECT_EQ(f->flags, 0640);
    EXPECT_STREQ(f->path, "/o2");
    EXPECT_EQ(zksd_cli_write(f, "12345", 5, -1), 5);
    zksd_file_info_t fi{};
    ASSERT_EQ(zksd_cli_file_info(f, &fi), 0) << c.err.msg;
    EXPECT_EQ(fi.len, 5u);
    EXPECT_EQ(fi.offset, 5u);
    EXPECT_EQ(zksd_cli_flock(f, 1, 0, 5), 0) << c.err.msg;
    const zksd_file_times_t t{1000, 5, 2000, 6, 3000, 7};
    EXPECT_EQ(zksd_cli_futime(f, &t), 0) << c.err.msg;
    EXPECT_EQ(s.last().cmd, ZKSD_CMD_FUTIME_NS);
    os_file_stat_t st{};
    ASSERT_EQ(zksd_cli_lstat(c.c, "/o2", &st), 0);
    EXPECT_EQ(st.mtime, 2000u);
    EXPECT_EQ(st.size, 5u);
    EXPECT_EQ(zksd_cli_close(f), 0);
    // Windows-style open: read and write access, open or create.
    cli_file_ctx *w = zksd_cli_wopen(c.c, "/o2", (int32_t)0xC0000000, 0, nullptr, 4, 0, 0);
    ASSERT_NE(w, nullptr) << c.err.msg;
    EXPECT_EQ(w->flags, 0);
    char buf[8] = {};
    EXPECT_EQ(zksd_cli_read(w, buf, 8, 0), 5);
    EXPECT_STREQ(buf, "12345");
    EXPECT_EQ(c->files.count, 1u);
    EXPECT_EQ(zksd_cli_close(w), 0);
    EXPECT_EQ(c->files.count, 0u);
    // Extended attributes travel packed.
    const std::string v(3000, 'v');
    if (zksd_cli_setxattr(c.c, "/o2", "user.big", v.data(), v.size(), 0) == 0) {
        std::string back(4000, '\0');
        EXPECT_EQ(zksd_cli_getxattr(c.c, "/o2", "user.big", back.data(), back.size()), 3000);
        EXPECT_EQ(back.substr(0, 3000), v);
    } else {
        EXPECT_NE(c.err.code, 0); // the file system under the server has none
    }
    char blk[4096];
    EXPECT_EQ(zksd_cli_lsblk(c.c, blk, sizeof blk), 0) << c.err.msg;
}
