// Connections through a proxy: the HTTP CONNECT, SOCKS4/4a and SOCKS5
// handshakes on a socket already open to the proxy.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "libnet/net_imp.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_glob.h"
#include "liblog/log2.h"

#define TAG NET_TAG

namespace {

// Longest user, password or SOCKS5 host name a handshake carries: the
// one-byte lengths of SOCKS5 and, for the same credentials, SOCKS4.
constexpr size_t k_field_max = 255;
// Longest HTTP reply header read from a proxy.
constexpr size_t k_http_header_max = 16384;

const char *const k_rep_text[] = {
    nullptr,
    "General SOCKS server failure!",
    "Connection not allowed by ruleset!",
    "Network unreachable!",
    "Host unreachable!",
    "Connection refused!",
    "TTL (packet time to live) expired!",
    "SOCKS Command not supported!",
    "Address type not supported!",
};

bool send_all(net_conn *conn, const void *data, size_t len)
{
    return net_write(conn, data, len) == int(len);
}

// Reads exactly len bytes; the count read.
int recv_n(net_conn *conn, void *buf, size_t len) { return net_read(conn, buf, len); }

void put_port(std::vector<uint8_t> &v, int port)
{
    v.push_back(uint8_t(port >> 8));
    v.push_back(uint8_t(port));
}

// The 12 bytes of a reply's start as printable text for a log line.
std::string printable(const char *p, size_t n)
{
    std::string s(p, n);
    for (char &c : s)
        if (c < 0x20 || c > 0x7e)
            c = '.';
    return s;
}

// Status of an HTTP reply's first 12 bytes: "HTTP/x.y NNN"; -1 when they
// are not of that form.
int http_status(const char *b)
{
    if (memcmp(b, "HTTP/", 5) != 0 || b[8] != ' ')
        return -1;
    int code = 0;
    for (int i = 9; i < 12; i++) {
        if (b[i] < '0' || b[i] > '9')
            return -1;
        code = code * 10 + (b[i] - '0');
    }
    return code;
}

// Bytes of a SOCKS5 reply that follow its first four (version, reply,
// reserved, address type), or -1 for an address type it cannot carry.
int sock5_rest_len(uint8_t atyp)
{
    switch (atyp) {
    case 0x01: return 4 + 2;
    case 0x04: return 16 + 2;
    case 0x03: return 0; // a length byte first
    default: return -1;
    }
}

} // namespace

os_socket_t proxy_tcp_connect(const char *host, int port, const net_opts *opts, vperror_t *err)
{
    PL_ASSERT_RET(TAG, host && opts, nullptr);
    LOG_VERB(TAG, "==>\n");
    const net_proxy &px = opts->proxy;
    // A direct connect to the proxy with the same time-out, buffers and hook.
    net_opts direct = *opts;
    direct.proxy.type = NET_PROXY_NONE;
    os_socket_t sock = sock_tcp_connect(px.host, px.port, &direct, err);
    if (!sock) {
        LOG_DBG(TAG, "connect proxy server %s:%d failed\n", px.host, px.port);
        return nullptr;
    }
    LOG_DBG(TAG, "connect proxy ip=%s port=%d ok!\n", px.host, px.port);
    net_conn tmp{};
    tmp.type = NET_TCP_TYPE;
    tmp.handle = sock;
    tmp.timeout = opts->connect_timeout;
    tmp.hook = opts->hook;
    int r;
    switch (px.type) {
    case NET_PROXY_HTTP: r = proxy_http_init(&tmp, host, port, &px, err); break;
    case NET_PROXY_SOCKS4: r = proxy_sock4_init(&tmp, host, port, &px, err); break;
    case NET_PROXY_SOCKS5: r = proxy_sock5_init(&tmp, host, port, &px, err); break;
    default:
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "Unsupported proxy type=%d", px.type);
        r = -1;
        break;
    }
    if (r != 0) {
        sock_close(sock);
        return nullptr;
    }
    return sock;
}

