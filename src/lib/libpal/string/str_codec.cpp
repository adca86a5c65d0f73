// Hex, base64, percent and backslash encodings.
#include "libpal/string/str_codec.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr const char k_hex_lower[] = "0123456789abcdef";
constexpr const char k_hex_upper[] = "0123456789ABCDEF";

// Built at compile time, so concurrent first calls cannot race on it.
struct hex_table {
    signed char v[256];
    constexpr hex_table() : v()
    {
        for (int i = 0; i < 256; i++)
            v[i] = -1;
        for (int i = 0; i < 10; i++)
            v['0' + i] = (signed char)i;
        for (int i = 0; i < 6; i++) {
            v['a' + i] = (signed char)(10 + i);
            v['A' + i] = (signed char)(10 + i);
        }
    }
};
constexpr hex_table k_hex_tab;

inline int hexval(unsigned char c) { return k_hex_tab.v[c]; }

constexpr const char k_b64_std[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char k_b64_url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct b64_table {
    signed char v[256];
    constexpr b64_table() : v()
    {
        for (int i = 0; i < 256; i++)
            v[i] = -1;
        for (int i = 0; i < 64; i++)
            v[(unsigned char)k_b64_std[i]] = (signed char)i;
        // Both alphabets decode: '-' reads as '+', '_' as '/'.
        v['-'] = 62;
        v['_'] = 63;
    }
};
constexpr b64_table k_b64_tab;

// Characters a URL query value must not carry unescaped.
inline bool url_needs_escape(unsigned char c)
{
    if (c < 0x20 || c >= 0x7f)
        return true;
    switch (c) {
    case ' ': case '#': case '%': case '&': case '+': case ';': case '=': case '?':
        return true;
    default:
        return false;
    }
}

} // namespace

// ---------------------------------------------------------------- hex

unsigned str_hex_digit_val(int c)
{
    int v = hexval((unsigned char)c);
    return v < 0 ? 255u : (unsigned)v;
}

int str_hex_val_cached(int c) { return hexval((unsigned char)c); }

int str_hex_encode_buf(const void *data, int len, char *out, size_t size)
{
    if (!data)
        return -1;
    const unsigned char *p = (const unsigned char *)data;
    size_t n = len < 0 ? strlen((const char *)data) : (size_t)len;
    if (n > (size_t)(INT_MAX - 1) / 2)
        return -1;
    size_t need = 2 * n + 1;
    if (!out)
        return (int)need;
    if (size < need)
        return -1;
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = k_hex_lower[p[i] >> 4];
        out[2 * i + 1] = k_hex_lower[p[i] & 15];
    }
    out[2 * n] = '\0';
    return (int)(2 * n);
}

char *str_hex_encode_alloc(const void *data, int len)
{
    int need = str_hex_encode_buf(data, len, nullptr, 0);
    if (need < 0)
        return nullptr;
    char *out = (char *)os_malloc((size_t)need);
    if (!out)
        return nullptr;
    if (str_hex_encode_buf(data, len, out, (size_t)need) < 0) {
        os_free(out);
        return nullptr;
    }
    return out;
}

char *str_hex_encode_str(const char *text) { return str_hex_encode_alloc(text, -1); }

int str_hex_fmt_buf(const void *data, size_t len, char *out, size_t size)
{
    if (!out || size == 0)
        return 0;
    if (!data || len > (SIZE_MAX - 1) / 2 || size < 2 * len + 1) {
        out[0] = '\0';
        return 0;
    }
    const unsigned char *p = (const unsigned char *)data;
    for (size_t i = 0; i < len; i++) {
        out[2 * i] = k_hex_lower[p[i] >> 4];
        out[2 * i + 1] = k_hex_lower[p[i] & 15];
    }
    out[2 * len] = '\0';
    return 1;
}

