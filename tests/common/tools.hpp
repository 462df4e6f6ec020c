// Shared by the test suites (codec, transport, support): run an external tool, a temporary
// directory that removes itself, and a log sink that keeps every line. Header-only, so a suite
// needs no extra sources to use it.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "oflog.h"

namespace testtools {

inline bool have_tool(const std::string &name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Standard output of a shell command.
inline std::string run_tool(const std::string &cmd) {
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

class TempDir {
   public:
    TempDir() {
        char tmpl[] = "/tmp/ofagent-test-XXXXXX";
        if (mkdtemp(tmpl)) path_ = tmpl;
    }
    ~TempDir() {
        if (!path_.empty() && !std::getenv("KEEP")) std::system(("rm -rf " + path_).c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

   private:
    std::string path_;
};

// Installs itself as the log sink for its lifetime and keeps each message without its
// "TAG function:line " prefix, and the function the tag names.
class LogCapture {
   public:
    struct Line {
        int level;
        std::string message;
        std::string func;
        std::string raw;  // the whole line as the sink got it
    };
    LogCapture() {
        lines_().clear();
        syslog_func = sink;
    }
    ~LogCapture() { syslog_func = nullptr; }
    const std::vector<Line> &lines() const { return lines_(); }
    void clear() { lines_().clear(); }
    size_t count(int level, const std::string &message) const {
        size_t n = 0;
        for (const Line &l : lines_())
            n += l.level == level && l.message == message;
        return n;
    }
    bool has(int level, const std::string &message) const { return count(level, message) > 0; }
    // The line was written from function func.
    bool has_at(int level, const std::string &func, const std::string &message) const {
        for (const Line &l : lines_())
            if (l.level == level && l.message == message && l.func == func) return true;
        return false;
    }
    // A whole line, "TAG function:line message", matches the regular expression.
    bool has_raw(const std::string &pattern) const {
        const std::regex re(pattern);
        for (const Line &l : lines_())
            if (std::regex_match(l.raw, re)) return true;
        return false;
    }
    std::string dump() const {
        std::string s;
        for (const Line &l : lines_())
            s += std::to_string(l.level) + " " + l.func + " [" + l.message + "]\n";
        return s;
    }

   private:
    static std::vector<Line> &lines_() {
        static std::vector<Line> lines;
        return lines;
    }
    static void sink(int level, const char *line) {
        const std::string s(line);
        const size_t first = s.find(' ');
        const size_t second = first == std::string::npos ? first : s.find(' ', first + 1);
        const std::string tag =
            first == std::string::npos ? "" : s.substr(first + 1, second - first - 1);
        lines_().push_back({level, second == std::string::npos ? s : s.substr(second + 1),
                            tag.substr(0, tag.rfind(':')), s});
    }
};

}  // namespace testtools
