// libsh: the program's command shell. It reads command lines through the
// terminal line editor (libledit), splits them at ';' into commands, expands
// aliases (one level), takes NAME=value assignments into its own
// environment, looks the command word up in the application's rows and the
// sixteen built-in rows and runs the row's handler with an argument vector.
// It offers the `help` listing, the editor's completion hook, an operating-
// system pipeline (`system2`) and an in-process one (`system3`), the show
// views and call functions of the variable registries, and the -e runner.
//
// Output of a command goes through its context's callbacks. On the console
// every "\n" is written as "\r\n", trailing blanks of a text are dropped and
// each command's reply ends with one zero byte; the -e runner and the
// in-process pipeline write plain text to the stream layer's standard output
// (zk_stdout) instead.
//
// Threads: everything runs on the thread that runs the loop (the main
// thread). The process-wide state (prompt, tables, registries, aliases,
// environment) has no lock. Log tag "vuri".
#pragma once
#include <cstdint>

#include "libledit/ledit.h"
#include "libnet/libnet.h"
#include "libpal/basic/pl_getopt.h"
#include "libpal/var/pl_var.h"

enum {
    LIBSH_LINE_SIZE = 8192,   // a line read by the loop
    LIBSH_CMD_SIZE = 4096,    // a line executed, the last command, a built command line
    LIBSH_WORD_SIZE = 256,    // a command word, a completion word
    LIBSH_PROMPT_SIZE = 32,
    LIBSH_PRINTF_SIZE = 8192, // a text formatted by the printf callback
};

// Stream kinds of a loop. Only the console is ever started by this program.
enum : int32_t { LIBSH_MODE_CONSOLE = 0, LIBSH_MODE_NET = 1, LIBSH_MODE_PIPE = 3 };

