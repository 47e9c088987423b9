#include "flows/request_generation.h"

#include "flows/flow_support.h"
#include "flows/sign_and_install.h"
#include "log/enroll_log.h"
#include "net/header_block.h"
#include "net/hosts.h"
#include "net/https_client.h"
#include "net/keygen_parameters.h"
#include "net/token_client_certificate.h"
#include "request/cert_names.h"
#include "request/keygen_session.h"
#include "request/pkcs10_generation.h"
#include "token/pin_gate.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"
#include "token/token_hash.h"
#include "token/token_readiness.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

constexpr int kWrongPin = 160;  // CKR_PIN_INCORRECT

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// One rekey request whose answer body the flow reads. A failed send ends it where it stands; an
// answer, whatever it is, moves the bar to `progress`, and a failed one has its body logged.
ErrorId Fetch(CHttpsClient& client, WindowPort& port, const wchar_t* path,
              ClientCertificate& certificate, int progress, Bytes& body) {
    if (const ErrorId rc = client.SendRequest(path, nullptr, &certificate); rc != ERR_SUCCESS) {
        return rc;
    }
    const ErrorId rc = client.ReceiveResponse(body);
    port.PostProgress(progress);
    if (rc != ERR_SUCCESS) {
        Log().Write("Error: " + ToString(body));
    }
    return rc;
}

// The PIN gate's result as the customer is told it: 1 is a cancelled dialog, anything else the
// token's failure (its code is no text of the catalogue).
ErrorId PinGateErrorId(CK_RV rv) {
    return rv == 1 ? ERR_CANCELLED : InstallResultToErrorId(rv);
}

// What a token that cannot carry a renewal through is told first.
ErrorId ShortfallErrorId(TokenShortfall shortfall) {
    switch (shortfall) {
        case TokenShortfall::NotInitialised:
            return ERR_TOKEN_NOT_INITIALISED;
        case TokenShortfall::PinNotInitialised:
            return ERR_PIN_NOT_SET;
        case TokenShortfall::PinLocked:
            return ERR_PIN_LOCKED;
        case TokenShortfall::WriteProtected:
            return ERR_TOKEN_WRITE_PROTECTED;
        case TokenShortfall::NoKeyGeneration:
            return ERR_TOKEN_NO_KEYGEN;
        case TokenShortfall::NoDecryption:
            return ERR_TOKEN_NO_DECRYPTION;
        case TokenShortfall::NoSigning:
            return ERR_TOKEN_NO_SIGNING;
        case TokenShortfall::NoRoom:
            return ERR_TOKEN_FULL;
    }
    return ERR_TOKEN_DEVICE;
}

// Whether the token can carry the whole renewal through: checked before the PIN is asked and
// before anything is generated or sent, so no certificate is issued that could never be
// installed or used. Returns 0 or the identifier of the first shortfall.
ErrorId CheckTokenReady(TokenStep& step, const zel_token& token) {
    std::vector<TokenShortfall> shortfalls;
    if (const CK_RV rv = CheckTokenReadiness(step, token, shortfalls); rv != CKR_OK) {
        return rv == CKR_TOKEN_NOT_PRESENT ? ERR_NO_TOKEN : ERR_TOKEN_DEVICE;
    }
    for (const TokenShortfall shortfall : shortfalls) {
        Log().Write(std::string("Token cannot renew: ") + ShortfallText(shortfall));
    }
    return shortfalls.empty() ? ERR_SUCCESS : ShortfallErrorId(shortfalls.front());
}

class RequestGenerationRun {
public:
    RequestGenerationRun(StepContext& step, WindowPort& port,
                         const std::vector<TokenCertificate>& renewable)
        : step_(step), port_(port), renewable_(renewable), pki_(step.token) {}

