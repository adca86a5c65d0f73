// log2_conf: switching the log outputs on from a configuration document: the
// keys of the "log" section (or "log_<name>") of an ini file or text.
#pragma once
#include <cstddef>

#include "liblog/log2.h"

// type "ini_file" (conf is a path) or "ini_str" (conf is the ini text); name
// selects the section "log_<name>" (NULL: "log"). The first call configures
// the default handle (made when missing); every later call configures a new
// handle, which is the result (the caller frees it with log2_exit). Failures
// leave the handle as far configured as it got. Start-up, main thread.
log2_t *log2_init_imp(const char *type, const char *conf, const char *name);
log2_t *log2_init_ini_file(const char *path, const char *name);
log2_t *log2_init_ini_str(const char *text, const char *name);

// The log routine with a ready message, which is not formatted.
int log2_print_str(log2_t *h, unsigned level, const char *tag, const char *file, int line, const char *func,
                   const char *msg);

// Name of the default handle's level into buf (strict copy); 0. The read
// procedure of the shell variable "log.level".
int log_level_var_get(char *buf, size_t size);

// Open mode of a handle's log file as set by the "file_mode" key: "w"
// (truncate on open, the default) or "a" (append). 0, or -1 (debug printing
// "mode %s err") for any other text, which leaves the mode as it was.
int log2_conf_set_file_mode(log2_t *h, const char *mode);
const char *log2_conf_get_file_mode(log2_t *h);
