// Strict number parsing, sizes with unit suffixes, booleans, versions and
// human-readable sizes and durations. Configuration values, URL options,
// shell arguments and wire fields all come through here, so a stray
// character or a value that does not fit answers 0 with a log line instead
// of turning silently into a plausible number.
#include "libpal/string/str_num.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

constexpr size_t NUM_BUF = 4096;

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool all_digits(const char *p)
{
    for (; *p; ++p)
        if (!is_digit((unsigned char)*p))
            return false;
    return true;
}

// Copies text into buf and trims blanks; false (after the "null str" line)
// when nothing is left.
bool prepare(const char *text, char *buf)
{
    str_safecopy(buf, NUM_BUF, text);
    str_trim(buf);
    if (!*buf) {
        LOG_WARN(TAG, "null str [%s]", text);
        return false;
    }
    return true;
}

void overflow(const char *what, const char *buf)
{
    LOG_ERR(TAG, "%s [%s]", what, buf);
    pl_dump_stack();
}

// Accumulates the decimal digits of p; false when the value exceeds limit.
bool accumulate(const char *p, uint64_t limit, uint64_t *out)
{
    uint64_t v = 0;
    for (; *p; ++p) {
        unsigned d = (unsigned)(*p - '0');
        if (v > (limit - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

template <class T> T parse_signed(const char *text)
{
    static_assert(std::is_signed_v<T>);
    if (!text) {
        LOG_WARN(TAG, "null str [%s]", "(null)");
        return 0;
    }
    char buf[NUM_BUF];
    if (!prepare(text, buf))
        return 0;
    const char *p = buf;
    bool neg = false;
    if (*p == '+' || *p == '-')
        neg = *p++ == '-';
    if (!*p)
        return 0; // a sign alone
    if (!all_digits(p)) {
        LOG_WARN(TAG, "illegal char [%s]", buf);
        return 0;
    }
    // The magnitude of the minimum is one more than the maximum.
    uint64_t limit = (uint64_t)std::numeric_limits<T>::max() + (neg ? 1 : 0);
    uint64_t v;
    if (!accumulate(p, limit, &v)) {
        overflow("overflow", buf);
        return 0;
    }
    if (neg)
        return v == (uint64_t)std::numeric_limits<T>::max() + 1 ? std::numeric_limits<T>::min() : -(T)v;
    return (T)v;
}

template <class T> T parse_unsigned(const char *s)
{
    PL_ASSERT_HARD(TAG, s!=NULL);
    char buf[NUM_BUF];
    if (!prepare(s, buf))
        return 0;
    if (!all_digits(buf)) {
        LOG_WARN(TAG, "illegal char [%s]", buf);
        return 0;
    }
    uint64_t v;
    if (!accumulate(buf, std::numeric_limits<T>::max(), &v)) {
        overflow("overflow", buf);
        return 0;
    }
    return (T)v;
}

template <class T> T parse_hex(const char *s)
{
    PL_ASSERT_HARD(TAG, s!=NULL);
    char buf[NUM_BUF];
    if (!prepare(s, buf))
        return 0;
    str_tolower(buf);
    for (const char *p = buf; *p; ++p)
        if (hex_value((unsigned char)*p) < 0) {
            LOG_WARN(TAG, "illegal char [%s]", buf);
            return 0;
        }
    const size_t width = sizeof(T) * 2;
    size_t len = strlen(buf);
    uint64_t v = 0;
    // From the rightmost digit: digit i (0 = rightmost) weighs 16^i. Leading
    // zeros are fine; a non-zero digit beyond the width does not fit.
    for (size_t i = 0; i < len; ++i) {
        int d = hex_value((unsigned char)buf[len - 1 - i]);
        if (i >= width) {
            if (d != 0) {
                overflow("overlimit", buf);
                return 0;
            }
            continue;
        }
        v |= (uint64_t)d << (4 * i);
    }
    return (T)v;
}

} // namespace

int64_t str_atoll(const char *text) { return parse_signed<int64_t>(text); }
int str_atoi(const char *text) { return parse_signed<int>(text); }
uint64_t str_ato64u(const char *s) { return parse_unsigned<uint64_t>(s); }
uint32_t str_ato32u(const char *s) { return parse_unsigned<uint32_t>(s); }
uint16_t str_ato16u(const char *s) { return parse_unsigned<uint16_t>(s); }
uint8_t str_ato8u(const char *s) { return parse_unsigned<uint8_t>(s); }
uint64_t str_ato64x(const char *s) { return parse_hex<uint64_t>(s); }
uint32_t str_ato32x(const char *s) { return parse_hex<uint32_t>(s); }
uint16_t str_ato16x(const char *s) { return parse_hex<uint16_t>(s); }
uint8_t str_ato8x(const char *s) { return parse_hex<uint8_t>(s); }

// ---- sizes ------------------------------------------------------------------------

// Row order matters: the first row whose name is a case-blind prefix of the
// suffix wins, so "kb"/"Kb" reach the decimal rows before the bare letters.
const str_size_unit_t g_str_size_units[] = {
    {"c", 1ULL},
    {"w", 2ULL},
    {"b", 512ULL},
    {"kB", 1000ULL},
    {"kD", 1000ULL},
    {"k", 1024ULL},
    {"KB", 1000ULL},
    {"KD", 1000ULL},
    {"K", 1024ULL},
    {"MB", 1000000ULL},
    {"MD", 1000000ULL},
    {"M", 1048576ULL},
    {"GB", 1000000000ULL},
    {"GD", 1000000000ULL},
    {"G", 1073741824ULL},
    {"TB", 1000000000000ULL},
    {"T", 1099511627776ULL},
    {"PB", 1000000000000000ULL},
    {"P", 1125899906842624ULL},
    {nullptr, 0},
};

static bool iprefix(const char *name, const char *s)
{
    for (; *name; ++name, ++s) {
        unsigned char a = (unsigned char)*name, b = (unsigned char)*s;
        if (!b)
            return false;
        if ((a | 0x20) != (b | 0x20))
            return false;
    }
    return true;
}

uint64_t str_parse_size_tbl(const char *text, const str_size_unit_t *table)
{
    if (!text || !table)
        return 0;
    size_t len = strnlen(text, 257);
    if (len > 256 || len == 0)
        return 0;
    unsigned char c0 = (unsigned char)text[0];
    if (str_is_space_chr(c0) || c0 == '+' || c0 == '-')
        return 0;
    size_t k = 0;
    while (k < len && is_letter((unsigned char)text[len - 1 - k]))
        ++k;
    if (k >= 3 || k == len)
        return 0;

    char num[257];
    memcpy(num, text, len - k);
    num[len - k] = '\0';
    const char *suffix = text + len - k;

    // Multipliers of the suffix letters, matched group by group.
    uint64_t mult = 1;
    double fmult = 1.0;
    for (const char *s = suffix; *s;) {
        const str_size_unit_t *row = table;
        while (row->name && !iprefix(row->name, s))
            ++row;
        if (!row->name)
            return 0;
        mult = (mult > UINT64_MAX / (row->mult ? row->mult : 1)) ? UINT64_MAX : mult * row->mult;
        fmult *= (double)row->mult;
        s += strlen(row->name);
    }

    // Plain digits are exact in integers (a double loses them above 2^53).
    if (all_digits(num)) {
        uint64_t v;
        if (!accumulate(num, UINT64_MAX, &v))
            return UINT64_MAX;
        if (mult && v > UINT64_MAX / mult)
            return UINT64_MAX;
        return v * mult;
    }
    // Anything else is a floating-point text that must be used up entirely:
    // "1x2k" is a malformed size, not 1k.
    char *end = nullptr;
    double v = strtod(num, &end);
    if (end == num || *end != '\0' || !(v >= 0))
        return 0;
    // Too large for a double is too large, as for digits: an infinity
    // times a zero multiplier would not be a number at all.
    if (v > DBL_MAX)
        return UINT64_MAX;
    v *= fmult;
    if (v >= 18446744073709551616.0)
        return UINT64_MAX;
    return (uint64_t)v;
}

uint64_t str_parse_size(const char *text) { return str_parse_size_tbl(text, g_str_size_units); }

// ---- booleans and versions ---------------------------------------------------------

int str_to_bool(const char *text)
{
    static const char true_words[] = "true,t,yes,y,on,up,running,enabled,available";
    static const char false_words[] = "false,f,no,n,off,down,unused,disabled,unavailable";
    if (!text)
        return -1;
    char buf[16];
    // No word is that long; refuse without the overflow report of a strict copy.
    if (strnlen(text, sizeof(buf)) >= sizeof(buf))
        return -1;
    strcpy(buf, text);
    str_tolower(buf);
    if (str_in_sep_list(buf, true_words, ',') == 0)
        return 1;
    if (str_in_sep_list(buf, false_words, ',') == 0)
        return 0;
    return -1;
}

uint64_t str_version_num(const char *text)
{
    if (!text)
        return 0;
    char *copy = os_strdup(text);
    if (!copy)
        return 0;
    int parts[4] = {0, 0, 0, 0};
    int n = 0;
    bool too_many = false;
    char *p = copy;
    while (p) {
        char *f = strsep(&p, ".");
        if (n == 4) {
            too_many = true;
            break;
        }
        parts[n++] = str_atoi(f);
    }
    os_free(copy);
    if (too_many || n == 0 || parts[0] == 0)
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= (uint64_t)((unsigned)parts[i] & 0xffff) << (48 - 16 * i);
    return v;
}

int str_version_cmp(const char *a, const char *b)
{
    uint64_t x = str_version_num(a), y = str_version_num(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// ---- human-readable forms ----------------------------------------------------------

// Strict copy of a composed text into out ("" and a log line when it does not fit).
static char *put(char *out, size_t size, const char *text)
{
    if (!out || size == 0)
        return out;
    str_safecopy(out, size, text);
    return out;
}

char *str_fmt_ms(uint64_t ms, char *out, size_t size)
{
    char buf[64];
    if (ms == UINT64_MAX)
        snprintf(buf, sizeof(buf), "N/A");
    else if (ms > 999)
        snprintf(buf, sizeof(buf), "%0.3f s", (double)ms / 1000.0);
    else
        snprintf(buf, sizeof(buf), "%u ms", (unsigned)ms);
    return put(out, size, buf);
}

// Whole seconds of a non-negative input, kept in a range the arithmetic
// below can hold.
static int64_t whole_seconds(double seconds)
{
    if (seconds >= 9.0e15)
        return (int64_t)9.0e15;
    return (int64_t)seconds;
}

char *str_fmt_duration(double seconds, char *out, size_t size)
{
    if (!(seconds >= 0))
        return put(out, size, "");
    int64_t t = whole_seconds(seconds);
    double frac = seconds < 9.0e15 ? seconds - std::trunc(seconds) : 0.0;
    char buf[256];
    size_t n = 0;
    buf[0] = '\0';
    if (t > 86399) {
        long long d = t / 86400;
        n += snprintf(buf + n, sizeof(buf) - n, "%lld day%s ", d, d > 1 ? "s" : "");
        t %= 86400;
    }
    if (t > 3599) {
        long long h = t / 3600;
        n += snprintf(buf + n, sizeof(buf) - n, "%lld hour%s ", h, h > 1 ? "s" : "");
        t %= 3600;
    }
    if (t > 59) {
        long long m = t / 60;
        snprintf(buf + n, sizeof(buf) - n, "%lld minute%s", m, m > 1 ? "s" : "");
    } else {
        double s = (double)t + frac;
        snprintf(buf + n, sizeof(buf) - n, "%0.3f second%s", s, s > 1.0 ? "s" : "");
    }
    return put(out, size, buf);
}

char *str_fmt_time_span(double seconds, char *out, size_t size)
{
    if (!(seconds >= 0))
        return put(out, size, "");
    // Round to whole milliseconds first, so 59.9996 s carries into the
    // minutes instead of showing as 59 seconds and ".000".
    double total = std::round(seconds * 1000.0);
    if (total > 9.0e18)
        total = 9.0e18;
    int64_t ms = (int64_t)total;
    long long days = ms / 86400000;
    ms %= 86400000;
    int h = (int)(ms / 3600000);
    ms %= 3600000;
    int m = (int)(ms / 60000);
    ms %= 60000;
    int s = (int)(ms / 1000);
    int frac = (int)(ms % 1000);
    char buf[128];
    if (days > 0)
        snprintf(buf, sizeof(buf), "%lld_%02d:%02d:%02d.%03d", days, h, m, s, frac);
    else if (h > 0)
        snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%03d", h, m, s, frac);
    else
        snprintf(buf, sizeof(buf), "%02d:%02d.%03d", m, s, frac);
    return put(out, size, buf);
}

char *str_fmt_hours(int64_t hours, char *out, size_t size)
{
    struct unit_t {
        const char *name;
        int64_t hours;
    };
    static const unit_t units[] = {{"year", 8760}, {"month", 720}, {"day", 24}};
    char buf[256];
    size_t n = 0;
    buf[0] = '\0';
    int64_t rest = hours;
    for (const unit_t &u : units) {
        int64_t c = rest / u.hours;
        if (c >= 1) {
            n += snprintf(buf + n, sizeof(buf) - n, "%lld %s%s ", (long long)c, u.name, c >= 2 ? "s" : "");
            rest %= u.hours;
        }
    }
    snprintf(buf + n, sizeof(buf) - n, "%lld hour%s ", (long long)rest, rest >= 2 ? "s" : "");
    return put(out, size, buf);
}

char *str_fmt_size_imp(uint64_t value, uint64_t unit, char *out, size_t size)
{
    char buf[64];
    if (value == 0) {
        snprintf(buf, sizeof(buf), "0");
    } else if (unit != 0) {
        unsigned __int128 r = ((unsigned __int128)value + unit / 2) / unit;
        snprintf(buf, sizeof(buf), "%llu", (unsigned long long)r);
    } else if (value < 1024) {
        snprintf(buf, sizeof(buf), "%llu", (unsigned long long)value);
    } else {
        static const char letters[] = "KMGTPEZY";
        uint64_t v = value, rem = 0;
        int div = 0;
        while (v >= 1024 && div < 8) {
            rem = v & 1023;
            v >>= 10;
            ++div;
        }
        unsigned tenth = (unsigned)((rem * 10 + 512) / 1024);
        if (tenth == 10) {
            ++v;
            tenth = 0;
        }
        snprintf(buf, sizeof(buf), "%llu.%u%c", (unsigned long long)v, tenth, letters[div - 1]);
    }
    return put(out, size, buf);
}

char *str_fmt_size(uint64_t value, uint64_t unit)
{
    // Per thread: the log and the shell print sizes from different threads.
    static thread_local char buf[21];
    return str_fmt_size_imp(value, unit, buf, sizeof(buf));
}
