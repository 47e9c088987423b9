#pragma once

#include <p11-kit/pkcs11.h>

namespace qe {

// Result codes of the token operations beside the PKCS#11 values they pass through unchanged
// (and kModuleNotLoaded / kNoFunctionList of token/pkcs11_module.h).
inline constexpr CK_RV TOKEN_MULTIPLE = 0x7701;  // 30465: more than one token is present
inline constexpr CK_RV TOKEN_NONE = 0x7703;      // 30467: no token is present
inline constexpr CK_RV TOKEN_SLOTS = 0x7705;     // one card shown as several tokens

inline constexpr CK_RV kTokenKeyOperationImpossible = 523;  // key generation or signing off-token
inline constexpr CK_RV kTokenKeyNotProtected = 0x7710;  // a new private key readable or exportable
inline constexpr CK_RV kTokenReplacedKey = 0x7711;   // key generation took a certificate's key away
inline constexpr CK_RV kTokenObjectKept = 0x7712;    // destroyed with CKR_OK, yet still there
inline constexpr CK_RV kTokenLoginRefused = 0x7713;  // a PIN login failed without a PIN result
inline constexpr CK_RV kTokenKeygenNeedsAdmin = 0x7714;  // key generation refused to the user
inline constexpr CK_RV kTokenNewPinRefused = 0x7742;     // the token did not take the new PIN
inline constexpr CK_RV kTokenKeygenFixedSlots = 0x7719;  // keys only in places the token fixes
inline constexpr CK_RV kTokenNoMemory = 1792;            // memory could not be obtained
inline constexpr CK_RV kTokenSignKeyNotFound = 1795;     // signing: not exactly one such key
inline constexpr CK_RV kTokenOutputNotEmpty = 1799;      // the output passed in was not empty
inline constexpr CK_RV kTokenNoTokenOrKey = 1800;  // no token in a slot, or (decryption) key count
                                                   // other than one

// A result of C_GetTokenInfo that one vendor returns for a usable token.
inline constexpr CK_RV kVendorTokenInfoOk = 0x80000002;

}  // namespace qe
