// The reentrant option parser against glibc's getopt_long.
#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_getopt.h"

namespace {
const pl_option k_long[] = {{"verbose", 0, nullptr, 'v'}, {"version", 0, nullptr, 'V'},
                            {"file", 1, nullptr, 'f'},    {"level", 2, nullptr, 'L'},
                            {nullptr, 0, nullptr, 0}};
const option k_glibc_long[] = {{"verbose", 0, nullptr, 'v'}, {"version", 0, nullptr, 'V'},
                               {"file", 1, nullptr, 'f'},    {"level", 2, nullptr, 'L'},
                               {nullptr, 0, nullptr, 0}};

enum kind { SHORT, LONG, LONG_ONLY };

// One parse as a trace of "ret:optarg:optind" items plus the final argv.
std::string trace_ours(std::vector<std::string> args, const char *optstring, kind k)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pl_getopt_t ctx;
    pl_getopt_init(&ctx);
    ctx.opterr = 0;
    std::string out;
    for (int i = 0; i < 20; ++i) {
        int c = k == LONG        ? pl_getopt_long(&ctx, (int)args.size(), argv.data(), optstring, k_long, nullptr)
                : k == LONG_ONLY ? pl_getopt_long_only(&ctx, (int)args.size(), argv.data(), optstring, k_long, nullptr)
                                 : pl_getopt(&ctx, (int)args.size(), argv.data(), optstring);
        out += std::to_string(c) + ":" + (ctx.optarg ? ctx.optarg : "-") + ":" + std::to_string(ctx.optind) + " ";
        if (c == -1)
            break;
    }
    for (size_t i = 0; i < args.size(); ++i)
        out += std::string(argv[i]) + ",";
    return out;
}

std::string trace_glibc(std::vector<std::string> args, const char *optstring, kind k)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0;
    opterr = 0;
    std::string out;
    for (int i = 0; i < 20; ++i) {
        int c = k == LONG        ? getopt_long((int)args.size(), argv.data(), optstring, k_glibc_long, nullptr)
                : k == LONG_ONLY ? getopt_long_only((int)args.size(), argv.data(), optstring, k_glibc_long, nullptr)
                                 : getopt((int)args.size(), argv.data(), optstring);
        out += std::to_string(c) + ":" + (optarg ? optarg : "-") + ":" + std::to_string(optind) + " ";
        if (c == -1)
            break;
    }
    for (size_t i = 0; i < args.size(); ++i)
        out += std::string(argv[i]) + ",";
    return out;
}
} // namespace

TEST(Getopt, AgreesWithGlibc)
{
    unsetenv("POSIXLY_CORRECT");
    struct {
        std::vector<std::string> args;
        const char *optstring;
        kind k;
    } rows[] = {
        {{"p", "-l", "-n", "5", "file"}, "ln:", SHORT},
        {{"p", "-ln5"}, "ln:", SHORT},
        {{"p", "a", "-l", "b"}, "ln:", SHORT},
        {{"p", "-l", "--", "-n"}, "ln:", SHORT},
        {{"p", "-n"}, "ln:", SHORT},
        {{"p", "-n"}, ":ln:", SHORT},
        {{"p", "-x", "a"}, "ln:", SHORT},
        {{"p", "a", "b", "-l", "c", "-n", "1", "d"}, "ln:", SHORT},
        {{"p", "a", "-l", "b"}, "+ln:", SHORT},
        {{"p", "a", "-l", "b"}, "-ln:", SHORT},
        {{"p", "-o", "-ofoo"}, "o::", SHORT},
        {{"p", "-", "-l"}, "ln:", SHORT},
        {{"p", "--verb"}, "", LONG},
        {{"p", "--ver"}, "", LONG},
        {{"p", "--verbose=1"}, "", LONG},
        {{"p", "--file", "x", "--file=y", "--file"}, "", LONG},
        {{"p", "--level", "--level=3", "--lev"}, "", LONG},
        {{"p", "--nosuch", "a", "--version"}, "", LONG},
        {{"p", "--verbo", "--vers", "--f=z"}, "", LONG},
        {{"p", "-verb", "-ver", "-file", "x", "-level=2"}, "", LONG_ONLY},
        {{"p", "-l", "-fx", "-f", "y", "-version=1"}, "lf:", LONG_ONLY},
        {{"p", "-vq", "a", "--verbose"}, "vq", LONG_ONLY},
    };
    for (auto &r : rows) {
        std::string want = trace_glibc(r.args, r.optstring, r.k);
        EXPECT_EQ(trace_ours(r.args, r.optstring, r.k), want) << r.optstring << " " << r.args[1];
    }
}

// A unique prefix selects its record, as in GNU getopt_long: "verb" and
// "verbo" can only be "verbose"; "ver" fits "verbose" and "version".
TEST(Getopt, UniquePrefixes)
{
    struct {
        const char *arg;
        int want;
    } rows[] = {{"--verb", 'v'}, {"--verbo", 'v'}, {"--vers", 'V'}, {"--ver", '?'}, {"--v", '?'}, {"--fi=a", 'f'}};
    for (auto &r : rows) {
        char a0[] = "p";
        std::string a1 = r.arg;
        char *argv[] = {a0, a1.data(), nullptr};
        pl_getopt_t ctx;
        pl_getopt_init(&ctx);
        ctx.opterr = 0;
        int idx = -1;
        EXPECT_EQ(pl_getopt_long(&ctx, 2, argv, "", k_long, &idx), r.want) << r.arg;
        if (r.want != '?') {
            EXPECT_EQ(k_long[idx].val, r.want) << r.arg;
        }
    }
}

