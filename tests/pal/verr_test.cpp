// Status codes, errno maps and the last-error record.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "capture.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/basic/pl_verr_tab.h"

TEST(Verr, TableShape)
{
    // 259 rows; 203 sits between -202 and -225; codes are unique.
    ASSERT_EQ(g_verr_tab_rows, 259);
    EXPECT_EQ(g_verr_tab[g_verr_tab_rows].msg, nullptr);
    int i203 = -1;
    for (int i = 0; i < g_verr_tab_rows; ++i) {
        ASSERT_NE(g_verr_tab[i].msg, nullptr);
        size_t n = strlen(g_verr_tab[i].msg);
        EXPECT_EQ(g_verr_tab[i].msg[n - 1], '.') << g_verr_tab[i].code;
        for (int j = i + 1; j < g_verr_tab_rows; ++j)
            ASSERT_NE(g_verr_tab[i].code, g_verr_tab[j].code);
        if (g_verr_tab[i].code == 203)
            i203 = i;
    }
    ASSERT_GT(i203, 0);
    EXPECT_EQ(g_verr_tab[i203 - 1].code, -202);
    EXPECT_EQ(g_verr_tab[i203 + 1].code, -225);
}

TEST(Verr, Texts)
{
    EXPECT_STREQ(verr2str(0), "Success.");
    EXPECT_STREQ(verr2str(-102), "File not found.");
    EXPECT_STREQ(verr2str(-125), "Can't delete directory with files.");
    fd_capture cap;
    EXPECT_STREQ(verr2str(-16), "Invalid error code");
    std::string err = cap.stop();
    EXPECT_NE(err.find("Invalid errno=-16 (0xfffffff0)"), std::string::npos) << err;
}

TEST(Verr, ErrnoMaps)
{
    struct {
        int code, eno;
    } both[] = {
        {-12, ENOSYS},    {-125, ENOTEMPTY}, {-304, ENODATA},      {-113, EROFS},   {-102, ENOENT},
        {-105, EEXIST},   {-103, ENOTDIR},   {-127, EISDIR},       {-2, EINVAL},    {-40, ETIMEDOUT},
        {-461, ECONNREFUSED}, {-454, ECONNRESET}, {-152, ENOSPC},  {-37, EOPNOTSUPP}, {-4, EBADF},
    };
    for (auto &r : both) {
        EXPECT_EQ(verr_2_posix(r.code), r.eno) << r.code;
        EXPECT_EQ(os_verr_get(r.eno), r.code) << r.eno;
    }
    // Lossy rows kept as they are: peers exchange status codes.
    EXPECT_EQ(os_verr_get(EACCES), -38);
    EXPECT_EQ(os_verr_get(EPERM), -38);
    EXPECT_EQ(verr_2_posix(-38), EPERM);
    EXPECT_EQ(os_verr_get(ERANGE), -2);
    EXPECT_EQ(os_verr_get(EDQUOT), -152);
    EXPECT_EQ(verr_2_posix(0), 0);
    EXPECT_EQ(os_verr_get(0), 0);

    fd_capture cap;
    EXPECT_EQ(verr_2_posix(-10), EPERM);
    EXPECT_EQ(os_verr_get(ENOTBLK), -1);
    EXPECT_EQ(os_verr_get(200), -1);
    std::string err = cap.stop();
    EXPECT_NE(err.find("unkown verrno = -10"), std::string::npos);
    EXPECT_NE(err.find("unkown eno=15"), std::string::npos);
    EXPECT_NE(err.find("unkown eno=200"), std::string::npos);
}

TEST(Verr, SetVerrSetsErrno)
{
    errno = 0;
    EXPECT_EQ(os_errno_set_verr(-102), ENOENT);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(os_set_verr(-113), EROFS);
    EXPECT_EQ(errno, EROFS);
}

TEST(Verr, ErrnoText)
{
    char buf[64];
    EXPECT_STREQ(os_errno_str_r(0, buf, sizeof(buf)), "ok");
    EXPECT_STREQ(os_errno_str_r(2, buf, sizeof(buf)), "No such file or directory");
    char tiny[4];
    EXPECT_STREQ(os_errno_str_r(2, tiny, sizeof(tiny)), "No");
    errno = 0;
    EXPECT_STREQ(os_errno_str(), "ok");
    errno = ENOENT;
    EXPECT_STREQ(os_errno_str(), "No such file or directory");
    EXPECT_EQ(errno, ENOENT);
}

TEST(Verr, Record)
{
    vperror_t e;
    memset(&e, 0x5a, sizeof(e));
    VPERROR_SET(&e, -102, nullptr);
    EXPECT_EQ(e.code, -102);
    EXPECT_STREQ(e.msg, "");
    EXPECT_STREQ(vperror_str(&e), "File not found.");
    VPERROR_SET(&e, -2, "bad %s", "thing");
    EXPECT_STREQ(vperror_str(&e), "bad thing");
    vperror_set(nullptr, __FILE__, __LINE__, __func__, -1, "x"); // no crash

    vperror_set_tail(&e, "f", 1, "fn", -2, "tail", "open %s", "x");
    EXPECT_STREQ(e.msg, "open x tail");
    vperror_set_tail(&e, "f", 1, "fn", -2, "tail", "open ");
    EXPECT_STREQ(e.msg, "open tail");

    // An over-long message is cut, never overflowing the record.
    std::string big(5000, 'a');
    vperror_set(&e, "f", 1, "fn", -2, "%s", big.c_str());
    EXPECT_EQ(strlen(e.msg), (size_t)VPERROR_MSG_SIZE - 1);
    // The tail that does not fit leaves the message as it was.
    vperror_set_tail(&e, "f", 1, "fn", -2, "tail", "%s", big.c_str());
    EXPECT_EQ(strlen(e.msg), (size_t)VPERROR_MSG_SIZE - 1);

    vperror_t c;
    vperror_copy(&c, &e);
    EXPECT_EQ(c.code, -2);
    EXPECT_EQ(strcmp(c.msg, e.msg), 0);
    vperror_copy(&c, &c);
    EXPECT_EQ(c.code, -2);
}
