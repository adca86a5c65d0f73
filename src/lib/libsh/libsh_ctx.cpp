// Shell core: the output callbacks, line and command execution, and the two
// pipelines.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "libpal/env/os_env.h"
#include "libpal/os/posix/os_process.h"
#include "libpal/os/zkfile.h"
#include "libpal/string/mem_stream.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_tools.h"
#include "libpal/string/str_vector.h"
#include "libpal/vfile/os_file2.h"
#include "libsh/libsh_imp.h"

#define SRC "src/lib/libsh/libsh_ctx"
#define LOG(lvl, ...) SHLOG(SRC, lvl, __VA_ARGS__)

namespace {

// A string vector that frees itself.
struct split_vec {
    str_vector v;
    split_vec() { str_vector_init(&v, 0); }
    ~split_vec() { str_vector_uninit(&v); }
    split_vec(const split_vec &) = delete;
    split_vec &operator=(const split_vec &) = delete;
};

// An argument vector made by the command-line splitter: pointers and words
// in one allocation.
struct arg_vec {
    char **argv = nullptr;
    int argc = 0;
    explicit arg_vec(const char *line)
    {
        int n = 0, nchars = 0;
        str_parse_cmdline(line, nullptr, nullptr, &n, &nchars);
        argv = (char **)os_zalloc(sizeof(char *) * (size_t)n + (size_t)nchars);
        if (!argv)
            return;
        str_parse_cmdline(line, argv, (char *)(argv + n), &n, &nchars);
        argc = n - 1;
    }
    ~arg_vec() { os_free(argv); }
    arg_vec(const arg_vec &) = delete;
    arg_vec &operator=(const arg_vec &) = delete;
};

int console_printf(net_conn *stream, const char *fmt, ...)
{
    char buf[LIBSH_PRINTF_SIZE];
    va_list va;
    va_start(va, fmt);
    str_vsprintf_s2(buf, sizeof(buf), fmt, va);
    va_end(va);
    return libsh_write_imp(stream, buf);
}

int console_write(net_conn *stream, const char *text, int) { return libsh_write_imp(stream, text); }

// The end-of-reply mark.
int console_flush(net_conn *stream) { return net_write_nul(stream); }

} // namespace

void libsh_ctx_set_console(libsh_ctx_t *ctx)
{
    ctx->printf_proc = console_printf;
    ctx->write_proc = console_write;
    ctx->flush_proc = console_flush;
}

void libsh_ctx_set_stdio(libsh_ctx_t *ctx)
{
    ctx->printf_proc = libsh_stdio_printf;
    ctx->write_proc = libsh_stdio_write;
    ctx->flush_proc = libsh_stdio_flush;
}

namespace {

// The command word of a piece (up to the first blank, at most 255 bytes).
std::string first_word(const char *piece)
{
    char w[LIBSH_WORD_SIZE];
    str_cmd_get_first(piece, w, sizeof(w));
    return w;
}

} // namespace

std::string libsh_hide_secrets(const char *text)
{
    std::string s = text ? text : "";
    // Each "scheme://user:password@": the password becomes "***".
    for (size_t at = s.find("://"); at != std::string::npos; at = s.find("://", at + 3)) {
        size_t start = at + 3;
        size_t end = s.find_first_of("/ \t\"'", start);
        if (end == std::string::npos)
            end = s.size();
        size_t amp = s.rfind('@', end == 0 ? 0 : end - 1);
        if (amp == std::string::npos || amp < start)
            continue;
        size_t colon = s.find(':', start);
        if (colon == std::string::npos || colon > amp)
            continue;
        s.replace(colon + 1, amp - colon - 1, "***");
    }
    return s;
}

// ---- output -------------------------------------------------------------------------------

int libsh_write_imp(net_conn *stream, const char *text)
{
    char *t = str_replace(text ? text : "", "\n", "\r\n");
    if (!t) {
        LOG(LOG2_DBG, "str_relace return failed\n");
        return -1;
    }
    str_rtrim_blank(t);
    int r = net_write(stream, t, strlen(t));
    os_free(t);
    return r;
}

int libsh_stdio_printf(net_conn *, const char *fmt, ...)
{
    va_list va;
    va_start(va, fmt);
    int r = zk_stdout ? zkvprintf(zk_stdout, fmt, va) : vprintf(fmt, va);
    va_end(va);
    return r;
}

int libsh_stdio_write(net_conn *, const char *text, int)
{
    size_t n = text ? strlen(text) : 0;
    size_t w = zk_stdout ? zkwrite(text, 1, n, zk_stdout) : fwrite(text, 1, n, stdout);
    return w == n ? (int)n : -1;
}

int libsh_stdio_flush(net_conn *)
{
    return zk_stdout ? zkflush(zk_stdout) : fflush(stdout);
}

