// The public headers compile as C++ and describe the same record layouts as they do in C.
#include <cstddef>
#include <cstdio>

extern "C" {
#include "all_headers.h"
}
#include "layouts.h"

extern "C" const size_t ofagent_c_layout[];
extern "C" const size_t ofagent_c_layout_count;

int main() {
#define OFFSET_AND_SIZE(rec, member) offsetof(rec, member), sizeof(rec),
    static const size_t cxx[] = {OFAGENT_ABI_LAYOUTS(OFFSET_AND_SIZE) 0};
    static const char *const names[] = {
#define NAME(rec, member) #rec "." #member, #rec " size",
        OFAGENT_ABI_LAYOUTS(NAME) "end"};
    if (ofagent_c_layout_count != sizeof cxx / sizeof cxx[0]) {
        std::fprintf(stderr, "layout tables differ in length\n");
        return 1;
    }
    int bad = 0;
    for (size_t i = 0; i < ofagent_c_layout_count; i++) {
        if (ofagent_c_layout[i] != cxx[i]) {
            std::fprintf(stderr, "%s: C says %zu, C++ says %zu\n", names[i], ofagent_c_layout[i],
                         cxx[i]);
            bad = 1;
        }
    }
    if (!bad) std::printf("C and C++ agree on %zu layout values\n", ofagent_c_layout_count - 1);
    return bad;
}
