// Buffered streams: modes, text and byte mode, windows, positions, drivers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/zkfile.h"

namespace {

class Zkfile : public ::testing::Test {
  protected:
    void SetUp() override
    {
        pl_init();
        char t[] = "/tmp/zkfile_XXXXXX";
        ASSERT_NE(mkdtemp(t), nullptr);
        dir_ = t;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    void put(const char *name, const std::string &data) const
    {
        int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size());
        close(fd);
    }
    std::string get(const char *name) const
    {
        std::string s;
        int fd = open(path(name).c_str(), O_RDONLY);
        if (fd < 0)
            return "<missing>";
        char b[4096];
        ssize_t n;
        while ((n = read(fd, b, sizeof(b))) > 0)
            s.append(b, (size_t)n);
        close(fd);
        return s;
    }
    std::string dir_;
};

TEST_F(Zkfile, TextModeDropsCrByteModeKeepsIt)
{
    put("crlf", "a\r\nb\r\n");
    zkfile_t *f = zkopen2(path("crlf").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[16];
    ASSERT_NE(zkgets(line, sizeof(line), f), nullptr);
    EXPECT_STREQ(line, "a\n");
    ASSERT_NE(zkgets(line, sizeof(line), f), nullptr);
    EXPECT_STREQ(line, "b\n");
    EXPECT_EQ(zkgets(line, sizeof(line), f), nullptr);
    EXPECT_EQ(zkeof(f), 1);
    EXPECT_EQ(zkclose(f), 0);

    // python3: len(open(p, 'rb').read()) == 6
    const struct {
        const char *mode;
        size_t bytes;
    } cases[] = {{"r", 4}, {"rt", 4}, {"rb", 6}};
    for (auto &c : cases) {
        f = zkopen2(path("crlf").c_str(), c.mode);
        ASSERT_NE(f, nullptr);
        char buf[64];
        EXPECT_EQ(zkread(buf, 1, sizeof(buf), f), c.bytes) << c.mode;
        zkclose(f);
    }
}

TEST_F(Zkfile, ModeTexts)
{
    const struct {
        const char *mode;
        int ok;
        uint32_t pf;
        uint32_t flags;
    } cases[] = {
        {"r", 0, 1, ZKF_NOWR},
        {"w", 0, 42, ZKF_NORD},
        {"a", 0, 26, ZKF_NORD | ZKF_APPEND},
        {"r+", 0, 4, 0},
        {"rb+", 0, 4, ZKF_BIN},
        {"r+b", 0, 4, ZKF_BIN},
        {"rbx", 0, 1, ZKF_NOWR | ZKF_BIN},
        {"rw", 0, 1, ZKF_NOWR},             // the 'w' ends the parsing
        {"w+", 0, 44, 0},
        {"a+b", 0, 28, ZKF_APPEND | ZKF_BIN},
        {"rbb+", 0, 1, ZKF_NOWR | ZKF_BIN}, // second 'b' ends the parsing
        {"x", -1, 0, 0},
        {"", -1, 0, 0},
        {"+r", -1, 0, 0},
    };
    for (auto &c : cases) {
        uint32_t pf = 0, fl = 0;
        ASSERT_EQ(zkfile_parse_mode(c.mode, &pf, &fl), c.ok) << c.mode;
        if (c.ok == 0) {
            EXPECT_EQ(pf, c.pf) << c.mode;
            EXPECT_EQ(fl, c.flags) << c.mode;
        }
    }
    EXPECT_EQ(zkopen2(path("nothing").c_str(), "x"), nullptr);
}

TEST_F(Zkfile, ReadOnlyRejectsWritesPlusAllowsThem)
{
    put("f", "hello");
    zkfile_t *f = zkopen2(path("f").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkwrite("x", 1, 1, f), 0u);
    EXPECT_EQ(zkerror(f), 1);
    zkclearerr(f);
    EXPECT_EQ(zkerror(f), 0);
    zkclose(f);

    f = zkopen2(path("f").c_str(), "r+");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkwrite("J", 1, 1, f), 1u);
    EXPECT_EQ(zkseek(f, 0, 0), 0);
    char buf[8] = {};
    EXPECT_EQ(zkread(buf, 1, 5, f), 5u);
    EXPECT_STREQ(buf, "Jello");
    EXPECT_EQ(zkclose(f), 0);
}

TEST_F(Zkfile, ShareValues)
{
    put("f", "x");
    for (int share : {16, 32, 48, 64, 128}) {
        zkfile_t *f = zkopen(path("f").c_str(), "r", share);
        EXPECT_NE(f, nullptr) << share;
        if (f)
            zkclose(f);
    }
    for (int share : {0, 8, 100}) {
        EXPECT_EQ(zkopen(path("f").c_str(), "r", share), nullptr) << share;
    }
}

TEST_F(Zkfile, TellCountsUnflushedBytesSeekWritesThemOut)
{
    zkfile_t *f = zkopen2(path("t").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkwrite("0123456789", 1, 10, f), 10u);
    EXPECT_EQ(zktell(f), 10);
    EXPECT_EQ(get("t"), "");
    EXPECT_EQ(zkseek(f, 2, 0), 0);
    EXPECT_EQ(get("t"), "0123456789");
    EXPECT_EQ(zkwrite("ab", 1, 2, f), 2u);
    EXPECT_EQ(zkclose(f), 0);
    EXPECT_EQ(get("t"), "01ab456789");

    // Reading ahead: the position is the caller's, not the driver's.
    f = zkopen2(path("t").c_str(), "rb");
    char c3[3];
    ASSERT_EQ(zkread(c3, 1, 3, f), 3u);
    EXPECT_EQ(zktell(f), 3);
    EXPECT_EQ(zkseek(f, 2, 1), 0);
    EXPECT_EQ(zkgetc(f), '5');
    zkclose(f);

    // Append: the position is the end of the file plus what is buffered.
    f = zkopen2(path("t").c_str(), "a");
    ASSERT_NE(f, nullptr);
    zkwrite("XY", 1, 2, f);
    EXPECT_EQ(zktell(f), 12);
    zkclose(f);
    EXPECT_EQ(get("t"), "01ab456789XY");
}

TEST_F(Zkfile, GetlineGrowsByAQuarterPlus64)
{
    // Each step is cap / 4 + cap + 64: 0 -> 64 -> 144 -> 244.
    const struct {
        size_t len; // line length with its newline
        size_t cap;
    } steps[] = {{1, 64}, {63, 64}, {64, 144}, {143, 144}, {144, 244}};
    for (auto &st : steps) {
        std::string one(st.len - 1, 'y');
        one += '\n';
        zkfile_t *f = zkopen_str(one.c_str());
        char *line = nullptr;
        size_t cap = 0;
        EXPECT_EQ(zkgetline(&line, &cap, f), (int64_t)st.len);
        EXPECT_EQ(cap, st.cap) << st.len;
        os_free(line);
        zkclose(f);
    }

    std::string text(200, 'x');
    text += "\nshort\n";
    zkfile_t *f = zkopen_str(text.c_str());
    ASSERT_NE(f, nullptr);
    char *line = nullptr;
    size_t cap = 0;
    EXPECT_EQ(zkgetline(&line, &cap, f), 201);
    EXPECT_EQ(cap, 244u); // 0 -> 64 -> 144 -> 244
    EXPECT_EQ(zkgetline(&line, &cap, f), 6);
    EXPECT_STREQ(line, "short\n");
    EXPECT_EQ(zkgetline(&line, &cap, f), -1);
    os_free(line);
    zkclose(f);
}

TEST_F(Zkfile, SkipBom)
{
    zkfile_t *f = zkopen_str("\xEF\xBB\xBFk=v\n");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkskip_bom(f), 0);
    EXPECT_EQ(zktell(f), 3);
    EXPECT_EQ(zkgetc(f), 'k');
    zkclose(f);
    f = zkopen_str("\xEF\xBBk");
    EXPECT_EQ(zkskip_bom(f), 0);
    EXPECT_EQ(zktell(f), 0);
    EXPECT_EQ(zkgetc(f), 0xEF);
    zkclose(f);
    f = zkopen_str("");
    EXPECT_EQ(zkskip_bom(f), 0);
    EXPECT_EQ(zkgetc(f), -1);
    zkclose(f);
}

