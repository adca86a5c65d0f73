// The record type registry, its readers and the log-record readers.
#include <atomic>
#include <cassert>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

#include "libbsv/bsv.h"
#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/memory/rbuf/rbuf.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"

#define TAG "bsv"

namespace {

// Guards s_types, every type's reader array and count, each reader's rules
// and filter layout pointers, and the fan-out. It lives as long as the
// process, so a log call racing with bsv_reg_exit never meets a freed
// mutex. Nothing logs while holding it.
std::mutex s_reg_mu;
bsv_type_t *s_types[BSV_REG_MAX_TYPES];
// Readers of any type; lets bsv_reg_write skip the mutex when there are none.
std::atomic<uint32_t> s_reader_total{0};

bsv_type_t s_log_type;
std::atomic<bool> s_log_registered{false};

void set_err(char *err, const char *text)
{
    if (err)
        str_safecopy(err, BSV_ERR_SIZE, text);
}

// Under s_reg_mu: the registered type named name[0..len), or NULL.
bsv_type_t *find_type_locked(const char *name, size_t len)
{
    for (bsv_type_t *t : s_types)
        if (t && t->name && strlen(t->name) == len && memcmp(t->name, name, len) == 0)
            return t;
    return nullptr;
}

bsv_type_t *find_type_id_locked(int id)
{
    for (bsv_type_t *t : s_types)
        if (t && (int)t->type_id == id)
            return t;
    return nullptr;
}

// Under s_reg_mu: takes r out of its type's array. True when it was there.
bool remove_locked(bsv_reader_t *r)
{
    bsv_type_t *t = r->type;
    if (!t || !t->readers)
        return false;
    for (uint32_t i = 0; i < t->max_readers; i++) {
        if (t->readers[i] == r) {
            t->readers[i] = nullptr;
            assert(t->reader_count > 0);
            t->reader_count--;
            s_reader_total.fetch_sub(1);
            return true;
        }
    }
    return false;
}

// Frees a reader already out of every array (may log).
void free_reader(bsv_reader_t *r)
{
    if (r->ring)
        rbuf_exit(r->ring);
    if (r->rules)
        qexpr_free(r->rules);
    if (r->filter_layout)
        bsv_value_exit(r->filter_layout);
    os_free(r);
}

} // namespace

int bsv_reg_add(bsv_type_t *type)
{
    PL_ASSERT_RET(TAG, type!=NULL, -1);
    // Allocated before taking the mutex; freed again when not needed.
    bsv_reader_t **arr = (bsv_reader_t **)os_calloc(type->max_readers ? type->max_readers : 1, sizeof(*arr));
    int ret = -1;
    {
        std::lock_guard<std::mutex> g(s_reg_mu);
        bool known = false;
        for (bsv_type_t *t : s_types)
            known = known || t == type;
        if (known) {
            ret = 0;
        } else if (arr) {
            for (bsv_type_t *&slot : s_types) {
                if (!slot) {
                    type->readers = arr;
                    type->reader_count = 0;
                    slot = type;
                    arr = nullptr;
                    ret = 0;
                    break;
                }
            }
        }
    }
    if (arr)
        os_free(arr);
    return ret;
}

int bsv_reg_log(void)
{
    LOG_VERB(TAG, "==>\n");
    if (s_log_registered.load())
        return 0;
    static std::mutex fill_mu; // two first callers fill the record once
    std::lock_guard<std::mutex> g(fill_mu);
    if (s_log_registered.load())
        return 0;
    if (!s_log_type.readers) {
        s_log_type.name = "log";
        s_log_type.layout = bsv_type_layout(BSV_TYPE_LOG);
        s_log_type.type_id = BSV_TYPE_LOG;
        s_log_type.byte_order = 0;
        s_log_type.max_rec_size = BSV_PKT_MAX;
        s_log_type.max_readers = BSV_LOG_READERS;
        s_log_type.reader_count = 0;
    }
    if (bsv_reg_add(&s_log_type) == 0)
        s_log_registered.store(true);
    return 0;
}

