#include "columns.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <type_traits>

#include "panic.hpp"
#include "quib.hpp"
#include "quib_desc.hpp"
#include "sorn.hpp"
#include "sorn_desc.hpp"
#include "u128.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace sornquibid::columns {

using namespace convert_detail;

namespace {

// ---------------------------------------------------------------------------
// Planning an output block

// Offsets of the buffers of a Block being planned, each aligned to 64 bytes.
class Plan {
public:
    // Reserves `bytes` bytes; returns their offset in the block.
    std::size_t add(std::size_t bytes) {
        const std::size_t at = size_;
        const std::size_t padded = bytes + (kAlign - 1);
        if (padded < bytes || size_ + padded < size_) throw std::bad_alloc();
        size_ += padded & ~(kAlign - 1);
        return at;
    }
    Block allocate() const { return Block(size_); }

private:
    static constexpr std::size_t kAlign = 64;
    std::size_t size_ = 0;
};

// n * k bytes, refusing a product that does not fit (a column's stated
// length comes from outside).
std::size_t times(std::size_t n, std::size_t k) {
    if (k != 0 && n > std::numeric_limits<std::size_t>::max() / k) throw std::bad_alloc();
    return n * k;
}

std::size_t bitmap_bytes(std::size_t n) { return n / 8 + (n % 8 != 0 ? 1 : 0); }

// ---------------------------------------------------------------------------
// Validity bitmaps

void clear_bit(std::uint8_t* bits, std::size_t i) noexcept {
    bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] & ~(1u << (i & 7)));
}

// Writes the validity of `n` rows to `out` from bit 0: the bits of `in`, or
// all ones. Bits past the last row are zero.
void copy_validity(const Validity& in, std::size_t n, std::uint8_t* out) noexcept {
    const std::size_t bytes = bitmap_bytes(n);
    if (in.bits == nullptr) {
        std::memset(out, 0xFF, bytes);
    } else if (in.offset % 8 == 0) {
        std::memcpy(out, in.bits + in.offset / 8, bytes);
    } else {
        // Output byte j takes input bits offset + 8j onwards, which begin
        // inside input byte b at bit s and may end in byte b + 1.
        const unsigned s = in.offset % 8;
        for (std::size_t j = 0; j < bytes; ++j) {
            const std::size_t b = in.offset / 8 + j;
            unsigned v = in.bits[b] >> s;
            if (8 * j + (8 - s) < n) v |= static_cast<unsigned>(in.bits[b + 1]) << (8 - s);
            out[j] = static_cast<std::uint8_t>(v);
        }
    }
    if (n % 8 != 0) out[bytes - 1] = static_cast<std::uint8_t>(out[bytes - 1] & ((1u << (n % 8)) - 1));
}

std::size_t count_zeros(const std::uint8_t* bits, std::size_t n) noexcept {
    std::size_t ones = 0;
    for (std::size_t j = 0; j < n / 8; ++j) ones += static_cast<std::size_t>(std::popcount(bits[j]));
    for (std::size_t i = n / 8 * 8; i < n; ++i) ones += (bits[i >> 3] >> (i & 7)) & 1;
    return n - ones;
}

// Whether a kernel's output needs a validity bitmap of its own.
bool may_have_nulls(const Validity& in, const Options& options) {
    return in.bits != nullptr || options.nulls;
}

ColumnError row_error(const Options& options, std::size_t i, Fault fault) {
    return ColumnError{options.row0 + i, std::move(fault)};
}

// The two ways of going over a chunk's rows. Both leave `validity` (when
// not null) holding the output's validity, and return the null count.
//
// each_row: row(i) computes row i and says whether it is good; null(i)
// writes a null row. Rows that are null on input are never computed.
// fault(i) is the fault of a bad row, asked for only when it fails the call.
template <class Row, class Null, class FaultOf>
expected<std::size_t, ColumnError> each_row(std::size_t n, const Validity& in,
                                            const Options& options, std::uint8_t* validity,
                                            Row row, Null null, FaultOf fault) {
    if (validity != nullptr) copy_validity(in, n, validity);
    for (std::size_t i = 0; i < n; ++i) {
        if (!in.valid(i)) {
            null(i);
            continue;
        }
        if (row(i)) continue;
        if (!options.nulls) return unexpected(row_error(options, i, fault(i)));
        null(i);
        clear_bit(validity, i);
    }
    return validity == nullptr ? 0 : count_zeros(validity, n);
}

// settle: for kernels that have computed every row as if all were good and
// non-null (a loop the compiler can vectorise), and noted in `any_bad`
// whether a row may be bad. Goes over the rows that need it: nulls on input
// get null(i); bad rows (bad(i)) fail the call, or become null.
template <class Bad, class Null, class FaultOf>
expected<std::size_t, ColumnError> settle(std::size_t n, const Validity& in,
                                          const Options& options, std::uint8_t* validity,
                                          bool any_bad, Bad bad, Null null, FaultOf fault) {
    if (validity == nullptr) {
        if (any_bad) {
            for (std::size_t i = 0; i < n; ++i) {
                if (bad(i)) return unexpected(row_error(options, i, fault(i)));
            }
        }
        return 0;
    }
    copy_validity(in, n, validity);
    for (std::size_t j = 0; j < bitmap_bytes(n); ++j) {
        if (validity[j] == 0xFF && !any_bad) continue;
        for (std::size_t i = 8 * j; i < std::min(n, 8 * j + 8); ++i) {
            if (!in.valid(i)) {
                null(i);
            } else if (any_bad && bad(i)) {
                if (!options.nulls) return unexpected(row_error(options, i, fault(i)));
                null(i);
                clear_bit(validity, i);
            }
        }
    }
    return count_zeros(validity, n);
}

// A column of the output, with its validity dropped when no row is null.
ColumnOut column_out(Type type, std::size_t n, std::size_t null_count,
                     const std::uint8_t* validity, const std::uint8_t* values,
                     std::size_t values_size) {
    ColumnOut c;
    c.type = type;
    c.length = n;
    c.null_count = null_count;
    c.validity = null_count == 0 ? nullptr : validity;
    c.values = values;
    c.values_size = values_size;
    return c;
}

// The output of a kernel that writes one column of `size`-byte values, with
// a validity bitmap when it may have nulls.
struct FixedOut {
    FixedOut(std::size_t n, std::size_t size, bool nullable) : n(n), size(size) {
        Plan plan;
        const std::size_t validity_at = plan.add(nullable ? bitmap_bytes(n) : 0);
        const std::size_t values_at = plan.add(times(n, size));
        out.block = plan.allocate();
        values = out.block.data() + values_at;
        if (nullable) validity = out.block.data() + validity_at;
    }

