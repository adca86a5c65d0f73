// Inside of the stream layer, shared by its source files only.
#pragma once
#include "libpal/os/zkfile.h"

#define ZK_TAG "pal"

// The built-in driver table (built by zkfile_init / zkfile_check_api).
extern zkfile_drv_t g_zkfile_drv[ZKDRV_COUNT];
void zkfile_drv_build(int index, zkfile_drv_t *out);
// Descriptor behind a handle of the file driver (0 without one).
int zkfile_drv_file_fd(intptr_t h);
// Handle of the std file object of index 0-2.
intptr_t zkfile_drv_std_handle(int index);

// Crypt hooks (all three or none).
extern zkcrypt_open_fn g_zkcrypt_open;
extern zkcrypt_close_fn g_zkcrypt_close;
extern zkcrypt_do_fn g_zkcrypt_do;

// Writable-stream list.
void zkfile_list_add(zkfile_t *f);
void zkfile_list_del(zkfile_t *f);
bool zkfile_list_ready(void);

// Logs "expr[<expr>]: assert failed" and stops the program.
[[noreturn]] void zkfile_fatal(const char *expr, const char *file, int line, const char *func);
#define ZK_FATAL_IF(cond, text)                                    \
    do {                                                           \
        if (cond)                                                  \
            zkfile_fatal((text), __FILE__, __LINE__, __func__);    \
    } while (0)

// Checks the stream and takes its mutex (fatal on NULL or a bad magic).
void zkfile_lock(zkfile_t *f);
void zkfile_unlock(zkfile_t *f);
#define ZKLOCK(f) zkfile_lock(f)
#define ZKUNLOCK(f) zkfile_unlock(f)

// Unlocked cores, called with the stream's mutex held.
int zkfile_flush_unlocked(zkfile_t *f);
size_t zkfile_write_unlocked(const void *buf, size_t len, zkfile_t *f);
