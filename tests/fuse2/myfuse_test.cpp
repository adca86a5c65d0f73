// The mount glue's failure paths: whatever fails after the source was
// mounted, the source is closed again and nothing of it stays allocated (a
// later mount from the shell would leak it). Each mount runs in a forked
// child, which counts the blocks the failed call left allocated and reports
// back; the parent takes down anything the child may have mounted.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "libfuse2/src/help.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"
#include "libzkcli/client.h"
#include "test_util.h"

#include "zkue/fuse/myfuse.h"

namespace {

// ---- blocks allocated through the platform's allocator, while tracking -------------

// The set itself allocates with operator new, never through the hooks.
std::set<void *> *s_live;
bool s_tracking;

void *t_malloc(size_t n)
{
    void *p = malloc(n);
    if (p && s_tracking)
        s_live->insert(p);
    return p;
}

void *t_realloc(void *p, size_t n)
{
    void *q = realloc(p, n);
    if (s_tracking) {
        // Only a block of the tracked window is followed when it moves; an
        // older one growing is no new allocation.
        bool ours = !p || s_live->erase(p) > 0;
        if (p && !q && n)
            s_live->insert(p); // failed: still there
        else if (q && ours)
            s_live->insert(q);
    }
    return q;
}

void t_free(void *p)
{
    if (p && s_tracking)
        s_live->erase(p);
    free(p);
}

using zk_test::fuse_usable;

struct outcome {
    int ret = -99;
    int handle_left = -1; // g_vfs_handle still set after the call
    int mnt_dir_left = -1;
    int leaked = -1;      // blocks the second call left allocated
    char err[256] = "";
};

// Runs myfuse_mount(url) twice in a child (the first call makes what every
// call shares: the driver registry, the log handle) and counts what the
// second one leaves allocated. Anything mounted meanwhile is taken down.
outcome mount_in_child(const std::string &url, const std::string &mnt_dir)
{
    outcome o;
    int p[2];
    if (pipe(p) != 0)
        return o;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        char err[MYFUSE_ERR_SIZE] = "";
        myfuse_mount(url.c_str(), err);
        s_live = new std::set<void *>;
        pl_malloc_init(t_malloc, t_realloc, t_free);
        s_tracking = true;
        err[0] = '\0';
        int r = myfuse_mount(url.c_str(), err);
        s_tracking = false;
        outcome c;
        c.ret = r;
        c.handle_left = g_vfs_handle != nullptr;
        c.mnt_dir_left = g_mnt_dir[0] != '\0';
        c.leaked = (int)s_live->size();
        str_safecopy_trunc(c.err, sizeof(c.err), err);
        (void)!write(p[1], &c, sizeof(c));
        _exit(0);
    }
    close(p[1]);
    struct pollfd pfd = {p[0], POLLIN, 0};
    if (pid > 0 && poll(&pfd, 1, 20000) == 1 && read(p[0], &o, sizeof(o)) != (ssize_t)sizeof(o))
        o = outcome{};
    close(p[0]);
    if (pid > 0) {
        // A child still serving a mount it should never have made.
        if (fuse_mnt_is_fuse(mnt_dir.c_str()))
            umount2(mnt_dir.c_str(), MNT_DETACH);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (fuse_mnt_is_fuse(mnt_dir.c_str()))
        umount2(mnt_dir.c_str(), MNT_DETACH);
    return o;
}

// Log records with their level, while a test listens.
struct level_line {
    unsigned level;
    std::string text;
};
std::vector<level_line> s_lines;

int level_hook(unsigned level, const char *, const char *, int, const char *, int, const char *fmt, va_list va)
{
    char buf[8192];
    vsnprintf(buf, sizeof(buf), fmt, va);
    s_lines.push_back({level & LOG2_LEVEL_MASK, buf});
    return 0;
}

bool has_line(unsigned level, const std::string &text)
{
    for (const level_line &l : s_lines)
        if (l.level == level && l.text == text)
            return true;
    return false;
}

class MountGlue : public ::testing::Test {
  protected:
    zk_test::temp_dir t{"zk_glue"};
    std::string src, conf;

