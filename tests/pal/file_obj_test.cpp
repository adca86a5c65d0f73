// File objects: kind choice, the three flag vocabularies, the local kind's
// slots and ioctl codes, the built-in kinds, the xattr kind and the
// descriptor table, checked against python3 and coreutils.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/os/zkfile.h"
#include "libpal/vfile/os_file2.h"
#include "libpal/vfile/os_file5.h"
#include "libpal/vfile/os_file_flag.h"
#include "libpal/vfile/os_file_kind.h"
#include "test_util.h"

namespace {

using zk_test::run;

std::string zz(std::initializer_list<std::string> parts)
{
    std::string s;
    for (const std::string &x : parts)
        s += x + '\0';
    s += '\0';
    return s;
}

class FileObj : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zk_fo_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string p(const std::string &name) const { return dir + "/" + name; }
    void write(const std::string &name, const std::string &data) const
    {
        std::ofstream(p(name), std::ios::binary) << data;
    }
    std::string read(const std::string &name) const { return run("cat '" + p(name) + "'"); }
    std::string dir;
};

} // namespace

TEST(FileKind, ChosenFromPath)
{
    struct Case {
        const char *path;
        const char *kind;
    } cases[] = {
        {"/dev/null", "null"},     {"/DEV/null", "null"},   {"\\dev\\zero", "zero"}, {"/dev/random", "random"},
        {"/dev/stdin", "stdin"},   {"/dev/stdout", "stdout"}, {"/dev/stderr", "stderr"},
        {"/dev/NULL", "file"},     {"/dev/file", "file"},   {"/dev/sda", "file"},   {"/tmp/x", "file"},
    };
    for (const Case &c : cases) {
        char prep[4096];
        ASSERT_EQ(os_file_path_prepare(c.path, prep), 0);
        EXPECT_STREQ(os_file_get_ops(prep)->name, c.kind) << c.path;
    }
    // A 10-byte read from zero gives zeros; the device is never opened.
    os_file_t *z = os_file_open("\\dev\\zero", OS_FILE_READ);
    ASSERT_NE(z, nullptr);
    EXPECT_STREQ(z->ops->name, "zero");
    EXPECT_EQ(os_file_get_handle(z), 1u);
    char buf[10];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(os_file_read(z, buf, sizeof(buf)), 10);
    EXPECT_EQ(std::string(buf, 10), std::string(10, '\0'));
    EXPECT_EQ(os_file_close(z), 1);

    char prep[4096];
    ASSERT_EQ(os_file_path_prepare("file:///tmp//a\\b", prep), 0);
    EXPECT_STREQ(prep, "/tmp/a/b");
    EXPECT_EQ(os_file_path_prepare(std::string(5000, 'a').c_str(), prep), -1);
}

TEST(FileKind, BuiltinDevices)
{
    os_file_t *n = os_file_open("/dev/null", OS_FILE_WRITE);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(os_file_write(n, "abc", 3), 3);
    EXPECT_EQ(os_file_pwrit(n, "abc", 3, 99), 3);
    EXPECT_EQ(os_file_write(n, "", 0), 0);
    char buf[8];
    {
        fd_capture cap;
        EXPECT_EQ(os_file_read(n, buf, 1), -1);
        EXPECT_NE(cap.stop().find("expr[ctx->ops->read]: assert failed"), std::string::npos);
    }
    os_file_info_t info;
    memset(&info, 0x55, sizeof(info));
    info.name[0] = 0;
    EXPECT_EQ(os_file_ioctl(n, OS_FILE_GET_INFO, &info, sizeof(info)), 1);
    EXPECT_EQ(info.type, 3u);
    EXPECT_EQ(info.size, 0u);
    EXPECT_EQ(info.offset, 0u);
    EXPECT_EQ(info.block_size, 512u);
    EXPECT_STREQ(info.name, ""); // no device query on a made-up descriptor
    uint64_t cls = 9;
    EXPECT_EQ(os_file_ioctl(n, OS_FILE_GET_ERROR_CLASS, &cls, sizeof(cls)), 1);
    EXPECT_EQ(cls, 0u);
    EXPECT_EQ(os_file_ioctl(n, OS_FILE_LOCK, nullptr, 0), 0);
    EXPECT_EQ(os_file_fsync(n), 1);
    EXPECT_EQ(os_file_ftruncate(n, 5), 1);
    EXPECT_EQ(os_file_seek(n, 10, SEEK_SET), 0);
    EXPECT_EQ(os_file_offset(n), 0);
    EXPECT_EQ(os_file_size(n), 0);
    EXPECT_EQ(os_file_close(n), 1);

    os_file_t *r = os_file_open("/dev/random", OS_FILE_READ);
    ASSERT_NE(r, nullptr);
    unsigned char a[13] = {0}, b[13] = {0};
    EXPECT_EQ(os_file_read(r, a, sizeof(a)), 13);
    EXPECT_EQ(os_file_pread(r, b, sizeof(b), 5), 13);
    EXPECT_NE(memcmp(a, b, sizeof(a)), 0);
    {
        fd_capture cap;
        EXPECT_EQ(os_file_fsync(r), 0); // random has no sync slot
        EXPECT_NE(cap.stop().find("expr[ctx->ops->sync]"), std::string::npos);
    }
    os_file_close(r);

    os_file_t *in = os_file_open("/dev/stdin", OS_FILE_READ);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(os_file_fd(in), 0);
    os_file_stat_t st;
    EXPECT_EQ(os_file_fstat(in, &st), 0);
    os_file_close(in);
}

