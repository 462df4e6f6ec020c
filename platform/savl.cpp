// AVL utilities of the reference host platform: a height-balanced binary search tree with
// parent links and an in-order ring (prev/next) closed by the tree head. The head is told
// apart from the nodes by its null `up`, so insert and delete find it without being given it.
#include <cstddef>

#include "ofplatform.h"

namespace {

// Sides reported by savl_find; the caller's zeroed side is never a valid position.
constexpr int kLeft = -1;
constexpr int kRight = 1;

int32_t height(const savl_node *n) {
    return n != nullptr ? n->height : 0;
}

void update_height(savl_node *n) {
    int32_t l = height(n->left);
    int32_t r = height(n->right);
    n->height = 1 + (l > r ? l : r);
}

bool is_head(const savl_node *n) {
    return n->up == nullptr;
}

// The head keeps the root in `left`, so the same code replaces a root and an inner child.
void replace_child(savl_node *parent, savl_node *old_child, savl_node *new_child) {
    if (parent->left == old_child) {
        parent->left = new_child;
    } else {
        parent->right = new_child;
    }
    if (new_child != nullptr) new_child->up = parent;
}

savl_node *rotate_left(savl_node *x) {
    savl_node *y = x->right;
    x->right = y->left;
    if (y->left != nullptr) y->left->up = x;
    replace_child(x->up, x, y);
    y->left = x;
    x->up = y;
    update_height(x);
    update_height(y);
    return y;
}

savl_node *rotate_right(savl_node *x) {
    savl_node *y = x->left;
    x->left = y->right;
    if (y->right != nullptr) y->right->up = x;
    replace_child(x->up, x, y);
    y->right = x;
    x->up = y;
    update_height(x);
    update_height(y);
    return y;
}

// Restores heights and balance from n up to the root.
void rebalance(savl_node *n) {
    while (!is_head(n)) {
        update_height(n);
        int32_t balance = height(n->left) - height(n->right);
        if (balance > 1) {
            if (height(n->left->left) < height(n->left->right)) rotate_left(n->left);
            n = rotate_right(n);
        } else if (balance < -1) {
            if (height(n->right->right) < height(n->right->left)) rotate_right(n->right);
            n = rotate_left(n);
        }
        n = n->up;
    }
}

void unlink_ring(savl_node *node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

}  // namespace

extern "C" {

savl_node *savl_find(savl_tree *tree, const void *key, savl_node **where_node, int *where_side) {
    if (tree == nullptr || tree->cmp == nullptr) return nullptr;
    savl_node *parent = &tree->head;
    int side = kLeft;
    savl_node *found = nullptr;
    // On a match the descent goes on to the right, so the reported position stays a free slot
    // (where an equal key would follow the ones already present).
    for (savl_node *cur = tree->head.left; cur != nullptr;) {
        int c = tree->cmp(key, cur->key);
        if (c == 0 && found == nullptr) found = cur;
        parent = cur;
        side = c < 0 ? kLeft : kRight;
        cur = c < 0 ? cur->left : cur->right;
    }
    if (where_node != nullptr) *where_node = parent;
    if (where_side != nullptr) *where_side = side;
    return found;
}

void savl_insert(savl_node *node, savl_node *where_node, int where_side) {
    if (node == nullptr || where_node == nullptr) return;
    savl_node **slot = where_side == kLeft    ? &where_node->left
                       : where_side == kRight ? &where_node->right
                                              : nullptr;
    // A stale or made-up position is refused; node->up stays 0, which the caller can see.
    if (slot == nullptr || *slot != nullptr) return;
    if (is_head(where_node) && where_side != kLeft) return;
    *slot = node;
    node->up = where_node;
    node->left = nullptr;
    node->right = nullptr;
    node->height = 1;
    if (where_side == kLeft) {
        node->next = where_node;
        node->prev = where_node->prev;
    } else {
        node->prev = where_node;
        node->next = where_node->next;
    }
    node->prev->next = node;
    node->next->prev = node;
    rebalance(where_node);
}

void savl_delete(savl_node *node) {
    if (node == nullptr || node->up == nullptr) return;
    savl_node *parent = node->up;
    if (node->left != nullptr && node->right != nullptr) {
        // The in-order successor (no left child) takes the node's place.
        savl_node *succ = node->right;
        while (succ->left != nullptr)
            succ = succ->left;
        savl_node *start = succ;
        if (succ->up != node) {
            start = succ->up;
            start->left = succ->right;
            if (succ->right != nullptr) succ->right->up = start;
            succ->right = node->right;
            node->right->up = succ;
        }
        succ->left = node->left;
        node->left->up = succ;
        replace_child(parent, node, succ);
        rebalance(start);
    } else {
        replace_child(parent, node, node->left != nullptr ? node->left : node->right);
        rebalance(parent);
    }
    unlink_ring(node);
    node->up = nullptr;
    node->left = nullptr;
    node->right = nullptr;
    node->prev = nullptr;
    node->next = nullptr;
    node->height = 0;
}

}  // extern "C"
