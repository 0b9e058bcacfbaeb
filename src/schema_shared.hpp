// The gate every table and column name passes before it is pasted, unquoted,
// into generated SQL: plain ASCII words of at most 63 characters.
#pragma once

#include "compat.hpp"
#include <string>
#include <string_view>

namespace sornquibid {

// A refused identifier: an owned copy of the input exactly as given, however
// long it is.
struct SharedSchemaError {
    std::string ident;
};

// "invalid SQL identifier: " followed by the identifier, debug-quoted.
std::string display(const SharedSchemaError& error);

// Accepts one ASCII letter or underscore followed by 0 to 62 ASCII letters,
// digits or underscores; refuses everything else with the same error.
expected<void, SharedSchemaError> validate_ident(std::string_view ident);

}  // namespace sornquibid