int str_hex_decode_buf(const char *text, int add_nul, void *out, size_t size)
{
    if (!text)
        return -1;
    size_t len = strlen(text);
    if (len % 2 || len / 2 > (size_t)INT_MAX - 1)
        return -1;
    size_t n = len / 2;
    size_t need = n + (add_nul ? 1 : 0);
    // Validate first so that a bad text never leaves half-written output.
    for (size_t i = 0; i < len; i++)
        if (hexval((unsigned char)text[i]) < 0)
            return -1;
    if (!out)
        return (int)need;
    if (size < need)
        return -1;
    unsigned char *o = (unsigned char *)out;
    for (size_t i = 0; i < n; i++)
        o[i] = (unsigned char)(hexval((unsigned char)text[2 * i]) << 4 | hexval((unsigned char)text[2 * i + 1]));
    if (add_nul)
        o[n] = 0;
    return (int)n;
}

void *str_hex_decode_alloc(const char *text, size_t *len_out)
{
    int n = str_hex_decode_buf(text, 0, nullptr, 0);
    if (n < 0)
        return nullptr;
    void *out = os_malloc(n > 0 ? (size_t)n : 1);
    if (!out)
        return nullptr;
    if (str_hex_decode_buf(text, 0, out, (size_t)n) < 0) {
        os_free(out);
        return nullptr;
    }
    if (len_out)
        *len_out = (size_t)n;
    return out;
}

void *str_hex_decode_alloc_ws(char *text, size_t *len_out)
{
    if (!text)
        return nullptr;
    char *w = text;
    for (const char *r = text; *r; r++)
        if (*r != ' ' && *r != '\t' && *r != '\r' && *r != '\n')
            *w++ = *r;
    *w = '\0';
    return str_hex_decode_alloc(text, len_out);
}

char *str_hex_decode_str(const char *text)
{
    int need = str_hex_decode_buf(text, 1, nullptr, 0);
    if (need < 0)
        return nullptr;
    char *out = (char *)os_malloc((size_t)need);
    if (!out)
        return nullptr;
    if (str_hex_decode_buf(text, 1, out, (size_t)need) < 0) {
        os_free(out);
        return nullptr;
    }
    return out;
}

char *str_hex_decode_bcd(const char *text, int raw)
{
    char *s = str_hex_decode_str(text);
    if (!s)
        return nullptr;
    size_t n = strlen(s);
    if (raw)
        return s;
    if (n == 0 || n % 2) {
        os_free(s);
        return nullptr;
    }
    for (size_t i = 0; i < n; i += 2) {
        if (s[i] < '0' || s[i] > '9' || s[i + 1] < '0' || s[i + 1] > '9') {
            os_free(s);
            return nullptr;
        }
        char t = s[i];
        s[i] = s[i + 1];
        s[i + 1] = t;
    }
    return s;
}

int str_hex_decode_loose(const char *text, size_t len, void *out, size_t size)
{
    if (!text || !out || len < 2 || len / 3 >= size)
        return -1;
    unsigned char *o = (unsigned char *)out;
    size_t n = 0;
    size_t i = 0;
    while (i < len && text[i]) {
        unsigned char c = (unsigned char)text[i];
        if (c == ' ' || c == '-' || c == '.' || c == ':' || c == '_') {
            i++;
            continue;
        }
        if (i + 1 >= len || !text[i + 1])
            return -1; // a lone digit or a bad character at the end
        int hi = hexval(c), lo = hexval((unsigned char)text[i + 1]);
        if (hi < 0 || lo < 0)
            return -1;
        if (n >= size)
            return -1;
        o[n++] = (unsigned char)(hi << 4 | lo);
        i += 2;
    }
    return (int)n;
}

int str_hex_parse_sep(const char *text, const char *sep, unsigned char *out, size_t size, size_t *count)
{
    size_t n = 0;
    if (count)
        *count = 0;
    if (!text || !out)
        return 1;
    const char *p = text;
    for (;;) {
        int hi = hexval((unsigned char)p[0]);
        int lo = hi < 0 ? -1 : hexval((unsigned char)p[1]);
        if (hi < 0 || lo < 0)
            return 1;
        if (n >= size)
            return -1;
        out[n++] = (unsigned char)(hi << 4 | lo);
        if (count)
            *count = n;
        p += 2;
        if (*p == '\0')
            return 0;
        if (sep) {
            if (*p != *sep)
                return 1;
            p++;
        }
    }
}

