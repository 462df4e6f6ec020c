// Writes valid messages of every decodable kind into a directory, as the fuzzer's own seeds:
// the encoders build them from the codec tests' random records, so the seeds follow the
// codec's current wire formats.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/codec/gen.hpp"
#include "ofmsg_equal.hpp"

namespace {

int g_written;

void write_seed(const std::string &dir, uint8_t type, const void *body) {
    uint8_t *buf = nullptr;
    uint32_t len = 0;
    if (ofmsg_tx_encode(type, body, 0x01020304, &buf, &len) != 0) {
        std::fprintf(stderr, "seed of type %u not encoded\n", type);
        return;
    }
    const std::string path = dir + "/gen-" + std::to_string(type) + "-" + std::to_string(g_written);
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        g_written += std::fwrite(buf, 1, len, f) == len;
        std::fclose(f);
    }
    std::free(buf);
}

void write_owned(const std::string &dir, uint8_t type, void *body) {
    write_seed(dir, type, body);
    ofmsg_equal::release_body(type, body);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    write_seed(dir, OFPT_HELLO, nullptr);
    write_seed(dir, OFPT_FEATURES_REQUEST, nullptr);
    uint8_t data[8] = {4, 14, 0, 8, 0, 0, 0, 9};
    ofmsg_error err{1, 6, sizeof data, data};
    write_seed(dir, OFPT_ERROR, &err);
    ofmsg_switch_features f{0x0000000000000abcULL, 256, 254, 0, 0x4f, 0};
    write_seed(dir, OFPT_FEATURES_REPLY, &f);
    char name[] = "eth0";
    ofstruct_port port{7, {2, 0, 0, 0, 0, 7}, name, 0, 4, 0x2808, 0x2800, 0x2808, 0, 5000, 10000};
    ofmsg_port_status ps{OFPPR_MODIFY, &port};
    write_seed(dir, OFPT_PORT_STATUS, &ps);
    ofmsg_multipart_request pd_req{OFPMP_PORT_DESC, 0, nullptr};
    write_seed(dir, OFPT_MULTIPART_REQUEST, &pd_req);
    codec::Gen g(99);
    for (int i = 0; i < 6; i++) {
        write_owned(dir, OFPT_FLOW_MOD, g.flow_mod());
        write_owned(dir, OFPT_PACKET_IN, g.packet_in());
        write_owned(dir, OFPT_MULTIPART_REPLY, g.flow_stats_reply(3));
        write_owned(dir, OFPT_MULTIPART_REPLY, g.port_desc_reply());
        write_owned(dir, OFPT_EXPERIMENTER, g.exp());
    }
    std::printf("%d generated seeds\n", g_written);
    return g_written > 0 ? 0 : 1;
}
