// os_process: running other processes (shell commands, piped children with
// captured output), waiting for them, process lookups under /proc,
// privilege drop and restore, resource limits and a few process facts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/utils/pl_vector.h"

// One child started with pipes. Owned by the caller until os_pclose.
struct os_popen_t {
    char *cmd;      // copy of the command
    int32_t pid;    // the child's process id
    int32_t fd;     // parent's end of the data pipe: child's stdout ("r") or stdin ("w")
    int32_t err_fd; // read end of the pipe carrying the child's stderr
    int32_t done;   // 1 once the child's end has been collected
    int32_t result; // mapped end status (os_waitpid_status_2_eno) once done
};

// ---- running commands ---------------------------------------------------------
// Raw system(3) status; -1 (logged) when the shell could not be run.
int os_system1(const char *cmd);
// os_system1, then a non-negative status mapped with os_waitpid_status_2_eno:
// the exit code, or the signal number that ended the shell. Negative unchanged.
int os_system(const char *cmd, int ignored);
int os_system_sync(const char *cmd); // = os_system
int os_system_raw(const char *cmd);  // = os_system1
// os_system_sync of the formatted text (8192 bytes); -1 and nothing run when
// the text does not fit.
int os_system_fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// End code of a wait status: exit code for a normal exit, the signal number
// for a child killed or stopped by a signal (logged at err, `name` may be
// NULL), -1 for anything else. Exit codes and signals share one range.
int os_waitpid_status_2_eno(int pid, int status, const char *name);

// ---- piped children ---------------------------------------------------------------
// Starts `cmd` with mode "r" (read its stdout) or "w" (write its stdin); its
// stderr is always readable through err_fd. use_shell runs "/bin/sh -c cmd",
// otherwise cmd is split into words and the first is searched in PATH. The
// child inherits no descriptor above 2. NULL with errno on failure (EINVAL for
// a bad mode). Any thread.
os_popen_t *os_popen_imp(int use_shell, const char *cmd, const char *mode);
os_popen_t *os_popen(const char *cmd, const char *mode);
os_popen_t *os_popen_exec(const char *cmd, const char *mode);
// Everything read from fd until end of input, as a new text (os_free), or
// NULL when nothing was read. A NUL byte ends the text of its 4096-byte chunk.
char *os_fd_read_all(int fd);
char *os_popen_read_out(os_popen_t *p);
char *os_popen_read_err(os_popen_t *p);
// End code once the child has ended (collected once, then cached), 0 while it
// runs, -1 on a waitpid failure.
int os_perrno_get(os_popen_t *p);
// End code, or -1 on failure or when the child has not ended within timeout_ms.
int os_perrno_wait(os_popen_t *p, uint32_t timeout_ms);
// Closes both pipes, waits up to 1000 ms for the end, frees the record. 0.
int os_pclose(os_popen_t *p);

// ---- capture: run to the end, outputs as new texts (os_free) --------------------------
// mode 1 runs through the shell, any other without. stdout and stderr are read
// side by side, so a child filling either pipe never blocks. out/err may be
// NULL (the text is dropped); a stream that said nothing gives NULL. Returns
// the end code, -1 when the child could not be started or outlived a 1000 ms
// wait after closing its outputs.
int os_system_capture_imp(const char *cmd, int mode, char **out, char **err);
int os_system_capture_sh(const char *cmd, int ignored, char **out, char **err);
int os_system_capture_exec(const char *cmd, int ignored, char **out, char **err);
int os_system_capture(const char *cmd, int ignored, char **out, char **err);
// Without a shell; stdout into buf (cut to *size, which becomes the text
// length + 1), stderr into err (4096 bytes, blanks trimmed at both ends).
int os_system_capture_buf(const char *cmd, int ignored, char *buf, size_t *size, char *err /*4096*/);
// Without a shell; logs the command, its end code and its outputs at dbg.
int os_system_dbg(const char *cmd, int ignored);

// ---- process facts and lookups ------------------------------------------------------
int os_is_root(void);         // 1 when the effective user is root
uint32_t os_perrno_cur(void); // own process id
int os_pid_exists(uint32_t pid);
// Target of /proc/<pid>/exe into buf. 0 / -1.
enum { OS_PID_EXE_SIZE = 4096 };
int os_pid_exe(uint32_t pid, char (&buf)[OS_PID_EXE_SIZE]);
// Command line of a process as one text: arguments separated by one blank,
// those holding a blank, TAB or quote inside double quotes (with '"' and '\'
// escaped); an empty text for a process without arguments (a zombie, a
// kernel thread). 0, or -1 when it cannot be read or does not fit in size.
int os_pid_cmdline(uint32_t pid, char *buf, size_t size);
// Ids of the processes running the executable `name` (searched like a
// command), as a new array (u32_vector_free), possibly empty; NULL when the
// executable or /proc cannot be found.
u32_vector_t *os_pids_by_exe(const char *name);
// 1 when SIGKILL was sent to pid; 0 on failure and for pid 0 or above
// INT32_MAX, which kill(2) would take as a whole process group.
int os_pid_kill(uint32_t pid);
// Runs "halt" (0), "poweroff" (1) or "reboot" (2) through the power runner
// and answers 1; any other mode answers 0 and runs nothing.
int os_power_ctrl(int mode);
// The runner os_power_ctrl hands its command to (system(3) by default);
// returns the previous one. NULL restores the default. Tests replace it.
typedef int (*os_power_run_fn)(const char *cmd);
os_power_run_fn os_power_ctrl_set_runner(os_power_run_fn fn);
// User id of a user name, -1 when there is none.
int os_get_uid_by_name(const char *name);
// Group id of the group "admin", -1 when there is none.
int os_get_admin_gid(void);

// ---- privileges and limits -------------------------------------------------------------
// Drops the effective user and group to the real ones (and the supplementary
// groups to the real group when root). Temporary drops save the identity for
// os_restore_privileges. Every failed step aborts the process. Single-threaded
// use around a privileged step.
void os_drop_privileges(int permanent);
void os_restore_privileges(void);
// Raises a resource limit to unlimited, else to its hard limit. 0 / -1.
int os_ulimit(int resource);
// Raises RLIMIT_NOFILE, RLIMIT_FSIZE and RLIMIT_LOCKS, sets umask 022. 0.
int os_set_process_limits(void);
