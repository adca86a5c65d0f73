// meta_cache: the remote drivers' short-lived metadata cache (see the header).
#include "libvfs/meta_cache.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "libpal/basic/pl_base.h"

namespace {

constexpr uint32_t k_xattr_keep_max = 64 * 1024;

struct xattr_ans {
    uint64_t at = 0;
    int code = 0;
    std::string data; // value, list, or the failure's message
};

struct entry {
    uint64_t seq = 0;       // order of making, for the oldest-first cap
    uint64_t stat_at = 0;   // 0: no stat answer
    uint64_t listed_at = 0; // 0: no whole listing (directories)
    uint64_t fill_at = 0;   // a lookup's listing of it was tried
    uint64_t xasked = 0;    // stat_at of the listing line a batch asked its list for
    bool absent = false;    // the stat answer is "missing"
    os_file_stat_t st{};
    int err_code = 0;
    std::string err_msg;
    std::map<std::string, xattr_ans> xattrs; // "" key: the listing
    std::string link;       // a listed link's text
    bool listed = false;    // stat and link came from a listing line
    uint64_t type_at = 0;   // st.type (link or not) was learned then
    bool made_dir = false;  // a directory made through the mount: known empty, its dots not
    // A directory's own "." and ".." lines of its last listing.
    uint64_t dots_at = 0;
    bool has_dot = false, has_dotdot = false;
    os_file_stat_t dot_st{}, dotdot_st{};
};

// Folds a mount path into its key.
std::string key_of(const char *path)
{
    std::string k = "/";
    if (!path)
        return k;
    for (const char *p = path; *p; p++) {
        if (*p == '/' && k.back() == '/')
            continue;
        k.push_back(*p);
    }
    if (k.size() > 1 && k.back() == '/')
        k.pop_back();
    return k;
}

// The key of the directory that holds key k ("/" for "/" itself).
std::string parent_of(const std::string &k)
{
    size_t s = k.rfind('/');
    return s == 0 || s == std::string::npos ? std::string("/") : k.substr(0, s);
}

uint64_t default_clock(void) { return os_clock_ms(); }

// A file's identity on the server.
struct ino_key {
    uint64_t dev, ino;
    bool operator==(const ino_key &o) const { return dev == o.dev && ino == o.ino; }
};
struct ino_hash {
    size_t operator()(const ino_key &k) const { return std::hash<uint64_t>()(k.ino * 31 + k.dev); }
};

// Whether a record is of a file with further names (hard links): a change
// through one name is a change of them all. Directories are left out
// (their link count counts their subdirectories).
bool linked(const os_file_stat_t &st) { return st.ino != 0 && st.nlink > 1 && !(st.type & OS_FTYPE_DIR); }

} // namespace

struct vfs_mcache {
    std::mutex mu;
    uint32_t window;
    size_t cap;
    uint64_t (*clock)(void) = default_clock;
    uint64_t seq = 0;
    std::map<std::string, entry> map;
    std::deque<std::pair<std::string, uint64_t>> order; // (key, seq) oldest first
    std::unordered_map<std::string, int> writers;
    // The names whose records say their file has further names, by file
    // (a name whose record changed since is skipped when met).
    std::unordered_map<ino_key, std::unordered_set<std::string>, ino_hash> links;
    size_t links_n = 0; // names noted in links
    std::string scratch; // backs the data handed out by get_xattr

    bool fresh(uint64_t at, uint64_t now) const { return at != 0 && now >= at && now - at < window; }

    bool written(const std::string &k) const { return !writers.empty() && writers.count(k) != 0; }

    // Notes the record of k when its file has further names. The notes of
    // names since dropped or changed are swept out when they pile up.
    void note_links(const std::string &k, const os_file_stat_t &st)
    {
        if (!linked(st) || !links[{st.dev, st.ino}].insert(k).second || ++links_n <= 2 * cap + 64)
            return;
        links.clear();
        links_n = 0;
        for (auto &[n, e] : map) {
            if (linked(e.st) && e.type_at != 0) {
                links[{e.st.dev, e.st.ino}].insert(n);
                links_n++;
            }
        }
    }

