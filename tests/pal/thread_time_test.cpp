// Named threads and time texts. Time texts are checked against date(1).
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

std::string run(const std::string &cmd)
{
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    while (p && fgets(buf, sizeof(buf), p))
        out += buf;
    if (p)
        pclose(p);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// Collects the log records (all levels) while alive.
struct LogCapture {
    static std::mutex mu;
    static std::vector<std::string> lines;
    LogCapture()
    {
        std::lock_guard<std::mutex> g(mu);
        lines.clear();
        log2_set_hook(nullptr, hook);
    }
    ~LogCapture() { log2_set_hook(nullptr, nullptr); }
    static int hook(unsigned, const char *, const char *, int, const char *, int, const char *fmt, va_list va)
    {
        char buf[1024];
        vsnprintf(buf, sizeof(buf), fmt, va);
        std::lock_guard<std::mutex> g(mu);
        lines.push_back(buf);
        return 0;
    }
    static bool has(const std::string &text)
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto &l : lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
};
std::mutex LogCapture::mu;
std::vector<std::string> LogCapture::lines;

// Text of the given shape: '9' a decimal digit, 'x' a hexadecimal one, '*'
// one or more decimal digits to the end, anything else itself.
bool shaped(const std::string &s, const char *pat)
{
    size_t i = 0;
    for (; *pat; ++pat) {
        if (*pat == '*') {
            if (i >= s.size())
                return false;
            for (; i < s.size(); ++i)
                if (!isdigit((unsigned char)s[i]))
                    return false;
            return true;
        }
        if (i >= s.size())
            return false;
        unsigned char c = (unsigned char)s[i++];
        if (*pat == '9' ? !isdigit(c) : *pat == 'x' ? !(isdigit(c) || (c >= 'a' && c <= 'f')) : c != (unsigned char)*pat)
            return false;
    }
    return i == s.size();
}

struct tm sample_tm()
{
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 8;
    tm.tm_sec = 9;
    return tm;
}

} // namespace

// ---- time texts -------------------------------------------------------------

TEST(TimeText, AllTypesCutFractions)
{
    static const char *want[] = {
        "2024-03-05 07:08:09",        "2024-03-05 07:08:09.123", "2024-03-05 07:08:09.123456",
        "2024-03-05 07:08:09.123456789", "07:08:09",               "07:08:09.123",
        "20240305070809",             "20240305070809123",       "20240305070809123456",
    };
    struct tm tm = sample_tm();
    // The same instant through the UTC conversion: date -u -d '2024-03-05 07:08:09' +%s
    os_timespec_t t = {1709622489, 123456789};
    for (int type = 0; type <= 8; ++type) {
        char buf[64];
        EXPECT_STREQ(os_get_time_type2(&tm, 123456789, type, buf, sizeof(buf)), want[type]) << type;
        EXPECT_STREQ(os_time_utc_cstr(&t, type, buf, sizeof(buf)), want[type]) << type;
    }
    EXPECT_EQ(run("TZ=UTC date -d '2024-03-05 07:08:09.123456789' +%Y%m%d%H%M%S%6N"), want[8]);
    EXPECT_EQ(run("TZ=UTC date -d '2024-03-05 07:08:09.123456789' '+%F %T.%N'"), want[3]);

    LogCapture cap;
    char buf[32] = "untouched";
    os_get_time_type2(&tm, 0, 9, buf, sizeof(buf));
    EXPECT_STREQ(buf, "untouched");
    EXPECT_TRUE(LogCapture::has("invalid type=9"));
    // Too small a buffer gives an empty text, never a cut date.
    char small[8];
    EXPECT_STREQ(os_get_time_type2(&tm, 0, 0, small, sizeof(small)), "");
}

