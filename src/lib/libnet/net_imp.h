// Shared inside the connection library only.
#pragma once
#include <cstdint>

#include "libnet/libnet.h"

#define NET_TAG "net"

// Relaxed atomic reads and writes of the abort flags another thread sets.
inline int32_t net_flag_get(const int32_t *f) { return __atomic_load_n(f, __ATOMIC_ACQUIRE); }
inline void net_flag_set(int32_t *f, int32_t v) { __atomic_store_n(f, v, __ATOMIC_RELEASE); }

// 1 when the process-wide abort is due (net_abort_all), the hook's flag is
// up or its function answers non-zero.
int net_hook_aborts(net_abort_hook *hook, int timeout_ms);

// Records {status of errno, its text} in err.
#define NET_ERR_ERRNO(err)                                                                                             \
    do {                                                                                                               \
        const int eno_ = errno;                                                                                        \
        VPERROR_SET((err), os_verr_get(eno_), "%s", os_errno_str_of(eno_));                                           \
    } while (0)
