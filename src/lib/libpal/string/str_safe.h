// str_safe: bounded copy, append and formatted writes (strict: the text must
// fit or the destination is emptied and the failure logged; lenient: cut to
// fit), and allocation wrappers that end the program when memory runs out.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

char *str_get_head(const char *text, char *buf, size_t blen);

int str_safecopy_imp(char *dest, size_t size, const char *src, int strict);
int str_safecat_imp(char *dest, size_t size, const char *src, int strict);
int str_vsprintf_s_imp(char *buf, size_t size, const char *fmt, va_list va, int strict);

int str_safecopy(char *dest, size_t size, const char *src);        // 0 or 34
int str_safecopy_trunc(char *dest, size_t size, const char *src);  // 0
size_t str_safecopy_len(char *dest, const char *src, size_t size); // strlen(dest)
int str_safecat(char *dest, size_t size, const char *src);         // 0 or 34
int str_safecat_trunc(char *dest, size_t size, const char *src);   // 0
int str_safecat_chr(char *dest, size_t size, char c);
int str_sprintf_s(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int str_vsprintf_s(char *buf, size_t size, const char *fmt, va_list va);
int str_sprintf_s2(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int str_vsprintf_s2(char *buf, size_t size, const char *fmt, va_list va);
// Append at the end of dest; total length, or -1 (dest unchanged) when dest is
// not terminated within size or (strict) the text does not fit.
int strcat_printf(char *dest, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int strcat_printf2(char *dest, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int strcat_vprintf(char *dest, size_t size, const char *fmt, va_list va, int strict);

// Success test for the formatted writes: a result in [0, size).
#define STR_FMT_OK(ret, size) ((ret) >= 0 && (size_t)(ret) < (size_t)(size))

void *safe_malloc(size_t n);
void *safe_calloc(size_t n, size_t size);
void *safe_realloc(void *p, size_t n);
char *safe_strdup(const char *s);
int safe_vasprintf(char **out, const char *fmt, va_list va);
int safe_asprintf(char **out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Sequential writer into a fixed buffer for builders of several steps: the
// first step that does not fit empties the buffer and every later step is
// skipped, so a builder reports failure instead of carrying on into a cut
// text. Not thread-safe; lives on the caller's stack.
struct str_out {
    char *p;
    size_t size;
    size_t len = 0;
    bool ok = true;

    str_out(char *buf, size_t sz) : p(buf), size(sz) { p[0] = '\0'; }
    void add(const char *s, size_t n)
    {
        if (!ok)
            return;
        if (n >= size - len) {
            ok = false;
            p[0] = '\0';
            return;
        }
        memcpy(p + len, s, n);
        len += n;
        p[len] = '\0';
    }
    void add(const char *s) { add(s, strlen(s)); }
    void add(char c) { add(&c, 1); }
    void addf(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!ok)
            return;
        char tmp[64];
        va_list va;
        va_start(va, fmt);
        int r = vsnprintf(tmp, sizeof tmp, fmt, va);
        va_end(va);
        if (r < 0 || size_t(r) >= sizeof tmp) {
            ok = false;
            p[0] = '\0';
            return;
        }
        add(tmp, size_t(r));
    }
};
