// rbuf: the ring of length-prefixed blocks (see rbuf.h).
#include "libpal/memory/rbuf/rbuf.h"

#include <cstring>
#include <new>

#include "libpal/basic/pl_assert.h"
#include "libpal/utils/pl_pcond.h"
#include "liblog/log2.h"

#define TAG "bsv"

namespace {

enum read_mode { MODE_BLOCKS = 0, MODE_ONE = 1, MODE_EACH = 2, MODE_MANY = 3 };

struct ring_lock {
    explicit ring_lock(rbuf_t *h) : m(&h->mutex) { mutex_lock(m); }
    ~ring_lock() { mutex_unlock(m); }
    ring_lock(const ring_lock &) = delete;
    ring_lock &operator=(const ring_lock &) = delete;
    pl_mutex_t *m;
};

uint8_t *slot_of(rbuf_t *h, uint64_t counter) { return h->storage + (counter % h->MaxQueueSize) * h->BlockSize; }

uint64_t prefix_get(const rbuf_t *h, const uint8_t *slot)
{
    if (h->wide) {
        uint32_t v;
        memcpy(&v, slot, 4);
        return v;
    }
    uint16_t v;
    memcpy(&v, slot, 2);
    return v;
}

void prefix_set(const rbuf_t *h, uint8_t *slot, uint64_t n)
{
    if (h->wide) {
        const uint32_t v = static_cast<uint32_t>(n);
        memcpy(slot, &v, 4);
    } else {
        const uint16_t v = static_cast<uint16_t>(n);
        memcpy(slot, &v, 2);
    }
}

void free_ring(rbuf_t *h)
{
    pcond_free(h->data_event);
    pcond_free(h->space_event);
    os_free(h->storage);
    h->~rbuf_t();
    os_free(h);
}

// Does a buffer of room bytes still take one more block in this mode?
bool room_ok(const rbuf_t *h, uint64_t room, int mode)
{
    if (mode == MODE_BLOCKS)
        return room >= h->BlockSize;
    return room + h->bs_byte >= h->BlockSize;
}

int64_t read_imp(rbuf_t *h, void *buf_or_null, void (*proc)(const void *, uint64_t), uint64_t len, int mode, int64_t ms)
{
    PL_ASSERT_RET(TAG, h!=NULL, -1);
    rbuf_t *ctx = h;
    const void *buf = mode == MODE_EACH ? reinterpret_cast<const void *>(proc) : buf_or_null;
    PL_ASSERT_RET(TAG, buf!=NULL, -1);
    if (mode == MODE_BLOCKS)
        PL_ASSERT_RET(TAG, len>=ctx->BlockSize, -1);
    else if (mode != MODE_EACH)
        PL_ASSERT_RET(TAG, len+ctx->bs_byte>=ctx->BlockSize, -1);

    if (mode != MODE_EACH && h->queued_bytes.load() == 0) {
        // The event may still be set by a block already taken, so one wait
        // that finds nothing is followed by a second one.
        if (pcond_wait(h->data_event, ms) != 0)
            return 0;
        if (h->queued_bytes.load() == 0 && pcond_wait(h->data_event, ms) != 0)
            return 0;
        if (h->queued_bytes.load() == 0)
            return 0;
    }

    uint8_t *out = static_cast<uint8_t *>(buf_or_null);
    uint64_t room = len, copied = 0;
    {
        ring_lock lk(h);
        h->read_count++;
        while (h->read_index < h->write_index && (mode == MODE_EACH || room_ok(h, room, mode))) {
            const uint8_t *slot = slot_of(h, h->read_index);
            const uint64_t n = prefix_get(h, slot);
            h->read_index++;
            h->read_bytes += n;
            if (mode == MODE_BLOCKS) {
                memcpy(out + copied, slot, h->bs_byte + n);
                copied += h->bs_byte + n;
                room -= h->bs_byte + n;
            } else if (mode == MODE_EACH) {
                proc(slot + h->bs_byte, n);
            } else {
                memcpy(out + copied, slot + h->bs_byte, n);
                copied += n;
                room -= n;
            }
            h->used--;
            h->queued_bytes.fetch_sub(static_cast<uint32_t>(n));
            if (mode == MODE_ONE)
                break;
        }
    }
    pcond_signal(h->space_event);
    return mode == MODE_EACH ? 0 : static_cast<int64_t>(copied);
}

} // namespace

