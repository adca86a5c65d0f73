// The "ftp" driver: the dialogue's text forms without a connection, then
// mounts of real servers (pure-ftpd with MLSD, vsftpd without) and of the
// dialogue server of tests/ftp/ftp_peer.py for the answers real servers do
// not give on demand. Results are checked in the served directory.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <memory>
#include <vector>

#include "libvfs/ftp_proto.h"
#include "net/net_test_util.h"
#include "test_util.h"
#include "vfs/vfs_test_util.h"

using namespace vfs_test;

namespace {

// ---- text forms ------------------------------------------------------------------------

TEST(FtpProto, PasvAddresses)
{
    struct {
        const char *text;
        int ok;
        const char *host;
        int port;
    } cases[] = {
        {"227 Entering Passive Mode (10,0,0,7,19,137)", 0, "10.0.0.7", 5001},
        {"227 Entering Passive Mode (127,0,0,1,117,54).", 0, "127.0.0.1", 30006},
        {"227 =127,0,0,1,4,1", 0, "127.0.0.1", 1025},  // no brackets
        {"227 Entering Passive Mode (10,0,0,7,19)", -1, "", 0},
        {"227 Entering Passive Mode (10,0,0,7,19,137", -1, "", 0},
        {"227 Entering Passive Mode (10,0,0,256,19,137)", -1, "", 0},
        {"227 Entering Passive Mode (10,0,0,7,1999,1)", -1, "", 0},
        {"227 nothing here", -1, "", 0},
    };
    for (auto &c : cases) {
        char host[64] = "";
        int port = 0;
        EXPECT_EQ(ftp_pasv_parse(c.text, host, sizeof host, &port), c.ok) << c.text;
        if (c.ok == 0) {
            EXPECT_STREQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(FtpProto, ReplyLinesAndPwd)
{
    int more = -1;
    EXPECT_EQ(ftp_reply_line("211-Features:", &more), 211);
    EXPECT_EQ(more, 1);
    EXPECT_EQ(ftp_reply_line("211 End", &more), 211);
    EXPECT_EQ(more, 0);
    EXPECT_EQ(ftp_reply_line("226", &more), 226);
    EXPECT_EQ(ftp_reply_line(" SIZE", &more), -1);
    EXPECT_EQ(ftp_reply_line("21x ok", &more), -1);
    EXPECT_EQ(ftp_reply_line("2110 ok", &more), -1);

    char out[64];
    EXPECT_EQ(ftp_pwd_parse("257 \"/pub\" is the current directory", out, sizeof out), 0);
    EXPECT_STREQ(out, "/pub");
    EXPECT_EQ(ftp_pwd_parse("257 \"/a \"\"q\"\" b\" here", out, sizeof out), 0);
    EXPECT_STREQ(out, "/a \"q\" b");
    EXPECT_EQ(ftp_pwd_parse("257 no quotes", out, sizeof out), -1);
    EXPECT_EQ(ftp_pwd_parse("257 \"/unterminated", out, sizeof out), -1);
    EXPECT_EQ(ftp_pwd_parse("257 \"/toolong\"", out, 4), -1);
}

TEST(FtpProto, MlsdLines)
{
    struct {
        const char *line;
        int ok;
        uint32_t type;
        uint64_t size;
        int64_t mtime;
        const char *name;
        uint8_t self;
    } cases[] = {
        {"type=dir;modify=20250722000000; sub", 0, OS_FTYPE_DIR, 0, 1753142400, "sub", 0},
        {"type=file;size=12; a.txt", 0, OS_FTYPE_FILE, 12, -1, "a.txt", 0},
        {"Type=FILE;Size=5368709120; big", 0, OS_FTYPE_FILE, 5368709120ull, -1, "big", 0},
        {"type=file;size=18446744073709551615; max", 0, OS_FTYPE_FILE, UINT64_MAX, -1, "max", 0},
        {"type=file;size=1;modify=20250101120000.5; two  spaces", 0, OS_FTYPE_FILE, 1, 1735732800, "two  spaces", 0},
        {"type=cdir;sizd=4096; /pub", 0, OS_FTYPE_DIR, 0, -1, "/pub", 1},
        {"type=pdir; ..", 0, OS_FTYPE_DIR, 0, -1, "..", 2},
        {"type=OS.unix=slink:/x; ln", 1, 0, 0, -1, "ln", 0},
        {"type=OS.unix=chr-1/3;size=0; null", 1, 0, 0, -1, "null", 0},
        {"type=Dir; d", 0, OS_FTYPE_DIR, 0, -1, "d", 0},
        {"type=file;size=18446744073709551616; over", -1, 0, 0, 0, "", 0},
        {"type=file; nosize", -1, 0, 0, 0, "", 0},
        {"size=3; notype", -1, 0, 0, 0, "", 0},
        {"type=;size=3; empty", -1, 0, 0, 0, "", 0},
        {"type=file;size=3;", -1, 0, 0, 0, "", 0},
        {"type=file;size=3; ", -1, 0, 0, 0, "", 0},
        {"type=file;size=3;modify=2025; badtime", -1, 0, 0, 0, "", 0},
    };
    for (auto &c : cases) {
        ftp_entry e;
        EXPECT_EQ(ftp_mlsd_parse(c.line, &e), c.ok) << c.line;
        if (c.ok < 0)
            continue;
        EXPECT_EQ(e.type, c.type) << c.line;
        EXPECT_EQ(e.size, c.size) << c.line;
        EXPECT_EQ(e.mtime, c.mtime) << c.line;
        EXPECT_EQ(e.name, c.name) << c.line;
        EXPECT_EQ(e.self, c.self) << c.line;
    }
}

// ---- peers ------------------------------------------------------------------------------------

// One server of tests/ftp/ftp_peer.py over a fresh directory, stopped at the
// end of the scope.
struct ftp_server {
    zk_test::temp_dir dir{"zk_ftp"};
    std::string root;
    std::unique_ptr<net_test::child> proc;
    int port = 0;
    std::string work;

    explicit ftp_server(const std::string &kind, const std::string &modes = "", int quota_mb = 0)
    {
        root = dir.path + "/root";
        std::filesystem::create_directories(root);
        std::string py = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::vector<std::string> argv = {py, std::string(ZK_SOURCE_DIR) + "/tests/ftp/ftp_peer.py", kind, "--root",
                                         root};
        if (!modes.empty())
            argv.insert(argv.end(), {"--mode", modes});
        if (quota_mb)
            argv.insert(argv.end(), {"--quota", std::to_string(quota_mb)});
        proc = std::make_unique<net_test::child>(argv);
        if (proc->wait_for("WORK ", 30000)) {
            std::string out = proc->output(100);
            for (int i = 0; i < 3000 && out.find('\n', out.find("WORK ")) == std::string::npos; i++)
                out = proc->output(10);
            port = atoi(out.c_str() + out.find("PORT ") + 5);
            size_t w = out.find("WORK ") + 5;
            work = out.substr(w, out.find('\n', w) - w);
        }
    }
    std::string url(const std::string &user = "", const std::string &path = "/") const
    {
        return "ftp://" + (user.empty() ? "" : user + "@") + "127.0.0.1:" + std::to_string(port) + path;
    }
    // The command lines the dialogue server received.
    std::vector<std::string> commands() const
    {
        std::vector<std::string> v;
        std::istringstream in(slurp(work + "/commands.log"));
        for (std::string l; std::getline(in, l);)
            v.push_back(l);
        return v;
    }
    std::string host(const std::string &p) const { return root + p; }
};

class FtpTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        pl_init();
        ASSERT_EQ(libvfs_init(), 0);
    }
    void TearDown() override
    {
        if (mnt)
            vfs_umount(mnt);
    }
    vfs_mount_ctx *mount(const std::string &url)
    {
        vperror_t err{};
        mnt = vfs_mount(url.c_str(), &err);
        EXPECT_NE(mnt, nullptr) << url << ": " << err.code << " " << err.msg;
        return mnt;
    }
    // Whole file through a read handle, in pieces of `piece` bytes.
    std::string read_all(const std::string &path, size_t piece = 65536)
    {
        vfs_handle *h = vfs_open(mnt, path.c_str(), OS_FILE_READ);
        EXPECT_NE(h, nullptr) << vfs_errstr(mnt);
        if (!h)
            return "";
        std::string out;
        std::vector<char> buf(piece);
        for (;;) {
            int64_t n = vfs_read(h, buf.data(), piece, (int64_t)out.size());
            EXPECT_GE(n, 0) << vfs_errcode(h) << " " << vfs_errstr(h);
            if (n <= 0)
                break;
            out.append(buf.data(), (size_t)n);
        }
        EXPECT_EQ(vfs_close(h), 0);
        return out;
    }
    int write_file(const std::string &path, uint32_t flags, const std::string &data)
    {
        vfs_handle *h = vfs_open(mnt, path.c_str(), flags);
        if (!h)
            return -2;
        int64_t off = 0;
        if (flags & OS_FILE_APPEND) {
            os_file_stat_t st{};
            EXPECT_EQ(vfs_fstat(h, &st), 0);
            off = (int64_t)st.size;
        }
        int64_t n = vfs_write(h, data.data(), data.size(), off);
        EXPECT_EQ(n, (int64_t)data.size()) << vfs_errstr(h);
        return vfs_close(h);
    }
    vfs_mount_ctx *mnt = nullptr;
};

std::string pattern(size_t n, unsigned seed = 7)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((i * 131 + seed + i / 4096) & 0xff);
    return s;
}

// ---- pure-ftpd ---------------------------------------------------------------------------------

TEST_F(FtpTest, PureListsStatsAndReads)
{
    ftp_server srv("pure");
    ASSERT_GT(srv.port, 0);
    std::filesystem::create_directories(srv.host("/sub/deep"));
    std::string data = pattern(3 * 1024 * 1024 + 17);
    spit(srv.host("/sub/data.bin"), data);
    spit(srv.host("/sub/small.txt"), "hello\n");
    // A sparse 5 GiB file lists at its full 64-bit size.
    ASSERT_EQ(truncate((spit(srv.host("/sub/huge"), ""), srv.host("/sub/huge")).c_str(), 5ll << 30), 0);
    ASSERT_NE(mount(srv.url("alice:secret", "/sub")), nullptr);

    os_file_stat_t st{};
    ASSERT_EQ(vfs_stat(mnt, "/", &st), 0);
    EXPECT_EQ(st.type, (uint32_t)OS_FTYPE_DIR);
    EXPECT_EQ(st.mode, (uint32_t)(S_IFDIR | 0755));
    ASSERT_EQ(vfs_stat(mnt, "/huge", &st), 0) << vfs_errstr(mnt);
    EXPECT_EQ(st.size, 5ull << 30);
    EXPECT_EQ(st.mode, (uint32_t)(S_IFREG | 0644));
    EXPECT_EQ(st.uid, (uint32_t)geteuid());
    struct stat hs;
    ASSERT_EQ(::stat(srv.host("/sub/small.txt").c_str(), &hs), 0);
    ASSERT_EQ(vfs_lstat(mnt, "/small.txt", &st), 0);
    EXPECT_EQ(st.size, 6u);
    EXPECT_EQ((int64_t)st.mtime, (int64_t)hs.st_mtime);
    ASSERT_EQ(vfs_stat(mnt, "/deep", &st), 0);
    EXPECT_EQ(st.type, (uint32_t)OS_FTYPE_DIR);
    EXPECT_EQ(vfs_stat(mnt, "/missing", &st), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_FILE_NOT_FOUND);
    EXPECT_EQ(vfs_errno(mnt), ENOENT);
    EXPECT_EQ(vfs_stat(mnt, "/nodir/x", &st), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_FILE_NOT_FOUND);

    // The listing: "." and ".." plus the four names, with types and sizes.
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_NE(d, nullptr) << vfs_errstr(mnt);
    std::map<std::string, std::pair<uint32_t, uint64_t>> seen;
    for (os_dir_entry_t *e; (e = vfs_readdir(d));)
        seen[e->name] = {e->st.type, e->st.size};
    EXPECT_EQ(vfs_closedir(d), 0);
    std::map<std::string, std::pair<uint32_t, uint64_t>> want = {
        {".", {OS_FTYPE_DIR, 0}},           {"..", {OS_FTYPE_DIR, 0}},
        {"deep", {OS_FTYPE_DIR, 0}},        {"data.bin", {OS_FTYPE_FILE, data.size()}},
        {"small.txt", {OS_FTYPE_FILE, 6}}, {"huge", {OS_FTYPE_FILE, 5ull << 30}}};
    EXPECT_EQ(seen, want);

    // Sequential reads, then reads that jump backwards and forwards.
    EXPECT_EQ(read_all("/data.bin"), data);
    vfs_handle *h = vfs_open(mnt, "/data.bin", OS_FILE_READ);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(vfs_fstat(h, &st), 0);
    EXPECT_EQ(st.size, data.size());
    for (int64_t off : std::vector<int64_t>{2000000, 100, 100 + 4096, 3000000, 0, (int64_t)data.size() - 5}) {
        char buf[4096];
        int64_t n = vfs_read(h, buf, sizeof buf, off);
        int64_t want_n = std::min<int64_t>(sizeof buf, (int64_t)data.size() - off);
        ASSERT_EQ(n, want_n) << off << " " << vfs_errstr(h);
        EXPECT_EQ(std::string(buf, (size_t)n), data.substr((size_t)off, (size_t)n)) << off;
    }
    char b1;
    EXPECT_EQ(vfs_read(h, &b1, 1, (int64_t)data.size()), 0);
    // A stat in the middle of a transfer ends it; the next read goes on.
    char buf[1000];
    ASSERT_EQ(vfs_read(h, buf, sizeof buf, 5000), 1000);
    ASSERT_EQ(vfs_stat(mnt, "/small.txt", &st), 0);
    ASSERT_EQ(vfs_read(h, buf, sizeof buf, 6000), 1000);
    EXPECT_EQ(std::string(buf, 1000), data.substr(6000, 1000));
    EXPECT_EQ(vfs_lseek(h, 0, SEEK_SET), -1);
    EXPECT_EQ(vfs_errcode(h), VERR_NOT_SUPPORTED);
    EXPECT_EQ(vfs_write(h, "x", 1, 0), -1);
    EXPECT_EQ(vfs_errcode(h), VERR_NOT_SUPPORTED);
    EXPECT_EQ(vfs_close(h), 0);

    // Two downloads taking turns on the one control connection.
    vfs_handle *a = vfs_open(mnt, "/data.bin", OS_FILE_READ);
    vfs_handle *b = vfs_open(mnt, "/small.txt", OS_FILE_READ);
    ASSERT_TRUE(a && b);
    std::string ga, gb;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(vfs_read(a, buf, sizeof buf, (int64_t)ga.size()), 1000);
        ga.append(buf, 1000);
        int64_t n = vfs_read(b, buf, 2, (int64_t)gb.size());
        ASSERT_GE(n, 0);
        gb.append(buf, (size_t)n);
    }
    EXPECT_EQ(ga, data.substr(0, 3000));
    EXPECT_EQ(gb, "hello\n");
    EXPECT_EQ(vfs_close(a), 0);
    EXPECT_EQ(vfs_close(b), 0);

