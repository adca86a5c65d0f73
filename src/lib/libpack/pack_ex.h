// pack_ex: the codec layer of the zksd wire. A codec is a static descriptor
// (name, id and four procedures); a codec object pairs a descriptor with the
// state its ctx_new made. "none" copies the bytes as they are, "lz4" packs
// them as one LZ4 block (no frame header, no size prefix: the receiver knows
// the sizes from the message around it).
//
// A codec object and a holder belong to one thread at a time (the zksd
// connection that owns them); the descriptors and the registry are constant.
#pragma once
#include <cstddef>
#include <cstdint>

struct zcomp_ops {
    const char *name;
    int32_t id;
    void *(*ctx_new)(void *arg);   // codec state, or NULL
    void (*ctx_free)(void *state);
    // Bytes written to dst, or negative. Never writes more than dstcap bytes.
    int (*compress)(void *state, const void *src, int srclen, void *dst, int dstcap);
    int (*decompress)(void *state, const void *src, int srclen, void *dst, int dstcap);
};

enum { ZCOMP_ID_NONE = 0, ZCOMP_ID_LZ4 = 1 };

// The registry: "none" then "lz4", ended by NULL.
extern const zcomp_ops *const g_zcomp_list[];

struct zcomp {
    const zcomp_ops *ops;
    void *state;
};

// Initialisation of the layer: nothing to do; 0.
int libpack_init(void);

// New object of the descriptor (ctx_new(arg) made its state), or NULL when
// ops is NULL, memory runs out or ctx_new gives NULL. Free with zcomp_free.
zcomp *zcomp_new(const zcomp_ops *ops, void *arg);
// The first registry entry whose name equals `name` exactly (case counts:
// "LZ4" is unknown); NULL for an unknown or NULL name.
zcomp *zcomp_new_by_name(const char *name, void *arg);
// "none" for id 0, "lz4" for id 1, else NULL.
zcomp *zcomp_new_by_id(int id, void *arg);
// Frees the state and the object; NULL does nothing.
void zcomp_free(zcomp *z);
// The descriptor's id; -1 for NULL.
int zcomp_id(const zcomp *z);
// The descriptor's procedure. Bytes written, or negative: a NULL object,
// negative lengths, a NULL buffer with a non-zero length, a destination too
// small (for "none" and for "lz4" alike) or corrupt packed data.
int zcomp_compress(zcomp *z, const void *src, int srclen, void *dst, int dstcap);
int zcomp_decompress(zcomp *z, const void *src, int srclen, void *dst, int dstcap);
// Worst-case packed size of n bytes: 0 when n, taken as unsigned 32-bit, is
// above 0x7E000000; else n + n / 255 + 16. Reserve this much before packing.
int zcomp_bound(int n);

// The codec holder a connection context embeds.
struct sdcomp_ctx {
    zcomp *codec;     // NULL until set up
    void *abuf;       // page-aligned output buffer
    uint32_t abuf_cap;
    char name[16];    // negotiated codec name; empty: choose by id
    int32_t id;       // codec id, updated from the object once made
    void *arg;        // passed to ctx_new
};

// Frees what the holder had, then makes the codec by name (when the name is
// not empty) or by id. 0, or -1 when no such codec exists.
int sdcomp_setup(sdcomp_ctx *h);
// Frees the codec object and the aligned buffer; the name, id and arg stay.
void sdcomp_free(sdcomp_ctx *h);
// Packs / unpacks with the holder's codec. Bytes written, or -1 when the
// holder has no codec (logged), or the codec's negative result.
int sdcomp_pack(sdcomp_ctx *h, const void *src, int srclen, void *dst, int dstcap);
int sdcomp_unpack(sdcomp_ctx *h, const void *src, int srclen, void *dst, int dstcap);
// The holder's page-aligned buffer of at least size bytes, its first byte 0;
// a large enough buffer is reused. NULL when memory runs out (the old buffer
// then stays) or the recorded page size is below 2 (logged).
void *zcomp_alloc_align_pagesize(sdcomp_ctx *h, uint32_t size);
// Unpacks into the holder's aligned buffer (*out) with `expected` as its
// capacity. 0 when exactly `expected` bytes came out, else -1.
int sdcomp_unpack_align(sdcomp_ctx *h, const void *src, int srclen, void **out, int expected);
