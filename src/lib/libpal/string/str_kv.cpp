// Key/value text, separated name lists, field cutters and typed field lists.
#include "libpal/string/str_kv.h"

#include <cstdint>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"

#define TAG "pal"

namespace {

constexpr size_t k_item_size = 8192; // longest key/value item, with its NUL

enum field_type { T_BAD, T_U64, T_X64, T_U32, T_X32, T_INT, T_STR, T_ESTR };

field_type type_of(const char *name, size_t len)
{
    static constexpr struct {
        const char *name;
        field_type t;
    } k_types[] = {{"u64", T_U64}, {"x64", T_X64}, {"u32", T_U32}, {"x32", T_X32},
                   {"int", T_INT}, {"str", T_STR}, {"estr", T_ESTR}};
    for (const auto &k : k_types)
        if (strlen(k.name) == len && memcmp(k.name, name, len) == 0)
            return k.t;
    return T_BAD;
}

int invalid_type(const char *name, size_t len)
{
    LOG_ERR(TAG, "invalid param [%.*s]\n", int(len), name);
    os_set_verr(VERR_INVALID_PARAMETER);
    return -1;
}

// Backslash escapes decoded into a new allocation (never longer than the
// escaped text).
char *unescape_dup(const char *field)
{
    const size_t n = strlen(field) + 1;
    char *out = static_cast<char *>(os_malloc(n));
    if (out)
        str_unescape_cstr_buf(field, out, n, nullptr);
    return out;
}

bool ends_with(const char *s, size_t len, const char *suffix)
{
    const size_t n = strlen(suffix);
    return n && len >= n && memcmp(s + len - n, suffix, n) == 0;
}

bool item_is(const char *item, size_t len, const char *s) { return strlen(s) == len && memcmp(item, s, len) == 0; }

// Calls fn(item, len) for every item of list cut at any character of seps,
// empty items included; stops early when fn returns false.
template <class F> void for_each_item(const char *list, const char *seps, F fn)
{
    const char *p = list;
    for (;;) {
        const size_t n = strcspn(p, seps);
        if (!fn(p, n) || !p[n])
            return;
        p += n + 1;
    }
}

} // namespace


// ---- typed field lists ----------------------------------------------------------------------

// The caller's variable must have the width the type stores.
static int check_size(field_type t, size_t vlen)
{
    switch (t) {
    case T_U64:
    case T_X64:
        PL_ASSERT_RET(TAG, vlen==sizeof(uint64_t), -1);
        break;
    case T_U32:
    case T_X32:
        PL_ASSERT_RET(TAG, vlen==sizeof(uint32_t), -1);
        break;
    case T_INT:
        PL_ASSERT_RET(TAG, vlen==sizeof(int), -1);
        break;
    default:
        break;
    }
    return 0;
}

// Converts one field into *dst. 0, or -1 on allocation failure.
static int store_field(field_type t, char *field, void *dst, bool copy)
{
    switch (t) {
    case T_U64: *static_cast<uint64_t *>(dst) = str_ato64u(field); break;
    case T_X64: *static_cast<uint64_t *>(dst) = str_ato64x(field); break;
    case T_U32: *static_cast<uint32_t *>(dst) = str_ato32u(field); break;
    case T_X32: *static_cast<uint32_t *>(dst) = str_ato32x(field); break;
    case T_INT: *static_cast<int *>(dst) = str_atoi(field); break;
    case T_STR: {
        char *v = copy ? os_strdup(field) : field;
        if (!v)
            return -1;
        *static_cast<char **>(dst) = v;
        break;
    }
    case T_ESTR: {
        char *v = unescape_dup(field);
        if (!v)
            return -1;
        if (!copy) {
            strcpy(field, v);
            os_free(v);
            v = field;
        }
        *static_cast<char **>(dst) = v;
        break;
    }
    case T_BAD: return -1;
    }
    return 0;
}

