/* A C99 host: includes every public header under -std=c99 -pedantic -Werror, links against the
 * shared library, and checks a few calls that only work if the C view of the interface is the
 * library's (names, constants). The record layouts are cxx_abi_test's, a record's trip through
 * the codec from C the installed consumer's. */
#include <stdio.h>
#include <string.h>

#include "all_headers.h"

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                                \
        }                                                                            \
    } while (0)

int main(void) {
    CHECK(sizeof(oftunnel_key) == 18);
    /* The version macros: the string agrees with the numbers, and the number compares in #if. */
    {
        char v[32];
        sprintf(v, "%d.%d.%d", OFAGENT_VERSION_MAJOR, OFAGENT_VERSION_MINOR, OFAGENT_VERSION_PATCH);
        CHECK(strcmp(v, OFAGENT_VERSION_STRING) == 0);
    }
#if OFAGENT_VERSION_NUMBER < 0x000100
#error "the version number does not compare"
#endif
    CHECK(strcmp(ofmsg_ofp_type_to_string(OFPT_METER_MOD), "OFPT_METER_MOD") == 0);
    CHECK(ofmsg_decode_status(OFPET_BAD_REQUEST, OFPBRC_BAD_LEN) == OFMSG_ERR_BAD_LEN);
    CHECK(ofoxm_header_value(OXM_OF_IN_PORT, 0) == 0x80000004u);
    CHECK(strcmp(ofsocket_print_addr(NULL), "null") == 0);
    puts("C99 host: headers and constants agree with the library");
    return 0;
}
