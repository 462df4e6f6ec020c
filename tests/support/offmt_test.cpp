// The formatter writes exactly what snprintf writes, for every conversion, flag, width and
// length it knows, at every room including the ones that cut the text.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/offmt.hpp"

namespace {

using ofagent::text::Format;
using ofagent::text::Out;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-truncation"

// The bytes past the text stay untouched, and the text ends where snprintf's does.
template <Format F, class... A>
void expect_same(const A &...args) {
    for (size_t room :
         {size_t{1}, size_t{2}, size_t{7}, size_t{11}, size_t{12}, size_t{33}, size_t{300}}) {
        char ours[320], theirs[320];
        std::memset(ours, 'Z', sizeof ours);
        std::memset(theirs, 'Z', sizeof theirs);
        Out out{ours, ours + room - 1};
        ofagent::text::put<F>(out, args...);
        out.finish();
        std::snprintf(theirs, room, F.s, args...);
        ASSERT_EQ(0, std::memcmp(ours, theirs, sizeof ours)) << F.s << " room " << room;
    }
}

#pragma GCC diagnostic pop

#define SAME(fmt, ...) expect_same<fmt>(__VA_ARGS__)
// Every flag and width the library could write, for one conversion with one length.
#define WIDTHS(len, conv, v)           \
    do {                               \
        SAME("<%" len conv ">", v);    \
        SAME("<%0" len conv ">", v);   \
        SAME("<%2" len conv ">", v);   \
        SAME("<%5" len conv ">", v);   \
        SAME("<%06" len conv ">", v);  \
        SAME("<%-5" len conv ">", v);  \
        SAME("<%-05" len conv ">", v); \
        SAME("<%20" len conv ">", v);  \
    } while (0)
#define CONVS(len, v)        \
    do {                     \
        WIDTHS(len, "d", v); \
        WIDTHS(len, "i", v); \
        WIDTHS(len, "u", v); \
        WIDTHS(len, "x", v); \
        WIDTHS(len, "X", v); \
    } while (0)

TEST(Formatter, IntegersInEveryWidthFlagAndLengthMatchSnprintf) {
    const long long values[] = {
        0,       1,     -1,      9,       10,         -10,          255,       0x2820,
        0x12345, 65535, INT_MAX, INT_MIN, -123456789, 4294967295LL, LLONG_MAX, LLONG_MIN};
    for (long long v : values) {
        SCOPED_TRACE(v);
        CONVS("", static_cast<int>(v));
        CONVS("hh", static_cast<int>(v));
        CONVS("h", static_cast<int>(v));
        CONVS("l", static_cast<long>(v));
        CONVS("ll", v);
        CONVS("z", static_cast<size_t>(v));
    }
}

TEST(Formatter, StringsCharactersAndPercentMatchSnprintf) {
    const char *texts[] = {"", "a", "OFPT_FLOW_MOD", "0123456789abcdefghijklmnopqrstuvwxyz"};
    for (const char *t : texts) {
        SAME("[%s]", t);
        SAME("[%10s|%-10s]", t, t);
        SAME("[%.3s|%.256s|%.32s]", t, t, t);
        SAME("[%c%5c%-3c]", t[0] ? t[0] : 'q', 'x', 'y');
    }
    const char *null = nullptr;
    SAME("%s|%.3s|%.8s", null, null, null);
    SAME("100%% of %d%%", 5);
}

// Every address whose groups are each one of four values (runs of zeros at every place and
// length, IPv4-mapped and -compatible forms among them), written as inet_ntop writes it, and
// cut at every room as snprintf would cut that text.
TEST(Formatter, Ipv6AddressesAsInetNtopWritesThem) {
    const uint16_t groups[] = {0, 1, 0xffff, 0xab00};
    for (uint32_t n = 0; n < 65536; n++) {
        uint8_t addr[16];
        for (int i = 0; i < 8; i++) {
            const uint16_t g = groups[(n >> (2 * i)) & 3];
            addr[2 * i] = static_cast<uint8_t>(g >> 8);
            addr[2 * i + 1] = static_cast<uint8_t>(g);
        }
        char want[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, addr, want, sizeof want), nullptr);
        for (size_t room : {sizeof want, size_t{1} + n % 40}) {
            char got[INET6_ADDRSTRLEN + 8];
            std::memset(got, 'Z', sizeof got);
            Out out{got, got + room - 1};
            ofagent::text::put_ipv6(out, addr);
            out.finish();
            ASSERT_EQ(std::string(got), std::string(want).substr(0, room - 1)) << want;
            ASSERT_EQ(got[room], 'Z');
        }
    }
}

}  // namespace
