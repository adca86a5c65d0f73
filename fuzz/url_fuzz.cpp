// Fuzz target: the URL parser, its print forms, the query readers and
// writers and the session-reference splitter on arbitrary texts. Besides
// AddressSanitizer's checks it asserts what must hold for every text: the
// fields stay inside the record's buffer, normalising first changes nothing,
// and no writer leaves a text longer than a URL buffer; wiping passwords in
// place keeps the length and writes nothing but '*'.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/str_vector.h"
#include "libpal/string/url.h"

static std::string fields(const url_rec &r)
{
    return std::string(r.protocol) + '\x01' + r.user + '\x01' + r.passwd + '\x01' + r.host + '\x01' +
           std::to_string(r.port) + '\x01' + r.path + '\x01' + r.query + '\x01' + r.hash;
}

static void check_inside(const url_rec &r, const char *buf)
{
    for (const char *f : {r.protocol, r.user, r.passwd, r.host, r.path, r.query, r.hash}) {
        CHECK(f >= buf && f < buf + URL_TEXT_SIZE);
        CHECK(memchr(f, 0, size_t(buf + URL_TEXT_SIZE - f)) != nullptr);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > URL_TEXT_SIZE + 100)
        return 0;
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *t = input.c_str(); // stops at the first NUL, as any C caller would
    const size_t tlen = strlen(t);

    static char buf[URL_TEXT_SIZE], buf2[URL_TEXT_SIZE], out[URL_TEXT_SIZE], work[URL_TEXT_SIZE];
    url_rec r, r2;
    const int rc = url_parser(&r, buf, t);
    CHECK(rc == 0 || rc == -2);
    check_inside(r, buf);
    if (rc != 0)
        CHECK(fields(r) == std::string("\x01\x01\x01\x01" "0\x01\x01\x01", 8));

    if (tlen < URL_TEXT_SIZE) {
        // Without backslashes, normalising is exactly str_trim_all.
        if (!strchr(t, '\\')) {
            memcpy(work, t, tlen + 1);
            memcpy(out, t, tlen + 1);
            CHECK(strcmp(url_normalize(work), str_trim_all(out)) == 0);
        }
        memcpy(work, t, tlen + 1);
        url_normalize(work);
        const int rc2 = url_parser(&r2, buf2, work);
        CHECK(rc2 == rc);
        if (rc == 0)
            CHECK(fields(r2) == fields(r));
    }

    if (rc == 0) {
        url_fmt(&r, out);
        CHECK(strlen(out) < URL_TEXT_SIZE);
        if (url_parser(&r2, buf2, out) == 0)
            check_inside(r2, buf2);
        url_default_port(&r);
        url_is_net_protocol(&r);
        url_is_secure_protocol(&r);
    }
    url_safe_hide_fmt(t, out);
    CHECK(strlen(out) < URL_TEXT_SIZE);

    char field[URL_FIELD_SIZE];
    url_get_type(t);
    url_get_protocol(t, field);
    url_get_protocol_hint(t, field);
    url_get_host(t, field);
    url_get_path(t, field);
    const char *name = url_get_path_name(t, field);
    CHECK(name >= field && name < field + sizeof field);
    url_is_abs(t);
    url_is_plain(t);
    url_has_vol_prefix(t);

    // query readers; the key is the start of the text, so odd keys are tried too
    char key[9] = {};
    strncpy(key, t, strcspn(t, "=&") < 8 ? strcspn(t, "=&") : 8);
    char small[16];
    url_get_query_buf(t, key, "d", small, sizeof small);
    url_get_query_buf(t, "a", nullptr, out, sizeof out);
    url_get_query_int(t, "b", 1);
    url_get_query_ll(t, key, 1);
    url_get_query_size(t, "c", 1);
    url_query_exist(t, key);
    os_free(url_get_query_dup(t, "a", nullptr));
    if (str_map *m = url_get_query_map(t))
        str_map_free(m);

    // writers on a URL buffer holding the text
    if (tlen < URL_TEXT_SIZE) {
        for (int mode = 0; mode <= 5; ++mode) {
            memcpy(work, t, tlen + 1);
            url_set_query(work, mode & 1 ? key : "k", "v w&x", 1, mode);
            CHECK(strlen(work) < URL_TEXT_SIZE);
            url_set_query(work, "k", "raw", 0, mode);
            CHECK(strlen(work) < URL_TEXT_SIZE);
        }
        // An item that a writer reports as set is in the query the parser finds.
        memcpy(work, t, tlen + 1);
        if (url_set_query_str(work, "k", "v w&x") == 0 && url_parser(&r2, buf2, work) == 0)
            CHECK(strstr(r2.query, "k=v%20w%26x") != nullptr);
        memcpy(work, t, tlen + 1);
        url_set_query_base64url(work, "b", t + (tlen > 64 ? tlen - 64 : 0));
        url_set_query_kv(work, "x=y=z");
        url_add_query_str(work, "q=1");
        CHECK(strlen(work) < URL_TEXT_SIZE);
        url_add_path(work, "seg");
        CHECK(strlen(work) < URL_TEXT_SIZE);
        memcpy(work, "zkp://h/p?a=1", 14);
        url_set_query_kv_raw(work, t); // the text as an item
        CHECK(strlen(work) < URL_TEXT_SIZE);
    }

    // Passwords wiped in place: the length stays, only '*' is written.
    for (int query_only = 0; query_only <= 1; ++query_only) {
        std::string w = input.substr(0, tlen);
        const size_t wiped = url_wipe_pwd(w.data(), query_only);
        CHECK(strlen(w.c_str()) == tlen && wiped <= tlen);
        for (size_t i = 0; i < tlen; ++i)
            CHECK(w[i] == t[i] || w[i] == '*');
    }
    url_port_check(t, small, sizeof small);
    url_host_unclosed(t);

    char nm[URL_TEXT_SIZE], rest[URL_TEXT_SIZE];
    for (int keep = 0; keep <= 1; ++keep)
        if (url_split_name(t, nm, rest, keep) == 0)
            CHECK(strlen(nm) < URL_TEXT_SIZE && strlen(rest) < URL_TEXT_SIZE);

    void *p;
    size_t n;
    url_mem_parse(t, &p, &n);
    return 0;
}
