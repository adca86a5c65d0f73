#include "libpal/network/os_socket_env.h"

#include <csignal>

int os_socket_init_env(void)
{
    signal(SIGPIPE, SIG_IGN);
    return 1;
}
