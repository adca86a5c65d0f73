// Glob matching against python3 fnmatch, shell quoting round-tripped through
// /bin/sh, command-line splitting and joining against python3's
// subprocess.list2cmdline, and the name checks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/string/str_glob.h"
#include "liblog/log2.h"
#include "test_util.h"

namespace {

using zk_test::log_capture;
using zk_test::run;

// Writes text to a temporary file, so python can read it without any shell
// quoting in between. Returns the file name.
std::string to_file(const std::string &text)
{
    char path[] = "/tmp/zk_glob_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    if (write(fd, text.data(), text.size()) != (ssize_t)text.size())
        path[0] = '\0';
    close(fd);
    return path;
}

// Texts without '\n' joined by '\n', for handing lists to python.
std::string join_nl(const std::vector<std::string> &v)
{
    std::string s;
    for (auto &x : v)
        s += x + "\n";
    return s;
}

} // namespace

TEST(StrGlob, KnownAnswers)
{
    struct {
        const char *pat, *text;
        int nocase, want;
    } cases[] = {
        {"a*b?c", "axxbyc", 0, 1}, {"a*b?c", "abc", 0, 0},  {"*.log", "x.log", 0, 1}, {"*.log", "x.log.1", 0, 0},
        {"[!0-9]x", "ax", 0, 1},   {"[!0-9]x", "5x", 0, 0}, {"[a-]x", "-x", 0, 1},    {"[A-Z]1", "b1", 0, 0},
        {"[A-Z]1", "b1", 1, 1},    {"[ab", "[ab", 0, 1},    {"[ab", "a", 0, 0},       {"a\\*b", "a*b", 0, 1},
        {"a\\*b", "axb", 0, 0},    {"ab\\", "ab\\", 0, 1},  {"ABC", "abc", 1, 1},     {"ABC", "abc", 0, 0},
        {"?", "", 0, 0},           {"[a]", "", 0, 0},       {"*", "", 0, 1},          {"", "", 0, 1},
        {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0, 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(pl_glob_match(c.pat, c.text, c.nocase, 0), c.want) << c.pat << " ~ " << c.text;

    EXPECT_EQ(pl_glob_match_any("x.bak", "*.log|*.bak"), 1);
    EXPECT_EQ(pl_glob_match_any("x.txt", "*.log|*.bak"), 0);
    EXPECT_EQ(pl_glob_match_any("", "*.log||x"), 1); // an empty item matches the empty text
    EXPECT_EQ(pl_glob_match_any_nocase("X.LOG", "*.log"), 1);
    EXPECT_EQ(pl_glob_match_any("X.LOG", "*.log"), 0);
}

// python3 fnmatch.fnmatchcase has the same rules for '*', '?' and classes
// (no backslash escape there, so none is used here).
TEST(StrGlob, MatchesFnmatch)
{
    std::vector<std::string> pats = {"*",      "?",     "a*",     "*b",      "a?c",    "[abc]*", "[!abc]*", "[a-c]?",
                                     "[]]x",   "[!]]x", "[a-]*",  "*[0-9]",  "[z-a]x", "*.*",    "[ab",     "a[",
                                     "**a**",  "?*?",   "[^a]x",  "*a*b*c*", "[[]x",   "x[-]y",  "[!-]z",   "a*a"};
    std::vector<std::string> texts = {"",    "a",  "b",   "abc", "ab",  "]x",  "-x",   "x9",   "[ab", "a[",
                                      "cab", "ax", "a.b", "^x",  "xay", "x-y", "zz",   "aa",   "[x", "aXbYc",
                                      "z",   "-z", "xz",  "aba"};
    std::string pf = to_file(join_nl(pats)), tf = to_file(join_nl(texts));
    ASSERT_FALSE(pf.empty());
    ASSERT_FALSE(tf.empty());
    std::string out = run("python3 -c \"import fnmatch\n"
                          "P=open('" + pf + "').read().split('\\n')[:-1]\n"
                          "T=open('" + tf + "').read().split('\\n')[:-1]\n"
                          "print(''.join('1' if fnmatch.fnmatchcase(t,p) else '0' for p in P for t in T))\"");
    unlink(pf.c_str());
    unlink(tf.c_str());
    ASSERT_EQ(out.size(), pats.size() * texts.size() + 1);
    size_t k = 0;
    for (auto &p : pats)
        for (auto &t : texts) {
            EXPECT_EQ(pl_glob_match(p.c_str(), t.c_str(), 0, 0), out[k] - '0') << "[" << p << "] ~ [" << t << "]";
            k++;
        }
}

TEST(StrGlob, DebugLines)
{
    log_capture cap;
    EXPECT_EQ(pl_glob_match("a", "b", 0, 1), 0);
    EXPECT_TRUE(cap.has("d=[a] c=[b] back_pat=0 return false"));
    EXPECT_EQ(pl_glob_match("a?", "a", 0, 1), 0);
    EXPECT_TRUE(cap.has("Wildcard: anything but nul"));
    EXPECT_EQ(pl_glob_match("a[x]", "a", 0, 1), 0);
    EXPECT_TRUE(cap.has("Character class: No possible match"));
    EXPECT_EQ(pl_glob_match("*x", "ab", 0, 1), 0);
    // After a '*' a match can only fail at the end of the text, so c is NUL
    // there and "%c" ends the formatted text early.
    EXPECT_TRUE(cap.has("d=[x] c=["));
    size_t n = log_capture::lines().size();
    EXPECT_EQ(pl_glob_match("a", "b", 0, 0), 0);
    EXPECT_EQ(log_capture::lines().size(), n);
}

TEST(StrQuote, IfNeeded)
{
    struct {
        char *(*fn)(const char *, char *, size_t);
        const char *in, *out;
    } cases[] = {
        {str_quote_dq, "a b", "\"a b\""},     {str_quote_dq, "\"a b\"", "\"a b\""}, {str_quote_dq, "", "\"\""},
        {str_quote_dq, nullptr, "\"\""},      {str_quote_dq, "ab", "ab"},           {str_quote_dq, "a;b", "\"a;b\""},
        {str_quote_sq, "a\tb", "'a\tb'"},     {str_quote_sq, "", "''"},             {str_quote_dq_comment, "a#b", "\"a#b\""},
        {str_quote_dq_comment, "a\tb", "a\tb"},
    };
    for (auto &c : cases) {
        char out[32];
        EXPECT_STREQ(c.fn(c.in, out, sizeof(out)), c.out) << (c.in ? c.in : "(null)");
    }
    log_capture cap;
    char small[4];
    EXPECT_STREQ(str_quote_dq("a b", small, sizeof(small)), "");
}

// Every quoted word must come back byte for byte from /bin/sh.
TEST(StrQuote, ShellRoundTrip)
{
    std::vector<std::string> words = {"",     "it's",  "''",     "a b",   "$HOME", "`id`", "\\", "a\nb",  "!x",
                                      "*",    "'",     "'''a'",  "\"q\"", "%x%",  "~",    "a;b", "plain", "x&y",
                                      "$(x)", "a\tb",  "-n",     "#c",    "é"};
    for (auto &w : words) {
        char q[256];
        char *end = str_shell_quote(w.c_str(), q, sizeof(q));
        ASSERT_NE(end, nullptr) << w;
        EXPECT_EQ(end, q + strlen(q)); // points at the end of the output
        EXPECT_EQ(run(std::string("printf '%s' ") + q), w) << q;

        char sq[256], dq[256];
        str_quote_sq_shell(w.c_str(), sq, sizeof(sq));
        str_quote_dq_shell(w.c_str(), dq, sizeof(dq));
        EXPECT_EQ(run(std::string("printf '%s' ") + sq), w) << sq;
        EXPECT_EQ(run(std::string("printf '%s' ") + dq), w) << dq;
    }
    char q[32];
    str_shell_quote("it's", q, sizeof(q));
    EXPECT_STREQ(q, "'it'\\''s'");
    str_shell_quote("''", q, sizeof(q));
    EXPECT_STREQ(q, "\"''\"");
    str_shell_quote("", q, sizeof(q));
    EXPECT_STREQ(q, "''");
    EXPECT_STREQ(str_quote_sq_shell("a/b.c-d_e", q, sizeof(q)), "a/b.c-d_e"); // left bare

    // 'it' + \' + 's' + NUL needs 10 bytes.
    EXPECT_NE(str_shell_quote("it's", q, 10), nullptr);
    EXPECT_EQ(str_shell_quote("it's", q, 9), nullptr);
    EXPECT_STREQ(q, "");
    EXPECT_EQ(str_shell_quote("", q, 2), nullptr);
}

namespace {

std::vector<std::string> parse(const char *line)
{
    int argc = 0, nchars = 0;
    str_parse_cmdline(line, nullptr, nullptr, &argc, &nchars);
    std::vector<char *> argv((size_t)argc);
    std::vector<char> buf((size_t)nchars);
    int argc2 = 0, nchars2 = 0;
    str_parse_cmdline(line, argv.data(), buf.data(), &argc2, &nchars2);
    EXPECT_EQ(argc2, argc);
    EXPECT_EQ(nchars2, nchars);
    EXPECT_EQ(argv[(size_t)argc - 1], nullptr);
    std::vector<std::string> v;
    for (int i = 0; i + 1 < argc; i++)
        v.push_back(argv[(size_t)i]);
    return v;
}

using words = std::vector<std::string>;

// One line of python3 subprocess.list2cmdline per word list.
std::string list2cmdline(const std::vector<words> &lists)
{
    std::vector<std::string> files;
    std::string script = "python3 -c \"import subprocess\n";
    for (auto &l : lists) {
        files.push_back(to_file(join_nl(l)));
        script += "print(subprocess.list2cmdline(open('" + files.back() + "').read().split('\\n')[:-1]))\n";
    }
    script += "\"";
    std::string out = run(script);
    for (auto &f : files)
        unlink(f.c_str());
    return out;
}

} // namespace

TEST(StrCmdline, Parse)
{
    int argc = 0, nchars = 0;
    const char *line = "prog a \"b c\" d\\\"e";
    str_parse_cmdline(line, nullptr, nullptr, &argc, &nchars);
    EXPECT_EQ(argc, 5);
    EXPECT_EQ(nchars, 5 + 2 + 4 + 4);
    EXPECT_EQ(parse(line), (words{"prog", "a", "b c", "d\"e"}));

    struct {
        const char *line;
        words want;
    } cases[] = {
        {"", {""}},
        {"  ls  -l ", {"ls", "-l"}},
        {"\"my prog\" x", {"my prog", "x"}},
        {"p\\q x\\y", {"p\\q", "x\\y"}},          // no backslash rule in the program name
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},       // even run: half the backslashes, quote toggles
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},         // odd run: half, then a literal quote
        {"p \"a\"\"b\"", {"p", "a\"b"}},           // a doubled quote inside quotes
        {"p 'a b'", {"p", "a b"}},                 // single quotes quote too
        {"p \"a b' c", {"p", "a b", "c"}},        // one state for both kinds
        {"p \"unterminated", {"p", "unterminated"}},
        {"p\ta\t\tb", {"p", "a", "b"}},
    };
    for (auto &c : cases)
        EXPECT_EQ(parse(c.line), c.want) << c.line;
}

