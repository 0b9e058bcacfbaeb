#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <type_traits>

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

// Sorts [first, last) in place by a key of `key_bytes` bytes, most
// significant first, where digit(x, d) is byte d of the key of x (an MSD
// radix sort with in-place bucket permutation). `less` must order by the
// same key; it finishes small buckets. Elements with equal keys must be
// interchangeable, because their final order is unspecified. Digits that
// all elements of a bucket share cost one counting pass and no moves.
inline constexpr std::size_t kSmallBucket = 32;

template <class T, class Digit, class Less>
void radix_sort(T* first, T* last, unsigned d, unsigned key_bytes, Digit digit, Less less) {
    // Buckets still to sort, with the digit they split on. Each pass
    // continues with its largest bucket and leaves the others here, so
    // there are never more than 255 per key byte.
    struct Range {
        T* first;
        T* last;
        unsigned d;
    };
    std::vector<Range> pending;
    for (;;) {
        const auto n = static_cast<std::size_t>(last - first);
        if (n <= kSmallBucket || d == key_bytes) {
            // Insertion sort; nothing to do when all keys are equal.
            for (T* i = first + (n > 0 && d < key_bytes ? 1 : n); i < last; ++i) {
                T x = *i;
                T* j = i;
                for (; j != first && less(x, j[-1]); --j) *j = j[-1];
                *j = x;
            }
            if (pending.empty()) return;
            first = pending.back().first;
            last = pending.back().last;
            d = pending.back().d;
            pending.pop_back();
            continue;
        }
        // next[b] starts as the histogram, then becomes the write position
        // of bucket b, which ends at end[b].
        std::size_t next[256] = {}, end[256];
        for (T* p = first; p != last; ++p) ++next[digit(*p, d)];
        if (next[digit(*first, d)] == n) {
            ++d;
            continue;
        }
        std::size_t at = 0, largest = 0;
        for (unsigned b = 0; b < 256; ++b) {
            const std::size_t count = next[b];
            if (count > next[largest]) largest = b;
            next[b] = at;
            at += count;
            end[b] = at;
        }
        for (unsigned b = 0; b < 256; ++b) {
            // Carry each misplaced element to its bucket, taking that slot's
            // element along, until one belongs here.
            while (next[b] < end[b]) {
                T x = first[next[b]];
                for (unsigned db = digit(x, d); db != b; db = digit(x, d)) {
                    std::swap(x, first[next[db]++]);
                }
                first[next[b]++] = x;
            }
        }
        auto begin_of = [&](std::size_t b) { return b == 0 ? std::size_t{0} : end[b - 1]; };
        for (unsigned b = 0; b < 256; ++b) {
            if (b != largest && end[b] - begin_of(b) > 1) {
                pending.push_back({first + begin_of(b), first + end[b], d + 1});
            }
        }
        last = first + end[largest];
        first = first + begin_of(largest);
        ++d;
    }
}

constexpr unsigned byte_of(std::int64_t value, unsigned d) noexcept {
    return static_cast<unsigned>(static_cast<std::uint64_t>(value) >> (56 - 8 * d)) & 0xFF;
}

// The first key byte in which not all pairs agree, for a key made of the
// three 64-bit words `a`, `b`, `c` (most significant first); 24 when all
// keys are equal. Sorting may start there.
unsigned first_varying_byte(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
    if (a != 0) return static_cast<unsigned>(std::countl_zero(a)) / 8;
    if (b != 0) return 8 + static_cast<unsigned>(std::countl_zero(b)) / 8;
    if (c != 0) return 16 + static_cast<unsigned>(std::countl_zero(c)) / 8;
    return 24;
}

// Which bits vary among the pairs: the OR of each word XOR the first pair's.
struct VaryingBits {
    std::uint64_t quib_high = 0, quib_low = 0, sorn = 0;
};

VaryingBits varying_bits(const std::vector<QuibSornPair>& pairs) noexcept {
    VaryingBits v;
    if (pairs.empty()) return v;
    const std::uint64_t h0 = load_be64(pairs[0].quib.bytes);
    const std::uint64_t l0 = load_be64(pairs[0].quib.bytes + 8);
    const auto s0 = static_cast<std::uint64_t>(pairs[0].sorn.value);
    for (const QuibSornPair& p : pairs) {
        v.quib_high |= load_be64(p.quib.bytes) ^ h0;
        v.quib_low |= load_be64(p.quib.bytes + 8) ^ l0;
        v.sorn |= static_cast<std::uint64_t>(p.sorn.value) ^ s0;
    }
    return v;
}