int str_scanf_sep_val_imp(char *text, int copy, const char *seps, int sized, const char *types, va_list args)
{
    PL_ASSERT_RET(TAG, text != nullptr && seps != nullptr && types != nullptr, -1);
    char *work = copy ? os_strdup(text) : text;
    if (!work)
        return -1;
    int stored = 0;
    int result = 0;
    char *field = work;
    const char *tp = types;
    // Fields and type names are walked together, so the count is the
    // smaller of the two and extra fields or types are never looked at.
    for (;;) {
        const size_t tlen = strcspn(tp, "|");
        char *end = field + strcspn(field, seps);
        const bool more_fields = *end != '\0';
        *end = '\0';

        void *dst = va_arg(args, void *);
        if (!dst) {
            os_set_verr(VERR_INVALID_PARAMETER);
            result = -1;
            break;
        }
        const field_type t = type_of(tp, tlen);
        const size_t vlen = sized ? va_arg(args, size_t) : 0;
        if (t == T_BAD) {
            result = invalid_type(tp, tlen);
            break;
        }
        if ((sized && check_size(t, vlen) != 0) || store_field(t, field, dst, copy != 0) != 0) {
            result = -1;
            break;
        }
        ++stored;
        if (!more_fields || !tp[tlen])
            break;
        field = end + 1;
        tp += tlen + 1;
    }
    if (copy)
        os_free(work);
    return result < 0 ? -1 : stored;
}

int str_scanf_sep_val_dup(const char *text, const char *seps, int sized, const char *types, ...)
{
    va_list va;
    va_start(va, types);
    // copy mode never writes to text
    int r = str_scanf_sep_val_imp(const_cast<char *>(text), 1, seps, sized, types, va);
    va_end(va);
    return r;
}

int str_scanf_sep_val(char *text, const char *seps, int sized, const char *types, ...)
{
    va_list va;
    va_start(va, types);
    int r = str_scanf_sep_val_imp(text, 0, seps, sized, types, va);
    va_end(va);
    return r;
}

int str_sprintf_sep_val_imp(char *out, size_t size, const char *sep, const char *types, va_list args)
{
    PL_ASSERT_RET(TAG, out != nullptr && size > 0, -1);
    out[0] = '\0';
    PL_ASSERT_RET(TAG, sep != nullptr && types != nullptr, -1);
    int count = 0;
    const char *tp = types;
    for (;;) {
        const size_t tlen = strcspn(tp, "|");
        int r;
        switch (type_of(tp, tlen)) {
        case T_U64: r = strcat_printf(out, size, "%llu%s", va_arg(args, unsigned long long), sep); break;
        case T_X64: r = strcat_printf(out, size, "%llx%s", va_arg(args, unsigned long long), sep); break;
        case T_U32: r = strcat_printf(out, size, "%u%s", va_arg(args, unsigned), sep); break;
        case T_X32: r = strcat_printf(out, size, "%x%s", va_arg(args, unsigned), sep); break;
        case T_INT: r = strcat_printf(out, size, "%d%s", va_arg(args, int), sep); break;
        case T_STR: {
            const char *s = va_arg(args, const char *);
            r = strcat_printf(out, size, "%s%s", s ? s : "", sep);
            break;
        }
        default: {
            const size_t len = strlen(out);
            if (ends_with(out, len, sep))
                out[len - strlen(sep)] = '\0';
            return invalid_type(tp, tlen);
        }
        }
        if (r < 0) {
            out[0] = '\0';
            return -1;
        }
        ++count;
        if (!tp[tlen])
            break;
        tp += tlen + 1;
    }
    const size_t len = strlen(out);
    if (ends_with(out, len, sep))
        out[len - strlen(sep)] = '\0';
    return count;
}

int str_sprintf_sep_val(char *out, size_t size, const char *sep, const char *types, ...)
{
    va_list va;
    va_start(va, types);
    int r = str_sprintf_sep_val_imp(out, size, sep, types, va);
    va_end(va);
    return r;
}

// ---- key/value readers ----------------------------------------------------------------------

const char *str_ctok(const char *text, const char *seps, char *out, size_t size)
{
    PL_ASSERT_RET(TAG, text != nullptr && seps != nullptr && out != nullptr, nullptr);
    const size_t n = strcspn(text, seps);
    if (n + 1 > size) {
        char head[32];
        LOG_ERR(TAG, "need_len=%d req_len=%d head=[%s]\n", int(n + 1), int(size), str_get_head(text, head, sizeof head));
        pl_dump_stack();
        return nullptr;
    }
    memcpy(out, text, n);
    out[n] = '\0';
    return text + n;
}

