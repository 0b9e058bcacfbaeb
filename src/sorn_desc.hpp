// SornIdDesc: the descending form of SornId. It stores the SornId value XOR
// a mask that inverts the timestamp and sequence bits and keeps the node id,
// so ascending order of the stored integers lists the newest first.
#pragma once

#include <cstdint>
#include "compat.hpp"
#include <string>
#include <string_view>

#include "error.hpp"
#include "panic.hpp"
#include "sorn.hpp"

namespace sornquibid {

// Ones in bits 62..22 (timestamp) and 12..0 (sequence); bit 63 and the node
// id bits 21..13 are clear. Its own inverse.
inline constexpr std::int64_t kSornDescMask = 0x7FFFFFFFFFC01FFF;

struct SornIdDesc {
    // The descending bits; never negative.
    std::int64_t value;

    // Takes `v` as the descending bits, unchanged.
    static constexpr expected<SornIdDesc, Error> from_int(std::int64_t v) {
        if (v < 0) return unexpected(Error{NegativeSornId{}});
        return SornIdDesc{v};
    }
    // Checks timestamp, node id, then sequence (the SornId widths) and
    // stores the SornId value of the fields XOR the mask.
    static expected<SornIdDesc, Error> from_parts(std::uint64_t timestamp_ms,
                                                       std::uint16_t node_id,
                                                       std::uint16_t sequence);
    // Parses the decimal text of the descending bits themselves.
    static expected<SornIdDesc, Error> from_str(std::string_view text);

    // The SornId with the same fields. Bit 63 of the stored value is clear
    // and the mask keeps it clear, so the result is never negative.
    SornId ascending() const {
        const std::int64_t asc = value ^ kSornDescMask;
        if (asc < 0) panic("desc\u2192asc XOR preserves bit-63 = 0");
        return SornId{asc};
    }

    std::uint64_t timestamp_ms() const { return ascending().timestamp_ms(); }
    std::uint16_t node_id() const { return ascending().node_id(); }
    std::uint16_t sequence() const { return ascending().sequence(); }

    std::string to_string() const;

    friend constexpr auto operator<=>(const SornIdDesc&, const SornIdDesc&) = default;
};

}  // namespace sornquibid
