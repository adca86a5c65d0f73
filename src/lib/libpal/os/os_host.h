// os_host: facts about the host the process runs on.
#pragma once
#include <cstddef>
#include <cstdint>

// gethostname; an empty name or "(none)" becomes "none".
char *os_get_hostname(char *buf, size_t size);
// Real-time seconds minus the uptime; 0 when it cannot be read.
int64_t os_get_boot_time(void);
// First MAC address (above 0xffffff) of /sys/class/net, in directory order; 0 if none.
uint64_t os_mac_get(void);
