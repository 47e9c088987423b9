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

std::optional<Bytes> FromHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    const auto digit = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    Bytes bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return bytes;
}

}  // namespace qe
