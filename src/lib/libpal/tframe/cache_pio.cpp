// Write-behind and read-ahead caches for positioned I/O.
#include "libpal/tframe/cache_pio.h"

#include <cerrno>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

#define TAG "pal"

// Counts travel as int64_t; a buffer this large could not be reported as a
// byte count by the callers' 32-bit paths and is never sensible per handle.
static const uint64_t CACHE_MAX_SIZE = 0x7fffffffu;

// ---- write-behind cache --------------------------------------------------------

cache_pwrite_t *cache_pwrite_open(const cache_pwrite_cfg_t *cfg)
{
    PL_ASSERT_RET(TAG, cfg && cfg->pwrite, nullptr);
    if (cfg->size == 0 || cfg->size > CACHE_MAX_SIZE) {
        LOG_ERR(TAG, "size=%llu invalid write cache size\n", (unsigned long long)cfg->size);
        return nullptr;
    }
    cache_pwrite_t *c = (cache_pwrite_t *)os_zalloc(sizeof(cache_pwrite_t));
    if (!c)
        return nullptr;
    c->buffer = (uint8_t *)os_malloc((size_t)cfg->size);
    if (!c->buffer) {
        os_free(c);
        return nullptr;
    }
    c->capacity = cfg->size;
    c->user = cfg->user;
    c->pwrite = cfg->pwrite;
    return c;
}

int64_t cache_pwrite_fflush(cache_pwrite_t *ctx)
{
    PL_ASSERT_RET(TAG, ctx != NULL, -1);
    int64_t written = 0;
    while (ctx->fill > 0) {
        int64_t r = ctx->pwrite(ctx->user, ctx->buffer, ctx->fill, ctx->offset);
        if (r <= 0) {
            // A write that moves nothing would be retried for ever; the
            // unwritten bytes stay held for a later flush or close.
            if (r == 0)
                errno = EIO;
            return -1;
        }
        uint64_t done = (uint64_t)r > ctx->fill ? ctx->fill : (uint64_t)r;
        ctx->fill -= done;
        ctx->offset += (int64_t)done;
        if (ctx->fill)
            memmove(ctx->buffer, ctx->buffer + done, (size_t)ctx->fill);
        written += (int64_t)done;
    }
    return written;
}

int64_t cache_pwrite(cache_pwrite_t *ctx, const void *data, uint64_t n, int64_t offset)
{
    PL_ASSERT_RET(TAG, ctx != NULL, -1);
    if (offset < 0 || (n && !data) || n > (uint64_t)INT64_MAX - (uint64_t)offset) {
        errno = EINVAL;
        return -1;
    }
    if (n >= ctx->capacity) {
        if (cache_pwrite_fflush(ctx) < 0)
            return -1;
        return ctx->pwrite(ctx->user, data, n, offset);
    }
    if (ctx->fill > 0) {
        bool joins = ctx->offset + (int64_t)ctx->fill == offset && ctx->fill + n <= ctx->capacity;
        if (!joins) {
            if (cache_pwrite_fflush(ctx) < 0)
                return -1;
        }
    }
    if (ctx->fill == 0)
        ctx->offset = offset;
    memcpy(ctx->buffer + ctx->fill, data, (size_t)n);
    ctx->fill += n;
    return (int64_t)n;
}

int cache_pwrite_close(cache_pwrite_t *ctx)
{
    PL_ASSERT_RET(TAG, ctx != NULL, -1);
    cache_pwrite_fflush(ctx);
    os_free(ctx->buffer);
    os_free(ctx);
    return 0;
}

// ---- read-ahead cache -------------------------------------------------------

cache_pread_t *cache_pread_open(const cache_pread_cfg_t *cfg)
{
    PL_ASSERT_RET(TAG, cfg && cfg->pread, nullptr);
    uint64_t size = cfg->size ? cfg->size : 0x200000;
    if (size > CACHE_MAX_SIZE) {
        LOG_ERR(TAG, "size=%llu invalid read cache size\n", (unsigned long long)size);
        return nullptr;
    }
    cache_pread_t *c = (cache_pread_t *)os_zalloc(sizeof(cache_pread_t));
    if (!c)
        return nullptr;
    c->buffer = (uint8_t *)os_malloc((size_t)size);
    if (!c->buffer) {
        os_free(c);
        return nullptr;
    }
    c->size = size;
    c->limit = cfg->limit;
    c->user = cfg->user;
    c->pread = cfg->pread;
    return c;
}

int64_t cache_pread(cache_pread_t *ctx, void *buf, uint64_t n, int64_t offset)
{
    PL_ASSERT_RET(TAG, ctx != NULL, -1);
    if (offset < 0 || (n && !buf) || n > (uint64_t)INT64_MAX - (uint64_t)offset) {
        errno = EINVAL;
        return -1;
    }
    uint8_t *out = (uint8_t *)buf;
    if (n == 0)
        return 0;
    if (n >= ctx->size) {
        ctx->filled = 0;
        return ctx->pread(ctx->user, buf, n, offset);
    }

    // Serve what the held data has at exactly this offset.
    uint64_t done = 0;
    if (ctx->filled) {
        if (ctx->base + (int64_t)ctx->pos == offset) {
            uint64_t k = ctx->filled - ctx->pos;
            if (k > n)
                k = n;
            memcpy(out, ctx->buffer + ctx->pos, (size_t)k);
            ctx->pos += k;
            if (ctx->pos >= ctx->filled)
                ctx->filled = 0;
            done = k;
            if (done == n)
                return (int64_t)n;
            offset += (int64_t)k;
        } else {
            ctx->filled = 0;
        }
    }
    uint64_t want = n - done;

    // Read ahead, but not past the file size known at set-up.
    uint64_t len = ctx->size;
    bool cut = false;
    if (ctx->limit) {
        uint64_t left = ctx->limit - ((uint64_t)offset < ctx->limit ? (uint64_t)offset : ctx->limit);
        if (left < len) {
            len = left;
            cut = true;
        }
    }
    if (len == 0) {
        // At or past the old end: the file may have grown since, so ask the
        // procedure directly instead of answering end of file from stale size.
        int64_t r = ctx->pread(ctx->user, out + done, want, offset);
        if (r < 0)
            return -1;
        return (int64_t)done + r;
    }
    int64_t r = ctx->pread(ctx->user, ctx->buffer, len, offset);
    if (r < 0)
        return -1;
    uint64_t got = (uint64_t)r > len ? len : (uint64_t)r;
    uint64_t m = got < want ? got : want;
    memcpy(out + done, ctx->buffer, (size_t)m);
    ctx->base = offset;
    ctx->pos = m;
    ctx->filled = m >= got ? 0 : got;
    done += m;

    if (m < want && cut && got == len) {
        // The read-ahead stopped at the old end and found it all there; the
        // rest of the request lies past it and goes to the procedure.
        int64_t r2 = ctx->pread(ctx->user, out + done, want - m, offset + (int64_t)m);
        if (r2 > 0)
            done += (uint64_t)r2 > want - m ? want - m : (uint64_t)r2;
    }
    return (int64_t)done;
}

int cache_pread_invalidate(cache_pread_t *ctx)
{
    if (ctx)
        ctx->filled = 0;
    return 0;
}

int cache_pread_close(cache_pread_t *ctx)
{
    if (!ctx)
        return 0;
    os_free(ctx->buffer);
    os_free(ctx);
    return 0;
}
