// The "ftp" driver's transfers and file handles: the passive data
// connection, the one transfer the control connection serves at a time,
// downloads that go on or restart at a read's offset, uploads that take
// writes at their position and keep a failure for every later call.
#include "libvfs/ftp_imp.h"

namespace ftp_drv {

// ---- transfers ----------------------------------------------------------------------------

// Sends PASV and connects the data connection `d` to the port it names. The
// address is the control connection's peer (no second lookup of the host):
// a server that names another one (a private address behind a translating
// router, or a third machine) gets its port on the machine the mount talks
// to. 0, or -1 with the record filled.
int ftp_pasv_mode(ftp_mnt *m, net_conn *d)
{
    std::string text;
    int r = ftp_cmd(m, &text, "PASV");
    char host[64];
    int port = 0;
    if (r != 227 || ftp_pasv_parse(text.c_str(), host, sizeof host, &port) != 0 || port <= 0) {
        LOG_ERR(VFS_TAG, "ftp_cmd PASV ret=%d error\n", r);
        if (r == 227)
            return FAIL(VERR_NET_PROTOCOL_ERROR, "PASV: %s", reply_text(r, text).c_str());
        return FAIL_REPLY("PASV", r, text);
    }
    os_ipaddr to = m->peer;
    os_ipaddr_port_set(&to, (uint16_t)port);
    char shown[OS_IPADDR_CSTR_MAXN];
    LOG_DBG(VFS_TAG, "PASV names %s: data goes to %s\n", host, os_ipaddr_cstr(&to, shown, sizeof shown));
    net_opts o{};
    o.connect_timeout = m->data_connect_timeout;
    vperror_t e{};
    os_socket_t s = sock_tcp_connect_addr(&to, &o, &e);
    if (!s) {
        LOG_ERR(VFS_TAG, "ftp_cmd PASV ret=%d error\n", r);
        return FAIL(VERR_DEV_IO_ERROR, "data connection to port %d: %s", port, e.msg);
    }
    *d = net_conn{};
    d->type = NET_TCP_TYPE;
    d->handle = s;
    d->timeout = m->transfer_timeout;
    return 0;
}

// Marks upload f as failed for good (the first failure is the one kept).
void mark_failed(ftp_file *f, int code, const std::string &msg)
{
    if (f->err)
        return;
    f->err = code;
    f->err_msg = msg;
    LOG_DBG(VFS_TAG, "upload %s failed: %s\n", f->path.c_str(), msg.c_str());
}

// Reports the failure of upload f in the record; -1.
int report_err(ftp_file *f) { return FAIL(f->err, "%s", f->err_msg.c_str()); }

// Marks upload f failed (code, msg) and reports it; -1.
int upload_failed(ftp_file *f, int code, const std::string &msg)
{
    mark_failed(f, code, msg);
    return report_err(f);
}

// Marks upload f failed by what the record holds (no space stays no space,
// anything else is an I/O error) and reports it; -1.
int upload_failed_rec(ftp_file *f)
{
    const vperror_t *e = vfs_err_rec();
    return upload_failed(f, e->code == VERR_DISK_FULL ? VERR_DISK_FULL : VERR_DEV_IO_ERROR,
                         std::string("upload: ") + e->msg);
}

// Ends f's transfer: closes the data connection (which ends an upload) and
// reads the final reply (an upload's with a longer wait: the server writes
// its file out first). 0 when it is 226 or 250; -1 with the record filled,
// an upload then marked failed.
int end_transfer(ftp_file *f)
{
    ftp_mnt *m = f->m;
    net_close(&f->data);
    f->open = false;
    if (m->active == f)
        m->active = nullptr;
    if (f->write)
        changed(m, f->path);
    std::string text;
    const int32_t saved = m->ctrl.timeout;
    if (f->write)
        m->ctrl.timeout = k_end_wait_ms;
    int r = ftp_reply(m, &text);
    m->ctrl.timeout = saved;
    if (ok_end(r))
        return 0;
    LOG_DBG(VFS_TAG, "%s end ret=%d\n", f->write ? "upload" : "download", r);
    if (f->write)
        return upload_failed(f, upload_status(r), "upload: " + reply_text(r, text));
    return FAIL_REPLY("download", r, text);
}

// Anything waiting on the control connection while no transfer holds it
// was not asked for: a server that closed the connection after an idle
// time (421, or only its end), or a reply out of step. Either way the
// connection is made again before the next command (take_ctrl).
void check_idle_ctrl(ftp_mnt *m)
{
    if (!m->up || m->active || !m->ctrl.handle)
        return;
    if (os_socket_wait((os_socket_t)m->ctrl.handle, OS_SOCKET_WAIT_READ, 0) == 0)
        return;
    char line[k_line_size];
    const int32_t saved = m->ctrl.timeout;
    m->ctrl.timeout = 100;
    const int n = net_gets(&m->ctrl, line, sizeof line);
    m->ctrl.timeout = saved;
    if (n > 0)
        LOG_DBG(VFS_TAG, "unasked reply [%s] on the control connection\n", line);
    else
        LOG_DBG(VFS_TAG, "the server closed the control connection\n");
    m->up = false;
}

// Makes the control connection free for a command of f (NULL: of no
// handle): the transfer of any other handle is ended first (a failed upload
// end is kept for that handle), and a connection out of step, or one the
// server closed while idle, is made again (logged in anew). 0, or -1 with
// the record filled (EIO when the connection cannot be made again).
int take_ctrl(ftp_mnt *m, ftp_file *f)
{
    if (m->active && m->active != f) {
        ftp_file *a = m->active;
        if (!m->up) {
            net_close(&a->data);
            a->open = false;
            m->active = nullptr;
            if (a->write)
                mark_failed(a, VERR_DEV_IO_ERROR, "upload: control connection lost");
        } else if (end_transfer(a) < 0) {
            clear_rec(); // an upload's failure is kept for its own handle
        }
    }
    check_idle_ctrl(m);
    if (!m->up) {
        LOG_DBG(VFS_TAG, "control connection out of step: connecting again\n");
        if (m->active) {
            net_close(&m->active->data);
            m->active->open = false;
            if (m->active->write)
                mark_failed(m->active, VERR_DEV_IO_ERROR, "upload: control connection lost");
            m->active = nullptr;
        }
        // What the old connection listed may be out of date by now.
        vfs_mcache_clear(m->mc);
        if (vperror_t e{}; ftp_login(m, &e) < 0)
            return FAIL(VERR_DEV_IO_ERROR, "connecting again: %s", e.msg);
        if (ftp_cmd(m, nullptr, "TYPE I") != 200) {
            LOG_ERR(VFS_TAG, "ftp_cmd TYPE I error\n");
            return FAIL(VERR_DEV_IO_ERROR, "TYPE I refused");
        }
    }
    return 0;
}

// Starts f's transfer at off: PASV, then for a download REST (when off is
// not 0) and RETR, for an upload STOR or APPE. 0 with the transfer running
// (or already ended by a final reply); -1 with the record filled.
int start_transfer(ftp_file *f, int64_t off)
{
    ftp_mnt *m = f->m;
    if (take_ctrl(m, f) < 0)
        return -1;
    if (ftp_pasv_mode(m, &f->data) < 0)
        return -1;
    std::string text;
    int r;
    const char *what;
    if (!f->write) {
        if (off > 0) {
            r = ftp_cmd(m, &text, "REST %lld", (long long)off);
            if (r != 350) {
                LOG_DBG(VFS_TAG, "REST return error=%d\n", r);
                net_close(&f->data);
                return FAIL_REPLY("REST", r, text);
            }
            text.clear();
        }
        what = "RETR";
        r = ftp_xfer_cmd(m, &text, "RETR %s", f->path.c_str());
    } else {
        what = f->stored ? "APPE" : "STOR";
        r = ftp_xfer_cmd(m, &text, "%s %s", what, f->path.c_str());
        changed(m, f->path);
    }
    if (preliminary(r)) {
        f->open = true;
        f->pos = off;
        m->active = f;
        if (f->write)
            f->stored = true;
        return 0;
    }
    net_close(&f->data);
    if (f->write && ok_end(r)) {
        // Done before any data: nothing is pending.
        f->stored = true;
        f->pos = off;
        return 0;
    }
    LOG_DBG(VFS_TAG, "%s return error=%d\n", what, r);
    return FAIL_REPLY(what, r, text);
}

// Asks the server the length of f's file (SIZE) into f->flen; the control
// connection must be free (take_ctrl). 1 with the length; 0 when the server
// gives none (the command refused, a reply without a number: f->flen is then
// left as it was); -1 when the connection failed, with the record filled.
// A server that does not know the command is not asked again.
int ask_size(ftp_mnt *m, ftp_file *f)
{
    if (m->no_size)
        return 0;
    std::string text;
    const int r = ftp_cmd(m, &text, "SIZE %s", f->path.c_str());
    if (r == 500 || r == 502)
        m->no_size = true;
    uint64_t len = 0;
    const char *sp = strchr(text.c_str(), ' ');
    if (r == 213 && sp && ftp_u64_parse(sp + 1, strcspn(sp + 1, "\r\n "), &len) == 0 && len <= INT64_MAX) {
        f->flen = (int64_t)len;
        LOG_DBG(VFS_TAG, "flen=%ld\n", (long)f->flen);
        return 1;
    }
    LOG_ERR(VFS_TAG, "ftp_cmd SIZE  ret=%d error\n", r);
    if (r <= 0 || !m->up)
        return FAIL_REPLY("SIZE", r, text); // the connection failed, not the command
    return 0;
}

// Starts f's download at off. A read at or past the end last seen (the end
// of a transfer, or what SIZE said) first asks the server the length again:
// the file may have grown since. 1 with the transfer started; 0 when the
// server says the file ends at or before off (nothing to read); -1 with the
// record filled. A server that gives no length is asked by the transfer.
int start_download(ftp_file *f, int64_t off)
{
    if (f->flen >= 0 && off >= f->flen) {
        if (take_ctrl(f->m, f) < 0)
            return -1;
        const int r = ask_size(f->m, f);
        if (r < 0)
            return -1;
        if (r > 0 && off >= f->flen)
            return 0;
    }
    return start_transfer(f, off) < 0 ? -1 : 1;
}

void *vfs_ftp_open(void *mp, const char *path, uint32_t pf)
{
    ftp_mnt *m = (ftp_mnt *)mp;
    std::lock_guard<std::mutex> g(m->mu);
    if (!path) {
        FAIL(VERR_INVALID_PARAMETER, "path missing");
        return nullptr;
    }
    // "name?offset=N" starts a download at N.
    std::string name = path;
    int64_t start = 0;
    size_t q = name.find('?');
    if (q != std::string::npos && url_query_exist(path, "offset")) {
        start = url_get_query_ll(path, "offset", 0);
        LOG_DBG(VFS_TAG, "offset=%lld\n", (long long)start);
        name.resize(q);
        if (start < 0) {
            FAIL(VERR_INVALID_PARAMETER, "offset=%lld", (long long)start);
            return nullptr;
        }
    }
    const uint32_t kind = pf & (OS_FILE_READ | OS_FILE_WRITE | OS_FILE_RDWR);
    const bool reading = kind == OS_FILE_READ, writing = kind == OS_FILE_WRITE;
    if (!reading && !writing) {
        LOG_ERR(VFS_TAG, "oflag=%d not spport\n", (int)pf);
        FAIL(VERR_NOT_SUPPORTED, "oflag=%d not spport", (int)pf);
        return nullptr;
    }
    ftp_file *f = new (std::nothrow) ftp_file;
    if (!f) {
        FAIL(VERR_NO_MEMORY, "memory allocation failed");
        return nullptr;
    }
    f->m = m;
    f->write = writing;
    f->append = writing && (pf & OS_FILE_APPEND);
    if (full_path(m, name.c_str(), f->path) < 0 || take_ctrl(m, nullptr) < 0) {
        delete f;
        return nullptr;
    }
    std::string text;
    int r = ftp_cmd(m, &text, "TYPE I");
    if (r != 200) {
        LOG_ERR(VFS_TAG, "ftp_cmd TYPE I ret=%d error\n", r);
        FAIL_REPLY("TYPE I", r, text);
        delete f;
        return nullptr;
    }
    if (ask_size(m, f) < 0) {
        delete f;
        return nullptr;
    }
    int rc = 0;
    if (reading) {
        rc = start_transfer(f, start);
    } else if (f->append) {
        f->stored = true;
        f->pos = f->flen >= 0 ? f->flen : 0;
        rc = start_transfer(f, f->pos);
    } else if (pf & (OS_FILE_CREATE | OS_FILE_TRUNC)) {
        // The file is made (or emptied) now, as the open asks.
        rc = start_transfer(f, 0);
    }
    // A plain write-only open of a file that is there changes nothing yet:
    // its upload starts at its first write, or at its end when it was
    // truncated to 0 meanwhile.
    if (rc < 0) {
        delete f;
        return nullptr;
    }
    if (f->write)
        m->uploads.push_back(f);
    return f;
}

// Ends an upload for close(2): the transfer in progress, or the empty file
// a truncation to 0 asked for. 0, or -1 with the record filled.
int finish_upload(ftp_file *f)
{
    if (f->err)
        return report_err(f);
    if (f->open)
        return end_transfer(f);
    if (!f->stored && f->replace) {
        if (start_transfer(f, 0) < 0)
            return upload_failed_rec(f);
        return f->open ? end_transfer(f) : 0;
    }
    return 0;
}

int vfs_ftp_close(void *fh)
{
    ftp_file *f = (ftp_file *)fh;
    ftp_mnt *m = f->m;
    int r = 0;
    {
        std::lock_guard<std::mutex> g(m->mu);
        if (f->write) {
            r = finish_upload(f);
        } else if (f->open) {
            end_transfer(f);
            clear_rec(); // a download cut short ends with a complaint of the server's
        }
        if (m->active == f)
            m->active = nullptr;
        std::erase(m->uploads, f);
        net_close(&f->data);
    }
    delete f;
    return r;
}

// flush (close(2) of a descriptor) and fsync: an upload's bytes so far are
// made the server's (its transfer ended and its final reply read; the next
// write goes on with APPE), or its failure is reported.
int vfs_ftp_flush(void *fh)
{
    ftp_file *f = (ftp_file *)fh;
    std::lock_guard<std::mutex> g(f->m->mu);
    return f->write ? finish_upload(f) : 0;
}

// A read of at most len bytes at off (-1: the position), see the top.
int64_t vfs_ftp_read(void *fh, void *buf, uint64_t len, int64_t off)
{
    ftp_file *f = (ftp_file *)fh;
    ftp_mnt *m = f->m;
    std::lock_guard<std::mutex> g(m->mu);
    if (f->write) {
        LOG_ERR(VFS_TAG, "only can write\n");
        return FAIL(VERR_NOT_SUPPORTED, "only can write");
    }
    if (off == -1)
        off = f->pos;
    if (off < 0 || !buf)
        return FAIL(VERR_INVALID_PARAMETER, "read at %lld", (long long)off);
    if (len == 0)
        return 0;
    if (len > k_io_max)
        len = k_io_max;
    // The transfer running at off goes on; any other read starts one there.
    bool asked = false; // the server was asked where the file ends
    if (!(f->open && off == f->pos)) {
        if (f->open) {
            end_transfer(f);
            clear_rec();
        }
        asked = f->flen >= 0 && off >= f->flen;
        if (const int r = start_download(f, off); r <= 0)
            return r;
    }
    // All of len, the end of the file, or a failure: a short count would
    // tell the kernel that the file ends there. A failed transfer is ended;
    // the next read starts it again where it asks.
    const pace clock;
    char *p = (char *)buf;
    uint64_t done = 0;
    for (;;) {
        int n = net_sock_read(&f->data, p + done, (size_t)(len - done));
        if (n < 0) {
            int eno = errno;
            end_transfer(f);
            return FAIL(eno == ECANCELED ? VERR_ABORTED : VERR_DEV_IO_ERROR, "read data net error");
        }
        done += (uint64_t)n;
        f->pos += n;
        if (done == len)
            return (int64_t)done;
        if (f->data.disconnected) {
            // The server ended the stream: its final reply says whether all came.
            if (end_transfer(f) < 0)
                return -1;
            f->flen = f->pos;
            if (done > 0 || asked)
                return (int64_t)done;
            // A transfer started before the file grew ends where it stood
            // then: a read that got nothing of it asks the server once.
            asked = true;
            if (const int r = start_download(f, off); r <= 0)
                return r;
            continue;
        }
        if (n == 0) {
            end_transfer(f);
            return FAIL(VERR_TIMEOUT, "read data timeout");
        }
        if (clock.too_slow(done)) {
            end_transfer(f);
            return FAIL(VERR_DEV_IO_ERROR, "download of %s came slower than %llu KiB/s (%llu bytes in %llu ms)",
                        f->path.c_str(), (unsigned long long)(k_min_rate >> 10), (unsigned long long)done,
                        (unsigned long long)clock.ms());
        }
    }
}

int64_t vfs_ftp_write(void *fh, const void *buf, uint64_t len, int64_t off)
{
    ftp_file *f = (ftp_file *)fh;
    ftp_mnt *m = f->m;
    std::lock_guard<std::mutex> g(m->mu);
    if (!f->write) {
        LOG_ERR(VFS_TAG, "only can read\n");
        return FAIL(VERR_NOT_SUPPORTED, "only can read");
    }
    if (f->err)
        return report_err(f);
    if (off == -1)
        off = f->pos;
    if (off != f->pos) {
        // Appending to a file of unknown length: the caller knows better.
        if (f->append && f->flen < 0 && !f->open && f->pos == 0)
            f->pos = off;
        else
            return FAIL(VERR_NOT_SUPPORTED, "write at %lld: an FTP upload only goes on at %lld", (long long)off,
                        (long long)f->pos);
    }
    if (len == 0)
        return 0;
    if (!buf)
        return FAIL(VERR_INVALID_PARAMETER, "buffer missing");
    if (len > k_io_max)
        len = k_io_max;
    if (!f->open) {
        if (start_transfer(f, f->pos) < 0)
            return upload_failed_rec(f);
        if (!f->open)
            return upload_failed(f, VERR_DEV_IO_ERROR, "upload: the server ended the upload before any data");
    }
    // All of it or a failure: a stall (nothing taken for a whole time-out),
    // a refused or lost data connection end the upload, and the server's
    // final reply says why.
    // Anything on the control connection now is the server ending the
    // upload early (a full disk, an abort): it failed.
    if (os_socket_wait((os_socket_t)m->ctrl.handle, OS_SOCKET_WAIT_READ, 0) != 0) {
        if (end_transfer(f) == 0)
            return upload_failed(f, VERR_DEV_IO_ERROR, "upload: the server ended the upload early");
        return -1;
    }
    const char *p = (const char *)buf;
    const pace clock;
    for (uint64_t done = 0; done < len;) {
        int n = net_sock_write(&f->data, p + done, (size_t)(len - done));
        const bool slow = n > 0 && done + (uint64_t)n < len && clock.too_slow(done + (uint64_t)n);
        if (n <= 0 || slow) {
            const char *why = slow    ? "upload: the server took the data slower than the least pace allowed"
                              : n == 0 ? "upload: write data timeout"
                                       : "upload: write data net error";
            if (end_transfer(f) == 0)
                return upload_failed(f, VERR_DEV_IO_ERROR, why);
            return -1;
        }
        done += (uint64_t)n;
        f->pos += n;
    }
    return (int64_t)len;
}

int64_t vfs_ftp_lseek(void *, int64_t, int)
{
    LOG_ERR(VFS_TAG, "ftp not support\n");
    return FAIL(VERR_NOT_SUPPORTED, "ftp not support");
}

// Brings a download's length up to date: the file may have grown or shrunk
// since the end last seen. The server is asked (SIZE) unless the handle's
// own transfer is running short of that end (asking would end it; its end
// tells) or the server gives no length; the file an upload of this mount is
// writing now is as long as that upload made it (asking would end that
// upload's transfer). When the server cannot be asked, the end last seen
// stands.
void refresh_len(ftp_file *f)
{
    ftp_mnt *m = f->m;
    if (f->flen < 0 || m->no_size || (f->open && f->pos < f->flen))
        return;
    if (m->active && m->active->write && m->active->path == f->path) {
        f->flen = m->active->pos;
        return;
    }
    if (f->open) {
        end_transfer(f);
        clear_rec();
    }
    if (take_ctrl(m, f) < 0 || ask_size(m, f) < 0) {
        LOG_DBG(VFS_TAG, "length of %s not asked: %s\n", f->path.c_str(), vfs_err_rec()->msg);
        clear_rec();
    }
}

int vfs_ftp_fstat(void *fh, os_file_stat_t *st)
{
    ftp_file *f = (ftp_file *)fh;
    if (!st)
        return FAIL(VERR_INVALID_PARAMETER, "stat record missing");
    std::lock_guard<std::mutex> g(f->m->mu);
    if (!f->write)
        refresh_len(f);
    ftp_entry e;
    e.type = OS_FTYPE_FILE;
    fill_stat(f->m, e, f->path, st);
    st->size = (uint64_t)(f->write ? f->pos : f->flen);
    st->blocks = f->flen < 0 && !f->write ? 0 : (st->size + 511) / 512;
    return 0;
}

// Only what the upload makes true anyway: the length it has, or 0 before
// anything was written (the upload replaces the file).
bool truncate_ok(ftp_file *f, int64_t size)
{
    if (f->write && size == 0 && f->pos == 0 && !f->append) {
        if (!f->stored)
            f->replace = true;
        return true;
    }
    return f->write && size == f->pos && (f->stored || f->open);
}

int vfs_ftp_ftruncate(void *fh, int64_t size)
{
    ftp_file *f = (ftp_file *)fh;
    std::lock_guard<std::mutex> g(f->m->mu);
    if (truncate_ok(f, size))
        return 0;
    return FAIL(VERR_NOT_SUPPORTED, "truncate to %lld not supported by ftp", (long long)size);
}

// A truncation by path: the kernel sends the one of open(O_TRUNC) that way.
// Served as the upload handle of that path serves it.
int truncate_path(ftp_mnt *m, const vfs_ioc_truncate_t *a)
{
    std::string full;
    if (!a || full_path(m, a->path, full) < 0)
        return a ? -1 : FAIL(VERR_INVALID_PARAMETER, "argument missing");
    changed(m, full);
    for (ftp_file *f : m->uploads)
        if (f->path == full && truncate_ok(f, (int64_t)a->size))
            return 0;
    return FAIL(VERR_NOT_SUPPORTED, "truncate to %llu not supported by ftp", (unsigned long long)a->size);
}

} // namespace ftp_drv
