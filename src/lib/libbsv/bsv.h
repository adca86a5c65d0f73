// bsv: binary log records. A record is a row of fixed-width numbers followed
// by NUL-terminated strings, described by a layout text per record type
// ("sec-u64,usec-u32,...,tag|file|msg-str"). This module holds the layouts
// and their field access, the record builders and parsers, the "bsv" packet
// (magic, flags, length, type, body, CRC-8, optional RC4), the envelope that
// carries a record over the network, the record writer the log routine
// hands every record to, and the UDP output of the log handle with its
// "bsvnet" connect thread. Log tag "bsv".
//
// Packet (offsets in bytes): 0 "bsv"; 3 flags (bit 0 big-endian fields,
// bit 1 CRC byte at the end, bit 2 bytes 4.. enciphered, bits 4-7 version
// 0); 4 u16 total length; 6 u16 record type; 8 body; last the CRC-8 of
// bytes 3 .. end-1. The writer always sends little-endian with the CRC
// (flags 2, or 6 once a "udps" receiver switched encryption on), at most
// 1472 bytes.
//
// Readers of a record never look past its length: a number beyond it reads
// 0, a string whose NUL is not inside it reads "".
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/value/pl_value.h"

// Record types.
enum : int {
    BSV_TYPE_LOG = 1,    // log record, little-endian
    BSV_TYPE_LOG_BE = 2, // log record, big-endian
    BSV_TYPE_KLOG = 3,   // kernel log record, little-endian
    BSV_TYPE_ENV = 5,    // envelope, little-endian
    BSV_TYPE_ENV_BE = 6, // envelope, big-endian
};

// Packet flags (byte 3) and sizes.
enum : int {
    BSV_F_BIG_ENDIAN = 0x01,
    BSV_F_CRC = 0x02,
    BSV_F_CRYPT = 0x04,
    BSV_PKT_HDR = 8,        // magic, flags, length, type
    BSV_PKT_MAX = 1472,     // whole packet
    BSV_LOG_FIXED = 21,     // fixed fields of a log record
    BSV_KLOG_FIXED = 24,    // fixed fields of a kernel log record
    BSV_LOG_MAX = 1470,     // a log record, fixed fields and strings
    BSV_ENV_FIXED = 34,     // fixed fields of an envelope
    BSV_ENV_VAR_MAX = 1429, // host name and record bytes of an envelope
    BSV_PKT_KEY_SIZE = 16,
    BSV_NET_KEEP_MAX = 8192, // a packet kept while "bsvnet" connects
    BSV_DEFAULT_PORT = 514,
};

// Value types of layout fields (the typed-value numbers).
enum : int {
    BSV_VT_U8 = 2,
    BSV_VT_U16 = 6,
    BSV_VT_U32 = VALUE_TYPE_U32,
    BSV_VT_U64 = VALUE_TYPE_U64,
    BSV_VT_STR = VALUE_TYPE_STRING,
};

// The 16-byte RC4 key of enciphered packets (sender and receiver share it).
extern const uint8_t bsv_pkt_key[BSV_PKT_KEY_SIZE];

// ---- layouts and field access --------------------------------------------------------

// One field of a layout. size and offset are -1 for strings (the first
// string's offset is where the strings start).
struct bsv_field_t {
    char name[32];
    int type; // BSV_VT_*
    int size;
    int offset;
};

// A parsed layout (opaque); made by bsv_value_init, freed by bsv_value_exit.
// It is read-only after it is made: any thread may read records with it.
struct bsv_value_t;

// Parses a layout text for records of the given byte order (1 big-endian).
// NULL when the text is bad (logged). The caller frees it.
bsv_value_t *bsv_value_init(const char *layout, int big_endian);
// Its parser: fills v from the text; 0 or -1 (logged).
int value_get_info(bsv_value_t *v, const char *layout);
int bsv_value_exit(bsv_value_t *v);
int bsv_value_get_count(const bsv_value_t *v);
// The index's table entry, or NULL for an index out of range.
const bsv_field_t *bsv_value_get_name(const bsv_value_t *v, int idx);
const char *bsv_value_get_layout(const bsv_value_t *v);
int bsv_value_get_endian(const bsv_value_t *v);
// A field of the record rec[0..len): a number in host order, or for a string
// its address inside the record (as an integer). An index out of range is a
// soft assertion giving 0.
uint64_t bsv_value_get(const bsv_value_t *v, const void *rec, int len, int idx);
// Narrowed forms; a string field is a soft assertion giving 0.
uint8_t bsv_value_get_u8(const bsv_value_t *v, const void *rec, int len, int idx);
uint16_t bsv_value_get_u16(const bsv_value_t *v, const void *rec, int len, int idx);
uint32_t bsv_value_get_u32(const bsv_value_t *v, const void *rec, int len, int idx);
uint64_t bsv_value_get_u64(const bsv_value_t *v, const void *rec, int len, int idx);
// A string field (never NULL; "" when missing); a number field is a soft
// assertion giving NULL.
const char *bsv_value_get_str(const bsv_value_t *v, const void *rec, int len, int idx);
// The field named `name`: 0 with out = {type, value} (v.u64 for numbers,
// v.str for strings), -1 for an unknown name.
int bsv_value_get_by_name(const bsv_value_t *v, const void *rec, int len, const char *name, value2_t *out);

