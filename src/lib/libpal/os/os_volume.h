// os_volume: the mount point holding a path, the sizes, type name and label
// of its file system, raw statvfs figures, mount-table lookups, and the
// record locks of the local file kind. Lines carry the tag "pal".
#pragma once
#include <cstddef>
#include <cstdint>

enum { OS_VOLUME_FS_NAME_SIZE = 16, OS_VOLUME_VOL_NAME_SIZE = 256 };

// Volume information; field order is part of the interface (it also travels
// in the zksd volume reply and the virtual file system's path operation 7).
struct os_volume_info_t {
    uint32_t flags;    // always 0 here
    uint32_t name_len; // longest file name (255 when the system says 0)
    uint64_t avail_bytes;
    uint64_t free_bytes;
    uint64_t total_bytes;
    char fs_name[OS_VOLUME_FS_NAME_SIZE];
    char vol_name[OS_VOLUME_VOL_NAME_SIZE];
};

// Sizes, type name and label of the file system holding path. 0 / -1.
// Starts no process: the label comes from the udev label links.
int os_get_volume_info(const char *path, os_volume_info_t *info);
// The mount directory holding path. 0 / -1. Reads the mount
// table and stats only the path itself, never another mount (a dead network
// or FUSE mount elsewhere cannot block it).
enum { OS_VOLUME_PATH_SIZE = 4096 };
int os_get_mount_point(const char *path, char (&buf)[OS_VOLUME_PATH_SIZE]);
// The path itself or its nearest existing ancestor; "/" when
// none of an absolute path's ancestors exists, "." for a relative one. 0.
int os_path_existing_parent(const char *path, char (&buf)[OS_VOLUME_PATH_SIZE]);
// Type name of a statfs magic number ("UNKOWN" for one not in the table).
const char *os_fs_type(uint32_t magic);
// statvfs figures in order: bsize, frsize, blocks, bfree, bavail, files,
// ffree, favail, fsid, flag, namemax. 0, or statvfs's negative result.
int os_statvfs(const char *path, uint64_t out[11]);
// field "mnt_dir" or "mnt_type" of the first mount entry of `device`. 0 / -1.
int os_dev_get_mount(const char *device, const char *field, char *buf, size_t size);
// (total - free) / total x 100 (free capped at total); 0.0 for total 0.
double os_volume_used_percent(const os_volume_info_t *info);
// Record lock over [offset, offset + length): shared when the low four bits
// of type are 1, else exclusive; type bit 0x10 = do not wait. Retried on
// EINTR. 0 / -1.
int os_fcntl_lock(int fd, int type, uint64_t offset, uint64_t length);
int os_fcntl_unlock(int fd, int type, uint64_t offset, uint64_t length);