// python3's subprocess.list2cmdline writes lines that the splitter reads back
// into the same words (words without single quotes, program name plain).
TEST(StrCmdline, ReadsList2cmdline)
{
    std::vector<words> lists = {
        {"prog", "a", "b c", "d\"e"},
        {"prog", "", "x"},
        {"prog", "back\\slash", "tr ail\\", "q\\\"x", "two\\\\\"q"},
        {"prog", "tab\there", "a  b"},
    };
    std::string out = list2cmdline(lists);
    size_t b = 0;
    for (auto &l : lists) {
        size_t e = out.find('\n', b);
        ASSERT_NE(e, std::string::npos);
        std::string line = out.substr(b, e - b);
        b = e + 1;
        EXPECT_EQ(parse(line.c_str()), l) << line;
    }
}

TEST(StrCmdline, JoinMatchesList2cmdline)
{
    std::vector<words> lists = {{"a", "b c"}, {"x", "", "y"}, {"t\tab", "p"}, {"one"}};
    std::string out = list2cmdline(lists);
    size_t b = 0;
    for (auto &l : lists) {
        size_t e = out.find('\n', b);
        ASSERT_NE(e, std::string::npos);
        std::vector<char *> argv;
        for (auto &w : l)
            argv.push_back(const_cast<char *>(w.c_str()));
        char res[256];
        EXPECT_EQ(str_argv_join((int)argv.size(), argv.data(), res, sizeof(res)), 0);
        EXPECT_EQ(std::string(res), out.substr(b, e - b) + " ");
        b = e + 1;
    }
    char *argv[] = {(char *)"a", (char *)"b c"};
    char res[256];
    str_argv_join(2, argv, res, sizeof(res));
    EXPECT_STREQ(res, "a \"b c\" ");

    log_capture cap;
    char small[6];
    EXPECT_EQ(str_argv_join(2, argv, small, sizeof(small)), -1);
    EXPECT_STREQ(small, "");
    char *one[] = {(char *)"abcde"};
    EXPECT_EQ(str_argv_join(1, one, small, sizeof(small)), -1); // the word fits, its blank does not
    EXPECT_STREQ(small, "");
}

