// conf: the format-neutral configuration API. A loaded configuration pairs
// the format's own document with its format handler; the only format is ini.
// Sections and keys are case-sensitive. A "path" names a section and a key in
// one text, joined by a TAB or (without a TAB) by the first ':'.
//
// A conf_t has no lock: one thread at a time. Texts returned by the getters
// point into the document and stay valid until that entry changes or the
// conf_t is freed; the caller never frees them. Vectors and maps returned by
// the listing operations are the caller's to free.
#pragma once
#include <cstddef>
#include <cstdint>

struct str_vector;
struct str_map;

// Text the typed getters ask with, to tell a missing key from any value.
#define CONF_NOT_EXIST_VAL "NOT_EXIST_VAL_!!!"

struct conf_handler_t {
    int32_t type;                                     // format number (ini: 0)
    int (*match)(const char *name);                   // 0 when the file name is of this format
    void *(*load)(const char *name, int create);
    void *(*load_str)(const char *text, int type);
    void (*free)(void *data);
    const char *(*get)(void *data, const char *sec, const char *key, const char *def);
    int (*set)(void *data, const char *sec, const char *key, const char *val);
    str_vector *(*sections)(void *data);
    str_vector *(*keys)(void *data, const char *sec);
    int (*del_section)(void *data, const char *sec);
    int (*del_key)(void *data, const char *sec, const char *key);
    int (*rename_section)(void *data, const char *old_name, const char *new_name);
    int (*rename_key)(void *data, const char *sec, const char *old_key, const char *new_key);
    void (*dump)(void *data);
    int (*save)(void *data);
};

struct conf_t {
    void *data;                     // owned
    const conf_handler_t *handler;  // static, not owned
};

// ---- loading and freeing ------------------------------------------------------------
// NULL when no handler knows the name's extension or the load fails. create 1
// makes a missing file empty first.
conf_t *conf_load_imp(const char *name, int create);
conf_t *conf_load(const char *name);
conf_t *conf_create_load(const char *name);
// Parses a text in memory (type 0: ini). Such a configuration cannot be saved.
conf_t *conf_load_str(const char *text, int type);
int conf_free(conf_t *conf);
// Writes the file back: a temporary file beside it, then a rename over it,
// so a failure leaves the old file as it was. 0, or -1 (logged) on any error
// and for a configuration loaded from text.
int conf_save(conf_t *conf);
// The document in file form on the standard output stream.
void conf_print(conf_t *conf);

// ---- forwarding operations -----------------------------------------------------------
// The value, or the very def pointer when the key is missing.
const char *conf_get(conf_t *conf, const char *sec, const char *key, const char *def);
int conf_set(conf_t *conf, const char *sec, const char *key, const char *val);
str_vector *conf_get_sections(conf_t *conf);
str_vector *conf_get_keys(conf_t *conf, const char *sec);
int conf_del_section(conf_t *conf, const char *sec);          // 0, -2 when nothing went
int conf_del_key(conf_t *conf, const char *sec, const char *key); // 0, -1 when missing
// 0; -1 (logged) when new exists; -2 when nothing had the old name.
int conf_rename_section(conf_t *conf, const char *old_name, const char *new_name);
// Renames the key keeping its place, value and comment. 0; -1 when the old
// key is missing or the new one exists already.
int conf_rename_key(conf_t *conf, const char *sec, const char *old_key, const char *new_key);

// ---- derived operations ----------------------------------------------------------------
// Sections matching any of the '|'-separated glob patterns (case-sensitive).
str_vector *conf_get_sections_match(conf_t *conf, const char *patterns);
int conf_has_section(conf_t *conf, const char *sec);
int conf_has_key(conf_t *conf, const char *sec, const char *key);
const char *conf_get_path(conf_t *conf, const char *path, const char *def);
int conf_set_path(conf_t *conf, const char *path, const char *val);
int conf_get_int(conf_t *conf, const char *sec, const char *key, int def);
int conf_get_path_int(conf_t *conf, const char *path, int def);
// A size text with unit suffix; values of 2 GiB and more do not fit.
int32_t conf_get_size(conf_t *conf, const char *sec, const char *key, int32_t def);
int32_t conf_get_path_size(conf_t *conf, const char *path, int32_t def);
int conf_set_int(conf_t *conf, const char *sec, const char *key, int n);
int conf_set_path_int(conf_t *conf, const char *path, int n);
str_map *conf_get_section_map(conf_t *conf, const char *sec);
// Numbered lists: the values of a section's all-digit keys, in key order.
str_vector *conf_get_list(conf_t *conf, const char *sec);
int conf_list_add(conf_t *conf, const char *sec, const char *item);
int conf_list_del(conf_t *conf, const char *sec, const char *item);
int conf_list_clear(conf_t *conf, const char *sec);

// ---- whole-file operations -------------------------------------------------------------
// The value at path (or def) copied into out; def when the file cannot be
// loaded. Returns out.
char *conf_file_get_path(const char *file, const char *path, const char *def, char *out, size_t out_size);
int conf_file_get_path_int(const char *file, const char *path, int def);
// Copies into A the values of the keys that B has too; saves A when anything
// was copied. 0 once both loaded and A's sections were listed, else -1.
int conf_file_merge(const char *file_a, const char *file_b);
