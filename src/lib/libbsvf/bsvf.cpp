// Binary log records in pcap capture files.
#include "libbsvf/bsvf.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libbsv/bsv.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

#define TAG "bsvf"

namespace {
constexpr int DLT_USER_BASE = 146;
constexpr int TIME_BYTES = 12; // sec and usec, carried in the record header
FILE *stream_of(const bsvf_pcap_t *f) { return f && f->dumper ? f->dumper->fp : nullptr; }

// Notes the file's size as the end of its whole records (nothing is
// buffered: right after an open, a flush or a trim).
void mark_sound(bsvf_pcap_t *f)
{
    struct stat st;
    FILE *fp = stream_of(f);
    if (fp && fstat(fileno(fp), &st) == 0)
        f->sound = (int64_t)st.st_size;
}

// Drops what the stream still buffers and cuts the file back to its last
// whole record. 0, or -1 (the file stays marked damaged).
int cut_back(bsvf_pcap_t *f)
{
    FILE *fp = stream_of(f);
    f->damaged = 1;
    if (!fp)
        return -1;
    __fpurge(fp);
    clearerr(fp);
    if (ftruncate(fileno(fp), (off_t)f->sound) != 0 || fseeko(fp, (off_t)f->sound, SEEK_SET) != 0)
        return -1;
    f->damaged = 0;
    return 0;
}

} // namespace

int bsvf_type_2_dlt(int type)
{
    if (type < 1 || type > 15) {
        LOG_ERR(TAG, "type=%d error\n", type);
        return -1;
    }
    return DLT_USER_BASE + type;
}

bsvf_pcap_t *bsvf_pcap_create_imp(const char *path, int append, int type)
{
    PL_ASSERT_RET(TAG, path, nullptr);
    int dlt = bsvf_type_2_dlt(type);
    if (dlt < 0)
        return nullptr;
    bsvf_pcap_t *f = (bsvf_pcap_t *)os_zalloc(sizeof(bsvf_pcap_t));
    if (!f)
        return nullptr;
    f->layout = bsv_type_open_value(type);
    if (!f->layout) {
        LOG_DBG(TAG, "bsv_value_init_form_type failed.\n");
        bsvf_pcap_close(f);
        return nullptr;
    }
    f->hdr = pcap_open_dead(dlt, MPCAP_SNAPLEN, bsv_type_get_os_endian(type));
    if (!f->hdr) {
        LOG_DBG(TAG, "pcap_open_dead failed.\n");
        bsvf_pcap_close(f);
        return nullptr;
    }
    f->dumper = append ? pcap_dump_append(f->hdr, path) : pcap_dump_open(f->hdr, path);
    if (!f->dumper) {
        LOG_DBG(TAG, "pcap_dump_open failed.\n");
        bsvf_pcap_close(f);
        return nullptr;
    }
    mark_sound(f);
    return f;
}

bsvf_pcap_t *bsvf_pcap_create(const char *path, int type) { return bsvf_pcap_create_imp(path, 0, type); }
bsvf_pcap_t *bsvf_pcap_append(const char *path, int type) { return bsvf_pcap_create_imp(path, 1, type); }

int bsvf_pcap_write(bsvf_pcap_t *f, const void *rec, int len)
{
    if (!f || !rec)
        return -1;
    PL_ASSERT_RET(TAG, len > 12, -1);
    mpcap_pkthdr_t h;
    h.sec = (uint32_t)bsv_value_get(f->layout, rec, len, 0);
    h.usec = (uint32_t)bsv_value_get(f->layout, rec, len, 1);
    h.caplen = (uint32_t)(len - TIME_BYTES);
    h.len = h.caplen;
    if (f->damaged && cut_back(f) != 0)
        return -1;
    if (pcap_dump(f->dumper, &h, (const uint8_t *)rec + TIME_BYTES) != 0) {
        cut_back(f);
        return -1;
    }
    return 0;
}

int bsvf_pcap_set_fsize(bsvf_pcap_t *f, uint64_t cap)
{
    if (!f || (f->damaged && cut_back(f) != 0))
        return -1;
    int r = pcap_dump_set_fsize(f->dumper, cap);
    if (r == 0)
        mark_sound(f);
    return r;
}

int bsvf_pcap_flush(bsvf_pcap_t *f)
{
    if (!f || (f->damaged && cut_back(f) != 0))
        return -1;
    if (pcap_dump_flush(f->dumper) != 0) {
        cut_back(f);
        return -1;
    }
    mark_sound(f);
    return 0;
}

int bsvf_pcap_close(bsvf_pcap_t *f)
{
    if (!f)
        return 0;
    if (f->layout)
        bsv_value_exit(f->layout);
    pcap_dump_close(f->dumper);
    pcap_close(f->hdr);
    os_free(f);
    return 0;
}
