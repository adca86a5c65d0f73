// Number texts written like source-code literals (decimal, octal with a
// leading 0, 0x and 0b prefixes, L and U suffixes, decimal and binary
// exponents) into typed values, the range check of integer settings, and
// character-class tests.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"

#define TAG "pal"

namespace {

constexpr size_t TEXT_MAX = 8192;
constexpr size_t TOKEN_MAX = 1024;

int digit_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool is_radix_digit(unsigned char c, int radix)
{
    int d = digit_value(c);
    return d >= 0 && d < radix;
}

bool is_dec(unsigned char c) { return c >= '0' && c <= '9'; }

// Bits a digit of a power-of-two radix carries.
int radix_bits(int radix) { return radix == 16 ? 4 : radix == 8 ? 3 : radix == 4 ? 2 : 1; }

// A parse in progress: the trimmed text (for messages) and whether to log.
struct parse_ctx {
    const char *text;
    int report;
    bool failed;
    value2_t fail(const char *fmt)
    {
        failed = true;
        if (report) {
            log2_printf(nullptr, LOG2_ERR, TAG, __FILE__, __LINE__, "str_parse_all_number_imp", fmt, text);
            pl_dump_stack();
        }
        value2_t v{};
        v.type = VALUE_TYPE_U64;
        v.v.u64 = 0;
        return v;
    }
};

// Decimal exponent digits after 'e' or binary ones after 'p': an optional
// sign and at least one digit. Moves p past them; false when there is none.
bool skip_exponent(const char *&p, long *value)
{
    const char *q = p;
    bool neg = false;
    if (*q == '+' || *q == '-')
        neg = *q++ == '-';
    if (!is_dec((unsigned char)*q))
        return false;
    long v = 0;
    for (; is_dec((unsigned char)*q); ++q)
        if (v < 100000) // far beyond any double's range; stops growing there
            v = v * 10 + (*q - '0');
    *value = neg ? -v : v;
    p = q;
    return true;
}

value2_t parse_decimal_float(parse_ctx &ctx, const char *start, const char *p)
{
    // p is at '.', 'e' or 'E' after the integer digits.
    size_t digits = (size_t)(p - start);
    if (*p == '.')
        for (++p; is_dec((unsigned char)*p); ++p)
            ++digits;
    if (digits == 0)
        return ctx.fail("[%s] invalid digit\n");
    if (*p == 'e' || *p == 'E') {
        ++p;
        long ignored;
        if (!skip_exponent(p, &ignored))
            return ctx.fail("[%s] exponent digits\n");
    }
    if ((size_t)(p - start) >= TOKEN_MAX)
        return ctx.fail("[%s] number too long\n");
    char token[TOKEN_MAX];
    memcpy(token, start, (size_t)(p - start));
    token[p - start] = '\0';
    value2_t v{};
    v.type = VALUE_TYPE_DOUBLE;
    v.v.dbl = strtod(token, nullptr);
    return v;
}

value2_t parse_binary_float(parse_ctx &ctx, const char *start, const char *p, int radix)
{
    // p is after the integer digits, at '.', 'p' or 'P'. The mantissa keeps
    // the leading 64 bits; digits beyond them scale the exponent (integer
    // digits) or are dropped (fraction digits).
    const int bits = radix_bits(radix);
    uint64_t mant = 0;
    long shift = 0;
    size_t digits = 0;
    auto take = [&](unsigned char c, bool fraction) {
        ++digits;
        if (mant >> (64 - bits) == 0) {
            mant = mant * (unsigned)radix + (unsigned)digit_value(c);
            if (fraction)
                shift -= bits;
        } else if (!fraction) {
            shift += bits;
        }
    };
    for (const char *q = start; q < p; ++q)
        take((unsigned char)*q, false);
    if (*p == '.')
        for (++p; is_radix_digit((unsigned char)*p, radix); ++p)
            take((unsigned char)*p, true);
    if ((size_t)(p - start) >= TOKEN_MAX)
        return ctx.fail("[%s] number too long\n");
    if (digits == 0)
        return ctx.fail("[%s] invalid digit\n");
    if (*p != 'p' && *p != 'P')
        return ctx.fail("[%s] exponent\n");
    ++p;
    long exp;
    if (!skip_exponent(p, &exp))
        return ctx.fail("[%s] exponent digits\n");
    value2_t v{};
    v.type = VALUE_TYPE_DOUBLE;
    v.v.dbl = ldexp((double)mant, (int)(exp + shift));
    return v;
}

value2_t parse_integer(parse_ctx &ctx, const char *start, const char *p, int radix)
{
    if (p == start)
        return ctx.fail("[%s] invalid digit\n");
    if ((size_t)(p - start) >= TOKEN_MAX)
        return ctx.fail("[%s] number too long\n");
    // Decimal text with a leading 0 is octal, as in source code.
    const int ir = radix == 10 && *start == '0' ? 8 : radix;
    uint64_t n = 0;
    for (const char *q = start; q < p; ++q) {
        int d = digit_value((unsigned char)*q);
        if (d >= ir)
            return ctx.fail("[%s] invalid digit\n");
        if (n > (UINT64_MAX - (unsigned)d) / (unsigned)ir)
            return ctx.fail("[%s] integer constant overflow");
        n = n * (unsigned)ir + (unsigned)d;
    }
    value2_t v{};
    v.v.u64 = n;
    v.type = n > 0xFFFFFFFFull   ? (n >> 63 ? VALUE_TYPE_U64 : VALUE_TYPE_I64)
             : n > 0x7FFFFFFFull ? VALUE_TYPE_U32
                                 : VALUE_TYPE_I32;
    if (v.type == VALUE_TYPE_I32)
        v.v.i32 = (int32_t)n;
    else if (v.type == VALUE_TYPE_U32)
        v.v.u32 = (uint32_t)n;
    int longs = 0, unsigneds = 0;
    for (; *p == 'l' || *p == 'L' || *p == 'u' || *p == 'U'; ++p) {
        if (*p == 'l' || *p == 'L') {
            if (++longs > 2)
                return ctx.fail("[%s] invalid suffix\n");
            if (longs == 2 && (v.type == VALUE_TYPE_I32 || v.type == VALUE_TYPE_U32)) {
                v.type = v.type == VALUE_TYPE_I32 ? VALUE_TYPE_I64 : VALUE_TYPE_U64;
                v.v.u64 = n;
            }
        } else {
            if (++unsigneds > 1)
                return ctx.fail("[%s] invalid suffix\n");
            if (v.type == VALUE_TYPE_I32)
                v.type = VALUE_TYPE_U32;
            else if (v.type == VALUE_TYPE_I64)
                v.type = VALUE_TYPE_U64;
        }
    }
    return v;
}

value2_t str_parse_all_number_imp(const char *text, int radix, int report)
{
    char buf[TEXT_MAX];
    parse_ctx ctx{text ? text : "(null)", report, false};
    if (!text)
        return ctx.fail("[%s] invalid digit\n");
    if (strlen(text) >= sizeof(buf))
        return ctx.fail("[%s] number too long\n");
    memcpy(buf, text, strlen(text) + 1);
    str_trim(buf);
    ctx.text = buf;
    if (radix != 0 && radix != 2 && radix != 8 && radix != 10 && radix != 16)
        return ctx.fail("[%s] invalid digit\n");

    const char *p = buf;
    const bool neg = *p == '-';
    if (neg)
        ++p;
    // A prefix wins over the radix asked for. Without one, automatic is
    // decimal: a leading 0 then makes an integer octal, while "0.5" stays a
    // decimal fraction, as in source code.
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        radix = 16;
        p += 2;
    } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) {
        radix = 2;
        p += 2;
    } else if (radix == 0) {
        radix = 10;
    }
    const char *start = p;
    while (is_radix_digit((unsigned char)*p, radix))
        ++p;

    value2_t v;
    if (radix == 10 && (*p == '.' || ((*p == 'e' || *p == 'E') && p > start)))
        v = parse_decimal_float(ctx, start, p);
    else if ((radix != 10 && *p == '.') || ((radix == 16 || radix == 2) && (*p == 'p' || *p == 'P')))
        v = parse_binary_float(ctx, start, p, radix);
    else
        v = parse_integer(ctx, start, p, radix);
    if (!neg || ctx.failed)
        return v;
    if (value2_minus(&v) == -2)
        return ctx.fail("overflow [%s]");
    return v;
}

} // namespace

