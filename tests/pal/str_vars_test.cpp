// Variable expansion (python3 os.path.expandvars as the reference where the
// rules agree) and memory streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/string/mem_stream.h"
#include "libpal/string/str_vars.h"
#include "liblog/log2.h"
#include "test_util.h"

namespace {

using zk_test::log_capture;
using zk_test::run;

// A lookup over a fixed table that records every name asked for.
struct table {
    std::map<std::string, std::string> vars;
    std::vector<std::string> asked;
};

char *table_get(const char *name, void *ctx)
{
    table *t = (table *)ctx;
    t->asked.push_back(name);
    auto it = t->vars.find(name);
    return it == t->vars.end() ? nullptr : os_strdup(it->second.c_str());
}

std::string take(char *s)
{
    std::string r = s ? s : "(null)";
    os_free(s);
    return r;
}

struct env_home {
    std::string old;
    bool had;
    env_home()
    {
        const char *h = getenv("HOME");
        had = h != nullptr;
        if (h)
            old = h;
        setenv("HOME", "/root", 1);
        unsetenv("ZK_TEST_UNSET");
    }
    ~env_home()
    {
        if (had)
            setenv("HOME", old.c_str(), 1);
        else
            unsetenv("HOME");
    }
};

} // namespace

TEST(StrVars, DollarReferences)
{
    table t;
    t.vars = {{"HOME", "/root"}, {"HOME is", "X"}, {"ABC", "abc"}, {"A", "1"}, {"B", "2"}};
    struct {
        const char *in, *out;
    } cases[] = {
        {"${HOME}/x", "/root/x"},
        {"$HOME/x", "/root/x"},
        {"a$HOME-1", "a/root-1"},
        {"$HOME is", "X"},       // blanks belong to a bare name
        {"$$HOME", "/root"},     // the first '$' yields nothing
        {"$A$B", "12"},
        {"$-x", "-x"},           // "$" before an ending character is dropped
        {"a$", "a"},
        {"${}", ""},
        {"$AB{C}", "abc"},       // a bare name continues inside braces
        {"${A}:${B}", "1:2"},
        {"plain text", "plain text"},
        {"", ""},
    };
    for (auto &c : cases)
        EXPECT_EQ(take(str_expand_vars_imp(c.in, table_get, &t)), c.out) << c.in;
}

TEST(StrVars, FailedLookupsAndSyntax)
{
    env_home h;
    {
        log_capture cap;
        EXPECT_EQ(take(str_expand_env("$ZK_TEST_UNSET/x")), "${ZK_TEST_UNSET}/x");
        EXPECT_TRUE(cap.has("[$ZK_TEST_UNSET/x] var=[ZK_TEST_UNSET] get_failed"));
    }
    {
        log_capture cap;
        EXPECT_EQ(take(str_expand_env("${HOME")), "${HOME");
        EXPECT_TRUE(cap.has("[${HOME] syntax error"));
    }
    // Where the rules agree, python3 os.path.expandvars gives the same.
    const char *agree[] = {"${HOME}/x", "$HOME/x", "a$HOME-1"};
    for (const char *s : agree) {
        std::string py = run(std::string("HOME=/root python3 -c \"import os,sys;sys.stdout.write(os.path.expandvars(sys.argv[1]))\" '") + s + "'");
        EXPECT_EQ(take(str_expand_env(s)), py) << s;
    }
    char out[8];
    EXPECT_STREQ(str_expand_env_buf("$HOME/x", out, sizeof(out)), "/root/x");
    log_capture cap;
    EXPECT_STREQ(str_expand_env_buf("$HOME/xy", out, sizeof(out)), "");
}

