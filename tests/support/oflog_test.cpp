// Logging through real files in a private temporary directory. The log stream, once opened,
// stays open for the life of the process, so every test that writes a file runs in a child
// process of its own and starts with no stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "oflog.h"
#include "support/oflog_internal.hpp"

namespace {

const char *const kDate =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

std::vector<std::pair<int, std::string>> g_sunk;
void sink(int level, const char *line) {
    g_sunk.emplace_back(level, line);
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Text matched as it stands inside a regular expression.
std::string literal(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c))) out += '\\';
        out += c;
    }
    return out;
}

bool exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// Runs body in a child process; its failures are printed there and reported by its exit code.
template <class F>
void in_child(F body) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        std::exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "checks failed in the child process (see its output above)";
}

class LogFile : public testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ofagent-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/ofagent_daemon_test.log";  // longer than 29 characters on purpose
        g_sunk.clear();
        oflog_to_file_disable();
        oflog_set_level(OFLOG_INFO);
        oflog_init(path_.c_str(), 4242, sink, nullptr);
    }
    void TearDown() override {
        oflog_init(nullptr, 0, nullptr, nullptr);
        for (const std::string &name : files())
            unlink((dir_ + "/" + name).c_str());
        unlink((dir_ + "/missing/agent.log").c_str());
        rmdir((dir_ + "/missing").c_str());
        EXPECT_EQ(rmdir(dir_.c_str()), 0) << "temporary directory left behind: " << dir_;
    }
    void fill(const std::string &path, size_t bytes) {
        std::ofstream(path, std::ios::binary) << std::string(bytes - 1, 'x') << '\n';
    }
    // readdir64: the 32-bit readdir fails with EOVERFLOW on file systems with wide offsets.
    std::set<std::string> files() {
        std::set<std::string> names;
        DIR *d = opendir(dir_.c_str());
        if (d == nullptr) return names;
        while (dirent64 *e = readdir64(d))
            names.insert(e->d_name);
        closedir(d);
        names.erase(".");
        names.erase("..");
        return names;
    }
    std::string dir_, path_;
};

TEST_F(LogFile, LineCarriesPidDateMicrosecondsTagFunctionLineAndTrailingBlank) {
    in_child([&] {
        const std::string fn = __func__;  // the function name every line carries
        oflog_to_file_enable();
        const int line = __LINE__ + 1;
        OFLOG(OFLOG_INFO, "hello %d", 42);
        ofagent::oflog_emit(OFLOG_ERRS, "some_func", 77, "value %s", "five");
        OFLOG(OFLOG_DBUG, "ends in newline\n");
        std::string text = slurp(path_);
        std::string expect = std::string("\\[4242\\] ") + kDate + "\\.[0-9]{6} ";
        std::regex first(expect + "INFO " + literal(fn) + ":" + std::to_string(line) +
                         " hello 42 \n");
        std::regex second(expect + "ERRS some_func:77 value five \n");
        std::regex third(expect + "DBUG " + literal(fn) + ":[0-9]+ ends in newline\n \n");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(text, m, first)) << text;
        EXPECT_EQ(m.position(0), 0);
        std::string rest = m.suffix();
        ASSERT_TRUE(std::regex_search(rest, m, second)) << rest;
        EXPECT_EQ(m.position(0), 0);
        rest = m.suffix();
        EXPECT_TRUE(std::regex_match(rest, third)) << rest;
        // The sink gets the same line, without the file's prefix.
        ASSERT_EQ(g_sunk.size(), 3u);
        EXPECT_EQ(g_sunk[0].second, "INFO " + fn + ":" + std::to_string(line) + " hello 42");
        EXPECT_EQ(g_sunk[1],
                  std::make_pair(OFLOG_ERRS, std::string("ERRS some_func:77 value five")));
    });
}

