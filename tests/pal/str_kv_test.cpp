// Key/value text, name lists, field cutters and typed field lists.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_kv.h"

TEST(SepVal, ScanInPlace)
{
    char line[] = "12\t4096\tname\textra";
    uint32_t a = 1;
    uint64_t b = 1;
    char *s = nullptr;
    EXPECT_EQ(str_scanf_sep_val(line, "\t", 0, "u32|u64|str", &a, &b, &s), 3);
    EXPECT_EQ(a, 12u);
    EXPECT_EQ(b, 4096u);
    EXPECT_STREQ(s, "name");
    EXPECT_TRUE(s >= line && s < line + sizeof line) << "str results point into the text";

    char two[] = "7\t8";
    a = b = 0;
    s = nullptr;
    EXPECT_EQ(str_scanf_sep_val(two, "\t", 0, "u32|u64|str", &a, &b, &s), 2);
    EXPECT_EQ(a, 7u);
    EXPECT_EQ(b, 8u);
    EXPECT_EQ(s, nullptr);

    // empty fields count; a field that is not a clean number stores 0
    char odd[] = "12x\t\tff\t-3";
    uint32_t x = 9, y = 9, h = 0;
    int i = 0;
    {
        fd_capture quiet;
        EXPECT_EQ(str_scanf_sep_val(odd, "\t", 0, "u32|u32|x32|int", &x, &y, &h, &i), 4);
    }
    EXPECT_EQ(x, 0u);
    EXPECT_EQ(y, 0u);
    EXPECT_EQ(h, 0xffu);
    EXPECT_EQ(i, -3);

    char esc[] = "a\\tb|c";
    char *e = nullptr, *f = nullptr;
    EXPECT_EQ(str_scanf_sep_val(esc, "|", 0, "estr|str", &e, &f), 2);
    EXPECT_STREQ(e, "a\tb");
    EXPECT_STREQ(f, "c");
}

TEST(SepVal, ScanCopy)
{
    const char *line = "5;x\\x41y;abc;ffffffffffffffff";
    uint32_t n = 0;
    uint64_t big = 0;
    char *e = nullptr, *s = nullptr;
    EXPECT_EQ(str_scanf_sep_val_dup(line, ";", 1, "u32|estr|str|x64", &n, sizeof n, &e, sizeof e, &s, sizeof s, &big,
                                    sizeof big),
              4);
    EXPECT_STREQ(line, "5;x\\x41y;abc;ffffffffffffffff");
    EXPECT_EQ(n, 5u);
    EXPECT_STREQ(e, "xAy");
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(big, UINT64_MAX);
    os_free(e);
    os_free(s);
}

