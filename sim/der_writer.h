#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "toolkit/bytes.h"

namespace qe::sim {

// Identifier octets the simulator writes.
inline constexpr std::uint8_t kTagInteger = 0x02;
inline constexpr std::uint8_t kTagOctetString = 0x04;
inline constexpr std::uint8_t kTagNull = 0x05;
inline constexpr std::uint8_t kTagSequence = 0x30;
inline constexpr std::uint8_t kTagSet = 0x31;
inline constexpr std::uint8_t kTagContext0 = 0xA0;  // [0], constructed
inline constexpr std::uint8_t kTagContext1 = 0xA1;  // [1], constructed
inline constexpr std::uint8_t kTagContext0Primitive = 0x80;

// One element with a definite length in its shortest form.
Bytes DerTlv(std::uint8_t tag, const Bytes& value);

// The children one after the other, wrapped in one element.
Bytes DerWrap(std::uint8_t tag, std::initializer_list<const Bytes*> children);

// An INTEGER holding a small non-negative number.
Bytes DerSmallInteger(unsigned value);

inline Bytes DerOctetString(const Bytes& value) {
    return DerTlv(kTagOctetString, value);
}
inline Bytes DerNull() {
    return Bytes{kTagNull, 0x00};
}

}  // namespace qe::sim
