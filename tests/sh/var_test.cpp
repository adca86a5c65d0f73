// Variable registries: registering, lookups, listings and dumps (JSON read
// back with python3 json.loads), and the shell's completion hook.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/var/pl_var.h"
#include "libsh/libsh.h"
#include "liblog/log2.h"

namespace {

std::string take(char *p)
{
    std::string s = p ? p : "(null)";
    os_free(p);
    return s;
}

// A plain text variable over a static text.
std::string g_text;
int text_set(const char *value, char *)
{
    g_text = value;
    return 0;
}
int text_get(char *buf, int size)
{
    snprintf(buf, (size_t)size, "%s", g_text.c_str());
    return 0;
}

// The JSON text read by python3 json.loads; each object's members (desc,
// name, value, type and range when present) joined by 0x1f, objects by 0x1e.
std::string python_json_fields(const std::string &json)
{
    char path[] = "/tmp/zk_var_json_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    FILE *f = fdopen(fd, "w");
    fputs(json.c_str(), f);
    fclose(f);
    std::string cmd = std::string("python3 -c 'import json,sys\n"
                                  "a=json.load(open(sys.argv[1]))\n"
                                  "ks=(\"desc\",\"name\",\"value\",\"type\",\"range\")\n"
                                  "sys.stdout.write(\"\\x1e\".join(\"\\x1f\".join(o[k] for k in ks if k in o) for o in a))"
                                  "' ") + path + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
    unlink(path);
    return out;
}

int g_calls;
int count_call(uint64_t a, uint64_t b, uint64_t c)
{
    g_calls++;
    return (int)(a + b + c);
}
char *show_hello(const rvar_t *v) { return os_strdup(v->name); }

} // namespace

TEST(VarRegistry, LogLevelListingsAndDumps)
{
    dvar_mgr_t *m = dvar_mgr_new();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(take(dvar_mgr_list_str(m)), "");
    EXPECT_EQ(take(dvar_mgr_dump(m)), "");
    EXPECT_EQ(take(dvar_mgr_dump_json(m)), "[]");
    EXPECT_EQ(python_json_fields("[]"), "");

    log2_set_level_str(nullptr, "info");
    ASSERT_EQ(log2_dvar_reg(m), 0);
    // A second record of the same name is refused; the first stays.
    EXPECT_EQ(log2_dvar_reg(m), -1);
    EXPECT_EQ(m->arr.count, 1u);
    EXPECT_EQ(take(dvar_mgr_list_str(m)), "set log.level [verb|dbg|info|noti|warn|err|crit] -- Set log output level\n");
    EXPECT_EQ(take(dvar_mgr_dump(m)), "log.level=info\n");
    EXPECT_EQ(take(dvar_mgr_dump_json(m)),
              "[{\"desc\":\"Set log output level\",\"name\":\"log.level\",\"value\":\"info\",\"type\":\"enum\","
              "\"range\":\"verb/dbg/info/noti/warn/err/crit\"} ]");

    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(dvar_mgr_set(m, "log.level", "dbg", err), 0);
    EXPECT_EQ(log2_get_level(nullptr), (int)LOG2_DBG);
    EXPECT_EQ(dvar_mgr_set(m, "log.level", "bad", err), -1);
    EXPECT_STREQ(err, "invalid param [bad]\n");
    EXPECT_EQ(log2_get_level(nullptr), (int)LOG2_DBG);
    EXPECT_EQ(dvar_mgr_set(m, "x", "1", err), VERR_NOT_IMPLEMENTED);
    EXPECT_STREQ(err, "The set variable 'x' does not exist");
    log2_set_level_str(nullptr, "info");

    strv *r = dvar_mgr_get_range(m, "log.level");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->count, 7u);
    EXPECT_STREQ(r->items[0], "verb");
    EXPECT_STREQ(r->items[6], "crit");
    strv_free(r);
    EXPECT_EQ(dvar_mgr_get_range(m, "nosuch"), nullptr);
    EXPECT_EQ(dvar_mgr_exist(m, "log.level"), 1);
    EXPECT_EQ(dvar_mgr_exist(m, "LOG.LEVEL"), 0);
    dvar_mgr_free(m);
}

