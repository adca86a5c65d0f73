// Host, device and adapter facts: this machine's answers (read only), then
// fixture trees and canned disk replies through the seams; serial ports
// through a pseudo-terminal pair.
#include <gtest/gtest.h>

#include <linux/hdreg.h>
#include <pty.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/network/os_serial.h"
#include "libpal/os/os_host.h"
#include "libpal/utils/pl_vector.h"
#include "test_util.h"

namespace {

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

void put(const std::string &path, const std::string &text)
{
    std::string dir = path.substr(0, path.rfind('/'));
    zk_test::run("mkdir -p '" + dir + "'");
    std::ofstream(path) << text;
}

// Restores the real machine after each test that sets the seams.
struct seams {
    zk_test::temp_dir root{"zk_host"};
    explicit seams(os_host_ioctl_fn fn = nullptr) { os_host_set_seams(root.path.c_str(), fn); }
    ~seams() { os_host_set_seams(nullptr, nullptr); }
};

TEST(Host, ThisMachine)
{
    os_host_set_seams(nullptr, nullptr);
    EXPECT_EQ(std::string(os_info_cstr()), trim(zk_test::run("uname -snrvm")));
    char info[256];
    ASSERT_EQ(os_get_info(info, sizeof info), 0);
    EXPECT_EQ(std::string(info), trim(zk_test::run("uname -snrvm")) + " ");

    const int64_t btime = std::stoll(zk_test::run("awk '/^btime/ {print $2}' /proc/stat"));
    EXPECT_LE(std::llabs(os_get_boot_time() - btime), 2);
    EXPECT_EQ(os_get_total_ram(), (uint64_t)sysconf(_SC_PHYS_PAGES) * (uint64_t)sysconf(_SC_PAGESIZE));
    EXPECT_NE(std::string(os_mem_info_cstr()).find(" PS="), std::string::npos);

    std::set<uint64_t> want;
    std::string lines = zk_test::run("cat /sys/class/net/*/address 2>/dev/null");
    size_t pos = 0;
    while (pos < lines.size()) {
        const size_t nl = lines.find('\n', pos);
        std::string l = lines.substr(pos, nl - pos);
        pos = nl == std::string::npos ? lines.size() : nl + 1;
        uint8_t b[6];
        if (os_mac_str_2_bytes(l.c_str(), b) == 6 && os_mac_bytes_2_u64(b, 6) > 0xffffff)
            want.insert(os_mac_bytes_2_u64(b, 6));
    }
    u64_vector_t *v = os_mac_list();
    ASSERT_TRUE(v);
    std::set<uint64_t> got(v->data, v->data + v->count);
    u64_vector_free(v);
    EXPECT_EQ(got, want);
    if (want.empty()) {
        EXPECT_STREQ(os_hw_info_cstr(), "0");
    } else {
        EXPECT_EQ(os_mac_min(), *want.begin());
        EXPECT_EQ(os_mac_max(), *want.rbegin());
    }

    char ip[64];
    const std::string addrs = zk_test::run("ip -4 -o addr 2>/dev/null | awk '{print $4}' | cut -d/ -f1");
    if (os_adapter_get_active_ip(ip, sizeof ip) == 0) {
        EXPECT_NE(std::string(ip), "127.0.0.1");
        EXPECT_NE(addrs.find(ip), std::string::npos) << ip << " in " << addrs;
    } else {
        EXPECT_EQ(addrs.find_first_not_of("127.0.0.1\n"), std::string::npos) << addrs;
    }
}

TEST(Host, DistributionSources)
{
    {
        seams s;
        put(s.root / "etc/lsb-release", "DISTRIB_ID=Box\nDISTRIB_DESCRIPTION=\"Box Linux 1.0\"\n");
        put(s.root / "etc/redhat-release", "Red Box 2\n");
        EXPECT_STREQ(os_get_distro(), "Box Linux 1.0");
    }
    {
        seams s;
        put(s.root / "etc/lsb-release", "DISTRIB_DESCRIPTION=\"" + std::string(70, 'x') + "\"\n");
        put(s.root / "etc/redhat-release", "  Red Box 2 \n");
        EXPECT_STREQ(os_get_distro(), "Red Box 2");
    }
    {
        seams s;
        put(s.root / "etc/redhat-release", std::string(64, 'r'));
        EXPECT_STREQ(os_get_distro(), "unkown linux");
    }
}

TEST(Host, MacAddressesAndIds)
{
    {
        seams s;
        put(s.root / "sys/class/net/lo/address", "00:00:00:00:00:00\n");
        EXPECT_EQ(os_mac_first(), 0u);
        EXPECT_STREQ(os_hw_info_cstr(), "0");
        EXPECT_STREQ(os_host_id_cstr("abc"),
                     "900150983cd24fb0d6963f7d28e17f72\tcfcd208495d565ef66e7dff9f98764da");
    }
    {
        seams s;
        put(s.root / "sys/class/net/eth0/address", "52:54:00:12:34:56\n");
        put(s.root / "sys/class/net/eth1/address", "02:00:00:00:00:01\n");
        put(s.root / "sys/class/net/lo/address", "00:00:00:00:00:00\n");
        EXPECT_EQ(os_mac_min(), 0x020000000001ull);
        EXPECT_EQ(os_mac_max(), 0x525400123456ull);
    }
    const uint8_t b[8] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56, 0x78, 0x9a};
    EXPECT_EQ(os_mac_bytes_2_u64(b, 6), 0x525400123456ull);
    EXPECT_EQ(os_mac_bytes_2_u64(b, 8), 0x525400123456789aull);
    EXPECT_EQ(os_mac_bytes_2_u64(b, 5), 0u);
    uint8_t out[6];
    EXPECT_EQ(os_mac_str_2_bytes("52:54:00", out), 3);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[5], 0);
}

