// Volumes, mount points, file-system types and record locks; see os_volume.h.
#include "libpal/os/os_volume.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mntent.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "libpal/os/posix/os_fs_priv.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

// ---- file-system types -----------------------------------------------------------------

namespace {
struct fs_magic {
    uint32_t magic;
    const char *name;
};
constexpr fs_magic k_fs_types[] = {
    {0x5a3c69f0, "AAFS"},      {0xadf5, "ADFS"},         {0xadff, "AFFS"},        {0x6b414653, "AFS"},
    {0x5346414f, "AFS"},       {0x09041934, "ANON"},     {0x0187, "AUTOFS"},      {0x13661366, "BALLOON"},
    {0x62646576, "BDEVFS"},    {0x42494e4d, "BINFMTFS"}, {0xcafe4a11, "BPF"},     {0x9123683e, "BTRFS"},
    {0x73727279, "BTRFS"},     {0x0027e0eb, "CGROUP"},   {0x63677270, "CGROUP2"}, {0x73757245, "CODA"},
    {0x28cd3d45, "CRAMFS"},    {0x453dcd28, "CRAMFS"},   {0x64646178, "DAXFS"},   {0x64626720, "DEBUGFS"},
    {0x1cd1, "DEVPTS"},        {0xf15f, "ECRYPTFS"},     {0xde5e81e4, "EFIVARFS"}, {0x00414a53, "EFS"},
    {0xef53, "EXT4"},          {0xf2f52010, "F2FS"},     {0x0bad1dea, "FUTEXFS"}, {0x00c0ffee, "HOSTFS"},
    {0xf995e849, "HPFS"},      {0x958458f6, "HUGETLBFS"}, {0x9660, "ISOFS"},      {0x72b6, "JFFS2"},
    {0x137f, "MINIX"},         {0x138f, "MINIX"},        {0x2468, "MINIX2"},      {0x2478, "MINIX2"},
    {0x4d5a, "MINIX3"},        {0x4d44, "MSDOS"},        {0x11307854, "MTD"},     {0x564c, "NCP"},
    {0x6969, "NFS"},           {0x3434, "NILFS"},        {0x6e736673, "NSFS"},    {0x7461636f, "OCFS2"},
    {0x9fa1, "OPENPROM"},      {0x794c7630, "OVERLAYFS"}, {0x50495045, "PIPEFS"}, {0x9fa0, "PROC"},
    {0x6165676c, "PSTOREFS"},  {0x002f, "QNX4"},         {0x68191122, "QNX6"},    {0x858458f6, "RAMFS"},
    {0x07655821, "RDTGROUP"},  {0x52654973, "REISERFS"}, {0x73636673, "SECURITYFS"}, {0xf97cff8c, "SELINUX"},
    {0x43415d53, "SMACK"},     {0x517b, "SMB"},          {0x534f434b, "SOCKFS"},  {0x73717368, "SQUASHFS"},
    {0x57ac6e9d, "STACK"},     {0x62656572, "SYSFS"},    {0x01021994, "TMPFS"},   {0x74726163, "TRACEFS"},
    {0x15013346, "UDF"},       {0x9fa2, "USBDEVICE"},    {0x01021997, "V9FS"},    {0x65735546, "VMHGFS-FUSE"},
    {0xabba1974, "XENFS"},     {0x2fc12fc1, "ZFS"},      {0x58295829, "ZSMALLOC"}, {0x2011bab0, "exfat"},
    {0x5346544e, "ntfs"},      {0x564f4654, "vfat"},
};
} // namespace

const char *os_fs_type(uint32_t magic)
{
    for (const fs_magic &t : k_fs_types)
        if (t.magic == magic)
            return t.name;
    LOG_VERB(TAG, "unkown fs_type=0x%x\n", magic);
    return "UNKOWN";
}

// ---- nearest existing ancestor --------------------------------------------------------

int os_path_existing_parent(const char *path, char (&buf)[OS_VOLUME_PATH_SIZE])
{
    char tmp[PL_MAX_PATH];
    if (!path || str_safecopy(tmp, sizeof(tmp), path) != 0)
        tmp[0] = 0;
    path_normalize(tmp);
    path_del_sep_tail(tmp);
    while (tmp[0]) {
        if (access(tmp, F_OK) == 0 || (errno != ENOENT && errno != ENOTDIR))
            break;
        size_t before = strlen(tmp);
        path_cut_name(tmp);
        if (strlen(tmp) == before) {
            // A relative name none of whose elements exists: the search
            // ends at the current directory.
            str_safecopy(tmp, sizeof(tmp), ".");
            break;
        }
    }
    if (!tmp[0])
        str_safecopy(tmp, sizeof(tmp), "/");
    str_safecopy(buf, PL_MAX_PATH, tmp);
    return 0;
}

