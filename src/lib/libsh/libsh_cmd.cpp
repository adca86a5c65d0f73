// The built-in commands and the completers of show, set and call.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "libpal/env/os_env.h"
#include "libpal/os/zkfile.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_vector.h"
#include "libsh/libsh_imp.h"

namespace {

// Parses the options of a handler with its option string; 1 when -h was
// given (other options are left to the caller through *other).
int opt_scan(libsh_ctx_t *ctx, int argc, char **argv, const char *optstring, int *other = nullptr)
{
    int help = 0, c;
    while ((c = pl_getopt(&ctx->opt, argc, argv, optstring)) != -1) {
        if (c == 'h')
            help = 1;
        else if (other && c != '?')
            *other = c;
    }
    return help;
}

// Writes a text (line ends translated on the console) and frees it.
void write_free(libsh_ctx_t *ctx, char *text)
{
    if (!text)
        return;
    ctx->write_proc(ctx->stream, text, (int)strlen(text));
    os_free(text);
}

// Writes a pipeline's captured outputs to the standard streams of the
// stream layer, so that an enclosing in-process pipeline captures them too.
void put_std(char *out, char *err)
{
    if (out && zk_stdout) {
        zkprintf(zk_stdout, "%s", out);
        zkflush(zk_stdout);
    }
    if (err && zk_stderr) {
        zkprintf(zk_stderr, "%s", err);
        zkflush(zk_stderr);
    }
    os_free(out);
    os_free(err);
}

} // namespace

int libsh_cmd_show(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "-h") != 0) {
        if (!rvar_mgr_exist(g_libsh.rvars, argv[1])) {
            LIBSH_PRINTF(ctx, "error: The show variable '%s' does not exist\n", argv[1]);
            return VERR_NOT_IMPLEMENTED;
        }
        write_free(ctx, rvar_mgr_show(g_libsh.rvars, argv[1]));
        return 0;
    }
    char *list = rvar_mgr_list_str(g_libsh.rvars);
    LIBSH_PRINTF(ctx, "%s\n%s", libsh_cmd_desc("show"), list ? list : "");
    os_free(list);
    return 0;
}

int libsh_cmd_set(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (argc == 3) {
        char err[DVAR_ERR_SIZE] = "";
        int r = dvar_mgr_set(g_libsh.dvars, argv[1], argv[2], err);
        if (r < 0)
            LIBSH_PRINTF(ctx, "error: %s\n", err);
        return r;
    }
    char *list = dvar_mgr_list_str(g_libsh.dvars);
    LIBSH_PRINTF(ctx, "%s\n%s", libsh_cmd_desc("set"), list ? list : "");
    os_free(list);
    return argc == 2 && strcmp(argv[1], "-h") == 0 ? 0 : -1;
}

int libsh_cmd_call(libsh_ctx_t *ctx, int argc, char **argv)
{
    const bool help = argc == 2 && strcmp(argv[1], "-h") == 0;
    if (argc >= 2 && !help) {
        if (!fvar_mgr_exist(g_libsh.fvars, argv[1])) {
            LIBSH_PRINTF(ctx, "error: The call func '%s' does not exist\n", argv[1]);
            return VERR_NOT_IMPLEMENTED;
        }
        return fvar_mgr_call(g_libsh.fvars, argv[1], (uint64_t)(uintptr_t)ctx, (uint64_t)(argc - 1),
                             (uint64_t)(uintptr_t)(argv + 1));
    }
    char *list = fvar_mgr_list_str(g_libsh.fvars, "call");
    LIBSH_PRINTF(ctx, "%s\n%s", libsh_cmd_desc("call"), list ? list : "");
    os_free(list);
    return help ? 0 : -1;
}

int libsh_cmd_pwd(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, "pwd\n%s\n\t-h Display this help\n", libsh_cmd_desc("pwd"));
        return 0;
    }
    char dir[4096];
    if (!os_getcwd(dir, sizeof(dir))) {
        LIBSH_PRINTF(ctx, "os_getcwd err: [%s]\n", strerror(errno));
        return -1;
    }
    LIBSH_PRINTF(ctx, "%s\n", dir);
    return 0;
}

