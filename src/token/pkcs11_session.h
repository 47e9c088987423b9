#pragma once

#include <p11-kit/pkcs11.h>

#include "token/pin_port.h"
#include "token/token_step.h"
#include "toolkit/secret.h"

namespace qe {

// One PKCS#11 session, closed at scope end on every path unless closed or released before.
// Declare it after the Pkcs11Module it uses, so it closes before the library is finalised.
class Pkcs11Session {
public:
    Pkcs11Session() = default;
    ~Pkcs11Session();
    Pkcs11Session(const Pkcs11Session&) = delete;
    Pkcs11Session& operator=(const Pkcs11Session&) = delete;

    // C_OpenSession on `slot` with `flags` (CKF_SERIAL_SESSION is the caller's to give). Returns
    // its CK_RV; the guard holds the session only on success.
    CK_RV Open(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_FLAGS flags);
    // C_CloseSession now; returns its result (0 when no session is held).
    CK_RV Close();
    // Forgets the session without closing it.
    void Release() { open_ = false; }

    bool open() const { return open_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

private:
    CK_FUNCTION_LIST* fn_ = nullptr;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
    bool open_ = false;
};

// A user login on a session, logged out at scope end on every path, except when the token
// answered that the user was already logged in and the caller accepted that: a login found in
// place is left in place. Declare it after the session it uses.
class Pkcs11Login {
public:
    Pkcs11Login() = default;
    ~Pkcs11Login();
    Pkcs11Login(const Pkcs11Login&) = delete;
    Pkcs11Login& operator=(const Pkcs11Login&) = delete;

    // C_Login as CKU_USER with the PIN's bytes and length (no terminator), or on the reader's
    // keypad when `tokenFlags` (the token's information flags as listed) say so. Returns the
    // token's result unchanged. CKR_OK makes the guard log out later; CKR_USER_ALREADY_LOGGED_IN
    // counts as logged in, without a later logout, only when `acceptAlreadyLoggedIn` is set or a
    // step is active; then a reader's keypad is not asked at all when the session already shows
    // the user's login. Within a step, a login the step holds answers CKR_OK without C_Login, and
    // a new one is kept for the step instead of logged out. The keypad's prompt and a demanded new
    // PIN go through the step's PIN port.
    CK_RV Login(TokenStep& step, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                CK_FLAGS tokenFlags, const Secret& pin, bool acceptAlreadyLoggedIn = false);
    // C_Logout now when this guard logged in; returns its result (0 otherwise).
    CK_RV Logout();

    // Whether the login found the user already logged in (and accepted it).
    bool alreadyLoggedIn() const { return alreadyLoggedIn_; }

private:
    // Changes the PIN the token demands to have changed; logs in with the new one when the token
    // refused the old one as expired (`expired`).
    CK_RV Renew(CK_FLAGS tokenFlags, const Secret& pin, bool expired);

    TokenStep* step_ = nullptr;
    CK_FUNCTION_LIST* fn_ = nullptr;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    bool loggedIn_ = false;
    bool alreadyLoggedIn_ = false;
    Secret renewed_;  // the PIN this guard changed to: later logins of the guard use it
};

// The flags a PIN prompt warns with: the PIN-count flags (CKF_USER_PIN_COUNT_LOW, _FINAL_TRY,
// _LOCKED) among `tokenFlags`; kPinTriesUnknown when there are none of them although `step` saw a
// PIN refused since one was last accepted (a wrong PIN the token may not show in its flags).
CK_FLAGS PinWarningFlags(const TokenStep& step, CK_FLAGS tokenFlags);

// Whether the token takes the PIN on the reader's own keypad (CKF_PROTECTED_AUTHENTICATION_PATH):
// its logins send no PIN (NULL, length 0) and no PIN is ever asked or kept for it.
inline bool PinOnReader(CK_FLAGS tokenFlags) {
    return (tokenFlags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
}

// The token demands a new PIN before its key may be used (an issued transport PIN, or one its
// rules expired): the customer is asked for it through the step's PIN port, C_SetPIN
// changes it on `session` (read-write, logged in or not) and the new PIN replaces the cached one
// and comes back in `renewed`. A reader with its own keypad asks for both PINs itself. Nothing else
// is changed on the token. Returns 0; CKR_FUNCTION_CANCELED when the customer cancelled;
// kTokenNewPinRefused when the token did not take the new PIN; the token's answer otherwise (160
// for a wrong current PIN, CKR_PIN_LOCKED); CKR_PIN_EXPIRED when nobody can be asked.
CK_RV ChangeDemandedPin(TokenStep& step, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                        CK_FLAGS tokenFlags, const Secret& oldPin, Secret& renewed);

// A key marked CKA_ALWAYS_AUTHENTICATE wants the PIN again for every use: after C_SignInit or
// C_DecryptInit on it, C_Login as CKU_CONTEXT_SPECIFIC with the PIN. Does that when the key says
// so (a token that does not know the attribute has no such keys, and one that refuses the
// context-specific user does not enforce it), on the reader's keypad when `tokenFlags` say so.
// Returns 0, or the result of C_Login (160 for a wrong PIN).
CK_RV AuthenticateKeyUse(TokenStep& step, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                         CK_OBJECT_HANDLE key, CK_FLAGS tokenFlags, const Secret& pin);

}  // namespace qe
