// Path text operations.
#include "libpal/string/str_path.h"

#include <unistd.h>

#include <climits>
#include <new>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libpal/basic/pl_assert.h"
#include "libpal/env/os_env.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

inline bool is_sep(char c) { return c == '/' || c == '\\'; }

inline bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Position of the last separator, or npos.
const char *last_sep(const char *path)
{
    const char *r = nullptr;
    for (const char *p = path; *p; p++)
        if (is_sep(*p))
            r = p;
    return r;
}

// Soft assertion that leaves the caller free to clean up before returning.
bool soft_check(bool ok, const char *expr, const char *file, int line, const char *func)
{
    if (!ok) {
        log2_printf(nullptr, LOG2_ERR, "pal", file, line, func, "expr[%s]: assert failed\n", expr);
        pl_dump_stack();
    }
    return ok;
}

void squeeze_run(char *path, char sep)
{
    char *w = path;
    for (const char *r = path; *r; r++) {
        if (*r == sep && w > path && w[-1] == sep)
            continue;
        *w++ = *r;
    }
    *w = '\0';
}

void replace_chr(char *path, char from, char to)
{
    for (char *p = path; *p; p++)
        if (*p == from)
            *p = to;
}

// The normalised form of a path of any length, for comparisons.
std::string normalized(const char *path)
{
    std::string s = path ? path : "";
    s.push_back('\0');
    path_normalize(s.data());
    s.resize(strlen(s.c_str()));
    return s;
}

} // namespace

// ---------------------------------------------------------------- joining

char *path_append2(char *dir, size_t size, const char *name)
{
    if (!dir || size == 0)
        return dir;
    if (!name)
        name = "";
    size_t len = strnlen(dir, size);
    if (len == size) { // not terminated within its size: nothing sane to add
        dir[0] = '\0';
        return dir;
    }
    // Each step is strict and empties dir on overflow; stop at the first so
    // that a later step never writes a plausible tail into the emptied text.
    if ((len == 0 || !is_sep(dir[len - 1])) && str_safecat(dir, size, "/"))
        return dir;
    if (is_sep(name[0]))
        name++;
    str_safecat(dir, size, name);
    return dir;
}

char *path_append(char *dir, const char *name) { return path_append2(dir, PL_MAX_PATH, name); }

char *path_build2(char *out, size_t size, const char *dir, const char *name)
{
    char *opath = out;
    const char *path = dir, *file = name;
    PL_ASSERT_HARD("pal", opath!=NULL);
    PL_ASSERT_HARD("pal", path!=NULL);
    PL_ASSERT_HARD("pal", file!=NULL);
    if (size == 0)
        return out;
    if (str_safecopy(out, size, dir))
        return out;
    return path_append2(out, size, name);
}

char *path_build(char *out, const char *dir, const char *name) { return path_build2(out, PL_MAX_PATH, dir, name); }

char *path_add_sep_not_exist_tail(char *path)
{
    if (!path)
        return path;
    size_t len = strnlen(path, PL_MAX_PATH);
    if (len > 0 && is_sep(path[len - 1]))
        return path;
    // A path from a user or a peer may be at the limit: fail softly.
    if (!soft_check(len + 2 <= PL_MAX_PATH, "len+2<=PL_MAX_PATH", __FILE__, __LINE__, __func__)) {
        path[0] = '\0';
        return path;
    }
    path[len] = '/';
    path[len + 1] = '\0';
    return path;
}

char *path_build_unescape_name(char *out, const char *dir, const char *escaped_name)
{
    if (!out)
        return out;
    out[0] = '\0';
    if (!dir || !escaped_name)
        return out;
    if (str_safecopy(out, PL_MAX_PATH, dir))
        return out;
    if (!*path_add_sep_not_exist_tail(out))
        return out;
    // Decoding never lengthens a text, so a buffer of the escaped size holds
    // the whole name and the check below sees its real length.
    size_t esize = strlen(escaped_name) + 1;
    std::string name(esize, '\0');
    int nlen = 1;
    str_unescape_cstr_buf(escaped_name, name.data(), esize, &nlen);
    size_t dlen = strlen(out);
    size_t blen = (size_t)nlen - 1; // decoded bytes, NULs included
    const char *nm = name.c_str();
    // The name comes from a peer: it must stay one component of dir.
    if (blen == 0 || strlen(nm) != blen || strchr(nm, '/') || !strcmp(nm, ".") || !strcmp(nm, "..")) {
        LOG_ERR("pal", "path=[%s] escape_name=[%s] error: invalid name", out, escaped_name);
        pl_dump_stack();
        out[0] = '\0';
        return out;
    }
    if (dlen + blen + 1 > PL_MAX_PATH - 1) {
        LOG_ERR("pal", "path=[%s] escape_name=[%s] error: too long!!", dir, escaped_name);
        pl_dump_stack();
        out[0] = '\0';
        return out;
    }
    memcpy(out + dlen, nm, blen + 1);
    return out;
}

