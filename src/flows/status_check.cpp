#include "flows/status_check.h"

#include <algorithm>
#include <cwctype>

#include "flows/flow_support.h"
#include "flows/launch_link.h"
#include "flows/sign_and_install.h"
#include "log/enroll_log.h"
#include "log/failure_logger.h"
#include "net/cert_fields.h"
#include "net/header_block.h"
#include "net/hosts.h"
#include "net/https_client.h"
#include "reminder/certificate_memory.h"
#include "token/pin_gate.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"
#include "token/token_certificate.h"
#include "token/token_hash.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

constexpr const wchar_t* kStatusPath = L"/public/rest/certificate/status";
// The whole check's network, both hosts: a customer is told soon that nothing answers.
constexpr long kStatusWaitSeconds = 30;

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// The first accepted issuer equal to the certificate's issuer (same bytes), if any.
bool FromAcceptedIssuer(const TokenCertificate& certificate, const std::vector<Bytes>& issuers) {
    const Bytes issuer = IssuerNameDer(certificate.der);
    return !issuer.empty() && std::find(issuers.begin(), issuers.end(), issuer) != issuers.end();
}

ErrorId Check(StepContext& step, WindowPort& port, StatusOutcome& outcome) {
    std::wstring headers = HeaderBlockStart();
    CPKI pki(step.token);
    zel_token token;
    if (const CK_RV rv = pki.SelectToken(token); rv != CKR_OK) {
        return SelectionErrorId(rv);
    }
    std::wstring hashLine;
    if (const int rc = GetTokenHash(token, hashLine, step.tokenHash); rc != 0) {
        return rc;
    }
    headers += hashLine;

    Log().Write("Get SC store");
    std::vector<TokenCertificate> store;
    if (const int rc = GetSmartCardStore(step.token, token, store); rc != 0) {
        return rc;
    }
    NoteCertificates(port, token, store);
    if (store.empty() && (token.tokenFlags & CKF_LOGIN_REQUIRED) != 0) {
        // Some tokens show their certificates only after a login.
        Log().Write("No certificates before the login: looking again logged in");
        if (!PinReady(step.token, port, token)) {
            return ERR_CANCELLED;
        }
        if (const CK_RV rv =
                ReadStoreLoggedIn(step.token, token, ObtainPin(step.token, port, token), store);
            rv != CKR_OK) {
            return InstallResultToErrorId(rv);
        }
    }

    const NetworkDeadline wait(step.network, kStatusWaitSeconds);
    const Endpoint rekey = RekeyHost();
    Log().Write("Connect to: " + rekey.host + " on port " + std::to_string(rekey.port));
    CHttpsClient probe(step.network);
    if (const ErrorId rc = probe.Connect(Widen(rekey.host), rekey.port); rc != ERR_SUCCESS) {
        return rc;
    }
    Log().Write("SendReq");
    // Only the handshake's issuer list matters.
    if (probe.SendRequest(L"/", nullptr, nullptr) == ERR_CANCELLED) {
        return ERR_CANCELLED;
    }

    Log().Write("Get issuers");
    port.PostNextStep();
    if (outcome.acceptedIssuers.empty()) {
        if (const ErrorId rc = probe.GetAcceptedIssuers(outcome.acceptedIssuers);
            rc != ERR_SUCCESS) {
            return rc;
        }
    }
    const std::vector<Bytes> issuers = outcome.acceptedIssuers;
    for (const Bytes& issuer : issuers) {
        Log().Write("Accepted Issuer: " + NameText(issuer));
    }
    Log().Write("Found " + std::to_string(issuers.size()) + " issuers");
    std::vector<Bytes> ders;
    for (const TokenCertificate& certificate : store) {
        ders.push_back(certificate.der);
    }
    RememberCertificates(issuers, ders);  // for the expiry reminder

    std::wstring query;
    for (const TokenCertificate& certificate : store) {
        Log().Write("Enum Certs " + SerialNumberText(certificate.der));
        if (FromAcceptedIssuer(certificate, issuers)) {
            Log().Write("Cert Added to store");
            query += L"&serial=" + Widen(SerialNumberText(certificate.der));
        }
    }
    const std::wstring path = query.empty() ? kStatusPath : kStatusPath + (L"?" + query.substr(1));

    const Endpoint api = ApiHost();
    CHttpsClient client(step.network);
    if (const ErrorId rc = client.Connect(Widen(api.host), api.port); rc != ERR_SUCCESS) {
        return rc;
    }
    client.headerBlock = headers;
    Log().Write("Request cert status @ " + WideToUtf8ForLog(path));
    Bytes body;
    if (const ErrorId rc = client.SendRequest(path, nullptr, nullptr); rc != ERR_SUCCESS) {
        return rc;
    }
    if (const ErrorId rc = client.ReceiveResponse(body); rc != ERR_SUCCESS) {
        return rc;
    }
    // A status text that is not UTF-8 cannot be shown: the answer is unusable.
    const auto statusText = Utf8ToWide(ToString(body));
    if (!statusText) {
        return ERR_BAD_RESPONSE;
    }
    outcome.statusText = TextForScreen(*statusText);
    if (const std::optional<std::time_t> date = client.AnswerDate()) {
        outcome.authorityClockOffset = *date - std::time(nullptr);
    }
    Log().Write("Response " + ToString(body));

    std::wstring pkcs10 = L"pkcs10";
    if (const ErrorId rc = client.QueryHeader(pkcs10); rc != ERR_SUCCESS) {
        return rc;
    }
    Log().Write("pkcs10 header " + WideToUtf8ForLog(pkcs10));
    const std::vector<std::wstring> renewable = ReadRenewableSerials(pkcs10);
    std::wstring converted = pkcs10;
    for (wchar_t& c : converted) {
        c = c == L' ' ? L'\n' : static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    Log().Write("Se poate genera pentru " + WideToUtf8ForLog(converted));

    std::wstring ask = L"Ask4DN";
    if (const ErrorId rc = client.QueryHeader(ask); rc != ERR_SUCCESS) {
        return rc;
    }
    outcome.askForDn = ask == L"1";
    Log().Write("Ask4DN header: " + WideToUtf8ForLog(ask));

    outcome.canGenerate = false;
    if (!renewable.empty()) {
        outcome.canGenerate = true;
        for (const TokenCertificate& certificate : store) {
            if (FromAcceptedIssuer(certificate, issuers) &&
                std::find(renewable.begin(), renewable.end(),
                          Widen(SerialNumberText(certificate.der))) != renewable.end()) {
                outcome.renewableStore.push_back(certificate);
            }
        }
    }

    std::wstring install = L"install";
    if (const ErrorId rc = client.QueryHeader(install); rc != ERR_SUCCESS) {
        return rc;
    }
    outcome.canDownload = install == L"1";
    Log().Write("Install Flag " + WideToUtf8ForLog(install));
    std::vector<Bytes> authority;
    for (const TokenCertificate& certificate : store) {
        if (FromAcceptedIssuer(certificate, issuers)) {
            authority.push_back(certificate.der);
        }
    }
    ApplyCertificateDates(outcome, authority, std::time(nullptr));
    return ERR_SUCCESS;
}

}  // namespace

