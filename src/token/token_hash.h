#pragma once

#include <string>

#include "token/zel_token.h"

namespace qe {

// Computes the token hash, the SHA-1 of the serial number, manufacturer and model (each up to its
// first blank, no separators) as 40 lower-case hexadecimal digits, gives it in `hash` and
// `headerLine` = "TOKEN_HASH: " + hash + "\n". Returns 0, or 8 (device error) when the hash
// cannot be computed, with both unchanged.
int GetTokenHash(const zel_token& token, std::wstring& headerLine, std::string& hash);

}  // namespace qe
