// os_fs_priv: small helpers shared by the file modules. Internal to libpal's
// file code.
#pragma once
#include <cstddef>

// dir + "/" + name with exactly one separator (path_build2); 0, or -1 (out
// emptied) when it does not fit in size bytes.
int os_fs_path_join(char *out, size_t size, const char *dir, const char *name);

// Splits a zz path list (path, kind letter, name) into parts (unused ones
// NULL). Returns the count (0 for an empty list), or -1 for a list of more
// than three strings or one not ended within the bytes three paths take.
int os_fs_zz_split(const char *list, const char *parts[3]);
