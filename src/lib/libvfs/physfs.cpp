// The "physfs" driver: mounts an archive (zip, 7z, ISO images and the other
// formats PhysicsFS reads) read-only. Each mount adds the archive to
// PhysicsFS's search path under its own mount point "/N" (N from a
// process-wide counter), and every name the mount is asked for is looked up
// as "/N" followed by that name, byte for byte; PhysicsFS itself refuses
// "." and ".." components, so no name leaves the archive.
//
// Only local URLs (plain paths and "file://") are taken, whose path ends
// with an archive extension or that carry "mount_fs=physfs", and "mem://"
// URLs, which name an archive held in this process's memory (only callers
// inside the program make those). Every entry shows the archive file's
// owner and its read permission (directories the matching search bits), so
// a user of the mount reads what the archive lets them read.
//
// A local archive is opened once at mount and the library reads it through
// a buffered stream of this driver's (see "the archive file as the library
// reads it"): it answers stats and listings from the archive's index, read
// once at mount, and each member's header costs no system call of its own.
//
// A read checks the library's error state after every call: PhysicsFS can
// hand out a count (or 0 before the member's end) while it records that the
// data was corrupt or its compression method unknown; such a read is EIO,
// never the bytes it produced.
//
// Threads: PhysicsFS serialises its search path and keeps its error code per
// thread; a file or directory handle is used by one thread at a time.
#include "libvfs/physfs_imp.h"

