// Helpers shared by the test suites: running a reference command, catching
// log records, temporary directories.
#pragma once
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "liblog/log2.h"

namespace zk_test {

// Everything a shell command prints on its standard output.
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
    return out;
}

// Catches every record of the default log handle (formatted message only)
// while it lives; the console sees nothing meanwhile.
struct log_capture {
    static std::vector<std::string> &lines()
    {
        static std::vector<std::string> v;
        return v;
    }
    static int hook(unsigned, const char *, const char *, int, const char *, int, const char *fmt, va_list va)
    {
        char buf[8192];
        vsnprintf(buf, sizeof(buf), fmt, va);
        lines().push_back(buf);
        return 0;
    }
    log_capture()
    {
        lines().clear();
        log2_set_hook(nullptr, hook);
    }
    ~log_capture() { log2_set_hook(nullptr, nullptr); }
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;
    bool has(const std::string &s) const { return count(s) > 0; }
    size_t count(const std::string &s) const
    {
        size_t n = 0;
        for (auto &l : lines())
            n += l.find(s) != std::string::npos;
        return n;
    }
};

// Whether FUSE mounts can be made: root and a usable /dev/fuse. With
// ZK_TEST_NO_FUSE=1 the tests act as on a machine without /dev/fuse (the
// mount tests skip), which shows how such a run is reported.
inline bool fuse_usable()
{
    const char *hide = getenv("ZK_TEST_NO_FUSE");
    if (hide && strcmp(hide, "1") == 0)
        return false;
    return geteuid() == 0 && access("/dev/fuse", R_OK | W_OK) == 0;
}

// A fresh directory under /tmp, removed with everything in it.
struct temp_dir {
    std::string path;
    explicit temp_dir(const char *prefix = "zk_t")
    {
        std::string tmpl = std::string("/tmp/") + prefix + "_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            path = buf.data();
    }
    ~temp_dir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

} // namespace zk_test