TEST(TimeText, LocalTextsMatchDate)
{
    for (int64_t secs : {0LL, 86399LL, 1709622489LL, 1719792000LL}) {
        std::string want = run("date -d @" + std::to_string(secs) + " '+%F %T'");
        char buf[32];
        char *r = os_time_secs_cstr(secs, buf, sizeof(buf));
        EXPECT_EQ(r, buf);
        EXPECT_EQ(std::string(buf), want) << secs;
        EXPECT_EQ(std::string(os_time_secs_cstr_static(secs)), want);
        os_timespec_t t = {secs, 5000000};
        os_time_local_cstr(&t, 1, buf, sizeof(buf));
        EXPECT_EQ(std::string(buf), want + ".005");
    }
    {
        // Under TZ=UTC the epoch is the classic text (date -u -d @0 '+%F %T').
        const char *old_tz = getenv("TZ");
        std::string saved = old_tz ? old_tz : "";
        setenv("TZ", "UTC", 1);
        tzset();
        char utc[32];
        EXPECT_STREQ(os_time_secs_cstr(0, utc, sizeof(utc)), "1970-01-01 00:00:00");
        if (old_tz)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    // A time that cannot be converted.
    char buf[32] = "x";
    EXPECT_STREQ(os_time_secs_cstr(INT64_MAX, buf, sizeof(buf)), "0000-00-00 00:00:00");
    os_timespec_t huge = {INT64_MAX, 0};
    EXPECT_STREQ(os_time_local_cstr(&huge, 0, buf, sizeof(buf)), "");

    EXPECT_TRUE(shaped(os_time_now_cstr(1, buf, sizeof(buf)), "9999-99-99 99:99:99.999")) << buf;
    EXPECT_TRUE(shaped(os_time_now_cstr_static(1), "9999-99-99 99:99:99.999"));
    EXPECT_TRUE(shaped(os_time_elapsed_cstr(os_clock_us() - 1500000, buf, sizeof(buf)), "1.999999")) << buf;
}

TEST(TimeText, KeywordDates)
{
    struct Case {
        const char *word;
        int back;
    } cases[] = {{"today", 0}, {"last_week", 604800}, {"last_mon", 2592000}, {"last_year", 31536000}};
    for (auto &k : cases) {
        // date is asked before and after, so a day boundary in between
        // cannot make the test fail.
        std::string cmd = "date -d @$(( $(date +%s) - " + std::to_string(k.back) + " )) +%F";
        std::string before = run(cmd);
        char buf[16];
        os_time_keyword_date(k.word, buf, sizeof(buf));
        std::string after = run(cmd);
        EXPECT_TRUE(buf == before || buf == after) << k.word << ": " << buf << " vs " << before;
    }
    char buf[16] = "keep";
    EXPECT_STREQ(os_time_keyword_date("yesterday", buf, sizeof(buf)), "keep");
}

TEST(TimeText, Parse)
{
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    ASSERT_EQ(os_time_parse_tm("20240305070809", 6, &tm), 0);
    EXPECT_EQ(tm.tm_year, 124);
    EXPECT_EQ(tm.tm_mon, 2);
    EXPECT_EQ(tm.tm_mday, 5);
    EXPECT_EQ(tm.tm_hour, 7);
    EXPECT_EQ(tm.tm_min, 8);
    EXPECT_EQ(tm.tm_sec, 9);
    EXPECT_EQ(tm.tm_isdst, -1);

    // Type 0 keeps the fields the text does not give.
    tm.tm_hour = 11;
    ASSERT_EQ(os_time_parse_tm("2023-12-31", 0, &tm), 0);
    EXPECT_EQ(tm.tm_year, 123);
    EXPECT_EQ(tm.tm_mon, 11);
    EXPECT_EQ(tm.tm_mday, 31);
    EXPECT_EQ(tm.tm_hour, 11);

    for (const char *bad : {"2024030507080", "2024030507080x", "", "abc"})
        EXPECT_EQ(os_time_parse_tm(bad, 6, &tm), -1) << bad;
    EXPECT_EQ(os_time_parse_tm("abc", 0, &tm), -1);
    EXPECT_EQ(os_time_parse_tm("2024-03-05", 3, &tm), -1);

    std::string utc = run("date -u -d '2024-03-05 07:08:09' +%s");
    EXPECT_EQ(std::to_string(os_time_parse_utc("2024-03-05 07:08:09", 0)), utc);
    EXPECT_EQ(std::to_string(os_time_parse_utc("20240305070809", 6)), utc);
    EXPECT_EQ(std::to_string(os_time_parse_local("2024-07-01 12:00:00", 0)),
              run("date -d '2024-07-01 12:00:00' +%s"));
    EXPECT_EQ(std::to_string(os_time_parse_local_default("2024-01-15 00:30:00")),
              run("date -d '2024-01-15 00:30:00' +%s"));
    EXPECT_EQ(os_time_parse_utc("not a date", 0), 0);
    EXPECT_EQ(os_time_parse_utc("2024-03-05", 4), 0);
}

// Local-time conversion from many threads at once gives every thread its
// own right answer.
TEST(TimeText, ConcurrentConversions)
{
    std::vector<std::string> want;
    for (int i = 0; i < 4; ++i) {
        char buf[32];
        os_time_secs_cstr(1700000000 + i * 40000000LL, buf, sizeof(buf));
        want.push_back(buf);
    }
    std::atomic<int> bad{0};
    std::vector<std::thread> th;
    for (int i = 0; i < 4; ++i)
        th.emplace_back([&, i] {
            for (int k = 0; k < 2000; ++k) {
                int64_t secs = 1700000000 + i * 40000000LL;
                char buf[32];
                if (want[i] != os_time_secs_cstr(secs, buf, sizeof(buf)) || want[i] != os_time_secs_cstr_static(secs))
                    bad++;
            }
        });
    for (auto &t : th)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

// ---- threads ----------------------------------------------------------------

namespace {

struct gate {
    std::atomic<int> open{0};
    std::atomic<int> started{0};
    std::string name;
    size_t stack = 0;
};

void *gated(void *p)
{
    gate *g = (gate *)p;
    char buf[128];
    g->name = os_thread_name_get(buf, sizeof(buf));
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &g->stack);
        pthread_attr_destroy(&attr);
    }
    g->started = 1;
    while (!g->open.load())
        os_msleep(1); // a cancellation point
    return (void *)(uintptr_t)42;
}

void wait_started(gate &g)
{
    for (int i = 0; i < 10000 && !g.started.load(); ++i)
        os_msleep(1);
    ASSERT_TRUE(g.started.load());
}

struct EnvGuard {
    EnvGuard(const char *v)
    {
        if (v)
            setenv("ZK_THREAD_STACK_SIZE", v, 1);
        else
            unsetenv("ZK_THREAD_STACK_SIZE");
    }
    ~EnvGuard() { unsetenv("ZK_THREAD_STACK_SIZE"); }
};

} // namespace

