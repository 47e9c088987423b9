#include <cstddef>
#include <cstdint>

#include "toolkit/der.h"

// Splits the input, then each child, two levels down: every element read must lie inside its
// parent.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const qe::Bytes input(data, data + size);
    std::vector<qe::Bytes> children;
    if (qe::SplitDer(input, children) != 0) {
        return 0;
    }
    for (const qe::Bytes& child : children) {
        std::vector<qe::Bytes> grandchildren;
        if (qe::SplitDer(child, grandchildren) == 0) {
            for (const qe::Bytes& g : grandchildren) {
                std::int64_t value;
                qe::ReadSmallInteger(g, value);
            }
        }
    }
    return 0;
}
