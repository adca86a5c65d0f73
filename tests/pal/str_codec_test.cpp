// Hex, base64, percent and backslash encodings, checked against known
// vectors and against python3 where it gives an independent answer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_codec.h"
#include "liblog/log2.h"
#include "test_util.h"

namespace {

using zk_test::log_capture;
using zk_test::run;

// Collects every log record while alive, as formatted text.
std::vector<std::string> split_lines(const std::string &s)
{
    std::vector<std::string> v;
    size_t b = 0, e;
    while ((e = s.find('\n', b)) != std::string::npos) {
        v.push_back(s.substr(b, e - b));
        b = e + 1;
    }
    return v;
}

std::string bytes_of(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s.push_back((char)(unsigned char)(i * 37 + 11));
    return s;
}

} // namespace

TEST(StrHex, EncodeSizes)
{
    const unsigned char in[] = {0xAB, 0x01};
    char out[8];
    EXPECT_EQ(str_hex_encode_buf(in, 2, out, sizeof(out)), 4);
    EXPECT_STREQ(out, "ab01");
    EXPECT_EQ(str_hex_encode_buf(in, 2, out, 4), -1);
    EXPECT_EQ(str_hex_encode_buf(in, 2, nullptr, 0), 5);
    EXPECT_EQ(str_hex_fmt_buf(in, 2, out, 5), 1);
    EXPECT_STREQ(out, "ab01");
    EXPECT_EQ(str_hex_fmt_buf(in, 2, out, 4), 0);
    EXPECT_STREQ(out, "");

    char *s = str_hex_encode_str("Hi!");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "486921");
    os_free(s);
}

TEST(StrHex, DecodeTable)
{
    struct {
        const char *in;
        int ret;
        const char *bytes;
    } cases[] = {
        {"AB01", 2, "\xab\x01"},
        {"ab01", 2, "\xab\x01"},
        {"", 0, ""},
        {"abc", -1, nullptr},
        {"zz", -1, nullptr},
        {"0g", -1, nullptr},
    };
    for (auto &c : cases) {
        unsigned char out[8] = {0};
        EXPECT_EQ(str_hex_decode_buf(c.in, 0, out, sizeof(out)), c.ret) << c.in;
        if (c.bytes) {
            EXPECT_EQ(memcmp(out, c.bytes, (size_t)c.ret), 0) << c.in;
        }
    }
    char t[4] = "xyz";
    EXPECT_EQ(str_hex_decode_buf("", 1, t, sizeof(t)), 0);
    EXPECT_STREQ(t, "");
    EXPECT_EQ(str_hex_decode_buf("4142", 1, nullptr, 0), 3);
    EXPECT_EQ(str_hex_decode_buf("4142", 1, t, 2), -1); // no room for the NUL

    char *s = str_hex_decode_str("414243");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "ABC");
    os_free(s);

    char ws[] = "41 42\r\n\t43";
    size_t n = 0;
    void *b = str_hex_decode_alloc_ws(ws, &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(memcmp(b, "ABC", 3), 0);
    os_free(b);
}

