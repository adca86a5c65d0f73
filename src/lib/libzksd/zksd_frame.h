// zksd_frame: the zksd wire encoding. A frame is an 8-byte head ('Z', 'K',
// protocol byte, command id, the root attribute's word) followed by the
// root's payload: a blob-message table of named, typed fields. Every
// attribute starts with a big-endian word: bit 31 the extended flag (1 on
// every named field), bits 30..24 the id (the field type; 2 for the root
// table), bits 23..0 the raw length (4 + payload bytes, without padding).
// Attributes are padded with zero bytes to a multiple of 4. A named field's
// payload is a big-endian u16 name length n, the name, a NUL, zeros up to
// h = (n + 6) & ~3, then the value.
//
// This module builds request tables (blob_buf, blobmsg_add_*), parses reply
// tables against per-request policy tables (blobmsg_parse,
// cli_blobmsg_parse), defines the connection context (cli_ctx) and writes
// and reads frames over its connection, with the nine transport codes and
// their mapping into the context's last-error record. Nothing here takes a
// lock: a message buffer, a parsed table and a connection context belong to
// one thread at a time (the zksd driver's volume mutex). Log tag "sdcli".
#pragma once
#include <cstddef>
#include <cstdint>

#include "libnet/libnet.h"
#include "libpack/pack_ex.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/memory/pl_mem.h"

// ---- attributes ---------------------------------------------------------------------

enum : uint32_t {
    BLOB_ATTR_EXTENDED = 0x80000000u,
    BLOB_ATTR_ID_MASK = 0x7f000000u,
    BLOB_ATTR_ID_SHIFT = 24,
    BLOB_ATTR_LEN_MASK = 0x00ffffffu,
};

// Field types: the id of a named field.
enum : uint32_t {
    BLOBMSG_TYPE_UNSPEC = 0,
    BLOBMSG_TYPE_ARRAY = 1,
    BLOBMSG_TYPE_TABLE = 2,
    BLOBMSG_TYPE_BINARY = 3,
    BLOBMSG_TYPE_STRING = 4, // text with its NUL
    BLOBMSG_TYPE_INT64 = 5,  // 8 bytes, big-endian
    BLOBMSG_TYPE_INT32 = 6,
    BLOBMSG_TYPE_INT16 = 7,
    BLOBMSG_TYPE_INT8 = 8,
    BLOBMSG_TYPE_LAST = 8,
};

// An attribute in place: its word, then the payload. It may sit at any
// address (every accessor reads bytes, never whole words).
struct blob_attr {
    uint8_t word[4];
};

uint32_t blob_id(const blob_attr *a);
int blob_is_extended(const blob_attr *a);
uint32_t blob_raw_len(const blob_attr *a);  // 4 + payload length
uint32_t blob_pad_len(const blob_attr *a);  // raw length rounded up to 4
uint32_t blob_len(const blob_attr *a);      // payload length (0 for a raw length below 4)
uint8_t *blob_data(const blob_attr *a);     // the payload
// Header length of a named field whose name has n bytes: (n + 6) & ~3.
static inline uint32_t blobmsg_hdrlen(uint32_t n) { return (n + 6) & ~3u; }

// Field accessors. They are meant for fields that blobmsg_parse accepted (or
// that this module built): the name, its NUL and the value lie inside the
// attribute, and a fixed-size value has its size. A field without the
// extended flag has no name ("") and its value right after the word.
const char *blobmsg_name(const blob_attr *a);
uint8_t *blobmsg_data(const blob_attr *a);
uint32_t blobmsg_data_len(const blob_attr *a);
uint64_t blobmsg_get_u64(const blob_attr *a);
uint32_t blobmsg_get_u32(const blob_attr *a);
uint16_t blobmsg_get_u16(const blob_attr *a);
uint8_t blobmsg_get_u8(const blob_attr *a);
const char *blobmsg_get_string(const blob_attr *a); // NUL-terminated when parsed

// ---- building a message ----------------------------------------------------------------

