// client: the client sessions file "zk_client.ini", its search path and the
// translation of session references into URLs.
#include <strings.h>

#include <cstring>
#include <mutex>

#include "libconf/conf.h"
#include "libpal/env/os_env.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/str_vector.h"
#include "libpal/string/url.h"
#include "liblog/log2.h"
#include "libzkcli/client.h"

#define TAG "zkcli"

namespace {

const char *const k_file_name = "zk_client.ini";
const char *const k_proxy_name = "zk_proxy.ini";
const char *const k_conf_sec = "conf";
const char *const k_missing = "error_val!!!";

struct int_default {
    int def;
    const char *key;
};
constexpr int_default k_defaults[] = {{6, "connect_timeout"}, {15, "read_timeout"}, {8, "write_timeout"}};

// The sessions file and proxy file paths, set at start-up and read by every
// operation; the lock also serialises the operations that write the file.
std::recursive_mutex s_mu;
char s_conf_path[PL_MAX_PATH];
char s_proxy_path[PL_MAX_PATH];

const int_default *find_default(const char *key)
{
    for (const int_default &d : k_defaults)
        if (key && strcmp(d.key, key) == 0)
            return &d;
    return nullptr;
}

// Loads the sessions file (NULL when it cannot be loaded); create 1 makes a
// missing file.
conf_t *load(int create)
{
    if (!*s_conf_path)
        return nullptr;
    return create ? conf_create_load(s_conf_path) : conf_load(s_conf_path);
}

// Section of a session; "" (no section has it) when the name is too long.
void session_section(const char *name, char *sec, size_t size)
{
    if (!STR_FMT_OK(str_sprintf_s(sec, size, "session/%s", name), size))
        sec[0] = '\0';
}

// Sets the paths from a directory (sessions file, proxy file).
void set_paths(const char *dir)
{
    char p[PL_MAX_PATH];
    path_build(s_conf_path, dir, k_file_name);
    path_normalize(s_conf_path);
    path_build(p, dir, k_proxy_name);
    path_normalize(p);
    str_safecopy(s_proxy_path, sizeof(s_proxy_path), p);
    os_setenv("ZK_PROXY_FILE", s_proxy_path, 1);
}

// 1 when text holds any character of set.
int has_any(const char *text, const char *set) { return text[strcspn(text, set)] != '\0'; }

} // namespace

// ---- locating the file ---------------------------------------------------------------------

int zk_conf_try_dir(const char *dir)
{
    if (!dir || !*dir)
        return -1;
    char path[PL_MAX_PATH];
    path_build(path, dir, k_file_name);
    if (!*path || os_is_file(path) != 1)
        return -1;
    std::lock_guard<std::recursive_mutex> g(s_mu);
    set_paths(dir);
    char cache[PL_MAX_PATH];
    zk_conf_get_str("cache_dir", cache, sizeof(cache));
    if (*cache)
        os_setenv("ZK_CACHE", cache, 1);
    return 0;
}

int zk_conf_find_path(void)
{
    std::lock_guard<std::recursive_mutex> g(s_mu);
    if (*s_conf_path)
        return 0;
    const char *env = os_getenv("ZK_ENV_CONF_DIR");
    if (env && *env && zk_conf_try_dir(env) == 0)
        return 0;
    char dir[PL_MAX_PATH];
    if (os_getcwd(dir, sizeof(dir)) && zk_conf_try_dir(dir) == 0)
        return 0;
    if (os_exe_get_dir(dir, sizeof(dir)) == 0 && zk_conf_try_dir(dir) == 0)
        return 0;
    s_conf_path[0] = '\0';
    return -1;
}

int zk_conf_set_path(const char *dir)
{
    const char *env = os_getenv("ZK_ENV_CONF_DIR");
    if (env && *env) {
        LOG_DBG(TAG, "use env_conf_dir=[%s]\n", env);
        dir = env;
    }
    LOG_VERB(TAG, "path=[%s] epath=[%s]\n", dir ? dir : "", env ? env : "");
    if (!dir)
        return -1;
    std::lock_guard<std::recursive_mutex> g(s_mu);
    set_paths(dir);
    char cache[PL_MAX_PATH];
    zk_conf_get_str("cache_dir", cache, sizeof(cache));
    os_setenv("ZK_CACHE", cache, 1);
    LOG_VERB(TAG, "conf_client=[%s] conf_proxy=[%s]\n", s_conf_path, s_proxy_path);
    return 0;
}

char *zk_conf_get_path(char *out, size_t size)
{
    std::lock_guard<std::recursive_mutex> g(s_mu);
    str_safecopy(out, size, s_conf_path);
    return out;
}

// ---- settings -----------------------------------------------------------------------------