// ---- execution --------------------------------------------------------------------------------

int libsh_exec_line(libsh_ctx_t *ctx, const char *line)
{
    char buf[LIBSH_CMD_SIZE];
    if (!line)
        line = "";
    if (strlen(line) >= sizeof(buf)) {
        // Never run a cut line, nor the last command in its place.
        LIBSH_PRINTF(ctx, "error: line too long, at most %d bytes\n", LIBSH_CMD_SIZE - 1);
        ctx->flush_proc(ctx->stream);
        ctx->last_cmd[0] = '\0';
        return -1;
    }
    str_safecopy(buf, sizeof(buf), line);
    str_trim(buf);
    if (!buf[0]) {
        if (!ctx->last_cmd[0]) {
            ctx->flush_proc(ctx->stream);
            return 0;
        }
        str_safecopy(buf, sizeof(buf), ctx->last_cmd);
    }
    split_vec pieces;
    if (str_split_esape(buf, ";", "\"'", &pieces.v) != 0) {
        LIBSH_PRINTF(ctx, "error: unbalanced quote\n");
        ctx->flush_proc(ctx->stream);
        ctx->last_cmd[0] = '\0';
        return -1;
    }
    str_safecopy(ctx->last_cmd, sizeof(ctx->last_cmd), buf);
    int r = 0;
    for (uint64_t i = 0; i < pieces.v.count && !libsh_stop_requested(); i++) {
        char *piece = str_trim(pieces.v.items[i]);
        // A comment, or nothing between two ';'.
        r = piece[0] == '#' || !piece[0] ? 0 : exec_command2(ctx, piece);
        if (r < 0)
            break;
    }
    return r;
}

int exec_command2(libsh_ctx_t *ctx, const char *command)
{
    std::string first = first_word(command);
    char expanded[LIBSH_CMD_SIZE];
    const char *cmd = command;
    // One level only: the result is not looked up again.
    if (const char *value = alias_get(first.c_str())) {
        str_cmd_replace_first(command, value, expanded, sizeof(expanded));
        if (!expanded[0]) {
            LIBSH_PRINTF(ctx, "error: command too long after alias [%s]\n", first.c_str());
            ctx->flush_proc(ctx->stream);
            return -1;
        }
        cmd = expanded;
    }
    if (libsh_env_assign(cmd))
        return 0;
    arg_vec args(cmd);
    if (!args.argv)
        return -1;
    LOG(LOG2_VERB, "cmd=[%s] func=[%s]\n", libsh_hide_secrets(cmd).c_str(), first.c_str());
    int r;
    if (libsh_cmd_fn handler = libsh_cmd_handler(args.argv[0])) {
        pl_getopt_init(&ctx->opt);
        r = handler(ctx, args.argc, args.argv);
    } else {
        LIBSH_PRINTF(ctx, "command not found: [%s]\n", args.argv[0]);
        LIBSH_PRINTF(ctx, "Type `help` to learn how to use prompt\n");
        ctx->last_cmd[0] = '\0';
        r = VERR_NOT_IMPLEMENTED;
    }
    ctx->flush_proc(ctx->stream);
    return r;
}

int libsh_exec_string(const char *line)
{
    if (!g_libsh.inited)
        libsh_init(nullptr);
    net_conn conn{};
    conn.type = NET_CONSOLE_TYPE;
    conn.timeout = 1000;
    libsh_ctx_t ctx{};
    ctx.mode = LIBSH_MODE_CONSOLE;
    ctx.stream = &conn;
    libsh_ctx_set_stdio(&ctx);
    int r = libsh_exec_line(&ctx, line);
    libsh_stdio_flush(&conn);
    return r;
}

// ---- pipelines ------------------------------------------------------------------------------------

int libsh_system2(const char *line, char **out, char **err)
{
    if (out)
        *out = nullptr;
    if (err)
        *err = nullptr;
    split_vec pieces;
    if (!line || str_split_esape(line, "|", "\"'", &pieces.v) != 0) {
        LOG(LOG2_ERR, "synatx error");
        return -1;
    }
    // A command of this shell runs in a child of this program (-q: no
    // banner), its piece quoted for the operating system's shell.
    char exe[4096];
    if (os_exe_get_name(exe, sizeof(exe)) != 0)
        exe[0] = '\0';
    std::string cmd;
    std::string quoted(3 * LIBSH_CMD_SIZE + 8, '\0');
    for (uint64_t i = 0; i < pieces.v.count; i++) {
        char *piece = str_trim(pieces.v.items[i]);
        if (exe[0] && libsh_cmd_find(first_word(piece).c_str())) {
            if (!str_shell_quote(exe, quoted.data(), quoted.size()))
                return -1;
            cmd += quoted.c_str();
            cmd += " -q -e ";
            if (!str_shell_quote(piece, quoted.data(), quoted.size())) {
                cmd.assign(LIBSH_CMD_SIZE, ' '); // too long: refused below
                break;
            }
            cmd += quoted.c_str();
        } else {
            cmd += piece;
        }
        cmd += " |";
    }
    if (!cmd.empty())
        cmd.pop_back();
    if (cmd.size() >= LIBSH_CMD_SIZE) {
        char msg[128];
        str_sprintf_s2(msg, sizeof(msg), "error: pipeline too long, at most %d bytes\n", LIBSH_CMD_SIZE - 1);
        LOG(LOG2_ERR, "%s", msg);
        if (err)
            *err = os_strdup(msg);
        return -1;
    }
    return os_system_capture_sh(cmd.c_str(), -1, out, err);
}

