// The client sessions file: search path, settings, sessions and the
// translation of session references, with the built URLs checked against
// python3's urllib.parse.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpal/string/url.h"
#include "libzkcli/client.h"

namespace {

std::string run(const std::string &cmd)
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

void spit(const std::string &path, const std::string &data) { std::ofstream(path, std::ios::binary) << data; }

const char *k_sessions = R"(
[conf]
connect_timeout = 9

[session/z1]
prot = zkp
ip = 10.0.0.5
use_ssl = 0
port = 6688

[session/z6]
prot = zkp
ip = fe80__1
port = 7000
use_ssl = 1

[session/zdef]
prot = zkp
ip = h1
port = ZKP_DEF_PORT

[session/zdef_ssl]
prot = zkp
ip = h2
use_ssl = 1
port = ZKP_DEF_PORT

[session/zsdef]
prot = zkp
ip = h3
port = ZKPS_DEF_PORT

[session/zsdef_ssl]
prot = zkp
ip = h8
use_ssl = 1
port = ZKPS_DEF_PORT

[session/auth]
prot = zkp
ip = h4
port = 1
user = bob
pwd = p:w%x

[session/useronly]
prot = zkp
ip = h5
user = ann

[session/prox]
prot = zkp
ip = h6
port = 2
proxy = corp

[session/atpwd]
prot = zkp
ip = h7
user = bob
pwd = a@b

[session/l1]
prot = loc

[session/n1]
prot = net

[session/noip]
prot = zkp

[session/bad]
prot = ftp
)";

class Client : public ::testing::Test {
  protected:
    void SetUp() override
    {
        pl_init();
        unsetenv("ZK_ENV_CONF_DIR");
        unsetenv("ZK_CACHE");
        char tmpl[] = "/tmp/zk_cli_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        spit(dir + "/zk_client.ini", k_sessions);
        ASSERT_EQ(zk_conf_set_path(dir.c_str()), 0);
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
        unsetenv("ZK_CACHE");
    }
    std::string real(const std::string &url, std::string *err = nullptr)
    {
        char out[URL_TEXT_SIZE];
        vperror_t e{};
        if (url_conf_2_real(url.c_str(), out, &e) != 0) {
            if (err)
                *err = vperror_str(&e);
            return "!";
        }
        return out;
    }
    std::string dir;
};

} // namespace

TEST_F(Client, SessionReferencesTranslate)
{
    struct row {
        std::string in, want;
    } rows[] = {
        {"///z1/docs/a.txt", "zkp://10.0.0.5:6688/docs/a.txt"},
        {"///z6/x", "zkps://[fe80::1]:7000/x"},
        // Default-port names leave the port out, whichever one and whatever use_ssl.
        {"///zdef/d", "zkp://h1/d"},
        {"///zdef_ssl/d", "zkps://h2/d"},
        {"///zsdef/d", "zkp://h3/d"},
        {"///zsdef_ssl/d", "zkps://h8/d"},
        {"///auth/p", "zkp://bob:p:w%x@h4:1/p"},
        {"///useronly/p", "zkp://ann@h5/p"},
        {"///prox/f", "zkp://h6:2/f?proxy=corp"},
        {"///z1/f?x=1", "zkp://10.0.0.5:6688/f?x=1"},
        {"///l1/srv?x=1", "/srv?x=1"},
        {"///l1/srv", "/srv"},
        {"////a/b", "/a/b"}, // "///" and an empty name
        {"///n1/x", "net://n1/x"},
        // Not a reference: trimmed, unquoted, backslashes turned.
        {"  \"C:\\dir\\f\"  ", "C:/dir/f"},
        {"/plain/path?q=1", "/plain/path?q=1"},
        {"zkp://h:1/p", "zkp://h:1/p"},
    };
    for (const row &r : rows) {
        std::string err;
        EXPECT_EQ(real(r.in, &err), r.want) << r.in << " " << err;
    }
    char direct[URL_TEXT_SIZE];
    ASSERT_EQ(conf_session_2_url("z6", direct, nullptr), 0);
    EXPECT_STREQ(direct, "zkps://[fe80::1]:7000");
    char buf[URL_TEXT_SIZE] = "///z1/in/place";
    ASSERT_EQ(url_conf_2_real_inplace(buf, nullptr), 0);
    EXPECT_STREQ(buf, "zkp://10.0.0.5:6688/in/place");
}

