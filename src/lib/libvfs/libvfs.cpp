// libvfs core: the driver registry, mounts, handles and the per-thread
// error record.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "libpal/basic/pl_assert.h"
#include "libpal/os/zkfile.h"
#include "libpal/string/str_dyn.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libpal/tframe/cache_pio.h"
#include "libpal/vfile/os_file2.h"
#include "libpal/vfile/os_file_flag.h"
#include "liblog/log2.h"
#include "libvfs/vfs_imp.h"
#include "libzkcli/client.h"

namespace {

// The calling thread's last failure, with the errno a driver gave for it
// (and the place it was recorded, so that a later record without one is not
// mistaken for it).
struct err_state {
    vperror_t rec;
    int eno;
    int eno_code;
    int eno_line;
    const char *eno_func;
};
thread_local err_state t_err;

void err_clear(void)
{
    t_err.rec.code = 0;
    t_err.rec.msg[0] = '\0';
    t_err.rec.file = nullptr;
    t_err.rec.func = nullptr;
    t_err.rec.line = 0;
    t_err.eno = 0;
}

// The registry is built once and then only read; the lock serialises start
// and stop (the first mount may race with an explicit libvfs_init).
std::mutex s_reg_mu;
bool s_inited = false;
mem_parray_t s_drvs;
// 1 for a driver whose init succeeded. A failed one still claims its URLs,
// so they fail plainly instead of falling to the next driver (an archive
// URL must never become a local directory), but it mounts nothing.
uint8_t s_ready[8];

const vfs_drv *drv_at(uint64_t i) { return (const vfs_drv *)mem_parray_get(&s_drvs, i); }

// A driver that cannot both tell and seek a listing gets positions that
// count the entries handed out.
bool dir_pos_by_count(const vfs_drv *d) { return !d->seekdir || !d->telldir; }

int libvfs_init_locked(void)
{
    if (s_inited)
        return 0;
    memset(&s_drvs, 0, sizeof(s_drvs));
    if (mem_parray_init(&s_drvs) != 0) {
        LOG_ERR(VFS_TAG, "drv array init failed\n");
        return -1;
    }
    s_inited = true;
    const vfs_drv *all[] = {vfs_file_drv_get(), vfs_zksd_drv_get(), vfs_ftp_drv_get(), vfs_physfs_drv_get()};
    for (const vfs_drv *d : all)
        mem_parray_add(&s_drvs, (void *)d);
    for (uint64_t i = 0; i < s_drvs.count && i < sizeof(s_ready); i++) {
        const vfs_drv *d = drv_at(i);
        // A driver that cannot start must not take the others down with it
        // (a local mount does not need the archive library): it is only
        // marked as not ready.
        if (d->init && d->init() != 0) {
            LOG_ERR(VFS_TAG, "drv [%s] init failed\n", d->name);
            s_ready[i] = 0;
        } else {
            s_ready[i] = 1;
        }
    }
    return 0;
}

vfs_handle *vfs_handle_new(vfs_mount_ctx *mnt, uint32_t type)
{
    vfs_handle *h = (vfs_handle *)os_zalloc(sizeof(vfs_handle));
    if (!h)
        return nullptr;
    os_mutex_init(&h->mutex); // default attributes: cannot fail on this platform
    h->magic = VFS_MAGIC;
    h->type = type;
    h->mnt = mnt;
    return h;
}

// Frees what the handle owns (the driver handle must be closed already).
void vfs_handle_free(vfs_handle *h)
{
    h->magic = 0;
    if (h->rcache)
        cache_pread_close(h->rcache);
    if (h->wcache)
        cache_pwrite_close(h->wcache);
    os_free(h->path);
    os_free(h->pattern);
    os_mutex_destroy(&h->mutex);
    os_free(h);
}

// Keeps the handle when the driver gave one: path copy, appended to the
// mount's array of its type. NULL (handle freed) otherwise.
vfs_handle *vfs_handle_register(vfs_mount_ctx *mnt, vfs_handle *h, const char *path)
{
    if (!h->drv_h) {
        vfs_handle_free(h);
        return nullptr;
    }
    h->path = os_strdup(path);
    int r = -1;
    if (h->path) {
        vfs_lock g(mnt->mutex);
        r = mem_parray_add(h->type == VFS_TYPE_FILE ? &mnt->files : &mnt->dirs, h);
    }
    if (r != 0) {
        VFS_SET_ERROR(VERR_NO_MEMORY, "no memory for the handle of [%s]", path);
        if (h->type == VFS_TYPE_FILE)
            mnt->drv->close(h->drv_h);
        else
            mnt->drv->closedir(h->drv_h);
        vfs_handle_free(h);
        return nullptr;
    }
    return h;
}

// Removes the handle from its mount's array. 1 when it was there.
int vfs_handle_unregister(vfs_handle *h)
{
    vfs_mount_ctx *mnt = h->mnt;
    vfs_lock g(mnt->mutex);
    return mem_parray_remove(h->type == VFS_TYPE_FILE ? &mnt->files : &mnt->dirs, h) >= 0;
}

// Writes out, frees the caches and closes a file handle that is no longer
// registered, then frees it. The caches go before the driver handle they
// write through. -1 when the write-out failed, else the driver's result.
int vfs_close_imp(vfs_handle *h)
{
    vfs_mount_ctx *mnt = h->mnt;
    int64_t fr = 0;
    {
        vfs_lock g(&h->mutex);
        fr = vfs_flush_caches(h);
        if (h->wcache) {
            // The write-out failed for good: drop what is held so closing the
            // cache does not try again behind the caller's back.
            if (fr < 0)
                h->wcache->fill = 0;
            cache_pwrite_close(h->wcache);
            h->wcache = nullptr;
        }
        if (h->rcache) {
            cache_pread_close(h->rcache);
            h->rcache = nullptr;
        }
    }
    int r = mnt->drv->close ? mnt->drv->close(h->drv_h) : -1;
    vfs_handle_free(h);
    return fr < 0 ? -1 : r;
}

int vfs_closedir_imp(vfs_handle *h)
{
    vfs_mount_ctx *mnt = h->mnt;
    int r = mnt->drv->closedir ? mnt->drv->closedir(h->drv_h) : -1;
    vfs_handle_free(h);
    return r;
}

// The steps the opens share: the mount and path checks, the driver's slot
// (`slot` of the record; a directory also needs closedir), a new handle
// with its flags and its own copy of `pattern` (when given), the driver call
// (`call` gets the slot's function) and the registration. NULL with the
// failure recorded.
template <class Fn, class Call>
vfs_handle *open_imp(vfs_mount_ctx *mnt, const char *path, uint32_t type, uint32_t flags, Fn vfs_drv::*slot,
                     const char *slot_name, const char *pattern, Call call, const char *func)
{
    if (!vfs_check(mnt, VFS_TYPE_MOUNT))
        return nullptr;
    if (!path) {
        vfs_arg_missing(mnt, "path", func);
        return nullptr;
    }
    Fn fn = mnt->drv->*slot;
    if (!fn || (type == VFS_TYPE_DIR && !mnt->drv->closedir)) {
        vfs_slot_missing(mnt, slot_name, func);
        return nullptr;
    }
    vfs_handle *h = vfs_handle_new(mnt, type);
    if (h && pattern && !(h->pattern = os_strdup(pattern))) {
        vfs_handle_free(h);
        h = nullptr;
    }
    if (!h) {
        VFS_SET_ERROR(VERR_NO_MEMORY, "no memory for the handle of [%s]", path);
        return nullptr;
    }
    h->flags = flags;
    h->drv_h = call(fn);
    return vfs_handle_register(mnt, h, path);
}

// A close of a handle that is not one: the closes do not empty the record
// first, so they record this themselves.
int close_bad_handle(const char *func)
{
    vperror_set(&t_err.rec, __FILE__, __LINE__, func, VERR_INVALID_HANDLE, "invalid handle");
    t_err.eno = 0;
    return -1;
}

void mount_free(vfs_mount_ctx *mnt)
{
    mem_parray_exit(&mnt->files);
    mem_parray_exit(&mnt->dirs);
    if (mnt->mutex)
        mutex_free(mnt->mutex);
    mnt->magic = 0;
    os_free(mnt->mnt_dir);
    os_free(mnt);
}

// Cache size option: "2m" when absent; 2 GiB and more refused.
int cache_size_opt(const char *url, const char *key, uint32_t *out)
{
    char text[256];
    url_get_query_buf(url, key, "2m", text, sizeof(text));
    uint64_t v = str_parse_size(text);
    if (v >= (1ull << 31)) {
        LOG_ERR(VFS_TAG, "%s=[%s] error: too large\n", key, text);
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "%s=[%s] too large (at most 2047m)", key, text);
        return -1;
    }
    *out = (uint32_t)v;
    return 0;
}

} // namespace

