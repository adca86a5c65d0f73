// Private to the "zksd" driver (zksd.cpp: mount and reconnect;
// zksd_meta.cpp: the metadata cache with the attribute batch and the
// listings; zksd_ops.cpp: the file operations and the codes' table): the
// volume and handle records, the volume's lock and call patterns, and the
// functions the pieces share. See zksd.cpp for how the driver works.
#pragma once
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

namespace zksd_drv {


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

uint64_t tag_of(const void *p);
bool is_conn_error(int code);
void touch(zksd_vol *v);
// Caller holds the mutex. Copies a failure of the last client call into the
// calling thread's record (success leaves it as the entry point emptied it).
void pass_error(zksd_vol *v);
// Caller holds the mutex. Classifies the last client call's outcome: -1 not
// a connection failure (or success), -2 a connection failure with nothing
// open (the caller may reconnect), -1 with need-reopen set when something is
// open.
int zksd_check_set_error(zksd_vol *v);
// Caller holds the mutex. Replaces a broken client by a new connection when
// nothing is open. 0 when a new client stands, -1 otherwise (need-reopen set
// when the connect failed).
int zksd_check_and_connect(zksd_vol *v);
// Caller holds the mutex. Records why there is no client to call.
void no_client(zksd_vol *v);

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
bool refused(zksd_vol *v);
// The server-side path of a mount path: root joined with path (see zksd.cpp).
// false with the thread's record filled.
bool full_path(const zksd_vol *v, const char *path, char *out, bool normalise);

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


// After a change of path (or a failed request on it): what it touched goes.
// CH_STAT: its stat record or data alone (mode, owner, times, size);
// CH_ATTR: anything about it; CH_NAME: a name made; CH_TREE: a name and
// everything beneath it removed or renamed.
enum change_kind { CH_STAT, CH_ATTR, CH_NAME, CH_TREE };
void changed(zksd_vol *v, const char *path, change_kind k);
// A change of the stat record through a call that follows a final link.
void changed_follow(zksd_vol *v, const char *path);
// stat / lstat through the cache (zksd_meta.cpp).
int stat_cached(zksd_vol *v, const char *path, const char *full, os_file_stat_t *st, bool follow);
// getxattr and listxattr through the cache (zksd_meta.cpp).
int64_t getxattr_cached(zksd_vol *v, const char *path, const char *full, const char *name, void *out, uint64_t size);
int64_t listxattr_cached(zksd_vol *v, const char *path, const char *full, void *out, uint64_t size);

// The driver's slots.
void *vfs_zksd_open(void *m, const char *path, uint32_t pf);
void *vfs_zksd_wopen(void *m, const char *path, uint32_t access, uint32_t share, void *security,
                     uint32_t disposition, uint32_t attributes, void *templ);
void *vfs_zksd_open2(void *m, const char *path, int flags, uint32_t mode);
int vfs_zksd_close(void *fh);
int64_t vfs_zksd_read(void *fh, void *buf, uint64_t len, int64_t off);
int64_t vfs_zksd_write(void *fh, const void *buf, uint64_t len, int64_t off);
int vfs_zksd_flush(void *fh);
int vfs_zksd_fsync(void *fh);
int64_t vfs_zksd_lseek(void *fh, int64_t off, int whence);
int vfs_zksd_fstat(void *fh, os_file_stat_t *st);
int vfs_zksd_ftruncate(void *fh, int64_t size);
int vfs_zksd_futime(void *fh, const os_file_times_t *times);
int vfs_zksd_flock(void *fh, int32_t type, uint64_t off, uint64_t len);
void *vfs_zksd_opendir(void *m, const char *path, const char *pattern);
os_dir_entry_t *vfs_zksd_readdir(void *dh);
int vfs_zksd_seekdir(void *dh, int64_t pos);
int64_t vfs_zksd_telldir(void *dh);
int vfs_zksd_closedir(void *dh);
int64_t vfs_zksd_ioctl(void *hd, int code, void *arg, int64_t len);

} // namespace zksd_drv
