// pl_mem: the small memory utilities of the platform: random fill, memory
// start-up (page size, total memory), packing texts and buffers into one
// area, pointer containers with an optional lock (mem_parray_t, mem_slots_t),
// a growable byte buffer (mem_buf_t), the linked block allocator lbuf_t and
// the slab and pool managers over it. All memory comes from os_malloc & co.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_base.h"
#include "libpal/utils/pl_list.h"

// ---- random fill --------------------------------------------------------------
// Fills buf with n random bytes: mode 0 from the xorshift generator, any
// other mode from the C library's rand(). Returns n, or -1 for a NULL buf.
int64_t memory_random_imp(int mode, void *buf, size_t n);
// Mode 0 (fast, not for secrets). Any thread (the generator state is atomic).
int64_t memory_random(void *buf, size_t n);
// Seeds rand() from the millisecond clock, then mode 1.
int64_t memory_random_libc(void *buf, size_t n);

// ---- start-up -----------------------------------------------------------------
// Records the page size, its log2 and the total memory. Returns 0. Called
// once by pl_init before threads exist.
int mem_init(void);
// Values recorded by mem_init (read from the system on first use when
// mem_init has not run yet).
uint32_t mem_get_pagesize(void);
uint32_t mem_get_pageshift(void);
uint64_t mem_get_total_ram(void);

// ---- packing ------------------------------------------------------------------
// Copies each text (with its NUL) one after the other into buf[0..n); the
// list ends with NULL. Returns the bytes copied, or -1 (soft assertion) when a
// text does not fit.
int64_t mem_add_strv(void *buf, size_t n, ...);
// As mem_add_strv, but the text that does not fit is cut to the space left
// and copying stops; whenever a piece reaches the end of buf its last byte
// is 0. Returns the bytes used.
int64_t mem_add_strv_trunc(void *buf, size_t n, ...);
struct mem_bufv_t {
    const void *data;
    size_t len;
};
// The same for count {data, len} pieces (no NUL bytes added).
int64_t mem_add_bufv(void *buf, size_t n, const mem_bufv_t *pairs, size_t count);
int64_t mem_add_bufv_trunc(void *buf, size_t n, const mem_bufv_t *pairs, size_t count);

// ---- mem_parray_t: compact pointer array ------------------------------------
enum : uint32_t {
    MEM_PARRAY_F_UNIQUE = 64, // adding a pointer already present does nothing
};
// Set use_lock and flags before mem_parray_init; with use_lock every call
// takes the array's mutex, so it may be shared between threads.
struct mem_parray_t {
    void **data;
    uint64_t count;
    uint64_t capacity;
    uint32_t flags;
    uint32_t use_lock;
    pl_mutex_t *mutex;
};
int mem_parray_init(mem_parray_t *a);   // 0 or -1; capacity 16
void mem_parray_exit(mem_parray_t *a);  // frees storage and mutex
int mem_parray_reset(mem_parray_t *a);  // exit then init
// Appends p (and stores its index in *index when given); with the unique flag
// and p present: 0, nothing added, *index the existing place. -1 when growing fails.
int mem_parray_add2(mem_parray_t *a, void *p, uint64_t *index);
int mem_parray_add(mem_parray_t *a, void *p);
// Removes element i (its pointer into *old when given); -1 when i >= count.
int mem_parray_del2(mem_parray_t *a, uint64_t i, void **old);
int mem_parray_del(mem_parray_t *a, uint64_t i);
int64_t mem_parray_remove(mem_parray_t *a, const void *p); // former index, or -1
int mem_parray_remove_first(mem_parray_t *a, uint64_t n);  // the first n (all when fewer)
void *mem_parray_get(mem_parray_t *a, uint64_t i);         // NULL past the end
int mem_parray_set(mem_parray_t *a, uint64_t i, void *p);  // -1 at or past count
int64_t mem_parray_index(mem_parray_t *a, const void *p);  // first index or -1
// Capacity of at least n: 0 (also when already that large), -1 when growing fails.
int mem_parray_reserve(mem_parray_t *a, uint64_t n);
void mem_parray_clear(mem_parray_t *a);                    // count 0

// ---- mem_slots_t: slot table with stable indexes ----------------------------
// A slot is free when it holds NULL. Set use_lock before mem_slots_init.
struct mem_slots_t {
    void **slots;
    uint64_t high;     // one past the highest slot ever filled
    uint64_t capacity;
    uint64_t use_lock;
    pl_mutex_t *mutex;
};
int mem_slots_init(mem_slots_t *t);  // 0 or -1; capacity 16
void mem_slots_exit(mem_slots_t *t);
// Puts p (not NULL) into the first free slot, doubling the table when full;
// its index goes to *index when given. 0, or -1.
int mem_slots_add2(mem_slots_t *t, void *p, uint64_t *index);
int mem_slots_add(mem_slots_t *t, void *p);
// Empties slot i (below the high-water mark), its pointer into *old; 0 or -1.
int mem_slots_del(mem_slots_t *t, uint64_t i, void **old);
int mem_slots_del_nocopy(mem_slots_t *t, uint64_t i);
int mem_slots_remove(mem_slots_t *t, const void *p);      // empties the first slot holding p
void *mem_slots_get(mem_slots_t *t, uint64_t i);          // NULL when free or past the mark
int mem_slots_set(mem_slots_t *t, uint64_t i, void *p);   // below the mark: 0, else -1
int64_t mem_slots_index(mem_slots_t *t, const void *p);   // first index below the mark or -1
int mem_slots_reserve(mem_slots_t *t, uint64_t n);        // as mem_parray_reserve

