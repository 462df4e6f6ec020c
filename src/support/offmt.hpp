// Formatting decided at compile time. Every format in the library is a literal: it is parsed when
// the library is built into literal runs and conversions, so writing a line is a straight run
// of copies and integer conversions, with one room check per piece and nothing scanning a
// format at run time. The text is exactly what snprintf writes for the same format and
// arguments, cut the same way when the room runs out; a build with OFAGENT_CHECK_FORMAT checks
// every call against snprintf. Conversions: d i u x X c s and %%, flags '-' and '0', a width,
// a precision on strings, lengths hh h l ll z.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>
#ifdef OFAGENT_CHECK_FORMAT
#include <cstdio>
#include <cstdlib>
#endif

namespace ofagent::text {

// A format literal as a template argument.
template <size_t N>
struct Format {
    char s[N]{};
    consteval Format(const char (&lit)[N]) {
        for (size_t i = 0; i < N; i++)
            s[i] = lit[i];
    }
};

// Bounded output: text goes to [pos, end) and end is kept for the terminating NUL. What does
// not fit is dropped, as snprintf cuts its text.
struct Out {
    char *pos;
    char *end;

    size_t room() const { return static_cast<size_t>(end - pos); }
    bool full() const { return pos == end; }
    void put(const char *s, size_t n) {
        const size_t m = n <= room() ? n : room();
        std::memcpy(pos, s, m);
        pos += m;
    }
    // A literal run: its length is known when the library is built, so the copy is a few moves.
    template <size_t N>
    void put_literal(const char *s) {
        if (N <= room()) [[likely]] {
            std::memcpy(pos, s, N);
            pos += N;
        } else {
            while (pos != end)
                *pos++ = *s++;
        }
    }
    void put(char c) {
        if (pos != end) *pos++ = c;
    }
    void fill(char c, size_t n) {
        if (n > room()) n = room();
        std::memset(pos, c, n);
        pos += n;
    }
    // The len digits of v in base 10 or 16, written in place (from the last digit back).
    template <unsigned Base>
    void put_digits(uint64_t v, size_t len, bool upper) {
        if (len <= room()) [[likely]] {
            write_digits<Base>(pos + len, v, upper);
            pos += len;
        } else {
            char buf[24];
            write_digits<Base>(buf + len, v, upper);
            for (const char *s = buf; pos != end;)
                *pos++ = *s++;
        }
    }
    // Terminates the text; returns the position of the NUL.
    char *finish() {
        *pos = '\0';
        return pos;
    }