TEST(VarRegistry, DumpQuotingAndJsonEscaping)
{
    dvar_mgr_t *m = dvar_mgr_new();
    const dvar_t text_var = {"t", 0, "", "plain text", text_set, text_get, {}};
    const dvar_t enum_var = {"e", DVAR_TYPE_ENUM, "dbg|info|warn", "an \"enum\"\\ \x01\n", text_set, text_get, {}};
    ASSERT_EQ(dvar_mgr_add(m, &text_var), 0);
    ASSERT_EQ(dvar_mgr_add(m, &enum_var), 0);
    struct {
        std::string value, dump;
    } cases[] = {
        {"a b", "t='a b'\ne='a b'\n"},
        {"", "t=''\ne=''\n"},
        {"a;b", "t='a;b'\ne='a;b'\n"},
        {"a\tb", "t='a\tb'\ne='a\tb'\n"},
        {"plain", "t=plain\ne=plain\n"},
        {"'x y", "t='x y\ne='x y\n"}, // already starts with a quote
        {"say \"hi\" \\ \x1f\r\n", "t='say \"hi\" \\ \x1f\r\n'\ne='say \"hi\" \\ \x1f\r\n'\n"},
    };
    for (const auto &c : cases) {
        g_text = c.value;
        EXPECT_EQ(take(dvar_mgr_dump(m)), c.dump) << c.value;
        std::string json = take(dvar_mgr_dump_json(m));
        EXPECT_EQ(python_json_fields(json), "plain text\x1ft\x1f" + c.value + "\x1fstring\x1e" + "an \"enum\"\\ \x01\n\x1f" +
                                                "e\x1f" + c.value + "\x1f" + "enum\x1f" + "dbg/info/warn")
            << json;
    }
    dvar_mgr_free(m);
}

TEST(VarRegistry, BoundValuesAndRefusedRecords)
{
    dvar_mgr_t *m = dvar_mgr_new();
    static int port = 7;
    dvar_t bound = {"port", 0, "", "a port", nullptr, nullptr, {}};
    bound.value.type = VALUE_TYPE_INTP;
    bound.value.v.pint = &port;
    ASSERT_EQ(dvar_mgr_add(m, &bound), 0);
    char buf[DVAR_VALUE_SIZE];
    EXPECT_EQ(dvar_mgr_get(&bound, buf), 0);
    EXPECT_STREQ(buf, "7");
    char err[DVAR_ERR_SIZE] = "";
    EXPECT_EQ(dvar_mgr_set(m, "port", "9000", err), 0);
    EXPECT_EQ(port, 9000);
    EXPECT_EQ(dvar_mgr_set(m, "port", "x", err), -1);
    EXPECT_EQ(port, 9000);

    // Neither set procedure nor storage: refused, and a get says so.
    const dvar_t empty = {"none", 0, "", "", nullptr, nullptr, {}};
    EXPECT_EQ(dvar_mgr_add(m, &empty), -1);
    EXPECT_EQ(dvar_mgr_get(&empty, buf), -1);
    EXPECT_STREQ(buf, "error: not support");
    dvar_mgr_free(m);

    rvar_mgr_t *rm = rvar_mgr_new();
    const rvar_t no_show = {"v", "d", nullptr};
    const rvar_t hello = {"hello", "says its name", show_hello};
    EXPECT_EQ(rvar_mgr_add(rm, &no_show), -1);
    EXPECT_EQ(rvar_mgr_add(rm, &hello), 0);
    EXPECT_EQ(rvar_mgr_add(rm, &hello), -1);
    EXPECT_EQ(take(rvar_mgr_show(rm, "hello")), "hello");
    EXPECT_EQ(rvar_mgr_show(rm, "nosuch"), nullptr);
    EXPECT_EQ(take(rvar_mgr_list_str(rm)), "show hello -- says its name\n");
    rvar_mgr_free(rm);

    fvar_mgr_t *fm = fvar_mgr_new();
    const fvar_t f = {"sum", "adds", count_call};
    EXPECT_EQ(fvar_mgr_add(fm, &f), 0);
    g_calls = 0;
    EXPECT_EQ(fvar_mgr_call(fm, "sum", 1, 2, 3), 6);
    EXPECT_EQ(fvar_mgr_call(fm, "nosuch", 1, 2, 3), VERR_NOT_IMPLEMENTED);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(take(fvar_mgr_list_str(fm, "call")), "call sum -- adds\n");
    strv *names = fvar_mgr_names(fm);
    ASSERT_EQ(names->count, 1u);
    EXPECT_STREQ(names->items[0], "sum");
    strv_free(names);
    fvar_mgr_free(fm);
}

