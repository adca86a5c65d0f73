// The ini dictionary: parallel arrays of names, values, comments and hashes.
#include "libconf/ini/dictionary.h"

#include <cstring>
#include <new>
#include <vector>

#include "liblog/log2.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/zkfile.h"
#include "libpal/string/str_safe.h"

// Every used slot, found by its name's hash: an open-addressing table of
// slot numbers (plus one; 0 is an empty cell, kGone one left by a removal)
// with at least twice as many cells as it holds. When memory for it runs
// out the index is dropped for good and lookups scan the slots, which find
// the same entries.
struct dict_index {
    std::vector<uint64_t> cells;
    uint64_t used = 0; // cells holding a slot or kGone
    bool ok = true;
};

namespace {
constexpr uint64_t kMinSlots = 128;
constexpr uint64_t kGone = UINT64_MAX;

bool index_usable(const dictionary *d) { return d->index && d->index->ok; }

// Puts slot i (hash h) into cells, which has room.
void index_put(std::vector<uint64_t> &cells, uint32_t h, uint64_t i)
{
    uint64_t mask = cells.size() - 1;
    for (uint64_t c = h & mask;; c = (c + 1) & mask) {
        if (cells[c] == 0 || cells[c] == kGone) {
            cells[c] = i + 1;
            return;
        }
    }
}

// Rebuilds the table with room for twice the used slots (tombstones go).
bool index_rebuild(dictionary *d)
{
    uint64_t want = 256;
    while (want < 4 * (uint64_t)(d->n + 1))
        want *= 2;
    try {
        std::vector<uint64_t> cells(want, 0);
        uint64_t n = 0;
        for (uint64_t i = 0; i < d->size; ++i) {
            if (d->key[i]) {
                index_put(cells, d->hash[i], i);
                ++n;
            }
        }
        d->index->cells.swap(cells);
        d->index->used = n;
        return true;
    } catch (...) {
        d->index->ok = false;
        d->index->cells.clear();
        return false;
    }
}

// Slot i (already holding its name and hash) goes into the index.
void index_add(dictionary *d, uint32_t h, uint64_t i)
{
    if (!index_usable(d))
        return;
    dict_index *x = d->index;
    if (2 * (x->used + 1) > x->cells.size()) {
        // The rebuild takes slot i too, which is already in place.
        index_rebuild(d);
        return;
    }
    index_put(x->cells, h, i);
    x->used++;
}

void index_del(dictionary *d, uint32_t h, uint64_t i)
{
    if (!index_usable(d) || d->index->cells.empty())
        return;
    std::vector<uint64_t> &cells = d->index->cells;
    uint64_t mask = cells.size() - 1;
    for (uint64_t c = h & mask; cells[c] != 0; c = (c + 1) & mask) {
        if (cells[c] == i + 1) {
            cells[c] = kGone;
            return;
        }
    }
}


// Copy of s, or NULL for NULL; *ok turns false when the copy failed.
char *dup_or_null(const char *s, bool *ok)
{
    if (!s)
        return nullptr;
    char *p = os_strdup(s);
    if (!p)
        *ok = false;
    return p;
}

void free_slot(dictionary *d, uint64_t i)
{
    if (d->key[i])
        index_del(d, d->hash[i], i);
    os_free(d->key[i]);
    os_free(d->val[i]);
    os_free(d->comment[i]);
    d->key[i] = d->val[i] = d->comment[i] = nullptr;
    d->hash[i] = 0;
}

// Doubles the four arrays; false (dictionary unchanged) when memory runs out.
bool grow(dictionary *d)
{
    uint64_t ns = d->size * 2;
    char **v = (char **)os_calloc(ns, sizeof(char *));
    char **k = (char **)os_calloc(ns, sizeof(char *));
    char **c = (char **)os_calloc(ns, sizeof(char *));
    uint32_t *h = (uint32_t *)os_calloc(ns, sizeof(uint32_t));
    if (!v || !k || !c || !h) {
        os_free(v);
        os_free(k);
        os_free(c);
        os_free(h);
        return false;
    }
    memcpy(v, d->val, d->size * sizeof(char *));
    memcpy(k, d->key, d->size * sizeof(char *));
    memcpy(c, d->comment, d->size * sizeof(char *));
    memcpy(h, d->hash, d->size * sizeof(uint32_t));
    os_free(d->val);
    os_free(d->key);
    os_free(d->comment);
    os_free(d->hash);
    d->val = v;
    d->key = k;
    d->comment = c;
    d->hash = h;
    d->size = ns;
    return true;
}

// The name is the section itself or one of its keys.
bool in_section(const char *name, const char *sec, size_t slen)
{
    return strncmp(name, sec, slen) == 0 && (name[slen] == '\0' || name[slen] == '\t');
}
} // namespace

