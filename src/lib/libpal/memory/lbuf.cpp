// The linked block allocator lbuf_t and the slab and pool managers over it.
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"

#define TAG "pal"

namespace {

// A block: list links, padding that keeps the data 16-byte aligned, the data
// size just in front of the data, then the data.
struct lbuf_block {
    list_node link;
    uint64_t pad;
    uint64_t size;
};
static_assert(sizeof(lbuf_block) == 32, "block header is 32 bytes");

inline lbuf_block *block_of(const void *data) { return (lbuf_block *)((char *)data - sizeof(lbuf_block)); }
inline void *data_of(lbuf_block *b) { return (char *)b + sizeof(lbuf_block); }

// Unlinks and frees one block; the caller holds the mutex or owns the lbuf alone.
void block_release(lbuf_t *lb, lbuf_block *b)
{
    if (lb->on_free)
        lb->on_free(data_of(b), lb->user);
    list_del(&b->link);
    os_free(b);
}

} // namespace

lbuf_t *lbuf_init(const lbuf_cfg_t *cfg)
{
    lbuf_t *lb = (lbuf_t *)os_zalloc(sizeof(lbuf_t));
    if (!lb)
        return nullptr;
    list_init(&lb->blocks);
    if (cfg) {
        if (cfg->name) {
            lb->name = os_strdup(cfg->name);
            if (!lb->name) {
                os_free(lb);
                return nullptr;
            }
        }
        lb->user = cfg->user;
        lb->item_size = cfg->item_size;
        lb->on_alloc = cfg->on_alloc;
        lb->on_free = cfg->on_free;
    }
    // Recursive, so that a caller holding lbuf_lock can still allocate,
    // free and test ownership without deadlocking on itself, while other
    // threads wait for it.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&lb->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        os_free(lb->name);
        os_free(lb);
        return nullptr;
    }
    return lb;
}

void lbuf_clear(lbuf_t *lb)
{
    if (!lb)
        return;
    while (!list_empty(&lb->blocks))
        block_release(lb, (lbuf_block *)lb->blocks.next);
}

void lbuf_exit(lbuf_t *lb)
{
    if (!lb)
        return;
    lbuf_clear(lb);
    pthread_mutex_destroy(&lb->mutex);
    os_free(lb->name);
    os_free(lb);
}

void *lbuf_malloc0(lbuf_t *lb, size_t n, int zeroed)
{
    if (!lb || n > SIZE_MAX - sizeof(lbuf_block))
        return nullptr;
    lbuf_block *b = (lbuf_block *)(zeroed ? os_zalloc(n + sizeof(lbuf_block)) : os_malloc(n + sizeof(lbuf_block)));
    if (!b)
        return nullptr;
    b->pad = 0;
    b->size = n;
    void *data = data_of(b);
    if (lb->on_alloc)
        lb->on_alloc(data, lb->user);
    pthread_mutex_lock(&lb->mutex);
    list_add_tail(&lb->blocks, &b->link);
    pthread_mutex_unlock(&lb->mutex);
    return data;
}

void *lbuf_malloc(lbuf_t *lb, size_t n) { return lbuf_malloc0(lb, n, 0); }

void *lbuf_slab_malloc(lbuf_t *lb)
{
    PL_ASSERT_RET(TAG, lb, nullptr);
    lbuf_t *B = lb;
    PL_ASSERT_RET(TAG, B->item_size != 0, nullptr);
    return lbuf_malloc0(lb, (size_t)lb->item_size, 0);
}

void *lbuf_slab_malloc0(lbuf_t *lb)
{
    PL_ASSERT_RET(TAG, lb, nullptr);
    lbuf_t *B = lb;
    PL_ASSERT_RET(TAG, B->item_size != 0, nullptr);
    return lbuf_malloc0(lb, (size_t)lb->item_size, 1);
}

char *lbuf_strdup(lbuf_t *lb, const char *text)
{
    if (!text)
        return nullptr;
    size_t n = strlen(text);
    char *p = (char *)lbuf_malloc(lb, n + 1);
    if (p)
        memcpy(p, text, n + 1);
    return p;
}

char *lbuf_strndup(lbuf_t *lb, const char *text, size_t n)
{
    if (!text)
        return nullptr;
    n = os_strnlen(text, n);
    char *p = (char *)lbuf_malloc(lb, n + 1);
    if (p) {
        memcpy(p, text, n);
        p[n] = 0;
    }
    return p;
}

int lbuf_vasprintf(lbuf_t *lb, char **out, const char *fmt, va_list va)
{
    return os_vasprintf_imp(
        out, fmt, va, [](void *ctx, size_t n) { return lbuf_malloc((lbuf_t *)ctx, n); }, lb);
}

char *lbuf_sprintf(lbuf_t *lb, const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    char *out = nullptr;
    lbuf_vasprintf(lb, &out, fmt, va);
    va_end(va);
    return out;
}

