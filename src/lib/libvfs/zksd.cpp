// The "zksd" driver: mounts a directory of a remote zksd server for
// "zkp://" (plain) and "zkps://" (TLS) URLs. One mount is one volume: one
// client connection guarded by the volume mutex, the server-side root that
// every path is joined to, the counts of the files and directories open on
// it, the time of its last activity (read by the heartbeat) and the
// need-reopen flag.
//
// A broken connection is handled here only after the client's own recovery
// (servers from 1.5.4) gave up. With nothing open on the volume, the opens,
// the statfs and the path stat calls reconnect and repeat the failed call
// once; with anything open the volume needs a reopen, and from then on every
// operation but the closes fails until the heartbeat unmounts.
//
// Errors: the client writes every request's outcome into the volume's own
// record (under the volume mutex); each slot copies a failure from there
// into the calling thread's record before it lets the mutex go, so the FUSE
// thread and the heartbeat thread each read their own call's outcome.
// Metadata: what a listing or a stat reply said about an entry answers the
// following lookups and getattrs for about a second (meta_cache.h); every
// change made through the mount drops what it touches before it returns,
// and a reconnect drops everything.
//
// Log tag "vfs".
#include "libvfs/zksd_imp.h"

namespace zksd_drv {

uint64_t tag_of(const void *p)
{
    uint64_t w = 0;
    if (p)
        memcpy(&w, p, sizeof(w));
    return w;
}

bool is_conn_error(int code)
{
    switch (code) {
    case VERR_NET_PROTOCOL_ERROR: // -466
    case VERR_TIMEOUT:            // -40
    case VERR_NET_IO_ERROR:       // -400
    case VERR_NET_CONNECTION_RESET:
    case -453: // software caused connection abort
        return true;
    default:
        return false;
    }
}

void touch(zksd_vol *v) { v->last_activity.store(os_clock_ms(), std::memory_order_relaxed); }

// Caller holds the mutex. Copies a failure of the last client call into the
// calling thread's record (success leaves it as the entry point emptied it).
void pass_error(zksd_vol *v)
{
    if (v->err.code != 0)
        vperror_copy(vfs_err_rec(), &v->err);
}

// Caller holds the mutex. The volume needs a reopen from now on, for the
// failure in its record.
void set_need_reopen(zksd_vol *v)
{
    if (v->need_reopen.load())
        return;
    vperror_copy(&v->reopen_why, &v->err);
    v->need_reopen.store(1);
}

// Caller holds the mutex. Classifies the last client call's outcome: -1 not
// a connection failure (or success), -2 a connection failure with nothing
// open (the caller may reconnect), -1 with need-reopen set when something is
// open.
int zksd_check_set_error(zksd_vol *v)
{
    int code = v->err.code;
    if (!is_conn_error(code))
        return -1;
    uint32_t fc = v->fcount.load(), dc = v->dcount.load();
    if (fc == 0 && dc == 0)
        return -2;
    set_need_reopen(v);
    LOG_DBG(VFS_TAG, "fcount=%u dcount=%u error: need reopen!!\n", fc, dc);
    return -1;
}

// Caller holds the mutex. Replaces a broken client by a new connection when
// nothing is open. 0 when a new client stands, -1 otherwise (need-reopen set
// when the connect failed).
int zksd_check_and_connect(zksd_vol *v)
{
    if (v->cli && zksd_check_set_error(v) != -2)
        return -1;
    zksd_cli_exit(v->cli);
    v->cli = nullptr;
    // What the old connection said may be out of date by now.
    vfs_mcache_clear(v->mc);
    cli_ctx *c = zksd_cli_connect(v->url, &v->err);
    if (!c) {
        set_need_reopen(v);
        LOG_DBG(VFS_TAG, "zksd_cli_connect error:%s\n", vperror_str(&v->err));
        return -1;
    }
    v->cli = c;
    LOG_VERB(VFS_TAG, "zksd_cli_reconnect ok\n");
    // A fresh context has no recovery: ask for it again where the server has it.
    if (zksd_cli_ver_at_least(c, k_reconnect_ver) && zksd_cli_set_auto_reconnect(c) < 0)
        LOG_DBG(VFS_TAG, "set_auto_reconnect after reconnect failed: %s\n", vperror_str(&v->err));
    v->err.code = 0;
    v->err.msg[0] = '\0';
    return 0;
}

// Caller holds the mutex. Records why there is no client to call.
void no_client(zksd_vol *v)
{
    vperror_set(&v->err, __FILE__, __LINE__, __func__, VERR_NET_IO_ERROR, "not connected");
}

// Refusal while the volume needs a reopen: nothing is sent; the thread's
// record says EIO and what broke the volume.
bool refused(zksd_vol *v)
{
    if (v->need_reopen.load() == 0)
        return false;
    const vperror_t &why = v->reopen_why;
    VFS_SET_ERROR(VERR_DEV_IO_ERROR, "the connection needs a reopen after: %s (%d)", vperror_str(&why), why.code);
    return true;
}

// The server-side path of a mount path: root joined with path; for opens the
// root's part is normalised (a shadow-copy root comes with backslashes). The
// caller's name is appended byte for byte: a backslash in it is part of a
// name, never a separator that would reach into another directory. A path
// with a ".." component could climb above the root, so it is refused.
// false with the thread's record filled.
bool full_path(const zksd_vol *v, const char *path, char *out, bool normalise)
{
    if (!path) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "path missing");
        return false;
    }
    for (const char *p = path; *p;) {
        const char *e = p;
        while (*e && *e != '/' && *e != '\\')
            e++;
        if (e - p == 2 && p[0] == '.' && p[1] == '.') {
            VFS_SET_ERROR(VERR_ACCESS_DENIED, "path leaves the mount: %s", path);
            return false;
        }
        p = *e ? e + 1 : e;
    }
    if (str_safecopy(out, PL_MAX_PATH, v->root) != 0) {
        VFS_SET_ERROR(VERR_FILENAME_TOO_LONG, nullptr);
        return false;
    }
    if (normalise)
        path_normalize(out);
    path_append(out, path);
    if (!*out) {
        VFS_SET_ERROR(VERR_FILENAME_TOO_LONG, nullptr);
        return false;
    }
    return true;
}

