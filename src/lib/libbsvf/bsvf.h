// bsvf: binary log records kept in a pcap capture file, one capture record
// per binary record, under the user link type 146 + record type (147,
// "USER 0", for log records), so that capture tools open the log.
//
// Mapping of a record: seconds = low 32 bits of its sec field, microseconds
// = its usec field, captured and packet length = record length - 12, data =
// the record without its first 12 bytes (sec and usec). Byte order: the
// record type's (big-endian for type 2, little-endian otherwise).
//
// Use by the log file (a log file whose name ends in ".pcap"):
//     bsvf_pcap_t *f = append ? bsvf_pcap_append(path, BSV_TYPE_LOG)
//                             : bsvf_pcap_create(path, BSV_TYPE_LOG);
//     bsv_set_file_callback(cb, f);   // libbsv/bsv.h
// where cb(level_word, rec, len, f) does bsvf_pcap_write(f, rec, len), then
// bsvf_pcap_flush(f) and bsvf_pcap_set_fsize(f, cap). Before closing:
//     bsv_set_file_callback(nullptr, nullptr);   // waits out a call in flight
//     bsvf_pcap_close(f);
// A file is used by one thread at a time (the log's mutex); log tag "bsvf".
#pragma once
#include <cstdint>

#include "libpal/mpcap/mpcap.h"

struct bsv_value_t;

struct bsvf_pcap_t {
    mpcap_hdr_t *hdr;       // owned
    mpcap_dumper_t *dumper; // owned
    bsv_value_t *layout;    // the record type's layout, reads sec and usec
    int64_t sound;          // file size after the last flush that went through: whole records
    int damaged;            // a write failed and the file is not cut back yet
};

// Link type of a record type: 146 + type for types 1 to 15, else -1 (logged).
int bsvf_type_2_dlt(int type);
// A new capture file (truncated, header written), or NULL (logged at dbg).
bsvf_pcap_t *bsvf_pcap_create(const char *path, int type);
// Appends to an existing capture file of the same link type and byte order
// (no second header), or creates it when missing or empty. NULL when it
// cannot be opened or holds something else.
bsvf_pcap_t *bsvf_pcap_append(const char *path, int type);
bsvf_pcap_t *bsvf_pcap_create_imp(const char *path, int append, int type);
// A write or flush that fails (a full disk) leaves no part of a record in
// the file: it is cut back to the end of its last whole record at once (or,
// when even that fails, before the next record is written), so the records
// after it follow a sound one.
//
// One record of len bytes (more than 12; 1 to 12 is a soft assertion). 0 or -1.
int bsvf_pcap_write(bsvf_pcap_t *f, const void *rec, int len);
// Size trim with the cap (see pcap_dump_set_fsize). 0 or -1.
int bsvf_pcap_set_fsize(bsvf_pcap_t *f, uint64_t cap);
// Writes out what the stream holds. 0, or -1 (the file cut back).
int bsvf_pcap_flush(bsvf_pcap_t *f);
// Closes and frees everything. 0.
int bsvf_pcap_close(bsvf_pcap_t *f);
