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
#include <sys/xattr.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libpal/vfile/os_file2.h"
#include "libpal/vfile/os_file_flag.h"
#include "liblog/log2.h"
#include "libvfs/meta_cache.h"
#include "libvfs/vfs_imp.h"
#include "libzksd/zksd_cli.h"

namespace {

// Tags: the first 64-bit word of a volume and of a file handle.
constexpr uint64_t k_tag_vol = 'V';
constexpr uint64_t k_tag_file = 'F';
constexpr uint64_t k_tag_dir = 'D';

constexpr const char *k_min_ver = "1.5.2";
constexpr const char *k_reconnect_ver = "1.5.4";
constexpr uint32_t k_flag_vss = 0x10000;
// Status of a server that reports a missing path.
constexpr int k_not_found = VERR_FILE_NOT_FOUND;

// Largest attribute value or list the kernel asks for.
constexpr size_t k_xattr_max = XATTR_SIZE_MAX;

struct zksd_vol {
    uint64_t tag; // k_tag_vol
    char *url;    // owned copy of the mount URL (to reconnect)
    char *root;   // owned, the server-side directory paths are joined to
    cli_ctx *cli; // NULL after a failed reconnect
    // The client's last-error record: written by every client call, read
    // only under the mutex.
    vperror_t err;
    uint32_t readonly;
    vfs_mount_ctx *mnt;
    pl_mutex_t mutex; // around every client call and reconnect
    std::atomic<uint32_t> fcount;
    std::atomic<uint32_t> dcount;
    std::atomic<uint64_t> last_activity; // os_clock_ms
    std::atomic<uint8_t> need_reopen;
    // What made the volume need a reopen (written once, before the flag).
    vperror_t reopen_why;
    uint8_t vss; // the root lies in a shadow copy dropped at unmount
    vfs_mcache *mc; // metadata of the window (owned)
    // The server's answer for an attribute a file does not have, learned
    // from its first such answer; code 0 until then. FUSE thread only.
    int xattr_absent_code;
    char xattr_absent_msg[256];
    // Attribute lists asked for together whose replies are still being
    // read (owned; under the mutex; NULL when none): every other use of
    // the client stops it and reads the replies on their way first.
    struct xattr_batch *xb;
    // Requests such a batch keeps unanswered at most: learned from how old
    // its answers are when the kernel comes to them. Under the mutex.
    int xb_window;
};

struct zksd_fh {
    uint64_t tag; // k_tag_file
    cli_file_ctx *f;
    zksd_vol *v;
    char *path;  // mount path as opened (owned)
    bool writer; // opened for writing: its path is kept out of the cache
};

// One line of a listing the window answers.
struct dir_line {
    std::string name;
    os_file_stat_t st;
    std::string link;
};

struct zksd_dh {
    uint64_t tag; // k_tag_dir
    cli_dir_ctx *d; // NULL for a listing the window answers
    zksd_vol *v;
    char *path;       // mount path as opened (owned)
    uint64_t started; // cache clock when the listing began
    bool whole;       // no pattern and no seek: its end lists every name
    bool patterned;   // opened with a pattern: never whole
    // A listing the window answers (d NULL): its lines (owned), the next
    // one's index and the entry handed out (owned).
    std::vector<dir_line> *lines;
    size_t pos;
    os_dir_entry_t *ent;
};

void batch_settle(zksd_vol *v);

// RAII hold of the volume mutex. A hold that may use the client first ends
// a pending attribute batch (keep_batch leaves it: the hold reads the batch
// itself or does not use the client).
struct vol_lock {
    explicit vol_lock(zksd_vol *v, bool keep_batch = false) : v_(v)
    {
        mutex_lock(&v_->mutex);
        if (!keep_batch)
            batch_settle(v_);
    }
    ~vol_lock() { mutex_unlock(&v_->mutex); }
    vol_lock(const vol_lock &) = delete;
    vol_lock &operator=(const vol_lock &) = delete;

