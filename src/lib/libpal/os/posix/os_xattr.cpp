// Extended attributes of paths; see os_xattr.h.
#include "libpal/os/posix/os_xattr.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/xattr.h>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_dyn.h"
#include "liblog/log2.h"

#define TAG "pal"

ssize_t os_lgetxattr(const char *path, const char *name, void *buf, size_t n)
{
    return lgetxattr(path, name, buf, buf ? n : 0);
}

int os_lsetxattr(const char *path, const char *name, const void *value, size_t n, int flag)
{
    return lsetxattr(path, name, value, n, pl_setxattr_flag_2_os(flag));
}

int os_lremovexattr(const char *path, const char *name) { return lremovexattr(path, name); }

ssize_t os_llistxattr(const char *path, char *buf, size_t n) { return llistxattr(path, buf, buf ? n : 0); }

int os_setxattr_flag_2_pl(int flag)
{
    switch (flag) {
    case 0:
        return PL_XATTR_SET_ANY;
    case XATTR_CREATE:
        return PL_XATTR_CREATE;
    case XATTR_REPLACE:
        return PL_XATTR_REPLACE;
    default:
        LOG_ERR(TAG, "flag=%d error: unspport\n", flag);
        return PL_XATTR_SET_ANY;
    }
}

int pl_setxattr_flag_2_os(int flag)
{
    switch (flag) {
    case PL_XATTR_SET_ANY:
        return 0;
    case PL_XATTR_CREATE:
        return XATTR_CREATE;
    case PL_XATTR_REPLACE:
        return XATTR_REPLACE;
    default:
        LOG_ERR(TAG, "flag=%d error: unspport\n", flag);
        return 0;
    }
}

// The NUL-separated name list of a path (size step, then names); false when
// it cannot be read. An empty list is a success with no names.
static bool read_name_list(const char *path, bool follow, std::vector<char> &names)
{
    for (int tries = 0; tries < 8; tries++) {
        ssize_t n = follow ? listxattr(path, nullptr, 0) : llistxattr(path, nullptr, 0);
        if (n < 0)
            return false;
        names.assign((size_t)n + 1, 0);
        if (n == 0)
            return true;
        ssize_t r = follow ? listxattr(path, names.data(), (size_t)n) : llistxattr(path, names.data(), (size_t)n);
        if (r >= 0) {
            names.resize((size_t)r + 1);
            names[(size_t)r] = 0;
            return true;
        }
        if (errno != ERANGE) // the list grew in between: ask again
            return false;
    }
    return false;
}

char *os_get_file_xattr_info(const char *path)
{
    std::vector<char> names;
    if (!path || !read_name_list(path, false, names) || names.size() <= 1)
        return nullptr;
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    for (size_t off = 0; off + 1 < names.size();) {
        const char *name = names.data() + off;
        size_t len = strlen(name);
        if (len == 0)
            break;
        ssize_t sz = lgetxattr(path, name, nullptr, 0);
        if (sz < 0)
            LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "getxattr");
        else
            str_dyn_printf(d, "%s\t%s\t%lld\n", name, "X", (long long)sz);
        off += len + 1;
    }
    return str_dyn_detach(d);
}

int os_llistxattr2(const char *path)
{
    std::vector<char> names;
    if (!path || !read_name_list(path, false, names))
        return -1;
    for (size_t off = 0; off + 1 < names.size();) {
        const char *name = names.data() + off;
        size_t len = strlen(name);
        if (len == 0)
            break;
        off += len + 1;
        ssize_t sz = getxattr(path, name, nullptr, 0);
        std::vector<char> val(sz > 0 ? (size_t)sz + 1 : 1, 0);
        if (sz > 0)
            sz = getxattr(path, name, val.data(), (size_t)sz);
        if (sz < 0) {
            LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "getxattr");
            continue;
        }
        val[(size_t)sz < val.size() ? (size_t)sz : val.size() - 1] = 0;
        printf("%s: %s", name, val.data());
    }
    fflush(stdout);
    return 0;
}
