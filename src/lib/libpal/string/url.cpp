// URL parser, print forms and query helpers. Mount URLs are the program's
// main input, so every reader and writer here agrees on one split of a text
// (scan_url): the protocol before "://", the authority up to the first '/',
// '?' or '#', the path up to '?' or '#', the query up to '#', the hash.
#include "libpal/string/url.h"
#include "libpal/string/str_glob.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <strings.h>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/str_vector.h"

#define TAG "pal"

namespace {

// Characters a query key must not hold: they would change how the URL splits.
constexpr const char k_key_forbidden[] = ";/\\\"'?:@# &=";

constexpr pl_idtab_t k_mode_names[] = {
    {URL_QUERY_SET_ALWAYS, {"set_always"}},
    {URL_QUERY_SET_NOT_EXIST, {"set_not_exist"}},
    {URL_QUERY_SET_EXIST, {"set_exist"}},
    {URL_QUERY_DEL_EXIST, {"del_exist"}},
};

const char *nz(const char *s) { return s ? s : ""; }

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Offsets [b, e) of one part of a text.
struct span {
    size_t b = 0, e = 0;
    size_t len() const { return e - b; }
};

enum url_form { FORM_LOCAL, FORM_NET, FORM_NAME };

struct url_scan {
    url_form form = FORM_LOCAL;
    span proto, user, passwd, host, port, path, query, hash;
    bool has_port = false;  // a ':' followed the host
    bool has_query = false; // the path ended at '?'
    bool has_hash = false;  // the path or the query ended at '#'
    bool open_bracket = false; // '[' without ']': the host takes the whole rest
};

// Splits t (already trimmed) into its parts without copying. Local paths
// split only at the first '?'. In a network URL the user information is
// looked for only inside the authority (before the first '/', '?' or '#'), so
// an '@' in a path or query value never turns the host into a user name.
void scan_url(const char *t, url_scan *s)
{
    *s = url_scan{};
    const size_t n = strlen(t);
    size_t pos;
    if (strncmp(t, "///", 3) == 0) {
        s->form = FORM_NAME;
        pos = 3;
    } else if (const char *p = strstr(t, "://")) {
        s->form = FORM_NET;
        s->proto = {0, size_t(p - t)};
        pos = size_t(p - t) + 3;
    } else {
        const char *q = strchr(t, '?');
        if (q) {
            s->path = {0, size_t(q - t)};
            s->query = {size_t(q - t) + 1, n};
            s->has_query = true;
        } else {
            s->path = {0, n};
        }
        return;
    }

    const size_t auth_end = pos + strcspn(t + pos, "/?#");
    if (const void *at = memchr(t + pos, '@', auth_end - pos)) {
        const size_t a = size_t(static_cast<const char *>(at) - t);
        if (const void *colon = memchr(t + pos, ':', a - pos)) {
            const size_t c = size_t(static_cast<const char *>(colon) - t);
            s->user = {pos, c};
            s->passwd = {c + 1, a};
        } else {
            s->user = {pos, a};
        }
        pos = a + 1;
    }

    if (t[pos] == '[') {
        const char *close = strchr(t + pos + 1, ']');
        const size_t ce = close ? size_t(close - t) : n;
        s->host = {pos + 1, ce};
        s->open_bracket = !close;
        pos = close ? ce + 1 : n;
    } else {
        const size_t he = pos + strcspn(t + pos, "\t\n\v\f\r &/:?\\");
        s->host = {pos, he};
        pos = he;
    }

    if (t[pos] == ':') {
        s->has_port = true;
        size_t d = pos + 1;
        while (is_digit(t[d]))
            ++d;
        s->port = {pos + 1, d};
        pos = d;
    }

    while (is_blank(t[pos]))
        ++pos;
    const size_t pe = pos + strcspn(t + pos, "?#");
    s->path = {pos, pe};
    pos = pe;

    if (t[pos] == '?') {
        s->has_query = true;
        ++pos;
        while (t[pos] == '?' || is_blank(t[pos]))
            ++pos;
        const size_t qe = pos + strcspn(t + pos, "#");
        s->query = {pos, qe};
        pos = qe;
    }
    if (t[pos] == '#') {
        s->has_hash = true;
        s->hash = {pos + 1, n};
    }
}

// Offsets [b, e) of what trimming leaves of t[0, n): blanks and one enclosing
// pair of double, then single quotes, twice, until nothing changes (the rule
// of str_trim_all, kept on offsets so that writers can work on the caller's
// text where the parser works on a trimmed copy).
void trim_span(const char *t, size_t n, size_t *pb, size_t *pe)
{
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    size_t b = 0, e = n, before;
    do {
        before = e - b;
        for (int round = 0; round < 2; ++round) {
            while (b < e && blank(t[b]))
                ++b;
            while (e > b && blank(t[e - 1]))
                --e;
            for (char q : {'"', '\''})
                if (e - b >= 2 && t[b] == q && t[e - 1] == q)
                    ++b, --e;
        }
    } while (e - b != before);
    *pb = b;
    *pe = e;
}

// Backslashes to slashes in the path of an already trimmed text; fills the
// scan of the result. A rewrite can change how the text splits (a local path
// "C:\\\\srv" becomes "C://srv", a network URL), so it is repeated until the
// text stays as it is; each round only removes backslashes, so it ends.
void rewrite_scan(char *text, url_scan *s)
{
    for (;;) {
        scan_url(text, s);
        bool changed = false;
        for (size_t i = s->path.b; i < s->path.e; ++i)
            if (text[i] == '\\') {
                text[i] = '/';
                changed = true;
            }
        if (!changed)
            return;
    }
}

// Trimming plus backslashes to slashes in the path, in place.
void normalize_scan(char *text, url_scan *s)
{
    size_t b, e;
    trim_span(text, strlen(text), &b, &e);
    memmove(text, text + b, e - b);
    text[e - b] = '\0';
    rewrite_scan(text, s);
}

// The split that url_parser makes of url, with every part given in url's own
// offsets (the parser works on a trimmed, rewritten copy; the rewrite keeps
// offsets). *tb and *te receive the trimmed part of url.
void scan_like_parser(const char *url, url_scan *s, size_t *tb, size_t *te)
{
    const size_t n = strlen(url);
    if (n >= URL_TEXT_SIZE) { // the parser refuses it; any split will do
        scan_url(url, s);
        *tb = 0;
        *te = n;
        return;
    }
    size_t b, e;
    trim_span(url, n, &b, &e);
    char t[URL_TEXT_SIZE];
    memcpy(t, url + b, e - b);
    t[e - b] = '\0';
    rewrite_scan(t, s);
    for (span *p : {&s->proto, &s->user, &s->passwd, &s->host, &s->port, &s->path, &s->query, &s->hash}) {
        p->b += b;
        p->e += b;
    }
    *tb = b;
    *te = e;
}

// The port of a scanned text t into *port (0: none given). What stands
// between the ':' and the path must be digits only, a number from 1 to
// 65535; nothing at all is the protocol's default port. A port read from
// the head of something else (":0", ":-1", ":abc", ":21400x") would connect
// somewhere the text did not name: false, with the reason in why.
bool port_of(const char *t, const url_scan &s, unsigned *port, char *why, size_t size)
{
    *port = 0;
    if (!s.has_port)
        return true;
    const size_t end = s.port.b + strcspn(t + s.port.b, "/\\?#\t\n\v\f\r ");
    unsigned p = 0;
    for (size_t i = s.port.b; i < end && p <= 65535; ++i)
        p = is_digit(t[i]) ? p * 10 + unsigned(t[i] - '0') : 65536;
    if (end == s.port.b || (p >= 1 && p <= 65535)) {
        *port = end == s.port.b ? 0 : p;
        return true;
    }
    // With an '@' further on, the "port" is most likely the head of a
    // password that holds a '/': not for a log line.
    if (strchr(t + end, '@'))
        snprintf(why, size, "port is not a number from 1 to 65535 (a '/' in a user name or password must be "
                            "written %%2F)");
    else
        snprintf(why, size, "port [%.*s%s] is not a number from 1 to 65535", int(end - s.port.b > 32 ? 32 : end - s.port.b),
                 t + s.port.b, end - s.port.b > 32 ? "..." : "");
    return false;
}

// Copies one part into the record buffer; NULL when it does not fit.
char *put_field(char *buf, size_t *off, const char *s, size_t n)
{
    if (n + 1 > URL_TEXT_SIZE - *off)
        return nullptr;
    char *f = buf + *off;
    memcpy(f, s, n);
    f[n] = '\0';
    *off += n + 1;
    return f;
}

void rec_set_empty(url_rec *rec)
{
    rec->buf[0] = '\0';
    rec->protocol = rec->user = rec->passwd = rec->host = rec->buf;
    rec->path = rec->query = rec->hash = rec->buf;
    rec->port = 0;
}

// Parses text into a record on the stack; false when it does not parse.
struct local_url {
    url_rec rec{};
    char buf[URL_TEXT_SIZE];
    bool ok;
    explicit local_url(const char *text) { ok = text && url_parser(&rec, buf, text) == 0; }
};

// The line of a refused query change; the URL and the value (which may be
// a URL) with their passwords hidden.
int log_set_query_err(const char *url, const char *key, const char *value, int escape, int mode, const char *why)
{
    struct shown_texts {
        char url[URL_TEXT_SIZE];
        char value[URL_TEXT_SIZE];
    };
    std::unique_ptr<shown_texts> shown(new (std::nothrow) shown_texts);
    const char *u = nz(url), *v = nz(value);
    if (shown) {
        u = url_hide_pwd_fmt(url, shown->url);
        v = url_hide_pwd_fmt(value, shown->value);
    } else if (*u || *v) {
        u = v = "...";
    }
    LOG_ERR(TAG, "url=[%s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n", u, nz(key), v, escape,
            pl_idtab_get(mode, k_mode_names, int(sizeof k_mode_names / sizeof k_mode_names[0])), why);
    return -1;
}

// Where the query of a URL text sits: head = [0, head_len) before the '?'
// (or everything before the tail when there is no '?'), the query items in
// [qb, qe), and the tail from qe on (the '#' and the hash, or "").
struct query_place {
    size_t head_len;
    size_t qb, qe;
    bool has_q;
    bool no_room; // nothing appended would leave the host (an unclosed '[')
};

// The query is where the parser finds it: in a network URL a '?' inside the
// hash (after a '#' that ended the path) or inside an IPv6 literal starts
// none, so an item written there would be lost to every reader. Blanks and
// quotes around the whole text stay outside: a new query goes before them.
query_place find_query(const char *url)
{
    query_place qp{};
    url_scan s;
    size_t tb, te;
    scan_like_parser(url, &s, &tb, &te);
    if (s.form == FORM_LOCAL) {
        if (s.has_query) {
            qp.has_q = true;
            qp.head_len = s.path.e; // the first '?'
            qp.qb = qp.head_len + 1;
            qp.qe = qp.qb + strcspn(url + qp.qb, "#");
            if (qp.qe > te)
                qp.qe = te;
            return qp;
        }
        qp.head_len = qp.qb = qp.qe = te;
        return qp;
    }
    if (s.has_query) {
        qp.has_q = true;
        qp.head_len = s.path.e; // the '?' that ended the path
        qp.qb = qp.head_len + 1;
        qp.qe = s.query.e;
        return qp;
    }
    // No query yet: the path may still end at a '#', and a new query must go
    // in front of it to stay a query.
    qp.no_room = s.open_bracket;
    qp.head_len = s.has_hash ? s.hash.b - 1 : te;
    qp.qb = qp.qe = qp.head_len;
    return qp;
}

// Splits item "key=value" at its first '='.
bool split_kv_item(const char *item, char *key, size_t ksize, const char **value)
{
    const char *eq = strchr(item, '=');
    if (!eq || size_t(eq - item) >= ksize)
        return false;
    memcpy(key, item, size_t(eq - item));
    key[eq - item] = '\0';
    *value = eq + 1;
    return true;
}

} // namespace