  private:
    zksd_vol *v_;
};

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

// Runs call(cli) under the mutex; when it fails (or there is no client) and
// the failure is a broken connection with nothing open, reconnects and runs
// it once more. The failure is copied to the thread's record, then the
// activity time is stamped. call returns true for success.
template <class F>
void with_retry(zksd_vol *v, F call)
{
    vol_lock g(v);
    bool ok = false;
    if (v->cli)
        ok = call(v->cli);
    else
        no_client(v);
    if (!ok && (!v->cli || is_conn_error(v->err.code)) && zksd_check_and_connect(v) == 0)
        call(v->cli);
    pass_error(v);
    zksd_check_set_error(v);
    touch(v);
}

// The call pattern without retry.
template <class F>
auto plain(zksd_vol *v, F call) -> decltype(call(v->cli))
{
    vol_lock g(v);
    decltype(call(v->cli)) r{};
    if (v->cli) {
        r = call(v->cli);
    } else {
        no_client(v);
        r = (decltype(r))-1;
    }
    pass_error(v);
    zksd_check_set_error(v);
    touch(v);
    return r;
}

// The call pattern on a file or directory handle's client objects: the
// client belongs to the volume, so the mutex is still the volume's.
template <class F>
auto on_handle(zksd_vol *v, F call) -> decltype(call())
{
    vol_lock g(v);
    auto r = call();
    pass_error(v);
    zksd_check_set_error(v);
    touch(v);
    return r;
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

zksd_file_times_t to_cli_times(const os_file_times_t *t)
{
    zksd_file_times_t z{};
    z.time_access = (uint64_t)t->atime.sec;
    z.time_access_ns = t->atime.nsec;
    z.time_write = (uint64_t)t->mtime.sec;
    z.time_write_ns = t->mtime.nsec;
    z.time_create = (uint64_t)t->ctime.sec;
    z.time_create_ns = t->ctime.nsec;
    return z;
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

// Before an open: a writer's path leaves the cache and stays out of it
// until the handle closes; a create or truncate changes the directory. A
// reader changes nothing: what is known of its path stays (a failed open
// drops it, in open_finish).
void open_begin(zksd_vol *v, const char *path, bool writer, bool makes)
{
    if (writer)
        vfs_mcache_writer(v->mc, path, 1);
    if (makes)
        vfs_mcache_parent_changed(v->mc, path);
}

// A new file or directory handle H (tagged tag) for the client object obj
// the server just opened: obj in field, the volume, an owned copy of the
// mount path, counted in count (the volume's fcount or dcount); the caller
// fills the rest. Out of memory: obj is closed on the server again with
// close, the thread's record says so and the result is NULL. The handle's
// close frees it and its path.
template <class H, class O>
H *new_handle(zksd_vol *v, uint64_t tag, O *H::*field, O *obj, int (*close)(O *), const char *path,
              std::atomic<uint32_t> &count)
{
    H *h = (H *)os_zalloc(sizeof(H));
    char *p = h ? os_strdup(path) : nullptr;
    if (!p) {
        os_free(h);
        plain(v, [&](cli_ctx *) { return close(obj); });
        VFS_SET_ERROR(VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    h->tag = tag;
    h->*field = obj;
    h->v = v;
    h->path = p;
    count++;
    return h;
}

// The end of every open: the handle is kept and counted, or the path's
// cache marks of open_begin are undone.
void *open_finish(zksd_vol *v, cli_file_ctx *f, const char *path, bool writer)
{
    zksd_fh *h = f ? new_handle(v, k_tag_file, &zksd_fh::f, f, zksd_cli_close, path, v->fcount) : nullptr;
    if (!h) {
        if (writer)
            vfs_mcache_writer(v->mc, path, -1);
        vfs_mcache_forget(v->mc, path);
        return nullptr;
    }
    h->writer = writer;
    return h;
}

// Whether file-object flags open for writing (or make or cut the file).
bool pf_writes(uint32_t pf) { return (pf & (OS_FILE_WRITE | OS_FILE_RDWR | OS_FILE_CREATE | OS_FILE_TRUNC | OS_FILE_APPEND)) != 0; }

void *vfs_zksd_open(void *m, const char *path, uint32_t pf)
{
    zksd_vol *v = (zksd_vol *)m;
    char full[PL_MAX_PATH];
    if (refused(v) || !full_path(v, path, full, true))
        return nullptr;
    bool w = pf_writes(pf);
    open_begin(v, path, w, (pf & (OS_FILE_CREATE | OS_FILE_TRUNC)) != 0);
    cli_file_ctx *f = nullptr;
    with_retry(v, [&](cli_ctx *c) { return (f = zksd_cli_open(c, full, pf)) != nullptr; });
    return open_finish(v, f, path, w);
}

void *vfs_zksd_wopen(void *m, const char *path, uint32_t access, uint32_t share, void *security,
                     uint32_t disposition, uint32_t attributes, void *templ)
{
    zksd_vol *v = (zksd_vol *)m;
    char full[PL_MAX_PATH];
    if (refused(v) || !full_path(v, path, full, true))
        return nullptr;
    // Windows-style access and disposition: taken as writing and making.
    open_begin(v, path, true, true);
    cli_file_ctx *f = nullptr;
    with_retry(v, [&](cli_ctx *c) {
        return (f = zksd_cli_wopen(c, full, (int32_t)access, (int32_t)share, security, (int32_t)disposition,
                                   (int32_t)attributes, (int64_t)(intptr_t)templ)) != nullptr;
    });
    return open_finish(v, f, path, true);
}

// Every FUSE open comes here: it reconnects as open does, so an idle mount
// whose connection dropped serves again.
void *vfs_zksd_open2(void *m, const char *path, int flags, uint32_t mode)
{
    zksd_vol *v = (zksd_vol *)m;
    char full[PL_MAX_PATH];
    if (refused(v) || !full_path(v, path, full, true))
        return nullptr;
    bool makes = (flags & (PL_O_CREAT | PL_O_TRUNC)) != 0;
    bool w = makes || (flags & (PL_O_ACCMODE | PL_O_APPEND)) != 0;
    // A create of a name that is not there makes a new, empty file (the
    // kernel creates only names its lookup found missing).
    bool fresh = false;
    if (flags & PL_O_CREAT) {
        os_file_stat_t st{};
        vperror_t err{};
        fresh = (flags & PL_O_EXCL) || vfs_mcache_get_stat(v->mc, path, false, &st, &err) == VFS_MC_ABSENT;
    }
    open_begin(v, path, w, makes);
    cli_file_ctx *f = nullptr;
    with_retry(v, [&](cli_ctx *c) { return (f = zksd_cli_open2(c, full, flags, (int32_t)mode)) != nullptr; });
    void *h = open_finish(v, f, path, w);
    if (h && fresh)
        vfs_mcache_made(v->mc, path, OS_FTYPE_FILE);
    return h;
}

int vfs_zksd_close(void *fh)
{
    zksd_fh *h = (zksd_fh *)fh;
    zksd_vol *v = h->v;
    int r = on_handle(v, [&] { return zksd_cli_close(h->f); });
    v->fcount--;
    if (h->writer) {
        vfs_mcache_writer(v->mc, h->path, -1);
        vfs_mcache_forget_stat(v->mc, h->path);
        vfs_mcache_parent_changed(v->mc, h->path);
    }
    os_free(h->path);
    h->tag = 0;
    os_free(h);
    return r;
}

// A reader's blocks are asked for ahead, a writer's sent without waiting
// for their replies (zksd_cli.h): a writer's reads go one at a time, as what
// is read ahead of a file being written may be older than its writes.
int64_t vfs_zksd_read(void *fh, void *buf, uint64_t len, int64_t off)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] {
        return h->writer ? zksd_cli_read(h->f, buf, (int64_t)len, off)
                         : zksd_cli_read_ahead(h->f, buf, (int64_t)len, off);
    });
}

int64_t vfs_zksd_write(void *fh, const void *buf, uint64_t len, int64_t off)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    int64_t r = on_handle(h->v, [&] { return zksd_cli_write_behind(h->f, buf, (int64_t)len, off); });
    vfs_mcache_wrote(h->v->mc, h->path);
    return r;
}

// close(2) of a descriptor: the replies of the file's writes in flight are
// read, and a failure among them is reported here. Like the close it is not
// refused when the volume needs a reopen: a file with nothing in flight has
// nothing to report, one with writes in flight reports them lost.
int vfs_zksd_flush(void *fh)
{
    zksd_fh *h = (zksd_fh *)fh;
    return on_handle(h->v, [&] { return zksd_cli_flush(h->f); });
}

int vfs_zksd_fsync(void *fh)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] { return zksd_cli_fsync(h->f); });
}

int64_t vfs_zksd_lseek(void *fh, int64_t off, int whence)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] { return zksd_cli_lseek(h->f, off, whence); });
}

// An fstat is the stat of the handle's path, so what the window knows of
// the path answers it (for a writer's path, only a stat reply that came
// after its last write).
int vfs_zksd_fstat(void *fh, os_file_stat_t *st)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    vperror_t err{};
    int r = 0;
    if (vfs_mcache_get_stat(h->v->mc, h->path, true, st, &err) != VFS_MC_HIT)
        r = on_handle(h->v, [&] { return zksd_cli_fstat(h->f, st); });
    // A reader's blocks are asked for ahead up to the size it was told.
    if (r == 0 && !h->writer)
        on_handle(h->v, [&] { zksd_cli_read_ahead_limit(h->f, (int64_t)st->size); return 0; });
    return r;
}

int vfs_zksd_ftruncate(void *fh, int64_t size)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    int r = on_handle(h->v, [&] { return zksd_cli_ftruncate(h->f, size); });
    vfs_mcache_forget_stat(h->v->mc, h->path);
    return r;
}

int vfs_zksd_futime(void *fh, const os_file_times_t *times)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    zksd_file_times_t t = to_cli_times(times);
    int r = on_handle(h->v, [&] { return zksd_cli_futime(h->f, &t); });
    vfs_mcache_forget_stat(h->v->mc, h->path);
    return r;
}

