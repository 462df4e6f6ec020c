// Library-internal logging: the same text as the public OFLOG macro, formatted at compile time.
// The tag ("INFO "), the function and ":line " are copied whole (their lengths are known when
// the library is built), then the message is formatted by its parsed format.
#pragma once

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "offmt.hpp"
#include "oflog.h"

namespace ofagent {

// The five characters a line starts with, as the public OFLOG writes them.
constexpr const char *level_tag(int level) {
    return level == OFLOG_ERRS   ? "ERRS "
           : level == OFLOG_INFO ? "INFO "
           : level == OFLOG_DBUG ? "DBUG "
                                 : "UNKN ";
}

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

// Writes one line: the location, then format's steps with args.
void oflog_emit(int level, const char *func, size_t func_len, const char *line, size_t line_len,
                const char *format, const text::Step *steps, size_t n, const text::Arg *args);

// A log site costs one call: its format's pieces are data, built when the library is.
template <text::Format F, class... A>
inline void oflog_line(int level, const char *func, size_t func_len, const char *line,
                       size_t line_len, const A &...args) {
    const auto argv = text::make_args<F>(args...);
    oflog_emit(level, func, func_len, line, line_len, F.s, text::kSteps<F>.data(),
               text::kSteps<F>.size(), argv.data());
#ifdef OFAGENT_CHECK_FORMAT
    // The message after the location must be what straight-line formatting (itself checked
    // against snprintf) writes in the same room.
    const size_t at = std::min<size_t>(5 + func_len + line_len, OFLOG_BUF_SIZE - 1);
    char ref[OFLOG_BUF_SIZE];
    text::Out out{ref, ref + (OFLOG_BUF_SIZE - 1 - at)};
    text::put<F>(out, args...);
    out.finish();
    if (std::strcmp(oflog_buf + at, ref) != 0) {
        std::fprintf(stderr, "log check: \"%s\" is not \"%s\"\n", oflog_buf + at, ref);
        std::abort();
    }
#endif
}

// The tag, the function and ":line " of a line joined with its format into one format when the
// library is built.
template <int Level, text::Format Func, int Line, text::Format F>
consteval auto located_format() {
    constexpr const char *tag = level_tag(Level);
    constexpr auto at = LineText<Line>::text;
    constexpr size_t func_len = sizeof(Func.s) - 1;
    std::array<char, 5 + func_len + at.second + sizeof(F.s)> s{};
    size_t i = 0;
    for (size_t k = 0; k < 5; k++)
        s[i++] = tag[k];
    for (size_t k = 0; k < func_len; k++) {
        if (Func.s[k] == '%') text::format_error("a function name that reads as a conversion");
        s[i++] = Func.s[k];
    }
    for (size_t k = 0; k < at.second; k++)
        s[i++] = at.first[k];
    for (size_t k = 0; k < sizeof(F.s); k++)
        s[i++] = F.s[k];
    return text::Format<s.size()>(s);
}

// A line written on every message: its location is part of its format, so the whole line is
// straight-line code, a few instructions per piece.
template <int Level, text::Format Func, int Line, text::Format F, class... A>
inline void oflog_line_hot(const A &...args) {
    text::Out out{oflog_buf, oflog_buf + OFLOG_BUF_SIZE - 1};
    text::put<located_format<Level, Func, Line, F>()>(out, args...);
    oflog_end(Level, out);
}

// For a helper that logs on behalf of its caller: the caller's function and line, given at run
// time.
template <text::Format F, class... A>
inline void oflog_line_at(int level, const char *func, int line, const A &...args) {
    char at[16];
    text::Out out{at, at + sizeof at - 1};
    text::put<":%d ">(out, line);
    oflog_line<F>(level, func, std::strlen(func), at, static_cast<size_t>(out.pos - at), args...);
}

}  // namespace ofagent

// The unevaluated printf call only lets the compiler check the arguments against the format.
#undef OFLOG
#define OFLOG_WITH(line_fn, level, fmt, ...)                                 \
    (static_cast<void>(sizeof(std::printf(fmt __VA_OPT__(, ) __VA_ARGS__))), \
     ::ofagent::line_fn<fmt>(                                                \
         (level), __func__, sizeof(__func__) - 1,                            \
         ::ofagent::LineText<__LINE__>::text.first.data(),                   \
         ::ofagent::LineText<__LINE__>::text.second __VA_OPT__(, ) __VA_ARGS__))
#define OFLOG(level, fmt, ...) OFLOG_WITH(oflog_line, level, fmt __VA_OPT__(, ) __VA_ARGS__)
// The same line, for the few written on every message (level a constant); its arguments may be
// text::Str, so the formatter's own checks stand in for printf's.
#define OFLOG_HOT(level, fmt, ...)                                                        \
    ::ofagent::oflog_line_hot<level, ::ofagent::text::Format<sizeof(__func__)>(__func__), \
                              __LINE__, fmt>(__VA_ARGS__)
// For a helper that logs on behalf of the step that called it: the line names func and line.
#define OFLOG_AT(func, line, level, fmt, ...)                                \
    (static_cast<void>(sizeof(std::printf(fmt __VA_OPT__(, ) __VA_ARGS__))), \
     ::ofagent::oflog_line_at<fmt>((level), (func), (line)__VA_OPT__(, ) __VA_ARGS__))
#define OFLOG_FROM(func, level, fmt, ...) OFLOG_AT(func, __LINE__, level, fmt, __VA_ARGS__)