value2_t str_parse_all_number_s(const char *text, int radix, int report)
{
    return str_parse_all_number_imp(text, radix, report);
}

uint64_t str_num_to_u64(const char *text)
{
    value2_t v = str_parse_all_number_s(text, 10, 0);
    return value2_get_u64(&v);
}

int64_t str_num_to_i64(const char *text)
{
    value2_t v = str_parse_all_number_s(text, 10, 0);
    return value2_get_i64(&v);
}

double str_num_to_double(const char *text)
{
    value2_t v = str_parse_all_number_s(text, 10, 0);
    return value2_get_double(&v);
}

uint64_t str_hex_to_u64(const char *text)
{
    value2_t v = str_parse_all_number_s(text, 16, 0);
    return value2_get_u64(&v);
}

int var_int_check(int value, const char *name, int min, int max, int fix)
{
    if (value < min) {
        if (name)
            LOG_WARN(TAG, "[%s]=%d < min=%d fix=%d", name, value, min, fix);
        return fix;
    }
    if (max != 0 && value > max) {
        if (name)
            LOG_WARN(TAG, "[%s]=%d > max=%d fix=%d", name, value, max, fix);
        return fix;
    }
    return value;
}

int str_is_char_class(const char *text, int classes)
{
    if (!text)
        return 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        bool letter = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z');
        bool digit = is_dec(*p);
        bool hex = digit || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F');
        if (!((classes & STR_CLASS_ALPHA) && letter) && !((classes & STR_CLASS_DIGIT) && digit) &&
            !((classes & STR_CLASS_XDIGIT) && hex))
            return 0;
    }
    return 1;
}
