// TLS: handshakes with openssl s_server on loopback (default suites, the
// forced suite, a TLS 1.1-only server refused), a peer that ends the
// handshake early (one more try), verification by CA file and by pinned
// fingerprint, reads that time out, our own server side, and the raw RSA
// helpers.
#include <gtest/gtest.h>
#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/rsa.h>
#include <mbedtls/version.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#include "libnet/libnet.h"
#include "libpal/basic/pl_base.h"
#include "libssl/libssl.h"
#include "net_test_util.h"
#include "test_util.h"

using net_test::child;
using net_test::read_n;
using net_test::tcp_peer;

namespace {

// Self-signed certificates made once for the whole suite.
struct certs {
    zk_test::temp_dir dir{"zk_tls"};
    std::string cert, key, other_cert, other_key, pin;
    bool ok = false;
    certs()
    {
        cert = dir / "c.pem";
        key = dir / "k.pem";
        other_cert = dir / "c2.pem";
        other_key = dir / "k2.pem";
        const std::string gen = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 2 2>/dev/null";
        zk_test::run(gen + " -keyout " + key + " -out " + cert);
        zk_test::run(gen + " -keyout " + other_key + " -out " + other_cert);
        pin = zk_test::run("openssl x509 -noout -fingerprint -sha256 -in " + cert);
        const size_t eq = pin.find('=');
        pin = eq == std::string::npos ? "" : pin.substr(eq + 1);
        while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r'))
            pin.pop_back();
        ok = !pin.empty();
    }
};

certs &the_certs()
{
    static certs c;
    return c;
}

// openssl s_server on a loopback port of its own choice (it binds port 0
// and names the port it got), echoing lines reversed.
struct tls_server {
    int port = 0;
    child proc;
    explicit tls_server(const std::vector<std::string> &extra = {}, const std::string &cert = the_certs().cert,
                        const std::string &key = the_certs().key)
        : proc(args(extra, cert, key))
    {
    }
    static std::vector<std::string> args(const std::vector<std::string> &extra, const std::string &cert,
                                         const std::string &key)
    {
        std::vector<std::string> a = {"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", cert, "-key", key,
                                      "-rev"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    // Waits for "ACCEPT 127.0.0.1:<port>" and takes the port.
    bool ready()
    {
        static const std::string head = "ACCEPT 127.0.0.1:";
        if (!proc.wait_for(head) || !proc.wait_for("\n"))
            return false;
        const std::string &out = proc.output();
        const size_t at = out.find(head);
        const size_t nl = out.find('\n', at);
        if (nl == std::string::npos)
            return false;
        port = atoi(out.substr(at + head.size(), nl - at - head.size()).c_str());
        return port > 0;
    }
    std::string url(const std::string &query = "") const
    {
        return "zkps://127.0.0.1:" + std::to_string(port) + "/" + (query.empty() ? "" : "?" + query);
    }
};

struct conn_guard {
    net_conn c{};
    ~conn_guard() { net_close(&c); }
};

class Tls : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!the_certs().ok)
            GTEST_SKIP() << "openssl could not make certificates";
    }
};

// A line through s_server -rev comes back reversed.
void expect_echo(net_conn *c)
{
    ASSERT_EQ(net_write(c, "hello\n", 6), 6);
    char buf[64];
    ASSERT_EQ(net_gets(c, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "olleh");
}

} // namespace

TEST_F(Tls, DefaultHandshakeWarnsWhenUnverified)
{
    tls_server srv;
    ASSERT_TRUE(srv.ready()) << srv.proc.output();
    zk_test::log_capture cap;
    conn_guard g;
    g.c.timeout = 5000;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, srv.url().c_str(), nullptr, &e), 0) << e.msg;
    EXPECT_NE(g.c.ssl, nullptr);
    EXPECT_EQ(cap.count("not verified"), 1u);
    expect_echo(&g.c);
    EXPECT_TRUE(srv.proc.wait_for("Protocol version: TLSv1.2")) << srv.proc.output();
}