// ---- shared internals --------------------------------------------------------------------

int vfs_check(const void *p, uint32_t type)
{
    err_clear();
    if (vfs_is(p, type))
        return 1;
    vperror_set(&t_err.rec, __FILE__, __LINE__, __func__, VERR_INVALID_HANDLE, "invalid handle");
    return 0;
}

int vfs_is(const void *p, uint32_t type)
{
    if (!p)
        return 0;
    uint64_t word;
    memcpy(&word, p, sizeof(word));
    uint64_t want;
    const uint32_t pair[2] = {VFS_MAGIC, type};
    memcpy(&want, pair, sizeof(want));
    return word == want;
}

vfs_mount_ctx *vfs_handle_get_mount(const void *h)
{
    if (vfs_is(h, VFS_TYPE_MOUNT))
        return (vfs_mount_ctx *)h;
    if (vfs_is(h, VFS_TYPE_FILE) || vfs_is(h, VFS_TYPE_DIR))
        return ((const vfs_handle *)h)->mnt;
    return nullptr;
}

void vfs_slot_missing(vfs_mount_ctx *mnt, const char *slot, const char *func)
{
    vperror_set(&t_err.rec, __FILE__, __LINE__, func, VERR_NOT_IMPLEMENTED, "%s not supported by the %s driver", slot,
                mnt->drv->name);
}

