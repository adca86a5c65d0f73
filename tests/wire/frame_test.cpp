// zksd frames over real connections: the memory loopback, scripted TCP peers
// and the project's zksd test server. Request bytes, reply reading with its
// receive buffer, the transport codes and the last-error record.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpwd/libpwd.h"
#include "libzksd/zksd_frame.h"
#include "net/net_test_util.h"
#include "test_util.h"
#include "wire/wire_test_util.h"

namespace {

using wire_test::from_hex;

// A context on its own, as the session calls make it; freed with its buffers.
struct ctx_t {
    cli_ctx *c = (cli_ctx *)os_zalloc(sizeof(cli_ctx));
    vperror_t err{};
    ctx_t() { c->last_error = &err; }
    ~ctx_t()
    {
        net_close(&c->conn);
        zksd_frame_free(c);
        os_free(c);
    }
    cli_ctx *operator->() { return c; }
    void open(const std::string &url, int timeout_ms)
    {
        c->conn.timeout = timeout_ms;
        ASSERT_EQ(net_open3(&c->conn, url.c_str(), nullptr, &err), 0) << err.msg;
    }
    // Sends the request buffer as command cmd.
    int send(uint32_t cmd)
    {
        blob_attr *root = blob_buf_root(&c->req);
        return zksd_send_request(c, cmd, root, (int)blob_pad_len(root));
    }
    std::string loop_read(size_t n = 1 << 20)
    {
        std::string s(n, '\0');
        int r = net_read(&c->conn, s.data(), n);
        s.resize(r > 0 ? (size_t)r : 0);
        return s;
    }
    void loop_write(const std::string &s) { ASSERT_EQ(net_write(&c->conn, s.data(), s.size()), (int)s.size()); }
};

// A reply frame: head (protocol byte proto, command cmd) and a table.
struct reply {
    blob_buf b{};
    reply() { blob_buf_init(&b, 2); }
    ~reply() { blob_buf_free(&b); }
    reply &i32(const char *n, uint32_t v) { return blobmsg_add_u32(&b, n, v), *this; }
    reply &i64(const char *n, uint64_t v) { return blobmsg_add_u64(&b, n, v), *this; }
    reply &str(const char *n, const std::string &v)
    {
        return blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, n, v.c_str(), v.size() + 1), *this;
    }
    reply &bin(const char *n, const std::string &v)
    {
        return blobmsg_add_field(&b, BLOBMSG_TYPE_BINARY, n, v.data(), v.size()), *this;
    }
    std::string frame(uint8_t proto = 1, uint8_t cmd = 0) const
    {
        const char *root = (const char *)blob_buf_root(&b);
        return std::string{'Z', 'K', (char)proto, (char)cmd} + std::string(root, blob_pad_len(blob_buf_root(&b)));
    }
};

const blobmsg_policy k_fd_reply[] = {
    {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"fd", BLOBMSG_TYPE_INT64}};

