// Making identifiers: the arithmetic of the SornId and QuibId generators as a
// pure function of a clock reading and the generator's last state. Nothing
// here reads a clock; the caller hands in the reading.
//
// The rules, shared with the database generators:
//   now = floor((clock_ns - epoch_ms * 10^6) / unit_ns), the unit being 1 ms
//   for SornId and the precision's unit for QuibId;
//   now < 0 is an error (the clock reads before the epoch), state unchanged;
//   no state yet, or now > T: the next (timestamp, sequence) is (now, 0);
//   otherwise S < the largest sequence: (T, S + 1);
//   otherwise (T + 1, 0), running ahead of the clock;
//   a next timestamp beyond the field is an error, state unchanged.
// So a generator's identifiers only ever increase. Read as one number, the
// position T * (largest sequence + 1) + S, the rules say: a run of n
// identifiers for one clock reading starts at max(now's first position, the
// last position + 1) and counts up by one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "compat.hpp"
#include "error.hpp"
#include "precision.hpp"
#include "quib.hpp"
#include "sorn.hpp"
#include "u128.hpp"

namespace sornquibid {

enum class IdFamily : std::uint8_t { Sorn, Quib };

// The epochs a generator accepts: Unix times in milliseconds within the years
// 1 to 9999, the range of Python's datetime and SQL Server's datetime2.
inline constexpr std::int64_t kMinEpochMs = -62135596800000;  // 0001-01-01T00:00:00.000Z
inline constexpr std::int64_t kMaxEpochMs = 253402300799999;  // 9999-12-31T23:59:59.999Z

// What a generator is made with; fixed for its life.
struct GeneratorConfig {
    IdFamily family = IdFamily::Sorn;
    Precision precision = Precision::Nanoseconds;  // QuibId only
    std::uint16_t node_id = 0;
    std::int64_t epoch_ms = 0;
};

// The last identifier a generator handed out, as its position
// T * (largest sequence + 1) + S; none before the first.
struct GeneratorState {
    u128 last = 0;
    bool started = false;
};

// The clock reads before the generator's epoch.
struct ClockBeforeEpoch {
    std::int64_t clock_ns;
    std::int64_t epoch_ms;
};

// The next timestamp would not fit the family's timestamp field.
struct TimestampsExhausted {
    IdFamily family;
    Precision precision;
    std::int64_t epoch_ms;
};

// An epoch outside kMinEpochMs..kMaxEpochMs.
struct EpochOutOfRange {
    std::int64_t epoch_ms;
};

using GeneratorError = std::variant<ClockBeforeEpoch, TimestampsExhausted, EpochOutOfRange>;

// The user-facing messages:
//   "the clock reads <time>, before the epoch <time> (epoch_ms=<E>)"
//   "SornId timestamps end at <time> with epoch_ms=<E>" (QuibId: "QuibId
//     timestamps in <unit> end at ...")
//   "epoch_ms <E> is outside the years 1 to 9999 (-62135596800000 to
//     253402300799999)"
std::string display(const GeneratorError& error);

// Checks the epoch's range.
expected<void, GeneratorError> check_epoch_ms(std::int64_t epoch_ms);

// Checks a configuration: the node id against the family's width
// (NodeIdOutOfRange, "node_id 512 exceeds 9-bit limit"), then the epoch.
expected<GeneratorConfig, std::variant<Error, GeneratorError>> make_generator_config(
    IdFamily family, Precision precision, std::uint32_t node_id, std::int64_t epoch_ms);

// The largest sequence of a family: 8191 or 65535.
constexpr std::uint32_t max_sequence(IdFamily family) noexcept {
    return family == IdFamily::Sorn ? kSornMaxSequence : 0xFFFF;
}

// The number of sequence bits: 13 or 16.
constexpr int sequence_bits(IdFamily family) noexcept {
    return family == IdFamily::Sorn ? static_cast<int>(kSornSequenceBits) : 16;
}

// The last position of a family: the largest timestamp with the largest
// sequence.
constexpr u128 max_position(IdFamily family) noexcept {
    return family == IdFamily::Sorn
               ? (u128{kSornMaxTimestamp} << sequence_bits(family)) | max_sequence(family)
               : (kQuibMaxTimestamp << sequence_bits(family)) | max_sequence(family);
}

// The current timestamp of a clock reading: floor((clock_ns - epoch_ms *
// 10^6) / unit_ns), or ClockBeforeEpoch when it is negative. Not checked
// against the field.
expected<u128, GeneratorError> timestamp_now(const GeneratorConfig& config,
                                             std::int64_t clock_ns);

// A run of identifiers: the position of its first and the state after its
// last.
struct GeneratedRun {
    u128 first;
    GeneratorState state;
};

// The next `count` (at least 1) identifiers for one clock reading, as if
// drawn one by one; all or nothing: on an error no identifier is drawn.
expected<GeneratedRun, GeneratorError> next_run(const GeneratorConfig& config,
                                                const GeneratorState& state,
                                                std::int64_t clock_ns, std::uint64_t count);

// The identifier at a position (one within max_position of its family).
constexpr std::int64_t sorn_value_at(const GeneratorConfig& config, u128 position) noexcept {
    const auto p = static_cast<std::uint64_t>(position);
    return static_cast<std::int64_t>(((p >> kSornSequenceBits) << 22) |
                                     (std::uint64_t{config.node_id} << kSornSequenceBits) |
                                     (p & kSornMaxSequence));
}

constexpr QuibId quib_id_at(const GeneratorConfig& config, u128 position) noexcept {
    return QuibId::from_fields(position >> 16, config.precision, config.node_id,
                               static_cast<std::uint16_t>(position));
}

// The UTC text of the instant `count` units of 10^-digits s (digits 3 to 15)
// after the Unix time `epoch_ms`, with `digits` fractional digits, as
// "2039-09-07T15:47:35.551Z"; none outside the years 1 to 9999.
std::optional<std::string> utc_text(u128 count, int digits, std::int64_t epoch_ms);

}  // namespace sornquibid
