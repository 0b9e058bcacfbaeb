#include "sorn_desc.hpp"

namespace sornquibid {

expected<SornIdDesc, Error> SornIdDesc::from_parts(std::uint64_t timestamp_ms,
                                                        std::uint16_t node_id,
                                                        std::uint16_t sequence) {
    auto v = pack_sorn_fields(timestamp_ms, node_id, sequence);
    if (!v) return unexpected(std::move(v.error()));
    return SornIdDesc{*v ^ kSornDescMask};
}

expected<SornIdDesc, Error> SornIdDesc::from_str(std::string_view text) {
    auto v = parse_sorn_text(text);
    if (!v) return unexpected(std::move(v.error()));
    return SornIdDesc{*v};
}

std::string SornIdDesc::to_string() const {
    char buf[kMaxDecimal64];
    return std::string(buf, format_decimal_u63(value, buf));
}

}  // namespace sornquibid
