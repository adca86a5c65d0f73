// qexpr: the filter rules of the binary-log readers. A rule names a field,
// an operator and a value ("level >= 4", "tag find vfs"); a rule text holds
// rules separated by newlines or ';', comments ('#' to the end of the line
// or the next ';', or between single quotes), disabled rules ('~'), negated
// rules ('!') and commands ('@rule_mode or|and', '@include FILE').
//
// A rule set (qexpr_t) keeps its active rules until a load succeeds whole;
// a failed load leaves them. Parse and load failures are written as text
// into a caller's error buffer of QEXPR_ERR_SIZE bytes.
//
// Thread-safety: the set's mutex guards its active rules during filtering,
// walking, dumping and the swap at the end of a load; loading and copying
// build their lists without it, so one thread loads a given set at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/value/pl_value.h"

enum : size_t { QEXPR_ERR_SIZE = 4096 };

// Longest name or value, and operator, a rule text may hold.
enum : size_t { QEXPR_MAX_TOKEN = 255, QEXPR_MAX_OP = 63 };

// Type codes of the field values the value procedure hands back. Numbers are
// stored in v.u64 (the producer zeroes the value first); texts in v.str.
enum : int32_t { QEXPR_VT_U8 = 2, QEXPR_VT_U16 = 6, QEXPR_VT_U32 = 10, QEXPR_VT_U64 = 14, QEXPR_VT_TEXT = 28 };

// Operator codes. Code + 2 is the same operator without regard to letter
// case (not for findhex); codes with bit 0 set are negations.
enum : int32_t {
    QEXPR_OP_FINDHEX = 0,
    QEXPR_OP_NFINDHEX = 1,
    QEXPR_OP_EQ = 2,
    QEXPR_OP_NE = 3,
    QEXPR_OP_LT = 6,
    QEXPR_OP_GT = 7,
    QEXPR_OP_LE = 10,
    QEXPR_OP_GE = 11,
    QEXPR_OP_FIND = 14,
    QEXPR_OP_NFIND = 15,
    QEXPR_OP_GFIND = 18,
    QEXPR_OP_NGFIND = 19,
    QEXPR_OP_STARTSWITH = 22,
    QEXPR_OP_NSTARTSWITH = 23,
    QEXPR_OP_ENDSWITH = 26,
    QEXPR_OP_NENDSWITH = 27,
    QEXPR_OP_GLOB = 30,
    QEXPR_OP_NGLOB = 31,
    QEXPR_OP_MATCH = 34,
    QEXPR_OP_NMATCH = 35,
};

// Rule kinds.
enum : int32_t { QEXPR_KIND_PLAIN = 0, QEXPR_KIND_NOT = 1, QEXPR_KIND_CMD = 2 };

// Rule modes.
enum : int32_t { QEXPR_MODE_OR = 0, QEXPR_MODE_AND = 1 };

struct qexpr_rule {
    uint8_t enabled; // 0 for a rule written with '~': kept and shown, never evaluated
    char *name;      // field or command name (owned)
    int32_t opcode;  // 0 for commands
    char *value;     // after escapes and variables (owned)
    int32_t kind;    // QEXPR_KIND_*
    uint64_t number; // the value read as a number (decimal, 0x, 0b, leading-0 octal)
};

struct qexpr_ctx; // a variable context; none is used in this program
struct qexpr_t;

