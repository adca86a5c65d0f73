// Buffered reading, writing, seeking and flushing of streams.
#include <cerrno>
#include <cstring>

#include "libpal/os/zkfile_imp.h"

namespace {

// Position the bytes about to be written will land at (crypt hook only).
int64_t crypt_write_pos(zkfile_t *f)
{
    if (!f->drv->seek)
        return 0;
    return f->drv->seek(f->handle, 0, (f->flags & ZKF_APPEND) ? 2 : 1);
}

// One driver write, through the crypt hook when a context is attached.
int64_t drv_write(zkfile_t *f, const unsigned char *p, size_t len)
{
    if (!f->drv->write)
        return -1;
    if (!f->crypt || !g_zkcrypt_do)
        return f->drv->write(f->handle, p, len);
    // The hook works in place; never on the caller's bytes.
    unsigned char *tmp = (unsigned char *)os_malloc(len ? len : 1);
    if (!tmp)
        return -1;
    memcpy(tmp, p, len);
    g_zkcrypt_do(f->crypt, 1, tmp, len, crypt_write_pos(f));
    int64_t r = f->drv->write(f->handle, tmp, len);
    os_free(tmp);
    return r;
}

int64_t drv_read(zkfile_t *f, void *p, size_t len)
{
    if (!f->drv->read)
        return -1;
    int64_t pos = 0;
    if (f->crypt && g_zkcrypt_do && f->drv->seek)
        pos = f->drv->seek(f->handle, 0, 1);
    int64_t r = f->drv->read(f->handle, p, len);
    if (r > 0 && f->crypt && g_zkcrypt_do)
        g_zkcrypt_do(f->crypt, 0, p, (size_t)r, pos);
    return r;
}

// Writes all of p; false on a failure (done receives what went out).
bool write_all(zkfile_t *f, const unsigned char *p, size_t len, size_t *done)
{
    *done = 0;
    while (*done < len) {
        int64_t r = drv_write(f, p + *done, len - *done);
        if (r <= 0)
            return false;
        *done += (size_t)r;
    }
    return true;
}

// LF becomes CRLF; the count covers data bytes only.
bool write_all_crlf(zkfile_t *f, const unsigned char *p, size_t len, size_t *done)
{
    *done = 0;
    unsigned char area[8192];
    while (*done < len) {
        size_t n = 0, used = 0;
        while (*done + used < len && n < 8190) {
            unsigned char c = p[*done + used];
            if (c == '\n')
                area[n++] = '\r';
            area[n++] = c;
            ++used;
        }
        size_t out = 0;
        while (out < n) {
            size_t piece = n - out > 8191 ? 8191 : n - out;
            int64_t r = drv_write(f, area + out, piece);
            if (r <= 0)
                return false;
            out += (size_t)r;
        }
        *done += used;
    }
    return true;
}

bool write_out(zkfile_t *f, const unsigned char *p, size_t len, size_t *done)
{
    return (f->flags & ZKF_CRLF) ? write_all_crlf(f, p, len, done) : write_all(f, p, len, done);
}

// The buffered bytes, then the data. Returns how many data bytes went out.
size_t writv(zkfile_t *f, const unsigned char *data, size_t len)
{
    size_t done = 0;
    if (f->wpos && f->wpos > f->wbase) {
        if (!write_out(f, f->wbase, (size_t)(f->wpos - f->wbase), &done)) {
            f->wpos = f->wbase = f->wend = nullptr;
            f->flags |= ZKF_ERR;
            return 0;
        }
    }
    if (len && !write_out(f, data, len, &done)) {
        f->wpos = f->wbase = f->wend = nullptr;
        f->flags |= ZKF_ERR;
        return done;
    }
    f->wbase = f->wpos = f->buf;
    f->wend = f->buf + f->buf_size;
    return len;
}

// Sets up the write window; -1 for a stream that is not writable.
int towrite(zkfile_t *f)
{
    if (f->flags & ZKF_NOWR) {
        f->flags |= ZKF_ERR;
        return -1;
    }
    f->rpos = f->rend = nullptr;
    f->wpos = f->wbase = f->buf;
    f->wend = f->buf + f->buf_size;
    return 0;
}

// Prepares for reading; -1 for a stream that is not readable or at its end.
int toread(zkfile_t *f)
{
    if (f->wpos && f->wpos != f->wbase)
        writv(f, nullptr, 0);
    f->wpos = f->wbase = f->wend = nullptr;
    if (f->flags & ZKF_NORD) {
        f->flags |= ZKF_ERR;
        return -1;
    }
    if (!f->rpos) {
        // Empty window at the buffer's end: the whole buffer is room for
        // pushed-back bytes until the next fill.
        f->rpos = f->rend = f->buf + f->buf_size;
    }
    return (f->flags & ZKF_EOF) ? -1 : 0;
}

// All but one wanted byte straight into dst; when that was complete, a
// buffer-full behind it, whose first byte completes the request.
size_t fill_read(zkfile_t *f, unsigned char *dst, size_t len)
{
    size_t direct = len - 1;
    if (direct) {
        int64_t r = drv_read(f, dst, direct);
        if (r <= 0) {
            f->flags |= r ? ZKF_ERR : ZKF_EOF;
            return 0;
        }
        if ((size_t)r < direct)
            return (size_t)r;
    }
    int64_t r = drv_read(f, f->buf, f->buf_size);
    if (r <= 0) {
        f->flags |= r ? ZKF_ERR : ZKF_EOF;
        return direct;
    }
    f->rpos = f->buf;
    f->rend = f->buf + r;
    dst[direct] = *f->rpos++;
    return len;
}

// Next byte, refilling the window; -1 at the end or on error.
int uflow(zkfile_t *f)
{
    unsigned char c;
    if (toread(f) == 0 && fill_read(f, &c, 1) == 1)
        return c;
    return -1;
}

int getc_raw(zkfile_t *f)
{
    if (f->rpos && f->rpos < f->rend)
        return *f->rpos++;
    return uflow(f);
}

// Text mode drops CR bytes on reading.
int getc_unlocked(zkfile_t *f)
{
    for (;;) {
        int c = getc_raw(f);
        if (c == '\r' && !(f->flags & ZKF_BIN))
            continue;
        return c;
    }
}

size_t read_unlocked(unsigned char *dst, size_t len, zkfile_t *f)
{
    size_t left = len;
    if (!(f->flags & ZKF_BIN)) {
        while (left) {
            int c = getc_unlocked(f);
            if (c < 0)
                break;
            *dst++ = (unsigned char)c;
            --left;
        }
        return len - left;
    }
    if (f->rpos && f->rend > f->rpos) {
        size_t k = (size_t)(f->rend - f->rpos);
        if (k > left)
            k = left;
        memcpy(dst, f->rpos, k);
        f->rpos += k;
        dst += k;
        left -= k;
    }
    while (left) {
        if (toread(f))
            break;
        size_t k = fill_read(f, dst, left);
        if (!k)
            break;
        dst += k;
        left -= k;
    }
    return len - left;
}

int seek_unlocked(zkfile_t *f, int64_t off, int whence)
{
    if (whence == 1 && f->rend)
        off -= f->rend - f->rpos;
    if (f->wpos && f->wpos != f->wbase) {
        writv(f, nullptr, 0);
        if (!f->wpos)
            return -1;
    }
    f->wpos = f->wbase = f->wend = nullptr;
    f->rpos = f->rend = nullptr;
    if (!f->drv->seek || f->drv->seek(f->handle, off, whence) < 0)
        return -1;
    f->flags &= ~ZKF_EOF;
    return 0;
}

int64_t tell_unlocked(zkfile_t *f)
{
    if (!f->drv->seek)
        return -1;
    int whence = ((f->flags & ZKF_APPEND) && f->wpos != f->wbase) ? 2 : 1;
    int64_t pos = f->drv->seek(f->handle, 0, whence);
    if (pos < 0)
        return pos;
    if (f->rend)
        pos -= f->rend - f->rpos;
    else if (f->wbase)
        pos += f->wpos - f->wbase;
    return pos;
}

} // namespace

