// Typed dynamic arrays. One template does the work for every element type;
// the named functions of the header are thin wrappers around it. Sorting,
// ordering, de-duplication and search go through the comparator tables of
// each member's value type.
#include "libpal/utils/pl_vector.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "libpal/basic/pl_base.h"
#include "libpal/utils/pl_sort.h"
#include "libpal/value/pl_value.h"

namespace {

// Elements are compared by value: unsigned for the unsigned members and the
// pointer member (pointer values as addresses), signed for the int member.
template <typename T> int cmp_val(T a, T b)
{
    if constexpr (std::is_pointer_v<T>) {
        uintptr_t x = (uintptr_t)a, y = (uintptr_t)b;
        return x < y ? -1 : x > y ? 1 : 0;
    } else {
        return a < b ? -1 : a > b ? 1 : 0;
    }
}

// A key passed by value to a find comparator.
template <typename T> const void *key_arg(T v)
{
    if constexpr (std::is_pointer_v<T>)
        return (const void *)v;
    else
        return (const void *)(uintptr_t)v;
}

template <typename V, typename T> V *vec_new(uint64_t capacity)
{
    if (capacity == 0)
        capacity = 8;
    if (capacity >= SIZE_MAX / sizeof(T) - 1)
        return nullptr;
    V *a = (V *)os_zalloc(sizeof(V));
    if (!a)
        return nullptr;
    a->data = (T *)os_zalloc((size_t)(capacity + 1) * sizeof(T));
    if (!a->data) {
        os_free(a);
        return nullptr;
    }
    a->count = 0;
    a->capacity = capacity;
    return a;
}

// Makes room for one more element; -1 leaves the array untouched.
template <typename V, typename T> int vec_grow(V *a)
{
    if (a->count < a->capacity)
        return 0;
    uint64_t cap = a->count ? 2 * a->count : 8;
    if (a->count > (SIZE_MAX / sizeof(T) - 1) / 2)
        return -1;
    T *p = (T *)os_realloc(a->data, (size_t)(cap + 1) * sizeof(T));
    if (!p)
        return -1;
    memset((void *)(p + a->count), 0, (size_t)(cap + 1 - a->count) * sizeof(T));
    a->data = p;
    a->capacity = cap;
    return 0;
}

template <typename V, typename T> int vec_push_back(V *a, T v)
{
    if (!a || vec_grow<V, T>(a) < 0)
        return -1;
    a->data[a->count++] = v;
    return 0;
}

template <typename V, typename T> int vec_insert(V *a, uint64_t index, T v)
{
    if (!a || index > a->count || vec_grow<V, T>(a) < 0)
        return -1;
    memmove((void *)(a->data + index + 1), a->data + index, (size_t)(a->count - index) * sizeof(T));
    a->data[index] = v;
    a->count++;
    return 0;
}

template <typename V, typename T> int vec_erase_n(V *a, uint64_t index, uint64_t n)
{
    if (!a)
        return -1;
    if (a->count == 0)
        return 0;
    if (index >= a->count)
        return -1;
    uint64_t k = a->count - index;
    if (n < k)
        k = n;
    uint64_t tail = a->count - index - k;
    memmove((void *)(a->data + index), a->data + index + k, (size_t)tail * sizeof(T));
    memset((void *)(a->data + a->count - k), 0, (size_t)k * sizeof(T));
    a->count -= k;
    return 0;
}

template <typename V, typename T> int vec_erase(V *a, uint64_t index)
{
    if (a && a->count && index == PL_VECTOR_ALL)
        index = a->count - 1;
    return vec_erase_n<V, T>(a, index, 1);
}

template <typename V, typename T> int64_t vec_remove(V *a, T v)
{
    if (!a)
        return -1;
    for (uint64_t i = 0; i < a->count; ++i) {
        if (cmp_val(a->data[i], v) == 0) {
            vec_erase_n<V, T>(a, i, 1);
            return (int64_t)i;
        }
    }
    return -1;
}

template <typename V> void vec_free(V *a)
{
    if (!a)
        return;
    os_free(a->data);
    os_free(a);
}

template <typename V, typename T> void vec_clear(V *a)
{
    if (!a)
        return;
    memset((void *)a->data, 0, (size_t)a->count * sizeof(T));
    a->count = 0;
}

template <typename V, typename T, int VT> void vec_sort(V *a, int reverse)
{
    if (!a || a->count < 2)
        return;
    if (pl_cmp_fn cmp = cmp_val_get_proc(VT, reverse))
        pl_qsort((void *)a->data, (size_t)a->count, sizeof(T), cmp);
}

template <typename V, typename T, int VT> int vec_sort_order(const V *a)
{
    if (!a || a->count < 2)
        return 1;
    pl_cmp_fn cmp = cmp_val_get_proc(VT, 0);
    return cmp ? pl_sort_order(a->data, (size_t)a->count, sizeof(T), cmp) : 0;
}

template <typename V, typename T, int VT> void vec_uniq(V *a)
{
    if (!a || a->count < 2)
        return;
    pl_cmp_fn cmp = cmp_val_get_proc(VT, 0);
    if (!cmp)
        return;
    uint64_t kept = 1;
    for (uint64_t i = 1; i < a->count; ++i) {
        if (cmp(&a->data[i], &a->data[kept - 1]) != 0)
            a->data[kept++] = a->data[i];
    }
    memset((void *)(a->data + kept), 0, (size_t)(a->count - kept) * sizeof(T));
    a->count = kept;
}

template <typename V, typename T, int VT> int64_t vec_find(const V *a, T key)
{
    if (!a)
        return -1;
    pl_find_fn find = cmp2_val_get_find_proc(VT);
    return find ? pl_bsearch(key_arg(key), a->data, (size_t)a->count, sizeof(T), find) : -1;
}

} // namespace

