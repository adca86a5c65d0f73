// Pointer containers with an optional lock: the compact array mem_parray_t
// and the slot table mem_slots_t, whose indexes never move.
#include <cstring>

#include "libpal/memory/pl_mem.h"

#define TAG "pal"

namespace {

// Holds the container's mutex for a scope when the container was built with
// its lock.
class opt_lock {
  public:
    opt_lock(bool use, pl_mutex_t *m) : m_(use ? m : nullptr)
    {
        if (m_)
            mutex_lock(m_);
    }
    ~opt_lock()
    {
        if (m_)
            mutex_unlock(m_);
    }
    opt_lock(const opt_lock &) = delete;
    opt_lock &operator=(const opt_lock &) = delete;

  private:
    pl_mutex_t *m_;
};

// Grows pointer storage to `cap` slots, zeroing the new ones. -1 leaves it.
int grow_ptrs(void ***data, uint64_t *capacity, uint64_t cap)
{
    if (cap <= *capacity)
        return 0;
    if (cap > SIZE_MAX / sizeof(void *))
        return -1;
    void **p = (void **)os_realloc(*data, (size_t)cap * sizeof(void *));
    if (!p)
        return -1;
    memset((void *)(p + *capacity), 0, (size_t)(cap - *capacity) * sizeof(void *));
    *data = p;
    *capacity = cap;
    return 0;
}

int64_t parray_index_nolock(const mem_parray_t *a, const void *p)
{
    for (uint64_t i = 0; i < a->count; ++i)
        if (a->data[i] == p)
            return (int64_t)i;
    return -1;
}

void parray_del_nolock(mem_parray_t *a, uint64_t i, uint64_t n)
{
    memmove((void *)(a->data + i), a->data + i + n, (size_t)(a->count - i - n) * sizeof(void *));
    memset((void *)(a->data + a->count - n), 0, (size_t)n * sizeof(void *));
    a->count -= n;
}

} // namespace

// ---- mem_parray_t ---------------------------------------------------------------

int mem_parray_init(mem_parray_t *a)
{
    a->count = 0;
    a->capacity = 0;
    a->mutex = nullptr;
    a->data = (void **)os_zalloc(16 * sizeof(void *));
    if (!a->data)
        return -1;
    a->capacity = 16;
    if (a->use_lock) {
        a->mutex = mutex_malloc();
        if (!a->mutex) {
            os_free(a->data);
            a->data = nullptr;
            a->capacity = 0;
            return -1;
        }
    }
    return 0;
}

void mem_parray_exit(mem_parray_t *a)
{
    os_free(a->data);
    a->data = nullptr;
    a->count = 0;
    a->capacity = 0;
    mutex_free(a->mutex);
    a->mutex = nullptr;
}

int mem_parray_reset(mem_parray_t *a)
{
    mem_parray_exit(a);
    return mem_parray_init(a);
}

int mem_parray_add2(mem_parray_t *a, void *p, uint64_t *index)
{
    opt_lock l(a->use_lock, a->mutex);
    if (a->flags & MEM_PARRAY_F_UNIQUE) {
        int64_t at = parray_index_nolock(a, p);
        if (at >= 0) {
            if (index)
                *index = (uint64_t)at;
            return 0;
        }
    }
    if (a->count == a->capacity) {
        uint64_t cap = a->capacity ? a->capacity * 2 : 16;
        if (a->capacity > UINT64_MAX / 2 || grow_ptrs(&a->data, &a->capacity, cap) < 0)
            return -1;
    }
    if (index)
        *index = a->count;
    a->data[a->count++] = p;
    return 0;
}

int mem_parray_add(mem_parray_t *a, void *p) { return mem_parray_add2(a, p, nullptr); }

int mem_parray_del2(mem_parray_t *a, uint64_t i, void **old)
{
    opt_lock l(a->use_lock, a->mutex);
    if (i >= a->count)
        return -1;
    if (old)
        *old = a->data[i];
    parray_del_nolock(a, i, 1);
    return 0;
}

int mem_parray_del(mem_parray_t *a, uint64_t i) { return mem_parray_del2(a, i, nullptr); }

int64_t mem_parray_remove(mem_parray_t *a, const void *p)
{
    opt_lock l(a->use_lock, a->mutex);
    int64_t at = parray_index_nolock(a, p);
    if (at >= 0)
        parray_del_nolock(a, (uint64_t)at, 1);
    return at;
}

int mem_parray_remove_first(mem_parray_t *a, uint64_t n)
{
    opt_lock l(a->use_lock, a->mutex);
    if (n > a->count)
        n = a->count;
    if (n)
        parray_del_nolock(a, 0, n);
    return 0;
}

