// pl_avl: an ordered map from pointer-sized keys (numbers or texts) to
// pointer-sized values, kept as a height-balanced binary search tree. Nodes
// come from a slab manager and copied texts from a pool manager, so the
// whole tree goes at once. Flags choose which keys and values the tree
// copies or releases.
//
// Not locked: the owner serialises access (the settings' use_lock only makes
// the two memory managers lock).
#pragma once
#include <cstdint>

#include "libpal/memory/pl_mem.h"
#include "libpal/utils/pl_sort.h"

// Flags of the settings.
enum : uint32_t {
    AVL_F_KEY_STR = 0x1,      // keys are texts copied into the pool
    AVL_F_VAL_STR = 0x100,    // values are texts copied into the pool
    AVL_F_VAL_FREE = 0x200,   // values are freed with os_free when replaced or deleted, and at the end
    AVL_F_VAL_FREEFN = 0x400, // values are passed to the free function then
};

struct avl_node_t {
    void *key;
    void *value;
    avl_node_t *left;
    avl_node_t *right;
    int32_t balance; // height(right) - height(left): -1, 0 or 1
};

typedef void (*avl_free_fn)(void *value);

// Creation settings; all zero when NULL is given.
struct avl_settings_t {
    uint32_t flags;
    pl_cmp_fn compare; // NULL: cmp_default_proc(flags, NULL)
    int use_lock;
    uint32_t node_alloc_type; // must be 0
    uint32_t pool_type;       // must be 0
    avl_free_fn free_fn;
};

struct avl_t {
    uint32_t flags;
    pl_cmp_fn compare;
    avl_free_fn free_fn;
    mem_alloc_mgr_t *hslab; // nodes
    mem_alloc_mgr_t *hpool; // copied key and value texts
    avl_node_t *root;
    uint64_t count;
};

#define AVL_ITER_DEPTH 100
struct avl_iter_t {
    void *key;
    void *value;
    avl_node_t *node;
    avl_node_t *stack[AVL_ITER_DEPTH];
    int32_t depth;
    int32_t direction; // 0 ascending, 1 descending
};

// A new empty tree, or NULL (soft assertion) when memory runs out.
avl_t *avl_new(const avl_settings_t *settings);
// Releases every value the flags say the tree owns, every node and text
// copy, and the tree. NULL does nothing.
void avl_free(avl_t *tree);
// 1 when a node was added, 0 when an existing key got the value, -1 when
// memory runs out (soft assertion; the tree is as it was). On an update the
// old value (and under 0x1 the old key copy) is released after the new one
// is in place, and not at all when it is the very value stored again.
int avl_set(avl_t *tree, const void *key, const void *value);
// The key's value, or NULL when it is absent.
void *avl_get(const avl_t *tree, const void *key);
avl_node_t *avl_find_node(const avl_t *tree, const void *key);
// 1 when the key's node was removed (its key copy and value released as the
// flags say), 0 when it is absent.
int avl_del(avl_t *tree, const void *key);
uint64_t avl_count(const avl_t *tree);
// In-order walk: after each avl_iter_next the iterator's key, value and node
// are those of the current node, all NULL at the end. The tree must not
// change during the walk.
void avl_iter_init(avl_iter_t *it, const avl_t *tree, int direction);
avl_node_t *avl_iter_next(avl_iter_t *it);
// 1 when every balance is the height difference of its subtrees and within
// -1..1, the in-order keys increase strictly, and count matches; else 0.
int avl_check(const avl_t *tree);
