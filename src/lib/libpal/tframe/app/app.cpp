// The application framework: start-up sequence, banner and shut-down.
#include "libpal/tframe/app/app.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"
#include "libpal/os/posix/os_process.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/string/str_path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"
#include "liblog/log2_conf.h"

#define TAG "pal"
// Log lines of the framework name its module rather than the source file.
#define APP_SRC "src/lib/libpal/tframe/app"
#define APP_LOG(lvl, func, ...) log2_printf(nullptr, (lvl), TAG, APP_SRC, __LINE__, (func), __VA_ARGS__)

app_opt_t app_opt_block;

// A descriptor field the program must fill: its absence is a construction
// error of the program, so the run stops here.
#define APP_REQUIRE(expr)                                                              \
    do {                                                                               \
        if (!(expr)) {                                                                 \
            APP_LOG(LOG2_ERR, __func__, "expr[%s]: assert failed\n", #expr);           \
            pl_assert_fatal();                                                         \
        }                                                                              \
    } while (0)

// Platform facts recorded by pl_init, copied into the descriptor.
static void app_sys_info_copy(void)
{
    g_app.os_name = g_pl_sys.os_name ? g_pl_sys.os_name : pl_os_name();
    g_app.arch_name = g_pl_sys.arch_name ? g_pl_sys.arch_name : pl_arch_name();
    g_app.os_id = g_pl_sys.os_id;
    g_app.arch_id = g_pl_sys.arch_id;
    g_app.sid = g_pl_sys.mac;
    g_app.bid = (uint64_t)g_pl_sys.boot_time;
    g_app.stime = (uint64_t)g_pl_sys.start_time;
    g_app.start_clock = g_pl_sys.start_clock;
    str_safecopy_trunc(g_app.hostname, sizeof(g_app.hostname), g_pl_sys.hostname);
    g_app.ready = 1;
}

static void app_env_init(void)
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    os_setenv_fmt("proc_start_time", "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    os_setenv_fmt("pid", "%u", (unsigned)getpid());
}

int app_opt_init(int argc, char **argv)
{
    APP_LOG(LOG2_VERB, __func__, "==>\n");
    pl_init();
    app_sys_info_copy();
    log2_set_thread_name("main");
    app_env_init();
    if (g_app.pre_init_proc)
        g_app.pre_init_proc();
    if (argv) {
        // The copy is for display: the leading arguments that fit (each at
        // most its quotes and a blank longer), so that an overlong argument,
        // which the option parser reports in its own words, is not reported
        // here first.
        int n = 0;
        size_t len = 0;
        while (n < argc && argv[n] && (len += strlen(argv[n]) + 3) < sizeof(g_app.cmdline))
            n++;
        os_cmdline_join(n, argv, g_app.cmdline, sizeof(g_app.cmdline));
    }
    if (g_app.opt_get_proc) {
        g_app.opt_get_proc(argc, argv);
        app_opt_set();
    }
    APP_LOG(LOG2_VERB, __func__, "<==\n");
    return 0;
}

// Replaces an owned text of the option block.
static void app_opt_str_set(char **slot, const char *value)
{
    char *copy = safe_strdup(value);
    os_free(*slot);
    *slot = copy;
}

// Log defaults, configuration file choice and the [log] section. Returns the
// executable's directory in exe_dir (empty when it cannot be found).
static void app_init_env(char *exe_dir, size_t size)
{
    APP_LOG(LOG2_VERB, "app_init_env", "==>\n");
    if (os_exe_get_dir(exe_dir, size) != 0)
        exe_dir[0] = '\0';
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, "info", 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_STR, "time|tid|func", 0);
    if (!app_opt_block.conf_file) {
        APP_REQUIRE(g_app.app_conf_file!=NULL);
        char path[4096];
        if (!path_build2(path, sizeof(path), exe_dir, g_app.app_conf_file)[0])
            str_safecopy(path, sizeof(path), g_app.app_conf_file);
        app_opt_str_set(&app_opt_block.conf_file, path);
    }
    log2_init_ini_file(app_opt_block.conf_file, nullptr);
    if (const char *lv = os_getenv("ZK_LOG_LEVEL"))
        log2_set_level_str(nullptr, lv);
    APP_LOG(LOG2_VERB, "app_init_env", "<==\n");
}