int str_hex_mask_decode(const char *text, unsigned char *value, char *mask)
{
    if (!text)
        return -1;
    int n = 0;
    const char *p = text;
    while (*p) {
        unsigned char c = (unsigned char)*p;
        if (c == '?') {
            if (value)
                value[n] = 0;
            if (mask)
                mask[n] = '?';
            n++;
            p++;
            continue;
        }
        int hi = hexval(c);
        if (hi < 0)
            return -1;
        p++;
        // Separators between the two digits of a pair are tolerated.
        while (*p && hexval((unsigned char)*p) < 0)
            p++;
        if (!*p)
            return -1;
        int lo = hexval((unsigned char)*p++);
        if (value)
            value[n] = (unsigned char)(hi << 4 | lo);
        if (mask)
            mask[n] = '_';
        if (n == INT_MAX)
            return -1;
        n++;
    }
    return n;
}

int str_hex_mask_decode_alloc(const char *text, unsigned char **value_out, size_t *len_out, char **mask_out)
{
    if (!value_out || !mask_out)
        return -1;
    *value_out = nullptr;
    *mask_out = nullptr;
    int n = str_hex_mask_decode(text, nullptr, nullptr);
    if (n < 0)
        return -1;
    unsigned char *v = (unsigned char *)os_zalloc((size_t)n + 1);
    char *m = (char *)os_zalloc((size_t)n + 1);
    if (!v || !m) {
        os_free(v);
        os_free(m);
        return -1;
    }
    str_hex_mask_decode(text, v, m);
    *value_out = v;
    *mask_out = m;
    if (len_out)
        *len_out = (size_t)n;
    return n;
}

// ---------------------------------------------------------------- base64

int str_base64_encode_imp(const void *data, size_t len, char *out, size_t size, int url)
{
    const void *ib = data;
    char *ob = out;
    size_t in = len, on = size;
    PL_ASSERT_RET("pal", ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in)), -1);
    const char *alpha = url ? k_b64_url : k_b64_std;
    const char pad = url ? ',' : '=';
    const unsigned char *p = (const unsigned char *)data;
    size_t o = 0, i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t g = (uint32_t)p[i] << 16 | (uint32_t)p[i + 1] << 8 | p[i + 2];
        out[o++] = alpha[g >> 18 & 63];
        out[o++] = alpha[g >> 12 & 63];
        out[o++] = alpha[g >> 6 & 63];
        out[o++] = alpha[g & 63];
    }
    size_t rest = len - i;
    if (rest) {
        uint32_t g = (uint32_t)p[i] << 16;
        if (rest == 2)
            g |= (uint32_t)p[i + 1] << 8;
        out[o++] = alpha[g >> 18 & 63];
        out[o++] = alpha[g >> 12 & 63];
        out[o++] = rest == 2 ? alpha[g >> 6 & 63] : pad;
        out[o++] = pad;
    }
    out[o] = '\0';
    return (int)o;
}

int str_base64_encode(const void *data, size_t len, char *out, size_t size)
{
    return str_base64_encode_imp(data, len, out, size, 0);
}

int str_base64url_encode(const void *data, size_t len, char *out, size_t size)
{
    return str_base64_encode_imp(data, len, out, size, 1);
}

static char *b64_encode_alloc(const void *data, size_t len, int url)
{
    if (len >= UINT32_MAX / 4)
        return nullptr;
    size_t need = PL_BASE64_ENCODE_LEN(len);
    char *out = (char *)os_zalloc(need);
    if (!out)
        return nullptr;
    if (str_base64_encode_imp(data, len, out, need, url) < 0) {
        os_free(out);
        return nullptr;
    }
    return out;
}

char *str_base64_encode_alloc(const void *data, size_t len) { return b64_encode_alloc(data, len, 0); }
char *str_base64url_encode_alloc(const void *data, size_t len) { return b64_encode_alloc(data, len, 1); }

char *str_base64_encode_buf_imp(const char *text, char *out, size_t size, int url)
{
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    if (!text || str_base64_encode_imp(text, strlen(text) + 1, out, size, url) < 0) {
        out[0] = '\0';
        LOG_ERR("pal", "str_base64_encode ib=[%s] failed", text ? text : "(null)");
        pl_dump_stack();
    }
    return out;
}