// Walks the items of text; fn(key, value) gets the trimmed parts of each
// non-empty item holding kv and returns true to stop. Returns 1 when fn
// stopped, 0 at the end of the text, -1 when the walk failed (over-long item,
// or an item without kv when stop_at_bare).
template <class F>
static int kv_walk(const char *text, const char *seps, char kv, bool stop_at_bare, F fn)
{
    if (!text || !seps)
        return -1;
    char item[k_item_size];
    const char *p = text;
    while (*p) {
        const char *next = str_ctok(p, seps, item, sizeof item);
        if (!next)
            return -1;
        if (*item) {
            char *eq = strchr(item, kv);
            if (!eq) {
                if (stop_at_bare)
                    return -1;
            } else {
                *eq = '\0';
                if (fn(str_trim(item), str_trim(eq + 1)))
                    return 1;
            }
        }
        p = *next ? next + 1 : next;
    }
    return 0;
}

int str_kv_get_imp(const char *text, const char *seps, char kv, const char *key, char *out, size_t size)
{
    if (!key || !out || size == 0)
        return -1;
    int r = -1;
    kv_walk(text, seps, kv, true, [&](const char *k, const char *v) {
        if (strcmp(k, key) != 0)
            return false;
        r = str_safecopy(out, size, v) == 0 ? 0 : -1;
        return true;
    });
    return r;
}

int str_kv_get(const char *text, const char *seps, const char *key, char *out, size_t size)
{
    return str_kv_get_imp(text, seps, '=', key, out, size);
}

int str_kv_get_line(const char *text, const char *key, char *out, size_t size)
{
    return str_kv_get_imp(text, "\r\n", '=', key, out, size);
}

int str_kv_find_key(const char *text, const char *seps, char kv, const char *value, char *out, size_t size)
{
    if (!value || !out || size == 0)
        return -1;
    int r = -1;
    kv_walk(text, seps, kv, false, [&](const char *k, const char *v) {
        if (strcmp(v, value) != 0)
            return false;
        r = str_safecopy(out, size, k) == 0 ? 0 : -1;
        return true;
    });
    return r;
}

int str_kv_get_url_arg(const char *text, const char *key, char *out, size_t size)
{
    char v[k_item_size];
    if (str_kv_get(text, "&", key, v, sizeof v) != 0)
        return -1;
    return str_unescape_url_args(v, out, size) == 0 ? 0 : -1;
}

int str_kv_get_line_bracket(const char *text, const char *key, char *out, size_t size)
{
    char v[k_item_size];
    if (!out || size == 0 || str_kv_get(text, "\n", key, v, sizeof v) != 0)
        return -1;
    const char *open = strchr(v, '[');
    const char *close = strrchr(v, ']');
    if (!open || !close || close < open)
        return -1;
    const size_t n = size_t(close - open - 1);
    if (n + 1 > size)
        return -1;
    memcpy(out, open + 1, n);
    out[n] = '\0';
    return 0;
}

int str_kv_get_unquote_imp(const char *text, const char *seps, char kv, const char *key, char *out, size_t size)
{
    int r = str_kv_get_imp(text, seps, kv, key, out, size);
    if (r != 0)
        return r;
    const size_t n = strlen(out);
    if (n >= 2) {
        const char a = out[0], b = out[n - 1];
        if ((a == '\'' && b == '\'') || (a == '"' && b == '"') || (a == '[' && b == ']')) {
            memmove(out, out + 1, n - 2);
            out[n - 2] = '\0';
        }
    }
    return r;
}

int str_kv_get_line_unquote(const char *text, const char *key, char *out, size_t size)
{
    return str_kv_get_unquote_imp(text, "\n", '=', key, out, size);
}

// ---- key/value writers ----------------------------------------------------------------------

