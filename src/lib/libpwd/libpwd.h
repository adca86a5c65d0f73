// libpwd: the password transformations of the zksd logins and the server's
// half of them.
//
// Client side: the password hash of the old login ("{SHA}" + base64 of the
// SHA-1 digest), the login key of the key login (hex SHA-1 of "KORVO", user,
// password and the server's certificate text) and the enciphering of setting
// values under the login key (RC4, then base64).
//
// Server side: one configured account, the user/password and key checks,
// certificate issue, and the per-address lockout after repeated failures
// (ipcheck_*), with an optional login log file. These keep process-wide
// state: the account is written at start-up and by libpwd_set_user, the
// address table is guarded by its own mutex, so the checks may run from any
// thread.
//
// No password, login key or certificate is ever written to a log line.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
    LIBPWD_HASH_SIZE = 34,     // "{SHA}" + 28 base64 characters + NUL
    LIBPWD_KEY_SIZE = 41,      // 40 hex digits + NUL
    LIBPWD_CERT_SIZE = 257,    // 256 hex digits + NUL
    LIBPWD_ERRMSG_SIZE = 256,  // room the checks need in errmsg
};

// ---- client side ---------------------------------------------------------------------

// The password hash text into out (strict: out is emptied when size bytes do
// not hold it). An empty or NULL password gives the empty text. Returns out.
char *libpwd_hash(const char *pwd, char *out, size_t size);
// The same as a new allocation (free with os_free), NULL when memory runs out.
char *libpwd_hash_dup(const char *pwd);
// The login key: 40 lower-case hex digits of SHA-1("KORVO" user pwd cert)
// into out. ver is not used. NULL texts count as empty. size below 41 ends
// the program (hard assertion). Returns 0.
int libpwd_build_key(const char *user, const char *pwd, int ver, const char *cert, char *out, size_t size);
// Base64 of the RC4 encryption (key: the bytes of the key text) of the
// value's bytes into out. 0, or -1 with out empty when the key is empty or
// out is too small.
int libpwd_encode_value(const char *value, const char *key, char *out, size_t size);
// The inverse: base64-decodes text into out and deciphers it in place, ending
// it with a NUL. -1 for text that does not decode, decodes to nothing or
// fills all size bytes (no room for the NUL), or an empty key.
int libpwd_decode_value(const char *text, const char *key, char *out, size_t size);

// ---- server side ------------------------------------------------------------------------

struct libpwd_conf_t {
    const char *user;
    const char *passwd;
    const char *log_path;  // login log file, or NULL/"" for none
    uint32_t log_flags;    // bit 0: each line starts with the local time
    int32_t fail_count;    // failures that lock an address; 0 (or less): no lockout
    int32_t lock_minutes;  // 0: 60
    int32_t max_addrs;     // addresses remembered at most; 0: 10000
};

// Stores the account (user, password and its hash) and starts the lockout.
// Once: a second call does nothing until libpwd_exit. Returns 0.
int libpwd_init(const libpwd_conf_t *conf);
// Wipes the stored user and password and ends the lockout. Returns 0.
int libpwd_exit(void);
// Replaces the account. Both texts must be valid names (none of
// ; / \ " ' ? : @ # and blank). 0, or -1 with the reason in errmsg.
int libpwd_set_user(const char *user, const char *pwd, char *errmsg);
// Old login check from address ip. 0 when user and password (plain or its
// "{SHA}" hash) are the account's; 1 "Wrong user or password" (the probe user
// ":" is answered so without a log line or a counted failure); 2 while the
// address is locked out (errmsg says for how long). NULL texts count as empty.
int libpwd_check_user_pwd(const char *ip, const char *user, const char *pwd, char *errmsg);
// Key login, first step: for the account's user, a fresh certificate of 256
// lower-case hex digits from the system's random source into cert and the
// login key expected back into key; *ver_out = min(ver, 1). 0; 1 for another
// user; 2 while the address is locked out. cert_size below 257 or key_size
// below 41 ends the program (hard assertion).
int libpwd_user_get_cert(const char *ip, int ver, int *ver_out, const char *user, char *cert, size_t cert_size,
                         char *key, size_t key_size, char *errmsg);
// Key login, second step: 0 when key equals expected; 1 otherwise (a failure
// counted for the address); 2 while the address is locked out.
int libpwd_check_key(const char *ip, const char *key, const char *expected, char *errmsg);

// Per-address lockout. ipcheck_init opens the login log (when a path is set)
// and, with a fail count above 0, the address table.
int ipcheck_init(const libpwd_conf_t *conf);
// 0 when ip may try; 2 with "Login failed %d times, Please try again in %0.2f
// minutes" while it is locked. An unknown address is remembered (the oldest
// failures are forgotten first when the table is full). Any thread.
int ipcheck(const char *ip, char *errmsg);
// A successful login: logged to the login log; the address is forgotten.
void ipcheck_ok(const char *ip, const char *user);
// A failed login: logged to the login log; a remembered address counts it
// and is locked for the configured minutes when the count is reached.
void ipcheck_fail(const char *ip, const char *user);
// Frees the table and closes the login log. Returns 0.
int ipcheck_exit(void);
// Test seam: the millisecond clock the lockout reads (NULL: the monotonic
// clock).
void ipcheck_set_clock(uint64_t (*now_ms)(void));
