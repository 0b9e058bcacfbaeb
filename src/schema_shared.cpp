#include "schema_shared.hpp"

#include "text_escape.hpp"

namespace sornquibid {
namespace {

constexpr bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Only ASCII is ever accepted, so any byte of a multi-byte UTF-8 sequence
// refuses at once and the check can run over bytes.
constexpr bool acceptable(std::string_view ident) {
    if (ident.empty() || ident.size() >= 64) return false;
    if (!is_ascii_letter(ident[0]) && ident[0] != '_') return false;
    for (char c : ident.substr(1)) {
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_') return false;
    }
    return true;
}

}  // namespace

std::string display(const SharedSchemaError& error) {
    return "invalid SQL identifier: " + debug_quoted(error.ident);
}

expected<void, SharedSchemaError> validate_ident(std::string_view ident) {
    if (acceptable(ident)) return {};
    return unexpected(SharedSchemaError{std::string(ident)});
}

}  // namespace sornquibid