void vfs_arg_missing(vfs_mount_ctx *, const char *what, const char *func)
{
    vperror_set(&t_err.rec, __FILE__, __LINE__, func, VERR_INVALID_PARAMETER, "%s missing", what);
}

vperror_t *vfs_err_rec(void) { return &t_err.rec; }

void vfs_set_error_errno(vfs_mount_ctx *mnt, const char *file, int line, const char *func, int eno)
{
    if (!mnt)
        return;
    vperror_set(&t_err.rec, file, line, func, os_verr_get(eno), "%s", os_errno_str_of(eno));
    t_err.eno = eno;
    t_err.eno_code = t_err.rec.code;
    t_err.eno_line = line;
    t_err.eno_func = func;
}

// ---- library ---------------------------------------------------------------------------------

int libvfs_init(void)
{
    LOG_VERB(VFS_TAG, "==>\n");
    std::lock_guard<std::mutex> g(s_reg_mu);
    return libvfs_init_locked();
}

int libvfs_exit(void)
{
    std::lock_guard<std::mutex> g(s_reg_mu);
    if (!s_inited)
        return 0;
    s_inited = false;
    zkfile_vfs_umount_all();
    for (uint64_t i = 0; i < s_drvs.count; i++) {
        const vfs_drv *d = drv_at(i);
        if (d->exit && i < sizeof(s_ready) && s_ready[i])
            d->exit();
    }
    mem_parray_exit(&s_drvs);
    memset(s_ready, 0, sizeof(s_ready));
    return 0;
}

// ---- mounts ------------------------------------------------------------------------------------

