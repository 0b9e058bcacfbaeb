// The identifier hash: SipHash-1-3 with an all-zero 128-bit key over exactly
// the stored bytes of an identifier, read as signed, with -1 replaced by -2
// (the interpreter reserves -1 for "error").
#pragma once

#include <cstddef>
#include <cstdint>

namespace sornquibid {

// SipHash-1-3 of `len` bytes under the all-zero key.
std::uint64_t siphash13_zero_key(const std::uint8_t* data, std::size_t len) noexcept;

// Hash of a 64-bit identifier: its 8 little-endian bytes.
std::int64_t identifier_hash64(std::int64_t value) noexcept;

// Hash of a 128-bit identifier: its 16 stored bytes in order.
std::int64_t identifier_hash128(const std::uint8_t (&bytes)[16]) noexcept;

}  // namespace sornquibid
