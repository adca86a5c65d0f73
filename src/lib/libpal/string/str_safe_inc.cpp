// Bounded copy, append and formatted writes. Strict helpers leave "" and
// report on overflow; lenient ones cut the text to fit.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/string/str_safe.h"

#define TAG "pal"
// Overflow lines name this file as their place of origin.
#define SAFE_FILE "src/lib/libpal/string/str_safe_inc"

#define CHECK_DEST(dest, size)                                                                        \
    do {                                                                                              \
        if ((dest) == nullptr || (size) == 0) {                                                       \
            log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "expr[%s]: %s\n", "_Expr_val", \
                        "(dest) != NULL && (size) > 0");                                              \
            pl_assert_fatal();                                                                        \
        }                                                                                             \
    } while (0)

char *str_get_head(const char *text, char *buf, size_t blen)
{
    PL_ASSERT_HARD(TAG, text != nullptr);
    PL_ASSERT_HARD(TAG, buf != nullptr);
    PL_ASSERT_HARD(TAG, blen > 0);
    size_t i = 0;
    for (; i + 1 < blen && text[i]; ++i)
        buf[i] = text[i];
    buf[i] = '\0';
    char *w = buf;
    for (char *r = buf; *r; ++r)
        if (*r != '\r' && *r != '\n')
            *w++ = *r;
    *w = '\0';
    return buf;
}

static void check_src(char *dest, const char *src)
{
    if (src == nullptr) {
        dest[0] = '\0';
        log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "expr[%s]: %s\n", "_Expr_val",
                    "(src) != NULL");
        pl_assert_fatal();
    }
}

int str_safecopy_imp(char *dest, size_t size, const char *src, int strict)
{
    if (src == dest)
        return 0;
    CHECK_DEST(dest, size);
    check_src(dest, src);
    for (size_t i = 0; i < size; ++i) {
        dest[i] = src[i];
        if (src[i] == '\0')
            return 0;
    }
    if (!strict) {
        dest[size - 1] = '\0';
        return 0;
    }
    char head[32];
    log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "need_size=%d buf_size=%u head=[%s]\n",
                (int)(strlen(src) + 1), (unsigned)size, str_get_head(src, head, sizeof(head)));
    pl_dump_stack();
    dest[0] = '\0';
    errno = ERANGE;
    return ERANGE;
}

int str_safecat_imp(char *dest, size_t size, const char *src, int strict)
{
    CHECK_DEST(dest, size);
    check_src(dest, src);
    const char *nul = (const char *)memchr(dest, '\0', size);
    if (!nul) {
        dest[0] = '\0';
        log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "expr[%s]: %s\n", "_Expr_val",
                    "(\"String is not null terminated\" && 0)");
        pl_assert_fatal();
    }
    size_t k = (size_t)(nul - dest);
    for (size_t i = 0; i < size - k; ++i) {
        dest[k + i] = src[i];
        if (src[i] == '\0')
            return 0;
    }
    if (!strict) {
        dest[size - 1] = '\0';
        return 0;
    }
    char head[32];
    log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "need_size=%d buf_size=%u head=[%s]\n",
                (int)(k + strlen(src) + 1), (unsigned)size, str_get_head(src, head, sizeof(head)));
    pl_dump_stack();
    dest[0] = '\0';
    errno = ERANGE;
    return ERANGE;
}

int str_vsprintf_s_imp(char *buf, size_t size, const char *fmt, va_list va, int strict)
{
    int n = os_vsnprintf(buf, size, fmt, va);
    if (n < 0) {
        int eno = errno;
        buf[0] = '\0';
        log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "buf_size=%u fmt=[%s] eno=[%d] [%s]\n",
                    (unsigned)size, fmt, eno, os_errno_str_of(eno));
        pl_dump_stack();
        return n;
    }
    if ((size_t)n < size)
        return n;
    if (strict) {
        buf[0] = '\0';
        log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "need_size=%u buf_size=%u fmt=[%s]\n",
                    (unsigned)(n + 1), (unsigned)size, fmt);
        pl_dump_stack();
        return n;
    }
    // vsnprintf already cut the text and terminated it at buf[size-1].
    return (int)(size - 1);
}

int str_safecopy(char *dest, size_t size, const char *src) { return str_safecopy_imp(dest, size, src, 1); }
int str_safecopy_trunc(char *dest, size_t size, const char *src) { return str_safecopy_imp(dest, size, src, 0); }
size_t str_safecopy_len(char *dest, const char *src, size_t size)
{
    str_safecopy_imp(dest, size, src, 0);
    return strlen(dest);
}
int str_safecat(char *dest, size_t size, const char *src) { return str_safecat_imp(dest, size, src, 1); }
int str_safecat_trunc(char *dest, size_t size, const char *src) { return str_safecat_imp(dest, size, src, 0); }
int str_safecat_chr(char *dest, size_t size, char c)
{
    char s[2] = {c, '\0'};
    return str_safecat_imp(dest, size, s, 1);
}

int str_vsprintf_s(char *buf, size_t size, const char *fmt, va_list va)
{
    return str_vsprintf_s_imp(buf, size, fmt, va, 1);
}
int str_vsprintf_s2(char *buf, size_t size, const char *fmt, va_list va)
{
    return str_vsprintf_s_imp(buf, size, fmt, va, 0);
}
int str_sprintf_s(char *buf, size_t size, const char *fmt, ...)
{
    CHECK_DEST(buf, size);
    va_list va;
    va_start(va, fmt);
    int r = str_vsprintf_s_imp(buf, size, fmt, va, 1);
    va_end(va);
    return r;
}
int str_sprintf_s2(char *buf, size_t size, const char *fmt, ...)
{
    CHECK_DEST(buf, size);
    va_list va;
    va_start(va, fmt);
    int r = str_vsprintf_s_imp(buf, size, fmt, va, 0);
    va_end(va);
    return r;
}

int strcat_vprintf(char *dest, size_t size, const char *fmt, va_list va, int strict)
{
    size_t len = strnlen(dest, size);
    if (len >= size)
        return -1;
    size_t clen = size - len;
    int ret = str_vsprintf_s_imp(dest + len, clen, fmt, va, strict);
    if (ret >= 0 && (size_t)ret < clen)
        return (int)(len + ret);
    // Did not fit (strict) or formatting failed: the appended part was left
    // empty, so dest keeps its earlier text. Report it as the caller's error
    // without stopping: the text may come from outside.
    dest[len] = '\0';
    log2_printf(nullptr, LOG2_ERR, TAG, SAFE_FILE, __LINE__, __func__, "expr[%s]: assert failed\n", "ret<clen");
    pl_dump_stack();
    return -1;
}

int strcat_printf(char *dest, size_t size, const char *fmt, ...)
{
    CHECK_DEST(dest, size);
    va_list va;
    va_start(va, fmt);
    int r = strcat_vprintf(dest, size, fmt, va, 1);
    va_end(va);
    return r;
}

int strcat_printf2(char *dest, size_t size, const char *fmt, ...)
{
    CHECK_DEST(dest, size);
    va_list va;
    va_start(va, fmt);
    int r = strcat_vprintf(dest, size, fmt, va, 0);
    va_end(va);
    return r;
}
