// Local-time shortcuts against date(1).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "libpal/os/os_time.h"
#include "test_util.h"

namespace {

TEST(LocalTime, DateNumber)
{
    int64_t secs = std::stoll(zk_test::run("date -d '2025-07-22 12:00' +%s"));
    EXPECT_EQ(os_date_u32_at(secs), 0x7D0616u);
    EXPECT_EQ(os_date_u32_at(secs), (125u << 16) | (6u << 8) | 22u);
    // Now, against date; a retry covers a run across midnight.
    for (int tries = 0; tries < 2; ++tries) {
        int y = 0, m = 0, d = 0;
        sscanf(zk_test::run("date +'%Y %m %d'").c_str(), "%d %d %d", &y, &m, &d);
        uint32_t want = (uint32_t)(y - 1900) << 16 | (uint32_t)(m - 1) << 8 | (uint32_t)d;
        uint32_t got = os_date_u32();
        if (got == want || tries == 1) {
            EXPECT_EQ(got, want);
            break;
        }
    }
}

TEST(LocalTime, SystimeMatchesDate)
{
    os_systime_t st;
    int f[7] = {};
    os_get_local_systime(&st);
    sscanf(zk_test::run("date +'%Y %m %w %d %H %M %S'").c_str(), "%d %d %d %d %d %d %d", &f[0], &f[1], &f[2], &f[3],
           &f[4], &f[5], &f[6]);
    EXPECT_EQ(st.year, f[0]);
    EXPECT_EQ(st.month, f[1]);
    EXPECT_EQ(st.wday, f[2]);
    EXPECT_EQ(st.day, f[3]);
    // within a second or two of the date run (minute and hour boundaries folded in)
    long ours = st.hour * 3600 + st.minute * 60 + st.second, theirs = f[4] * 3600 + f[5] * 60 + f[6];
    long diff = (theirs - ours + 86400) % 86400;
    EXPECT_LE(diff, 2) << ours << " vs " << theirs;
    EXPECT_LT(st.msec, 1000);
}

// Each thread has its own record: a conversion on another thread does not
// change what this one holds.
TEST(LocalTime, RecordPerThread)
{
    struct tm *mine = os_localtime(0);
    ASSERT_NE(mine, nullptr);
    int year = mine->tm_year;
    struct tm *theirs = nullptr;
    std::thread t([&] { theirs = os_localtime(2000000000); });
    t.join();
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(mine->tm_year, year);

    struct tm tm = *os_localtime(1753185600);
    EXPECT_EQ(os_mktime(&tm), 1753185600);
    struct tm utc = {};
    utc.tm_year = 125;
    utc.tm_mon = 6;
    utc.tm_mday = 22;
    utc.tm_hour = 12;
    EXPECT_EQ(os_timegm(&utc), 1753185600);
}

} // namespace