    void SetUp() override
    {
        pl_init();
        src = t / "src";
        conf = t / "conf";
        std::filesystem::create_directories(src);
        std::filesystem::create_directories(conf);
        FILE *f = fopen((conf + "/zk_client.ini").c_str(), "w");
        ASSERT_TRUE(f);
        fclose(f);
        zk_conf_set_path(conf.c_str());
    }
    std::string url(const std::string &mnt, const std::string &options) const
    {
        return src + "?fuse_mount_point=" + mnt + "&options=" + options;
    }
};

} // namespace

TEST_F(MountGlue, MountDirThatCannotBeMadeClosesTheSource)
{
    FILE *f = fopen((t / "file").c_str(), "w");
    ASSERT_TRUE(f);
    fclose(f);
    std::string mnt = t / "file/sub";
    outcome o = mount_in_child(url(mnt, "rw"), mnt);
    EXPECT_EQ(o.ret, -1);
    EXPECT_STREQ(o.err, strerror(ENOTDIR));
    EXPECT_EQ(o.handle_left, 0);
    EXPECT_EQ(o.mnt_dir_left, 0);
    EXPECT_EQ(o.leaked, 0) << "the source's mount outlived the failed call";
}

TEST_F(MountGlue, RefusedFuseSetUpClosesTheSource)
{
    if (!fuse_usable())
        GTEST_SKIP() << "needs root and /dev/fuse";
    std::string mnt = t / "mnt";
    // libfuse refuses the pair, so the kernel mount never happens.
    outcome o = mount_in_child(url(mnt, "rw,allow_other,allow_root"), mnt);
    EXPECT_EQ(o.ret, -1);
    EXPECT_STREQ(o.err, "fuse mount failed: 'allow_other' and 'allow_root' options are mutually exclusive");
    EXPECT_EQ(o.handle_left, 0);
    EXPECT_EQ(o.mnt_dir_left, 0);
    EXPECT_EQ(o.leaked, 0) << "the source's mount outlived the failed call";
    EXPECT_EQ(fuse_mnt_is_fuse(mnt.c_str()), 0);
}

TEST_F(MountGlue, ReadOnlySourceForcesReadOnlyMountWithAWarning)
{
    struct row {
        const char *url;
        int readonly;
        const char *opts;
        bool warned;
    } rows[] = {
        {"/src", 0, "ro", false},
        {"/src?options=rw", 1, "rw,ro", true},
        {"/src?options=rw,allow_other", 0, "allow_other,default_permissions", false},
        {"/src?options=rw,allow_other", 1, "rw,allow_other,ro,default_permissions", true},
    };
    for (const row &r : rows) {
        s_lines.clear();
        log2_set_hook(nullptr, level_hook);
        char out[MYFUSE_URL_SIZE], err[MYFUSE_ERR_SIZE] = "";
        int ret = myfuse_settle_options(r.url, r.readonly, out, sizeof(out), err);
        log2_set_hook(nullptr, nullptr);
        ASSERT_EQ(ret, 0) << r.url;
        EXPECT_STREQ(out, r.opts) << r.url;
        EXPECT_EQ(has_line(LOG2_WARN, "VFS read-only Forced to read-only mount\n"), r.warned) << r.url;
        EXPECT_TRUE(has_line(LOG2_DBG, std::string("opts.options=") + r.opts + "\n")) << r.url;
    }
}

TEST_F(MountGlue, UnmountAndOpenFilesWithNothingMounted)
{
    ASSERT_EQ(g_vfs_handle, nullptr);
    s_lines.clear();
    log2_set_hook(nullptr, level_hook);
    EXPECT_EQ(myfuse_unmount(nullptr), 0);
    EXPECT_EQ(myfuse_unmount(nullptr), 0) << "every stop path may call it again";
    log2_set_hook(nullptr, nullptr);
    EXPECT_TRUE(has_line(LOG2_DBG, "==>\n"));
    for (const level_line &l : s_lines)
        EXPECT_EQ(l.text.find("fuse_unmount mnt_dir="), std::string::npos) << l.text;
    char *open_files = myfuse_show_openfile();
    ASSERT_NE(open_files, nullptr);
    EXPECT_STREQ(open_files, "") << "nothing was ever mounted";
    os_free(open_files);
}
