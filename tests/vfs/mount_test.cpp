// Driver choice, mounts, unmounts, handle bookkeeping, bad handles and the
// error texts of the virtual file system core.
#include <physfs.h>

#include <cstring>
#include <thread>
#include <vector>

#include "capture.h"
#include "liblog/log2.h"
#include "libvfs/vfs_imp.h"
#include "vfs_test_util.h"

using namespace vfs_test;

namespace {

class Mount : public VfsFixture {};

// Mounts url; returns the driver name, or "!" + the error text on failure.
std::string mount_result(const std::string &url)
{
    vperror_t err{};
    mount_guard m(vfs_mount(url.c_str(), &err));
    if (!m.m)
        return "!" + std::string(vperror_str(&err));
    return m.m->drv->name;
}

} // namespace

TEST_F(Mount, DriverChoiceByUrl)
{
    spit(base + "/a.zip", "PK");
    struct row {
        std::string url, want;
    } rows[] = {
        {root, "file"},
        {root + "/", "file"},
        {"file://" + root, "file"},
        {root + "?rcache_size=1m", "file"},
        {"  \"" + root + "\"  ", "file"}, // trimmed and unquoted first
        {"", "!Invalid parameter."},
        // The remote and archive drivers are asked before "file".
        {"zkps://u:p@127.0.0.1:1/d?connect_timeout=1", "!connection refused"},
        {"ZKP://u:p@127.0.0.1:1/d?connect_timeout=1", "!connection refused"},
        {"ftp://127.0.0.1:1/d", "!connection refused"},
        {base + "/a.zip", "!unsupported"}, // not really an archive
        {root + "?mount_fs=physfs", "!is a directory, not an archive"},
        // No driver for these: never a local directory by accident.
        {"https://x/", "!find_drv failed"},
        {"net://s", "!find_drv failed"},
        {"foo://h/p", "!find_drv failed"},
    };
    for (const row &r : rows)
        EXPECT_EQ(mount_result(r.url), r.want) << r.url;
}

TEST_F(Mount, DriverThatCannotStartFailsOnlyItsOwnMounts)
{
    // The archive library failing to start must not end the program nor take
    // the local driver with it; its URLs still fail plainly instead of
    // falling to the local driver (a directory with mount_fs=physfs would
    // otherwise be mounted as a plain directory).
    // The library already started by someone else makes its start fail.
    libvfs_exit();
    ASSERT_NE(PHYSFS_init(nullptr), 0);
    fd_capture cap;
    int r = libvfs_init();
    std::string out = cap.stop();
    EXPECT_EQ(r, 0);
    EXPECT_NE(out.find("drv [physfs] init failed"), std::string::npos) << out;
    EXPECT_EQ(mount_result(root), "file");
    EXPECT_EQ(mount_result(root + "?mount_fs=physfs"), "!physfs driver could not start");
    EXPECT_EQ(mount_result("zkps://u:p@127.0.0.1:1/d?connect_timeout=1"), "!connection refused");
    // A fresh start with every driver ready.
    libvfs_exit();
    PHYSFS_deinit();
    ASSERT_EQ(libvfs_init(), 0);
    EXPECT_EQ(mount_result(root + "?mount_fs=physfs"), "!is a directory, not an archive");
}

namespace {
void *g_seen_arg;
void *(*g_file_mount)(const char *, void *, vperror_t *, vfs_mount_ctx *);
void *mount_spy(const char *url, void *arg, vperror_t *err, vfs_mount_ctx *m)
{
    g_seen_arg = arg;
    return g_file_mount(url, arg, err, m);
}
} // namespace

TEST_F(Mount, CallerArgumentReachesTheDriver)
{
    ASSERT_EQ(libvfs_init(), 0);
    void *seen_by_mount2, *seen_by_mount;
    mount_guard a(nullptr), b(nullptr);
    {
        slot_patch spy(vfs_file_drv_get(), &vfs_drv::mount, mount_spy);
        g_file_mount = spy.old_;
        int token = 0;
        g_seen_arg = nullptr;
        a.m = vfs_mount2(root.c_str(), &token, nullptr);
        seen_by_mount2 = g_seen_arg;
        g_seen_arg = &token;
        b.m = vfs_mount(root.c_str(), nullptr);
        seen_by_mount = g_seen_arg;
        ASSERT_EQ(seen_by_mount2, (void *)&token);
    }
    ASSERT_TRUE(a.m && b.m);
    EXPECT_EQ(seen_by_mount, nullptr);
}

