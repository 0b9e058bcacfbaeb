// Unsigned 128-bit arithmetic helpers shared by the identifier families.
#pragma once

#include <cstdint>
#include <string>

namespace sornquibid {

__extension__ using u128 = unsigned __int128;

// Plain unsigned decimal text: no sign, no leading zeros, no grouping.
std::string to_decimal(u128 value);

// Reads 16 bytes in big-endian order as one unsigned 128-bit number.
constexpr u128 load_be128(const std::uint8_t* bytes) noexcept {
    u128 v = 0;
    for (int i = 0; i < 16; ++i) v = (v << 8) | bytes[i];
    return v;
}

// Writes an unsigned 128-bit number as 16 big-endian bytes.
constexpr void store_be128(u128 value, std::uint8_t* bytes) noexcept {
    for (int i = 15; i >= 0; --i) {
        bytes[i] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

}  // namespace sornquibid
