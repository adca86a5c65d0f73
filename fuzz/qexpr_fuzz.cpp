// Fuzz target: the rule language. Any text either parses or fails with a
// message; a set that loads dumps, fingerprints and filters a record, and
// its canonical form parses again.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "libpal/basic/pl_base.h"
#include "libpal/qexpr/qexpr.h"

namespace {

int count_rule(void *arg, int, const char *, int, const char *, int, int)
{
    ++*static_cast<int *>(arg);
    return 0;
}

int fields(const char *name, value2_t *v, void *)
{
    if (strcmp(name, "level") == 0) {
        v->type = QEXPR_VT_U8;
        v->v.u64 = 4;
        return 0;
    }
    if (strcmp(name, "id") == 0) {
        v->type = QEXPR_VT_U64;
        v->v.u64 = 0x0123456789abcdefull;
        return 0;
    }
    v->type = QEXPR_VT_TEXT;
    v->v.str = "main.c: hello VFS world 0x41";
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 20000)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    char err[QEXPR_ERR_SIZE];
    const int checked = expr_parse_check(input.c_str(), err);
    CHECK(checked == 0 || strlen(err) > 0);

    char *canon = expr_parse_dump(input.c_str(), err);
    CHECK((canon != nullptr) == (checked == 0));
    if (canon) {
        char err2[QEXPR_ERR_SIZE];
        // Quoted values take no escapes and command values are written as
        // they are, so a value holding a quote, ';', '#' or a line break may
        // not read back, nor a control character; a canonical text without
        // them, one rule a line, does.
        int rules = 0;
        expr_parse(input.c_str(), count_rule, &rules, err2);
        const std::string c = canon;
        const bool plain = std::none_of(c.begin(), c.end(), [](char ch) {
            return ch == '"' || ch == '\'' || ch == ';' || ch == '#' || (static_cast<unsigned char>(ch) < 0x20 && ch != '\n');
        });
        // Escaping may also lengthen a value past what a rule text holds.
        size_t longest = 0, start = 0;
        for (size_t i = 0; i <= c.size(); i++)
            if (i == c.size() || c[i] == '\n') {
                longest = std::max(longest, i - start);
                start = i + 1;
            }
        if (plain && longest <= QEXPR_MAX_TOKEN &&
            static_cast<int>(std::count(c.begin(), c.end(), '\n')) == rules)
            CHECK(expr_parse_check(canon, err2) == 0);
        os_free(canon);
    }

    qexpr_t *set = qexpr_new(nullptr);
    CHECK(set);
    // Includes would read files named by the input: only texts without one.
    if (!strstr(input.c_str(), "include") && qexpr_load_str(set, input.c_str(), err) == 0) {
        char *dump = qexpr_dump_rules_str(set);
        CHECK(dump);
        os_free(dump);
        qexpr_rules_crc(set);
        qexpr_filter_drop(set, fields, nullptr);
        qexpr_t *copy = qexpr_new(nullptr);
        CHECK(copy && qexpr_copy(copy, set) == 0);
        CHECK(qexpr_rules_crc(copy) == qexpr_rules_crc(set));
        qexpr_free(copy);
    }
    qexpr_free(set);
    return 0;
}
