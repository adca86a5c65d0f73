// TLS over mbedtls: the shared client configuration, client and server
// handshakes on a connection's socket, the record procedures, peer checks,
// and raw RSA PKCS#1 v1.5 helpers. Only calls that mbedtls 2.28 and 3.x
// share are used, save where a version test picks the form.
#include <mbedtls/asn1.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/md.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ciphersuites.h>
#include <mbedtls/version.h>
#include <mbedtls/x509_crt.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/network/net_conn.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_safe.h"
#include "libssl/libssl.h"
#include "liblog/log2.h"

#define TAG "sslcli"

struct ssl_cli_conf {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
};

struct ssl_srv_conf {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt chain;
    mbedtls_pk_context key;
};

namespace {

// A TLS session: the mbedtls context first, then what a verifying client
// connect owns beside it (its own configuration with the trusted chain).
struct ssl_ctx_t {
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config *own_conf;
    mbedtls_x509_crt *ca;
    int verified;
    // A host given as an address: its bytes (4 or 16), checked against the
    // certificate's iPAddress names.
    unsigned char ip[16];
    size_t ip_len;
    int ip_mismatch; // the certificate names no such address
};

// The handshake's "wrong protocol version" code (its name changed in 3.0).
#if MBEDTLS_VERSION_MAJOR >= 3
constexpr int k_err_version = MBEDTLS_ERR_SSL_BAD_PROTOCOL_VERSION;
#else
constexpr int k_err_version = MBEDTLS_ERR_SSL_BAD_HS_PROTOCOL_VERSION;
#endif

ssl_cli_conf *g_cli_conf;
std::mutex g_cli_mu;

// The socket transfer under every session (ssl_set_transport).
std::atomic<net_read_fn> g_sock_read{nullptr};
std::atomic<net_write_fn> g_sock_write{nullptr};

// The one suite "aes_256_ecb" asks for; lives as long as the program.
const int k_forced_suite[] = {MBEDTLS_TLS_RSA_WITH_AES_256_CBC_SHA, 0};

void set_min_tls12(mbedtls_ssl_config *conf)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03020000
    mbedtls_ssl_conf_min_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
#else
    mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
#endif
}

int parse_keyfile(mbedtls_pk_context *pk, const char *path, mbedtls_ctr_drbg_context *drbg)
{
#if MBEDTLS_VERSION_MAJOR >= 3
    return mbedtls_pk_parse_keyfile(pk, path, nullptr, mbedtls_ctr_drbg_random, drbg);
#else
    (void)drbg;
    return mbedtls_pk_parse_keyfile(pk, path, nullptr);
#endif
}

void log_tls_error(unsigned level, const char *file, int line, const char *func, const char *what, int code)
{
    char text[512];
    mbedtls_strerror(code, text, sizeof text);
    log2_printf(nullptr, level, TAG, file, line, func, "%s eno=%d err=[%s]", what, code, text);
}

void free_ctx(ssl_ctx_t *c)
{
    if (!c)
        return;
    mbedtls_ssl_free(&c->ssl);
    if (c->own_conf) {
        mbedtls_ssl_config_free(c->own_conf);
        os_free(c->own_conf);
    }
    if (c->ca) {
        mbedtls_x509_crt_free(c->ca);
        os_free(c->ca);
    }
    os_free_align(c);
}

void set_suites(mbedtls_ssl_config *conf, const char *cipher)
{
    if (cipher && strcasecmp(cipher, "aes_256_ecb") == 0) {
        mbedtls_ssl_conf_ciphersuites(conf, k_forced_suite);
        LOG_DBG(TAG, "force_ciphersuite=%d", k_forced_suite[0]);
    } else {
        mbedtls_ssl_conf_ciphersuites(conf, mbedtls_ssl_list_ciphersuites());
    }
}

