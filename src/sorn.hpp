// SornId: the 64-bit time-ordered identifier. Bits 62..22 hold the
// millisecond timestamp, 21..13 the node id, 12..0 the sequence; bit 63 is
// always 0, so integer order is time order.
#pragma once

#include <cstddef>
#include <cstdint>
#include "compat.hpp"
#include <string>
#include <string_view>

#include "error.hpp"

namespace sornquibid {

inline constexpr unsigned kSornTimestampBits = 41;
inline constexpr unsigned kSornNodeBits = 9;
inline constexpr unsigned kSornSequenceBits = 13;
inline constexpr std::uint64_t kSornMaxTimestamp = (std::uint64_t{1} << kSornTimestampBits) - 1;
inline constexpr std::uint16_t kSornMaxNode = (1u << kSornNodeBits) - 1;
inline constexpr std::uint16_t kSornMaxSequence = (1u << kSornSequenceBits) - 1;

// Longest decimal text of a signed 64-bit value, sign included.
inline constexpr std::size_t kMaxDecimal64 = 20;

// Parses an optional single sign followed by one or more ASCII digits, the
// whole text, into a signed 64-bit number. False on anything else, including
// a number outside the signed 64-bit range.
bool parse_decimal_i64(std::string_view text, std::int64_t& out) noexcept;

// Writes the decimal text of a non-negative value; returns its length.
std::size_t format_decimal_u63(std::int64_t value, char* buf) noexcept;

// Packs fields checked in order timestamp, node id, sequence, with the
// SornId widths. Shared by SornId and SornIdDesc.
expected<std::int64_t, Error> pack_sorn_fields(std::uint64_t timestamp_ms,
                                                    std::uint16_t node_id,
                                                    std::uint16_t sequence);

struct SornId {
    std::int64_t value;

    static constexpr expected<SornId, Error> from_int(std::int64_t v) {
        if (v < 0) return unexpected(Error{NegativeSornId{}});
        return SornId{v};
    }
    static expected<SornId, Error> from_parts(std::uint64_t timestamp_ms,
                                                   std::uint16_t node_id,
                                                   std::uint16_t sequence);
    static expected<SornId, Error> from_str(std::string_view text);

    constexpr std::uint64_t timestamp_ms() const noexcept {
        return static_cast<std::uint64_t>(value) >> 22;
    }
    constexpr std::uint16_t node_id() const noexcept {
        return static_cast<std::uint16_t>((static_cast<std::uint64_t>(value) >> 13) & 0x1FF);
    }
    constexpr std::uint16_t sequence() const noexcept {
        return static_cast<std::uint16_t>(static_cast<std::uint64_t>(value) & 0x1FFF);
    }

    std::string to_string() const;

    friend constexpr auto operator<=>(const SornId&, const SornId&) = default;
};

// Parses the decimal text shared by SornId and SornIdDesc: a signed 64-bit
// number that must not be negative.
expected<std::int64_t, Error> parse_sorn_text(std::string_view text);

}  // namespace sornquibid
