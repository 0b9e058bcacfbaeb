#include "u128.hpp"

namespace sornquibid {

std::string to_decimal(u128 value) {
    char buf[40];
    char* end = buf + sizeof buf;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return std::string(p, end);
}

}  // namespace sornquibid