// Decodes a SHA-256 fingerprint text (64 hex digits, ':' allowed between
// pairs) into out. false when it is not one.
bool parse_pin(const char *text, unsigned char out[32])
{
    char hex[65];
    size_t n = 0;
    for (const char *p = text; *p; p++) {
        if (*p == ':')
            continue;
        if (n >= 64)
            return false;
        hex[n++] = *p;
    }
    hex[n] = '\0';
    return n == 64 && str_hex_decode_buf(hex, 0, out, 32) == 32;
}

// The peer certificate's SHA-256 against the pinned one.
bool pin_matches(const mbedtls_ssl_context *ssl, const unsigned char want[32])
{
    const mbedtls_x509_crt *crt = mbedtls_ssl_get_peer_cert(ssl);
    unsigned char got[32];
    if (!crt || mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), crt->raw.p, crt->raw.len, got) != 0)
        return false;
    unsigned diff = 0;
    for (int i = 0; i < 32; i++)
        diff |= unsigned(got[i] ^ want[i]);
    return diff == 0;
}

// The bytes of host when it is an IPv4 or IPv6 address (a zone after '%'
// ignored) into out (16 bytes); their count, 0 for a name.
size_t host_address(const char *host, unsigned char *out)
{
    if (inet_pton(AF_INET, host, out) == 1)
        return 4;
    char v6[INET6_ADDRSTRLEN + 1];
    const size_t n = strcspn(host, "%");
    if (n >= sizeof v6)
        return 0;
    memcpy(v6, host, n);
    v6[n] = '\0';
    return inet_pton(AF_INET6, v6, out) == 1 ? 16 : 0;
}

// Whether the certificate's subjectAltName holds the iPAddress ip[0, len).
// The library lists only its DNS and other names, so the extension is read
// here from the certificate's DER; every length is checked against what
// holds it, and anything malformed answers false.
bool san_has_ip(const mbedtls_x509_crt *crt, const unsigned char *ip, size_t len)
{
    constexpr int k_seq = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;
    constexpr int k_exts = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 3;
    constexpr int k_ip_name = MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7;
    static const unsigned char k_san_oid[] = {0x55, 0x1D, 0x11}; // 2.5.29.17
    unsigned char *p = crt->raw.p;
    const unsigned char *end = p + crt->raw.len;
    size_t n;
    // Certificate, then its TBSCertificate.
    if (!p || mbedtls_asn1_get_tag(&p, end, &n, k_seq) != 0 || mbedtls_asn1_get_tag(&p, p + n, &n, k_seq) != 0)
        return false;
    end = p + n;
    // Skip version, serial ... subject key, unique ids up to the extensions ([3]).
    while (p < end && *p != k_exts) {
        ++p;
        if (mbedtls_asn1_get_len(&p, end, &n) != 0)
            return false;
        p += n;
    }
    if (p >= end || mbedtls_asn1_get_tag(&p, end, &n, k_exts) != 0 ||
        mbedtls_asn1_get_tag(&p, p + n, &n, k_seq) != 0)
        return false;
    end = p + n;
    while (p < end) {
        if (mbedtls_asn1_get_tag(&p, end, &n, k_seq) != 0)
            return false;
        unsigned char *ext_end = p + n;
        size_t oid_len;
        if (mbedtls_asn1_get_tag(&p, ext_end, &oid_len, MBEDTLS_ASN1_OID) != 0)
            return false;
        const bool is_san = oid_len == sizeof k_san_oid && memcmp(p, k_san_oid, oid_len) == 0;
        p += oid_len;
        if (is_san) {
            if (p < ext_end && *p == MBEDTLS_ASN1_BOOLEAN) { // critical
                if (mbedtls_asn1_get_tag(&p, ext_end, &n, MBEDTLS_ASN1_BOOLEAN) != 0)
                    return false;
                p += n;
            }
            if (mbedtls_asn1_get_tag(&p, ext_end, &n, MBEDTLS_ASN1_OCTET_STRING) != 0 ||
                mbedtls_asn1_get_tag(&p, p + n, &n, k_seq) != 0)
                return false;
            const unsigned char *names_end = p + n;
            while (p < names_end) {
                const int tag = *p++;
                if (mbedtls_asn1_get_len(&p, names_end, &n) != 0)
                    return false;
                if (tag == k_ip_name && n == len && memcmp(p, ip, len) == 0)
                    return true;
                p += n;
            }
            return false;
        }
        p = ext_end;
    }
    return false;
}