TEST(Frame, RequestBytesOnTheWire)
{
    ctx_t c;
    c.open("net://mem", 1000);
    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    ASSERT_EQ(blobmsg_add_u64(&c->req, "fd", 5), 0);
    ASSERT_EQ(c.send(11), 0);
    EXPECT_EQ(c.loop_read(), from_hex("5A 4B 01 0B 02 00 00 18 85 00 00 14 00 02 66 64 00 00 00 00 "
                                      "00 00 00 00 00 00 00 05"));
    EXPECT_EQ(c->last_cmd, 11u);
    EXPECT_EQ(c->send_count, 1u);

    // A large request: head and payload, byte for byte.
    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    std::string big(100000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i % 251);
    ASSERT_EQ(blobmsg_add_field(&c->req, BLOBMSG_TYPE_BINARY, "data", big.data(), big.size()), 0);
    ASSERT_EQ(c.send(13), 0);
    std::string got = c.loop_read(200000);
    ASSERT_EQ(got.size(), 8u + 4 + 8 + 100000);
    EXPECT_EQ(got.substr(0, 8), from_hex("5A 4B 01 0D 02 01 86 B0"));
    EXPECT_EQ(got.substr(20), big);
    EXPECT_EQ(c->send_count, 2u);

    // The goodbye is the bare head.
    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    ASSERT_EQ(c.send(2), 0);
    EXPECT_EQ(c.loop_read(), from_hex("5A 4B 01 02 02 00 00 04"));

    // A replay resends without counting.
    c->replaying = 1;
    ASSERT_EQ(c.send(77), 0);
    EXPECT_EQ(c->last_cmd, 2u);
    EXPECT_EQ(c->send_count, 3u);
    c.loop_read();
    c->replaying = 0;

    // A length below 4 sends nothing but counts the request.
    {
        zk_test::log_capture cap;
        EXPECT_EQ(zksd_send_request(c.c, 9, blob_buf_root(&c->req), 2), 0);
        EXPECT_TRUE(cap.has("reqest need len >= 4 [len=2]"));
    }
    EXPECT_EQ(c->send_count, 4u);
    EXPECT_EQ(c.loop_read(), "");

    // A context whose replay failed sends nothing at all.
    c->fix_failed = 1;
    EXPECT_EQ(c.send(11), 3);
    EXPECT_EQ(c->send_count, 4u);
    EXPECT_EQ(c.loop_read(), "");
}

TEST(Frame, RepliesAndTheReceiveBuffer)
{
    ctx_t c;
    c.open("net://mem", 1000);
    int len = -1;
    c.loop_write(reply().i32("errno", 0).str("errno_str", "").i64("fd", 42).frame(2, 10));
    ASSERT_EQ(zksd_recv_request_len(c.c, &len), 0);
    EXPECT_EQ(len, 4 + 16 + 20 + 20);
    EXPECT_EQ(c->rbuf_cap, len + 4);
    EXPECT_EQ(c->srv_proto, 2); // from the first reply
    blob_attr *tb[3];
    ASSERT_EQ(zksd_reply_parse(c.c, k_fd_reply, 3, tb), 0);
    EXPECT_EQ(blobmsg_get_u64(tb[2]), 42u);
    EXPECT_EQ(c->srv_errno, 0);

    // A larger reply grows the buffer to exactly its padded length + 4; a
    // later smaller one reuses it. Later replies leave srv_proto alone.
    std::string data(5000, 'd');
    c.loop_write(reply().i32("errno", 0).str("errno_str", "").i64("fd", 1).bin("data", data).frame(7));
    ASSERT_EQ(zksd_recv_request_len(c.c, &len), 0);
    EXPECT_EQ(c->rbuf_cap, len + 4);
    EXPECT_EQ(len, 4 + 16 + 20 + 20 + 12 + 5000);
    EXPECT_EQ(c->srv_proto, 2);
    uint8_t *kept = c->rbuf;
    c.loop_write(reply().i32("errno", (uint32_t)-102).str("errno_str", "File not found.").frame());
    ASSERT_EQ(zksd_recv_request_len(c.c, &len), 0);
    EXPECT_EQ(c->rbuf, kept);
    EXPECT_EQ(c->rbuf_cap, 5076);
    // An error reply without the result fields: the server's errno and text.
    EXPECT_EQ(zksd_reply_parse(c.c, k_fd_reply, 3, tb), 4);
    EXPECT_EQ(c->srv_errno, -102);
    EXPECT_STREQ(c->srv_errstr, "File not found.");
    zksd_cli_set_last_error(c.c, 4);
    EXPECT_EQ(c.err.code, -102);
    EXPECT_STREQ(c.err.msg, "File not found.");

    // A text the context cannot hold is dropped whole, never cut.
    c.loop_write(reply().i32("errno", 5).str("errno_str", std::string(5000, 'e')).frame());
    ASSERT_EQ(zksd_recv_request_len(c.c, &len), 0);
    EXPECT_EQ(zksd_reply_parse(c.c, k_fd_reply, 3, tb), 4);
    EXPECT_STREQ(c->srv_errstr, "");

    // No errno_str: the table is refused even with errno 0.
    c.loop_write(reply().i32("errno", 0).i64("fd", 3).frame());
    ASSERT_EQ(zksd_recv_request_len(c.c, &len), 0);
    zk_test::log_capture cap;
    EXPECT_EQ(zksd_reply_parse(c.c, k_fd_reply, 3, tb), 2);
    EXPECT_TRUE(cap.has("parse data error"));
}

