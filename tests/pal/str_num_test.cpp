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