TEST_F(Mount, LocalRootMustBeAnExistingDirectory)
{
    spit(base + "/plain", "x");
    for (std::string url : {base + "/nonexistent", base + "/plain"}) {
        vperror_t err{};
        mount_guard g(vfs_mount(url.c_str(), &err));
        EXPECT_EQ(g.m, nullptr) << url;
        EXPECT_EQ(err.code, VERR_FILE_NOT_FOUND);
        EXPECT_STREQ(vperror_str(&err), "File not found.");
    }
    // An empty path: status -2 and its table text.
    vperror_t err{};
    mount_guard g(vfs_mount("file://", &err));
    EXPECT_EQ(g.m, nullptr);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
    EXPECT_STREQ(vperror_str(&err), "Invalid parameter.");
}

TEST_F(Mount, RootJoinsRequests)
{
    // /x gives the root /x/ and a request for /a works on /x/a.
    ASSERT_TRUE(mount());
    spit(host("/a"), "12345");
    os_file_stat_t st{};
    ASSERT_EQ(vfs_stat(mnt, "/a", &st), 0);
    EXPECT_EQ(st.size, 5u);
    // "" and "/" both name the root itself.
    ASSERT_EQ(vfs_stat(mnt, "", &st), 0);
    EXPECT_EQ(st.type & OS_FTYPE_MASK, (uint32_t)OS_FTYPE_DIR);
}

TEST_F(Mount, RelativeRootIsFixedAtMount)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(base.c_str()), 0);
    vperror_t err{};
    mnt = vfs_mount("root", &err);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_NE(mnt, nullptr) << vperror_str(&err);
    spit(host("/f"), "x");
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/f", &st), 0); // still found from another directory
}

TEST_F(Mount, CacheSizeOptions)
{
    ASSERT_TRUE(mount());
    // "2m" each; a local source takes requests fastest in pieces of 128 KiB
    // and the kernel reads ahead on both sides: its caches gather no more.
    EXPECT_EQ(mnt->rcache_size, 131072u);
    EXPECT_EQ(mnt->wcache_size, 131072u);
    vfs_umount(mnt);
    mount("rcache_size=0&wcache_size=64k");
    ASSERT_TRUE(mnt);
    EXPECT_EQ(mnt->rcache_size, 0u);
    EXPECT_EQ(mnt->wcache_size, 65536u);

    spit(host("/f"), "data");
    vfs_handle *h = vfs_open(mnt, "/f", OS_FILE_READ);
    ASSERT_TRUE(h);
    char buf[8];
    EXPECT_EQ(vfs_read(h, buf, 4, 0), 4);
    EXPECT_EQ(h->rcache, nullptr); // rcache_size=0: no read cache
    EXPECT_EQ(vfs_close(h), 0);

    // 2 GiB and more would not fit the caches' counts: refused at mount.
    for (std::string opt : {"wcache_size=2g", "rcache_size=2048m"}) {
        vperror_t err{};
        std::string url = root + "?" + opt;
        mount_guard g(vfs_mount(url.c_str(), &err));
        EXPECT_EQ(g.m, nullptr) << opt;
        EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
        EXPECT_NE(strstr(err.msg, "too large"), nullptr) << err.msg;
    }
    vperror_t err{};
    std::string url = root + "?rcache_size=2047m";
    mount_guard m(vfs_mount(url.c_str(), &err));
    ASSERT_NE(m.m, nullptr);
    EXPECT_EQ(m.m->rcache_size, 131072u);
}

TEST_F(Mount, BySessionNameWithOptionsInTheReference)
{
    spit(conf + "/zk_client.ini", "[session/here]\nprot = loc\n");
    vperror_t err{};
    std::string url = "///here" + root + "?rcache_size=0";
    mnt = vfs_mount(url.c_str(), &err);
    ASSERT_NE(mnt, nullptr) << vperror_str(&err);
    EXPECT_STREQ(mnt->drv->name, "file");
    EXPECT_EQ(mnt->rcache_size, 0u);
    spit(host("/s"), "x");
    os_file_stat_t st{};
    EXPECT_EQ(vfs_stat(mnt, "/s", &st), 0);

    vperror_t e2{};
    mount_guard g(vfs_mount("///nosuch/x", &e2));
    EXPECT_EQ(g.m, nullptr);
    EXPECT_STREQ(vperror_str(&e2), "'nosuch' does not exist");
}