TEST(Frame, BadHeadsAndShortFrames)
{
    struct row {
        const char *what;
        std::string bytes;
        int code;
        const char *logged;
    };
    const std::string body = reply().i32("errno", 0).str("errno_str", "").frame().substr(8);
    const row rows[] = {
        {"one magic byte wrong", from_hex("5A 4C 01 00 02 00 00 04"), 2, "magic error 5a 4c"},
        {"the other one wrong", from_hex("5B 4B 01 00 02 00 00 04"), 2, "magic error 5b 4b"},
        {"raw length 0", from_hex("5A 4B 01 00 02 00 00 00 00 00 00 00"), 2, "root len=0"},
        {"raw length 3", from_hex("5A 4B 01 00 02 00 00 03 00 00 00 00"), 2, "root len=3"},
        {"nothing", "", 3, nullptr},
        {"short head", from_hex("5A 4B 01 00 02"), 8, "net_read head len=5 need=8"},
        {"short body", from_hex("5A 4B 01 00 02 00 00 40") + body, 8, "net_read len=36 need=60"},
    };
    for (auto &r : rows) {
        ctx_t c;
        c.open("net://mem", 200);
        if (!r.bytes.empty())
            c.loop_write(r.bytes);
        zk_test::log_capture cap;
        int len = -1;
        EXPECT_EQ(zksd_recv_request_len(c.c, &len), r.code) << r.what;
        if (r.logged) {
            EXPECT_TRUE(cap.has(r.logged)) << r.what;
        }
        EXPECT_EQ(len, -1) << r.what;
    }
}

int s_fail;
void *fail_malloc(size_t n) { return s_fail ? nullptr : malloc(n); }
void *fail_realloc(void *p, size_t n) { return s_fail ? nullptr : realloc(p, n); }

TEST(Frame, ReceiveBufferThatCannotGrow)
{
    ctx_t c;
    c.open("net://mem", 200);
    int len;
    c.loop_write(reply().i32("errno", 0).str("errno_str", "").frame());
    ASSERT_EQ(zksd_recv_request_len(c.c, &len), 0);
    uint8_t *old = c->rbuf;
    int cap = c->rbuf_cap;
    c.loop_write(reply().i32("errno", 0).str("errno_str", std::string(3000, 's')).frame());
    zk_test::log_capture lc;
    pl_malloc_init(fail_malloc, fail_realloc, free);
    s_fail = 1;
    int r = zksd_recv_request_len(c.c, &len);
    s_fail = 0;
    pl_malloc_init(_malloc, _realloc, free);
    EXPECT_EQ(r, 5);
    EXPECT_TRUE(lc.has("malloc [3040] erorr"));
    EXPECT_EQ(c->rbuf, old);
    EXPECT_EQ(c->rbuf_cap, cap);
    zksd_cli_set_last_error(c.c, r);
    EXPECT_EQ(c.err.code, -8);
    EXPECT_STREQ(c.err.msg, "memory allocation failed");
}

