// qexpr: rule texts, rule sets and their comparisons (see qexpr.h).
#include "libpal/qexpr/qexpr.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <strings.h>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/os/os_time.h"
#include "libpal/os/posix/os_fs_file3.h"
#include "libpal/regex/pl_regex.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_dyn.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/str_vars.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

struct op_row {
    const char *name;
    int32_t code;
};
constexpr op_row k_ops[] = {
    {"findhex", QEXPR_OP_FINDHEX},       {"!findhex", QEXPR_OP_NFINDHEX},   {"==", QEXPR_OP_EQ},
    {"!=", QEXPR_OP_NE},                 {"<", QEXPR_OP_LT},                {">", QEXPR_OP_GT},
    {"<=", QEXPR_OP_LE},                 {">=", QEXPR_OP_GE},               {"find", QEXPR_OP_FIND},
    {"!find", QEXPR_OP_NFIND},           {"gfind", QEXPR_OP_GFIND},         {"!gfind", QEXPR_OP_NGFIND},
    {"startswith", QEXPR_OP_STARTSWITH}, {"!startswith", QEXPR_OP_NSTARTSWITH},
    {"endswith", QEXPR_OP_ENDSWITH},     {"!endswith", QEXPR_OP_NENDSWITH}, {"glob", QEXPR_OP_GLOB},
    {"!glob", QEXPR_OP_NGLOB},           {"match", QEXPR_OP_MATCH},         {"!match", QEXPR_OP_NMATCH},
};

// A rule owned by a list; the list frees its rules.
struct rule_list {
    std::vector<qexpr_rule *> rules;
    rule_list() = default;
    rule_list(const rule_list &) = delete;
    rule_list &operator=(const rule_list &) = delete;
    ~rule_list()
    {
        for (qexpr_rule *r : rules)
            rule_free(r);
    }
    static void rule_free(qexpr_rule *r)
    {
        if (!r)
            return;
        os_free(r->name);
        os_free(r->value);
        os_free(r);
    }
};

qexpr_rule *rule_new(int enabled, const char *name, int opcode, const char *value, int kind)
{
    auto *r = static_cast<qexpr_rule *>(os_zalloc(sizeof(qexpr_rule)));
    if (!r)
        return nullptr;
    r->enabled = enabled ? 1 : 0;
    r->opcode = opcode;
    r->kind = kind;
    r->name = os_strdup(name ? name : "");
    r->value = os_strdup(value ? value : "");
    if (!r->name || !r->value) {
        rule_list::rule_free(r);
        return nullptr;
    }
    r->number = str_num_to_u64(r->value);
    return r;
}

struct mutex_hold {
    explicit mutex_hold(pl_mutex_t *m) : m(m) { mutex_lock(m); }
    ~mutex_hold() { mutex_unlock(m); }
    mutex_hold(const mutex_hold &) = delete;
    mutex_hold &operator=(const mutex_hold &) = delete;
    pl_mutex_t *m;
};

void err_set(char *err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void err_set(char *err, const char *fmt, ...)
{
    if (!err)
        return;
    va_list va;
    va_start(va, fmt);
    str_vsprintf_s2(err, QEXPR_ERR_SIZE, fmt, va);
    va_end(va);
}

} // namespace

struct qexpr_t {
    qexpr_ctx *context = nullptr;
    int32_t rule_mode = QEXPR_MODE_OR;
    pl_mutex_t mutex;
    rule_list *main_rules = nullptr;      // active
    rule_list *include_rules = nullptr;   // active
    rule_list *main_loading = nullptr;    // filled while a text is parsed
    rule_list *include_loading = nullptr; // idem, for an included file
    int32_t loading_include = 0;
};

// ---------------------------------------------------------------- operators

int expr_opcode_get(const char *name)
{
    if (!name)
        return -1;
    for (const op_row &o : k_ops)
        if (strcmp(o.name, name) == 0)
            return o.code;
    return -1;
}

const char *expr_opcode_name(int code)
{
    for (const op_row &o : k_ops)
        if (o.code == code)
            return o.name;
    // The case-blind forms carry the name of their operator.
    for (const op_row &o : k_ops)
        if (o.code > 1 && o.code + 2 == code)
            return o.name;
    return "";
}

// ---------------------------------------------------------------- searches

