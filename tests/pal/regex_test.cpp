// Regular-expression wrappers against grep -E and sed -E, and the
// auto-reset event.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/regex/pl_regex.h"
#include "libpal/utils/pl_pcond.h"
#include "test_util.h"

namespace {

std::string quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string trimmed(std::string s)
{
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

// Runs every command in one shell and returns each one's output, trimmed.
std::vector<std::string> run_all(const std::vector<std::string> &cmds)
{
    std::string script;
    for (auto &c : cmds)
        script += "(" + c + "); echo @@@; ";
    std::string out = zk_test::run("export LC_ALL=C; " + script);
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t i = 0; i < cmds.size(); ++i) {
        size_t end = out.find("@@@\n", at);
        if (end == std::string::npos)
            break;
        parts.push_back(trimmed(out.substr(at, end - at)));
        at = end + 4;
    }
    return parts;
}

std::string line_of(const char *t) { return "printf '%s\\n' " + quoted(t); }

// Patterns that POSIX ERE and GNU grep read alike.
const char *kPatterns[] = {"^a.c$", "b+", "^$", "(ab|cd)+e", "[[:digit:]]{2,}", "x*", "^[^ ]+ [a-z]+$", "c$", "A", "q"};
const char *kTexts[] = {"abc", "", "abbbc", "xxcdabe", "id 42", "hello world", "ABC", "a c"};

// The texts, one a line, in a file for grep.
struct TextsFile {
    zk_test::temp_dir dir{"zk_regex"};
    std::string path = dir.path + "/texts";
    std::vector<size_t> line_start;
    TextsFile()
    {
        FILE *f = fopen(path.c_str(), "w");
        size_t at = 0;
        for (const char *t : kTexts) {
            line_start.push_back(at);
            fprintf(f, "%s\n", t);
            at += strlen(t) + 1;
        }
        fclose(f);
    }
};

// grep -n over all texts: the 0-based indexes of the matching lines.
std::vector<int> matching_lines(const std::string &out)
{
    std::vector<int> lines;
    size_t at = 0;
    while (at < out.size()) {
        size_t nl = out.find('\n', at);
        if (nl == std::string::npos)
            nl = out.size();
        if (nl > at)
            lines.push_back(std::stoi(out.substr(at, nl - at)) - 1);
        at = nl + 1;
    }
    return lines;
}

TEST(Regex, MatchesAgainstGrep)
{
    TextsFile tf;
    std::vector<std::string> cmds;
    for (const char *p : kPatterns) {
        cmds.push_back("grep -nE " + quoted(p) + " " + tf.path + " | cut -d: -f1");
        cmds.push_back("grep -niE " + quoted(p) + " " + tf.path + " | cut -d: -f1");
    }
    auto outs = run_all(cmds);
    ASSERT_EQ(outs.size(), cmds.size());
    size_t i = 0;
    for (const char *p : kPatterns) {
        for (bool icase : {false, true}) {
            std::vector<int> want = matching_lines(outs[i++]);
            for (size_t t = 0; t < std::size(kTexts); ++t) {
                bool m = std::find(want.begin(), want.end(), (int)t) != want.end();
                EXPECT_EQ(icase ? regmatch_icase(kTexts[t], p) : regmatch(kTexts[t], p), m ? 1 : 0)
                    << kTexts[t] << (icase ? " ~i " : " ~ ") << p;
            }
        }
    }
    EXPECT_EQ(regmatch("abc", "^a.c$"), 1);
    EXPECT_EQ(regmatch_icase("ABC", "abc"), 1);
    EXPECT_EQ(regmatch("ABC", "abc"), 0);
}

TEST(Regex, BadPatternsAndFirstMatch)
{
    zk_test::log_capture cap;
    EXPECT_EQ(regmatch("abc", "("), 0);
    EXPECT_TRUE(cap.has("regcomp"));
    cns_reg_t r = cns_reg("abc", "(");
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.start, -1);
    EXPECT_TRUE(cap.has("regex '('"));

