// libnet: connections. One record (net_conn) and one set of calls for every
// byte stream of the program: a TCP connection (optionally through an HTTP
// or SOCKS proxy, optionally wrapped in TLS), the console, the two ends of a
// name pipe, a serial port, or an in-memory loopback buffer. Reads and
// writes carry a time-out in milliseconds that bounds the whole call, an
// abort flag and an abort hook another thread can raise, and a disconnected
// flag set when the peer closes. Log tag "net".
//
// Threads: a record is used by one thread at a time. The abort flags (the
// record's and the hook's) are the only fields another thread may change,
// through net_abort_set / net_abort_hook_set; they are read between wait
// slices, so an abort takes effect within 300 ms (read), 500 ms (write) or
// 200 ms (connect). net_abort_all raises an abort of every connection at
// once, for a program that stops.
//
// Results: data calls answer a byte count; a time-out is a short count, not
// an error (the caller decides); -1 is an error with errno set (ECANCELED
// after an abort). Opening calls report through a vperror_t {status,
// message}. URLs reach log lines only through url_safe_hide_fmt; no
// password or proxy credential is ever logged.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_verr.h"
#include "libpal/network/net_conn.h"
#include "libpal/network/os_socket.h"

// ---- records ----------------------------------------------------------------------------------

// A proxy of a TCP connection. The password is clear text in memory.
enum : int32_t { NET_PROXY_NONE = 0, NET_PROXY_HTTP = 1, NET_PROXY_SOCKS4 = 2, NET_PROXY_SOCKS5 = 3 };
struct net_proxy {
    int32_t type; // NET_PROXY_*
    char proto[32];
    char host[1024];
    int32_t port;
    char user[4096];
    char pwd[4096];
};

// Connect options (argument of sock_tcp_connect; net_open3 makes its own
// from the URL when given none).
struct net_opts {
    int32_t connect_timeout; // ms
    int32_t buf_size;        // socket buffers; 0 keeps the system's sizes
    int32_t single;          // non-zero: one connect call, no waiting
    net_proxy proxy;         // type 0: direct
    net_abort_hook *hook;
};

// ---- opening and closing ------------------------------------------------------------------------

// Opens conn from url: "net://mem" gives a memory loopback; tcp, tcps, http,
// https, zkp and zkps give a TCP connection (through the proxy chosen by
// conf_proxy_get), wrapped in TLS for tcps, https and zkps. A time-out of 0
// in conn is replaced by the URL option "read_timeout" (s, default 15,
// 1..600); opts NULL takes "connect_timeout" (s, default 6, 1..600) from the
// URL and conn's abort hook; given opts without a hook get conn's. TLS
// verification: URL option "ca_file" (PEM file of trusted certificates, the
// host name is checked too) or "cert_sha256" (the peer certificate's SHA-256
// fingerprint, hex with or without ':'); without either the link is
// encrypted but unauthenticated and a warning is logged. A handshake the
// peer ends early is retried once on a new socket.
// 0, or -1 with err (required) filled; nothing stays open on failure.
int net_open3(net_conn *conn, const char *url, const net_opts *opts, vperror_t *err);
// net_open3 with the URL's "connect_timeout" set to connect_timeout_ms/1000
// and no options; the error is only logged.
int net_open2(net_conn *conn, const char *url, int connect_timeout_ms);
// 0; -1 for a serial port, which stays open. Clears the flags; sockets close
// their TLS context (its goodbye skipped on a connection already marked
// disconnected or aborted, and bounded to 1 s otherwise) and socket; the memory loopback frees its buffer;
// console and pipes are left to their owner.
int net_close(net_conn *conn);
// Clears the disconnected and abort flags (before reopening a record).
void net_reset_flags(net_conn *conn);
// Sets the abort flag of a record or a hook; any thread.
void net_abort_set(net_conn *conn, int value);
void net_abort_hook_set(net_abort_hook *hook, int value);
// The program is stopping: from grace_ms on, every wait of every connection
// of the process (reads, writes, connects, name lookups) gives up as an
// abort does, and every later one at once, for good. The grace lets a
// peer that answers finish what is under way (files written out at the
// stop). A second call keeps the first time. Async-signal-safe: for a stop
// signal's handler.
void net_abort_all(int grace_ms);
// 1 once the time set by net_abort_all has come, else 0. Any thread.
int net_abort_all_due(void);

