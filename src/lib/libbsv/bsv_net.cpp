// UDP output of the log handle and its "bsvnet" connect thread.
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "libbsv/bsv.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"

#define TAG "bsv"

struct log_bsv_t {
    std::mutex op_mu; // one open or close at a time
    char url[4096];
    char host[256];
    int port;
    // Shared with the thread and the output, under mu.
    std::mutex mu;
    int fd;             // connected UDP socket, -1 none
    bool connecting;    // the thread has not finished its connect yet
    os_thread_t *th;    // the connect thread, joined by close or reopen
    int kept_len;       // packet kept while connecting (0 none)
    unsigned kept_lw;
    uint8_t kept[BSV_NET_KEEP_MAX];
};

namespace {

// A connected UDP socket to host:port, or -1. It must not log: close waits
// for this thread while the log's mutex is held.
int udp_connect(const char *host, int port)
{
    char service[16];
    snprintf(service, sizeof(service), "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, service, &hints, &res) != 0 || !res)
        return -1;
    int fd = -1;
    for (addrinfo *a = res; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    return fd;
}

} // namespace

bsv_connect_fn bsv_net_connect = udp_connect;

namespace {

void *bsvnet_main(void *arg)
{
    log_bsv_t *ctx = (log_bsv_t *)arg;
    char host[sizeof(ctx->host)];
    int port;
    {
        std::lock_guard<std::mutex> g(ctx->mu);
        memcpy(host, ctx->host, sizeof(host));
        port = ctx->port;
    }
    int fd = bsv_net_connect(host, port);
    std::lock_guard<std::mutex> g(ctx->mu);
    ctx->fd = fd;
    ctx->connecting = false;
    if (fd >= 0 && ctx->kept_len > 0)
        send(fd, ctx->kept, (size_t)ctx->kept_len, MSG_DONTWAIT | MSG_NOSIGNAL);
    ctx->kept_len = 0;
    return nullptr;
}

// Waits for the connect thread (when there is one) and frees its handle.
void join_thread(log_bsv_t *ctx)
{
    os_thread_t *th;
    {
        std::lock_guard<std::mutex> g(ctx->mu);
        th = ctx->th;
        ctx->th = nullptr;
    }
    if (th) {
        os_thread_wait(th, UINT32_MAX, nullptr);
        os_thread_detach(th);
    }
}

} // namespace

int log_bsv_init(log_bsv_t *ctx)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    std::lock_guard<std::mutex> g(ctx->mu);
    ctx->url[0] = 0;
    ctx->host[0] = 0;
    ctx->port = BSV_DEFAULT_PORT;
    ctx->fd = -1;
    ctx->connecting = false;
    ctx->th = nullptr;
    ctx->kept_len = 0;
    ctx->kept_lw = 0;
    return 0;
}

log_bsv_t *log_bsv_new(void)
{
    log_bsv_t *ctx = new (std::nothrow) log_bsv_t;
    if (ctx)
        log_bsv_init(ctx);
    return ctx;
}

void log_bsv_free(log_bsv_t *ctx)
{
    if (!ctx)
        return;
    log_bsv_close(ctx);
    delete ctx;
}

int log_bsv_udp_open(log_bsv_t *ctx, const char *url)
{
    PL_ASSERT_RET(TAG, ctx && url, -1);
    std::lock_guard<std::mutex> op(ctx->op_mu);
    // Opening again: the earlier output and its thread are done with first.
    bsv_unset_net_callback(ctx);
    join_thread(ctx);
    {
        std::lock_guard<std::mutex> g(ctx->mu);
        if (ctx->fd >= 0)
            close(ctx->fd);
        ctx->fd = -1;
        ctx->kept_len = 0;
        ctx->connecting = false;
        ctx->url[0] = 0;
    }

    url_rec u;
    char buf[URL_TEXT_SIZE];
    if (url_parser(&u, buf, url) != 0) {
        LOG_DBG(TAG, "url_parser%s failed\n", url);
        return -1;
    }
    int port = u.port ? (int)u.port : (int)BSV_DEFAULT_PORT;
    if (!u.host[0] || strlen(u.host) >= sizeof(ctx->host) || strlen(url) >= sizeof(ctx->url)) {
        LOG_DBG(TAG, "url_parser%s failed\n", url);
        return -1;
    }
    if (strcasecmp(u.protocol, "udps") == 0)
        bsv_set_encrypt(1);

    {
        std::lock_guard<std::mutex> g(ctx->mu);
        memcpy(ctx->host, u.host, strlen(u.host) + 1);
        ctx->port = port;
        memcpy(ctx->url, url, strlen(url) + 1);
        ctx->connecting = true;
    }
    // Not under mu: the thread takes it, and the output lock comes before it.
    os_thread_t *th = os_thread_init2("bsvnet", bsvnet_main, ctx, 0, nullptr);
    {
        std::lock_guard<std::mutex> g(ctx->mu);
        ctx->th = th;
        if (!th) {
            ctx->connecting = false;
            ctx->url[0] = 0;
            return -1;
        }
    }
    bsv_set_net_callback(log_bsv_net_cb, ctx);
    return 0;
}

int log_bsv_net_cb(unsigned level_word, const void *pkt, int len, void *arg)
{
    log_bsv_t *ctx = (log_bsv_t *)arg;
    if (!ctx || !pkt || len <= 0)
        return 0;
    std::lock_guard<std::mutex> g(ctx->mu);
    if (ctx->connecting) {
        // The first packet waits for the connection; later ones are lost.
        if (ctx->kept_len == 0 && len <= BSV_NET_KEEP_MAX) {
            memcpy(ctx->kept, pkt, (size_t)len);
            ctx->kept_len = len;
            ctx->kept_lw = level_word;
        }
        return 0;
    }
    if (ctx->fd < 0)
        return 0;
    return (int)send(ctx->fd, pkt, (size_t)len, MSG_DONTWAIT | MSG_NOSIGNAL);
}

int log_bsv_close(log_bsv_t *ctx)
{
    PL_ASSERT_RET(TAG, ctx, -1);
    std::lock_guard<std::mutex> op(ctx->op_mu);
    bsv_unset_net_callback(ctx);
    join_thread(ctx);
    std::lock_guard<std::mutex> g(ctx->mu);
    if (ctx->fd >= 0)
        close(ctx->fd);
    ctx->fd = -1;
    ctx->kept_len = 0;
    ctx->connecting = false;
    ctx->url[0] = 0;
    return 0;
}

const char *log_bsv_get_url(const log_bsv_t *ctx) { return ctx ? ctx->url : ""; }
