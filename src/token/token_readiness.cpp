#include "token/token_readiness.h"

#include "token/pkcs11_call.h"
#include "token/pki.h"

namespace qe {
namespace {

// The mechanism's information, or null when the token does not offer it.
const CK_MECHANISM_INFO* Offered(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_MECHANISM_TYPE type,
                                 CK_MECHANISM_INFO& info) {
    return fn->C_GetMechanismInfo(slot, type, &info) == CKR_OK ? &info : nullptr;
}

bool Reported(CK_ULONG value) {
    return value != CK_UNAVAILABLE_INFORMATION;
}

}  // namespace

std::vector<TokenShortfall> TokenShortfalls(const CK_TOKEN_INFO& info,
                                            const CK_MECHANISM_INFO* keyGeneration,
                                            const CK_MECHANISM_INFO* pkcs1) {
    std::vector<TokenShortfall> missing;
    const auto lacks = [&missing](bool condition, TokenShortfall shortfall) {
        if (condition) {
            missing.push_back(shortfall);
        }
    };
    lacks((info.flags & CKF_TOKEN_INITIALIZED) == 0, TokenShortfall::NotInitialised);
    lacks((info.flags & CKF_USER_PIN_INITIALIZED) == 0, TokenShortfall::PinNotInitialised);
    lacks((info.flags & CKF_USER_PIN_LOCKED) != 0, TokenShortfall::PinLocked);
    lacks((info.flags & CKF_WRITE_PROTECTED) != 0, TokenShortfall::WriteProtected);
    lacks(keyGeneration == nullptr || (keyGeneration->flags & CKF_GENERATE_KEY_PAIR) == 0 ||
              keyGeneration->ulMinKeySize > kRenewalKeyBits ||
              keyGeneration->ulMaxKeySize < kRenewalKeyBits,
          TokenShortfall::NoKeyGeneration);
    lacks(pkcs1 == nullptr || (pkcs1->flags & CKF_DECRYPT) == 0, TokenShortfall::NoDecryption);
    lacks(pkcs1 == nullptr || (pkcs1->flags & CKF_SIGN) == 0, TokenShortfall::NoSigning);
    lacks((Reported(info.ulFreePublicMemory) && info.ulFreePublicMemory < kPublicRoomNeeded) ||
              (Reported(info.ulFreePrivateMemory) && info.ulFreePrivateMemory < kPrivateRoomNeeded),
          TokenShortfall::NoRoom);
    return missing;
}

CK_RV CheckTokenReadiness(TokenStep& step, const zel_token& token,
                          std::vector<TokenShortfall>& shortfalls) {
    shortfalls.clear();
    OpenedToken opened;
    if (const CK_RV rv = CPKI(step).OpenListedToken(token, opened); rv != CKR_OK) {
        return rv;
    }
    CK_TOKEN_INFO info{};
    if (const CK_RV rv = Checked(opened.fn()->C_GetTokenInfo(opened.slotId, &info)); rv != CKR_OK) {
        return rv;
    }
    CK_MECHANISM_INFO keyGeneration{};
    CK_MECHANISM_INFO pkcs1{};
    shortfalls = TokenShortfalls(
        info, Offered(opened.fn(), opened.slotId, CKM_RSA_PKCS_KEY_PAIR_GEN, keyGeneration),
        Offered(opened.fn(), opened.slotId, CKM_RSA_PKCS, pkcs1));
    return CKR_OK;
}

const char* ShortfallText(TokenShortfall shortfall) {
    switch (shortfall) {
        case TokenShortfall::NotInitialised:
            return "the token is not initialised";
        case TokenShortfall::PinNotInitialised:
            return "the user PIN is not set";
        case TokenShortfall::PinLocked:
            return "the user PIN is locked";
        case TokenShortfall::WriteProtected:
            return "the token is write-protected";
        case TokenShortfall::NoKeyGeneration:
            return "no RSA key pair generation of 2048 bits";
        case TokenShortfall::NoDecryption:
            return "no RSA PKCS#1 decryption";
        case TokenShortfall::NoSigning:
            return "no RSA PKCS#1 signature";
        case TokenShortfall::NoRoom:
            return "not enough free memory for a key pair and a certificate";
    }
    return "";
}

}  // namespace qe
