// The three variable registries: pointer arrays of static records, searched
// in registration order.
#include "libpal/var/pl_var.h"

#include <cstring>

#include "libpal/basic/pl_verr.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_dyn.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

template <typename M> M *mgr_new()
{
    M *m = (M *)os_zalloc(sizeof(M));
    if (!m)
        return nullptr;
    // Records are added at start-up and read by one thread: no lock.
    if (mem_parray_init(&m->arr) != 0) {
        os_free(m);
        return nullptr;
    }
    return m;
}

template <typename M> int mgr_free(M *m)
{
    if (!m)
        return 0;
    mem_parray_exit(&m->arr);
    os_free(m);
    return 0;
}

template <typename V, typename M> const V *mgr_at(M *m, uint64_t i)
{
    return static_cast<const V *>(mem_parray_get(&m->arr, i));
}

template <typename V, typename M> const V *mgr_find(M *m, const char *name)
{
    if (!m || !name)
        return nullptr;
    for (uint64_t i = 0; i < m->arr.count; i++) {
        const V *v = mgr_at<V>(m, i);
        if (v && v->name && strcmp(v->name, name) == 0)
            return v;
    }
    return nullptr;
}

// Checks name and procedure, then appends. has_proc says whether the record
// can do its work; bad_text is the message when it cannot.
template <typename V, typename M> int mgr_add(M *m, const V *var, bool has_proc, const char *bad_text)
{
    if (!m || !var || !var->name)
        return -1;
    if (mgr_find<V>(m, var->name)) {
        LOG_ERR(TAG, "error: var=%s already exists\n", var->name);
        return -1;
    }
    if (!has_proc) {
        LOG_ERR(TAG, bad_text, var->name);
        return -1;
    }
    // The array stores void *; the records stay the caller's and are never
    // written through it.
    return mem_parray_add(&m->arr, const_cast<V *>(var)) < 0 ? -1 : 0;
}

template <typename V, typename M> strv *mgr_names(M *m)
{
    uint64_t n = m ? m->arr.count : 0;
    strv *v = strv_new(n, 0x1);
    if (!v)
        return nullptr;
    for (uint64_t i = 0; i < n; i++) {
        if (strv_add(v, mgr_at<V>(m, i)->name) != 0) {
            strv_free(v);
            return nullptr;
        }
    }
    return v;
}

// Builds a listing: fmt_line appends one record's line to the text.
template <typename V, typename M, typename F> char *mgr_list(M *m, F fmt_line)
{
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    for (uint64_t i = 0; m && i < m->arr.count; i++)
        fmt_line(d, mgr_at<V>(m, i));
    return str_dyn_detach_nonull(d);
}

const char *nn(const char *s) { return s ? s : ""; }

bool dvar_has_storage(const dvar_t *v) { return v->value.v.ptr != nullptr; }

// The value through the get procedure or the bound storage, into a heap
// buffer of DVAR_VALUE_SIZE bytes (the getter may fill all of it).
struct value_buf {
    char *p = (char *)os_zalloc(DVAR_VALUE_SIZE);
    ~value_buf() { os_free(p); }
};

} // namespace

rvar_mgr_t *rvar_mgr_new(void) { return mgr_new<rvar_mgr_t>(); }
fvar_mgr_t *fvar_mgr_new(void) { return mgr_new<fvar_mgr_t>(); }
dvar_mgr_t *dvar_mgr_new(void) { return mgr_new<dvar_mgr_t>(); }
int rvar_mgr_free(rvar_mgr_t *m) { return mgr_free(m); }
int fvar_mgr_free(fvar_mgr_t *m) { return mgr_free(m); }
int dvar_mgr_free(dvar_mgr_t *m) { return mgr_free(m); }

int rvar_mgr_add(rvar_mgr_t *m, const rvar_t *var)
{
    return mgr_add(m, var, var && var->show, "var=%s init error\n");
}

int fvar_mgr_add(fvar_mgr_t *m, const fvar_t *var)
{
    return mgr_add(m, var, var && var->call, "var=%s init error\n");
}

int dvar_mgr_add(dvar_mgr_t *m, const dvar_t *var)
{
    return mgr_add(m, var, var && (var->set || dvar_has_storage(var)), "var=%s set error\n");
}

int rvar_mgr_exist(rvar_mgr_t *m, const char *name) { return mgr_find<rvar_t>(m, name) ? 1 : 0; }
int fvar_mgr_exist(fvar_mgr_t *m, const char *name) { return mgr_find<fvar_t>(m, name) ? 1 : 0; }
int dvar_mgr_exist(dvar_mgr_t *m, const char *name) { return mgr_find<dvar_t>(m, name) ? 1 : 0; }
const rvar_t *rvar_mgr_find(rvar_mgr_t *m, const char *name) { return mgr_find<rvar_t>(m, name); }
const fvar_t *fvar_mgr_find(fvar_mgr_t *m, const char *name) { return mgr_find<fvar_t>(m, name); }
const dvar_t *dvar_mgr_find(dvar_mgr_t *m, const char *name) { return mgr_find<dvar_t>(m, name); }

char *rvar_mgr_show(rvar_mgr_t *m, const char *name)
{
    const rvar_t *v = mgr_find<rvar_t>(m, name);
    return v ? v->show(v) : nullptr;
}