char *str_base64_encode_text(const char *text, char *out, size_t size)
{
    return str_base64_encode_buf_imp(text, out, size, 0);
}

char *str_base64url_encode_text(const char *text, char *out, size_t size)
{
    return str_base64_encode_buf_imp(text, out, size, 1);
}

int str_base64_encode_str(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return ERANGE;
    out[0] = '\0';
    if (!text)
        return 0;
    char *enc = str_base64_encode_alloc(text, strlen(text));
    if (!enc) {
        errno = ERANGE;
        return ERANGE;
    }
    // One strict copy: either the whole text fits or out is left empty.
    int ret = str_safecopy(out, size, enc);
    os_free(enc);
    return ret;
}

int str_base64_decode(const char *text, void *out, size_t size)
{
    const char *ib = text;
    void *ob = out;
    PL_ASSERT_RET("pal", ib && ob, -1);
    unsigned char *o = (unsigned char *)out;
    size_t n = 0;
    uint32_t acc = 0;
    size_t k = 0; // position within the group of four
    for (const char *p = text; *p && *p != '=' && *p != ','; p++) {
        unsigned char c = (unsigned char)*p;
        int v = k_b64_tab.v[c];
        if (v < 0) {
            LOG_ERR("pal", "invalid chr=0x%x [%c]", (unsigned)c, (char)c);
            pl_dump_stack();
            return -1;
        }
        acc = acc << 6 | (uint32_t)v;
        if (k > 0) {
            if (n >= size || n >= (size_t)INT_MAX)
                return -1;
            // Character k (1..3) of a group completes one byte: the bits kept
            // from before and the top 2k bits of this character.
            unsigned shift = 6 - 2 * (unsigned)k;
            o[n++] = (unsigned char)(acc >> shift);
            acc &= (1u << shift) - 1;
        }
        k = (k + 1) & 3;
    }
    return (int)n;
}

char *str_base64_decode_buf(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    if (!text || str_base64_decode(text, out, size) < 0) {
        out[0] = '\0';
        LOG_ERR("pal", "str_base64_decode ib=[%s] failed", text ? text : "(null)");
        pl_dump_stack();
    }
    return out;
}

void *str_base64_decode_alloc(const char *text, size_t *len_out)
{
    const char *ib = text;
    size_t *on = len_out;
    PL_ASSERT_HARD("pal", ib!=NULL);
    PL_ASSERT_HARD("pal", on!=NULL);
    size_t len = strlen(text);
    void *out = os_malloc(len ? len : 1);
    if (!out)
        return nullptr;
    int n = str_base64_decode(text, out, len);
    if (n < 0) {
        os_free(out);
        return nullptr;
    }
    *len_out = (size_t)n;
    return out;
}

// ---------------------------------------------------------------- percent

static size_t url_args_len(const char *text)
{
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        n += url_needs_escape(*p) ? 3 : 1;
    return n;
}

static void url_args_write(const char *text, char *out)
{
    char *o = out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (url_needs_escape(*p)) {
            *o++ = '%';
            *o++ = k_hex_upper[*p >> 4];
            *o++ = k_hex_upper[*p & 15];
        } else {
            *o++ = (char)*p;
        }
    }
    *o = '\0';
}

int str_escape_url_args(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return -1;
    out[0] = '\0';
    if (!text)
        return 0;
    size_t rlen = url_args_len(text) + 1, bsize = size;
    PL_ASSERT_RET("pal", rlen<=bsize, -1);
    url_args_write(text, out);
    return 0;
}

char *str_escape_url_args_alloc(const char *text)
{
    if (!text)
        return nullptr;
    size_t need = url_args_len(text) + 1;
    char *out = (char *)os_zalloc(need);
    if (!out)
        return nullptr;
    url_args_write(text, out);
    return out;
}

int str_unescape_url_args(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return -1;
    out[0] = '\0';
    if (!text)
        return 0;
    size_t len = strlen(text) + 1, bsize = size;
    PL_ASSERT_RET("pal", len<=bsize, -1);
    char *o = out;
    const char *p = text;
    while (*p) {
        if (*p != '%') {
            *o++ = *p++;
            continue;
        }
        // '%' seen. An escape cut short by the end of the text is dropped.
        if (!p[1])
            break;
        int hi = hexval((unsigned char)p[1]);
        if (hi < 0) { // '%' and a non-hex character: keep the character
            *o++ = p[1];
            p += 2;
            continue;
        }
        if (!p[2])
            break;
        int lo = hexval((unsigned char)p[2]);
        if (lo >= 0)
            *o++ = (char)(hi << 4 | lo);
        p += 3; // a malformed "%4z" is dropped whole
    }
    *o = '\0';
    return 0;
}

