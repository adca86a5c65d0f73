// Choosing a connection's proxy, and the proxy file "zk_proxy.ini" of named
// proxies (section = name; proto, ip, port, user, pwd as hex).
#include <cstring>
#include <memory>

#include "libconf/conf.h"
#include "libnet/net_imp.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/env/os_env.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "libpal/string/url.h"
#include "liblog/log2.h"

#define TAG NET_TAG

namespace {

struct proto_row {
    int32_t id;
    const char *name;
};
constexpr proto_row k_protos[] = {{NET_PROXY_HTTP, "http"}, {NET_PROXY_SOCKS4, "socks4"}, {NET_PROXY_SOCKS5, "socks5"}};

const char *proto_name(int32_t type)
{
    for (const proto_row &r : k_protos)
        if (r.id == type)
            return r.name;
    return "unkown";
}

const char *proxy_file(void) { return os_getenv("ZK_PROXY_FILE"); }

struct conf_closer {
    void operator()(conf_t *c) const { conf_free(c); }
};
using conf_ptr = std::unique_ptr<conf_t, conf_closer>;

struct url_work {
    url_rec u;
    char buf[URL_TEXT_SIZE];
    char safe[URL_TEXT_SIZE];
};

// The proxy's URL text with its password hidden, for log lines only.
void hidden_url(const net_proxy *rec, char *out)
{
    if (rec->user[0] && rec->pwd[0])
        str_sprintf_s2(out, URL_TEXT_SIZE, "%s://%s:%s@%s:%d", rec->proto, rec->user, "pwd", rec->host, rec->port);
    else
        str_sprintf_s2(out, URL_TEXT_SIZE, "%s://%s:%d", rec->proto, rec->host, rec->port);
}

// Copies the fields of a proxy URL into rec (host, port, user, password);
// false with err filled when one does not fit.
bool take_url(const url_rec *u, net_proxy *rec, vperror_t *err)
{
    if (str_safecopy(rec->proto, sizeof rec->proto, u->protocol) != 0 ||
        str_safecopy(rec->host, sizeof rec->host, u->host) != 0 ||
        str_safecopy(rec->user, sizeof rec->user, u->user) != 0 ||
        str_safecopy(rec->pwd, sizeof rec->pwd, u->passwd) != 0) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy url field too long");
        return false;
    }
    rec->port = u->port;
    return true;
}

} // namespace

int conf_proxy_2_id(const char *name, vperror_t *err)
{
    for (const proto_row &r : k_protos)
        if (name && strcmp(name, r.name) == 0)
            return r.id;
    VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy protocol [%s] Unsupported\n", name ? name : "");
    return -1;
}

int conf_proxy_get(const char *proxy_url, const char *proxy_name, net_proxy *rec, vperror_t *err)
{
    PL_ASSERT_RET(TAG, rec, -1);
    std::unique_ptr<url_work, void (*)(void *)> w(static_cast<url_work *>(os_zalloc(sizeof(url_work))), os_free);
    auto got = std::unique_ptr<net_proxy, void (*)(void *)>(static_cast<net_proxy *>(os_zalloc(sizeof(net_proxy))),
                                                            os_free);
    if (!w || !got) {
        VPERROR_SET(err, VERR_NO_MEMORY, "memory allocation failed");
        return -1;
    }
    net_proxy &p = *got;
    if (proxy_url && *proxy_url) {
        url_hide_pwd_fmt(proxy_url, w->safe);
        if (url_parser(&w->u, w->buf, proxy_url) != 0) {
            VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy url [%s] invalid", w->safe);
            return -1;
        }
        if (!take_url(&w->u, &p, err))
            return -1;
    } else if (proxy_name && *proxy_name) {
        const char *file = proxy_file();
        if (!file || !*file) {
            VPERROR_SET(err, VERR_INVALID_PARAMETER, "%%ZK_ENV_PROXY_FILE%% Is NULL");
            return -1;
        }
        if (conf_proxy_load(file, proxy_name, &p, w->safe, err) != 0)
            return -1;
        LOG_DBG(TAG, "use proxy=%s [%s]\n", proxy_name, w->safe);
    } else {
        const char *env = os_getenv("http_proxy");
        if (!env || !*env)
            return 1;
        url_hide_pwd_fmt(env, w->safe);
        if (url_parser(&w->u, w->buf, env) != 0) {
            VPERROR_SET(err, VERR_INVALID_PARAMETER, "env url [%s] invalid", w->safe);
            return -1;
        }
        LOG_DBG(TAG, "use http_proxy=%s\n", w->safe);
        if (!take_url(&w->u, &p, err))
            return -1;
    }
    p.type = conf_proxy_2_id(p.proto, err);
    if (p.type < 0)
        return -1;
    if (!p.host[0]) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy ip is empty");
        return -1;
    }
    if (p.port == 0) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy port is empty");
        return -1;
    }
    *rec = p;
    explicit_bzero(p.pwd, sizeof p.pwd);
    return 0;
}