vfs_mount_ctx *vfs_mount2(const char *url, void *arg, vperror_t *err)
{
    err_clear();
    vfs_mount_ctx *mnt = nullptr;
    char turl[URL_TEXT_SIZE];
    uint32_t rsize = 0, wsize = 0;
    const vfs_drv *drv = nullptr;
    bool ready = false;
    if (!url) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "url missing");
        goto fail;
    }
    {
        std::lock_guard<std::mutex> g(s_reg_mu);
        if (libvfs_init_locked() != 0) {
            VFS_SET_ERROR(VERR_NO_MEMORY, "vfs init failed");
            goto fail;
        }
    }
    if (url_conf_2_real(url, turl, &t_err.rec) != 0)
        goto fail;
    // Said here once, for every driver: a bad port would fail each parse.
    if (char why[160]; url_port_check(turl, why, sizeof why) != 0) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "%s", why);
        goto fail;
    }
    zk_conf_url_add_timeouts(turl);

    // The cache options come from the URL as the caller wrote it, so a
    // session reference carries them in its own query.
    if (cache_size_opt(url, "rcache_size", &rsize) != 0 || cache_size_opt(url, "wcache_size", &wsize) != 0)
        goto fail;

    if (log2_get_level(nullptr) >= (int)LOG2_VERB) {
        char a[URL_TEXT_SIZE], b[URL_TEXT_SIZE];
        LOG_VERB(VFS_TAG, "url=[%s] turl=[%s]\n", url_hide_pwd_fmt(url, a), url_hide_pwd_fmt(turl, b));
    }

    // Last registered first: "file" is asked last.
    for (uint64_t i = s_drvs.count; i-- > 0;) {
        const vfs_drv *d = drv_at(i);
        if (d->match && d->match(turl) == 0) {
            drv = d;
            ready = i < sizeof(s_ready) && s_ready[i];
            break;
        }
    }
    if (!drv) {
        LOG_ERR(VFS_TAG, "find_drv failed\n");
        VFS_SET_ERROR(VERR_NOT_SUPPORTED, "find_drv failed");
        goto fail;
    }
    if (!ready) {
        LOG_ERR(VFS_TAG, "drv=%s error: the driver could not start\n", drv->name);
        VFS_SET_ERROR(VERR_NOT_SUPPORTED, "%s driver could not start", drv->name);
        goto fail;
    }
    LOG_VERB(VFS_TAG, "drv=%s\n", drv->name);

    mnt = (vfs_mount_ctx *)os_zalloc(sizeof(vfs_mount_ctx));
    if (!mnt || !(mnt->mutex = mutex_malloc()) || mem_parray_init(&mnt->files) != 0 ||
        mem_parray_init(&mnt->dirs) != 0) {
        VFS_SET_ERROR(VERR_NO_MEMORY, "no memory for the mount");
        goto fail;
    }
    mnt->magic = VFS_MAGIC;
    mnt->type = VFS_TYPE_MOUNT;
    mnt->rcache_size = rsize;
    mnt->wcache_size = wsize;
    mnt->drv = drv;
    if (!drv->mount) {
        vfs_slot_missing(mnt, "mount", __func__);
        goto fail;
    }
    // The driver may keep the pointer it is given by mistake: it gets one
    // that lives as long as the mount, not the thread's own record.
    mnt->drv_mnt = drv->mount(turl, arg, &mnt->mount_err, mnt);
    if (!mnt->drv_mnt) {
        if (mnt->mount_err.code == 0)
            VFS_SET_ERROR(VERR_GENERAL_FAILURE, "%s driver could not mount the url", drv->name);
        else
            vperror_copy(&t_err.rec, &mnt->mount_err);
        goto fail;
    }
    return mnt;

fail:
    if (mnt)
        mount_free(mnt);
    if (err)
        vperror_copy(err, &t_err.rec);
    return nullptr;
}

vfs_mount_ctx *vfs_mount(const char *url, vperror_t *err) { return vfs_mount2(url, nullptr, err); }

int vfs_umount(vfs_mount_ctx *mnt)
{
    if (!vfs_check(mnt, VFS_TYPE_MOUNT))
        return -1;
    mem_parray_t files, dirs;
    {
        vfs_lock g(mnt->mutex);
        files = mnt->files;
        dirs = mnt->dirs;
        memset(&mnt->files, 0, sizeof(mnt->files));
        memset(&mnt->dirs, 0, sizeof(mnt->dirs));
    }
    for (uint64_t i = 0; i < files.count; i++)
        vfs_close_imp((vfs_handle *)files.data[i]); // each writes out its cache first
    mem_parray_exit(&files);
    for (uint64_t i = 0; i < dirs.count; i++)
        vfs_closedir_imp((vfs_handle *)dirs.data[i]);
    mem_parray_exit(&dirs);
    int r = mnt->drv->umount ? mnt->drv->umount(mnt->drv_mnt) : 0;
    mount_free(mnt);
    return r;
}

