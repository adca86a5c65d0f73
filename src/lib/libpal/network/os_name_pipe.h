// os_name_pipe: a two-way byte channel between two local processes that
// agree on a name, made of two FIFOs in "/tmp": "<name>_0" carries bytes
// from the client to the server, "<name>_1" from the server to the client.
// The server creates the FIFOs and waits for a client; the client opens
// them by name. Log tag "pal".
//
// A record is used by one thread at a time. Waiting for the peer
// (os_name_pipe_srv_wait_connect, os_name_pipe_cli_open) blocks the calling
// thread until the peer opens its end. Reads and writes are the plain
// system calls on blocking descriptors; nothing is logged for them.
#pragma once
#include <cstddef>
#include <cstdint>

struct os_name_pipe_srv_t {
    char *path0;     // "_0" FIFO, read by the server (owned)
    char *path1;     // "_1" FIFO, written by the server (owned)
    int32_t read_fd; // -1 while no client is connected
    int32_t write_fd;
};

struct os_name_pipe_cli_t {
    int32_t write_fd; // "_0"
    int32_t read_fd;  // "_1"
};

// Directory of the FIFOs.
const char *os_name_pipe_dir(void);

// Creates both FIFOs (mode 0600; existing ones are reused) and remembers
// their names; opens nothing yet. NULL when out of memory or when a FIFO
// can't be made (logged).
//
// Every open refuses a symbolic link (O_NOFOLLOW) and an object that is not
// a FIFO, and the server also a FIFO of another user: such an open fails
// with its reason logged, and nothing is read or written.
os_name_pipe_srv_t *os_name_pipe_srv_open(const char *name);
// Opens "_0" for reading, then "_1" for writing; each blocks until the
// client opens the same FIFO. 0, or -1 (logged).
int os_name_pipe_srv_wait_connect(os_name_pipe_srv_t *srv);
// 1 when connected (waiting for a client first when none is).
int os_name_pipe_srv_check_connect(os_name_pipe_srv_t *srv);
int os_name_pipe_srv_read(os_name_pipe_srv_t *srv, void *buf, size_t size);
int os_name_pipe_srv_write(os_name_pipe_srv_t *srv, const void *buf, size_t size);
int os_name_pipe_srv_check(os_name_pipe_srv_t *srv);      // 0: reading may go on
int os_name_pipe_srv_disconnect(os_name_pipe_srv_t *srv); // -1: a server cannot wait again
// Closes the descriptors and frees the record; the FIFOs stay. 0.
int os_name_pipe_srv_close(os_name_pipe_srv_t *srv);

// Opens "_0" for writing (blocks until the server reads it), then "_1" for
// reading. NULL (logged at dbg) on failure.
os_name_pipe_cli_t *os_name_pipe_cli_open(const char *name);
int os_name_pipe_cli_read(os_name_pipe_cli_t *cli, void *buf, size_t size);
int os_name_pipe_cli_write(os_name_pipe_cli_t *cli, const void *buf, size_t size);
int os_name_pipe_cli_close(os_name_pipe_cli_t *cli); // 0
