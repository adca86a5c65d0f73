// Internals shared by the zksd client's session, request and ioctl files.
#pragma once
#include <cstring>

#include "libzksd/zksd_cli.h"

#define SDCLI_TAG "sdcli"

namespace zksd_imp {

// Reply tables: rows 0 and 1 are errno and errno_str; the rest must be
// present when errno is 0.
constexpr blobmsg_policy P_ERRNO = {"errno", BLOBMSG_TYPE_INT32};
constexpr blobmsg_policy P_ERRSTR = {"errno_str", BLOBMSG_TYPE_STRING};
inline constexpr blobmsg_policy k_pol_plain[] = {P_ERRNO, P_ERRSTR};
inline constexpr blobmsg_policy k_pol_fd[] = {P_ERRNO, P_ERRSTR, {"fd", BLOBMSG_TYPE_INT64}};
inline constexpr blobmsg_policy k_pol_len[] = {P_ERRNO, P_ERRSTR, {"len", BLOBMSG_TYPE_INT32}};
inline constexpr blobmsg_policy k_pol_data[] = {P_ERRNO, P_ERRSTR, {"data", BLOBMSG_TYPE_BINARY}};
inline constexpr blobmsg_policy k_pol_read[] = {
    P_ERRNO, P_ERRSTR, {"len", BLOBMSG_TYPE_INT32}, {"flags", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_BINARY}};

// Reads every reply of the file data in flight (zksd_flight.cpp), unless
// that is what is being done or a recovery runs.
void flight_settle(cli_ctx *ctx);

// The request being built in ctx->req. A failed add makes run() give 5.
// Every request but the file data in flight (in_flight) first has the
// replies of that data read: the connection then owes nothing but its own.
struct req_t {
    cli_ctx *ctx;
    bool bad;
    explicit req_t(cli_ctx *c, bool in_flight = false) : ctx(c), bad(start(c, in_flight)) {}
    static bool start(cli_ctx *c, bool in_flight)
    {
        if (!in_flight)
            flight_settle(c);
        return blob_buf_init(&c->req, 2) != 0;
    }
    req_t &str(const char *name, const char *v)
    {
        if (!v)
            v = "";
        bad = bad || blobmsg_add_field(&ctx->req, BLOBMSG_TYPE_STRING, name, v, strlen(v) + 1) != 0;
        return *this;
    }
    req_t &u32(const char *name, uint32_t v)
    {
        bad = bad || blobmsg_add_u32(&ctx->req, name, v) != 0;
        return *this;
    }
    req_t &u64(const char *name, uint64_t v)
    {
        bad = bad || blobmsg_add_u64(&ctx->req, name, v) != 0;
        return *this;
    }
    req_t &bin(const char *name, const void *v, size_t len)
    {
        bad = bad || blobmsg_add_field(&ctx->req, BLOBMSG_TYPE_BINARY, name, v, len) != 0;
        return *this;
    }
    // Sends the request only: 0 or a transport code.
    int send(uint32_t cmd);
    // Sends, reads the reply and parses it with the table: a transport code.
    int run(uint32_t cmd, const blobmsg_policy *pol, int n, blob_attr **tb);
};

// Records code and gives 0 for 0, -1 otherwise.
inline int finish(cli_ctx *ctx, int code)
{
    zksd_cli_set_last_error(ctx, code);
    return code == ZKSD_OK ? 0 : -1;
}
// Records the gate error (nothing was sent). -1.
int gate_fail(cli_ctx *ctx);
// Records a status and message without a transport code. -1.
int fail_status(cli_ctx *ctx, int status, const char *msg);
// Strict decimal / hexadecimal number texts (digits only, whole text).
bool parse_u64(const char *text, uint64_t *out);
bool parse_i64(const char *text, int64_t *out);
bool parse_x64(const char *text, uint64_t *out);

// ioctl2 on descriptor fd: a transport code; the answer's address and length
// inside the receive buffer when out is given.
int cli_ioctl2_imp(cli_ctx *ctx, int64_t fd, int code, const void *data, int len, int olen, const uint8_t **out,
                   int *outlen);
// ioctl2 whose answer is kept as a NUL-terminated text in out (size bytes).
int cli_ioctl2_text(cli_ctx *ctx, int64_t fd, int code, const char *data, char *out, size_t size);
// Handle ioctl text over command 20: a transport code.
int cli_file_ioctl(cli_ctx *ctx, int64_t fd, int code, const void *data, int len);
// Login on the current connection (probe, then the style the server asks for).
int cli_login(cli_ctx *ctx, const char *user, const char *passwd);
// Closes a handle on the server and frees it (no error record). A transport code.
int cli_file_free(cli_file_ctx *h, bool on_server);
int cli_dir_free(cli_dir_ctx *d, bool on_server);
// Seek (command 15): a transport code, *newpos the server's position.
int cli_seek(cli_file_ctx *h, int64_t offset, int64_t whence, int64_t *newpos);
bool connected(const cli_ctx *ctx);
// The dedicated commands behind handle ioctl codes 0, 2, 6 and 7.
int cli_handle_cmd(cli_ctx *ctx, int64_t fd, int code, void *data);
// After an exchange of several requests in flight broke (nothing to
// replay): a new connection attached to the old server context (when the
// context has recovery; else the connection is closed), and the request
// counter taken from the server again. 0, or a transport code with the
// context dead (fix_failed) when the recovery failed.
int client_resync(cli_ctx *ctx);
// Scans one line of a directory block (len bytes without its '\n', a NUL
// at line[len]) into d->entry: 0, 1 for a line to skip (logged: it holds a
// NUL byte, or a name no directory entry may carry: empty, with '/', longer
// than 255 bytes, "." or ".." other than as a directory), or -1 for a line
// that is not one.
int cli_dir_scan(cli_dir_ctx *d, char *line, size_t len);
// The length of the text of a directory block of n unpacked bytes: the
// closing NUL bytes at its end are not part of it.
size_t block_text_len(const char *buf, size_t n);
// Adds the field "data": len bytes of src packed with the context's codec.
// A transport code.
int add_packed(cli_ctx *ctx, const void *src, uint32_t len);
// Windows servers: a descriptor's time-outs are set before its first read
// (0, or -1 with the failure recorded) and its first write (a failure is
// only logged).
int read_tmo_prepare(cli_file_ctx *h);
void write_tmo_prepare(cli_file_ctx *h);
// Before h is freed: its requests in flight are answered for nobody, and
// its read-ahead goes.
void flight_forget(cli_file_ctx *h);
// The context's connection is new (no recovery): every request in flight
// is lost, and fails its file.
void flight_lose_all(cli_ctx *ctx, int code);
// Frees what the context keeps for data in flight.
void flight_free(cli_ctx *ctx);

} // namespace zksd_imp
