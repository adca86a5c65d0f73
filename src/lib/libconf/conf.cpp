// The configuration API: handler registry, forwarding operations, paths and
// typed getters, and the ini handler behind them.
#include "libconf/conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libconf/ini/iniparser.h"
#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/os/zkfile.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"

#define TAG "conf"

namespace {

// ---- the ini handler ----------------------------------------------------------------------

struct ini_conf {
    char *path; // NULL when loaded from a text
    dictionary *dict;
};

int ini_match(const char *name) { return pl_glob_match_any_nocase(name, "*.ini|*.zki|*.inf|*.cfg|*.dat") ? 0 : 1; }

void *ini_make(const char *path, dictionary *dict)
{
    ini_conf *c = (ini_conf *)os_zalloc(sizeof(ini_conf));
    if (c && path && !(c->path = os_strdup(path))) {
        os_free(c);
        c = nullptr;
    }
    if (!c) {
        iniparser_freedict(dict);
        return nullptr;
    }
    c->dict = dict;
    return c;
}

void *ini_load(const char *path, int create)
{
    // Without waiting: the reader refuses what is not a regular file, and
    // a FIFO would block the open until a writer came.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    } else {
        // "a" creates a missing file and never truncates one that exists but
        // could not be read.
        FILE *fp = create ? fopen(path, "a+e") : nullptr;
        if (!fp)
            return nullptr;
        fclose(fp);
    }
    dictionary *d = iniparser_load(path);
    if (!d)
        return nullptr;
    return ini_make(path, d);
}

void *ini_load_str(const char *text, int)
{
    dictionary *d = iniparser_load_str(text);
    if (!d)
        return nullptr;
    return ini_make(nullptr, d);
}

void ini_free(void *data)
{
    ini_conf *c = (ini_conf *)data;
    if (!c)
        return;
    os_free(c->path);
    iniparser_freedict(c->dict);
    os_free(c);
}

// "section TAB key" into buf; false when it does not fit.
bool entry_name(char *buf, size_t size, const char *sec, const char *key)
{
    return STR_FMT_OK(str_sprintf_s(buf, size, "%s%c%s", sec, '\t', key), size);
}

const char *ini_get(void *data, const char *sec, const char *key, const char *def)
{
    ini_conf *c = (ini_conf *)data;
    char name[8192];
    if (!sec || !key || !entry_name(name, sizeof(name), sec, key))
        return def;
    return iniparser_getstring(c->dict, name, def);
}

int ini_set(void *data, const char *sec, const char *key, const char *val)
{
    ini_conf *c = (ini_conf *)data;
    char name[8192];
    if (!sec || !key || !entry_name(name, sizeof(name), sec, key))
        return -1;
    // Keys of the empty section are those before the first header; that
    // section has no entry of its own.
    if (*sec && !iniparser_find_entry(c->dict, sec) && iniparser_set(c->dict, sec, nullptr) != 0)
        return -1;
    return iniparser_set(c->dict, name, val);
}

str_vector *ini_sections(void *data)
{
    ini_conf *c = (ini_conf *)data;
    // Entry names are unique, so no section comes twice: the vector need not
    // search itself for repeats (which made listing quadratic).
    str_vector *v = str_vector_new(STR_VEC_OWN | STR_VEC_NO_EMPTY);
    if (!v)
        return nullptr;
    // The section entries in slot order, in one pass.
    const dictionary *d = c->dict;
    for (uint64_t i = 0; i < d->size; ++i) {
        if (d->key[i] && !strchr(d->key[i], '\t') && str_vector_push_back(v, d->key[i]) != 0) {
            str_vector_free(v);
            return nullptr;
        }
    }
    return v;
}

str_vector *ini_keys(void *data, const char *sec)
{
    ini_conf *c = (ini_conf *)data;
    str_vector *v = str_vector_new(STR_VEC_OWN | STR_VEC_NO_EMPTY | STR_VEC_UNIQ);
    if (!v || !sec)
        return v;
    int n = iniparser_getsecnkeys(c->dict, sec);
    if (n <= 0)
        return v;
    const char **keys = (const char **)os_calloc((size_t)n, sizeof(char *));
    if (!keys) {
        str_vector_free(v);
        return nullptr;
    }
    if (iniparser_getseckeys(c->dict, sec, keys)) {
        for (int i = 0; i < n; ++i) {
            if (str_vector_push_back(v, keys[i]) != 0) {
                str_vector_free(v);
                v = nullptr;
                break;
            }
        }
    }
    os_free(keys);
    return v;
}