// ---- rule sets ----------------------------------------------------------------
// A new empty set in "or" mode, or NULL. Freed with qexpr_free.
qexpr_t *qexpr_new(qexpr_ctx *context);
// Frees the set and its rules; 0. NULL does nothing.
int qexpr_free(qexpr_t *set);
// Parses text and makes its rules the active ones; 0, or -1 with the reason
// in err (the active rules stay).
int qexpr_load_str(qexpr_t *set, const char *text, char *err);
// The same for a file read whole; a file that can't be read is 0 with
// nothing changed; a syntax error -1.
int qexpr_load_file(qexpr_t *set, const char *path, char *err);
// Adds one rule to the list being loaded without parsing (variables in the
// value expanded, except for commands). 0; -1 for an operator not in the
// table (logged "opcode=[%s] Unsupported"); -2 when memory runs out.
int qexpr_add_rules(qexpr_t *set, int enabled, const char *name, const char *op, const char *value, int kind);
// Runs the commands of what was added and makes it active; 0 or -1 (err).
int qexpr_commit_main(qexpr_t *set, char *err);
// Drops the lists being loaded; 0.
int qexpr_reset(qexpr_t *set);
// Replaces dst's active rules and mode by deep copies of src's; 0 or -1.
int qexpr_copy(qexpr_t *dst, qexpr_t *src);
// Calls proc for every rule of the active main list, under the set's mutex:
// (enabled, is command, name, opcode or 0, value, kind or 0, arg, rule). 0.
typedef int (*qexpr_walk_fn)(int enabled, int is_cmd, const char *name, int opcode, const char *value, int kind,
                             void *arg, const qexpr_rule *rule);
int qexpr_walk(qexpr_t *set, qexpr_walk_fn proc, void *arg);
// 1 when an enabled rule that is not a command is active, else 0.
int qexpr_has_rules(qexpr_t *set);
// The rule mode now in force (QEXPR_MODE_*).
int qexpr_rule_mode(qexpr_t *set);
// Asks a field's value: fills *out (zeroed first) and answers >= 0, or a
// negative number when the field can't be read.
typedef int (*qexpr_value_fn)(const char *name, value2_t *out, void *arg);
// 1 when the record whose fields value_proc reads is to be dropped, 0 to keep it.
int qexpr_filter_drop(qexpr_t *set, qexpr_value_fn value_proc, void *arg);
// Text of the main rules / of main and include rules (NULL set: soft
// assertion, NULL). The caller frees it with os_free.
char *qexpr_dump_main_rules(qexpr_t *set);
char *qexpr_dump_rules_str(qexpr_t *set);
// CRC-64 (initial 0) of the full dump: a fingerprint of the active rules.
uint64_t qexpr_rules_crc(qexpr_t *set);

// ---- comparisons ----------------------------------------------------------------
// 1 when text a relates to text b by the operator; with nocase, codes above 1
// are raised by 2; with debug the comparison is logged.
int expr_operate_str(const char *a, const char *b, int opcode, int nocase, int debug);
// 1 when the typed value v relates to the rule's value by opcode.
int expr_operate(const value2_t *v, const qexpr_rule *rule, int opcode);

// ---- rule texts without a set -------------------------------------------------------
// Called for each complete rule; a negative answer stops the parse with it
// (-2: "var [%s] does not exist", others: "expr malloc failed").
typedef int (*expr_parse_fn)(void *arg, int enabled, const char *name, int opcode, const char *value, int expand,
                             int kind);
// 0, or negative with the reason in err.
int expr_parse(const char *text, expr_parse_fn cb, void *arg, char *err);
int expr_parse_check(const char *text, char *err);
// The rules of text in canonical form (caller frees with os_free), or NULL
// with the reason in err.
char *expr_parse_dump(const char *text, char *err);
int expr_check_file(const char *path, char *err);
char *expr_dump_file(const char *path, char *err);
// The code of an operator name, or -1; the name of a code ("" for none).
int expr_opcode_get(const char *name);
const char *expr_opcode_name(int code);

// ---- searches -------------------------------------------------------------------------
// First occurrence of needle in haystack (Sunday's Quick Search), or NULL;
// never reads outside the haystack.
const void *qs_search(const void *haystack, size_t len, const void *needle, size_t nlen);
const void *qs_search_str(const void *haystack, size_t len, const char *needle);
// First place where every needle byte equals the haystack's or its mask
// character is '?'; NULL when none, or when the mask is shorter than the needle.
const void *mem_search_mask(const void *haystack, size_t len, const void *needle, size_t nlen, const char *mask);
const void *mem_search(const void *haystack, size_t len, const void *needle, size_t nlen);
// Non-NULL when the hex pattern ("41?43": '?' one byte of any value) is
// found in bytes; a pattern without '?' must have an even number of digits.
const void *expr_find_hex(const void *bytes, size_t len, const char *pattern);
