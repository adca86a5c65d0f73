// os_env: process-level services shared by the framework and the modules:
// tables of keys settable from key=value text, the running executable's path,
// environment shortcuts, command-line joining and command lookup, and the
// per-context working directory of the virtual file system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- key tables ------------------------------------------------------------

// Target type of a key table row: 22 = 32-bit integer; any other value means
// the target is a `char *` slot.
enum : uint32_t { OS_OPT_KV_INT = 22 };

// One row of a key table; a table ends with a row whose key is NULL.
struct os_opt_kv_t {
    const char *key; // matched without regard to case
    void *target;    // int * (type 22) or char ** (other types)
    uint32_t type;
    char *value;     // pending value from os_opt_kv_get, owned by the row
};

// Takes one "key=value" setting (key and value at most 255 characters each;
// the value ends at a further '=') and keeps it as the row's pending value.
// "list" prints the keys on stderr and ends the process with status 0.
// 0, or -1 (logged) on a syntax error or an unknown key. Main thread.
int os_opt_kv_get(os_opt_kv_t *tab, const char *text);
// Writes every pending value to its target (type 22: strict integer parse;
// others: a new os_strdup copy, the old text is not freed). 0.
int os_opt_kv_apply(os_opt_kv_t *tab);
// Writes `value` to the target of the row named `key` at once, by the same
// type rule. 0, or -1 when no row matches.
int os_opt_kv_set2(os_opt_kv_t *tab, const char *key, const char *value);
// Frees and clears every pending value. 0.
int os_opt_kv_free(os_opt_kv_t *tab);

// ---- executable ------------------------------------------------------------

// Absolute path of the running executable into buf. 0, or -1 (logged at verb;
// buf may hold a partial text). Never writes past `size` bytes.
int os_exe_get_name(char *buf, size_t size);
// Directory of the executable with its trailing '/' (/usr/bin/zkue gives
// /usr/bin/). 0 or -1.
int os_exe_get_dir(char *buf, size_t size);
// chdir to the executable's directory; the result of chdir (-1 when the
// directory cannot be found).
int os_chdir_exe_dir(void);
// Joins the arguments (each followed by a blank; a word holding a blank in
// double quotes) into buf (lenient copy of a 4096-byte line). Returns buf.
char *os_cmdline_join(int argc, char **argv, char *buf, size_t size);
// Resolves a command name to the real path of an executable: absolute names
// through realpath, others along PATH. 0, or -1 with the bare name in buf
// when nothing executable was found.
enum { OS_CMD_PATH_SIZE = 4096 };
int os_which(const char *name, char (&buf)[OS_CMD_PATH_SIZE]);
// Replaces the first word of a command line by its resolved path (quoted when
// it holds a blank, TAB or ';'); an absolute first word is kept as it is.
// 0, or -1 when the command is not found (or the line does not fit buf).
int os_cmdline_resolve(const char *cmdline, char (&buf)[OS_CMD_PATH_SIZE]);

// ---- environment -----------------------------------------------------------

const char *os_getenv(const char *name);
int os_setenv(const char *name, const char *value, int overwrite);
int os_unsetenv(const char *name);
// Value formatted into 256 bytes (strict: a value that does not fit is not
// set and -1 is returned); always overwrites. Result of setenv.
int os_setenv_fmt(const char *name, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Strict integer parse of the value; 0 when unset or not a clean number.
int os_getenv_int(const char *name);
// Size text ("2m", "512k"...) of the value cut to a signed 32-bit number;
// 0 when unset.
int32_t os_getenv_size(const char *name);

// ---- working directory of a context ----------------------------------------

// The directory `path` names relative to `cur` ("." and ".." understood,
// absolute paths taken as they are), written into buf. Returns buf.
char *os_chdir_path_resolve(const char *cur, const char *path, char *buf, size_t size);
// Moves the context's current directory `cur` (size bytes) to `path` after
// checking that the target is a directory; the process's own working
// directory is untouched. 0, or -1 (cur unchanged), also when the new
// directory does not fit cur.
int os_chdir_mt(char *cur, size_t size, const char *path);

// ---- platform-wide mutex -----------------------------------------------------

// Made by os_init, freed by os_exit; both idempotent. 0 (-1 when it cannot be made).
int os_global_mutex_init(void);
int os_global_mutex_exit(void);

// ---- thin wrappers (one system call, same arguments and result) ---------------

char *os_getcwd(char *buf, size_t size);
int os_chdir(const char *path);
int os_access(const char *path, int mode);
// fopen with close-on-exec (the mode gets 'e'); NULL with EINVAL for a mode
// longer than 14 characters.
FILE *os_fopen(const char *path, const char *mode);
// `share` is accepted for portability and ignored.
FILE *os_fsopen(const char *path, const char *mode, int share);
