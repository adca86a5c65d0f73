// Processes: shell commands, piped children and their captured output,
// waiting, /proc lookups, privilege drop and restore, resource limits.
#include "libpal/os/posix/os_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libpal/basic/pl_base.h"
#include "libpal/env/os_env.h"
#include "libpal/string/str_dyn.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

#define TAG "pal"

// ---- running commands ---------------------------------------------------------

// Like system(3), but the child keeps no descriptor above 2 (system(3)
// would hand it every descriptor opened without close-on-exec, /dev/fuse
// among them) and starts with default signal dispositions and an empty mask.
static int spawn_shell_wait(const char *cmd)
{
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t at;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawnattr_init(&at);
    sigset_t none, dflt;
    sigemptyset(&none);
    sigemptyset(&dflt);
    sigaddset(&dflt, SIGPIPE);
    sigaddset(&dflt, SIGINT);
    sigaddset(&dflt, SIGQUIT);
    sigaddset(&dflt, SIGCHLD);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setsigdefault(&at, &dflt);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const char *argv[] = {"sh", "-c", cmd, nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &fa, &at, (char *const *)argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return st;
}

int os_system1(const char *cmd)
{
    if (!cmd)
        return access("/bin/sh", X_OK) == 0;
    int ret = spawn_shell_wait(cmd);
    if (ret == -1)
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "system [%s] error: ", cmd);
    return ret;
}

int os_system(const char *cmd, int ignored)
{
    (void)ignored;
    int st = os_system1(cmd);
    if (st < 0)
        return st;
    return os_waitpid_status_2_eno(0, st, cmd);
}

int os_system_sync(const char *cmd) { return os_system(cmd, 0); }

int os_system_raw(const char *cmd) { return os_system1(cmd); }

int os_system_fmt(const char *fmt, ...)
{
    char cmd[8192];
    va_list va;
    va_start(va, fmt);
    int n = str_vsprintf_s(cmd, sizeof(cmd), fmt, va);
    va_end(va);
    // A cut command line could run something else than asked: run nothing.
    if (!STR_FMT_OK(n, sizeof(cmd)))
        return -1;
    return os_system_sync(cmd);
}

int os_waitpid_status_2_eno(int pid, int status, const char *name)
{
    const char *nm = name ? name : "";
    if ((status & 0x7f) == 0)
        return (status >> 8) & 0xff;
    int low = status & 0xffff;
    if (low >= 1 && low <= 255) {
        int sig = status & 0x7f;
        LOG_ERR(TAG, "[%s] pid=%d killed by the %d signal", nm, pid, sig);
        return sig;
    }
    if (WIFSTOPPED(status)) {
        int sig = (status >> 8) & 0xff;
        LOG_ERR(TAG, "[%s] pid=%d stop by the %d signal", nm, pid, sig);
        return sig;
    }
    LOG_ERR(TAG, "[%s] pid=%d wait_ret status=0x%x", nm, pid, (unsigned)status);
    return -1;
}

// ---- piped children -------------------------------------------------------------------

namespace {

// The argument vector of a command run without a shell, as one allocation
// (pointers, then the words). NULL with EINVAL when it holds no program.
char **argv_build(const char *cmd)
{
    while (*cmd == ' ' || *cmd == '\t')
        cmd++;
    int argc = 0, nchars = 0;
    str_parse_cmdline(cmd, nullptr, nullptr, &argc, &nchars);
    if (argc < 1 || nchars < 0) {
        errno = EINVAL;
        return nullptr;
    }
    size_t ptrs = (size_t)argc * sizeof(char *);
    char **argv = (char **)os_malloc(ptrs + (size_t)nchars);
    if (!argv) {
        errno = ENOMEM;
        return nullptr;
    }
    str_parse_cmdline(cmd, argv, (char *)argv + ptrs, &argc, &nchars);
    if (!argv[0] || !argv[0][0]) {
        os_free(argv);
        errno = EINVAL;
        return nullptr;
    }
    return argv;
}

void close_keep_errno(int fd)
{
    if (fd < 0)
        return;
    int e = errno;
    close(fd);
    errno = e;
}

// Highest descriptor number a child might have inherited, for the fallback
// of kernels without close_range.
int fd_limit(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < (rlim_t)INT_MAX)
        return (int)rl.rlim_cur;
    long m = sysconf(_SC_OPEN_MAX);
    return m > 0 && m < INT_MAX ? (int)m : 65536;
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void child_run(int data_fd, int data_target, int err_fd, const char *cmd, char **argv, int max_fd)
{
    // Move both ends above 2 first, so wiring one cannot clobber the other
    // when the parent runs with some of 0-2 closed.
    int d = fcntl(data_fd, F_DUPFD, 3);
    int e = fcntl(err_fd, F_DUPFD, 3);
    if (d < 0 || e < 0 || dup2(d, data_target) < 0 || dup2(e, 2) < 0)
        _exit(errno ? errno : 1);
    // Nothing else of the parent leaks into the child: with a raised
    // RLIMIT_NOFILE, descriptors far above 255 may be open.
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
        for (int fd = 3; fd < max_fd; fd++)
            close(fd);
    }
    // The platform ignores SIGPIPE for its sockets; a child must get the
    // ordinary default, or pipelines like `yes | head` misbehave.
    signal(SIGPIPE, SIG_DFL);
    if (argv)
        execvp(argv[0], argv);
    else
        execl("/bin/sh", "sh", "-c", cmd, (char *)nullptr);
    _exit(errno);
}

} // namespace

