// The configuration API over ini files.
#include "libconf/conf.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <string>

#include "capture.h"
#include "conf/conf_test_util.h"
#include "libpal/string/str_vector.h"

using namespace conf_test;

namespace {

struct Conf : ::testing::Test {
    void SetUp() override { pl_init(); }
    scratch_dir dir;
    std::string p(const char *name) { return dir.path(name); }
};

std::string joined(str_vector *v)
{
    std::string s;
    for (uint64_t i = 0; v && i < v->count; ++i)
        s += std::string(i ? "," : "") + v->items[i];
    str_vector_free(v);
    return v ? s : "<null>";
}

TEST_F(Conf, GettersDefaultsAndSentinel)
{
    conf_t *c = conf_load_str("[s]\nn = 42\nsz = 2m\nbad = NOT_EXIST_VAL_!!!\nempty =\n", 0);
    ASSERT_NE(c, nullptr);
    const char *def = "default";
    EXPECT_EQ(conf_get(c, "s", "missing", def), def); // the very pointer
    EXPECT_EQ(conf_get(c, "S", "n", def), def);
    EXPECT_STREQ(conf_get(c, "s", "n", def), "42");
    EXPECT_EQ(conf_get_int(c, "s", "n", 7), 42);
    EXPECT_EQ(conf_get_int(c, "s", "bad", 7), 7);
    EXPECT_EQ(conf_get_int(c, "s", "missing", 7), 7);
    EXPECT_EQ(conf_get_size(c, "s", "sz", 1), 2097152);
    EXPECT_EQ(conf_get_size(c, "s", "missing", -3), -3);
    EXPECT_STREQ(conf_get(c, "s", "empty", def), "");
    conf_free(c);
}

TEST_F(Conf, Paths)
{
    conf_t *c = conf_load_str("[log]\nlevel = warn\n[a]\nb:c = tab\n", 0);
    ASSERT_NE(c, nullptr);
    const char *def = "d";
    EXPECT_STREQ(conf_get_path(c, "log:level", def), "warn");
    EXPECT_STREQ(conf_get_path(c, "a\tb:c", def), "tab");
    EXPECT_EQ(conf_get_path(c, "abc", def), def);
    EXPECT_EQ(conf_set_path(c, "abc", "v"), -1);
    EXPECT_EQ(conf_set_path(c, "new:key", "v"), 0);
    EXPECT_EQ(conf_set_path_int(c, "new\tnum", -5), 0);
    EXPECT_EQ(conf_get_path_int(c, "new:num", 0), -5);
    EXPECT_EQ(conf_get_path_size(c, "new:missing", 9), 9);
    EXPECT_EQ(conf_has_section(c, "new"), 1);
    EXPECT_EQ(conf_has_key(c, "new", "key"), 1);
    EXPECT_EQ(conf_has_key(c, "new", "KEY"), 0);
    conf_free(c);
}

TEST_F(Conf, SectionsKeysAndMatch)
{
    conf_t *c = conf_load_str("[conf]\n[session/a]\nk=1\n[proxy]\n[session/b]\n[Session/c]\n", 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(joined(conf_get_sections(c)), "conf,session/a,proxy,session/b,Session/c");
    EXPECT_EQ(joined(conf_get_sections_match(c, "session/*")), "session/a,session/b");
    EXPECT_EQ(joined(conf_get_sections_match(c, "conf|proxy")), "conf,proxy");
    EXPECT_EQ(joined(conf_get_sections_match(c, "[cp]*")), "conf,proxy");
    EXPECT_EQ(joined(conf_get_keys(c, "session/a")), "k");
    EXPECT_EQ(joined(conf_get_keys(c, "none")), "");
    str_map *m = conf_get_section_map(c, "session/a");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ((const char *)str_map_get(m, "k"), "1");
    str_map_free(m);
    conf_free(c);
}

TEST_F(Conf, DeleteAndRename)
{
    conf_t *c = conf_load_str("[s]\n; about a\na = 1\nb = 2\n[t]\n", 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(conf_del_key(c, "s", "none"), -1);
    EXPECT_EQ(conf_del_section(c, "none"), -2);
    EXPECT_EQ(conf_rename_key(c, "s", "none", "x"), -1);
    EXPECT_EQ(conf_rename_key(c, "s", "a", "b"), -1); // would hide b
    EXPECT_EQ(conf_rename_key(c, "s", "a", "A"), 0);
    EXPECT_STREQ(conf_get(c, "s", "A", "-"), "1");
    EXPECT_STREQ(conf_get(c, "s", "a", "-"), "-");
    EXPECT_EQ(joined(conf_get_keys(c, "s")), "A,b"); // kept its place
    EXPECT_EQ(conf_rename_section(c, "s", "t"), -1);
    EXPECT_EQ(conf_rename_section(c, "q", "r"), -2);
    EXPECT_EQ(conf_rename_section(c, "s", "u"), 0);
    EXPECT_STREQ(conf_get(c, "u", "b", "-"), "2");
    EXPECT_EQ(conf_del_key(c, "u", "b"), 0);
    EXPECT_EQ(conf_del_section(c, "u"), 0);
    EXPECT_EQ(joined(conf_get_sections(c)), "t");
    conf_free(c);
}

TEST_F(Conf, NumberedLists)
{
    conf_t *c = conf_load_str("[l]\n0 = a\n1 = b\n2 = c\nname = n\n", 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(joined(conf_get_list(c, "l")), "a,b,c");
    EXPECT_EQ(conf_list_add(c, "l", "b"), 0); // present: nothing written
    EXPECT_EQ(joined(conf_get_keys(c, "l")), "0,1,2,name");
    EXPECT_EQ(conf_list_del(c, "l", "c"), 0);
    EXPECT_EQ(joined(conf_get_keys(c, "l")), "0,1,name");
    EXPECT_EQ(conf_list_add(c, "l", "d"), 0);
    EXPECT_EQ(joined(conf_get_list(c, "l")), "a,b,d");
    EXPECT_EQ(conf_list_clear(c, "l"), 0);
    EXPECT_EQ(joined(conf_get_keys(c, "l")), "name");
    conf_free(c);

    // A sparse list: removing an item removes it for good.
    c = conf_load_str("[l]\n0 = a\n5 = b\n007 = c\n", 0);
    EXPECT_EQ(joined(conf_get_list(c, "l")), "a,b,c");
    EXPECT_EQ(conf_list_del(c, "l", "b"), 0);
    EXPECT_EQ(joined(conf_get_list(c, "l")), "a,c");
    conf_free(c);
}

TEST_F(Conf, LoadingByName)
{
    put_file(p("x.dat"), "[s]\nk=v\n");
    put_file(p("x.txt"), "[s]\nk=v\n");
    put_file(p("x.CFG"), "[s]\nk=v\n");
    EXPECT_EQ(conf_load(p("x.dat").c_str()), nullptr);
    EXPECT_EQ(conf_load(p("x.txt").c_str()), nullptr);
    conf_t *c = conf_load(p("x.CFG").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(conf_get(c, "s", "k", ""), "v");
    conf_free(c);
    EXPECT_EQ(conf_load(p("missing.ini").c_str()), nullptr);
    fd_capture cap;
    EXPECT_EQ(conf_load(nullptr), nullptr); // soft assertion
    EXPECT_NE(cap.stop().find("expr[name != NULL]: assert failed"), std::string::npos);
}

TEST_F(Conf, SaveWritesBomThenDocument)
{
    conf_t *s = conf_load_str("[s]\nk=v\n", 0);
    EXPECT_EQ(conf_save(s), -1);
    conf_free(s);

    conf_t *c = conf_create_load(p("a.ini").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(get_file(p("a.ini")), "");
    EXPECT_EQ(conf_save(c), 0);
    EXPECT_EQ(get_file(p("a.ini")), "\xEF\xBB\xBF");
    EXPECT_EQ(conf_set(c, "net", "host", "h;x"), 0);
    EXPECT_EQ(conf_set_int(c, "net", "port", 8000), 0);
    EXPECT_EQ(conf_set(c, "", "top", "1"), 0);
    EXPECT_EQ(conf_save(c), 0);
    EXPECT_EQ(get_file(p("a.ini")), "\xEF\xBB\xBFtop=1\n[net]\nhost=\"h;x\"\nport=8000\n\n");
    conf_free(c);

    c = conf_load(p("a.ini").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(conf_get(c, "net", "host", ""), "h;x");
    EXPECT_STREQ(conf_get(c, "", "top", ""), "1");
    conf_free(c);
}

TEST_F(Conf, SaveFailureLeavesTheOldFile)
{
    const std::string old = "[s]\nk = old\n";
    put_file(p("f.ini"), old);
    conf_t *c = conf_load(p("f.ini").c_str());
    ASSERT_NE(c, nullptr);
    // A value that cannot be written faithfully fails the save.
    conf_set(c, "s", "k", "two\nlines");
    fd_capture cap;
    EXPECT_EQ(conf_save(c), -1);
    cap.stop();
    EXPECT_EQ(get_file(p("f.ini")), old);
    EXPECT_EQ(run("ls -A '" + dir.dir() + "'"), "f.ini\n"); // no temporary left
    conf_free(c);

    // The directory is gone: nothing can be written.
    std::string sub = p("sub");
    mkdir(sub.c_str(), 0755);
    put_file(sub + "/g.ini", old);
    c = conf_load((sub + "/g.ini").c_str());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(system(("rm -rf '" + sub + "'").c_str()), 0);
    EXPECT_EQ(conf_save(c), -1);
    conf_free(c);
}

// Loads path, adds 100 lines of about 1000 bytes and saves under a file size
// limit of 4 KiB (writes past it fail with EFBIG). Ends the process: status 0
// when the save reported failure.
[[noreturn]] void save_over_size_limit(const std::string &path)
{
    signal(SIGXFSZ, SIG_IGN);
    conf_t *c = conf_load(path.c_str());
    const std::string value(1000, 'v');
    for (int i = 0; c && i < 100; ++i)
        conf_set(c, "s", ("k" + std::to_string(i)).c_str(), value.c_str());
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = 4096;
    setrlimit(RLIMIT_FSIZE, &rl);
    exit(c && conf_save(c) == -1 ? 0 : 1);
}

TEST_F(Conf, SaveReportsWriteErrors)
{
    // The writes of the new text fail part way; the save says so and the
    // old file stays as it was.
    const std::string old = "[s]\nk = old\n";
    put_file(p("big.ini"), old);
    EXPECT_EXIT(save_over_size_limit(p("big.ini")), ::testing::ExitedWithCode(0), "save \\[.*big\\.ini\\] err: ");
    EXPECT_EQ(get_file(p("big.ini")), old);
    EXPECT_EQ(run("ls -A '" + dir.dir() + "'"), "big.ini\n"); // no temporary left
}

TEST_F(Conf, SaveKeepsModeAndSymlink)
{
    put_file(p("real.ini"), "[s]\nk=1\n");
    chmod(p("real.ini").c_str(), 0600);
    ASSERT_EQ(symlink(p("real.ini").c_str(), p("link.ini").c_str()), 0);
    conf_t *c = conf_load(p("link.ini").c_str());
    ASSERT_NE(c, nullptr);
    conf_set(c, "s", "k", "2");
    EXPECT_EQ(conf_save(c), 0);
    conf_free(c);
    struct stat st;
    ASSERT_EQ(lstat(p("link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(p("real.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(get_file(p("real.ini")), "\xEF\xBB\xBF[s]\nk=2\n\n");
}

TEST_F(Conf, SavedFileReadsTheSameInPython)
{
    put_file(p("c.ini"), "; sessions\n[session/a]\nurl = zkp://u:p@h:8000/d?x=1&y=2\nName = Alpha\n\n"
                         "[proxy]\nhttp = http://proxy:3128\nempty =\n");
    conf_t *c = conf_load(p("c.ini").c_str());
    ASSERT_NE(c, nullptr);
    conf_set(c, "session/b", "url", "/local/dir");
    conf_set(c, "session/a", "Name", "Alpha Beta");
    EXPECT_EQ(conf_save(c), 0);
    conf_free(c);
    EXPECT_EQ(python_view(p("c.ini")), "session/a\turl\tzkp://u:p@h:8000/d?x=1&y=2\n"
                                       "session/a\tName\tAlpha Beta\n"
                                       "proxy\thttp\thttp://proxy:3128\n"
                                       "proxy\tempty\t\n"
                                       "session/b\turl\t/local/dir\n");
    // And what python writes, this reader reads the same.
    std::string py = p("w.py");
    put_file(py, "import configparser,sys\n"
                 "c=configparser.ConfigParser(interpolation=None)\n"
                 "c.optionxform=str\n"
                 "c['One']={'Key':'v 1','url':'ftp://h/p?a=b'}\n"
                 "c['two']={'x':''}\n"
                 "f=open(sys.argv[1],'w',encoding='utf-8-sig')\n"
                 "c.write(f)\n"
                 "f.close()\n");
    run("python3 '" + py + "' '" + p("py.ini") + "'");
    c = conf_load(p("py.ini").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(conf_get(c, "One", "Key", "-"), "v 1");
    EXPECT_STREQ(conf_get(c, "One", "url", "-"), "ftp://h/p?a=b");
    EXPECT_STREQ(conf_get(c, "two", "x", "-"), "");
    EXPECT_EQ(joined(conf_get_sections(c)), "One,two");
    conf_free(c);
}

TEST_F(Conf, WholeFileGetAndMerge)
{
    put_file(p("a.ini"), "[s]\nk = 1\nonly_a = x\n[t]\nn = 5\n");
    put_file(p("b.ini"), "[s]\nk = 2\nonly_b = y\n");
    char out[64];
    EXPECT_STREQ(conf_file_get_path(p("a.ini").c_str(), "t:n", "d", out, sizeof(out)), "5");
    EXPECT_STREQ(conf_file_get_path(p("none.ini").c_str(), "t:n", "d", out, sizeof(out)), "d");
    EXPECT_EQ(conf_file_get_path_int(p("a.ini").c_str(), "t:n", 0), 5);
    EXPECT_EQ(conf_file_get_path_int(p("none.ini").c_str(), "t:n", 3), 3);

    // Nothing in common: A stays byte for byte.
    put_file(p("c.ini"), "[other]\nz = 0\n");
    EXPECT_EQ(conf_file_merge(p("a.ini").c_str(), p("c.ini").c_str()), 0);
    EXPECT_EQ(get_file(p("a.ini")), "[s]\nk = 1\nonly_a = x\n[t]\nn = 5\n");

    EXPECT_EQ(conf_file_merge(p("a.ini").c_str(), p("b.ini").c_str()), 0);
    conf_t *a = conf_load(p("a.ini").c_str());
    EXPECT_STREQ(conf_get(a, "s", "k", ""), "2");
    EXPECT_STREQ(conf_get(a, "s", "only_a", ""), "x");
    EXPECT_EQ(conf_get(a, "s", "only_b", nullptr), nullptr);
    conf_free(a);
    EXPECT_EQ(conf_file_merge(p("a.ini").c_str(), p("none.ini").c_str()), -1);
}

} // namespace
