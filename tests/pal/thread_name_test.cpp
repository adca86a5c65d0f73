// Thread-name registry on its tree, and id tables over the sort and search
// routines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "liblog/log2.h"
#include "libpal/basic/pl_base.h"

namespace {

// Many threads name themselves, read their names back and drop them, while
// the names of the others come and go.
TEST(ThreadName, ManyThreadsKeepTheirOwnNames)
{
    std::vector<std::thread> ts;
    std::atomic<int> bad{0};
    for (int i = 0; i < 8; ++i)
        ts.emplace_back([i, &bad] {
            char buf[128];
            for (int round = 0; round < 200; ++round) {
                std::string base = "w" + std::to_string(i);
                if (os_thread_name_set(base.c_str()) != 0)
                    bad++;
                std::string got = os_thread_name_get(buf, sizeof(buf));
                if (got.rfind(base + "_", 0) != 0 ||
                    got.substr(got.size() - std::to_string(os_gettid()).size()) != std::to_string(os_gettid()))
                    bad++;
                if (round % 2)
                    os_thread_name_del();
            }
            os_thread_name_del();
            if (std::string(os_thread_name_get(buf, sizeof(buf))) != std::to_string(os_gettid()))
                bad++;
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

int s_fail;
void *failing_malloc(size_t n) { return s_fail ? nullptr : malloc(n); }
void *failing_realloc(void *p, size_t n) { return s_fail ? nullptr : realloc(p, n); }

// A name that cannot be stored is -1; the failure is logged with thread
// names on, and that log line asks the registry for this thread's name
// while the registry is busy with it: it must get the bare id, not wait for
// itself. Run in a child, which may hang without harm to the others.
TEST(ThreadNameDeathTest, FailedSetLogsWithoutDeadlock)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            char buf[64];
            os_thread_name_get(buf, sizeof(buf)); // the registry exists
            log2_ioctl(nullptr, LOG2_IOC_FLAGS, (const void *)(uintptr_t)(LOG2_FL_DEFAULT | LOG2_FL_TID_NAME), 0);
            alarm(20);
            pl_malloc_init(failing_malloc, failing_realloc, free);
            s_fail = 1;
            int r = os_thread_name_set("late");
            s_fail = 0;
            pl_malloc_init(_malloc, _realloc, free);
            exit(r == -1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "assert failed");
}

// The sorted lookup over rows with negative and sparse ids agrees with a
// plain scan; the sort orders ids as signed numbers.
TEST(IdTable, SortedLookupAgreesWithScan)
{
    std::mt19937 rng(17);
    std::vector<pl_idtab_t> rows(300);
    std::vector<std::string> names(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].id = (int32_t)(rng() % 2000) - 1000;
        names[i] = "n" + std::to_string(rows[i].id);
        rows[i].str = names[i].c_str();
    }
    pl_idtab_sort(rows.data(), (int)rows.size());
    for (size_t i = 1; i < rows.size(); ++i)
        ASSERT_LE(rows[i - 1].id, rows[i].id);
    for (int id = -1001; id <= 1001; ++id) {
        const pl_idtab_t *row = pl_idtab_row(id, rows.data(), (int)rows.size());
        std::string want = row ? row->str : "unkown(" + std::to_string(id) + ")";
        ASSERT_EQ(std::string(pl_idtab_get_sorted(id, rows.data(), (int)rows.size())), want) << id;
        ASSERT_EQ(std::string(pl_idtab_get(id, rows.data(), (int)rows.size())), want) << id;
    }
    EXPECT_EQ(pl_idtab_row(1, nullptr, 0), nullptr);
    EXPECT_STREQ(pl_idtab_get_sorted(1, nullptr, 0), "unkown(1)");
}

} // namespace
