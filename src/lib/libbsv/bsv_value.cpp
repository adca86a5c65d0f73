// Record layouts: the layout text parser and the field readers.
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "libbsv/bsv.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"

#define TAG "bsv"

struct bsv_value_t {
    std::string layout;
    uint32_t count_idx = 0; // fields
    uint32_t str_idx = 0;   // index of the first string field
    uint32_t endian = 0;    // 1 big-endian
    int str_start = 0;      // where the strings start (after the fixed fields)
    std::vector<bsv_field_t> val;
    std::vector<int> str_no;          // per field: its place among the strings, -1 for numbers
    std::map<std::string, int> names; // name -> index + 1
};

namespace {

struct type_row {
    int type;
    int endian;
    const char *layout;
};

constexpr const char LOG_LAYOUT[] = "sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str";
constexpr const char KLOG_LAYOUT[] =
    "sec-u64,usec-u32,pid-u32,tid-u32,cpu_num-u16,irql-u8,level-u8,tag|tid_name|file|line|func|msg-str";
constexpr const char ENV_LAYOUT[] =
    "sid-u64,bid-u64,stime-u64,ver_id-u32,app_id-u16,os_id-u8,arch_id-u8,type_id-u16,hostname|data-str";

constexpr type_row TYPES[] = {
    {BSV_TYPE_LOG, 0, LOG_LAYOUT}, {BSV_TYPE_LOG_BE, 1, LOG_LAYOUT}, {BSV_TYPE_KLOG, 0, KLOG_LAYOUT},
    {BSV_TYPE_ENV, 0, ENV_LAYOUT}, {BSV_TYPE_ENV_BE, 1, ENV_LAYOUT},
};

const type_row *type_find(int type)
{
    for (const type_row &r : TYPES)
        if (r.type == type)
            return &r;
    LOG_ERR(TAG, "type=%d error: not found\n", type);
    return nullptr;
}

struct num_type {
    const char *name;
    int type;
    int size;
};
constexpr num_type NUM_TYPES[] = {
    {"u8", BSV_VT_U8, 1}, {"u16", BSV_VT_U16, 2}, {"u32", BSV_VT_U32, 4}, {"u64", BSV_VT_U64, 8}};

void add_field(bsv_value_t *v, const std::string &name, int type, int size, int offset, int str_no)
{
    bsv_field_t f{};
    // Strict copy: a name of 32 characters or more is stored empty.
    if (name.size() < sizeof(f.name))
        memcpy(f.name, name.c_str(), name.size() + 1);
    f.type = type;
    f.size = size;
    f.offset = offset;
    v->val.push_back(f);
    v->str_no.push_back(str_no);
    if (f.name[0] && !v->names.count(f.name))
        v->names[f.name] = (int)v->val.size();
}

uint64_t read_num(const uint8_t *p, int size, bool big)
{
    uint64_t x = 0;
    for (int i = 0; i < size; i++) {
        int k = big ? i : size - 1 - i;
        x = (x << 8) | p[k];
    }
    return x;
}

// Address of string number n of the record, or "" when the record does not
// hold it whole.
const char *string_at(const bsv_value_t *v, const uint8_t *rec, int len, int n)
{
    if (!rec || len <= v->str_start)
        return "";
    const uint8_t *p = rec + v->str_start;
    const uint8_t *end = rec + len;
    for (int k = 0;; k++) {
        const uint8_t *z = (const uint8_t *)memchr(p, 0, (size_t)(end - p));
        if (!z)
            return "";
        if (k == n)
            return (const char *)p;
        p = z + 1;
        if (p >= end)
            return "";
    }
}

} // namespace

