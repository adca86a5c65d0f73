// Host, device and network-adapter facts (see os_host.h).
#include "libpal/os/os_host.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <linux/hdreg.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/os/posix/os_fs_file3.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/utils/pl_vector.h"
#include "liblog/log2.h"

#define TAG "pal"

namespace {

// ---- seams and static buffers --------------------------------------------------------
std::string g_root;
os_host_ioctl_fn g_ioctl;

char g_info[256];
char g_distro[64];
char g_arch[16];
char g_hw[256];
char g_host_id[512];
char g_mem[128];

// path with the test root before it ("/proc/mtd" -> "<root>/proc/mtd").
std::string host_path(const char *path) { return g_root + path; }

int dev_ioctl(int fd, unsigned long request, void *arg)
{
    return g_ioctl ? g_ioctl(fd, request, arg) : ioctl(fd, request, arg);
}

char *cat(const char *path) { return os_cat(host_path(path).c_str()); }

uint64_t mac_of(const unsigned b[6])
{
    uint64_t v = 0;
    for (int i = 0; i < 6; i++)
        v = (v << 8) | (b[i] & 0xff);
    return v;
}

} // namespace

void os_host_set_seams(const char *root, os_host_ioctl_fn ioctl_fn)
{
    g_root = root ? root : "";
    g_ioctl = ioctl_fn;
    g_info[0] = g_distro[0] = g_arch[0] = g_hw[0] = g_host_id[0] = g_mem[0] = '\0';
}

// ---- operating system and host ---------------------------------------------------------

int os_get_info(char *buf, size_t size)
{
    struct utsname u;
    if (uname(&u) != 0) {
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "uname error: ");
        return -1;
    }
    str_sprintf_s2(buf, size, "%s %s %s %s %s %s", u.sysname, u.nodename, u.release, u.version, u.machine, "");
    return 0;
}

const char *os_info_cstr(void)
{
    if (!g_info[0] && os_get_info(g_info, sizeof g_info) == 0)
        str_trim(g_info);
    return g_info;
}

const char *os_get_distro(void)
{
    if (g_distro[0])
        return g_distro;
    if (char *text = cat("/etc/lsb-release")) {
        if (str_kv_get(text, "\r\n", "DISTRIB_DESCRIPTION", g_distro, sizeof g_distro) != 0)
            g_distro[0] = '\0';
        str_trim_all(g_distro);
        os_free(text);
    }
    if (!g_distro[0]) {
        if (char *text = cat("/etc/redhat-release")) {
            if (str_safecopy(g_distro, sizeof g_distro, text) != 0)
                g_distro[0] = '\0';
            str_trim(g_distro);
            os_free(text);
        }
    }
    if (!g_distro[0])
        str_safecopy(g_distro, sizeof g_distro, "unkown linux");
    return g_distro;
}

const char *os_get_arch(void)
{
    if (g_arch[0])
        return g_arch;
    struct utsname u;
    if (uname(&u) != 0) {
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "uname error: ");
        return "unkown";
    }
    str_safecopy(g_arch, sizeof g_arch, pl_glob_match("i??6", u.machine, 0, 0) ? "x86" : u.machine);
    return g_arch;
}

char *os_get_hostname(char *buf, size_t size)
{
    if (!buf || size == 0)
        return buf;
    char tmp[256] = {0};
    if (gethostname(tmp, sizeof(tmp) - 1) != 0 || tmp[0] == '\0' || strcmp(tmp, "(none)") == 0)
        str_safecopy_trunc(buf, size, "none");
    else
        str_safecopy_trunc(buf, size, tmp);
    return buf;
}

int64_t os_get_boot_time(void)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0)
        return 0;
    return (int64_t)time(nullptr) - (int64_t)si.uptime;
}

uint64_t os_get_total_ram(void)
{
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
}

const char *os_mem_info_cstr(void)
{
    if (!g_mem[0])
        str_sprintf_s2(g_mem, sizeof g_mem, "%s PS=%u", str_fmt_size(os_get_total_ram(), 0), mem_get_pagesize());
    return g_mem;
}

// ---- MAC addresses -------------------------------------------------------------------------

