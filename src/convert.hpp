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

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include "compat.hpp"
#include <span>
#include <string>
#include <type_traits>
#include <utility>
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

namespace convert_detail {

// x / 5^k for a 5^k below 2^32, in three 64-bit divisions by a constant
// (which the compiler turns into multiplications): the 128-bit division of
// the compiler is a library call several times slower.
template <std::uint64_t kFive>
constexpr u128 divide_by_five_power(u128 x) noexcept {
    static_assert(kFive < (std::uint64_t{1} << 32));
    const std::uint64_t high = x.high64(), low = x.low64();
    const std::uint64_t n1 = ((high % kFive) << 32) | (low >> 32);
    const std::uint64_t n0 = ((n1 % kFive) << 32) | (low & 0xFFFFFFFF);
    return (u128{high / kFive} << 64) | (u128{n1 / kFive} << 32) | u128{n0 / kFive};
}

}  // namespace convert_detail

// A timestamp of precision `p` in whole milliseconds, truncated: t / 10^k is
// (t / 2^k) / 5^k.
constexpr u128 timestamp_to_millis(u128 timestamp, Precision p) noexcept {
    using convert_detail::divide_by_five_power;
    switch (p) {
        case Precision::Microseconds: return divide_by_five_power<125>(timestamp >> 3);
        case Precision::Nanoseconds: return divide_by_five_power<15625>(timestamp >> 6);
        case Precision::Picoseconds: return divide_by_five_power<1953125>(timestamp >> 9);
        case Precision::Femtoseconds: break;
    }
    return divide_by_five_power<244140625>(timestamp >> 12);
}

constexpr Squashed squash(const QuibId& id) noexcept {
    const u128 v = id.value();
    return {timestamp_to_millis(quib_timestamp(v), quib_precision(v)), quib_node_id(v)};
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

// ---------------------------------------------------------------------------
// The grouping, numbering and conflict filing behind batch_to_sornids and
// check_sornid_convertibility, as templates over the element type, so that
// the column kernels (columns.hpp), whose elements also carry their row,
// number and file exactly as the batch methods do.
//
// A Source is the input in order: `each(f)` calls f(position, const QuibId&)
// for each identifier until f returns false, and `at(position)` gives one
// back.

namespace convert_detail {

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

// Whether a squashed identifier fits the SornId fields.
constexpr bool fits_sorn(const Squashed& s) noexcept {
    return s.node_id <= kSornMaxNode && s.timestamp_ms <= kSornMaxTimestamp;
}
// The group base of a squashed identifier that fits.
constexpr std::int64_t group_base(const Squashed& s) noexcept {
    return group_base(static_cast<std::uint64_t>(s.timestamp_ms), s.node_id);
}
// What batch_to_sornids reports for a squashed identifier that does not fit:
// the node id first, then the timestamp.
ConversionError squash_fault(const Squashed& s);

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

// Byte d (0 the most significant) of a 64-bit word.
constexpr unsigned byte_of(std::uint64_t word, unsigned d) noexcept {
    return static_cast<unsigned>(word >> (56 - 8 * d)) & 0xFF;
}
constexpr unsigned byte_of(std::int64_t word, unsigned d) noexcept {
    return byte_of(static_cast<std::uint64_t>(word), d);
}

// Sorts [first, last) by the key that `Key` reads from each element: Key::
// kWords 64-bit words, most significant first (Key::word(x, w)), whose
// bytes Key::byte(x, d) gives directly. The sort starts at the first byte
// in which not all keys agree.
template <class Key, class T>
void sort_by_key(T* first, T* last) {
    constexpr unsigned kWords = Key::kWords;
    unsigned start = 8 * kWords;
    if (first != last) {
        std::uint64_t varying[kWords] = {};
        for (const T* p = first; p != last; ++p) {
            for (unsigned w = 0; w < kWords; ++w) varying[w] |= Key::word(*p, w) ^ Key::word(*first, w);
        }
        for (unsigned w = 0; w < kWords; ++w) {
            if (varying[w] != 0) {
                start = 8 * w + static_cast<unsigned>(std::countl_zero(varying[w])) / 8;
                break;
            }
        }
    }
    radix_sort(
        first, last, start, 8 * kWords, [](const T& x, unsigned d) { return Key::byte(x, d); },
        [](const T& a, const T& b) {
            for (unsigned w = 0; w < kWords; ++w) {
                const std::uint64_t wa = Key::word(a, w), wb = Key::word(b, w);
                if (wa != wb) return wa < wb;
            }
            return false;
        });
}

// A group with more members than the sequence field numbers.
struct GroupCount {
    std::int64_t base;
    std::size_t count;
};

// Numbers elements sorted by group base (held in their `sorn` until then):
// the k-th element of a group gets the SornId of sequence k. Groups of more
// than kSornGroupMax are left as they are and listed in `oversized`, by
// base. Fails when assembling a SornId fails, which the squashing checks
// rule out.
template <class T>
expected<void, Error> number_groups(T* first, T* last, std::vector<GroupCount>& oversized) {
    expected<void, Error> construction;
    for_each_run(
        first, last, [](const T& a, const T& b) { return a.sorn.value == b.sorn.value; },
        [&](T* b, T* e) {
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
                b[k].sorn.value = *v;
            }
        });
    return construction;
}

// The error of the oversized group (of `oversized`, sorted by base) whose
// first member comes first in the source, and that member's position.
struct GroupFault {
    ConversionError error;
    std::size_t position;
};

template <class Source>
GroupFault first_overflowing_group(const Source& source, const std::vector<GroupCount>& oversized) {
    const GroupCount* found = nullptr;
    std::size_t position = 0;
    source.each([&](std::size_t at, const QuibId& id) {
        const Squashed s = squash(id);
        if (!fits_sorn(s)) return true;
        const std::int64_t base = group_base(s);
        auto it = std::ranges::lower_bound(oversized, base, std::less<>{}, &GroupCount::base);
        if (it == oversized.end() || it->base != base) return true;
        found = &*it;
        position = at;
        return false;
    });
    if (found == nullptr) panic("an oversized group has a member in the input");
    return {ConversionError{ConversionError::SequenceOverflow{
                base_timestamp(found->base), base_node(found->base), found->count, kSornGroupMax}},
            position};
}

// One identifier of the check, filed under the key of its first fault.
template <class Key>
struct Filed {
    Key key;
    std::size_t position;
};

// Calls sink(kind, begin, end) once per key of `filed` holding at least
// `min_count` identifiers, in the order the keys first appear in the input,
// with the identifiers of that key in input order.
template <class Key, class MakeKind, class Sink>
void file_conflicts(std::vector<Filed<Key>>& filed, std::size_t min_count, MakeKind make_kind,
                    Sink& sink) {
    auto less = [](const Filed<Key>& a, const Filed<Key>& b) {
        return a.key != b.key ? a.key < b.key : a.position < b.position;
    };
    if constexpr (std::is_same_v<Key, std::int64_t>) {
        // Group bases: the bulk of the input.
        radix_sort(
            filed.data(), filed.data() + filed.size(), 0, 16,
            [](const Filed<Key>& f, unsigned d) {
                return d < 8 ? byte_of(f.key, d) : byte_of(std::uint64_t{f.position}, d - 8);
            },
            less);
    } else {
        std::sort(filed.begin(), filed.end(), less);
    }
    struct Run {
        std::size_t first_position, begin, end;
    };
    std::vector<Run> runs;
    const auto origin = filed.begin();
    for_each_run(
        filed.begin(), filed.end(),
        [](const Filed<Key>& a, const Filed<Key>& b) { return a.key == b.key; },
        [&](auto b, auto e) {
            if (static_cast<std::size_t>(e - b) >= min_count) {
                runs.push_back({b->position, static_cast<std::size_t>(b - origin),
                                static_cast<std::size_t>(e - origin)});
            }
        });
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.first_position < b.first_position; });
    for (const Run& run : runs) {
        const Filed<Key>* members = filed.data() + run.begin;
        sink(make_kind(members->key, run.end - run.begin), members,
             filed.data() + run.end);
    }
}

