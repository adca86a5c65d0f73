// libssl: the TLS layer over mbedtls. A TLS client connection on top of an
// open net_conn socket (TLS 1.2 at least), its record read and write
// procedures, the server side, and raw RSA PKCS#1 v1.5 helpers. Log tag
// "sslcli".
//
// Peer certificates are not verified unless the caller asks (a CA file,
// which also checks the host name, or a pinned SHA-256 fingerprint); an
// unverified connect logs one warning, as the link is then encrypted but
// the server not authenticated. No key or certificate content is logged.
//
// Threads: the shared client configuration is made once and then only read,
// except that each connect sets its cipher-suite list; connects run one at
// a time (their callers serialise them). A TLS context belongs to one
// connection and is used by one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_verr.h"
#include "libpal/network/net_conn.h"

struct ssl_cli_conf;
struct ssl_srv_conf;
typedef struct mbedtls_rsa_context mbedtls_rsa_context;

// What a client connect checks of the peer; any field may be NULL or "".
struct ssl_verify_opts {
    const char *ca_file;     // PEM file of trusted certificates: chain and host name checked
    const char *cert_sha256; // the peer certificate's SHA-256, hex, ':' allowed between pairs
    const char *host;        // name the certificate must carry (with ca_file)
};

// ---- client -------------------------------------------------------------------------------------------

// Creates (once) / frees the shared client configuration. 0.
int libssl_init(void);
int libssl_exit(void);
// A client configuration (entropy, CTR-DRBG seeded with "ssl_client", TLS
// 1.2 at least, every supported suite, no verification), or NULL (logged).
ssl_cli_conf *ssl_cli_conf_new(void);
void ssl_cli_conf_free(ssl_cli_conf *conf);
// Runs the TLS handshake over conn's socket (reads and writes use conn's
// time-out; timeout is not used). cipher "aes_256_ecb" (any case) offers
// only TLS-RSA-WITH-AES-256-CBC-SHA; any other name offers every suite.
// conf NULL uses the shared configuration (made here when missing).
// Returns the TLS context, with conn's read and write procedures set, or
// NULL with *tls_error (may be NULL) -52 when the peer ended the handshake
// early (worth one more try on a new socket), else -1; err (may be NULL)
// gets the reason.
void *ssl_cli_connect3(ssl_cli_conf *conf, net_conn *conn, const char *cipher, int timeout,
                       const ssl_verify_opts *verify, int *tls_error, vperror_t *err);
void *ssl_cli_connect2(ssl_cli_conf *conf, net_conn *conn, const char *cipher, int timeout, int *tls_error);
void *ssl_cli_connect(ssl_cli_conf *conf, net_conn *conn, const char *cipher, int timeout);
// 1 when the context's peer was authenticated (CA chain or pin), else 0.
int ssl_is_verified(const void *ctx);

// The connection's procedures under TLS: loop until len bytes moved or the
// connection's time-out passed (short count). A read that finds the link
// closed marks the connection disconnected and returns the count so far.
// -1 on a TLS error (logged at verb).
int ssl_send_proc(net_conn *conn, const void *buf, size_t len);
int ssl_recv_proc(net_conn *conn, void *buf, size_t len);
// Byte transport given to mbedtls: the transport procedures below (the
// connection's socket calls); any negative result becomes -1, and so does
// every call while no transport is set.
int ssl_net_send(void *conn, const unsigned char *buf, size_t len);
int ssl_net_recv(void *conn, unsigned char *buf, size_t len);
// The socket read and write TLS runs on, bound by the connection's time-out
// and abort flags: the connection layer's own (net_sock_read and
// net_sock_write), which it hands over when the program loads. Any thread;
// the last pair set holds.
void ssl_set_transport(net_read_fn read, net_write_fn write);
// Sends close_notify and frees the context (client or server). NULL is ignored.
void ssl_close(void *ctx);

// ---- server -------------------------------------------------------------------------------------------

// A server configuration from a PEM certificate chain and an unencrypted
// key file (CTR-DRBG seeded with "zksd_srv", no client verification), or
// NULL (logged).
ssl_srv_conf *ssl_srv_conf_new(const char *cert_file, const char *key_file);
void ssl_srv_conf_free(ssl_srv_conf *conf);
// Server handshake on conn's socket; the TLS context with conn's procedures
// set, or NULL (logged).
void *ssl_srv_new(ssl_srv_conf *conf, net_conn *conn);

// ---- diagnostics --------------------------------------------------------------------------------------
// The mbedtls debug callback form; logs "%s:%04d: %s" at dbg.
void my_debug(void *ctx, int level, const char *file, int line, const char *text);
// Logs the name of every cipher suite the library supports (dbg, tag "tag").
void mbedtls_ssl_ciphersuite_dump(void);

// ---- raw RSA PKCS#1 v1.5 --------------------------------------------------------------------------------
// Random bytes from a private CTR-DRBG (for callers that have no generator).
// 0, or an mbedtls error.
int rsa_rng_fallback(void *ctx, unsigned char *out, size_t len);
// Pads in (block type 2 with random non-zero bytes for public encryption,
// type 1 with 0xFF for private encryption) to the key length k and runs the
// raw operation into out. in_len + 11 <= k <= *out_len; *out_len = k. 0 or -1.
int rsa_pkcs1_public_encrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                             size_t in_len);
int rsa_pkcs1_private_encrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                              size_t in_len);
// The raw operation on in (in_len <= k <= *out_len), then the padding of
// block type 1 (public) or 2 (private) is checked and removed; *out_len =
// the message length. 0 or -1 (one answer for every malformed block).
int rsa_pkcs1_public_decrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                             size_t in_len);
int rsa_pkcs1_private_decrypt(mbedtls_rsa_context *rsa, unsigned char *out, size_t *out_len, const unsigned char *in,
                              size_t in_len);