os_popen_t *os_popen_imp(int use_shell, const char *cmd, const char *mode)
{
    if (!cmd || !mode || (strcmp(mode, "r") != 0 && strcmp(mode, "w") != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    bool rd = mode[0] == 'r';
    // Split before fork: allocating in the child of a threaded process can
    // deadlock on an allocator lock held by another thread.
    char **argv = nullptr;
    if (!use_shell && !(argv = argv_build(cmd)))
        return nullptr;
    os_popen_t *p = (os_popen_t *)os_zalloc(sizeof(os_popen_t));
    char *copy = p ? os_strdup(cmd) : nullptr;
    if (!copy) {
        os_free(p);
        os_free(argv);
        errno = ENOMEM;
        return nullptr;
    }
    // Close-on-exec, so children started meanwhile by other threads do not
    // hold our pipes open.
    int data[2], err[2];
    if (pipe2(data, O_CLOEXEC) != 0) {
        os_free(copy);
        os_free(p);
        os_free(argv);
        return nullptr;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close_keep_errno(data[0]);
        close_keep_errno(data[1]);
        os_free(copy);
        os_free(p);
        os_free(argv);
        return nullptr;
    }
    int max_fd = fd_limit();
    pid_t pid = fork();
    if (pid < 0) {
        close_keep_errno(data[0]);
        close_keep_errno(data[1]);
        close_keep_errno(err[0]);
        close_keep_errno(err[1]);
        os_free(copy);
        os_free(p);
        os_free(argv);
        return nullptr;
    }
    if (pid == 0) {
        if (rd)
            child_run(data[1], 1, err[1], cmd, argv, max_fd);
        child_run(data[0], 0, err[1], cmd, argv, max_fd);
    }
    os_free(argv);
    close(rd ? data[1] : data[0]);
    close(err[1]);
    p->cmd = copy;
    p->pid = pid;
    p->fd = rd ? data[0] : data[1];
    p->err_fd = err[0];
    return p;
}

os_popen_t *os_popen(const char *cmd, const char *mode) { return os_popen_imp(1, cmd, mode); }

os_popen_t *os_popen_exec(const char *cmd, const char *mode) { return os_popen_imp(0, cmd, mode); }

namespace {

// One chunk as the capture keeps it: a NUL byte ends the chunk's text.
int add_chunk(str_dyn *d, const char *chunk, ssize_t n)
{
    return str_dyn_append(d, chunk, strnlen(chunk, (size_t)n));
}

} // namespace

char *os_fd_read_all(int fd)
{
    if (fd < 0)
        return nullptr;
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        add_chunk(d, chunk, n);
    }
    return str_dyn_detach(d);
}

char *os_popen_read_out(os_popen_t *p) { return p ? os_fd_read_all(p->fd) : nullptr; }

char *os_popen_read_err(os_popen_t *p) { return p ? os_fd_read_all(p->err_fd) : nullptr; }

int os_perrno_get(os_popen_t *p)
{
    if (!p)
        return -1;
    if (p->done)
        return p->result;
    int st = 0;
    pid_t r = waitpid(p->pid, &st, WNOHANG);
    if (r == 0)
        return 0;
    if (r < 0) {
        LOG2(LOG2_DBG | LOG2_F_ERRNO, TAG, "waitpid pid=%d error: ", p->pid);
        return -1;
    }
    p->result = os_waitpid_status_2_eno(p->pid, st, p->cmd);
    p->done = 1;
    return p->result;
}

int os_perrno_wait(os_popen_t *p, uint32_t timeout_ms)
{
    if (!p)
        return -1;
    if (p->done)
        return p->result;
    uint64_t deadline = os_clock_ms() + timeout_ms;
    while (os_clock_ms() < deadline) {
        if (os_perrno_get(p) < 0)
            return -1;
        if (p->done)
            return p->result;
        os_msleep(1);
    }
    LOG_ERR(TAG, "waitpid pid=%d timeout_ms=%u...", p->pid, timeout_ms);
    return -1;
}

int os_pclose(os_popen_t *p)
{
    if (!p)
        return 0;
    if (p->fd >= 0)
        close(p->fd);
    if (p->err_fd >= 0)
        close(p->err_fd);
    p->fd = p->err_fd = -1;
    if (!p->done)
        os_perrno_wait(p, 1000);
    os_free(p->cmd);
    os_free(p);
    return 0;
}

// ---- capture ------------------------------------------------------------------------------

namespace {

// Reads both pipes until each reaches its end. Reading them one after the
// other would block for good once the child fills the pipe not being read.
void read_both(int out_fd, int err_fd, str_dyn *out, str_dyn *err)
{
    struct pollfd pf[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    str_dyn *dst[2] = {out, err};
    char chunk[4096];
    while (pf[0].fd >= 0 || pf[1].fd >= 0) {
        int n = poll(pf, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; i++) {
            if (pf[i].fd < 0 || !pf[i].revents)
                continue;
            ssize_t r = read(pf[i].fd, chunk, sizeof(chunk));
            if (r < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (r <= 0) {
                pf[i].fd = -1; // poll skips negative descriptors
                continue;
            }
            if (dst[i])
                add_chunk(dst[i], chunk, r);
        }
    }
}

} // namespace

int os_system_capture_imp(const char *cmd, int mode, char **out, char **err)
{
    if (out)
        *out = nullptr;
    if (err)
        *err = nullptr;
    os_popen_t *p = os_popen_imp(mode == 1, cmd, "r");
    if (!p)
        return -1;
    str_dyn *o = str_dyn_new();
    str_dyn *e = str_dyn_new();
    read_both(p->fd, p->err_fd, o, e);
    char *ot = o ? str_dyn_detach(o) : nullptr;
    char *et = e ? str_dyn_detach(e) : nullptr;
    if (out)
        *out = ot;
    else
        os_free(ot);
    if (err)
        *err = et;
    else
        os_free(et);
    int ret = os_perrno_wait(p, 1000);
    os_pclose(p);
    return ret;
}

int os_system_capture_sh(const char *cmd, int ignored, char **out, char **err)
{
    (void)ignored;
    return os_system_capture_imp(cmd, 1, out, err);
}

int os_system_capture_exec(const char *cmd, int ignored, char **out, char **err)
{
    (void)ignored;
    return os_system_capture_imp(cmd, 2, out, err);
}

int os_system_capture(const char *cmd, int ignored, char **out, char **err)
{
    return os_system_capture_exec(cmd, ignored, out, err);
}

int os_system_capture_buf(const char *cmd, int ignored, char *buf, size_t *size, char *err)
{
    char *o = nullptr, *e = nullptr;
    int ret = os_system_capture_exec(cmd, ignored, &o, &e);
    if (buf && size && *size > 0) {
        str_safecopy_trunc(buf, *size, o ? o : "");
        *size = strlen(buf) + 1;
    }
    if (err) {
        const char *s = e ? e : "";
        size_t len = strlen(s);
        while (len && isspace((unsigned char)*s)) {
            s++;
            len--;
        }
        while (len && isspace((unsigned char)s[len - 1]))
            len--;
        size_t n = len < 4095 ? len : 4095;
        memcpy(err, s, n);
        err[n] = '\0';
    }
    os_free(o);
    os_free(e);
    return ret;
}

int os_system_dbg(const char *cmd, int ignored)
{
    char *o = nullptr, *e = nullptr;
    int ret = os_system_capture_exec(cmd, ignored, &o, &e);
    LOG_DBG(TAG, "cmd=[%s] ret=%d\n", cmd ? cmd : "", ret);
    if (o && *o)
        LOG_DBG(TAG, "info=[%s]\n", o);
    if (e && *e)
        LOG_DBG(TAG, "err=[%s]\n", e);
    os_free(o);
    os_free(e);
    return ret;
}

// ---- process facts and lookups ----------------------------------------------------------------

int os_is_root(void) { return geteuid() == 0 ? 1 : 0; }

uint32_t os_perrno_cur(void) { return (uint32_t)getpid(); }

int os_pid_exists(uint32_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/", pid);
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int os_pid_exe(uint32_t pid, char (&buf)[OS_PID_EXE_SIZE])
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/exe", pid);
    ssize_t n = readlink(path, buf, sizeof(buf) - 1);
    if (n < 0) {
        buf[0] = '\0';
        return -1;
    }
    buf[n] = '\0';
    return 0;
}

namespace {

// Whole content of a (proc) file; false when it cannot be read.
bool load_file(const char *path, std::vector<char> &data)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close_keep_errno(fd);
            return false;
        }
        if (n == 0)
            break;
        data.insert(data.end(), chunk, chunk + n);
    }
    close(fd);
    return true;
}

} // namespace