TEST_F(Mount, VerbLogShowsUrlsAndDriverButNoPassword)
{
    spit(conf + "/zk_client.ini", "[session/z]\nprot = zkp\nip = 10.1.2.3\nuser = bob\npwd = s3cret\n");
    log2_set_level_str(nullptr, "verb");
    fd_capture cap;
    mount_guard m(vfs_mount(root.c_str(), nullptr));
    mount_guard z(vfs_mount("///z/d", nullptr));
    std::string out = cap.stop();
    log2_set_level_str(nullptr, "info");
    ASSERT_TRUE(m.m);
    EXPECT_EQ(z.m, nullptr);
    EXPECT_NE(out.find("url=[" + root + "] turl=[" + root + "?connect_timeout=6&read_timeout=15&write_timeout=8]"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("drv=file"), std::string::npos);
    EXPECT_NE(out.find("drv=zksd"), std::string::npos);
    EXPECT_NE(out.find("bob:***@10.1.2.3"), std::string::npos) << out;
    EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;
}

TEST_F(Mount, DumpHandles)
{
    ASSERT_TRUE(mount());
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr); // nothing open
    spit(host("/a"), "x");
    vfs_handle *f = vfs_open(mnt, "/a", OS_FILE_READ);
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_TRUE(f && d);
    char *text = vfs_dump_handles(mnt);
    ASSERT_TRUE(text);
    char want[256];
    snprintf(want, sizeof(want), "file_name=/a h=%lx\ndir_name=/ h=%lx\n", (unsigned long)(uintptr_t)f,
             (unsigned long)(uintptr_t)d);
    EXPECT_STREQ(text, want);
    os_free(text);
    EXPECT_EQ(vfs_close(f), 0);
    EXPECT_EQ(vfs_closedir(d), 0);
    EXPECT_EQ(vfs_dump_handles(mnt), nullptr);
}

TEST_F(Mount, UmountWritesOutOpenFiles)
{
    ASSERT_TRUE(mount());
    vfs_handle *h = vfs_open2(mnt, "/w", PL_O_WRONLY | PL_O_CREAT, 0644);
    ASSERT_TRUE(h);
    std::string data(5000, 'q');
    ASSERT_EQ(vfs_write(h, data.data(), data.size(), 0), (int64_t)data.size());
    ASSERT_NE(h->wcache, nullptr);
    EXPECT_EQ(stat_fmt("%s", "/w"), "0"); // still held
    ASSERT_TRUE(vfs_opendir(mnt, "/"));
    EXPECT_EQ(vfs_umount(mnt), 0);
    mnt = nullptr;
    EXPECT_EQ(slurp(host("/w")), data);
}