u64_vector_t *os_mac_list(void)
{
    DIR *d = opendir(host_path("/sys/class/net").c_str());
    if (!d)
        return nullptr;
    u64_vector_t *v = u64_vector_new(0);
    while (v) {
        struct dirent *e = readdir(d);
        if (!e)
            break;
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        char path[512];
        str_sprintf_s2(path, sizeof path, "/sys/class/net/%s/address", e->d_name);
        char *text = cat(path);
        if (!text)
            continue;
        unsigned b[6] = {0, 0, 0, 0, 0, 0};
        sscanf(text, "%02x:%02x:%02x:%02x:%02x:%02x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
        os_free(text);
        const uint64_t mac = mac_of(b);
        if (mac > 0xffffff)
            u64_vector_push_back(v, mac);
    }
    closedir(d);
    return v;
}

uint64_t os_mac_select(int mode)
{
    u64_vector_t *v = os_mac_list();
    if (!v)
        return 0;
    if (mode == 1 || mode == 2)
        u64_vector_sort(v, mode == 2);
    const uint64_t r = v->count ? v->data[0] : 0;
    u64_vector_free(v);
    return r;
}

uint64_t os_mac_get(void) { return os_mac_select(0); }
uint64_t os_mac_first(void) { return os_mac_select(0); }
uint64_t os_mac_min(void) { return os_mac_select(1); }
uint64_t os_mac_max(void) { return os_mac_select(2); }

uint64_t os_mac_bytes_2_u64(const uint8_t *bytes, int count)
{
    if (!bytes || count < 6 || count > 8)
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < count; i++)
        v = (v << 8) | bytes[i];
    return v;
}

int os_mac_str_2_bytes(const char *text, uint8_t out[6])
{
    memset(out, 0, 6);
    if (!text)
        return 0;
    unsigned b[6] = {0, 0, 0, 0, 0, 0};
    const int n = sscanf(text, "%02x:%02x:%02x:%02x:%02x:%02x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    for (int i = 0; i < 6; i++)
        out[i] = static_cast<uint8_t>(b[i]);
    return n < 0 ? 0 : n;
}

u64_vector_t *os_mac_get_all2(void)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return nullptr;
    struct ifreq reqs[16];
    struct ifconf conf;
    memset(reqs, 0, sizeof reqs);
    conf.ifc_len = sizeof reqs;
    conf.ifc_req = reqs;
    if (ioctl(s, SIOCGIFCONF, &conf) != 0) {
        LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "ioctl: SIOCGIFCONF error: ");
        close(s);
        return nullptr;
    }
    const int n = conf.ifc_len / static_cast<int>(sizeof(struct ifreq));
    LOG_VERB(TAG, "interface num is intrface=%d\n", n);
    u64_vector_t *v = u64_vector_new(0);
    for (int i = n - 1; i >= 0 && v; i--) {
        struct ifreq r = reqs[i];
        LOG_VERB(TAG, "net device %s\n", r.ifr_name);
        if (ioctl(s, SIOCGIFFLAGS, &r) != 0) {
            LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "ioctl %s SIOCGIFFLAGS error: ", r.ifr_name);
            continue;
        }
        if (!(r.ifr_flags & IFF_UP)) {
            LOG_VERB(TAG, "interface status is DOWN\n");
            continue;
        }
        LOG_VERB(TAG, "interface status is UP\n");
        if (ioctl(s, SIOCGIFADDR, &r) != 0) {
            LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "ioctl %s SIOCGIFADDR error: ", r.ifr_name);
            continue;
        }
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in *>(&r.ifr_addr)->sin_addr, ip, sizeof ip);
        LOG_VERB(TAG, "ip=%s\n", ip);
        if (ioctl(s, SIOCGIFHWADDR, &r) != 0) {
            LOG2(LOG2_VERB | LOG2_F_ERRNO, TAG, "ioctl %s SIOCGIFHWADDR error: ", r.ifr_name);
            continue;
        }
        const auto *hw = reinterpret_cast<const uint8_t *>(r.ifr_hwaddr.sa_data);
        LOG_VERB(TAG, "%02x:%02x:%02x:%02x:%02x:%02x\n", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
        const uint64_t mac = os_mac_bytes_2_u64(hw, 6);
        if (mac > 0xffffff)
            u64_vector_push_back(v, mac);
    }
    close(s);
    return v;
}

const char *os_hw_info_cstr(void)
{
    if (!g_hw[0])
        str_sprintf_s2(g_hw, sizeof g_hw, "%llx", static_cast<unsigned long long>(os_mac_first()));
    return g_hw;
}

const char *os_host_id_cstr(const char *text)
{
    char a[33], b[33];
    hash_md5_str(text, a);
    hash_md5_str(os_hw_info_cstr(), b);
    str_sprintf_s2(g_host_id, sizeof g_host_id, "%s\t%s", a, b);
    return g_host_id;
}

// ---- network adapters -------------------------------------------------------------------

namespace {

const char *family_name(int f)
{
    switch (f) {
    case AF_PACKET: return "AF_PACKET";
    case AF_INET: return "AF_INET";
    case AF_INET6: return "AF_INET6";
    default: return "???";
    }
}

// Numeric text of an interface address; false (logged) when it fails.
bool numeric_host(const struct ifaddrs *a, char *host, size_t size)
{
    const socklen_t len =
        a->ifa_addr->sa_family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
    const int r = getnameinfo(a->ifa_addr, len, host, static_cast<socklen_t>(size), nullptr, 0, NI_NUMERICHOST);
    if (r != 0) {
        LOG_ERR(TAG, "getnameinfo() failed: %s\n", gai_strerror(r));
        return false;
    }
    return true;
}

} // namespace

