// An allocator that fails on request: the suite is linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=strdup,--wrap=free, so every
// allocation made by the library objects (and the reference host platform) linked into it
// goes through here. While armed, allocations are counted and the chosen one fails; blocks
// handed out while armed are remembered until freed, so a leak shows as a live block.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace alloc_hook
