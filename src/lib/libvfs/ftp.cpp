// The "ftp" driver's record. It recognises "ftp://" URLs so they never fall
// to another driver; the FTP client is not part of this build yet, so a
// mount reports that plainly.
#include <cstring>

#include "libvfs/vfs_imp.h"

namespace {

int vfs_ftp_match(const char *url) { return strncmp(url, "ftp://", 6) == 0 ? 0 : -1; }

void *vfs_ftp_mount(const char *, void *, vperror_t *err, vfs_mount_ctx *)
{
    vperror_set(err, __FILE__, __LINE__, __func__, VERR_NOT_SUPPORTED, "ftp driver not available in this build");
    return nullptr;
}

constexpr vfs_drv k_drv = {
    .id = VFS_DRV_FTP,
    .name = "ftp",
    .match = vfs_ftp_match,
    .mount = vfs_ftp_mount,
};

} // namespace

const vfs_drv *vfs_ftp_drv_get(void) { return &k_drv; }