    // The output, once the rows are written and `nulls` counted (or the
    // error that stopped them).
    Result finish(Type type, expected<std::size_t, ColumnError>&& nulls) {
        if (!nulls) return unexpected(std::move(nulls.error()));
        out.columns.push_back(column_out(type, n, *nulls, validity, values, size * n));
        return std::move(out);
    }

    std::size_t n, size;
    Output out;
    std::uint8_t* validity = nullptr;
    std::uint8_t* values = nullptr;
};

// ---------------------------------------------------------------------------
// Reading rows

std::int64_t load_i64(const std::uint8_t* p) noexcept {
    std::int64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
std::uint64_t load_u64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
void store_i64(std::uint8_t* p, std::int64_t v) noexcept { std::memcpy(p, &v, 8); }
void store_i32(std::uint8_t* p, std::int32_t v) noexcept { std::memcpy(p, &v, 4); }
void store_u32(std::uint8_t* p, std::uint32_t v) noexcept { std::memcpy(p, &v, 4); }

// Version 8 and the RFC 4122 variant, the checks every 128-bit identifier
// passes, on 16 stored bytes.
constexpr bool is_quib(const std::uint8_t* b) noexcept {
    return (b[6] >> 4) == 8 && (b[8] >> 6) == 2;
}

QuibId quib_at(const std::uint8_t* p) noexcept {
    QuibId q;
    std::memcpy(q.bytes, p, 16);
    return q;
}

// The rows of a Bytes16Column: the 16 bytes of row i, or null for a
// variable-length value of another length.
struct Packed16 {
    const std::uint8_t* values;
    const std::uint8_t* operator()(std::size_t i) const noexcept { return values + 16 * i; }
};
struct Binary16 {
    const Strings* strings;
    const std::uint8_t* operator()(std::size_t i) const noexcept {
        const std::string_view v = strings->at(i);
        return v.size() == 16 ? reinterpret_cast<const std::uint8_t*>(v.data()) : nullptr;
    }
};

// Calls f with the reader of the column's layout.
template <class F>
decltype(auto) with_rows(const Bytes16Column& column, F&& f) {
    if (column.values != nullptr) return f(Packed16{column.values});
    return f(Binary16{&column.strings});
}

// The fault of a row that is not a QuibId: a binary value of another
// length, or the version or variant error.
Fault bytes16_fault(const Bytes16Column& column, std::size_t i) {
    if (column.values == nullptr) {
        const std::string_view v = column.strings.at(i);
        if (v.size() != 16) return WrongLength{v.size()};
        std::uint8_t bytes[16];
        std::memcpy(bytes, v.data(), 16);
        auto checked = check_quib_bytes(bytes);
        return checked ? Fault{} : Fault{std::move(checked.error())};
    }
    std::uint8_t bytes[16];
    std::memcpy(bytes, column.values + 16 * i, 16);
    auto checked = check_quib_bytes(bytes);
    return checked ? Fault{} : Fault{std::move(checked.error())};
}

// The text of a TextColumn's rows as the parsers read them.
class TextRows {
public:
    explicit TextRows(const TextColumn& column) : column_(column) {
        if (column.ucs4 != nullptr) scratch_.resize(column.width);
    }

    // Row i as the parsers see it: true with `out` its text, or false when
    // the row is UCS-4 text with a character beyond ASCII, which no parser
    // accepts (full_text(i) is then its text).
    bool ascii(std::size_t i, std::string_view& out) {
        if (column_.ucs4 == nullptr) {
            out = column_.strings.at(i);
            return true;
        }
        const std::uint8_t* row = column_.ucs4 + times(i, 4 * column_.width);
        const std::size_t length = ucs4_length(row);
        for (std::size_t k = 0; k < length; ++k) {
            const std::uint32_t c = load_ucs4(row, k);
            if (c > 0x7F) return false;
            scratch_[k] = static_cast<char>(c);
        }
        out = std::string_view(scratch_.data(), length);
        return true;
    }

    // The whole text of row i as UTF-8, for a message. A UCS-4 code point
    // that UTF-8 cannot hold (a surrogate, or one beyond U+10FFFF) becomes
    // U+FFFD.
    std::string full_text(std::size_t i) const {
        if (column_.ucs4 == nullptr) return std::string(column_.strings.at(i));
        const std::uint8_t* row = column_.ucs4 + 4 * column_.width * i;
        std::string text;
        for (std::size_t k = 0, n = ucs4_length(row); k < n; ++k) append_utf8(text, load_ucs4(row, k));
        return text;
    }

private:
    static std::uint32_t load_ucs4(const std::uint8_t* row, std::size_t k) noexcept {
        std::uint32_t c;
        std::memcpy(&c, row + 4 * k, 4);
        return c;
    }
    // Code points up to the last one that is not NUL.
    std::size_t ucs4_length(const std::uint8_t* row) const noexcept {
        std::size_t n = column_.width;
        while (n > 0 && load_ucs4(row, n - 1) == 0) --n;
        return n;
    }
    static void append_utf8(std::string& out, std::uint32_t c) {
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    const TextColumn& column_;
    std::string scratch_;
};

// ---------------------------------------------------------------------------
// Writing text

// Text output of `n` rows of at most `width` bytes each.
struct TextOut {
    TextLayout layout;
    std::size_t width;
    std::uint8_t* offsets = nullptr;
    std::uint8_t* data = nullptr;
    std::size_t position = 0;  // bytes written, for the offset layouts

    void plan(Plan& plan, std::size_t n, std::size_t& offsets_at, std::size_t& data_at) const {
        offsets_at = layout == TextLayout::Ucs4
                         ? 0
                         : plan.add(times(n + 1, layout == TextLayout::Utf8 ? 4 : 8));
        data_at = plan.add(times(n, layout == TextLayout::Ucs4 ? 4 * width : width));
    }
    void start(std::uint8_t* block, std::size_t offsets_at, std::size_t data_at) {
        data = block + data_at;
        if (layout != TextLayout::Ucs4) {
            offsets = block + offsets_at;
            set_offset(0);
        }
    }
    void set_offset(std::size_t i) noexcept {
        if (layout == TextLayout::Utf8) {
            store_i32(offsets + 4 * i, static_cast<std::int32_t>(position));
        } else {
            store_i64(offsets + 8 * i, static_cast<std::int64_t>(position));
        }
    }
    // Row i: `text` (ASCII, at most `width` bytes), or empty for a null.
    void put(std::size_t i, const char* text, std::size_t length) noexcept {
        if (layout == TextLayout::Ucs4) {
            std::uint8_t* row = data + 4 * width * i;
            for (std::size_t k = 0; k < width; ++k) {
                store_u32(row + 4 * k, k < length ? static_cast<std::uint8_t>(text[k]) : 0);
            }
            return;
        }
        if (length != 0) std::memcpy(data + position, text, length);  // a null has no text
        position += length;
        set_offset(i + 1);
    }

    ColumnOut column(std::size_t n, std::size_t null_count, const std::uint8_t* validity) const {
        ColumnOut c;
        c.type = layout == TextLayout::Utf8      ? Type::Utf8
                 : layout == TextLayout::LargeUtf8 ? Type::LargeUtf8
                                                   : Type::Ucs4;
        c.length = n;
        c.null_count = null_count;
        c.validity = null_count == 0 ? nullptr : validity;
        c.width = layout == TextLayout::Ucs4 ? width : 0;
        c.offsets = offsets;
        c.values = data;
        c.values_size = layout == TextLayout::Ucs4 ? 4 * width * n : position;
        return c;
    }
};

// Utf8, unless `n` rows of `width` bytes might not fit 32-bit offsets.
TextLayout fitting(TextLayout layout, std::size_t n, std::size_t width) {
    const auto limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return layout == TextLayout::Utf8 && times(n, width) > limit ? TextLayout::LargeUtf8 : layout;
}

constexpr std::uint64_t kQuibDescHigh = 0xFFFFFFFFFFFF0FFFULL;
constexpr std::uint64_t kQuibDescLow = 0x0FFFFFFF8000FFFFULL;

// The flip mask as the two words that a native load of the 16 stored bytes
// gives.
constexpr std::uint64_t native_be(std::uint64_t v) noexcept {
    return std::endian::native == std::endian::little ? byteswap64(v) : v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Strings, errors, Block

namespace {

// The bytes between offsets i and i + 1 of type Offset.
template <class Offset>
std::string_view between(const std::uint8_t* offsets, const std::uint8_t* data, std::size_t i) {
    Offset begin, end;
    std::memcpy(&begin, offsets + sizeof(Offset) * i, sizeof(Offset));
    std::memcpy(&end, offsets + sizeof(Offset) * (i + 1), sizeof(Offset));
    return {reinterpret_cast<const char*>(data) + begin, static_cast<std::size_t>(end - begin)};
}

}  // namespace

std::string_view Strings::at(std::size_t i) const noexcept {
    switch (layout) {
        case Layout::Offsets32: return between<std::int32_t>(offsets, data, i);
        case Layout::Offsets64: return between<std::int64_t>(offsets, data, i);
        case Layout::Views: {
            // Length; then either the bytes themselves (up to 12), or a
            // 4-byte prefix, the buffer index and the offset in it.
            const std::uint8_t* view = offsets + 16 * i;
            std::int32_t length, buffer, offset;
            std::memcpy(&length, view, 4);
            if (length <= 12) {
                return {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length)};
            }
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&offset, view + 12, 4);
            return {reinterpret_cast<const char*>(buffers[buffer]) + offset,
                    static_cast<std::size_t>(length)};
        }
        case Layout::Spans:
            break;
    }
    return spans[i];
}

expected<void, std::string> check(const Strings& strings, std::size_t length) {
    auto bad = [](std::size_t row, const char* what) {
        return unexpected("malformed Arrow array: " + std::string(what) + " at row " +
                          std::to_string(row));
    };
    switch (strings.layout) {
        case Strings::Layout::Offsets32:
        case Strings::Layout::Offsets64: {
            const bool wide = strings.layout == Strings::Layout::Offsets64;
            std::int64_t previous = 0;
            for (std::size_t i = 0; i <= length; ++i) {
                std::int64_t offset;
                if (wide) {
                    offset = load_i64(strings.offsets + 8 * i);
                } else {
                    std::int32_t narrow;
                    std::memcpy(&narrow, strings.offsets + 4 * i, 4);
                    offset = narrow;
                }
                if (offset < 0) return bad(i, "negative offset");
                if (i > 0 && offset < previous) return bad(i - 1, "decreasing offsets");
                previous = offset;
            }
            if (previous > 0 && strings.data == nullptr) return bad(0, "no data buffer");
            return {};
        }
        case Strings::Layout::Views:
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint8_t* view = strings.offsets + 16 * i;
                std::int32_t size, buffer, offset;
                std::memcpy(&size, view, 4);
                if (size < 0) return bad(i, "negative view length");
                if (size <= 12) continue;
                std::memcpy(&buffer, view + 8, 4);
                std::memcpy(&offset, view + 12, 4);
                if (buffer < 0 || static_cast<std::size_t>(buffer) >= strings.buffer_count) {
                    return bad(i, "view of a missing buffer");
                }
                const std::int64_t buffer_size =
                    load_i64(strings.buffer_sizes + 8 * static_cast<std::size_t>(buffer));
                if (offset < 0 || std::int64_t{offset} + size > buffer_size ||
                    strings.buffers[buffer] == nullptr) {
                    return bad(i, "view beyond its buffer");
                }
            }
            return {};
        case Strings::Layout::Spans:
            break;
    }
    return {};
}