// The growable message buffer. Positions are offsets from buf, so they stay
// valid when the storage moves. Zero-initialise, then blob_buf_init; free
// with blob_buf_free. The storage grows in whole 256-byte blocks and is never
// shrunk between messages.
struct blob_buf;
typedef int (*blob_buf_grow_fn)(blob_buf *b, int32_t extra);
struct blob_buf {
    uint32_t head;         // offset of the root attribute (0)
    blob_buf_grow_fn grow; // installed on first use
    int32_t buflen;        // capacity in bytes
    void *buf;
};

// Starts a new message whose root has the given id (2 for every request)
// and raw length 4. 0, or -1 when the storage cannot grow.
int blob_buf_init(blob_buf *b, uint32_t id);
// Frees the storage; the buffer may be initialised again.
void blob_buf_free(blob_buf *b);
// The root attribute (NULL before blob_buf_init). Moves when the storage grows.
blob_attr *blob_buf_root(const blob_buf *b);

// Appends a named field of `type` whose value is len bytes of data (copied
// when len > 0; data may then not be NULL). A NULL name is the empty name.
// 0, or -1 when the storage cannot grow (the message is left as it was
// before the call; the old storage stays), the name is longer than 65535
// bytes or the field or message would exceed the 24-bit raw length.
int blobmsg_add_field(blob_buf *b, uint32_t type, const char *name, const void *data, size_t len);
// int64 and int32 fields with the value in big-endian order. 0 or -1.
int blobmsg_add_u64(blob_buf *b, const char *name, uint64_t value);
int blobmsg_add_u32(blob_buf *b, const char *name, uint32_t value);
// Appends a binary field of len value bytes and sets *data to where the value
// goes (valid until the next add). The new field, or NULL as for
// blobmsg_add_field.
blob_attr *blobmsg_alloc_bin(blob_buf *b, const char *name, size_t len, void **data);
// Shortens the value of `field`, the message's last field, to len bytes
// (at most its current length) and shrinks the root by the difference of
// padded lengths; the new padding is zeroed. 0, or -1 when field is not the
// last field or len is longer than its value.
int blobmsg_trim(blob_buf *b, blob_attr *field, size_t len);

// ---- parsing a reply ---------------------------------------------------------------------

// One row of a reply table: a field name and its type (0 matches any type).
struct blobmsg_policy {
    const char *name;
    uint32_t type;
};

// Fills tb[0..n) with the fields of data[0..len) (a root payload) that match
// the rows: a field matches a row whose type is 0 or the field's id and whose
// name is the field's name; the first match of a row wins. Every field whose
// id and name length match a row is checked (name present and NUL-ended,
// header and value inside the field, id at most 8, the value length its
// type asks for: a string at least 1 byte ending in NUL, int64/32/16/8
// exactly 8/4/2/1 bytes); one bad field fails the whole parse. Attributes
// without the extended flag have no name and are skipped; the walk stops
// quietly at the first attribute whose padded length is below 4 or runs past
// len. Returns 0, or -1. tb points into data.
int blobmsg_parse(const blobmsg_policy *policy, int n, blob_attr **tb, const void *data, size_t len);
// blobmsg_parse plus the rules of a reply: row 0 ("errno", int32) and row 1
// ("errno_str", string) must be present; when errno is 0 every further row
// must be present too (an error reply carries only errno and errno_str).
// Returns 0, or -1 (a missing row is logged).
int cli_blobmsg_parse(const blobmsg_policy *policy, int n, blob_attr **tb, const void *data, size_t len);

// ---- connection context ----------------------------------------------------------------------

enum {
    ZKSD_LKEY_SIZE = 41,
    ZKSD_URL_SIZE = 8192,
    ZKSD_LOG_FILE_SIZE = 4096,
    ZKSD_SRV_ERRSTR_SIZE = 4096,
    ZKSD_SRV_VER_SIZE = 32,
    ZKSD_PROTO = 1,      // the protocol byte of every request
    ZKSD_HEAD_LEN = 8,
    ZKSD_AWAIT_MAX = 1024, // replies a connection may owe at once
};

