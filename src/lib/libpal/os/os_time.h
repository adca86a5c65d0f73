// os_time: fixed text forms of clock readings (log lines, log files, log
// records) and reading two of them back.
//
// Text types:
//   0 "2024-03-05 07:08:09"          5 "07:08:09.123"
//   1 "2024-03-05 07:08:09.123"      6 "20240305070809"
//   2 "2024-03-05 07:08:09.123456"   7 "20240305070809123"
//   3 "2024-03-05 07:08:09.123456789" 8 "20240305070809123456"
//   4 "07:08:09"
// Fractions are cut, not rounded. All calls convert with localtime_r or
// gmtime_r and are safe from any thread; the *_static forms return a buffer
// of the calling thread, valid until its next call of the same form.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "libpal/basic/pl_base.h"

enum {
    OS_TIME_DATE_TIME = 0,
    OS_TIME_DATE_TIME_MS = 1,
    OS_TIME_DATE_TIME_US = 2,
    OS_TIME_DATE_TIME_NS = 3,
    OS_TIME_TIME = 4,
    OS_TIME_TIME_MS = 5,
    OS_TIME_DIGITS = 6,
    OS_TIME_DIGITS_MS = 7,
    OS_TIME_DIGITS_US = 8,
};

// Formats tm plus nsec as `type` into buf (bounded: too small a buffer gives
// ""). An unknown type logs "invalid type=%d" and leaves buf as it was.
// Returns buf.
char *os_get_time_type2(const struct tm *tm, uint64_t nsec, int type, char *buf, size_t n);
// t as local time (or UTC); buf is "" when t cannot be converted. Returns buf.
char *os_time_local_cstr(const os_timespec_t *t, int type, char *buf, size_t n);
char *os_time_utc_cstr(const os_timespec_t *t, int type, char *buf, size_t n);
// The real-time clock now, as local time. Returns buf.
char *os_time_now_cstr(int type, char *buf, size_t n);
char *os_time_local_cstr_static(const os_timespec_t *t, int type);
char *os_time_now_cstr_static(int type);
// Local type-0 text of secs, or "0000-00-00 00:00:00". Returns buf.
char *os_time_secs_cstr(int64_t secs, char *buf, size_t n);
char *os_time_secs_cstr_static(int64_t secs);
// Time since start_us (os_clock_us) as "seconds.microseconds". Returns buf.
char *os_time_elapsed_cstr(uint64_t start_us, char *buf, size_t n);
// "today", "last_week", "last_mon", "last_year": the local date of now minus
// 0, 7, 30 or 365 days as "%04d-%02d-%02d" ("0000-00-00" when it cannot be
// converted). Any other word leaves buf untouched. Returns buf.
char *os_time_keyword_date(const char *keyword, char *buf, size_t n);
// Reads `text` into tm: type 0 "%d-%d-%d %d:%d:%d" (missing trailing fields
// keep what tm held), type 6 fourteen digits "YYYYMMDDhhmmss". Year and month
// are stored as struct tm wants them; tm_isdst is -1. 0, or -1 for another
// type or text that does not match.
int os_time_parse_tm(const char *text, int type, struct tm *tm);
// Seconds since the epoch of text read as UTC (timegm) or local time
// (mktime); 0 when it cannot be parsed.
int64_t os_time_parse_utc(const char *text, int type);
int64_t os_time_parse_local(const char *text, int type);
int64_t os_time_parse_local_default(const char *text);

// ---- local-time shortcuts ----------------------------------------------------------
// secs as local time in a record of the calling thread, overwritten by its
// next call; NULL when secs cannot be converted.
struct tm *os_localtime(int64_t secs);
// The C library's mktime (local) and timegm (UTC) of tm.
int64_t os_mktime(struct tm *tm);
int64_t os_timegm(struct tm *tm);
// The local date now as (years since 1900) << 16 | (month 0-11) << 8 | day
// of the month; os_date_u32_at gives the same for the time secs (0 when it
// cannot be converted).
uint32_t os_date_u32(void);
uint32_t os_date_u32_at(int64_t secs);
// A calendar record of the local time.
struct os_systime_t {
    uint16_t year;   // e.g. 2025
    uint16_t month;  // 1-12
    uint16_t wday;   // 0 = Sunday
    uint16_t day;    // 1-31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t msec;
};
// The local time now, milliseconds from the real-time clock.
void os_get_local_systime(os_systime_t *st);
