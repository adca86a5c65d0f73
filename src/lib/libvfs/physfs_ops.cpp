// The "physfs" driver's file and directory handles: opens of members
// (with what a 7z open leaves behind freed at close), reads checked against
// the library's error state, and listings.
#include "libvfs/physfs_imp.h"

namespace physfs_drv {

void *physfs_open(void *mp, const char *path, uint32_t pf)
{
    physfs_mnt *m = (physfs_mnt *)mp;
    if (pf & (OS_FILE_WRITE | OS_FILE_RDWR | OS_FILE_CREATE | OS_FILE_TRUNC | OS_FILE_APPEND)) {
        FAIL(VERR_WRITE_PROTECT, "archive is read-only");
        return nullptr;
    }
    physfs_fh *h = new (std::nothrow) physfs_fh;
    if (!h) {
        FAIL(VERR_NO_MEMORY, "no memory for the handle");
        return nullptr;
    }
    h->m = m;
    if (full_name(m, path, h->path, __func__) != 0) {
        delete h;
        return nullptr;
    }
    if (m->track_opens) {
        // The thread's error record must exist before the window opens:
        // made inside it, it would look like what the open left behind.
        PHYSFS_setErrorCode(PHYSFS_ERR_OTHER_ERROR);
        PHYSFS_getLastErrorCode();
        t_opening = h;
    }
    {
        std::shared_lock<std::shared_mutex> g(s_link_mu);
        h->f = PHYSFS_openRead(h->path.c_str());
    }
    t_opening = nullptr;
    if (!h->f) {
        FAIL_PHYSFS();
        if (m->track_opens)
            untag(h);
        delete h;
        return nullptr;
    }
    return h;
}

int physfs_close(void *fh)
{
    physfs_fh *h = (physfs_fh *)fh;
    int r = 0;
    if (!PHYSFS_close(h->f)) {
        FAIL_PHYSFS();
        r = -1;
        // The file stays the library's: what it holds is not garbage.
        if (h->m->track_opens)
            untag(h);
    } else if (h->m->track_opens) {
        free_tagged(h);
    }
    delete h;
    return r;
}

// Records a read that the library failed, or that it answered while noting
// an error (c): always EIO but for a lack of memory.
void fail_read(PHYSFS_ErrorCode c, int line, const char *func)
{
    fail(vfs_err_rec(), line, func, c == PHYSFS_ERR_OUT_OF_MEMORY ? VERR_NO_MEMORY : VERR_DEV_IO_ERROR, "%s",
         text_of(c));
}

// Moves the library's file to off unless it is there. Only offsets up to
// k_lib_pos_max reach the library (past it, its position wraps). 0, or -1
// recorded.
int lib_seek(physfs_fh *h, uint64_t off)
{
    if (off > k_lib_pos_max) {
        FAIL(VERR_DEV_IO_ERROR, "offset %llu: the archive library cannot reach it", (unsigned long long)off);
        return -1;
    }
    PHYSFS_sint64 at = PHYSFS_tell(h->f);
    if (at >= 0 && (uint64_t)at == off)
        return 0;
    if (!PHYSFS_seek(h->f, off)) {
        FAIL_PHYSFS();
        return -1;
    }
    return 0;
}

// Up to len bytes from off (-1: the handle's position). The count (0 at
// the end), or -1 recorded: the library failed or noted an error, the
// member ended before its size, or the bytes lie past 4 GiB of a member the
// library cannot read that far (refused whole: a short count would tell the
// reader that the member ends there).
int64_t physfs_read(void *fh, void *buf, uint64_t len, int64_t off)
{
    physfs_fh *h = (physfs_fh *)fh;
    if (off != -1 && off < 0) {
        FAIL(VERR_INVALID_PARAMETER, "offset %lld out of range", (long long)off);
        return -1;
    }
    uint64_t start = off == -1 ? h->pos : (uint64_t)off;
    PHYSFS_sint64 size = PHYSFS_fileLength(h->f);
    if (size >= 0) {
        if (start >= (uint64_t)size)
            return 0;
        len = std::min<uint64_t>(len, (uint64_t)size - start);
    }
    len = std::min<uint64_t>(len, (uint64_t)INT64_MAX);
    if (start + len > k_lib_pos_max) {
        FAIL(VERR_DEV_IO_ERROR, "member of %lld bytes: the archive library cannot read past 4 GiB of it",
             (long long)size);
        return -1;
    }
    PHYSFS_getLastErrorCode(); // a code left by an earlier call is not this read's
    if (lib_seek(h, start) != 0)
        return -1;
    if (PHYSFS_ErrorCode c = PHYSFS_getLastErrorCode()) {
        fail_read(c, __LINE__, __func__);
        return -1;
    }
    uint64_t got = 0;
    while (got < len) {
        PHYSFS_sint64 n = PHYSFS_readBytes(h->f, (char *)buf + got, len - got);
        PHYSFS_ErrorCode c = PHYSFS_getLastErrorCode();
        if (n < 0 || c != PHYSFS_ERR_OK) {
            fail_read(c, __LINE__, __func__);
            return -1;
        }
        if (n == 0) {
            if (size >= 0 && start + got < (uint64_t)size) {
                FAIL(VERR_DEV_IO_ERROR, "member ends at byte %llu of its %lld", (unsigned long long)(start + got),
                     (long long)size);
                return -1;
            }
            break;
        }
        got += (uint64_t)n;
    }
    h->pos = start + got;
    return (int64_t)got;
}

int64_t physfs_write(void *fh, const void *buf, uint64_t len, int64_t off)
{
    physfs_fh *h = (physfs_fh *)fh;
    if (off < -1) {
        FAIL(VERR_INVALID_PARAMETER, "offset %lld out of range", (long long)off);
        return -1;
    }
    if (lib_seek(h, off == -1 ? h->pos : (uint64_t)off) != 0)
        return -1;
    PHYSFS_sint64 n = PHYSFS_writeBytes(h->f, buf, len);
    if (n < 0) {
        FAIL_PHYSFS();
        return -1;
    }
    return n;
}

int64_t physfs_lseek(void *fh, int64_t off, int whence)
{
    physfs_fh *h = (physfs_fh *)fh;
    if (whence != 0) {
        FAIL(VERR_NOT_SUPPORTED, "ony support whence==0");
        return -1;
    }
    if (off < 0) {
        FAIL(VERR_INVALID_PARAMETER, "offset %lld out of range", (long long)off);
        return -1;
    }
    PHYSFS_sint64 size = PHYSFS_fileLength(h->f);
    if ((uint64_t)off > k_lib_pos_max && size >= off) {
        // Out of the library's reach (a read from here fails), not out of
        // the member's.
        h->pos = (uint64_t)off;
        return off;
    }
    if (lib_seek(h, (uint64_t)off) != 0)
        return -1;
    h->pos = (uint64_t)off;
    return off;
}

int physfs_fstat(void *fh, os_file_stat_t *st)
{
    physfs_fh *h = (physfs_fh *)fh;
    if (!st) {
        FAIL(VERR_INVALID_PARAMETER, "stat record missing");
        return -1;
    }
    return stat_name(h->m, h->path, st, __func__);
}

PHYSFS_EnumerateCallbackResult collect(void *data, const char *, const char *name)
{
    physfs_dh *d = (physfs_dh *)data;
    try {
        d->names.emplace_back(name);
    } catch (...) {
        return PHYSFS_ENUM_ERROR;
    }
    return PHYSFS_ENUM_OK;
}

void *physfs_opendir(void *mp, const char *path, const char *pattern)
{
    physfs_mnt *m = (physfs_mnt *)mp;
    physfs_dh *d = new (std::nothrow) physfs_dh;
    if (!d) {
        FAIL(VERR_NO_MEMORY, "no memory for the listing");
        return nullptr;
    }
    d->m = m;
    os_file_stat_t st;
    if (full_name(m, path, d->path, __func__) != 0 || stat_name(m, d->path, &st, __func__) != 0) {
        delete d;
        return nullptr;
    }
    if (st.type != OS_FTYPE_DIR) {
        FAIL(VERR_PATH_NOT_FOUND, "not a directory");
        delete d;
        return nullptr;
    }
    try {
        d->names = {".", ".."};
        d->rel = path;
    } catch (...) {
        FAIL(VERR_NO_MEMORY, "no memory for the listing");
        delete d;
        return nullptr;
    }
    // With links refused, PhysicsFS stats every entry to leave links out of
    // the listing, and a link whose target the archive lacks fails the
    // whole listing. Listing follows nothing, so it runs with links allowed
    // (only archive files are mounted, whose links lead nowhere but into
    // the archive); stat and open still refuse them.
    int listed;
    {
        std::unique_lock<std::shared_mutex> g(s_link_mu);
        PHYSFS_permitSymbolicLinks(1);
        listed = PHYSFS_enumerate(d->path.c_str(), collect, d);
        PHYSFS_permitSymbolicLinks(0);
    }
    if (!listed) {
        PHYSFS_ErrorCode c = PHYSFS_getLastErrorCode();
        if (c == PHYSFS_ERR_APP_CALLBACK)
            FAIL(VERR_NO_MEMORY, "no memory for the listing");
        else
            fail(vfs_err_rec(), __LINE__, __func__, status_of(c), "%s", text_of(c));
        delete d;
        return nullptr;
    }
    if (pattern)
        std::erase_if(d->names, [&](const std::string &n) { return !pl_glob_match_any(n.c_str(), pattern); });
    return d;
}

// The next entry with its type, size and times; NULL at the end.
os_dir_entry_t *physfs_readdir(void *dh)
{
    physfs_dh *d = (physfs_dh *)dh;
    while (d->next < d->names.size()) {
        const std::string &n = d->names[d->next++];
        os_dir_entry_t *e = &d->entry;
        if (str_safecopy(e->name, sizeof(e->name), n.c_str()) != 0) {
            LOG_WARN(VFS_TAG, "dir=[%s] entry of %zu bytes skipped: name too long\n", d->rel.c_str(), n.size());
            continue;
        }
        std::string full = d->path;
        if (n == "..") {
            size_t cut = full.rfind('/');
            // The parent of the archive's root lies outside it: shown as the root.
            if (cut != std::string::npos && full.find('/', 1) != std::string::npos)
                full.resize(cut);
        } else if (n != ".") {
            full += "/" + n;
        }
        PHYSFS_Stat ps;
        int ok;
        {
            std::shared_lock<std::shared_mutex> g(s_link_mu);
            ok = PHYSFS_stat(full.c_str(), &ps);
        }
        if (ok) {
            fill_stat(d->m, ps, full, &e->st);
        } else {
            // Listed but not reachable (a link, a name PhysicsFS cannot
            // open): the name alone, as a file; stat says why.
            PHYSFS_getLastErrorCode();
            memset(&e->st, 0, sizeof(e->st));
            e->st.type = OS_FTYPE_FILE;
            e->st.mode = S_IFREG;
            e->st.ino = ino_of(full);
        }
        e->link[0] = '\0';
        return e;
    }
    return nullptr;
}

int physfs_closedir(void *dh)
{
    delete (physfs_dh *)dh;
    return 0;
}

} // namespace physfs_drv
