// IP addresses: the IPv4, IPv6 and Unix parts, their text forms, the address
// record, system address conversion and name resolution.
#include "libpal/network/os_ipaddr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_num.h"
#include "libpal/string/str_safe.h"

#define TAG "pal"

namespace {

const uint8_t k_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int family_of(const os_ipaddr *a) { return a->state & OS_IPADDR_FAMILY_MASK; }
bool is_set(const os_ipaddr *a) { return (a->state & OS_IPADDR_SET) != 0; }

// A set record's family, stopping the program for a number no record built
// here can hold.
int checked_family(const os_ipaddr *a)
{
    int f = family_of(a);
    PL_ASSERT_HARD(TAG, f >= OS_IPADDR_IPV4 && f <= OS_IPADDR_UNIX);
    return f;
}

bool v6_scoped(const os_ipv6 *v6) { return os_ipv6_is_linklocal(v6) || os_ipv6_is_mc_linklocal(v6); }

void v4_to_mapped(const os_ipv4 *v4, os_ipv6 *v6)
{
    os_ipv4 tmp = *v4; // v4 and v6 may share the storage of one record
    v6->scope = 0;
    memcpy(v6->addr, k_mapped_prefix, 12);
    memcpy(v6->addr + 12, &tmp.addr, 4);
}

// One IPv4 text, walked as its grammar says; the bytes go to out even when
// the text is invalid.
bool parse_v4(const char *s, uint8_t out[4])
{
    memset(out, 0, 4);
    unsigned num = 0, count = 0;
    for (;; s++) {
        const char c = *s;
        if (c >= '0' && c <= '9') {
            if (num > 255)
                return false;
            num = num * 10 + unsigned(c - '0');
        } else if (c == '.' || c == '\0') {
            if (num > 255)
                return false;
            if (count < 4)
                out[count] = uint8_t(num);
            count++;
            num = 0;
            if (c == '\0')
                return count == 4;
        } else {
            return false;
        }
    }
}

int hex_val(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The general IPv6 form into groups[8] and *scope.
bool parse_v6_general(const char *text, uint16_t groups[8], uint32_t *scope)
{
    uint32_t group = 0;
    int stored = 0;
    bool pair_seen = false;
    *scope = 0;
    if (!*text)
        return false;
    for (const char *s = text;; s++) {
        const char c = *s;
        const int h = hex_val(c);
        if (h >= 0) {
            if (group < 0x10000)
                group = group * 16 + unsigned(h);
            continue;
        }
        if (group > 0xffff)
            return false;
        if (c == ':' && s[1] == ':') {
            if (s[2] == ':' || pair_seen)
                return false;
            pair_seen = true;
            const bool leading = (s == text);
            if (stored >= 8)
                return false;
            groups[stored++] = uint16_t(group);
            group = 0;
            int n = 0;
            for (const char *p = s + 1; *p; p++)
                n += (*p == ':');
            const int zeros = 8 - stored - n;
            // "::" stands for one zero group or more: the leading zero just
            // stored, the trailing one the end of the text stores, or the
            // inserted ones in between.
            const bool trailing = (s[2] == '\0');
            if (zeros < 0 || (zeros == 0 && !leading && !trailing))
                return false;
            for (int i = 0; i < zeros; i++)
                groups[stored++] = 0;
            s++; // past the pair
            continue;
        }
        if (c == ':') {
            if (stored >= 8 || s == text)
                return false;
            groups[stored++] = uint16_t(group);
            group = 0;
            continue;
        }
        if (c == '\0') {
            if (stored >= 8)
                return false;
            groups[stored++] = uint16_t(group);
            return stored == 8;
        }
        if (c == '%') {
            if (stored != 7 || !s[1])
                return false;
            groups[stored++] = uint16_t(group);
            if (s[1] >= '0' && s[1] <= '9')
                *scope = str_ato32u(s + 1);
            return true;
        }
        return false;
    }
}

bool parse_v6(const char *text, os_ipv6 *out, bool *scope_set)
{
    uint8_t v4[4];
    *scope_set = false;
    if (strncasecmp(text, "::ffff:", 7) == 0 && parse_v4(text + 7, v4)) {
        memcpy(out->addr, k_mapped_prefix, 12);
        memcpy(out->addr + 12, v4, 4);
        return true;
    }
    if (strncmp(text, "::", 2) == 0 && parse_v4(text + 2, v4)) {
        memset(out->addr, 0, 12);
        memcpy(out->addr + 12, v4, 4);
        return true;
    }
    uint16_t groups[8];
    uint32_t scope;
    if (!parse_v6_general(text, groups, &scope))
        return false;
    for (int i = 0; i < 8; i++) {
        out->addr[2 * i] = uint8_t(groups[i] >> 8);
        out->addr[2 * i + 1] = uint8_t(groups[i]);
    }
    out->scope = scope;
    *scope_set = true;
    return true;
}

} // namespace

// ---- os_ipv4 ------------------------------------------------------------------------------

void os_ipv4_clear(os_ipv4 *ipv4)
{
    PL_ASSERT_RET_VOID(TAG, ipv4);
    ipv4->addr = 0;
}

int os_ipv4_is_any(const os_ipv4 *ipv4)
{
    PL_ASSERT_RET(TAG, ipv4, 1);
    return ipv4->addr == 0;
}

int os_ipv4_is_loopback(const os_ipv4 *ipv4)
{
    PL_ASSERT_RET(TAG, ipv4, 0);
    return ipv4->addr == htonl(INADDR_LOOPBACK);
}

int os_ipv4_is_equal(const os_ipv4 *ipv4, const os_ipv4 *other)
{
    PL_ASSERT_RET(TAG, ipv4 && other, 0);
    return ipv4->addr == other->addr;
}

char *os_ipv4_cstr(const os_ipv4 *ipv4, char *data, size_t maxn)
{
    PL_ASSERT_RET(TAG, ipv4 && data && maxn >= OS_IPV4_CSTR_MAXN, nullptr);
    uint8_t b[4];
    memcpy(b, &ipv4->addr, 4);
    str_sprintf_s(data, maxn, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return data;
}

int os_ipv4_cstr_set(os_ipv4 *ipv4, const char *cstr)
{
    PL_ASSERT_RET(TAG, cstr, 0);
    uint8_t b[4];
    const bool ok = parse_v4(cstr, b);
    if (ipv4)
        memcpy(&ipv4->addr, b, 4);
    return ok;
}

int os_ipv4_cstr_same_net(const char *addr, const char *mask, const char *other)
{
    PL_ASSERT_RET(TAG, addr && mask && other, -1);
    os_ipv4 a, m, o;
    if (!os_ipv4_cstr_set(&a, addr) || !os_ipv4_cstr_set(&m, mask) || !os_ipv4_cstr_set(&o, other))
        return -1;
    return (a.addr & m.addr) == (o.addr & m.addr);
}

// ---- os_ipv6 ------------------------------------------------------------------------------

void os_ipv6_clear(os_ipv6 *ipv6)
{
    PL_ASSERT_RET_VOID(TAG, ipv6);
    memset(ipv6, 0, sizeof(*ipv6));
}

int os_ipv6_is_any(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(TAG, ipv6, 1);
    static const uint8_t zero[16] = {};
    return memcmp(ipv6->addr, zero, 16) == 0;
}

int os_ipv6_is_loopback(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(TAG, ipv6, 0);
    static const uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(ipv6->addr, one, 16) == 0;
}

int os_ipv6_is_linklocal(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(TAG, ipv6, 1);
    return ipv6->addr[0] == 0xfe && (ipv6->addr[1] & 0xc0) == 0x80;
}

int os_ipv6_is_sitelocal(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(TAG, ipv6, 1);
    return ipv6->addr[0] == 0xfe && (ipv6->addr[1] & 0xc0) == 0xc0;
}

int os_ipv6_is_multicast(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(TAG, ipv6, 1);
    return ipv6->addr[0] == 0xff;
}

int os_ipv6_is_mc_linklocal(const os_ipv6 *ipv6)
{
    PL_ASSERT_RET(TAG, ipv6, 1);
    return ipv6->addr[0] == 0xff && (ipv6->addr[1] & 0x0f) == 0x02;
}

int os_ipv6_is_equal(const os_ipv6 *ipv6, const os_ipv6 *other)
{
    PL_ASSERT_RET(TAG, ipv6 && other, 0);
    if (v6_scoped(ipv6) && ipv6->scope != other->scope)
        return 0;
    return memcmp(ipv6->addr, other->addr, 16) == 0;
}

char *os_ipv6_cstr(const os_ipv6 *ipv6, char *data, size_t maxn)
{
    PL_ASSERT_RET(TAG, ipv6 && data && maxn >= OS_IPV6_CSTR_MAXN, nullptr);
    unsigned g[8];
    for (int i = 0; i < 8; i++)
        g[i] = unsigned(ipv6->addr[2 * i]) << 8 | ipv6->addr[2 * i + 1];
    char zone[16] = "";
    if (v6_scoped(ipv6))
        snprintf(zone, sizeof zone, "%%%u", ipv6->scope);
    str_sprintf_s(data, maxn, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x%s", g[0], g[1], g[2], g[3], g[4], g[5], g[6],
                  g[7], zone);
    return data;
}

int os_ipv6_cstr_set(os_ipv6 *ipv6, const char *cstr)
{
    PL_ASSERT_RET(TAG, cstr, 0);
    os_ipv6 tmp{};
    bool scope_set;
    if (!parse_v6(cstr, &tmp, &scope_set))
        return 0;
    if (ipv6) {
        memcpy(ipv6->addr, tmp.addr, 16);
        if (scope_set)
            ipv6->scope = tmp.scope;
    }
    return 1;
}

// ---- os_unixaddr ----------------------------------------------------------------------------

void os_unixaddr_clear(os_unixaddr *unixaddr)
{
    PL_ASSERT_RET_VOID(TAG, unixaddr);
    memset(unixaddr->path, 0, sizeof(unixaddr->path));
}

int os_unixaddr_is_abstract(const os_unixaddr *unixaddr)
{
    PL_ASSERT_RET(TAG, unixaddr, 1);
    return unixaddr->abstract != 0;
}

int os_unixaddr_is_equal(const os_unixaddr *unixaddr, const os_unixaddr *other)
{
    PL_ASSERT_RET(TAG, unixaddr && other, 0);
    return strncmp(unixaddr->path, other->path, sizeof(unixaddr->path)) == 0;
}

char *os_unixaddr_cstr(const os_unixaddr *unixaddr, char *data, size_t maxn)
{
    PL_ASSERT_RET(TAG, unixaddr && data && maxn >= OS_UNIXADDR_CSTR_MAXN, nullptr);
    str_sprintf_s(data, maxn, "%.*s", int(sizeof(unixaddr->path)), unixaddr->path);
    return data;
}

int os_unixaddr_cstr_set(os_unixaddr *unixaddr, const char *cstr, int abstract)
{
    PL_ASSERT_RET(TAG, unixaddr && cstr, 0);
    const size_t n = strlen(cstr);
    const size_t keep = n < sizeof(unixaddr->path) ? n : sizeof(unixaddr->path) - 1;
    memcpy(unixaddr->path, cstr, keep);
    unixaddr->path[keep] = '\0';
    unixaddr->abstract = abstract ? 1 : 0;
    return n < sizeof(unixaddr->path);
}

// ---- os_ipaddr ------------------------------------------------------------------------------

void os_ipaddr_clear(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr);
    ipaddr->state = 0;
    ipaddr->port = 0;
}

void os_ipaddr_ip_clear(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr);
    ipaddr->state &= OS_IPADDR_FAMILY_MASK;
}

