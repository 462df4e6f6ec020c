// The hash table against a model: long seeded random runs of every operation, with paused
// traversals and deletes (also from inside the callback) between pause and resume.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <unordered_map>
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

// Deliberately far outside the bucket range: the table must reduce it.
uint32_t wide_hash(void *key) {
    return static_cast<uint32_t>(num(key) * 2654435761u);
}
int same_key(void *a, void *b) {
    return a == b;
}

struct Model;
Model *g_model;  // the callbacks reach the running model through this

// Keys are small numbers; values are unique per element so that each visit names one element.
struct Model {
    gHash_table *hash = nullptr;
    std::unordered_map<uintptr_t, std::vector<uintptr_t>> chains;  // key -> values, newest last
    std::map<uintptr_t, uintptr_t> seq_of;                         // value -> insertion sequence
    uintptr_t next_value = 1000, next_seq = 1;
    uint32_t collisions = 0;
    std::mt19937 rng;

    // The pass in progress: what it must visit, what it did visit, in which order.
    bool in_pass = false;
    std::set<uintptr_t> must_visit, visited;
    std::vector<uintptr_t> order;
    int stop_after = 0, calls = 0;

    explicit Model(uint32_t seed) : rng(seed) {}

    uint32_t bucket(uintptr_t key) const { return wide_hash(ptr(key)) % kBuckets; }
    size_t size() const {
        size_t n = 0;
        for (auto &c : chains)
            n += c.second.size();
        return n;
    }
    bool bucket_used(uint32_t b) const {
        for (auto &c : chains)
            if (!c.second.empty() && bucket(c.first) == b) return true;
        return false;
    }
    uintptr_t key_of(uintptr_t value) const {
        for (auto &c : chains)
            for (uintptr_t v : c.second)
                if (v == value) return c.first;
        return 0;
    }
    void start_pass() {
        in_pass = true;
        must_visit.clear();
        visited.clear();
        order.clear();
        for (auto &c : chains)
            must_visit.insert(c.second.begin(), c.second.end());
    }
    void visit(uintptr_t value) {
        uintptr_t key = key_of(value);
        ASSERT_NE(key, 0u) << "visited an element that is not stored";
        ASSERT_TRUE(visited.insert(value).second) << "visited twice: " << value;
        if (!order.empty()) {
            uintptr_t prev = order.back();
            uintptr_t prev_key = key_of(prev);
            // Bucket order, then chain order (newest first) inside a bucket.
            if (prev_key != 0 && bucket(prev_key) == bucket(key)) {
                EXPECT_LT(seq_of[value], seq_of[prev]);
            } else if (prev_key != 0) {
                EXPECT_LT(bucket(prev_key), bucket(key));
            }
        }
        order.push_back(value);
    }
    void end_pass() {
        for (uintptr_t v : must_visit)
            EXPECT_TRUE(visited.count(v)) << "missed " << v;
        in_pass = false;
    }

    void insert(uintptr_t key) {
        uintptr_t value = next_value++;
        if (bucket_used(bucket(key))) collisions++;
        ASSERT_EQ(gHash_insert(hash, ptr(key), ptr(value)), 1);
        chains[key].push_back(value);
        seq_of[value] = next_seq++;
    }
    void erase(uintptr_t key) {
        auto &c = chains[key];
        ASSERT_EQ(gHash_delete(hash, ptr(key)), c.empty() ? 0 : 1);
        if (c.empty()) return;
        must_visit.erase(c.back());
        c.pop_back();
    }
    void update(uintptr_t key) {
        auto &c = chains[key];
        uintptr_t value = next_value++;
        ASSERT_EQ(gHash_update(hash, ptr(key), ptr(value)), c.empty() ? 0 : 1);
        if (c.empty()) return;
        // The element keeps its identity for the pass under its new value.
        seq_of[value] = seq_of[c.back()];
        if (must_visit.erase(c.back())) must_visit.insert(value);
        if (visited.erase(c.back())) visited.insert(value);
        for (auto &o : order)
            if (o == c.back()) o = value;
        c.back() = value;
    }
    void find(uintptr_t key) {
        auto it = chains.find(key);
        uintptr_t expected = (it == chains.end() || it->second.empty()) ? 0 : it->second.back();
        ASSERT_EQ(num(gHash_find(hash, ptr(key))), expected);
    }
    void check_counters() {
        ASSERT_EQ(hash->num_elems, size());
        ASSERT_EQ(hash->collisions, collisions);
    }
};

int model_traverse(void *key, void *value, void *arg) {
    Model &m = *g_model;
    EXPECT_EQ(arg, &m);
    EXPECT_EQ(m.key_of(num(value)), num(key));
    m.visit(num(value));
    // Now and then delete some element from inside the callback (maybe this one).
    if (m.rng() % 8 == 0) m.erase(m.rng() % 32 + 1);
    return ++m.calls == m.stop_after ? 0x100 | GHASH_TRAVERSE_STOP : 0x100;
}

std::vector<std::pair<uintptr_t, uintptr_t>> g_deleted;
void model_delete(void *key, void *value, void *arg) {
    EXPECT_EQ(arg, g_model);
    g_deleted.emplace_back(num(key), num(value));
}