TEST(FileFlags, PortableAndHost)
{
    // Expected values use this machine's O_* numbers as python3 os.O_* gives
    // them; the portable numbers are fixed.
    EXPECT_EQ(os_oflag_2_pl(O_RDWR | O_CREAT | O_TRUNC), 0x16);
    EXPECT_EQ(os_oflag_2_pl(O_WRONLY | O_APPEND | O_DSYNC), 0x209);
    EXPECT_EQ(os_oflag_2_pl(O_WRONLY | O_SYNC), 0x201);
    // The kernel's large-file bit (0x8000 on x86_64) in FUSE flags is dropped.
    EXPECT_EQ(os_oflag_2_pl(0x8000 | O_RDWR), 2);
    EXPECT_EQ(os_oflag_2_pl(O_NOCTTY | O_NOATIME | O_RDONLY), 0);
    EXPECT_EQ(pl_oflag_2_os(0x800), O_DIRECTORY);
    EXPECT_EQ(pl_oflag_2_os(0x200), O_SYNC);
    EXPECT_EQ(pl_oflag_2_os(0x80000), O_LARGEFILE);
    EXPECT_EQ(pl_oflag_2_os(3), O_RDONLY);
    struct Row {
        int pl;
        int host;
    } rows[] = {{1, O_WRONLY},       {2, O_RDWR},           {4, O_CREAT},         {8, O_APPEND},
                {16, O_TRUNC},       {32, O_DIRECT},        {64, O_EXCL},         {0x80, O_NOFOLLOW},
                {0x100, O_NONBLOCK}, {0x200, O_SYNC},       {0x800, O_DIRECTORY}, {0x1000, O_CLOEXEC}};
    for (const Row &r : rows) {
        EXPECT_EQ(pl_oflag_2_os(r.pl), r.host) << std::hex << r.pl;
        EXPECT_EQ(os_oflag_2_pl(r.host), r.pl) << std::hex << r.pl;
    }
    if (sizeof(void *) == 8 && O_LARGEFILE == 0) {
        // x86_64: python3 os.O_CLOEXEC == 0x80000, the portable large-file bit.
        EXPECT_EQ(pl_oflag_2_os(0x80000), 0);
        EXPECT_EQ(os_oflag_2_pl(O_CLOEXEC), 0x1000);
    }

#if defined(__x86_64__)
    // Flags a minimal libfuse 2 file system receives here (the kernel adds
    // its large-file bit 0x8000), to portable flags and pf.
    struct Fuse {
        int host, pl;
        uint32_t pf;
    } fuse[] = {{0x8241, 0x15, 0xaa}, {0x8000, 0, 0x81}, {0x8002, 2, 0x84}, {0x8401, 0x9, 0x92}};
    for (const Fuse &c : fuse) {
        EXPECT_EQ(os_oflag_2_pl(c.host), c.pl) << std::hex << c.host;
        EXPECT_EQ(pl_oflag_2_pf(os_oflag_2_pl(c.host)), c.pf) << std::hex << c.host;
    }
#endif
    EXPECT_EQ(pl_oflag_2_pf(0x16), 0xacu);
    EXPECT_EQ(pl_oflag_2_pf(0), 0x81u);
    EXPECT_EQ(pl_oflag_2_pf(3), 0x80u);
    EXPECT_EQ(pl_oflag_2_pf(0x15), 0xaau);
    EXPECT_EQ(pl_oflag_2_pf(0x9), 0x92u);
    EXPECT_EQ(pl_oflag_2_pf(0x200 | 0x20 | 0x40), 0x8c1u);

    EXPECT_EQ(os_wflag_2_pf(0xC0000000u, 2), 0x2cu);
    EXPECT_EQ(os_wflag_2_pf(0x80000000u, 3), 0x1u);
    EXPECT_EQ(os_wflag_2_pf(0x40000000u, 1), 0xau);
    EXPECT_EQ(os_wflag_2_pf(0x20000000u, 5), 0x21u);
    EXPECT_EQ(os_wflag_2_pf(0x60000000u, 4), 0xcu);
    EXPECT_EQ(os_wflag_2_pf(0, 9), 0u);

    struct S {
        const char *text;
        uint32_t pf;
    } s[] = {{"RW,DIRECT.SYNC", 0x844}, {"readonly-rw", 4}, {"rw-readonly", 1}, {"vss", 0x10000}, {"", 0}};
    for (const S &c : s) {
        char buf[64];
        strcpy(buf, c.text);
        EXPECT_EQ(os_sflag2pf(buf), c.pf) << c.text;
    }
    char bad[] = "rw,bogus";
    fd_capture cap;
    EXPECT_EQ(os_sflag2pf(bad), 4u);
    EXPECT_NE(cap.stop().find("flags=[bogus] not support"), std::string::npos);
}

