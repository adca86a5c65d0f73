// os_xattr: extended attributes of a path, always of the link itself (never
// its target), the set-flag conversions, and the text listing of a path's
// attributes. Each call returns what the host call returns: a size or 0 on
// success, -1 with errno on failure.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Portable set-attribute flags (equal to the host's XATTR_* values).
enum { PL_XATTR_SET_ANY = 0, PL_XATTR_CREATE = 1, PL_XATTR_REPLACE = 2 };

// lgetxattr; with a NULL buffer it returns the value's size.
ssize_t os_lgetxattr(const char *path, const char *name, void *buf, size_t n);
// lsetxattr with pl_setxattr_flag_2_os(flag).
int os_lsetxattr(const char *path, const char *name, const void *value, size_t n, int flag);
int os_lremovexattr(const char *path, const char *name);
// Names one after another, each ended by NUL.
ssize_t os_llistxattr(const char *path, char *buf, size_t n);
// 0, 1 and 2 pass through; any other value logs "flag=%d error: unspport"
// and gives 0 (create or replace).
int os_setxattr_flag_2_pl(int flag);
int pl_setxattr_flag_2_os(int flag);
// One line "name\tX\tsize\n" per attribute, in host order; new text the
// caller frees with os_free, or NULL when there is none or the list fails.
char *os_get_file_xattr_info(const char *path);
// Prints "name: value" of every attribute on the standard output (values
// read through a link). 0, or -1 when the list cannot be read.
int os_llistxattr2(const char *path);
