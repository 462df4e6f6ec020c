// Bounds-checked, big-endian wire access. Every decoder reads peer bytes only through a
// Reader and every encoder writes only through a Writer, so "never read or write past the
// message" is a property of these two classes rather than of each decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace ofagent::wire {

// Big-endian values of 1, 2, 4 or 8 bytes at p, and back, in one load or store each.
template <size_t Width>
inline uint64_t load_be(const uint8_t *p) {
    if constexpr (Width == 1) {
        return p[0];
    } else if constexpr (Width == 2 || Width == 4 || Width == 8) {
        using U = std::conditional_t<Width == 2, uint16_t,
                                     std::conditional_t<Width == 4, uint32_t, uint64_t>>;
        U v;
        std::memcpy(&v, p, Width);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if constexpr (Width == 2) v = __builtin_bswap16(v);
        if constexpr (Width == 4) v = __builtin_bswap32(v);
        if constexpr (Width == 8) v = __builtin_bswap64(v);
#endif
        return v;
    } else {
        uint64_t v = 0;
        for (size_t i = 0; i < Width; i++)
            v = (v << 8) | p[i];
        return v;
    }
}

template <size_t Width>
inline void store_be(uint8_t *p, uint64_t v64) {
    if constexpr (Width == 1) {
        p[0] = static_cast<uint8_t>(v64);
    } else if constexpr (Width == 2 || Width == 4 || Width == 8) {
        using U = std::conditional_t<Width == 2, uint16_t,
                                     std::conditional_t<Width == 4, uint32_t, uint64_t>>;
        U v = static_cast<U>(v64);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if constexpr (Width == 2) v = __builtin_bswap16(v);
        if constexpr (Width == 4) v = __builtin_bswap32(v);
        if constexpr (Width == 8) v = __builtin_bswap64(v);
#endif
        std::memcpy(p, &v, Width);
    } else {
        for (size_t i = 0; i < Width; i++)
            p[i] = static_cast<uint8_t>(v64 >> (8 * (Width - 1 - i)));
    }
}

class Reader {
   public:
    Reader() = default;
    Reader(const uint8_t *data, size_t size) : data_(data), size_(data ? size : 0) {}

    size_t size() const { return size_; }
    bool has(size_t off, size_t n) const { return off <= size_ && n <= size_ - off; }

    // Absolute reads at `off` from the start of the span; false (and v untouched) if out of
    // bounds.
    bool u8_at(size_t off, uint8_t &v) const {
        if (!has(off, 1)) return false;
        v = data_[off];
        return true;
    }
    bool u16_at(size_t off, uint16_t &v) const {
        if (!has(off, 2)) return false;
        v = static_cast<uint16_t>(load_be<2>(data_ + off));
        return true;
    }
    bool u32_at(size_t off, uint32_t &v) const {
        if (!has(off, 4)) return false;
        v = static_cast<uint32_t>(load_be<4>(data_ + off));
        return true;
    }
    bool u64_at(size_t off, uint64_t &v) const {
        if (!has(off, 8)) return false;
        v = load_be<8>(data_ + off);
        return true;
    }
    bool bytes_at(size_t off, void *dst, size_t n) const {
        if (!has(off, n)) return false;
        if (n) std::memcpy(dst, data_ + off, n);
        return true;
    }
    // A view of n bytes at off; false if they are not all inside this span.
    bool sub(size_t off, size_t n, Reader &out) const {
        if (!has(off, n)) return false;
        out = Reader(data_ + off, n);
        return true;
    }
    // The bytes from off to the end (empty when off is past the end).
    Reader from(size_t off) const {
        return off <= size_ ? Reader(data_ + off, size_ - off) : Reader();
    }
    // Address of the byte at off, for records that point into the received message (the
    // port-statistics request) and for copies; null when off is not inside the span.
    const uint8_t *ptr_at(size_t off, size_t n = 1) const {
        return has(off, n) ? data_ + off : nullptr;
    }

   private:
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

// Bytes a structure takes on the wire once padded to a multiple of 8 (matches, set-fields).
constexpr uint32_t round8(uint32_t n) {
    return (n + 7u) & ~7u;
}

// Writes into a caller-owned span. A write that would not fit writes nothing and marks the
// writer failed (sticky), so an encoder checks ok() once at the end.
class Writer {
   public:
    Writer() = default;
    Writer(uint8_t *data, size_t size) : data_(data), size_(data ? size : 0) {}

    bool ok() const { return ok_; }
    size_t size() const { return size_; }
    bool has(size_t off, size_t n) const { return off <= size_ && n <= size_ - off; }

    void u8_at(size_t off, uint8_t v) {
        if (check(off, 1)) data_[off] = v;
    }
    void u16_at(size_t off, uint16_t v) {
        if (check(off, 2)) store_be<2>(data_ + off, v);
    }
    void u32_at(size_t off, uint32_t v) {
        if (check(off, 4)) store_be<4>(data_ + off, v);
    }
    void u64_at(size_t off, uint64_t v) {
        if (check(off, 8)) store_be<8>(data_ + off, v);
    }
    void bytes_at(size_t off, const void *src, size_t n) {
        if (check(off, n) && n) std::memcpy(data_ + off, src, n);
    }
    void zeros_at(size_t off, size_t n) {
        if (check(off, n) && n) std::memset(data_ + off, 0, n);
    }
    // Where n bytes at off may be written directly; null when they do not fit (or the writer
    // has failed).
    uint8_t *ptr_at(size_t off, size_t n) { return ok_ && has(off, n) ? data_ + off : nullptr; }

