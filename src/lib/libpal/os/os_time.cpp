// Time texts: clock readings to fixed text forms and back.
#include "libpal/os/os_time.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

char *os_get_time_type2(const struct tm *tm, uint64_t nsec, int type, char *buf, size_t n)
{
    if (!tm || !buf || n == 0)
        return buf;
    if (nsec > 999999999)
        nsec = 999999999;
    int Y = tm->tm_year + 1900, M = tm->tm_mon + 1, D = tm->tm_mday;
    int h = tm->tm_hour, m = tm->tm_min, s = tm->tm_sec;
    int ms = (int)(nsec / 1000000), us = (int)(nsec / 1000), ns = (int)nsec;
    switch (type) {
    case 0: str_sprintf_s(buf, n, "%04d-%02d-%02d %02d:%02d:%02d", Y, M, D, h, m, s); break;
    case 1: str_sprintf_s(buf, n, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Y, M, D, h, m, s, ms); break;
    case 2: str_sprintf_s(buf, n, "%04d-%02d-%02d %02d:%02d:%02d.%06d", Y, M, D, h, m, s, us); break;
    case 3: str_sprintf_s(buf, n, "%04d-%02d-%02d %02d:%02d:%02d.%09d", Y, M, D, h, m, s, ns); break;
    case 4: str_sprintf_s(buf, n, "%02d:%02d:%02d", h, m, s); break;
    case 5: str_sprintf_s(buf, n, "%02d:%02d:%02d.%03d", h, m, s, ms); break;
    case 6: str_sprintf_s(buf, n, "%04d%02d%02d%02d%02d%02d", Y, M, D, h, m, s); break;
    case 7: str_sprintf_s(buf, n, "%04d%02d%02d%02d%02d%02d%03d", Y, M, D, h, m, s, ms); break;
    case 8: str_sprintf_s(buf, n, "%04d%02d%02d%02d%02d%02d%06d", Y, M, D, h, m, s, us); break;
    default: LOG_ERR(TAG, "invalid type=%d\n", type); break;
    }
    return buf;
}

static char *time_cstr(const os_timespec_t *t, int type, char *buf, size_t n, bool utc)
{
    if (!buf || n == 0)
        return buf;
    buf[0] = 0;
    if (!t)
        return buf;
    time_t secs = (time_t)t->tv_sec;
    struct tm tm;
    if (!(utc ? gmtime_r(&secs, &tm) : localtime_r(&secs, &tm)))
        return buf;
    return os_get_time_type2(&tm, t->tv_nsec, type, buf, n);
}

char *os_time_local_cstr(const os_timespec_t *t, int type, char *buf, size_t n)
{
    return time_cstr(t, type, buf, n, false);
}

char *os_time_utc_cstr(const os_timespec_t *t, int type, char *buf, size_t n) { return time_cstr(t, type, buf, n, true); }

char *os_time_now_cstr(int type, char *buf, size_t n)
{
    os_timespec_t now;
    os_realtime_get(&now);
    return os_time_local_cstr(&now, type, buf, n);
}

// One buffer per thread: the log runs on several threads at once.
char *os_time_local_cstr_static(const os_timespec_t *t, int type)
{
    static thread_local char buf[64];
    return os_time_local_cstr(t, type, buf, sizeof(buf));
}

char *os_time_now_cstr_static(int type)
{
    static thread_local char buf[64];
    return os_time_now_cstr(type, buf, sizeof(buf));
}

char *os_time_secs_cstr(int64_t secs, char *buf, size_t n)
{
    if (!buf || n == 0)
        return buf;
    time_t ts = (time_t)secs;
    struct tm tm;
    if (!localtime_r(&ts, &tm)) {
        str_safecopy(buf, n, "0000-00-00 00:00:00");
        return buf;
    }
    return os_get_time_type2(&tm, 0, 0, buf, n);
}

char *os_time_secs_cstr_static(int64_t secs)
{
    static thread_local char buf[24];
    return os_time_secs_cstr(secs, buf, sizeof(buf));
}

char *os_time_elapsed_cstr(uint64_t start_us, char *buf, size_t n)
{
    uint64_t now = os_clock_us();
    uint64_t d = now > start_us ? now - start_us : 0;
    str_sprintf_s(buf, n, "%d.%06u", (int)(d / 1000000), (unsigned)(d % 1000000));
    return buf;
}

