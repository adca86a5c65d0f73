// myfuse: the program's FUSE file system. The mount turns one source URL
// into a FUSE mount served by the operations below, on the calling thread,
// until it is unmounted; the operations answer the kernel's requests by
// calling the virtual file system on the current mount. Log tag "zkue".
#pragma once
#include <cstdint>

#include <fuse.h>

struct vfs_mount_ctx;

enum { MYFUSE_MNT_DIR_SIZE = 4096, MYFUSE_URL_SIZE = 8192, MYFUSE_ERR_SIZE = 4096 };

// Trace bits of the URL option "debug".
enum : uint32_t {
    MYFUSE_TRACE_TIME = 1, // time every operation and log it at dbg instead of verb
    MYFUSE_TRACE_DUMP = 2, // dump stat records and directory entries
};

// The virtual file system mount of the current (or last) FUSE mount; NULL
// until the first mount. Every operation goes through it.
extern vfs_mount_ctx *g_vfs_handle;
// The normalised mount directory; empty when nothing is mounted. Only the
// stop paths clear it, and only the one that wins the mounted flag.
extern char g_mnt_dir[MYFUSE_MNT_DIR_SIZE];
// Trace bits, set before the request loop starts and read by it only.
extern uint32_t g_fuse_trace;
// The daemon's file mode mask, read when the loop starts; creations whose
// requested mode it would cut get their mode set afterwards.
extern uint32_t g_fuse_umask;
// 1 while the request loop serves: operations then run for a caller whose
// credentials libfuse holds (what they create is given to it). Set and read
// on the loop's thread only.
extern uint32_t g_fuse_serving;

// Mounts `url` (query options "fuse_mount_point", "run_daemon", "debug",
// "options") and serves it until the file system is unmounted. 0 after the
// loop ended or a stop request (myfuse_stop_loop) ended the mount, also
// during its set-up; -1 when the mount failed with the reason in err.
// With "run_daemon" the calling process exits 0 once the kernel mount is up
// and the detached child goes on serving. Main or shell thread.
int myfuse_mount(const char *url, char (&err)[MYFUSE_ERR_SIZE]);
// Asks the mount in progress to end, for good: its loop ends after the
// request it serves (or never starts), and myfuse_mount unmounts, closes the
// source and returns 0. 1 when a mount is in progress, 0 when none.
// Async-signal-safe.
int myfuse_stop_loop(void);
// Unmounts the current mount directory, once: later and concurrent calls do
// nothing. Any thread, also a signal handler.
void myfuse_remove_mount_point(void);
// Logs "==>" and calls myfuse_remove_mount_point. err is not written. 0.
int myfuse_unmount(char *err);
// The open files and directories of the current mount (new text, os_free),
// NULL when nothing is open, "" when nothing was ever mounted.
char *myfuse_show_openfile(void);

// The mount option text of the URL's "options" value, settled for a source
// that is read-only or not (fuse_opts_settle); logs the forced read-only
// warning and the result. 0, or -1 with the reason in err.
int myfuse_settle_options(const char *url, int readonly, char *out, size_t size, char (&err)[MYFUSE_ERR_SIZE]);

// The operations record handed to libfuse (static, never NULL).
const struct fuse_operations *myfuse_get_ops(void);
// Logs a warning (err from 15 s) when more than 3 s went by since `start`
// (monotonic ms): "<label> (<path>) time=[...] warn: more time use".
void fuse_time_use_check(uint64_t start, const char *path, const char *label);
