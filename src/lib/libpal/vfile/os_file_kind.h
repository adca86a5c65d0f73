// os_file_kind: the built-in kinds' operation records and slot procedures.
// Callers normally go through the os_file_* dispatchers of os_file2.h; this
// header is for the dispatch code, the tests and a caller that swaps the std
// procedures back (os_file_set_std_fd_proc).
#pragma once
#include "libpal/vfile/os_file2.h"

extern const os_file_ops_t os_local_file_ops;  // "file"
extern const os_file_ops_t os_stdin_file_ops;  // "stdin"
extern const os_file_ops_t os_stdout_file_ops; // "stdout"
extern const os_file_ops_t os_stderr_file_ops; // "stderr"
extern const os_file_ops_t os_null_file_ops;   // "null"
extern const os_file_ops_t os_zero_file_ops;   // "zero"
extern const os_file_ops_t os_random_file_ops; // "random"
extern const os_file_ops_t os_xattr_file_ops;  // "xattr"

// ---- local kind (a POSIX descriptor; handle = fd + 1) --------------------------
uint64_t os_local_file_init(const char *path, uint32_t pf);
uint64_t os_local_file_wopen(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                             uint32_t attributes);
uint64_t os_local_file_open2(const char *path, int oflags, uint32_t mode);
int os_local_file_exit(uint64_t h);
int64_t os_local_file_read(uint64_t h, void *buf, size_t len);
int64_t os_local_file_writ(uint64_t h, const void *buf, size_t len);
int64_t os_local_file_pread(uint64_t h, void *buf, size_t len, int64_t off);
int64_t os_local_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t off);
int64_t os_local_file_readv(uint64_t h, const struct iovec *v, int count);
int64_t os_local_file_writv(uint64_t h, const struct iovec *v, int count);
int64_t os_local_file_preadv(uint64_t h, const struct iovec *v, int count, int64_t off);
int64_t os_local_file_pwritv(uint64_t h, const struct iovec *v, int count, int64_t off);
int os_local_file_sync(uint64_t h);
int os_local_file_truncate(uint64_t h, int64_t size);
int64_t os_local_file_seek(uint64_t h, int64_t off, int whence);
int64_t os_local_file_offset(uint64_t h);
int64_t os_local_file_size(uint64_t h);
int os_local_file_ioctl(uint64_t h, int code, void *buf, size_t len);
// Readable size of a file whose size reads as 0 (character devices, kernel
// files), a multiple of 4096; the position is restored.
int64_t os_local_file_probe_size(uint64_t h);
// First of 512/1024/2048/4096 read in full from offset 0, else 0.
uint32_t os_local_file_probe_bsize(uint64_t h);

// ---- std kinds (handle = fd + 1) ------------------------------------------------
int64_t os_stdin_file_read(uint64_t h, void *buf, size_t len);
int64_t os_stdin_file_pread(uint64_t h, void *buf, size_t len, int64_t off);
int64_t os_stdout_file_writ(uint64_t h, const void *buf, size_t len);
int64_t os_stdout_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t off);
int os_stdout_file_sync(uint64_t h);
int64_t os_stderr_file_writ(uint64_t h, const void *buf, size_t len);
int64_t os_stderr_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t off);
int os_stderr_file_sync(uint64_t h);

// ---- device kinds (handle always 1) -----------------------------------------------
int64_t os_null_file_writ(uint64_t h, const void *buf, size_t len);
int64_t os_null_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t off);
int64_t os_zero_file_read(uint64_t h, void *buf, size_t len);
int64_t os_zero_file_pread(uint64_t h, void *buf, size_t len, int64_t off);
int64_t os_random_file_read(uint64_t h, void *buf, size_t len);
int64_t os_random_file_pread(uint64_t h, void *buf, size_t len, int64_t off);

// ---- shared stubs (a handle of 0 is a soft assertion) ------------------------------
int os_comm_file_sync(uint64_t h);
int os_comm_file_truncate(uint64_t h, int64_t size);
int64_t os_comm_file_seek(uint64_t h, int64_t off, int whence);
int64_t os_comm_file_offset(uint64_t h);
int64_t os_comm_file_size(uint64_t h);
int os_comm_file_ioctl(uint64_t h, int code, void *buf, size_t len);

// ---- extended-attribute kind (handle = address of its record) ----------------------
uint64_t os_xattr_file_init(const char *path, const char *kind, const char *name, uint32_t pf);
int os_xattr_file_exit(uint64_t h);
int64_t os_xattr_file_read(uint64_t h, void *buf, size_t len);
int64_t os_xattr_file_pread(uint64_t h, void *buf, size_t len, int64_t off);
int64_t os_xattr_file_writ(uint64_t h, const void *buf, size_t len);
int64_t os_xattr_file_pwrit(uint64_t h, const void *buf, size_t len, int64_t off);
int64_t os_xattr_file_offset(uint64_t h);
int64_t os_xattr_file_size(uint64_t h);
int os_xattr_file_ioctl(uint64_t h, int code, void *buf, size_t len);
