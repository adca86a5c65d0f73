// Name pipes: a server and a bash client exchanging bytes both ways, reuse
// of existing FIFOs, end of input and a write with no reader, and planted
// objects at the FIFOs' names refused.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "libpal/basic/pl_base.h"
#include "libpal/network/os_name_pipe.h"
#include "test_util.h"

namespace {

std::string unique_name()
{
    static int n = 0;
    return "zkpipe_" + std::to_string(getpid()) + "_" + std::to_string(++n);
}

struct names {
    std::string name = unique_name();
    std::string p0 = "/tmp/" + name + "_0", p1 = "/tmp/" + name + "_1";
    ~names()
    {
        unlink(p0.c_str());
        unlink(p1.c_str());
    }
};

mode_t mode_of(const std::string &p)
{
    struct stat st{};
    return lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(NamePipe, BashClientBothWays)
{
    signal(SIGPIPE, SIG_IGN); // as the program does at start-up
    names n;
    os_name_pipe_srv_t *srv = os_name_pipe_srv_open(n.name.c_str());
    ASSERT_TRUE(srv);
    EXPECT_EQ(srv->read_fd, -1);
    EXPECT_TRUE(S_ISFIFO(mode_of(n.p0)));
    EXPECT_EQ(mode_of(n.p0) & 0777, 0600u);
    EXPECT_EQ(mode_of(n.p1) & 0777, 0600u);

    zk_test::temp_dir dir;
    const std::string out = dir / "reply";
    std::thread client([&] {
        zk_test::run("timeout 20 bash -c 'exec 3>" + n.p0 + " 4<" + n.p1 + "; echo hi >&3; read -r l <&4; echo \"$l\" > " +
                     out + "'");
    });
    ASSERT_EQ(os_name_pipe_srv_check_connect(srv), 1);
    EXPECT_GE(srv->read_fd, 0);
    char buf[16] = "";
    EXPECT_EQ(os_name_pipe_srv_read(srv, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "hi\n");
    EXPECT_EQ(os_name_pipe_srv_write(srv, "yo\n", 3), 3);
    client.join();
    std::ifstream f(out);
    std::string line;
    std::getline(f, line);
    EXPECT_EQ(line, "yo");
    // The client has gone: end of input, and a write with no reader fails.
    EXPECT_EQ(os_name_pipe_srv_read(srv, buf, sizeof buf), 0);
    errno = 0;
    EXPECT_EQ(os_name_pipe_srv_write(srv, "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(os_name_pipe_srv_check_connect(srv), 1); // connected: nothing opened
    EXPECT_EQ(os_name_pipe_srv_disconnect(srv), -1);
    EXPECT_EQ(os_name_pipe_srv_check(srv), 0);
    os_name_pipe_srv_close(srv);

    // The FIFOs stay and a new server reuses them, with this library's client.
    srv = os_name_pipe_srv_open(n.name.c_str());
    ASSERT_TRUE(srv);
    std::thread t([&] { EXPECT_EQ(os_name_pipe_srv_wait_connect(srv), 0); });
    os_name_pipe_cli_t *cli = os_name_pipe_cli_open(n.name.c_str());
    t.join();
    ASSERT_TRUE(cli);
    EXPECT_EQ(os_name_pipe_cli_write(cli, "ab", 2), 2);
    EXPECT_EQ(os_name_pipe_srv_read(srv, buf, 2), 2);
    EXPECT_EQ(os_name_pipe_srv_write(srv, "cd", 2), 2);
    EXPECT_EQ(os_name_pipe_cli_read(cli, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "cd");
    os_name_pipe_cli_close(cli);
    os_name_pipe_srv_close(srv);
}

TEST(NamePipe, PlantedObjectsAreRefused)
{
    zk_test::temp_dir dir;
    const std::string target = dir / "target";
    {
        std::ofstream(target) << "keep";
    }
    struct plant {
        const char *what;
        std::function<void(const std::string &)> make;
    };
    const plant plants[] = {
        {"symbolic link", [&](const std::string &p) { ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0); }},
        {"regular file", [&](const std::string &p) { std::ofstream(p) << "x"; }},
        {"fifo of another user",
         [&](const std::string &p) {
             ASSERT_EQ(mkfifo(p.c_str(), 0666), 0);
             ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
         }},
    };
    for (const plant &pl : plants) {
        names n;
        pl.make(n.p0);
        os_name_pipe_srv_t *srv = os_name_pipe_srv_open(n.name.c_str());
        ASSERT_TRUE(srv) << pl.what;
        // The refusal comes at once: nothing waits for a client.
        EXPECT_EQ(os_name_pipe_srv_check_connect(srv), 0) << pl.what;
        EXPECT_EQ(srv->read_fd, -1);
        os_name_pipe_srv_close(srv);
    }
    std::ifstream f(target);
    std::string s;
    f >> s;
    EXPECT_EQ(s, "keep");
    // A client refuses a planted link too.
    names n;
    ASSERT_EQ(symlink(target.c_str(), n.p0.c_str()), 0);
    EXPECT_EQ(os_name_pipe_cli_open(n.name.c_str()), nullptr);
}

} // namespace
