// The record writer: one log call in, a record to each installed output.
#include <cstring>
#include <mutex>

#include "libbsv/bsv.h"

namespace {

// Guards the two outputs. Held while an output runs, so removing one waits
// for a call in flight. Order: log handle mutex, then this, then an
// output's own lock.
std::mutex s_out_mu;
bsv_out_fn s_net_fn;
void *s_net_arg;
bsv_out_fn s_file_fn;
void *s_file_arg;

// Leading part of file names made on the build machine, dropped from records.
constexpr char BUILD_PREFIX[] = "d:\\work\\zks\\";
constexpr size_t BUILD_PREFIX_LEN = sizeof(BUILD_PREFIX) - 1; // 12

} // namespace

void bsv_set_net_callback(bsv_out_fn fn, void *arg)
{
    std::lock_guard<std::mutex> g(s_out_mu);
    s_net_fn = fn;
    s_net_arg = fn ? arg : nullptr;
}

void bsv_unset_net_callback(void *arg)
{
    std::lock_guard<std::mutex> g(s_out_mu);
    if (s_net_fn && s_net_arg == arg) {
        s_net_fn = nullptr;
        s_net_arg = nullptr;
    }
}

void bsv_set_file_callback(bsv_out_fn fn, void *arg)
{
    std::lock_guard<std::mutex> g(s_out_mu);
    s_file_fn = fn;
    s_file_arg = fn ? arg : nullptr;
}

void bsv_unset_file_callback(void *arg)
{
    std::lock_guard<std::mutex> g(s_out_mu);
    if (s_file_fn && s_file_arg == arg) {
        s_file_fn = nullptr;
        s_file_arg = nullptr;
    }
}

int bsv_write_log(unsigned level_word, const char *tag, const char *file, int line, const char *func,
                  const char *msg)
{
    if (tag && (strcmp(tag, "bsv") == 0 || strcmp(tag, "net") == 0))
        return 0;
    bsv_reg_log();
    if (file && strncmp(file, BUILD_PREFIX, BUILD_PREFIX_LEN) == 0)
        file += BUILD_PREFIX_LEN;
    uint8_t rec[BSV_LOG_MAX];
    int len = bsv_build_log(rec, (int)(level_word & 0xff), tag, file, line, func, msg);
    if (len < 0)
        return -1;
    int ret = 0;
    {
        std::lock_guard<std::mutex> g(s_out_mu);
        if (s_net_fn && (level_word & 0xc00)) {
            uint8_t pkt[BSV_PKT_MAX];
            int n = bsv_pkt_env(pkt, BSV_TYPE_LOG, rec, len);
            if (n > 0)
                ret = s_net_fn(level_word, pkt, n, s_net_arg);
        }
        if (s_file_fn)
            ret = s_file_fn(level_word, rec, len, s_file_arg);
    }
    bsv_reg_write(BSV_TYPE_LOG, rec, len);
    return ret;
}