    ErrorId Run() {
        port_.ResetStepIndex();
        port_.PostProgress(0);
        port_.PostNextStep();

        zel_token token;
        if (const CK_RV rv = pki_.SelectToken(token); rv != CKR_OK) {
            Log().Write(rv == TOKEN_MULTIPLE ? "Multiple Cards" : "Card Not Found");
            return SelectionErrorId(rv);
        }
        // Only the restricted token's link carries it: no request of this step sends it.
        if (std::wstring line; GetTokenHash(token, line, step_.tokenHash) != 0) {
            Log().Write("Error Getting Token hash");
        }
        if (const ErrorId rc = CheckTokenReady(step_.token, token); rc != ERR_SUCCESS) {
            return rc;
        }

        Log().Write("Found certs " + std::to_string(renewable_.size()));
        std::optional<std::size_t> chosen;
        if (renewable_.size() == 1) {
            chosen = 0;
        } else {
            chosen = port_.ChooseCertificate(renewable_);
        }
        if (!chosen || *chosen >= renewable_.size()) {
            return ERR_CANCELLED;  // the customer gave up the choice: nothing to say
        }
        const TokenCertificate& selected = renewable_[*chosen];
        // The TLS login with a certificate outside its dates fails like a wrong PIN would.
        switch (DatesAt(selected.der, std::time(nullptr))) {
            case CertificateDates::NotYetValid:
                Log().Write("Selected cert not yet valid: the computer's clock is behind");
                return ERR_CERT_NOT_YET_VALID;
            case CertificateDates::Expired:
                Log().Write("Selected cert expired");
                return ExpiryErrorId({selected.der}, std::time(nullptr),
                                     port_.Status().authorityClockOffset);
            case CertificateDates::Current:
                break;
        }
        port_.PostProgress(5);

        const std::string productName = pki_.ReadProductName(token);
        const std::string manufacturer = ManufacturerText(token);
        const auto block =
            TokenDescriptionBlock(SerialText(token), manufacturer, ModelText(token), productName);
        if (!block) {
            // Token fields that cannot travel as header lines: the device is not usable here.
            return ERR_TOKEN_DEVICE;
        }
        CHttpsClient client(step_.network);
        client.headerBlock = *block;
        Log().Write("Selected cert " + SerialNumberText(selected.der));

        const Endpoint rekey = RekeyHost();
        if (const ErrorId rc = client.Connect(Widen(rekey.host), rekey.port); rc != ERR_SUCCESS) {
            return rc;
        }
        port_.PostNextStep();

        TokenClientCertificate tlsCertificate(step_.token, selected, port_);
        Bytes body;
        ErrorId rc =
            Fetch(client, port_, L"/rest/certificate/keygenParameters", tlsCertificate, 8, body);
        if (rc != ERR_SUCCESS) {
            return rc;
        }
        const auto parameters = KeygenParameters::Parse(ToString(body));
        if (!parameters) {
            return ERR_BAD_RESPONSE;
        }
        const std::vector<std::int32_t> keySizes = parameters->OfferedKeySizes();
        if (parameters->GenAlgorithms().empty() || keySizes.empty()) {
            return ERR_KEYGEN_DATA;
        }
        const auto restrictions = parameters->RestrictedTokens();
        if (const TokenRestriction* r = FindRestriction(restrictions, manufacturer, productName)) {
            Log().Write("Token restriction applies at manufacturer: '" + r->manufacturer +
                        "' and productName: '" + r->productName + "'");
            return ERR_TOKEN_RESTRICTED;
        }

        std::string pem;
        int resultCode = 0;
        Secret pin;
        KeyPairHold keyPair;
        keyPair.certificateWaits = port_.Status().canDownload;
        if (port_.Status().askForDn) {
            rc = Fetch(client, port_, L"/rest/certificate/fields", tlsCertificate, 10, body);
            if (rc != ERR_SUCCESS) {
                return rc;
            }
            const auto fields = Utf8ToWide(ToString(body));
            if (!fields) {
                return ERR_BAD_RESPONSE;
            }
            Log().Write("CertFields " + ToString(body));
            if (const CK_RV pinResult = AcquirePin(step_.token, port_, token, pin);
                pinResult != CKR_OK) {
                return PinGateErrorId(pinResult);
            }
            rc = GeneratePKCS10(step_.token, *fields, keySizes, pin, port_, pem, resultCode,
                                &keyPair);
        } else {
            const std::wstring name = BuildDNFromCertificate(selected.der);
            Log().Write("DN =  " + WideToUtf8ForLog(name));
            const RequestedExtensions extensions = GetSubjectAlternativeNames(selected.der);
            port_.PostProgress(10);
            if (const CK_RV pinResult = AcquirePin(step_.token, port_, token, pin);
                pinResult != CKR_OK) {
                return PinGateErrorId(pinResult);
            }
            rc = GeneratePKCS10OIDValidation(step_.token, name, extensions, keySizes, pin, port_,
                                             pem, resultCode, &keyPair);
        }
        if (resultCode == kWrongPin) {
            // A mistyped PIN is asked for again on the next attempt instead of failing twice.
            port_.ClearPin();
        }
        if (rc != ERR_SUCCESS) {
            return rc;
        }

        port_.PostProgress(95);
        if (pem.empty() || !keyPair.session) {
            Log().Write("Error generating key");
            return ERR_KEYGEN_FAILED;
        }
        Log().Write("headers: " + WideToUtf8ForLog(client.headerBlock));
        Log().Write("PKCS10: " + pem);
        port_.PostNextStep();

        // The pair goes only on proof that the authority does not have its request; the session
        // that made it is still logged in for that.
        const Bytes request = ToBytes(pem);
        if (!keyPair.session->RequestSent()) {
            return ERR_LEDGER_UNWRITABLE;
        }
        rc = client.SendRequest(L"/rest/certificate/pkcs10", &request, &tlsCertificate);
        if (rc == ERR_SUCCESS) {
            rc = client.ReceiveResponse(body);
        }
        const CHttpsClient::Delivery delivery = client.LastDelivery();
        keyPair.session->Settle(delivery);
        return rc != ERR_SUCCESS && delivery != CHttpsClient::Delivery::Refused
                   ? ERR_REQUEST_UNANSWERED
                   : rc;
    }

private:
    StepContext& step_;
    WindowPort& port_;
    const std::vector<TokenCertificate>& renewable_;
    CPKI pki_;
};

}  // namespace

ErrorId RequestGeneration(StepContext& step, WindowPort& port,
                          const std::vector<TokenCertificate>& renewableStore) {
    LogTag tag("Step 1");
    const ErrorId result = RequestGenerationRun(step, port, renewableStore).Run();
    if (result != ERR_SUCCESS) {
        FailStep(port);
    } else {
        port.PostProgress(100);
    }
    return result;
}

}  // namespace qe
