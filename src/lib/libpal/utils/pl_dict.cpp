// Hash dictionary. Every key sits on its own probe sequence within `size`
// probes of its start, so a lookup that walks that many probes without
// meeting it knows it is absent. Deleted slots keep their marker until a
// rebuild; a table that a lookup finds without a usable slot is rebuilt
// (at the same size when the keys still fit, which clears the markers).
#include "libpal/utils/pl_dict.h"

#include <cinttypes>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

#define TAG "pal"

namespace {

char *const DELETED = (char *)UINTPTR_MAX;
constexpr uint32_t INIT_SIZE = 8;
constexpr uint32_t MAX_SIZE = 1u << 30;

bool is_live(const dict_slot_t *s) { return s->key && s->key != DELETED; }

uint32_t murmur2(const unsigned char *p, uint32_t len, uint32_t seed)
{
    const uint32_t m = 0x5bd1e995;
    uint32_t h = seed ^ len;
    for (; len >= 4; p += 4, len -= 4) {
        uint32_t k = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
    }
    switch (len) {
    case 3:
        h ^= (uint32_t)p[2] << 16;
        [[fallthrough]];
    case 2:
        h ^= (uint32_t)p[1] << 8;
        [[fallthrough]];
    case 1:
        h ^= p[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

// The slot for key: the live slot holding it, else the first deleted slot
// on its probe sequence before an empty one, else that empty one. NULL when
// `size` probes after the first meet no empty slot.
dict_slot_t *lookup(const dict_t *d, const char *key, uint32_t hash)
{
    const uint32_t mask = d->size - 1;
    uint32_t i = hash & mask;
    dict_slot_t *s = &d->slots[i];
    if (!s->key || s->key == key)
        return s;
    dict_slot_t *freeslot = nullptr;
    if (s->key == DELETED)
        freeslot = s;
    else if (s->hash == hash && strcmp(s->key, key) == 0)
        return s;
    for (uint32_t perturb = hash, n = 0; n < d->size; ++n, perturb >>= 5) {
        i = (5 * i + perturb + 1) & mask;
        s = &d->slots[i];
        if (!s->key)
            return freeslot ? freeslot : s;
        if (s->key == key)
            return s;
        if (s->key == DELETED) {
            if (!freeslot)
                freeslot = s;
        } else if (s->hash == hash && strcmp(s->key, key) == 0) {
            return s;
        }
    }
    return nullptr;
}

// The first empty slot on hash's probe sequence in a table without deleted
// slots, within the probes a lookup walks; NULL when there is none.
dict_slot_t *first_empty(dict_slot_t *slots, uint32_t size, uint32_t hash)
{
    const uint32_t mask = size - 1;
    uint32_t i = hash & mask;
    if (!slots[i].key)
        return &slots[i];
    for (uint32_t perturb = hash, n = 0; n < size; ++n, perturb >>= 5) {
        i = (5 * i + perturb + 1) & mask;
        if (!slots[i].key)
            return &slots[i];
    }
    return nullptr;
}

// Moves the live entries into a new table of at least `size` slots (more
// when one does not fit its probe sequence). -1 when memory runs out; the
// dictionary is then as it was.
int rebuild_to(dict_t *d, uint32_t size)
{
    for (; size <= MAX_SIZE; size <<= 1) {
        dict_slot_t *slots = (dict_slot_t *)os_calloc(size, sizeof(dict_slot_t));
        if (!slots)
            return -1;
        uint32_t live = 0;
        bool placed = true;
        for (uint32_t i = 0; i < d->size && placed; ++i) {
            const dict_slot_t *old = &d->slots[i];
            if (!is_live(old))
                continue;
            dict_slot_t *s = first_empty(slots, size, old->hash);
            if (!s) {
                placed = false;
                break;
            }
            *s = *old;
            ++live;
        }
        if (!placed) {
            os_free(slots);
            continue;
        }
        os_free(d->slots);
        d->slots = slots;
        d->size = size;
        d->fill = d->live = live;
        return 0;
    }
    return -1;
}

// The size a rebuild aims at: doubled while not above live x 4 (x 2 above
// 64000 slots); never smaller than now.
uint32_t rebuild_size(const dict_t *d)
{
    uint64_t limit = (uint64_t)d->live * (d->size > 64000 ? 2 : 4);
    uint64_t size = d->size;
    while (size <= limit && size < MAX_SIZE)
        size <<= 1;
    return (uint32_t)size;
}

void release_value(const dict_t *d, uint64_t value)
{
    if ((d->flags & (DICT_F_VAL_STR | DICT_F_VAL_FREE)) && value)
        os_free((void *)(uintptr_t)value);
}

// The value as the dictionary stores it: a copy under 0x100. false when the
// copy cannot be made.
bool stored_value(const dict_t *d, uint64_t value, uint64_t *out)
{
    *out = value;
    if (!(d->flags & DICT_F_VAL_STR) || !value)
        return true;
    char *copy = os_strdup((const char *)(uintptr_t)value);
    if (!copy)
        return false;
    *out = (uint64_t)(uintptr_t)copy;
    return true;
}

} // namespace

uint32_t dict_hash(const char *key)
{
    size_t len = strlen(key);
    if (len == 0)
        return 0;
    return murmur2((const unsigned char *)key, (uint32_t)len, (uint32_t)len ^ 0xbadcafe);
}

dict_t *dict_init(uint32_t flags)
{
    dict_t *d = (dict_t *)os_zalloc(sizeof(dict_t));
    if (!d)
        return nullptr;
    d->slots = (dict_slot_t *)os_calloc(INIT_SIZE, sizeof(dict_slot_t));
    if (!d->slots) {
        os_free(d);
        return nullptr;
    }
    d->flags = flags;
    d->size = INIT_SIZE;
    return d;
}

int dict_set(dict_t *d, const char *key, uint64_t value)
{
    PL_ASSERT_HARD(TAG, d!=NULL);
    PL_ASSERT_HARD(TAG, key!=NULL);
    const uint32_t hash = dict_hash(key);
    dict_slot_t *s = lookup(d, key, hash);
    // No usable slot: clear the deleted markers (same size when the keys
    // fit), then grow, until the key has a slot.
    for (uint32_t size = rebuild_size(d); !s; size = d->size << 1) {
        if (rebuild_to(d, size) < 0)
            return -1;
        s = lookup(d, key, hash);
    }
    uint64_t v;
    if (is_live(s)) {
        if (s->value == value && (d->flags & DICT_F_VAL_FREE))
            return 0; // the very pointer it already owns
        if (!stored_value(d, value, &v))
            return -1;
        uint64_t old = s->value;
        s->value = v;
        if (old != v)
            release_value(d, old);
        return 0;
    }
    char *k = (char *)key;
    if ((d->flags & DICT_F_KEY_COPY) && !(k = os_strdup(key)))
        return -1;
    if (!stored_value(d, value, &v)) {
        if (k != key)
            os_free(k);
        return -1;
    }
    s->key = k;
    s->value = v;
    s->hash = hash;
    ++d->fill;
    ++d->live;
    // Keep at least a third of the slots never filled. A failure here leaves
    // the key stored; the next insertion that needs a slot tries again.
    if ((uint64_t)d->fill * 3 >= (uint64_t)d->size * 2) {
        uint32_t size = rebuild_size(d);
        if (size != d->size || d->fill != d->live)
            rebuild_to(d, size);
    }
    return 0;
}

uint64_t dict_get(const dict_t *d, const char *key, uint64_t def)
{
    if (!d || !key)
        return def;
    const dict_slot_t *s = lookup(d, key, dict_hash(key));
    return s && is_live(s) ? s->value : def;
}

int dict_del(dict_t *d, const char *key)
{
    PL_ASSERT_HARD(TAG, d!=NULL);
    PL_ASSERT_HARD(TAG, key!=NULL);
    dict_slot_t *s = lookup(d, key, dict_hash(key));
    if (!s || !is_live(s))
        return -1;
    if (d->flags & DICT_F_KEY_COPY)
        os_free(s->key);
    release_value(d, s->value);
    s->key = DELETED;
    s->value = 0;
    --d->live;
    return 0;
}

uint32_t dict_count(const dict_t *d) { return d ? d->live : 0; }

int dict_next(const dict_t *d, int pos, const char **key, uint64_t *value)
{
    if (!d || !key || !value || pos < 0)
        return -1;
    for (uint32_t i = (uint32_t)pos; i < d->size; ++i) {
        if (is_live(&d->slots[i])) {
            *key = d->slots[i].key;
            *value = d->slots[i].value;
            return (int)i + 1;
        }
    }
    *key = nullptr;
    *value = 0;
    return -1;
}

void dict_dump(const dict_t *d, FILE *f)
{
    if (!d || !f)
        return;
    const char *key;
    uint64_t value;
    for (int pos = dict_next(d, 0, &key, &value); pos >= 0; pos = dict_next(d, pos, &key, &value)) {
        if (d->flags & DICT_F_VAL_STR)
            fprintf(f, "[rank=%d] %s: %s\n", pos, key, value ? (const char *)(uintptr_t)value : "UNDEF");
        else if ((d->flags & DICT_F_VAL_FREE) && !value)
            fprintf(f, "[rank=%d] %s: %s\n", pos, key, "UNDEF");
        else
            fprintf(f, "[rank=%d] %s: %" PRIu64 "\n", pos, key, value);
    }
}

int dict_get_key_list(const dict_t *d, dict_key_list_t **list)
{
    PL_ASSERT_HARD(TAG, d!=NULL);
    *list = nullptr;
    dict_key_list_t **tail = list;
    for (uint32_t i = 0; i < d->size; ++i) {
        if (!is_live(&d->slots[i]))
            continue;
        dict_key_list_t *r = (dict_key_list_t *)os_zalloc(sizeof(dict_key_list_t));
        if (r && !(r->key = os_strdup(d->slots[i].key))) {
            os_free(r);
            r = nullptr;
        }
        if (!r) {
            while (*list) {
                dict_key_list_t *next = (*list)->next;
                os_free((*list)->key);
                os_free(*list);
                *list = next;
            }
            return -1;
        }
        *tail = r;
        tail = &r->next;
    }
    return -1;
}

void dict_exit(dict_t *d)
{
    PL_ASSERT_HARD(TAG, d!=NULL);
    for (uint32_t i = 0; i < d->size; ++i) {
        dict_slot_t *s = &d->slots[i];
        if (!is_live(s))
            continue;
        if (d->flags & DICT_F_KEY_COPY)
            os_free(s->key);
        release_value(d, s->value);
    }
    os_free(d->slots);
    os_free(d);
}
