// pl_hash: checksums and random numbers.
#pragma once
#include <cstddef>
#include <cstdint>

// CRC-16, polynomial 0x8005, register held byte-swapped (0xE8FE for "123456789").
uint16_t hash_crc16(const void *data, size_t len, uint16_t initial);

void pl_xorshift_seed(uint64_t seed);
uint64_t pl_xorshift64(void);
uint32_t pl_xorshift32(void);
