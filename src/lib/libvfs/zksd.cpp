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

} // namespace

const vfs_drv *vfs_zksd_drv_get(void)
{
    static vfs_drv d;
    d.id = VFS_DRV_ZKSD;
    d.name = "zksd";
    d.match = vfs_zksd_match;
    d.mount = vfs_zksd_mount;
    return &d;
}
