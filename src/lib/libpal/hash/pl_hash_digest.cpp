// SHA-1 and MD5 with the text form of their running state, and RC4.
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/hash/pl_hash.h"

#define TAG "pal"

namespace {

inline uint32_t rol32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Adds len bytes to a bit count held as two words, low word first, and
// returns the buffer position before the addition.
size_t count_add(uint32_t count[2], size_t len)
{
    size_t pos = (count[0] >> 3) & 63;
    uint64_t bits = ((uint64_t)count[1] << 32 | count[0]) + ((uint64_t)len << 3);
    count[0] = (uint32_t)bits;
    count[1] = (uint32_t)(bits >> 32);
    return pos;
}

// ---- SHA-1 ------------------------------------------------------------------------

void sha1_block(uint32_t st[5], const uint8_t *p)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = rol32(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3], e = st[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rol32(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol32(b, 30);
        b = a;
        a = t;
    }
    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
    st[4] += e;
}

// ---- MD5 --------------------------------------------------------------------------

constexpr uint32_t k_md5_k[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int k_md5_r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,
                             14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                             4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

void md5_block(uint32_t st[4], const uint8_t *p)
{
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = (uint32_t)p[4 * i] | (uint32_t)p[4 * i + 1] << 8 | (uint32_t)p[4 * i + 2] << 16 |
               (uint32_t)p[4 * i + 3] << 24;
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rol32(a + f + k_md5_k[i] + m[g], k_md5_r[i]);
        a = t;
    }
    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
}

// Shared buffering of the two digests (64-byte blocks).
template <typename B> void digest_update(uint32_t *st, uint32_t count[2], uint8_t buffer[64], const void *data,
                                         size_t len, B block)
{
    const uint8_t *p = (const uint8_t *)data;
    size_t pos = count_add(count, len);
    if (pos) {
        size_t take = 64 - pos < len ? 64 - pos : len;
        memcpy(buffer + pos, p, take);
        p += take;
        len -= take;
        if (pos + take < 64)
            return;
        block(st, buffer);
    }
    for (; len >= 64; p += 64, len -= 64)
        block(st, p);
    memcpy(buffer, p, len);
}

// Pads the message, appends its bit length (big- or little-endian) and
// writes the state words in the same byte order into digest.
template <typename B> void digest_finish(uint32_t *st, int nst, uint32_t count[2], uint8_t buffer[64], B block,
                                         bool big_endian, uint8_t *digest)
{
    const uint64_t bits = (uint64_t)count[1] << 32 | count[0];
    uint8_t len8[8];
    for (int i = 0; i < 8; ++i)
        len8[i] = (uint8_t)(bits >> (big_endian ? 56 - 8 * i : 8 * i));
    static const uint8_t pad[64] = {0x80};
    size_t pos = (count[0] >> 3) & 63;
    digest_update(st, count, buffer, pad, pos < 56 ? 56 - pos : 120 - pos, block);
    digest_update(st, count, buffer, len8, 8, block);
    for (int i = 0; i < 4 * nst; ++i)
        digest[i] = (uint8_t)(st[i / 4] >> (big_endian ? 24 - 8 * (i % 4) : 8 * (i % 4)));
}

// Text of the running state: words, counts, buffer bytes, "%x" each, ','
// between. 0, or -1 with the text emptied.
int state_str(const uint32_t *st, int nst, const uint32_t count[2], const uint8_t buffer[64], char *text, size_t size)
{
    PL_ASSERT_RET(TAG, text && size > 0, -1);
    size_t len = 0;
    auto add = [&](unsigned v) {
        int r = snprintf(text + len, size - len, len ? ",%x" : "%x", v);
        if (r < 0 || (size_t)r >= size - len)
            return false;
        len += (size_t)r;
        return true;
    };
    bool ok = true;
    for (int i = 0; ok && i < nst; ++i)
        ok = add(st[i]);
    for (int i = 0; ok && i < 2; ++i)
        ok = add(count[i]);
    for (int i = 0; ok && i < 64; ++i)
        ok = add(buffer[i]);
    if (!ok) {
        text[0] = '\0';
        return -1;
    }
    return 0;
}

// Parses one field of 1..maxdig hex digits ending at ',' or the end of the
// text. Advances *pp past the separator. false for anything else.
bool hex_field(const char **pp, int maxdig, uint32_t *out)
{
    const char *p = *pp;
    uint32_t v = 0;
    int n = 0;
    for (; *p && *p != ','; ++p, ++n) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else
            return false;
        if (n == maxdig)
            return false;
        v = v << 4 | (uint32_t)d;
    }
    if (n == 0)
        return false;
    *out = v;
    *pp = *p ? p + 1 : p;
    return true;
}

