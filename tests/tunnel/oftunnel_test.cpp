// The tunnel table: a model run against std::map, and the situations a host meets.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "avl_check.hpp"
#include "oflog.h"
#include "oftunnel.h"

namespace {

std::vector<std::string> g_lines;
void sink(int, const char *line) {
    g_lines.emplace_back(line);
}

oftunnel_key v4(const char *text, uint8_t reserved = 0) {
    oftunnel_key key = {};
    key.reserved = reserved;
    EXPECT_EQ(inet_pton(AF_INET, text, key.addr), 1);
    return key;
}

oftunnel_key v6(const char *text) {
    oftunnel_key key = {};
    key.is_v6 = 1;
    EXPECT_EQ(inet_pton(AF_INET6, text, key.addr), 1);
    return key;
}

class TunnelTable : public testing::Test {
   protected:
    void SetUp() override {
        g_lines.clear();
        oflog_to_file_disable();
        oflog_init(nullptr, 0, sink, nullptr);
        std::memset(&table_, 0xA5, sizeof table_);  // init must not rely on a zeroed record
        oftunnel_init(&table_);
    }
    void TearDown() override {
        // The host empties the table entry by entry; there is no destroy.
        while (table_.head.next != &table_.head)
            EXPECT_EQ(oftunnel_entry_delete(static_cast<oftunnel_entry *>(table_.head.next->data)),
                      0);
        oflog_init(nullptr, 0, nullptr, nullptr);
    }
    std::vector<const oftunnel_entry *> in_order() {
        std::vector<const oftunnel_entry *> out;
        for (auto *n : avl_check::nodes(&table_))
            out.push_back(static_cast<const oftunnel_entry *>(n->data));
        return out;
    }
    oftunnel_table table_;
};

TEST_F(TunnelTable, InitLogsAndLeavesAnEmptyTable) {
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].rfind("INFO oftunnel_init:", 0), 0u);
    EXPECT_EQ(g_lines[0].substr(g_lines[0].size() - 5), " Init");
    EXPECT_EQ(table_.head.up, nullptr);
    EXPECT_EQ(table_.head.left, nullptr);
    EXPECT_EQ(table_.head.prev, &table_.head);
    EXPECT_EQ(table_.head.next, &table_.head);
    EXPECT_NE(table_.cmp, nullptr);
    oftunnel_key key = v4("10.0.0.1");
    EXPECT_EQ(oftunnel_entry_find(&table_, &key), nullptr);
}

TEST_F(TunnelTable, FindNeedsAllEighteenBytesIncludingTheReservedOne) {
    oftunnel_key key = v4("10.0.0.1");
    oftunnel_entry *e = oftunnel_entry_create(&table_, &key, 7);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->tunnel_index, 7u);
    EXPECT_EQ(e->node.key, &e->key);
    EXPECT_EQ(e->node.data, e);
    EXPECT_NE(e->node.up, nullptr);
    oftunnel_key same = v4("10.0.0.1");
    EXPECT_EQ(oftunnel_entry_find(&table_, &same), e);
    oftunnel_key reserved = v4("10.0.0.1", 1);
    EXPECT_EQ(oftunnel_entry_find(&table_, &reserved), nullptr);
    // ... and a key differing only there is a separate entry.
    oftunnel_entry *r = oftunnel_entry_create(&table_, &reserved, 8);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(oftunnel_entry_find(&table_, &reserved), r);
    EXPECT_EQ(oftunnel_entry_find(&table_, &same), e);
}

TEST_F(TunnelTable, IPv4SortsBeforeAnIPv6AddressWithTheSameLeadingBytes) {
    oftunnel_key six = v6("0a00:0001::");
    oftunnel_key four = v4("10.0.0.1");
    ASSERT_EQ(std::memcmp(six.addr, four.addr, 4), 0);
    oftunnel_entry *e6 = oftunnel_entry_create(&table_, &six, 2);
    oftunnel_entry *e4 = oftunnel_entry_create(&table_, &four, 1);
    ASSERT_NE(e6, nullptr);
    ASSERT_NE(e4, nullptr);
    EXPECT_EQ(in_order(), (std::vector<const oftunnel_entry *>{e4, e6}));
    EXPECT_EQ(oftunnel_entry_is_v6(e6), 1);
    EXPECT_EQ(oftunnel_entry_is_v6(e4), 0);
    // An IPv6 entry prints its first four address bytes in dotted form.
    EXPECT_STREQ(oftunnel_entry_print(e6), "<IP:10.0.0.1, index:2>");
}

