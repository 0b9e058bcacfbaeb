// Character properties used by debug-quoted text, from generated range tables.
#pragma once

#include <cstdint>

namespace sornquibid::unicode {

// The Unicode version the tables were generated from.
extern const char* const kVersion;

// True when a non-ASCII code point is printable: its general category is not
// Cc, Cf, Cs, Co, Cn, Zl, Zp, and it is not a space separator (Zs).
bool is_printable(char32_t cp) noexcept;

// True when the code point has the Grapheme_Extend property.
bool is_grapheme_extend(char32_t cp) noexcept;

}  // namespace sornquibid::unicode
