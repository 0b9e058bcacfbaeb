#include "sorn.hpp"

#include <array>
#include <cstring>

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

namespace {

// The two decimal digits of each number below 100.
constexpr std::array<char, 200> kDecimalPairs = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

}  // namespace

std::size_t format_decimal_u63(std::int64_t value, char* buf) noexcept {
    // Two digits at a time, from the last: half the divisions of one at a
    // time, which the text output of whole columns feels.
    char tmp[kMaxDecimal64];
    auto v = static_cast<std::uint64_t>(value);
    char* const end = tmp + kMaxDecimal64;
    char* p = end;
    while (v >= 100) {
        p -= 2;
        std::memcpy(p, kDecimalPairs.data() + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kDecimalPairs.data() + 2 * v, 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    const auto n = static_cast<std::size_t>(end - p);
    std::memcpy(buf, p, n);
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
