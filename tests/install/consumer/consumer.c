/* A host built against the installed library: encodes a hello, decodes it back through a
 * registered callback, and keeps a tunnel in the table. Its build passes the version the
 * package (CMake or pkg-config) announced, which must be the installed header's. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ghash.h>
#include <ofagent_version.h>
#include <ofmsg.h>
#include <oftunnel.h>

static int hellos;

static void on_hello(void *body, ofmsg *msg) {
    (void)body;
    if (msg->xid == 42) hellos++;
}

int main(void) {
    ofmsg_rx_cb table[OFMSG_NUM_TYPES];
    uint8_t *buf = NULL;
    uint32_t len = 0;
    oftunnel_table tunnels;
    oftunnel_key key;

    if (strcmp(OFAGENT_PACKAGE_VERSION, OFAGENT_VERSION_STRING) != 0) {
        printf("consumer: the package says %s, the header %s\n", OFAGENT_PACKAGE_VERSION,
               OFAGENT_VERSION_STRING);
        return 6;
    }
    memset(table, 0, sizeof table);
    table[OFPT_HELLO] = on_hello;
    ofmsg_register_callbacks(table);
    if (ofmsg_tx_encode(OFPT_HELLO, NULL, 42, &buf, &len) != 0 || len != 8) return 1;
    if (ofmsg_rx_decode(NULL, buf, len) != 0 || hellos != 1) return 2;
    free(buf);

    oftunnel_init(&tunnels);
    memset(&key, 0, sizeof key);
    key.addr[0] = 10;
    key.addr[3] = 1;
    if (oftunnel_entry_create(&tunnels, &key, 7) == NULL) return 3;
    if (strcmp(oftunnel_entry_print(oftunnel_entry_find(&tunnels, &key)),
               "<IP:10.0.0.1, index:7>") != 0)
        return 4;
    if (oftunnel_entry_delete(oftunnel_entry_find(&tunnels, &key)) != 0) return 5;
    puts("consumer: hello round trip and tunnel table ok");
    return 0;
}
