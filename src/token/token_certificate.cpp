#include "token/token_certificate.h"

#include "log/last_error.h"
#include "token/pkcs11_find.h"
#include "token/pki.h"
#include "token/token_cycle.h"
#include "toolkit/error_id.h"

namespace qe {
namespace {

CK_RV ReadCertificates(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, const zel_token& token,
                       std::vector<TokenCertificate>& certificates) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_RV rv = FindAllObjects(fn, session, pattern, objects);
    if (rv != CKR_OK) {
        return rv;
    }
    for (const CK_OBJECT_HANDLE object : objects) {
        TokenCertificate certificate;
        rv = ReadAttribute(fn, session, object, CKA_VALUE, certificate.der);
        if (rv != CKR_OK) {
            return rv;
        }
        if (certificate.der.empty()) {
            continue;
        }
        // A certificate without an identifier is still usable: its key is found by modulus.
        if (ReadAttribute(fn, session, object, CKA_ID, certificate.id) != CKR_OK) {
            certificate.id.clear();
        }
        certificate.token = token;
        certificates.push_back(std::move(certificate));
    }
    return CKR_OK;
}

bool TokenUnreachable(CK_RV rv) {
    return rv == kModuleNotLoaded || rv == kNoFunctionList || rv == CKR_TOKEN_NOT_PRESENT ||
           rv == CKR_DEVICE_REMOVED || rv == CKR_SLOT_ID_INVALID;
}

}  // namespace

int GetSmartCardStore(TokenStep& step, const zel_token& token,
                      std::vector<TokenCertificate>& store) {
    std::vector<TokenCertificate> certificates;
    const CK_RV rv = RunOnToken(step, token, CKF_SERIAL_SESSION,
                                [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID) {
                                    return ReadCertificates(fn, session, token, certificates);
                                });
    if (rv != CKR_OK) {
        if (TokenUnreachable(rv)) {
            SetLastErrorNoSmartCard();
        }
        return ERR_TOKEN_DEVICE;
    }
    store = std::move(certificates);
    return ERR_SUCCESS;
}

CK_RV ReadStoreLoggedIn(TokenStep& step, const zel_token& token, const Secret& pin,
                        std::vector<TokenCertificate>& store) {
    std::vector<TokenCertificate> certificates;
    const CK_RV rv = RunOnTokenLoggedIn(
        step, token, pin,
        [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID) {
            return ReadCertificates(fn, session, token, certificates);
        },
        true);
    if (rv == CKR_OK) {
        store = std::move(certificates);
    }
    return rv;
}

int GetSmartCardStore(TokenStep& step, std::vector<TokenCertificate>& store) {
    zel_token token;
    if (CPKI(step).SelectToken(token) != CKR_OK) {
        SetLastErrorNoSmartCard();
        return ERR_TOKEN_DEVICE;
    }
    return GetSmartCardStore(step, token, store);
}

}  // namespace qe
