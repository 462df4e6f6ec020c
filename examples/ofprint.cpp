// ofprint: prints OpenFlow messages one line each, as the library's own printer renders them
// (the text of the agent's log), behind the codec's decode status. It reads them from a capture
// (classic pcap or pcapng; every TCP stream, or only those on --port), from hex on the command
// line, or from hex lines on stdin; each run of bytes may hold several messages.
//   ofprint [--port PORT] CAPTURE     ofprint HEX...     ofprint <HEX-LINES
// The hex arguments are read as one run of bytes, each hex line on stdin as one.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ofagent.hpp"
#include "ofagent_version.h"

namespace {

using Bytes = std::vector<uint8_t>;
using View = std::span<const uint8_t>;

// The decode status by the name of its OFMSG_ERR_ constant.
std::string status_name(int32_t status) {
    static const std::map<int32_t, const char *> names = {
        {OFMSG_DECODE_OK, "ok"},
        {OFMSG_ERR_HELLO_INCOMPATIBLE, "HELLO_INCOMPATIBLE"},
        {OFMSG_ERR_BAD_MULTIPART, "BAD_MULTIPART"},
        {OFMSG_ERR_BAD_EXPERIMENTER, "BAD_EXPERIMENTER"},
        {OFMSG_ERR_BAD_EXP_TYPE, "BAD_EXP_TYPE"},
        {OFMSG_ERR_BAD_LEN, "BAD_LEN"},
        {OFMSG_ERR_UNHANDLED_TYPE, "UNHANDLED_TYPE"},
        {OFMSG_ERR_ACTION_BAD_TYPE, "ACTION_BAD_TYPE"},
        {OFMSG_ERR_ACTION_BAD_EXP_TYPE, "ACTION_BAD_EXP_TYPE"},
        {OFMSG_ERR_ACTION_BAD_SET_TYPE, "ACTION_BAD_SET_TYPE"},
        {OFMSG_ERR_ACTION_BAD_SET_LEN, "ACTION_BAD_SET_LEN"},
        {OFMSG_ERR_INST_UNKNOWN, "INST_UNKNOWN"},
        {OFMSG_ERR_MATCH_BAD_LEN, "MATCH_BAD_LEN"},
        {OFMSG_ERR_MATCH_BAD_FIELD, "MATCH_BAD_FIELD"},
        {OFMSG_ERR_MATCH_DUP_FIELD, "MATCH_DUP_FIELD"},
        {OFMSG_ERR_SHORT_ERROR_MSG, "SHORT_ERROR_MSG"},
        {OFMSG_ERR_NO_MEMORY, "NO_MEMORY"}};
    const auto it = names.find(status);
    if (it != names.end()) return it->second;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(status));
    return hex;
}

// Decodes each message through the codec: "STATUS TEXT", the text with the decoded body, or
// of the header alone when the codec refused the message.
class Printer {
   public:
    Printer() {
        auto keep = [this](auto body) { text_ = ofagent::print(codec_.current(), body.get()); };
        codec_.on<ofmsg_error>(keep).on<ofmsg_echo>(keep).on<ofmsg_exp>(keep);
        codec_.on<ofmsg_switch_features>(keep).on<ofmsg_port_status>(keep);
        codec_.on<ofmsg_packet_in>(keep).on<ofmsg_flow_mod>(keep);
        codec_.on<ofmsg_multipart_request>(keep).on<ofmsg_multipart_reply>(keep);
        auto header = [this] { text_ = ofagent::print(codec_.current()); };
        codec_.on<OFPT_HELLO>(header).on<OFPT_FEATURES_REQUEST>(header).on<OFPT_SET_CONFIG>(header);
    }
    std::string line(View msg) {
        text_.clear();
        const int32_t status = codec_.decode(msg);
        if (status != OFMSG_DECODE_OK || text_.empty()) text_ = ofagent::print(msg);
        return status_name(status) + " " + text_;
    }

   private:
    ofagent::Codec codec_;
    std::string text_;
};

