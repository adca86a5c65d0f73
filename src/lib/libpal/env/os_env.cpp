// Key tables, executable path, environment shortcuts, command lookup and the
// per-context working directory.
#include "libpal/env/os_env.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/os/posix/os_fs_file3.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

enum { ENV_PATH_MAX = 4096 };

namespace {

// realpath of `path` copied strictly into a 4096-byte buffer.
bool env_realpath(const char *path, char *buf)
{
    char *r = realpath(path, nullptr);
    if (!r)
        return false;
    bool ok = str_safecopy(buf, ENV_PATH_MAX, r) == 0;
    free(r);
    return ok;
}

} // namespace

// ---- key tables ------------------------------------------------------------

static os_opt_kv_t *kv_find(os_opt_kv_t *tab, const char *key)
{
    for (os_opt_kv_t *r = tab; r && r->key; ++r)
        if (strcasecmp(r->key, key) == 0)
            return r;
    return nullptr;
}

// Stores a value text into the row's target by its type.
static void kv_store(os_opt_kv_t *r, const char *value)
{
    if (!r->target)
        return;
    if (r->type == OS_OPT_KV_INT)
        *(int *)r->target = str_atoi(value);
    else
        *(char **)r->target = os_strdup(value);
}

int os_opt_kv_get(os_opt_kv_t *tab, const char *text)
{
    if (!tab || !text)
        return -1;
    if (strcmp(text, "list") == 0) {
        fprintf(stderr, "support the following key settings\n");
        for (os_opt_kv_t *r = tab; r->key; ++r)
            fprintf(stderr, "%s\n", r->key);
        fflush(stderr);
        exit(0);
    }
    // Field 0 is the key, field 1 the value: a further '=' ends the value.
    char key[256], val[256];
    if (str_get_key_and_val(text, "=", key, sizeof(key), val, sizeof(val)) != 0) {
        LOG_ERR(TAG, "%s syntax error Example: k=v\n", text);
        return -1;
    }
    os_opt_kv_t *r = kv_find(tab, key);
    if (!r) {
        LOG_ERR(TAG, "unsupported key [%s]\n", key);
        return -1;
    }
    char *copy = safe_strdup(val);
    os_free(r->value);
    r->value = copy;
    return 0;
}

int os_opt_kv_apply(os_opt_kv_t *tab)
{
    for (os_opt_kv_t *r = tab; r && r->key; ++r)
        if (r->value)
            kv_store(r, r->value);
    return 0;
}

int os_opt_kv_set2(os_opt_kv_t *tab, const char *key, const char *value)
{
    os_opt_kv_t *r = key ? kv_find(tab, key) : nullptr;
    if (!r) {
        LOG_DBG(TAG, "unsupported key=[%s] val=[%s]\n", key ? key : "", value ? value : "");
        return -1;
    }
    kv_store(r, value ? value : "");
    return 0;
}

int os_opt_kv_free(os_opt_kv_t *tab)
{
    for (os_opt_kv_t *r = tab; r && r->key; ++r) {
        os_free(r->value);
        r->value = nullptr;
    }
    return 0;
}

// ---- executable ------------------------------------------------------------

// Argument 0 of this process from /proc/self/cmdline.
static bool exe_argv0(std::string &out)
{
    char *text = os_cat("/proc/self/cmdline");
    if (!text)
        return false;
    out = text; // the first NUL ends argument 0
    os_free(text);
    return !out.empty();
}