TEST_F(Tls, ForcedSuite)
{
    tls_server srv({"-tls1_2", "-cipher", "AES256-SHA"});
    ASSERT_TRUE(srv.ready());
    conn_guard g;
    g.c.timeout = 5000;
    g.c.handle = sock_tcp_connect("127.0.0.1", srv.port, nullptr, nullptr);
    ASSERT_NE(g.c.handle, nullptr);
    int tls_err = 0;
    g.c.ssl = ssl_cli_connect2(nullptr, &g.c, "AES_256_ECB", 6000, &tls_err);
    ASSERT_NE(g.c.ssl, nullptr) << tls_err;
    expect_echo(&g.c);
    EXPECT_TRUE(srv.proc.wait_for("Ciphersuite: AES256-SHA")) << srv.proc.output();

    // A server without that suite refuses with an alert: -1, not worth a retry.
    tls_server other({"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"});
    ASSERT_TRUE(other.ready());
    net_conn c{};
    c.timeout = 5000;
    c.handle = sock_tcp_connect("127.0.0.1", other.port, nullptr, nullptr);
    ASSERT_NE(c.handle, nullptr);
    tls_err = 0;
    EXPECT_EQ(ssl_cli_connect2(nullptr, &c, "aes_256_ecb", 6000, &tls_err), nullptr);
    EXPECT_EQ(tls_err, -1);
    // "RC4-SHA" restricts nothing: the same server accepts the full list.
    net_close(&c);
    c.handle = sock_tcp_connect("127.0.0.1", other.port, nullptr, nullptr);
    c.ssl = ssl_cli_connect2(nullptr, &c, "RC4-SHA", 6000, &tls_err);
    EXPECT_NE(c.ssl, nullptr);
    net_close(&c);
}

TEST_F(Tls, Tls11OnlyServerRefused)
{
    // OpenSSL 3 offers TLS 1.1 only at security level 0.
    tls_server srv({"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"});
    ASSERT_TRUE(srv.ready()) << srv.proc.output();
    conn_guard g;
    g.c.timeout = 3000;
    vperror_t e{};
    EXPECT_EQ(net_open3(&g.c, srv.url().c_str(), nullptr, &e), -1);
    EXPECT_EQ(e.code, -1);
    // The reason: the library's words and what is required.
    const std::string msg = e.msg;
    EXPECT_EQ(msg.rfind("ssl connection failed: ", 0), 0u) << msg;
    EXPECT_NE(msg.find("TLS 1.2 or later is required"), std::string::npos) << msg;
#if MBEDTLS_VERSION_MAJOR >= 3
    const int code = MBEDTLS_ERR_SSL_BAD_PROTOCOL_VERSION;
#else
    const int code = MBEDTLS_ERR_SSL_BAD_HS_PROTOCOL_VERSION;
#endif
    char text[256];
    mbedtls_strerror(code, text, sizeof text);
    EXPECT_NE(msg.find(text), std::string::npos) << msg;
}

