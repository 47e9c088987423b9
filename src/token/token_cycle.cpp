#include "token/token_cycle.h"

#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {
namespace {

CK_RV RunCycle(const zel_token& token, CK_FLAGS sessionFlags, const Secret* pin,
               const TokenWork& work, bool acceptAlreadyLoggedIn = false) {
    OpenedToken opened;
    CK_RV rv = CPKI().OpenListedToken(token, opened);
    if (rv != CKR_OK) {
        return rv;
    }
    Pkcs11Session session;
    rv = session.Open(opened.fn(), opened.slotId, sessionFlags);
    if (rv != CKR_OK) {
        return rv;
    }
    Pkcs11Login login;
    if (pin != nullptr) {
        rv = login.Login(opened.fn(), session.handle(), token.tokenFlags, *pin,
                         acceptAlreadyLoggedIn);
        if (rv != CKR_OK && !login.alreadyLoggedIn()) {
            return rv;
        }
    }
    rv = work(opened.fn(), session.handle(), opened.slotId);
    login.Logout();
    session.Close();
    return rv;
}

}  // namespace

CK_RV RunOnToken(const zel_token& token, CK_FLAGS sessionFlags, const TokenWork& work) {
    return RunCycle(token, sessionFlags, nullptr, work);
}

CK_RV RunOnTokenLoggedIn(const zel_token& token, const Secret& pin, const TokenWork& work,
                         bool acceptAlreadyLoggedIn) {
    return RunCycle(token, CKF_SERIAL_SESSION | CKF_RW_SESSION, &pin, work, acceptAlreadyLoggedIn);
}

}  // namespace qe
