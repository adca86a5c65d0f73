// net_conn: the connection record every byte stream of the program is read
// and written through (a socket, optionally under TLS, the console, a name
// pipe, a serial port or a memory loopback), and the procedure types stored
// in it. The calls that open, read, write and close it are the connection
// layer's (libnet/libnet.h); the record lives here, below both that layer
// and the TLS layer, which installs its record procedures in it.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int32_t {
    NET_TCP_TYPE = 0,      // socket; TLS when the record holds a TLS context
    NET_SOCK_TYPE = 1,     // handled as NET_TCP_TYPE
    NET_CONSOLE_TYPE = 2,  // standard input and output
    NET_PIPE_SRV_TYPE = 3, // os_name_pipe_srv_t
    NET_PIPE_CLI_TYPE = 4, // os_name_pipe_cli_t
    NET_SERIAL_TYPE = 5,   // serial port descriptor, stored as (void *)(intptr_t)fd
    NET_MEM_TYPE = 6,      // memory loopback
};

struct net_conn;
typedef int (*net_read_fn)(net_conn *conn, void *buf, size_t len);
typedef int (*net_write_fn)(net_conn *conn, const void *buf, size_t len);
// Asked (arg, time-out ms) while a socket read waits and (arg, connect
// time-out ms) while a connect waits; non-zero aborts.
typedef int (*net_abort_fn)(void *arg, int timeout_ms);

struct net_abort_hook {
    int32_t abort; // non-zero aborts (set with net_abort_hook_set)
    net_abort_fn func;
    void *arg;
};

// The connection record. Zero it before the first open; net_close empties it
// and the same record can be opened again.
struct net_conn {
    int32_t type;         // NET_*_TYPE
    void *handle;         // os_socket_t, pipe record, serial descriptor or memory buffer
    void *ssl;            // TLS context (libssl), or NULL
    int32_t timeout;      // ms; bounds each socket read and write, pipe and serial waits
    int32_t disconnected; // the peer closed: socket reads and writes fail until cleared
    int32_t abort;        // non-zero: socket reads and writes give up (net_abort_set)
    net_abort_hook *hook;
    net_read_fn read_proc;   // installed by the TLS connect
    net_write_fn write_proc; // installed by the TLS connect
};