dictionary *dictionary_new(size_t size)
{
    if (size < kMinSlots)
        size = kMinSlots;
    dictionary *d = (dictionary *)os_zalloc(sizeof(dictionary));
    if (!d)
        return nullptr;
    d->size = size;
    d->val = (char **)os_calloc(size, sizeof(char *));
    d->key = (char **)os_calloc(size, sizeof(char *));
    d->comment = (char **)os_calloc(size, sizeof(char *));
    d->hash = (uint32_t *)os_calloc(size, sizeof(uint32_t));
    d->index = new (std::nothrow) dict_index;
    if (!d->val || !d->key || !d->comment || !d->hash || !d->index) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

void dictionary_del(dictionary *d)
{
    if (!d)
        return;
    if (d->key) {
        for (uint64_t i = 0; i < d->size; ++i)
            if (d->key[i] || d->val[i] || d->comment[i])
                free_slot(d, i);
    }
    os_free(d->val);
    os_free(d->key);
    os_free(d->comment);
    os_free(d->hash);
    os_free(d->tail);
    delete d->index;
    os_free(d);
}

uint32_t dictionary_hash(const char *name)
{
    uint32_t h = 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; ++p) {
        h += *p;
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

int64_t dictionary_find(const dictionary *d, const char *name)
{
    if (!d || !name)
        return -1;
    uint32_t h = dictionary_hash(name);
    if (index_usable(d) && !d->index->cells.empty()) {
        // Names are unique: the one cell that holds it.
        const std::vector<uint64_t> &cells = d->index->cells;
        uint64_t mask = cells.size() - 1;
        for (uint64_t c = h & mask; cells[c] != 0; c = (c + 1) & mask) {
            uint64_t i = cells[c] - 1;
            if (cells[c] != kGone && d->hash[i] == h && strcmp(d->key[i], name) == 0)
                return (int64_t)i;
        }
        return -1;
    }
    for (uint64_t i = 0; i < d->size; ++i) {
        if (d->key[i] && d->hash[i] == h && strcmp(d->key[i], name) == 0)
            return (int64_t)i;
    }
    return -1;
}

int dictionary_rekey(dictionary *d, int64_t i, const char *name)
{
    if (!d || !name || i < 0 || (uint64_t)i >= d->size || !d->key[i])
        return -1;
    char *n = os_strdup(name);
    if (!n)
        return -1;
    index_del(d, d->hash[i], (uint64_t)i);
    os_free(d->key[i]);
    d->key[i] = n;
    d->hash[i] = dictionary_hash(n);
    index_add(d, d->hash[i], (uint64_t)i);
    return 0;
}

const char *dictionary_get(const dictionary *d, const char *name, const char *def)
{
    int64_t i = dictionary_find(d, name);
    return i < 0 ? def : d->val[i];
}

const char *dictionary_get_comment(const dictionary *d, const char *name)
{
    int64_t i = dictionary_find(d, name);
    return i < 0 ? nullptr : d->comment[i];
}

int dictionary_set(dictionary *d, const char *name, const char *val, const char *comment)
{
    if (!d || !name)
        return -1;
    int64_t at = dictionary_find(d, name);
    bool ok = true;
    if (at >= 0) {
        char *nv = dup_or_null(val, &ok);
        if (!ok)
            return -1;
        os_free(d->val[at]);
        d->val[at] = nv;
        return 0;
    }
    if ((uint64_t)d->n == d->size && !grow(d))
        return -1;
    char *nk = dup_or_null(name, &ok);
    char *nv = dup_or_null(val, &ok);
    char *nc = dup_or_null(comment, &ok);
    if (!ok) {
        os_free(nk);
        os_free(nv);
        os_free(nc);
        return -1;
    }
    uint64_t i = (uint64_t)d->n;
    for (uint64_t tries = 0; tries < d->size && d->key[i]; ++tries)
        i = (i + 1) % d->size;
    d->key[i] = nk;
    d->val[i] = nv;
    d->comment[i] = nc;
    d->hash[i] = dictionary_hash(name);
    index_add(d, d->hash[i], i);
    d->n++;
    return 0;
}

int dictionary_setcomm(dictionary *d, const char *name, const char *val)
{
    return dictionary_set(d, name, val, nullptr);
}

void dictionary_set_tail(dictionary *d, const char *text)
{
    if (!d)
        return;
    char *t = text ? os_strdup(text) : nullptr;
    if (text && !t)
        return;
    os_free(d->tail);
    d->tail = t;
}

int dictionary_unset(dictionary *d, const char *name)
{
    int64_t i = dictionary_find(d, name);
    if (i < 0)
        return -1;
    free_slot(d, (uint64_t)i);
    d->n--;
    return 0;
}

int dictionary_secdel(dictionary *d, const char *sec)
{
    if (!d || !sec)
        return -2;
    size_t slen = strlen(sec);
    int removed = 0;
    for (uint64_t i = 0; i < d->size; ++i) {
        if (d->key[i] && in_section(d->key[i], sec, slen)) {
            free_slot(d, i);
            d->n--;
            ++removed;
        }
    }
    return removed ? 0 : -2;
}

int dictionary_secrename(dictionary *d, const char *old_name, const char *new_name)
{
    if (!d || !old_name || !new_name)
        return -2;
    if (dictionary_find(d, new_name) >= 0) {
        LOG_ERR("conf", "nsec=%s exist error\n", new_name);
        return -1;
    }
    size_t olen = strlen(old_name);
    // Build every new name first, so that a failure changes nothing.
    uint64_t count = 0;
    for (uint64_t i = 0; i < d->size; ++i)
        if (d->key[i] && in_section(d->key[i], old_name, olen))
            ++count;
    if (!count)
        return -2;
    char **names = (char **)os_calloc(count, sizeof(char *));
    if (!names)
        return -1;
    uint64_t j = 0;
    bool ok = true;
    for (uint64_t i = 0; i < d->size && ok; ++i) {
        if (!d->key[i] || !in_section(d->key[i], old_name, olen))
            continue;
        char buf[4096];
        if (!STR_FMT_OK(str_sprintf_s(buf, sizeof(buf), "%s%s", new_name, d->key[i] + olen), sizeof(buf)) ||
            !(names[j++] = os_strdup(buf)))
            ok = false;
        else if (dictionary_find(d, buf) >= 0) {
            // A key of the new section without its section entry: two
            // entries of one name could never be told apart again.
            LOG_ERR("conf", "nsec=%s exist error\n", new_name);
            ok = false;
        }
    }
    if (!ok) {
        for (uint64_t k = 0; k < count; ++k)
            os_free(names[k]);
        os_free(names);
        return -1;
    }
    j = 0;
    for (uint64_t i = 0; i < d->size; ++i) {
        if (!d->key[i] || !in_section(d->key[i], old_name, olen))
            continue;
        index_del(d, d->hash[i], i);
        os_free(d->key[i]);
        d->key[i] = names[j++];
        d->hash[i] = dictionary_hash(d->key[i]);
        index_add(d, d->hash[i], i);
    }
    os_free(names);
    return 0;
}

void dictionary_dump(const dictionary *d, zkfile_t *out)
{
    if (!d || !out)
        return;
    if (d->n < 1) {
        zkprintf(out, "empty dictionary\n");
        return;
    }
    for (uint64_t i = 0; i < d->size; ++i) {
        if (d->key[i])
            zkprintf(out, "%20s\t[%s]\n", d->key[i], d->val[i] ? d->val[i] : "UNDEF");
    }
}