TEST(Frame, TcpPeerTimeoutsAndClose)
{
    const std::string good = reply().i32("errno", 0).str("errno_str", "").i64("fd", 7).frame();
    net_test::tcp_peer peer([&](int fd, int idx) {
        net_test::read_n(fd, 8); // the request head
        if (idx == 0) {          // the whole reply
            net_test::write_all(fd, good);
            net_test::read_n(fd, 8);
        } else if (idx == 1) { // part of the body, then nothing until the client gives up
            net_test::write_all(fd, good.substr(0, 20));
            net_test::read_until_quiet(fd, 3000);
        } else if (idx == 2) { // nothing at all
            net_test::read_until_quiet(fd, 3000);
        } // 3: closes at once
    });
    std::string url = "tcp://127.0.0.1:" + std::to_string(peer.port());
    for (int i = 0; i < 4; ++i) {
        ctx_t c;
        c.open(url, 300);
        ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
        ASSERT_EQ(c.send(2), 0);
        int len = -1, r = zksd_recv_request_len(c.c, &len);
        switch (i) {
        case 0:
            EXPECT_EQ(r, 0);
            EXPECT_EQ(len, (int)good.size() - 4);
            EXPECT_EQ(std::string((char *)c->rbuf, len), good.substr(4));
            break;
        case 1:
            EXPECT_EQ(r, 8);
            zksd_cli_set_last_error(c.c, r);
            EXPECT_EQ(c.err.code, -40);
            EXPECT_STREQ(c.err.msg, "read data timeout");
            break;
        case 2:
            EXPECT_EQ(r, 3);
            break;
        case 3:
            // The close reads as nothing; after it the connection is known
            // to be gone.
            EXPECT_EQ(r, 3);
            EXPECT_EQ(zksd_recv_request_len(c.c, &len), 1);
            break;
        }
    }
}

