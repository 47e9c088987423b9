#pragma once

#include <string>

#include "toolkit/bytes.h"

namespace qe::test {

// Bytes from hex digits; "xN*HH" stands for N copies of the byte HH.
inline Bytes Hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        const std::size_t star = text[i] == 'x' ? text.find('*', i) : std::string::npos;
        const std::size_t copies = star != std::string::npos ? std::stoul(text.substr(i + 1)) : 1;
        i = star != std::string::npos ? star + 1 : i;
        out.insert(out.end(), copies,
                   static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

}  // namespace qe::test
