// Fuzz target: number literals in every radix, with and without the error
// report, and the regular-expression wrappers with a pattern, a text and a
// replacement taken from the input (separated by NUL bytes).
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "libpal/basic/pl_base.h"
#include "libpal/regex/pl_regex.h"
#include "libpal/string/str_num.h"

namespace {

// The parts of the input between NUL bytes; missing ones are "".
std::string part(const std::string &in, int index)
{
    size_t at = 0;
    for (int i = 0; i < index; ++i) {
        size_t nul = in.find('\0', at);
        if (nul == std::string::npos)
            return "";
        at = nul + 1;
    }
    size_t end = in.find('\0', at);
    return in.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

void check_number(const char *t)
{
    for (int radix : {0, 2, 8, 10, 16, 7}) {
        for (int report : {0, 1}) {
            value2_t v = str_parse_all_number_s(t, radix, report);
            CHECK(v.type == VALUE_TYPE_I32 || v.type == VALUE_TYPE_U32 || v.type == VALUE_TYPE_I64 ||
                  v.type == VALUE_TYPE_U64 || v.type == VALUE_TYPE_DOUBLE);
            value2_get_u64(&v);
            value2_get_i64(&v);
            value2_get_double(&v);
        }
    }
    // Plain decimal digits without a leading zero read as strtoull reads them.
    size_t n = strlen(t);
    if (n > 0 && n <= 20 && t[0] != '0' && strspn(t, "0123456789") == n) {
        errno = 0;
        unsigned long long want = strtoull(t, nullptr, 10);
        CHECK(str_num_to_u64(t) == (errno == ERANGE ? 0 : want));
    }
    str_num_to_i64(t);
    str_num_to_double(t);
    str_hex_to_u64(t);
    str_is_char_class(t, 7);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 4000)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    check_number(part(input, 0).c_str());

    // Short patterns and texts keep the matcher's worst cases quick.
    std::string pattern = part(input, 0), text = part(input, 1), repl = part(input, 2);
    if (pattern.size() > 24 || text.size() > 300 || repl.size() > 16)
        return 0;
    regmatch(text.c_str(), pattern.c_str());
    regmatch_icase(text.c_str(), pattern.c_str());
    cns_reg_t m = cns_reg(text.c_str(), pattern.c_str());
    CHECK(m.failed ? m.start == -1 && m.end == -1 : 0 <= m.start && m.start <= m.end && (size_t)m.end <= text.size());
    char *out = str_regex_replace(text.c_str(), pattern.c_str(), repl.c_str());
    CHECK(out != nullptr);
    size_t len = strlen(out);
    // At most one replacement per match, and matches never overlap: one per
    // gap between characters at the most.
    CHECK(len <= text.size() + (text.size() + 1) * repl.size());
    if (m.failed)
        CHECK(std::string(out) == text);
    os_free(out);
    return 0;
}