std::string display(const ColumnError& error) {
    std::string text = "row " + std::to_string(error.row) + ": ";
    if (const auto* e = std::get_if<Error>(&error.fault)) return text + display(*e);
    if (const auto* e = std::get_if<ConversionError>(&error.fault)) return text + display(*e);
    if (const auto* e = std::get_if<WrongLength>(&error.fault)) {
        return text + "expected 16 bytes, got " + std::to_string(e->length);
    }
    return text + "order is null";
}

Block::Block(std::size_t size) : size_(size) {
    // A large block is aligned to, and on Linux marked for, huge pages, as
    // numpy does with its arrays: faulting in a fresh column 4 KB at a time
    // costs more than most kernels that fill it.
    const bool large = size >= kHugePage;
    const std::size_t alignment = large ? kHugePage : kAlignment;
    void* p = ::operator new(size == 0 ? kAlignment : size, std::align_val_t{alignment});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (large) madvise(p, size, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
#endif
    data_ = std::unique_ptr<std::uint8_t, Free>(static_cast<std::uint8_t*>(p), Free{alignment});
}

// ---------------------------------------------------------------------------
// Chunk kernels

namespace {

// A kernel over 64-bit identifiers whose only fault is a negative value:
// put(out, v) writes the `size` bytes of each row from its value, for every
// row as if all were good (a loop the compiler can vectorise); a negative
// value makes `seen` negative, and the rows are settled afterwards.
template <class Put>
Result map_sorn(const Int64Column& column, const Options& options, Type type, std::size_t size,
                Put put) {
    const std::size_t n = column.length;
    FixedOut fixed(n, size, may_have_nulls(column.validity, options));
    std::uint8_t* values = fixed.values;
    std::int64_t seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = column.at(i);
        seen |= v;
        put(values + size * i, v);
    }
    auto nulls = settle(
        n, column.validity, options, fixed.validity, seen < 0,
        [&](std::size_t i) { return column.at(i) < 0; },
        [&](std::size_t i) { std::memset(values + size * i, 0, size); },
        [](std::size_t) { return Fault{Error{NegativeSornId{}}}; });
    return fixed.finish(type, std::move(nulls));
}

}  // namespace

