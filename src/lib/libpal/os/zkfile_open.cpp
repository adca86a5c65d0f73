// Opening and closing streams: mode texts, share values, the open family.
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "libpal/os/zkfile_imp.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"

namespace {

// File-object share bits of a share value; -1 for a value that is not one.
int share_bits(int share, uint32_t pf)
{
    switch (share) {
    case 16: return 0;
    case 32: return 0x500;
    case 48: return 0x600;
    case 64: return 0x700;
    case 128: return (pf & 7) == 1 ? 0x100 : 0;
    default: return -1;
    }
}

bool is_builtin(const zkfile_drv_t *drv)
{
    return drv >= &g_zkfile_drv[0] && drv < &g_zkfile_drv[ZKDRV_COUNT];
}

zkfile_t *stream_new(const zkfile_drv_t *drv, intptr_t h, uint32_t sflags, uint32_t own, void *aux)
{
    size_t bsize = zkfile_buf_size;
    size_t head = offsetof(zkfile_t, pushback) + sizeof(((zkfile_t *)nullptr)->pushback);
    zkfile_t *f = (zkfile_t *)os_malloc(head + bsize);
    if (!f)
        return nullptr;
    memset((void *)f, 0, head);
    f->mutex = mutex_malloc();
    if (!f->mutex) {
        os_free(f);
        return nullptr;
    }
    f->magic = VFILE_MAGIC;
    f->flags = sflags;
    f->drv = drv;
    f->buf = (unsigned char *)f + head;
    f->buf_size = bsize;
    f->lbf = -1;
    f->own = own;
    f->handle = h;
    f->aux = aux;
    if (!(sflags & ZKF_NOWR))
        zkfile_list_add(f);
    return f;
}

void stream_free(zkfile_t *f)
{
    zkfile_list_del(f);
    mutex_free(f->mutex);
    f->magic = 0;
    os_free(f);
}

} // namespace

int zkfile_parse_mode(const char *mode, uint32_t *pf, uint32_t *sflags)
{
    if (!mode)
        return -1;
    uint32_t p, s;
    switch (mode[0]) {
    case 'r': p = 1; s = ZKF_NOWR; break;
    case 'w': p = 42; s = ZKF_NORD; break;
    case 'a': p = 26; s = ZKF_NORD | ZKF_APPEND; break;
    default: return -1;
    }
    bool bin = false, plus = false;
    for (const char *c = mode + 1; *c; ++c) {
        if (*c == 'b') {
            if (bin)
                break;
            bin = true;
            s |= ZKF_BIN;
        } else if (*c == 't') {
            if (bin)
                break;
        } else if (*c == '+') {
            if (plus)
                break;
            plus = true;
            p = (p & ~7u) | 4;
            s &= ~(ZKF_NORD | ZKF_NOWR);
        } else {
            break;
        }
    }
    *pf = p;
    *sflags = s;
    return 0;
}

