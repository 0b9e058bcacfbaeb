#include "generator.hpp"

#include <array>
#include <cstdio>

namespace sornquibid {
namespace {

constexpr std::uint64_t kPow10[16] = {1ULL,
                                      10ULL,
                                      100ULL,
                                      1000ULL,
                                      10000ULL,
                                      100000ULL,
                                      1000000ULL,
                                      10000000ULL,
                                      100000000ULL,
                                      1000000000ULL,
                                      10000000000ULL,
                                      100000000000ULL,
                                      1000000000000ULL,
                                      10000000000000ULL,
                                      100000000000000ULL,
                                      1000000000000000ULL};

// Signed 128-bit numbers are held in a u128 as two's complement: the core's
// sums and differences of times stay far below 2^127 in magnitude.
constexpr bool is_negative(u128 v) noexcept { return (v >> 127) != u128{0}; }

// floor(v / d) of a signed number, and the remainder in [0, d).
constexpr u128 floor_div(u128 v, std::uint64_t d, std::uint64_t& rem) noexcept {
    if (!is_negative(v)) {
        rem = static_cast<std::uint64_t>(v % d);
        return v / d;
    }
    const u128 magnitude = u128{0} - v;
    const auto r = static_cast<std::uint64_t>(magnitude % d);
    u128 q = u128{0} - magnitude / d;
    rem = 0;
    if (r != 0) {
        q = q - 1;
        rem = d - r;
    }
    return q;
}

// The digits of the unit of a family: 3 (ms) for SornId, 6 to 15 for QuibId.
constexpr int unit_digits(IdFamily family, Precision precision) noexcept {
    return family == IdFamily::Sorn ? 3 : 6 + 3 * code(precision);
}

// The proleptic Gregorian date of a day counted from 1970-01-01 (the
// days-to-civil algorithm of H. Hinnant, valid for any day of the years 1
// to 9999 and far beyond).
struct Civil {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

constexpr Civil civil_from_days(std::int64_t z) noexcept {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<std::uint64_t>(z - era * 146097);
    const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

// The time text of an instant, or a description when it has none.
std::string time_or_beyond(u128 count, int digits, std::int64_t epoch_ms) {
    auto text = utc_text(count, digits, epoch_ms);
    return text ? *text : std::string("a time after the year 9999");
}

std::string message(const ClockBeforeEpoch& e) {
    // The reading as whole milliseconds and the nanoseconds past them.
    std::uint64_t ns = 0;
    const u128 ms = floor_div(u128{e.clock_ns}, 1000000, ns);
    std::string out = "the clock reads ";
    out += time_or_beyond(ns, 9, static_cast<std::int64_t>(ms));
    out += ", before the epoch ";
    out += time_or_beyond(0, 3, e.epoch_ms);
    out += " (epoch_ms=";
    out += std::to_string(e.epoch_ms);
    out += ")";
    return out;
}

std::string message(const TimestampsExhausted& e) {
    const int digits = unit_digits(e.family, e.precision);
    std::string out;
    if (e.family == IdFamily::Sorn) {
        out = "SornId timestamps end at ";
        out += time_or_beyond(kSornMaxTimestamp, digits, e.epoch_ms);
    } else {
        out = "QuibId timestamps in ";
        out += short_text(e.precision);
        out += " end at ";
        out += time_or_beyond(kQuibMaxTimestamp, digits, e.epoch_ms);
    }
    out += " with epoch_ms=";
    out += std::to_string(e.epoch_ms);
    return out;
}

std::string message(const EpochOutOfRange& e) {
    std::string out = "epoch_ms ";
    out += std::to_string(e.epoch_ms);
    out += " is outside the years 1 to 9999 (";
    out += std::to_string(kMinEpochMs);
    out += " to ";
    out += std::to_string(kMaxEpochMs);
    out += ")";
    return out;
}

}  // namespace

std::string display(const GeneratorError& error) {
    return std::visit([](const auto& e) { return message(e); }, error);
}

expected<void, GeneratorError> check_epoch_ms(std::int64_t epoch_ms) {
    if (epoch_ms < kMinEpochMs || epoch_ms > kMaxEpochMs) {
        return unexpected(GeneratorError{EpochOutOfRange{epoch_ms}});
    }
    return {};
}

expected<GeneratorConfig, std::variant<Error, GeneratorError>> make_generator_config(
    IdFamily family, Precision precision, std::uint32_t node_id, std::int64_t epoch_ms) {
    using Failure = std::variant<Error, GeneratorError>;
    const bool sorn = family == IdFamily::Sorn;
    const std::uint32_t max_node = sorn ? kSornMaxNode : kQuibMaxNode;
    if (node_id > max_node) {
        const auto bits = static_cast<std::uint8_t>(sorn ? kSornNodeBits : kQuibNodeBits);
        return unexpected(Failure{Error{NodeIdOutOfRange{node_id, bits}}});
    }
    if (auto epoch = check_epoch_ms(epoch_ms); !epoch) {
        return unexpected(Failure{epoch.error()});
    }
    return GeneratorConfig{family, sorn ? Precision::Nanoseconds : precision,
                           static_cast<std::uint16_t>(node_id), epoch_ms};
}

expected<u128, GeneratorError> timestamp_now(const GeneratorConfig& config,
                                             std::int64_t clock_ns) {
    // Nanoseconds since the epoch: the epoch's 10^6 ns per millisecond take
    // the sum past 64 bits for epochs far from 1970.
    const u128 since_epoch = u128{clock_ns} - u128{config.epoch_ms} * u128{1000000};
    if (is_negative(since_epoch)) {
        return unexpected(GeneratorError{ClockBeforeEpoch{clock_ns, config.epoch_ms}});
    }
    const int digits = unit_digits(config.family, config.precision);
    if (digits <= 9) return since_epoch / kPow10[9 - digits];
    return since_epoch * u128{kPow10[digits - 9]};
}

expected<GeneratedRun, GeneratorError> next_run(const GeneratorConfig& config,
                                                const GeneratorState& state,
                                                std::int64_t clock_ns, std::uint64_t count) {
    auto now = timestamp_now(config, clock_ns);
    if (!now) return unexpected(now.error());
    const int bits = sequence_bits(config.family);
    const u128 limit = max_position(config.family);
    const auto exhausted = [&] {
        return unexpected(
            GeneratorError{TimestampsExhausted{config.family, config.precision, config.epoch_ms}});
    };
    // now's first position, unless now is beyond the field already (which a
    // shift would hide).
    const u128 now_first =
        *now > (limit >> bits) ? limit + 1 : *now << bits;
    u128 first = now_first;
    if (state.started && now_first <= state.last) {
        // The clock stands still or stepped back: count on from the last.
        if (state.last == limit) return exhausted();
        first = state.last + 1;
    }
    if (first > limit || u128{count - 1} > limit - first) return exhausted();
    return GeneratedRun{first, GeneratorState{first + u128{count - 1}, true}};
}

std::optional<std::string> utc_text(u128 count, int digits, std::int64_t epoch_ms) {
    const u128 total = u128{epoch_ms} * u128{kPow10[digits - 3]} + count;
    std::uint64_t fraction = 0;
    const u128 seconds = floor_div(total, kPow10[digits], fraction);
    std::uint64_t second_of_day = 0;
    const u128 days = floor_div(seconds, 86400, second_of_day);
    // Days of the years 1 to 9999 from 1970-01-01.
    constexpr std::int64_t kFirstDay = -719162, kLastDay = 2932896;
    const auto day = static_cast<std::int64_t>(days.low64());
    const bool in_range = is_negative(days) ? (days.high64() == ~std::uint64_t{0} && day >= kFirstDay)
                                            : (days.high64() == 0 && day <= kLastDay);
    if (!in_range) return std::nullopt;
    const Civil date = civil_from_days(day);
    std::array<char, 64> buf{};
    const int n = std::snprintf(
        buf.data(), buf.size(), "%04lld-%02u-%02uT%02u:%02u:%02u.%0*llu", static_cast<long long>(date.year),
        date.month, date.day, static_cast<unsigned>(second_of_day / 3600),
        static_cast<unsigned>(second_of_day / 60 % 60), static_cast<unsigned>(second_of_day % 60),
        digits, static_cast<unsigned long long>(fraction));
    std::string out(buf.data(), static_cast<std::size_t>(n));
    out += 'Z';
    return out;
}

}  // namespace sornquibid
