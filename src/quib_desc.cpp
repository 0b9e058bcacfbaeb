#include "quib_desc.hpp"

namespace sornquibid {

expected<QuibIdDesc, Error> QuibIdDesc::from_parts(u128 timestamp, Precision precision,
                                                        std::uint16_t node_id,
                                                        std::uint16_t sequence) {
    if (timestamp > kQuibMaxTimestamp) {
        return unexpected(Error{TimestampOutOfRange{timestamp, kQuibTimestampBits}});
    }
    if (node_id > kQuibMaxNode) {
        return unexpected(Error{NodeIdOutOfRange{node_id, kQuibNodeBits}});
    }
    QuibIdDesc d;
    store_be128(pack_quib(timestamp, precision, node_id, sequence) ^ kQuibDescMask, d.bytes);
    return d;
}

expected<QuibIdDesc, Error> QuibIdDesc::from_str(std::string_view text) {
    QuibIdDesc d;
    auto parsed = parse_quib_text(text, d.bytes);
    if (!parsed) return unexpected(std::move(parsed.error()));
    return d;
}

std::string QuibIdDesc::to_string() const {
    std::string s(kQuibTextLength, '\0');
    write_text(s.data());
    return s;
}

}  // namespace sornquibid
