// os_console: coloured console output and small console input helpers.
#pragma once
#include <cstddef>
#include <cstdio>

// Colour codes: 0 plain, 2 reverse white, 3 green, 5 cyan, 7 bold yellow,
// 8 bold red, 9 reverse red, any other white.
const char *os_console_color_escape(int code);
// Code 0 writes the text as is; any other writes escape, text, "\033[0m". 0.
// Uses only the stream's own locking; any thread.
int os_console_color_fputs(FILE *stream, int code, const char *text);
// Formats into 8192 bytes (longer texts are cut), then as os_console_color_fputs. 0.
int os_console_color_printf(FILE *stream, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// fgets from the standard input: buf, or NULL at the end of input or on error.
char *os_console_gets(char *buf, int size);
// Waits until a byte is ready on descriptor 0 (the byte is left unread). A
// terminal is switched to non-canonical mode without echo meanwhile and
// restored afterwards; this affects the whole process while it waits.
// Returns 0, or -1 when descriptor 0 reaches its end or fails.
int os_console_wait_key(void);
