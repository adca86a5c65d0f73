// Blob-message tables: building requests in a growable buffer and parsing
// replies against policy tables.
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libzksd/zksd_frame.h"
#include "liblog/log2.h"

#define TAG "sdcli"

namespace {

inline uint32_t rd32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
inline uint16_t rd16(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }
inline void wr32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
inline uint32_t pad4(uint32_t n) { return (n + 3) & ~3u; }

// Largest raw length of an attribute whose padded length still fits.
constexpr uint32_t k_max_raw = BLOB_ATTR_LEN_MASK & ~3u;

uint32_t word_of(const blob_attr *a) { return rd32(a->word); }

void set_raw_len(blob_attr *a, uint32_t raw)
{
    wr32(a->word, (word_of(a) & ~BLOB_ATTR_LEN_MASK) | (raw & BLOB_ATTR_LEN_MASK));
}

// Default growth: at least `extra` more bytes, in whole 256-byte blocks; the
// new part is zeroed. On failure the old storage stays as it was.
int blob_buf_grow_default(blob_buf *b, int32_t extra)
{
    if (extra <= 0)
        return 0;
    int64_t add = ((int64_t)extra / 256 + 1) * 256;
    int64_t len = (int64_t)b->buflen + add;
    if (len > INT32_MAX)
        return -1;
    void *p = os_realloc(b->buf, (size_t)len);
    if (!p) {
        LOG_ERR(TAG, "blob buffer of %lld bytes failed\n", (long long)len);
        return -1;
    }
    memset((uint8_t *)p + b->buflen, 0, (size_t)add);
    b->buf = p;
    b->buflen = (int32_t)len;
    return 0;
}

// Makes room for a new attribute of padded length `pad` at the end of the
// root. Its offset, or -1.
int64_t reserve_attr(blob_buf *b, uint32_t pad)
{
    if (!b->buf)
        return -1;
    blob_attr *root = blob_buf_root(b);
    uint32_t root_pad = blob_pad_len(root);
    if ((uint64_t)root_pad + pad > k_max_raw) {
        LOG_ERR(TAG, "message too long [%u + %u]\n", root_pad, pad);
        return -1;
    }
    int64_t off = (int64_t)b->head + root_pad;
    int64_t over = off + pad - b->buflen;
    if (over > 0 && (over > INT32_MAX || b->grow(b, (int32_t)over) != 0))
        return -1;
    return off;
}

// The common part of every named field: word, name, NUL and header zeros,
// value room of vlen bytes (left as it is). The new field, or NULL.
blob_attr *add_named(blob_buf *b, uint32_t type, const char *name, size_t vlen)
{
    PL_ASSERT_RET(TAG, b && type <= BLOBMSG_TYPE_LAST, nullptr);
    if (!name)
        name = "";
    size_t n = strlen(name);
    if (n > 0xffff || vlen > k_max_raw) {
        LOG_ERR(TAG, "field [%.64s] too long\n", name);
        return nullptr;
    }
    uint32_t h = blobmsg_hdrlen((uint32_t)n);
    uint64_t raw = 4 + (uint64_t)h + vlen;
    if (raw > k_max_raw) {
        LOG_ERR(TAG, "field [%.64s] too long\n", name);
        return nullptr;
    }
    int64_t off = reserve_attr(b, pad4((uint32_t)raw));
    if (off < 0)
        return nullptr;
    uint8_t *p = (uint8_t *)b->buf + off;
    wr32(p, BLOB_ATTR_EXTENDED | type << BLOB_ATTR_ID_SHIFT | (uint32_t)raw);
    memset(p + raw, 0, pad4((uint32_t)raw) - raw);
    p[4] = (uint8_t)(n >> 8);
    p[5] = (uint8_t)n;
    memcpy(p + 6, name, n);
    memset(p + 6 + n, 0, h - 2 - n);
    blob_attr *root = blob_buf_root(b);
    set_raw_len(root, blob_pad_len(root) + pad4((uint32_t)raw));
    return (blob_attr *)p;
}

} // namespace

// ---- attributes -----------------------------------------------------------------------

