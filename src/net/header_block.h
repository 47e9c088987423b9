#pragma once

#include <optional>
#include <string>

namespace qe {

inline constexpr const char* kEnrollVersion = "2.7.23";
inline constexpr const char* kEnrollLanguage = "RO";

// The two lines every header block starts with: "ENROLL_VERSION: 2.7.23\nENROLL_LANG: RO\n".
std::wstring HeaderBlockStart();

// "TOKEN_HASH: <hash>\n".
std::wstring TokenHashLine(const std::string& tokenHash);

// The token-description block: the two constant lines, then TOKEN_SERIAL, TOKEN_MANUFACTURER,
// TOKEN_MODEL and TOKEN_PRODUCT_NAME (no line feed after the last value). The values are the
// token's fields already cut at their first blank, as UTF-8. Empty when a value is not UTF-8 or
// holds a control character (it would break the header lines apart).
std::optional<std::wstring> TokenDescriptionBlock(const std::string& serial,
                                                  const std::string& manufacturer,
                                                  const std::string& model,
                                                  const std::string& productName);

}  // namespace qe
