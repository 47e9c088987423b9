#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "request/alt_names.h"
#include "request/keygen_on_token.h"
#include "request/progress_port.h"
#include "toolkit/error_id.h"
#include "toolkit/secret.h"

namespace qe {

// Both build the subject from a field list, select the token once more, post the progress record
// (20, moving to 95 over 600 seconds) and generate the key pair and the request on the token
// (GenerateSigningKeysOnToken), then log "CSR generation finished with status: <code>".
// Each returns the error identifier of the result code: 0 with `pem` (empty when no size was
// given); 49 -> 15 (token full); 98 -> 14 (no size fits, the token-restriction alert); 523 -> 4;
// 48 after a token was selected -> 16 (outdated driver); anything else -> 8. `resultCode`
// receives the raw code (160 for a wrong PIN, whose cached PIN the caller then forgets);
// kTokenReplacedKey -> 26. With `hold`, the generation's session is handed over in it (see
// GenerateSigningKeysOnToken).

// From the server's field list (short keys "C", "CN", ...; values as they stand, a carriage
// return before the line feed included). No extensions are requested.
ErrorId GeneratePKCS10(TokenStep& step, const std::wstring& fieldsText,
                       const std::vector<std::int32_t>& keySizes, const Secret& pin,
                       ProgressPort& progress, std::string& pem, int& resultCode,
                       KeyPairHold* hold = nullptr);

// From the subject of an existing certificate ("OID=value" lines, carriage returns and line feeds
// trimmed from the values; keys without a slot logged as missing mappings), with its alternative
// names requested as a subjectAltName.
ErrorId GeneratePKCS10OIDValidation(TokenStep& step, const std::wstring& dnText,
                                    const RequestedExtensions& extensions,
                                    const std::vector<std::int32_t>& keySizes, const Secret& pin,
                                    ProgressPort& progress, std::string& pem, int& resultCode,
                                    KeyPairHold* hold = nullptr);

}  // namespace qe
