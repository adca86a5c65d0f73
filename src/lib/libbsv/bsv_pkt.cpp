// Records, packets and the envelope: builders and checked parsers.
#include <atomic>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "libbsv/bsv.h"
#include "libpal/basic/pl_app.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/os/os_host.h"

#define TAG "bsv"

// Fixed key of enciphered packets; a receiver deciphers with the same bytes.
const uint8_t bsv_pkt_key[BSV_PKT_KEY_SIZE] = {0x7a, 0x6b, 0x75, 0x65, 0x2d, 0x62, 0x73, 0x76,
                                               0x2d, 0x6b, 0x65, 0x79, 0x2d, 0x30, 0x30, 0x31};

namespace {

std::atomic<int> s_encrypt{0};

void put_le(uint8_t *p, uint64_t x, int size)
{
    for (int i = 0; i < size; i++)
        p[i] = (uint8_t)(x >> (8 * i));
}

uint64_t get_num(const uint8_t *p, int size, bool big)
{
    uint64_t x = 0;
    for (int i = 0; i < size; i++)
        x = (x << 8) | p[big ? i : size - 1 - i];
    return x;
}

// Appends the strings after the fixed fields into room bytes; a string that
// does not fit is cut to end with a NUL in the last byte and the rest are
// dropped. Returns the bytes used.
int put_strings(uint8_t *p, int room, const char *const *strs, int count)
{
    int used = 0;
    for (int i = 0; i < count && used < room; i++) {
        const char *s = strs[i] ? strs[i] : "";
        size_t n = strlen(s) + 1;
        if (n > (size_t)(room - used)) {
            size_t k = (size_t)(room - used);
            memcpy(p + used, s, k - 1);
            p[used + (int)k - 1] = 0;
            return room;
        }
        memcpy(p + used, s, n);
        used += (int)n;
    }
    return used;
}

bsv_value_t *own_layout(int type)
{
    // Made once; never freed (read-only, shared by every thread).
    static bsv_value_t *log_v = bsv_type_open_value(BSV_TYPE_LOG);
    static bsv_value_t *klog_v = bsv_type_open_value(BSV_TYPE_KLOG);
    static bsv_value_t *env_v = bsv_type_open_value(BSV_TYPE_ENV);
    switch (type) {
    case BSV_TYPE_LOG: return log_v;
    case BSV_TYPE_KLOG: return klog_v;
    default: return env_v;
    }
}

void now_fill(bsv_log_t *r, int level)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    r->sec = (uint64_t)ts.tv_sec;
    r->usec = (uint32_t)(ts.tv_nsec / 1000);
    r->pid = (uint32_t)os_getpid();
    r->tid = os_gettid();
    r->level = (uint8_t)level;
}

int parse_fields(const void *rec, int len, const bsv_value_t *v, bsv_log_t *out, bool kernel)
{
    if (!out)
        return -1;
    memset(out, 0, sizeof(*out));
    out->tag = out->tid_name = out->file = out->line = out->func = out->msg = "";
    if (!rec || !v || len < 0)
        return -1;
    int fixed = kernel ? BSV_KLOG_FIXED : BSV_LOG_FIXED;
    int n = bsv_value_get_count(v);
    int first = kernel ? 7 : 5; // index of the first string field
    if (n < first + 6)
        return -1;
    out->sec = bsv_value_get(v, rec, len, 0);
    out->usec = (uint32_t)bsv_value_get(v, rec, len, 1);
    out->pid = (uint32_t)bsv_value_get(v, rec, len, 2);
    out->tid = (uint32_t)bsv_value_get(v, rec, len, 3);
    if (kernel) {
        out->cpu_num = (uint16_t)bsv_value_get(v, rec, len, 4);
        out->irql = (uint8_t)bsv_value_get(v, rec, len, 5);
        out->level = (uint8_t)bsv_value_get(v, rec, len, 6);
    } else {
        out->level = (uint8_t)bsv_value_get(v, rec, len, 4);
    }
    const char **strs[] = {&out->tag, &out->tid_name, &out->file, &out->line, &out->func, &out->msg};
    for (int i = 0; i < 6; i++)
        *strs[i] = (const char *)(uintptr_t)bsv_value_get(v, rec, len, first + i);
    return len < fixed ? -1 : 0;
}

} // namespace

// ---- records --------------------------------------------------------------------------------

