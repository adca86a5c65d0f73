// Strict and lenient bounded helpers at their exact boundaries.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "capture.h"
#include "libpal/string/str_safe.h"

TEST(StrSafe, CopyBoundaries)
{
    char d[4];
    EXPECT_EQ(str_safecopy(d, 4, "abc"), 0);
    EXPECT_STREQ(d, "abc");

    errno = 0;
    fd_capture cap;
    EXPECT_EQ(str_safecopy(d, 4, "abcd"), 34);
    std::string err = cap.stop();
    EXPECT_STREQ(d, "");
    EXPECT_EQ(errno, 34);
    EXPECT_NE(err.find("need_size=5 buf_size=4 head=[abcd]"), std::string::npos) << err;
    EXPECT_NE(err.find("release no stack info"), std::string::npos);

    EXPECT_EQ(str_safecopy_trunc(d, 4, "abcd"), 0);
    EXPECT_STREQ(d, "abc");
    EXPECT_EQ(str_safecopy_len(d, "abcdef", 4), 3u);

    char one[1];
    EXPECT_EQ(str_safecopy(one, 1, ""), 0);
    {
        fd_capture quiet;
        EXPECT_EQ(str_safecopy(one, 1, "x"), 34);
    }
    EXPECT_STREQ(one, "");

    // Copy onto itself: untouched even when longer than the size.
    char self[] = "abcdefgh";
    EXPECT_EQ(str_safecopy(self, 2, self), 0);
    EXPECT_STREQ(self, "abcdefgh");
}

TEST(StrSafe, AppendBoundaries)
{
    char d[8] = "abc";
    EXPECT_EQ(str_safecat(d, 8, "defg"), 0);
    EXPECT_STREQ(d, "abcdefg");
    strcpy(d, "abc");
    {
        fd_capture quiet;
        EXPECT_EQ(str_safecat(d, 8, "defgh"), 34);
    }
    EXPECT_STREQ(d, ""); // the earlier text is gone too
    strcpy(d, "abc");
    EXPECT_EQ(str_safecat_trunc(d, 8, "defghij"), 0);
    EXPECT_STREQ(d, "abcdefg");
    strcpy(d, "ab");
    EXPECT_EQ(str_safecat_chr(d, 8, 'c'), 0);
    EXPECT_STREQ(d, "abc");
}

TEST(StrSafe, FormattedWrite)
{
    char d[4];
    EXPECT_EQ(str_sprintf_s(d, 4, "%s", "abc"), 3);
    {
        fd_capture cap;
        errno = 0;
        EXPECT_EQ(str_sprintf_s(d, 4, "%s", "abcd"), 4); // the length it needed
        EXPECT_EQ(errno, 0);
        EXPECT_NE(cap.stop().find("need_size=5 buf_size=4"), std::string::npos);
    }
    EXPECT_STREQ(d, "");
    EXPECT_EQ(str_sprintf_s2(d, 4, "%s", "abcd"), 3);
    EXPECT_STREQ(d, "abc");
    EXPECT_EQ(str_sprintf_s(d, 4, "%s", ""), 0);
    EXPECT_STREQ(d, "");
}

TEST(StrSafe, FormattedAppend)
{
    char d[8] = "abcdefg"; // full: strlen = size-1
    EXPECT_EQ(strcat_printf2(d, 8, "%s", "x"), 7);
    EXPECT_STREQ(d, "abcdefg");
    char nt[4] = {'a', 'b', 'c', 'd'}; // no terminator within size
    EXPECT_EQ(strcat_printf2(nt, 4, "%s", "x"), -1);

    char e[8] = "ab";
    EXPECT_EQ(strcat_printf(e, 8, "%d", 12), 4);
    EXPECT_STREQ(e, "ab12");
    {
        fd_capture cap;
        EXPECT_EQ(strcat_printf(e, 8, "%s", "toolong"), -1);
        EXPECT_NE(cap.stop().find("ret<clen"), std::string::npos);
    }
    EXPECT_STREQ(e, "ab12"); // keeps its earlier text
}

TEST(StrSafe, HeadDropsLineEndsAndIsShort)
{
    char head[32];
    EXPECT_STREQ(str_get_head("a\r\nb", head, sizeof(head)), "ab");
    std::string longtext(100, 'x');
    EXPECT_EQ(strlen(str_get_head(longtext.c_str(), head, sizeof(head))), 31u);
}
