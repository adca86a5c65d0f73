// Stack dump and the fatal stop of hard assertions.
#include <csignal>
#include <cstdlib>

#include "libpal/basic/pl_assert.h"

// Log lines of the stack dump carry this fixed place.
void pl_dump_stack(void)
{
    log2_printf(nullptr, LOG2_ERR, "pal", "src/lib/libpal/os/os_assert.c", 5, "pl_dump_stack", "[%s]\n",
                "release no stack info");
}

void pl_assert_fatal(void)
{
    // A real crash signal, so the panic handler reports it like any other.
    raise(SIGSEGV);
    // The handler may have returned (or none was installed with SIG_IGN).
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    abort();
}
