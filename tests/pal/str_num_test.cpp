// Number and size text: strict parsers with their log lines, size suffixes
// (checked against coreutils where it agrees), versions, booleans and the
// human-readable forms.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <random>
#include <thread>
#include <vector>

#include "libpal/string/str_num.h"
#include "liblog/log2.h"

namespace {

// Records every log line (level and formatted text) while alive.
struct LogCapture {
    struct Line {
        unsigned level;
        std::string text;
    };
    static std::vector<Line> &lines()
    {
        static std::vector<Line> v;
        return v;
    }
    static int hook(unsigned level, const char *, const char *, int, const char *func, int, const char *fmt,
                    va_list va)
    {
        char buf[8192];
        vsnprintf(buf, sizeof(buf), fmt, va);
        // A stack dump is marked, not spelt out: its text depends on the build.
        lines().push_back({level & 0xff, strcmp(func, "pl_dump_stack") == 0 ? std::string("dump") : buf});
        return 0;
    }
    LogCapture()
    {
        lines().clear();
        log2_set_hook(nullptr, hook);
    }
    ~LogCapture() { log2_set_hook(nullptr, nullptr); }
    // The lines logged since the last call ("" when none) as "level:text",
    // a stack dump as "+dump".
    static std::string take()
    {
        std::string r;
        for (auto &l : lines())
            r += l.text == "dump" ? "+dump" : (r.empty() ? "" : "|") + std::to_string(l.level) + ":" + l.text;
        lines().clear();
        return r;
    }
};

std::string sh(const std::string &cmd)
{
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    if (!p)
        return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

const std::string W = "4:", E = "3:";

} // namespace

TEST(StrNum, SignedParsers)
{
    LogCapture log;
    struct Case {
        const char *in;
        int64_t want;
        std::string logged;
    } ints[] = {
        {" 42 ", 42, ""},
        {"+7", 7, ""},
        {"\t-0012\n", -12, ""},
        {"-2147483648", INT32_MIN, ""},
        {"2147483647", INT32_MAX, ""},
        {"2147483648", 0, E + "overflow [2147483648]" "+dump"},
        {"-2147483649", 0, E + "overflow [-2147483649]" "+dump"},
        {"5000000000", 0, E + "overflow [5000000000]" "+dump"},
        {"12a", 0, W + "illegal char [12a]"},
        {"1 2", 0, W + "illegal char [1 2]"},
        {"--1", 0, W + "illegal char [--1]"},
        {"", 0, W + "null str []"},
        {"   ", 0, W + "null str [   ]"},
        {"-", 0, ""},
    };
    for (auto &c : ints) {
        EXPECT_EQ(str_atoi(c.in), c.want) << c.in;
        EXPECT_EQ(LogCapture::take(), c.logged) << c.in;
    }
    struct Case64 {
        const char *in;
        int64_t want;
        std::string logged;
    } lls[] = {
        {"-9223372036854775808", INT64_MIN, ""},
        {"9223372036854775807", INT64_MAX, ""},
        {"9223372036854775808", 0, E + "overflow [9223372036854775808]" "+dump"},
        {"99999999999999999999999", 0, E + "overflow [99999999999999999999999]" "+dump"},
        {" 5000000000", 5000000000LL, ""},
    };
    for (auto &c : lls) {
        EXPECT_EQ(str_atoll(c.in), c.want) << c.in;
        EXPECT_EQ(LogCapture::take(), c.logged) << c.in;
    }
}

TEST(StrNum, UnsignedParsers)
{
    LogCapture log;
    struct Case {
        uint64_t (*fn)(const char *);
        const char *in;
        uint64_t want;
        std::string logged;
    } cases[] = {
        {[](const char *s) -> uint64_t { return str_ato8u(s); }, "255", 255, ""},
        {[](const char *s) -> uint64_t { return str_ato8u(s); }, "256", 0, E + "overflow [256]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato8u(s); }, "300", 0, E + "overflow [300]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato8u(s); }, "-1", 0, W + "illegal char [-1]"},
        {[](const char *s) -> uint64_t { return str_ato8u(s); }, "+1", 0, W + "illegal char [+1]"},
        {[](const char *s) -> uint64_t { return str_ato16u(s); }, "65535", 65535, ""},
        {[](const char *s) -> uint64_t { return str_ato16u(s); }, "65536", 0, E + "overflow [65536]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato32u(s); }, " 4294967295 ", 4294967295u, ""},
        {[](const char *s) -> uint64_t { return str_ato32u(s); }, "4294967296", 0, E + "overflow [4294967296]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato64u(s); }, "18446744073709551615", UINT64_MAX, ""},
        {[](const char *s) -> uint64_t { return str_ato64u(s); }, "18446744073709551616", 0,
         E + "overflow [18446744073709551616]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato64u(s); }, "", 0, W + "null str []"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(c.fn(c.in), c.want) << c.in;
        EXPECT_EQ(LogCapture::take(), c.logged) << c.in;
    }
}

TEST(StrNum, HexParsersRefuseValuesThatDoNotFit)
{
    LogCapture log;
    struct Case {
        uint64_t (*fn)(const char *);
        const char *in;
        uint64_t want;
        std::string logged;
    } cases[] = {
        {[](const char *s) -> uint64_t { return str_ato8x(s); }, "ff", 255, ""},
        {[](const char *s) -> uint64_t { return str_ato8x(s); }, "FF", 255, ""},
        {[](const char *s) -> uint64_t { return str_ato8x(s); }, "00ff", 255, ""},
        // A value that does not fit answers 0, never its low digits.
        {[](const char *s) -> uint64_t { return str_ato8x(s); }, "1ff", 0, E + "overlimit [1ff]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato8x(s); }, "0x1f", 0, W + "illegal char [0x1f]"},
        {[](const char *s) -> uint64_t { return str_ato16x(s); }, "BEEF", 0xbeef, ""},
        {[](const char *s) -> uint64_t { return str_ato16x(s); }, "1beef", 0, E + "overlimit [1beef]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato32x(s); }, "0000DeadBeef", 0xdeadbeef, ""},
        {[](const char *s) -> uint64_t { return str_ato32x(s); }, "100000000", 0, E + "overlimit [100000000]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato64x(s); }, "ffffffffffffffff", UINT64_MAX, ""},
        {[](const char *s) -> uint64_t { return str_ato64x(s); }, "10000000000000000", 0,
         E + "overlimit [10000000000000000]" "+dump"},
        {[](const char *s) -> uint64_t { return str_ato64x(s); }, "g", 0, W + "illegal char [g]"},
        {[](const char *s) -> uint64_t { return str_ato64x(s); }, " ", 0, W + "null str [ ]"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(c.fn(c.in), c.want) << c.in;
        EXPECT_EQ(LogCapture::take(), c.logged) << c.in;
    }
}

TEST(StrNum, ParseSize)
{
    LogCapture log;
    struct Case {
        const char *in;
        uint64_t want;
    } cases[] = {
        {"2m", 2097152}, {"2M", 2097152}, {"2mb", 2000000}, {"1kB", 1000}, {"1kb", 1000}, {"1Kb", 1000},
        {"1k", 1024}, {"1K", 1024}, {"1.5k", 1536}, {"2.5k", 2560}, {"1b", 512}, {"1B", 512}, {"3", 3},
        {"4w", 8}, {"7c", 7}, {"1kk", 1048576}, {"2G", 2147483648ULL}, {"1T", 1099511627776ULL},
        {"1PB", 1000000000000000ULL}, {"0x10k", 16384}, {"1e3", 1000}, {"0", 0},
        {"9007199254740993", 9007199254740993ULL}, // exact beyond the precision of a double
        {"18446744073709551615", UINT64_MAX}, {"99999999999999999999", UINT64_MAX}, {"20000PB", UINT64_MAX},
        {"1e30", UINT64_MAX},
        // refused
        {"k", 0}, {" 1k", 0}, {"-1k", 0}, {"+1k", 0}, {"10KiB", 0}, {"5x", 0}, {"", 0}, {"1x2k", 0}, {"1 k", 0},
        {".k", 0}, {"nan(1)", 0}, {"1kq", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(str_parse_size(c.in), c.want) << c.in;
    EXPECT_EQ(str_parse_size(nullptr), 0u);
    std::string longtext(257, '1');
    EXPECT_EQ(str_parse_size(longtext.c_str()), 0u);
    // A number too large for a double times a zero multiplier of a
    // caller's table: as large as it gets, like the digits' overflow.
    static const str_size_unit_t zero[] = {{"z", 0}, {nullptr, 0}};
    EXPECT_EQ(str_parse_size_tbl("0x1p4108z", zero), UINT64_MAX);
    EXPECT_EQ(str_parse_size_tbl("1e400z", zero), UINT64_MAX);
    EXPECT_EQ(str_parse_size_tbl("99999999999999999999z", zero), UINT64_MAX);
    EXPECT_EQ(str_parse_size_tbl("5z", zero), 0u);
    EXPECT_EQ(LogCapture::take(), ""); // the size parser logs nothing
}

TEST(StrNum, ParseSizeAgreesWithCoreutils)
{
    // coreutils spells the same suffixes in upper case (it refuses "2m" and "1k").
    for (const char *s : {"2M", "2MB", "1kB", "1K", "1b", "3KB", "5G"}) {
        if (std::string(s) == "5G") // keep the pipe short: compare the number instead
            EXPECT_EQ(sh("numfmt --from=iec 5G"), std::to_string(str_parse_size(s)));
        else
            EXPECT_EQ(sh(std::string("head -c ") + s + " /dev/zero | wc -c"), std::to_string(str_parse_size(s))) << s;
    }
    EXPECT_EQ(sh("numfmt --from=iec 1.5K"), std::to_string(str_parse_size("1.5K")));
}

TEST(StrNum, BoolsAndVersions)
{
    struct Bool {
        const char *in;
        int want;
    } bools[] = {
        {"Yes", 1}, {"ENABLED", 1}, {"t", 1}, {"running", 1}, {"off", 0}, {"Unavailable", 0}, {"N", 0},
        {"maybe", -1}, {"", -1}, {"yes ", -1}, {"availableavailable", -1},
    };
    for (auto &b : bools)
        EXPECT_EQ(str_to_bool(b.in), b.want) << b.in;
    EXPECT_EQ(str_to_bool(nullptr), -1);

    EXPECT_EQ(str_version_num("1.5.4"), (1ULL << 48) | (5ULL << 32) | (4ULL << 16));
    EXPECT_EQ(str_version_num("1.2.3.4"), (1ULL << 48) | (2ULL << 32) | (3ULL << 16) | 4);
    EXPECT_EQ(str_version_num("0.9.9"), 0u);
    EXPECT_EQ(str_version_num("1.2.3.4.5"), 0u);
    EXPECT_EQ(str_version_num("7"), 7ULL << 48);
    struct Cmp {
        const char *a, *b;
        int want;
    } cmps[] = {
        {"1.5.4", "1.5.10", -1}, // sort -V puts 1.5.4 first
        {"1.5", "1.5.0", 0},      {"1.5.2", "1.5.1", 1}, {"0.1", "0.9", 0}, {"2", "1.99.99.99", 1},
    };
    for (auto &c : cmps)
        EXPECT_EQ(str_version_cmp(c.a, c.b), c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(sh("printf '1.5.10\\n1.5.4\\n' | sort -V | head -1"), "1.5.4");
}

TEST(StrNum, Durations)
{
    char out[128];
    struct Case {
        double s;
        const char *want;
    } durations[] = {
        {3725.5, "1 hour 2 minutes"}, {59.5, "59.500 seconds"}, {0.5, "0.500 second"},
        {90061, "1 day 1 hour 1 minute"}, {1.0, "1.000 second"}, {172800 + 7200 + 120, "2 days 2 hours 2 minutes"},
        {3600, "1 hour 0.000 second"}, {-1, ""},
    };
    for (auto &d : durations)
        EXPECT_STREQ(str_fmt_duration(d.s, out, sizeof(out)), d.want) << d.s;

    struct Span {
        double s;
        const char *want;
    } spans[] = {
        {90061.25, "1_01:01:01.250"}, {3725.5, "01:02:05.500"}, {65.125, "01:05.125"}, {0, "00:00.000"},
        {59.9996, "01:00.000"}, // rounds into the minutes
    };
    for (auto &s : spans)
        EXPECT_STREQ(str_fmt_time_span(s.s, out, sizeof(out)), s.want) << s.s;

    struct Hours {
        int64_t h;
        const char *want;
    } hours[] = {
        {0, "0 hour "}, {1, "1 hour "}, {25, "1 day 1 hour "}, {8760 + 720 * 2 + 48 + 3, "1 year 2 months 2 days 3 hours "},
    };
    for (auto &h : hours)
        EXPECT_STREQ(str_fmt_hours(h.h, out, sizeof(out)), h.want) << h.h;

    EXPECT_STREQ(str_fmt_ms(999, out, sizeof(out)), "999 ms");
    EXPECT_STREQ(str_fmt_ms(1000, out, sizeof(out)), "1.000 s");
    EXPECT_STREQ(str_fmt_ms(UINT64_MAX, out, sizeof(out)), "N/A");

    LogCapture log;
    char small[8];
    EXPECT_STREQ(str_fmt_duration(3725.5, small, sizeof(small)), ""); // strict: never a cut text
}

TEST(StrNum, SizeText)
{
    char out[32];
    struct Case {
        uint64_t v, unit;
        const char *want;
    } cases[] = {
        {1023, 0, "1023"}, {1024, 0, "1.0K"}, {1536, 0, "1.5K"}, {0, 0, "0"}, {1500, 1000, "2"},
        {1499, 1000, "1"}, {UINT64_MAX, 1, "18446744073709551615"}, {UINT64_MAX, 0, "16.0E"},
        {UINT64_MAX, UINT64_MAX, "1"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(str_fmt_size_imp(c.v, c.unit, out, sizeof(out)), c.want) << c.v;

    // numfmt rounds to the nearest tenth the same way for values that stay
    // below 1024 of their unit.
    for (uint64_t v : {1024ULL, 1100ULL, 1536ULL, 10000ULL, 1048576ULL, 5368709120ULL, 123456789ULL}) {
        std::string want = sh("numfmt --to=iec --round=nearest --format=%.1f " + std::to_string(v));
        EXPECT_STREQ(str_fmt_size_imp(v, 0, out, sizeof(out)), want.c_str()) << v;
    }
}

TEST(StrNum, SizeTextBufferIsPerThread)
{
    const char *mine = str_fmt_size(1536, 0);
    std::string other;
    const char *theirs = nullptr;
    std::thread t([&] {
        theirs = str_fmt_size(2048, 0);
        other = theirs;
    });
    t.join();
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ(mine, "1.5K");
    EXPECT_EQ(other, "2.0K");
}

// ---- number literals ----------------------------------------------------------------

namespace {

value2_t parse(const char *text, int radix = 10, int report = 0) { return str_parse_all_number_s(text, radix, report); }

} // namespace

TEST(StrNumParse, KnownAnswers)
{
    EXPECT_EQ(str_num_to_u64("0x1F"), 31u);
    EXPECT_EQ(str_num_to_u64("010"), 8u);
    EXPECT_EQ(str_num_to_u64("08"), 0u); // no octal digit 8
    EXPECT_EQ(str_num_to_u64("12abc"), 12u);
    EXPECT_EQ(str_num_to_u64(" 0b101 "), 5u);
    EXPECT_EQ(str_num_to_double("1.5e3"), 1500.0);
    EXPECT_EQ(str_num_to_double("0x1.8p1"), 3.0);
    EXPECT_EQ(str_num_to_double(".5"), 0.5);
    EXPECT_EQ(str_num_to_i64("-5"), -5);
    EXPECT_EQ(str_hex_to_u64("1e5"), 485u);
    EXPECT_EQ(str_hex_to_u64("ff"), 255u);
    EXPECT_EQ(str_num_to_double("1e5"), 100000.0);
    EXPECT_EQ(str_num_to_u64("1.5e3"), 1500u);
    // '-' negates the magnitude as an i64
    EXPECT_EQ(str_num_to_i64("-3000000000"), -3000000000ll);
    EXPECT_EQ(str_num_to_i64("-2147483648"), -2147483648ll);
    EXPECT_EQ(str_num_to_i64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(str_num_to_i64("-0x10"), -16);
    // beyond 64 bits: an error, 0
    EXPECT_EQ(str_num_to_u64("18446744073709551617"), 0u);
    EXPECT_EQ(str_num_to_u64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(str_num_to_i64("-9223372036854775809"), 0);
    EXPECT_EQ(str_num_to_u64("0x10000000000000000"), 0u);
    // radix 0 reads "0.5" as the decimal fraction
    value2_t v = parse("0.5", 0);
    EXPECT_EQ(v.type, VALUE_TYPE_DOUBLE);
    EXPECT_EQ(v.v.dbl, 0.5);
    v = parse("010", 0);
    EXPECT_EQ(v.type, VALUE_TYPE_I32);
    EXPECT_EQ(v.v.i32, 8);
    v = parse("0x1p-2", 0);
    EXPECT_EQ(v.v.dbl, 0.25);
}

TEST(StrNumParse, TypesAndSuffixes)
{
    struct {
        const char *text;
        int type;
        uint64_t bits; // the 64 bits, or the low 32 for i32 and u32
    } rows[] = {
        {"0", VALUE_TYPE_I32, 0},
        {"2147483647", VALUE_TYPE_I32, 2147483647},
        {"2147483648", VALUE_TYPE_U32, 2147483648u},
        {"4294967295", VALUE_TYPE_U32, 4294967295u},
        {"4294967296", VALUE_TYPE_I64, 4294967296u},
        {"9223372036854775807", VALUE_TYPE_I64, 9223372036854775807u},
        {"9223372036854775808", VALUE_TYPE_U64, 9223372036854775808u},
        {"18446744073709551615", VALUE_TYPE_U64, UINT64_MAX},
        {"5L", VALUE_TYPE_I32, 5},
        {"5UL", VALUE_TYPE_U32, 5},
        {"5LL", VALUE_TYPE_I64, 5},
        {"5ull", VALUE_TYPE_U64, 5},
        {"5LLU", VALUE_TYPE_U64, 5},
        {"5u", VALUE_TYPE_U32, 5},
        {"4294967296U", VALUE_TYPE_U64, 4294967296u},
        {"0xFFFFFFFFLL", VALUE_TYPE_U64, 0xFFFFFFFFu},
        {"5LLL", VALUE_TYPE_U64, 0}, // a third L
        {"5UU", VALUE_TYPE_U64, 0},  // a second U
        {"-5", VALUE_TYPE_I32, (uint32_t)-5},
        {"-4294967295", VALUE_TYPE_I64, (uint64_t)-4294967295ll},
        {"-0", VALUE_TYPE_I32, 0},
        {"", VALUE_TYPE_U64, 0},
        {"-", VALUE_TYPE_U64, 0},
        {"abc", VALUE_TYPE_U64, 0},
        {"0x", VALUE_TYPE_U64, 0},
        {"+5", VALUE_TYPE_U64, 0},
    };
    for (auto &r : rows) {
        value2_t v = parse(r.text);
        EXPECT_EQ(v.type, r.type) << r.text;
        uint64_t bits = v.type == VALUE_TYPE_I32 || v.type == VALUE_TYPE_U32 ? v.v.u32 : v.v.u64;
        EXPECT_EQ(bits, r.bits) << r.text;
    }
}

TEST(StrNumParse, ErrorsLoggedOnlyWhenAsked)
{
    LogCapture log;
    std::string long_text(1100, '1');
    struct {
        const char *text;
        int radix;
        std::string logged;
    } rows[] = {
        {"08", 10, E + "[08] invalid digit\n+dump"},
        {"1e", 10, E + "[1e] exponent digits\n+dump"},
        {"1e+", 10, E + "[1e+] exponent digits\n+dump"},
        {"0x1.8", 10, E + "[0x1.8] exponent\n+dump"},
        {"0x1p", 10, E + "[0x1p] exponent digits\n+dump"},
        {"18446744073709551616", 10, E + "[18446744073709551616] integer constant overflow+dump"},
        {"-18446744073709551615", 10, E + "overflow [-18446744073709551615]+dump"},
        {long_text.c_str(), 10, E + "[" + long_text + "] number too long\n+dump"},
        {"12", 7, E + "[12] invalid digit\n+dump"},
    };
    for (auto &r : rows) {
        value2_t v = parse(r.text, r.radix, 1);
        EXPECT_EQ(v.type, VALUE_TYPE_U64) << r.text;
        EXPECT_EQ(v.v.u64, 0u) << r.text;
        EXPECT_EQ(LogCapture::take(), r.logged) << r.text;
        parse(r.text, r.radix, 0);
        EXPECT_EQ(LogCapture::take(), "") << r.text;
    }
    std::string huge(9000, '1');
    EXPECT_EQ(str_num_to_u64(huge.c_str()), 0u);
    EXPECT_EQ(str_num_to_u64(nullptr), 0u);
    EXPECT_EQ(LogCapture::take(), "");
}

// Texts in range against the C library: decimal and octal integers and
// hexadecimal ones (strtoull/strtoll with base 0), decimal floats with
// exponents and hexadecimal floats (strtod).
TEST(StrNumParse, MatchesCLibrary)
{
    std::mt19937_64 rng(2024);
    char text[128];
    for (int i = 0; i < 20000; ++i) {
        uint64_t u = rng() >> (rng() % 64);
        int64_t s = (int64_t)(rng() >> (rng() % 63 + 1)) * (rng() % 2 ? -1 : 1);
        snprintf(text, sizeof text, "%llu", (unsigned long long)u);
        ASSERT_EQ(str_num_to_u64(text), strtoull(text, nullptr, 0)) << text;
        snprintf(text, sizeof text, "%lld", (long long)s);
        ASSERT_EQ(str_num_to_i64(text), strtoll(text, nullptr, 0)) << text;
        snprintf(text, sizeof text, "0%llo", (unsigned long long)u);
        ASSERT_EQ(str_num_to_u64(text), strtoull(text, nullptr, 0)) << text;
        snprintf(text, sizeof text, rng() % 2 ? "0x%llx" : "0X%llX", (unsigned long long)u);
        ASSERT_EQ(str_num_to_u64(text), strtoull(text, nullptr, 0)) << text;
        ASSERT_EQ(str_hex_to_u64(text + 2), strtoull(text, nullptr, 16)) << text;
        snprintf(text, sizeof text, "-0x%llx", (unsigned long long)(s < 0 ? -s : s));
        ASSERT_EQ(str_num_to_i64(text), strtoll(text, nullptr, 0)) << text;

        snprintf(text, sizeof text, "%llu.%llue%d", (unsigned long long)(rng() % 1000000),
                 (unsigned long long)(rng() % 100000000), (int)(rng() % 600) - 300);
        ASSERT_EQ(str_num_to_double(text), strtod(text, nullptr)) << text;
        snprintf(text, sizeof text, "%.17g", (double)(int64_t)rng() / (double)(rng() | 1));
        ASSERT_EQ(str_num_to_double(text), strtod(text, nullptr)) << text;
        snprintf(text, sizeof text, "0x%llx.%llxp%d", (unsigned long long)(rng() % 0x1000000),
                 (unsigned long long)(rng() % 0x10000000), (int)(rng() % 2000) - 1000);
        ASSERT_EQ(str_num_to_double(text), strtod(text, nullptr)) << text;
        snprintf(text, sizeof text, "%a", (double)rng() / (double)(rng() | 1));
        ASSERT_EQ(str_num_to_double(text), strtod(text, nullptr)) << text;
    }
}

TEST(StrNumParse, VarIntCheck)
{
    LogCapture log;
    EXPECT_EQ(var_int_check(0, "x", 1, 600, 15), 15);
    EXPECT_EQ(LogCapture::take(), W + "[x]=0 < min=1 fix=15");
    EXPECT_EQ(var_int_check(700, "x", 1, 600, 15), 15);
    EXPECT_EQ(LogCapture::take(), W + "[x]=700 > max=600 fix=15");
    EXPECT_EQ(var_int_check(700, "x", 1, 0, 15), 700);
    EXPECT_EQ(var_int_check(600, "x", 1, 600, 15), 600);
    EXPECT_EQ(var_int_check(-3, nullptr, 1, 600, 15), 15);
    EXPECT_EQ(LogCapture::take(), "");
}

TEST(StrNumParse, CharClasses)
{
    struct {
        const char *text;
        int classes;
        int want;
    } rows[] = {
        {"12ab", STR_CLASS_DIGIT, 0}, {"12ab", STR_CLASS_DIGIT | STR_CLASS_XDIGIT, 1},
        {"12ab", STR_CLASS_XDIGIT, 1}, {"", 0, 1},
        {"", STR_CLASS_ALPHA, 1},     {"xyz", STR_CLASS_XDIGIT, 0},
        {"xyz", STR_CLASS_ALPHA, 1},  {"AbF9", STR_CLASS_XDIGIT, 1},
        {"a b", STR_CLASS_ALPHA, 0},  {"W1", STR_CLASS_ALPHA | STR_CLASS_DIGIT, 1},
        {"\xe9", STR_CLASS_ALPHA, 0},
    };
    for (auto &r : rows)
        EXPECT_EQ(str_is_char_class(r.text, r.classes), r.want) << r.text << " " << r.classes;
    EXPECT_EQ(str_is_char_class(nullptr, 1), 0);
}