void *mem_parray_get(mem_parray_t *a, uint64_t i)
{
    opt_lock l(a->use_lock, a->mutex);
    return i < a->count ? a->data[i] : nullptr;
}

int mem_parray_set(mem_parray_t *a, uint64_t i, void *p)
{
    opt_lock l(a->use_lock, a->mutex);
    if (i >= a->count)
        return -1;
    a->data[i] = p;
    return 0;
}

int64_t mem_parray_index(mem_parray_t *a, const void *p)
{
    opt_lock l(a->use_lock, a->mutex);
    return parray_index_nolock(a, p);
}

int mem_parray_reserve(mem_parray_t *a, uint64_t n)
{
    opt_lock l(a->use_lock, a->mutex);
    return grow_ptrs(&a->data, &a->capacity, n);
}

void mem_parray_clear(mem_parray_t *a)
{
    opt_lock l(a->use_lock, a->mutex);
    if (a->count)
        memset((void *)a->data, 0, (size_t)a->count * sizeof(void *));
    a->count = 0;
}

// ---- mem_slots_t ----------------------------------------------------------------

int mem_slots_init(mem_slots_t *t)
{
    t->high = 0;
    t->capacity = 0;
    t->mutex = nullptr;
    t->slots = (void **)os_zalloc(16 * sizeof(void *));
    if (!t->slots)
        return -1;
    t->capacity = 16;
    if (t->use_lock) {
        t->mutex = mutex_malloc();
        if (!t->mutex) {
            os_free(t->slots);
            t->slots = nullptr;
            t->capacity = 0;
            return -1;
        }
    }
    return 0;
}

void mem_slots_exit(mem_slots_t *t)
{
    os_free(t->slots);
    t->slots = nullptr;
    t->high = 0;
    t->capacity = 0;
    mutex_free(t->mutex);
    t->mutex = nullptr;
}

int mem_slots_add2(mem_slots_t *t, void *p, uint64_t *index)
{
    // NULL marks a free slot, so it cannot be stored.
    if (!p)
        return -1;
    opt_lock l(t->use_lock != 0, t->mutex);
    uint64_t i = 0;
    while (i < t->capacity && t->slots[i])
        ++i;
    if (i == t->capacity) {
        uint64_t cap = t->capacity ? t->capacity * 2 : 16;
        if (t->capacity > UINT64_MAX / 2 || grow_ptrs(&t->slots, &t->capacity, cap) < 0)
            return -1;
    }
    t->slots[i] = p;
    if (i + 1 > t->high)
        t->high = i + 1;
    if (index)
        *index = i;
    return 0;
}

int mem_slots_add(mem_slots_t *t, void *p) { return mem_slots_add2(t, p, nullptr); }

int mem_slots_del(mem_slots_t *t, uint64_t i, void **old)
{
    opt_lock l(t->use_lock != 0, t->mutex);
    if (i >= t->high)
        return -1;
    if (old)
        *old = t->slots[i];
    t->slots[i] = nullptr;
    return 0;
}

int mem_slots_del_nocopy(mem_slots_t *t, uint64_t i) { return mem_slots_del(t, i, nullptr); }

int mem_slots_remove(mem_slots_t *t, const void *p)
{
    if (!p)
        return -1;
    opt_lock l(t->use_lock != 0, t->mutex);
    for (uint64_t i = 0; i < t->high; ++i) {
        if (t->slots[i] == p) {
            t->slots[i] = nullptr;
            return 0;
        }
    }
    return -1;
}

void *mem_slots_get(mem_slots_t *t, uint64_t i)
{
    opt_lock l(t->use_lock != 0, t->mutex);
    return i < t->high ? t->slots[i] : nullptr;
}

int mem_slots_set(mem_slots_t *t, uint64_t i, void *p)
{
    opt_lock l(t->use_lock != 0, t->mutex);
    if (i >= t->high)
        return -1;
    t->slots[i] = p;
    return 0;
}

int64_t mem_slots_index(mem_slots_t *t, const void *p)
{
    opt_lock l(t->use_lock != 0, t->mutex);
    for (uint64_t i = 0; i < t->high; ++i)
        if (t->slots[i] == p)
            return (int64_t)i;
    return -1;
}

int mem_slots_reserve(mem_slots_t *t, uint64_t n)
{
    opt_lock l(t->use_lock != 0, t->mutex);
    return grow_ptrs(&t->slots, &t->capacity, n);
}
