#include "lines.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "quib.hpp"
#include "sorn.hpp"

namespace sornquibid::lines {
namespace {

// The UTF-8 forms of the white space beyond ASCII that str.isspace() knows:
// U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F
// and U+3000. Where such bytes stand in a line, Python's decoder reads that
// character and no other (a lead byte always starts a character of its
// own, even after a broken one), so stripping them here strips what
// decoding and str.strip() would.
bool is_wide_space(const std::uint8_t* p, std::size_t n) noexcept {
    if (n == 2) return p[0] == 0xC2 && (p[1] == 0x85 || p[1] == 0xA0);
    if (n != 3) return false;
    const unsigned a = p[0], b = p[1], c = p[2];
    if (a == 0xE1) return b == 0x9A && c == 0x80;
    if (a == 0xE3) return b == 0x80 && c == 0x80;
    if (a != 0xE2) return false;
    if (b == 0x80) return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF;
    return b == 0x81 && c == 0x9F;
}

// ASCII white space: tab, line feed, vertical tab, form feed, carriage
// return, the four information separators (0x1C to 0x1F) and the space.
constexpr bool is_ascii_space(std::uint8_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
}

// The 32 hexadecimal digits after "0x" or "0X".
bool is_hex0x(const std::uint8_t* p, std::size_t n) noexcept {
    if (n != 34 || p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return false;
    return std::all_of(p + 2, p + n, [](std::uint8_t c) {
        return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
    });
}

constexpr std::size_t kAlign = 64;

std::size_t aligned(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() - (kAlign - 1)) throw std::bad_alloc();
    return (n + kAlign - 1) & ~(kAlign - 1);
}

std::size_t times(std::size_t n, std::size_t k) {
    if (k != 0 && n > std::numeric_limits<std::size_t>::max() / k) throw std::bad_alloc();
    return n * k;
}

std::size_t plus(std::size_t a, std::size_t b) {
    if (a > std::numeric_limits<std::size_t>::max() - b) throw std::bad_alloc();
    return a + b;
}

}  // namespace

std::size_t space_length(std::span<const std::uint8_t> text, bool at_end) noexcept {
    const std::size_t n = text.size();
    if (n == 0) return 0;
    const std::uint8_t* p = text.data();
    if (is_ascii_space(at_end ? p[n - 1] : p[0])) return 1;
    for (std::size_t k : {std::size_t{2}, std::size_t{3}}) {
        if (n >= k && is_wide_space(at_end ? p + n - k : p, k)) return k;
    }
    return 0;
}

Split split(std::span<const std::uint8_t> data, const SplitOptions& options) {
    const std::uint8_t* const begin = data.data();
    const std::uint8_t* const end = begin + data.size();
    std::size_t feeds = static_cast<std::size_t>(std::count(begin, end, std::uint8_t{'\n'}));
    const std::size_t lines = feeds + (!data.empty() && end[-1] != '\n' ? 1 : 0);

    // One block: the validity bitmap (with blank_null), the offsets and the
    // text, which is never longer than the chunk.
    const bool wide = data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    const std::size_t offset_size = wide ? 8 : 4;
    const std::size_t validity_bytes = options.blank_null ? lines / 8 + 1 : 0;
    const std::size_t offsets_at = aligned(validity_bytes);
    const std::size_t text_at = plus(offsets_at, aligned(times(plus(lines, 1), offset_size)));
    Split out;
    out.lines = lines;
    out.output.block = columns::Block(plus(text_at, data.size()));
    std::uint8_t* const base = out.output.block.data();
    std::uint8_t* const validity = options.blank_null ? base : nullptr;
    std::uint8_t* const offsets = base + offsets_at;
    std::uint8_t* const text = base + text_at;
    if (validity != nullptr) std::memset(validity, 0xFF, validity_bytes);

    std::size_t rows = 0, nulls = 0, position = 0;
    auto set_offset = [&](std::size_t row) {
        if (wide) {
            const auto v = static_cast<std::int64_t>(position);
            std::memcpy(offsets + 8 * row, &v, 8);
        } else {
            const auto v = static_cast<std::int32_t>(position);
            std::memcpy(offsets + 4 * row, &v, 4);
        }
    };
    set_offset(0);
    for (const std::uint8_t* line = begin; line < end;) {
        const auto* feed = static_cast<const std::uint8_t*>(
            std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        const std::uint8_t* next = feed != nullptr ? feed + 1 : end;
        const std::uint8_t* first = line;
        const std::uint8_t* last = feed != nullptr ? feed : end;
        line = next;
        // Most lines hold an identifier and no blank: one test each way.
        if (first < last && !(first[0] > 0x20 && first[0] < 0x80)) {
            while (std::size_t k = space_length({first, last}, false)) first += k;
        }
        if (first < last && !(last[-1] > 0x20 && last[-1] < 0x80)) {
            while (std::size_t k = space_length({first, last}, true)) last -= k;
        }
        auto length = static_cast<std::size_t>(last - first);
        if (length == 0) {
            if (validity == nullptr) continue;
            validity[rows >> 3] = static_cast<std::uint8_t>(validity[rows >> 3] & ~(1u << (rows & 7)));
            ++nulls;
        } else {
            if (options.hex0x && is_hex0x(first, length)) {
                first += 2;
                length -= 2;
            }
            std::memcpy(text + position, first, length);
            position += length;
        }
        set_offset(++rows);
    }

    columns::ColumnOut column;
    column.type = wide ? columns::Type::LargeUtf8 : columns::Type::Utf8;
    column.length = rows;
    column.null_count = nulls;
    column.validity = nulls != 0 ? validity : nullptr;
    column.offsets = offsets;
    column.values = text;
    column.values_size = position;
    out.output.columns.push_back(column);
    return out;
}

bool joined_size(std::span<const Field> fields, std::size_t rows, std::size_t& size) noexcept {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    size = 0;
    for (const Field& field : fields) {
        // The text, and a separator or line feed after it.
        std::size_t each = 1;
        switch (field.kind) {
            case Field::Kind::Sorn: each += columns::kSornTextMax; break;
            case Field::Kind::Quib: each += kQuibTextLength; break;
            case Field::Kind::Text: break;
        }
        if (rows > (kMax - size) / each) return false;
        size += rows * each;
        if (field.kind != Field::Kind::Text) continue;
        for (std::size_t i = 0; i < rows; ++i) {
            if (!field.text.validity.valid(i)) continue;
            const std::size_t length = field.text.strings.at(i).size();
            if (size > kMax - length) return false;
            size += length;
        }
    }
    return true;
}

expected<std::size_t, columns::ColumnError> join(std::span<const Field> fields, std::size_t rows,
                                                 std::uint8_t* out, std::uint64_t row0) {
    std::uint8_t* const start = out;
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t c = 0; c < fields.size(); ++c) {
            const Field& field = fields[c];
            switch (field.kind) {
                case Field::Kind::Text:
                    if (field.text.validity.valid(i)) {
                        const std::string_view text = field.text.strings.at(i);
                        if (!text.empty()) std::memcpy(out, text.data(), text.size());
                        out += text.size();
                    }
                    break;
                case Field::Kind::Sorn:
                    if (field.int64.validity.valid(i)) {
                        const std::int64_t v = field.int64.at(i);
                        if (v < 0) return unexpected(columns::ColumnError{row0 + i, Error{NegativeSornId{}}});
                        out += format_decimal_u63(v, reinterpret_cast<char*>(out));
                    }
                    break;
                case Field::Kind::Quib:
                    if (field.bytes16.validity.valid(i)) {
                        std::uint8_t bytes[16];
                        if (field.bytes16.values != nullptr) {
                            std::memcpy(bytes, field.bytes16.values + 16 * i, 16);
                        } else {
                            const std::string_view value = field.bytes16.strings.at(i);
                            if (value.size() != 16) {
                                return unexpected(columns::ColumnError{row0 + i, columns::WrongLength{value.size()}});
                            }
                            std::memcpy(bytes, value.data(), 16);
                        }
                        if (auto checked = check_quib_bytes(bytes); !checked) {
                            return unexpected(columns::ColumnError{row0 + i, std::move(checked.error())});
                        }
                        format_quib_text(bytes, reinterpret_cast<char*>(out));
                        out += kQuibTextLength;
                    }
                    break;
            }
            *out++ = c + 1 < fields.size() ? ',' : '\n';
        }
    }
    return static_cast<std::size_t>(out - start);
}

}  // namespace sornquibid::lines