TEST(Getopt, Messages)
{
    unsetenv("POSIXLY_CORRECT");
    char a0[] = "prog", a1[] = "-x", a2[] = "--verbose=1", a3[] = "--ver", a4[] = "-n";
    char *argv1[] = {a0, a1, nullptr};
    pl_getopt_t ctx;
    pl_getopt_init(&ctx);
    fd_capture cap;
    EXPECT_EQ(pl_getopt(&ctx, 2, argv1, "ln:"), '?');
    EXPECT_EQ(ctx.optopt, 'x');
    char *argv2[] = {a0, a2, a3, nullptr};
    pl_getopt_init(&ctx);
    EXPECT_EQ(pl_getopt_long(&ctx, 3, argv2, "", k_long, nullptr), '?');
    EXPECT_EQ(pl_getopt_long(&ctx, 3, argv2, "", k_long, nullptr), '?');
    char *argv3[] = {a0, a4, nullptr};
    pl_getopt_init(&ctx);
    EXPECT_EQ(pl_getopt(&ctx, 2, argv3, "ln:"), '?');
    pl_getopt_init(&ctx);
    ctx.opterr = 0;
    EXPECT_EQ(pl_getopt(&ctx, 2, argv3, "ln:"), '?'); // silent
    EXPECT_EQ(cap.stop(), "prog: invalid option -- x\n"
                          "\t\t\t\t\t\t\t\t\t\t\t  prog: option `--verbose' doesn't allow an argument\n"
                          "prog: option `--ver' is ambiguous\n"
                          "prog: option requires an argument -- n\n");

    setenv("POSIXLY_CORRECT", "1", 1);
    char b1[] = "-x", b2[] = "a", b3[] = "-l";
    char *argv4[] = {a0, b1, b2, b3, nullptr};
    pl_getopt_init(&ctx);
    fd_capture cap2;
    EXPECT_EQ(pl_getopt(&ctx, 4, argv4, "l"), '?');
    EXPECT_EQ(pl_getopt(&ctx, 4, argv4, "l"), -1); // stops at the first non-option
    EXPECT_EQ(ctx.optind, 2);
    EXPECT_EQ(cap2.stop(), "prog: illegal option -- x\n");
    unsetenv("POSIXLY_CORRECT");
}

// The long-option messages, one element each.
TEST(Getopt, LongMessages)
{
    unsetenv("POSIXLY_CORRECT");
    const std::string ind = "\t\t\t\t\t\t\t\t\t\t\t  ";
    struct {
        std::vector<std::string> args;
        const char *optstring;
        kind k;
        int ret;
        std::string msg;
    } rows[] = {
        {{"--nosuch"}, "", LONG, '?', "prog: unrecognized option `--nosuch'\n"},
        {{"-nosuch"}, "", LONG_ONLY, '?', "prog: unrecognized option `-nosuch'\n"},
        {{"-verbose=1"}, "", LONG_ONLY, '?', ind + "prog: option `-verbose' doesn't allow an argument\n"},
        {{"--file"}, "", LONG, '?', "prog: option `--file' requires an argument\n"},
        {{"--file"}, ":", LONG, ':', ""},
        {{"-W", "ver"}, "W;", LONG, '?', "prog: option `-W ver' is ambiguous\n"},
        {{"-Wverbose=1"}, "W;", LONG, '?', ind + "prog: option `-W verbose' doesn't allow an argument\n"},
        {{"-W", "file", "x"}, "W;", LONG, 'f', ""},
    };
    for (auto &r : rows) {
        std::vector<std::string> args = r.args;
        args.insert(args.begin(), "prog");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pl_getopt_t ctx;
        pl_getopt_init(&ctx);
        fd_capture cap;
        int c = r.k == LONG_ONLY ? pl_getopt_long_only(&ctx, (int)args.size(), argv.data(), r.optstring, k_long, nullptr)
                                 : pl_getopt_long(&ctx, (int)args.size(), argv.data(), r.optstring, k_long, nullptr);
        EXPECT_EQ(c, r.ret) << args[1];
        EXPECT_EQ(cap.stop(), r.msg) << args[1];
    }
}

TEST(Getopt, Reentrant)
{
    // Two parses interleaved keep their own state.
    char a0[] = "p", a1[] = "-ab", b1[] = "-c", b2[] = "v";
    char *x[] = {a0, a1, nullptr};
    char *y[] = {a0, b1, b2, nullptr};
    pl_getopt_t cx, cy;
    pl_getopt_init(&cx);
    pl_getopt_init(&cy);
    EXPECT_EQ(pl_getopt(&cx, 2, x, "abc:"), 'a');
    EXPECT_EQ(pl_getopt(&cy, 3, y, "abc:"), 'c');
    EXPECT_STREQ(cy.optarg, "v");
    EXPECT_EQ(pl_getopt(&cx, 2, x, "abc:"), 'b');
    EXPECT_EQ(pl_getopt(&cx, 2, x, "abc:"), -1);
    EXPECT_EQ(pl_getopt(&cy, 3, y, "abc:"), -1);
}