TEST(SepVal, ScanFailures)
{
    char line[] = "12\t4096\tname";
    uint32_t a = 0;
    uint64_t b = 7;
    char *s = nullptr;
    fd_capture cap;
    EXPECT_EQ(str_scanf_sep_val(line, "\t", 0, "u32|u65|str", &a, &b, &s), -1);
    std::string log = cap.stop();
    EXPECT_EQ(a, 12u) << "fields before the failure stay stored";
    EXPECT_EQ(b, 7u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(log.find("invalid param [u65]"), std::string::npos) << log;

    char line2[] = "1\t2";
    errno = 0;
    EXPECT_EQ(str_scanf_sep_val(line2, "\t", 0, "u32|u32", &a, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(a, 1u);

    // sized: the variable must have the type's width
    char line3[] = "1\t2";
    uint64_t wide = 0;
    fd_capture cap2;
    EXPECT_EQ(str_scanf_sep_val(line3, "\t", 1, "u32|u32", &a, sizeof a, &wide, sizeof wide), -1);
    EXPECT_NE(cap2.stop().find("expr[vlen==sizeof(uint32_t)]: assert failed"), std::string::npos);
}

TEST(SepVal, Print)
{
    char out[64];
    EXPECT_EQ(str_sprintf_sep_val(out, sizeof out, "\t", "u32|str", 7u, "abc"), 2);
    EXPECT_STREQ(out, "7\tabc");
    EXPECT_EQ(str_sprintf_sep_val(out, sizeof out, ", ", "u64|x64|x32|int|str", 18446744073709551615ULL, 255ULL, 16u,
                                  -4, ""),
              5);
    EXPECT_STREQ(out, "18446744073709551615, ff, 10, -4, ");

    {
        fd_capture cap;
        errno = 0;
        EXPECT_EQ(str_sprintf_sep_val(out, sizeof out, "|", "int|estr|int", 1, "x", 2), -1);
        EXPECT_NE(cap.stop().find("invalid param [estr]"), std::string::npos);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_STREQ(out, "1");
    }
    // out too small: nothing half written is reported as success
    char small[6];
    fd_capture quiet;
    EXPECT_EQ(str_sprintf_sep_val(small, sizeof small, ",", "int|int|int", 11, 22, 33), -1);
    EXPECT_STREQ(small, "");
}

TEST(KvGet, Readers)
{
    char out[64];
    EXPECT_EQ(str_kv_get(" a = 1 &  b = 2 & c=3", "&", "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "2");
    EXPECT_EQ(str_kv_get("a=1&&b=x=y", "&", "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "x=y");
    strcpy(out, "untouched");
    EXPECT_EQ(str_kv_get("flag&a=1", "&", "a", out, sizeof out), -1);
    EXPECT_EQ(str_kv_get("flag&a=1", "&", "flag", out, sizeof out), -1);
    EXPECT_EQ(str_kv_get("a=1", "&", "b", out, sizeof out), -1);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(str_kv_get(nullptr, "&", "b", out, sizeof out), -1);

    EXPECT_EQ(str_kv_get_line("a=1\r\nb = two words \r\n", "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "two words");
    EXPECT_EQ(str_kv_get_imp("a:1;b:2", ";", ':', "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "2");
    EXPECT_EQ(str_kv_find_key("x;a=1; b = 2 ", ";", '=', "2", out, sizeof out), 0);
    EXPECT_STREQ(out, "b");
    EXPECT_EQ(str_kv_find_key("a=1", ";", '=', "3", out, sizeof out), -1);
    EXPECT_EQ(str_kv_get_url_arg("p=1&n=a%20b%3D", "n", out, sizeof out), 0);
    EXPECT_STREQ(out, "a b=");

    EXPECT_EQ(str_kv_get_line_bracket("x=1\nk = v[in[ner]] tail\n", "k", out, sizeof out), 0);
    EXPECT_STREQ(out, "in[ner]");
    EXPECT_EQ(str_kv_get_line_bracket("k=]v[\n", "k", out, sizeof out), -1);
    EXPECT_EQ(str_kv_get_line_bracket("k=v\n", "k", out, sizeof out), -1);
    char tiny[3];
    EXPECT_EQ(str_kv_get_line_bracket("k=[abc]\n", "k", tiny, sizeof tiny), -1);

    struct {
        const char *text, *value;
    } quoted[] = {{"k='v w'", "v w"}, {"k=\"v\"", "v"}, {"k=[v]", "v"}, {"k='v\"", "'v\""}, {"k='", "'"}};
    for (const auto &q : quoted) {
        EXPECT_EQ(str_kv_get_line_unquote(q.text, "k", out, sizeof out), 0);
        EXPECT_STREQ(out, q.value) << q.text;
    }

    // an item longer than 8191 characters ends the search
    std::string longitem = std::string(9000, 'x') + "=1&k=2";
    fd_capture cap;
    EXPECT_EQ(str_kv_get(longitem.c_str(), "&", "k", out, sizeof out), -1);
    EXPECT_NE(cap.stop().find("need_len=9003 req_len=8192 head=[xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx]"), std::string::npos);
}

TEST(KvSet, Modes)
{
    struct {
        const char *text, *seps;
        int mode;
        const char *key, *value, *result;
    } cases[] = {
        {"a=1;b=2", ";", 1, "b", "5", "a=1;b=5"},
        {"a=1;b=2", ";", 4, "a", "", "b=2"},
        {"a=1;b=2", ";", 2, "c", "3", "a=1;b=2;c=3"},
        {"a=1;b=2", ";", 2, "a", "9", "a=1;b=2"},
        {"a=1;b=2", ";", 3, "c", "3", "a=1;b=2"},
        {"a=1;b=2;a=3", ";", 1, "a", "0", "a=0;b=2;a=0"},
        {"ab=1;a", ";", 1, "a", "2", "ab=1;a;a=2"},
        {"", ";", 1, "c", "3", "c=3"},
        {"user=u\npasswd=p", "\n", 1, "passwd", "x/y==", "user=u\npasswd=x/y=="},
        {"a=1", ";", 4, "a", "", ""},
    };
    for (const auto &c : cases) {
        char text[64];
        strcpy(text, c.text);
        EXPECT_EQ(str_kv_set(text, sizeof text, c.seps, c.mode, c.key, c.value), 0) << c.text;
        EXPECT_STREQ(text, c.result) << c.text << " mode " << c.mode;
    }
    char text[12] = "a=1;b=2";
    fd_capture quiet;
    EXPECT_EQ(str_kv_set(text, sizeof text, ";", 1, "c", "33"), -1);
    EXPECT_STREQ(text, "a=1;b=2") << "a result that does not fit leaves the text as it was";
    EXPECT_EQ(str_kv_set(text, sizeof text, ";", 1, "c", "3"), 0); // exactly size-1 characters
    EXPECT_STREQ(text, "a=1;b=2;c=3");
    EXPECT_EQ(str_kv_set(text, sizeof text, ";", 7, "c", "1"), -1);
}

TEST(KvSet, AddUrlArg)
{
    char out[24] = "";
    str_kv_add_url_arg(out, sizeof out, "a", "x y");
    EXPECT_STREQ(out, "a=x%20y");
    str_kv_add_url_arg(out, sizeof out, "b", "1&");
    EXPECT_STREQ(out, "a=x%20y&b=1%26");
    fd_capture quiet;
    str_kv_add_url_arg(out, sizeof out, "c", "toolong");
    EXPECT_STREQ(out, "a=x%20y&b=1%26");
}

TEST(KvList, HasAddDel)
{
    EXPECT_EQ(str_list_has("a,b,,c", ",", "b"), 1);
    EXPECT_EQ(str_list_has("a,bb,c", ",", "b"), 0);
    EXPECT_EQ(str_list_has("a,,c", ",", ""), 0);
    EXPECT_EQ(str_list_has("a b|c", " |", "c"), 1);

    char list[8] = "";
    EXPECT_EQ(str_list_add(list, sizeof list, ",", "a"), 0);
    EXPECT_EQ(str_list_add(list, sizeof list, ",", "b"), 0);
    EXPECT_EQ(str_list_add(list, sizeof list, ",", "a"), 0);
    EXPECT_STREQ(list, "a,b");
    {
        fd_capture quiet;
        EXPECT_EQ(str_list_add(list, sizeof list, ",", "cccc"), -1);
    }
    EXPECT_STREQ(list, "a,b");
    EXPECT_EQ(str_list_add(list, sizeof list, ",", "ccc"), 0);
    EXPECT_STREQ(list, "a,b,ccc");

    struct {
        const char *list, *item, *result;
    } dels[] = {
        {"a,b,a", "a", "b"}, {"a", "a", ""}, {"a,a", "a", ""}, {"x,,y,x,z", "z", "x,y"}, {"a;b", "c", "a;b"},
    };
    for (const auto &d : dels) {
        char l[32];
        strcpy(l, d.list);
        EXPECT_EQ(str_list_del(l, sizeof l, strchr(d.list, ';') ? ";" : ",", d.item), 0);
        EXPECT_STREQ(l, d.result) << d.list;
    }

    EXPECT_EQ(str_sep_list_find("tcp | tcps |http", "|", "tcps"), 0);
    EXPECT_EQ(str_sep_list_find("tcp|tcps", "|", "tc"), -1);
    EXPECT_EQ(str_sep_list_find("", "|", ""), 0);
}

TEST(Fields, Cutters)
{
    char out[16];
    const char *text = "abc:de";
    const char *p = str_ctok(text, ":", out, sizeof out);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(p, text + 3);
    const char *exact = "abc";
    EXPECT_EQ(str_ctok(exact, ":", out, 4), exact + 3);
    EXPECT_STREQ(out, "abc");
    {
        fd_capture cap;
        EXPECT_EQ(str_ctok("abcd\nef:x", ":", out, 4), nullptr);
        EXPECT_NE(cap.stop().find("need_len=8 req_len=4 head=[abcdef:x]"), std::string::npos);
    }

    // python3: "a::b".split(":") == ['a', '', 'b']
    const char *fields[] = {"a", "", "b"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(str_get_sep_substr_buf("a::b", ":", i, out, sizeof out), nullptr);
        EXPECT_STREQ(out, fields[i]);
    }
    EXPECT_EQ(str_get_sep_substr_buf("a::b", ":", 3, out, sizeof out), nullptr);
    EXPECT_EQ(str_get_sep_substr_buf("a:bcdef", ":", 1, out, 5), nullptr);

    char k[8], v[8];
    EXPECT_EQ(str_get_key_and_val("k=v=w", "=", k, sizeof k, v, sizeof v), 0);
    EXPECT_STREQ(k, "k");
    EXPECT_STREQ(v, "v");
    EXPECT_EQ(str_get_key_and_val("flag", "=", k, sizeof k, v, sizeof v), -1);

    // python3: [t for t in "a::b".split(":") if t] == ['a', 'b']
    char t1[] = "a::b";
    EXPECT_STREQ(str_get_nth_tok(t1, ":", 0), "a");
    char t2[] = "a::b";
    EXPECT_STREQ(str_get_nth_tok(t2, ":", 1), "b");
    char t3[] = "a::b";
    EXPECT_EQ(str_get_nth_tok(t3, ":", 2), nullptr);
    char *d = str_get_nth_tok_dup("::x  y", ": ", 1);
    EXPECT_STREQ(d, "y");
    os_free(d);
    EXPECT_EQ(str_get_nth_tok_dup("x", ":", 1), nullptr);
}

TEST(Fields, Lines)
{
    const char *text = "eth0 up 10.0.0.1\neth1  down   10.0.0.2 \nlo up 127.0.0.1";
    char *v = str_lines_find_field(text, " ", "eth1", 0, 2);
    EXPECT_STREQ(v, "10.0.0.2");
    os_free(v);
    EXPECT_EQ(str_lines_find_field(text, " ", "eth1", 0, 5), nullptr);
    EXPECT_EQ(str_lines_find_field(text, " ", "wlan0", 0, 1), nullptr);
    v = str_lines_find_token(text, "127.", " ", 1);
    EXPECT_STREQ(v, "up");
    os_free(v);
    EXPECT_EQ(str_lines_find_token(text, "nothing", " ", 0), nullptr);
}

TEST(Fields, Substrings)
{
    char out[4];
    EXPECT_STREQ(str_substr_buf("hello", 1, 2, out, sizeof out), "el");
    EXPECT_STREQ(str_substr_buf("hello", 1, 10, out, sizeof out), "ell");
    EXPECT_STREQ(str_substr_buf("hello", 5, 1, out, sizeof out), "");
    char *s = str_substr("hello", 3, 10);
    EXPECT_STREQ(s, "lo");
    os_free(s);
    EXPECT_EQ(str_substr("hello", 5, 1), nullptr);

    char m[6];
    EXPECT_STREQ(str_get_sep_max_substr_buf("a,b,c,d", ',', m, sizeof m), "a,b");
    EXPECT_STREQ(str_get_sep_max_substr_buf("abcdefgh", ',', m, sizeof m), "abcde");
}

TEST(FieldsDeathTest, HardAssertions)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char out[4];
    EXPECT_DEATH(str_substr_buf("x", 0, 0, out, sizeof out), "length > 0");
    EXPECT_DEATH(str_substr(nullptr, 0, 1), "srcstr != NULL");
    EXPECT_DEATH(str_get_sep_max_substr_buf("x", ',', out, 1), "blen>=2");
}