int os_ipaddr_is_empty(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, 1);
    return !is_set(ipaddr);
}

int os_ipaddr_ip_is_empty(const os_ipaddr *ipaddr) { return os_ipaddr_is_empty(ipaddr); }

int os_ipaddr_ip_is_any(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, 1);
    if (!is_set(ipaddr))
        return 1;
    switch (checked_family(ipaddr)) {
    case OS_IPADDR_IPV4: return os_ipv4_is_any(&ipaddr->ipv4);
    case OS_IPADDR_IPV6: return os_ipv6_is_any(&ipaddr->ipv6);
    default: return 0;
    }
}

int os_ipaddr_ip_is_loopback(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, 0);
    if (!is_set(ipaddr))
        return 0;
    switch (checked_family(ipaddr)) {
    case OS_IPADDR_IPV4: return os_ipv4_is_loopback(&ipaddr->ipv4);
    case OS_IPADDR_IPV6: return os_ipv6_is_loopback(&ipaddr->ipv6);
    default: return 0;
    }
}

int os_ipaddr_ip_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other)
{
    PL_ASSERT_RET(TAG, ipaddr && other, 0);
    if (!is_set(ipaddr) || !is_set(other))
        return !is_set(ipaddr) && !is_set(other);
    const int fa = checked_family(ipaddr), fb = checked_family(other);
    if (fa == fb) {
        switch (fa) {
        case OS_IPADDR_IPV4: return os_ipv4_is_equal(&ipaddr->ipv4, &other->ipv4);
        case OS_IPADDR_IPV6: return os_ipv6_is_equal(&ipaddr->ipv6, &other->ipv6);
        default: return os_unixaddr_is_equal(&ipaddr->unixaddr, &other->unixaddr);
        }
    }
    if (fa == OS_IPADDR_UNIX || fb == OS_IPADDR_UNIX)
        return 0;
    const os_ipaddr *v4 = fa == OS_IPADDR_IPV4 ? ipaddr : other;
    const os_ipaddr *v6 = fa == OS_IPADDR_IPV6 ? ipaddr : other;
    os_ipv4 mapped;
    return os_ipaddr_ipv6_to_ipv4(&v6->ipv6, &mapped) && mapped.addr == v4->ipv4.addr;
}

