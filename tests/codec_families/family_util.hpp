// Helpers of the codec family tests: hex text, a log sink that keeps every line, a receive
// harness that captures the delivered body, encoding to a byte vector, and releases that know
// which records a body leaves to its holder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ofmsg.h"

namespace fam {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string &text);  // blanks ignored
std::string to_hex(const Bytes &bytes);

// Installs itself as the log sink for its lifetime and keeps each message (prefix removed).
class LogCapture {
   public:
    LogCapture();
    ~LogCapture();
    bool has(int level, const std::string &message) const;
    size_t count(int level, const std::string &message) const;
    std::string dump() const;
    void clear();
};

// Decodes one message with a capturing callback on every type. The body that reached the
// callback is kept until take() or destruction (released with release_body).
class Rx {
   public:
    Rx();
    ~Rx();
    int32_t decode(const Bytes &msg);
    template <class T>
    T *body() const {
        return static_cast<T *>(body_);
    }
    int calls() const { return calls_; }
    void *take();

   private:
    void *body_ = nullptr;
    uint8_t type_ = 0;
    int calls_ = 0;
};

// Bytes of the encoded message; empty when the encoder refused.
Bytes encode(uint8_t type, const void *body, uint32_t xid = 0x01020304);

// Releases a body and, for a flow-stats reply, the matches and instructions its entries hold.
void release_body(uint8_t type, void *body);

// The message with its header length field set to its size.
Bytes message(uint8_t type, const Bytes &after_header, uint32_t xid = 1);

// Scales property-test case counts (OFAGENT_PROPERTY_SCALE, default 1; smaller on qemu).
int scaled(int count);

}  // namespace fam