int vfs_zksd_flock(void *fh, int32_t type, uint64_t off, uint64_t len)
{
    zksd_fh *h = (zksd_fh *)fh;
    if (refused(h->v))
        return -1;
    return on_handle(h->v, [&] { return zksd_cli_flock(h->f, (uint32_t)type, off, len); });
}

// A directory whose whole listing is within the window is listed from the
// cache: tools read the directories whose names they have just looked up
// (git status reads every directory of its work tree after the stats). The
// handle holds nothing on the server and is not counted. NULL when the
// window cannot answer (or out of memory): the server lists it.
zksd_dh *cached_dir(zksd_vol *v, const char *path)
{
    auto *lines = new (std::nothrow) std::vector<dir_line>;
    if (!lines)
        return nullptr;
    bool ok = vfs_mcache_listing(
        v->mc, path,
        [](void *arg, const char *name, const os_file_stat_t *st, const char *link) {
            ((std::vector<dir_line> *)arg)->push_back({name, *st, link});
        },
        lines);
    zksd_dh *h = ok ? (zksd_dh *)os_zalloc(sizeof(zksd_dh)) : nullptr;
    os_dir_entry_t *ent = h ? (os_dir_entry_t *)os_zalloc(sizeof(os_dir_entry_t)) : nullptr;
    char *p = ent ? os_strdup(path) : nullptr;
    if (!p) {
        os_free(ent);
        os_free(h);
        delete lines;
        return nullptr;
    }
    h->tag = k_tag_dir;
    h->v = v;
    h->path = p;
    h->lines = lines;
    h->ent = ent;
    return h;
}

void *vfs_zksd_opendir(void *m, const char *path, const char *pattern)
{
    zksd_vol *v = (zksd_vol *)m;
    char full[PL_MAX_PATH];
    if (refused(v) || !full_path(v, path, full, false))
        return nullptr;
    if (!pattern || !*pattern) {
        if (zksd_dh *h = cached_dir(v, path))
            return h;
    }
    uint64_t started = vfs_mcache_now(v->mc);
    cli_dir_ctx *d = nullptr;
    with_retry(v, [&](cli_ctx *c) { return (d = zksd_cli_opendir2(c, full, pattern)) != nullptr; });
    if (!d) {
        vfs_mcache_forget(v->mc, path);
        return nullptr;
    }
    zksd_dh *h = new_handle(v, k_tag_dir, &zksd_dh::d, d, zksd_cli_closedir, path, v->dcount);
    if (!h)
        return nullptr;
    h->started = started;
    h->patterned = pattern && *pattern;
    h->whole = !h->patterned;
    return h;
}

os_dir_entry_t *vfs_zksd_readdir(void *dh)
{
    zksd_dh *h = (zksd_dh *)dh;
    if (refused(h->v)) {
        // NULL alone would read as the end of the listing.
        errno = EIO;
        return nullptr;
    }
    if (h->lines) {
        if (h->pos >= h->lines->size()) {
            errno = 0;
            return nullptr;
        }
        const dir_line &l = (*h->lines)[h->pos++];
        h->ent->st = l.st;
        h->ent->xattr = nullptr;
        str_safecopy_trunc(h->ent->name, sizeof(h->ent->name), l.name.c_str());
        str_safecopy_trunc(h->ent->link, sizeof(h->ent->link), l.link.c_str());
        return h->ent;
    }
    int code = 0;
    os_dir_entry_t *e = on_handle(h->v, [&] {
        os_dir_entry_t *r = zksd_cli_readdir(h->d);
        code = h->v->err.code;
        return r;
    });
    if (!e) {
        int eno = code == 0 ? 0 : verr_2_posix(code);
        errno = code != 0 && eno <= 0 ? EIO : eno;
        if (code == 0 && h->whole)
            vfs_mcache_set_listed(h->v->mc, h->path, h->started);
        h->whole = false;
        return nullptr;
    }
    // Each line carries the entry's whole stat record.
    vfs_mcache_put_listed2(h->v->mc, h->path, e->name, &e->st, e->link);
    return e;
}

int vfs_zksd_seekdir(void *dh, int64_t pos)
{
    zksd_dh *h = (zksd_dh *)dh;
    if (pos < 0) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "position %lld", (long long)pos);
        return -1;
    }
    if (h->lines) {
        h->pos = (uint64_t)pos < h->lines->size() ? (size_t)pos : h->lines->size();
        return 0;
    }
    // From the start again, the listing is whole once more; from elsewhere
    // it can never be.
    h->whole = false;
    if (pos == 0) {
        h->started = vfs_mcache_now(h->v->mc);
        h->whole = !h->patterned;
    }
    return on_handle(h->v, [&] { return zksd_cli_seekdir(h->d, (uint64_t)pos); });
}

int64_t vfs_zksd_telldir(void *dh)
{
    zksd_dh *h = (zksd_dh *)dh;
    if (h->lines)
        return (int64_t)h->pos;
    return on_handle(h->v, [&] { return (int64_t)zksd_cli_telldir(h->d); });
}

int vfs_zksd_closedir(void *dh)
{
    zksd_dh *h = (zksd_dh *)dh;
    zksd_vol *v = h->v;
    int r = 0;
    if (h->lines) {
        delete h->lines;
        os_free(h->ent);
    } else {
        r = on_handle(v, [&] { return zksd_cli_closedir(h->d); });
        v->dcount--;
    }
    os_free(h->path);
    h->tag = 0;
    os_free(h);
    return r;
}

// ---- path and handle codes ----------------------------------------------------------------

// The volume of a volume or file handle; NULL (logged, -1 for the caller)
// for anything else.
zksd_vol *get_vol_ctx(void *hd)
{
    uint64_t t = tag_of(hd);
    if (t == k_tag_vol)
        return (zksd_vol *)hd;
    if (t == k_tag_file)
        return ((zksd_fh *)hd)->v;
    LOG_ERR(VFS_TAG, "handle=%p invalid\n", hd);
    return nullptr;
}

int64_t unsupported(int code)
{
    LOG_ERR(VFS_TAG, "unspport cmd=%d\n", code);
    VFS_SET_ERROR(VERR_NOT_SUPPORTED, "unspport cmd=%d", code);
    return -1;
}

// An attribute answer (value, list or failure) given out by the caller's
// buffer rules: size 0 asks only for the length; a value longer than size
// is refused with ERANGE.
int64_t xattr_give(zksd_vol *v, const vfs_mcache_xattr &a, void *out, uint64_t size)
{
    if (a.code != 0) {
        if (a.len)
            VFS_SET_ERROR(a.code, "%.*s", (int)a.len, a.data);
        else
            VFS_SET_ERROR(a.code, nullptr);
        return -1;
    }
    if (size > 0) {
        if (a.len > size) {
            vfs_set_error_errno(v->mnt, __FILE__, __LINE__, __func__, ERANGE);
            return -1;
        }
        if (out && a.len)
            memcpy(out, a.data, a.len);
    }
    return a.len;
}

