// os_ipaddr: the portable address record (IPv4, IPv6 or Unix-domain address
// with a port), its text forms both ways, equality (IPv4-mapped IPv6
// addresses equal their IPv4 form), conversion to and from the system's
// socket address, and forward and reverse name resolution. Log tag "pal".
//
// Records are plain values owned by the caller; nothing here keeps state or
// allocates, so every function is safe from any thread on its own records.
// Resolution calls the system resolver and may block.
//
// Missing arguments are soft assertions: predicates then answer 1, except
// the loopback and equality tests (0); getters answer 0 or NULL; text
// writers NULL. Address texts that do not parse are not logged (answer 0).
#pragma once
#include <cstddef>
#include <cstdint>

struct sockaddr;

enum : int {
    OS_IPADDR_UNSPEC = 0,
    OS_IPADDR_IPV4 = 1,
    OS_IPADDR_IPV6 = 2,
    OS_IPADDR_UNIX = 3,
    OS_IPADDR_SET = 0x80,         // state bit: the address part holds an address
    OS_IPADDR_FAMILY_MASK = 0x7f, // state bits of the family
};

// Minimum sizes of the text buffers the printers take.
enum : size_t {
    OS_IPV4_CSTR_MAXN = 16,
    OS_IPV6_CSTR_MAXN = 60,
    OS_UNIXADDR_CSTR_MAXN = 108,
    OS_IPADDR_CSTR_MAXN = 80, // address with port
};


// Four address bytes in network order (first dotted number first in memory).
struct os_ipv4 {
    uint32_t addr;
};
struct os_ipv6 {
    uint32_t scope;   // zone index; meaningful for link-local (multicast) only
    uint8_t addr[16]; // network order
};
struct os_unixaddr {
    uint8_t abstract; // 1: abstract name space
    char path[108];   // NUL-terminated; an abstract name without its leading NUL
};
// state: OS_IPADDR_SET when the address part holds an address, and the
// family number in the low 7 bits. A record without the set bit is empty (it
// may still carry a family and a port).
struct os_ipaddr {
    uint8_t state;
    uint16_t port; // host order
    union {
        os_ipv4 ipv4;
        os_ipv6 ipv6;
        os_unixaddr unixaddr;
    };
};

// ---- os_ipv4 ------------------------------------------------------------------------------
void os_ipv4_clear(os_ipv4 *ipv4);
int os_ipv4_is_any(const os_ipv4 *ipv4);
int os_ipv4_is_loopback(const os_ipv4 *ipv4); // exactly 127.0.0.1
int os_ipv4_is_equal(const os_ipv4 *ipv4, const os_ipv4 *other);
// "%u.%u.%u.%u" into data (maxn >= OS_IPV4_CSTR_MAXN). data, or NULL.
char *os_ipv4_cstr(const os_ipv4 *ipv4, char *data, size_t maxn);
// Parses four decimal numbers of at most 255 separated by '.'; an empty
// number counts as 0 ("1..2.3" is 1.0.2.3) and leading zeros are decimal.
// The assembled bytes are stored into ipv4 (when given) even for an invalid
// text. 1 valid, 0 invalid.
int os_ipv4_cstr_set(os_ipv4 *ipv4, const char *cstr);
// 1 when addr and other agree under mask, 0 when not, -1 when any text is
// not a valid IPv4 text.
int os_ipv4_cstr_same_net(const char *addr, const char *mask, const char *other);

// ---- os_ipv6 ------------------------------------------------------------------------------
void os_ipv6_clear(os_ipv6 *ipv6);
int os_ipv6_is_any(const os_ipv6 *ipv6);
int os_ipv6_is_loopback(const os_ipv6 *ipv6);
int os_ipv6_is_linklocal(const os_ipv6 *ipv6);    // fe80::/10
int os_ipv6_is_sitelocal(const os_ipv6 *ipv6);    // fec0::/10
int os_ipv6_is_multicast(const os_ipv6 *ipv6);    // ff00::/8
int os_ipv6_is_mc_linklocal(const os_ipv6 *ipv6); // ff02::/16 (scope nibble 2)
// Equal bytes; when ipv6 is link-local (multicast) the scopes must agree too.
int os_ipv6_is_equal(const os_ipv6 *ipv6, const os_ipv6 *other);
// Eight groups of four lower-case hex digits, never shortened, with "%scope"
// for link-local (multicast) addresses (maxn >= OS_IPV6_CSTR_MAXN).
char *os_ipv6_cstr(const os_ipv6 *ipv6, char *data, size_t maxn);
// Parses "::ffff:a.b.c.d", "::a.b.c.d" and the general hex form with one
// "::" and an optional "%zone" (a decimal zone gives the scope, a name gives
// 0). ipv6 NULL only validates. 1/0; ipv6 is unchanged on failure.
int os_ipv6_cstr_set(os_ipv6 *ipv6, const char *cstr);

// ---- os_unixaddr ----------------------------------------------------------------------------
void os_unixaddr_clear(os_unixaddr *unixaddr); // path zeroed, flag kept
int os_unixaddr_is_abstract(const os_unixaddr *unixaddr);
int os_unixaddr_is_equal(const os_unixaddr *unixaddr, const os_unixaddr *other); // paths only
char *os_unixaddr_cstr(const os_unixaddr *unixaddr, char *data, size_t maxn);
// 1 when the text is shorter than 108 characters (copied), else 0 (cut copy).
int os_unixaddr_cstr_set(os_unixaddr *unixaddr, const char *cstr, int abstract);

