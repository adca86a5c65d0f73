// os_signal: the process-wide handler of stop and crash signals, the panic
// callback and dump directory, core-dump set-up and daemonizing.
#pragma once

typedef void (*os_panic_cb_t)(void);

// Installs sig_panic_handler for SIGTERM, SIGQUIT, SIGINT, SIGSEGV, SIGBUS,
// SIGILL, SIGFPE and SIGABRT. 0. Called once by os_init.
int os_panic_init(void);
// The handler. Stop signals call the application's stop procedure (status 253
// without one once the platform is up), which must be async-signal-safe: the
// handler itself only notes the signal, whose line os_signal_stop_report
// logs later; crash signals log the report, call
// the panic callback, then either die by the signal's default action (core
// dump into the dump directory) or exit with status 254. SIGCHLD reaps
// finished children; any other signal is only logged.
void sig_panic_handler(int signo);
// Logs, once, the line of the stop signal handed to the application's stop
// procedure ("signo=%d [%s] call user_stop_proc", warn). The signal number,
// 0 when none came. Any thread; never from the handler.
int os_signal_stop_report(void);
// Notes the descriptors above 2 the process was started with (once per
// process; os_panic_init calls it), which os_daemonize then closes.
void os_daemon_note_inherited(void);
// Stores the panic callback (NULL: none). Call during start-up.
void os_painc_set_callback(os_panic_cb_t cb);
// Sets up core dumps into `dir` when running as root and dir is not empty.
// -1 when not root, else 0 (a failed set-up is logged, not returned).
int os_painc_set_dump_dir(const char *dir, const char *app_name);
// Raises RLIMIT_CORE, records `dir` (absolute or relative, at most 4095 bytes,
// no control characters, not starting with '|') and writes the kernel core
// pattern "<dir>/%e-%p-%t-%c.core". 0, or -1 (nothing set up).
int os_panic_init_core_dump(const char *dir);
// The file the core pattern is written to ("/proc/sys/kernel/core_pattern",
// the default again for NULL; copied, at most 4095 bytes). Tests point it at
// a temporary file, so they never change the machine's pattern. Start-up only.
int os_panic_set_core_pattern_file(const char *path);
// Stack description for the stack dump of assertions (a fixed text).
const char *os_get_stack_info(void);
// Detaches from the terminal: fork, setsid, ignore SIGHUP, fork again; the
// grandchild closes the descriptors the process was started with (see
// os_daemon_note_inherited; those the program opened itself stay), gets
// umask 022 and stdin/stdout/stderr on /dev/null and returns 0.
// The caller and the first child exit with status 0 inside the call. -1 when
// a fork fails (in the process that tried it).
int os_daemonize(void);
