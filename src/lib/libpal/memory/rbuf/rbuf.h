// rbuf: a fixed-size ring of equal slots, each holding one variable-length
// block behind a length prefix (2 bytes, or 4 when the block size given at
// creation is 65536 or more; host byte order). Writers never wait: a full
// ring drops its oldest block and counts it. Readers take one payload, as
// many payloads or whole blocks as fit, or hand every block to a procedure,
// optionally waiting for data.
//
// Thread-safety: every call may come from any thread; one mutex guards the
// indices, counters and storage. The queued-bytes counter is also read
// without the mutex (to decide whether to wait) and is only changed
// atomically. A block reserved with rbuf_alloc_lock holds the mutex until
// rbuf_unlock: fill it quickly and never log in between.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_base.h"

struct pcond_t;

struct rbuf_t {
    uint64_t all_size;     // bytes of storage
    uint64_t BlockSize;    // bytes of one slot, prefix included
    uint64_t used;         // blocks queued
    uint64_t MaxQueueSize; // slots: all_size / BlockSize, at least 2
    uint8_t *storage;
    uint64_t read_index;  // blocks taken since the start
    uint64_t write_index; // blocks written since the start
    uint64_t write_bytes, write_count;
    uint64_t read_bytes, read_count;
    uint64_t drop_bytes, drop_count;
    std::atomic<uint32_t> queued_bytes; // payload bytes in the ring
    pl_mutex_t mutex;
    pcond_t *data_event;  // signalled by every write
    pcond_t *space_event; // signalled by every read
    uint32_t wide;        // 1 when blocks may be 65536 bytes or more
    uint32_t bs_byte;     // bytes of the length prefix: 2 or 4
    uint64_t reserved_len; // payload bytes of the block held by rbuf_alloc_lock
};

// A ring of all_size bytes whose blocks hold up to block_size payload bytes.
// NULL (logged) when all_size <= 2, block_size < 3, or fewer than two slots
// fit ("MaxQueueSize=%d <2 error"). Freed by rbuf_exit.
rbuf_t *rbuf_init(uint64_t all_size, uint64_t block_size);
// Frees the ring; 0, or -1 for NULL (soft assertion). No thread may still use it.
int rbuf_exit(rbuf_t *h);
// Empties the ring and zeroes its statistics; 0, or -1 for NULL.
int rbuf_clear(rbuf_t *h);
// Reserves the next block of size payload bytes (1..BlockSize-bs_byte) and
// returns where its payload goes, with the mutex held; the caller fills it
// and calls rbuf_unlock, which queues it and signals the readers. NULL (soft
// assertion, mutex not taken) for a bad size.
void *rbuf_alloc_lock(rbuf_t *h, uint64_t size);
// Ends a reservation of rbuf_alloc_lock: counts the block's bytes as queued,
// releases the mutex and signals the data event.
void rbuf_unlock(rbuf_t *h);
// Copies one block in (dropping the oldest when full); 0, or -1 for NULL
// data or a bad size.
int rbuf_write(rbuf_t *h, const void *data, uint64_t size);
// As rbuf_write, but while the ring is full waits on the space event up to
// two times of ms each: 0 once written, -2 when a wait timed out, -1 on a
// wait error or when it is still full after two waits.
int rbuf_write_wait(rbuf_t *h, const void *data, uint64_t size, int64_t ms);
// 1 when used + 1 >= MaxQueueSize (one block before a write drops), else 0.
int rbuf_is_full(rbuf_t *h);
// 1 when nothing is queued, else 0.
int rbuf_is_empty(rbuf_t *h);
// One payload into buf (size + bs_byte >= BlockSize); its byte count, or 0
// when nothing was queued (also after waiting up to two times ms).
int64_t rbuf_read_one(rbuf_t *h, void *buf, uint64_t size);
int64_t rbuf_read_one_wait(rbuf_t *h, void *buf, uint64_t size, int64_t ms);
// Calls proc(payload, length) for every queued block; 0.
int rbuf_read_each(rbuf_t *h, void (*proc)(const void *data, uint64_t len));
// As many whole blocks (prefix and payload) as fit into buf (size >= BlockSize).
int64_t rbuf_read_blocks(rbuf_t *h, void *buf, uint64_t size);
// As many payloads as fit, back to back (size + bs_byte >= BlockSize).
int64_t rbuf_read_many(rbuf_t *h, void *buf, uint64_t size);
int64_t rbuf_read_many_wait(rbuf_t *h, void *buf, uint64_t size, int64_t ms);
// The six statistics in this order: write bytes, read bytes, drop bytes,
// write count, read count, drop count. 0, or -1 for NULL.
int rbuf_get_stat(rbuf_t *h, uint64_t *write_bytes, uint64_t *read_bytes, uint64_t *drop_bytes,
                  uint64_t *write_count, uint64_t *read_count, uint64_t *drop_count);
// Blocks dropped since the start; 0 for NULL (soft assertion).
uint64_t rbuf_get_drop_count(rbuf_t *h);
// Payload bytes queued now (read without the mutex).
uint32_t rbuf_queued_bytes(rbuf_t *h);

// Fields read at buf + offset (any alignment), byte-swapped when swap is
// non-zero. The caller checks the bounds.
uint16_t get_u16_endian(int swap, const void *buf, size_t offset);
uint32_t get_u32_endian(int swap, const void *buf, size_t offset);
uint64_t get_u64_endian(int swap, const void *buf, size_t offset);