    // Open with a start offset.
    h = vfs_open(mnt, "/small.txt?offset=2", OS_FILE_READ);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(vfs_read(h, buf, sizeof buf, -1), 4);
    EXPECT_EQ(std::string(buf, 4), "llo\n");
    EXPECT_EQ(vfs_close(h), 0);

    // The root of the mount is the URL's path: getcwd shows paths of the mount.
    char cwd[256];
    ASSERT_EQ(vfs_chdir(mnt, "/deep"), 0);
    ASSERT_EQ(vfs_getcwd(mnt, cwd, sizeof cwd), 0);
    EXPECT_STREQ(cwd, "/deep");
    uint32_t os_type = 0;
    EXPECT_EQ(vfs_get_os_type(mnt, &os_type), 0);
    EXPECT_EQ(os_type, 1u);
    EXPECT_EQ(vfs_get_last_activity(mnt), 0); // no heartbeat for FTP mounts
}

TEST_F(FtpTest, PureUploads)
{
    ftp_server srv("pure");
    ASSERT_GT(srv.port, 0);
    ASSERT_NE(mount(srv.url("alice:secret")), nullptr);
    std::string data = pattern(2 * 1024 * 1024 + 3);
    EXPECT_EQ(write_file("/up.bin", OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC, data), 0);
    EXPECT_EQ(slurp(srv.host("/up.bin")), data);
    EXPECT_EQ(write_file("/up.bin", OS_FILE_WRITE | OS_FILE_APPEND, "tail"), 0);
    EXPECT_EQ(slurp(srv.host("/up.bin")), data + "tail");
    os_file_stat_t st{};
    ASSERT_EQ(vfs_stat(mnt, "/up.bin", &st), 0);
    EXPECT_EQ(st.size, data.size() + 4);

    // A write elsewhere than the position is refused; the upload stays usable.
    vfs_handle *h = vfs_open(mnt, "/w.txt", OS_FILE_WRITE | OS_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(vfs_write(h, "abc", 3, 0), 3);
    EXPECT_EQ(vfs_write(h, "zz", 2, 10), -1);
    EXPECT_EQ(vfs_errcode(h), VERR_NOT_SUPPORTED);
    char c;
    EXPECT_EQ(vfs_read(h, &c, 1, 0), -1);
    EXPECT_EQ(vfs_errcode(h), VERR_NOT_SUPPORTED);
    EXPECT_EQ(vfs_ftruncate(h, 1), -1);
    EXPECT_EQ(vfs_errcode(h), VERR_NOT_SUPPORTED);
    // A flush ends the upload; a later write at the position goes on (APPE).
    EXPECT_EQ(vfs_flush(h), 0);
    EXPECT_EQ(slurp(srv.host("/w.txt")), "abc");
    EXPECT_EQ(vfs_write(h, "def", 3, 3), 3);
    EXPECT_EQ(vfs_close(h), 0);
    EXPECT_EQ(slurp(srv.host("/w.txt")), "abcdef");

    // A plain write-only open changes nothing until it writes; a truncation
    // to 0 then empties the file at the end.
    h = vfs_open(mnt, "/w.txt", OS_FILE_WRITE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(vfs_ftruncate(h, 3), -1);
    EXPECT_EQ(vfs_close(h), 0);
    EXPECT_EQ(slurp(srv.host("/w.txt")), "abcdef");
    h = vfs_open(mnt, "/w.txt", OS_FILE_WRITE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(vfs_ftruncate(h, 0), 0);
    EXPECT_EQ(vfs_close(h), 0);
    EXPECT_EQ(slurp(srv.host("/w.txt")), "");

    // Flags other than read, write or append are refused before any command.
    for (uint32_t fl : {(uint32_t)OS_FILE_RDWR, (uint32_t)(OS_FILE_READ | OS_FILE_WRITE)}) {
        EXPECT_EQ(vfs_open(mnt, "/up.bin", fl), nullptr);
        EXPECT_EQ(vfs_errcode(mnt), VERR_NOT_SUPPORTED);
    }
    // Missing files and directories.
    EXPECT_EQ(vfs_open(mnt, "/nothing", OS_FILE_READ), nullptr);
    EXPECT_EQ(vfs_errcode(mnt), VERR_FILE_NOT_FOUND);
    EXPECT_EQ(vfs_opendir(mnt, "/nothing"), nullptr);
    EXPECT_EQ(vfs_errcode(mnt), VERR_FILE_NOT_FOUND);
    EXPECT_EQ(vfs_open(mnt, "/nodir/x", OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
    EXPECT_EQ(vfs_errcode(mnt), VERR_DEV_IO_ERROR); // 553
    // Operations the driver does not serve change nothing.
    EXPECT_EQ(vfs_unlink(mnt, "/up.bin"), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_NOT_IMPLEMENTED);
    EXPECT_EQ(vfs_rename(mnt, "/up.bin", "/x", 1), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_NOT_IMPLEMENTED);
    EXPECT_TRUE(exists(srv.host("/up.bin")));
    EXPECT_EQ(vfs_mkdir_default(mnt, "/newdir"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(srv.host("/newdir")));
}

TEST_F(FtpTest, PureQuotaRefusalReachesClose)
{
    ftp_server srv("pure", "", 1);
    ASSERT_GT(srv.port, 0);
    ASSERT_NE(mount(srv.url("alice:secret")), nullptr);
    vfs_handle *h = vfs_open(mnt, "/big.bin", OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC);
    ASSERT_NE(h, nullptr);
    std::string data = pattern(4 * 1024 * 1024);
    int64_t r = 0;
    for (size_t off = 0; off < data.size() && r >= 0; off += 65536) {
        r = vfs_write(h, data.data() + off, 65536, (int64_t)off);
    }
    int rc = vfs_close(h);
    EXPECT_TRUE(r < 0 || rc < 0);
    EXPECT_EQ(vfs_errcode(mnt), VERR_DISK_FULL) << vfs_errstr(mnt);
    EXPECT_NE(slurp(srv.host("/big.bin")), data);
    // The mount goes on working.
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/", &st), 0);
    vfs_handle *d = vfs_opendir(mnt, "/");
    EXPECT_NE(d, nullptr) << vfs_errstr(mnt);
    if (d)
        vfs_closedir(d);
}

TEST_F(FtpTest, PureLoginAndRootFailures)
{
    ftp_server srv("pure");
    ASSERT_GT(srv.port, 0);
    const net_test::refused_port refused;
    struct {
        std::string url;
        int code;
    } cases[] = {
        {srv.url("alice:wrong"), VERR_ACCESS_DENIED},
        {srv.url(""), VERR_ACCESS_DENIED},  // no anonymous logins here
        {srv.url("alice:secret", "/nodir"), VERR_FILE_NOT_FOUND},
        {"ftp://127.0.0.1:" + std::to_string(refused.port()) + "/", VERR_NET_CONNECTION_REFUSED},
    };
    for (auto &c : cases) {
        vperror_t err{};
        vfs_mount_ctx *m = vfs_mount(c.url.c_str(), &err);
        EXPECT_EQ(m, nullptr) << c.url;
        if (m)
            vfs_umount(m);
        EXPECT_EQ(err.code, c.code) << c.url << " " << err.msg;
        EXPECT_EQ(std::string(err.msg).find("secret"), std::string::npos);
    }
}

// ---- vsftpd (no MLSD) --------------------------------------------------------------------------

TEST_F(FtpTest, VsftpdWithoutMlsdIsRefused)
{
    ftp_server srv("vsftpd");
    ASSERT_GT(srv.port, 0);
    for (const std::string &url : {srv.url(), srv.url("root:any")}) {
        vperror_t err{};
        vfs_mount_ctx *m = vfs_mount(url.c_str(), &err);
        EXPECT_EQ(m, nullptr) << url;
        if (m)
            vfs_umount(m);
        EXPECT_EQ(err.code, VERR_NOT_SUPPORTED) << err.msg;
        EXPECT_NE(std::string(err.msg).find("MLSD"), std::string::npos) << err.msg;
    }
}

// A server whose FEAT does not name MLSD mounts when MLSD answers all the
// same; one that refuses it too is refused.
TEST_F(FtpTest, DialogueMlsdCheckedAtMount)
{
    {
        ftp_server srv("dialogue", "hidemlsd");
        spit(srv.host("/f"), "12345");
        ASSERT_NE(mount(srv.url("u:p")), nullptr);
        os_file_stat_t st{};
        EXPECT_EQ(vfs_stat(mnt, "/f", &st), 0) << vfs_errstr(mnt);
        EXPECT_EQ(st.size, 5u);
        vfs_umount(mnt);
        mnt = nullptr;
    }
    ftp_server srv("dialogue", "nomlsd");
    vperror_t err{};
    vfs_mount_ctx *m = vfs_mount(srv.url("u:p").c_str(), &err);
    EXPECT_EQ(m, nullptr);
    if (m)
        vfs_umount(m);
    EXPECT_EQ(err.code, VERR_NOT_SUPPORTED) << err.msg;
    EXPECT_NE(std::string(err.msg).find("MLSD"), std::string::npos) << err.msg;
}

// ---- dialogue server -----------------------------------------------------------------------

TEST_F(FtpTest, DialogueAnonymousLoginAndOpenOrder)
{
    ftp_server srv("dialogue");
    ASSERT_GT(srv.port, 0);
    std::string data = pattern(1000);
    spit(srv.host("/a.bin"), data);
    ASSERT_NE(mount(srv.url()), nullptr); // the FEAT reply holds a line "211-x ..." before its end
    vfs_handle *h = vfs_open(mnt, "/a.bin?offset=100", OS_FILE_READ);
    ASSERT_NE(h, nullptr) << vfs_errstr(mnt);
    char buf[2000];
    ASSERT_EQ(vfs_read(h, buf, sizeof buf, -1), 900);
    EXPECT_EQ(std::string(buf, 900), data.substr(100));
    EXPECT_EQ(vfs_read(h, buf, sizeof buf, -1), 0);
    EXPECT_EQ(vfs_close(h), 0);
    // The read at the end asks the server once more whether the file goes on.
    std::vector<std::string> want = {"USER anonymous", "PASS zkue@localhost", "SYST", "FEAT", "TYPE I", "CWD /",
                                     "TYPE I", "SIZE /a.bin", "PASV", "REST 100", "RETR /a.bin", "SIZE /a.bin"};
    EXPECT_EQ(srv.commands(), want);
}

// A read handle held open while the server's file grows or shrinks: a read
// (or fstat) at or past the end it saw asks the server (SIZE) and goes on
// with a new transfer there, or ends where the server says. A sequential
// read to the end costs one transfer, and the read after it one SIZE.
TEST_F(FtpTest, DialogueReaderSeesTheFileGrow)
{
    ftp_server srv("dialogue");
    ASSERT_GT(srv.port, 0);
    spit(srv.host("/g"), "one\n");
    // Without the read cache: each read reaches the driver as it is.
    ASSERT_NE(mount(srv.url("u:p", "/?rcache_size=0&wcache_size=0")), nullptr);
    size_t before = srv.commands().size();
    vfs_handle *h = vfs_open(mnt, "/g", OS_FILE_READ);
    ASSERT_NE(h, nullptr) << vfs_errstr(mnt);
    char buf[64];
    // Exactly the bytes there were: the transfer is still open at its end.
    ASSERT_EQ(vfs_read(h, buf, 4, 0), 4);
    spit(srv.host("/g"), "one\ntwo\n");
    // That transfer ends with nothing more; the server is asked again.
    ASSERT_EQ(vfs_read(h, buf, sizeof buf, 4), 4) << vfs_errstr(h);
    EXPECT_EQ(std::string(buf, 4), "two\n");
    EXPECT_EQ(vfs_read(h, buf, sizeof buf, 8), 0);
    // fstat past the end seen asks too; a read there then starts at once.
    spit(srv.host("/g"), "one\ntwo\nthree\n");
    os_file_stat_t st{};
    ASSERT_EQ(vfs_fstat(h, &st), 0);
    EXPECT_EQ(st.size, 14u);
    ASSERT_EQ(vfs_read(h, buf, sizeof buf, 8), 6) << vfs_errstr(h);
    EXPECT_EQ(std::string(buf, 6), "three\n");
    // A read past the end seen asks as well.
    spit(srv.host("/g"), "one\ntwo\nthree\nfour\n");
    ASSERT_EQ(vfs_read(h, buf, sizeof buf, 16), 3) << vfs_errstr(h);
    EXPECT_EQ(std::string(buf, 3), "ur\n");
    // Shrunk: a read past its new end is the end, and fstat shows it.
    spit(srv.host("/g"), "on");
    EXPECT_EQ(vfs_read(h, buf, sizeof buf, 19), 0);
    EXPECT_EQ(vfs_read(h, buf, sizeof buf, 2), 0);
    ASSERT_EQ(vfs_fstat(h, &st), 0);
    EXPECT_EQ(st.size, 2u);
    EXPECT_EQ(vfs_close(h), 0);

    std::vector<std::string> cmds = srv.commands();
    cmds.erase(cmds.begin(), cmds.begin() + (std::ptrdiff_t)before);
    std::vector<std::string> want = {
        "TYPE I", "SIZE /g", "PASV", "RETR /g",               // open
        "SIZE /g", "PASV", "REST 4", "RETR /g",               // the first transfer ended with nothing
        "SIZE /g",                                            // at 8: the end
        "SIZE /g",                                            // fstat: grown
        "PASV", "REST 8", "RETR /g",                          // at 8
        "SIZE /g", "PASV", "REST 16", "RETR /g",              // past the end: grown
        "SIZE /g",                                            // at 19: shrunk
        "SIZE /g",                                            // at 2: the end
        "SIZE /g",                                            // fstat
    };
    EXPECT_EQ(cmds, want);

    // Read to its end in pieces: one transfer, then one SIZE for the last read.
    std::string data = pattern(300000);
    spit(srv.host("/big"), data);
    before = srv.commands().size();
    EXPECT_EQ(read_all("/big", 65536), data);
    cmds = srv.commands();
    cmds.erase(cmds.begin(), cmds.begin() + (std::ptrdiff_t)before);
    want = {"TYPE I", "SIZE /big", "PASV", "RETR /big", "SIZE /big"};
    EXPECT_EQ(cmds, want);
}

TEST_F(FtpTest, DialogueRefusals)
{
    // USER answered 230 fails the mount: a password step is required.
    {
        ftp_server srv("dialogue", "user230");
        ASSERT_GT(srv.port, 0);
        vperror_t err{};
        EXPECT_EQ(vfs_mount(srv.url("u:p").c_str(), &err), nullptr);
        EXPECT_NE(err.code, 0);
    }
    // No SIZE: the open goes on, the length is -1, the end of the stream is
    // the end of the file.
    {
        ftp_server srv("dialogue", "nosize");
        spit(srv.host("/f"), "12345");
        ASSERT_NE(mount(srv.url("u:p")), nullptr);
        vfs_handle *h = vfs_open(mnt, "/f", OS_FILE_READ);
        ASSERT_NE(h, nullptr);
        os_file_stat_t st{};
        ASSERT_EQ(vfs_fstat(h, &st), 0);
        EXPECT_EQ((int64_t)st.size, -1);
        char buf[16];
        EXPECT_EQ(vfs_read(h, buf, sizeof buf, 0), 5);
        // At the end a new transfer asks; SIZE, refused once, is not sent again.
        EXPECT_EQ(vfs_read(h, buf, sizeof buf, 5), 0);
        ASSERT_EQ(vfs_fstat(h, &st), 0);
        EXPECT_EQ(st.size, 5u);
        EXPECT_EQ(vfs_close(h), 0);
        std::vector<std::string> cmds = srv.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "SIZE /f"), 1);
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "REST 5"), 1);
        vfs_umount(mnt);
        mnt = nullptr;
    }
    // A final reply of 552 or 451 after the data makes the close fail.
    for (auto [mode, code] : {std::pair{"stor552", (int)VERR_DISK_FULL}, std::pair{"stor451", (int)VERR_DEV_IO_ERROR}}) {
        ftp_server srv("dialogue", mode);
        ASSERT_NE(mount(srv.url("u:p")), nullptr);
        vfs_handle *h = vfs_open(mnt, "/up", OS_FILE_WRITE | OS_FILE_CREATE | OS_FILE_TRUNC);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(vfs_write(h, "data", 4, 0), 4);
        EXPECT_EQ(vfs_close(h), -1) << mode;
        EXPECT_EQ(vfs_errcode(mnt), code) << mode;
        vfs_umount(mnt);
        mnt = nullptr;
    }
}

// A reply line, or a multi-line reply, past its size cap is out of
// protocol: the mount fails instead of reading on.
TEST_F(FtpTest, DialogueOverlongRepliesAreRefused)
{
    for (const char *mode : {"longline", "endless"}) {
        ftp_server srv("dialogue", mode);
        ASSERT_GT(srv.port, 0);
        vperror_t err{};
        vfs_mount_ctx *m = vfs_mount(srv.url("u:p").c_str(), &err);
        EXPECT_EQ(m, nullptr) << mode;
        if (m)
            vfs_umount(m);
        EXPECT_EQ(err.code, VERR_NET_PROTOCOL_ERROR) << mode << " " << err.msg;
    }
}

TEST_F(FtpTest, DialogueNamesWithLineEndsSendNothing)
{
    ftp_server srv("dialogue");
    ASSERT_NE(mount(srv.url("u:p")), nullptr);
    size_t before = srv.commands().size();
    os_file_stat_t st{};
    for (const char *p : {"/a\r\nDELE x", "/a\nDELE x", "/a\rb"}) {
        EXPECT_EQ(vfs_open(mnt, p, OS_FILE_READ), nullptr);
        EXPECT_EQ(vfs_errcode(mnt), VERR_INVALID_PARAMETER);
        EXPECT_EQ(vfs_open(mnt, p, OS_FILE_WRITE | OS_FILE_CREATE), nullptr);
        EXPECT_EQ(vfs_opendir(mnt, p), nullptr);
        EXPECT_EQ(vfs_stat(mnt, p, &st), -1);
        EXPECT_EQ(vfs_errcode(mnt), VERR_INVALID_PARAMETER);
        EXPECT_EQ(vfs_chdir(mnt, p), -1);
        EXPECT_EQ(vfs_mkdir_default(mnt, p), -1);
    }
    // A ".." step would leave the mount's root, also between backslashes
    // (a Windows server's separators).
    for (const char *p : {"/../etc/passwd", "/..\\secret", "/a\\..\\..\\secret", "/a/..\\"}) {
        EXPECT_EQ(vfs_open(mnt, p, OS_FILE_READ), nullptr) << p;
        EXPECT_EQ(vfs_errcode(mnt), VERR_INVALID_PARAMETER) << p;
    }
    EXPECT_EQ(srv.commands().size(), before);
}

TEST_F(FtpTest, DialogueStalledDataAndForeignPasv)
{
    {
        ftp_server srv("dialogue", "stall");
        spit(srv.host("/s"), "never");
        ASSERT_NE(mount(srv.url("u:p")), nullptr);
        vfs_handle *h = vfs_open(mnt, "/s", OS_FILE_READ);
        ASSERT_NE(h, nullptr);
        char buf[16];
        // A time-out with nothing read is an error, never an end of file.
        EXPECT_EQ(vfs_read(h, buf, sizeof buf, 0), -1);
        EXPECT_EQ(vfs_errcode(h), VERR_TIMEOUT);
        vfs_close(h); // its final reply does not come in time either
        // The control connection is out of step: the next call logs in again.
        os_file_stat_t st{};
        EXPECT_EQ(vfs_stat(mnt, "/s", &st), 0) << vfs_errstr(mnt);
        EXPECT_EQ(st.size, 5u);
        vfs_umount(mnt);
        mnt = nullptr;
    }
    {
        // PASV names another host: the data goes to the control connection's.
        ftp_server srv("dialogue", "pasvaway");
        spit(srv.host("/p"), "passive");
        ASSERT_NE(mount(srv.url("u:p")), nullptr);
        EXPECT_EQ(read_all("/p"), "passive");
    }
}

// A server that trickles (a few bytes a second, never a whole time-out of
// silence) holds neither a listing nor a read for longer than the pace
// allows: the call fails with EIO and the mount goes on.
TEST_F(FtpTest, DialogueTricklingTransfersAreCutOff)
{
    ftp_server srv("dialogue", "trickle");
    std::filesystem::create_directories(srv.host("/trickle"));
    std::filesystem::create_directories(srv.host("/sub"));
    std::string data = pattern(1000);
    spit(srv.host("/sub/trickle"), data);
    spit(srv.host("/sub/other"), "other");
    ASSERT_NE(mount(srv.url("u:p")), nullptr);

    const uint64_t t0 = os_clock_ms();
    EXPECT_EQ(vfs_opendir(mnt, "/trickle"), nullptr);
    EXPECT_EQ(vfs_errno(mnt), EIO) << vfs_errstr(mnt);
    EXPECT_NE(strstr(vfs_errstr(mnt), "slower than"), nullptr) << vfs_errstr(mnt);
    EXPECT_LT(os_clock_ms() - t0, 30000u);

    vfs_handle *h = vfs_open(mnt, "/sub/trickle", OS_FILE_READ);
    ASSERT_NE(h, nullptr) << vfs_errstr(mnt);
    std::vector<char> buf(data.size());
    const uint64_t t1 = os_clock_ms();
    // Half of the file came: never handed over as if the file ended there.
    EXPECT_EQ(vfs_read(h, buf.data(), buf.size(), 0), -1);
    EXPECT_EQ(vfs_errno(h), EIO) << vfs_errstr(h);
    EXPECT_LT(os_clock_ms() - t1, 30000u);
    EXPECT_EQ(vfs_close(h), 0);

    // The control connection stays usable.
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/sub/other", &st), 0) << vfs_errstr(mnt);
    EXPECT_EQ(st.size, 5u);
}

// A listing without end is refused at its size cap, its memory with it.
TEST_F(FtpTest, DialogueEndlessListingIsCapped)
{
    ftp_server srv("dialogue", "hugelist");
    std::filesystem::create_directories(srv.host("/huge"));
    spit(srv.host("/f"), "12345");
    ASSERT_NE(mount(srv.url("u:p")), nullptr);
    // The peak of this process's memory, counted from here.
    spit("/proc/self/clear_refs", "5");
    auto peak_kb = [] {
        std::string st = slurp("/proc/self/status");
        size_t at = st.find("VmHWM:");
        return at == std::string::npos ? 0L : atol(st.c_str() + at + 6);
    };
    const long before = peak_kb();
    EXPECT_EQ(vfs_opendir(mnt, "/huge"), nullptr);
    EXPECT_EQ(vfs_errno(mnt), EIO) << vfs_errstr(mnt);
    EXPECT_NE(strstr(vfs_errstr(mnt), "listing larger than 64 MiB"), nullptr) << vfs_errstr(mnt);
    EXPECT_LT(peak_kb() - before, 128L * 1024) << "kB more at the peak";
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/f", &st), 0) << vfs_errstr(mnt);
}

// A server that closes an idle control connection (421) costs nothing: the
// next call logs in again first. A second preliminary reply where the final
// one is due puts the connection out of step: never is the reply that
// follows it read as the answer to the next command.
TEST_F(FtpTest, DialogueIdleCloseAndRepliesOutOfStep)
{
    {
        ftp_server srv("dialogue", "idle421");
        std::string data = pattern(3000);
        spit(srv.host("/f"), data);
        ASSERT_NE(mount(srv.url("u:p")), nullptr);
        for (int round = 0; round < 2; round++) {
            usleep(1500 * 1000); // the server's idle time passes
            os_file_stat_t st{};
            EXPECT_EQ(vfs_stat(mnt, "/f", &st), 0) << vfs_errstr(mnt);
            EXPECT_EQ(st.size, data.size());
            usleep(1500 * 1000);
            EXPECT_EQ(read_all("/f"), data);
        }
        std::vector<std::string> cmds = srv.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "USER u"), 5);
        vfs_umount(mnt);
        mnt = nullptr;
    }
    ftp_server srv("dialogue", "double150");
    spit(srv.host("/f"), "12345");
    spit(srv.host("/g"), "1234567");
    ASSERT_NE(mount(srv.url("u:p")), nullptr);
    vfs_handle *h = vfs_open(mnt, "/f", OS_FILE_READ);
    ASSERT_NE(h, nullptr);
    char buf[16];
    EXPECT_EQ(vfs_read(h, buf, sizeof buf, 0), -1);
    EXPECT_NE(vfs_errno(h), EPERM);
    vfs_close(h);
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/g", &st), 0) << vfs_errstr(mnt);
    EXPECT_EQ(st.size, 7u);
}