// ---- cores shared inside the module ------------------------------------------

size_t zkfile_write_unlocked(const void *data, size_t len, zkfile_t *f)
{
    const unsigned char *s = (const unsigned char *)data;
    if (!f->wend && towrite(f))
        return 0;
    if (len > (size_t)(f->wend - f->wpos))
        return writv(f, s, len);
    memcpy(f->wpos, s, len);
    f->wpos += len;
    return len;
}

int zkfile_flush_unlocked(zkfile_t *f)
{
    if (f->wpos && f->wpos != f->wbase) {
        writv(f, nullptr, 0);
        if (!f->wpos)
            return -1;
    }
    if (f->rpos && f->rpos < f->rend && f->drv->seek)
        f->drv->seek(f->handle, f->rpos - f->rend, 1);
    f->wpos = f->wbase = f->wend = nullptr;
    f->rpos = f->rend = nullptr;
    return 0;
}

// ---- public calls ---------------------------------------------------------------

size_t zkread(void *buf, size_t size, size_t count, zkfile_t *f)
{
    ZKLOCK(f);
    size_t len = size * count;
    if (!len || len / size != count) {
        ZKUNLOCK(f);
        return 0;
    }
    size_t got = read_unlocked((unsigned char *)buf, len, f);
    ZKUNLOCK(f);
    return got == len ? count : got / size;
}

