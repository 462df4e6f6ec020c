/*
 * A small classic-pcap writer for host programs (--pcap) and tests: every OpenFlow message
 * written becomes the payload of an Ethernet/IPv4/TCP frame, so capture tools dissect the
 * file as a TCP session. Each new flow opens with a SYN, SYN-ACK, ACK handshake from the side
 * that connected, and each direction keeps its own consistent sequence numbers. Every record
 * is flushed as it is written: a capture holds everything up to a crash of its writer.
 * Single-threaded: one writer is used from one thread.
 */
#ifndef OFPCAP_H
#define OFPCAP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef OFHOST_API
#if defined(__GNUC__) || defined(__clang__)
#define OFHOST_API __attribute__((visibility("default")))
#else
#define OFHOST_API
#endif
#endif

typedef struct ofpcap ofpcap;

/* Creates (truncates) the file and writes the pcap global header. Null on failure. */
OFHOST_API ofpcap *ofpcap_open(const char *path);
/* Records a session that client opened to server (addresses and ports in host order): its
 * handshake goes from client to server. Does nothing for a session already recorded. Returns
 * 0, or -1 when the file could not be written. */
OFHOST_API int ofpcap_connect(ofpcap *pcap, uint32_t client_ip, uint16_t client_port,
                              uint32_t server_ip, uint16_t server_port);
/* Writes len bytes sent from src_ip:src_port to dst_ip:dst_port (addresses and ports in host
 * order). A session not recorded yet is taken to be opened by the sender. Payloads larger
 * than one frame are split into several segments. Returns 0, or -1 when the file could not
 * be written. */
OFHOST_API int ofpcap_write(ofpcap *pcap, uint32_t src_ip, uint16_t src_port, uint32_t dst_ip,
                            uint16_t dst_port, const uint8_t *bytes, size_t len);
/* Flushes and closes the file and releases the writer (null is ignored). Returns 0, or -1
 * when the final flush failed. */
OFHOST_API int ofpcap_close(ofpcap *pcap);

#ifdef __cplusplus
}
#endif

#endif /* OFPCAP_H */
