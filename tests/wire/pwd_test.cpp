// Password hash, login key and value cipher against independent references;
// the server's login checks, certificates and the per-address lockout.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpwd/libpwd.h"
#include "liblog/log2.h"
#include "test_util.h"

namespace {

TEST(Pwd, HashTable)
{
    struct row {
        const char *pwd, *hash;
    };
    for (row r : {row{"abc", "{SHA}qZk+NkcGgWq6PiVxeFDCbJzQ2J0="}, row{"p", "{SHA}UWuXg/ylF+7L0dBk2i0WUxCxl1k="},
                  row{"password", "{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g="}, row{"", ""}, row{nullptr, ""}}) {
        char out[4096] = "junk";
        EXPECT_STREQ(libpwd_hash(r.pwd, out, sizeof out), r.hash) << (r.pwd ? r.pwd : "NULL");
        char *dup = libpwd_hash_dup(r.pwd);
        ASSERT_TRUE(dup);
        EXPECT_STREQ(dup, r.hash);
        os_free(dup);
    }
    char out[LIBPWD_HASH_SIZE];
    EXPECT_EQ(strlen(libpwd_hash("abc", out, sizeof out)), 33u);
    EXPECT_STREQ(libpwd_hash("abc", out, sizeof out - 1), ""); // strict: no cut hash
}

TEST(Pwd, LoginKeyTable)
{
    struct row {
        std::string user, pwd, cert, key;
    };
    std::string ab;
    for (int i = 0; i < 128; ++i)
        ab += "ab";
    const row rows[] = {
        {"u", "p", std::string(256, '0'), "633172787df56bc031756dfa0aaf61bba179f724"},
        {"u", "p", "", "cbddf9e08a896e13a1b00f41722e02fceb43af99"},
        {"admin", "secret", ab, "4e43b72887e648e4685ce4cf25d28863ac51643a"},
    };
    for (auto &r : rows) {
        for (int ver : {0, 1, 7}) {
            char key[LIBPWD_KEY_SIZE] = "";
            EXPECT_EQ(libpwd_build_key(r.user.c_str(), r.pwd.c_str(), ver, r.cert.c_str(), key, sizeof key), 0);
            EXPECT_EQ(key, r.key) << r.user << " ver " << ver;
        }
    }
    char key[LIBPWD_KEY_SIZE];
    libpwd_build_key("u", "p", 1, nullptr, key, sizeof key);
    EXPECT_STREQ(key, "cbddf9e08a896e13a1b00f41722e02fceb43af99");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(libpwd_build_key("u", "p", 1, "", key, 40), "ret != FALSE");
}

TEST(Pwd, ValueCipher)
{
    const char *lkey = "633172787df56bc031756dfa0aaf61bba179f724";
    char out[64], back[64];
    ASSERT_EQ(libpwd_encode_value("admin", lkey, out, sizeof out), 0);
    EXPECT_STREQ(out, "gTswP/I=");
    ASSERT_EQ(libpwd_decode_value(out, lkey, back, sizeof back), 0);
    EXPECT_STREQ(back, "admin");
    ASSERT_EQ(libpwd_encode_value("secret", lkey, out, sizeof out), 0);
    EXPECT_STREQ(out, "kzo+JPnl");
    ASSERT_EQ(libpwd_decode_value(out, lkey, back, sizeof back), 0);
    EXPECT_STREQ(back, "secret");

    // Nothing decoded, no room for the NUL, not base64, no key.
    EXPECT_EQ(libpwd_decode_value("", lkey, back, sizeof back), -1);
    EXPECT_EQ(libpwd_decode_value("kzo+JPnl", lkey, back, 6), -1); // six bytes fill all six
    EXPECT_EQ(libpwd_decode_value("kzo+JPnl", lkey, back, 7), 0);
    {
        zk_test::log_capture cap;
        EXPECT_EQ(libpwd_decode_value("**", lkey, back, sizeof back), -1);
        EXPECT_EQ(libpwd_encode_value("admin", "", out, sizeof out), -1);
        EXPECT_STREQ(out, "");
        EXPECT_EQ(libpwd_decode_value("gTswP/I=", "", back, sizeof back), -1);
    }
    EXPECT_EQ(libpwd_encode_value("admin", lkey, out, 8), -1); // "gTswP/I=" needs 9
}

// ---- server side ----------------------------------------------------------------------------

uint64_t s_now = 1000000;
uint64_t fake_now() { return s_now; }

struct server {
    zk_test::temp_dir dir;
    std::string log_path = dir / "login.log";
    explicit server(int fail_count, int minutes = 0, int max_addrs = 0, uint32_t log_flags = 0)
    {
        s_now = 1000000;
        ipcheck_set_clock(fake_now);
        libpwd_conf_t c = {"admin", "secret", log_path.c_str(), log_flags, fail_count, minutes, max_addrs};
        libpwd_init(&c);
    }
    ~server()
    {
        libpwd_exit();
        ipcheck_set_clock(nullptr);
    }
    std::string log() const
    {
        std::ifstream f(log_path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

TEST(Pwd, UserPasswordChecks)
{
    server s(5);
    char msg[LIBPWD_ERRMSG_SIZE] = "";
    EXPECT_EQ(libpwd_check_user_pwd("10.0.0.1", "admin", "secret", msg), 0);
    EXPECT_EQ(libpwd_check_user_pwd("10.0.0.1", "admin", "{SHA}5en6G6MezRroT3XKqkdPOmY/BfQ=", msg), 0);
    {
        zk_test::log_capture cap;
        msg[0] = '\0';
        EXPECT_EQ(libpwd_check_user_pwd("10.0.0.1", ":", "", msg), 1);
        EXPECT_STREQ(msg, "Wrong user or password");
        EXPECT_TRUE(cap.lines().empty());
    }
    EXPECT_EQ(libpwd_check_user_pwd("10.0.0.1", "root", "secret", msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd("10.0.0.1", "admin", "Secret", msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd("10.0.0.1", nullptr, nullptr, msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd("10.0.0.1", "admin", "{SHA}", msg), 1);
    // The login log has one line per counted attempt, the probe not among them.
    std::string log = s.log();
    EXPECT_NE(log.find("\tinfo\tadmin\tlogin\tlogin from 10.0.0.1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\twarn\troot\tlogin\tlogin failed form 10.0.0.1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\t:\t"), std::string::npos) << log;
}

TEST(Pwd, LockoutAfterFailures)
{
    server s(3, 60);
    char msg[LIBPWD_ERRMSG_SIZE];
    const char *ip = "192.0.2.7";
    // The probe user counts for nothing.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(libpwd_check_user_pwd(ip, ":", "", msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "x", msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "y", msg), 1);
    // A success forgets them.
    EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "secret", msg), 0);
    for (int i = 0; i < 3; ++i) {
        s_now += 1000;
        EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "bad", msg), 1);
    }
    // Locked now, the right password too, and the key login as well.
    EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "secret", msg), 2);
    EXPECT_STREQ(msg, "Login failed 3 times, Please try again in 60.00 minutes");
    char cert[LIBPWD_CERT_SIZE], key[LIBPWD_KEY_SIZE];
    int ver = 0;
    EXPECT_EQ(libpwd_user_get_cert(ip, 1, &ver, "admin", cert, sizeof cert, key, sizeof key, msg), 2);
    EXPECT_EQ(libpwd_check_key(ip, "x", "x", msg), 2);
    s_now += 30 * 60000;
    EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "secret", msg), 2);
    EXPECT_STREQ(msg, "Login failed 3 times, Please try again in 30.00 minutes");
    // Another address is not affected.
    EXPECT_EQ(libpwd_check_user_pwd("192.0.2.8", "admin", "secret", msg), 0);
    // After the hour: a fresh count.
    s_now += 30 * 60000;
    EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "bad", msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd(ip, "admin", "secret", msg), 0);
}