int bsv_build_log2(void *buf, const bsv_log_t *in)
{
    PL_ASSERT_RET(TAG, buf && in, -1);
    uint8_t *p = (uint8_t *)buf;
    put_le(p, in->sec, 8);
    put_le(p + 8, in->usec, 4);
    put_le(p + 12, in->pid, 4);
    put_le(p + 16, in->tid, 4);
    p[20] = in->level;
    const char *strs[] = {in->tag, in->tid_name, in->file, in->line, in->func, in->msg};
    return BSV_LOG_FIXED + put_strings(p + BSV_LOG_FIXED, BSV_LOG_MAX - BSV_LOG_FIXED, strs, 6);
}

namespace {

// Fields of one log call: the clock, ids and level, the calling thread's
// name and the line as text (both kept in the caller's buffers).
struct call_fields {
    bsv_log_t r{};
    char tname[256];
    char ltext[16];
    call_fields(int level, const char *tag, const char *file, int line, const char *func, const char *msg)
    {
        now_fill(&r, level & 0xff);
        os_thread_name_get(tname, sizeof(tname));
        snprintf(ltext, sizeof(ltext), "%d", line);
        r.tag = tag;
        r.tid_name = tname;
        r.file = file;
        r.line = ltext;
        r.func = func;
        r.msg = msg;
    }
};

} // namespace

int bsv_build_log(void *buf, int level, const char *tag, const char *file, int line, const char *func,
                  const char *msg)
{
    PL_ASSERT_RET(TAG, buf, -1);
    const call_fields c(level, tag, file, line, func, msg);
    return bsv_build_log2(buf, &c.r);
}

int bsv_build_klog(void *buf, int level, const char *tag, const char *file, int line, const char *func,
                   const char *msg)
{
    PL_ASSERT_RET(TAG, buf, -1);
    const call_fields c(level, tag, file, line, func, msg);
    const bsv_log_t &r = c.r;
    uint8_t *p = (uint8_t *)buf;
    put_le(p, r.sec, 8);
    put_le(p + 8, r.usec, 4);
    put_le(p + 12, r.pid, 4);
    put_le(p + 16, r.tid, 4);
    put_le(p + 20, 1, 2); // cpu_num
    p[22] = 2;            // irql
    p[23] = r.level;
    const char *strs[] = {r.tag, r.tid_name, r.file, r.line, r.func, r.msg};
    return BSV_KLOG_FIXED + put_strings(p + BSV_KLOG_FIXED, BSV_LOG_MAX - BSV_KLOG_FIXED, strs, 6);
}

int bsv_parse_log(const void *rec, int len, const bsv_value_t *layout, bsv_log_t *out)
{
    return parse_fields(rec, len, layout ? layout : own_layout(BSV_TYPE_LOG), out, false);
}

int bsv_parse_klog(const void *rec, int len, const bsv_value_t *layout, bsv_log_t *out)
{
    return parse_fields(rec, len, layout ? layout : own_layout(BSV_TYPE_KLOG), out, true);
}

// ---- packets ---------------------------------------------------------------------------------

void bsv_set_encrypt(int on) { s_encrypt = on ? 1 : 0; }
int bsv_get_encrypt(void) { return s_encrypt.load(); }

void bsv_pkt_hdr(void *pkt, int type)
{
    uint8_t *p = (uint8_t *)pkt;
    p[0] = 'b';
    p[1] = 's';
    p[2] = 'v';
    p[3] = (uint8_t)(BSV_F_CRC | (s_encrypt.load() ? BSV_F_CRYPT : 0));
    put_le(p + 4, 0, 2);
    put_le(p + 6, (uint64_t)type, 2);
}

int bsv_crypt(void *pkt, int len)
{
    if (!pkt || len <= 4)
        return 0;
    rc4_state_t st;
    rc4_init(&st, bsv_pkt_key, sizeof(bsv_pkt_key));
    uint8_t *p = (uint8_t *)pkt + 4;
    rc4_crypt(&st, p, p, (size_t)(len - 4));
    return 0;
}