const void *qs_search(const void *haystack, size_t len, const void *needle, size_t nlen)
{
    if (!haystack || !needle || nlen == 0 || nlen > len)
        return nullptr;
    const auto *h = static_cast<const uint8_t *>(haystack);
    const auto *n = static_cast<const uint8_t *>(needle);
    size_t shift[256];
    for (size_t &s : shift)
        s = nlen + 1;
    for (size_t i = 0; i < nlen; i++)
        shift[n[i]] = nlen - i;
    size_t pos = 0;
    while (pos + nlen <= len) {
        if (memcmp(h + pos, n, nlen) == 0)
            return h + pos;
        // The byte after the window decides the shift; at the end there is none.
        if (pos + nlen >= len)
            break;
        pos += shift[h[pos + nlen]];
    }
    return nullptr;
}

const void *qs_search_str(const void *haystack, size_t len, const char *needle)
{
    return needle ? qs_search(haystack, len, needle, strlen(needle)) : nullptr;
}

const void *mem_search_mask(const void *haystack, size_t len, const void *needle, size_t nlen, const char *mask)
{
    if (!haystack || !needle || nlen == 0 || nlen > len)
        return nullptr;
    if (mask && strnlen(mask, nlen) < nlen)
        return nullptr;
    const auto *h = static_cast<const uint8_t *>(haystack);
    const auto *n = static_cast<const uint8_t *>(needle);
    for (size_t pos = 0; pos + nlen <= len; pos++) {
        size_t i = 0;
        while (i < nlen && ((mask && mask[i] == '?') || h[pos + i] == n[i]))
            i++;
        if (i == nlen)
            return h + pos;
    }
    return nullptr;
}

const void *mem_search(const void *haystack, size_t len, const void *needle, size_t nlen)
{
    return mem_search_mask(haystack, len, needle, nlen, nullptr);
}

