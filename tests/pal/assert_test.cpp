// Soft and hard assertions.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "capture.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

namespace {
const char *find_node(const char *node)
{
    PL_ASSERT_RET("pal", node != NULL, nullptr);
    return node;
}
} // namespace

TEST(Assert, SoftAssertionLogsAndReturnsFailureValue)
{
    unsigned old = log2_get_flags(nullptr);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, (const void *)(uintptr_t)log_flags_2_int("file|func|no_colour"), 0);
    fd_capture cap;
    EXPECT_EQ(find_node(nullptr), nullptr);
    std::string out = cap.stop();
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, (const void *)(uintptr_t)old, 0);
    std::regex re(R"(\[assert_test\.cpp:\d+\] find_node\(\): expr\[node != NULL\]: assert failed\n)"
                  R"(\[os_assert\.c:5\] pl_dump_stack\(\): \[release no stack info\]\n)");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
    EXPECT_STREQ(find_node("x"), "x");
}

TEST(Assert, HardAssertionEndsThroughThePanicPath)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        dup2(fds[1], 2);
        pl_init(); // panic handlers; no dump directory is configured
        PL_ASSERT_HARD("pal", 1 + 1 == 3);
        _exit(0);
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
    ASSERT_TRUE(WIFEXITED(st)) << err;
    EXPECT_EQ(WEXITSTATUS(st), 254) << err;
    size_t expr = err.find("expr[1 + 1 == 3]: assert failed");
    size_t sig = err.find("signo=11");
    ASSERT_NE(expr, std::string::npos) << err;
    ASSERT_NE(sig, std::string::npos) << err;
    EXPECT_LT(expr, sig);
    EXPECT_NE(err.find(std::string("arch=") + pl_arch_name()), std::string::npos) << err;
}
