// The kernel's own value of its large-file open flag. The C library's
// O_LARGEFILE is 0 on 64-bit machines and the kernel's value differs between
// architectures (0x8000 on x86_64, 0x10000 on powerpc), so it is taken from
// the kernel's header, alone in this file because that header cannot be
// combined with the C library's <fcntl.h>.
#include <asm/fcntl.h>

int fuse_kernel_largefile(void) { return O_LARGEFILE; }
