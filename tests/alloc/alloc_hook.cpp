// The wrapped allocation functions behind alloc_hook.hpp. They keep no allocations of their
// own: the live set is a fixed table, so the hook never calls the functions it wraps.
#include "alloc_hook.hpp"

#include <cerrno>
#include <cstring>

extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t n);
char *__real_strdup(const char *s);
void __real_free(void *p);
}

namespace {

constexpr size_t kMaxLive = 4096;

bool g_armed;
uint64_t g_calls, g_fail_at;
bool g_failed;
void *g_live[kMaxLive];
size_t g_nlive;

// Counts one allocation; true when this one is to fail.
bool must_fail() {
    if (!g_armed) return false;
    if (++g_calls != g_fail_at) return false;
    g_failed = true;
    errno = ENOMEM;
    return true;
}

void remember(void *p) {
    if (!g_armed || !p) return;
    if (g_nlive < kMaxLive) g_live[g_nlive++] = p;
}

void forget(void *p) {
    for (size_t i = 0; p && i < g_nlive; i++) {
        if (g_live[i] != p) continue;
        g_live[i] = g_live[--g_nlive];
        return;
    }
}

}  // namespace

namespace alloc_hook {

void arm(uint64_t fail_at) {
    g_calls = 0;
    g_fail_at = fail_at;
    g_failed = false;
    g_nlive = 0;
    g_armed = true;
}

Tally disarm() {
    g_armed = false;
    return Tally{g_calls, g_failed};
}

size_t live() {
    return g_nlive;
}

}  // namespace alloc_hook

extern "C" {

void *__wrap_malloc(size_t n) {
    if (must_fail()) return nullptr;
    void *p = __real_malloc(n);
    remember(p);
    return p;
}

void *__wrap_calloc(size_t n, size_t size) {
    if (must_fail()) return nullptr;
    void *p = __real_calloc(n, size);
    remember(p);
    return p;
}

void *__wrap_realloc(void *old, size_t n) {
    if (must_fail()) return nullptr;
    void *p = __real_realloc(old, n);
    if (p) {
        forget(old);
        remember(p);
    }
    return p;
}

char *__wrap_strdup(const char *s) {
    if (must_fail()) return nullptr;
    char *p = __real_strdup(s);
    remember(p);
    return p;
}

void __wrap_free(void *p) {
    forget(p);
    __real_free(p);
}

}  // extern "C"
