// ledit: the console's terminal line editor.
//
// On a capable terminal a line is edited one key at a time (the terminal is
// raw only while one byte is read): cursor movement over lines that wrap
// across screen rows, word operations, a cut buffer, a history ring of 256
// lines with pattern search, completion through a hook, coloured prompt,
// hint and completion lists, help screens, paging of long listings and a
// keyboard debugging mode. Without a terminal on standard input, or with
// TERM (compared without case) "dumb", "cons25" or "emacs", a plain line is
// read instead, without the prompt.
//
// All output goes to stdout, flushed after every key. One thread edits at a
// time: the process-wide state below (hook, prompt colour, paging counter,
// history, cut buffer, delimiters) has no lock.
#pragma once
#include <cstdint>

// ---- completion list ----------------------------------------------------------
constexpr int LEDIT_MAX_COMPLETIONS = 1024;
constexpr int LEDIT_WORD_SIZE = 64;  // words cut at 63 characters
constexpr int LEDIT_HELP_SIZE = 256; // help texts cut at 255
constexpr int LEDIT_HINT_SIZE = 128; // the hint cut at 127

// The list a completion hook fills; one instance per edit call (large:
// about 330 KiB, so it is never put on a stack).
struct ledit_completions {
    int32_t count;                                          // words held
    char words[LEDIT_MAX_COMPLETIONS][LEDIT_WORD_SIZE];     // candidates
    char helps[LEDIT_MAX_COMPLETIONS][LEDIT_HELP_SIZE];     // "" = no help
    char hint[LEDIT_HINT_SIZE];                             // "" = no hint
    uint32_t word_colors[LEDIT_MAX_COMPLETIONS];
    uint32_t help_colors[LEDIT_MAX_COMPLETIONS];
    uint32_t hint_color;
};

// Called as hook(line, list): `line` is the edited text ended at the cursor,
// `list` an emptied list to fill with ledit_completion_add*/ledit_hint_set*.
typedef void (*ledit_complete_hook_t)(const char *line, ledit_completions *list);

// Colour words: bits 0-6 foreground index 1..8 (sent as 29 + index), bit 7
// bright foreground (+60), bits 8-14 background index (sent as 39 + index),
// bit 15 bright background (+60), bit 16 underline. 0 = the terminal's own.
constexpr uint32_t LEDIT_COLOR_BRIGHT = 0x80;
constexpr uint32_t LEDIT_COLOR_BG_BRIGHT = 0x8000;
constexpr uint32_t LEDIT_COLOR_UNDERLINE = 0x10000;

// ---- reading a line -------------------------------------------------------------
// Reads one line into buf (at most size - 1 bytes, NUL-ended), buf
// starting empty. UTF-8 input is taken whole: a character is inserted,
// deleted and moved over as one. Returns buf, or NULL:
//  - errno 0: end of input (end of file, or Ctrl-D on an empty line); the
//    caller ends its loop as "exit" would.
//  - errno EAGAIN: the line was aborted with Ctrl-G; the caller goes on.
//  - errno EINTR: ledit_interrupt was called; every later call answers the
//    same at once.
//  - errno EINVAL: buf is NULL or size below 2.
// An accepted empty line returns buf holding "". A plain line longer than
// size - 1 bytes is cut there and the rest of it, up to its newline,
// dropped. Ctrl-C ends the process with status 1; Ctrl-Z stops it
// (SIGSTOP) and editing resumes after.
// A NULL prompt counts as empty. Not thread-safe (see above).
char *ledit_readline(const char *prompt, char *buf, int size);
// As ledit_readline, but editing starts from the text already in buf
// (cursor at its end).
char *ledit_readline_edit(const char *prompt, char *buf, int size);
// The common body: has_input != 0 keeps buf's text as the starting line.
char *ledit_readline_imp(const char *prompt, char *buf, int size, int has_input);

// ---- stopping ---------------------------------------------------------------------
// Ends every read of the editor, now and from then on: a read in progress
// (a key, a plain line, the pager's question) gives up, its thread puts the
// terminal's settings back and ledit_readline answers NULL with errno
// EINTR. 1 when a read was in progress (its thread will notice), else 0.
// Async-signal-safe: for a stop signal's handler, on any thread.
int ledit_interrupt(void);
// 1 once ledit_interrupt was called.
int ledit_interrupted(void);
// Puts back the terminal settings a key read has changed, when a read is
// in progress; nothing otherwise. For the ways the process ends without
// that read returning (a crash, _exit); exit() runs it by itself.
// Async-signal-safe.
void ledit_term_restore(void);

// ---- completion -------------------------------------------------------------------
// The hook called on Tab and Alt-=/Alt-? (NULL: no completion).
void ledit_set_complete_hook(ledit_complete_hook_t hook);
// Adds a word (cut at 63) with its help text (cut at 255; NULL = none) and
// no colour. 0, or -1 when the list already holds 1024 words or list/word
// is NULL.
int ledit_completion_add(ledit_completions *list, const char *word, const char *help);
// The same with a colour word for the word and one for its help text.
int ledit_completion_add_color(ledit_completions *list, const char *word, uint32_t word_color,
                               const char *help, uint32_t help_color);
// Sets the hint shown as "Please input: <hint>" (cut at 127; NULL = none).
void ledit_hint_set(ledit_completions *list, const char *hint);
void ledit_hint_set_color(ledit_completions *list, const char *hint, uint32_t color);

// ---- settings -------------------------------------------------------------------------
// Colour word of the prompt (the shell uses 131, bright yellow-green 92).
void ledit_prompt_color_set(uint32_t color);
// Paging of long listings on (non-zero) or off. Returns 1 when it was on.
int ledit_paging_set(int on);
// Replaces the word delimiters (up to 63 characters; NULL is ignored).
void ledit_delimiter_set(const char *text);

// ---- paged listings ---------------------------------------------------------------------
// Counts one listing line of `len` characters towards the page; when the
// page is full (and stdin and stdout are terminals) asks
// "*** Press <Space> or <Enter> to continue . . ." and reads a key.
// Returns 1 to go on, 0 when the user stopped the listing. Paging off: 1.
int ledit_paging_check(int len);
// Starts a new page (the next listing line is its first).
void ledit_paging_reset(void);

// ---- history ------------------------------------------------------------------------------
// Writes the kept lines numbered ("%4d  %s\n", oldest first) to stdout.
void ledit_history_show(void);
// Writes every kept line, oldest first, one per line. 0, or -1 (errno) when
// the file cannot be opened.
int ledit_history_save(const char *path);
// Appends each non-empty line of the file (trailing '\r'/'\n' removed). 0,
// or -1 (errno) when the file cannot be opened.
int ledit_history_load(const char *path);
// Forgets every history line.
void ledit_history_clear(void);

// ---- screen ---------------------------------------------------------------------------------
// The SIGWINCH handler installed while editing: only sets a flag.
void ledit_sigwinch_handler(int sig);
// Clears the screen by running the command "clear".
void ledit_screen_clear(void);