// Pairs by group base (held in the SornId slot), then QuibId.
void sort_by_group(std::vector<QuibSornPair>& pairs, const VaryingBits& v) {
    radix_sort(
        pairs.data(), pairs.data() + pairs.size(),
        first_varying_byte(v.sorn, v.quib_high, v.quib_low), 24,
        [](const QuibSornPair& p, unsigned d) {
            return d < 8 ? byte_of(p.sorn.value, d) : unsigned{p.quib.bytes[d - 8]};
        },
        [](const QuibSornPair& a, const QuibSornPair& b) {
            return a.sorn.value != b.sorn.value ? a.sorn.value < b.sorn.value : a.quib < b.quib;
        });
}

// Pairs by QuibId, then SornId. The QuibIds vary as in `v`; the SornIds
// may have changed since.
void sort_by_quib(std::vector<QuibSornPair>& pairs, const VaryingBits& v) {
    radix_sort(
        pairs.data(), pairs.data() + pairs.size(),
        std::min(first_varying_byte(v.quib_high, v.quib_low, 0), 16u), 24,
        [](const QuibSornPair& p, unsigned d) {
            return d < 16 ? unsigned{p.quib.bytes[d]} : byte_of(p.sorn.value, d - 16);
        },
        [](const QuibSornPair& a, const QuibSornPair& b) {
            const auto order = a.quib <=> b.quib;
            return order != 0 ? order < 0 : a.sorn.value < b.sorn.value;
        });
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
        auto it = std::ranges::lower_bound(oversized, base, std::less<>{}, &GroupCount::base);
        if (it != oversized.end() && it->base == base) {
            return {ConversionError::SequenceOverflow{base_timestamp(base), base_node(base),
                                                      it->count, kSornGroupMax}};
        }
    }
    panic("an oversized group has a member in the input");
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

// Numbers pairs sorted by group base, then QuibId: the k-th pair of a group
// gets sequence k. Fails on the first-appearing group of more than
// kSornGroupMax, or when assembling a SornId fails.
expected<void, ConversionError> number_by_group(std::span<const QuibId> ids,
                                                     std::vector<QuibSornPair>& pairs) {
    std::vector<GroupCount> oversized;
    expected<void, Error> construction;
    for_each_run(
        pairs.begin(), pairs.end(),
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
                    construction = unexpected(v.error());
                    return;
                }
                b[static_cast<std::ptrdiff_t>(k)].sorn.value = *v;
            }
        });
    if (!oversized.empty()) return unexpected(first_overflowing_group(ids, oversized));
    if (!construction) {
        using E = ConversionError;
        return unexpected(E{E::Construction{construction.error()}});
    }
    return {};
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
    auto less = [](const Filed<Key>& a, const Filed<Key>& b) {
        return a.key != b.key ? a.key < b.key : a.index < b.index;
    };
    if constexpr (std::is_same_v<Key, std::int64_t>) {
        // Group bases: the bulk of the input.
        radix_sort(
            filed.data(), filed.data() + filed.size(), 0, 16,
            [](const Filed<Key>& f, unsigned d) {
                return d < 8 ? byte_of(f.key, d)
                             : byte_of(static_cast<std::int64_t>(f.index), d - 8);
            },
            less);
    } else {
        std::sort(filed.begin(), filed.end(), less);
    }
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
    using E = ConversionError;
    // Squash in input order; until numbering, each pair's SornId holds the
    // base of its group.
    std::vector<QuibSornPair> out;
    out.reserve(ids.size());
    for (const QuibId& id : ids) {
        const Squashed s = squash(id);
        if (s.node_id > kSornMaxNode) {
            return unexpected(E{E::NodeIdOverflow{s.node_id, kSornMaxNode}});
        }
        if (s.timestamp_ms > kSornMaxTimestamp) {
            return unexpected(E{E::TimestampOverflow{s.timestamp_ms, kSornMaxTimestamp}});
        }
        out.push_back(
            {id, SornId{group_base(static_cast<std::uint64_t>(s.timestamp_ms), s.node_id)}});
    }

    // Sort into the output order (equal QuibIds have equal bases, so the
    // order among them does not matter yet) and number each group in that
    // order. When that cannot be done without moving the pairs, bring each
    // group together instead, number it, and sort by QuibId again.
    sort_by_quib(out, varying_bits(out));
    if (number_in_quib_order(out)) return out;
    for (QuibSornPair& p : out) p.sorn.value &= ~std::int64_t{kSornMaxSequence};
    const VaryingBits varying = varying_bits(out);
    sort_by_group(out, varying);
    if (auto numbered = number_by_group(ids, out); !numbered) {
        return unexpected(numbered.error());
    }
    sort_by_quib(out, varying);
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
            const auto timestamp_ms = static_cast<std::uint64_t>(s.timestamp_ms);
            groups.push_back({group_base(timestamp_ms, s.node_id), i});
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
