// Variable expansion in texts.
#include "libpal/string/str_vars.h"

#include <cstring>

#include "libpal/basic/pl_base.h"
#include "libpal/env/os_env.h"
#include "libpal/string/str_dyn.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

// Names are gathered in a fixed work buffer; a longer "name" is taken as
// ordinary text instead of being cut or overflowing.
constexpr size_t k_name_max = 4095;

struct name_buf {
    char s[k_name_max + 1];
    size_t n = 0;

    void clear()
    {
        n = 0;
        s[0] = '\0';
    }
    bool add(char c)
    {
        if (n >= k_name_max)
            return false;
        s[n++] = c;
        s[n] = '\0';
        return true;
    }
};

inline bool ends_bare_name(char c)
{
    return c == '\\' || c == '-' || c == '/' || c == ':' || c == '=' || c == '$';
}

char *finish(str_dyn *d)
{
    char *r = str_dyn_detach_nonull(d);
    return r;
}

char *expand_into_buf(char *(*expand)(const char *), const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    char *r = expand(text);
    if (r) {
        str_safecopy(out, size, r);
        os_free(r);
    }
    return out;
}

} // namespace

void str_var_get(const char *text, str_dyn *d, str_var_lookup_fn lookup, const char *name, void *ctx)
{
    char *v = lookup ? lookup(name, ctx) : nullptr;
    if (!v) {
        LOG_ERR("pal", "[%s] var=[%s] get_failed", text, name);
        str_dyn_printf(d, "${%s}", name);
        return;
    }
    str_dyn_add_str(d, v);
    os_free(v);
}

char *str_var_get_env(const char *name, void *)
{
    const char *v = name ? os_getenv(name) : nullptr;
    return v ? os_strdup(v) : nullptr;
}

char *str_var_get_wild(const char *, void *) { return os_strdup("?*"); }

char *str_expand_vars_imp(const char *text, str_var_lookup_fn lookup, void *ctx)
{
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    if (!text)
        return finish(d);
    enum { PLAIN, NAME, BRACE } st = PLAIN;
    name_buf nm;
    nm.clear();
    for (const char *p = text; *p; p++) {
        char c = *p;
        switch (st) {
        case PLAIN:
            if (c == '$') {
                st = NAME;
                nm.clear();
            } else {
                str_dyn_add_chr(d, c);
            }
            break;
        case NAME:
            if (c == '{') {
                st = BRACE;
            } else if (ends_bare_name(c)) {
                if (nm.n == 0) {
                    if (c != '$') { // "$" before one of these is dropped
                        str_dyn_add_chr(d, c);
                        st = PLAIN;
                    }
                } else {
                    str_var_get(text, d, lookup, nm.s, ctx);
                    nm.clear();
                    if (c == '$') {
                        st = NAME;
                    } else {
                        str_dyn_add_chr(d, c);
                        st = PLAIN;
                    }
                }
            } else if (!nm.add(c)) {
                str_dyn_add_chr(d, '$');
                str_dyn_add_str(d, nm.s);
                str_dyn_add_chr(d, c);
                st = PLAIN;
            }
            break;
        case BRACE:
            if (c == '}') {
                if (nm.n)
                    str_var_get(text, d, lookup, nm.s, ctx);
                nm.clear();
                st = PLAIN;
            } else if (!nm.add(c)) {
                str_dyn_add_str(d, "${");
                str_dyn_add_str(d, nm.s);
                str_dyn_add_chr(d, c);
                st = PLAIN;
            }
            break;
        }
    }
    if (st == NAME && nm.n) {
        str_var_get(text, d, lookup, nm.s, ctx);
    } else if (st == BRACE) {
        LOG_ERR("pal", "[%s] syntax error", text);
        str_dyn_add_str(d, "${");
        str_dyn_add_str(d, nm.s);
    }
    return finish(d);
}

char *str_expand_env(const char *text) { return str_expand_vars_imp(text, str_var_get_env, nullptr); }

char *str_expand_env_buf(const char *text, char *out, size_t size)
{
    return expand_into_buf(str_expand_env, text, out, size);
}

char *str_expand_vars_wild(const char *text) { return str_expand_vars_imp(text, str_var_get_wild, nullptr); }

char *str_expand_vars_wild_buf(const char *text, char *out, size_t size)
{
    return expand_into_buf(str_expand_vars_wild, text, out, size);
}

char *str_expand_pct_vars_imp(const char *text, str_var_lookup_fn lookup, void *ctx)
{
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    if (!text)
        return finish(d);
    bool in_name = false;
    name_buf nm;
    nm.clear();
    for (const char *p = text; *p; p++) {
        char c = *p;
        if (!in_name) {
            if (c == '%') {
                in_name = true;
                nm.clear();
            } else {
                str_dyn_add_chr(d, c);
            }
            continue;
        }
        if (c == '%') {
            in_name = false;
            if (nm.n) {
                char *v = lookup ? lookup(nm.s, ctx) : nullptr;
                if (v) {
                    str_dyn_add_str(d, v);
                    os_free(v);
                } else {
                    str_dyn_printf(d, "%%%s%%", nm.s);
                }
            }
        } else if (!nm.add(c)) {
            str_dyn_add_chr(d, '%');
            str_dyn_add_str(d, nm.s);
            str_dyn_add_chr(d, c);
            in_name = false;
        }
    }
    if (in_name) {
        str_dyn_add_chr(d, '%');
        str_dyn_add_str(d, nm.s);
    }
    return finish(d);
}

char *str_expand_env_pct(const char *text) { return str_expand_pct_vars_imp(text, str_var_get_env, nullptr); }

char *str_expand_env_pct_buf(const char *text, char *out, size_t size)
{
    return expand_into_buf(str_expand_env_pct, text, out, size);
}
