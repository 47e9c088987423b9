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
        return CKR_OK;
    }
    if (port.CachedPin().empty()) {
        port.AskPinFor(PinDialogFlags(token));
    }
    pin = port.CachedPin();
    return pin.empty() ? 1 : CKR_OK;
}

Secret ObtainPin(PinPort& port, const zel_token& token) {
    return ObtainPin(port, PinDialogFlags(token));
}

CK_FLAGS PinDialogFlags(const zel_token& token) {
    const CK_FLAGS flags =
        token.tokenFlags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    // Many tokens never set the count flags: after a refused PIN, say that the count is unknown.
    return flags == 0 && PinRefusedSinceAccepted() ? kPinTriesUnknown : flags;
}

}  // namespace qe