int zk_conf_get_int(const char *key)
{
    const int_default *d = find_default(key);
    if (!d)
        return 0;
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(0);
    if (!c)
        return d->def;
    int v = conf_get_int(c, k_conf_sec, key, d->def);
    conf_free(c);
    return v;
}

namespace {
int set_value(const char *key, const char *value)
{
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(1);
    if (!c) {
        LOG_ERR(TAG, "conf_create_load [%s] fail\n", s_conf_path);
        return -1;
    }
    int r = conf_set(c, k_conf_sec, key, value) == 0 && conf_save(c) == 0 ? 0 : -1;
    conf_free(c);
    return r;
}
} // namespace

int zk_conf_set_int(const char *key, int value)
{
    if (!key)
        return -1;
    char text[32];
    str_sprintf_s(text, sizeof(text), "%d", value);
    return set_value(key, text);
}

int zk_conf_set_str(const char *key, const char *value)
{
    if (!key || !value)
        return -1;
    if (strcmp(key, "cache_dir") == 0)
        os_setenv("ZK_CACHE", value, 1);
    return set_value(key, value);
}

int zk_conf_get_str(const char *key, char *out, size_t size)
{
    if (!out || !size)
        return 0;
    out[0] = '\0';
    if (!key)
        return 0;
    const char *env = strcmp(key, "cache_dir") == 0 ? os_getenv("ZK_CACHE") : nullptr;
    if (env) {
        str_safecopy(out, size, env);
    } else {
        std::lock_guard<std::recursive_mutex> g(s_mu);
        conf_t *c = load(0);
        if (c) {
            str_safecopy(out, size, conf_get(c, k_conf_sec, key, ""));
            conf_free(c);
        }
    }
    path_normalize(out);
    return 0;
}

int zk_conf_url_add_timeouts(char (&url)[URL_TEXT_SIZE])
{
    int vals[3];
    {
        std::lock_guard<std::recursive_mutex> g(s_mu);
        conf_t *c = load(0);
        for (size_t i = 0; i < 3; i++)
            vals[i] = c ? conf_get_int(c, k_conf_sec, k_defaults[i].key, k_defaults[i].def) : k_defaults[i].def;
        if (c)
            conf_free(c);
    }
    int r = 0;
    for (size_t i = 0; i < 3; i++)
        if (url_set_query_int(url, k_defaults[i].key, vals[i], URL_QUERY_SET_NOT_EXIST) != 0)
            r = -1;
    return r;
}

// ---- sessions ---------------------------------------------------------------------------------

int conf_client_get_info(const char *name, conf_client_info *rec, vperror_t *err)
{
    if (!name || !rec) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "session name missing");
        return -1;
    }
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(0);
    if (!c) {
        VPERROR_SET(err, -1, "conf_load [%s] failed", s_conf_path);
        return -1;
    }
    memset(rec, 0, sizeof(*rec));
    str_safecopy(rec->name, sizeof(rec->name), name);
    char sec[512];
    session_section(name, sec, sizeof(sec));
    int ret = 0;
    const char *prot = conf_get(c, sec, "prot", k_missing);
    if (strcmp(prot, k_missing) == 0) {
        VPERROR_SET(err, -1, "'%s' does not exist", name);
        ret = -1;
    } else if (strcmp(prot, "zkp") == 0) {
        rec->prot = CONF_PROT_ZKP;
        const char *ip = conf_get(c, sec, "ip", k_missing);
        if (strcmp(ip, k_missing) == 0) {
            VPERROR_SET(err, -1, "Failed to get ip");
            ret = -1;
        } else {
            str_safecopy(rec->ip, sizeof(rec->ip), ip);
            rec->use_ssl = (uint8_t)conf_get_int(c, sec, "use_ssl", 0);
            str_safecopy(rec->port, sizeof(rec->port), conf_get(c, sec, "port", ""));
            str_safecopy(rec->user, sizeof(rec->user), conf_get(c, sec, "user", ""));
            str_safecopy(rec->pwd, sizeof(rec->pwd), conf_get(c, sec, "pwd", ""));
            str_safecopy(rec->bs, sizeof(rec->bs), conf_get(c, sec, "bs", "2M"));
            str_safecopy(rec->fmod, sizeof(rec->fmod), conf_get(c, sec, "fmod", "644"));
            str_safecopy(rec->dmod, sizeof(rec->dmod), conf_get(c, sec, "dmod", "755"));
            str_safecopy(rec->proxy, sizeof(rec->proxy), conf_get(c, sec, "proxy", ""));
        }
    } else if (strcmp(prot, "net") == 0) {
        rec->prot = CONF_PROT_NET;
    } else if (strcmp(prot, "loc") == 0) {
        rec->prot = CONF_PROT_LOC;
    } else {
        VPERROR_SET(err, -1, "Unsupported protocol [%s]", prot);
        ret = -1;
    }
    conf_free(c);
    return ret;
}

