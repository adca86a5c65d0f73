// str_tools: everyday operations on NUL-terminated byte texts that the C
// library lacks: trimming, deleting and squeezing characters, case
// conversion, prefix/suffix tests, case-insensitive and whole-word search,
// character-set tests, separated-list membership, substring replacement and a
// few allocation helpers.
//
// Text is bytes: only ASCII letters change case and only ASCII characters
// (below 0x80) are ever trimmed. Functions that edit work in place on the
// caller's buffer and return it; functions that allocate return memory the
// caller frees with os_free. No function keeps state, so all are safe from
// any thread on texts that the calling thread owns. A NULL text is answered
// with NULL / 0 unless a function says otherwise.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- character predicates --------------------------------------------------
// 1 for space, TAB, LF, VT, FF, CR; else 0.
int str_is_space_chr(int c);
// 1 for the single and the double quote; else 0.
int str_is_quote_chr(int c);

// ---- trimming (in place; each returns text) ----------------------------------
// Removes from both ends every ASCII character for which pred(ch) is true or
// that equals c (pred may be NULL; c 0 matches nothing).
char *str_trim_imp(char *text, int (*pred)(int), int c);
// Blanks (str_is_space_chr) at both ends.
char *str_trim(char *text);
// Every single and double quote at both ends, not only one pair.
char *str_trim_quote(char *text);
// Every c at both ends.
char *str_trim_chr(char *text, char c);
// At the end only: ASCII characters of set.
char *str_rtrim_set(char *text, const char *set);
// At the end only: space, TAB, VT, FF (line ends stay).
char *str_rtrim_blank(char *text);
// At the end only: every trailing c.
char *str_rtrim_chr(char *text, char c);
// Blanks and enclosing quote pairs, repeated until nothing changes, so that
//   "  \"'x'\"  "  becomes  x.
char *str_trim_all(char *text);

// ---- deleting, squeezing and editing (in place) ------------------------------
char *str_delchar(char *text, char c);             // every c
char *str_delchars(char *text, const char *set);   // every character of set
char *str_delchars2(char *text, const char *set);  // same as str_delchars
char *str_rdelchar(char *str, char c);             // the last c; str must not be NULL (hard)
char *str_squeeze_chr(char *text, char c);         // runs of c become one c
// Deletes n characters from pos (fewer at the end; nothing when pos is at or
// past the end).
char *str_del_range(char *text, size_t pos, size_t n);
// Writes text without that range into out, which must hold strlen(text)+1
// bytes (out may not overlap text). Returns out.
char *str_copy_del_range(char *out, const char *text, size_t pos, size_t n);
// 1 when the first occurrence of sub (not empty) was deleted, else 0.
int str_del_str(char *text, const char *sub);
// Cuts suffix off when the text ends with it.
char *str_del_str_tail(char *text, const char *suffix);
// Removes the first and the last character; 2 characters or less become "".
char *str_strip_ends(char *text);
// str_strip_ends when the text has at least two characters, starts with open
// and ends with close.
char *str_strip_enclosing(char *text, char open, char close);
// Makes text (in a buffer of size bytes) end with c: nothing when it already
// does; "" becomes c; a full buffer has its last character replaced by c;
// otherwise c is appended. 0, or -1 when a buffer below 2 bytes cannot hold it.
int str_add_chr_not_exist_tail(char *text, size_t size, char c);
// text (buffer of size bytes) becomes prefix followed by the old text. 0; on
// overflow the text is emptied, the failure logged, errno ERANGE, -1.
int str_prepend(char *text, size_t size, const char *prefix);
char *str_tolower(char *text);   // ASCII only
char *str_toupper(char *text);   // ASCII only
char *str_wipe(char *text);      // overwrites the characters with zero bytes (passwords)
char *str_reverse(char *text);
char *str_replace_chr(char *text, char a, char b);           // every a becomes b
char *str_replace_chr_n(char *text, int n, char a, char b);  // first n (all when n <= 0)
uint32_t *str_replace_wchr(uint32_t *text, uint32_t a, uint32_t b); // 32-bit characters, 0-terminated
char *str_set_last_chr(char *text, char c);                  // "" stays ""

// ---- tests and search ---------------------------------------------------------
// 1 or 0, case-sensitive; an empty prefix/suffix gives 1.
int str_start_with(const char *text, const char *prefix);
int str_end_with(const char *text, const char *suffix);
// ASCII letters without regard to case; the comparison stops at a blank of
// the text and succeeds only when the prefix is used up by then.
int str_istart_with(const char *text, const char *prefix);
// ASCII letters without regard to case; a blank in the compared part of the
// text or in the suffix gives 0.
int str_iend_with(const char *text, const char *suffix);
// 1 when text starts with first, is longer than one character and ends with last.
int str_is_enclosed(const char *text, char first, char last);
// 1 when text is not empty and every character is c.
int str_all_chr(const char *text, char c);
// First occurrence of psubstr, ASCII letters compared without regard to case.
// Neither may be NULL (hard).
char *str_istr(const char *pstr, const char *psubstr);
// One occurrence of word at or after text; *next is set past its start for the
// next round. Returns it only when it is a whole word (no ASCII letter or digit
// directly before or after), else NULL (and the caller goes on from *next).
// When there is no occurrence at all, *next is set to NULL.
char *str_find_word_imp(const char *text, const char *word, const char **next, int nocase);
// First whole-word occurrence of word, case-sensitive / ASCII case-blind.
char *str_str_word(const char *text, const char *word);
char *str_istr_word(const char *text, const char *word);
// Last occurrence of src in dst, or NULL. Neither may be NULL (hard).
char *str_rstr(const char *dst, const char *src);
// For each character of set in the order of set, its first occurrence in
// text: the first character of set that occurs at all wins (not the earliest
// position). NULL when none occurs.
char *str_find_any_chr(const char *text, const char *set);
// The last character of text that belongs to set, or NULL.
char *str_rpbrk(const char *text, const char *set);
size_t str_count_chr(const char *text, char c);
size_t str_count_chars_in_set(const char *text, const char *set);
// 0 when text equals one whole item of list (items separated by sep,
// case-sensitive), else -1.
int str_in_sep_list(const char *text, const char *list, char sep);
// text after a leading UTF-8 byte-order mark (EF BB BF), or text.
const char *str_skip_utf8_bom(const char *text);
char *str_skip_utf8_bom(char *text);
// Debugging aid: logs "off=%u %c=%c" at err for every index below strlen(a)
// where a and b differ (b is read only up to its end). 0.
int str_cmp_show_dbg(const char *a, const char *b);

// ---- replacing ----------------------------------------------------------------
// Replaces the first max non-overlapping occurrences of old (all when max is
// 0), scanning from the left; an empty old matches nothing. With out NULL the
// result is a new allocation of the exact size (caller frees with os_free);
// otherwise it is written to out and NULL is returned when it needs more than
// size bytes with its NUL (out is then ""). NULL on NULL arguments or when
// memory runs out.
char *str_replace_imp(const char *text, const char *old, const char *new_, int max, char *out, size_t size);
char *str_replace(const char *text, const char *old, const char *new_);
char *str_replace_buf(const char *text, const char *old, const char *new_, char *out, size_t size);

// ---- allocating helpers (caller frees with os_free) ------------------------------
// a followed by b; NULL when a is NULL; a copy of a when b is NULL.
char *str_dup_cat(const char *a, const char *b);
// text followed by c; NULL when text is NULL or c is NUL.
char *str_dup_add_chr(const char *text, char c);
