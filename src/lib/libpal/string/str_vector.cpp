// str_vector and strv: growable vectors of text pointers, their splits and
// their shared sort.
#include "libpal/string/str_vector.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_vector_imp.h"
#include "liblog/log2.h"

#define TAG "pal"

// ---- shared sort ----------------------------------------------------------------------

// Comparator of two items under the mode nibble (texts first, as the mode
// selection of the sort routine does). NULL texts order first.
static int cmp_items(uint32_t mode, const char *a, const char *b)
{
    if (mode & (STR_MODE_STR | STR_MODE_STR2)) {
        if (!a || !b)
            return (a != nullptr) - (b != nullptr);
        return strcmp(a, b);
    }
    if (mode & STR_MODE_STRUCT) {
        const char *ka = nullptr, *kb = nullptr;
        if (a)
            memcpy(&ka, a, sizeof(ka));
        if (b)
            memcpy(&kb, b, sizeof(kb));
        if (!ka || !kb)
            return (ka != nullptr) - (kb != nullptr);
        return strcmp(ka, kb);
    }
    uintptr_t x = (uintptr_t)a, y = (uintptr_t)b;
    return x < y ? -1 : (x > y ? 1 : 0);
}

void str_items_sort(char **items, uint64_t count, uint32_t flags)
{
    if (!items || count < 2)
        return;
    uint32_t mode = flags & STR_MODE_MASK;
    std::sort(items, items + count, [mode](const char *a, const char *b) { return cmp_items(mode, a, b) < 0; });
}

uint64_t str_items_sort_uniq(char **items, uint64_t count, uint32_t flags, bool own)
{
    if (!items || count < 2)
        return count;
    str_items_sort(items, count, flags);
    uint32_t mode = flags & STR_MODE_MASK;
    uint64_t w = 1;
    for (uint64_t r = 1; r < count; ++r) {
        if (cmp_items(mode, items[w - 1], items[r]) == 0) {
            if (own)
                os_free(items[r]);
        } else {
            items[w++] = items[r];
        }
        if (r >= w)
            items[r] = nullptr;
    }
    return w;
}

// ---- str_vector --------------------------------------------------------------------------

static uint32_t mode_default(uint32_t flags, uint32_t def)
{
    return (flags & STR_MODE_MASK) ? flags : (flags | def);
}

void str_vector_init(str_vector *v, uint32_t flags)
{
    if (!v)
        return;
    memset(v, 0, sizeof(*v));
    v->flags = mode_default(flags, STR_MODE_U64);
}

str_vector *str_vector_new(uint32_t flags)
{
    str_vector *v = (str_vector *)os_zalloc(sizeof(str_vector));
    if (!v)
        return nullptr;
    str_vector_init(v, flags);
    v->heap = 1;
    return v;
}

// Frees owned items and empties the vector; the array and buf stay.
static void reset_items(str_vector *v)
{
    if (v->items)
        for (uint64_t i = 0; i < v->count; ++i) {
            if (v->flags & STR_VEC_OWN)
                os_free(v->items[i]);
            v->items[i] = nullptr;
        }
    v->count = 0;
}

void str_vector_clear(str_vector *v)
{
    if (!v)
        return;
    reset_items(v);
    os_free(v->buf);
    v->buf = nullptr;
    v->buf_size = 0;
}

void str_vector_uninit(str_vector *v)
{
    if (!v)
        return;
    str_vector_clear(v);
    os_free(v->items);
    v->items = nullptr;
    v->cap = 0;
}

void str_vector_free(str_vector *v)
{
    if (!v)
        return;
    str_vector_uninit(v);
    if (v->heap)
        os_free(v);
}

static int grow(str_vector *v)
{
    if (v->count < v->cap)
        return 0;
    uint64_t ncap = v->cap ? 2 * v->cap : 16;
    if (ncap > SIZE_MAX / sizeof(char *))
        return -1;
    char **n = (char **)os_realloc(v->items, ncap * sizeof(char *));
    if (!n)
        return -1;
    memset(n + v->cap, 0, (ncap - v->cap) * sizeof(char *));
    v->items = n;
    v->cap = ncap;
    return 0;
}

