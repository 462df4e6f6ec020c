/*
 * Generic hash table with separate chaining, for the host.
 *
 * The table stores opaque key and value pointers and never copies or frees them; it owns only
 * its record, its bucket array and its chain nodes. The bucket count is fixed at creation.
 * A traversal can pause (the callback returns GHASH_TRAVERSE_STOP) and resume later; deleting
 * elements while it is paused is allowed. Not thread-safe: use a table from one thread at a time.
 */
#ifndef GHASH_H
#define GHASH_H

#include <stdint.h>

#include "ofagent_export.h"

OFAGENT_BEGIN_DECLS

/* A traverse callback result whose low byte is this value pauses the traversal. */
#define GHASH_TRAVERSE_STOP 2

/* Bucket index of a key; a result >= num_buckets is reduced modulo num_buckets. */
typedef uint32_t (*gHash_hash_fn)(void *key);
/* Non-zero when the searched key equals the stored key. */
typedef int (*gHash_cmp_fn)(void *searched_key, void *stored_key);
/* Called for each element by gHash_traverse; only the low byte of the result is examined. */
typedef int (*gHash_traverse_fn)(void *key, void *value, void *arg);
/* Called for each element by gHash_delete_all so that the holder can free key and value. */
typedef void (*gHash_delete_fn)(void *key, void *value, void *arg);

typedef struct gHash_node {
    void *key;
    void *value;
    struct gHash_node *next; /* next node of the same bucket, or null */
} gHash_node;

typedef struct gHash_table {
    uint32_t num_buckets; /* fixed at creation, never 0 */
    gHash_node **buckets; /* chain heads; null = empty bucket */
    uint32_t num_elems;
    uint32_t collisions; /* insertions that found their bucket non-empty */
    gHash_hash_fn hash_fn;
    gHash_cmp_fn cmp_fn;
    gHash_traverse_fn traverse_fn;
    gHash_delete_fn delete_fn;
    gHash_node *cursor_node; /* where a paused traversal resumes inside cursor_bucket */
    uint32_t cursor_bucket;
} gHash_table;

/* A new empty table, or null when num_buckets is 0, hash_fn or cmp_fn is null, or memory runs
 * out. traverse_fn and delete_fn may be null (no traversal; bulk delete without callback). */
OFAGENT_API gHash_table *gHash_create(uint32_t num_buckets, gHash_hash_fn hash_fn,
                                      gHash_cmp_fn cmp_fn, gHash_traverse_fn traverse_fn,
                                      gHash_delete_fn delete_fn);
/* Frees the nodes, the buckets and the record; calls no callback. */
OFAGENT_API void gHash_destroy(gHash_table *hash);
/* 1 when stored (at the head of its chain, shadowing an older equal key), 0 when out of memory. */
OFAGENT_API int gHash_insert(gHash_table *hash, void *key, void *value);
/* The value of the first equal key, or null. */
OFAGENT_API void *gHash_find(gHash_table *hash, void *key);
/* Replaces the value of the first equal key: 1, or 0 when absent. */
OFAGENT_API int gHash_update(gHash_table *hash, void *key, void *value);
/* Removes the first equal key: 1, or 0 when absent. Calls no callback. */
OFAGENT_API int gHash_delete(gHash_table *hash, void *key);
/* Empties the table, calling delete_fn (when set) for each element with arg. */
OFAGENT_API void gHash_delete_all(gHash_table *hash, void *arg);
/* Calls traverse_fn on each element, from the start (resume 0) or from the paused position. */
OFAGENT_API void gHash_traverse(gHash_table *hash, uint8_t resume, void *arg);
/* The value of the next element (from the start when resume is 0), or null at the end. */
OFAGENT_API void *gHash_traverse_get_next(gHash_table *hash, uint8_t resume);

OFAGENT_END_DECLS

#endif /* GHASH_H */