int value_get_info(bsv_value_t *v, const char *layout)
{
    if (!v || !layout)
        return -1;
    v->layout = layout;
    v->val.clear();
    v->str_no.clear();
    v->names.clear();
    int offset = 0;
    int strings = 0;
    int first_str = -1;
    std::string text(layout);
    size_t pos = 0;
    for (;;) {
        size_t comma = text.find(',', pos);
        std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        size_t dash = item.find('-');
        if (dash == std::string::npos) {
            LOG_ERR(TAG, "buf=[%s] info=[%s] error\n", layout, item.c_str());
            return -1;
        }
        std::string names = item.substr(0, dash);
        std::string type = item.substr(dash + 1);
        if (type == "str") {
            size_t np = 0;
            for (;;) {
                size_t bar = names.find('|', np);
                std::string n = names.substr(np, bar == std::string::npos ? std::string::npos : bar - np);
                if (first_str < 0)
                    first_str = (int)v->val.size();
                add_field(v, n, BSV_VT_STR, -1, -1, strings++);
                if (bar == std::string::npos)
                    break;
                np = bar + 1;
            }
        } else {
            const num_type *nt = nullptr;
            for (const num_type &t : NUM_TYPES)
                if (type == t.name)
                    nt = &t;
            if (!nt) {
                LOG_ERR(TAG, "type=[%s] error\n", type.c_str());
                return -1;
            }
            add_field(v, names, nt->type, nt->size, offset, -1);
            offset += nt->size;
        }
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    v->str_start = offset;
    v->count_idx = (uint32_t)v->val.size();
    v->str_idx = first_str < 0 ? v->count_idx : (uint32_t)first_str;
    if (first_str >= 0)
        v->val[(size_t)first_str].offset = offset;
    return 0;
}

bsv_value_t *bsv_value_init(const char *layout, int big_endian)
{
    LOG_VERB(TAG, "==>\n");
    bsv_value_t *v = new (std::nothrow) bsv_value_t;
    if (!v)
        return nullptr;
    v->endian = big_endian ? 1 : 0;
    if (value_get_info(v, layout) != 0) {
        LOG_DBG(TAG, "value_get_info failed\n");
        delete v;
        return nullptr;
    }
    return v;
}

int bsv_value_exit(bsv_value_t *v)
{
    PL_ASSERT_HARD(TAG, v!=NULL);
    delete v;
    return 0;
}

int bsv_value_get_count(const bsv_value_t *v)
{
    PL_ASSERT_HARD(TAG, v!=NULL);
    return (int)v->count_idx;
}

const bsv_field_t *bsv_value_get_name(const bsv_value_t *v, int idx)
{
    PL_ASSERT_HARD(TAG, v!=NULL);
    if (idx < 0 || (uint32_t)idx >= v->count_idx)
        return nullptr;
    return &v->val[(size_t)idx];
}

const char *bsv_value_get_layout(const bsv_value_t *v) { return v ? v->layout.c_str() : ""; }
int bsv_value_get_endian(const bsv_value_t *v) { return v ? (int)v->endian : 0; }

uint64_t bsv_value_get(const bsv_value_t *ctx, const void *rec, int len, int index)
{
    PL_ASSERT_HARD(TAG, ctx!=NULL);
    uint32_t idx = (uint32_t)index; // a negative index is out of range too
    PL_ASSERT_RET(TAG, idx<ctx->count_idx, 0);
    const bsv_field_t &f = ctx->val[idx];
    const uint8_t *r = (const uint8_t *)rec;
    if (f.type == BSV_VT_STR)
        return (uint64_t)(uintptr_t)string_at(ctx, r, len, ctx->str_no[idx]);
    if (!r || len < 0 || f.offset + f.size > len)
        return 0;
    return read_num(r + f.offset, f.size, ctx->endian == 1);
}

namespace {
template <typename T> T get_num(const bsv_value_t *ctx, const void *rec, int len, int index)
{
    PL_ASSERT_HARD(TAG, ctx!=NULL);
    uint32_t idx = (uint32_t)index;
    PL_ASSERT_RET(TAG, idx < ctx->count_idx, 0);
    PL_ASSERT_RET(TAG, ctx->val[idx].type!=VALUE_TYPE_STRING, 0);
    return (T)bsv_value_get(ctx, rec, len, index);
}
} // namespace

uint8_t bsv_value_get_u8(const bsv_value_t *v, const void *rec, int len, int idx)
{
    return get_num<uint8_t>(v, rec, len, idx);
}
uint16_t bsv_value_get_u16(const bsv_value_t *v, const void *rec, int len, int idx)
{
    return get_num<uint16_t>(v, rec, len, idx);
}
uint32_t bsv_value_get_u32(const bsv_value_t *v, const void *rec, int len, int idx)
{
    return get_num<uint32_t>(v, rec, len, idx);
}
uint64_t bsv_value_get_u64(const bsv_value_t *v, const void *rec, int len, int idx)
{
    return get_num<uint64_t>(v, rec, len, idx);
}

const char *bsv_value_get_str(const bsv_value_t *ctx, const void *rec, int len, int index)
{
    PL_ASSERT_HARD(TAG, ctx!=NULL);
    uint32_t idx = (uint32_t)index;
    PL_ASSERT_RET(TAG, idx < ctx->count_idx, nullptr);
    PL_ASSERT_RET(TAG, ctx->val[idx].type==VALUE_TYPE_STRING, nullptr);
    return (const char *)(uintptr_t)bsv_value_get(ctx, rec, len, index);
}

int bsv_value_get_by_name(const bsv_value_t *v, const void *rec, int len, const char *name, value2_t *out)
{
    PL_ASSERT_HARD(TAG, v!=NULL);
    if (!name || !out)
        return -1;
    auto it = v->names.find(name);
    if (it == v->names.end())
        return -1;
    int idx = it->second - 1;
    out->type = v->val[(size_t)idx].type;
    if (out->type == BSV_VT_STR)
        out->v.str = (const char *)(uintptr_t)bsv_value_get(v, rec, len, idx);
    else
        out->v.u64 = bsv_value_get(v, rec, len, idx);
    return 0;
}

const char *bsv_type_layout(int type)
{
    const type_row *r = type_find(type);
    return r ? r->layout : nullptr;
}

bsv_value_t *bsv_type_open_value(int type)
{
    const type_row *r = type_find(type);
    return r ? bsv_value_init(r->layout, r->endian) : nullptr;
}

int bsv_type_get_os_endian(int type)
{
    switch (type) {
    case BSV_TYPE_LOG:
    case BSV_TYPE_KLOG: return 0;
    case BSV_TYPE_LOG_BE: return 1;
    default: LOG_ERR(TAG, "type=%d error: not found\n", type); return 0;
    }
}
