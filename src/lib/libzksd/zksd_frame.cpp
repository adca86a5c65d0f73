// zksd frames over a connection: writing requests, reading replies into the
// context's receive buffer, the transport codes and the last-error record.
#include <cerrno>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"
#include "libzksd/zksd_frame.h"
#include "libzksd/zksd_proto.h"
#include "liblog/log2.h"

#define TAG "sdcli"

namespace {

constexpr const char *k_code_str[] = {
    "ok",           "net error",       "net data error",    "timeout error",  "zksd srv error",
    "memory error", "user stop error", "unpack data error", "data len error",
};

// Frames up to this size go out in one write (one packet, one TLS record).
constexpr int k_one_write = 4096;

void mark_broken(cli_ctx *ctx) { __atomic_store_n(&ctx->conn.disconnected, 1, __ATOMIC_RELEASE); }
bool is_broken(cli_ctx *ctx) { return __atomic_load_n(&ctx->conn.disconnected, __ATOMIC_ACQUIRE) != 0; }

bool write_all(cli_ctx *ctx, const void *p, int n) { return net_write(&ctx->conn, p, (size_t)n) == n; }

} // namespace

const char *zksd_code_str(int code)
{
    if (code < 0 || code > ZKSD_LEN_ERR)
        return "unkown error";
    return k_code_str[code];
}

int zksd_send_request(cli_ctx *ctx, uint32_t cmd, const blob_attr *root, int len)
{
    PL_ASSERT_RET(TAG, ctx, ZKSD_NET_ERR);
    if (ctx->fix_failed)
        return ZKSD_TIMEOUT;
    if (!ctx->replaying) {
        ctx->last_cmd = cmd;
        ctx->send_count++;
    }
    if (len < 4 || !root) {
        LOG_DBG(TAG, "reqest need len >= 4 [len=%d]\n", len);
        return ZKSD_OK;
    }
    uint8_t head[k_one_write];
    head[0] = 'Z';
    head[1] = 'K';
    head[2] = ZKSD_PROTO;
    head[3] = (uint8_t)cmd;
    memcpy(head + 4, root, 4);
    const uint8_t *payload = blob_data(root);
    if (len + 4 <= k_one_write) {
        memcpy(head + 8, payload, (size_t)len - 4);
        if (!write_all(ctx, head, len + 4)) {
            LOG_VERB(TAG, "net_write data len=%d error\n", len - 4);
            mark_broken(ctx);
        }
        return ZKSD_OK;
    }
    if (!write_all(ctx, head, ZKSD_HEAD_LEN)) {
        LOG_VERB(TAG, "net_write head len=%d error\n", ZKSD_HEAD_LEN);
        mark_broken(ctx);
    } else if (!write_all(ctx, payload, len - 4)) {
        LOG_VERB(TAG, "net_write data len=%d error\n", len - 4);
        mark_broken(ctx);
    }
    return ZKSD_OK;
}

