// pl_assert: soft assertions (log, dump the stack, return the failure value)
// and hard ones (log, then stop through the crash path).
#pragma once
#include "liblog/log2.h"

void pl_dump_stack(void);
[[noreturn]] void pl_assert_fatal(void);

// Soft: when expr is false, log "expr[...]: assert failed", dump the stack and
// return `ret` from the calling function.
#define PL_ASSERT_RET(tag, expr, ret)                                                                 \
    do {                                                                                              \
        if (!(expr)) {                                                                                \
            log2_printf(nullptr, LOG2_ERR, (tag), __FILE__, __LINE__, __func__, "expr[%s]: assert failed\n", \
                        #expr);                                                                       \
            pl_dump_stack();                                                                          \
            return ret;                                                                               \
        }                                                                                             \
    } while (0)
// Soft assertion for functions returning void.
#define PL_ASSERT_RET_VOID(tag, expr)                                                                 \
    do {                                                                                              \
        if (!(expr)) {                                                                                \
            log2_printf(nullptr, LOG2_ERR, (tag), __FILE__, __LINE__, __func__, "expr[%s]: assert failed\n", \
                        #expr);                                                                       \
            pl_dump_stack();                                                                          \
            return;                                                                                   \
        }                                                                                             \
    } while (0)
// Hard: when expr is false, log the same line and stop the program.
#define PL_ASSERT_HARD(tag, expr)                                                                     \
    do {                                                                                              \
        if (!(expr)) {                                                                                \
            log2_printf(nullptr, LOG2_ERR, (tag), __FILE__, __LINE__, __func__, "expr[%s]: assert failed\n", \
                        #expr);                                                                       \
            pl_assert_fatal();                                                                        \
        }                                                                                             \
    } while (0)