TEST_F(Mount, BadHandles)
{
    ASSERT_TRUE(mount());
    spit(host("/a"), "x");
    vfs_handle *f = vfs_open(mnt, "/a", OS_FILE_READ);
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_TRUE(f && d);
    // Each call below fails for its handle, and says so in the record.

    uint32_t junk[16] = {0x55aa55aa, 7};
    auto *fake = (vfs_mount_ctx *)junk;
    auto *dh_as_f = d; // a directory handle where a file handle belongs
    auto *fh_as_d = f;
    char buf[8];
    os_file_stat_t st{};
    os_volume_info_t vi{};
    uint32_t u = 0;
    EXPECT_EQ(vfs_open(nullptr, "/a", OS_FILE_READ), nullptr);
    EXPECT_EQ(vfs_open(fake, "/a", OS_FILE_READ), nullptr);
    EXPECT_EQ(vfs_open2((vfs_mount_ctx *)f, "/a", 0, 0), nullptr);
    EXPECT_EQ(vfs_opendir((vfs_mount_ctx *)d, "/"), nullptr);
    EXPECT_EQ(vfs_read(dh_as_f, buf, 1, 0), -1);
    EXPECT_EQ(vfs_write(dh_as_f, buf, 1, 0), -1);
    EXPECT_EQ(vfs_read((vfs_handle *)mnt, buf, 1, 0), -1);
    EXPECT_EQ(vfs_fstat(dh_as_f, &st), -1);
    EXPECT_EQ(vfs_fsync(nullptr), -1);
    EXPECT_EQ(vfs_lseek(dh_as_f, 0, SEEK_SET), -1);
    EXPECT_EQ(vfs_ftruncate(dh_as_f, 0), -1);
    EXPECT_EQ(vfs_futime(dh_as_f, nullptr), -1);
    EXPECT_EQ(vfs_flock(dh_as_f, 2), -1);
    EXPECT_EQ(vfs_ioctl(dh_as_f, 101, nullptr, 0), -1);
    EXPECT_EQ(vfs_frename(dh_as_f, "x", 0), -1);
    EXPECT_EQ(vfs_close(dh_as_f), -1);
    EXPECT_EQ(vfs_flush(dh_as_f), -1);
    EXPECT_EQ(vfs_flush((vfs_handle *)mnt), -1);
    EXPECT_EQ(vfs_readdir(fh_as_d), nullptr);
    os_dir_entry_t *e = (os_dir_entry_t *)junk;
    EXPECT_EQ(vfs_readdir2(fh_as_d, &e), -1);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(vfs_seekdir(fh_as_d, 0), -1);
    EXPECT_EQ(vfs_telldir(fh_as_d), -1);
    EXPECT_EQ(vfs_closedir(fh_as_d), -1);
    EXPECT_EQ(vfs_stat(fake, "/a", &st), -1);
    EXPECT_EQ(vfs_stat((vfs_mount_ctx *)f, "/a", &st), -1);
    EXPECT_EQ(vfs_mkdir(nullptr, "/x", 0755), -1);
    EXPECT_EQ(vfs_statfs(fake, &vi), -1);
    EXPECT_EQ(vfs_get_readonly(nullptr, &u), -1);
    EXPECT_EQ(vfs_set_mnt_dir(fake, "/m"), -1);
    EXPECT_EQ(vfs_dump_handles(fake), nullptr);
    EXPECT_EQ(vfs_get_last_activity(nullptr), -1);
    EXPECT_EQ(vfs_get_need_reopen(fake), -1);
    EXPECT_EQ(vfs_umount(fake), -1);
    EXPECT_EQ(vfs_errcode(nullptr), -1);
    EXPECT_EQ(vfs_errcode(fake), -1);
    EXPECT_STREQ(vfs_errstr(nullptr), "invalid handle error");
    EXPECT_STREQ(vfs_errstr(fake), "invalid handle error");

    vperror_t after{};
    vfs_get_error(mnt, &after);
    EXPECT_EQ(after.code, VERR_INVALID_HANDLE);
    EXPECT_STREQ(after.msg, "invalid handle");
    // The error accessors accept all three kinds of handle.
    EXPECT_EQ(vfs_errcode(f), VERR_INVALID_HANDLE);
    EXPECT_EQ(vfs_errcode(d), VERR_INVALID_HANDLE);
    EXPECT_STREQ(vfs_errstr(d), vfs_errstr(mnt));
    EXPECT_EQ(vfs_close(f), 0);
    EXPECT_EQ(vfs_closedir(d), 0);
}

TEST_F(Mount, ErrorTexts)
{
    ASSERT_TRUE(mount());
    os_file_stat_t st{};
    struct row {
        const char *what;
        int code;
        int eno;
        const char *text;
    };
    std::vector<row> rows;
    ASSERT_EQ(vfs_stat(mnt, "/missing", &st), -1);
    rows.push_back({"stat missing", vfs_errcode(mnt), vfs_errno(mnt), vfs_errstr(mnt)});
    EXPECT_EQ(rows.back().eno, ENOENT);
    EXPECT_EQ(rows.back().code, os_verr_get(ENOENT));
    EXPECT_STREQ(vfs_errstr(mnt), "No such file or directory");

    std::filesystem::create_directories(host("/d/sub"));
    ASSERT_EQ(vfs_rmdir(mnt, "/d"), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_DIR_NOT_EMPTY);
    EXPECT_EQ(vfs_errno(mnt), ENOTEMPTY);
    EXPECT_STREQ(vfs_errstr(mnt), "Directory not empty");

    // A code the driver does not know: status -2 with its table text.
    int64_t x = 0;
    EXPECT_EQ(mnt->drv->ioctl(mnt->drv_mnt, 99, &x, 8), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_INVALID_PARAMETER);
    EXPECT_STREQ(vfs_errstr(mnt), "Invalid parameter.");
    EXPECT_EQ(vfs_errno(mnt), verr_2_posix(VERR_INVALID_PARAMETER));
}