namespace {

// Reads one frame as zksd_recv_request_len does; *cmd the command byte of
// its head.
int recv_frame(cli_ctx *ctx, int *len, uint8_t *cmd)
{
    if (is_broken(ctx)) {
        // A request was lost on the way out, or the peer closed.
        LOG_VERB(TAG, "connection broken\n");
        errno = ECONNRESET;
        return ZKSD_NET_ERR;
    }
    uint8_t head[ZKSD_HEAD_LEN];
    int n = net_read(&ctx->conn, head, sizeof head);
    if (n < 0)
        return ZKSD_NET_ERR;
    if (n == 0)
        return ZKSD_TIMEOUT;
    if (n != ZKSD_HEAD_LEN) {
        LOG_VERB(TAG, "net_read head len=%d need=%d\n", n, ZKSD_HEAD_LEN);
        return ZKSD_LEN_ERR;
    }
    if (head[0] != 'Z' || head[1] != 'K') {
        LOG_VERB(TAG, "magic error %02x %02x\n", head[0], head[1]);
        return ZKSD_DATA_ERR;
    }
    if (ctx->srv_proto == 0)
        ctx->srv_proto = head[2];
    *cmd = head[3];
    const blob_attr *word = (const blob_attr *)(head + 4);
    uint32_t raw = blob_raw_len(word);
    if (raw < 4) {
        LOG_VERB(TAG, "root len=%u < 4 error\n", raw);
        return ZKSD_DATA_ERR;
    }
    int32_t pad = (int32_t)blob_pad_len(word); // at most 2^24
    if (pad + 4 > ctx->rbuf_cap) {
        uint8_t *p = (uint8_t *)os_malloc((size_t)pad + 4);
        if (!p) {
            LOG_ERR(TAG, "malloc [%d] erorr\n", pad);
            return ZKSD_MEM_ERR;
        }
        os_free(ctx->rbuf);
        ctx->rbuf = p;
        ctx->rbuf_cap = pad + 4;
    }
    if (pad > 4) {
        n = net_read(&ctx->conn, ctx->rbuf + 4, (size_t)pad - 4);
        if (n < 0)
            return ZKSD_NET_ERR;
        if (n != pad - 4) {
            LOG_DBG(TAG, "net_read len=%d need=%d\n", n, pad - 4);
            return ZKSD_LEN_ERR;
        }
    }
    memcpy(ctx->rbuf, head + 4, 4);
    *len = pad;
    return ZKSD_OK;
}

// The connection answered something no request asked for: it is never
// read again, as whatever follows could be taken for another reply.
int out_of_step(cli_ctx *ctx)
{
    ctx->out_of_step = 1;
    ctx->proto_errors++;
    mark_broken(ctx);
    return ZKSD_DATA_ERR;
}

// Whether data waits on a socket connection (one byte of it is read: the
// connection is done with then). A peer that closed is no such case: its
// read ends at once with nothing.
bool bytes_waiting(cli_ctx *ctx)
{
    if (!ctx->conn.handle || is_broken(ctx) || (ctx->conn.type != NET_TCP_TYPE && ctx->conn.type != NET_SOCK_TYPE))
        return false;
    if (os_socket_wait((os_socket_t)ctx->conn.handle, OS_SOCKET_WAIT_READ, 0) <= 0)
        return false;
    uint8_t b;
    return net_read(&ctx->conn, &b, 1) > 0;
}

} // namespace

int zksd_recv_request_len(cli_ctx *ctx, int *len)
{
    PL_ASSERT_RET(TAG, ctx && len, ZKSD_NET_ERR);
    uint8_t cmd;
    return recv_frame(ctx, len, &cmd);
}

int zksd_send_paired(cli_ctx *ctx, uint32_t cmd, const blob_attr *root, int len)
{
    PL_ASSERT_RET(TAG, ctx, ZKSD_NET_ERR);
    if (ctx->fix_failed)
        return ZKSD_TIMEOUT;
    const bool answered = cmd != ZKSD_CMD_GOODBYE;
    if (answered && ctx->await_n >= ZKSD_AWAIT_MAX) {
        LOG_ERR(TAG, "%d replies owed already\n", (int)ctx->await_n);
        return ZKSD_MEM_ERR;
    }
    if (ctx->await_n == 0 && !ctx->out_of_step && bytes_waiting(ctx)) {
        LOG_ERR(TAG, "data came while no reply was owed: the connection is out of step\n");
        out_of_step(ctx);
    }
    if (answered)
        ctx->await_cmd[(ctx->await_head + ctx->await_n++) % ZKSD_AWAIT_MAX] = (uint8_t)cmd;
    if (ctx->out_of_step) {
        // Not sent: the receive that follows fails, as for a lost request.
        if (!ctx->replaying) {
            ctx->last_cmd = cmd;
            ctx->send_count++;
        }
        return ZKSD_OK;
    }
    return zksd_send_request(ctx, cmd, root, len);
}

int zksd_recv_paired(cli_ctx *ctx, int *len)
{
    PL_ASSERT_RET(TAG, ctx && len, ZKSD_NET_ERR);
    if (ctx->out_of_step)
        return ZKSD_DATA_ERR;
    uint8_t cmd = 0;
    const int ret = recv_frame(ctx, len, &cmd);
    if (ret != ZKSD_OK) {
        // A reply late or cut short would answer the next request.
        mark_broken(ctx);
        return ret;
    }
    if (ctx->await_n == 0) {
        LOG_ERR(TAG, "reply of command %u while none was owed: the connection is out of step\n", (unsigned)cmd);
        return out_of_step(ctx);
    }
    const uint8_t want = ctx->await_cmd[ctx->await_head];
    if (cmd != want) {
        LOG_ERR(TAG, "reply of command %u to a request of command %u: the connection is out of step\n",
                (unsigned)cmd, (unsigned)want);
        return out_of_step(ctx);
    }
    ctx->await_head = (uint16_t)((ctx->await_head + 1) % ZKSD_AWAIT_MAX);
    ctx->await_n--;
    return ZKSD_OK;
}