// ---- parsing ----------------------------------------------------------------------------------

int url_parser(url_rec *rec, char (&buf)[URL_TEXT_SIZE], const char *text)
{
    PL_ASSERT_RET(TAG, rec != nullptr, VERR_INVALID_PARAMETER);
    *rec = url_rec{};
    rec->buf = buf;
    memset(buf, 0, URL_TEXT_SIZE);
    return url_parser_imp(rec, text);
}

int url_parser_imp(url_rec *rec, const char *text)
{
    PL_ASSERT_RET(TAG, rec != nullptr && rec->buf != nullptr, VERR_INVALID_PARAMETER);
    rec_set_empty(rec);
    if (!text) {
        LOG_ERR(TAG, "url is NULL\n");
        return VERR_INVALID_PARAMETER;
    }
    const size_t tlen = strnlen(text, URL_TEXT_SIZE);
    if (tlen >= URL_TEXT_SIZE) {
        LOG_ERR(TAG, "url too long: more than %d characters\n", URL_TEXT_SIZE - 1);
        return VERR_INVALID_PARAMETER;
    }
    char t[URL_TEXT_SIZE];
    memcpy(t, text, tlen + 1);
    url_scan s;
    normalize_scan(t, &s);

    unsigned port = 0;
    char why[160];
    if (!port_of(t, s, &port, why, sizeof why)) {
        LOG_ERR(TAG, "%s\n", why);
        return VERR_INVALID_PARAMETER;
    }

    char *buf = rec->buf;
    size_t off = 0;
    const char *proto = s.form == FORM_NAME ? "name" : s.form == FORM_LOCAL ? "file" : t + s.proto.b;
    const size_t plen = s.form == FORM_NET ? s.proto.len() : 4;
    url_rec r{};
    r.buf = buf;
    r.port = uint16_t(port);
    bool ok = (r.protocol = put_field(buf, &off, proto, plen)) != nullptr;
    ok = ok && (r.user = put_field(buf, &off, t + s.user.b, s.user.len())) != nullptr;
    ok = ok && (r.passwd = put_field(buf, &off, t + s.passwd.b, s.passwd.len())) != nullptr;
    ok = ok && (r.host = put_field(buf, &off, t + s.host.b, s.host.len())) != nullptr;
    if (ok && s.form != FORM_LOCAL && s.path.len() == 0)
        ok = (r.path = put_field(buf, &off, "/", 1)) != nullptr;
    else
        ok = ok && (r.path = put_field(buf, &off, t + s.path.b, s.path.len())) != nullptr;
    ok = ok && (r.query = put_field(buf, &off, t + s.query.b, s.query.len())) != nullptr;
    ok = ok && (r.hash = put_field(buf, &off, t + s.hash.b, s.hash.len())) != nullptr;
    if (!ok) {
        // Only texts within a few characters of the limit get here: the
        // terminators of the fields need more room than the text had.
        memset(buf, 0, URL_TEXT_SIZE);
        LOG_ERR(TAG, "url too long: %zu characters do not fit its %d-byte record\n", tlen, URL_TEXT_SIZE);
        return VERR_INVALID_PARAMETER;
    }
    *rec = r;
    return 0;
}