int os_ipaddr_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other)
{
    PL_ASSERT_RET(TAG, ipaddr && other, 0);
    return ipaddr->port == other->port && os_ipaddr_ip_is_equal(ipaddr, other);
}

int os_ipaddr_family(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, 0);
    return family_of(ipaddr);
}

void os_ipaddr_family_set(os_ipaddr *ipaddr, int family)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr);
    const int cur = family_of(ipaddr);
    if (cur == OS_IPADDR_IPV4 && family == OS_IPADDR_IPV6) {
        v4_to_mapped(&ipaddr->ipv4, &ipaddr->ipv6);
    } else if (cur != OS_IPADDR_UNSPEC && family != OS_IPADDR_UNSPEC) {
        PL_ASSERT_HARD(TAG, (cur == OS_IPADDR_UNIX) == (family == OS_IPADDR_UNIX));
    }
    ipaddr->state = uint8_t((ipaddr->state & OS_IPADDR_SET) | (family & OS_IPADDR_FAMILY_MASK));
    if ((family & OS_IPADDR_FAMILY_MASK) == 0)
        ipaddr->state = 0;
}

uint16_t os_ipaddr_port(const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, 0);
    return ipaddr->port;
}

void os_ipaddr_port_set(os_ipaddr *ipaddr, uint16_t port)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr);
    ipaddr->port = port;
}