void lbuf_free(lbuf_t *lb, void *data)
{
    if (!lb || !data)
        return;
    pthread_mutex_lock(&lb->mutex);
    block_release(lb, block_of(data));
    pthread_mutex_unlock(&lb->mutex);
}

void *lbuf_realloc(lbuf_t *lb, void *data, size_t n)
{
    if (!data)
        return lbuf_malloc(lb, n);
    if (n == 0) {
        lbuf_free(lb, data);
        return nullptr;
    }
    uint64_t old = block_of(data)->size;
    if (n <= old)
        return data;
    void *p = lbuf_malloc(lb, n);
    if (!p)
        return nullptr;
    memcpy(p, data, (size_t)old);
    lbuf_free(lb, data);
    return p;
}

uint64_t lbuf_size(const void *data) { return data ? block_of(data)->size : 0; }

int lbuf_owns(lbuf_t *lb, const void *p)
{
    if (!lb || !p)
        return 0;
    int found = 0;
    pthread_mutex_lock(&lb->mutex);
    for (list_node *n = lb->blocks.next; n != &lb->blocks; n = n->next) {
        if (data_of((lbuf_block *)n) == p) {
            found = 1;
            break;
        }
    }
    pthread_mutex_unlock(&lb->mutex);
    return found;
}

void lbuf_lock(lbuf_t *lb)
{
    pthread_mutex_lock(&lb->mutex);
    lb->held = 1;
}

void lbuf_unlock(lbuf_t *lb)
{
    lb->held = 0;
    pthread_mutex_unlock(&lb->mutex);
}

void lbuf_iter_init(lbuf_t *lb, lbuf_iter_t *iter)
{
    PL_ASSERT_HARD(TAG, iter != NULL);
    iter->lb = lb;
    iter->cur = lb ? lb->blocks.next : nullptr;
}

void *lbuf_iter_next(lbuf_iter_t *iter)
{
    PL_ASSERT_HARD(TAG, iter != NULL);
    if (!iter->lb || !iter->cur || iter->cur == &iter->lb->blocks)
        return nullptr;
    lbuf_block *b = (lbuf_block *)iter->cur;
    iter->cur = iter->cur->next;
    return data_of(b);
}

// ---- managers -------------------------------------------------------------------

namespace {

void *slab_alloc(mem_alloc_mgr_t *m, size_t) { return lbuf_slab_malloc(m->lb); }
void *pool_alloc(mem_alloc_mgr_t *m, size_t n) { return lbuf_malloc(m->lb, n); }
void mgr_free(mem_alloc_mgr_t *m, void *p) { lbuf_free(m->lb, p); }
void mgr_clear(mem_alloc_mgr_t *m) { lbuf_clear(m->lb); }
void mgr_destroy(mem_alloc_mgr_t *m)
{
    lbuf_exit(m->lb);
    m->lb = nullptr;
}

mem_alloc_mgr_t *mgr_new(uint32_t type, uint64_t item_size, void *(*alloc)(mem_alloc_mgr_t *, size_t))
{
    if (type != 0)
        PL_ASSERT_HARD(TAG, 0);
    mem_alloc_mgr_t *m = (mem_alloc_mgr_t *)os_zalloc(sizeof(mem_alloc_mgr_t));
    if (!m)
        return nullptr;
    lbuf_cfg_t cfg = {};
    cfg.item_size = item_size;
    m->lb = lbuf_init(&cfg);
    if (!m->lb) {
        os_free(m);
        return nullptr;
    }
    m->type = type;
    m->alloc = alloc;
    m->free = mgr_free;
    m->clear = mgr_clear;
    m->destroy = mgr_destroy;
    return m;
}

} // namespace

mem_alloc_mgr_t *mem_slab_mgr_init(uint32_t type, void *, uint64_t item_size)
{
    return mgr_new(type, item_size, slab_alloc);
}

mem_alloc_mgr_t *mem_pool_mgr_init(uint32_t type, void *) { return mgr_new(type, 0, pool_alloc); }

void *mem_mgr_alloc(mem_alloc_mgr_t *m, size_t n) { return m ? m->alloc(m, n) : nullptr; }

void mem_mgr_free(mem_alloc_mgr_t *m, void *p)
{
    if (m && m->free)
        m->free(m, p);
}

void mem_mgr_clear(mem_alloc_mgr_t *m)
{
    if (m && m->clear)
        m->clear(m);
}

void mem_mgr_destroy(mem_alloc_mgr_t *m)
{
    if (!m)
        return;
    if (m->destroy)
        m->destroy(m);
    os_free(m);
}

void *mem_pool_alloc(mem_alloc_mgr_t *m, size_t n) { return mem_mgr_alloc(m, n); }

void mem_pool_free(mem_alloc_mgr_t *m, void *p) { mem_mgr_free(m, p); }

char *mem_pool_strdup(mem_alloc_mgr_t *m, const char *text) { return m ? lbuf_strdup(m->lb, text) : nullptr; }
