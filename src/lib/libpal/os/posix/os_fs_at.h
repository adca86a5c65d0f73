// os_fs_at: path calls resolved beneath a directory descriptor without
// following symbolic links, for a daemon that serves a directory to other
// users: every name it is handed is data, used byte for byte.
//
// A relative path is a sequence of names separated by "/" (leading and
// repeated separators are skipped, a backslash is an ordinary byte); "." and
// ".." are refused with EINVAL, a name longer than NAME_MAX with
// ENAMETOOLONG. An empty path (or "/") names the base directory itself.
// No component is followed when it is a symbolic link, the last one
// included: the kernel's openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS
// where it has it, else a walk of O_NOFOLLOW opens one name at a time (which
// also takes paths longer than the kernel's PATH_MAX). The last name is acted
// on through its parent's descriptor with the *at calls and
// AT_SYMLINK_NOFOLLOW.
//
// "Follow" forms (stat, access, truncate, and chmod, chown, utimes with
// follow 1) fail with ELOOP on a final symbolic link instead of following
// it; the other forms act on the link itself.
//
// Every call returns 0 (or a count or descriptor) on success and -1 with
// errno on failure; none logs. Thread-safe; descriptors are close-on-exec.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "libpal/os/posix/os_fs.h"

// Who a created node is given to, as the kernel would give it: the owner's
// uid, and its gid unless the parent directory has the set-group-id bit
// (then the parent's gid, and a new directory inherits the bit). A set-group-
// id bit asked for a file whose group the owner is not in is dropped.
struct os_owner_t {
    uint32_t uid;
    uint32_t gid;
    // 1 when the owner is a member of group gid (beside its own gid); may be
    // NULL (only the own gid counts). Asked only when it matters.
    int (*member)(uint32_t gid);
    // Set to 1 by a creating call that took the owner into account: a node
    // it made has exactly the mode asked, and one it found was left as it is.
    uint8_t used;
};

// The last name of a path and a descriptor of the directory holding it.
struct os_at_name_t {
    int dir;    // O_PATH descriptor of the parent (the base itself when owned is 0)
    int owned;  // 1 when dir is ours to close
    char name[NAME_MAX + 1]; // "." for the base itself
};

// Test seam: 0 makes every call walk name by name as on a kernel without
// openat2; 1 (the default) uses openat2 where the kernel has it.
void os_at_set_openat2(int on);
// 0 when rel is a relative path these calls take; -1 with EINVAL (NULL, "."
// or "..") or ENAMETOOLONG (a name longer than NAME_MAX).
int os_at_check(const char *rel);

// Descriptor of rel opened with host O_* flags and mode (O_NOFOLLOW and
// O_CLOEXEC added): a final symbolic link gives ELOOP, or with O_PATH the
// link itself. The caller closes it.
int os_at_open(int base, const char *rel, int oflags, uint32_t mode);
// Fills out with the parent descriptor and the last name of rel; release
// with os_at_release (also after a failure, which leaves dir -1).
int os_at_parent(int base, const char *rel, os_at_name_t *out);
void os_at_release(os_at_name_t *n);

// ---- creating (owner NULL: the node keeps the daemon's ownership and gets
// mode directly, subject to the process's mask; with an owner it is made with
// a private mode, given away, and only then gets exactly mode) -------------
// Opens rel with oflags (O_CREAT given), making the file when missing. A file
// that exists is opened as it is, without touching its owner or mode.
int os_at_create(int base, const char *rel, int oflags, uint32_t mode, os_owner_t *owner);
// mkdir: EEXIST for anything already there.
int os_at_mkdir(int base, const char *rel, uint32_t mode, os_owner_t *owner);
// mknod; the file type comes from mode (none: a regular file; S_IFIFO: a FIFO).
int os_at_mknod(int base, const char *rel, uint32_t mode, uint64_t dev, os_owner_t *owner);
// A symbolic link at rel holding target, unchanged.
int os_at_symlink(const char *target, int base, const char *rel, os_owner_t *owner);

// ---- names -----------------------------------------------------------------------
int os_at_link(int base, const char *from, const char *to); // from itself, never its target
int os_at_unlink(int base, const char *rel);
int os_at_rmdir(int base, const char *rel);
int os_at_remove(int base, const char *rel); // a file, or an empty directory
// replace 0: EEXIST when to exists, nothing moved (atomic where the file
// system can do it).
int os_at_rename(int base, const char *from, const char *to, int replace);
// At most n - 1 bytes of the link text, terminated; its length.
int os_at_readlink(int base, const char *rel, char *buf, size_t n);

// ---- attributes ---------------------------------------------------------------------
int os_at_stat(int base, const char *rel, os_file_stat_t *rec, int follow);
int os_at_access(int base, const char *rel, int mode);
int os_at_truncate(int base, const char *rel, int64_t size);
int os_at_chmod(int base, const char *rel, uint32_t mode, int follow);
int os_at_chown(int base, const char *rel, uint32_t uid, uint32_t gid, int follow);
// Access and modification pairs of times (both always set).
int os_at_utimes(int base, const char *rel, const os_file_times_t *times, int follow);
// statvfs figures of the file system holding rel (os_statvfs's order).
int os_at_statvfs(int base, const char *rel, uint64_t out[11]);
// The path of rel as the kernel resolved it beneath base (buffer of n).
int os_at_realpath(int base, const char *rel, char *buf, size_t n);

// ---- extended attributes of rel itself (never a link's target) ------------------------
ssize_t os_at_getxattr(int base, const char *rel, const char *name, void *buf, size_t n);
int os_at_setxattr(int base, const char *rel, const char *name, const void *value, size_t n, int flag);
int os_at_removexattr(int base, const char *rel, const char *name);
ssize_t os_at_listxattr(int base, const char *rel, char *buf, size_t n);

// ---- directories -----------------------------------------------------------------------
// A directory handle of rel (os_opendir_fd); flags as os_opendir_imp's.
os_dir_t *os_at_opendir(int base, const char *rel, const char *pattern, uint32_t flags);
