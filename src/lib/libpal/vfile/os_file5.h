// os_file5: a descriptor table of file objects for the pl_ calls. Slot
// indexes are the descriptors; slots 0, 1 and 2 start with the std objects,
// which stay open for the life of the process. The table has its own lock.
// Every call returns -1 for a descriptor with no object.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "libpal/vfile/os_file2.h"

// Opens with os_file_open2 (portable flags, mode 0) into the first free slot;
// in slot 0, 1 or 2 the object also becomes that std stream's handle (and
// closing it later points the stream back at the kept std object).
int pl_open(const char *path, int flags);
// Empties the slot; a kept std object (in its own slot or moved there by
// pl_dup2) stays open (0). An emptied slot 0-2 points its std stream back
// at the kept std object.
int pl_close(int fd);
int64_t pl_read(int fd, void *buf, size_t len);
int64_t pl_write(int fd, const void *buf, size_t len);
int64_t pl_pread(int fd, void *buf, size_t len, int64_t off);
int64_t pl_pwrite(int fd, const void *buf, size_t len, int64_t off);
int64_t pl_lseek(int fd, int64_t off, int whence);
// Moves old's object to slot newfd (closing what was there unless it is a
// kept std object); returns newfd.
int pl_dup2(int oldfd, int newfd);
int pl_access(const char *path, int mode);
int pl_mkdir(const char *path, uint32_t mode);
int pl_unlink(const char *path);
int pl_remove(const char *path);
int pl_rmdir(const char *path);
int pl_rename(const char *oldpath, const char *newpath);
int pl_link(const char *oldpath, const char *newpath);
int pl_symlink(const char *target, const char *linkpath);
int pl_stat(const char *path, os_file_stat_t *st);  // not implemented: -1
int pl_lstat(const char *path, os_file_stat_t *st); // not implemented: -1
