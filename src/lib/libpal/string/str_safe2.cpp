// Allocation wrappers for code that cannot go on without the memory: a
// failure is logged at crit, which ends the program.
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

void *safe_malloc(size_t n)
{
    void *p = os_malloc(n);
    if (!p)
        LOG_CRIT(TAG, "Failed to malloc %d bytes of memory: %s. Bailing out", (int)n, os_errno_str());
    else
        memset(p, 0, n);
    return p;
}

void *safe_calloc(size_t n, size_t size)
{
    void *p = os_calloc(n, size);
    if (!p)
        LOG_CRIT(TAG, "Failed to calloc %d-%d bytes of memory: %s. Bailing out", (int)n, (int)size, os_errno_str());
    return p;
}

void *safe_realloc(void *p, size_t n)
{
    void *q = os_realloc(p, n);
    if (!q)
        LOG_CRIT(TAG, "Failed to realloc buffer to %d bytes of memory: %s. Bailing out", (int)n, os_errno_str());
    return q;
}

char *safe_strdup(const char *s)
{
    if (!s) {
        LOG_CRIT(TAG, "safe_strdup called with NULL which would have crashed strdup. Bailing out");
        return nullptr;
    }
    char *d = os_strdup(s);
    if (!d)
        LOG_CRIT(TAG, "Failed to duplicate a string: %s. Bailing out", os_errno_str());
    return d;
}

int safe_vasprintf(char **out, const char *fmt, va_list va)
{
    int r = os_vasprintf(out, fmt, va);
    if (r == -1)
        LOG_CRIT(TAG, "Failed to vasprintf: %s. Bailing out", os_errno_str());
    return r;
}

int safe_asprintf(char **out, const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = safe_vasprintf(out, fmt, va);
    va_end(va);
    return r;
}
