// Codec benches: decode (with every log line formatted, no sink, file logging off) and release,
// and encode, of the same messages; with BENCH_WITH_OVS the peer decodes the very same bytes
// in the same run. Each bench reports messages per second and heap allocations per message.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "alloc_count.hpp"
#include "messages.hpp"
#include "ofmsg.h"
#ifdef BENCH_WITH_OVS
#include "ovs_peer.h"
#endif

namespace {

struct MessageSet {
    std::string name;
    std::vector<bench::Message> messages;  // decoded in turn, one per iteration
};

// Each receive callback releases the body of the type it serves, as a host would.
template <uint8_t Type>
void release_typed(void *body, ofmsg *) {
    bench::release_body(Type, body);
}

template <size_t... I>
void register_release(std::index_sequence<I...>) {
    const ofmsg_rx_cb table[OFMSG_NUM_TYPES] = {release_typed<static_cast<uint8_t>(I)>...};
    ofmsg_register_callbacks(table);
}

void set_alloc_counter(benchmark::State &state, const bench::AllocCounts &before) {
    const bench::AllocCounts after = bench::alloc_counts();
    const double n = static_cast<double>(state.iterations());
    state.counters["allocs_per_msg"] = static_cast<double>(after.allocs - before.allocs) / n;
    state.counters["frees_per_msg"] = static_cast<double>(after.frees - before.frees) / n;
    state.SetItemsProcessed(state.iterations());
}

void decode_ofagent(benchmark::State &state, const MessageSet *set) {
    for (const bench::Message &m : set->messages) {
        if (ofmsg_rx_decode(nullptr, m.bytes.data(), static_cast<uint32_t>(m.bytes.size())) != 0) {
            state.SkipWithError(("ofagent refuses " + m.name).c_str());
            return;
        }
    }
    size_t i = 0;
    const size_t n = set->messages.size();
    const bench::AllocCounts before = bench::alloc_counts();
    for (auto _ : state) {
        const std::vector<uint8_t> &b = set->messages[i].bytes;
        benchmark::DoNotOptimize(
            ofmsg_rx_decode(nullptr, b.data(), static_cast<uint32_t>(b.size())));
        if (++i == n) i = 0;
    }
    set_alloc_counter(state, before);
}

void encode_ofagent(benchmark::State &state, const MessageSet *set) {
    struct Rec {
        uint8_t type;
        void *body;
    };
    std::vector<Rec> recs;
    for (const bench::Message &m : set->messages) {
        void *body = bench::decode_body(m.bytes);
        if (body == nullptr) {
            state.SkipWithError(("ofagent refuses " + m.name).c_str());
            for (Rec &r : recs)
                bench::release_body(r.type, r.body);
            return;
        }
        recs.push_back({m.bytes[1], body});
    }
    size_t i = 0;
    const size_t n = recs.size();
    const bench::AllocCounts before = bench::alloc_counts();
    for (auto _ : state) {
        uint8_t *buf = nullptr;
        uint32_t len = 0;
        benchmark::DoNotOptimize(ofmsg_tx_encode(recs[i].type, recs[i].body, 7, &buf, &len));
        std::free(buf);
        if (++i == n) i = 0;
    }
    set_alloc_counter(state, before);
    for (Rec &r : recs)
        bench::release_body(r.type, r.body);
}

// The allocations one decode of each message makes (same sizes, same order, zero-filled the
// library's way: malloc and a clear), then their release: what the record model costs before
// any byte is read or printed.
void allocation_floor(benchmark::State &state, const MessageSet *set) {
    constexpr size_t kCap = 4096;
    std::vector<std::vector<size_t>> plans;
    for (const bench::Message &m : set->messages) {
        static size_t sizes[kCap];
        bench::start_recording(sizes, kCap);
        const int32_t status =
            ofmsg_rx_decode(nullptr, m.bytes.data(), static_cast<uint32_t>(m.bytes.size()));
        const size_t n = bench::stop_recording();
        if (status != 0 || n > kCap) {
            state.SkipWithError(("cannot record the allocations of " + m.name).c_str());
            return;
        }
        plans.emplace_back(sizes, sizes + n);
    }
    std::vector<void *> blocks(kCap);
    size_t i = 0;
    const bench::AllocCounts before = bench::alloc_counts();
    for (auto _ : state) {
        const std::vector<size_t> &plan = plans[i];
        for (size_t k = 0; k < plan.size(); k++) {
            void *p = std::malloc(plan[k]);
            asm("" : "+r"(p));  // keeps the compiler from folding malloc and memset into calloc
            std::memset(p, 0, plan[k]);
            blocks[k] = p;
        }
        benchmark::DoNotOptimize(blocks.data());
        for (size_t k = 0; k < plan.size(); k++)
            std::free(blocks[k]);
        if (++i == plans.size()) i = 0;
    }
    set_alloc_counter(state, before);
}

#ifdef BENCH_WITH_OVS
void decode_ovs(benchmark::State &state, const MessageSet *set) {
    for (const bench::Message &m : set->messages) {
        if (ovs_peer_decode(m.bytes.data(), m.bytes.size()) < 1) {
            state.SkipWithError(("ovs refuses " + m.name).c_str());
            return;
        }
    }
    size_t i = 0;
    const size_t n = set->messages.size();
    const bench::AllocCounts before = bench::alloc_counts();
    for (auto _ : state) {
        const std::vector<uint8_t> &b = set->messages[i].bytes;
        benchmark::DoNotOptimize(ovs_peer_decode(b.data(), b.size()));
        if (++i == n) i = 0;
    }
    set_alloc_counter(state, before);
}
#endif

std::vector<MessageSet> build_sets() {
    std::vector<MessageSet> sets;
    std::vector<bench::Message> flows =
        bench::ovs_flow_mods(OFAGENT_SOURCE_DIR "/tests/data/ovs_flows.txt");
    if (flows.empty()) {
        std::fprintf(stderr, "bench: no flow-mods in tests/data/ovs_flows.txt\n");
        std::exit(1);
    }
    // The corpus also holds fields this agent does not match on (VLAN, DSCP...): keep the
    // flow-mods it accepts, so that both decoders do the same work.
    std::vector<bench::Message> accepted;
    for (bench::Message &m : flows) {
        void *body = bench::decode_body(m.bytes);
        if (body == nullptr) continue;
        bench::release_body(OFPT_FLOW_MOD, body);
        accepted.push_back(std::move(m));
    }
    std::fprintf(stderr, "bench: %zu of %zu OVS flow-mods in the corpus set\n", accepted.size(),
                 flows.size());
    sets.push_back({"flow_mod_88", {accepted.front()}});
    sets.push_back({"flow_mod_ovs_corpus", accepted});
    sets.push_back({"packet_in_128", {bench::packet_in_message(128)}});
    sets.push_back({"port_desc_48", {bench::port_desc_reply_message(48)}});
    sets.push_back({"flow_stats_100", {bench::flow_stats_reply_message(100)}});
    return sets;
}

}  // namespace

