// The "physfs" driver's record. It recognises archive URLs (a path ending
// with an archive extension, or the option mount_fs=physfs) so they never
// fall to another driver; the archive reader is not part of this build yet,
// so a mount reports that plainly.
#include <cstring>

#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libvfs/vfs_imp.h"

namespace {

// The archive formats the archive library reads.
constexpr const char *k_exts[] = {".zip", ".7z", ".iso", ".grp", ".hog", ".mvl", ".wad", ".pak", ".slb", ".vdf"};

int vfs_physfs_match(const char *url)
{
    char path[URL_FIELD_SIZE];
    if (url_get_path(url, path) == 0) {
        for (const char *ext : k_exts)
            if (str_iend_with(path, ext))
                return 0;
    }
    char fs[64];
    url_get_query_buf(url, "mount_fs", "", fs, sizeof(fs));
    return strcmp(fs, "physfs") == 0 ? 0 : -1;
}

void *vfs_physfs_mount(const char *, void *, vperror_t *err, vfs_mount_ctx *)
{
    vperror_set(err, __FILE__, __LINE__, __func__, VERR_NOT_SUPPORTED, "physfs driver not available in this build");
    return nullptr;
}

} // namespace

const vfs_drv *vfs_physfs_drv_get(void)
{
    static vfs_drv d;
    d.id = VFS_DRV_PHYSFS;
    d.name = "physfs";
    d.match = vfs_physfs_match;
    d.mount = vfs_physfs_mount;
    return &d;
}