    // The file of k changed (stat_only as for forget): so did its other
    // names. When what k is is not known, every name of a file with
    // further names goes.
    void forget_links(const std::string &k, bool stat_only)
    {
        if (links.empty())
            return;
        auto it = map.find(k);
        std::vector<std::string> names;
        if (it == map.end() || it->second.type_at == 0) {
            for (auto &[id, set] : links)
                names.insert(names.end(), set.begin(), set.end());
            links.clear();
            links_n = 0;
        } else {
            const os_file_stat_t &st = it->second.st;
            auto l = linked(st) ? links.find({st.dev, st.ino}) : links.end();
            if (l == links.end())
                return;
            names.assign(l->second.begin(), l->second.end());
            links_n -= l->second.size();
            links.erase(l);
        }
        for (const std::string &n : names) {
            auto e = map.find(n);
            if (n != k && e != map.end() && linked(e->second.st))
                forget(n, stat_only);
        }
    }

    // The entry of k, made when missing (and the cap kept).
    entry &slot(const std::string &k)
    {
        auto it = map.find(k);
        if (it != map.end())
            return it->second;
        entry &e = map[k];
        e.seq = ++seq;
        order.emplace_back(k, e.seq);
        trim();
        return map[k];
    }

    void drop_listing_of_parent(const std::string &k)
    {
        if (k == "/")
            return;
        auto it = map.find(parent_of(k));
        if (it != map.end())
            it->second.listed_at = 0;
    }

    void erase(std::map<std::string, entry>::iterator it)
    {
        drop_listing_of_parent(it->first);
        map.erase(it);
    }

    // Oldest out while above the cap; the queue is rebuilt when stale pairs
    // (of entries erased and made again) pile up.
    void trim()
    {
        while (map.size() > cap && !order.empty()) {
            auto [k, s] = order.front();
            order.pop_front();
            auto it = map.find(k);
            if (it != map.end() && it->second.seq == s)
                erase(it);
        }
        if (order.size() > 2 * cap + 64) {
            std::map<uint64_t, std::string> by_seq;
            for (auto &[k, e] : map)
                by_seq.emplace(e.seq, k);
            order.clear();
            for (auto &[s, k] : by_seq)
                order.emplace_back(k, s);
        }
    }

    // A changed entry keeps only a mark that its name exists or may exist:
    // never "missing" by its directory's listing. What the name is (a link
    // or not) stays known: a change of its attributes or data keeps it.
    // stat_only: a change of stat fields or data alone (mode, owner, times,
    // size), which adds no extended attribute, so the answers that one is
    // absent stay, as does a directory's listing.
    void forget(const std::string &k, bool stat_only = false)
    {
        auto it = map.find(k);
        if (it == map.end()) {
            auto pit = map.find(parent_of(k));
            if (k == "/" || pit == map.end() || pit->second.listed_at == 0)
                return; // nothing could answer for it
            slot(k);
            return;
        }
        entry &e = it->second;
        e.stat_at = 0;
        e.absent = false;
        e.listed = false;
        e.err_msg.clear();
        if (!stat_only) {
            e.listed_at = 0;
            e.dots_at = 0;
            e.xattrs.clear();
            return;
        }
        for (auto x = e.xattrs.begin(); x != e.xattrs.end();)
            x = absence(x->first, x->second) ? std::next(x) : e.xattrs.erase(x);
    }

    // Whether an attribute answer says what is absent: no such attribute,
    // none supported there, or a list without the one attribute (the file
    // capabilities) that a change of owner or data takes away.
    static bool absence(const std::string &name, const xattr_ans &a)
    {
        if (a.code != 0) {
            int eno = verr_2_posix(a.code);
            return eno == ENODATA || eno == EOPNOTSUPP;
        }
        if (!name.empty())
            return false;
        static const char cap[] = "security.capability";
        for (size_t i = 0; i < a.data.size();) {
            size_t n = strnlen(a.data.c_str() + i, a.data.size() - i);
            if (a.data.compare(i, n, cap) == 0)
                return false;
            i += n + 1;
        }
        return true;
    }
};

vfs_mcache *vfs_mcache_new(uint32_t window_ms, size_t cap)
{
    assert(cap > 0);
    vfs_mcache *c = new (std::nothrow) vfs_mcache;
    if (!c)
        return nullptr;
    c->window = window_ms;
    c->cap = cap ? cap : 1;
    return c;
}

void vfs_mcache_free(vfs_mcache *c) { delete c; }

namespace {

// A change of the entry k through the mount: k and its file's other names.
void changed(vfs_mcache *c, const std::string &k, bool stat_only)
{
    c->forget_links(k, stat_only);
    c->forget(k, stat_only);
}

} // namespace

