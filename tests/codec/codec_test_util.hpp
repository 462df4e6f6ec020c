// Shared helpers of the codec tests: hex messages, a log sink that keeps every line, and a
// receive harness that captures what reaches the callbacks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ofmsg.h"

namespace codec_test {

std::vector<uint8_t> hex(const std::string &text);  // spaces ignored
std::string to_hex(const uint8_t *bytes, size_t len);

struct LogLine {
    int level;
    std::string message;  // without the "TAG function:line " prefix
};

// Installs itself as the log sink for its lifetime and keeps each line.
class LogCapture {
   public:
    LogCapture();
    ~LogCapture();
    const std::vector<LogLine> &lines() const;
    bool has(int level, const std::string &message) const;
    size_t count(int level, const std::string &message) const;
    void clear();
};

// Registers a capturing callback for every type (or none) and records each delivery.
struct Delivered {
    int calls = 0;
    void *body = nullptr;
    uint32_t xid = 0;
    void *ctx = nullptr;
    bool record_points_at_body = false;  // the ofmsg field of the type holds the body
};

class RxHarness {
   public:
    explicit RxHarness(bool with_callbacks = true);
    ~RxHarness();  // releases a captured body
    int32_t decode(const std::vector<uint8_t> &msg, void *ctx = nullptr);
    Delivered &delivered();
    // Takes the captured body out of the harness (the caller releases it).
    void *take_body();
};

// Encodes and returns the bytes (empty when refused).
std::vector<uint8_t> encode(uint8_t type, const void *body, uint32_t xid);

}  // namespace codec_test