int fvar_mgr_call(fvar_mgr_t *m, const char *name, uint64_t a, uint64_t b, uint64_t c)
{
    const fvar_t *v = mgr_find<fvar_t>(m, name);
    return v ? v->call(a, b, c) : VERR_NOT_IMPLEMENTED;
}

int dvar_mgr_get(const dvar_t *var, char *buf)
{
    if (!var || !buf)
        return -1;
    buf[0] = '\0';
    if (var->get)
        return var->get(buf, DVAR_VALUE_SIZE);
    if (dvar_has_storage(var))
        return value2_get_str(&var->value, buf, DVAR_VALUE_SIZE);
    str_safecopy(buf, DVAR_VALUE_SIZE, "error: not support");
    LOG_ERR(TAG, "error: var.name %s get=NULL error\n", nn(var->name));
    return -1;
}

int dvar_mgr_set(dvar_mgr_t *m, const char *name, const char *value, char *err)
{
    const dvar_t *v = mgr_find<dvar_t>(m, name);
    if (!v) {
        if (err)
            str_sprintf_s2(err, DVAR_ERR_SIZE, "The set variable '%s' does not exist", nn(name));
        return VERR_NOT_IMPLEMENTED;
    }
    if (v->set) {
        char scratch[DVAR_ERR_SIZE];
        return v->set(value ? value : "", err ? err : scratch);
    }
    if (dvar_has_storage(v))
        return value2_set_str(const_cast<value2_t *>(&v->value), value ? value : "");
    return -1;
}

char *rvar_mgr_list_str(rvar_mgr_t *m)
{
    return mgr_list<rvar_t>(m, [](str_dyn *d, const rvar_t *v) {
        str_dyn_printf(d, "show %s -- %s\n", v->name, nn(v->desc));
    });
}

char *fvar_mgr_list_str(fvar_mgr_t *m, const char *word)
{
    return mgr_list<fvar_t>(m, [word](str_dyn *d, const fvar_t *v) {
        str_dyn_printf(d, "%s %s -- %s\n", nn(word), v->name, nn(v->desc));
    });
}

char *dvar_mgr_list_str(dvar_mgr_t *m)
{
    return mgr_list<dvar_t>(m, [](str_dyn *d, const dvar_t *v) {
        str_dyn_printf(d, "set %s [%s] -- %s\n", v->name, nn(v->range), nn(v->desc));
    });
}

strv *rvar_mgr_names(rvar_mgr_t *m) { return mgr_names<rvar_t>(m); }
strv *fvar_mgr_names(fvar_mgr_t *m) { return mgr_names<fvar_t>(m); }
strv *dvar_mgr_names(dvar_mgr_t *m) { return mgr_names<dvar_t>(m); }

strv *dvar_mgr_get_range(dvar_mgr_t *m, const char *name)
{
    const dvar_t *v = mgr_find<dvar_t>(m, name);
    return v ? strv_split(nn(v->range), "|") : nullptr;
}

char *dvar_mgr_dump(dvar_mgr_t *m)
{
    value_buf val;
    if (!val.p)
        return nullptr;
    // Quoting adds two characters.
    char *quoted = (char *)os_zalloc(DVAR_VALUE_SIZE + 2);
    if (!quoted)
        return nullptr;
    char *out = mgr_list<dvar_t>(m, [&](str_dyn *d, const dvar_t *v) {
        dvar_mgr_get(v, val.p);
        str_dyn_printf(d, "%s=%s\n", v->name, str_quote_sq(val.p, quoted, DVAR_VALUE_SIZE + 2));
    });
    os_free(quoted);
    return out;
}

char *dvar_mgr_dump_json(dvar_mgr_t *m)
{
    value_buf val;
    str_dyn *d = str_dyn_new();
    if (!val.p || !d) {
        str_dyn_free(d);
        return nullptr;
    }
    // Every text is escaped: a quote, backslash or control character in a
    // description or value must not break the array.
    auto add_member = [d](const char *key, const char *text, bool first) {
        char *esc = str_escape_json_alloc(text);
        str_dyn_printf(d, "%s\"%s\":\"%s\"", first ? "" : ",", key, esc ? esc : "");
        os_free(esc);
    };
    str_dyn_add_str(d, "[");
    uint64_t n = m ? m->arr.count : 0;
    for (uint64_t i = 0; i < n; i++) {
        const dvar_t *v = mgr_at<dvar_t>(m, i);
        dvar_mgr_get(v, val.p);
        bool is_enum = v->type == DVAR_TYPE_ENUM;
        str_dyn_add_str(d, "{");
        add_member("desc", nn(v->desc), true);
        add_member("name", v->name, false);
        add_member("value", val.p, false);
        add_member("type", is_enum ? "enum" : "string", false);
        if (is_enum) {
            char *range = os_strdup(nn(v->range));
            if (range) {
                for (char *p = range; *p; p++)
                    if (*p == '|')
                        *p = '/';
            }
            add_member("range", range ? range : "", false);
            os_free(range);
        }
        str_dyn_add_str(d, "},");
    }
    if (n > 0) {
        str_dyn_del_tail(d, 1);
        str_dyn_add_str(d, " ]");
    } else {
        str_dyn_add_str(d, "]");
    }
    return str_dyn_detach_nonull(d);
}
