// The "ftp" driver's listings (MLSD, parsed as they come, with their cost
// and pace capped) and the stats read from them.
#include "libvfs/ftp_imp.h"

namespace ftp_drv {

// ---- listings -----------------------------------------------------------------------------

void fill_stat(const ftp_mnt *m, const ftp_entry &e, const std::string &path, os_file_stat_t *st);
std::string entry_path(const std::string &dir, const ftp_entry &e);

// The longest name a listing entry may carry (the kernel's limit).
constexpr size_t k_name_max = 255;

// One line of an MLSD listing (without its '\n'; changed): its entry goes
// to out, unless the line is no entry (logged at debug level) or its entry
// cannot be shown as it stands (skipped with a warning): a line holding a
// CR or NUL byte (its name would reach the kernel rewritten), a type that
// is neither file nor directory, a name a directory cannot hold.
void keep_mlsd_line(std::string &line, std::vector<ftp_entry> &out)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        return;
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string::npos) {
        LOG_WARN(VFS_TAG, "MLSD line [%s] skipped: it holds a %s\n", line.c_str(),
                 line.find('\r') != std::string::npos ? "carriage return" : "NUL byte");
        return;
    }
    ftp_entry ent;
    int r = ftp_mlsd_parse(line.c_str(), &ent);
    if (r < 0) {
        LOG_DBG(VFS_TAG, "return [%s] error\n", line.c_str());
        return;
    }
    if (r > 0) {
        LOG_WARN(VFS_TAG, "MLSD line [%s] skipped: its type is neither file nor directory\n", line.c_str());
        return;
    }
    if (ent.self == 1)
        ent.name = ".";
    else if (ent.self == 2)
        ent.name = "..";
    else if (ent.name.find('/') != std::string::npos || ent.name == "." || ent.name == ".." ||
             ent.name.size() > k_name_max) {
        LOG_WARN(VFS_TAG, "MLSD entry [%.*s] skipped: not a name a directory entry may have\n",
                 (int)std::min(ent.name.size(), k_name_max), ent.name.c_str());
        return;
    }
    out.push_back(std::move(ent));
}

// Reads the listing of server directory dir into out (CWD, PASV, MLSD, the
// data to its end, then the final reply; a listing too large or too slow
// is cut off, see k_list_max and pace) and keeps what it says for stats.
// 0, or -1 with the record filled.
int list_dir(ftp_mnt *m, const std::string &dir, std::vector<ftp_entry> &out)
{
    const uint64_t started = vfs_mcache_now(m->mc);
    if (take_ctrl(m, nullptr) < 0)
        return -1;
    std::string text;
    int r = ftp_cmd(m, &text, "CWD %s", dir.c_str());
    if (r != 250) {
        LOG_DBG(VFS_TAG, "CWD return error=%d\n", r);
        return FAIL_REPLY("CWD", r, text);
    }
    net_conn d{};
    if (ftp_pasv_mode(m, &d) < 0)
        return -1;
    text.clear();
    r = ftp_xfer_cmd(m, &text, "MLSD");
    if (!preliminary(r)) {
        LOG_DBG(VFS_TAG, "MSLD return error=%d\n", r);
        net_close(&d);
        if (r == 500 || r == 502)
            return FAIL(VERR_NOT_SUPPORTED, "MLSD refused by the server: %s", reply_text(r, text).c_str());
        return FAIL_REPLY("MLSD", r, text);
    }
    // The data is parsed as it comes: only entries are kept, and what the
    // listing costs (the bytes read and the room of its entries) is capped.
    std::vector<ftp_entry> got;
    std::string part; // the line not yet ended
    char buf[64 * 1024];
    const pace clock;
    uint64_t bytes = 0;
    int failed = 0;
    for (;;) {
        int n = net_sock_read(&d, buf, sizeof buf);
        if (n < 0) {
            failed = FAIL(VERR_DEV_IO_ERROR, "MLSD: read data net error");
            break;
        }
        bytes += (uint64_t)n;
        for (const char *p = buf, *end = buf + n; p < end;) {
            const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
            part.append(p, nl ? (size_t)(nl - p) : (size_t)(end - p));
            if (!nl)
                break;
            keep_mlsd_line(part, got);
            part.clear();
            p = nl + 1;
        }
        if (bytes + got.capacity() * sizeof(ftp_entry) > k_list_max) {
            failed = FAIL(VERR_DEV_IO_ERROR, "MLSD %s: listing larger than %zu MiB", dir.c_str(), k_list_max >> 20);
            break;
        }
        if ((size_t)n < sizeof buf) {
            if (d.disconnected) {
                keep_mlsd_line(part, got); // a last line without its end
                break;
            }
            if (n == 0) {
                failed = FAIL(VERR_TIMEOUT, "MLSD: read data timeout");
                break;
            }
        }
        if (clock.too_slow(bytes)) {
            failed = FAIL(VERR_DEV_IO_ERROR, "MLSD %s: the listing came slower than %llu KiB/s (%llu bytes in %llu ms)",
                          dir.c_str(), (unsigned long long)(k_min_rate >> 10), (unsigned long long)bytes,
                          (unsigned long long)clock.ms());
            break;
        }
    }
    net_close(&d);
    text.clear();
    r = ftp_reply(m, &text);
    if (failed)
        return -1;
    if (!ok_end(r))
        return FAIL_REPLY("MLSD", r, text);
    out = std::move(got);
    LOG_VERB(VFS_TAG, "MLSD %s: %llu bytes, %zu entries\n", dir.c_str(), (unsigned long long)bytes, out.size());
    for (const ftp_entry &e : out) {
        if (e.self)
            continue;
        os_file_stat_t st;
        fill_stat(m, e, entry_path(dir, e), &st);
        vfs_mcache_put_listed(m->mc, dir.c_str(), e.name.c_str(), &st);
    }
    vfs_mcache_set_listed(m->mc, dir.c_str(), started);
    return 0;
}

