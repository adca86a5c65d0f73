// The syslog client: every console line the log routine hands it goes to a
// remote syslog server as one BSD-style message over UDP or TCP. It
// connects at the first record and reconnects once when a send fails. It
// runs under the log handle's mutex, so nothing here may block for long:
// sockets are non-blocking, connects and sends wait a bounded time, and a
// receiver that failed is left alone for a while (back-off) before the next
// try.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "liblog/log2_imp.h"
#include "liblog/log2_out.h"

namespace {

// Upper bound of one connect and of finishing one send, in milliseconds.
constexpr int kWaitMs = 500;
constexpr size_t kMsgSize = 1536;

struct code_name {
    const char *name;
    int code;
};

// Facility codes, already shifted by 3.
constexpr code_name k_facilities[] = {
    {"auth", 32},    {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},     {"kern", 0},
    {"lpr", 48},     {"mail", 16},     {"mark", 192},   {"news", 56},    {"security", 32}, {"syslog", 40},
    {"user", 8},     {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144}, {"local3", 152},
    {"local4", 160}, {"local5", 168},  {"local6", 176}, {"local7", 184},
};
constexpr code_name k_priorities[] = {
    {"alert", 1}, {"crit", 2}, {"debug", 7}, {"emerg", 0},  {"err", 3},   {"error", 3},
    {"info", 6},  {"none", 16}, {"notice", 5}, {"panic", 0}, {"warn", 4}, {"warning", 4},
};
constexpr int kFacilityUser = 8;

std::once_flag s_host_once;
char s_host[128];

void fill_host_name()
{
    char h[256] = "";
    if (gethostname(h, sizeof(h)) != 0)
        h[0] = '\0';
    h[sizeof(h) - 1] = '\0';
    if (!h[0] || strcmp(h, "(none)") == 0)
        str_safecopy(s_host, sizeof(s_host), "unknown");
    else
        str_safecopy_trunc(s_host, sizeof(s_host), h);
}

int64_t now_ms() { return (int64_t)os_clock_ms(); }

// Waits until fd is writable, at most until the deadline. 1 ready, 0 not.
int wait_writable(int fd, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, (int)left);
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return 0;
    }
}

// Non-blocking connect to one address, completed within kWaitMs.
bool connect_bounded(int fd, const struct sockaddr *sa, socklen_t len)
{
    if (connect(fd, sa, len) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR && errno != EAGAIN)
        return false;
    if (!wait_writable(fd, now_ms() + kWaitMs)) {
        errno = ETIMEDOUT;
        return false;
    }
    int err = 0;
    socklen_t elen = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0)
        return false;
    if (err) {
        errno = err;
        return false;
    }
    return true;
}

