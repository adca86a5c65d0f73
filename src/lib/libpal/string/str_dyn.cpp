// Growing text buffer and the line ring.
#include "libpal/string/str_dyn.h"

#include <cstring>

#include "libpal/basic/pl_base.h"

static const size_t k_dyn_start = 4096;

str_dyn *str_dyn_new(void)
{
    str_dyn *d = (str_dyn *)os_zalloc(sizeof(str_dyn));
    if (!d)
        return nullptr;
    d->p = (char *)os_zalloc(k_dyn_start);
    if (!d->p) {
        os_free(d);
        return nullptr;
    }
    d->cap = k_dyn_start;
    return d;
}

void str_dyn_free(str_dyn *d)
{
    if (!d)
        return;
    os_free(d->p);
    os_free(d);
}

char *str_dyn_detach(str_dyn *d)
{
    if (!d)
        return nullptr;
    char *p = d->p;
    size_t len = d->len;
    os_free(d);
    if (len == 0) {
        os_free(p);
        return nullptr;
    }
    return p;
}

char *str_dyn_detach_nonull(str_dyn *d)
{
    char *p = str_dyn_detach(d);
    return p ? p : os_strdup("");
}

void str_dyn_clear(str_dyn *d)
{
    d->len = 0;
    d->p[0] = '\0';
    if (d->cap > 1)
        d->p[1] = '\0';
}

char *str_dyn_get(str_dyn *d) { return d && d->len > 0 ? d->p : nullptr; }

int str_dyn_append(str_dyn *d, const void *data, size_t n)
{
    if (n == 0)
        return 0;
    if (d->len + 1 + n > d->cap) {
        size_t cap = d->cap;
        while (cap <= d->len + 1 + n) {
            size_t next = cap <= 65535 ? cap * 4 : cap * 2;
            if (next <= cap)
                return -1; // size_t overflow
            cap = next;
        }
        char *p = (char *)os_realloc(d->p, cap);
        if (!p)
            return -1;
        memset(p + d->cap, 0, cap - d->cap);
        d->p = p;
        d->cap = cap;
    }
    memcpy(d->p + d->len, data, n);
    d->len += n;
    d->p[d->len] = '\0';
    return 0;
}

int str_dyn_add_str(str_dyn *d, const char *s) { return s ? str_dyn_append(d, s, strlen(s)) : 0; }
int str_dyn_add_chr(str_dyn *d, char c) { return str_dyn_append(d, &c, 1); }
int str_dyn_add_chr_not_exist_tail(str_dyn *d, char c)
{
    if (d->len > 0 && d->p[d->len - 1] == c)
        return 0;
    return str_dyn_add_chr(d, c);
}

int str_dyn_vprintf(str_dyn *d, const char *fmt, va_list va)
{
    char *s = nullptr;
    int n = os_vasprintf(&s, fmt, va);
    if (n < 0)
        return n;
    if (n > 0 && str_dyn_append(d, s, (size_t)n) != 0)
        n = -1;
    os_free(s);
    return n;
}

int str_dyn_printf(str_dyn *d, const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int n = str_dyn_vprintf(d, fmt, va);
    va_end(va);
    return n;
}

void str_dyn_del_tail(str_dyn *d, size_t n)
{
    if (n >= d->len)
        n = d->len;
    memset(d->p + d->len - n, 0, n);
    d->len -= n;
}

int str_dyn_replace(str_dyn *d, const char *old_s, const char *new_s)
{
    size_t olen = old_s ? strlen(old_s) : 0;
    if (olen == 0 || d->len == 0)
        return 0; // nothing to look for: the text stays as it is
    size_t nlen = new_s ? strlen(new_s) : 0;
    str_dyn *out = str_dyn_new();
    if (!out)
        return -1;
    const char *p = d->p;
    while (const char *hit = strstr(p, old_s)) {
        if (str_dyn_append(out, p, (size_t)(hit - p)) != 0 || str_dyn_append(out, new_s, nlen) != 0) {
            str_dyn_free(out);
            return -1;
        }
        p = hit + olen;
    }
    if (str_dyn_add_str(out, p) != 0) {
        str_dyn_free(out);
        return -1;
    }
    os_free(d->p);
    *d = *out;
    os_free(out);
    return 0;
}

void line_ring_init(line_ring *r, char *buf, size_t size)
{
    r->buf = buf;
    r->size = size;
    r->len = 0;
    if (buf && size)
        buf[0] = '\0';
}

void line_ring_add(line_ring *r, const char *line)
{
    if (!r->buf || r->size == 0 || !line)
        return;
    size_t n = strlen(line);
    if (r->len + 1 + n <= r->size) {
        memcpy(r->buf + r->len, line, n + 1);
        r->len += n;
        return;
    }
    // Drop the fewest oldest whole lines that make room for the new one.
    size_t cut = 0;
    while (r->len - cut + 1 + n > r->size) {
        const char *nl = (const char *)memchr(r->buf + cut, '\n', r->len - cut);
        if (!nl)
            return; // cannot be made to fit: keep the ring as it is
        cut = (size_t)(nl - r->buf) + 1;
    }
    size_t keep = r->len - cut;
    memmove(r->buf, r->buf + cut, keep);
    r->len = keep;
    memcpy(r->buf + r->len, line, n + 1);
    r->len += n;
}
