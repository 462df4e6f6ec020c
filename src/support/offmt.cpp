// Fast formatting: one pass over the format, integers converted by hand. A conversion it does
// not know sends the whole call to vsnprintf from a copy of the arguments taken at the start.
#include "offmt.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace ofagent {
namespace {

// Bounded output that keeps counting past the end, as vsnprintf does.
struct Out {
    char *dst;
    size_t room;
    size_t n = 0;

    void put(char c) {
        if (n + 1 < room) dst[n] = c;
        n++;
    }
    void put(const char *s, size_t len) {
        if (n + len < room) {  // the common case: it all fits
            if (len <= 8) {
                for (size_t i = 0; i < len; i++)
                    dst[n + i] = s[i];
            } else {
                std::memcpy(dst + n, s, len);
            }
        } else if (n + 1 < room) {
            std::memcpy(dst + n, s, room - 1 - n);
        }
        n += len;
    }
    void pad(char c, size_t count) {
        for (size_t i = 0; i < count; i++)
            put(c);
    }
};

struct Conversion {
    bool left = false;
    bool zero = false;
    size_t width = 0;
    int precision = -1;
    int length = 0;  // 0 int, 1 long, 2 long long, 3 size_t/intmax/ptrdiff, -1 short, -2 char
};

// The field with its padding; zeros go after a sign.
void emit_field(Out &out, const Conversion &s, const char *body, size_t len, bool negative,
                bool numeric) {
    const size_t total = len + (negative ? 1 : 0);
    const size_t fill = s.width > total ? s.width - total : 0;
    if (!s.left && !(s.zero && numeric)) out.pad(' ', fill);
    if (negative) out.put('-');
    if (!s.left && s.zero && numeric) out.pad('0', fill);
    out.put(body, len);
    if (s.left) out.pad(' ', fill);
}

// Digits of v, right-aligned in buf; returns the first digit. Constant bases let the
// compiler turn the divisions into multiplications.
template <unsigned Base>
char *digits_of(unsigned long long v, char *end, bool upper) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char *p = end;
    do {
        *--p = digits[v % Base];
        v /= Base;
    } while (v != 0);
    return p;
}

void emit_unsigned(Out &out, const Conversion &s, unsigned long long v, bool negative, int base,
                   bool upper) {
    char buf[24];
    char *const end = buf + sizeof buf;
    const char *first = base == 16 ? digits_of<16>(v, end, upper) : digits_of<10>(v, end, false);
    const size_t len = static_cast<size_t>(end - first);
    if (s.width == 0 && !negative) {
        out.put(first, len);
        return;
    }
    emit_field(out, s, first, len, negative, true);
}

long long signed_arg(const Conversion &s, va_list &ap) {
    switch (s.length) {
        case -2:
            return static_cast<signed char>(va_arg(ap, int));
        case -1:
            return static_cast<short>(va_arg(ap, int));
        case 1:
            return va_arg(ap, long);
        case 2:
            return va_arg(ap, long long);
        case 3:
            return static_cast<long long>(va_arg(ap, ptrdiff_t));
        default:
            return va_arg(ap, int);
    }
}

unsigned long long unsigned_arg(const Conversion &s, va_list &ap) {
    switch (s.length) {
        case -2:
            return static_cast<unsigned char>(va_arg(ap, unsigned));
        case -1:
            return static_cast<unsigned short>(va_arg(ap, unsigned));
        case 1:
            return va_arg(ap, unsigned long);
        case 2:
            return va_arg(ap, unsigned long long);
        case 3:
            return va_arg(ap, size_t);
        default:
            return va_arg(ap, unsigned);
    }
}

// Parses flags, width, precision and length at *p; false for anything not handled here.
bool parse_conversion(const char *&p, Conversion &s) {
    for (;; p++) {
        if (*p == '-')
            s.left = true;
        else if (*p == '0')
            s.zero = true;
        else
            break;
    }
    while (*p >= '0' && *p <= '9')
        s.width = s.width * 10 + static_cast<size_t>(*p++ - '0');
    if (*p == '.') {
        p++;
        s.precision = 0;
        while (*p >= '0' && *p <= '9')
            s.precision = s.precision * 10 + (*p++ - '0');
    }
    if (*p == 'h') {
        s.length = p[1] == 'h' ? -2 : -1;
        p += s.length == -2 ? 2 : 1;
    } else if (*p == 'l') {
        s.length = p[1] == 'l' ? 2 : 1;
        p += s.length == 2 ? 2 : 1;
    } else if (*p == 'z' || *p == 'j' || *p == 't') {
        // size_t, intmax_t and ptrdiff_t all have the width of long long or of long here.
        if (*p == 'j')
            s.length = 2;
        else
            s.length = sizeof(size_t) == sizeof(unsigned long long) ? 2 : 3;
        p++;
    }
    return s.width < 4096;
}

// Formats fmt into out; false (with nothing consumed worth keeping) at an unknown conversion.
bool format_fast(Out &out, const char *fmt, va_list &ap) {
    for (const char *p = fmt; *p;) {
        if (*p != '%') {
            const char *q = std::strchr(p, '%');
            const size_t len = q ? static_cast<size_t>(q - p) : std::strlen(p);
            out.put(p, len);
            p += len;
            continue;
        }
        p++;
        Conversion s;
        if (!parse_conversion(p, s)) return false;
        const char conv = *p++;
        switch (conv) {
            case 'd':
            case 'i': {
                if (s.precision >= 0) return false;
                const long long v = signed_arg(s, ap);
                const unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                                     : static_cast<unsigned long long>(v);
                emit_unsigned(out, s, mag, v < 0, 10, false);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
                if (s.precision >= 0) return false;
                emit_unsigned(out, s, unsigned_arg(s, ap), false, conv == 'u' ? 10 : 16,
                              conv == 'X');
                break;
            case 'c': {
                if (s.length != 0 || s.precision >= 0) return false;
                const char c = static_cast<char>(va_arg(ap, int));
                emit_field(out, s, &c, 1, false, false);
                break;
            }
            case 's': {
                if (s.length != 0) return false;
                const char *str = va_arg(ap, const char *);
                if (str == nullptr) str = s.precision < 0 || s.precision >= 6 ? "(null)" : "";
                const size_t len = s.precision < 0 ? std::strlen(str)
                                                   : strnlen(str, static_cast<size_t>(s.precision));
                if (s.width == 0)
                    out.put(str, len);
                else
                    emit_field(out, s, str, len, false, false);
                break;
            }
            case '%':
                if (s.left || s.zero || s.width || s.precision >= 0 || s.length) return false;
                out.put('%');
                break;
            default:
                return false;
        }
    }
    return true;
}

}  // namespace

int format_v(char *dst, size_t room, const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    Out out{dst, room};
    const bool ok = format_fast(out, fmt, copy);
    va_end(copy);
    if (!ok || out.n > INT32_MAX) return std::vsnprintf(dst, room, fmt, ap);
    if (room > 0) dst[out.n < room ? out.n : room - 1] = '\0';
    return static_cast<int>(out.n);
}

int format(char *dst, size_t room, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = format_v(dst, room, fmt, ap);
    va_end(ap);
    return n;
}

}  // namespace ofagent