TEST(Pwd, LockoutOffAndDefaults)
{
    {
        server s(0);
        char msg[LIBPWD_ERRMSG_SIZE];
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(libpwd_check_user_pwd("10.1.1.1", "admin", "bad", msg), 1);
        EXPECT_EQ(libpwd_check_user_pwd("10.1.1.1", "admin", "secret", msg), 0);
        EXPECT_NE(s.log().find("login failed form 10.1.1.1"), std::string::npos); // the log still writes
    }
    {
        server s(1); // 0 minutes means 60
        char msg[LIBPWD_ERRMSG_SIZE];
        EXPECT_EQ(libpwd_check_user_pwd("10.1.1.2", "admin", "bad", msg), 1);
        EXPECT_EQ(libpwd_check_user_pwd("10.1.1.2", "admin", "secret", msg), 2);
        EXPECT_STREQ(msg, "Login failed 1 times, Please try again in 60.00 minutes");
    }
    {
        // A full table forgets the addresses with the oldest failure first.
        server s(1, 60, 2);
        char msg[LIBPWD_ERRMSG_SIZE];
        EXPECT_EQ(libpwd_check_user_pwd("a", "admin", "bad", msg), 1);
        s_now += 10;
        EXPECT_EQ(libpwd_check_user_pwd("b", "admin", "bad", msg), 1);
        EXPECT_EQ(libpwd_check_user_pwd("a", "admin", "secret", msg), 2);
        EXPECT_EQ(libpwd_check_user_pwd("c", "admin", "secret", msg), 0); // "a" forgotten to make room
        EXPECT_EQ(libpwd_check_user_pwd("a", "admin", "secret", msg), 0);
        EXPECT_EQ(libpwd_check_user_pwd("b", "admin", "secret", msg), 2);
    }
    {
        server s(2, 0, 0, 1); // time-stamped log lines
        char msg[LIBPWD_ERRMSG_SIZE];
        libpwd_check_user_pwd("10.9.9.9", "admin", "secret", msg);
        std::string log = s.log();
        ASSERT_GT(log.size(), 20u);
        EXPECT_EQ(log[4], '-');
        EXPECT_EQ(log.substr(19), " \tinfo\tadmin\tlogin\tlogin from 10.9.9.9\n");
    }
}