int str_kv_set(char *text, size_t size, const char *seps, int mode, const char *key, const char *value)
{
    PL_ASSERT_RET(TAG, text != nullptr && size > 0, -1);
    if (!seps || !*seps || !key || !*key || !value || mode < 1 || mode > 4)
        return -1;
    // Room for the separator written after the last item, removed at the end.
    const size_t slen = strlen(seps);
    char *res = static_cast<char *>(os_malloc(size + slen));
    if (!res)
        return -1;
    const bool replace = mode == 1 || mode == 3;
    const bool add = mode == 1 || mode == 2;
    const size_t klen = strlen(key);
    bool matched = false;
    str_out o(res, size + slen);
    auto write_kv = [&] {
        o.add(key);
        o.add("=");
        o.add(value);
        o.add(seps);
    };
    // An empty text holds no items (not one empty item), so adding to it
    // does not start the list with a separator.
    if (*text) {
        for_each_item(text, seps, [&](const char *item, size_t len) {
            const bool match = len > klen && memcmp(item, key, klen) == 0 && item[klen] == '=';
            matched = matched || match;
            if (match && replace) {
                write_kv();
            } else if (!(match && mode == 4)) {
                o.add(item, len);
                o.add(seps);
            }
            return true;
        });
    }
    if (add && !matched)
        write_kv();
    size_t len = o.len;
    if (o.ok && ends_with(res, len, seps))
        res[len -= slen] = '\0';
    if (!o.ok || len >= size) {
        LOG_ERR(TAG, "key=[%s] error: the list does not fit %zu bytes\n", key, size);
        os_free(res);
        return -1;
    }
    memcpy(text, res, len + 1);
    os_free(res);
    return 0;
}

char *str_kv_add_url_arg(char *out, size_t size, const char *key, const char *value)
{
    PL_ASSERT_RET(TAG, out != nullptr && size > 0, out);
    if (!key || !value)
        return out;
    char enc[k_item_size];
    if (str_escape_url_args(value, enc, sizeof enc) != 0)
        return out;
    strcat_printf(out, size, "%s%s=%s", *out ? "&" : "", key, enc);
    return out;
}

// ---- separated name lists -------------------------------------------------------------------

int str_list_has(const char *list, const char *seps, const char *s)
{
    if (!list || !seps || !s || !*s)
        return 0;
    bool found = false;
    for_each_item(list, seps, [&](const char *item, size_t len) {
        found = item_is(item, len, s);
        return !found;
    });
    return found ? 1 : 0;
}

int str_list_add(char *list, size_t size, const char *seps, const char *s)
{
    PL_ASSERT_RET(TAG, list != nullptr && seps != nullptr && s != nullptr, -1);
    if (!*s || str_list_has(list, seps, s))
        return 0;
    const size_t len = strlen(list);
    const size_t need = len + (len && *seps ? 1 : 0) + strlen(s) + 1;
    if (need > size) {
        LOG_ERR(TAG, "need_size=%zu buf_size=%zu item=[%s]\n", need, size, s);
        return -1;
    }
    if (len && *seps)
        list[len] = seps[0], list[len + 1] = '\0';
    strcat(list, s);
    return 0;
}

int str_list_del(char *list, size_t size, const char *seps, const char *s)
{
    PL_ASSERT_RET(TAG, list != nullptr && size > 0 && seps != nullptr && s != nullptr, -1);
    const size_t n = strlen(list);
    char *res = static_cast<char *>(os_malloc(n + 1));
    if (!res)
        return -1;
    size_t len = 0;
    res[0] = '\0';
    for_each_item(list, seps, [&](const char *item, size_t ilen) {
        if (ilen == 0 || item_is(item, ilen, s))
            return true;
        // keep only the first of repeated items
        bool seen = false;
        for_each_item(res, seps, [&](const char *kept, size_t klen) {
            seen = klen == ilen && memcmp(kept, item, ilen) == 0;
            return !seen;
        });
        if (seen)
            return true;
        if (len && seps[0])
            res[len++] = seps[0];
        memcpy(res + len, item, ilen);
        len += ilen;
        res[len] = '\0';
        return true;
    });
    strcpy(list, res);
    os_free(res);
    return 0;
}

int str_sep_list_find(const char *text, const char *seps, const char *s)
{
    if (!text || !seps || !s)
        return -1;
    char item[k_item_size];
    const char *p = text;
    for (;;) {
        const char *next = str_ctok(p, seps, item, sizeof item);
        if (!next)
            return -1;
        if (strcmp(str_trim(item), s) == 0)
            return 0;
        if (!*next)
            return -1;
        p = next + 1;
    }
}

// ---- fields and tokens ----------------------------------------------------------------------