int vfs_statfs(vfs_mount_ctx *mnt, os_volume_info_t *vi)
{
    if (!vfs_check(mnt, VFS_TYPE_MOUNT))
        return -1;
    vfs_mount_ctx *ctx = mnt;
    if (!ctx->drv->statfs)
        vfs_slot_missing(ctx, "statfs", __func__);
    PL_ASSERT_RET(VFS_TAG, ctx->drv->statfs!=NULL, -1);
    return ctx->drv->statfs(ctx->drv_mnt, vi);
}

int vfs_get_readonly(vfs_mount_ctx *mnt, uint32_t *ro)
{
    if (!vfs_check(mnt, VFS_TYPE_MOUNT))
        return -1;
    if (!mnt->drv->get_readonly) {
        vfs_slot_missing(mnt, "get_readonly", __func__);
        return -1;
    }
    return mnt->drv->get_readonly(mnt->drv_mnt, ro);
}

int vfs_set_mnt_dir(vfs_mount_ctx *mnt, const char *dir)
{
    if (!vfs_check(mnt, VFS_TYPE_MOUNT))
        return -1;
    if (!dir) {
        vfs_arg_missing(mnt, "dir", __func__);
        return -1;
    }
    char *copy = os_strdup(dir);
    if (!copy) {
        VFS_SET_ERROR(VERR_NO_MEMORY, "no memory for the mount directory");
        return -1;
    }
    os_free(mnt->mnt_dir);
    mnt->mnt_dir = copy;
    return 0;
}

char *vfs_dump_handles(vfs_mount_ctx *mnt)
{
    if (!vfs_check(mnt, VFS_TYPE_MOUNT))
        return nullptr;
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    {
        vfs_lock g(mnt->mutex);
        for (uint64_t i = 0; i < mnt->files.count; i++) {
            const vfs_handle *h = (const vfs_handle *)mnt->files.data[i];
            str_dyn_printf(d, "file_name=%s h=%lx\n", h->path, (unsigned long)(uintptr_t)h);
        }
        for (uint64_t i = 0; i < mnt->dirs.count; i++) {
            const vfs_handle *h = (const vfs_handle *)mnt->dirs.data[i];
            str_dyn_printf(d, "dir_name=%s h=%lx\n", h->path, (unsigned long)(uintptr_t)h);
        }
    }
    return str_dyn_detach(d);
}

// ---- files --------------------------------------------------------------------------------------

vfs_handle *vfs_open(vfs_mount_ctx *mnt, const char *path, uint32_t flags)
{
    return open_imp(
        mnt, path, VFS_TYPE_FILE, flags, &vfs_drv::open, "open", nullptr,
        [&](auto fn) { return fn(mnt->drv_mnt, path, flags); }, __func__);
}

vfs_handle *vfs_open2(vfs_mount_ctx *mnt, const char *path, int flags, uint32_t mode)
{
    // A driver that only knows file-object flags gets the converted ones.
    const uint32_t pf = pl_oflag_2_pf(flags);
    if (vfs_is(mnt, VFS_TYPE_MOUNT) && !mnt->drv->open2 && mnt->drv->open)
        return open_imp(
            mnt, path, VFS_TYPE_FILE, pf, &vfs_drv::open, "open2", nullptr,
            [&](auto fn) { return fn(mnt->drv_mnt, path, pf); }, __func__);
    return open_imp(
        mnt, path, VFS_TYPE_FILE, pf, &vfs_drv::open2, "open2", nullptr,
        [&](auto fn) { return fn(mnt->drv_mnt, path, flags, mode); }, __func__);
}

vfs_handle *vfs_wopen(vfs_mount_ctx *mnt, const char *path, uint32_t access, uint32_t share, void *security,
                      uint32_t disposition, uint32_t attributes, void *templ)
{
    return open_imp(
        mnt, path, VFS_TYPE_FILE, os_wflag_2_pf(access, disposition), &vfs_drv::wopen, "wopen", nullptr,
        [&](auto fn) { return fn(mnt->drv_mnt, path, access, share, security, disposition, attributes, templ); },
        __func__);
}

