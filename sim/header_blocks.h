#pragma once

#include <string>
#include <utility>
#include <vector>

#include <httplib.h>

namespace qe::sim {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

// The ENROLL_* and TOKEN_* headers of a request: the known ones in the order the wizard writes
// them, then any others of those families.
HeaderLines EnrollHeaders(const httplib::Request& request);

// The token-hash form of the header block (ENROLL_VERSION, ENROLL_LANG, TOKEN_HASH of 40
// lower-case hexadecimal digits). Returns the empty text with `tokenHash` set, or the refusal
// in Romanian.
std::string ReadTokenHashBlock(const httplib::Request& request, std::string& tokenHash);

// The token-description form (ENROLL_VERSION, ENROLL_LANG, TOKEN_SERIAL, TOKEN_MANUFACTURER,
// TOKEN_MODEL, TOKEN_PRODUCT_NAME). Returns the empty text with `tokenHash` set to the token hash
// those values make (SHA-1 of serial, manufacturer and model), or the refusal in Romanian.
std::string ReadTokenDescriptionBlock(const httplib::Request& request, std::string& tokenHash);

// SHA-1 of the three values one after the other, as 40 lower-case hexadecimal digits.
std::string TokenHashOf(const std::string& serial, const std::string& manufacturer,
                        const std::string& model);

}  // namespace qe::sim
