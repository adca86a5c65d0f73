// Status codes: lookups, errno maps and the last-error record.
#include "libpal/basic/pl_verr.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_verr_tab.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {
struct map_row {
    int from;
    int to;
};

// status code -> errno
constexpr map_row k_verr_to_errno[] = {
    {-1, EPERM},          {-2, EINVAL},           {-4, EBADF},           {-6, EFAULT},          {-8, ENOMEM},
    {-12, ENOSYS},        {-14, ECANCELED},       {-36, ENOTTY},         {-37, EOPNOTSUPP},     {-38, EPERM},
    {-39, EINTR},         {-40, ETIMEDOUT},       {-42, E2BIG},          {-50, ESRCH},          {-52, EAGAIN},
    {-58, EILSEQ},        {-102, ENOENT},         {-103, ENOTDIR},       {-105, EEXIST},        {-106, EMFILE},
    {-109, ESPIPE},       {-113, EROFS},          {-114, ETXTBSY},       {-115, ENOLCK},        {-119, EXDEV},
    {-120, ENAMETOOLONG}, {-121, ENOMEDIUM},      {-122, EMEDIUMTYPE},   {-125, ENOTEMPTY},     {-127, EISDIR},
    {-128, EFBIG},        {-138, EBUSY},          {-152, ENOSPC},        {-156, ELOOP},         {-250, EIO},
    {-252, ENXIO},        {-258, ENXIO},          {-301, EPIPE},         {-304, ENODATA},       {-365, EDEADLK},
    {-405, ENONET},       {-406, ENOTUNIQ},       {-436, EINPROGRESS},   {-437, EALREADY},      {-438, ENOTSOCK},
    {-439, EDESTADDRREQ}, {-440, EMSGSIZE},       {-441, EPROTOTYPE},    {-442, ENOPROTOOPT},   {-443, EPROTONOSUPPORT},
    {-444, ESOCKTNOSUPPORT}, {-445, EOPNOTSUPP},  {-446, EPFNOSUPPORT},  {-447, EAFNOSUPPORT},  {-448, EADDRINUSE},
    {-449, EADDRNOTAVAIL}, {-450, ENETDOWN},      {-451, ENETUNREACH},   {-452, ENETRESET},     {-453, ECONNABORTED},
    {-454, ECONNRESET},   {-455, ENOBUFS},        {-456, EISCONN},       {-457, ENOTCONN},      {-458, ESHUTDOWN},
    {-459, ETOOMANYREFS}, {-461, ECONNREFUSED},   {-464, EHOSTDOWN},     {-465, EHOSTUNREACH},  {-466, EPROTO},
    {-608, ENOEXEC},
};

// errno -> status code
constexpr map_row k_errno_to_verr[] = {
    {EPERM, -38},         {ENOENT, -102},       {ESRCH, -50},         {EINTR, -39},         {EIO, -250},
    {ENXIO, -258},        {E2BIG, -42},         {ENOEXEC, -608},      {EBADF, -4},          {ECHILD, -50},
    {EAGAIN, -52},        {ENOMEM, -8},         {EACCES, -38},        {EFAULT, -6},         {EBUSY, -138},
    {EEXIST, -105},       {EXDEV, -119},        {ENODEV, -102},       {ENOTDIR, -103},      {EISDIR, -127},
    {EINVAL, -2},         {ENFILE, -106},       {EMFILE, -106},       {ENOTTY, -36},        {ETXTBSY, -114},
    {EFBIG, -128},        {ENOSPC, -152},       {ESPIPE, -109},       {EROFS, -113},        {EPIPE, -301},
    {EDOM, -2},           {ERANGE, -2},         {EDEADLK, -365},      {ENAMETOOLONG, -120}, {ENOLCK, -115},
    {ENOSYS, -12},        {ENOTEMPTY, -125},    {ELOOP, -156},        {ENODATA, -304},      {ENONET, -405},
    {EPROTO, -466},       {EOVERFLOW, -42},     {ENOTUNIQ, -406},     {EBADFD, -4},         {EILSEQ, -58},
    {ERESTART, -39},      {ENOTSOCK, -438},     {EDESTADDRREQ, -439}, {EMSGSIZE, -440},     {EPROTOTYPE, -441},
    {ENOPROTOOPT, -442},  {EPROTONOSUPPORT, -443}, {ESOCKTNOSUPPORT, -444}, {EOPNOTSUPP, -37}, {EPFNOSUPPORT, -446},
    {EAFNOSUPPORT, -447}, {EADDRINUSE, -448},   {EADDRNOTAVAIL, -449}, {ENETDOWN, -450},    {ENETUNREACH, -451},
    {ENETRESET, -452},    {ECONNABORTED, -453}, {ECONNRESET, -454},   {ENOBUFS, -455},      {EISCONN, -456},
    {ENOTCONN, -457},     {ESHUTDOWN, -458},    {ETOOMANYREFS, -459}, {ETIMEDOUT, -40},     {ECONNREFUSED, -461},
    {EHOSTDOWN, -464},    {EHOSTUNREACH, -465}, {EALREADY, -437},     {EINPROGRESS, -436},  {EDQUOT, -152},
    {ENOMEDIUM, -121},    {EMEDIUMTYPE, -122},  {ECANCELED, -14},
};