TEST(StrCmdline, FirstWord)
{
    char out[16];
    EXPECT_STREQ(str_cmd_get_first("ls -l", out, sizeof(out)), "ls");
    EXPECT_STREQ(str_cmd_get_first("ls", out, sizeof(out)), "ls");
    EXPECT_STREQ(str_cmd_get_first("abcdefgh x", out, 4), "abc");
    EXPECT_STREQ(str_cmd_get_first("abcdefgh", out, 4), "");

    char l1[] = "\"x y\" z";
    char *p = str_cmd_cut_first(l1);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(l1, "\"x y\"");
    EXPECT_STREQ(p + 1, "z");
    char l2[] = "ls -l";
    p = str_cmd_cut_first(l2);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(l2, "ls");
    EXPECT_STREQ(p + 1, "-l");
    char l3[] = "ls";
    EXPECT_EQ(str_cmd_cut_first(l3), nullptr);
    char l4[] = "\"x y";
    EXPECT_EQ(str_cmd_cut_first(l4), nullptr);
    char l5[] = "\"x y\"";
    EXPECT_EQ(str_cmd_cut_first(l5), nullptr);

    EXPECT_STREQ(str_cmd_replace_first("ls -l /", "/bin/ls", out, sizeof(out)), "/bin/ls -l /");
    EXPECT_STREQ(str_cmd_replace_first("ls", "dir", out, sizeof(out)), "dir");
    log_capture cap;
    EXPECT_STREQ(str_cmd_replace_first("ls -l /tmp/x", "/usr/bin/ls", out, sizeof(out)), "");
}

