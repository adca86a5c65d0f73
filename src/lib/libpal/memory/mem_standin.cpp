// Stand-in until the memory managers land.
#include "liblog/log2.h"

int mem_init(void)
{
    LOG_VERB("pal", "memory managers: not available yet\n");
    return -1;
}
