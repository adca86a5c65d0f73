// The "zksd" driver's metadata glue: listings (from the window when it
// holds a whole one), lookups that read their directory's listing, the
// attribute lists asked for together as `ls -l` comes to them, and what a
// change through the mount drops from the cache.
#include "libvfs/zksd_imp.h"

namespace zksd_drv {

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

} // namespace zksd_drv
