#include "quib.hpp"

#include <array>

namespace sornquibid {
namespace {

// Value of each hexadecimal digit, 0xFF for every other byte.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = 0xFF;
    for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<std::uint8_t>(c);
    for (int c = 0; c < 6; ++c) {
        t['a' + c] = static_cast<std::uint8_t>(10 + c);
        t['A' + c] = static_cast<std::uint8_t>(10 + c);
    }
    return t;
}();

// The two lower-case digits of each byte value.
constexpr std::array<char, 512> kHexPairs = [] {
    std::array<char, 512> t{};
    constexpr char digits[] = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
        t[2 * b] = digits[b >> 4];
        t[2 * b + 1] = digits[b & 15];
    }
    return t;
}();

// Offsets of the 16 digit pairs in the hyphenated form.
constexpr std::size_t kHyphenatedOffsets[16] = {0,  2,  4,  6,  9,  11, 14, 16,
                                                19, 21, 24, 26, 28, 30, 32, 34};

// Decodes 16 digit pairs at `offsets` (or at 0, 2, ..., 30 when null);
// false on any non-hexadecimal character.
bool decode_pairs(const char* p, const std::size_t* offsets, std::uint8_t (&out)[16]) noexcept {
    unsigned bad = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        const char* q = p + (offsets != nullptr ? offsets[i] : 2 * i);
        const unsigned hi = kHexValue[static_cast<unsigned char>(q[0])];
        const unsigned lo = kHexValue[static_cast<unsigned char>(q[1])];
        bad |= hi | lo;
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return (bad & 0xF0) == 0;
}

bool decode_hyphenated(const char* p, std::uint8_t (&out)[16]) noexcept {
    if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return false;
    return decode_pairs(p, kHyphenatedOffsets, out);
}

bool decode_any_form(std::string_view text, std::uint8_t (&out)[16]) noexcept {
    switch (text.size()) {
        case 32:
            return decode_pairs(text.data(), nullptr, out);
        case 36:
            return decode_hyphenated(text.data(), out);
        case 38:
            return text.front() == '{' && text.back() == '}' &&
                   decode_hyphenated(text.data() + 1, out);
        case 45:
            return text.starts_with("urn:uuid:") && decode_hyphenated(text.data() + 9, out);
        default:
            return false;
    }
}

}  // namespace

std::expected<void, Error> check_quib_bytes(const std::uint8_t (&bytes)[16]) {
    if (!has_quib_version(bytes)) return std::unexpected(Error{InvalidQuibIdVersion{}});
    if (!has_quib_variant(bytes)) return std::unexpected(Error{InvalidQuibIdVariant{}});
    return {};
}

std::expected<void, Error> parse_quib_text(std::string_view text, std::uint8_t (&out)[16]) {
    if (!decode_any_form(text, out)) {
        return std::unexpected(Error{InvalidQuibIdString{std::string(text)}});
    }
    return check_quib_bytes(out);
}

void format_quib_text(const std::uint8_t (&bytes)[16], char* out) noexcept {
    for (std::size_t i = 0; i < 16; ++i) {
        const char* pair = kHexPairs.data() + 2 * bytes[i];
        char* dst = out + kHyphenatedOffsets[i];
        dst[0] = pair[0];
        dst[1] = pair[1];
    }
    out[8] = out[13] = out[18] = out[23] = '-';
}

std::expected<QuibId, Error> QuibId::from_parts(u128 timestamp, Precision precision,
                                                std::uint16_t node_id, std::uint16_t sequence) {
    if (timestamp > kQuibMaxTimestamp) {
        return std::unexpected(Error{TimestampOutOfRange{timestamp, kQuibTimestampBits}});
    }
    if (node_id > kQuibMaxNode) {
        return std::unexpected(Error{NodeIdOutOfRange{node_id, kQuibNodeBits}});
    }
    return from_fields(timestamp, precision, node_id, sequence);
}

std::expected<QuibId, Error> QuibId::from_bytes(const std::uint8_t (&bytes)[16]) {
    auto checked = check_quib_bytes(bytes);
    if (!checked) return std::unexpected(std::move(checked.error()));
    QuibId q;
    std::memcpy(q.bytes, bytes, 16);
    return q;
}

std::expected<QuibId, Error> QuibId::from_str(std::string_view text) {
    QuibId q;
    auto parsed = parse_quib_text(text, q.bytes);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return q;
}

std::string QuibId::to_string() const {
    std::string s(kQuibTextLength, '\0');
    write_text(s.data());
    return s;
}

}  // namespace sornquibid
