#include "convert.hpp"

#include <algorithm>

#include "panic.hpp"
#include "precision.hpp"

namespace sornquibid {
namespace {

// The SornId of sequence 0 in the group (timestamp_ms, node_id); also the
// group's sort key. Both fields are within their SornId widths.
constexpr std::int64_t group_base(std::uint64_t timestamp_ms, std::uint16_t node_id) noexcept {
    return static_cast<std::int64_t>((timestamp_ms << 22) | (std::uint64_t{node_id} << 13));
}
constexpr std::uint64_t base_timestamp(std::int64_t base) noexcept {
    return static_cast<std::uint64_t>(base) >> 22;
}
constexpr std::uint16_t base_node(std::int64_t base) noexcept {
    return static_cast<std::uint16_t>((static_cast<std::uint64_t>(base) >> 13) & kSornMaxNode);
}

// Calls fn(begin, end) for each maximal run of neighbours that `same` calls
// equal, in order.
template <class It, class Same, class Fn>
void for_each_run(It first, It last, Same same, Fn fn) {
    while (first != last) {
        It end = first + 1;
        while (end != last && same(*first, *end)) ++end;
        fn(first, end);
        first = end;
    }
}

// Among the groups of more than kSornGroupMax (given sorted by base), the
// one whose first member comes first in the input.
struct GroupCount {
    std::int64_t base;
    std::size_t count;
};

ConversionError first_overflowing_group(std::span<const QuibId> ids,
                                        const std::vector<GroupCount>& oversized) {
    for (const QuibId& id : ids) {
        const Squashed s = squash(id);
        const std::int64_t base = group_base(static_cast<std::uint64_t>(s.timestamp_ms), s.node_id);
        auto it = std::lower_bound(oversized.begin(), oversized.end(), base,
                                   [](const GroupCount& g, std::int64_t b) { return g.base < b; });
        if (it != oversized.end() && it->base == base) {
            return {ConversionError::SequenceOverflow{base_timestamp(base), base_node(base),
                                                      it->count, kSornGroupMax}};
        }
    }
    panic("an oversized group has a member in the input");
}

// One identifier of the check, filed under the key of its first fault.
template <class Key>
struct Filed {
    Key key;
    std::size_t index;
};

// Appends one conflict per key of `filed` holding at least `min_count`
// identifiers, in the order the keys first appear in the input; each lists
// its identifiers in input order.
template <class Key, class MakeKind>
void append_conflicts(std::vector<Filed<Key>>& filed, std::span<const QuibId> ids,
                      std::size_t min_count, MakeKind make_kind,
                      std::vector<ConversionConflict>& out) {
    std::sort(filed.begin(), filed.end(), [](const Filed<Key>& a, const Filed<Key>& b) {
        return a.key != b.key ? a.key < b.key : a.index < b.index;
    });
    struct Run {
        std::size_t first_index, begin, end;
    };
    std::vector<Run> runs;
    const auto origin = filed.begin();
    for_each_run(
        filed.begin(), filed.end(),
        [](const Filed<Key>& a, const Filed<Key>& b) { return a.key == b.key; },
        [&](auto b, auto e) {
            if (static_cast<std::size_t>(e - b) >= min_count) {
                runs.push_back({b->index, static_cast<std::size_t>(b - origin),
                                static_cast<std::size_t>(e - origin)});
            }
        });
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.first_index < b.first_index; });
    for (const Run& run : runs) {
        ConversionConflict conflict{make_kind(filed[run.begin].key, run.end - run.begin), {}};
        conflict.quib_ids.reserve(run.end - run.begin);
        for (std::size_t k = run.begin; k < run.end; ++k) {
            conflict.quib_ids.push_back(ids[filed[k].index]);
        }
        out.push_back(std::move(conflict));
    }
}

void append_quib_text(std::string& out, const QuibId& id) {
    char text[kQuibTextLength];
    id.write_text(text);
    out += "QuibId(";
    out.append(text, kQuibTextLength);
    out += ')';
}

std::string kind_text(const ConflictKind& kind) {
    if (auto* k = std::get_if<ConflictKind::NodeIdOverflow>(&kind.kind)) {
        return "NodeIdOverflow { node_id: " + std::to_string(k->node_id) + " }";
    }
    if (auto* k = std::get_if<ConflictKind::TimestampOverflow>(&kind.kind)) {
        return "TimestampOverflow { timestamp_ms: " + to_decimal(k->timestamp_ms) + " }";
    }
    const auto& k = std::get<ConflictKind::SequenceOverflow>(kind.kind);
    return "SequenceOverflow { timestamp_ms: " + std::to_string(k.timestamp_ms) +
           ", node_id: " + std::to_string(k.node_id) + ", count: " + std::to_string(k.count) +
           ", max: " + std::to_string(k.max) + " }";
}

}  // namespace

std::string display(const ConversionError& error) {
    using E = ConversionError;
    if (auto* e = std::get_if<E::TimestampOverflow>(&error.kind)) {
        return "timestamp " + to_decimal(e->timestamp_ms) + " exceeds SornId max (" +
               std::to_string(e->max) + " ms)";
    }
    if (auto* e = std::get_if<E::NodeIdOverflow>(&error.kind)) {
        return "node_id " + std::to_string(e->node_id) + " exceeds SornId max (" +
               std::to_string(e->max) + ")";
    }
    if (auto* e = std::get_if<E::SequenceOverflow>(&error.kind)) {
        return std::to_string(e->count) + " IDs share (timestamp_ms=" +
               std::to_string(e->timestamp_ms) + ", node_id=" + std::to_string(e->node_id) +
               ") after squashing, exceeding sequence max " + std::to_string(e->max);
    }
    return "SornId construction failed: " + display(std::get<E::Construction>(error.kind).error);
}