#define PL_VECTOR_DEFINE(P, T, VT)                                                                                      \
    P##_vector_t *P##_vector_new(uint64_t capacity) { return vec_new<P##_vector_t, T>(capacity); }                      \
    int P##_vector_push_back(P##_vector_t *a, T v) { return vec_push_back<P##_vector_t, T>(a, v); }                     \
    int P##_vector_insert(P##_vector_t *a, uint64_t index, T v) { return vec_insert<P##_vector_t, T>(a, index, v); }    \
    int P##_vector_erase(P##_vector_t *a, uint64_t index) { return vec_erase<P##_vector_t, T>(a, index); }              \
    int P##_vector_erase_n(P##_vector_t *a, uint64_t index, uint64_t n)                                                 \
    {                                                                                                                   \
        return vec_erase_n<P##_vector_t, T>(a, index, n);                                                               \
    }                                                                                                                   \
    int64_t P##_vector_remove(P##_vector_t *a, T v) { return vec_remove<P##_vector_t, T>(a, v); }                       \
    void P##_vector_free(P##_vector_t *a) { vec_free(a); }                                                              \
    void P##_vector_clear(P##_vector_t *a) { vec_clear<P##_vector_t, T>(a); }                                           \
    void P##_vector_sort(P##_vector_t *a, int reverse) { vec_sort<P##_vector_t, T, VT>(a, reverse); }                   \
    int P##_vector_sort_order(const P##_vector_t *a) { return vec_sort_order<P##_vector_t, T, VT>(a); }                 \
    void P##_vector_uniq(P##_vector_t *a) { vec_uniq<P##_vector_t, T, VT>(a); }                                         \
    int64_t P##_vector_find(const P##_vector_t *a, T key) { return vec_find<P##_vector_t, T, VT>(a, key); }

PL_VECTOR_DEFINE(u8, uint8_t, VALUE_TYPE_U8P)
PL_VECTOR_DEFINE(int, int32_t, VALUE_TYPE_INTP)
PL_VECTOR_DEFINE(u16, uint16_t, VALUE_TYPE_U16P)
PL_VECTOR_DEFINE(u32, uint32_t, VALUE_TYPE_U32P)
PL_VECTOR_DEFINE(u64, uint64_t, VALUE_TYPE_U64P)
PL_VECTOR_DEFINE(ptr, void *, VALUE_TYPE_PTRP)

int64_t ptr_vector_index_of(const ptr_vector_t *a, const void *p)
{
    if (!a)
        return -1;
    for (uint64_t i = 0; i < a->count; ++i)
        if (a->data[i] == p)
            return (int64_t)i;
    return -1;
}

void ptr_vector_sort_with(ptr_vector_t *a, int (*cmp)(const void *, const void *))
{
    if (!a || !cmp || a->count < 2)
        return;
    pl_qsort((void *)a->data, (size_t)a->count, sizeof(void *), cmp);
}
