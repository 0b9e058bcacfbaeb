// QuibIdDesc: the descending form of QuibId. It stores the QuibId bytes XOR a
// mask that inverts the timestamp and sequence and keeps version, variant,
// precision and node id, so ascending byte order lists the newest first
// among identifiers of one precision. The stored bytes are themselves a
// valid version-8 UUID.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "error.hpp"
#include "panic.hpp"
#include "precision.hpp"
#include "quib.hpp"
#include "u128.hpp"

namespace sornquibid {

// FF FF FF FF FF FF 0F FF 0F FF FF FF 80 00 FF FF; its own inverse.
inline constexpr u128 kQuibDescMask =
    (u128{0xFFFFFFFFFFFF0FFFULL} << 64) | u128{0x0FFFFFFF8000FFFFULL};

struct QuibIdDesc {
    // The descending bytes D, in UUID byte order.
    std::uint8_t bytes[16];

    // Checks the timestamp (89 bits), then the node id (15 bits); the
    // sequence uses all 16 bits. Stores the packed QuibId value XOR the mask.
    static std::expected<QuibIdDesc, Error> from_parts(u128 timestamp, Precision precision,
                                                       std::uint16_t node_id,
                                                       std::uint16_t sequence);
    // Parses a UUID text as the descending bytes, with the QuibId checks.
    static std::expected<QuibIdDesc, Error> from_str(std::string_view text);
    // The descending bytes as stored, with the QuibId checks.
    static std::expected<QuibIdDesc, Error> from_bytes(const std::uint8_t (&bytes)[16]);

    // The ascending value V = D XOR mask. The mask keeps version and variant,
    // and every QuibIdDesc was validated or packed when it was made.
    u128 ascending() const {
        QuibId asc = QuibId::from_value(quib_bytes_value(bytes) ^ kQuibDescMask);
        if (!has_quib_version(asc.bytes) || !has_quib_variant(asc.bytes)) {
            panic("desc\u2192asc XOR preserves version and variant");
        }
        return asc.value();
    }

    u128 timestamp() const { return quib_timestamp(ascending()); }
    Precision precision() const { return quib_precision(ascending()); }
    std::uint16_t node_id() const { return quib_node_id(ascending()); }
    std::uint16_t sequence() const { return quib_sequence(ascending()); }

    // The 36-character text form of D, into `out` (no terminator written).
    void write_text(char* out) const noexcept { format_quib_text(bytes, out); }
    std::string to_string() const;

    friend constexpr bool operator==(const QuibIdDesc& a, const QuibIdDesc& b) noexcept {
        return equal_quib_bytes(a.bytes, b.bytes);
    }
    friend constexpr std::strong_ordering operator<=>(const QuibIdDesc& a,
                                                      const QuibIdDesc& b) noexcept {
        return compare_quib_bytes(a.bytes, b.bytes);
    }
};

}  // namespace sornquibid