std::string to_text(const ConversionConflict& conflict) {
    std::string out = "ConversionConflict { kind: " + kind_text(conflict.kind) + ", quib_ids: [";
    // "QuibId(" + 36 + ")" and ", " per identifier.
    out.reserve(out.size() + conflict.quib_ids.size() * (kQuibTextLength + 10) + 3);
    bool first = true;
    for (const QuibId& id : conflict.quib_ids) {
        if (!first) out += ", ";
        first = false;
        append_quib_text(out, id);
    }
    out += "] }";
    return out;
}

QuibId sorn_to_quib(SornId id, Precision precision) {
    const u128 timestamp = u128{id.timestamp_ms()} * units_per_millisecond(precision);
    if (timestamp > kQuibMaxTimestamp) panic("SornId always fits in QuibId");
    return QuibId::from_fields(timestamp, precision, id.node_id(), id.sequence());
}

std::vector<SornQuibPair> batch_to_quibids(std::span<const SornId> ids) {
    const Precision precision = generation_precision();
    std::vector<SornQuibPair> out;
    out.reserve(ids.size());
    for (const SornId id : ids) out.push_back({id, sorn_to_quib(id, precision)});
    return out;
}

std::expected<std::vector<QuibSornPair>, ConversionError> batch_to_sornids(
    std::span<const QuibId> ids) {
    using E = ConversionError;
    // Squash in input order; until numbering, each pair's SornId holds the
    // base of its group.
    std::vector<QuibSornPair> out;
    out.reserve(ids.size());
    for (const QuibId& id : ids) {
        const Squashed s = squash(id);
        if (s.node_id > kSornMaxNode) {
            return std::unexpected(E{E::NodeIdOverflow{s.node_id, kSornMaxNode}});
        }
        if (s.timestamp_ms > kSornMaxTimestamp) {
            return std::unexpected(E{E::TimestampOverflow{s.timestamp_ms, kSornMaxTimestamp}});
        }
        out.push_back(
            {id, SornId{group_base(static_cast<std::uint64_t>(s.timestamp_ms), s.node_id)}});
    }

    // Bring each group together, its members in ascending QuibId order, and
    // number them. Equal (base, QuibId) pairs are interchangeable, so an
    // unstable sort suffices.
    std::sort(out.begin(), out.end(), [](const QuibSornPair& a, const QuibSornPair& b) {
        return a.sorn.value != b.sorn.value ? a.sorn.value < b.sorn.value : a.quib < b.quib;
    });
    std::vector<GroupCount> oversized;
    std::expected<void, Error> construction;
    for_each_run(
        out.begin(), out.end(),
        [](const QuibSornPair& a, const QuibSornPair& b) { return a.sorn.value == b.sorn.value; },
        [&](auto b, auto e) {
            const auto count = static_cast<std::size_t>(e - b);
            const std::int64_t base = b->sorn.value;
            if (count > kSornGroupMax) {
                oversized.push_back({base, count});
                return;
            }
            if (!oversized.empty() || !construction) return;
            const std::uint64_t timestamp_ms = base_timestamp(base);
            const std::uint16_t node_id = base_node(base);
            for (std::size_t k = 0; k < count; ++k) {
                auto v = pack_sorn_fields(timestamp_ms, node_id, static_cast<std::uint16_t>(k));
                if (!v) {
                    construction = std::unexpected(v.error());
                    return;
                }
                b[static_cast<std::ptrdiff_t>(k)].sorn.value = *v;
            }
        });
    if (!oversized.empty()) return std::unexpected(first_overflowing_group(ids, oversized));
    if (!construction) return std::unexpected(E{E::Construction{construction.error()}});

    // Pairs with equal QuibIds share a group and differ in sequence.
    std::sort(out.begin(), out.end(), [](const QuibSornPair& a, const QuibSornPair& b) {
        const auto order = a.quib <=> b.quib;
        return order != 0 ? order < 0 : a.sorn.value < b.sorn.value;
    });
    return out;
}

std::vector<ConversionConflict> check_sornid_convertibility(std::span<const QuibId> ids) {
    std::vector<Filed<std::uint16_t>> nodes;
    std::vector<Filed<u128>> timestamps;
    std::vector<Filed<std::int64_t>> groups;
    groups.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Squashed s = squash(ids[i]);
        if (s.node_id > kSornMaxNode) {
            nodes.push_back({s.node_id, i});
        } else if (s.timestamp_ms > kSornMaxTimestamp) {
            timestamps.push_back({s.timestamp_ms, i});
        } else {
            groups.push_back({group_base(static_cast<std::uint64_t>(s.timestamp_ms), s.node_id), i});
        }
    }
    std::vector<ConversionConflict> out;
    append_conflicts(nodes, ids, 1, [](std::uint16_t node_id, std::size_t) {
        return ConflictKind{ConflictKind::NodeIdOverflow{node_id}};
    }, out);
    append_conflicts(timestamps, ids, 1, [](u128 timestamp_ms, std::size_t) {
        return ConflictKind{ConflictKind::TimestampOverflow{timestamp_ms}};
    }, out);
    append_conflicts(groups, ids, kSornGroupMax + 1, [](std::int64_t base, std::size_t count) {
        return ConflictKind{ConflictKind::SequenceOverflow{base_timestamp(base), base_node(base),
                                                           count, kSornGroupMax}};
    }, out);
    return out;
}

}  // namespace sornquibid