void vfs_mcache_set_clock(vfs_mcache *c, uint64_t (*clock)(void))
{
    std::lock_guard<std::mutex> g(c->mu);
    c->clock = clock ? clock : default_clock;
}

uint64_t vfs_mcache_now(vfs_mcache *c)
{
    std::lock_guard<std::mutex> g(c->mu);
    return c->clock();
}

int vfs_mcache_get_stat(vfs_mcache *c, const char *path, bool follow, os_file_stat_t *st, vperror_t *err)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    uint64_t now = c->clock();
    auto it = c->map.find(k);
    // A written path keeps only stat replies that came after its last write.
    if (c->written(k) && (it == c->map.end() || it->second.listed || it->second.absent))
        return VFS_MC_MISS;
    if (it != c->map.end()) {
        entry &e = it->second;
        if (!c->fresh(e.stat_at, now))
            return VFS_MC_MISS;
        if (e.absent) {
            vperror_set(err, __FILE__, __LINE__, __func__, e.err_code, e.err_msg.empty() ? nullptr : "%s",
                        e.err_msg.c_str());
            return VFS_MC_ABSENT;
        }
        if (follow && (e.st.type & OS_FTYPE_LINK))
            return VFS_MC_MISS;
        *st = e.st;
        return VFS_MC_HIT;
    }
    if (k == "/")
        return VFS_MC_MISS;
    auto pit = c->map.find(parent_of(k));
    if (pit != c->map.end() && c->fresh(pit->second.listed_at, now)) {
        vperror_set(err, __FILE__, __LINE__, __func__, VERR_FILE_NOT_FOUND, nullptr);
        return VFS_MC_ABSENT;
    }
    return VFS_MC_MISS;
}

void vfs_mcache_put_stat(vfs_mcache *c, const char *path, const os_file_stat_t *st)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    entry &e = c->slot(k);
    e.stat_at = c->clock();
    e.type_at = e.stat_at;
    e.absent = false;
    e.st = *st;
    e.listed = false;
    c->note_links(k, *st);
}

void vfs_mcache_put_absent(vfs_mcache *c, const char *path, const vperror_t *err)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    if (c->written(k))
        return;
    entry &e = c->slot(k);
    e.stat_at = c->clock();
    e.type_at = 0;
    e.absent = true;
    e.err_code = err->code;
    e.err_msg = err->msg;
    e.listed_at = 0;
    e.made_dir = false;
    e.xattrs.clear();
}

void vfs_mcache_put_listed2(vfs_mcache *c, const char *dir, const char *name, const os_file_stat_t *st,
                            const char *link)
{
    if (!name || !*name || strchr(name, '/'))
        return;
    std::string k = key_of(dir);
    bool dot = strcmp(name, ".") == 0, dotdot = strcmp(name, "..") == 0;
    if (dot || dotdot) {
        std::lock_guard<std::mutex> g(c->mu);
        entry &d = c->slot(k);
        (dot ? d.dot_st : d.dotdot_st) = *st;
        (dot ? d.has_dot : d.has_dotdot) = true;
        d.dots_at = c->clock();
        return;
    }
    if (k.back() != '/')
        k.push_back('/');
    k += name;
    std::lock_guard<std::mutex> g(c->mu);
    if (c->written(k))
        return;
    entry &e = c->slot(k);
    e.stat_at = c->clock();
    e.type_at = e.stat_at;
    e.absent = false;
    e.st = *st;
    e.link = link ? link : "";
    e.listed = true;
    c->note_links(k, *st);
}

void vfs_mcache_put_listed(vfs_mcache *c, const char *dir, const char *name, const os_file_stat_t *st)
{
    if (name && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0))
        return;
    vfs_mcache_put_listed2(c, dir, name, st, nullptr);
}

