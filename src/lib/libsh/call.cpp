// The shell's own views (`show info|memory|llog|dvar`) and test functions
// (`call kill|null|thread_except|stack_over|tlog`).
#include <sys/utsname.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "libpal/basic/pl_base.h"
#include "libpal/os/os_host.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_process.h"
#include "libpal/string/str_dyn.h"
#include "libpal/string/str_glob.h"
#include "libpal/string/str_num.h"
#include "libpal/tframe/app/app.h"
#include "libsh/libsh_imp.h"

#define SRC "src/lib/libsh/call"
#define LOG(lvl, ...) SHLOG(SRC, lvl, __VA_ARGS__)

namespace {

// ---- views ----------------------------------------------------------------------------------

// Seconds as a duration text, single-quoted (it holds blanks).
std::string duration_quoted(double seconds)
{
    char d[128], q[136];
    str_fmt_duration(seconds, d, sizeof(d));
    return str_quote_sq(d, q, sizeof(q));
}

char *show_info(const rvar_t *)
{
    str_dyn *d = str_dyn_new();
    if (!d)
        return nullptr;
    char q[1024];
    const uint64_t now = os_clock_ms();
    str_dyn_printf(d, "ver=%s\n", g_app.app_ver ? g_app.app_ver : "");
    str_dyn_printf(d, "ver_date=%s\n", str_quote_sq(g_app.app_ver_date ? g_app.app_ver_date : "", q, sizeof(q)));
    str_dyn_printf(d, "start_time=%s\n", duration_quoted((double)(now - g_app.start_clock) / 1000.0).c_str());
    str_dyn_printf(d, "is_root=%d\n", os_is_root() ? 1 : 0);
    const char *level = log2_get_level_str(nullptr);
    str_dyn_printf(d, "log_level=%s\n", level ? level : "");
    str_dyn_printf(d, "cpu_endian=%s\n", __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? "little" : "big");
    str_dyn_printf(d, "os_info=%s\n", str_quote_sq(os_info_cstr(), q, sizeof(q)));
    str_dyn_printf(d, "hw_info=%s\n", os_hw_info_cstr());
    str_dyn_printf(d, "os_start_time=%s\n", duration_quoted((double)now / 1000.0).c_str());
    return str_dyn_detach(d);
}

char *show_memory(const rvar_t *) { return pl_mem_info_str(); }

char *show_llog(const rvar_t *)
{
    const char *h = log2_get_history(nullptr);
    return h && h[0] ? os_strdup(h) : nullptr;
}

char *show_dvar(const rvar_t *) { return dvar_mgr_dump(g_libsh.dvars); }

const rvar_t k_views[] = {
    {"info", "View program running global info", show_info},
    {"memory", "View program memory stats", show_memory},
    {"llog", "show last log", show_llog},
    {"dvar", "View program Dynamic variable", show_dvar},
};

// ---- call functions: (context, argument count, argument vector) -------------------------------

libsh_ctx_t *ctx_of(uint64_t a) { return (libsh_ctx_t *)(uintptr_t)a; }

int call_kill(uint64_t a, uint64_t, uint64_t)
{
    LOG(LOG2_WARN, "user req exit!!\n");
    libsh_ctx_t *ctx = ctx_of(a);
    ctx->flush_proc(ctx->stream);
    exit(0);
}

// Enters the crash handling of this thread, as a null access would.
void crash_here(void)
{
    raise(SIGSEGV);
    // The handler ends the process; should it come back, do not go on.
    abort();
}

int call_null(uint64_t a, uint64_t, uint64_t)
{
    LOG(LOG2_WARN, "user req null=0 !!\n");
    libsh_ctx_t *ctx = ctx_of(a);
    ctx->flush_proc(ctx->stream);
    crash_here();
    return 0;
}

void *panic_thread(void *)
{
    LOG(LOG2_DBG, "==>\n");
    crash_here();
    return nullptr;
}

int call_thread_except(uint64_t a, uint64_t, uint64_t)
{
    LOG(LOG2_WARN, "test thread_panic\n");
    libsh_ctx_t *ctx = ctx_of(a);
    ctx->flush_proc(ctx->stream);
    if (os_thread_t *t = os_thread_init2("panic_thread", panic_thread, nullptr, 0, nullptr))
        os_thread_detach(t);
    return 0;
}

void *stack_over_thread(void *)
{
    LOG(LOG2_DBG, "stack_size=%d n_size=%d\n", 0x40000, 0x36000);
    LOG(LOG2_DBG, "<==\n");
    return nullptr;
}

int call_stack_over(uint64_t a, uint64_t, uint64_t)
{
    LOG(LOG2_WARN, "stack_over pass!\n");
    libsh_ctx_t *ctx = ctx_of(a);
    ctx->flush_proc(ctx->stream);
    if (os_thread_t *t = os_thread_init2("stack_over", stack_over_thread, nullptr, 0, nullptr))
        os_thread_detach(t);
    return 0;
}

int call_tlog(uint64_t a, uint64_t, uint64_t)
{
    LOG(LOG2_VERB, "log_verb\n");
    LOG(LOG2_DBG, "log_debug\n");
    LOG(LOG2_INFO, "log_info\n");
    LOG(LOG2_NOTI, "log_notice\n");
    LOG(LOG2_WARN, "log_warn\n");
    LOG(LOG2_ERR, "log_error\n");
    LOG(LOG2_CRIT | LOG2_F_NOEXIT, "log_crit2\n");
    libsh_ctx_t *ctx = ctx_of(a);
    ctx->flush_proc(ctx->stream);
    return 0;
}

const fvar_t k_funcs[] = {
    {"kill", "Execute exit() to exit the process", call_kill},
    {"null", "null memory access exception", call_null},
    {"thread_except", "Thread exception handling test", call_thread_except},
    {"stack_over", "Test thread stack exceeded limit", call_stack_over},
    {"tlog", "Test All log level output", call_tlog},
};

} // namespace

int libsh_vars_init(void)
{
    for (const rvar_t &v : k_views)
        rvar_mgr_add(g_libsh.rvars, &v);
    for (const fvar_t &f : k_funcs)
        fvar_mgr_add(g_libsh.fvars, &f);
    return 0;
}
