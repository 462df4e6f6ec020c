// The tunnel table and the AVL utilities under it: the situations a host meets, then a long
// random run against an ordered map with every tree invariant checked after each step.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "oflog.h"
#include "oftunnel.h"

namespace {

// Height of the subtree at n after checking links, heights and balance; nodes in order to out.
int32_t subtree(const savl_node *n, const savl_node *up, std::vector<const savl_node *> &out) {
    if (n == nullptr) return 0;
    EXPECT_EQ(n->up, up) << "parent link";
    int32_t l = subtree(n->left, n, out);
    out.push_back(n);
    int32_t r = subtree(n->right, n, out);
    EXPECT_TRUE(l - r <= 1 && r - l <= 1) << "out of balance: " << l << " vs " << r;
    EXPECT_EQ(n->height, 1 + std::max(l, r));
    return 1 + std::max(l, r);
}

// The tree's nodes in key order, after checking order and the ring through the head.
std::vector<const savl_node *> checked_nodes(const savl_tree *tree) {
    std::vector<const savl_node *> in_order;
    EXPECT_EQ(tree->head.up, nullptr);
    subtree(tree->head.left, &tree->head, in_order);
    const savl_node *p = &tree->head;
    for (const savl_node *n : in_order) {
        EXPECT_TRUE(p == &tree->head || tree->cmp(p->key, n->key) < 0) << "in-order keys";
        EXPECT_TRUE(p->next == n && n->prev == p) << "in-order ring";
        p = n;
    }
    EXPECT_TRUE(p->next == &tree->head && tree->head.prev == p) << "ring closed by the head";
    return in_order;
}

std::vector<std::string> g_lines;

oftunnel_key key_of(int family, const char *text) {
    oftunnel_key key = {static_cast<uint8_t>(family == AF_INET6), 0, {}};
    EXPECT_EQ(inet_pton(family, text, key.addr), 1);
    return key;
}

class TunnelTable : public testing::Test {
   protected:
    void SetUp() override {
        g_lines.clear();
        oflog_to_file_disable();
        oflog_init(
            nullptr, 0, [](int, const char *line) { g_lines.emplace_back(line); }, nullptr);
        std::memset(&table_, 0xA5, sizeof table_);  // init must not rely on a zeroed record
        oftunnel_init(&table_);
    }
    void TearDown() override {  // the host empties the table entry by entry; there is no destroy
        while (table_.tree.head.next != &table_.tree.head)
            EXPECT_EQ(
                oftunnel_entry_delete(static_cast<oftunnel_entry *>(table_.tree.head.next->data)),
                0);
        oflog_init(nullptr, 0, nullptr, nullptr);
    }
    std::vector<const oftunnel_entry *> entries() {
        std::vector<const oftunnel_entry *> out;
        for (auto *n : checked_nodes(&table_.tree))
            out.push_back(static_cast<const oftunnel_entry *>(n->data));
        return out;
    }
    oftunnel_table table_;
};

// (Keys that differ in family or reserved byte, and their order, are the random run's.)
TEST_F(TunnelTable, InitLogsAndEntriesKnowTheirFamilyAndPrintThemselves) {
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(g_lines[0], std::regex("INFO oftunnel_init:[0-9]+ Init")));
    oftunnel_key four = key_of(AF_INET, "192.168.1.10"), six = key_of(AF_INET6, "c0a8:010a::");
    oftunnel_entry *e6 = oftunnel_entry_create(&table_, &six, 2);
    oftunnel_entry *e4 = oftunnel_entry_create(&table_, &four, 5);
    EXPECT_TRUE(e4->node.key == &e4->key && e4->node.data == e4);
    EXPECT_TRUE(oftunnel_entry_is_v6(e6) == 1 && oftunnel_entry_is_v6(e4) == 0);
    EXPECT_STREQ(oftunnel_entry_print(e4), "<IP:192.168.1.10, index:5>");
    // IPv6 prints its first four bytes in dotted form, into the same static buffer.
    const char *text = oftunnel_entry_print(e6);
    EXPECT_STREQ(text, "<IP:192.168.1.10, index:2>");
    EXPECT_EQ(oftunnel_entry_print(e4), text);
}

TEST_F(TunnelTable, RandomCreatesFindsAndDeletesMatchAnOrderedMapAndKeepTheTreeBalanced) {
    std::mt19937 rng(20261205);
    std::map<std::array<uint8_t, 18>, oftunnel_entry *> model;  // byte-wise order, as the table's
    size_t refused = 0;
    for (int step = 0; step < 20000 && !HasFailure(); step++) {
        oftunnel_key key = {static_cast<uint8_t>(rng() % 2), rng() % 8 == 0, {}};
        key.addr[0] = rng() % 4, key.addr[3] = rng() % 8, key.addr[15] = key.is_v6 ? rng() % 4 : 0;
        std::array<uint8_t, 18> bytes;
        std::memcpy(bytes.data(), &key, sizeof key);
        auto it = model.find(bytes);
        oftunnel_entry *found = oftunnel_entry_find(&table_, &key);
        ASSERT_EQ(found, it == model.end() ? nullptr : it->second) << "step " << step;
        if (uint32_t index = rng() % 50; rng() % 3 == 0 && found != nullptr) {
            ASSERT_EQ(oftunnel_entry_delete(found), 0);
            model.erase(it);
        } else if (oftunnel_entry *e = oftunnel_entry_create(&table_, &key, index);
                   found || !index) {
            ASSERT_EQ(e, nullptr) << "index 0 and duplicates are refused";
            refused++;
        } else {
            ASSERT_TRUE(e != nullptr && e->tunnel_index == index);
            model[bytes] = e;
        }
        std::vector<const oftunnel_entry *> expected;
        for (auto &kv : model)
            expected.push_back(kv.second);
        ASSERT_EQ(entries(), expected) << "step " << step;
    }
    size_t errors = 0;  // each refusal is logged as an error
    for (const auto &l : g_lines)
        errors += l.rfind("ERRS ", 0) == 0;
    EXPECT_EQ(errors, refused);
    oftunnel_entry loose = {};  // never inserted: tree link 0
    EXPECT_EQ(oftunnel_entry_delete(&loose), -1);
}

}  // namespace
