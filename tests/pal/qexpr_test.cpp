// The rule language: parsing and its error texts, the operator table,
// comparisons and searches, filtering in both modes, commands, dumps and
// their fingerprint.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/qexpr/qexpr.h"
#include "test_util.h"

namespace {

struct rule_seen {
    int enabled;
    std::string name;
    int opcode;
    std::string value;
    int kind;
};

int collect(void *arg, int enabled, const char *name, int opcode, const char *value, int, int kind)
{
    static_cast<std::vector<rule_seen> *>(arg)->push_back({enabled, name, opcode, value, kind});
    return 0;
}

std::string parse_err(const std::string &text, std::vector<rule_seen> *out = nullptr)
{
    std::vector<rule_seen> tmp;
    char err[QEXPR_ERR_SIZE] = "";
    const int r = expr_parse(text.c_str(), collect, out ? out : &tmp, err);
    return r == 0 ? "" : err;
}

struct set_guard {
    qexpr_t *s = qexpr_new(nullptr);
    ~set_guard() { qexpr_free(s); }
};

std::string take(char *p)
{
    std::string s = p ? p : "(null)";
    os_free(p);
    return s;
}

// A record of the binary log as the filter sees it.
struct record {
    uint64_t level;
    const char *tag;
    const char *msg;
};

int fields(const char *name, value2_t *v, void *arg)
{
    const record *r = static_cast<const record *>(arg);
    if (strcmp(name, "level") == 0) {
        v->type = QEXPR_VT_U8;
        v->v.u64 = r->level;
    } else if (strcmp(name, "tag") == 0) {
        v->type = QEXPR_VT_TEXT;
        v->v.str = r->tag;
    } else if (strcmp(name, "msg") == 0) {
        v->type = QEXPR_VT_TEXT;
        v->v.str = r->msg;
    } else {
        return -1;
    }
    return 0;
}

void write_text(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    fputs(text.c_str(), f);
    fclose(f);
}

int drops(qexpr_t *s, record r) { return qexpr_filter_drop(s, fields, &r); }

TEST(Qexpr, ParsingAndErrorTexts)
{
    std::vector<rule_seen> rules;
    EXPECT_EQ(parse_err("level>=4; tag find vfs", &rules), "");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].name, "level");
    EXPECT_EQ(rules[0].opcode, QEXPR_OP_GE);
    EXPECT_EQ(rules[0].value, "4");
    EXPECT_EQ(rules[1].name, "tag");
    EXPECT_EQ(rules[1].opcode, QEXPR_OP_FIND);
    EXPECT_EQ(rules[1].value, "vfs");

    rules.clear();
    EXPECT_EQ(parse_err("tag != net", &rules), "");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].opcode, 3);

    rules.clear();
    EXPECT_EQ(parse_err("~ tag == net\n!level < 3 # c\n@rule_mode and\n'x\ny' msg glob \"a b|c*\"", &rules), "");
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0].enabled, 0);
    EXPECT_EQ(rules[1].kind, QEXPR_KIND_NOT);
    EXPECT_EQ(rules[2].kind, QEXPR_KIND_CMD);
    EXPECT_EQ(rules[2].value, "and");
    EXPECT_EQ(rules[3].value, "a b|c*");

    const struct {
        const char *text, *err;
    } bad[] = {
        {"tag!=net", "1:0 mode=7 Incomplete expression error"},
        {"tag", "1:0 mode=5 Incomplete expression error"},
        {"1abc == x", "1:1 [1-0x31] error: Var must start with letter or underscore"},
        {"tag ~= x", "1:5 [~-0x7e] syntax error=3"},
        {"a == b\n\ntag =? x", "3:6 [?-0x3f] syntax error=4"},
        {"tag\t== x", "1:4 [\t-0x 9] syntax error=2"},
        {"~ 1x == y", "1:3 [1-0x31] error:  ban_cmd character cannot appear"},
        {"tag ==\nx", "1:7 [\n-0x a] syntax error=4"},
        {"tag == \nx", "1:8 [\n-0x a] syntax error=5"},
        {"tag == x y", "1:10 [y-0x79] syntax error=6"},
        {"tag like x", "1:0 opcode=[like] Unsupported"},
        {"tag == x\n@rule_mode", "2:0 mode=5 Incomplete expression error"},
    };
    for (const auto &b : bad)
        EXPECT_EQ(parse_err(b.text), b.err) << b.text;

    // Over-long names, values and operators are refused, not cut.
    EXPECT_EQ(parse_err(std::string(255, 'n') + " == x"), "");
    EXPECT_NE(parse_err(std::string(256, 'n') + " == x"), "");
    EXPECT_EQ(parse_err("n == " + std::string(255, 'v')), "");
    EXPECT_NE(parse_err("n == " + std::string(256, 'v')), "");
    EXPECT_NE(parse_err("n " + std::string(64, '=') + " x"), "");
}

