// Classic pcap capture files: header, records, append and size trim.
#include "libpal/mpcap/mpcap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

#define TAG "bsv"

namespace {

constexpr uint32_t PCAP_MAGIC = 0xa1b2c3d4;
constexpr uint16_t PCAP_MAJOR = 2;
constexpr uint16_t PCAP_MINOR = 4;

void put(uint8_t *p, uint32_t x, int size, bool big)
{
    for (int i = 0; i < size; i++)
        p[big ? size - 1 - i : i] = (uint8_t)(x >> (8 * i));
}

uint32_t get32(const uint8_t *p, bool big)
{
    uint32_t x = 0;
    for (int i = 0; i < 4; i++)
        x = (x << 8) | p[big ? i : 3 - i];
    return x;
}

// Reads the whole file behind fp (its size bytes) into img. 0 or -1.
int read_all(FILE *fp, uint64_t size, std::vector<uint8_t> &img)
{
    try {
        img.resize(size);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
    int fd = fileno(fp);
    uint64_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, img.data() + got, size - got, (off_t)got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return -1;
        }
        got += (uint64_t)n;
    }
    return 0;
}

// Size of the stream's file, or -1 (errno).
int64_t file_size(FILE *fp)
{
    if (fflush(fp) != 0 || fseeko(fp, 0, SEEK_END) != 0)
        return -1;
    return (int64_t)ftello(fp);
}

// The capture file as a stream of mode ("wb+" truncates, "ab+" appends),
// never opened through a symbolic link and only as a regular file: the log
// writes it as root. NULL with errno set.
FILE *open_capture(const char *path, const char *mode)
{
    const bool append = mode[0] == 'a';
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *fp = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        errno = EINVAL;
    else
        fp = fdopen(fd, mode);
    if (!fp) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return fp;
}

mpcap_dumper_t *dumper_new(const mpcap_hdr_t *hdr, FILE *fp, const char *path)
{
    mpcap_dumper_t *d = (mpcap_dumper_t *)os_zalloc(sizeof(mpcap_dumper_t));
    char *p = os_strdup(path);
    if (!d || !p) {
        os_free(d);
        os_free(p);
        fclose(fp);
        return nullptr;
    }
    d->hdr = hdr;
    d->fp = fp;
    d->path = p;
    return d;
}

} // namespace

mpcap_hdr_t *pcap_open_dead(int linktype, int snaplen, int big_endian)
{
    mpcap_hdr_t *h = (mpcap_hdr_t *)os_zalloc(sizeof(mpcap_hdr_t));
    if (!h)
        return nullptr;
    bool big = big_endian != 0;
    h->big = big ? 1 : 0;
    h->snaplen = (uint32_t)snaplen;
    h->linktype = (uint32_t)linktype;
    put(h->bytes, PCAP_MAGIC, 4, big);
    put(h->bytes + 4, PCAP_MAJOR, 2, big);
    put(h->bytes + 6, PCAP_MINOR, 2, big);
    put(h->bytes + 8, 0, 4, big);  // time zone offset
    put(h->bytes + 12, 0, 4, big); // time stamp accuracy
    put(h->bytes + 16, (uint32_t)snaplen, 4, big);
    put(h->bytes + 20, (uint32_t)linktype, 4, big);
    return h;
}

void pcap_close(mpcap_hdr_t *hdr) { os_free(hdr); }

mpcap_dumper_t *pcap_dump_open(const mpcap_hdr_t *hdr, const char *path)
{
    PL_ASSERT_RET(TAG, hdr && path, nullptr);
    // Read access too: the trim reads the file back.
    FILE *fp = open_capture(path, "wb+");
    if (!fp)
        return nullptr;
    if (fwrite(hdr->bytes, 1, MPCAP_FILE_HDR, fp) != MPCAP_FILE_HDR || fflush(fp) != 0) {
        fclose(fp);
        return nullptr;
    }
    return dumper_new(hdr, fp, path);
}

uint64_t pcap_sound_end(const uint8_t *img, uint64_t size, int big, uint32_t snaplen)
{
    if (size < MPCAP_FILE_HDR)
        return 0;
    uint64_t off = MPCAP_FILE_HDR;
    while (off < size) {
        if (size - off < MPCAP_REC_HDR)
            return off;
        uint64_t caplen = get32(img + off + 8, big);
        if (caplen > snaplen || caplen > size - off - MPCAP_REC_HDR)
            return off;
        off += MPCAP_REC_HDR + caplen;
    }
    return off;
}