namespace {

// The QuibId image of the bits of a SornId `v` (never negative, but any bits
// pack) at `precision`, scaled by `factor`, as the high and low 64-bit words
// of the value pack_quib makes: the scaled timestamp of at most 42 + 40 bits
// has a high word below 2^18, so two words do without 128-bit shifts.
constexpr std::pair<std::uint64_t, std::uint64_t> sorn_image(std::int64_t v, Precision precision,
                                                             std::uint64_t factor) noexcept {
    const SornId id{v};
    const u128 t = u128{id.timestamp_ms()} * factor;
    const std::uint64_t high = t.high64(), low = t.low64();
    return {(((high << 23) | (low >> 41)) << 16) | (std::uint64_t{8} << 12) | ((low >> 29) & 0xFFF),
            (std::uint64_t{2} << 62) | (std::uint64_t{code(precision)} << 60) |
                ((low & 0x1FFFFFFF) << 31) | (std::uint64_t{id.node_id()} << 16) | id.sequence()};
}

constexpr bool same_as_pack_quib(std::int64_t v, Precision p) {
    const SornId id{v};
    const u128 packed = pack_quib(u128{id.timestamp_ms()} * units_per_millisecond(p), p,
                                  id.node_id(), id.sequence());
    return sorn_image(v, p, units_per_millisecond(p)) ==
           std::pair{packed.high64(), packed.low64()};
}
static_assert(same_as_pack_quib(0x7FFFFFFFFFFFFFFF, Precision::Femtoseconds));
static_assert(same_as_pack_quib(7130316800000040967, Precision::Nanoseconds));
static_assert(same_as_pack_quib(0x2AAAAAAAAAAAAAAA, Precision::Picoseconds));
static_assert(same_as_pack_quib(1, Precision::Microseconds));

}  // namespace

Result sorn_to_quib(const Int64Column& column, Precision precision, const Options& options) {
    const std::uint64_t factor = units_per_millisecond(precision);
    return map_sorn(column, options, Type::Bytes16, 16, [&](std::uint8_t* out, std::int64_t v) {
        const auto [high, low] = sorn_image(v, precision, factor);
        const std::uint64_t words[2] = {native_be(high), native_be(low)};
        std::memcpy(out, words, 16);
    });
}

Result flip_sorn(const Int64Column& column, const Options& options) {
    return map_sorn(column, options, Type::Int64, 8,
                    [](std::uint8_t* out, std::int64_t v) { store_i64(out, v ^ kSornDescMask); });
}

Result flip_quib(const Bytes16Column& column, const Options& options) {
    const std::size_t n = column.length;
    FixedOut fixed(n, 16, may_have_nulls(column.validity, options));
    std::uint8_t* values = fixed.values;
    std::uint8_t* validity = fixed.validity;

    constexpr std::uint64_t kHigh = native_be(kQuibDescHigh), kLow = native_be(kQuibDescLow);
    const bool any_bad = with_rows(column, [&](auto rows) {
        unsigned bad = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* p = rows(i);
            std::uint8_t* q = values + 16 * i;
            if (p == nullptr) {
                bad = 1;
                std::memset(q, 0, 16);
                continue;
            }
            bad |= static_cast<unsigned>(((p[6] & 0xF0) ^ 0x80) | ((p[8] & 0xC0) ^ 0x80));
            const std::uint64_t high = load_u64(p) ^ kHigh, low = load_u64(p + 8) ^ kLow;
            std::memcpy(q, &high, 8);
            std::memcpy(q + 8, &low, 8);
        }
        return bad != 0;
    });
    auto nulls = with_rows(column, [&](auto rows) {
        return settle(
            n, column.validity, options, validity, any_bad,
            [&](std::size_t i) { return rows(i) == nullptr || !is_quib(rows(i)); },
            [&](std::size_t i) { std::memset(values + 16 * i, 0, 16); },
            [&](std::size_t i) { return bytes16_fault(column, i); });
    });
    return fixed.finish(Type::Bytes16, std::move(nulls));
}

namespace {

// A kernel that parses each row into `size` bytes: parse(text, out) says
// whether the text is good; refusal(text) is the error of one that is not,
// and invalid(text) the error of a text no parser accepts.
template <class Parse, class Refusal, class Invalid>
Result parse_rows(const TextColumn& column, const Options& options, Type type, std::size_t size,
                  Parse parse, Refusal refusal, Invalid invalid) {
    const std::size_t n = column.length;
    FixedOut fixed(n, size, may_have_nulls(column.validity, options));
    std::uint8_t* values = fixed.values;
    TextRows rows(column);
    auto nulls = each_row(
        n, column.validity, options, fixed.validity,
        [&](std::size_t i) {
            std::string_view text;
            if (rows.ascii(i, text) && parse(text, values + size * i)) return true;
            std::memset(values + size * i, 0, size);
            return false;
        },
        [&](std::size_t i) { std::memset(values + size * i, 0, size); },
        [&](std::size_t i) {
            std::string_view text;
            return Fault{rows.ascii(i, text) ? refusal(text) : invalid(rows.full_text(i))};
        });
    return fixed.finish(type, std::move(nulls));
}

}  // namespace

Result parse_sorn(const TextColumn& column, const Options& options) {
    return parse_rows(
        column, options, Type::Int64, 8,
        [](std::string_view text, std::uint8_t* out) {
            std::int64_t v = 0;
            if (!parse_decimal_i64(text, v) || v < 0) return false;
            store_i64(out, v);
            return true;
        },
        [](std::string_view text) { return parse_sorn_text(text).error(); },
        [](std::string text) { return Error{InvalidSornIdString{std::move(text)}}; });
}

