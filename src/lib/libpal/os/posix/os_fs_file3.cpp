// Whole-file operations; see os_fs_file3.h.
#include "libpal/os/posix/os_fs_file3.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "libpal/basic/pl_base.h"
#include "libpal/os/os_volume.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/env/os_env.h"
#include "libpal/os/posix/os_fs_priv.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_dyn.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/vfile/os_file2.h"
#include "liblog/log2.h"

#define TAG "pal"

enum { CHUNK = 4096 };

char *os_file_read_all(const char *path, size_t *size, int terminate)
{
    if (!path)
        return nullptr;
    FILE *fp = fopen(path, "rbe");
    if (!fp)
        return nullptr;
    size_t len = 0, cap = CHUNK + 1;
    char *buf = (char *)os_malloc(cap);
    while (buf) {
        if (cap - len < CHUNK + 1) {
            char *nb = (char *)os_realloc(buf, cap * 2);
            if (!nb) {
                os_free(buf);
                buf = nullptr;
                break;
            }
            buf = nb;
            cap *= 2;
        }
        size_t n = fread(buf + len, 1, CHUNK, fp);
        len += n;
        if (n == 0) {
            if (ferror(fp)) { // a read error is no end of file
                os_free(buf);
                buf = nullptr;
            }
            break;
        }
    }
    int err = errno;
    fclose(fp);
    if (!buf) {
        errno = err ? err : ENOMEM;
        return nullptr;
    }
    if (terminate)
        buf[len++] = 0;
    if (size)
        *size = len;
    return buf;
}

char *os_file_load(const char *path, size_t *size) { return os_file_read_all(path, size, 0); }
char *os_file_load_text(const char *path) { return os_file_read_all(path, nullptr, 1); }

char *os_cat(const char *path)
{
    if (!path)
        return nullptr;
    FILE *fp = fopen(path, "re");
    if (!fp)
        return nullptr;
    str_dyn *d = str_dyn_new();
    if (!d) {
        fclose(fp);
        return nullptr;
    }
    char chunk[CHUNK + 1];
    while (true) {
        size_t n = fread(chunk, 1, CHUNK, fp);
        chunk[n] = 0;
        str_dyn_add_str(d, chunk); // a NUL inside ends this chunk's text
        if (n < CHUNK)
            break;
    }
    fclose(fp);
    return str_dyn_detach_nonull(d);
}

static int save_imp(const char *path, const void *data, size_t n, const char *mode)
{
    if (!path || !data)
        return -1;
    os_mkdirs_parent(path);
    FILE *fp = os_fopen(path, mode);
    if (!fp)
        return -1;
    size_t items = n ? fwrite(data, n, 1, fp) : 0;
    int closed = fclose(fp);
    return items == 1 && closed == 0 ? 0 : -1;
}

int os_file_save_text(const char *path, const char *text)
{
    return save_imp(path, text, text ? strlen(text) : 0, "w");
}

int os_file_save(const char *path, const void *data, size_t n) { return save_imp(path, data, n, "wb"); }

int os_file_copy(const char *src, const char *dst)
{
    if (!src || !dst)
        return -1;
    FILE *in = fopen(src, "rbe");
    if (!in)
        return -1;
    char target[PL_MAX_PATH];
    size_t dl = strlen(dst);
    int bad = 0;
    if (dl && (dst[dl - 1] == '/' || dst[dl - 1] == '\\'))
        bad = os_fs_path_join(target, sizeof(target), dst, path_basename(src));
    else
        bad = str_safecopy(target, sizeof(target), dst);
    if (bad) {
        fclose(in);
        errno = ENAMETOOLONG;
        return -1;
    }
    os_mkdirs_parent(target);
    FILE *out = fopen(target, "wb+e");
    if (!out) {
        fclose(in);
        return -1;
    }
    int ret = 0;
    char buf[CHUNK];
    while (true) {
        size_t n = fread(buf, 1, sizeof(buf), in);
        if (n == 0) {
            if (ferror(in)) // a read error must not pass for the end
                ret = -1;
            break;
        }
        if (fwrite(buf, 1, n, out) != n) {
            ret = -1;
            break;
        }
    }
    int err = errno;
    fclose(in);
    if (fclose(out) != 0)
        ret = -1;
    else
        errno = err;
    return ret;
}

int os_remove_any(const char *path)
{
    int r = os_remove_ex(path, 0);
    if (r != 0)
        r = os_rmdir_ex(path, 0);
    return r;
}

int os_file_touch(const char *path)
{
    struct stat st;
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    if (stat(path, &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            return 0;
        errno = EACCES;
        return -1;
    }
    os_mkdirs_parent(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int os_file_touch_times(const char *path)
{
    os_file_t *f = os_file_open(path, 0);
    if (!f)
        return -1;
    os_file_times_t t;
    memset(&t, 0, sizeof(t));
    t.atime.sec = t.mtime.sec = t.ctime.sec = (int64_t)time(nullptr);
    int ok = os_file_futime(f, &t);
    int err = errno;
    os_file_close(f);
    errno = err;
    return ok == 1 ? 0 : -1;
}

int os_file_save_space_check(const char *path, uint64_t need)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if ((uint64_t)st.st_size < need) {
        // Plainly too little room: fail before filling the volume to the
        // brim on the way to ENOSPC.
        struct statvfs sv;
        if (fstatvfs(fd, &sv) == 0 && need - (uint64_t)st.st_size > (uint64_t)sv.f_bavail * sv.f_frsize) {
            close(fd);
            errno = ENOSPC;
            return -1;
        }
        if (need > (uint64_t)INT64_MAX) {
            close(fd);
            errno = EFBIG;
            return -1;
        }
        // Really reserve the blocks: growing with ftruncate makes a hole and
        // proves nothing about free space.
        int e = posix_fallocate(fd, 0, (off_t)need);
        if (e != 0) {
            if (ftruncate(fd, st.st_size) != 0)
                LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "ftruncate error:");
            close(fd);
            errno = e;
            return -1;
        }
        if (ftruncate(fd, st.st_size) != 0)
            LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "ftruncate error:");
    }
    close(fd);
    return 0;
}

int os_disk_space_check(const char *path, uint64_t need, char *msg)
{
    char dir[PL_MAX_PATH] = "";
    if (!path)
        return -1;
    const char *cut = nullptr;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            cut = p;
    if (cut && (size_t)(cut - path + 1) < sizeof(dir)) {
        memcpy(dir, path, (size_t)(cut - path + 1));
        dir[cut - path + 1] = 0;
    }
    os_volume_info_t vi;
    if (os_get_volume_info(dir[0] ? dir : ".", &vi) != 0)
        return -1;
    if (vi.free_bytes >= need)
        return 0;
    if (msg) {
        char fs[32], ns[32];
        str_fmt_size_imp(vi.free_bytes, 0, fs, sizeof(fs));
        str_fmt_size_imp(need, 0, ns, sizeof(ns));
        str_sprintf_s2(msg, 4096, "%s free=[%s] ", dir, fs);
        strcat_printf2(msg, 4096, " need=[%s] not enough space", ns);
    }
    return 1;
}

int os_fskip_bom(FILE *fp)
{
    unsigned char b[3];
    if (!fp)
        return -1;
    if (fread(b, 1, 3, fp) == 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        return 1;
    fseek(fp, 0, SEEK_SET);
    return 0;
}

int os_fwrite_bom(FILE *fp)
{
    static const unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
    if (!fp)
        return 0;
    return (int)fwrite(bom, 3, 1, fp);
}