// Verification callback of a connect whose host is an address: the library
// compares the host with the leaf's CN and DNS names only, so a leaf that
// names the address as an iPAddress is taken as naming the host.
int verify_address(void *arg, mbedtls_x509_crt *crt, int depth, uint32_t *flags)
{
    auto *c = static_cast<ssl_ctx_t *>(arg);
    if (depth != 0 || !(*flags & MBEDTLS_X509_BADCERT_CN_MISMATCH))
        return 0;
    if (san_has_ip(crt, c->ip, c->ip_len))
        *flags &= ~uint32_t(MBEDTLS_X509_BADCERT_CN_MISMATCH);
    else
        c->ip_mismatch = 1;
    return 0;
}

// A client configuration of its own for a connect that checks the peer's
// chain: the shared one's random source, TLS 1.2 at least, verification
// required against the CA file.
bool make_verifying_conf(ssl_cli_conf *shared, ssl_ctx_t *c, const char *ca_file, vperror_t *err)
{
    c->ca = static_cast<mbedtls_x509_crt *>(os_zalloc(sizeof(mbedtls_x509_crt)));
    c->own_conf = static_cast<mbedtls_ssl_config *>(os_zalloc(sizeof(mbedtls_ssl_config)));
    if (!c->ca || !c->own_conf) {
        VPERROR_SET(err, VERR_NO_MEMORY, "memory allocation failed");
        return false;
    }
    mbedtls_x509_crt_init(c->ca);
    mbedtls_ssl_config_init(c->own_conf);
    const int r = mbedtls_x509_crt_parse_file(c->ca, ca_file);
    if (r != 0) {
        LOG_ERR(TAG, "ca_file [%s] cannot be loaded: %d", ca_file, r);
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "ca_file [%s] cannot be loaded", ca_file);
        return false;
    }
    if (mbedtls_ssl_config_defaults(c->own_conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        LOG_ERR(TAG, "mbedtls_ssl_config_defaults failed");
        return false;
    }
    set_min_tls12(c->own_conf);
    mbedtls_ssl_conf_rng(c->own_conf, mbedtls_ctr_drbg_random, &shared->drbg);
    mbedtls_ssl_conf_authmode(c->own_conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(c->own_conf, c->ca, nullptr);
    return true;
}

template <class Op> int record_loop(net_conn *conn, size_t len, const char *what, Op op, bool reading)
{
    const uint64_t start = os_clock_ms();
    size_t done = 0;
    while (done < len) {
        const int r = op(done);
        if (r > 0) {
            done += size_t(r);
            continue;
        }
        if (r < 0 && r != MBEDTLS_ERR_SSL_WANT_READ && r != MBEDTLS_ERR_SSL_WANT_WRITE) {
            LOG_VERB(TAG, "%s = %d\n", what, r);
            if (r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY)
                __atomic_store_n(&conn->disconnected, 1, __ATOMIC_RELEASE);
            return -1;
        }
        if (r == 0 && reading) {
            // The transport ended (peer gone or time-out): the session must
            // not be read again.
            __atomic_store_n(&conn->disconnected, 1, __ATOMIC_RELEASE);
            return int(done);
        }
        if (int64_t(os_clock_ms() - start) >= int64_t(conn->timeout)) {
            // A write that timed out may leave a record half sent: the
            // session cannot go on with other data.
            if (!reading && r == MBEDTLS_ERR_SSL_WANT_WRITE)
                __atomic_store_n(&conn->disconnected, 1, __ATOMIC_RELEASE);
            return int(done);
        }
    }
    return int(done);
}

} // namespace

// ---- client -------------------------------------------------------------------------------------------

