// os_fs: the portable stat, statfs and directory records and the thin path
// calls over POSIX (stat, links, directories, removal, zz path lists).
// Unless said otherwise every call returns 0 (or a count) on success and -1
// with errno set on failure, and none of them logs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

struct os_file_t;

// Bits of os_file_stat_t::type. The low byte is the kind.
enum : uint32_t {
    OS_FTYPE_DIR = 1,          // directory
    OS_FTYPE_FILE = 2,         // anything else
    OS_FTYPE_MASK = 0xff,
    OS_FTYPE_LINK = 0x100,     // symbolic link (directory entries: also a mount point)
    OS_FTYPE_JUNCTION = 0x200, // only in os_file_desc_t
    OS_FTYPE_SPARSE = 0x400,   // directory entries only
    OS_FTYPE_NO_MODE = 0x800,  // mode not valid; one is made up on conversion
};

// Portable stat record; field order is part of the interface.
struct os_file_stat_t {
    uint32_t type;
    uint32_t mode; // st_mode including the file-type bits
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    uint64_t atime;
    uint64_t atime_ns;
    uint64_t mtime;
    uint64_t mtime_ns;
    uint64_t ctime;
    uint64_t ctime_ns;
    uint64_t nlink;
    uint64_t dev;
    uint64_t rdev;
    uint64_t ino;
    uint64_t blksize;
    uint64_t blocks;
};

// File-system statistics, in the order of struct statvfs.
struct os_statfs_t {
    uint64_t f_bsize;
    uint64_t f_frsize;
    uint64_t f_blocks;
    uint64_t f_bfree;
    uint64_t f_bavail;
    uint64_t f_files;
    uint64_t f_ffree;
    uint64_t f_favail;
    uint64_t f_fsid;
    uint64_t f_flag;
    uint64_t f_namemax;
};

// One time: seconds 0 means "leave unchanged" where an operation says so.
struct os_time_pair_t {
    int64_t sec;
    uint32_t nsec;
};
// Access, modification and change times (48 bytes); the one layout used by
// the file objects, the path calls and the virtual file system.
struct os_file_times_t {
    os_time_pair_t atime;
    os_time_pair_t mtime;
    os_time_pair_t ctime;
};

enum { OS_DIR_ENTRY_LINK_SIZE = 4096, OS_DIR_ENTRY_NAME_SIZE = 512 };

// Entry returned by os_readdir; owned by its directory handle and
// overwritten by the next read.
struct os_dir_entry_t {
    os_file_stat_t st;
    char *xattr; // attribute listing (os_get_file_xattr_info form), or NULL
    char link[OS_DIR_ENTRY_LINK_SIZE];
    char name[OS_DIR_ENTRY_NAME_SIZE];
};

// os_dir_t::flags
enum : uint32_t {
    OS_DIR_LINK_RAW = 1,    // a link entry gets its raw link text
    OS_DIR_LINK_TARGET = 2, // a link entry gets its target as a path
    OS_DIR_XATTR = 4,       // collect each entry's attribute listing
    // Entries carry only what the listing gives: name, inode number and
    // file type (mode's type bits; a link is not looked through). No call
    // per entry unless the file system leaves the type unknown.
    OS_DIR_LISTING = 8,
};

// Directory handle; one allocation made by os_opendir_imp.
struct os_dir_t {
    DIR *dir;
    uint32_t flags;
    int fd;        // read-only descriptor of the directory, held while open
    char *pattern; // "|"-separated glob patterns, or NULL
    os_dir_entry_t entry;
    char *path;    // directory as opened (after link resolution); NULL for os_opendir_fd
    uint64_t dev;  // device number of the directory
    int64_t pos;   // raw entries read since the stream was opened
};

// Input of the create calls.
struct os_file_desc_t {
    const char *link;
    uint32_t type;  // os_file_stat_t::type bits, plus OS_FTYPE_JUNCTION
    uint32_t mode;
    uint32_t mode2; // used when type has OS_FTYPE_NO_MODE
    uint32_t uid;
    uint32_t gid;
    uint64_t atime;
    uint64_t mtime;
    uint64_t ctime;
};

// ---- stat records ---------------------------------------------------------
int os_stat(const char *path, os_file_stat_t *rec);
int os_lstat(const char *path, os_file_stat_t *rec);
// Host stat -> portable record (type 1/2 plus 0x100 for a link).
void os_stat_from_posix(const struct stat *st, os_file_stat_t *rec);
// Portable record -> host stat (a made-up mode for type bit 0x800).
void os_stat_2_posix(const os_file_stat_t *rec, struct stat *st);
void os_statfs_2_posix(const os_statfs_t *rec, struct statvfs *st);
// 1 when both paths stat to the same dev and ino, else 0.
int os_is_same_file(const char *a, const char *b);