TEST(Thread, WaitDetachAndName)
{
    gate g;
    os_thread_t *h = os_thread_init("worker", gated, &g, 0);
    ASSERT_NE(h, nullptr);
    wait_started(g);
    EXPECT_TRUE(shaped(g.name, "worker_xxxx_*")) << g.name;
    uint32_t res = 7;
    EXPECT_EQ(os_thread_wait(h, 0, &res), -2);
    EXPECT_EQ(os_thread_wait(h, 20, &res), -2);
    EXPECT_EQ(res, 7u);
    g.open = 1;
    EXPECT_EQ(os_thread_wait(h, (uint32_t)-1, &res), 0);
    EXPECT_EQ(res, 42u);
    EXPECT_EQ(os_thread_wait(h, 0, &res), 0); // already joined
    EXPECT_EQ(res, 0u);
    EXPECT_EQ(os_thread_detach(h), 0);
}

TEST(Thread, DetachRunningThreadFreesItselfLater)
{
    static gate g; // outlives the test: the thread may still be reading it
    os_thread_t *h = os_thread_init("runner", gated, &g, 0);
    ASSERT_NE(h, nullptr);
    wait_started(g);
    EXPECT_EQ(os_thread_detach(h), -1);
    g.open = 1; // the thread ends and frees the handle (checked by the leak checker)
    for (int i = 0; i < 50; ++i)
        os_msleep(1);
}

