// The shell's own environment: a NULL-terminated array of owned NAME=value
// texts, copied from the process environment at start-up and changed only by
// assignments and `unset` (the process environment is never touched).
#include <cstring>

#include "libpal/basic/pl_base.h"
#include "libsh/libsh_imp.h"

extern char **environ;

#define SRC "src/lib/libsh/unsetenv"
#define LOG(lvl, ...) SHLOG(SRC, lvl, __VA_ARGS__)

namespace {

char **s_envv;     // count entries and a NULL
size_t s_envc;

constexpr size_t k_part_max = 255; // longest name, longest value of an assignment

// Index of the entry NAME=..., or -1.
long env_find(const char *name, size_t len)
{
    for (size_t i = 0; i < s_envc; i++)
        if (strncmp(s_envv[i], name, len) == 0 && s_envv[i][len] == '=')
            return (long)i;
    return -1;
}

// Appends an owned text; 0, or -1 when memory runs out (nothing changes).
int env_append(char *text)
{
    char **n = (char **)os_realloc(s_envv, sizeof(char *) * (s_envc + 2));
    if (!n)
        return -1;
    s_envv = n;
    s_envv[s_envc++] = text;
    s_envv[s_envc] = nullptr;
    return 0;
}

} // namespace

int init_envv(void)
{
    free_envv();
    s_envv = (char **)os_zalloc(sizeof(char *));
    for (char **e = environ; e && *e; e++) {
        char *copy = os_strdup(*e);
        if (!copy || env_append(copy) != 0) {
            os_free(copy);
            LOG(LOG2_ERR, "strdup error\n");
        }
    }
    return 0;
}

void free_envv(void)
{
    for (size_t i = 0; i < s_envc; i++)
        os_free(s_envv[i]);
    os_free(s_envv);
    s_envv = nullptr;
    s_envc = 0;
}

char *const *libsh_envv(void) { return s_envv; }

int libsh_env_assign(const char *command)
{
    if (!command)
        return 0;
    const char *eq = strchr(command, '=');
    if (!eq)
        return 0;
    size_t nlen = (size_t)(eq - command);
    const char *value = eq + 1;
    size_t vlen = strlen(value);
    if (nlen == 0 || nlen > k_part_max || vlen == 0 || vlen > k_part_max)
        return 0;
    if (strcspn(command, " \t") < nlen || strchr(value, '='))
        return 0;
    char *text = os_strdup(command);
    if (!text)
        return 0;
    long i = env_find(command, nlen);
    if (i >= 0) {
        os_free(s_envv[i]);
        s_envv[i] = text;
    } else if (!s_envv || env_append(text) != 0) {
        os_free(text);
        return 0;
    }
    return 1;
}

int libsh_unsetenv(const char *name)
{
    if (!name || !name[0] || strchr(name, '='))
        return 0;
    long i = env_find(name, strlen(name));
    if (i < 0)
        return 0;
    os_free(s_envv[i]);
    memmove(&s_envv[i], &s_envv[i + 1], sizeof(char *) * (s_envc - (size_t)i));
    s_envc--;
    return 0;
}
