// ftp_proto: see ftp_proto.h.
#include "libvfs/ftp_proto.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "libpal/os/posix/os_fs.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A number of 1-3 digits no larger than 255 at *p, which moves past it.
int byte_at(const char *&p)
{
    if (!is_digit(*p))
        return -1;
    int v = 0;
    for (int i = 0; i < 3 && is_digit(*p); i++)
        v = v * 10 + (*p++ - '0');
    if (is_digit(*p) || v > 255)
        return -1;
    return v;
}

// Six numbers joined by ',' at p (blanks around the commas allowed).
bool six_numbers(const char *p, int v[6])
{
    for (int i = 0; i < 6; i++) {
        while (*p == ' ')
            p++;
        if ((v[i] = byte_at(p)) < 0)
            return false;
        while (*p == ' ')
            p++;
        if (i < 5 && *p++ != ',')
            return false;
    }
    return true;
}

// The n digits at s as a number (n small enough not to overflow).
int digits(const char *s, int n)
{
    int v = 0;
    for (int i = 0; i < n; i++) {
        if (!is_digit(s[i]))
            return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// "YYYYMMDDHHMMSS[.fraction]" (n characters) as UTC seconds and nanoseconds.
bool parse_time(const char *s, size_t n, int64_t *sec, uint32_t *ns)
{
    if (n < 14)
        return false;
    int y = digits(s, 4), mo = digits(s + 4, 2), d = digits(s + 6, 2);
    int h = digits(s + 8, 2), mi = digits(s + 10, 2), se = digits(s + 12, 2);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || se < 0 ||
        se > 60)
        return false;
    uint32_t frac = 0;
    if (n > 14) {
        if (s[14] != '.' || n == 15)
            return false;
        uint32_t scale = 100000000;
        for (size_t i = 15; i < n; i++) {
            if (!is_digit(s[i]))
                return false;
            frac += (uint32_t)(s[i] - '0') * scale;
            scale /= 10;
        }
    }
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = se;
    *sec = (int64_t)timegm(&t);
    *ns = frac;
    return true;
}

bool fact_is(const char *name, size_t n, const char *want)
{
    return strlen(want) == n && strncasecmp(name, want, n) == 0;
}

} // namespace

int ftp_reply_line(const char *line, int *more)
{
    if (!line || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2]))
        return -1;
    if (line[3] != '\0' && line[3] != ' ' && line[3] != '-')
        return -1;
    if (more)
        *more = line[3] == '-';
    return digits(line, 3);
}

int ftp_pasv_parse(const char *text, char *host, size_t size, int *port)
{
    if (!text || !host || size < 16 || !port)
        return -1;
    int v[6];
    const char *open = strchr(text, '(');
    if (open) {
        if (!strchr(open, ')') || !six_numbers(open + 1, v))
            return -1;
    } else {
        // Some servers leave the brackets out: the first digit after the code.
        const char *p = strlen(text) > 3 ? text + 3 : text + strlen(text);
        while (*p && !is_digit(*p))
            p++;
        if (!six_numbers(p, v))
            return -1;
    }
    snprintf(host, size, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    *port = v[4] * 256 + v[5];
    return 0;
}

int ftp_pwd_parse(const char *text, char *out, size_t size)
{
    if (!text || !out || size == 0)
        return -1;
    const char *p = strchr(text, '"');
    if (!p)
        return -1;
    p++;
    size_t n = 0;
    for (;; p++) {
        if (!*p)
            return -1;
        if (*p == '"') {
            if (p[1] != '"')
                break;
            p++;
        }
        if (n + 1 >= size)
            return -1;
        out[n++] = *p;
    }
    out[n] = '\0';
    return 0;
}

int ftp_u64_parse(const char *s, size_t n, uint64_t *out)
{
    if (!s || n == 0)
        return -1;
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (!is_digit(s[i]))
            return -1;
        uint64_t d = (uint64_t)(s[i] - '0');
        if (v > (UINT64_MAX - d) / 10)
            return -1;
        v = v * 10 + d;
    }
    *out = v;
    return 0;
}

int ftp_mlsd_parse(const char *line, ftp_entry *e)
{
    if (!line || !e)
        return -1;
    const char *sp = strchr(line, ' ');
    if (!sp || !sp[1])
        return -1;
    *e = ftp_entry{};
    bool typed = false, sized = false, file = false, known = false;
    for (const char *p = line; p < sp;) {
        const char *end = (const char *)memchr(p, ';', (size_t)(sp - p));
        if (!end)
            end = sp;
        const char *eq = (const char *)memchr(p, '=', (size_t)(end - p));
        if (eq) {
            const char *v = eq + 1;
            size_t vn = (size_t)(end - v);
            size_t kn = (size_t)(eq - p);
            if (fact_is(p, kn, "type") && vn) {
                typed = true;
                file = fact_is(v, vn, "file");
                e->self = fact_is(v, vn, "cdir") ? 1 : fact_is(v, vn, "pdir") ? 2 : 0;
                known = file || e->self || fact_is(v, vn, "dir");
            } else if (fact_is(p, kn, "size")) {
                if (ftp_u64_parse(v, vn, &e->size) != 0)
                    return -1;
                sized = true;
            } else if (fact_is(p, kn, "modify")) {
                if (!parse_time(v, vn, &e->mtime, &e->mtime_ns))
                    return -1;
            }
        }
        p = end + 1;
    }
    if (!typed || (file && !sized))
        return -1;
    e->type = file ? (uint32_t)OS_FTYPE_FILE : known ? (uint32_t)OS_FTYPE_DIR : 0u;
    if (!file)
        e->size = 0;
    e->name = sp + 1;
    return known ? 0 : 1;
}
