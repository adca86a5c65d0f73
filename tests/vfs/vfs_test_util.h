// Shared fixture of the virtual file system tests: a scratch directory
// mounted through the "file" driver, and the outside references (coreutils,
// python3) the results are checked against.
#pragma once
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpal/vfile/os_file2.h"
#include "libpal/vfile/os_file_flag.h"
#include "libvfs/libvfs.h"
#include "libzkcli/client.h"

namespace vfs_test {

// Output of a shell command (standard output only), trailing newline cut.
inline std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// Exit status of a shell command.
inline int sh(const std::string &cmd)
{
    int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

inline std::string q(const std::string &s) { return "'" + s + "'"; }

inline std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void spit(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Makes a driver record (a static const table) writable for the scope, so a
// test can put a spy into one slot; the slot and the protection are restored.
template <typename Fn> struct slot_patch {
    slot_patch(const vfs_drv *rec, Fn vfs_drv::*slot, Fn spy) : rec_(const_cast<vfs_drv *>(rec)), slot_(slot)
    {
        protect(PROT_READ | PROT_WRITE);
        old_ = rec_->*slot_;
        rec_->*slot_ = spy;
    }
    ~slot_patch()
    {
        rec_->*slot_ = old_;
        protect(PROT_READ);
    }
    Fn old_;
    slot_patch(const slot_patch &) = delete;
    slot_patch &operator=(const slot_patch &) = delete;

  private:
    void protect(int prot)
    {
        uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
        uintptr_t a = (uintptr_t)rec_ & ~(page - 1);
        uintptr_t e = ((uintptr_t)(rec_ + 1) + page - 1) & ~(page - 1);
        EXPECT_EQ(mprotect((void *)a, e - a, prot), 0) << strerror(errno);
    }
    vfs_drv *rec_;
    Fn vfs_drv::*slot_;
};

// Unmounts at the end of the scope, so that a failed check never leaves a
// mount behind (NULL: nothing to do).
struct mount_guard {
    explicit mount_guard(vfs_mount_ctx *mnt) : m(mnt) {}
    ~mount_guard()
    {
        if (m)
            vfs_umount(m);
    }
    mount_guard(const mount_guard &) = delete;
    mount_guard &operator=(const mount_guard &) = delete;
    vfs_mount_ctx *m;
};

// A scratch directory with an empty sessions file beside nothing else, made
// the client configuration directory so that mounts read no stray file.
class VfsFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        pl_init();
        unsetenv("ZK_ENV_CONF_DIR");
        char tmpl[] = "/tmp/zk_vfs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base = tmpl;
        root = base + "/root";
        conf = base + "/conf";
        std::filesystem::create_directories(root);
        std::filesystem::create_directories(conf);
        spit(conf + "/zk_client.ini", "");
        zk_conf_set_path(conf.c_str());
    }
    void TearDown() override
    {
        if (mnt)
            vfs_umount(mnt);
        mnt = nullptr;
        std::filesystem::remove_all(base);
    }
    // Mounts root with the given query ("" for none).
    vfs_mount_ctx *mount(const std::string &query = "")
    {
        vperror_t err{};
        std::string url = root + (query.empty() ? "" : "?" + query);
        mnt = vfs_mount(url.c_str(), &err);
        EXPECT_NE(mnt, nullptr) << vperror_str(&err);
        return mnt;
    }
    // Host path of a mount path.
    std::string host(const std::string &p) const { return root + p; }
    std::string stat_fmt(const std::string &fmt, const std::string &p) const
    {
        return run("stat -c " + q(fmt) + " " + q(host(p)));
    }

    std::string base, root, conf;
    vfs_mount_ctx *mnt = nullptr;
};

} // namespace vfs_test
