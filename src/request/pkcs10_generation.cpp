#include "request/pkcs10_generation.h"

#include "log/enroll_log.h"
#include "net/cert_fields.h"
#include "request/keygen_on_token.h"
#include "request/keygen_session.h"
#include "token/pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

// Where the progress bar stands while the token generates, and how it moves meanwhile.
constexpr int kKeygenProgressStart = 20;
constexpr int kKeygenProgressTarget = 95;
constexpr int kKeygenProgressSeconds = 600;

ErrorId ErrorIdFor(CK_RV code, bool tokenSelected) {
    switch (code) {
        case CKR_OK:
            return ERR_SUCCESS;
        case CKR_DEVICE_MEMORY:
            return ERR_TOKEN_FULL;
        case CKR_PIN_LOCKED:
            return ERR_PIN_LOCKED;
        case CKR_FUNCTION_CANCELED:
            return ERR_CANCELLED;  // on the reader's keypad
        case CKR_KEY_SIZE_RANGE:
            return ERR_TOKEN_RESTRICTED;
        case kTokenKeyOperationImpossible:
            return ERR_KEYGEN_FAILED;
        case kTokenKeyNotProtected:
            return ERR_KEY_NOT_PROTECTED;
        case kTokenReplacedKey:
            return ERR_TOKEN_REPLACED_KEY;
        case kTokenLoginRefused:
            return ERR_LOGIN_REFUSED;
        case kTokenNewPinRefused:
            return ERR_NEW_PIN_REFUSED;
        case kTokenKeygenNeedsAdmin:
            return ERR_KEYGEN_NEEDS_ADMIN;
        case kKeygenLedgerUnwritable:
            return ERR_LEDGER_UNWRITABLE;
        case kTokenKeygenFixedSlots:
            return ERR_KEYGEN_FIXED_SLOTS;
        case CKR_DEVICE_ERROR:
            return tokenSelected ? ERR_OLD_DRIVER : ERR_TOKEN_DEVICE;
        default:
            return ERR_TOKEN_DEVICE;
    }
}

ErrorId Finish(CK_RV code, bool tokenSelected, int& resultCode) {
    Log().Write("CSR generation finished with status: " + std::to_string(code));
    resultCode = static_cast<int>(code);
    return ErrorIdFor(code, tokenSelected);
}

// The common end of both: the second token selection, the progress record, the generation.
CK_RV GenerateOnSelectedToken(TokenStep& step, const SubjectFields& subject,
                              const RequestedExtensions* extensions,
                              const std::vector<std::int32_t>& keySizes, const Secret& pin,
                              ProgressPort& progress, std::string& pem, bool& tokenSelected,
                              bool logSteps, KeyPairHold* hold) {
    if (logSteps) {
        Log().Write("Before Check UserToken =  ");
    }
    zel_token token;
    const CK_RV selected = CPKI(step).SelectToken(token);
    tokenSelected = selected == CKR_OK;
    if (logSteps) {
        Log().Write("Before Generate Keys =  ");
    }
    if (!tokenSelected) {
        return selected;
    }
    progress.PostProgress(kKeygenProgressStart, kKeygenProgressTarget, kKeygenProgressSeconds);
    return GenerateSigningKeysOnToken(step, keySizes, token, pin, subject, extensions, pem, hold);
}

}  // namespace

ErrorId GeneratePKCS10(TokenStep& step, const std::wstring& fieldsText,
                       const std::vector<std::int32_t>& keySizes, const Secret& pin,
                       ProgressPort& progress, std::string& pem, int& resultCode,
                       KeyPairHold* hold) {
    pem.clear();
    const auto fields = ReadCertFields(fieldsText, FieldValueRule::Unchanged);
    if (!fields) {
        return Finish(kToolkitBadText, false, resultCode);
    }
    bool tokenSelected = false;
    const CK_RV rv =
        GenerateOnSelectedToken(step, SubjectFieldsFromServerFields(*fields), nullptr, keySizes,
                                pin, progress, pem, tokenSelected, false, hold);
    return Finish(rv, tokenSelected, resultCode);
}

ErrorId GeneratePKCS10OIDValidation(TokenStep& step, const std::wstring& dnText,
                                    const RequestedExtensions& extensions,
                                    const std::vector<std::int32_t>& keySizes, const Secret& pin,
                                    ProgressPort& progress, std::string& pem, int& resultCode,
                                    KeyPairHold* hold) {
    LogTag tag("GeneratePKCS10OIDValidation");
    Log().Write("GeneratePKCS10OIDValidation");
    pem.clear();
    Log().Write("Building Names And Parameters =  ");
    const auto names = ReadCertFields(dnText, FieldValueRule::TrimLineEnds);
    if (!names) {
        return Finish(kToolkitBadText, false, resultCode);
    }
    const SubjectFields subject = SubjectFieldsFromCertificateNames(*names);
    Log().Write("Constructing Names And Parameters Succesfully =  ");
    bool tokenSelected = false;
    const CK_RV rv = GenerateOnSelectedToken(step, subject, &extensions, keySizes, pin, progress,
                                             pem, tokenSelected, true, hold);
    return Finish(rv, tokenSelected, resultCode);
}

}  // namespace qe