int libsh_cmd_alias(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, "alias [name[=value] ...]\n%s\n\t-h Display this help\n", libsh_cmd_desc("alias"));
        return 0;
    }
    if (argc < 2) {
        alias_foreach([](void *arg, const char *name, const char *value) {
            libsh_ctx_t *c = (libsh_ctx_t *)arg;
            LIBSH_PRINTF(c, "%s=%s\n", name, value);
        }, ctx);
        return 0;
    }
    int r = 0;
    for (int i = 1; i < argc; i++) {
        char *a = argv[i];
        // '=' after the first character defines; "=x" is a lookup.
        char *eq = a[0] ? strchr(a + 1, '=') : nullptr;
        if (eq) {
            *eq = '\0';
            alias_set(a, eq + 1);
            continue;
        }
        if (const char *value = alias_get(a)) {
            LIBSH_PRINTF(ctx, "%s=%s\n", a, value);
        } else {
            LIBSH_PRINTF(ctx, "%s not found\n", a);
            r = 1;
        }
    }
    return r;
}

int libsh_cmd_unalias(libsh_ctx_t *ctx, int argc, char **argv)
{
    int other = 0;
    if (opt_scan(ctx, argc, argv, "ah", &other)) {
        LIBSH_PRINTF(ctx, "unalias [-a] name [name ...]\n%s\n\t-a Delete every alias\n\t-h Display this help\n",
                     libsh_cmd_desc("unalias"));
        return 0;
    }
    if (other == 'a') {
        alias_clear();
        return 0;
    }
    int r = 0;
    for (int i = 1; i < argc; i++) {
        if (alias_del(argv[i]) != 0) {
            LIBSH_PRINTF(ctx, "%s not found\n", argv[i]);
            r = 1;
        }
    }
    return r;
}

int libsh_cmd_unset(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, "unset [var ...]\n%s\n\t-h Display this help\n", libsh_cmd_desc("unset"));
        return 0;
    }
    if (argc < 2) {
        LIBSH_PRINTF(ctx, "unsetenv: Too few arguments\n");
        return -1;
    }
    for (int i = 1; i < argc; i++)
        libsh_unsetenv(argv[i]);
    return 0;
}

int libsh_cmd_echo(libsh_ctx_t *ctx, int argc, char **argv)
{
    bool newline = true, escapes = false;
    int i = 1;
    for (; i < argc; i++) {
        const char *a = argv[i];
        if (a[0] != '-' || !a[1] || a[strspn(a + 1, "neEh") + 1] != '\0')
            break;
        for (const char *p = a + 1; *p; p++) {
            switch (*p) {
            case 'n': newline = false; break;
            case 'e': escapes = true; break;
            case 'E': escapes = false; break;
            default: // 'h'
                LIBSH_PRINTF(ctx, "echo [opt] [string|var]...\n%s\n\t-h Display this help\n", libsh_cmd_desc("echo"));
                return 1;
            }
        }
    }
    std::string text;
    for (int first = i; i < argc; i++) {
        if (i > first)
            text += ' ';
        for (const char *p = argv[i]; *p; p++) {
            if (!escapes || *p != '\\' || !p[1]) {
                text += *p;
                continue;
            }
            p++;
            if (*p == 'c') {
                newline = false;
                continue;
            }
            const char *q = p;
            int c = str_unescape_chr_oct(&q);
            if (q == p) {
                // No escape: the backslash stays and the character follows.
                text += '\\';
                text += *p;
                continue;
            }
            if (c != 0) // a zero character is dropped
                text += (char)c;
            p = q - 1;
        }
    }
    if (newline)
        text += '\n';
    ctx->write_proc(ctx->stream, text.c_str(), (int)text.size());
    return 0;
}

int libsh_cmd_env(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, "env\n%s\n\t-h Display this help\n", libsh_cmd_desc("env"));
        return 0;
    }
    char *const *e = libsh_envv();
    for (; e && *e; e++)
        LIBSH_PRINTF(ctx, "%s\n", *e);
    return 0;
}

namespace {
// Files being sourced, one inside the other; past the limit the whole
// nesting is given up (a file that sources itself would otherwise run the
// stack out).
constexpr int k_source_max_depth = 32;
int s_source_depth;
bool s_source_unwind;
} // namespace