TEST(StrCheck, Names)
{
    EXPECT_EQ(str_is_digits("0123"), 1);
    EXPECT_EQ(str_is_digits(""), 1);
    EXPECT_EQ(str_is_digits("12a"), 0);
    EXPECT_EQ(str_is_ipv6_like("fe80::1"), 1);
    EXPECT_EQ(str_is_ipv6_like("h:80"), 0);
    for (char c : std::string(";/\\\"'?:@# ")) {
        std::string s = std::string("a") + c + "b";
        EXPECT_EQ(str_is_valid_name(s.c_str()), 0) << s;
        EXPECT_EQ(str_is_valid_url_key(s.c_str()), 0) << s;
    }
    EXPECT_EQ(str_is_valid_name("a-b_c.d"), 1);
    EXPECT_EQ(str_is_valid_name(nullptr), 1);
    EXPECT_EQ(str_is_valid_url_key("a=b"), 0);
    EXPECT_EQ(str_is_valid_url_key("a&b"), 0);
    EXPECT_EQ(str_is_valid_url_val("a=b"), 1);
    EXPECT_EQ(str_is_valid_url_val("a&b"), 0);

    struct {
        const char *text;
        int flags, ok;
        const char *reason;
    } cases[] = {
        {"a&b", 0x8, 0, "Can't Contain [&]"},
        {"", 0x1, 0, "Can't be empty"},
        {"a b", 0x2, 0, "Can't Contain [;/\\\"'?:@# ]"},
        {"a=b", 0x4, 0, "Can't Contain [&=]"},
        {"a[1]", 0x10, 0, "Can't Contain [[]]"},
        {"a=b", 0x8 | 0x10, 1, ""},
        {"", 0x2, 1, ""},
    };
    for (auto &c : cases) {
        char reason[4096] = "";
        EXPECT_EQ(str_check_chars(c.text, c.flags, reason), c.ok) << c.text;
        EXPECT_STREQ(reason, c.reason) << c.text;
    }
}