os_ipv4 *os_ipaddr_ipv4(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, nullptr);
    if (!is_set(ipaddr))
        return nullptr;
    switch (checked_family(ipaddr)) {
    case OS_IPADDR_IPV4: return &ipaddr->ipv4;
    case OS_IPADDR_IPV6: {
        os_ipv4 v4;
        if (!os_ipaddr_ipv6_to_ipv4(&ipaddr->ipv6, &v4))
            return nullptr;
        ipaddr->ipv4 = v4;
        ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV4;
        return &ipaddr->ipv4;
    }
    default: return nullptr;
    }
}

os_ipv6 *os_ipaddr_ipv6(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, nullptr);
    if (!is_set(ipaddr))
        return nullptr;
    switch (checked_family(ipaddr)) {
    case OS_IPADDR_IPV6: return &ipaddr->ipv6;
    case OS_IPADDR_IPV4:
        v4_to_mapped(&ipaddr->ipv4, &ipaddr->ipv6);
        ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV6;
        return &ipaddr->ipv6;
    default: return nullptr;
    }
}

os_unixaddr *os_ipaddr_unix(os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, ipaddr, nullptr);
    return is_set(ipaddr) && family_of(ipaddr) == OS_IPADDR_UNIX ? &ipaddr->unixaddr : nullptr;
}

