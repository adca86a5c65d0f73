// Directory blocks the test server never sends: crafted replies over a
// memory loopback connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "zksd/zksd_test_util.h"

namespace {

// A context on a memory loopback with the "none" codec and one directory
// handle; replies are queued before each request.
struct dir_fixture {
    vperror_t err{};
    cli_ctx *c = (cli_ctx *)os_zalloc(sizeof(cli_ctx));
    cli_dir_ctx *d = (cli_dir_ctx *)os_zalloc(sizeof(cli_dir_ctx));
    dir_fixture()
    {
        c->last_error = &err;
        c->conn.timeout = 500;
        c->block_size = 256;
        mem_parray_init(&c->files);
        mem_parray_init(&c->dirs);
        strcpy(c->comp.name, "none");
        sdcomp_setup(&c->comp);
        net_open3(&c->conn, "net://mem", nullptr, &err);
        d->kind = ZKSD_KIND_DIR;
        d->ctx = c;
        d->fd = 3;
        d->pos = -1;
        mem_parray_add(&c->dirs, d);
    }
    ~dir_fixture() { zksd_cli_exit_free(c); }
    void queue(const std::string &frame)
    {
        ASSERT_EQ(net_write(&c->conn, frame.data(), frame.size()), (int)frame.size());
    }
    // A block reply carrying text as its (unpacked) data.
    void block(const std::string &text, int32_t eno = 0)
    {
        blob_buf b{};
        blob_buf_init(&b, 2);
        blobmsg_add_u32(&b, "errno", (uint32_t)eno);
        blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, "errno_str", eno ? "File not found." : "", eno ? 16 : 1);
        if (!eno) {
            blobmsg_add_u32(&b, "len", (uint32_t)text.size());
            blobmsg_add_field(&b, BLOBMSG_TYPE_BINARY, "data", text.data(), text.size());
        }
        const blob_attr *root = blob_buf_root(&b);
        queue(std::string{'Z', 'K', 1, 42} + std::string((const char *)root, blob_pad_len(root)));
        blob_buf_free(&b);
    }
};

const std::string k_line = "1\t420\t0\t0\t1700000000\t1700000000\t1700000000\t5\t";

} // namespace

TEST(ZksdDirBlock, OneLineThenTheEnd)
{
    dir_fixture f;
    std::string text = k_line + "a.txt\t\n\n";
    text += '\0';
    ASSERT_EQ(text.size(), 54u);
    f.block(text);
    os_dir_entry_t *e = zksd_cli_readdir(f.d);
    ASSERT_NE(e, nullptr) << f.err.msg;
    EXPECT_STREQ(e->name, "a.txt");
    EXPECT_STREQ(e->link, "");
    EXPECT_EQ(e->st.type, 1u);
    EXPECT_EQ(e->st.mode, 420u);
    EXPECT_EQ(e->st.size, 5u);
    EXPECT_EQ(e->st.mtime, 1700000000u);
    EXPECT_EQ(e->st.mtime_ns, 0u);
    EXPECT_EQ(zksd_cli_readdir(f.d), nullptr); // the empty line, same block
    EXPECT_EQ(f.err.code, 0);
    EXPECT_EQ(zksd_cli_telldir(f.d), 1u);
}

TEST(ZksdDirBlock, BrokenBlocks)
{
    {
        dir_fixture f; // no line end at all
        f.block(std::string("abc") + '\0');
        EXPECT_EQ(zksd_cli_readdir(f.d), nullptr);
        EXPECT_EQ(f.err.code, -466);
    }
    {
        // A short block without its NUL never reaches the bytes an earlier,
        // longer block left in the buffer.
        dir_fixture f;
        f.block(k_line + std::string(150, 'a') + "\t\n" + '\0');
        ASSERT_NE(zksd_cli_readdir(f.d), nullptr);
        f.block(k_line + "b");
        EXPECT_EQ(zksd_cli_readdir(f.d), nullptr);
        EXPECT_EQ(f.err.code, -466);
    }
}

// Names no directory entry may carry are skipped one by one, each logged,
// and the listing goes on past them to its end; positions count them.
TEST(ZksdDirBlock, BadNamesAreSkippedAndTheListingGoesOn)
{
    const std::string file = "2\t420\t0\t0\t1700000000\t1700000000\t1700000000\t5\t";
    const struct {
        std::string line;
        const char *why;
    } bad[] = {
        {file + "a/b\t", "holds '/'"},
        {file + "/\t", "holds '/'"},
        {file + "\t", "empty name"},
        {file + ".\t", "not a directory"},
        {file + "..\t", "not a directory"},
        {file + std::string("nul\0x", 5) + "\t", "NUL byte"},
        {file + "x\tlink" + std::string(1, '\0'), "NUL byte"},
        {file + std::string(256, 'L') + "\t", "longer than 255"},
        {file + std::string(600, 'L') + "\t", "longer than 255"},
    };
    const std::string longest(255, 'g');
    std::string text = k_line + ".\t\n" + k_line + "..\t\n";
    for (const auto &b : bad)
        text += b.line + "\n" + file + "good" + std::to_string(&b - bad) + "\t\n";
    text += file + longest + "\t\n\n";
    text += '\0';
    dir_fixture f;
    f.c->block_size = 8192;
    zk_test::log_capture cap;
    f.block(text);
    std::vector<std::string> names;
    while (os_dir_entry_t *e = zksd_cli_readdir(f.d))
        names.emplace_back(e->name);
    EXPECT_EQ(f.err.code, 0) << f.err.msg;
    std::vector<std::string> want{".", ".."};
    for (size_t i = 0; i < std::size(bad); i++)
        want.push_back("good" + std::to_string(i));
    want.push_back(longest);
    EXPECT_EQ(names, want);
    EXPECT_EQ(zksd_cli_telldir(f.d), 2 + 2 * std::size(bad) + 1);
    EXPECT_EQ(cap.count("skipped"), std::size(bad));
    for (const auto &b : bad)
        EXPECT_TRUE(cap.has(b.why)) << b.why;
}

TEST(ZksdDirBlock, OnlyTransportFailuresCloseTheConnection)
{
    dir_fixture f;
    f.block("", -102);
    EXPECT_EQ(zksd_cli_readdir(f.d), nullptr);
    EXPECT_EQ(f.err.code, -102);
    EXPECT_NE(f.c->conn.handle, nullptr);
    f.queue("XK\x01\x2a\x02\x00\x00\x04");
    EXPECT_EQ(zksd_cli_readdir(f.d), nullptr);
    EXPECT_EQ(f.err.code, -466);
    EXPECT_EQ(f.c->conn.handle, nullptr);
}
