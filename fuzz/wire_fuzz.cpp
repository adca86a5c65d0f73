// Fuzz target: the zksd frame reader (the input as the bytes of a
// connection, read frame after frame through the memory loopback) and the
// reply parser on each frame and on the raw input, with every accessor of
// every matched field checked to stay inside its frame; and the codecs'
// unpack (LZ4 blocks and "none") into buffers of small exact sizes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "libpack/pack_ex.h"
#include "libpal/basic/pl_base.h"
#include "libzksd/zksd_frame.h"

static void check_field(const blob_attr *a, const uint8_t *begin, const uint8_t *end)
{
    const uint8_t *p = (const uint8_t *)a;
    CHECK(p >= begin && p + 4 <= end);
    CHECK(p + blob_raw_len(a) <= end);
    const uint8_t *v = blobmsg_data(a);
    uint32_t vlen = blobmsg_data_len(a);
    CHECK(v >= p + 4 && v + vlen <= p + blob_raw_len(a));
    const char *name = blobmsg_name(a);
    CHECK((const uint8_t *)name + strlen(name) < v);
    switch (blob_id(a)) {
    case BLOBMSG_TYPE_STRING:
        CHECK(vlen >= 1 && strlen(blobmsg_get_string(a)) < vlen);
        break;
    case BLOBMSG_TYPE_INT64:
        CHECK(vlen == 8);
        (void)blobmsg_get_u64(a);
        break;
    case BLOBMSG_TYPE_INT32:
        CHECK(vlen == 4);
        (void)blobmsg_get_u32(a);
        break;
    default:
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    if (size > 1 << 20)
        return 0;
    // An exact heap copy, so a read past the end is caught.
    std::vector<uint8_t> in(data, data + size);
    const uint8_t *begin = in.data(), *end = in.data() + size;

    static const blobmsg_policy policy[] = {
        {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"fd", BLOBMSG_TYPE_INT64},
        {"len", BLOBMSG_TYPE_INT32},   {"data", BLOBMSG_TYPE_BINARY},      {"x", BLOBMSG_TYPE_UNSPEC},
        {nullptr, BLOBMSG_TYPE_INT32}, {"ver", BLOBMSG_TYPE_STRING},
    };
    constexpr int n = sizeof policy / sizeof policy[0];
    blob_attr *tb[n];
    if (blobmsg_parse(policy, n, tb, begin, size) == 0) {
        for (int i = 0; i < n; ++i) {
            if (!tb[i])
                continue;
            CHECK(policy[i].name);
            CHECK(strcmp(blobmsg_name(tb[i]), policy[i].name) == 0);
            check_field(tb[i], begin, end);
        }
    }
    if (cli_blobmsg_parse(policy, n, tb, begin, size) == 0)
        CHECK(tb[0] && tb[1]);

    // The input as the bytes of a connection. The context lives on from run
    // to run, as a client's does from reply to reply.
    static vperror_t err{};
    static cli_ctx *ctx = [] {
        cli_ctx *c = (cli_ctx *)os_zalloc(sizeof(cli_ctx));
        c->last_error = &err;
        c->conn.timeout = 1;
        CHECK(net_open3(&c->conn, "net://mem", nullptr, &err) == 0);
        return c;
    }();
    CHECK(net_write(&ctx->conn, begin, size) == (int)size);
    for (int frames = 0; frames < 64; ++frames) {
        int len = -1;
        int r = zksd_recv_request_len(ctx, &len);
        zksd_cli_set_last_error(ctx, r);
        if (r != 0)
            break;
        CHECK(len >= 4 && len % 4 == 0 && len + 4 <= ctx->rbuf_cap);
        CHECK((int)blob_pad_len((blob_attr *)ctx->rbuf) == len);
        r = zksd_reply_parse(ctx, policy, n, tb);
        CHECK(r == 0 || r == 2 || r == 4);
        zksd_cli_set_last_error(ctx, r);
        if (r == 0) {
            for (int i = 0; i < n; ++i)
                if (tb[i])
                    check_field(tb[i], ctx->rbuf, ctx->rbuf + len);
        }
    }
    // Whatever was left unread goes with the next write.
    uint8_t rest[256];
    while (net_read(&ctx->conn, rest, sizeof rest) > 0) {
    }

    static zcomp *lz4 = zcomp_new_by_name("lz4", nullptr);
    static zcomp *none = zcomp_new_by_name("none", nullptr);
    for (int cap : {0, 1, 7, 64, 4096}) {
        std::vector<uint8_t> out(cap);
        int r = zcomp_decompress(lz4, begin, (int)size, out.data(), cap);
        CHECK(r <= cap);
        r = zcomp_decompress(none, begin, (int)size, out.data(), cap);
        CHECK(r <= cap);
    }
    // Packing then unpacking gives the input back.
    std::vector<uint8_t> packed(zcomp_bound((int)size)), back(size);
    int pn = zcomp_compress(lz4, begin, (int)size, packed.data(), (int)packed.size());
    CHECK(pn > 0);
    CHECK(zcomp_decompress(lz4, packed.data(), pn, back.data(), (int)size) == (int)size);
    CHECK(size == 0 || memcmp(back.data(), begin, size) == 0);
    return 0;
}