ssl_cli_conf *ssl_cli_conf_new(void)
{
    LOG_VERB(TAG, "==>");
    auto *c = static_cast<ssl_cli_conf *>(os_zalloc(sizeof(ssl_cli_conf)));
    if (!c)
        return nullptr;
    mbedtls_ssl_config_init(&c->conf);
    mbedtls_ctr_drbg_init(&c->drbg);
    mbedtls_entropy_init(&c->entropy);
    static const char pers[] = "ssl_client";
    if (mbedtls_ctr_drbg_seed(&c->drbg, mbedtls_entropy_func, &c->entropy, reinterpret_cast<const unsigned char *>(pers),
                              sizeof pers - 1) != 0) {
        LOG_ERR(TAG, "mbedtls_ctr_drbg_seed failed");
        ssl_cli_conf_free(c);
        return nullptr;
    }
    if (mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        LOG_ERR(TAG, "mbedtls_ssl_config_defaults failed");
        ssl_cli_conf_free(c);
        return nullptr;
    }
    set_min_tls12(&c->conf);
    mbedtls_ssl_conf_ciphersuites(&c->conf, mbedtls_ssl_list_ciphersuites());
    mbedtls_ssl_conf_rng(&c->conf, mbedtls_ctr_drbg_random, &c->drbg);
    mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_NONE);
    return c;
}

void ssl_cli_conf_free(ssl_cli_conf *conf)
{
    if (!conf)
        return;
    mbedtls_ssl_config_free(&conf->conf);
    mbedtls_ctr_drbg_free(&conf->drbg);
    mbedtls_entropy_free(&conf->entropy);
    os_free(conf);
}

int libssl_init(void)
{
    std::lock_guard<std::mutex> g(g_cli_mu);
    if (!g_cli_conf) {
        g_cli_conf = ssl_cli_conf_new();
        if (!g_cli_conf)
            LOG_ERR(TAG, "ssl_cli_conf_new failed\n");
    }
    return 0;
}

int libssl_exit(void)
{
    std::lock_guard<std::mutex> g(g_cli_mu);
    ssl_cli_conf_free(g_cli_conf);
    g_cli_conf = nullptr;
    return 0;
}

void ssl_set_transport(net_read_fn read, net_write_fn write)
{
    g_sock_read = read;
    g_sock_write = write;
}

int ssl_net_send(void *conn, const unsigned char *buf, size_t len)
{
    const net_write_fn write = g_sock_write.load();
    if (!write)
        return -1;
    const int r = write(static_cast<net_conn *>(conn), buf, len);
    // Nothing went within the time-out: "try again" for the library, which
    // keeps the record; a 0 would let it count unsent data as written.
    if (r == 0 && len > 0)
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    return r < 0 ? -1 : r;
}

int ssl_net_recv(void *conn, unsigned char *buf, size_t len)
{
    const net_read_fn read = g_sock_read.load();
    if (!read)
        return -1;
    const int r = read(static_cast<net_conn *>(conn), buf, len);
    return r < 0 ? -1 : r;
}

