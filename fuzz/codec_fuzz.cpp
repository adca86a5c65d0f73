// Fuzz target: the text encodings' decoders (hex, base64, percent, backslash)
// into heap buffers of small exact sizes, and encode/decode round trips.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 20000)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *t = input.c_str();
    const size_t tlen = strlen(t);

    for (size_t n : {1u, 2u, 3u, 5u, 8u, 33u}) {
        std::vector<unsigned char> out(n);
        char *o = reinterpret_cast<char *>(out.data());
        int r = str_hex_decode_buf(t, size & 1, out.data(), n);
        CHECK(r <= (int)n);
        r = str_hex_decode_loose(t, tlen, out.data(), n);
        CHECK(r <= (int)n);
        size_t cnt = 0;
        str_hex_parse_sep(t, ":", out.data(), n, &cnt);
        CHECK(cnt <= n);
        str_hex_parse_sep(t, nullptr, out.data(), n, &cnt);
        CHECK(cnt <= n);
        r = str_base64_decode(t, out.data(), n);
        CHECK(r <= (int)n);
        str_base64_decode_buf(t, o, n);
        r = str_unescape_url_args(t, o, n);
        if (r == 0)
            CHECK(strnlen(o, n) < n);
        int len = -5;
        str_unescape_cstr_buf(t, o, n, &len);
        CHECK(len >= 1 && len <= (int)n);
        str_escape_json(t, o, n);
        CHECK(strnlen(o, n) < n);
        str_escape_tab_buf(t, o, n);
        CHECK(strnlen(o, n) < n);
        str_escape_csv(t, o, n);
        str_escape_url_args(t, o, n);
        str_hex_encode_buf(t, -1, o, n);
        str_hex_fmt_buf(t, tlen, o, n);
        str_base64_encode(t, tlen, o, n);
        str_base64_encode_text(t, o, n);
        str_base64_encode_str(t, o, n);
        str_escape_tab_zz_buf(input.data(), size, o, n);
    }

    // Exact-size decodes: the size asked for is the size written.
    int need = str_hex_mask_decode(t, nullptr, nullptr);
    if (need >= 0) {
        std::vector<unsigned char> v(need ? need : 1);
        std::vector<char> m(need ? need : 1);
        CHECK(str_hex_mask_decode(t, v.data(), m.data()) == need);
    }
    unsigned char *mv = nullptr;
    char *mm = nullptr;
    size_t ml = 0;
    if (str_hex_mask_decode_alloc(t, &mv, &ml, &mm) >= 0) {
        os_free(mv);
        os_free(mm);
    }
    size_t blen = 0;
    void *raw = str_base64_decode_alloc(t, &blen);
    os_free(raw);
    raw = str_hex_decode_alloc(t, &blen);
    os_free(raw);
    std::string ws(input.c_str());
    raw = str_hex_decode_alloc_ws(ws.data(), &blen);
    os_free(raw);
    os_free(str_hex_decode_str(t));
    os_free(str_hex_decode_bcd(t, 0));
    os_free(str_hex_decode_bcd(t, 1));
    int ulen = 0;
    os_free(str_unescape_cstr(t, &ulen));
    os_free(str_unescape_cstr_unquote(t));
    std::string inpl(input.c_str());
    str_unescape_cstr_inplace(inpl.data(), &ulen);
    const char *p = t;
    for (int c, k = 0; (c = str_unescape_get_chr(&p)) != -1 && k < 100000; ++k)
        CHECK(c >= 0 && p <= t + tlen);

    // Round trips of the whole input (its bytes, NULs included).
    char *hex = str_hex_encode_alloc(input.data(), (int)size);
    CHECK(hex);
    size_t hl = 0;
    void *back = str_hex_decode_alloc(hex, &hl);
    CHECK(size == 0 || (back && hl == size && memcmp(back, input.data(), size) == 0));
    os_free(back);
    os_free(hex);
    for (int url = 0; url <= 1; ++url) {
        std::vector<char> b64(PL_BASE64_ENCODE_LEN(size));
        int el = str_base64_encode_imp(input.data(), size, b64.data(), b64.size(), url);
        CHECK(el >= 0 && (size_t)el < b64.size());
        std::vector<unsigned char> dec(size ? size : 1);
        int dl = str_base64_decode(b64.data(), dec.data(), dec.size());
        CHECK(dl == (int)size && memcmp(dec.data(), input.data(), size) == 0);
    }
    char *esc = str_escape_url_args_alloc(t);
    CHECK(esc);
    std::vector<char> unesc(strlen(esc) + 1);
    CHECK(str_unescape_url_args(esc, unesc.data(), unesc.size()) == 0);
    CHECK(strcmp(unesc.data(), t) == 0);
    os_free(esc);
    char *js = str_escape_json_alloc(t);
    os_free(js);
    char *tab = str_escape_tab(t);
    os_free(tab);
    os_free(str_escape_csv_alloc(t));
    return 0;
}
