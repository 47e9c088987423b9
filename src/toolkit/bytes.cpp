#include "toolkit/bytes.h"

namespace qe {
namespace {

std::string ToHex(const std::uint8_t* data, std::size_t size, const char* digits) {
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

}  // namespace

std::string ToHexLower(const std::uint8_t* data, std::size_t size) {
    return ToHex(data, size, "0123456789abcdef");
}

std::string ToHexUpper(const std::uint8_t* data, std::size_t size) {
    return ToHex(data, size, "0123456789ABCDEF");
}

}  // namespace qe