int os_pid_cmdline(uint32_t pid, char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/cmdline", pid);
    std::vector<char> data;
    if (!load_file(path, data))
        return -1;
    data.push_back('\0');
    str_dyn *d = str_dyn_new();
    if (!d)
        return -1;
    bool first = true;
    for (size_t i = 0; i + 1 < data.size();) {
        const char *arg = &data[i];
        size_t len = strlen(arg);
        i += len + 1;
        if (len == 0)
            continue;
        if (!first)
            str_dyn_add_chr(d, ' ');
        first = false;
        if (strpbrk(arg, " \t'\"")) {
            str_dyn_add_chr(d, '"');
            for (const char *c = arg; *c; c++) {
                if (*c == '"' || *c == '\\')
                    str_dyn_add_chr(d, '\\');
                str_dyn_add_chr(d, *c);
            }
            str_dyn_add_chr(d, '"');
        } else {
            str_dyn_add_str(d, arg);
        }
    }
    int ret = 0;
    // A process without arguments (a zombie, a kernel thread) has an empty
    // command line. A cut one would name another command: report it instead.
    const char *text = str_dyn_get(d);
    if (str_safecopy(buf, size, text ? text : "") != 0) {
        errno = ERANGE;
        ret = -1;
    }
    str_dyn_free(d);
    return ret;
}

