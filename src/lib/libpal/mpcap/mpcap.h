// mpcap: a small writer of classic pcap capture files (24-byte file header,
// 16-byte record headers, little- or big-endian), with append to an
// existing capture of the same kind and a size trim that drops the oldest
// records. Log tag "bsv".
//
// A writer belongs to one thread at a time (the log calls it under its
// mutex); nothing here keeps process-wide state.
#pragma once
#include <cstdint>
#include <cstdio>

enum : int {
    MPCAP_FILE_HDR = 24,
    MPCAP_REC_HDR = 16,
    MPCAP_SNAPLEN = 65536,
};

// Header record: the 24 file-header bytes and the file's byte order.
struct mpcap_hdr_t {
    uint8_t bytes[MPCAP_FILE_HDR];
    int big;           // 1: every header field is big-endian
    uint32_t snaplen;
    uint32_t linktype;
};

// An open capture file. hdr is not owned. The trim rewrites the file through
// the same stream; fp is NULL only when that rewrite failed half-way, after
// which writes, flushes and trims fail with -1 (the owner opens it anew).
struct mpcap_dumper_t {
    const mpcap_hdr_t *hdr;
    FILE *fp;
    char *path;
};

// One record header (host order; written in the file's order).
struct mpcap_pkthdr_t {
    uint32_t sec;
    uint32_t usec;
    uint32_t caplen;
    uint32_t len;
};

// New header record (free with pcap_close), or NULL.
mpcap_hdr_t *pcap_open_dead(int linktype, int snaplen, int big_endian);
void pcap_close(mpcap_hdr_t *hdr);
// Both opens refuse a symbolic link as the last component of path and
// anything but a regular file.
// Creates (truncates) the file and writes the file header. NULL on failure.
mpcap_dumper_t *pcap_dump_open(const mpcap_hdr_t *hdr, const char *path);
// Opens the file for appending. An empty or new file gets the file header.
// A non-empty file must start with a capture header of the same byte order
// and link type, else NULL (nothing written). Records that a crash left
// cut short at the end are cut off, so new records follow a sound one.
mpcap_dumper_t *pcap_dump_append(const mpcap_hdr_t *hdr, const char *path);
// Writes a record header and its caplen data bytes. 0, or -1.
int pcap_dump(mpcap_dumper_t *d, const mpcap_pkthdr_t *h, const void *data);
int pcap_dump_flush(mpcap_dumper_t *d);
// Closes the stream and frees d (not its header record).
void pcap_dump_close(mpcap_dumper_t *d);
// Size trim, run after each record: when the file has reached cap bytes,
// it keeps its header and the records from the first record boundary at or
// after cap / 2. Records whose lengths do not fit the file (a damaged file)
// end it: the file is cut back to the last sound record before them. 0, or
// -1 (logged) when the file could not be read or rewritten. A cap of 0 means
// no cap.
int pcap_dump_set_fsize(mpcap_dumper_t *d, uint64_t cap);
// End of the sound records of a capture image of size bytes (at least the
// header's 24): the offset where the first record that does not fit starts,
// or size. Lengths read in the order of big.
uint64_t pcap_sound_end(const uint8_t *img, uint64_t size, int big, uint32_t snaplen);