// The convertibility check over a source of about `size` identifiers:
// sink(kind, begin, end) receives each conflict, with the Filed entries
// (positions in input order) of its identifiers. All node-id conflicts come
// first, then the timestamp conflicts, then the oversized groups, each kind
// in the order its key first appears; each identifier counts under its
// first fault only.
template <class Source, class Sink>
void find_conflicts(const Source& source, std::size_t size, Sink&& sink) {
    std::vector<Filed<std::uint16_t>> nodes;
    std::vector<Filed<u128>> timestamps;
    std::vector<Filed<std::int64_t>> groups;
    groups.reserve(size);
    source.each([&](std::size_t at, const QuibId& id) {
        const Squashed s = squash(id);
        if (s.node_id > kSornMaxNode) {
            nodes.push_back({s.node_id, at});
        } else if (s.timestamp_ms > kSornMaxTimestamp) {
            timestamps.push_back({s.timestamp_ms, at});
        } else {
            groups.push_back({group_base(s), at});
        }
        return true;
    });
    file_conflicts(nodes, 1, [](std::uint16_t node_id, std::size_t) {
        return ConflictKind{ConflictKind::NodeIdOverflow{node_id}};
    }, sink);
    file_conflicts(timestamps, 1, [](u128 timestamp_ms, std::size_t) {
        return ConflictKind{ConflictKind::TimestampOverflow{timestamp_ms}};
    }, sink);
    file_conflicts(groups, kSornGroupMax + 1, [](std::int64_t base, std::size_t count) {
        return ConflictKind{ConflictKind::SequenceOverflow{base_timestamp(base), base_node(base),
                                                           count, kSornGroupMax}};
    }, sink);
}

}  // namespace convert_detail
}  // namespace sornquibid
