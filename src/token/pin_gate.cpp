#include "token/pin_gate.h"

#include "log/enroll_log.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {

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
    return PinOnReader(token.tokenFlags) || !ObtainPin(port, PinDialogFlags(token)).empty();
}

Secret ObtainPin(PinPort& port, const zel_token& token) {
    return PinOnReader(token.tokenFlags) ? Secret() : ObtainPin(port, PinDialogFlags(token));
}

CK_FLAGS PinDialogFlags(const zel_token& token) {
    return PinWarningFlags(token.tokenFlags);
}

}  // namespace qe
