// Reading and writing the ini format.
#include "libconf/ini/iniparser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "liblog/log2.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/zkfile.h"

#define TAG "conf"

namespace {

int default_error(const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = vfprintf(stderr, fmt, va);
    va_end(va);
    return r;
}

iniparser_error_fn s_error = default_error;

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The name cut to INI_NAME_MAX characters.
struct cut_name {
    char buf[INI_NAME_MAX + 1];
    explicit cut_name(const char *s)
    {
        size_t n = s ? strnlen(s, INI_NAME_MAX) : 0;
        if (n)
            memcpy(buf, s, n);
        buf[n] = '\0';
    }
};

std::string trimmed(const char *b, const char *e)
{
    while (b < e && blank((unsigned char)*b))
        ++b;
    while (e > b && blank((unsigned char)e[-1]))
        --e;
    return std::string(b, (size_t)(e - b));
}

// A key line: the key up to the first '='; then a value in double quotes, in
// single quotes, up to the first ';' or '#', or empty.
bool parse_key_line(const char *s, std::string *key, std::string *val)
{
    const char *eq = strchr(s, '=');
    if (!eq || eq == s)
        return false;
    *key = trimmed(s, eq);
    const char *r = eq + 1;
    while (blank((unsigned char)*r))
        ++r;
    for (char q : {'"', '\''}) {
        if (r[0] == q && r[1] && r[1] != q) {
            const char *end = strchr(r + 1, q);
            *val = end ? std::string(r + 1, (size_t)(end - r - 1)) : std::string(r + 1);
            return true;
        }
    }
    if (*r && *r != ';' && *r != '#') {
        *val = trimmed(r, r + strcspn(r, ";#"));
        if (*val == "\"\"" || *val == "''")
            val->clear();
        return true;
    }
    val->clear();
    return true;
}

// ---- writer -----------------------------------------------------------------------

// How a value has to be written so that reading it back gives it unchanged;
// false when no form does.
bool value_form(const char *v, std::string *out)
{
    size_t n = strlen(v);
    out->assign(v, n);
    if (!n)
        return true;
    if (strpbrk(v, "\n\r"))
        return false;
    bool quote = strpbrk(v, ";#") || blank((unsigned char)v[0]) || blank((unsigned char)v[n - 1]) ||
                 v[n - 1] == '\\' || v[0] == '"' || v[0] == '\'';
    if (!quote)
        return true;
    char q = !strchr(v, '"') ? '"' : !strchr(v, '\'') ? '\'' : 0;
    if (!q)
        return false;
    *out = std::string(1, q) + v + q;
    return true;
}

bool key_ok(const char *k)
{
    size_t n = strlen(k);
    return n && !strpbrk(k, "=\n\r") && !blank((unsigned char)k[0]) && !blank((unsigned char)k[n - 1]) &&
           k[0] != ';' && k[0] != '#' && k[0] != '[';
}

bool section_ok(const char *s)
{
    size_t n = strlen(s);
    return n && n + 2 < INI_LINE_SIZE - 1 && !strpbrk(s, "]\t\n\r") && !blank((unsigned char)s[0]) &&
           !blank((unsigned char)s[n - 1]);
}

struct writer {
    zkfile_t *out;
    bool ok = true;

    // Comment and blank lines, written back as they were read. The reader
    // takes lines of at most INI_LINE_SIZE - 2 characters and a newline; a
    // line one longer loads only as the last line of a file, ended by the end
    // of the input, so at the end of the tail it goes out without a newline.
    void text(const char *t, bool at_end = false)
    {
        for (const char *p = t; *p;) {
            const char *nl = strchr(p, '\n');
            size_t len = nl ? (size_t)(nl - p) : strlen(p);
            const char *next = nl ? nl + 1 : p + len;
            bool last = at_end && !*next;
            if (len > INI_LINE_SIZE - 2 && !(last && len == INI_LINE_SIZE - 1)) {
                LOG_ERR(TAG, "comment line of %zu characters cannot be read back\n", len);
                ok = false;
            }
            if (last && len == INI_LINE_SIZE - 1)
                zkwrite(p, 1, len, out);
            else
                zkwrite(p, 1, (size_t)(next - p), out);
            p = next;
        }
    }
    void key_line(const char *k, const char *v)
    {
        std::string form;
        if (!value_form(v ? v : "", &form) || !key_ok(k) || strlen(k) + 1 + form.size() > INI_LINE_SIZE - 2) {
            LOG_ERR(TAG, "key [%s] cannot be written so that it reads back unchanged\n", k);
            ok = false;
        }
        zkprintf(out, "%s=%s\n", k, form.c_str());
    }
};

} // namespace