// ---- printing ---------------------------------------------------------------------------------

char *url_fmt(const url_rec *rec, char (&out)[URL_TEXT_SIZE])
{
    PL_ASSERT_RET(TAG, out != nullptr, out);
    out[0] = '\0';
    PL_ASSERT_RET(TAG, rec != nullptr, out);
    str_out o(out, URL_TEXT_SIZE);
    const char *proto = nz(rec->protocol);
    o.add(proto);
    o.add("://");
    if (strcmp(proto, "file") == 0) {
        o.add(nz(rec->path));
        if (*nz(rec->query)) {
            o.add('?');
            o.add(rec->query);
        }
    } else {
        if (*nz(rec->user)) {
            o.add(rec->user);
            if (*nz(rec->passwd)) {
                o.add(':');
                o.add(rec->passwd);
            }
            o.add('@');
        }
        const char *host = nz(rec->host);
        if (strchr(host, ':')) { // IPv6 literal: brackets keep its colons off the port
            o.add('[');
            o.add(host);
            o.add(']');
        } else {
            o.add(host);
        }
        if (rec->port)
            o.addf(":%d", int(rec->port));
        o.add(nz(rec->path));
        if (*nz(rec->query)) {
            o.add('?');
            o.add(rec->query);
        }
        if (*nz(rec->hash)) {
            o.add('#');
            o.add(rec->hash);
        }
    }
    if (!o.ok)
        LOG_ERR(TAG, "url_fmt: the url does not fit %d bytes\n", URL_TEXT_SIZE);
    return out;
}

// ---- hiding secrets ---------------------------------------------------------------------------

