// app: the application framework every program of the platform starts and
// stops through. It owns the application descriptor `g_app` and the option
// block `app_opt_block`, and runs the fixed start-up sequence: platform
// start-up, process environment, the program's option parser, log defaults and
// configuration file, the program's configuration loader, public keys, banner,
// configuration dump, root check and panic dump directory.
#pragma once
#include <cstdint>

#include "libpal/env/os_env.h"

// The program's callbacks.
typedef int (*app_shell_connect_fn)(const char *addr, int port, const char *cmd);
typedef int (*app_opt_get_fn)(int argc, char **argv);
typedef int (*app_conf_load_fn)(const char *path);
typedef char *(*app_conf_dump_fn)(void); // new text, freed with os_free
typedef void (*app_stop_fn)(int signo);
typedef void (*app_void_fn)(void);

enum { APP_CMDLINE_SIZE = 4096, APP_HOSTNAME_SIZE = 128 };

// Application descriptor. The program fills the texts and callbacks before
// app_opt_init; app_opt_init copies the platform facts in after pl_init.
struct app_t {
    const char *app_name;
    const char *app_ver;
    const char *app_ver_date;
    const char *app_desc;
    const char *app_notice; // one line printed under the banner, or NULL
    char cmdline[APP_CMDLINE_SIZE];
    const char *os_name;
    const char *arch_name;
    uint64_t sid; // first MAC address of the host
    uint64_t bid; // boot time, seconds
    uint64_t start_clock; // os_clock_ms at start-up
    char hostname[APP_HOSTNAME_SIZE];
    uint64_t stime; // start time, real-time seconds
    uint16_t app_id; // 0 until the binary log looks it up
    uint8_t os_id;
    uint8_t arch_id;
    uint32_t ver_id; // one byte per version component, most significant first
    const char *app_conf_file;
    volatile uint32_t stop_flag;
    volatile uint32_t ready;
    app_shell_connect_fn shell_connet_cmd;
    app_opt_get_fn opt_get_proc;
    app_conf_load_fn conf_load_proc;
    app_conf_dump_fn conf_dump_proc;
    app_stop_fn user_stop_proc;
    app_void_fn pre_init_proc;
    app_void_fn exit_proc;
};

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

extern app_t g_app;
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
