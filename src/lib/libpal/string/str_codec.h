// str_codec: byte-to-text encodings and their inverses: lower-case hex,
// base64 (standard and URL-safe alphabets), percent-encoding of URL query
// values, and backslash escapes (C escapes, JSON, "tab" escaping, CSV).
//
// All functions are stateless and safe from any thread. Allocated results are
// freed by the caller with os_free.
#pragma once
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- hex

// Lower-case hex of len bytes (len -1: strlen(data)), high nibble first,
// NUL-terminated. Returns 2*len; with out NULL the size needed (2*len+1);
// -1 when size is smaller than that.
int str_hex_encode_buf(const void *data, int len, char *out, size_t size);
// The same into a new allocation (NULL on failure); the text form takes
// strlen(text) bytes.
char *str_hex_encode_alloc(const void *data, int len);
char *str_hex_encode_str(const char *text);
// Lower-case hex into out: 1, or 0 with out emptied when size < 2*len+1.
int str_hex_fmt_buf(const void *data, size_t len, char *out, size_t size);
// Decodes pairs of hex digits (either case); add_nul puts a NUL after the
// bytes. Returns the byte count; with out NULL the size needed (len/2, +1 with
// add_nul); -1 for an odd length, a non-hex character or a size too small.
int str_hex_decode_buf(const char *text, int add_nul, void *out, size_t size);
// Decode into a new allocation (no NUL); the byte count goes to *len_out.
// NULL on a malformed text or allocation failure.
void *str_hex_decode_alloc(const char *text, size_t *len_out);
// As str_hex_decode_alloc after deleting every blank, TAB, CR and LF from the
// text in place.
void *str_hex_decode_alloc_ws(char *text, size_t *len_out);
// Decode into a new NUL-terminated allocation, or NULL.
char *str_hex_decode_str(const char *text);
// Decode to a text; with raw 0 the decoded text must be pairs of decimal
// digits and the digits of each pair are swapped (nibble-swapped BCD).
// NULL for an odd or empty decoded length or a non-digit.
char *str_hex_decode_bcd(const char *text, int raw);
// Pairs of hex digits among the first len characters, with ' ', '-', '.',
// ':' and '_' allowed between pairs. Needs len >= 2 and len/3 < size.
// Byte count, or -1 (odd digit run, non-hex character, out full).
int str_hex_decode_loose(const char *text, size_t len, void *out, size_t size);
// Pairs of hex digits separated by the one character *sep (sep NULL: none)
// into out of size bytes. 0 when the text ended cleanly after a pair, 1 when
// it stopped at a character that is not a hex pair or not the separator, -1
// when a further pair would not fit in out. *count (may be NULL) gets the
// number of bytes stored.
int str_hex_parse_sep(const char *text, const char *sep, unsigned char *out, size_t size, size_t *count);
// A hex pattern where '?' is any byte: each pair gives a byte (mask '_'),
// each '?' a wildcard (value 0, mask '?'); non-hex characters between the
// two digits of a pair are skipped; any other character outside a pair
// fails. Byte count (value and mask NULL: count only), or -1.
int str_hex_mask_decode(const char *text, unsigned char *value, char *mask);
// The same into two new allocations (*mask_out is also NUL-terminated).
int str_hex_mask_decode_alloc(const char *text, unsigned char **value_out, size_t *len_out, char **mask_out);
// Value 0-15 of a hex digit; 255 for anything else.
unsigned str_hex_digit_val(int c);
// Value 0-15 of a hex digit; -1 for anything else (constant table).
int str_hex_val_cached(int c);

// ---------------------------------------------------------------- base64

// Bytes of the encoded text of n input bytes, NUL included.
#define PL_BASE64_ENCODE_LEN(n) (4 * (((size_t)(n) + 2) / 3) + 1)