struct zksd_flight;

// The zksd connection context: one allocation, zero-filled, made by the
// client's connect and freed by its exit. The frame calls below read and
// write the connection, the request buffer, the receive buffer, srv_proto,
// last_cmd, send_count, replaying, fix_failed, auto_reconnect, srv_errno,
// srv_errstr and *last_error; the session calls fill the rest.
struct cli_ctx {
    uint32_t kind;                     // 0: a context (1 file, 2 directory handle)
    net_conn conn;
    uint8_t srv_proto;                 // protocol byte of the first reply; 0 until then
    char lkey[ZKSD_LKEY_SIZE];         // login key of the last key login
    char url[ZKSD_URL_SIZE];           // re-formatted URL, used to reconnect
    char log_file[ZKSD_LOG_FILE_SIZE]; // the server's "log_file"
    char *host;
    uint32_t port;
    int32_t read_timeout;  // ms
    int32_t write_timeout; // ms
    vperror_t *last_error; // the caller's record; every call writes its status here
    char *user;
    char *passwd;
    int32_t os_type;       // 1 Windows, 2 POSIX
    int32_t srv_errno;     // errno of the last reply
    char srv_errstr[ZKSD_SRV_ERRSTR_SIZE];
    blob_buf req;          // request message buffer
    uint8_t *rbuf;         // receive buffer: the reply's root word, then its payload
    int32_t rbuf_cap;
    int32_t block_size;
    sdcomp_ctx comp;
    char srv_ver[ZKSD_SRV_VER_SIZE];
    // Version flags, set once at connect from srv_ver:
    uint8_t ver_182;       // 1.8.2 and up: only reported (zksd_cli_is_ver_182)
    uint8_t ver_153;       // 1.5.3 and up: extended stat replies (commands 7, 26, and 28's),
                           // extended directory lines (44), file times with nanoseconds (27)
    uint8_t ver_164;       // 1.6.4 and up: reads and writes carry their offset (29, 30)
    uint8_t srv_windows;   // the server runs on Windows: new file handles set their
                           // descriptor's time-outs on first use
    uint8_t replaying;     // 1 while a replay runs
    uint8_t fix_failed;    // 1 after a replay failed: the context is dead
    uint32_t last_cmd;     // command id of the last request sent outside a replay
    uint64_t send_count;   // requests sent outside a replay
    uint64_t srv_ctx_id;
    mem_parray_t files;    // open file handles
    mem_parray_t dirs;     // open directory handles
    uint8_t auto_reconnect;
    // The replies the connection owes, oldest first: the command of each
    // request sent (a ring of await_n entries from await_head), emptied
    // when the connection is made anew.
    uint8_t await_cmd[ZKSD_AWAIT_MAX];
    uint16_t await_head;
    uint16_t await_n;
    uint8_t out_of_step;   // a reply came that no request asked for: the connection is done
    uint64_t proto_errors; // such replies seen on the context, ever
    uint32_t rtt_us;       // round trip measured at connect
    zksd_flight *flight;   // file data in flight (zksd_flight.cpp); NULL until first used
};

// ---- frames and transport codes ----------------------------------------------------------------

// Transport result codes of the frame calls and of every request.
enum {
    ZKSD_OK = 0,
    ZKSD_NET_ERR = 1,     // a read of the connection failed
    ZKSD_DATA_ERR = 2,    // bad frame or reply table
    ZKSD_TIMEOUT = 3,     // nothing came in time, or the context is dead
    ZKSD_SRV_ERR = 4,     // the server answered with a non-zero errno
    ZKSD_MEM_ERR = 5,
    ZKSD_USER_STOP = 6,
    ZKSD_UNPACK_ERR = 7,  // the codec failed
    ZKSD_LEN_ERR = 8,     // a short read of the head or the body
};

// "ok", "net error", "net data error", "timeout error", "zksd srv error",
// "memory error", "user stop error", "unpack data error", "data len error";
// "unkown error" for any other code. Static text.
const char *zksd_code_str(int code);

