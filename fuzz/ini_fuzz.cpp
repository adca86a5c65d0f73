// Fuzz target: the ini reader and the configuration API on a document held in
// memory. Whatever loads must write out, and when the writer says the text
// reads back unchanged, reading it back must give the same entries. (Kept
// comment and unparsed lines are not compared: a last line ending in
// backslashes loses one to the end-of-input continuation on every load.)
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "fuzz_common.h"
#include "libconf/conf.h"
#include "libconf/ini/iniparser.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/zkfile.h"
#include "libpal/string/str_vector.h"

namespace {

int quiet_error(const char *, ...) { return 0; }

std::string dump(const dictionary *d, int *status)
{
    zkfile_t *f = zkopen_tmp();
    CHECK(f);
    *status = iniparser_dump_ini(d, f);
    zkrewind(f);
    std::string s;
    int c;
    while ((c = zkgetc(f)) != -1)
        s += (char)c;
    zkclose(f);
    return s;
}

// Entry name -> value ("\x01" stands for a section entry, which has none).
std::map<std::string, std::string> entries(const dictionary *d)
{
    std::map<std::string, std::string> m;
    for (uint64_t i = 0; i < d->size; ++i)
        if (d->key[i])
            m[d->key[i]] = d->val[i] ? d->val[i] : "\x01";
    return m;
}

void exercise_conf(const char *text)
{
    conf_t *c = conf_load_str(text, 0);
    if (!c)
        return;
    str_vector *secs = conf_get_sections(c);
    if (secs) {
        for (uint64_t i = 0; i < secs->count && i < 16; ++i) {
            const char *sec = secs->items[i];
            str_vector *keys = conf_get_keys(c, sec);
            if (keys) {
                for (uint64_t k = 0; k < keys->count && k < 16; ++k) {
                    const char *key = keys->items[k];
                    const char *v = conf_get(c, sec, key, nullptr);
                    CHECK(v);
                    conf_get_int(c, sec, key, 7);
                    conf_get_size(c, sec, key, 7);
                }
                str_vector_free(keys);
            }
            str_vector *list = conf_get_list(c, sec);
            str_vector_free(list);
            str_map_free(conf_get_section_map(c, sec));
            conf_list_add(c, sec, "item");
            conf_list_del(c, sec, "item");
        }
        if (secs->count) {
            std::string first = secs->items[0];
            conf_rename_section(c, first.c_str(), "renamed");
            conf_rename_key(c, "renamed", "a", "b");
            conf_del_section(c, "renamed");
        }
        str_vector_free(secs);
    }
    str_vector_free(conf_get_sections_match(c, "*a*|b?|[c-e]*"));
    char path[64];
    snprintf(path, sizeof path, "%.20s", text);
    conf_get_path(c, path, "d");
    conf_get_path_int(c, path, 1);
    conf_get_path_size(c, path, 1);
    conf_set_path(c, "s:k", text);
    conf_set_path_int(c, "s\tn", 12);
    conf_free(c);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    iniparser_set_error_callback(quiet_error);
    if (size > 40000)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *text = input.c_str();

    dictionary *d = iniparser_load_str(text);
    if (d) {
        int st = -1;
        std::string first = dump(d, &st);
        if (st == 0) {
            // As a save writes it: a byte-order mark, then the document.
            dictionary *back = iniparser_load_str(("\xEF\xBB\xBF" + first).c_str());
            CHECK(back);
            CHECK(entries(back) == entries(d));
            int st2 = -1;
            dump(back, &st2);
            CHECK(st2 == 0);
            iniparser_freedict(back);
        }
        int n = iniparser_getnsec(d);
        for (int i = 0; i < n && i < 16; ++i) {
            const char *sec = iniparser_getsecname(d, i);
            CHECK(sec);
            int nk = iniparser_getsecnkeys(d, sec);
            const char **keys = new const char *[nk > 0 ? nk : 1];
            iniparser_getseckeys(d, sec, keys);
            for (int k = 0; k < nk && k < 16; ++k) {
                std::string name = std::string(sec) + "\t" + keys[k];
                iniparser_getint(d, name.c_str(), 0);
                iniparser_getdouble(d, name.c_str(), 0);
                iniparser_getboolean(d, name.c_str(), 0);
            }
            delete[] keys;
        }
        iniparser_freedict(d);
    }
    exercise_conf(text);
    return 0;
}
