// The hash table against a model: long seeded random runs of every operation, with paused
// traversals, deletes between pause and resume (and inside the callback), and bulk deletes.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "ghash.h"

namespace {

constexpr uint32_t kBuckets = 5;
void *ptr(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}
uintptr_t num(void *p) {
    return reinterpret_cast<uintptr_t>(p);
}
// Far outside the bucket range: the table must reduce it.
uint32_t wide_hash(void *key) {
    return static_cast<uint32_t>(num(key) * 2654435761u);
}
int same_key(void *a, void *b) {
    return a == b;
}

// Keys are 1..32; each element has a unique id, and its value is a fresh number per insert
// or update, mapped back to the id.
struct Model {
    gHash_table *hash;
    std::mt19937 rng;
    Model(gHash_table *h, uint32_t seed) : hash(h), rng(seed) {}
    std::map<uintptr_t, std::vector<uintptr_t>> ids;  // key -> element ids, newest last
    std::map<uintptr_t, uintptr_t> id_of, value_of;   // value -> id, id -> current value
    uintptr_t next = 1;
    uint32_t collisions = 0;
    bool in_pass = false;  // a pass is paused; what it still must visit and what it did
    std::set<uintptr_t> must, seen;
    uintptr_t last = 0;  // id of the element visited before, 0 at a pass start
    int calls = 0, stop_after = 0;
    std::vector<std::pair<uintptr_t, uintptr_t>> deleted;

    static uint32_t bucket(uintptr_t key) { return wide_hash(ptr(key)) % kBuckets; }
    uintptr_t key_of(uintptr_t id) {
        for (auto &[k, v] : ids)
            for (uintptr_t i : v)
                if (i == id) return k;
        return 0;
    }
    void start() {
        in_pass = true, must.clear(), seen.clear(), last = 0;
        for (auto &[k, v] : ids)
            must.insert(v.begin(), v.end());
    }
    void visit(uintptr_t value) {
        uintptr_t id = id_of[value], key = key_of(id);
        ASSERT_NE(key, 0u) << "visited an element that is not stored";
        ASSERT_TRUE(seen.insert(id).second) << "visited twice";
        // Bucket order, then chain order (newest, i.e. highest id, first).
        uintptr_t lk = key_of(last);
        EXPECT_TRUE(lk == 0 || (bucket(lk) == bucket(key) ? id < last : bucket(lk) < bucket(key)))
            << "visit order";
        last = id;
    }
    void end() {
        for (uintptr_t id : must)
            EXPECT_TRUE(seen.count(id)) << "pass missed an element";
        in_pass = false;
    }
    size_t size() const {
        size_t n = 0;
        for (auto &[k, v] : ids)
            n += v.size();
        return n;
    }
    void set_value(uintptr_t id) { id_of[next] = id, value_of[id] = next++; }
    void insert(uintptr_t key) {
        bool used = false;
        for (auto &[k, v] : ids)
            used |= !v.empty() && bucket(k) == bucket(key);
        collisions += used;
        uintptr_t id = next;
        set_value(id);
        ASSERT_EQ(gHash_insert(hash, ptr(key), ptr(value_of[id])), 1);
        ids[key].push_back(id);
    }
    void erase(uintptr_t key) {
        auto &v = ids[key];
        ASSERT_EQ(gHash_delete(hash, ptr(key)), v.empty() ? 0 : 1);
        if (!v.empty()) must.erase(v.back()), v.pop_back();
    }
    void update(uintptr_t key) {
        auto &v = ids[key];
        if (!v.empty()) set_value(v.back());
        ASSERT_EQ(gHash_update(hash, ptr(key), ptr(v.empty() ? 1 : value_of[v.back()])),
                  v.empty() ? 0 : 1);
    }
};
Model *g_m;

int model_traverse(void *key, void *value, void *arg) {
    EXPECT_EQ(arg, g_m);
    g_m->visit(num(value));
    EXPECT_EQ(g_m->key_of(g_m->id_of[num(value)]), num(key));
    if (g_m->rng() % 8 == 0) g_m->erase(g_m->rng() % 32 + 1);  // may be this very element
    return ++g_m->calls == g_m->stop_after ? 0x300 | GHASH_TRAVERSE_STOP : 0x300;
}
void model_delete(void *key, void *value, void *arg) {
    EXPECT_EQ(arg, g_m);
    g_m->deleted.emplace_back(num(key), num(value));
}

TEST(HashTableModel, RandomOperationSequencesMatchTheModel) {
    EXPECT_EQ(gHash_create(0, wide_hash, same_key, nullptr, nullptr), nullptr);
    gHash_table *bare = gHash_create(1, wide_hash, same_key, nullptr, nullptr);
    gHash_insert(bare, ptr(1), ptr(10));
    gHash_insert(bare, ptr(2), ptr(20));
    gHash_delete_all(bare, nullptr);  // no delete function to call
    EXPECT_TRUE(bare->num_elems == 0 && bare->collisions == 0 && !gHash_find(bare, ptr(1)));
    gHash_destroy(bare);
    for (uint32_t seed = 1; seed <= 40 && !HasFailure(); seed++) {
        SCOPED_TRACE(seed);
        Model m(gHash_create(kBuckets, wide_hash, same_key, model_traverse, model_delete), seed);
        g_m = &m;
        for (int step = 0; step < 3000 && !HasFatalFailure(); step++) {
            uintptr_t key = m.rng() % 32 + 1, op = m.rng() % 100;
            // A resume after a finished pass or a delete_all must start a fresh pass.
            uint8_t resume = m.rng() % 6 != 0;
            if (op >= 73 && (!resume || !m.in_pass)) m.start();
            if (op < 30) {
                m.insert(key);
            } else if (op < 45) {
                auto &v = m.ids[key];
                ASSERT_EQ(num(gHash_find(m.hash, ptr(key))), v.empty() ? 0 : m.value_of[v.back()]);
            } else if (op < 55) {
                m.update(key);
            } else if (op < 72) {
                m.erase(key);
            } else if (op < 73) {
                m.deleted.clear();
                gHash_delete_all(m.hash, &m);
                std::set<std::pair<uintptr_t, uintptr_t>> expected;
                for (auto &[k, v] : m.ids)
                    for (uintptr_t id : v)
                        expected.emplace(k, m.value_of[id]);
                EXPECT_EQ(std::set(m.deleted.begin(), m.deleted.end()), expected);
                EXPECT_EQ(m.deleted.size(), expected.size());
                m.ids.clear(), m.collisions = 0, m.in_pass = false;
            } else if (op < 88) {
                m.calls = 0, m.stop_after = static_cast<int>(m.rng() % 6) + 1;
                gHash_traverse(m.hash, resume, &m);
                if (m.calls < m.stop_after) m.end();
            } else if (void *value = gHash_traverse_get_next(m.hash, resume)) {
                m.visit(num(value));
            } else {
                m.end();
            }
            ASSERT_EQ(m.hash->num_elems, m.size());
            ASSERT_EQ(m.hash->collisions, m.collisions);
        }
        gHash_destroy(m.hash);
    }
}

}  // namespace
