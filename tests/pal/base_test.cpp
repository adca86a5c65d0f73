// Allocation, clocks, id tables, thread names and start-up.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/str_dyn.h"
#include "liblog/log2.h"

TEST(Base, Allocation)
{
    void *p = os_malloc_align(100, 64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 64, 0u);
    memset(p, 1, 100);
    os_free_align(p);
    os_free_align(nullptr);

    EXPECT_EQ(os_strdup(nullptr), nullptr);
    unsigned char *z = (unsigned char *)os_calloc(3, 5);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(z[i], 0);
    os_free(z);
    EXPECT_EQ(os_calloc(SIZE_MAX / 2, 4), nullptr);
    EXPECT_EQ(os_strnlen("abc", 2), 2u);
    char *s = os_strndup("abcdef", 3);
    EXPECT_STREQ(s, "abc");
    os_free(s);
    char *f = nullptr;
    EXPECT_EQ(os_asprintf(&f, "%d-%s", 7, "x"), 3);
    EXPECT_STREQ(f, "7-x");
    os_free(f);

    fd_capture cap;
    EXPECT_EQ(_malloc(SIZE_MAX / 2), nullptr);
    std::string err = cap.stop();
    EXPECT_NE(err.find("malloc failed"), std::string::npos);
    EXPECT_NE(err.find("release no stack info"), std::string::npos);
}

TEST(Base, TimespecAddMs)
{
    struct {
        int64_t sec;
        uint32_t nsec;
        int64_t ms;
        int64_t want_sec;
        uint32_t want_nsec;
    } rows[] = {
        {10, 600000000, 1500, 12, 100000000},
        {10, 600000000, 0, 10, 600000000},
        {10, 100000000, -200, 9, 900000000}, // borrows from the seconds
        {10, 0, -2500, 7, 500000000},
        {10, 0, -1, INT64_MAX, 0}, // never
    };
    for (auto &r : rows) {
        os_timespec_t t{r.sec, r.nsec};
        os_timespec_add_ms(&t, r.ms);
        EXPECT_EQ(t.tv_sec, r.want_sec) << r.ms;
        EXPECT_EQ(t.tv_nsec, r.want_nsec) << r.ms;
    }
    struct timespec past;
    os_deadline_ms(&past, -1500);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    EXPECT_LT(past.tv_sec, now.tv_sec);
    EXPECT_GE(past.tv_nsec, 0);
    EXPECT_LT(past.tv_nsec, 1000000000);
}

TEST(Base, ClocksMove)
{
    uint64_t a = os_clock_ms();
    os_msleep(20);
    EXPECT_GE(os_clock_ms(), a + 19);
    EXPECT_GT(os_uptime_ms(), 0u);
    EXPECT_EQ(os_getpid(), getpid());
}

TEST(Base, IdTable)
{
    static const pl_idtab_t rows[] = {{0, {"zero"}}, {1, {"one"}}, {5, {"five"}}, {9, {nullptr}}};
    EXPECT_STREQ(pl_idtab_get(1, rows, 4), "one");
    EXPECT_STREQ(pl_idtab_get(5, rows, 4), "five");
    EXPECT_STREQ(pl_idtab_get(7, rows, 4), "unkown(7)");
    EXPECT_STREQ(pl_idtab_get_sorted(5, rows, 4), "five");
    EXPECT_STREQ(pl_idtab_get_sorted(3, rows, 4), "unkown(3)");
    EXPECT_EQ(pl_idtab_find_str("five", rows, 4), 5);
    EXPECT_EQ(pl_idtab_find_str("six", rows, 4), -1);
    pl_idtab_t sortme[] = {{3, {"c"}}, {-1, {"a"}}, {2, {"b"}}};
    pl_idtab_sort(sortme, 3);
    EXPECT_EQ(sortme[0].id, -1);
    EXPECT_EQ(sortme[2].id, 3);
    EXPECT_EQ(pl_idtab_set(2, sortme, 3, "B"), 0);
    EXPECT_EQ(pl_idtab_set(8, sortme, 3, "B"), -1);

    // The miss text is per thread.
    std::string other;
    std::thread t([&] { other = pl_idtab_get(42, rows, 4); });
    const char *mine = pl_idtab_get(41, rows, 4);
    t.join();
    EXPECT_STREQ(mine, "unkown(41)");
    EXPECT_EQ(other, "unkown(42)");
}

TEST(Base, Crc16)
{
    // CRC-16/UMTS of "123456789" is 0xFEE8; this variant gives it byte-swapped.
    EXPECT_EQ(hash_crc16("123456789", 9, 0), 0xE8FE);
}

TEST(Base, ThreadNames)
{
    char buf[128];
    std::string unnamed;
    std::thread t([&] {
        char b[64];
        unnamed = os_thread_name_get(b, sizeof(b));
    });
    t.join();
    EXPECT_NE(unnamed.find_first_not_of("0123456789"), 0u);
    EXPECT_EQ(unnamed.find('_'), std::string::npos);

    ASSERT_EQ(os_thread_name_set("main"), 0);
    std::string name = os_thread_name_get(buf, sizeof(buf));
    // main_<4 hex>_<tid>
    ASSERT_GT(name.size(), 10u);
    EXPECT_EQ(name.substr(0, 5), "main_");
    EXPECT_EQ(name[9], '_');
    EXPECT_EQ(name.substr(10), std::to_string(os_gettid()));
    os_thread_name_del();
    EXPECT_EQ(std::string(os_thread_name_get(buf, sizeof(buf))), std::to_string(os_gettid()));
}

