// Glob matching, quoting, command-line splitting and joining, name checks.
#include "libpal/string/str_glob.h"

#include <cstring>
#include <string>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

inline unsigned char lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c; }

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Characters that break a name used in a URL, a path or a command.
constexpr const char k_name_set[] = ";/\\\"'?:@# ";

bool has_any(const char *text, const char *set)
{
    return text && strpbrk(text, set) != nullptr;
}

void glob_fail_log(int debug, unsigned char d, unsigned char c, bool back)
{
    if (debug)
        LOG_DBG("pal", "d=[%c] c=[%c] back_pat=%d return false", (char)d, (char)c, back ? 1 : 0);
}

} // namespace

// ---------------------------------------------------------------- globbing

// One pass over both texts with a single back-track point (the last '*'),
// which is enough for '*' since a later '*' can always absorb what an earlier
// one would have matched.
int pl_glob_match(const char *pattern, const char *text, int nocase, int debug)
{
    if (!pattern || !text)
        return 0;
    const unsigned char *pat = (const unsigned char *)pattern;
    const unsigned char *str = (const unsigned char *)text;
    const unsigned char *back_pat = nullptr, *back_str = nullptr;

    for (;;) {
        unsigned char c = *str++;
        unsigned char d = *pat++;
        bool matched;
        switch (d) {
        case '?':
            if (c == '\0') {
                if (debug)
                    LOG_DBG("pal", "Wildcard: anything but nul");
                return 0;
            }
            continue;
        case '*':
            if (*pat == '\0')
                return 1;
            back_pat = pat;
            back_str = --str; // a '*' may match nothing
            continue;
        case '[': {
            if (c == '\0') {
                if (debug)
                    LOG_DBG("pal", "Character class: No possible match");
                return 0;
            }
            bool inverted = *pat == '!';
            const unsigned char *cls = pat + (inverted ? 1 : 0);
            unsigned char a = *cls++;
            bool hit = false, malformed = false;
            unsigned char cc = nocase ? lower(c) : c;
            // A ']' right after "[" or "[!" is a member, hence do/while.
            do {
                unsigned char b = a;
                if (a == '\0') {
                    malformed = true;
                    break;
                }
                if (cls[0] == '-' && cls[1] != ']') {
                    b = cls[1];
                    if (b == '\0') {
                        malformed = true;
                        break;
                    }
                    cls += 2;
                }
                unsigned char la = nocase ? lower(a) : a, lb = nocase ? lower(b) : b;
                hit |= (la <= cc && cc <= lb);
            } while ((a = *cls++) != ']');
            if (malformed) {
                // No closing ']': the '[' is an ordinary character.
                matched = (nocase ? lower(c) == lower('[') : c == '[');
                break;
            }
            if (hit != inverted) {
                pat = cls;
                continue;
            }
            matched = false;
            break;
        }
        case '\\':
            // A backslash that ends the pattern stands for itself.
            if (*pat)
                d = *pat++;
            [[fallthrough]];
        default:
            if (c == d || (nocase && lower(c) == lower(d))) {
                if (d == '\0')
                    return 1;
                continue;
            }
            matched = false;
            break;
        }
        if (matched)
            continue;
        // Back-track: retry from the last '*' one character further on.
        if (c == '\0' || !back_pat) {
            glob_fail_log(debug, d, c, back_pat != nullptr);
            return 0;
        }
        pat = back_pat;
        str = ++back_str;
    }
}

int pl_glob_match_list(const char *text, const char *patterns, int nocase, int debug)
{
    if (!text || !patterns)
        return 0;
    std::string item;
    const char *p = patterns;
    for (;;) {
        const char *bar = strchr(p, '|');
        item.assign(p, bar ? (size_t)(bar - p) : strlen(p));
        if (pl_glob_match(item.c_str(), text, nocase, debug))
            return 1;
        if (!bar)
            return 0;
        p = bar + 1;
    }
}

int pl_glob_match_any(const char *text, const char *patterns) { return pl_glob_match_list(text, patterns, 0, 0); }
int pl_glob_match_any_nocase(const char *text, const char *patterns)
{
    return pl_glob_match_list(text, patterns, 1, 0);
}
int pl_glob_match_any_dbg(const char *text, const char *patterns) { return pl_glob_match_list(text, patterns, 0, 1); }
int pl_glob_match_any_nocase_dbg(const char *text, const char *patterns)
{
    return pl_glob_match_list(text, patterns, 1, 1);
}

