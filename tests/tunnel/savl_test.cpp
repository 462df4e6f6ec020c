// The AVL utilities against std::set: seeded random inserts, finds and deletes, with every
// structural invariant checked after each step.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "avl_check.hpp"
#include "ofplatform.h"

namespace {

constexpr int kLeft = -1;  // the side savl_find reports for a left child

int int_cmp(const void *searched, const void *stored) {
    int a = *static_cast<const int *>(searched), b = *static_cast<const int *>(stored);
    return a < b ? -1 : a > b ? 1 : 0;
}

struct Tree {
    savl_tree t = {};
    Tree() {
        t.head.prev = &t.head;
        t.head.next = &t.head;
        t.cmp = int_cmp;
    }
};

struct Item {
    savl_node node = {};
    int key = 0;
};

void insert(Tree &tree, Item &item) {
    item.node.key = &item.key;
    item.node.data = &item;
    savl_node *where = nullptr;
    int side = 0;
    ASSERT_EQ(savl_find(&tree.t, &item.key, &where, &side), nullptr);
    ASSERT_NE(where, nullptr);
    savl_insert(&item.node, where, side);
    ASSERT_NE(item.node.up, nullptr);
}

void run_model(uint32_t seed, int steps, int key_range) {
    std::mt19937 rng(seed);
    Tree tree;
    std::vector<Item> items(key_range);  // item k holds key k; stable addresses
    for (int k = 0; k < key_range; k++) {
        items[k].key = k;
        items[k].node.key = &items[k].key;
    }
    std::set<int> model;
    for (int step = 0; step < steps; step++) {
        int k = static_cast<int>(rng() % key_range);
        savl_node *where = nullptr;
        int side = 0;
        savl_node *found = savl_find(&tree.t, &k, &where, &side);
        ASSERT_EQ(found != nullptr, model.count(k) == 1) << "step " << step << " key " << k;
        ASSERT_NE(where, nullptr) << "a position is reported found or not";
        if (found != nullptr) {
            ASSERT_EQ(found, &items[k].node);
            if (rng() % 3 != 0) {
                savl_delete(found);
                EXPECT_EQ(items[k].node.up, nullptr);
                model.erase(k);
            }
        } else {
            EXPECT_EQ(items[k].node.up, nullptr);
            savl_insert(&items[k].node, where, side);
            model.insert(k);
        }
        auto in_order = avl_check::nodes(&tree.t);
        ASSERT_FALSE(testing::Test::HasFailure()) << "step " << step;
        std::vector<int> keys;
        for (auto *n : in_order)
            keys.push_back(*static_cast<const int *>(n->key));
        ASSERT_EQ(keys, std::vector<int>(model.begin(), model.end())) << "step " << step;
    }
    // Empty it again: the head returns to its empty state.
    for (int k : model)
        savl_delete(&items[k].node);
    EXPECT_EQ(tree.t.head.left, nullptr);
    EXPECT_EQ(tree.t.head.next, &tree.t.head);
    EXPECT_EQ(tree.t.head.prev, &tree.t.head);
}

TEST(AvlModel, RandomInsertsAndDeletesKeepTheTreeBalancedAndOrdered) {
    for (uint32_t seed = 1; seed <= 30; seed++) {
        SCOPED_TRACE(seed);
        run_model(seed, 1500, seed % 2 ? 40 : 300);
        if (HasFailure()) return;
    }
}

TEST(AvlModel, AscendingThenDescendingRunsStayLogarithmic) {
    Tree tree;
    std::vector<Item> items(1023);
    for (int k = 0; k < 1023; k++) {
        items[k].key = k;
        insert(tree, items[k]);
    }
    avl_check::nodes(&tree.t);
    EXPECT_LE(tree.t.head.left->height, 11);  // 1.44 log2(n) bound for an AVL tree
    // Delete from the top down: every step removes the current maximum.
    for (int k = 1022; k >= 0; k--) {
        savl_delete(&items[k].node);
        if (k % 97 == 0) avl_check::nodes(&tree.t);
    }
    EXPECT_EQ(tree.t.head.left, nullptr);
}

TEST(AvlUtilities, FindOfAPresentKeyStillReportsAFreeInsertionSlot) {
    Tree tree;
    Item a, b, c;
    a.key = b.key = c.key = 5;
    insert(tree, a);
    // A second equal key goes after the first: the reported slot is free, the order stays.
    for (Item *dup : {&b, &c}) {
        savl_node *where = nullptr;
        int side = 0;
        EXPECT_EQ(savl_find(&tree.t, &dup->key, &where, &side), &a.node);
        dup->node.key = &dup->key;
        savl_insert(&dup->node, where, side);
        EXPECT_NE(dup->node.up, nullptr);
    }
    std::vector<const savl_node *> order;
    for (savl_node *n = tree.t.head.next; n != &tree.t.head; n = n->next)
        order.push_back(n);
    EXPECT_EQ(order, (std::vector<const savl_node *>{&a.node, &b.node, &c.node}));
    savl_delete(&a.node);
    savl_delete(&b.node);
    savl_delete(&c.node);
    EXPECT_EQ(tree.t.head.left, nullptr);
}

TEST(AvlUtilities, OccupiedOrMadeUpPositionsAreRefusedAndStrayDeletesIgnored) {
    Tree tree;
    Item a, b;
    a.key = 1;
    b.key = 2;
    insert(tree, a);
    b.node.key = &b.key;
    savl_insert(&b.node, &tree.t.head, kLeft);  // the root slot is taken
    EXPECT_EQ(b.node.up, nullptr);
    savl_insert(&b.node, &a.node, 0);  // no such side
    EXPECT_EQ(b.node.up, nullptr);
    savl_delete(&b.node);  // never inserted: nothing happens
    savl_delete(nullptr);
    EXPECT_EQ(tree.t.head.left, &a.node);
    EXPECT_EQ(avl_check::nodes(&tree.t).size(), 1u);
    savl_delete(&a.node);
}

}  // namespace