    // Stacked repetitions (undefined in POSIX) and patterns whose repeated
    // groups would make an enormous compiled form are refused before the
    // library spends its time on them.
    cap.lines().clear();
    EXPECT_EQ(regmatch("xxx", "x*++++++++++++++++++++++++++++++"), 0);
    EXPECT_TRUE(cap.has("regcomp"));
    r = cns_reg("xxx", "x**");
    EXPECT_EQ(r.failed, 1);
    EXPECT_TRUE(cap.has("Invalid preceding regular expression: regex 'x**'"));
    r = cns_reg("aaa", "(((a{99}){99}){99})");
    EXPECT_EQ(r.failed, 1);
    EXPECT_TRUE(cap.has("Regular expression too big: regex '(((a{99}){99}){99})'"));
    char *same = str_regex_replace("aaa", "a{2}{3}", "b");
    EXPECT_STREQ(same, "aaa");
    os_free(same);
    // Repetitions that are fine keep working, brackets and escapes included.
    cap.lines().clear();
    for (const char *ok : {"a{2,3}", "(ab){2}c?", "[*+?]+", "\\*+", "[[:alpha:]]{1,40}", "((a+)+b)+", "a|b*|c{3,}"})
        EXPECT_EQ(cns_reg("xaab*+?bababc", ok).failed, 0) << ok;
    EXPECT_TRUE(cap.lines().empty());
    EXPECT_EQ(regmatch("xaaay", "a{2,3}"), 1);
    EXPECT_EQ(regmatch("a*+b", "\\*+"), 1);
    EXPECT_EQ(regmatch("+", "[*+?]+"), 1);

    r = cns_reg("xxabyy", "ab");
    EXPECT_EQ(r.failed, 0);
    EXPECT_EQ(r.start, 2);
    EXPECT_EQ(r.end, 4);
    cap.lines().clear();
    r = cns_reg("xxabyy", "zz");
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.end, -1);
    EXPECT_TRUE(cap.lines().empty()); // no match is silent
    r = cns_reg("abc", "x*");
    EXPECT_EQ(r.failed, 0);
    EXPECT_EQ(r.end, 0);

    // the first match's offset and length as grep -nbo reports them
    TextsFile tf;
    const char *firsts[] = {"b+", "[0-9]+", "o w", "c$", "(ab|cd)+e"};
    std::vector<std::string> cmds;
    for (const char *p : firsts)
        cmds.push_back("grep -nboE " + quoted(p) + " " + tf.path);
    auto outs = run_all(cmds);
    ASSERT_EQ(outs.size(), cmds.size());
    for (size_t i = 0; i < std::size(firsts); ++i) {
        const char *p = firsts[i];
        std::map<int, std::pair<int, int>> first; // line -> start, end within the line
        std::string out = outs[i] + "\n";
        for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
            std::string l = out.substr(at, nl - at);
            size_t c1 = l.find(':'), c2 = l.find(':', c1 + 1);
            if (c1 == std::string::npos || c2 == std::string::npos)
                continue;
            int line = std::stoi(l.substr(0, c1)) - 1;
            int start = std::stoi(l.substr(c1 + 1, c2 - c1 - 1)) - (int)tf.line_start[(size_t)line];
            first.emplace(line, std::make_pair(start, start + (int)(l.size() - c2 - 1)));
        }
        for (size_t t = 0; t < std::size(kTexts); ++t) {
            cns_reg_t m = cns_reg(kTexts[t], p);
            auto it = first.find((int)t);
            if (it == first.end()) {
                EXPECT_EQ(m.failed, 1) << kTexts[t] << " ~ " << p;
                continue;
            }
            EXPECT_EQ(m.failed, 0) << kTexts[t] << " ~ " << p;
            EXPECT_EQ(m.start, it->second.first) << kTexts[t] << " ~ " << p;
            EXPECT_EQ(m.end, it->second.second) << kTexts[t] << " ~ " << p;
        }
    }
}

