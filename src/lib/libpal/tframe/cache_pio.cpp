// Write-behind and read-ahead caches for positioned I/O.
#include "libpal/tframe/cache_pio.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

#define TAG "pal"

// Counts travel as int64_t; a buffer this large could not be reported as a
// byte count by the callers' 32-bit paths and is never sensible per handle.
static const uint64_t CACHE_MAX_SIZE = 0x7fffffffu;

// ---- memory budget -------------------------------------------------------------

static std::atomic<uint64_t> s_budget{CACHE_BUDGET_DEFAULT};
static std::atomic<uint64_t> s_used{0};

uint64_t cache_budget_set(uint64_t bytes) { return s_budget.exchange(bytes); }
uint64_t cache_budget_used(void) { return s_used.load(); }
static bool budget_take(uint64_t n);
static void budget_give(uint64_t n);

bool cache_budget_take(uint64_t n) { return budget_take(n); }
void cache_budget_give(uint64_t n) { budget_give(n); }

// Takes n bytes from the budget; false when they are not there.
static bool budget_take(uint64_t n)
{
    uint64_t used = s_used.load();
    do {
        if (used + n > s_budget.load() || used + n < used)
            return false;
    } while (!s_used.compare_exchange_weak(used, used + n));
    return true;
}

static void budget_give(uint64_t n) { s_used.fetch_sub(n); }

// Grows (or first makes) a buffer of *cap bytes to `want`, within the budget.
// false (buffer unchanged) when the budget or the allocator says no.
static bool buffer_grow(uint8_t **buf, uint64_t *cap, uint64_t want)
{
    if (want <= *cap)
        return true;
    if (!budget_take(want - *cap))
        return false;
    uint8_t *nb = (uint8_t *)os_realloc(*buf, (size_t)want);
    if (!nb) {
        budget_give(want - *cap);
        return false;
    }
    *buf = nb;
    *cap = want;
    return true;
}

static void buffer_drop(uint8_t **buf, uint64_t *cap)
{
    os_free(*buf);
    *buf = nullptr;
    budget_give(*cap);
    *cap = 0;
}

// ---- write-behind cache --------------------------------------------------------

// First buffer of a write cache; it doubles as data comes.
static const uint64_t WRITE_BUFFER_START = 16 * 1024;

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
    c->capacity = cfg->size;
    c->user = cfg->user;
    c->pwrite = cfg->pwrite;
    return c;
}