// Entries that cannot be shown as they stand are skipped, each with its log
// line, and every real entry after them is listed.
TEST_F(FtpTest, DialogueEntriesShownOnlyAsTheyStand)
{
    ftp_server srv("dialogue", "badnames");
    const std::string longest(255, 'g');
    for (const std::string &n : {std::string("a"), std::string("b"), longest})
        spit(srv.host("/" + n), "x");
    ASSERT_NE(mount(srv.url("u:p")), nullptr);
    zk_test::log_capture cap;
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_NE(d, nullptr) << vfs_errstr(mnt);
    std::vector<std::string> names;
    for (os_dir_entry_t *e; (e = vfs_readdir(d));)
        names.emplace_back(e->name);
    vfs_closedir(d);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", longest}));
    EXPECT_EQ(cap.count("skipped"), 9u);
    EXPECT_EQ(cap.count("carriage return"), 2u);
    EXPECT_EQ(cap.count("neither file nor directory"), 2u);
    EXPECT_EQ(cap.count("NUL byte"), 1u);
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/link", &st), -1); // known absent from the listing
}

TEST_F(FtpTest, DialogueLargeListingStaysInStep)
{
    ftp_server srv("dialogue");
    for (int i = 0; i < 300; i++)
        spit(srv.host("/f" + std::to_string(1000 + i) + std::string(150, 'n')), std::string((size_t)i, 'x'));
    ASSERT_NE(mount(srv.url("u:p")), nullptr);
    // A listing of many long names, read to its end before its final
    // reply, followed at once by commands: replies stay in step.
    for (int round = 0; round < 2; round++) {
        vfs_handle *d = vfs_opendir(mnt, "/");
        ASSERT_NE(d, nullptr) << vfs_errstr(mnt);
        int n = 0;
        for (os_dir_entry_t *e; (e = vfs_readdir(d));) {
            n++;
            EXPECT_EQ(e->st.size, (uint64_t)atoi(e->name + 1) - 1000);
        }
        EXPECT_EQ(n, 300);
        // Going back opens the listing again.
        ASSERT_EQ(vfs_seekdir(d, 10), 0);
        os_dir_entry_t *e = vfs_readdir(d);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(vfs_telldir(d), 11);
        vfs_closedir(d);
        char cwd[64];
        EXPECT_EQ(vfs_getcwd(mnt, cwd, sizeof cwd), 0);
        EXPECT_STREQ(cwd, "/");
    }
}

} // namespace
