// The column kernels' arithmetic against the plain forms it replaces:
// milliseconds by three 64-bit divisions against the 128-bit division, and
// validity bitmaps read at every bit offset; and the kernels over the
// layouts the Python tests reach only through numpy and pyarrow.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "columns.hpp"
#include "convert.hpp"
#include "quib.hpp"
#include "sorn_desc.hpp"

namespace {

using sornquibid::Precision;
using sornquibid::u128;
namespace columns = sornquibid::columns;

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void milliseconds_match_the_division() {
    std::uint64_t state = 1;
    const Precision precisions[] = {Precision::Microseconds, Precision::Nanoseconds,
                                    Precision::Picoseconds, Precision::Femtoseconds};
    std::vector<u128> values = {u128{0}, u128{999}, u128{1000}, sornquibid::kQuibMaxTimestamp,
                                ~u128{0}, u128::from_halves(1, 0), u128::from_halves(0, ~0ULL)};
    for (int i = 0; i < 20000; ++i) {
        values.push_back(u128::from_halves(splitmix(state), splitmix(state)) >>
                         static_cast<int>(splitmix(state) % 128));
    }
    for (const u128 t : values) {
        for (const Precision p : precisions) {
            CHECK(sornquibid::timestamp_to_millis(t, p) ==
                  t / sornquibid::units_per_millisecond(p));
        }
    }
}

// A column of `n` int64 rows from `values`, valid where bit (offset + i) of
// `bits` is set.
void validity_at_every_offset() {
    std::uint64_t state = 7;
    for (std::size_t offset = 0; offset < 17; ++offset) {
        for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 63u, 64u, 65u, 200u}) {
            std::vector<std::uint8_t> bits((offset + n + 7) / 8 + 1);
            for (auto& b : bits) b = static_cast<std::uint8_t>(splitmix(state));
            std::vector<std::int64_t> values(n);
            for (auto& v : values) v = static_cast<std::int64_t>(splitmix(state) >> 1);
            columns::Int64Column column;
            column.values = reinterpret_cast<const std::uint8_t*>(values.data());
            column.length = n;
            column.validity = {bits.data(), offset};
            auto out = columns::flip_sorn(column, {});
            CHECK(out.has_value());
            if (!out) continue;
            const columns::ColumnOut& c = out->columns[0];
            std::size_t nulls = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const bool valid = column.validity.valid(i);
                const bool out_valid =
                    c.validity == nullptr || ((c.validity[i / 8] >> (i % 8)) & 1) != 0;
                CHECK(valid == out_valid);
                std::int64_t v;
                std::memcpy(&v, c.values + 8 * i, 8);
                CHECK(v == (valid ? values[i] ^ sornquibid::kSornDescMask : 0));
                nulls += valid ? 0 : 1;
            }
            CHECK(c.null_count == nulls);
        }
    }
}

std::string text_of(const columns::ColumnOut& c, std::size_t i) {
    std::int32_t begin, end;
    std::memcpy(&begin, c.offsets + 4 * i, 4);
    std::memcpy(&end, c.offsets + 4 * i + 4, 4);
    return std::string(reinterpret_cast<const char*>(c.values) + begin,
                       static_cast<std::size_t>(end - begin));
}

void text_layouts_round_trip() {
    // UCS-4 rows (numpy's str), NUL-padded, and the forms parse_quib_text
    // takes besides the canonical one.
    const std::u32string rows[] = {U"0000000b-cbce-87f1-9b15-000000050007",
                                   U"{0000000B-CBCE-87F1-9B15-000000050007}",
                                   U"0000000bcbce87f19b15000000050007"};
    std::vector<char32_t> ucs4(45 * 3, 0);
    for (int r = 0; r < 3; ++r) std::copy(rows[r].begin(), rows[r].end(), ucs4.begin() + 45 * r);
    columns::TextColumn text;
    text.ucs4 = reinterpret_cast<const std::uint8_t*>(ucs4.data());
    text.width = 45;
    text.length = 3;
    auto parsed = columns::parse_quib(text, {});
    CHECK(parsed.has_value());
    if (!parsed) return;
    columns::Bytes16Column values;
    values.values = parsed->columns[0].values;
    values.length = 3;
    auto formatted = columns::format_quib(values, columns::TextLayout::Utf8, {});
    CHECK(formatted.has_value());
    if (!formatted) return;
    for (std::size_t i = 0; i < 3; ++i) {
        CHECK(text_of(formatted->columns[0], i) == "0000000b-cbce-87f1-9b15-000000050007");
    }
    // A non-ASCII character makes the row unparseable, and its message
    // shows the text as UTF-8.
    ucs4[45 * 2] = U'é';
    auto refused = columns::parse_quib(text, {7, false});
    CHECK(!refused.has_value());
    if (!refused) {
        CHECK(columns::display(refused.error()) ==
              "row 9: invalid QuibId string: \u00e9000000bcbce87f19b15000000050007");
    }
}

}  // namespace

int main() {
    milliseconds_match_the_division();
    validity_at_every_offset();
    text_layouts_round_trip();
    return core_test::finish("test_columns");
}