void iniparser_set_error_callback(iniparser_error_fn fn) { s_error = fn ? fn : default_error; }

// ---- reader ----------------------------------------------------------------------------

dictionary *iniparser_load_all(zkfile_t *in) { return iniparser_load_limited(in, -1, nullptr); }

dictionary *iniparser_load_limited(zkfile_t *in, int64_t limit, const char *name)
{
    dictionary *d = dictionary_new(0);
    if (!d) {
        LOG_ERR(TAG, "memory allocation failure\n");
        return nullptr;
    }
    zkskip_bom(in);
    char line[INI_LINE_SIZE];
    std::string section, pending, key, val;
    size_t off = 0;
    int lineno = 0;
    bool at_end = false;
    while (!at_end) {
        line[off] = '\0';
        if (!zkgets(line + off, (int)(INI_LINE_SIZE - off), in)) {
            // A continuation pending at the end of the input is the last
            // line, not something to drop.
            if (!off)
                break;
            at_end = true;
        } else {
            ++lineno;
        }
        if (limit >= 0 && (lineno % 64 == 0 || at_end) && zktell(in) > limit) {
            // A file that grew while it was read, or one whose size says
            // nothing (a kernel file); looked at every 64 lines, which
            // overshoot the limit by 64 KiB at most.
            LOG_ERR(TAG, "[%s] refused: more than %lld bytes\n", name ? name : "", (long long)limit);
            dictionary_del(d);
            return nullptr;
        }
        size_t len = strlen(line);
        if (len < 2 && !at_end) {
            pending += "\n";
            off = 0;
            continue;
        }
        if (len && line[len - 1] != '\n' && !at_end) {
            // The end of the input ends a line as well as a newline does.
            int c = zkgetc(in);
            if (c != -1) {
                zkungetc(c, in);
                LOG_ERR(TAG, "input line too long in (%d): \n", lineno);
                dictionary_del(d);
                return nullptr;
            }
        }
        while (len && blank((unsigned char)line[len - 1]))
            line[--len] = '\0';
        if (len && line[len - 1] == '\\' && !at_end) {
            off = len - 1;
            line[off] = '\0';
            continue;
        }
        off = 0;
        const char *s = line;
        while (blank((unsigned char)*s))
            ++s;
        size_t slen = strlen(s);
        int set = 0;
        if (!slen) {
            pending += "\n";
            continue;
        }
        if (s[0] == '#' || s[0] == ';') {
            pending += line;
            pending += "\n";
            continue;
        }
        if (s[0] == '[' && s[slen - 1] == ']') {
            std::string name = trimmed(s + 1, s + 1 + strcspn(s + 1, "]"));
            if (name.empty()) {
                // "[]" names nothing: the current section goes on, and the
                // line stays in the file.
                pending += line;
                pending += "\n";
                continue;
            }
            if (name.find('\t') != std::string::npos) {
                // A TAB joins a section and a key in an entry name, so such
                // a section would read as a key of another one: the line is
                // kept as it stands and the current section goes on.
                LOG_DBG(TAG, "syntax error in (%d):\n-> %s\n", lineno, s);
                pending += line;
                pending += "\n";
                continue;
            }
            section = name;
            set = dictionary_set(d, section.c_str(), nullptr, pending.empty() ? nullptr : pending.c_str());
        } else if (parse_key_line(s, &key, &val)) {
            cut_name name((section + "\t" + key).c_str());
            set = dictionary_set(d, name.buf, val.c_str(), pending.empty() ? nullptr : pending.c_str());
        } else {
            LOG_DBG(TAG, "syntax error in (%d):\n-> %s\n", lineno, s);
            // Kept as it stands, so that saving the file never deletes a
            // line the program did not understand.
            pending += line;
            pending += "\n";
            continue;
        }
        pending.clear();
        if (set != 0) {
            LOG_ERR(TAG, "memory allocation failure\n");
            break;
        }
    }
    if (!pending.empty())
        dictionary_set_tail(d, pending.c_str());
    return d;
}

