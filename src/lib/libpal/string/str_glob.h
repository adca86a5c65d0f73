// str_glob: wildcard matching, quoting words for command and ini lines,
// splitting and joining command lines, and checks that a user-supplied name
// holds nothing that would break a URL, a path or a command.
//
// No state: every function is safe from any thread. Writes into caller
// buffers are strict: a result that does not fit leaves an empty text.
#pragma once
#include <cstddef>

// ---------------------------------------------------------------- globbing

// 1 when the whole text matches the pattern: '?' one character, '*' any run,
// "[a-z]" / "[!a-z]" classes, '\\' quotes the next character. nocase compares
// ASCII letters without regard to case; debug logs why a match failed.
int pl_glob_match(const char *pattern, const char *text, int nocase, int debug);
// 1 when any pattern of the '|'-separated list matches (empty items kept).
int pl_glob_match_list(const char *text, const char *patterns, int nocase, int debug);
int pl_glob_match_any(const char *text, const char *patterns);
int pl_glob_match_any_nocase(const char *text, const char *patterns);
int pl_glob_match_any_dbg(const char *text, const char *patterns);
int pl_glob_match_any_nocase_dbg(const char *text, const char *patterns);

// ---------------------------------------------------------------- quoting

// NULL or "" -> two quote characters; a text holding a character of specials
// and not starting with quote -> quote, text, quote; otherwise a copy.
// text and out must not overlap. Returns out.
char *str_quote_imp(const char *text, const char *specials, char quote, char *out, size_t size);
char *str_quote_dq(const char *text, char *out, size_t size);         // blank TAB ;
char *str_quote_sq(const char *text, char *out, size_t size);         // blank TAB ;
char *str_quote_dq_comment(const char *text, char *out, size_t size); // blank # ;
// Words for a POSIX shell: left bare when made only of characters the shell
// never interprets, otherwise quoted so that the shell reads back exactly the
// text (the sq form with str_shell_quote, the dq form inside double quotes
// with '\\', '"', '$' and '`' escaped). "" gives an empty quoted word.
char *str_quote_sq_shell(const char *text, char *out, size_t size);
char *str_quote_dq_shell(const char *text, char *out, size_t size);
// Quotes a whole text for a POSIX shell: runs of ordinary characters inside
// single quotes, one single quote as \', several inside double quotes; ""
// gives ''. Returns a pointer to the terminating NUL written in out (handy
// for appending), or NULL when out is too small (out then holds "" when size
// is not 0).
char *str_shell_quote(const char *text, char *out, size_t size);

// ---------------------------------------------------------------- command lines

// Splits a command line into words (quotes and backslashes as a Windows
// program's start-up code reads them). With argv and buf NULL it only counts:
// *argc_out = words + 1, *nchars_out = bytes of the words with their NULs.
// Then, with argv (argc_out entries) and buf (nchars_out bytes) sized from
// that count, it stores the words, their pointers and a final NULL.
void str_parse_cmdline(const char *cmdline, char **argv, char *buf, int *argc_out, int *nchars_out);
// out = each word (in double quotes when it holds a blank or is empty)
// followed by one blank. 0, or -1 with out empty when it does not fit.
int str_argv_join(int argc, char *const *argv, char *out, size_t size);
// The text before the first blank (cut to size-1), or a strict copy of the
// whole line when it has none. Returns out.
char *str_cmd_get_first(const char *cmdline, char *out, size_t size);
// Terminates the first word in place ("quoted first words" keep their
// quotes) and returns a pointer to the NUL written, or NULL when the word
// runs to the end of the line (or its quote is never closed).
char *str_cmd_cut_first(char *cmdline);
// out = word + the line from its first blank on (or just word). Returns out
// ("" when it does not fit).
char *str_cmd_replace_first(const char *cmdline, const char *word, char *out, size_t size);

// ---------------------------------------------------------------- checks

// 1 when every character is a decimal digit ("" gives 1).
int str_is_digits(const char *text);
// 1 when the text holds two or more ':'.
int str_is_ipv6_like(const char *text);
// 1 when the text holds none of ; / \ " ' ? : @ # and blank (NULL gives 1).
int str_is_valid_name(const char *text);
// The name set plus '&' and '='.
int str_is_valid_url_key(const char *text);
// No '&'.
int str_is_valid_url_val(const char *text);

enum {
    STR_CHK_NOT_EMPTY = 0x1, // "Can't be empty"
    STR_CHK_NAME = 0x2,      // no character of the name set
    STR_CHK_URL_KEY = 0x4,   // no '&' or '='
    STR_CHK_URL_VAL = 0x8,   // no '&'
    STR_CHK_BRACKET = 0x10,  // no '[' or ']'
};
// Checks the text by flag bits; on the first failure writes the reason into
// reason (4096 bytes, may be NULL) and returns 0; else 1.
int str_check_chars(const char *text, int flags, char *reason);
