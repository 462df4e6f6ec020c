// Logging through real files in a private temporary directory. The log stream, once opened,
// stays open for the life of the process, so every test that writes a file runs in a child
// process of its own and starts with no stream.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "oflog.h"
#include "support/oflog_internal.hpp"

namespace {

const std::string kDate =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";
std::vector<std::pair<int, std::string>> g_sunk;

std::string slurp(const std::string &path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}
bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Runs body in a child process; its failures are printed there and reported by its exit code.
template <class F>
void in_child(F body) {
    std::fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        std::exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed in the child (see above)";
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
        oflog_init(
            path_.c_str(), 4242, [](int l, const char *s) { g_sunk.emplace_back(l, s); }, nullptr);
    }
    void TearDown() override {
        oflog_init(nullptr, 0, nullptr, nullptr);
        for (const std::string &name : files())
            unlink((dir_ + "/" + name).c_str());
        unlink((dir_ + "/missing/agent.log").c_str());
        rmdir((dir_ + "/missing").c_str());
        EXPECT_EQ(rmdir(dir_.c_str()), 0) << "temporary directory left behind: " << dir_;
    }
    void fill(size_t bytes) { std::ofstream(path_) << std::string(bytes - 1, 'x') << '\n'; }
    // readdir64: the 32-bit readdir fails with EOVERFLOW on file systems with wide offsets.
    std::set<std::string> files() {
        std::set<std::string> names;
        if (DIR *d = opendir(dir_.c_str())) {
            while (dirent64 *e = readdir64(d))
                if (e->d_name[0] != '.') names.insert(e->d_name);
            closedir(d);
        }
        return names;
    }
    std::string dir_, path_;
};

TEST_F(LogFile, EveryLevelReachesFileAndSinkAsPidDateMicrosecondsTagFunctionLine) {
    in_child([&] {
        oflog_set_level(OFLOG_ERRS);  // stored for the host, never a filter
        EXPECT_EQ(oflog_get_level(), OFLOG_ERRS);
        oflog_to_file_enable();
        const int line = __LINE__ + 1;
        OFLOG(OFLOG_INFO, "hello %d", 42);
        ofagent::oflog_line<"value %s">(OFLOG_ERRS, "some_func", 9, ":77 ", 4, "five");
        OFLOG(OFLOG_DBUG, "ends in newline\n");
        const std::string head = "\\[4242\\] " + kDate + "\\.[0-9]{6} ", fn = "[a-z()_]+:";
        std::regex expect(head + "INFO " + fn + std::to_string(line) + " hello 42 \n" + head +
                          "ERRS some_func:77 value five \n" + head + "DBUG " + fn +
                          "[0-9]+ ends in newline\n \n");
        EXPECT_TRUE(std::regex_match(slurp(path_), expect)) << slurp(path_);
        // The sink gets the bare line, whatever the level.
        ASSERT_EQ(g_sunk.size(), 3u);
        EXPECT_EQ(g_sunk[0].second,
                  std::string("INFO ") + __func__ + ":" + std::to_string(line) + " hello 42");
        EXPECT_EQ(g_sunk[1],
                  std::make_pair(OFLOG_ERRS, std::string("ERRS some_func:77 value five")));
        EXPECT_EQ(g_sunk[2].first, OFLOG_DBUG);
    });
}

// The first rotation has nothing to shift into .2; the next moves .1 there.
TEST_F(LogFile, FileOneByteShortOfTheLimitTakesOneMoreLineThenRotates) {
    in_child([&] {
        fill(OFLOG_ROTATE_SIZE - 1);
        oflog_to_file_enable();
        OFLOG(OFLOG_INFO, "first");
        const std::string grown = slurp(path_);
        EXPECT_EQ(grown.rfind(std::string(OFLOG_ROTATE_SIZE - 2, 'x') + "\n[4242] ", 0), 0u);
        OFLOG(OFLOG_INFO, "second");
        EXPECT_EQ(slurp(path_ + ".1"), grown);
        EXPECT_TRUE(std::regex_match(slurp(path_), std::regex("[^\n]* second \n")));
        const std::string base = "ofagent_daemon_test.log";
        EXPECT_EQ(files(), (std::set<std::string>{base, base + ".1"}));
        std::string full;  // filled again until a line rotates it
        for (int i = 0; i < 100 && files().size() < 3; i++) {
            full = slurp(path_);
            OFLOG(OFLOG_INFO, "%s", std::string(OFLOG_BUF_SIZE / 2, 'y').c_str());
        }
        EXPECT_EQ(slurp(path_ + ".2"), grown);
        EXPECT_EQ(slurp(path_ + ".1"), full);
        // Whole names despite the long path: nothing cut short, nothing else created.
        EXPECT_EQ(files(), (std::set<std::string>{base, base + ".1", base + ".2"}));
        int marked = 0;  // the reopened stream is closed across exec
        for (int fd = 3; fd < 256; fd++) {
            char target[512] = {};
            std::string link = "/proc/self/fd/" + std::to_string(fd);
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 && path_ == target)
                marked += (fcntl(fd, F_GETFD) & FD_CLOEXEC) ? 1 : -100;
        }
        EXPECT_EQ(marked, 1);
    });
}