namespace {

// What stands in for a password in a log line.
constexpr char k_hidden_pwd[] = "***";
// URLs inside query values inside query values...: deeper ones are hidden whole.
constexpr int k_hide_depth = 4;

void hide_text(std::string &o, const char *t, int depth);

// Appends the items of a query (or hash) q[0, n) with the value of each item
// that is, or holds, a URL with a password written in its hidden form. An
// item is looked at as the readers see it (percent-decoded); an item with
// nothing to hide is kept as written.
void hide_items(std::string &o, const char *q, size_t n, int depth)
{
    size_t pos = 0;
    for (;;) {
        const char *item = q + pos;
        const size_t end = pos + strcspn(item, "&");
        const size_t ilen = (end < n ? end : n) - pos;
        const void *eq = memchr(item, '=', ilen);
        const size_t vb = eq ? size_t(static_cast<const char *>(eq) - item) + 1 : 0;
        const std::string raw(item + vb, ilen - vb);
        std::string plain(raw.size() + 1, '\0');
        if (str_unescape_url_args(raw.c_str(), plain.data(), plain.size()) != 0)
            plain = raw;
        plain.resize(strlen(plain.c_str()));
        std::string hidden;
        if (depth >= k_hide_depth)
            hidden = (plain.find("://") != std::string::npos || plain.find('@') != std::string::npos)
                         ? std::string(k_hidden_pwd)
                         : plain;
        else
            hide_text(hidden, plain.c_str(), depth + 1);
        o.append(item, vb);
        o.append(hidden == plain ? raw : hidden);
        pos += ilen;
        if (pos >= n)
            return;
        o.push_back('&');
        ++pos;
    }
}

// Appends t with its secrets hidden: the password of the URL itself and,
// through hide_items, those inside its query and hash. The parts are where
// the parser finds them (on the trimmed, rewritten text), everything else is
// kept as written.
void hide_text(std::string &o, const char *t, int depth)
{
    url_scan s;
    size_t tb, te;
    scan_like_parser(t, &s, &tb, &te);
    const size_t n = strlen(t);
    size_t pos = 0;
    auto upto = [&](size_t b) {
        o.append(t + pos, b - pos);
        pos = b;
    };
    if (s.passwd.len()) {
        upto(s.passwd.b);
        o.append(k_hidden_pwd);
        pos = s.passwd.e;
    }
    if (s.has_query && s.query.e > s.query.b) {
        upto(s.query.b);
        hide_items(o, t + s.query.b, s.query.len(), depth);
        pos = s.query.e;
    }
    if (s.has_hash && s.hash.e > s.hash.b) {
        upto(s.hash.b);
        hide_items(o, t + s.hash.b, s.hash.len(), depth);
        pos = s.hash.e;
    }
    upto(n);
}

} // namespace

char *url_hide_pwd_fmt(const char *text, char (&out)[URL_TEXT_SIZE])
{
    PL_ASSERT_HARD(TAG, out!=NULL);
    out[0] = '\0';
    if (!text)
        return out;
    std::string o;
    hide_text(o, text, 0);
    str_safecopy_trunc(out, URL_TEXT_SIZE, o.c_str());
    return out;
}

char *url_safe_hide_fmt(const char *text, char (&out)[URL_TEXT_SIZE])
{
    PL_ASSERT_HARD(TAG, out!=NULL);
    out[0] = '\0';
    if (!text)
        return out;
    local_url u(text);
    if (!u.ok) {
        str_safecopy(out, URL_TEXT_SIZE, "url parser error");
        return out;
    }
    const url_rec &r = u.rec;
    str_out o(out, URL_TEXT_SIZE);
    if (strcmp(r.protocol, "file") == 0) {
    } else if (strcmp(r.protocol, "name") == 0) {
        o.add("///");
    } else {
        o.add(r.protocol);
        o.add("://");
    }
    if (*r.user)
        o.add(*r.passwd ? "user:pwd@" : "user@");
    if (*r.host)
        o.add("host");
    if (r.port)
        o.add(":port");
    o.add(r.path);
    if (*r.query) {
        // The query stays readable, but not a password of a URL inside it.
        std::string q;
        hide_items(q, r.query, strlen(r.query), 0);
        o.add('?');
        o.add(q.c_str());
    }
    if (*r.hash)
        o.add("#hash");
    if (!o.ok)
        LOG_ERR(TAG, "url_safe_hide_fmt: the url does not fit %d bytes\n", URL_TEXT_SIZE);
    return out;
}

// ---- wiping secrets in place ------------------------------------------------------------------

namespace {

// A text as a reader sees it, with the bytes of the caller's text each of
// its characters came from: character i from [from[i], to[i]).
struct traced {
    std::string text;
    std::vector<size_t> from, to;
    void add(char c, size_t b, size_t e)
    {
        text.push_back(c);
        from.push_back(b);
        to.push_back(e);
    }
};

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// t[b, e) percent-decoded as str_unescape_url_args decodes it (a decoded NUL
// ends the text, as it ends the reader's), each character traced back.
traced decode_traced(const traced &t, size_t b, size_t e)
{
    traced o;
    for (size_t i = b; i < e;) {
        if (t.text[i] != '%') {
            o.add(t.text[i], t.from[i], t.to[i]);
            ++i;
            continue;
        }
        if (i + 1 >= e)
            break;
        const int hi = hex_digit(t.text[i + 1]);
        if (hi < 0) {
            o.add(t.text[i + 1], t.from[i], t.to[i + 1]);
            i += 2;
            continue;
        }
        if (i + 2 >= e)
            break;
        const int lo = hex_digit(t.text[i + 2]);
        if (lo >= 0) {
            const char c = char(hi << 4 | lo);
            if (!c)
                break;
            o.add(c, t.from[i], t.to[i + 2]);
        }
        i += 3;
    }
    return o;
}

void wipe_text(const traced &t, int depth, std::vector<bool> &mark);

void mark_span(const traced &t, size_t b, size_t e, std::vector<bool> &mark)
{
    for (size_t i = b; i < e; ++i)
        for (size_t k = t.from[i]; k < t.to[i]; ++k)
            mark[k] = true;
}

// The items of a query (or hash) t[b, e), as hide_items reads them.
void wipe_items(const traced &t, size_t b, size_t e, int depth, std::vector<bool> &mark)
{
    for (size_t pos = b; pos <= e;) {
        size_t ie = t.text.find('&', pos);
        if (ie == std::string::npos || ie > e)
            ie = e;
        const size_t eq = t.text.find('=', pos);
        const size_t vb = eq < ie ? eq + 1 : pos;
        const traced value = decode_traced(t, vb, ie);
        if (depth >= k_hide_depth) {
            if (value.text.find("://") != std::string::npos || value.text.find('@') != std::string::npos)
                mark_span(t, vb, ie, mark);
        } else {
            wipe_text(value, depth + 1, mark);
        }
        pos = ie + 1;
    }
}

// Marks the bytes of the password of t's URL and of those inside its query
// and hash.
void wipe_text(const traced &t, int depth, std::vector<bool> &mark)
{
    url_scan s;
    size_t tb, te;
    scan_like_parser(t.text.c_str(), &s, &tb, &te);
    mark_span(t, s.passwd.b, s.passwd.e, mark);
    if (s.has_query && s.query.e > s.query.b)
        wipe_items(t, s.query.b, s.query.e, depth, mark);
    if (s.has_hash && s.hash.e > s.hash.b)
        wipe_items(t, s.hash.b, s.hash.e, depth, mark);
}

} // namespace

