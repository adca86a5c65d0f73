// The editor on a pseudo-terminal: keys sent as the bytes a terminal sends,
// results read back from the editing child, the screen checked through a
// model of the terminal.
#include <gtest/gtest.h>

#include <string>

#include "ledit/pty_harness.h"
#include "libledit/ledit_imp.h"

using ledit_test::pty_child;
using ledit_test::screen;

namespace {

const char k_page_prompt[] = "*** Press <Space> or <Enter> to continue . . .";

// A child editing lines with prompt "> ", after setup() ran in it.
void start_editor(pty_child &c, int rows, int cols, std::function<void()> setup = nullptr,
                  const char *term = "xterm")
{
    c.start(rows, cols, term, [setup](int report) {
        ledit_prompt_color_set(131);
        if (setup)
            setup();
        ledit_test::edit_loop(report, "> ");
    });
}

TEST(LeditPty, PromptColourAndPlainTyping)
{
    pty_child c;
    start_editor(c, 24, 80);
    ASSERT_TRUE(c.send("hello\r"));
    EXPECT_EQ(c.next_result(), "line:hello");
    ASSERT_TRUE(c.sync());
    EXPECT_EQ(c.output().rfind("\r\033[m\033[92m> \033[m", 0), 0u) << c.output();
    EXPECT_NE(c.output().find(" \b\r\n"), std::string::npos); // the new line
    ASSERT_TRUE(c.send("\n"));
    EXPECT_EQ(c.next_result(), "line:");
}

TEST(LeditPty, EditingKeys)
{
    struct row {
        const char *keys;
        const char *line;
    } rows[] = {
        {"abc\x01X\r", "Xabc"},                          // Ctrl-A
        {"abc\x01\x05X\r", "abcX"},                      // Ctrl-E
        {"abc\x02\x02X\r", "aXbc"},                      // Ctrl-B
        {"abc\x01\x06X\r", "aXbc"},                      // Ctrl-F
        {"abc\x1b[D\x1b[DX\x1b[CY\r", "aXbYc"},          // Left, Right
        {"one two\x1b" "bX\r", "one Xtwo"},              // Alt-B
        {"one two\x01\x1b" "fX\r", "oneX two"},          // Alt-F
        {"one two\x1b[1;5DX\r", "one Xtwo"},             // Ctrl-Left
        {"one two\x1b\x1b[DX\r", "one Xtwo"},            // ESC+Left
        {"one two\x01\x1b[1;5CX\r", "oneX two"},         // Ctrl-Right
        {"abc def\x02\x02\x02\x0b\r", "abc"},            // Ctrl-K (then the blank dropped)
        {"abc def\x02\x02\x02\x0b\x01\x19\r", "defabc"}, // Ctrl-K, Ctrl-Y
        {"abc def\x02\x02\x02\x15\r", "def"},            // Ctrl-U
        {"abc def\x02\x02\x02\x15\x05\x16\r", "defabc"}, // Ctrl-U, Ctrl-V
        {"ls /tmp/a\x17\r", "ls"},                       // Ctrl-W
        {"ls /tmp/a\x17X \x19\r", "ls X /tmp/a"},        // Ctrl-W, Ctrl-Y
        {"ls /tmp/abc\x1b\x7f\r", "ls /tmp/"},           // Alt-Backspace
        {"ls /tmp/abc\x1f\x1b[2~\x1b[2~\r", "ls /tmp/abcabc"}, // Ctrl-_, Insert twice
        {"one two\x01\x1b" "d\r", " two"},                // Alt-D
        {"one two\x01\x1b[3;5~\r", " two"},              // Ctrl-Delete
        {"abc\x18\x19\x19\r", "abcabc"},                 // Ctrl-X, paste twice
        {"abc\x1br\x19\r", "abc"},                       // Alt-R keeps the cut buffer
        {"ab\x14\r", "ba"},                              // Ctrl-T at the end
        {"abc\x02\x14X\r", "acbX"},                      // Ctrl-T inside: swap and advance
        {"a b\x14\r", "a b"},                            // Ctrl-T next to a delimiter
        {"a\x14\r", "a"},                                // Ctrl-T at position 1
        {"abc def\x01\x1bu\r", "ABC def"},               // Alt-U
        {"ABC DEF\x01\x1bl\r", "abc DEF"},               // Alt-L
        {"abc def\x01\x1b" "f\x1b" "cX\r", "abc DefX"},  // Alt-C on the following word
        {"abc\x01\x1b[3~\r", "bc"},                      // Delete
        {"abc\x01\x04\r", "bc"},                         // Ctrl-D inside the line
        {"abc\x04\r", "abc"},                            // Ctrl-D at the end: nothing
        {"abcd\x7f\x08\r", "ab"},                        // DEL and Ctrl-H
        {"bc\x1b[1~a\x1b[4~d\r", "abcd"},                // Home/End: ESC [ 1 ~ / 4 ~
        {"bc\x1b[Ha\x1b[Fd\r", "abcd"},                  // Home/End: ESC [ H / F
        {"a   b\x02\x02\x1b\\\r", "ab"},                 // Alt-\ deletes blanks around
        {"ab\x1b[1;2A\x1b[2xc\r", "abc"},                // ignored sequences insert nothing
        {"x\x0a", "x"},                                  // Ctrl-J
        {"mount \r", "mount"},                           // one trailing blank dropped
        {"a  \r", "a "},
        // UTF-8 is taken whole: inserted, moved over, deleted and swapped as
        // characters; bytes that make no character are dropped.
        {"h\xc3\xa9llo\r", "h\xc3\xa9llo"},
        {"a\xc3\xa9\x1b[DX\r", "aX\xc3\xa9"},                   // Left
        {"\xc3\xa9" "b\x01\x06X\r", "\xc3\xa9Xb"},                // Ctrl-A, Ctrl-F
        {"a\xe2\x82\xac\x7f\r", "a"},                         // Backspace
        {"\xf0\x9f\x98\x80z\x01\x1b[3~\r", "z"},              // Delete
        {"\xc3\xa9\xe2\x82\xac\x14\r", "\xe2\x82\xac\xc3\xa9"}, // Ctrl-T
        {"\xc3\xa9 \xc3\xa0\x1b\x7f\r", "\xc3\xa9"},              // Alt-Backspace: a word of them
        {"a\xc3(b\xff\xed\xa0\x80\xc0\xaf\r", "ab"},           // broken, surrogate, overlong
    };
    pty_child c;
    start_editor(c, 24, 80);
    for (const row &r : rows) {
        ASSERT_TRUE(c.send(r.keys)) << testing::PrintToString(std::string(r.keys));
        EXPECT_EQ(c.next_result(), std::string("line:") + r.line) << testing::PrintToString(std::string(r.keys));
    }
}

TEST(LeditPty, AbortAndEndOfInput)
{
    pty_child c;
    start_editor(c, 24, 80);
    ASSERT_TRUE(c.send("abc\x07"));
    EXPECT_EQ(c.next_result(), "none:" + std::to_string(EAGAIN));
    ASSERT_TRUE(c.send("\x07"));
    EXPECT_EQ(c.next_result(), "none:" + std::to_string(EAGAIN));
    ASSERT_TRUE(c.send("ab\x08\x08\x04"));
    EXPECT_EQ(c.next_result(), "none:0");
    int st = c.wait_exit();
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(LeditPty, CtrlCEndsWithStatus1)
{
    pty_child c;
    start_editor(c, 24, 80);
    ASSERT_TRUE(c.send("abc\x03"));
    int st = c.wait_exit();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 1);
}

TEST(LeditPty, CtrlZStopsAndEditingResumes)
{
    pty_child c;
    start_editor(c, 24, 80);
    ASSERT_TRUE(c.send("ab\x1a"));
    int st = c.wait_exit(WUNTRACED);
    ASSERT_TRUE(WIFSTOPPED(st)) << st;
    EXPECT_EQ(WSTOPSIG(st), SIGSTOP);
    kill(c.pid, SIGCONT);
    ASSERT_TRUE(c.send("c\r"));
    EXPECT_EQ(c.next_result(), "line:abc");
}

// A line wider than the window: insertions, row moves, deletions that
// end exactly at a row's end, all redrawn where they belong.
TEST(LeditPty, WrappedLineRedraw)
{
    const int rows = 10, cols = 20;
    pty_child c;
    start_editor(c, rows, cols);
    const std::string text = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHI"; // 45
    ASSERT_TRUE(c.send(text));
    ASSERT_TRUE(c.sync());
    screen s = c.show(rows, cols);
    EXPECT_EQ(s.row(0), "> abcdefghijklmnopqr");
    EXPECT_EQ(s.row(1), "stuvwxyz0123456789AB");
    EXPECT_EQ(s.row(2), "CDEFGHI");
    EXPECT_EQ(s.r, 2);
    EXPECT_EQ(s.c, 7);

    ASSERT_TRUE(c.send("\x01X")); // insert at the start: every row shifts
    ASSERT_TRUE(c.sync());
    s = c.show(rows, cols);
    EXPECT_EQ(s.row(0), "> Xabcdefghijklmnopq");
    EXPECT_EQ(s.row(1), "rstuvwxyz0123456789A");
    EXPECT_EQ(s.row(2), "BCDEFGHI");
    EXPECT_EQ(s.r, 0);
    EXPECT_EQ(s.c, 3);

    ASSERT_TRUE(c.send("\x1b[1;5B")); // Ctrl-Down: one row down
    ASSERT_TRUE(c.sync());
    s = c.show(rows, cols);
    EXPECT_EQ(s.r, 1);
    EXPECT_EQ(s.c, 3);
    ASSERT_TRUE(c.send("\x1b[A")); // Up inside a wrapped line: one row up
    ASSERT_TRUE(c.sync());
    s = c.show(rows, cols);
    EXPECT_EQ(s.r, 0);
    EXPECT_EQ(s.c, 3);

    // Down to 38 characters: the end falls on a row boundary.
    ASSERT_TRUE(c.send("\x05\x7f\x7f\x7f\x7f\x7f\x7f\x7f\x7f"));
    ASSERT_TRUE(c.sync());

    s = c.show(rows, cols);
    EXPECT_EQ(s.row(0), "> Xabcdefghijklmnopq");
    EXPECT_EQ(s.row(1), "rstuvwxyz0123456789A");
    EXPECT_EQ(s.row(2), "");
    EXPECT_EQ(s.r, 2);
    EXPECT_EQ(s.c, 0);

    ASSERT_TRUE(c.send("Z\x1b[1;5A\x0b")); // Ctrl-Up from 39 to 19, then cut to the end
    ASSERT_TRUE(c.sync());
    s = c.show(rows, cols);
    EXPECT_EQ(s.row(0), "> Xabcdefghijklmnopq");
    EXPECT_EQ(s.row(1), "r");
    EXPECT_EQ(s.row(2), "");
    EXPECT_EQ(s.r, 1);
    EXPECT_EQ(s.c, 1);
    ASSERT_TRUE(c.send("\r"));
    EXPECT_EQ(c.next_result(), "line:Xabcdefghijklmnopqr");
}

// UTF-8 characters on the screen: one cell each, the cursor placed by
// characters, wrapped rows counted by cells.
TEST(LeditPty, Utf8CharactersTakeOneCellEach)
{
    const int rows = 10, cols = 10;
    pty_child c;
    start_editor(c, rows, cols);
    ASSERT_TRUE(c.send("h\xc3\xa9llo\x1b[D\x1b[D\x1b[DX"));
    ASSERT_TRUE(c.sync());
    screen s = c.show(rows, cols);
    EXPECT_EQ(s.row(0), "> h*Xllo");
    EXPECT_EQ(s.c, 5);
    ASSERT_TRUE(c.send("\x18")); // Ctrl-X: the whole line goes
    ASSERT_TRUE(c.sync());
    std::string twelve;
    for (int i = 0; i < 12; i++)
        twelve += "\xc3\xa9";
    ASSERT_TRUE(c.send(twelve));
    ASSERT_TRUE(c.sync());
    s = c.show(rows, cols);
    EXPECT_EQ(s.row(0), "> ********");
    EXPECT_EQ(s.row(1), "****");
    EXPECT_EQ(s.r, 1);
    EXPECT_EQ(s.c, 4);
    ASSERT_TRUE(c.send("\x1b[1;5A")); // Ctrl-Up: one row up, the same column
    ASSERT_TRUE(c.sync());
    s = c.show(rows, cols);
    EXPECT_EQ(s.r, 0);
    EXPECT_EQ(s.c, 4);
    ASSERT_TRUE(c.send("\x7f\r")); // the second of them goes
    EXPECT_EQ(c.next_result(), "line:" + twelve.substr(2));
}

TEST(LeditPty, HistoryBrowsing)
{
    pty_child c;
    start_editor(c, 24, 80);
    for (const char *l : {"one\r", "one\r", "history\r", "two\r"}) {
        ASSERT_TRUE(c.send(l));
        c.next_result();
    }
    ASSERT_TRUE(c.send("\x1b[A\x1b[A\r")); // kept: one, two
    EXPECT_EQ(c.next_result(), "line:one");
    ASSERT_TRUE(c.send("\x10\x10\x10\x0e\r")); // kept: one, two, one; Ctrl-P thrice, Ctrl-N
    EXPECT_EQ(c.next_result(), "line:two");
    ASSERT_TRUE(c.send("typed\x1b[A\x1b[A\x1b[B\x1b[B\r")); // back to the line being typed
    EXPECT_EQ(c.next_result(), "line:typed");
    ASSERT_TRUE(c.send("x\x1b[A\x1b[A\x1b[A\x1b[A\x1b[A\x1b[A\x1b[A\r")); // stops at the oldest
    EXPECT_EQ(c.next_result(), "line:one");
    size_t mark = c.output().size();
    ASSERT_TRUE(c.send("ab\x1bOQ")); // F2: the history, numbered, then the line again
    ASSERT_TRUE(c.sync());
    EXPECT_NE(c.output().find("   1  one\r\n   2  two\r\n   3  one\r\n   4  two\r\n   5  typed\r\n   6  one\r\n"
                              "\r\033[m\033[92m> \033[mab",
                              mark),
              std::string::npos)
        << testing::PrintToString(c.output().substr(mark));
    ASSERT_TRUE(c.send("\r"));
    EXPECT_EQ(c.next_result(), "line:ab");
}

TEST(LeditPty, PageUpReachesTheOldestOfTheRing)
{
    char path[] = "/tmp/ledit_pty_hist_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string all;
    for (int i = 1; i <= 300; i++)
        all += "echo " + std::to_string(i) + "\n";
    ASSERT_EQ(write(fd, all.data(), all.size()), (ssize_t)all.size());
    close(fd);
    std::string p = path;
    pty_child c;
    start_editor(c, 24, 80, [p] { ledit_history_load(p.c_str()); });
    ASSERT_TRUE(c.send("\x1b[5~\r"));
    EXPECT_EQ(c.next_result(), "line:echo 45");
    ASSERT_TRUE(c.send("\x1b<\x1b[A\r")); // Alt-<, and nothing older
    EXPECT_EQ(c.next_result(), "line:echo 46"); // ring moved on by one line
    ASSERT_TRUE(c.send("abc\x1b[5~\x1b[6~\r"));
    EXPECT_EQ(c.next_result(), "line:abc");
    ASSERT_TRUE(c.send("abc\x1b[5~\x1b>\r"));
    EXPECT_EQ(c.next_result(), "line:abc");
    unlink(path);
}

void search_history_setup()
{
    for (const char *l : {"select from t where a", "select from t where a order by b", "SELECT FROM u WHERE c",
                          "select x from t where a", "ls -l"})
        ledit_history_add(l);
}

TEST(LeditPty, SearchWithPatterns)
{
    pty_child c;
    start_editor(c, 24, 80, search_history_setup);
    // Included quoted phrase, included word, excluded quoted phrase.
    ASSERT_TRUE(c.send("keep\x12\"select from\" where -\"order by\"\r"));
    ASSERT_TRUE(c.wait_output("Input history id: "));
    std::string out = c.output();
    EXPECT_NE(out.find("Input Patterns <F1> help: "), std::string::npos);
    EXPECT_NE(out.find("   1  select from t where a\r\n   2  SELECT FROM u WHERE c\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("order by b\r\n"), std::string::npos);
    ASSERT_TRUE(c.send("2\r\r"));
    EXPECT_EQ(c.next_result(), "line:SELECT FROM u WHERE c");

    // An empty answer keeps the line being typed.
    ASSERT_TRUE(c.send("keep\x12select\r\r\r"));
    EXPECT_EQ(c.next_result(), "line:keep");
    // A number out of range is refused and the line kept.
    size_t mark = c.output().size();
    ASSERT_TRUE(c.send("keep\x12select\r9\r\r"));
    EXPECT_EQ(c.next_result(), "line:keep");
    EXPECT_TRUE(c.wait_output("Invalid history id: 9", mark));
    // One match: the answer starts as 1.
    ASSERT_TRUE(c.send("\x12\"ls -l\"\r\r\r"));
    EXPECT_EQ(c.next_result(), "line:ls -l");
    // No match: no question, the saved line stays.
    ASSERT_TRUE(c.send("zz\x12nothing-like-this\r\r"));
    EXPECT_EQ(c.next_result(), "line:zz");
    // The patterns went to the cut buffer.
    ASSERT_TRUE(c.send("\x19\r"));
    EXPECT_EQ(c.next_result(), "line:nothing-like-this");
    // Only 16 patterns count: the 17th, which would exclude everything, not.
    ASSERT_TRUE(c.send("\x12\"ls -l\" l l l l l l l l l l l l l l l -l\r1\r\r"));
    EXPECT_EQ(c.next_result(), "line:ls -l");
    // F4 starts from the current line as the patterns.
    ASSERT_TRUE(c.send("\"WHERE C\"\x1bOS\r1\r\r"));
    EXPECT_EQ(c.next_result(), "line:SELECT FROM u WHERE c");
}

TEST(LeditPty, F3ClearsTheHistoryAfterConfirm)
{
    pty_child c;
    start_editor(c, 24, 80, search_history_setup);
    ASSERT_TRUE(c.send("\x1bORn\x1b[A\r")); // not confirmed
    EXPECT_EQ(c.next_result(), "line:ls -l");
    ASSERT_TRUE(c.send("\x1bORy\x1b[A\r"));
    EXPECT_EQ(c.next_result(), "line:");
    ASSERT_TRUE(c.sync());
    std::string out = c.output();
    EXPECT_NE(out.find("\r\n!!! Confirm to clear history [y]: \r\nHistory are cleared!"), std::string::npos) << out;
    EXPECT_NE(out.find("\r\nHistory are cleared!"), std::string::npos);
}

// Completion hook of the tests: command names with help, or (after "show ")
// bare names listed in columns; a long list for paging after "page".
void test_hook(const char *line, ledit_completions *list)
{
    static const char *const cmds[] = {"show", "set", "source", "system2", "system3", "mount", "umount"};
    if (strncmp(line, "show ", 5) == 0) {
        static const char *const names[] = {"info", "memory", "llog", "dvar", "config", "openfile",
                                            "abcdefghi", "v1", "v2", "v3", "v4", "v5", "v6"};
        for (const char *n : names)
            if (strncmp(n, line + 5, strlen(line + 5)) == 0)
                ledit_completion_add_color(list, n, 134, nullptr, 0);
        return;
    }
    if (strncmp(line, "page", 4) == 0) {
        for (int i = 0; i < 40; i++)
            ledit_completion_add(list, ("page" + std::to_string(i)).c_str(), "a page line");
        ledit_hint_set_color(list, "<number>", 131);
        return;
    }
    for (const char *n : cmds)
        if (strncasecmp(n, line, strlen(line)) == 0)
            ledit_completion_add_color(list, n, 132, "does things", 7);
}

TEST(LeditPty, Completion)
{
    pty_child c;
    start_editor(c, 24, 80, [] { ledit_set_complete_hook(test_hook); });
    ASSERT_TRUE(c.send("mo\t"));
    ASSERT_TRUE(c.sync());
    EXPECT_EQ(c.show(24, 80).row(0), "> mount");
    ASSERT_TRUE(c.send("\r"));
    EXPECT_EQ(c.next_result(), "line:mount");

    size_t mark = c.output().size();
    ASSERT_TRUE(c.send("sy\t"));
    ASSERT_TRUE(c.sync());
    std::string out = c.output().substr(mark);
    EXPECT_NE(out.find("\033[m\033[93msystem2    \033[m\033[36mdoes things"), std::string::npos) << out;
    EXPECT_NE(out.find("system3"), std::string::npos);
    ASSERT_TRUE(c.send("\r"));
    EXPECT_EQ(c.next_result(), "line:system");

    mark = c.output().size();
    ASSERT_TRUE(c.send("s\t\r"));
    EXPECT_EQ(c.next_result(), "line:s");
    ASSERT_TRUE(c.sync());
    out = c.output().substr(mark);
    for (const char *w : {"show", "set", "source", "system2", "system3"})
        EXPECT_NE(out.find(w), std::string::npos) << w;
    EXPECT_EQ(out.find("mount"), std::string::npos);

    mark = c.output().size();
    ASSERT_TRUE(c.send("sy\x1b?\r")); // Alt-? only lists
    EXPECT_EQ(c.next_result(), "line:sy");
    ASSERT_TRUE(c.sync());
    EXPECT_NE(c.output().find("system2", mark), std::string::npos);
    ASSERT_TRUE(c.send("sy\x1b=\r"));
    EXPECT_EQ(c.next_result(), "line:sy");

    ASSERT_TRUE(c.send("xmo\x01\x06\x06\x06\t\r")); // not at the end: nothing
    EXPECT_EQ(c.next_result(), "line:xmo");
    ASSERT_TRUE(c.send("MO\t\r")); // compared without case, the word's own text
    EXPECT_EQ(c.next_result(), "line:mount");
}

TEST(LeditPty, CompletionColumns)
{
    pty_child c;
    start_editor(c, 40, 80, [] { ledit_set_complete_hook(test_hook); });
    ASSERT_TRUE(c.send("show \t"));
    ASSERT_TRUE(c.sync());
    screen s = c.show(40, 80);
    // Longest word 9: (80 - 1 - 9) / 13 + 1 = 6 words a row, 13 columns each.
    EXPECT_EQ(s.row(1), "info         memory       llog         dvar         config       openfile");
    EXPECT_EQ(s.row(2), "abcdefghi    v1           v2           v3           v4           v5");
    EXPECT_EQ(s.row(3), "v6");
    EXPECT_EQ(s.row(4), "> show");
    ASSERT_TRUE(c.send("\r"));
    EXPECT_EQ(c.next_result(), "line:show");
}

TEST(LeditPty, PagingOfLongListings)
{
    const int rows = 10;
    pty_child c;
    start_editor(c, rows, 80, [] { ledit_set_complete_hook(test_hook); });
    ASSERT_TRUE(c.send("page\x1b?"));
    ASSERT_TRUE(c.wait_output(k_page_prompt));
    ASSERT_TRUE(c.sync());
    std::string out = c.output();
    EXPECT_NE(out.find("Please input: \033[m\033[92m<number>"), std::string::npos);
    // A page is rows - 1 lines: the hint is no listing line, then 9 words.
    EXPECT_NE(out.find("page8 "), std::string::npos);
    EXPECT_EQ(out.find("page9 "), std::string::npos);
    size_t mark = out.size();
    ASSERT_TRUE(c.send(" "));
    ASSERT_TRUE(c.wait_output(k_page_prompt, mark));
    ASSERT_TRUE(c.sync());
    out = c.output();
    std::string erase = std::string(46, '\b') + std::string(46, ' ') + std::string(46, '\b');
    EXPECT_EQ(out.substr(mark, erase.size()), erase);
    EXPECT_NE(out.find("page17 "), std::string::npos);
    EXPECT_EQ(out.find("page18 "), std::string::npos);
    mark = out.size();
    ASSERT_TRUE(c.send("q")); // any other key stops the listing
    ASSERT_TRUE(c.sync());
    out = c.output();

    EXPECT_EQ(out.find("page18 "), std::string::npos);
    EXPECT_NE(out.find("\033[92m> \033[mpage", mark), std::string::npos);
    ASSERT_TRUE(c.send("\r"));
    EXPECT_EQ(c.next_result(), "line:page");
}

TEST(LeditPty, PagingOff)
{
    pty_child c;
    start_editor(c, 10, 80, [] {
        ledit_set_complete_hook(test_hook);
        ledit_paging_set(0);
    });
    ASSERT_TRUE(c.send("page\x1b?\r"));
    EXPECT_EQ(c.next_result(), "line:page");
    ASSERT_TRUE(c.sync());
    std::string out = c.output();
    EXPECT_NE(out.find("page39 "), std::string::npos);
    EXPECT_EQ(out.find(k_page_prompt), std::string::npos);
}

TEST(LeditPty, HelpScreens)
{
    pty_child c;
    start_editor(c, 100, 120);
    ASSERT_TRUE(c.send("\x1bOP"));
    ASSERT_TRUE(c.wait_output("Ctrl/Alt-Up, Ctrl/Alt-Down will just move between lines.\r\n"));
    ASSERT_TRUE(c.sync());
    std::string out = c.output();
    EXPECT_NE(out.find(" Misc Commands\r\n +-------------------------+------------------------------------"
                       "--------------+\r\n | F1                      |"),
              std::string::npos)
        << testing::PrintToString(out);
    EXPECT_NE(out.find(" | Ctrl-B, Left            |  Move back a character.                          |\r\n"),
              std::string::npos);
    EXPECT_NE(out.find("       Ctrl/Alt-Up, Ctrl/Alt-Down will just move between lines.\r\n"), std::string::npos);
    size_t lines = 0;
    for (size_t i = out.find(" Misc Commands"); i < out.size(); i++)
        if (out[i] == '\n')
            lines++;
    EXPECT_EQ(lines, 77u);
    // F1 while typing search patterns: the search help.
    ASSERT_TRUE(c.send("\x12\x1bOP\x07\r"));
    EXPECT_EQ(c.next_result(), "line:");
    EXPECT_TRUE(c.wait_output("Patterns are separated by ' ', patter match is case insensitive:"));
}

TEST(LeditPty, KeyboardDebugMode)
{
    pty_child c;
    start_editor(c, 24, 80);
    ASSERT_TRUE(c.send("ab\x1e" "a\x01\x03" "c\r"));
    EXPECT_EQ(c.next_result(), "line:abc");
    ASSERT_TRUE(c.sync());
    std::string out = c.output();
    EXPECT_NE(out.find("\r\nEnter keyboard debug mode, <Ctrl-C> to exit debug\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" 97 0x61 (a)\r\n  1 0x01 ( )\r\n"), std::string::npos) << testing::PrintToString(out);
}

TEST(LeditPty, PlainTerminalTypesUseTheFallback)
{
    for (const char *term : {"DUMB", "dumb", "cons25", "Emacs"}) {
        pty_child c;
        start_editor(c, 24, 80, nullptr, term);
        ASSERT_TRUE(c.wait_idle());
        EXPECT_FALSE(c.raw_now());
        ASSERT_EQ(write(c.master, "a\x01" "b\n", 4), 4);
        EXPECT_EQ(c.next_result(), "line:a\x01" "b") << term;
        ASSERT_TRUE(c.wait_idle());
        ASSERT_EQ(write(c.master, "\x04", 1), 1); // end of input
        EXPECT_EQ(c.next_result(), "none:0");
        EXPECT_EQ(c.wait_exit(), 0);
        EXPECT_EQ(c.output().find("> "), std::string::npos) << term << ": no prompt";
    }
}

TEST(LeditPty, UnsetTermUsesTheEditor)
{
    pty_child c;
    start_editor(c, 24, 80, nullptr, nullptr);
    ASSERT_TRUE(c.send("ab\x01X\r"));
    EXPECT_EQ(c.next_result(), "line:Xab");
    ASSERT_TRUE(c.sync());
    EXPECT_NE(c.output().find("> "), std::string::npos);
}

TEST(LeditPty, ColourWords)
{
    pty_child c;
    c.start(24, 80, "xterm", [](int report) {
        std::string all;
        for (uint32_t col : {131u, 132u, 134u, 135u, 7u, 8u, 0x10203u, 0u}) {
            char t[64];
            ledit_color_text(col, t, sizeof(t));
            all += std::string(t) + "|";
        }
        all += "\n";
        if (write(report, all.data(), all.size()) < 0)
            _exit(3);
    });
    EXPECT_EQ(c.next_result(), "\033[m\033[92m|\033[m\033[93m|\033[m\033[95m|\033[m\033[96m|\033[m\033[36m|"
                               "\033[m\033[37m|\033[m\033[32m\033[41m\033[4m|\033[m|");
}

TEST(LeditPty, NarrowWindowCountsAs160Columns)
{
    pty_child c;
    c.start(1, 1, "xterm", [](int report) {
        ledit_window_size();
        std::string t = std::to_string(g_ledit.cols) + "x" + std::to_string(g_ledit.rows) + "\n";
        if (write(report, t.data(), t.size()) < 0)
            _exit(3);
    });
    EXPECT_EQ(c.next_result(), "160x24");
}

TEST(LeditPty, CtrlLClearsTheScreen)
{
    pty_child c;
    start_editor(c, 24, 80);
    ASSERT_TRUE(c.send("ab\x0c"));
    ASSERT_TRUE(c.sync());
    std::string out = c.output();
    size_t clear = out.find("\033[2J");
    ASSERT_NE(clear, std::string::npos) << testing::PrintToString(out);
    EXPECT_NE(out.find("\r\033[m\033[92m> \033[mab", clear), std::string::npos);
    ASSERT_TRUE(c.send("c\r"));
    EXPECT_EQ(c.next_result(), "line:abc");
}

TEST(LeditPty, CursorPositionQuery)
{
    pty_child c;
    c.start(24, 80, "xterm", [](int report) {
        int row = -1, col = -1;
        int r = ledit_cursor_get(&row, &col);
        std::string t = std::to_string(r) + ":" + std::to_string(row) + "," + std::to_string(col) + "\n";
        if (write(report, t.data(), t.size()) < 0)
            _exit(3);
    });
    ASSERT_TRUE(c.wait_output("\033[6n"));
    ASSERT_TRUE(c.send("\033[5;10R"));
    EXPECT_EQ(c.next_result(), "0:4,9");
}

TEST(LeditColour, NothingWhenStdoutIsNoTerminal)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        char t[64] = "x";
        ledit_color_text(131, t, sizeof(t));
        ledit_color_reset();
        _exit(t[0] == '\0' ? 0 : 1);
    }
    close(p[0]);
    close(p[1]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

// A stop request from a signal handler ends the read in progress and
// every later one; the terminal is back in its own mode.
TEST(LeditPty, InterruptEndsTheReadForGood)
{
    pty_child c;
    c.start(24, 80, "xterm", [](int report) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = [](int) { ledit_interrupt(); };
        sa.sa_flags = SA_RESTART; // the wait must end all the same
        sigaction(SIGUSR1, &sa, nullptr);
        char buf[64];
        std::string msg;
        for (int i = 0; i < 2; i++) {
            errno = 0;
            char *r = ledit_readline("> ", buf, sizeof(buf));
            msg += r ? std::string("line:") + buf : "none:" + std::to_string(errno);
            msg += i ? "\n" : "|";
        }
        if (write(report, msg.data(), msg.size()) < 0)
            _exit(3);
    });
    ASSERT_TRUE(c.send("abc"));
    ASSERT_TRUE(c.sync());
    ASSERT_TRUE(c.raw_now());
    kill(c.pid, SIGUSR1);
    EXPECT_EQ(c.next_result(), "none:" + std::to_string(EINTR) + "|none:" + std::to_string(EINTR));
    EXPECT_FALSE(c.raw_now());
}

// The plain fallback's wait ends the same way, also for a request that
// comes before the wait begins.
TEST(LeditFallback, InterruptEndsTheWait)
{
    int in[2], rep[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(rep), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(rep[0]);
        signal(SIGUSR1, [](int) { ledit_interrupt(); });
        if (write(rep[1], "R", 1) != 1)
            _exit(3);
        char buf[64];
        errno = 0;
        char *r = ledit_readline("> ", buf, sizeof(buf));
        std::string msg = r ? "line" : "none:" + std::to_string(errno);
        _exit(write(rep[1], msg.data(), msg.size()) < 0 ? 3 : 0);
    }
    close(rep[1]);
    char ready = 0;
    ASSERT_EQ(read(rep[0], &ready, 1), 1);
    kill(pid, SIGUSR1);
    std::string got;
    char b[64];
    ssize_t n = 1;
    struct pollfd p = {rep[0], POLLIN, 0};
    while (n > 0 && poll(&p, 1, 30000) > 0 && (n = read(rep[0], b, sizeof(b))) > 0)
        got.append(b, (size_t)n);
    kill(pid, SIGKILL); // when it did not end by itself
    close(in[0]);
    close(in[1]);
    close(rep[0]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(got, "none:" + std::to_string(EINTR));
}

TEST(LeditPty, HangUpIsTheEndOfInput)
{
    pty_child c;
    start_editor(c, 24, 80, [] { signal(SIGHUP, SIG_IGN); });
    ASSERT_TRUE(c.send("abc"));
    ASSERT_TRUE(c.sync());
    c.hang_up(); // the terminal goes away: reads fail from now on
    EXPECT_EQ(c.next_result(), "none:0");
    int st = c.wait_exit();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

// Standard input that is no terminal: plain lines without the prompt.
TEST(LeditFallback, PipeInput)
{
    int in[2], rep[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(rep), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        setenv("TERM", "xterm", 1);
        ledit_test::edit_loop(rep[1], "> ");
    }
    close(in[0]);
    close(rep[1]);
    const char text[] = "one\r\n\ntwo\nlast";
    ASSERT_EQ(write(in[1], text, sizeof(text) - 1), (ssize_t)sizeof(text) - 1);
    close(in[1]);
    std::string all;
    char b[256];
    ssize_t n;
    while ((n = read(rep[0], b, sizeof(b))) > 0)
        all.append(b, (size_t)n);
    close(rep[0]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(all, "line:one\nline:\nline:two\nline:last\nnone:0\n");
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(LeditPty, ResizeRedrawsTheLine)
{
    pty_child c;
    start_editor(c, 10, 20);
    ASSERT_TRUE(c.send("abcdefghijklmnopqrstuvwxyz"));
    ASSERT_TRUE(c.sync());
    struct winsize ws;
    memset(&ws, 0, sizeof(ws));
    ws.ws_row = 10;
    ws.ws_col = 40;
    // The redraw may come at the signal or with the next key: mark first.
    size_t mark = c.output().size();
    ASSERT_EQ(ioctl(c.master, TIOCSWINSZ, &ws), 0);
    ASSERT_TRUE(c.send("\x05"));
    ASSERT_TRUE(c.sync());
    std::string out = c.output().substr(mark);
    EXPECT_NE(out.find("\r\033[J\r\033[m\033[92m> \033[mabcdefghijklmnopqrstuvwxyz"), std::string::npos) << out;
    ASSERT_TRUE(c.send("\r"));
    EXPECT_EQ(c.next_result(), "line:abcdefghijklmnopqrstuvwxyz");
}

TEST(LeditPty, LineLimitAndBadArguments)
{
    pty_child c;
    c.start(24, 80, "xterm", [](int report) {
        char small[4];
        std::string msg;
        char *r = ledit_readline("> ", small, sizeof(small));
        msg += r ? std::string("line:") + small : "none";
        msg += "|";
        errno = 0;
        msg += ledit_readline("> ", nullptr, 10) ? "buf" : "null:" + std::to_string(errno);
        msg += ledit_readline("> ", small, 1) ? "buf" : "|null:" + std::to_string(errno);
        msg += "\n";
        if (write(report, msg.data(), msg.size()) < 0)
            _exit(3);
    });
    ASSERT_TRUE(c.send("abcdef\x01\x19\r")); // only 3 characters fit; the paste does not
    EXPECT_EQ(c.next_result(), "line:abc|null:" + std::to_string(EINVAL) + "|null:" + std::to_string(EINVAL));
}

} // namespace
