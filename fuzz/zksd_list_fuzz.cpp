// Fuzz target: what a zksd server answers to listings and stats, through
// the client's own calls. A memory loopback stands for the connection: each
// reply waits there before its call, which sends its request and reads the
// reply as from a server. The first input byte picks the server's version
// (basic or extended lines and stat replies) and what is asked:
//   - a directory block (the rest of the input, packed "none"), read line by
//     line with zksd_cli_readdir or in one go with zksd_cli_readdir_close;
//     the block buffer is exactly as large as the block, so a line scan
//     that runs past it is caught;
//   - the rest of the input as the reply table of a directory block, a stat,
//     lstat, statfs or statvfs request.
// Every entry handed out must be a name that fits its record, is not empty
// and holds no '/' (the kernel would take it for a path) nor NUL, with a
// link text that fits its record.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "libpal/basic/pl_base.h"
#include "libzksd/zksd_cli.h"

namespace {

using bytes = std::vector<uint8_t>;

// A reply table built with the client's own message buffer.
struct table {
    blob_buf b{};
    table() { CHECK(blob_buf_init(&b, 2) == 0); }
    ~table() { blob_buf_free(&b); }
    table &ok()
    {
        CHECK(blobmsg_add_u32(&b, "errno", 0) == 0);
        CHECK(blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, "errno_str", "", 1) == 0);
        return *this;
    }
    bytes root() const
    {
        const blob_attr *r = blob_buf_root(&b);
        const uint8_t *p = (const uint8_t *)r;
        return bytes(p, p + blob_pad_len(r));
    }
};

// A root table whose payload is the given bytes, as they are.
bytes raw_root(const uint8_t *p, size_t n)
{
    const uint32_t word = (2u << BLOB_ATTR_ID_SHIFT) | (uint32_t)(4 + n);
    bytes r = {(uint8_t)(word >> 24), (uint8_t)(word >> 16), (uint8_t)(word >> 8), (uint8_t)word};
    r.insert(r.end(), p, p + n);
    r.resize((r.size() + 3) & ~size_t(3), 0);
    return r;
}

// Empties the loopback (what a call left unread, or its own request).
void drain(cli_ctx *ctx)
{
    uint8_t buf[4096];
    while (ctx->conn.handle && net_read(&ctx->conn, buf, sizeof buf) > 0) {
    }
}

// Puts the reply of command cmd on the connection, behind what waits there.
void put_reply(cli_ctx *ctx, uint32_t cmd, const bytes &root)
{
    if (!ctx->conn.handle)
        return;
    const uint8_t head[4] = {'Z', 'K', ZKSD_PROTO, (uint8_t)cmd};
    CHECK(net_write(&ctx->conn, head, 4) == 4);
    CHECK(net_write(&ctx->conn, root.data(), root.size()) == (int)root.size());
}

void check_entry(const os_dir_entry_t *e)
{
    const size_t n = strnlen(e->name, sizeof e->name);
    CHECK(n < sizeof e->name);
    CHECK(n > 0);
    CHECK(memchr(e->name, '/', n) == nullptr);
    CHECK(strnlen(e->link, sizeof e->link) < sizeof e->link);
}

cli_ctx *new_ctx(vperror_t *err, bool ext, int block_size)
{
    cli_ctx *c = (cli_ctx *)os_zalloc(sizeof(cli_ctx));
    CHECK(c);
    c->last_error = err;
    c->conn.timeout = 1;
    mem_parray_init(&c->files);
    mem_parray_init(&c->dirs);
    CHECK(net_open3(&c->conn, "net://mem", nullptr, err) == 0);
    snprintf(c->comp.name, sizeof c->comp.name, "none");
    CHECK(sdcomp_setup(&c->comp) == 0);
    c->ver_153 = ext ? 1 : 0;
    c->os_type = 2;
    c->block_size = block_size;
    snprintf(c->srv_ver, sizeof c->srv_ver, "%s", ext ? "1.8.2" : "1.5.0");
    return c;
}

cli_dir_ctx *open_dir(cli_ctx *ctx)
{
    drain(ctx);
    table t;
    t.ok();
    CHECK(blobmsg_add_u64(&t.b, "fd", 7) == 0);
    put_reply(ctx, ZKSD_CMD_OPENDIR, t.root());
    cli_dir_ctx *d = zksd_cli_opendir(ctx, "/dir");
    CHECK(d);
    return d;
}

bytes plain_reply()
{
    table t;
    return t.ok().root();
}