TEST_F(Zkfile, CommandOutputOrErrorOutput)
{
    const struct {
        const char *cmd;
        const char *text;
    } cases[] = {
        {"echo out", "out\n"},
        {"echo err >&2", "err\n"},       // no output: the error output is read
        {"echo out; echo err >&2", "out\n"},
        {"true", ""},
    };
    for (auto &c : cases) {
        zkfile_t *f = zkopen_cmd(c.cmd, "r");
        ASSERT_NE(f, nullptr) << c.cmd;
        char buf[64] = {};
        zkread(buf, 1, sizeof(buf) - 1, f);
        EXPECT_STREQ(buf, c.text) << c.cmd;
        zkclose(f);
    }
    // Large outputs on both pipes at once do not stall the child.
    zkfile_t *f = zkopen_cmd("head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 200000 /dev/zero | tr '\\0' o", "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkseek(f, 0, 2), 0);
    EXPECT_EQ(zktell(f), 200000);
    zkclose(f);
}

TEST_F(Zkfile, VolumePrefixWithoutVolumeFails)
{
    fd_capture cap;
    zkfile_t *f = zkopen2("0:/some/file", "r");
    std::string err = cap.stop();
    EXPECT_EQ(f, nullptr);
    EXPECT_NE(err.find("vol_idx=0 > max_vol_count=0"), std::string::npos) << err;
}

TEST_F(Zkfile, LocalNamesAreLiteral)
{
    put("a?b#c", "q");
    zkfile_t *f = zkopen2(path("a?b#c").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkgetc(f), 'q');
    zkclose(f);
}

TEST_F(Zkfile, TmpStreamIsReadWrite)
{
    zkfile_t *f = zkopen_tmp();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkputs("line one", f), '\n');
    EXPECT_EQ(zkprintf(f, "n=%d\n", 42), 5);
    zkrewind(f);
    char buf[32];
    ASSERT_NE(zkgets(buf, sizeof(buf), f), nullptr);
    EXPECT_STREQ(buf, "line one\n");
    ASSERT_NE(zkgets(buf, sizeof(buf), f), nullptr);
    EXPECT_STREQ(buf, "n=42\n");
    EXPECT_EQ(zkerror(f), 0);
    EXPECT_EQ(zkclose(f), 0);
}