namespace physfs_drv {

// Process-wide mount number; the lock keeps a number from being taken twice
// when two threads mount at once. s_live counts the mounts not yet unmounted:
// stopping the library under them would free files they still use.
std::mutex s_mount_mu;
int32_t s_mount_num;
int32_t s_live;

// Links are refused process-wide except while a listing enumerates (see
// physfs_opendir). Lookups that must not follow a link hold this shared; the
// listing's window holds it exclusively, so no stat or open on another
// thread runs while links are allowed.
std::shared_mutex s_link_mu;

// ---- allocations of 7z opens -----------------------------------------------------
//
// PhysicsFS's 7z reader unpacks a member into a memory stream on every open
// and never frees that stream (its buffer, the size of the member, and two
// small records) when the file is closed. So the library's allocations go
// through these hooks: the ones made while a member of a 7z archive is being
// opened are tagged with that open, every free untags, and what is still
// tagged once the file is closed is exactly what the library dropped, which
// physfs_close then frees. Allocations made at any other time are only
// passed through.

struct alloc_tags {
    std::mutex mu;
    std::unordered_map<void *, const void *> owner; // live tagged pointer -> its open
};

// Never destroyed: the library may free after static destructors ran.
alloc_tags &tags()
{
    static alloc_tags *t = new alloc_tags;
    return *t;
}

// The open running on this thread (a physfs_fh), or NULL.
thread_local const void *t_opening;

// Tags p with tag; false when the table could not grow.
bool tag_ptr(void *p, const void *tag)
{
    try {
        std::lock_guard<std::mutex> g(tags().mu);
        tags().owner[p] = tag;
        return true;
    } catch (...) {
        return false;
    }
}

void *hook_malloc(PHYSFS_uint64 n)
{
    if (n > SIZE_MAX)
        return nullptr;
    void *p = malloc(n ? (size_t)n : 1);
    if (p && t_opening && !tag_ptr(p, t_opening)) {
        free(p);
        return nullptr;
    }
    return p;
}

void *hook_realloc(void *old, PHYSFS_uint64 n)
{
    if (!old)
        return hook_malloc(n);
    if (n > SIZE_MAX)
        return nullptr;
    const void *tag = nullptr;
    {
        std::lock_guard<std::mutex> g(tags().mu);
        auto it = tags().owner.find(old);
        if (it != tags().owner.end()) {
            tag = it->second;
            tags().owner.erase(it);
        }
    }
    if (!tag)
        tag = t_opening;
    void *p = realloc(old, n ? (size_t)n : 1);
    // A block the table cannot take stays untagged: a leak, never a double free.
    if (tag)
        tag_ptr(p ? p : old, tag);
    return p;
}

void hook_free(void *p)
{
    if (!p)
        return;
    {
        // Untagged before the block can be handed out again.
        std::lock_guard<std::mutex> g(tags().mu);
        tags().owner.erase(p);
    }
    free(p);
}

// Frees what the open tag made and the library left behind.
void free_tagged(const void *tag)
{
    std::vector<void *> left;
    {
        std::lock_guard<std::mutex> g(tags().mu);
        for (auto it = tags().owner.begin(); it != tags().owner.end();) {
            if (it->second == tag) {
                try {
                    left.push_back(it->first);
                } catch (...) {
                    ++it; // kept tagged: freed by nobody, never twice
                    continue;
                }
                it = tags().owner.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (void *p : left)
        free(p);
}

// Drops the tags of an open without freeing (an open that failed: what it
// left is not known to be garbage).
void untag(const void *tag)
{
    std::lock_guard<std::mutex> g(tags().mu);
    std::erase_if(tags().owner, [tag](const auto &kv) { return kv.second == tag; });
}

const PHYSFS_Allocator k_allocator = {nullptr, nullptr, hook_malloc, hook_realloc, hook_free};

// True when the archive starts with the 7z signature (the file open at fd,
// or the memory block).
bool is_7z(int fd, const void *mem, size_t mem_len)
{
    unsigned char head[sizeof(k_7z_magic)];
    if (mem) {
        return mem_len >= sizeof(head) && memcmp(mem, k_7z_magic, sizeof(head)) == 0;
    }
    ssize_t n = pread(fd, head, sizeof(head), 0);
    return n == (ssize_t)sizeof(head) && memcmp(head, k_7z_magic, sizeof(head)) == 0;
}

// ---- errors ------------------------------------------------------------------------

// PhysicsFS's error codes as platform status codes (their errno through
// verr_2_posix is what a FUSE caller sees).
int status_of(PHYSFS_ErrorCode c)
{
    switch (c) {
    case PHYSFS_ERR_OUT_OF_MEMORY:
        return VERR_NO_MEMORY;
    case PHYSFS_ERR_NOT_FOUND:
    case PHYSFS_ERR_NOT_MOUNTED:
        return VERR_FILE_NOT_FOUND;
    case PHYSFS_ERR_READ_ONLY:
    case PHYSFS_ERR_NO_WRITE_DIR:
        return VERR_WRITE_PROTECT;
    case PHYSFS_ERR_OPEN_FOR_READING:
    case PHYSFS_ERR_OPEN_FOR_WRITING:
        return VERR_INVALID_HANDLE;
    case PHYSFS_ERR_NOT_A_FILE:
        return VERR_IS_A_DIRECTORY;
    case PHYSFS_ERR_SYMLINK_FORBIDDEN:
    case PHYSFS_ERR_SYMLINK_LOOP:
        return VERR_TOO_MANY_SYMLINKS;
    case PHYSFS_ERR_PERMISSION:
    case PHYSFS_ERR_BAD_PASSWORD:
        return VERR_ACCESS_DENIED;
    case PHYSFS_ERR_NO_SPACE:
        return VERR_DISK_FULL;
    case PHYSFS_ERR_BUSY:
    case PHYSFS_ERR_FILES_STILL_OPEN:
        return VERR_RESOURCE_BUSY;
    case PHYSFS_ERR_DIR_NOT_EMPTY:
        return VERR_DIR_NOT_EMPTY;
    case PHYSFS_ERR_DUPLICATE:
        return VERR_ALREADY_EXISTS;
    case PHYSFS_ERR_INVALID_ARGUMENT:
    case PHYSFS_ERR_BAD_FILENAME:
    case PHYSFS_ERR_PAST_EOF:
    case PHYSFS_ERR_ARGV0_IS_NULL:
        return VERR_INVALID_PARAMETER;
    default: // corrupt or unsupported archives, i/o and the rest
        return VERR_DEV_IO_ERROR;
    }
}

// PhysicsFS's text of a code (static).
const char *text_of(PHYSFS_ErrorCode c)
{
    const char *t = c == PHYSFS_ERR_OK ? nullptr : PHYSFS_getErrorByCode(c);
    return t ? t : "archive library failed without a reason";
}

void fail(vperror_t *err, int line, const char *func, int code, const char *fmt, ...)
{
    if (!err)
        return;
    char msg[VPERROR_MSG_SIZE];
    va_list va;
    va_start(va, fmt);
    str_vsprintf_s2(msg, sizeof(msg), fmt, va);
    va_end(va);
    vperror_set(err, __FILE__, line, func, code, "%s", msg);
}

// Records the failure PhysicsFS reported for the calling thread (its code
// is taken, and so cleared). A failure that left no code is still one. The
// text recorded (static).
const char *fail_physfs(vperror_t *err, int line, const char *func)
{
    PHYSFS_ErrorCode c = PHYSFS_getLastErrorCode();
    const char *why = text_of(c);
    fail(err, line, func, c == PHYSFS_ERR_OK ? VERR_DEV_IO_ERROR : status_of(c), "%s", why);
    return why;
}

// ---- names -------------------------------------------------------------------------

// "/N" followed by path (a '/' put between when path lacks one) into out.
// 0, or -1 recorded.
int full_name(physfs_mnt *m, const char *path, std::string &out, const char *func)
{
    if (!path) {
        fail(vfs_err_rec(), __LINE__, func, VERR_INVALID_PARAMETER, "path missing");
        return -1;
    }
    size_t len = strlen(path);
    if (len >= PL_MAX_PATH) {
        fail(vfs_err_rec(), __LINE__, func, VERR_FILENAME_TOO_LONG, "path too long");
        return -1;
    }
    try {
        out = "/" + std::to_string(m->num);
        if (*path != '/')
            out += '/';
        out.append(path, len);
    } catch (...) {
        fail(vfs_err_rec(), __LINE__, func, VERR_NO_MEMORY, "no memory for the path");
        return -1;
    }
    // A trailing '/' names the same entry (and must hash as it).
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return 0;
}

// A stable inode number for a name inside the archive (FNV-1a over the name
// with its separators squeezed); never 0, which readers take for "no entry".
uint64_t ino_of(const std::string &name)
{
    uint64_t h = 1469598103934665603ull;
    char prev = 0;
    for (char c : name) {
        if (c == '/' && prev == '/')
            continue;
        h = (h ^ (uint8_t)c) * 1099511628211ull;
        prev = c;
    }
    return h ? h : 1;
}

// The portable stat record of an archive entry.
void fill_stat(const physfs_mnt *m, const PHYSFS_Stat &ps, const std::string &name, os_file_stat_t *st)
{
    memset(st, 0, sizeof(*st));
    bool dir = ps.filetype == PHYSFS_FILETYPE_DIRECTORY;
    st->type = dir ? OS_FTYPE_DIR : OS_FTYPE_FILE;
    st->mode = (dir ? S_IFDIR | m->dmode : S_IFREG | m->fmode);
    st->uid = m->uid;
    st->gid = m->gid;
    st->size = !dir && ps.filesize > 0 ? (uint64_t)ps.filesize : 0;
    // The root is PhysicsFS's mount point, which has no time of its own.
    bool root = name.find('/', 1) == std::string::npos;
    int64_t mt = root || ps.modtime < 0 ? m->mtime : ps.modtime;
    st->mtime = (uint64_t)mt;
    st->atime = (uint64_t)(root || ps.accesstime < 0 ? mt : ps.accesstime);
    st->ctime = (uint64_t)(root || ps.createtime < 0 ? mt : ps.createtime);
    st->nlink = dir ? 2 : 1;
    st->ino = ino_of(name);
    st->blksize = 4096;
    st->blocks = (st->size + 511) / 512;
}

// PHYSFS_stat of a full name into st. 0, or -1 recorded (a missing name is
// -102).
int stat_name(physfs_mnt *m, const std::string &name, os_file_stat_t *st, const char *func)
{
    PHYSFS_Stat ps;
    int ok;
    {
        std::shared_lock<std::shared_mutex> g(s_link_mu);
        ok = PHYSFS_stat(name.c_str(), &ps);
    }
    if (!ok) {
        fail_physfs(vfs_err_rec(), __LINE__, func);
        return -1;
    }
    fill_stat(m, ps, name, st);
    return 0;
}

// The local path a URL names ("file://" is followed by the path itself, as
// the local driver reads it). 0, or -1.
int local_path(const char *url, char (&out)[URL_FIELD_SIZE])
{
    const char *text = str_istart_with(url, "file://") ? url + 7 : url;
    return url_get_path(text, out) == 0 && *out ? 0 : -1;
}

// ---- slots -------------------------------------------------------------------------

int physfs_init(void)
{
    LOG_VERB(VFS_TAG, "==>\n");
    {
        // Kept running by an exit that found mounts still open.
        std::lock_guard<std::mutex> g(s_mount_mu);
        if (s_live > 0 && PHYSFS_isInit())
            return 0;
    }
    // Before init, which the library requires.
    if (!PHYSFS_isInit() && !PHYSFS_setAllocator(&k_allocator)) {
        LOG_ERR(VFS_TAG, "error: %s\n", text_of(PHYSFS_getLastErrorCode()));
        return -1;
    }
    if (!PHYSFS_init(nullptr)) {
        LOG_ERR(VFS_TAG, "error: %s\n", text_of(PHYSFS_getLastErrorCode()));
        return -1;
    }
    // A link inside an archive (or a mounted directory) is never followed.
    PHYSFS_permitSymbolicLinks(0);
    return 0;
}

int physfs_exit(void)
{
    std::lock_guard<std::mutex> g(s_mount_mu);
    if (s_live > 0) {
        LOG_WARN(VFS_TAG, "%d archive mounts still open: archive library kept running\n", (int)s_live);
        return 0;
    }
    PHYSFS_deinit();
    return 0;
}

// 0 for a local URL whose path ends with an archive extension (any case) or
// that asks for this driver ("mount_fs=physfs"), and for every "mem://" URL.
int physfs_match(const char *url)
{
    if (url_is_mem(url))
        return 0;
    if (url_get_type(url) != URL_TYPE_FILE)
        return -1;
    char path[URL_FIELD_SIZE];
    if (local_path(url, path) == 0) {
        size_t len = strlen(path);
        for (const PHYSFS_ArchiveInfo **i = PHYSFS_supportedArchiveTypes(); i && *i; i++) {
            const char *ext = (*i)->extension;
            size_t n = strlen(ext);
            if (len > n && path[len - n - 1] == '.' && strcasecmp(path + len - n, ext) == 0)
                return 0;
        }
    }
    char fs[64];
    url_get_query_buf(url, "mount_fs", "", fs, sizeof(fs));
    return strcmp(fs, "physfs") == 0 ? 0 : -1;
}

void physfs_free_mnt(physfs_mnt *m)
{
    if (m) {
        os_free(m->name);
        os_free(m);
    }
}

void *physfs_mount(const char *url, void *, vperror_t *err, vfs_mount_ctx *)
{
    std::unique_ptr<physfs_mnt, void (*)(physfs_mnt *)> m((physfs_mnt *)os_zalloc(sizeof(physfs_mnt)),
                                                          physfs_free_mnt);
    if (!m) {
        fail(err, __LINE__, __func__, VERR_NO_MEMORY, "no memory for the mount");
        return nullptr;
    }
    std::lock_guard<std::mutex> g(s_mount_mu);
    m->num = s_mount_num;
    char point[32];
    str_sprintf_s(point, sizeof(point), "/%d", m->num);
    char name[URL_FIELD_SIZE];
    std::shared_ptr<arc_fd> file; // a local archive's descriptor
    const void *mem = nullptr;
    size_t mem_len = 0;
    if (url_is_mem(url)) {
        void *p = nullptr;
        if (url_mem_parse(url, &p, &mem_len) != 0 || !p) {
            fail(err, __LINE__, __func__, VERR_INVALID_PARAMETER, "url [%s] invalid", url);
            return nullptr;
        }
        mem = p;
        char type[64];
        url_get_query_buf(url, "ftype", "zip", type, sizeof(type));
        str_sprintf_s(name, sizeof(name), "%d.%s", m->num, type);
        m->uid = (uint32_t)getuid();
        m->gid = (uint32_t)getgid();
        m->fmode = 0444;
        m->mtime = (int64_t)time(nullptr);
        m->size = mem_len;
    } else {
        if (local_path(url, name) != 0) {
            fail(err, __LINE__, __func__, VERR_INVALID_PARAMETER, "url [%s] names no archive", url);
            return nullptr;
        }
        // PhysicsFS takes a second mount of the same name for a success and
        // adds nothing; the mount point would then be empty.
        if (const char *at = PHYSFS_getMountPoint(name)) {
            fail(err, __LINE__, __func__, VERR_RESOURCE_BUSY, "[%s] is already mounted at %s", name, at);
            return nullptr;
        }
        // Opened once here and read through a stream of this driver's
        // (above). Only an archive file (or a device holding an image): a
        // directory is no archive, and a FIFO would block the mount.
        int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            PHYSFS_ErrorCode c = open_code(errno);
            fail(err, __LINE__, __func__, status_of(c), "%s", text_of(c));
            LOG_ERR(VFS_TAG, "mount [%s] error: %s\n", name, text_of(c));
            return nullptr;
        }
        try {
            file = std::make_shared<arc_fd>(fd, 0);
        } catch (...) {
            close(fd);
            fail(err, __LINE__, __func__, VERR_NO_MEMORY, "no memory for the mount");
            return nullptr;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            fail(err, __LINE__, __func__, VERR_DEV_IO_ERROR, "%s", text_of(PHYSFS_ERR_IO));
            return nullptr;
        }
        if (S_ISDIR(st.st_mode)) {
            fail(err, __LINE__, __func__, VERR_IS_A_DIRECTORY, "is a directory, not an archive");
            return nullptr;
        }
        if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
            fail(err, __LINE__, __func__, VERR_INVALID_PARAMETER, "not a regular file");
            return nullptr;
        }
        // A device's size is where its end lies.
        off_t end = lseek(fd, 0, SEEK_END);
        file->size = end > 0 ? (uint64_t)end : 0;
        m->uid = st.st_uid;
        m->gid = st.st_gid;
        m->fmode = st.st_mode & 0444;
        m->mtime = (int64_t)st.st_mtime;
        m->size = file->size;
    }
    m->dmode = m->fmode | (m->fmode >> 2);
    m->track_opens = is_7z(file ? file->fd : -1, mem, mem_len);
    m->name = os_strdup(name);
    if (!m->name) {
        fail(err, __LINE__, __func__, VERR_NO_MEMORY, "no memory for the mount");
        return nullptr;
    }
    PHYSFS_Io *io = nullptr;
    if (file && !(io = stream_new(file, 0))) {
        fail(err, __LINE__, __func__, VERR_NO_MEMORY, "no memory for the mount");
        return nullptr;
    }
    if (!(mem ? PHYSFS_mountMemory(mem, mem_len, nullptr, name, point, 1) : PHYSFS_mountIo(io, name, point, 1))) {
        const char *why = fail_physfs(err, __LINE__, __func__);
        LOG_ERR(VFS_TAG, "mount [%s] error: %s\n", name, why);
        // A stream the library refused is still the caller's.
        if (io)
            stream_destroy(io);
        return nullptr;
    }
    // Archivers tried before the one that took it leave their codes behind.
    PHYSFS_getLastErrorCode();
    s_mount_num++;
    s_live++;
    LOG_VERB(VFS_TAG, "archive=[%s] at %s\n", name, point);
    return m.release();
}

int physfs_umount(void *mp)
{
    physfs_mnt *m = (physfs_mnt *)mp;
    int r = 0;
    if (!PHYSFS_unmount(m->name)) {
        LOG_ERR(VFS_TAG, "unmount2 [%s] error: %s\n", m->name, text_of(PHYSFS_getLastErrorCode()));
        r = -1;
    }
    physfs_free_mnt(m);
    std::lock_guard<std::mutex> g(s_mount_mu);
    s_live--;
    return r;
}

int physfs_get_readonly(void *, uint32_t *ro)
{
    if (ro)
        *ro = 1;
    return 0;
}

// The stat record of a path code's name (the first word of every record
// code but 3 is the path). 0, or -1 recorded.
int stat_arg(physfs_mnt *m, const char *path, os_file_stat_t *st, const char *func)
{
    std::string name;
    if (full_name(m, path, name, func) != 0)
        return -1;
    return stat_name(m, name, st, func);
}

int64_t physfs_ioctl(void *h, int code, void *arg, int64_t)
{
    // File-handle codes (renames, mode and owner changes) have nothing to act on.
    if (code >= VFS_IOC_FRENAME) {
        FAIL(VERR_NOT_IMPLEMENTED, "code %d not supported by the physfs driver", code);
        return -1;
    }
    physfs_mnt *m = (physfs_mnt *)h;
    if (!arg) {
        FAIL(VERR_INVALID_PARAMETER, "argument of code %d missing", code);
        return -1;
    }
    os_file_stat_t st;
    switch (code) {
    case VFS_IOC_GET_OS_TYPE:
        *(uint32_t *)arg = k_os_type;
        return 0;
    case VFS_IOC_STATVFS: {
        // A read-only volume the size of the archive, nothing free.
        vfs_ioc_statvfs_t *a = (vfs_ioc_statvfs_t *)arg;
        if (!a->out) {
            FAIL(VERR_INVALID_PARAMETER, "statvfs record missing");
            return -1;
        }
        if (stat_arg(m, a->path, &st, __func__) != 0)
            return -1;
        os_statfs_t f{};
        f.f_bsize = f.f_frsize = 4096;
        f.f_blocks = (m->size + 4095) / 4096;
        f.f_namemax = 255;
        f.f_flag = ST_RDONLY;
        memcpy(a->out, &f, sizeof(f));
        return 0;
    }
    case VFS_IOC_STAT:
    case VFS_IOC_LSTAT: {
        vfs_ioc_stat_t *a = (vfs_ioc_stat_t *)arg;
        if (!a->st) {
            FAIL(VERR_INVALID_PARAMETER, "stat record missing");
            return -1;
        }
        return stat_arg(m, a->path, a->st, __func__);
    }
    case VFS_IOC_ACCESS: {
        vfs_ioc_path_u32_t *a = (vfs_ioc_path_u32_t *)arg;
        if (stat_arg(m, a->path, &st, __func__) != 0)
            return -1;
        if (a->value & W_OK) {
            FAIL(VERR_WRITE_PROTECT, "archive is read-only");
            return -1;
        }
        if ((a->value & X_OK) && st.type != OS_FTYPE_DIR) {
            FAIL(VERR_ACCESS_DENIED, "not executable");
            return -1;
        }
        return 0;
    }
    case VFS_IOC_GETXATTR:
    case VFS_IOC_LISTXATTR: {
        // Archive entries carry no extended attributes: their list is
        // empty, and asking for one is not implemented here, which tells
        // the kernel to stop asking on this mount (ls -l would otherwise
        // ask twice a file).
        const char *path = *(const char *const *)arg;
        if (stat_arg(m, path, &st, __func__) != 0)
            return -1;
        if (code == VFS_IOC_LISTXATTR)
            return 0;
        FAIL(VERR_NOT_IMPLEMENTED, "archives carry no extended attributes");
        return -1;
    }
    default:
        FAIL(VERR_NOT_IMPLEMENTED, "code %d not supported by the physfs driver", code);
        return -1;
    }
}

constexpr vfs_drv k_physfs_drv = {
    .id = VFS_DRV_PHYSFS,
    .name = "physfs",
    .init = physfs_init,
    .exit = physfs_exit,
    .match = physfs_match,
    .mount = physfs_mount,
    .umount = physfs_umount,
    .statfs = nullptr,
    .get_readonly = physfs_get_readonly,
    .open = physfs_open,
    .wopen = nullptr,
    .open2 = nullptr,
    .close = physfs_close,
    .read = physfs_read,
    .write = physfs_write,
    .fsync = nullptr,
    .lseek = physfs_lseek,
    .fstat = physfs_fstat,
    .ftruncate = nullptr,
    .futime = nullptr,
    .flock = nullptr,
    .opendir = physfs_opendir,
    .readdir = physfs_readdir,
    .seekdir = nullptr,
    .telldir = nullptr,
    .closedir = physfs_closedir,
    .ioctl = physfs_ioctl,
};

} // namespace physfs_drv

const vfs_drv *vfs_physfs_drv_get(void) { return &physfs_drv::k_physfs_drv; }