mpcap_dumper_t *pcap_dump_append(const mpcap_hdr_t *hdr, const char *path)
{
    PL_ASSERT_RET(TAG, hdr && path, nullptr);
    FILE *fp = open_capture(path, "ab+");
    if (!fp)
        return nullptr;
    int64_t size = file_size(fp);
    if (size < 0) {
        fclose(fp);
        return nullptr;
    }
    if (size == 0) {
        if (fwrite(hdr->bytes, 1, MPCAP_FILE_HDR, fp) != MPCAP_FILE_HDR || fflush(fp) != 0) {
            fclose(fp);
            return nullptr;
        }
        return dumper_new(hdr, fp, path);
    }
    std::vector<uint8_t> img;
    if (size < MPCAP_FILE_HDR || read_all(fp, (uint64_t)size, img) != 0 ||
        memcmp(img.data(), hdr->bytes, 4) != 0 || memcmp(img.data() + 20, hdr->bytes + 20, 4) != 0) {
        LOG_ERR(TAG, "file=[%s] is not a capture file of link type %u\n", path, (unsigned)hdr->linktype);
        fclose(fp);
        return nullptr;
    }
    uint64_t end = pcap_sound_end(img.data(), (uint64_t)size, hdr->big, hdr->snaplen);
    if (end < (uint64_t)size) {
        LOG_WARN(TAG, "file=[%s] cut back to its last whole record at %llu of %lld bytes\n", path,
                 (unsigned long long)end, (long long)size);
        if (ftruncate(fileno(fp), (off_t)end) != 0) {
            fclose(fp);
            return nullptr;
        }
    }
    return dumper_new(hdr, fp, path);
}

int pcap_dump(mpcap_dumper_t *d, const mpcap_pkthdr_t *h, const void *data)
{
    if (!d || !d->fp || !h || (h->caplen && !data))
        return -1;
    uint8_t rh[MPCAP_REC_HDR];
    bool big = d->hdr->big;
    put(rh, h->sec, 4, big);
    put(rh + 4, h->usec, 4, big);
    put(rh + 8, h->caplen, 4, big);
    put(rh + 12, h->len, 4, big);
    if (fwrite(rh, 1, sizeof(rh), d->fp) != sizeof(rh))
        return -1;
    if (h->caplen && fwrite(data, 1, h->caplen, d->fp) != h->caplen)
        return -1;
    return 0;
}

int pcap_dump_flush(mpcap_dumper_t *d)
{
    if (!d || !d->fp)
        return -1;
    return fflush(d->fp) == 0 ? 0 : -1;
}

void pcap_dump_close(mpcap_dumper_t *d)
{
    if (!d)
        return;
    if (d->fp)
        fclose(d->fp);
    os_free(d->path);
    os_free(d);
}

int pcap_dump_set_fsize(mpcap_dumper_t *d, uint64_t cap)
{
    if (!d || !d->fp)
        return -1;
    if (cap == 0)
        return 0; // no cap
    int64_t size = file_size(d->fp);
    if (size < 0) {
        log2_printf(nullptr, LOG2_ERR | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, __func__, "ftell error: ");
        return -1;
    }
    if ((uint64_t)size < cap)
        return 0;
    std::vector<uint8_t> img;
    if (read_all(d->fp, (uint64_t)size, img) != 0) {
        log2_printf(nullptr, LOG2_ERR | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, __func__, "read error: ");
        return -1;
    }
    const mpcap_hdr_t *hdr = d->hdr;
    uint64_t usize = (uint64_t)size;
    uint64_t end = pcap_sound_end(img.data(), usize, hdr->big, hdr->snaplen);
    uint64_t keep_from, keep_to = end;
    if (end < usize) {
        // Lengths that do not add up: nothing after the last sound record
        // can be trusted.
        LOG_ERR(TAG, "file error offset=%llu fsize=%lld\n", (unsigned long long)end, (long long)size);
    }
    if (end < cap) {
        keep_from = MPCAP_FILE_HDR;
        if (end < MPCAP_FILE_HDR)
            keep_to = MPCAP_FILE_HDR; // nothing sound: a fresh header only
    } else {
        uint64_t half = cap / 2;
        uint64_t off = MPCAP_FILE_HDR;
        while (off < half && off < end)
            off += MPCAP_REC_HDR + get32(img.data() + off + 8, hdr->big);
        keep_from = off;
    }
    // The header is written anew: the file was made or checked with it.
    const uint8_t *head = hdr->bytes;
    int fd = fileno(d->fp);
    if (ftruncate(fd, 0) != 0 || fseeko(d->fp, 0, SEEK_SET) != 0) {
        log2_printf(nullptr, LOG2_ERR | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, __func__, "truncate error: ");
        return -1;
    }
    size_t tail = keep_to > keep_from ? (size_t)(keep_to - keep_from) : 0;
    if (fwrite(head, 1, MPCAP_FILE_HDR, d->fp) != MPCAP_FILE_HDR ||
        (tail && fwrite(img.data() + keep_from, 1, tail, d->fp) != tail) || fflush(d->fp) != 0) {
        // A file without its header must not receive records: the stream
        // is given up and later writes fail.
        log2_printf(nullptr, LOG2_ERR | LOG2_F_ERRNO, TAG, __FILE__, __LINE__, __func__, "write error: ");
        fclose(d->fp);
        d->fp = nullptr;
        return -1;
    }
    return 0;
}
