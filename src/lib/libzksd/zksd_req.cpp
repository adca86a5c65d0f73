// zksd file and directory requests: open, read and write in block-size
// pieces, seek, stat, volume information, directory blocks, close.
#include <algorithm>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libzksd/zksd_cli_imp.h"
#include "liblog/log2.h"

#define TAG SDCLI_TAG

using namespace zksd_imp;

namespace {

constexpr blobmsg_policy k_pol_stat[] = {
    P_ERRNO,
    P_ERRSTR,
    {"type", BLOBMSG_TYPE_INT32},
    {"attrib_mode", BLOBMSG_TYPE_INT32},
    {"uid", BLOBMSG_TYPE_INT32},
    {"gid", BLOBMSG_TYPE_INT32},
    {"len", BLOBMSG_TYPE_INT64},
    {"time_access", BLOBMSG_TYPE_INT64},
    {"time_write", BLOBMSG_TYPE_INT64},
    {"time_create", BLOBMSG_TYPE_INT64},
    {"time_access_ns", BLOBMSG_TYPE_INT32},
    {"time_write_ns", BLOBMSG_TYPE_INT32},
    {"time_create_ns", BLOBMSG_TYPE_INT32},
    {"st_nlink", BLOBMSG_TYPE_INT64},
    {"st_dev", BLOBMSG_TYPE_INT64},
    {"st_rdev", BLOBMSG_TYPE_INT64},
    {"st_ino", BLOBMSG_TYPE_INT64},
    {"st_blksize", BLOBMSG_TYPE_INT64},
    {"st_blocks", BLOBMSG_TYPE_INT64},
};
constexpr int k_stat_basic_rows = 10, k_stat_ext_rows = 19;
constexpr blobmsg_policy k_pol_offset[] = {P_ERRNO, P_ERRSTR, {"offset", BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy k_pol_finfo[] = {P_ERRNO,
                                          P_ERRSTR,
                                          {"type", BLOBMSG_TYPE_INT32},
                                          {"len", BLOBMSG_TYPE_INT64},
                                          {"offset", BLOBMSG_TYPE_INT64},
                                          {"sector_bytes", BLOBMSG_TYPE_INT32},
                                          {"info", BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy k_pol_statfs[] = {P_ERRNO,
                                           P_ERRSTR,
                                           {"flags", BLOBMSG_TYPE_INT32},
                                           {"name_len", BLOBMSG_TYPE_INT32},
                                           {"avail_bytes", BLOBMSG_TYPE_INT64},
                                           {"free_bytes", BLOBMSG_TYPE_INT64},
                                           {"total_bytes", BLOBMSG_TYPE_INT64},
                                           {"fs_name", BLOBMSG_TYPE_STRING},
                                           {"vol_name", BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy k_pol_lsblk[] = {P_ERRNO, P_ERRSTR, {"lsblk", BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy k_pol_dir[] = {P_ERRNO, P_ERRSTR, {"len", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_BINARY}};

// Fills st from a parsed stat reply (extended: 19 rows).
void stat_fill(blob_attr **tb, bool ext, os_file_stat_t *st)
{
    st->type = blobmsg_get_u32(tb[2]);
    st->mode = blobmsg_get_u32(tb[3]);
    st->uid = blobmsg_get_u32(tb[4]);
    st->gid = blobmsg_get_u32(tb[5]);
    st->size = blobmsg_get_u64(tb[6]);
    st->atime = blobmsg_get_u64(tb[7]);
    st->mtime = blobmsg_get_u64(tb[8]);
    st->ctime = blobmsg_get_u64(tb[9]);
    if (!ext) {
        st->atime_ns = st->mtime_ns = st->ctime_ns = 0;
        return;
    }
    st->atime_ns = blobmsg_get_u32(tb[10]);
    st->mtime_ns = blobmsg_get_u32(tb[11]);
    st->ctime_ns = blobmsg_get_u32(tb[12]);
    st->nlink = blobmsg_get_u64(tb[13]);
    st->dev = blobmsg_get_u64(tb[14]);
    st->rdev = blobmsg_get_u64(tb[15]);
    st->ino = blobmsg_get_u64(tb[16]);
    st->blksize = blobmsg_get_u64(tb[17]);
    st->blocks = blobmsg_get_u64(tb[18]);
}

// The common stat reply reader of commands 6, 7, 21, 26 and 28.
int cli_stat_get(req_t &r, uint32_t cmd, os_file_stat_t *st)
{
    const bool ext = r.ctx->ver_153 != 0;
    blob_attr *tb[k_stat_ext_rows];
    int ret = r.run(cmd, k_pol_stat, ext ? k_stat_ext_rows : k_stat_basic_rows, tb);
    if (ret == ZKSD_DATA_ERR)
        LOG_ERR(TAG, "cli_blobmsg_parse ret=%d\n", -1);
    if (ret == ZKSD_OK)
        stat_fill(tb, ext, st);
    return ret;
}

// A request that carries only a descriptor and whose reply is errno alone
// (close, closedir, fsync): a transport code.
int fd_cmd(cli_ctx *ctx, uint32_t cmd, int64_t fd)
{
    req_t r(ctx);
    r.u64("fd", (uint64_t)fd);
    blob_attr *tb[2];
    return r.run(cmd, k_pol_plain, 2, tb);
}

bool need_ver(cli_ctx *ctx, const char *min) { return zksd_cli_ver_at_least(ctx, min) != 0; }

cli_file_ctx *new_file(cli_ctx *ctx, const char *path, int64_t flags, int64_t fd)
{
    cli_file_ctx *h = (cli_file_ctx *)os_zalloc(sizeof(cli_file_ctx));
    char *p = os_strdup(path);
    if (!h || !p || mem_parray_add(&ctx->files, h) != 0) {
        os_free(h);
        os_free(p);
        return nullptr;
    }
    h->kind = ZKSD_KIND_FILE;
    h->ctx = ctx;
    h->path = p;
    h->flags = flags;
    h->fd = fd;
    h->read_tmo_pending = h->write_tmo_pending = ctx->srv_windows;
    return h;
}

// A directory handle on the server's descriptor fd, listed in ctx; NULL
// without memory.
cli_dir_ctx *new_dir(cli_ctx *ctx, int64_t fd)
{
    cli_dir_ctx *d = (cli_dir_ctx *)os_zalloc(sizeof(cli_dir_ctx));
    if (!d || mem_parray_add(&ctx->dirs, d) != 0) {
        os_free(d);
        return nullptr;
    }
    d->kind = ZKSD_KIND_DIR;
    d->ctx = ctx;
    d->fd = fd;
    d->pos = -1;
    return d;
}

// Runs an open request (the table in ctx->req; command cmd) and hands the
// server's descriptor to make(fd), which gives the new handle or NULL; a
// descriptor the client cannot keep is closed on the server (close_cmd).
// A transport code; *out the handle (NULL unless the code is 0).
template <class H, class Make> int open_run(req_t &r, uint32_t cmd, uint32_t close_cmd, Make make, H **out)
{
    *out = nullptr;
    blob_attr *tb[3];
    const int ret = r.run(cmd, k_pol_fd, 3, tb);
    if (ret != ZKSD_OK)
        return ret;
    const int64_t fd = (int64_t)blobmsg_get_u64(tb[2]);
    *out = make(fd);
    if (*out)
        return ZKSD_OK;
    // The server holds a descriptor the client cannot keep: close it.
    fd_cmd(r.ctx, close_cmd, fd);
    return ZKSD_MEM_ERR;
}

// Runs a file open request (the table in ctx->req) and makes the handle.
cli_file_ctx *open_finish(req_t &r, uint32_t cmd, const char *path, int64_t keep_flags)
{
    cli_file_ctx *h;
    const int ret = open_run(
        r, cmd, ZKSD_CMD_CLOSE, [&](int64_t fd) { return new_file(r.ctx, path, keep_flags, fd); }, &h);
    if (ret == ZKSD_DATA_ERR)
        LOG_ERR(TAG, "parse data error\n");
    zksd_cli_set_last_error(r.ctx, ret);
    return h;
}

// Offset handling of reads and writes: without 1.6.4 a seek first; the
// position becomes the offset. *at: the offset travels in the request.
int offset_prepare(cli_file_ctx *h, int64_t offset, bool *at)
{
    *at = false;
    if (offset < 0)
        return ZKSD_OK;
    if (!h->ctx->ver_164) {
        int64_t np;
        int ret = cli_seek(h, offset, 0, &np);
        if (ret != ZKSD_OK)
            return ret;
    } else {
        *at = true;
    }
    h->pos = (uint64_t)offset;
    return ZKSD_OK;
}

// Raw calls: an offset travels in the request from 1.6.4 on, else a seek
// goes first; the calls themselves do not move the position.
int raw_offset_prepare(cli_file_ctx *h, int64_t offset, bool *at)
{
    *at = offset >= 0 && h->ctx->ver_164;
    int64_t np;
    return offset >= 0 && !h->ctx->ver_164 ? cli_seek(h, offset, 0, &np) : ZKSD_OK;
}

// What io_start readies a handle for: IO_READ or IO_WRITE, with IO_RAW for
// the raw calls (which leave the position alone).
enum : unsigned { IO_READ = 0, IO_WRITE = 1, IO_RAW = 2 };

// Readies h for a read or write at offset (negative: where it is): a
// Windows server's descriptor time-out first, then the offset. 0, or -1
// with the failure recorded.
int io_start(cli_file_ctx *h, unsigned how, int64_t offset, bool *at)
{
    const bool raw = how & IO_RAW;
    if (how & IO_WRITE)
        write_tmo_prepare(h);
    else if (read_tmo_prepare(h) != 0)
        return -1;
    const int ret = raw ? raw_offset_prepare(h, offset, at) : offset_prepare(h, offset, at);
    return ret == ZKSD_OK ? 0 : finish(h->ctx, ret);
}

// Moves len bytes in pieces of the block size from h's position on:
// step(piece, done, &n) moves one piece (done: the bytes before it) and
// gives a transport code with n the bytes it moved. The position and *total
// advance by each n; a short piece ends the transfer. A transport code: the
// first failing step's, with *total what went before it.
template <class Step> int by_pieces(cli_file_ctx *h, int64_t len, int64_t *total, Step step)
{
    const int64_t block = h->ctx->block_size;
    *total = 0;
    for (int64_t remain = len;;) {
        const uint32_t piece = (uint32_t)(remain < block ? remain : block);
        int32_t n = 0;
        const int ret = step(piece, *total, &n);
        if (ret != ZKSD_OK)
            return ret;
        *total += n;
        h->pos += (uint64_t)n;
        remain -= piece;
        if (remain <= 0 || (uint32_t)n < piece)
            return ZKSD_OK;
    }
}

} // namespace

// Windows servers: the descriptor's time-outs are set before first use.
int zksd_imp::read_tmo_prepare(cli_file_ctx *h)
{
    if (!h->read_tmo_pending)
        return 0;
    int r = zksd_cli_set_fd_read_timeout(h, h->ctx->read_timeout - 1000);
    if (r != 0)
        return -1;
    h->read_tmo_pending = 0;
    return 0;
}

void zksd_imp::write_tmo_prepare(cli_file_ctx *h)
{
    if (!h->write_tmo_pending)
        return;
    zksd_cli_set_fd_write_timeout(h, h->ctx->write_timeout);
    h->write_tmo_pending = 0;
}

int zksd_imp::add_packed(cli_ctx *ctx, const void *src, uint32_t len)
{
    const int bound = zcomp_bound((int)len);
    void *p = nullptr;
    blob_attr *f = bound > 0 ? blobmsg_alloc_bin(&ctx->req, "data", (size_t)bound, &p) : nullptr;
    if (!f)
        return ZKSD_MEM_ERR;
    const int n = sdcomp_pack(&ctx->comp, src, (int)len, p, bound);
    if (n < 0)
        return ZKSD_UNPACK_ERR;
    blobmsg_trim(&ctx->req, f, (size_t)n);
    return ZKSD_OK;
}

namespace {

// One read request of len bytes: a transport code; tb filled.
int read_req(cli_file_ctx *h, bool at, uint64_t offset, uint32_t len, blob_attr **tb)
{
    req_t r(h->ctx);
    r.u64("fd", (uint64_t)h->fd).u32("len", len);
    if (at)
        r.u64("offset", offset);
    int ret = r.run(at ? ZKSD_CMD_PREAD : ZKSD_CMD_READ, k_pol_read, 5, tb);
    if (ret == ZKSD_DATA_ERR)
        LOG_ERR(TAG, "parse data error\n");
    return ret;
}

// One write request whose data is packed from src (pack) or sent as it is.
int write_req(cli_file_ctx *h, bool at, uint64_t offset, const void *src, uint32_t len, bool pack, uint32_t raw_len,
              int32_t *count)
{
    cli_ctx *ctx = h->ctx;
    req_t r(ctx);
    r.u64("fd", (uint64_t)h->fd).u32("flags", 0).u32("len", len);
    if (at)
        r.u64("offset", offset);
    if (r.bad)
        return ZKSD_MEM_ERR;
    if (pack) {
        const int packed = add_packed(ctx, src, len);
        if (packed != ZKSD_OK)
            return packed;
    } else {
        r.bin("data", src, raw_len);
        if (r.bad)
            return ZKSD_MEM_ERR;
    }
    blob_attr *tb[3];
    int ret = r.run(at ? ZKSD_CMD_PWRITE : ZKSD_CMD_WRITE, k_pol_len, 3, tb);
    if (ret == ZKSD_OK)
        *count = (int32_t)blobmsg_get_u32(tb[2]);
    return ret;
}

// Closes h's descriptor on the server when on_server (close_cmd), takes h
// out of its context's list, frees what h owns (owned) and h itself. The
// close's transport code (0 when not asked).
template <class H> int handle_free(H *h, bool on_server, uint32_t close_cmd, mem_parray_t *list, void *owned)
{
    const int ret = on_server ? fd_cmd(h->ctx, close_cmd, h->fd) : ZKSD_OK;
    mem_parray_remove(list, h);
    os_free(owned);
    os_free(h);
    return ret;
}

} // namespace

namespace zksd_imp {

int cli_seek(cli_file_ctx *h, int64_t offset, int64_t whence, int64_t *newpos)
{
    req_t r(h->ctx);
    r.u64("fd", (uint64_t)h->fd).u64("offset", (uint64_t)offset).u64("mode", (uint64_t)whence);
    blob_attr *tb[3];
    int ret = r.run(ZKSD_CMD_SEEK, k_pol_offset, 3, tb);
    if (ret == ZKSD_OK) {
        *newpos = (int64_t)blobmsg_get_u64(tb[2]);
        h->pos = (uint64_t)*newpos;
    }
    return ret;
}

int cli_file_free(cli_file_ctx *h, bool on_server)
{
    flight_forget(h);
    return handle_free(h, on_server, ZKSD_CMD_CLOSE, &h->ctx->files, h->path);
}

int cli_dir_free(cli_dir_ctx *d, bool on_server)
{
    return handle_free(d, on_server, ZKSD_CMD_CLOSEDIR, &d->ctx->dirs, d->buf);
}

} // namespace zksd_imp

// ---- opening and closing ----------------------------------------------------------------------------

cli_file_ctx *zksd_cli_open(cli_ctx *ctx, const char *path, int64_t flags)
{
    PL_ASSERT_RET(TAG, ctx && path, nullptr);
    if ((flags & ZKSD_O_NEED_167) && !need_ver(ctx, "1.6.7"))
        return nullptr;
    if ((flags & ZKSD_O_NEED_182) && !need_ver(ctx, "1.8.2"))
        return nullptr;
    LOG_VERB(TAG, "%s mode=%d\n", path, (int)flags);
    char list[8192];
    const char *sent = path;
    if (flags & ZKSD_O_PATH_LIST) {
        str_escape_tab_zz_buf(path, 4096, list, sizeof list);
        if (list[0] == '\0' || strcmp(list, "\\0\\0") == 0) {
            zksd_cli_set_last_error(ctx, 9);
            return nullptr;
        }
        sent = list;
    }
    req_t r(ctx);
    r.str("path", sent).u64("mode", (uint64_t)flags);
    return open_finish(r, ZKSD_CMD_OPEN, path, flags);
}

cli_file_ctx *zksd_cli_open2(cli_ctx *ctx, const char *path, int32_t flag, int32_t mode)
{
    PL_ASSERT_RET(TAG, ctx && path, nullptr);
    req_t r(ctx);
    r.str("path", path).u32("flag", (uint32_t)flag).u32("mode", (uint32_t)mode);
    return open_finish(r, ZKSD_CMD_OPEN2, path, mode);
}

cli_file_ctx *zksd_cli_wopen(cli_ctx *ctx, const char *path, int32_t desire_access, int32_t share_mode,
                             const void *sec_attrib, int32_t creat_disp, int32_t flag_attrib, int64_t temp_handle)
{
    (void)sec_attrib; // never sent
    PL_ASSERT_RET(TAG, ctx && path, nullptr);
    req_t r(ctx);
    r.str("path", path)
        .u32("desire_access", (uint32_t)desire_access)
        .u32("share_mode", (uint32_t)share_mode)
        .str("sec_attrib", "")
        .u32("creat_disp", (uint32_t)creat_disp)
        .u32("flag_attrib", (uint32_t)flag_attrib)
        .u64("temp_handle", (uint64_t)temp_handle);
    return open_finish(r, ZKSD_CMD_WOPEN, path, 0);
}

int zksd_cli_close(cli_file_ctx *h)
{
    PL_ASSERT_RET(TAG, h && h->kind == ZKSD_KIND_FILE, -1);
    cli_ctx *ctx = h->ctx;
    // What the file's writes in flight came to is told here at the latest.
    if (h->fs && zksd_cli_flush(h) != 0) {
        vperror_t why;
        vperror_copy(&why, ctx->last_error);
        cli_file_free(h, connected(ctx) && !ctx->fix_failed);
        vperror_copy(ctx->last_error, &why);
        return -1;
    }
    return finish(ctx, cli_file_free(h, connected(ctx)));
}

// ---- reading and writing ----------------------------------------------------------------------------

int64_t zksd_cli_read(cli_file_ctx *h, void *buf, int64_t len, int64_t offset)
{
    PL_ASSERT_RET(TAG, h && (buf || len == 0) && len >= 0, -1);
    cli_ctx *ctx = h->ctx;
    bool at = false;
    if (io_start(h, IO_READ, offset, &at) != 0)
        return -1;
    int64_t total = 0;
    const int ret = by_pieces(h, len, &total, [&](uint32_t piece, int64_t done, int32_t *n) {
        blob_attr *tb[5];
        const int r = read_req(h, at, h->pos, piece, tb);
        if (r != ZKSD_OK)
            return r;
        const int plen = (int)blobmsg_data_len(tb[4]);
        *n = sdcomp_unpack(&ctx->comp, blobmsg_data(tb[4]), plen, (uint8_t *)buf + done, (int)piece);
        if (*n < 0) {
            LOG_DBG(TAG, "sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", plen, (int)piece, *n);
            return (int)ZKSD_UNPACK_ERR;
        }
        return (int)ZKSD_OK;
    });
    if (ret != ZKSD_OK)
        return finish(ctx, ret);
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return total;
}

int64_t zksd_cli_read_raw(cli_file_ctx *h, void *buf, size_t cap, int64_t len, uint32_t *packed_len, int64_t offset)
{
    PL_ASSERT_RET(TAG, h && buf && len >= 0 && len <= INT32_MAX, -1);
    cli_ctx *ctx = h->ctx;
    bool at = false;
    if (io_start(h, IO_READ | IO_RAW, offset, &at) != 0)
        return -1;
    blob_attr *tb[5];
    const int ret = read_req(h, at, (uint64_t)offset, (uint32_t)len, tb);
    if (ret != ZKSD_OK)
        return finish(ctx, ret);
    const uint32_t plen = blobmsg_data_len(tb[4]);
    if ((uint64_t)plen > 2 * (uint64_t)len || plen > cap) {
        LOG_DBG(TAG, "pack_len=%u > 2*len=%u\n", plen, (unsigned)(2 * len));
        return finish(ctx, ZKSD_UNPACK_ERR);
    }
    // The length the data unpacks to: at most what was asked (the size of
    // the caller's buffer for it).
    const uint32_t n = blobmsg_get_u32(tb[2]);
    if ((uint64_t)n > (uint64_t)len) {
        LOG_ERR(TAG, "read length %u > len %lld\n", n, (long long)len);
        return finish(ctx, ZKSD_DATA_ERR);
    }
    memcpy(buf, blobmsg_data(tb[4]), plen);
    if (packed_len)
        *packed_len = plen;
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return (int64_t)n;
}

int64_t zksd_cli_write(cli_file_ctx *h, const void *buf, int64_t len, int64_t offset)
{
    PL_ASSERT_RET(TAG, h && (buf || len == 0) && len >= 0, -1);
    cli_ctx *ctx = h->ctx;
    bool at = false;
    if (io_start(h, IO_WRITE, offset, &at) != 0)
        return -1;
    bool bad_count = false;
    int64_t total = 0;
    const int ret = by_pieces(h, len, &total, [&](uint32_t piece, int64_t done, int32_t *n) {
        const int r = write_req(h, at, h->pos, (const uint8_t *)buf + done, piece, true, 0, n);
        if (r != ZKSD_OK)
            return r;
        if ((int64_t)*n > (int64_t)piece) {
            // More than was sent: the reply is out of protocol, its count unusable.
            LOG_ERR(TAG, "write count %d > piece %u\n", (int)*n, (unsigned)piece);
            bad_count = true;
            return (int)ZKSD_DATA_ERR;
        }
        if (*n < 0)
            *n = 0;
        return (int)ZKSD_OK;
    });
    zksd_cli_set_last_error(ctx, ret);
    if (ret == ZKSD_OK)
        return total;
    // What went through before a failed request is reported as a short
    // write; a count out of protocol fails the whole call.
    return total > 0 && !bad_count ? total : -1;
}

int64_t zksd_cli_write_raw(cli_file_ctx *h, const void *packed, int64_t len, uint32_t packed_len, int64_t offset)
{
    PL_ASSERT_RET(TAG, h && (packed || packed_len == 0) && len >= 0 && len <= INT32_MAX, -1);
    cli_ctx *ctx = h->ctx;
    bool at = false;
    if (io_start(h, IO_WRITE | IO_RAW, offset, &at) != 0)
        return -1;
    int32_t n = 0;
    int ret = write_req(h, at, (uint64_t)offset, packed, (uint32_t)len, false, packed_len, &n);
    if (ret == ZKSD_OK && (int64_t)n > len) {
        LOG_ERR(TAG, "write count %d > len %lld\n", (int)n, (long long)len);
        ret = ZKSD_DATA_ERR;
    }
    if (ret != ZKSD_OK)
        return finish(ctx, ret);
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return n;
}

int64_t zksd_cli_pwritex(cli_file_ctx *h, int32_t mode, uint32_t len, int64_t offset)
{
    PL_ASSERT_RET(TAG, h, -1);
    cli_ctx *ctx = h->ctx;
    if (!need_ver(ctx, "1.5.2"))
        return -1;
    write_tmo_prepare(h);
    if (str_version_cmp(ctx->srv_ver, "1.6.2") < 0) {
        req_t r(ctx);
        r.u64("fd", (uint64_t)h->fd).u32("mode", (uint32_t)mode).u32("len", len).u64("offset", (uint64_t)offset);
        blob_attr *tb[3];
        int ret = r.run(ZKSD_CMD_PWRITEX_OLD, k_pol_len, 3, tb);
        if (ret != ZKSD_OK)
            return finish(ctx, ret);
        zksd_cli_set_last_error(ctx, ZKSD_OK);
        return (int32_t)blobmsg_get_u32(tb[2]);
    }
    char text[64], ans[512];
    str_sprintf_s(text, sizeof text, "%lld\t%u", (long long)offset, len);
    int ret = cli_ioctl2_text(ctx, h->fd, ZKSD_IOCTL2_PWRITEX, text, ans, sizeof ans);
    int64_t v = 0;
    if (ret == ZKSD_OK && !parse_i64(ans, &v))
        ret = ZKSD_DATA_ERR;
    if (ret != ZKSD_OK)
        return finish(ctx, ret);
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return v;
}

// ---- other file requests ------------------------------------------------------------------------------

int zksd_cli_fsync(cli_file_ctx *h)
{
    PL_ASSERT_RET(TAG, h, -1);
    if (h->fs && zksd_cli_flush(h) != 0)
        return -1;
    return finish(h->ctx, fd_cmd(h->ctx, ZKSD_CMD_FSYNC, h->fd));
}

int64_t zksd_cli_lseek(cli_file_ctx *h, int64_t offset, int whence)
{
    PL_ASSERT_RET(TAG, h, -1);
    int64_t np = -1;
    int ret = cli_seek(h, offset, whence, &np);
    return finish(h->ctx, ret) == 0 ? np : -1;
}

int zksd_cli_ftruncate(cli_file_ctx *h, int64_t size)
{
    PL_ASSERT_RET(TAG, h, -1);
    req_t r(h->ctx);
    r.u64("fd", (uint64_t)h->fd).u64("len", (uint64_t)size);
    blob_attr *tb[2];
    int ret = r.run(ZKSD_CMD_FTRUNCATE, k_pol_plain, 2, tb);
    int64_t np;
    if (ret == ZKSD_OK)
        ret = cli_seek(h, 0, 1, &np);
    return finish(h->ctx, ret);
}

int zksd_cli_fstat(cli_file_ctx *h, os_file_stat_t *st) { return zksd_cli_ioctl(h, ZKSD_IOC_FSTAT, st, sizeof *st); }

int zksd_cli_futime(cli_file_ctx *h, const zksd_file_times_t *t)
{
    return zksd_cli_ioctl(h, ZKSD_IOC_FUTIME, (void *)t, sizeof *t);
}

int zksd_cli_flock(cli_file_ctx *h, uint32_t type, uint64_t offset, uint64_t len)
{
    zksd_lock_range_t l{type, offset, len};
    return zksd_cli_ioctl(h, ZKSD_IOC_FLOCK, &l, sizeof l);
}

int zksd_cli_file_info(cli_file_ctx *h, zksd_file_info_t *info)
{
    return zksd_cli_ioctl(h, ZKSD_IOC_FILE_INFO, info, sizeof *info);
}

int64_t zksd_cli_file_len(cli_file_ctx *h)
{
    zksd_file_info_t fi;
    return zksd_cli_file_info(h, &fi) == 0 ? (int64_t)fi.len : -1;
}

int64_t zksd_cli_file_pos(cli_file_ctx *h)
{
    zksd_file_info_t fi;
    return zksd_cli_file_info(h, &fi) == 0 ? (int64_t)fi.offset : -1;
}

// The dedicated commands behind handle ioctl codes 0, 2, 6 and 7: a transport code.
int zksd_imp::cli_handle_cmd(cli_ctx *ctx, int64_t fd, int code, void *data)
{
    req_t r(ctx);
    r.u64("fd", (uint64_t)fd);
    blob_attr *tb[7];
    switch (code) {
    case ZKSD_IOC_FILE_INFO: {
        int ret = r.run(ZKSD_CMD_FILE_INFO, k_pol_finfo, 7, tb);
        if (ret == ZKSD_OK) {
            zksd_file_info_t *fi = (zksd_file_info_t *)data;
            fi->type = blobmsg_get_u32(tb[2]);
            fi->len = blobmsg_get_u64(tb[3]);
            fi->offset = blobmsg_get_u64(tb[4]);
            fi->sector_bytes = blobmsg_get_u32(tb[5]);
            str_safecopy(fi->info, sizeof fi->info, blobmsg_get_string(tb[6]));
        }
        return ret;
    }
    case ZKSD_IOC_FSTAT:
        return cli_stat_get(r, ctx->ver_153 ? ZKSD_CMD_FSTAT_EXT : ZKSD_CMD_FSTAT, (os_file_stat_t *)data);
    case ZKSD_IOC_FUTIME: {
        const zksd_file_times_t *t = (const zksd_file_times_t *)data;
        r.u64("time_access", t->time_access).u64("time_write", t->time_write).u64("time_create", t->time_create);
        if (ctx->ver_153)
            r.u32("time_access_ns", t->time_access_ns)
                .u32("time_write_ns", t->time_write_ns)
                .u32("time_create_ns", t->time_create_ns);
        return r.run(ctx->ver_153 ? ZKSD_CMD_FUTIME_NS : ZKSD_CMD_FUTIME, k_pol_plain, 2, tb);
    }
    case ZKSD_IOC_FLOCK: {
        const zksd_lock_range_t *l = (const zksd_lock_range_t *)data;
        r.u32("type", l->type).u64("offset", l->offset).u64("len", l->len);
        return r.run(ZKSD_CMD_FLOCK, k_pol_plain, 2, tb);
    }
    default:
        return 9;
    }
}

// ---- path requests -------------------------------------------------------------------------------------

int zksd_cli_stat(cli_ctx *ctx, const char *path, os_file_stat_t *st)
{
    PL_ASSERT_RET(TAG, ctx && path && st, -1);
    req_t r(ctx);
    r.str("path", path);
    return finish(ctx, cli_stat_get(r, ctx->ver_153 ? ZKSD_CMD_STAT_EXT : ZKSD_CMD_STAT, st));
}

int zksd_cli_lstat(cli_ctx *ctx, const char *path, os_file_stat_t *st)
{
    PL_ASSERT_RET(TAG, ctx && path && st, -1);
    req_t r(ctx);
    r.str("path", path);
    return finish(ctx, cli_stat_get(r, ZKSD_CMD_LSTAT, st));
}

int zksd_cli_statfs(cli_ctx *ctx, const char *path, os_volume_info_t *vi)
{
    PL_ASSERT_RET(TAG, ctx && path && vi, -1);
    req_t r(ctx);
    r.str("path", path);
    blob_attr *tb[9];
    int ret = r.run(ZKSD_CMD_STATFS, k_pol_statfs, 9, tb);
    if (ret == ZKSD_OK) {
        vi->flags = blobmsg_get_u32(tb[2]);
        vi->name_len = blobmsg_get_u32(tb[3]);
        vi->avail_bytes = blobmsg_get_u64(tb[4]);
        vi->free_bytes = blobmsg_get_u64(tb[5]);
        vi->total_bytes = blobmsg_get_u64(tb[6]);
        str_safecopy(vi->fs_name, sizeof vi->fs_name, blobmsg_get_string(tb[7]));
        str_safecopy(vi->vol_name, sizeof vi->vol_name, blobmsg_get_string(tb[8]));
    }
    return finish(ctx, ret);
}

int zksd_cli_setxattr(cli_ctx *ctx, const char *path, const char *name, const void *value, size_t size,
                      int32_t flags)
{
    PL_ASSERT_RET(TAG, ctx && path && name && (value || size == 0) && size <= 0x7E000000, -1);
    req_t r(ctx);
    r.str("path", path).str("name", name).u32("flags", (uint32_t)flags).u32("len", (uint32_t)size);
    if (r.bad)
        return finish(ctx, ZKSD_MEM_ERR);
    const int packed = add_packed(ctx, value, (uint32_t)size);
    if (packed != ZKSD_OK)
        return finish(ctx, packed);
    blob_attr *tb[3];
    return finish(ctx, r.run(ZKSD_CMD_SETXATTR, k_pol_len, 3, tb));
}

int zksd_cli_lsblk(cli_ctx *ctx, char *buf, size_t size)
{
    PL_ASSERT_RET(TAG, ctx && buf && size > 0, -1);
    req_t r(ctx);
    r.str("param", "");
    blob_attr *tb[3];
    int ret = r.run(ZKSD_CMD_LSBLK, k_pol_lsblk, 3, tb);
    if (ret == ZKSD_OK && str_safecopy(buf, size, blobmsg_get_string(tb[2])) != 0)
        ret = ZKSD_DATA_ERR;
    return finish(ctx, ret);
}

// ---- directories -----------------------------------------------------------------------------------------

cli_dir_ctx *zksd_cli_opendir2(cli_ctx *ctx, const char *path, const char *pattern)
{
    PL_ASSERT_RET(TAG, ctx && path, nullptr);
    req_t r(ctx);
    r.str("path", path).str("pattern", pattern ? pattern : "");
    cli_dir_ctx *d;
    const int ret = open_run(
        r, ZKSD_CMD_OPENDIR, ZKSD_CMD_CLOSEDIR, [&](int64_t fd) { return new_dir(ctx, fd); }, &d);
    if (ret == ZKSD_DATA_ERR)
        LOG_ERR(TAG, "[%s] error: parse data\n", path);
    zksd_cli_set_last_error(ctx, ret);
    return d;
}

cli_dir_ctx *zksd_cli_opendir(cli_ctx *ctx, const char *path) { return zksd_cli_opendir2(ctx, path, nullptr); }

namespace {

// Fetches the next block into d->buf: a transport code.
int dir_fetch(cli_dir_ctx *d)
{
    cli_ctx *ctx = d->ctx;
    req_t r(ctx);
    r.u64("fd", (uint64_t)d->fd).u32("len", (uint32_t)ctx->block_size);
    blob_attr *tb[4];
    int ret = r.run(ctx->ver_153 ? ZKSD_CMD_READDIR_EXT : ZKSD_CMD_READDIR, k_pol_dir, 4, tb);
    if (ret == ZKSD_SRV_ERR)
        LOG_VERB(TAG, "ctx->last_error=%d\n", ctx->srv_errno);
    if (ret != ZKSD_OK)
        return ret;
    const int plen = (int)blobmsg_data_len(tb[3]);
    int n = sdcomp_unpack(&ctx->comp, blobmsg_data(tb[3]), plen, d->buf, ctx->block_size);
    if (n < 0) {
        LOG_DBG(TAG, "sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", plen, ctx->block_size, n);
        return ZKSD_UNPACK_ERR;
    }
    d->len = (uint32_t)block_text_len(d->buf, (size_t)n);
    d->buf[n] = '\0'; // the text never runs past what this block brought
    d->pos = 0;
    return ZKSD_OK;
}

// The longest name a directory entry may carry (the kernel's limit).
constexpr size_t k_name_max = 255;

// Why a listed name (of stat type word type) cannot be handed out as an
// entry of its directory, or NULL when it can. "." and ".." are the
// listing's own lines, kept when they are directories.
const char *bad_name(const char *name, uint32_t type)
{
    if (!*name)
        return "empty name";
    if (strchr(name, '/'))
        return "name holds '/'";
    if (strlen(name) > k_name_max)
        return "name longer than 255 bytes";
    const bool dots = strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
    if (dots && type != OS_FTYPE_DIR)
        return "not a directory";
    return nullptr;
}

// Scans one line (line_len bytes, NUL-terminated there) into the entry. 0, 1 for
// a line to skip (logged), or -1.
int dir_scan(cli_dir_ctx *d, char *line, size_t line_len)
{
    if (memchr(line, '\0', line_len)) {
        const char *tab = strrchr(line, '\t'); // the field the NUL cut
        LOG_WARN(TAG, "directory entry [%s...] skipped: its line holds a NUL byte\n", tab ? tab + 1 : line);
        return 1;
    }
    os_file_stat_t &st = d->entry.st;
    uint32_t type = 0, mode = 0, uid = 0, gid = 0, ans = 0, wns = 0, cns = 0;
    uint64_t at = 0, wt = 0, ct = 0, len = 0, nlink = 0, dev = 0, rdev = 0, ino = 0, blksize = 0, blocks = 0;
    char *name = nullptr, *link = nullptr;
    int n;
    if (d->ctx->ver_153) {
        n = str_scanf_sep_val(line, "\t", 0, "u32|u32|u32|u32|u64|u64|u64|u64|u32|u32|u32|u64|u64|u64|u64|u64|u64|str|str",
                              &type, &mode, &uid, &gid, &at, &wt, &ct, &len, &ans, &wns, &cns, &nlink, &dev, &rdev,
                              &ino, &blksize, &blocks, &name, &link);
        if (n != 19)
            return -1;
    } else {
        n = str_scanf_sep_val(line, "\t", 0, "u32|u32|u32|u32|u64|u64|u64|u64|str|str", &type, &mode, &uid, &gid, &at,
                              &wt, &ct, &len, &name, &link);
        if (n != 10)
            return -1;
    }
    if (const char *why = bad_name(name, type)) {
        LOG_WARN(TAG, "directory entry [%.*s] skipped: %s\n", (int)std::min(strlen(name), k_name_max), name, why);
        return 1;
    }
    st.type = type;
    st.mode = mode;
    st.uid = uid;
    st.gid = gid;
    st.atime = at;
    st.mtime = wt;
    st.ctime = ct;
    st.size = len;
    if (d->ctx->ver_153) {
        st.atime_ns = ans;
        st.mtime_ns = wns;
        st.ctime_ns = cns;
        st.nlink = nlink;
        st.dev = dev;
        st.rdev = rdev;
        st.ino = ino;
        st.blksize = blksize;
        st.blocks = blocks;
    }
    str_safecopy(d->entry.name, sizeof d->entry.name, name);
    str_safecopy(d->entry.link, sizeof d->entry.link, link);
    return 0;
}

bool transport_failure(int code)
{
    return code == ZKSD_NET_ERR || code == ZKSD_DATA_ERR || code == ZKSD_TIMEOUT || code == ZKSD_LEN_ERR;
}

} // namespace

int zksd_imp::cli_dir_scan(cli_dir_ctx *d, char *line, size_t len) { return dir_scan(d, line, len); }

size_t zksd_imp::block_text_len(const char *buf, size_t n)
{
    while (n > 0 && buf[n - 1] == '\0')
        n--;
    return n;
}

os_dir_entry_t *zksd_cli_readdir(cli_dir_ctx *d)
{
    PL_ASSERT_RET(TAG, d && d->kind == ZKSD_KIND_DIR, nullptr);
    cli_ctx *ctx = d->ctx;
    if (!d->buf) {
        d->buf = (char *)os_malloc((size_t)ctx->block_size + 1);
        if (!d->buf) {
            zksd_cli_set_last_error(ctx, ZKSD_MEM_ERR);
            return nullptr;
        }
    }
    for (;;) {
        if (d->pos < 0) {
            int ret = dir_fetch(d);
            if (ret != ZKSD_OK) {
                zksd_cli_set_last_error(ctx, ret);
                // The stream may be out of step: leave it to a reconnect.
                if (transport_failure(ret)) {
                    net_close(&ctx->conn);
                    zksd_await_reset(ctx);
                }
                return nullptr;
            }
        }
        char *line = d->buf + d->pos;
        char *nl = (char *)memchr(line, '\n', d->len - (size_t)d->pos);
        if (!nl) {
            LOG_ERR(TAG, "error: info=[%s]\n", line);
            zksd_cli_set_last_error(ctx, ZKSD_DATA_ERR);
            return nullptr;
        }
        if (nl == line) {
            zksd_cli_set_last_error(ctx, ZKSD_OK);
            return nullptr;
        }
        *nl = '\0';
        const int64_t next = nl + 1 - d->buf;
        d->pos = next >= (int64_t)d->len ? -1 : next;
        // Every line counts, a skipped one too: positions are the server's.
        d->count++;
        int s = dir_scan(d, line, (size_t)(nl - line));
        if (s < 0) {
            LOG_ERR(TAG, "error: info=[%s]\n", line);
            zksd_cli_set_last_error(ctx, ZKSD_DATA_ERR);
            return nullptr;
        }
        if (s > 0)
            continue;
        zksd_cli_set_last_error(ctx, ZKSD_OK);
        return &d->entry;
    }
}

uint64_t zksd_cli_telldir(cli_dir_ctx *d) { return d ? d->count : 0; }

int zksd_cli_seekdir(cli_dir_ctx *d, uint64_t pos)
{
    PL_ASSERT_RET(TAG, d, -1);
    char text[32];
    str_sprintf_s(text, sizeof text, "%lu", (unsigned long)pos);
    int ret = cli_ioctl2_imp(d->ctx, d->fd, ZKSD_IOCTL2_SEEKDIR, text, -1, 0, nullptr, nullptr);
    if (ret == ZKSD_OK) {
        d->count = pos;
        d->pos = -1;
    }
    return finish(d->ctx, ret);
}

int zksd_cli_closedir(cli_dir_ctx *d)
{
    PL_ASSERT_RET(TAG, d && d->kind == ZKSD_KIND_DIR, -1);
    cli_ctx *ctx = d->ctx;
    return finish(ctx, cli_dir_free(d, connected(ctx)));
}
