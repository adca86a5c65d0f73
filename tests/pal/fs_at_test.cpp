// Path calls beneath a directory descriptor: names taken byte for byte, no
// symbolic link followed in any component, paths of any length, and nodes
// given to their creator. Every case runs twice: with the kernel's openat2
// and with the name-by-name walk of kernels without it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "libpal/os/posix/os_fs.h"
#include "libpal/os/posix/os_fs_at.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &data) { std::ofstream(path, std::ios::binary) << data; }

struct stat lst(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// A source directory "src" (opened as the base) beside an outside directory
// holding what must never be reached: a file, and a directory.
class FsAt : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override
    {
        os_at_set_openat2(GetParam() ? 1 : 0);
        char tmpl[] = "/tmp/zk_fsat_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        top = tmpl;
        src = top + "/src";
        out = top + "/out";
        std::filesystem::create_directories(src);
        std::filesystem::create_directories(out + "/dir");
        spit(out + "/victim", "secret");
        chmod((out + "/victim").c_str(), 0600);
        base = open(src.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(base, 0);
    }
    void TearDown() override
    {
        os_at_set_openat2(1);
        close(base);
        std::filesystem::remove_all(top);
    }
    std::string S(const std::string &rel) const { return src + "/" + rel; }
    // The outside as it stands: names, modes, owners, sizes and contents.
    std::string outside() const
    {
        std::string all;
        for (auto &e : std::filesystem::recursive_directory_iterator(out)) {
            struct stat st = lst(e.path());
            all += e.path().string() + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                   std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_nsec) + "\n";
            if (e.is_regular_file())
                all += slurp(e.path()) + "\n";
        }
        return all;
    }
    std::string top, src, out;
    int base = -1;
};

INSTANTIATE_TEST_SUITE_P(Resolve, FsAt, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "openat2" : "walk"; });

} // namespace

// Backslashes, "..\..", "file:", "?" and "%" are bytes of one name.
TEST_P(FsAt, NamesAreTakenByteForByte)
{
    const std::string before = outside();
    const char *names[] = {"..\\..\\out\\victim", "a\\b", "file:", "file:\\\\?\\x", "?x", "%2e%2e", "sp ace"};
    for (const char *n : names) {
        int fd = os_at_create(base, n, O_WRONLY | O_TRUNC, 0644, nullptr);
        ASSERT_GE(fd, 0) << n << ": " << strerror(errno);
        ASSERT_EQ(write(fd, "x", 1), 1);
        close(fd);
        EXPECT_EQ(slurp(S(n)), "x") << n;
    }
    std::set<std::string> listed;
    for (auto &e : std::filesystem::directory_iterator(src))
        listed.insert(e.path().filename().string());
    EXPECT_EQ(listed, std::set<std::string>(std::begin(names), std::end(names)));
    EXPECT_EQ(outside(), before);

    // Separators may repeat or lead; the base itself is the empty path.
    ASSERT_EQ(os_at_mkdir(base, "d", 0755, nullptr), 0);
    ASSERT_GE(os_at_create(base, "//d///f", O_WRONLY, 0644, nullptr), 0);
    os_file_stat_t st{};
    EXPECT_EQ(os_at_stat(base, "d/f", &st, 1), 0);
    for (const char *self : {"", "/", "//"}) {
        ASSERT_EQ(os_at_stat(base, self, &st, 1), 0) << self;
        EXPECT_EQ(st.ino, lst(src).st_ino);
    }
}

