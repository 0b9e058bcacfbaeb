// QuibId: the 128-bit time-ordered identifier, laid out as a version-8 UUID
// with the RFC 4122 variant. Read as a big-endian 128-bit value V:
//   127..80 timestamp bits 88..41 | 79..76 version 8 | 75..64 timestamp 40..29
//   63..62 variant 10 | 61..60 precision | 59..31 timestamp 28..0
//   30..16 node id | 15..0 sequence
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>

#include "error.hpp"
#include "precision.hpp"
#include "u128.hpp"

namespace sornquibid {

inline constexpr unsigned kQuibTimestampBits = 89;
inline constexpr unsigned kQuibNodeBits = 15;
inline constexpr u128 kQuibMaxTimestamp = (u128{1} << kQuibTimestampBits) - 1;
inline constexpr std::uint16_t kQuibMaxNode = (1u << kQuibNodeBits) - 1;

// Length of the hyphenated lower-case text form.
inline constexpr std::size_t kQuibTextLength = 36;

// ---------------------------------------------------------------------------
// Packing and unpacking of V, shared by QuibId, QuibIdDesc and the
// conversions. The packers take fields already within their widths; excess
// bits are masked off, never carried into a neighbouring field.

constexpr u128 pack_quib(u128 timestamp, Precision precision, std::uint16_t node_id,
                         std::uint16_t sequence) noexcept {
    const u128 t = timestamp & kQuibMaxTimestamp;
    return ((t >> 41) << 80) | (u128{8} << 76) | (((t >> 29) & 0xFFF) << 64) | (u128{2} << 62) |
           (u128{code(precision)} << 60) | ((t & 0x1FFFFFFF) << 31) |
           ((u128{node_id} & kQuibMaxNode) << 16) | u128{sequence};
}

constexpr u128 quib_timestamp(u128 v) noexcept {
    return ((v >> 80) << 41) | (((v >> 64) & 0xFFF) << 29) | ((v >> 31) & 0x1FFFFFFF);
}
constexpr Precision quib_precision(u128 v) noexcept {
    return precision_from_code(static_cast<unsigned>(v >> 60));
}
constexpr std::uint16_t quib_node_id(u128 v) noexcept {
    return static_cast<std::uint16_t>((v >> 16) & kQuibMaxNode);
}
constexpr std::uint16_t quib_sequence(u128 v) noexcept { return static_cast<std::uint16_t>(v); }

// The version nibble (byte 6, high) and the variant bits (byte 8, top two)
// of 16 stored bytes.
constexpr bool has_quib_version(const std::uint8_t (&bytes)[16]) noexcept {
    return (bytes[6] >> 4) == 8;
}
constexpr bool has_quib_variant(const std::uint8_t (&bytes)[16]) noexcept {
    return (bytes[8] >> 6) == 2;
}

// Big-endian 64-bit load of 8 stored bytes.
constexpr std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    if consteval {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
        return v;
    } else {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
        return v;
    }
}

// Stored bytes as V.
constexpr u128 quib_bytes_value(const std::uint8_t (&bytes)[16]) noexcept {
    return (u128{load_be64(bytes)} << 64) | load_be64(bytes + 8);
}

// Unsigned comparison of V, which is also byte-wise lexicographic order.
constexpr std::strong_ordering compare_quib_bytes(const std::uint8_t (&a)[16],
                                                  const std::uint8_t (&b)[16]) noexcept {
    const std::uint64_t ah = load_be64(a), bh = load_be64(b);
    if (ah != bh) return ah <=> bh;
    return load_be64(a + 8) <=> load_be64(b + 8);
}

constexpr bool equal_quib_bytes(const std::uint8_t (&a)[16], const std::uint8_t (&b)[16]) noexcept {
    return load_be64(a) == load_be64(b) && load_be64(a + 8) == load_be64(b + 8);
}

// Checks version 8, then the RFC 4122 variant, of 16 stored bytes: all that
// is validated of a 128-bit identifier, whichever way it arrives.
std::expected<void, Error> check_quib_bytes(const std::uint8_t (&bytes)[16]);

// Parses one of the four UUID text forms (32 hex digits; 36 hyphenated;
// 38 "{hyphenated}"; 45 "urn:uuid:hyphenated"), hex digits in either case,
// into 16 bytes, then checks them with check_quib_bytes. Shared by QuibId
// and QuibIdDesc, which differ only in meaning.
std::expected<void, Error> parse_quib_text(std::string_view text, std::uint8_t (&out)[16]);

// Writes the 36-character lower-case hyphenated text of 16 bytes.
void format_quib_text(const std::uint8_t (&bytes)[16], char* out) noexcept;

struct QuibId {
    std::uint8_t bytes[16];

    // The identifier whose V is `v`; the caller supplies version and variant
    // (pack_quib writes both).
    static constexpr QuibId from_value(u128 v) noexcept {
        QuibId q{};
        store_be128(v, q.bytes);
        return q;
    }
    // Packs fields within their widths (see pack_quib).
    static constexpr QuibId from_fields(u128 timestamp, Precision precision,
                                        std::uint16_t node_id, std::uint16_t sequence) noexcept {
        return from_value(pack_quib(timestamp, precision, node_id, sequence));
    }
    // Checks the timestamp (89 bits), then the node id (15 bits); the
    // sequence uses all 16 bits.
    static std::expected<QuibId, Error> from_parts(u128 timestamp, Precision precision,
                                                   std::uint16_t node_id, std::uint16_t sequence);
    static std::expected<QuibId, Error> from_str(std::string_view text);
    // The 16 bytes as stored, with the checks of check_quib_bytes.
    static std::expected<QuibId, Error> from_bytes(const std::uint8_t (&bytes)[16]);

    constexpr u128 value() const noexcept { return quib_bytes_value(bytes); }

    constexpr u128 timestamp() const noexcept { return quib_timestamp(value()); }
    constexpr Precision precision() const noexcept {
        return precision_from_code(static_cast<unsigned>(bytes[8] >> 4));
    }
    constexpr std::uint16_t node_id() const noexcept {
        return static_cast<std::uint16_t>(((bytes[12] & 0x7F) << 8) | bytes[13]);
    }
    constexpr std::uint16_t sequence() const noexcept {
        return static_cast<std::uint16_t>((bytes[14] << 8) | bytes[15]);
    }
    constexpr u128 timestamp_micros() const noexcept {
        return timestamp() / micros_divisor(precision());
    }

    // The 36-character text form, into `out` (no terminator written).
    void write_text(char* out) const noexcept { format_quib_text(bytes, out); }
    std::string to_string() const;

    friend constexpr bool operator==(const QuibId& a, const QuibId& b) noexcept {
        return equal_quib_bytes(a.bytes, b.bytes);
    }
    friend constexpr std::strong_ordering operator<=>(const QuibId& a, const QuibId& b) noexcept {
        return compare_quib_bytes(a.bytes, b.bytes);
    }
};

}  // namespace sornquibid
