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

// One parse as a trace of "ret:optarg:optind" items plus the final argv.
std::string trace_ours(std::vector<std::string> args, const char *optstring, bool longs)
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
        int c = longs ? pl_getopt_long(&ctx, (int)args.size(), argv.data(), optstring, k_long, nullptr)
                      : pl_getopt(&ctx, (int)args.size(), argv.data(), optstring);
        out += std::to_string(c) + ":" + (ctx.optarg ? ctx.optarg : "-") + ":" + std::to_string(ctx.optind) + " ";
        if (c == -1)
            break;
    }
    for (size_t i = 0; i < args.size(); ++i)
        out += std::string(argv[i]) + ",";
    return out;
}

std::string trace_glibc(std::vector<std::string> args, const char *optstring, bool longs)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0;
    opterr = 0;
    std::string out;
    for (int i = 0; i < 20; ++i) {
        int c = longs ? getopt_long((int)args.size(), argv.data(), optstring, k_glibc_long, nullptr)
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
        bool longs;
    } rows[] = {
        {{"p", "-l", "-n", "5", "file"}, "ln:", false},
        {{"p", "-ln5"}, "ln:", false},
        {{"p", "a", "-l", "b"}, "ln:", false},
        {{"p", "-l", "--", "-n"}, "ln:", false},
        {{"p", "-n"}, "ln:", false},
        {{"p", "-n"}, ":ln:", false},
        {{"p", "-x", "a"}, "ln:", false},
        {{"p", "a", "b", "-l", "c", "-n", "1", "d"}, "ln:", false},
        {{"p", "a", "-l", "b"}, "+ln:", false},
        {{"p", "a", "-l", "b"}, "-ln:", false},
        {{"p", "-o", "-ofoo"}, "o::", false},
        {{"p", "-", "-l"}, "ln:", false},
        {{"p", "--verb"}, "", true},
        {{"p", "--ver"}, "", true},
        {{"p", "--verbose=1"}, "", true},
        {{"p", "--file", "x", "--file=y", "--file"}, "", true},
        {{"p", "--level", "--level=3", "--lev"}, "", true},
        {{"p", "--nosuch", "a", "--version"}, "", true},
    };
    for (auto &r : rows) {
        std::string want = trace_glibc(r.args, r.optstring, r.longs);
        EXPECT_EQ(trace_ours(r.args, r.optstring, r.longs), want) << r.optstring << " " << r.args[1];
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