// Encodes len bytes (url 0: standard alphabet, '=' padding; url 1: URL-safe
// alphabet, ',' padding), NUL-terminated. Text length, or -1 (soft assertion)
// when data or out is NULL, len >= UINT32_MAX/4 or size too small.
int str_base64_encode_imp(const void *data, size_t len, char *out, size_t size, int url);
int str_base64_encode(const void *data, size_t len, char *out, size_t size);
int str_base64url_encode(const void *data, size_t len, char *out, size_t size);
// New zeroed allocation of PL_BASE64_ENCODE_LEN(len) bytes holding the text;
// NULL on failure.
char *str_base64_encode_alloc(const void *data, size_t len);
char *str_base64url_encode_alloc(const void *data, size_t len);
// Encodes strlen(text)+1 bytes (the NUL too) into out; out stays empty on
// failure (logged).
char *str_base64_encode_buf_imp(const char *text, char *out, size_t size, int url);
char *str_base64_encode_text(const char *text, char *out, size_t size);
char *str_base64url_encode_text(const char *text, char *out, size_t size);
// Standard base64 of strlen(text) bytes into out (strict): 0, or 34 with out
// emptied when it does not fit.
int str_base64_encode_str(const char *text, char *out, size_t size);
// Decodes either alphabet up to the first NUL, '=' or ','. Byte count, or -1
// (bad character, logged; out too small).
int str_base64_decode(const char *text, void *out, size_t size);
// Decode into out (emptied first; bytes not NUL-terminated); returns out.
char *str_base64_decode_buf(const char *text, char *out, size_t size);
// Decode into a new allocation of strlen(text) bytes; count in *len_out.
// NULL on failure.
void *str_base64_decode_alloc(const char *text, size_t *len_out);

// ---------------------------------------------------------------- percent

// Percent-encodes a query value into out (bytes < 0x20, >= 0x7F and
// " #%&+;=?" become %XX). 0, or -1 with out empty when it does not fit.
int str_escape_url_args(const char *text, char *out, size_t size);
// The same into a new allocation (NULL on failure).
char *str_escape_url_args_alloc(const char *text);
// Decodes %XX escapes (see the implementation for malformed ones); '+' stays.
// 0, or -1 with out empty when strlen(text)+1 > size.
int str_unescape_url_args(const char *text, char *out, size_t size);

// ---------------------------------------------------------------- backslash

// Next character of *p, decoding one backslash escape, and advances *p;
// -1 at the end of the text. Values are never negative otherwise.
int str_unescape_get_chr(const char **p);
// Decodes text into out (each value stored as one byte), NUL-terminated.
// *len_out (may be NULL) gets the byte count including the NUL. Too small:
// logged, out empty (len_out 1). A NULL text gives "".
char *str_unescape_cstr_buf(const char *text, char *out, size_t size, int *len_out);
// New allocation of the decoded text (*len_out with its NUL), or NULL when
// the result is empty.
char *str_unescape_cstr(const char *text, int *len_out);
// Decodes over text itself; returns text.
char *str_unescape_cstr_inplace(char *text, int *len_out);
// str_unescape_cstr, then one enclosing pair of double quotes removed.
char *str_unescape_cstr_unquote(const char *text);
// One escape whose backslash has been read: up to three octal digits (the
// third only when the value stays <= 255), or a, b, f, n, r, t, v, '\\'.
// Any other character: returns '\\' and leaves *p where it was.
int str_unescape_chr_oct(const char **p);

// JSON string escaping into out (must not be NULL). A result that does not
// fit leaves out empty (logged). NULL or empty text gives "".
char *str_escape_json(const char *text, char *out, size_t size);
char *str_escape_json_alloc(const char *text);
// Core: out NULL: size needed including the NUL. size 0: writes without
// bound. Otherwise writes when it fits and returns the size used; -1 with
// out emptied when it does not.
int str_escape_json_imp(const char *text, size_t len, char *out, size_t size);

// "Tab" escaping ('\\' doubled; NUL, BS, TAB, LF, FF, CR as \0 \b \t \n \f
// \r; other control bytes get a backslash in front), same conventions as
// the JSON forms.
char *str_escape_tab_buf(const char *text, char *out, size_t size);
char *str_escape_tab(const char *text);
int str_escape_tab_imp(const char *text, size_t len, char *out, size_t size);
// Tab-escapes a NUL-separated list including its double NUL (at most max
// bytes are looked at). An empty or unterminated list gives "\\0\\0".
char *str_escape_tab_zz_buf(const char *zz, size_t max, char *out, size_t size);

// JSON-escaped text, enclosed in double quotes when it holds a comma and
// does not start with a double quote. Needs size >= JSON size + 2 (else a
// soft assertion, out unchanged).
char *str_escape_csv(const char *text, char *out, size_t size);
char *str_escape_csv_alloc(const char *text);
