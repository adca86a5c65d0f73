// Stand-ins until the environment module lands.
#include <unistd.h>

#include <cstring>

#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

int os_global_mutex_init(void) { return 0; }
int os_global_mutex_exit(void) { return 0; }

// Directory of the running executable, ending with '/'.
char *os_exe_get_dir(char *buf, size_t size)
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        str_safecopy_trunc(buf, size, "./");
        return buf;
    }
    path[n] = '\0';
    char *slash = strrchr(path, '/');
    if (slash)
        slash[1] = '\0';
    str_safecopy_trunc(buf, size, path);
    return buf;
}
