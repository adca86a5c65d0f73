// Password hash, login key, value cipher, and the server's account and
// login checks.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpwd/libpwd.h"
#include "liblog/log2.h"

#define TAG "pwd"

namespace {

const char k_wrong[] = "Wrong user or password";
constexpr bool FALSE = false; // the assertion text reads "ret != FALSE"

void hex_of(const uint8_t *d, size_t n, char *out)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = hex[d[i] >> 4];
        out[2 * i + 1] = hex[d[i] & 15];
    }
    out[2 * n] = '\0';
}

void set_msg(char *errmsg, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void set_msg(char *errmsg, const char *fmt, ...)
{
    if (!errmsg)
        return;
    va_list va;
    va_start(va, fmt);
    vsnprintf(errmsg, LIBPWD_ERRMSG_SIZE, fmt, va);
    va_end(va);
}

// Wipes a std::string's characters before it goes.
void wipe(std::string &s)
{
    if (!s.empty())
        str_wipe(s.data());
    s.clear();
}

// The one account.
struct account_t {
    std::mutex mu;
    bool inited = false;
    std::string user, pwd, hash;
};
account_t &account()
{
    static account_t a;
    return a;
}

void account_store(account_t &a, const char *user, const char *pwd)
{
    wipe(a.user);
    wipe(a.pwd);
    wipe(a.hash);
    a.user = user ? user : "";
    a.pwd = pwd ? pwd : "";
    char h[LIBPWD_HASH_SIZE];
    libpwd_hash(a.pwd.c_str(), h, sizeof h);
    a.hash = h;
    str_wipe(h);
}

} // namespace

// ---- client side --------------------------------------------------------------------------

char *libpwd_hash(const char *pwd, char *out, size_t size)
{
    PL_ASSERT_RET(TAG, out && size > 0, out);
    out[0] = '\0';
    if (!pwd || !*pwd)
        return out;
    if (str_safecopy(out, size, "{SHA}") != 0)
        return out;
    uint8_t d[SHA1_DIGEST_SIZE];
    hash_sha1(pwd, strlen(pwd), d);
    if (str_base64_encode(d, sizeof d, out + 5, size - 5) < 0)
        out[0] = '\0';
    memset(d, 0, sizeof d);
    return out;
}

char *libpwd_hash_dup(const char *pwd)
{
    char scratch[256];
    char *copy = os_strdup(libpwd_hash(pwd, scratch, sizeof scratch));
    str_wipe(scratch);
    return copy;
}

int libpwd_build_key(const char *user, const char *pwd, int ver, const char *cert, char *out, size_t size)
{
    (void)ver;
    bool ret = out && size >= LIBPWD_KEY_SIZE;
    PL_ASSERT_HARD(TAG, ret != FALSE);
    user = user ? user : "";
    pwd = pwd ? pwd : "";
    cert = cert ? cert : "";
    LOG_VERB(TAG, "user=[%s] pwd=[***] cert=[%zu bytes]\n", user, strlen(cert));
    sha1_ctx_t c;
    sha1_init(&c);
    sha1_update(&c, "KORVO", 5);
    sha1_update(&c, user, strlen(user));
    sha1_update(&c, pwd, strlen(pwd));
    sha1_update(&c, cert, strlen(cert));
    uint8_t d[SHA1_DIGEST_SIZE];
    sha1_final(&c, d);
    hex_of(d, sizeof d, out);
    memset(d, 0, sizeof d);
    return 0;
}