int conf_client_set_info(const conf_client_info *rec)
{
    if (!rec)
        return -1;
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(1);
    if (!c) {
        LOG_ERR(TAG, "conf_load %s failed\n", s_conf_path);
        return -1;
    }
    char sec[512];
    session_section(rec->name, sec, sizeof(sec));
    if (rec->prot == CONF_PROT_ZKP) {
        conf_set(c, sec, "prot", "zkp");
        conf_set_int(c, sec, "use_ssl", rec->use_ssl);
        conf_set(c, sec, "ip", rec->ip);
        conf_set(c, sec, "port", rec->port);
        conf_set(c, sec, "user", rec->user);
        conf_set(c, sec, "pwd", rec->pwd);
        conf_set(c, sec, "bs", rec->bs);
        conf_set(c, sec, "fmod", rec->fmod);
        conf_set(c, sec, "dmod", rec->dmod);
        conf_set(c, sec, "proxy", rec->proxy);
    } else if (rec->prot == CONF_PROT_NET) {
        conf_set(c, sec, "prot", "net");
    } else {
        LOG_ERR(TAG, "cc->prot=%d error\n", rec->prot);
    }
    int r = conf_save(c);
    conf_free(c);
    return r == 0 ? 0 : -1;
}

int conf_client_is_exist(const char *name)
{
    if (!name)
        return 0;
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(0);
    if (!c) {
        LOG_ERR(TAG, "conf_load [%s] failed\n", s_conf_path);
        return -1;
    }
    char sec[512];
    session_section(name, sec, sizeof(sec));
    int r = conf_has_section(c, sec) ? 1 : 0;
    conf_free(c);
    return r;
}

int conf_client_del(const char *name)
{
    if (!name)
        return -1;
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(0);
    if (!c) {
        LOG_ERR(TAG, "conf_load [%s] failed\n", s_conf_path);
        return -1;
    }
    char sec[512];
    session_section(name, sec, sizeof(sec));
    conf_del_section(c, sec);
    int r = conf_save(c);
    conf_free(c);
    return r == 0 ? 0 : -1;
}

int conf_client_copy_move(const char *old_name, const char *new_name)
{
    if (!old_name || !new_name)
        return -1;
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(0);
    if (!c) {
        LOG_ERR(TAG, "conf_load %s failed\n", s_conf_path);
        return -1;
    }
    char a[512], b[512];
    session_section(old_name, a, sizeof(a));
    session_section(new_name, b, sizeof(b));
    int r = conf_rename_section(c, a, b) == 0 && conf_save(c) == 0 ? 0 : -1;
    conf_free(c);
    return r;
}

int conf_walk_item(conf_walk_cb cb, void *arg)
{
    std::lock_guard<std::recursive_mutex> g(s_mu);
    conf_t *c = load(1);
    if (!c) {
        LOG_ERR(TAG, "conf_load %s failed\n", s_conf_path);
        return -1;
    }
    conf_set(c, "session/localhost", "prot", "loc");
    conf_set(c, "session/network", "prot", "net");
    conf_save(c);
    str_vector *v = conf_get_sections_match(c, "session/*");
    conf_free(c);
    if (!v)
        return 0;
    const size_t plen = strlen("session/");
    for (uint64_t i = 0; i < v->count; i++) {
        const char *name = v->items[i] + plen;
        if (strcmp(name, "network") == 0 || strcmp(name, "_Quick_Connection") == 0)
            continue;
        conf_client_info rec;
        if (conf_client_get_info(name, &rec, nullptr) == 0 && cb)
            cb(arg, name, rec.prot);
    }
    str_vector_free(v);
    return 0;
}

// ---- URLs ---------------------------------------------------------------------------------------

