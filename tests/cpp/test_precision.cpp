// The generation precision: reading QUIBID_PRECISION, the once-set cell, the
// retry after a failure, and the argument parser.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "panic.hpp"
#include "precision.hpp"
#include "quib.hpp"
#include "quib_desc.hpp"
#include "sorn_desc.hpp"

namespace {

using sornquibid::Precision;

std::string try_error() {
    auto r = sornquibid::try_generation_precision();
    return r ? std::string("<ok>") : r.error();
}

std::string panic_message() {
    try {
        sornquibid::generation_precision();
    } catch (const sornquibid::Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

void test_factors() {
    CHECK(sornquibid::units_per_millisecond(Precision::Microseconds) == 1000ULL);
    CHECK(sornquibid::units_per_millisecond(Precision::Femtoseconds) == 1000000000000ULL);
    CHECK(sornquibid::micros_divisor(Precision::Microseconds) == 1);
    CHECK(sornquibid::micros_divisor(Precision::Femtoseconds) == 1000000000ULL);
    CHECK(sornquibid::short_text(Precision::Picoseconds) == "ps");
    CHECK(sornquibid::long_name(Precision::Nanoseconds) == "nanoseconds");
    static_assert(sornquibid::code(Precision::Femtoseconds) == 3);
}

void test_utf8_validation() {
    CHECK(sornquibid::is_valid_utf8(""));
    CHECK(sornquibid::is_valid_utf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
    CHECK(!sornquibid::is_valid_utf8("\xff"));
    CHECK(!sornquibid::is_valid_utf8("\xc3"));            // truncated
    CHECK(!sornquibid::is_valid_utf8("\xc0\xaf"));        // overlong
    CHECK(!sornquibid::is_valid_utf8("\xe0\x80\xaf"));    // overlong
    CHECK(!sornquibid::is_valid_utf8("\xed\xa0\x80"));    // surrogate
    CHECK(!sornquibid::is_valid_utf8("\xf4\x90\x80\x80")); // above U+10FFFF
    CHECK(!sornquibid::is_valid_utf8("a\x80"));
}

void test_try_reads_every_time() {
    unsetenv("QUIBID_PRECISION");
    CHECK(sornquibid::try_generation_precision() == Precision::Nanoseconds);
    const char* codes[] = {"us", "ns", "ps", "fs"};
    for (unsigned c = 0; c < 4; ++c) {
        setenv("QUIBID_PRECISION", codes[c], 1);
        CHECK(sornquibid::try_generation_precision() == sornquibid::precision_from_code(c));
    }
    for (const char* bad : {"NS", " ns", "ns ", "nanoseconds", "", "n"}) {
        setenv("QUIBID_PRECISION", bad, 1);
        CHECK(try_error() ==
              std::string("QUIBID_PRECISION must be one of: us, ns, ps, fs (got '") + bad + "')");
    }
    setenv("QUIBID_PRECISION", "n\xffs", 1);
    CHECK(try_error() == "QUIBID_PRECISION is set but not valid UTF-8");
}

void test_argument_parser() {
    CHECK(sornquibid::parse_precision_argument("femtoseconds") == Precision::Femtoseconds);
    CHECK(sornquibid::parse_precision_argument("us") == Precision::Microseconds);
    auto bad = sornquibid::parse_precision_argument("Femtoseconds");
    CHECK(!bad && bad.error() ==
                      "unknown precision \"Femtoseconds\"; expected one of: microseconds/us, "
                      "nanoseconds/ns, picoseconds/ps, femtoseconds/fs");
}

// Runs last: it fills the process-wide cell.
void test_cell_retries_after_failure_then_stays() {
    setenv("QUIBID_PRECISION", "NS", 1);
    CHECK(panic_message() ==
          "invalid QUIBID_PRECISION: \"QUIBID_PRECISION must be one of: us, ns, ps, fs (got "
          "'NS')\"");
    setenv("QUIBID_PRECISION", "\t", 1);
    CHECK(panic_message() ==
          "invalid QUIBID_PRECISION: \"QUIBID_PRECISION must be one of: us, ns, ps, fs (got "
          "'\\t')\"");
    // Other identifier operations never consult the setting.
    CHECK(sornquibid::QuibIdDesc::from_parts(1, Precision::Picoseconds, 2, 3).has_value());
    CHECK(sornquibid::QuibId::from_str("00000000-0000-8000-8000-000000000000").has_value());

    // Corrected: the next call succeeds. Several threads at once all see the
    // one value.
    setenv("QUIBID_PRECISION", "ps", 1);
    std::vector<std::thread> threads;
    std::vector<int> seen(8, -1);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&seen, i] { seen[i] = sornquibid::code(sornquibid::generation_precision()); });
    }
    for (auto& t : threads) t.join();
    for (int v : seen) CHECK(v == 2);

    // Set for good: later changes, even invalid ones, have no effect.
    setenv("QUIBID_PRECISION", "fs", 1);
    CHECK(sornquibid::generation_precision() == Precision::Picoseconds);
    setenv("QUIBID_PRECISION", "bogus", 1);
    CHECK(sornquibid::generation_precision() == Precision::Picoseconds);
}

void test_invariant_checks_hold_everywhere() {
    // Every stored SornIdDesc decodes without tripping the bit-63 check.
    for (std::int64_t v : {std::int64_t{0}, std::int64_t{1}, std::int64_t{INT64_MAX},
                           sornquibid::kSornDescMask}) {
        auto d = sornquibid::SornIdDesc::from_int(v);
        CHECK(d.has_value());
        CHECK(d->ascending().value >= 0);
    }
}

}  // namespace

int main() {
    test_factors();
    test_utf8_validation();
    test_try_reads_every_time();
    test_argument_parser();
    test_invariant_checks_hold_everywhere();
    test_cell_retries_after_failure_then_stays();
    return core_test::finish("test_precision");
}