u32_vector_t *os_pids_by_exe(const char *name)
{
    char exe[4096];
    struct stat want;
    if (!name || os_which(name, exe) != 0 || stat(exe, &want) != 0)
        return nullptr;
    DIR *dir = opendir("/proc/");
    if (!dir)
        return nullptr;
    u32_vector_t *pids = u32_vector_new(0);
    while (pids) {
        struct dirent *de = readdir(dir);
        if (!de)
            break;
        const char *id = de->d_name;
        if (!*id || strspn(id, "0123456789") != strlen(id) || strlen(id) > 10)
            continue;
        if (de->d_type != DT_DIR && de->d_type != DT_UNKNOWN)
            continue;
        char link[sizeof(de->d_name) + 16], target[4096], real[PATH_MAX];
        snprintf(link, sizeof(link), "/proc/%s/exe", id);
        ssize_t n = readlink(link, target, sizeof(target) - 1);
        if (n <= 0)
            continue; // kernel threads, processes of other users, gone ones
        target[n] = '\0';
        struct stat st;
        if (!realpath(target, real) || stat(real, &st) != 0)
            continue;
        if (st.st_dev == want.st_dev && st.st_ino == want.st_ino) {
            unsigned long v = strtoul(id, nullptr, 10);
            if (v <= UINT32_MAX)
                u32_vector_push_back(pids, (uint32_t)v);
        }
    }
    closedir(dir);
    return pids;
}

int os_pid_kill(uint32_t pid)
{
    // kill(0) signals our own process group and a negative id a whole group
    // (-1: every process we may signal); neither is "one process".
    if (pid == 0 || pid > (uint32_t)INT32_MAX) {
        errno = EINVAL;
        return 0;
    }
    return kill((pid_t)pid, SIGKILL) == 0 ? 1 : 0;
}

static std::atomic<os_power_run_fn> s_power_run{os_system1};