int conf_client_2_url(const conf_client_info *rec, char *out, size_t size, vperror_t *err)
{
    if (!rec || !out || !size) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "session record missing");
        return -1;
    }
    if (rec->prot == CONF_PROT_NET) {
        if (!STR_FMT_OK(str_sprintf_s(out, size, "net://%s", rec->name), size)) {
            VPERROR_SET(err, VERR_BUFFER_OVERFLOW, "url of session '%s' too long", rec->name);
            return -1;
        }
        return 0;
    }
    if (rec->prot == CONF_PROT_LOC)
        return str_safecopy(out, size, "loc://") == 0 ? 0 : -1;
    if (rec->prot != CONF_PROT_ZKP)
        return 0;

    // The URL parser takes the user information up to the first '@' and
    // the host up to '/', '?' or '#'; a value holding one of them would
    // silently connect somewhere else, so it is refused.
    if (has_any(rec->user, ":@/?#") || has_any(rec->pwd, "@/?#") || has_any(rec->ip, "@/?#[] \t")) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER,
                    "session '%s': user, pwd or ip holds a character a URL cannot carry ('@', '/', '?', '#', "
                    "':' in user)",
                    rec->name);
        return -1;
    }
    char url[URL_TEXT_SIZE];
    char host[PL_MAX_PATH];
    str_safecopy(host, sizeof(host), rec->ip);
    for (char *p = host; *p; p++)
        if (*p == '_')
            *p = ':';
    int ok = str_safecopy(url, sizeof(url), rec->use_ssl ? "zkps://" : "zkp://") == 0;
    if (*rec->user) {
        ok = ok && str_safecat(url, sizeof(url), rec->user) == 0;
        if (*rec->pwd)
            ok = ok && str_safecat(url, sizeof(url), ":") == 0 && str_safecat(url, sizeof(url), rec->pwd) == 0;
        ok = ok && str_safecat(url, sizeof(url), "@") == 0;
    }
    if (strchr(host, ':'))
        ok = ok && strcat_printf(url, sizeof(url), "[%s]", host) >= 0 && *url;
    else
        ok = ok && str_safecat(url, sizeof(url), host) == 0;
    // The default-port names leave the port to the connection, whichever
    // of the two is named.
    if (*rec->port && strcmp(rec->port, "ZKP_DEF_PORT") != 0 && strcmp(rec->port, "ZKPS_DEF_PORT") != 0)
        ok = ok && str_safecat(url, sizeof(url), ":") == 0 && str_safecat(url, sizeof(url), rec->port) == 0;
    if (ok && *rec->proxy)
        ok = url_set_query_str(url, "proxy", rec->proxy) == 0;
    if (!ok || str_safecopy(out, size, url) != 0) {
        VPERROR_SET(err, VERR_BUFFER_OVERFLOW, "url of session '%s' cannot be built", rec->name);
        return -1;
    }
    return 0;
}

int conf_session_2_url(const char *name, char (&out)[URL_TEXT_SIZE], vperror_t *err)
{
    conf_client_info rec;
    if (conf_client_get_info(name, &rec, err) != 0)
        return -1;
    return conf_client_2_url(&rec, out, sizeof(out), err);
}

int conf_name_2_url(const char *name, char (&out)[URL_TEXT_SIZE], vperror_t *err)
{
    if (!name || !*name) {
        out[0] = '\0';
        return 0;
    }
    return conf_session_2_url(name, out, err);
}

int url_conf_2_real(const char *url, char (&out)[URL_TEXT_SIZE], vperror_t *err)
{
    if (!url) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "url missing");
        return -1;
    }
    char u[URL_TEXT_SIZE];
    if (str_safecopy(u, sizeof(u), url) != 0) {
        VPERROR_SET(err, VERR_BUFFER_OVERFLOW, "url is longer than %d bytes", URL_TEXT_SIZE - 1);
        return -1;
    }
    url_normalize(u);
    out[0] = '\0';
    if (strncmp(u, "///", 3) != 0) {
        str_safecopy(out, sizeof(out), u);
    } else {
        char name[URL_TEXT_SIZE], rest[URL_TEXT_SIZE];
        if (url_split_name(u, name, rest, 1) != 0) {
            VPERROR_SET(err, VERR_INVALID_PARAMETER, "bad session reference [%s]", url_hide_pwd_fmt(u, out));
            out[0] = '\0';
            return -1;
        }
        if (conf_name_2_url(name, out, err) != 0)
            return -1;
        if (str_istart_with(out, "loc://"))
            out[0] = '\0';
        int ok = 1;
        if (char *q = strchr(rest, '?')) {
            ok = url_add_query_str(out, q + 1) == 0;
            *q = '\0';
        }
        ok = ok && url_add_path(out, rest) == 0;
        if (!ok) {
            VPERROR_SET(err, VERR_BUFFER_OVERFLOW, "url of [%s] too long", url_hide_pwd_fmt(u, out));
            out[0] = '\0';
            return -1;
        }
    }
    url_normalize(out);
    // Only the program's own code may name an archive in its memory.
    if (strncmp(u, "///", 3) == 0 && url_is_mem(out)) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "[%s]: a memory archive url cannot come from a session", url_hide_pwd_fmt(u, out));
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int url_is_mem(const char *url)
{
    if (!url)
        return 0;
    url_rec rec;
    char buf[URL_TEXT_SIZE];
    return url_parser(&rec, buf, url) == 0 && strcasecmp(rec.protocol, "mem") == 0;
}

int url_conf_2_real_inplace(char (&url)[URL_TEXT_SIZE], vperror_t *err)
{
    char out[URL_TEXT_SIZE];
    if (url_conf_2_real(url, out, err) != 0)
        return -1;
    str_safecopy(url, sizeof(url), out);
    return 0;
}
