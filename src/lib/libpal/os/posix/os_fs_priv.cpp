// Helpers of the file modules; see os_fs_priv.h.
#include "libpal/os/posix/os_fs_priv.h"

#include "libpal/string/str_path.h"
#include "libpal/string/str_vector.h"

int os_fs_path_join(char *out, size_t size, const char *dir, const char *name)
{
    if (!out || size == 0 || !dir || !name)
        return -1;
    path_build2(out, size, dir, name);
    return out[0] ? 0 : -1; // a join is never empty unless it overflowed
}

int os_fs_zz_split(const char *list, const char *parts[3])
{
    parts[0] = parts[1] = parts[2] = nullptr;
    if (!list)
        return -1;
    // Bound the scan before splitting: path, letter and name at most.
    if (str_zz_len(list, 3 * PL_MAX_PATH + 2) < 0)
        return -1;
    const char *tmp[3] = {nullptr, nullptr, nullptr};
    int n = str_split_zz(list, tmp, 3, nullptr);
    if (n < 0)
        return -1;
    for (int i = 0; i < n; i++)
        parts[i] = tmp[i];
    return n;
}
