// Private to the "ftp" driver (ftp.cpp: the session, its control
// connection, the mount and the path codes; ftp_list.cpp: listings and
// stats; ftp_stream.cpp: transfers and the file handles): the mount and
// handle records, the error helpers and the functions the pieces share.
// See ftp.cpp for how the driver works.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "libnet/libnet.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libpal/vfile/os_file2.h"
#include "liblog/log2.h"
#include "libvfs/ftp_proto.h"
#include "libvfs/meta_cache.h"
#include "libvfs/vfs_imp.h"

namespace ftp_drv {

constexpr int32_t k_timeout_ms = 2000;      // connects, replies and transfers
constexpr int32_t k_login_wait_ms = 10000; // the reply to PASS
constexpr int32_t k_end_wait_ms = 10000;   // an upload's final reply (the server writes out first)
constexpr size_t k_line_size = 4096;        // one control line
constexpr size_t k_reply_max = 64 * 1024;   // all lines of one reply
constexpr size_t k_cmd_size = 4096;         // one command with its CRLF
// What one listing may cost: the bytes read plus the room of the entries
// they made. A bigger one is refused, never read to its end.
constexpr size_t k_list_max = 64u << 20;
constexpr size_t k_io_max = 1u << 30;       // largest single transfer call
// The pace of a data connection: a listing, or one read or write call of a
// transfer, may take k_grace_ms, then must average at least k_min_rate
// bytes a second. A server that trickles (a few bytes now and then, never
// a whole time-out of silence) would hold the mount's one thread for ever.
constexpr uint64_t k_grace_ms = 10000;
constexpr uint64_t k_min_rate = 16 * 1024;
constexpr int k_default_port = 21;
// The password of an anonymous login (and of a user given without one).
constexpr const char *k_anon_pwd = "zkue@localhost";

struct ftp_file;

struct ftp_mnt {
    net_conn ctrl{};
    int32_t data_connect_timeout = k_timeout_ms;
    int32_t transfer_timeout = k_timeout_ms;
    vfs_mount_ctx *mnt = nullptr;
    std::mutex mu;
    std::string host;
    int port = k_default_port;
    os_ipaddr peer{};     // the control connection's peer: data connections go there
    std::string user, pwd;
    std::string root;     // "" or "/dir" (no '/' at the end)
    bool feat_mlsd = false; // FEAT offered MLST / MLSD
    bool no_size = false;   // SIZE was answered as a command the server does not know
    bool up = false;      // the control connection is logged in and in step
    ftp_file *active = nullptr; // the handle whose transfer holds the connection
    std::vector<ftp_file *> uploads; // open upload handles
    // What listings said about entries (server paths), for stats.
    vfs_mcache *mc = nullptr;
    uint32_t uid = 0, gid = 0;
    int64_t mounted_at = -1; // the root's times

