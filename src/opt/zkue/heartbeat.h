// heartbeat: while a FUSE mount of a remote source stands, the thread
// "check" watches it: after two minutes of silence it probes the source with
// a file-system statistics call, and it unmounts the FUSE mount when the
// probe fails or the mount reports that it lost its connection with files
// open (which ends the request loop). Log tag "zkue".
#pragma once
#include <cstdint>

struct vfs_mount_ctx;

enum : uint32_t {
    HEARTBEAT_IDLE_MS = 119999, // a probe happens after more silence than this
    HEARTBEAT_NAP_MS = 500,
    HEARTBEAT_NAPS = 10,        // naps per cycle (about 5 s)
};

// Starts the heartbeat for `mnt` once the kernel mount exists: 1 when a
// thread was started, 0 when none is needed (local paths, and sources that
// keep no activity time, so that silence cannot be judged) or it could not
// be started. A heartbeat still running is stopped first. Main thread.
int heartbeat_init(const char *url, vfs_mount_ctx *mnt);
// The thread body. 0.
int check_heartbeat_thread(vfs_mount_ctx *mnt);
// Stops the heartbeat: sets the stop flag, wakes the thread from its nap
// and waits until it has ended (a call to the source it is making finishes
// first; nothing is cancelled). 0 at once when none runs. Call before the
// mount is closed and whenever the request loop has ended. Main thread.
int heartbeat_exit(void);
// What the heartbeat reads the monotonic milliseconds from: os_clock_ms,
// unless a test puts another clock in its place (NULL restores it). Set
// while no heartbeat runs.
void heartbeat_set_clock_proc(uint64_t (*proc)(void));
// What the heartbeat calls to unmount: myfuse_remove_mount_point, unless a
// test puts another procedure in its place (NULL restores it). Set while no
// heartbeat runs.
void heartbeat_set_unmount_proc(void (*proc)(void));
