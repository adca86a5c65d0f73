// Random fill, memory start-up, packing texts and buffers, and mem_buf_t.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/memory/pl_mem.h"

#define TAG "pal"

// ---- random fill --------------------------------------------------------------

int64_t memory_random_imp(int mode, void *buf, size_t n)
{
    PL_ASSERT_RET(TAG, buf, -1);
    if (n == 0)
        return 0;
    uint8_t *p = (uint8_t *)buf;
    size_t words = n / 8;
    for (size_t i = 0; i < words; ++i) {
        uint64_t v = mode == 0 ? pl_xorshift64() : pl_random64();
        memcpy(p + 8 * i, &v, 8);
    }
    size_t rest = n % 8;
    if (rest) {
        uint64_t v = mode == 0 ? pl_xorshift64() : pl_random64();
        // Low-order bytes first, whatever the byte order of the host.
        for (size_t i = 0; i < rest; ++i)
            p[8 * words + i] = (uint8_t)(v >> (8 * i));
    }
    return (int64_t)n;
}

int64_t memory_random(void *buf, size_t n) { return memory_random_imp(0, buf, n); }

int64_t memory_random_libc(void *buf, size_t n)
{
    srand((unsigned)(os_clock_ms() & 0xffffffffu));
    return memory_random_imp(1, buf, n);
}

// ---- start-up -----------------------------------------------------------------

static uint32_t s_pagesize;
static uint32_t s_pageshift;
static uint64_t s_total_ram;

int mem_init(void)
{
    long ps = sysconf(_SC_PAGESIZE);
    if (ps < 1) {
        LOG_WARN(TAG, "mem_pagesize get failed fix=4096\n");
        ps = 4096;
    }
    uint32_t shift = 0;
    while (shift < 31 && ((uint64_t)1 << (shift + 1)) <= (uint64_t)ps)
        ++shift;
    s_pagesize = (uint32_t)ps;
    s_pageshift = shift;
    LOG_VERB(TAG, "pagesize=%d\n", (int)ps);
    long pages = sysconf(_SC_PHYS_PAGES);
    s_total_ram = pages > 0 ? (uint64_t)pages * (uint64_t)ps : 0;
    return 0;
}

uint32_t mem_get_pagesize(void)
{
    if (!s_pagesize)
        mem_init();
    return s_pagesize;
}

uint32_t mem_get_pageshift(void)
{
    if (!s_pagesize)
        mem_init();
    return s_pageshift;
}

uint64_t mem_get_total_ram(void)
{
    if (!s_pagesize)
        mem_init();
    return s_total_ram;
}

// ---- packing ------------------------------------------------------------------

// Copies one piece into buf at *used. A piece that does not fit is an error
// (strict) or cut to the space left (lenient); a piece that reaches the end
// of buf leaves its last byte 0. Returns 1 to go on, 0 to stop, -1 on error.
static int pack_piece(uint8_t *buf, size_t n, size_t *used, const void *src, size_t slen, int strict)
{
    size_t blen = n - *used;
    if (slen > blen) {
        if (strict)
            PL_ASSERT_RET(TAG, slen <= blen, -1);
        slen = blen;
    }
    memcpy(buf + *used, src, slen);
    *used += slen;
    if (*used == n && !strict) {
        if (n)
            buf[n - 1] = 0;
        return 0;
    }
    return 1;
}

static int64_t pack_strv(void *buf, size_t n, int strict, va_list va)
{
    PL_ASSERT_RET(TAG, buf, -1);
    size_t used = 0;
    for (const char *s = va_arg(va, const char *); s; s = va_arg(va, const char *)) {
        int r = pack_piece((uint8_t *)buf, n, &used, s, strlen(s) + 1, strict);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
    }
    return (int64_t)used;
}

int64_t mem_add_strv(void *buf, size_t n, ...)
{
    va_list va;
    va_start(va, n);
    int64_t r = pack_strv(buf, n, 1, va);
    va_end(va);
    return r;
}

int64_t mem_add_strv_trunc(void *buf, size_t n, ...)
{
    va_list va;
    va_start(va, n);
    int64_t r = pack_strv(buf, n, 0, va);
    va_end(va);
    return r;
}

static int64_t pack_bufv(void *buf, size_t n, const mem_bufv_t *pairs, size_t count, int strict)
{
    PL_ASSERT_RET(TAG, buf, -1);
    PL_ASSERT_RET(TAG, pairs || count == 0, -1);
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        int r = pack_piece((uint8_t *)buf, n, &used, pairs[i].data, pairs[i].len, strict);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
    }
    return (int64_t)used;
}

int64_t mem_add_bufv(void *buf, size_t n, const mem_bufv_t *pairs, size_t count)
{
    return pack_bufv(buf, n, pairs, count, 1);
}

int64_t mem_add_bufv_trunc(void *buf, size_t n, const mem_bufv_t *pairs, size_t count)
{
    return pack_bufv(buf, n, pairs, count, 0);
}

// ---- mem_buf_t ----------------------------------------------------------------

void mem_buf_zero(mem_buf_t *b) { memset(b, 0, sizeof(*b)); }

int mem_buf_init(mem_buf_t *b, uint64_t n)
{
    mem_buf_zero(b);
    return mem_buf_reserve(b, n);
}

int mem_buf_reserve(mem_buf_t *b, uint64_t n)
{
    if (b->cap >= n)
        return 0;
    if (n > UINT64_MAX - 4095 || n + 4095 > SIZE_MAX)
        return -1;
    uint64_t cap = (n + 4095) & ~(uint64_t)4095;
    uint8_t *p = (uint8_t *)os_realloc(b->data, (size_t)cap);
    if (!p)
        return -1;
    // A buffer that had no data yet must still read as an empty text.
    if (!b->data)
        p[0] = 0;
    b->data = p;
    b->cap = cap;
    return 0;
}

int mem_buf_append(mem_buf_t *b, const void *data, uint64_t n)
{
    if (n && !data)
        return -1;
    if (b->cap == 0 && mem_buf_reserve(b, 4096) < 0)
        return -1;
    if (n > UINT64_MAX / 2 - 1 - b->len)
        return -1;
    uint64_t need = b->len + n + 1;
    if (need > b->cap && mem_buf_reserve(b, 2 * need) < 0)
        return -1;
    if (n)
        memcpy(b->data + b->len, data, (size_t)n);
    b->len += n;
    b->data[b->len] = 0;
    return 0;
}

int mem_buf_set_len(mem_buf_t *b, uint64_t n)
{
    // One byte more than asked, so the terminating NUL always has a place.
    if (n == UINT64_MAX || mem_buf_reserve(b, n + 1) < 0)
        return -1;
    b->len = n;
    b->data[n] = 0;
    return 0;
}

void mem_buf_reset(mem_buf_t *b)
{
    b->len = 0;
    if (b->data)
        b->data[0] = 0;
}

void mem_buf_free(mem_buf_t *b)
{
    os_free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
}
