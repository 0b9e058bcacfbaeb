#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <type_traits>

#include "panic.hpp"
#include "precision.hpp"

namespace sornquibid {

using namespace convert_detail;

ConversionError convert_detail::squash_fault(const Squashed& s) {
    using E = ConversionError;
    if (s.node_id > kSornMaxNode) return E{E::NodeIdOverflow{s.node_id, kSornMaxNode}};
    return E{E::TimestampOverflow{s.timestamp_ms, kSornMaxTimestamp}};
}

namespace {

// The batch methods' input: positions are indices.
struct SpanSource {
    std::span<const QuibId> ids;

    template <class F>
    void each(F&& f) const {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (!f(i, ids[i])) return;
        }
    }
    const QuibId& at(std::size_t i) const noexcept { return ids[i]; }
};

// Pairs by group base (held in the SornId slot), then QuibId.
struct GroupThenQuib {
    static constexpr unsigned kWords = 3;
    static std::uint64_t word(const QuibSornPair& p, unsigned w) noexcept {
        if (w == 0) return static_cast<std::uint64_t>(p.sorn.value);
        return load_be64(p.quib.bytes + 8 * (w - 1));
    }
    static unsigned byte(const QuibSornPair& p, unsigned d) noexcept {
        return d < 8 ? byte_of(p.sorn.value, d) : unsigned{p.quib.bytes[d - 8]};
    }
};

// Pairs by QuibId, then SornId.
struct QuibThenSorn {
    static constexpr unsigned kWords = 3;
    static std::uint64_t word(const QuibSornPair& p, unsigned w) noexcept {
        if (w == 2) return static_cast<std::uint64_t>(p.sorn.value);
        return load_be64(p.quib.bytes + 8 * w);
    }
    static unsigned byte(const QuibSornPair& p, unsigned d) noexcept {
        return d < 16 ? unsigned{p.quib.bytes[d]} : byte_of(p.sorn.value, d - 16);
    }
};

void sort_by_group(std::vector<QuibSornPair>& pairs) {
    sort_by_key<GroupThenQuib>(pairs.data(), pairs.data() + pairs.size());
}
void sort_by_quib(std::vector<QuibSornPair>& pairs) {
    sort_by_key<QuibThenSorn>(pairs.data(), pairs.data() + pairs.size());
}

// Streaks beyond which number_in_quib_order gives up: identifiers of one
// precision form one streak, so mixing all four usually gives four.
inline constexpr std::size_t kMaxStreaks = 16;

// Numbers pairs sorted by QuibId, each holding its group base, without
// moving them. The sorted pairs fall into streaks in which the millisecond
// never decreases (one per precision, as a rule); within a streak each
// millisecond occupies one run. Visiting the milliseconds in ascending
// order, and for each its runs in streak order, meets every group's members
// in QuibId order, so counting per node id gives each pair its rank.
// False, with the pairs partly numbered, when there are more than
// kMaxStreaks streaks or a group outgrows the sequence field.
bool number_in_quib_order(std::vector<QuibSornPair>& pairs) {
    auto millis = [&](std::size_t i) { return base_timestamp(pairs[i].sorn.value); };
    struct Streak {
        std::size_t next, end;
    };
    Streak streaks[kMaxStreaks];
    std::size_t streak_count = 0, start = 0;
    for (std::size_t i = 1; i <= pairs.size(); ++i) {
        if (i == pairs.size() || millis(i) < millis(i - 1)) {
            if (streak_count == kMaxStreaks) return false;
            streaks[streak_count++] = {start, i};
            start = i;
        }
    }
    struct NodeCount {
        std::uint64_t timestamp_ms = 0;
        std::size_t count = 0;
        bool used = false;
    };
    NodeCount counts[std::size_t{kSornMaxNode} + 1];
    for (;;) {
        bool any = false;
        std::uint64_t timestamp_ms = 0;
        for (std::size_t k = 0; k < streak_count; ++k) {
            const Streak& st = streaks[k];
            if (st.next < st.end && (!any || millis(st.next) < timestamp_ms)) {
                timestamp_ms = millis(st.next);
                any = true;
            }
        }
        if (!any) return true;
        for (std::size_t k = 0; k < streak_count; ++k) {
            Streak& st = streaks[k];
            for (; st.next < st.end && millis(st.next) == timestamp_ms; ++st.next) {
                QuibSornPair& p = pairs[st.next];
                const std::uint16_t node_id = base_node(p.sorn.value);
                NodeCount& c = counts[node_id];
                if (!c.used || c.timestamp_ms != timestamp_ms) c = {timestamp_ms, 0, true};
                if (c.count == kSornGroupMax) return false;
                auto v = pack_sorn_fields(timestamp_ms, node_id,
                                          static_cast<std::uint16_t>(c.count++));
                if (!v) return false;
                p.sorn.value = *v;
            }
        }
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

std::vector<SornQuibPair> batch_to_quibids(std::span<const SornId> ids) {
    std::vector<SornQuibPair> out;
    for_each_quibid(ids, [&](SornId id, const QuibId& image) {
        if (out.capacity() == 0) out.reserve(ids.size());
        out.push_back({id, image});
        return true;
    });
    return out;
}

expected<std::vector<QuibSornPair>, ConversionError> batch_to_sornids(
    std::span<const QuibId> ids) {
    // Squash in input order; until numbering, each pair's SornId holds the
    // base of its group.
    std::vector<QuibSornPair> out;
    out.reserve(ids.size());
    for (const QuibId& id : ids) {
        const Squashed s = squash(id);
        if (!fits_sorn(s)) return unexpected(squash_fault(s));
        out.push_back({id, SornId{group_base(s)}});
    }

    // Sort into the output order (equal QuibIds have equal bases, so the
    // order among them does not matter yet) and number each group in that
    // order. When that cannot be done without moving the pairs, bring each
    // group together instead, number it, and sort by QuibId again.
    sort_by_quib(out);
    if (number_in_quib_order(out)) return out;
    for (QuibSornPair& p : out) p.sorn.value &= ~std::int64_t{kSornMaxSequence};
    sort_by_group(out);
    std::vector<GroupCount> oversized;
    auto numbered = number_groups(out.data(), out.data() + out.size(), oversized);
    if (!oversized.empty()) return unexpected(first_overflowing_group(SpanSource{ids}, oversized).error);
    if (!numbered) {
        using E = ConversionError;
        return unexpected(E{E::Construction{std::move(numbered.error())}});
    }
    sort_by_quib(out);
    return out;
}

std::vector<ConversionConflict> check_sornid_convertibility(std::span<const QuibId> ids) {
    std::vector<ConversionConflict> out;
    find_conflicts(SpanSource{ids}, ids.size(),
                   [&](ConflictKind&& kind, const auto* begin, const auto* end) {
                       ConversionConflict conflict{kind, {}};
                       conflict.quib_ids.reserve(static_cast<std::size_t>(end - begin));
                       for (const auto* f = begin; f != end; ++f) {
                           conflict.quib_ids.push_back(ids[f->position]);
                       }
                       out.push_back(std::move(conflict));
                   });
    return out;
}

}  // namespace sornquibid
