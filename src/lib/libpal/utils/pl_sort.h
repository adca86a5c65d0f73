// pl_sort: the generic array algorithms: a sort entry point with four
// algorithms, an order test, de-duplication, binary and linear search, the
// value-type comparator tables, and typed shortcuts over them.
//
// Arrays are (base, count, element size). A comparator receives the
// addresses of two elements; the comparators defined here answer -1, 0 or 1,
// but every algorithm reads only the sign, so a caller's comparator may
// answer any negative or positive number. A "find" comparator receives the
// key (by value, as the caller passed it) and the address of an element.
//
// Nothing here locks or keeps state: every function is safe from any thread
// on arrays the caller owns. Inconsistent comparators give an unsorted
// array, never an access outside it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_base.h"

typedef int (*pl_cmp_fn)(const void *a, const void *b);
typedef int (*pl_cmp_r_fn)(const void *a, const void *b, void *ctx);

// Sort algorithms of pl_qsort_r.
enum {
    PL_SORT_NONE = 0,     // leaves the array as it is
    PL_SORT_QUICK3 = 1,   // three-way quicksort (default; not stable)
    PL_SORT_QUICK_NR = 2, // quicksort with an explicit stack (not stable)
    PL_SORT_TIM = 3,      // TimSort (stable)
};

// Sorts base[0..count) ascending by cmp(a, b, ctx) with `algorithm`.
// Returns 0; -1 for an unknown algorithm (logged), a NULL base with elements
// or a NULL comparator (soft assertions), and from TimSort when its merge
// buffer cannot be allocated (errno ENOMEM) or the comparator is found
// inconsistent (errno EINVAL). After -1 the array holds all its elements,
// in some order.
int pl_qsort_r(int algorithm, void *base, size_t count, size_t size, pl_cmp_r_fn cmp, void *ctx);
// The three-way quicksort.
int pl_qsort_r_default(void *base, size_t count, size_t size, pl_cmp_r_fn cmp, void *ctx);
// The three-way quicksort with a comparator of two elements.
int pl_qsort(void *base, size_t count, size_t size, pl_cmp_fn cmp);

// 1 when count < 2 or all adjacent pairs compare equal, 2 when ascending
// (no pair compares greater), 3 when descending, 0 when neither.
int pl_sort_order(const void *base, size_t count, size_t size, pl_cmp_fn cmp);
// Moves the first element of every run of adjacent equal elements to the
// front (exchanging it with the element it replaces) and returns how many
// there are; the duplicates end up behind that count in some order.
size_t pl_uniq(void *base, size_t count, size_t size, pl_cmp_fn cmp);
// 1 when no two elements compare equal (checked on a sorted copy), else 0;
// -1 when the copy cannot be allocated.
int pl_is_uniq(const void *base, size_t count, size_t size, pl_cmp_fn cmp);
// Index of an element for which find(key, element) is 0, or -1; the array
// must be ascending by that comparator.
int64_t pl_bsearch(const void *key, const void *base, size_t count, size_t size, pl_cmp_fn find);
// Index of the first element for which find(key, element) is 0, or -1.
int64_t pl_lsearch(const void *key, const void *base, size_t count, size_t size, pl_cmp_fn find);
// Number of elements for which find(key, element) is 0.
size_t pl_count_equal(const void *key, const void *base, size_t count, size_t size, pl_cmp_fn find);

// ---- comparator tables ------------------------------------------------------
// The comparator of a value type (see libpal/value/pl_value.h for the codes),
// ascending, or descending when reverse != 0. A type without a row logs
// "val_type=%d not support" with a stack dump and answers NULL.
pl_cmp_fn cmp_val_get_proc(int val_type, int reverse);
// `cmp` when not NULL; else by mode: 0x3 (either bit) texts through pointers,
// 0x4 pointer-sized values through pointers, 0x8 records by their first
// field, a text pointer. Another mode logs "mode=0x%x not support" with a
// stack dump and answers NULL.
pl_cmp_fn cmp_array_get_proc(unsigned mode, pl_cmp_fn cmp, int reverse);
// `cmp` when not NULL; else strcmp of two texts when flags has 0x1 or 0x2,
// else the unsigned comparison of two pointer-sized values.
pl_cmp_fn cmp_default_proc(unsigned flags, pl_cmp_fn cmp);
// -1, 0 or 1 by the sign of v.
int cmp_sign(int v);

