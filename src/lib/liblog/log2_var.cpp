// The log's settable shell variable "log.level".
#include "liblog/log2.h"
#include "libpal/string/str_safe.h"
#include "libpal/var/pl_var.h"

namespace {

// Sets the default handle's level by name; an unknown name keeps the level.
int log_level_var_set(const char *value, char *err)
{
    if (log2_set_level_str(nullptr, value) == 0)
        return 0;
    str_sprintf_s2(err, DVAR_ERR_SIZE, "invalid param [%s]\n", value ? value : "");
    return -1;
}

int log_level_var_get(char *buf, int size)
{
    const char *name = log2_get_level_str(nullptr);
    str_safecopy_trunc(buf, (size_t)size, name ? name : "");
    return 0;
}

const dvar_t s_log_level_var = {
    "log.level", DVAR_TYPE_ENUM, "verb|dbg|info|noti|warn|err|crit", "Set log output level",
    log_level_var_set, log_level_var_get, {},
};

} // namespace

int log2_dvar_reg(dvar_mgr_t *reg)
{
    return dvar_mgr_add(reg, &s_log_level_var);
}
