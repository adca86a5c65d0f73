// Shared by the fuzz targets: a check that stops the run, and a quiet log
// that still formats every record so that a format and its arguments that
// disagree show up.
#pragma once
#include <cstdarg>
#include <cstdio>

#include "liblog/log2.h"

// Property check: a failure is a finding.
#define CHECK(x)                                                                                                       \
    do {                                                                                                               \
        if (!(x)) {                                                                                                    \
            fprintf(stderr, "check failed: %s (line %d)\n", #x, __LINE__);                                             \
            __builtin_trap();                                                                                          \
        }                                                                                                              \
    } while (0)

static int fuzz_log_hook(unsigned, const char *, const char *, int, const char *, int, const char *fmt, va_list va)
{
    char line[8192];
    vsnprintf(line, sizeof line, fmt, va);
    return 0;
}

static void fuzz_quiet_log()
{
    static bool done = false;
    if (!done) {
        log2_set_hook(nullptr, fuzz_log_hook);
        done = true;
    }
}
