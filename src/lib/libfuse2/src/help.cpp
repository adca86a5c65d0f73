// FUSE set-up, request loop and unmount around libfuse 2; see help.h.
#include "libfuse2/src/help.h"

#include <fuse_lowlevel.h>

#include <atomic>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_fs.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "tag"
// The set-up's lines name its module rather than the source file.
#define HLOG(lvl, ...) log2_printf(nullptr, (lvl), TAG, "src/lib/libfuse2/src/help", __LINE__, __func__, __VA_ARGS__)

struct fuse_chan *g_fuse_chan;

namespace {

const char *const DEF_FILESYSTEMS = "/proc/filesystems";
const char *const DEF_MODPROBE = "/sbin/modprobe";
const char *const DEF_DEV_FUSE = "/dev/fuse";

std::string s_filesystems = DEF_FILESYSTEMS;
std::string s_modprobe = DEF_MODPROBE;
std::string s_dev_fuse = DEF_DEV_FUSE;

const char k_hint[] =
    "HINT: You should be root, or make ntfs-3g setuid root, or load the FUSE\n"
    "      kernel module as root ('modprobe fuse' or 'insmod <path_to>/fuse.ko'"
    "      or insmod <path_to>/fuse.o'). Make also sure that the fuse device"
    "      exists. It's usually either /dev/fuse or /dev/misc/fuse.";

// Runs the module loader with the single argument "fuse" and an empty
// environment, and waits for it.
void run_modprobe(void)
{
    pid_t pid = fork();
    if (pid < 0) {
        HLOG(LOG2_ERR | LOG2_F_ERRNO, "fork failed: ");
        return;
    }
    if (pid == 0) {
        close_range(3, ~0U, 0);
        char *const argv[] = {(char *)s_modprobe.c_str(), (char *)"fuse", nullptr};
        char *const envp[] = {nullptr};
        execve(s_modprobe.c_str(), argv, envp);
        _exit(1);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
}

void mknod_dev_fuse(const char *dev)
{
    mode_t old = umask(0);
    if (mknod(dev, S_IFCHR | 0666, makedev(10, 229)) != 0) {
        int e = errno;
        log2_printf(nullptr, LOG2_ERR, TAG, "src/lib/libfuse2/src/help", __LINE__, "mknod_dev_fuse",
                    "Failed to create '%s'", dev);
        if (e == EPERM) {
            printf("%s", k_hint);
            fflush(stdout);
        }
    }
    umask(old);
}

// Mount points in mountinfo escape blank, tab, newline and backslash as
// three octal digits.
std::string mountinfo_unescape(const char *s, size_t n)
{
    std::string r;
    r.reserve(n);
    for (size_t i = 0; i < n; i++) {
        if (s[i] == '\\' && i + 3 < n && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            r.push_back((char)(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0')));
            i += 3;
        } else {
            r.push_back(s[i]);
        }
    }
    return r;
}

bool is_fuse_type(const std::string &t) { return t == "fuse" || t == "fuseblk" || t.rfind("fuse.", 0) == 0; }

// A directory as mountinfo shows it: absolute, without "." or ".." steps or
// symbolic links, no trailing '/' except for the root. Only the parent is
// resolved on disk: the directory itself may be a dead mount that cannot be
// looked at.
std::string mnt_key(const char *dir)
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(dir, ec);
    if (ec)
        p = dir;
    std::string d = p.lexically_normal().string();
    while (d.size() > 1 && d.back() == '/')
        d.pop_back();
    size_t slash = d.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        char parent[PATH_MAX];
        if (realpath(d.substr(0, slash).c_str(), parent))
            d = (strcmp(parent, "/") == 0 ? std::string() : std::string(parent)) + d.substr(slash);
    }
    return d;
}

} // namespace

void fuse_help_set_paths(const char *filesystems, const char *modprobe, const char *dev_fuse)
{
    s_filesystems = filesystems ? filesystems : DEF_FILESYSTEMS;
    s_modprobe = modprobe ? modprobe : DEF_MODPROBE;
    s_dev_fuse = dev_fuse ? dev_fuse : DEF_DEV_FUSE;
}

int get_fuse_fstype(void)
{
    FILE *f = fopen(s_filesystems.c_str(), "re");
    if (!f) {
        printf("Failed to open /proc/filesystems");
        fflush(stdout);
        return 1;
    }
    int type = 0;
    char line[256];
    while (fgets(line, sizeof(line), f)) {
        if (strstr(line, "fuseblk\n")) {
            type = 3;
            break;
        }
        if (strstr(line, "fuse\n"))
            type = 2;
    }
    fclose(f);
    return type;
}

int fuse_module_ensure(void)
{
    int type = get_fuse_fstype();
    if (type == 0 || type == 1) {
        if (access(s_modprobe.c_str(), F_OK) == 0 && geteuid() == 0)
            run_modprobe();
        for (int i = 0; i < 10; i++) {
            os_msleep(100);
            type = get_fuse_fstype();
            if (type != 0)
                break;
        }
    }
    struct stat st;
    if (stat(s_dev_fuse.c_str(), &st) != 0 && errno == ENOENT)
        mknod_dev_fuse(s_dev_fuse.c_str());
    return type;
}

namespace {
// The file system's own options: inode numbers of the source; cached pages
// kept across opens only while the file's size and modification time stay
// as they were (a file changed outside the mount is read anew); attributes
// asked for every time; writes of up to 128 KiB per request.
constexpr char k_fs_options[] = "-ouse_ino,auto_cache,attr_timeout=0,big_writes,max_write=131072";

// The session whose request loop runs now (NULL when none).
std::atomic<struct fuse_session *> s_loop_session{nullptr};

// An exit request is for the whole process: once made, every loop ends (or
// never starts). A loop waits on the kernel's channel and on a pipe that the
// request writes to, so a request that comes at any moment, a signal
// handler's included, ends the wait.
std::atomic<bool> s_exit_requested{false};
std::atomic<int> s_wake_wr{-1};
int s_wake_rd = -1;

// The read end of the wake-up pipe, made by the first loop (never by a
// handler). -1 when it cannot be made: the loop then relies on the signal
// interrupting its wait.
int wake_pipe(void)
{
    if (s_wake_rd < 0) {
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) {
            s_wake_rd = p[0];
            s_wake_wr.store(p[1]);
        }
    }
    return s_wake_rd;
}

// Serves the kernel's requests one at a time until the file system is
// unmounted (the channel reports the end) or an exit is requested. The
// pipe is made before the request flag is read, and the request sets the
// flag before it looks for the pipe, so no request slips between the two.
void serve(struct fuse_session *se)
{
    struct fuse_chan *ch = fuse_session_next_chan(se, nullptr);
    size_t bufsize = fuse_chan_bufsize(ch);
    std::vector<char> buf(bufsize);
    int wake = wake_pipe();
    while (!fuse_session_exited(se) && !s_exit_requested.load()) {
        struct pollfd p[2] = {{fuse_chan_fd(ch), POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(p, wake >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            HLOG(LOG2_ERR | LOG2_F_ERRNO, "poll failed: ");
            break;
        }
        if (!p[0].revents)
            continue; // woken: the loop condition decides
        struct fuse_chan *from = ch;
        struct fuse_buf fbuf = {};
        fbuf.mem = buf.data();
        fbuf.size = bufsize;
        int r = fuse_session_receive_buf(se, &fbuf, &from);
        if (r == -EINTR || r == -EAGAIN)
            continue;
        if (r <= 0)
            break; // 0: unmounted
        fuse_session_process_buf(se, &fbuf, from);
    }
    fuse_session_reset(se);
}

// Keeps what libfuse writes to the standard error stream while it sets up a
// mount (the reasons it refuses one), so that the caller can say why; the
// text still reaches the stream, after the set-up.
class stderr_catch {
  public:
    stderr_catch()
    {
        fflush(stderr);
        tmp_ = memfd_create("fuse_setup_err", MFD_CLOEXEC);
        saved_ = tmp_ >= 0 ? fcntl(2, F_DUPFD_CLOEXEC, 3) : -1;
        if (saved_ < 0 || dup2(tmp_, 2) < 0) {
            close_all();
            return;
        }
    }
    ~stderr_catch() { stop(); }
    stderr_catch(const stderr_catch &) = delete;
    stderr_catch &operator=(const stderr_catch &) = delete;

    // Puts the stream back and passes on what was written meanwhile. The
    // text; later calls answer the same.
    const std::string &stop()
    {
        if (saved_ < 0)
            return text_;
        fflush(stderr);
        dup2(saved_, 2);
        char chunk[1024];
        ssize_t n;
        for (off_t off = 0; (n = pread(tmp_, chunk, sizeof(chunk), off)) > 0 && text_.size() < 65536; off += n)
            text_.append(chunk, (size_t)n);
        close_all();
        if (!text_.empty()) {
            fputs(text_.c_str(), stderr);
            fflush(stderr);
        }
        return text_;
    }

  private:
    void close_all()
    {
        if (saved_ >= 0)
            close(saved_);
        if (tmp_ >= 0)
            close(tmp_);
        saved_ = tmp_ = -1;
    }
    int tmp_ = -1;
    int saved_ = -1;
    std::string text_;
};

// libfuse's own lines ("fuse: ...") of what it wrote, joined, without the
// prefix; else its last line.
std::string fuse_reason(const std::string &text)
{
    std::string all, last;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find('\n', pos);
        std::string line = text.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        pos = e == std::string::npos ? text.size() : e + 1;
        if (line.empty())
            continue;
        last = line;
        if (line.rfind("fuse: ", 0) == 0) {
            if (!all.empty())
                all += "; ";
            all += line.substr(6);
        }
    }
    return all.empty() ? last : all;
}
} // namespace

int fuse_loop_request_exit(void)
{
    // Async-signal-safe: atomics, write(2) and libfuse's flag.
    s_exit_requested.store(true);
    int fd = s_wake_wr.load();
    if (fd >= 0) {
        char c = 1;
        ssize_t n = write(fd, &c, 1);
        (void)n; // a full pipe is awake already
    }
    struct fuse_session *se = s_loop_session.load();
    if (!se)
        return 0;
    fuse_session_exit(se);
    return 1;
}

int fuse_loop_exit_requested(void) { return s_exit_requested.load() ? 1 : 0; }

int try_fuse_mount(const struct fuse_operations *ops, const fuse_mount_cfg_t *cfg)
{
    if (cfg && cfg->reason && cfg->reason_size)
        cfg->reason[0] = '\0';
    if (!ops || !cfg || !cfg->mnt_dir || !cfg->mnt_dir[0]) {
        HLOG(LOG2_ERR, "no operations or no mount directory\n");
        return -1;
    }
    fuse_module_ensure();

    const char *dir = cfg->mnt_dir;
    struct fuse_args margs = FUSE_ARGS_INIT(0, nullptr);
    struct fuse_args fargs = FUSE_ARGS_INIT(0, nullptr);
    struct fuse_chan *ch = nullptr;
    struct fuse *fuse = nullptr;
    struct fuse_session *se = nullptr;
    struct sigaction pipe_old;
    bool handlers = false, unmounted = false;
    int ret = -1;
    std::string reason;
    stderr_catch caught;

    if (fuse_opt_add_arg(&margs, cfg->prog_name ? cfg->prog_name : "") == -1 || fuse_opt_add_arg(&margs, "-o") == -1 ||
        fuse_opt_add_arg(&margs, cfg->options ? cfg->options : "") == -1) {
        HLOG(LOG2_ERR, "Failed to set FUSE options.\n");
        goto out;
    }
    ch = fuse_mount(dir, &margs);
    if (!ch)
        goto out;
    g_fuse_chan = ch;
    // The library opens /dev/fuse without close-on-exec: a child started
    // later must not hold the mount's channel.
    if (fcntl(fuse_chan_fd(ch), F_SETFD, FD_CLOEXEC) != 0)
        HLOG(LOG2_WARN, "fuse channel close-on-exec: %s\n", strerror(errno));
    if (cfg->mounted_proc)
        cfg->mounted_proc(cfg->arg);
    if (fuse_opt_add_arg(&fargs, "") == -1 || fuse_opt_add_arg(&fargs, k_fs_options) == -1)
        goto out;
    // From here the channel belongs to the session: unmounting with it closes
    // and frees it, so the handle is destroyed after.
    fuse = fuse_new(ch, &fargs, ops, sizeof(*ops), nullptr);
    if (!fuse)
        goto out;
    caught.stop();
    se = fuse_get_session(fuse);
    // Taking its handlers away, libfuse resets SIGPIPE to the default even
    // when the platform had it ignored for its sockets: a later write to a
    // closed connection would then kill the process. Its disposition is put
    // back as it was.
    sigaction(SIGPIPE, nullptr, &pipe_old);
    if (fuse_set_signal_handlers(se) == -1)
        goto out;
    handlers = true;
    if (cfg->ready_proc && cfg->ready_proc(cfg->arg) != 0)
        goto out;
    s_loop_session.store(se);
    serve(se);
    s_loop_session.store(nullptr);
    if (cfg->ended_proc)
        cfg->ended_proc(cfg->arg);
    ret = 0;

out:
    reason = fuse_reason(caught.stop());
    if (ret != 0) {
        HLOG(LOG2_ERR, "fuse set-up failed: %s\n", reason.empty() ? "no reason given" : reason.c_str());
        if (cfg->reason && cfg->reason_size)
            str_safecopy_trunc(cfg->reason, cfg->reason_size, reason.c_str());
    }
    fuse_opt_free_args(&margs);
    fuse_opt_free_args(&fargs);
    if (handlers) {
        // libfuse's handlers point at this session; a later mount must not
        // find them aimed at a freed one.
        fuse_remove_signal_handlers(se);
        sigaction(SIGPIPE, &pipe_old, nullptr);
    }
    // Unmounted once: not again when someone else (the heartbeat, umount)
    // already took the mount away.
    if (ch && fuse_mnt_is_fuse(dir)) {
        fuse_unmount(dir, ch); // frees the channel
        unmounted = true;
    }
    if (fuse)
        fuse_destroy(fuse); // frees the channel unless unmounted with it
    else if (ch && !unmounted)
        fuse_chan_destroy(ch);
    // A mount the kernel gave up on (umount -f with files open) stays listed
    // but dead; it is detached so no "Transport endpoint is not connected"
    // is left behind.
    if (ch)
        fuse_umount_stale(dir);
    g_fuse_chan = nullptr;
    return ret;
}

namespace {
// Mount options the kernel's FUSE and libfuse's mount take (names; those
// ending in '=' take a value).
constexpr const char *k_mount_opts[] = {
    "allow_other", "allow_root", "auto_unmount", "nonempty", "default_permissions", "blkdev", "large_read",
    "fsname=", "subtype=", "max_read=", "blksize=", "user=", "rootmode=", "user_id=", "group_id=", "fd=",
    "ro", "rw", "suid", "nosuid", "dev", "nodev", "exec", "noexec", "async", "sync", "dirsync", "atime",
    "noatime", "relatime", "norelatime", "strictatime", "nostrictatime", "diratime", "nodiratime", "lazytime",
    "nolazytime", "context=", "fscontext=", "defcontext=", "rootcontext=",
};

// Options of libfuse's file system layer (its high and low level), which
// k_fs_options sets: given as mount options they reach nothing.
constexpr const char *k_fs_own_opts[] = {
    "debug", "hard_remove", "use_ino", "readdir_ino", "direct_io", "kernel_cache", "auto_cache", "noauto_cache",
    "umask=", "uid=", "gid=", "entry_timeout=", "attr_timeout=", "ac_attr_timeout=", "negative_timeout=",
    "noforget", "remember=", "nopath", "intr", "intr_signal=", "modules=", "max_write=", "max_readahead=",
    "max_background=", "congestion_threshold=", "async_read", "sync_read", "atomic_o_trunc", "no_remote_lock",
    "no_remote_flock", "no_remote_posix_lock", "big_writes", "splice_write", "no_splice_write", "splice_move",
    "no_splice_move", "splice_read", "no_splice_read", "auto_inval_data", "no_auto_inval_data",
};

template <size_t N> bool opt_listed(const char *const (&list)[N], const std::string &item)
{
    for (const char *k : list) {
        size_t n = strlen(k);
        if (k[n - 1] == '=' ? item.compare(0, n, k) == 0 && item.size() > n : item == k)
            return true;
    }
    return false;
}

bool mount_opt_known(const std::string &item) { return opt_listed(k_mount_opts, item); }
} // namespace

int fuse_opts_settle(const char *options, int readonly, char *out, size_t size, int *forced_ro)
{
    if (forced_ro)
        *forced_ro = 0;
    if (!out || size == 0)
        return -1;
    out[0] = '\0';
    std::vector<std::string> items;
    bool rw = false, allow_other = false, default_perm = false;
    std::string text = options ? options : "";
    size_t pos = 0;
    for (;;) {
        size_t e = text.find(',', pos);
        std::string it = text.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        // libfuse's mount keeps only the options it knows; the rest reach
        // nothing. Said once for each.
        if (!it.empty() && !mount_opt_known(it) && std::find(items.begin(), items.end(), it) == items.end()) {
            if (opt_listed(k_fs_own_opts, it))
                HLOG(LOG2_WARN,
                     "mount option [%s] is ignored: the file system's own options (attr_timeout, entry_timeout, "
                     "...) are fixed (%s)\n",
                     it.c_str(), k_fs_options + 2);
            else
                HLOG(LOG2_WARN, "mount option [%s] is not one FUSE knows; ignored\n", it.c_str());
        }
        if (!it.empty()) {
            rw = rw || it == "rw";
            allow_other = allow_other || it == "allow_other";
            default_perm = default_perm || it == "default_permissions";
            items.push_back(it);
        }
        if (e == std::string::npos)
            break;
        pos = e + 1;
    }
    if (!rw) {
        items.push_back("ro");
    } else if (readonly) {
        items.push_back("ro");
        if (forced_ro)
            *forced_ro = 1;
    } else {
        std::erase(items, std::string("rw"));
    }
    if (allow_other && !default_perm)
        items.push_back("default_permissions");
    std::string res;
    for (const std::string &it : items) {
        if (!res.empty())
            res += ',';
        res += it;
    }
    if (str_safecopy(out, size, res.c_str()) != 0)
        return -1;
    return 0;
}

int fuse_mnt_is_fuse(const char *dir)
{
    if (!dir || !*dir)
        return 0;
    std::string key = mnt_key(dir);
    FILE *f = fopen("/proc/self/mountinfo", "re");
    if (!f)
        return 0;
    // Mounts stacked on one directory are listed in mounting order: the
    // last one is what the directory shows.
    int found = 0;
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) > 0) {
        // id parent major:minor root mount-point options... - type source ...
        const char *p = line;
        for (int i = 0; i < 4 && p; i++) {
            p = strchr(p, ' ');
            if (p)
                p++;
        }
        if (!p)
            continue;
        const char *e = strchr(p, ' ');
        if (!e)
            continue;
        if (mountinfo_unescape(p, (size_t)(e - p)) != key)
            continue;
        const char *sep = strstr(e, " - ");
        if (!sep)
            continue;
        const char *t = sep + 3;
        const char *te = strchr(t, ' ');
        std::string type(t, te ? (size_t)(te - t) : strlen(t));
        found = is_fuse_type(type) ? 1 : 0;
    }
    free(line);
    fclose(f);
    return found;
}

int fuse_umount_stale(const char *dir)
{
    int done = 0;
    // Several dead mounts may be stacked there; a bounded number of rounds.
    for (int round = 0; round < 8 && fuse_mnt_is_fuse(dir); round++) {
        struct stat st;
        if (stat(dir, &st) == 0 || errno != ENOTCONN) {
            HLOG(LOG2_WARN, "[%s] holds a FUSE mount in use; left alone\n", dir);
            break;
        }
        if (umount2(dir, MNT_DETACH) != 0) {
            HLOG(LOG2_ERR | LOG2_F_ERRNO, "umount2 [%s] failed: ", dir);
            break;
        }
        HLOG(LOG2_INFO, "stale FUSE mount on [%s] removed\n", dir);
        done = 1;
    }
    return done;
}

int fuse_mnt_dir_prepare(const char *dir)
{
    if (!dir || !*dir) {
        errno = EINVAL;
        return -1;
    }
    fuse_umount_stale(dir);
    // A file where the directory belongs: say so (creating it would only
    // report a permission failure).
    struct stat st;
    if (stat(dir, &st) == 0 && !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return os_mkdirs(dir);
}
