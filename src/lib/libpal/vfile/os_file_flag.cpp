// Open-flag conversions; see os_file_flag.h.
#include "libpal/vfile/os_file_flag.h"

#include <cstring>
#include <fcntl.h>
#include <strings.h>

#include "libpal/vfile/os_file2.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {
// One row per flag name: portable bit and host value. A host value of 0
// (O_LARGEFILE on 64-bit glibc) converts to nothing in either direction.
struct flag_pair {
    int pl;
    int host;
};
constexpr flag_pair k_flags[] = {
    {PL_O_CREAT, O_CREAT},       {PL_O_APPEND, O_APPEND},       {PL_O_TRUNC, O_TRUNC},
    {PL_O_DIRECT, O_DIRECT},     {PL_O_EXCL, O_EXCL},           {PL_O_NOFOLLOW, O_NOFOLLOW},
    {PL_O_NONBLOCK, O_NONBLOCK}, {PL_O_SYNC, O_SYNC},           {PL_O_DIRECTORY, O_DIRECTORY},
    {PL_O_CLOEXEC, O_CLOEXEC},   {PL_O_LARGEFILE, O_LARGEFILE},
};
} // namespace

int pl_oflag_2_os(int flags)
{
    int o;
    switch (flags & PL_O_ACCMODE) {
    case PL_O_WRONLY:
        o = O_WRONLY;
        break;
    case PL_O_RDWR:
        o = O_RDWR;
        break;
    default: // 0, and 3 read as read-only
        o = O_RDONLY;
        break;
    }
    for (const flag_pair &f : k_flags)
        if (flags & f.pl)
            o |= f.host;
    return o;
}

int os_oflag_2_pl(int oflags)
{
    int pl;
    switch (oflags & O_ACCMODE) {
    case O_WRONLY:
        pl = PL_O_WRONLY;
        break;
    case O_RDWR:
        pl = PL_O_RDWR;
        break;
    default:
        pl = PL_O_RDONLY;
        break;
    }
    for (const flag_pair &f : k_flags) {
        if (f.pl == PL_O_SYNC)
            continue;
        if (f.host != 0 && (oflags & f.host) == f.host)
            pl |= f.pl;
    }
    // O_SYNC includes the O_DSYNC bit on Linux; either one means synchronous.
    if ((oflags & O_SYNC) == O_SYNC || (oflags & O_DSYNC) == O_DSYNC)
        pl |= PL_O_SYNC;
    return pl;
}

uint32_t pl_oflag_2_pf(int flags)
{
    uint32_t pf = OS_FILE_PL;
    switch (flags & PL_O_ACCMODE) {
    case PL_O_RDONLY:
        pf |= OS_FILE_READ;
        break;
    case PL_O_WRONLY:
        pf |= OS_FILE_WRITE;
        break;
    case PL_O_RDWR:
        pf |= OS_FILE_RDWR;
        break;
    default:
        break;
    }
    if (flags & PL_O_APPEND)
        pf |= OS_FILE_APPEND;
    if (flags & PL_O_CREAT)
        pf |= OS_FILE_CREATE;
    if (flags & PL_O_TRUNC)
        pf |= OS_FILE_TRUNC;
    if (flags & PL_O_DIRECT)
        pf |= OS_FILE_DIRECT;
    if (flags & PL_O_SYNC)
        pf |= OS_FILE_SYNC;
    return pf;
}

uint32_t os_wflag_2_pf(uint32_t access, uint32_t disposition)
{
    uint32_t pf = 0;
    bool rd = access & (OS_WACCESS_READ | OS_WACCESS_EXEC);
    bool wr = access & OS_WACCESS_WRITE;
    if (rd && wr)
        pf = OS_FILE_RDWR;
    else if (rd)
        pf = OS_FILE_READ;
    else if (wr)
        pf = OS_FILE_WRITE;
    switch (disposition) {
    case OS_DISP_CREATE_NEW:
    case OS_DISP_OPEN_ALWAYS:
        pf |= OS_FILE_CREATE;
        break;
    case OS_DISP_CREATE_ALWAYS:
        pf |= OS_FILE_CREATE | OS_FILE_TRUNC;
        break;
    case OS_DISP_TRUNCATE_EXISTING:
        pf |= OS_FILE_TRUNC;
        break;
    default:
        break;
    }
    return pf;
}

uint32_t os_sflag2pf(char *text)
{
    uint32_t access = 0;
    uint32_t extra = 0;
    if (!text)
        return 0;
    char *save = nullptr;
    for (char *tok = strtok_r(text, ",.-", &save); tok; tok = strtok_r(nullptr, ",.-", &save)) {
        if (strcasecmp(tok, "rw") == 0)
            access = OS_FILE_RDWR;
        else if (strcasecmp(tok, "readonly") == 0)
            access = OS_FILE_READ;
        else if (strcasecmp(tok, "direct") == 0)
            extra |= OS_FILE_DIRECT;
        else if (strcasecmp(tok, "sync") == 0)
            extra |= OS_FILE_SYNC;
        else if (strcasecmp(tok, "vss") == 0)
            extra |= OS_FILE_VSS;
        else
            LOG_WARN(TAG, "flags=[%s] not support\n", tok);
    }
    return access | extra;
}