// ---------------------------------------------------------------- quoting

char *str_quote_imp(const char *text, const char *specials, char quote, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    if (!text || !*text) {
        str_sprintf_s(out, size, "%c%c", quote, quote);
        return out;
    }
    if (has_any(text, specials) && text[0] != quote)
        str_sprintf_s(out, size, "%c%s%c", quote, text, quote);
    else
        str_safecopy(out, size, text);
    return out;
}

char *str_quote_dq(const char *text, char *out, size_t size) { return str_quote_imp(text, " \t;", '"', out, size); }
char *str_quote_sq(const char *text, char *out, size_t size) { return str_quote_imp(text, " \t;", '\'', out, size); }
char *str_quote_dq_comment(const char *text, char *out, size_t size)
{
    return str_quote_imp(text, " #;", '"', out, size);
}

// Characters no POSIX shell gives a meaning to, in any position.
static bool shell_plain(const char *text)
{
    if (!*text)
        return false;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            continue;
        if (!strchr("@+=:,./_-", c))
            return false;
    }
    return true;
}

char *str_quote_sq_shell(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    if (!text)
        text = "";
    if (shell_plain(text)) {
        str_safecopy(out, size, text);
        return out;
    }
    // Each character takes at most four output characters ('a'\''b').
    std::string q(4 * strlen(text) + 3, '\0');
    str_shell_quote(text, q.data(), q.size());
    str_safecopy(out, size, q.c_str());
    return out;
}

char *str_quote_dq_shell(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    if (!text)
        text = "";
    if (shell_plain(text)) {
        str_safecopy(out, size, text);
        return out;
    }
    // Inside double quotes only '\\', '"', '$' and '`' keep a meaning.
    std::string q = "\"";
    for (const char *p = text; *p; p++) {
        if (*p == '\\' || *p == '"' || *p == '$' || *p == '`')
            q.push_back('\\');
        q.push_back(*p);
    }
    q.push_back('"');
    str_safecopy(out, size, q.c_str());
    return out;
}

char *str_shell_quote(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return nullptr;
    out[0] = '\0';
    if (!text)
        return nullptr;
    if (!*text) {
        // An empty argument must still reach the command as a word.
        if (size < 3)
            return nullptr;
        memcpy(out, "''", 3);
        return out + 2;
    }
    size_t used = 0;
    const char *p = text;
    while (*p) {
        size_t r = strcspn(p, "'");
        size_t q = strspn(p + r, "'");
        size_t need = used + 1 + (r > 0 ? r + 2 : 0) + (q == 1 ? 2 : q > 1 ? q + 2 : 0);
        if (need > size) {
            out[0] = '\0';
            return nullptr;
        }
        if (r > 0) {
            out[used++] = '\'';
            memcpy(out + used, p, r);
            used += r;
            out[used++] = '\'';
        }
        if (q == 1) {
            out[used++] = '\\';
            out[used++] = '\'';
        } else if (q > 1) {
            out[used++] = '"';
            memset(out + used, '\'', q);
            used += q;
            out[used++] = '"';
        }
        p += r + q;
    }
    out[used] = '\0';
    return out + used;
}

// ---------------------------------------------------------------- command lines

namespace {

// Emits the words either into buf (when set) or only counts them.
struct word_sink {
    char **argv;
    char *buf;
    int argc = 0;
    size_t nchars = 0;
    char *cur = nullptr;

    void begin()
    {
        if (buf) {
            cur = buf + nchars;
            if (argv)
                argv[argc] = cur;
        }
        argc++;
    }
    void put(char c)
    {
        if (buf)
            *cur++ = c;
        nchars++;
    }
    void end() { put('\0'); }
};

inline bool is_quote(char c) { return c == '"' || c == '\''; }

} // namespace