   private:
    template <unsigned Base>
    static void write_digits(char *end, uint64_t v, bool upper);
};

// ---- Integer conversion -------------------------------------------------------------------
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
inline constexpr char kHexDigits[] = "0123456789abcdef0123456789ABCDEF";

inline size_t decimal_digits(uint64_t v) {
    size_t n = 1;
    if (v > UINT32_MAX) {
        for (; v >= 10; v /= 10)
            n++;
        return n;
    }
    const uint32_t w = static_cast<uint32_t>(v);
    return w < 10           ? 1
           : w < 100        ? 2
           : w < 1000       ? 3
           : w < 10000      ? 4
           : w < 100000     ? 5
           : w < 1000000    ? 6
           : w < 10000000   ? 7
           : w < 100000000  ? 8
           : w < 1000000000 ? 9
                            : 10;
}

inline size_t hex_digits(uint64_t v) {
    return v == 0 ? 1 : (64 - static_cast<size_t>(__builtin_clzll(v)) + 3) / 4;
}

// Decimal two digits at a time, hexadecimal a nibble at a time, backwards from end. Values that
// fit 32 bits never take a 64-bit division, which a 32-bit core does in software.
template <unsigned Base>
void Out::write_digits(char *end, uint64_t v64, bool upper) {
    if constexpr (Base == 16) {
        const char *digits = kHexDigits + (upper ? 16 : 0);
        do {
            *--end = digits[v64 & 15];
            v64 >>= 4;
        } while (v64 != 0);
    } else {
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
}

// ---- Parsing the format at compile time ---------------------------------------------------
struct Piece {
    bool literal = true;
    size_t begin = 0, len = 0;  // literal: the run in the format
    char conv = 0;
    bool left = false, zero = false;
    size_t width = 0;
    int precision = -1;  // strings only
    int length = 0;      // -2 hh, -1 h, 0, 1 l, 2 ll, 3 z
    size_t arg = 0;      // the argument a conversion takes
};

// Not constexpr: reaching it while a format is parsed stops the build with its message.
void format_error(const char *why);

template <size_t N>
consteval size_t count_pieces(const Format<N> &f) {
    size_t n = 0;
    for (size_t i = 0; i + 1 < N;) {
        if (f.s[i] == '%') {
            i++;
            while (i + 1 < N &&
                   !(f.s[i] == 'd' || f.s[i] == 'i' || f.s[i] == 'u' || f.s[i] == 'x' ||
                     f.s[i] == 'X' || f.s[i] == 'c' || f.s[i] == 's' || f.s[i] == '%'))
                i++;
            i++;
            n++;
        } else {
            while (i + 1 < N && f.s[i] != '%')
                i++;
            n++;
        }
    }
    return n;
}

template <auto F>
consteval auto parse() {
    constexpr size_t N = sizeof(F.s);
    std::array<Piece, count_pieces(F)> out{};
    size_t n = 0, arg = 0;
    for (size_t i = 0; i + 1 < N;) {
        Piece p;
        if (F.s[i] != '%') {
            p.begin = i;
            while (i + 1 < N && F.s[i] != '%')
                i++;
            p.len = i - p.begin;
            out[n++] = p;
            continue;
        }
        i++;
        if (F.s[i] == '%') {  // a literal percent sign
            p.begin = i++;
            p.len = 1;
            out[n++] = p;
            continue;
        }
        p.literal = false;
        for (;; i++) {
            if (F.s[i] == '-')
                p.left = true;
            else if (F.s[i] == '0')
                p.zero = true;
            else
                break;
        }
        while (F.s[i] >= '0' && F.s[i] <= '9')
            p.width = p.width * 10 + static_cast<size_t>(F.s[i++] - '0');
        if (F.s[i] == '.') {
            p.precision = 0;
            for (i++; F.s[i] >= '0' && F.s[i] <= '9'; i++)
                p.precision = p.precision * 10 + (F.s[i] - '0');
        }
        if (F.s[i] == 'h') {
            p.length = F.s[i + 1] == 'h' ? -2 : -1;
            i += F.s[i + 1] == 'h' ? 2 : 1;
        } else if (F.s[i] == 'l') {
            p.length = F.s[i + 1] == 'l' ? 2 : 1;
            i += F.s[i + 1] == 'l' ? 2 : 1;
        } else if (F.s[i] == 'z') {
            p.length = 3;
            i++;
        }
        p.conv = F.s[i++];
        if (p.conv != 'd' && p.conv != 'i' && p.conv != 'u' && p.conv != 'x' && p.conv != 'X' &&
            p.conv != 'c' && p.conv != 's')
            format_error("a conversion this formatter does not know");
        if (p.precision >= 0 && p.conv != 's') format_error("a precision is for strings only");
        p.arg = arg++;
        out[n++] = p;
    }
    return out;
}

template <auto F>
inline constexpr auto kPieces = parse<F>();

template <auto F>
consteval size_t count_args() {
    size_t n = 0;
    for (const Piece &p : kPieces<F>)
        n += p.literal ? 0 : 1;
    return n;
}

// ---- Emitting one conversion --------------------------------------------------------------
// The value as printf reads it from the promoted argument for this length.
template <Piece P, class A>
constexpr auto integer_value(const A &a) {
    static_assert(std::is_integral_v<A> || std::is_enum_v<A>, "an integer conversion");
    constexpr bool is_signed = P.conv == 'd' || P.conv == 'i';
    if constexpr (P.length == 2) {
        static_assert(sizeof(A) <= sizeof(long long));
        return static_cast<std::conditional_t<is_signed, long long, unsigned long long>>(a);
    } else if constexpr (P.length == 1) {
        static_assert(sizeof(A) <= sizeof(long));
        return static_cast<std::conditional_t<is_signed, long, unsigned long>>(a);
    } else if constexpr (P.length == 3) {
        static_assert(sizeof(A) <= sizeof(size_t));
        return static_cast<std::conditional_t<is_signed, std::make_signed_t<size_t>, size_t>>(a);
    } else {
        static_assert(sizeof(A) <= sizeof(int));
        using Int = std::conditional_t<is_signed, int, unsigned>;
        if constexpr (P.length == -2)
            return static_cast<Int>(
                static_cast<std::conditional_t<is_signed, signed char, unsigned char>>(a));
        else if constexpr (P.length == -1)
            return static_cast<Int>(
                static_cast<std::conditional_t<is_signed, short, unsigned short>>(a));
        else
            return static_cast<Int>(a);
    }
}

// The padding around a field of len bytes (and a '-' when negative); fill(body) writes it.
template <Piece P, class Body>
inline void padded(Out &o, size_t len, bool negative, bool numeric, Body body) {
    const size_t total = len + (negative ? 1 : 0);
    const size_t pad = P.width > total ? P.width - total : 0;
    if (!P.left && !(P.zero && numeric)) o.fill(' ', pad);
    if (negative) o.put('-');
    if (!P.left && P.zero && numeric) o.fill('0', pad);
    body();
    if (P.left) o.fill(' ', pad);
}

template <Piece P, class A>
inline void conversion(Out &o, const A &a) {
    if constexpr (P.conv == 's') {
        static_assert(std::is_convertible_v<A, const char *>, "a string conversion");
        const char *s = a;
        if (!s) s = P.precision < 0 || P.precision >= 6 ? "(null)" : "";
        const size_t len =
            P.precision < 0 ? std::strlen(s) : strnlen(s, static_cast<size_t>(P.precision));
        if constexpr (P.width == 0)
            o.put(s, len);
        else
            padded<P>(o, len, false, false, [&] { o.put(s, len); });
    } else if constexpr (P.conv == 'c') {
        static_assert(std::is_integral_v<A> && P.length == 0, "a character conversion");
        padded<P>(o, 1, false, false, [&] { o.put(static_cast<char>(a)); });
    } else {
        const auto v = integer_value<P>(a);
        using V = std::remove_const_t<decltype(v)>;
        using U = std::make_unsigned_t<V>;
        constexpr unsigned base = P.conv == 'x' || P.conv == 'X' ? 16 : 10;
        bool negative = false;
        U u = static_cast<U>(v);
        if constexpr (std::is_signed_v<V>) {
            negative = v < 0;
            if (negative) u = U(0) - u;
        }
        const size_t len = base == 16 ? hex_digits(u) : decimal_digits(u);
        const auto digits = [&] { o.put_digits<base>(u, len, P.conv == 'X'); };
        if constexpr (P.width == 0) {
            if (negative) o.put('-');
            digits();
        } else {
            padded<P>(o, len, negative, true, digits);
        }
    }
}

template <auto F, size_t I, class Args>
inline void piece(Out &o, const Args &args) {
    constexpr Piece p = kPieces<F>[I];
    if constexpr (p.literal)
        o.put_literal<p.len>(F.s + p.begin);
    else
        conversion<p>(o, std::get<p.arg>(args));
}

#ifdef OFAGENT_CHECK_FORMAT
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-truncation"
#pragma GCC diagnostic ignored "-Wformat-security"
// Checks what put wrote at [from, o.pos) against snprintf with the same room.
template <class... A>
void check_against_snprintf(const char *format, const char *from, const Out &o, size_t room,
                            const A &...args) {
    char ref[8192];
    const size_t cap = room + 1 < sizeof ref ? room + 1 : sizeof ref;
    const int n = std::snprintf(ref, cap, format, args...);
    const size_t expect = n < 0 ? 0 : (static_cast<size_t>(n) < cap ? size_t(n) : cap - 1);
    const size_t got = static_cast<size_t>(o.pos - from);
    if (room < sizeof ref && (got != expect || std::memcmp(from, ref, got) != 0)) {
        std::fprintf(stderr, "format check: \"%s\" gave \"%.*s\", snprintf \"%s\"\n", format,
                     static_cast<int>(got), from, ref);
        std::abort();
    }
}
#pragma GCC diagnostic pop
#endif

// Appends the text of format F with args at o.
template <Format F, class... A>
inline void put(Out &o, const A &...args) {
    static_assert(count_args<F>() == sizeof...(A), "one argument per conversion");
#ifdef OFAGENT_CHECK_FORMAT
    const char *const from = o.pos;
    const size_t room = o.room();
#endif
    const auto tuple = std::tie(args...);
    [&]<size_t... I>(std::index_sequence<I...>) {
        (piece<F, I>(o, tuple), ...);
    }
    (std::make_index_sequence<kPieces<F>.size()>{});
#ifdef OFAGENT_CHECK_FORMAT
    check_against_snprintf(F.s, from, o, room, args...);
#endif
}

}  // namespace ofagent::text