int os_exe_get_name(char *buf, size_t size)
{
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    // readlink neither terminates nor reports a cut target: read into a
    // buffer one byte larger than any path, so a target that fills it is
    // known to be cut. A path that just fits `size` with its NUL is taken;
    // nothing is ever written past `size`.
    char link[ENV_PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", link, sizeof(link) - 1);
    if (n >= 0 && (size_t)n < sizeof(link) - 1 && (size_t)n < size) {
        memcpy(buf, link, (size_t)n);
        buf[n] = '\0';
        return 0;
    }
    if (n >= 0)
        errno = ENAMETOOLONG;
    buf[0] = '\0';
    log2_printf(nullptr, LOG2_VERB | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, "os_exe_get_name",
                "readlink /proc/self/exe error: ");
    std::string arg0;
    if (!exe_argv0(arg0)) {
        log2_printf(nullptr, LOG2_VERB | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, "os_exe_get_name",
                    "os_cat /proc/self/cmdline error: ");
        return -1;
    }
    if (arg0[0] == '/')
        return str_safecopy(buf, size, arg0.c_str()) == 0 ? 0 : -1;
    char cwd[ENV_PATH_MAX];
    if (!getcwd(cwd, sizeof(cwd))) {
        log2_printf(nullptr, LOG2_VERB | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, "os_exe_get_name", "getcwd error:");
        return -1;
    }
    if (str_safecat(cwd, sizeof(cwd), "/") != 0 || str_safecat(cwd, sizeof(cwd), arg0.c_str()) != 0)
        return -1;
    char *slash = strrchr(cwd, '/');
    *slash = '\0';
    char *real = realpath(cwd, nullptr);
    if (!real) {
        log2_printf(nullptr, LOG2_VERB | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, "os_exe_get_name",
                    "realpath [%s] error:", cwd);
        return -1;
    }
    int r = str_safecopy(buf, size, real);
    free(real);
    if (r != 0)
        return -1;
    const char *base = strrchr(arg0.c_str(), '/');
    base = base ? base + 1 : arg0.c_str();
    if (str_safecat(buf, size, "/") != 0 || str_safecat(buf, size, base) != 0)
        return -1;
    return 0;
}

int os_exe_get_dir(char *buf, size_t size)
{
    char path[ENV_PATH_MAX];
    if (os_exe_get_name(path, sizeof(path)) != 0) {
        LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "os_exe_get_name error:");
        return -1;
    }
    char *slash = strrchr(path, '/');
    if (slash)
        slash[1] = '\0';
    return str_safecopy(buf, size, path) == 0 ? 0 : -1;
}

int os_chdir_exe_dir(void)
{
    char dir[ENV_PATH_MAX];
    if (os_exe_get_dir(dir, sizeof(dir)) != 0)
        return -1;
    return chdir(dir);
}

char *os_cmdline_join(int argc, char **argv, char *buf, size_t size)
{
    char line[ENV_PATH_MAX] = "";
    if (argv && str_argv_join(argc, argv, line, sizeof(line)) != 0)
        line[0] = '\0';
    if (buf && size)
        str_safecopy_trunc(buf, size, line);
    return buf;
}

int os_which(const char *name, char (&buf)[OS_CMD_PATH_SIZE])
{
    if (!name)
        return -1;
    if (path_is_absolute(name)) {
        if (!env_realpath(name, buf))
            buf[0] = '\0';
        return 0;
    }
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "";
    size_t pos = 0;
    while (path && pos <= dirs.size()) {
        size_t e = dirs.find(':', pos);
        if (e == std::string::npos)
            e = dirs.size();
        std::string dir = dirs.substr(pos, e - pos);
        pos = e + 1;
        // An empty entry means the current directory.
        std::string cand = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0 && env_realpath(cand.c_str(), buf))
            return 0;
    }
    str_safecopy_trunc(buf, ENV_PATH_MAX, name);
    return -1;
}

