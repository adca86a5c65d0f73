// Stand-in until the process module lands: only the file mode mask is set.
#include <sys/stat.h>

#include "liblog/log2.h"

int os_set_process_limits(void)
{
    umask(022);
    LOG_VERB("pal", "process limits: not available yet\n");
    return -1;
}