int conf_proxy_load(const char *ini, const char *name, net_proxy *rec, char *url_out, vperror_t *err)
{
    PL_ASSERT_RET(TAG, ini && name && rec, -1);
    conf_ptr conf(conf_load(ini));
    if (!conf) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "conf_load [%s] failed", ini);
        return -1;
    }
    if (!conf_has_section(conf.get(), name)) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy name [%s] does not exist", name);
        return -1;
    }
    net_proxy p{};
    str_safecopy_trunc(p.proto, sizeof p.proto, conf_get(conf.get(), name, "proto", ""));
    p.type = conf_proxy_2_id(p.proto, err);
    if (p.type < 0)
        return -1;
    str_safecopy_trunc(p.host, sizeof p.host, conf_get(conf.get(), name, "ip", ""));
    p.port = conf_get_int(conf.get(), name, "port", 0);
    str_safecopy_trunc(p.user, sizeof p.user, conf_get(conf.get(), name, "user", ""));
    char hex[256];
    str_safecopy_trunc(hex, sizeof hex, conf_get(conf.get(), name, "pwd", ""));
    if (hex[0] && str_hex_decode_buf(hex, 1, p.pwd, sizeof p.pwd) < 0) {
        // The text may be a password written in clear: name the entry, not the value.
        explicit_bzero(hex, sizeof hex);
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy pwd [%s] invalid", name);
        return -1;
    }
    explicit_bzero(hex, sizeof hex);
    if (url_out)
        hidden_url(&p, url_out);
    *rec = p;
    explicit_bzero(p.pwd, sizeof p.pwd);
    return 0;
}

int conf_proxy_save(const char *ini, const char *name, const net_proxy *rec)
{
    PL_ASSERT_RET(TAG, ini && name && rec, -1);
    conf_ptr conf(conf_create_load(ini));
    if (!conf) {
        LOG_ERR(TAG, "conf_create_load %s failed\n", ini);
        return -1;
    }
    char hex[256];
    if (str_hex_encode_buf(rec->pwd, -1, hex, sizeof hex) < 0) {
        LOG_ERR(TAG, "encode data failed\n");
        return -1;
    }
    conf_set(conf.get(), name, "proto", proto_name(rec->type));
    conf_set(conf.get(), name, "ip", rec->host);
    conf_set_int(conf.get(), name, "port", rec->port);
    conf_set(conf.get(), name, "user", rec->user);
    conf_set(conf.get(), name, "pwd", hex);
    explicit_bzero(hex, sizeof hex);
    return conf_save(conf.get());
}

int conf_proxy_rename_save(const char *old_name, const char *new_name, const net_proxy *rec)
{
    PL_ASSERT_RET(TAG, new_name && rec, -1);
    const char *file = proxy_file();
    if (!file || !*file)
        return -1;
    if (old_name && *old_name && strcmp(old_name, new_name) != 0) {
        conf_ptr conf(conf_load(file));
        if (conf && conf_rename_section(conf.get(), old_name, new_name) == 0)
            conf_save(conf.get());
    }
    return conf_proxy_save(file, new_name, rec);
}

str_vector *conf_proxy_names(void)
{
    const char *file = proxy_file();
    if (!file || !*file)
        return nullptr;
    conf_ptr conf(conf_load(file));
    return conf ? conf_get_sections(conf.get()) : nullptr;
}

void conf_proxy_name_by_index(int n, char *out)
{
    PL_ASSERT_RET_VOID(TAG, out);
    out[0] = '\0';
    str_vector *names = conf_proxy_names();
    if (!names)
        return;
    if (n >= 1 && uint64_t(n) <= names->count)
        str_safecopy(out, 256, names->items[n - 1]);
    str_vector_free(names);
}

int conf_proxy_load_by_index(int n, char *name_out, net_proxy *rec)
{
    PL_ASSERT_RET(TAG, name_out && rec, -1);
    conf_proxy_name_by_index(n, name_out);
    const char *file = proxy_file();
    if (!name_out[0] || !file)
        return -1;
    return conf_proxy_load(file, name_out, rec, nullptr, nullptr);
}

int conf_proxy_check(const char *name, char *url_out)
{
    PL_ASSERT_RET(TAG, name, -1);
    const char *file = proxy_file();
    if (!file)
        return -1;
    auto p = std::unique_ptr<net_proxy, void (*)(void *)>(static_cast<net_proxy *>(os_zalloc(sizeof(net_proxy))),
                                                          os_free);
    if (!p)
        return -1;
    const int r = conf_proxy_load(file, name, p.get(), url_out, nullptr);
    explicit_bzero(p->pwd, sizeof p->pwd);
    return r;
}