TEST_F(Mount, ErrnoOfTheLocalDriverIsKept)
{
    // Errnos without a status code of their own come back as they were:
    // EACCES stays EACCES (the status code maps back to EPERM), ERANGE
    // stays ERANGE, and EMLINK-like values are not lost.
    ASSERT_TRUE(mount());
    spit(host("/f"), "x");
    ASSERT_EQ(sh("setfattr -n user.k -v hello " + q(host("/f"))), 0);
    char small[2];
    EXPECT_EQ(vfs_getxattr(mnt, "/f", "user.k", small, sizeof(small)), -1);
    EXPECT_EQ(vfs_errno(mnt), ERANGE);
    EXPECT_EQ(vfs_errcode(mnt), os_verr_get(ERANGE));
    // A record written afterwards by the core itself does not carry it.
    EXPECT_EQ(vfs_open(mnt, nullptr, OS_FILE_READ), nullptr);
    EXPECT_EQ(vfs_errno(mnt), verr_2_posix(VERR_INVALID_PARAMETER));
}

TEST_F(Mount, EmptySlotsFailCleanly)
{
    // A driver record that leaves slots empty (as the ftp and archive
    // drivers do) makes the calls fail with -12, and statfs also asserts.
    ASSERT_TRUE(mount());
    vfs_drv partial = *mnt->drv;
    partial.statfs = nullptr;
    partial.fsync = nullptr;
    partial.seekdir = nullptr;
    const vfs_drv *real = mnt->drv;
    mnt->drv = &partial;
    spit(host("/f"), "x");
    vfs_handle *h = vfs_open(mnt, "/f", OS_FILE_READ);
    vfs_handle *d = vfs_opendir(mnt, "/");
    ASSERT_TRUE(h && d);
    os_volume_info_t vi{};
    fd_capture cap;
    EXPECT_EQ(vfs_statfs(mnt, &vi), -1);
    std::string out = cap.stop();
    EXPECT_NE(out.find("expr[ctx->drv->statfs!=NULL]: assert failed"), std::string::npos) << out;
    EXPECT_EQ(vfs_errcode(mnt), VERR_NOT_IMPLEMENTED);
    EXPECT_EQ(vfs_errno(mnt), ENOSYS);
    EXPECT_EQ(vfs_fsync(h), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_NOT_IMPLEMENTED);
    // A listing the driver cannot give is a failure, never an empty one
    // (and without seekdir there is nothing to seek by either).
    partial.readdir = nullptr;
    EXPECT_EQ(vfs_seekdir(d, 0), -1);
    os_dir_entry_t *e = nullptr;
    errno = 0;
    EXPECT_EQ(vfs_readdir2(d, &e), -1);
    EXPECT_EQ(vfs_errcode(mnt), VERR_NOT_IMPLEMENTED);
    EXPECT_STREQ(vfs_errstr(mnt), "readdir not supported by the file driver");
    EXPECT_EQ(vfs_readdir(d), nullptr);
    EXPECT_EQ(errno, ENOSYS);
    mnt->drv = real;
    EXPECT_EQ(vfs_close(h), 0);
    EXPECT_EQ(vfs_closedir(d), 0);
}

TEST_F(Mount, ReadonlyFlagAndStatfs)
{
    ASSERT_TRUE(mount());
    uint32_t ro = 7;
    EXPECT_EQ(vfs_get_readonly(mnt, &ro), 0);
    EXPECT_EQ(ro, 0u);
    os_volume_info_t vi{};
    ASSERT_EQ(vfs_statfs(mnt, &vi), 0);
    // total = blocks x fragment size, as coreutils reports it.
    std::string want = run("stat -f -c '%b %S' " + q(root));
    unsigned long long blocks = 0, frsize = 0;
    ASSERT_EQ(sscanf(want.c_str(), "%llu %llu", &blocks, &frsize), 2);
    EXPECT_EQ(vi.total_bytes, blocks * frsize);
}

TEST_F(Mount, InitFromTwoThreadsAndExit)
{
    libvfs_exit();
    std::vector<vfs_mount_ctx *> got(4, nullptr);
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; i++)
        ts.emplace_back([&, i] { got[i] = vfs_mount(root.c_str(), nullptr); });
    for (auto &t : ts)
        t.join();
    for (vfs_mount_ctx *m : got) {
        EXPECT_NE(m, nullptr);
        if (m) {
            EXPECT_EQ(vfs_umount(m), 0);
        }
    }
    EXPECT_EQ(libvfs_exit(), 0);
    EXPECT_EQ(libvfs_exit(), 0);
    EXPECT_EQ(libvfs_init(), 0);
}