// Canned disk replies, chosen by the descriptor the test passes.
enum { FD_ATA_GOOD = 1001, FD_ATA_ODD = 1002, FD_SCSI = 1003, FD_NONE = 1004 };
int fake_ioctl(int fd, unsigned long req, void *arg)
{
    if (req == HDIO_GET_IDENTITY && (fd == FD_ATA_GOOD || fd == FD_ATA_ODD)) {
        auto *id = static_cast<struct hd_driveid *>(arg);
        memset(id->model, ' ', sizeof id->model);
        memcpy(id->model, "Disk Model 9", 12);
        memset(id->serial_no, ' ', sizeof id->serial_no);
        memcpy(id->serial_no, fd == FD_ATA_GOOD ? "  AB12CD34" : "  AB-12", fd == FD_ATA_GOOD ? 10 : 7);
        return 0;
    }
    if (req == SG_GET_VERSION_NUM && fd == FD_SCSI) {
        *static_cast<int *>(arg) = 30527;
        return 0;
    }
    if (req == SG_IO && fd == FD_SCSI) {
        auto *io = static_cast<sg_io_hdr_t *>(arg);
        EXPECT_EQ(io->cmdp[0], 0x12);
        EXPECT_EQ(io->dxfer_len, 96u);
        auto *r = static_cast<uint8_t *>(io->dxferp);
        memcpy(r + 8, "VENDOR  ", 8);
        memcpy(r + 16, "Product Name    ", 16);
        memcpy(r + 32, "1.0 ", 4);
        io->info = SG_INFO_OK;
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

std::string model(int fd, const char *dev)
{
    char buf[128] = "";
    EXPECT_EQ(os_dev_get_model(fd, buf, sizeof buf, dev), 0);
    return buf;
}

TEST(Host, DeviceModels)
{
    seams s(fake_ioctl);
    put(s.root / "proc/mtd", "dev:    size   erasesize  name\nmtd2: 00020000 00010000 \"env\"\n"
                             "mtd3: 00800000 00020000 \"rootfs\"\n");
    put(s.root / "proc/cmdline", "console=ttyS0 mtdparts=x:1m(boot),64k(env),-(rootfs) quiet\n");
    put(s.root / "sys/block/sdz/device/vendor", "ACME\n");
    put(s.root / "sys/block/sdz/device/model", "  Spinner 3000  \n");
    put(s.root / "sys/block/sdz/device/rev", "7\n");
    const struct {
        int fd;
        const char *dev, *want;
    } rows[] = {
        {FD_NONE, "/dev/mem", "PhysicalMemory"},
        {FD_NONE, "/dev/pmem", "PhysicalMemory"},
        {FD_NONE, "/dev/ram", "PhysicalMemory"},
        {FD_ATA_GOOD, "/dev/ram0", "Disk Model 9|AB12CD34"}, // queried like any device
        {FD_ATA_ODD, "/dev/sda", "Disk Model 9"},
        {FD_SCSI, "/dev/sg1", "VENDOR-Product Name"},
        {FD_NONE, "/dev/sdz", "Spinner 3000"},
        {FD_NONE, "/dev/mtdblock3", "rootfs"},
        {FD_NONE, "/dev/mtdblock7", ""},
        {FD_NONE, "/dev/block/mmcblk1p3", "rootfs"},
        {FD_NONE, "/dev/block/mmcblk1p1", "boot"},
        {FD_NONE, "/dev/block/mmcblk1p9", ""},
        {FD_NONE, "/dev/nothing", ""},
    };
    for (const auto &r : rows)
        EXPECT_EQ(model(r.fd, r.dev), r.want) << r.dev;
    char *attr = os_dev_sysfs_attr("/dev/sdz", "vendor");
    ASSERT_TRUE(attr);
    EXPECT_STREQ(attr, "ACME");
    os_free(attr);
}

TEST(Serial, PseudoTerminal)
{
    int main_fd = -1, sub_fd = -1;
    char name[256];
    ASSERT_EQ(openpty(&main_fd, &sub_fd, name, nullptr, nullptr), 0);
    const int fd = os_serial_open(name, 9600, 0);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B9600);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    EXPECT_EQ(write(main_fd, "ping", 4), 4);
    char buf[16] = "";
    EXPECT_EQ(os_serial_read(fd, buf, 4, 5000), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(os_serial_write(fd, "pong", 4), 4);
    char back[8] = "";
    EXPECT_EQ(read(main_fd, back, 4), 4);
    EXPECT_EQ(std::string(back, 4), "pong");
    // Nothing arriving: 0 after the time-out.
    EXPECT_EQ(os_serial_read(fd, buf, sizeof buf, 50), 0);
    os_serial_close(fd);

    EXPECT_EQ(os_serial_open(name, 115200, 0), -1); // not a speed of the table
    EXPECT_EQ(os_serial_open("/nonexistent/tty", 9600, 0), -1);
    close(sub_fd);
    close(main_fd);
}

} // namespace
