// Memory read and write streams.
#include "libpal/string/mem_stream.h"

#include <cstring>

#include "libpal/basic/pl_base.h"

mem_rstream_t *mem_rstream_new(const void *data, size_t len)
{
    if (!data && len)
        return nullptr;
    mem_rstream_t *s = (mem_rstream_t *)os_zalloc(sizeof(*s));
    if (!s)
        return nullptr;
    s->data = (uint8_t *)os_malloc(len ? len : 1);
    if (!s->data) {
        os_free(s);
        return nullptr;
    }
    if (len)
        memcpy(s->data, data, len);
    s->size = len;
    return s;
}

size_t mem_rstream_read(mem_rstream_t *s, void *out, size_t n)
{
    if (!s || !out || s->pos >= s->size)
        return 0;
    size_t k = s->size - s->pos;
    if (n < k)
        k = n;
    memcpy(out, s->data + s->pos, k);
    s->pos += k;
    return k;
}

void mem_rstream_set_bbuf(mem_rstream_t *s, mem_buf_t *b)
{
    if (!s || !b)
        return;
    os_free(s->data);
    s->data = b->data;
    s->size = b->data ? (size_t)b->len : 0;
    s->pos = 0;
    mem_buf_zero(b);
}

void mem_rstream_free(mem_rstream_t *s)
{
    if (!s)
        return;
    os_free(s->data);
    os_free(s);
}

mem_wstream_t *mem_wstream_new(void)
{
    mem_wstream_t *s = (mem_wstream_t *)os_zalloc(sizeof(*s));
    if (!s)
        return nullptr;
    if (mem_buf_init(&s->buf, 4096) < 0) {
        os_free(s);
        return nullptr;
    }
    return s;
}

int64_t mem_wstream_write(mem_wstream_t *s, const void *data, size_t n)
{
    if (!s || (!data && n))
        return -1;
    if (n == 0)
        return 0;
    if (mem_buf_append(&s->buf, data, n) < 0)
        return -1;
    return (int64_t)n;
}

void mem_wstream_reset(mem_wstream_t *s)
{
    if (s)
        mem_buf_reset(&s->buf);
}

size_t mem_wstream_detach(mem_wstream_t *s, char **out)
{
    if (out)
        *out = nullptr;
    if (!s)
        return 0;
    size_t n = (size_t)s->buf.len;
    if (n == 0 || !out) {
        mem_buf_free(&s->buf);
        return 0;
    }
    *out = (char *)s->buf.data;
    mem_buf_zero(&s->buf);
    return n;
}

void mem_wstream_free(mem_wstream_t *s)
{
    if (!s)
        return;
    mem_buf_free(&s->buf);
    os_free(s);
}
