// The program's FUSE mount: from a source URL to a served mount and back.
#include "zkue/fuse/myfuse.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "libfuse2/src/help.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
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

int myfuse_settle_options(const char *url, int readonly, char *out, size_t size, char *err)
{
    char opts[MYFUSE_URL_SIZE];
    url_get_query_buf(url, "options", "", opts, sizeof(opts));
    int forced = 0;
    if (fuse_opts_settle(opts, readonly, out, size, &forced) != 0) {
        str_safecopy(err, MYFUSE_ERR_SIZE, "mount options too long");
        return -1;
    }
    if (forced)
        MLOG(LOG2_WARN, "VFS read-only Forced to read-only mount\n");
    MLOG(LOG2_DBG, "opts.options=%s\n", out);
    return 0;
}

namespace {

// Closes the mount of a set-up that failed, so that nothing of it outlives
// the call (a later mount from the shell would leak it). The heartbeat goes
// first: it must never touch a closed mount.
void vfs_mount_drop(void)
{
    heartbeat_exit();
    vfs_umount(g_vfs_handle);
    g_vfs_handle = nullptr;
}

} // namespace

int myfuse_mount(const char *url, char *err)
{
    MLOG(LOG2_DBG, "==>\n");
    if (!url || !err) {
        if (err)
            str_safecopy(err, MYFUSE_ERR_SIZE, "no url");
        return -1;
    }
    if (s_mounted.load()) {
        str_safecopy(err, MYFUSE_ERR_SIZE, "already mounted");
        return -1;
    }
    char turl[MYFUSE_URL_SIZE];
    vperror_t verr{};
    if (url_conf_2_real(url, turl, &verr) != 0) {
        str_sprintf_s2(err, MYFUSE_ERR_SIZE, "url_conf_2_real [%s] failed", url);
        return -1;
    }
    char mnt[MYFUSE_MNT_DIR_SIZE];
    url_get_query_buf(turl, "fuse_mount_point", "", mnt, sizeof(mnt));
    if (!mnt[0]) {
        str_safecopy(err, MYFUSE_ERR_SIZE, "need mount dir");
        return -1;
    }
    int run_daemon = url_get_query_int(turl, "run_daemon", 0);
    uint32_t trace = (uint32_t)url_get_query_int(turl, "debug", 0);
    zk_conf_url_add_timeouts(turl);
    {
        char opts[MYFUSE_URL_SIZE];
        url_get_query_buf(turl, "options", "", opts, sizeof(opts));
        char shown[MYFUSE_URL_SIZE];
        MLOG(LOG2_DBG, "url=%s opts=%s mdir=%s\n", url_safe_hide_fmt(turl, shown), opts, mnt);
    }

    g_vfs_handle = vfs_mount(turl, &verr);
    if (!g_vfs_handle) {
        str_safecopy_trunc(err, MYFUSE_ERR_SIZE, vperror_str(&verr));
        return -1;
    }
    uint32_t readonly = 0;
    vfs_get_readonly(g_vfs_handle, &readonly);

    // The private copy handed to the loop stays put while a stop path
    // empties g_mnt_dir.
    char dir[MYFUSE_MNT_DIR_SIZE];
    if (str_safecopy(dir, sizeof(dir), mnt) != 0) {
        str_safecopy(err, MYFUSE_ERR_SIZE, "mount dir too long");
        vfs_mount_drop();
        return -1;
    }
    path_normalize(dir);
    str_safecopy(g_mnt_dir, sizeof(g_mnt_dir), dir);
    vfs_set_mnt_dir(g_vfs_handle, dir);
    if (fuse_mnt_dir_prepare(dir) != 0) {
        str_safecopy_trunc(err, MYFUSE_ERR_SIZE, strerror(errno));
        g_mnt_dir[0] = '\0';
        vfs_mount_drop();
        return -1;
    }
    g_fuse_trace = trace;

    char options[MYFUSE_URL_SIZE];
    if (myfuse_settle_options(turl, readonly != 0, options, sizeof(options), err) != 0) {
        g_mnt_dir[0] = '\0';
        vfs_mount_drop();
        return -1;
    }

    mount_run run{turl, run_daemon, false};
    fuse_mount_cfg_t cfg{"zkue", dir, options, on_kernel_mount, on_ready, &run};
    int r = try_fuse_mount(myfuse_get_ops(), &cfg);
    g_fuse_serving = 0;
    // Whatever ended the loop, the heartbeat must not outlive this mount (it
    // would probe a mount about to be closed, or unmount a later one).
    heartbeat_exit();
    // A stop path that took the flag empties g_mnt_dir itself, maybe right now.
    if (s_mounted.exchange(0) || !run.kernel_mounted)
        g_mnt_dir[0] = '\0';
    if (r != 0) {
        // libfuse and the set-up have said why in the log.
        str_safecopy(err, MYFUSE_ERR_SIZE, "fuse mount failed, see the log");
        vfs_mount_drop();
        return -1;
    }
    // The loop has ended (unmounted, or stopped by a signal): files the kernel
    // never released may still hold cached writes; closing the mount writes
    // them out before the program ends.
    vfs_mount_drop();
    MLOG(LOG2_DBG, "<==\n");
    return 0;
}

int myfuse_stop_loop(void)
{
    myfuse_remove_mount_point();
    return fuse_loop_request_exit();
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