TEST(Frame, FailedWriteFailsTheNextReceiveAtOnce)
{
    // The peer resets the connection once the client stands.
    std::promise<void> connected;
    std::shared_future<void> go = connected.get_future().share();
    net_test::tcp_peer peer([go](int fd, int) {
        go.wait();
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    struct release_t { // lets the peer go even when the test stops early
        std::promise<void> &p;
        bool done = false;
        void operator()()
        {
            if (!done)
                p.set_value();
            done = true;
        }
        ~release_t() { (*this)(); }
    } release{connected};
    ctx_t c;
    c.open("tcp://127.0.0.1:" + std::to_string(peer.port()), 10000);
    release();
    pollfd p{os_socket_fd((os_socket_t)c->conn.handle), POLLIN, 0};
    poll(&p, 1, 5000); // the reset has arrived

    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    void *data;
    ASSERT_TRUE(blobmsg_alloc_bin(&c->req, "data", 1 << 20, &data));
    memset(data, 1, 1 << 20);
    zk_test::log_capture cap;
    ASSERT_EQ(c.send(13), 0);
    EXPECT_TRUE(cap.has("net_write"));
    auto t0 = std::chrono::steady_clock::now();
    int len;
    EXPECT_EQ(zksd_recv_request_len(c.c, &len), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)); // not the 10 s time-out
    zksd_cli_set_last_error(c.c, 1);
    EXPECT_EQ(c.err.code, -454);
}

TEST(Frame, CodesAndTheErrorRecord)
{
    const char *texts[] = {"ok",           "net error",       "net data error",    "timeout error",  "zksd srv error",
                           "memory error", "user stop error", "unpack data error", "data len error", "unkown error"};
    for (int i = 0; i <= 9; ++i)
        EXPECT_STREQ(zksd_code_str(i), texts[i]) << i;
    EXPECT_STREQ(zksd_code_str(-1), "unkown error");

    ctx_t c;
    c->srv_errno = 1;
    strcpy(c->srv_errstr, "Wrong user or password");
    struct row {
        int code, eno, status;
        const char *msg;
    };
    const row rows[] = {
        {1, ECONNRESET, -454, "Connection reset by peer"},
        {1, 0, -400, "read data net error"},
        {2, 0, -466, "read data content error"},
        {3, 0, -40, "read data timeout"},
        {8, 0, -40, "read data timeout"},
        {4, 0, 1, "Wrong user or password"},
        {5, 0, -8, "memory allocation failed"},
        {6, 0, -1, "unkown error=6"},
        {7, 0, -250, "unpack data error"},
        {9, 0, -1, "unkown error=9"},
        {0, 0, 0, ""},
    };
    for (auto &r : rows) {
        errno = r.eno;
        zksd_cli_set_last_error(c.c, r.code);
        EXPECT_EQ(c.err.code, r.status) << r.code;
        EXPECT_STREQ(c.err.msg, r.msg) << r.code;
        EXPECT_EQ(errno, r.eno);
    }
    c->last_error = nullptr;
    zksd_cli_set_last_error(c.c, 2); // no record: nothing to do
}

TEST(Frame, RecoveryGate)
{
    ctx_t c;
    c.open("net://mem", 200);
    int len;
    zk_test::log_capture cap;
    // Without auto-reconnect a failure is returned as it is.
    EXPECT_EQ(client_recv_response(c.c, &len), 3);
    EXPECT_TRUE(cap.has("!net_error_reconnect return"));
    // During a replay a failure never starts another fix. (The connection
    // is not read again after a failed receive: it fails at once.)
    c->auto_reconnect = 1;
    c->replaying = 1;
    EXPECT_EQ(client_recv_response(c.c, &len), 1);
    EXPECT_TRUE(cap.has("now_fix_last_error return"));
    c->replaying = 0;
    // A fix that fails leaves the context dead: every later call gives 3.
    EXPECT_EQ(client_recv_response(c.c, &len), 3);
    EXPECT_TRUE(cap.has("fix failed need reopen"));
    EXPECT_EQ(c->fix_failed, 1);
    c.loop_write(reply().i32("errno", 0).str("errno_str", "").frame());
    EXPECT_EQ(client_recv_response(c.c, &len), 3);
    EXPECT_TRUE(cap.has("have_fix_error_fail return"));
    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    EXPECT_EQ(c.send(2), 3);
    // A good reply passes straight through.
    ctx_t d;
    d.open("net://mem", 200);
    ASSERT_EQ(blob_buf_init(&d->req, 2), 0);
    ASSERT_EQ(zksd_send_paired(d.c, 11, blob_buf_root(&d->req), 4), 0);
    d.loop_read();
    d.loop_write(reply().i32("errno", 0).str("errno_str", "").frame(1, 11));
    EXPECT_EQ(client_recv_response(d.c, &len), 0);
}

// Every reply answers the oldest request still owed one, of the same
// command; anything else puts the connection out of step for good.
TEST(Frame, RepliesArePairedWithTheirRequests)
{
    const std::string ok11 = reply().i32("errno", 0).str("errno_str", "").frame(1, 11);
    struct row {
        const char *what;
        bool owed;    // a request of command 11 went out first
        uint8_t cmd;  // the reply's command
        int code;
    };
    const row rows[] = {
        {"its own reply", true, 11, 0},
        {"another command's reply", true, 12, 2},
        {"a reply nobody asked for", false, 11, 2},
    };
    for (const row &r : rows) {
        ctx_t c;
        c.open("net://mem", 200);
        ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
        if (r.owed) {
            ASSERT_EQ(zksd_send_paired(c.c, 11, blob_buf_root(&c->req), 4), 0);
            EXPECT_EQ(c->await_n, 1u);
            c.loop_read(); // the request itself
        }
        c.loop_write(reply().i32("errno", 0).str("errno_str", "").frame(1, r.cmd));
        int len = -1;
        zk_test::log_capture cap;
        EXPECT_EQ(zksd_recv_paired(c.c, &len), r.code) << r.what;
        EXPECT_EQ(c->proto_errors, r.code ? 1u : 0u) << r.what;
        EXPECT_EQ(c->out_of_step, r.code ? 1 : 0) << r.what;
        if (!r.code)
            continue;
        EXPECT_TRUE(cap.has("the connection is out of step")) << r.what;
        // Out of step: nothing more goes out or is read, though a good
        // reply waits.
        c.loop_write(ok11);
        EXPECT_EQ(zksd_send_paired(c.c, 11, blob_buf_root(&c->req), 4), 0) << r.what;
        EXPECT_EQ(zksd_recv_paired(c.c, &len), 2) << r.what;
        EXPECT_EQ(c.loop_read(), ok11) << r.what;
    }
    // The goodbye is owed nothing; an attach that sends a kept reply is owed
    // that request's.
    ctx_t c;
    c.open("net://mem", 200);
    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    ASSERT_EQ(zksd_send_paired(c.c, 2, blob_buf_root(&c->req), 4), 0);
    EXPECT_EQ(c->await_n, 0u);
    ASSERT_EQ(zksd_send_paired(c.c, 8, blob_buf_root(&c->req), 4), 0);
    zksd_await_retarget(c.c, 29);
    c.loop_read();
    c.loop_write(reply().i32("errno", 0).str("errno_str", "").frame(1, 29));
    int len = -1;
    EXPECT_EQ(zksd_recv_paired(c.c, &len), 0);
    EXPECT_EQ(c->await_n, 0u);
}

// ---- against the project's zksd test server ----------------------------------------------------

struct test_server {
    zk_test::temp_dir root{"zk_wire"};
    std::unique_ptr<net_test::child> proc;
    int port = 0;
    explicit test_server(std::vector<std::string> extra = {})
    {
        // Debian's interpreter when there is one: the server needs nothing
        // beyond the standard library, and a version manager's shim is slow.
        std::string py = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::vector<std::string> argv = {py, std::string(ZK_SOURCE_DIR) + "/tests/zksd_server/zksd_server.py",
                                         "--root", root.path};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc = std::make_unique<net_test::child>(argv);
        if (proc->wait_for("PORT ")) {
            std::string out = proc->output();
            port = atoi(out.c_str() + out.find("PORT ") + 5);
        }
    }
};

const blobmsg_policy k_login1[] = {
    {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"os_type", BLOBMSG_TYPE_INT32}};
const blobmsg_policy k_login90[] = {{"errno", BLOBMSG_TYPE_INT32},
                                    {"errno_str", BLOBMSG_TYPE_STRING},
                                    {"ver", BLOBMSG_TYPE_INT32},
                                    {"cert", BLOBMSG_TYPE_STRING}};
const blobmsg_policy k_plain[] = {{"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}};
const blobmsg_policy k_info[] = {
    {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"info", BLOBMSG_TYPE_STRING}};

// One exchange: the request buffer as command cmd, then its reply parsed.
int exchange(ctx_t &c, uint32_t cmd, const blobmsg_policy *pol, int n, blob_attr **tb)
{
    blob_attr *root = blob_buf_root(&c->req);
    int r = zksd_send_paired(c.c, cmd, root, (int)blob_pad_len(root)), len;
    if (r == 0)
        r = client_recv_response(c.c, &len);
    if (r == 0)
        r = zksd_reply_parse(c.c, pol, n, tb);
    zksd_cli_set_last_error(c.c, r);
    return r;
}

void add_str(blob_buf *b, const char *name, const char *v)
{
    ASSERT_EQ(blobmsg_add_field(b, BLOBMSG_TYPE_STRING, name, v, strlen(v) + 1), 0);
}

// The three login requests: old login (1), key login steps (90, 91).
int login1(ctx_t &c, const char *user, const char *passwd, blob_attr **tb)
{
    blob_buf_init(&c->req, 2);
    add_str(&c->req, "user", user);
    add_str(&c->req, "passwd", passwd);
    return exchange(c, 1, k_login1, 3, tb);
}
int login90(ctx_t &c, const char *user, blob_attr **tb)
{
    blob_buf_init(&c->req, 2);
    add_str(&c->req, "user", user);
    blobmsg_add_u32(&c->req, "ver", 1);
    return exchange(c, 90, k_login90, 4, tb);
}
int login91(ctx_t &c, const char *lkey, blob_attr **tb)
{
    blob_buf_init(&c->req, 2);
    add_str(&c->req, "lkey", lkey);
    return exchange(c, 91, k_plain, 2, tb);
}

TEST(Frame, TestServerPasswordLogin)
{
    test_server srv;
    ASSERT_GT(srv.port, 0);
    ctx_t c;
    c.open("tcp://127.0.0.1:" + std::to_string(srv.port), 5000);
    blob_attr *tb[4];
    // The probe: user ":" is refused with errno 1; the head says the login.
    EXPECT_EQ(login1(c, ":", "", tb), 4);
    EXPECT_EQ(c->srv_errno, 1);
    EXPECT_EQ(c.err.code, 1);
    EXPECT_STREQ(c.err.msg, "Wrong user or password");
    EXPECT_EQ(c->srv_proto, 1);

    char hash[LIBPWD_HASH_SIZE];
    ASSERT_EQ(login1(c, "u", libpwd_hash("p", hash, sizeof hash), tb), 0) << c->srv_errstr;
    EXPECT_EQ(c.err.code, 0);
    EXPECT_EQ(blobmsg_get_u32(tb[2]), 2u); // a POSIX server

    // Codec negotiation through the handle ioctl channel.
    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    ASSERT_EQ(blobmsg_add_u64(&c->req, "fd", 0), 0);
    ASSERT_EQ(blobmsg_add_u32(&c->req, "cmd", 10001), 0);
    ASSERT_EQ(blobmsg_add_u32(&c->req, "len", 4), 0);
    ASSERT_EQ(blobmsg_add_field(&c->req, BLOBMSG_TYPE_BINARY, "data", "lz4", 4), 0);
    EXPECT_EQ(exchange(c, 20, k_plain, 2, tb), 0) << c->srv_errstr;

    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    add_str(&c->req, "param", "");
    ASSERT_EQ(exchange(c, 4, k_info, 3, tb), 0) << c->srv_errstr;
    EXPECT_NE(std::string(blobmsg_get_string(tb[2])).find("ver=[1.8.2]"), std::string::npos);

    // A stat of a missing file: a negative platform code with its text.
    const blobmsg_policy stat_pol[] = {{"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING},
                                       {"type", BLOBMSG_TYPE_INT32}};
    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    add_str(&c->req, "path", "/no/such/file");
    EXPECT_EQ(exchange(c, 6, stat_pol, 3, tb), 4);
    EXPECT_EQ(c.err.code, -102);

    ASSERT_EQ(blob_buf_init(&c->req, 2), 0);
    EXPECT_EQ(c.send(2), 0); // goodbye, no reply
    EXPECT_EQ(c->send_count, 6u);
}

TEST(Frame, TestServerKeyLogin)
{
    test_server srv({"--login", "key", "--user", "admin", "--password", "secret"});
    ASSERT_GT(srv.port, 0);
    ctx_t c;
    c.open("tcp://127.0.0.1:" + std::to_string(srv.port), 5000);
    blob_attr *tb[4];
    EXPECT_EQ(login1(c, ":", "", tb), 4);
    EXPECT_NE(c->srv_proto, 1); // the key login is asked for

    ASSERT_EQ(login90(c, "admin", tb), 0) << c->srv_errstr;
    std::string cert = blobmsg_get_string(tb[3]);
    EXPECT_EQ(cert.size(), 256u);
    char key[LIBPWD_KEY_SIZE];
    // A wrong key first; then a new certificate and the right key.
    EXPECT_EQ(login91(c, "0000000000000000000000000000000000000000", tb), 4);
    ASSERT_EQ(login90(c, "admin", tb), 0) << c->srv_errstr;
    libpwd_build_key("admin", "secret", 1, blobmsg_get_string(tb[3]), key, sizeof key);
    EXPECT_EQ(login91(c, key, tb), 0) << c->srv_errstr;
}

} // namespace
