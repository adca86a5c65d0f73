// iniparser: the ini file format of the system, read and written. Comment and
// blank lines are kept and written back in place, names keep their case,
// lines are at most 1023 characters, a trailing backslash continues a line.
//
// Names handed to the lookups are cut to 1024 characters. Dictionaries are
// not locked; the error callback is process-wide and set at start-up.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libconf/ini/dictionary.h"

struct zkfile_t;

enum { INI_NAME_MAX = 1024, INI_LINE_SIZE = 1024 };
// The largest file iniparser_load reads.
constexpr int64_t INI_FILE_MAX = 16 << 20;

typedef int (*iniparser_error_fn)(const char *fmt, ...);
// NULL restores the default, which writes to the standard error stream.
void iniparser_set_error_callback(iniparser_error_fn fn);

// New dictionary (free with iniparser_freedict), or NULL: the file cannot be
// opened, is not a regular file (logged; a link is followed), holds more
// than INI_FILE_MAX bytes (logged), a line is too long, or the name matches
// "*.dat".
dictionary *iniparser_load(const char *path);
dictionary *iniparser_load_str(const char *text);
// The reader proper, on an open read stream (left open).
dictionary *iniparser_load_all(zkfile_t *in);
// The same, failing (logged with name) once more than limit bytes were read;
// a negative limit reads all.
dictionary *iniparser_load_limited(zkfile_t *in, int64_t limit, const char *name);
// Writes the document in file form (no byte-order mark). 0, or -1 when the
// stream reported an error or a name or value cannot be written so that it
// reads back unchanged (a line break in it, a line over the limit, a value
// holding both kinds of quotes where quoting is needed); such an entry is
// still written as well as it goes.
int iniparser_dump_ini(const dictionary *d, zkfile_t *out);
void iniparser_freedict(dictionary *d);

int iniparser_getnsec(const dictionary *d);
const char *iniparser_getsecname(const dictionary *d, int n);
int iniparser_getsecnkeys(const dictionary *d, const char *sec);
// Fills keys (room for iniparser_getsecnkeys entries) with pointers to the
// key parts; NULL when the section entry does not exist.
const char **iniparser_getseckeys(const dictionary *d, const char *sec, const char **keys);
int iniparser_find_entry(const dictionary *d, const char *name);
const char *iniparser_getstring(const dictionary *d, const char *name, const char *def);
int iniparser_getint(const dictionary *d, const char *name, int def);
double iniparser_getdouble(const dictionary *d, const char *name, double def);
int iniparser_getboolean(const dictionary *d, const char *name, int def);
int iniparser_set(dictionary *d, const char *name, const char *val);
int iniparser_unset(dictionary *d, const char *name);
int iniparser_unset_section(dictionary *d, const char *sec);
int iniparser_rename_section(dictionary *d, const char *old_name, const char *new_name);
void iniparser_dump(const dictionary *d, zkfile_t *out);
