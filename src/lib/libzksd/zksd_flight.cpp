// File data in flight: a sequential reader's blocks asked for ahead, and a
// writer's blocks sent without waiting for their replies. Every request
// carries its offset (commands 29 and 30), so one sent twice gives the same
// result. The requests of all files of a context are kept in one queue in
// the order sent; the server answers a connection's frames in that order,
// so the oldest reply read answers the oldest request kept. Each reply is
// checked against its request (the frame calls pair them by command) and
// given to its file: a read's data to its block, a write's failure to its
// file, where every later write, flush, fsync and close finds it.
//
// A broken exchange starts the context afresh on the same server context
// (as a broken attribute batch does) and sends every request of the queue
// once more, in order; a request that breaks a second time, or that cannot
// be sent again, fails its file. Memory: a file keeps at most its window of
// unanswered bytes (plus the block the reader stands in), the buffers taken
// from the budget the positioned I/O caches share; without budget a reader
// asks only for what it reads and a writer waits for each reply.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/tframe/cache_pio.h"
#include "libzksd/zksd_cli_imp.h"
#include "libzksd/zksd_proto.h"
#include "liblog/log2.h"

#define TAG SDCLI_TAG

using namespace zksd_imp;

namespace {

// The window of a file: what it may have asked for and not yet been
// answered (or, for a reader, not yet taken). It grows with the round
// trip measured at connect, within these bounds.
constexpr uint64_t k_window_min = 4ull << 20;
constexpr uint64_t k_window_max = 16ull << 20;
constexpr uint64_t k_window_per_ms = 8ull << 20;
// Room left in the connection's count of owed replies for other requests.
constexpr int k_await_spare = 16;
// The pieces a file sends one after another are a block and a block less
// this, in turn: a reply answering its neighbour's request (one sent twice
// shifts all after it) never fits its own unseen.
constexpr int64_t k_piece_step = 4096;
// Buffers of a connection's read blocks, and the copies of its large write
// requests, kept for the next ones, at most this many bytes of each: a
// fresh buffer costs a page fault a page on its first write, dearer on a
// fast link than the copy of the data into it.
constexpr uint64_t k_spare_max = 8ull << 20;
constexpr size_t k_spare_frame_min = 64 << 10;

uint64_t window_max(const cli_ctx *ctx)
{
    const uint64_t w = (uint64_t)ctx->rtt_us * k_window_per_ms / 1000;
    return std::clamp(w, k_window_min, k_window_max);
}

// Bytes taken from the shared budget, given back when the holder goes.
struct budget_hold {
    uint64_t n = 0;
    budget_hold() = default;
    budget_hold(const budget_hold &) = delete;
    budget_hold &operator=(const budget_hold &) = delete;
    budget_hold(budget_hold &&o) noexcept : n(o.n) { o.n = 0; }
    budget_hold &operator=(budget_hold &&o) noexcept
    {
        std::swap(n, o.n);
        return *this;
    }
    ~budget_hold()
    {
        if (n)
            cache_budget_give(n);
    }
    bool take(uint64_t bytes)
    {
        if (!cache_budget_take(bytes))
            return false;
        n += bytes;
        return true;
    }
};

// A failure kept for later: the record zksd_cli_set_last_error makes of a
// transport code (with the server's errno and text for code 4), written to
// out or a new record, or a status with a message.
void record_code(cli_ctx *ctx, int code, vperror_t *out)
{
    vperror_t *keep = ctx->last_error;
    ctx->last_error = out;
    zksd_cli_set_last_error(ctx, code);
    ctx->last_error = keep;
}

std::unique_ptr<vperror_t> failure_of(cli_ctx *ctx, int code)
{
    std::unique_ptr<vperror_t> e(new (std::nothrow) vperror_t{});
    if (e)
        record_code(ctx, code, e.get());
    return e;
}

std::unique_ptr<vperror_t> failure(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
std::unique_ptr<vperror_t> failure(int status, const char *fmt, ...)
{
    std::unique_ptr<vperror_t> e(new (std::nothrow) vperror_t{});
    if (!e)
        return e;
    char text[512];
    va_list va;
    va_start(va, fmt);
    vsnprintf(text, sizeof text, fmt, va);
    va_end(va);
    VPERROR_SET(e.get(), status, "%s", text);
    return e;
}

// The bytes of one read request.
struct block {
    int64_t off = 0;
    uint32_t len = 0;
    uint32_t got = 0; // what the reply brought: fewer than len at the end of the file
    uint32_t cap = 0; // the size of data: len, or a whole block's when it may serve again
    enum { sent, done, failed } state = sent;
    bool train = false; // travelled or came back with other replies owed
    std::unique_ptr<uint8_t[]> data;
    budget_hold mem;
    std::unique_ptr<vperror_t> err; // failed: why
};
using block_p = std::shared_ptr<block>;

// One request in flight.
struct entry {
    cli_file_ctx *h = nullptr; // NULL once its file is gone
    uint32_t cmd = 0;
    block_p b;                 // a read's block; NULL for a write
    uint32_t len = 0;          // a write's bytes
    int64_t off = 0;           // a write's offset
    bool resent = false;       // sent a second time after a break
    bool train = false;        // went out while other replies were owed
    std::vector<uint8_t> frame; // the request as sent (its root), to send again
    budget_hold mem;
};

} // namespace

struct zksd_flight {
    std::deque<entry> q; // oldest first
    bool busy = false;   // replies are being read
    // Block buffers of a whole block's size, no longer used (see k_spare_max).
    std::vector<std::unique_ptr<uint8_t[]>> spares;
    uint32_t spare_size = 0; // the size of each of them
    // Request copies of answered writes, emptied, and their bytes.
    std::vector<std::vector<uint8_t>> spare_frames;
    uint64_t spare_frame_bytes = 0;
};

struct zksd_fstream {
    // Reading: the blocks asked for, contiguous in file order, from the one
    // the reader stands in (or the one before) up to `ahead`.
    std::deque<block_p> blocks;
    int64_t ahead = -1;  // where the next read request starts; -1 before the first read
    int64_t limit = -1;  // size given: nothing is asked for ahead past it
    int64_t eof = -1;    // a reply came short there
    uint64_t window = 0; // bytes asked for ahead of the reader; 0 while it jumps
    uint64_t rbytes = 0; // read bytes unanswered, also of blocks dropped
    bool rless = false;  // the next read piece is the shorter one
    // Writing.
    uint64_t wbytes = 0; // write bytes unanswered
    uint32_t wcount = 0;
    bool wless = false;
    // A write failed or a request was lost: every later call fails with it.
    std::unique_ptr<vperror_t> err;
    // Data of the file travelled in a train of requests since the last
    // check; mark is the context's count of out-of-step replies then.
    bool unverified = false;
    uint64_t mark = 0;
};

namespace {

// The next piece of a file's train, at most left bytes; *less turns.
int64_t next_piece(const cli_ctx *ctx, bool *less, int64_t left)
{
    const int64_t block = ctx->block_size;
    const int64_t n = *less && block > 2 * k_piece_step ? block - k_piece_step : block;
    *less = !*less;
    return std::min(n, left);
}

zksd_flight *flight_of(cli_ctx *ctx)
{
    if (!ctx->flight)
        ctx->flight = new (std::nothrow) zksd_flight;
    return ctx->flight;
}

zksd_fstream *stream_of(cli_file_ctx *h)
{
    if (!h->fs)
        h->fs = new (std::nothrow) zksd_fstream;
    return h->fs;
}

// The first failure of a file stays; later ones add nothing.
void file_fails(cli_file_ctx *h, std::unique_ptr<vperror_t> e)
{
    if (h && h->fs && !h->fs->err) {
        if (!e)
            e = failure(VERR_NO_MEMORY, "memory allocation failed");
        h->fs->err = std::move(e);
    }
}

// Data of s travelled with other requests owed: from now until a check
// shows the connection in step, an out-of-step reply may have been taken
// for it.
void note_train(cli_ctx *ctx, zksd_fstream *s)
{
    if (!s->unverified) {
        s->unverified = true;
        s->mark = ctx->proto_errors;
    }
}

// Whether h must fail its call: its failure, or data of it on a connection
// that went out of step since. The failure goes to the record.
bool refused(cli_file_ctx *h)
{
    zksd_fstream *s = h->fs;
    if (!s)
        return false;
    cli_ctx *ctx = h->ctx;
    if (!s->err && s->unverified && ctx->proto_errors != s->mark) {
        LOG_ERR(TAG, "[%s]: data in flight on a connection that went out of step\n", h->path);
        s->err = failure(VERR_DEV_IO_ERROR, "data of [%s] travelled on a connection that went out of step", h->path);
        file_fails(h, nullptr); // no memory for the text: still failed
    }
    if (!s->err)
        return false;
    vperror_copy(ctx->last_error, s->err.get());
    return true;
}

std::unique_ptr<vperror_t> copy_of(const vperror_t *why)
{
    std::unique_ptr<vperror_t> e(new (std::nothrow) vperror_t{});
    if (e)
        vperror_copy(e.get(), why);
    return e;
}

// A request that will not be answered, for the reason why: its block fails,
// or its write fails its file.
void lose(entry &e, const vperror_t *why)
{
    zksd_fstream *s = e.h ? e.h->fs : nullptr;
    if (e.b) {
        e.b->state = block::failed;
        e.b->err = copy_of(why);
        if (s)
            s->rbytes -= e.b->len;
        return;
    }
    if (s) {
        s->wcount--;
        s->wbytes -= e.len;
    }
    LOG_DBG(TAG, "write of %u bytes at %lld lost: %s\n", e.len, (long long)e.off, vperror_str(why));
    file_fails(e.h, copy_of(why));
}

// A reply among others owed that does not fit its request (more data or a
// larger count than asked for) answers another request: the connection is
// out of step. Gives 2.
int shifted(cli_ctx *ctx, const char *what, uint32_t len)
{
    LOG_ERR(TAG, "reply does not fit a %s of %u bytes: the connection is out of step\n", what, len);
    zksd_out_of_step(ctx);
    return ZKSD_DATA_ERR;
}

// Keeps the emptied copy of an answered request for the next large one,
// when it is large itself and the spares have room.
void keep_frame(zksd_flight *f, std::vector<uint8_t> &frame)
{
    const size_t cap = frame.capacity();
    if (cap < k_spare_frame_min || f->spare_frame_bytes + cap > k_spare_max)
        return;
    try {
        frame.clear();
        f->spare_frames.push_back(std::move(frame));
        f->spare_frame_bytes += cap;
    } catch (const std::bad_alloc &) {
    }
}

// Reads the reply of the oldest request in flight and gives it to its
// file. A transport code for a broken exchange (the request stays first).
int take_reply(cli_ctx *ctx)
{
    zksd_flight *f = ctx->flight;
    entry &e = f->q.front();
    if (ctx->await_n == 0)
        return ZKSD_NET_ERR; // the connection was made anew: nothing will come
    int len = 0;
    int ret = zksd_recv_paired(ctx, &len);
    if (ret != ZKSD_OK)
        return ret;
    const bool train = e.train || ctx->await_n > 0;
    zksd_fstream *s = e.h ? e.h->fs : nullptr;
    if (e.b) {
        block &b = *e.b;
        blob_attr *tb[5];
        ret = zksd_reply_parse(ctx, k_pol_read, 5, tb);
        if (ret == ZKSD_DATA_ERR)
            return ret;
        if (ret == ZKSD_OK) {
            const int plen = (int)blobmsg_data_len(tb[4]);
            const int n = sdcomp_unpack(&ctx->comp, blobmsg_data(tb[4]), plen, b.data.get(), (int)b.len);
            if (n < 0) {
                LOG_DBG(TAG, "sdcomp_unpack pack_len=%d buf_len=%u ret=%d\n", plen, b.len, n);
                if (train)
                    return shifted(ctx, "read", b.len);
                ret = ZKSD_UNPACK_ERR;
            } else {
                b.got = (uint32_t)n;
            }
        }
        if (ret != ZKSD_OK) {
            b.state = block::failed;
            b.err = failure_of(ctx, ret);
        } else {
            b.state = block::done;
            b.train = train;
        }
        if (s) {
            s->rbytes -= b.len;
            if (b.state == block::done && b.got < b.len && (s->eof < 0 || b.off + b.got < s->eof))
                s->eof = b.off + b.got;
        }
    } else {
        blob_attr *tb[3];
        ret = zksd_reply_parse(ctx, k_pol_len, 3, tb);
        if (ret == ZKSD_DATA_ERR)
            return ret;
        std::unique_ptr<vperror_t> why;
        if (ret == ZKSD_SRV_ERR) {
            why = failure_of(ctx, ret);
        } else {
            const int32_t n = (int32_t)blobmsg_get_u32(tb[2]);
            if ((n > (int32_t)e.len || n < 0) && train)
                return shifted(ctx, "write", e.len);
            if (n > (int32_t)e.len || n < 0) {
                LOG_ERR(TAG, "write count %d > piece %u\n", (int)n, e.len);
                why = failure_of(ctx, ZKSD_DATA_ERR);
            } else if (n < (int32_t)e.len) {
                why = failure(VERR_DEV_IO_ERROR, "the server wrote %d of %u bytes at %lld", (int)n, e.len,
                              (long long)e.off);
            }
        }
        if (s) {
            s->wcount--;
            s->wbytes -= e.len;
            if (train)
                note_train(ctx, s);
        }
        if (why || ret != ZKSD_OK)
            file_fails(e.h, std::move(why));
    }
    keep_frame(f, e.frame);
    f->q.pop_front();
    return ZKSD_OK;
}

// The exchange broke with the oldest request unanswered (why): the context
// starts afresh on the same server context and every request still
// unanswered goes out once more, in order; one sent again already, or all
// of them when the context cannot start afresh, is lost. A transport code:
// 0 when the requests travel again.
int rescue(cli_ctx *ctx, int why)
{
    zksd_flight *f = ctx->flight;
    LOG_DBG(TAG, "%zu requests in flight broke: ret=%d [%s]\n", f->q.size(), why, zksd_code_str(why));
    vperror_t broke{};
    record_code(ctx, why, &broke);
    int ret = ctx->fix_failed ? ZKSD_TIMEOUT : client_resync(ctx);
    // A context that could not start afresh is dead: its requests fail as
    // every later one does.
    if (ctx->fix_failed)
        record_code(ctx, ZKSD_TIMEOUT, &broke);
    std::deque<entry> again;
    for (entry &e : f->q) {
        if (ret == ZKSD_OK && !e.resent)
            again.push_back(std::move(e));
        else
            lose(e, &broke);
    }
    f->q.clear();
    for (entry &e : again) {
        if (ret == ZKSD_OK) {
            e.resent = true;
            e.train = ctx->await_n > 0;
            ret = zksd_send_paired(ctx, e.cmd, (const blob_attr *)e.frame.data(), (int)e.frame.size());
        }
        if (ret == ZKSD_OK)
            f->q.push_back(std::move(e));
        else
            lose(e, &broke);
    }
    if (ret == ZKSD_OK)
        LOG_DBG(TAG, "%zu requests in flight sent again\n", f->q.size());
    return ret;
}

// Reads replies until done() holds or nothing is in flight. 0, or the
// transport code of a break that could not be mended (the requests it
// lost failed their files).
template <class Done> int pump(cli_ctx *ctx, Done done)
{
    zksd_flight *f = ctx->flight;
    if (!f || f->busy)
        return ZKSD_OK;
    int ret = ZKSD_OK;
    f->busy = true;
    while (!f->q.empty() && !done()) {
        int r = take_reply(ctx);
        if (r != ZKSD_OK && (r = rescue(ctx, r)) != ZKSD_OK)
            ret = r;
    }
    f->busy = false;
    return ret;
}

// Sends the request built in ctx->req (command cmd) as e and keeps it. A
// transport code; e is kept only when 0.
int send_entry(cli_ctx *ctx, bool bad, entry &&e)
{
    if (bad)
        return ZKSD_MEM_ERR;
    zksd_flight *f = ctx->flight;
    const blob_attr *root = blob_buf_root(&ctx->req);
    const int n = (int)blob_pad_len(root);
    if ((size_t)n >= k_spare_frame_min && !f->spare_frames.empty()) {
        e.frame = std::move(f->spare_frames.back());
        f->spare_frames.pop_back();
        f->spare_frame_bytes -= e.frame.capacity();
    }
    try {
        e.frame.assign((const uint8_t *)root, (const uint8_t *)root + n);
        e.train = ctx->await_n > 0;
        f->q.push_back(std::move(e));
    } catch (const std::bad_alloc &) {
        return ZKSD_MEM_ERR;
    }
    const int ret = zksd_send_paired(ctx, f->q.back().cmd, root, n);
    if (ret != ZKSD_OK)
        f->q.pop_back();
    return ret;
}

// Room for one more request on the connection: replies are read while
// nearly all it may owe are owed. A transport code.
int room(cli_ctx *ctx)
{
    return pump(ctx, [ctx] { return ctx->await_n + k_await_spare < ZKSD_AWAIT_MAX; });
}

// Gives b a buffer for len bytes: a spare one of a whole block when len
// fits, else a new one (of a whole block's size when len is most of one,
// so that it can serve again). false when memory is short.
bool block_buffer(cli_ctx *ctx, block &b, uint32_t len)
{
    const uint32_t whole = (uint32_t)ctx->block_size;
    std::vector<std::unique_ptr<uint8_t[]>> &spares = ctx->flight->spares;
    if (len <= ctx->flight->spare_size && !spares.empty()) {
        b.data = std::move(spares.back());
        spares.pop_back();
        b.cap = ctx->flight->spare_size;
        return true;
    }
    b.cap = len <= whole && len > whole / 2 ? whole : std::max<uint32_t>(len, 1);
    b.data.reset(new (std::nothrow) uint8_t[b.cap]);
    return b.data != nullptr;
}

// Lets go of b; its buffer is kept for the next block when nothing else
// holds the block (its reply was read) and the spares have room.
void release_block(cli_ctx *ctx, block_p &b)
{
    zksd_flight *f = ctx->flight;
    const uint32_t whole = (uint32_t)ctx->block_size;
    if (f && b && b.use_count() == 1 && b->data && b->cap == whole && b->state != block::sent &&
        (f->spares.empty() || f->spare_size == whole) && (f->spares.size() + 1) * whole <= k_spare_max) {
        try {
            f->spare_size = whole;
            f->spares.push_back(std::move(b->data));
        } catch (const std::bad_alloc &) {
        }
    }
    b.reset();
}

// Asks for len bytes at off as a new block of h (charged to the budget when
// budgeted; read-ahead goes without when the budget is spent). A transport
// code; 0 with *skipped when the budget had nothing.
int ask(cli_file_ctx *h, zksd_fstream *s, int64_t off, uint32_t len, bool budgeted, bool *skipped = nullptr)
{
    cli_ctx *ctx = h->ctx;
    int ret = room(ctx);
    if (ret != ZKSD_OK)
        return ret;
    block_p b;
    try {
        b = std::make_shared<block>();
    } catch (const std::bad_alloc &) {
        return ZKSD_MEM_ERR;
    }
    if (budgeted && !b->mem.take(len)) {
        if (skipped)
            *skipped = true;
        return ZKSD_OK;
    }
    if (!block_buffer(ctx, *b, len))
        return ZKSD_MEM_ERR;
    b->off = off;
    b->len = len;
    req_t r(ctx, true);
    r.u64("fd", (uint64_t)h->fd).u32("len", len).u64("offset", (uint64_t)off);
    entry e;
    e.h = h;
    e.cmd = ZKSD_CMD_PREAD;
    e.b = b;
    ret = send_entry(ctx, r.bad, std::move(e));
    if (ret != ZKSD_OK)
        return ret;
    try {
        s->blocks.push_back(std::move(b));
    } catch (const std::bad_alloc &) {
        // Answered for nobody.
    }
    s->ahead = off + len;
    s->rbytes += len;
    return ZKSD_OK;
}

// Drops every block of s (those in flight are answered for nobody).
void drop_blocks(cli_ctx *ctx, zksd_fstream *s)
{
    for (block_p &b : s->blocks)
        release_block(ctx, b);
    s->blocks.clear();
    s->ahead = -1;
    s->window = 0;
    s->eof = -1;
}

// Where a read of [off, end) stands against what s has asked for: going on
// (its first read at 0, or a read from the block the reader stands in up to
// a block past what was asked for) keeps the blocks and widens the window;
// anything else drops them and starts anew at off without read-ahead.
void place(cli_ctx *ctx, zksd_fstream *s, int64_t off, int64_t end)
{
    const uint64_t block_size = (uint64_t)ctx->block_size;
    const uint64_t wmax = window_max(ctx);
    const int64_t lo = s->blocks.empty() ? s->ahead : s->blocks.front()->off;
    const bool first = s->ahead < 0;
    const bool going_on = first ? off == 0 : off >= lo && off <= s->ahead + (int64_t)block_size;
    if (!going_on) {
        drop_blocks(ctx, s);
        s->ahead = off;
        return;
    }
    if (first)
        s->ahead = off;
    if (s->eof >= 0 && off >= s->eof) {
        // At the end seen: asked anew, as the file may have grown.
        while (!s->blocks.empty() && s->blocks.back()->off >= s->eof)
            s->blocks.pop_back();
        s->ahead = s->blocks.empty() ? off : s->blocks.back()->off + s->blocks.back()->len;
        s->eof = -1;
    }
    if (off > s->ahead) {
        // A little past what was asked for: from there on.
        s->blocks.clear();
        s->ahead = off;
    }
    const uint64_t start = std::max<uint64_t>(2 * (uint64_t)(end - off), 2 * block_size);
    s->window = std::min(s->window ? s->window * 2 : start, wmax);
}

// Where the file is known to end (the size given, or a short reply), or
// INT64_MAX.
int64_t known_end(const zksd_fstream *s)
{
    int64_t last = s->limit >= 0 ? s->limit : INT64_MAX;
    return s->eof >= 0 ? std::min(last, s->eof) : last;
}

// Asks for [ahead, end) as the read needs it (past the known end of the
// file one block at a time: the file may have grown), then for the window
// past it in whole blocks, the last one cut at the known end, while the
// file's unanswered bytes leave room. A transport code.
int ask_all(cli_file_ctx *h, zksd_fstream *s, int64_t end)
{
    cli_ctx *ctx = h->ctx;
    const int64_t block_size = ctx->block_size;
    const uint64_t wmax = window_max(ctx);
    const int64_t last = known_end(s);
    while (s->ahead < end) {
        // A reader going on asks for whole pieces: the rest is read-ahead.
        const bool past = s->ahead >= last;
        const int64_t want = next_piece(ctx, &s->rless, s->window && !past ? INT64_MAX : end - s->ahead);
        const int ret = ask(h, s, s->ahead, (uint32_t)want, false);
        if (ret != ZKSD_OK || past)
            return ret;
    }
    if (!s->window)
        return ZKSD_OK;
    const int64_t stop = std::min(end + (int64_t)s->window, last);
    while (s->ahead < stop && s->rbytes + (uint64_t)block_size <= wmax) {
        bool skipped = false;
        const bool less = s->rless;
        const int ret = ask(h, s, s->ahead, (uint32_t)next_piece(ctx, &s->rless, last - s->ahead), true, &skipped);
        if (skipped)
            s->rless = less;
        if (ret != ZKSD_OK || skipped)
            return ret;
    }
    return ZKSD_OK;
}

// A round trip of another command: every reply owed has come, and none
// waits behind them. false (the failure recorded) when the connection went
// out of step while data of h travelled.
bool check_step(cli_file_ctx *h, zksd_fstream *s)
{
    cli_ctx *ctx = h->ctx;
    if (s->err || ctx->fix_failed)
        return !refused(h);
    cli_file_ioctl(ctx, 0, ZKSD_IOC_PROBE, nullptr, 0);
    if (refused(h))
        return false;
    s->unverified = false;
    return true;
}

// Copies what the blocks of s hold from *p up to end into out (the byte at
// *p going to out[*p - base]), reading their replies as needed. 1 when the
// read is done (end reached, or the file ends), 0 when the blocks asked for
// ran out first, -1 when one failed (the failure recorded; it and the
// blocks after it are dropped, to be asked for again).
int take_blocks(cli_file_ctx *h, zksd_fstream *s, uint8_t *out, int64_t base, int64_t *p, int64_t end)
{
    cli_ctx *ctx = h->ctx;
    // The blocks are contiguous from the first: find the one holding *p.
    size_t i = 0;
    while (i < s->blocks.size() && s->blocks[i]->off + (int64_t)s->blocks[i]->len <= *p)
        i++;
    for (; *p < end && i < s->blocks.size(); i++) {
        block_p b = s->blocks[i];
        pump(ctx, [&b] { return b->state != block::sent; });
        if (b->state != block::done) {
            if (b->err)
                vperror_copy(ctx->last_error, b->err.get());
            else
                zksd_cli_set_last_error(ctx, ZKSD_MEM_ERR);
            s->blocks.erase(s->blocks.begin() + (ptrdiff_t)i, s->blocks.end());
            s->ahead = s->blocks.empty() ? -1 : s->blocks.back()->off + s->blocks.back()->len;
            s->window = 0;
            return -1;
        }
        if (b->train)
            note_train(ctx, s);
        if (b->got < b->len && b->train && b->off + (int64_t)b->got < known_end(s) && !check_step(h, s))
            return -1;
        const int64_t bend = b->off + b->got;
        if (*p < bend) {
            const int64_t n = std::min(end, bend) - *p;
            memcpy(out + (*p - base), b->data.get() + (*p - b->off), (size_t)n);
            *p += n;
        }
        if (b->got < b->len)
            return 1; // the file ends in this block
    }
    return *p >= end ? 1 : 0;
}

} // namespace

// ---- the connection's side -------------------------------------------------------------------

void zksd_imp::flight_settle(cli_ctx *ctx)
{
    if (ctx->flight && !ctx->replaying)
        pump(ctx, [] { return false; });
}

void zksd_imp::flight_forget(cli_file_ctx *h)
{
    cli_ctx *ctx = h->ctx;
    if (ctx->flight)
        for (entry &e : ctx->flight->q)
            if (e.h == h)
                e.h = nullptr;
    if (h->fs)
        drop_blocks(ctx, h->fs);
    delete h->fs;
    h->fs = nullptr;
}

void zksd_imp::flight_lose_all(cli_ctx *ctx, int code)
{
    zksd_flight *f = ctx->flight;
    if (!f || f->q.empty())
        return;
    std::unique_ptr<vperror_t> why = failure_of(ctx, code);
    for (entry &e : f->q)
        lose(e, why.get());
    f->q.clear();
}

void zksd_imp::flight_free(cli_ctx *ctx)
{
    delete ctx->flight;
    ctx->flight = nullptr;
}

// ---- files --------------------------------------------------------------------------------

void zksd_cli_read_ahead_limit(cli_file_ctx *h, int64_t size)
{
    if (h && size >= 0)
        if (zksd_fstream *s = stream_of(h))
            s->limit = size;
}

int64_t zksd_cli_read_ahead(cli_file_ctx *h, void *buf, int64_t len, int64_t offset)
{
    PL_ASSERT_RET(TAG, h && h->kind == ZKSD_KIND_FILE && (buf || len == 0) && len >= 0, -1);
    cli_ctx *ctx = h->ctx;
    zksd_fstream *s = offset >= 0 && len > 0 && ctx->ver_164 && flight_of(ctx) ? stream_of(h) : nullptr;
    if (!s || offset > INT64_MAX - len)
        return zksd_cli_read(h, buf, len, offset);
    if (read_tmo_prepare(h) != 0 || refused(h))
        return -1;
    const int64_t end = offset + len;
    place(ctx, s, offset, end);
    int64_t p = offset;
    for (int done = 0; !done;) {
        const int ret = ask_all(h, s, end);
        if (ret != ZKSD_OK)
            return finish(ctx, ret);
        if ((done = take_blocks(h, s, (uint8_t *)buf, offset, &p, end)) < 0)
            return -1;
    }
    if (refused(h))
        return -1;
    // Keep the block the reader stands in and the one before it.
    while (s->blocks.size() > 2 && s->blocks[1]->off + (int64_t)s->blocks[1]->len <= p) {
        release_block(ctx, s->blocks.front());
        s->blocks.pop_front();
    }
    h->pos = (uint64_t)p;
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return p - offset;
}

int64_t zksd_cli_write_behind(cli_file_ctx *h, const void *buf, int64_t len, int64_t offset)
{
    PL_ASSERT_RET(TAG, h && h->kind == ZKSD_KIND_FILE && (buf || len == 0) && len >= 0, -1);
    cli_ctx *ctx = h->ctx;
    zksd_fstream *s = offset >= 0 && len > 0 && ctx->ver_164 && flight_of(ctx) ? stream_of(h) : nullptr;
    if (!s || offset > INT64_MAX - len)
        return zksd_cli_write(h, buf, len, offset);
    write_tmo_prepare(h);
    if (refused(h))
        return -1;
    // What was read ahead may be older than this.
    drop_blocks(ctx, s);
    const uint64_t wmax = window_max(ctx);
    for (int64_t done = 0; done < len;) {
        const bool less = s->wless;
        const uint32_t piece = (uint32_t)next_piece(ctx, &s->wless, len - done);
        s->wless = less; // turned once it is sent
        int ret = pump(ctx, [&] { return s->wbytes + piece <= wmax || s->err; });
        if (ret == ZKSD_OK)
            ret = room(ctx);
        if (ret != ZKSD_OK)
            return finish(ctx, ret);
        if (refused(h))
            return -1;
        req_t r(ctx, true);
        r.u64("fd", (uint64_t)h->fd).u32("flags", 0).u32("len", piece).u64("offset", (uint64_t)(offset + done));
        if (r.bad)
            return finish(ctx, ZKSD_MEM_ERR);
        if ((ret = add_packed(ctx, (const uint8_t *)buf + done, piece)) != ZKSD_OK)
            return finish(ctx, ret);
        entry e;
        e.h = h;
        e.cmd = ZKSD_CMD_PWRITE;
        e.len = piece;
        e.off = offset + done;
        // Without budget for keeping it, the request is answered before
        // the next goes.
        const bool kept = e.mem.take(blob_pad_len(blob_buf_root(&ctx->req)));
        ret = send_entry(ctx, false, std::move(e));
        if (ret != ZKSD_OK)
            return finish(ctx, ret);
        s->wcount++;
        s->wbytes += piece;
        s->wless = !less;
        done += piece;
        if (!kept && (ret = pump(ctx, [s] { return s->wcount == 0; })) != ZKSD_OK)
            return finish(ctx, ret);
    }
    h->pos = (uint64_t)(offset + len);
    if (refused(h))
        return -1;
    zksd_cli_set_last_error(ctx, ZKSD_OK);
    return len;
}

int zksd_cli_flush(cli_file_ctx *h)
{
    PL_ASSERT_RET(TAG, h && h->kind == ZKSD_KIND_FILE, -1);
    cli_ctx *ctx = h->ctx;
    zksd_fstream *s = h->fs;
    if (!s)
        return finish(ctx, ZKSD_OK);
    pump(ctx, [s] { return s->wcount == 0; });
    if (s->unverified ? !check_step(h, s) : refused(h))
        return -1;
    return finish(ctx, ZKSD_OK);
}
