// The program's part of the console shell: the "mount" and "umount"
// commands, the views "config" and "openfile", and the -e runner.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libpal/os/posix/os_process.h"
#include "libpal/os/posix/os_signal.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app/app.h"
#include "liblog/log2.h"
#include "libsh/libsh.h"
#include "libzkcli/client.h"
#include "zkue/zkue_app.h"

#define TAG "zkue"
#define MOUNT_LOG(lvl, ...) log2_printf(nullptr, (lvl), TAG, "src/opt/zkue/cmd_mount", __LINE__, __func__, __VA_ARGS__)
#define UMOUNT_LOG(lvl, ...) log2_printf(nullptr, (lvl), TAG, "src/opt/zkue/cmd_umount", __LINE__, __func__, __VA_ARGS__)
#define MAIN_LOG(lvl, ...) log2_printf(nullptr, (lvl), TAG, "src/opt/zkue/main", __LINE__, __func__, __VA_ARGS__)

namespace {

char *view_config(const rvar_t *) { return app_conf_dump_str(); }
char *view_openfile(const rvar_t *) { return myfuse_show_openfile(); }

const rvar_t k_view_config = {"config", "View configuration parameters", view_config};
const rvar_t k_view_openfile = {"openfile", "View open file and dir", view_openfile};

// A memory archive is named by a raw address in this process: nothing typed
// in the shell may name one, directly or through a session.
bool url_names_memory(const char *url)
{
    if (url_is_mem(url))
        return true;
    char real[ZKUE_URL_TEXT_SIZE];
    vperror_t err{};
    return url_conf_2_real(url, real, &err) == 0 && url_is_mem(real);
}

// The program's command rows, listed before the built-in ones.
const libsh_cmd_t k_zkue_cmds[] = {
    {"mount", cmd_mount, nullptr, "Mount the url as a dokan device"},
    {"umount", cmd_umount, nullptr, "Unmount disk device"},
    {nullptr, nullptr, nullptr, nullptr},
};

} // namespace

int cmd_mount(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (argc != 2 || strcmp(argv[1], "-h") == 0) {
        LIBSH_PRINTF(ctx, "mount [url]\n%s\nurl: Mount file path and parameters\n", libsh_cmd_desc("mount"));
        return argc == 2 ? 0 : -1;
    }
    char url[ZKUE_URL_TEXT_SIZE];
    if (str_safecopy(url, sizeof(url), argv[1]) != 0) {
        LIBSH_PRINTF(ctx, "error: url too long, at most %d bytes\n", ZKUE_URL_TEXT_SIZE - 1);
        return -1;
    }
    if (url_names_memory(url)) {
        LIBSH_PRINTF(ctx, "error: a memory archive (mem://) is only mounted from inside the program\n");
        return -1;
    }
    char err[ZKUE_ERR_SIZE] = "";
    int r = myfuse_mount(url, err);
    MOUNT_LOG(LOG2_DBG, "dokan_mount ret=%d\n", r);
    if (r < 0) {
        const char *log_file = log2_get_file_name(nullptr);
        LIBSH_PRINTF(ctx, "error: %s log_file=[%s]\n", err, log_file ? log_file : "");
    }
    return r;
}

int cmd_umount(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "-h") == 0) {
        LIBSH_PRINTF(ctx, "umount %s\n", libsh_cmd_desc("umount"));
        return 0;
    }
    int r = myfuse_unmount(nullptr);
    UMOUNT_LOG(LOG2_DBG, "dokan_unmount ret=%d\n", r);
    LIBSH_PRINTF(ctx, "OK\n");
    return 0;
}

int zkue_shell_init(void)
{
    libsh_opts_t opts{">"};
    libsh_init(&opts);
    libsh_show_add(&k_view_config);
    libsh_show_add(&k_view_openfile);
    libsh_set_app_cmds(k_zkue_cmds);
    libsh_set_exit_proc(app_shell_exit_proc);
    return 0;
}

int app_shell_exec_cmd(const char *, int, const char *cmd)
{
    // The program runs as root only; -e is no way around that.
    if (!os_is_root()) {
        MAIN_LOG(LOG2_WARN, "%s privileges are required to run the program\n", "root");
        // The console log is off for -e: say it where it is seen.
        fprintf(stderr, "error: root privileges are required to run the program\n");
        exit(1);
    }
    os_painc_set_callback(painc_callback_handler);
    int r = libsh_exec_string(cmd);
    // A stop signal ends the program with 0, whatever it cut short.
    if (os_signal_stop_report()) {
        MAIN_LOG(LOG2_DBG, "stop_server ==>\n");
        myfuse_unmount(nullptr);
        app_stop_server();
        r = 0;
    }
    // The ordinary end: every mount made is closed, the log flushed.
    app_exit();
    exit(r == 0 ? 0 : 1);
}
