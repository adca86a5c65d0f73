// Typed values and the find comparators.
#include "libpal/value/pl_value.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/utils/pl_sort.h"

#define TAG "pal"

namespace {

void unsupported(int type, bool dump)
{
    LOG_ERR(TAG, "unsupport type=%d\n", type);
    if (dump)
        pl_dump_stack();
}

// True when text is a zero written as str_atoi reads it: blanks, an
// optional sign, zeros, blanks.
bool is_zero_text(const char *p)
{
    while (isspace((unsigned char)*p))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    if (*p != '0')
        return false;
    while (*p == '0')
        ++p;
    while (isspace((unsigned char)*p))
        ++p;
    return *p == '\0';
}

// A double truncated towards zero into the i64 range; NaN the smallest i64.
int64_t double_to_i64(double d)
{
    if (std::isnan(d))
        return std::numeric_limits<int64_t>::min();
    if (d >= 9223372036854775808.0)
        return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0)
        return std::numeric_limits<int64_t>::min();
    return (int64_t)d;
}

} // namespace

namespace {
// The int a type 22 or 23 value holds or points to; NULL for a NULL
// pointer, and for another type after logging it.
int *int_of(const value2_t *val)
{
    if (val->type == VALUE_TYPE_INT)
        return const_cast<int *>(&val->v.i32);
    if (val->type == VALUE_TYPE_INTP)
        return val->v.pint;
    unsupported(val->type, false);
    return nullptr;
}
} // namespace

int value2_set_str(value2_t *val, const char *text)
{
    PL_ASSERT_RET(TAG, val != NULL, -1);
    int *target = int_of(val);
    if (!target || !text)
        return -1;
    int n = str_atoi(text);
    if (n == 0 && !is_zero_text(text))
        return -1; // str_atoi has logged why
    *target = n;
    return 0;
}

int value2_get_str(const value2_t *val, char *buf, size_t size)
{
    PL_ASSERT_RET(TAG, val != NULL, -1);
    const int *source = int_of(val);
    if (!source)
        return -1;
    int n = str_sprintf_s(buf, size, "%d", *source);
    return STR_FMT_OK(n, size) ? 0 : -1;
}

uint64_t value2_get_u64(const value2_t *val)
{
    switch (val->type) {
    case VALUE_TYPE_I64:
    case VALUE_TYPE_U64:
        return val->v.u64;
    case VALUE_TYPE_I32:
        return (uint64_t)(int64_t)val->v.i32;
    case VALUE_TYPE_U32:
        return val->v.u32;
    case VALUE_TYPE_DOUBLE: {
        double d = val->v.dbl;
        if (std::isnan(d) || d < 0)
            return (uint64_t)double_to_i64(d);
        if (d >= 18446744073709551616.0)
            return std::numeric_limits<uint64_t>::max();
        return (uint64_t)d;
    }
    default:
        unsupported(val->type, true);
        return std::numeric_limits<uint64_t>::max();
    }
}

int64_t value2_get_i64(const value2_t *val)
{
    if (val->type == VALUE_TYPE_DOUBLE)
        return double_to_i64(val->v.dbl);
    return (int64_t)value2_get_u64(val);
}

double value2_get_double(const value2_t *val)
{
    switch (val->type) {
    case VALUE_TYPE_I64:
        return (double)val->v.i64;
    case VALUE_TYPE_U64:
        return (double)val->v.u64;
    case VALUE_TYPE_I32:
        return (double)val->v.i32;
    case VALUE_TYPE_U32:
        return (double)val->v.u32;
    case VALUE_TYPE_DOUBLE:
        return val->v.dbl;
    default:
        unsupported(val->type, true);
        return -1.0;
    }
}

int value2_minus(value2_t *val)
{
    switch (val->type) {
    case VALUE_TYPE_I32: {
        int32_t x = val->v.i32;
        // -INT32_MIN does not exist: it stays, reported as the overflow.
        val->v.i32 = x == std::numeric_limits<int32_t>::min() ? x : -x;
        return x < 0 ? -2 : 0;
    }
    case VALUE_TYPE_I64: {
        int64_t x = val->v.i64;
        val->v.i64 = x == std::numeric_limits<int64_t>::min() ? x : -x;
        return x < 0 ? -2 : 0;
    }
    case VALUE_TYPE_DOUBLE: {
        double x = val->v.dbl;
        val->v.dbl = -x;
        return x < 0 ? -2 : 0;
    }
    case VALUE_TYPE_U32: {
        uint32_t m = val->v.u32;
        val->type = VALUE_TYPE_I64;
        val->v.i64 = -(int64_t)m;
        return 0;
    }
    case VALUE_TYPE_U64: {
        uint64_t m = val->v.u64;
        if (m > (uint64_t)1 << 63)
            return -2;
        val->type = VALUE_TYPE_I64;
        val->v.i64 = m == (uint64_t)1 << 63 ? std::numeric_limits<int64_t>::min() : -(int64_t)m;
        return 0;
    }
    default:
        unsupported(val->type, true);
        return -1;
    }
}

// ---- find comparators ---------------------------------------------------------

namespace {
template <typename T> int three_way(T x, T y) { return x < y ? -1 : x > y ? 1 : 0; }
template <typename T> T key_of(const void *k) { return (T)(uintptr_t)k; }
template <typename T> T elem_of(const void *p)
{
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}
int text_sign(const char *a, const char *b)
{
    int c = strcmp(a, b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}
} // namespace

int cmp2_strp(const void *key, const void *elem) { return text_sign((const char *)key, elem_of<const char *>(elem)); }
int cmp2_u8p(const void *key, const void *elem) { return three_way(key_of<uint8_t>(key), elem_of<uint8_t>(elem)); }
int cmp2_u16p(const void *key, const void *elem) { return three_way(key_of<uint16_t>(key), elem_of<uint16_t>(elem)); }
int cmp2_u32p(const void *key, const void *elem) { return three_way(key_of<uint32_t>(key), elem_of<uint32_t>(elem)); }
int cmp2_i32p(const void *key, const void *elem)
{
    return three_way((int32_t)key_of<uint32_t>(key), elem_of<int32_t>(elem));
}
int cmp2_u64p(const void *key, const void *elem) { return three_way(key_of<uint64_t>(key), elem_of<uint64_t>(elem)); }
int cmp2_ptrp(const void *key, const void *elem) { return three_way(key_of<uintptr_t>(key), elem_of<uintptr_t>(elem)); }
int cmp2_i64(const void *key, const void *elem)
{
    return three_way((int64_t)key_of<uint64_t>(key), elem_of<int64_t>(elem));
}
int cmp2_struct_str(const void *key, const void *elem)
{
    const char *const *rec = elem_of<const char *const *>(elem);
    return text_sign((const char *)key, *rec);
}

namespace {
const pl_idtab_t s_find[] = {
    cmp_table_row(VALUE_TYPE_STRP, cmp2_strp), cmp_table_row(VALUE_TYPE_U8P, cmp2_u8p),
    cmp_table_row(VALUE_TYPE_INTP, cmp2_i32p), cmp_table_row(VALUE_TYPE_U64P, cmp2_u64p),
    cmp_table_row(VALUE_TYPE_PTRP, cmp2_ptrp), cmp_table_row(VALUE_TYPE_U16P, cmp2_u16p),
    cmp_table_row(VALUE_TYPE_U32P, cmp2_u32p),
};
} // namespace

pl_find_fn cmp2_val_get_find_proc(int val_type)
{
    return cmp_table_get(val_type, s_find, (int)(sizeof(s_find) / sizeof(s_find[0])));
}