// ---------------------------------------------------------------- backslash

int str_unescape_get_chr(const char **pp)
{
    const unsigned char *p = (const unsigned char *)*pp;
    if (!*p)
        return -1;
    if (*p != '\\') {
        *pp = (const char *)(p + 1);
        return *p;
    }
    p++;
    unsigned c = *p;
    unsigned v;
    switch (c) {
    case '\0':
        // A backslash that ends the text stands for itself; never step over
        // the terminator.
        *pp = (const char *)p;
        return '\\';
    case 'a': v = 7; p++; break;
    case 'b': v = 8; p++; break;
    case 't': v = 9; p++; break;
    case 'n': v = 10; p++; break;
    case 'v': v = 11; p++; break;
    case 'f': v = 12; p++; break;
    case 'r': v = 13; p++; break;
    case 'e': v = 27; p++; break;
    case '\\': case '"': case '\'': case '?': v = c; p++; break;
    case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7':
        v = 0;
        for (int i = 0; i < 3 && *p >= '0' && *p <= '7'; i++)
            v = v * 8 + (unsigned)(*p++ - '0');
        break;
    case 'x': case 'u': case 'U':
        // Any number of digits; accumulate unsigned (wrapping is defined) and
        // keep the result non-negative so it never reads as the end marker.
        v = 0;
        p++;
        while (hexval(*p) >= 0)
            v = v * 16u + (unsigned)hexval(*p++);
        v &= 0x7fffffffu;
        break;
    default:
        if (c >= 33 && c <= 126)
            LOG_ERR("pal", "unknown escape sequence: '\\%c'\n", (char)c);
        else
            LOG_ERR("pal", "unknown escape sequence: '\\x%x'", c);
        pl_dump_stack();
        v = c;
        p++;
        break;
    }
    *pp = (const char *)p;
    return (int)v;
}

char *str_unescape_cstr_buf(const char *text, char *out, size_t size, int *len_out)
{
    if (len_out)
        *len_out = 1;
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    if (!text)
        return out;
    size_t n = 0;
    const char *p = text;
    int c;
    while ((c = str_unescape_get_chr(&p)) >= 0) {
        if (n + 1 >= size) {
            out[0] = '\0';
            LOG_ERR("pal", "blen=%d error: too small", (int)size);
            pl_dump_stack();
            return out;
        }
        out[n++] = (char)(unsigned char)c;
    }
    out[n] = '\0';
    if (len_out)
        *len_out = (int)(n + 1);
    return out;
}

char *str_unescape_cstr(const char *text, int *len_out)
{
    if (len_out)
        *len_out = 0;
    if (!text)
        return nullptr;
    // Decoding never lengthens a text.
    size_t size = strlen(text) + 1;
    char *out = (char *)os_malloc(size);
    if (!out)
        return nullptr;
    int n = 1;
    str_unescape_cstr_buf(text, out, size, &n);
    if (n <= 1) {
        os_free(out);
        return nullptr;
    }
    if (len_out)
        *len_out = n;
    return out;
}

char *str_unescape_cstr_inplace(char *text, int *len_out)
{
    if (len_out)
        *len_out = 1;
    if (!text)
        return text;
    size_t size = strlen(text) + 1;
    char small[8192];
    char *buf = size <= sizeof(small) ? small : (char *)os_malloc(size);
    if (!buf)
        return text;
    int n = 1;
    str_unescape_cstr_buf(text, buf, size, &n);
    memcpy(text, buf, (size_t)n);
    if (buf != small)
        os_free(buf);
    if (len_out)
        *len_out = n;
    return text;
}

