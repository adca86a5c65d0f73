// Text helpers of the file modules; see os_fs_priv.h.
#include "libpal/os/posix/os_fs_priv.h"

#include <cstring>
#include <fnmatch.h>
#include <string>

#include "libpal/string/str_safe.h"

static bool is_sep(char c) { return c == '/' || c == '\\'; }

char *os_fs_path_normalize(char *path)
{
    if (!path)
        return path;
    for (char *p = path; *p; p++)
        if (*p == '\\')
            *p = '/';
    if (strncmp(path, "file://", 7) == 0)
        memmove(path, path + 7, strlen(path + 7) + 1);
    char *w = path;
    for (const char *r = path; *r; r++) {
        if (*r == '/' && w > path && w[-1] == '/')
            continue;
        *w++ = *r;
    }
    *w = 0;
    return path;
}

char *os_fs_path_cut_name(char *path)
{
    char *last = nullptr;
    for (char *p = path; *p; p++)
        if (is_sep(*p))
            last = p;
    if (last)
        *last = 0;
    return path;
}

char *os_fs_path_del_sep_tail(char *path)
{
    size_t n = strlen(path);
    if (n > 1 && is_sep(path[n - 1]))
        path[n - 1] = 0;
    return path;
}

const char *os_fs_path_basename(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; p++)
        if (is_sep(*p))
            base = p + 1;
    return base;
}

int os_fs_path_join(char *out, size_t size, const char *dir, const char *name)
{
    if (!out || size == 0)
        return -1;
    std::string s = dir ? dir : "";
    if (s.empty() || !is_sep(s.back()))
        s += '/';
    if (name) {
        if (is_sep(name[0]))
            name++;
        s += name;
    }
    if (s.size() + 1 > size) {
        out[0] = 0;
        return -1;
    }
    memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}

int os_fs_zz_split(const char *list, const char *parts[3])
{
    parts[0] = parts[1] = parts[2] = nullptr;
    if (!list)
        return -1;
    const size_t limit = 3 * OS_FS_PATH_MAX + 2;
    size_t off = 0;
    int count = 0;
    while (true) {
        size_t len = strnlen(list + off, limit - off);
        if (off + len >= limit)
            return -1; // not terminated within the bound
        if (len == 0)
            return count;
        if (count == 3)
            return -1;
        parts[count++] = list + off;
        off += len + 1;
        if (off >= limit)
            return -1;
    }
}

int os_fs_glob_any(const char *name, const char *patterns)
{
    if (!patterns)
        return 1;
    const char *p = patterns;
    while (true) {
        const char *bar = strchr(p, '|');
        std::string one = bar ? std::string(p, bar - p) : std::string(p);
        if (fnmatch(one.c_str(), name, 0) == 0)
            return 1;
        if (!bar)
            return 0;
        p = bar + 1;
    }
}
