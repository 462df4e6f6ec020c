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
    consteval Format(const std::array<char, N> &text) {  // a format put together at build time
        for (size_t i = 0; i < N; i++)
            s[i] = text[i];
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
    // A literal run: its length is known when the library is built, so a short one is copied by
    // a few moves in place; a long one costs a call, which is smaller.
    template <size_t N>
    void put_literal(const char *s) {
        if constexpr (N > 16) {
            put(s, N);
        } else if (N <= room()) [[likely]] {
            std::memcpy(pos, s, N);
            pos += N;
        } else {
            put(s, N);
        }
    }
    void put(char c) {
        if (pos != end) *pos++ = c;
    }
    void fill(char c, size_t n) {  // padding: a few characters at most
        for (; n > 0 && pos != end; n--)
            *pos++ = c;
    }
    // Terminates the text; returns the position of the NUL.
    char *finish() {
        *pos = '\0';
        return pos;
    }
};

inline constexpr char kHexDigits[] = "0123456789abcdef0123456789ABCDEF";

// A string whose length is already known (a name from a table, a text just written): %s copies
// it without measuring it again.
struct Str {
    const char *s;
    size_t n;
};

// A literal as a Str, its length counted when the library is built.
template <size_t N>
consteval Str lit(const char (&s)[N]) {
    return Str{s, N - 1};
}

// ---- Conversions (offmt.cpp) ----------------------------------------------------------------
// Out of line: a conversion costs a call, and the library stays small.
void put_unsigned(Out &o, uint64_t v);         // %u and its lengths
void put_unsigned32(Out &o, uint32_t v);       // %u of an int or shorter: no 64-bit arithmetic
void put_hex32(Out &o, uint32_t v);            // %x of an int or shorter
void put_signed(Out &o, int64_t v);            // %d %i
void put_signed32(Out &o, int32_t v);          // %d %i of an int or shorter
void put_hex(Out &o, uint64_t v, bool upper);  // %x %X
void put_hex_zero(Out &o, uint64_t v, size_t width);           // %0Nx, as in MAC addresses
void put_string(Out &o, const char *s);                        // %s
void put_string_max(Out &o, const char *s, size_t precision);  // %.Ns
// An IPv6 address (16 bytes, network order) as glibc's inet_ntop writes it.
void put_ipv6(Out &o, const uint8_t *addr);

// Any other flags and width.
struct FieldSpec {
    bool left, zero;
    size_t width;
};
void put_integer_field(Out &o, uint64_t magnitude, bool negative, unsigned base, bool upper,
                       FieldSpec spec);
void put_text_field(Out &o, const char *s, size_t len, FieldSpec spec);

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

// An out-of-line conversion writes through a copy of the output (see put).
template <auto Fn, class... T>
inline void call(Out &o, const T &...args) {
    Out t = o;
    Fn(t, args...);
    o = t;
}

template <class V, bool Upper>
inline void put_hex_any(Out &o, V v) {
    if constexpr (sizeof(V) <= 4 && !Upper)
        call<put_hex32>(o, static_cast<uint32_t>(v));
    else
        call<put_hex>(o, static_cast<uint64_t>(v), Upper);
}

