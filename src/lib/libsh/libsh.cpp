// Shell library: start-up and shut-down, the command tables and lookups,
// `help` and the line editor's completion hook.
#include <strings.h>

#include <cstring>

#include "libpal/string/str_glob.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "libsh/libsh_imp.h"

#define SRC "src/lib/libsh/libsh"
#define LOG(lvl, ...) SHLOG(SRC, lvl, __VA_ARGS__)

libsh_state_t g_libsh;

const libsh_cmd_t g_libsh_builtin[] = {
    {"show", libsh_cmd_show, libsh_show_complete, "Show the status of the program"},
    {"set", libsh_cmd_set, libsh_set_complete, "Set public options"},
    {"call", libsh_cmd_call, libsh_call_complete, "call application commands"},
    {"pwd", libsh_cmd_pwd, nullptr, "Print working directory"},
    {"alias", libsh_cmd_alias, nullptr, "Define or display alias"},
    {"unalias", libsh_cmd_unalias, nullptr, "Delete the alias set by alias"},
    {"unset", libsh_cmd_unset, nullptr, "Cancel environment variable"},
    {"echo", libsh_cmd_echo, nullptr, "Echo the STRING(s) to output"},
    {"env", libsh_cmd_env, nullptr, "Display all variables"},
    {"source", libsh_cmd_source, nullptr, "Exec commands from file"},
    {"system2", libsh_cmd_system2, nullptr, "Execute a shell command"},
    {"system3", libsh_cmd_system3, nullptr, "Execute a quick shell command"},
    {"exit", libsh_cmd_exit, nullptr, "Exit the service program"},
    {"quit", libsh_cmd_quit, nullptr, "Quit the current session"},
    {"help", libsh_cmd_help, nullptr, "Display this text"},
    {"?", libsh_cmd_help, nullptr, "Synonym for `help'"},
    {nullptr, nullptr, nullptr, nullptr},
};

namespace {

int count_rows(const libsh_cmd_t *rows)
{
    int n = 0;
    while (rows && rows[n].name)
        n++;
    return n;
}

const libsh_cmd_t *find_in(const libsh_cmd_t *rows, int count, const char *name)
{
    for (int i = 0; i < count; i++)
        if (strcmp(rows[i].name, name) == 0)
            return &rows[i];
    return nullptr;
}

} // namespace

int libsh_init(const libsh_opts_t *opts)
{
    LOG(LOG2_VERB, "==>\n");
    if (g_libsh.inited)
        return 0;
    g_libsh.inited = 1;
    str_safecopy(g_libsh.prompt, sizeof(g_libsh.prompt), ">");
    if (opts && str_safecopy(g_libsh.prompt, sizeof(g_libsh.prompt), opts->prompt ? opts->prompt : ">") != 0)
        str_safecopy(g_libsh.prompt, sizeof(g_libsh.prompt), ">");
    init_envv();
    ledit_set_complete_hook(libsh_complete_hook);
    ledit_prompt_color_set(131);
    alias_init();
    g_libsh.builtin_count = count_rows(g_libsh_builtin);
    g_libsh.dvars = dvar_mgr_new();
    if (!g_libsh.dvars)
        LOG(LOG2_CRIT, "malloc failed\n");
    log2_dvar_reg(g_libsh.dvars);
    g_libsh.rvars = rvar_mgr_new();
    g_libsh.fvars = fvar_mgr_new();
    if (!g_libsh.rvars || !g_libsh.fvars)
        LOG(LOG2_CRIT, "malloc failed\n");
    libsh_vars_init();
    return 0;
}

int libsh_exit(void)
{
    LOG(LOG2_VERB, "==>\n");
    if (g_libsh.inited) {
        g_libsh.inited = 0;
        alias_free();
        free_envv();
        dvar_mgr_free(g_libsh.dvars);
        rvar_mgr_free(g_libsh.rvars);
        fvar_mgr_free(g_libsh.fvars);
        g_libsh.dvars = nullptr;
        g_libsh.rvars = nullptr;
        g_libsh.fvars = nullptr;
    }
    LOG(LOG2_VERB, "<==\n");
    return 0;
}

void libsh_set_app_cmds(const libsh_cmd_t *rows)
{
    g_libsh.app_cmds = rows;
    g_libsh.app_count = count_rows(rows);
}

void libsh_set_exit_proc(void (*proc)(void)) { g_libsh.exit_proc = proc; }
int libsh_show_add(const rvar_t *var) { return rvar_mgr_add(g_libsh.rvars, var); }
int libsh_call_add(const fvar_t *var) { return fvar_mgr_add(g_libsh.fvars, var); }
rvar_mgr_t *libsh_show_mgr(void) { return g_libsh.rvars; }
fvar_mgr_t *libsh_call_mgr(void) { return g_libsh.fvars; }
dvar_mgr_t *libsh_set_mgr(void) { return g_libsh.dvars; }

