// ledit_imp: state and helpers shared by the editor's source files.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "libledit/ledit.h"

constexpr int LEDIT_HIST_LINES = 256;
constexpr int LEDIT_LINE_SIZE = 4096; // history lines and the cut buffer
constexpr int LEDIT_MAX_PATTERNS = 16;
constexpr int LEDIT_DELIM_SIZE = 64;
constexpr int LEDIT_DEFAULT_COLS = 160;
constexpr int LEDIT_DEFAULT_ROWS = 24;

// Process-wide editor state (one editing thread at a time).
struct ledit_state_t {
    ledit_complete_hook_t hook;
    uint32_t prompt_color;
    int paging_lines;                  // lines on the current page; < 0 = paging off
    volatile sig_atomic_t resized;     // set by the SIGWINCH handler
    int cols, rows;                    // cached window size; 0 = not yet known
    char delims[LEDIT_DELIM_SIZE];
    char cut[LEDIT_LINE_SIZE];         // cut buffer, also the last search patterns
    char hist[LEDIT_HIST_LINES][LEDIT_LINE_SIZE];
    uint32_t hist_count;               // lines ever added; line n in slot n % 256
};
extern ledit_state_t g_ledit;

// ---- history (ledit.cpp) ----
// Appends a line (cut to 4095 characters) without any check.
void ledit_history_append(const char *line);
// Adds an accepted line unless it is empty, "history" or equal to the newest.
void ledit_history_add(const char *line);
// The kept line with absolute number n (0-based), or NULL when not kept.
const char *ledit_history_get(uint32_t n);
// Absolute number of the oldest line that can still be reached.
uint32_t ledit_history_first(void);

// ---- terminal output (ledit_term.cpp) ----
bool ledit_stdout_tty(void);
// Writes the colour escape of a colour word (nothing when stdout is no
// terminal); ledit_color_reset writes "\e[m" under the same rule.
void ledit_color_set(uint32_t color);
void ledit_color_reset(void);
// Formats the colour escape into out (at least 48 bytes): "" for no terminal.
void ledit_color_text(uint32_t color, char *out, size_t size);
void ledit_puts(const char *text);
void ledit_putn(const char *text, size_t n);
void ledit_putc(char c);
void ledit_newline(void); // " \b\n"
void ledit_cursor_move(int rows, int cols); // relative: + down/right
void ledit_cursor_set(int row, int col);    // zero-based
// Asks the terminal where the cursor is ("\e[6n", answer "\e[row;colR" of
// at most 31 bytes). 0 with zero-based row and col, or -1.
int ledit_cursor_get(int *row, int *col);
void ledit_cursor_show(bool show);
// Refreshes the cached window size from stdout (defaults for tiny values).
void ledit_window_size(void);

// ---- keys (ledit_key.cpp) ----
// Key codes of the decoder (values follow the byte sequences).
enum : uint32_t {
    LK_BACKSPACE = 8,
    LK_UP = 0x1B41, LK_DOWN = 0x1B42, LK_RIGHT = 0x1B43, LK_LEFT = 0x1B44,
    LK_HOME = 0x311B7E, LK_INSERT = 0x321B7E, LK_DELETE = 0x331B7E, LK_END = 0x341B7E,
    LK_PGUP = 0x351B7E, LK_PGDN = 0x361B7E,
    LK_F1 = 0x4F1B50, LK_F2 = 0x4F1B51, LK_F3 = 0x4F1B52, LK_F4 = 0x4F1B53,
    LK_CTRL_UP = 0x35311B41, LK_CTRL_DOWN = 0x35311B42,
    LK_CTRL_RIGHT = 0x35311B43, LK_CTRL_LEFT = 0x35311B44,
    LK_CTRL_HOME = 0x35311B48, LK_CTRL_END = 0x35311B46, LK_CTRL_DELETE = 0x35331B7E,
    LK_ALT_UP = 0x33311B41, LK_ALT_DOWN = 0x33311B42,
    LK_ALT_RIGHT = 0x33311B43, LK_ALT_LEFT = 0x33311B44,
    LK_ALT_HOME = 0x33311B48, LK_ALT_END = 0x33311B46, LK_ALT_DELETE = 0x33331B7E,
    LK_ALT = 0x1C00, LK_ALT_BACKSPACE = 0x1C7F,
};
// Key result: the code, whether it came out of an escape sequence, and the
// end of input (the terminal hung up or failed).
struct ledit_key_t {
    uint32_t code;
    bool escaped;
    bool eof;
};
// What a read answers once ledit_interrupt was called (for good).
constexpr int LEDIT_READ_STOP = -3;
// Reads one raw byte (terminal raw only meanwhile): 0..255, or -1 at end
// of input or on a read failure other than an interruption, -2 when a
// signal interrupted the read, LEDIT_READ_STOP after ledit_interrupt.
int ledit_read_byte(void);
// Waits until standard input can be read: 0; -2 when a signal interrupted
// the wait; -1 when it failed; LEDIT_READ_STOP after ledit_interrupt. The
// caller marks the wait with ledit_reading around it.
int ledit_wait_input(void);
// Marks a read of standard input in progress (what ledit_interrupt answers).
void ledit_reading(bool on);
// Decodes one key from a byte source (the terminal in production, a table
// in tests): next() returns a byte, -1 at end, -2 interrupted.
ledit_key_t ledit_key_decode(int (*next)(void *ctx), void *ctx);
ledit_key_t ledit_read_key(void);

// ---- paging and listings (ledit_term.cpp) ----
// Writes a listing line (a '\n' added) and pages. Returns 1 to go on, 0 stop.
int ledit_list_line(const char *text, int counted_len);

// ---- editing (ledit_edit.cpp) ----
char *ledit_edit(char *buf, int size, const char *prompt, int has_input, int search_mode);

// ---- help (ledit_help.cpp) ----
// Writes the key help (search == 0) or the search help, paged. 0 when the
// reader stopped the listing, else 1.
int ledit_help_show(int search);
