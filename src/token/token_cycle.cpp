#include "token/token_cycle.h"

#include "token/pkcs11_call.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {
namespace {

CK_RV RunCycleOnce(TokenStep& step, const zel_token& token, CK_FLAGS sessionFlags,
                   const Secret* pin, const TokenWork& work, bool acceptAlreadyLoggedIn,
                   bool closeOtherSessions) {
    OpenedToken opened;
    CK_RV rv = CPKI(step).OpenListedToken(token, opened);
    if (rv != CKR_OK) {
        return rv;
    }
    // Within a step the other sessions are the step's own, and keep its login.
    if (closeOtherSessions && !step.Active()) {
        Checked(opened.fn()->C_CloseAllSessions(opened.slotId));
    }
    Pkcs11Session session;
    // A session the step lent (logged in) serves instead of one more.
    CK_SESSION_HANDLE handle = step.LentSession(opened.fn(), opened.slotId);
    if (handle == CK_INVALID_HANDLE) {
        if ((rv = session.Open(opened.fn(), opened.slotId, sessionFlags)) != CKR_OK) {
            return rv;
        }
        handle = session.handle();
    }
    Pkcs11Login login;
    const auto logIn = [&](bool accept) {
        const CK_RV result = login.Login(step, opened.fn(), handle, token.tokenFlags, *pin, accept);
        return result == CKR_OK || login.alreadyLoggedIn() ? CKR_OK : result;
    };
    if (pin != nullptr && (rv = logIn(acceptAlreadyLoggedIn)) != CKR_OK) {
        return rv;
    }
    rv = work(opened.fn(), handle, opened.slotId);
    // Another program or a reset of the card took the login away: once more in a new session
    // (nothing half-begun carries over), logged in again.
    if (rv == CKR_USER_NOT_LOGGED_IN && pin != nullptr) {
        login.Logout();
        if ((rv = session.Open(opened.fn(), opened.slotId, sessionFlags)) == CKR_OK) {
            handle = session.handle();
            if ((rv = logIn(true)) == CKR_OK) {
                rv = work(opened.fn(), handle, opened.slotId);
            }
        }
    }
    // A token that lets the user log in but keeps the key back until the PIN is changed.
    if (rv == CKR_PIN_EXPIRED && pin != nullptr) {
        Secret renewed;
        if ((rv = ChangeDemandedPin(step, opened.fn(), session.handle(), token.tokenFlags, *pin,
                                    renewed)) == CKR_OK) {
            rv = work(opened.fn(), session.handle(), opened.slotId);
        }
    }
    login.Logout();
    const CK_RV closed = session.Close();
    return rv == CKR_OK && closeOtherSessions ? closed : rv;
}

CK_RV RunCycle(TokenStep& step, const zel_token& token, CK_FLAGS sessionFlags, const Secret* pin,
               const TokenWork& work, bool acceptAlreadyLoggedIn = false,
               bool closeOtherSessions = false) {
    CK_RV rv = RunCycleOnce(step, token, sessionFlags, pin, work, acceptAlreadyLoggedIn,
                            closeOtherSessions);
    // Another user of the library in this process finalised it under the step: once more, with
    // the library initialised again.
    if (rv == CKR_CRYPTOKI_NOT_INITIALIZED && step.LibraryLost(token.modulePath)) {
        rv = RunCycleOnce(step, token, sessionFlags, pin, work, acceptAlreadyLoggedIn,
                          closeOtherSessions);
    }
    return rv;
}

}  // namespace

CK_RV RunOnToken(TokenStep& step, const zel_token& token, CK_FLAGS sessionFlags,
                 const TokenWork& work) {
    return RunCycle(step, token, sessionFlags, nullptr, work);
}

CK_RV RunOnTokenLoggedIn(TokenStep& step, const zel_token& token, const Secret& pin,
                         const TokenWork& work, bool acceptAlreadyLoggedIn,
                         bool closeOtherSessions) {
    return RunCycle(step, token, CKF_SERIAL_SESSION | CKF_RW_SESSION, &pin, work,
                    acceptAlreadyLoggedIn, closeOtherSessions);
}

}  // namespace qe
