#pragma once

#include <string>

#include <p11-kit/pkcs11.h>

#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"
#include "toolkit/secret.h"

namespace qe {

// Both run one cycle of `step` on the listed token (found again as CPKI::OpenListedToken does):
// close the slot's sessions (outside a step), open a read-write session, log in with the PIN (a
// login in place counts), find the private key whose CKA_MODULUS equals `keyId` without its leading
// zero octets, use it once (logging in again for the use when the key demands it) into a buffer as
// long as the modulus, log out, close. `output` must come in empty; it receives the result only
// on success. Every temporary buffer is wiped.
//
// Results: 0; kTokenOutputNotEmpty (1799); kModuleNotLoaded (7) / kNoFunctionList (84);
// CKR_TOKEN_NOT_PRESENT (224) when the token is not there; the failing call's CK_RV (160 for a
// wrong PIN).

// Decrypts `input` with CKM_RSA_PKCS. No key, or more than one: kTokenNoTokenOrKey (1800).
CK_RV TokenDecrypt(TokenStep& step, const zel_token& token, const Bytes& keyId, const Secret& pin,
                   const Bytes& input, Bytes& output);

// Signs `input` with SHA-256 and RSA PKCS#1 v1.5: CKM_SHA256_RSA_PKCS when the token offers it,
// else CKM_RSA_PKCS over the SHA-256 DigestInfo computed here (the same signature). No key, or
// more than one: kTokenSignKeyNotFound (1795).
CK_RV TokenSign(TokenStep& step, const zel_token& token, const Bytes& keyId, const Secret& pin,
                const Bytes& input, Bytes& output);

}  // namespace qe