void out(const std::string &line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

uint16_t be16(View b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
uint32_t be32(View b, size_t at) {
    return static_cast<uint32_t>(be16(b, at)) << 16 | be16(b, at + 2);
}
// A header that can start an OpenFlow message: versions 1.0 to 1.5, a length of at least 8.
bool plausible(View b) {
    return b.size() >= OFP_HEADER_LEN && b[0] >= 1 && b[0] <= 6 && be16(b, 2) >= OFP_HEADER_LEN;
}

// Every message of a run of bytes, whole ones by their header's length; a header that claims
// more than there is, or less than itself, makes the rest one message (its decode says what is
// wrong with it).
void print_run(Printer &p, View b) {
    while (b.size() >= OFP_HEADER_LEN) {
        size_t len = be16(b, 2);
        if (len < OFP_HEADER_LEN || len > b.size()) len = b.size();
        out(p.line(b.first(len)));
        b = b.subspan(len);
    }
    if (!b.empty()) out("(" + std::to_string(b.size()) + " stray bytes: not a header)");
}

// Hex digits; blanks, ':' and '-' between them are ignored, "0x" before them too.
bool parse_hex(std::string_view text, Bytes &bytes) {
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (!std::strchr(" \t\r:-", c))
            return false;
    }
    if (digits.empty() || digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

// ---- Captures ---------------------------------------------------------------------------------

struct Packet {
    uint64_t usec;  // since the epoch
    int linktype;
    View frame;
};

// Little- or big-endian fields of a capture file.
struct Fields {
    View f;
    bool le;
    uint16_t u16(size_t at) const {
        return le ? static_cast<uint16_t>(f[at] | f[at + 1] << 8) : be16(f, at);
    }
    uint32_t u32(size_t at) const {
        return le ? u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16 : be32(f, at);
    }
};

// The packets of a classic pcap (either byte order, micro- or nanoseconds) or of a pcapng file
// (enhanced packet blocks). False, with the reason, for anything else.
bool read_capture(View f, std::string &why, const std::function<void(const Packet &)> &each) {
    const uint32_t magic = f.size() >= 24 ? be32(f, 0) : 0;
    if (magic == 0xa1b2c3d4 || magic == 0xd4c3b2a1 || magic == 0xa1b23c4d || magic == 0x4d3cb2a1) {
        const Fields r{f, magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1};
        const bool nsec = magic == 0xa1b23c4d || magic == 0x4d3cb2a1;
        const int linktype = static_cast<int>(r.u32(20) & 0xffff);  // above: FCS flags
        for (size_t at = 24; at + 16 <= f.size();) {
            const uint32_t caplen = r.u32(at + 8), frac = r.u32(at + 4);
            if (caplen > f.size() - at - 16) return why = "a record runs past the end", false;
            each({uint64_t{r.u32(at)} * 1000000 + (nsec ? frac / 1000 : frac), linktype,
                  f.subspan(at + 16, caplen)});
            at += 16 + caplen;
        }
        return true;
    }
    if (magic != 0x0a0d0d0a) return why = "neither a pcap nor a pcapng capture", false;
    Fields r{f, true};
    std::vector<std::pair<int, uint64_t>> ifaces;  // link type, time units per second
    for (size_t at = 0; at + 12 <= f.size();) {
        if (be32(f, at) == 0x0a0d0d0a) {  // a section: its byte order, its own interfaces
            r.le = f.size() - at >= 12 && f[at + 8] == 0x4d;
            ifaces.clear();
        }
        const uint32_t type = r.u32(at), len = r.u32(at + 4);
        if (len < 12 || len % 4 || len > f.size() - at)
            return why = "a block runs past the end", false;
        if (type == 1 && len >= 20) {  // an interface: its link type, and its clock (if_tsresol)
            uint64_t units = 1000000;
            for (size_t o = at + 16; o + 4 <= at + len - 4;) {
                const uint16_t code = r.u16(o), olen = r.u16(o + 2);
                if (code == 0) break;
                if (code == 9 && olen == 1) {
                    const uint8_t v = f[o + 4];
                    units = 1;
                    for (int i = 0; i < (v & 0x7f) && units < (uint64_t{1} << 60); i++)
                        units *= v & 0x80 ? 2 : 10;
                }
                o += 4 + ((olen + 3u) & ~3u);
            }
            ifaces.emplace_back(r.u16(at + 8), units);
        }
        if (type == 6 && len >= 32) {  // an enhanced packet
            const uint32_t id = r.u32(at + 8), caplen = r.u32(at + 20);
            if (id >= ifaces.size() || caplen > len - 32) return why = "a bad packet block", false;
            const uint64_t t = uint64_t{r.u32(at + 12)} << 32 | r.u32(at + 16);
            const auto [linktype, units] = ifaces[id];
            each({t / units * 1000000 + t % units * 1000000 / units, linktype,
                  f.subspan(at + 28, caplen)});
        }
        at += len;
    }
    return true;
}

// The IP packet inside a frame: Ethernet (VLAN tags skipped), Linux cooked (v1 and v2), BSD
// loopback or raw IP. Empty for anything else.
View ip_of(int linktype, View f) {
    size_t at = 0, type_at = 0;
    switch (linktype) {
        case 1:  // Ethernet
            for (type_at = 12; f.size() >= type_at + 2 &&
                               (be16(f, type_at) == 0x8100 || be16(f, type_at) == 0x88a8);)
                type_at += 4;
            at = type_at + 2;
            break;
        case 113:  // Linux cooked
            type_at = 14, at = 16;
            break;
        case 276:  // Linux cooked v2
            type_at = 0, at = 20;
            break;
        case 0:  // BSD loopback: the address family, in the capturing host's order
        case 101:
        case 228:
        case 229:  // raw IP
            at = linktype == 0 ? 4 : 0;
            return f.size() > at ? f.subspan(at) : View{};
        default:
            return {};
    }
    if (f.size() <= at) return {};
    const uint16_t type = be16(f, type_at);
    return type == 0x0800 || type == 0x86dd ? f.subspan(at) : View{};
}

struct Segment {
    std::string src, dst;  // "address:port"
    uint16_t sport, dport;
    uint32_t seq;
    bool syn;
    View payload;
};

// The TCP segment of an IPv4 (unfragmented) or IPv6 (no extension header) packet.
bool tcp_of(View ip, Segment &s) {
    char a[INET6_ADDRSTRLEN], b[INET6_ADDRSTRLEN];
    size_t hl = 0, total = 0;
    if (ip.size() >= 20 && ip[0] >> 4 == 4) {
        hl = (ip[0] & 15u) * 4u;
        total = be16(ip, 2);
        if (ip[9] != 6 || (be16(ip, 6) & 0x3fff) || hl < 20) return false;
        inet_ntop(AF_INET, ip.data() + 12, a, sizeof a);
        inet_ntop(AF_INET, ip.data() + 16, b, sizeof b);
        s.src = a, s.dst = b;
    } else if (ip.size() >= 40 && ip[0] >> 4 == 6 && ip[6] == 6) {
        hl = 40;
        total = 40u + be16(ip, 4);
        inet_ntop(AF_INET6, ip.data() + 8, a, sizeof a);
        inet_ntop(AF_INET6, ip.data() + 24, b, sizeof b);
        s.src = std::string("[") + a + "]", s.dst = std::string("[") + b + "]";
    } else {
        return false;
    }
    ip = ip.first(std::min(ip.size(), total));
    if (ip.size() < hl + 20) return false;
    const View tcp = ip.subspan(hl);
    const size_t off = (tcp[12] >> 4) * 4u;
    if (off < 20 || off > tcp.size()) return false;
    s.sport = be16(tcp, 0), s.dport = be16(tcp, 2);
    s.src += ":" + std::to_string(s.sport), s.dst += ":" + std::to_string(s.dport);
    s.seq = be32(tcp, 4);
    s.syn = tcp[13] & 0x02;
    s.payload = tcp.subspan(off);
    return true;
}

std::string timestamp(uint64_t usec) {
    const time_t sec = static_cast<time_t>(usec / 1000000);
    tm t{};
    char text[64];
    const size_t n = std::strftime(text, sizeof text, "%FT%T", gmtime_r(&sec, &t));
    std::snprintf(text + n, sizeof text - n, ".%06uZ", static_cast<unsigned>(usec % 1000000));
    return text;
}

// One direction of a TCP connection, put back in order: its bytes not yet printed.
struct Stream {
    bool started = false, ignored = false, printed = false;
    uint32_t next = 0;  // the sequence number of the next byte
    uint64_t last_usec = 0;
    Bytes pending;
};

class Reassembler {
   public:
    Reassembler(Printer &p, int port) : printer_(p), port_(port) {}

    void segment(uint64_t usec, const Segment &s) {
        if (port_ >= 0 && s.sport != port_ && s.dport != port_) return;
        Stream &st = streams_[s.src + " > " + s.dst];
        View data = s.payload;
        if (st.ignored) return;
        if (s.syn || !st.started) {  // a SYN starts the stream afresh (a port used again)
            st.started = true;
            st.next = s.seq + (s.syn ? 1 : 0);
            if (s.syn) st.pending.clear();
        }
        if (data.empty()) return;  // an ACK or a FIN (which takes a sequence number of its own)
        const auto ahead = static_cast<int32_t>(s.seq + (s.syn ? 1 : 0) - st.next);
        if (ahead > 0) {  // bytes missing from the capture: start over here
            std::fprintf(stderr, "ofprint: %s > %s: %d bytes missing from the capture\n",
                         s.src.c_str(), s.dst.c_str(), ahead);
            st.pending.clear();
            st.next += static_cast<uint32_t>(ahead);
        } else if (static_cast<size_t>(-ahead) >= data.size()) {
            return;  // sent again
        } else {
            data = data.subspan(static_cast<size_t>(-ahead));
        }
        st.pending.insert(st.pending.end(), data.begin(), data.end());
        st.next += static_cast<uint32_t>(data.size());
        st.last_usec = usec;
        const std::string prefix = timestamp(usec) + " " + s.src + " > " + s.dst + " ";
        size_t at = 0;
        for (View rest = st.pending; rest.size() >= OFP_HEADER_LEN;
             rest = View(st.pending).subspan(at)) {
            if (!plausible(rest)) {
                if (!st.printed) {
                    std::fprintf(stderr, "ofprint: %s > %s is not OpenFlow: ignored\n",
                                 s.src.c_str(), s.dst.c_str());
                    st.ignored = true;
                } else {
                    out(prefix + "(" + std::to_string(rest.size()) + " bytes that are no message)");
                }
                at = st.pending.size();
                break;
            }
            const size_t len = be16(rest, 2);
            if (len > rest.size()) break;
            out(prefix + printer_.line(rest.first(len)));
            st.printed = true;
            at += len;
        }
        st.pending.erase(st.pending.begin(), st.pending.begin() + static_cast<ptrdiff_t>(at));
    }

    // What no message completed by the end of the capture.
    void finish() {
        for (const auto &[name, st] : streams_)
            if (!st.ignored && !st.pending.empty())
                out(timestamp(st.last_usec) + " " + name + " (" +
                    std::to_string(st.pending.size()) + " bytes of an unfinished message)");
    }

   private:
    Printer &printer_;
    int port_;
    std::map<std::string, Stream> streams_;
};

void usage(FILE *to) {
    std::fprintf(to,
                 "Usage: ofprint [--port PORT] CAPTURE\n"
                 "       ofprint HEX...\n"
                 "       ofprint < HEX-LINES\n"
                 "Prints each OpenFlow message on one line: the codec's decode status and its\n"
                 "text as the library logs it. A capture (pcap or pcapng) is read for every TCP\n"
                 "stream, or only for those with PORT at one end.\n");
}

int usage_error(const std::string &why) {
    std::fprintf(stderr, "ofprint: %s\n", why.c_str());
    usage(stderr);
    return 2;
}

bool is_file(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int print_capture(Printer &p, const char *path, int port) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "ofprint: cannot read %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    Reassembler streams(p, port);
    std::string why;
    const bool ok = read_capture(file, why, [&](const Packet &pkt) {
        Segment s{};
        if (tcp_of(ip_of(pkt.linktype, pkt.frame), s)) streams.segment(pkt.usec, s);
    });
    streams.finish();
    if (!ok) std::fprintf(stderr, "ofprint: %s: %s\n", path, why.c_str());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    int port = -1;
    std::vector<const char *> args;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") return usage(stdout), 0;
        if (a == "--version")
            return std::printf("ofprint (ofagent) %s\n", OFAGENT_VERSION_STRING), 0;
        if (a == "--port") {
            char *end = nullptr;
            const unsigned long v = i + 1 < argc ? std::strtoul(argv[++i], &end, 10) : 0;
            if (!end || *end || v == 0 || v > 65535)
                return usage_error("--port: not a TCP port from 1 to 65535");
            port = static_cast<int>(v);
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            return usage_error("unknown option " + a);
        } else {
            args.push_back(argv[i]);
        }
    }
    Printer printer;
    if (args.size() == 1 && is_file(args[0])) return print_capture(printer, args[0], port);
    if (port >= 0) return usage_error("--port reads a capture: name one capture file");
    Bytes run;  // the arguments are one run: a message may span several, as in a hex dump
    for (const char *a : args)
        if (!parse_hex(a, run))
            return usage_error(std::string("'") + a + "' is neither a file nor hex");
    print_run(printer, run);
    if (!args.empty()) return 0;
    int status = 0;
    for (std::string line; std::getline(std::cin, line);) {
        Bytes b;
        if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
        if (!parse_hex(line, b)) {
            std::fprintf(stderr, "ofprint: not hex: %s\n", line.c_str());
            status = 1;
            continue;
        }
        print_run(printer, b);
    }
    return status;
}