// The FUSE thread's buffer for one attribute answer (the client cuts
// answers to its buffer, so it holds the largest the kernel may ask for).
// NULL when out of memory.
char *xattr_scratch()
{
    static thread_local std::vector<char> buf;
    if (buf.empty()) {
        try {
            buf.resize(k_xattr_max + 2);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return buf.data();
}

// Asks the server for the attribute `name` of path (NULL: the list of its
// names), reading the answer whole into the thread's scratch buffer. Any
// answer but a broken connection is kept in the cache; the first "no data"
// answer is learned as what the server says for an attribute a file lacks.
// false when out of memory or the connection broke (the thread's record
// says why); otherwise *a holds the answer, valid until the next cache call
// and the next fetch.
bool xattr_fetch(zksd_vol *v, const char *path, const char *full, const char *name, vfs_mcache_xattr *a)
{
    char *scratch = xattr_scratch();
    if (!scratch) {
        VFS_SET_ERROR(VERR_NO_MEMORY, nullptr);
        return false;
    }
    int64_t n = plain(v, [&](cli_ctx *c) {
        return (int64_t)(name ? zksd_cli_getxattr(c, full, name, scratch, k_xattr_max + 2)
                              : zksd_cli_listxattr(c, full, scratch, k_xattr_max + 2));
    });
    if (n >= 0) {
        *a = {0, (uint32_t)n, scratch};
        vfs_mcache_put_xattr(v->mc, path, name, 0, scratch, (uint32_t)n);
        return true;
    }
    const vperror_t *rec = vfs_err_rec();
    if (rec->code == 0 || is_conn_error(rec->code)) {
        vfs_mcache_forget(v->mc, path);
        return false;
    }
    size_t ml = strnlen(rec->msg, sizeof(rec->msg));
    vfs_mcache_put_xattr(v->mc, path, name, rec->code, rec->msg, (uint32_t)ml);
    if (name && v->xattr_absent_code == 0 && verr_2_posix(rec->code) == ENODATA) {
        v->xattr_absent_code = rec->code;
        str_safecopy_trunc(v->xattr_absent_msg, sizeof(v->xattr_absent_msg), rec->msg);
    }
    memcpy(scratch, rec->msg, ml);
    *a = {rec->code, (uint32_t)ml, scratch};
    return true;
}

// At most this many attribute lists are asked for in one batch.
constexpr size_t k_xattr_batch_max = 4096;

// A batch of attribute lists whose replies are read as the kernel asks for
// them: the server answers while the FUSE thread serves what needs no
// request. Each answer is dated when its request went out (at the latest),
// so a long batch keeps its answers for the window after each was asked.
struct xattr_batch {
    zksd_batch *b = nullptr;
    std::vector<std::string> names;                // mount paths, in batch order
    std::unordered_map<std::string, size_t> index; // name -> its place
    std::vector<uint64_t> at;                      // cache clock before each request went out
    size_t stamped = 0;                            // requests dated so far
    size_t given = 0;                              // answers read so far
    zksd_vol *v = nullptr;
};

// Dates the requests the client sent since the last call: they went out
// after t.
void batch_stamp(xattr_batch *x, uint64_t t)
{
    size_t n = zksd_cli_batch_sent(x->b);
    for (; x->stamped < n && x->stamped < x->at.size(); x->stamped++)
        x->at[x->stamped] = t;
}

// The window of a batch follows how old its answers are when they are
// read (the kernel reads them as it comes to their names): an answer must
// still be fresh when the kernel uses it, however slowly the kernel goes,
// and the window stays as large as that allows, so that many requests
// travel at once over a slow link.
void batch_pace(zksd_vol *v, xattr_batch *x)
{
    if (x->given == 0 || x->given > x->at.size())
        return;
    uint64_t now = vfs_mcache_now(v->mc), at = x->at[x->given - 1];
    uint64_t age = now > at ? now - at : 0;
    int w = v->xb_window;
    if (age > VFS_MCACHE_WINDOW_MS * 2 / 5)
        w = w / 2 > 4 ? w / 2 : 4;
    else if (age < VFS_MCACHE_WINDOW_MS / 5 && w < ZKSD_BATCH_IN_FLIGHT)
        w += w / 8 > 1 ? w / 8 : 1;
    if (w != v->xb_window) {
        v->xb_window = w;
        zksd_cli_batch_window(x->b, w);
    }
}

void batch_put(void *arg, int i, int status, const char *data, uint32_t len)
{
    auto *x = (xattr_batch *)arg;
    x->given = (size_t)i + 1;
    if (status == VERR_INVALID_PARAMETER || is_conn_error(status))
        return; // its own request will say why
    vfs_mcache_put_xattr_at(x->v->mc, x->names[(size_t)i].c_str(), nullptr, status, data, len, x->at[(size_t)i]);
}

// Caller holds the mutex. Reads the pending batch's answers into the cache
// up to the one at place upto (SIZE_MAX: all of them, and the batch ends).
// A batch that broke drops everything cached (the client started afresh).
void batch_advance(zksd_vol *v, size_t upto)
{
    while (xattr_batch *x = v->xb) {
        if (upto != SIZE_MAX && x->given > upto)
            return;
        uint64_t t = vfs_mcache_now(v->mc);
        int r = zksd_cli_batch_next(x->b, batch_put, x);
        if (r > 0) {
            batch_stamp(x, t);
            batch_pace(v, x);
            continue;
        }
        if (r < 0)
            vfs_mcache_clear(v->mc);
        zksd_cli_batch_free(x->b);
        delete x;
        v->xb = nullptr;
        touch(v);
    }
}

// Caller holds the mutex and is about to use the client: the pending batch
// sends no more requests and the replies on their way are read (the names
// never asked for may be asked for again).
void batch_settle(zksd_vol *v)
{
    xattr_batch *x = v->xb;
    if (!x)
        return;
    for (size_t i = zksd_cli_batch_stop(x->b); i < x->names.size(); i++)
        vfs_mcache_xattr_unasked(v->mc, x->names[i].c_str());
    batch_advance(v, SIZE_MAX);
}

// Caller holds the mutex. Reads the pending batch up to path's answer, if
// path is in it.
void batch_until(zksd_vol *v, const char *path)
{
    if (!v->xb)
        return;
    auto it = v->xb->index.find(path);
    if (it != v->xb->index.end())
        batch_advance(v, it->second);
}

// `ls -l` asks the attribute list of every entry of the directory it is
// listing, one request after another, in the listing's order, while it
// reads the listing. When the list of path is not known and path came with
// a listing, the lists of path and of the listed entries after it are asked
// for together (each name once per listing): the requests go out back to
// back, and their replies are read as the kernel asks, so the server works
// while the kernel's other questions are answered from the cache. A broken
// batch drops everything cached (the client has started afresh on a new
// connection, or closed it), and the caller's own request then meets the
// connection as it always would.
void xattr_prefetch(zksd_vol *v, const char *path)
{
    std::vector<std::string> names;
    vfs_mcache_xattr_wanted(
        v->mc, path, k_xattr_batch_max,
        [](void *arg, const char *p) { ((std::vector<std::string> *)arg)->emplace_back(p); }, &names);
    if (names.size() < 2)
        return; // one alone is the caller's own request
    auto *x = new (std::nothrow) xattr_batch;
    if (!x)
        return;
    std::vector<std::string> fulls; // server paths
    try {
        fulls.reserve(names.size());
        x->names.reserve(names.size());
        char full[PL_MAX_PATH];
        vperror_t saved;
        vperror_copy(&saved, vfs_err_rec());
        for (std::string &n : names) {
            if (!full_path(v, n.c_str(), full, false))
                continue; // its own request will say why
            fulls.emplace_back(full);
            x->index.emplace(n, x->names.size());
            x->names.push_back(std::move(n));
        }
        vperror_copy(vfs_err_rec(), &saved);
        x->at.resize(x->names.size());
    } catch (const std::bad_alloc &) {
        delete x;
        return;
    }
    std::vector<const char *> ptrs;
    ptrs.reserve(fulls.size());
    for (const std::string &f : fulls)
        ptrs.push_back(f.c_str());
    x->v = v;
    vol_lock g(v); // an earlier batch is read to its end first
    uint64_t t = vfs_mcache_now(v->mc);
    if (ptrs.size() < 2 || !v->cli ||
        !(x->b = zksd_cli_batch_listxattr(v->cli, ptrs.data(), (int)ptrs.size(), (int)(k_xattr_max + 1),
                                          v->xb_window))) {
        delete x;
        return;
    }
    batch_stamp(x, t);
    v->xb = x;
    batch_until(v, path);
    touch(v);
}

// Whether the NUL-separated list holds name.
bool list_has(const vfs_mcache_xattr &l, const char *name)
{
    size_t nl = strlen(name);
    for (uint32_t i = 0; i < l.len;) {
        const char *p = l.data + i;
        size_t k = strnlen(p, l.len - i);
        if (k == nl && memcmp(p, name, nl) == 0)
            return true;
        i += (uint32_t)k + 1;
    }
    return false;
}

// The list of path's attribute names: from the cache, from a batch for its
// directory, or by its own request. false as xattr_fetch.
bool xattr_list(zksd_vol *v, const char *path, const char *full, vfs_mcache_xattr *l)
{
    if (vfs_mcache_get_xattr(v->mc, path, nullptr, l) == VFS_MC_HIT)
        return true;
    if (v->xb) {
        vol_lock g(v, true);
        batch_until(v, path);
    }
    if (vfs_mcache_get_xattr(v->mc, path, nullptr, l) == VFS_MC_HIT)
        return true;
    xattr_prefetch(v, path);
    if (vfs_mcache_get_xattr(v->mc, path, nullptr, l) == VFS_MC_HIT)
        return true;
    return xattr_fetch(v, path, full, nullptr, l);
}

// getxattr through the cache. A file's list of names answers for every name
// it lacks with the server's own "no data" answer (once that is known), so
// the kernel's questions of `ls -l` cost one request per file at most.
int64_t getxattr_cached(zksd_vol *v, const char *path, const char *full, const char *name, void *out, uint64_t size)
{
    vfs_mcache_xattr a{};
    if (!name) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "name missing");
        return -1;
    }
    if (vfs_mcache_get_xattr(v->mc, path, name, &a) == VFS_MC_HIT)
        return xattr_give(v, a, out, size);
    if (v->xattr_absent_code != 0) {
        vfs_mcache_xattr l{};
        bool have = xattr_list(v, path, full, &l);
        if (have && l.code == 0 && !list_has(l, name)) {
            int code = v->xattr_absent_code;
            const char *msg = v->xattr_absent_msg;
            vfs_mcache_put_xattr(v->mc, path, name, code, msg, (uint32_t)strlen(msg));
            return xattr_give(v, {code, (uint32_t)strlen(msg), msg}, out, size);
        }
        if (have && l.code != 0 && verr_2_posix(l.code) == EOPNOTSUPP) {
            // No attributes at all there: every name gets the same answer.
            std::string msg(l.data, l.len);
            vfs_mcache_put_xattr(v->mc, path, name, l.code, msg.data(), (uint32_t)msg.size());
            return xattr_give(v, {l.code, (uint32_t)msg.size(), msg.c_str()}, out, size);
        }
    }
    if (xattr_fetch(v, path, full, name, &a))
        return xattr_give(v, a, out, size);
    return -1;
}

