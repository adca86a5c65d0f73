// client: the client sessions file "zk_client.ini" shared with the other
// zksd clients. It names connections ("sessions", section "session/" + name)
// and holds client-wide settings (section "conf": connect_timeout,
// read_timeout, write_timeout in seconds, cache_dir). A session reference
// "///name/rest" in a mount URL is turned into the session's real URL.
// Finding the file also publishes the proxy file "zk_proxy.ini" beside it
// (ZK_PROXY_FILE) and the cache directory (ZK_CACHE). Log tag "zkcli".
//
// The file is loaded for each operation and freed at once; nothing is kept
// but the file's path (set at start-up, read under a lock). Functions that
// write the file serialise on that lock too; the environment variables they
// set are process-wide.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_verr.h"
#include "libpal/string/url.h"

enum { CONF_PROT_LOC = 2, CONF_PROT_NET = 3, CONF_PROT_ZKP = 4 };

// One session. Texts are bounded copies (an over-long value is left empty).
struct conf_client_info {
    int32_t prot; // CONF_PROT_*
    char name[256];
    uint8_t use_ssl;
    char ip[256];   // '_' stands for ':' of an IPv6 address
    char port[32];  // a number, "ZKP_DEF_PORT" or "ZKPS_DEF_PORT"
    char user[256];
    char pwd[256];
    char bs[8];
    char fmod[4];
    char dmod[4];
    char proxy[256];
};

// ---- locating the file --------------------------------------------------------------
// Once: the first directory holding a regular file "zk_client.ini" among
// $ZK_ENV_CONF_DIR, the working directory and the executable's directory.
// 0, or -1 (path cleared) when none has it. Later calls return 0 at once.
int zk_conf_find_path(void);
// Uses dir ($ZK_ENV_CONF_DIR when set wins) whether or not the file exists
// yet. 0.
int zk_conf_set_path(const char *dir);
// Takes dir when "zk_client.ini" is a regular file there: sets the path,
// ZK_PROXY_FILE and (when not empty) ZK_CACHE. 0, else -1.
int zk_conf_try_dir(const char *dir);
// Copy of the sessions file path into out (empty when not found). Returns out.
char *zk_conf_get_path(char *out, size_t size);

// ---- settings in section "conf" ---------------------------------------------------------
// The value of key (connect_timeout, read_timeout, write_timeout), its
// default (6, 15, 8) when the file or key is missing; 0 for other keys.
int zk_conf_get_int(const char *key);
// Load (created when missing), set, save. 0, or -1 (logged).
int zk_conf_set_int(const char *key, int value);
// As zk_conf_set_int; key "cache_dir" also sets ZK_CACHE.
int zk_conf_set_str(const char *key, const char *value);
// The value into out (size bytes, strict), "" when missing; for "cache_dir"
// a set ZK_CACHE wins. Normalised as a path. 0.
int zk_conf_get_str(const char *key, char *out, size_t size);
// Adds connect_timeout, read_timeout and write_timeout (seconds, from the
// file) to the query of url where it lacks them. 0, or -1 when the URL
// cannot take them (url unchanged then for that key).
int zk_conf_url_add_timeouts(char (&url)[URL_TEXT_SIZE]);

// ---- sessions ------------------------------------------------------------------------
// Reads session `name` into rec. 0, or -1 with err (when given) filled:
// "conf_load [%s] failed", "'%s' does not exist", "Failed to get ip",
// "Unsupported protocol [%s]".
int conf_client_get_info(const char *name, conf_client_info *rec, vperror_t *err);
// Writes rec's section (zkp and net sessions). 0, -1 when the file cannot be loaded or saved.
int conf_client_set_info(const conf_client_info *rec);
// 1 when the section exists, 0 when not, -1 when the file cannot be loaded.
int conf_client_is_exist(const char *name);
// Deletes the section and saves. 0, -1 when the file cannot be loaded.
int conf_client_del(const char *name);
// Renames session old_name to new_name and saves. 0 or -1.
int conf_client_copy_move(const char *old_name, const char *new_name);
// Makes sure "localhost" (loc) and "network" (net) exist, then calls cb for
// every readable session but "network" and "_Quick_Connection". 0 or -1.
typedef void (*conf_walk_cb)(void *arg, const char *name, int prot);
int conf_walk_item(conf_walk_cb cb, void *arg);

// ---- URLs ------------------------------------------------------------------------------
// URL text of a session into out (size bytes). A user or password holding a
// character that would end its part of the URL ('@', '/', '?', '#', and ':'
// in the user) is refused. 0, or -1 with err filled (out untouched for an
// unknown prot, which is not an error).
int conf_client_2_url(const conf_client_info *rec, char *out, size_t size, vperror_t *err);
// conf_client_get_info, then conf_client_2_url. 0 or -1.
int conf_session_2_url(const char *name, char (&out)[URL_TEXT_SIZE], vperror_t *err);
// An empty name gives "" and 0; otherwise conf_session_2_url.
int conf_name_2_url(const char *name, char (&out)[URL_TEXT_SIZE], vperror_t *err);
// Translates a session reference "///name/rest?query" into the session's URL
// with the rest as its path (a "loc" session gives the rest alone); any other
// URL comes back trimmed with '\' turned to '/'. A reference that would turn
// into a "mem://" URL is refused. 0 or -1.
int url_conf_2_real(const char *url, char (&out)[URL_TEXT_SIZE], vperror_t *err);
// The same in place (url unchanged on failure).
int url_conf_2_real_inplace(char (&url)[URL_TEXT_SIZE], vperror_t *err);
// 1 when url names an archive held in this process's memory ("mem://" with
// a raw address and size, any case), else 0. Such a URL is for callers
// inside the program only: a command line, a shell command or a session
// must never hand one over.
int url_is_mem(const char *url);