void zksd_await_retarget(cli_ctx *ctx, uint32_t cmd)
{
    if (ctx->await_n > 0)
        ctx->await_cmd[(ctx->await_head + ctx->await_n - 1) % ZKSD_AWAIT_MAX] = (uint8_t)cmd;
}

void zksd_out_of_step(cli_ctx *ctx) { out_of_step(ctx); }

void zksd_await_reset(cli_ctx *ctx)
{
    ctx->await_head = 0;
    ctx->await_n = 0;
    ctx->out_of_step = 0;
}

int client_recv_response(cli_ctx *ctx, int *len)
{
    PL_ASSERT_RET(TAG, ctx && len, ZKSD_NET_ERR);
    if (ctx->fix_failed) {
        LOG_VERB(TAG, "have_fix_error_fail return\n");
        return ZKSD_TIMEOUT;
    }
    int ret = zksd_recv_paired(ctx, len);
    if (ret == ZKSD_OK || ret == ZKSD_MEM_ERR)
        return ret;
    LOG_VERB(TAG, "ret=%d error:[%s]\n", ret, zksd_code_str(ret));
    if (!ctx->auto_reconnect) {
        LOG_VERB(TAG, "!net_error_reconnect return\n");
        return ret;
    }
    if (ctx->replaying) {
        LOG_VERB(TAG, "now_fix_last_error return\n");
        return ret;
    }
    LOG_VERB(TAG, "start fix..\n");
    int fix = client_fix_last_error(ctx, len);
    if (fix == ZKSD_OK)
        return ZKSD_OK;
    LOG_VERB(TAG, "ret=%d fix failed need reopen...\n", fix);
    ctx->fix_failed = 1;
    return ZKSD_TIMEOUT;
}

int zksd_reply_parse(cli_ctx *ctx, const blobmsg_policy *policy, int n, blob_attr **tb)
{
    PL_ASSERT_RET(TAG, ctx && ctx->rbuf, ZKSD_DATA_ERR);
    const blob_attr *root = (const blob_attr *)ctx->rbuf;
    if (cli_blobmsg_parse(policy, n, tb, blob_data(root), blob_len(root)) != 0) {
        LOG_ERR(TAG, "parse data error\n");
        return ZKSD_DATA_ERR;
    }
    int32_t eno = (int32_t)blobmsg_get_u32(tb[0]);
    if (eno != 0) {
        ctx->srv_errno = eno;
        str_safecopy(ctx->srv_errstr, sizeof ctx->srv_errstr, blobmsg_get_string(tb[1]));
        return ZKSD_SRV_ERR;
    }
    ctx->srv_errno = 0;
    return ZKSD_OK;
}

void zksd_cli_set_last_error(cli_ctx *ctx, int code)
{
    if (!ctx || !ctx->last_error)
        return;
    vperror_t *e = ctx->last_error;
    int eno = errno;
    switch (code) {
    case ZKSD_OK:
        VPERROR_SET(e, 0, nullptr);
        break;
    case ZKSD_NET_ERR:
        if (eno != 0)
            VPERROR_SET(e, os_verr_get(eno), "%s", os_errno_str_of(eno));
        else
            VPERROR_SET(e, VERR_NET_IO_ERROR, "read data net error");
        break;
    case ZKSD_DATA_ERR:
        VPERROR_SET(e, VERR_NET_PROTOCOL_ERROR, "read data content error");
        break;
    case ZKSD_TIMEOUT:
    case ZKSD_LEN_ERR:
        VPERROR_SET(e, VERR_TIMEOUT, "read data timeout");
        break;
    case ZKSD_SRV_ERR:
        VPERROR_SET(e, ctx->srv_errno, "%s", ctx->srv_errstr);
        break;
    case ZKSD_MEM_ERR:
        VPERROR_SET(e, VERR_NO_MEMORY, "memory allocation failed");
        break;
    case ZKSD_UNPACK_ERR:
        // The data came but is not what it claims: an I/O error (EIO).
        VPERROR_SET(e, VERR_DEV_IO_ERROR, "unpack data error");
        break;
    default:
        VPERROR_SET(e, VERR_GENERAL_FAILURE, "unkown error=%d", code);
        break;
    }
    errno = eno;
}

void zksd_frame_free(cli_ctx *ctx)
{
    if (!ctx)
        return;
    blob_buf_free(&ctx->req);
    os_free(ctx->rbuf);
    ctx->rbuf = nullptr;
    ctx->rbuf_cap = 0;
}
