// String tools: trimming, editing, searching and replacing, checked against
// python3 where it has the same operation.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_tools.h"
#include "liblog/log2.h"

namespace {

// Records every log line (level and formatted text) while alive.
struct LogCapture {
    struct Line {
        unsigned level;
        std::string text;
    };
    static std::vector<Line> &lines()
    {
        static std::vector<Line> v;
        return v;
    }
    static int hook(unsigned level, const char *, const char *, int, const char *, int, const char *fmt, va_list va)
    {
        char buf[8192];
        vsnprintf(buf, sizeof(buf), fmt, va);
        lines().push_back({level & 0xff, buf});
        return 0;
    }
    LogCapture()
    {
        lines().clear();
        log2_set_hook(nullptr, hook);
    }
    ~LogCapture() { log2_set_hook(nullptr, nullptr); }
    bool has(unsigned level, const std::string &text) const
    {
        for (auto &l : lines())
            if (l.level == level && l.text.find(text) != std::string::npos)
                return true;
        return false;
    }
};

std::string hex(const std::string &s)
{
    std::string out;
    char b[3];
    for (unsigned char c : s) {
        snprintf(b, sizeof(b), "%02x", c);
        out += b;
    }
    return out;
}

// Runs a python3 program and returns its standard output.
std::string run_python(const std::string &program)
{
    char path[] = "/tmp/str_tools_test_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    FILE *f = fdopen(fd, "w");
    fputs(program.c_str(), f);
    fclose(f);
    std::string cmd = std::string("python3 ") + path;
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    if (p) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    unlink(path);
    return out;
}

std::string trimmed(std::string s, char *(*fn)(char *))
{
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    return fn(buf.data());
}

} // namespace

TEST(StrTools, TrimAgreesWithPythonStrip)
{
    const std::vector<std::string> cases = {
        "", "   ", "x", "  a b  ", "\t\n\v\f\r x \r\n", "\x80 y \x80", " \xc2\xa0z\xc2\xa0 ", "\x7f q \x7f",
        "a\0b",
    };
    std::string prog = "for h in [";
    for (auto &c : cases)
        prog += "'" + hex(c) + "',";
    prog += "]:\n    print(bytes.fromhex(h).strip(b' \\t\\n\\v\\f\\r').hex())\n";
    std::string out = run_python(prog);
    ASSERT_FALSE(out.empty()) << "python3 not available";
    size_t pos = 0;
    for (auto &c : cases) {
        size_t nl = out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string want = out.substr(pos, nl - pos);
        pos = nl + 1;
        EXPECT_EQ(hex(trimmed(c, str_trim)), want) << "input " << hex(c);
    }
}

TEST(StrTools, TrimVariants)
{
    struct Case {
        const char *in;
        char *(*fn)(char *);
        const char *want;
    } cases[] = {
        {"\"\"x'", str_trim_quote, "x"},                  // all quotes at both ends, not one pair
        {"  \"'inner'\"  ", str_trim_all, "inner"},      // quoted twice with blanks around
        {" ' \" a \" ' ", str_trim_all, "a"},            // blanks between the quote layers
        {"'a\"", str_trim_all, "'a\""},                  // unbalanced quotes stay
        {"x \t\v\f\r\n", str_rtrim_blank, "x \t\v\f\r\n"}, // line ends stop it
        {"x \t\v\f", str_rtrim_blank, "x"},
        {"   ", str_trim, ""},
    };
    for (auto &c : cases)
        EXPECT_EQ(trimmed(c.in, c.fn), c.want) << c.in;

    char a[] = "//a//";
    EXPECT_STREQ(str_trim_chr(a, '/'), "a");
    char b[] = "/a//";
    EXPECT_STREQ(str_rtrim_chr(b, '/'), "/a");
    char c[] = "a.,;.";
    EXPECT_STREQ(str_rtrim_set(c, ".;,"), "a");
    char d[] = "\xe9x\xe9";
    EXPECT_STREQ(str_trim_chr(d, (char)0xe9), "\xe9x\xe9"); // never trims bytes >= 0x80
    char e[] = "12x21";
    EXPECT_STREQ(str_trim_imp(e, [](int ch) { return ch == '1' ? 1 : 0; }, '2'), "x");
    EXPECT_EQ(str_trim(nullptr), nullptr);
}

