// The UDP output of binary log records, received by a separate Python
// receiver (tests/bsv/bsv_recv.py) that checks the packets on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libbsv/bsv.h"
#include "libpal/basic/pl_base.h"
#include "libpal/tframe/app/app.h"
#include "liblog/log2.h"
#include "liblog/log2_out.h"
#include "test_util.h"

namespace {

// The program installs the log's outputs at start-up (its log configuration
// does); these tests use them without one.
[[maybe_unused]] const bool k_outputs_installed = (log2_outputs_init(), true);

// The receiver process: started with popen, its port read from its first
// line, its packets read as JSON lines up to "end".
struct receiver {
    FILE *p = nullptr;
    int port = 0;
    explicit receiver(const char *until)
    {
        std::string cmd = std::string("python3 ") + ZK_SOURCE_DIR + "/tests/bsv/bsv_recv.py --timeout 60 --until '" +
                          until + "'";
        p = popen(cmd.c_str(), "r");
        char line[256];
        if (p && fgets(line, sizeof(line), p))
            sscanf(line, "port %d", &port);
    }
    // The next packet's line ("" at the end).
    std::string next()
    {
        char line[8192];
        if (!p || !fgets(line, sizeof(line), p))
            return "";
        return line;
    }
    std::vector<std::string> packets()
    {
        std::vector<std::string> out;
        char line[8192];
        while (p && fgets(line, sizeof(line), p)) {
            std::string l(line);
            if (l == "end\n")
                break;
            out.push_back(l);
        }
        return out;
    }
    ~receiver()
    {
        if (p)
            pclose(p);
    }
};

// Value of a JSON key (number or string) in a line made by json.dumps.
std::string field(const std::string &line, const std::string &key)
{
    std::string k = "\"" + key + "\": ";
    size_t i = line.find(k);
    if (i == std::string::npos)
        return "<none>";
    i += k.size();
    if (line[i] == '"') {
        size_t e = line.find('"', i + 1);
        return line.substr(i + 1, e - i - 1);
    }
    size_t e = line.find_first_of(",}", i);
    return line.substr(i, e - i);
}

log2_t *quiet_handle()
{
    log2_t *h = log2_new();
    log2_ioctl(h, LOG2_IOC_CONSOLE_ON, (const void *)0, 0);
    log2_set_level(h, LOG2_DBG);
    return h;
}

std::string url_of(const char *scheme, int port) { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port); }

// Once the first packet has arrived the output is connected: later ones are
// sent at once.
void sync(log2_t *h, receiver &r)
{
    log2_printf(h, LOG2_INFO | LOG2_F_NET, "vfs", "a.c", 1, "fn", "sync");
    std::string l = r.next();
    ASSERT_NE(l.find("\"msg\": \"sync\""), std::string::npos) << l;
}

// Holds "bsvnet" back until released.
std::atomic<int> s_release{0};
std::atomic<int> s_waiting{0};
bsv_connect_fn s_real_connect;
int held_connect(const char *host, int port)
{
    s_waiting = 1;
    while (!s_release.load())
        os_msleep(1);
    return s_real_connect(host, port);
}

} // namespace

TEST(BsvNet, PacketsReachTheReceiver)
{
    bsv_set_encrypt(0);
    const char *saved_name = g_app.app_name;
    uint32_t saved_ver = g_app.ver_id;
    g_app.app_name = "zkue";
    g_app.ver_id = 0x01070602;
    receiver r("last");
    ASSERT_GT(r.port, 0);
    log2_t *h = quiet_handle();
    ASSERT_EQ(log2_ioctl(h, LOG2_IOC_BSV_OPEN, url_of("udp", r.port).c_str(), 0), 0);
    log2_info_t info;
    log2_get_info(h, &info);
    EXPECT_EQ(std::string(info.bsv_url), url_of("udp", r.port));
    sync(h, r);
    std::string big(2000, 'z');
    log2_printf(h, LOG2_WARN | LOG2_F_NET, "vfs", "d:\\work\\zks\\src\\a.c", 12, "fn", "first %d", 1);
    log2_printf(h, LOG2_INFO, "vfs", "a.c", 13, "fn", "not sent");
    log2_printf(h, LOG2_INFO | LOG2_F_NET, "net", "a.c", 14, "fn", "tag net is never recorded");
    log2_printf(h, LOG2_INFO | LOG2_F_BSV_ONLY, "vfs", "a.c", 15, "fn", "%s", big.c_str());
    log2_printf(h, LOG2_NOTI | LOG2_F_NET, "vfs", "a.c", 16, "fn", "last");
    std::vector<std::string> got = r.packets();
    log2_exit(h);

    ASSERT_EQ(got.size(), 3u);
    for (auto &l : got) {
        EXPECT_EQ(field(l, "flags"), "2") << l;
        EXPECT_EQ(field(l, "crc_ok"), "true") << l;
        EXPECT_EQ(field(l, "type"), "5") << l;
        EXPECT_EQ(field(l, "length"), field(l, "size")) << l;
        EXPECT_EQ(field(l, "os_id"), std::to_string(bsv_os_id())) << l;
        EXPECT_EQ(field(l, "arch_id"), std::to_string(bsv_arch_id())) << l;
        EXPECT_EQ(field(l, "type_id"), "1") << l;
        EXPECT_EQ(field(l, "pid"), std::to_string(os_getpid())) << l;
        EXPECT_EQ(field(l, "hostname"), std::string(g_pl_sys.hostname)) << l;
        EXPECT_EQ(field(l, "sid"), std::to_string(g_pl_sys.mac)) << l;
        EXPECT_EQ(field(l, "bid"), std::to_string(g_pl_sys.boot_time)) << l;
    }
    g_app.app_name = saved_name;
    g_app.ver_id = saved_ver;
    EXPECT_EQ(field(got[0], "ver_id"), "17237506");
    EXPECT_EQ(field(got[0], "app_id"), "7");
    EXPECT_EQ(field(got[0], "msg"), "first 1");
    EXPECT_EQ(field(got[0], "file"), "src\\\\a.c");
    EXPECT_EQ(field(got[0], "line"), "12");
    EXPECT_EQ(field(got[0], "level"), "4");
    EXPECT_EQ(field(got[0], "tag"), "vfs");
    EXPECT_EQ(field(got[1], "size"), "1472");
    EXPECT_EQ(field(got[2], "msg"), "last");
    EXPECT_EQ(field(got[2], "level"), "5");
}