int proxy_http_init(net_conn *conn, const char *host, int port, const net_proxy *proxy, vperror_t *err)
{
    PL_ASSERT_RET(TAG, conn && host && proxy, -1);
    const bool v6 = str_is_ipv6_like(host);
    char line[96];
    std::string req;
    const auto add_host_line = [&](const char *fmt) {
        req.append(fmt);
        req.append(v6 ? "[" : "").append(host).append(v6 ? "]" : "");
        snprintf(line, sizeof line, ":%d", port);
        req.append(line);
    };
    add_host_line("CONNECT ");
    req.append(" HTTP/1.1\r\n");
    add_host_line("Host: ");
    req.append("\r\n");
    const size_t auth_at = req.size();
    if (proxy->user[0]) {
        const std::string cred = std::string(proxy->user) + ":" + proxy->pwd;
        std::vector<char> b64(PL_BASE64_ENCODE_LEN(cred.size()));
        if (str_base64_encode_str(cred.c_str(), b64.data(), b64.size()) != 0) {
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy send error");
            return -1;
        }
        req.append("Proxy-Authorization: Basic ").append(b64.data()).append("\r\n");
    }
    req.append("\r\n");
    // The credential stays out of the log.
    LOG_VERB(TAG, "[%s%s]", req.substr(0, auth_at).c_str(),
             proxy->user[0] ? "Proxy-Authorization: Basic ***\r\n\r\n" : "\r\n");
    if (!send_all(conn, req.data(), req.size())) {
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    char head[12];
    const int n = recv_n(conn, head, sizeof head);
    LOG_VERB(TAG, "ret=%d\n", n);
    if (n != int(sizeof head)) {
        LOG_DBG(TAG, "net_read ret=%d !=12 error\n", n);
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy recv len error");
        return -1;
    }
    const int status = http_status(head);
    if (status < 200 || status > 299) {
        LOG_DBG(TAG, "net_read [%s] buf[9]=%c !=2 error\n", printable(head, sizeof head).c_str(),
                status < 0 ? '?' : head[9]);
        if (status == 401 || status == 407)
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy user or pwd error");
        else
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy read return error");
        return -1;
    }
    LOG_VERB(TAG, "read last...\n");
    // The rest of the header, one byte at a time so that nothing of the
    // tunnel behind it is taken, up to the empty line.
    uint32_t tail = 0;
    size_t total = sizeof head;
    for (;;) {
        char c;
        if (total >= k_http_header_max || recv_n(conn, &c, 1) != 1) {
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy read return error");
            return -1;
        }
        total++;
        tail = tail << 8 | uint8_t(c);
        if (tail == 0x0d0a0d0a)
            break;
    }
    LOG_DBG(TAG, "proxy init ok!!\n");
    return 0;
}

int proxy_sock4_init(net_conn *conn, const char *host, int port, const net_proxy *proxy, vperror_t *err)
{
    PL_ASSERT_RET(TAG, conn && host && proxy, -1);
    LOG_VERB(TAG, "==>\n");
    if (strlen(proxy->user) > k_field_max) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy user name too long");
        return -1;
    }
    if (str_is_ipv6_like(host)) {
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "SOCK4 does not support IPv6");
        return -1;
    }
    // SOCKS4 carries IPv4 only: ask the resolver for that. A name that does
    // not resolve here goes to the proxy to resolve (SOCKS4a), as does the
    // address 255.255.255.255.
    os_ipaddr addr{};
    uint32_t ip = 0;
    bool socks4a = true;
    if (sock_resolve(host, &addr, OS_IPADDR_IPV4, conn->timeout > 0 ? conn->timeout : 6000, conn->hook, nullptr) == 0) {
        if (os_ipaddr_family(&addr) != OS_IPADDR_IPV4) {
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "SOCK4 does not support IPv6");
            return -1;
        }
        memcpy(&ip, &addr.ipv4.addr, 4);
        socks4a = ip == 0xffffffffu;
    } else {
        LOG_VERB(TAG, "addrinfo_addr %s failed\n", host);
    }
    std::vector<uint8_t> req = {4, 1};
    put_port(req, port);
    if (socks4a) {
        LOG_VERB(TAG, "use socks4a\n");
        const uint8_t one[4] = {0, 0, 0, 1};
        req.insert(req.end(), one, one + 4);
    } else {
        LOG_VERB(TAG, "hostaddr=%x\n", ntohl(ip));
        const auto *b = reinterpret_cast<const uint8_t *>(&ip);
        req.insert(req.end(), b, b + 4);
    }
    req.insert(req.end(), proxy->user, proxy->user + strlen(proxy->user) + 1);
    if (socks4a)
        req.insert(req.end(), host, host + strlen(host) + 1);
    if (!send_all(conn, req.data(), req.size())) {
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    uint8_t rep[8] = {};
    const int n = recv_n(conn, rep, sizeof rep);
    if (n != 8 || rep[0] != 0 || rep[1] != 0x5a) {
        LOG_DBG(TAG, "ret=%d error\n", n);
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy read return error");
        return -1;
    }
    return 0;
}