TEST(StrHex, BcdLooseAndSeparated)
{
    char *s = str_hex_decode_bcd("3132333435", 1);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "12345");
    os_free(s);
    s = str_hex_decode_bcd("31323334", 0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "2143");
    os_free(s);
    EXPECT_EQ(str_hex_decode_bcd("313233", 0), nullptr); // odd decoded length
    EXPECT_EQ(str_hex_decode_bcd("3141", 0), nullptr);   // not a digit

    unsigned char out[8];
    EXPECT_EQ(str_hex_decode_loose("aa:bb-cc.dd_ee ff", 17, out, sizeof(out)), 6);
    EXPECT_EQ(out[0], 0xaa);
    EXPECT_EQ(out[5], 0xff);
    EXPECT_EQ(str_hex_decode_loose("a:bb", 4, out, sizeof(out)), -1);
    EXPECT_EQ(str_hex_decode_loose("aabbccdd", 8, out, 3), -1); // out full

    // The separated form never writes past the given size.
    unsigned char mac[8];
    memset(mac, 0x5a, sizeof(mac));
    size_t cnt = 9;
    EXPECT_EQ(str_hex_parse_sep("00:1a:2B:3c:4d:5e", ":", mac, 6, &cnt), 0);
    EXPECT_EQ(cnt, 6u);
    EXPECT_EQ(mac[1], 0x1a);
    EXPECT_EQ(mac[6], 0x5a);
    memset(mac, 0x5a, sizeof(mac));
    EXPECT_EQ(str_hex_parse_sep("00:11:22:33", ":", mac, 2, &cnt), -1);
    EXPECT_EQ(cnt, 2u);
    EXPECT_EQ(mac[2], 0x5a);
    EXPECT_EQ(str_hex_parse_sep("0011", nullptr, mac, 6, &cnt), 0);
    EXPECT_EQ(cnt, 2u);
    EXPECT_EQ(str_hex_parse_sep("00:11:", ":", mac, 6, &cnt), 1);
    EXPECT_EQ(str_hex_parse_sep("00-11", ":", mac, 6, &cnt), 1);
    EXPECT_EQ(str_hex_parse_sep("0", ":", mac, 6, &cnt), 1);
}

TEST(StrHex, MaskPattern)
{
    unsigned char v[8];
    char m[8] = {0};
    EXPECT_EQ(str_hex_mask_decode("12??34", v, m), 4);
    EXPECT_EQ(memcmp(v, "\x12\x00\x00\x34", 4), 0);
    EXPECT_EQ(std::string(m, 4), "_??_");
    EXPECT_EQ(str_hex_mask_decode("12??34", nullptr, nullptr), 4);
    EXPECT_EQ(str_hex_mask_decode("1", nullptr, nullptr), -1);
    EXPECT_EQ(str_hex_mask_decode("1 2", v, m), 1); // skipped inside a pair
    EXPECT_EQ(v[0], 0x12);
    EXPECT_EQ(str_hex_mask_decode("12 34", v, m), -1); // outside a pair

    unsigned char *va = nullptr;
    char *ma = nullptr;
    size_t n = 0;
    EXPECT_EQ(str_hex_mask_decode_alloc("ff?", &va, &n, &ma), 2);
    EXPECT_EQ(n, 2u);
    EXPECT_STREQ(ma, "_?");
    EXPECT_EQ(va[0], 0xff);
    os_free(va);
    os_free(ma);
}

TEST(StrHex, DigitTables)
{
    for (int c = 0; c < 256; c++) {
        int want = -1;
        if (c >= '0' && c <= '9')
            want = c - '0';
        else if (c >= 'a' && c <= 'f')
            want = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            want = c - 'A' + 10;
        EXPECT_EQ(str_hex_val_cached(c), want) << c;
        EXPECT_EQ(str_hex_digit_val(c), want < 0 ? 255u : (unsigned)want) << c;
    }
}

// python3 base64 for lengths 0..40 of a fixed byte pattern, both alphabets
// (the URL-safe one with ',' in place of '=').
TEST(StrBase64, MatchesPython)
{
    std::string out = run("python3 -c \"import base64\n"
                          "for n in range(41):\n"
                          "  b=bytes((i*37+11)&255 for i in range(n))\n"
                          "  print(base64.b64encode(b).decode(), base64.urlsafe_b64encode(b).decode().replace('=',','))\"");
    auto lines = split_lines(out);
    ASSERT_EQ(lines.size(), 41u);
    for (size_t n = 0; n <= 40; n++) {
        std::string in = bytes_of(n);
        char std_out[64], url_out[64];
        int l1 = str_base64_encode(in.data(), n, std_out, sizeof(std_out));
        int l2 = str_base64url_encode(in.data(), n, url_out, sizeof(url_out));
        EXPECT_EQ((size_t)l1, 4 * ((n + 2) / 3));
        EXPECT_EQ(lines[n], std::string(std_out) + " " + url_out) << n;
        EXPECT_EQ(l2, l1);
        for (const char *enc : {std_out, url_out}) {
            unsigned char back[64];
            EXPECT_EQ(str_base64_decode(enc, back, sizeof(back)), (int)n);
            EXPECT_EQ(memcmp(back, in.data(), n), 0);
        }
        char *a = str_base64_encode_alloc(in.data(), n);
        EXPECT_STREQ(a, std_out);
        os_free(a);
    }
}

