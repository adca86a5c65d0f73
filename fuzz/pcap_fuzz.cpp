// Fuzz target: a capture file the log opens for appending. The input is the
// file as a crash, a full disk or another program left it. The record walk
// runs on an exact heap copy of it (both byte orders); then the file is
// opened through the log file ("a" mode, a ".pcap" name), which must refuse
// what is no capture of the log's kind and otherwise keep exactly the input's
// whole records, cutting the rest. A record written and a size trim after
// that must leave the file whole records from its header on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "libbsv/bsv.h"
#include "libbsvf/bsvf.h"
#include "liblog/log2_out.h"
#include "libpal/mpcap/mpcap.h"

namespace {

std::string g_dir, g_path;

void remove_files()
{
    if (!g_path.empty())
        unlink(g_path.c_str());
    if (!g_dir.empty())
        rmdir(g_dir.c_str());
}

const std::string &capture_path()
{
    if (g_path.empty()) {
        // Memory-backed when there is such a place: the file is written and
        // read back at every run.
        const char *tmp = getenv("TMPDIR");
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp && *tmp ? tmp : "/tmp";
        std::string t = base + "/zk-pcap-fuzz.XXXXXX";
        std::vector<char> name(t.begin(), t.end());
        name.push_back('\0');
        CHECK(mkdtemp(name.data()));
        g_dir = name.data();
        g_path = g_dir + "/log.pcap";
        atexit(remove_files);
    }
    return g_path;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::vector<uint8_t> out;
    int fd = open(path.c_str(), O_RDONLY);
    CHECK(fd >= 0);
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        CHECK(n >= 0);
        if (n == 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    close(fd);
    return out;
}

void write_file(const std::string &path, const uint8_t *p, size_t n)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    CHECK(fd >= 0);
    CHECK(n == 0 || write(fd, p, n) == (ssize_t)n);
    close(fd);
}

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// The file holds the log's capture header and nothing but whole records.
void check_whole(const std::vector<uint8_t> &img)
{
    CHECK(img.size() >= MPCAP_FILE_HDR);
    CHECK(le32(img.data()) == 0xa1b2c3d4 && le32(img.data() + 20) == 147);
    CHECK(pcap_sound_end(img.data(), img.size(), 0, MPCAP_SNAPLEN) == img.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 1 << 20)
        return 0;
    // An exact heap copy, so a read past the end is caught.
    std::vector<uint8_t> in(data, data + size);
    uint64_t sound = 0;
    for (int big : {0, 1}) {
        for (uint32_t snap : {0u, 64u, (uint32_t)MPCAP_SNAPLEN}) {
            uint64_t end = pcap_sound_end(in.data(), size, big, snap);
            CHECK(size < MPCAP_FILE_HDR ? end == 0 : end >= MPCAP_FILE_HDR && end <= size);
            if (!big && snap == MPCAP_SNAPLEN)
                sound = end;
        }
    }

    const std::string &path = capture_path();
    write_file(path, in.data(), size);
    log_file_ctx lf;
    log_file_init(&lf);
    CHECK(log_file_set_mode(&lf, "a") == 0);
    log_file_set_size(&lf, LOG_FILE_MIN_SIZE + (size % 4096));
    const bool ours = size >= MPCAP_FILE_HDR && le32(in.data()) == 0xa1b2c3d4 && le32(in.data() + 20) == 147;
    const int opened = log_file_open(&lf, path.c_str());
    CHECK((opened == 0) == (size == 0 || ours));
    if (opened != 0) {
        // Refused: the file is left as it was.
        CHECK(read_file(path) == in);
        return 0;
    }
    std::vector<uint8_t> img = read_file(path);
    if (size == 0) {
        CHECK(img.size() == MPCAP_FILE_HDR);
    } else {
        CHECK(img.size() == sound);
        CHECK(memcmp(img.data(), in.data(), sound) == 0);
    }
    check_whole(img);

    // One record through the log's binary output: its text is the input's
    // last bytes (up to the first NUL).
    const size_t tail = size < 300 ? size : 300;
    std::string msg(reinterpret_cast<const char *>(in.data() + size - tail), tail);
    msg.resize(strlen(msg.c_str()));
    bsv_write_log(4, "fuzz", "pcap_fuzz.cpp", 1, "fuzz", msg.c_str());
    std::vector<uint8_t> after = read_file(path);
    check_whole(after);
    // Below the cap the old records stay as they were, the new one after them.
    if (img.size() + MPCAP_REC_HDR + BSV_LOG_MAX < (size_t)LOG_FILE_MIN_SIZE) {
        CHECK(after.size() > img.size());
        CHECK(memcmp(after.data(), img.data(), img.size()) == 0);
    }
    log_file_close(&lf);
    return 0;
}
