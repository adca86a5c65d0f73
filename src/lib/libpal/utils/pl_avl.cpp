// AVL tree. Insertion and deletion recurse from the root link and report
// whether the subtree they changed grew or shrank; the caller rebalances
// towards the heavier side with one or two rotations. Heights stay below
// 1.45 log2(n + 2), so the recursion and the iterator stack stay short.
#include "libpal/utils/pl_avl.h"

#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_base.h"

#define TAG "pal"

namespace {

avl_node_t *&side(avl_node_t *n, int d) { return d > 0 ? n->right : n->left; }

int compare(const avl_t *t, const void *a, const void *b) { return cmp_sign(t->compare(a, b)); }

// Single rotation: the child on side d becomes the subtree root.
void rotate_single(avl_node_t **link, int d)
{
    avl_node_t *n = *link, *c = side(n, d);
    side(n, d) = side(c, -d);
    side(c, -d) = n;
    int b = c->balance;
    c->balance = b - d;
    n->balance = d - b;
    *link = c;
}

// Double rotation: the child's inner grandchild becomes the subtree root.
void rotate_double(avl_node_t **link, int d)
{
    avl_node_t *n = *link, *c = side(n, d), *g = side(c, -d);
    side(n, d) = side(g, -d);
    side(c, -d) = side(g, d);
    side(g, -d) = n;
    side(g, d) = c;
    n->balance = 0;
    c->balance = 0;
    if (g->balance == d)
        n->balance = -d;
    else if (g->balance == -d)
        c->balance = d;
    g->balance = 0;
    *link = g;
}

// The subtree at *link got one level heavier on side d; rebalances and
// answers whether it is now higher than before.
bool grew_on(avl_node_t **link, int d)
{
    avl_node_t *n = *link;
    if (n->balance != d) {
        n->balance += d;
        return n->balance != 0;
    }
    if (side(n, d)->balance == -d)
        rotate_double(link, d);
    else
        rotate_single(link, d);
    return false;
}

// The subtree at *link lost one level on side -d (so d is the heavier
// side now); rebalances and answers whether it is now lower than before.
bool shrank_towards(avl_node_t **link, int d)
{
    avl_node_t *n = *link;
    if (n->balance != d) {
        n->balance += d;
        return n->balance == 0;
    }
    if (side(n, d)->balance == -d)
        rotate_double(link, d);
    else
        rotate_single(link, d);
    return (*link)->balance == 0;
}

void *pool_copy(avl_t *t, const void *text) { return text ? mem_pool_strdup(t->hpool, (const char *)text) : nullptr; }

void release_value(avl_t *t, void *value)
{
    if (!value)
        return;
    if (t->flags & AVL_F_VAL_STR)
        mem_pool_free(t->hpool, value);
    else if (t->flags & AVL_F_VAL_FREE)
        os_free(value);
    else if ((t->flags & AVL_F_VAL_FREEFN) && t->free_fn)
        t->free_fn(value);
}

void release_node(avl_t *t, avl_node_t *n)
{
    if (t->flags & AVL_F_KEY_STR)
        mem_pool_free(t->hpool, n->key);
    release_value(t, n->value);
    mem_mgr_free(t->hslab, n);
    --t->count;
}

// An existing key gets value: the new copies are made first, and what it
// held is released only when it is not the very thing stored again.
int update(avl_t *t, avl_node_t *n, const void *key, const void *value)
{
    void *k = n->key, *v = (void *)value;
    if ((t->flags & AVL_F_KEY_STR) && key != n->key) {
        k = pool_copy(t, key);
        PL_ASSERT_RET(TAG, k != NULL, -1);
    }
    if ((t->flags & AVL_F_VAL_STR) && value) {
        v = pool_copy(t, value);
        if (!v) {
            if (k != n->key)
                mem_pool_free(t->hpool, k);
            PL_ASSERT_RET(TAG, v != NULL, -1);
        }
    }
    if (k != n->key) {
        mem_pool_free(t->hpool, n->key);
        n->key = k;
    }
    if (v != n->value) {
        release_value(t, n->value);
        n->value = v;
    }
    return 0;
}

int insert(avl_t *t, avl_node_t **link, const void *key, const void *value, bool *grew)
{
    avl_node_t *n = *link;
    if (!n) {
        *grew = false;
        void *k = (void *)key, *v = (void *)value;
        if ((t->flags & AVL_F_KEY_STR) && key) {
            k = pool_copy(t, key);
            PL_ASSERT_RET(TAG, k != NULL, -1);
        }
        if ((t->flags & AVL_F_VAL_STR) && value && !(v = pool_copy(t, value)) && k != key)
            mem_pool_free(t->hpool, k);
        PL_ASSERT_RET(TAG, v != NULL || value == NULL, -1);
        avl_node_t *node = (avl_node_t *)mem_mgr_alloc(t->hslab);
        if (!node) {
            if (k != key)
                mem_pool_free(t->hpool, k);
            if (v != value)
                mem_pool_free(t->hpool, v);
        }
        PL_ASSERT_RET(TAG, node != NULL, -1);
        memset(node, 0, sizeof(*node));
        node->key = k;
        node->value = v;
        *link = node;
        ++t->count;
        *grew = true;
        return 1;
    }
    int c = compare(t, key, n->key);
    if (c == 0) {
        *grew = false;
        return update(t, n, key, value);
    }
    bool sub = false;
    int r = insert(t, &side(n, c), key, value, &sub);
    *grew = sub && grew_on(link, c);
    return r;
}

// Detaches the extreme node on side d (leftmost for -1) of the subtree.
avl_node_t *take_extreme(avl_node_t **link, int d, bool *shrank)
{
    avl_node_t *n = *link;
    if (side(n, d)) {
        bool sub = false;
        avl_node_t *x = take_extreme(&side(n, d), d, &sub);
        *shrank = sub && shrank_towards(link, -d);
        return x;
    }
    *link = side(n, -d);
    *shrank = true;
    return n;
}

int erase(avl_t *t, avl_node_t **link, const void *key, bool *shrank)
{
    avl_node_t *n = *link;
    *shrank = false;
    if (!n)
        return 0;
    int c = compare(t, key, n->key);
    if (c != 0) {
        bool sub = false;
        int r = erase(t, &side(n, c), key, &sub);
        *shrank = sub && shrank_towards(link, -c);
        return r;
    }
    if (!n->left || !n->right) {
        *link = n->left ? n->left : n->right;
        *shrank = true;
    } else {
        // The successor replaces a right-leaning node, else the predecessor.
        int d = n->balance > 0 ? 1 : -1;
        bool sub = false;
        avl_node_t *r = take_extreme(&side(n, d), -d, &sub);
        r->left = n->left;
        r->right = n->right;
        r->balance = n->balance;
        *link = r;
        *shrank = sub && shrank_towards(link, -d);
    }
    release_node(t, n);
    return 1;
}

void release_values(avl_t *t, avl_node_t *n)
{
    for (; n; n = n->right) {
        release_values(t, n->left);
        release_value(t, n->value);
    }
}

// Height of the subtree, or -1 when it breaks a rule.
int checked_height(const avl_t *t, const avl_node_t *n, const avl_node_t **prev, uint64_t *count)
{
    if (!n)
        return 0;
    int hl = checked_height(t, n->left, prev, count);
    if (hl < 0)
        return -1;
    if (*prev && compare(t, (*prev)->key, n->key) >= 0)
        return -1;
    *prev = n;
    ++*count;
    int hr = checked_height(t, n->right, prev, count);
    if (hr < 0 || n->balance != hr - hl || n->balance < -1 || n->balance > 1)
        return -1;
    return 1 + (hl > hr ? hl : hr);
}

// Pushes n and the nodes on its way towards side d.
void push_spine(avl_iter_t *it, avl_node_t *n, int d)
{
    for (; n && it->depth < AVL_ITER_DEPTH; n = side(n, d))
        it->stack[it->depth++] = n;
}

avl_node_t *iter_pop(avl_iter_t *it)
{
    avl_node_t *n = it->depth > 0 ? it->stack[--it->depth] : nullptr;
    it->node = n;
    it->key = n ? n->key : nullptr;
    it->value = n ? n->value : nullptr;
    return n;
}

} // namespace