size_t url_wipe_pwd(char *text, int query_only)
{
    if (!text)
        return 0;
    traced t;
    const size_t n = strlen(text);
    t.text.assign(text, n);
    t.from.resize(n);
    t.to.resize(n);
    for (size_t i = 0; i < n; ++i) {
        t.from[i] = i;
        t.to[i] = i + 1;
    }
    std::vector<bool> mark(n, false);
    if (query_only)
        wipe_items(t, 0, n, 0, mark);
    else
        wipe_text(t, 0, mark);
    size_t count = 0;
    for (size_t i = 0; i < n; ++i)
        if (mark[i]) {
            text[i] = '*';
            ++count;
        }
    return count;
}

void url_dump(const url_rec *rec)
{
    PL_ASSERT_RET_VOID(TAG, rec != nullptr);
    if (*nz(rec->protocol))
        printf("protocol=%s\n", rec->protocol);
    if (*nz(rec->user))
        printf("user=%s\n", rec->user);
    if (*nz(rec->passwd))
        printf("passwd=%s\n", rec->passwd);
    if (*nz(rec->host))
        printf("host=%s\n", rec->host);
    if (rec->port)
        printf("port=%d\n", int(rec->port));
    if (*nz(rec->path))
        printf("path=%s\n", rec->path);
    if (*nz(rec->query))
        printf("query=%s\n", rec->query);
    if (*nz(rec->hash))
        printf("hash=%s\n", rec->hash);
}

// ---- single-field readers ---------------------------------------------------------------------

int url_get_protocol(const char *text, char (&out)[URL_FIELD_SIZE])
{
    PL_ASSERT_RET(TAG, out != nullptr, -1);
    out[0] = '\0';
    local_url u(text);
    if (!u.ok)
        return -1;
    return str_safecopy(out, URL_FIELD_SIZE, u.rec.protocol) == 0 ? 0 : -1;
}

char *url_get_protocol_hint(const char *text, char (&out)[URL_FIELD_SIZE])
{
    PL_ASSERT_RET(TAG, out != nullptr, out);
    local_url u(text);
    const char *proto = u.ok ? u.rec.protocol : "file";
    if (!STR_FMT_OK(str_sprintf_s(out, URL_FIELD_SIZE, "%s://...", proto), URL_FIELD_SIZE))
        out[0] = '\0';
    return out;
}

int url_get_type(const char *text)
{
    local_url u(text);
    if (!u.ok)
        return URL_TYPE_UNKNOWN;
    static constexpr struct {
        const char *name;
        int kind;
    } k_kinds[] = {
        {"file", URL_TYPE_FILE}, {"http", URL_TYPE_HTTP}, {"https", URL_TYPE_HTTP}, {"zkp", URL_TYPE_ZKP},
        {"zkps", URL_TYPE_ZKP},  {"ftp", URL_TYPE_FTP},   {"ftps", URL_TYPE_FTP},   {"dev", URL_TYPE_DEV},
        {"net", URL_TYPE_NET},   {"name", URL_TYPE_NAME},
    };
    for (const auto &k : k_kinds)
        if (strcasecmp(u.rec.protocol, k.name) == 0)
            return k.kind;
    return URL_TYPE_UNKNOWN;
}

static int get_field(const char *text, char *out, char *url_rec::*field)
{
    PL_ASSERT_RET(TAG, out != nullptr, -1);
    out[0] = '\0';
    local_url u(text);
    if (!u.ok || !*(u.rec.*field))
        return -1;
    return str_safecopy(out, URL_FIELD_SIZE, u.rec.*field) == 0 ? 0 : -1;
}

int url_get_host(const char *text, char (&out)[URL_FIELD_SIZE]) { return get_field(text, out, &url_rec::host); }
int url_get_path(const char *text, char (&out)[URL_FIELD_SIZE]) { return get_field(text, out, &url_rec::path); }

char *url_get_path_name(const char *text, char (&out)[URL_FIELD_SIZE])
{
    PL_ASSERT_RET(TAG, out != nullptr, out);
    if (get_field(text, out, &url_rec::path) != 0)
        return out;
    char *slash = strrchr(out, '/');
    char *bslash = strrchr(out, '\\');
    char *last = slash > bslash ? slash : bslash;
    return last ? last + 1 : out;
}

