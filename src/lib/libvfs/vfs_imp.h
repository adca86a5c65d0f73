// vfs_imp: what the core's two halves (mounts and handles, path operations
// and caches) and the drivers share inside libvfs. Not for other modules.
#pragma once
#include "libvfs/libvfs.h"

#define VFS_TAG "vfs"

// ---- driver records (each driver's single record) ----
const vfs_drv *vfs_file_drv_get(void);
const vfs_drv *vfs_zksd_drv_get(void);
const vfs_drv *vfs_ftp_drv_get(void);
const vfs_drv *vfs_physfs_drv_get(void);

// ---- handle checks -------------------------------------------------------------
// The first step of every entry point: empties the calling thread's error
// record, then checks that p is a live vfs object of that type (magic and
// type compared as one 64-bit word). 1 when it is; 0 (NULL included) with
// {-4, "invalid handle"} recorded.
int vfs_check(const void *p, uint32_t type);
// The same test without touching the record.
int vfs_is(const void *p, uint32_t type);
// The mount of a mount, file or directory handle; NULL for anything else.
// Does not touch the record.
vfs_mount_ctx *vfs_handle_get_mount(const void *h);
// Records {-12, "<slot> not supported by the <driver> driver"}, for a slot
// the driver leaves empty.
void vfs_slot_missing(vfs_mount_ctx *mnt, const char *slot, const char *func);
// Records {-2, "<what> missing"} for a NULL argument.
void vfs_arg_missing(vfs_mount_ctx *mnt, const char *what, const char *func);

// ---- caches (the caller holds h->mutex) ---------------------------------------
// Decides the handle's cache once, at its first read or write. 0, or -1 when
// the file length needed by the read cache cannot be read.
int vfs_cache_setup(vfs_handle *h);
// Writes out the write cache; the bytes written (0 when nothing was held), or
// -1 when the write-out failed (the held bytes stay held).
int64_t vfs_flush_caches(vfs_handle *h);
// Writes out the write caches of every open file handle of `path` (names
// compared byte for byte, separators folded) but `except`. A handle whose
// write-out fails keeps its data and is marked to report it itself.
// Takes the mount mutex and each handle's mutex: the caller holds neither.
void vfs_flush_path(vfs_mount_ctx *mnt, const char *path, vfs_handle *except);

// RAII lock of a platform mutex.
struct vfs_lock {
    explicit vfs_lock(pl_mutex_t *m) : m_(m) { mutex_lock(m_); }
    ~vfs_lock() { mutex_unlock(m_); }
    vfs_lock(const vfs_lock &) = delete;
    vfs_lock &operator=(const vfs_lock &) = delete;

  private:
    pl_mutex_t *m_;
};

// ---- code tables ---------------------------------------------------------------
// A driver answers its ioctl codes from a constexpr table of rows, each with
// an `int code` member first. The row of code, or NULL when the table has
// none.
template <class Row, size_t N>
constexpr const Row *vfs_code_row(const Row (&rows)[N], int code)
{
    for (const Row &r : rows)
        if (r.code == code)
            return &r;
    return nullptr;
}
// Whether no code appears twice (for a static_assert beside the table).
template <class Row, size_t N>
constexpr bool vfs_codes_unique(const Row (&rows)[N])
{
    for (size_t i = 0; i < N; i++)
        for (size_t j = i + 1; j < N; j++)
            if (rows[i].code == rows[j].code)
                return false;
    return true;
}