void run_model(uint32_t seed, int steps) {
    Model m(seed);
    g_model = &m;
    m.hash = gHash_create(kBuckets, wide_hash, same_key, model_traverse, model_delete);
    ASSERT_NE(m.hash, nullptr);
    for (int step = 0; step < steps && !testing::Test::HasFatalFailure(); step++) {
        uintptr_t key = m.rng() % 32 + 1;
        uint32_t op = m.rng() % 100;
        if (op < 30) {
            m.insert(key);
        } else if (op < 45) {
            m.find(key);
        } else if (op < 55) {
            m.update(key);
        } else if (op < 72) {
            m.erase(key);
        } else if (op < 73) {
            g_deleted.clear();
            gHash_delete_all(m.hash, &m);
            size_t expected = m.size();
            EXPECT_EQ(g_deleted.size(), expected);
            for (auto &kv : g_deleted)
                EXPECT_EQ(m.key_of(kv.second), kv.first);
            m.chains.clear();
            m.collisions = 0;
            m.in_pass = false;
        } else if (op < 88) {
            // A traverse call: a fresh pass or the resumption of the paused one.
            uint8_t resume = m.rng() % 6 != 0;
            if (!resume || !m.in_pass) m.start_pass();
            m.calls = 0;
            m.stop_after = static_cast<int>(m.rng() % 6) + 1;
            gHash_traverse(m.hash, resume, &m);
            if (m.calls < m.stop_after) m.end_pass();
        } else {
            // Resuming after a finished pass or a delete_all must start a fresh pass.
            uint8_t resume = m.rng() % 6 != 0;
            if (!resume || !m.in_pass) m.start_pass();
            void *value = gHash_traverse_get_next(m.hash, resume);
            if (value == nullptr) {
                m.end_pass();
            } else {
                m.visit(num(value));
            }
        }
        m.check_counters();
    }
    gHash_destroy(m.hash);
    g_model = nullptr;
}

TEST(HashTableModel, RandomOperationSequencesMatchTheModel) {
    for (uint32_t seed = 1; seed <= 40; seed++) {
        SCOPED_TRACE(seed);
        run_model(seed, 3000);
        if (HasFailure()) return;
    }
}

uint32_t low_hash(void *key) {
    return static_cast<uint32_t>(num(key)) % 3;
}
int count_visit(void *, void *, void *arg) {
    ++*static_cast<int *>(arg);
    return 0;
}

TEST(HashTable, CreateRefusesZeroBucketsAndMissingFunctions) {
    EXPECT_EQ(gHash_create(0, low_hash, same_key, nullptr, nullptr), nullptr);
    EXPECT_EQ(gHash_create(4, nullptr, same_key, nullptr, nullptr), nullptr);
    EXPECT_EQ(gHash_create(4, low_hash, nullptr, nullptr, nullptr), nullptr);
}

TEST(HashTable, CollisionsCountInsertsIntoOccupiedBucketsUntilDeleteAll) {
    gHash_table *h = gHash_create(3, low_hash, same_key, count_visit, nullptr);
    ASSERT_NE(h, nullptr);
    gHash_insert(h, ptr(1), ptr(10));
    gHash_insert(h, ptr(2), ptr(20));
    EXPECT_EQ(h->collisions, 0u);
    gHash_insert(h, ptr(4), ptr(40));  // bucket 1 again
    gHash_insert(h, ptr(1), ptr(11));  // same key, same bucket
    EXPECT_EQ(h->collisions, 2u);
    EXPECT_EQ(gHash_delete(h, ptr(4)), 1);
    EXPECT_EQ(h->collisions, 2u) << "a delete never lowers the counter";
    // No delete_fn: bulk delete still frees every node.
    gHash_delete_all(h, nullptr);
    EXPECT_EQ(h->num_elems, 0u);
    EXPECT_EQ(h->collisions, 0u);
    EXPECT_EQ(gHash_find(h, ptr(1)), nullptr);
    gHash_destroy(h);
}

TEST(HashTable, HashResultsBeyondTheBucketCountStayInsideTheArray) {
    gHash_table *h = gHash_create(5, wide_hash, same_key, count_visit, nullptr);
    ASSERT_NE(h, nullptr);
    for (uintptr_t k = 1; k <= 50; k++)
        ASSERT_EQ(gHash_insert(h, ptr(k), ptr(k + 100)), 1);
    for (uintptr_t k = 1; k <= 50; k++)
        EXPECT_EQ(num(gHash_find(h, ptr(k))), k + 100);
    int visits = 0;
    gHash_traverse(h, 0, &visits);
    EXPECT_EQ(visits, 50);
    gHash_destroy(h);
}

TEST(HashTable, StoppingOnTheLastElementLeavesNothingToResume) {
    gHash_table *h = gHash_create(3, low_hash, same_key, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    gHash_insert(h, ptr(2), ptr(20));  // the only element, in the last bucket
    h->traverse_fn = [](void *, void *, void *arg) {
        ++*static_cast<int *>(arg);
        return GHASH_TRAVERSE_STOP;
    };
    int visits = 0;
    gHash_traverse(h, 0, &visits);
    gHash_traverse(h, 1, &visits);
    EXPECT_EQ(visits, 1) << "the resumed pass must not start over";
    gHash_traverse(h, 1, &visits);
    EXPECT_EQ(visits, 2) << "after the finished pass a resume starts a new one";
    gHash_destroy(h);
}

TEST(HashTable, NullTableIsHarmless) {
    EXPECT_EQ(gHash_insert(nullptr, ptr(1), ptr(1)), 0);
    EXPECT_EQ(gHash_find(nullptr, ptr(1)), nullptr);
    EXPECT_EQ(gHash_update(nullptr, ptr(1), ptr(1)), 0);
    EXPECT_EQ(gHash_delete(nullptr, ptr(1)), 0);
    EXPECT_EQ(gHash_traverse_get_next(nullptr, 0), nullptr);
    gHash_traverse(nullptr, 0, nullptr);
    gHash_delete_all(nullptr, nullptr);
    gHash_destroy(nullptr);
}

}  // namespace