// ---- path wrappers (one host call each) -------------------------------------
int os_truncate(const char *path, int64_t size);
int os_mknod(const char *path, uint32_t mode, uint64_t dev);
int os_mkfifo(const char *path, uint32_t mode);
int os_symlink(const char *target, const char *linkpath);
int os_link(const char *oldpath, const char *newpath);
int os_chmod(const char *path, uint32_t mode);
int os_lchmod(const char *path, uint32_t mode); // mode of the link itself
int os_chown(const char *path, uint32_t uid, uint32_t gid);
int os_lchown(const char *path, uint32_t uid, uint32_t gid);
uint32_t os_umask(uint32_t mask); // previous mask
int os_remove(const char *path);  // a file or an empty directory
int os_remove_ex(const char *path, int flags);
int os_unlink(const char *path);
int os_rmdir(const char *path);
int os_rmdir_ex(const char *path, int flags);
int os_rename_replace(const char *oldpath, const char *newpath);
int os_path_nop(const char *path, void *arg);
// replace 0: fails with EEXIST and touches nothing when newpath exists
// (atomically through RENAME_NOREPLACE where the file system has it).
int os_rename(const char *oldpath, const char *newpath, int replace);
// Access and modification pairs of `times` (both always set).
int os_utimes(const char *path, const os_file_times_t *times);
int os_lutimes(const char *path, const os_file_times_t *times);

// ---- links ---------------------------------------------------------------------
// At most n - 1 bytes of the link text, terminated; its length, or -1.
int os_readlink(const char *path, char *buf, size_t n);
// The link target as a path: a relative target is joined to path's directory.
int os_readlink_full(const char *path, char *buf, size_t n);
// os_readlink_full, or a bounded copy of path when it is no link; always 0.
int os_readlink_or_self(const char *path, char *buf, size_t n);
// realpath into buf, emptied on failure; returns buf.
enum { OS_REALPATH_SIZE = 4096 };
char *os_realpath(const char *path, char (&buf)[OS_REALPATH_SIZE]);
char *os_path_copy(const char *path, char *buf, size_t n);

// ---- directories ----------------------------------------------------------------
int os_is_dir(const char *path);  // -1 stat failed, 1 directory, 0 otherwise
int os_is_file(const char *path); // -1 stat failed, 0 directory, 1 otherwise
// 0 when path already is a directory; EACCES when it exists as something else.
int os_mkdir(const char *path, uint32_t mode);
int os_mkdir_default(const char *path); // mode 0755
int os_mkdirs(const char *path);        // with every missing parent
int os_mkdirs_parent(const char *path); // parents of path; -1 without separator
os_dir_t *os_opendir(const char *path);
os_dir_t *os_opendir2(const char *path, const char *pattern);
// New handle (free with os_closedir) or NULL; a link to a directory is followed.
os_dir_t *os_opendir_imp(const char *path, const char *pattern, uint32_t flags);
// A directory handle over a descriptor of a directory, which it owns from
// now on (closed on failure too); entries are looked at through it, never by
// path. NULL with errno.
os_dir_t *os_opendir_fd(int fd, const char *pattern, uint32_t flags);
// The handle's entry record, or NULL at the end (errno 0) or on error. The
// entry's inode number and type are the listing's even when the entry cannot
// be looked at (it vanished, or is not permitted).
os_dir_entry_t *os_readdir(os_dir_t *dir);
int64_t os_telldir(os_dir_t *dir);
int os_seekdir(os_dir_t *dir, int64_t pos, int64_t arg);
int os_closedir(os_dir_t *dir);
// One path's entry as os_readdir would give it (no sparse/mount marks).
int os_file_get_entry(const char *path, uint32_t flags, os_dir_entry_t *entry);
// Removes all but the n last names (byte order) that match pattern.
int os_dir_keep_last_n(const char *dir, const char *pattern, int n);

// ---- zz path lists (path, kind letter, name) -----------------------------------
int os_remove_zz(const char *list);
int os_remove_zz_nonempty(const char *list);
int os_remove_zz_ex(const char *path, int flag);
int os_create_zz(const char *list, const os_file_desc_t *desc);

// ---- creating from a description -------------------------------------------------
int os_create_file_or_dir(const char *path, const os_file_desc_t *desc);
int os_symlink_desc(const char *path, const os_file_desc_t *desc);
int os_path_apply_desc(const char *path, const os_file_desc_t *desc);
int os_file_apply_desc(os_file_t *f, const os_file_desc_t *desc);