// -e: the command string goes to the program's shell hook. Without a hook
// there is nothing that could run it, which must not look like success.
[[noreturn]] static void app_exec_cmd(void)
{
    if (os_getenv_int("ZK_SH_DBG") == 0)
        log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, (const void *)(intptr_t)0, 0);
    if (!g_app.shell_connet_cmd) {
        fprintf(stderr, "error: -e [%s]: no command shell is available to run it\n", app_opt_block.exec_cmd);
        fflush(stderr);
        exit(1);
    }
    g_app.shell_connet_cmd(nullptr, app_opt_block.debug_server_port, app_opt_block.exec_cmd);
    exit(0);
}

int app_opt_set(void)
{
    APP_LOG(LOG2_VERB, __func__, "==>\n");
    APP_REQUIRE(g_app.app_name!=NULL);
    APP_REQUIRE(g_app.app_desc!=NULL);
    APP_REQUIRE(g_app.app_ver!=NULL);
    APP_REQUIRE(g_app.app_ver_date!=NULL);

    char exe_dir[4096];
    app_init_env(exe_dir, sizeof(exe_dir));

    // Command-line settings come after the configuration file and the
    // environment so that they win.
    if (app_opt_block.log_file)
        log2_open_file(nullptr, app_opt_block.log_file);
    if (app_opt_block.log_level)
        log2_set_level_str(nullptr, app_opt_block.log_level);

    if (access(app_opt_block.conf_file, F_OK) != 0) {
        APP_LOG(LOG2_VERB, __func__, "Load default %s\n", g_app.app_conf_file ? g_app.app_conf_file : "");
        if (g_app.app_conf_file)
            app_opt_str_set(&app_opt_block.conf_file, g_app.app_conf_file);
    }
    if (g_app.conf_load_proc)
        g_app.conf_load_proc(app_opt_block.conf_file);

    if (app_opt_block.key_table) {
        os_opt_kv_apply(app_opt_block.key_table);
        os_opt_kv_free(app_opt_block.key_table);
    }

    app_baner();

    if (app_opt_block.conf_dump) {
        char *dump = g_app.conf_dump_proc ? g_app.conf_dump_proc() : nullptr;
        printf("%s", dump ? dump : "");
        os_free(dump);
        fflush(stdout);
        exit(0);
    }
    // The panic dump directory is set up before -e runs: a crash of its
    // commands leaves its core file there too.
    char *pdir = app_opt_block.panic_dump_dir;
    if (pdir && pdir[0] && !path_is_absolute(pdir)) {
        char full[8192];
        if (path_build2(full, sizeof(full), exe_dir, pdir)[0])
            app_opt_str_set(&app_opt_block.panic_dump_dir, full);
    }
    if (app_opt_block.exec_cmd) {
        os_painc_set_dump_dir(app_opt_block.panic_dump_dir, g_app.app_name);
        app_exec_cmd();
    }

    if (app_opt_block.need_root && !os_is_root())
        APP_LOG(LOG2_WARN, __func__, "%s privileges are required to run the program\n", "root");
    os_painc_set_dump_dir(app_opt_block.panic_dump_dir, g_app.app_name);
    return 0;
}

void app_baner(void)
{
    char banner[256];
    int r = str_sprintf_s(banner, sizeof(banner), "%s-%s-%s v%s (%s) - %s", g_app.app_name ? g_app.app_name : "",
                          g_app.os_name ? g_app.os_name : pl_os_name(),
                          g_app.arch_name ? g_app.arch_name : pl_arch_name(), g_app.app_ver ? g_app.app_ver : "",
                          g_app.app_ver_date ? g_app.app_ver_date : "", g_app.app_desc ? g_app.app_desc : "");
    if (!STR_FMT_OK(r, sizeof(banner)))
        banner[0] = '\0';
    if (app_opt_block.log_banner)
        APP_LOG(LOG2_DBG, __func__, "%s\n", banner);
    if (!app_opt_block.quiet) {
        fprintf(stderr, "%s\n", banner);
        if (g_app.app_notice)
            fprintf(stderr, "%s\n", g_app.app_notice);
        fflush(stderr);
    }
}

void app_exit(void)
{
    if (app_void_fn proc = g_app.exit_proc) {
        g_app.exit_proc = nullptr;
        proc();
    }
    os_opt_kv_free(app_opt_block.key_table);
    os_free(app_opt_block.conf_file);
    os_free(app_opt_block.log_level);
    os_free(app_opt_block.log_file);
    os_free(app_opt_block.exec_cmd);
    os_free(app_opt_block.panic_dump_dir);
    memset(&app_opt_block, 0, sizeof(app_opt_block));
    log2_set_thread_name(nullptr);
    pl_exit();
}
