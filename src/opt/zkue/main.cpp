// Placeholder entry until the framework lands.
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_base.h"

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "-v") == 0) {
        printf("1.7.6.2\n");
        return 0;
    }
    pl_init();
    fprintf(stderr, "zkue-%s-%s v1.7.6.2 (2025-7-22) - zkp/zkps fuse\n", pl_os_name(), pl_arch_name());
    pl_exit();
    return 0;
}
