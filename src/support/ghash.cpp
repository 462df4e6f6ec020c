// Generic chained hash table. The traversal cursor always names the next node to visit, so a
// delete between a pause and its resume (or inside the callback) never leaves it dangling.
#include "ghash.h"

#include <cassert>
#include <cstdlib>

namespace ofagent {
namespace {

// Reduced so that a careless hash function can never index outside the bucket array.
uint32_t bucket_of(const gHash_table *hash, void *key) {
    return hash->hash_fn(key) % hash->num_buckets;
}

void cursor_reset(gHash_table *hash) {
    hash->cursor_node = nullptr;
    hash->cursor_bucket = 0;
}

// Points the cursor at the node after `node` of bucket b, or at the head of the next bucket.
void cursor_past(gHash_table *hash, uint32_t b, gHash_node *node) {
    hash->cursor_node = node->next;
    hash->cursor_bucket = node->next != nullptr ? b : b + 1;
}

// The link that holds the first node equal to key (the bucket head or a predecessor's next).
gHash_node **lookup_link(gHash_table *hash, void *key, uint32_t *bucket) {
    uint32_t b = bucket_of(hash, key);
    if (bucket != nullptr) *bucket = b;
    gHash_node **link = &hash->buckets[b];
    while (*link != nullptr && hash->cmp_fn(key, (*link)->key) == 0)
        link = &(*link)->next;
    return link;
}

gHash_node *lookup_node(gHash_table *hash, void *key) {
    if (hash == nullptr) return nullptr;
    return *lookup_link(hash, key, nullptr);
}

// The next node a resumed pass visits, moving the cursor past it; null at the end of the pass.
gHash_node *cursor_take(gHash_table *hash) {
    while (hash->cursor_bucket < hash->num_buckets) {
        uint32_t b = hash->cursor_bucket;
        gHash_node *node = hash->cursor_node != nullptr ? hash->cursor_node : hash->buckets[b];
        if (node != nullptr) {
            cursor_past(hash, b, node);
            return node;
        }
        hash->cursor_bucket = b + 1;
    }
    cursor_reset(hash);
    return nullptr;
}

}  // namespace
}  // namespace ofagent

using namespace ofagent;

extern "C" {

gHash_table *gHash_create(uint32_t num_buckets, gHash_hash_fn hash_fn, gHash_cmp_fn cmp_fn,
                          gHash_traverse_fn traverse_fn, gHash_delete_fn delete_fn) {
    if (num_buckets == 0 || hash_fn == nullptr || cmp_fn == nullptr) return nullptr;
    auto *hash = static_cast<gHash_table *>(calloc(1, sizeof(gHash_table)));
    if (hash == nullptr) return nullptr;
    hash->buckets = static_cast<gHash_node **>(calloc(num_buckets, sizeof(gHash_node *)));
    if (hash->buckets == nullptr) {
        free(hash);
        return nullptr;
    }
    hash->num_buckets = num_buckets;
    hash->hash_fn = hash_fn;
    hash->cmp_fn = cmp_fn;
    hash->traverse_fn = traverse_fn;
    hash->delete_fn = delete_fn;
    return hash;
}

void gHash_destroy(gHash_table *hash) {
    if (hash == nullptr) return;
    for (uint32_t b = 0; b < hash->num_buckets; b++) {
        gHash_node *node = hash->buckets[b];
        while (node != nullptr) {
            gHash_node *next = node->next;
            free(node);
            node = next;
        }
    }
    free(hash->buckets);
    free(hash);
}

int gHash_insert(gHash_table *hash, void *key, void *value) {
    if (hash == nullptr) return 0;
    auto *node = static_cast<gHash_node *>(calloc(1, sizeof(gHash_node)));
    if (node == nullptr) return 0;
    uint32_t b = bucket_of(hash, key);
    node->key = key;
    node->value = value;
    if (hash->buckets[b] != nullptr) {
        node->next = hash->buckets[b];
        hash->collisions++;
    }
    hash->buckets[b] = node;
    hash->num_elems++;
    return 1;
}

void *gHash_find(gHash_table *hash, void *key) {
    gHash_node *node = lookup_node(hash, key);
    return node != nullptr ? node->value : nullptr;
}

int gHash_update(gHash_table *hash, void *key, void *value) {
    gHash_node *node = lookup_node(hash, key);
    if (node == nullptr) return 0;
    node->value = value;
    return 1;
}

int gHash_delete(gHash_table *hash, void *key) {
    if (hash == nullptr) return 0;
    uint32_t b = 0;
    gHash_node **link = lookup_link(hash, key, &b);
    gHash_node *node = *link;
    if (node == nullptr) return 0;
    if (node == hash->cursor_node) cursor_past(hash, b, node);
    *link = node->next;
    free(node);
    hash->num_elems--;
    return 1;
}

void gHash_delete_all(gHash_table *hash, void *arg) {
    if (hash == nullptr) return;
    for (uint32_t b = 0; b < hash->num_buckets; b++) {
        // Detached first, so that the table is already consistent while delete_fn runs.
        gHash_node *node = hash->buckets[b];
        hash->buckets[b] = nullptr;
        while (node != nullptr) {
            gHash_node *next = node->next;
            if (hash->delete_fn != nullptr) hash->delete_fn(node->key, node->value, arg);
            free(node);
            hash->num_elems--;
            node = next;
        }
    }
    cursor_reset(hash);
    hash->collisions = 0;
    assert(hash->num_elems == 0);
}

void gHash_traverse(gHash_table *hash, uint8_t resume, void *arg) {
    if (hash == nullptr) return;
    if (resume == 0) cursor_reset(hash);
    if (hash->traverse_fn == nullptr) return;
    // The cursor moves past each node before its callback runs, so the callback may delete it.
    while (gHash_node *node = cursor_take(hash)) {
        int result = hash->traverse_fn(node->key, node->value, arg);
        if ((result & 0xff) == GHASH_TRAVERSE_STOP) return;
    }
}

void *gHash_traverse_get_next(gHash_table *hash, uint8_t resume) {
    if (hash == nullptr) return nullptr;
    if (resume == 0) cursor_reset(hash);
    gHash_node *node = cursor_take(hash);
    return node != nullptr ? node->value : nullptr;
}

}  // extern "C"
