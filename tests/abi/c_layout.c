/* The record layouts as a C99 compiler sees them. */
#include <stddef.h>

#include "all_headers.h"
#include "layouts.h"

#define OFFSET_AND_SIZE(rec, member) offsetof(rec, member), sizeof(rec),
const size_t ofagent_c_layout[] = {OFAGENT_ABI_LAYOUTS(OFFSET_AND_SIZE) 0};
const size_t ofagent_c_layout_count = sizeof ofagent_c_layout / sizeof ofagent_c_layout[0];
