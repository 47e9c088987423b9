#pragma once

#include <string>

#include "token/zel_token.h"

namespace qe {

// Computes the token hash, the SHA-1 of the serial number, manufacturer and model (each up to its
// first blank, no separators) as 40 lower-case hexadecimal digits, keeps it process-wide and
// gives `headerLine` = "TOKEN_HASH: " + hash + "\n". Returns 0, or 8 (device error) when the hash
// cannot be computed, with `headerLine` unchanged.
int GetTokenHash(const zel_token& token, std::wstring& headerLine);

// The hash the last successful GetTokenHash kept; empty before the first.
std::string CurrentTokenHash();

}  // namespace qe
