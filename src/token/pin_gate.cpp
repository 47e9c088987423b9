#include "token/pin_gate.h"

#include "log/enroll_log.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {
namespace {

// A PIN belongs to one token: its library, serial number and label.
std::string PinOwnerOf(const zel_token& token) {
    return token.modulePath + '\n' + std::string(token.serialNumber, sizeof token.serialNumber) +
           std::string(token.label, sizeof token.label);
}

// A PIN typed for another token (pulled out at the dialog, another one put in) is forgotten
// rather than tried on this one, where a wrong try counts against the customer.
void ForgetOtherTokensPin(PinPort& port, const zel_token& token) {
    if (port.PinOwner() != PinOwnerOf(token) && !port.CachedPin().empty()) {
        port.ClearPin();
    }
}

}  // namespace

CK_RV AcquirePin(PinPort& port, const zel_token& token, Secret& pin) {
    pin.Clear();
    bool loggedIn = false;
    const CK_RV rv = CPKI().IsLoggedIn(token, loggedIn);
    if (rv != CKR_OK) {
        return rv;
    }
    if (loggedIn) {
        Log().Write("PIN dialog not shown: already logged in");
        // A PIN this run already has still serves keys that want it for each use.
        ForgetOtherTokensPin(port, token);
        pin = PinOnReader(token.tokenFlags) ? Secret() : port.CachedPin();
        return CKR_OK;
    }
    if (!PinReady(port, token)) {
        return 1;
    }
    pin = ObtainPin(port, token);
    return CKR_OK;
}

bool PinReady(PinPort& port, const zel_token& token) {
    return PinOnReader(token.tokenFlags) || !ObtainPin(port, token).empty();
}

Secret ObtainPin(PinPort& port, const zel_token& token) {
    if (PinOnReader(token.tokenFlags)) {
        return {};
    }
    ForgetOtherTokensPin(port, token);
    Secret pin = ObtainPin(port, PinDialogFlags(token));
    if (!pin.empty()) {
        port.SetPinOwner(PinOwnerOf(token));
    }
    return pin;
}

CK_FLAGS PinDialogFlags(const zel_token& token) {
    return PinWarningFlags(token.tokenFlags);
}

}  // namespace qe
