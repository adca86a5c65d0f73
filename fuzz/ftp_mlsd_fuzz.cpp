// Fuzz target: an MLSD listing as an FTP server sends it on the data
// connection. The input is split into lines at '\n' as the driver splits
// it (a last line without its end included); each line, as an exact heap
// copy, goes to the MLSD line parser, and to the driver's own line filter,
// whose entries are what a directory listing hands the kernel: a name that
// is not empty, holds no '/', NUL or CR, fits a directory entry, is "." or
// ".." only for the listing's own lines, and is the line's text after its
// first space, byte for byte.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "libpal/os/posix/os_fs.h"
#include "libvfs/ftp_imp.h"
#include "libvfs/ftp_proto.h"

namespace {

// e as the parser filled it; other_type: an entry neither file nor directory.
void check_parsed(const char *line, const ftp_entry &e, bool other_type)
{
    CHECK(other_type ? e.type == 0 : e.type == OS_FTYPE_FILE || e.type == OS_FTYPE_DIR);
    CHECK(e.type == OS_FTYPE_FILE || e.size == 0);
    CHECK(e.self <= 2);
    CHECK(e.mtime_ns < 1000000000u);
    const char *sp = strchr(line, ' ');
    CHECK(sp && e.name == sp + 1 && !e.name.empty());
}

void check_kept(const std::string &line, const ftp_entry &e)
{
    const std::string &n = e.name;
    CHECK(!n.empty() && n.size() < OS_DIR_ENTRY_NAME_SIZE);
    CHECK(n.find('/') == std::string::npos);
    CHECK(n.find('\0') == std::string::npos);
    CHECK(n.find('\r') == std::string::npos);
    CHECK(e.type == OS_FTYPE_FILE || e.type == OS_FTYPE_DIR);
    if (e.self) {
        CHECK(n == (e.self == 1 ? "." : ".."));
        return;
    }
    CHECK(n != "." && n != "..");
    // The name is the line's text after its first space, nothing cut out
    // (but the CR of a line ended by CR LF).
    const size_t sp = line.find(' ');
    const size_t stop = !line.empty() && line.back() == '\r' ? line.size() - 1 : line.size();
    CHECK(sp != std::string::npos && sp < stop && line.compare(sp + 1, stop - sp - 1, n) == 0);
}

void one_line(const uint8_t *p, size_t n, std::vector<ftp_entry> &kept)
{
    // An exact heap copy for the parser, which takes a text.
    std::vector<char> copy(p, p + n);
    copy.push_back('\0');
    ftp_entry e;
    const int r = ftp_mlsd_parse(copy.data(), &e);
    CHECK(r >= -1 && r <= 1);
    if (r >= 0)
        check_parsed(copy.data(), e, r == 1);

    const std::string line(reinterpret_cast<const char *>(p), n);
    std::string work = line;
    const size_t before = kept.size();
    ftp_drv::keep_mlsd_line(work, kept);
    CHECK(kept.size() <= before + 1);
    if (kept.size() > before)
        check_kept(line, kept.back());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 1 << 20)
        return 0;
    std::vector<uint8_t> in(data, data + size);
    std::vector<ftp_entry> kept;
    const uint8_t *p = in.data(), *end = in.data() + size;
    while (p < end) {
        const uint8_t *nl = (const uint8_t *)memchr(p, '\n', (size_t)(end - p));
        const uint8_t *stop = nl ? nl : end;
        one_line(p, (size_t)(stop - p), kept);
        p = nl ? nl + 1 : end;
    }
    return 0;
}