// Layout text of a record type, or NULL ("type=%d error: not found").
const char *bsv_type_layout(int type);
// A new layout for a record type (NULL for a type without one).
bsv_value_t *bsv_type_open_value(int type);
// 1 for the big-endian types, else 0 (an unknown type is logged).
int bsv_type_get_os_endian(int type);

// ---- records ------------------------------------------------------------------------------

// A log record's fields. As input of bsv_build_log2 NULL strings count as "";
// as output of the parsers the strings point into the record ("" when
// missing).
struct bsv_log_t {
    uint64_t sec;
    uint32_t usec;
    uint32_t pid;
    uint32_t tid;
    uint16_t cpu_num; // kernel records only
    uint8_t irql;     // kernel records only
    uint8_t level;
    const char *tag;
    const char *tid_name;
    const char *file;
    const char *line;
    const char *func;
    const char *msg;
};

// Builds a log record of the caller's fields into buf (BSV_LOG_MAX bytes),
// little-endian. Strings that do not fit are cut to end with a NUL in the
// last byte; later ones are dropped. Returns the length.
int bsv_build_log2(void *buf, const bsv_log_t *in);
// The same with the clock, pid, thread id and thread name of the caller.
// line is written as "%d". Returns the length, or -1 for a NULL buffer.
int bsv_build_log(void *buf, int level, const char *tag, const char *file, int line, const char *func,
                  const char *msg);
// Kernel log record: cpu_num 1, irql 2, the same strings.
int bsv_build_klog(void *buf, int level, const char *tag, const char *file, int line, const char *func,
                   const char *msg);
// Read a record with a layout of its type (NULL: the little-endian one).
// 0, or -1 for a record shorter than its fixed fields.
int bsv_parse_log(const void *rec, int len, const bsv_value_t *layout, bsv_log_t *out);
int bsv_parse_klog(const void *rec, int len, const bsv_value_t *layout, bsv_log_t *out);

// ---- packets --------------------------------------------------------------------------------

// Writes magic, flags (2, or 6 while encryption is on) and type.
void bsv_pkt_hdr(void *pkt, int type);
// Fills the length (and CRC) of a packet of len bytes before the CRC and
// enciphers it when its flags ask. The total length, or -1 (above 1471
// bytes before the CRC, or shorter than a header).
int bsv_pkt_finish(void *pkt, int len);
// RC4 with the packet key over bytes 4 .. len-1, in place. 0.
int bsv_crypt(void *pkt, int len);
// Process-wide: later packets are enciphered (never switched off again by
// the log output).
void bsv_set_encrypt(int on);
int bsv_get_encrypt(void);
// Checks a received packet (deciphering it in place when its flags say so):
// the record type, or -1 (logged at dbg).
int bsv_parse_net_type(void *pkt, int len);

// Envelope fields.
struct bsv_env_t {
    uint64_t sid;
    uint64_t bid;
    uint64_t stime;
    uint32_t ver_id;
    uint16_t app_id;
    uint8_t os_id;
    uint8_t arch_id;
    uint16_t type_id;
    const char *hostname;
    const uint8_t *data; // the inner record, inside the packet
    int data_len;
};
// Builds an envelope packet (BSV_PKT_MAX bytes) around a record with the
// given fields (type_id 0: the log record type). The total length or -1.
int bsv_pkt_env2(void *pkt, const bsv_env_t *env, const void *rec, int rec_len);
// The same with this host's and program's facts (bsv_env_facts).
int bsv_pkt_env(void *pkt, int type_id, const void *rec, int rec_len);
// This host's and program's envelope fields (data empty).
void bsv_env_facts(bsv_env_t *env);
// Reads the envelope of a checked packet of len bytes (as given to
// bsv_parse_net_type). 0, or -1 when it is shorter than its fixed fields.
int bsv_parse_env(const void *pkt, int len, const bsv_value_t *layout, bsv_env_t *out);

