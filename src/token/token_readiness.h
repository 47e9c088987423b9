#pragma once

#include <vector>

#include <p11-kit/pkcs11.h>

#include "token/token_step.h"
#include "token/zel_token.h"

namespace qe {

// What a token lacks for a whole renewal, found before anything is generated or sent: a
// certificate issued for a token that cannot take it or use its key can never be installed.
enum class TokenShortfall {
    NotInitialised,     // CKF_TOKEN_INITIALIZED missing
    PinNotInitialised,  // CKF_USER_PIN_INITIALIZED missing
    PinLocked,          // CKF_USER_PIN_LOCKED
    WriteProtected,     // CKF_WRITE_PROTECTED
    NoKeyGeneration,    // no RSA key pair generation with kRenewalKeyBits inside its limits
    NoDecryption,       // no CKM_RSA_PKCS decryption (the deliveries)
    NoSigning,          // no CKM_RSA_PKCS signature (the request, the TLS handshake, the
                        // declaration when CKM_SHA256_RSA_PKCS is not offered)
    NoRoom,             // less free memory than a key pair and a certificate take
};

// The key size every renewal must be able to use.
inline constexpr CK_ULONG kRenewalKeyBits = 2048;
// Room a key pair and a certificate take, where a token reports its free memory: the public key
// and the certificate in public memory, the private key in private memory.
inline constexpr CK_ULONG kPublicRoomNeeded = 4096;
inline constexpr CK_ULONG kPrivateRoomNeeded = 2048;

// The shortfalls of a token from its information and its mechanisms, in the order of the enum.
std::vector<TokenShortfall> TokenShortfalls(const CK_TOKEN_INFO& info,
                                            const CK_MECHANISM_INFO* keyGeneration,
                                            const CK_MECHANISM_INFO* pkcs1);

// One read-only cycle on the listed token: its information and the mechanisms the renewal uses
// (no login). Returns 0 with `shortfalls` (empty: ready), or the failing CK_RV (224 when the
// token is gone).
CK_RV CheckTokenReadiness(TokenStep& step, const zel_token& token,
                          std::vector<TokenShortfall>& shortfalls);

// The shortfall in words for the log and the doctor ("the user PIN is locked").
const char* ShortfallText(TokenShortfall shortfall);

}  // namespace qe
