#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/cert_fields.h"
#include "toolkit/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto text = qe::Utf8ToWide(body);
    if (!text) {
        return 0;
    }
    for (auto rule : {qe::FieldValueRule::Unchanged, qe::FieldValueRule::TrimLineEnds}) {
        if (!qe::ReadCertFields(*text, rule)) {
            __builtin_trap();  // text that decoded from UTF-8 always encodes back
        }
    }
    qe::ReadRenewableSerials(*text);
    return 0;
}