void ApplyCertificateDates(StatusOutcome& outcome, const std::vector<Bytes>& authorityCertificates,
                           std::time_t now) {
    // A server's list that names none of the token's certificates still stands as it is.
    if (std::erase_if(outcome.renewableStore,
                      [now](const TokenCertificate& certificate) {
                          return DatesAt(certificate.der, now) != CertificateDates::Current;
                      }) != 0 &&
        outcome.renewableStore.empty()) {
        outcome.canGenerate = false;
    }
    std::vector<CertificateDates> dates;
    for (const Bytes& der : authorityCertificates) {
        dates.push_back(DatesAt(der, now));
    }
    const auto any = [&dates](CertificateDates d) {
        return std::find(dates.begin(), dates.end(), d) != dates.end();
    };
    if (dates.empty() || any(CertificateDates::Current)) {
        return;
    }
    const ErrorId why =
        any(CertificateDates::NotYetValid)
            ? ERR_CERT_NOT_YET_VALID
            : ExpiryErrorId(authorityCertificates, now, outcome.authorityClockOffset);
    Log().Write(why == ERR_CERT_NOT_YET_VALID ? "Certificates not yet valid"
                : why == ERR_CERT_EXPIRED     ? "Certificates expired"
                                          : "Certificates expired by this computer's clock only");
    outcome.datesNote = why;
}

ErrorId StatusCheck(StepContext& step, WindowPort& port, StatusOutcome& outcome) {
    port.ResetStepIndex();
    port.PostProgress(-1);
    LogTag tag("Init");
    port.PostNextStep();
    outcome.renewableStore.clear();
    outcome.datesNote = ERR_SUCCESS;
    outcome.authorityClockOffset.reset();
    const ErrorId result = Check(step, port, outcome);
    if (result != ERR_SUCCESS) {
        LogFailure();
    }
    return result;
}

void RouteLaunchLink(WindowPort& port, const StatusOutcome& outcome) {
    const std::optional<std::string> link = port.TakeLaunchLink();
    if (!link) {
        return;
    }
    switch (ParseLaunchLink(link->c_str())) {
        case LaunchCommand::Register:
            if (outcome.canGenerate) {
                port.PressButton(MainButton::Request);
            }
            break;
        case LaunchCommand::Download:
            if (outcome.canDownload) {
                port.PressButton(MainButton::Download);
            }
            break;
        case LaunchCommand::None:
            break;
    }
}

}  // namespace qe
