// The program's part of start-up: option parser, configuration loader and
// dump, start routine, stop and crash handling.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libconf/conf.h"
#include "libfuse2/src/help.h"
#include "libnet/libnet.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/url.h"
#include "libpal/tframe/app/app.h"
#include "liblog/log2.h"
#include "libsh/libsh.h"
#include "libzkcli/client.h"
#include "zkue/zkue_app.h"

#define TAG "zkue"
// Lines of the program name its module rather than the source file.
#define ZLOG(lvl, ...) log2_printf(nullptr, (lvl), TAG, "src/opt/zkue/main", __LINE__, __func__, __VA_ARGS__)

char g_mount_url[ZKUE_MOUNT_URL_SIZE];
int g_run_daemon;

const char g_zkue_usage[] =
    "Usage: zkue [opt] [arguments] ...\n"
    "\t-u [url] Specify 'url' to mount\n"
    "\t-m [MountPoint] Can be /mnt/test \n"
    "\t-r [\"debug=1&...\"] set url query val\n"
    "\t   options=rw,allow_other,allow_root,noexec\n"
    "\t-d Run as a daemon\n"
    "\t-c [config_file]  set config file\n"
    "\t-p dump current config\n"
    "\t-s [list|key=val] Set configuration options\n"
    "\t-e [\"cmd;...\"] execute string 'cmd'\n"
    "\t-v show version\n"
    "\t-q Do not display the startup banner and copyright message\n"
    "\t-o [log_file]     set output log file\n"
    "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n"
    "\t-h display this help\n";

// ---- options ------------------------------------------------------------------------

[[noreturn]] static void app_usage_exit(int status)
{
    app_baner();
    fputs(g_zkue_usage, stderr);
    fflush(stderr);
    exit(status);
}

static void opt_str_set(char **slot, const char *value)
{
    char *copy = safe_strdup(value);
    os_free(*slot);
    *slot = copy;
}

// Ends a run whose mount URL cannot be built as asked, with the status of
// every failure to mount: going on with a shortened or empty one would
// mount something else, or nothing. The head of arg is shown with its
// passwords hidden.
[[noreturn]] static void opt_url_refuse(const char *what, const char *arg, const char *why)
{
    static char shown[ZKUE_URL_TEXT_SIZE];
    url_hide_pwd_fmt(arg, shown);
    log2_printf(nullptr, LOG2_CRIT | LOG2_F_NOEXIT, TAG, "src/opt/zkue/main", __LINE__, "app_opt_get",
                "%s [%.40s%s]: %s\n", what, shown, strlen(shown) > 40 ? "..." : "", why);
    exit(255);
}

// Checked before each step, so that no helper meets a text longer than its
// own buffers (and reports it in its own words first).
static void opt_url_room(const char *what, const char *arg, size_t len)
{
    if (len < ZKUE_MOUNT_URL_SIZE)
        return;
    char why[128];
    snprintf(why, sizeof why, "the url would be %zu bytes long, at most %d are supported", len,
             ZKUE_MOUNT_URL_SIZE - 1);
    opt_url_refuse(what, arg, why);
}

// A step that did not fit was refused by opt_url_room before it, a host
// without its closing ']' at -u: the helper's own line says what else.
[[noreturn]] static void opt_url_step_failed(const char *what, const char *arg)
{
    opt_url_refuse(what, arg, "the url cannot take it (the line before says why)");
}

// Query options some part of the program reads; anything else in -r is
// most likely a typing error, said once and kept.
constexpr const char *k_url_opts[] = {
    "fuse_mount_point", "run_daemon", "debug", "options", "rcache_size", "wcache_size", "flags",
    "connect_timeout", "read_timeout", "write_timeout", "offset", "mount_fs", "ftype", "pack",
    "proxy", "proxy_url", "ca_file", "cert_sha256",
};

