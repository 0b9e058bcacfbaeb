// Column kernels: the identifier operations over whole columns of raw values,
// without an object per identifier.
//
// A column arrives as spans of raw values in one of the layouts that numpy
// and Arrow use (64-bit integers; 16-byte values, packed or as
// variable-length binary; text as UTF-8 with offsets or views, or as
// fixed-width UCS-4), with an optional Arrow validity bitmap. A kernel checks
// every row as the identifier classes do, writes its output into one new
// allocation (a Block, which may hold several output columns), and reports
// the first bad row with the classes' own error, or, when asked, turns bad
// rows into nulls. Rows that are null on input stay null and are never
// checked.
//
// Everything here works on one chunk at a time, with `row0` numbering its
// first row, except quib_to_sorn and sornid_conflicts, which take a whole
// column as its chunks: the renumbering needs every identifier of a group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "compat.hpp"
#include "convert.hpp"
#include "error.hpp"
#include "precision.hpp"

namespace sornquibid::columns {

// ---------------------------------------------------------------------------
// Input

// Which rows hold a value: Arrow's validity bitmap, in which row i is bit
// (offset + i) % 8, least significant first, of byte (offset + i) / 8; or,
// with no bitmap, every row.
struct Validity {
    const std::uint8_t* bits = nullptr;
    std::size_t offset = 0;

    bool valid(std::size_t i) const noexcept {
        if (bits == nullptr) return true;
        const std::size_t bit = offset + i;
        return ((bits[bit >> 3] >> (bit & 7)) & 1) != 0;
    }
};

// Variable-length byte strings in one of Arrow's layouts (binary and
// string: 32-bit offsets; large_binary and large_string: 64-bit offsets;
// binary_view and string_view: 16-byte views into data buffers), or spans
// gathered by the caller.
struct Strings {
    enum class Layout : std::uint8_t { Offsets32, Offsets64, Views, Spans };

    Layout layout = Layout::Spans;
    // Offsets32/64: length + 1 offsets, starting at the column's first row;
    // Views: one 16-byte view per row.
    const std::uint8_t* offsets = nullptr;
    // Offsets32/64: the bytes the offsets point into.
    const std::uint8_t* data = nullptr;
    // Views: the data buffers and their sizes.
    const std::uint8_t* const* buffers = nullptr;
    const std::uint8_t* buffer_sizes = nullptr;  // 64-bit sizes
    std::size_t buffer_count = 0;
    // Spans: one per row.
    const std::string_view* spans = nullptr;

    // Row i, which check() has accepted.
    std::string_view at(std::size_t i) const noexcept;
};

// Whether the Arrow layout of `strings` over `length` rows is sound as far
// as it can be told: offsets that never decrease and are never negative,
// views that stay inside their buffers. The data buffer of the offset
// layouts has no stated size; the offsets are trusted to stay inside it.
// The error is a message for the caller.
expected<void, std::string> check(const Strings& strings, std::size_t length);

// 64-bit integers in native byte order; they need not be aligned.
struct Int64Column {
    const std::uint8_t* values = nullptr;
    std::size_t length = 0;
    Validity validity;

    std::int64_t at(std::size_t i) const noexcept {
        std::int64_t v;
        std::memcpy(&v, values + 8 * i, 8);
        return v;
    }
};

// 16-byte values: packed (`values`, 16 bytes per row), or variable-length
// binary (`strings`), every value of which must be 16 bytes long.
struct Bytes16Column {
    const std::uint8_t* values = nullptr;
    Strings strings;
    std::size_t length = 0;
    Validity validity;
};

// Text: UTF-8 (`strings`), or fixed-width UCS-4 (`ucs4`, `width` code
// points per row, as numpy stores str), whose trailing NULs are padding and
// not part of the text.
struct TextColumn {
    const std::uint8_t* ucs4 = nullptr;
    std::size_t width = 0;
    Strings strings;
    std::size_t length = 0;
    Validity validity;
};

// ---------------------------------------------------------------------------
// Errors

// A value of a variable-length binary column that is not 16 bytes long.
struct WrongLength {
    std::size_t length;
};
// A null in the order column of quib_to_sorn where the column has a value.
struct NullOrder {};

using Fault = std::variant<Error, ConversionError, WrongLength, NullOrder>;

// What is wrong with which row; rows are numbered from the column's `row0`.
struct ColumnError {
    std::uint64_t row;
    Fault fault;
};

// "row 17: " followed by the message the classes give for the fault:
// "row 17: invalid QuibId string: abc", "row 3: sornid must be non-negative",
// "row 9: expected 16 bytes, got 15", "row 4: order is null".
std::string display(const ColumnError& error);

// ---------------------------------------------------------------------------
// Output

// One allocation holding the buffers of a kernel's output columns, each
// buffer aligned to 64 bytes.
class Block {
public:
    Block() noexcept = default;
    // `size` bytes, uninitialised; throws std::bad_alloc.
    explicit Block(std::size_t size);

    std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t kAlignment = 64;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    // Frees with the alignment the block was allocated with.
    struct Free {
        void operator()(std::uint8_t* p) const noexcept {
            ::operator delete(p, std::align_val_t{alignment});
        }
        std::size_t alignment;
    };

