// Counting allocator: the bench binary defines the C heap functions itself and forwards them to
// glibc's internal entry points, so every allocation of the library, the peer codec and the
// bench is counted without changing what gets allocated. Counters are plain integers: the
// benches run on one thread.
#include "alloc_count.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>

extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t n);
void __libc_free(void *p);
void *__libc_memalign(size_t align, size_t n);
}

namespace {

uint64_t g_allocs;
uint64_t g_frees;
uint64_t g_bytes;
size_t *g_rec;
size_t g_rec_cap;
size_t g_rec_len;

void *counted(void *p, size_t n) {
    if (p != nullptr) {
        g_allocs++;
        g_bytes += n;
        if (g_rec != nullptr && g_rec_len++ < g_rec_cap) g_rec[g_rec_len - 1] = n;
    }
    return p;
}

}  // namespace

namespace bench {

AllocCounts alloc_counts() {
    return AllocCounts{g_allocs, g_frees, g_bytes};
}

void start_recording(size_t *sizes, size_t cap) {
    g_rec_len = 0;
    g_rec_cap = cap;
    g_rec = sizes;
}

size_t stop_recording() {
    g_rec = nullptr;
    return g_rec_len;
}

}  // namespace bench

extern "C" {

void *malloc(size_t n) {
    return counted(__libc_malloc(n), n);
}

void *calloc(size_t n, size_t size) {
    return counted(__libc_calloc(n, size), n * size);
}

void *realloc(void *p, size_t n) {
    if (p == nullptr) return counted(__libc_realloc(p, n), n);
    return __libc_realloc(p, n);  // a resize is neither a new block nor a release
}

void free(void *p) {
    if (p != nullptr) g_frees++;
    __libc_free(p);
}

void *memalign(size_t align, size_t n) {
    return counted(__libc_memalign(align, n), n);
}

void *aligned_alloc(size_t align, size_t n) {
    return counted(__libc_memalign(align, n), n);
}

int posix_memalign(void **out, size_t align, size_t n) {
    void *p = counted(__libc_memalign(align, n), n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"
