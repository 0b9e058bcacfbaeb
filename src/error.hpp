// The single error type of the identifier core. Its display texts are the
// messages Python users see.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "u128.hpp"

namespace sornquibid {

struct TimestampOutOfRange {
    u128 value;
    std::uint8_t bits;
};
struct NodeIdOutOfRange {
    std::uint32_t value;
    std::uint8_t bits;
};
struct SequenceOutOfRange {
    std::uint32_t value;
    std::uint8_t bits;
};
struct NegativeSornId {};
struct InvalidQuibIdVersion {};
struct InvalidQuibIdVariant {};
struct InvalidSornIdString {
    std::string text;
};
struct InvalidQuibIdString {
    std::string text;
};

// The eight variants, in declaration order.
using Error = std::variant<TimestampOutOfRange, NodeIdOutOfRange, SequenceOutOfRange,
                           NegativeSornId, InvalidQuibIdVersion, InvalidQuibIdVariant,
                           InvalidSornIdString, InvalidQuibIdString>;

// The user-facing message.
std::string display(const Error& error);

// The variant name with its fields, for internal assertion messages.
std::string debug_string(const Error& error);

}  // namespace sornquibid