rbuf_t *rbuf_init(uint64_t all_size, uint64_t block_size)
{
    PL_ASSERT_RET(TAG, all_size>2, nullptr);
    uint32_t wide = 0, bs_byte = 2;
    if (block_size < 65536) {
        PL_ASSERT_RET(TAG, block_size>2 && block_size<=UINT16_MAX, nullptr);
    } else {
        PL_ASSERT_RET(TAG, block_size<=UINT32_MAX, nullptr);
        wide = 1;
        bs_byte = 4;
    }
    void *mem = os_zalloc(sizeof(rbuf_t));
    if (!mem)
        return nullptr;
    rbuf_t *h = new (mem) rbuf_t();
    h->all_size = all_size;
    h->wide = wide;
    h->bs_byte = bs_byte;
    h->BlockSize = bs_byte + block_size;
    h->MaxQueueSize = all_size / h->BlockSize;
    if (h->MaxQueueSize < 2) {
        LOG_ERR(TAG, "MaxQueueSize=%d <2 error\n", static_cast<int>(h->MaxQueueSize));
        free_ring(h);
        return nullptr;
    }
    h->storage = static_cast<uint8_t *>(os_malloc(all_size));
    h->data_event = pcond_new();
    h->space_event = pcond_new();
    if (!h->storage || !h->data_event || !h->space_event || os_mutex_init(&h->mutex) != 0) {
        free_ring(h);
        return nullptr;
    }
    return h;
}

int rbuf_exit(rbuf_t *h)
{
    PL_ASSERT_RET(TAG, h!=NULL, -1);
    os_mutex_destroy(&h->mutex);
    free_ring(h);
    return 0;
}

int rbuf_clear(rbuf_t *h)
{
    PL_ASSERT_RET(TAG, h!=NULL, -1);
    ring_lock lk(h);
    h->used = h->read_index = h->write_index = 0;
    h->write_bytes = h->write_count = h->read_bytes = h->read_count = h->drop_bytes = h->drop_count = 0;
    h->queued_bytes.store(0);
    pcond_reset(h->data_event);
    pcond_reset(h->space_event);
    return 0;
}

void *rbuf_alloc_lock(rbuf_t *h, uint64_t size)
{
    PL_ASSERT_RET(TAG, h!=NULL, nullptr);
    rbuf_t *ctx = h;
    PL_ASSERT_RET(TAG, size>0 && size<=ctx->BlockSize-ctx->bs_byte, nullptr);
    mutex_lock(&h->mutex);
    if (h->used >= h->MaxQueueSize) {
        // Full: the oldest block makes room and is counted as dropped.
        const uint64_t old = prefix_get(h, slot_of(h, h->read_index));
        h->read_index++;
        h->drop_bytes += old;
        h->drop_count++;
        h->queued_bytes.fetch_sub(static_cast<uint32_t>(old));
    } else {
        h->used++;
    }
    uint8_t *slot = slot_of(h, h->write_index);
    h->write_index++;
    prefix_set(h, slot, size);
    h->write_bytes += size;
    h->write_count++;
    h->reserved_len = size;
    return slot + h->bs_byte;
}

void rbuf_unlock(rbuf_t *h)
{
    PL_ASSERT_RET_VOID(TAG, h!=NULL);
    h->queued_bytes.fetch_add(static_cast<uint32_t>(h->reserved_len));
    h->reserved_len = 0;
    mutex_unlock(&h->mutex);
    pcond_signal(h->data_event);
}

int rbuf_write(rbuf_t *h, const void *data, uint64_t size)
{
    PL_ASSERT_RET(TAG, data!=NULL, -1);
    void *p = rbuf_alloc_lock(h, size);
    if (!p)
        return -1;
    memcpy(p, data, size);
    rbuf_unlock(h);
    return 0;
}