TEST_F(Tls, PeerEndingTheHandshakeIsTriedTwice)
{
    // Reads the whole ClientHello record, then closes: an end of file for
    // the client rather than a reset.
    tcp_peer peer([](int fd, int) {
        const std::string h = read_n(fd, 5, 3000);
        if (h.size() == 5)
            read_n(fd, size_t(uint8_t(h[3])) << 8 | uint8_t(h[4]), 3000);
    });
    conn_guard g;
    g.c.timeout = 3000;
    vperror_t e{};
    EXPECT_EQ(net_open3(&g.c, ("zkps://127.0.0.1:" + std::to_string(peer.port())).c_str(), nullptr, &e), -1);
    EXPECT_EQ(std::string(e.msg).rfind("ssl connection failed: ", 0), 0u) << e.msg;
    EXPECT_EQ(e.code, -1);
    for (int i = 0; i < 3000 && peer.accepted() < 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(peer.accepted(), 2);
    EXPECT_EQ(g.c.handle, nullptr);
}

TEST_F(Tls, VerificationByCaFileAndPin)
{
    tls_server srv;
    ASSERT_TRUE(srv.ready());
    const certs &c = the_certs();
    struct row {
        std::string query;
        bool ok;
        const char *why;
    };
    std::string bad_pin = c.pin;
    bad_pin[0] = bad_pin[0] == 'A' ? 'B' : 'A';
    const row rows[] = {
        {"ca_file=" + c.cert, true, ""},
        {"ca_file=" + c.other_cert, false, "peer certificate not trusted"},
        {"cert_sha256=" + c.pin, true, ""},
        {"cert_sha256=" + bad_pin, false, "does not match cert_sha256"},
        {"cert_sha256=abcd", false, "not a SHA-256 fingerprint"},
        {"ca_file=/nonexistent.pem", false, "cannot be loaded"},
    };
    for (const row &r : rows) {
        zk_test::log_capture cap;
        conn_guard g;
        g.c.timeout = 5000;
        vperror_t e{};
        const int ret = net_open3(&g.c, srv.url(r.query).c_str(), nullptr, &e);
        EXPECT_EQ(ret, r.ok ? 0 : -1) << r.query << " " << e.msg;
        if (r.ok) {
            EXPECT_EQ(cap.count("not verified"), 0u);
            expect_echo(&g.c);
        } else {
            EXPECT_NE(std::string(e.msg).find(r.why), std::string::npos) << e.msg;
        }
    }
    // A CA file checks the host name too.
    conn_guard g;
    g.c.timeout = 5000;
    vperror_t e{};
    EXPECT_EQ(net_open3(&g.c, ("zkps://localhost:" + std::to_string(srv.port) + "/?ca_file=" + c.cert).c_str(),
                        nullptr, &e),
              -1);
}

// With a CA file the host is checked against the certificate: a name
// against its DNS names (or its CN when it has no subjectAltName), an
// address against its iPAddress names. Certificates made here by openssl.
TEST_F(Tls, HostCheckedAgainstSubjectAltNames)
{
    zk_test::temp_dir dir{"zk_tls_san"};
    struct cert_kind {
        const char *name, *subject, *san;
    };
    const cert_kind kinds[] = {
        {"ip", "/CN=zk-ip", "IP:127.0.0.1"},
        {"ip_other", "/CN=127.0.0.1", "IP:127.0.0.2,DNS:zk.invalid"},
        {"dns", "/CN=zk-dns", "DNS:localhost"},
        {"both", "/CN=zk-both", "DNS:localhost,IP:10.1.2.3,IP:127.0.0.1"},
        {"cn_only", "/CN=127.0.0.1", nullptr},
    };
    for (const cert_kind &k : kinds) {
        const std::string base = dir / k.name;
        std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj " + std::string(k.subject) +
                          " -keyout " + base + ".key -out " + base + ".pem";
        if (k.san)
            cmd += " -addext subjectAltName=" + std::string(k.san);
        zk_test::run(cmd + " 2>/dev/null");
        ASSERT_EQ(access((base + ".pem").c_str(), R_OK), 0) << cmd;
    }
    struct row {
        const char *cert, *host;
        const char *why; // nullptr: accepted
    } rows[] = {
        {"ip", "127.0.0.1", nullptr},
        {"ip", "localhost", "CN"},
        {"ip_other", "127.0.0.1", "no iPAddress subjectAltName names 127.0.0.1"},
        {"dns", "localhost", nullptr},
        {"dns", "127.0.0.1", "no iPAddress subjectAltName names 127.0.0.1"},
        {"both", "127.0.0.1", nullptr},
        {"both", "localhost", nullptr},
        {"cn_only", "127.0.0.1", nullptr},
    };
    for (const row &r : rows) {
        const std::string base = dir / r.cert;
        tls_server srv({}, base + ".pem", base + ".key");
        ASSERT_TRUE(srv.ready()) << srv.proc.output();
        conn_guard g;
        g.c.timeout = 5000;
        vperror_t e{};
        const std::string url =
            "zkps://" + std::string(r.host) + ":" + std::to_string(srv.port) + "/?ca_file=" + base + ".pem";
        const int ret = net_open3(&g.c, url.c_str(), nullptr, &e);
        if (!r.why) {
            EXPECT_EQ(ret, 0) << r.cert << " " << r.host << ": " << e.msg;
            if (ret == 0)
                expect_echo(&g.c);
        } else {
            EXPECT_EQ(ret, -1) << r.cert << " " << r.host;
            EXPECT_NE(std::string(e.msg).find("peer certificate not trusted"), std::string::npos) << e.msg;
            EXPECT_NE(std::string(e.msg).find(r.why), std::string::npos) << r.cert << " " << r.host << ": " << e.msg;
        }
    }
}

TEST_F(Tls, ReadTimeoutEndsTheSession)
{
    tls_server srv;
    ASSERT_TRUE(srv.ready());
    conn_guard g;
    g.c.timeout = 300;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, srv.url().c_str(), nullptr, &e), 0) << e.msg;
    char buf[16];
    const uint64_t t0 = os_clock_ms();
    EXPECT_EQ(net_read(&g.c, buf, sizeof buf), 0);
    EXPECT_LT(os_clock_ms() - t0, 20000u); // no hang
    EXPECT_TRUE(g.c.disconnected); // the session is not read again
    EXPECT_EQ(net_read(&g.c, buf, sizeof buf), -1);
}