TEST_P(FsAt, DotsAndOverlongNamesAreRefused)
{
    ASSERT_EQ(os_at_mkdir(base, "d", 0755, nullptr), 0);
    struct Case {
        const char *rel;
        int eno;
    } cases[] = {
        {".", EINVAL},      {"..", EINVAL},        {"d/..", EINVAL}, {"d/../../out/victim", EINVAL},
        {"./d", EINVAL},    {"d/./x", EINVAL},     {"../out", EINVAL},
    };
    os_file_stat_t st{};
    for (auto &c : cases) {
        errno = 0;
        EXPECT_EQ(os_at_stat(base, c.rel, &st, 0), -1) << c.rel;
        EXPECT_EQ(errno, c.eno) << c.rel;
        EXPECT_EQ(os_at_open(base, c.rel, O_RDONLY, 0), -1) << c.rel;
        EXPECT_EQ(os_at_create(base, c.rel, O_WRONLY, 0644, nullptr), -1) << c.rel;
        EXPECT_EQ(os_at_unlink(base, c.rel), -1) << c.rel;
    }
    // Dots inside a name are bytes like any other.
    EXPECT_GE(os_at_create(base, "...", O_WRONLY, 0644, nullptr), 0);
    EXPECT_GE(os_at_create(base, "d/.x", O_WRONLY, 0644, nullptr), 0);
    std::string longest(NAME_MAX, 'n');
    EXPECT_GE(os_at_create(base, longest.c_str(), O_WRONLY, 0644, nullptr), 0);
    std::string too_long(NAME_MAX + 1, 'n');
    EXPECT_EQ(os_at_stat(base, too_long.c_str(), &st, 0), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(os_at_check(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

// Links in the source, pointing outside and inside: no call goes through one.
TEST_P(FsAt, NoSymbolicLinkIsFollowed)
{
    ASSERT_EQ(symlink((out + "/dir").c_str(), S("ldir").c_str()), 0);
    ASSERT_EQ(symlink("../out/victim", S("lfile").c_str()), 0);
    ASSERT_EQ(symlink((out + "/dir/new").c_str(), S("dangling").c_str()), 0);
    ASSERT_EQ(mkdir(S("in").c_str(), 0755), 0);
    spit(S("in/f"), "inside");
    ASSERT_EQ(symlink("in", S("lin").c_str()), 0);
    const std::string before = outside();

    // A link anywhere on the way.
    for (const char *rel : {"ldir/x", "lin/f", "lin/new"}) {
        os_file_stat_t st{};
        errno = 0;
        EXPECT_EQ(os_at_stat(base, rel, &st, 0), -1) << rel;
        EXPECT_EQ(errno, ELOOP) << rel;
        EXPECT_EQ(os_at_create(base, rel, O_WRONLY, 0644, nullptr), -1) << rel;
        EXPECT_EQ(os_at_mkdir(base, rel, 0755, nullptr), -1) << rel;
        EXPECT_EQ(os_at_opendir(base, rel, nullptr, 0), nullptr) << rel;
    }
    // The link as the last name: the follow forms refuse it ...
    errno = 0;
    EXPECT_EQ(os_at_open(base, "lfile", O_RDWR | O_APPEND, 0), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(os_at_open(base, "lfile", O_WRONLY | O_TRUNC, 0), -1);
    EXPECT_EQ(os_at_create(base, "dangling", O_WRONLY, 0644, nullptr), -1);
    EXPECT_EQ(os_at_create(base, "lfile", O_WRONLY | O_TRUNC, 0644, nullptr), -1);
    os_owner_t nobody{65534, 65534, nullptr, 0};
    EXPECT_EQ(os_at_create(base, "lfile", O_WRONLY | O_TRUNC, 0644, &nobody), -1);
    os_file_stat_t st{};
    struct Call {
        const char *what;
        int r;
    } calls[] = {
        {"stat", os_at_stat(base, "lfile", &st, 1)},
        {"access", os_at_access(base, "lfile", R_OK)},
        {"truncate", os_at_truncate(base, "lfile", 0)},
        {"chmod", os_at_chmod(base, "lfile", 0666, 1)},
        {"chown", os_at_chown(base, "lfile", 65534, 65534, 1)},
        {"utimes", os_at_utimes(base, "lfile", nullptr, 1)},
    };
    for (auto &c : calls)
        EXPECT_EQ(c.r, -1) << c.what;
    os_file_times_t t{{1000000000, 0}, {1000000000, 0}, {0, 0}};
    errno = 0;
    EXPECT_EQ(os_at_utimes(base, "lfile", &t, 1), -1);
    EXPECT_EQ(errno, ELOOP);
    // ... the others act on the link itself.
    ASSERT_EQ(os_at_stat(base, "lfile", &st, 0), 0);
    EXPECT_TRUE(S_ISLNK(st.mode));
    EXPECT_EQ(os_at_chmod(base, "lfile", 0666, 0), -1); // a link has no mode of its own
    EXPECT_EQ(os_at_utimes(base, "lfile", &t, 0), 0);
    EXPECT_EQ(lst(S("lfile")).st_mtim.tv_sec, 1000000000);
    char buf[64];
    EXPECT_EQ(os_at_readlink(base, "lfile", buf, sizeof(buf)), 13);
    EXPECT_STREQ(buf, "../out/victim");
    if (geteuid() == 0) {
        EXPECT_EQ(os_at_chown(base, "lfile", 65534, 65534, 0), 0);
        EXPECT_EQ(lst(S("lfile")).st_uid, 65534u);
        // Attributes of the link itself (trusted.* is root's; user.* cannot
        // sit on a link at all).
        ASSERT_EQ(os_at_setxattr(base, "lfile", "trusted.zk", "1", 1, 0), 0);
        EXPECT_EQ(lgetxattr(S("lfile").c_str(), "trusted.zk", buf, sizeof(buf)), 1);
        EXPECT_EQ(getxattr((out + "/victim").c_str(), "trusted.zk", buf, sizeof(buf)), -1);
        EXPECT_EQ(os_at_getxattr(base, "lfile", "trusted.zk", buf, sizeof(buf)), 1);
        EXPECT_GT(os_at_listxattr(base, "lfile", buf, sizeof(buf)), 0);
        EXPECT_EQ(os_at_removexattr(base, "lfile", "trusted.zk"), 0);
    }
    EXPECT_EQ(os_at_setxattr(base, "lin/f", "user.zk", "1", 1, 0), -1);
    EXPECT_EQ(os_at_link(base, "lfile", "hard"), 0); // the link itself gets a second name
    EXPECT_TRUE(S_ISLNK(lst(S("hard")).st_mode));
    EXPECT_EQ(os_at_rename(base, "lfile", "moved", 1), 0);
    EXPECT_EQ(os_at_unlink(base, "moved"), 0);
    EXPECT_EQ(os_at_remove(base, "ldir"), 0);
    EXPECT_EQ(outside(), before);
    EXPECT_EQ(slurp(S("in/f")), "inside");
}

// Far below the base, longer than any one path the kernel takes: created,
// looked at, listed, renamed and removed name by name.
TEST_P(FsAt, PathsLongerThanTheKernelsLimit)
{
    std::string rel;
    const std::string seg(200, 's');
    while (rel.size() < PATH_MAX + 500) {
        rel += (rel.empty() ? "" : "/") + seg;
        ASSERT_EQ(os_at_mkdir(base, rel.c_str(), 0755, nullptr), 0) << rel.size() << strerror(errno);
    }
    std::string f = rel + "/file";
    int fd = os_at_create(base, f.c_str(), O_WRONLY, 0640, nullptr);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(write(fd, "deep", 4), 4);
    close(fd);
    os_file_stat_t st{};
    ASSERT_EQ(os_at_stat(base, f.c_str(), &st, 1), 0);
    EXPECT_EQ(st.size, 4u);
    os_dir_t *d = os_at_opendir(base, rel.c_str(), nullptr, OS_DIR_LISTING);
    ASSERT_NE(d, nullptr);
    std::set<std::string> names;
    while (os_dir_entry_t *e = os_readdir(d))
        names.insert(e->name);
    os_closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "file"}));
    std::string g = rel + "/renamed";
    ASSERT_EQ(os_at_rename(base, f.c_str(), g.c_str(), 0), 0);
    fd = os_at_open(base, g.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    char buf[8] = {};
    EXPECT_EQ(read(fd, buf, sizeof(buf)), 4);
    close(fd);
    ASSERT_EQ(os_at_unlink(base, g.c_str()), 0);
    EXPECT_EQ(os_at_stat(base, g.c_str(), &st, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

// The listing's own inode numbers and types, links not looked through.
TEST_P(FsAt, ListingGivesInodeAndType)
{
    spit(S("f"), "x");
    ASSERT_EQ(mkdir(S("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("d", S("l").c_str()), 0);
    ASSERT_EQ(mkfifo(S("p").c_str(), 0600), 0);
    os_dir_t *d = os_at_opendir(base, "", "*", OS_DIR_LISTING);
    ASSERT_NE(d, nullptr);
    for (int pass = 0; pass < 2; pass++) {
        std::set<std::string> seen;
        while (os_dir_entry_t *e = os_readdir(d)) {
            seen.insert(e->name);
            struct stat st = lst(S(e->name));
            EXPECT_EQ(e->st.ino, st.st_ino) << e->name;
            EXPECT_EQ(e->st.mode, st.st_mode & S_IFMT) << e->name;
            uint32_t want = S_ISDIR(st.st_mode) ? OS_FTYPE_DIR : S_ISLNK(st.st_mode) ? OS_FTYPE_FILE | OS_FTYPE_LINK
                                                                                      : OS_FTYPE_FILE;
            EXPECT_EQ(e->st.type, want) << e->name;
            EXPECT_EQ(e->st.size, 0u) << e->name; // not looked at
        }
        EXPECT_EQ(seen, (std::set<std::string>{".", "..", "f", "d", "l", "p"}));
        ASSERT_EQ(os_seekdir(d, 0, 0), 0); // back to the start
    }
    os_closedir(d);
}

// An entry that vanished between the listing and its lstat keeps the
// listing's inode number and type (readers drop inode 0).
TEST(FsListing, VanishedEntryKeepsInodeAndType)
{
    char tmpl[] = "/tmp/zk_fsls_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::map<std::string, ino_t> inos;
    for (int i = 0; i < 20; i++) {
        std::string p = dir + "/f" + std::to_string(i);
        spit(p, "x");
        inos["f" + std::to_string(i)] = lst(p).st_ino;
    }
    os_dir_t *d = os_opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    ASSERT_NE(os_readdir(d), nullptr); // the stream has read its buffer now
    for (auto &[n, ino] : inos)
        unlink((dir + "/" + n).c_str());
    int vanished = 0;
    while (os_dir_entry_t *e = os_readdir(d)) {
        if (!inos.count(e->name))
            continue;
        vanished++;
        EXPECT_EQ(e->st.ino, inos[e->name]) << e->name;
        EXPECT_TRUE(S_ISREG(e->st.mode)) << e->name;
    }
    os_closedir(d);
    EXPECT_GT(vanished, 0);
    std::filesystem::remove_all(dir);
}

// Nodes made for another user belong to it as the kernel would make them, and
// no moment shows a set-id node of the daemon's.
TEST_P(FsAt, NodesGoToTheirOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files away";
    os_owner_t o{65534, 65534, nullptr, 0};
    int fd = os_at_create(base, "suid", O_WRONLY, 04755, &o);
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
    EXPECT_EQ(o.used, 1);
    struct stat st = lst(S("suid"));
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    ASSERT_EQ(os_at_mkdir(base, "d", 0750, &o), 0);
    ASSERT_EQ(os_at_mknod(base, "d/p", S_IFIFO | 0640, 0, &o), 0);
    ASSERT_EQ(os_at_mknod(base, "d/n", 0600, 0, &o), 0);
    ASSERT_EQ(os_at_symlink("suid", base, "d/l", &o), 0);
    for (auto [rel, mode] : {std::pair{"d", 040750u}, {"d/p", 010640u}, {"d/n", 0100600u}, {"d/l", 0120777u}}) {
        st = lst(S(rel));
        EXPECT_EQ(st.st_uid, 65534u) << rel;
        EXPECT_EQ(st.st_gid, 65534u) << rel;
        EXPECT_EQ(st.st_mode, mode) << rel;
    }
    // A file that is there already is opened as it is.
    spit(S("mine"), "keep");
    chmod(S("mine").c_str(), 0600);
    o.used = 0;
    fd = os_at_create(base, "mine", O_RDONLY, 0777, &o);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(o.used, 1);
    EXPECT_EQ(lst(S("mine")).st_uid, 0u);
    EXPECT_EQ(lst(S("mine")).st_mode & 07777, 0600u);
    EXPECT_EQ(os_at_create(base, "mine", O_RDONLY | O_EXCL, 0777, &o), -1);
    EXPECT_EQ(errno, EEXIST);

    // A set-group-id parent: its group, and a directory inherits the bit; a
    // set-group-id file of a group the owner is not in loses the bit.
    ASSERT_EQ(mkdir(S("g").c_str(), 0777), 0);
    ASSERT_EQ(chown(S("g").c_str(), 0, 4321), 0);
    ASSERT_EQ(chmod(S("g").c_str(), 02777), 0);
    ASSERT_EQ(os_at_mkdir(base, "g/sub", 0755, &o), 0);
    st = lst(S("g/sub"));
    EXPECT_EQ(st.st_gid, 4321u);
    EXPECT_EQ(st.st_mode & 07777, 02755u);
    fd = os_at_create(base, "g/sg", O_WRONLY, 02755, &o);
    ASSERT_GE(fd, 0);
    close(fd);
    st = lst(S("g/sg"));
    EXPECT_EQ(st.st_gid, 4321u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    os_owner_t member{65534, 65534, [](uint32_t gid) { return gid == 4321 ? 1 : 0; }, 0};
    fd = os_at_create(base, "g/sg2", O_WRONLY, 02755, &member);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(lst(S("g/sg2")).st_mode & 07777, 02755u);
    // Without an owner nothing is given away.
    ASSERT_EQ(os_at_mkdir(base, "plain", 0755, nullptr), 0);
    EXPECT_EQ(lst(S("plain")).st_uid, 0u);
}