const void *expr_find_hex(const void *bytes, size_t len, const char *pattern)
{
    if (!bytes || !pattern)
        return nullptr;
    if (strchr(pattern, '?')) {
        unsigned char *value = nullptr;
        char *mask = nullptr;
        size_t n = 0;
        if (str_hex_mask_decode_alloc(pattern, &value, &n, &mask) < 0)
            return nullptr;
        const void *r = n ? mem_search_mask(bytes, len, value, n, mask) : nullptr;
        os_free(value);
        os_free(mask);
        return r;
    }
    const size_t digits = strlen(pattern);
    if (digits == 0 || digits % 2 != 0)
        return nullptr;
    std::vector<uint8_t> needle(digits / 2);
    for (size_t i = 0; i < needle.size(); i++) {
        const unsigned hi = str_hex_digit_val(pattern[2 * i]), lo = str_hex_digit_val(pattern[2 * i + 1]);
        if (hi > 15 || lo > 15)
            return nullptr;
        needle[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return qs_search(bytes, len, needle.data(), needle.size());
}

// ---------------------------------------------------------------- comparisons

int expr_operate_str(const char *a, const char *b, int opcode, int nocase, int debug)
{
    if (!a)
        a = "";
    if (!b)
        b = "";
    if (nocase && opcode > 1)
        opcode += 2;
    if (debug)
        LOG_DBG(TAG, "%s [%s] [%s]\n", expr_opcode_name(opcode), a, b);
    const int neg = opcode & 1;
    int m;
    switch (opcode & ~1) {
    case 0: m = expr_find_hex(a, strlen(a), b) != nullptr; break;
    case 2: m = strcmp(a, b) == 0; break;
    case 4: m = strcasecmp(a, b) == 0; break;
    case 6: m = strcmp(a, b) < 0; break;
    case 8: m = strcasecmp(a, b) < 0; break;
    case 10: m = strcmp(a, b) <= 0; break;
    case 12: m = strcasecmp(a, b) <= 0; break;
    case 14: m = strstr(a, b) != nullptr; break;
    case 16: m = str_istr(a, b) != nullptr; break;
    case 18: m = str_str_word(a, b) != nullptr; break;
    case 20: m = str_istr_word(a, b) != nullptr; break;
    case 22: m = str_start_with(a, b); break;
    case 24: m = str_istart_with(a, b); break;
    case 26: m = str_end_with(a, b); break;
    case 28: m = str_iend_with(a, b); break;
    case 30: m = pl_glob_match_list(a, b, 0, 0); break;
    case 32: m = pl_glob_match_list(a, b, 1, 0); break;
    case 34: m = regmatch(a, b); break;
    case 36: m = regmatch_icase(a, b); break;
    default: return 0;
    }
    // For the "before"/"after" pairs the odd code is the other direction.
    if (neg && (opcode & ~1) >= 6 && (opcode & ~1) <= 12) {
        switch (opcode) {
        case 7: return strcmp(a, b) > 0;
        case 9: return strcasecmp(a, b) > 0;
        case 11: return strcmp(a, b) >= 0;
        case 13: return strcasecmp(a, b) >= 0;
        default: break;
        }
    }
    return neg ? !m : (m ? 1 : 0);
}

namespace {

bool is_number_type(int32_t t)
{
    return t == QEXPR_VT_U8 || t == QEXPR_VT_U16 || t == QEXPR_VT_U32 || t == QEXPR_VT_U64;
}

unsigned width_of(int32_t t)
{
    switch (t) {
    case QEXPR_VT_U8: return 1;
    case QEXPR_VT_U16: return 2;
    case QEXPR_VT_U32: return 4;
    default: return 8;
    }
}

uint64_t cut(uint64_t v, unsigned width) { return width >= 8 ? v : v & ((uint64_t{1} << (8 * width)) - 1); }

} // namespace

int expr_operate(const value2_t *v, const qexpr_rule *rule, int opcode)
{
    if (!v || !rule)
        return 0;
    if (is_number_type(v->type)) {
        const unsigned w = width_of(v->type);
        const uint64_t x = cut(v->v.u64, w);
        const uint64_t r = cut(rule->number, w);
        switch (opcode) {
        case QEXPR_OP_FINDHEX:
        case QEXPR_OP_NFINDHEX: {
            uint8_t le[8];
            for (unsigned i = 0; i < w; i++)
                le[i] = static_cast<uint8_t>(x >> (8 * i));
            const bool found = expr_find_hex(le, w, rule->value) != nullptr;
            return opcode == QEXPR_OP_FINDHEX ? found : !found;
        }
        case QEXPR_OP_EQ: return x == r;
        case QEXPR_OP_NE: return x != r;
        case QEXPR_OP_LT: return x < r;
        case QEXPR_OP_GT: return x > r;
        case QEXPR_OP_LE: return x <= r;
        case QEXPR_OP_GE: return x >= r;
        default: break;
        }
        char text[32];
        str_sprintf_s(text, sizeof text, "%llu", static_cast<unsigned long long>(x));
        return expr_operate_str(text, rule->value, opcode, 0, 0);
    }
    if (v->type != QEXPR_VT_TEXT)
        return 0;
    return expr_operate_str(v->v.str, rule->value, opcode, 0, 0);
}

// ---------------------------------------------------------------- the parser

namespace {

enum parse_state {
    ST_BETWEEN = 0,
    ST_AFTER_MARK = 1, // after '!' or '@'
    ST_COMMENT = 2,
    ST_QCOMMENT = 3,
    ST_AFTER_TILDE = 4,
    ST_NAME = 5,
    ST_AFTER_NAME = 6,
    ST_OP = 7,
    ST_BEFORE_VALUE = 8,
    ST_VALUE = 9,
    ST_AFTER_VALUE = 10,
};

bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_opchar(int c) { return c == '=' || c == '!' || c == '<' || c == '>'; }

struct parser {
    expr_parse_fn cb;
    void *arg;
    char *err;
    int line = 1, col = 1;
    // the rule being read
    int enabled = 1, kind = QEXPR_KIND_PLAIN;
    std::string name, op, value;
    char quote = 0; // '"' or '\'' once seen before the value

    void start_rule()
    {
        enabled = 1;
        kind = QEXPR_KIND_PLAIN;
        name.clear();
        op.clear();
        value.clear();
        quote = 0;
    }

    int fail_char(int c, const char *what)
    {
        err_set(err, "%d:%d [%c-0x%2x] %s", line, col, c, static_cast<unsigned char>(c), what);
        return -1;
    }

    int fail_syntax(int c, int code)
    {
        err_set(err, "%d:%d [%c-0x%2x] syntax error=%d", line, col, c, static_cast<unsigned char>(c), code);
        return -1;
    }

    bool append(std::string &s, char c, size_t cap)
    {
        if (s.size() >= cap)
            return false;
        s.push_back(c);
        return true;
    }

    // The rule is whole: check its operator, resolve escapes, hand it on.
    int complete()
    {
        int opcode = 0;
        if (kind != QEXPR_KIND_CMD) {
            opcode = expr_opcode_get(op.c_str());
            if (opcode < 0) {
                err_set(err, "%d:0 opcode=[%s] Unsupported", line, op.c_str());
                return -1;
            }
        }
        std::string v = value;
        if (!v.empty()) {
            std::vector<char> out(v.size() + 1);
            int n = 0;
            str_unescape_cstr_buf(v.c_str(), out.data(), out.size(), &n);
            // A zero byte would cut the value short: such an escape fails.
            if (n <= 1 || static_cast<size_t>(n - 1) != strlen(out.data()))
                LOG_DBG(TAG, "avg2=%s escape fail\n", v.c_str());
            else
                v.assign(out.data());
        }
        const int expand = quote != '\'' && kind != QEXPR_KIND_CMD;
        const int r = cb(arg, enabled, name.c_str(), opcode, v.c_str(), expand, kind);
        if (r == -2)
            err_set(err, "var [%s] does not exist", name.c_str());
        else if (r < 0)
            err_set(err, "expr malloc failed");
        return r < 0 ? r : 0;
    }
};

} // namespace

int expr_parse(const char *text, expr_parse_fn cb, void *arg, char *err)
{
    if (err)
        err[0] = '\0';
    if (!text || !cb) {
        err_set(err, "null argument");
        return -1;
    }
    parser p;
    p.cb = cb;
    p.arg = arg;
    p.err = err;
    int st = ST_BETWEEN;
    for (const char *s = text; *s; s++) {
        const int c = static_cast<unsigned char>(*s);
        int r = 0;
        switch (st) {
        case ST_BETWEEN:
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
                break;
            p.start_rule();
            if (c == '#')
                st = ST_COMMENT;
            else if (c == '\'')
                st = ST_QCOMMENT;
            else if (c == '!' || c == '@') {
                p.kind = c == '!' ? QEXPR_KIND_NOT : QEXPR_KIND_CMD;
                st = ST_AFTER_MARK;
            } else if (c == '~') {
                p.enabled = 0;
                st = ST_AFTER_TILDE;
            } else if (is_letter(c) || c == '_') {
                p.name.push_back(static_cast<char>(c));
                st = ST_NAME;
            } else
                return p.fail_char(c, "error: Var must start with letter or underscore");
            break;
        case ST_AFTER_MARK:
            if (c == ' ' || c == '\t')
                break;
            if (!is_letter(c) && c != '_')
                return p.fail_char(c, "error: Var must start with letter or underscore");
            p.name.push_back(static_cast<char>(c));
            st = ST_NAME;
            break;
        case ST_COMMENT:
            if (c == '\n' || c == ';')
                st = ST_BETWEEN;
            break;
        case ST_QCOMMENT:
            if (c == '\'')
                st = ST_BETWEEN;
            break;
        case ST_AFTER_TILDE:
            if (c == ' ' || c == '\t')
                break;
            if (c == '!' || c == '@') {
                p.kind = c == '!' ? QEXPR_KIND_NOT : QEXPR_KIND_CMD;
                st = ST_AFTER_MARK;
            } else if (is_letter(c) || c == '_') {
                p.name.push_back(static_cast<char>(c));
                st = ST_NAME;
            } else
                return p.fail_char(c, "error:  ban_cmd character cannot appear");
            break;
        case ST_NAME:
            if (is_letter(c) || is_digit(c) || c == '.' || c == '@' || c == '_' || c == '-') {
                if (!p.append(p.name, static_cast<char>(c), QEXPR_MAX_TOKEN))
                    return p.fail_syntax(c, 2);
            } else if (c == '\r') {
            } else if (c == ' ') {
                st = p.kind == QEXPR_KIND_CMD ? ST_BEFORE_VALUE : ST_AFTER_NAME;
            } else if (is_opchar(c)) {
                p.op.push_back(static_cast<char>(c));
                st = ST_OP;
            } else
                return p.fail_syntax(c, 2);
            break;
        case ST_AFTER_NAME:
            if (c == ' ' || c == '\t')
                break;
            if (!is_opchar(c) && !is_letter(c))
                return p.fail_syntax(c, 3);
            p.op.push_back(static_cast<char>(c));
            st = ST_OP;
            break;
        case ST_OP:
            if (c == ' ' || c == '\t') {
                st = ST_BEFORE_VALUE;
            } else if (is_opchar(c)) {
                if (!p.append(p.op, static_cast<char>(c), QEXPR_MAX_OP))
                    return p.fail_syntax(c, 4);
            } else if (is_letter(c) || is_digit(c)) {
                if (p.op[0] == '!' || is_letter(static_cast<unsigned char>(p.op[0]))) {
                    if (!p.append(p.op, static_cast<char>(c), QEXPR_MAX_OP))
                        return p.fail_syntax(c, 4);
                } else {
                    // "level>=4": the operator ends where the value begins.
                    p.value.push_back(static_cast<char>(c));
                    st = ST_VALUE;
                }
            } else
                return p.fail_syntax(c, 4);
            break;
        case ST_BEFORE_VALUE:
            if ((c == ' ' || c == '\t') && p.quote != '"')
                break;
            if (c == '"' || c == '\'') {
                p.quote = static_cast<char>(c);
                break;
            }
            if (c == '\r' || c == '\n')
                return p.fail_syntax(c, 5);
            p.value.push_back(static_cast<char>(c));
            st = ST_VALUE;
            break;
        case ST_VALUE:
            if (p.quote) {
                if (c == p.quote) {
                    r = p.complete();
                    st = ST_AFTER_VALUE;
                } else if (!p.append(p.value, static_cast<char>(c), QEXPR_MAX_TOKEN))
                    return p.fail_syntax(c, 7);
            } else if (c == ' ' || c == '\t' || c == '\r') {
                r = p.complete();
                st = ST_AFTER_VALUE;
            } else if (c == ';' || c == '\n') {
                r = p.complete();
                st = ST_BETWEEN;
            } else if (c == '#') {
                r = p.complete();
                st = ST_COMMENT;
            } else if (!p.append(p.value, static_cast<char>(c), QEXPR_MAX_TOKEN))
                return p.fail_syntax(c, 7);
            break;
        case ST_AFTER_VALUE:
            if (c == ' ' || c == '\t' || c == '\r')
                break;
            if (c == ';' || c == '\n')
                st = ST_BETWEEN;
            else if (c == '#')
                st = ST_COMMENT;
            else
                return p.fail_syntax(c, 6);
            break;
        default: break;
        }
        if (r < 0)
            return r;
        if (c == '\n') {
            p.line++;
            p.col = 1;
        } else {
            p.col++;
        }
    }
    if (st == ST_VALUE)
        return p.complete();
    if (st == ST_BETWEEN || st == ST_COMMENT || st == ST_AFTER_VALUE)
        return 0;
    err_set(err, "%d:0 mode=%d Incomplete expression error", p.line, st);
    return -1;
}

namespace {

int check_cb(void *, int, const char *, int, const char *, int, int) { return 0; }

bool has_space(const char *s) { return strchr(s, ' ') != nullptr; }

// One rule as the dumps write it; canonical quotes a command's value with
// double quotes and leaves it unescaped.
void dump_rule(str_dyn *d, int enabled, const char *name, int opcode, const char *value, int kind, bool canonical)
{
    const char *tilde = enabled ? "" : "~ ";
    if (kind == QEXPR_KIND_CMD) {
        if (has_space(value))
            str_dyn_printf(d, canonical ? "%s@ %s \"%s\"\n" : "%s@ %s '%s'\n", tilde, name, value);
        else
            str_dyn_printf(d, "%s@ %s %s\n", tilde, name, value);
        return;
    }
    char *esc = str_escape_tab(value);
    const char *v = esc ? esc : value;
    const char *neg = kind == QEXPR_KIND_NOT ? "!" : "";
    if (has_space(value))
        str_dyn_printf(d, "%s%s %s %s \"%s\"\n", tilde, neg, name, expr_opcode_name(opcode), v);
    else
        str_dyn_printf(d, "%s%s %s %s %s\n", tilde, neg, name, expr_opcode_name(opcode), v);
    os_free(esc);
}

int dump_cb(void *arg, int enabled, const char *name, int opcode, const char *value, int, int kind)
{
    dump_rule(static_cast<str_dyn *>(arg), enabled, name, opcode, value, kind, true);
    return 0;
}

char *read_text(const char *path)
{
    size_t n = 0;
    return os_file_read_all(path, &n, 1);
}

} // namespace

int expr_parse_check(const char *text, char *err) { return expr_parse(text, check_cb, nullptr, err); }

char *expr_parse_dump(const char *text, char *err)
{
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    if (expr_parse(text, dump_cb, d, err) < 0) {
        str_dyn_free(d);
        return nullptr;
    }
    return str_dyn_detach_nonull(d); // frees the holder
}

int expr_check_file(const char *path, char *err)
{
    char *text = path ? read_text(path) : nullptr;
    if (!text) {
        err_set(err, "file open failed");
        return -1;
    }
    const int r = expr_parse_check(text, err);
    os_free(text);
    return r;
}

char *expr_dump_file(const char *path, char *err)
{
    char *text = path ? read_text(path) : nullptr;
    if (!text) {
        err_set(err, "file open failed");
        return nullptr;
    }
    char *r = expr_parse_dump(text, err);
    os_free(text);
    return r;
}

// ---------------------------------------------------------------- rule sets

namespace {

// Date words: the local date now minus a number of seconds.
char *date_word(const char *name)
{
    static constexpr struct {
        const char *name;
        int64_t back;
    } k_dates[] = {{"today", 0}, {"last_week", 604800}, {"last_mon", 2592000}, {"last_year", 31536000}};
    for (const auto &d : k_dates) {
        if (strcmp(d.name, name) != 0)
            continue;
        const struct tm *tm = os_localtime(static_cast<int64_t>(time(nullptr)) - d.back);
        if (!tm)
            return nullptr;
        char *out = nullptr;
        os_asprintf(&out, "%04d-%02d-%02d", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
        return out;
    }
    return nullptr;
}

char *lookup_var(const char *name, void *)
{
    char *v = date_word(name);
    return v ? v : str_var_get_env(name, nullptr);
}

rule_list *loading_list(qexpr_t *set)
{
    rule_list *&l = set->loading_include ? set->include_loading : set->main_loading;
    if (!l)
        l = new (std::nothrow) rule_list();
    return l;
}

int add_rule(qexpr_t *set, int enabled, const char *name, int opcode, const char *value, int expand, int kind)
{
    char *expanded = nullptr;
    if (expand) {
        expanded = str_expand_vars_imp(value, lookup_var, nullptr);
        if (!expanded)
            return -3;
    }
    rule_list *l = loading_list(set);
    qexpr_rule *r = l ? rule_new(enabled, name, opcode, expanded ? expanded : value, kind) : nullptr;
    os_free(expanded);
    if (!r)
        return -3;
    try {
        l->rules.push_back(r);
    } catch (...) {
        rule_list::rule_free(r);
        return -3;
    }
    return 0;
}

int qexpr_rule_add_cb(void *arg, int enabled, const char *name, int opcode, const char *value, int expand, int kind)
{
    return add_rule(static_cast<qexpr_t *>(arg), enabled, name, opcode, value, expand, kind);
}

void drop_loading(qexpr_t *set)
{
    delete set->main_loading;
    delete set->include_loading;
    set->main_loading = set->include_loading = nullptr;
    set->loading_include = 0;
}

// Runs the enabled commands of one loading list; mode gets a rule_mode's value.
int run_commands(qexpr_t *set, rule_list *l, int32_t *mode, char *err)
{
    if (!l)
        return 0;
    // An include appends to the include list, never to l itself, so the
    // walk by index stays valid.
    for (size_t i = 0; i < l->rules.size(); i++) {
        const qexpr_rule *r = l->rules[i];
        if (!r->enabled || r->kind != QEXPR_KIND_CMD)
            continue;
        if (strcmp(r->name, "rule_mode") == 0) {
            if (strcmp(r->value, "or") == 0)
                *mode = QEXPR_MODE_OR;
            else if (strcmp(r->value, "and") == 0)
                *mode = QEXPR_MODE_AND;
            else {
                err_set(err, "rule_mode = %s error, [or and]", r->value);
                return -1;
            }
        } else if (strcmp(r->name, "include") == 0) {
            if (set->loading_include) {
                err_set(err, "Only one level of include is supported");
                return -1;
            }
            char *path = str_expand_env(r->value);
            char *text = path ? read_text(path) : nullptr;
            if (!text) {
                err_set(err, "include [%s][%s] error: %s", r->value, path ? path : "", strerror(errno));
                os_free(path);
                return -1;
            }
            os_free(path);
            set->loading_include = 1;
            if (!set->include_loading)
                set->include_loading = new (std::nothrow) rule_list();
            const size_t first = set->include_loading ? set->include_loading->rules.size() : 0;
            int rc = set->include_loading ? expr_parse(text, qexpr_rule_add_cb, set, err) : -1;
            os_free(text);
            if (rc == 0) {
                // The included file's own commands run the same way; an
                // include among them is refused by the flag still set.
                rule_list part;
                for (size_t k = first; k < set->include_loading->rules.size(); k++)
                    part.rules.push_back(set->include_loading->rules[k]);
                rc = run_commands(set, &part, mode, err);
                part.rules.clear(); // still owned by the include list
            }
            set->loading_include = 0;
            if (rc < 0)
                return -1;
        } else {
            err_set(err, "unsupprot cmd [%s] error", r->name);
            return -1;
        }
    }
    return 0;
}

int commit(qexpr_t *set, char *err)
{
    int32_t mode = set->rule_mode;
    if (run_commands(set, set->main_loading, &mode, err) < 0) {
        drop_loading(set);
        return -1;
    }
    rule_list *old_main, *old_include;
    {
        mutex_hold lk(&set->mutex);
        old_main = set->main_rules;
        old_include = set->include_rules;
        set->main_rules = set->main_loading;
        set->include_rules = set->include_loading;
        set->rule_mode = mode;
    }
    set->main_loading = set->include_loading = nullptr;
    set->loading_include = 0;
    delete old_main;
    delete old_include;
    return 0;
}

rule_list *copy_list(const rule_list *src, bool *ok)
{
    if (!src)
        return nullptr;
    auto *l = new (std::nothrow) rule_list();
    if (!l) {
        *ok = false;
        return nullptr;
    }
    for (const qexpr_rule *r : src->rules) {
        qexpr_rule *c = rule_new(r->enabled, r->name, r->opcode, r->value, r->kind);
        if (!c) {
            *ok = false;
            break;
        }
        l->rules.push_back(c);
    }
    return l;
}

} // namespace

qexpr_t *qexpr_new(qexpr_ctx *context)
{
    auto *set = new (std::nothrow) qexpr_t();
    if (!set)
        return nullptr;
    if (os_mutex_init(&set->mutex) != 0) {
        delete set;
        return nullptr;
    }
    set->context = context;
    return set;
}

int qexpr_free(qexpr_t *set)
{
    if (!set)
        return 0;
    drop_loading(set);
    delete set->main_rules;
    delete set->include_rules;
    os_mutex_destroy(&set->mutex);
    delete set;
    return 0;
}

int qexpr_reset(qexpr_t *set)
{
    if (set)
        drop_loading(set);
    return 0;
}

int qexpr_load_str(qexpr_t *set, const char *text, char *err)
{
    PL_ASSERT_RET(TAG, set!=NULL, -1);
    drop_loading(set);
    // An empty text still makes an empty active list.
    set->main_loading = new (std::nothrow) rule_list();
    if (!set->main_loading || expr_parse(text, qexpr_rule_add_cb, set, err) < 0) {
        drop_loading(set);
        return -1;
    }
    return commit(set, err);
}

int qexpr_load_file(qexpr_t *set, const char *path, char *err)
{
    PL_ASSERT_RET(TAG, set!=NULL, -1);
    char *text = path ? read_text(path) : nullptr;
    if (!text)
        return 0;
    int r = expr_parse_check(text, err);
    if (r == 0)
        r = qexpr_load_str(set, text, err);
    os_free(text);
    return r < 0 ? -1 : 0;
}

int qexpr_add_rules(qexpr_t *set, int enabled, const char *name, const char *op, const char *value, int kind)
{
    PL_ASSERT_RET(TAG, set!=NULL, -1);
    int opcode = 0;
    if (kind != QEXPR_KIND_CMD) {
        opcode = expr_opcode_get(op);
        if (opcode < 0) {
            LOG_ERR(TAG, "opcode=[%s] Unsupported\n", op ? op : "");
            return -1;
        }
    }
    return add_rule(set, enabled, name ? name : "", opcode, value ? value : "", kind != QEXPR_KIND_CMD, kind) < 0
               ? -2
               : 0;
}

int qexpr_commit_main(qexpr_t *set, char *err)
{
    PL_ASSERT_RET(TAG, set!=NULL, -1);
    if (!set->main_loading)
        set->main_loading = new (std::nothrow) rule_list();
    return commit(set, err);
}

int qexpr_copy(qexpr_t *dst, qexpr_t *src)
{
    PL_ASSERT_RET(TAG, dst!=NULL && src!=NULL, -1);
    if (dst == src)
        return 0;
    bool ok = true;
    rule_list *m, *inc;
    int32_t mode;
    {
        mutex_hold lk(&src->mutex);
        m = copy_list(src->main_rules, &ok);
        inc = copy_list(src->include_rules, &ok);
        mode = src->rule_mode;
    }
    if (!ok) {
        delete m;
        delete inc;
        return -1;
    }
    rule_list *old_m, *old_inc;
    {
        mutex_hold lk(&dst->mutex);
        old_m = dst->main_rules;
        old_inc = dst->include_rules;
        dst->main_rules = m;
        dst->include_rules = inc;
        dst->rule_mode = mode;
    }
    delete old_m;
    delete old_inc;
    return 0;
}

int qexpr_walk(qexpr_t *set, qexpr_walk_fn proc, void *arg)
{
    PL_ASSERT_RET(TAG, set!=NULL, -1);
    if (!proc)
        return 0;
    mutex_hold lk(&set->mutex);
    if (!set->main_rules)
        return 0;
    for (const qexpr_rule *r : set->main_rules->rules) {
        const bool cmd = r->kind == QEXPR_KIND_CMD;
        proc(r->enabled, cmd, r->name, cmd ? 0 : r->opcode, r->value, cmd ? 0 : r->kind, arg, r);
    }
    return 0;
}

int qexpr_has_rules(qexpr_t *set)
{
    if (!set)
        return 0;
    mutex_hold lk(&set->mutex);
    for (const rule_list *l : {set->main_rules, set->include_rules}) {
        if (!l)
            continue;
        for (const qexpr_rule *r : l->rules)
            if (r->enabled && r->kind != QEXPR_KIND_CMD)
                return 1;
    }
    return 0;
}

int qexpr_rule_mode(qexpr_t *set)
{
    if (!set)
        return QEXPR_MODE_OR;
    mutex_hold lk(&set->mutex);
    return set->rule_mode;
}

int qexpr_filter_drop(qexpr_t *set, qexpr_value_fn value_proc, void *arg)
{
    PL_ASSERT_RET(TAG, set!=NULL, 1);
    mutex_hold lk(&set->mutex);
    const bool and_mode = set->rule_mode == QEXPR_MODE_AND;
    bool any = false;
    int last = 0; // keep when no rule could be compared
    for (const rule_list *l : {set->main_rules, set->include_rules}) {
        if (!l)
            continue;
        for (const qexpr_rule *r : l->rules) {
            if (!r->enabled || r->kind == QEXPR_KIND_CMD)
                continue;
            any = true;
            if (!value_proc)
                break; // without a context there is nowhere else to read fields
            value2_t v;
            memset(&v, 0, sizeof v);
            if (value_proc(r->name, &v, arg) < 0) {
                LOG_ERR(TAG, "var_proc get_arg1 [%s] failed\n", r->name);
                continue;
            }
            // Without a context, filtering ignores letter case: texts raise
            // every code above findhex, numbers only the text comparisons.
            int opcode = r->opcode;
            if (is_number_type(v.type) ? opcode > 13 : opcode > 1)
                opcode += 2;
            const bool m = expr_operate(&v, r, opcode) != 0;
            const bool neg = r->kind == QEXPR_KIND_NOT;
            const int outcome = neg ? (m ? 1 : 0) : (m ? 0 : 1);
            if (!and_mode && m)
                return neg ? 1 : 0;
            if (and_mode && !m)
                return neg ? 0 : 1;
            last = outcome;
        }
    }
    if (!any)
        return and_mode ? 0 : 1;
    return last;
}

namespace {

char *dump_imp(qexpr_t *set, bool full)
{
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    {
        mutex_hold lk(&set->mutex);
        str_dyn_printf(d, "# rule_mode=%s\n", set->rule_mode == QEXPR_MODE_AND ? "and" : "or");
        str_dyn_add_str(d, "#main----------------------\n");
        if (set->main_rules)
            for (const qexpr_rule *r : set->main_rules->rules)
                dump_rule(d, r->enabled, r->name, r->opcode, r->value, r->kind, false);
        if (full) {
            str_dyn_add_str(d, "#include-------------------\n");
            if (set->include_rules)
                for (const qexpr_rule *r : set->include_rules->rules)
                    dump_rule(d, r->enabled, r->name, r->opcode, r->value, r->kind, false);
        }
        str_dyn_add_str(d, "#end-----------------------\n");
    }
    return str_dyn_detach_nonull(d); // frees the holder
}

} // namespace

char *qexpr_dump_main_rules(qexpr_t *h)
{
    PL_ASSERT_RET(TAG, h!=NULL, nullptr);
    return dump_imp(h, false);
}

char *qexpr_dump_rules_str(qexpr_t *h)
{
    PL_ASSERT_RET(TAG, h!=NULL, nullptr);
    return dump_imp(h, true);
}

uint64_t qexpr_rules_crc(qexpr_t *set)
{
    char *text = qexpr_dump_rules_str(set);
    if (!text)
        return 0;
    const uint64_t crc = hash_crc64(text, strlen(text), 0);
    os_free(text);
    return crc;
}