int ini_del_section(void *data, const char *sec) { return iniparser_unset_section(((ini_conf *)data)->dict, sec); }

int ini_del_key(void *data, const char *sec, const char *key)
{
    char name[4096];
    if (!sec || !key || !entry_name(name, sizeof(name), sec, key))
        return -1;
    return iniparser_unset(((ini_conf *)data)->dict, name);
}

int ini_rename_section(void *data, const char *old_name, const char *new_name)
{
    return iniparser_rename_section(((ini_conf *)data)->dict, old_name, new_name);
}

int ini_rename_key(void *data, const char *sec, const char *old_key, const char *new_key)
{
    dictionary *d = ((ini_conf *)data)->dict;
    char oname[8192], nname[8192];
    if (!sec || !old_key || !new_key || !*new_key || !entry_name(oname, sizeof(oname), sec, old_key) ||
        !entry_name(nname, sizeof(nname), sec, new_key) || strlen(oname) > INI_NAME_MAX ||
        strlen(nname) > INI_NAME_MAX)
        return -1;
    int64_t i = dictionary_find(d, oname);
    if (i < 0)
        return -1;
    if (strcmp(oname, nname) == 0)
        return 0;
    if (dictionary_find(d, nname) >= 0) {
        LOG_ERR(TAG, "key=%s exist error\n", new_key);
        return -1;
    }
    return dictionary_rekey(d, i, nname);
}

void ini_dump(void *data)
{
    if (!zk_stdout)
        return;
    iniparser_dump_ini(((ini_conf *)data)->dict, zk_stdout);
    zkflush(zk_stdout);
}

// Where the file really is, so that saving through a symbolic link replaces
// the file it points at, not the link.
void save_target(const char *path, char *out, size_t size)
{
    char real[PATH_MAX];
    if (realpath(path, real))
        str_safecopy_trunc(out, size, real);
    else
        str_safecopy_trunc(out, size, path);
}

// Writes a temporary file beside the target and renames it over the target,
// so that a failure at any step leaves the old file untouched.
int ini_save(void *data)
{
    ini_conf *c = (ini_conf *)data;
    if (!c->path)
        return -1;
    char target[4096], tmp[4096];
    save_target(c->path, target, sizeof(target));
    if (!STR_FMT_OK(str_sprintf_s(tmp, sizeof(tmp), "%s.XXXXXX", target), sizeof(tmp)))
        return -1;
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "fopen [%s] err: ", c->path);
        return -1;
    }
    struct stat st;
    if (stat(target, &st) == 0) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Keeping the owner needs privileges; the content matters more.
        }
    } else {
        mode_t um = umask(0);
        umask(um);
        fchmod(fd, 0666 & ~um);
    }
    zkfile_t *f = zkdopen(fd, "wb");
    if (!f) {
        close(fd);
        unlink(tmp);
        return -1;
    }
    int r = 0;
    if (zkwrite("\xEF\xBB\xBF", 1, 3, f) != 3)
        r = -1;
    if (iniparser_dump_ini(c->dict, f) != 0)
        r = -1;
    if (zkflush(f) != 0 || zkerror(f))
        r = -1;
    if (r == 0 && fsync(fd) != 0)
        r = -1;
    int e = errno;
    if (zkclose(f) != 0)
        r = -1;
    if (r == 0 && rename(tmp, target) != 0) {
        e = errno;
        r = -1;
    }
    if (r != 0) {
        errno = e;
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "save [%s] err: ", c->path);
        unlink(tmp);
    }
    return r;
}

const conf_handler_t k_ini_handler = {
    0,
    ini_match,
    ini_load,
    ini_load_str,
    ini_free,
    ini_get,
    ini_set,
    ini_sections,
    ini_keys,
    ini_del_section,
    ini_del_key,
    ini_rename_section,
    ini_rename_key,
    ini_dump,
    ini_save,
};

