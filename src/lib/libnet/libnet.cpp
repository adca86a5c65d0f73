// Connections: opening from a URL, the operation record of each kind, lines,
// the memory loopback, the console and name-pipe kinds, and the block-size
// probe.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include "libnet/sock_event.h"
#include "libnet/net_imp.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/os_name_pipe.h"
#include "libpal/network/os_serial.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libssl/libssl.h"
#include "liblog/log2.h"

#define TAG NET_TAG

namespace {

// The most bytes of an over-long line read and dropped before giving up.
constexpr size_t k_line_drop_max = 64 * 1024;

// The longest wait for the TLS goodbye of a closing connection.
constexpr int32_t k_goodbye_ms = 1000;

net_read_fn g_ssl_read;
net_write_fn g_ssl_write;

struct free_deleter {
    void operator()(void *p) const { os_free(p); }
};

// A URL option in seconds as milliseconds; def outside 1..600 (warned).
int opt_seconds_ms(const char *url, const char *key, int def)
{
    int v = url_get_query_int(url, key, def);
    if (v < 1) {
        LOG_WARN(TAG, "[%s]=%d < min=%d fix=%d", key, v, 1, def);
        v = def;
    } else if (v > 600) {
        LOG_WARN(TAG, "[%s]=%d > max=%d fix=%d", key, v, 600, def);
        v = def;
    }
    return v * 1000;
}

// What net_open3 keeps off the stack: the parsed URL, its hidden form for
// log lines, the options and the TLS settings.
struct open_work {
    url_rec u;
    char ubuf[URL_TEXT_SIZE];
    char safe[URL_TEXT_SIZE];
    char proxy_url[URL_TEXT_SIZE];
    char proxy_name[256];
    char ca_file[URL_FIELD_SIZE];
    char pin[URL_FIELD_SIZE];
    net_opts opts;
};

struct net_mem_t {
    mem_buf_t buf;
    uint64_t rpos;
    bool read_since_write;
};

// ---- connection kinds -------------------------------------------------------------------------

// The operations of one connection kind. net_read, net_write, net_close and
// the line readers reach a kind only through its record (kind_of).
struct net_kind_ops {
    net_read_fn read;   // required
    net_write_fn write; // required
    // Releases what the record holds for the kind and empties those fields:
    // 0, or -1 for a kind whose handle stays open. NULL: nothing to release.
    // net_close clears the flags after it.
    int (*close)(net_conn *conn);
    // Before a line is read: waits for a peer to read from. 1 ready; 0 or -1
    // end the line read with that result. NULL: always ready.
    int (*wait)(net_conn *conn);
};

// TLS: the connection's own procedures, else the process-wide ones.
int tls_read(net_conn *conn, void *buf, size_t len)
{
    net_read_fn fn = conn->read_proc ? conn->read_proc : g_ssl_read;
    return fn ? fn(conn, buf, len) : -1;
}

int tls_write(net_conn *conn, const void *buf, size_t len)
{
    net_write_fn fn = conn->write_proc ? conn->write_proc : g_ssl_write;
    return fn ? fn(conn, buf, len) : -1;
}

int sock_kind_close(net_conn *conn)
{
    conn->ssl = nullptr;
    sock_close(static_cast<os_socket_t>(conn->handle));
    conn->handle = nullptr;
    conn->read_proc = nullptr;
    conn->write_proc = nullptr;
    return 0;
}

int tls_close(net_conn *conn)
{
    // The TLS goodbye is a courtesy: a peer known to be gone (or an aborted
    // connection) fails it at once, as the flags are still up; a stalled one
    // gets a short wait, not the full time-out.
    const int32_t saved = conn->timeout;
    if (conn->timeout <= 0 || conn->timeout > k_goodbye_ms)
        conn->timeout = k_goodbye_ms;
    ssl_close(conn->ssl);
    conn->timeout = saved;
    return sock_kind_close(conn);
}

int pipe_srv_wait(net_conn *conn)
{
    return os_name_pipe_srv_check_connect(static_cast<os_name_pipe_srv_t *>(conn->handle));
}

int serial_read(net_conn *conn, void *buf, size_t len)
{
    return os_serial_read(int(intptr_t(conn->handle)), buf, len, conn->timeout);
}

int serial_write(net_conn *conn, const void *buf, size_t len)
{
    return os_serial_write(int(intptr_t(conn->handle)), buf, len);
}

// The serial port belongs to whoever opened it: it stays open.
int serial_close(net_conn *) { return -1; }

int mem_close(net_conn *conn)
{
    net_mem_free(conn->handle);
    conn->handle = nullptr;
    return 0;
}

constexpr net_kind_ops k_sock = {net_sock_read, net_sock_write, sock_kind_close, nullptr};
constexpr net_kind_ops k_tls = {tls_read, tls_write, tls_close, nullptr};
constexpr net_kind_ops k_console = {net_console_read, net_console_write, nullptr, nullptr};
constexpr net_kind_ops k_pipe_srv = {npipe_read, npipe_write, nullptr, pipe_srv_wait};
constexpr net_kind_ops k_pipe_cli = {npipe_read, npipe_write, nullptr, nullptr};
constexpr net_kind_ops k_serial = {serial_read, serial_write, serial_close, nullptr};
constexpr net_kind_ops k_mem = {net_mem_read, net_mem_write, mem_close, nullptr};

// By NET_*_TYPE; a socket holding a TLS context is the TLS kind.
constexpr const net_kind_ops *k_kinds[] = {
    &k_sock,     // NET_TCP_TYPE
    &k_sock,     // NET_SOCK_TYPE
    &k_console,  // NET_CONSOLE_TYPE
    &k_pipe_srv, // NET_PIPE_SRV_TYPE
    &k_pipe_cli, // NET_PIPE_CLI_TYPE
    &k_serial,   // NET_SERIAL_TYPE
    &k_mem,      // NET_MEM_TYPE
};
static_assert(std::size(k_kinds) == NET_MEM_TYPE + 1, "one record per connection type");

// The record of conn's kind, or NULL for an unknown type.
const net_kind_ops *kind_of(const net_conn *conn)
{
    if (conn->type < 0 || size_t(conn->type) >= std::size(k_kinds))
        return nullptr;
    const net_kind_ops *k = k_kinds[conn->type];
    return k == &k_sock && conn->ssl ? &k_tls : k;
}

// The bytes of one line. On a plain socket the waiting bytes are looked at
// first and taken up to the end of the line in one call (never past it, so
// what follows stays for the next reader); other kinds, and a socket with
// nothing waiting, go through net_read_char one byte at a time.
struct line_source {
    net_conn *conn;
    bool newline_ends;
    char chunk[4096];
    size_t pos = 0, len = 0;

