// Until the configuration, path and signal modules are in the tree these
// are provided here with the same behaviour the start-up relies on.
#include "libpal/tframe/app/app_deps.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "libpal/os/posix/os_process.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

void app_log_ini_file(const char *path)
{
    LOG_VERB("pal", "log configuration from [%s]: configuration files not available yet\n", path ? path : "");
}

int app_is_root(void) { return os_is_root(); }

int app_path_join(char *out, size_t size, const char *dir, const char *name)
{
    std::string r = dir ? dir : "";
    while (name && *name == '/')
        ++name;
    if (r.empty() || r.back() != '/')
        r.push_back('/');
    r += name ? name : "";
    return str_safecopy(out, size, r.c_str()) == 0 ? 0 : -1;
}

int app_path_is_absolute(const char *path)
{
    if (!path || !*path)
        return 0;
    if (path[0] == '/' || path[0] == '\\')
        return 1;
    if (((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z')) && path[1] == ':')
        return 1;
    return strstr(path, "://") != nullptr || strstr(path, ":\\\\") != nullptr;
}

void app_panic_dump_dir_set(const char *dir, const char *app_name)
{
    LOG_VERB("pal", "[%s][%s]==>\n", dir ? dir : "", app_name ? app_name : "");
}