void str_parse_cmdline(const char *cmdline, char **argv, char *buf, int *argc_out, int *nchars_out)
{
    word_sink w{argv, buf};
    const char *p = cmdline ? cmdline : "";

    // The program name: quotes toggle and are dropped, backslashes are
    // ordinary. Leading blanks are not part of it.
    while (is_blank(*p))
        p++;
    w.begin();
    bool inq = false;
    for (; *p; p++) {
        if (is_quote(*p)) {
            inq = !inq;
            continue;
        }
        if (!inq && is_blank(*p))
            break;
        w.put(*p);
    }
    w.end();

    inq = false;
    for (;;) {
        while (is_blank(*p))
            p++;
        if (!*p)
            break;
        w.begin();
        for (;;) {
            bool copy = true;
            size_t nslash = 0;
            while (*p == '\\') {
                p++;
                nslash++;
            }
            if (is_quote(*p)) {
                if (nslash % 2 == 0) {
                    if (inq && is_quote(p[1])) {
                        p++; // a doubled quote inside quotes is a literal
                    } else {
                        copy = false;
                        inq = !inq;
                    }
                }
                nslash /= 2;
            }
            while (nslash--)
                w.put('\\');
            if (!*p || (!inq && is_blank(*p)))
                break;
            if (copy)
                w.put(*p);
            p++;
        }
        w.end();
    }
    if (argv && buf)
        argv[w.argc] = nullptr;
    if (argc_out)
        *argc_out = w.argc + 1;
    if (nchars_out)
        *nchars_out = (int)w.nchars;
}

int str_argv_join(int argc, char *const *argv, char *out, size_t size)
{
    if (!out || size == 0)
        return -1;
    out[0] = '\0';
    for (int i = 0; i < argc && argv && argv[i]; i++) {
        const char *word = argv[i];
        char quoted[4096];
        if (!*word || strpbrk(word, " \t")) {
            if (!STR_FMT_OK(str_sprintf_s(quoted, sizeof(quoted), "\"%s\"", word), sizeof(quoted))) {
                out[0] = '\0';
                return -1;
            }
            word = quoted;
        }
        if (str_safecat(out, size, word) || str_safecat(out, size, " "))
            return -1; // the strict append has emptied out and logged
    }
    return 0;
}

char *str_cmd_get_first(const char *cmdline, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    if (!cmdline)
        return out;
    const char *sp = strchr(cmdline, ' ');
    if (!sp) {
        str_safecopy(out, size, cmdline);
        return out;
    }
    size_t n = (size_t)(sp - cmdline);
    if (n > size - 1)
        n = size - 1;
    memcpy(out, cmdline, n);
    out[n] = '\0';
    return out;
}

char *str_cmd_cut_first(char *cmdline)
{
    if (!cmdline)
        return nullptr;
    if (cmdline[0] == '"') {
        char *close = strchr(cmdline + 1, '"');
        if (!close || !close[1])
            return nullptr;
        close[1] = '\0';
        return close + 1;
    }
    char *sp = strchr(cmdline, ' ');
    if (!sp)
        return nullptr;
    *sp = '\0';
    return sp;
}

char *str_cmd_replace_first(const char *cmdline, const char *word, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    if (str_safecopy(out, size, word ? word : ""))
        return out;
    const char *sp = cmdline ? strchr(cmdline, ' ') : nullptr;
    if (sp)
        str_safecat(out, size, sp);
    return out;
}

// ---------------------------------------------------------------- checks

int str_is_digits(const char *text)
{
    if (!text)
        return 0;
    for (; *text; text++)
        if (*text < '0' || *text > '9')
            return 0;
    return 1;
}

int str_is_ipv6_like(const char *text)
{
    if (!text)
        return 0;
    int n = 0;
    for (; *text; text++)
        n += *text == ':';
    return n >= 2;
}

int str_is_valid_name(const char *text) { return !has_any(text, k_name_set); }

int str_is_valid_url_key(const char *text) { return !has_any(text, k_name_set) && !has_any(text, "&="); }

int str_is_valid_url_val(const char *text) { return !has_any(text, "&"); }

int str_check_chars(const char *text, int flags, char *reason)
{
    const char *bad = nullptr;
    if (!text)
        text = "";
    if ((flags & STR_CHK_NOT_EMPTY) && !*text) {
        if (reason)
            str_safecopy(reason, 4096, "Can't be empty");
        return 0;
    }
    if ((flags & STR_CHK_NAME) && has_any(text, k_name_set))
        bad = k_name_set;
    else if ((flags & STR_CHK_URL_KEY) && has_any(text, "&="))
        bad = "&=";
    else if ((flags & STR_CHK_URL_VAL) && has_any(text, "&"))
        bad = "&";
    else if ((flags & STR_CHK_BRACKET) && has_any(text, "[]"))
        bad = "[]";
    if (!bad)
        return 1;
    if (reason)
        str_sprintf_s(reason, 4096, "Can't Contain [%s]", bad);
    return 0;
}