int bsv_pkt_finish(void *pkt, int len)
{
    uint8_t *p = (uint8_t *)pkt;
    if (!p || len < BSV_PKT_HDR)
        return -1;
    uint8_t flags = p[3];
    bool big = flags & BSV_F_BIG_ENDIAN;
    int total;
    if (flags & BSV_F_CRC) {
        if (len > BSV_PKT_MAX - 1)
            return -1;
        total = len + 1;
    } else {
        if (len > BSV_PKT_MAX)
            return -1;
        total = len;
    }
    uint16_t t = (uint16_t)total;
    p[4] = big ? (uint8_t)(t >> 8) : (uint8_t)t;
    p[5] = big ? (uint8_t)t : (uint8_t)(t >> 8);
    if (flags & BSV_F_CRC)
        p[len] = hash_crc8(p + 3, (size_t)(len - 3), 0);
    if (flags & BSV_F_CRYPT)
        bsv_crypt(p, total);
    return total;
}

int bsv_parse_net_type(void *pkt, int len)
{
    uint8_t *p = (uint8_t *)pkt;
    if (!p || len < 16) {
        LOG_DBG(TAG, "len=%d error: len<16 \n", len);
        return -1;
    }
    if (p[0] != 'b' || p[1] != 's' || p[2] != 'v') {
        LOG_DBG(TAG, "magic 0x%x-0x%x-0x%x error\n", p[0], p[1], p[2]);
        return -1;
    }
    uint8_t flags = p[3];
    if (flags > 15) {
        LOG_DBG(TAG, "ver=%d not supportd\n", flags >> 4);
        return -1;
    }
    if (flags & BSV_F_CRYPT)
        bsv_crypt(p, len);
    if ((flags & BSV_F_CRC) && hash_crc8(p + 3, (size_t)(len - 4), 0) != p[len - 1]) {
        LOG_DBG(TAG, "crc check failed\n");
        return -1;
    }
    bool big = flags & BSV_F_BIG_ENDIAN;
    int dlen = (int)get_num(p + 4, 2, big);
    if (dlen != len) {
        LOG_DBG(TAG, "len=%d dlen=%d endian=%d error: len!=dlen\n", len, dlen, big ? 1 : 0);
        return -1;
    }
    return (int)get_num(p + 6, 2, big);
}

// ---- envelope ---------------------------------------------------------------------------------

void bsv_env_facts(bsv_env_t *env)
{
    memset(env, 0, sizeof(*env));
    if (!g_pl_sys.ready)
        pl_sys_info_init();
    env->sid = g_pl_sys.mac;
    env->bid = (uint64_t)g_pl_sys.boot_time;
    env->stime = (uint64_t)g_pl_sys.start_time;
    env->ver_id = g_app.ver_id;
    // Looked up once from the program name and kept.
    if (g_app.app_id == 0 && g_app.app_name)
        g_app.app_id = (uint16_t)bsv_app_id_get(g_app.app_name);
    env->app_id = g_app.app_id;
    env->os_id = bsv_os_id();
    env->arch_id = bsv_arch_id();
    env->hostname = g_pl_sys.hostname;
}

int bsv_pkt_env2(void *pkt, const bsv_env_t *env, const void *rec, int rec_len)
{
    PL_ASSERT_RET(TAG, pkt && env, -1);
    if (rec_len < 0 || (rec_len > 0 && !rec))
        return -1;
    uint8_t *p = (uint8_t *)pkt;
    bsv_pkt_hdr(p, BSV_TYPE_ENV);
    uint8_t *b = p + BSV_PKT_HDR;
    put_le(b, env->sid, 8);
    put_le(b + 8, env->bid, 8);
    put_le(b + 16, env->stime, 8);
    put_le(b + 24, env->ver_id, 4);
    put_le(b + 28, env->app_id, 2);
    b[30] = env->os_id;
    b[31] = env->arch_id;
    put_le(b + 32, env->type_id ? env->type_id : (uint16_t)BSV_TYPE_LOG, 2);
    // Host name with its NUL, then the record, within BSV_ENV_VAR_MAX bytes;
    // a cut copy ends with a NUL in its last byte.
    uint8_t *v = b + BSV_ENV_FIXED;
    const char *host = env->hostname ? env->hostname : "";
    size_t hn = strlen(host) + 1;
    size_t room = BSV_ENV_VAR_MAX;
    size_t used;
    if (hn >= room) {
        memcpy(v, host, room - 1);
        v[room - 1] = 0;
        used = room;
    } else {
        memcpy(v, host, hn);
        used = hn;
        size_t n = (size_t)rec_len;
        if (n > room - used) {
            n = room - used;
            memcpy(v + used, rec, n);
            v[used + n - 1] = 0;
        } else if (n) {
            memcpy(v + used, rec, n);
        }
        used += n;
    }
    return bsv_pkt_finish(p, BSV_PKT_HDR + BSV_ENV_FIXED + (int)used);
}

