// Internals shared by the shell's source files: process-wide state, the
// built-in rows and handlers, aliases, the shell environment, the views and
// call functions. Not for use outside libsh.
#pragma once
#include <string>

#include "libsh/libsh.h"
#include "liblog/log2.h"

#define LIBSH_TAG "vuri"
// Log lines name their module rather than the source file.
#define SHLOG(src, lvl, ...) log2_printf(nullptr, (lvl), LIBSH_TAG, (src), __LINE__, __func__, __VA_ARGS__)

struct libsh_state_t {
    int inited;
    char prompt[LIBSH_PROMPT_SIZE];
    dvar_mgr_t *dvars; // `set`
    rvar_mgr_t *rvars; // `show`
    fvar_mgr_t *fvars; // `call`
    const libsh_cmd_t *app_cmds;
    int app_count;
    int builtin_count;
    void (*exit_proc)(void);
};
extern libsh_state_t g_libsh;

// The sixteen built-in rows, ended by a NULL row.
extern const libsh_cmd_t g_libsh_builtin[];

// ---- built-in handlers and completers ----------------------------------------------
int libsh_cmd_show(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_set(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_call(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_pwd(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_alias(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_unalias(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_unset(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_echo(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_env(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_source(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_system2(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_system3(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_exit(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_quit(libsh_ctx_t *ctx, int argc, char **argv);
int libsh_cmd_help(libsh_ctx_t *ctx, int argc, char **argv);
void libsh_show_complete(libsh_complete_ctx_t *cc);
void libsh_set_complete(libsh_complete_ctx_t *cc);
void libsh_call_complete(libsh_complete_ctx_t *cc);

// ---- aliases (39 buckets; names compared exactly) -------------------------------------
// Builds the table with the default aliases. 0; a table that cannot be
// allocated ends the program (crit "malloc failed").
int alias_init(void);
void alias_free(void);
// The value of an alias, or NULL.
const char *alias_get(const char *name);
// Sets (or replaces) an alias. 0, or -1 when memory runs out.
int alias_set(const char *name, const char *value);
// Removes an alias: 0, or -1 when there is none.
int alias_del(const char *name);
void alias_clear(void);
// Calls fn(name, value) for every alias, bucket by bucket.
void alias_foreach(void (*fn)(void *arg, const char *name, const char *value), void *arg);

// ---- shell environment (NAME=value texts, separate from the process's) --------------
// Copies the process environment. 0.
int init_envv(void);
void free_envv(void);
// The array, NULL-terminated (NULL before init_envv).
char *const *libsh_envv(void);
// 1 when command is an assignment NAME=VALUE (stored), else 0.
int libsh_env_assign(const char *command);
// Removes NAME (the later entries move up); 0 also when it is not set.
int libsh_unsetenv(const char *name);

// ---- views and functions ------------------------------------------------------------------
// Registers info, memory, llog, dvar and kill, null, thread_except,
// stack_over, tlog. 0.
int libsh_vars_init(void);

// The text for a log line: the password of every "scheme://user:password@"
// in it becomes "***" (a typed `mount` line may carry one).
std::string libsh_hide_secrets(const char *text);

// Installs the console callbacks ("\r\n" line ends, zero byte after each
// reply) or the plain ones below.
void libsh_ctx_set_console(libsh_ctx_t *ctx);
void libsh_ctx_set_stdio(libsh_ctx_t *ctx);

// ---- output for the -e runner and the in-process pipeline ------------------------------------
// Plain text to zk_stdout (no line-end translation); flush flushes it.
int libsh_stdio_printf(net_conn *stream, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int libsh_stdio_write(net_conn *stream, const char *text, int len);
int libsh_stdio_flush(net_conn *stream);