    bool plain_socket() const
    {
        return kind_of(conn) == &k_sock && conn->handle && !net_flag_get(&conn->disconnected) &&
               !net_flag_get(&conn->abort);
    }
    int next(int *got)
    {
        if (pos == len && plain_socket()) {
            auto sock = static_cast<os_socket_t>(conn->handle);
            const ssize_t r = recv(os_socket_fd(sock), chunk, sizeof chunk, MSG_PEEK | MSG_DONTWAIT);
            if (r > 0) {
                size_t k = 0;
                while (k < size_t(r) && chunk[k] != 0 && !(newline_ends && chunk[k] == '\n'))
                    k++;
                const int n = os_socket_recv(sock, chunk, k < size_t(r) ? k + 1 : size_t(r));
                pos = 0;
                len = n > 0 ? size_t(n) : 0;
            }
        }
        if (pos < len) {
            *got = 1;
            return uint8_t(chunk[pos++]);
        }
        return net_read_char(conn, got);
    }
};

int line_read(net_conn *conn, char *buf, size_t size, bool newline_ends)
{
    PL_ASSERT_RET(TAG, conn && buf && size, -1);
    buf[0] = '\0';
    const net_kind_ops *kind = kind_of(conn);
    if (kind && kind->wait) {
        const int r = kind->wait(conn);
        if (r < 1)
            return r;
    }
    line_source src;
    src.conn = conn;
    src.newline_ends = newline_ends;
    int got = 0;
    int c = src.next(&got);
    if (c < 0)
        return -1;
    if (!got)
        return 0;
    if (c == 0 || (newline_ends && c == '\n'))
        return 1;
    size_t n = 0, dropped = 0;
    for (;;) {
        if (n < size)
            buf[n++] = char(c);
        else if (++dropped > k_line_drop_max) {
            // A line without end: given up, not read for ever.
            errno = EMSGSIZE;
            return -1;
        }
        c = src.next(&got);
        if (c < 0)
            return -1;
        if (!got || c == 0 || (newline_ends && c == '\n'))
            break;
    }
    if (n == size) {
        errno = EMSGSIZE;
        return -1;
    }
    buf[n] = '\0';
    size_t w = 0;
    for (size_t r = 0; r < n; r++)
        if (buf[r] != '\r')
            buf[w++] = buf[r];
    buf[w] = '\0';
    return int(w);
}

} // namespace