// A stable inode number for a server path (FNV-1a); never 0, which readers
// take for "no entry".
uint64_t ino_of(const std::string &path)
{
    uint64_t h = 1469598103934665603ull;
    for (char c : path)
        h = (h ^ (uint8_t)c) * 1099511628211ull;
    return h ? h : 1;
}

// The server path of entry e of directory dir.
std::string entry_path(const std::string &dir, const ftp_entry &e)
{
    if (e.self == 1)
        return dir;
    if (e.self == 2) {
        size_t cut = dir.rfind('/');
        return cut == 0 || cut == std::string::npos ? "/" : dir.substr(0, cut);
    }
    return dir == "/" ? "/" + e.name : dir + "/" + e.name;
}

// The stat record of entry e at server path `path`.
void fill_stat(const ftp_mnt *m, const ftp_entry &e, const std::string &path, os_file_stat_t *st)
{
    *st = os_file_stat_t{};
    st->ino = ino_of(path);
    st->type = e.type;
    st->mode = e.type == OS_FTYPE_DIR ? (S_IFDIR | 0755) : (S_IFREG | 0644);
    st->uid = m->uid;
    st->gid = m->gid;
    st->size = e.size;
    if (e.mtime >= 0) {
        st->mtime = st->atime = st->ctime = (uint64_t)e.mtime;
        st->mtime_ns = st->atime_ns = st->ctime_ns = e.mtime_ns;
    }
    st->nlink = 1;
    st->blksize = 4096;
    st->blocks = (e.size + 511) / 512;
}

// Stat of a mount path from its parent's listing. 0 / -1 (record filled).
int stat_path(ftp_mnt *m, const char *path, os_file_stat_t *st)
{
    std::string full;
    if (!st)
        return FAIL(VERR_INVALID_PARAMETER, "stat record missing");
    if (full_path(m, path, full) < 0)
        return -1;
    if (full == (m->root.empty() ? "/" : m->root)) {
        ftp_entry root;
        root.type = OS_FTYPE_DIR;
        root.mtime = m->mounted_at;
        fill_stat(m, root, full, st);
        st->nlink = 2;
        return 0;
    }
    // The file an upload is writing now is what that upload made it: asking
    // the server would end the transfer.
    if (m->active && m->active->write && m->active->path == full) {
        ftp_entry e;
        e.type = OS_FTYPE_FILE;
        e.size = (uint64_t)m->active->pos;
        e.mtime = (int64_t)time(nullptr);
        fill_stat(m, e, full, st);
        return 0;
    }
    size_t cut = full.rfind('/');
    std::string dir = cut == 0 ? "/" : full.substr(0, cut);
    std::string name = full.substr(cut + 1);
    vperror_t err{};
    int hit = vfs_mcache_get_stat(m->mc, full.c_str(), false, st, &err);
    if (hit == VFS_MC_MISS) {
        std::vector<ftp_entry> fresh;
        if (list_dir(m, dir, fresh) < 0)
            return -1;
        hit = VFS_MC_ABSENT;
        for (const ftp_entry &e : fresh) {
            if (!e.self && e.name == name) {
                fill_stat(m, e, full, st);
                hit = VFS_MC_HIT;
            }
        }
    }
    if (hit == VFS_MC_HIT)
        return 0;
    return FAIL(VERR_FILE_NOT_FOUND, "[%s] not found", path);
}

void *vfs_ftp_opendir(void *mp, const char *path, const char *)
{
    ftp_mnt *m = (ftp_mnt *)mp;
    std::lock_guard<std::mutex> g(m->mu);
    std::string full;
    if (full_path(m, path, full) < 0)
        return nullptr;
    ftp_dir *d = new (std::nothrow) ftp_dir;
    if (!d) {
        FAIL(VERR_NO_MEMORY, "memory allocation failed");
        return nullptr;
    }
    d->m = m;
    d->dir = full;
    if (list_dir(m, full, d->entries) < 0) {
        delete d;
        return nullptr;
    }
    return d;
}

os_dir_entry_t *vfs_ftp_readdir(void *dh)
{
    ftp_dir *d = (ftp_dir *)dh;
    errno = 0;
    if (d->next >= d->entries.size())
        return nullptr;
    const ftp_entry &e = d->entries[d->next++];
    d->ent = os_dir_entry_t{};
    fill_stat(d->m, e, entry_path(d->dir, e), &d->ent.st);
    str_safecopy(d->ent.name, sizeof d->ent.name, e.name.c_str());
    return &d->ent;
}

int vfs_ftp_closedir(void *dh)
{
    delete (ftp_dir *)dh;
    return 0;
}

} // namespace ftp_drv
