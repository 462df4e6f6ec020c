// printf-style formatting for log lines and message prints, without the stdio machinery: the
// conversions the library uses (d i u x X c s %, flags '-' and '0', a width, a precision on
// strings, the length modifiers hh h l ll z j t) are done here; anything else goes to
// vsnprintf, so the text is always exactly what vsnprintf would write.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace ofagent {

// vsnprintf's contract: writes at most room - 1 characters and a NUL (nothing when room is
// 0) and returns the length of the whole text, or a negative value on a format error.
int format_v(char *dst, size_t room, const char *fmt, va_list ap);
int format(char *dst, size_t room, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

}  // namespace ofagent