int str_vector_push_back(str_vector *v, const char *str)
{
    PL_ASSERT_RET(TAG, v!=NULL, -1);
    PL_ASSERT_RET(TAG, str!=NULL, -1);
    if ((v->flags & STR_VEC_NO_EMPTY) && !*str)
        return 0;
    if (grow(v) < 0)
        return -1;
    if ((v->flags & STR_VEC_UNIQ) && str_vector_find(v, str) >= 0)
        return 0;
    char *item = const_cast<char *>(str);
    if (v->flags & STR_VEC_OWN) {
        item = os_strdup(str);
        if (!item)
            return -1;
    }
    v->items[v->count++] = item;
    return 0;
}

int str_vector_term_null(str_vector *v)
{
    if (!v || grow(v) < 0)
        return -1;
    v->items[v->count] = nullptr;
    return 0;
}

static int64_t find_imp(const str_vector *v, const char *s, bool nocase)
{
    if (!v || !s || !v->items)
        return -1;
    for (uint64_t i = 0; i < v->count; ++i) {
        const char *it = v->items[i];
        if (it && (nocase ? strcasecmp(it, s) : strcmp(it, s)) == 0)
            return (int64_t)i;
    }
    return -1;
}

int64_t str_vector_find_nocase(const str_vector *v, const char *s) { return find_imp(v, s, true); }
int64_t str_vector_find_case(const str_vector *v, const char *s) { return find_imp(v, s, false); }
int64_t str_vector_find(const str_vector *v, const char *s)
{
    return find_imp(v, s, v && (v->flags & STR_VEC_NOCASE));
}

int str_vector_remove(str_vector *v, const char *s)
{
    int removed = 0;
    int64_t i;
    while ((i = str_vector_find(v, s)) >= 0) {
        if (v->flags & STR_VEC_OWN)
            os_free(v->items[i]);
        memmove(v->items + i, v->items + i + 1, (v->count - (uint64_t)i - 1) * sizeof(char *));
        v->items[--v->count] = nullptr;
        removed = 1;
    }
    return removed ? 0 : -1;
}

void str_vector_sort(str_vector *v)
{
    if (v)
        str_items_sort(v->items, v->count, v->flags);
}

void str_vector_sort_uniq(str_vector *v)
{
    if (v)
        v->count = str_items_sort_uniq(v->items, v->count, v->flags, v->flags & STR_VEC_OWN);
}

int str_vector_split_imp(char *text, const char *seps, int max, str_vector *v)
{
    PL_ASSERT_RET(TAG, v!=NULL, -1);
    reset_items(v);
    PL_ASSERT_RET(TAG, text!=NULL, -1);
    PL_ASSERT_RET(TAG, seps!=NULL, -1);
    char *p = text;
    int n = 0;
    while (p) {
        char *field;
        if (max > 0 && n + 1 >= max) {
            field = p; // the last allowed item takes the unsplit rest
            p = nullptr;
        } else {
            field = strsep(&p, seps);
        }
        if (str_vector_push_back(v, field) < 0)
            return -1;
        ++n;
    }
    return str_vector_term_null(v);
}

int str_vector_split(char *text, const char *seps, str_vector *v) { return str_vector_split_imp(text, seps, 0, v); }

// Puts a copy of text into v->buf, reusing it when large enough. text may
// point into the old buf.
static int copy_to_buf(str_vector *v, const char *text)
{
    size_t need = strlen(text) + 1;
    if (v->buf && v->buf_size >= need) {
        memmove(v->buf, text, need);
        return 0;
    }
    char *n = (char *)os_malloc(need);
    if (!n)
        return -1;
    memcpy(n, text, need);
    os_free(v->buf);
    v->buf = n;
    v->buf_size = need;
    return 0;
}

int str_vector_split_dup(const char *text, const char *seps, int max, str_vector *v)
{
    PL_ASSERT_RET(TAG, v!=NULL, -1);
    if (!text || copy_to_buf(v, text) < 0) {
        reset_items(v);
        return -1;
    }
    return str_vector_split_imp(v->buf, seps, max, v);
}

int str_vector_split_str(const char *text, const char *seps, str_vector *v)
{
    return str_vector_split_dup(text, seps, 0, v);
}