TEST_F(Client, BuiltUrlsParseAsPythonParsesThem)
{
    for (std::string ref : {"///z1/docs/a.txt", "///z6/x", "///auth/p", "///prox/f"}) {
        std::string url = real(ref);
        ASSERT_NE(url, "!");
        std::string py = run("python3 -c " + std::string("'import sys, urllib.parse as u; s=u.urlsplit(sys.argv[1]); "
                                                          "print(s.scheme, s.username or \"\", s.password or \"\", "
                                                          "s.hostname, s.port or 0, s.path)' ") +
                             "'" + url + "'");
        url_rec rec;
        char b[URL_TEXT_SIZE];
        ASSERT_EQ(url_parser(&rec, b, url.c_str()), 0);
        std::string mine = std::string(rec.protocol) + " " + rec.user + " " + rec.passwd + " " + rec.host + " " +
                           std::to_string(rec.port) + " " + rec.path;
        EXPECT_EQ(mine, py) << url;
    }
}

TEST_F(Client, SessionErrors)
{
    struct row {
        std::string in, err;
    } rows[] = {
        {"///nosuch/x", "'nosuch' does not exist"},
        {"///noip/x", "Failed to get ip"},
        {"///bad/x", "Unsupported protocol [ftp]"},
    };
    for (const row &r : rows) {
        std::string err;
        EXPECT_EQ(real(r.in, &err), "!") << r.in;
        EXPECT_EQ(err, r.err) << r.in;
    }
    // A password holding '@' would move the host: refused.
    std::string err;
    EXPECT_EQ(real("///atpwd/x", &err), "!");
    EXPECT_NE(err.find("'atpwd'"), std::string::npos) << err;
    conf_client_info rec{};
    rec.prot = CONF_PROT_ZKP;
    strcpy(rec.name, "t");
    strcpy(rec.ip, "h");
    for (const char *user : {"a:b", "a/b", "a?b", "a#b"}) {
        strcpy(rec.user, user);
        char out[URL_TEXT_SIZE] = "untouched";
        EXPECT_EQ(conf_client_2_url(&rec, out, sizeof(out), nullptr), -1) << user;
        EXPECT_STREQ(out, "untouched");
    }
    strcpy(rec.user, "u");
    for (const char *pwd : {"a/b", "a?b", "a#b"}) {
        strcpy(rec.pwd, pwd);
        char out[URL_TEXT_SIZE] = "untouched";
        vperror_t e{};
        EXPECT_EQ(conf_client_2_url(&rec, out, sizeof(out), &e), -1) << pwd;
        EXPECT_EQ(e.code, VERR_INVALID_PARAMETER) << pwd;
        EXPECT_STREQ(out, "untouched");
    }

    // No sessions file at all.
    std::filesystem::remove(dir + "/zk_client.ini");
    EXPECT_EQ(real("///z1/x", &err), "!");
    EXPECT_EQ(err, "conf_load [" + dir + "/zk_client.ini] failed");
    EXPECT_EQ(real("/still/fine"), "/still/fine");
}

TEST_F(Client, OtherProtocolsLeaveTheTextAlone)
{
    conf_client_info rec{};
    rec.prot = 9;
    char out[64] = "untouched";
    EXPECT_EQ(conf_client_2_url(&rec, out, sizeof(out), nullptr), 0);
    EXPECT_STREQ(out, "untouched");
    char e[URL_TEXT_SIZE] = "x";
    EXPECT_EQ(conf_name_2_url("", e, nullptr), 0);
    EXPECT_STREQ(e, "");
}

