// pl_vector: growable arrays of fixed-size elements, one type per element
// kind (u8, int, u16, u32, u64, pointer), all with the same layout and the
// same operations.
//
// Layout: data, count (elements in use), capacity. The storage always holds
// capacity + 1 elements and every element from count on is zero, so
// data[count] reads as 0 (NULL for the pointer array).
//
// No locking: the owner of an array serialises access. Nothing allocated
// here is shared between arrays.
#pragma once
#include <cstddef>
#include <cstdint>

struct u8_vector_t {
    uint8_t *data;
    uint64_t count;
    uint64_t capacity;
};
struct int_vector_t {
    int32_t *data;
    uint64_t count;
    uint64_t capacity;
};
struct u16_vector_t {
    uint16_t *data;
    uint64_t count;
    uint64_t capacity;
};
struct u32_vector_t {
    uint32_t *data;
    uint64_t count;
    uint64_t capacity;
};
struct u64_vector_t {
    uint64_t *data;
    uint64_t count;
    uint64_t capacity;
};
struct ptr_vector_t {
    void **data;
    uint64_t count;
    uint64_t capacity;
};

// Index or count with all bits set: "the last element" for erase, "up to the
// end" for erase_n.
#define PL_VECTOR_ALL UINT64_MAX

// The twelve operations of every member, declared per prefix:
//  P_vector_new(capacity) -> new array (capacity 0 means 8), or NULL when
//      memory runs out. Free with P_vector_free.
//  P_vector_push_back(a, v) -> 0, or -1 when growing fails (a unchanged).
//  P_vector_insert(a, index, v) -> 0, or -1 when index > count or growing
//      fails; index == count appends.
//  P_vector_erase(a, index) -> 0, or -1 when index >= count; PL_VECTOR_ALL is
//      the last element; on an empty array nothing happens and 0 is returned.
//  P_vector_erase_n(a, index, n) -> 0, or -1 when index >= count; removes
//      min(n, count - index) elements; empty array: 0, nothing happens.
//  P_vector_remove(a, v) -> former index of the first element equal to v
//      (removed), or -1.
//  P_vector_free(a): frees storage and record (not what pointers point to).
//  P_vector_clear(a): zeroes the elements in use, count 0, storage kept.
//  P_vector_sort(a, reverse): ascending, or descending when reverse != 0.
//  P_vector_sort_order(a) -> 0 unsorted, 1 all equal or fewer than two,
//      2 ascending, 3 descending.
//  P_vector_uniq(a): drops adjacent duplicates, keeping the first of each run.
//  P_vector_find(a, key) -> index of an equal element by binary search, or
//      -1; the array must be sorted ascending.
#define PL_VECTOR_DECLARE(P, T)                                                                                         \
    P##_vector_t *P##_vector_new(uint64_t capacity);                                                                    \
    int P##_vector_push_back(P##_vector_t *a, T v);                                                                     \
    int P##_vector_insert(P##_vector_t *a, uint64_t index, T v);                                                        \
    int P##_vector_erase(P##_vector_t *a, uint64_t index);                                                              \
    int P##_vector_erase_n(P##_vector_t *a, uint64_t index, uint64_t n);                                                \
    int64_t P##_vector_remove(P##_vector_t *a, T v);                                                                    \
    void P##_vector_free(P##_vector_t *a);                                                                              \
    void P##_vector_clear(P##_vector_t *a);                                                                             \
    void P##_vector_sort(P##_vector_t *a, int reverse);                                                                 \
    int P##_vector_sort_order(const P##_vector_t *a);                                                                   \
    void P##_vector_uniq(P##_vector_t *a);                                                                              \
    int64_t P##_vector_find(const P##_vector_t *a, T key);

PL_VECTOR_DECLARE(u8, uint8_t)
PL_VECTOR_DECLARE(int, int32_t)
PL_VECTOR_DECLARE(u16, uint16_t)
PL_VECTOR_DECLARE(u32, uint32_t)
PL_VECTOR_DECLARE(u64, uint64_t)
PL_VECTOR_DECLARE(ptr, void *)

// Index of the first element equal to p (linear scan), or -1.
int64_t ptr_vector_index_of(const ptr_vector_t *a, const void *p);
// Sorts with the caller's comparator, which receives the addresses of two
// elements (so each argument is a `void **` in disguise).
void ptr_vector_sort_with(ptr_vector_t *a, int (*cmp)(const void *, const void *));
