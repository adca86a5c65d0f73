// zkue_app: the program on top of the application framework: its callbacks,
// option parser, start routine and stop handling, and the services of other
// modules (FUSE mount, virtual file system, command shell) it calls.
#pragma once
#include <cstddef>

#include "libpal/basic/pl_verr.h"

enum { ZKUE_MOUNT_URL_SIZE = 4096, ZKUE_URL_TEXT_SIZE = 8192, ZKUE_ERR_SIZE = 4096 };
// After a stop signal, network waits go on for this long (a live server
// takes what open files hold) and then give up.
enum { ZKUE_STOP_GRACE_MS = 1000 };

// The source URL with its query options; empty means the console shell runs.
// Written by the option parser on the main thread before anything reads it.
extern char g_mount_url[ZKUE_MOUNT_URL_SIZE];
// Set by -d.
extern int g_run_daemon;

// The exact usage text shown by -h and on option errors.
extern const char g_zkue_usage[];

// ---- callbacks given to the framework ----------------------------------------

// Option parser: builds g_mount_url and fills the option block. Ends the
// process for -h (0), -v (0), -s list (0), -i or a bad option (1), a -u that
// cannot be translated (1) and a URL that does not fit g_mount_url (1). 0.
int app_opt_get(int argc, char **argv);
// Runs before the options are read: configuration directory and shell.
void app_lib_init(void);
// Reads "debug:panic_dump_dir" from the configuration file. 0, or -1 when the
// file cannot be loaded.
int app_conf_file_init(const char *path);
// New text "panic_dump_dir=<dir>\n" (empty value when none); caller frees
// with os_free.
char *app_conf_dump_str(void);
// Called on SIGINT, SIGQUIT, SIGTERM, in signal context: network waits give
// up after ZKUE_STOP_GRACE_MS; a mount in progress is asked to end (its
// thread then logs the stop, unmounts once, closes the source and the
// program ends with status 0), and so is the shell when it waits for a line
// or runs a mount; otherwise the terminal is put back and the process ends
// with status 0 at once. Async-signal-safe.
void app_sig_stop_handler(int signo);
// Crash signals: unmounts before the crash handling goes on.
void painc_callback_handler(void);
// Framework exit: virtual file system, shell, thread name, log, platform.
void app_lib_exit(void);
// The shell's exit command: unmounts and sets the stop flag.
void app_shell_exit_proc(void);

// Mounts g_mount_url (blocks until the mount ends) or, with no URL, runs the
// console shell until it is left. 0, or -1 when the mount failed.
int app_start_server(void);
// Sets the stop flag of g_app once. 0.
int app_stop_server(void);

// ---- services of other modules -------------------------------------------------

// FUSE mount of `url`; blocks in the request loop until the file system is
// unmounted. 0, or -1 with the reason in err (the same size as the mount's
// own declaration, or the call does not link).
int myfuse_mount(const char *url, char (&err)[ZKUE_ERR_SIZE]);
// Unmounts the mount point, if any. 0. Safe to call from a signal handler and
// when nothing is mounted.
int myfuse_unmount(char *err);
// Asks the mount in progress to end (now or, during its set-up, as soon as
// its loop would start), for good. 1 when a mount is in progress, 0 when
// none. Async-signal-safe: for the stop signal's handler.
int myfuse_stop_loop(void);
// New text listing the open files and directories, or NULL.
char *myfuse_show_openfile(void);
// Closes the virtual file system. 0.
int libvfs_exit(void);
// Finds the client configuration directory. 0 or -1.
int zk_conf_find_path(void);
// Translates a session reference ("///name/rest") into its real URL; other
// URLs are copied (out: the size of a URL text, checked when the call links).
// 0, or -1 with the reason in err.
int url_conf_2_real(const char *url, char (&out)[ZKUE_URL_TEXT_SIZE], vperror_t *err);

// ---- the program's part of the shell --------------------------------------------------

struct libsh_ctx_t;
// Starts the shell library with the prompt ">" and registers the views
// "config" and "openfile", the rows "mount" and "umount" and the exit
// callback. 0.
int zkue_shell_init(void);
// Shell command `mount URL`: mounts and serves until the mount ends (the
// shell waits). mem:// URLs, directly or through a session, are refused.
// myfuse_mount's result; -1 on a usage or URL error.
int cmd_mount(libsh_ctx_t *ctx, int argc, char **argv);
// Shell command `umount`: unmounts the current mount, if any. 0.
int cmd_umount(libsh_ctx_t *ctx, int argc, char **argv);
// The framework's -e hook: runs the command string in this program's shell
// and ends the process (after the ordinary shut-down) with status 0 when
// the last command returned 0, else 1. Refuses (status 1) unless root.
int app_shell_exec_cmd(const char *addr, int port, const char *cmd);
