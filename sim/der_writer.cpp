#include "sim/der_writer.h"

namespace qe::sim {

Bytes DerTlv(std::uint8_t tag, const Bytes& value) {
    Bytes out;
    out.reserve(value.size() + 6);
    out.push_back(tag);
    const std::size_t size = value.size();
    if (size < 0x80) {
        out.push_back(static_cast<std::uint8_t>(size));
    } else {
        Bytes lengthOctets;
        for (std::size_t rest = size; rest != 0; rest >>= 8) {
            lengthOctets.insert(lengthOctets.begin(), static_cast<std::uint8_t>(rest & 0xFF));
        }
        out.push_back(static_cast<std::uint8_t>(0x80 | lengthOctets.size()));
        out.insert(out.end(), lengthOctets.begin(), lengthOctets.end());
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes DerWrap(std::uint8_t tag, std::initializer_list<const Bytes*> children) {
    Bytes value;
    for (const Bytes* child : children) {
        value.insert(value.end(), child->begin(), child->end());
    }
    return DerTlv(tag, value);
}

Bytes DerSmallInteger(unsigned value) {
    Bytes content;
    do {
        content.insert(content.begin(), static_cast<std::uint8_t>(value & 0xFF));
        value >>= 8;
    } while (value != 0);
    // A set top bit would read as negative.
    if ((content.front() & 0x80) != 0) {
        content.insert(content.begin(), 0x00);
    }
    return DerTlv(kTagInteger, content);
}

}  // namespace qe::sim
