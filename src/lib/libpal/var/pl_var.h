// pl_var: the registries of the names the command shell reaches: read-only
// variables shown by `show` (rvar), function variables run by `call` (fvar)
// and settable variables read and changed by `set` (dvar). The owning
// modules register static records at start-up; a registry holds pointers to
// them in registration order and never copies or frees them. Lookups compare
// names exactly (case-sensitive) in registration order.
//
// No lock: records are added at start-up and read from the shell's thread.
// Every text result is a new heap text (os_free); an empty registry gives ""
// (the JSON dump gives "[]").
#pragma once
#include <cstdint>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_vector.h"
#include "libpal/value/pl_value.h"

enum {
    DVAR_VALUE_SIZE = 8192, // the buffer every get procedure is given
    DVAR_ERR_SIZE = 4096,   // the error buffer of a set
    DVAR_TYPE_ENUM = 1,     // the value is one of the '|'-separated choices of range
};

struct rvar_t;
// A view: a new text (os_free) or NULL for nothing to show.
typedef char *(*rvar_show_fn)(const rvar_t *var);
// A function: three opaque 64-bit arguments handed through from the caller.
typedef int (*fvar_call_fn)(uint64_t a, uint64_t b, uint64_t c);
// Sets the variable from text; on failure writes the reason into err
// (DVAR_ERR_SIZE bytes) and answers a negative status.
typedef int (*dvar_set_fn)(const char *value, char *err);
// Writes the value as text into buf (size bytes, always DVAR_VALUE_SIZE). 0 or -1.
typedef int (*dvar_get_fn)(char *buf, int size);

struct rvar_t {
    const char *name;
    const char *desc;
    rvar_show_fn show; // required
};

struct fvar_t {
    const char *name;
    const char *desc;
    fvar_call_fn call; // required
};

struct dvar_t {
    const char *name;
    uint32_t type;     // DVAR_TYPE_ENUM, or anything else for plain text
    const char *range; // choices separated by '|', may be empty
    const char *desc;
    dvar_set_fn set;   // or NULL: the bound value is set
    dvar_get_fn get;   // or NULL: the bound value is read
    value2_t value;    // bound to the module's storage (used without set/get)
};

struct rvar_mgr_t {
    mem_parray_t arr;
};
struct fvar_mgr_t {
    mem_parray_t arr;
};
struct dvar_mgr_t {
    mem_parray_t arr;
};

// ---- life -------------------------------------------------------------------
// An empty registry, or NULL when memory runs out. Free with *_mgr_free.
rvar_mgr_t *rvar_mgr_new(void);
fvar_mgr_t *fvar_mgr_new(void);
dvar_mgr_t *dvar_mgr_new(void);
// Frees the registry, not the records. NULL is ignored. 0.
int rvar_mgr_free(rvar_mgr_t *m);
int fvar_mgr_free(fvar_mgr_t *m);
int dvar_mgr_free(dvar_mgr_t *m);

// ---- registering --------------------------------------------------------------
// Appends the record: 0. -1 (logged at err, tag "pal") when its name is
// already registered ("error: var=%s already exists\n"), when it has no
// procedure ("var=%s init error\n"; dvar: neither set procedure nor bound
// storage, "var=%s set error\n"), or when memory runs out.
int rvar_mgr_add(rvar_mgr_t *m, const rvar_t *var);
int fvar_mgr_add(fvar_mgr_t *m, const fvar_t *var);
int dvar_mgr_add(dvar_mgr_t *m, const dvar_t *var);

// ---- lookups --------------------------------------------------------------------
int rvar_mgr_exist(rvar_mgr_t *m, const char *name); // 1 or 0
int fvar_mgr_exist(fvar_mgr_t *m, const char *name);
int dvar_mgr_exist(dvar_mgr_t *m, const char *name);
const rvar_t *rvar_mgr_find(rvar_mgr_t *m, const char *name); // or NULL
const fvar_t *fvar_mgr_find(fvar_mgr_t *m, const char *name);
const dvar_t *dvar_mgr_find(dvar_mgr_t *m, const char *name);

// ---- running --------------------------------------------------------------------
// The view's text (new, os_free), or NULL for an unknown name or no text.
char *rvar_mgr_show(rvar_mgr_t *m, const char *name);
// The function's result; -12 (not implemented) for an unknown name, nothing called.
int fvar_mgr_call(fvar_mgr_t *m, const char *name, uint64_t a, uint64_t b, uint64_t c);
// The value as text into buf (DVAR_VALUE_SIZE bytes): get procedure, else the
// bound value. Without either: "error: not support" in buf, logged, -1.
int dvar_mgr_get(const dvar_t *var, char *buf);
// Sets the variable: -12 with "The set variable '%s' does not exist" in err
// (DVAR_ERR_SIZE bytes) for an unknown name; else the set procedure's result,
// or the bound value's (value2_set_str); -1 without both.
int dvar_mgr_set(dvar_mgr_t *m, const char *name, const char *value, char *err);

// ---- listings and dumps (new texts, os_free; NULL only when memory runs out) -----
char *rvar_mgr_list_str(rvar_mgr_t *m);                   // "show %s -- %s\n" each
char *fvar_mgr_list_str(fvar_mgr_t *m, const char *word); // "%s %s -- %s\n" (word, name, desc)
char *dvar_mgr_list_str(dvar_mgr_t *m);                   // "set %s [%s] -- %s\n" (name, range, desc)
// The names in registration order (an owning strv, strv_free), NULL when
// memory runs out.
strv *rvar_mgr_names(rvar_mgr_t *m);
strv *fvar_mgr_names(fvar_mgr_t *m);
strv *dvar_mgr_names(dvar_mgr_t *m);
// The range split at every '|' (owning strv), NULL for an unknown name.
strv *dvar_mgr_get_range(dvar_mgr_t *m, const char *name);
// "%s=%s\n" per record, the value single-quoted when it holds a blank, TAB
// or ';' (and does not start with a quote), '' when empty.
char *dvar_mgr_dump(dvar_mgr_t *m);
// A JSON array of {"desc","name","value","type"[,"range"]} objects, every
// text escaped for JSON; "[]" when empty.
char *dvar_mgr_dump_json(dvar_mgr_t *m);