int proxy_sock5_init(net_conn *conn, const char *host, int port, const net_proxy *proxy, vperror_t *err)
{
    PL_ASSERT_RET(TAG, conn && host && proxy, -1);
    const bool with_user = proxy->user[0] != '\0';
    const size_t ulen = strlen(proxy->user), plen = strlen(proxy->pwd);
    if (with_user && (ulen > k_field_max || plen > k_field_max)) {
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy user or pwd too long");
        return -1;
    }
    // The target's address form, settled before anything is sent.
    std::vector<uint8_t> req = {5, 1, 0};
    in_addr v4;
    os_ipv6 v6;
    if (inet_pton(AF_INET, host, &v4) == 1) {
        req.push_back(0x01);
        const auto *b = reinterpret_cast<const uint8_t *>(&v4);
        req.insert(req.end(), b, b + 4);
    } else if (str_is_ipv6_like(host) && os_ipv6_cstr_set(&v6, host)) {
        req.push_back(0x04);
        req.insert(req.end(), v6.addr, v6.addr + 16);
    } else {
        const size_t hlen = strlen(host);
        if (hlen > k_field_max) {
            VPERROR_SET(err, VERR_INVALID_PARAMETER, "proxy host name too long");
            return -1;
        }
        req.push_back(0x03);
        req.push_back(uint8_t(hlen));
        req.insert(req.end(), host, host + hlen);
    }
    put_port(req, port);

    static const uint8_t greet_none[] = {5, 1, 0};
    static const uint8_t greet_user[] = {5, 2, 0, 2};
    if (!(with_user ? send_all(conn, greet_user, sizeof greet_user) : send_all(conn, greet_none, sizeof greet_none))) {
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    uint8_t b[4] = {};
    int n = recv_n(conn, b, 2);
    // Only a method that was offered is acceptable.
    const bool method_ok = b[1] == 0x00 || (with_user && b[1] == 0x02);
    if (n != 2 || b[0] != 5 || !method_ok) {
        LOG_DBG(TAG, "nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", n, b[0], b[1]);
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "Proxy read return error");
        return -1;
    }
    if (b[1] == 0x02) {
        std::vector<uint8_t> auth = {1, uint8_t(ulen)};
        auth.insert(auth.end(), proxy->user, proxy->user + ulen);
        auth.push_back(uint8_t(plen));
        auth.insert(auth.end(), proxy->pwd, proxy->pwd + plen);
        const bool sent = send_all(conn, auth.data(), auth.size());
        explicit_bzero(auth.data(), auth.size());
        n = sent ? recv_n(conn, b, 2) : -1;
        if (n != 2 || b[1] != 0) {
            VPERROR_SET(err, VERR_INVALID_PARAMETER, "Proxy password or user name error");
            return -1;
        }
    }
    if (!send_all(conn, req.data(), req.size())) {
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    memset(b, 0, sizeof b);
    n = recv_n(conn, b, 4);
    if (n == 4 && b[0] == 5 && b[1] == 0) {
        int rest = sock5_rest_len(b[3]);
        if (rest < 0) {
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy reply address type %d unsupported", b[3]);
            return -1;
        }
        uint8_t tailbuf[256 + 2];
        if (b[3] == 0x03) {
            uint8_t len = 0;
            if (recv_n(conn, &len, 1) != 1) {
                VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy read return error");
                return -1;
            }
            rest = len + 2;
        }
        if (recv_n(conn, tailbuf, size_t(rest)) != rest) {
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy read return error");
            return -1;
        }
        return 0;
    }
    const int rep = n >= 2 ? b[1] : n;
    if (n >= 2 && rep >= 1 && rep <= 8)
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "%s", k_rep_text[rep]);
    else
        VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy unkown error: %d", rep);
    return -1;
}
