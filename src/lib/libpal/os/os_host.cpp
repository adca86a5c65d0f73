// Host facts used by platform start-up.
#include "libpal/os/os_host.h"

#include <dirent.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "libpal/string/str_safe.h"

char *os_get_hostname(char *buf, size_t size)
{
    if (!buf || size == 0)
        return buf;
    char tmp[256] = {0};
    if (gethostname(tmp, sizeof(tmp) - 1) != 0 || tmp[0] == '\0' || strcmp(tmp, "(none)") == 0)
        str_safecopy_trunc(buf, size, "none");
    else
        str_safecopy_trunc(buf, size, tmp);
    return buf;
}

int64_t os_get_boot_time(void)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0)
        return 0;
    return (int64_t)time(nullptr) - (int64_t)si.uptime;
}

uint64_t os_mac_get(void)
{
    DIR *d = opendir("/sys/class/net");
    if (!d)
        return 0;
    uint64_t found = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char path[512];
        snprintf(path, sizeof(path), "/sys/class/net/%s/address", e->d_name);
        FILE *f = fopen(path, "re");
        if (!f)
            continue;
        unsigned b[6] = {0, 0, 0, 0, 0, 0};
        int n = fscanf(f, "%02x:%02x:%02x:%02x:%02x:%02x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
        fclose(f);
        if (n <= 0)
            continue;
        uint64_t v = 0;
        for (unsigned x : b)
            v = (v << 8) | (x & 0xff);
        if (v > 0xffffff) {
            found = v;
            break;
        }
    }
    closedir(d);
    return found;
}
