// Fuzz target: what an FTP server says on the control connection. The
// input is the bytes of the connection, read line by line as the driver
// reads them (net_gets over a memory loopback, into a line buffer of the
// driver's size); each line, as an exact heap copy, goes to the reply-code
// parser, the PASV address parser, the PWD directory parser (into buffers
// of several exact sizes) and the number parser.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "libnet/libnet.h"
#include "libvfs/ftp_proto.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void check_line(const char *line)
{
    const size_t len = strlen(line);
    int more = -1;
    const int code = ftp_reply_line(line, &more);
    if (code >= 0) {
        CHECK(len >= 3 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]));
        CHECK(code == (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0'));
        CHECK(more == (line[3] == '-'));
    } else {
        CHECK(code == -1);
    }

    char host[16];
    int port = -1;
    if (ftp_pasv_parse(line, host, sizeof host, &port) == 0) {
        CHECK(port >= 0 && port <= 65535);
        unsigned a, b, c, d;
        char end;
        CHECK(sscanf(host, "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) == 4);
        CHECK(a < 256 && b < 256 && c < 256 && d < 256);
    }

    for (size_t cap : {(size_t)1, (size_t)2, (size_t)8, len + 1}) {
        // The directory buffer has exactly cap bytes.
        std::vector<char> out(cap);
        if (ftp_pwd_parse(line, out.data(), cap) == 0) {
            CHECK(memchr(out.data(), '\0', cap) != nullptr);
            CHECK(strlen(out.data()) < len);
        }
    }

    uint64_t v = 0;
    if (ftp_u64_parse(line, len, &v) == 0) {
        CHECK(len > 0);
        for (size_t i = 0; i < len; i++)
            CHECK(is_digit(line[i]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 1 << 20)
        return 0;
    // The whole input as one text too (cut at its first NUL).
    std::vector<char> whole(data, data + size);
    whole.push_back('\0');
    check_line(whole.data());

    // The connection lives on from run to run; what a run leaves unread is
    // dropped by the next write.
    static vperror_t err{};
    static net_conn conn = [] {
        net_conn c{};
        c.timeout = 1;
        CHECK(net_open3(&c, "net://mem", nullptr, &err) == 0);
        return c;
    }();
    CHECK(net_write(&conn, data, size) == (int)size);
    char line[4096]; // the driver's line buffer
    for (int lines = 0; lines < 4096; lines++) {
        const int n = net_gets(&conn, line, sizeof line);
        if (n == 0)
            break;
        if (n < 0)
            continue; // a line too long: the driver gives up the connection
        CHECK((size_t)n < sizeof line);
        const size_t len = strlen(line);
        CHECK(len <= (size_t)n && memchr(line, '\r', len) == nullptr);
        // An exact heap copy of the line.
        std::vector<char> copy(line, line + len + 1);
        check_line(copy.data());
    }
    return 0;
}