int bsv_log_get_type(void)
{
    bsv_reg_log();
    return (int)s_log_type.type_id;
}

int bsv_reg_exit(void)
{
    std::vector<bsv_reader_t *> gone;
    std::vector<bsv_reader_t **> arrays;
    {
        std::lock_guard<std::mutex> g(s_reg_mu);
        for (bsv_type_t *&t : s_types) {
            if (!t)
                continue;
            for (uint32_t i = 0; i < t->max_readers; i++) {
                if (t->readers[i]) {
                    // A reader whose slot cannot be remembered stays
                    // allocated: leaking beats freeing under a writer.
                    try {
                        gone.push_back(t->readers[i]);
                    } catch (const std::bad_alloc &) {
                    }
                    t->readers[i] = nullptr;
                }
            }
            s_reader_total.fetch_sub(t->reader_count);
            t->reader_count = 0;
            try {
                arrays.push_back(t->readers);
            } catch (const std::bad_alloc &) {
            }
            t->readers = nullptr;
            t = nullptr;
        }
        s_log_registered.store(false);
    }
    for (bsv_reader_t *r : gone) {
        r->type = nullptr;
        free_reader(r);
    }
    for (bsv_reader_t **a : arrays)
        os_free(a);
    return 0;
}

bsv_reader_t *bsv_reader_open(const char *name, char *err)
{
    if (err)
        err[0] = '\0';
    if (!name) {
        set_err(err, "name does not exist");
        return nullptr;
    }
    const size_t nlen = strcspn(name, "?");
    bsv_type_t *t;
    {
        std::lock_guard<std::mutex> g(s_reg_mu);
        t = find_type_locked(name, nlen);
    }
    if (!t) {
        set_err(err, "name does not exist");
        return nullptr;
    }
    uint64_t size = url_get_query_size(name, "bsv_rbuf_size", 0);
    if (size == 0)
        size = BSV_READER_RING_DEFAULT;
    bsv_reader_t *r = (bsv_reader_t *)os_zalloc(sizeof(bsv_reader_t));
    if (r)
        r->ring = rbuf_init(size, t->max_rec_size);
    if (!r || !r->ring) {
        if (r)
            os_free(r);
        set_err(err, "memory allocation failed");
        return nullptr;
    }
    r->type = t;
    r->state = 1;
    {
        std::lock_guard<std::mutex> g(s_reg_mu);
        // The type may have left the registry meanwhile (bsv_reg_exit):
        // then its array is gone and the reader stays outside.
        if (t->readers) {
            for (uint32_t i = 0; i < t->max_readers; i++) {
                if (!t->readers[i]) {
                    t->readers[i] = r;
                    t->reader_count++;
                    s_reader_total.fetch_add(1);
                    break;
                }
            }
        }
    }
    return r;
}

int bsv_reader_close(bsv_reader_t *r)
{
    if (!r)
        return 0;
    {
        std::lock_guard<std::mutex> g(s_reg_mu);
        // Only a reader that got a slot lowers the count, so the fan-out
        // still reaches every reader in the array.
        remove_locked(r);
    }
    free_reader(r);
    return 0;
}

int bsv_reader_enable(bsv_reader_t *r)
{
    PL_ASSERT_RET(TAG, r!=NULL, -1);
    std::lock_guard<std::mutex> g(s_reg_mu);
    r->state = 1;
    return 0;
}

int bsv_reader_get_info(bsv_reader_t *r, bsv_reader_info_t *info)
{
    PL_ASSERT_RET(TAG, r!=NULL, -1);
    PL_ASSERT_RET(TAG, info!=NULL, -1);
    const bsv_type_t *t = r->type;
    PL_ASSERT_RET(TAG, t!=NULL, -1);
    memset(info, 0, sizeof(*info));
    str_safecopy_trunc(info->layout, sizeof(info->layout), t->layout ? t->layout : "");
    info->type_id = t->type_id;
    info->byte_order = t->byte_order;
    info->max_rec_size = t->max_rec_size;
    return 0;
}