// ---- data ----------------------------------------------------------------------------------------

// Reads up to len bytes: sockets loop until len bytes arrived, the time-out
// passed (short count), the peer closed (short count, disconnected set) or
// an error (-1; a count when some bytes came first). Other kinds answer
// what their source gives. len above INT32_MAX is refused (-1, EINVAL).
int net_read(net_conn *conn, void *buf, size_t len);
// Writes len bytes: the count written (short on time-out) or -1. 0 for len 0.
int net_write(net_conn *conn, const void *buf, size_t len);
// One byte: the byte (0-255) with *got 1; 0 with *got 0 when nothing came; -1.
int net_read_char(net_conn *conn, int *got);
// Reads a line ending in '\n' or a zero byte into buf (size bytes) and
// deletes every '\r'. Returns its length; 1 (buf "") for a line that is only
// '\n' or a zero byte; 0 when nothing came before the time-out; -1 on error
// or, with errno EMSGSIZE, when the line filled all size bytes (the rest of
// the line is read and dropped, at most 64 KiB of it). A name-pipe server waits for its client first.
int net_gets(net_conn *conn, char *buf, size_t size);
// As net_gets, but only a zero byte ends the line.
int net_gets_z(net_conn *conn, char *buf, size_t size);
// First byte with the record's time-out, the rest with timeout2_ms. The
// count; 0 when the first byte did not come; -1 on error.
int net_read2(net_conn *conn, void *buf, size_t len, int timeout2_ms);
// Formats into 8192 bytes and writes the text: net_write's result, -1 when
// the text does not fit.
int net_printf(net_conn *conn, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int net_write_nul(net_conn *conn);
// Times three calls of probe(arg) 100 ms apart (a negative result gives -1)
// and picks the transfer block: 2 MiB below a mean of 2.0 ms, 16 KiB above
// 100.0 ms, else 64 KiB. The mean goes to *out_ms when given.
int net_probe_block_size(int (*probe)(void *arg), void *arg, double *out_ms);
// The block size of a mean round trip (ms), as above.
int net_block_size_of_ms(double mean_ms);

// The kinds' own procedures (net_read and net_write dispatch to them).
int net_sock_read(net_conn *conn, void *buf, size_t len);
int net_sock_write(net_conn *conn, const void *buf, size_t len);
int net_console_read(net_conn *conn, void *buf, size_t len);
int net_console_write(net_conn *conn, const void *buf, size_t len); // len, or -1 on a short write
int npipe_read(net_conn *conn, void *buf, size_t len);
int npipe_write(net_conn *conn, const void *buf, size_t len);
// Memory loopback: a new buffer (4096 bytes reserved) or NULL. What is
// written can be read back once, in order; a write after a read first
// empties the buffer.
void *net_mem_new(void);
void net_mem_free(void *mem);
int net_mem_read(net_conn *conn, void *buf, size_t len);
int net_mem_write(net_conn *conn, const void *buf, size_t len);
// Process-wide TLS procedures for a TLS record whose own are empty.
void net_ssl_set_global_procs(net_read_fn read, net_write_fn write);

// Creates / frees the shared TLS client configuration. 0.
int libnet_init(void);
int libnet_exit(void);

// ---- sockets --------------------------------------------------------------------------------------

// A connected non-blocking TCP socket to host:port (through opts->proxy when
// its type is not 0), or NULL with err (may be NULL) filled: {-2,
// "addrinfo_addr %s failed"}, {-40, "connection timeout"}, {-14,
// "connection aborted"}, {-461, "connection refused"}, or the status of
// errno. The name lookup (see sock_resolve) and then the connect each wait
// at most opts->connect_timeout ms, the connect in 200 ms slices.
os_socket_t sock_tcp_connect(const char *host, int port, const net_opts *opts, vperror_t *err);
// sock_tcp_connect to an address already known (no lookup, no proxy).
os_socket_t sock_tcp_connect_addr(const os_ipaddr *addr, const net_opts *opts, vperror_t *err);
// Forward lookup of host (an address text needs none) for family (0 either,
// OS_IPADDR_IPV4, OS_IPADDR_IPV6) into addr (port 0). The system resolver
// runs on a helper thread, so the wait is bounded: timeout_ms, and the
// abort hook (may be NULL) asked every 100 ms. 0; -1 with err (may be NULL)
// {-2, "addrinfo_addr %s failed"}, {-40, "addrinfo_addr %s timed out"} or
// {-14, "connection aborted"}. A lookup given up ends on its own.
int sock_resolve(const char *host, os_ipaddr *addr, int family, int timeout_ms, net_abort_hook *hook, vperror_t *err);
// A UDP socket connected to host:port, or NULL with err filled.
os_socket_t sock_udp_open(const char *host, int port, vperror_t *err);
int sock_shutdown(os_socket_t sock, int how); // 0 / -1
void sock_close(os_socket_t sock);            // shut both ways and close
int sock_send(os_socket_t sock, const void *buf, size_t len);
int sock_recv(os_socket_t sock, void *buf, size_t len);
int sock_sendto(os_socket_t sock, const os_ipaddr *addr, const void *buf, size_t len);
int sock_recvfrom(os_socket_t sock, os_ipaddr *addr, void *buf, size_t len);

// ---- proxies ------------------------------------------------------------------------------------------

// Chooses the proxy of a connection, first that applies: proxy_url (a URL
// text), proxy_name (a section of the proxy file named by ZK_PROXY_FILE),
// the environment variable http_proxy. 0 with rec filled; 1 when none
// applies (rec untouched); -1 with err filled (an unknown protocol, no host,
// no port, a bad URL or proxy file entry).
int conf_proxy_get(const char *proxy_url, const char *proxy_name, net_proxy *rec, vperror_t *err);
// "http" 1, "socks4" 2, "socks5" 3 (exact case); -1 otherwise, with err
// (when given) {-2, "proxy protocol [%s] Unsupported\n"}.
int conf_proxy_2_id(const char *name, vperror_t *err);
// Reads section name of the ini file into rec (the password is stored as
// hex in "pwd"), and the proxy's URL text with its password hidden into
// url_out (8192 bytes, may be NULL). 0, or -1 with err (may be NULL) filled.
int conf_proxy_load(const char *ini, const char *name, net_proxy *rec, char *url_out, vperror_t *err);
// Writes rec as section name (file created when missing). The save's
// result, or -1 (logged).
int conf_proxy_save(const char *ini, const char *name, const net_proxy *rec);
// In the proxy file: renames section old_name (when not empty and not
// new_name) and saves rec under new_name. As conf_proxy_save.
int conf_proxy_rename_save(const char *old_name, const char *new_name, const net_proxy *rec);
// The proxy file's section names (free with str_vector_free), or NULL.
struct str_vector *conf_proxy_names(void);
// Name number n (from 1) into out (256 bytes); "" when out of range.
void conf_proxy_name_by_index(int n, char *out);
// Loads name number n into name_out (256 bytes) and rec. 0 or -1.
int conf_proxy_load_by_index(int n, char *name_out, net_proxy *rec);
// Loads name only for its hidden URL text (url_out, 8192 bytes). 0 or -1.
int conf_proxy_check(const char *name, char *url_out);

// Connects to the proxy of opts and asks it for host:port. The socket, or
// NULL with err filled (the proxy socket is closed).
os_socket_t proxy_tcp_connect(const char *host, int port, const net_opts *opts, vperror_t *err);
// One handshake each on a connection open to the proxy. 0, or -1 with err
// filled. User, password and (SOCKS5) host name of 256 bytes or more are
// refused before anything is sent.
int proxy_http_init(net_conn *conn, const char *host, int port, const net_proxy *proxy, vperror_t *err);
int proxy_sock4_init(net_conn *conn, const char *host, int port, const net_proxy *proxy, vperror_t *err);
int proxy_sock5_init(net_conn *conn, const char *host, int port, const net_proxy *proxy, vperror_t *err);
