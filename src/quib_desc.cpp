#include "quib_desc.hpp"

#include <cstring>

namespace sornquibid {

std::expected<QuibIdDesc, Error> QuibIdDesc::from_parts(u128 timestamp, Precision precision,
                                                        std::uint16_t node_id,
                                                        std::uint16_t sequence) {
    auto asc = QuibId::from_parts(timestamp, precision, node_id, sequence);
    if (!asc) return std::unexpected(std::move(asc.error()));
    QuibIdDesc d;
    store_be128(asc->value() ^ kQuibDescMask, d.bytes);
    return d;
}

std::expected<QuibIdDesc, Error> QuibIdDesc::from_bytes(const std::uint8_t (&bytes)[16]) {
    auto checked = check_quib_bytes(bytes);
    if (!checked) return std::unexpected(std::move(checked.error()));
    QuibIdDesc d;
    std::memcpy(d.bytes, bytes, 16);
    return d;
}

std::expected<QuibIdDesc, Error> QuibIdDesc::from_str(std::string_view text) {
    QuibIdDesc d;
    auto parsed = parse_quib_text(text, d.bytes);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return d;
}

std::string QuibIdDesc::to_string() const {
    std::string s(kQuibTextLength, '\0');
    write_text(s.data());
    return s;
}

}  // namespace sornquibid