TEST(StrBase64, KnownTextsAndFailures)
{
    char out[64];
    str_base64_encode("ab", 2, out, sizeof(out));
    EXPECT_STREQ(out, "YWI=");
    str_base64url_encode("ab", 2, out, sizeof(out));
    EXPECT_STREQ(out, "YWI,");
    EXPECT_STREQ(str_base64_encode_text("abc", out, sizeof(out)), "YWJjAA==");
    EXPECT_EQ(str_base64_encode_str("user:pass", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "dXNlcjpwYXNz");

    {
        log_capture cap;
        // 4*ceil(2/3)+1 = 5 bytes needed.
        EXPECT_EQ(str_base64_encode("ab", 2, out, 4), -1);
        EXPECT_TRUE(cap.has("ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in))"));
        strcpy(out, "junk");
        EXPECT_EQ(str_base64_encode_str("abcdef", out, 8), 34);
        EXPECT_STREQ(out, "");
    }

    unsigned char b[8];
    EXPECT_EQ(str_base64_decode("YWI=junk", b, sizeof(b)), 2);
    EXPECT_EQ(str_base64_decode("YWI,junk", b, sizeof(b)), 2);
    EXPECT_EQ(str_base64_decode("YWJj", b, 2), -1); // one byte short
    EXPECT_EQ(str_base64_decode("YWJj", b, 3), 3);
    {
        log_capture cap;
        EXPECT_EQ(str_base64_decode("YW I=", b, sizeof(b)), -1);
        EXPECT_TRUE(cap.has("invalid chr=0x20 [ ]"));
    }
    {
        log_capture cap;
        char o[4] = "xyz";
        str_base64_decode_buf("!!", o, sizeof(o));
        EXPECT_STREQ(o, "");
        EXPECT_TRUE(cap.has("str_base64_decode ib=[!!] failed"));
    }
    size_t n = 0;
    void *p = str_base64_decode_alloc("YWJj", &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(memcmp(p, "abc", 3), 0);
    os_free(p);
}

// python3 urllib.parse.quote with the safe set = printable ASCII without
// "#%&+;=?" encodes exactly the set a query value must escape.
TEST(StrPercent, EscapeMatchesPythonForEveryByte)
{
    std::string out = run("python3 -c \"from urllib.parse import quote\n"
                          "safe=''.join(chr(c) for c in range(0x21,0x7f) if chr(c) not in '#%&+;=?')\n"
                          "print(quote(bytes(range(1,256)), safe=safe))\"");
    ASSERT_FALSE(out.empty());
    out.pop_back();
    std::string all;
    for (int c = 1; c < 256; c++)
        all.push_back((char)c);
    char enc[1024], dec[1024];
    ASSERT_EQ(str_escape_url_args(all.c_str(), enc, sizeof(enc)), 0);
    EXPECT_EQ(std::string(enc), out);
    ASSERT_EQ(str_unescape_url_args(enc, dec, sizeof(dec)), 0);
    EXPECT_EQ(std::string(dec), all);

    char *a = str_escape_url_args_alloc("a&b=c d\xc3");
    EXPECT_STREQ(a, "a%26b%3Dc%20d%C3");
    os_free(a);
}

TEST(StrPercent, DecodeTableAndBounds)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"a%2Fb", "a/b"}, {"a%2fb", "a/b"}, {"100%zz", "100zz"}, {"abc%4", "abc"},
        {"abc%", "abc"},  {"x%4zq", "xq"},  {"a+b", "a+b"},      {"", ""},
    };
    for (auto &c : cases) {
        char out[32];
        EXPECT_EQ(str_unescape_url_args(c.in, out, sizeof(out)), 0);
        EXPECT_STREQ(out, c.out) << c.in;
    }
    log_capture cap;
    char small[6] = "xxxxx";
    EXPECT_EQ(str_escape_url_args("a b c", small, sizeof(small)), -1);
    EXPECT_STREQ(small, "");
    EXPECT_TRUE(cap.has("rlen<=bsize"));
    EXPECT_EQ(str_unescape_url_args("abcdef", small, sizeof(small)), -1);
    EXPECT_TRUE(cap.has("len<=bsize"));
}

