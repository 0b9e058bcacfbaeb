#include "precision.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "panic.hpp"
#include "text_escape.hpp"

namespace sornquibid {

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;       // overlong
            else if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;       // overlong
            else if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < len) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if ((p[k] & 0xC0) != 0x80) return false;
        }
        p += len;
    }
    return true;
}

expected<Precision, std::string> precision_from_environment_value(const char* value) {
    if (value == nullptr) return Precision::Nanoseconds;
    std::string_view text(value, std::strlen(value));
    if (!is_valid_utf8(text)) {
        return unexpected(std::string("QUIBID_PRECISION is set but not valid UTF-8"));
    }
    for (unsigned c = 0; c < 4; ++c) {
        if (text == short_text(precision_from_code(c))) return precision_from_code(c);
    }
    std::string message = "QUIBID_PRECISION must be one of: us, ns, ps, fs (got '";
    message.append(text);
    message.append("')");
    return unexpected(std::move(message));
}

expected<Precision, std::string> try_generation_precision() {
    return precision_from_environment_value(std::getenv("QUIBID_PRECISION"));
}

namespace {

// GENERATION_PRECISION: 0 while empty, otherwise 1 + the precision code.
// Once set it never changes, so readers need only an acquire load. Filling it
// takes a mutex so that concurrent first callers see one reading of the
// environment and one value. std::call_once would give the same "retry after
// a failed attempt" rule (a callable that throws leaves the flag unset), but
// libstdc++ builds it on pthread_once, whose exceptional exit has deadlocked
// later callers on some targets; a mutex and an atomic keep the rule plain.
std::atomic<std::uint8_t> GENERATION_PRECISION{0};
std::mutex generation_precision_mutex;

}  // namespace

Precision generation_precision() {
    std::uint8_t cell = GENERATION_PRECISION.load(std::memory_order_acquire);
    if (cell != 0) return precision_from_code(cell - 1u);
    std::lock_guard<std::mutex> lock(generation_precision_mutex);
    cell = GENERATION_PRECISION.load(std::memory_order_acquire);
    if (cell != 0) return precision_from_code(cell - 1u);
    auto read = try_generation_precision();
    if (!read) panic("invalid QUIBID_PRECISION: " + debug_quoted(read.error()));
    GENERATION_PRECISION.store(static_cast<std::uint8_t>(code(*read) + 1u),
                               std::memory_order_release);
    return *read;
}

expected<Precision, std::string> parse_precision_argument(std::string_view text) {
    for (unsigned c = 0; c < 4; ++c) {
        Precision p = precision_from_code(c);
        if (text == short_text(p) || text == long_name(p)) return p;
    }
    std::string message = "unknown precision ";
    message.append(debug_quoted(text));
    message.append(
        "; expected one of: microseconds/us, nanoseconds/ns, picoseconds/ps, femtoseconds/fs");
    return unexpected(std::move(message));
}

}  // namespace sornquibid