// The registry is made on first use, and that first use may come from several
// threads at once: every one of them must get its name. Run in a fresh
// process (the threadsafe style re-runs only this test), where nothing has
// used the registry yet.
TEST(BaseDeathTest, FirstNamesFromManyThreadsAtOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const int n = 8;
            std::atomic<int> ready{0};
            std::atomic<int> bad{0};
            std::vector<std::thread> ts;
            for (int i = 0; i < n; i++)
                ts.emplace_back([&] {
                    ready++;
                    while (ready.load() < n) {
                    }
                    char b[96];
                    if (os_thread_name_set("early") != 0 ||
                        std::string(os_thread_name_get(b, sizeof(b))).rfind("early_", 0) != 0)
                        bad++;
                    os_thread_name_del();
                });
            for (auto &t : ts)
                t.join();
            // exit, not _exit: a thread checker sets the status of a run with reports.
            exit(bad.load() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Base, InitExitIdempotent)
{
    // In a child: pl_init installs handlers and limits.
    pid_t pid = fork();
    if (pid == 0) {
        pl_exit(); // without pl_init: nothing
        pl_init();
        pl_init();
        pl_exit();
        pl_exit();
        // After shut-down every log entry point is still safe.
        int r = log2_printf(nullptr, LOG2_ERR, "t", "f", 1, "fn", "after exit\n");
        log2_set_level(nullptr, 3);
        log2_exit(nullptr);
        char b[32];
        os_thread_name_get(b, sizeof(b));
        _exit(r == -1 ? 0 : 3);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(Base, ZkLogLevelFromEnvironment)
{
    struct {
        const char *env;
        int level;
        bool complaint;
    } rows[] = {{"warn", 4, false}, {"bogus", 7, true}};
    for (auto &r : rows) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 2);
            setenv("ZK_LOG_LEVEL", r.env, 1);
            pl_init();
            _exit(log2_get_level(nullptr));
        }
        close(fds[1]);
        std::string err;
        char buf[512];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0)
            err.append(buf, (size_t)n);
        close(fds[0]);
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_EQ(WEXITSTATUS(st), r.level) << r.env;
        EXPECT_EQ(err.find("error: invalid level [bogus]") != std::string::npos, r.complaint) << err;
    }
}

TEST(StrDyn, GrowthAndDetach)
{
    str_dyn *d = str_dyn_new();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->cap, 4096u);
    std::string big(5000, 'x');
    ASSERT_EQ(str_dyn_append(d, big.data(), big.size()), 0);
    EXPECT_EQ(d->cap, 16384u);
    EXPECT_EQ(d->len, 5000u);
    str_dyn_clear(d);
    EXPECT_EQ(str_dyn_get(d), nullptr);
    EXPECT_EQ(str_dyn_detach(d), nullptr);

    d = str_dyn_new();
    str_dyn_printf(d, "a%db", 1);
    str_dyn_add_chr_not_exist_tail(d, '\n');
    str_dyn_add_chr_not_exist_tail(d, '\n');
    EXPECT_STREQ(str_dyn_get(d), "a1b\n");
    str_dyn_del_tail(d, 2);
    EXPECT_STREQ(str_dyn_get(d), "a1");
    str_dyn_add_str(d, "a1a1");
    EXPECT_EQ(str_dyn_replace(d, "a1", "x"), 0);
    EXPECT_STREQ(str_dyn_get(d), "xxx");
    EXPECT_EQ(str_dyn_replace(d, "", "y"), 0); // empty pattern: unchanged, no endless loop
    EXPECT_STREQ(str_dyn_get(d), "xxx");
    char *s = str_dyn_detach(d);
    EXPECT_STREQ(s, "xxx");
    os_free(s);
}

TEST(LineRing, DropsFewestOldestLines)
{
    char buf[16];
    line_ring r;
    line_ring_init(&r, buf, sizeof(buf));
    line_ring_add(&r, "aaaa\n");
    line_ring_add(&r, "bbbb\n");
    EXPECT_STREQ(buf, "aaaa\nbbbb\n");
    line_ring_add(&r, "cccccc\n");
    EXPECT_STREQ(buf, "bbbb\ncccccc\n");
    line_ring_add(&r, "this line is far too long\n"); // cannot fit: ring unchanged
    EXPECT_STREQ(buf, "bbbb\ncccccc\n");
    line_ring_add(&r, "123456789012345\n"); // needs everything dropped, still too big
    EXPECT_STREQ(buf, "bbbb\ncccccc\n");
    line_ring_add(&r, "12345678901234\n"); // 15 bytes + NUL fits once all is dropped
    EXPECT_STREQ(buf, "12345678901234\n");
}
