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
#include <fcntl.h>
#include <physfs.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "libpal/string/str_glob.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libpal/vfile/os_file2.h"
#include "liblog/log2.h"
#include "libvfs/vfs_imp.h"
#include "libzkcli/client.h"

namespace {

// Answer of code 6 (vfs_get_os_type) for an archive.
constexpr uint32_t k_os_type = 1;

// PhysicsFS keeps a member's read position in 32 bits: a read that takes it
// past this offset wraps it and later reads serve bytes from elsewhere in
// the archive. Bytes of a larger member from here on are refused.
constexpr uint64_t k_lib_pos_max = 0xFFFFFFFFull;

// The signature that starts a 7z archive.
constexpr unsigned char k_7z_magic[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

struct physfs_mnt {
    int32_t num;        // mount number: PhysicsFS mount point "/num"
    char *name;         // the name PhysicsFS knows the archive by (owned)
    uint32_t uid, gid;  // shown as every entry's owner
    uint32_t fmode;     // permission bits of files; directories add search bits
    uint32_t dmode;
    int64_t mtime;      // shown where the archive gives no time
    uint64_t size;      // of the archive, for statvfs
    bool track_opens;   // a 7z archive: see the allocation hooks below
};

struct physfs_fh {
    physfs_mnt *m;
    PHYSFS_File *f;
    std::string path;   // "/N/name", for fstat
    uint64_t pos = 0;   // where a read at -1 starts (the library's own
                        // position wraps past 4 GiB)
};

struct physfs_dh {
    physfs_mnt *m;
    std::string path;                // "/N/dir" without a trailing '/'
    std::string rel;                 // the directory as the caller named it
    std::vector<std::string> names;  // ".", "..", then the archive's entries
    size_t next = 0;
    os_dir_entry_t entry{};
};

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

// Records a failure in err: the mount slot's own record while mounting, the
// calling thread's record (vfs_err_rec) for every later call.
void fail(vperror_t *err, int line, const char *func, int code, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
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

#define FAIL(code, ...) fail(vfs_err_rec(), __LINE__, __func__, (code), __VA_ARGS__)
#define FAIL_PHYSFS() fail_physfs(vfs_err_rec(), __LINE__, __func__)

// ---- the archive file as the library reads it -------------------------------------
//
// PhysicsFS reads an archive through a stream record (PHYSFS_Io). Its own
// stream over a local file reads straight from the descriptor, and the zip
// reader takes the central directory at mount, and a member's local header
// the first time the member is looked up, as runs of 2- and 4-byte reads
// after a seek: about ten system calls a member. The stream here reads the
// archive in aligned blocks into a buffer of its own, so that such runs,
// forwards or backwards, cost one pread a block; a read of a block or more
// goes straight to the file.
//
// The library duplicates the stream for every member it opens. All streams
// of one archive share its descriptor, each with its own position and
// buffer: pread leaves the descriptor's offset alone, so they never disturb
// each other. A stream is used by one thread at a time (the library's lock,
// or the one reader of an open member).

constexpr uint64_t k_io_block = 16 * 1024;

// The archive's descriptor and size, closed with the last stream using it.
struct arc_fd {
    int fd;
    uint64_t size;
    arc_fd(int f, uint64_t n) : fd(f), size(n) {}
    arc_fd(const arc_fd &) = delete;
    arc_fd &operator=(const arc_fd &) = delete;
    ~arc_fd() { close(fd); }
};

struct arc_stream {
    std::shared_ptr<arc_fd> file;
    uint64_t pos = 0;            // where the next read starts
    uint64_t blk_off = 0;        // archive offset of buf[0]
    uint64_t blk_len = 0;        // bytes of buf holding the archive; 0: none
    std::unique_ptr<char[]> buf; // k_io_block bytes, made by the first small read
};

arc_stream *stream_of(PHYSFS_Io *io) { return (arc_stream *)io->opaque; }

// Up to len bytes of the archive at off into dst, over interrupted and
// short reads. The count (short only where the file ends), or -1.
int64_t pread_full(int fd, char *dst, uint64_t len, uint64_t off)
{
    uint64_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, dst + got, (size_t)std::min<uint64_t>(len - got, SSIZE_MAX), (off_t)(off + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (uint64_t)n;
    }
    return (int64_t)got;
}

// Reads up to len bytes at the stream's position: the bytes count (0 at
// the end, short where the file ended before the size it had at mount), or
// -1 with the library's error set when nothing could be read.
PHYSFS_sint64 stream_read(PHYSFS_Io *io, void *dst, PHYSFS_uint64 len)
{
    arc_stream *s = stream_of(io);
    const uint64_t size = s->file->size;
    if (s->pos >= size)
        return 0;
    len = std::min<uint64_t>({len, size - s->pos, (uint64_t)INT64_MAX});
    char *out = (char *)dst;
    uint64_t got = 0;
    while (got < len) {
        if (s->blk_len && s->pos >= s->blk_off && s->pos - s->blk_off < s->blk_len) {
            uint64_t n = std::min<uint64_t>(len - got, s->blk_len - (s->pos - s->blk_off));
            memcpy(out + got, s->buf.get() + (s->pos - s->blk_off), n);
            got += n;
            s->pos += n;
            continue;
        }
        PHYSFS_ErrorCode why = PHYSFS_ERR_IO;
        if (len - got >= k_io_block) {
            int64_t n = pread_full(s->file->fd, out + got, len - got, s->pos);
            if (n >= 0) {
                got += (uint64_t)n;
                s->pos += (uint64_t)n;
                break; // all of it, or the file ended
            }
        } else if (!s->buf && !(s->buf = std::unique_ptr<char[]>(new (std::nothrow) char[k_io_block]))) {
            why = PHYSFS_ERR_OUT_OF_MEMORY;
        } else {
            uint64_t at = s->pos - s->pos % k_io_block;
            s->blk_len = 0;
            int64_t n = pread_full(s->file->fd, s->buf.get(), k_io_block, at);
            if (n >= 0) {
                s->blk_off = at;
                s->blk_len = (uint64_t)n;
                if (s->pos - at >= (uint64_t)n)
                    break; // the file ended before the block reached pos
                continue;
            }
        }
        if (got)
            break; // what was read; the next read meets the failure again
        PHYSFS_setErrorCode(why);
        return -1;
    }
    return (PHYSFS_sint64)got;
}

PHYSFS_sint64 stream_write(PHYSFS_Io *, const void *, PHYSFS_uint64)
{
    PHYSFS_setErrorCode(PHYSFS_ERR_READ_ONLY);
    return -1;
}

// A position past the end is refused, as the library expects.
int stream_seek(PHYSFS_Io *io, PHYSFS_uint64 off)
{
    arc_stream *s = stream_of(io);
    if (off > s->file->size) {
        PHYSFS_setErrorCode(PHYSFS_ERR_PAST_EOF);
        return 0;
    }
    s->pos = off;
    return 1;
}

PHYSFS_sint64 stream_tell(PHYSFS_Io *io) { return (PHYSFS_sint64)stream_of(io)->pos; }

PHYSFS_sint64 stream_length(PHYSFS_Io *io) { return (PHYSFS_sint64)stream_of(io)->file->size; }

PHYSFS_Io *stream_new(const std::shared_ptr<arc_fd> &file, uint64_t pos);

PHYSFS_Io *stream_duplicate(PHYSFS_Io *io)
{
    arc_stream *s = stream_of(io);
    PHYSFS_Io *d = stream_new(s->file, s->pos);
    if (!d)
        PHYSFS_setErrorCode(PHYSFS_ERR_OUT_OF_MEMORY);
    return d;
}

int stream_flush(PHYSFS_Io *) { return 1; }

void stream_destroy(PHYSFS_Io *io)
{
    delete stream_of(io);
    delete io;
}

constexpr PHYSFS_Io k_stream = {0,           nullptr,          stream_read,      stream_write, stream_seek,
                                stream_tell, stream_length,    stream_duplicate, stream_flush, stream_destroy};

// A new stream over file at pos (the caller's until handed to the library,
// stream_destroy frees it), or NULL without memory.
PHYSFS_Io *stream_new(const std::shared_ptr<arc_fd> &file, uint64_t pos)
{
    arc_stream *s = new (std::nothrow) arc_stream;
    PHYSFS_Io *io = s ? new (std::nothrow) PHYSFS_Io(k_stream) : nullptr;
    if (!io) {
        delete s;
        return nullptr;
    }
    s->file = file;
    s->pos = pos;
    io->opaque = s;
    return io;
}

// The library's code for a failed open of the archive file.
PHYSFS_ErrorCode open_code(int e)
{
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return PHYSFS_ERR_NOT_FOUND;
    case EACCES:
    case EPERM:
        return PHYSFS_ERR_PERMISSION;
    case ELOOP:
        return PHYSFS_ERR_SYMLINK_LOOP;
    case ENOMEM:
        return PHYSFS_ERR_OUT_OF_MEMORY;
    default:
        return PHYSFS_ERR_IO;
    }
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
int local_path(const char *url, char *out)
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

} // namespace

const vfs_drv *vfs_physfs_drv_get(void) { return &k_physfs_drv; }