bool vfs_mcache_listing(vfs_mcache *c, const char *dir,
                        void (*each)(void *arg, const char *name, const os_file_stat_t *st, const char *link),
                        void *arg)
{
    std::string k = key_of(dir);
    std::lock_guard<std::mutex> g(c->mu);
    uint64_t now = c->clock();
    auto it = c->map.find(k);
    if (it == c->map.end() || !c->fresh(it->second.listed_at, now) || it->second.made_dir || c->written(k))
        return false;
    const entry &d = it->second;
    std::string below = k == "/" ? k : k + "/";
    std::vector<std::map<std::string, entry>::const_iterator> names;
    for (auto e = c->map.lower_bound(below); e != c->map.end(); ++e) {
        const std::string &ek = e->first;
        if (ek.compare(0, below.size(), below) != 0)
            break;
        // The root itself ("/" is below itself), or a name deeper down.
        if (ek.size() == below.size() || ek.find('/', below.size()) != std::string::npos)
            continue;
        const entry &x = e->second;
        if (!c->fresh(x.stat_at, now) || c->written(ek))
            return false;
        if (x.absent)
            continue;
        // A stat reply tells all a listing line does, a link's text apart.
        if ((x.st.type & OS_FTYPE_LINK) && (!x.listed || x.link.empty()))
            return false;
        names.push_back(e);
    }
    bool dots = c->fresh(d.dots_at, now);
    if (dots && d.has_dot)
        each(arg, ".", &d.dot_st, "");
    if (dots && d.has_dotdot)
        each(arg, "..", &d.dotdot_st, "");
    for (auto &e : names)
        each(arg, e->first.c_str() + below.size(), &e->second.st, e->second.link.c_str());
    return true;
}

void vfs_mcache_set_listed(vfs_mcache *c, const char *dir, uint64_t started)
{
    std::string k = key_of(dir);
    std::lock_guard<std::mutex> g(c->mu);
    entry &d = c->slot(k);
    d.listed_at = started ? started : 1;
    d.made_dir = false;
}

bool vfs_mcache_listed(vfs_mcache *c, const char *dir)
{
    std::string k = key_of(dir);
    std::lock_guard<std::mutex> g(c->mu);
    auto it = c->map.find(k);
    return it != c->map.end() && c->fresh(it->second.listed_at, c->clock());
}

bool vfs_mcache_fill_due(vfs_mcache *c, const char *dir)
{
    std::string k = key_of(dir);
    std::lock_guard<std::mutex> g(c->mu);
    uint64_t now = c->clock();
    auto it = c->map.find(k);
    if (it != c->map.end() && (c->fresh(it->second.listed_at, now) || c->fresh(it->second.fill_at, now)))
        return false;
    c->slot(k).fill_at = now;
    return true;
}

int vfs_mcache_get_xattr(vfs_mcache *c, const char *path, const char *name, vfs_mcache_xattr *out)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    auto it = c->map.find(k);
    if (it == c->map.end())
        return VFS_MC_MISS;
    auto xit = it->second.xattrs.find(name ? name : "");
    if (xit == it->second.xattrs.end() || !c->fresh(xit->second.at, c->clock()))
        return VFS_MC_MISS;
    c->scratch = xit->second.data;
    out->code = xit->second.code;
    out->len = (uint32_t)c->scratch.size();
    out->data = c->scratch.c_str();
    return VFS_MC_HIT;
}

void vfs_mcache_put_xattr_at(vfs_mcache *c, const char *path, const char *name, int code, const void *data,
                             uint32_t len, uint64_t at)
{
    if (len > k_xattr_keep_max || (len && !data))
        return;
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    xattr_ans &a = c->slot(k).xattrs[name ? name : ""];
    a.at = at ? at : 1;
    a.code = code;
    a.data.assign((const char *)data, len);
}

void vfs_mcache_put_xattr(vfs_mcache *c, const char *path, const char *name, int code, const void *data, uint32_t len)
{
    vfs_mcache_put_xattr_at(c, path, name, code, data, len, vfs_mcache_now(c));
}

size_t vfs_mcache_xattr_wanted(vfs_mcache *c, const char *path, size_t max, void (*each)(void *arg, const char *path),
                               void *arg)
{
    std::string k = key_of(path);
    if (k == "/")
        return 0;
    std::string dir = parent_of(k);
    std::string below = dir == "/" ? dir : dir + "/";
    std::lock_guard<std::mutex> g(c->mu);
    uint64_t now = c->clock();
    size_t n = 0;
    for (auto e = c->map.lower_bound(k); e != c->map.end() && n < max; ++e) {
        const std::string &ek = e->first;
        if (ek.compare(0, below.size(), below) != 0)
            break;
        entry &x = e->second;
        if (ek.find('/', below.size()) != std::string::npos || !x.listed || x.absent || !c->fresh(x.stat_at, now) ||
            x.xasked == x.stat_at)
            continue;
        auto l = x.xattrs.find("");
        if (l != x.xattrs.end() && c->fresh(l->second.at, now))
            continue;
        x.xasked = x.stat_at;
        each(arg, ek.c_str());
        n++;
    }
    return n;
}

