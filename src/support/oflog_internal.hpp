// Library-internal logging: the same text as the public OFLOG macro, formatted at compile time.
// The tag ("INFO "), the function and ":line " are copied whole (their lengths are known when
// the library is built), then the message is formatted by its parsed format.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>

#include "offmt.hpp"
#include "oflog.h"

namespace ofagent {

// Starts a line in oflog_buf with the level's tag and the location; the message follows.
text::Out oflog_begin(int level, const char *func, size_t func_len, const char *line,
                      size_t line_len);
// Terminates the line and hands it to the log file and to the host's sink.
void oflog_end(int level, text::Out &out);

// ":<line> " as text, made when the library is built.
template <int Line>
struct LineText {
    static constexpr auto text = [] {
        std::array<char, 16> t{};
        char digits[12] = {};
        int n = 0;
        for (int v = Line; v > 0 || n == 0; v /= 10)
            digits[n++] = static_cast<char>('0' + v % 10);
        size_t i = 0;
        t[i++] = ':';
        while (n > 0)
            t[i++] = digits[--n];
        t[i++] = ' ';
        return std::pair{t, i};
    }();
};

// One instance per format (not per line, not inlined into each caller): the library stays
// small, and a line costs two calls more than its text.
template <text::Format F, class... A>
[[gnu::noinline]] void oflog_line(int level, const char *func, size_t func_len, const char *line,
                                  size_t line_len, const A &...args) {
    text::Out out = oflog_begin(level, func, func_len, line, line_len);
    text::put<F>(out, args...);
    oflog_end(level, out);
}

// For a helper that logs on behalf of its caller: the caller's function and line, given at run
// time.
template <text::Format F, class... A>
inline void oflog_line_at(int level, const char *func, int line, const A &...args) {
    text::Out out = oflog_begin(level, func, std::strlen(func), ":", 1);
    text::put<"%d ">(out, line);
    text::put<F>(out, args...);
    oflog_end(level, out);
}

}  // namespace ofagent

// The unevaluated printf call only lets the compiler check the arguments against the format.
#undef OFLOG
#define OFLOG(level, fmt, ...)                                               \
    (static_cast<void>(sizeof(std::printf(fmt __VA_OPT__(, ) __VA_ARGS__))), \
     ::ofagent::oflog_line<fmt>(                                             \
         (level), __func__, sizeof(__func__) - 1,                            \
         ::ofagent::LineText<__LINE__>::text.first.data(),                   \
         ::ofagent::LineText<__LINE__>::text.second __VA_OPT__(, ) __VA_ARGS__))
// For a helper that logs on behalf of the step that called it: the line names func and line.
#define OFLOG_AT(func, line, level, fmt, ...)                                \
    (static_cast<void>(sizeof(std::printf(fmt __VA_OPT__(, ) __VA_ARGS__))), \
     ::ofagent::oflog_line_at<fmt>((level), (func), (line)__VA_OPT__(, ) __VA_ARGS__))
#define OFLOG_FROM(func, level, fmt, ...) OFLOG_AT(func, __LINE__, level, fmt, __VA_ARGS__)
