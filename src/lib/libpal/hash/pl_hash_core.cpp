// Table-driven CRCs and the file checksums.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/vfile/os_file2.h"

#define TAG "pal"

namespace {

constexpr std::array<uint8_t, 256> make_crc8_table()
{
    std::array<uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t c = (uint8_t)i;
        for (int b = 0; b < 8; ++b)
            c = (c & 0x80) ? (uint8_t)((c << 1) ^ 0x07) : (uint8_t)(c << 1);
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint16_t, 256> make_crc16_table()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = (uint16_t)(i << 8);
        for (int b = 0; b < 8; ++b)
            c = (c & 0x8000) ? (uint16_t)((c << 1) ^ 0x8005) : (uint16_t)(c << 1);
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> make_crc32_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int b = 0; b < 8; ++b)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint64_t, 256> make_crc64_table()
{
    std::array<uint64_t, 256> t{};
    for (uint64_t i = 0; i < 256; ++i) {
        uint64_t c = i;
        for (int b = 0; b < 8; ++b)
            c = (c & 1) ? (c >> 1) ^ 0x95AC9329AC4BC9B5ull : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr auto k_crc8 = make_crc8_table();
constexpr auto k_crc16 = make_crc16_table();
constexpr auto k_crc32 = make_crc32_table();
constexpr auto k_crc64 = make_crc64_table();

constexpr size_t k_file_block = 0x200000;

} // namespace

uint8_t hash_crc8(const void *data, size_t len, uint8_t initial)
{
    PL_ASSERT_RET(TAG, data, 0);
    const uint8_t *p = (const uint8_t *)data;
    uint8_t crc = initial;
    for (size_t i = 0; i < len; ++i)
        crc = k_crc8[crc ^ p[i]];
    return crc;
}

uint16_t hash_crc16(const void *data, size_t len, uint16_t initial)
{
    // Exchange the bytes of the start value, run the MSB-first CRC, exchange
    // the bytes of the result.
    uint16_t crc = (uint16_t)((initial >> 8) | (initial << 8));
    const uint8_t *p = (const uint8_t *)data;
    for (size_t i = 0; i < len; ++i)
        crc = (uint16_t)((crc << 8) ^ k_crc16[((crc >> 8) ^ p[i]) & 0xff]);
    return (uint16_t)((crc >> 8) | (crc << 8));
}

uint32_t hash_crc32(const void *data, size_t len, uint32_t previous)
{
    const uint8_t *p = (const uint8_t *)data;
    uint32_t crc = ~previous;
    for (size_t i = 0; i < len; ++i)
        crc = k_crc32[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

const char *hash_crc32_text(const void *data, size_t len)
{
    static thread_local char text[9];
    snprintf(text, sizeof text, "%x", hash_crc32(data, len, 0));
    return text;
}

uint64_t hash_crc64(const void *data, size_t len, uint64_t initial)
{
    const uint8_t *p = (const uint8_t *)data;
    uint64_t crc = initial;
    for (size_t i = 0; i < len; ++i)
        crc = k_crc64[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

// Feeds every block of the file to `eat` until the end of the file. 0, or -1
// with errno set.
template <typename F> static int hash_file_blocks(const char *path, F eat)
{
    os_file_t *f = os_file_open(path, OS_FILE_READ);
    if (!f)
        return -1;
    uint8_t *buf = (uint8_t *)os_malloc(k_file_block);
    int ret = -1;
    if (!buf) {
        errno = ENOMEM;
        goto out;
    }
    for (;;) {
        int64_t n = os_file_read(f, buf, k_file_block);
        if (n < 0)
            goto out;
        if (n == 0)
            break;
        eat(buf, (size_t)n);
    }
    ret = 0;
out:
    int eno = errno;
    os_free(buf);
    os_file_close(f);
    errno = eno;
    return ret;
}

int hash_crc32_file(const char *path, uint32_t *result)
{
    PL_ASSERT_RET(TAG, path && result, -1);
    uint32_t crc = 0;
    if (hash_file_blocks(path, [&](const uint8_t *p, size_t n) { crc = hash_crc32(p, n, crc); }) != 0)
        return -1;
    *result = crc;
    return 0;
}

int hash_md5_file(const char *path, uint8_t digest[MD5_DIGEST_SIZE])
{
    PL_ASSERT_RET(TAG, path && digest, -1);
    md5_ctx_t ctx;
    md5_init(&ctx);
    if (hash_file_blocks(path, [&](const uint8_t *p, size_t n) { md5_update(&ctx, p, n); }) != 0) {
        memset(&ctx, 0, sizeof ctx);
        return -1;
    }
    md5_final(&ctx, digest);
    return 0;
}

int hash_md5_file_str(const char *path, char (&out)[MD5_HEX_SIZE])
{
    out[0] = '\0';
    uint8_t d[MD5_DIGEST_SIZE];
    if (hash_md5_file(path, d) != 0)
        return -1;
    for (int i = 0; i < MD5_DIGEST_SIZE; ++i)
        snprintf(out + 2 * i, 3, "%02x", d[i]);
    return 0;
}