int vfs_close(vfs_handle *h)
{
    if (!vfs_is(h, VFS_TYPE_FILE))
        return close_bad_handle(__func__);
    // Unregistered first: once the close has begun, no path operation of
    // another thread may reach the handle to write out its cache.
    vfs_handle_unregister(h);
    return vfs_close_imp(h);
}

int vfs_flock(vfs_handle *h, int32_t type) { return vfs_flock2(h, type, 0, (uint64_t)-1); }

int vfs_flock2(vfs_handle *h, int32_t type, uint64_t off, uint64_t len)
{
    if (!vfs_check(h, VFS_TYPE_FILE))
        return -1;
    if (!h->mnt->drv->flock) {
        vfs_slot_missing(h->mnt, "flock", __func__);
        return -1;
    }
    return h->mnt->drv->flock(h->drv_h, type, off, len);
}

int vfs_funlock(vfs_handle *h, uint64_t off, uint64_t len) { return vfs_flock2(h, OS_FILE_LOCK_UNLOCK, off, len); }

int64_t vfs_ioctl(vfs_handle *h, int code, void *arg, int64_t len)
{
    if (!vfs_check(h, VFS_TYPE_FILE))
        return -1;
    if (!h->mnt->drv->ioctl) {
        vfs_slot_missing(h->mnt, "ioctl", __func__);
        return -1;
    }
    return h->mnt->drv->ioctl(h->drv_h, code, arg, len);
}

int64_t vfs_stream_read(vfs_handle *h, void *buf, uint64_t len) { return vfs_read(h, buf, len, -1); }

int64_t vfs_stream_write(vfs_handle *h, const void *buf, uint64_t len) { return vfs_write(h, buf, len, -1); }

namespace {
intptr_t stream_open(void *ctx, const char *path, uint32_t pf)
{
    return (intptr_t)vfs_open((vfs_mount_ctx *)ctx, path, pf);
}
int stream_close(intptr_t h) { return vfs_close((vfs_handle *)h); }
int64_t stream_seek(intptr_t h, int64_t off, int whence) { return vfs_lseek((vfs_handle *)h, off, whence); }
int64_t stream_read(intptr_t h, void *buf, size_t len) { return vfs_stream_read((vfs_handle *)h, buf, len); }
int64_t stream_write(intptr_t h, const void *buf, size_t len) { return vfs_stream_write((vfs_handle *)h, buf, len); }
int stream_flush(intptr_t h) { return vfs_fsync((vfs_handle *)h); }
} // namespace

int vfs_stream_ops_init(vfs_mount_ctx *mnt, zkfile_drv_t *ops)
{
    if (!vfs_check(mnt, VFS_TYPE_MOUNT) || !ops)
        return -1;
    memset(ops, 0, sizeof(*ops));
    ops->open = stream_open;
    ops->close = stream_close;
    ops->seek = stream_seek;
    ops->read = stream_read;
    ops->write = stream_write;
    ops->flush = stream_flush;
    ops->context = mnt;
    return 0;
}

// ---- directories ----------------------------------------------------------------------------------

vfs_handle *vfs_opendir2(vfs_mount_ctx *mnt, const char *path, const char *pattern)
{
    // The pattern is kept to open the listing again when going back (drivers
    // without seekdir).
    const char *keep = pattern && vfs_is(mnt, VFS_TYPE_MOUNT) && dir_pos_by_count(mnt->drv) ? pattern : nullptr;
    return open_imp(
        mnt, path, VFS_TYPE_DIR, 0, &vfs_drv::opendir, "opendir", keep,
        [&](auto fn) { return fn(mnt->drv_mnt, path, pattern); }, __func__);
}

vfs_handle *vfs_opendir(vfs_mount_ctx *mnt, const char *path) { return vfs_opendir2(mnt, path, nullptr); }

