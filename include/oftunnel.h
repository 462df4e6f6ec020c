/*
 * Tunnel table: the host's tunnel endpoints, one per address, each with a tunnel index, kept
 * in an ordered set (the platform's AVL utilities). The host owns the table record; the table
 * owns its entries from oftunnel_entry_create until oftunnel_entry_delete.
 * Not thread-safe: use it from the host's event thread only.
 */
#ifndef OFTUNNEL_H
#define OFTUNNEL_H

#include <stdint.h>

#include "ofagent_export.h"
#include "ofplatform.h"

OFAGENT_BEGIN_DECLS

/* 18 bytes, compared as a whole: IPv4 keys sort before IPv6 keys, then by reserved byte, then
 * by address in network order. */
typedef struct oftunnel_key {
    uint8_t is_v6;    /* non-zero for IPv6 */
    uint8_t reserved; /* no meaning, but part of the key */
    uint8_t addr[16]; /* network byte order; IPv4 uses the first 4 bytes, the rest 0 */
} oftunnel_key;

typedef struct oftunnel_entry {
    savl_node node; /* linked by the AVL utilities; key and data point at this entry */
    oftunnel_key key;
    uint32_t tunnel_index; /* never 0 */
} oftunnel_entry;

/* The host allocates the table and calls oftunnel_init before use. */
typedef struct oftunnel_table {
    savl_tree tree; /* the AVL head; tree.head.next walks the entries in key order */
} oftunnel_table;

/* Logs "Init" and sets the table empty. */
OFAGENT_API void oftunnel_init(oftunnel_table *table);
/* A new entry holding a copy of key, or null (nothing inserted) when tunnel_index is 0, the key
 * is already in the table or memory runs out. */
OFAGENT_API oftunnel_entry *oftunnel_entry_create(oftunnel_table *table, const oftunnel_key *key,
                                                  uint32_t tunnel_index);
/* The entry whose 18 key bytes equal key, or null. */
OFAGENT_API oftunnel_entry *oftunnel_entry_find(oftunnel_table *table, const oftunnel_key *key);
/* 0 when the entry was in a table and is now unlinked and freed; -1 (nothing done) otherwise. */
OFAGENT_API int oftunnel_entry_delete(oftunnel_entry *entry);
/* The is_v6 byte of the entry's key. */
OFAGENT_API uint8_t oftunnel_entry_is_v6(const oftunnel_entry *entry);
/* "<IP:a.b.c.d, index:N>" from the first four address bytes, in a static buffer that the next
 * call overwrites. */
OFAGENT_API const char *oftunnel_entry_print(const oftunnel_entry *entry);

OFAGENT_END_DECLS

#endif /* OFTUNNEL_H */