    std::unique_ptr<std::uint8_t, Free> data_{nullptr, Free{kAlignment}};
    std::size_t size_ = 0;
};

// The physical types of the output columns, each an Arrow type:
enum class Type : std::uint8_t {
    Int64,       // int64
    Int32,       // int32
    Bool,        // boolean: one bit per row
    BoolBytes,   // one byte per row, 0 or 1 (numpy's bool; no Arrow export)
    Bytes16,     // fixed_size_binary(16)
    Decimal128,  // decimal128(27, 0): 16 bytes per row, little-endian
    Utf8,        // string: 32-bit offsets
    LargeUtf8,   // large_string: 64-bit offsets
    Ucs4,        // fixed-width UCS-4, `width` code points per row (numpy's str; no Arrow export)
};

// One output column: its buffers inside the Block, starting at row `offset`
// (so several columns can share one buffer, as the chunks of quib_to_sorn
// do).
struct ColumnOut {
    Type type = Type::Int64;
    std::size_t length = 0;
    std::size_t offset = 0;
    std::size_t null_count = 0;
    std::size_t width = 0;               // Ucs4
    const std::uint8_t* validity = nullptr;  // null when no row is null
    const std::uint8_t* offsets = nullptr;   // Utf8, LargeUtf8
    const std::uint8_t* values = nullptr;    // the values, or the text bytes
    std::size_t values_size = 0;             // bytes of `values` from row 0
};

struct Output {
    Block block;
    std::vector<ColumnOut> columns;
};

// How a kernel goes about a chunk: its first row's number in messages, and
// whether a bad row becomes null (true) or fails the call (false).
struct Options {
    std::uint64_t row0 = 0;
    bool nulls = false;
};

using Result = expected<Output, ColumnError>;

// ---------------------------------------------------------------------------
// Kernels

// SornId values to the QuibId images of SornId.batch_to_quibids at
// `precision` (Bytes16). A negative value is NegativeSornId.
Result sorn_to_quib(const Int64Column& column, Precision precision, const Options& options);

// SornId to SornIdDesc and back (Int64): the flip mask is its own inverse. A
// negative value is NegativeSornId.
Result flip_sorn(const Int64Column& column, const Options& options);

// QuibId to QuibIdDesc and back (Bytes16), with the version and variant
// checks of the classes.
Result flip_quib(const Bytes16Column& column, const Options& options);

// Text to values as SornId.from_str (Int64) or QuibId.from_str (Bytes16)
// parse it; the descending classes parse alike.
Result parse_sorn(const TextColumn& column, const Options& options);
Result parse_quib(const TextColumn& column, const Options& options);

// Values to their text forms, as str() gives them: Utf8 (LargeUtf8 for a
// chunk whose text might outgrow 32-bit offsets), LargeUtf8, or Ucs4 (19
// code points for the 64-bit family, 36 for the 128-bit one).
enum class TextLayout : std::uint8_t { Utf8, LargeUtf8, Ucs4 };
// The most bytes (code points) of one text form.
inline constexpr std::size_t kSornTextMax = 19;
Result format_sorn(const Int64Column& column, TextLayout layout, const Options& options);
Result format_quib(const Bytes16Column& column, TextLayout layout, const Options& options);

// The fields of each value, as the properties of the class give them (the
// descending classes decode theirs): for the 64-bit family `timestamp_ms`
// (Int64), `node_id` and `sequence` (Int32); for the 128-bit family
// `timestamp` (Decimal128), `precision` ("us", "ns", "ps" or "fs": Utf8, or
// Ucs4 of width 2 when `ucs4`), `node_id` and `sequence` (Int32). The
// columns share one validity bitmap.
Result fields_sorn(const Int64Column& column, bool desc, const Options& options);
Result fields_quib(const Bytes16Column& column, bool desc, bool ucs4, const Options& options);

// Whether each value is a valid identifier (Bool, or BoolBytes when
// `bytes`): a SornId or SornIdDesc is never negative; a QuibId or
// QuibIdDesc has version 8 and the RFC 4122 variant (and, from binary, 16
// bytes); a text parses. Null rows stay null. Never fails.
Output validate_sorn(const Int64Column& column, bool bytes);
Output validate_quib(const Bytes16Column& column, bool bytes);
// `quib`: the text of a 128-bit identifier, else of a 64-bit one.
Output validate_text(const TextColumn& column, bool quib, bool bytes);

// For each QuibId, the SornId of sequence 0 of its (millisecond, node id)
// group (Int64): the key by which rows that share a group can be brought
// together. A node id or millisecond value that does not fit fails with
// the ConversionError batch_to_sornids gives for it.
Result sorn_group(const Bytes16Column& column, const Options& options);

// The SornId that QuibId.batch_to_sornids pairs with each QuibId of the whole
// column (the chunks, rows numbered from `row0`): one Int64 output column
// per input chunk, sharing one buffer, nulls where the input has them.
// Equal QuibIds of one group are numbered in ascending `order`, when there
// is one (an Int64 column of the same length, chunked as it may be), else
// in row order. Fails where batch_to_sornids fails, with its error and the
// row that decided it: the first row with a node-id or timestamp fault, or
// the first row of the first-appearing group of more than 8192.
Result quib_to_sorn(std::span<const Bytes16Column> chunks, std::span<const Int64Column> order,
                    std::uint64_t row0);

// One conflict of the check with the rows involved: the first `max_rows`
// of them in row order, and how many there are.
struct RowConflict {
    ConversionConflict conflict;
    std::vector<std::uint64_t> rows;
    std::size_t row_count = 0;
};

// QuibId.check_sornid_convertibility over the whole column, with rows.
// Fails only on a value that is not a QuibId.
expected<std::vector<RowConflict>, ColumnError> sornid_conflicts(
    std::span<const Bytes16Column> chunks, std::uint64_t row0, std::size_t max_rows);

}  // namespace sornquibid::columns