char *str_get_sep_substr_buf(const char *text, const char *seps, int n, char *out, size_t size)
{
    if (!text || !seps || !out || size == 0 || n < 0)
        return nullptr;
    char *res = nullptr;
    int i = 0;
    for_each_item(text, seps, [&](const char *item, size_t len) {
        if (i++ < n)
            return true;
        if (len + 1 <= size) {
            memcpy(out, item, len);
            out[len] = '\0';
            res = out;
        }
        return false;
    });
    return res;
}

int str_get_key_and_val(const char *text, const char *seps, char *key, size_t ksize, char *value, size_t vsize)
{
    if (!str_get_sep_substr_buf(text, seps, 0, key, ksize) || !str_get_sep_substr_buf(text, seps, 1, value, vsize))
        return -1;
    return 0;
}

char *str_get_nth_tok(char *text, const char *seps, int n)
{
    if (!text || !seps || n < 0)
        return nullptr;
    char *save = nullptr;
    char *tok = strtok_r(text, seps, &save);
    for (int i = 0; tok && i < n; ++i)
        tok = strtok_r(nullptr, seps, &save);
    return tok;
}

char *str_get_nth_tok_dup(const char *text, const char *seps, int n)
{
    if (!text)
        return nullptr;
    char *copy = os_strdup(text);
    if (!copy)
        return nullptr;
    char *tok = str_get_nth_tok(copy, seps, n);
    char *res = tok ? safe_strdup(tok) : nullptr;
    os_free(copy);
    return res;
}

// Token n of one line (len bytes at line), trimmed, as a new allocation.
static char *line_token(const char *line, size_t len, const char *seps, int n)
{
    char *copy = static_cast<char *>(os_malloc(len + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, line, len);
    copy[len] = '\0';
    char *tok = str_get_nth_tok(copy, seps, n);
    char *res = tok ? os_strdup(str_trim(tok)) : nullptr;
    os_free(copy);
    return res;
}

char *str_lines_find_field(const char *text, const char *seps, const char *key, int kfield, int vfield)
{
    if (!text || !seps || !key)
        return nullptr;
    char *res = nullptr;
    for_each_item(text, "\n", [&](const char *line, size_t len) {
        char *k = line_token(line, len, seps, kfield);
        const bool match = k && strcmp(k, key) == 0;
        os_free(k);
        if (!match)
            return true;
        res = line_token(line, len, seps, vfield);
        return false;
    });
    return res;
}

char *str_lines_find_token(const char *text, const char *substr, const char *seps, int n)
{
    if (!text || !substr || !seps)
        return nullptr;
    char *res = nullptr;
    for_each_item(text, "\n", [&](const char *line, size_t len) {
        const void *hit = memmem(line, len, substr, strlen(substr));
        if (!hit)
            return true;
        res = line_token(line, len, seps, n);
        return false;
    });
    return res;
}

char *str_substr_buf(const char *srcstr, size_t offset, size_t length, char *out, size_t size)
{
    PL_ASSERT_HARD(TAG, length > 0);
    PL_ASSERT_HARD(TAG, srcstr != NULL);
    PL_ASSERT_RET(TAG, out != nullptr && size > 0, out);
    const size_t n = strlen(srcstr);
    if (offset >= n) {
        out[0] = '\0';
        return out;
    }
    size_t k = n - offset < length ? n - offset : length;
    if (k > size - 1)
        k = size - 1;
    memcpy(out, srcstr + offset, k);
    out[k] = '\0';
    return out;
}

char *str_substr(const char *srcstr, size_t offset, size_t length)
{
    PL_ASSERT_HARD(TAG, length > 0);
    PL_ASSERT_HARD(TAG, srcstr != NULL);
    const size_t n = strlen(srcstr);
    if (offset >= n)
        return nullptr;
    const size_t k = n - offset < length ? n - offset : length;
    char *res = static_cast<char *>(os_malloc(k + 1));
    if (!res)
        return nullptr;
    memcpy(res, srcstr + offset, k);
    res[k] = '\0';
    return res;
}

char *str_get_sep_max_substr_buf(const char *text, char c, char *out, size_t blen)
{
    PL_ASSERT_HARD(TAG, blen>=2);
    PL_ASSERT_RET(TAG, out != nullptr, out);
    out[0] = '\0';
    if (!text)
        return out;
    str_safecopy_trunc(out, blen, text);
    if (char *last = strrchr(out, c))
        *last = '\0';
    return out;
}