void vfs_mcache_xattr_unasked(vfs_mcache *c, const char *path)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    auto it = c->map.find(k);
    if (it != c->map.end())
        it->second.xasked = 0;
}

void vfs_mcache_forget(vfs_mcache *c, const char *path)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    changed(c, k, false);
}

void vfs_mcache_forget_stat(vfs_mcache *c, const char *path)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    changed(c, k, true);
}

void vfs_mcache_wrote(vfs_mcache *c, const char *path)
{
    vfs_mcache_forget_stat(c, path);
}

void vfs_mcache_made(vfs_mcache *c, const char *path, uint32_t type)
{
    std::string k = key_of(path);
    if (k == "/")
        return;
    std::lock_guard<std::mutex> g(c->mu);
    c->forget(k);
    entry &e = c->slot(k);
    uint64_t now = c->clock();
    e.st = {};
    e.st.type = type;
    e.st.nlink = 1;
    e.type_at = now;
    xattr_ans &a = e.xattrs[""];
    a.at = now;
    a.code = 0;
    a.data.clear();
    if (type & OS_FTYPE_DIR) {
        e.listed_at = now;
        e.made_dir = true;
    }
}

void vfs_mcache_removed(vfs_mcache *c, const char *path)
{
    vfs_mcache_forget_tree(c, path);
    vperror_t err{};
    err.code = VERR_FILE_NOT_FOUND;
    vfs_mcache_put_absent(c, path, &err);
}

int vfs_mcache_is_link(vfs_mcache *c, const char *path)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    auto it = c->map.find(k);
    if (it == c->map.end() || !c->fresh(it->second.type_at, c->clock()))
        return -1;
    return (it->second.st.type & OS_FTYPE_LINK) ? 1 : 0;
}

void vfs_mcache_forget_tree(vfs_mcache *c, const char *path)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    std::string below = k == "/" ? k : k + "/";
    for (auto it = c->map.lower_bound(below); it != c->map.end() && it->first.compare(0, below.size(), below) == 0;) {
        c->forget_links(it->first, false);
        it = c->map.erase(it);
    }
    changed(c, k, false);
    auto it = c->map.find(k);
    if (it != c->map.end()) {
        it->second.type_at = 0; // the name may now be another entry's
        it->second.made_dir = false;
    }
}

void vfs_mcache_parent_changed(vfs_mcache *c, const char *path)
{
    std::string k = key_of(path);
    if (k == "/")
        return;
    std::lock_guard<std::mutex> g(c->mu);
    auto it = c->map.find(parent_of(k));
    if (it == c->map.end())
        return;
    // Its own stat record goes (its times changed); its listing, its "."
    // and ".." lines included, is updated in place by the caller.
    it->second.stat_at = 0;
    it->second.absent = false;
    it->second.xattrs.clear();
}

void vfs_mcache_clear(vfs_mcache *c)
{
    std::lock_guard<std::mutex> g(c->mu);
    c->map.clear();
    c->order.clear();
    c->links.clear();
    c->links_n = 0;
}

void vfs_mcache_writer(vfs_mcache *c, const char *path, int delta)
{
    std::string k = key_of(path);
    std::lock_guard<std::mutex> g(c->mu);
    int &n = c->writers[k];
    n += delta;
    if (n <= 0)
        c->writers.erase(k);
    if (delta > 0)
        changed(c, k, true);
}

void vfs_mcache_writers_renamed(vfs_mcache *c, const char *from, const char *to)
{
    std::string f = key_of(from), t = key_of(to);
    std::lock_guard<std::mutex> g(c->mu);
    std::unordered_map<std::string, int> moved;
    for (auto it = c->writers.begin(); it != c->writers.end();) {
        const std::string &k = it->first;
        bool under = k == f || (k.size() > f.size() && k.compare(0, f.size(), f) == 0 &&
                                (f == "/" || k[f.size()] == '/'));
        if (!under) {
            ++it;
            continue;
        }
        moved[t + k.substr(f == "/" ? 0 : f.size())] += it->second;
        it = c->writers.erase(it);
    }
    for (auto &[k, n] : moved) {
        c->writers[key_of(k.c_str())] += n;
        c->forget(key_of(k.c_str()));
    }
}

size_t vfs_mcache_size(vfs_mcache *c)
{
    std::lock_guard<std::mutex> g(c->mu);
    return c->map.size();
}
