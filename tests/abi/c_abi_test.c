/* A C99 host: includes every public header under -std=c99 -pedantic -Werror, links against the
 * shared library, and checks a few calls that only work if the C view of the interface is the
 * library's (names, constants, record layouts). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "all_headers.h"

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                                \
        }                                                                            \
    } while (0)

static ofmsg_switch_features *features;

static void on_features(void *body, ofmsg *msg) {
    (void)msg;
    features = (ofmsg_switch_features *)body;
}

int main(void) {
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    ofmsg_switch_features out;
    uint8_t *buf = NULL;
    uint32_t len = 0;

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

    /* A record built in C survives the library's encoder and decoder field for field. */
    memset(&out, 0, sizeof out);
    out.datapath_id = 0x0102030405060708ull;
    out.n_buffers = 256;
    out.n_tables = 254;
    out.auxiliary_id = 3;
    out.capabilities = 0x4f;
    out.reserved = 0xdeadbeef;
    memset(table, 0, sizeof table);
    table[OFPT_FEATURES_REPLY] = on_features;
    ofmsg_register_callbacks(table);
    CHECK(ofmsg_tx_encode(OFPT_FEATURES_REPLY, &out, 9, &buf, &len) == 0 && len == 32);
    CHECK(ofmsg_rx_decode(NULL, buf, len) == OFMSG_DECODE_OK && features != NULL);
    CHECK(features->datapath_id == out.datapath_id && features->n_tables == out.n_tables &&
          features->auxiliary_id == out.auxiliary_id && features->reserved == out.reserved);
    ofmsg_free(OFPT_FEATURES_REPLY, features);
    free(buf);
    puts("C99 host: headers, constants and records agree with the library");
    return 0;
}
