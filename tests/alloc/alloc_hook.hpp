// An allocator that fails on request: the suite is linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=strdup,--wrap=free, so every
// allocation made by the library objects (and the reference host platform) linked into it
// goes through here. While armed, allocations are counted and the chosen one fails; blocks
// handed out while armed are remembered until freed, so a leak shows as a live block.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace alloc_hook {

struct Tally {
    uint64_t calls;  // allocation calls while armed
    bool failed;     // the chosen one was reached and failed
};

// Starts counting from zero; the fail_at-th allocation (1 for the first) fails, 0 for none.
void arm(uint64_t fail_at);
Tally disarm();
// Blocks allocated while armed and not freed since.
size_t live();

// Runs op once to warm up (platform tables reach their working size outside the count), once
// armed to count its allocations (K), then K more times failing the 1st, ... K-th in turn;
// check(outcome, n) asserts each, n the failing allocation or 0 for the clean run. Returns K.
template <class Op, class Check>
uint64_t sweep(Op op, Check check) {
    op();
    arm(0);
    auto clean = op();
    const uint64_t calls = disarm().calls;
    check(clean, uint64_t{0});
    for (uint64_t n = 1; n <= calls; n++) {
        arm(n);
        auto outcome = op();
        const bool failed = disarm().failed;
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(calls));
        EXPECT_TRUE(failed);
        check(outcome, n);
    }
    return calls;
}

}  // namespace alloc_hook