// ---- registry ---------------------------------------------------------------------------------

const conf_handler_t *s_handlers[4];
std::once_flag s_reg_once;

void register_handlers()
{
    std::call_once(s_reg_once, [] {
        for (auto &h : s_handlers) {
            if (!h) {
                h = &k_ini_handler;
                break;
            }
        }
    });
}

conf_t *conf_make(void *data, const conf_handler_t *h)
{
    conf_t *c = (conf_t *)os_zalloc(sizeof(conf_t));
    if (!c) {
        h->free(data);
        return nullptr;
    }
    c->data = data;
    c->handler = h;
    return c;
}

// Splits "section<TAB or :>key"; false without a separator.
bool split_path(const char *path, char *sec, size_t sec_size, const char **key)
{
    if (!path)
        return false;
    const char *sep = strchr(path, '\t');
    if (!sep)
        sep = strchr(path, ':');
    if (!sep)
        return false;
    size_t n = (size_t)(sep - path);
    if (n >= sec_size)
        n = sec_size - 1;
    memcpy(sec, path, n);
    sec[n] = '\0';
    *key = sep + 1;
    return true;
}

bool is_missing(const char *v) { return !v || strcmp(v, CONF_NOT_EXIST_VAL) == 0; }

bool all_digits(const char *s)
{
    if (!s || !*s)
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// The list's items, rewritten as keys "0".."n-1"; every other all-digit key
// goes, so no stale copy of a removed item can come back.
int list_rewrite(conf_t *conf, const char *sec, const str_vector *list)
{
    for (uint64_t i = 0; i < list->count; ++i) {
        char k[32];
        str_sprintf_s(k, sizeof(k), "%d", (int)i);
        if (conf_set(conf, sec, k, list->items[i]) != 0)
            return -1;
    }
    str_vector *keys = conf_get_keys(conf, sec);
    if (!keys)
        return -1;
    for (uint64_t i = 0; i < keys->count; ++i) {
        const char *k = keys->items[i];
        if (!all_digits(k))
            continue;
        char *end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(k, &end, 10);
        bool canonical = errno == 0 && (k[0] != '0' || k[1] == '\0');
        if (!canonical || n >= list->count)
            conf_del_key(conf, sec, k);
    }
    str_vector_free(keys);
    return 0;
}

} // namespace

// ---- loading and freeing ------------------------------------------------------------------

conf_t *conf_load_imp(const char *name, int create)
{
    PL_ASSERT_RET(TAG, name != NULL, nullptr);
    register_handlers();
    for (const conf_handler_t *h : s_handlers) {
        if (h && h->match && h->match(name) == 0) {
            void *data = h->load(name, create);
            return data ? conf_make(data, h) : nullptr;
        }
    }
    return nullptr;
}

conf_t *conf_load(const char *name) { return conf_load_imp(name, 0); }
conf_t *conf_create_load(const char *name) { return conf_load_imp(name, 1); }

conf_t *conf_load_str(const char *text, int type)
{
    register_handlers();
    if (!text)
        return nullptr;
    for (const conf_handler_t *h : s_handlers) {
        if (h && h->type == type) {
            void *data = h->load_str(text, type);
            return data ? conf_make(data, h) : nullptr;
        }
    }
    return nullptr;
}

int conf_free(conf_t *conf)
{
    if (!conf)
        return 0;
    conf->handler->free(conf->data);
    os_free(conf);
    return 0;
}

int conf_save(conf_t *conf) { return conf ? conf->handler->save(conf->data) : -1; }

void conf_print(conf_t *conf)
{
    if (conf)
        conf->handler->dump(conf->data);
}

// ---- forwarding -------------------------------------------------------------------------------

const char *conf_get(conf_t *conf, const char *sec, const char *key, const char *def)
{
    return conf ? conf->handler->get(conf->data, sec, key, def) : def;
}

int conf_set(conf_t *conf, const char *sec, const char *key, const char *val)
{
    return conf ? conf->handler->set(conf->data, sec, key, val) : -1;
}

str_vector *conf_get_sections(conf_t *conf) { return conf ? conf->handler->sections(conf->data) : nullptr; }