char *str_unescape_cstr_unquote(const char *text)
{
    int n = 0;
    char *s = str_unescape_cstr(text, &n);
    if (!s)
        return nullptr;
    size_t len = strlen(s);
    if (len >= 2 && s[0] == '"' && s[len - 1] == '"') {
        memmove(s, s + 1, len - 2);
        s[len - 2] = '\0';
    }
    return s;
}

int str_unescape_chr_oct(const char **pp)
{
    const unsigned char *p = (const unsigned char *)*pp;
    if (*p >= '0' && *p <= '7') {
        unsigned v = 0;
        for (int i = 0; i < 3 && p[0] >= '0' && p[0] <= '7'; i++) {
            unsigned nv = v * 8 + (unsigned)(p[0] - '0');
            if (nv > 255)
                break; // the third digit stays unread
            v = nv;
            p++;
        }
        *pp = (const char *)p;
        return (int)v;
    }
    int v;
    switch (*p) {
    case 'a': v = 7; break;
    case 'b': v = 8; break;
    case 'f': v = 12; break;
    case 'n': v = 10; break;
    case 'r': v = 13; break;
    case 't': v = 9; break;
    case 'v': v = 11; break;
    case '\\': v = '\\'; break;
    default: return '\\';
    }
    *pp = (const char *)(p + 1);
    return v;
}

namespace {

// Bounded writer shared by the JSON and tab escapes. Pieces go in one after
// another; the first one that does not fit empties the output (through the
// strict append, which logs the overflow) and stops everything after it.
struct esc_writer {
    char *out;
    size_t size; // 0: no bound
    size_t pos = 0;
    size_t need = 0; // bytes needed so far, NUL excluded
    bool failed = false;

    void put(const char *piece, size_t n)
    {
        need += n;
        if (!out || failed)
            return;
        if (size && pos + n + 1 > size) {
            char tmp[8];
            memcpy(tmp, piece, n);
            tmp[n] = '\0';
            out[pos] = '\0';
            str_safecat(out, size, tmp);
            out[0] = '\0';
            failed = true;
            return;
        }
        memcpy(out + pos, piece, n);
        pos += n;
    }
    int finish()
    {
        if (!out)
            return need + 1 > (size_t)INT_MAX ? -1 : (int)(need + 1);
        if (failed)
            return -1;
        out[pos] = '\0';
        return (int)(pos + 1);
    }
};

void json_escape_into(const unsigned char *p, size_t len, esc_writer &w)
{
    for (size_t i = 0; i < len; i++) {
        unsigned char c = p[i];
        char b[8];
        switch (c) {
        case '\\': w.put("\\\\", 2); break;
        case '"': w.put("\\\"", 2); break;
        case 8: w.put("\\b", 2); break;
        case 9: w.put("\\t", 2); break;
        case 10: w.put("\\n", 2); break;
        case 12: w.put("\\f", 2); break;
        case 13: w.put("\\r", 2); break;
        default:
            if (c < 0x20) {
                b[0] = '\\'; b[1] = 'u'; b[2] = '0'; b[3] = '0';
                b[4] = k_hex_upper[c >> 4];
                b[5] = k_hex_upper[c & 15];
                w.put(b, 6);
            } else {
                b[0] = (char)c;
                w.put(b, 1);
            }
        }
        if (w.failed)
            return;
    }
}

void tab_escape_into(const unsigned char *p, size_t len, esc_writer &w)
{
    for (size_t i = 0; i < len; i++) {
        unsigned char c = p[i];
        char b[2];
        switch (c) {
        case '\\': w.put("\\\\", 2); break;
        case 0: w.put("\\0", 2); break;
        case 8: w.put("\\b", 2); break;
        case 9: w.put("\\t", 2); break;
        case 10: w.put("\\n", 2); break;
        case 12: w.put("\\f", 2); break;
        case 13: w.put("\\r", 2); break;
        default:
            if (c < 0x20) {
                // Written as a backslash and the raw byte; sized the same way.
                b[0] = '\\';
                b[1] = (char)c;
                w.put(b, 2);
            } else {
                b[0] = (char)c;
                w.put(b, 1);
            }
        }
        if (w.failed)
            return;
    }
}

} // namespace

