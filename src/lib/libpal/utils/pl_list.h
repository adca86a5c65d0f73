// pl_list: circular doubly linked list whose nodes live inside the records
// they link. A head is a node of its own; an empty list is a head pointing to
// itself both ways. No locking: the owner of a list serialises access.
#pragma once
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_assert.h"

struct list_node {
    list_node *next;
    list_node *prev;
};

// The record holding `node` as its field `member`.
#define list_entry(node, type, member) ((type *)((char *)(node) - offsetof(type, member)))

// Makes the list empty.
static inline void list_init(list_node *head)
{
    head->next = head;
    head->prev = head;
}

// 1 when the list holds no node besides its head.
static inline int list_empty(const list_node *head) { return head->next == head; }

// Links node just before head, that is at the end of the list.
static inline void list_add_tail(list_node *head, list_node *node)
{
    node->prev = head->prev;
    node->next = head;
    head->prev->next = node;
    head->prev = node;
}

// Unlinks node from its neighbours; node's own pointers are left stale, so
// use list_del_init when the node may be tested or unlinked again.
static inline void list_del(list_node *node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

// Unlinks node and makes it a list of its own.
static inline void list_del_init(list_node *node)
{
    list_del(node);
    list_init(node);
}

// Unlinks node from the list at head; an empty list is a broken caller and
// stops the program.
static inline void list_del_from(list_node *h, list_node *node)
{
    PL_ASSERT_HARD("pal", !list_empty(h));
    list_del(node);
}

// The record (node address minus `offset`) of the first node, unlinked, or
// NULL when the list is empty.
static inline void *list_pop_first(list_node *head, size_t offset)
{
    if (list_empty(head))
        return nullptr;
    list_node *n = head->next;
    list_del_init(n);
    return (char *)n - offset;
}

// Moves every node of `from`, in order, to the end of `to`; `from` becomes empty.
static inline void list_move_all_tail(list_node *to, list_node *from)
{
    if (list_empty(from))
        return;
    list_node *first = from->next, *last = from->prev;
    first->prev = to->prev;
    to->prev->next = first;
    last->next = to;
    to->prev = last;
    list_init(from);
}

// Moves every node of `from`, in order, to the front of `to`; `from` becomes empty.
static inline void list_move_all_head(list_node *to, list_node *from)
{
    if (list_empty(from))
        return;
    list_node *first = from->next, *last = from->prev;
    last->next = to->next;
    to->next->prev = last;
    first->prev = to;
    to->next = first;
    list_init(from);
}

// Walks the ring from node checking every back link. Sound: node. Broken:
// NULL when label is NULL; with a label the damage is logged and the program
// stops, since a corrupt list means memory is already being overwritten.
list_node *list_verify_node(list_node *node, const char *label);
// list_verify_node of the head: the head, or NULL.
list_node *list_verify(list_node *head, const char *label);
