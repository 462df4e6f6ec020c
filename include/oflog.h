/*
 * Logging and event history.
 *
 * Every line goes through OFLOG: it is formatted into oflog_buf ("TAG function:line message"),
 * written to the rotating log file while file logging is on, and handed to syslog_func when
 * the host installed one. Levels are stored for the host but never filter anything.
 * Nothing here is thread-safe: all of it runs on the host's event thread.
 */
#ifndef OFLOG_H
#define OFLOG_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "ofagent_export.h"

OFAGENT_BEGIN_DECLS

#define OFLOG_ERRS 3
#define OFLOG_INFO 6
#define OFLOG_DBUG 7

#define OFLOG_BUF_SIZE 8192
/* A log file is rotated once it holds at least this many bytes. */
#define OFLOG_ROTATE_SIZE 131072
#define EVENT_LOG_HISTORY_SIZE 10

typedef void (*oflog_sink_fn)(int level, const char *line);
typedef void (*oflog_id_fn)(void);

/* The one line buffer every OFLOG formats into; overwritten by each line. */
extern OFAGENT_API char oflog_buf[OFLOG_BUF_SIZE];
/* The host's log sink, called after the file writer for every line; may be null. */
extern OFAGENT_API oflog_sink_fn syslog_func;
/* Stored for the host by oflog_init; the library never calls it. */
extern OFAGENT_API oflog_id_fn syslog_id_func;
/* Printed in brackets at the start of every file line. */
extern OFAGENT_API int32_t of_pid;

/* Stores the path (not a copy: keep it alive), pid, sink and id function. Opens nothing. */
OFAGENT_API void oflog_init(const char *path, int pid, oflog_sink_fn sink, oflog_id_fn id_fn);
/* Hands the line to the file writer while file logging is on; level is unused. */
OFAGENT_API void oflog_to_file(int level, const char *line);
OFAGENT_API void oflog_to_file_enable(void);
OFAGENT_API void oflog_to_file_disable(void);
OFAGENT_API void oflog_to_file_toggle(void);
/* 1 while file logging is on, else 0. */
OFAGENT_API int oflog_get_logging_val(void);
OFAGENT_API void oflog_set_level(int level);
OFAGENT_API int oflog_get_level(void);

typedef struct event_log_entry {
    time_t timestamp; /* realtime seconds when added; 0 marks an empty slot */
    char *text;       /* the ring's own copy, or null */
} event_log_entry;

/* The host allocates the ring zero-filled; the library has no set-up function for it. */
typedef struct event_log_history {
    uint32_t total_count;
    uint32_t next_index;
    event_log_entry entries[EVENT_LOG_HISTORY_SIZE];
} event_log_history;

typedef void (*event_log_print_fn)(const char *line);

/* Records one event; text may be null (the slot then prints its date and an empty text). */
OFAGENT_API void event_log_history_add(event_log_history *ring, const char *text);
/* Formats each used slot, newest first, as "date : text" into buf and calls print_fn with it.
 * buf must hold 24 + 3 + the longest text + 1 bytes. */
OFAGENT_API void event_log_history_print(event_log_history *ring, char *buf,
                                         event_log_print_fn print_fn);

static inline const char *oflog_level_tag(int level) {
    switch (level) {
        case OFLOG_ERRS:
            return "ERRS %s:%d ";
        case OFLOG_INFO:
            return "INFO %s:%d ";
        case OFLOG_DBUG:
            return "DBUG %s:%d ";
        default:
            return "UNKN %s:%d "; /* the library uses only the three levels above */
    }
}

/* OFLOG(level, format, ...): the tag, the calling function and line, then the message. */
#define OFLOG(level, ...)                                                                         \
    do {                                                                                          \
        int oflog_lvl_ = (level);                                                                 \
        int oflog_n_ =                                                                            \
            snprintf(oflog_buf, OFLOG_BUF_SIZE, oflog_level_tag(oflog_lvl_), __func__, __LINE__); \
        if (oflog_n_ < 0) oflog_n_ = 0;                                                           \
        if (oflog_n_ > OFLOG_BUF_SIZE - 1) oflog_n_ = OFLOG_BUF_SIZE - 1;                         \
        snprintf(oflog_buf + oflog_n_, (size_t)(OFLOG_BUF_SIZE - oflog_n_), __VA_ARGS__);         \
        oflog_to_file(oflog_lvl_, oflog_buf);                                                     \
        if (syslog_func != NULL) syslog_func(oflog_lvl_, oflog_buf);                              \
    } while (0)

OFAGENT_END_DECLS

#endif /* OFLOG_H */
