// The log and print formatter writes exactly what vsnprintf writes, for every conversion the
// library uses and for the ones it hands over, at every buffer size including truncation.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/offmt.hpp"

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-truncation"

// Compares both formatters over several room sizes; the bytes past the text stay untouched.
template <class... A>
void expect_same(const char *fmt, A... args) {
    for (size_t room : {size_t{0}, size_t{1}, size_t{2}, size_t{7}, size_t{33}, size_t{300}}) {
        char ours[320], theirs[320];
        std::memset(ours, 'Z', sizeof ours);
        std::memset(theirs, 'Z', sizeof theirs);
        const int n_ours = ofagent::format(ours, room, fmt, args...);
        const int n_theirs = std::snprintf(theirs, room, fmt, args...);
        ASSERT_EQ(n_theirs, n_ours) << fmt << " room " << room;
        ASSERT_EQ(0, std::memcmp(ours, theirs, sizeof ours)) << fmt << " room " << room;
    }
}

TEST(Formatter, IntegersInEveryWidthFlagAndLengthMatchVsnprintf) {
    const long long values[] = {0,         1,        -1,      9,       10,         -10,
                                255,       65535,    INT_MAX, INT_MIN, -123456789, 4294967295LL,
                                LLONG_MAX, LLONG_MIN};
    const char *widths[] = {"", "0", "2", "5", "06", "-5", "-05", "20"};
    const char *convs[] = {"d", "i", "u", "x", "X"};
    char fmt[32];
    for (const char *w : widths) {
        for (const char *c : convs) {
            for (long long v : values) {
                std::snprintf(fmt, sizeof fmt, "<%%%s%s>", w, c);
                expect_same(fmt, static_cast<int>(v));
                std::snprintf(fmt, sizeof fmt, "<%%%shh%s>", w, c);
                expect_same(fmt, static_cast<int>(v));
                std::snprintf(fmt, sizeof fmt, "<%%%sh%s>", w, c);
                expect_same(fmt, static_cast<int>(v));
                std::snprintf(fmt, sizeof fmt, "<%%%sl%s>", w, c);
                expect_same(fmt, static_cast<long>(v));
                std::snprintf(fmt, sizeof fmt, "<%%%sll%s>", w, c);
                expect_same(fmt, v);
                std::snprintf(fmt, sizeof fmt, "<%%%sz%s>", w, c);
                expect_same(fmt, static_cast<size_t>(v));
            }
        }
    }
}

TEST(Formatter, StringsCharactersAndPercentMatchVsnprintf) {
    const char *texts[] = {"", "a", "OFPT_FLOW_MOD", "0123456789abcdefghijklmnopqrstuvwxyz"};
    for (const char *t : texts) {
        expect_same("[%s]", t);
        expect_same("[%10s|%-10s]", t, t);
        expect_same("[%.3s|%.256s|%.32s]", t, t, t);
        expect_same("[%c%5c%-3c]", t[0] ? t[0] : 'q', 'x', 'y');
    }
    expect_same("%s|%.3s|%.8s", static_cast<const char *>(nullptr),
                static_cast<const char *>(nullptr), static_cast<const char *>(nullptr));
    expect_same("100%% of %d%%", 5);
}

TEST(Formatter, ConversionsItDoesNotKnowGoWholeToVsnprintf) {
    expect_same("%d then %p", 1, static_cast<void *>(nullptr));
    expect_same("%+d %.5d %#x % d", 3, 7, 255, 4);
    expect_same("%5.2f and %s", 3.14159, "tail");
    expect_same("%*d", 6, 42);
}

TEST(Formatter, LibraryLinesMatchVsnprintf) {
    expect_same("INFO %s:%d ", "ofmsg_rx_decode", 314);
    expect_same("{type=%s, length=%u, xid = %u}", "OFPT_FLOW_MOD", 88u, 4294967295u);
    expect_same("cookie=0x%llx, mask=0x%llx", 0x123456789abcdefULL, ~0ULL);
    expect_same("%02x:%02x:%02x:%02x:%02x:%02x", 0, 0x11, 0x22, 0xab, 0xcd, 0xef);
    expect_same("[%d] %s.%06d %s \n", 4242, "Sat Dec  5 19:00:00 2026", 1234, "line");
    expect_same("wanted:%zu, read:%zu", static_cast<size_t>(80), static_cast<size_t>(7));
}

#pragma GCC diagnostic pop

}  // namespace
