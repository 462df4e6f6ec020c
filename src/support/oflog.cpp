// Logging: one shared line buffer, a size-rotated log file and the host's sink; and the
// ten-slot event ring. Everything runs on the host's event thread, so nothing is locked.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "offmt.hpp"
#include "oflog_internal.hpp"

extern "C" {
OFAGENT_API char oflog_buf[OFLOG_BUF_SIZE];
OFAGENT_API oflog_sink_fn syslog_func;
OFAGENT_API oflog_id_fn syslog_id_func;
OFAGENT_API int32_t of_pid;
}

namespace {

int oflog_file_enabled;
FILE *oflog_file;
const char *oflog_file_path;
int oflog_level = OFLOG_INFO;

constexpr long kRotateAt = OFLOG_ROTATE_SIZE - 1;  // rotate once the offset is above this
constexpr size_t kDateLen = 64;

// Line-buffered, and closed across exec so that a spawned helper never inherits the log.
// False when the close-on-exec flag could not be set: the caller then drops this line.
bool prepare_stream(FILE *f) {
    setlinebuf(f);
    const int fd = fileno(f);
    const int flags = fcntl(fd, F_GETFD);
    if (flags == -1) return true;  // cannot read the flags: only the mark is skipped
    return fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// Shifts path.1 to path.2 and the current file to path.1. The names are built whole or not at
// all: a name cut short could be another file's.
void rotate_names(const char *path) {
    char names[3][PATH_MAX + 4];
    if (std::snprintf(names[0], sizeof names[0], "%s", path) >= (int)sizeof names[0]) return;
    for (int i = 1; i <= 2; i++) {
        if (std::snprintf(names[i], sizeof names[i], "%s.%d", path, i) >= (int)sizeof names[i])
            return;
    }
    for (int i = 2; i >= 1; i--) {
        (void)unlink(names[i]);
        (void)link(names[i - 1], names[i]);
    }
    (void)unlink(path);
}

// Opens the log when needed and rotates it when full. False when this line must not be
// written (no stream, or the close-on-exec mark failed).
bool ready_stream() {
    if (oflog_file == nullptr) {
        if (oflog_file_path == nullptr) return false;
        oflog_file = std::fopen(oflog_file_path, "a");
        if (oflog_file == nullptr) return false;  // retried at the next line
        if (!prepare_stream(oflog_file)) return false;
    }
    if (std::ftell(oflog_file) > kRotateAt) {
        std::fclose(oflog_file);
        oflog_file = nullptr;
        if (oflog_file_path == nullptr) return false;
        rotate_names(oflog_file_path);
        oflog_file = std::fopen(oflog_file_path, "w");
        if (oflog_file == nullptr) return false;
        if (!prepare_stream(oflog_file)) return false;
    }
    return true;
}

// ctime's 24-character text without its newline, in a zero-filled buffer.
void time_string(time_t t, char (&out)[kDateLen]) {
    std::memset(out, 0, sizeof out);
    char text[kDateLen] = {};
    if (ctime_r(&t, text) == nullptr) return;
    const size_t n = std::strcspn(text, "\n");
    std::memcpy(out, text, n < sizeof out - 1 ? n : sizeof out - 1);
}

void oflog_write_file(const char *line) {
    if (!ready_stream()) return;
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    char date[kDateLen];
    time_string(now.tv_sec, date);
    std::fprintf(oflog_file, "[%d] %s.%06d %s \n", (int)of_pid, date, (int)(now.tv_nsec / 1000),
                 line);
}

}  // namespace

namespace ofagent {

text::Out oflog_begin(int level, const char *func, size_t func_len, const char *line,
                      size_t line_len) {
    text::Out out{oflog_buf, oflog_buf + OFLOG_BUF_SIZE - 1};
    out.put(level_tag(level), 5);
    out.put(func, func_len);
    out.put(line, line_len);
    return out;
}

void oflog_emit(int level, const char *func, size_t func_len, const char *line, size_t line_len,
                const char *format, const text::Step *steps, size_t n, const text::Arg *args) {
    text::Out out = oflog_begin(level, func, func_len, line, line_len);
    text::emit(out, format, steps, n, args);
    oflog_end(level, out);
}

void oflog_end(int level, text::Out &out) {
    out.finish();
    oflog_to_file(level, oflog_buf);
    if (syslog_func != nullptr) syslog_func(level, oflog_buf);
}

}  // namespace ofagent

extern "C" {

OFAGENT_API void oflog_init(const char *path, int pid, oflog_sink_fn sink, oflog_id_fn id_fn) {
    oflog_file_path = path;
    of_pid = pid;
    syslog_func = sink;
    syslog_id_func = id_fn;
}

OFAGENT_API void oflog_to_file(int level, const char *line) {
    (void)level;
    if (oflog_file_enabled) oflog_write_file(line);
}

OFAGENT_API void oflog_to_file_enable(void) {
    oflog_file_enabled = 1;
}
OFAGENT_API void oflog_to_file_disable(void) {
    oflog_file_enabled = 0;
}
OFAGENT_API void oflog_to_file_toggle(void) {
    oflog_file_enabled = oflog_file_enabled ? 0 : 1;
}
OFAGENT_API int oflog_get_logging_val(void) {
    return oflog_file_enabled ? 1 : 0;
}
OFAGENT_API void oflog_set_level(int level) {
    oflog_level = level;
}
OFAGENT_API int oflog_get_level(void) {
    return oflog_level;
}

OFAGENT_API void event_log_history_add(event_log_history *ring, const char *text) {
    // A corrupted index must never write outside the ten slots.
    const uint32_t i = ring->next_index % EVENT_LOG_HISTORY_SIZE;
    event_log_entry *slot = &ring->entries[i];
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    slot->timestamp = now.tv_sec;
    std::free(slot->text);
    slot->text = text ? strdup(text) : nullptr;
    ring->next_index = (i + 1) % EVENT_LOG_HISTORY_SIZE;
    ring->total_count++;
}

OFAGENT_API void event_log_history_print(event_log_history *ring, char *buf,
                                         event_log_print_fn print_fn) {
    uint32_t i = (ring->next_index % EVENT_LOG_HISTORY_SIZE + EVENT_LOG_HISTORY_SIZE - 1) %
                 EVENT_LOG_HISTORY_SIZE;
    for (int step = 0; step < EVENT_LOG_HISTORY_SIZE; step++) {
        const event_log_entry *slot = &ring->entries[i];
        if (slot->timestamp != 0) {
            char date[kDateLen];
            time_string(slot->timestamp, date);
            std::sprintf(buf, "%s : %s", date, slot->text ? slot->text : "");
            print_fn(buf);
        }
        i = (i + EVENT_LOG_HISTORY_SIZE - 1) % EVENT_LOG_HISTORY_SIZE;
    }
}

}  // extern "C"