int rbuf_write_wait(rbuf_t *h, const void *data, uint64_t size, int64_t ms)
{
    PL_ASSERT_RET(TAG, h!=NULL, -1);
    for (int i = 0; i < 2 && rbuf_is_full(h); i++) {
        const int r = pcond_wait(h->space_event, ms);
        if (r != 0)
            return r;
    }
    if (rbuf_is_full(h))
        return -1;
    return rbuf_write(h, data, size);
}

int rbuf_is_full(rbuf_t *h)
{
    PL_ASSERT_RET(TAG, h!=NULL, 0);
    ring_lock lk(h);
    return h->used + 1 >= h->MaxQueueSize ? 1 : 0;
}

int rbuf_is_empty(rbuf_t *h)
{
    PL_ASSERT_RET(TAG, h!=NULL, 1);
    ring_lock lk(h);
    return h->read_index >= h->write_index ? 1 : 0;
}

int64_t rbuf_read_one(rbuf_t *h, void *buf, uint64_t size) { return read_imp(h, buf, nullptr, size, MODE_ONE, 0); }

int64_t rbuf_read_one_wait(rbuf_t *h, void *buf, uint64_t size, int64_t ms)
{
    return read_imp(h, buf, nullptr, size, MODE_ONE, ms);
}

int rbuf_read_each(rbuf_t *h, void (*proc)(const void *data, uint64_t len))
{
    return static_cast<int>(read_imp(h, nullptr, proc, 0, MODE_EACH, 0));
}

int64_t rbuf_read_blocks(rbuf_t *h, void *buf, uint64_t size) { return read_imp(h, buf, nullptr, size, MODE_BLOCKS, 0); }

int64_t rbuf_read_many(rbuf_t *h, void *buf, uint64_t size) { return read_imp(h, buf, nullptr, size, MODE_MANY, 0); }

int64_t rbuf_read_many_wait(rbuf_t *h, void *buf, uint64_t size, int64_t ms)
{
    return read_imp(h, buf, nullptr, size, MODE_MANY, ms);
}

int rbuf_get_stat(rbuf_t *h, uint64_t *write_bytes, uint64_t *read_bytes, uint64_t *drop_bytes,
                  uint64_t *write_count, uint64_t *read_count, uint64_t *drop_count)
{
    PL_ASSERT_RET(TAG, h!=NULL, -1);
    ring_lock lk(h);
    if (write_bytes)
        *write_bytes = h->write_bytes;
    if (read_bytes)
        *read_bytes = h->read_bytes;
    if (drop_bytes)
        *drop_bytes = h->drop_bytes;
    if (write_count)
        *write_count = h->write_count;
    if (read_count)
        *read_count = h->read_count;
    if (drop_count)
        *drop_count = h->drop_count;
    return 0;
}

uint64_t rbuf_get_drop_count(rbuf_t *h)
{
    PL_ASSERT_RET(TAG, h!=NULL, 0);
    ring_lock lk(h);
    return h->drop_count;
}

uint32_t rbuf_queued_bytes(rbuf_t *h) { return h ? h->queued_bytes.load() : 0; }

uint16_t get_u16_endian(int swap, const void *buf, size_t offset)
{
    uint16_t v;
    memcpy(&v, static_cast<const uint8_t *>(buf) + offset, sizeof v);
    return swap ? __builtin_bswap16(v) : v;
}

uint32_t get_u32_endian(int swap, const void *buf, size_t offset)
{
    uint32_t v;
    memcpy(&v, static_cast<const uint8_t *>(buf) + offset, sizeof v);
    return swap ? __builtin_bswap32(v) : v;
}

uint64_t get_u64_endian(int swap, const void *buf, size_t offset)
{
    uint64_t v;
    memcpy(&v, static_cast<const uint8_t *>(buf) + offset, sizeof v);
    return swap ? __builtin_bswap64(v) : v;
}
