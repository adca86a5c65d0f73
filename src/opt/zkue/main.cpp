// zkue: mounts a remote file service (or a local directory) through FUSE;
// without a source URL it offers the console shell.
#include <unistd.h>

#include <cstdlib>

#include "libpal/os/posix/os_signal.h"
#include "libpal/tframe/app/app.h"
#include "zkue/zkue_app.h"

// Public keys settable with -s.
static os_opt_kv_t s_key_table[] = {
    {"http_server_port", &app_opt_block.http_server_port, OS_OPT_KV_INT, nullptr},
    {"debug_server_port", &app_opt_block.debug_server_port, OS_OPT_KV_INT, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static void app_fill(void)
{
    g_app.app_name = "zkue";
    g_app.app_ver = "1.7.6.2";
    g_app.app_ver_date = "2025-7-22";
    g_app.app_desc = "zkp/zkps fuse";
    g_app.app_notice = "Mounts zkp/zkps, ftp, archive and local sources through FUSE; run as root.";
    g_app.ver_id = 0x01070602;
    g_app.app_conf_file = "zkue.ini";
    g_app.opt_get_proc = app_opt_get;
    g_app.conf_load_proc = app_conf_file_init;
    g_app.conf_dump_proc = app_conf_dump_str;
    g_app.user_stop_proc = app_sig_stop_handler;
    g_app.pre_init_proc = app_lib_init;
    g_app.exit_proc = app_lib_exit;
    // -e runs its commands in this program's own shell.
    g_app.shell_connet_cmd = app_shell_exec_cmd;

    app_opt_block.key_table = s_key_table;
    app_opt_block.need_root = 1;
    app_opt_block.log_banner = 0;
    app_opt_block.debug_server_port = 0;
    app_opt_block.http_server_port = 0;
}

int main(int argc, char **argv)
{
    app_fill();
    app_opt_init(argc, argv);
    // The framework has already warned; nothing below can work without root.
    if (geteuid() != 0)
        exit(1);
    os_painc_set_callback(painc_callback_handler);
    int status = app_start_server();
    app_exit();
    return status;
}
