// os_socket_env: process-wide socket set-up.
#pragma once
// Ignores SIGPIPE, so a write to a socket whose peer has gone answers an
// error instead of ending the process. Returns 1.
int os_socket_init_env(void);