namespace {

// The 4 bytes of 8 hexadecimal digits (either case), the first digit in the
// first byte of `word` (loaded little-endian), as a little-endian word; or
// false when one is not a digit. Eight bytes at a time: every byte must be
// ASCII, then each is tested against the ranges 0-9 and a-f (after folding
// A-F down) by adding to it what carries exactly the bytes in range into
// their top bit, which an ASCII byte cannot carry into its neighbour.
constexpr bool decode_hex8(std::uint64_t word, std::uint32_t& out) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kTop = 0x8080808080808080ULL;
    if ((word & kTop) != 0) return false;
    const std::uint64_t folded = word | (0x20 * kOnes);
    const std::uint64_t digit = (word + (0x80 - '0') * kOnes) & ~(word + (0x80 - '9' - 1) * kOnes);
    const std::uint64_t letter =
        (folded + (0x80 - 'a') * kOnes) & ~(folded + (0x80 - 'f' - 1) * kOnes);
    if (((digit | letter) & kTop) != kTop) return false;
    // Each byte's value: its low nibble, plus 9 for a letter (bit 6 set).
    const std::uint64_t nibbles = (word & (0x0F * kOnes)) + ((word & (0x40 * kOnes)) >> 6) * 9;
    // Digit pairs into bytes, then the bytes together.
    std::uint64_t t = ((nibbles & 0x000F000F000F000FULL) << 4) | ((nibbles >> 8) & 0x000F000F000F000FULL);
    t = (t | (t >> 8)) & 0x0000FFFF0000FFFFULL;
    out = static_cast<std::uint32_t>(t | (t >> 16));
    return true;
}
static_assert([] {
    std::uint32_t out = 0;
    // "0123abCD", first digit first: bytes 01 23 ab cd.
    return decode_hex8(0x4443626133323130ULL, out) && out == 0xCDAB2301 &&
           !decode_hex8(0x4743626133323130ULL, out) && !decode_hex8(0x2f43626133323130ULL, out);
}());

// The 36-character hyphenated form (the canonical one, which format
// writes) decoded 8 digits at a time, or false for any other text, which
// parse_quib_text then reads or refuses: a fast path, not a second judge.
bool parse_hyphenated_fast(std::string_view text, std::uint8_t* out) noexcept {
    if constexpr (std::endian::native != std::endian::little) {
        return false;
    } else {
        if (text.size() != 36) return false;
        const char* p = text.data();
        if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return false;
        char digits[32];
        std::memcpy(digits, p, 8);
        std::memcpy(digits + 8, p + 9, 4);
        std::memcpy(digits + 12, p + 14, 4);
        std::memcpy(digits + 16, p + 19, 4);
        std::memcpy(digits + 20, p + 24, 12);
        std::uint32_t bytes[4];
        for (int k = 0; k < 4; ++k) {
            std::uint64_t word;
            std::memcpy(&word, digits + 8 * k, 8);
            if (!decode_hex8(word, bytes[k])) return false;
        }
        std::memcpy(out, bytes, 16);
        return is_quib(out);
    }
}

}  // namespace

Result parse_quib(const TextColumn& column, const Options& options) {
    return parse_rows(
        column, options, Type::Bytes16, 16,
        [](std::string_view text, std::uint8_t* out) {
            if (parse_hyphenated_fast(text, out)) return true;
            std::uint8_t bytes[16];
            if (!parse_quib_text(text, bytes)) return false;
            std::memcpy(out, bytes, 16);
            return true;
        },
        [](std::string_view text) {
            std::uint8_t bytes[16];
            return parse_quib_text(text, bytes).error();
        },
        [](std::string text) { return Error{InvalidQuibIdString{std::move(text)}}; });
}

namespace {

// A kernel that writes the text of each row, at most `width` bytes, in
// `layout`: write(i, text) puts it (or says false for a bad row, whose
// fault is fault(i)).
template <class Write, class FaultOf>
Result format_rows(std::size_t n, const Validity& in, const Options& options, TextLayout layout,
                   std::size_t width, Write write, FaultOf fault) {
    Plan plan;
    const bool nullable = may_have_nulls(in, options);
    const std::size_t validity_at = plan.add(nullable ? bitmap_bytes(n) : 0);
    TextOut text{fitting(layout, n, width), width};
    std::size_t offsets_at, data_at;
    text.plan(plan, n, offsets_at, data_at);
    Output out{plan.allocate(), {}};
    std::uint8_t* validity = nullable ? out.block.data() + validity_at : nullptr;
    text.start(out.block.data(), offsets_at, data_at);
    auto nulls = each_row(
        n, in, options, validity, [&](std::size_t i) { return write(i, text); },
        [&](std::size_t i) { text.put(i, nullptr, 0); }, fault);
    if (!nulls) return unexpected(std::move(nulls.error()));
    out.columns.push_back(text.column(n, *nulls, validity));
    return out;
}

}  // namespace

Result format_sorn(const Int64Column& column, TextLayout layout, const Options& options) {
    return format_rows(
        column.length, column.validity, options, layout, kSornTextMax,
        [&](std::size_t i, TextOut& text) {
            const std::int64_t v = column.at(i);
            if (v < 0) return false;
            char digits[kMaxDecimal64];
            text.put(i, digits, format_decimal_u63(v, digits));
            return true;
        },
        [](std::size_t) { return Fault{Error{NegativeSornId{}}}; });
}

Result format_quib(const Bytes16Column& column, TextLayout layout, const Options& options) {
    return with_rows(column, [&](auto rows) {
        return format_rows(
            column.length, column.validity, options, layout, kQuibTextLength,
            [&](std::size_t i, TextOut& text) {
                const std::uint8_t* p = rows(i);
                if (p == nullptr || !is_quib(p)) return false;
                std::uint8_t bytes[16];
                std::memcpy(bytes, p, 16);
                char form[kQuibTextLength];
                format_quib_text(bytes, form);
                text.put(i, form, kQuibTextLength);
                return true;
            },
            [&](std::size_t i) { return bytes16_fault(column, i); });
    });
}

Result fields_sorn(const Int64Column& column, bool desc, const Options& options) {
    const std::size_t n = column.length;
    Plan plan;
    const bool nullable = may_have_nulls(column.validity, options);
    const std::size_t validity_at = plan.add(nullable ? bitmap_bytes(n) : 0);
    const std::size_t timestamps_at = plan.add(times(n, 8));
    const std::size_t nodes_at = plan.add(times(n, 4));
    const std::size_t sequences_at = plan.add(times(n, 4));
    Output out{plan.allocate(), {}};
    std::uint8_t* base = out.block.data();
    std::uint8_t* validity = nullable ? base + validity_at : nullptr;
    std::uint8_t *timestamps = base + timestamps_at, *nodes = base + nodes_at,
                 *sequences = base + sequences_at;

    auto put = [&](std::size_t i, std::int64_t timestamp, std::int32_t node, std::int32_t sequence) {
        store_i64(timestamps + 8 * i, timestamp);
        store_i32(nodes + 4 * i, node);
        store_i32(sequences + 4 * i, sequence);
    };
    auto nulls = each_row(
        n, column.validity, options, validity,
        [&](std::size_t i) {
            const std::int64_t v = column.at(i);
            if (v < 0) return false;
            const SornId id{desc ? v ^ kSornDescMask : v};
            put(i, static_cast<std::int64_t>(id.timestamp_ms()), id.node_id(), id.sequence());
            return true;
        },
        [&](std::size_t i) { put(i, 0, 0, 0); },
        [](std::size_t) { return Fault{Error{NegativeSornId{}}}; });
    if (!nulls) return unexpected(std::move(nulls.error()));
    out.columns.push_back(column_out(Type::Int64, n, *nulls, validity, timestamps, 8 * n));
    out.columns.push_back(column_out(Type::Int32, n, *nulls, validity, nodes, 4 * n));
    out.columns.push_back(column_out(Type::Int32, n, *nulls, validity, sequences, 4 * n));
    return out;
}

