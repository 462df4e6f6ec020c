// The conversions of the compile-time formatter: numbers written straight into the output (their
// digit count known first, two decimal digits at a time), strings copied once.
#include "offmt.hpp"

namespace ofagent::text {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// "000102...feff": two hex digits per table read, as kDigitPairs does for decimal.
constexpr auto kHexPairs = [] {
    std::array<char, 512> t{};
    for (size_t i = 0; i < 256; i++) {
        t[2 * i] = kHexDigits[i >> 4];
        t[2 * i + 1] = kHexDigits[i & 15];
    }
    return t;
}();

inline size_t decimal_digits(uint32_t v) {
    if (v < 100000) return v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : v < 10000 ? 4 : 5;
    return v < 1000000 ? 6 : v < 10000000 ? 7 : v < 100000000 ? 8 : v < 1000000000 ? 9 : 10;
}

inline size_t decimal_digits(uint64_t v) {
    if (v <= UINT32_MAX) return decimal_digits(static_cast<uint32_t>(v));
    size_t n = 10;
    for (v /= 10000000000ull; v != 0; v /= 10)
        n++;
    return n;
}

inline size_t hex_digits(uint64_t v) {
    return v == 0 ? 1 : (64 - static_cast<size_t>(__builtin_clzll(v)) + 3) / 4;
}

// Backwards from end. Values that fit 32 bits never take a 64-bit division, which a 32-bit core
// does in software.
inline void write_decimal(char *end, uint64_t v64) {
    while (v64 > UINT32_MAX) {
        const uint64_t q = v64 / 100;
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * (v64 - q * 100), 2);
        v64 = q;
    }
    uint32_t v = static_cast<uint32_t>(v64);
    while (v >= 100) {
        const uint32_t q = v / 100;
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * (v - q * 100), 2);
        v = q;
    }
    if (v >= 10) {
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * v, 2);
    } else {
        *--end = static_cast<char>('0' + v);
    }
}

inline void write_hex(char *end, uint64_t v, bool upper) {
    const char *digits = kHexDigits + (upper ? 16 : 0);
    do {
        *--end = digits[v & 15];
        v >>= 4;
    } while (v != 0);
}

// What does not fit is cut where the room ends.
[[gnu::noinline]] void put_cut(Out &o, uint64_t v, size_t len, bool hex, bool upper) {
    char buf[24];
    if (hex)
        write_hex(buf + len, v, upper);
    else
        write_decimal(buf + len, v);
    o.put(buf, len);
}

// The len digits of v, in place.
inline void put_digits(Out &o, uint64_t v, size_t len, bool hex, bool upper) {
    if (len > o.room()) [[unlikely]]
        return put_cut(o, v, len, hex, upper);
    if (hex)
        write_hex(o.pos + len, v, upper);
    else
        write_decimal(o.pos + len, v);
    o.pos += len;
}

}  // namespace

void put_unsigned(Out &o, uint64_t v) {
    put_digits(o, v, decimal_digits(v), false, false);
}

void put_unsigned32(Out &o, uint32_t v) {
    // The "none"/"any" value of buffer ids, ports and groups: in most flow-mods, three times.
    if (v == UINT32_MAX && o.room() >= 10) [[unlikely]] {
        std::memcpy(o.pos, "4294967295", 10);
        o.pos += 10;
        return;
    }
    const size_t len = decimal_digits(v);
    if (len > o.room()) [[unlikely]]
        return put_cut(o, v, len, false, false);
    char *end = o.pos + len;
    while (v >= 100) {
        const uint32_t q = v / 100;
        end -= 2;
        std::memcpy(end, kDigitPairs + 2 * (v - q * 100), 2);
        v = q;
    }
    if (v >= 10)
        std::memcpy(end - 2, kDigitPairs + 2 * v, 2);
    else
        end[-1] = static_cast<char>('0' + v);
    o.pos += len;
}

void put_hex32(Out &o, uint32_t v) {
    const size_t len = v == 0 ? 1 : (32 - static_cast<size_t>(__builtin_clz(v)) + 3) / 4;
    if (len > o.room()) [[unlikely]]
        return put_cut(o, v, len, true, false);
    char *end = o.pos + len;
    for (; v > 0xff; v >>= 8) {
        end -= 2;
        std::memcpy(end, kHexPairs.data() + 2 * (v & 0xff), 2);
    }
    if (v > 0xf)
        std::memcpy(end - 2, kHexPairs.data() + 2 * v, 2);
    else
        end[-1] = kHexDigits[v];
    o.pos += len;
}

void put_signed32(Out &o, int32_t v) {
    if (v < 0) {
        o.put('-');
        return put_unsigned32(o, 0u - static_cast<uint32_t>(v));
    }
    put_unsigned32(o, static_cast<uint32_t>(v));
}

void put_signed(Out &o, int64_t v) {
    const uint64_t magnitude = v < 0 ? 0ull - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (v < 0) o.put('-');
    put_digits(o, magnitude, decimal_digits(magnitude), false, false);
}

