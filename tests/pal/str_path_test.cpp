// Path text operations; python3 posixpath gives the independent answers
// where its rules are the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpal/string/str_path.h"
#include "liblog/log2.h"
#include "test_util.h"

namespace {

using zk_test::log_capture;
using zk_test::run;

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

// Runs an in-place operation on a PL_MAX_PATH copy of text.
template <class F> std::string inplace(const char *text, F f)
{
    char buf[PL_MAX_PATH];
    strcpy(buf, text);
    f(buf);
    return buf;
}

} // namespace

TEST(StrPath, BuildAndAppend)
{
    struct {
        const char *dir, *name, *out;
    } cases[] = {
        {"/a/", "/b", "/a/b"}, {"/a", "b", "/a/b"},   {"", "b", "/b"},
        {"/a\\", "b", "/a\\b"}, {"/a", "\\b", "/a/b"}, {"/", "", "/"},
    };
    for (auto &c : cases) {
        char out[PL_MAX_PATH];
        EXPECT_STREQ(path_build(out, c.dir, c.name), c.out) << c.dir << " + " << c.name;
    }
}

// A join that does not fit leaves nothing, never "/name" or a relative name.
TEST(StrPath, BuildStopsAtFirstOverflow)
{
    log_capture cap;
    char out[8];
    EXPECT_STREQ(path_build2(out, sizeof(out), "/abcdef", "x"), "");  // the "/" step overflows
    EXPECT_STREQ(path_build2(out, sizeof(out), "/abcdefghij", "x"), ""); // the copy overflows
    EXPECT_STREQ(path_build2(out, sizeof(out), "/abc", "xyz"), "");     // the name overflows
    EXPECT_STREQ(path_build2(out, sizeof(out), "/abc", "xy"), "/abc/xy");
    char dir[6] = "/abcd";
    EXPECT_STREQ(path_append2(dir, sizeof(dir), "e"), "");
    EXPECT_TRUE(cap.has("need_size="));
}

TEST(StrPath, SeparatorTailSoftFails)
{
    std::string p(4094, 'a');
    char buf[PL_MAX_PATH];
    strcpy(buf, p.c_str());
    EXPECT_EQ(strlen(path_add_sep_not_exist_tail(buf)), 4095u);
    EXPECT_EQ(buf[4094], '/');
    EXPECT_EQ(strlen(path_add_sep_not_exist_tail(buf)), 4095u); // already ends with one

    log_capture cap;
    std::string q(4095, 'a');
    strcpy(buf, q.c_str());
    EXPECT_STREQ(path_add_sep_not_exist_tail(buf), "");
    EXPECT_TRUE(cap.has("expr[len+2<=PL_MAX_PATH]: assert failed"));
    EXPECT_EQ(inplace("", path_add_sep_not_exist_tail), "/");
    EXPECT_EQ(inplace("a\\", path_add_sep_not_exist_tail), "a\\");
}

TEST(StrPath, UnescapedNamesStayOneComponent)
{
    struct {
        const char *dir, *name, *out;
    } ok[] = {
        {"/d", "a\\tb", "/d/a\tb"},
        {"/d/", "x\\x41", "/d/xA"},
        {"/d", "...", "/d/..."},
        {"/d", ".hidden", "/d/.hidden"},
    };
    for (auto &c : ok) {
        char out[PL_MAX_PATH];
        EXPECT_STREQ(path_build_unescape_name(out, c.dir, c.name), c.out) << c.name;
    }
    const char *refused[] = {"a\\057b", "\\x2f", "a/b", "..", ".", "\\x2e\\x2e", "a\\0b", "", "\\0"};
    for (const char *n : refused) {
        log_capture cap;
        char out[PL_MAX_PATH] = "junk";
        EXPECT_STREQ(path_build_unescape_name(out, "/d", n), "") << n;
        EXPECT_TRUE(cap.has("error: invalid name")) << n;
    }
    log_capture cap;
    char out[PL_MAX_PATH];
    std::string dir = "/" + std::string(4000, 'd');
    std::string name(93, 'n'); // dir + '/' + name = 4095 characters: one too many
    EXPECT_STREQ(path_build_unescape_name(out, dir.c_str(), name.c_str()), "");
    EXPECT_TRUE(cap.has("error: too long!!"));
    name.pop_back();
    EXPECT_EQ(strlen(path_build_unescape_name(out, dir.c_str(), name.c_str())), 4094u);
}

