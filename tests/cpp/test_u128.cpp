// The 128-bit integer: the two-word form against the compiler's own 128-bit
// arithmetic, operation by operation, over edge values and pseudo-random
// values of every magnitude; identities that hold in whichever form the
// build uses; decimal text and big-endian bytes.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "u128.hpp"

namespace {

using sornquibid::u128;
using Words = sornquibid::u128_detail::Basic<sornquibid::u128_detail::Words>;
using Halves = std::pair<std::uint64_t, std::uint64_t>;

constexpr std::uint64_t kMax64 = ~std::uint64_t{0};

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Edge values of both halves and carries between them, then pseudo-random
// values cut to random widths, so that every magnitude occurs.
std::vector<Halves> sample_values() {
    std::vector<Halves> v = {
        {0, 0},          {0, 1},          {0, 2},          {0, 9},
        {0, 10},         {0, 0xFFFFFFFF}, {0, 1ULL << 32}, {0, 1ULL << 63},
        {0, kMax64},     {1, 0},          {1, 1},          {1, kMax64},
        {0xFFFFFFFF, 0}, {1ULL << 63, 0}, {kMax64, 0},     {kMax64, kMax64},
        {kMax64, kMax64 - 1},
        {0x0000000001FFFFFFULL, 0xFFFFFFFFFFFFFFFFULL},  // 2^89 - 1
    };
    std::uint64_t state = 20231114;
    for (int i = 0; i < 150; ++i) {
        const Words w = Words::from_halves(splitmix(state), splitmix(state)) >>
                        static_cast<int>(splitmix(state) % 128);
        v.emplace_back(w.high64(), w.low64());
    }
    return v;
}

// Divisors: the core's own (powers of ten), the edges of a 32-bit digit, and
// pseudo-random ones of every width.
std::vector<std::uint64_t> sample_divisors() {
    std::vector<std::uint64_t> d = {1,           2,           3,           7,
                                    10,          1000,        1000000,     1000000000,
                                    1000000000000ULL,         0xFFFFFFFF,  1ULL << 32,
                                    (1ULL << 32) + 1,         1ULL << 63,  kMax64,
                                    kMax64 - 1,  10000000000000000000ULL};
    std::uint64_t state = 7;
    for (int i = 0; i < 40; ++i) {
        const std::uint64_t r = splitmix(state) >> (splitmix(state) % 64);
        d.push_back(r == 0 ? 1 : r);
    }
    return d;
}

template <class A, class B>
bool same(A a, B b) {
    return a.high64() == b.high64() && a.low64() == b.low64();
}

#if SORNQUIBID_HAS_BUILTIN_INT128
using Builtin = sornquibid::u128_detail::Basic<sornquibid::u128_detail::Builtin>;

void test_words_match_builtin() {
    const auto values = sample_values();
    const auto divisors = sample_divisors();
    for (const auto& [ah, al] : values) {
        const Words a = Words::from_halves(ah, al);
        const Builtin ab = Builtin::from_halves(ah, al);
        CHECK(same(~a, ~ab));
        for (int n = 0; n < 128; ++n) {
            CHECK(same(a << n, ab << n));
            CHECK(same(a >> n, ab >> n));
        }
        for (const std::uint64_t d : divisors) {
            CHECK(same(a / d, ab / d));
            CHECK(same(a % d, ab % d));
        }
        for (const auto& [bh, bl] : values) {
            const Words b = Words::from_halves(bh, bl);
            const Builtin bb = Builtin::from_halves(bh, bl);
            CHECK(same(a + b, ab + bb));
            CHECK(same(a - b, ab - bb));
            CHECK(same(a * b, ab * bb));
            CHECK(same(a & b, ab & bb));
            CHECK(same(a | b, ab | bb));
            CHECK(same(a ^ b, ab ^ bb));
            CHECK((a == b) == (ab == bb));
            CHECK((a <=> b) == (ab <=> bb));
        }
    }
    // Conversions from and to the standard integer types.
    for (const long long s : {0LL, 1LL, -1LL, -5LL, 0x7FFFFFFFFFFFFFFFLL, -0x7FFFFFFFFFFFFFFFLL - 1}) {
        CHECK(same(Words(s), Builtin(s)));
        CHECK(same(Words(static_cast<int>(s)), Builtin(static_cast<int>(s))));
    }
    const Words w = Words::from_halves(0x0123456789ABCDEFULL, 0xFEDCBA9876543210ULL);
    const Builtin b = Builtin::from_halves(0x0123456789ABCDEFULL, 0xFEDCBA9876543210ULL);
    CHECK(static_cast<std::uint16_t>(w) == static_cast<std::uint16_t>(b));
    CHECK(static_cast<std::int64_t>(w) == static_cast<std::int64_t>(b));
    CHECK(static_cast<bool>(Words{}) == static_cast<bool>(Builtin{}));
    CHECK(static_cast<bool>(Words(1) << 100) == static_cast<bool>(Builtin(1) << 100));
}
#endif

// Identities of the form the build uses (the only check of the two-word form
// where the compiler has no 128-bit integer to compare with).
void test_identities() {
    const auto values = sample_values();
    for (const auto& [ah, al] : values) {
        const u128 a = u128::from_halves(ah, al);
        CHECK(a.high64() == ah && a.low64() == al);
        for (const std::uint64_t d : sample_divisors()) {
            const u128 q = a / d, r = a % d;
            CHECK(r < d);
            CHECK(q * d + r == a);
        }
        for (const auto& [bh, bl] : values) {
            const u128 b = u128::from_halves(bh, bl);
            CHECK(a + b - b == a);
            CHECK(((a & b) | (a ^ b)) == (a | b));
            CHECK((a < b) == (ah < bh || (ah == bh && al < bl)));
        }
        for (int n = 1; n < 128; ++n) CHECK(((a << n) >> n) == (a & (~u128{0} >> n)));
    }
}

void test_decimal_text() {
    using sornquibid::to_decimal;
    CHECK(to_decimal(0) == "0");
    CHECK(to_decimal(7) == "7");
    CHECK(to_decimal(kMax64) == "18446744073709551615");
    CHECK(to_decimal(u128::from_halves(1, 0)) == "18446744073709551616");
    CHECK(to_decimal(u128::from_halves(kMax64, kMax64)) ==
          "340282366920938463463374607431768211455");
    CHECK(to_decimal((u128{1} << 89) - 1) == "618970019642690137449562111");
}

void test_big_endian_bytes() {
    const u128 v = u128::from_halves(0x0011223344556677ULL, 0x8899AABBCCDDEEFFULL);
    std::uint8_t bytes[16];
    sornquibid::store_be128(v, bytes);
    for (int i = 0; i < 16; ++i) CHECK(bytes[i] == 0x11 * i);
    CHECK(sornquibid::load_be128(bytes) == v);
}

// Everything is usable in constant expressions, in both forms.
template <class T>
constexpr bool constant_evaluation_works() {
    constexpr T max = ~T{};
    static_assert(max % 10 == 5 && max / 10000000000000000000ULL % 100 == 46);
    static_assert((T{1} << 127 >> 127) == 1 && (max >> 64) * 3 == T::from_halves(2, kMax64 - 2));
    static_assert(T::from_halves(0, kMax64) + 1 == T::from_halves(1, 0));
    static_assert(T{} - 1 == max && static_cast<std::uint8_t>(max) == 0xFF);
    return true;
}
static_assert(constant_evaluation_works<Words>());
static_assert(constant_evaluation_works<u128>());

constexpr bool stored_at_compile_time() {
    std::uint8_t bytes[16] = {};
    sornquibid::store_be128(u128::from_halves(0x0102030405060708ULL, 0x090A0B0C0D0E0F10ULL), bytes);
    for (int i = 0; i < 16; ++i) {
        if (bytes[i] != i + 1) return false;
    }
    return sornquibid::load_be128(bytes).low64() == 0x090A0B0C0D0E0F10ULL;
}
static_assert(stored_at_compile_time());

}  // namespace

int main() {
#if SORNQUIBID_HAS_BUILTIN_INT128
    test_words_match_builtin();
#endif
    test_identities();
    test_decimal_text();
    test_big_endian_bytes();
    return core_test::finish("test_u128");
}