TEST_F(Zkfile, CloseWithoutOwnershipFlushesButKeepsHandle)
{
    int fd = open(path("h").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    zkfile_t *f = zkopen_handle(fd, ZKDRV_FD, 0, "wb");
    ASSERT_NE(f, nullptr);
    zkwrite("abc", 1, 3, f);
    EXPECT_EQ(zkclose(f), 0);
    EXPECT_EQ(get("h"), "abc");
    EXPECT_EQ(write(fd, "d", 1), 1); // still open
    close(fd);
    EXPECT_EQ(get("h"), "abcd");

    // zkdopen owns its descriptor.
    fd = open(path("h").c_str(), O_RDONLY);
    f = zkdopen(fd, "rb");
    EXPECT_EQ(zkfileno(f), fd);
    EXPECT_EQ(zkgetc(f), 'a');
    zkclose(f);
    EXPECT_EQ(write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(Zkfile, WriteFailureIsReported)
{
    zkfile_t *f = zkopen2("/dev/full", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zkwrite("abc", 1, 3, f), 3u); // buffered
    EXPECT_EQ(zkflush(f), -1);
    EXPECT_EQ(zkerror(f), 1);
    zkwrite("abc", 1, 3, f);
    EXPECT_NE(zkclose(f), 0);
}

TEST_F(Zkfile, SmallBufferKeepsEveryByte)
{
    fd_capture cap;
    size_t saved = zkfile_buf_size;
    zkfile_set_rw_bsize(64);
    std::string err = cap.stop();
    EXPECT_NE(err.find("bs=64 error: may too small"), std::string::npos) << err;

    std::string data;
    for (int i = 0; i < 5000; ++i)
        data += (char)((i * 7 + i / 13) & 0xff);
    zkfile_t *f = zkopen2(path("big").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    // Pieces of every size, some larger than the buffer.
    for (size_t off = 0, n = 1; off < data.size(); off += n, n = n % 150 + 1)
        ASSERT_EQ(zkwrite(data.data() + off, 1, std::min(n, data.size() - off), f), std::min(n, data.size() - off));
    EXPECT_EQ(zkclose(f), 0);
    EXPECT_EQ(get("big"), data);

    f = zkopen2(path("big").c_str(), "rb");
    std::string back;
    char buf[200];
    for (size_t n = 1;; n = n % 190 + 1) {
        size_t k = zkread(buf, 1, n, f);
        back.append(buf, k);
        if (k < n)
            break;
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(zkeof(f), 1);
    EXPECT_EQ(zkerror(f), 0);
    zkclose(f);
    zkfile_set_rw_bsize(saved);
}

TEST_F(Zkfile, UngetcAndItemCounts)
{
    zkfile_t *f = zkopen_str("abcdef");
    EXPECT_EQ(zkungetc(-1, f), -1);
    EXPECT_EQ(zkgetc(f), 'a');
    EXPECT_EQ(zkungetc('Z', f), 'Z');
    EXPECT_EQ(zkgetc(f), 'Z');
    EXPECT_EQ(zkgetc(f), 'b');
    // Whole items only: 4 bytes left make one item of 3.
    char buf[8];
    EXPECT_EQ(zkread(buf, 3, 2, f), 1u);
    EXPECT_EQ(zkread(buf, 0, 2, f), 0u);
    zkclose(f);

    // gets: n of 1 gives an empty text, n of 0 gives NULL.
    f = zkopen_str("xyz\n");
    char small[4] = "---";
    EXPECT_EQ(zkgets(small, 0, f), nullptr);
    EXPECT_EQ(zkgets(small, 1, f), small);
    EXPECT_STREQ(small, "");
    EXPECT_STREQ(zkgets(small, 3, f), "xy");
    EXPECT_STREQ(zkgets(small, 4, f), "z\n");
    zkclose(f);
}

TEST_F(Zkfile, ReopenMovesTheStreamToAnotherFile)
{
    zkfile_t *f = zkopen2(path("one").c_str(), "w");
    ASSERT_NE(f, nullptr);
    zkputs("first", f);
    ASSERT_EQ(zkreopen(path("two").c_str(), "w", f), f);
    zkputs("second", f);
    EXPECT_EQ(zkclose(f), 0);
    EXPECT_EQ(get("one"), "first\n");
    EXPECT_EQ(get("two"), "second\n");

    f = zkopen2(path("one").c_str(), "r");
    EXPECT_EQ(zkreopen(path("missing").c_str(), "r", f), nullptr);
}

TEST_F(Zkfile, FlushAllWritesEveryWritableStream)
{
    zkfile_t *a = zkopen2(path("a").c_str(), "w");
    zkfile_t *b = zkopen2(path("b").c_str(), "w");
    zkputs("A", a);
    zkputs("B", b);
    EXPECT_EQ(get("a"), "");
    EXPECT_EQ(zkflush(nullptr), 0);
    EXPECT_EQ(get("a"), "A\n");
    EXPECT_EQ(get("b"), "B\n");
    zkclose(a);
    zkclose(b);
}

TEST_F(Zkfile, StdStreamsRunOnTheStdFileObjects)
{
    ASSERT_NE(zk_stdout, nullptr);
    EXPECT_EQ(zkfileno(zk_stdout), 1);
    EXPECT_EQ(zkfileno(zk_stderr), 2);
    fd_capture cap(1);
    zkprintf_stdout("to %s\n", "stdout");
    zkputchar('!');
    zkflush(zk_stdout);
    EXPECT_EQ(cap.stop(), "to stdout\n!");

    // A closed std stream is re-created over the same object.
    zkclose(zk_stdout);
    EXPECT_EQ(zk_stdout, nullptr);
    zkfile_init_std_env();
    ASSERT_NE(zk_stdout, nullptr);
    EXPECT_EQ(zkfileno(zk_stdout), 1);
}

TEST_F(Zkfile, SharedStreamKeepsRecordsWhole)
{
    zkfile_set_rw_bsize(64); // many write-outs while the threads run
    zkfile_t *f = zkopen2(path("shared").c_str(), "w");
    zkfile_set_rw_bsize(0x40000);
    ASSERT_NE(f, nullptr);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([f, t] {
            for (int i = 0; i < 500; ++i)
                zkprintf(f, "thread %d line %d end\n", t, i);
        });
    // Streams opened, flushed all together and closed meanwhile.
    ts.emplace_back([this] {
        for (int i = 0; i < 200; ++i) {
            zkfile_t *g = zkopen2(path("other").c_str(), "w");
            zkputs("x", g);
            zkflush(nullptr);
            zkclose(g);
        }
    });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(zkclose(f), 0);
    std::istringstream in(get("shared"));
    std::string line;
    int count[4] = {};
    while (std::getline(in, line)) {
        int t = -1, i = -1;
        char end[8] = {};
        ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d %3s", &t, &i, end), 3) << line;
        ASSERT_STREQ(end, "end");
        ASSERT_EQ(i, count[t]++); // in order per thread
    }
    for (int c : count)
        EXPECT_EQ(c, 500);
}

std::string g_drv_path;
uint32_t g_drv_pf;
int g_drv_closed;
intptr_t fake_open(void *, const char *path, uint32_t pf)
{
    g_drv_path = path;
    g_drv_pf = pf;
    return 7;
}
int fake_close(intptr_t h)
{
    g_drv_closed = (int)h;
    return 0;
}

TEST_F(Zkfile, ForeignDriverGetsTheUrlPath)
{
    zkfile_drv_t d{};
    d.open = fake_open;
    d.close = fake_close;
    zkfile_t *f = zkopen_drv("zkp://u:p@h:9/dir/f.txt?type=bin&x=1#frag", "r", &d);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(g_drv_path, "/dir/f.txt?type=bin");
    EXPECT_EQ(g_drv_pf & 0x100007u, 0x100001u);
    EXPECT_EQ(zkclose(f), 0);
    EXPECT_EQ(g_drv_closed, 7);
    // A key asks for the crypt hook, and there is none.
    g_drv_closed = 0;
    EXPECT_EQ(zkopen_drv("zkp://h/f?key=secret", "r", &d), nullptr);
    EXPECT_EQ(g_drv_closed, 7);
}

TEST(ZkfileDeath, NullOrDamagedStreamStops)
{
    // pl_init (crash handlers, limits, umask) only inside the dying children.
    EXPECT_DEATH(
        {
            pl_init();
            zkgetc(nullptr);
        },
        "f!=NULL");
    alignas(8) unsigned char junk[sizeof(zkfile_t)] = {};
    EXPECT_DEATH(
        {
            pl_init();
            zkgetc((zkfile_t *)junk);
        },
        "f->magic==VFILE_MAGIC");
}

} // namespace