os_power_run_fn os_power_ctrl_set_runner(os_power_run_fn fn)
{
    return s_power_run.exchange(fn ? fn : os_system1);
}

int os_power_ctrl(int mode)
{
    static const char *const cmds[] = {"halt", "poweroff", "reboot"};
    if (mode < 0 || mode > 2)
        return 0;
    s_power_run.load()(cmds[mode]);
    return 1;
}

int os_get_uid_by_name(const char *name)
{
    if (!name)
        return -1;
    std::vector<char> buf(16384);
    struct passwd pw, *res = nullptr;
    while (getpwnam_r(name, &pw, buf.data(), buf.size(), &res) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return res ? (int)res->pw_uid : -1;
}

int os_get_admin_gid(void)
{
    std::vector<char> buf(16384);
    struct group gr, *res = nullptr;
    while (getgrnam_r("admin", &gr, buf.data(), buf.size(), &res) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return res ? (int)res->gr_gid : -1;
}

// ---- privileges -----------------------------------------------------------------------------

namespace {
enum { SAVED_GROUPS_MAX = 32 };
gid_t s_saved_egid = (gid_t)-1;
uid_t s_saved_euid = (uid_t)-1;
gid_t s_saved_groups[SAVED_GROUPS_MAX];
int s_saved_ngroups = -1;
} // namespace

void os_drop_privileges(int permanent)
{
    gid_t rgid = getgid(), egid = getegid();
    uid_t ruid = getuid(), euid = geteuid();
    if (!permanent) {
        s_saved_egid = egid;
        s_saved_euid = euid;
        int n = getgroups(0, nullptr);
        std::vector<gid_t> all(n > 0 ? (size_t)n : 0);
        if (n > 0)
            n = getgroups(n, all.data());
        if (n < 0)
            abort();
        s_saved_ngroups = n < SAVED_GROUPS_MAX ? n : SAVED_GROUPS_MAX;
        for (int i = 0; i < s_saved_ngroups; i++)
            s_saved_groups[i] = all[(size_t)i];
    }
    if (euid == 0) {
        if (setgroups(1, &rgid) != 0)
            abort();
    }
    if (egid != rgid) {
        if (setregid(permanent ? rgid : (gid_t)-1, rgid) != 0)
            abort();
    }
    if (euid != ruid) {
        if (setreuid(permanent ? ruid : (uid_t)-1, ruid) != 0)
            abort();
    }
    if (egid != rgid) {
        if (permanent && (setegid(egid) != -1 || getegid() != rgid))
            abort();
        if (!permanent && getegid() != rgid)
            abort();
    }
    if (euid != ruid) {
        if (permanent && seteuid(euid) != -1)
            abort();
        if (geteuid() != ruid)
            abort();
    }
}

void os_restore_privileges(void)
{
    if (geteuid() != s_saved_euid) {
        if (seteuid(s_saved_euid) != 0 || geteuid() != s_saved_euid)
            abort();
    }
    if (getegid() != s_saved_egid) {
        if (setegid(s_saved_egid) != 0 || getegid() != s_saved_egid)
            abort();
    }
    if (s_saved_euid == 0) {
        if (s_saved_ngroups < 0 || setgroups((size_t)s_saved_ngroups, s_saved_groups) != 0)
            abort();
    }
}

// ---- limits ---------------------------------------------------------------------------------

int os_ulimit(int resource)
{
    struct rlimit rl;
    if (getrlimit((__rlimit_resource_t)resource, &rl) != 0) {
        LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "getrlimit [%d] error:", resource);
        return -1;
    }
    rlim_t old_max = rl.rlim_max;
    rl.rlim_cur = rl.rlim_max = RLIM_INFINITY;
    if (setrlimit((__rlimit_resource_t)resource, &rl) == 0)
        return 0;
    rl.rlim_cur = rl.rlim_max = old_max;
    LOG_VERB(TAG, "rlim.rlim_max=%lld\n", (long long)old_max);
    if (setrlimit((__rlimit_resource_t)resource, &rl) == 0)
        return 0;
    LOG2(LOG2_ERR | LOG2_F_ERRNO, TAG, "setrlimit [%d] error:", resource);
    return -1;
}

int os_set_process_limits(void)
{
    os_ulimit(RLIMIT_NOFILE);
    os_ulimit(RLIMIT_FSIZE);
    os_ulimit(RLIMIT_LOCKS);
    umask(022);
    return 0;
}
