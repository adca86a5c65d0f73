// str_num: strict text-to-number parsers, sizes with unit suffixes, boolean
// words, dotted version numbers, and human-readable sizes and durations.
//
// Every parser answers 0 on any failure, so a caller that must tell 0 from an
// error checks the text first. Malformed text logs "null str [%s]" or
// "illegal char [%s]" at warn; a value that does not fit the result type logs
// "overflow [%s]" (decimal) or "overlimit [%s]" (hexadecimal) at err with a
// stack dump and also answers 0. Blanks around the number are ignored. All
// functions are stateless and safe from any thread (str_fmt_size's buffer is
// per thread).
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/value/pl_value.h"

// ---- decimal ----------------------------------------------------------------------
// Optional sign and decimal digits. A NULL text answers 0 with "null str".
int64_t str_atoll(const char *text);
int str_atoi(const char *text);
// Decimal digits only (no sign). The text must not be NULL (hard assertion).
uint64_t str_ato64u(const char *s);
uint32_t str_ato32u(const char *s);
uint16_t str_ato16u(const char *s);
uint8_t str_ato8u(const char *s);

// ---- hexadecimal --------------------------------------------------------------------
// Hex digits of either case, no "0x" prefix, leading zeros allowed. A
// non-zero digit beyond the type's width (16, 8, 4, 2 digits) is "overlimit"
// and answers 0. The text must not be NULL (hard assertion).
uint64_t str_ato64x(const char *s);
uint32_t str_ato32x(const char *s);
uint16_t str_ato16x(const char *s);
uint8_t str_ato8x(const char *s);

// ---- sizes ------------------------------------------------------------------------------
// One row of a size suffix table: name (matched as a case-blind prefix of the
// suffix) and multiplier. A table ends with a row whose name is NULL.
struct str_size_unit_t {
    const char *name;
    uint64_t mult;
};
// The default table: c w b, kB kD k, KB KD K, MB MD M, GB GD G, TB T, PB P
// (B and D decimal, bare letters binary, c/w/b 1, 2 and 512 bytes).
extern const str_size_unit_t g_str_size_units[];
// A number (decimal or hexadecimal floating-point text, wholly used) with an
// optional suffix of one or two letters, each letter group matched against
// table from its first row, multipliers multiplying: "2m" 2097152, "2mb"
// 2000000, "1.5k" 1536, "1b" 512. 0 (no log) for NULL, a leading blank or
// sign, more than 256 characters, three trailing letters, letters only, an
// unknown suffix or a number part with stray characters ("1x2k"). Values of
// 2^64 or more give 2^64-1.
uint64_t str_parse_size_tbl(const char *text, const str_size_unit_t *table);
uint64_t str_parse_size(const char *text);

// ---- booleans and versions ------------------------------------------------------
// 1 for true,t,yes,y,on,up,running,enabled,available; 0 for
// false,f,no,n,off,down,unused,disabled,unavailable (either case); else -1.
int str_to_bool(const char *text);
// "a.b.c.d" (one to four parts) -> a<<48 | b<<32 | c<<16 | d, missing parts 0
// (each part kept to 16 bits). 0 when a is 0, for NULL, or for more than four parts.
uint64_t str_version_num(const char *text);
// -1, 0 or 1 comparing the two version values.
int str_version_cmp(const char *a, const char *b);

// ---- human-readable forms ---------------------------------------------------------
// Each writes into out (size bytes) with the strict bounded printing: when
// the text does not fit, out is "" (the overflow is logged). Each returns out.
//
// "N/A" for UINT64_MAX; "%0.3f s" above 999 ms; else "%u ms".
char *str_fmt_ms(uint64_t ms, char *out, size_t size);
// "1 day 2 hours 3 minutes", "59.500 seconds", "0.500 second": days and hours
// each followed by a blank; minutes end the text (seconds are not shown then).
// A negative input writes "".
char *str_fmt_duration(double seconds, char *out, size_t size);
// "D_HH:MM:SS.mmm", "HH:MM:SS.mmm" without days, "MM:SS.mmm" without hours.
// A negative input writes "".
char *str_fmt_time_span(double seconds, char *out, size_t size);
// "%d year%s " (8760 h), "%d month%s " (720 h), "%d day%s " (24 h) when at
// least 1, then always "%d hour%s ".
char *str_fmt_hours(int64_t hours, char *out, size_t size);
// unit not 0: value / unit rounded to nearest; unit 0: "1023", "1.0K",
// "1.5K", ... with one tenth digit and a letter of KMGTPE; 0 gives "0".
char *str_fmt_size_imp(uint64_t value, uint64_t unit, char *out, size_t size);
// str_fmt_size_imp into a 21-byte buffer of the calling thread, which is
// returned and overwritten by that thread's next call.
char *str_fmt_size(uint64_t value, uint64_t unit);

// ---- number literals ----------------------------------------------------------------
// Parses a number written as in source code: blanks around it, an optional
// '-', a "0x" or "0b" prefix (either case; it wins over radix), digits,
// then for integers up to two L and one U suffix letters (a second L makes
// i32/u32 into i64/u64, U makes i32/i64 unsigned), or a decimal fraction
// and exponent (radix 10) or a binary one ("0x1.8p1"); anything after the
// number is ignored. Radix 0 is automatic, as 10 with the prefixes. In
// radix 10 an integer with a leading 0 is octal. The type follows the
// value: i32 (8) up to 0x7FFFFFFF, u32 (10), i64 (12), u64 (14); doubles 26.
// A '-' negates the magnitude as an i64, so "-3000000000" is i64
// -3000000000. Errors (no digits, a digit too large for the radix, an
// integer beyond 64 bits, a missing exponent, a token of 1024 characters or
// more, a radix other than 0, 2, 8, 10 and 16) give type 14 value 0; with
// report they are also logged at err with a stack dump.
value2_t str_parse_all_number_s(const char *text, int radix, int report);
// The parse (radix 10, or 16 for the hexadecimal one) read as one type;
// errors give 0. None of them logs.
uint64_t str_num_to_u64(const char *text);
int64_t str_num_to_i64(const char *text);
double str_num_to_double(const char *text);
uint64_t str_hex_to_u64(const char *text);

// value, or fix when value < min or (max != 0) value > max; with a name the
// correction is logged at warn: "[%s]=%d < min=%d fix=%d" or
// "[%s]=%d > max=%d fix=%d".
int var_int_check(int value, const char *name, int min, int max, int fix);

// Character classes of str_is_char_class, or-ed.
enum {
    STR_CLASS_ALPHA = 1,  // A-Z, a-z
    STR_CLASS_DIGIT = 2,  // 0-9
    STR_CLASS_XDIGIT = 4, // 0-9, A-F, a-f
};
// 1 when every character of text belongs to one of the classes asked ("" is
// 1), else 0 (also for NULL).
int str_is_char_class(const char *text, int classes);