int bsv_reader_add_rule(bsv_reader_t *r, const char *text)
{
    PL_ASSERT_RET(TAG, r!=NULL, -1);
    PL_ASSERT_RET(TAG, r->type!=NULL, -1);
    // Made and loaded outside the registry mutex (both may log), then
    // attached under it, where the fan-out reads them.
    bsv_value_t *layout = nullptr;
    if (!r->filter_layout) {
        layout = bsv_value_init(r->type->layout, (int)r->type->byte_order);
        if (!layout)
            return -1;
    }
    qexpr_t *set = r->rules;
    bool made = false;
    if (!set) {
        set = qexpr_new(nullptr);
        if (!set) {
            if (layout)
                bsv_value_exit(layout);
            return -1;
        }
        made = true;
    }
    char err[QEXPR_ERR_SIZE];
    err[0] = '\0';
    int ret = qexpr_load_str(set, text ? text : "", err);
    if (layout || made) {
        std::lock_guard<std::mutex> g(s_reg_mu);
        if (layout)
            r->filter_layout = layout;
        if (made)
            r->rules = set;
    }
    return ret;
}

int bsv_reader_exists(bsv_reader_t *r)
{
    if (!r)
        return -1;
    std::lock_guard<std::mutex> g(s_reg_mu);
    for (const bsv_type_t *t : s_types) {
        if (!t || !t->readers)
            continue;
        for (uint32_t i = 0; i < t->max_readers; i++)
            if (t->readers[i] == r)
                return 0;
    }
    return -1;
}

int bsv_reader_read(bsv_reader_t *r, void *buf, int size)
{
    PL_ASSERT_RET(TAG, r!=NULL, -1);
    PL_ASSERT_RET(TAG, buf!=NULL && size>0, -1);
    return (int)rbuf_read_blocks(r->ring, buf, (uint64_t)size);
}

int bsv_reader_stat(bsv_reader_t *r, uint64_t *write_bytes, uint64_t *read_bytes, uint64_t *drop_bytes,
                    uint64_t *write_count, uint64_t *read_count, uint64_t *drop_count)
{
    PL_ASSERT_RET(TAG, r!=NULL, -1);
    return rbuf_get_stat(r->ring, write_bytes, read_bytes, drop_bytes, write_count, read_count, drop_count);
}

int bsv_filter_get_value(const char *name, value2_t *out, void *arg)
{
    const bsv_filter_rec_t *f = (const bsv_filter_rec_t *)arg;
    if (!f || !f->layout || !out)
        return -1;
    memset(out, 0, sizeof(*out));
    return bsv_value_get_by_name(f->layout, f->rec, f->len, name, out);
}

int bsv_filter_apply(const bsv_value_t *layout, const void *rec, int len, qexpr_t *rules)
{
    bsv_filter_rec_t f{layout, rec, len};
    return qexpr_filter_drop(rules, bsv_filter_get_value, &f);
}

int bsv_reg_write(int type, const void *rec, int len)
{
    if (s_reader_total.load() == 0 || !rec || len <= 0)
        return 0;
    std::lock_guard<std::mutex> g(s_reg_mu);
    bsv_type_t *t = find_type_id_locked(type);
    if (!t || !t->readers || t->reader_count == 0 || (uint32_t)len > t->max_rec_size)
        return 0;
    uint32_t seen = 0;
    for (uint32_t i = 0; i < t->max_readers && seen < t->reader_count; i++) {
        bsv_reader_t *r = t->readers[i];
        if (!r)
            continue;
        seen++;
        if (r->state != 1)
            continue;
        if (r->rules && bsv_filter_apply(r->filter_layout, rec, len, r->rules))
            continue;
        rbuf_write(r->ring, rec, (uint64_t)len);
    }
    return 0;
}

// ---- log-record readers ----------------------------------------------------------------