TEST(StrTools, DeleteAndEdit)
{
    char a[] = "a-b-c-";
    EXPECT_STREQ(str_delchar(a, '-'), "abc");
    char b[] = "a-b_c.d";
    EXPECT_STREQ(str_delchars(b, "-_."), "abcd");
    char c[] = "a.b.c";
    EXPECT_STREQ(str_rdelchar(c, '.'), "a.bc");
    char d[] = "//a///b/";
    EXPECT_STREQ(str_squeeze_chr(d, '/'), "/a/b/");

    struct Range {
        const char *in;
        size_t pos, n;
        const char *want;
    } ranges[] = {
        {"abcdef", 1, 2, "adef"}, {"abcdef", 4, 10, "abcd"}, {"abc", 3, 1, "abc"}, {"abc", 9, 1, "abc"},
        {"abc", 0, 0, "abc"},
    };
    for (auto &r : ranges) {
        std::string s = r.in;
        char out[16];
        EXPECT_STREQ(str_copy_del_range(out, r.in, r.pos, r.n), r.want);
        EXPECT_STREQ(str_del_range(s.data(), r.pos, r.n), r.want);
    }

    char e[] = "one two one";
    EXPECT_EQ(str_del_str(e, "one "), 1);
    EXPECT_STREQ(e, "two one");
    EXPECT_EQ(str_del_str(e, "xyz"), 0);
    EXPECT_EQ(str_del_str(e, ""), 0);
    char f[] = "file.tar.gz";
    EXPECT_STREQ(str_del_str_tail(f, ".gz"), "file.tar");
    EXPECT_STREQ(str_del_str_tail(f, ".gz"), "file.tar");

    char g[] = "[x]";
    EXPECT_STREQ(str_strip_enclosing(g, '[', ']'), "x");
    char h[] = "[x)";
    EXPECT_STREQ(str_strip_enclosing(h, '[', ']'), "[x)");
    char i[] = "ab";
    EXPECT_STREQ(str_strip_ends(i), "");

    char j[] = "Hello, World 1";
    EXPECT_STREQ(str_toupper(j), "HELLO, WORLD 1");
    EXPECT_STREQ(str_tolower(j), "hello, world 1");
    char k[] = "\xc3\x89t\xc3\xa9";
    EXPECT_STREQ(str_toupper(k), "\xc3\x89T\xc3\xa9"); // only ASCII letters change
    char l[] = "abcde";
    EXPECT_STREQ(str_reverse(l), "edcba");
    char m[] = "secret";
    str_wipe(m);
    for (char ch : m)
        EXPECT_EQ(ch, '\0');
    char n[] = "a.b.c.d";
    EXPECT_STREQ(str_replace_chr_n(n, 2, '.', '/'), "a/b/c.d");
    EXPECT_STREQ(str_replace_chr(n, '.', '/'), "a/b/c/d");
    uint32_t w[] = {'a', 0x4e2d, 'a', 0};
    str_replace_wchr(w, 'a', 'b');
    EXPECT_EQ(w[0], (uint32_t)'b');
    EXPECT_EQ(w[1], 0x4e2du);
    EXPECT_EQ(w[2], (uint32_t)'b');
    char o[] = "abc";
    EXPECT_STREQ(str_set_last_chr(o, 'z'), "abz");
    char p[] = "";
    EXPECT_STREQ(str_set_last_chr(p, 'z'), "");
}