char *os_time_keyword_date(const char *keyword, char *buf, size_t n)
{
    static const struct {
        const char *word;
        int64_t back;
    } words[] = {{"today", 0}, {"last_week", 604800}, {"last_mon", 2592000}, {"last_year", 31536000}};
    if (!keyword || !buf)
        return buf;
    for (auto &w : words) {
        if (strcmp(keyword, w.word) != 0)
            continue;
        os_timespec_t now;
        os_realtime_get(&now);
        time_t ts = (time_t)(now.tv_sec - w.back);
        struct tm tm;
        if (localtime_r(&ts, &tm))
            str_sprintf_s(buf, n, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        else
            str_safecopy(buf, n, "0000-00-00");
        break;
    }
    return buf;
}

static int digits(const char *p, int count)
{
    int v = 0;
    for (int i = 0; i < count; ++i)
        v = v * 10 + (p[i] - '0');
    return v;
}

int os_time_parse_tm(const char *text, int type, struct tm *tm)
{
    if (!text || !tm)
        return -1;
    if (type == 0) {
        int f[6];
        int got = sscanf(text, "%d-%d-%d %d:%d:%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
        if (got < 1)
            return -1;
        int *dst[6] = {&tm->tm_year, &tm->tm_mon, &tm->tm_mday, &tm->tm_hour, &tm->tm_min, &tm->tm_sec};
        for (int i = 0; i < got; ++i)
            *dst[i] = f[i];
        if (got > 0)
            tm->tm_year -= 1900;
        if (got > 1)
            tm->tm_mon -= 1;
        tm->tm_isdst = -1;
        return 0;
    }
    if (type == 6) {
        for (int i = 0; i < 14; ++i)
            if (!isdigit((unsigned char)text[i]))
                return -1;
        tm->tm_year = digits(text, 4) - 1900;
        tm->tm_mon = digits(text + 4, 2) - 1;
        tm->tm_mday = digits(text + 6, 2);
        tm->tm_hour = digits(text + 8, 2);
        tm->tm_min = digits(text + 10, 2);
        tm->tm_sec = digits(text + 12, 2);
        tm->tm_isdst = -1;
        return 0;
    }
    return -1;
}

static int64_t parse_secs(const char *text, int type, bool utc)
{
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_mday = 1; // a text of only a year or a month means its first day
    if (os_time_parse_tm(text, type, &tm) < 0)
        return 0;
    time_t t = utc ? timegm(&tm) : mktime(&tm);
    return t == (time_t)-1 ? 0 : (int64_t)t;
}

int64_t os_time_parse_utc(const char *text, int type) { return parse_secs(text, type, true); }

int64_t os_time_parse_local(const char *text, int type) { return parse_secs(text, type, false); }

int64_t os_time_parse_local_default(const char *text) { return parse_secs(text, 0, false); }

// ---- local-time shortcuts ----------------------------------------------------------

struct tm *os_localtime(int64_t secs)
{
    static thread_local struct tm t_tm;
    time_t t = (time_t)secs;
    return localtime_r(&t, &t_tm);
}

int64_t os_mktime(struct tm *tm) { return (int64_t)mktime(tm); }

int64_t os_timegm(struct tm *tm) { return (int64_t)timegm(tm); }

uint32_t os_date_u32_at(int64_t secs)
{
    const struct tm *tm = os_localtime(secs);
    if (!tm)
        return 0;
    return (uint32_t)tm->tm_year << 16 | (uint32_t)tm->tm_mon << 8 | (uint32_t)tm->tm_mday;
}

uint32_t os_date_u32(void)
{
    os_timespec_t now;
    os_realtime_get(&now);
    return os_date_u32_at(now.tv_sec);
}

void os_get_local_systime(os_systime_t *st)
{
    os_timespec_t now;
    os_realtime_get(&now);
    struct tm tm;
    time_t t = (time_t)now.tv_sec;
    memset(st, 0, sizeof(*st));
    if (!localtime_r(&t, &tm))
        return;
    st->year = (uint16_t)(tm.tm_year + 1900);
    st->month = (uint16_t)(tm.tm_mon + 1);
    st->wday = (uint16_t)tm.tm_wday;
    st->day = (uint16_t)tm.tm_mday;
    st->hour = (uint16_t)tm.tm_hour;
    st->minute = (uint16_t)tm.tm_min;
    st->second = (uint16_t)tm.tm_sec;
    st->msec = (uint16_t)(now.tv_nsec / 1000000);
}
