// Regular-expression wrappers over the C library's POSIX interface.
#include "libpal/regex/pl_regex.h"

#include <regex.h>

#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/string/str_safe.h"

#define TAG "pal"

namespace
{

// A compiled pattern, freed at the end of the scope.
struct compiled {
    regex_t re;
    int rc;
    compiled(const char *pattern, int flags) { rc = regcomp(&re, pattern, flags); }
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
