// Heap calls made by this process, counted by the allocator this bench binary interposes over
// the C library's (malloc, calloc, realloc, free and their aligned forms).
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

struct AllocCounts {
    uint64_t allocs;  // successful malloc, calloc, realloc of a null pointer, aligned forms
    uint64_t frees;   // free of a non-null pointer
    uint64_t bytes;   // bytes requested by the allocations above
};

AllocCounts alloc_counts();

// Records the size of every allocation into sizes[0..cap) until stop_recording, which returns
// how many were made (only the first cap are kept). No allocation happens while recording.
void start_recording(size_t *sizes, size_t cap);
size_t stop_recording();

}  // namespace bench
