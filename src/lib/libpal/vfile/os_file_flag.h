// os_file_flag: conversions between the three open-flag vocabularies: host
// O_* flags, the portable open flags of the wire, FUSE and the virtual file
// system, and the file-object flags (pf). Every conversion goes flag by flag
// through the names, never by number: the host's O_* values differ between
// machines (x86_64 and ppc64le disagree on O_DIRECT, O_DIRECTORY ...).
#pragma once
#include <cstdint>

// Portable open flags. The low two bits are the access mode (3 reads as
// read-only).
enum : int {
    PL_O_RDONLY = 0,
    PL_O_WRONLY = 1,
    PL_O_RDWR = 2,
    PL_O_ACCMODE = 3,
    PL_O_CREAT = 0x4,
    PL_O_APPEND = 0x8,
    PL_O_TRUNC = 0x10,
    PL_O_DIRECT = 0x20,
    PL_O_EXCL = 0x40,
    PL_O_NOFOLLOW = 0x80,
    PL_O_NONBLOCK = 0x100,
    PL_O_SYNC = 0x200,
    PL_O_DIRECTORY = 0x800,
    PL_O_CLOEXEC = 0x1000,
    PL_O_LARGEFILE = 0x80000,
};

// Access-mask bits of os_wflag_2_pf.
enum : uint32_t { OS_WACCESS_READ = 0x80000000u, OS_WACCESS_WRITE = 0x40000000u, OS_WACCESS_EXEC = 0x20000000u };
// Creation dispositions of wopen.
enum : uint32_t {
    OS_DISP_CREATE_NEW = 1,
    OS_DISP_CREATE_ALWAYS = 2,
    OS_DISP_OPEN_EXISTING = 3,
    OS_DISP_OPEN_ALWAYS = 4,
    OS_DISP_TRUNCATE_EXISTING = 5,
};

// Portable -> host O_* flags.
int pl_oflag_2_os(int flags);
// Host O_* -> portable; O_SYNC or O_DSYNC give PL_O_SYNC; host flags without
// a portable meaning (O_NOCTTY, O_ASYNC, O_NOATIME, O_PATH, the kernel's
// large-file bit ...) are dropped.
int os_oflag_2_pl(int oflags);
// Portable -> file-object flags (always with OS_FILE_PL).
uint32_t pl_oflag_2_pf(int flags);
// Access mask and creation disposition -> file-object flags.
uint32_t os_wflag_2_pf(uint32_t access, uint32_t disposition);
// "rw", "readonly", "direct", "sync", "vss" separated by ',', '.' or '-'
// (any case) -> file-object flags. Splits `text` in place.
uint32_t os_sflag2pf(char *text);
