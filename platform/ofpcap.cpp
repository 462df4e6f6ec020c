// Classic pcap (microsecond timestamps, Ethernet link type) with synthetic TCP framing.
#include "ofpcap.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kPcapMagic = 0xa1b2c3d4;  // written in host order: readers detect it
constexpr uint32_t kLinkEthernet = 1;
constexpr size_t kEthLen = 14;
constexpr size_t kIpLen = 20;
constexpr size_t kTcpLen = 20;
constexpr size_t kHeadersLen = kEthLen + kIpLen + kTcpLen;
// Segments and unacknowledged bytes stay within half the advertised window, so that tools
// never see the window fill up.
constexpr uint16_t kWindow = 0xffff;
constexpr size_t kMaxSegment = 32768;
constexpr uint32_t kUnackedLimit = 32768;
constexpr size_t kMaxFlows = 64;
constexpr uint32_t kSnapLen = kHeadersLen + kMaxSegment;

constexpr uint8_t kSyn = 0x02, kPsh = 0x08, kAck = 0x10;

struct Endpoint {
    uint32_t ip;
    uint16_t port;
    bool operator==(const Endpoint &o) const { return ip == o.ip && port == o.port; }
};

// One TCP session; index 0 belongs to a, 1 to b. unacked counts the bytes a side sent that
// the other side has not acknowledged yet.
struct Flow {
    Endpoint a, b;
    uint32_t next_seq[2];
    uint32_t unacked[2];
};

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint32_t sum16(const uint8_t *p, size_t n, uint32_t sum) {
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += (uint32_t{p[i]} << 8) | p[i + 1];
    if (n & 1) sum += uint32_t{p[n - 1]} << 8;
    return sum;
}

uint16_t fold(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// A locally administered MAC derived from the address, so each side keeps one MAC.
void mac_for(uint8_t *mac, uint32_t ip) {
    mac[0] = 0x02;
    mac[1] = 0x00;
    put32(mac + 2, ip);
}

}  // namespace

struct ofpcap {
    FILE *file;
    bool failed;
    size_t num_flows;
    size_t next_reuse;  // once all slots are taken, the oldest session's slot is reused
    uint32_t sessions;  // sessions opened so far: each gets its own sequence numbers
    Flow flows[kMaxFlows];
    uint8_t frame[kSnapLen];
};

namespace {

void write_u32_host(ofpcap *p, uint32_t v) {
    if (std::fwrite(&v, sizeof v, 1, p->file) != 1) p->failed = true;
}

void write_u16_host(ofpcap *p, uint16_t v) {
    if (std::fwrite(&v, sizeof v, 1, p->file) != 1) p->failed = true;
}

// Builds and writes one frame: Ethernet, IPv4 (checksummed), TCP (checksummed), payload.
void emit(ofpcap *p, const Endpoint &src, const Endpoint &dst, uint32_t seq, uint32_t ack,
          uint8_t flags, const uint8_t *payload, size_t len) {
    uint8_t *f = p->frame;
    std::memset(f, 0, kHeadersLen);
    mac_for(f, dst.ip);
    mac_for(f + 6, src.ip);
    put16(f + 12, 0x0800);
    uint8_t *ip = f + kEthLen;
    ip[0] = 0x45;
    put16(ip + 2, static_cast<uint16_t>(kIpLen + kTcpLen + len));
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = 6;  // TCP
    put32(ip + 12, src.ip);
    put32(ip + 16, dst.ip);
    put16(ip + 10, fold(sum16(ip, kIpLen, 0)));
    uint8_t *tcp = ip + kIpLen;
    put16(tcp, src.port);
    put16(tcp + 2, dst.port);
    put32(tcp + 4, seq);
    put32(tcp + 8, (flags & kAck) ? ack : 0);
    tcp[12] = (kTcpLen / 4) << 4;
    tcp[13] = flags;
    put16(tcp + 14, kWindow);
    if (len) std::memcpy(tcp + kTcpLen, payload, len);
    uint8_t pseudo[12];
    std::memcpy(pseudo, ip + 12, 8);
    pseudo[8] = 0;
    pseudo[9] = 6;
    put16(pseudo + 10, static_cast<uint16_t>(kTcpLen + len));
    put16(tcp + 16, fold(sum16(tcp, kTcpLen + len, sum16(pseudo, sizeof pseudo, 0))));

    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    const uint32_t frame_len = static_cast<uint32_t>(kHeadersLen + len);
    write_u32_host(p, static_cast<uint32_t>(tv.tv_sec));
    write_u32_host(p, static_cast<uint32_t>(tv.tv_usec));
    write_u32_host(p, frame_len);
    write_u32_host(p, frame_len);
    if (std::fwrite(f, 1, frame_len, p->file) != frame_len) p->failed = true;
}

// The flow of this pair of endpoints, and which side src is (0: the side that connected).
Flow *find(ofpcap *p, const Endpoint &src, const Endpoint &dst, int &side) {
    for (size_t i = 0; i < p->num_flows; i++) {
        Flow &fl = p->flows[i];
        if (fl.a == src && fl.b == dst) {
            side = 0;
            return &fl;
        }
        if (fl.a == dst && fl.b == src) {
            side = 1;
            return &fl;
        }
    }
    return nullptr;
}

// A new session opened by client: its handshake, then the flow. A long-running host makes
// more sessions than there are slots; the oldest one's slot is taken over then.
Flow *open_flow(ofpcap *p, const Endpoint &client, const Endpoint &server) {
    Flow *fl;
    if (p->num_flows < kMaxFlows) {
        fl = &p->flows[p->num_flows++];
    } else {
        fl = &p->flows[p->next_reuse];
        p->next_reuse = (p->next_reuse + 1) % kMaxFlows;
    }
    p->sessions++;
    fl->a = client;
    fl->b = server;
    const uint32_t isn_a = 1000u + p->sessions * 100000u;
    const uint32_t isn_b = 5000000u + p->sessions * 100000u;
    emit(p, client, server, isn_a, 0, kSyn, nullptr, 0);
    emit(p, server, client, isn_b, isn_a + 1, kSyn | kAck, nullptr, 0);
    emit(p, client, server, isn_a + 1, isn_b + 1, kAck, nullptr, 0);
    fl->next_seq[0] = isn_a + 1;
    fl->next_seq[1] = isn_b + 1;
    fl->unacked[0] = fl->unacked[1] = 0;
    return fl;
}

// Every record reaches the file at once, so a capture survives the writer's crash.
int flush(ofpcap *p) {
    if (std::fflush(p->file) != 0) p->failed = true;
    return p->failed ? -1 : 0;
}

}  // namespace

