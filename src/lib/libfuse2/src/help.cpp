// FUSE set-up, request loop and unmount around libfuse 2; see help.h.
#include "libfuse2/src/help.h"

#include <fuse_lowlevel.h>

#include <atomic>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

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

constexpr int k_stop_signals[] = {SIGTERM, SIGINT, SIGQUIT, SIGHUP};
constexpr int k_stop_signal_count = sizeof(k_stop_signals) / sizeof(k_stop_signals[0]);

// Clears SA_RESTART on the handlers of the stop signals (saving them).
void stop_signals_interrupt(struct sigaction *old)
{
    for (int i = 0; i < k_stop_signal_count; i++) {
        sigaction(k_stop_signals[i], nullptr, &old[i]);
        if (old[i].sa_handler == SIG_DFL || old[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction sa = old[i];
        sa.sa_flags &= ~SA_RESTART;
        sigaction(k_stop_signals[i], &sa, nullptr);
    }
}

// Puts the saved handlers back, unless the handler itself changed in the
// meantime (a stop path resets its signal to the default, and that stays).
void stop_signals_restore(const struct sigaction *old)
{
    for (int i = 0; i < k_stop_signal_count; i++) {
        struct sigaction now;
        sigaction(k_stop_signals[i], nullptr, &now);
        if (now.sa_handler == old[i].sa_handler)
            sigaction(k_stop_signals[i], &old[i], nullptr);
    }
}
} // namespace

int fuse_loop_request_exit(void)
{
    struct fuse_session *se = s_loop_session.load();
    if (!se)
        return 0;
    fuse_session_exit(se);
    return 1;
}

int try_fuse_mount(const struct fuse_operations *ops, const fuse_mount_cfg_t *cfg)
{
    if (!ops || !cfg || !cfg->mnt_dir || !cfg->mnt_dir[0]) {
        HLOG(LOG2_ERR, "no operations or no mount directory\n");
        return -1;
    }
    fuse_module_ensure();

    const char *dir = cfg->mnt_dir;
    struct fuse_args margs = FUSE_ARGS_INIT(0, nullptr);
    struct fuse_chan *ch = nullptr;
    if (fuse_opt_add_arg(&margs, cfg->prog_name ? cfg->prog_name : "") == -1 || fuse_opt_add_arg(&margs, "-o") == -1 ||
        fuse_opt_add_arg(&margs, cfg->options ? cfg->options : "") == -1) {
        HLOG(LOG2_ERR, "Failed to set FUSE options.\n");
    } else {
        ch = fuse_mount(dir, &margs);
    }
    fuse_opt_free_args(&margs);
    g_fuse_chan = ch;
    if (!ch)
        return -1;
    if (cfg->mounted_proc)
        cfg->mounted_proc(cfg->arg);

    struct fuse_args fargs = FUSE_ARGS_INIT(0, nullptr);
    if (fuse_opt_add_arg(&fargs, "") == -1 || fuse_opt_add_arg(&fargs, k_fs_options) == -1) {
        fuse_opt_free_args(&fargs);
        fuse_unmount(dir, ch);
        g_fuse_chan = nullptr;
        return -1;
    }
    struct fuse *fuse = fuse_new(ch, &fargs, ops, sizeof(*ops), nullptr);
    fuse_opt_free_args(&fargs);
    if (!fuse) {
        fuse_unmount(dir, ch);
        g_fuse_chan = nullptr;
        return -1;
    }
    // The channel belongs to the session from here on: unmounting with it
    // first closes and frees it, so the handle is destroyed after.
    struct fuse_session *se = fuse_get_session(fuse);
    // Taking its handlers away, libfuse resets SIGPIPE to the default even
    // when the platform had it ignored for its sockets: a later write to a
    // closed connection would then kill the process. Its disposition is put
    // back as it was.
    struct sigaction pipe_old;
    sigaction(SIGPIPE, nullptr, &pipe_old);
    if (fuse_set_signal_handlers(se) == -1) {
        fuse_unmount(dir, ch);
        g_fuse_chan = nullptr;
        fuse_destroy(fuse);
        return -1;
    }
    if (cfg->ready_proc && cfg->ready_proc(cfg->arg) != 0) {
        fuse_remove_signal_handlers(se);
        sigaction(SIGPIPE, &pipe_old, nullptr);
        fuse_unmount(dir, ch);
        g_fuse_chan = nullptr;
        fuse_destroy(fuse);
        return -1;
    }
    // A stop signal must interrupt the loop's blocked read, not restart it,
    // so that an exit request takes effect at once.
    struct sigaction stop_old[k_stop_signal_count];
    stop_signals_interrupt(stop_old);
    s_loop_session.store(se);
    fuse_loop(fuse);
    s_loop_session.store(nullptr);
    stop_signals_restore(stop_old);
    // libfuse's handlers point at this session; a later mount must not find
    // them aimed at a freed one.
    fuse_remove_signal_handlers(se);
    sigaction(SIGPIPE, &pipe_old, nullptr);
    fuse_unmount(dir, g_fuse_chan);
    g_fuse_chan = nullptr;
    fuse_destroy(fuse);
    return 0;
}

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
    return os_mkdirs(dir);
}
