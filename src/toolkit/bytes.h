#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// The bytes of hexadecimal text (two digits a byte, either case); none when it is not that.
std::optional<Bytes> FromHex(std::string_view text);

inline Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
inline std::string ToString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace qe

namespace qe {

// A fixed-width PKCS#11 text field (token or slot information) as text: its bytes up to the first
// blank, or all of them when it has none. Some libraries pad with NULs instead of blanks, so a NUL
// ends the text too.
inline std::string TextUpToBlank(const void* field, std::size_t width) {
    const char* chars = static_cast<const char*>(field);
    std::size_t n = 0;
    while (n < width && chars[n] != ' ' && chars[n] != '\0') {
        ++n;
    }
    return std::string(chars, n);
}

// The same field whole, without its trailing padding (blanks and NULs), for showing and logging.
inline std::string TrimmedField(const void* field, std::size_t width) {
    const char* chars = static_cast<const char*>(field);
    while (width > 0 && (chars[width - 1] == ' ' || chars[width - 1] == '\0')) {
        --width;
    }
    return std::string(chars, width);
}

}  // namespace qe
