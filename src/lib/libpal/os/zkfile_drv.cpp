// The five built-in stream drivers: file objects, texts in memory, temporary
// files, the captured output of a command, and raw descriptors.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "libpal/os/zkfile_imp.h"
#include "libpal/os/posix/os_process.h"
#include "libpal/vfile/os_file2.h"

namespace {

// ---- file (file objects) ------------------------------------------------------
// The handle is the os_file_t.

os_file_t *obj(intptr_t h) { return (os_file_t *)h; }

intptr_t file_open(void *, const char *path, uint32_t pf)
{
    if (!path)
        return 0;
    return (intptr_t)os_file_open(path, pf);
}

int file_close(intptr_t h) { return (h && os_file_close(obj(h)) == 1) ? 0 : -1; }

int64_t file_seek(intptr_t h, int64_t off, int whence) { return h ? os_file_seek(obj(h), off, whence) : -1; }

int64_t file_read(intptr_t h, void *buf, size_t len)
{
    if (!h)
        return -1;
    for (;;) {
        int64_t r = os_file_read(obj(h), buf, len);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

int64_t file_write(intptr_t h, const void *buf, size_t len)
{
    if (!h)
        return -1;
    for (;;) {
        int64_t r = os_file_write(obj(h), buf, len);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

int file_flush(intptr_t h) { return (h && os_file_fsync(obj(h)) == 1) ? 0 : -1; }

// ---- memory text ------------------------------------------------------------------

struct mem_text {
    const char *text;
    int64_t pos;
    int64_t len;
};

intptr_t mem_open(void *, const char *text, uint32_t)
{
    if (!text)
        return 0;
    mem_text *m = (mem_text *)os_zalloc(sizeof(mem_text));
    if (!m)
        return 0;
    m->text = text;
    m->len = (int64_t)strlen(text);
    return (intptr_t)m;
}

int mem_close(intptr_t h)
{
    os_free((void *)h);
    return 0;
}

int64_t mem_seek_rec(int64_t *pos, int64_t len, int64_t off, int whence)
{
    switch (whence) {
    case 0: *pos = off; break;
    case 1: *pos += off; break;
    case 2: *pos = len + off; break;
    default: break;
    }
    return *pos;
}

int64_t mem_copy(const char *text, int64_t *pos, int64_t len, void *buf, size_t want)
{
    if (*pos < 0 || *pos >= len)
        return 0;
    int64_t n = len - *pos;
    if ((uint64_t)n > want)
        n = (int64_t)want;
    memcpy(buf, text + *pos, (size_t)n);
    *pos += n;
    return n;
}

int64_t mem_seek(intptr_t h, int64_t off, int whence)
{
    mem_text *m = (mem_text *)h;
    return mem_seek_rec(&m->pos, m->len, off, whence);
}

int64_t mem_read(intptr_t h, void *buf, size_t len)
{
    mem_text *m = (mem_text *)h;
    return mem_copy(m->text, &m->pos, m->len, buf, len);
}

// ---- temporary file -------------------------------------------------------------

intptr_t tmp_open(void *, const char *, uint32_t) { return (intptr_t)tmpfile(); }
int tmp_close(intptr_t h) { return fclose((FILE *)h) == 0 ? 0 : -1; }

int64_t tmp_seek(intptr_t h, int64_t off, int whence)
{
    FILE *fp = (FILE *)h;
    if (fseeko(fp, (off_t)off, whence) != 0)
        return -1;
    return (int64_t)ftello(fp);
}

int64_t tmp_read(intptr_t h, void *buf, size_t len)
{
    FILE *fp = (FILE *)h;
    size_t n = fread(buf, 1, len, fp);
    if (n == 0 && ferror(fp))
        return -1;
    return (int64_t)n;
}

int64_t tmp_write(intptr_t h, const void *buf, size_t len)
{
    FILE *fp = (FILE *)h;
    size_t n = fwrite(buf, 1, len, fp);
    return n == 0 && len ? -1 : (int64_t)n;
}

int tmp_flush(intptr_t h) { return fflush((FILE *)h) == 0 ? 0 : -1; }

// ---- command output ---------------------------------------------------------------

struct cmd_out {
    char *text;
    int64_t pos;
    int64_t len;
};

// The whole output of the command, or its error output when the output is
// empty. The child has ended by the time the stream exists.
intptr_t cmd_open(void *, const char *cmd, uint32_t)
{
    if (!cmd)
        return 0;
    cmd_out *c = (cmd_out *)os_zalloc(sizeof(cmd_out));
    if (!c)
        return 0;
    char *out = nullptr, *err = nullptr;
    if (os_system_capture_sh(cmd, 0, &out, &err) == -1 && !out && !err) {
        os_free(c);
        return 0;
    }
    if (out && *out) {
        c->text = out;
        os_free(err);
    } else {
        os_free(out);
        c->text = err ? err : os_strdup("");
    }
    if (!c->text) {
        os_free(c);
        return 0;
    }
    c->len = (int64_t)strlen(c->text);
    return (intptr_t)c;
}

int cmd_close(intptr_t h)
{
    cmd_out *c = (cmd_out *)h;
    os_free(c->text);
    os_free(c);
    return 0;
}

int64_t cmd_seek(intptr_t h, int64_t off, int whence)
{
    cmd_out *c = (cmd_out *)h;
    return mem_seek_rec(&c->pos, c->len, off, whence);
}

int64_t cmd_read(intptr_t h, void *buf, size_t len)
{
    cmd_out *c = (cmd_out *)h;
    return mem_copy(c->text, &c->pos, c->len, buf, len);
}

// ---- descriptor -----------------------------------------------------------------------

int fd_close(intptr_t h) { return close((int)h) == 0 ? 0 : -1; }
int64_t fd_seek(intptr_t h, int64_t off, int whence) { return (int64_t)lseek((int)h, (off_t)off, whence); }
int64_t fd_read(intptr_t h, void *buf, size_t len)
{
    for (;;) {
        ssize_t r = read((int)h, buf, len);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

int64_t fd_write(intptr_t h, const void *buf, size_t len)
{
    for (;;) {
        ssize_t r = write((int)h, buf, len);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}
int fd_flush(intptr_t h) { return fsync((int)h) == 0 ? 0 : -1; }

} // namespace

void zkfile_drv_build(int index, zkfile_drv_t *d)
{
    *d = zkfile_drv_t{};
    switch (index) {
    case ZKDRV_FILE:
        d->open = file_open;
        d->close = file_close;
        d->seek = file_seek;
        d->read = file_read;
        d->write = file_write;
        d->flush = file_flush;
        break;
    case ZKDRV_MEM:
        d->open = mem_open;
        d->close = mem_close;
        d->seek = mem_seek;
        d->read = mem_read;
        break;
    case ZKDRV_TMP:
        d->open = tmp_open;
        d->close = tmp_close;
        d->seek = tmp_seek;
        d->read = tmp_read;
        d->write = tmp_write;
        d->flush = tmp_flush;
        break;
    case ZKDRV_CMD:
        d->open = cmd_open;
        d->close = cmd_close;
        d->seek = cmd_seek;
        d->read = cmd_read;
        break;
    case ZKDRV_FD:
        d->close = fd_close;
        d->seek = fd_seek;
        d->read = fd_read;
        d->write = fd_write;
        d->flush = fd_flush;
        break;
    default: break;
    }
}

int zkfile_drv_file_fd(intptr_t h) { return h ? os_file_fd(obj(h)) : 0; }

intptr_t zkfile_drv_std_handle(int index)
{
    switch (index) {
    case 0: return (intptr_t)g_os_file_stdin;
    case 1: return (intptr_t)g_os_file_stdout;
    case 2: return (intptr_t)g_os_file_stderr;
    default: return 0;
    }
}