int64_t listxattr_cached(zksd_vol *v, const char *path, const char *full, void *out, uint64_t size)
{
    vfs_mcache_xattr a{};
    if (!xattr_list(v, path, full, &a))
        return -1;
    return xattr_give(v, a, out, size);
}

// Path stat: like the opens, it reconnects an idle volume whose connection
// dropped, so getattr works again.
int stat_retry(zksd_vol *v, const char *full, os_file_stat_t *st, bool follow)
{
    int r = -1;
    with_retry(v, [&](cli_ctx *c) {
        r = follow ? zksd_cli_stat(c, full, st) : zksd_cli_lstat(c, full, st);
        return r == 0;
    });
    return r;
}

// The directory of a mount path into dir (PL_MAX_PATH bytes); false for
// the root itself.
bool parent_path(const char *path, char *dir)
{
    if (str_safecopy(dir, PL_MAX_PATH, path) != 0)
        return false;
    size_t n = strlen(dir);
    while (n > 0 && dir[n - 1] == '/')
        dir[--n] = '\0';
    char *s = strrchr(dir, '/');
    if (!s || n == 0)
        return false;
    if (s == dir)
        s[1] = '\0';
    else
        *s = '\0';
    return true;
}

// A lookup that misses reads its directory's listing (at most this many
// entries, a quarter of the cache): tools stat the names of one directory
// together, and one listing answers for all of them, the missing ones
// included.
constexpr uint32_t k_fill_max = VFS_MCACHE_CAP / 4;

struct fill_arg {
    zksd_vol *v;
    const char *dir;
    uint32_t n;
};

void fill_put(void *arg, const os_dir_entry_t *e)
{
    auto *f = (fill_arg *)arg;
    if (f->n++ < k_fill_max)
        vfs_mcache_put_listed2(f->v->mc, f->dir, e->name, &e->st, e->link);
}