void put_hex(Out &o, uint64_t v, bool upper) {
    put_digits(o, v, hex_digits(v), true, upper);
}

// (A byte of a MAC address with room for it is written by the caller, in line.)
void put_hex_zero(Out &o, uint64_t v, size_t width) {
    const size_t len = hex_digits(v);
    if (width > len) o.fill('0', width - len);
    put_digits(o, v, len, true, false);
}

void put_string(Out &o, const char *s) {
    if (!s) s = "(null)";
    o.put(s, std::strlen(s));
}

void put_string_max(Out &o, const char *s, size_t precision) {
    if (!s) s = precision >= 6 ? "(null)" : "";
    o.put(s, strnlen(s, precision));
}

void put_integer_field(Out &o, uint64_t magnitude, bool negative, unsigned base, bool upper,
                       FieldSpec spec) {
    const size_t len = base == 16 ? hex_digits(magnitude) : decimal_digits(magnitude);
    const size_t total = len + (negative ? 1 : 0);
    const size_t pad = spec.width > total ? spec.width - total : 0;
    if (!spec.left && !spec.zero) o.fill(' ', pad);
    if (negative) o.put('-');
    if (!spec.left && spec.zero) o.fill('0', pad);
    put_digits(o, magnitude, len, base == 16, upper);
    if (spec.left) o.fill(' ', pad);
}

void put_text_field(Out &o, const char *s, size_t len, FieldSpec spec) {
    const size_t pad = spec.width > len ? spec.width - len : 0;
    if (!spec.left) o.fill(' ', pad);
    o.put(s, len);
    if (spec.left) o.fill(' ', pad);
}

void emit(Out &o, const char *format, const Step *steps, size_t n, const Arg *args) {
    for (const Step *st = steps; st != steps + n && !o.full(); st++) {
        if (st->conv == 0) {
            o.put(format + st->begin, st->len);
            continue;
        }
        const Arg &a = args[st->arg];
        if (st->flags == 0 && st->width == 0) {  // the common plain conversions
            switch (st->conv) {
                case 's':
                    if (st->precision < 0)
                        put_string(o, a.s);
                    else
                        put_string_max(o, a.s, static_cast<size_t>(st->precision));
                    continue;
                case 'd':
                case 'i':
                    put_signed(o, a.i);
                    continue;
                case 'u':
                    put_unsigned(o, a.u);
                    continue;
                case 'x':
                    put_hex(o, a.u, false);
                    continue;
                default:
                    break;
            }
        }
        const FieldSpec spec{(st->flags & 1) != 0, (st->flags & 2) != 0, st->width};
        switch (st->conv) {
            case 's': {
                const char *s = a.s;
                if (!s) s = st->precision < 0 || st->precision >= 6 ? "(null)" : "";
                const size_t len = st->precision < 0
                                       ? std::strlen(s)
                                       : strnlen(s, static_cast<size_t>(st->precision));
                put_text_field(o, s, len, spec);
                break;
            }
            case 'c': {
                const char c = static_cast<char>(a.u);
                put_text_field(o, &c, 1, spec);
                break;
            }
            case 'd':
            case 'i':
                put_integer_field(o, a.i < 0 ? 0ull - static_cast<uint64_t>(a.i) : a.u, a.i < 0, 10,
                                  false, spec);
                break;
            default:  // u x X
                put_integer_field(o, a.u, false, st->conv == 'u' ? 10 : 16, st->conv == 'X', spec);
                break;
        }
    }
}

// The longest run of two or more zero groups (the first of equal ones) becomes "::"; groups are
// lower-case hex without leading zeros; an IPv4-compatible (::a.b.c.d) or IPv4-mapped
// (::ffff:a.b.c.d) address ends in dotted form. inet_ntop formats through snprintf, some
// twenty times the cost.
void put_ipv6(Out &o, const uint8_t *addr) {
    uint32_t w[8];
    for (int i = 0; i < 8; i++)
        w[i] = static_cast<uint32_t>(addr[2 * i] << 8 | addr[2 * i + 1]);
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && w[j] == 0)
            j++;
        if (j - i > best_len) best = i, best_len = j - i;
        i = j == i ? i + 1 : j;
    }
    if (best_len < 2) best = -1;
    for (int i = 0; i < 8; i++) {
        if (best >= 0 && i >= best && i < best + best_len) {
            if (i == best) o.put(':');
            continue;
        }
        if (i != 0) o.put(':');
        if (i == 6 && best == 0 && (best_len == 6 || (best_len == 5 && w[5] == 0xffff)))
            return put<"%u.%u.%u.%u">(o, addr[12], addr[13], addr[14], addr[15]);
        put<"%x">(o, w[i]);
    }
    if (best >= 0 && best + best_len == 8) o.put(':');
}

}  // namespace ofagent::text
