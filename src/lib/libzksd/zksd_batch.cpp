// Requests in flight together: the attribute lists of many paths sent back
// to back and their replies read in order. The server handles the frames of
// a connection one after another, so reply i answers request i; the request
// counter grows by one per frame as for single requests, and a broken
// exchange is settled by a resynchronisation (nothing is replayed: the
// caller only loses answers it had not been given yet).
#include <cstring>
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
    int ret = zksd_recv_request_len(ctx, &len);
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

int zksd_cli_listxattr_batch(cli_ctx *ctx, const char *const *paths, int n, int olen, zksd_batch_answer_fn each,
                             void *arg)
{
    PL_ASSERT_RET(TAG, ctx && each && olen >= 0 && n >= 0 && (n == 0 || paths), -1);
    if (ctx->fix_failed)
        return finish(ctx, ZKSD_TIMEOUT);
    std::vector<int> sent; // the indexes that travel, in order
    sent.reserve((size_t)n);
    for (int i = 0; i < n; i++) {
        if (!paths[i] || strpbrk(paths[i], "\t\r\n"))
            each(arg, i, VERR_INVALID_PARAMETER, "", 0);
        else
            sent.push_back(i);
    }
    size_t out = 0, in = 0; // requests sent, replies read
    int ret = ZKSD_OK;
    while (in < sent.size() && ret == ZKSD_OK) {
        while (out < sent.size() && out - in < (size_t)ZKSD_BATCH_IN_FLIGHT && ret == ZKSD_OK)
            ret = send_one(ctx, paths[sent[out++]], olen);
        if (ret == ZKSD_OK)
            ret = recv_one(ctx, sent[in], olen, each, arg);
        in++;
    }
    if (ret == ZKSD_OK)
        return finish(ctx, ZKSD_OK);
    LOG_DBG(TAG, "batch of %zu broke after %zu replies: ret=%d [%s]\n", sent.size(), in - 1, ret, zksd_code_str(ret));
    // Replies still on their way would answer the wrong requests: the
    // exchange starts afresh.
    int fix = ctx->fix_failed ? ZKSD_TIMEOUT : client_resync(ctx);
    finish(ctx, fix == ZKSD_OK ? ret : fix);
    return -1;
}
