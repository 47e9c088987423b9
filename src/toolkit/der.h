#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "toolkit/bytes.h"

namespace qe {

// ASN.1 classes as they stand in bits 8 and 7 of the identifier octet.
enum class DerClass : std::uint8_t { Universal = 0, Application = 1, Context = 2, Private = 3 };

inline constexpr std::uint32_t kDerTagInteger = 2;
inline constexpr std::uint32_t kDerTagOctetString = 4;
inline constexpr std::uint32_t kDerTagOid = 6;
inline constexpr std::uint32_t kDerTagSequence = 16;
inline constexpr std::uint32_t kDerTagSet = 17;

// One decoded element: a view into the buffer it was decoded from.
struct DerElement {
    DerClass cls = DerClass::Universal;
    bool constructed = false;
    std::uint32_t tag = 0;
    std::size_t headerSize = 0;
    std::size_t valueSize = 0;
    const std::uint8_t* value = nullptr;

    std::size_t TotalSize() const { return headerSize + valueSize; }
    bool Is(DerClass c, bool isConstructed, std::uint32_t number) const {
        return cls == c && constructed == isConstructed && tag == number;
    }
};

// Decodes the element that starts at data. Only definite lengths are read; a length that runs past
// size, an indefinite length, or a tag or length too large to represent gives kToolkitDecodeError.
int DecodeDerElement(const std::uint8_t* data, std::size_t size, DerElement& out);

// Splits one DER element (the whole of `element`, nothing after it) into copies of its children,
// each a complete TLV, in order. Returns 0, kToolkitNoMemory or kToolkitDecodeError; on failure
// `children` is left empty.
int SplitDer(const Bytes& element, std::vector<Bytes>& children);

// The complete DER OBJECT IDENTIFIER (tag, length, content) of a dotted text such as
// "1.2.840.113549.1.7.3"; empty when the text is not a valid identifier. Used to compare
// identifiers byte for byte.
Bytes EncodeOid(std::string_view dotted);

// One DER element: the tag octet, the definite length, the content.
Bytes DerEncode(std::uint8_t tag, const Bytes& content);

// The DER INTEGER of an unsigned big-endian number (leading zero octets dropped, one put back
// when the high bit is set).
Bytes DerUnsignedInteger(const Bytes& bigEndian);

// Reads a DER element's value as a signed number when it is a universal primitive INTEGER of at
// most four value octets; returns false otherwise.
bool ReadSmallInteger(const Bytes& element, std::int64_t& value);

}  // namespace qe
