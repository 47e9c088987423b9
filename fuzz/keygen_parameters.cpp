#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/keygen_parameters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto params = qe::KeygenParameters::Parse(text)) {
        const auto sizes = params->OfferedKeySizes();
        const auto restrictions = params->RestrictedTokens();
        qe::FindRestriction(restrictions, "Manufacturer", "Product");
        if (sizes.size() > static_cast<std::size_t>(qe::KeygenParameters::kMaxIndex) + 1) {
            __builtin_trap();  // more records than any index allows
        }
    }
    return 0;
}