int libpwd_encode_value(const char *value, const char *key, char *out, size_t size)
{
    PL_ASSERT_RET(TAG, value && out && size > 0, -1);
    out[0] = '\0';
    if (!key || !*key) {
        LOG_ERR(TAG, "no login key to encode with\n");
        return -1;
    }
    size_t n = strlen(value);
    uint8_t *copy = (uint8_t *)os_memdup(value, n + 1);
    if (!copy)
        return -1;
    rc4_state_t st;
    rc4_init(&st, key, strlen(key));
    rc4_crypt(&st, copy, copy, n);
    memset(&st, 0, sizeof st);
    int r = str_base64_encode(copy, n, out, size);
    memset(copy, 0, n);
    os_free(copy);
    if (r < 0) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int libpwd_decode_value(const char *text, const char *key, char *out, size_t size)
{
    PL_ASSERT_RET(TAG, text && out && size > 0, -1);
    if (!key || !*key)
        return -1;
    int n = str_base64_decode(text, out, size);
    if (n <= 0 || (size_t)n >= size) {
        out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    rc4_state_t st;
    rc4_init(&st, key, strlen(key));
    rc4_crypt(&st, out, out, (size_t)n);
    memset(&st, 0, sizeof st);
    return 0;
}

// ---- server side ------------------------------------------------------------------------------

int libpwd_init(const libpwd_conf_t *conf)
{
    PL_ASSERT_RET(TAG, conf, -1);
    account_t &a = account();
    {
        std::lock_guard<std::mutex> lk(a.mu);
        if (a.inited)
            return 0;
        a.inited = true;
        account_store(a, conf->user, conf->passwd);
    }
    ipcheck_init(conf);
    return 0;
}

int libpwd_exit(void)
{
    account_t &a = account();
    {
        std::lock_guard<std::mutex> lk(a.mu);
        wipe(a.user);
        wipe(a.pwd);
        wipe(a.hash);
        a.inited = false;
    }
    ipcheck_exit();
    return 0;
}

int libpwd_set_user(const char *user, const char *pwd, char *errmsg)
{
    static const char k_chars[] = ";/\\\"'?:@# ";
    if (!user || !str_is_valid_name(user)) {
        set_msg(errmsg, "user is invalid, Cannot use [%s]", k_chars);
        return -1;
    }
    if (!pwd || !str_is_valid_name(pwd)) {
        set_msg(errmsg, "passwd is invalid, Cannot use [%s]", k_chars);
        return -1;
    }
    account_t &a = account();
    std::lock_guard<std::mutex> lk(a.mu);
    account_store(a, user, pwd);
    return 0;
}

int libpwd_check_user_pwd(const char *ip, const char *user, const char *pwd, char *errmsg)
{
    ip = ip ? ip : "";
    user = user ? user : "";
    pwd = pwd ? pwd : "";
    if (ipcheck(ip, errmsg) != 0) {
        LOG_WARN(TAG, "ip=[%s] error: %s\n", ip, errmsg ? errmsg : "locked");
        return 2;
    }
    bool user_ok, pwd_ok;
    {
        account_t &a = account();
        std::lock_guard<std::mutex> lk(a.mu);
        user_ok = a.user == user;
        pwd_ok = a.pwd == pwd || a.hash == pwd;
    }
    if (!user_ok) {
        set_msg(errmsg, "%s", k_wrong);
        if (strcmp(user, ":") == 0) // the client's probe
            return 1;
        LOG_WARN(TAG, "ip=[%s] wrong user [%s]\n", ip, user);
        ipcheck_fail(ip, user);
        return 1;
    }
    if (!pwd_ok) {
        LOG_WARN(TAG, "ip=[%s] wrong pwd for [%s]\n", ip, user);
        set_msg(errmsg, "%s", k_wrong);
        ipcheck_fail(ip, user);
        return 1;
    }
    ipcheck_ok(ip, user);
    LOG_DBG(TAG, "ip=[%s] [%s] login_ok\n", ip, user);
    return 0;
}

int libpwd_user_get_cert(const char *ip, int ver, int *ver_out, const char *user, char *cert, size_t cert_size,
                         char *key, size_t key_size, char *errmsg)
{
    bool ret = cert && cert_size >= LIBPWD_CERT_SIZE;
    PL_ASSERT_HARD(TAG, ret != FALSE);
    ip = ip ? ip : "";
    user = user ? user : "";
    cert[0] = '\0';
    if (ver_out)
        *ver_out = ver < 1 ? ver : 1;
    if (ipcheck(ip, errmsg) != 0) {
        LOG_WARN(TAG, "ip=[%s] error: %s\n", ip, errmsg ? errmsg : "locked");
        return 2;
    }
    std::string pwd;
    bool user_ok;
    {
        account_t &a = account();
        std::lock_guard<std::mutex> lk(a.mu);
        user_ok = a.user == user;
        if (user_ok)
            pwd = a.pwd;
    }
    if (!user_ok) {
        LOG_WARN(TAG, "ip=[%s] wrong user [%s]\n", ip, user);
        set_msg(errmsg, "%s", k_wrong);
        ipcheck_fail(ip, user);
        return 1;
    }
    uint8_t raw[128];
    pl_random_sys(raw, sizeof raw);
    hex_of(raw, sizeof raw, cert);
    memset(raw, 0, sizeof raw);
    libpwd_build_key(user, pwd.c_str(), ver, cert, key, key_size);
    wipe(pwd);
    return 0;
}

int libpwd_check_key(const char *ip, const char *key, const char *expected, char *errmsg)
{
    ip = ip ? ip : "";
    if (ipcheck(ip, errmsg) != 0) {
        LOG_WARN(TAG, "ip=[%s] error: %s\n", ip, errmsg ? errmsg : "locked");
        return 2;
    }
    std::string user;
    {
        account_t &a = account();
        std::lock_guard<std::mutex> lk(a.mu);
        user = a.user;
    }
    if (!key || !expected || !*expected || strcmp(key, expected) != 0) {
        LOG_WARN(TAG, "ip=[%s] wrong key\n", ip);
        set_msg(errmsg, "%s", k_wrong);
        ipcheck_fail(ip, user.c_str());
        return 1;
    }
    LOG_DBG(TAG, "ip=[%s] key=[***] login_ok\n", ip);
    ipcheck_ok(ip, user.c_str());
    return 0;
}