// Writes one request frame: 'Z', 'K', 1, cmd, then the root attribute (its
// word as it stands, big-endian) and len - 4 bytes of its payload; len is the
// root's padded length. Outside a replay, cmd becomes last_cmd and
// send_count goes up by one (also for a frame that is not sent). Returns 0,
// or 3 without sending when the context failed a replay. A len below 4 sends
// nothing (logged). A write that fails is logged and marks the connection
// disconnected, so the following receive fails at once with code 1; the
// call itself still returns 0 (the receive reports the loss).
int zksd_send_request(cli_ctx *ctx, uint32_t cmd, const blob_attr *root, int len);
// Reads one reply frame into the receive buffer (grown to the reply's padded
// root length + 4 when smaller, never shrunk): 0 with *len the padded root
// length; 1 read error (also at once on a disconnected connection); 3
// nothing came before the time-out; 8 a short head or body; 2 wrong magic
// bytes or a root raw length below 4 (refused before reading on); 5 the
// buffer cannot grow (the old one stays). The first reply of a context sets
// srv_proto from its protocol byte.
int zksd_recv_request_len(cli_ctx *ctx, int *len);
// The two calls above with every request paired with its reply, so that a
// reply is never taken for another request's. zksd_send_paired notes the
// reply the request is owed (none for the goodbye); when the connection
// owes nothing, bytes already waiting on it answer no request: the
// connection is out of step (proto_errors counts it, it is closed to
// further use, the request is not sent and the next receive gives 2).
// zksd_recv_paired reads the oldest owed reply; one that comes when none is
// owed, or whose command is not its request's, puts the connection out of
// step likewise (2). Codes as the calls above; 5 from zksd_send_paired
// when ZKSD_AWAIT_MAX replies are owed already (nothing is sent).
int zksd_send_paired(cli_ctx *ctx, uint32_t cmd, const blob_attr *root, int len);
int zksd_recv_paired(cli_ctx *ctx, int *len);
// The reply owed to the request just sent is one of command cmd (the attach
// that sends the kept reply of an earlier request).
void zksd_await_retarget(cli_ctx *ctx, uint32_t cmd);
// Forgets every owed reply (the connection is new or gone).
void zksd_await_reset(cli_ctx *ctx);
// A reply read does not fit its request (more data than asked for): the
// connection is out of step as above.
void zksd_out_of_step(cli_ctx *ctx);
// zksd_recv_paired with the recovery of a broken exchange: on a failure
// other than 5, a context with auto_reconnect (and not already replaying)
// runs client_fix_last_error; a failed fix marks the context dead
// (fix_failed) and gives 3, as does every later call.
int client_recv_response(cli_ctx *ctx, int *len);
// Reconnects, re-attaches to the server context and re-reads or replays the
// interrupted request; 0 with its reply in the receive buffer (*len its
// padded root length) or a non-zero transport code. Provided by the session
// layer.
int client_fix_last_error(cli_ctx *ctx, int *len);
// Parses the reply in the receive buffer with a request's table: 2 when the
// table breaks the rules (logged "parse data error"); 4 when errno is not 0
// (srv_errno and srv_errstr take errno and errno_str; a text that does not
// fit leaves srv_errstr empty); 0 (srv_errno 0) otherwise, tb filled.
int zksd_reply_parse(cli_ctx *ctx, const blobmsg_policy *policy, int n, blob_attr **tb);
// Turns a transport code into the status code and message of *last_error:
// 0 clears it; 1 the status and text of errno (-400 "read data net error"
// when errno is 0); 2 -466 "read data content error"; 3 and 8 -40 "read data
// timeout"; 4 srv_errno and srv_errstr as the server sent them; 5 -8
// "memory allocation failed"; any other -1 "unkown error=<code>". A NULL
// record does nothing.
void zksd_cli_set_last_error(cli_ctx *ctx, int code);
// Frees the request and receive buffers (the context's exit calls it).
void zksd_frame_free(cli_ctx *ctx);