// Closing a TLS connection whose peer stalls (stopped with its buffers
// full) waits a moment for the goodbye, not the connection's long time-out.
TEST_F(Tls, GoodbyeToAStalledPeerIsBounded)
{
    tls_server srv;
    ASSERT_TRUE(srv.ready()) << srv.proc.output();
    conn_guard g;
    g.c.timeout = 5000;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, srv.url().c_str(), nullptr, &e), 0) << e.msg;
    expect_echo(&g.c);
    ASSERT_EQ(kill(srv.proc.pid(), SIGSTOP), 0);
    // Fill every buffer on the way until a write no longer goes through.
    g.c.timeout = 300;
    std::string junk(256 * 1024, 'x');
    int i = 0;
    while (i < 4096 && net_write(&g.c, junk.data(), junk.size()) == (int)junk.size())
        i++;
    ASSERT_LT(i, 4096);
    // A record may be half sent: the session takes no other data (a write
    // never counts bytes that stayed behind).
    EXPECT_EQ(g.c.disconnected, 1);
    EXPECT_EQ(net_write(&g.c, "y", 1), -1);
    // A stalled peer not yet known to be gone gets its goodbye tried.
    g.c.disconnected = 0;
    g.c.timeout = 120000;
    const uint64_t t0 = os_clock_ms();
    net_close(&g.c);
    const uint64_t took = os_clock_ms() - t0;
    kill(srv.proc.pid(), SIGCONT);
    EXPECT_LT(took, 60000u); // without the bound: the full 120 s
    EXPECT_EQ(g.c.timeout, 120000); // the record keeps its own time-out for a reopen
    EXPECT_EQ(g.c.ssl, nullptr);
    EXPECT_EQ(g.c.disconnected, 0);
}