const libsh_cmd_t *libsh_cmd_find(const char *name)
{
    if (!name)
        return nullptr;
    // Both tables are searched; a built-in row wins over an application row
    // of the same name.
    const libsh_cmd_t *app = find_in(g_libsh.app_cmds, g_libsh.app_count, name);
    const libsh_cmd_t *own = find_in(g_libsh_builtin, count_rows(g_libsh_builtin), name);
    return own ? own : app;
}

libsh_cmd_fn libsh_cmd_handler(const char *name)
{
    const libsh_cmd_t *row = libsh_cmd_find(name);
    return row ? row->handler : nullptr;
}

const char *libsh_cmd_desc(const char *name)
{
    const libsh_cmd_t *row = libsh_cmd_find(name);
    return row && row->desc ? row->desc : "get cmd help failed";
}

int libsh_cmd_help(libsh_ctx_t *ctx, int argc, char **argv)
{
    if (argc > 1 && libsh_cmd_find(argv[1])) {
        // Each command prints its own usage for -h.
        char line[LIBSH_CMD_SIZE];
        if (str_sprintf_s(line, sizeof(line), "%s -h", argv[1]) < 0)
            return 1;
        int n = 0, nchars = 0;
        str_parse_cmdline(line, nullptr, nullptr, &n, &nchars);
        char **av = (char **)os_zalloc(sizeof(char *) * (size_t)n + (size_t)nchars);
        if (!av)
            return 1;
        str_parse_cmdline(line, av, (char *)(av + n), &n, &nchars);
        pl_getopt_init(&ctx->opt);
        libsh_cmd_handler(argv[1])(ctx, n - 1, av);
        os_free(av);
        return 0;
    }
    for (int i = 0; i < g_libsh.app_count; i++)
        LIBSH_PRINTF(ctx, "%-10s\t%s\n", g_libsh.app_cmds[i].name, g_libsh.app_cmds[i].desc);
    for (int i = 0; g_libsh_builtin[i].name; i++)
        LIBSH_PRINTF(ctx, "%-10s\t%s\n", g_libsh_builtin[i].name, g_libsh_builtin[i].desc);
    LIBSH_PRINTF(ctx, "\nFor more information, type 'help command' for each command.\n");
    LIBSH_PRINTF(ctx, "e.g. help pwd\n");
    return 0;
}

// ---- completion ---------------------------------------------------------------------------

namespace {

// Offers the rows whose name begins with line (without case, over the
// line's length): name colour 132 for a table's first eight rows, 135
// after; description colour 7 on even rows, 8 on odd ones.
void offer_rows(ledit_completions *list, const libsh_cmd_t *rows, int count, const char *line)
{
    size_t n = strlen(line);
    for (int i = 0; i < count; i++) {
        if (strncasecmp(rows[i].name, line, n) != 0)
            continue;
        ledit_completion_add_color(list, rows[i].name, i < 8 ? 132 : 135, rows[i].desc, (i % 2) ? 8 : 7);
    }
}

} // namespace

void libsh_complete_hook(const char *line, ledit_completions *list)
{
    if (!line || !list)
        return;
    libsh_complete_ctx_t cc{};
    const char *p = line;
    while (cc.count < 4) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (!*p)
            break;
        size_t len = strcspn(p, " \t");
        size_t keep = len < LIBSH_WORD_SIZE - 1 ? len : LIBSH_WORD_SIZE - 1;
        memcpy(cc.words[cc.count], p, keep);
        cc.words[cc.count][keep] = '\0';
        cc.count++;
        p += len;
    }
    const libsh_cmd_t *row = cc.count > 0 ? libsh_cmd_find(cc.words[0]) : nullptr;
    if (!row && cc.count < 2) {
        offer_rows(list, g_libsh.app_cmds, g_libsh.app_count, line);
        offer_rows(list, g_libsh_builtin, g_libsh.builtin_count, line);
    }
    size_t n = strlen(line);
    cc.last_chr = n ? (uint8_t)line[n - 1] : 0;
    cc.list = list;
    if (row && row->completer)
        row->completer(&cc);
}

void libsh_complete_names(ledit_completions *list, const char *prefix, const strv *names)
{
    if (!list || !prefix || !names)
        return;
    if (!prefix[0]) {
        if (names->count == 0)
            return;
        if (names->count == 1)
            ledit_completion_add(list, names->items[0], nullptr);
    }
    size_t n = strlen(prefix);
    for (uint64_t i = 0; i < names->count; i++)
        if (strncasecmp(names->items[i], prefix, n) == 0)
            ledit_completion_add_color(list, names->items[i], 134, nullptr, 0);
}
