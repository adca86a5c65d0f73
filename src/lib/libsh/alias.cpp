// The alias table: 39 buckets of singly linked entries owning their texts.
#include <cstdint>
#include <cstring>

#include "libpal/basic/pl_base.h"
#include "libsh/libsh_imp.h"

#define SRC "src/lib/libsh/alias"
#define LOG(lvl, ...) SHLOG(SRC, lvl, __VA_ARGS__)

namespace {

constexpr uint32_t k_buckets = 39;

struct alias_entry {
    alias_entry *next;
    char *name;
    char *value;
};

alias_entry **s_table; // k_buckets chains, NULL before alias_init

constexpr const char *k_defaults[][2] = {
    {"a", "alias"},       {"c", "call"},        {"e", "exit"},      {"s", "show"},
    {"q", "quit"},        {"sc", "show config"}, {"sd", "show dvar"}, {"si", "show info"},
    {"sl", "show llog"},  {"sm", "show memory"},
};

// h starts as the first character shifted left by 4; every character, the
// first included, is added. Characters count as unsigned bytes.
uint32_t bucket_of(const char *name)
{
    const unsigned char *p = (const unsigned char *)name;
    uint32_t h = (uint32_t)p[0] << 4;
    for (; *p; p++)
        h += *p;
    return h % k_buckets;
}

alias_entry *find(const char *name)
{
    if (!s_table || !name || !name[0])
        return nullptr;
    for (alias_entry *e = s_table[bucket_of(name)]; e; e = e->next)
        if (strcmp(e->name, name) == 0)
            return e;
    return nullptr;
}

void entry_free(alias_entry *e)
{
    os_free(e->name);
    os_free(e->value);
    os_free(e);
}

} // namespace

int alias_init(void)
{
    if (s_table)
        return 0;
    s_table = (alias_entry **)os_zalloc(sizeof(alias_entry *) * k_buckets);
    if (!s_table) {
        LOG(LOG2_CRIT, "malloc failed");
        return -1;
    }
    for (const auto &d : k_defaults)
        alias_set(d[0], d[1]);
    return 0;
}

void alias_clear(void)
{
    for (uint32_t b = 0; s_table && b < k_buckets; b++) {
        while (alias_entry *e = s_table[b]) {
            s_table[b] = e->next;
            entry_free(e);
        }
    }
}

void alias_free(void)
{
    alias_clear();
    os_free(s_table);
    s_table = nullptr;
}

const char *alias_get(const char *name)
{
    alias_entry *e = find(name);
    return e ? e->value : nullptr;
}

int alias_set(const char *name, const char *value)
{
    if (!s_table || !name || !name[0] || !value)
        return -1;
    char *v = os_strdup(value);
    if (!v)
        return -1;
    if (alias_entry *e = find(name)) {
        os_free(e->value);
        e->value = v;
        return 0;
    }
    alias_entry *e = (alias_entry *)os_zalloc(sizeof(alias_entry));
    char *n = os_strdup(name);
    if (!e || !n) {
        os_free(e);
        os_free(n);
        os_free(v);
        return -1;
    }
    e->name = n;
    e->value = v;
    // Appended at the end of its chain.
    alias_entry **link = &s_table[bucket_of(name)];
    while (*link)
        link = &(*link)->next;
    *link = e;
    return 0;
}

int alias_del(const char *name)
{
    if (!s_table || !name || !name[0])
        return -1;
    for (alias_entry **link = &s_table[bucket_of(name)]; *link; link = &(*link)->next) {
        if (strcmp((*link)->name, name) == 0) {
            alias_entry *e = *link;
            *link = e->next;
            entry_free(e);
            return 0;
        }
    }
    return -1;
}

void alias_foreach(void (*fn)(void *arg, const char *name, const char *value), void *arg)
{
    for (uint32_t b = 0; s_table && b < k_buckets; b++)
        for (alias_entry *e = s_table[b]; e; e = e->next)
            fn(arg, e->name, e->value);
}
