// pl_regex: POSIX extended regular expressions: match tests, the position
// of the first match, and replace-all. Each call compiles its own pattern,
// so every function is safe from any thread.
#pragma once

// Position of a match: failed 0 with the offsets of the whole match, or
// failed 1 with -1, -1 (no match or an error).
struct cns_reg_t {
    int failed;
    int start;
    int end;
};

// 1 when pattern matches somewhere in text, else 0; a pattern that does not
// compile logs "regcomp" and answers 0.
int regmatch(const char *text, const char *pattern);
// The same ignoring case.
int regmatch_icase(const char *text, const char *pattern);
int regmatch_imp(const char *pattern, const char *text, int icase);
// The first match of pattern in text. A pattern that does not compile logs
// "%s: regex '%s'"; no match answers failed 1 silently.
cns_reg_t cns_reg(const char *text, const char *pattern);
// A new text (free with os_free) in which every match of pattern is replaced
// by replacement, as `sed -E 's/pattern/replacement/g'` does (the
// replacement is literal): the search goes on after each match, "^" matches
// only at the start of the text, and after an empty match one character is
// kept and the search moves on, so the call always ends. A copy of text when
// nothing matches, the pattern does not compile, or pattern and replacement
// are the same text; NULL for a NULL text. Ends the program when memory runs
// out.
char *str_regex_replace(const char *text, const char *pattern, const char *replacement);
