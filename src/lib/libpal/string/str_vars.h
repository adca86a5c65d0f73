// str_vars: replaces variable references in a text through a lookup
// function: "${name}" and "$name" (a bare name runs to one of \ - / : = $),
// or "%name%". Used for environment variables in log file names and
// configuration values, and to turn a file-name template into a glob pattern.
//
// Stateless; safe from any thread as long as the lookup is.
#pragma once
#include <cstddef>

struct str_dyn;

// Returns a new value (os_malloc'd, freed by the caller of the lookup) or
// NULL when the variable has no value.
typedef char *(*str_var_lookup_fn)(const char *name, void *ctx);

// Expands dollar references. A reference whose lookup fails stays as
// "${name}" (logged); "${name" without '}' is kept as it is (logged); a name
// longer than 4095 characters is not a reference and stays literal text.
// Returns a new text (caller frees with os_free), "" rather than NULL; NULL
// only when memory runs out.
char *str_expand_vars_imp(const char *text, str_var_lookup_fn lookup, void *ctx);
// Looks name up and appends its value to d (the value is freed); on a
// failed lookup logs "[text] var=[name] get_failed" and appends "${name}".
void str_var_get(const char *text, str_dyn *d, str_var_lookup_fn lookup, const char *name, void *ctx);
// Lookups: a copy of the environment variable (or NULL); always "?*".
char *str_var_get_env(const char *name, void *ctx);
char *str_var_get_wild(const char *name, void *ctx);

// Expansion from the environment: a new text, or strictly copied into out
// (the new text freed; out empty when it does not fit). Return out.
char *str_expand_env(const char *text);
char *str_expand_env_buf(const char *text, char *out, size_t size);
// Every reference becomes "?*": "/var/log/app_${DATE}.log" -> "/var/log/app_?*.log".
char *str_expand_vars_wild(const char *text);
char *str_expand_vars_wild_buf(const char *text, char *out, size_t size);

// "%name%" references: the value, or "%name%" again when the lookup gives
// NULL; "%%" yields nothing; a text ending inside a name keeps "%name".
char *str_expand_pct_vars_imp(const char *text, str_var_lookup_fn lookup, void *ctx);
char *str_expand_env_pct(const char *text);
char *str_expand_env_pct_buf(const char *text, char *out, size_t size);
