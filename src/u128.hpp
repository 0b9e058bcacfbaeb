// u128: the unsigned 128-bit integer of the identifier core. A small
// constexpr, trivially copyable value with the operations the core uses:
// shifts, and/or/xor/not, comparison, addition, subtraction, multiplication,
// division and remainder by a 64-bit divisor, conversion to and from two
// 64-bit halves, and decimal text. Arithmetic wraps modulo 2^128, as with
// the built-in unsigned types; a shift by 128 or more, like a division by
// zero, is undefined.
//
// It is backed by the compiler's 128-bit integer where there is one, and by
// two 64-bit words elsewhere (MSVC); defining SORNQUIBID_PORTABLE_INT128
// forces the two-word form on any compiler. Both forms have the same
// interface, so code that builds with one builds with the other. This is the
// only file of the core that may name the compiler's 128-bit type.
#pragma once

#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "compat.hpp"

#if defined(__SIZEOF_INT128__)
#define SORNQUIBID_HAS_BUILTIN_INT128 1
#else
#define SORNQUIBID_HAS_BUILTIN_INT128 0
#endif

namespace sornquibid {
namespace u128_detail {

#if SORNQUIBID_HAS_BUILTIN_INT128
__extension__ using Builtin = unsigned __int128;

constexpr Builtin make(std::type_identity<Builtin>, std::uint64_t high,
                       std::uint64_t low) noexcept {
    return (static_cast<Builtin>(high) << 64) | low;
}
constexpr std::uint64_t high_word(Builtin v) noexcept { return static_cast<std::uint64_t>(v >> 64); }
constexpr std::uint64_t low_word(Builtin v) noexcept { return static_cast<std::uint64_t>(v); }
#endif

// The portable form: two 64-bit words, with the operators of the built-in
// type that the wrapper below forwards to (division and remainder by a
// 64-bit divisor only).
struct Words {
    std::uint64_t high;
    std::uint64_t low;

    // Declared high word first, so member-wise order is numeric order.
    friend constexpr bool operator==(const Words&, const Words&) = default;
    friend constexpr std::strong_ordering operator<=>(const Words&, const Words&) = default;
};

constexpr Words make(std::type_identity<Words>, std::uint64_t high, std::uint64_t low) noexcept {
    return {high, low};
}
constexpr std::uint64_t high_word(Words v) noexcept { return v.high; }
constexpr std::uint64_t low_word(Words v) noexcept { return v.low; }

constexpr Words operator+(Words a, Words b) noexcept {
    const std::uint64_t low = a.low + b.low;
    return {a.high + b.high + (low < a.low ? 1 : 0), low};
}
constexpr Words operator-(Words a, Words b) noexcept {
    return {a.high - b.high - (a.low < b.low ? 1 : 0), a.low - b.low};
}

// The full 128-bit product of two 64-bit words, from their 32-bit halves.
constexpr Words multiply_wide(std::uint64_t a, std::uint64_t b) noexcept {
    constexpr std::uint64_t kHalf = 0xFFFFFFFF;
    const std::uint64_t a0 = a & kHalf, a1 = a >> 32, b0 = b & kHalf, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & kHalf) + (p10 & kHalf);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & kHalf)};
}
constexpr Words operator*(Words a, Words b) noexcept {
    Words product = multiply_wide(a.low, b.low);
    product.high += a.low * b.high + a.high * b.low;
    return product;
}

