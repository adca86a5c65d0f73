// pl_app: the application descriptor `g_app`: the program's name, versions,
// configuration file name and callbacks, and the platform facts start-up
// copies in. It is filled by the program and the application framework
// (libpal/tframe/app/app.h), which runs the start-up with it, and read below
// that framework too: by the signal handlers (version, stop callback) and by
// the binary log records (application id).
#pragma once
#include <cstdint>

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

extern app_t g_app;