    // A writer over n bytes at off; a failed writer when they do not fit.
    Writer sub(size_t off, size_t n) {
        if (!check(off, n)) return Writer(nullptr, 0, false);
        return Writer(data_ + off, n);
    }
    Writer from(size_t off) { return off <= size_ ? sub(off, size_ - off) : sub(off, 0); }

    // Sequential writes from the cursor.
    size_t pos() const { return pos_; }
    void u8(uint8_t v) {
        seq(1, [&] { u8_at(pos_, v); });
    }
    void u16(uint16_t v) {
        seq(2, [&] { u16_at(pos_, v); });
    }
    void u32(uint32_t v) {
        seq(4, [&] { u32_at(pos_, v); });
    }
    void u64(uint64_t v) {
        seq(8, [&] { u64_at(pos_, v); });
    }
    void bytes(const void *src, size_t n) {
        seq(n, [&] { bytes_at(pos_, src, n); });
    }

   private:
    Writer(uint8_t *data, size_t size, bool ok) : data_(data), size_(size), ok_(ok) {}
    bool check(size_t off, size_t n) {
        if (!has(off, n)) ok_ = false;
        return ok_ && has(off, n);
    }
    template <class F>
    void seq(size_t n, F f) {
        if (!check(pos_, n)) return;
        f();
        pos_ += n;
    }
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool ok_ = true;
};

// ---- Declarative layouts -------------------------------------------------------------------
// A structure's wire layout is written once as a list of Field<&Record::member, offset[, width]>
// and serves both directions: Layout<...>::read fills a record from a Reader, ::write puts a
// record into a Writer. Integer members are big-endian on the wire (a width smaller than the
// member, such as an 8-bit command held in a 32-bit field, reads/writes the low bytes); byte
// array members are copied as they stand.

namespace detail {
// Wrapped in type_identity so that array members (MAC addresses) deduce too.
template <class C, class T>
std::type_identity<T> member_type_of(T C::*);
template <auto M>
using member_t = typename decltype(member_type_of(M))::type;
}  // namespace detail

template <auto Member, size_t Offset, size_t Width = sizeof(detail::member_t<Member>)>
struct Field {
    using T = detail::member_t<Member>;
    static constexpr size_t offset = Offset;
    static constexpr size_t width = Width;
    static constexpr size_t end = Offset + Width;

    // From p, which the caller has checked holds the whole layout.
    template <class Rec>
    static void load(const uint8_t *p, Rec &rec) {
        if constexpr (std::is_array_v<T>) {
            std::memcpy(rec.*Member, p + Offset, Width);
        } else {
            rec.*Member = static_cast<T>(load_be<Width>(p + Offset));
        }
    }
    template <class Rec>
    static void store(uint8_t *p, const Rec &rec) {
        if constexpr (std::is_array_v<T>) {
            std::memcpy(p + Offset, rec.*Member, Width);
        } else {
            store_be<Width>(p + Offset, static_cast<uint64_t>(rec.*Member));
        }
    }

    template <class Rec>
    static bool read(const Reader &r, Rec &rec) {
        if constexpr (std::is_array_v<T>) {
            static_assert(Width == sizeof(T));
            return r.bytes_at(Offset, rec.*Member, Width);
        } else {
            static_assert(std::is_integral_v<T> && Width <= sizeof(T));
            uint64_t v = 0;
            if (!r.has(Offset, Width)) return false;
            for (size_t i = 0; i < Width; i++) {
                uint8_t b = 0;
                r.u8_at(Offset + i, b);
                v = (v << 8) | b;
            }
            rec.*Member = static_cast<T>(v);
            return true;
        }
    }
    template <class Rec>
    static void write(Writer &w, const Rec &rec) {
        if constexpr (std::is_array_v<T>) {
            w.bytes_at(Offset, rec.*Member, Width);
        } else {
            const uint64_t v = static_cast<uint64_t>(rec.*Member);
            for (size_t i = 0; i < Width; i++)
                w.u8_at(Offset + i, static_cast<uint8_t>(v >> (8 * (Width - 1 - i))));
        }
    }
};

template <class... Fields>
struct Layout {
    // Bytes spanned by the fields: the smallest structure that holds them all.
    static constexpr size_t end = [] {
        size_t e = 0;
        ((e = Fields::end > e ? Fields::end : e), ...);
        return e;
    }();
    // One bounds check for the whole layout; a span too short for it reads field by field, up
    // to the first field that does not fit.
    template <class Rec>
    static bool read(const Reader &r, Rec &rec) {
        if (const uint8_t *p = r.ptr_at(0, end)) {
            (Fields::load(p, rec), ...);
            return true;
        }
        return (Fields::read(r, rec) && ...);
    }
    template <class Rec>
    static void write(Writer &w, const Rec &rec) {
        if (uint8_t *p = w.ptr_at(0, end)) {
            (Fields::store(p, rec), ...);
            return;
        }
        (Fields::write(w, rec), ...);
    }
};

}  // namespace ofagent::wire
