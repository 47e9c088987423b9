#include "flows/sign_and_install.h"

#include "flows/flow_support.h"
#include "log/enroll_log.h"
#include "net/encrypted_delivery.h"
#include "net/envelope.h"
#include "net/header_block.h"
#include "net/hosts.h"
#include "net/https_client.h"
#include "token/certificate_parts.h"
#include "token/pin_gate.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_session.h"
#include "token/pkcs11_template.h"
#include "token/pki.h"
#include "token/token_cycle.h"
#include "token/token_hash.h"
#include "token/token_status.h"

namespace qe {
namespace {

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// Whether the token holds an object matching `pattern`, in one logged-in cycle. Returns the
// cycle's CK_RV; `holds` is false unless it is 0.
CK_RV TokenHolds(TokenStep& step, const zel_token& token, const Secret& pin,
                 AttributeTemplate& pattern, bool& holds) {
    std::vector<CK_OBJECT_HANDLE> found;
    const CK_RV rv = RunOnTokenLoggedIn(
        step, token, pin, [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID) {
            return FindAllObjects(fn, session, pattern, found);
        });
    holds = rv == CKR_OK && !found.empty();
    return rv;
}

// Whether the token holds the private key for `modulus`: the key the deliveries were encrypted
// for, or a private key with that modulus on the token. Writing a certificate without its key
// would leave the customer with nothing usable once the old one goes. Returns 0, 12 when the key
// is not there, or the token's failure as an identifier.
ErrorId CheckKeyOnToken(TokenStep& step, const zel_token& token, const Secret& pin,
                        const Bytes& modulus, const Bytes& deliveryKeyId) {
    if (ModulusNumber(deliveryKeyId) == ModulusNumber(modulus)) {
        return ERR_SUCCESS;
    }
    std::vector<CK_OBJECT_HANDLE> keys;
    if (const CK_RV rv =
            RunOnTokenLoggedIn(step, token, pin,
                               [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID) {
                                   return FindPrivateKeysToUse(fn, session, modulus, keys);
                               });
        rv != CKR_OK) {
        return InstallResultToErrorId(rv);
    }
    if (keys.empty()) {
        Log().Write("The new certificate has no private key on the token");
        return ERR_KEY_NOT_FOUND;
    }
    return ERR_SUCCESS;
}

// Whether the old certificate the server named may go: it is another certificate than the new
// one (issuer and serial number), and the new one is on the token it would go from. Returns 0
// with `mayRemove`, or the token's failure while it looked: the removal the customer asked for
// is then not done, and the step is not done either.
ErrorId MayRemoveOld(TokenStep& step, const zel_token& token, const Secret& pin, const Bytes& old,
                     const Bytes& certificate, bool& mayRemove) {
    mayRemove = false;
    if (old == certificate || (IssuerNameDer(old) == IssuerNameDer(certificate) &&
                               SerialNumberText(old) == SerialNumberText(certificate))) {
        Log().Write("The old certificate is the new one: both kept");
        return ERR_SUCCESS;
    }
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE).Data(CKA_VALUE, certificate);
    if (const CK_RV rv = TokenHolds(step, token, pin, pattern, mayRemove); rv != CKR_OK) {
        Log().Write("The new certificate could not be looked for: " + std::to_string(rv));
        return InstallResultToErrorId(rv);
    }
    if (!mayRemove) {
        Log().Write("The new certificate is not on the token: the old one kept");
    }
    return ERR_SUCCESS;
}

class SignAndInstallRun {
public:
    SignAndInstallRun(StepContext& step, WindowPort& port, const Bytes& certificate, bool removeOld)
        : step_(step),
          port_(port),
          certificate_(certificate),
          removeOld_(removeOld),
          pki_(step.token) {}