// Reads one block with zksd_cli_readdir: the entries it holds, then the end
// of the block (the next call would fetch another), the end of the listing
// or a failure.
void list_lines(cli_ctx *ctx, cli_dir_ctx *d, const bytes &reply, uint32_t cmd)
{
    drain(ctx);
    put_reply(ctx, cmd, reply);
    for (int i = 0; i < 100000; i++) {
        const os_dir_entry_t *e = zksd_cli_readdir(d);
        if (!e)
            break;
        check_entry(e);
        CHECK(d->pos >= -1 && d->pos <= (int64_t)d->len);
        if (d->pos < 0)
            break;
    }
    drain(ctx);
    put_reply(ctx, ZKSD_CMD_CLOSEDIR, plain_reply());
    zksd_cli_closedir(d);
}

void list_close(cli_ctx *ctx, cli_dir_ctx *d, const bytes &reply, uint32_t cmd)
{
    drain(ctx);
    put_reply(ctx, cmd, reply);
    put_reply(ctx, ZKSD_CMD_CLOSEDIR, plain_reply());
    const int r = zksd_cli_readdir_close(
        d, [](void *, const os_dir_entry_t *e) { check_entry(e); }, nullptr);
    CHECK(r >= -1 && r <= 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size < 1 || size > 1 << 20)
        return 0;
    const uint8_t sel = data[0];
    const bool ext = sel & 1;
    const int what = (sel >> 1) & 7;
    // An exact heap copy of the rest, so a read past the end is caught.
    const bytes in(data + 1, data + size);
    const int n = (int)in.size();

    vperror_t err{};
    cli_ctx *ctx = new_ctx(&err, ext, n > 0 ? n : 1);
    const uint32_t dir_cmd = ext ? ZKSD_CMD_READDIR_EXT : ZKSD_CMD_READDIR;
    switch (what) {
    case 0:
    case 1: {
        // The input is the text of a block.
        bytes packed(zcomp_bound(n) + 1);
        const int pn = sdcomp_pack(&ctx->comp, in.data(), n, packed.data(), (int)packed.size());
        CHECK(pn >= 0);
        table t;
        t.ok();
        CHECK(blobmsg_add_u32(&t.b, "len", (uint32_t)n) == 0);
        CHECK(blobmsg_add_field(&t.b, BLOBMSG_TYPE_BINARY, "data", packed.data(), (size_t)pn) == 0);
        cli_dir_ctx *d = open_dir(ctx);
        if (what == 0)
            list_lines(ctx, d, t.root(), dir_cmd);
        else
            list_close(ctx, d, t.root(), dir_cmd);
        break;
    }
    case 2:
    case 3: {
        // The input is the reply table of a block.
        cli_dir_ctx *d = open_dir(ctx);
        if (what == 2)
            list_lines(ctx, d, raw_root(in.data(), in.size()), dir_cmd);
        else
            list_close(ctx, d, raw_root(in.data(), in.size()), dir_cmd);
        break;
    }
    case 4: {
        os_file_stat_t st;
        put_reply(ctx, ext ? ZKSD_CMD_STAT_EXT : ZKSD_CMD_STAT, raw_root(in.data(), in.size()));
        const int r = zksd_cli_stat(ctx, "/f", &st);
        CHECK(r == 0 || r == -1);
        break;
    }
    case 5: {
        os_file_stat_t st;
        put_reply(ctx, ZKSD_CMD_LSTAT, raw_root(in.data(), in.size()));
        const int r = zksd_cli_lstat(ctx, "/f", &st);
        CHECK(r == 0 || r == -1);
        break;
    }
    case 6: {
        os_volume_info_t vi;
        memset(&vi, 0x55, sizeof vi);
        put_reply(ctx, ZKSD_CMD_STATFS, raw_root(in.data(), in.size()));
        if (zksd_cli_statfs(ctx, "/", &vi) == 0) {
            CHECK(strnlen(vi.fs_name, sizeof vi.fs_name) < sizeof vi.fs_name);
            CHECK(strnlen(vi.vol_name, sizeof vi.vol_name) < sizeof vi.vol_name);
        }
        break;
    }
    default: {
        uint64_t out[11];
        put_reply(ctx, ZKSD_CMD_IOCTL2, raw_root(in.data(), in.size()));
        const int r = zksd_cli_statvfs(ctx, "/", out);
        CHECK(r == 0 || r == -1);
        break;
    }
    }
    zksd_cli_exit_free(ctx);
    return 0;
}
