// cpp_agent: a small OpenFlow 1.3 switch written against the C++ layer (ofagent.hpp) alone. It
// connects to a controller (again a second after every loss), negotiates the version, answers
// features and echo requests, keeps the flows the controller installs, and reports a simulated
// frame as a PACKET_IN every interval, from the host behind port 1 and the one behind port 2 in
// turn, so that a MAC-learning controller learns both and installs flows between them.
//   cpp_agent --controller IP:PORT [--interval MS]
#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "ofagent.hpp"

using namespace ofagent;

namespace {

// A status line on stdout behind an ISO 8601 UTC timestamp, like the other example hosts.
void say(const char *fmt, ...) {
    timespec ts{};
    tm t{};
    char stamp[32];
    clock_gettime(CLOCK_REALTIME, &ts);
    strftime(stamp, sizeof stamp, "%FT%T", gmtime_r(&ts.tv_sec, &t));
    std::printf("%s.%03ldZ ", stamp, ts.tv_nsec / 1000000);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::printf("\n");
    std::fflush(stdout);
}

struct Options {
    uint32_t ip = 0;
    uint16_t port = 0;
    uint32_t interval_ms = 1000;  // 0: no packet-ins
};

bool parse(int argc, char **argv, Options &o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        unsigned a, b, c, d, port, ms;
        char end;
        const std::string opt = argv[i];
        if (opt == "--controller" &&
            std::sscanf(argv[i + 1], "%u.%u.%u.%u:%u%c", &a, &b, &c, &d, &port, &end) == 5 &&
            (a | b | c | d) < 256 && port && port < 65536) {
            o.ip = a << 24 | b << 16 | c << 8 | d;
            o.port = static_cast<uint16_t>(port);
        } else if (opt == "--interval" && std::sscanf(argv[i + 1], "%u%c", &ms, &end) == 1) {
            o.interval_ms = ms;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && o.port != 0;
}

// Both matches hold the same fields with the same values (and masks).
bool same_match(const ofmsg_flow_match *a, const ofmsg_flow_match *b) {
    for (int i = 0; i < OFOXM_IDX_COUNT; i++) {
        const ofmsg_match_tlv *x = a->tlvs[i], *y = b->tlvs[i];
        if (!x != !y) return false;
        if (x && (x->header != y->header || memcmp(x->value, y->value, OFOXM_LENGTH(x->header))))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "Usage: cpp_agent --controller IP:PORT [--interval MS]\n");
        return 2;
    }
    set_log_sink([](int level, std::string_view line) {
        // An empty non-blocking read is logged at ERRS level, but it is no fault.
        if (level == OFLOG_ERRS && line.find("> socket read failed") == line.npos)
            say("%.*s", static_cast<int>(line.size()), line.data());
    });
    Loop loop;
    Codec codec;
    std::vector<owned<ofmsg_flow_mod>> flows;  // the flow table: the decoded records, kept
    bool session = false, stopping = false;
    uint32_t frames = 0;

    Client client({
        .up = [&] { client.send(hello(static_cast<uint32_t>(ofmsg_generate_xid()))); },
        .down =
            [&] {
                session = false;
                if (stopping) return;
                say("no controller session: connecting again in 1 s");
                loop.after(1000, [&] { client.connect(o.ip, o.port); });
            },
        .message =
            [&](std::span<const uint8_t> m) {
                if (m[1] == OFPT_HELLO) {  // of any version: negotiate before the codec sees it
                    if (hello_accepts(m)) return;
                    say("version negotiation failed: the controller's version is 0x%02x", m[0]);
                    client.send(error_reply(OFMSG_ERR_HELLO_INCOMPATIBLE, m));
                    return client.disconnect();
                }
                if (m[1] == OFPT_ECHO_REQUEST && m.size() != 24)
                    return (void)client.send(echo_reply(m));
                if (m[1] == OFPT_PACKET_OUT) return say("packet-out of %zu bytes", m.size());
                client.send(error_reply(codec.decode(m), m));  // when the codec refused it
            },
    });

    codec.on<OFPT_FEATURES_REQUEST>([&](const ofmsg &m) {
        ofmsg_switch_features f{};
        f.datapath_id = 1;
        f.n_tables = 1;
        f.capabilities = 0x5;  // flow and port statistics
        client.send(encode(f, m.xid));
        session = true;
        say("session with the controller established");
    });
    codec.on<ofmsg_echo>(
        [&](owned<ofmsg_echo> e, const ofmsg &m) { client.send(encode(*e, m.xid)); });
    codec.on<ofmsg_flow_mod>([&](owned<ofmsg_flow_mod> fm) {
        say("flow-mod: %s", std::string(print(codec.current(), fm.get())).c_str());
        if (fm->command == OFPFC_DELETE || fm->command == OFPFC_DELETE_STRICT) flows.clear();
        if (fm->command != OFPFC_ADD) return;
        auto same = std::find_if(flows.begin(), flows.end(), [&](const auto &f) {
            return f->priority == fm->priority && same_match(f->match, fm->match);
        });
        if (same != flows.end())
            *same = std::move(fm);  // the same flow again replaces it (the old one is released)
        else
            flows.push_back(std::move(fm));
        say("flows: %zu", flows.size());
    });

    // A frame from the host behind port 1 or 2 to the other one, reported as a table miss.
    auto packet_in = [&] {
        if (!session) return;
        const uint8_t in = static_cast<uint8_t>(frames++ % 2 + 1);
        uint8_t frame[60] = {2, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0x88, 0xb5};  // dst, src, type
        frame[5] = static_cast<uint8_t>(3 - in);
        frame[11] = in;
        owned<ofmsg_flow_match> match = Match{}.in_port(in).take();
        ofmsg_packet_in pi{};  // on the stack: it borrows the match and the frame
        pi.buffer_id = 0xffffffff;
        pi.total_len = sizeof frame;
        pi.match = match.get();
        pi.data_len = sizeof frame;
        pi.data = frame;
        client.send(encode(pi, static_cast<uint32_t>(ofmsg_generate_xid())));
        say("packet-in: port%u, 02:00:00:00:00:%02x to 02:00:00:00:00:%02x", in, in, 3 - in);
    };
    if (o.interval_ms) loop.every(o.interval_ms, packet_in);
    loop.on_signal([&](int signo) {
        if (signo == SIGINT || signo == SIGTERM) loop.stop();
    });

    say("connecting to the controller");
    client.connect(o.ip, o.port);
    loop.run();
    stopping = true;
    client.disconnect();
    say("stopped with %zu flows", flows.size());
    return 0;
}