TEST(Pwd, SetUser)
{
    server s(0);
    char msg[LIBPWD_ERRMSG_SIZE] = "";
    for (const char *bad : {"a;b", "a/b", "a\\b", "a\"b", "a'b", "a?b", "a:b", "a@b", "a#b", "a b"}) {
        EXPECT_EQ(libpwd_set_user(bad, "ok", msg), -1) << bad;
        EXPECT_STREQ(msg, "user is invalid, Cannot use [;/\\\"'?:@# ]");
        EXPECT_EQ(libpwd_set_user("ok", bad, msg), -1) << bad;
        EXPECT_STREQ(msg, "passwd is invalid, Cannot use [;/\\\"'?:@# ]");
    }
    EXPECT_EQ(libpwd_check_user_pwd("1.1.1.1", "admin", "secret", msg), 0);
    ASSERT_EQ(libpwd_set_user("bob", "pw", msg), 0);
    EXPECT_EQ(libpwd_check_user_pwd("1.1.1.1", "admin", "secret", msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd("1.1.1.1", "bob", "pw", msg), 0);
}

TEST(Pwd, KeyLoginAndSecretsStayOutOfTheLog)
{
    server s(3);
    const char *marker = "Marker-Pw-7713";
    char msg[LIBPWD_ERRMSG_SIZE];
    ASSERT_EQ(libpwd_set_user("admin", marker, msg), 0);
    char cert[LIBPWD_CERT_SIZE], key[LIBPWD_KEY_SIZE], cert2[LIBPWD_CERT_SIZE], key2[LIBPWD_KEY_SIZE];
    int ver = -1;
    auto cap = std::make_unique<zk_test::log_capture>();
    ASSERT_EQ(libpwd_user_get_cert("10.2.2.2", 5, &ver, "admin", cert, sizeof cert, key, sizeof key, msg), 0);
    EXPECT_EQ(ver, 1);
    EXPECT_EQ(strlen(cert), 256u);
    EXPECT_EQ(strspn(cert, "0123456789abcdef"), 256u);
    char want[LIBPWD_KEY_SIZE];
    libpwd_build_key("admin", marker, 1, cert, want, sizeof want);
    EXPECT_STREQ(key, want);
    ASSERT_EQ(libpwd_user_get_cert("10.2.2.2", 0, &ver, "admin", cert2, sizeof cert2, key2, sizeof key2, msg), 0);
    EXPECT_EQ(ver, 0);
    EXPECT_STRNE(cert, cert2); // fresh every time
    EXPECT_EQ(libpwd_user_get_cert("10.2.2.2", 1, &ver, "eve", cert2, sizeof cert2, key2, sizeof key2, msg), 1);
    EXPECT_STREQ(msg, "Wrong user or password");

    EXPECT_EQ(libpwd_check_key("10.2.2.2", "0000", key, msg), 1);
    EXPECT_EQ(libpwd_check_key("10.2.2.2", key, key, msg), 0);
    EXPECT_EQ(libpwd_check_user_pwd("10.2.2.2", "admin", "wrong-Marker-Pw", msg), 1);
    EXPECT_EQ(libpwd_check_user_pwd("10.2.2.2", "admin", marker, msg), 0);
    EXPECT_FALSE(cap->lines().empty());
    for (auto &l : cap->lines()) {
        EXPECT_EQ(l.find("Marker-Pw"), std::string::npos) << l;
        EXPECT_EQ(l.find(cert), std::string::npos) << l;
        EXPECT_EQ(l.find(key), std::string::npos) << l;
    }
    cap.reset();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(libpwd_user_get_cert("10.2.2.2", 1, &ver, "admin", cert, 256, key, sizeof key, msg), "ret != FALSE");
}

} // namespace
