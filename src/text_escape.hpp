// Debug-quoted text: a string between double quotes with quotes, backslashes,
// control characters, non-printable characters and grapheme extenders
// escaped, so that a message shows exactly what was rejected.
#pragma once

#include <string>
#include <string_view>

namespace sornquibid {

// `text` is UTF-8. The result is UTF-8 and starts and ends with '"'.
std::string debug_quoted(std::string_view text);

}  // namespace sornquibid
