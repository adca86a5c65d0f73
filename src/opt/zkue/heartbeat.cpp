// The heartbeat thread "check"; see heartbeat.h.
#include "zkue/heartbeat.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>

#include "libpal/basic/pl_base.h"
#include "libpal/basic/pl_verr.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_volume.h"
#include "libpal/string/url.h"
#include "libvfs/libvfs.h"
#include "liblog/log2.h"
#include "zkue/fuse/myfuse.h"

#define TAG "zkue"
#define HBLOG(lvl, ...) \
    log2_printf(nullptr, (unsigned)(lvl), TAG, "src/opt/zkue/heartbeat", __LINE__, __func__, __VA_ARGS__)

namespace {

// Owned by the main thread (init and exit).
os_thread_t *s_thread;
void (*s_unmount)(void) = myfuse_remove_mount_point;
uint64_t (*s_clock)(void) = os_clock_ms;

// The stop flag, and the wake-up of a thread that naps.
std::mutex s_mu;
std::condition_variable s_cv;
bool s_stop;

bool stop_requested(void)
{
    std::lock_guard<std::mutex> g(s_mu);
    return s_stop;
}

// Naps `ms` unless a stop comes first. true when stopped.
bool nap(uint32_t ms)
{
    std::unique_lock<std::mutex> g(s_mu);
    return s_cv.wait_for(g, std::chrono::milliseconds(ms), [] { return s_stop; });
}

void *heartbeat_main(void *arg)
{
    check_heartbeat_thread((vfs_mount_ctx *)arg);
    return nullptr;
}

} // namespace

void heartbeat_set_unmount_proc(void (*proc)(void)) { s_unmount = proc ? proc : myfuse_remove_mount_point; }
void heartbeat_set_clock_proc(uint64_t (*proc)(void)) { s_clock = proc ? proc : os_clock_ms; }

int heartbeat_init(const char *url, vfs_mount_ctx *mnt)
{
    heartbeat_exit();
    if (url_get_type(url) == URL_TYPE_FILE)
        return 0;
    // Only a source that stamps its activity can tell how long it has been
    // silent; probing one that cannot would unmount it for nothing.
    // (-1: no mount at all.)
    if (vfs_get_last_activity(mnt) <= 0) {
        HBLOG(LOG2_DBG, "source keeps no activity time: no heartbeat\n");
        return 0;
    }
    {
        std::lock_guard<std::mutex> g(s_mu);
        s_stop = false;
    }
    // Stop signals go to the main thread, whose request loop they end; the
    // thread inherits a mask that keeps them away from it.
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigaddset(&stop, sig);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    s_thread = os_thread_init("check", heartbeat_main, mnt, 0);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return s_thread ? 1 : 0;
}

int check_heartbeat_thread(vfs_mount_ctx *mnt)
{
    HBLOG(LOG2_DBG, "==>\n");
    // A driver without a statfs slot cannot answer a probe: nothing to probe
    // (asking anyway would only trip the missing-slot assertion).
    bool can_probe = mnt && mnt->drv && mnt->drv->statfs;
    while (!stop_requested()) {
        uint64_t last = vfs_get_last_activity(mnt);
        uint64_t now = s_clock();
        // 0: nothing recorded yet, which is not silence. The difference is
        // taken as a signed one: a stamp from after `now` is no silence.
        if (can_probe && last != 0 && int64_t(now - last) > int64_t(HEARTBEAT_IDLE_MS)) {
            os_volume_info_t vi{};
            if (vfs_statfs(mnt, &vi) < 0) {
                if (vfs_errcode(mnt) == VERR_NOT_IMPLEMENTED) {
                    // A source too old to answer it: nothing to probe.
                    can_probe = false;
                } else {
                    HBLOG(LOG2_WARN, "probe failed: %s\n", vfs_errstr(mnt));
                    s_unmount();
                    break;
                }
            }
        }
        if (vfs_get_need_reopen(mnt) == 1) {
            HBLOG(LOG2_DBG, "vfs_error_need_remount...\n");
            s_unmount();
            break;
        }
        if (nap(HEARTBEAT_NAP_MS * HEARTBEAT_NAPS))
            break;
    }
    HBLOG(LOG2_DBG, "<==\n");
    return 0;
}

int heartbeat_exit(void)
{
    if (!s_thread)
        return 0;
    {
        std::lock_guard<std::mutex> g(s_mu);
        s_stop = true;
    }
    s_cv.notify_all();
    int r = os_thread_wait(s_thread, 0xffffffffu, nullptr);
    if (r < 0)
        HBLOG(LOG2_DBG, "os_thread_wait ret=%d\n", r);
    os_thread_detach(s_thread);
    s_thread = nullptr;
    return 0;
}