zkfile_t *zkopen_imp(const char *path, const char *mode, int share, const zkfile_drv_t *drv)
{
    zkfile_check_api();
    uint32_t pf, sflags;
    if (!path || zkfile_parse_mode(mode, &pf, &sflags) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    int sb = share_bits(share, pf);
    if (sb < 0) {
        errno = EINVAL;
        return nullptr;
    }
    pf |= (uint32_t)sb;

    intptr_t h = 0;
    void *aux = nullptr;
    int numbered = 0;
    char alg[256] = "", key[256] = "";
    if (drv && !is_builtin(drv)) {
        // A foreign driver names its files by URL.
        url_rec rec;
        char ubuf[8192], upath[8192], type[256];
        url_parser(&rec, ubuf, path);
        if (str_safecopy(upath, sizeof(upath), rec.path) != 0) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        url_get_query_buf(path, "type", "", type, sizeof(type));
        if (type[0]) {
            if (strcat_printf(upath, sizeof(upath), "?type=%s", type) < 0) {
                errno = ENAMETOOLONG;
                return nullptr;
            }
            pf |= 0x100000;
        }
        url_get_query_buf(path, "key", "", key, sizeof(key));
        url_get_query_buf(path, "alg", "", alg, sizeof(alg));
        if (!drv->open)
            return nullptr;
        h = drv->open(drv->context, upath, pf);
    } else if (drv) {
        if (!drv->open)
            return nullptr;
        h = drv->open(drv->context, path, pf);
    } else {
        // Local names are taken literally: a '?' or '#' belongs to the name.
        h = zkfile_vfs_open(path, pf, &drv, &aux, &numbered);
        if (h == 0)
            return nullptr;
        if (h == -1) {
            drv = &g_zkfile_drv[ZKDRV_FILE];
            h = drv->open ? drv->open(drv->context, path, pf) : 0;
        }
    }
    if (!h)
        return nullptr;
    zkfile_t *f = stream_new(drv, h, sflags | (numbered ? (uint32_t)ZKF_VOLUME : 0u), 1, aux);
    if (!f) {
        int e = errno;
        if (drv->close)
            drv->close(h);
        if (aux && !numbered && drv->release)
            drv->release(aux);
        errno = e ? e : ENOMEM;
        return nullptr;
    }
    if (key[0] && zkfile_set_crypt(f, alg, key) != 0) {
        zkclose(f);
        errno = EINVAL;
        return nullptr;
    }
    return f;
}

zkfile_t *zkopen(const char *path, const char *mode, int share) { return zkopen_imp(path, mode, share, nullptr); }

zkfile_t *zkopen_drv(const char *path, const char *mode, const zkfile_drv_t *drv)
{
    return zkopen_imp(path, mode, 48, drv);
}

zkfile_t *zkopen2(const char *path, const char *mode) { return zkopen_imp(path, mode, 48, nullptr); }

zkfile_t *zkopen_type(int index, const char *path, const char *mode, int share)
{
    zkfile_check_api();
    const zkfile_drv_t *d = zkfile_get_drv(index);
    if (!d) {
        errno = EINVAL;
        return nullptr;
    }
    return zkopen_imp(path, mode, share, d);
}

zkfile_t *zkopen_str(const char *text) { return zkopen_type(ZKDRV_MEM, text, "r", 32); }

// Read-write: a temporary file is written first and read back.
zkfile_t *zkopen_tmp(void) { return zkopen_type(ZKDRV_TMP, "", "w+", 32); }

zkfile_t *zkopen_cmd(const char *cmd, const char *mode) { return zkopen_type(ZKDRV_CMD, cmd, mode, 32); }

zkfile_t *zkopen_handle(intptr_t h, int index, int own, const char *mode)
{
    const zkfile_drv_t *d = zkfile_get_drv(index);
    uint32_t pf, sflags;
    if (!d || zkfile_parse_mode(mode, &pf, &sflags) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    return stream_new(d, h, sflags, own ? 1 : 0, nullptr);
}

zkfile_t *zkdopen(int fd, const char *mode) { return zkopen_handle(fd, ZKDRV_FD, 1, mode); }

int zkclose(zkfile_t *f)
{
    ZK_FATAL_IF(f == nullptr, "f!=NULL");
    ZK_FATAL_IF(f->magic != VFILE_MAGIC, "f->magic==VFILE_MAGIC");
    // Off the list first, so that a flush of every stream never meets it
    // half closed.
    zkfile_list_del(f);
    ZKLOCK(f);
    // A stream that does not own its handle is flushed all the same: its
    // buffered bytes belong to whoever holds the handle.
    int r = zkfile_flush_unlocked(f);
    if (f->own && f->drv->close)
        r |= f->drv->close(f->handle);
    if (f->aux && !(f->flags & ZKF_VOLUME) && f->drv->release)
        f->drv->release(f->aux);
    if (f->crypt && g_zkcrypt_close)
        g_zkcrypt_close(f->crypt);
    f->crypt = nullptr;
    ZKUNLOCK(f);
    if (zk_stdin == f)
        zk_stdin = nullptr;
    if (zk_stdout == f)
        zk_stdout = nullptr;
    if (zk_stderr == f)
        zk_stderr = nullptr;
    stream_free(f);
    return r;
}

zkfile_t *zkreopen(const char *path, const char *mode, zkfile_t *f)
{
    zkflush(f);
    zkfile_t *nf = zkopen2(path, mode);
    if (!nf) {
        int e = errno;
        zkclose(f);
        errno = e;
        return nullptr;
    }
    zkfile_list_del(f);
    ZKLOCK(f);
    ZKLOCK(nf);
    const zkfile_drv_t *od = f->drv;
    intptr_t oh = f->handle;
    void *oaux = f->aux;
    uint32_t oown = f->own, oflags = f->flags;
    f->drv = nf->drv;
    f->handle = nf->handle;
    f->aux = nf->aux;
    f->own = nf->own;
    f->flags = nf->flags | (oflags & 1u);
    f->rpos = f->rend = f->wpos = f->wbase = f->wend = nullptr;
    nf->drv = od;
    nf->handle = oh;
    nf->aux = oaux;
    nf->own = oown;
    if (oh == f->handle) {
        // Same object on both sides: nothing of it is closed.
        nf->own = 0;
        nf->aux = nullptr;
    }
    nf->flags = (oflags & ZKF_VOLUME) | ZKF_NOWR | ZKF_NORD;
    ZKUNLOCK(nf);
    bool writable = !(f->flags & ZKF_NOWR);
    ZKUNLOCK(f);
    if (writable)
        zkfile_list_add(f);
    zkclose(nf);
    return f;
}