namespace {

int64_t pipe_read(uint64_t h, void *buf, size_t len) { return (int64_t)mem_rstream_read((mem_rstream_t *)h, buf, len); }
int64_t pipe_write(uint64_t h, const void *buf, size_t len) { return mem_wstream_write((mem_wstream_t *)h, buf, len); }

// The stream layer's standard streams read and write through the platform's
// std file objects again (what was buffered belongs to the old target).
void std_reattach(void)
{
    zkfile_set_std_handle(0, (intptr_t)g_os_file_stdin);
    zkfile_set_std_handle(1, (intptr_t)g_os_file_stdout);
    zkfile_set_std_handle(2, (intptr_t)g_os_file_stderr);
}

} // namespace

int libsh_system3(libsh_ctx_t *ctx, const char *line, const char *input, char **out, char **err)
{
    if (out)
        *out = nullptr;
    if (err)
        *err = nullptr;
    split_vec pieces;
    if (!ctx || !line || str_split_esape(line, "|", "\"'", &pieces.v) != 0) {
        LOG(LOG2_ERR, "synatx error");
        return -1;
    }
    mem_rstream_t *in = mem_rstream_new(input, input ? strlen(input) : 0);
    mem_wstream_t *wo = mem_wstream_new();
    mem_wstream_t *we = mem_wstream_new();
    const bool have_std = g_os_file_stdin && g_os_file_stdout && g_os_file_stderr;
    if (!in || !wo || !we || !have_std) {
        mem_rstream_free(in);
        mem_wstream_free(wo);
        mem_wstream_free(we);
        return -1;
    }
    // The piped commands' own output goes into the captured streams too.
    const libsh_printf_fn saved_printf = ctx->printf_proc;
    const libsh_write_fn saved_write = ctx->write_proc;
    const libsh_flush_fn saved_flush = ctx->flush_proc;
    if (zk_stdout)
        zkflush(zk_stdout);
    if (zk_stderr)
        zkflush(zk_stderr);
    int r = 0;
    bool unknown = false;
    for (uint64_t i = 0; i < pieces.v.count; i++) {
        char *piece = str_trim(pieces.v.items[i]);
        std::string word = first_word(piece);
        if (!libsh_cmd_find(word.c_str())) {
            LOG(LOG2_ERR, "func=[%s] not imp!", word.c_str());
            r = -1;
            unknown = true;
            break;
        }
        if (i == 0) {
            os_file_set_std_fd_proc(g_os_file_stdin, (uint64_t)in, pipe_read, nullptr);
            os_file_set_std_fd_proc(g_os_file_stdout, (uint64_t)wo, nullptr, pipe_write);
            os_file_set_std_fd_proc(g_os_file_stderr, (uint64_t)we, nullptr, pipe_write);
            libsh_ctx_set_stdio(ctx);
        } else {
            // What the previous command wrote is the next one's input.
            zkflush(zk_stdout);
            mem_rstream_set_bbuf(in, &wo->buf);
            mem_wstream_reset(we);
        }
        std_reattach();
        r = piece[0] == '#' ? 0 : exec_command2(ctx, piece);
        if (r != 0)
            break;
    }
    if (zk_stdout)
        zkflush(zk_stdout);
    if (zk_stderr)
        zkflush(zk_stderr);
    char *o = nullptr, *e = nullptr;
    mem_wstream_detach(wo, &o);
    mem_wstream_detach(we, &e);
    if (unknown) {
        // A piece that is no command: nothing is handed back.
        os_free(o);
        os_free(e);
        o = e = nullptr;
    }
    if (out)
        *out = o;
    else
        os_free(o);
    if (err)
        *err = e;
    else
        os_free(e);
    ctx->printf_proc = saved_printf;
    ctx->write_proc = saved_write;
    ctx->flush_proc = saved_flush;
    os_file_std_proc_reset();
    std_reattach();
    mem_rstream_free(in);
    mem_wstream_free(wo);
    mem_wstream_free(we);
    return r;
}