Result fields_quib(const Bytes16Column& column, bool desc, bool ucs4, const Options& options) {
    const std::size_t n = column.length;
    Plan plan;
    const bool nullable = may_have_nulls(column.validity, options);
    const std::size_t validity_at = plan.add(nullable ? bitmap_bytes(n) : 0);
    const std::size_t timestamps_at = plan.add(times(n, 16));
    TextOut precisions{ucs4 ? TextLayout::Ucs4 : fitting(TextLayout::Utf8, n, 2), 2};
    std::size_t offsets_at, data_at;
    precisions.plan(plan, n, offsets_at, data_at);
    const std::size_t nodes_at = plan.add(times(n, 4));
    const std::size_t sequences_at = plan.add(times(n, 4));
    Output out{plan.allocate(), {}};
    std::uint8_t* base = out.block.data();
    std::uint8_t* validity = nullable ? base + validity_at : nullptr;
    precisions.start(base, offsets_at, data_at);
    std::uint8_t *timestamps = base + timestamps_at, *nodes = base + nodes_at,
                 *sequences = base + sequences_at;

    // The timestamp as a 128-bit integer in native byte order, as Arrow's
    // decimal128 holds it.
    auto put = [&](std::size_t i, u128 timestamp, std::string_view precision, std::int32_t node,
                   std::int32_t sequence) {
        std::uint64_t words[2] = {timestamp.low64(), timestamp.high64()};
        if constexpr (std::endian::native == std::endian::big) std::swap(words[0], words[1]);
        std::memcpy(timestamps + 16 * i, words, 16);
        precisions.put(i, precision.data(), precision.size());
        store_i32(nodes + 4 * i, node);
        store_i32(sequences + 4 * i, sequence);
    };
    auto nulls = with_rows(column, [&](auto rows) {
        return each_row(
            n, column.validity, options, validity,
            [&](std::size_t i) {
                const std::uint8_t* p = rows(i);
                if (p == nullptr || !is_quib(p)) return false;
                u128 v = load_be128(p);
                if (desc) v ^= kQuibDescMask;
                put(i, quib_timestamp(v), short_text(quib_precision(v)), quib_node_id(v),
                    quib_sequence(v));
                return true;
            },
            [&](std::size_t i) { put(i, 0, {}, 0, 0); },
            [&](std::size_t i) { return bytes16_fault(column, i); });
    });
    if (!nulls) return unexpected(std::move(nulls.error()));
    out.columns.push_back(column_out(Type::Decimal128, n, *nulls, validity, timestamps, 16 * n));
    out.columns.push_back(precisions.column(n, *nulls, validity));
    out.columns.push_back(column_out(Type::Int32, n, *nulls, validity, nodes, 4 * n));
    out.columns.push_back(column_out(Type::Int32, n, *nulls, validity, sequences, 4 * n));
    return out;
}

namespace {

// The Bool (or BoolBytes) column of good(i) over `n` rows, nulls kept.
template <class Good>
Output validate(std::size_t n, const Validity& in, bool bytes, Good good) {
    Plan plan;
    const std::size_t validity_at = plan.add(in.bits != nullptr ? bitmap_bytes(n) : 0);
    const std::size_t values_at = plan.add(bytes ? n : bitmap_bytes(n));
    Output out{plan.allocate(), {}};
    std::uint8_t* values = out.block.data() + values_at;
    std::uint8_t* validity = in.bits != nullptr ? out.block.data() + validity_at : nullptr;
    if (bytes) {
        for (std::size_t i = 0; i < n; ++i) values[i] = good(i) ? 1 : 0;
    } else {
        std::memset(values, 0, bitmap_bytes(n));
        for (std::size_t i = 0; i < n; ++i) {
            if (good(i)) values[i >> 3] = static_cast<std::uint8_t>(values[i >> 3] | (1u << (i & 7)));
        }
    }
    std::size_t null_count = 0;
    if (validity != nullptr) {
        copy_validity(in, n, validity);
        null_count = count_zeros(validity, n);
    }
    out.columns.push_back(column_out(bytes ? Type::BoolBytes : Type::Bool, n, null_count, validity,
                                     values, bytes ? n : bitmap_bytes(n)));
    return out;
}

}  // namespace

Output validate_sorn(const Int64Column& column, bool bytes) {
    return validate(column.length, column.validity, bytes,
                    [&](std::size_t i) { return column.at(i) >= 0; });
}

Output validate_quib(const Bytes16Column& column, bool bytes) {
    return with_rows(column, [&](auto rows) {
        return validate(column.length, column.validity, bytes, [&](std::size_t i) {
            const std::uint8_t* p = rows(i);
            return p != nullptr && is_quib(p);
        });
    });
}

Output validate_text(const TextColumn& column, bool quib, bool bytes) {
    TextRows rows(column);
    return validate(column.length, column.validity, bytes, [&](std::size_t i) {
        std::string_view text;
        if (!rows.ascii(i, text)) return false;
        if (quib) {
            std::uint8_t out[16];
            return parse_quib_text(text, out).has_value();
        }
        std::int64_t v;
        return parse_decimal_i64(text, v) && v >= 0;
    });
}

Result sorn_group(const Bytes16Column& column, const Options& options) {
    const std::size_t n = column.length;
    FixedOut fixed(n, 8, may_have_nulls(column.validity, options));
    std::uint8_t* values = fixed.values;
    std::uint8_t* validity = fixed.validity;

    auto nulls = with_rows(column, [&](auto rows) {
        return each_row(
            n, column.validity, options, validity,
            [&](std::size_t i) {
                const std::uint8_t* p = rows(i);
                if (p == nullptr || !is_quib(p)) return false;
                const Squashed s = squash(quib_at(p));
                if (!fits_sorn(s)) return false;
                store_i64(values + 8 * i, group_base(s));
                return true;
            },
            [&](std::size_t i) { store_i64(values + 8 * i, 0); },
            [&](std::size_t i) {
                const std::uint8_t* p = rows(i);
                if (p == nullptr || !is_quib(p)) return bytes16_fault(column, i);
                return Fault{squash_fault(squash(quib_at(p)))};
            });
    });
    return fixed.finish(Type::Int64, std::move(nulls));
}

