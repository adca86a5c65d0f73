// os_console: coloured console output.
#pragma once
#include <cstdio>

// Colour codes: 0 plain, 2 reverse white, 3 green, 5 cyan, 7 bold yellow,
// 8 bold red, 9 reverse red, any other white.
const char *os_console_color_escape(int code);
// Code 0 writes the text as is; any other writes escape, text, "\033[0m". 0.
int os_console_color_fputs(FILE *stream, int code, const char *text);
int os_console_color_printf(FILE *stream, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