// ---- the shell's completion hook ----------------------------------------------------------

namespace {

int no_cmd(libsh_ctx_t *, int, char **) { return 0; }
const libsh_cmd_t k_rows[] = {
    {"mount", no_cmd, nullptr, "Mount the url as a dokan device"},
    {"umount", no_cmd, nullptr, "Unmount disk device"},
    {nullptr, nullptr, nullptr, nullptr},
};

struct offered {
    std::string word, help;
    uint32_t word_color, help_color;
    bool operator==(const offered &) const = default;
};

std::vector<offered> complete(const char *line)
{
    static ledit_completions list; // large: not on the stack
    memset(&list, 0, sizeof(list));
    libsh_complete_hook(line, &list);
    std::vector<offered> v;
    for (int i = 0; i < list.count; i++)
        v.push_back({list.words[i], list.helps[i], list.word_colors[i], list.help_colors[i]});
    return v;
}

std::vector<std::string> words(const char *line)
{
    std::vector<std::string> w;
    for (const auto &o : complete(line))
        w.push_back(o.word);
    return w;
}

} // namespace

TEST(ShellComplete, CommandNamesAndCompleters)
{
    libsh_init(nullptr);
    libsh_set_app_cmds(k_rows);
    using W = std::vector<std::string>;
    EXPECT_EQ(complete("mo"), (std::vector<offered>{{"mount", "Mount the url as a dokan device", 132, 7}}));
    EXPECT_EQ(words("sy"), (W{"system2", "system3"}));
    EXPECT_EQ(words("S"), (W{"show", "set", "source", "system2", "system3"}));
    // Colours: 132 for a table's first eight rows, 135 after; help 7 on
    // even rows, 8 on odd ones.
    auto s = complete("s");
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[0], (offered{"show", "Show the status of the program", 132, 7}));
    EXPECT_EQ(s[1], (offered{"set", "Set public options", 132, 8}));
    EXPECT_EQ(s[2], (offered{"source", "Exec commands from file", 135, 8}));
    EXPECT_EQ(s[3], (offered{"system2", "Execute a shell command", 135, 7}));
    EXPECT_EQ(complete("u")[0], (offered{"umount", "Unmount disk device", 132, 8}));
    EXPECT_EQ(complete("").size(), 18u);
    EXPECT_EQ(words("nosuch "), W{});
    EXPECT_EQ(words("pwd "), W{});

    EXPECT_EQ(words("show "), (W{"info", "memory", "llog", "dvar"}));
    EXPECT_EQ(complete("show m"), (std::vector<offered>{{"memory", "", 134, 0}}));
    EXPECT_EQ(words("show x"), W{});
    EXPECT_EQ(words("show info "), W{});
    EXPECT_EQ(words("call t"), (W{"thread_except", "tlog"}));
    // A single name with an empty prefix is offered twice, once without colour.
    EXPECT_EQ(complete("set "), (std::vector<offered>{{"log.level", "", 0, 0}, {"log.level", "", 134, 0}}));
    EXPECT_EQ(words("set log."), W{"log.level"});
    EXPECT_EQ(words("set log.level "), (W{"verb", "dbg", "info", "noti", "warn", "err", "crit"}));
    EXPECT_EQ(words("set log.level d"), W{"dbg"});
    EXPECT_EQ(words("set nosuch "), W{});
    EXPECT_EQ(words("set log.level dbg "), W{});
    libsh_exit();
}