// ---- opening and closing ------------------------------------------------------------------------

int net_open3(net_conn *conn, const char *url, const net_opts *opts, vperror_t *err)
{
    PL_ASSERT_RET(TAG, conn && url && err, -1);
    std::unique_ptr<open_work, free_deleter> w(static_cast<open_work *>(os_zalloc(sizeof(open_work))));
    if (!w) {
        VPERROR_SET(err, VERR_NO_MEMORY, "memory allocation failed");
        return -1;
    }
    url_rec &u = w->u;
    url_hide_pwd_fmt(url, w->safe);
    if (url_parser(&u, w->ubuf, url) != 0) {
        LOG_ERR(TAG, "url [%s] syntax error\n", w->safe);
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "url syntax error");
        return -1;
    }
    if (strcmp(u.protocol, "net") == 0 && strcmp(u.host, "mem") == 0) {
        void *mem = net_mem_new();
        if (!mem) {
            VPERROR_SET(err, VERR_NO_MEMORY, "memory allocation failed");
            return -1;
        }
        conn->type = NET_MEM_TYPE;
        conn->handle = mem;
        conn->ssl = nullptr;
        return 0;
    }
    if (conn->timeout == 0)
        conn->timeout = opt_seconds_ms(url, "read_timeout", 15);
    if (!url_is_net_protocol(&u)) {
        LOG_ERR(TAG, "unkouwn protocol [%s]\n", u.protocol);
        VPERROR_SET(err, VERR_NOT_SUPPORTED, "unkouwn protocol");
        return -1;
    }
    net_opts &o = w->opts;
    if (opts) {
        o = *opts;
        if (!o.hook)
            o.hook = conn->hook;
    } else {
        o.connect_timeout = opt_seconds_ms(url, "connect_timeout", 6);
        o.hook = conn->hook;
    }
    url_get_query_buf(url, "proxy_url", "", w->proxy_url, sizeof w->proxy_url);
    url_get_query_buf(url, "proxy", "", w->proxy_name, sizeof w->proxy_name);
    const int pr = conf_proxy_get(w->proxy_url, w->proxy_name, &o.proxy, err);
    if (pr < 0) {
        LOG_ERR(TAG, "conf_proxy_get [%s] error: %s", w->proxy_name, vperror_str(err));
        if (err->code == 0)
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "proxy failed");
        return pr;
    }
    const int port = url_default_port(&u);
    if (port == 0) {
        LOG_ERR(TAG, "needs to specify the port");
        VPERROR_SET(err, VERR_INVALID_PARAMETER, "needs to specify the port");
        return -1;
    }
    const bool secure = url_is_secure_protocol(&u);
    if (secure) {
        url_get_query_buf(url, "ca_file", "", w->ca_file, sizeof w->ca_file);
        url_get_query_buf(url, "cert_sha256", "", w->pin, sizeof w->pin);
    }
    const ssl_verify_opts verify = {w->ca_file, w->pin, u.host};
    for (int attempt = 0;; attempt++) {
        conn->type = NET_TCP_TYPE;
        conn->ssl = nullptr;
        conn->handle = sock_tcp_connect(u.host, port, &o, err);
        if (!conn->handle) {
            LOG_DBG(TAG, "tcp_connect %s error: %s\n", w->safe, vperror_str(err));
            return -1;
        }
        if (!secure)
            return 0;
        int tls_err = 0;
        vperror_t why{};
        void *ctx = ssl_cli_connect3(nullptr, conn, "RC4-SHA", o.connect_timeout, &verify, &tls_err, &why);
        if (ctx) {
            conn->ssl = ctx;
            if (!ssl_is_verified(ctx))
                LOG_WARN(TAG, "tls peer of %s not verified: set ca_file or cert_sha256 to authenticate it\n",
                         w->safe);
            return 0;
        }
        LOG_DBG(TAG, "ssl_cli_connect failed");
        sock_close(static_cast<os_socket_t>(conn->handle));
        conn->handle = nullptr;
        if (tls_err == VERR_TRY_AGAIN && attempt == 0) {
            LOG_DBG(TAG, "ssl_cli_connect aggin ...");
            net_reset_flags(conn);
            continue;
        }
        if (why.msg[0])
            vperror_set_tail(err, __FILE__, __LINE__, __func__, VERR_GENERAL_FAILURE, why.msg, "ssl connection failed:");
        else
            VPERROR_SET(err, VERR_GENERAL_FAILURE, "ssl connection failed");
        return -1;
    }
}