// ---------------------------------------------------------------- normalising

char *path_normalize(char *path)
{
    if (!path)
        return path;
    replace_chr(path, '\\', '/');
    if (!strncmp(path, "file://", 7))
        memmove(path, path + 7, strlen(path + 7) + 1);
    squeeze_run(path, '/');
    return path;
}

char *path_normalize_buf(const char *src, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    if (str_safecopy(out, size, src ? src : ""))
        return out;
    return path_normalize(out);
}

char *path_squeeze_sep(char *path, char sep)
{
    if (!path)
        return path;
    replace_chr(path, sep == '/' ? '\\' : '/', sep);
    squeeze_run(path, sep);
    return path;
}

char *path_squeeze_slash(char *path) { return path_squeeze_sep(path, '/'); }

wchar_t *path_squeeze_sep_w(wchar_t *path)
{
    if (!path)
        return path;
    wchar_t *w = path;
    for (const wchar_t *r = path; *r; r++) {
        wchar_t c = *r == L'/' ? L'\\' : *r;
        if (c == L'\\' && w > path && w[-1] == L'\\')
            continue;
        *w++ = c;
    }
    *w = L'\0';
    return path;
}

char *path_drive_to_posix(char *path, size_t size)
{
    if (!path || size == 0)
        return path;
    size_t len = strnlen(path, size);
    if (len + 2 > size) {
        // Report it as every strict writer does: logged, emptied.
        char tmp[2] = {'/', '\0'};
        path[len < size ? len : size - 1] = '\0';
        str_safecat(path, size, tmp);
        path[0] = '\0';
        return path;
    }
    memmove(path + 1, path, len + 1);
    path[0] = '/';
    return path;
}

static char *to_posix(char *path, size_t size)
{
    replace_chr(path, '\\', '/');
    squeeze_run(path, '/');
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/')
        path[--len] = '\0';
    if (path[0] == '/' && path[1] && path[2] == ':')
        path[2] = '_';
    else if (path[0] && path[1] == ':') {
        path[1] = '_';
        path_drive_to_posix(path, size);
    }
    return path;
}

char *path_to_posix(char *path)
{
    if (!path)
        return path;
    return to_posix(path, PL_MAX_PATH);
}

char *path_to_posix_buf(const char *src, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    if (str_safecopy(out, size, src ? src : ""))
        return out;
    return to_posix(out, size);
}

char *path_del_sep_tail(char *path)
{
    if (!path)
        return path;
    size_t len = strlen(path);
    if (len > 1 && is_sep(path[len - 1]))
        path[len - 1] = '\0';
    return path;
}

// ---------------------------------------------------------------- components

const char *path_basename(const char *path)
{
    if (!path)
        return path;
    const char *s = last_sep(path);
    return s ? s + 1 : path;
}

char *path_basename(char *path) { return const_cast<char *>(path_basename(static_cast<const char *>(path))); }

char *path_cut_name(char *path)
{
    if (!path)
        return path;
    if (char *s = const_cast<char *>(last_sep(path)))
        *s = '\0';
    return path;
}

char *path_del_name(char *path)
{
    if (!path)
        return path;
    if (char *s = const_cast<char *>(last_sep(path)))
        s[1] = '\0';
    else
        path[0] = '\0';
    return path;
}

const char *path_dirname_static(const char *path)
{
    // Per thread: the FUSE loop and the heartbeat may both ask.
    static thread_local char buf[PL_MAX_PATH];
    buf[0] = '\0';
    if (path && !str_safecopy(buf, sizeof(buf), path))
        path_del_name(buf);
    return buf;
}

char *path_del_ext(char *path)
{
    if (!path)
        return path;
    const char *s = last_sep(path);
    char *dot = strrchr(s ? const_cast<char *>(s) + 1 : path, '.');
    if (dot)
        *dot = '\0';
    return path;
}

int path_sep_count(const char *path)
{
    int n = 0;
    for (const char *p = path; p && *p; p++)
        n += is_sep(*p);
    return n;
}

// ---------------------------------------------------------------- tests