TEST(StrVars, WildAndPercent)
{
    env_home h;
    EXPECT_EQ(take(str_expand_vars_wild("/var/log/app_${DATE}.log")), "/var/log/app_?*.log");
    EXPECT_EQ(take(str_expand_vars_wild("app_$DATE.log")), "app_?*"); // bare names run through '.'
    char out[32];
    EXPECT_STREQ(str_expand_vars_wild_buf("${A}-${B}", out, sizeof(out)), "?*-?*");

    table t;
    t.vars = {{"A", "1"}};
    struct {
        const char *in, *out;
    } cases[] = {
        {"%A%/x", "1/x"}, {"100%%", "100"}, {"%NOPE%", "%NOPE%"}, {"a%B", "a%B"}, {"%A%%A%", "11"}, {"%", "%"},
    };
    for (auto &c : cases)
        EXPECT_EQ(take(str_expand_pct_vars_imp(c.in, table_get, &t)), c.out) << c.in;
    EXPECT_EQ(take(str_expand_env_pct("%HOME%/x")), "/root/x");
    EXPECT_STREQ(str_expand_env_pct_buf("100%%", out, sizeof(out)), "100");
}

// A "name" longer than the 4095-character work buffer is plain text: it is
// never cut, overflowed or looked up.
TEST(StrVars, OverlongNamesStayLiteral)
{
    table t;
    std::string max(4095, 'n');
    t.vars[max] = "V";
    EXPECT_EQ(take(str_expand_vars_imp(("$" + max + "/x").c_str(), table_get, &t)), "V/x");
    EXPECT_EQ(take(str_expand_vars_imp(("${" + max + "}").c_str(), table_get, &t)), "V");
    EXPECT_EQ(take(str_expand_pct_vars_imp(("%" + max + "%").c_str(), table_get, &t)), "V");

    std::string big(5000, 'b');
    t.asked.clear();
    EXPECT_EQ(take(str_expand_vars_imp(("$" + big + "/x").c_str(), table_get, &t)), "$" + big + "/x");
    EXPECT_EQ(take(str_expand_vars_imp(("a${" + big + "}z").c_str(), table_get, &t)), "a${" + big + "}z");
    EXPECT_EQ(take(str_expand_pct_vars_imp(("%" + big + "%").c_str(), table_get, &t)), "%" + big + "%");
    EXPECT_TRUE(t.asked.empty());
}

TEST(MemStream, ReadStream)
{
    mem_rstream_t *s = mem_rstream_new("abcd", 4);
    ASSERT_NE(s, nullptr);
    char out[16];
    EXPECT_EQ(mem_rstream_read(s, out, 10), 4u);
    EXPECT_EQ(memcmp(out, "abcd", 4), 0);
    EXPECT_EQ(mem_rstream_read(s, out, 10), 0u);

    mem_buf_t b;
    mem_buf_init(&b, 16);
    mem_buf_append(&b, "xyz", 3);
    mem_rstream_set_bbuf(s, &b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(mem_rstream_read(s, out, 2), 2u);
    EXPECT_EQ(mem_rstream_read(s, out + 2, 2), 1u);
    EXPECT_EQ(memcmp(out, "xyz", 3), 0);
    mem_rstream_free(s);

    s = mem_rstream_new(nullptr, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(mem_rstream_read(s, out, 1), 0u);
    mem_rstream_free(s);
}

TEST(MemStream, WriteStream)
{
    mem_wstream_t *w = mem_wstream_new();
    ASSERT_NE(w, nullptr);
    EXPECT_GE(w->buf.cap, 4096u);
    char *out = (char *)1;
    EXPECT_EQ(mem_wstream_detach(w, &out), 0u); // nothing written
    EXPECT_EQ(out, nullptr);

    std::string big(10000, 'q');
    EXPECT_EQ(mem_wstream_write(w, "hello ", 6), 6);
    EXPECT_EQ(mem_wstream_write(w, big.data(), big.size()), (int64_t)big.size());
    EXPECT_EQ(mem_wstream_detach(w, &out), 6 + big.size());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), "hello " + big);
    os_free(out);
    EXPECT_EQ(w->buf.len, 0u);

    EXPECT_EQ(mem_wstream_write(w, "ab", 2), 2);
    mem_wstream_reset(w);
    EXPECT_EQ(mem_wstream_write(w, "c", 1), 1);
    EXPECT_EQ(mem_wstream_detach(w, &out), 1u);
    EXPECT_STREQ(out, "c");
    os_free(out);
    mem_wstream_free(w);
}
