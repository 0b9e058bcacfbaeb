#include "hash.hpp"

#include <bit>
#include <cstring>

namespace sornquibid {
namespace {

struct SipState {
    // The standard initial constants XORed with an all-zero key.
    std::uint64_t v0 = 0x736f6d6570736575ULL;
    std::uint64_t v1 = 0x646f72616e646f6dULL;
    std::uint64_t v2 = 0x6c7967656e657261ULL;
    std::uint64_t v3 = 0x7465646279746573ULL;

    void round() noexcept {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }

    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }

    std::uint64_t finish() noexcept {
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    std::uint64_t m = 0;
    for (int i = 7; i >= 0; --i) m = (m << 8) | p[i];
    return m;
}

std::int64_t finalise(std::uint64_t digest) noexcept {
    auto h = static_cast<std::int64_t>(digest);
    return h == -1 ? -2 : h;
}

}  // namespace

std::uint64_t siphash13_zero_key(const std::uint8_t* data, std::size_t len) noexcept {
    SipState s;
    std::size_t full = len / 8 * 8;
    for (std::size_t i = 0; i < full; i += 8) s.compress(load_le64(data + i));
    // Final block: the remaining bytes, with the length in the top byte.
    std::uint64_t last = static_cast<std::uint64_t>(len & 0xff) << 56;
    for (std::size_t i = 0; i < len - full; ++i)
        last |= static_cast<std::uint64_t>(data[full + i]) << (8 * i);
    s.compress(last);
    return s.finish();
}

std::int64_t identifier_hash64(std::int64_t value) noexcept {
    // Exactly one message block (the value, as little-endian bytes) and
    // the length-only final block.
    SipState s;
    s.compress(static_cast<std::uint64_t>(value));
    s.compress(std::uint64_t{8} << 56);
    return finalise(s.finish());
}

std::int64_t identifier_hash128(const std::uint8_t (&bytes)[16]) noexcept {
    SipState s;
    s.compress(load_le64(bytes));
    s.compress(load_le64(bytes + 8));
    s.compress(std::uint64_t{16} << 56);
    return finalise(s.finish());
}

}  // namespace sornquibid