// Reads dir's listing into the cache straight on the client, under one hold
// of the mutex. The close goes right behind the first block's request, so a
// listing of one block costs two round trips; a longer one is read again
// block by block. It opens nothing the volume counts and reports nothing to
// the caller: a failure (a broken connection included) is met again by the
// stat that follows, which reconnects or fails as it always does; after a
// broken exchange the client started afresh, so nothing cached is kept.
void fill_dir(zksd_vol *v, const char *dir)
{
    char full[PL_MAX_PATH];
    vperror_t saved;
    vperror_copy(&saved, vfs_err_rec());
    bool ok = full_path(v, dir, full, false);
    vperror_copy(vfs_err_rec(), &saved);
    if (!ok)
        return;
    uint64_t started = vfs_mcache_now(v->mc);
    vol_lock g(v);
    if (!v->cli)
        return;
    cli_dir_ctx *d = zksd_cli_opendir2(v->cli, full, nullptr);
    if (!d)
        return;
    fill_arg f{v, dir, 0};
    int r = zksd_cli_readdir_close(d, fill_put, &f);
    if (r == 0 && (d = zksd_cli_opendir2(v->cli, full, nullptr)) != nullptr) {
        f.n = 0;
        os_dir_entry_t *e = nullptr;
        while (f.n <= k_fill_max && (e = zksd_cli_readdir(d)) != nullptr)
            fill_put(&f, e);
        r = !e && v->err.code == 0 ? 1 : -1;
        zksd_cli_closedir(d);
    }
    if (r == 1 && f.n <= k_fill_max)
        vfs_mcache_set_listed(v->mc, dir, started);
    else if (r < 0 && is_conn_error(v->err.code))
        vfs_mcache_clear(v->mc);
    touch(v);
}

// stat / lstat through the cache. Only the entry's own record (lstat) is
// kept; a stat that follows a link is answered from it when it is no link.
// An lstat that misses (the kernel's lookups and getattrs) lists the
// directory first when its listing is not in the window.
int stat_cached(zksd_vol *v, const char *path, const char *full, os_file_stat_t *st, bool follow)
{
    vperror_t err{};
    int hit = vfs_mcache_get_stat(v->mc, path, follow, st, &err);
    char dir[PL_MAX_PATH];
    if (hit == VFS_MC_MISS && !follow && parent_path(path, dir) && vfs_mcache_fill_due(v->mc, dir)) {
        fill_dir(v, dir);
        hit = vfs_mcache_get_stat(v->mc, path, follow, st, &err);
    }
    if (hit == VFS_MC_HIT)
        return 0;
    if (hit == VFS_MC_ABSENT) {
        vperror_copy(vfs_err_rec(), &err);
        return -1;
    }
    int r = stat_retry(v, full, st, follow);
    if (r == 0) {
        if (!follow)
            vfs_mcache_put_stat(v->mc, path, st);
    } else if (!follow && vfs_err_rec()->code == k_not_found) {
        vfs_mcache_put_absent(v->mc, path, vfs_err_rec());
    } else {
        vfs_mcache_forget(v->mc, path);
    }
    return r;
}

// After a change of path (or a failed request on it): what it touched goes.
// CH_STAT: its stat record or data alone (mode, owner, times, size);
// CH_ATTR: anything about it; CH_NAME: a name made; CH_TREE: a name and
// everything beneath it removed or renamed.
enum change_kind { CH_STAT, CH_ATTR, CH_NAME, CH_TREE };
void changed(zksd_vol *v, const char *path, change_kind k)
{
    if (!path)
        return;
    if (k == CH_TREE)
        vfs_mcache_forget_tree(v->mc, path);
    else if (k == CH_STAT)
        vfs_mcache_forget_stat(v->mc, path);
    else
        vfs_mcache_forget(v->mc, path);
    if (k == CH_NAME || k == CH_TREE)
        vfs_mcache_parent_changed(v->mc, path);
}

// A change of the stat record through a call that follows a final link:
// when path is a link (or may be one) the change landed on its target,
// whose name is not known here.
void changed_follow(zksd_vol *v, const char *path)
{
    if (vfs_mcache_is_link(v->mc, path) != 0)
        vfs_mcache_clear(v->mc);
    changed(v, path, CH_STAT);
}

// ---- the codes' table -------------------------------------------------------------------

// What a path code's request may have changed, dropped from the cache once
// it is answered (a failed request included: it may have done part).
enum drops {
    DROP_NONE,
    DROP_ATTR_IF_FAILED, // a failure may mean the cached entry is out of date
    DROP_STAT,           // changed(CH_STAT)
    DROP_ATTR,           // changed(CH_ATTR)
    DROP_NAME,           // changed(CH_NAME)
    DROP_TREE,           // changed(CH_TREE)
    DROP_GONE,           // a removal: gone when it succeeded, else DROP_TREE
    DROP_FOLLOWED,       // changed_follow: the call follows a final link
};

// After a path code's request (r its result): drops what d says.
void drop(zksd_vol *v, const char *path, drops d, int64_t r)
{
    if (d == DROP_FOLLOWED)
        changed_follow(v, path);
    else if (d == DROP_STAT)
        changed(v, path, CH_STAT);
    else if (d == DROP_ATTR || (d == DROP_ATTR_IF_FAILED && r < 0))
        changed(v, path, CH_ATTR);
    else if (d == DROP_NAME || d == DROP_TREE || d == DROP_GONE)
        changed(v, path, d == DROP_NAME ? CH_NAME : CH_TREE);
    if (d == DROP_GONE && r == 0)
        vfs_mcache_removed(v->mc, path);
}

// f(full) with path joined to the root into full (PL_MAX_PATH bytes on the
// stack); -1 when the path is refused (the thread's record says why).
template <class F>
int64_t joined(zksd_vol *v, const char *path, F f)
{
    char full[PL_MAX_PATH];
    if (!full_path(v, path, full, false))
        return -1;
    return f(full);
}

// Joins path to the root, runs call(c, full) on the client and drops what
// d says. -1 with nothing sent (and nothing dropped) when the path is
// refused; otherwise the call's result.
template <class F>
int64_t path_call(zksd_vol *v, const char *path, drops d, F call)
{
    return joined(v, path, [&](char *full) {
        int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return call(c, full); });
        drop(v, path, d, r);
        return r;
    });
}

// false, with "<what> missing" recorded, for a field of a record left NULL.
bool present(const void *field, const char *what)
{
    if (field)
        return true;
    VFS_SET_ERROR(VERR_INVALID_PARAMETER, "%s missing", what);
    return false;
}

// A row's handler: the volume, the argument record (not NULL) and its length.
using vol_fn = int64_t (*)(zksd_vol *v, void *arg, int64_t len);

// The handler of a code on the path field of its record A:
// Call(client, joined path, record), then drop D.
template <class A, drops D, auto Call>
int64_t path_op(zksd_vol *v, void *arg, int64_t)
{
    const A &a = *(const A *)arg;
    return path_call(v, a.path, D, [&](cli_ctx *c, const char *full) { return Call(c, full, a); });
}

// The handler of a code whose argument is the path itself: Call(client,
// joined path), then drop D.
template <drops D, auto Call>
int64_t name_op(zksd_vol *v, void *arg, int64_t)
{
    return path_call(v, (const char *)arg, D, Call);
}

// The handler of a code that joins nothing: Call(client, record A).
template <class A, auto Call>
int64_t call_op(zksd_vol *v, void *arg, int64_t)
{
    A &a = *(A *)arg;
    return (int64_t)plain(v, [&](cli_ctx *c) { return Call(c, a); });
}