int bsv_pkt_env(void *pkt, int type_id, const void *rec, int rec_len)
{
    bsv_env_t env;
    bsv_env_facts(&env);
    env.type_id = (uint16_t)type_id;
    return bsv_pkt_env2(pkt, &env, rec, rec_len);
}

int bsv_parse_env(const void *pkt, int len, const bsv_value_t *layout, bsv_env_t *out)
{
    const uint8_t *p = (const uint8_t *)pkt;
    if (!p || !out || len < BSV_PKT_HDR + BSV_ENV_FIXED)
        return -1;
    memset(out, 0, sizeof(*out));
    const bsv_value_t *v = layout ? layout : own_layout(BSV_TYPE_ENV);
    if (!v || bsv_value_get_count(v) < 10)
        return -1;
    bool crc = p[3] & BSV_F_CRC;
    const uint8_t *body = p + BSV_PKT_HDR;
    int blen = len - BSV_PKT_HDR - (crc ? 1 : 0);
    out->sid = bsv_value_get(v, body, blen, 0);
    out->bid = bsv_value_get(v, body, blen, 1);
    out->stime = bsv_value_get(v, body, blen, 2);
    out->ver_id = (uint32_t)bsv_value_get(v, body, blen, 3);
    out->app_id = (uint16_t)bsv_value_get(v, body, blen, 4);
    out->os_id = (uint8_t)bsv_value_get(v, body, blen, 5);
    out->arch_id = (uint8_t)bsv_value_get(v, body, blen, 6);
    out->type_id = (uint16_t)bsv_value_get(v, body, blen, 7);
    out->hostname = (const char *)(uintptr_t)bsv_value_get(v, body, blen, 8);
    // The data is what follows the host name's NUL up to the CRC byte.
    const uint8_t *h = body + BSV_ENV_FIXED;
    const uint8_t *end = body + blen;
    const uint8_t *z = h < end ? (const uint8_t *)memchr(h, 0, (size_t)(end - h)) : nullptr;
    if (z) {
        out->data = z + 1;
        out->data_len = (int)(end - (z + 1));
    } else {
        out->data = end;
        out->data_len = 0;
    }
    return 0;
}

// ---- id tables ----------------------------------------------------------------------------------

namespace {
const pl_idtab_t APP_IDS[] = {{7, {"zkue"}}};
const pl_idtab_t OS_IDS[] = {{1, {"windows"}}, {2, {"linux"}}, {3, {"macosx"}}, {4, {"iphone"}}, {5, {"freebsd"}}};
const pl_idtab_t ARCH_IDS[] = {{1, {"x86"}},       {2, {"x64"}},          {10, {"arm64"}},
                               {12, {"armv4tl"}},  {20, {"mips"}},        {24, {"loongarch32"}},
                               {25, {"loongarch64"}}};
} // namespace

int bsv_app_id_get(const char *name)
{
    if (!name || !*name)
        return 0;
    for (const pl_idtab_t &r : APP_IDS)
        if (strcmp(r.str, name) == 0)
            return r.id;
    return 0;
}

const char *bsv_app_id_name(int id) { return pl_idtab_get(id, APP_IDS, (int)std::size(APP_IDS)); }
const char *bsv_os_id_name(int id) { return pl_idtab_get(id, OS_IDS, (int)std::size(OS_IDS)); }
const char *bsv_arch_id_name(int id)
{
    return pl_idtab_get(id, ARCH_IDS, (int)std::size(ARCH_IDS));
}

uint8_t bsv_os_id(void)
{
#if defined(_WIN32)
    return 1;
#elif defined(__APPLE__) && defined(TARGET_OS_IPHONE) && TARGET_OS_IPHONE
    return 4;
#elif defined(__APPLE__)
    return 3;
#elif defined(__FreeBSD__)
    return 5;
#elif defined(__linux__)
    return 2;
#else
    return 0;
#endif
}

uint8_t bsv_arch_id(void)
{
#if defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
    return 42; // the program's own target
#elif defined(__x86_64__)
    return 2;
#elif defined(__i386__)
    return 1;
#elif defined(__aarch64__)
    return 10;
#elif defined(__arm__)
    return 12;
#elif defined(__mips__)
    return 20;
#elif defined(__loongarch64)
    return 25;
#elif defined(__loongarch__)
    return 24;
#else
    return 0;
#endif
}
