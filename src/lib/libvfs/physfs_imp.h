// Private to the "physfs" driver (physfs.cpp: the library's set-up, mounts,
// errors, names and the path codes; physfs_stream.cpp: the archive file as
// the library reads it; physfs_ops.cpp: the file and directory handles):
// the mount and handle records, the process-wide state and the functions
// the pieces share. See physfs.cpp for how the driver works.
#pragma once
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

namespace physfs_drv {


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

// Process-wide state (physfs.cpp): the mount number and its lock, the live
// mounts, and the lock of the window in which links are allowed.
extern std::mutex s_mount_mu;
extern int32_t s_mount_num;
extern int32_t s_live;
extern std::shared_mutex s_link_mu;

// Allocations of 7z opens (physfs.cpp).
struct alloc_tags;
alloc_tags &tags();
// The open running on this thread (a physfs_fh), or NULL.
extern thread_local const void *t_opening;
// Frees what is still tagged with tag (what the library dropped).
void free_tagged(const void *tag);
// Drops the tags of tag without freeing.
void untag(const void *tag);
extern const PHYSFS_Allocator k_allocator;
// True when the archive starts with the 7z signature (the file open at fd,
// or the memory block).
bool is_7z(int fd, const void *mem, size_t mem_len);

// Errors (physfs.cpp).
// PhysicsFS's error codes as platform status codes.
int status_of(PHYSFS_ErrorCode c);
// PhysicsFS's text of a code (static).
const char *text_of(PHYSFS_ErrorCode c);
// Records a failure in err: the mount slot's own record while mounting, the
// calling thread's record (vfs_err_rec) for every later call.
void fail(vperror_t *err, int line, const char *func, int code, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
// Records the failure PhysicsFS reported for the calling thread; the text
// recorded (static).
const char *fail_physfs(vperror_t *err, int line, const char *func);
#define FAIL(code, ...) fail(vfs_err_rec(), __LINE__, __func__, (code), __VA_ARGS__)
#define FAIL_PHYSFS() fail_physfs(vfs_err_rec(), __LINE__, __func__)

// The archive file as the library reads it (physfs_stream.cpp).
// The archive's descriptor and size, closed with the last stream using it.
struct arc_fd {
    int fd;
    uint64_t size;
    arc_fd(int f, uint64_t n) : fd(f), size(n) {}
    arc_fd(const arc_fd &) = delete;
    arc_fd &operator=(const arc_fd &) = delete;
    ~arc_fd() { close(fd); }
};
// A new stream over file at pos (the caller's until handed to the library),
// or NULL without memory.
PHYSFS_Io *stream_new(const std::shared_ptr<arc_fd> &file, uint64_t pos);
// Frees a stream the library was not handed.
void stream_destroy(PHYSFS_Io *io);
// The library's code for a failed open of the archive file.
PHYSFS_ErrorCode open_code(int e);

// Names (physfs.cpp).
// "/N" followed by path into out. 0, or -1 recorded.
int full_name(physfs_mnt *m, const char *path, std::string &out, const char *func);
// A stable inode number for a name inside the archive; never 0.
uint64_t ino_of(const std::string &name);
// The stat record of entry name (as PhysicsFS knows it).
void fill_stat(const physfs_mnt *m, const PHYSFS_Stat &ps, const std::string &name, os_file_stat_t *st);
// The stat record of name. 0, or -1 recorded.
int stat_name(physfs_mnt *m, const std::string &name, os_file_stat_t *st, const char *func);

// The handles' slots (physfs_ops.cpp).
void *physfs_open(void *mp, const char *path, uint32_t pf);
int physfs_close(void *fh);
int64_t physfs_read(void *fh, void *buf, uint64_t len, int64_t off);
int64_t physfs_write(void *fh, const void *buf, uint64_t len, int64_t off);
int64_t physfs_lseek(void *fh, int64_t off, int whence);
int physfs_fstat(void *fh, os_file_stat_t *st);
void *physfs_opendir(void *mp, const char *path, const char *pattern);
os_dir_entry_t *physfs_readdir(void *dh);
int physfs_closedir(void *dh);

} // namespace physfs_drv
