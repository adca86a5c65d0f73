// The program's FUSE mount: from a source URL to a served mount and back.
#include "zkue/fuse/myfuse.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "libfuse2/src/help.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/url.h"
#include "libvfs/libvfs.h"
#include "libzkcli/client.h"
#include "liblog/log2.h"
#include "zkue/heartbeat.h"

#define TAG "zkue"
#define MLOG(lvl, ...) \
    log2_printf(nullptr, (unsigned)(lvl), TAG, "src/opt/zkue/fuse/myfuse", __LINE__, __func__, __VA_ARGS__)

vfs_mount_ctx *g_vfs_handle;
char g_mnt_dir[MYFUSE_MNT_DIR_SIZE];

namespace {

// 1 while a kernel mount made here stands and nobody has unmounted it yet.
// The stop paths (heartbeat thread, signal handlers, the loop's own end)
// race for it; only the one that takes it unmounts and empties g_mnt_dir.
std::atomic<int> s_mounted{0};

// What the set-up steps that run inside try_fuse_mount need.
struct mount_run {
    const char *url;
    int run_daemon;
    bool kernel_mounted;
};

void on_kernel_mount(void *arg)
{
    ((mount_run *)arg)->kernel_mounted = true;
    s_mounted.store(1);
}

// The kernel mount and the file-system handle exist: detach now if asked
// (the starting process then ends with 0, the mount being in place), and
// start the heartbeat in the process that serves.
int on_ready(void *arg)
{
    const mount_run *run = (const mount_run *)arg;
    if (run->run_daemon) {
        MLOG(LOG2_DBG, "run as daemon\n");
        if (os_daemonize() != 0)
            return -1;
    }
    // The mask the created files would get; read while no other thread runs
    // (reading it means setting it).
    mode_t m = umask(022);
    umask(m);
    g_fuse_umask = m;
    heartbeat_init(run->url, g_vfs_handle);
    g_fuse_serving = 1;
    return 0;
}

} // namespace

int myfuse_settle_options(const char *url, int readonly, char *out, size_t size, char (&err)[MYFUSE_ERR_SIZE])
{
    char opts[MYFUSE_URL_SIZE];
    url_get_query_buf(url, "options", "", opts, sizeof(opts));
    int forced = 0;
    if (fuse_opts_settle(opts, readonly, out, size, &forced) != 0) {
        str_safecopy(err, sizeof(err), "mount options too long");
        return -1;
    }
    if (forced)
        MLOG(LOG2_WARN, "VFS read-only Forced to read-only mount\n");
    MLOG(LOG2_DBG, "opts.options=%s\n", out);
    return 0;
}