int os_adapter_get_active_ip(char *buf, size_t size)
{
    if (buf && size)
        buf[0] = '\0';
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "getifaddrs error: ");
        return -1;
    }
    int r = -1;
    for (struct ifaddrs *a = list; a && r != 0; a = a->ifa_next) {
        if (!a->ifa_addr || (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6))
            continue;
        char host[NI_MAXHOST];
        if (!numeric_host(a, host, sizeof host))
            continue;
        if (strcmp(host, "127.0.0.1") == 0 || !os_ipaddr_is_ipv4_cstr(host))
            continue;
        str_safecopy_trunc(buf, size, host);
        r = 0;
    }
    freeifaddrs(list);
    return r;
}

int os_get_active_ip(char *buf, size_t size) { return os_adapter_get_active_ip(buf, size); }

int os_adapter_show(void)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "getifaddrs error: ");
        return -1;
    }
    for (struct ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr)
            continue;
        const int f = a->ifa_addr->sa_family;
        printf("%-8s %s (%d)\n", a->ifa_name, family_name(f), f);
        char host[NI_MAXHOST];
        if ((f == AF_INET || f == AF_INET6) && numeric_host(a, host, sizeof host))
            printf("\t\taddress: <%s>\n", host);
    }
    fflush(stdout);
    freeifaddrs(list);
    return 0;
}

// ---- storage devices --------------------------------------------------------------------

char *os_dev_sysfs_attr(const char *dev, const char *attr)
{
    if (!dev || !attr)
        return nullptr;
    const char *base = strrchr(dev, '/');
    base = base ? base + 1 : dev;
    char path[512];
    str_sprintf_s2(path, sizeof path, "/sys/block/%s/device/%s", base, attr);
    FILE *f = fopen(host_path(path).c_str(), "re");
    if (!f)
        return nullptr;
    char line[256] = "";
    char *got = fgets(line, sizeof line, f);
    fclose(f);
    if (!got)
        return nullptr;
    str_trim(line);
    return os_strdup(line);
}

