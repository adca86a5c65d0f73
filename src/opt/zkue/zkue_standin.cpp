// Stand-ins for the modules the program calls that are not in the tree yet.
// Each reports plainly that the service is missing, so a run that needs it
// fails visibly instead of pretending to work.
#include <cstring>

#include "libpal/string/str_safe.h"
#include "liblog/log2.h"
#include "zkue/zkue_app.h"

#define TAG "zkue"

int zkue_shell_init(void)
{
    LOG_VERB(TAG, "console shell: not available yet\n");
    return -1;
}

int zkue_shell_loop(void)
{
    LOG_ERR(TAG, "error=console shell not available\n");
    return -1;
}

int zkue_shell_exit(void) { return 0; }