static void opt_query_warn(const char *text)
{
    std::string t = text;
    size_t pos = 0;
    while (pos <= t.size()) {
        size_t e = t.find('&', pos);
        std::string item = t.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        std::string key = item.substr(0, item.find('='));
        bool known = key.empty();
        for (const char *k : k_url_opts)
            known = known || key == k;
        if (!known)
            ZLOG(LOG2_WARN, "-r: [%s] is no url option zkue knows; kept as it is\n", key.c_str());
        if (e == std::string::npos)
            break;
        pos = e + 1;
    }
}

int app_opt_get(int argc, char **argv)
{
    char url[ZKUE_URL_TEXT_SIZE] = "";
    g_mount_url[0] = '\0';
    g_run_daemon = 0;
    int c;
    while ((c = getopt(argc, argv, "u:m:r:i:dc:o:l:e:s:pqvh")) != -1) {
        switch (c) {
        case 'u': {
            opt_url_room("-u", optarg, strlen(optarg));
            vperror_t err{};
            if (url_conf_2_real(optarg, url, &err) != 0) {
                ZLOG(LOG2_CRIT, "url_conf_2_real [%s] error: %s\n", url_hide_pwd_fmt(optarg, url), vperror_str(&err));
                exit(1);
            }
            opt_url_room("-u", optarg, strlen(url));
            if (url_host_unclosed(url))
                opt_url_refuse("-u", optarg, "the closing ']' of the host is missing");
            if (char why[160]; url_port_check(url, why, sizeof why) != 0)
                opt_url_refuse("-u", optarg, why);
            // The URL is copied: its passwords leave the command line that
            // every user of the machine can read (ps, /proc/PID/cmdline).
            url_wipe_pwd(optarg, 0);
            break;
        }
        case 'm':
            // At most: a separator, the key, '=' and every byte escaped.
            opt_url_room("-m", optarg, strlen(url) + 18 + 3 * strlen(optarg));
            if (url_set_query_str(url, "fuse_mount_point", optarg) != 0)
                opt_url_step_failed("-m", optarg);
            break;
        case 'r':
            opt_url_room("-r", optarg, strlen(url) + 1 + strlen(optarg));
            if (url_add_query_str(url, optarg) != 0)
                opt_url_step_failed("-r", optarg);
            opt_query_warn(optarg);
            url_wipe_pwd(optarg, 1); // a proxy_url's password, as for -u
            break;
        case 'd':
            g_run_daemon = 1;
            app_opt_block.log_banner = 1;
            break;
        case 'c':
            opt_str_set(&app_opt_block.conf_file, optarg);
            break;
        case 'e':
            opt_str_set(&app_opt_block.exec_cmd, optarg);
            break;
        case 'l':
            opt_str_set(&app_opt_block.log_level, optarg);
            break;
        case 'o':
            opt_str_set(&app_opt_block.log_file, optarg);
            break;
        case 'p':
            app_opt_block.conf_dump = 1;
            break;
        case 'q':
            app_opt_block.quiet = 1;
            break;
        case 's':
            os_opt_kv_get(app_opt_block.key_table, optarg);
            break;
        case 'v':
            printf("%s\n", g_app.app_ver);
            fflush(stdout);
            exit(0);
        case 'h':
            app_usage_exit(0);
        default: // -i, an unknown option or a missing argument
            app_usage_exit(1);
        }
    }
    // A memory archive is named by a raw address in this process: nothing
    // typed on a command line may name one.
    if (url_is_mem(url)) {
        char shown[ZKUE_URL_TEXT_SIZE];
        ZLOG(LOG2_CRIT, "url [%s] refused: a memory archive (mem://) is only mounted from inside the program\n",
             url_hide_pwd_fmt(url, shown));
        exit(1);
    }
    if (g_run_daemon) {
        opt_url_room("-d", "run_daemon=1", strlen(url) + 13);
        if (url_set_query_str(url, "run_daemon", "1") != 0)
            opt_url_step_failed("-d", "run_daemon=1");
    }
    opt_url_room("the options", "", strlen(url));
    str_safecopy(g_mount_url, sizeof(g_mount_url), url);
    char shown[ZKUE_URL_TEXT_SIZE];
    ZLOG(LOG2_VERB, "cmd=[%s]\n", url_hide_pwd_fmt(g_mount_url, shown));
    return 0;
}