str_vector *conf_get_keys(conf_t *conf, const char *sec)
{
    return conf ? conf->handler->keys(conf->data, sec) : nullptr;
}

int conf_del_section(conf_t *conf, const char *sec) { return conf ? conf->handler->del_section(conf->data, sec) : -2; }

int conf_del_key(conf_t *conf, const char *sec, const char *key)
{
    return conf ? conf->handler->del_key(conf->data, sec, key) : -1;
}

int conf_rename_section(conf_t *conf, const char *old_name, const char *new_name)
{
    return conf ? conf->handler->rename_section(conf->data, old_name, new_name) : -2;
}

int conf_rename_key(conf_t *conf, const char *sec, const char *old_key, const char *new_key)
{
    return conf ? conf->handler->rename_key(conf->data, sec, old_key, new_key) : -1;
}

// ---- derived ---------------------------------------------------------------------------------

str_vector *conf_get_sections_match(conf_t *conf, const char *patterns)
{
    str_vector *all = conf_get_sections(conf);
    if (!all || !patterns) {
        str_vector_free(all);
        return nullptr;
    }
    str_vector *v = str_vector_new(STR_VEC_OWN);
    for (uint64_t i = 0; v && i < all->count; ++i) {
        if (pl_glob_match_list(all->items[i], patterns, 0, 0) && str_vector_push_back(v, all->items[i]) != 0) {
            str_vector_free(v);
            v = nullptr;
        }
    }
    str_vector_free(all);
    return v;
}

int conf_has_section(conf_t *conf, const char *sec)
{
    str_vector *v = conf_get_sections(conf);
    if (!v || !sec) {
        str_vector_free(v);
        return 0;
    }
    int r = str_vector_find_case(v, sec) >= 0 ? 1 : 0;
    str_vector_free(v);
    return r;
}

int conf_has_key(conf_t *conf, const char *sec, const char *key)
{
    str_vector *v = conf_get_keys(conf, sec);
    if (!v || !key) {
        str_vector_free(v);
        return 0;
    }
    int r = str_vector_find_case(v, key) >= 0 ? 1 : 0;
    str_vector_free(v);
    return r;
}

const char *conf_get_path(conf_t *conf, const char *path, const char *def)
{
    char sec[8192];
    const char *key;
    if (!split_path(path, sec, sizeof(sec), &key))
        return def;
    return conf_get(conf, sec, key, def);
}

int conf_set_path(conf_t *conf, const char *path, const char *val)
{
    char sec[8192];
    const char *key;
    if (!split_path(path, sec, sizeof(sec), &key))
        return -1;
    return conf_set(conf, sec, key, val);
}

int conf_get_int(conf_t *conf, const char *sec, const char *key, int def)
{
    const char *v = conf_get(conf, sec, key, CONF_NOT_EXIST_VAL);
    return is_missing(v) ? def : str_atoi(v);
}

int conf_get_path_int(conf_t *conf, const char *path, int def)
{
    const char *v = conf_get_path(conf, path, CONF_NOT_EXIST_VAL);
    return is_missing(v) ? def : str_atoi(v);
}

int32_t conf_get_size(conf_t *conf, const char *sec, const char *key, int32_t def)
{
    const char *v = conf_get(conf, sec, key, CONF_NOT_EXIST_VAL);
    return is_missing(v) ? def : (int32_t)str_parse_size(v);
}

int32_t conf_get_path_size(conf_t *conf, const char *path, int32_t def)
{
    const char *v = conf_get_path(conf, path, CONF_NOT_EXIST_VAL);
    return is_missing(v) ? def : (int32_t)str_parse_size(v);
}

int conf_set_int(conf_t *conf, const char *sec, const char *key, int n)
{
    char buf[32];
    str_sprintf_s(buf, sizeof(buf), "%d", n);
    return conf_set(conf, sec, key, buf);
}

int conf_set_path_int(conf_t *conf, const char *path, int n)
{
    char buf[32];
    str_sprintf_s(buf, sizeof(buf), "%d", n);
    return conf_set_path(conf, path, buf);
}

