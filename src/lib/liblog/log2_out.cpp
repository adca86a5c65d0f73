// The handle's binary log output: records sent over UDP.
#include <mutex>

#include "libbsv/bsv.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2_imp.h"

// The handle's UDP output context is made on first open and freed by close.
int log2_bsv_open(log2_t *h, const char *url)
{
    if (!url)
        return -1;
    static std::mutex s_make_mu;
    log_bsv_t *ctx;
    {
        std::lock_guard<std::mutex> g(s_make_mu);
        if (!h->bsv.ctx)
            h->bsv.ctx = log_bsv_new();
        ctx = (log_bsv_t *)h->bsv.ctx;
    }
    if (!ctx)
        return -1;
    int r = log_bsv_udp_open(ctx, url);
    str_safecopy_trunc(h->bsv.url, sizeof(h->bsv.url), log_bsv_get_url(ctx));
    return r;
}

void log2_bsv_close(log2_t *h)
{
    log_bsv_free((log_bsv_t *)h->bsv.ctx);
    h->bsv.ctx = nullptr;
    h->bsv.url[0] = '\0';
}
