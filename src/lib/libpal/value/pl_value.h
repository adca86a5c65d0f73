// pl_value: one number, or a reference to one, with its type code; the
// number parser reports its result this way and the settable shell
// variables are read and written through it. The same codes select the sort
// comparators (libpal/utils/pl_sort.h) and the find comparators here.
//
// A value belongs to its caller; nothing here locks or keeps state.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
    VALUE_TYPE_U16P = 7,    // u16 reached through a pointer (u16 arrays)
    VALUE_TYPE_I32 = 8,     // i32 held in the value
    VALUE_TYPE_U32 = 10,    // u32 held in the value
    VALUE_TYPE_U32P = 11,   // u32 reached through a pointer (u32 arrays)
    VALUE_TYPE_I64 = 12,    // i64 held in the value
    VALUE_TYPE_U64 = 14,    // u64 held in the value
    VALUE_TYPE_U64P = 15,   // u64 reached through a pointer
    VALUE_TYPE_U8 = 16,     // u8 held as a number
    VALUE_TYPE_U8P = 17,    // u8 reached through a pointer
    VALUE_TYPE_INT = 22,    // int held in the value (settable from text)
    VALUE_TYPE_INTP = 23,   // int reached through a pointer (settable from text)
    VALUE_TYPE_PTR = 24,    // pointer-sized value
    VALUE_TYPE_PTRP = 25,   // pointer-sized value reached through a pointer
    VALUE_TYPE_DOUBLE = 26, // double held in the value
    VALUE_TYPE_STRING = 28, // text (the text pointer is the value)
    VALUE_TYPE_STRP = 29,   // text reached through a pointer
};

struct value2_t {
    int32_t type;
    union {
        int32_t i32;
        uint32_t u32;
        int64_t i64;
        uint64_t u64;
        double dbl;
        void *ptr;
        int *pint;
        const char *str;
    } v;
};

// Type 22: parses text with str_atoi into the value; type 23: into the int
// it points to. 0; -1 when the text is not a whole decimal number in the
// range of an int (the value is left as it was), or for another type (logs
// "unsupport type=%d").
int value2_set_str(value2_t *val, const char *text);
// "%d" of the int of type 22 or 23 into buf (strict bounded printing: ""
// when it does not fit). 0, or -1 for another type (logged as above).
int value2_get_str(const value2_t *val, char *buf, size_t size);
// Types 8, 10, 12, 14 and 26 as u64: i32 and i64 sign-extended, a double
// truncated towards zero; a negative double goes through i64, a double of
// 2^64 or more gives all bits set, a NaN the bits of the smallest i64.
// Another type logs "unsupport type=%d" with a stack dump and answers all bits set.
uint64_t value2_get_u64(const value2_t *val);
// The same as i64: a double truncated towards zero and saturated at the i64
// limits, a NaN the smallest i64; a u64 reinterpreted.
int64_t value2_get_i64(const value2_t *val);
// Types 8, 10, 12, 14 converted, 26 itself; else logged, -1.0.
double value2_get_double(const value2_t *val);
// Negates the number in place. Types 8, 12 and 26: -2 when it was negative
// before (an overflow to the caller), else 0. Types 10 and 14 hold a
// magnitude: it becomes the negative i64 (type 12), or -2 when a u64 is
// above 2^63 (the value is then left as it was). Another type logs as above
// and answers -1.
int value2_minus(value2_t *val);

// ---- find comparators: key by value, element by address ---------------------
typedef int (*pl_find_fn)(const void *key, const void *elem);
// The find comparator of a value type (7, 11, 15, 17, 23, 25, 29); another
// type logs "val_type=%d not support" with a stack dump and answers NULL.
pl_find_fn cmp2_val_get_find_proc(int val_type);
int cmp2_strp(const void *key, const void *elem); // text key, text-pointer element
int cmp2_u8p(const void *key, const void *elem);  // low 8 bits of the key, u8 element
int cmp2_u16p(const void *key, const void *elem); // low 16 bits, u16 element
int cmp2_u32p(const void *key, const void *elem); // low 32 bits, u32 element
int cmp2_i32p(const void *key, const void *elem); // i32 key, i32 element
int cmp2_u64p(const void *key, const void *elem); // u64 key, u64 element
int cmp2_ptrp(const void *key, const void *elem); // pointer-sized key and element
int cmp2_i64(const void *key, const void *elem);  // i64 key, i64 element
// Text key against the first field (a text pointer) of the record the
// element points to.
int cmp2_struct_str(const void *key, const void *elem);
