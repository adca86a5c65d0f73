// Fuzz target: number, size and version texts, and the human-readable
// formatters on small exact-size buffers.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "libpal/string/str_num.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 4000)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *t = input.c_str();
    const size_t tlen = strlen(t);
    const char *u = tlen < size ? t + tlen + 1 : ""; // the text after the first NUL

    str_atoll(t);
    str_atoi(t);
    str_ato64u(t);
    str_ato32u(t);
    str_ato16u(t);
    str_ato8u(t);
    str_ato64x(t);
    str_ato32x(t);
    str_ato16x(t);
    str_ato8x(t);
    str_parse_size(t);
    // A caller's own table, with extreme multipliers and a name that is a
    // prefix of another.
    static const str_size_unit_t odd[] = {{"x", UINT64_MAX}, {"xz", 3}, {"z", 0}, {nullptr, 0}};
    str_parse_size_tbl(t, odd);
    int b = str_to_bool(t);
    CHECK(b >= -1 && b <= 1);
    str_version_num(t);
    int c = str_version_cmp(t, u);
    CHECK(c >= -1 && c <= 1);
    CHECK(str_version_cmp(u, t) == -c);
    CHECK(str_version_cmp(t, t) == 0);

    // Values from the input drive the formatters.
    uint64_t v = 0;
    memcpy(&v, input.data(), size < sizeof v ? size : sizeof v);
    double d = 0;
    if (size >= sizeof v + sizeof d)
        memcpy(&d, input.data() + sizeof v, sizeof d);
    const uint64_t unit = d >= 0 && d < 1e18 ? (uint64_t)d : 0;
    for (size_t n : {1u, 2u, 5u, 9u, 21u, 64u}) {
        std::vector<char> out(n);
        str_fmt_ms(v, out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
        str_fmt_duration(d, out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
        str_fmt_time_span(d, out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
        str_fmt_hours((int64_t)v, out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
        str_fmt_size_imp(v, unit, out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
        str_fmt_size_imp(v, 0, out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
    }
    CHECK(strlen(str_fmt_size(v, 0)) < 21);
    return 0;
}