// Sends all of data within kWaitMs; bytes sent, or -1 (a TCP stream cut in
// the middle of a message cannot be framed any more: the caller drops it).
int send_all(int fd, const char *data, size_t len)
{
    size_t done = 0;
    int64_t deadline = now_ms() + kWaitMs;
    while (done < len) {
        ssize_t r = send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            done += (size_t)r;
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (r < 0 && errno == EINTR)
            continue;
        if (!wait_writable(fd, deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
    return (int)done;
}

bool is_stream_socket(int fd)
{
    int type = 0;
    socklen_t len = sizeof(type);
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

} // namespace

// ---- names and codes -----------------------------------------------------------------------

int syslog_decode(const char *name, int table)
{
    const code_name *t = table == SYSLOG_TAB_FACILITY ? k_facilities : k_priorities;
    size_t n = table == SYSLOG_TAB_FACILITY ? std::size(k_facilities) : std::size(k_priorities);
    if (!name || !*name)
        return -1;
    bool digits = true;
    for (const char *p = name; *p; ++p)
        digits = digits && *p >= '0' && *p <= '9';
    if (digits) {
        if (strlen(name) > 9)
            return -1;
        int v = atoi(name);
        for (size_t i = 0; i < n; i++)
            if (t[i].code == v)
                return v;
        return -1;
    }
    for (size_t i = 0; i < n; i++)
        if (strcasecmp(t[i].name, name) == 0)
            return t[i].code;
    return -1;
}

int syslog_pri(const char *pri)
{
    if (!pri)
        return -1;
    char fac[64];
    const char *prio = pri;
    int fcode = kFacilityUser;
    if (const char *dot = strchr(pri, '.')) {
        size_t n = (size_t)(dot - pri);
        if (n >= sizeof(fac)) {
            fprintf(stderr, "unknown facility name: %.*s\n", (int)n, pri);
            return -1;
        }
        memcpy(fac, pri, n);
        fac[n] = '\0';
        prio = dot + 1;
        fcode = syslog_decode(fac, SYSLOG_TAB_FACILITY);
        if (fcode < 0) {
            fprintf(stderr, "unknown facility name: %s\n", fac);
            return -1;
        }
    }
    int pcode = syslog_decode(prio, SYSLOG_TAB_PRIORITY);
    if (pcode < 0) {
        fprintf(stderr, "unknown priority name: %s\n", pri);
        return -1;
    }
    return (fcode & 0x3f8) | (pcode & 7);
}

const char *syslog_level_name(int level)
{
    switch (level) {
    case LOG2_CRIT: return "crit";
    case LOG2_ERR: return "error";
    case LOG2_WARN: return "warn";
    case LOG2_NOTI: return "notice";
    case LOG2_INFO: return "info";
    default: return "debug";
    }
}

const char *syslog_host_name(void)
{
    std::call_once(s_host_once, fill_host_name);
    return s_host;
}

// ---- sockets -------------------------------------------------------------------------------

int syslog_open(const char *host, const char *service, int proto)
{
    const char *h = host ? host : "";
    syslog_host_name();
    static constexpr struct {
        int flag;
        int socktype;
        const char *service;
    } kinds[] = {
        {LOG_SYSLOG_UDP, SOCK_DGRAM, "syslog"},
        {LOG_SYSLOG_TCP, SOCK_STREAM, "syslog-conn"},
    };
    const char *last_service = service ? service : "";
    for (const auto &k : kinds) {
        if (!(proto & k.flag))
            continue;
        const char *svc = service ? service : k.service;
        last_service = svc;
        struct addrinfo hints;
        memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = k.socktype;
        struct addrinfo *res = nullptr;
        int rc = getaddrinfo(h, svc, &hints, &res);
        if (rc != 0) {
            fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
            fprintf(stderr, "failed to resolve name %s port %s\n", h, svc);
            return -1;
        }
        int fd = socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, res->ai_protocol);
        if (fd >= 0) {
            if (connect_bounded(fd, res->ai_addr, res->ai_addrlen)) {
                freeaddrinfo(res);
                return fd;
            }
            close(fd);
        }
        freeaddrinfo(res);
    }
    fprintf(stderr, "failed to connect to %s port %s\n", h, last_service);
    return -1;
}

void syslog_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

// ---- messages ------------------------------------------------------------------------------

int syslog_format(log2_t *owner, int proto, const char *pri, const char *tag, const char *line, char *out,
                  size_t size)
{
    if (!out || size == 0)
        return -1;
    out[0] = '\0';
    const char *msg = line ? line : "";
    unsigned fl = log2_get_flags(owner);
    size_t skip = (fl & LOG2_FL_TIME) ? 9 : (fl & LOG2_FL_TIME_MS) ? 13 : 0;
    size_t mlen = strlen(msg);
    msg += skip < mlen ? skip : mlen;

    int pri_code = syslog_pri(pri);
    char pid[32];
    str_sprintf_s(pid, sizeof(pid), "[%d]", os_getpid());
    time_t t = time(nullptr);
    char ct[64] = "";
    if (!ctime_r(&t, ct) || strlen(ct) < 19)
        str_safecopy(ct, sizeof(ct), "??? Jan  1 00:00:00 1970\n");
    int n = str_sprintf_s(out, size, "<%d>%.15s %.32s %.64s%s: %.800s", pri_code, ct + 4, syslog_host_name(),
                          tag ? tag : "<someone>", pid, msg);
    if (!STR_FMT_OK(n, size))
        return -1;
    if (proto == LOG_SYSLOG_TCP) {
        // A stream is framed by line ends: exactly one LF ends each message
        // (also one cut at its length limit), and no NUL travels.
        while (n > 0 && out[n - 1] == '\n')
            out[--n] = '\0';
        if ((size_t)n + 1 >= size)
            return -1;
        out[n++] = '\n';
        out[n] = '\0';
        return n;
    }
    return n + 1; // a datagram carries the message's NUL
}

int syslog_send(log2_t *owner, int fd, const char *pri, const char *tag, const char *line)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    char msg[kMsgSize];
    int n = syslog_format(owner, is_stream_socket(fd) ? LOG_SYSLOG_TCP : LOG_SYSLOG_UDP, pri, tag, line, msg,
                          sizeof(msg));
    if (n < 0)
        return -1;
    return send_all(fd, msg, (size_t)n);
}

// ---- the output in the log handle -----------------------------------------------------------

void log_syslog_init(log_syslog_ctx *ctx, log2_t *owner)
{
    memset(ctx, 0, sizeof(*ctx));
    ctx->fd = -1;
    ctx->proto = LOG_SYSLOG_UDP;
    ctx->owner = owner;
}

int log_net_close(log_syslog_ctx *ctx)
{
    syslog_close(ctx->fd);
    ctx->fd = -1;
    ctx->state = LOG_SYSLOG_OFF;
    return 0;
}

int log_net_open(log_syslog_ctx *ctx, const char *url)
{
    log2_dbg_printf("log_net_open [%s]\n", url ? url : "");
    url_rec rec;
    char buf[URL_TEXT_SIZE];
    bool ok = url && url_parser(&rec, buf, url) == 0;
    if (!ok)
        log2_printf(ctx->owner, LOG2_DBG, "tag", __FILE__, __LINE__, __func__, "url_parser %s failed\n", url ? url : "");
    log2_out_lock lk(ctx->owner);
    ctx->state = LOG_SYSLOG_OFF;
    if (url)
        str_safecopy_trunc(ctx->url, sizeof(ctx->url), url);
    if (!ok)
        return -1;
    ctx->proto = strcmp(rec.protocol, "tcp") == 0 ? LOG_SYSLOG_TCP : LOG_SYSLOG_UDP;
    str_safecopy_trunc(ctx->host, sizeof(ctx->host), rec.host);
    // A URL without a port uses the service's default, also after one
    // that had a port.
    ctx->port = rec.port;
    log_net_close(ctx);
    ctx->retry_at = 0;
    ctx->backoff_ms = 0;
    ctx->dropped = 0;
    ctx->state = LOG_SYSLOG_PENDING;
    return 0;
}

int log_net_connect(log_syslog_ctx *ctx)
{
    // The old socket goes first: a server that stays away costs no
    // descriptor per attempt.
    syslog_close(ctx->fd);
    ctx->fd = -1;
    char port[32];
    const char *service = nullptr;
    if (ctx->port) {
        str_sprintf_s(port, sizeof(port), "%d", ctx->port);
        service = port;
    }
    ctx->fd = syslog_open(ctx->host, service, ctx->proto);
    return ctx->fd;
}

const char *log_net_get_url(const log_syslog_ctx *ctx) { return ctx->url; }

namespace {

// The receiver failed: the connection goes, and records are dropped until
// the back-off, doubled from its last length up to the bound, has passed.
void back_off(log_syslog_ctx *ctx)
{
    syslog_close(ctx->fd);
    ctx->fd = -1;
    int64_t next = ctx->backoff_ms ? (int64_t)ctx->backoff_ms * 2 : (int64_t)LOG_SYSLOG_BACKOFF_MS;
    ctx->backoff_ms = (int32_t)(next > LOG_SYSLOG_BACKOFF_MAX_MS ? (int64_t)LOG_SYSLOG_BACKOFF_MAX_MS : next);
    ctx->retry_at = now_ms() + ctx->backoff_ms;
}

// A console-shaped line (time of day as the owner's flags have it, which
// the message leaves out again) saying how many records were dropped.
void send_drop_notice(log_syslog_ctx *ctx)
{
    char when[32] = "";
    unsigned fl = log2_get_flags(ctx->owner);
    if (fl & (LOG2_FL_TIME | LOG2_FL_TIME_MS)) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        struct tm tm;
        localtime_r(&ts.tv_sec, &tm);
        if (fl & LOG2_FL_TIME)
            str_sprintf_s(when, sizeof(when), "%02d:%02d:%02d ", tm.tm_hour, tm.tm_min, tm.tm_sec);
        else
            str_sprintf_s(when, sizeof(when), "%02d:%02d:%02d.%03d ", tm.tm_hour, tm.tm_min, tm.tm_sec,
                          (int)(ts.tv_nsec / 1000000));
    }
    char line[256];
    str_sprintf_s(line, sizeof(line), "%ssyslog: %llu records dropped while the receiver could not be reached\n",
                  when, (unsigned long long)ctx->dropped);
    if (syslog_send(ctx->owner, ctx->fd, "user.warn", "log", line) >= 0)
        ctx->dropped = 0;
}

// The record went out: the back-off is over.
int sent(log_syslog_ctx *ctx, int r)
{
    ctx->backoff_ms = 0;
    ctx->retry_at = 0;
    return r;
}

int dropped(log_syslog_ctx *ctx, int r)
{
    ctx->dropped++;
    return r < 0 ? r : -1;
}

} // namespace