// A row of a comparator table (the comparator as the row's value), and the
// comparator of val_type in such rows; a type without a row logs
// "val_type=%d not support" with a stack dump and answers NULL.
pl_idtab_t cmp_table_row(int val_type, pl_cmp_fn cmp);
pl_cmp_fn cmp_table_get(int val_type, const pl_idtab_t *rows, int count);

// Value comparators: the arguments are the values themselves (a text, a
// number or pointer passed as a pointer-sized value).
int cmp_u64(const void *a, const void *b); // unsigned 64 bits
int cmp_u32(const void *a, const void *b); // low 32 bits, unsigned
int cmp_i32(const void *a, const void *b); // low 32 bits, signed
int cmp_ptr(const void *a, const void *b); // pointer-sized, unsigned
int cmp_str(const void *a, const void *b); // strcmp
int cmp_i64(const void *a, const void *b); // signed 64 bits
// Element comparators: the arguments are the addresses of the elements.
int cmp_u8p(const void *a, const void *b);
int cmp_u16p(const void *a, const void *b);
int cmp_u32p(const void *a, const void *b);
int cmp_i32p(const void *a, const void *b);
int cmp_u64pv(const void *a, const void *b); // u64 elements
int cmp_u64p(const void *a, const void *b);  // pointer-sized elements
int cmp_i64p(const void *a, const void *b);
int cmp_strp(const void *a, const void *b); // text-pointer elements
// Elements are pointers to records whose first field is a text pointer.
int cmp_struct_str(const void *a, const void *b);
// The same with the sign reversed.
int cmp_u64_desc(const void *a, const void *b);
int cmp_u32_desc(const void *a, const void *b);
int cmp_i32_desc(const void *a, const void *b);
int cmp_ptr_desc(const void *a, const void *b);
int cmp_str_desc(const void *a, const void *b);
int cmp_u8p_desc(const void *a, const void *b);
int cmp_u16p_desc(const void *a, const void *b);
int cmp_u32p_desc(const void *a, const void *b);
int cmp_i32p_desc(const void *a, const void *b);
int cmp_u64pv_desc(const void *a, const void *b);
int cmp_u64p_desc(const void *a, const void *b);
int cmp_i64p_desc(const void *a, const void *b);
int cmp_strp_desc(const void *a, const void *b);
int cmp_struct_str_desc(const void *a, const void *b);

// ---- typed shortcuts (ascending) -------------------------------------------------
void pl_sort_u8(uint8_t *base, size_t n);
void pl_sort_strp(const char **base, size_t n);
// base holds pointers to records whose first field is a text pointer.
void pl_sort_struct_str(void *base, size_t n);
void pl_sort_u64(uint64_t *base, size_t n);
// Index of key in sorted text pointers, or -1.
int64_t str_array_bsearch(const char *const *base, size_t n, const char *key);
// Index of the record whose first field equals key, in record pointers
// sorted by that field, or -1.
int64_t str_struct_array_bsearch(const void *base, size_t n, const char *key);

// ---- pieces of the sort entry point -----------------------------------------------
// Algorithm 0: leaves the array as it is.
void pl_qsort_nop(void *base, size_t count, size_t size, pl_cmp_r_fn cmp, void *ctx);
// A three-argument comparator with its context, called through a thunk that
// takes the pair first.
struct pl_qsort_pair_t {
    void *ctx;
    pl_cmp_r_fn cmp;
};
// pair->cmp(a, b, pair->ctx).
int pl_qsort_ctx_thunk(void *pair, const void *a, const void *b);