// The quotient of the 128-bit number (high, low) by `d`, for high < d, so
// that it fits 64 bits; the remainder goes to `rem`. Long division in 32-bit
// digits with a normalised divisor (Knuth's algorithm D): each estimated
// digit is at most two too large and is corrected before it is used.
constexpr std::uint64_t divide_narrow(std::uint64_t high, std::uint64_t low, std::uint64_t d,
                                      std::uint64_t& rem) noexcept {
    constexpr std::uint64_t kBase = std::uint64_t{1} << 32;
    const int shift = std::countl_zero(d);
    d <<= shift;
    const std::uint64_t d1 = d >> 32, d0 = d & (kBase - 1);
    const std::uint64_t n32 = (high << shift) | (shift == 0 ? 0 : low >> (64 - shift));
    const std::uint64_t n10 = low << shift;
    const std::uint64_t n1 = n10 >> 32, n0 = n10 & (kBase - 1);

    std::uint64_t q1 = n32 / d1, r = n32 - q1 * d1;
    while (q1 >= kBase || q1 * d0 > kBase * r + n1) {
        --q1;
        r += d1;
        if (r >= kBase) break;
    }
    const std::uint64_t n21 = n32 * kBase + n1 - q1 * d;
    std::uint64_t q0 = n21 / d1;
    r = n21 - q0 * d1;
    while (q0 >= kBase || q0 * d0 > kBase * r + n0) {
        --q0;
        r += d1;
        if (r >= kBase) break;
    }
    rem = (n21 * kBase + n0 - q0 * d) >> shift;
    return q1 * kBase + q0;
}
constexpr Words divide(Words a, std::uint64_t d, std::uint64_t& rem) noexcept {
    const std::uint64_t low = divide_narrow(a.high % d, a.low, d, rem);
    return {a.high / d, low};
}
constexpr Words operator/(Words a, std::uint64_t d) noexcept {
    std::uint64_t rem = 0;
    return divide(a, d, rem);
}
constexpr Words operator%(Words a, std::uint64_t d) noexcept {
    std::uint64_t rem = 0;
    divide(a, d, rem);
    return {0, rem};
}

constexpr Words operator&(Words a, Words b) noexcept { return {a.high & b.high, a.low & b.low}; }
constexpr Words operator|(Words a, Words b) noexcept { return {a.high | b.high, a.low | b.low}; }
constexpr Words operator^(Words a, Words b) noexcept { return {a.high ^ b.high, a.low ^ b.low}; }
constexpr Words operator~(Words a) noexcept { return {~a.high, ~a.low}; }

constexpr Words operator<<(Words a, int n) noexcept {
    if (n == 0) return a;  // the 64 - n below would be a full-width shift
    if (n >= 64) return {a.low << (n - 64), 0};
    return {(a.high << n) | (a.low >> (64 - n)), a.low << n};
}
constexpr Words operator>>(Words a, int n) noexcept {
    if (n == 0) return a;
    if (n >= 64) return {0, a.high >> (n - 64)};
    return {a.high >> n, (a.low >> n) | (a.high << (64 - n))};
}

// The standard integer types a u128 converts from and to (bool is not one).
template <class I>
concept Integer = std::is_integral_v<I> && !std::is_same_v<I, bool> && sizeof(I) <= 8;

// The 128-bit integer over representation `Rep`, which is either the
// built-in type or Words.
template <class Rep>
class Basic {
public:
    // Uninitialised, like a built-in integer; Basic{} is zero.
    Basic() = default;

    // Any integer, as the built-in conversion does it: a negative value
    // wraps modulo 2^128.
    template <Integer I>
    constexpr Basic(I v) noexcept
        : rep_(make(std::type_identity<Rep>{}, sign_word(v), static_cast<std::uint64_t>(v))) {}

    static constexpr Basic from_halves(std::uint64_t high, std::uint64_t low) noexcept {
        return Basic(make(std::type_identity<Rep>{}, high, low));
    }
    constexpr std::uint64_t high64() const noexcept { return high_word(rep_); }
    constexpr std::uint64_t low64() const noexcept { return low_word(rep_); }

    // Truncating, as the built-in conversion does.
    template <Integer I>
    constexpr explicit operator I() const noexcept {
        return static_cast<I>(low_word(rep_));
    }
    constexpr explicit operator bool() const noexcept { return (high64() | low64()) != 0; }

    friend constexpr Basic operator+(Basic a, Basic b) noexcept { return Basic(a.rep_ + b.rep_); }
    friend constexpr Basic operator-(Basic a, Basic b) noexcept { return Basic(a.rep_ - b.rep_); }
    friend constexpr Basic operator*(Basic a, Basic b) noexcept { return Basic(a.rep_ * b.rep_); }
    friend constexpr Basic operator/(Basic a, std::uint64_t d) noexcept {
        return Basic(a.rep_ / d);
    }
    friend constexpr Basic operator%(Basic a, std::uint64_t d) noexcept {
        return Basic(a.rep_ % d);
    }
    friend constexpr Basic operator&(Basic a, Basic b) noexcept { return Basic(a.rep_ & b.rep_); }
    friend constexpr Basic operator|(Basic a, Basic b) noexcept { return Basic(a.rep_ | b.rep_); }
    friend constexpr Basic operator^(Basic a, Basic b) noexcept { return Basic(a.rep_ ^ b.rep_); }
    friend constexpr Basic operator~(Basic a) noexcept { return Basic(~a.rep_); }
    friend constexpr Basic operator<<(Basic a, int n) noexcept { return Basic(a.rep_ << n); }
    friend constexpr Basic operator>>(Basic a, int n) noexcept { return Basic(a.rep_ >> n); }