str_map *conf_get_section_map(conf_t *conf, const char *sec)
{
    str_vector *keys = conf_get_keys(conf, sec);
    if (!keys)
        return nullptr;
    str_map *m = str_map_new(STR_MAP_KEY_IN | STR_MAP_VAL_STR);
    for (uint64_t i = 0; m && i < keys->count; ++i) {
        const char *v = conf_get(conf, sec, keys->items[i], "");
        if (str_map_set(m, keys->items[i], v ? v : "") != 0) {
            str_map_free(m);
            m = nullptr;
        }
    }
    str_vector_free(keys);
    return m;
}

str_vector *conf_get_list(conf_t *conf, const char *sec)
{
    str_vector *keys = conf_get_keys(conf, sec);
    if (!keys)
        return nullptr;
    str_vector *list = str_vector_new(STR_VEC_OWN | STR_VEC_NO_EMPTY | STR_VEC_UNIQ | STR_MODE_STR);
    for (uint64_t i = 0; list && i < keys->count; ++i) {
        if (!all_digits(keys->items[i]))
            continue;
        const char *v = conf_get(conf, sec, keys->items[i], nullptr);
        if (v && str_vector_push_back(list, v) != 0) {
            str_vector_free(list);
            list = nullptr;
        }
    }
    str_vector_free(keys);
    return list;
}

int conf_list_add(conf_t *conf, const char *sec, const char *item)
{
    if (!item)
        return -1;
    str_vector *list = conf_get_list(conf, sec);
    if (!list)
        return -1;
    int r = 0;
    if (str_vector_find_case(list, item) < 0) {
        r = str_vector_push_back(list, item);
        if (r == 0)
            r = list_rewrite(conf, sec, list);
    }
    str_vector_free(list);
    return r;
}

int conf_list_del(conf_t *conf, const char *sec, const char *item)
{
    if (!item)
        return -1;
    str_vector *list = conf_get_list(conf, sec);
    if (!list)
        return -1;
    int r = 0;
    if (str_vector_remove(list, item) == 0)
        r = list_rewrite(conf, sec, list);
    str_vector_free(list);
    return r;
}

int conf_list_clear(conf_t *conf, const char *sec)
{
    str_vector *keys = conf_get_keys(conf, sec);
    if (!keys)
        return -1;
    for (uint64_t i = 0; i < keys->count; ++i)
        if (all_digits(keys->items[i]))
            conf_del_key(conf, sec, keys->items[i]);
    str_vector_free(keys);
    return 0;
}

// ---- whole files -----------------------------------------------------------------------------

char *conf_file_get_path(const char *file, const char *path, const char *def, char *out, size_t out_size)
{
    if (!out || !out_size)
        return out;
    conf_t *c = file ? conf_load(file) : nullptr;
    const char *v = c ? conf_get_path(c, path, def) : def;
    str_safecopy(out, out_size, v ? v : "");
    conf_free(c);
    return out;
}

int conf_file_get_path_int(const char *file, const char *path, int def)
{
    conf_t *c = file ? conf_load(file) : nullptr;
    if (!c)
        return def;
    int r = conf_get_path_int(c, path, def);
    conf_free(c);
    return r;
}

int conf_file_merge(const char *file_a, const char *file_b)
{
    conf_t *a = file_a ? conf_load(file_a) : nullptr;
    conf_t *b = file_b ? conf_load(file_b) : nullptr;
    str_vector *secs = (a && b) ? conf_get_sections(a) : nullptr;
    int r = -1;
    if (secs) {
        r = 0;
        int copied = 0;
        for (uint64_t i = 0; i < secs->count; ++i) {
            str_vector *keys = conf_get_keys(a, secs->items[i]);
            for (uint64_t j = 0; keys && j < keys->count; ++j) {
                const char *v = conf_get(b, secs->items[i], keys->items[j], CONF_NOT_EXIST_VAL);
                if (!is_missing(v) && conf_set(a, secs->items[i], keys->items[j], v) == 0)
                    ++copied;
            }
            str_vector_free(keys);
        }
        // A merge whose result could not be written has not happened.
        if (copied && conf_save(a) != 0)
            r = -1;
        str_vector_free(secs);
    }
    conf_free(a);
    conf_free(b);
    return r;
}