// ---- os_ipaddr ------------------------------------------------------------------------------
void os_ipaddr_clear(os_ipaddr *ipaddr);    // state and port 0; address bytes kept
void os_ipaddr_ip_clear(os_ipaddr *ipaddr); // clears the set bit only
int os_ipaddr_is_empty(const os_ipaddr *ipaddr);
int os_ipaddr_ip_is_empty(const os_ipaddr *ipaddr);
int os_ipaddr_ip_is_any(const os_ipaddr *ipaddr);
int os_ipaddr_ip_is_loopback(const os_ipaddr *ipaddr);
// Addresses equal: both empty; same family and equal parts; or an IPv4 side
// equal to the ::ffff:a.b.c.d form of the IPv6 side. Unix never equals IP.
int os_ipaddr_ip_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other);
int os_ipaddr_is_equal(const os_ipaddr *ipaddr, const os_ipaddr *other); // ports too
int os_ipaddr_family(const os_ipaddr *ipaddr);
// IPv4 -> IPv6 maps the address to ::ffff:a.b.c.d. Switching between an IP
// family and Unix on a record whose family is set is a hard assertion. A
// resulting family 0 empties the record.
void os_ipaddr_family_set(os_ipaddr *ipaddr, int family);
uint16_t os_ipaddr_port(const os_ipaddr *ipaddr);
void os_ipaddr_port_set(os_ipaddr *ipaddr, uint16_t port);
// The IPv4 part; an IPv6 record holding ::ffff:a.b.c.d is turned into IPv4
// first. NULL for empty, Unix and other IPv6 records.
os_ipv4 *os_ipaddr_ipv4(os_ipaddr *ipaddr);
// The IPv6 part; an IPv4 record is turned into ::ffff:a.b.c.d first. NULL
// for empty and Unix records.
os_ipv6 *os_ipaddr_ipv6(os_ipaddr *ipaddr);
os_unixaddr *os_ipaddr_unix(os_ipaddr *ipaddr);
void os_ipaddr_ipv4_set(os_ipaddr *ipaddr, const os_ipv4 *ipv4); // NULL: clear the set bit
void os_ipaddr_ipv6_set(os_ipaddr *ipaddr, const os_ipv6 *ipv6);
void os_ipaddr_unix_set(os_ipaddr *ipaddr, const os_unixaddr *unixaddr);
// Copies other's address part by its family, keeping ipaddr's port; NULL
// clears the set bit.
void os_ipaddr_ip_set(os_ipaddr *ipaddr, const os_ipaddr *other);
int os_ipaddr_ipv6_to_ipv4(const os_ipv6 *ipv6, os_ipv4 *ipv4);
// IPv4 source: port, state and the IPv4 part; IPv6 or Unix source: the whole
// record. An empty source gives its port and family, and leaves dest's set
// bit and address bytes as they were.
void os_ipaddr_copy(os_ipaddr *dest, const os_ipaddr *src);
// Parses text as family (0: IPv4, else IPv6; the family becomes the one that
// parsed). NULL text empties the record with that family. ipaddr NULL only
// validates. 1, or 0 with the record unchanged.
int os_ipaddr_ip_cstr_set(os_ipaddr *ipaddr, const char *cstr, int family);
int os_ipaddr_set(os_ipaddr *ipaddr, const char *cstr, uint16_t port, int family);
int os_ipaddr_unix_set_cstr(os_ipaddr *ipaddr, const char *cstr, int abstract);
// Raw bytes: 4 for family 1, 16 for family 2 (scope 0). NULL bytes: as a
// NULL text. 1/0.
int os_ipaddr_ip_bin_set(os_ipaddr *ipaddr, const void *bin, size_t len, int family);
int os_ipaddr_bin_set(os_ipaddr *ipaddr, const void *bin, size_t len, int family);
// Address part only; an empty record prints "0.0.0.0", "::" or "".
char *os_ipaddr_ip_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn);
// "10.0.0.1:80", "[fe80:...:0001%2]:443", a Unix path alone, "0.0.0.0:0" for
// an empty record (maxn >= OS_IPADDR_CSTR_MAXN; Unix >= OS_UNIXADDR_CSTR_MAXN).
char *os_ipaddr_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn);
// os_ipaddr_cstr without the ":port" of an IP record.
char *os_ipaddr_host_cstr(const os_ipaddr *ipaddr, char *data, size_t maxn);
int os_ipaddr_is_ipv4_cstr(const char *cstr);
int os_ipaddr_is_ipv6_cstr(const char *cstr);

// ---- system addresses and resolution ----------------------------------------------------------
// Record -> system address in storage (at least 128 bytes, zeroed first).
// Length 16, 28 or 110; 0 on failure (an over-long Unix path).
int os_sockaddr_load(void *storage, const os_ipaddr *ipaddr);
// System address -> record (cleared first). The length read (16, 28, 110),
// 0 for an over-long Unix name.
int os_sockaddr_save(os_ipaddr *ipaddr, const struct sockaddr *saddr);
// Forward resolution of name (family of the record, or either when 0; the
// record's port as the service). The first answer fills the record. 1/0.
int os_addrinfo_addr(const char *name, os_ipaddr *addr);
// Reverse resolution (a name is required). buf, or NULL.
char *os_addrinfo_name(const os_ipaddr *addr, char *name, size_t maxn);