TEST_F(LogFile, FileOneByteShortOfTheLimitTakesOneMoreLineThenRotates) {
    in_child([&] {
        const std::string fn = __func__;  // the function name every line carries
        fill(path_, OFLOG_ROTATE_SIZE - 1);
        std::ofstream(path_ + ".1") << "older rotation\n";
        oflog_to_file_enable();
        OFLOG(OFLOG_INFO, "first");
        std::string grown = slurp(path_);
        EXPECT_GT(grown.size(), size_t{OFLOG_ROTATE_SIZE - 1});
        EXPECT_NE(grown.find("first \n"), std::string::npos);
        EXPECT_EQ(slurp(path_ + ".1"), "older rotation\n");
        EXPECT_FALSE(exists(path_ + ".2"));

        OFLOG(OFLOG_INFO, "second");
        EXPECT_EQ(slurp(path_ + ".1"), grown);
        EXPECT_EQ(slurp(path_ + ".2"), "older rotation\n");
        auto now = lines_of(slurp(path_));
        ASSERT_EQ(now.size(), 1u);
        EXPECT_NE(now[0].find("INFO " + fn + ":"), std::string::npos);
        EXPECT_NE(now[0].find(" second "), std::string::npos);
        // Full names despite the long path: nothing cut short, nothing else created.
        EXPECT_EQ(files(),
                  (std::set<std::string>{"ofagent_daemon_test.log", "ofagent_daemon_test.log.1",
                                         "ofagent_daemon_test.log.2"}));
    });
}

TEST_F(LogFile, FirstRotationWithoutEarlierFilesKeepsTheOldContentInDotOne) {
    in_child([&] {
        ASSERT_GT(path_.size(), 29u);
        fill(path_, OFLOG_ROTATE_SIZE);
        std::string old = slurp(path_);
        oflog_to_file_enable();
        OFLOG(OFLOG_INFO, "fresh");
        EXPECT_EQ(slurp(path_ + ".1"), old);
        EXPECT_FALSE(exists(path_ + ".2"));
        auto now = lines_of(slurp(path_));
        ASSERT_EQ(now.size(), 1u);
        EXPECT_NE(now[0].find(" fresh "), std::string::npos);
        // The reopened stream is marked close-on-exec as well.
        bool found = false;
        for (int fd = 3; fd < 256; fd++) {
            char link[64], target[512] = {};
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            if (readlink(link, target, sizeof target - 1) > 0 && path_ == target) {
                found = true;
                EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
            }
        }
        EXPECT_TRUE(found);
    });
}

TEST_F(LogFile, DisableThenEnableKeepsWritingToTheSameStream) {
    in_child([&] {
        oflog_to_file_enable();
        EXPECT_EQ(oflog_get_logging_val(), 1);
        OFLOG(OFLOG_INFO, "one");
        oflog_to_file_disable();
        EXPECT_EQ(oflog_get_logging_val(), 0);
        OFLOG(OFLOG_INFO, "two");
        // Moving the file away shows whether enable reopens the path or keeps the stream.
        ASSERT_EQ(rename(path_.c_str(), (path_ + ".moved").c_str()), 0);
        oflog_to_file_toggle();
        EXPECT_EQ(oflog_get_logging_val(), 1);
        OFLOG(OFLOG_INFO, "three");
        EXPECT_FALSE(exists(path_));
        auto lines = lines_of(slurp(path_ + ".moved"));
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(" one "), std::string::npos);
        EXPECT_NE(lines[1].find(" three "), std::string::npos);
        EXPECT_EQ(g_sunk.size(), 3u) << "the sink hears every line, file logging on or off";
    });
}

TEST_F(LogFile, LevelNeverFiltersTheFileOrTheSink) {
    in_child([&] {
        const std::string fn = __func__;  // the function name every line carries
        oflog_set_level(OFLOG_ERRS);
        EXPECT_EQ(oflog_get_level(), OFLOG_ERRS);
        oflog_to_file_enable();
        OFLOG(OFLOG_INFO, "info");
        OFLOG(OFLOG_DBUG, "debug");
        OFLOG(OFLOG_ERRS, "error");
        oflog_to_file_toggle();
        EXPECT_EQ(oflog_get_logging_val(), 0);
        OFLOG(OFLOG_ERRS, "sink only");
        auto lines = lines_of(slurp(path_));
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_NE(lines[0].find("INFO " + fn + ":"), std::string::npos);
        EXPECT_NE(lines[1].find("DBUG " + fn + ":"), std::string::npos);
        EXPECT_NE(lines[2].find("ERRS " + fn + ":"), std::string::npos);
        ASSERT_EQ(g_sunk.size(), 4u);
        EXPECT_EQ(g_sunk[0].first, OFLOG_INFO);
        EXPECT_EQ(g_sunk[1].first, OFLOG_DBUG);
        EXPECT_EQ(g_sunk[2].first, OFLOG_ERRS);
    });
}