TEST_F(TunnelTable, PrintShowsAddressAndIndex) {
    oftunnel_key key = v4("192.168.1.10");
    oftunnel_entry *e = oftunnel_entry_create(&table_, &key, 5);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(oftunnel_entry_print(e), "<IP:192.168.1.10, index:5>");
    oftunnel_key big = v4("255.255.255.255");
    oftunnel_entry *b = oftunnel_entry_create(&table_, &big, 4294967295u);
    ASSERT_NE(b, nullptr);
    const char *text = oftunnel_entry_print(b);
    EXPECT_STREQ(text, "<IP:255.255.255.255, index:4294967295>");
    EXPECT_EQ(oftunnel_entry_print(e), text) << "one static buffer, overwritten by each call";
}

TEST_F(TunnelTable, DeleteUnlinksOnceAndRefusesAnEntryOutsideATable) {
    oftunnel_key key = v4("10.1.1.1");
    oftunnel_entry *e = oftunnel_entry_create(&table_, &key, 3);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(oftunnel_entry_delete(e), 0);
    EXPECT_EQ(oftunnel_entry_find(&table_, &key), nullptr);
    EXPECT_EQ(table_.head.next, &table_.head);
    oftunnel_entry loose = {};  // never inserted: tree link 0
    EXPECT_EQ(oftunnel_entry_delete(&loose), -1);
    EXPECT_EQ(oftunnel_entry_delete(nullptr), -1);
}

TEST_F(TunnelTable, IndexZeroAndDuplicateKeysAreRefusedWithoutInserting) {
    oftunnel_key key = v4("172.16.0.9");
    g_lines.clear();
    EXPECT_EQ(oftunnel_entry_create(&table_, &key, 0), nullptr);
    EXPECT_EQ(oftunnel_entry_find(&table_, &key), nullptr);
    oftunnel_entry *e = oftunnel_entry_create(&table_, &key, 9);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(oftunnel_entry_create(&table_, &key, 10), nullptr);
    EXPECT_EQ(oftunnel_entry_find(&table_, &key), e);
    EXPECT_EQ(e->tunnel_index, 9u);
    EXPECT_EQ(in_order().size(), 1u);
    ASSERT_EQ(g_lines.size(), 2u);  // each refusal is logged as an error
    EXPECT_EQ(g_lines[0].rfind("ERRS ", 0), 0u);
    EXPECT_EQ(g_lines[1].rfind("ERRS ", 0), 0u);
    EXPECT_EQ(oftunnel_entry_create(nullptr, &key, 1), nullptr);
    EXPECT_EQ(oftunnel_entry_create(&table_, nullptr, 1), nullptr);
}

TEST_F(TunnelTable, RandomCreatesFindsAndDeletesMatchAnOrderedMap) {
    using Bytes = std::array<uint8_t, sizeof(oftunnel_key)>;
    std::mt19937 rng(20261205);
    std::map<Bytes, oftunnel_entry *> model;  // byte-wise order, as the table's
    for (int step = 0; step < 4000; step++) {
        oftunnel_key key = {};
        key.is_v6 = rng() % 2;
        key.reserved = rng() % 8 == 0;
        key.addr[0] = rng() % 4;
        key.addr[3] = rng() % 8;
        if (key.is_v6) key.addr[15] = rng() % 4;
        Bytes bytes;
        std::memcpy(bytes.data(), &key, sizeof key);
        auto it = model.find(bytes);
        oftunnel_entry *found = oftunnel_entry_find(&table_, &key);
        ASSERT_EQ(found, it == model.end() ? nullptr : it->second) << "step " << step;
        uint32_t op = rng() % 3;
        if (op == 0 && found != nullptr) {
            ASSERT_EQ(oftunnel_entry_delete(found), 0);
            model.erase(it);
        } else if (op != 0) {
            uint32_t index = rng() % 50;
            oftunnel_entry *e = oftunnel_entry_create(&table_, &key, index);
            if (found != nullptr || index == 0) {
                ASSERT_EQ(e, nullptr);
            } else {
                ASSERT_NE(e, nullptr);
                EXPECT_EQ(e->tunnel_index, index);
                model[bytes] = e;
            }
        }
        std::vector<const oftunnel_entry *> expected;
        for (auto &kv : model)
            expected.push_back(kv.second);
        ASSERT_EQ(in_order(), expected) << "step " << step;
    }
}

}  // namespace
