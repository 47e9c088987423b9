#pragma once

#include <string>

#include "net/https_client.h"
#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"
#include "toolkit/secret.h"

namespace qe {

// Opens a delivery with the listed token: the content key is decrypted by the token's private key
// whose modulus is the delivery's key identifier, the content with triple DES, and with `sign` the
// plaintext is signed on the token. Returns 0 with `result` replaced, a delivery code of
// net/envelope.h, or the token's CK_RV (160 for a wrong PIN). `tokenFailure`, when given, gets
// the failing token call's result (0 when the token did not fail).
int OpenEnvelope(TokenStep& step, const Bytes& message, const Secret& pin, const zel_token& token,
                 bool sign, Bytes& result, CK_RV* tokenFailure = nullptr);

// One encrypted delivery: refreshes the token hash, GETs `path` on `client` (connected, header
// block set), checks the key identifier against `pinnedKeyId`, the one the first delivery of the
// download pinned (an empty one is pinned to this delivery's), opens it on `token`'s library.
// Returns 0 with `output` replaced by the plaintext (or with `sign` the signature); 8 when the
// token hash fails; the client's identifier (7, 9, 10); 9 for a body that is not a delivery; 10 for
// another key identifier than the pinned one; 13 for a wrong PIN; 12 when the key is missing; 2
// when the token is gone; 8 for any other failure of the token; 9 for any other failure (the
// delivery cannot be opened). `output` keeps its content on failure. A token's failure as the
// customer is told it: a wrong PIN, a missing key or token, data the key does not open, else a
// token that failed.
ErrorId TokenFailureErrorId(CK_RV rv);

ErrorId RequestAndDecrypt(TokenStep& step, CHttpsClient& client, const Secret& pin, Bytes& output,
                          const zel_token& token, bool sign, const std::wstring& path,
                          Bytes& pinnedKeyId);

}  // namespace qe
