// os_serial: plain input and output on a serial port's descriptor, the
// handle of the serial connection kind. Log tag "pal". One thread per
// descriptor at a time.
#pragma once
#include <cstddef>

// Opens the port (O_RDWR, O_NOCTTY, O_NONBLOCK; mode is the creation mode),
// clears its status flags and sets raw mode, 8 data bits, no parity, one
// stop bit at baud (38400, 19200, 9600, 4800, 2400, 1200 or 300). The
// descriptor, or -1 after logging the step that failed (the port is closed);
// an unknown speed is "BaudRate=%d invaild".
int os_serial_open(const char *path, int baud, int mode);
// Waits up to timeout_ms for input, then reads until size bytes arrived or
// the port has no more. Bytes read, 0 when nothing came in time, -1 when the
// wait fails (logged).
int os_serial_read(int fd, void *buf, size_t size, int timeout_ms);
// Writes all size bytes (a full output buffer is retried each second).
// size, or -1.
int os_serial_write(int fd, const void *buf, size_t size);
int os_serial_close(int fd); // close's result