// ---- id tables ---------------------------------------------------------------------------------
// Program id by name (0 for an empty or unknown name); this program is 7.
int bsv_app_id_get(const char *name);
const char *bsv_app_id_name(int id);
const char *bsv_os_id_name(int id);
const char *bsv_arch_id_name(int id);
// Ids of the operating system and processor this program is built for.
uint8_t bsv_os_id(void);
uint8_t bsv_arch_id(void);

// ---- writer ---------------------------------------------------------------------------------------

// An output: (level word, bytes, length, argument) -> status.
typedef int (*bsv_out_fn)(unsigned level_word, const void *data, int len, void *arg);

// Builds the log record of one log call and hands it on: an envelope packet
// to the network output when the level word has 0x400 or 0x800, the record
// to the file output, and the record to the in-memory readers. Tags "bsv"
// and "net" are not recorded. Returns the last output's result or 0 (-1
// when the record cannot be built). Called by the log routine under its
// handle's mutex; the outputs are called under this module's output lock.
int bsv_write_log(unsigned level_word, const char *tag, const char *file, int line, const char *func,
                  const char *msg);
// Install or remove (NULL) the network and file outputs. When the call
// returns, no call of the previous procedure is running, so its argument
// may be freed. Any thread; not from inside an output.
void bsv_set_net_callback(bsv_out_fn fn, void *arg);
void bsv_set_file_callback(bsv_out_fn fn, void *arg);
// Remove the network or file output only when it was installed with this
// argument (an output another owner installed since stays).
void bsv_unset_net_callback(void *arg);
void bsv_unset_file_callback(void *arg);

// ---- type registry and in-memory readers ------------------------------------------------------
// Record types are registered in a registry of BSV_REG_MAX_TYPES slots. Each
// type keeps up to max_readers readers; every record written for the type
// is copied into the ring of each active reader whose rules keep it. The log
// record type "log" is registered on first use.
//
// Thread-safety: one registry mutex guards the slots, the reader arrays and
// the copying of records, so records may be written from the log routine on
// any thread while readers are opened and closed elsewhere. Lock order: log
// handle mutex, registry mutex, a ring's or rule set's mutex. Nothing logs
// while holding the registry mutex. A reader's ring is read under its own
// mutex; one thread owns (reads, adds rules to, closes) a given reader.

struct rbuf_t;
struct qexpr_t;
struct bsv_reader_t;

enum : int {
    BSV_REG_MAX_TYPES = 8,
    BSV_ERR_SIZE = 4096,            // error buffers of the reader calls
    BSV_READER_RING_DEFAULT = 1048576, // ring bytes when the name asks none
    BSV_LOG_READERS = 8,            // readers of the log type
    BSV_LOG_BUF = 4096,             // blocks a log-record reader takes at once
};

// One registered type. The caller's record must outlive its registration.
struct bsv_type_t {
    const char *name;
    const char *layout;
    uint32_t type_id;
    uint32_t byte_order;  // 0 little-endian
    uint32_t max_rec_size;
    uint32_t max_readers;
    uint32_t reader_count; // readers in the array (registry mutex)
    bsv_reader_t **readers; // max_readers entries, NULL = free (registry mutex)
};

struct bsv_reader_t {
    rbuf_t *ring;
    bsv_value_t *filter_layout; // fields the rules read (owned), or NULL
    qexpr_t *rules;             // owned, or NULL
    uint32_t state;             // 1: receives records
    bsv_type_t *type;
};

struct bsv_reader_info_t {
    char layout[512];
    uint32_t type_id;
    uint32_t byte_order;
    uint32_t max_rec_size;
};

