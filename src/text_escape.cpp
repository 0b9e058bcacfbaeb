#include "text_escape.hpp"

#include <cstdint>

#include "unicode_tables.hpp"

namespace sornquibid {
namespace {

// Decodes one UTF-8 sequence starting at text[i]; advances i. A malformed
// sequence yields U+FFFD for its first byte, so that every byte is consumed.
char32_t decode_one(std::string_view text, std::size_t& i) {
    auto b0 = static_cast<std::uint8_t>(text[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t need;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        need = 1; cp = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        need = 2; cp = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        need = 3; cp = b0 & 0x07; min = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + need >= text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        auto b = static_cast<std::uint8_t>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += need + 1;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_unicode_escape(std::string& out, char32_t cp) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u{";
    int shift = 28;
    while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
    out.push_back('}');
}

}  // namespace

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp = decode_one(text, i);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        bool escape;
        if (cp < 0x80) {
            escape = cp < 0x20 || cp == 0x7F;
        } else {
            escape = !unicode::is_printable(cp) || unicode::is_grapheme_extend(cp);
        }
        if (escape) {
            append_unicode_escape(out, cp);
        } else {
            append_utf8(out, cp);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace sornquibid