TEST_F(Tls, OwnServerSide)
{
    const certs &c = the_certs();
    ssl_srv_conf *sc = ssl_srv_conf_new(c.cert.c_str(), c.key.c_str());
    ASSERT_NE(sc, nullptr);
    std::atomic<bool> served{false};
    tcp_peer peer([&](int fd, int) {
        net_conn s{};
        s.type = NET_TCP_TYPE;
        s.timeout = 5000;
        s.handle = os_socket_from_fd(dup(fd));
        os_socket_ctrl(static_cast<os_socket_t>(s.handle), OS_SOCKET_CTRL_SET_BLOCK, 0);
        s.ssl = ssl_srv_new(sc, &s);
        if (s.ssl) {
            char buf[5];
            if (net_read(&s, buf, 5) == 5 && net_write(&s, buf, 5) == 5)
                served = true;
        }
        net_close(&s);
    });
    conn_guard g;
    g.c.timeout = 5000;
    vperror_t e{};
    ASSERT_EQ(net_open3(&g.c, ("tcps://127.0.0.1:" + std::to_string(peer.port())).c_str(), nullptr, &e), 0) << e.msg;
    EXPECT_EQ(net_write(&g.c, "12345", 5), 5);
    char buf[5];
    EXPECT_EQ(net_read(&g.c, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "12345");
    net_close(&g.c);
    for (int i = 0; i < 3000 && !served; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(served);
    zk_test::log_capture cap;
    EXPECT_EQ(ssl_srv_conf_new(c.cert.c_str(), "/nonexistent.pem"), nullptr);
    EXPECT_TRUE(cap.has("mbedtls_pk_parse_keyfile /nonexistent.pem failed"));
    ssl_srv_conf_free(sc);
}

TEST_F(Tls, RsaPkcs1Helpers)
{
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
#if MBEDTLS_VERSION_MAJOR >= 3
    ASSERT_EQ(mbedtls_pk_parse_keyfile(&pk, the_certs().key.c_str(), nullptr, rsa_rng_fallback, nullptr), 0);
#else
    ASSERT_EQ(mbedtls_pk_parse_keyfile(&pk, the_certs().key.c_str(), nullptr), 0);
#endif
    mbedtls_rsa_context *rsa = mbedtls_pk_rsa(pk);
    ASSERT_EQ(mbedtls_rsa_get_len(rsa), 256u);
    unsigned char in[256], out[256], back[256];
    for (int i = 0; i < 256; i++)
        in[i] = uint8_t(i * 7 + 1);
    size_t olen = sizeof out;
    EXPECT_EQ(rsa_pkcs1_public_encrypt(rsa, out, &olen, in, 246), -1);
    EXPECT_EQ(rsa_pkcs1_public_encrypt(rsa, out, &olen, in, 245), 0);
    EXPECT_EQ(olen, 256u);
    size_t blen = sizeof back;
    ASSERT_EQ(rsa_pkcs1_private_decrypt(rsa, back, &blen, out, olen), 0);
    EXPECT_EQ(blen, 245u);
    EXPECT_EQ(memcmp(back, in, 245), 0);
    // Two encryptions of the same text differ (random padding).
    unsigned char out2[256];
    size_t olen2 = sizeof out2;
    ASSERT_EQ(rsa_pkcs1_public_encrypt(rsa, out2, &olen2, in, 10), 0);
    olen = sizeof out;
    ASSERT_EQ(rsa_pkcs1_public_encrypt(rsa, out, &olen, in, 10), 0);
    EXPECT_NE(memcmp(out, out2, 256), 0);
    // Signing form: private encrypt, public decrypt.
    olen = sizeof out;
    ASSERT_EQ(rsa_pkcs1_private_encrypt(rsa, out, &olen, in, 32), 0);
    blen = sizeof back;
    ASSERT_EQ(rsa_pkcs1_public_decrypt(rsa, back, &blen, out, olen), 0);
    EXPECT_EQ(blen, 32u);
    EXPECT_EQ(memcmp(back, in, 32), 0);
    // A damaged block is refused, whichever way it is read.
    out[100] ^= 1;
    blen = sizeof back;
    EXPECT_EQ(rsa_pkcs1_public_decrypt(rsa, back, &blen, out, olen), -1);
    blen = sizeof back;
    EXPECT_EQ(rsa_pkcs1_private_decrypt(rsa, back, &blen, out, olen), -1);
    size_t small = 100;
    EXPECT_EQ(rsa_pkcs1_public_encrypt(rsa, out, &small, in, 10), -1);
    mbedtls_pk_free(&pk);
}
