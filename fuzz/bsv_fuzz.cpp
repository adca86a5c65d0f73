// Fuzz target: binary log records read back. The input is a record (or a
// packet) as a file, a receiver or another process may hand it over: it is
// read with every layout of the log types, field by field and by name, as a
// packet with its envelope and inner record, and through a log-record reader
// (queued, then turned back into text lines in buffers of exact sizes).
// Every text handed back must lie inside the bytes given, its NUL included,
// or be the empty text; every line must fit its buffer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "libbsv/bsv.h"
#include "libpal/basic/pl_base.h"

namespace {

// s is "" or a text whose every byte and NUL lie in [p, p + n).
void check_text(const char *s, const uint8_t *p, size_t n)
{
    CHECK(s);
    const uint8_t *u = (const uint8_t *)s;
    if (u >= p && u < p + n) {
        CHECK(memchr(u, 0, (size_t)(p + n - u)) != nullptr);
        return;
    }
    CHECK(s[0] == '\0');
}

void check_log(const bsv_log_t &lg, const uint8_t *p, size_t n)
{
    for (const char *s : {lg.tag, lg.tid_name, lg.file, lg.line, lg.func, lg.msg})
        check_text(s, p, n);
}

void read_fields(const bsv_value_t *v, const uint8_t *p, int n)
{
    const int count = bsv_value_get_count(v);
    for (int i = 0; i < count; i++) {
        const bsv_field_t *f = bsv_value_get_name(v, i);
        CHECK(f && strnlen(f->name, sizeof f->name) < sizeof f->name);
        value2_t out{};
        CHECK(bsv_value_get_by_name(v, p, n, f->name, &out) == 0);
        if (f->type == BSV_VT_STR) {
            check_text(bsv_value_get_str(v, p, n, i), p, (size_t)n);
            check_text(out.v.str, p, (size_t)n);
        } else {
            const uint64_t x = bsv_value_get(v, p, n, i);
            CHECK(out.v.u64 == x);
            // A number the record does not hold whole reads 0.
            if (f->offset + f->size > n)
                CHECK(x == 0);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size < 1 || size > 4 * BSV_PKT_MAX)
        return 0;
    const uint8_t sel = data[0];
    // An exact heap copy of the record, so a read past the end is caught.
    std::vector<uint8_t> in(data + 1, data + size);
    const int n = (int)in.size();
    const uint8_t *p = in.data();

    static bsv_value_t *layouts[] = {bsv_type_open_value(BSV_TYPE_LOG), bsv_type_open_value(BSV_TYPE_LOG_BE),
                                     bsv_type_open_value(BSV_TYPE_KLOG), bsv_type_open_value(BSV_TYPE_ENV)};
    for (const bsv_value_t *v : layouts) {
        CHECK(v);
        read_fields(v, p, n);
    }
    bsv_log_t lg;
    for (const bsv_value_t *v : {(const bsv_value_t *)nullptr, (const bsv_value_t *)layouts[1]}) {
        const int r = bsv_parse_log(p, n, v, &lg);
        CHECK(r == 0 || r == -1);
        CHECK(r == -1 || n >= BSV_LOG_FIXED);
        check_log(lg, p, (size_t)n);
    }
    if (bsv_parse_klog(p, n, nullptr, &lg) == 0)
        CHECK(n >= BSV_KLOG_FIXED);
    check_log(lg, p, (size_t)n);

    // As a packet: checked (deciphered in place when it says so), then its
    // envelope and the record inside.
    std::vector<uint8_t> pkt(in);
    const int type = bsv_parse_net_type(pkt.data(), n);
    if (type == BSV_TYPE_ENV || type == BSV_TYPE_ENV_BE) {
        bsv_env_t env;
        if (bsv_parse_env(pkt.data(), n, nullptr, &env) == 0) {
            check_text(env.hostname, pkt.data(), pkt.size());
            CHECK(env.data_len >= 0);
            CHECK(env.data >= pkt.data() && env.data + env.data_len <= pkt.data() + n);
            std::vector<uint8_t> inner(env.data, env.data + env.data_len);
            if (bsv_parse_log(inner.data(), (int)inner.size(), nullptr, &lg) == 0)
                check_log(lg, inner.data(), inner.size());
        }
    }

    // Through a log-record reader: queued as the log routine queues a
    // record, read back as text into a buffer of a size the input picks.
    static bsv_log_reader_t *reader = bsv_open_log();
    CHECK(reader);
    bsv_reg_write(BSV_TYPE_LOG, p, n);
    const size_t cap = sel & 0x80 ? 1 + (sel & 0x7f) : 4096;
    std::vector<char> line(cap);
    for (int i = 0; i < 16; i++) {
        int level = -1;
        const int r = bsv_read_log(reader, &level, line.data(), (int)cap);
        if (r == 0)
            break;
        if (r > 0) {
            CHECK((size_t)r < cap && strlen(line.data()) == (size_t)r);
            CHECK(level >= 0 && level <= 255);
        }
    }
    const uint8_t *raw = nullptr;
    CHECK(bsv_read_raw_log(reader, &raw) == 0);
    return 0;
}