void vol_free(zksd_vol *v)
{
    if (!v)
        return;
    assert(!v->xb); // every hold of the mutex before the client's exit read it
    os_free(v->url);
    os_free(v->root);
    vfs_mcache_free(v->mc);
    os_mutex_destroy(&v->mutex);
    v->tag = 0;
    v->~zksd_vol();
    os_free(v);
}

// ---- slots ----------------------------------------------------------------------------

int vfs_zksd_init(void)
{
    LOG_VERB(VFS_TAG, "==>\n");
    return zksd_cli_init();
}

int vfs_zksd_exit(void)
{
    zksd_cli_uninit();
    return 0;
}

int vfs_zksd_match(const char *url)
{
    return str_istart_with(url, "zkp://") || str_istart_with(url, "zkps://") ? 0 : 1;
}

// Drops the half-made volume and its client after a failed mount step; the
// client's failure (or the step's own) goes to err.
void *mount_fail(zksd_vol *v, vperror_t *err)
{
    if (v->err.code != 0)
        vperror_copy(err, &v->err);
    else
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_GENERAL_FAILURE, nullptr);
    if (v->cli)
        zksd_cli_exit(v->cli);
    vol_free(v);
    return nullptr;
}

// Volume shadow copy of a Windows server's drive: the root moves into it.
// 0 (root written to out) or -1 (the client recorded why).
int vss_root(zksd_vol *v, const char *path, char *out, size_t size)
{
    LOG_VERB(VFS_TAG, "root_dir=[%s]\n", path);
    if (path_is_root(path) || strlen(path) < 2) {
        str_safecopy(out, size, path);
        return 0;
    }
    char drive[8];
    snprintf(drive, sizeof(drive), "%c:\\", path[1]);
    char shadow[4096];
    shadow[0] = '\0';
    if (zksd_cli_vss_mount(v->cli, drive, shadow) < 0)
        return -1;
    snprintf(out, size, "%s%s", shadow, strlen(path) > 3 ? path + 3 : "");
    v->vss = 1;
    LOG_VERB(VFS_TAG, "vss_root_dir=[%s]\n", out);
    return 0;
}