TEST(StrUnescape, CEscapes)
{
    struct {
        const char *in;
        const char *out;
        int len; // with the NUL
    } cases[] = {
        {"a\\tb", "a\tb", 4},
        {"\\101", "A", 2},
        {"\\x41", "A", 2},
        {"\\u41\\U42", "AB", 3},
        {"\\a\\b\\f\\n\\r\\v\\e", "\a\b\f\n\r\v\x1b", 8},
        {"\\\\\\\"\\'\\?", "\\\"'?", 5},
        {"\\1012", "A2", 3},    // three octal digits at most
        {"ab\\", "ab\\", 4},    // a trailing backslash stands for itself
        {"\\x", "\0", 2},       // no digits: value 0
    };
    for (auto &c : cases) {
        char out[32];
        int n = 0;
        str_unescape_cstr_buf(c.in, out, sizeof(out), &n);
        EXPECT_EQ(n, c.len) << c.in;
        EXPECT_EQ(memcmp(out, c.out, (size_t)n), 0) << c.in;
    }
    // python3's own decoder agrees on the ordinary escapes.
    std::string py = run("python3 -c \"import codecs,sys;"
                         "sys.stdout.buffer.write(codecs.decode(r'x\\ty\\101\\x42\\n\\\\\\\\z','unicode_escape').encode('latin-1'))\"");
    char out[32];
    str_unescape_cstr_buf("x\\ty\\101\\x42\\n\\\\z", out, sizeof(out), nullptr);
    EXPECT_EQ(std::string(out), py);

    // Long hex runs wrap without signed overflow and never read as the end.
    const char *p = "\\xffffffffffffffffffff41";
    int v = str_unescape_get_chr(&p);
    EXPECT_GE(v, 0);
    EXPECT_EQ(v & 0xff, 0x41);
    EXPECT_EQ(*p, '\0');
}

TEST(StrUnescape, UnknownEscapesAndBounds)
{
    {
        log_capture cap;
        char out[8];
        str_unescape_cstr_buf("\\q", out, sizeof(out), nullptr);
        EXPECT_STREQ(out, "q");
        EXPECT_TRUE(cap.has("unknown escape sequence: '\\q'"));
        str_unescape_cstr_buf("\\\x01", out, sizeof(out), nullptr);
        EXPECT_TRUE(cap.has("unknown escape sequence: '\\x1'"));
    }
    {
        log_capture cap;
        char out[4] = "zz";
        int n = 0;
        str_unescape_cstr_buf("abcd", out, sizeof(out), &n);
        EXPECT_STREQ(out, "");
        EXPECT_EQ(n, 1);
        EXPECT_TRUE(cap.has("blen=4 error: too small"));
    }
    int n = 0;
    EXPECT_EQ(str_unescape_cstr("", &n), nullptr);
    char *s = str_unescape_cstr_unquote("\\\"a b\\\"");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "a b");
    os_free(s);

    std::string big(9000, 'a');
    big += "\\n";
    std::vector<char> buf(big.begin(), big.end());
    buf.push_back('\0');
    str_unescape_cstr_inplace(buf.data(), &n);
    EXPECT_EQ(n, 9002);
    EXPECT_EQ(buf[9000], '\n');

    struct {
        const char *in;
        int val;
        int used;
    } oct[] = {{"101", 65, 3}, {"777", 63, 2}, {"n", 10, 1}, {"\\", '\\', 1}, {"q", '\\', 0}, {"08", 0, 1}};
    for (auto &c : oct) {
        const char *p = c.in;
        EXPECT_EQ(str_unescape_chr_oct(&p), c.val) << c.in;
        EXPECT_EQ(p - c.in, c.used) << c.in;
    }
}

