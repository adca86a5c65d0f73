// str_map: text keys to values, one heap block per entry. The entry layout
// follows the flags:
//   neither KEY_IN nor VAL_STR: key pointer, value pointer (16 bytes)
//   VAL_STR:                    key pointer, value text and NUL
//   KEY_IN:                     key text, NUL, 8-byte value pointer (unaligned)
//   KEY_IN and VAL_STR:         key text, NUL, value text, NUL
// Pointers inside an entry are read and written with memcpy: behind an inline
// key they sit at any byte offset.
#include <algorithm>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_vector.h"
#include "libpal/string/str_vector_imp.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

bool key_in(const str_map *m) { return m->flags & STR_MAP_KEY_IN; }
bool val_str(const str_map *m) { return m->flags & STR_MAP_VAL_STR; }

const char *entry_key(const str_map *m, const void *e)
{
    if (!e)
        return nullptr;
    if (key_in(m))
        return (const char *)e;
    const char *k;
    memcpy(&k, e, sizeof(k));
    return k;
}

// Bytes of the key part of an entry.
size_t key_part(const str_map *m, const void *e)
{
    return key_in(m) ? strlen((const char *)e) + 1 : sizeof(const char *);
}

char *value_pos(const str_map *m, void *e) { return (char *)e + key_part(m, e); }

void *entry_val(const str_map *m, void *e)
{
    if (!e)
        return nullptr;
    char *p = value_pos(m, e);
    if (val_str(m))
        return p;
    void *v;
    memcpy(&v, p, sizeof(v));
    return v;
}

void free_entry(const str_map *m, void *e)
{
    if (!e)
        return;
    if ((m->flags & STR_MAP_VAL_OWN) && !val_str(m))
        os_free(entry_val(m, e));
    os_free(e);
}

void *make_entry(const str_map *m, const char *key, const void *value)
{
    const char *text = val_str(m) ? (value ? (const char *)value : "") : nullptr;
    size_t klen = key_in(m) ? strlen(key) + 1 : sizeof(const char *);
    size_t vlen = text ? strlen(text) + 1 : sizeof(void *);
    char *p = (char *)os_malloc(klen + vlen);
    PL_ASSERT_RET(TAG, p, nullptr);
    if (key_in(m))
        memcpy(p, key, klen);
    else
        memcpy(p, &key, sizeof(key));
    if (text)
        memcpy(p + klen, text, vlen);
    else
        memcpy(p + klen, &value, sizeof(value));
    return p;
}

int ensure_room(str_map *m)
{
    if (m->entries && m->count < m->cap)
        return 0;
    uint64_t ncap = (m->entries && m->cap) ? str_array_next_cap(m->cap) : (m->cap > m->count ? m->cap : 16);
    if (ncap >= SIZE_MAX / sizeof(void *))
        return -1;
    void **n = (void **)os_realloc(m->entries, ncap * sizeof(void *));
    if (!n)
        return -1;
    uint64_t old = m->entries ? m->cap : 0;
    memset(n + old, 0, (ncap - old) * sizeof(void *));
    m->entries = n;
    m->cap = ncap;
    return 0;
}

// Key order of a sorted map; an empty slot sorts after every key.
int cmp_key(const char *a, const char *b)
{
    if (!a || !b)
        return (a == nullptr) - (b == nullptr);
    return strcmp(a, b);
}

} // namespace

int str_map_init(str_map *m, uint32_t flags)
{
    if (!m)
        return -1;
    m->flags = (flags & STR_MODE_MASK) ? flags : (flags | STR_MODE_STRUCT);
    m->count = 0;
    m->entries = nullptr;
    if (m->cap) {
        if (m->cap >= SIZE_MAX / sizeof(void *))
            return -1;
        m->entries = (void **)os_zalloc(m->cap * sizeof(void *));
        if (!m->entries) {
            m->cap = 0;
            return -1;
        }
    }
    return 0;
}

str_map *str_map_new(uint32_t flags)
{
    str_map *m = (str_map *)os_zalloc(sizeof(str_map));
    if (!m)
        return nullptr;
    str_map_init(m, flags);
    return m;
}

void str_map_clear(str_map *m)
{
    if (!m || !m->entries)
        return;
    for (uint64_t i = 0; i < m->count; ++i) {
        free_entry(m, m->entries[i]);
        m->entries[i] = nullptr;
    }
    m->count = 0;
}

void str_map_uninit(str_map *m)
{
    if (!m)
        return;
    str_map_clear(m);
    os_free(m->entries);
    m->entries = nullptr;
    m->cap = 0;
}

