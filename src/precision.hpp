// The unit of a QuibId timestamp, and the process-wide generation precision:
// the unit the library uses when it creates QuibId values itself, read once
// from QUIBID_PRECISION and then fixed for the life of the process.
#pragma once

#include <cstdint>
#include "compat.hpp"
#include <string>
#include <string_view>

namespace sornquibid {

// Stored as a 2-bit field inside a QuibId; every code 0..3 is valid.
enum class Precision : std::uint8_t {
    Microseconds = 0,
    Nanoseconds = 1,
    Picoseconds = 2,
    Femtoseconds = 3,
};

constexpr std::uint8_t code(Precision p) noexcept { return static_cast<std::uint8_t>(p); }

// The precision of a 2-bit code; higher bits are ignored.
constexpr Precision precision_from_code(unsigned bits) noexcept {
    return static_cast<Precision>(bits & 3u);
}

// "us", "ns", "ps", "fs".
constexpr std::string_view short_text(Precision p) noexcept {
    constexpr std::string_view texts[4] = {"us", "ns", "ps", "fs"};
    return texts[code(p) & 3u];
}

// "microseconds", "nanoseconds", "picoseconds", "femtoseconds".
constexpr std::string_view long_name(Precision p) noexcept {
    constexpr std::string_view names[4] = {"microseconds", "nanoseconds", "picoseconds",
                                           "femtoseconds"};
    return names[code(p) & 3u];
}

// Timestamp units in one millisecond: 10^3, 10^6, 10^9, 10^12.
constexpr std::uint64_t units_per_millisecond(Precision p) noexcept {
    constexpr std::uint64_t factors[4] = {1000ULL, 1000000ULL, 1000000000ULL, 1000000000000ULL};
    return factors[code(p) & 3u];
}

// Timestamp units in one microsecond: 1, 10^3, 10^6, 10^9.
constexpr std::uint64_t micros_divisor(Precision p) noexcept {
    constexpr std::uint64_t divisors[4] = {1ULL, 1000ULL, 1000000ULL, 1000000000ULL};
    return divisors[code(p) & 3u];
}

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Judges a value of QUIBID_PRECISION; null means the variable is absent.
expected<Precision, std::string> precision_from_environment_value(const char* value);

// Reads QUIBID_PRECISION now (nothing is cached): absent gives Nanoseconds,
// "us"/"ns"/"ps"/"fs" exactly give their precision, anything else an error
// text.
expected<Precision, std::string> try_generation_precision();

// The generation precision, read from the environment on the first
// successful call and never again. On an unusable setting it throws Panic
// and leaves the cache empty, so a later call reads the environment afresh.
Precision generation_precision();

// The precision argument of QuibIdDesc.from_parts: a short text or a long
// name, exact and case-sensitive. The error is the user-facing message.
expected<Precision, std::string> parse_precision_argument(std::string_view text);

}  // namespace sornquibid
