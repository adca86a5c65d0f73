// The "none" and "lz4" codecs, codec objects and the connection's holder.
#include <lz4.h>

#include <cstring>

#include "libpack/pack_ex.h"
#include "libpal/basic/pl_base.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

#define TAG "pack"

namespace {

bool args_ok(const void *src, int srclen, const void *dst, int dstcap)
{
    return srclen >= 0 && dstcap >= 0 && (src || srclen == 0) && (dst || dstcap == 0);
}

// ---- none ---------------------------------------------------------------------------

int s_none_state; // a non-null state with nothing in it

void *none_new(void *) { return &s_none_state; }
void none_free(void *) {}

int none_copy(void *, const void *src, int srclen, void *dst, int dstcap)
{
    if (!args_ok(src, srclen, dst, dstcap) || srclen > dstcap)
        return -1;
    if (srclen)
        memmove(dst, src, (size_t)srclen);
    return srclen;
}

// ---- lz4 ----------------------------------------------------------------------------

void *lz4_new(void *) { return LZ4_createStream(); }
void lz4_free(void *state) { LZ4_freeStream((LZ4_stream_t *)state); }

int lz4_pack(void *state, const void *src, int srclen, void *dst, int dstcap)
{
    if (!state || !args_ok(src, srclen, dst, dstcap))
        return -1;
    int n = LZ4_compress_fast_extState(state, (const char *)src, (char *)dst, srclen, dstcap, 17);
    // 0 means the output did not fit: even empty input packs to one byte.
    return n > 0 ? n : -1;
}

int lz4_unpack(void *, const void *src, int srclen, void *dst, int dstcap)
{
    if (!args_ok(src, srclen, dst, dstcap))
        return -1;
    if (srclen == 0) // an empty piece carries nothing
        return 0;
    int n = LZ4_decompress_safe((const char *)src, (char *)dst, srclen, dstcap);
    return n >= 0 ? n : -1;
}

constexpr zcomp_ops k_none = {
    .name = "none",
    .id = ZCOMP_ID_NONE,
    .ctx_new = none_new,
    .ctx_free = none_free,
    .compress = none_copy,
    .decompress = none_copy,
};
constexpr zcomp_ops k_lz4 = {
    .name = "lz4",
    .id = ZCOMP_ID_LZ4,
    .ctx_new = lz4_new,
    .ctx_free = lz4_free,
    .compress = lz4_pack,
    .decompress = lz4_unpack,
};

} // namespace

const zcomp_ops *const g_zcomp_list[] = {&k_none, &k_lz4, nullptr};

int libpack_init(void) { return 0; }

zcomp *zcomp_new(const zcomp_ops *ops, void *arg)
{
    if (!ops)
        return nullptr;
    zcomp *z = (zcomp *)os_zalloc(sizeof *z);
    if (!z)
        return nullptr;
    z->ops = ops;
    z->state = ops->ctx_new(arg);
    if (!z->state) {
        LOG_ERR(TAG, "codec [%s] state failed\n", ops->name);
        os_free(z);
        return nullptr;
    }
    return z;
}

zcomp *zcomp_new_by_name(const char *name, void *arg)
{
    if (!name)
        return nullptr;
    for (const zcomp_ops *const *p = g_zcomp_list; *p; ++p)
        if (strcmp((*p)->name, name) == 0)
            return zcomp_new(*p, arg);
    return nullptr;
}

zcomp *zcomp_new_by_id(int id, void *arg)
{
    switch (id) {
    case ZCOMP_ID_NONE:
        return zcomp_new(&k_none, arg);
    case ZCOMP_ID_LZ4:
        return zcomp_new(&k_lz4, arg);
    default:
        return nullptr;
    }
}

void zcomp_free(zcomp *z)
{
    if (!z)
        return;
    z->ops->ctx_free(z->state);
    os_free(z);
}

int zcomp_id(const zcomp *z) { return z ? z->ops->id : -1; }

int zcomp_compress(zcomp *z, const void *src, int srclen, void *dst, int dstcap)
{
    if (!z)
        return -1;
    return z->ops->compress(z->state, src, srclen, dst, dstcap);
}

int zcomp_decompress(zcomp *z, const void *src, int srclen, void *dst, int dstcap)
{
    if (!z)
        return -1;
    return z->ops->decompress(z->state, src, srclen, dst, dstcap);
}

int zcomp_bound(int n)
{
    if ((uint32_t)n > 0x7E000000u)
        return 0;
    return n + n / 255 + 16;
}

// ---- holder -----------------------------------------------------------------------------

void sdcomp_free(sdcomp_ctx *h)
{
    if (!h)
        return;
    zcomp_free(h->codec);
    h->codec = nullptr;
    os_free_align(h->abuf);
    h->abuf = nullptr;
    h->abuf_cap = 0;
}

int sdcomp_setup(sdcomp_ctx *h)
{
    if (!h)
        return -1;
    sdcomp_free(h);
    h->name[sizeof h->name - 1] = '\0';
    h->codec = h->name[0] ? zcomp_new_by_name(h->name, h->arg) : zcomp_new_by_id(h->id, h->arg);
    if (!h->codec) {
        LOG_ERR(TAG, "codec name=[%s] id=%d not found\n", h->name, h->id);
        return -1;
    }
    h->id = zcomp_id(h->codec);
    return 0;
}

int sdcomp_pack(sdcomp_ctx *h, const void *src, int srclen, void *dst, int dstcap)
{
    if (!h || !h->codec) {
        LOG_ERR(TAG, "no codec\n");
        return -1;
    }
    return zcomp_compress(h->codec, src, srclen, dst, dstcap);
}

int sdcomp_unpack(sdcomp_ctx *h, const void *src, int srclen, void *dst, int dstcap)
{
    if (!h || !h->codec) {
        LOG_ERR(TAG, "no codec\n");
        return -1;
    }
    return zcomp_decompress(h->codec, src, srclen, dst, dstcap);
}

void *zcomp_alloc_align_pagesize(sdcomp_ctx *h, uint32_t size)
{
    if (!h)
        return nullptr;
    uint32_t align = mem_get_pagesize();
    if (align < 2) {
        LOG_WARN(TAG, "align must >=2\n");
        return nullptr;
    }
    if (!h->abuf || h->abuf_cap < size) {
        void *p = os_malloc_align(size ? size : 1, align);
        if (!p) {
            LOG_ERR(TAG, "aligned buffer of %u bytes failed\n", size);
            return nullptr;
        }
        os_free_align(h->abuf);
        h->abuf = p;
        h->abuf_cap = size;
    }
    *(uint8_t *)h->abuf = 0;
    return h->abuf;
}

int sdcomp_unpack_align(sdcomp_ctx *h, const void *src, int srclen, void **out, int expected)
{
    if (!out || expected < 0)
        return -1;
    void *buf = zcomp_alloc_align_pagesize(h, (uint32_t)expected);
    if (!buf)
        return -1;
    *out = buf;
    return sdcomp_unpack(h, src, srclen, buf, expected) == expected ? 0 : -1;
}
