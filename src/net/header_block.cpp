#include "net/header_block.h"

#include <algorithm>

#include "toolkit/utf8.h"

namespace qe {
namespace {

std::wstring Widen(const char* ascii) {
    return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii));
}

bool HasControlCharacter(const std::wstring& text) {
    return std::any_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
}

}  // namespace

std::wstring HeaderBlockStart() {
    return L"ENROLL_VERSION: " + Widen(kEnrollVersion) + L"\nENROLL_LANG: " +
           Widen(kEnrollLanguage) + L"\n";
}

std::wstring TokenHashLine(const std::string& tokenHash) {
    return L"TOKEN_HASH: " + std::wstring(tokenHash.begin(), tokenHash.end()) + L"\n";
}

std::optional<std::wstring> TokenDescriptionBlock(const std::string& serial,
                                                  const std::string& manufacturer,
                                                  const std::string& model,
                                                  const std::string& productName) {
    const std::pair<const wchar_t*, const std::string*> lines[] = {
        {L"TOKEN_SERIAL: ", &serial},
        {L"TOKEN_MANUFACTURER: ", &manufacturer},
        {L"TOKEN_MODEL: ", &model},
        {L"TOKEN_PRODUCT_NAME: ", &productName},
    };
    std::wstring block = HeaderBlockStart();
    bool first = true;
    for (const auto& [name, value] : lines) {
        const auto wide = Utf8ToWide(*value);
        if (!wide || HasControlCharacter(*wide)) {
            return std::nullopt;
        }
        if (!first) {
            block += L"\n";
        }
        first = false;
        block += name;
        block += *wide;
    }
    return block;
}

}  // namespace qe
