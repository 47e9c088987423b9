#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "request/alt_names.h"
#include "request/subject_fields.h"
#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/secret.h"

namespace qe {

class KeygenSession;

// What a generation hands to the caller that sends its request: the session it ran in, still
// logged in and holding the new pair, for KeygenSession::RequestSent and Settle.
struct KeyPairHold {
    bool certificateWaits = false;  // the last status check found an issued certificate waiting
    std::unique_ptr<KeygenSession> session;
    KeyPairHold();
    ~KeyPairHold();
};

// Tries the key sizes in order ("Using key of size N", and "Cannot use key of size N" before
// the next) until the token accepts one, then generates the key pair on the token and returns
// the request signed there, as PEM. Returns the result of the last size tried: 0 with `pem`
// set; 98 (CKR_KEY_SIZE_RANGE) when no size fits; any other code of SL_GenerateSigningKeysOnToken.
// An empty list generates nothing and returns 0 with `pem` untouched. With `hold`, the pairs
// earlier runs left are settled first (KeygenSession::SettleEarlierKeyPairs) and a successful
// generation's session is handed over in it; without, the new pair simply stays on the token.
CK_RV GenerateSigningKeysOnToken(TokenStep& step, const std::vector<std::int32_t>& keySizes,
                                 const zel_token& token, const Secret& pin,
                                 const SubjectFields& subject,
                                 const RequestedExtensions* extensions, std::string& pem,
                                 KeyPairHold* hold = nullptr);

// One size: checks the token's RSA limits, generates an RSA key pair of `keySize` bits on the
// token ("Tarnwick Public Key" / "Tarnwick Private Key", a fresh provisional CKA_ID), checks that
// the token kept every certificate with its key, reads the public key back, builds the PKCS#10
// request (the subject, the subjectAltName request when
// `extensions` is given) and has the token sign it. The private key never leaves the token.
// Returns 0 with `pem` set; the failing CK_RV of the key limits or the token calls (160 for a
// wrong PIN, 49 when the token is full); 98 when the size lies outside the token's limits (the
// token is not touched further); kTokenKeyOperationImpossible (523) when the token does not
// generate RSA key pairs or sign with CKM_RSA_PKCS itself, or when signing fails; 0xFFFFFFFF when
// the library has no C_GetFunctionList; the request toolkit's codes (1799 empty value, 1809 not
// printable, ...), which are found before any key is generated; kTokenReplacedKey when the
// generation took a certificate's key away (the token is then left as it is).
CK_RV SL_GenerateSigningKeysOnToken(TokenStep& step, std::int32_t keySize, const zel_token& token,
                                    const Secret& pin, const SubjectFields& subject,
                                    const RequestedExtensions* extensions, std::string& pem,
                                    KeyPairHold* hold = nullptr);

}  // namespace qe