TEST(Thread, StackSizes)
{
    struct Case {
        const char *env;
        uint64_t arg;
        size_t want;
        bool logs;
    } cases[] = {
        // Ascending sizes: the C library reuses the stack of an ended thread
        // for a later one that asks for somewhat less.
        {nullptr, 0, 262144, false},
        {"junk", 0, 262144, false},
        {"1M", 512 * 1024, 524288, false}, // the argument wins
        {"1M", 0, 1048576, true},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.env ? k.env : "unset");
        EnvGuard e(k.env);
        LogCapture cap;
        gate g;
        g.open = 1;
        os_thread_t *h = os_thread_init("stack", gated, &g, k.arg);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(os_thread_wait_kill_exit(h, 10000, nullptr), 0);
#if !defined(__SANITIZE_THREAD__) // its runtime keeps part of every thread stack
        EXPECT_EQ(g.stack, k.want);
#endif
        EXPECT_EQ(LogCapture::has("ZK_ENV_STACK_SIZE=1048576"), k.logs);
    }
}

// A cancelled thread still runs the end of its start routine: it is marked
// finished (so it can be joined) and its handle is freed.
TEST(Thread, CancelledThreadEndsCleanly)
{
    gate g;
    os_thread_t *h = os_thread_init("victim", gated, &g, 0);
    ASSERT_NE(h, nullptr);
    wait_started(g);
    EXPECT_EQ(os_thread_kill(h), 0);
    uint32_t res = 0;
    EXPECT_EQ(os_thread_wait(h, 10000, &res), 0);
    EXPECT_EQ(res, (uint32_t)(uintptr_t)PTHREAD_CANCELED);
    EXPECT_EQ(os_thread_kill(h), -1); // joined: nothing left to cancel
    EXPECT_EQ(os_thread_detach(h), 0);

    // The owners' way to stop a thread that does not end by itself.
    static gate g2; // the cancelled thread may still be reading it
    h = os_thread_init("stuck", gated, &g2, 0);
    ASSERT_NE(h, nullptr);
    wait_started(g2);
    EXPECT_EQ(os_thread_wait_kill_exit(h, 10, nullptr), -2);
    for (int i = 0; i < 50; ++i)
        os_msleep(1);
}

TEST(Thread, ExitFromInside)
{
    os_thread_t *h = os_thread_init(
        "quitter",
        [](void *) -> void * {
            os_thread_exit((void *)(uintptr_t)9);
        },
        nullptr, 0);
    ASSERT_NE(h, nullptr);
    uint32_t res = 0;
    EXPECT_EQ(os_thread_wait(h, 10000, &res), 0);
    EXPECT_EQ(res, 9u);
    EXPECT_EQ(os_thread_detach(h), 0);
}

TEST(Thread, CreateFailureLeavesNothing)
{
    LogCapture cap;
    // No system can give a thread a 64 TiB stack.
    EXPECT_EQ(os_thread_init("huge", gated, nullptr, 1ull << 46), nullptr);
    EXPECT_TRUE(LogCapture::has("pthread_create name:huge error: "));
}

TEST(Thread, MissingNameOrFunctionStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(os_thread_init(nullptr, gated, nullptr, 0), "expr\\[name!=NULL\\]: assert failed");
    EXPECT_DEATH(os_thread_init("x", nullptr, nullptr, 0), "expr\\[func!=NULL\\]: assert failed");
}

// Many named threads started and stopped at once, each with its own handle.
TEST(Thread, ManyAtOnce)
{
    static std::vector<gate> gates(8); // cancelled threads may still read theirs
    std::vector<os_thread_t *> hs;
    for (auto &g : gates) {
        hs.push_back(os_thread_init("many", gated, &g, 0));
        ASSERT_NE(hs.back(), nullptr);
    }
    for (auto &g : gates)
        wait_started(g);
    for (size_t i = 0; i < gates.size(); i += 2)
        gates[i].open = 1;
    for (size_t i = 0; i < hs.size(); ++i) {
        uint32_t res = 0;
        int r = os_thread_wait_kill_exit(hs[i], i % 2 ? 5 : 10000, &res);
        EXPECT_EQ(r, i % 2 ? -2 : 0) << i;
    }
    for (int i = 0; i < 50; ++i)
        os_msleep(1);
}