// ---- mem_buf_t: growable byte buffer ----------------------------------------
// After every append a NUL byte follows the data, so text data is always
// terminated. Not locked.
struct mem_buf_t {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
};
void mem_buf_zero(mem_buf_t *b);
int mem_buf_init(mem_buf_t *b, uint64_t n);       // zero, then reserve n; 0 or -1
int mem_buf_reserve(mem_buf_t *b, uint64_t n);    // cap >= n (multiples of 4096); 0 or -1
int mem_buf_append(mem_buf_t *b, const void *data, uint64_t n); // 0 or -1 (b unchanged)
int mem_buf_set_len(mem_buf_t *b, uint64_t n);    // reserve, len = n, NUL after; 0 or -1
void mem_buf_reset(mem_buf_t *b);                 // len 0, storage kept
void mem_buf_free(mem_buf_t *b);                  // frees data; len and cap 0

// ---- lbuf_t: linked block allocator -----------------------------------------
// Every block is linked in a list owned by the lbuf, so lbuf_exit/lbuf_clear
// free everything at once. Linking and unlinking take the lbuf's mutex
// (recursive: a caller holding lbuf_lock may call any lbuf function).
// Iteration and lbuf_clear take no lock: one thread, or hold lbuf_lock.
typedef void (*lbuf_cb_fn)(void *data, void *user);
struct lbuf_cfg_t {
    const char *name;
    lbuf_cb_fn on_alloc;
    lbuf_cb_fn on_free;
    void *user;
    uint64_t item_size;
};
struct lbuf_t {
    list_node blocks;
    char *name;
    void *user;
    uint64_t item_size;
    lbuf_cb_fn on_alloc;
    lbuf_cb_fn on_free;
    pl_mutex_t mutex;
    uint32_t held; // 1 while a caller holds the mutex through lbuf_lock
};
struct lbuf_iter_t {
    lbuf_t *lb;
    list_node *cur;
};
lbuf_t *lbuf_init(const lbuf_cfg_t *cfg);  // NULL cfg: no name, no callbacks
void lbuf_exit(lbuf_t *lb);                // frees every block and the lbuf
void *lbuf_malloc(lbuf_t *lb, size_t n);   // NULL on failure
void *lbuf_malloc0(lbuf_t *lb, size_t n, int zeroed);
void *lbuf_slab_malloc(lbuf_t *lb);        // one item_size block
void *lbuf_slab_malloc0(lbuf_t *lb);       // zeroed
char *lbuf_strdup(lbuf_t *lb, const char *text);
char *lbuf_strndup(lbuf_t *lb, const char *text, size_t n);
char *lbuf_sprintf(lbuf_t *lb, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int lbuf_vasprintf(lbuf_t *lb, char **out, const char *fmt, va_list va); // length or -1
void lbuf_free(lbuf_t *lb, void *data);    // NULL ignored
// NULL data allocates; larger n moves the data to a new block (on failure the
// old block stays and NULL is returned); n 0 frees; smaller n returns data.
void *lbuf_realloc(lbuf_t *lb, void *data, size_t n);
uint64_t lbuf_size(const void *data);      // data size of a block
int lbuf_owns(lbuf_t *lb, const void *p);  // 1 when p is one of the blocks' data
void lbuf_lock(lbuf_t *lb);
void lbuf_unlock(lbuf_t *lb);
void lbuf_clear(lbuf_t *lb);
void lbuf_iter_init(lbuf_t *lb, lbuf_iter_t *iter);
void *lbuf_iter_next(lbuf_iter_t *iter);    // blocks in allocation order, NULL at the end

// ---- slab and pool managers -------------------------------------------------
struct mem_alloc_mgr_t;
struct mem_alloc_mgr_t {
    uint32_t type; // only 0 exists
    lbuf_t *lb;
    void *(*alloc)(mem_alloc_mgr_t *m, size_t n); // the slab form ignores n
    void (*free)(mem_alloc_mgr_t *m, void *p);
    void (*clear)(mem_alloc_mgr_t *m);
    void (*destroy)(mem_alloc_mgr_t *m);
};
// Fixed-size blocks of item_size bytes. arg is unused. NULL on failure.
mem_alloc_mgr_t *mem_slab_mgr_init(uint32_t type, void *arg, uint64_t item_size);
// Blocks of any size. arg is unused. NULL on failure.
mem_alloc_mgr_t *mem_pool_mgr_init(uint32_t type, void *arg);
void *mem_mgr_alloc(mem_alloc_mgr_t *m, size_t n = 0);
void mem_mgr_free(mem_alloc_mgr_t *m, void *p);
void mem_mgr_clear(mem_alloc_mgr_t *m);     // frees every block, keeps the manager
void mem_mgr_destroy(mem_alloc_mgr_t *m);   // frees every block and the manager
void *mem_pool_alloc(mem_alloc_mgr_t *m, size_t n);
void mem_pool_free(mem_alloc_mgr_t *m, void *p);
char *mem_pool_strdup(mem_alloc_mgr_t *m, const char *text);