template <Piece P, bool Checked, class A>
inline void conversion(Out &o, const A &a) {
    constexpr FieldSpec spec{P.left, P.zero, P.width};
    constexpr bool plain = P.width == 0;
    if constexpr (P.conv == 's' && std::is_same_v<A, Str>) {
        static_assert(plain && P.precision < 0, "a plain %s for a known-length string");
        o.put(a.s, a.n);
    } else if constexpr (P.conv == 's') {
        static_assert(std::is_convertible_v<A, const char *>, "a string conversion");
        const char *s = a;
        if constexpr (plain && P.precision < 0) {
            call<put_string>(o, s);
        } else if constexpr (plain) {
            call<put_string_max>(o, s, static_cast<size_t>(P.precision));
        } else {
            if (!s) s = P.precision < 0 || P.precision >= 6 ? "(null)" : "";
            call<put_text_field>(
                o, s,
                P.precision < 0 ? std::strlen(s) : strnlen(s, static_cast<size_t>(P.precision)),
                spec);
        }
    } else if constexpr (P.conv == 'c') {
        static_assert(std::is_integral_v<A> && P.length == 0, "a character conversion");
        const char c = static_cast<char>(a);
        if constexpr (plain && !Checked)
            *o.pos++ = c;
        else if constexpr (plain)
            o.put(c);
        else
            call<put_text_field>(o, &c, 1, spec);
    } else {
        const auto v = integer_value<P>(a);
        using V = std::remove_const_t<decltype(v)>;
        constexpr bool hex = P.conv == 'x' || P.conv == 'X';
        if constexpr (plain) {
            // One digit (a flag, a table, a zero) is common enough to be written here.
            if (v >= 0 && v < 10) {
                if constexpr (Checked)
                    o.put(static_cast<char>('0' + v));
                else
                    *o.pos++ = static_cast<char>('0' + v);
                return;
            }
            if constexpr (std::is_signed_v<V> && sizeof(V) <= 4)
                call<put_signed32>(o, static_cast<int32_t>(v));
            else if constexpr (std::is_signed_v<V>)
                call<put_signed>(o, static_cast<int64_t>(v));
            else if constexpr (hex)
                put_hex_any<V, P.conv == 'X'>(o, v);
            else if constexpr (sizeof(V) <= 4)
                call<put_unsigned32>(o, static_cast<uint32_t>(v));
            else
                call<put_unsigned>(o, static_cast<uint64_t>(v));
        } else if constexpr (hex && P.conv == 'x' && P.zero && !P.left && !std::is_signed_v<V>) {
            if constexpr (P.width == 2) {  // a byte of a MAC address: written here
                if (v <= 0xff && (!Checked || o.room() >= 2)) {
                    o.pos[0] = kHexDigits[v >> 4];
                    o.pos[1] = kHexDigits[v & 15];
                    o.pos += 2;
                    return;
                }
            }
            call<put_hex_zero>(o, static_cast<uint64_t>(v), P.width);
        } else {
            using U = std::make_unsigned_t<V>;
            bool negative = false;
            U u = static_cast<U>(v);
            if constexpr (std::is_signed_v<V>) {
                negative = v < 0;
                if (negative) u = U(0) - u;
            }
            call<put_integer_field>(o, u, negative, hex ? 16 : 10, P.conv == 'X', spec);
        }
    }
}

template <auto F, size_t I, bool Checked, class Args>
inline void piece(Out &o, const Args &args) {
    constexpr Piece p = kPieces<F>[I];
    if constexpr (p.literal && !Checked) {
        std::memcpy(o.pos, F.s + p.begin, p.len);
        o.pos += p.len;
    } else if constexpr (p.literal) {
        o.put_literal<p.len>(F.s + p.begin);
    } else {
        conversion<p, Checked>(o, std::get<p.arg>(args));
    }
}

// The most characters a piece can write; kUnbounded for a string.
inline constexpr size_t kUnbounded = SIZE_MAX;
consteval size_t max_chars(const Piece &p) {
    if (p.literal) return p.len;
    size_t n = 0;
    switch (p.conv) {
        case 's':
            return kUnbounded;
        case 'c':
            n = 1;
            break;
        case 'd':
        case 'i':
            n = p.length >= 1 ? 20 : 11;
            break;
        case 'u':
            n = p.length >= 1 ? 20 : 10;
            break;
        default:  // x X
            n = p.length >= 1 ? 16 : 8;
    }
    return n > p.width ? n : p.width;
}

// Where the run of bounded pieces that starts at piece I ends.
template <auto F, size_t I>
consteval size_t bounded_run_end() {
    size_t j = I;
    while (j < kPieces<F>.size() && max_chars(kPieces<F>[j]) != kUnbounded)
        j++;
    return j;
}

template <auto F, size_t I, size_t J>
consteval size_t bounded_run_chars() {
    size_t n = 0;
    for (size_t k = I; k < J; k++)
        n += max_chars(kPieces<F>[k]);
    return n;
}

template <auto F, size_t I, size_t J, bool Checked, class Args>
inline void pieces(Out &o, const Args &args) {
    [&]<size_t... K>(std::index_sequence<K...>) {
        (piece<F, I + K, Checked>(o, args), ...);
    }
    (std::make_index_sequence<J - I>{});
}

// Pieces I on. A run of four or more pieces whose text is bounded checks the room once for the
// whole run when it has it (the common case: the buffer is far from full) and piece by piece
// otherwise, so a cut text stays exactly where snprintf cuts it. Shorter runs are not worth
// the second copy of their code.
template <auto F, size_t I, class Args>
inline void pieces_from(Out &o, const Args &args) {
    if constexpr (I < kPieces<F>.size()) {
        constexpr size_t J = bounded_run_end<F, I>();
        if constexpr (J - I >= 4) {
            if (o.room() >= bounded_run_chars<F, I, J>()) [[likely]]
                pieces<F, I, J, false>(o, args);
            else
                pieces<F, I, J, true>(o, args);
            pieces_from<F, J>(o, args);
        } else {
            piece<F, I, true>(o, args);
            pieces_from<F, I + 1>(o, args);
        }
    }
}