thread_local char t_errno_buf[256];
} // namespace

const char *verr2str(int code)
{
    for (const pl_verr_row *r = g_verr_tab; r->msg; ++r)
        if (r->code == code)
            return r->msg;
    LOG_DBG(TAG, "Invalid errno=%d (0x%x)\n", code, (unsigned)code);
    return "Invalid error code";
}

int verr_2_posix(int code)
{
    if (code == 0)
        return 0;
    for (const map_row &m : k_verr_to_errno)
        if (m.from == code)
            return m.to;
    LOG_WARN(TAG, "unkown verrno = %d\n", code);
    return EPERM;
}

int os_verr_2_errno(int code) { return verr_2_posix(code); }

int os_errno_set_verr(int code)
{
    int e = verr_2_posix(code);
    errno = e;
    return e;
}

int os_set_verr(int code) { return os_errno_set_verr(code); }

int os_verr_get(int eno)
{
    if (eno == 0)
        return 0;
    for (const map_row &m : k_errno_to_verr)
        if (m.from == eno)
            return m.to;
    LOG_WARN(TAG, "unkown eno=%d\n", eno);
    return -1;
}

char *os_errno_str_r(int eno, char *buf, size_t size)
{
    if (!buf || size == 0)
        return buf;
    if (eno == 0) {
        str_safecopy_trunc(buf, size, "ok");
        return buf;
    }
    char tmp[256];
    const char *s = strerror_r(eno, tmp, sizeof(tmp)); // GNU form
    // trim white space at both ends
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r')
        ++s;
    str_safecopy_trunc(buf, size, s);
    size_t n = strlen(buf);
    while (n > 0 && (buf[n - 1] == ' ' || buf[n - 1] == '\t' || buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        buf[--n] = '\0';
    if (n == 0)
        snprintf(buf, size, "unkown os_errno=%u (0x%x)", (unsigned)eno, (unsigned)eno);
    return buf;
}

const char *os_errno_str_of(int eno)
{
    int saved = errno;
    os_errno_str_r(eno, t_errno_buf, sizeof(t_errno_buf));
    errno = saved;
    return t_errno_buf;
}
const char *os_errno_str(void) { return os_errno_str_of(errno); }
const char *os_errno_str2(void) { return os_errno_str_of(errno); }
const char *os_errno_str3(void) { return os_errno_str_of(errno); }

static void vperror_vset(vperror_t *e, const char *file, int line, const char *func, int code, const char *fmt,
                         va_list va)
{
    e->file = file;
    e->line = line;
    e->func = func;
    e->code = code;
    e->msg[0] = '\0';
    if (fmt)
        str_vsprintf_s2(e->msg, sizeof(e->msg), fmt, va);
}

void vperror_set(vperror_t *e, const char *file, int line, const char *func, int code, const char *fmt, ...)
{
    if (!e)
        return;
    va_list va;
    va_start(va, fmt);
    vperror_vset(e, file, line, func, code, fmt, va);
    va_end(va);
}

void vperror_set_tail(vperror_t *e, const char *file, int line, const char *func, int code, const char *tail,
                      const char *fmt, ...)
{
    if (!e)
        return;
    va_list va;
    va_start(va, fmt);
    vperror_vset(e, file, line, func, code, fmt, va);
    va_end(va);
    size_t n = strlen(e->msg);
    char saved[VPERROR_MSG_SIZE];
    memcpy(saved, e->msg, n + 1);
    // Strict appends: on overflow keep the message without the tail rather
    // than an emptied one.
    if (n == 0 || e->msg[n - 1] != ' ') {
        if (str_safecat(e->msg, sizeof(e->msg), " ") != 0) {
            memcpy(e->msg, saved, n + 1);
            return;
        }
    }
    if (tail && str_safecat(e->msg, sizeof(e->msg), tail) != 0)
        memcpy(e->msg, saved, n + 1);
}

const char *vperror_str(const vperror_t *e)
{
    if (!e)
        return "";
    return e->msg[0] ? e->msg : verr2str(e->code);
}

void vperror_copy(vperror_t *dst, const vperror_t *src)
{
    if (!dst || !src || dst == src)
        return;
    dst->file = src->file;
    dst->line = src->line;
    dst->func = src->func;
    dst->code = src->code;
    str_safecopy(dst->msg, sizeof(dst->msg), src->msg);
}