int libsh_cmd_source(libsh_ctx_t *ctx, int argc, char **argv)
{
    static const char usage[] = "source [opt] [file]...\n%s\n-h: Display this help\n";
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, usage, libsh_cmd_desc("source"));
        return 0;
    }
    if (ctx->opt.optind >= argc) {
        LIBSH_PRINTF(ctx, usage, libsh_cmd_desc("source"));
        return 1;
    }
    if (s_source_depth >= k_source_max_depth) {
        LIBSH_PRINTF(ctx, "error: source [%s]: nested too deep, at most %d levels\n", argv[ctx->opt.optind],
                     k_source_max_depth);
        s_source_unwind = true;
        return -1;
    }
    // The options of the lines run below reuse the context's parser state.
    const int first = ctx->opt.optind;
    int r = 0;
    s_source_depth++;
    for (int i = first; i < argc && r == 0; i++) {
        FILE *f = fopen(argv[i], "r");
        if (!f) {
            LIBSH_PRINTF(ctx, "open:[%s] error:%s\n", argv[i], strerror(errno));
            r = -1;
            break;
        }
        char *line = nullptr;
        size_t cap = 0;
        ssize_t n;
        while (!s_source_unwind && !libsh_stop_requested() && (n = getline(&line, &cap, f)) >= 0) {
            while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
                line[--n] = '\0';
            libsh_exec_line(ctx, line);
        }
        free(line);
        fclose(f);
        if (s_source_unwind)
            r = -1;
    }
    if (--s_source_depth == 0)
        s_source_unwind = false;
    return r;
}

namespace {

// system2 and system3: one argument of '|'-separated commands.
int pipeline_cmd(libsh_ctx_t *ctx, int argc, char **argv, bool in_process)
{
    static const char usage[] = "system2 \"cmd|cmd2|cmd3\"\n%s\n-h: Display this help\n";
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, usage, libsh_cmd_desc("system"));
        return 0;
    }
    if (ctx->opt.optind >= argc) {
        LIBSH_PRINTF(ctx, usage, libsh_cmd_desc("system"));
        return 1;
    }
    char *out = nullptr, *err = nullptr;
    const char *line = argv[ctx->opt.optind];
    int r = in_process ? libsh_system3(ctx, line, nullptr, &out, &err) : libsh_system2(line, &out, &err);
    put_std(out, err);
    return r;
}

} // namespace

int libsh_cmd_system2(libsh_ctx_t *ctx, int argc, char **argv) { return pipeline_cmd(ctx, argc, argv, false); }
int libsh_cmd_system3(libsh_ctx_t *ctx, int argc, char **argv) { return pipeline_cmd(ctx, argc, argv, true); }

int libsh_cmd_exit(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, "exit\n%s\n\t-h Display this help\n", libsh_cmd_desc("exit"));
        return 0;
    }
    ctx->flush_proc(ctx->stream);
    if (g_libsh.exit_proc)
        g_libsh.exit_proc();
    ctx->exit_flag = 1;
    return 0;
}

int libsh_cmd_quit(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (opt_scan(ctx, argc, argv, "h")) {
        LIBSH_PRINTF(ctx, "quit\n%s\n\t-h Display this help\n", libsh_cmd_desc("quit"));
        return 0;
    }
    ctx->flush_proc(ctx->stream);
    ctx->exit_flag = 1;
    return 0;
}

// ---- completers ---------------------------------------------------------------------------

namespace {

// One word and a trailing blank: every name; two words and none: the names
// that begin with the second word.
void complete_names_of(libsh_complete_ctx_t *cc, strv *names)
{
    if (!names)
        return;
    bool blank = cc->last_chr == ' ' || cc->last_chr == '\t';
    if (cc->count == 1 && blank)
        libsh_complete_names(cc->list, "", names);
    else if (cc->count == 2 && !blank)
        libsh_complete_names(cc->list, cc->words[1], names);
    strv_free(names);
}

} // namespace

void libsh_show_complete(libsh_complete_ctx_t *cc) { complete_names_of(cc, rvar_mgr_names(g_libsh.rvars)); }
void libsh_call_complete(libsh_complete_ctx_t *cc) { complete_names_of(cc, fvar_mgr_names(g_libsh.fvars)); }

void libsh_set_complete(libsh_complete_ctx_t *cc)
{
    bool blank = cc->last_chr == ' ' || cc->last_chr == '\t';
    if (cc->count < 2 || (cc->count == 2 && !blank)) {
        complete_names_of(cc, dvar_mgr_names(g_libsh.dvars));
        return;
    }
    strv *range = dvar_mgr_get_range(g_libsh.dvars, cc->words[1]);
    if (!range)
        return;
    if (cc->count == 2 && blank)
        libsh_complete_names(cc->list, "", range);
    else if (cc->count == 3 && !blank)
        libsh_complete_names(cc->list, cc->words[2], range);
    strv_free(range);
}
