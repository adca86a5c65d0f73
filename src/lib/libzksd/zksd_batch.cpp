// Requests in flight together: the attribute lists of many paths sent back
// to back and their replies read in order; a directory's first block and
// its close. The server handles the frames of
// a connection one after another, so reply i answers request i; the request
// counter grows by one per frame as for single requests, and a broken
// exchange is settled by a resynchronisation (nothing is replayed: the
// caller only loses answers it had not been given yet).
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"
#include "libzksd/zksd_cli_imp.h"
#include "libzksd/zksd_proto.h"
#include "liblog/log2.h"

#define TAG SDCLI_TAG

using namespace zksd_imp;

namespace {

// Sends the listxattr request of path (not yet answered). A transport code.
int send_one(cli_ctx *ctx, const char *path, int olen)
{
    req_t r(ctx);
    r.u64("fd", 0).u32("cmd", ZKSD_IOCTL2_LISTXATTR).bin("data", path, strlen(path) + 1).u32("olen", (uint32_t)olen);
    return r.send(ZKSD_CMD_IOCTL2);
}

// Reads the next reply and hands its answer to each. A transport code (4,
// the server's refusal, is an answer and gives 0).
int recv_one(cli_ctx *ctx, int i, int olen, zksd_batch_answer_fn each, void *arg)
{
    int len = 0;
    int ret = zksd_recv_paired(ctx, &len);
    if (ret != ZKSD_OK)
        return ret;
    blob_attr *tb[3];
    ret = zksd_reply_parse(ctx, k_pol_data, 3, tb);
    if (ret == ZKSD_SRV_ERR) {
        each(arg, i, ctx->srv_errno, ctx->srv_errstr, (uint32_t)strlen(ctx->srv_errstr));
        return ZKSD_OK;
    }
    if (ret != ZKSD_OK)
        return ret;
    uint32_t n = blobmsg_data_len(tb[2]);
    if (n > (uint32_t)olen)
        n = (uint32_t)olen;
    each(arg, i, 0, (const char *)blobmsg_data(tb[2]), n);
    return ZKSD_OK;
}

} // namespace

struct zksd_batch {
    cli_ctx *ctx = nullptr;
    std::vector<std::string> paths;
    std::vector<char> refused; // answered without a request
    std::vector<size_t> sent;  // the indexes that travel, in order
    int olen = 0;
    size_t next = 0;         // the next index to answer
    size_t limit = 0;        // indexes from here on get no answer (stopped)
    size_t out = 0, in = 0;  // requests sent, replies read
    size_t window = ZKSD_BATCH_IN_FLIGHT; // requests unanswered at most
    int end = 1;             // 1 while answers remain, 0 all given, -1 broke
};

namespace {

// Sends requests while fewer than the window are unanswered: a transport code.
int fill_window(zksd_batch *b)
{
    int ret = ZKSD_OK;
    while (b->out < b->sent.size() && b->out - b->in < b->window && ret == ZKSD_OK)
        ret = send_one(b->ctx, b->paths[b->sent[b->out++]].c_str(), b->olen);
    return ret;
}

// A broken exchange: the context starts afresh, the batch gives no more.
int broke(zksd_batch *b, int ret)
{
    cli_ctx *ctx = b->ctx;
    LOG_DBG(TAG, "batch of %zu broke after %zu replies: ret=%d [%s]\n", b->sent.size(), b->in, ret,
            zksd_code_str(ret));
    // Replies still on their way would answer the wrong requests.
    int fix = ctx->fix_failed ? ZKSD_TIMEOUT : client_resync(ctx);
    finish(ctx, fix == ZKSD_OK ? ret : fix);
    b->end = -1;
    return -1;
}

// The window as asked, within 1 and ZKSD_BATCH_IN_FLIGHT.
size_t window_of(int window)
{
    return window < 1 ? 1 : window > ZKSD_BATCH_IN_FLIGHT ? (size_t)ZKSD_BATCH_IN_FLIGHT : (size_t)window;
}

} // namespace