extern "C" {

OFHOST_API ofpcap *ofpcap_open(const char *path) {
    if (!path) return nullptr;
    auto *p = static_cast<ofpcap *>(std::calloc(1, sizeof(ofpcap)));
    if (!p) return nullptr;
    p->file = std::fopen(path, "wb");
    if (!p->file) {
        std::free(p);
        return nullptr;
    }
    write_u32_host(p, kPcapMagic);
    write_u16_host(p, 2);
    write_u16_host(p, 4);
    write_u32_host(p, 0);  // GMT offset
    write_u32_host(p, 0);  // timestamp accuracy
    write_u32_host(p, kSnapLen);
    write_u32_host(p, kLinkEthernet);
    if (flush(p) != 0) {
        std::fclose(p->file);
        std::free(p);
        return nullptr;
    }
    return p;
}

OFHOST_API int ofpcap_connect(ofpcap *pcap, uint32_t client_ip, uint16_t client_port,
                              uint32_t server_ip, uint16_t server_port) {
    if (!pcap) return -1;
    const Endpoint client{client_ip, client_port}, server{server_ip, server_port};
    int side = 0;
    if (find(pcap, client, server, side)) return 0;  // open already: nothing new to flush
    open_flow(pcap, client, server);
    return flush(pcap);
}

OFHOST_API int ofpcap_write(ofpcap *pcap, uint32_t src_ip, uint16_t src_port, uint32_t dst_ip,
                            uint16_t dst_port, const uint8_t *bytes, size_t len) {
    if (!pcap || (!bytes && len)) return -1;
    const Endpoint src{src_ip, src_port}, dst{dst_ip, dst_port};
    int side = 0;
    Flow *fl = find(pcap, src, dst, side);
    if (!fl) fl = open_flow(pcap, src, dst);  // side 0: the sender opened it
    const int peer = 1 - side;
    fl->unacked[peer] = 0;  // every segment of ours acknowledges what the peer sent
    size_t off = 0;
    do {
        const size_t n = len - off < kMaxSegment ? len - off : kMaxSegment;
        if (fl->unacked[side] && fl->unacked[side] + n > kUnackedLimit) {
            emit(pcap, dst, src, fl->next_seq[peer], fl->next_seq[side], kAck, nullptr, 0);
            fl->unacked[side] = 0;
        }
        emit(pcap, src, dst, fl->next_seq[side], fl->next_seq[peer], kPsh | kAck, bytes + off, n);
        fl->next_seq[side] += static_cast<uint32_t>(n);
        fl->unacked[side] += static_cast<uint32_t>(n);
        off += n;
    } while (off < len);
    return flush(pcap);
}

OFHOST_API int ofpcap_close(ofpcap *pcap) {
    if (!pcap) return 0;
    const bool ok = !pcap->failed && std::fclose(pcap->file) == 0;
    if (pcap->failed) std::fclose(pcap->file);
    std::free(pcap);
    return ok ? 0 : -1;
}

}  // extern "C"
