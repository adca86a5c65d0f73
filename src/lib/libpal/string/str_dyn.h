// str_dyn: a growing text buffer, and the line ring that keeps the most
// recent whole lines in a fixed buffer.
#pragma once
#include <cstdarg>
#include <cstddef>

struct str_dyn {
    char *p;    // always NUL-terminated after len bytes
    size_t len;
    size_t cap; // starts at 4096
};

str_dyn *str_dyn_new(void);
void str_dyn_free(str_dyn *d);
// Frees the holder; returns the buffer (caller frees with os_free), or NULL
// when the text is empty (the buffer is then freed too).
char *str_dyn_detach(str_dyn *d);
char *str_dyn_detach_nonull(str_dyn *d);
void str_dyn_clear(str_dyn *d);
char *str_dyn_get(str_dyn *d);
int str_dyn_append(str_dyn *d, const void *data, size_t n);
int str_dyn_add_str(str_dyn *d, const char *s);
int str_dyn_add_chr(str_dyn *d, char c);
int str_dyn_add_chr_not_exist_tail(str_dyn *d, char c);
int str_dyn_vprintf(str_dyn *d, const char *fmt, va_list va);
int str_dyn_printf(str_dyn *d, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void str_dyn_del_tail(str_dyn *d, size_t n);
int str_dyn_replace(str_dyn *d, const char *old_s, const char *new_s);

struct line_ring {
    char *buf;
    size_t size;
    size_t len;
};
void line_ring_init(line_ring *r, char *buf, size_t size);
// Appends a line (ending in '\n'), dropping the fewest oldest lines that make
// room; a line that cannot fit is not kept.
void line_ring_add(line_ring *r, const char *line);
