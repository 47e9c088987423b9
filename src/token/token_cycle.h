#pragma once

#include <functional>

#include <p11-kit/pkcs11.h>

#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/secret.h"

namespace qe {

// The work of one token operation, given the library's function list, the open session and the
// slot. Returns 0 or the CK_RV (or the operation's own code) that ends the operation.
using TokenWork =
    std::function<CK_RV(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID slot)>;

// One self-contained cycle of `step` on the record's token without a login: reload the library,
// initialise, find the slot by serial number, open a session with `sessionFlags`, run `work`,
// close, finalise, unload. Returns the first failure of OpenListedToken (224 when the token is
// gone) or C_OpenSession, else the work's result.
CK_RV RunOnToken(TokenStep& step, const zel_token& token, CK_FLAGS sessionFlags,
                 const TokenWork& work);

// The same with a read-write session and a user login with `pin` (CKR_OK only, or also a login
// found in place with `acceptAlreadyLoggedIn`, which is then left in place), logged out before
// the session closes; with `closeOtherSessions`, the slot's other sessions are closed first
// (outside a step) and a failing close of the session fails the cycle. Work that fails for want of
// a login (another program reset the card) runs once more after a new login; work the token
// refuses with CKR_PIN_EXPIRED, once more after the PIN was changed (ChangeDemandedPin). A failing
// C_Login is returned unchanged (160 for a wrong PIN).
CK_RV RunOnTokenLoggedIn(TokenStep& step, const zel_token& token, const Secret& pin,
                         const TokenWork& work, bool acceptAlreadyLoggedIn = false,
                         bool closeOtherSessions = false);

}  // namespace qe