size_t zkwrite(const void *buf, size_t size, size_t count, zkfile_t *f)
{
    ZKLOCK(f);
    size_t len = size * count;
    if (!len || len / size != count) {
        ZKUNLOCK(f);
        return 0;
    }
    size_t put = zkfile_write_unlocked(buf, len, f);
    ZKUNLOCK(f);
    return put == len ? count : put / size;
}

int zkgetc(zkfile_t *f)
{
    ZKLOCK(f);
    int c = getc_unlocked(f);
    ZKUNLOCK(f);
    return c;
}

int zkungetc(int c, zkfile_t *f)
{
    if (c == -1)
        return -1;
    ZKLOCK(f);
    if (!f->rpos)
        toread(f);
    if (!f->rpos || f->rpos <= f->buf - 8) {
        ZKUNLOCK(f);
        return -1;
    }
    *--f->rpos = (unsigned char)c;
    f->flags &= ~ZKF_EOF;
    ZKUNLOCK(f);
    return (unsigned char)c;
}

char *zkgets(char *buf, int n, zkfile_t *f)
{
    if (n <= 0)
        return nullptr;
    ZKLOCK(f);
    if (n == 1) {
        buf[0] = '\0';
        ZKUNLOCK(f);
        return buf;
    }
    int i = 0;
    uint32_t err_before = f->flags & ZKF_ERR;
    while (i < n - 1) {
        int c = getc_unlocked(f);
        if (c < 0)
            break;
        buf[i++] = (char)c;
        if (c == '\n')
            break;
    }
    bool failed = (f->flags & ZKF_ERR) && !err_before;
    ZKUNLOCK(f);
    if (i == 0 || failed)
        return nullptr;
    buf[i] = '\0';
    return buf;
}

int64_t zkgetline(char **line, size_t *cap, zkfile_t *f)
{
    if (!line || !cap)
        return -1;
    ZKLOCK(f);
    size_t len = 0;
    for (;;) {
        int c = getc_unlocked(f);
        if (c < 0)
            break;
        if (len + 2 > *cap || !*line) {
            size_t ncap = *cap;
            while (len + 2 > ncap)
                ncap = ncap / 4 + ncap + 64;
            char *p = (char *)os_realloc(*line, ncap);
            if (!p) {
                f->flags |= ZKF_ERR;
                break;
            }
            *line = p;
            *cap = ncap;
        }
        (*line)[len++] = (char)c;
        if (c == '\n')
            break;
    }
    ZKUNLOCK(f);
    if (!len)
        return -1;
    (*line)[len] = '\0';
    return (int64_t)len;
}