int os_cmdline_resolve(const char *cmdline, char (&buf)[OS_CMD_PATH_SIZE])
{
    if (!cmdline)
        return -1;
    char line[ENV_PATH_MAX];
    if (str_safecopy(line, sizeof(line), cmdline) != 0)
        return -1;
    char *cut = str_cmd_cut_first(line);
    const char *rest = cut ? cut + 1 : "";
    // A quoted first word is looked up without its quotes.
    std::string word = line;
    if (word.size() >= 2 && word.front() == '"' && word.back() == '"')
        word = word.substr(1, word.size() - 2);
    if (path_is_absolute(word.c_str()))
        return str_safecopy(buf, ENV_PATH_MAX, cmdline) == 0 ? 0 : -1;
    char found[ENV_PATH_MAX];
    if (os_which(word.c_str(), found) != 0)
        return -1;
    path_quote(found);
    if (str_safecopy(buf, ENV_PATH_MAX, found) != 0)
        return -1;
    if (*rest && strcat_printf(buf, ENV_PATH_MAX, " %s", rest) < 0) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

// ---- environment -----------------------------------------------------------

const char *os_getenv(const char *name) { return name ? getenv(name) : nullptr; }
int os_setenv(const char *name, const char *value, int overwrite) { return setenv(name, value, overwrite); }
int os_unsetenv(const char *name) { return unsetenv(name); }

int os_setenv_fmt(const char *name, const char *fmt, ...)
{
    char val[256];
    va_list va;
    va_start(va, fmt);
    int r = str_vsprintf_s(val, sizeof(val), fmt, va);
    va_end(va);
    if (!STR_FMT_OK(r, sizeof(val))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return setenv(name, val, 1);
}

int os_getenv_int(const char *name)
{
    const char *v = os_getenv(name);
    return v ? str_atoi(v) : 0;
}

int32_t os_getenv_size(const char *name)
{
    const char *v = os_getenv(name);
    return v ? (int32_t)str_parse_size(v) : 0;
}

// ---- working directory of a context ----------------------------------------

char *os_chdir_path_resolve(const char *cur, const char *path, char *buf, size_t size)
{
    if (!buf || size == 0)
        return buf;
    buf[0] = '\0';
    if (!cur || !path)
        return buf;
    char c[ENV_PATH_MAX], p[ENV_PATH_MAX];
    path_to_posix_buf(cur, c, sizeof(c));
    path_to_posix_buf(path, p, sizeof(p));
    if (strcmp(p, ".") == 0) {
        str_safecopy(buf, size, c);
    } else if (strcmp(p, "..") == 0) {
        if (strcmp(c, "/") != 0)
            path_del_name(c);
        str_safecopy(buf, size, c);
    } else if (pl_glob_match_any_nocase(p, "/*")) {
        str_safecopy(buf, size, p);
    } else {
        path_build2(buf, size, c, p);
    }
    return buf;
}

int os_chdir_mt(char *cur, size_t size, const char *path)
{
    if (!cur || !path)
        return -1;
    char dir[ENV_PATH_MAX];
    os_chdir_path_resolve(cur, path, dir, sizeof(dir));
    if (dir[0] == '\0')
        return -1;
    if (strcmp(dir, "/") != 0) {
        int r = os_is_dir(dir);
        if (r != 1) {
            // Not a directory (status -126); the errno map has no row for it,
            // so its errno meaning is set directly.
            if (r == 0)
                errno = ENOTDIR;
            LOG_ERR(TAG, "dir [%s] is_failed\n", dir);
            return -1;
        }
    }
    return str_safecopy(cur, size, dir) == 0 ? 0 : -1;
}

// ---- platform-wide mutex -----------------------------------------------------

static pl_mutex_t *s_global_mutex;

int os_global_mutex_init(void)
{
    if (!s_global_mutex)
        s_global_mutex = mutex_malloc();
    return s_global_mutex ? 0 : -1;
}

int os_global_mutex_exit(void)
{
    mutex_free(s_global_mutex);
    s_global_mutex = nullptr;
    return 0;
}

// ---- thin wrappers -----------------------------------------------------------

char *os_getcwd(char *buf, size_t size) { return getcwd(buf, size); }
int os_chdir(const char *path) { return chdir(path); }
int os_access(const char *path, int mode) { return access(path, mode); }
// fopen with close-on-exec added to the caller's mode.
FILE *os_fopen(const char *path, const char *mode)
{
    char m[16];
    if (!mode || !STR_FMT_OK(str_sprintf_s(m, sizeof m, "%se", mode), sizeof m)) {
        errno = EINVAL;
        return nullptr;
    }
    return fopen(path, m);
}
FILE *os_fsopen(const char *path, const char *mode, int) { return os_fopen(path, mode); }