int url_port_check(const char *text, char *why, size_t size)
{
    if (!text)
        return 0;
    url_scan s;
    size_t tb, te;
    scan_like_parser(text, &s, &tb, &te);
    unsigned port;
    char tmp[160];
    if (port_of(text, s, &port, tmp, sizeof tmp))
        return 0;
    if (why && size)
        str_safecopy_trunc(why, size, tmp);
    return -1;
}

int url_host_unclosed(const char *text)
{
    if (!text)
        return 0;
    url_scan s;
    size_t tb, te;
    scan_like_parser(text, &s, &tb, &te);
    return s.form != FORM_LOCAL && s.open_bracket ? 1 : 0;
}

// ---- protocol helpers -------------------------------------------------------------------------

int url_default_port(const url_rec *rec)
{
    PL_ASSERT_RET(TAG, rec != nullptr, 0);
    if (rec->port)
        return rec->port;
    if (strcasecmp(nz(rec->protocol), "http") == 0)
        return 80;
    if (strcasecmp(nz(rec->protocol), "https") == 0)
        return 443;
    return 0;
}

int url_is_net_protocol(const url_rec *rec)
{
    PL_ASSERT_RET(TAG, rec != nullptr, 0);
    return str_in_sep_list(nz(rec->protocol), "tcp|tcps|http|https|zkp|zkps", '|') == 0 ? 1 : 0;
}

int url_is_secure_protocol(const url_rec *rec)
{
    PL_ASSERT_RET(TAG, rec != nullptr, 0);
    return str_in_sep_list(nz(rec->protocol), "tcps|https|zkps", '|') == 0 ? 1 : 0;
}

// ---- query readers ----------------------------------------------------------------------------

// The raw (still encoded) value of key into value (URL_TEXT_SIZE bytes).
static bool query_lookup(const char *text, const char *key, char *value)
{
    if (!text || !key)
        return false;
    // A text without '?' is a bare query. Otherwise the query is the
    // parser's (none when the '?' stands in a network URL's hash), ending at
    // '#' in a local path too.
    const char *part = text;
    size_t plen;
    if (!strchr(text, '?')) {
        plen = strcspn(part, "#");
    } else {
        url_scan s;
        size_t tb, te;
        scan_like_parser(text, &s, &tb, &te);
        if (!s.has_query)
            return false;
        part = text + s.query.b;
        plen = s.form == FORM_LOCAL ? strcspn(part, "#") : s.query.len();
        if (plen > te - s.query.b)
            plen = te - s.query.b;
    }
    if (plen >= URL_TEXT_SIZE)
        return false;
    char q[URL_TEXT_SIZE];
    memcpy(q, part, plen);
    q[plen] = '\0';
    return str_kv_get(q, "&", key, value, URL_TEXT_SIZE) == 0;
}

int url_get_query_imp(const char *text, const char *key, const char *def, char *out, size_t size)
{
    PL_ASSERT_RET(TAG, out != nullptr && size > 0, -1);
    char raw[URL_TEXT_SIZE];
    if (query_lookup(text, key, raw)) {
        char dec[URL_TEXT_SIZE];
        if (str_unescape_url_args(raw, dec, sizeof dec) != 0 || str_safecopy(out, size, dec) != 0) {
            out[0] = '\0';
            return -1;
        }
        return 0;
    }
    if (!def || str_safecopy(out, size, def) != 0)
        out[0] = '\0';
    return -1;
}

char *url_get_query_buf(const char *text, const char *key, const char *def, char *out, size_t size)
{
    url_get_query_imp(text, key, def, out, size);
    return out;
}

char *url_get_query_dup(const char *text, const char *key, const char *def)
{
    char v[URL_FIELD_SIZE];
    if (url_get_query_imp(text, key, nullptr, v, sizeof v) == 0)
        return os_strdup(v);
    return def ? os_strdup(def) : nullptr;
}

int url_get_query_int(const char *text, const char *key, int def)
{
    char v[64];
    url_get_query_imp(text, key, "", v, sizeof v);
    return *v ? str_atoi(v) : def;
}

long long url_get_query_ll(const char *text, const char *key, long long def)
{
    char v[64];
    url_get_query_imp(text, key, "", v, sizeof v);
    return *v ? str_atoll(v) : def;
}

uint64_t url_get_query_size(const char *text, const char *key, uint64_t def)
{
    char v[64];
    url_get_query_imp(text, key, "", v, sizeof v);
    return *v ? str_parse_size(v) : def;
}

int url_query_exist(const char *text, const char *key)
{
    char raw[URL_TEXT_SIZE];
    return query_lookup(text, key, raw) ? 1 : 0;
}

str_map *url_get_query_map(const char *text)
{
    local_url u(text);
    if (!u.ok || !*u.rec.query)
        return nullptr;
    str_map *m = str_map_new(0x101);
    if (!m)
        return nullptr;
    char *item = u.rec.query;
    for (;;) {
        char *amp = strchr(item, '&');
        if (amp)
            *amp = '\0';
        char key[URL_FIELD_SIZE];
        const char *raw;
        if (!split_kv_item(item, key, sizeof key, &raw)) {
            char shown[URL_TEXT_SIZE];
            LOG_ERR(TAG, "str_get_key_and_val [%s] failed\n", url_hide_pwd_fmt(item, shown));
            break;
        }
        char dec[URL_TEXT_SIZE];
        if (str_unescape_url_args(raw, dec, sizeof dec) != 0 || str_map_set(m, key, dec) != 0) {
            str_map_free(m);
            return nullptr;
        }
        if (!amp)
            break;
        item = amp + 1;
    }
    return m;
}

// ---- query writers ----------------------------------------------------------------------------

