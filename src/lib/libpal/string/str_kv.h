// str_kv: short structured text. Key/value items ("k=v" separated by '&',
// ';', ',' or line ends), separated name lists, field and token cutters, and
// typed field lists: lines of separated fields whose types are given by a
// '|'-separated specification such as "u32|u64|str" (type names u64, x64,
// u32, x32, int, str, and estr for backslash-escaped text when reading).
//
// A separator set is a text whose every character separates items. Keys and
// values are trimmed of blanks (space, TAB to CR) where said. No function
// keeps state: all are safe from any thread on their own buffers.
#pragma once
#include <cstdarg>
#include <cstddef>

// ---- typed field lists -------------------------------------------------------------------------

// Splits text at any character of seps (empty fields count) and stores field
// i through the i-th pointer of args, converted by type i (strict number
// parsers: a malformed number stores 0, logged, and the scan goes on). When
// sized is not 0 each pointer is followed by a size_t, the size of the
// variable (8 for u64/x64, 4 for u32/x32/int; a wrong size is a soft
// assertion). copy 0: text is cut in place, "str" results point into it and
// "estr" fields are unescaped in place. copy 1: text stays intact, "str" and
// "estr" results are new allocations the caller frees (os_free).
// Result: the number of fields stored (the smaller of the field and type
// counts), or -1: NULL output pointer or unknown type name (status
// VERR_INVALID_PARAMETER in errno, logged), bad size, allocation failure.
// Fields stored before a failure stay stored.
int str_scanf_sep_val_imp(char *text, int copy, const char *seps, int sized, const char *types, va_list args);
int str_scanf_sep_val_dup(const char *text, const char *seps, int sized, const char *types, ...);
int str_scanf_sep_val(char *text, const char *seps, int sized, const char *types, ...);
// Writes one argument per type (u64/x64: unsigned long long, u32/x32:
// unsigned, int: int, str: const char*), each followed by sep, without the
// final sep. Number of fields, or -1: unknown or "estr" type (logged, errno
// EINVAL, out keeps the fields before it), or out too small (out "").
int str_sprintf_sep_val_imp(char *out, size_t size, const char *sep, const char *types, va_list args);
int str_sprintf_sep_val(char *out, size_t size, const char *sep, const char *types, ...);

// ---- key/value readers -------------------------------------------------------------------------
// Items are cut at any character of seps (each at most 8191 characters);
// empty items are skipped; the first non-empty item without kv ends the
// search. out is left untouched when the key is not found.

// Trimmed value of the first item whose trimmed key equals key, copied
// strictly into out. 0, or -1 (not found, or the value does not fit).
int str_kv_get_imp(const char *text, const char *seps, char kv, const char *key, char *out, size_t size);
int str_kv_get(const char *text, const char *seps, const char *key, char *out, size_t size); // kv '='
int str_kv_get_line(const char *text, const char *key, char *out, size_t size);              // "\r\n"
// Reverse lookup: trimmed key of the first item whose trimmed value equals
// value; items without kv are skipped. 0 or -1.
int str_kv_find_key(const char *text, const char *seps, char kv, const char *value, char *out, size_t size);
// str_kv_get with "&", then percent-decoded into out. 0 or -1.
int str_kv_get_url_arg(const char *text, const char *key, char *out, size_t size);
// str_kv_get with "\n", then the text strictly between the value's first '['
// and last ']'. 0, or -1 when either is missing or the part does not fit.
int str_kv_get_line_bracket(const char *text, const char *key, char *out, size_t size);
// As str_kv_get_imp, then one enclosing pair of '', "" or [] is removed.
int str_kv_get_unquote_imp(const char *text, const char *seps, char kv, const char *key, char *out, size_t size);
int str_kv_get_line_unquote(const char *text, const char *key, char *out, size_t size); // "\n", '='

// ---- key/value writers -------------------------------------------------------------------------

// Sets, adds or deletes "key=value" items of the list in text (size bytes)
// with the modes of url_set_query (1 set_always, 2 set_not_exist, 3
// set_exist, 4 del_exist). Items are written back each followed by the whole
// seps text, without the final one. 0, or -1 with text unchanged (bad
// argument or mode, allocation failure, result does not fit).
int str_kv_set(char *text, size_t size, const char *seps, int mode, const char *key, const char *value);
// Appends "key=<percent-encoded value>", after a '&' when out is not empty.
// Returns out; out is unchanged (and the failure logged) when it does not fit.
char *str_kv_add_url_arg(char *out, size_t size, const char *key, const char *value);

// ---- separated name lists ----------------------------------------------------------------------

// 1 when a (non-empty) item equals s, else 0.
int str_list_has(const char *list, const char *seps, const char *s);
// Appends s (after the first character of seps when the list is not empty)
// unless present or empty. 0, or -1 with list unchanged when it does not fit.
int str_list_add(char *list, size_t size, const char *seps, const char *s);
// Rewrites the list without s, empty items and repeats, joined by the first
// character of seps. 0 (-1 on allocation failure, list unchanged).
int str_list_del(char *list, size_t size, const char *seps, const char *s);
// 0 when some trimmed item (cut with str_ctok) equals s, else -1.
int str_sep_list_find(const char *text, const char *seps, const char *s);

// ---- fields and tokens -------------------------------------------------------------------------

// Copies text up to its first character of seps into out; returns a pointer
// to that separator (or the NUL) in text. NULL (logged, stack dumped) when the
// piece needs more than size bytes.
const char *str_ctok(const char *text, const char *seps, char *out, size_t size);
// Field n (from 0), adjacent separators giving empty fields. out, or NULL
// when there are fewer fields or the field does not fit.
char *str_get_sep_substr_buf(const char *text, const char *seps, int n, char *out, size_t size);
// Field 0 into key and field 1 into value (so the value ends at the next
// separator). 0 or -1.
int str_get_key_and_val(const char *text, const char *seps, char *key, size_t ksize, char *value, size_t vsize);
// The n-th (from 0) strtok_r token of text, which is cut in place (runs of
// separators count as one). NULL when there are fewer tokens.
char *str_get_nth_tok(char *text, const char *seps, int n);
// The same token of a copy, as a new allocation (os_free), or NULL.
char *str_get_nth_tok_dup(const char *text, const char *seps, int n);
// In the first line whose token kfield equals key: token vfield, trimmed, as
// a new allocation; NULL when there is none.
char *str_lines_find_field(const char *text, const char *seps, const char *key, int kfield, int vfield);
// Token n of the first line that contains substr, trimmed, as a new
// allocation; NULL when there is none.
char *str_lines_find_token(const char *text, const char *substr, const char *seps, int n);
// At most length characters of srcstr from offset, cut to size-1; "" when
// offset is at or past the end. Hard assertions: srcstr not NULL, length > 0.
char *str_substr_buf(const char *srcstr, size_t offset, size_t length, char *out, size_t size);
// The same as a new allocation, or NULL when offset is at or past the end.
char *str_substr(const char *srcstr, size_t offset, size_t length);
// Copies at most blen-1 characters and cuts the copy at its last c (kept
// whole when it holds no c). Hard assertion: blen >= 2.
char *str_get_sep_max_substr_buf(const char *text, char c, char *out, size_t blen);