typedef int (*libsh_printf_fn)(net_conn *stream, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
typedef int (*libsh_write_fn)(net_conn *stream, const char *text, int len);
typedef int (*libsh_flush_fn)(net_conn *stream);

// One loop's context; all fields zero at the start.
struct libsh_ctx_t {
    int32_t mode;                 // LIBSH_MODE_*
    int32_t exit_flag;            // set by exit and quit: the loop ends after the command
    net_conn *stream;             // what the loop reads and the callbacks write
    libsh_printf_fn printf_proc;  // formats into LIBSH_PRINTF_SIZE bytes and writes the text
    libsh_write_fn write_proc;    // writes a text (the length is not used)
    libsh_flush_fn flush_proc;    // ends a reply
    pl_getopt_t opt;              // reset before every command (handlers parse with "h")
    char last_cmd[LIBSH_CMD_SIZE]; // run again by a line of blanks
};

// Prints through a context's printf callback.
#define LIBSH_PRINTF(ctx, ...) ((ctx)->printf_proc((ctx)->stream, __VA_ARGS__))

// Completion context handed to a row's completer.
struct libsh_complete_ctx_t {
    char words[4][LIBSH_WORD_SIZE]; // the first four blank-separated words of the line
    int32_t count;                  // words found, 0..4
    uint8_t last_chr;               // the line's last character (0 for an empty line)
    ledit_completions *list;        // where candidates go
};

typedef int (*libsh_cmd_fn)(libsh_ctx_t *ctx, int argc, char **argv);
typedef void (*libsh_complete_fn)(libsh_complete_ctx_t *cc);

// A command row; a table ends with a row whose name is NULL.
struct libsh_cmd_t {
    const char *name;
    libsh_cmd_fn handler;
    libsh_complete_fn completer; // or NULL
    const char *desc;
};

struct libsh_opts_t {
    const char *prompt; // NULL gives ">"
};

// ---- life ------------------------------------------------------------------------------
// One-time start-up (later calls do nothing): prompt, environment copy,
// editor hook and prompt colour, default aliases, the three registries with
// "log.level", the views info/memory/llog/dvar and the functions
// kill/null/thread_except/stack_over/tlog. opts may be NULL. 0. A registry
// that cannot be made ends the program (crit "malloc failed").
int libsh_init(const libsh_opts_t *opts);
// Frees aliases, environment and registries. 0.
int libsh_exit(void);
// The application's rows (a static table ended by a NULL name).
void libsh_set_app_cmds(const libsh_cmd_t *rows);
// The callback of `exit` (the program's unmount and stop), or NULL.
void libsh_set_exit_proc(void (*proc)(void));
// Adds a view / call function to its registry (0 or -1, see pl_var.h).
int libsh_show_add(const rvar_t *var);
int libsh_call_add(const fvar_t *var);
// The registries (NULL before libsh_init).
rvar_mgr_t *libsh_show_mgr(void);
fvar_mgr_t *libsh_call_mgr(void);
dvar_mgr_t *libsh_set_mgr(void);

// ---- loop --------------------------------------------------------------------------------
// Runs the console loop until exit, quit, the end of console input (which
// is handled as `exit`) or a stop request (libsh_stop_request; the loop
// then ends without `exit`'s callback). 0.
int libsh_stdio_loop(void);
// Reads one line through the line editor into buf (size bytes, emptied
// first); initialises the library when needed. The line's length; 0 for an
// empty line or an aborted one (Ctrl-G); -1 at the end of input or once a
// stop was requested.
int libsh_gets(const char *prompt, char *buf, int size);
// The program stops: the shell runs nothing more (the command under way
// ends as it would, the rest of its line, of a sourced file and the loop
// do not run) and a wait for a line ends at once. 1 when the loop waits
// for a line now (it will notice), else 0. Async-signal-safe: for a stop
// signal's handler.
int libsh_stop_request(void);
// 1 once a stop was requested.
int libsh_stop_requested(void);

// ---- commands ------------------------------------------------------------------------------
// The row of a command name (exact, case-sensitive; a built-in row wins
// over an application row of the same name), or NULL.
const libsh_cmd_t *libsh_cmd_find(const char *name);
libsh_cmd_fn libsh_cmd_handler(const char *name);
// The row's description, or "get cmd help failed".
const char *libsh_cmd_desc(const char *name);
// Runs a line: ';'-separated commands ('#' pieces are comments, empty ones
// are skipped), stopping at the first negative result or a stop request; a
// line of blanks runs the last command again. The last command's result;
// -1 for unbalanced quotes ("error: unbalanced quote") or a line of
// LIBSH_CMD_SIZE bytes or more (nothing runs, the last command is forgotten).
int libsh_exec_line(libsh_ctx_t *ctx, const char *line);
// Runs one command: alias, assignment, argument vector, dispatch, flush.
// The handler's result; -12 for an unknown command.
int exec_command2(libsh_ctx_t *ctx, const char *command);
// Runs a command string as -e does: in a context that writes plain text to
// the stream layer's standard output. The result of libsh_exec_line.
int libsh_exec_string(const char *line);

// ---- pipelines --------------------------------------------------------------------------------
// '|'-separated commands through the operating system's shell; pieces whose
// first word is a command of this shell run as this program with -q -e. The
// outputs as new texts (os_free; NULL when empty). The shell's end code; -1
// for unbalanced quotes or a pipeline of LIBSH_CMD_SIZE bytes or more (with
// the reason in *err).
int libsh_system2(const char *line, char **out, char **err);
// '|'-separated commands of this shell run in this process, each one's
// output the next one's input; stops at the first non-zero result. input
// may be NULL. Returns the last result (-1 for a piece that is no command).
int libsh_system3(libsh_ctx_t *ctx, const char *line, const char *input, char **out, char **err);

// ---- completion and output ------------------------------------------------------------------------
// The line editor's completion hook: command names, then the row's completer.
void libsh_complete_hook(const char *line, ledit_completions *list);
// Offers the names that begin with prefix (without case) in colour 134; an
// empty prefix with exactly one name offers it once more without colour.
void libsh_complete_names(ledit_completions *list, const char *prefix, const strv *names);
// The console write routine: "\n" becomes "\r\n", trailing blanks, TABs, VTs
// and FFs of the text go, then net_write. Its result, -1 when memory runs out.
int libsh_write_imp(net_conn *stream, const char *text);