#ifdef OFAGENT_CHECK_FORMAT
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
// An argument as snprintf takes it (a known-length string as its NUL-terminated text).
template <class A>
const A &reference_arg(const A &a) {
    return a;
}
inline const char *reference_arg(const Str &a) {
    return a.s;
}

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
    if (o.full()) return;  // the text is cut here anyway
#ifdef OFAGENT_CHECK_FORMAT
    const char *const from = o.pos;
    const size_t room = o.room();
#endif
    // The pieces write through a local copy whose address never leaves this function: a byte
    // stored through the text pointer could alias the caller's Out in memory, which would make
    // the compiler reload the position after every store; the local one stays in registers.
    Out local = o;
    pieces_from<F, 0>(local, std::tie(args...));
    o = local;
#ifdef OFAGENT_CHECK_FORMAT
    check_against_snprintf(F.s, from, o, room, reference_arg(args)...);
#endif
}

// ---- The same text from a table -------------------------------------------------------------
// Where code size matters more than a few instructions (log lines, most of them on failure
// paths), the pieces are kept as data, built when the library is, and one emitter walks them.

// One piece as data: a literal run (conv 0) or a conversion.
struct Step {
    uint16_t begin, len;  // literal run in the format
    char conv;
    uint8_t flags;  // 1 left, 2 zero
    uint16_t width;
    int16_t precision;  // -1 when absent
    uint8_t arg;
};

// An argument as the emitter reads it: integers already as printf reads them for their
// conversion (sign-extended when signed), strings as pointers.
union Arg {
    uint64_t u;
    int64_t i;
    const char *s;
};

template <auto F>
consteval auto steps() {
    std::array<Step, kPieces<F>.size()> out{};
    for (size_t i = 0; i < out.size(); i++) {
        const Piece &p = kPieces<F>[i];
        if (p.begin > UINT16_MAX || p.len > UINT16_MAX || p.width > UINT16_MAX || p.arg > 255)
            format_error("a format too long for a table");
        out[i] = Step{static_cast<uint16_t>(p.begin),
                      static_cast<uint16_t>(p.len),
                      p.literal ? '\0' : p.conv,
                      static_cast<uint8_t>((p.left ? 1 : 0) | (p.zero ? 2 : 0)),
                      static_cast<uint16_t>(p.width),
                      static_cast<int16_t>(p.precision),
                      static_cast<uint8_t>(p.arg)};
    }
    return out;
}

template <auto F>
inline constexpr auto kSteps = steps<F>();

// The argument of conversion number K of F.
template <auto F, size_t K>
consteval Piece conversion_piece() {
    size_t k = 0;
    for (const Piece &p : kPieces<F>)
        if (!p.literal && k++ == K) return p;
    format_error("no such conversion");
    return Piece{};
}

template <Piece P, class A>
inline Arg make_arg(const A &a) {
    Arg out;
    if constexpr (P.conv == 's') {
        static_assert(std::is_convertible_v<A, const char *>, "a string conversion");
        out.s = a;
    } else if constexpr (P.conv == 'c') {
        static_assert(std::is_integral_v<A> && P.length == 0, "a character conversion");
        out.u = static_cast<unsigned char>(a);
    } else {
        const auto v = integer_value<P>(a);
        if constexpr (std::is_signed_v<std::remove_const_t<decltype(v)>>)
            out.i = v;
        else
            out.u = v;
    }
    return out;
}

// The emitter (offmt.cpp).
void emit(Out &o, const char *format, const Step *steps, size_t n, const Arg *args);

// The args of F, each made ready for its conversion.
template <Format F, class... A>
inline auto make_args(const A &...args) {
    static_assert(count_args<F>() == sizeof...(A), "one argument per conversion");
    return [&]<size_t... K>(std::index_sequence<K...>) {
        return std::array < Arg,
               sizeof...(A) ? sizeof...(A) : 1 > {make_arg<conversion_piece<F, K>()>(args)...};
    }
    (std::index_sequence_for<A...>{});
}

}  // namespace ofagent::text