// A server ioctl that takes the caller's buffer and length as they are.
template <int Ioc>
int64_t pass_op(zksd_vol *v, void *arg, int64_t len)
{
    return (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_ioctl(c, Ioc, arg, (int)len); });
}

int64_t get_os_type_op(zksd_vol *v, void *arg, int64_t)
{
    return (int64_t)plain(v, [&](cli_ctx *c) {
        int t = 0;
        int r = zksd_cli_get_os_type(c, &t);
        *(uint32_t *)arg = (uint32_t)t;
        return r;
    });
}

// The old mask is given out only on success.
int64_t umask_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_umask_t *)arg;
    unsigned old = 0;
    int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_umask(c, a->mask, &old); });
    if (r == 0 && a->old)
        *a->old = old;
    return r;
}

// Both paths are joined before anything is sent.
bool join2(zksd_vol *v, const char *from, const char *to, char *full, char *full2)
{
    return full_path(v, from, full, false) && full_path(v, to, full2, false);
}

int64_t link_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_2path_t *)arg;
    char full[PL_MAX_PATH], full2[PL_MAX_PATH];
    if (!join2(v, a->from, a->to, full, full2))
        return -1;
    int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_link(c, full, full2); });
    changed(v, a->from, CH_STAT); // its link count
    changed(v, a->to, CH_NAME);
    return r;
}

// A directory made is empty: the names in it are missing without a listing.
int64_t mkdir_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_path_u32_t *)arg;
    int64_t r = path_call(v, a->path, DROP_NAME,
                          [&](cli_ctx *c, const char *full) { return zksd_cli_mkdir(c, full, a->value); });
    if (r == 0)
        vfs_mcache_made(v->mc, a->path, OS_FTYPE_DIR);
    return r;
}

// The target is stored as given: it is the link's text, not a path here.
int64_t symlink_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_2path_t *)arg;
    if (!present(a->from, "target"))
        return -1;
    return path_call(v, a->to, DROP_NAME,
                     [&](cli_ctx *c, const char *full) { return zksd_cli_symlink(c, a->from, full); });
}

int64_t rename_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_rename_t *)arg;
    char full[PL_MAX_PATH], full2[PL_MAX_PATH];
    if (!join2(v, a->from, a->to, full, full2))
        return -1;
    // The old name is gone after the rename unless both names were of one
    // file (a rename that does nothing): known only when the window holds
    // the old name and says the new one is missing or another file.
    os_file_stat_t fs{}, ts{};
    vperror_t e1{}, e2{};
    bool moves = vfs_mcache_get_stat(v->mc, a->from, false, &fs, &e1) == VFS_MC_HIT;
    if (moves) {
        int th = vfs_mcache_get_stat(v->mc, a->to, false, &ts, &e2);
        moves = th == VFS_MC_ABSENT ||
                (th == VFS_MC_HIT && fs.ino != 0 && ts.ino != 0 && (fs.ino != ts.ino || fs.dev != ts.dev));
    }
    int64_t r = (int64_t)plain(v, [&](cli_ctx *c) { return zksd_cli_rename(c, full, full2, a->replace); });
    changed(v, a->from, CH_TREE);
    changed(v, a->to, CH_TREE);
    if (r == 0)
        vfs_mcache_writers_renamed(v->mc, a->from, a->to);
    if (r == 0 && moves)
        vfs_mcache_removed(v->mc, a->from);
    return r;
}

int64_t readlink_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_readlink_t *)arg;
    if (!a->buf || a->size == 0) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "buffer missing");
        return -1;
    }
    return path_call(v, a->path, DROP_ATTR_IF_FAILED,
                     [&](cli_ctx *c, const char *full) { return zksd_cli_readlink(c, full, a->buf, (size_t)a->size); });
}

// stat (Follow) and lstat, through the cache.
template <bool Follow>
int64_t stat_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_stat_t *)arg;
    if (!present(a->st, "stat record"))
        return -1;
    return joined(v, a->path, [&](const char *full) { return stat_cached(v, a->path, full, a->st, Follow); });
}

// utime (follows a final link) and utimens: Call(client, joined path, times).
template <drops D, auto Call>
int64_t times_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_times_t *)arg;
    if (!present(a->times, "times"))
        return -1;
    zksd_file_times_t t = to_cli_times(a->times);
    return path_call(v, a->path, D, [&](cli_ctx *c, const char *full) { return Call(c, full, &t); });
}

int64_t getxattr_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_xattr_t *)arg;
    return joined(v, a->path,
                  [&](const char *full) { return getxattr_cached(v, a->path, full, a->name, a->value, a->size); });
}

int64_t listxattr_op(zksd_vol *v, void *arg, int64_t)
{
    auto *a = (vfs_ioc_listxattr_t *)arg;
    return joined(v, a->path, [&](const char *full) { return listxattr_cached(v, a->path, full, a->list, a->size); });
}

struct vol_code {
    int code;
    vol_fn run;
};