TEST(Qexpr, OperatorTable)
{
    const std::map<std::string, int> codes = {
        {"findhex", 0}, {"!findhex", 1}, {"==", 2}, {"!=", 3}, {"<", 6}, {">", 7}, {"<=", 10},
        {">=", 11}, {"find", 14}, {"!find", 15}, {"gfind", 18}, {"!gfind", 19}, {"startswith", 22},
        {"!startswith", 23}, {"endswith", 26}, {"!endswith", 27}, {"glob", 30}, {"!glob", 31},
        {"match", 34}, {"!match", 35}};
    for (const auto &[name, code] : codes) {
        EXPECT_EQ(expr_opcode_get(name.c_str()), code);
        EXPECT_EQ(expr_opcode_name(code), name);
    }
    EXPECT_EQ(expr_opcode_get("=~"), -1);
}

TEST(Qexpr, TextComparisons)
{
    const struct {
        const char *a, *b;
        int op, nocase, want;
    } rows[] = {
        {"abc", "abc", 2, 0, 1},       {"abc", "ABC", 2, 0, 0},     {"abc", "ABC", 2, 1, 1},
        {"abc", "abd", 3, 0, 1},       {"abc", "abd", 6, 0, 1},     {"abd", "abc", 7, 0, 1},
        {"abc", "abc", 10, 0, 1},      {"abc", "abc", 11, 0, 1},    {"abc", "abd", 11, 0, 0},
        {"a vfs b", "vfs", 14, 0, 1},  {"a VFS b", "vfs", 14, 1, 1}, {"a vfs b", "vfs", 15, 0, 0},
        {"avfs", "vfs", 18, 0, 0},     {"a vfs", "vfs", 18, 0, 1},  {"hello", "he", 22, 0, 1},
        {"hello", "lo", 26, 0, 1},     {"hello", "lo", 27, 0, 0},   {"main.c", "*.h|*.c", 30, 0, 1},
        {"MAIN.C", "*.c", 30, 1, 1},   {"abc123", "^[a-c]+[0-9]+$", 34, 0, 1},
        {"ABC", "abc", 35, 1, 0},      {"ABC", "41?43", 0, 0, 1},   {"AxC", "41?43", 0, 0, 1},
        {"ABC", "4", 0, 0, 0},         {"ABC", "4142", 1, 0, 0},    {"x", "y", 40, 0, 0},
    };
    for (const auto &r : rows)
        EXPECT_EQ(expr_operate_str(r.a, r.b, r.op, r.nocase, 0), r.want) << r.a << " " << r.op << " " << r.b;
}

TEST(Qexpr, Searches)
{
    const char *hay = "xxabyy";
    EXPECT_EQ(static_cast<const char *>(qs_search_str(hay, 6, "ab")), hay + 2);
    EXPECT_EQ(qs_search_str(hay, 6, ""), nullptr);
    EXPECT_EQ(qs_search_str(hay, 2, "xxa"), nullptr);
    // The last window fails: nothing past the haystack is read (a fenced
    // heap copy makes the sanitizer build catch a stray read).
    char *fenced = static_cast<char *>(malloc(4));
    memcpy(fenced, "abcd", 4);
    EXPECT_EQ(qs_search(fenced, 4, "cx", 2), nullptr);
    EXPECT_EQ(static_cast<const char *>(qs_search(fenced, 4, "cd", 2)), fenced + 2);
    free(fenced);

    const char *aaab = "AAAB";
    EXPECT_EQ(static_cast<const char *>(expr_find_hex(aaab, 4, "41?42")), aaab + 1);
    EXPECT_EQ(mem_search_mask("abc", 3, "ab", 2, "_"), nullptr); // mask shorter than the needle
    EXPECT_NE(mem_search("abc", 3, "bc", 2), nullptr);
}

TEST(Qexpr, NumericValues)
{
    qexpr_rule r{};
    r.value = const_cast<char *>("0x104");
    r.number = 0x104;
    value2_t v{};
    v.type = QEXPR_VT_U8;
    v.v.u64 = 4;
    EXPECT_EQ(expr_operate(&v, &r, QEXPR_OP_EQ), 1); // cut to 8 bits
    v.type = QEXPR_VT_U16;
    EXPECT_EQ(expr_operate(&v, &r, QEXPR_OP_LT), 1);
    v.v.u64 = 0x0403;
    r.value = const_cast<char *>("0304");
    EXPECT_EQ(expr_operate(&v, &r, QEXPR_OP_FINDHEX), 1); // little-endian bytes
    r.value = const_cast<char *>("03");
    v.v.u64 = 1030;
    EXPECT_EQ(expr_operate(&v, &r, QEXPR_OP_FIND + 2), 1); // "1030" holds "03"
}

