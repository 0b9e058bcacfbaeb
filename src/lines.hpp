// Text lines to and from columns: what the command-line tool reads (one
// identifier per line) and writes (CSV lines), without an object per line.
//
// split() turns a chunk of text into a text column with the rules by which
// the tool reads a file: lines end at line feeds only, each line is
// stripped of the characters Python's str.strip() takes away (Unicode
// white space, carriage returns included), and blank lines give no row (or
// a null row). The bytes are not checked to be UTF-8: a line that is not
// fails in the parsers like any other text that is no identifier.
//
// join() does the opposite for the output: rows of text columns as lines of
// comma-separated fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "columns.hpp"

namespace sornquibid::lines {

struct SplitOptions {
    // A blank line is a null row, instead of no row at all.
    bool blank_null = false;
    // A line that is "0x" or "0X" and 32 hexadecimal digits (a BINARY(16)
    // as SQL Server's tools show it) loses its "0x", leaving a text the
    // QuibId parser reads.
    bool hex0x = false;
};

struct Split {
    // One text column (Utf8, or LargeUtf8 for a chunk beyond 32-bit offsets).
    columns::Output output;
    // The lines the chunk holds: its line feeds, and one more when text
    // follows the last one.
    std::size_t lines = 0;
};

// The rows of the text `data`; throws std::bad_alloc.
Split split(std::span<const std::uint8_t> data, const SplitOptions& options);

// The length in bytes of the characters that Python's str.isspace() holds
// to be white space at the start of `text` (`at_end` false) or at its end;
// 0 when there is none.
std::size_t space_length(std::span<const std::uint8_t> text, bool at_end) noexcept;

// One field of the lines that join() writes: a text column as it stands, or
// the text forms of SornId values (int64) or QuibId values (16 bytes,
// packed or as binary values), as str() gives them. A null is an empty field.
struct Field {
    enum class Kind : std::uint8_t { Text, Sorn, Quib };
    Kind kind = Kind::Text;
    columns::TextColumn text;      // Text: a Strings layout (not UCS-4)
    columns::Int64Column int64;    // Sorn
    columns::Bytes16Column bytes16;  // Quib
};

// The most bytes join() writes for `rows` rows of `fields`, or false when
// that does not fit a size_t.
bool joined_size(std::span<const Field> fields, std::size_t rows, std::size_t& size) noexcept;

// Writes `rows` rows of `fields` to `out` (joined_size() bytes at least): the
// fields of each row joined by ',' and ended by '\n'. Returns the bytes
// written, or the first row (numbered from `row0`) whose value the classes
// refuse (a negative SornId; a QuibId of another version or variant, or a
// binary value that is not 16 bytes long).
expected<std::size_t, columns::ColumnError> join(std::span<const Field> fields, std::size_t rows,
                                                 std::uint8_t* out, std::uint64_t row0);

}  // namespace sornquibid::lines
