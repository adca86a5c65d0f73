// Regular-expression wrappers over the C library's POSIX interface.
#include "libpal/regex/pl_regex.h"

#include <regex.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/string/str_safe.h"

#define TAG "pal"

namespace {

// The C library expands a repeated group by copying it ("a+" becomes "aa*",
// "a{3}" three copies), so nested repetitions grow a pattern's compiled form
// and compile time without bound, and stacked ones ("x*++++") double it with
// each operator. A scan before compiling refuses stacked repetition
// operators (undefined in POSIX extended syntax: REG_BADRPT) and patterns
// whose copies would exceed PATTERN_WEIGHT_MAX atoms (REG_ESIZE); every
// other pattern goes to the library unchanged.
constexpr uint64_t PATTERN_WEIGHT_MAX = 20000;

// Index just past the bracket expression starting at p[i] == '['.
size_t skip_bracket(const char *p, size_t i)
{
    ++i;
    if (p[i] == '^')
        ++i;
    if (p[i] == ']')
        ++i;
    while (p[i] && p[i] != ']') {
        if (p[i] == '[' && (p[i + 1] == ':' || p[i + 1] == '.' || p[i + 1] == '=')) {
            const char end[3] = {p[i + 1], ']', '\0'};
            const char *close = strstr(p + i + 2, end);
            if (!close)
                return strlen(p);
            i = (size_t)(close - p) + 2;
        } else {
            ++i;
        }
    }
    return p[i] ? i + 1 : i;
}

int pattern_precheck(const char *p)
{
    struct frame {
        uint64_t sum;  // atoms of the group so far, copies counted
        uint64_t last; // atoms of the last piece, which a repetition copies
    };
    frame stack[64];
    int depth = 0;
    stack[0] = {0, 0};
    bool after_repeat = false;
    auto add = [](uint64_t a, uint64_t b) { return a + b > PATTERN_WEIGHT_MAX ? PATTERN_WEIGHT_MAX + 1 : a + b; };
    for (size_t i = 0; p[i];) {
        frame &f = stack[depth];
        char c = p[i];
        if (c == '*' || c == '+' || c == '?' || (c == '{' && f.last > 0)) {
            if (after_repeat)
                return REG_BADRPT;
            uint64_t copies = c == '+' ? 2 : 1;
            ++i;
            if (c == '{') {
                uint64_t m = 0, n = 0;
                bool comma = false;
                for (; p[i] && p[i] != '}'; ++i) {
                    if (p[i] == ',')
                        comma = true;
                    else if (p[i] >= '0' && p[i] <= '9')
                        (comma ? n : m) = add((comma ? n : m) * 10, (uint64_t)(p[i] - '0'));
                }
                if (p[i])
                    ++i;
                copies = comma && n == 0 ? m + 1 : (n > m ? n : m);
                if (copies == 0)
                    copies = 1;
            }
            uint64_t more = copies > PATTERN_WEIGHT_MAX ? PATTERN_WEIGHT_MAX + 1 : f.last * (copies - 1);
            f.sum = add(f.sum, more > PATTERN_WEIGHT_MAX ? PATTERN_WEIGHT_MAX + 1 : more);
            f.last = add(f.last, more);
            if (f.sum > PATTERN_WEIGHT_MAX)
                return REG_ESIZE;
            after_repeat = true;
            continue;
        }
        after_repeat = false;
        if (c == '(') {
            if (depth + 1 == (int)(sizeof(stack) / sizeof(stack[0])))
                return REG_ESIZE;
            stack[++depth] = {0, 0};
            ++i;
            continue;
        }
        if (c == ')' && depth > 0) {
            uint64_t w = add(stack[depth].sum, 1);
            frame &up = stack[--depth];
            up.sum = add(up.sum, w);
            up.last = w;
            ++i;
            continue;
        }
        if (c == '|') {
            f.last = 0;
            ++i;
            continue;
        }
        i = c == '[' ? skip_bracket(p, i) : c == '\\' && p[i + 1] ? i + 2 : i + 1;
        f.sum = add(f.sum, 1);
        f.last = 1;
    }
    return stack[0].sum > PATTERN_WEIGHT_MAX ? REG_ESIZE : 0;
}

// A compiled pattern, freed at the end of the scope.
struct compiled {
    regex_t re;
    int rc;
    compiled(const char *pattern, int flags)
    {
        memset(&re, 0, sizeof(re));
        rc = pattern_precheck(pattern);
        if (rc == 0)
            rc = regcomp(&re, pattern, flags);
    }
    ~compiled()
    {
        if (rc == 0)
            regfree(&re);
    }
    compiled(const compiled &) = delete;
    compiled &operator=(const compiled &) = delete;
    // The library's text for err, cut to 128 bytes.
    std::string error(int err) const
    {
        char buf[128];
        regerror(err, &re, buf, sizeof(buf));
        return buf;
    }
};

// Compiles pattern for a search with offsets; false after logging when it
// does not compile.
bool compile_logged(compiled &c, const char *pattern)
{
    if (c.rc == 0)
        return true;
    LOG_ERR(TAG, "%s: regex '%s'\n", c.error(c.rc).c_str(), pattern);
    return false;
}

// The first match in text from offset `from` (offsets from the text's
// start); "^" matches only when from is 0. 1 with the match, 0 when there
// is none, -1 after logging another error.
int search(const compiled &c, const char *text, size_t from, regoff_t *so, regoff_t *eo)
{
    regmatch_t m[1];
    int rc = regexec(&c.re, text + from, 1, m, from > 0 ? REG_NOTBOL : 0);
    if (rc == REG_NOMATCH)
        return 0;
    if (rc != 0) {
        LOG_ERR(TAG, "%s: regcomp('%s')\n", c.error(rc).c_str(), text);
        return -1;
    }
    *so = m[0].rm_so < 0 ? 0 : m[0].rm_so + (regoff_t)from;
    *eo = m[0].rm_eo < 0 ? 0 : m[0].rm_eo + (regoff_t)from;
    return 1;
}

} // namespace