int zkgetchar(void) { return zkgetc(zk_stdin); }
char *zkgets_stdin(char *buf, int n) { return zkgets(buf, n, zk_stdin); }

int zkputc(int c, zkfile_t *f)
{
    unsigned char b = (unsigned char)c;
    ZKLOCK(f);
    size_t r = zkfile_write_unlocked(&b, 1, f);
    ZKUNLOCK(f);
    return r == 1 ? b : -1;
}

int zkputs(const char *s, zkfile_t *f)
{
    size_t len = strlen(s);
    ZKLOCK(f);
    int r = -1;
    if (zkfile_write_unlocked(s, len, f) == len && zkfile_write_unlocked("\n", 1, f) == 1)
        r = '\n';
    ZKUNLOCK(f);
    return r;
}

int zkvprintf(zkfile_t *f, const char *fmt, va_list va)
{
    char *text = nullptr;
    int n = os_vasprintf(&text, fmt, va);
    if (n < 0 || !text)
        return -1;
    ZKLOCK(f);
    size_t put = zkfile_write_unlocked(text, (size_t)n, f);
    ZKUNLOCK(f);
    os_free(text);
    // A text that did not go out in full is a failure, as for fprintf.
    return put == (size_t)n ? n : -1;
}

int zkprintf(zkfile_t *f, const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = zkvprintf(f, fmt, va);
    va_end(va);
    return r;
}

int zkputchar(int c) { return zkputc(c, zk_stdout); }
int zkputs_stdout(const char *s) { return zkputs(s, zk_stdout); }

int zkprintf_stdout(const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = zkvprintf(zk_stdout, fmt, va);
    va_end(va);
    return r;
}

int zkseeko(zkfile_t *f, int64_t off, int whence)
{
    ZKLOCK(f);
    int r = seek_unlocked(f, off, whence);
    ZKUNLOCK(f);
    return r;
}

int zkseek(zkfile_t *f, int64_t off, int whence) { return zkseeko(f, off, whence); }

void zkrewind(zkfile_t *f)
{
    ZKLOCK(f);
    seek_unlocked(f, 0, 0);
    f->flags &= ~ZKF_ERR;
    ZKUNLOCK(f);
}

int64_t zktell(zkfile_t *f)
{
    ZKLOCK(f);
    int64_t r = tell_unlocked(f);
    ZKUNLOCK(f);
    return r;
}

int zkgetpos(zkfile_t *f, int64_t *pos)
{
    int64_t r = zktell(f);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}

int zkeof(zkfile_t *f)
{
    ZKLOCK(f);
    int r = (f->flags & ZKF_EOF) ? 1 : 0;
    ZKUNLOCK(f);
    return r;
}

int zkerror(zkfile_t *f)
{
    ZKLOCK(f);
    int r = (f->flags & ZKF_ERR) ? 1 : 0;
    ZKUNLOCK(f);
    return r;
}

void zkclearerr(zkfile_t *f)
{
    ZKLOCK(f);
    f->flags &= ~(ZKF_EOF | ZKF_ERR);
    ZKUNLOCK(f);
}

int zkskip_bom(zkfile_t *f)
{
    unsigned char b[3];
    ZKLOCK(f);
    size_t n = read_unlocked(b, 3, f);
    int r = 0;
    if (!(n == 3 && b[0] == 0xef && b[1] == 0xbb && b[2] == 0xbf))
        r = seek_unlocked(f, 0, 0);
    ZKUNLOCK(f);
    return r;
}