zksd_batch *zksd_cli_batch_listxattr(cli_ctx *ctx, const char *const *paths, int n, int olen, int window)
{
    PL_ASSERT_RET(TAG, ctx && olen >= 0 && n >= 0 && (n == 0 || paths), nullptr);
    if (ctx->fix_failed) {
        finish(ctx, ZKSD_TIMEOUT);
        return nullptr;
    }
    zksd_batch *b = new (std::nothrow) zksd_batch;
    if (!b)
        return nullptr;
    try {
        b->paths.reserve((size_t)n);
        b->refused.resize((size_t)n);
        for (int i = 0; i < n; i++) {
            b->paths.emplace_back(paths[i] ? paths[i] : "");
            b->refused[(size_t)i] = !paths[i] || strpbrk(paths[i], "\t\r\n");
            if (!b->refused[(size_t)i])
                b->sent.push_back((size_t)i);
        }
    } catch (const std::bad_alloc &) {
        delete b;
        return nullptr;
    }
    b->ctx = ctx;
    b->olen = olen;
    b->limit = b->paths.size();
    b->window = window_of(window);
    int ret = fill_window(b);
    if (ret != ZKSD_OK)
        broke(b, ret);
    return b;
}

int zksd_cli_batch_next(zksd_batch *b, zksd_batch_answer_fn each, void *arg)
{
    PL_ASSERT_RET(TAG, b && each, -1);
    if (b->end <= 0)
        return b->end;
    cli_ctx *ctx = b->ctx;
    if (b->next >= b->limit) {
        b->end = 0;
        finish(ctx, ZKSD_OK);
        return 0;
    }
    size_t i = b->next++;
    if (b->refused[i]) {
        each(arg, (int)i, VERR_INVALID_PARAMETER, "", 0);
        return 1;
    }
    int ret = recv_one(ctx, (int)b->sent[b->in], b->olen, each, arg);
    b->in++;
    // The window is topped up in bursts: many requests per write on the
    // way, rather than one small write per reply read.
    if (ret == ZKSD_OK && b->out - b->in <= b->window / 2)
        ret = fill_window(b);
    return ret == ZKSD_OK ? 1 : broke(b, ret);
}

size_t zksd_cli_batch_sent(const zksd_batch *b)
{
    PL_ASSERT_RET(TAG, b, 0);
    return b->out < b->sent.size() ? b->sent[b->out] : b->limit;
}

void zksd_cli_batch_window(zksd_batch *b, int window)
{
    PL_ASSERT_RET_VOID(TAG, b);
    b->window = window_of(window);
}

size_t zksd_cli_batch_stop(zksd_batch *b)
{
    PL_ASSERT_RET(TAG, b, 0);
    if (b->end > 0) {
        b->limit = zksd_cli_batch_sent(b);
        b->sent.resize(b->out);
    }
    return b->limit;
}

void zksd_cli_batch_free(zksd_batch *b)
{
    if (!b)
        return;
    while (zksd_cli_batch_next(b, [](void *, int, int, const char *, uint32_t) {}, nullptr) > 0) {
    }
    delete b;
}

int zksd_cli_listxattr_batch(cli_ctx *ctx, const char *const *paths, int n, int olen, zksd_batch_answer_fn each,
                             void *arg)
{
    PL_ASSERT_RET(TAG, ctx && each, -1);
    zksd_batch *b = zksd_cli_batch_listxattr(ctx, paths, n, olen, ZKSD_BATCH_IN_FLIGHT);
    if (!b)
        return ctx->fix_failed ? -1 : finish(ctx, ZKSD_MEM_ERR);
    int r;
    while ((r = zksd_cli_batch_next(b, each, arg)) > 0) {
    }
    delete b;
    return r;
}

