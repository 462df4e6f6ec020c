// Structural check of an AVL tree of the platform utilities: links, heights, balance, key
// order under the tree's own comparator, and the in-order ring through the head.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "ofplatform.h"

namespace avl_check {

// Height of the subtree at n, checked recursively; appends its nodes in order to out.
inline int32_t subtree(const savl_node *n, const savl_node *parent,
                       std::vector<const savl_node *> &out) {
    if (n == nullptr) return 0;
    EXPECT_EQ(n->up, parent) << "parent link";
    int32_t l = subtree(n->left, n, out);
    out.push_back(n);
    int32_t r = subtree(n->right, n, out);
    EXPECT_LE(l - r, 1) << "left-heavy beyond balance";
    EXPECT_LE(r - l, 1) << "right-heavy beyond balance";
    int32_t h = 1 + (l > r ? l : r);
    EXPECT_EQ(n->height, h) << "stored height";
    return h;
}

// The tree's nodes in key order, after checking every invariant (non-fatal failures).
inline std::vector<const savl_node *> nodes(const savl_tree *tree) {
    std::vector<const savl_node *> in_order;
    const savl_node *head = &tree->head;
    EXPECT_EQ(head->up, nullptr);
    subtree(head->left, head, in_order);
    for (size_t i = 1; i < in_order.size(); i++)
        EXPECT_LT(tree->cmp(in_order[i - 1]->key, in_order[i]->key), 0)
            << "in-order position " << i;
    // The ring: head -> nodes in order -> head, and the same backwards.
    const savl_node *p = head;
    for (const savl_node *n : in_order) {
        EXPECT_EQ(p->next, n);
        EXPECT_EQ(n->prev, p);
        p = n;
    }
    EXPECT_EQ(p->next, head);
    EXPECT_EQ(head->prev, p);
    return in_order;
}

}  // namespace avl_check
