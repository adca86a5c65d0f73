// The ini reader, writer and dictionary.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "capture.h"
#include "conf/conf_test_util.h"
#include "libconf/conf.h"
#include "libconf/ini/iniparser.h"
#include "liblog/log2.h"
#include "libpal/string/str_vector.h"

using namespace conf_test;

namespace {

struct Ini : ::testing::Test {
    void SetUp() override { pl_init(); }
};

std::string get(dictionary *d, const char *name) { return iniparser_getstring(d, name, "<none>") ?: "<null>"; }

TEST_F(Ini, HashKnownValues)
{
    // python3 model of the one-at-a-time steps in 32-bit arithmetic.
    EXPECT_EQ(dictionary_hash(""), 0u);
    EXPECT_EQ(dictionary_hash("a"), 0xca2e9442u);
    EXPECT_EQ(dictionary_hash("log\tlevel"), 0x672e8f65u);
}

TEST_F(Ini, BomAndCaseSensitiveNames)
{
    const char *body = "[Net]\nKey = Value\n";
    for (std::string text : {std::string(body), std::string("\xEF\xBB\xBF") + body}) {
        dictionary *d = iniparser_load_str(text.c_str());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(get(d, "Net\tKey"), "Value");
        EXPECT_EQ(get(d, "net\tkey"), "<none>");
        EXPECT_EQ(get(d, "Net\tkey"), "<none>");
        EXPECT_EQ(iniparser_getnsec(d), 1);
        iniparser_freedict(d);
    }
    // The same through a file stream.
    scratch_dir dir;
    put_file(dir.path("bom.ini"), std::string("\xEF\xBB\xBF") + body);
    dictionary *d = iniparser_load(dir.path("bom.ini").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(get(d, "Net\tKey"), "Value");
    iniparser_freedict(d);
}

TEST_F(Ini, ValueForms)
{
    const struct {
        const char *line;
        const char *value;
    } cases[] = {
        {"k = \"a;b\"", "a;b"},
        {"k = a;b", "a"},
        {"k = x # note", "x"},
        {"k =", ""},
        {"k = ;x", ""},
        {"k=v", "v"},
        {"k = 'q;r' ; c", "q;r"},
        {"k = \"\"", ""},
        {"k = ''", ""},
        {"k = \" padded \"", " padded "},
        {"k = \"open", "open"},
        {"k = a=b", "a=b"},
        {"k = a\"b", "a\"b"},
        {"  k  =   spaced value   ", "spaced value"},
        {"k = ab\\\ncd", "abcd"}, // continuation
        {"k = ab\\", "ab"},       // continuation at the end of the input
    };
    for (auto &c : cases) {
        std::string text = std::string("[s]\n") + c.line + "\n";
        dictionary *d = iniparser_load_str(text.c_str());
        ASSERT_NE(d, nullptr) << c.line;
        EXPECT_EQ(get(d, "s\tk"), c.value) << c.line;
        iniparser_freedict(d);
    }
}

TEST_F(Ini, LineLengthLimit)
{
    // 1022 characters and a newline fit the 1024-byte line buffer.
    std::string ok = "[s]\nk=" + std::string(1020, 'v') + "\n";
    dictionary *d = iniparser_load_str(ok.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(get(d, "s\tk").size(), 1020u);
    iniparser_freedict(d);

    std::string too_long = "[s]\nk=" + std::string(1021, 'v') + "\nz=1\n";
    fd_capture cap;
    d = iniparser_load_str(too_long.c_str());
    std::string err = cap.stop();
    EXPECT_EQ(d, nullptr);
    EXPECT_NE(err.find("input line too long in (2)"), std::string::npos) << err;

    // The end of the input ends the last line as well as a newline does.
    std::string last = "[s]\nk=" + std::string(1021, 'v');
    d = iniparser_load_str(last.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(get(d, "s\tk").size(), 1021u);
    iniparser_freedict(d);

    // Such a last line is written back as the last line, without the
    // newline that would make it too long to read again.
    std::string comment = "[s]\nk=v\n;" + std::string(1022, 'c');
    d = iniparser_load_str(comment.c_str());
    ASSERT_NE(d, nullptr);
    int st = -1;
    std::string text = dump_text(d, &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(text, comment);
    iniparser_freedict(d);
    d = iniparser_load_str(text.c_str());
    EXPECT_NE(d, nullptr);
    iniparser_freedict(d);
    // A key line of that length cannot be: the writer says so.
    d = iniparser_load_str(last.c_str());
    fd_capture quiet;
    dump_text(d, &st);
    quiet.stop();
    EXPECT_EQ(st, -1);
    iniparser_freedict(d);
    // Longer comment lines cannot be read back at all: refused.
    d = dictionary_new(0);
    dictionary_set_tail(d, (";" + std::string(1023, 'c') + "\n").c_str());
    fd_capture quiet2;
    dump_text(d, &st);
    quiet2.stop();
    EXPECT_EQ(st, -1);
    iniparser_freedict(d);
}

TEST_F(Ini, SectionsHeadersAndSyntaxErrors)
{
    const char *text = "top = 1\n"
                       "[a]\n"
                       "x = 1\n"
                       "[]\n"
                       "y = 2\n"
                       "[a] ; note\n"
                       "not a key line\n"
                       "; before b\n"
                       "[b]\n"
                       "z = 3\n"
                       "; second a\n"
                       "[a]\n"
                       "w = 4\n";
    int saved = log2_get_level(nullptr);
    log2_set_level(nullptr, LOG2_DBG);
    fd_capture cap;
    dictionary *d = iniparser_load_str(text);
    std::string err = cap.stop();
    log2_set_level(nullptr, saved);
    ASSERT_NE(d, nullptr);
    // (the log writes a line end inside a record as an escape)
    EXPECT_NE(err.find("syntax error in (6):\\n-> [a] ; note"), std::string::npos) << err;
    EXPECT_NE(err.find("syntax error in (7):\\n-> not a key line"), std::string::npos) << err;
    EXPECT_EQ(get(d, "\ttop"), "1");
    EXPECT_EQ(get(d, "a\tx"), "1");
    EXPECT_EQ(get(d, "a\ty"), "2"); // "[]" kept the section
    EXPECT_EQ(get(d, "a\tw"), "4"); // repeated header merges
    EXPECT_EQ(get(d, "b\tz"), "3");
    EXPECT_EQ(iniparser_getnsec(d), 2);
    EXPECT_STREQ(iniparser_getsecname(d, 0), "a");
    EXPECT_STREQ(iniparser_getsecname(d, 1), "b");
    EXPECT_EQ(iniparser_getsecname(d, 2), nullptr);
    EXPECT_EQ(iniparser_getsecnkeys(d, "a"), 3);
    const char *keys[3];
    ASSERT_NE(iniparser_getseckeys(d, "a", keys), nullptr);
    EXPECT_STREQ(keys[0], "x");
    EXPECT_STREQ(keys[1], "y");
    EXPECT_STREQ(keys[2], "w");
    EXPECT_EQ(iniparser_getseckeys(d, "none", keys), nullptr);

    // Keys before the first header come first; lines that were not
    // understood stay where they were; the second "[a]" and its comment go.
    EXPECT_EQ(dump_text(d), "top=1\n"
                            "[a]\n"
                            "x=1\n"
                            "[]\n"
                            "y=2\n"
                            "w=4\n"
                            "[a] ; note\n"
                            "not a key line\n"
                            "; before b\n"
                            "[b]\n"
                            "z=3\n"
                            "\n");
    iniparser_freedict(d);
}

TEST_F(Ini, HeaderWithTabIsNotASection)
{
    // "[s<TAB>k]" would be the entry name of key k in section s: it must not
    // turn a key-less entry into one that writes out and reads back as "k=".
    const char *text = "[s]\nx=1\n[s\tk]\ny=2\n";
    dictionary *d = iniparser_load_str(text);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(iniparser_getnsec(d), 1);
    EXPECT_EQ(iniparser_find_entry(d, "s\tk"), 0);
    EXPECT_EQ(get(d, "s\ty"), "2"); // the current section goes on
    int st = -1;
    std::string out = dump_text(d, &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(out, "[s]\nx=1\n[s\tk]\ny=2\n\n");
    dictionary *back = iniparser_load_str(out.c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(iniparser_find_entry(back, "s\tk"), 0);
    EXPECT_EQ(dump_text(back), out);
    iniparser_freedict(d);
    iniparser_freedict(back);
}

TEST_F(Ini, TextAfterTheByteOrderMarkKeepsItsOwnMark)
{
    // A text in memory loses one mark, as a file does; a first key that
    // starts with another one comes back whole after a save, which puts a
    // mark in front of the written document.
    const std::string bom = "\xEF\xBB\xBF";
    for (std::string text : {bom + bom + "k=v\n[s]\nx=1\n", bom + " " + bom + "k=v\n"}) {
        dictionary *d = iniparser_load_str(text.c_str());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(get(d, ("\t" + bom + "k").c_str()), "v");
        int st = -1;
        std::string saved = bom + dump_text(d, &st);
        EXPECT_EQ(st, 0);
        dictionary *back = iniparser_load_str(saved.c_str());
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(get(back, ("\t" + bom + "k").c_str()), "v") << saved;
        iniparser_freedict(d);
        iniparser_freedict(back);
    }
}

TEST_F(Ini, CommentsAndTailKeptWriteIsStable)
{
    const char *text = "; head comment\n"
                       "\n"
                       "[one]\n"
                       "  # indented comment\n"
                       "a = 1\n"
                       "[two]\n"
                       "b=2\n"
                       "\n"
                       "; tail\n";
    dictionary *d = iniparser_load_str(text);
    ASSERT_NE(d, nullptr);
    std::string first = dump_text(d);
    EXPECT_EQ(first, "; head comment\n\n[one]\n  # indented comment\na=1\n\n[two]\nb=2\n\n; tail\n");
    dictionary *d2 = iniparser_load_str(first.c_str());
    EXPECT_EQ(dump_text(d2), first);
    iniparser_freedict(d);
    iniparser_freedict(d2);

    // A file that ends right after its last key line gets one newline.
    d = iniparser_load_str("[s]\nk=v");
    EXPECT_EQ(dump_text(d), "[s]\nk=v\n\n");
    iniparser_freedict(d);

    // Nothing in, nothing out; a file without sections keeps its comments.
    d = dictionary_new(0);
    int st = -1;
    EXPECT_EQ(dump_text(d, &st), "");
    EXPECT_EQ(st, 0);
    iniparser_freedict(d);
    d = iniparser_load_str("; only\nk = v\n; end\n");
    EXPECT_EQ(dump_text(d), "; only\nk=v\n; end\n");
    iniparser_freedict(d);
}

TEST_F(Ini, ValuesReadBackUnchangedAfterWriting)
{
    const char *values[] = {
        "a;b", "x # y", "#start", ";start", " lead", "trail ", "\ttab", "ends\\", "C:\\dir\\",
        "\"quoted\"", "'single'", "\"", "'", "\"\"", "''", "mixed\"and;semi", "it's;here",
        "plain", "", "a=b=c", "\xE4\xB8\xAD\xE6\x96\x87 utf-8",
    };
    dictionary *d = dictionary_new(0);
    iniparser_set(d, "s", nullptr);
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i) {
        std::string name = "s\tk" + std::to_string(i);
        iniparser_set(d, name.c_str(), values[i]);
    }
    int st = -1;
    std::string text = dump_text(d, &st);
    EXPECT_EQ(st, 0);
    dictionary *back = iniparser_load_str(text.c_str());
    ASSERT_NE(back, nullptr);
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i) {
        std::string name = "s\tk" + std::to_string(i);
        EXPECT_EQ(get(back, name.c_str()), values[i]) << text;
    }
    EXPECT_EQ(dump_text(back), text);
    iniparser_freedict(d);
    iniparser_freedict(back);
}

TEST_F(Ini, UnwritableEntriesAreReported)
{
    static const std::string long_value(1100, 'x');
    const struct {
        const char *name;
        const char *value;
    } cases[] = {
        {"s\tk", "two\nlines"},
        {"s\tk", "both\"'quotes;"},
        {"s\tk=x", "v"},
        {"s\t k", "v"},
        {"s\tk", long_value.c_str()},
    };
    for (auto &c : cases) {
        dictionary *d = dictionary_new(0);
        iniparser_set(d, "s", nullptr);
        iniparser_set(d, c.name, c.value);
        int st = 0;
        fd_capture cap;
        dump_text(d, &st);
        cap.stop();
        EXPECT_EQ(st, -1) << c.name << " = " << c.value;
        iniparser_freedict(d);
    }
}

TEST_F(Ini, DictionaryGrowsKeepingOrder)
{
    dictionary *d = dictionary_new(0);
    EXPECT_EQ(d->size, 128u);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(dictionary_set(d, ("e" + std::to_string(i)).c_str(), std::to_string(i).c_str(), nullptr), 0);
    EXPECT_EQ(d->size, 256u);
    EXPECT_EQ(d->n, 200);
    for (int i = 0; i < 200; ++i)
        EXPECT_STREQ(d->key[i], ("e" + std::to_string(i)).c_str());

    // A replaced value keeps its slot; a hole is reused only after the
    // search wraps.
    EXPECT_EQ(dictionary_set(d, "e5", "five", nullptr), 0);
    EXPECT_STREQ(d->val[5], "five");
    EXPECT_EQ(dictionary_unset(d, "e3"), 0);
    EXPECT_EQ(dictionary_unset(d, "e3"), -1);
    EXPECT_EQ(dictionary_set(d, "new", "x", nullptr), 0);
    EXPECT_STREQ(d->key[199], "e199");
    EXPECT_STREQ(d->key[200], "new");
    dictionary_del(d);
}

TEST_F(Ini, SectionDeleteAndRename)
{
    dictionary *d = iniparser_load_str("[a]\nx=1\n[ab]\ny=2\n[c]\nz=3\n");
    EXPECT_EQ(dictionary_secrename(d, "a", "c"), -1); // c exists
    EXPECT_EQ(dictionary_secrename(d, "q", "r"), -2);
    EXPECT_EQ(dictionary_secrename(d, "a", "A"), 0);
    EXPECT_EQ(get(d, "A\tx"), "1");
    EXPECT_EQ(get(d, "ab\ty"), "2"); // only whole section names
    EXPECT_STREQ(d->key[0], "A");
    EXPECT_EQ(dictionary_secdel(d, "ab"), 0);
    EXPECT_EQ(dictionary_secdel(d, "ab"), -2);
    EXPECT_EQ(get(d, "ab\ty"), "<none>");
    EXPECT_EQ(get(d, "A\tx"), "1");
    iniparser_freedict(d);
}

TEST_F(Ini, TypedGetters)
{
    dictionary *d = iniparser_load_str("[s]\nhex=0x10\noct=010\ndec=-7\nf=2.5\nyes=Yes\nno=0\nodd=maybe\n");
    EXPECT_EQ(iniparser_getint(d, "s\thex", 0), 16);
    EXPECT_EQ(iniparser_getint(d, "s\toct", 0), 8);
    EXPECT_EQ(iniparser_getint(d, "s\tdec", 0), -7);
    EXPECT_EQ(iniparser_getint(d, "s\tmissing", 42), 42);
    EXPECT_DOUBLE_EQ(iniparser_getdouble(d, "s\tf", 0), 2.5);
    EXPECT_EQ(iniparser_getboolean(d, "s\tyes", -1), 1);
    EXPECT_EQ(iniparser_getboolean(d, "s\tno", -1), 0);
    EXPECT_EQ(iniparser_getboolean(d, "s\todd", -1), -1);
    EXPECT_EQ(iniparser_find_entry(d, "s"), 1);
    EXPECT_EQ(iniparser_find_entry(d, "S"), 0);
    iniparser_freedict(d);
}

TEST_F(Ini, MissingFileAndDatNames)
{
    scratch_dir dir;
    fd_capture cap;
    EXPECT_EQ(iniparser_load(dir.path("none.ini").c_str()), nullptr);
    std::string err = cap.stop();
    EXPECT_NE(err.find("iniparser: cannot open " + dir.path("none.ini")), std::string::npos) << err;
    put_file(dir.path("x.DAT"), "[s]\nk=v\n");
    EXPECT_EQ(iniparser_load(dir.path("x.DAT").c_str()), nullptr);
}

// Only a regular file (a link to one is followed) of at most INI_FILE_MAX
// bytes is read: a device, a FIFO or a huge file is refused at once, by the
// reader and by the configuration API above it (which must not block on the
// FIFO either).
TEST_F(Ini, OnlyBoundedRegularFilesAreRead)
{
    scratch_dir dir;
    ASSERT_EQ(symlink("/dev/zero", dir.path("zero.ini").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.path("fifo.ini").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.path("dir.ini").c_str(), 0700), 0);
    put_file(dir.path("huge.ini"), "[s]\nk=v\n");
    ASSERT_EQ(truncate(dir.path("huge.ini").c_str(), INI_FILE_MAX + 1), 0);
    put_file(dir.path("real.ini"), "[s]\nk=v\n");
    ASSERT_EQ(symlink(dir.path("real.ini").c_str(), dir.path("link.ini").c_str()), 0);
    const struct {
        const char *name;
        const char *why;
    } refused[] = {
        {"zero.ini", "refused: not a regular file"},
        {"fifo.ini", "refused: not a regular file"},
        {"dir.ini", "refused: not a regular file"},
        {"huge.ini", "refused: 16777217 bytes, more than 16777216"},
    };
    for (const auto &c : refused) {
        std::string p = dir.path(c.name);
        fd_capture cap;
        EXPECT_EQ(iniparser_load(p.c_str()), nullptr) << c.name;
        EXPECT_EQ(conf_load(p.c_str()), nullptr) << c.name;
        EXPECT_EQ(conf_create_load(p.c_str()), nullptr) << c.name;
        std::string err = cap.stop();
        EXPECT_NE(err.find("[" + p + "] " + c.why), std::string::npos) << c.name << ": " << err;
    }
    conf_t *conf = conf_load(dir.path("link.ini").c_str());
    ASSERT_NE(conf, nullptr);
    EXPECT_STREQ(conf_get(conf, "s", "k", "<none>"), "v");
    conf_free(conf);
}

// A file read chunk by chunk that turns out longer than the limit (it grew,
// or its size said nothing) fails as a whole.
TEST_F(Ini, ReaderStopsPastItsLimit)
{
    std::string text;
    for (int i = 0; i < 100; i++)
        text += "[s" + std::to_string(i) + "]\nk=v\n";
    zkfile_t *f = zkopen_str(text.c_str());
    ASSERT_NE(f, nullptr);
    fd_capture cap;
    EXPECT_EQ(iniparser_load_limited(f, 500, "grown"), nullptr);
    EXPECT_NE(cap.stop().find("[grown] refused: more than 500 bytes"), std::string::npos);
    zkclose(f);
    f = zkopen_str(text.c_str());
    dictionary *d = iniparser_load_limited(f, (int64_t)text.size(), "whole");
    zkclose(f);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(iniparser_getnsec(d), 100);
    iniparser_freedict(d);
}

// Many sections: every one is read, found, listed in order and written back
// (lookups, listing and writing go by the index, not by scanning all slots
// for every entry).
TEST_F(Ini, FortyThousandSectionsReadListedAndWritten)
{
    scratch_dir dir;
    const int n = 40000;
    std::string text = "; head\n";
    for (int i = 0; i < n; i++)
        text += "[sec" + std::to_string(i) + "]\nkey=value " + std::to_string(i) + "\nother=x\n";
    put_file(dir.path("big.ini"), text);
    conf_t *conf = conf_load(dir.path("big.ini").c_str());
    ASSERT_NE(conf, nullptr);
    for (int i : {0, 1, n / 2, n - 1})
        EXPECT_EQ(std::string(conf_get(conf, ("sec" + std::to_string(i)).c_str(), "key", "<none>")),
                  "value " + std::to_string(i));
    EXPECT_STREQ(conf_get(conf, ("sec" + std::to_string(n)).c_str(), "key", "<none>"), "<none>");
    str_vector *secs = conf_get_sections(conf);
    ASSERT_NE(secs, nullptr);
    ASSERT_EQ(secs->count, (uint64_t)n);
    EXPECT_STREQ(secs->items[0], "sec0");
    EXPECT_STREQ(secs->items[n - 1], ("sec" + std::to_string(n - 1)).c_str());
    str_vector_free(secs);
    // Removing and adding keep the index right.
    EXPECT_EQ(conf_del_section(conf, "sec7"), 0);
    EXPECT_STREQ(conf_get(conf, "sec7", "key", "<none>"), "<none>");
    EXPECT_EQ(conf_set(conf, "sec7", "key", "again"), 0);
    EXPECT_STREQ(conf_get(conf, "sec7", "key", "<none>"), "again");
    EXPECT_EQ(conf_rename_section(conf, "sec8", "renamed"), 0);
    EXPECT_STREQ(conf_get(conf, "renamed", "other", "<none>"), "x");
    EXPECT_STREQ(conf_get(conf, "sec8", "other", "<none>"), "<none>");
    EXPECT_EQ(conf_save(conf), 0);
    conf_free(conf);
    std::string back = get_file(dir.path("big.ini"));
    EXPECT_EQ(back.find("value 7\n"), std::string::npos);
    EXPECT_NE(back.find("[sec7]\nkey=again\n"), std::string::npos);
    EXPECT_NE(back.find("[renamed]\nkey=value 8\nother=x\n"), std::string::npos);
    EXPECT_NE(back.find("[sec39999]\nkey=value 39999\nother=x\n"), std::string::npos);
}

TEST_F(Ini, PythonReadsWhatTheWriterWrites)
{
    scratch_dir dir;
    dictionary *d = dictionary_new(0);
    std::string expect;
    for (int s = 0; s < 3; ++s) {
        std::string sec = "Sec" + std::to_string(s);
        iniparser_set(d, sec.c_str(), nullptr);
        const char *vals[] = {"plain", "", "with spaces inside", "a=b", "CamelCase", "\xC3\xA9t\xC3\xA9"};
        for (int k = 0; k < 6; ++k) {
            std::string key = "Key" + std::to_string(k);
            iniparser_set(d, (sec + "\t" + key).c_str(), vals[k]);
            expect += sec + "\t" + key + "\t" + vals[k] + "\n";
        }
    }
    std::string text = "\xEF\xBB\xBF" + dump_text(d);
    put_file(dir.path("w.ini"), text);
    EXPECT_EQ(python_view(dir.path("w.ini")), expect);
    // This reader gets the same from the file.
    dictionary *back = iniparser_load(dir.path("w.ini").c_str());
    ASSERT_NE(back, nullptr);
    std::string mine;
    for (int s = 0; s < iniparser_getnsec(back); ++s) {
        const char *sec = iniparser_getsecname(back, s);
        const char *keys[16];
        int n = iniparser_getsecnkeys(back, sec);
        ASSERT_LE(n, 16);
        iniparser_getseckeys(back, sec, keys);
        for (int k = 0; k < n; ++k)
            mine += std::string(sec) + "\t" + keys[k] + "\t" + get(back, (std::string(sec) + "\t" + keys[k]).c_str()) + "\n";
    }
    EXPECT_EQ(mine, expect);
    iniparser_freedict(back);
    iniparser_freedict(d);
}

} // namespace