    // Returns the identifier; `fail` tells whether the failure path (logger, frozen bar) runs.
    ErrorId Run(bool& fail) {
        fail = true;
        std::wstring headers = HeaderBlockStart();
        port_.PostNextStep();

        // Nothing is signed for a certificate that cannot be installed.
        CertificateParts parts;
        if (ParseCertificateParts(certificate_, parts) != 0) {
            Log().Write("The new certificate cannot be read");
            return ERR_BAD_RESPONSE;
        }

        zel_token token;
        if (const CK_RV rv = pki_.SelectToken(token); rv != CKR_OK) {
            fail = false;
            return SelectionErrorId(rv);
        }
        std::wstring hashLine;
        if (const int rc = GetTokenHash(token, hashLine, step_.tokenHash); rc != 0) {
            Log().Write("Error After GetTokenHash");
            return rc;
        }
        headers += hashLine;

        port_.PostProgress(65);
        CHttpsClient client(step_.network);
        const Endpoint api = ApiHost();
        if (const ErrorId rc = client.Connect(Widen(api.host), api.port); rc != ERR_SUCCESS) {
            return rc;
        }
        client.headerBlock = headers;
        port_.PostNextStep();

        Bytes signature;
        if (const ErrorId rc = RequestAndDecrypt(
                step_.token, client, ObtainPin(step_.token, port_, token), signature, token, true,
                L"/public/rest/sign/pv", step_.deliveryKeyId);
            rc != ERR_SUCCESS) {
            Log().Write("Error After RequestAndDecrypt");
            return rc;
        }
        port_.PostProgress(70);
        port_.PostNextStep();

        if (const ErrorId rc = client.SendRequest(L"/public/rest/sign/pv", &signature, nullptr);
            rc != ERR_SUCCESS) {
            Log().Write("Error After SendRequest");
            return rc;
        }
        port_.PostProgress(80);
        Bytes answer;
        if (const ErrorId rc = client.ReceiveResponse(answer); rc != ERR_SUCCESS) {
            Log().Write("Error After GetResponse");
            return rc;
        }
        port_.PostNextStep();

        // Written only to the token this run listed and opened the deliveries with.
        const Secret pin = ObtainPin(step_.token, port_, token);
        if (const ErrorId rc =
                CheckKeyOnToken(step_.token, token, pin, parts.modulus, step_.deliveryKeyId);
            rc != ERR_SUCCESS) {
            return rc;
        }
        if (const CK_RV rv = pki_.InstallCertificate(token, pin, certificate_); rv != CKR_OK) {
            Log().Write("InstallCertificate failed: " + std::to_string(rv));
            // The authority keeps the certificate until its installation is confirmed.
            return rv == CKR_DEVICE_MEMORY ? ERR_NO_ROOM_FOR_CERTIFICATE
                                           : InstallResultToErrorId(rv);
        }
        port_.PostProgress(90);
        port_.PostNextStep();

        bool oldKept = false;
        if (removeOld_) {
            Bytes old;
            if (const ErrorId rc = RequestAndDecrypt(
                    step_.token, client, ObtainPin(step_.token, port_, token), old, token, false,
                    L"/public/rest/certificate/old", step_.deliveryKeyId);
                rc != ERR_SUCCESS) {
                return rc;
            }
            bool mayRemove = false;
            if (const ErrorId rc =
                    MayRemoveOld(step_.token, token, ObtainPin(step_.token, port_, token), old,
                                 certificate_, mayRemove);
                rc != ERR_SUCCESS) {
                return rc;
            }
            const CK_RV removed =
                mayRemove ? pki_.RemoveCertificate(token, ObtainPin(step_.token, port_, token), old)
                          : CKR_OK;
            // The new certificate is in place either way: its installation is still confirmed.
            oldKept = removed == kTokenObjectKept;
            if (oldKept) {
                Log().Write("The token said it removed the old certificate and kept it");
            } else if (removed != CKR_OK) {
                return ERR_TOKEN_DEVICE;
            }
            port_.PostProgress(95);
        }
        port_.PostNextStep();

        ErrorId rc =
            client.SendRequest(L"/public/rest/certificate/installed", &certificate_, nullptr);
        if (rc == ERR_SUCCESS) {
            rc = client.ReceiveResponse(answer);
        }
        // The certificate is on the token whatever became of its confirmation; only the
        // authority's own refusal is told as it stands.
        if (rc == ERR_SERVER) {
            return rc;
        }
        port_.PostProgress(100);
        fail = false;
        if (rc != ERR_SUCCESS) {
            Log().Write("The certificate is installed; the confirmation's answer was lost (" +
                        std::to_string(rc) + ")");
            return ERR_INSTALLED_UNCONFIRMED;
        }
        return oldKept ? ERR_OLD_CERTIFICATE_KEPT : ERR_SUCCESS;
    }

private:
    StepContext& step_;
    WindowPort& port_;
    const Bytes& certificate_;
    bool removeOld_;
    CPKI pki_;
};

}  // namespace

ErrorId InstallResultToErrorId(unsigned long result) {
    switch (result) {
        case CKR_OK:
            return ERR_SUCCESS;
        case CKR_PIN_INCORRECT:
            return ERR_WRONG_PIN;
        case CKR_PIN_LOCKED:
            return ERR_PIN_LOCKED;
        case kTokenLoginRefused:
            return ERR_LOGIN_REFUSED;
        case kTokenNewPinRefused:
            return ERR_NEW_PIN_REFUSED;
        case CKR_FUNCTION_CANCELED:
            return ERR_CANCELLED;  // on the reader's keypad
        case CKR_TOKEN_NOT_PRESENT:
            return ERR_NO_TOKEN;
        case CKR_DEVICE_MEMORY:
            return ERR_TOKEN_FULL;
        default:
            return ERR_TOKEN_DEVICE;
    }
}

ErrorId SignAndInstall(StepContext& step, WindowPort& port, const Bytes& certificate,
                       bool removeOldCertificate) {
    LogTag tag("Steps 3");
    bool fail = true;
    const ErrorId result =
        SignAndInstallRun(step, port, certificate, removeOldCertificate).Run(fail);
    if (result != ERR_SUCCESS && fail) {
        FailStep(port);
    }
    return result;
}

}  // namespace qe