TEST(StrPath, NormalizeAndPosix)
{
    struct {
        const char *in, *norm, *posix;
    } cases[] = {
        {"file:///x//y\\z", "/x/y/z", "file:/x/y/z"}, // only normalising drops "file://"
        {"////", "/", "/"},
        {"", "", ""},
        {"C:\\dir\\", "C:/dir/", "/C_/dir"},
        {"/d:/x/", "/d:/x/", "/d_/x"},
        {"//", "/", "/"},
        {"a//b/", "a/b/", "a/b"},
        {"/a:b", "/a:b", "/a_b"}, // any "/X:" prefix counts as a drive
        {"C:", "C:", "/C_"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(inplace(c.in, path_normalize), c.norm) << c.in;
        EXPECT_EQ(inplace(c.in, path_to_posix), c.posix) << c.in;
    }
    char out[9];
    EXPECT_STREQ(path_to_posix_buf("c:\\abcd", out, sizeof(out)), "/c_/abcd");
    EXPECT_STREQ(path_to_posix_buf("c:\\abcde", out, sizeof(out)), ""); // the added '/' does not fit
    EXPECT_STREQ(path_normalize_buf("a\\\\b", out, sizeof(out)), "a/b");

    EXPECT_EQ(inplace("a\\\\b//c", [](char *p) { path_squeeze_sep(p, '\\'); }), "a\\b\\c");
    EXPECT_EQ(inplace("a\\\\b//c", path_squeeze_slash), "a/b/c");
    wchar_t w[] = L"a//b\\\\c";
    EXPECT_EQ(std::wstring(path_squeeze_sep_w(w)), L"a\\b\\c");

    EXPECT_EQ(inplace("/", path_del_sep_tail), "/");
    EXPECT_EQ(inplace("", path_del_sep_tail), "");
    EXPECT_EQ(inplace("/a/", path_del_sep_tail), "/a");
    EXPECT_EQ(inplace("/a//", path_del_sep_tail), "/a/");
}

// basename and the extension cut agree with python3 posixpath for paths
// without backslashes.
TEST(StrPath, ComponentsMatchPosixpath)
{
    const char *paths[] = {"/a/b", "/a/", "b", "/a.b/c", "/a/c.tar.gz", "x.y", "/", "a/b.c/d.e"};
    std::string script = "python3 -c \"import posixpath\nfor p in [";
    for (const char *p : paths)
        script += std::string("'") + p + "',";
    script += "]:\n  print(posixpath.basename(p)+'|'+posixpath.splitext(p)[0])\"";
    auto lines = split_lines(run(script));
    ASSERT_EQ(lines.size(), sizeof(paths) / sizeof(paths[0]));
    for (size_t i = 0; i < lines.size(); i++) {
        std::string mine = std::string(path_basename(paths[i])) + "|" + inplace(paths[i], path_del_ext);
        EXPECT_EQ(mine, lines[i]) << paths[i];
    }
    EXPECT_STREQ(path_basename("a\\b"), "b");
    EXPECT_EQ(inplace("/", path_del_name), "/");
    EXPECT_EQ(inplace("/a/b", path_del_name), "/a/");
    EXPECT_EQ(inplace("ab", path_del_name), "");
    EXPECT_EQ(inplace("/", path_cut_name), "");
    EXPECT_EQ(inplace("/a/b", path_cut_name), "/a");
    EXPECT_EQ(inplace("/a", path_cut_name), "");
    EXPECT_EQ(inplace("ab", path_cut_name), "ab");
    EXPECT_EQ(path_sep_count("/a\\b/c"), 3);
}

TEST(StrPath, DirnameIsPerThread)
{
    const char *mine = path_dirname_static("/main/x");
    std::string other;
    const char *other_ptr = nullptr;
    std::thread t([&] {
        other_ptr = path_dirname_static("/thread/y");
        other = other_ptr;
    });
    t.join();
    EXPECT_STREQ(mine, "/main/");
    EXPECT_EQ(other, "/thread/");
    EXPECT_NE(mine, other_ptr);
}

TEST(StrPath, Tests)
{
    struct {
        const char *p;
        int abs, root;
    } cases[] = {
        {"/x", 1, 0},      {"\\x", 1, 0},  {"c:x", 1, 0},       {"smb://h/s", 1, 0}, {"x/y", 0, 0},
        {"/", 1, 1},       {"//", 1, 1},   {"///", 1, 1},       {"\\\\?\\", 1, 1},   {"\\\\.\\", 1, 1},
        {"/a", 1, 0},      {"h:\\\\s", 1, 0}, {"1:x", 0, 0},    {"", 0, 0},          {"////", 1, 0},
        {"x:\\\\y", 1, 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(path_is_absolute(c.p), c.abs) << c.p;
        EXPECT_EQ(path_is_root(c.p), c.root) << c.p;
    }
    {
        log_capture cap;
        EXPECT_EQ(path_is_absolute(nullptr), 0);
        EXPECT_TRUE(cap.has("expr[path]: assert failed"));
    }
    EXPECT_EQ(path_has_sep_tail("a/"), 1);
    EXPECT_EQ(path_has_sep_tail(""), 0);
    EXPECT_EQ(path_has_sep_head("\\a"), 1);
    EXPECT_EQ(path_is_plain_name("a.b"), 1);
    EXPECT_EQ(path_is_plain_name("a\\b"), 0);
    EXPECT_EQ(path_equal("file:///a//b", "\\a\\b"), 1);
    EXPECT_EQ(path_equal("/a/b", "/a/b/"), 0);
    EXPECT_EQ(path_dir_equal("/a//x", "\\a\\y"), 1);
    EXPECT_EQ(path_dir_equal("/a/x", "/b/x"), 0);
}

TEST(StrPath, Resolve)
{
    struct {
        const char *path, *base, *out;
    } cases[] = {
        {"../x/./y", "/a/b", "/a/x/y"},
        {"/..", nullptr, "/"},
        {"C:/a/../b", nullptr, "C:/b"},
        {"../../x", "r", "../x"},
        {"/a/b/..", nullptr, "/a/"},
        {"/a/b/", nullptr, "/a/b/"},
        {"/a/./b/../../c", nullptr, "/c"},
        {"/.../.x/..", nullptr, "/.../"},
        {".", "r", "r/"},
        {"..", "r", "./"},
        {"file:///x/../y", nullptr, "/y"},
        {"a\\..\\b", "/r", "/r/b"},
    };
    for (auto &c : cases) {
        char out[PL_MAX_PATH];
        EXPECT_STREQ(path_resolve(c.path, c.base, out), c.out) << c.path << " @ " << (c.base ? c.base : "-");
    }
    // Without a trailing '/', python3 normpath(join(base, p)) agrees.
    const char *rel[] = {"x", "../y", "a/../../b", "./c/./d", "../../../../e"};
    std::string script = "python3 -c \"import posixpath\nfor p in [";
    for (const char *p : rel)
        script += std::string("'") + p + "',";
    script += "]:\n  print(posixpath.normpath(posixpath.join('/base/dir', p)))\"";
    auto lines = split_lines(run(script));
    ASSERT_EQ(lines.size(), sizeof(rel) / sizeof(rel[0]));
    for (size_t i = 0; i < lines.size(); i++) {
        char out[PL_MAX_PATH];
        EXPECT_EQ(std::string(path_resolve(rel[i], "/base/dir", out)), lines[i]) << rel[i];
    }
    // The current directory stands in for a missing base.
    char cwd[PL_MAX_PATH], out[PL_MAX_PATH];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    EXPECT_EQ(std::string(path_resolve("q", nullptr, out)), std::string(cwd) + (strcmp(cwd, "/") ? "/q" : "q"));
    // ".." runs that climb above a relative start stay, within the buffer:
    // "." + "/" + "./" + 1363 x "../" + ".." is 4095 characters.
    std::string up = "./";
    for (int i = 0; i < 1363; i++)
        up += "../";
    up += "..";
    std::string want;
    for (int i = 0; i < 1364; i++)
        want += "../";
    EXPECT_EQ(std::string(path_resolve(up.c_str(), ".", out)), want);
}

TEST(StrPath, RealpathAndQuote)
{
    char out[PL_MAX_PATH];
    ASSERT_NE(path_realpath("/proc/self/../self", out), nullptr);
    EXPECT_EQ(std::string(out).rfind("/proc/", 0), 0u);
    EXPECT_EQ(path_realpath("/no/such/zk/path", out), nullptr);

    char p[PL_MAX_PATH] = "/a b/c";
    EXPECT_STREQ(path_quote(p), "\"/a b/c\"");
    EXPECT_STREQ(path_quote(p), "\"/a b/c\""); // already quoted: unchanged
    EXPECT_STREQ(path_quote_buf("/ab", out), "/ab");
    EXPECT_STREQ(path_quote_buf("", out), "\"\"");
}
