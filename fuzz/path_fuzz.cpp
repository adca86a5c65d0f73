// Fuzz target: the path text helpers. Buffers are heap blocks of exactly the
// size each function is promised, so a write one byte past them is caught;
// texts up to and beyond the path limit are fed in.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "libpal/string/str_path.h"

namespace {

// A PL_MAX_PATH heap buffer holding text cut to fit.
struct pbuf {
    std::vector<char> b = std::vector<char>(PL_MAX_PATH);
    explicit pbuf(const std::string &s = "")
    {
        size_t n = s.size() < PL_MAX_PATH - 1 ? s.size() : PL_MAX_PATH - 1;
        memcpy(b.data(), s.data(), n);
        b[n] = '\0';
    }
    char *p() { return b.data(); }
    size_t len() const { return strnlen(b.data(), PL_MAX_PATH); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 3 * PL_MAX_PATH)
        return 0;
    // Input: two texts separated by the first NUL (the second may be empty).
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::string a = input.substr(0, strnlen(input.c_str(), size));
    const std::string b = a.size() < size ? std::string(input.c_str() + a.size() + 1) : std::string();

    {
        pbuf x(a);
        path_normalize(x.p());
        CHECK(x.len() < PL_MAX_PATH);
        pbuf y(a);
        path_to_posix(y.p());
        CHECK(y.len() < PL_MAX_PATH);
        pbuf z(a);
        path_squeeze_slash(z.p());
        path_squeeze_sep(z.p(), '\\');
        path_del_sep_tail(z.p());
        path_add_sep_not_exist_tail(z.p());
        CHECK(z.len() < PL_MAX_PATH);
        pbuf q(a);
        path_quote(q.p());
        CHECK(q.len() < PL_MAX_PATH);
        pbuf qo;
        path_quote_buf(a.size() < PL_MAX_PATH ? a.c_str() : "", qo.p());
        CHECK(qo.len() < PL_MAX_PATH);
    }
    // Small buffers: the strict copy forms must stay inside them.
    for (size_t n : {1u, 2u, 7u, 64u}) {
        std::vector<char> out(n);
        path_normalize_buf(a.c_str(), out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
        path_to_posix_buf(a.c_str(), out.data(), n);
        CHECK(strnlen(out.data(), n) < n);
        std::vector<char> d(n);
        size_t m = a.size() < n - 1 ? a.size() : n - 1;
        memcpy(d.data(), a.data(), m);
        d[m] = '\0';
        path_drive_to_posix(d.data(), n);
        CHECK(strnlen(d.data(), n) < n);
        memcpy(d.data(), a.data(), m);
        d[m] = '\0';
        path_append2(d.data(), n, b.c_str());
        CHECK(strnlen(d.data(), n) < n);
        path_build2(out.data(), n, a.c_str(), b.c_str());
        CHECK(strnlen(out.data(), n) < n);
    }
    {
        pbuf out;
        path_build(out.p(), a.size() < PL_MAX_PATH ? a.c_str() : "", b.size() < PL_MAX_PATH ? b.c_str() : "");
        CHECK(out.len() < PL_MAX_PATH);
        pbuf dir(a);
        path_append(dir.p(), b.size() < PL_MAX_PATH ? b.c_str() : "");
        CHECK(dir.len() < PL_MAX_PATH);
        pbuf u;
        const char *udir = a.size() < PL_MAX_PATH ? a.c_str() : "";
        path_build_unescape_name(u.p(), udir, b.c_str());
        CHECK(u.len() < PL_MAX_PATH);
        if (u.len()) {
            // A single component was added: nothing climbs out of dir.
            CHECK(u.len() >= strlen(udir));
            CHECK(!strstr(u.p() + strlen(udir), "/../"));
        }
        pbuf r;
        path_resolve(a.c_str(), b.empty() ? nullptr : b.c_str(), r.p());
        CHECK(r.len() < PL_MAX_PATH);
        if (r.p()[0] == '/') {
            std::string s = r.p();
            // "." and ".." components are gone.
            CHECK(s.find("/../") == std::string::npos && s.find("/./") == std::string::npos);
        }
    }
    {
        pbuf c(a);
        path_basename(static_cast<const char *>(c.p()));
        path_basename(c.p());
        path_sep_count(c.p());
        path_is_absolute(c.p());
        path_is_root(c.p());
        path_has_sep_tail(c.p());
        path_has_sep_head(c.p());
        path_is_plain_name(c.p());
        path_equal(c.p(), b.size() < PL_MAX_PATH ? b.c_str() : "");
        path_dir_equal(c.p(), b.size() < PL_MAX_PATH ? b.c_str() : "");
        path_dirname_static(c.p());
        pbuf e(a);
        path_del_ext(e.p());
        pbuf f(a);
        path_cut_name(f.p());
        pbuf g(a);
        path_del_name(g.p());
    }
    return 0;
}
