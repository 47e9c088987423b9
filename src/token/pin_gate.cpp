#include "token/pin_gate.h"

#include "log/enroll_log.h"
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
        port.AskPinFor(token.tokenFlags);
    }
    pin = port.CachedPin();
    return pin.empty() ? 1 : CKR_OK;
}

}  // namespace qe