void *ssl_cli_connect3(ssl_cli_conf *conf, net_conn *conn, const char *cipher, int timeout,
                       const ssl_verify_opts *verify, int *tls_error, vperror_t *err)
{
    (void)timeout; // the handshake's reads and writes use the connection's own
    PL_ASSERT_RET(TAG, conn, nullptr);
    if (!conf) {
        libssl_init();
        conf = g_cli_conf;
        if (!conf) {
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "no tls configuration");
            if (tls_error)
                *tls_error = -1;
            return nullptr;
        }
    }
    const char *ca_file = verify && verify->ca_file && *verify->ca_file ? verify->ca_file : nullptr;
    const char *pin_text = verify && verify->cert_sha256 && *verify->cert_sha256 ? verify->cert_sha256 : nullptr;
    unsigned char pin[32];
    if (pin_text && !parse_pin(pin_text, pin)) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "cert_sha256 is not a SHA-256 fingerprint");
        if (tls_error)
            *tls_error = -1;
        return nullptr;
    }
    auto *c = static_cast<ssl_ctx_t *>(os_zalloc_align(sizeof(ssl_ctx_t), 8));
    if (!c)
        return nullptr;
    mbedtls_ssl_init(&c->ssl);
    mbedtls_ssl_config *use = &conf->conf;
    int r;
    if (ca_file) {
        if (!make_verifying_conf(conf, c, ca_file, err))
            goto fail;
        use = c->own_conf;
    }
    set_suites(use, cipher);
    if ((r = mbedtls_ssl_setup(&c->ssl, use)) != 0) {
        LOG_ERR(TAG, "mbedtls_ssl_setup failed");
        goto fail_quiet;
    }
    if (ca_file && verify->host && *verify->host) {
        if (mbedtls_ssl_set_hostname(&c->ssl, verify->host) != 0)
            goto fail;
        c->ip_len = host_address(verify->host, c->ip);
        if (c->ip_len)
            mbedtls_ssl_set_verify(&c->ssl, verify_address, c);
    }
    mbedtls_ssl_set_bio(&c->ssl, conn, ssl_net_send, ssl_net_recv, nullptr);
    r = mbedtls_ssl_handshake(&c->ssl);
    if (r != 0) {
        if (tls_error)
            *tls_error = r == MBEDTLS_ERR_SSL_CONN_EOF ? VERR_TRY_AGAIN : -1;
        log_tls_error(LOG2_DBG, __FILE__, __LINE__, __func__, "mbedtls_ssl_handshake", r);
        char text[512];
        mbedtls_strerror(r, text, sizeof text);
        if (r == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
            char why[512] = "";
            uint32_t flags = mbedtls_ssl_get_verify_result(&c->ssl);
            if (c->ip_mismatch) // the library's words would speak of a CN
                flags &= ~uint32_t(MBEDTLS_X509_BADCERT_CN_MISMATCH);
            if (flags)
                mbedtls_x509_crt_verify_info(why, sizeof why, "", flags);
            // One line: the library ends each reason with a newline.
            for (size_t n = strlen(why); n && (why[n - 1] == '\n' || why[n - 1] == ' '); n--)
                why[n - 1] = '\0';
            for (char *nl = strchr(why, '\n'); nl; nl = strchr(nl, '\n'))
                *nl = ';';
            if (c->ip_mismatch)
                strcat_printf(why, sizeof why, "%sno iPAddress subjectAltName names %s", why[0] ? "; " : "",
                              verify->host);
            LOG_ERR(TAG, "peer certificate not trusted: %s", why);
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "peer certificate not trusted: %s", why);
        } else if (r == k_err_version) {
            LOG_ERR(TAG, "server refused: %s; TLS 1.2 or later is required", text);
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "%s (%d): TLS 1.2 or later is required", text, r);
        } else {
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "%s (%d)", text, r);
        }
        free_ctx(c);
        return nullptr;
    }
    if (pin_text && !pin_matches(&c->ssl, pin)) {
        LOG_ERR(TAG, "peer certificate does not match cert_sha256");
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "peer certificate does not match cert_sha256");
        if (tls_error)
            *tls_error = -1;
        free_ctx(c);
        return nullptr;
    }
    c->verified = ca_file || pin_text;
    conn->read_proc = ssl_recv_proc;
    conn->write_proc = ssl_send_proc;
    return c;
fail:
    if (tls_error)
        *tls_error = -1;
fail_quiet:
    free_ctx(c);
    return nullptr;
}

void *ssl_cli_connect2(ssl_cli_conf *conf, net_conn *conn, const char *cipher, int timeout, int *tls_error)
{
    return ssl_cli_connect3(conf, conn, cipher, timeout, nullptr, tls_error, nullptr);
}

void *ssl_cli_connect(ssl_cli_conf *conf, net_conn *conn, const char *cipher, int timeout)
{
    return ssl_cli_connect3(conf, conn, cipher, timeout, nullptr, nullptr, nullptr);
}