TEST_F(LogFile, DisableThenEnableKeepsTheStreamAndTheSinkHearsEveryLineCutToTheBuffer) {
    in_child([&] {
        oflog_to_file_enable();
        OFLOG(OFLOG_INFO, "one");
        oflog_to_file_disable();
        EXPECT_EQ(oflog_get_logging_val(), 0);
        OFLOG(OFLOG_INFO, "%s", std::string(OFLOG_BUF_SIZE + 100, 'y').c_str());
        EXPECT_EQ(g_sunk.back().second.size(), size_t{OFLOG_BUF_SIZE - 1});  // cut to the buffer
        // Moving the file away shows whether enable reopens the path or keeps the stream.
        ASSERT_EQ(rename(path_.c_str(), (path_ + ".moved").c_str()), 0);
        oflog_to_file_toggle();
        EXPECT_EQ(oflog_get_logging_val(), 1);
        OFLOG(OFLOG_INFO, "three");
        EXPECT_EQ(files(), std::set<std::string>{"ofagent_daemon_test.log.moved"});
        EXPECT_TRUE(
            std::regex_match(slurp(path_ + ".moved"), std::regex("[^\n]* one \n[^\n]* three \n")));
        EXPECT_EQ(g_sunk.size(), 3u);
    });
}

TEST_F(LogFile, UnopenablePathIsSkippedAndRetriedAtTheNextLine) {
    in_child([&] {
        std::string path = dir_ + "/missing/agent.log";
        oflog_init(
            path.c_str(), 7, [](int l, const char *s) { g_sunk.emplace_back(l, s); }, nullptr);
        oflog_to_file_enable();
        OFLOG(OFLOG_INFO, "lost");
        ASSERT_EQ(mkdir((dir_ + "/missing").c_str(), 0700), 0);
        OFLOG(OFLOG_INFO, "kept");
        EXPECT_TRUE(std::regex_match(slurp(path), std::regex("\\[7\\] [^\n]* kept \n")));
        EXPECT_EQ(g_sunk.size(), 2u);
    });
}

TEST(EventRing, KeepsTheLastTenWrittenNewestFirst) {
    static std::vector<std::string> printed;
    auto print = [](event_log_history *ring) {
        char buf[128];
        printed.clear();
        event_log_history_print(ring, buf, [](const char *line) { printed.emplace_back(line); });
        return printed;
    };
    event_log_history ring = {};
    EXPECT_TRUE(print(&ring).empty());
    event_log_history_add(&ring, nullptr);  // printed as empty text
    EXPECT_TRUE(print(&ring).size() == 1u &&
                std::regex_match(printed[0], std::regex(kDate + " : ")));
    for (int i = 2; i <= 12; i++) {
        event_log_history_add(&ring, ("event " + std::to_string(i)).c_str());
        // next_index back at 0: printing starts at slot 9
        EXPECT_TRUE(i != 10 || (ring.next_index == 0 && has(print(&ring).at(0), " : event 10")));
    }
    EXPECT_TRUE(ring.next_index == 2u && ring.total_count == 12u);
    ASSERT_EQ(print(&ring).size(), 10u);
    for (int i = 0; i < 10; i++)
        EXPECT_TRUE(std::regex_match(printed[size_t(i)],
                                     std::regex(kDate + " : event " + std::to_string(12 - i))));
    for (auto &e : ring.entries)
        free(e.text);
}

}  // namespace
