// help: the FUSE set-up around libfuse 2: what /proc/filesystems says about
// FUSE, loading the module and making /dev/fuse, the kernel mount with its
// argument lists, the single-threaded request loop and the unmount; plus the
// preparation of a mount directory and the settling of the mount options.
#pragma once
#include <cstddef>

#include <fuse.h>

// The libfuse channel of the current mount (NULL when none). Written by
// try_fuse_mount on its own thread.
extern struct fuse_chan *g_fuse_chan;

// What try_fuse_mount mounts. Texts are the caller's and must outlive the
// call. The procedures are optional:
// - mounted_proc runs as soon as the kernel mount exists (before anything
//   else can fail), so that the stop paths know there is something to
//   unmount;
// - ready_proc runs once the file-system handle and the signal handlers are
//   in place, just before the request loop: a failure (non-zero) unmounts
//   and makes try_fuse_mount return -1. It may detach into the background;
// - ended_proc runs on the loop's thread when the loop has ended, before
//   the unmount.
// reason (reason_size bytes, optional) receives why a set-up failed, as
// libfuse said it (empty when it said nothing).
struct fuse_mount_cfg_t {
    const char *prog_name = nullptr; // argv[0] of the mount argument list
    const char *mnt_dir = nullptr;   // normalised mount directory
    const char *options = nullptr;   // settled mount option text (may be empty)
    void (*mounted_proc)(void *arg) = nullptr;
    int (*ready_proc)(void *arg) = nullptr;
    void *arg = nullptr;
    void (*ended_proc)(void *arg) = nullptr;
    char *reason = nullptr;
    size_t reason_size = 0;
};

// Files and programs the set-up consults; tests point them elsewhere.
// NULL restores the default. Not thread-safe: set before mounting.
void fuse_help_set_paths(const char *filesystems, const char *modprobe, const char *dev_fuse);

// What /proc/filesystems says: 3 when "fuseblk" is listed (at once), 2 when
// "fuse" is, 0 when neither, 1 when the file cannot be opened (the text
// "Failed to open /proc/filesystems" goes to the standard output).
int get_fuse_fstype(void);

// Makes sure FUSE can be mounted: with the answer 0 or 1, runs the module
// loader (root only, when it exists) and then asks again up to ten times,
// 100 ms apart; then makes the device (char 10:229, mode 0666) when it does
// not exist. Returns the last get_fuse_fstype answer; the mount is tried
// whatever it is.
int fuse_module_ensure(void);

// Mounts cfg->mnt_dir with the option text, builds the file-system handle
// over `ops` (options "use_ino,auto_cache,attr_timeout=0,big_writes,
// max_write=131072"), installs libfuse's signal handlers where the platform
// has none, and serves kernel requests on the calling thread, one at a
// time, until the file system is unmounted or an exit is requested
// (fuse_loop_request_exit); then unmounts, once, unless someone else already
// did, destroys the handle, and detaches the mount if the kernel left it
// dead (umount -f with files open). 0 after the loop, -1 when the set-up
// failed (nothing stays mounted; libfuse's reason is logged, written to the
// standard error stream as libfuse wrote it, and put into cfg->reason).
int try_fuse_mount(const struct fuse_operations *ops, const fuse_mount_cfg_t *cfg);

// Settles the mount option text: `options` is a ','-separated list. Without
// an item "rw" the mount is read-only ("ro" appended); with "rw" and a
// read-only source "ro" is appended too and *forced_ro set to 1; with "rw"
// and a writable source every "rw" item is removed (read-write is the
// kernel's default). Empty items are dropped. "allow_other" always brings
// "default_permissions", so that other users never get past the source's
// permissions. An item that is no mount option FUSE or the kernel knows
// stays in the text, which libfuse's mount then ignores, with one warning
// naming it (one that says so plainly for the file system's own options,
// attr_timeout and the like, which are fixed). 0, or -1 (out emptied) when
// the result does not fit `size`.
int fuse_opts_settle(const char *options, int readonly, char *out, size_t size, int *forced_ro);

// 1 when `dir` is the mount point of a FUSE file system (fuse, fuse.*,
// fuseblk) in /proc/self/mountinfo, else 0. A relative name is taken from
// the working directory, and links in its parents are resolved, as the
// kernel lists mount points.
int fuse_mnt_is_fuse(const char *dir);

// Removes a stale FUSE mount left on `dir` (one whose daemon is gone, so the
// directory answers "Transport endpoint is not connected"); a live FUSE
// mount or any other file system mounted there is left alone. 1 when
// something was unmounted, 0 when not.
int fuse_umount_stale(const char *dir);

// Asks the request loop to end after the request it is serving, now and
// for the rest of the process: a loop that starts later ends at once. 1 when
// a loop was running, 0 when none. Async-signal-safe.
int fuse_loop_request_exit(void);
// 1 once an exit has been requested.
int fuse_loop_exit_requested(void);

// The kernel's large-file bit as it appears in the open flags of FUSE
// requests. It has no portable meaning and is dropped before conversion.
int fuse_kernel_largefile(void);

// Prepares a mount directory: drops a stale FUSE mount on it, then creates
// it with its missing parents (mode 0755). 0, or -1 with errno set.
int fuse_mnt_dir_prepare(const char *dir);