int ssl_is_verified(const void *ctx) { return ctx ? static_cast<const ssl_ctx_t *>(ctx)->verified : 0; }

int ssl_send_proc(net_conn *conn, const void *buf, size_t len)
{
    auto *c = static_cast<ssl_ctx_t *>(conn->ssl);
    const auto *p = static_cast<const unsigned char *>(buf);
    return record_loop(
        conn, len, "mbedtls_ssl_write", [&](size_t done) { return mbedtls_ssl_write(&c->ssl, p + done, len - done); },
        false);
}

int ssl_recv_proc(net_conn *conn, void *buf, size_t len)
{
    auto *c = static_cast<ssl_ctx_t *>(conn->ssl);
    auto *p = static_cast<unsigned char *>(buf);
    return record_loop(
        conn, len, "mbedtls_ssl_read", [&](size_t done) { return mbedtls_ssl_read(&c->ssl, p + done, len - done); },
        true);
}

void ssl_close(void *ctx)
{
    auto *c = static_cast<ssl_ctx_t *>(ctx);
    if (!c)
        return;
    mbedtls_ssl_close_notify(&c->ssl);
    free_ctx(c);
}

// ---- server -------------------------------------------------------------------------------------------

ssl_srv_conf *ssl_srv_conf_new(const char *cert_file, const char *key_file)
{
    LOG_VERB(TAG, "==>");
    PL_ASSERT_RET(TAG, cert_file && key_file, nullptr);
    auto *s = static_cast<ssl_srv_conf *>(os_zalloc(sizeof(ssl_srv_conf)));
    if (!s)
        return nullptr;
    mbedtls_entropy_init(&s->entropy);
    mbedtls_ctr_drbg_init(&s->drbg);
    mbedtls_ssl_config_init(&s->conf);
    mbedtls_x509_crt_init(&s->chain);
    mbedtls_pk_init(&s->key);
    static const char pers[] = "zksd_srv";
    int r;
    if ((r = mbedtls_ctr_drbg_seed(&s->drbg, mbedtls_entropy_func, &s->entropy,
                                   reinterpret_cast<const unsigned char *>(pers), sizeof pers - 1)) != 0) {
        LOG_ERR(TAG, "mbedtls_ctr_drbg_seed failed");
        goto fail;
    }
    if ((r = mbedtls_ssl_config_defaults(&s->conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT)) != 0) {
        LOG_ERR(TAG, "mbedtls_ssl_config_defaults failed");
        goto fail;
    }
    if ((r = mbedtls_x509_crt_parse_file(&s->chain, cert_file)) != 0) {
        LOG_ERR(TAG, "mbedtls_x509_crt_parse_file %s failed", cert_file);
        goto fail;
    }
    if ((r = parse_keyfile(&s->key, key_file, &s->drbg)) != 0) {
        LOG_ERR(TAG, "mbedtls_pk_parse_keyfile %s failed", key_file);
        goto fail;
    }
    mbedtls_ssl_conf_ca_chain(&s->conf, s->chain.next, nullptr);
    if ((r = mbedtls_ssl_conf_own_cert(&s->conf, &s->chain, &s->key)) != 0) {
        LOG_ERR(TAG, "mbedtls_ssl_conf_own_cert returned %d", r);
        goto fail;
    }
    set_min_tls12(&s->conf);
    mbedtls_ssl_conf_ciphersuites(&s->conf, mbedtls_ssl_list_ciphersuites());
    mbedtls_ssl_conf_rng(&s->conf, mbedtls_ctr_drbg_random, &s->drbg);
    mbedtls_ssl_conf_authmode(&s->conf, MBEDTLS_SSL_VERIFY_NONE);
    return s;
fail:
    ssl_srv_conf_free(s);
    return nullptr;
}

void ssl_srv_conf_free(ssl_srv_conf *conf)
{
    if (!conf)
        return;
    mbedtls_pk_free(&conf->key);
    mbedtls_x509_crt_free(&conf->chain);
    mbedtls_ssl_config_free(&conf->conf);
    mbedtls_ctr_drbg_free(&conf->drbg);
    mbedtls_entropy_free(&conf->entropy);
    os_free(conf);
}