    ftp_mnt() = default;
    ftp_mnt(const ftp_mnt &) = delete;
    ftp_mnt &operator=(const ftp_mnt &) = delete;
    ~ftp_mnt() { vfs_mcache_free(mc); }
};

struct ftp_file {
    uint32_t write = 0;   // 1: an upload handle, 0: a download handle
    int64_t flen = -1;    // from SIZE; -1 when unknown
    net_conn data{};      // open while `open`
    ftp_mnt *m = nullptr;
    std::string path;     // server path
    int64_t pos = 0;      // stream position
    bool open = false;    // a transfer is running: data connection up, final reply due
    bool append = false;  // opened for appending
    bool stored = false;  // the server's file holds this handle's bytes up to pos: go on with APPE
    bool replace = false; // truncated to 0 before its upload began: the end stores an empty file
    int err = 0;          // an upload that failed: its status, reported by every later call
    std::string err_msg;
};

struct ftp_dir {
    ftp_mnt *m = nullptr;
    std::string dir; // server path
    std::vector<ftp_entry> entries;
    size_t next = 0;
    os_dir_entry_t ent{};
};


// The entry at server path `path` changed through the mount: what the
// listings said about it and its directory goes.
void changed(ftp_mnt *m, const std::string &path);

int fail_imp(int line, const char *func, int code, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
// Records {code, message} in the calling thread's record; -1.
#define FAIL(code, ...) fail_imp(__LINE__, __func__, (code), __VA_ARGS__)

// The status of a reply code or of ftp_reply's failure during the login.
int reply_status(int r);
// The same for a command after the login (530: the session is over).
int cmd_status(int r);
// Records the failure of command `what` answered r (text: the reply, may be
// empty); -1.
#define FAIL_REPLY(what, r, text) \
    fail_imp(__LINE__, __func__, cmd_status(r), "%s: %s", (what), reply_text((r), (text)).c_str())
// The text of reply r for an error record.
std::string reply_text(int r, const std::string &text);
// Empties the calling thread's record.
void clear_rec();
// Whether r is a transfer's good final reply.
bool ok_end(int r);

// The clock of one listing or transfer call (see k_grace_ms).
struct pace {
    uint64_t start = os_clock_ms();
    // true when `bytes` came (or went) too slowly to go on waiting.
    bool too_slow(uint64_t bytes) const { return os_clock_ms() - start > k_grace_ms + bytes * 1000 / k_min_rate; }
    uint64_t ms() const { return os_clock_ms() - start; }
};

// The status an upload that failed with reply (or ftp_reply result) r reports.
int upload_status(int r);
bool preliminary(int r);

// Reads one reply (all its lines); text, when given, receives every line
// with a '\n' after each. The code; 0 when nothing came in time, -1 on a
// connection error, -2 for a line that is no reply, or for a preliminary
// (1xx) reply when a final one is due (final_due): the 1xx of a command
// answered twice, whose final reply would then be taken for the answer to
// the next command. Anything but a code leaves the connection out of step
// (m->up cleared), and so do 421 (the server closes the connection) and
// 530 (the session is over).
int ftp_reply(ftp_mnt *m, std::string *text, bool final_due = true);
// A command whose reply is final (printf-style), see ftp_vcmd.
int ftp_cmd(ftp_mnt *m, std::string *text, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// A command that opens a transfer: its first reply may be preliminary.
int ftp_xfer_cmd(ftp_mnt *m, std::string *text, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Connects the control connection and logs in. 0, or -1 with err filled.
int ftp_login(ftp_mnt *m, vperror_t *err);
// The server path of a mount path. 0, or -1 with the record filled.
int full_path(ftp_mnt *m, const char *path, std::string &out);

// Transfers (ftp_stream.cpp).
// Sends PASV and connects the data connection d. 0, or -1 (record filled).
int ftp_pasv_mode(ftp_mnt *m, net_conn *d);
// Makes the control connection free for f (NULL: for a command of no
// transfer), made again first when it is out of step. 0, or -1 (record filled).
int take_ctrl(ftp_mnt *m, ftp_file *f);
// A truncation by path, served as the upload handle of that path serves it.
int truncate_path(ftp_mnt *m, const vfs_ioc_truncate_t *a);

// Listings (ftp_list.cpp).
// One line of an MLSD listing (without its '\n'; changed): its entry goes
// to out, unless the line is no entry or cannot be shown as it stands.
void keep_mlsd_line(std::string &line, std::vector<ftp_entry> &out);
// Reads the listing of server directory dir into out. 0, or -1 (record filled).
int list_dir(ftp_mnt *m, const std::string &dir, std::vector<ftp_entry> &out);
// The stat record of entry e at server path `path`.
void fill_stat(const ftp_mnt *m, const ftp_entry &e, const std::string &path, os_file_stat_t *st);
// The server path of entry e of directory dir.
std::string entry_path(const std::string &dir, const ftp_entry &e);
// Stat of a mount path from its parent's listing. 0 / -1 (record filled).
int stat_path(ftp_mnt *m, const char *path, os_file_stat_t *st);

// The driver's slots.
void *vfs_ftp_open(void *mp, const char *path, uint32_t pf);
int vfs_ftp_close(void *fh);
int vfs_ftp_flush(void *fh);
int64_t vfs_ftp_read(void *fh, void *buf, uint64_t len, int64_t off);
int64_t vfs_ftp_write(void *fh, const void *buf, uint64_t len, int64_t off);
int64_t vfs_ftp_lseek(void *, int64_t, int);
int vfs_ftp_fstat(void *fh, os_file_stat_t *st);
int vfs_ftp_ftruncate(void *fh, int64_t size);
void *vfs_ftp_opendir(void *mp, const char *path, const char *);
os_dir_entry_t *vfs_ftp_readdir(void *dh);
int vfs_ftp_closedir(void *dh);

} // namespace ftp_drv