void str_map_free(str_map *m)
{
    if (!m)
        return;
    str_map_uninit(m);
    os_free(m);
}

int str_map_add(str_map *m, const char *key, const void *value)
{
    PL_ASSERT_RET(TAG, m!=NULL, -1);
    PL_ASSERT_RET(TAG, key!=NULL, -1);
    if (ensure_room(m) < 0)
        return -1;
    void *e = make_entry(m, key, value);
    if (!e)
        return -1;
    uint64_t at = m->count;
    if (m->flags & STR_MAP_SORTED) {
        // Behind the last equal key, so the map stays in key order for the
        // bisection of finding.
        void **end = m->entries + m->count;
        void **pos = std::upper_bound(m->entries, end, key, [m](const char *k, void *x) {
            return cmp_key(k, entry_key(m, x)) < 0;
        });
        at = (uint64_t)(pos - m->entries);
        memmove(m->entries + at + 1, m->entries + at, (m->count - at) * sizeof(void *));
    }
    m->entries[at] = e;
    ++m->count;
    return 0;
}

int64_t str_map_find(const str_map *m, const char *key)
{
    if (!m || !key || !m->entries)
        return -1;
    if (m->flags & STR_MAP_SORTED) {
        uint64_t lo = 0, hi = m->count;
        while (lo < hi) {
            uint64_t mid = lo + (hi - lo) / 2;
            int c = cmp_key(key, entry_key(m, m->entries[mid]));
            if (c == 0)
                return (int64_t)mid;
            if (c < 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        return -1;
    }
    for (uint64_t i = 0; i < m->count; ++i) {
        const char *k = entry_key(m, m->entries[i]);
        if (k && strcmp(k, key) == 0)
            return (int64_t)i;
    }
    return -1;
}

int str_map_set(str_map *m, const char *key, const void *value)
{
    PL_ASSERT_RET(TAG, m!=NULL, -1);
    PL_ASSERT_RET(TAG, key!=NULL, -1);
    int64_t i = str_map_find(m, key);
    if (i < 0)
        return str_map_add(m, key, value);
    void *e = m->entries[i];
    char *vp = value_pos(m, e);
    if (!val_str(m)) {
        void *old = entry_val(m, e);
        if ((m->flags & STR_MAP_VAL_OWN) && old != value)
            os_free(old);
        memcpy(vp, &value, sizeof(value));
        return 0;
    }
    const char *text = value ? (const char *)value : "";
    size_t nlen = strlen(text);
    if (nlen <= strlen(vp)) {
        memmove(vp, text, nlen + 1);
        return 0;
    }
    // Longer: a new block with the same key part, in the same slot.
    size_t klen = key_part(m, e);
    char *nval = (char *)os_malloc(klen + nlen + 1);
    PL_ASSERT_RET(TAG, nval, -1);
    memcpy(nval, e, klen);
    memcpy(nval + klen, text, nlen + 1);
    m->entries[i] = nval;
    os_free(e);
    return 0;
}

void *str_map_get(const str_map *m, const char *key)
{
    int64_t i = str_map_find(m, key);
    return i < 0 ? nullptr : entry_val(m, m->entries[i]);
}

int str_map_del(str_map *m, const char *key)
{
    int64_t i = str_map_find(m, key);
    if (i < 0)
        return -1;
    free_entry(m, m->entries[i]);
    memmove(m->entries + i, m->entries + i + 1, (m->count - (uint64_t)i - 1) * sizeof(void *));
    m->entries[--m->count] = nullptr;
    return 0;
}

const char *str_map_key_at(const str_map *m, uint64_t i)
{
    if (!m || !m->entries || i >= m->count)
        return nullptr;
    return entry_key(m, m->entries[i]);
}

void *str_map_val_at(const str_map *m, uint64_t i)
{
    if (!m || !m->entries || i >= m->count)
        return nullptr;
    return entry_val(m, m->entries[i]);
}

void str_map_del_at(str_map *m, uint64_t i)
{
    if (!m || !m->entries || i >= m->count || !m->entries[i])
        return;
    free_entry(m, m->entries[i]);
    m->entries[i] = nullptr;
    // An empty slot inside the key order would mislead the bisection: the map
    // is searched by scanning until it is sorted again.
    if (i + 1 < m->count)
        m->flags &= ~(uint32_t)STR_MAP_SORTED;
}

void str_map_sort(str_map *m)
{
    if (!m)
        return;
    m->flags |= STR_MAP_SORTED;
    if (!m->entries || m->count < 2)
        return;
    std::sort(m->entries, m->entries + m->count,
              [m](void *a, void *b) { return cmp_key(entry_key(m, a), entry_key(m, b)) < 0; });
}