TEST(StrEscape, JsonRoundTripsThroughPython)
{
    char out[64];
    str_escape_json("a\"b\x01", out, sizeof(out));
    EXPECT_STREQ(out, "a\\\"b\\u0001");
    std::string all;
    for (int c = 1; c < 0x80; c++)
        all.push_back((char)c);
    char *e = str_escape_json_alloc(all.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ((int)strlen(e) + 1, str_escape_json_imp(all.c_str(), all.size(), nullptr, 0));
    // Hand the escaped text to python through a file to avoid shell quoting.
    char path[] = "/tmp/zk_json_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, e, strlen(e)), (ssize_t)strlen(e));
    close(fd);
    std::string py = run(std::string("python3 -c \"import json,sys;"
                                     "sys.stdout.write(json.loads('\\\"'+open('") +
                         path + "').read()+'\\\"'))\"");
    unlink(path);
    EXPECT_EQ(py, all);
    os_free(e);

    char *empty = str_escape_json_alloc(nullptr);
    EXPECT_STREQ(empty, "");
    os_free(empty);
}

TEST(StrEscape, BoundedEscapesStopAtFirstOverflow)
{
    log_capture cap;
    char out[8];
    str_escape_json("abc\"def\"", out, sizeof(out));
    EXPECT_STREQ(out, "");
    EXPECT_EQ(cap.count("need_size="), 1u);
    EXPECT_EQ(str_escape_json_imp("ab", 2, out, 3), 3);
    EXPECT_EQ(str_escape_json_imp("abc", 3, out, 3), -1);
    EXPECT_STREQ(out, "");

    str_escape_tab_buf("a\tbcdefg", out, sizeof(out));
    EXPECT_STREQ(out, "");
    str_escape_tab_buf("a\tb", out, sizeof(out));
    EXPECT_STREQ(out, "a\\tb");
}

TEST(StrEscape, TabSizesWhatItWrites)
{
    std::string in = "x";
    for (int c = 0x01; c < 0x20; c++)
        in.push_back((char)c);
    in += "\\y";
    int need = str_escape_tab_imp(in.c_str(), in.size(), nullptr, 0);
    char *e = str_escape_tab(in.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ((int)strlen(e) + 1, need);
    // 31 control bytes, each two characters, plus x, the doubled backslash, y.
    EXPECT_EQ(strlen(e), 1u + 31 * 2 + 2 + 1);
    EXPECT_EQ(std::string(e).substr(0, 5), "x\\\x01\\\x02");
    os_free(e);
    char out[64];
    EXPECT_STREQ(str_escape_tab_buf("a\\b\nc\rd", out, sizeof(out)), "a\\\\b\\nc\\rd");

    EXPECT_STREQ(str_escape_tab_zz_buf("a\0bc\0\0", 16, out, sizeof(out)), "a\\0bc\\0\\0");
    EXPECT_STREQ(str_escape_tab_zz_buf("\0\0", 16, out, sizeof(out)), "\\0\\0");
    log_capture cap;
    EXPECT_STREQ(str_escape_tab_zz_buf("abc\0de", 6, out, sizeof(out)), "\\0\\0");
    EXPECT_TRUE(cap.has("[abc] error: not zz end"));
}

TEST(StrEscape, Csv)
{
    char out[16];
    EXPECT_STREQ(str_escape_csv("a,b", out, sizeof(out)), "\"a,b\"");
    EXPECT_STREQ(str_escape_csv("ab", out, sizeof(out)), "ab");
    EXPECT_STREQ(str_escape_csv("a\"b", out, sizeof(out)), "a\\\"b");
    EXPECT_STREQ(str_escape_csv("", out, sizeof(out)), "");
    {
        log_capture cap;
        strcpy(out, "keep");
        str_escape_csv("a,b", out, 5); // needs 4 + 2
        EXPECT_STREQ(out, "keep");
        EXPECT_TRUE(cap.has("dsize >= (nsize + 2)"));
    }
    char *a = str_escape_csv_alloc("x,\ny");
    EXPECT_STREQ(a, "\"x,\\ny\"");
    os_free(a);
}