// ---- configuration --------------------------------------------------------------

void app_lib_init(void)
{
    zk_conf_find_path();
    zkue_shell_init();
}

int app_conf_file_init(const char *path)
{
    // A directory (or a device, a FIFO) named by -c is said once and left
    // out, whatever its name: the loader would pass over one whose name it
    // does not take for a configuration file without a word.
    struct stat st;
    if (path && stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        ZLOG(LOG2_ERR, "[%s] refused: not a regular file\n", path);
        return -1;
    }
    conf_t *conf = path ? conf_load(path) : nullptr;
    if (!conf) {
        ZLOG(LOG2_DBG, "load [%s] failed\n", path ? path : "");
        return -1;
    }
    opt_str_set(&app_opt_block.panic_dump_dir, conf_get_path(conf, "debug:panic_dump_dir", ""));
    conf_free(conf);
    return 0;
}

char *app_conf_dump_str(void)
{
    char *out = nullptr;
    const char *dir = app_opt_block.panic_dump_dir;
    os_asprintf(&out, "panic_dump_dir=%s\n", dir ? dir : "");
    return out;
}

// ---- run and stop -------------------------------------------------------------------

int app_start_server(void)
{
    ZLOG(LOG2_VERB, "==>\n");
    if (g_mount_url[0]) {
        char err[ZKUE_ERR_SIZE] = "";
        int r = myfuse_mount(g_mount_url, err);
        if (fuse_loop_exit_requested())
            app_stop_server();
        if (r >= 0)
            return 0;
        ZLOG(LOG2_ERR, "error=%s\n", err);
        return -1;
    }
    libsh_stdio_loop();
    // A stop signal ended the shell (or a mount started from it): the
    // program ends with 0, as it would from a mount.
    if (os_signal_stop_report()) {
        ZLOG(LOG2_DBG, "stop_server ==>\n");
        myfuse_unmount(nullptr);
        app_stop_server();
    }
    ZLOG(LOG2_VERB, "<==\n");
    return 0;
}

int app_stop_server(void)
{
    ZLOG(LOG2_DBG, "==>\n");
    if (g_app.stop_flag)
        return 0;
    g_app.stop_flag = 1;
    return 0;
}

void app_sig_stop_handler(int)
{
    // Signal context: async-signal-safe steps only (this thread may hold the
    // log's lock). Every wait on the network gives up after a grace that
    // lets a live server take what open files hold; a retry that would wait
    // for a server that does not answer is not tried. A mount in progress
    // (also one started from the shell) is asked to end: its thread logs
    // the stop, unmounts once, closes the source and the program ends the
    // ordinary way with status 0. The shell, when it waits for a line, ends
    // its loop the same way. Anything else has nothing to write out: the
    // terminal is put back and the process ends at once. The platform has
    // put the signal back to its default, so a second one ends the program
    // at once.
    net_abort_all(ZKUE_STOP_GRACE_MS);
    int handed = myfuse_stop_loop();
    handed |= libsh_stop_request();
    if (handed)
        return;
    ledit_term_restore();
    _exit(0);
}

void painc_callback_handler(void)
{
    // The crash may come while the shell's editor holds the terminal raw.
    ledit_term_restore();
    ZLOG(LOG2_DBG, "==>\n");
    myfuse_unmount(nullptr);
}

void app_shell_exit_proc(void)
{
    myfuse_unmount(nullptr);
    app_stop_server();
}

void app_lib_exit(void)
{
    libvfs_exit();
    libsh_exit();
    ZLOG(LOG2_DBG, "<==\n");
    log2_set_thread_name(nullptr);
    log2_exit(nullptr);
    pl_exit();
}