void os_ipaddr_ipv4_set(os_ipaddr *ipaddr, const os_ipv4 *ipv4)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr);
    if (!ipv4) {
        os_ipaddr_ip_clear(ipaddr);
        return;
    }
    ipaddr->ipv4 = *ipv4;
    ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV4;
}

void os_ipaddr_ipv6_set(os_ipaddr *ipaddr, const os_ipv6 *ipv6)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr && ipv6);
    ipaddr->ipv6 = *ipv6;
    ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV6;
}

void os_ipaddr_unix_set(os_ipaddr *ipaddr, const os_unixaddr *unixaddr)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr && unixaddr);
    ipaddr->unixaddr = *unixaddr;
    ipaddr->unixaddr.path[sizeof(ipaddr->unixaddr.path) - 1] = '\0';
    ipaddr->state = OS_IPADDR_SET | OS_IPADDR_UNIX;
}

void os_ipaddr_ip_set(os_ipaddr *ipaddr, const os_ipaddr *other)
{
    PL_ASSERT_RET_VOID(TAG, ipaddr);
    if (!other) {
        os_ipaddr_ip_clear(ipaddr);
        return;
    }
    const uint16_t port = ipaddr->port;
    switch (family_of(other)) {
    case OS_IPADDR_IPV6: ipaddr->ipv6 = other->ipv6; break;
    case OS_IPADDR_UNIX: ipaddr->unixaddr = other->unixaddr; break;
    default: ipaddr->ipv4 = other->ipv4; break;
    }
    ipaddr->state = other->state;
    ipaddr->port = port;
}

int os_ipaddr_ipv6_to_ipv4(const os_ipv6 *ipv6, os_ipv4 *ipv4)
{
    PL_ASSERT_RET(TAG, ipv6 && ipv4, 0);
    if (memcmp(ipv6->addr, k_mapped_prefix, 12) != 0)
        return 0;
    memcpy(&ipv4->addr, ipv6->addr + 12, 4);
    return 1;
}

void os_ipaddr_copy(os_ipaddr *dest, const os_ipaddr *src)
{
    PL_ASSERT_RET_VOID(TAG, dest && src);
    if (!is_set(src)) {
        dest->port = src->port;
        dest->state = uint8_t((dest->state & OS_IPADDR_SET) | family_of(src));
        return;
    }
    if (checked_family(src) == OS_IPADDR_IPV4) {
        dest->port = src->port;
        dest->state = OS_IPADDR_SET | OS_IPADDR_IPV4;
        dest->ipv4 = src->ipv4;
        return;
    }
    *dest = *src;
}