TEST_F(FileObj, LocalReadWriteAndPositions)
{
    os_file_t *f = os_file_open(p("a").c_str(), OS_FILE_RDWR | OS_FILE_CREATE);
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->ops->name, "file");
    EXPECT_EQ(run("stat -c %a " + p("a")), "644\n");
    // Opens by file-object flags are always non-blocking (a FIFO read then
    // gives EAGAIN); open2 adds nothing (Open2UsesPortableFlags).
    EXPECT_NE(fcntl(os_file_fd(f), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(os_file_write(f, "hello world", 11), 11);
    EXPECT_EQ(os_file_offset(f), 11);
    EXPECT_EQ(os_file_size(f), 11);
    EXPECT_EQ(os_file_offset(f), 11); // size keeps the position
    EXPECT_EQ(os_file_pwrit(f, "W", 1, 6), 1);
    char buf[32] = {0};
    EXPECT_EQ(os_file_pread(f, buf, 5, 6), 5);
    EXPECT_STREQ(buf, "World");
    EXPECT_EQ(os_file_seek(f, 0, SEEK_SET), 0);
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(os_file_read(f, buf, 5), 5);
    EXPECT_STREQ(buf, "hello");

    // Positioned vector I/O leaves the file position alone.
    char x[3] = {'1', '2', '3'}, y[2] = {'4', '5'};
    struct iovec w[2] = {{x, 3}, {y, 2}};
    EXPECT_EQ(os_file_pwritv(f, w, 2, 20), 5);
    EXPECT_EQ(os_file_offset(f), 5);
    char r1[2], r2[3];
    struct iovec r[2] = {{r1, 2}, {r2, 3}};
    EXPECT_EQ(os_file_preadv(f, r, 2, 20), 5);
    EXPECT_EQ(std::string(r1, 2) + std::string(r2, 3), "12345");
    EXPECT_EQ(os_file_offset(f), 5);
    EXPECT_EQ(os_file_writv(f, w, 2), 5);
    EXPECT_EQ(os_file_offset(f), 10);
    EXPECT_EQ(os_file_seek(f, 5, SEEK_SET), 5);
    EXPECT_EQ(os_file_readv(f, r, 2), 5);
    EXPECT_EQ(std::string(r1, 2) + std::string(r2, 3), "12345");
    {
        fd_capture cap;
        EXPECT_EQ(os_file_preadv(f, nullptr, 2, 0), -1);
        EXPECT_NE(cap.stop().find("expr[file && list && size]"), std::string::npos);
    }
    EXPECT_EQ(os_file_ftruncate(f, 3), 1);
    EXPECT_EQ(os_file_fsync(f), 1);
    EXPECT_EQ(os_file_size(f), 3);
    EXPECT_EQ(os_file_close(f), 1);
    EXPECT_EQ(read("a"), "hel");

    errno = 0;
    EXPECT_EQ(os_file_open(p("missing").c_str(), OS_FILE_READ), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(os_file_last_verr(), VERR_FILE_NOT_FOUND);
    vperror_t e{};
    EXPECT_EQ(os_file_last_vperror(nullptr, &e), 0);
    EXPECT_EQ(e.code, VERR_FILE_NOT_FOUND);
    EXPECT_STRNE(e.msg, "");
}

TEST_F(FileObj, CreateMakesParentsAndRemoveOnClose)
{
    os_file_t *f = os_file_open(p("x/y/z.txt").c_str(), OS_FILE_WRITE | OS_FILE_CREATE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(run("stat -c %a " + p("x/y")), "755\n");
    EXPECT_EQ(os_file_set_remove_on_close(f, 1), 1);
    EXPECT_EQ(os_file_close(f), 1);
    EXPECT_NE(access(p("x/y/z.txt").c_str(), F_OK), 0);

    // Refused with EACCES: no parents are made (a child without root).
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(p("locked").c_str(), 0755), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        errno = 0;
        os_file_t *g = os_file_open(p("locked/sub/f").c_str(), OS_FILE_WRITE | OS_FILE_CREATE);
        bool ok = !g && access(p("locked/sub").c_str(), F_OK) != 0;
        g = os_file_open(p("locked/f").c_str(), OS_FILE_WRITE | OS_FILE_CREATE);
        ok = ok && !g && errno == EACCES;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(FileObj, WopenDispositions)
{
    write("e", "existing");
    errno = 0;
    EXPECT_EQ(os_file_wopen(p("e").c_str(), OS_WACCESS_WRITE, 0, nullptr, OS_DISP_CREATE_NEW, 0, nullptr), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read("e"), "existing");
    os_file_t *f =
        os_file_wopen(p("e").c_str(), OS_WACCESS_WRITE, 0, nullptr, OS_DISP_CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_size(f), 0);
    os_file_close(f);
    f = os_file_wopen(p("new/n").c_str(), OS_WACCESS_READ | OS_WACCESS_WRITE, 0, nullptr, OS_DISP_CREATE_NEW, 0,
                      nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_write(f, "q", 1), 1);
    os_file_close(f);
    EXPECT_EQ(read("new/n"), "q");
    // Devices have no wopen slot: init gets the converted flags.
    f = os_file_wopen("/dev/null", OS_WACCESS_WRITE, 0, nullptr, OS_DISP_OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->ops->name, "null");
    os_file_close(f);
}

TEST_F(FileObj, Open2UsesPortableFlags)
{
    os_file_t *f = os_file_open2(p("o2").c_str(), PL_O_WRONLY | PL_O_CREAT | PL_O_EXCL, 0600);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(run("stat -c %a " + p("o2")), "600\n");
    int fl = fcntl(os_file_fd(f), F_GETFL);
    EXPECT_EQ(fl & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(fl & O_NONBLOCK, 0); // open2 adds nothing of its own
    os_file_close(f);
    errno = 0;
    EXPECT_EQ(os_file_open2(p("o2").c_str(), PL_O_WRONLY | PL_O_CREAT | PL_O_EXCL, 0600), nullptr);
    EXPECT_EQ(errno, EEXIST);
    f = os_file_open2("/dev/zero", PL_O_RDONLY, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->ops->name, "zero");
    os_file_close(f);
}

TEST_F(FileObj, GetInfo)
{
    write("big", std::string(600, 'b'));
    write("small", std::string(100, 's'));
    ASSERT_EQ(mkdir(p("d").c_str(), 0755), 0);
    struct Case {
        std::string path;
        uint32_t type;
        uint64_t size;
        uint32_t bs;
    } cases[] = {{p("big"), 2, 600, 512}, {p("small"), 2, 100, 512}, {p("d"), 1, 0, 512}, {"/dev/null", 3, 0, 512}};
    for (const Case &c : cases) {
        os_file_info_t info{};
        EXPECT_EQ(os_file_get_info(c.path.c_str(), &info), 1) << c.path;
        EXPECT_EQ(info.type, c.type) << c.path;
        if (c.type != 1) {
            EXPECT_EQ(info.size, c.size) << c.path;
        }
        EXPECT_EQ(info.block_size, c.bs) << c.path;
        EXPECT_EQ(info.offset, 0u);
    }
    os_file_info_t info{};
    EXPECT_EQ(os_file_get_info(p("none").c_str(), &info), 0);
    // A kernel file reads as size 0: the readable size is probed (a
    // multiple of 4096) and the position restored.
    os_file_t *f = os_file_open("/proc/self/maps", OS_FILE_READ);
    ASSERT_NE(f, nullptr);
    char c;
    ASSERT_EQ(os_file_read(f, &c, 1), 1);
    int64_t sz = os_file_size(f);
    EXPECT_EQ(sz % 4096, 0);
    EXPECT_EQ(os_file_offset(f), 1);
    os_file_close(f);
    // The probe counts whole 4096-byte blocks only (a 5000-byte kernel file
    // reads as 4096): floor(size / 4096) * 4096 for these regular files.
    struct Probe {
        size_t size;
        int64_t want;
    } probes[] = {{0, 0},        {100, 0},        {4095, 0},          {4096, 4096},         {5000, 4096},
                  {8192, 8192},  {12289, 12288},  {40000, 36864},     {1048577, 1048576}};
    for (const Probe &pr : probes) {
        write("probe", std::string(pr.size, 'p'));
        uint64_t ph = os_local_file_init(p("probe").c_str(), OS_FILE_READ);
        ASSERT_NE(ph, 0u);
        ASSERT_EQ(lseek((int)ph - 1, 7, SEEK_SET), 7);
        EXPECT_EQ(os_local_file_probe_size(ph), pr.want) << pr.size;
        EXPECT_EQ(lseek((int)ph - 1, 0, SEEK_CUR), 7) << "position restored";
        os_local_file_exit(ph);
    }
    // /dev/zero through the local kind (its real device): the probe gives
    // up instead of doubling its offset into an overflow.
    uint64_t h = os_local_file_init("/dev/zero", OS_FILE_READ);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(os_local_file_probe_size(h), 0);
    os_local_file_exit(h);
}

TEST_F(FileObj, StatTimesChmodChown)
{
    write("f", "12345");
    os_file_t *f = os_file_open(p("f").c_str(), OS_FILE_RDWR);
    ASSERT_NE(f, nullptr);
    os_file_stat_t st;
    EXPECT_EQ(os_file_fstat(f, &st), 1);
    EXPECT_EQ(st.size, 5u);
    EXPECT_EQ(st.type, 2u);
    EXPECT_EQ(std::to_string(st.ino) + "\n", run("stat -c %i " + p("f")));

    ASSERT_EQ(system(("touch -d @1500000000 " + p("f")).c_str()), 0);
    os_file_times_t t{};
    t.mtime = {1600000000, 0};
    EXPECT_EQ(os_file_futime(f, &t), 1); // access seconds 0: unchanged
    EXPECT_EQ(run("stat -c '%X %Y' " + p("f")), "1500000000 1600000000\n");
    t.atime = {1400000000, 0};
    t.mtime = {0, 0};
    EXPECT_EQ(os_file_futime(f, &t), 1);
    EXPECT_EQ(run("stat -c '%X %Y' " + p("f")), "1400000000 1600000000\n");

    EXPECT_EQ(os_file_fchmod(f, 0604), 1);
    EXPECT_EQ(run("stat -c %a " + p("f")), "604\n");
    EXPECT_EQ(os_file_fchown(f, 12, 34), 1);
    EXPECT_EQ(run("stat -c '%u %g' " + p("f")), "12 34\n");

    errno = 0;
    EXPECT_EQ(os_file_ioctl_code10(f, "newname", 1), 0);
    EXPECT_EQ(errno, EPERM);
    errno = 0;
    EXPECT_EQ(os_file_ioctl_code11(f, nullptr), 0);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(os_file_ioctl(f, 99, nullptr, 0), 0);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(os_file_ioctl_code4(f), 1);
    {
        fd_capture cap;
        EXPECT_EQ(os_file_get_sparse_ranges(f, nullptr), 0);
        EXPECT_NE(cap.stop().find("OS_FILE_GET_SPARSE_RANGES not imp!"), std::string::npos);
    }
    errno = EIO;
    uint64_t cls = 0;
    EXPECT_EQ(os_file_ioctl(f, OS_FILE_GET_ERROR_CLASS, &cls, sizeof(cls)), 1);
    EXPECT_EQ(cls, 1u);
    EXPECT_EQ(os_file_ioctl(nullptr, OS_FILE_GET_INFO, nullptr, 0), 0);
    os_file_close(f);
}

TEST_F(FileObj, PunchHoleMatchesFallocate)
{
    // Two copies of 1 MiB of 0xFF: one punched through the object, one by
    // util-linux fallocate; both keep their size and read zeros there.
    ASSERT_EQ(system(("python3 -c \"open('" + p("a") + "','wb').write(b'\\xff'*1048576)\"").c_str()), 0);
    ASSERT_EQ(system(("cp " + p("a") + " " + p("b") + " && sync").c_str()), 0);
    std::string blocks_before = run("stat -c %b " + p("a"));
    os_file_t *f = os_file_open(p("a").c_str(), OS_FILE_RDWR);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_punch_hole(f, 0, 4096, 4096), 1);
    os_file_fsync(f);
    os_file_close(f);
    ASSERT_EQ(system(("fallocate --punch-hole --offset 4096 --length 4096 " + p("b")).c_str()), 0);
    EXPECT_EQ(run("stat -c '%s %b' " + p("a")), run("stat -c '%s %b' " + p("b")));
    EXPECT_EQ(std::stoll(blocks_before) - std::stoll(run("stat -c %b " + p("a"))), 8);
    EXPECT_EQ(run("python3 -c \"d=open('" + p("a") + "','rb').read(); print(len(d), d[4096:8192]==bytes(4096), "
                  "d[4095], d[8192])\""),
              "1048576 True 255 255\n");
    EXPECT_EQ(run("cmp " + p("a") + " " + p("b") + " && echo same"), "same\n");
}

TEST_F(FileObj, RecordLockAgainstPython)
{
    write("lk", "data");
    // A python3 child holds an exclusive fcntl lock until its stdin closes.
    std::string cmd = "python3 -c \"import fcntl,sys; f=open('" + p("lk") +
                      "','r+'); fcntl.lockf(f, fcntl.LOCK_EX); print('locked', flush=True); sys.stdin.read()\"";
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        close(to_child[1]);
        close(from_child[0]);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    std::string said;
    char ch;
    while (said.size() < 16 && ::read(from_child[0], &ch, 1) == 1 && ch != '\n')
        said += ch;
    ASSERT_EQ(said, "locked");

    os_file_t *f = os_file_open(p("lk").c_str(), OS_FILE_RDWR);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_flock(f, OS_FILE_LOCK_EXCLUSIVE | OS_FILE_LOCK_NOWAIT, 0, 0), 0);
    EXPECT_EQ(os_file_flock(f, OS_FILE_LOCK_SHARED | OS_FILE_LOCK_NOWAIT, 0, 4), 0);
    close(to_child[1]); // the child ends and its lock goes
    int status;
    waitpid(pid, &status, 0);
    close(from_child[0]);
    EXPECT_EQ(os_file_flock(f, OS_FILE_LOCK_EXCLUSIVE | OS_FILE_LOCK_NOWAIT, 0, 0), 1);
    EXPECT_EQ(os_file_flock(f, OS_FILE_LOCK_UNLOCK, 0, 0), 1);
    os_file_close(f);
}

TEST_F(FileObj, TimeoutsClamped)
{
    os_file_t *f = os_file_open("/dev/null", OS_FILE_WRITE);
    ASSERT_NE(f, nullptr);
    struct Case {
        int ms;
        const char *warn;
    } cases[] = {{500, "timeout=0s fix=1s error: too short"},
                 {700000, "timeout=700s fix=600s error: too long"},
                 {5000, nullptr}};
    for (const Case &c : cases) {
        fd_capture cap;
        os_file_set_read_timeout(f, c.ms);
        std::string out = cap.stop();
        if (c.warn)
            EXPECT_NE(out.find(c.warn), std::string::npos) << out;
        else
            EXPECT_EQ(out.find("timeout="), std::string::npos) << out;
    }
    os_file_close(f);
    // The local kind accepts the clamped value.
    write("t", "");
    f = os_file_open(p("t").c_str(), OS_FILE_READ);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_set_write_timeout(f, 8000), 1);
    EXPECT_EQ(os_file_set_read_timeout(f, 15000), 1);
    os_file_close(f);
}

TEST(FileMisc, ErrorClassAndPathKind)
{
    struct Case {
        int kind;
        int64_t code;
        int cls;
    } cases[] = {{2, EIO, 1}, {2, ENXIO, 2}, {2, ENOENT, 3}, {2, 0, 0}, {1, 0, 0}, {1, 23, 1},
                 {1, 1117, 1}, {1, 2, 2},    {1, 55, 2},     {1, 5, 3}};
    for (const Case &c : cases)
        EXPECT_EQ(os_file_error_class(c.kind, c.code), c.cls) << c.kind << " " << c.code;

    EXPECT_EQ(os_file_path_kind(zz({"/a"}).c_str()), 0);
    EXPECT_EQ(os_file_path_kind(zz({"/a", "S", "n"}).c_str()), 1);
    EXPECT_EQ(os_file_path_kind(zz({"/a", "A", "n"}).c_str()), 2);
    EXPECT_EQ(os_file_path_kind(zz({"/a", "X", "n"}).c_str()), 3);
    EXPECT_EQ(os_file_path_kind(zz({"/a", "Q"}).c_str()), -1);
    EXPECT_EQ(os_file_path_kind(zz({}).c_str()), -1);
    EXPECT_EQ(os_file_path_kind(zz({"/a", "X", "n", "extra"}).c_str()), -1);
    EXPECT_EQ(os_file_get_handle(nullptr), 0u);
    EXPECT_EQ(os_file_fd(nullptr), -1);
}

TEST_F(FileObj, XattrKind)
{
    write("f", "");
    ASSERT_EQ(system(("python3 -c \"import os; os.setxattr('" + p("f") + "', 'user.k', b'hello')\"").c_str()), 0);
    std::string list = zz({p("f"), "X", "user.k"});
    os_file_t *f = os_file_open(list.c_str(), OS_FILE_READ | OS_FILE_ZZ);
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->ops->name, "xattr");
    EXPECT_EQ(memcmp(f->path, list.data(), list.size()), 0);
    os_file_info_t info{};
    EXPECT_EQ(os_file_ioctl(f, OS_FILE_GET_INFO, &info, sizeof(info)), 1);
    EXPECT_EQ(info.type, 2u);
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(info.block_size, 512u);
    char buf[16] = {0};
    EXPECT_EQ(os_file_read(f, buf, 3), 3);
    EXPECT_STREQ(buf, "hel");
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(os_file_read(f, buf, 10), 2);
    EXPECT_STREQ(buf, "lo");
    EXPECT_EQ(os_file_read(f, buf, 10), 0);
    EXPECT_EQ(os_file_pread(f, buf, 2, 1), 2);
    EXPECT_EQ(std::string(buf, 2), "el");
    EXPECT_EQ(os_file_seek(f, 0, SEEK_SET), -1);
    EXPECT_EQ(os_file_fsync(f), 0);
    EXPECT_EQ(os_file_close(f), 1);

    // Writes in pieces at their offsets store the whole value.
    f = os_file_open(zz({p("f"), "X", "user.w"}).c_str(), OS_FILE_WRITE | OS_FILE_ZZ);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_pwrit(f, "hel", 3, 0), 3);
    EXPECT_EQ(os_file_pwrit(f, "lo", 2, 3), 2);
    EXPECT_EQ(os_file_write(f, "!!", 2), 2); // continues at the offset
    EXPECT_EQ(os_file_write(f, "", 0), 0);
    EXPECT_EQ(os_file_size(f), 7);
    os_file_close(f);
    EXPECT_EQ(run("python3 -c \"import os; print(os.getxattr('" + p("f") + "', 'user.w'))\""), "b'hello!!'\n");
    // Read-write edits the loaded value in place.
    f = os_file_open(zz({p("f"), "X", "user.k"}).c_str(), OS_FILE_RDWR | OS_FILE_ZZ);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_pwrit(f, "J", 1, 0), 1);
    os_file_close(f);
    EXPECT_EQ(run("python3 -c \"import os; print(os.getxattr('" + p("f") + "', 'user.k'))\""), "b'Jello'\n");

    errno = 0;
    EXPECT_EQ(os_file_open(zz({p("f"), "S", "user.k"}).c_str(), OS_FILE_READ | OS_FILE_ZZ), nullptr);
    EXPECT_EQ(errno, verr_2_posix(VERR_NOT_SUPPORTED));
    errno = 0;
    EXPECT_EQ(os_file_open(zz({}).c_str(), OS_FILE_READ | OS_FILE_ZZ), nullptr);
    EXPECT_EQ(errno, verr_2_posix(VERR_INVALID_PARAMETER));
    errno = 0;
    EXPECT_EQ(os_file_open(zz({p("f"), "X", "user.none"}).c_str(), OS_FILE_READ | OS_FILE_ZZ), nullptr);
    EXPECT_EQ(errno, ENODATA);
    // Two elements: an empty attribute name (which the system refuses).
    EXPECT_EQ(os_file_open(zz({p("f"), "X"}).c_str(), OS_FILE_READ | OS_FILE_ZZ), nullptr);
    // One element: an ordinary path.
    f = os_file_open(zz({p("f")}).c_str(), OS_FILE_READ | OS_FILE_ZZ);
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->ops->name, "file");
    os_file_close(f);
}

