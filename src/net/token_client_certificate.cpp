#include "net/token_client_certificate.h"

#include "log/enroll_log.h"
#include "token/certificate_parts.h"
#include "token/pin_gate.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_session.h"
#include "token/pkcs11_template.h"
#include "token/token_cycle.h"
#include "token/token_status.h"

namespace qe {
namespace {

Bytes CertificateModulus(const Bytes& der) {
    CertificateParts parts;
    return ParseCertificateParts(der, parts) == 0 ? parts.modulus : Bytes();
}

// The certificate's private key, found by its public key: an identifier may name another key by
// now (a token that generated a new key into the same place). Two objects with the modulus hold
// the same key.
CK_RV FindPrivateKey(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, const Bytes& modulus,
                     CK_OBJECT_HANDLE& key) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (CK_RV rv = FindKeysWithModulus(fn, session, CKO_PRIVATE_KEY, modulus, found);
        rv != CKR_OK) {
        return rv;
    }
    if (found.empty() || modulus.empty()) {
        return kTokenSignKeyNotFound;
    }
    key = found.front();
    return CKR_OK;
}

}  // namespace

TokenClientCertificate::TokenClientCertificate(TokenStep& step, TokenCertificate certificate,
                                               PinPort& pins)
    : step_(step),
      certificate_(std::move(certificate)),
      modulus_(CertificateModulus(certificate_.der)),
      pins_(pins) {}

bool TokenClientCertificate::CanSignRaw() {
    if (!canSignRaw_) {
        bool raw = false;
        RunOnToken(step_, certificate_.token, CKF_SERIAL_SESSION,
                   [&raw](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE, CK_SLOT_ID slot) {
                       CK_MECHANISM_INFO info{};
                       raw = fn->C_GetMechanismInfo(slot, CKM_RSA_X_509, &info) == CKR_OK &&
                             (info.flags & CKF_SIGN) != 0;
                       return CK_RV{CKR_OK};
                   });
        canSignRaw_ = raw;
    }
    return *canSignRaw_;
}

int TokenClientCertificate::Prepare() {
    if (!PinReady(step_, pins_, certificate_.token)) {
        cancelled_ = true;
        return static_cast<int>(CKR_FUNCTION_CANCELED);
    }
    return 0;
}

int TokenClientCertificate::SignRaw(const Bytes& block, Bytes& signature) {
    return Sign(CKM_RSA_X_509, block, signature);
}

int TokenClientCertificate::SignDigestInfo(const Bytes& digestInfo, Bytes& signature) {
    return Sign(CKM_RSA_PKCS, digestInfo, signature);
}

int TokenClientCertificate::Sign(unsigned long mechanismType, const Bytes& input,
                                 Bytes& signature) {
    if (!PinReady(step_, pins_, certificate_.token)) {
        cancelled_ = true;
        return static_cast<int>(CKR_FUNCTION_CANCELED);
    }
    const Secret pin = ObtainPin(step_, pins_, certificate_.token);
    Bytes result;
    const CK_RV rv = RunOnTokenLoggedIn(
        step_, certificate_.token, pin,
        [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID) -> CK_RV {
            CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
            if (CK_RV found = FindPrivateKey(fn, session, modulus_, key); found != CKR_OK) {
                return found;
            }
            CK_MECHANISM mechanism{mechanismType, nullptr, 0};
            if (CK_RV init = Checked(fn->C_SignInit(session, &mechanism, key)); init != CKR_OK) {
                return init;
            }
            if (CK_RV again =
                    AuthenticateKeyUse(step_, fn, session, key, certificate_.token.tokenFlags, pin);
                again != CKR_OK) {
                return again;
            }
            // One call into a buffer as long as the modulus: some tokens end the operation on a
            // length query, and no signature is longer.
            CK_ULONG size = static_cast<CK_ULONG>(modulus_.size());
            Bytes data = input;
            result.assign(size, 0);
            if (CK_RV done =
                    Checked(fn->C_Sign(session, data.data(), static_cast<CK_ULONG>(data.size()),
                                       result.data(), &size));
                done != CKR_OK) {
                return done;
            }
            if (size > modulus_.size()) {
                Log().Write("Signature length " + std::to_string(size) + " above the key's size");
                return Checked(CKR_FUNCTION_FAILED);
            }
            result.resize(size);
            return CKR_OK;
        },
        true);
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE || rv == kTokenLoginRefused) {
        pins_.ClearPin();
    }
    // Cancelled on the reader's keypad: as if the PIN dialog had been cancelled.
    cancelled_ = cancelled_ || rv == CKR_FUNCTION_CANCELED;
    if (rv != CKR_OK) {
        Log().Write("Client certificate signature failed: " + std::to_string(rv));
        return static_cast<int>(rv);
    }
    signature = std::move(result);
    return 0;
}

}  // namespace qe