TEST(StrTools, AddChrNotExistTail)
{
    struct Case {
        const char *in;
        size_t size;
        int ret;
        const char *want;
    } cases[] = {
        {"abc\n", 8, 0, "abc\n"}, // already ends with it
        {"", 8, 0, "\n"},
        {"abc", 8, 0, "abc\n"},
        {"abcdefg", 8, 0, "abcdef\n"}, // full buffer: last character replaced
        {"a", 2, 0, "\n"},
    };
    for (auto &c : cases) {
        char buf[16] = {0};
        strcpy(buf, c.in);
        EXPECT_EQ(str_add_chr_not_exist_tail(buf, c.size, '\n'), c.ret) << c.in;
        EXPECT_STREQ(buf, c.want) << c.in;
    }
    // An unterminated buffer is treated as full and never read past.
    char raw[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(str_add_chr_not_exist_tail(raw, sizeof(raw), '\n'), 0);
    EXPECT_EQ(std::string(raw, 4), std::string("ab\n\0", 4));

    LogCapture log;
    char one[1] = {'x'};
    EXPECT_EQ(str_add_chr_not_exist_tail(one, 1, '\n'), -1);
    EXPECT_TRUE(log.has(LOG2_ERR, "len+1 <= slen || slen >= 2"));
    char empty1[1] = {'\0'};
    EXPECT_EQ(str_add_chr_not_exist_tail(empty1, 1, '\n'), -1); // no room for the character itself
    EXPECT_EQ(empty1[0], '\0');
}

TEST(StrTools, Prepend)
{
    char buf[8] = "def";
    EXPECT_EQ(str_prepend(buf, sizeof(buf), "abc"), 0);
    EXPECT_STREQ(buf, "abcdef");
    LogCapture log;
    EXPECT_EQ(str_prepend(buf, sizeof(buf), "xy"), -1); // 9 bytes needed
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(log.has(LOG2_ERR, "need_size=9"));
}

TEST(StrTools, PrefixSuffixAndEnclosure)
{
    struct Case {
        int (*fn)(const char *, const char *);
        const char *text, *arg;
        int want;
    } cases[] = {
        {str_start_with, "abc", "ab", 1},      {str_start_with, "abc", "", 1},
        {str_start_with, "abc", "Ab", 0},      {str_start_with, "ab", "abc", 0},
        {str_end_with, "abc", "bc", 1},        {str_end_with, "abc", "", 1},
        {str_end_with, "bc", "abc", 0},        {str_end_with, "abc", "BC", 0},
        {str_istart_with, "Hello World", "hello", 1},
        {str_istart_with, "Hello World", "hello world", 0}, // the blank stops the comparison
        {str_istart_with, "Hello", "HELLO!", 0},
        {str_istart_with, "x", "", 1},
        {str_iend_with, "file.TXT", ".txt", 1},
        {str_iend_with, "a b", " B", 0},        // blank in the compared part
        {str_iend_with, "txt", "a.txt", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(c.fn(c.text, c.arg), c.want) << c.text << " / " << c.arg;

    EXPECT_EQ(str_is_enclosed("[a]", '[', ']'), 1);
    EXPECT_EQ(str_is_enclosed("\"", '"', '"'), 0); // one character is not enclosed
    EXPECT_EQ(str_all_chr("---", '-'), 1);
    EXPECT_EQ(str_all_chr("", '-'), 0);
    EXPECT_EQ(str_all_chr("--+", '-'), 0);
}

TEST(StrTools, Search)
{
    const char *t = "Find the NEEDLE here, needle";
    EXPECT_EQ(str_istr(t, "needle"), t + 9);
    EXPECT_EQ(str_istr(t, "absent"), nullptr);
    const char *r = "abcabc";
    EXPECT_EQ(str_rstr(r, "bc"), r + 4);
    EXPECT_EQ(str_rstr(r, "abcabcd"), nullptr);

    // The first character of the set that occurs wins, not the earliest position.
    const char *p = "a/b\\c";
    EXPECT_EQ(str_find_any_chr(p, "\\/"), p + 3);
    EXPECT_EQ(str_find_any_chr(p, "/\\"), p + 1);
    EXPECT_EQ(str_find_any_chr(p, "xyz"), nullptr);
    EXPECT_EQ(str_rpbrk(p, "/\\"), p + 3);
    EXPECT_EQ(str_rpbrk(p, "q"), nullptr);
    EXPECT_EQ(str_count_chr("a,b,,c", ','), 3u);
    EXPECT_EQ(str_count_chars_in_set("a,b;c", ",;"), 2u);

    EXPECT_EQ(str_in_sep_list("tcps", "tcp|tcps|http|https|zkp|zkps", '|'), 0);
    EXPECT_EQ(str_in_sep_list("tc", "tcp|tcps|http|https|zkp|zkps", '|'), -1);
    EXPECT_EQ(str_in_sep_list("zkps", "tcp|tcps|http|https|zkp|zkps", '|'), 0);
    EXPECT_EQ(str_in_sep_list("", "a||b", '|'), 0);
    EXPECT_EQ(str_in_sep_list("TCP", "tcp", '|'), -1);

    const char *bom = "\xef\xbb\xbfhi";
    EXPECT_EQ(str_skip_utf8_bom(bom), bom + 3);
    EXPECT_STREQ(str_skip_utf8_bom("\xef\xbbhi"), "\xef\xbbhi");
}

TEST(StrTools, WholeWordsAgreeWithPythonRegex)
{
    struct Case {
        const char *text, *word;
    } cases[] = {
        {"a cat", "cat"}, {"concat", "cat"}, {"cats cat", "cat"}, {"cat", "cat"}, {"(cat)", "cat"},
        {"xa-a-a", "a-a"}, {"a_cat cat", "cat"}, {"1cat cat2 cat", "cat"}, {"", "cat"},
    };
    std::string prog = "import re\nfor t, w in [";
    for (auto &c : cases)
        prog += "(bytes.fromhex('" + hex(c.text) + "'), bytes.fromhex('" + hex(c.word) + "')),";
    prog += "]:\n    m = re.search(rb'(?<![A-Za-z0-9])' + re.escape(w) + rb'(?![A-Za-z0-9])', t)\n"
            "    print(m.start() if m else -1)\n";
    std::string out = run_python(prog);
    ASSERT_FALSE(out.empty()) << "python3 not available";
    size_t pos = 0;
    for (auto &c : cases) {
        size_t nl = out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        long want = atol(out.substr(pos, nl - pos).c_str());
        pos = nl + 1;
        const char *got = str_str_word(c.text, c.word);
        EXPECT_EQ(got ? got - c.text : -1, want) << c.text << " / " << c.word;
    }
    const char *s = "Concat the CAT";
    EXPECT_EQ(str_istr_word(s, "cat"), s + 11);
    EXPECT_EQ(str_str_word(s, "cat"), nullptr);
}

TEST(StrTools, ReplaceAgreesWithPython)
{
    struct Case {
        const char *text, *old, *nw;
        int max;
    } cases[] = {
        {"aaa", "aa", "b", 0}, {"a.b.c", ".", "::", 0}, {"a.b.c", ".", "", 1}, {"xyz", "q", "r", 0},
        {"abab", "ab", "abab", 0}, {"", "a", "b", 0}, {"abc", "abc", "", 0}, {"aaaa", "a", "bb", 3},
    };
    std::string prog = "for t, o, n, m in [";
    for (auto &c : cases)
        prog += "('" + std::string(c.text) + "','" + c.old + "','" + c.nw + "'," + std::to_string(c.max) + "),";
    prog += "]:\n    print('[' + t.replace(o, n, m if m else -1) + ']')\n";
    std::string out = run_python(prog);
    ASSERT_FALSE(out.empty()) << "python3 not available";
    size_t pos = 0;
    for (auto &c : cases) {
        size_t nl = out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string want = out.substr(pos + 1, nl - pos - 2);
        pos = nl + 1;
        char *got = str_replace_imp(c.text, c.old, c.nw, c.max, nullptr, 0);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got, want) << c.text;
        os_free(got);
        char buf[64];
        EXPECT_EQ(str_replace_imp(c.text, c.old, c.nw, c.max, buf, sizeof(buf)), buf);
        EXPECT_EQ(std::string(buf), want);
    }
}

TEST(StrTools, ReplaceEdges)
{
    // An empty old matches nothing: a copy comes back instead of an endless scan.
    char *r = str_replace("abc", "", "x");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "abc");
    os_free(r);

    char out[4];
    EXPECT_EQ(str_replace_buf("a.b", ".", "::", out, sizeof(out)), nullptr); // needs 5 bytes
    EXPECT_STREQ(out, "");
    EXPECT_EQ(str_replace_buf("a.b", ".", ":", out, sizeof(out)), out); // exactly 4
    EXPECT_STREQ(out, "a:b");
    EXPECT_EQ(str_replace(nullptr, "a", "b"), nullptr);
}

TEST(StrTools, AllocatingHelpers)
{
    char *a = str_dup_cat("ab", "cd");
    EXPECT_STREQ(a, "abcd");
    os_free(a);
    char *b = str_dup_cat("ab", nullptr);
    EXPECT_STREQ(b, "ab");
    os_free(b);
    EXPECT_EQ(str_dup_cat(nullptr, "x"), nullptr);
    char *c = str_dup_add_chr("ab", 'c');
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(memcmp(c, "abc", 4), 0);
    os_free(c);
    EXPECT_EQ(str_dup_add_chr("ab", '\0'), nullptr);
    EXPECT_EQ(str_dup_add_chr(nullptr, 'c'), nullptr);
}

TEST(StrTools, CmpShowDbgLogsEachDifference)
{
    LogCapture log;
    EXPECT_EQ(str_cmp_show_dbg("abcd", "abXd"), 0);
    EXPECT_TRUE(log.has(LOG2_ERR, "off=2 c=X"));
    EXPECT_EQ(LogCapture::lines().size(), 1u);
    LogCapture log2;
    str_cmp_show_dbg("abcd", "ab"); // b ends early: compared as NUL, never read past
    EXPECT_EQ(LogCapture::lines().size(), 2u);
}

TEST(StrToolsDeath, NullArgumentsAreHardAssertions)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(str_istr(nullptr, "a"), "pstr!=NULL");
    EXPECT_DEATH(str_rdelchar(nullptr, 'a'), "str!=NULL");
}
