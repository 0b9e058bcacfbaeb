#include "error.hpp"

#include "text_escape.hpp"

namespace sornquibid {
namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;  // Clang before 17 deduces no aggregate

std::string range_text(const char* field, const std::string& value, unsigned bits) {
    return std::string(field) + " " + value + " exceeds " + std::to_string(bits) + "-bit limit";
}

std::string range_debug(const char* name, const std::string& value, unsigned bits) {
    return std::string(name) + " { value: " + value + ", bits: " + std::to_string(bits) + " }";
}

}  // namespace

std::string display(const Error& error) {
    return std::visit(
        Overload{
            [](const TimestampOutOfRange& e) {
                return range_text("timestamp", to_decimal(e.value), e.bits);
            },
            [](const NodeIdOutOfRange& e) {
                return range_text("node_id", std::to_string(e.value), e.bits);
            },
            [](const SequenceOutOfRange& e) {
                return range_text("sequence", std::to_string(e.value), e.bits);
            },
            [](const NegativeSornId&) { return std::string("sornid must be non-negative"); },
            [](const InvalidQuibIdVersion&) {
                return std::string("uuid version must be 8 (UUIDv8)");
            },
            [](const InvalidQuibIdVariant&) {
                return std::string("uuid variant must be RFC 4122");
            },
            [](const InvalidSornIdString& e) { return "invalid SornId string: " + e.text; },
            [](const InvalidQuibIdString& e) { return "invalid QuibId string: " + e.text; },
        },
        error);
}

std::string debug_string(const Error& error) {
    return std::visit(
        Overload{
            [](const TimestampOutOfRange& e) {
                return range_debug("TimestampOutOfRange", to_decimal(e.value), e.bits);
            },
            [](const NodeIdOutOfRange& e) {
                return range_debug("NodeIdOutOfRange", std::to_string(e.value), e.bits);
            },
            [](const SequenceOutOfRange& e) {
                return range_debug("SequenceOutOfRange", std::to_string(e.value), e.bits);
            },
            [](const NegativeSornId&) { return std::string("NegativeSornId"); },
            [](const InvalidQuibIdVersion&) { return std::string("InvalidQuibIdVersion"); },
            [](const InvalidQuibIdVariant&) { return std::string("InvalidQuibIdVariant"); },
            [](const InvalidSornIdString& e) {
                return "InvalidSornIdString(" + debug_quoted(e.text) + ")";
            },
            [](const InvalidQuibIdString& e) {
                return "InvalidQuibIdString(" + debug_quoted(e.text) + ")";
            },
        },
        error);
}

}  // namespace sornquibid
