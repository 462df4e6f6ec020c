/* A small host that uses the support pieces of the library: logging into a rotating file and
 * a sink, the event history ring, the generic hash table and the tunnel table. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ghash.h>
#include <oflog.h>
#include <oftunnel.h>

static void sink(int level, const char *line) {
    printf("  sink(%d): %s\n", level, line);
}

static void print_event(const char *line) {
    printf("  event: %s\n", line);
}

static uint32_t hash_port(void *key) {
    return (uint32_t)(uintptr_t)key;
}
static int same_port(void *a, void *b) {
    return a == b;
}
static int show_port(void *key, void *value, void *arg) {
    (void)arg;
    printf("  port %u -> %s\n", (unsigned)(uintptr_t)key, (const char *)value);
    return 0;
}
static void forget_port(void *key, void *value, void *arg) {
    (void)key;
    (void)value;
    (*(int *)arg)++;
}

int main(int argc, char **argv) {
    const char *log_path = argc > 1 ? argv[1] : "tables_demo.log";
    static event_log_history ring;
    char line[256];
    oftunnel_table tunnels;
    oftunnel_key key;
    gHash_table *ports;
    int forgotten = 0;
    int i;

    printf("logging to %s and to a sink\n", log_path);
    oflog_init(log_path, (int)getpid(), sink, NULL);
    oflog_to_file_enable();
    OFLOG(OFLOG_INFO, "demo started, %d argument(s)", argc);

    printf("event ring, newest first:\n");
    event_log_history_add(&ring, "controller connected");
    event_log_history_add(&ring, "flow table cleared");
    event_log_history_add(&ring, NULL);
    event_log_history_print(&ring, line, print_event);

    printf("hash table of port names:\n");
    ports = gHash_create(8, hash_port, same_port, show_port, forget_port);
    gHash_insert(ports, (void *)(uintptr_t)1, "eth0");
    gHash_insert(ports, (void *)(uintptr_t)2, "wlan0");
    gHash_insert(ports, (void *)(uintptr_t)9, "uplink");
    gHash_traverse(ports, 0, NULL);
    printf("  find 2 -> %s\n", (const char *)gHash_find(ports, (void *)(uintptr_t)2));
    gHash_delete_all(ports, &forgotten);
    printf("  delete_all released %d entries\n", forgotten);
    gHash_destroy(ports);

    printf("tunnel table:\n");
    oftunnel_init(&tunnels);
    for (i = 1; i <= 3; i++) {
        memset(&key, 0, sizeof key);
        key.addr[0] = 10;
        key.addr[3] = (uint8_t)i;
        oftunnel_entry_create(&tunnels, &key, (uint32_t)(100 + i));
    }
    key.addr[3] = 2;
    printf("  found %s\n", oftunnel_entry_print(oftunnel_entry_find(&tunnels, &key)));
    for (i = 1; i <= 3; i++) {
        key.addr[3] = (uint8_t)i;
        oftunnel_entry_delete(oftunnel_entry_find(&tunnels, &key));
    }
    printf("  after deleting all: %s\n",
           oftunnel_entry_find(&tunnels, &key) == NULL ? "empty" : "not empty");
    OFLOG(OFLOG_INFO, "demo done");
    for (i = 0; i < EVENT_LOG_HISTORY_SIZE; i++)
        free(ring.entries[i].text);
    return 0;
}