namespace {

// The loop has ended: a stop request is logged here, on the loop's thread,
// before anything is unmounted or closed.
void on_loop_end(void *)
{
    if (fuse_loop_exit_requested() && os_signal_stop_report())
        MLOG(LOG2_DBG, "stop_server ==>\n");
}

// A path as the kernel resolves it: absolute, links of the part that exists
// followed, the rest taken as written. A name that cannot be looked at (a
// dead mount) keeps its own last step.
std::string resolved_path(const char *path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (!ec)
        return p.string();
    fs::path a = fs::absolute(path, ec).lexically_normal();
    fs::path parent = fs::weakly_canonical(a.parent_path(), ec);
    return ec ? a.string() : (parent / a.filename()).string();
}

// 1 when `inner` is `outer` or lies below it.
bool path_within(const std::string &outer, const std::string &inner)
{
    std::string o = outer;
    while (o.size() > 1 && o.back() == '/')
        o.pop_back();
    if (inner.compare(0, o.size(), o) != 0)
        return false;
    return inner.size() == o.size() || o == "/" || inner[o.size()] == '/';
}

// The path of a local source URL ("file://" followed by the path itself, or
// a plain path) into out. false for other URLs and for a path the URL does
// not give.
bool local_source_path(const char *url, char (&out)[URL_FIELD_SIZE])
{
    if (url_get_type(url) != URL_TYPE_FILE)
        return false;
    const char *text = str_istart_with(url, "file://") ? url + 7 : url;
    return url_get_path(text, out) == 0 && *out;
}

// A local source and the mount point must not overlap: the daemon would
// serve requests about its own mount point, and the first one that reaches
// into the mount waits for the daemon itself (it and the caller hang for
// good). -1 with err set when they do.
int self_mount_check(const char *url, const char *mnt, char (&err)[MYFUSE_ERR_SIZE])
{
    char src[MYFUSE_MNT_DIR_SIZE];
    if (!local_source_path(url, src))
        return 0; // not local, or a bad path the driver reports itself
    std::string s = resolved_path(src), m = resolved_path(mnt);
    if (!path_within(s, m) && !path_within(m, s))
        return 0;
    str_sprintf_s2(err, sizeof(err), "source [%s] and mount point [%s] overlap: a mount cannot show itself",
                   s.c_str(), m.c_str());
    return -1;
}

// The reason a local source could not be mounted, when the error record
// alone would mislead: a file that is no supported archive is not "not found".
void mount_error_text(const char *url, const vperror_t *verr, char (&err)[MYFUSE_ERR_SIZE])
{
    struct stat st;
    char src[MYFUSE_MNT_DIR_SIZE];
    if (local_source_path(url, src) && stat(src, &st) == 0 && !S_ISDIR(st.st_mode)) {
        str_sprintf_s2(err, sizeof(err), "source [%s] is not a directory and not a supported archive", src);
        return;
    }
    str_safecopy_trunc(err, sizeof(err), vperror_str(verr));
}

// 1 while myfuse_mount runs (set-up, loop, clean-up).
std::atomic<int> s_active{0};

// What the URL asks of a mount, read before anything is opened.
struct mount_plan {
    char url[MYFUSE_URL_SIZE];     // the real URL (sessions translated), with the timeouts
    char mnt[MYFUSE_MNT_DIR_SIZE]; // the mount point as the URL gives it
    // The normalised mount point: the private copy handed to the loop stays
    // put while a stop path empties g_mnt_dir.
    char dir[MYFUSE_MNT_DIR_SIZE];
    int run_daemon;
    uint32_t trace;
};

// Step 1: the real URL, the mount point and the switches of `url`. 0, or -1
// with err set.
int mount_read_url(const char *url, mount_plan &plan, char (&err)[MYFUSE_ERR_SIZE])
{
    vperror_t verr{};
    if (url_conf_2_real(url, plan.url, &verr) != 0) {
        char shown[MYFUSE_URL_SIZE];
        str_sprintf_s2(err, sizeof(err), "url_conf_2_real [%s] failed", url_hide_pwd_fmt(url, shown));
        return -1;
    }
    url_get_query_buf(plan.url, "fuse_mount_point", "", plan.mnt, sizeof(plan.mnt));
    if (!plan.mnt[0]) {
        str_safecopy(err, sizeof(err), "need mount dir");
        return -1;
    }
    plan.run_daemon = url_get_query_int(plan.url, "run_daemon", 0);
    plan.trace = (uint32_t)url_get_query_int(plan.url, "debug", 0);
    zk_conf_url_add_timeouts(plan.url);
    return 0;
}

// Step 2: checks the mount point, opens the source (g_vfs_handle), prepares
// the mount point and settles the mount options into `options`. 0, or -1
// with err set; what was opened stays for the caller's unwind.
int mount_prepare(mount_plan &plan, char (&options)[MYFUSE_URL_SIZE], char (&err)[MYFUSE_ERR_SIZE])
{
    if (str_safecopy(plan.dir, sizeof(plan.dir), plan.mnt) != 0) {
        str_safecopy(err, sizeof(err), "mount dir too long");
        return -1;
    }
    path_normalize(plan.dir);
    if (self_mount_check(plan.url, plan.dir, err) != 0)
        return -1;
    vperror_t verr{};
    g_vfs_handle = vfs_mount(plan.url, &verr);
    if (!g_vfs_handle) {
        mount_error_text(plan.url, &verr, err);
        return -1;
    }
    // A source that cannot say is taken as read-only: never writable by mistake.
    uint32_t readonly = 0;
    if (vfs_get_readonly(g_vfs_handle, &readonly) != 0) {
        MLOG(LOG2_WARN, "read-only state of the source unknown (%s): mounting read-only\n", vfs_errstr(g_vfs_handle));
        readonly = 1;
    }
    str_safecopy(g_mnt_dir, sizeof(g_mnt_dir), plan.dir);
    if (vfs_set_mnt_dir(g_vfs_handle, plan.dir) != 0) {
        str_sprintf_s2(err, sizeof(err), "mount dir [%s]: %s", plan.dir, vfs_errstr(g_vfs_handle));
        return -1;
    }
    if (fuse_mnt_dir_prepare(plan.dir) != 0) {
        str_safecopy_trunc(err, sizeof(err), strerror(errno));
        return -1;
    }
    g_fuse_trace = plan.trace;
    return myfuse_settle_options(plan.url, readonly != 0, options, sizeof(options), err);
}

// Step 3: mounts in the kernel and serves until the loop ends. 0, or -1 with
// err set.
int mount_serve(const mount_plan &plan, const char *options, mount_run &run, char (&err)[MYFUSE_ERR_SIZE])
{
    char reason[1024] = "";
    fuse_mount_cfg_t cfg;
    cfg.prog_name = "zkue";
    cfg.mnt_dir = plan.dir;
    cfg.options = options;
    cfg.mounted_proc = on_kernel_mount;
    cfg.ready_proc = on_ready;
    cfg.arg = &run;
    cfg.ended_proc = on_loop_end;
    cfg.reason = reason;
    cfg.reason_size = sizeof(reason);
    if (try_fuse_mount(myfuse_get_ops(), &cfg) == 0)
        return 0;
    if (reason[0])
        str_sprintf_s2(err, sizeof(err), "fuse mount failed: %s", reason);
    else
        str_safecopy(err, sizeof(err), "fuse mount failed");
    return -1;
}

// The unwind of every mount, whatever step it reached: a stop request ends
// a mount as an unmount does, also one whose set-up it cut short (a login
// the server never answered), with 0 and the stop logged. Returns the
// mount's result.
int mount_end(int ret, const mount_run &run)
{
    if (ret != 0 && fuse_loop_exit_requested()) {
        on_loop_end(nullptr);
        ret = 0;
    }
    g_fuse_serving = 0;
    // Whatever ended the loop, the heartbeat must not outlive this mount (it
    // would probe a mount about to be closed, or unmount a later one).
    heartbeat_exit();
    // A stop path that took the flag empties g_mnt_dir itself, maybe right now.
    if (s_mounted.exchange(0) || !run.kernel_mounted)
        g_mnt_dir[0] = '\0';
    // Files the kernel never released may still hold cached writes: closing
    // the mount writes them out before the program ends.
    if (g_vfs_handle) {
        vfs_umount(g_vfs_handle);
        g_vfs_handle = nullptr;
    }
    return ret;
}

} // namespace