// ---------------------------------------------------------------------------
// Whole-column kernels

namespace {

// The number of the first row of each chunk, from row0, and after the last
// the number after the last row.
template <class Column>
std::vector<std::uint64_t> chunk_starts(std::span<const Column> chunks, std::uint64_t row0) {
    std::vector<std::uint64_t> starts;
    starts.reserve(chunks.size() + 1);
    for (const Column& c : chunks) {
        starts.push_back(row0);
        row0 += c.length;
    }
    starts.push_back(row0);
    return starts;
}

// Which chunk holds a row, by the starts of the chunks, and where in it.
std::pair<std::size_t, std::size_t> chunk_of(const std::vector<std::uint64_t>& starts,
                                             std::uint64_t row) noexcept {
    const auto k = static_cast<std::size_t>(
        std::upper_bound(starts.begin(), starts.end() - 1, row) - starts.begin() - 1);
    return {k, static_cast<std::size_t>(row - starts[k])};
}

// The chunks of a column as one sequence of rows numbered from row0, as the
// grouping code reads its input: the rows that are not null, each a
// QuibId (check_all() has made sure of that).
class ChunkSource {
public:
    ChunkSource(std::span<const Bytes16Column> chunks, std::uint64_t row0)
        : chunks_(chunks), row0_(row0), starts_(chunk_starts(chunks, row0)) {}

    std::uint64_t rows() const noexcept { return starts_.back() - row0_; }
    // The number of the first row of chunk k (k may be the chunk count).
    std::uint64_t start(std::size_t chunk) const noexcept { return starts_[chunk]; }
    const Bytes16Column& chunk(std::size_t k) const noexcept { return chunks_[k]; }

    // f(k, rows) for each chunk k and its reader, until f returns false.
    template <class F>
    bool each_chunk(F&& f) const {
        for (std::size_t k = 0; k < chunks_.size(); ++k) {
            const bool go_on = with_rows(chunks_[k], [&](auto rows) { return f(k, rows); });
            if (!go_on) return false;
        }
        return true;
    }

    // f(row, QuibId) for every non-null row in order, until f returns false.
    template <class F>
    void each(F&& f) const {
        each_chunk([&](std::size_t k, auto rows) {
            const Bytes16Column& c = chunks_[k];
            for (std::size_t i = 0; i < c.length; ++i) {
                if (c.validity.valid(i) && !f(starts_[k] + i, quib_at(rows(i)))) return false;
            }
            return true;
        });
    }

    QuibId at(std::uint64_t row) const {
        const auto at = chunk_of(starts_, row);
        return with_rows(chunks_[at.first], [&](auto rows) { return quib_at(rows(at.second)); });
    }

    // The first non-null row that is not a QuibId, as an error.
    expected<void, ColumnError> check_all() const {
        std::optional<ColumnError> error;
        each_chunk([&](std::size_t k, auto rows) {
            const Bytes16Column& c = chunks_[k];
            for (std::size_t i = 0; i < c.length; ++i) {
                if (!c.validity.valid(i)) continue;
                const std::uint8_t* p = rows(i);
                if (p == nullptr || !is_quib(p)) {
                    error = ColumnError{starts_[k] + i, bytes16_fault(c, i)};
                    return false;
                }
            }
            return true;
        });
        if (error) return unexpected(std::move(*error));
        return {};
    }

private:
    std::span<const Bytes16Column> chunks_;
    std::uint64_t row0_;
    std::vector<std::uint64_t> starts_;
};

// An Int64 column given as chunks, by row.
class Int64Rows {
public:
    Int64Rows(std::span<const Int64Column> chunks, std::uint64_t row0)
        : chunks_(chunks), starts_(chunk_starts(chunks, row0)) {}

