// pl_verr: platform status codes, their texts, the errno maps and the
// last-error record that objects keep so a caller can ask what went wrong.
#pragma once
#include <cstddef>

// A status code is 0 for success and negative for a failure. Named codes for
// the rows the system produces; the table in pl_verr.cpp holds them all.
enum : int {
    VERR_SUCCESS = 0,
    VERR_GENERAL_FAILURE = -1,
    VERR_INVALID_PARAMETER = -2,
    VERR_INVALID_MAGIC = -3,
    VERR_INVALID_HANDLE = -4,
    VERR_LOCK_FAILED = -5,
    VERR_INVALID_POINTER = -6,
    VERR_NO_MEMORY = -8,
    VERR_PERMISSION_DENIED = -10,
    VERR_NOT_IMPLEMENTED = -12,
    VERR_ABORTED = -14,
    VERR_INVALID_FUNCTION = -36,
    VERR_NOT_SUPPORTED = -37,
    VERR_ACCESS_DENIED = -38,
    VERR_INTERRUPTED = -39,
    VERR_TIMEOUT = -40,
    VERR_BUFFER_OVERFLOW = -42,
    VERR_PROCESS_NOT_FOUND = -50,
    VERR_TRY_AGAIN = -52,
    VERR_NO_TRANSLATION = -58,
    VERR_CANCELLED = -70,
    VERR_FILE_NOT_FOUND = -102,
    VERR_PATH_NOT_FOUND = -103,
    VERR_ALREADY_EXISTS = -105,
    VERR_TOO_MANY_OPEN_FILES = -106,
    VERR_SEEK_ON_DEVICE = -109,
    VERR_WRITE_PROTECT = -113,
    VERR_SHARING_VIOLATION = -114,
    VERR_FILE_LOCK_FAILED = -115,
    VERR_NOT_SAME_DEVICE = -119,
    VERR_FILENAME_TOO_LONG = -120,
    VERR_MEDIA_NOT_PRESENT = -121,
    VERR_MEDIA_NOT_RECOGNIZED = -122,
    VERR_DIR_NOT_EMPTY = -125,
    VERR_NOT_A_DIRECTORY = -126,
    VERR_IS_A_DIRECTORY = -127,
    VERR_FILE_TOO_BIG = -128,
    VERR_RESOURCE_BUSY = -138,
    VERR_DISK_FULL = -152,
    VERR_TOO_MANY_SYMLINKS = -156,
    VERR_DEV_IO_ERROR = -250,
    VERR_DEV_IO_NOT_READY = -252,
    VERR_DEV_IO_NO_SUCH_DEVICE = -258,
    VERR_BROKEN_PIPE = -301,
    VERR_NO_DATA = -304,
    VERR_DEADLOCK = -365,
    VERR_NET_IO_ERROR = -400,
    VERR_NET_NOT_ON_NETWORK = -405,
    VERR_NET_NAME_NOT_UNIQUE = -406,
    VERR_NET_IN_PROGRESS = -436,
    VERR_NET_ALREADY_IN_PROGRESS = -437,
    VERR_NET_NOT_SOCKET = -438,
    VERR_NET_CONNECTION_RESET = -454,
    VERR_NET_CONNECTION_REFUSED = -461,
    VERR_NET_PROTOCOL_ERROR = -466,
    VERR_BAD_EXE_FORMAT = -608,
    VINF_EXTENDED_DIR_READ = 203,
};

enum { VPERROR_MSG_SIZE = 4096 };

// Last-error record. file and func point at static texts (never copied).
struct vperror_t {
    const char *file;
    const char *func;
    int line;
    int code;
    char msg[VPERROR_MSG_SIZE];
};

// Message of the first table row with `code`; "Invalid error code" (and a dbg
// line) for a code with no row. Static text; any thread.
const char *verr2str(int code);
// Status code -> errno; unknown codes warn and give EPERM.
int verr_2_posix(int code);
int os_verr_2_errno(int code);
// Sets errno to verr_2_posix(code) and returns it.
int os_errno_set_verr(int code);
int os_set_verr(int code);
// errno -> status code; unknown values warn and give -1.
int os_verr_get(int eno);
// "ok" for 0, else the C library's text for eno trimmed, into buf (size bytes).
char *os_errno_str_r(int eno, char *buf, size_t size);
// Text of the current errno ("ok" for 0). Per-thread buffer: valid until the
// calling thread's next call.
const char *os_errno_str(void);
const char *os_errno_str2(void);
const char *os_errno_str3(void);
const char *os_errno_str_of(int eno);

// Record an error; a NULL record does nothing, a NULL fmt leaves msg empty.
void vperror_set(vperror_t *e, const char *file, int line, const char *func, int code, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));
// As vperror_set, then a blank (unless already there) and `tail`.
void vperror_set_tail(vperror_t *e, const char *file, int line, const char *func, int code, const char *tail,
                      const char *fmt, ...) __attribute__((format(printf, 7, 8)));
// msg when not empty, else the table text of the code.
const char *vperror_str(const vperror_t *e);
void vperror_copy(vperror_t *dst, const vperror_t *src);

#define VPERROR_SET(e, code, ...) vperror_set((e), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
