// Stand-ins for the modules the program calls that are not in the tree yet.
// Each reports plainly that the service is missing, so a run that needs it
// fails visibly instead of pretending to work.
#include <cstring>

#include "libpal/string/str_safe.h"
#include "liblog/log2.h"
#include "zkue/zkue_app.h"

#define TAG "zkue"

int myfuse_mount(const char *, char *err)
{
    if (err)
        str_safecopy(err, ZKUE_ERR_SIZE, "fuse mount not available");
    return -1;
}

int myfuse_unmount(char *)
{
    LOG_DBG(TAG, "==>\n");
    return 0;
}

char *myfuse_show_openfile(void) { return nullptr; }

int libvfs_exit(void) { return 0; }

int zk_conf_find_path(void)
{
    LOG_VERB(TAG, "client configuration directory: not available yet\n");
    return -1;
}

int url_conf_2_real(const char *url, char *out, vperror_t *err)
{
    out[0] = '\0';
    if (strncmp(url, "///", 3) == 0) {
        VPERROR_SET(err, -1, "session references are not available yet");
        return -1;
    }
    if (str_safecopy(out, ZKUE_URL_TEXT_SIZE, url) != 0) {
        VPERROR_SET(err, VERR_BUFFER_OVERFLOW, "url is longer than %d bytes", ZKUE_URL_TEXT_SIZE - 1);
        return -1;
    }
    return 0;
}

int zkue_shell_init(void)
{
    LOG_VERB(TAG, "console shell: not available yet\n");
    return -1;
}

int zkue_shell_loop(void)
{
    LOG_ERR(TAG, "error=console shell not available\n");
    return -1;
}

int zkue_shell_exit(void) { return 0; }

