// Per-address lockout after repeated login failures, and the login log.
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/os/os_time.h"
#include "libpwd/libpwd.h"
#include "liblog/log2.h"

#define TAG "pwd"

namespace {

struct addr_rec {
    uint64_t created;
    uint64_t last_fail;
    uint64_t locked_until;
    int32_t failures;
};

// The login log: an appending text file of its own, one line per login,
// optionally stamped with the local time.
struct login_log_t {
    std::mutex mu;
    FILE *f = nullptr;
    uint32_t flags = 0;
};

struct lockout_t {
    std::mutex mu;           // guards everything below
    bool on = false;
    int32_t fail_count = 0;
    int32_t lock_minutes = 60;
    int32_t max_addrs = 10000;
    std::unordered_map<std::string, addr_rec> addrs;
};

login_log_t &login_log()
{
    static login_log_t l;
    return l;
}
lockout_t &lockout()
{
    static lockout_t l;
    return l;
}

uint64_t (*s_now_ms)(void) = nullptr;
uint64_t now_ms(void) { return s_now_ms ? s_now_ms() : os_clock_ms(); }

void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_line(const char *fmt, ...)
{
    login_log_t &l = login_log();
    std::lock_guard<std::mutex> lk(l.mu);
    if (!l.f)
        return;
    if (l.flags & 1) {
        char t[32];
        fprintf(l.f, "%s ", os_time_now_cstr(OS_TIME_DATE_TIME, t, sizeof t));
    }
    va_list va;
    va_start(va, fmt);
    vfprintf(l.f, fmt, va);
    va_end(va);
    fflush(l.f);
}

// Forgets every record with the smallest last-failure time.
void evict_oldest(lockout_t &lo)
{
    uint64_t oldest = UINT64_MAX;
    for (auto &kv : lo.addrs)
        oldest = kv.second.last_fail < oldest ? kv.second.last_fail : oldest;
    for (auto it = lo.addrs.begin(); it != lo.addrs.end();)
        it = it->second.last_fail == oldest ? lo.addrs.erase(it) : std::next(it);
}

} // namespace

void ipcheck_set_clock(uint64_t (*fn)(void)) { s_now_ms = fn; }

int ipcheck_init(const libpwd_conf_t *conf)
{
    if (!conf)
        return -1;
    if (conf->log_path && *conf->log_path) {
        login_log_t &l = login_log();
        std::lock_guard<std::mutex> lk(l.mu);
        if (!l.f) {
            l.f = fopen(conf->log_path, "a+e");
            if (!l.f)
                LOG_DBG(TAG, "fopen %s error: %s\n", conf->log_path, os_errno_str());
        }
        l.flags = conf->log_flags;
    }
    lockout_t &lo = lockout();
    std::lock_guard<std::mutex> lk(lo.mu);
    lo.addrs.clear();
    lo.fail_count = conf->fail_count > 0 ? conf->fail_count : 0;
    lo.on = lo.fail_count > 0;
    if (!lo.on) {
        LOG_WARN(TAG, "zksd_login_fail_count==0 stop ipcheck\n");
        return 0;
    }
    lo.lock_minutes = conf->lock_minutes > 0 ? conf->lock_minutes : 60;
    lo.max_addrs = conf->max_addrs > 0 ? conf->max_addrs : 10000;
    return 0;
}

int ipcheck(const char *ip, char *errmsg)
{
    lockout_t &lo = lockout();
    std::lock_guard<std::mutex> lk(lo.mu);
    if (!lo.on)
        return 0;
    std::string key = ip ? ip : "";
    uint64_t now = now_ms();
    auto it = lo.addrs.find(key);
    if (it != lo.addrs.end()) {
        addr_rec &r = it->second;
        if (r.failures >= lo.fail_count) {
            if (now < r.locked_until) {
                if (errmsg)
                    snprintf(errmsg, LIBPWD_ERRMSG_SIZE, "Login failed %d times, Please try again in %0.2f minutes",
                             r.failures, (double)(r.locked_until - now) / 60000.0);
                return 2;
            }
            r.failures = 0;
        }
        return 0;
    }
    if (lo.addrs.size() >= (size_t)lo.max_addrs)
        evict_oldest(lo);
    lo.addrs.emplace(key, addr_rec{now, 0, 0, 0});
    return 0;
}

void ipcheck_fail(const char *ip, const char *user)
{
    ip = ip ? ip : "";
    log_line("\twarn\t%s\tlogin\tlogin failed form %s\n", user ? user : "", ip);
    lockout_t &lo = lockout();
    std::lock_guard<std::mutex> lk(lo.mu);
    if (!lo.on)
        return;
    auto it = lo.addrs.find(ip);
    if (it == lo.addrs.end())
        return;
    addr_rec &r = it->second;
    uint64_t now = now_ms();
    r.last_fail = now;
    r.failures++;
    if (r.failures >= lo.fail_count)
        r.locked_until = now + 60000ull * (uint64_t)lo.lock_minutes;
}

void ipcheck_ok(const char *ip, const char *user)
{
    ip = ip ? ip : "";
    log_line("\tinfo\t%s\tlogin\tlogin from %s\n", user ? user : "", ip);
    lockout_t &lo = lockout();
    std::lock_guard<std::mutex> lk(lo.mu);
    if (lo.on)
        lo.addrs.erase(ip);
}

int ipcheck_exit(void)
{
    {
        lockout_t &lo = lockout();
        std::lock_guard<std::mutex> lk(lo.mu);
        lo.addrs.clear();
        lo.on = false;
    }
    login_log_t &l = login_log();
    std::lock_guard<std::mutex> lk(l.mu);
    if (l.f)
        fclose(l.f);
    l.f = nullptr;
    l.flags = 0;
    return 0;
}