TEST(BsvNet, UdpsEnciphersWithTheSharedKey)
{
    receiver r("secret");
    ASSERT_GT(r.port, 0);
    log2_t *h = quiet_handle();
    ASSERT_EQ(log2_ioctl(h, LOG2_IOC_BSV_OPEN, url_of("UDPS", r.port).c_str(), 0), 0);
    sync(h, r);
    log2_printf(h, LOG2_INFO | LOG2_F_NET, "vfs", "a.c", 1, "fn", "secret");
    std::vector<std::string> got = r.packets();
    log2_exit(h);
    EXPECT_EQ(bsv_get_encrypt(), 1);
    bsv_set_encrypt(0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(field(got[0], "flags"), "6");
    EXPECT_EQ(field(got[0], "raw_head").substr(0, 8), "62737606");
    EXPECT_NE(field(got[0], "raw_head").substr(8), "");
    EXPECT_EQ(field(got[0], "crc_ok"), "true");
    EXPECT_EQ(field(got[0], "msg"), "secret");
}

// The first packet made while "bsvnet" connects is sent once connected; the
// second one of that time is lost; a second open waits for the thread and
// starts one thread only.
TEST(BsvNet, PacketKeptWhileConnectingIsSentOnce)
{
    bsv_set_encrypt(0);
    receiver r("after");
    ASSERT_GT(r.port, 0);
    log2_t *h = quiet_handle();
    s_real_connect = bsv_net_connect;
    s_release = 0;
    s_waiting = 0;
    bsv_net_connect = held_connect;
    ASSERT_EQ(log2_ioctl(h, LOG2_IOC_BSV_OPEN, url_of("udp", r.port).c_str(), 0), 0);
    for (int i = 0; i < 60000 && !s_waiting.load(); i++)
        os_msleep(1);
    ASSERT_EQ(s_waiting.load(), 1);
    bsv_net_connect = s_real_connect; // the first thread is inside held_connect
    log2_printf(h, LOG2_INFO | LOG2_F_NET, "vfs", "a.c", 1, "fn", "kept");
    log2_printf(h, LOG2_INFO | LOG2_F_NET, "vfs", "a.c", 1, "fn", "lost");
    s_release = 1;
    // Opening again joins the first thread (no second one runs beside it).
    ASSERT_EQ(log2_ioctl(h, LOG2_IOC_BSV_OPEN, url_of("udp", r.port).c_str(), 0), 0);
    // Records made while the second connect runs may be kept or sent: only
    // one of them goes out either way.
    for (int i = 0; i < 3; i++)
        log2_printf(h, LOG2_INFO | LOG2_F_NET, "vfs", "a.c", 1, "fn", "after");
    std::vector<std::string> got = r.packets();
    log2_exit(h);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(field(got[0], "msg"), "kept");
    EXPECT_EQ(field(got[1], "msg"), "after");
    for (auto &l : got)
        EXPECT_NE(field(l, "msg"), "lost");
}

TEST(BsvNet, BadUrlsAndClose)
{
    log2_t *h = quiet_handle();
    {
        zk_test::log_capture cap;
        EXPECT_EQ(log2_ioctl(h, LOG2_IOC_BSV_OPEN, "udp://", 0), -1);
    }
    log2_info_t info;
    log2_get_info(h, &info);
    EXPECT_STREQ(info.bsv_url, "");
    // A receiver that cannot be reached: the thread ends with no socket and
    // records are dropped; closing waits for the thread.
    s_real_connect = bsv_net_connect;
    bsv_net_connect = [](const char *, int) { return -1; };
    EXPECT_EQ(log2_ioctl(h, LOG2_IOC_BSV_OPEN, "udp://unreachable:9", 0), 0);
    log2_printf(h, LOG2_INFO | LOG2_F_NET, "vfs", "a.c", 1, "fn", "dropped");
    log2_exit(h);
    bsv_net_connect = s_real_connect;
    // The default port is 514.
    log_bsv_t *ctx = log_bsv_new();
    ASSERT_EQ(log_bsv_udp_open(ctx, "udp://127.0.0.1"), 0);
    EXPECT_STREQ(log_bsv_get_url(ctx), "udp://127.0.0.1");
    EXPECT_EQ(log_bsv_close(ctx), 0);
    EXPECT_STREQ(log_bsv_get_url(ctx), "");
    log_bsv_free(ctx);
}