    constexpr Basic& operator+=(Basic b) noexcept { return *this = *this + b; }
    constexpr Basic& operator-=(Basic b) noexcept { return *this = *this - b; }
    constexpr Basic& operator*=(Basic b) noexcept { return *this = *this * b; }
    constexpr Basic& operator/=(std::uint64_t d) noexcept { return *this = *this / d; }
    constexpr Basic& operator%=(std::uint64_t d) noexcept { return *this = *this % d; }
    constexpr Basic& operator&=(Basic b) noexcept { return *this = *this & b; }
    constexpr Basic& operator|=(Basic b) noexcept { return *this = *this | b; }
    constexpr Basic& operator^=(Basic b) noexcept { return *this = *this ^ b; }
    constexpr Basic& operator<<=(int n) noexcept { return *this = *this << n; }
    constexpr Basic& operator>>=(int n) noexcept { return *this = *this >> n; }

    friend constexpr bool operator==(Basic a, Basic b) noexcept { return a.rep_ == b.rep_; }
    friend constexpr std::strong_ordering operator<=>(Basic a, Basic b) noexcept {
        return a.rep_ <=> b.rep_;
    }

private:
    constexpr explicit Basic(Rep rep) noexcept : rep_(rep) {}

    template <Integer I>
    static constexpr std::uint64_t sign_word(I v) noexcept {
        if constexpr (std::is_signed_v<I>) {
            return v < 0 ? ~std::uint64_t{0} : 0;
        } else {
            return 0;
        }
    }

    Rep rep_;
};

}  // namespace u128_detail

#if SORNQUIBID_HAS_BUILTIN_INT128 && !defined(SORNQUIBID_PORTABLE_INT128)
using u128 = u128_detail::Basic<u128_detail::Builtin>;
#else
using u128 = u128_detail::Basic<u128_detail::Words>;
#endif

static_assert(sizeof(u128) == 16 && std::is_trivially_copyable_v<u128> &&
              std::is_trivially_default_constructible_v<u128>);

// Plain unsigned decimal text: no sign, no leading zeros, no grouping.
std::string to_decimal(u128 value);

// Reads 16 bytes in big-endian order as one unsigned 128-bit number. At run
// time two byte-swapped 64-bit loads: the compiler does not merge the byte
// loop for 128 bits, and every QuibId conversion goes through here.
constexpr u128 load_be128(const std::uint8_t* bytes) noexcept {
    if (std::is_constant_evaluated()) {
        u128 v = 0;
        for (int i = 0; i < 16; ++i) v = (v << 8) | bytes[i];
        return v;
    } else {
        std::uint64_t high, low;
        std::memcpy(&high, bytes, 8);
        std::memcpy(&low, bytes + 8, 8);
        if constexpr (std::endian::native == std::endian::little) {
            high = byteswap64(high);
            low = byteswap64(low);
        }
        return u128::from_halves(high, low);
    }
}

// Writes an unsigned 128-bit number as 16 big-endian bytes.
constexpr void store_be128(u128 value, std::uint8_t* bytes) noexcept {
    if (std::is_constant_evaluated()) {
        for (int i = 15; i >= 0; --i) {
            bytes[i] = static_cast<std::uint8_t>(value);
            value >>= 8;
        }
    } else {
        std::uint64_t high = value.high64();
        std::uint64_t low = value.low64();
        if constexpr (std::endian::native == std::endian::little) {
            high = byteswap64(high);
            low = byteswap64(low);
        }
        std::memcpy(bytes, &high, 8);
        std::memcpy(bytes + 8, &low, 8);
    }
}

}  // namespace sornquibid