// Replace-all gives what sed -E 's,P,R,g' gives, empty matches and anchors
// included, and always ends.
TEST(Regex, ReplaceAgainstSed)
{
    struct {
        const char *text, *pattern, *repl;
    } rows[] = {
        {"a-b-c", "-", "+"},
        {"aaa", "^a", "b"},
        {"abc", "x*", "-"},
        {"abc", "b*", "-"},
        {"", "x*", "-"},
        {"aaa", "a*", "X"},
        {"banana", "an", "AN"},
        {"foo bar", "[a-z]+", "w"},
        {"abc", "$", "!"},
        {"abc", "^", ">"},
        {"abcabc", "(ab|c)", "_"},
        {"one  two", " +", " "},
        {"xyz", "q", "r"},
        {"aaaa", "a", "aa"},
        {"hello", "l*", "L"},
        {"abc", "c$|^a", "#"},
        {"ab\tcd", "[[:space:]]", "."},
    };
    std::vector<std::string> cmds;
    for (auto &r : rows)
        cmds.push_back(line_of(r.text) + " | sed -E " + quoted(std::string("s,") + r.pattern + "," + r.repl + ",g"));
    auto want = run_all(cmds);
    ASSERT_EQ(want.size(), cmds.size());
    size_t i = 0;
    for (auto &r : rows) {
        char *got = str_regex_replace(r.text, r.pattern, r.repl);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::string(got), want[i++]) << r.text << " s/" << r.pattern << "/" << r.repl << "/g";
        os_free(got);
    }
    // A pattern equal to its replacement, or one that does not compile: a copy.
    zk_test::log_capture cap;
    for (auto [p, rep] : {std::pair{"^", "^"}, std::pair{"(", "x"}}) {
        char *got = str_regex_replace("abc", p, rep);
        EXPECT_STREQ(got, "abc");
        os_free(got);
    }
    EXPECT_EQ(str_regex_replace(nullptr, "a", "b"), nullptr);
    // A long text with an empty-matching pattern ends, one insertion per gap.
    std::string big(20000, 'z');
    char *got = str_regex_replace(big.c_str(), "y*", "-");
    EXPECT_EQ(strlen(got), 2 * big.size() + 1);
    os_free(got);
}

// ---- auto-reset event -------------------------------------------------------------

using steady = std::chrono::steady_clock;
long long ms_since(steady::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t0).count();
}

TEST(Pcond, TimeoutSignalAndReset)
{
    pcond_t *e = pcond_new();
    ASSERT_NE(e, nullptr);
    auto t0 = steady::now();
    EXPECT_EQ(pcond_wait(e, 100), -2);
    long long waited = ms_since(t0);
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 5000);

    EXPECT_EQ(pcond_signal(e), 0);
    t0 = steady::now();
    EXPECT_EQ(pcond_wait(e, 10000), 0); // already set: at once
    EXPECT_LT(ms_since(t0), 5000);
    EXPECT_EQ(pcond_wait(e, 20), -2); // it reset itself
    EXPECT_EQ(pcond_wait(e, 0), -2);

    pcond_signal(e);
    EXPECT_EQ(pcond_reset(e), 0);
    EXPECT_EQ(pcond_wait(e, 0), -2);
    pcond_free(e);
    pcond_free(nullptr);
}

// A waiter without a time limit wakes on a signal from another thread; one
// signal releases one of two waiters, the other times out.
TEST(Pcond, SignalFromAnotherThread)
{
    pcond_t *e = pcond_new();
    std::atomic<int> got{99};
    std::thread w([&] { got = pcond_wait(e, -1); });
    pcond_signal(e);
    w.join();
    EXPECT_EQ(got.load(), 0);

    std::atomic<int> zeros{0}, timeouts{0};
    std::atomic<int> started{0};
    auto waiter = [&] {
        started++;
        int r = pcond_wait(e, 300);
        (r == 0 ? zeros : timeouts)++;
    };
    std::thread a(waiter), b(waiter);
    while (started.load() < 2)
        std::this_thread::yield();
    pcond_signal(e);
    a.join();
    b.join();
    EXPECT_EQ(zeros.load(), 1);
    EXPECT_EQ(timeouts.load(), 1);
    pcond_free(e);
}

} // namespace