int syslog_write(log_syslog_ctx *ctx, int level, const char *tag, const char *line, int)
{
    if (ctx->state == LOG_SYSLOG_OFF)
        return 0;
    // Backing off: nothing is tried, so a receiver that is away costs the
    // callers (every one holds the log's lock) nothing.
    if (ctx->retry_at && now_ms() < ctx->retry_at)
        return dropped(ctx, -1);
    if (ctx->state == LOG_SYSLOG_PENDING || ctx->fd < 0) {
        ctx->state = LOG_SYSLOG_TRIED;
        if (log_net_connect(ctx) < 0) {
            back_off(ctx);
            return dropped(ctx, -1);
        }
    }
    if (ctx->dropped)
        send_drop_notice(ctx);
    char pri[32];
    str_sprintf_s(pri, sizeof(pri), "user.%s", syslog_level_name(level));
    errno = 0;
    int r = syslog_send(ctx->owner, ctx->fd, pri, tag, line);
    if (r >= 0)
        return sent(ctx, r);
    if (errno == ETIMEDOUT) {
        // The receiver takes nothing: a new connection would stall too.
        back_off(ctx);
        return dropped(ctx, r);
    }
    int fd = log_net_connect(ctx);
    if (fd < 0) {
        back_off(ctx);
        return dropped(ctx, fd);
    }
    r = syslog_send(ctx->owner, ctx->fd, pri, tag, line);
    if (r >= 0)
        return sent(ctx, r);
    fprintf(stderr, "syslog_write %s err\n", ctx->url);
    back_off(ctx);
    return dropped(ctx, r);
}