int os_ipaddr_ip_cstr_set(os_ipaddr *ipaddr, const char *cstr, int family)
{
    if (!cstr) {
        PL_ASSERT_HARD(TAG, ipaddr);
        ipaddr->state = uint8_t(family & OS_IPADDR_FAMILY_MASK);
        return 1;
    }
    os_ipaddr tmp{};
    if (ipaddr)
        tmp = *ipaddr;
    bool ok;
    switch (family) {
    case OS_IPADDR_IPV6:
        if (!(is_set(&tmp) && family_of(&tmp) == OS_IPADDR_IPV6))
            tmp.ipv6.scope = 0;
        ok = os_ipv6_cstr_set(&tmp.ipv6, cstr);
        break;
    case OS_IPADDR_UNIX: ok = os_unixaddr_cstr_set(&tmp.unixaddr, cstr, 0); break;
    case OS_IPADDR_IPV4: ok = os_ipv4_cstr_set(&tmp.ipv4, cstr); break;
    default:
        family = OS_IPADDR_IPV4;
        ok = os_ipv4_cstr_set(&tmp.ipv4, cstr);
        if (!ok) {
            family = OS_IPADDR_IPV6;
            tmp.ipv6.scope = 0;
            ok = os_ipv6_cstr_set(&tmp.ipv6, cstr);
        }
        break;
    }
    if (!ok)
        return 0;
    if (ipaddr) {
        tmp.state = uint8_t(OS_IPADDR_SET | family);
        *ipaddr = tmp;
    }
    return 1;
}

int os_ipaddr_set(os_ipaddr *ipaddr, const char *cstr, uint16_t port, int family)
{
    PL_ASSERT_RET(TAG, ipaddr, 0);
    ipaddr->port = family == OS_IPADDR_UNIX ? 0 : port;
    return os_ipaddr_ip_cstr_set(ipaddr, cstr, family);
}

int os_ipaddr_unix_set_cstr(os_ipaddr *ipaddr, const char *cstr, int abstract)
{
    PL_ASSERT_RET(TAG, ipaddr && cstr, 0);
    os_unixaddr tmp{};
    if (!os_unixaddr_cstr_set(&tmp, cstr, abstract))
        return 0;
    ipaddr->unixaddr = tmp;
    ipaddr->state = OS_IPADDR_SET | OS_IPADDR_UNIX;
    return 1;
}

int os_ipaddr_ip_bin_set(os_ipaddr *ipaddr, const void *bin, size_t len, int family)
{
    if (!bin)
        return os_ipaddr_ip_cstr_set(ipaddr, nullptr, family);
    if (family == OS_IPADDR_IPV4 && len == 4) {
        if (ipaddr) {
            memcpy(&ipaddr->ipv4.addr, bin, 4);
            ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV4;
        }
        return 1;
    }
    if (family == OS_IPADDR_IPV6 && len == 16) {
        if (ipaddr) {
            memcpy(ipaddr->ipv6.addr, bin, 16);
            ipaddr->ipv6.scope = 0;
            ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV6;
        }
        return 1;
    }
    return 0;
}

int os_ipaddr_bin_set(os_ipaddr *ipaddr, const void *bin, size_t len, int family)
{
    PL_ASSERT_RET(TAG, ipaddr, 0);
    return os_ipaddr_ip_bin_set(ipaddr, bin, len, family);
}

char *os_ipaddr_ip_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn)
{
    PL_ASSERT_RET(TAG, ipaddr && data, nullptr);
    if (!is_set(ipaddr)) {
        switch (family_of(ipaddr)) {
        case OS_IPADDR_IPV6:
            PL_ASSERT_HARD(TAG, maxn >= OS_IPV6_CSTR_MAXN);
            str_safecopy(data, maxn, "::");
            break;
        case OS_IPADDR_UNIX:
            PL_ASSERT_HARD(TAG, maxn >= OS_UNIXADDR_CSTR_MAXN);
            data[0] = '\0';
            break;
        default:
            PL_ASSERT_HARD(TAG, maxn >= OS_IPV4_CSTR_MAXN);
            str_safecopy(data, maxn, "0.0.0.0");
            break;
        }
        return data;
    }
    switch (checked_family(ipaddr)) {
    case OS_IPADDR_IPV4: return os_ipv4_cstr(&ipaddr->ipv4, data, maxn);
    case OS_IPADDR_IPV6: return os_ipv6_cstr(&ipaddr->ipv6, data, maxn);
    default: return os_unixaddr_cstr(&ipaddr->unixaddr, data, maxn);
    }
}

