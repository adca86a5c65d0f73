// CRC-16 and the xorshift generator.
#include <atomic>

#include "libpal/hash/pl_hash.h"

uint16_t hash_crc16(const void *data, size_t len, uint16_t initial)
{
    // Exchange the bytes of the start value, run the MSB-first CRC, exchange
    // the bytes of the result.
    uint16_t crc = (uint16_t)((initial >> 8) | (initial << 8));
    const uint8_t *p = (const uint8_t *)data;
    for (size_t i = 0; i < len; ++i) {
        crc ^= (uint16_t)(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x8005) : (uint16_t)(crc << 1);
    }
    return (uint16_t)((crc >> 8) | (crc << 8));
}

static std::atomic<uint64_t> s_xorshift_state{88172645463325252ULL};

void pl_xorshift_seed(uint64_t seed) { s_xorshift_state.store(seed - 1, std::memory_order_relaxed); }

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
