// Tunnel table over the platform's AVL utilities: entries are ordered by a byte comparison of
// their 18-byte key, so the key struct must have no padding.
#include "oftunnel.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../support/oflog_internal.hpp"

static_assert(sizeof(oftunnel_key) == 18, "tunnel key must be 18 bytes without padding");
static_assert(offsetof(oftunnel_key, addr) == 2, "address follows is_v6 and reserved");
static_assert(offsetof(oftunnel_entry, node) == 0, "the AVL node header comes first");

namespace ofagent {
namespace {

char oftunnel_print_buf[256];

int oftunnel_key_cmp(const void *searched_key, const void *node_key) {
    return memcmp(searched_key, node_key, sizeof(oftunnel_key));
}

// Links a fresh entry into the table; false (nothing linked) when its key is already there.
bool oftunnel_entry_insert(oftunnel_table *table, oftunnel_entry *entry) {
    entry->node.key = &entry->key;
    entry->node.data = entry;
    entry->node.up = nullptr;
    savl_node *where_node = nullptr;
    int where_side = 0;
    if (savl_find(&table->tree, &entry->key, &where_node, &where_side) != nullptr) return false;
    savl_insert(&entry->node, where_node, where_side);
    return entry->node.up != nullptr;
}

}  // namespace
}  // namespace ofagent

using namespace ofagent;

extern "C" {

void oftunnel_init(oftunnel_table *table) {
    OFLOG(OFLOG_INFO, "Init");
    if (table == nullptr) return;
    memset(table, 0, sizeof(*table));
    table->tree.head.prev = &table->tree.head;
    table->tree.head.next = &table->tree.head;
    table->tree.cmp = oftunnel_key_cmp;
}

oftunnel_entry *oftunnel_entry_create(oftunnel_table *table, const oftunnel_key *key,
                                      uint32_t tunnel_index) {
    if (table == nullptr || key == nullptr) return nullptr;
    if (tunnel_index == 0) {
        OFLOG(OFLOG_ERRS, "Tunnel index 0 is not allowed");
        return nullptr;
    }
    auto *entry = static_cast<oftunnel_entry *>(calloc(1, sizeof(oftunnel_entry)));
    if (entry == nullptr) return nullptr;
    memcpy(&entry->key, key, sizeof(entry->key));
    entry->tunnel_index = tunnel_index;
    if (!oftunnel_entry_insert(table, entry)) {
        OFLOG(OFLOG_ERRS, "Tunnel entry already exists %s", oftunnel_entry_print(entry));
        free(entry);
        return nullptr;
    }
    return entry;
}

oftunnel_entry *oftunnel_entry_find(oftunnel_table *table, const oftunnel_key *key) {
    if (table == nullptr || key == nullptr) return nullptr;
    savl_node *where_node = nullptr;
    int where_side = 0;
    savl_node *node = savl_find(&table->tree, key, &where_node, &where_side);
    return node != nullptr ? static_cast<oftunnel_entry *>(node->data) : nullptr;
}

int oftunnel_entry_delete(oftunnel_entry *entry) {
    if (entry == nullptr || entry->node.up == nullptr) return -1;
    savl_delete(&entry->node);
    free(entry);
    return 0;
}

uint8_t oftunnel_entry_is_v6(const oftunnel_entry *entry) {
    return entry != nullptr ? entry->key.is_v6 : 0;
}

const char *oftunnel_entry_print(const oftunnel_entry *entry) {
    memset(oftunnel_print_buf, 0, sizeof(oftunnel_print_buf));
    if (entry == nullptr) return oftunnel_print_buf;
    char ip[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, entry->key.addr, ip, sizeof(ip));
    snprintf(oftunnel_print_buf, sizeof(oftunnel_print_buf), "<IP:%s, index:%u>", ip,
             static_cast<unsigned>(entry->tunnel_index));
    return oftunnel_print_buf;
}

}  // extern "C"