dictionary *iniparser_load(const char *path)
{
    if (!path)
        return nullptr;
    size_t n = strlen(path);
    if (n >= 4 && strcasecmp(path + n - 4, ".dat") == 0)
        return nullptr;
    // Without waiting: a FIFO would block the open until a writer came.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        s_error("iniparser: cannot open %s\n", path);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A device, a FIFO or a socket could feed the reader for ever.
        LOG_ERR(TAG, "[%s] refused: not a regular file\n", path);
        close(fd);
        return nullptr;
    }
    if (st.st_size > INI_FILE_MAX) {
        LOG_ERR(TAG, "[%s] refused: %lld bytes, more than %lld\n", path, (long long)st.st_size,
                (long long)INI_FILE_MAX);
        close(fd);
        return nullptr;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    zkfile_t *f = zkdopen(fd, "r");
    if (!f) {
        close(fd);
        s_error("iniparser: cannot open %s\n", path);
        return nullptr;
    }
    dictionary *d = iniparser_load_limited(f, INI_FILE_MAX, path);
    zkclose(f);
    return d;
}

dictionary *iniparser_load_str(const char *text)
{
    if (!text)
        return nullptr;
    // The reader drops the byte-order mark, as it does for a file; dropping
    // one here too would eat a second one that belongs to the text.
    zkfile_t *f = zkopen_str(text);
    if (!f) {
        s_error("iniparser: cannot open [str]\n");
        return nullptr;
    }
    dictionary *d = iniparser_load_all(f);
    zkclose(f);
    return d;
}

void iniparser_freedict(dictionary *d) { dictionary_del(d); }

// ---- writer ------------------------------------------------------------------------------

int iniparser_dump_ini(const dictionary *d, zkfile_t *out)
{
    if (!d || !out)
        return -1;
    writer w{out};
    // Keys that stood before the first header come first again.
    for (uint64_t i = 0; i < d->size; ++i) {
        const char *k = d->key[i];
        if (!k || k[0] != '\t')
            continue;
        if (d->comment[i])
            w.text(d->comment[i]);
        w.key_line(k + 1, d->val[i]);
    }
    // The key slots of each section in slot order, so that writing is one
    // pass; without memory for it, each section scans the slots.
    std::unique_ptr<std::unordered_map<std::string_view, std::vector<uint64_t>>> keys_of;
    try {
        keys_of = std::make_unique<std::unordered_map<std::string_view, std::vector<uint64_t>>>();
        for (uint64_t i = 0; i < d->size; ++i) {
            const char *k = d->key[i];
            const char *tab = k ? strchr(k, '\t') : nullptr;
            if (tab)
                (*keys_of)[std::string_view(k, (size_t)(tab - k))].push_back(i);
        }
    } catch (...) {
        keys_of.reset();
    }
    int nsec = 0;
    for (uint64_t i = 0; i < d->size; ++i) {
        const char *sec = d->key[i];
        if (!sec || strchr(sec, '\t'))
            continue;
        if (d->comment[i])
            w.text(d->comment[i]);
        else if (nsec)
            w.text("\n");
        ++nsec;
        if (!section_ok(sec)) {
            LOG_ERR(TAG, "section [%s] cannot be written so that it reads back unchanged\n", sec);
            w.ok = false;
        }
        zkprintf(out, "[%s]\n", sec);
        size_t slen = strlen(sec);
        if (keys_of) {
            auto it = keys_of->find(std::string_view(sec, slen));
            if (it != keys_of->end()) {
                for (uint64_t j : it->second) {
                    if (d->comment[j])
                        w.text(d->comment[j]);
                    w.key_line(d->key[j] + slen + 1, d->val[j]);
                }
            }
            continue;
        }
        for (uint64_t j = 0; j < d->size; ++j) {
            const char *k = d->key[j];
            if (!k || strncmp(k, sec, slen) != 0 || k[slen] != '\t')
                continue;
            if (d->comment[j])
                w.text(d->comment[j]);
            w.key_line(k + slen + 1, d->val[j]);
        }
    }
    // Keys whose section entry is missing have no place in the file.
    for (uint64_t i = 0; i < d->size; ++i) {
        const char *k = d->key[i];
        const char *tab = k ? strchr(k, '\t') : nullptr;
        if (!tab || tab == k)
            continue;
        std::string sec(k, (size_t)(tab - k));
        if (dictionary_find(d, sec.c_str()) < 0) {
            LOG_ERR(TAG, "key [%s] has no section\n", k);
            w.ok = false;
        }
    }
    if (d->tail)
        w.text(d->tail, true);
    else if (nsec)
        w.text("\n");
    return (w.ok && !zkerror(out)) ? 0 : -1;
}

