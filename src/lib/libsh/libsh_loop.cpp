// Shell core: the console loop and its line reader.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/basic/pl_base.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libsh/libsh_imp.h"

#define SRC "src/lib/libsh/libsh_loop"
#define LOG(lvl, ...) SHLOG(SRC, lvl, __VA_ARGS__)

namespace {
// Set by a stop signal's handler, read by the shell's thread.
std::atomic<int> s_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "written by a signal handler");
} // namespace

int libsh_stop_request(void)
{
    s_stop.store(1);
    return ledit_interrupt();
}

int libsh_stop_requested(void) { return s_stop.load(); }

int libsh_gets(const char *prompt, char *buf, int size)
{
    if (!buf || size < 2)
        return -1;
    buf[0] = '\0';
    if (!g_libsh.inited)
        libsh_init(nullptr);
    errno = 0;
    char *line = ledit_readline(prompt, buf, size);
    // A line read as the stop came is not run.
    if (libsh_stop_requested()) {
        buf[0] = '\0';
        return -1;
    }
    if (line)
        return (int)strlen(buf);
    // Ctrl-G aborts the line only; anything else (end of input, a read
    // error) means no more lines will come.
    return errno == EAGAIN ? 0 : -1;
}

int libsh_stdio_loop(void)
{
    net_conn conn{};
    conn.type = NET_CONSOLE_TYPE;
    conn.handle = nullptr;
    conn.timeout = 1000;
    libsh_ctx_t ctx{};
    ctx.mode = LIBSH_MODE_CONSOLE;
    ctx.stream = &conn;
    os_msleep(300);
    fputs("\nType `help` to learn how to use prompt\n", stdout);
    fflush(stdout);
    libsh_ctx_set_console(&ctx);
    LOG(LOG2_VERB, "STDIO_MODE ==>\n");

    char line[LIBSH_LINE_SIZE];
    while (!ctx.exit_flag) {
        line[0] = '\0';
        if (!g_libsh.prompt[0])
            str_safecopy(g_libsh.prompt, sizeof(g_libsh.prompt), ">");
        int n = libsh_stop_requested() ? -1 : libsh_gets(g_libsh.prompt, line, LIBSH_LINE_SIZE - 1);
        LOG(LOG2_VERB, "ret=%d cmd=[%s]\n", n, libsh_hide_secrets(line).c_str());
        if (libsh_stop_requested()) {
            // The program stops: whoever asked ends it.
            LOG(LOG2_VERB, "stop requested: leave\n");
            net_close(&conn);
            break;
        }
        if (n < 0) {
            // The end of console input leaves the shell as `exit` does,
            // rather than reading again for ever.
            LOG(LOG2_VERB, "end of input: exit\n");
            char exit_word[] = "exit";
            char *argv[] = {exit_word, nullptr};
            pl_getopt_init(&ctx.opt);
            libsh_cmd_exit(&ctx, 1, argv);
        } else if (n > 0) {
            str_trim(line);
            if (strcmp(line, "q") == 0)
                str_safecopy(line, sizeof(line), "e");
            libsh_exec_line(&ctx, line);
        }
        if (ctx.exit_flag) {
            LOG(LOG2_VERB, "ctx.exit_flag break\n");
            net_close(&conn);
        }
    }
    return 0;
}