TEST(Qexpr, FilteringWithoutContext)
{
    set_guard g;
    char err[QEXPR_ERR_SIZE];
    // An empty set drops everything; "and" alone keeps everything.
    EXPECT_EQ(drops(g.s, {3, "vfs", ""}), 1);
    ASSERT_EQ(qexpr_load_str(g.s, "@rule_mode and", err), 0) << err;
    EXPECT_EQ(drops(g.s, {3, "vfs", ""}), 0);
    EXPECT_EQ(qexpr_has_rules(g.s), 0);

    // The mode stays as it was unless the text sets it.
    ASSERT_EQ(qexpr_load_str(g.s, "tag == vfs", err), 0) << err;
    EXPECT_EQ(qexpr_rule_mode(g.s), QEXPR_MODE_AND);
    ASSERT_EQ(qexpr_load_str(g.s, "@rule_mode or; tag == vfs", err), 0) << err;
    EXPECT_EQ(qexpr_rule_mode(g.s), QEXPR_MODE_OR);
    EXPECT_EQ(drops(g.s, {3, "VFS", ""}), 0);
    EXPECT_EQ(drops(g.s, {3, "net", ""}), 1);

    ASSERT_EQ(qexpr_load_str(g.s, "@rule_mode and\nlevel <= 4\n!tag == bsv", err), 0) << err;
    EXPECT_EQ(drops(g.s, {3, "bsv", ""}), 1);
    EXPECT_EQ(drops(g.s, {6, "net", ""}), 1);
    EXPECT_EQ(drops(g.s, {3, "net", ""}), 0);

    // A disabled rule is kept and shown, never evaluated.
    ASSERT_EQ(qexpr_load_str(g.s, "~ tag == net", err), 0) << err;
    EXPECT_EQ(qexpr_has_rules(g.s), 0);
    EXPECT_NE(take(qexpr_dump_main_rules(g.s)).find("~  tag == net\n"), std::string::npos);

    ASSERT_EQ(qexpr_load_str(g.s, "msg findhex 41?43", err), 0) << err;
    EXPECT_EQ(drops(g.s, {3, "x", "zzABCzz"}), 0);
    EXPECT_EQ(drops(g.s, {3, "x", "AxC"}), 0);
    EXPECT_EQ(drops(g.s, {3, "x", "ACB"}), 1);
    ASSERT_EQ(qexpr_load_str(g.s, "msg findhex 4", err), 0) << err;
    EXPECT_EQ(drops(g.s, {3, "x", "ABC"}), 1);

    // A field that can't be read gives no outcome.
    ASSERT_EQ(qexpr_load_str(g.s, "nosuch == 1", err), 0) << err;
    fd_capture cap;
    EXPECT_EQ(drops(g.s, {3, "x", ""}), 0);
    EXPECT_NE(cap.stop().find("var_proc get_arg1 [nosuch] failed"), std::string::npos);
}

TEST(Qexpr, FailedLoadsKeepTheActiveRules)
{
    set_guard g;
    char err[QEXPR_ERR_SIZE];
    ASSERT_EQ(qexpr_load_str(g.s, "tag == vfs", err), 0);
    const std::string before = take(qexpr_dump_rules_str(g.s));
    const struct {
        const char *text, *err;
    } bad[] = {
        {"tag == ", "1:0 mode=8 Incomplete expression error"},
        {"@rule_mode xor", "rule_mode = xor error, [or and]"},
        {"@frobnicate 1", "unsupprot cmd [frobnicate] error"},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(qexpr_load_str(g.s, b.text, err), -1) << b.text;
        EXPECT_STREQ(err, b.err);
        EXPECT_EQ(take(qexpr_dump_rules_str(g.s)), before);
    }
    EXPECT_EQ(qexpr_add_rules(g.s, 1, "tag", "=~", "x", QEXPR_KIND_PLAIN), -1);
}