// ---- mount table --------------------------------------------------------------------------

namespace {
struct mount_hit {
    std::string dir;
    std::string source;
    dev_t dev = 0;
    bool dev_known = false;
};

// Undoes the octal escapes (\040 for a blank ...) of the mount tables.
std::string unescape_mount_field(const char *s)
{
    std::string out;
    for (; *s; s++) {
        if (s[0] == '\\' && s[1] >= '0' && s[1] <= '3' && s[2] >= '0' && s[2] <= '7' && s[3] >= '0' && s[3] <= '7') {
            out += (char)((s[1] - '0') * 64 + (s[2] - '0') * 8 + (s[3] - '0'));
            s += 3;
        } else {
            out += *s;
        }
    }
    return out;
}

// Whether mount directory `dir` holds the absolute path `real`.
bool dir_holds(const std::string &dir, const char *real)
{
    if (dir == "/")
        return real[0] == '/';
    size_t n = dir.size();
    return strncmp(real, dir.c_str(), n) == 0 && (real[n] == 0 || real[n] == '/');
}

// Chooses between the mounts that hold the path without touching any of
// them: the deepest one, preferring those on the path's own device; among
// equals the later entry (it covers the earlier).
bool better(const mount_hit &cand, const mount_hit &best, bool have, dev_t dev)
{
    if (!have)
        return true;
    bool cd = cand.dev_known && cand.dev == dev;
    bool bd = best.dev_known && best.dev == dev;
    if (cd != bd)
        return cd;
    return cand.dir.size() >= best.dir.size();
}

bool find_mount_mountinfo(const char *real, dev_t dev, mount_hit *out)
{
    FILE *fp = fopen("/proc/self/mountinfo", "re");
    if (!fp)
        return false;
    bool have = false;
    char line[8192];
    while (fgets(line, sizeof(line), fp)) {
        // id parent major:minor root mount-point options ... - type source ...
        unsigned maj = 0, min = 0;
        char mp[4096];
        if (sscanf(line, "%*u %*u %u:%u %*s %4095s", &maj, &min, mp) != 3)
            continue;
        mount_hit cand;
        cand.dir = unescape_mount_field(mp);
        cand.dev = makedev(maj, min);
        cand.dev_known = true;
        const char *sep = strstr(line, " - ");
        if (sep) {
            char type[256], src[4096];
            if (sscanf(sep + 3, "%255s %4095s", type, src) == 2)
                cand.source = unescape_mount_field(src);
        }
        if (dir_holds(cand.dir, real) && better(cand, *out, have, dev)) {
            *out = cand;
            have = true;
        }
    }
    fclose(fp);
    return have;
}

bool find_mount_table(const char *real, dev_t dev, mount_hit *out)
{
    FILE *fp = setmntent("/etc/mtab", "r");
    if (!fp)
        fp = setmntent("/proc/mounts", "r");
    if (!fp)
        return false;
    bool have = false;
    struct mntent ent;
    char strings[8192];
    while (getmntent_r(fp, &ent, strings, sizeof(strings))) {
        mount_hit cand;
        cand.dir = ent.mnt_dir;
        cand.source = ent.mnt_fsname;
        if (dir_holds(cand.dir, real) && better(cand, *out, have, dev)) {
            *out = cand;
            have = true;
        }
    }
    endmntent(fp);
    return have;
}

// The mount holding `path`: stats the path (its nearest existing ancestor)
// and nothing else. buf receives the ancestor, then the mount directory.
bool find_mount(const char *path, char (&buf)[OS_VOLUME_PATH_SIZE], mount_hit *hit)
{
    os_path_existing_parent(path, buf);
    struct stat st;
    if (stat(buf, &st) != 0)
        return false;
    char real[PL_MAX_PATH];
    if (!realpath(buf, real))
        return false;
    if (!find_mount_mountinfo(real, st.st_dev, hit) && !find_mount_table(real, st.st_dev, hit))
        return false;
    return str_safecopy(buf, PL_MAX_PATH, hit->dir.c_str()) == 0;
}

// "\x20"-style escapes of udev's link names.
std::string unescape_udev(const char *s)
{
    std::string out;
    for (; *s; s++) {
        unsigned v;
        if (s[0] == '\\' && s[1] == 'x' && sscanf(s + 2, "%2x", &v) == 1 && isxdigit((unsigned char)s[2]) &&
            isxdigit((unsigned char)s[3])) {
            out += (char)v;
            s += 3;
        } else {
            out += *s;
        }
    }
    return out;
}

// Label of the block device `dev` from the udev links in /dev/disk/by-label
// (no process is started); empty when it has none.
void label_of_device(const mount_hit &hit, char *buf, size_t size)
{
    buf[0] = 0;
    dev_t want = 0;
    struct stat st;
    if (!hit.source.empty() && hit.source[0] == '/' && stat(hit.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        want = st.st_rdev;
    else if (hit.dev_known)
        want = hit.dev;
    else
        return;
    DIR *d = opendir("/dev/disk/by-label");
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string link = std::string("/dev/disk/by-label/") + e->d_name;
        if (stat(link.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == want) {
            str_safecopy_trunc(buf, size, unescape_udev(e->d_name).c_str());
            break;
        }
    }
    closedir(d);
}
} // namespace

int os_get_mount_point(const char *path, char (&buf)[OS_VOLUME_PATH_SIZE])
{
    mount_hit hit;
    return find_mount(path, buf, &hit) ? 0 : -1;
}

int os_get_volume_info(const char *path, os_volume_info_t *info)
{
    char dir[PL_MAX_PATH];
    mount_hit hit;
    if (!info)
        return -1;
    bool found = find_mount(path, dir, &hit); // on failure dir holds the ancestor
    struct statfs sf;
    if (statfs(dir, &sf) != 0)
        return -1;
    memset(info, 0, sizeof(*info));
    uint64_t bs = (uint64_t)sf.f_bsize;
    info->flags = 0;
    info->name_len = sf.f_namelen ? (uint32_t)sf.f_namelen : 255;
    info->avail_bytes = (uint64_t)sf.f_bavail * bs;
    info->free_bytes = (uint64_t)sf.f_bfree * bs;
    info->total_bytes = (uint64_t)sf.f_blocks * bs;
    str_safecopy(info->fs_name, sizeof(info->fs_name), os_fs_type((uint32_t)sf.f_type));
    if (found)
        label_of_device(hit, info->vol_name, sizeof(info->vol_name));
    return 0;
}

int os_statvfs(const char *path, uint64_t out[11])
{
    struct statvfs sv;
    int r = statvfs(path, &sv);
    if (r != 0)
        return r;
    out[0] = sv.f_bsize;
    out[1] = sv.f_frsize;
    out[2] = sv.f_blocks;
    out[3] = sv.f_bfree;
    out[4] = sv.f_bavail;
    out[5] = sv.f_files;
    out[6] = sv.f_ffree;
    out[7] = sv.f_favail;
    out[8] = sv.f_fsid;
    out[9] = sv.f_flag;
    out[10] = sv.f_namemax;
    return 0;
}

int os_dev_get_mount(const char *device, const char *field, char *buf, size_t size)
{
    if (!device || !field || !buf || size == 0)
        return -1;
    bool want_dir = strcmp(field, "mnt_dir") == 0;
    if (!want_dir && strcmp(field, "mnt_type") != 0)
        return -1;
    FILE *fp = setmntent("/etc/mtab", "r");
    if (!fp)
        fp = setmntent("/proc/mounts", "r");
    if (!fp) {
        LOG_ERR(TAG, "setmntent failed\n");
        return -1;
    }
    int ret = -1;
    struct mntent ent;
    char strings[8192];
    while (getmntent_r(fp, &ent, strings, sizeof(strings))) {
        if (strcmp(ent.mnt_fsname, device) == 0) {
            ret = str_safecopy(buf, size, want_dir ? ent.mnt_dir : ent.mnt_type) == 0 ? 0 : -1;
            break;
        }
    }
    endmntent(fp);
    return ret;
}

double os_volume_used_percent(const os_volume_info_t *info)
{
    if (!info || info->total_bytes == 0)
        return 0.0;
    uint64_t free = info->free_bytes > info->total_bytes ? info->total_bytes : info->free_bytes;
    return (double)(info->total_bytes - free) / (double)info->total_bytes * 100.0;
}

// ---- record locks ------------------------------------------------------------------------------

static int fcntl_lock_imp(int fd, short ltype, int cmd, uint64_t offset, uint64_t length)
{
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = ltype;
    fl.l_whence = SEEK_SET;
    fl.l_start = (off_t)offset;
    fl.l_len = (off_t)length;
    int r;
    do {
        r = fcntl(fd, cmd, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

int os_fcntl_lock(int fd, int type, uint64_t offset, uint64_t length)
{
    short ltype = (type & 0xf) == 1 ? F_RDLCK : F_WRLCK;
    int cmd = (type & 0x10) ? F_SETLK : F_SETLKW;
    return fcntl_lock_imp(fd, ltype, cmd, offset, length);
}

int os_fcntl_unlock(int fd, int, uint64_t offset, uint64_t length)
{
    return fcntl_lock_imp(fd, F_UNLCK, F_SETLKW, offset, length);
}
