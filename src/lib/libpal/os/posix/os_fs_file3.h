// os_fs_file3: whole-file operations through the C library's buffered files
// (fopen): load, save, copy, create, touch, space checks and the UTF-8
// byte-order mark.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Reads the whole file (4096-byte chunks); with `terminate` one NUL is
// appended. *size (when given) receives the length, the NUL included. The
// buffer is the caller's (os_free); NULL when the file cannot be opened or
// read, or memory runs out.
char *os_file_read_all(const char *path, size_t *size, int terminate);
char *os_file_load(const char *path, size_t *size); // no terminator
char *os_file_load_text(const char *path);          // terminated, no size
// Reads 4096-byte chunks as texts (a NUL ends a chunk's text), stopping after
// the first short chunk; new text or NULL.
char *os_cat(const char *path);
// Makes the parent directories and writes text (without its NUL) as one
// item: 0 when written, else -1 (an empty text gives -1 after creating an
// empty file).
int os_file_save_text(const char *path, const char *text);
int os_file_save(const char *path, const void *data, size_t n);
// Copies src to dst (dst ending with a separator: into that directory under
// src's name, made when missing). 0, or -1 on any open, read or write error.
int os_file_copy(const char *src, const char *dst);
// os_remove_ex, then os_rmdir_ex when that fails; the last result.
int os_remove_any(const char *path);
// 0 for an existing non-directory; EACCES for a directory; otherwise makes
// the parents and creates the file (mode 0644).
int os_file_touch(const char *path);
// Sets the access, modification and change times to the current second.
int os_file_touch_times(const char *path);
// Checks that the file can grow to `need` bytes by reserving the space and
// giving it back; 0, or -1 when the open, fstat or reservation fails.
int os_file_save_space_check(const char *path, uint64_t need);
// Free space of the volume of path's directory against need: 0 enough;
// 1 too little, with msg (4096 bytes) explaining; -1 when unreadable.
int os_disk_space_check(const char *path, uint64_t need, char *msg);
// Skips EF BB BF at the start of the stream, else rewinds to offset 0.
int os_fskip_bom(FILE *fp);
// Writes EF BB BF; the item count of the write.
int os_fwrite_bom(FILE *fp);