char *os_ipaddr_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn)
{
    PL_ASSERT_RET(TAG, ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN, nullptr);
    if (!is_set(ipaddr)) {
        str_safecopy(data, maxn, "0.0.0.0:0");
        return data;
    }
    const int f = checked_family(ipaddr);
    if (f == OS_IPADDR_UNIX) {
        PL_ASSERT_RET(TAG, maxn >= OS_UNIXADDR_CSTR_MAXN, nullptr);
        return os_unixaddr_cstr(&ipaddr->unixaddr, data, maxn);
    }
    char ip[OS_IPV6_CSTR_MAXN];
    if (!os_ipaddr_ip_cstr(ipaddr, ip, sizeof ip))
        return nullptr;
    const bool v6 = f == OS_IPADDR_IPV6;
    str_sprintf_s(data, maxn, "%s%s%s:%u", v6 ? "[" : "", ip, v6 ? "]" : "", unsigned(ipaddr->port));
    return data;
}

char *os_ipaddr_host_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn)
{
    if (!os_ipaddr_cstr(ipaddr, data, maxn))
        return nullptr;
    // A Unix path is printed whole: its ':' are part of the name.
    if (is_set(ipaddr) && family_of(ipaddr) == OS_IPADDR_UNIX)
        return data;
    char *colon = strrchr(data, ':');
    if (colon)
        *colon = '\0';
    return data;
}

int os_ipaddr_is_ipv4_cstr(const char *cstr)
{
    os_ipaddr tmp{};
    return cstr && os_ipaddr_ip_cstr_set(&tmp, cstr, OS_IPADDR_IPV4);
}

int os_ipaddr_is_ipv6_cstr(const char *cstr)
{
    os_ipaddr tmp{};
    return cstr && os_ipaddr_ip_cstr_set(&tmp, cstr, OS_IPADDR_IPV6);
}

// ---- system addresses and resolution ----------------------------------------------------------

int os_sockaddr_load(void *storage, const os_ipaddr *ipaddr)
{
    PL_ASSERT_RET(TAG, storage && ipaddr, 0);
    memset(storage, 0, sizeof(sockaddr_storage));
    const int f = family_of(ipaddr);
    PL_ASSERT_HARD(TAG, f >= OS_IPADDR_UNSPEC && f <= OS_IPADDR_UNIX);
    if (f == OS_IPADDR_IPV6) {
        auto *a6 = static_cast<sockaddr_in6 *>(storage);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(ipaddr->port);
        if (is_set(ipaddr) && !os_ipv6_is_any(&ipaddr->ipv6)) {
            memcpy(&a6->sin6_addr, ipaddr->ipv6.addr, 16);
            if (v6_scoped(&ipaddr->ipv6))
                a6->sin6_scope_id = ipaddr->ipv6.scope;
        } else {
            a6->sin6_addr = in6addr_any;
        }
        return int(sizeof(sockaddr_in6));
    }
    if (f == OS_IPADDR_UNIX) {
        auto *addru = static_cast<sockaddr_un *>(storage);
        addru->sun_family = AF_UNIX;
        const os_unixaddr *u = &ipaddr->unixaddr;
        const size_t n = strnlen(u->path, sizeof(u->path));
        if (u->abstract) {
            PL_ASSERT_RET(TAG, n < sizeof(addru->sun_path) - 1, 0);
            memcpy(addru->sun_path + 1, u->path, n);
        } else {
            PL_ASSERT_RET(TAG, n < sizeof(addru->sun_path), 0);
            memcpy(addru->sun_path, u->path, n);
        }
        return int(sizeof(sockaddr_un));
    }
    // IPv4, and a record with no family chosen yet, as the socket layer does.
    auto *a4 = static_cast<sockaddr_in *>(storage);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(ipaddr->port);
    a4->sin_addr.s_addr = is_set(ipaddr) ? ipaddr->ipv4.addr : htonl(INADDR_ANY);
    return int(sizeof(sockaddr_in));
}