int path_is_absolute(const char *path)
{
    PL_ASSERT_RET("pal", path, 0);
    if (is_sep(path[0]))
        return 1;
    if (is_alpha(path[0]) && path[1] == ':')
        return 1;
    if (strstr(path, "://"))
        return 1;
    if (strstr(path, ":\\\\"))
        return 1;
    return 0;
}

int path_is_root(const char *path)
{
    if (!path)
        return 0;
    size_t len = strnlen(path, 5);
    if (len == 0 || len > 4)
        return 0;
    char c[5] = {0};
    for (size_t i = 0; i < len; i++)
        c[i] = path[i] == '/' ? '\\' : path[i];
    static const char *const roots[] = {"\\\\.\\", "\\\\?\\", "\\\\\\", "\\\\", "\\"};
    for (const char *r : roots)
        if (!strcmp(c, r))
            return 1;
    return 0;
}

int path_has_sep_tail(const char *path)
{
    if (!path || !*path)
        return 0;
    return is_sep(path[strlen(path) - 1]);
}

int path_has_sep_head(const char *path) { return path && is_sep(path[0]); }

int path_is_plain_name(const char *path) { return path && !strpbrk(path, "/\\"); }

int path_equal(const char *a, const char *b) { return normalized(a) == normalized(b); }

int path_dir_equal(const char *a, const char *b)
{
    std::string da = a ? a : "", db = b ? b : "";
    path_del_name(da.data());
    path_del_name(db.data());
    return normalized(da.c_str()) == normalized(db.c_str());
}

// ---------------------------------------------------------------- resolving

char *path_resolve(const char *path, const char *base, char *out)
{
    if (!out)
        return out;
    out[0] = '\0';
    if (!path)
        return out;
    char full[PL_MAX_PATH];
    if (!path_is_absolute(path)) {
        char cwd[PL_MAX_PATH];
        if (!base) {
            if (!os_getcwd(cwd, sizeof(cwd)))
                str_safecopy(cwd, sizeof(cwd), "./");
            base = cwd;
        }
        path_build(full, base, path);
    } else {
        str_safecopy(full, sizeof(full), path);
    }
    if (!full[0] && path[0])
        return out; // did not fit (logged); an empty result, not a wrong one
    path_normalize(full);

    const size_t cap = PL_MAX_PATH - 1; // characters out can hold
    const char *p = full;
    size_t o = 0;
    if (is_alpha(p[0]) && p[1] == ':') {
        out[o++] = *p++;
        out[o++] = *p++;
    }
    const size_t drive_end = o;
    size_t root = o;
    if (*p == '/') {
        out[o++] = '/';
        p++;
        root = o;
    }
    const bool absolute = root > drive_end;
    // Start positions of the components written, for "..".
    static constexpr size_t k_stack = 4096;
    size_t *stack = new (std::nothrow) size_t[k_stack];
    if (!stack) {
        out[0] = '\0';
        return out;
    }
    size_t depth = 0;
    while (*p) {
        const char *e = strchr(p, '/');
        size_t n = e ? (size_t)(e - p) : strlen(p);
        bool slash = e != nullptr;
        if (n == 1 && p[0] == '.') {
            // skipped
        } else if (n == 2 && p[0] == '.' && p[1] == '.') {
            if (depth > 0) {
                o = stack[--depth];
            } else if (absolute) {
                o = root;
            } else {
                if (o + 3 > cap)
                    break;
                memcpy(out + o, "../", 3);
                o += 3;
                root = o; // a ".." that climbs above the start stays
            }
        } else if (n > 0) {
            if (depth == k_stack || o + n + (slash ? 1 : 0) > cap)
                break;
            stack[depth++] = o;
            memcpy(out + o, p, n);
            o += n;
            if (slash)
                out[o++] = '/';
        }
        p += n + (slash ? 1 : 0);
    }
    delete[] stack;
    out[o] = '\0';
    if (o == drive_end && o + 2 <= cap) {
        memcpy(out + o, "./", 3);
    }
    return out;
}

char *path_realpath(const char *path, char *resolved)
{
    if (!path || !resolved)
        return nullptr;
    static_assert(PL_MAX_PATH >= PATH_MAX, "realpath writes up to PATH_MAX bytes");
    return realpath(path, resolved);
}

// ---------------------------------------------------------------- quoting

char *path_quote_buf(const char *path, char *out)
{
    return str_quote_dq(path, out, PL_MAX_PATH);
}

char *path_quote(char *path)
{
    if (!path)
        return path;
    char tmp[PL_MAX_PATH];
    str_quote_dq(path, tmp, sizeof(tmp));
    memcpy(path, tmp, strlen(tmp) + 1);
    return path;
}