// Registers the log record type on first use (again after bsv_reg_exit). 0.
int bsv_reg_log(void);
// The log record type's id (1), registering it first.
int bsv_log_get_type(void);
// Registers a type: 0 (also when it is already registered), -1 when all
// slots are taken or its reader array can't be allocated.
int bsv_reg_add(bsv_type_t *type);
// Closes every reader in the arrays of every type and empties the registry.
// 0. Called when the default log handle is closed; a reader pointer kept by
// its owner is dangling afterwards, so nothing may read at that time.
int bsv_reg_exit(void);
// Opens a reader on "name[?bsv_rbuf_size=SIZE]" (ring of SIZE bytes, 1 MiB
// when missing or 0). NULL with the reason in err (BSV_ERR_SIZE bytes, may
// be NULL): "name does not exist", "memory allocation failed". A reader
// beyond the type's max readers is made but receives nothing. The caller
// closes it with bsv_reader_close.
bsv_reader_t *bsv_reader_open(const char *name, char *err);
// Takes the reader out of its type and frees it. 0 (also for NULL).
int bsv_reader_close(bsv_reader_t *r);
// The reader receives records. 0, -1 for NULL.
int bsv_reader_enable(bsv_reader_t *r);
// The type's layout text (cut to 511 characters), id, byte order and max
// record size. 0, -1 for NULL arguments.
int bsv_reader_get_info(bsv_reader_t *r, bsv_reader_info_t *info);
// Loads rule text into the reader's rule set (made on first use, with the
// type's value layout attached so the rules can read fields); the text's
// rules replace earlier ones. The load's result (0 or -1); -1 when the set
// or layout can't be made.
int bsv_reader_add_rule(bsv_reader_t *r, const char *text);
// 0 when the reader is in the array of a registered type, else -1.
int bsv_reader_exists(bsv_reader_t *r);
// As many whole ring blocks (2-byte host-order length prefix, then the
// record) as fit into buf, without waiting: bytes, 0 when nothing is
// queued, negative on error (size below one block).
int bsv_reader_read(bsv_reader_t *r, void *buf, int size);
// The ring's six statistics (see rbuf_get_stat). 0 or -1.
int bsv_reader_stat(bsv_reader_t *r, uint64_t *write_bytes, uint64_t *read_bytes, uint64_t *drop_bytes,
                    uint64_t *write_count, uint64_t *read_count, uint64_t *drop_count);
// Copies a record to every active reader of the type whose rules keep it
// (a full ring drops its oldest blocks). 0.
int bsv_reg_write(int type, const void *rec, int len);
// 1 when the rule set drops the record rec[0..len) read with layout, else 0.
int bsv_filter_apply(const bsv_value_t *layout, const void *rec, int len, qexpr_t *rules);
// The record a filter reads fields of.
struct bsv_filter_rec_t {
    const bsv_value_t *layout;
    const void *rec;
    int len;
};
// Value procedure of the filter (arg: bsv_filter_rec_t): 0, or -1 for an
// unknown field or a missing layout.
int bsv_filter_get_value(const char *name, value2_t *out, void *arg);

// A reader of log records: turns queued records back into text lines.
struct bsv_log_reader_t {
    bsv_reader_t *reader;
    bsv_value_t *layout;
    uint8_t buf[BSV_LOG_BUF];
    uint32_t fill;
    uint32_t pos;
};
// A log-record reader with a 1 MiB ring, enabled; NULL (logged) on failure.
// Freed by bsv_close_log. One thread reads a given log-record reader.
bsv_log_reader_t *bsv_open_log(void);
int bsv_close_log(bsv_log_reader_t *h); // 0
// The next queued record: its length with *rec pointing into the reader's
// buffer (valid until the next read), 0 when nothing is queued, -1 on error.
int bsv_read_raw_log(bsv_log_reader_t *h, const uint8_t **rec);
// The next record as a text line into buf (size bytes) with its level in
// *level: the text length, 0 when nothing is queued, -1 on error (also when
// the line does not fit).
int bsv_read_log(bsv_log_reader_t *h, int *level, char *buf, int size);
// The ring's statistics as six "name=value\n" lines (os_free), or NULL.
char *bsv_log_stat(bsv_log_reader_t *h);

// ---- UDP output of the log handle ----------------------------------------------------------------

// One UDP receiver. Opening stores the URL, installs the network output and
// starts the thread "bsvnet", which connects; the first packet produced
// while it connects is kept and sent by the thread once connected, later
// ones in that time are dropped. Closing (and opening again) waits for the
// thread first. Made and freed by log_bsv_new/log_bsv_free (or embedded and
// set up by log_bsv_init, closed by log_bsv_close).
struct log_bsv_t;
log_bsv_t *log_bsv_new(void);
void log_bsv_free(log_bsv_t *ctx); // closes first
int log_bsv_init(log_bsv_t *ctx);
// "udp://host[:port]" (port 514 by default); "udps://" also switches
// encryption on for every packet of the process. 0 or -1.
int log_bsv_udp_open(log_bsv_t *ctx, const char *url);
int log_bsv_close(log_bsv_t *ctx);
const char *log_bsv_get_url(const log_bsv_t *ctx);
// How "bsvnet" connects: a connected UDP socket to host:port, or -1. It
// must not log. Tests replace it to hold the connect back.
typedef int (*bsv_connect_fn)(const char *host, int port);
extern bsv_connect_fn bsv_net_connect;
// The network output procedure installed by log_bsv_udp_open.
int log_bsv_net_cb(unsigned level_word, const void *pkt, int len, void *ctx);
