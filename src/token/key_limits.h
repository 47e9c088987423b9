#pragma once

#include <cstdint>

#include <p11-kit/pkcs11.h>

#include "token/token_step.h"
#include "token/zel_token.h"

namespace qe {

// What a token can do with RSA keys of its own: the key sizes it generates and whether it both
// generates key pairs and signs with them itself. There is no software fallback, so a token
// lacking either cannot serve a request.
struct RsaKeyLimits {
    CK_ULONG minBits = 0;
    CK_ULONG maxBits = 0;
    bool generatesKeyPairs = false;  // CKM_RSA_PKCS_KEY_PAIR_GEN offered
    bool signsPkcs1 = false;         // CKM_RSA_PKCS offered with CKF_SIGN

    bool KeysStayOnToken() const { return generatesKeyPairs && signsPkcs1; }
    // Whether a key of `bits` lies within the token's limits (a negative size never does).
    bool Fits(std::int64_t bits) const {
        return bits >= 0 && static_cast<std::uint64_t>(bits) >= minBits &&
               static_cast<std::uint64_t>(bits) <= maxBits;
    }
};

// One cycle of `step` on the record's token: OpenListedToken, then C_GetMechanismInfo of the slot
// for CKM_RSA_PKCS_KEY_PAIR_GEN (ulMinKeySize, ulMaxKeySize) and, when offered, for CKM_RSA_PKCS.
// A mechanism the token answers with CKR_MECHANISM_INVALID is simply not offered. Returns 0, or
// the first failing CK_RV of OpenListedToken (224 when the token is gone) or C_GetMechanismInfo.
CK_RV ReadRsaKeyLimits(TokenStep& step, const zel_token& token, RsaKeyLimits& limits);

}  // namespace qe