uint32_t blob_id(const blob_attr *a) { return (word_of(a) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT; }
int blob_is_extended(const blob_attr *a) { return (word_of(a) & BLOB_ATTR_EXTENDED) != 0; }
uint32_t blob_raw_len(const blob_attr *a) { return word_of(a) & BLOB_ATTR_LEN_MASK; }
uint32_t blob_pad_len(const blob_attr *a) { return pad4(blob_raw_len(a)); }
uint32_t blob_len(const blob_attr *a)
{
    uint32_t raw = blob_raw_len(a);
    return raw >= 4 ? raw - 4 : 0;
}
uint8_t *blob_data(const blob_attr *a) { return (uint8_t *)a + 4; }

static uint32_t field_hdrlen(const blob_attr *a)
{
    if (!blob_is_extended(a))
        return 0;
    return blobmsg_hdrlen(rd16(blob_data(a)));
}

const char *blobmsg_name(const blob_attr *a)
{
    return blob_is_extended(a) ? (const char *)blob_data(a) + 2 : "";
}
uint8_t *blobmsg_data(const blob_attr *a) { return blob_data(a) + field_hdrlen(a); }
uint32_t blobmsg_data_len(const blob_attr *a)
{
    uint32_t h = field_hdrlen(a), len = blob_len(a);
    return len >= h ? len - h : 0;
}
uint64_t blobmsg_get_u64(const blob_attr *a)
{
    const uint8_t *p = blobmsg_data(a);
    return (uint64_t)rd32(p) << 32 | rd32(p + 4);
}
uint32_t blobmsg_get_u32(const blob_attr *a) { return rd32(blobmsg_data(a)); }
uint16_t blobmsg_get_u16(const blob_attr *a) { return rd16(blobmsg_data(a)); }
uint8_t blobmsg_get_u8(const blob_attr *a) { return *blobmsg_data(a); }
const char *blobmsg_get_string(const blob_attr *a) { return (const char *)blobmsg_data(a); }

// ---- building --------------------------------------------------------------------------

blob_attr *blob_buf_root(const blob_buf *b)
{
    return b && b->buf ? (blob_attr *)((uint8_t *)b->buf + b->head) : nullptr;
}

int blob_buf_init(blob_buf *b, uint32_t id)
{
    PL_ASSERT_RET(TAG, b, -1);
    if (!b->grow)
        b->grow = blob_buf_grow_default;
    b->head = 0;
    if (b->buflen < 4 && b->grow(b, 4 - b->buflen) != 0)
        return -1;
    wr32((uint8_t *)b->buf, (id << BLOB_ATTR_ID_SHIFT & BLOB_ATTR_ID_MASK) | 4);
    return 0;
}

void blob_buf_free(blob_buf *b)
{
    if (!b)
        return;
    os_free(b->buf);
    b->buf = nullptr;
    b->buflen = 0;
    b->head = 0;
}

int blobmsg_add_field(blob_buf *b, uint32_t type, const char *name, const void *data, size_t len)
{
    PL_ASSERT_RET(TAG, data || len == 0, -1);
    blob_attr *a = add_named(b, type, name, len);
    if (!a)
        return -1;
    if (len)
        memcpy(blobmsg_data(a), data, len);
    return 0;
}

int blobmsg_add_u64(blob_buf *b, const char *name, uint64_t value)
{
    uint8_t v[8];
    wr32(v, (uint32_t)(value >> 32));
    wr32(v + 4, (uint32_t)value);
    return blobmsg_add_field(b, BLOBMSG_TYPE_INT64, name, v, 8);
}

int blobmsg_add_u32(blob_buf *b, const char *name, uint32_t value)
{
    uint8_t v[4];
    wr32(v, value);
    return blobmsg_add_field(b, BLOBMSG_TYPE_INT32, name, v, 4);
}

blob_attr *blobmsg_alloc_bin(blob_buf *b, const char *name, size_t len, void **data)
{
    blob_attr *a = add_named(b, BLOBMSG_TYPE_BINARY, name, len);
    if (a && data)
        *data = blobmsg_data(a);
    return a;
}

int blobmsg_trim(blob_buf *b, blob_attr *field, size_t len)
{
    PL_ASSERT_RET(TAG, b && b->buf && field, -1);
    blob_attr *root = blob_buf_root(b);
    uint8_t *end = (uint8_t *)root + blob_pad_len(root);
    if ((uint8_t *)field < blob_data(root) || (uint8_t *)field + blob_pad_len(field) != end) {
        LOG_ERR(TAG, "trim of a field that is not the last\n");
        return -1;
    }
    uint32_t vlen = blobmsg_data_len(field);
    if (len > vlen)
        return -1;
    uint32_t old_pad = blob_pad_len(field);
    uint32_t raw = blob_raw_len(field) - (vlen - (uint32_t)len);
    set_raw_len(field, raw);
    memset((uint8_t *)field + raw, 0, pad4(raw) - raw);
    set_raw_len(root, blob_raw_len(root) - (old_pad - pad4(raw)));
    return 0;
}

// ---- parsing ------------------------------------------------------------------------------

// Checks a named field whose payload holds at least the name length.
static bool field_ok(const blob_attr *a)
{
    uint32_t plen = blob_len(a);
    const uint8_t *p = blob_data(a);
    uint32_t n = rd16(p);
    if (n == 0 || n > plen - 2)
        return false;
    uint32_t h = blobmsg_hdrlen(n);
    if (h > plen || p[2 + n] != '\0')
        return false;
    uint32_t id = blob_id(a);
    if (id > BLOBMSG_TYPE_LAST)
        return false;
    uint32_t vlen = plen - h;
    const uint8_t *v = p + h;
    switch (id) {
    case BLOBMSG_TYPE_STRING:
        return vlen >= 1 && v[vlen - 1] == '\0';
    case BLOBMSG_TYPE_INT64:
        return vlen == 8;
    case BLOBMSG_TYPE_INT32:
        return vlen == 4;
    case BLOBMSG_TYPE_INT16:
        return vlen == 2;
    case BLOBMSG_TYPE_INT8:
        return vlen == 1;
    default:
        return true;
    }
}

int blobmsg_parse(const blobmsg_policy *policy, int n, blob_attr **tb, const void *data, size_t len)
{
    PL_ASSERT_RET(TAG, n >= 0 && (n == 0 || (policy && tb)), -1);
    if (n > 0)
        memset(tb, 0, sizeof(*tb) * (size_t)n);
    PL_ASSERT_RET(TAG, data || len == 0, -1);
    size_t nlens[64];
    PL_ASSERT_RET(TAG, n <= 64, -1);
    for (int i = 0; i < n; ++i)
        nlens[i] = policy[i].name ? strlen(policy[i].name) : 0;

    const uint8_t *pos = (const uint8_t *)data;
    size_t rem = len;
    while (rem >= 4) {
        const blob_attr *a = (const blob_attr *)pos;
        uint32_t pad = blob_pad_len(a);
        if (pad < 4 || pad > rem)
            break;
        if (blob_is_extended(a)) {
            uint32_t id = blob_id(a);
            for (int i = 0; i < n; ++i) {
                if (!policy[i].name)
                    continue;
                if (policy[i].type != BLOBMSG_TYPE_UNSPEC && policy[i].type != id)
                    continue;
                // Its name length cannot be read: a broken field.
                if (blob_raw_len(a) < 4 + 2)
                    return -1;
                uint32_t nl = rd16(blob_data(a));
                if (nl != nlens[i])
                    continue;
                if (!field_ok(a))
                    return -1;
                if (tb[i])
                    continue;
                if (memcmp(blob_data(a) + 2, policy[i].name, nl) != 0)
                    continue;
                tb[i] = (blob_attr *)a;
            }
        }
        pos += pad;
        rem -= pad;
    }
    return 0;
}

int cli_blobmsg_parse(const blobmsg_policy *policy, int n, blob_attr **tb, const void *data, size_t len)
{
    PL_ASSERT_RET(TAG, n >= 2 && policy && policy[0].type == BLOBMSG_TYPE_INT32, -1);
    if (blobmsg_parse(policy, n, tb, data, len) != 0)
        return -1;
    for (int i = 0; i < 2; ++i) {
        if (!tb[i]) {
            LOG_VERB(TAG, "ba[%d]=NULL error\n", i);
            return -1;
        }
    }
    if (blobmsg_get_u32(tb[0]) != 0)
        return 0;
    for (int i = 2; i < n; ++i) {
        if (!tb[i]) {
            LOG_ERR(TAG, "ba[%d]=NULL error\n", i);
            return -1;
        }
    }
    return 0;
}