avl_t *avl_new(const avl_settings_t *settings)
{
    avl_settings_t none{};
    const avl_settings_t *s = settings ? settings : &none;
    avl_t *avl = (avl_t *)os_zalloc(sizeof(avl_t));
    PL_ASSERT_RET(TAG, avl != NULL, nullptr);
    avl->flags = s->flags;
    avl->compare = cmp_default_proc(s->flags, s->compare);
    avl->free_fn = s->free_fn;
    void *lock = (void *)(uintptr_t)(s->use_lock != 0);
    avl->hslab = mem_slab_mgr_init(s->node_alloc_type, lock, sizeof(avl_node_t));
    if (!avl->hslab)
        os_free(avl);
    PL_ASSERT_RET(TAG, avl->hslab != NULL, nullptr);
    avl->hpool = mem_pool_mgr_init(s->pool_type, lock);
    if (!avl->hpool) {
        mem_mgr_destroy(avl->hslab);
        os_free(avl);
    }
    PL_ASSERT_RET(TAG, avl->hpool != NULL, nullptr);
    return avl;
}

void avl_free(avl_t *tree)
{
    if (!tree)
        return;
    if (!(tree->flags & AVL_F_VAL_STR) && (tree->flags & (AVL_F_VAL_FREE | AVL_F_VAL_FREEFN)))
        release_values(tree, tree->root);
    mem_mgr_destroy(tree->hslab);
    mem_mgr_destroy(tree->hpool);
    os_free(tree);
}