int vfs_readdir2(vfs_handle *dh, os_dir_entry_t **entry)
{
    if (entry)
        *entry = nullptr;
    if (!vfs_check(dh, VFS_TYPE_DIR)) {
        errno = EBADF;
        return -1;
    }
    vfs_mount_ctx *mnt = dh->mnt;
    if (!entry) {
        vfs_arg_missing(mnt, "entry", __func__);
        errno = EINVAL;
        return -1;
    }
    if (!mnt->drv->readdir) {
        vfs_slot_missing(mnt, "readdir", __func__);
        errno = ENOSYS;
        return -1;
    }
    // The driver answers NULL for both the end and a failure; errno tells
    // them apart (a driver may record "ok" at the end).
    errno = 0;
    os_dir_entry_t *e = mnt->drv->readdir(dh->drv_h);
    int eno = errno;
    if (e) {
        *entry = e;
        dh->dir_pos++;
        return 1;
    }
    if (eno == 0) {
        err_clear();
        return 0;
    }
    // A record that still says "no error" was not written by this failure.
    if (t_err.rec.code == 0)
        vfs_set_error_errno(mnt, __FILE__, __LINE__, __func__, eno);
    errno = eno;
    return -1;
}

os_dir_entry_t *vfs_readdir(vfs_handle *dh)
{
    os_dir_entry_t *e = nullptr;
    if (vfs_readdir2(dh, &e) == 0)
        errno = 0;
    return e;
}

namespace {

// Seeking in that count: forward reads on; back opens the listing again
// (the old one stays when that fails) and reads up to the position. A
// listing that ends first stops there, the position is taken all the same.
int seekdir_by_count(vfs_handle *dh, int64_t pos)
{
    vfs_mount_ctx *mnt = dh->mnt;
    if (pos < 0) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "directory position %lld out of range", (long long)pos);
        return -1;
    }
    if (!mnt->drv->readdir) {
        vfs_slot_missing(mnt, "seekdir", __func__);
        return -1;
    }
    if (pos < dh->dir_pos) {
        void *again = mnt->drv->opendir(mnt->drv_mnt, dh->path, dh->pattern);
        if (!again)
            return -1;
        mnt->drv->closedir(dh->drv_h);
        dh->drv_h = again;
        dh->dir_pos = 0;
    }
    while (dh->dir_pos < pos) {
        os_dir_entry_t *e = nullptr;
        int r = vfs_readdir2(dh, &e);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
    }
    dh->dir_pos = pos;
    return 0;
}

} // namespace

int vfs_seekdir(vfs_handle *dh, int64_t pos)
{
    if (!vfs_check(dh, VFS_TYPE_DIR))
        return -1;
    if (dir_pos_by_count(dh->mnt->drv))
        return seekdir_by_count(dh, pos);
    return dh->mnt->drv->seekdir(dh->drv_h, pos);
}

int64_t vfs_telldir(vfs_handle *dh)
{
    if (!vfs_check(dh, VFS_TYPE_DIR))
        return -1;
    if (dir_pos_by_count(dh->mnt->drv))
        return dh->dir_pos;
    return dh->mnt->drv->telldir(dh->drv_h);
}

int vfs_closedir(vfs_handle *dh)
{
    if (!vfs_is(dh, VFS_TYPE_DIR))
        return close_bad_handle(__func__);
    vfs_handle_unregister(dh);
    return vfs_closedir_imp(dh);
}

// ---- errors --------------------------------------------------------------------------------------

int vfs_errcode(const void *h) { return vfs_handle_get_mount(h) ? t_err.rec.code : -1; }

int vfs_errno(const void *h)
{
    if (!vfs_handle_get_mount(h))
        return verr_2_posix(-1);
    // The driver's own errno is more precise than the status code's
    // (ERANGE, EACCES, EMLINK ... have no row of their own), so it is used
    // while the record it came with is still the current one.
    const vperror_t &r = t_err.rec;
    if (t_err.eno && t_err.eno_code == r.code && t_err.eno_line == r.line && t_err.eno_func == r.func)
        return t_err.eno;
    return verr_2_posix(r.code);
}

const char *vfs_errstr(const void *h) { return vfs_handle_get_mount(h) ? vperror_str(&t_err.rec) : "invalid handle error"; }

void vfs_get_error(const void *h, vperror_t *out)
{
    if (vfs_handle_get_mount(h) && out)
        vperror_copy(out, &t_err.rec);
}