void *vfs_zksd_mount(const char *url, void *arg, vperror_t *err, vfs_mount_ctx *mnt)
{
    char path[URL_FIELD_SIZE];
    if (url_get_path(url, path) != 0) {
        char shown[URL_TEXT_SIZE];
        LOG_ERR(VFS_TAG, "url_get_path url=%s failed\n", url_hide_pwd_fmt(url, shown));
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_INVALID_PARAMETER, nullptr);
        return nullptr;
    }
    void *mem = os_zalloc(sizeof(zksd_vol));
    if (!mem) {
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    zksd_vol *v = new (mem) zksd_vol{};
    os_mutex_init(&v->mutex);
    v->url = os_strdup(url);
    v->mc = vfs_mcache_new(VFS_MCACHE_WINDOW_MS, VFS_MCACHE_CAP);
    v->xb_window = ZKSD_BATCH_IN_FLIGHT;
    if (!v->url || !v->mc) {
        vperror_set(&v->err, __FILE__, __LINE__, __func__, VERR_NO_MEMORY, nullptr);
        return mount_fail(v, err);
    }
    // The client keeps &v->err as its record for as long as it lives.
    v->cli = zksd_cli_connect2(url, (net_abort_hook *)arg, &v->err);
    if (!v->cli)
        return mount_fail(v, err);

    char info[ZKSD_INFO_SIZE];
    if (zksd_cli_get_info(v->cli, info, sizeof(info)) != 0)
        return mount_fail(v, err);
    char ver[64] = "";
    str_kv_get_line_bracket(info, "ver", ver, sizeof(ver));
    if (str_version_cmp(ver, k_min_ver) < 0) {
        LOG_VERB(VFS_TAG, "ver=%s\n", ver);
        vperror_set(&v->err, __FILE__, __LINE__, __func__, VERR_GENERAL_FAILURE, "%s", ZKSD_UPGRADE_MSG);
        return mount_fail(v, err);
    }
    if (str_version_cmp(ver, k_reconnect_ver) >= 0) {
        LOG_VERB(VFS_TAG, "set_auto_reconnect\n");
        if (zksd_cli_set_auto_reconnect(v->cli) < 0)
            return mount_fail(v, err);
    }
    char ro[64] = "0";
    if (str_kv_get_line_bracket(info, "readonly", ro, sizeof(ro)) != 0)
        str_safecopy(ro, sizeof(ro), "0");
    v->readonly = strcmp(ro, "1") == 0 ? 1 : 0;

    char root[PL_MAX_PATH];
    str_safecopy(root, sizeof(root), path);
    char plat[64] = "";
    str_kv_get_line_bracket(info, "plat", plat, sizeof(plat));
    char flags[4096];
    url_get_query_buf(url, "flags", "", flags, sizeof(flags));
    if (strcmp(plat, "windows") == 0 && *flags && (os_sflag2pf(flags) & k_flag_vss)) {
        if (vss_root(v, path, root, sizeof(root)) != 0)
            return mount_fail(v, err);
    }
    zksd_cli_clear_abort_hook(v->cli);

    path_normalize(root);
    v->root = os_strdup(root);
    if (!v->root) {
        vperror_set(&v->err, __FILE__, __LINE__, __func__, VERR_NO_MEMORY, nullptr);
        if (v->vss)
            zksd_cli_vss_umount(v->cli);
        return mount_fail(v, err);
    }
    v->tag = k_tag_vol;
    v->mnt = mnt;
    touch(v);
    char shown[URL_TEXT_SIZE];
    LOG_VERB(VFS_TAG, "url=[%s] rdir=[%s]\n", url_hide_pwd_fmt(url, shown), v->root);
    return v;
}

int vfs_zksd_umount(void *m)
{
    zksd_vol *v = (zksd_vol *)m;
    if (tag_of(v) != k_tag_vol)
        return -1;
    int r = 0;
    {
        vol_lock g(v);
        if (v->vss && v->cli)
            zksd_cli_vss_umount(v->cli);
        v->vss = 0;
        r = v->cli ? zksd_cli_exit(v->cli) : 0;
        v->cli = nullptr;
    }
    vol_free(v);
    return r;
}

int vfs_zksd_statfs(void *m, os_volume_info_t *vi)
{
    zksd_vol *v = (zksd_vol *)m;
    if (refused(v))
        return -1;
    vol_lock g(v);
    int r = -1;
    if (v->cli)
        r = zksd_cli_statfs(v->cli, v->root, vi);
    else
        no_client(v);
    // A root that is gone stays gone on a new connection.
    if (r != 0 && (!v->cli || v->err.code != k_not_found) && zksd_check_and_connect(v) == 0)
        r = zksd_cli_statfs(v->cli, v->root, vi);
    r = r == 0 ? 0 : -1;
    pass_error(v);
    zksd_check_set_error(v);
    touch(v);
    return r;
}

int vfs_zksd_get_readonly(void *m, uint32_t *ro)
{
    *ro = ((zksd_vol *)m)->readonly;
    return 0;
}

constexpr vfs_drv k_drv = {
    .id = VFS_DRV_ZKSD,
    .name = "zksd",
    .init = vfs_zksd_init,
    .exit = vfs_zksd_exit,
    .match = vfs_zksd_match,
    .mount = vfs_zksd_mount,
    .umount = vfs_zksd_umount,
    .statfs = vfs_zksd_statfs,
    .get_readonly = vfs_zksd_get_readonly,
    .open = vfs_zksd_open,
    .wopen = vfs_zksd_wopen,
    .open2 = vfs_zksd_open2,
    .close = vfs_zksd_close,
    .read = vfs_zksd_read,
    .write = vfs_zksd_write,
    .fsync = vfs_zksd_fsync,
    .lseek = vfs_zksd_lseek,
    .fstat = vfs_zksd_fstat,
    .ftruncate = vfs_zksd_ftruncate,
    .futime = vfs_zksd_futime,
    .flock = vfs_zksd_flock,
    .opendir = vfs_zksd_opendir,
    .readdir = vfs_zksd_readdir,
    .seekdir = vfs_zksd_seekdir,
    .telldir = vfs_zksd_telldir,
    .closedir = vfs_zksd_closedir,
    .ioctl = vfs_zksd_ioctl,
    .flush = vfs_zksd_flush,
};

} // namespace zksd_drv

const vfs_drv *vfs_zksd_drv_get(void) { return &zksd_drv::k_drv; }