int avl_set(avl_t *tree, const void *key, const void *value)
{
    PL_ASSERT_RET(TAG, tree != NULL, -1);
    PL_ASSERT_RET(TAG, key != NULL || !(tree->flags & AVL_F_KEY_STR), -1);
    bool grew = false;
    return insert(tree, &tree->root, key, value, &grew);
}

avl_node_t *avl_find_node(const avl_t *tree, const void *key)
{
    if (!tree || (!key && (tree->flags & AVL_F_KEY_STR)))
        return nullptr;
    avl_node_t *n = tree->root;
    while (n) {
        int c = compare(tree, key, n->key);
        if (c == 0)
            return n;
        n = side(n, c);
    }
    return nullptr;
}

void *avl_get(const avl_t *tree, const void *key)
{
    avl_node_t *n = avl_find_node(tree, key);
    return n ? n->value : nullptr;
}

int avl_del(avl_t *tree, const void *key)
{
    if (!tree || (!key && (tree->flags & AVL_F_KEY_STR)))
        return 0;
    bool shrank = false;
    return erase(tree, &tree->root, key, &shrank);
}

uint64_t avl_count(const avl_t *tree) { return tree ? tree->count : 0; }

void avl_iter_init(avl_iter_t *it, const avl_t *tree, int direction)
{
    memset(it, 0, sizeof(*it));
    it->direction = direction ? 1 : 0;
    if (tree)
        push_spine(it, tree->root, it->direction ? 1 : -1);
    iter_pop(it);
}

avl_node_t *avl_iter_next(avl_iter_t *it)
{
    if (!it->node)
        return nullptr;
    int d = it->direction ? 1 : -1; // towards the first node
    push_spine(it, side(it->node, -d), d);
    return iter_pop(it);
}

int avl_check(const avl_t *tree)
{
    if (!tree)
        return 0;
    const avl_node_t *prev = nullptr;
    uint64_t count = 0;
    return checked_height(tree, tree->root, &prev, &count) >= 0 && count == tree->count ? 1 : 0;
}