    // The value of a row, or false when it is null.
    bool at(std::uint64_t row, std::int64_t& value) const noexcept {
        const auto [k, i] = chunk_of(starts_, row);
        value = chunks_[k].at(i);
        return chunks_[k].validity.valid(i);
    }

private:
    std::span<const Int64Column> chunks_;
    std::vector<std::uint64_t> starts_;
};

// The elements numbered by quib_to_sorn: the identifier, its group base
// (then its SornId) and its row; with an order column, its rank too. They
// sort by group base, QuibId, rank and row, so that equal QuibIds of one
// group are numbered by rank and the order is fully determined.
struct RowPair {
    QuibId quib;
    SornId sorn;
    std::uint64_t row;
};
struct RankedPair {
    QuibId quib;
    SornId sorn;
    std::uint64_t rank;  // the order value, its sign bit flipped to sort as unsigned
    std::uint64_t row;
};

struct ByGroupThenRow {
    static constexpr unsigned kWords = 4;
    static std::uint64_t word(const RowPair& p, unsigned w) noexcept {
        if (w == 0) return static_cast<std::uint64_t>(p.sorn.value);
        if (w == 3) return p.row;
        return load_be64(p.quib.bytes + 8 * (w - 1));
    }
    static unsigned byte(const RowPair& p, unsigned d) noexcept {
        if (d < 8) return byte_of(p.sorn.value, d);
        if (d < 24) return p.quib.bytes[d - 8];
        return byte_of(p.row, d - 24);
    }
};
struct ByGroupThenRank {
    static constexpr unsigned kWords = 5;
    static std::uint64_t word(const RankedPair& p, unsigned w) noexcept {
        if (w == 0) return static_cast<std::uint64_t>(p.sorn.value);
        if (w == 3) return p.rank;
        if (w == 4) return p.row;
        return load_be64(p.quib.bytes + 8 * (w - 1));
    }
    static unsigned byte(const RankedPair& p, unsigned d) noexcept {
        if (d < 8) return byte_of(p.sorn.value, d);
        if (d < 24) return p.quib.bytes[d - 8];
        if (d < 32) return byte_of(p.rank, d - 24);
        return byte_of(p.row, d - 32);
    }
};

// Partitions of the group bases, by a hash of the base: a group never spans
// two, they are about equal whatever the bases, and a partition of a large
// column is small enough to sort in the cache.
class Partitions {
public:
    // For about n elements: some 2048 per partition, at most 4096 partitions.
    explicit Partitions(std::size_t n) {
        while (bits_ < 12 && (n >> (bits_ + 11)) != 0) ++bits_;
    }
    std::size_t count() const noexcept { return std::size_t{1} << bits_; }
    std::size_t of(std::int64_t base) const noexcept {
        if (bits_ == 0) return 0;
        const std::uint64_t mixed = static_cast<std::uint64_t>(base) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(mixed >> (64 - bits_));
    }

private:
    unsigned bits_ = 0;
};

// quib_to_sorn with elements T sorted by Key. First, in row order, the
// checks (stopping at the first fault), counting each partition's
// elements; then the elements, straight from the input into their
// partitions; then each partition sorted and numbered, and each SornId
// written at its row.
template <class T, class Key>
expected<void, ColumnError> number_rows(const ChunkSource& source,
                                        std::span<const Int64Column> order,
                                        std::uint8_t* values) {
    constexpr bool kRanked = std::is_same_v<T, RankedPair>;
    const std::uint64_t row0 = source.start(0);
    const std::optional<Int64Rows> ranks =
        order.empty() ? std::nullopt : std::optional<Int64Rows>(std::in_place, order, row0);
    const Partitions partitions(static_cast<std::size_t>(source.rows()));
    std::vector<std::size_t> next(partitions.count());
    std::optional<ColumnError> error;
    std::size_t n = 0;
    source.each_chunk([&](std::size_t k, auto rows) {
        const Bytes16Column& c = source.chunk(k);
        for (std::size_t i = 0; i < c.length; ++i) {
            if (!c.validity.valid(i)) continue;
            const std::uint64_t row = source.start(k) + i;
            const std::uint8_t* p = rows(i);
            if (p == nullptr || !is_quib(p)) {
                error = ColumnError{row, bytes16_fault(c, i)};
                return false;
            }
            const Squashed s = squash(quib_at(p));
            if (!fits_sorn(s)) {
                error = ColumnError{row, squash_fault(s)};
                return false;
            }
            std::int64_t rank;
            if (ranks && !ranks->at(row, rank)) {
                error = ColumnError{row, NullOrder{}};
                return false;
            }
            ++next[partitions.of(group_base(s))];
            ++n;
        }
        return true;
    });
    if (error) return unexpected(std::move(*error));

    std::vector<std::size_t> ends(partitions.count());
    for (std::size_t b = 0, at = 0; b < partitions.count(); ++b) {
        at += std::exchange(next[b], at);
        ends[b] = at;
    }
    // In a block of huge pages, like the outputs (see Block).
    Block storage(times(n, sizeof(T)));
    T* elements = reinterpret_cast<T*>(storage.data());
    source.each([&](std::uint64_t row, const QuibId& id) {
        const std::int64_t base = group_base(squash(id));
        T& e = elements[next[partitions.of(base)]++];
        if constexpr (kRanked) {
            std::int64_t rank = 0;
            ranks->at(row, rank);
            e = T{id, SornId{base}, static_cast<std::uint64_t>(rank) ^ (std::uint64_t{1} << 63), row};
        } else {
            e = T{id, SornId{base}, row};
        }
        return true;
    });

    std::vector<GroupCount> oversized;
    for (std::size_t b = 0, begin = 0; b < partitions.count(); begin = ends[b++]) {
        T* first = elements + begin;
        T* last = elements + ends[b];
        sort_by_key<Key>(first, last);
        auto numbered = number_groups(first, last, oversized);
        if (!numbered) {
            using E = ConversionError;
            return unexpected(ColumnError{row0, E{E::Construction{std::move(numbered.error())}}});
        }
        if (oversized.empty()) {
            for (const T* e = first; e != last; ++e) store_i64(values + 8 * (e->row - row0), e->sorn.value);
        }
    }
    if (!oversized.empty()) {
        std::ranges::sort(oversized, {}, &GroupCount::base);
        GroupFault fault = first_overflowing_group(source, oversized);
        return unexpected(ColumnError{fault.position, std::move(fault.error)});
    }
    return {};
}

}  // namespace

Result quib_to_sorn(std::span<const Bytes16Column> chunks, std::span<const Int64Column> order,
                    std::uint64_t row0) {
    const ChunkSource source(chunks, row0);
    const auto n = static_cast<std::size_t>(source.rows());
    if (!order.empty()) {
        std::size_t order_rows = 0;
        for (const Int64Column& c : order) order_rows += c.length;
        if (order_rows != n) panic("the order column has the column's length");
    }
    Plan plan;
    std::vector<std::size_t> validity_at(chunks.size());
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        validity_at[k] = plan.add(chunks[k].validity.bits != nullptr ? bitmap_bytes(chunks[k].length) : 0);
    }
    const std::size_t values_at = plan.add(times(n, 8));
    Output out{plan.allocate(), {}};
    std::uint8_t* values = out.block.data() + values_at;

    auto numbered = order.empty()
                        ? number_rows<RowPair, ByGroupThenRow>(source, order, values)
                        : number_rows<RankedPair, ByGroupThenRank>(source, order, values);
    if (!numbered) return unexpected(std::move(numbered.error()));

    out.columns.reserve(chunks.size());
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        const Bytes16Column& c = chunks[k];
        std::uint8_t* chunk_values = values + 8 * (source.start(k) - row0);
        std::uint8_t* validity = nullptr;
        std::size_t null_count = 0;
        if (c.validity.bits != nullptr) {
            validity = out.block.data() + validity_at[k];
            copy_validity(c.validity, c.length, validity);
            null_count = count_zeros(validity, c.length);
            for (std::size_t i = 0; i < c.length && null_count != 0; ++i) {
                if (!c.validity.valid(i)) store_i64(chunk_values + 8 * i, 0);
            }
        }
        out.columns.push_back(
            column_out(Type::Int64, c.length, null_count, validity, chunk_values, 8 * c.length));
    }
    return out;
}

expected<std::vector<RowConflict>, ColumnError> sornid_conflicts(
    std::span<const Bytes16Column> chunks, std::uint64_t row0, std::size_t max_rows) {
    const ChunkSource source(chunks, row0);
    if (auto checked = source.check_all(); !checked) return unexpected(std::move(checked.error()));
    std::vector<RowConflict> out;
    find_conflicts(source, static_cast<std::size_t>(source.rows()),
                   [&](ConflictKind&& kind, const auto* begin, const auto* end) {
                       RowConflict r{{kind, {}}, {}, static_cast<std::size_t>(end - begin)};
                       r.conflict.quib_ids.reserve(r.row_count);
                       r.rows.reserve(std::min(r.row_count, max_rows));
                       for (const auto* f = begin; f != end; ++f) {
                           r.conflict.quib_ids.push_back(source.at(f->position));
                           if (r.rows.size() < max_rows) r.rows.push_back(f->position);
                       }
                       out.push_back(std::move(r));
                   });
    return out;
}

}  // namespace sornquibid::columns
