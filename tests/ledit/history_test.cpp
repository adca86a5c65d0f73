// History ring, completion lists and the settings, without a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "libledit/ledit_imp.h"
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

std::vector<std::string> kept()
{
    std::vector<std::string> v;
    for (uint32_t n = ledit_history_first(); n < g_ledit.hist_count; n++)
        if (const char *l = ledit_history_get(n))
            v.push_back(l);
    return v;
}

TEST(LeditHistory, AddRules)
{
    ledit_history_clear();
    ledit_history_add("ls");
    ledit_history_add("ls");      // repeated: kept once
    ledit_history_add("history"); // never kept
    ledit_history_add("");
    ledit_history_add("pwd");
    ledit_history_add("ls");
    EXPECT_EQ(kept(), (std::vector<std::string>{"ls", "pwd", "ls"}));
    ledit_history_clear();
    EXPECT_TRUE(kept().empty());
}

TEST(LeditHistory, RingKeepsTheLast256)
{
    ledit_history_clear();
    for (int i = 1; i <= 300; i++)
        ledit_history_add(("echo " + std::to_string(i)).c_str());
    std::vector<std::string> v = kept();
    ASSERT_EQ(v.size(), 256u);
    EXPECT_EQ(v.front(), "echo 45");
    EXPECT_EQ(v.back(), "echo 300");
    ledit_history_clear();
}

TEST(LeditHistory, LongLineCut)
{
    ledit_history_clear();
    std::string big(5000, 'x');
    ledit_history_add(big.c_str());
    ASSERT_EQ(kept().size(), 1u);
    EXPECT_EQ(kept()[0].size(), 4095u);
    ledit_history_clear();
}

TEST(LeditHistory, SaveAndLoad)
{
    char dir[] = "/tmp/ledit_hist_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/h.txt";
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("one\r\n\ntwo\nthree", f);
        fclose(f);
    }
    ledit_history_clear();
    ASSERT_EQ(ledit_history_load(path.c_str()), 0);
    EXPECT_EQ(kept(), (std::vector<std::string>{"one", "two", "three"}));
    std::string out = path + ".out";
    ASSERT_EQ(ledit_history_save(out.c_str()), 0);
    FILE *f = fopen(out.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char text[64] = {0};
    size_t n = fread(text, 1, sizeof(text) - 1, f);
    fclose(f);
    EXPECT_EQ(std::string(text, n), "one\ntwo\nthree\n");
    EXPECT_EQ(ledit_history_load((std::string(dir) + "/missing").c_str()), -1);
    EXPECT_EQ(ledit_history_save((std::string(dir) + "/no/such/dir").c_str()), -1);
    unlink(out.c_str());
    unlink(path.c_str());
    rmdir(dir);
    ledit_history_clear();
}

TEST(LeditCompletions, AddCutsAndBounds)
{
    auto list = std::make_unique<ledit_completions>();
    memset(list.get(), 0, sizeof(*list));
    std::string longword(100, 'w'), longhelp(400, 'h'), longhint(200, 'i');
    EXPECT_EQ(ledit_completion_add(list.get(), longword.c_str(), nullptr), 0);
    EXPECT_EQ(ledit_completion_add_color(list.get(), "b", 132, longhelp.c_str(), 7), 0);
    EXPECT_EQ(strlen(list->words[0]), 63u);
    EXPECT_STREQ(list->helps[0], "");
    EXPECT_EQ(strlen(list->helps[1]), 255u);
    EXPECT_EQ(list->word_colors[1], 132u);
    EXPECT_EQ(list->help_colors[1], 7u);
    ledit_hint_set_color(list.get(), longhint.c_str(), 131);
    EXPECT_EQ(strlen(list->hint), 127u);
    EXPECT_EQ(list->hint_color, 131u);
    while (list->count < LEDIT_MAX_COMPLETIONS)
        ASSERT_EQ(ledit_completion_add(list.get(), "x", "y"), 0);
    EXPECT_EQ(ledit_completion_add(list.get(), "over", nullptr), -1);
    EXPECT_EQ(list->count, LEDIT_MAX_COMPLETIONS);
    EXPECT_EQ(ledit_completion_add(nullptr, "x", nullptr), -1);
}

TEST(LeditSettings, PagingSwitchReportsThePreviousState)
{
    int was = ledit_paging_set(0);
    EXPECT_EQ(ledit_paging_set(1), 0);
    EXPECT_EQ(ledit_paging_set(1), 1);
    ledit_paging_set(was);
}

} // namespace
