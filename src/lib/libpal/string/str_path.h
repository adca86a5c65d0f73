// str_path: text operations on paths (POSIX, Windows-style drive and
// backslash paths, "file://" URLs): joining, normalising, splitting,
// testing and resolving "." and ".." without touching the file system.
//
// Paths are texts of at most PL_MAX_PATH bytes including the NUL. Both '/'
// and '\\' count as separators when splitting. Functions that take a path
// without a size assume a PL_MAX_PATH buffer. Appends are strict: a result
// that does not fit leaves an empty text (logged). All functions work on
// caller buffers and are safe from any thread.
#pragma once
#include <cstddef>

#ifndef PL_MAX_PATH
#define PL_MAX_PATH 4096
#endif

// ---------------------------------------------------------------- joining

// out = dir, then name appended with path_append2. out, dir and name must not
// be NULL. On overflow out is empty. Returns out.
char *path_build2(char *out, size_t size, const char *dir, const char *name);
char *path_build(char *out, const char *dir, const char *name);
// Appends '/' unless dir ends with a separator (an empty dir gets "/"), then
// name without a leading separator. On overflow dir is left empty (the first
// failing step stops the build). Returns dir.
char *path_append2(char *dir, size_t size, const char *name);
char *path_append(char *dir, const char *name);
// out (PL_MAX_PATH) = dir with a trailing separator + the backslash-decoded
// escaped_name. The decoded name must be a single component: empty, ".",
// "..", or a name holding '/' or NUL is refused. Refusal or a result longer
// than 4094 characters is logged and leaves out empty. Returns out.
char *path_build_unescape_name(char *out, const char *dir, const char *escaped_name);
// Appends '/' unless the path ends with a separator; "" becomes "/". A path
// too long to take it is a soft assertion and is left empty. Returns path.
char *path_add_sep_not_exist_tail(char *path);

// ---------------------------------------------------------------- normalising

// '\\' -> '/', a leading "file://" removed, runs of '/' squeezed (a path of
// only '/' becomes "/"). Trailing separators stay. In place; returns path.
char *path_normalize(char *path);
// The same on a strict copy of src in out of size bytes; returns out.
char *path_normalize_buf(const char *src, char *out, size_t size);
// The other separator becomes sep, then runs of sep become one.
char *path_squeeze_sep(char *path, char sep);
char *path_squeeze_slash(char *path);
// The same for a 32-bit character text with the separator '\\'.
wchar_t *path_squeeze_sep_w(wchar_t *path);
// '\\' -> '/', runs squeezed, trailing '/' removed (except "/"), and a drive
// made POSIX-safe: "/C:/x" -> "/C_/x", "C:/x" -> "/C_/x". Returns path.
char *path_to_posix(char *path);
char *path_to_posix_buf(const char *src, char *out, size_t size);
// Prefixes "/" to path in a buffer of size bytes (strict). Returns path.
char *path_drive_to_posix(char *path, size_t size);
// Removes one trailing separator unless the path is one character long.
char *path_del_sep_tail(char *path);

// ---------------------------------------------------------------- components

// Part after the last separator (the whole path when there is none).
const char *path_basename(const char *path);
char *path_basename(char *path);
// Ends the path at its last separator (removed): "/a/b" -> "/a", "/a" -> "".
char *path_cut_name(char *path);
// Keeps the path up to and including its last separator: "/a/b" -> "/a/";
// no separator -> "".
char *path_del_name(char *path);
// path_del_name of a copy, in a per-thread buffer that the next call on the
// same thread overwrites.
const char *path_dirname_static(const char *path);
// Cuts the last component at its last '.' ("/a/c.tar.gz" -> "/a/c.tar").
char *path_del_ext(char *path);
// Number of '/' and '\\' characters.
int path_sep_count(const char *path);

// ---------------------------------------------------------------- tests

// 1 for "/x", "\\x", "c:x", "smb://h/s" or a ':' followed by two '\\'.
// NULL is a soft assertion and gives 0.
int path_is_absolute(const char *path);
// 1 for "/", "//", "///", "\\\\.\\", "\\\\?\\" ('/' and '\\' alike).
int path_is_root(const char *path);
int path_has_sep_tail(const char *path);
int path_has_sep_head(const char *path);
// 1 when the path holds neither '/' nor '\\'.
int path_is_plain_name(const char *path);
// 1 when the path_normalize forms are equal.
int path_equal(const char *a, const char *b);
// 1 when the normalised path_del_name parts are equal.
int path_dir_equal(const char *a, const char *b);

// ---------------------------------------------------------------- resolving

// Resolves "." and ".." of path (joined to base, or the current directory
// when base is NULL, if not absolute) into out (PL_MAX_PATH bytes), without
// consulting the file system. A trailing '/' is kept; an empty result is
// "./". Returns out ("" when the joined path does not fit).
char *path_resolve(const char *path, const char *base, char *out);
// The C library's realpath (follows symbolic links); resolved holds
// PL_MAX_PATH bytes. Returns resolved, or NULL with errno.
char *path_realpath(const char *path, char *resolved);

// ---------------------------------------------------------------- quoting

// Encloses the path in double quotes when it holds a blank, TAB or ';' and
// does not start with '"' (in place in PL_MAX_PATH bytes, or into out of
// PL_MAX_PATH bytes). Returns the quoted text's buffer.
char *path_quote(char *path);
char *path_quote_buf(const char *path, char *out);
