// Random sources: xorshift, values from rand(), the system's random source,
// random texts, GUIDs and the lagged generator.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libpal/basic/pl_assert.h"
#include "libpal/hash/pl_hash.h"

#define TAG "pal"

// ---- xorshift ---------------------------------------------------------------------

static constexpr uint64_t k_xorshift_default = 0x811c9dc5;
static std::atomic<uint64_t> s_xorshift_state{k_xorshift_default};

void pl_xorshift_seed(uint64_t seed)
{
    // A zero state stays zero for ever.
    uint64_t s = seed - 1;
    s_xorshift_state.store(s ? s : k_xorshift_default, std::memory_order_relaxed);
}

uint64_t pl_xorshift64(void)
{
    uint64_t x = s_xorshift_state.load(std::memory_order_relaxed);
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s_xorshift_state.store(x, std::memory_order_relaxed);
    return x;
}

uint32_t pl_xorshift32(void) { return (uint32_t)pl_xorshift64(); }

// ---- rand() based -------------------------------------------------------------------

uint32_t pl_random32(void)
{
    uint32_t r1 = (uint32_t)rand();
    uint32_t r2 = (uint32_t)rand();
    return r1 << 16 | (r2 & 0xffff);
}

uint64_t pl_random64(void)
{
    uint64_t hi = pl_random32();
    uint64_t lo = pl_random32();
    return hi << 32 | lo;
}

// Uniform value below span (1..2^32) from pl_random32 draws: draws at or
// above the largest multiple of span are thrown away. A run of rejections
// long enough to matter (2^-64 at worst) falls back to the plain remainder,
// so the loop always ends.
static uint32_t random_below(uint64_t span)
{
    if (span >= (1ull << 32))
        return pl_random32();
    uint64_t limit = (1ull << 32) - (1ull << 32) % span;
    uint32_t r = 0;
    for (int tries = 0; tries < 64; ++tries) {
        r = pl_random32();
        if (r < limit)
            break;
    }
    return (uint32_t)(r % span);
}

uint32_t pl_random_range(uint32_t low, uint32_t high)
{
    PL_ASSERT_RET(TAG, low < high, low);
    return low + random_below((uint64_t)high - low);
}

int32_t pl_random_range(int32_t low, int32_t high)
{
    PL_ASSERT_RET(TAG, low < high, low);
    uint64_t span = (uint64_t)((int64_t)high - (int64_t)low);
    return (int32_t)((int64_t)low + (int64_t)random_below(span));
}

// ---- random texts ---------------------------------------------------------------------

static char *random_text(char *buf, size_t size, const char *alphabet, size_t n)
{
    if (!buf || size < 2)
        return buf;
    for (size_t i = 0; i + 1 < size; ++i)
        buf[i] = alphabet[pl_xorshift32() % n];
    buf[size - 1] = '\0';
    return buf;
}

char *pl_random_alnum(char *buf, size_t size)
{
    static const char a[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    return random_text(buf, size, a, sizeof a - 1);
}

char *pl_random_hex(char *buf, size_t size)
{
    static const char a[] = "0123456789abcdef";
    return random_text(buf, size, a, sizeof a - 1);
}

// ---- system random source -------------------------------------------------------------

static bool read_urandom(uint8_t *p, size_t len)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, p + got, len - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(fd);
    return got == len;
}

int pl_random_sys(void *buf, size_t len)
{
    PL_ASSERT_RET(TAG, buf || len == 0, -1);
    uint8_t *p = (uint8_t *)buf;
    size_t got = 0;
    while (got < len) {
        ssize_t n = getrandom(p + got, len - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    if (got == len || read_urandom(p + got, len - got))
        return 0;
    LOG_WARN(TAG, "no system random source, weak random bytes used\n");
    for (size_t i = got; i < len; ++i)
        p[i] = (uint8_t)(pl_xorshift64() >> 24 ^ pl_random32());
    return -1;
}

// ---- GUIDs ----------------------------------------------------------------------------

void guid_get_buf(void *buf, size_t len)
{
    PL_ASSERT_HARD(TAG, len == 16);
    pl_random_sys(buf, len);
}

char *guid_fmt_str(const void *guid, char *out, size_t size)
{
    PL_ASSERT_HARD(TAG, size >= PL_GUID_MAX_STR);
    const uint8_t *g = (const uint8_t *)guid;
    uint32_t a = (uint32_t)g[0] | (uint32_t)g[1] << 8 | (uint32_t)g[2] << 16 | (uint32_t)g[3] << 24;
    unsigned w[6];
    for (int i = 0; i < 6; ++i)
        w[i] = (unsigned)g[4 + 2 * i] | (unsigned)g[5 + 2 * i] << 8;
    snprintf(out, size, "{%08X-%04X-%04X-%04X-%04X%04X%04X}", a, w[0], w[1], w[2], w[3], w[4], w[5]);
    return out;
}

char *guid_new_str(char *out, size_t size)
{
    uint8_t g[PL_GUID_SIZE];
    guid_get_buf(g, sizeof g);
    return guid_fmt_str(g, out, size);
}

// ---- lagged generator -----------------------------------------------------------------

namespace {
struct lagged_t {
    std::mutex mu;
    uint32_t r[31];
    int front = 3, rear = 0;
    bool seeded = false;
};
lagged_t &lagged()
{
    static lagged_t g;
    return g;
}
void lagged_seed_locked(lagged_t &g, uint32_t seed)
{
    uint64_t x = seed;
    for (int i = 0; i < 31; ++i) {
        g.r[i] = (uint32_t)x;
        x = x * 6364136223846793005ull + 1;
    }
    g.front = 3;
    g.rear = 0;
    g.seeded = true;
}
} // namespace

void pl_lagged_seed(uint32_t seed)
{
    lagged_t &g = lagged();
    std::lock_guard<std::mutex> lk(g.mu);
    lagged_seed_locked(g, seed);
}

uint32_t pl_lagged_next(void)
{
    lagged_t &g = lagged();
    std::lock_guard<std::mutex> lk(g.mu);
    if (!g.seeded)
        lagged_seed_locked(g, 1);
    g.r[g.front] += g.r[g.rear];
    uint32_t v = g.r[g.front] >> 1;
    g.front = (g.front + 1) % 31;
    g.rear = (g.rear + 1) % 31;
    return v;
}