// Loads words, counts and buffer; all or nothing.
int state_load(uint32_t *st, int nst, uint32_t count[2], uint8_t buffer[64], const char *text)
{
    PL_ASSERT_RET(TAG, text, -1);
    uint32_t w[5 + 2 + 64];
    const int total = nst + 2 + 64;
    const char *p = text;
    for (int i = 0; i < total; ++i) {
        bool last = i == total - 1;
        const char *before = p;
        if (!hex_field(&p, i < nst + 2 ? 8 : 2, &w[i]))
            return -1;
        // Every field but the last ends at ','; the last ends the text.
        if (last ? *p != '\0' || p[-1] == ',' : (p == before || p[-1] != ','))
            return -1;
    }
    memcpy(st, w, sizeof(uint32_t) * (size_t)nst);
    count[0] = w[nst];
    count[1] = w[nst + 1];
    for (int i = 0; i < 64; ++i)
        buffer[i] = (uint8_t)w[nst + 2 + i];
    return 0;
}

} // namespace

void sha1_init(sha1_ctx_t *ctx)
{
    memset(ctx, 0, sizeof *ctx);
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
}

void sha1_update(sha1_ctx_t *ctx, const void *data, size_t len)
{
    if (len)
        digest_update(ctx->state, ctx->count, ctx->buffer, data, len, sha1_block);
}

void sha1_final(sha1_ctx_t *ctx, uint8_t digest[SHA1_DIGEST_SIZE])
{
    digest_finish(ctx->state, 5, ctx->count, ctx->buffer, sha1_block, true, digest);
    memset(ctx, 0, sizeof *ctx);
}

void hash_sha1(const void *data, size_t len, uint8_t digest[SHA1_DIGEST_SIZE])
{
    sha1_ctx_t ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, data, len);
    sha1_final(&ctx, digest);
}

int sha1_state_str(const sha1_ctx_t *ctx, char *text, size_t size)
{
    return state_str(ctx->state, 5, ctx->count, ctx->buffer, text, size);
}

int sha1_state_load(sha1_ctx_t *ctx, const char *text)
{
    return state_load(ctx->state, 5, ctx->count, ctx->buffer, text);
}

void md5_init(md5_ctx_t *ctx)
{
    memset(ctx, 0, sizeof *ctx);
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
}

void md5_update(md5_ctx_t *ctx, const void *data, size_t len)
{
    if (len)
        digest_update(ctx->state, ctx->count, ctx->buffer, data, len, md5_block);
}

void md5_final(md5_ctx_t *ctx, uint8_t digest[MD5_DIGEST_SIZE])
{
    digest_finish(ctx->state, 4, ctx->count, ctx->buffer, md5_block, false, ctx->digest);
    memcpy(digest, ctx->digest, MD5_DIGEST_SIZE);
    memset(ctx, 0, sizeof *ctx);
}

void hash_md5(const void *data, size_t len, uint8_t digest[MD5_DIGEST_SIZE])
{
    md5_ctx_t ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, len);
    md5_final(&ctx, digest);
}

int md5_state_str(const md5_ctx_t *ctx, char *text, size_t size)
{
    return state_str(ctx->state, 4, ctx->count, ctx->buffer, text, size);
}

int md5_state_load(md5_ctx_t *ctx, const char *text)
{
    return state_load(ctx->state, 4, ctx->count, ctx->buffer, text);
}

char *hash_md5_str(const char *text, char (&out)[MD5_HEX_SIZE])
{
    out[0] = '\0';
    if (!text || !*text)
        return out;
    uint8_t d[MD5_DIGEST_SIZE];
    hash_md5(text, strlen(text), d);
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < MD5_DIGEST_SIZE; ++i) {
        out[2 * i] = hex[d[i] >> 4];
        out[2 * i + 1] = hex[d[i] & 15];
    }
    out[32] = '\0';
    return out;
}

// ---- RC4 ----------------------------------------------------------------------------

void rc4_init(rc4_state_t *st, const void *key, size_t key_len)
{
    for (int i = 0; i < 256; ++i)
        st->S[i] = (uint8_t)i;
    st->i = st->j = 0;
    PL_ASSERT_RET_VOID(TAG, key && key_len > 0);
    const uint8_t *k = (const uint8_t *)key;
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (uint8_t)(j + st->S[i] + k[(size_t)i % key_len]);
        uint8_t t = st->S[i];
        st->S[i] = st->S[j];
        st->S[j] = t;
    }
}

void rc4_crypt(rc4_state_t *st, const void *in, void *out, size_t len)
{
    const uint8_t *src = (const uint8_t *)in;
    uint8_t *dst = (uint8_t *)out;
    uint8_t i = 0, j = 0; // restart at 0 on every call; S carries over
    for (size_t n = 0; n < len; ++n) {
        i = (uint8_t)(i + 1);
        j = (uint8_t)(j + st->S[i]);
        uint8_t t = st->S[i];
        st->S[i] = st->S[j];
        st->S[j] = t;
        dst[n] = src[n] ^ st->S[(uint8_t)(st->S[i] + st->S[j])];
    }
}
