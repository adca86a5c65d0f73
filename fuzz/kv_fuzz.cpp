// Fuzz target: key/value readers and writers, name lists, field and token
// cutters and the typed field scanner on arbitrary texts.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 20000)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *t = input.c_str();
    const size_t tlen = strlen(t);

    char out[64];
    str_kv_get(t, "&", "a", out, sizeof out);
    str_kv_get_line(t, "b", out, sizeof out);
    str_kv_get_imp(t, ";,", ':', "c", out, sizeof out);
    str_kv_find_key(t, ";", '=', "1", out, sizeof out);
    str_kv_get_url_arg(t, "k", out, sizeof out);
    str_kv_get_line_bracket(t, "k", out, sizeof out);
    str_kv_get_line_unquote(t, "q", out, sizeof out);
    str_sep_list_find(t, "|,", "x");
    str_list_has(t, ",", "a");

    // typed fields, copy mode: the text stays, str/estr results are ours
    uint32_t u32 = 0, x32 = 0;
    uint64_t u64 = 0, x64 = 0;
    int i = 0;
    char *s = nullptr, *e = nullptr;
    int n = str_scanf_sep_val_dup(t, "\t|", 1, "u32|u64|x32|x64|int|str|estr", &u32, sizeof u32, &u64, sizeof u64,
                                  &x32, sizeof x32, &x64, sizeof x64, &i, sizeof i, &s, sizeof s, &e, sizeof e);
    CHECK(n >= -1 && n <= 7);
    CHECK(strlen(t) == tlen);
    if (n >= 6)
        os_free(s);
    if (n >= 7)
        os_free(e);
    // in place on a copy
    std::string copy(t);
    s = e = nullptr;
    n = str_scanf_sep_val(copy.data(), " ", 0, "estr|str|int", &e, &s, &i);
    if (n >= 1)
        CHECK(e >= copy.data() && e <= copy.data() + tlen);
    if (n >= 2)
        CHECK(s >= copy.data() && s <= copy.data() + tlen);

    char line[32];
    n = str_sprintf_sep_val(line, sizeof line, "\t", "u64|str|int", u64, t, i);
    CHECK(strlen(line) < sizeof line);

    // writers on bounded buffers
    char list[256];
    str_safecopy_trunc(list, sizeof list, t);
    for (int mode = 0; mode <= 5; ++mode) {
        char kv[256];
        memcpy(kv, list, sizeof kv);
        str_kv_set(kv, sizeof kv, mode & 1 ? ";" : "\r\n", mode, "k", "v");
        CHECK(strlen(kv) < sizeof kv);
    }
    str_list_add(list, sizeof list, ",", "item");
    CHECK(strlen(list) < sizeof list);
    str_list_del(list, sizeof list, ",;", "a");
    CHECK(strlen(list) < sizeof list);
    char args[128] = "";
    str_kv_add_url_arg(args, sizeof args, "k", t);
    CHECK(strlen(args) < sizeof args);

    // cutters
    char f[16];
    for (int k = 0; k < 4; ++k)
        if (str_get_sep_substr_buf(t, ":", k, f, sizeof f))
            CHECK(strlen(f) < sizeof f);
    char key[8], val[8];
    str_get_key_and_val(t, "=", key, sizeof key, val, sizeof val);
    const char *end = str_ctok(t, "&;", f, sizeof f);
    if (end)
        CHECK(end >= t && end <= t + tlen);
    os_free(str_get_nth_tok_dup(t, ": ", 2));
    os_free(str_lines_find_field(t, " ", "x", 0, 1));
    os_free(str_lines_find_token(t, "a", " \t", 1));
    str_substr_buf(t, size % 7, 1 + size % 5, f, sizeof f);
    os_free(str_substr(t, size % 3, 1 + size % 9));
    str_get_sep_max_substr_buf(t, ',', f, sizeof f);
    return 0;
}
