// Services of other platform modules that the framework's start-up needs,
// behind local names so the start-up reads the same whichever module
// provides them.
#pragma once
#include <cstddef>

// Configures the default log handle from the [log] section of `path`.
void app_log_ini_file(const char *path);
// 1 when the effective user is root.
int app_is_root(void);
// dir + name with exactly one separator between them (strict). 0 or -1.
int app_path_join(char *out, size_t size, const char *dir, const char *name);
// 1 for an absolute path.
int app_path_is_absolute(const char *path);
// Hands the panic dump directory (NULL: none) to the crash handling.
void app_panic_dump_dir_set(const char *dir, const char *app_name);
