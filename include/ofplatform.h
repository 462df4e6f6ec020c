/*
 * Host platform services the library calls but does not own: the descriptor dispatcher, the
 * queue service, the list utility and the AVL utilities. libofagent_host implements all of
 * them; a host may link its own versions instead, keeping these contracts and layouts.
 */
#ifndef OFPLATFORM_H
#define OFPLATFORM_H

#include <stdint.h>

#include "ofagent_export.h"

OFAGENT_BEGIN_DECLS

/* ---- Descriptor dispatcher ---------------------------------------------------------------
 * DispAddInput registers interest in fd and returns a non-zero handle; from then on the
 * dispatcher calls callback(data, fd) on its event thread whenever fd is ready for that
 * interest, again and again while it stays ready (level-triggered), until DispRemoveInput
 * removes it (non-zero result on success). Removing an interest, closing fd and freeing the
 * record behind data, all from inside that interest's own callback, are allowed. */
#define INPUT_READ 1
#define INPUT_WRITE 2

typedef void (*disp_input_cb)(void *data, int fd);

uint32_t DispAddInput(uint32_t disp_id, int fd, uint32_t interest, disp_input_cb callback,
                      void *data);
int DispRemoveInput(uint32_t disp_id, int fd, uint32_t interest);

/* ---- Queue service -----------------------------------------------------------------------
 * An intrusive queue: the head and an element's link are the same two-word type. A
 * zero-filled head reads as empty. embq_dqueue returns the element's own address. */
typedef struct embq {
    struct embq *next;
    struct embq *prev;
} embq;

void embq_init(embq *q);
void embq_enqueue(embq *q, embq *elem); /* append at the tail */
embq *embq_dqueue(embq *q);             /* remove and return the first, or null */
void embq_requeue(embq *q, embq *elem); /* put back in front: the next dequeue returns it */
uint8_t embq_is_empty(embq *q);         /* 1 when empty */

/* ---- List utility ------------------------------------------------------------------------
 * ListGet(list, LIST_GET_FIRST) starts a walk and returns the first item; ListGet(list,
 * LIST_GET_NEXT) returns an item still in the list (or null when none is left), and keeps
 * doing so correctly while each returned item is removed before the next call. */
typedef struct oflist oflist;

#define LIST_GET_FIRST 1
#define LIST_GET_NEXT 4

oflist *ListCreate(void);
int ListInsert(oflist *list, void *item); /* 1 on success, 0 on allocation failure */
int ListRemove(oflist *list, void *item); /* 1 when removed, 0 when absent */
void *ListGet(oflist *list, int op);
uint32_t ListEntries(oflist *list);

/* ---- AVL utilities -----------------------------------------------------------------------
 * An ordered set of nodes. A tree head is a node header followed by the comparator. A node's
 * `up` (the tree link) is non-zero while it is in a tree: its parent, or the head for the
 * root. The head's `left` holds the root; its `prev`/`next` point at the head itself when the
 * tree is empty (they thread the nodes in key order). */
typedef int (*savl_cmp_fn)(const void *searched_key, const void *node_key);

typedef struct savl_node {
    struct savl_node *up;   /* tree link: parent (the head for the root); 0 outside a tree */
    struct savl_node *left; /* for the head: the root */
    struct savl_node *right;
    struct savl_node *prev; /* in-order neighbours; the head closes the ring */
    struct savl_node *next;
    const void *key;
    void *data;
    int32_t height;
} savl_node;

typedef struct savl_tree {
    savl_node head;
    savl_cmp_fn cmp;
} savl_tree;

/* Returns the node whose key compares equal, or null; fills *where_node / *where_side with the
 * position where a node with that key belongs (the caller zeroes both first). */
savl_node *savl_find(savl_tree *tree, const void *key, savl_node **where_node, int *where_side);
/* Links node at the position savl_find reported and rebalances; the tree is reached through
 * where_node. Sets node->up non-zero. */
void savl_insert(savl_node *node, savl_node *where_node, int where_side);
/* Unlinks node from the tree that holds it and rebalances; node's memory is not touched
 * afterwards. */
void savl_delete(savl_node *node);

OFAGENT_END_DECLS

#endif /* OFPLATFORM_H */
