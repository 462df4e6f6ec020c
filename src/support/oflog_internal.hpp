// Library-internal logging: the same four steps as the public OFLOG macro, done out of line
// so that each log site costs one call instead of an inlined pair of snprintf calls.
#pragma once

#include "oflog.h"

namespace ofagent {

void oflog_emit(int level, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace ofagent

#undef OFLOG
#define OFLOG(level, ...) ::ofagent::oflog_emit((level), __func__, __LINE__, __VA_ARGS__)
// For a helper that logs on behalf of the step that called it: the line names func.
#define OFLOG_FROM(func, level, ...) ::ofagent::oflog_emit((level), (func), __LINE__, __VA_ARGS__)
