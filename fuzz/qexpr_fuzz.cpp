// Fuzz target: the rule language. Any text either parses or fails with a
// message; a set that loads dumps, fingerprints and filters a record, and
// its canonical form parses again.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "libpal/basic/pl_base.h"
#include "libpal/qexpr/qexpr.h"

namespace {

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
        // Double-quoted values take no escapes, so a value holding '"'
        // may not read back; everything else does.
        if (!strchr(canon, '"'))
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
