// Typed values: text setters and getters, conversions at and beyond the
// limits, negation, and the find comparators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "libpal/utils/pl_sort.h"
#include "libpal/value/pl_value.h"
#include "test_util.h"

namespace {

value2_t of_double(double d)
{
    value2_t v{};
    v.type = VALUE_TYPE_DOUBLE;
    v.v.dbl = d;
    return v;
}

TEST(Value, IntFromAndToText)
{
    zk_test::log_capture cap;
    value2_t v{};
    v.type = VALUE_TYPE_INT;
    ASSERT_EQ(value2_set_str(&v, "42"), 0);
    char buf[32];
    ASSERT_EQ(value2_get_str(&v, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "42");
    // Text that is no int leaves the value and says so.
    for (const char *bad : {"abc", "", "12x", "99999999999", "1.5"}) {
        EXPECT_EQ(value2_set_str(&v, bad), -1) << bad;
        EXPECT_EQ(v.v.i32, 42) << bad;
    }
    EXPECT_EQ(value2_set_str(&v, nullptr), -1);
    for (const char *zero : {"0", " -0 ", "000"}) {
        v.v.i32 = 5;
        EXPECT_EQ(value2_set_str(&v, zero), 0) << zero;
        EXPECT_EQ(v.v.i32, 0);
    }
    ASSERT_EQ(value2_set_str(&v, "-2147483648"), 0);
    EXPECT_EQ(v.v.i32, INT32_MIN);
    EXPECT_EQ(value2_get_str(&v, buf, 5), -1); // does not fit
    EXPECT_STREQ(buf, "");

    int target = 1;
    value2_t p{};
    p.type = VALUE_TYPE_INTP;
    p.v.pint = &target;
    ASSERT_EQ(value2_set_str(&p, "7"), 0);
    EXPECT_EQ(target, 7);
    ASSERT_EQ(value2_get_str(&p, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "7");

    value2_t s{};
    s.type = VALUE_TYPE_STRING;
    cap.lines().clear();
    EXPECT_EQ(value2_set_str(&s, "1"), -1);
    EXPECT_EQ(value2_get_str(&s, buf, sizeof(buf)), -1);
    EXPECT_EQ(cap.count("unsupport type=28"), 2u);
}

TEST(Value, NumericGettersAtTheLimits)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct {
        double d;
        int64_t i64;
        uint64_t u64;
    } rows[] = {
        {2.9, 2, 2},
        {-2.9, -2, (uint64_t)-2},
        {nan, INT64_MIN, (uint64_t)INT64_MIN},
        {1e30, INT64_MAX, UINT64_MAX},
        {-1e30, INT64_MIN, (uint64_t)INT64_MIN},
        {9223372036854775808.0, INT64_MAX, 9223372036854775808ull},
        {18446744073709551616.0, INT64_MAX, UINT64_MAX},
        {-9223372036854775808.0, INT64_MIN, (uint64_t)INT64_MIN},
        {HUGE_VAL, INT64_MAX, UINT64_MAX},
        {-HUGE_VAL, INT64_MIN, (uint64_t)INT64_MIN},
        {0.0, 0, 0},
    };
    for (auto &r : rows) {
        value2_t v = of_double(r.d);
        EXPECT_EQ(value2_get_i64(&v), r.i64) << r.d;
        EXPECT_EQ(value2_get_u64(&v), r.u64) << r.d;
    }
    value2_t v{};
    v.type = VALUE_TYPE_I32;
    v.v.i32 = -7;
    EXPECT_EQ(value2_get_u64(&v), (uint64_t)-7);
    EXPECT_EQ(value2_get_i64(&v), -7);
    EXPECT_EQ(value2_get_double(&v), -7.0);
    v.type = VALUE_TYPE_U32;
    v.v.u32 = 4000000000u;
    EXPECT_EQ(value2_get_i64(&v), 4000000000);
    EXPECT_EQ(value2_get_double(&v), 4e9);
    v.type = VALUE_TYPE_U64;
    v.v.u64 = UINT64_MAX;
    EXPECT_EQ(value2_get_i64(&v), -1);
    EXPECT_EQ(value2_get_double(&v), 18446744073709551616.0);

    zk_test::log_capture cap;
    v.type = VALUE_TYPE_STRING;
    EXPECT_EQ(value2_get_u64(&v), UINT64_MAX);
    EXPECT_EQ(value2_get_double(&v), -1.0);
    EXPECT_EQ(cap.count("unsupport type=28"), 2u);
}

TEST(Value, Minus)
{
    struct {
        int type;
        int64_t in; // the stored number (u32/i32 in the low half)
        int ret;
        int out_type;
        int64_t out;
    } rows[] = {
        {VALUE_TYPE_I32, 5, 0, VALUE_TYPE_I32, -5},
        {VALUE_TYPE_I32, -5, -2, VALUE_TYPE_I32, 5},
        {VALUE_TYPE_I64, 1ll << 40, 0, VALUE_TYPE_I64, -(1ll << 40)},
        {VALUE_TYPE_I64, -3, -2, VALUE_TYPE_I64, 3},
        {VALUE_TYPE_U32, 3000000000ll, 0, VALUE_TYPE_I64, -3000000000ll},
        {VALUE_TYPE_U32, 2147483648ll, 0, VALUE_TYPE_I64, -2147483648ll},
        {VALUE_TYPE_U64, 5, 0, VALUE_TYPE_I64, -5},
        {VALUE_TYPE_U64, INT64_MIN, 0, VALUE_TYPE_I64, INT64_MIN}, // 2^63
        {VALUE_TYPE_U64, -1, -2, VALUE_TYPE_U64, -1},              // above 2^63: left as it was
    };
    for (auto &r : rows) {
        value2_t v{};
        v.type = r.type;
        if (r.type == VALUE_TYPE_I32)
            v.v.i32 = (int32_t)r.in;
        else if (r.type == VALUE_TYPE_U32)
            v.v.u32 = (uint32_t)r.in;
        else
            v.v.i64 = r.in;
        SCOPED_TRACE("type " + std::to_string(r.type) + " value " + std::to_string(r.in));
        EXPECT_EQ(value2_minus(&v), r.ret);
        EXPECT_EQ(v.type, r.out_type);
        EXPECT_EQ(v.type == VALUE_TYPE_I32 ? v.v.i32 : v.v.i64, r.out);
    }
    value2_t d = of_double(1.5);
    EXPECT_EQ(value2_minus(&d), 0);
    EXPECT_EQ(d.v.dbl, -1.5);
    EXPECT_EQ(value2_minus(&d), -2);
    zk_test::log_capture cap;
    value2_t s{};
    s.type = VALUE_TYPE_STRP;
    EXPECT_EQ(value2_minus(&s), -1);
    EXPECT_TRUE(cap.has("unsupport type=29"));
}

TEST(Value, FindComparators)
{
    uint8_t b = 200;
    uint16_t h = 60000;
    uint32_t w = 4000000000u;
    int32_t i = -5;
    uint64_t q = UINT64_MAX;
    const char *s = "mid";
    struct {
        int type;
        const void *key, *elem;
        int want;
    } rows[] = {
        {VALUE_TYPE_U8P, (const void *)(uintptr_t)(0x100 + 200), &b, 0}, // low 8 bits of the key
        {VALUE_TYPE_U8P, (const void *)3, &b, -1},
        {VALUE_TYPE_U16P, (const void *)60001, &h, 1},
        {VALUE_TYPE_U32P, (const void *)(uintptr_t)4000000000u, &w, 0},
        {VALUE_TYPE_INTP, (const void *)(intptr_t)-6, &i, -1},
        {VALUE_TYPE_U64P, (const void *)1, &q, -1},
        {VALUE_TYPE_PTRP, (const void *)UINTPTR_MAX, &q, 0},
        {VALUE_TYPE_STRP, "zzz", &s, 1},
    };
    for (auto &r : rows) {
        SCOPED_TRACE("type " + std::to_string(r.type));
        pl_find_fn f = cmp2_val_get_find_proc(r.type);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f(r.key, r.elem), r.want);
    }
    int64_t e = -10;
    EXPECT_EQ(cmp2_i64((const void *)(intptr_t)-11, &e), -1);
    struct Rec {
        const char *name;
    } r1{"apple"};
    Rec *rp = &r1;
    EXPECT_EQ(cmp2_struct_str("apple", &rp), 0);
    EXPECT_EQ(cmp2_struct_str("b", &rp), 1);

    zk_test::log_capture cap;
    EXPECT_EQ(cmp2_val_get_find_proc(VALUE_TYPE_U64), nullptr);
    EXPECT_TRUE(cap.has("val_type=14 not support"));
}

} // namespace