// ---- lookups -----------------------------------------------------------------------------

int iniparser_getnsec(const dictionary *d)
{
    if (!d)
        return -1;
    int n = 0;
    for (uint64_t i = 0; i < d->size; ++i)
        if (d->key[i] && !strchr(d->key[i], '\t'))
            ++n;
    return n;
}

const char *iniparser_getsecname(const dictionary *d, int n)
{
    if (!d || n < 0)
        return nullptr;
    for (uint64_t i = 0; i < d->size; ++i) {
        if (d->key[i] && !strchr(d->key[i], '\t') && n-- == 0)
            return d->key[i];
    }
    return nullptr;
}

int iniparser_getsecnkeys(const dictionary *d, const char *sec)
{
    if (!d || !sec || strlen(sec) >= INI_NAME_MAX || dictionary_find(d, sec) < 0)
        return 0;
    size_t slen = strlen(sec);
    int n = 0;
    for (uint64_t i = 0; i < d->size; ++i)
        if (d->key[i] && strncmp(d->key[i], sec, slen) == 0 && d->key[i][slen] == '\t')
            ++n;
    return n;
}

const char **iniparser_getseckeys(const dictionary *d, const char *sec, const char **keys)
{
    if (!d || !sec || !keys || strlen(sec) >= INI_NAME_MAX || dictionary_find(d, sec) < 0)
        return nullptr;
    size_t slen = strlen(sec);
    int n = 0;
    for (uint64_t i = 0; i < d->size; ++i)
        if (d->key[i] && strncmp(d->key[i], sec, slen) == 0 && d->key[i][slen] == '\t')
            keys[n++] = d->key[i] + slen + 1;
    return keys;
}

int iniparser_find_entry(const dictionary *d, const char *name)
{
    if (!name)
        return 0;
    cut_name c(name);
    return dictionary_find(d, c.buf) >= 0 ? 1 : 0;
}

const char *iniparser_getstring(const dictionary *d, const char *name, const char *def)
{
    if (!d || !name)
        return def;
    cut_name c(name);
    return dictionary_get(d, c.buf, def);
}

int iniparser_getint(const dictionary *d, const char *name, int def)
{
    if (!d || !name)
        return def;
    cut_name c(name);
    int64_t i = dictionary_find(d, c.buf);
    if (i < 0 || !d->val[i])
        return def;
    return (int)strtol(d->val[i], nullptr, 0);
}

double iniparser_getdouble(const dictionary *d, const char *name, double def)
{
    if (!d || !name)
        return def;
    cut_name c(name);
    int64_t i = dictionary_find(d, c.buf);
    if (i < 0 || !d->val[i])
        return def;
    return atof(d->val[i]);
}

int iniparser_getboolean(const dictionary *d, const char *name, int def)
{
    if (!d || !name)
        return def;
    cut_name c(name);
    int64_t i = dictionary_find(d, c.buf);
    if (i < 0 || !d->val[i])
        return def;
    switch (d->val[i][0]) {
    case 'y': case 'Y': case '1': case 't': case 'T': return 1;
    case 'n': case 'N': case '0': case 'f': case 'F': return 0;
    default: return def;
    }
}

int iniparser_set(dictionary *d, const char *name, const char *val)
{
    if (!name)
        return -1;
    cut_name c(name);
    return dictionary_set(d, c.buf, val, nullptr);
}

int iniparser_unset(dictionary *d, const char *name)
{
    if (!name)
        return -1;
    cut_name c(name);
    return dictionary_unset(d, c.buf);
}

int iniparser_unset_section(dictionary *d, const char *sec)
{
    if (!sec)
        return -2;
    cut_name c(sec);
    return dictionary_secdel(d, c.buf);
}

int iniparser_rename_section(dictionary *d, const char *old_name, const char *new_name)
{
    if (!old_name || !new_name)
        return -2;
    cut_name o(old_name), n(new_name);
    return dictionary_secrename(d, o.buf, n.buf);
}

void iniparser_dump(const dictionary *d, zkfile_t *out)
{
    if (!d || !out)
        return;
    for (uint64_t i = 0; i < d->size; ++i) {
        if (!d->key[i])
            continue;
        if (d->val[i])
            zkprintf(out, "[%s]=[%s]\n", d->key[i], d->val[i]);
        else
            zkprintf(out, "[%s]=UNDEF\n", d->key[i]);
    }
}