int regmatch_imp(const char *pattern, const char *text, int icase)
{
    if (!pattern || !text)
        return 0;
    compiled c(pattern, REG_EXTENDED | REG_NOSUB | (icase ? REG_ICASE : 0));
    if (c.rc != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "regcomp");
        return 0;
    }
    return regexec(&c.re, text, 0, nullptr, 0) == 0 ? 1 : 0;
}

int regmatch(const char *text, const char *pattern) { return regmatch_imp(pattern, text, 0); }

int regmatch_icase(const char *text, const char *pattern) { return regmatch_imp(pattern, text, 1); }

cns_reg_t cns_reg(const char *text, const char *pattern)
{
    cns_reg_t r = {1, -1, -1};
    if (!text || !pattern)
        return r;
    compiled c(pattern, REG_EXTENDED);
    if (!compile_logged(c, pattern))
        return r;
    regoff_t so, eo;
    if (search(c, text, 0, &so, &eo) == 1)
        r = {0, (int)so, (int)eo};
    return r;
}

char *str_regex_replace(const char *text, const char *pattern, const char *replacement)
{
    if (!text)
        return nullptr;
    if (!pattern || !replacement || strcmp(pattern, replacement) == 0)
        return safe_strdup(text);
    compiled c(pattern, REG_EXTENDED);
    if (!compile_logged(c, pattern))
        return safe_strdup(text);
    const size_t len = strlen(text);
    std::string out;
    size_t pos = 0;      // where the next search starts
    size_t last_end = 0; // end of the last replaced match
    bool replaced = false;
    while (pos <= len) {
        regoff_t so, eo;
        if (search(c, text, pos, &so, &eo) != 1)
            break;
        size_t ms = (size_t)so, me = (size_t)eo;
        // An empty match right where the last match ended is no new match.
        if (!(ms == me && replaced && ms == last_end)) {
            out.append(text + pos, ms - pos);
            out.append(replacement);
            replaced = true;
            last_end = me;
            pos = me;
            if (ms != me)
                continue;
        } else {
            out.append(text + pos, ms - pos);
            pos = ms;
        }
        // After an empty match the next character stays as it is.
        if (pos >= len) {
            pos = len + 1;
            break;
        }
        out.push_back(text[pos++]);
    }
    if (!replaced)
        return safe_strdup(text);
    if (pos <= len)
        out.append(text + pos);
    return safe_strdup(out.c_str());
}
