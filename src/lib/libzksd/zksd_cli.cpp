// zksd client session: connect, login, server information, block size,
// handles, exit, reconnect and the recovery of a broken exchange.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <strings.h>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libpwd/libpwd.h"
#include "libzksd/zksd_cli_imp.h"
#include "liblog/log2.h"

#define TAG SDCLI_TAG

using namespace zksd_imp;

namespace {

bool g_inited = false;

constexpr blobmsg_policy k_pol_login1[] = {P_ERRNO, P_ERRSTR, {"os_type", BLOBMSG_TYPE_INT32}};
constexpr blobmsg_policy k_pol_login90[] = {
    P_ERRNO, P_ERRSTR, {"ver", BLOBMSG_TYPE_INT32}, {"cert", BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy k_pol_info[] = {P_ERRNO, P_ERRSTR, {"info", BLOBMSG_TYPE_STRING}};

void log_step(int sret, int rlen, int pret)
{
    LOG_VERB(TAG, "client_send_reqest ret=%d\n", sret);
    LOG_VERB(TAG, "client_recv_response len=%d\n", rlen);
    LOG_VERB(TAG, "blobmsg_parse ret=%d\n", pret);
}

// One login step: like req_t::run, with the login's log lines.
int login_step(req_t &r, uint32_t cmd, const blobmsg_policy *pol, int n, blob_attr **tb)
{
    if (r.bad)
        return ZKSD_MEM_ERR;
    int ret = r.send(cmd);
    if (ret != ZKSD_OK)
        return ret;
    int len = 0;
    ret = client_recv_response(r.ctx, &len);
    if (ret != ZKSD_OK) {
        LOG_DBG(TAG, "client_recv_response ret=%d error: %s\n", ret, zksd_code_str(ret));
        return ret;
    }
    ret = zksd_reply_parse(r.ctx, pol, n, tb);
    log_step(0, len, ret == ZKSD_DATA_ERR ? -1 : 0);
    return ret;
}

int login_old(cli_ctx *ctx, const char *user, const char *passwd)
{
    char hash[LIBPWD_HASH_SIZE];
    libpwd_hash(passwd, hash, sizeof hash);
    req_t r(ctx);
    r.str("user", user).str("passwd", hash);
    blob_attr *tb[3];
    int ret = login_step(r, ZKSD_CMD_LOGIN, k_pol_login1, 3, tb);
    if ((ret == ZKSD_OK || ret == ZKSD_SRV_ERR) && tb[2])
        ctx->os_type = (int32_t)blobmsg_get_u32(tb[2]);
    return ret;
}

int login_key(cli_ctx *ctx, const char *user, const char *passwd)
{
    blob_attr *tb[4];
    req_t r(ctx);
    r.str("user", user).u32("ver", 1);
    int ret = login_step(r, ZKSD_CMD_KEY_LOGIN, k_pol_login90, 4, tb);
    if (ret != ZKSD_OK)
        return ret;
    char cert[LIBPWD_CERT_SIZE];
    str_safecopy(cert, sizeof cert, blobmsg_get_string(tb[3]));
    libpwd_build_key(user, passwd, 1, cert, ctx->lkey, sizeof ctx->lkey);
    req_t r2(ctx);
    r2.str("lkey", ctx->lkey);
    return login_step(r2, ZKSD_CMD_KEY_LOGIN2, k_pol_plain, 2, tb);
}

// The block-size probe: a handle ioctl ZKSD_IOC_PROBE without data; a server that
// does not know it still answers in time.
int latency_probe(void *arg)
{
    cli_ctx *ctx = (cli_ctx *)arg;
    int ret = cli_file_ioctl(ctx, 0, ZKSD_IOC_PROBE, nullptr, 0);
    zksd_cli_set_last_error(ctx, ret);
    if (ret == ZKSD_OK || (ret == ZKSD_SRV_ERR && strstr(ctx->srv_errstr, "unsupported")))
        return 0;
    return -1;
}

int info_request(cli_ctx *ctx, char *buf, size_t size)
{
    blob_attr *tb[3];
    req_t r(ctx);
    r.str("param", "");
    int ret = r.run(ZKSD_CMD_INFO, k_pol_info, 3, tb);
    if (ret == ZKSD_OK && str_safecopy(buf, size, blobmsg_get_string(tb[2])) != 0)
        ret = ZKSD_DATA_ERR;
    return ret;
}

void set_versions(cli_ctx *ctx, const char *plat)
{
    ctx->ver_153 = str_version_cmp(ctx->srv_ver, "1.5.3") >= 0;
    ctx->ver_164 = str_version_cmp(ctx->srv_ver, "1.6.4") >= 0;
    ctx->ver_182 = str_version_cmp(ctx->srv_ver, "1.8.2") >= 0;
    ctx->srv_windows = strcmp(plat, "windows") == 0;
}

int read_info(cli_ctx *ctx)
{
    std::unique_ptr<char[]> info(new (std::nothrow) char[ZKSD_INFO_SIZE]);
    if (!info)
        return ZKSD_MEM_ERR;
    int ret = info_request(ctx, info.get(), ZKSD_INFO_SIZE);
    if (ret != ZKSD_OK)
        return ret;
    char plat[64] = "", arch[64] = "", bit[8] = "", order[16] = "", is_root[4] = "";
    str_kv_get_line_bracket(info.get(), "ver", ctx->srv_ver, sizeof ctx->srv_ver);
    str_kv_get_line_bracket(info.get(), "plat", plat, sizeof plat);
    str_kv_get_line_bracket(info.get(), "arch", arch, sizeof arch);
    str_kv_get_line_bracket(info.get(), "bit", bit, sizeof bit);
    str_kv_get_line_bracket(info.get(), "order", order, sizeof order);
    str_kv_get_line_bracket(info.get(), "is_root", is_root, sizeof is_root);
    str_kv_get_line_bracket(info.get(), "log_file", ctx->log_file, sizeof ctx->log_file);
    set_versions(ctx, plat);
    return ZKSD_OK;
}

int timeout_opt(const char *url, const char *key, const char *label, int def)
{
    return var_int_check(url_get_query_int(url, key, def), label, 1, 600, def) * 1000;
}

// The codec: the server must accept the name and the client must have it.
int negotiate_codec(cli_ctx *ctx, const char *name)
{
    int ret = cli_file_ioctl(ctx, 0, ZKSD_IOC_SET_CODEC, name, (int)strlen(name) + 1);
    if (ret != ZKSD_OK)
        return ret;
    str_safecopy(ctx->comp.name, sizeof ctx->comp.name, name);
    if (sdcomp_setup(&ctx->comp) != 0 || !ctx->comp.codec) {
        LOG_DBG(TAG, "cli_ioctl_imp ret=%d\n", -1);
        LOG_ERR(TAG, "codec [%s] unknown\n", name);
        return ZKSD_UNPACK_ERR;
    }
    return ZKSD_OK;
}

void free_ctx(cli_ctx *ctx)
{
    flight_free(ctx);
    net_close(&ctx->conn);
    sdcomp_free(&ctx->comp);
    zksd_frame_free(ctx);
    mem_parray_exit(&ctx->files);
    mem_parray_exit(&ctx->dirs);
    os_free(ctx->user);
    os_free(ctx->passwd);
    os_free(ctx->host);
    os_free(ctx);
}

// A copy of the root of ctx->req (padded length), or of the reply.
struct saved_msg {
    uint8_t *p = nullptr;
    int len = 0;
    ~saved_msg() { os_free(p); }
    bool save(const void *src, int n)
    {
        os_free(p);
        p = (uint8_t *)os_memdup(src, (size_t)n);
        len = n;
        return p != nullptr;
    }
};

// Runs an ioctl2 of the recovery on descriptor 0 with the server context id
// as its text; the answer as a NUL-terminated text in out (may be NULL).
int fix_ioctl2(cli_ctx *ctx, int code, char *out, size_t size)
{
    char id[32];
    str_sprintf_s(id, sizeof id, "%lu", (unsigned long)ctx->srv_ctx_id);
    if (out)
        return cli_ioctl2_text(ctx, 0, code, id, out, size);
    return cli_ioctl2_imp(ctx, 0, code, id, -1, 0, nullptr, nullptr);
}

// The first steps of a recovery: a new connection, the old server
// context's request stopped, and that context idle. A transport code.
int fix_reattach(cli_ctx *ctx, const char *addr)
{
    int ret = -1;
    for (int tries = 1;; tries++) {
        ret = zksd_cli_reconnect(ctx);
        if (ret == 0)
            break;
        int eno = ctx->last_error ? ctx->last_error->code : -1;
        LOG_DBG(TAG, "zksd_cli_reconnect eno=%d erorr: %s\n", eno, ctx->last_error ? vperror_str(ctx->last_error) : "");
        // A program that stops does not try again.
        if (eno != VERR_TIMEOUT || tries >= 3 || net_abort_all_due())
            return ZKSD_NET_ERR;
    }
    LOG_DBG(TAG, "zksd_cli_reconnect ok\n");
    ret = fix_ioctl2(ctx, ZKSD_IOCTL2_CTX_REQ_STOP, nullptr, 0);
    if (ret != ZKSD_OK) {
        LOG_DBG(TAG, "ZKSD_IOCTL2_CTX_REQ_STOP addr=%s ret=%d error:%s\n", addr, ret, zksd_code_str(ret));
        return ret;
    }
    // A second for the server to stop the old request; a program that
    // stops does not wait it out.
    for (int i = 0; i < 10 && !net_abort_all_due(); i++)
        os_msleep(100);
    char ans[ZKSD_ANSWER_SIZE];
    ret = fix_ioctl2(ctx, ZKSD_IOCTL2_CTX_RUN_STATUS, ans, sizeof ans);
    if (ret != ZKSD_OK) {
        LOG_DBG(TAG, "ZKSD_IOCTL2_CTX_RUN_STATUS addr=%s ret=%d failed\n", addr, ret);
        return ret;
    }
    LOG_DBG(TAG, "run status=[%s]\n", ans);
    int64_t running = 0;
    if (parse_i64(ans, &running) && running == 1) {
        LOG_DBG(TAG, "ctx thread now is runing\n");
        return ZKSD_NET_ERR;
    }
    return ZKSD_OK;
}

int fix_imp(cli_ctx *ctx, const saved_msg &req, uint32_t cmd, int *len)
{
    char addr[64];
    str_sprintf_s(addr, sizeof addr, "%s:%u", ctx->host ? ctx->host : "", ctx->port);
    int ret = fix_reattach(ctx, addr);
    if (ret != ZKSD_OK)
        return ret;
    char ans[ZKSD_ANSWER_SIZE];
    ret = fix_ioctl2(ctx, ZKSD_IOCTL2_GET_LAST_CMD_IDX, ans, sizeof ans);
    if (ret != ZKSD_OK) {
        LOG_DBG(TAG, "ZKSD_IOCTL2_GET_LAST_CMD_IDX addr=%s ret=%d failed\n", addr, ret);
        return ret;
    }
    uint64_t idx = 0;
    if (!parse_u64(ans, &idx))
        return ZKSD_DATA_ERR;
    if (idx == ctx->send_count) {
        LOG_DBG(TAG, "ZKSD_IOCTL2_ATTACH_CTX_REPLY\n");
        ret = fix_ioctl2(ctx, ZKSD_IOCTL2_ATTACH_CTX_REPLY, nullptr, 0);
        if (ret == ZKSD_OK)
            ret = zksd_recv_paired(ctx, len);
        if (ret != ZKSD_OK)
            LOG_DBG(TAG, "ZKSD_IOCTL2_ATTACH_CTX_REPLY addr=%s ret=%d failed\n", addr, ret);
        return ret;
    }
    if (ctx->send_count == idx + 1) {
        LOG_DBG(TAG, "ZKSD_IOCTL2_ATTACH_CTX\n");
        ret = fix_ioctl2(ctx, ZKSD_IOCTL2_ATTACH_CTX, nullptr, 0);
        if (ret == ZKSD_OK)
            ret = zksd_send_paired(ctx, cmd, (const blob_attr *)req.p, req.len);
        if (ret == ZKSD_OK)
            ret = zksd_recv_paired(ctx, len);
        if (ret != ZKSD_OK)
            LOG_DBG(TAG, "ZKSD_IOCTL2_ATTACH_CTX addr=%s ret=%d failed\n", addr, ret);
        return ret;
    }
    LOG_ERR(TAG, "cmd_send_count=%lu srv_last_idx=%lu [%s]\n", (unsigned long)ctx->send_count, (unsigned long)idx,
            addr);
    return ZKSD_NET_ERR;
}

} // namespace

// ---- shared helpers ------------------------------------------------------------------------------

namespace zksd_imp {

bool connected(const cli_ctx *ctx) { return ctx->conn.handle != nullptr; }

int req_t::send(uint32_t cmd)
{
    if (bad)
        return ZKSD_MEM_ERR;
    blob_attr *root = blob_buf_root(&ctx->req);
    return zksd_send_paired(ctx, cmd, root, (int)blob_pad_len(root));
}

int req_t::run(uint32_t cmd, const blobmsg_policy *pol, int n, blob_attr **tb)
{
    int ret = send(cmd);
    if (ret != ZKSD_OK)
        return ret;
    int len = 0;
    ret = client_recv_response(ctx, &len);
    if (ret != ZKSD_OK) {
        LOG_DBG(TAG, "client_recv_response ret=%d\n", ret);
        return ret;
    }
    return zksd_reply_parse(ctx, pol, n, tb);
}

int gate_fail(cli_ctx *ctx) { return fail_status(ctx, ZKSD_VERR_UPGRADE, ZKSD_UPGRADE_MSG); }

int fail_status(cli_ctx *ctx, int status, const char *msg)
{
    if (ctx && ctx->last_error) {
        if (msg)
            VPERROR_SET(ctx->last_error, status, "%s", msg);
        else
            VPERROR_SET(ctx->last_error, status, nullptr);
    }
    return -1;
}

bool parse_u64(const char *text, uint64_t *out)
{
    if (!text || !*text || strspn(text, "0123456789") != strlen(text) || strlen(text) > 20)
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end)
        return false;
    *out = v;
    return true;
}

bool parse_i64(const char *text, int64_t *out)
{
    if (!text)
        return false;
    bool neg = *text == '-';
    uint64_t v = 0;
    if (!parse_u64(text + neg, &v) || v > (uint64_t)INT64_MAX)
        return false;
    *out = neg ? -(int64_t)v : (int64_t)v;
    return true;
}

bool parse_x64(const char *text, uint64_t *out)
{
    if (!text || !*text || strspn(text, "0123456789abcdefABCDEF") != strlen(text) || strlen(text) > 16)
        return false;
    *out = strtoull(text, nullptr, 16);
    return true;
}

int cli_login(cli_ctx *ctx, const char *user, const char *passwd)
{
    int ret = login_old(ctx, ":", "");
    if (ret != ZKSD_SRV_ERR)
        return ret;
    if (ctx->srv_errno != 1)
        return ret;
    if (ctx->srv_proto == 1)
        return login_old(ctx, user, passwd);
    return login_key(ctx, user, passwd);
}

} // namespace zksd_imp

// ---- library ---------------------------------------------------------------------------------------

int zksd_cli_init(void)
{
    if (g_inited)
        return 0;
    libpack_init();
    g_inited = true;
    return 0;
}

void zksd_cli_uninit(void) { g_inited = false; }

// ---- connect ---------------------------------------------------------------------------------------

cli_ctx *zksd_cli_connect3_imp(const char *url, net_abort_hook *hook, int login, char (&scratch)[URL_TEXT_SIZE],
                               vperror_t *errp)
{
    PL_ASSERT_HARD(TAG, errp != nullptr);
    url_rec u;
    if (!url || url_parser(&u, scratch, url) != 0) {
        VPERROR_SET(errp, VERR_INVALID_PARAMETER, nullptr);
        return nullptr;
    }
    if (u.port == 0)
        u.port = strcasecmp(u.protocol, "zkps") == 0 ? ZKSD_PORT_ZKPS : ZKSD_PORT_ZKP;
    // The connection layer knows the schemes in lower case only.
    if (strcasecmp(u.protocol, "zkp") == 0 || strcasecmp(u.protocol, "zkps") == 0)
        for (char *p = u.protocol; *p; p++)
            *p = (char)tolower((unsigned char)*p);
    const int conn_ms = timeout_opt(url, "connect_timeout", "conn_timeout", 6);
    const int read_ms = timeout_opt(url, "read_timeout", "read_timeout", 15);
    const int write_ms = timeout_opt(url, "write_timeout", "write_timeout", 8);
    cli_ctx *ctx = (cli_ctx *)os_zalloc(sizeof(cli_ctx));
    if (!ctx) {
        VPERROR_SET(errp, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    ctx->kind = ZKSD_KIND_CTX;
    ctx->conn.timeout = read_ms;
    ctx->conn.hook = hook;
    ctx->last_error = errp;
    ctx->read_timeout = read_ms;
    ctx->write_timeout = write_ms;
    ctx->port = u.port;
    if (mem_parray_init(&ctx->files) != 0 || mem_parray_init(&ctx->dirs) != 0 || !url_fmt(&u, ctx->url)[0]) {
        VPERROR_SET(errp, VERR_NO_MEMORY, nullptr);
        free_ctx(ctx);
        return nullptr;
    }
    net_opts opts{};
    opts.connect_timeout = conn_ms;
    opts.buf_size = 0x200000;
    opts.hook = hook;
    if (net_open3(&ctx->conn, ctx->url, &opts, errp) != 0) {
        LOG_VERB(TAG, "connect ip=%s port=%d failed\n", u.host, (int)u.port);
        free_ctx(ctx);
        return nullptr;
    }
    char pack[URL_FIELD_SIZE];
    url_get_query_buf(url, "pack", "lz4", pack, sizeof pack);
    pack[15] = '\0';
    ctx->host = os_strdup(u.host);
    if (login) {
        ctx->user = os_strdup(u.user);
        ctx->passwd = os_strdup(u.passwd);
    }
    if (!ctx->host || (login && (!ctx->user || !ctx->passwd))) {
        VPERROR_SET(errp, VERR_NO_MEMORY, nullptr);
        free_ctx(ctx);
        return nullptr;
    }
    int ret = ZKSD_OK;
    if (login) {
        ret = cli_login(ctx, ctx->user, ctx->passwd);
        if (ret != ZKSD_OK)
            LOG_VERB(TAG, "cli_init ret=%d\n", ret);
    }
    if (ret == ZKSD_OK)
        ret = negotiate_codec(ctx, pack);
    if (ret == ZKSD_OK)
        ret = read_info(ctx);
    if (ret != ZKSD_OK) {
        zksd_cli_set_last_error(ctx, ret);
        free_ctx(ctx);
        return nullptr;
    }
    double ms = 0;
    ctx->block_size = net_probe_block_size(latency_probe, ctx, &ms);
    if (ctx->block_size <= 0) {
        if (errp->code == 0)
            VPERROR_SET(errp, VERR_GENERAL_FAILURE, "latency probe failed");
        free_ctx(ctx);
        return nullptr;
    }
    LOG_DBG(TAG, "net_measure_rtt_bs=%d rtt_ms=%0.2f\n", ctx->block_size, ms);
    ctx->rtt_us = ms <= 0 ? 0 : ms >= 4e6 ? 4000000000u : (uint32_t)(ms * 1000);
    LOG_VERB(TAG, "ip=%s port=%d read_timeout=%d write_timeout=%d block_size=%d  pack=[%s]\n", ctx->host,
             (int)ctx->port, ctx->read_timeout, ctx->write_timeout, ctx->block_size, ctx->comp.name);
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return ctx;
}

namespace {
// A connect with its URL scratch space taken from the heap.
cli_ctx *connect_with_scratch(const char *url, net_abort_hook *hook, int login, vperror_t *errp)
{
    struct url_scratch {
        char text[URL_TEXT_SIZE];
    };
    std::unique_ptr<url_scratch> scratch(new (std::nothrow) url_scratch);
    if (!scratch) {
        PL_ASSERT_HARD(TAG, errp != nullptr);
        VPERROR_SET(errp, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    return zksd_cli_connect3_imp(url, hook, login, scratch->text, errp);
}
} // namespace

cli_ctx *zksd_cli_connect2(const char *url, net_abort_hook *hook, vperror_t *errp)
{
    return connect_with_scratch(url, hook, 1, errp);
}

cli_ctx *zksd_cli_connect(const char *url, vperror_t *errp) { return zksd_cli_connect2(url, nullptr, errp); }

void zksd_cli_clear_abort_hook(cli_ctx *ctx)
{
    if (ctx)
        ctx->conn.hook = nullptr;
}

// ---- exit ------------------------------------------------------------------------------------------

static int exit_imp(cli_ctx *ctx, bool on_server)
{
    LOG_VERB(TAG, "==>\n");
    while (ctx->files.count > 0) {
        cli_file_ctx *h = (cli_file_ctx *)mem_parray_get(&ctx->files, ctx->files.count - 1);
        int r = cli_file_free(h, on_server && connected(ctx));
        if (on_server)
            zksd_cli_set_last_error(ctx, r);
    }
    while (ctx->dirs.count > 0) {
        cli_dir_ctx *d = (cli_dir_ctx *)mem_parray_get(&ctx->dirs, ctx->dirs.count - 1);
        int r = cli_dir_free(d, on_server && connected(ctx));
        if (on_server)
            zksd_cli_set_last_error(ctx, r);
    }
    int ret = ZKSD_OK;
    if (on_server && connected(ctx)) {
        req_t r(ctx);
        ret = r.send(ZKSD_CMD_GOODBYE);
    }
    free_ctx(ctx);
    LOG_VERB(TAG, "<==\n");
    return ret;
}

int zksd_cli_exit(cli_ctx *ctx) { return ctx ? exit_imp(ctx, true) : 0; }

void zksd_cli_exit_free(cli_ctx *ctx)
{
    if (ctx)
        exit_imp(ctx, false);
}

// ---- reconnect and recovery ------------------------------------------------------------------------

int zksd_cli_reconnect(cli_ctx *ctx)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    // A new server context unless a recovery attaches to the old one: what
    // was in flight is lost then.
    if (!ctx->replaying)
        flight_lose_all(ctx, ZKSD_NET_ERR);
    net_close(&ctx->conn);
    net_reset_flags(&ctx->conn);
    ctx->conn.timeout = ctx->read_timeout;
    zksd_await_reset(ctx);
    if (net_open3(&ctx->conn, ctx->url, nullptr, ctx->last_error) != 0)
        return -1;
    if (ctx->user) {
        int ret = cli_login(ctx, ctx->user, ctx->passwd);
        if (ret != ZKSD_OK)
            return finish(ctx, ret);
    }
    if (ctx->replaying)
        return finish(ctx, ZKSD_OK); // the recovery attaches to the old server context
    // A new server context starts with its default codec: name ours again.
    char codec[sizeof ctx->comp.name];
    memcpy(codec, ctx->comp.name, sizeof codec);
    int cret = negotiate_codec(ctx, codec);
    if (cret != ZKSD_OK)
        return finish(ctx, cret);
    // Attach recovery to the new server context and count from its frames.
    if (ctx->auto_reconnect) {
        if (zksd_cli_set_auto_reconnect(ctx) != 0)
            return -1;
        char ans[64];
        int ret = cli_ioctl2_text(ctx, 0, ZKSD_IOCTL2_GET_LAST_CMD_IDX, "0", ans, sizeof ans);
        uint64_t idx = 0;
        if (ret == ZKSD_OK && !parse_u64(ans, &idx))
            ret = ZKSD_DATA_ERR;
        if (ret != ZKSD_OK)
            return finish(ctx, ret);
        ctx->send_count = idx + 1;
    }
    return finish(ctx, ZKSD_OK);
}

int zksd_cli_set_auto_reconnect(cli_ctx *ctx)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    int ret = cli_ioctl2_imp(ctx, 0, ZKSD_IOCTL2_CTX_PREPARE, "0", -1, 0, nullptr, nullptr);
    char ans[ZKSD_ANSWER_SIZE];
    if (ret == ZKSD_OK)
        ret = cli_ioctl2_text(ctx, 0, ZKSD_IOCTL2_CTX_ID, nullptr, ans, sizeof ans);
    uint64_t id = 0;
    if (ret == ZKSD_OK && !parse_u64(ans, &id))
        ret = ZKSD_DATA_ERR;
    if (ret == ZKSD_OK) {
        ctx->srv_ctx_id = id;
        ctx->auto_reconnect = 1;
    }
    return finish(ctx, ret);
}

int client_fix_last_error(cli_ctx *ctx, int *len)
{
    LOG_DBG(TAG, "==>\n");
    saved_msg req;
    const blob_attr *root = blob_buf_root(&ctx->req);
    if (!root || !req.save(root, (int)blob_pad_len(root)))
        return ZKSD_MEM_ERR;
    const uint32_t cmd = ctx->last_cmd;
    ctx->replaying = 1;
    int ret = fix_imp(ctx, req, cmd, len);
    ctx->replaying = 0;
    if (ret != ZKSD_OK)
        return ret;
    // Count from the server's index again, keeping the reply just read.
    saved_msg reply;
    if (!reply.save(ctx->rbuf, *len))
        return ZKSD_MEM_ERR;
    char ans[64];
    ret = cli_ioctl2_text(ctx, 0, ZKSD_IOCTL2_GET_LAST_CMD_IDX, "0", ans, sizeof ans);
    uint64_t idx = 0;
    if (ret == ZKSD_OK && !parse_u64(ans, &idx))
        ret = ZKSD_DATA_ERR;
    if (ret != ZKSD_OK) {
        LOG_ERR(TAG, "ZKSD_IOCTL2_GET_LAST_CMD_IDX addr=[%s] ret=%d failed\n", ctx->host ? ctx->host : "", ret);
        return ret;
    }
    ctx->send_count = idx + 1;
    PL_ASSERT_RET(TAG, ctx->rbuf_cap >= reply.len, ZKSD_MEM_ERR);
    memcpy(ctx->rbuf, reply.p, (size_t)reply.len);
    *len = reply.len;
    LOG_DBG(TAG, "last_cmd_len=%d cmd_send_count=%lu fix ok\n", req.len, (unsigned long)ctx->send_count);
    return ZKSD_OK;
}

namespace zksd_imp {

int client_resync(cli_ctx *ctx)
{
    if (ctx->fix_failed)
        return ZKSD_TIMEOUT;
    if (!ctx->auto_reconnect) {
        // No server context to go back to: the next request finds the
        // connection closed and fails as any broken exchange does.
        net_close(&ctx->conn);
        zksd_await_reset(ctx);
        return ZKSD_NET_ERR;
    }
    LOG_DBG(TAG, "==>\n");
    char addr[64];
    str_sprintf_s(addr, sizeof addr, "%s:%u", ctx->host ? ctx->host : "", ctx->port);
    ctx->replaying = 1;
    int ret = fix_reattach(ctx, addr);
    if (ret == ZKSD_OK)
        ret = fix_ioctl2(ctx, ZKSD_IOCTL2_ATTACH_CTX, nullptr, 0);
    ctx->replaying = 0;
    char ans[64];
    if (ret == ZKSD_OK)
        ret = cli_ioctl2_text(ctx, 0, ZKSD_IOCTL2_GET_LAST_CMD_IDX, "0", ans, sizeof ans);
    uint64_t idx = 0;
    if (ret == ZKSD_OK && !parse_u64(ans, &idx))
        ret = ZKSD_DATA_ERR;
    if (ret != ZKSD_OK) {
        LOG_DBG(TAG, "ret=%d resync failed need reopen...\n", ret);
        ctx->fix_failed = 1;
        return ret;
    }
    ctx->send_count = idx + 1;
    LOG_DBG(TAG, "cmd_send_count=%lu resync ok\n", (unsigned long)ctx->send_count);
    return ZKSD_OK;
}

} // namespace zksd_imp

// ---- handles and records -------------------------------------------------------------------------

cli_ctx *cli_get_ctx(void *handle, int64_t *fd)
{
    if (!handle)
        return nullptr;
    uint32_t kind;
    memcpy(&kind, handle, sizeof kind);
    switch (kind) {
    case ZKSD_KIND_CTX:
        if (fd)
            *fd = 0;
        return (cli_ctx *)handle;
    case ZKSD_KIND_FILE:
        if (fd)
            *fd = ((cli_file_ctx *)handle)->fd;
        return ((cli_file_ctx *)handle)->ctx;
    case ZKSD_KIND_DIR:
        if (fd)
            *fd = ((cli_dir_ctx *)handle)->fd;
        return ((cli_dir_ctx *)handle)->ctx;
    default:
        LOG_ERR(TAG, "invalid handle\n");
        return nullptr;
    }
}

int zksd_cli_get_last_error(void *handle)
{
    cli_ctx *ctx = cli_get_ctx(handle, nullptr);
    return ctx && ctx->last_error ? ctx->last_error->code : -1;
}

const char *zksd_cli_errstr(void *handle)
{
    cli_ctx *ctx = cli_get_ctx(handle, nullptr);
    if (!ctx || !ctx->last_error)
        return "invalid handle";
    return vperror_str(ctx->last_error);
}

int zksd_cli_set_last_errno(void *handle, int code)
{
    cli_ctx *ctx = cli_get_ctx(handle, nullptr);
    if (!ctx || !ctx->last_error)
        return -1;
    VPERROR_SET(ctx->last_error, code, nullptr);
    return 0;
}

int zksd_cli_copy_last_error(void *handle, vperror_t *out)
{
    cli_ctx *ctx = cli_get_ctx(handle, nullptr);
    if (!ctx || !ctx->last_error || !out)
        return -1;
    vperror_copy(out, ctx->last_error);
    return 0;
}

int zksd_cli_get_os_type(cli_ctx *ctx, int *out)
{
    PL_ASSERT_RET(TAG, ctx && out, -1);
    *out = ctx->os_type;
    return 0;
}

int zksd_cli_get_info(cli_ctx *ctx, char *buf, size_t size)
{
    PL_ASSERT_RET(TAG, ctx && buf && size > 0, -1);
    return finish(ctx, info_request(ctx, buf, size));
}

int zksd_cli_ver_at_least(cli_ctx *ctx, const char *min)
{
    if (str_version_cmp(ctx->srv_ver, min) >= 0)
        return 1;
    gate_fail(ctx);
    return 0;
}

const char *zksd_cli_log_path(cli_ctx *ctx)
{
    PL_ASSERT_RET(TAG, ctx, nullptr);
    if (!zksd_cli_ver_at_least(ctx, "1.8.2"))
        return nullptr;
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return ctx->log_file;
}

int zksd_cli_is_ver_182(void *handle)
{
    cli_ctx *ctx = cli_get_ctx(handle, nullptr);
    return ctx ? ctx->ver_182 : 0;
}
