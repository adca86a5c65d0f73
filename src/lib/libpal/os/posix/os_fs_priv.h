// os_fs_priv: small text helpers shared by the file modules (paths, zz path
// lists, name patterns). Internal to libpal's file code.
#pragma once
#include <cstddef>
#include <cstdint>

enum { OS_FS_PATH_MAX = 4096 };

// '\' -> '/', a leading "file://" dropped, runs of '/' collapsed; in place.
char *os_fs_path_normalize(char *path);
// Ends the path at its last separator (removing it); no separator: unchanged.
char *os_fs_path_cut_name(char *path);
// Removes one trailing separator unless the path is one character long.
char *os_fs_path_del_sep_tail(char *path);
// Pointer to the text after the last '/' or '\' (the whole path without one).
const char *os_fs_path_basename(const char *path);
// dir + "/" + name with exactly one separator; strict: 0, or -1 (out emptied)
// when it does not fit in size bytes.
int os_fs_path_join(char *out, size_t size, const char *dir, const char *name);

// Splits a zz list of at most three strings into parts (unused ones NULL).
// Returns the count (0 for an empty list) or -1 for a list of more than three
// strings or one not ended within 3 * 4096 + 2 bytes.
int os_fs_zz_split(const char *list, const char *parts[3]);

// 1 when name matches one of the "|"-separated glob patterns.
int os_fs_glob_any(const char *name, const char *patterns);