int url_set_query(char (&url)[URL_TEXT_SIZE], const char *key, const char *value, int escape, int mode)
{
    PL_ASSERT_RET(TAG, url != nullptr, -1);
    char why[64];
    if (!key || !value)
        return log_set_query_err(url, key, value, escape, mode, "key or val cannot be null");
    if (!*key)
        return log_set_query_err(url, key, value, escape, mode, "key cannot be empty");
    if (strpbrk(key, k_key_forbidden)) {
        str_sprintf_s(why, sizeof why, "key cannot contain [%s]", k_key_forbidden);
        return log_set_query_err(url, key, value, escape, mode, why);
    }
    if (!escape && strchr(value, '&')) {
        str_sprintf_s(why, sizeof why, "escape_val cannot contain [%s]", "&");
        return log_set_query_err(url, key, value, escape, mode, why);
    }
    if (mode < URL_QUERY_SET_ALWAYS || mode > URL_QUERY_DEL_EXIST)
        return log_set_query_err(url, key, value, escape, mode, "invalid mode");

    char val[URL_TEXT_SIZE];
    if ((escape ? str_escape_url_args(value, val, sizeof val) : str_safecopy(val, sizeof val, value)) != 0)
        return log_set_query_err(url, key, value, escape, mode, "val too long");
    if (!*val && mode != URL_QUERY_DEL_EXIST)
        return log_set_query_err(url, key, value, escape, mode, "val cannot be empty");

    const query_place qp = find_query(url);
    const bool replace = mode == URL_QUERY_SET_ALWAYS || mode == URL_QUERY_SET_EXIST;
    const bool add = mode == URL_QUERY_SET_ALWAYS || mode == URL_QUERY_SET_NOT_EXIST;
    if (qp.no_room && add)
        return log_set_query_err(url, key, value, escape, mode, "host has no closing ']'");
    const size_t klen = strlen(key);

    char res[URL_TEXT_SIZE];
    str_out o(res, sizeof res);
    o.add(url, qp.head_len);
    char sep = '?';
    bool matched = false;
    if (qp.qe > qp.qb) {
        size_t b = qp.qb;
        for (;;) {
            const char *item = url + b;
            size_t e = b + strcspn(item, "&#");
            if (e > qp.qe) // quotes around the whole text are not part of the query
                e = qp.qe;
            const size_t ilen = e - b;
            const bool match = ilen > klen && strncmp(item, key, klen) == 0 && item[klen] == '=';
            matched = matched || match;
            if (match && replace) {
                o.add(sep);
                o.add(key);
                o.add('=');
                o.add(val);
                sep = '&';
            } else if (!(match && mode == URL_QUERY_DEL_EXIST)) {
                o.add(sep);
                o.add(item, ilen);
                sep = '&';
            }
            if (e >= qp.qe || url[e] != '&')
                break;
            b = e + 1;
        }
    }
    if (add && !matched) {
        o.add(sep);
        o.add(key);
        o.add('=');
        o.add(val);
    }
    o.add(url + qp.qe);
    if (!o.ok)
        return log_set_query_err(url, key, value, escape, mode, "url too long");
    memcpy(url, res, o.len + 1);
    return 0;
}

int url_set_query_esc(char (&url)[URL_TEXT_SIZE], const char *key, const char *value, int mode)
{
    return url_set_query(url, key, value, 1, mode);
}
int url_set_query_str(char (&url)[URL_TEXT_SIZE], const char *key, const char *value)
{
    return url_set_query(url, key, value, 1, URL_QUERY_SET_ALWAYS);
}
int url_set_query_str2(char (&url)[URL_TEXT_SIZE], const char *key, const char *value)
{
    return url_set_query_str(url, key, value);
}
int url_set_query_raw(char (&url)[URL_TEXT_SIZE], const char *key, const char *value)
{
    return url_set_query(url, key, value, 0, URL_QUERY_SET_ALWAYS);
}
int url_del_query(char (&url)[URL_TEXT_SIZE], const char *key)
{
    return url_set_query(url, key, "", 1, URL_QUERY_DEL_EXIST);
}

int url_set_query_int(char (&url)[URL_TEXT_SIZE], const char *key, int number, int mode)
{
    char v[32];
    str_sprintf_s(v, sizeof v, "%d", number);
    return url_set_query(url, key, v, 1, mode);
}
int url_set_query_long(char (&url)[URL_TEXT_SIZE], const char *key, long number, int mode)
{
    char v[64];
    str_sprintf_s(v, sizeof v, "%li", number);
    return url_set_query(url, key, v, 1, mode);
}
int url_set_query_int1(char (&url)[URL_TEXT_SIZE], const char *key, int number)
{
    return url_set_query_int(url, key, number, URL_QUERY_SET_ALWAYS);
}
int url_set_query_int2(char (&url)[URL_TEXT_SIZE], const char *key, int number)
{
    return url_set_query_int1(url, key, number);
}
int url_set_query_long1(char (&url)[URL_TEXT_SIZE], const char *key, long number)
{
    return url_set_query_long(url, key, number, URL_QUERY_SET_ALWAYS);
}
int url_set_query_long2(char (&url)[URL_TEXT_SIZE], const char *key, long number)
{
    return url_set_query_long1(url, key, number);
}

static int set_query_base64(char (&url)[URL_TEXT_SIZE], const char *key, const char *value, bool urlsafe)
{
    if (!value)
        return log_set_query_err(url, key, value, 1, URL_QUERY_SET_ALWAYS, "key or val cannot be null");
    char enc[URL_TEXT_SIZE];
    // The NUL goes with the text, so the receiver gets a terminated string.
    const size_t n = strlen(value) + 1;
    const int r = urlsafe ? str_base64url_encode(value, n, enc, sizeof enc) : str_base64_encode(value, n, enc, sizeof enc);
    if (r < 0)
        return -1;
    return url_set_query_str(url, key, enc);
}
int url_set_query_base64(char (&url)[URL_TEXT_SIZE], const char *key, const char *value)
{
    return set_query_base64(url, key, value, false);
}
int url_set_query_base64url(char (&url)[URL_TEXT_SIZE], const char *key, const char *value)
{
    return set_query_base64(url, key, value, true);
}

