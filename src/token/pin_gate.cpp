#include "token/pin_gate.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "log/enroll_log.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"
#include "token/token_certificate.h"

namespace qe {
namespace {

// What names a token: its library, serial number and label. Serial numbers may be dummies and
// labels the maker's default, shared by many tokens.
std::string TokenName(const zel_token& token) {
    return token.modulePath + '\n' + std::string(token.serialNumber, sizeof token.serialNumber) +
           std::string(token.label, sizeof token.label) + '\n';
}

// The token's name with the certificates it shows, in an order of their own: what the PIN's owner
// is told apart by.
std::string WithCertificates(const zel_token& token, const std::vector<TokenCertificate>& store) {
    std::vector<std::string> values;
    for (const TokenCertificate& certificate : store) {
        values.emplace_back(certificate.der.begin(), certificate.der.end());
    }
    std::sort(values.begin(), values.end());
    std::string all = TokenName(token) + '#';
    for (const std::string& value : values) {
        all += std::to_string(value.size()) + ':' + value;
    }
    return all;
}

// The same read from the token now; none when they cannot be read: that tells nothing apart.
std::optional<std::string> ReadWithCertificates(TokenStep& step, const zel_token& token) {
    std::vector<TokenCertificate> store;
    if (GetSmartCardStore(step, token, store) != 0) {
        return std::nullopt;
    }
    return WithCertificates(token, store);
}

// A PIN typed for another token (pulled out at the dialog, another one put in, or one with the
// same name but other certificates) is forgotten rather than tried on this one, where a wrong try
// counts against the customer. The certificates are read once a step in which the PIN is used
// without being typed (within a step, a token pulled out ends it); a PIN typed without them known
// takes those read first.
void ForgetOtherTokensPin(TokenStep& step, PinPort& port, const zel_token& token) {
    if (port.CachedPin().empty()) {
        return;
    }
    const std::string name = TokenName(token);
    const std::string& owner = port.PinOwner();
    bool other = owner.compare(0, name.size(), name) != 0;
    if (!other && step.FirstLook(name)) {
        const std::optional<std::string> now = ReadWithCertificates(step, token);
        if (now && owner == name) {
            port.SetPinOwner(*now);
        } else {
            other = now && owner != *now;
        }
    }
    if (other) {
        port.ClearPin();
    }
}

}  // namespace

CK_RV AcquirePin(TokenStep& step, PinPort& port, const zel_token& token, Secret& pin) {
    pin.Clear();
    bool loggedIn = false;
    const CK_RV rv = CPKI(step).IsLoggedIn(token, loggedIn);
    if (rv != CKR_OK) {
        return rv;
    }
    if (loggedIn) {
        Log().Write("PIN dialog not shown: already logged in");
        // A PIN this run already has still serves keys that want it for each use.
        ForgetOtherTokensPin(step, port, token);
        pin = PinOnReader(token.tokenFlags) ? Secret() : port.CachedPin();
        return CKR_OK;
    }
    if (!PinReady(step, port, token)) {
        return 1;
    }
    pin = ObtainPin(step, port, token);
    return CKR_OK;
}

bool PinReady(TokenStep& step, PinPort& port, const zel_token& token) {
    return PinOnReader(token.tokenFlags) || !ObtainPin(step, port, token).empty();
}

Secret ObtainPin(TokenStep& step, PinPort& port, const zel_token& token) {
    if (PinOnReader(token.tokenFlags)) {
        return {};
    }
    ForgetOtherTokensPin(step, port, token);
    const bool asked = port.CachedPin().empty();
    Secret pin = ObtainPin(port, PinDialogFlags(step, token));
    if (asked && !pin.empty()) {
        // Typed for the token as the status check saw it: nothing more to read in this step.
        const std::string name = TokenName(token);
        step.FirstLook(name);
        const std::string& seen = port.SeenToken();
        port.SetPinOwner(seen.compare(0, name.size(), name) == 0 ? seen : name);
    }
    return pin;
}

void NoteCertificates(PinPort& port, const zel_token& token,
                      const std::vector<TokenCertificate>& store) {
    port.SetSeenToken(WithCertificates(token, store));
    const std::string name = TokenName(token);
    const std::string& owner = port.PinOwner();
    if (owner == name) {
        port.SetPinOwner(port.SeenToken());
    } else if (owner.compare(0, name.size(), name) == 0 && owner != port.SeenToken()) {
        port.ClearPin();
    }
}

CK_FLAGS PinDialogFlags(const TokenStep& step, const zel_token& token) {
    return PinWarningFlags(step, token.tokenFlags);
}

}  // namespace qe
