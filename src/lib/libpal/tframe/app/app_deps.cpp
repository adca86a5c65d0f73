// Until the configuration files are in the tree the log keeps its defaults.
#include "libpal/tframe/app/app_deps.h"

#include "liblog/log2.h"

void app_log_ini_file(const char *path)
{
    LOG_VERB("pal", "log configuration from [%s]: configuration files not available yet\n", path ? path : "");
}
