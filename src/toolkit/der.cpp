#include "toolkit/der.h"

#include <charconv>
#include <limits>
#include <new>

#include "toolkit/status.h"

namespace qe {

int DecodeDerElement(const std::uint8_t* data, std::size_t size, DerElement& out) {
    if (data == nullptr || size < 2) {
        return kToolkitDecodeError;
    }
    std::size_t pos = 0;
    const std::uint8_t identifier = data[pos++];
    DerElement element;
    element.cls = static_cast<DerClass>(identifier >> 6);
    element.constructed = (identifier & 0x20) != 0;
    element.tag = identifier & 0x1F;
    if (element.tag == 0x1F) {
        // High tag number form: base 128, at most four octets so it fits in 28 bits.
        element.tag = 0;
        for (int octets = 0;; ++octets) {
            if (pos >= size || octets == 4) {
                return kToolkitDecodeError;
            }
            const std::uint8_t b = data[pos++];
            element.tag = (element.tag << 7) | (b & 0x7F);
            if ((b & 0x80) == 0) {
                break;
            }
        }
    }
    if (pos >= size) {
        return kToolkitDecodeError;
    }
    const std::uint8_t first = data[pos++];
    std::size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        const std::size_t octets = first & 0x7F;
        // 0x80 is the indefinite form, which DER does not allow; more than four length octets
        // would describe a body no delivery can have.
        if (octets == 0 || octets > 4 || size - pos < octets) {
            return kToolkitDecodeError;
        }
        for (std::size_t i = 0; i < octets; ++i) {
            length = (length << 8) | data[pos++];
        }
    }
    if (length > size - pos) {
        return kToolkitDecodeError;
    }
    element.headerSize = pos;
    element.valueSize = length;
    element.value = data + pos;
    out = element;
    return 0;
}

int SplitDer(const Bytes& element, std::vector<Bytes>& children) {
    children.clear();
    DerElement outer;
    if (int rc = DecodeDerElement(element.data(), element.size(), outer); rc != 0) {
        return rc;
    }
    if (outer.TotalSize() != element.size()) {
        return kToolkitDecodeError;
    }
    std::vector<Bytes> result;
    try {
        std::size_t pos = 0;
        while (pos < outer.valueSize) {
            DerElement child;
            if (DecodeDerElement(outer.value + pos, outer.valueSize - pos, child) != 0) {
                return kToolkitDecodeError;
            }
            result.emplace_back(outer.value + pos, outer.value + pos + child.TotalSize());
            pos += child.TotalSize();
        }
    } catch (const std::bad_alloc&) {
        return kToolkitNoMemory;
    }
    children = std::move(result);
    return 0;
}

Bytes EncodeOid(std::string_view dotted) {
    std::vector<std::uint64_t> arcs;
    std::size_t pos = 0;
    while (pos <= dotted.size()) {
        const std::size_t dot = dotted.find('.', pos);
        const std::string_view arc =
            dotted.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(arc.data(), arc.data() + arc.size(), value);
        if (arc.empty() || ec != std::errc() || end != arc.data() + arc.size()) {
            return {};
        }
        arcs.push_back(value);
        if (dot == std::string_view::npos) {
            break;
        }
        pos = dot + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39) ||
        arcs[1] > std::numeric_limits<std::uint64_t>::max() - 80) {
        return {};
    }
    Bytes content;
    const auto appendBase128 = [&content](std::uint64_t value) {
        std::uint8_t groups[10];
        int count = 0;
        do {
            groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
            value >>= 7;
        } while (value != 0);
        while (count > 0) {
            --count;
            content.push_back(static_cast<std::uint8_t>(groups[count] | (count > 0 ? 0x80 : 0)));
        }
    };
    appendBase128(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) {
        appendBase128(arcs[i]);
    }
    Bytes out{static_cast<std::uint8_t>(kDerTagOid)};
    if (content.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(content.size()));
    } else if (content.size() <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(content.size()));
    } else {
        return {};  // no identifier of that length occurs
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes DerEncode(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const std::size_t size = content.size();
    if (size < 0x80) {
        out.push_back(static_cast<std::uint8_t>(size));
    } else {
        Bytes length;
        for (std::size_t v = size; v != 0; v >>= 8) {
            length.insert(length.begin(), static_cast<std::uint8_t>(v & 0xFF));
        }
        out.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes DerUnsignedInteger(const Bytes& bigEndian) {
    std::size_t first = 0;
    while (first + 1 < bigEndian.size() && bigEndian[first] == 0) {
        ++first;
    }
    Bytes content(bigEndian.begin() + static_cast<std::ptrdiff_t>(first), bigEndian.end());
    if (content.empty() || (content.front() & 0x80) != 0) {
        content.insert(content.begin(), 0x00);
    }
    return DerEncode(static_cast<std::uint8_t>(kDerTagInteger), content);
}

bool ReadSmallInteger(const Bytes& element, std::int64_t& value) {
    DerElement e;
    if (DecodeDerElement(element.data(), element.size(), e) != 0 ||
        !e.Is(DerClass::Universal, false, kDerTagInteger) || e.valueSize == 0 || e.valueSize > 4) {
        return false;
    }
    std::int64_t v = (e.value[0] & 0x80) ? -1 : 0;
    for (std::size_t i = 0; i < e.valueSize; ++i) {
        v = v * 256 + e.value[i];
    }
    value = v;
    return true;
}

}  // namespace qe
