// pl_hash: checksums (CRC-8/16/32/64), digests (SHA-1, MD5) with a resumable
// text form of their running state, the RC4 stream cipher, GUIDs and the
// random sources (xorshift, values built from the C library's rand(), the
// system's random source for secrets, random texts).
//
// Contexts and RC4 states belong to their callers and carry no lock. The
// xorshift state is one process-wide atomic word; rand() is the C library's.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- checksums ------------------------------------------------------------------
// Each takes the bytes, their length and a starting value and returns the
// checksum. None of them can fail.

// CRC-8, polynomial 0x07, MSB first, no reflection, no final XOR (CRC-8/SMBUS
// for initial 0: 0xF4 for "123456789"). NULL data: soft assertion, 0.
uint8_t hash_crc8(const void *data, size_t len, uint8_t initial);
// CRC-16, polynomial 0x8005, register held byte-swapped (0xE8FE for "123456789").
uint16_t hash_crc16(const void *data, size_t len, uint16_t initial);
// CRC-32/ISO-HDLC. `previous` is the CRC of the data before (0 to begin), so
// blocks chain: crc(a+b) == hash_crc32(b, lb, hash_crc32(a, la, 0)).
uint32_t hash_crc32(const void *data, size_t len, uint32_t previous);
// "%x" of the CRC-32 of the bytes, in a per-thread 9-byte buffer that the
// calling thread's next call overwrites.
const char *hash_crc32_text(const void *data, size_t len);
// CRC-32 of a whole file, read in 2 MiB blocks to its end. 0 with *result
// set, or -1 (errno set) when it cannot be opened or a read fails.
int hash_crc32_file(const char *path, uint32_t *result);
// CRC-64 with the Jones polynomial, reflected, no inversion at either end
// (CRC-64/REDIS for initial 0: 0xE9C6D914C4B8D9CA for "123456789").
uint64_t hash_crc64(const void *data, size_t len, uint64_t initial);

// ---- digests ----------------------------------------------------------------------
enum { SHA1_DIGEST_SIZE = 20, MD5_DIGEST_SIZE = 16 };

struct sha1_ctx_t {
    uint32_t state[5];
    uint32_t count[2]; // message length in bits, low word first
    uint8_t buffer[64];
};
struct md5_ctx_t {
    uint32_t state[4];
    uint32_t count[2]; // message length in bits, low word first
    uint8_t buffer[64];
    uint8_t digest[16];
};

// Standard SHA-1. init zeroes the whole context before setting the initial
// state; final writes the digest (most significant byte first) and zeroes
// the context.
void sha1_init(sha1_ctx_t *ctx);
void sha1_update(sha1_ctx_t *ctx, const void *data, size_t len);
void sha1_final(sha1_ctx_t *ctx, uint8_t digest[SHA1_DIGEST_SIZE]);
void hash_sha1(const void *data, size_t len, uint8_t digest[SHA1_DIGEST_SIZE]);
// Running state as text: the five state words, the two counts and the 64
// buffer bytes, each "%x", separated by ',' (71 fields). 0, or -1 with the
// text emptied when it does not fit in size bytes (about 400 always do).
int sha1_state_str(const sha1_ctx_t *ctx, char *text, size_t size);
// Loads a text made by sha1_state_str. 0, or -1 with the context unchanged
// when the text does not have exactly 71 fields of hex digits that fit their
// word (8 digits) or byte (2 digits).
int sha1_state_load(sha1_ctx_t *ctx, const char *text);

// Standard MD5; final zeroes the context.
void md5_init(md5_ctx_t *ctx);
void md5_update(md5_ctx_t *ctx, const void *data, size_t len);
void md5_final(md5_ctx_t *ctx, uint8_t digest[MD5_DIGEST_SIZE]);
void hash_md5(const void *data, size_t len, uint8_t digest[MD5_DIGEST_SIZE]);
// As for SHA-1 with four state words: 70 fields.
int md5_state_str(const md5_ctx_t *ctx, char *text, size_t size);
int md5_state_load(md5_ctx_t *ctx, const char *text);
// 32 lower-case hex digits of the MD5 of the text (without its NUL) into out
// (with its NUL); an empty or NULL text gives an empty result. Returns out.
enum { MD5_HEX_SIZE = 33 };
char *hash_md5_str(const char *text, char (&out)[MD5_HEX_SIZE]);
// MD5 of a whole file (2 MiB blocks, to its end): 0, or -1 (errno set).
int hash_md5_file(const char *path, uint8_t digest[MD5_DIGEST_SIZE]);
// The same as 32 hex digits into out: 0, or -1 with out empty.
int hash_md5_file_str(const char *path, char (&out)[MD5_HEX_SIZE]);

// ---- RC4 ---------------------------------------------------------------------------
struct rc4_state_t {
    uint8_t S[256];
    uint32_t i;
    uint32_t j;
};
// Key schedule over key[0..key_len); key_len 0 or a NULL key is a soft
// assertion and leaves the identity permutation.
void rc4_init(rc4_state_t *st, const void *key, size_t key_len);
// XORs the keystream onto in[0..len) into out (the same buffer is allowed).
// The permutation carries over from call to call, but i and j start from 0 on
// every call, so a message is enciphered by one rc4_init and one rc4_crypt.
void rc4_crypt(rc4_state_t *st, const void *in, void *out, size_t len);

// ---- GUIDs ---------------------------------------------------------------------------
enum { PL_GUID_SIZE = 16, PL_GUID_MAX_STR = 40 };
// Fills the 16 bytes from the system's random source; len must be 16 (hard
// assertion).
void guid_get_buf(void *buf, size_t len);
// "{%08X-%04X-%04X-%04X-%04X%04X%04X}" of the leading u32 and six u16 read
// little-endian from the 16 bytes (38 characters). size must be at least
// PL_GUID_MAX_STR (hard assertion). Returns out.
char *guid_fmt_str(const void *guid, char *out, size_t size);
// A new GUID as text into out (size as for guid_fmt_str). Returns out.
char *guid_new_str(char *out, size_t size);

// ---- random numbers ------------------------------------------------------------------
// Xorshift (fast, predictable: never for secrets). state = seed - 1; a seed
// that would give the stuck all-zero state gives the default state instead.
void pl_xorshift_seed(uint64_t seed);
uint64_t pl_xorshift64(void);
uint32_t pl_xorshift32(void); // low 32 bits of pl_xorshift64
// From the C library's rand() (two and four calls; predictable).
uint32_t pl_random32(void);
uint64_t pl_random64(void);
// A uniformly drawn value with low <= value < high from pl_random32 draws;
// always ends. low >= high is a soft assertion and gives low.
uint32_t pl_random_range(uint32_t low, uint32_t high);
int32_t pl_random_range(int32_t low, int32_t high);
// size - 1 characters from "0-9a-zA-Z" or "0-9a-f" (xorshift) and a NUL; a
// size below 2 writes nothing. Returns buf.
char *pl_random_alnum(char *buf, size_t size);
char *pl_random_hex(char *buf, size_t size);
// len bytes from the system's random source (getrandom, else /dev/urandom):
// for GUIDs, certificates and key material. 0, or -1 when no system source
// answers (buf is then filled from the weaker generators and a warning logged).
int pl_random_sys(void *buf, size_t len);
// Additive lagged generator (31 words, lag 3).
void pl_lagged_seed(uint32_t seed);
uint32_t pl_lagged_next(void);
