// Shared helpers of the configuration tests: a scratch directory, file
// contents, the writer's text of a dictionary, and python3's configparser
// as the independent reader.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "libconf/ini/iniparser.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/zkfile.h"

namespace conf_test {

class scratch_dir {
  public:
    scratch_dir()
    {
        char t[] = "/tmp/zkconf_XXXXXX";
        if (mkdtemp(t))
            dir_ = t;
    }
    ~scratch_dir()
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

inline void put_file(const std::string &path, const std::string &data)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size());
    close(fd);
}

inline std::string get_file(const std::string &path)
{
    std::string s;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    char b[4096];
    ssize_t n;
    while ((n = read(fd, b, sizeof(b))) > 0)
        s.append(b, (size_t)n);
    close(fd);
    return s;
}

// What the writer makes of a dictionary; *status gets its result.
inline std::string dump_text(const dictionary *d, int *status = nullptr)
{
    zkfile_t *f = zkopen_tmp();
    int r = iniparser_dump_ini(d, f);
    if (status)
        *status = r;
    zkrewind(f);
    std::string s;
    int c;
    while ((c = zkgetc(f)) != -1)
        s += (char)c;
    zkclose(f);
    return s;
}

// Output of a command (stdout only).
inline std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof(b), p)) > 0)
        out.append(b, n);
    pclose(p);
    return out;
}

// python3's configparser view of an ini file: one "section TAB key TAB
// value" line per key, in file order (values with "\n" escaped).
inline std::string python_view(const std::string &path)
{
    const char *script =
        "import configparser,sys\n"
        "c=configparser.ConfigParser(interpolation=None,strict=False,inline_comment_prefixes=(';','#'))\n"
        "c.optionxform=str\n"
        "c.read(sys.argv[1],encoding='utf-8-sig')\n"
        "for s in c.sections():\n"
        "  for k,v in c.items(s,raw=True):\n"
        "    sys.stdout.buffer.write(('%s\\t%s\\t%s\\n'%(s,k,v.replace('\\n','\\\\n'))).encode('utf-8'))\n";
    std::string py = path + ".py";
    put_file(py, script);
    return run("python3 '" + py + "' '" + path + "'");
}

} // namespace conf_test