static int set_query_kv(char (&url)[URL_TEXT_SIZE], const char *item, int escape)
{
    char key[URL_FIELD_SIZE];
    const char *value;
    if (!item || !split_kv_item(item, key, sizeof key, &value))
        return -1;
    return url_set_query(url, key, value, escape, URL_QUERY_SET_ALWAYS);
}
int url_set_query_kv(char (&url)[URL_TEXT_SIZE], const char *item) { return set_query_kv(url, item, 1); }
int url_set_query_kv_raw(char (&url)[URL_TEXT_SIZE], const char *item) { return set_query_kv(url, item, 0); }

int url_add_query_str(char (&url)[URL_TEXT_SIZE], const char *item)
{
    PL_ASSERT_RET(TAG, item != nullptr, -1);
    const query_place qp = find_query(url);
    if (qp.no_room) {
        LOG_ERR(TAG, "url_add_query_str: host has no closing ']'\n");
        return -1;
    }
    char res[URL_TEXT_SIZE];
    str_out o(res, sizeof res);
    o.add(url, qp.qe);
    o.add(qp.has_q ? '&' : '?');
    o.add(item);
    o.add(url + qp.qe);
    if (!o.ok) {
        LOG_ERR(TAG, "url_add_query_str: the url does not fit %d bytes\n", URL_TEXT_SIZE);
        return -1;
    }
    memcpy(url, res, o.len + 1);
    return 0;
}

int url_add_path(char (&url)[URL_TEXT_SIZE], const char *segment)
{
    PL_ASSERT_RET(TAG, segment != nullptr, -1);
    const query_place qp = find_query(url);
    if (qp.no_room) {
        LOG_ERR(TAG, "url_add_path: host has no closing ']'\n");
        return -1;
    }
    char res[URL_TEXT_SIZE];
    str_out o(res, sizeof res);
    o.add(url, qp.head_len);
    if (qp.has_q && segment[0] != '/' && segment[0] != '\\')
        o.add('/');
    o.add(segment);
    o.add(url + qp.head_len);
    if (!o.ok) {
        LOG_ERR(TAG, "url_add_path: the url does not fit %d bytes\n", URL_TEXT_SIZE);
        return -1;
    }
    memcpy(url, res, o.len + 1);
    return 0;
}

// ---- other URL texts --------------------------------------------------------------------------

char *url_normalize(char *text)
{
    if (!text)
        return text;
    url_scan s;
    normalize_scan(text, &s);
    return text;
}

// A normalised copy of text in out; false when text is NULL or too long.
static bool normalized_copy(const char *text, char *out)
{
    out[0] = '\0';
    if (!text || strnlen(text, URL_TEXT_SIZE) >= URL_TEXT_SIZE)
        return false;
    strcpy(out, text);
    url_normalize(out);
    return true;
}

int url_is_abs(const char *text)
{
    char t[URL_TEXT_SIZE];
    if (!normalized_copy(text, t))
        return 0;
    return (strstr(t, "://") || t[0] == '/' || (t[0] && t[1] == ':')) ? 1 : 0;
}

int url_is_plain(const char *text)
{
    char t[URL_TEXT_SIZE];
    if (!normalized_copy(text, t))
        return 0;
    return strstr(t, "://") ? 0 : 1;
}

int url_has_vol_prefix(const char *text)
{
    return (text && is_digit(text[0]) && text[1] == ':') ? 1 : 0;
}

int url_split_name(const char *text, char (&name)[URL_TEXT_SIZE], char (&rest)[URL_TEXT_SIZE], int keep_slash)
{
    name[0] = rest[0] = '\0';
    char t[URL_TEXT_SIZE];
    if (!normalized_copy(text, t))
        return -1;
    if (strncmp(t, "///", 3) != 0) {
        strcpy(rest, t);
        return 0;
    }
    // The name ends where the path or the options begin.
    const char *n = t + 3;
    const size_t nlen = strcspn(n, "/?");
    memcpy(name, n, nlen);
    name[nlen] = '\0';
    const char *r = n + nlen;
    if (!*r)
        strcpy(rest, keep_slash ? "" : "/");
    else
        strcpy(rest, (*r == '/' && !keep_slash) ? r + 1 : r);
    return 0;
}

char *url_mem_fmt(char *out, const void *pointer, size_t size)
{
    PL_ASSERT_RET(TAG, out != nullptr, out);
    str_sprintf_s(out, 64, "mem://%p_%zu", pointer, size);
    return out;
}

int url_mem_parse(const char *text, void **pointer, size_t *size)
{
    if (!text || !pointer || !size)
        return -1;
    void *p = nullptr;
    size_t n = 0;
    if (sscanf(text, "mem://%p_%zu", &p, &n) != 2)
        return -1;
    *pointer = p;
    *size = n;
    return 0;
}

static char *url_quote_with(char *url, char *(*quote)(const char *, char *, size_t))
{
    if (!url)
        return url;
    char tmp[URL_TEXT_SIZE];
    if (strnlen(url, URL_TEXT_SIZE) >= URL_TEXT_SIZE)
        return url;
    quote(url, tmp, sizeof(tmp));
    if (tmp[0] != '\0')
        memcpy(url, tmp, strlen(tmp) + 1);
    return url;
}

char *url_quote(char (&url)[URL_TEXT_SIZE]) { return url_quote_with(url, str_quote_dq); }
char *url_quote_sq(char (&url)[URL_TEXT_SIZE]) { return url_quote_with(url, str_quote_sq); }