bsv_log_reader_t *bsv_open_log(void)
{
    bsv_reg_log();
    char err[BSV_ERR_SIZE];
    bsv_reader_t *r = bsv_reader_open("log", err);
    if (!r) {
        LOG_ERR(TAG, "bsv_open(log), error: %s\n", err);
        return nullptr;
    }
    bsv_reader_info_t info;
    bsv_reader_get_info(r, &info);
    bsv_value_t *layout = bsv_value_init(info.layout, (int)info.byte_order);
    bsv_log_reader_t *h = layout ? (bsv_log_reader_t *)os_zalloc(sizeof(bsv_log_reader_t)) : nullptr;
    if (!h) {
        LOG_ERR(TAG, "bsv_value_init(log) [%s], failed\n", info.layout);
        if (layout)
            bsv_value_exit(layout);
        bsv_reader_close(r);
        return nullptr;
    }
    h->reader = r;
    h->layout = layout;
    bsv_reader_enable(r);
    return h;
}

int bsv_close_log(bsv_log_reader_t *h)
{
    if (!h)
        return 0;
    bsv_reader_close(h->reader);
    bsv_value_exit(h->layout);
    os_free(h);
    return 0;
}

int bsv_read_raw_log(bsv_log_reader_t *h, const uint8_t **rec)
{
    PL_ASSERT_RET(TAG, h!=NULL, -1);
    PL_ASSERT_RET(TAG, rec!=NULL, -1);
    if (h->pos >= h->fill) {
        int n = bsv_reader_read(h->reader, h->buf, (int)sizeof(h->buf));
        if (n < 1)
            return n;
        h->fill = (uint32_t)n;
        h->pos = 0;
    }
    uint16_t vlen = 0;
    if (h->pos + 2 <= h->fill)
        memcpy(&vlen, h->buf + h->pos, 2);
    if (vlen == 0 || h->pos + 2 + vlen > h->fill) {
        h->pos = h->fill; // the rest of this buffer can't be trusted
        PL_ASSERT_RET(TAG, vlen != 0, -1);
        return -1;
    }
    *rec = h->buf + h->pos + 2;
    h->pos += 2u + vlen;
    return vlen;
}

int bsv_read_log(bsv_log_reader_t *h, int *level, char *buf, int size)
{
    PL_ASSERT_RET(TAG, h != NULL, -1);
    PL_ASSERT_RET(TAG, level != NULL, -1);
    PL_ASSERT_RET(TAG, buf!=NULL && size>0, -1);
    const uint8_t *rec = nullptr;
    int len = bsv_read_raw_log(h, &rec);
    if (len < 1)
        return len;
    bsv_log_t lg;
    if (bsv_parse_log(rec, len, h->layout, &lg) != 0)
        return -1;
    *level = lg.level;
    time_t t = (time_t)lg.sec;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    localtime_r(&t, &tm);
    int n = str_sprintf_s(buf, (size_t)size, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s %d --- [%s] %s %s(): %s",
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                          (int)(lg.usec / 1000), log2_level_2_prefix(lg.level), (int)lg.pid, lg.tid_name, lg.tag,
                          lg.func, lg.msg);
    if (!STR_FMT_OK(n, size))
        return -1;
    return n;
}

char *bsv_log_stat(bsv_log_reader_t *h)
{
    if (!h)
        return nullptr;
    uint64_t wb, rb, db, wc, rc, dc;
    if (bsv_reader_stat(h->reader, &wb, &rb, &db, &wc, &rc, &dc) != 0)
        return nullptr;
    char tmp[512];
    int n = str_sprintf_s(tmp, sizeof(tmp),
                          "write_byte=%li\nread_byte=%li\ndrop_byte=%li\nwrite_count=%li\nread_count=%li\ndrop_count=%li\n",
                          (long)wb, (long)rb, (long)db, (long)wc, (long)rc, (long)dc);
    if (!STR_FMT_OK(n, sizeof(tmp)))
        return nullptr;
    return os_strdup(tmp);
}
