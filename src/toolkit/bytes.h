#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qe {

using Bytes = std::vector<std::uint8_t>;

// Two lower-case (or upper-case) hexadecimal digits per byte, first byte first.
std::string ToHexLower(const std::uint8_t* data, std::size_t size);
std::string ToHexUpper(const std::uint8_t* data, std::size_t size);
inline std::string ToHexLower(const Bytes& bytes) {
    return ToHexLower(bytes.data(), bytes.size());
}
inline std::string ToHexUpper(const Bytes& bytes) {
    return ToHexUpper(bytes.data(), bytes.size());
}

inline Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
inline std::string ToString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace qe

namespace qe {

// A fixed-width, blank-padded field (PKCS#11 token information) as text: its bytes up to the first
// blank, or all of them when it has none.
inline std::string TextUpToBlank(const void* field, std::size_t width) {
    const char* chars = static_cast<const char*>(field);
    std::size_t n = 0;
    while (n < width && chars[n] != ' ') {
        ++n;
    }
    return std::string(chars, n);
}

}  // namespace qe