int main(int argc, char **argv) {
    // --iterations N runs every bench exactly N times (for instruction counting), not timed.
    int64_t fixed = 0;
    if (argc > 2 && !std::strcmp(argv[1], "--iterations")) {
        fixed = std::atoll(argv[2]);
        argv[2] = argv[0];
        argc -= 2;
        argv += 2;
    }
    oflog_init(nullptr, 1, nullptr, nullptr);  // every line is formatted; no sink, no file
    oflog_to_file_disable();
    register_release(std::make_index_sequence<OFMSG_NUM_TYPES>{});
    static const std::vector<MessageSet> sets = build_sets();
    std::vector<benchmark::internal::Benchmark *> all;
    for (const MessageSet &s : sets) {
        all.push_back(
            benchmark::RegisterBenchmark(("decode/ofagent/" + s.name).c_str(), decode_ofagent, &s));
#ifdef BENCH_WITH_OVS
        all.push_back(
            benchmark::RegisterBenchmark(("decode/ovs/" + s.name).c_str(), decode_ovs, &s));
#endif
        all.push_back(
            benchmark::RegisterBenchmark(("encode/ofagent/" + s.name).c_str(), encode_ofagent, &s));
        all.push_back(
            benchmark::RegisterBenchmark(("floor/allocs/" + s.name).c_str(), allocation_floor, &s));
    }
    if (fixed > 0)
        for (benchmark::internal::Benchmark *b : all)
            b->Iterations(fixed);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