void *ssl_srv_new(ssl_srv_conf *conf, net_conn *conn)
{
    PL_ASSERT_RET(TAG, conf && conn, nullptr);
    auto *c = static_cast<ssl_ctx_t *>(os_zalloc_align(sizeof(ssl_ctx_t), 8));
    if (!c)
        return nullptr;
    mbedtls_ssl_init(&c->ssl);
    int r;
    if ((r = mbedtls_ssl_setup(&c->ssl, &conf->conf)) != 0) {
        LOG_ERR(TAG, "mbedtls_ssl_setup returned %d", r);
        free_ctx(c);
        return nullptr;
    }
    mbedtls_ssl_session_reset(&c->ssl);
    mbedtls_ssl_set_bio(&c->ssl, conn, ssl_net_send, ssl_net_recv, nullptr);
    while ((r = mbedtls_ssl_handshake(&c->ssl)) != 0) {
        if (r != MBEDTLS_ERR_SSL_WANT_READ && r != MBEDTLS_ERR_SSL_WANT_WRITE) {
            log_tls_error(LOG2_ERR, __FILE__, __LINE__, __func__, "mbedtls_ssl_handshake", r);
            free_ctx(c);
            return nullptr;
        }
    }
    LOG_VERB(TAG, "Proto=[%s] Cipher=[%s]", mbedtls_ssl_get_version(&c->ssl), mbedtls_ssl_get_ciphersuite(&c->ssl));
    conn->read_proc = ssl_recv_proc;
    conn->write_proc = ssl_send_proc;
    return c;
}

// ---- diagnostics --------------------------------------------------------------------------------------

void my_debug(void *, int, const char *file, int line, const char *text)
{
    LOG_DBG(TAG, "%s:%04d: %s", file, line, text);
}

void mbedtls_ssl_ciphersuite_dump(void)
{
    for (const int *id = mbedtls_ssl_list_ciphersuites(); *id; id++)
        LOG_DBG("tag", "[%s]", mbedtls_ssl_get_ciphersuite_name(*id));
}

// ---- raw RSA PKCS#1 v1.5 --------------------------------------------------------------------------------

namespace {

std::once_flag g_rng_once;
std::mutex g_rng_mu;
mbedtls_entropy_context g_rng_entropy;
mbedtls_ctr_drbg_context g_rng_drbg;
int g_rng_ready;

size_t key_len(mbedtls_rsa_context *rsa) { return mbedtls_rsa_get_len(rsa); }

} // namespace

int rsa_rng_fallback(void *, unsigned char *out, size_t len)
{
    std::call_once(g_rng_once, [] {
        mbedtls_entropy_init(&g_rng_entropy);
        mbedtls_ctr_drbg_init(&g_rng_drbg);
        static const char pers[] = "rsa_rng";
        g_rng_ready = mbedtls_ctr_drbg_seed(&g_rng_drbg, mbedtls_entropy_func, &g_rng_entropy,
                                            reinterpret_cast<const unsigned char *>(pers), sizeof pers - 1) == 0;
    });
    if (!g_rng_ready)
        return MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
    std::lock_guard<std::mutex> g(g_rng_mu);
    // Requests are cut to the generator's largest.
    while (len) {
        const size_t n = len < MBEDTLS_CTR_DRBG_MAX_REQUEST ? len : MBEDTLS_CTR_DRBG_MAX_REQUEST;
        const int r = mbedtls_ctr_drbg_random(&g_rng_drbg, out, n);
        if (r != 0)
            return r;
        out += n;
        len -= n;
    }
    return 0;
}

