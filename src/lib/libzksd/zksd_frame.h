// zksd_frame: the zksd wire encoding. A frame is an 8-byte head ('Z', 'K',
// protocol byte, command id, the root attribute's word) followed by the
// root's payload: a blob-message table of named, typed fields. Every
// attribute starts with a big-endian word: bit 31 the extended flag (1 on
// every named field), bits 30..24 the id (the field type; 2 for the root
// table), bits 23..0 the raw length (4 + payload bytes, without padding).
// Attributes are padded with zero bytes to a multiple of 4. A named field's
// payload is a big-endian u16 name length n, the name, a NUL, zeros up to
// h = (n + 6) & ~3, then the value.
//
// This module builds request tables (blob_buf, blobmsg_add_*), parses reply
// tables against per-request policy tables (blobmsg_parse,
// cli_blobmsg_parse), and writes and reads frames over a connection
// context. Nothing here takes a lock: a message buffer, a parsed table and
// a connection context belong to one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- attributes ---------------------------------------------------------------------

enum : uint32_t {
    BLOB_ATTR_EXTENDED = 0x80000000u,
    BLOB_ATTR_ID_MASK = 0x7f000000u,
    BLOB_ATTR_ID_SHIFT = 24,
    BLOB_ATTR_LEN_MASK = 0x00ffffffu,
};

// Field types: the id of a named field.
enum : uint32_t {
    BLOBMSG_TYPE_UNSPEC = 0,
    BLOBMSG_TYPE_ARRAY = 1,
    BLOBMSG_TYPE_TABLE = 2,
    BLOBMSG_TYPE_BINARY = 3,
    BLOBMSG_TYPE_STRING = 4, // text with its NUL
    BLOBMSG_TYPE_INT64 = 5,  // 8 bytes, big-endian
    BLOBMSG_TYPE_INT32 = 6,
    BLOBMSG_TYPE_INT16 = 7,
    BLOBMSG_TYPE_INT8 = 8,
    BLOBMSG_TYPE_LAST = 8,
};

// An attribute in place: its word, then the payload. It may sit at any
// address (every accessor reads bytes, never whole words).
struct blob_attr {
    uint8_t word[4];
};

uint32_t blob_id(const blob_attr *a);
int blob_is_extended(const blob_attr *a);
uint32_t blob_raw_len(const blob_attr *a);  // 4 + payload length
uint32_t blob_pad_len(const blob_attr *a);  // raw length rounded up to 4
uint32_t blob_len(const blob_attr *a);      // payload length (0 for a raw length below 4)
uint8_t *blob_data(const blob_attr *a);     // the payload
// Header length of a named field whose name has n bytes: (n + 6) & ~3.
static inline uint32_t blobmsg_hdrlen(uint32_t n) { return (n + 6) & ~3u; }

// Field accessors. They are meant for fields that blobmsg_parse accepted (or
// that this module built): the name, its NUL and the value lie inside the
// attribute, and a fixed-size value has its size. A field without the
// extended flag has no name ("") and its value right after the word.
const char *blobmsg_name(const blob_attr *a);
uint8_t *blobmsg_data(const blob_attr *a);
uint32_t blobmsg_data_len(const blob_attr *a);
uint64_t blobmsg_get_u64(const blob_attr *a);
uint32_t blobmsg_get_u32(const blob_attr *a);
uint16_t blobmsg_get_u16(const blob_attr *a);
uint8_t blobmsg_get_u8(const blob_attr *a);
const char *blobmsg_get_string(const blob_attr *a); // NUL-terminated when parsed

// ---- building a message ----------------------------------------------------------------

// The growable message buffer. Positions are offsets from buf, so they stay
// valid when the storage moves. Zero-initialise, then blob_buf_init; free
// with blob_buf_free. The storage grows in whole 256-byte blocks and is never
// shrunk between messages.
struct blob_buf;
typedef int (*blob_buf_grow_fn)(blob_buf *b, int32_t extra);
struct blob_buf {
    uint32_t head;         // offset of the root attribute (0)
    blob_buf_grow_fn grow; // installed on first use
    int32_t buflen;        // capacity in bytes
    void *buf;
};

// Starts a new message whose root has the given id (2 for every request)
// and raw length 4. 0, or -1 when the storage cannot grow.
int blob_buf_init(blob_buf *b, uint32_t id);
// Frees the storage; the buffer may be initialised again.
void blob_buf_free(blob_buf *b);
// The root attribute (NULL before blob_buf_init). Moves when the storage grows.
blob_attr *blob_buf_root(const blob_buf *b);

// Appends a named field of `type` whose value is len bytes of data (copied
// when len > 0; data may then not be NULL). A NULL name is the empty name.
// 0, or -1 when the storage cannot grow (the message is left as it was
// before the call; the old storage stays), the name is longer than 65535
// bytes or the field or message would exceed the 24-bit raw length.
int blobmsg_add_field(blob_buf *b, uint32_t type, const char *name, const void *data, size_t len);
// int64 and int32 fields with the value in big-endian order. 0 or -1.
int blobmsg_add_u64(blob_buf *b, const char *name, uint64_t value);
int blobmsg_add_u32(blob_buf *b, const char *name, uint32_t value);
// Appends a binary field of len value bytes and sets *data to where the value
// goes (valid until the next add). The new field, or NULL as for
// blobmsg_add_field.
blob_attr *blobmsg_alloc_bin(blob_buf *b, const char *name, size_t len, void **data);
// Shortens the value of `field`, the message's last field, to len bytes
// (at most its current length) and shrinks the root by the difference of
// padded lengths; the new padding is zeroed. 0, or -1 when field is not the
// last field or len is longer than its value.
int blobmsg_trim(blob_buf *b, blob_attr *field, size_t len);

// ---- parsing a reply ---------------------------------------------------------------------

// One row of a reply table: a field name and its type (0 matches any type).
struct blobmsg_policy {
    const char *name;
    uint32_t type;
};

// Fills tb[0..n) with the fields of data[0..len) (a root payload) that match
// the rows: a field matches a row whose type is 0 or the field's id and whose
// name is the field's name; the first match of a row wins. Every field whose
// id and name length match a row is checked (name present and NUL-ended,
// header and value inside the field, id at most 8, the value length its
// type asks for: a string at least 1 byte ending in NUL, int64/32/16/8
// exactly 8/4/2/1 bytes); one bad field fails the whole parse. Attributes
// without the extended flag have no name and are skipped; the walk stops
// quietly at the first attribute whose padded length is below 4 or runs past
// len. Returns 0, or -1. tb points into data.
int blobmsg_parse(const blobmsg_policy *policy, int n, blob_attr **tb, const void *data, size_t len);
// blobmsg_parse plus the rules of a reply: row 0 ("errno", int32) and row 1
// ("errno_str", string) must be present; when errno is 0 every further row
// must be present too (an error reply carries only errno and errno_str).
// Returns 0, or -1 (a missing row is logged).
int cli_blobmsg_parse(const blobmsg_policy *policy, int n, blob_attr **tb, const void *data, size_t len);