TEST(FileStd, DescriptorTableAndProcs)
{
    pl_file_std_init(); // idempotent when start-up already ran it
    ASSERT_NE(g_os_file_stdout, nullptr);
    EXPECT_STREQ(g_os_file_stdout->ops->name, "stdout");
    // Closing descriptor 1 while it holds the kept stdout object leaves the
    // object open.
    EXPECT_EQ(pl_close(1), 0);
    EXPECT_NE(g_os_file_stdout->ops, nullptr);
    EXPECT_EQ(pl_close(1), -1); // the slot is empty now
    EXPECT_EQ(pl_write(1, "x", 1), -1);

    char tmpl[] = "/tmp/zk_fd_XXXXXX";
    int tfd = mkstemp(tmpl);
    ASSERT_GE(tfd, 0);
    close(tfd);
    int fd = pl_open(tmpl, PL_O_RDWR);
    EXPECT_EQ(fd, 1); // the first free slot
    EXPECT_EQ(pl_write(fd, "abc", 3), 3);
    EXPECT_EQ(pl_lseek(fd, 0, SEEK_SET), 0);
    char buf[4] = {0};
    EXPECT_EQ(pl_read(fd, buf, 3), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(pl_pwrite(fd, "Z", 1, 1), 1);
    EXPECT_EQ(pl_pread(fd, buf, 3, 0), 3);
    EXPECT_STREQ(buf, "aZc");
    int fd2 = pl_open("/dev/null", PL_O_WRONLY);
    ASSERT_GE(fd2, 3);
    EXPECT_EQ(pl_dup2(fd, fd2), fd2); // closes the null object
    EXPECT_EQ(pl_read(fd, buf, 1), -1);
    EXPECT_EQ(pl_pread(fd2, buf, 3, 0), 3);
    EXPECT_EQ(pl_close(fd2), 0);
    EXPECT_EQ(pl_dup2(fd, fd2), -1);
    EXPECT_EQ(pl_open("/nonexistent/x", PL_O_RDONLY), -1);
    unlink(tmpl);
    EXPECT_EQ(pl_stat("/", nullptr), -1);

    // Swapped std procedures reach every object of the kind, and the reset
    // puts the saved handle and procedure back.
    static std::string sink;
    auto fake = [](uint64_t h, const void *b, size_t n) -> int64_t {
        sink.append((const char *)b, n);
        return h == 77 ? (int64_t)n : -1;
    };
    EXPECT_EQ(os_file_set_std_fd_proc(g_os_file_stdout, 77, nullptr, fake), 1);
    EXPECT_EQ(os_file_write(g_os_file_stdout, "hi", 2), 2);
    EXPECT_EQ(sink, "hi");
    os_file_t *f = os_file_open("/dev/null", OS_FILE_WRITE);
    {
        fd_capture cap;
        EXPECT_EQ(os_file_set_std_fd_proc(f, 5, nullptr, fake), 0);
        EXPECT_NE(cap.stop().find("error: only support stdin|stdout|stderr"), std::string::npos);
    }
    os_file_close(f);
    os_file_std_proc_reset();
    EXPECT_EQ(os_file_get_handle(g_os_file_stdout), 2u);
    EXPECT_EQ((void *)g_os_file_stdout->ops->writ, (void *)os_stdout_file_writ);
}

// With the platform started, a file opened into descriptor 1 carries the
// std output stream; closing it points the stream back at the std object.
TEST(FileStd, SlotOneCarriesStdStream)
{
    char tmpl[] = "/tmp/zk_std_XXXXXX";
    int tfd = mkstemp(tmpl);
    ASSERT_GE(tfd, 0);
    close(tfd);
    pid_t pid = fork();
    if (pid == 0) {
        pl_init();
        pl_close(1); // the slot may be empty already (an earlier test)
        int fd = pl_open(tmpl, PL_O_WRONLY);
        bool ok = fd == 1;
        ok = ok && zkprintf(zk_stdout, "to file\n") > 0 && zkflush(zk_stdout) == 0;
        ok = ok && pl_close(fd) == 0;
        ok = ok && zkprintf(zk_stdout, "%s", "") >= 0 && zkflush(zk_stdout) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(run(std::string("cat ") + tmpl), "to file\n");
    unlink(tmpl);
}

// A kept std object moved to another slot by pl_dup2 is still the process's:
// closing that slot leaves it open, and shut-down closes it exactly once.
TEST(FileStd, MovedStdObjectIsNeverClosedTwice)
{
    char tmpl[] = "/tmp/zk_mv_XXXXXX";
    int tfd = mkstemp(tmpl);
    ASSERT_GE(tfd, 0);
    close(tfd);
    pid_t pid = fork();
    if (pid == 0) {
        pl_init();
        // A fresh table (earlier tests in this process emptied slot 1).
        pl_file_std_exit();
        pl_file_std_init();
        os_file_t *std[3] = {g_os_file_stdin, g_os_file_stdout, g_os_file_stderr};
        for (int i = 0; i < 3; i++)
            zkfile_set_std_handle(i, (intptr_t)std[i]);
        int fd = pl_open(tmpl, PL_O_WRONLY);
        bool ok = fd == 3;
        ok = ok && pl_dup2(2, fd) == fd; // stderr's object now in slot fd, the file closed
        ok = ok && pl_close(fd) == 0;
        ok = ok && g_os_file_stderr && os_file_write(g_os_file_stderr, "", 0) == 0;
        // Slot 2 is empty: its stream is back on the kept object.
        ok = ok && zkprintf(zk_stderr, "%s", "") >= 0 && zkflush(zk_stderr) == 0;
        fd = pl_open(tmpl, PL_O_WRONLY);
        ok = ok && fd == 2 && pl_dup2(1, fd) == fd; // stdout's object into slot 2
        pl_file_std_exit(); // closes each std object once
        ok = ok && !g_os_file_stdout && !g_os_file_stderr;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    unlink(tmpl);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) : "exit");
}