namespace {

// ATA identity: "model|serial", or the model alone when the serial is not
// letters and digits only.
void model_from_ata(int fd, char *buf, size_t size)
{
    uint8_t id[512];
    memset(id, 0, sizeof id);
    const int r = dev_ioctl(fd, HDIO_GET_IDENTITY, id);
    LOG_VERB(TAG, "HDIO_GET_IDENTITY ret=%d [%s]\n", r, strerror(errno));
    if (r != 0)
        return;
    const auto *ident = reinterpret_cast<const struct hd_driveid *>(id);
    char model[41], serial[20];
    memcpy(model, ident->model, 40);
    model[40] = '\0';
    memcpy(serial, ident->serial_no, 19);
    serial[19] = '\0';
    str_trim(model);
    str_trim(serial);
    if (!str_is_char_class(serial, STR_CLASS_ALPHA | STR_CLASS_DIGIT))
        serial[0] = '\0';
    char tmp[80];
    if (serial[0])
        str_sprintf_s2(tmp, sizeof tmp, "%s|%s", model, serial);
    else
        str_safecopy_trunc(tmp, sizeof tmp, model);
    LOG_VERB(TAG, "tmp1=%s\n", tmp);
    str_safecopy_trunc(buf, size, tmp);
}

// SCSI INQUIRY: "vendor-product".
void scsi_query_product_info(int fd, char *buf, size_t size)
{
    int version = 0;
    const int r = dev_ioctl(fd, SG_GET_VERSION_NUM, &version);
    LOG_VERB(TAG, "SG_GET_VERSION_NUM ret=%d [%s]\n", r, strerror(errno));
    if (r != 0 || version < 30000)
        return;
    uint8_t cmd[6] = {0x12, 0, 0, 0, 96, 0};
    uint8_t reply[96], sense[32];
    memset(reply, 0, sizeof reply);
    sg_io_hdr_t io;
    memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = sizeof cmd;
    io.cmdp = cmd;
    io.dxfer_len = sizeof reply;
    io.dxferp = reply;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 20000;
    if (dev_ioctl(fd, SG_IO, &io) != 0 || (io.info & SG_INFO_OK_MASK) != SG_INFO_OK)
        return;
    char vendor[9], product[17], rev[5];
    memcpy(vendor, reply + 8, 8);
    vendor[8] = '\0';
    memcpy(product, reply + 16, 16);
    product[16] = '\0';
    memcpy(rev, reply + 32, 4);
    rev[4] = '\0';
    str_trim(vendor);
    str_trim(product);
    str_trim(rev);
    LOG_VERB(TAG, "1: %s\n", vendor);
    LOG_VERB(TAG, "2: %s\n", product);
    LOG_VERB(TAG, "3: %s\n", rev);
    str_sprintf_s2(buf, size, "%s-%s", vendor, product);
}

void model_from_sysfs(const char *dev, char *buf, size_t size)
{
    LOG_VERB(TAG, "read_device_sysfs_file ==>\n");
    char *vendor = os_dev_sysfs_attr(dev, "vendor");
    char *model = os_dev_sysfs_attr(dev, "model");
    char *rev = os_dev_sysfs_attr(dev, "rev");
    if (model)
        str_safecopy_trunc(buf, size, model);
    os_free(vendor);
    os_free(model);
    os_free(rev);
}

// "mtdblock3" -> the name of partition mtd3 in /proc/mtd.
void model_from_mtd(const char *dev, char *buf, size_t size)
{
    LOG_VERB(TAG, "/proc/mtd ==>\n");
    const char *p = nullptr;
    for (const char *q = strstr(dev, "mtdblock"); q; q = strstr(q + 1, "mtdblock"))
        p = q;
    if (!p)
        return;
    char key[64];
    str_sprintf_s2(key, sizeof key, "mtd%s:", p + strlen("mtdblock"));
    LOG_VERB(TAG, "/dev/mtd dev_name=[%s]\n", key);
    char *text = cat("/proc/mtd");
    if (!text) {
        LOG_VERB(TAG, "open /proc/mtd failed\n");
        return;
    }
    char *save = nullptr;
    for (char *line = strtok_r(text, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
        char f1[64] = "", f2[64] = "", f3[64] = "", f4[256] = "";
        if (sscanf(line, "%63s %63s %63s %255s", f1, f2, f3, f4) < 4 || strcmp(f1, key) != 0)
            continue;
        str_delchar(f4, '"');
        str_safecopy_trunc(buf, size, f4);
        break;
    }
    os_free(text);
}

// ".../mmcblk1p3" or ".../bml3": the partition's name in mtdparts= of the
// kernel command line.
void model_from_cmdline(const char *dev, char *buf, size_t size)
{
    LOG_VERB(TAG, "/proc/cmdline ==>\n");
    const char *marks[] = {"/mmcblk1p", "/bml"};
    const char *rest = nullptr;
    for (const char *m : marks) {
        for (const char *q = strstr(dev, m); q; q = strstr(q + 1, m))
            rest = q + strlen(m);
        if (rest)
            break;
    }
    if (!rest)
        return;
    const int idx = str_atoi(rest) - 1;
    LOG_VERB(TAG, "/proc/cmdline idx=[%d]\n", idx);
    if (idx < 0)
        return;
    char *text = cat("/proc/cmdline");
    if (!text) {
        LOG_VERB(TAG, "open /proc/cmdline failed\n");
        return;
    }
    LOG_VERB(TAG, "/proc/cmdline 1==>\n");
    if (char *parts = strstr(text, "mtdparts=")) {
        parts += strlen("mtdparts=");
        parts[strcspn(parts, " \t\r\n")] = '\0';
        if (char *item = str_get_nth_tok(parts, ",", idx)) {
            char *open = strchr(item, '(');
            char *close = open ? strchr(open + 1, ')') : nullptr;
            if (close) {
                *close = '\0';
                str_safecopy_trunc(buf, size, open + 1);
            }
        }
    }
    os_free(text);
}

} // namespace

int os_dev_get_model_imp(int fd, char *buf, size_t size, const char *dev)
{
    if (!buf || size == 0)
        return 0;
    LOG_VERB(TAG, "fd=%d name=%s\n", fd, dev ? dev : "");
    if (!buf[0] && fd >= 0)
        model_from_ata(fd, buf, size);
    if (!buf[0] && fd >= 0)
        scsi_query_product_info(fd, buf, size);
    if (!buf[0] && dev)
        model_from_sysfs(dev, buf, size);
    if (!buf[0] && dev)
        model_from_mtd(dev, buf, size);
    if (!buf[0] && dev)
        model_from_cmdline(dev, buf, size);
    return 0;
}

int os_dev_get_model(int fd, char *buf, size_t size, const char *dev)
{
    if (dev && (strcmp(dev, "/dev/mem") == 0 || strcmp(dev, "/dev/pmem") == 0 || strcmp(dev, "/dev/ram") == 0)) {
        str_safecopy_trunc(buf, size, "PhysicalMemory");
        return 0;
    }
    return os_dev_get_model_imp(fd, buf, size, dev);
}
