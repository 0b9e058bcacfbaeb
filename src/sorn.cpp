#include "sorn.hpp"

namespace sornquibid {

bool parse_decimal_i64(std::string_view text, std::int64_t& out) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) return false;
    // Accumulate the magnitude as unsigned; the limit is 2^63 for a negative
    // number and 2^63 - 1 otherwise.
    const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        unsigned digit = static_cast<unsigned char>(text[i]) - static_cast<unsigned>('0');
        if (digit > 9) return false;
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    out = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

std::size_t format_decimal_u63(std::int64_t value, char* buf) noexcept {
    char tmp[kMaxDecimal64];
    auto v = static_cast<std::uint64_t>(value);
    std::size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t k = 0; k < n; ++k) buf[k] = tmp[n - 1 - k];
    return n;
}

expected<std::int64_t, Error> pack_sorn_fields(std::uint64_t timestamp_ms,
                                                    std::uint16_t node_id,
                                                    std::uint16_t sequence) {
    if (timestamp_ms > kSornMaxTimestamp)
        return unexpected(Error{TimestampOutOfRange{timestamp_ms, kSornTimestampBits}});
    if (node_id > kSornMaxNode)
        return unexpected(Error{NodeIdOutOfRange{node_id, kSornNodeBits}});
    if (sequence > kSornMaxSequence)
        return unexpected(Error{SequenceOutOfRange{sequence, kSornSequenceBits}});
    return static_cast<std::int64_t>((timestamp_ms << 22) | (std::uint64_t{node_id} << 13) |
                                     sequence);
}

expected<std::int64_t, Error> parse_sorn_text(std::string_view text) {
    std::int64_t v;
    if (!parse_decimal_i64(text, v)) return unexpected(Error{InvalidSornIdString{std::string(text)}});
    if (v < 0) return unexpected(Error{NegativeSornId{}});
    return v;
}

expected<SornId, Error> SornId::from_parts(std::uint64_t timestamp_ms, std::uint16_t node_id,
                                                std::uint16_t sequence) {
    auto v = pack_sorn_fields(timestamp_ms, node_id, sequence);
    if (!v) return unexpected(std::move(v.error()));
    return SornId{*v};
}

expected<SornId, Error> SornId::from_str(std::string_view text) {
    auto v = parse_sorn_text(text);
    if (!v) return unexpected(std::move(v.error()));
    return SornId{*v};
}

std::string SornId::to_string() const {
    char buf[kMaxDecimal64];
    return std::string(buf, format_decimal_u63(value, buf));
}

}  // namespace sornquibid