int myfuse_mount(const char *url, char (&err)[MYFUSE_ERR_SIZE])
{
    MLOG(LOG2_DBG, "==>\n");
    if (!url) {
        str_safecopy(err, sizeof(err), "no url");
        return -1;
    }
    if (s_active.exchange(1)) {
        str_safecopy(err, sizeof(err), "already mounted");
        return -1;
    }
    mount_plan plan{};
    char options[MYFUSE_URL_SIZE];
    mount_run run{plan.url, 0, false};
    int ret = mount_read_url(url, plan, err);
    if (ret == 0) {
        char opts[MYFUSE_URL_SIZE], shown[MYFUSE_URL_SIZE];
        url_get_query_buf(plan.url, "options", "", opts, sizeof(opts));
        MLOG(LOG2_DBG, "url=%s opts=%s mdir=%s\n", url_hide_pwd_fmt(plan.url, shown), opts, plan.mnt);
        ret = mount_prepare(plan, options, err);
    }
    if (ret == 0) {
        run.run_daemon = plan.run_daemon;
        // A stop that came during the set-up: nothing to serve.
        if (fuse_loop_exit_requested())
            on_loop_end(nullptr);
        else
            ret = mount_serve(plan, options, run, err);
    }
    ret = mount_end(ret, run);
    s_active.store(0);
    MLOG(LOG2_DBG, "<==\n");
    return ret;
}

int myfuse_stop_loop(void)
{
    fuse_loop_request_exit();
    return s_active.load();
}

void myfuse_remove_mount_point(void)
{
    MLOG(LOG2_DBG, "==>\n");
    if (!s_mounted.exchange(0))
        return;
    MLOG(LOG2_DBG, "fuse_unmount mnt_dir=%s\n", g_mnt_dir);
    fuse_unmount(g_mnt_dir, nullptr);
    g_mnt_dir[0] = '\0';
}

int myfuse_unmount(char *)
{
    MLOG(LOG2_DBG, "==>\n");
    myfuse_remove_mount_point();
    return 0;
}

char *myfuse_show_openfile(void)
{
    if (!g_vfs_handle)
        return os_strdup("");
    return vfs_dump_handles(g_vfs_handle);
}