namespace {
// The bounded and allocating forms of an escape share these two steps.
using escape_imp_fn = int (*)(const char *, size_t, char *, size_t);

char *escape_into_buf(escape_imp_fn imp, const char *text, char *out, size_t size)
{
    char *dst = out;
    PL_ASSERT_HARD("pal", dst!=NULL);
    if (size == 0)
        return out;
    out[0] = '\0';
    if (!text || !*text)
        return out;
    imp(text, strlen(text), out, size);
    return out;
}

char *escape_alloc(escape_imp_fn imp, const char *text)
{
    size_t len = text ? strlen(text) : 0;
    int need = imp(text, len, nullptr, 0);
    if (need < 0)
        return nullptr;
    char *out = (char *)os_zalloc((size_t)need);
    if (!out)
        return nullptr;
    imp(text, len, out, (size_t)need);
    return out;
}
} // namespace

int str_escape_json_imp(const char *text, size_t len, char *out, size_t size)
{
    esc_writer w{out, size};
    if (text)
        json_escape_into((const unsigned char *)text, len, w);
    return w.finish();
}

char *str_escape_json(const char *text, char *out, size_t size)
{
    return escape_into_buf(str_escape_json_imp, text, out, size);
}

char *str_escape_json_alloc(const char *text) { return escape_alloc(str_escape_json_imp, text); }

int str_escape_tab_imp(const char *text, size_t len, char *out, size_t size)
{
    esc_writer w{out, size};
    if (text)
        tab_escape_into((const unsigned char *)text, len, w);
    return w.finish();
}

char *str_escape_tab_buf(const char *text, char *out, size_t size)
{
    return escape_into_buf(str_escape_tab_imp, text, out, size);
}

char *str_escape_tab(const char *text) { return escape_alloc(str_escape_tab_imp, text); }

char *str_escape_tab_zz_buf(const char *zz, size_t max, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    out[0] = '\0';
    if (!zz || max == 0 || zz[0] == '\0') { // an empty first string ends the list
        str_safecopy(out, size, "\\0\\0");
        return out;
    }
    // Find the double NUL that ends the list, looking at no more than max.
    size_t end = 0;
    bool found = false;
    for (size_t i = 0; i + 1 < max; i++) {
        if (zz[i] == '\0' && zz[i + 1] == '\0') {
            end = i + 2;
            found = true;
            break;
        }
    }
    if (!found) {
        char head[32];
        size_t i = 0;
        for (; i + 1 < sizeof(head) && i < max && zz[i]; i++)
            head[i] = zz[i];
        head[i] = '\0';
        LOG_ERR("pal", "[%s] error: not zz end", head);
        pl_dump_stack();
        str_safecopy(out, size, "\\0\\0");
        return out;
    }
    str_escape_tab_imp(zz, end, out, size);
    return out;
}

static int csv_escape(const char *text, char *out, size_t size, bool bounded)
{
    size_t len = strlen(text);
    int nsize_i = str_escape_json_imp(text, len, nullptr, 0);
    if (nsize_i < 0)
        return -1;
    size_t nsize = (size_t)nsize_i, dsize = size;
    if (bounded)
        PL_ASSERT_RET("pal", dsize >= (nsize + 2), -1);
    str_escape_json_imp(text, len, out + 1, nsize);
    // The escaped text sits at out+1; enclose it or move it to the front.
    if (strchr(out + 1, ',') && out[1] != '"') {
        out[0] = '"';
        out[nsize] = '"';
        out[nsize + 1] = '\0';
    } else {
        memmove(out, out + 1, nsize);
    }
    return 0;
}

char *str_escape_csv(const char *text, char *out, size_t size)
{
    if (!out || size == 0)
        return out;
    if (!text || !*text) {
        out[0] = '\0';
        return out;
    }
    csv_escape(text, out, size, true);
    return out;
}

char *str_escape_csv_alloc(const char *text)
{
    if (!text || !*text) {
        char *e = (char *)os_zalloc(1);
        return e;
    }
    int nsize = str_escape_json_imp(text, strlen(text), nullptr, 0);
    if (nsize < 0)
        return nullptr;
    size_t size = (size_t)nsize + 2;
    char *out = (char *)os_zalloc(size);
    if (!out)
        return nullptr;
    csv_escape(text, out, size, false);
    return out;
}