int str_split_esape(const char *text, const char *seps, const char *quotes, str_vector *v)
{
    PL_ASSERT_RET(TAG, v!=NULL, -1);
    reset_items(v);
    PL_ASSERT_RET(TAG, text!=NULL, -1);
    PL_ASSERT_RET(TAG, seps!=NULL, -1);
    if (copy_to_buf(v, text) < 0)
        return -1;
    char *buf = v->buf;
    size_t nquotes = 0;
    if (quotes)
        for (const char *p = buf; *p; ++p)
            nquotes += strchr(quotes, *p) != nullptr;
    if (nquotes == 0)
        return str_vector_split_imp(buf, seps, 0, v);
    if (nquotes % 2) {
        LOG_ERR(TAG, "syntax error\n");
        return -1;
    }
    bool inside = false;
    char *start = buf;
    for (char *p = buf; *p; ++p) {
        if (strchr(quotes, *p)) {
            inside = !inside;
        } else if (!inside && strchr(seps, *p)) {
            *p = '\0';
            if (str_vector_push_back(v, start) < 0)
                return -1;
            start = p + 1;
        }
    }
    if (*start && str_vector_push_back(v, start) < 0)
        return -1;
    return str_vector_term_null(v);
}

int str_vector_from_zz(const char *zz, int64_t len, str_vector *v)
{
    PL_ASSERT_RET(TAG, v!=NULL, -1);
    reset_items(v);
    PL_ASSERT_RET(TAG, zz!=NULL, -1);
    int64_t off = 0;
    while (len < 0 || off < len) {
        const char *s = zz + off;
        size_t n;
        if (len < 0) {
            n = strlen(s);
        } else {
            // A string that does not end within len is not part of the list.
            const char *nul = (const char *)memchr(s, '\0', (size_t)(len - off));
            if (!nul)
                break;
            n = (size_t)(nul - s);
        }
        if (n == 0)
            break;
        if (str_vector_push_back(v, s) < 0)
            return -1;
        off += (int64_t)n + 1;
    }
    return str_vector_term_null(v);
}

// ---- strv --------------------------------------------------------------------------------

// Next capacity of strv and str_map arrays: 16 from empty, 4x while at most
// 64000, 2x beyond.
uint64_t str_array_next_cap(uint64_t cap)
{
    if (cap == 0)
        return 16;
    return cap <= 64000 ? cap * 4 : cap * 2;
}

strv *strv_new(uint64_t cap, uint32_t flags)
{
    if (cap >= SIZE_MAX / sizeof(char *))
        return nullptr;
    strv *v = (strv *)os_zalloc(sizeof(strv));
    if (!v)
        return nullptr;
    v->items = (char **)os_zalloc((cap + 1) * sizeof(char *));
    if (!v->items) {
        os_free(v);
        return nullptr;
    }
    v->cap = cap;
    v->flags = mode_default(flags, STR_MODE_U64);
    return v;
}

int strv_add(strv *v, const char *s)
{
    PL_ASSERT_RET(TAG, v!=NULL, -1);
    PL_ASSERT_RET(TAG, s!=NULL, -1);
    if (v->count >= v->cap) {
        uint64_t ncap = str_array_next_cap(v->cap);
        if (ncap >= SIZE_MAX / sizeof(char *))
            return -1;
        // One slot more than cap keeps the items NULL-terminated.
        char **n = (char **)os_realloc(v->items, (ncap + 1) * sizeof(char *));
        if (!n)
            return -1;
        memset(n + v->cap + 1, 0, (ncap - v->cap) * sizeof(char *));
        v->items = n;
        v->cap = ncap;
    }
    char *item = const_cast<char *>(s);
    if (v->flags & 0x1) {
        item = os_strdup(s);
        if (!item)
            return -1;
    }
    v->items[v->count++] = item;
    return 0;
}

void strv_truncate(strv *v, uint64_t n)
{
    if (!v || n >= v->count)
        return;
    for (uint64_t i = n; i < v->count; ++i) {
        if (v->flags & 0x1)
            os_free(v->items[i]);
        v->items[i] = nullptr;
    }
    v->count = n;
}

void strv_free(strv *v)
{
    if (!v)
        return;
    strv_truncate(v, 0);
    os_free(v->items);
    os_free(v);
}

void strv_sort(strv *v)
{
    if (v)
        str_items_sort(v->items, v->count, v->flags);
}

void strv_sort_uniq(strv *v)
{
    if (v)
        v->count = str_items_sort_uniq(v->items, v->count, v->flags, v->flags & 0x1);
}

strv *strv_split(const char *text, const char *seps)
{
    if (!text || !seps)
        return nullptr;
    char *copy = os_strdup(text);
    if (!copy)
        return nullptr;
    strv *v = strv_new(16, 0x1);
    if (!v) {
        os_free(copy);
        return nullptr;
    }
    char *p = copy;
    while (p) {
        char *field = strsep(&p, seps);
        if (strv_add(v, field) < 0) {
            strv_free(v);
            v = nullptr;
            break;
        }
    }
    os_free(copy);
    return v;
}
