#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "token/key_limits.h"
#include "token/token_readiness.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"

namespace qe {

// Reading stops at these counts; the report says when something was left unread.
inline constexpr std::size_t kSurveyMaxSlots = 16;
inline constexpr std::size_t kSurveyMaxObjects = 256;  // per object class

// What the token says of one mechanism: CKR_MECHANISM_INVALID means it is not offered.
struct MechanismCheck {
    CK_MECHANISM_TYPE type = 0;
    CK_RV rv = CKR_OK;
    CK_MECHANISM_INFO info{};
};

// A certificate or RSA key the token shows without a login.
struct TokenObject {
    CK_OBJECT_CLASS objectClass = 0;
    Bytes value;    // certificates: the DER
    Bytes modulus;  // keys: CKA_MODULUS without leading zero octets
    Bytes id;
    std::string label;
};

struct TokenSurvey {
    zel_token record;
    CK_FLAGS flags = 0;  // of the token information
    std::string hash;    // empty when it could not be computed
    std::string productName;
    CK_RV limitsRv = CKR_OK;
    RsaKeyLimits limits;
    CK_RV objectsRv = CKR_OK;  // of the cycle that read the mechanisms and the objects
    std::vector<MechanismCheck> mechanisms;
    std::vector<TokenObject> objects;
    bool objectsCut = false;
    CK_RV readinessRv = CKR_OK;  // of the wizard's own check before a renewal
    std::vector<TokenShortfall> shortfalls;
};

struct SlotSurvey {
    CK_SLOT_ID id = 0;
    CK_RV slotInfoRv = CKR_OK;
    CK_SLOT_INFO slotInfo{};
    CK_RV tokenInfoRv = CKR_OK;
    CK_TOKEN_INFO tokenInfo{};
    // When the token information could be read and the token is initialised: the wizard
    // skips the spare slot a library keeps for making new tokens, and so does the survey.
    std::optional<TokenSurvey> token;
};

struct ModuleSurvey {
    std::string name;
    CK_RV loadRv = CKR_OK;
    std::string loadError;  // the loader's own text
    CK_RV initRv = CKR_OK;
    CK_RV infoRv = CKR_OK;
    CK_INFO info{};
    CK_RV slotsRv = CKR_OK;
    std::size_t presentSlots = 0;
    std::vector<SlotSurvey> slots;  // at most kSurveyMaxSlots
};

// The mechanisms the wizard uses, in report order: key pair generation, CKM_RSA_PKCS (request
// signing, decryption of deliveries), CKM_RSA_X_509 (TLS signing where offered),
// CKM_SHA256_RSA_PKCS (signing the declaration).
const std::vector<CK_MECHANISM_TYPE>& WizardMechanisms();

// One library as the wizard meets it, read-only: a cycle that loads and initialises it and reads
// its information and its slots with a token; then, per initialised token, the token layer's own
// cycles (key limits, product name, the wizard's readiness check), each finding the token by its
// library, slot and serial, and one read-only session for the mechanisms and the objects. No
// session logs in and none is opened for writing.
ModuleSurvey SurveyModule(const std::string& name);

}  // namespace qe