TEST_F(Client, TimeoutsAndSettings)
{
    EXPECT_EQ(zk_conf_get_int("connect_timeout"), 9); // from the file
    EXPECT_EQ(zk_conf_get_int("read_timeout"), 15);   // defaults
    EXPECT_EQ(zk_conf_get_int("write_timeout"), 8);
    EXPECT_EQ(zk_conf_get_int("other"), 0);

    char url[URL_TEXT_SIZE] = "zkp://h/p?read_timeout=3";
    ASSERT_EQ(zk_conf_url_add_timeouts(url), 0);
    EXPECT_STREQ(url, "zkp://h/p?read_timeout=3&connect_timeout=9&write_timeout=8");

    // Without a file: 6, 15, 8.
    std::filesystem::remove(dir + "/zk_client.ini");
    EXPECT_EQ(zk_conf_get_int("connect_timeout"), 6);
    char u2[URL_TEXT_SIZE] = "/srv";
    ASSERT_EQ(zk_conf_url_add_timeouts(u2), 0);
    EXPECT_STREQ(u2, "/srv?connect_timeout=6&read_timeout=15&write_timeout=8");

    // Setters create the file.
    ASSERT_EQ(zk_conf_set_int("read_timeout", 21), 0);
    EXPECT_EQ(zk_conf_get_int("read_timeout"), 21);
    ASSERT_EQ(zk_conf_set_str("cache_dir", "/var//cache\\zk"), 0);
    EXPECT_STREQ(getenv("ZK_CACHE"), "/var//cache\\zk");
    char out[256];
    // ZK_CACHE wins for cache_dir; every result is normalised as a path.
    setenv("ZK_CACHE", "/from//env", 1);
    ASSERT_EQ(zk_conf_get_str("cache_dir", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/from/env");
    unsetenv("ZK_CACHE");
    ASSERT_EQ(zk_conf_get_str("cache_dir", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/var/cache/zk");
    ASSERT_EQ(zk_conf_get_str("missing", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
}

TEST_F(Client, WritingAndWalkingSessions)
{
    conf_client_info rec{};
    rec.prot = CONF_PROT_ZKP;
    strcpy(rec.name, "made");
    strcpy(rec.ip, "10.9.9.9");
    rec.use_ssl = 1;
    strcpy(rec.port, "9000");
    strcpy(rec.user, "u");
    strcpy(rec.pwd, "p");
    strcpy(rec.bs, "1M");
    strcpy(rec.fmod, "600");
    strcpy(rec.dmod, "700");
    ASSERT_EQ(conf_client_set_info(&rec), 0);
    conf_client_info back{};
    ASSERT_EQ(conf_client_get_info("made", &back, nullptr), 0);
    EXPECT_EQ(back.prot, CONF_PROT_ZKP);
    EXPECT_STREQ(back.ip, "10.9.9.9");
    EXPECT_EQ(back.use_ssl, 1);
    EXPECT_STREQ(back.port, "9000");
    EXPECT_STREQ(back.user, "u");
    EXPECT_STREQ(back.bs, "1M");
    EXPECT_STREQ(back.fmod, "600");
    EXPECT_STREQ(back.dmod, "700");
    // Defaults of a sparse section.
    ASSERT_EQ(conf_client_get_info("z1", &back, nullptr), 0);
    EXPECT_STREQ(back.bs, "2M");
    EXPECT_STREQ(back.fmod, "644");
    EXPECT_STREQ(back.dmod, "755");
    EXPECT_STREQ(back.user, "");

    EXPECT_EQ(conf_client_is_exist("made"), 1);
    EXPECT_EQ(conf_client_is_exist("never"), 0);
    ASSERT_EQ(conf_client_copy_move("made", "moved"), 0);
    EXPECT_EQ(conf_client_is_exist("made"), 0);
    EXPECT_EQ(conf_client_is_exist("moved"), 1);
    ASSERT_EQ(conf_client_del("moved"), 0);
    EXPECT_EQ(conf_client_is_exist("moved"), 0);

    std::set<std::string> seen;
    ASSERT_EQ(conf_walk_item([](void *arg, const char *name, int) { ((std::set<std::string> *)arg)->insert(name); },
                             &seen),
              0);
    // Readable sessions, "localhost" made if missing, "network" left out.
    EXPECT_EQ(seen, (std::set<std::string>{"z1", "z6", "zdef", "zdef_ssl", "zsdef", "zsdef_ssl", "auth", "useronly", "prox",
                                           "atpwd", "l1", "n1", "localhost"}));
    EXPECT_EQ(conf_client_is_exist("network"), 1);
    // Values survive the rewrites untouched.
    ASSERT_EQ(conf_client_get_info("auth", &back, nullptr), 0);
    EXPECT_STREQ(back.pwd, "p:w%x");

    std::filesystem::remove(dir + "/zk_client.ini");
    EXPECT_EQ(conf_client_is_exist("z1"), -1);
    EXPECT_EQ(conf_client_del("z1"), -1);
}

// Finding the directory happens once per process, so each case runs in a
// fresh copy of this test binary: with ZK_T_MODE set (ZK_T_* say what it must
// find) the copy makes the check before the tests start and exits 0 when it
// holds, 1 when not.
static int client_search_child(const char *mode)
{
    int rc = strcmp(mode, "set") == 0 ? zk_conf_set_path(getenv("ZK_T_SET")) : zk_conf_find_path();
    bool ok = rc == atoi(getenv("ZK_T_RC"));
    char p[4096];
    ok = ok && strcmp(zk_conf_get_path(p, sizeof(p)), getenv("ZK_T_PATH")) == 0;
    if (const char *want = getenv("ZK_T_PROXY")) {
        const char *got = getenv("ZK_PROXY_FILE");
        ok = ok && got && strcmp(got, want) == 0;
    }
    if (const char *want = getenv("ZK_T_CACHE")) {
        const char *cache = getenv("ZK_CACHE");
        ok = ok && strcmp(cache ? cache : "-", want) == 0;
    }
    return ok ? 0 : 1;
}

__attribute__((constructor)) static void client_search_child_entry(void)
{
    if (const char *mode = getenv("ZK_T_MODE"))
        _exit(client_search_child(mode));
}

TEST_F(Client, SearchOrderAndPublishedVariables)
{
    std::string env_dir = dir + "/env", cwd_dir = dir + "/cwd", not_file = dir + "/nf";
    std::filesystem::create_directories(env_dir);
    std::filesystem::create_directories(cwd_dir);
    std::filesystem::create_directories(not_file + "/zk_client.ini"); // a directory, not a file
    spit(env_dir + "/zk_client.ini", "[conf]\ncache_dir = /c//d\n");
    spit(cwd_dir + "/zk_client.ini", "");
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    auto child = [&](const std::string &cd, const std::string &vars, const std::string &prog = "") {
        std::string cmd = "cd '" + cd + "' && env -u ZK_CACHE -u ZK_ENV_CONF_DIR -u ZK_PROXY_FILE " + vars + " '" +
                          (prog.empty() ? std::string(exe) : prog) + "' --gtest_filter=NoSuchTest >/dev/null 2>&1";
        return system(cmd.c_str());
    };
    // $ZK_ENV_CONF_DIR first; its cache_dir is published, normalised.
    EXPECT_EQ(child(cwd_dir, "ZK_T_MODE=find ZK_ENV_CONF_DIR=" + env_dir + " ZK_T_RC=0 ZK_T_PATH=" + env_dir +
                                 "/zk_client.ini ZK_T_PROXY=" + env_dir + "/zk_proxy.ini ZK_T_CACHE=/c/d"),
              0);
    // Then the working directory; a "zk_client.ini" that is no regular file
    // is passed over, and an empty cache_dir is not published.
    EXPECT_EQ(child(cwd_dir, "ZK_T_MODE=find ZK_ENV_CONF_DIR=" + not_file + " ZK_T_RC=0 ZK_T_PATH=" + cwd_dir +
                                 "/zk_client.ini ZK_T_PROXY=" + cwd_dir + "/zk_proxy.ini ZK_T_CACHE=-"),
              0);
    // Nowhere (the binary's directory holds no sessions file either): -1.
    EXPECT_EQ(child(not_file, "ZK_T_MODE=find ZK_T_RC=-1 ZK_T_PATH="), 0);
    // Last, the executable's own directory: a copy of this binary beside a
    // sessions file finds it from a working directory without one.
    std::string exe_dir = dir + "/bin";
    std::filesystem::create_directories(exe_dir);
    spit(exe_dir + "/zk_client.ini", "");
    std::filesystem::copy_file(exe, exe_dir + "/copy", std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(child(not_file,
                    "ZK_T_MODE=find ZK_T_RC=0 ZK_T_PATH=" + exe_dir + "/zk_client.ini ZK_T_PROXY=" + exe_dir +
                        "/zk_proxy.ini",
                    exe_dir + "/copy"),
              0);
    // An explicit directory loses to $ZK_ENV_CONF_DIR; ZK_CACHE is set even
    // when empty.
    EXPECT_EQ(child(not_file, "ZK_T_MODE=set ZK_T_SET=" + env_dir + " ZK_ENV_CONF_DIR=" + cwd_dir +
                                  " ZK_T_RC=0 ZK_T_PATH=" + cwd_dir + "/zk_client.ini ZK_T_CACHE="),
              0);
    EXPECT_EQ(zk_conf_try_dir(not_file.c_str()), -1);
    EXPECT_EQ(zk_conf_try_dir(cwd_dir.c_str()), 0);
}
