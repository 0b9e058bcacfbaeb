// Batch conversion between the two identifier families.
//
// SornId -> QuibId never fails: each SornId maps to the QuibId of the same
// millisecond, node and sequence at the generation precision.
//
// QuibId -> SornId squashes every QuibId to whole milliseconds (its own
// precision decides the divisor) and renumbers the identifiers of each
// (millisecond, node id) group 0, 1, 2, ... in ascending QuibId order. It
// fails on a node id or millisecond value outside the SornId fields, or on a
// group of more than 8192. The convertibility check reports every such
// problem instead of the first.
//
// Every report is deterministic: groups and conflicts are visited in the
// order in which their key first appears in the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include "compat.hpp"
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "error.hpp"
#include "panic.hpp"
#include "precision.hpp"
#include "quib.hpp"
#include "sorn.hpp"
#include "u128.hpp"

namespace sornquibid {

// Identifiers that may share one (millisecond, node id) group: the 13-bit
// SornId sequence numbers them 0..8191.
inline constexpr std::size_t kSornGroupMax = std::size_t{kSornMaxSequence} + 1;

struct SornQuibPair {
    SornId sorn;
    QuibId quib;
};

struct QuibSornPair {
    QuibId quib;
    SornId sorn;
};

// The failure of batch_to_sornids.
struct ConversionError {
    struct TimestampOverflow {
        u128 timestamp_ms;  // the squashed value, all 128 bits
        std::uint64_t max;
    };
    struct NodeIdOverflow {
        std::uint16_t node_id;
        std::uint16_t max;
    };
    struct SequenceOverflow {
        std::uint64_t timestamp_ms;
        std::uint16_t node_id;
        std::size_t count;
        std::size_t max;
    };
    // A field check failed while a SornId was assembled; the checks before
    // it rule this out.
    struct Construction {
        Error error;
    };

    std::variant<TimestampOverflow, NodeIdOverflow, SequenceOverflow, Construction> kind;
};

// The user-facing message.
std::string display(const ConversionError& error);

// What one conflict of the convertibility check is about.
struct ConflictKind {
    struct NodeIdOverflow {
        std::uint16_t node_id;
    };
    struct TimestampOverflow {
        u128 timestamp_ms;  // the squashed value, all 128 bits
    };
    struct SequenceOverflow {
        std::uint64_t timestamp_ms;
        std::uint16_t node_id;
        std::size_t count;
        std::size_t max;
    };

    std::variant<NodeIdOverflow, TimestampOverflow, SequenceOverflow> kind;
};

// One problem of the check, with every input identifier that has it, in
// input order, duplicates kept.
struct ConversionConflict {
    ConflictKind kind;
    std::vector<QuibId> quib_ids;
};

// The single-line text form, e.g.
// "ConversionConflict { kind: NodeIdOverflow { node_id: 600 }, quib_ids: [QuibId(...)] }".
std::string to_text(const ConversionConflict& conflict);

// A QuibId cut down to whole milliseconds of its own precision, with its
// node id.
struct Squashed {
    u128 timestamp_ms;
    std::uint16_t node_id;
};

constexpr Squashed squash(const QuibId& id) noexcept {
    const u128 v = id.value();
    return {quib_timestamp(v) / units_per_millisecond(quib_precision(v)), quib_node_id(v)};
}

// The QuibId image of one SornId at precision `precision`. Panics if the
// scaled timestamp does not fit 89 bits, which no SornId reaches.
inline QuibId sorn_to_quib(SornId id, Precision precision) {
    const u128 timestamp = u128{id.timestamp_ms()} * units_per_millisecond(precision);
    if (timestamp > kQuibMaxTimestamp) panic("SornId always fits in QuibId");
    return QuibId::from_fields(timestamp, precision, id.node_id(), id.sequence());
}

// Calls emit(input, image) for each SornId in input order, at the
// generation precision, which is read (and may panic) before the input is
// looked at, even when it is empty. Stops, returning false, as soon as emit
// returns false. This is batch_to_quibids for callers that build their own
// output.
template <class Emit>
bool for_each_quibid(std::span<const SornId> ids, Emit&& emit) {
    const Precision precision = generation_precision();
    for (const SornId id : ids) {
        if (!emit(id, sorn_to_quib(id, precision))) return false;
    }
    return true;
}

// Pairs (input, image) in input order, at the generation precision (see
// for_each_quibid).
std::vector<SornQuibPair> batch_to_quibids(std::span<const SornId> ids);

// One pair per input identifier, sorted by QuibId; pairs with equal QuibIds
// follow in ascending SornId order. The first problem met decides the
// error: per identifier in input order the node id, then the timestamp;
// after the whole input, the first-appearing group of more than 8192.
expected<std::vector<QuibSornPair>, ConversionError> batch_to_sornids(
    std::span<const QuibId> ids);

// Every problem batch_to_sornids could meet: all node-id conflicts, then all
// timestamp conflicts, then all oversized groups, each kind in the order its
// key first appears. Each identifier is counted under its first fault only.
// Empty exactly when batch_to_sornids succeeds.
std::vector<ConversionConflict> check_sornid_convertibility(std::span<const QuibId> ids);

}  // namespace sornquibid