int net_open2(net_conn *conn, const char *url, int connect_timeout_ms)
{
    PL_ASSERT_RET(TAG, conn && url, -1);
    struct url_copy {
        char text[URL_TEXT_SIZE];
    };
    std::unique_ptr<url_copy, free_deleter> copy(static_cast<url_copy *>(os_zalloc(sizeof(url_copy))));
    auto err = std::unique_ptr<vperror_t, free_deleter>(static_cast<vperror_t *>(os_zalloc(sizeof(vperror_t))));
    if (!copy || !err)
        return -1;
    if (str_safecopy(copy->text, sizeof(copy->text), url) != 0 ||
        url_set_query_int(copy->text, "connect_timeout", connect_timeout_ms / 1000, URL_QUERY_SET_ALWAYS) != 0)
        return -1;
    return net_open3(conn, copy->text, nullptr, err.get());
}

int net_close(net_conn *conn)
{
    PL_ASSERT_RET(TAG, conn, -1);
    const net_kind_ops *kind = kind_of(conn);
    const int r = kind && kind->close ? kind->close(conn) : 0;
    net_reset_flags(conn);
    return r;
}

void net_reset_flags(net_conn *conn)
{
    PL_ASSERT_RET_VOID(TAG, conn);
    net_flag_set(&conn->disconnected, 0);
    net_flag_set(&conn->abort, 0);
}

void net_abort_set(net_conn *conn, int value)
{
    PL_ASSERT_RET_VOID(TAG, conn);
    net_flag_set(&conn->abort, value);
}

void net_abort_hook_set(net_abort_hook *hook, int value)
{
    PL_ASSERT_RET_VOID(TAG, hook);
    net_flag_set(&hook->abort, value);
}

void net_ssl_set_global_procs(net_read_fn read, net_write_fn write)
{
    g_ssl_read = read;
    g_ssl_write = write;
}

int libnet_init(void) { return libssl_init(); }
int libnet_exit(void)
{
    sock_env_exit();
    return libssl_exit();
}

// ---- data ----------------------------------------------------------------------------------------

int net_read(net_conn *conn, void *buf, size_t len)
{
    PL_ASSERT_RET(TAG, conn && (buf || !len), -1);
    if (len > size_t(INT32_MAX)) {
        errno = EINVAL;
        return -1;
    }
    const net_kind_ops *kind = kind_of(conn);
    return kind ? kind->read(conn, buf, len) : -1;
}

int net_write(net_conn *conn, const void *buf, size_t len)
{
    PL_ASSERT_RET(TAG, conn && (buf || !len), -1);
    if (len == 0)
        return 0;
    if (len > size_t(INT32_MAX)) {
        errno = EINVAL;
        return -1;
    }
    const net_kind_ops *kind = kind_of(conn);
    return kind ? kind->write(conn, buf, len) : -1;
}

int net_read_char(net_conn *conn, int *got)
{
    unsigned char c = 0;
    const int r = net_read(conn, &c, 1);
    if (got)
        *got = r == 1;
    if (r < 0)
        return -1;
    return r == 1 ? c : 0;
}

int net_gets(net_conn *conn, char *buf, size_t size) { return line_read(conn, buf, size, true); }
int net_gets_z(net_conn *conn, char *buf, size_t size) { return line_read(conn, buf, size, false); }

int net_read2(net_conn *conn, void *buf, size_t len, int timeout2_ms)
{
    PL_ASSERT_RET(TAG, conn && buf && len, -1);
    const int first = net_read(conn, buf, 1);
    if (first <= 0 || len == 1)
        return first;
    const int32_t saved = conn->timeout;
    conn->timeout = timeout2_ms;
    const int rest = net_read(conn, static_cast<char *>(buf) + 1, len - 1);
    conn->timeout = saved;
    return rest < 0 ? -1 : 1 + rest;
}