int os_sockaddr_save(os_ipaddr *ipaddr, const struct sockaddr *saddr)
{
    PL_ASSERT_RET(TAG, ipaddr && saddr, 0);
    memset(ipaddr, 0, sizeof(*ipaddr));
    switch (saddr->sa_family) {
    case AF_INET: {
        sockaddr_in a4;
        memcpy(&a4, saddr, sizeof a4);
        ipaddr->ipv4.addr = a4.sin_addr.s_addr;
        ipaddr->port = ntohs(a4.sin_port);
        ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV4;
        return int(sizeof a4);
    }
    case AF_INET6: {
        sockaddr_in6 a6;
        memcpy(&a6, saddr, sizeof a6);
        memcpy(ipaddr->ipv6.addr, &a6.sin6_addr, 16);
        ipaddr->port = ntohs(a6.sin6_port);
        if (v6_scoped(&ipaddr->ipv6))
            ipaddr->ipv6.scope = a6.sin6_scope_id;
        ipaddr->state = OS_IPADDR_SET | OS_IPADDR_IPV6;
        return int(sizeof a6);
    }
    case AF_UNIX: {
        const auto *addru = reinterpret_cast<const sockaddr_un *>(saddr);
        os_unixaddr *u = &ipaddr->unixaddr;
        if (addru->sun_path[0] == '\0') {
            const size_t n = strnlen(addru->sun_path + 1, sizeof(addru->sun_path) - 1);
            PL_ASSERT_RET(TAG, n < sizeof(addru->sun_path) - 1, 0);
            memcpy(u->path, addru->sun_path + 1, n);
            u->abstract = 1;
        } else {
            const size_t n = strnlen(addru->sun_path, sizeof(addru->sun_path));
            PL_ASSERT_RET(TAG, n < sizeof(addru->sun_path), 0);
            memcpy(u->path, addru->sun_path, n);
        }
        ipaddr->state = OS_IPADDR_SET | OS_IPADDR_UNIX;
        return int(sizeof(sockaddr_un));
    }
    default: PL_ASSERT_HARD(TAG, 0); return 0;
    }
}

int os_addrinfo_addr(const char *name, os_ipaddr *addr)
{
    PL_ASSERT_RET(TAG, name && addr, 0);
    addrinfo hints{};
    const int f = family_of(addr);
    hints.ai_family = f == OS_IPADDR_IPV4 ? AF_INET : f == OS_IPADDR_IPV6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[16];
    snprintf(service, sizeof service, "%u", unsigned(addr->port));
    addrinfo *res = nullptr;
    if (getaddrinfo(name, addr->port ? service : nullptr, &hints, &res) != 0 || !res)
        return 0;
    os_ipaddr tmp;
    int ok = 0;
    const int fam = res->ai_addr ? res->ai_addr->sa_family : AF_UNSPEC;
    if (fam == AF_INET || fam == AF_INET6)
        ok = os_sockaddr_save(&tmp, res->ai_addr) > 0;
    freeaddrinfo(res);
    if (ok)
        *addr = tmp;
    return ok;
}

char *os_addrinfo_name(const os_ipaddr *addr, char *name, size_t maxn)
{
    PL_ASSERT_RET(TAG, addr && name && maxn, nullptr);
    sockaddr_storage ss;
    const int len = os_sockaddr_load(&ss, addr);
    if (len <= 0)
        return nullptr;
    if (getnameinfo(reinterpret_cast<sockaddr *>(&ss), socklen_t(len), name, socklen_t(maxn), nullptr, 0,
                    NI_NAMEREQD) != 0)
        return nullptr;
    return name;
}