TEST_F(LogFile, UnopenablePathIsSkippedAndRetriedAtTheNextLine) {
    in_child([&] {
        std::string path = dir_ + "/missing/agent.log";
        oflog_init(path.c_str(), 7, sink, nullptr);
        oflog_to_file_enable();
        OFLOG(OFLOG_INFO, "lost");
        EXPECT_EQ(g_sunk.size(), 1u);
        ASSERT_EQ(mkdir((dir_ + "/missing").c_str(), 0700), 0);
        OFLOG(OFLOG_INFO, "kept");
        auto lines = lines_of(slurp(path));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("[7] ", 0), 0u);
        EXPECT_NE(lines[0].find(" kept "), std::string::npos);
    });
}

TEST_F(LogFile, WithFileLoggingOffOnlyTheSinkHearsTheLine) {
    OFLOG(OFLOG_INFO, "to the sink");
    EXPECT_FALSE(exists(path_));
    ASSERT_EQ(g_sunk.size(), 1u);
    EXPECT_EQ(g_sunk[0].second.rfind("INFO TestBody:", 0), 0u);
    // No sink either: the line is still formatted into the shared buffer.
    oflog_init(path_.c_str(), 1, nullptr, nullptr);
    OFLOG(OFLOG_ERRS, "nowhere %d", 3);
    EXPECT_EQ(std::string(oflog_buf).find("ERRS TestBody:"), 0u);
    EXPECT_NE(std::string(oflog_buf).find(" nowhere 3"), std::string::npos);
    EXPECT_EQ(g_sunk.size(), 1u);
    EXPECT_FALSE(exists(path_));
}

TEST_F(LogFile, OverlongMessageIsCutAtTheBufferEnd) {
    std::string big(OFLOG_BUF_SIZE + 100, 'y');
    OFLOG(OFLOG_INFO, "%s", big.c_str());
    ASSERT_EQ(g_sunk.size(), 1u);
    EXPECT_EQ(g_sunk[0].second.size(), size_t{OFLOG_BUF_SIZE - 1});
    EXPECT_EQ(g_sunk[0].second.back(), 'y');
}

// ---- Event ring ---------------------------------------------------------------------------

std::vector<std::string> g_printed;
void print_line(const char *line) {
    g_printed.emplace_back(line);
}

class EventRing : public testing::Test {
   protected:
    void SetUp() override { g_printed.clear(); }
    void TearDown() override {
        for (auto &e : ring_.entries)
            free(e.text);
    }
    void add(int from, int to) {
        for (int i = from; i <= to; i++)
            event_log_history_add(&ring_, ("event " + std::to_string(i)).c_str());
    }
    void print() {
        char buf[128];
        event_log_history_print(&ring_, buf, print_line);
    }
    event_log_history ring_ = {};
};

TEST_F(EventRing, FreshRingPrintsNothing) {
    print();
    EXPECT_TRUE(g_printed.empty());
}

TEST_F(EventRing, TwelveEventsKeepTheLastTenNewestFirst) {
    add(1, 12);
    EXPECT_EQ(ring_.next_index, 2u);
    EXPECT_EQ(ring_.total_count, 12u);
    print();
    ASSERT_EQ(g_printed.size(), 10u);
    for (int i = 0; i < 10; i++) {
        std::regex line(std::string(kDate) + " : event " + std::to_string(12 - i));
        EXPECT_TRUE(std::regex_match(g_printed[i], line)) << g_printed[i];
    }
}

TEST_F(EventRing, ExactlyTenEventsPrintFromSlotNine) {
    add(1, 10);
    EXPECT_EQ(ring_.next_index, 0u);
    print();
    ASSERT_EQ(g_printed.size(), 10u);
    EXPECT_NE(g_printed.front().find(" : event 10"), std::string::npos);
    EXPECT_NE(g_printed.back().find(" : event 1"), std::string::npos);
}

TEST_F(EventRing, PartlyFilledRingPrintsOnlyWrittenSlotsAndNullTextAsEmpty) {
    add(1, 2);
    event_log_history_add(&ring_, nullptr);
    EXPECT_EQ(ring_.entries[2].text, nullptr);
    EXPECT_NE(ring_.entries[2].timestamp, 0);
    print();
    ASSERT_EQ(g_printed.size(), 3u);
    EXPECT_TRUE(std::regex_match(g_printed[0], std::regex(std::string(kDate) + " : ")));
    EXPECT_NE(g_printed[1].find(" : event 2"), std::string::npos);
    EXPECT_NE(g_printed[2].find(" : event 1"), std::string::npos);
}

}  // namespace
