// The list corruption check; the list operations themselves are inline.
#include "libpal/utils/pl_list.h"

list_node *list_verify_node(list_node *node, const char *label)
{
    if (!node)
        return nullptr;
    // Every back link must name the node we came from. A forward chain that
    // loops without passing the start again fails this test at the first
    // node it revisits, so the walk always ends.
    list_node *prev = node;
    list_node *cur = node->next;
    unsigned pos = 1;
    while (cur != node) {
        if (!cur || cur->prev != prev) {
            if (!label)
                return nullptr;
            log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, "corrupt",
                        "%s: prev corrupt in node %p (%u) of %p\n", label, (void *)cur, pos, (void *)node);
            pl_assert_fatal();
        }
        prev = cur;
        cur = cur->next;
        ++pos;
    }
    if (node->prev != prev) {
        if (!label)
            return nullptr;
        log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, "corrupt", "%s: prev corrupt in node %p (%u) of %p\n",
                    label, (void *)node, 0u, (void *)node);
        pl_assert_fatal();
    }
    return node;
}

list_node *list_verify(list_node *head, const char *label) { return list_verify_node(head, label) ? head : nullptr; }
