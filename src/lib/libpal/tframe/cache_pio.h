// cache_pio: a write-behind cache and a read-ahead cache for positioned I/O.
// Each sits in front of a positioned read or write procedure supplied by the
// caller and turns many small sequential requests into few large ones.
//
// Neither cache locks: a cache belongs to one file handle whose callers
// serialise their calls. A cache takes its buffer when data arrives, not at
// open, and only within the memory budget all caches of the process share;
// a cache that finds the budget spent passes its requests straight through.
#pragma once
#include <cstddef>
#include <cstdint>

// Positioned procedures: (user, buffer, length, offset) -> bytes transferred,
// or a negative value on failure.
typedef int64_t (*cache_pwrite_fn)(void *user, const void *buf, uint64_t len, int64_t offset);
typedef int64_t (*cache_pread_fn)(void *user, void *buf, uint64_t len, int64_t offset);

// ---- memory budget ------------------------------------------------------------
// What the buffers of all caches together may hold (64 MiB unless set).
enum : uint64_t { CACHE_BUDGET_DEFAULT = 64ull << 20 };
// Sets the budget in bytes; the previous one. Buffers already taken stay.
uint64_t cache_budget_set(uint64_t bytes);
// Bytes the buffers of all caches hold now.
uint64_t cache_budget_used(void);
// For buffers kept by others on the same terms (a remote file's data in
// flight): takes n bytes, false (nothing taken) when the budget lacks them;
// gives back what was taken.
bool cache_budget_take(uint64_t n);
void cache_budget_give(uint64_t n);

// ---- write-behind cache --------------------------------------------------------
// Holds one contiguous run [offset, offset + fill) of not yet written bytes.
struct cache_pwrite_t {
    uint8_t *buffer; // NULL until data arrives; cap bytes, grown as data comes
    uint64_t capacity;
    uint64_t fill;
    int64_t offset;
    void *user;
    cache_pwrite_fn pwrite;
    uint64_t cap; // bytes of buffer (at most capacity)
};
struct cache_pwrite_cfg_t {
    uint64_t size;
    void *user;
    cache_pwrite_fn pwrite;
};
// New empty cache of cfg->size bytes (at least 1; sizes of 2 GiB and more are
// refused), or NULL. No buffer yet. Free with cache_pwrite_close.
cache_pwrite_t *cache_pwrite_open(const cache_pwrite_cfg_t *cfg);
// Takes n bytes for offset. Data that continues the held run is appended;
// anything else first writes the run out. Requests of capacity bytes or more
// go straight to the procedure, and so does every request while the cache
// has no buffer and the budget has none to give. Returns n when cached, the
// procedure's count for a direct write, or -1 (nothing of the held run is
// lost on failure).
int64_t cache_pwrite(cache_pwrite_t *c, const void *data, uint64_t n, int64_t offset);
// Writes the held run out, retrying after short writes while they make
// progress. Returns 0 when empty, the bytes written, or -1 when the procedure
// failed or stopped short; the bytes not written stay held (the run then
// starts at the first unwritten byte) so a later flush can try again. Once
// nothing is held the buffer goes back to the budget.
int64_t cache_pwrite_fflush(cache_pwrite_t *c);
// Flushes (result not reported: flush first to learn it), frees (the buffer
// back to the budget). 0.
int cache_pwrite_close(cache_pwrite_t *c);

// ---- read-ahead cache -------------------------------------------------------
// Reads ahead only while the reader goes on: the window starts at four times
// the request (at least 128 KiB) when a reader starts sequentially (its first
// read at offset 0, or a read near the furthest byte read so far: within the
// window, at least 128 KiB, before or after it, as the kernel's read-ahead
// asks for its pieces slightly out of order), doubles at every refill up to
// `size`, and drops to nothing on a jump, after which requests are served
// directly at their own size. A read that starts anywhere in the held data
// is served from it, also behind the last one.
struct cache_pread_t {
    uint64_t size;   // largest read-ahead
    uint8_t *buffer; // NULL, or cap bytes taken from the budget
    uint64_t filled; // valid bytes in buffer, 0 = empty
    uint64_t limit;  // file size at set-up: no read-ahead past it; 0 = none
    int64_t base;    // file offset of buffer[0]
    void *user;
    cache_pread_fn pread;
    uint64_t cap;    // bytes of buffer
    uint64_t window; // read-ahead of the next refill; 0 = none (random reader)
    int64_t next;    // the furthest byte read while going on; -1 none yet, -2 unknown
};
struct cache_pread_cfg_t {
    uint64_t size;  // 0 means 2 MiB
    uint64_t limit; // 0 means no limit
    void *user;
    cache_pread_fn pread;
};
// New empty cache, or NULL (sizes of 2 GiB and more are refused). No buffer yet.
cache_pread_t *cache_pread_open(const cache_pread_cfg_t *cfg);
// Reads n bytes at offset into buf: the bytes read (fewer at end of file), or
// -1. Sequential reads are served from the read-ahead; requests of `size`
// bytes or more, random ones, and all while the budget has nothing to give
// go straight to the procedure. Read-ahead stops at the limit, but reads at
// or past it still go to the procedure, so a file that grew since set-up is
// read to its new end.
int64_t cache_pread(cache_pread_t *c, void *buf, uint64_t n, int64_t offset);
// Drops the held data. 0.
int cache_pread_invalidate(cache_pread_t *c);
// Frees the cache (its buffer back to the budget). 0.
int cache_pread_close(cache_pread_t *c);
