// What the core needs beyond C++20, kept small and in one place so that it
// builds with GCC 11, Clang 14, Apple Clang and MSVC alike:
//   - expected<T, E> / unexpected<E>: a result or an error, with the shape of
//     the standard ones the core would otherwise use (operator bool,
//     operator*, operator->, error(); expected<void, E>);
//   - byteswap64: reverses the bytes of a 64-bit word.
// Apart from the 128-bit integer header, this is the only file of the core
// that may name a compiler builtin.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>  // _byteswap_uint64
#endif

namespace sornquibid {

// ---------------------------------------------------------------------------
// Byte swap

// The bytes of `v` in reverse order. A single instruction where the compiler
// offers one; the plain shifts otherwise (and during constant evaluation on
// MSVC, whose intrinsic is not constexpr).
constexpr std::uint64_t byteswap64(std::uint64_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(v);
#else
#if defined(_MSC_VER)
    if (!std::is_constant_evaluated()) return _byteswap_uint64(v);
#endif
    v = ((v & 0x00FF00FF00FF00FFULL) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFULL);
    v = ((v & 0x0000FFFF0000FFFFULL) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFULL);
    return (v << 32) | (v >> 32);
#endif
}

// ---------------------------------------------------------------------------
// Result or error

// The error of a failed operation, on its way into an expected.
template <class E>
class unexpected {
public:
    constexpr explicit unexpected(const E& error) : error_(error) {}
    constexpr explicit unexpected(E&& error) noexcept : error_(std::move(error)) {}

    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

template <class E>
unexpected(E) -> unexpected<E>;

namespace compat_detail {

// The storage of expected<T, E>: a value or an error, and which one. T and
// E must move without throwing (every type the core returns does), so that
// an assignment never leaves the object holding neither.
template <class T, class E>
class Either {
    static_assert(std::is_nothrow_move_constructible_v<T> &&
                  std::is_nothrow_move_constructible_v<E>);

public:
    template <class... A>
    constexpr explicit Either(std::in_place_t, A&&... a) : value_(std::forward<A>(a)...) {}
    template <class... A>
    constexpr explicit Either(std::in_place_type_t<E>, A&&... a)
        : error_(std::forward<A>(a)...), ok_(false) {}

    constexpr Either(const Either& other) { construct_from(other); }
    constexpr Either(Either&& other) noexcept { construct_from(std::move(other)); }
    constexpr Either& operator=(const Either& other) {
        if (this != &other) *this = Either(other);  // the copy may throw; the rest cannot
        return *this;
    }
    constexpr Either& operator=(Either&& other) noexcept {
        if (this != &other) {
            destroy();
            construct_from(std::move(other));
        }
        return *this;
    }
    constexpr ~Either() { destroy(); }

    constexpr bool ok() const noexcept { return ok_; }
    constexpr T& value() noexcept { return value_; }
    constexpr const T& value() const noexcept { return value_; }
    constexpr E& error() noexcept { return error_; }
    constexpr const E& error() const noexcept { return error_; }

private:
    // Builds the side `other` holds, in storage that holds nothing.
    template <class Other>
    constexpr void construct_from(Other&& other) {
        ok_ = other.ok_;
        if (ok_) {
            std::construct_at(&value_, std::forward<Other>(other).value_);
        } else {
            std::construct_at(&error_, std::forward<Other>(other).error_);
        }
    }
    constexpr void destroy() noexcept {
        if (ok_) {
            std::destroy_at(&value_);
        } else {
            std::destroy_at(&error_);
        }
    }

    union {
        T value_;
        E error_;
    };
    bool ok_ = true;
};

// A success with no value.
struct Empty {};

}  // namespace compat_detail

// The result of an operation that may fail: a T, or an E that says why. As
// with the standard type, reading the side that is not held is undefined.
template <class T, class E>
class [[nodiscard]] expected {
    using Value = std::conditional_t<std::is_void_v<T>, compat_detail::Empty, T>;

public:
    using value_type = T;
    using error_type = E;

    // A success: for expected<void, E> and default-constructible values.
    constexpr expected() : either_(std::in_place) {}

    template <class U = Value>
        requires(!std::is_void_v<T> && std::is_constructible_v<Value, U &&> &&
                 !std::is_same_v<std::remove_cvref_t<U>, expected>)
    constexpr expected(U&& value) : either_(std::in_place, std::forward<U>(value)) {}

    template <class G>
    constexpr expected(const unexpected<G>& failure)
        : either_(std::in_place_type<E>, failure.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& failure)
        : either_(std::in_place_type<E>, std::move(failure).error()) {}

    constexpr bool has_value() const noexcept { return either_.ok(); }
    constexpr explicit operator bool() const noexcept { return either_.ok(); }

    constexpr Value& operator*() & noexcept { return either_.value(); }
    constexpr const Value& operator*() const& noexcept { return either_.value(); }
    constexpr Value&& operator*() && noexcept { return std::move(either_.value()); }
    constexpr Value* operator->() noexcept { return &either_.value(); }
    constexpr const Value* operator->() const noexcept { return &either_.value(); }

    constexpr E& error() & noexcept { return either_.error(); }
    constexpr const E& error() const& noexcept { return either_.error(); }
    constexpr E&& error() && noexcept { return std::move(either_.error()); }

    // Equal to a value when holding an equal value; to an unexpected when
    // holding an equal error.
    template <class U>
        requires(!std::is_void_v<T> && !std::is_same_v<U, expected>)
    friend constexpr bool operator==(const expected& x, const U& value) {
        return x.has_value() && *x == value;
    }
    template <class G>
    friend constexpr bool operator==(const expected& x, const unexpected<G>& failure) {
        return !x.has_value() && x.error() == failure.error();
    }

private:
    compat_detail::Either<Value, E> either_;
};

}  // namespace sornquibid