// The path codes (on a volume or on a file handle's volume). A path that
// would leave the root is refused before anything is sent.
constexpr vol_code k_vol_codes[] = {
    {VFS_IOC_STATVFS, path_op<vfs_ioc_statvfs_t, DROP_NONE, [](auto c, auto full, auto &a) {
         return zksd_cli_statvfs(c, full, a.out); }>},
    {VFS_IOC_GETCWD, pass_op<ZKSD_IOC_GETCWD>},
    {VFS_IOC_CHDIR, pass_op<ZKSD_IOC_CHDIR>},
    {VFS_IOC_GET_OS_TYPE, get_os_type_op},
    {VFS_IOC_VOLUME_INFO, path_op<vfs_ioc_volinfo_t, DROP_NONE, [](auto c, auto full, auto &a) {
         return zksd_cli_statfs(c, full, a.vi); }>},
    {VFS_IOC_UMASK, umask_op},
    {VFS_IOC_ACCESS, path_op<vfs_ioc_path_u32_t, DROP_ATTR_IF_FAILED, [](auto c, auto full, auto &a) {
         return zksd_cli_access(c, full, a.value); }>},
    {VFS_IOC_CREATE_FILE, name_op<DROP_NAME, [](auto c, auto full) {
         return zksd_cli_ioctl(c, ZKSD_IOC_CREATE_FILE, full, -1); }>},
    {VFS_IOC_MKDIR_DEFAULT, name_op<DROP_NAME, [](auto c, auto full) {
         return zksd_cli_ioctl(c, ZKSD_IOC_CREATE_DIR, full, -1); }>},
    {VFS_IOC_MKDIR, mkdir_op},
    {VFS_IOC_MKNOD, path_op<vfs_ioc_mknod_t, DROP_NAME, [](auto c, auto full, auto &a) {
         return zksd_cli_mknod(c, full, a.mode, a.dev); }>},
    {VFS_IOC_MKFIFO, path_op<vfs_ioc_path_u32_t, DROP_NAME, [](auto c, auto full, auto &a) {
         return zksd_cli_mkfifo(c, full, a.value); }>},
    {VFS_IOC_LINK, link_op},
    {VFS_IOC_SYMLINK, symlink_op},
    {VFS_IOC_RMDIR, name_op<DROP_GONE, [](auto c, auto full) { return zksd_cli_rmdir(c, full); }>},
    {VFS_IOC_UNLINK, name_op<DROP_GONE, [](auto c, auto full) { return zksd_cli_unlink(c, full); }>},
    {VFS_IOC_RENAME, rename_op},
    {VFS_IOC_READLINK, readlink_op},
    {VFS_IOC_STAT, stat_op<true>},
    {VFS_IOC_LSTAT, stat_op<false>},
    {VFS_IOC_RMDIR2, path_op<vfs_ioc_path_flag_t, DROP_GONE, [](auto c, auto full, auto &a) {
         return zksd_cli_rmdir2(c, full, a.flag); }>},
    {VFS_IOC_REMOVE2, path_op<vfs_ioc_path_flag_t, DROP_GONE, [](auto c, auto full, auto &a) {
         return zksd_cli_remove2(c, full, a.flag); }>},
    {VFS_IOC_SET_ATTRIB, path_op<vfs_ioc_path_u32_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_set_attrib(c, full, a.value); }>},
    {VFS_IOC_TRUNCATE, path_op<vfs_ioc_truncate_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_truncate(c, full, (long)a.size); }>},
    {VFS_IOC_CHMOD, path_op<vfs_ioc_path_u32_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_chmod(c, full, a.value); }>},
    {VFS_IOC_LCHMOD, path_op<vfs_ioc_path_u32_t, DROP_STAT, [](auto c, auto full, auto &a) {
         return zksd_cli_lchmod(c, full, a.value); }>},
    {VFS_IOC_CHOWN, path_op<vfs_ioc_chown_t, DROP_FOLLOWED, [](auto c, auto full, auto &a) {
         return zksd_cli_chown(c, full, a.uid, a.gid); }>},
    {VFS_IOC_LCHOWN, path_op<vfs_ioc_chown_t, DROP_STAT, [](auto c, auto full, auto &a) {
         return zksd_cli_lchown(c, full, a.uid, a.gid); }>},
    {VFS_IOC_UTIME, times_op<DROP_FOLLOWED, zksd_cli_utime>},
    {VFS_IOC_UTIMENS, times_op<DROP_STAT, zksd_cli_utimens>},
    {VFS_IOC_CHDIR_MT, call_op<vfs_ioc_chdir_t, [](auto c, auto &a) {
         return zksd_cli_chdir_mt(c, a.cwd, (size_t)a.size, a.path); }>},
    {VFS_IOC_REALPATH_MT, call_op<vfs_ioc_realpath_t, [](auto c, auto &a) {
         return zksd_cli_realpath_mt(c, a.cwd, a.path, a.out, (size_t)a.size); }>},
    {VFS_IOC_GETXATTR, getxattr_op},
    {VFS_IOC_SETXATTR, path_op<vfs_ioc_xattr_t, DROP_ATTR, [](auto c, auto full, auto &a) {
         return zksd_cli_setxattr(c, full, a.name, a.value, (size_t)a.size, (int32_t)a.flags); }>},
    {VFS_IOC_REMOVEXATTR, path_op<vfs_ioc_xattr_t, DROP_ATTR, [](auto c, auto full, auto &a) {
         return zksd_cli_removexattr(c, full, a.name); }>},
    {VFS_IOC_LISTXATTR, listxattr_op},
};
static_assert(vfs_codes_unique(k_vol_codes));

// A file-handle row's handler: the handle and the argument record (not NULL).
using file_fn = int64_t (*)(zksd_fh *fh, void *arg);

// The handler of a file-handle code: Call(client file, record A); the
// file's cached stat record goes.
template <class A, auto Call>
int64_t handle_op(zksd_fh *fh, void *arg)
{
    const A &a = *(const A *)arg;
    int64_t r = on_handle(fh->v, [&] { return Call(fh->f, a); });
    changed(fh->v, fh->path, CH_STAT);
    return r;
}

// The new name is the server's to resolve: nothing in the cache is sure.
int64_t frename_op(zksd_fh *fh, void *arg)
{
    auto *a = (vfs_ioc_frename_t *)arg;
    int64_t r = on_handle(fh->v, [&] { return zksd_cli_frename(fh->f, a->name, a->replace); });
    vfs_mcache_clear(fh->v->mc);
    return r;
}

struct file_code {
    int code;
    file_fn run;
};

// The codes on a file handle.
constexpr file_code k_file_codes[] = {
    {VFS_IOC_FRENAME, frename_op},
    {VFS_IOC_FCHMOD, handle_op<vfs_ioc_path_u32_t, [](auto f, auto &a) { return zksd_cli_fchmod(f, a.value); }>},
    {VFS_IOC_FCHOWN, handle_op<vfs_ioc_chown_t, [](auto f, auto &a) { return zksd_cli_fchown(f, a.uid, a.gid); }>},
    {VFS_IOC_SET_DELETE_ON_CLOSE, handle_op<uint8_t, [](auto f, auto &a) {
         return zksd_cli_set_delete_on_close(f, a); }>},
};
static_assert(vfs_codes_unique(k_file_codes));

// A path code runs on the volume of a volume or file handle; a file-handle
// code only on a file handle.
int64_t dispatch(zksd_vol *v, void *hd, int code, void *arg, int64_t len)
{
    if (const file_code *fc = vfs_code_row(k_file_codes, code))
        return tag_of(hd) == k_tag_file ? fc->run((zksd_fh *)hd, arg) : unsupported(code);
    if (const vol_code *vc = vfs_code_row(k_vol_codes, code))
        return vc->run(v, arg, len);
    return unsupported(code);
}

int64_t vfs_zksd_ioctl(void *hd, int code, void *arg, int64_t len)
{
    zksd_vol *v = get_vol_ctx(hd);
    if (!v) {
        VFS_SET_ERROR(VERR_INVALID_HANDLE, "handle=%p invalid", hd);
        return -1;
    }
    // The activity time and the flag are read by the heartbeat: they never
    // touch the calling thread's record, and like every other code they wait
    // while a request is in progress.
    if (code == VFS_IOC_LAST_ACTIVITY || code == VFS_IOC_NEED_REOPEN) {
        if (!arg)
            return -1;
        vol_lock g(v, true);
        if (code == VFS_IOC_LAST_ACTIVITY)
            *(uint64_t *)arg = v->last_activity.load();
        else
            *(uint32_t *)arg = v->need_reopen.load();
        return 0;
    }
    if (refused(v))
        return -1;
    if (!arg) {
        VFS_SET_ERROR(VERR_INVALID_PARAMETER, "argument missing");
        return -1;
    }
    return dispatch(v, hd, code, arg, len);
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

} // namespace

const vfs_drv *vfs_zksd_drv_get(void) { return &k_drv; }