namespace {

constexpr blobmsg_policy k_pol_block[] = {P_ERRNO, P_ERRSTR, {"len", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_BINARY}};

// Reads the block reply of d into d->buf and hands out its entries. A
// transport code for a broken exchange (the stream is out of step);
// otherwise 0 with *status 1 (the listing ended), 0 (it goes on) or -1 (the
// server refused the block, or the block is not a listing: *why says which).
int block_entries(cli_dir_ctx *d, void (*each)(void *, const os_dir_entry_t *), void *arg, int *status, int *why)
{
    cli_ctx *ctx = d->ctx;
    int len = 0;
    int ret = zksd_recv_paired(ctx, &len);
    if (ret != ZKSD_OK)
        return ret;
    *status = -1;
    blob_attr *tb[4];
    ret = zksd_reply_parse(ctx, k_pol_block, 4, tb);
    if (ret != ZKSD_OK) {
        *why = ret; // a refusal or a reply that is not a block, read whole
        return ZKSD_OK;
    }
    const int plen = (int)blobmsg_data_len(tb[3]);
    int n = sdcomp_unpack(&ctx->comp, blobmsg_data(tb[3]), plen, d->buf, ctx->block_size);
    if (n < 0) {
        *why = ZKSD_UNPACK_ERR;
        return ZKSD_OK;
    }
    d->buf[n] = '\0';
    for (char *p = d->buf, *end = d->buf + block_text_len(d->buf, (size_t)n); p < end;) {
        char *nl = (char *)memchr(p, '\n', (size_t)(end - p));
        if (!nl) {
            LOG_ERR(TAG, "error: info=[%s]\n", p);
            *why = ZKSD_DATA_ERR;
            return ZKSD_OK;
        }
        if (nl == p) {
            *status = 1;
            return ZKSD_OK;
        }
        *nl = '\0';
        int s = cli_dir_scan(d, p, (size_t)(nl - p));
        if (s < 0) {
            LOG_ERR(TAG, "error: info=[%s]\n", p);
            *why = ZKSD_DATA_ERR;
            return ZKSD_OK;
        }
        d->count++;
        if (s == 0)
            each(arg, &d->entry);
        p = nl + 1;
    }
    *status = 0;
    return ZKSD_OK;
}

} // namespace

int zksd_cli_readdir_close(cli_dir_ctx *d, void (*each)(void *arg, const os_dir_entry_t *e), void *arg)
{
    PL_ASSERT_RET(TAG, d && d->kind == ZKSD_KIND_DIR && each, -1);
    cli_ctx *ctx = d->ctx;
    if (!d->buf)
        d->buf = (char *)os_malloc((size_t)ctx->block_size + 1);
    if (!d->buf || d->pos != -1 || ctx->fix_failed || !connected(ctx)) {
        int code = !d->buf ? ZKSD_MEM_ERR : ctx->fix_failed ? ZKSD_TIMEOUT : ZKSD_NET_ERR;
        if (d->pos != -1)
            code = ZKSD_DATA_ERR; // only a handle with nothing read yet
        cli_dir_free(d, connected(ctx) && !ctx->fix_failed);
        return finish(ctx, code);
    }
    req_t r(ctx);
    r.u64("fd", (uint64_t)d->fd).u32("len", (uint32_t)ctx->block_size);
    int ret = r.send(ctx->ver_153 ? ZKSD_CMD_READDIR_EXT : ZKSD_CMD_READDIR);
    int sent = ret == ZKSD_OK ? 1 : 0;
    if (ret == ZKSD_OK) {
        req_t c(ctx);
        c.u64("fd", (uint64_t)d->fd);
        ret = c.send(ZKSD_CMD_CLOSEDIR);
        sent += ret == ZKSD_OK;
    }
    int status = -1, why = ZKSD_OK;
    if (ret == ZKSD_OK)
        ret = block_entries(d, each, arg, &status, &why);
    if (ret == ZKSD_OK) {
        // The close's answer: the handle is gone either way.
        int len = 0;
        ret = zksd_recv_paired(ctx, &len);
        blob_attr *tb[2];
        if (ret == ZKSD_OK && zksd_reply_parse(ctx, k_pol_plain, 2, tb) == ZKSD_DATA_ERR)
            ret = ZKSD_DATA_ERR;
    }
    if (ret != ZKSD_OK && sent == 0) {
        // Nothing went out: the handle is closed the ordinary way.
        cli_dir_free(d, connected(ctx));
        finish(ctx, ret);
        return -1;
    }
    cli_dir_free(d, false);
    if (ret != ZKSD_OK) {
        // Replies may be on their way: start afresh.
        LOG_DBG(TAG, "listing and close broke: ret=%d [%s]\n", ret, zksd_code_str(ret));
        int fix = ctx->fix_failed ? ZKSD_TIMEOUT : client_resync(ctx);
        finish(ctx, fix == ZKSD_OK ? ret : fix);
        return -1;
    }
    if (status < 0) {
        finish(ctx, why);
        return -1;
    }
    finish(ctx, ZKSD_OK);
    return status;
}
