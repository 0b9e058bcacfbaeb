// Unsigned 128-bit arithmetic helpers shared by the identifier families.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace sornquibid {

__extension__ using u128 = unsigned __int128;

// Plain unsigned decimal text: no sign, no leading zeros, no grouping.
std::string to_decimal(u128 value);

// Reads 16 bytes in big-endian order as one unsigned 128-bit number. At run
// time two byte-swapped 64-bit loads: the compiler does not merge the byte
// loop for 128 bits, and every QuibId conversion goes through here.
constexpr u128 load_be128(const std::uint8_t* bytes) noexcept {
    if consteval {
        u128 v = 0;
        for (int i = 0; i < 16; ++i) v = (v << 8) | bytes[i];
        return v;
    } else {
        std::uint64_t high, low;
        std::memcpy(&high, bytes, 8);
        std::memcpy(&low, bytes + 8, 8);
        if constexpr (std::endian::native == std::endian::little) {
            high = std::byteswap(high);
            low = std::byteswap(low);
        }
        return (u128{high} << 64) | low;
    }
}

// Writes an unsigned 128-bit number as 16 big-endian bytes.
constexpr void store_be128(u128 value, std::uint8_t* bytes) noexcept {
    if consteval {
        for (int i = 15; i >= 0; --i) {
            bytes[i] = static_cast<std::uint8_t>(value);
            value >>= 8;
        }
    } else {
        auto high = static_cast<std::uint64_t>(value >> 64);
        auto low = static_cast<std::uint64_t>(value);
        if constexpr (std::endian::native == std::endian::little) {
            high = std::byteswap(high);
            low = std::byteswap(low);
        }
        std::memcpy(bytes, &high, 8);
        std::memcpy(bytes + 8, &low, 8);
    }
}

}  // namespace sornquibid
