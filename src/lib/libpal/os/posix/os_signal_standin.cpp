// Stand-in until the signal module lands: no panic handlers are installed.
#include "liblog/log2.h"

int os_panic_init(void)
{
    LOG_VERB("pal", "panic handlers: not available yet\n");
    return -1;
}