int net_printf(net_conn *conn, const char *fmt, ...)
{
    char text[8192];
    va_list va;
    va_start(va, fmt);
    const int n = vsnprintf(text, sizeof text, fmt, va);
    va_end(va);
    if (n < 0 || size_t(n) >= sizeof text)
        return -1;
    return net_write(conn, text, size_t(n));
}

int net_write_nul(net_conn *conn) { return net_write(conn, "", 1); }

int net_block_size_of_ms(double mean_ms)
{
    if (mean_ms < 2.0)
        return 0x200000;
    if (mean_ms > 100.0)
        return 0x4000;
    return 0x10000;
}

int net_probe_block_size(int (*probe)(void *arg), void *arg, double *out_ms)
{
    PL_ASSERT_RET(TAG, probe, -1);
    double total = 0;
    for (int i = 0; i < 3; i++) {
        const uint64_t t0 = os_clock_us();
        if (probe(arg) < 0)
            return -1;
        total += double(os_clock_us() - t0) / 1000.0;
        if (i < 2)
            os_msleep(100);
    }
    const double mean = total / 3.0;
    if (out_ms)
        *out_ms = mean;
    return net_block_size_of_ms(mean);
}

// ---- console and name pipes ------------------------------------------------------------------------

int net_console_read(net_conn *, void *buf, size_t len) { return int(read(0, buf, len)); }

int net_console_write(net_conn *, const void *buf, size_t len)
{
    const size_t n = fwrite(buf, 1, len, stdout);
    const int flushed = fflush(stdout);
    return n == len && flushed == 0 ? int(len) : -1;
}

int npipe_read(net_conn *conn, void *buf, size_t len)
{
    if (conn->type == NET_PIPE_SRV_TYPE) {
        const int r = os_name_pipe_srv_read(static_cast<os_name_pipe_srv_t *>(conn->handle), buf, len);
        if (r < 0) {
            LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "os_name_pipe_srv_read error: ");
            return 0;
        }
        return r;
    }
    PL_ASSERT_RET(TAG, conn->type == NET_PIPE_CLI_TYPE, -1);
    return os_name_pipe_cli_read(static_cast<os_name_pipe_cli_t *>(conn->handle), buf, len);
}

int npipe_write(net_conn *conn, const void *buf, size_t len)
{
    if (conn->type == NET_PIPE_SRV_TYPE)
        return os_name_pipe_srv_write(static_cast<os_name_pipe_srv_t *>(conn->handle), buf, len);
    PL_ASSERT_RET(TAG, conn->type == NET_PIPE_CLI_TYPE, -1);
    return os_name_pipe_cli_write(static_cast<os_name_pipe_cli_t *>(conn->handle), buf, len);
}

// ---- memory loopback -------------------------------------------------------------------------------

void *net_mem_new(void)
{
    auto *m = static_cast<net_mem_t *>(os_zalloc(sizeof(net_mem_t)));
    if (!m)
        return nullptr;
    if (mem_buf_init(&m->buf, 4096) != 0) {
        os_free(m);
        return nullptr;
    }
    return m;
}

void net_mem_free(void *mem)
{
    auto *m = static_cast<net_mem_t *>(mem);
    if (!m)
        return;
    mem_buf_free(&m->buf);
    os_free(m);
}

int net_mem_read(net_conn *conn, void *buf, size_t len)
{
    auto *m = static_cast<net_mem_t *>(conn->handle);
    PL_ASSERT_RET(TAG, m, -1);
    const uint64_t left = m->buf.len - m->rpos;
    const size_t n = len < left ? len : size_t(left);
    if (n)
        memcpy(buf, m->buf.data + m->rpos, n);
    m->rpos += n;
    m->read_since_write = true;
    return int(n);
}

int net_mem_write(net_conn *conn, const void *buf, size_t len)
{
    auto *m = static_cast<net_mem_t *>(conn->handle);
    PL_ASSERT_RET(TAG, m, -1);
    if (m->read_since_write) {
        mem_buf_reset(&m->buf);
        m->rpos = 0;
        m->read_since_write = false;
    }
    return mem_buf_append(&m->buf, buf, len) == 0 ? int(len) : -1;
}