namespace {

// 0x00, type, padding to k - in_len - 3 bytes, 0x00, in.
int pad_block(unsigned char *blk, size_t k, int type, const unsigned char *in, size_t in_len)
{
    blk[0] = 0x00;
    blk[1] = uint8_t(type);
    const size_t pad = k - in_len - 3;
    unsigned char *p = blk + 2;
    if (type == 1) {
        memset(p, 0xff, pad);
    } else {
        for (size_t i = 0; i < pad; i++) {
            do {
                if (rsa_rng_fallback(nullptr, p + i, 1) != 0)
                    return -1;
            } while (p[i] == 0);
        }
    }
    p[pad] = 0x00;
    memcpy(p + pad + 1, in, in_len);
    return 0;
}

int encrypt_imp(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                size_t in_len, bool use_private)
{
    PL_ASSERT_RET(TAG, rsa && out && out_len && (in || !in_len), -1);
    const size_t k = key_len(rsa);
    if (in_len + 11 > k || k > *out_len)
        return -1;
    unsigned char blk[MBEDTLS_MPI_MAX_SIZE];
    if (k > sizeof blk || pad_block(blk, k, use_private ? 1 : 2, in, in_len) != 0)
        return -1;
    const int r = use_private ? mbedtls_rsa_private(rsa, rsa_rng_fallback, nullptr, blk, out)
                              : mbedtls_rsa_public(rsa, blk, out);
    explicit_bzero(blk, sizeof blk);
    if (r != 0)
        return -1;
    *out_len = k;
    return 0;
}

// Removes the padding of block type `type` from blk (k bytes) without a
// branch on where the padding ends, so a failure tells nothing of where it
// went wrong; the message length, or -1.
long unpad_block(const unsigned char *blk, size_t k, int type)
{
    unsigned bad = unsigned(blk[0]) | unsigned(blk[1] ^ type);
    size_t sep = 0;
    unsigned found = 0;
    for (size_t i = 2; i < k; i++) {
        const unsigned is_zero = unsigned(blk[i] == 0);
        const unsigned first = is_zero & (found ^ 1u);
        sep |= (size_t(0) - size_t(first)) & i;
        found |= is_zero;
        // Type 1 pads with 0xFF only, up to the separator.
        if (type == 1)
            bad |= (found ^ 1u) & unsigned(blk[i] != 0xff);
    }
    bad |= found ^ 1u;
    bad |= unsigned(sep < 2 + 8); // at least eight padding bytes
    return bad ? -1 : long(k - sep - 1);
}

int decrypt_imp(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                size_t in_len, bool use_private)
{
    PL_ASSERT_RET(TAG, rsa && out && out_len && in, -1);
    const size_t k = key_len(rsa);
    if (k < in_len || k > *out_len)
        return -1;
    unsigned char src[MBEDTLS_MPI_MAX_SIZE] = {}, blk[MBEDTLS_MPI_MAX_SIZE];
    if (k > sizeof blk)
        return -1;
    memcpy(src + (k - in_len), in, in_len);
    const int r = use_private ? mbedtls_rsa_private(rsa, rsa_rng_fallback, nullptr, src, blk)
                              : mbedtls_rsa_public(rsa, src, blk);
    long n = r == 0 ? unpad_block(blk, k, use_private ? 2 : 1) : -1;
    if (n >= 0 && size_t(n) > k - 11)
        n = -1;
    if (n >= 0) {
        memcpy(out, blk + (k - size_t(n)), size_t(n));
        *out_len = size_t(n);
    }
    explicit_bzero(blk, sizeof blk);
    return n < 0 ? -1 : 0;
}

} // namespace

int rsa_pkcs1_public_encrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                             size_t in_len)
{
    return encrypt_imp(rsa, out, out_len, in, in_len, false);
}

int rsa_pkcs1_private_encrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                              size_t in_len)
{
    return encrypt_imp(rsa, out, out_len, in, in_len, true);
}

int rsa_pkcs1_public_decrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                             size_t in_len)
{
    return decrypt_imp(rsa, out, out_len, in, in_len, false);
}

int rsa_pkcs1_private_decrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                              size_t in_len)
{
    return decrypt_imp(rsa, out, out_len, in, in_len, true);
}
