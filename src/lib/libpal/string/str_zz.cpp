// zz lists: strings packed one after another, each ended by NUL, the list
// ended by an empty string, as the operating system and the zksd wire hand
// several names over in one buffer.
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_vector.h"
#include "liblog/log2.h"

#define TAG "pal"

int str_split_zz(const char *str, const char **array, int max, size_t *total)
{
    PL_ASSERT_HARD(TAG, str!=NULL);
    PL_ASSERT_HARD(TAG, array!=NULL);
    int n = 0;
    const char *p = str;
    while (*p) {
        if (n >= max) {
            LOG_ERR(TAG, "[%s] error: more '0' sep, max_sep=%d\n", str, max);
            pl_dump_stack();
            return -1;
        }
        array[n++] = p;
        p += strlen(p) + 1;
    }
    if (total)
        // The empty list is two NUL bytes; otherwise the strings and the one
        // NUL that ends the list.
        *total = n == 0 ? 2 : (size_t)(p - str) + 1;
    return n;
}

int64_t str_zz_len(const char *zz, size_t max)
{
    if (!zz)
        return -1;
    if (max == 0)
        max = 65536;
    for (size_t i = 0; i + 1 < max; ++i)
        if (zz[i] == '\0' && zz[i + 1] == '\0')
            return (int64_t)i;
    return -1;
}

int str_zz_find(const char *zz, const char *s)
{
    if (!zz || !s)
        return -1;
    int i = 0;
    for (const char *p = zz; *p; p += strlen(p) + 1, ++i)
        if (strcmp(p, s) == 0)
            return i;
    return -1;
}