// Writes the held run out, keeping the buffer.
static int64_t pwrite_flush_run(cache_pwrite_t *ctx)
{
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

int64_t cache_pwrite_fflush(cache_pwrite_t *ctx)
{
    PL_ASSERT_RET(TAG, ctx != NULL, -1);
    int64_t r = pwrite_flush_run(ctx);
    // Nothing held: the buffer serves another handle until data comes again.
    if (r >= 0 && ctx->buffer)
        buffer_drop(&ctx->buffer, &ctx->cap);
    return r;
}

int64_t cache_pwrite(cache_pwrite_t *ctx, const void *data, uint64_t n, int64_t offset)
{
    PL_ASSERT_RET(TAG, ctx != NULL, -1);
    if (offset < 0 || (n && !data) || n > (uint64_t)INT64_MAX - (uint64_t)offset) {
        errno = EINVAL;
        return -1;
    }
    if (n >= ctx->capacity) {
        if (pwrite_flush_run(ctx) < 0)
            return -1;
        return ctx->pwrite(ctx->user, data, n, offset);
    }
    if (ctx->fill > 0) {
        bool joins = ctx->offset + (int64_t)ctx->fill == offset && ctx->fill + n <= ctx->capacity;
        if (!joins && pwrite_flush_run(ctx) < 0)
            return -1;
    }
    if (ctx->fill + n > ctx->cap) {
        // The buffer grows with the data it holds, doubling up to capacity.
        uint64_t want = ctx->cap * 2 > WRITE_BUFFER_START ? ctx->cap * 2 : WRITE_BUFFER_START;
        if (want < ctx->fill + n)
            want = ctx->fill + n;
        if (want > ctx->capacity)
            want = ctx->capacity;
        if (!buffer_grow(&ctx->buffer, &ctx->cap, want)) {
            // The budget is spent: what is held goes out, this goes through.
            if (pwrite_flush_run(ctx) < 0)
                return -1;
            return ctx->pwrite(ctx->user, data, n, offset);
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
    pwrite_flush_run(ctx);
    if (ctx->buffer)
        buffer_drop(&ctx->buffer, &ctx->cap);
    os_free(ctx);
    return 0;
}

// ---- read-ahead cache -------------------------------------------------------

// First read-ahead of a reader that goes on sequentially: four requests'
// worth, and never less than this. It is also the least distance from where
// the reader stands within which a read still counts as going on.
static const uint64_t READ_AHEAD_START = 128 * 1024;

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
    c->size = size;
    c->limit = cfg->limit;
    c->user = cfg->user;
    c->pread = cfg->pread;
    c->next = -1;
    return c;
}

// A jump: no read-ahead, and the buffer goes back to the budget.
static void pread_random(cache_pread_t *ctx)
{
    ctx->filled = 0;
    ctx->window = 0;
    if (ctx->buffer)
        buffer_drop(&ctx->buffer, &ctx->cap);
}

// Reads n bytes at offset straight into out; the count, or -1.
static int64_t pread_direct(cache_pread_t *ctx, uint8_t *out, uint64_t n, int64_t offset)
{
    int64_t r = ctx->pread(ctx->user, out, n, offset);
    if (r < 0)
        return -1;
    return (uint64_t)r > n ? (int64_t)n : r;
}

// Whether a read at offset goes on from where the reader stands: its first
// read at offset 0, or one that starts within the window (at least
// READ_AHEAD_START, at most the cache size) before or after the furthest
// byte read so far. The
// kernel's read-ahead asks for its pieces slightly out of order; they all
// count as going on.
static bool pread_in_stride(const cache_pread_t *ctx, int64_t offset)
{
    if (ctx->next == -1)
        return offset == 0;
    if (ctx->next < 0)
        return false;
    uint64_t slack = ctx->window > READ_AHEAD_START ? ctx->window : READ_AHEAD_START;
    if (slack > ctx->size)
        slack = ctx->size;
    const uint64_t d = offset >= ctx->next ? (uint64_t)(offset - ctx->next) : (uint64_t)(ctx->next - offset);
    return d <= slack;
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
    const int64_t start = offset;
    const bool stride = pread_in_stride(ctx, offset);
    const int64_t far = ctx->next;
    // Until this read has ended, where it ends is unknown.
    ctx->next = -2;
    // The furthest byte read: a read in stride never moves it back.
    auto ended = [&](int64_t end) { ctx->next = stride && far > end ? far : end; };
    if (n >= ctx->size) {
        ctx->filled = 0;
        int64_t r = pread_direct(ctx, out, n, offset);
        if (r >= 0)
            ended(start + r);
        return r;
    }

    // Serve what the held data has from this offset on, wherever in it the
    // read starts.
    uint64_t done = 0;
    if (ctx->filled && offset >= ctx->base && offset < ctx->base + (int64_t)ctx->filled) {
        uint64_t at = (uint64_t)(offset - ctx->base);
        uint64_t k = ctx->filled - at;
        if (k > n)
            k = n;
        memcpy(out, ctx->buffer + at, (size_t)k);
        done = k;
        if (done == n) {
            ended(start + (int64_t)n);
            return (int64_t)n;
        }
        offset += (int64_t)k;
    }
    uint64_t want = n - done;

    if (!stride)
        pread_random(ctx);
    else if (ctx->window == 0)
        ctx->window = n * 4 > READ_AHEAD_START ? n * 4 : READ_AHEAD_START;
    else
        ctx->window *= 2;
    if (ctx->window > ctx->size)
        ctx->window = ctx->size;

    // Read ahead, but not past the file size known at set-up.
    uint64_t len = ctx->window;
    if (ctx->limit) {
        uint64_t left = ctx->limit - ((uint64_t)offset < ctx->limit ? (uint64_t)offset : ctx->limit);
        if (left < len)
            len = left;
    }
    // A random reader, a read reaching the old end (the file may have grown
    // since, so the procedure is asked for all of it instead of answering end
    // of file from a stale size), a read-ahead no larger than the request, and
    // a cache the budget gives no buffer: the request at its own size.
    if (len <= want || !buffer_grow(&ctx->buffer, &ctx->cap, len)) {
        int64_t r = pread_direct(ctx, out + done, want, offset);
        if (r < 0)
            return -1;
        ended(start + (int64_t)done + r);
        return (int64_t)done + r;
    }
    // The held data is replaced: until the procedure answers it is none.
    ctx->filled = 0;
    int64_t r = ctx->pread(ctx->user, ctx->buffer, len, offset);
    if (r < 0)
        return -1;
    uint64_t got = (uint64_t)r > len ? len : (uint64_t)r;
    uint64_t m = got < want ? got : want;
    memcpy(out + done, ctx->buffer, (size_t)m);
    ctx->base = offset;
    ctx->filled = got;
    done += m;
    ended(start + (int64_t)done);
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
    if (ctx->buffer)
        buffer_drop(&ctx->buffer, &ctx->cap);
    os_free(ctx);
    return 0;
}
