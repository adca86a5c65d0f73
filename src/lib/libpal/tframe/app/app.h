// app: the application framework every program of the platform starts and
// stops through. It fills the application descriptor `g_app`
// (libpal/basic/pl_app.h), owns the option block `app_opt_block`, and runs
// the fixed start-up sequence: platform start-up, process environment, the
// program's option parser, log defaults and configuration file, the
// program's configuration loader, public keys, banner, configuration dump,
// root check and panic dump directory.
#pragma once
#include <cstdint>

#include "libpal/basic/pl_app.h"
#include "libpal/env/os_env.h"

// Option block: what the command line asked for. Texts are owned copies
// (os_strdup) freed by app_exit.
struct app_opt_t {
    os_opt_kv_t *key_table; // public keys settable with -s, or NULL
    char *conf_file;
    char *log_level;
    char *log_file;
    int quiet;
    int conf_dump;
    int need_root;
    int log_banner;
    char *exec_cmd;
    int debug_server_port;
    int http_server_port;
    char *panic_dump_dir;
};

extern app_opt_t app_opt_block;

// The whole start-up: platform, "proc_start_time" and "pid" in the
// environment, pre_init_proc, cmdline, opt_get_proc and then app_opt_set.
// Ends the process itself for -h, -v, -p, -s list and option errors (those
// are the program's). Main thread, once.
int app_opt_init(int argc, char **argv);
// Second half of start-up, run after the program's option parser: log set-up,
// configuration file, public keys, banner, dump, root check, panic dump
// directory; -e hands its command string to shell_connet_cmd (and ends
// the process) once the panic dump directory is set up. 0. A descriptor without name, description, version, version
// date or (when no -c) configuration file name ends the program.
int app_opt_set(void);
// Shows the banner "<name>-<os>-<arch> v<ver> (<date>) - <desc>" on stderr
// (unless quiet) with the notice under it, and logs it at dbg when log_banner.
void app_baner(void);
// Shut-down: exit_proc once (a second app_exit does not call it again), the
// option block freed and zeroed, the thread name removed, platform stopped.
void app_exit(void);
