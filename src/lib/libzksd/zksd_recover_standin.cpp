// Stand-in for the recovery of a broken exchange (reconnect, re-attach to
// the server context, re-read or replay), which belongs to the client
// session calls: until they exist a recovery fails plainly.
#include "libzksd/zksd_frame.h"
#include "liblog/log2.h"

int client_fix_last_error(cli_ctx *ctx, int *len)
{
    (void)ctx;
    (void)len;
    LOG_ERR("sdcli", "server context recovery not available in this build\n");
    return ZKSD_NET_ERR;
}
