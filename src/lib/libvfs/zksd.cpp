// The "zksd" driver's record. It recognises "zkp://" and "zkps://" URLs so
// they never fall to another driver; the remote client itself is not part
// of this build yet, so a mount reports that plainly.
#include "libpal/string/str_tools.h"
#include "libvfs/vfs_imp.h"

namespace {

int vfs_zksd_match(const char *url)
{
    return str_istart_with(url, "zkp://") || str_istart_with(url, "zkps://") ? 0 : 1;
}

void *vfs_zksd_mount(const char *, void *, vperror_t *err, vfs_mount_ctx *)
{
    vperror_set(err, __FILE__, __LINE__, __func__, VERR_NOT_SUPPORTED, "zksd driver not available in this build");
    return nullptr;
}

constexpr vfs_drv k_drv = {
    .id = VFS_DRV_ZKSD,
    .name = "zksd",
    .match = vfs_zksd_match,
    .mount = vfs_zksd_mount,
};

} // namespace

const vfs_drv *vfs_zksd_drv_get(void) { return &k_drv; }