TEST(Qexpr, IncludeOneLevel)
{
    zk_test::temp_dir dir;
    const std::string inc = dir.path + "/inc.rules", inc2 = dir.path + "/inc2.rules";
    write_text(inc, "level < 5\n@rule_mode and\n");
    write_text(inc2, "@include " + inc + "\n");
    set_guard g;
    char err[QEXPR_ERR_SIZE];
    ASSERT_EQ(qexpr_load_str(g.s, ("tag == vfs\n@include " + inc).c_str(), err), 0) << err;
    EXPECT_EQ(qexpr_rule_mode(g.s), QEXPR_MODE_AND);
    const std::string dump = take(qexpr_dump_rules_str(g.s));
    EXPECT_NE(dump.find("#include-------------------\n level < 5\n@ rule_mode and\n"), std::string::npos) << dump;
    EXPECT_EQ(drops(g.s, {3, "vfs", ""}), 0);
    EXPECT_EQ(drops(g.s, {6, "vfs", ""}), 1);

    EXPECT_EQ(qexpr_load_str(g.s, ("@include " + inc2).c_str(), err), -1);
    EXPECT_STREQ(err, "Only one level of include is supported");
    EXPECT_EQ(qexpr_load_str(g.s, ("@include " + dir.path + "/none").c_str(), err), -1);
    EXPECT_NE(std::string(err).find("No such file or directory"), std::string::npos) << err;
}

TEST(Qexpr, DumpsAndFingerprint)
{
    set_guard g;
    char err[QEXPR_ERR_SIZE];
    const std::string empty = take(qexpr_dump_rules_str(g.s));
    EXPECT_EQ(empty, "# rule_mode=or\n#main----------------------\n#include-------------------\n"
                     "#end-----------------------\n");
    EXPECT_EQ(empty.size(), 99u);
    EXPECT_EQ(qexpr_rules_crc(g.s), 0xfdffe9dcc2a864b7ull);

    ASSERT_EQ(qexpr_load_str(g.s, "level>=4; tag find vfs", err), 0);
    EXPECT_EQ(take(qexpr_dump_main_rules(g.s)),
              "# rule_mode=or\n#main----------------------\n level >= 4\n tag find vfs\n#end-----------------------\n");
    EXPECT_EQ(qexpr_rules_crc(g.s), 0xec12930bb062057eull);

    // Copies carry rules and mode; a dump parses back to the same rules.
    ASSERT_EQ(qexpr_load_str(g.s, "@rule_mode and\n!msg find \"a b\"\n~ tag glob x*", err), 0) << err;
    set_guard copy;
    ASSERT_EQ(qexpr_copy(copy.s, g.s), 0);
    EXPECT_EQ(qexpr_rules_crc(copy.s), qexpr_rules_crc(g.s));
    const std::string dump = take(qexpr_dump_rules_str(g.s));
    set_guard back;
    ASSERT_EQ(qexpr_load_str(back.s, dump.c_str(), err), 0) << err << "\n" << dump;
    EXPECT_EQ(take(qexpr_dump_rules_str(back.s)), dump);

    EXPECT_EQ(take(expr_parse_dump("@include 'a b'; x == \"1 2\"", err)), "@ include \"a b\"\n x == \"1 2\"\n");
}

int count_rules(int, int, const char *, int, const char *, int, void *arg, const qexpr_rule *)
{
    ++*static_cast<int *>(arg);
    return 0;
}

TEST(Qexpr, AddCommitWalkAndVariables)
{
    setenv("QEXPR_TEST_VAR", "vfs", 1);
    set_guard g;
    char err[QEXPR_ERR_SIZE];
    ASSERT_EQ(qexpr_add_rules(g.s, 1, "tag", "==", "$QEXPR_TEST_VAR", QEXPR_KIND_PLAIN), 0);
    ASSERT_EQ(qexpr_add_rules(g.s, 1, "rule_mode", nullptr, "and", QEXPR_KIND_CMD), 0);
    ASSERT_EQ(qexpr_commit_main(g.s, err), 0) << err;
    int n = 0;
    qexpr_walk(g.s, count_rules, &n);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(qexpr_rule_mode(g.s), QEXPR_MODE_AND);
    EXPECT_EQ(drops(g.s, {1, "vfs", ""}), 0);
    EXPECT_EQ(drops(g.s, {1, "net", ""}), 1);
    // Single quotes keep a value from expansion; "today" is the local date.
    ASSERT_EQ(qexpr_load_str(g.s, "tag == '$QEXPR_TEST_VAR'\nmsg startswith ${today}", err), 0) << err;
    const std::string dump = take(qexpr_dump_main_rules(g.s));
    EXPECT_NE(dump.find(" tag == $QEXPR_TEST_VAR\n"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("${today}"), std::string::npos) << dump;
    unsetenv("QEXPR_TEST_VAR");
}

} // namespace
