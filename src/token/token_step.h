#pragma once

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "token/pin_port.h"
#include "token/pkcs11_module.h"

namespace qe {

// What one step of the customer's (a status check, a register, a download with its acceptance)
// carries on the token: the flow makes it and hands it to every token call of the step. While it
// lives, its cycles share one load and initialisation of each library and one login per token. A
// library a cycle initialised stays initialised when the cycle ends, and later cycles use it
// without loading or initialising it again; a user login stays in place (a session of the step's
// keeps it) and later logins on that token find it instead of asking the PIN or the reader's
// keypad again. At the end the step logs out, closes its sessions and finalises what was
// initialised in it: slow libraries then cost once, never inside a TLS handshake. Its PIN port
// shows the logins on a reader's keypad and asks for a new PIN the token demands.
// Token calls outside a step (the reminder, the doctor, the arrival watch) pass a NoStep.
class TokenStep {
public:
    // A step whose reader logins and demanded PIN changes go through `pins`; null: nobody is
    // shown or asked (a demanded new PIN then fails the login).
    explicit TokenStep(PinPort* pins);
    ~TokenStep();
    TokenStep(const TokenStep&) = delete;
    TokenStep& operator=(const TokenStep&) = delete;

    // The hooks of the module and login guards.

    // The function list of a library the step holds initialised, or null.
    CK_FUNCTION_LIST* HeldLibrary(const std::string& name) const;
    // Takes over a module that initialised its library, so that it stays initialised until the
    // step ends; false outside a step (the module then finalises as usual).
    bool KeepLibrary(Pkcs11Module& module);
    // Whether the step holds a user login on the token of `session` that is still in place.
    bool HoldsLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) const;
    // Keeps the user login just made on `session` in place until the step ends; false outside a
    // step or when the login cannot be kept (the guard then logs out as usual).
    bool KeepLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session);
    // The step's library `name` was finalised by someone else: the step lets it go, with its
    // logins, without finalising it. False when the step did not hold it.
    bool LibraryLost(const std::string& name);
    // Whether this is a step of the customer's: other sessions on a slot may be the step's.
    bool Active() const { return active_; }
    // Whether `what` is looked at for the first time in the step (it is then remembered); always
    // true outside a step. What a step cannot change need be read only once in it.
    bool FirstLook(const std::string& what);
    // A logged-in session that stays open across cycles (key generation's, which holds its pair's
    // handles): until EndLoan the step's cycles on that slot run in it rather than open one more,
    // for tokens that allow two sessions at once (the step's keeps the other).
    void LendSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_SESSION_HANDLE session);
    void EndLoan(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session);
    // The session lent for `slot` of `fn`'s library, or CK_INVALID_HANDLE.
    CK_SESSION_HANDLE LentSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot) const;

    // Where reader logins are shown and a demanded new PIN is asked; null when nobody can be.
    PinPort* pins() const { return pins_; }
    // What the last login that met a PIN check said: whether it was refused. Kept with the PIN
    // port when there is one, so that the next step's dialog still warns.
    void NotePinChecked(bool refused);
    bool PinRefusedSinceAccepted() const;

protected:
    struct Outside {};
    explicit TokenStep(Outside);

private:
    // One token a step: its library tells its login.
    struct Login {
        CK_FUNCTION_LIST* fn;
        CK_SESSION_HANDLE keeper;  // the session that keeps the login in place
    };

    struct Loan {
        CK_FUNCTION_LIST* fn;
        CK_SLOT_ID slot;
        CK_SESSION_HANDLE session;
    };

    bool active_;
    bool ending_ = false;  // the modules now finalise as they go, not into the step again
    PinPort* pins_;
    std::atomic<bool> pinRefused_{false};
    std::vector<Loan> loans_;
    std::map<std::string, Pkcs11Module> libraries_;
    std::vector<Login> logins_;
    std::set<std::string> looked_;
};

// Token calls made outside a step of the customer's: every cycle loads, initialises, logs in and
// finalises by itself, and nobody is shown a reader's prompt or asked for a new PIN.
class NoStep final : public TokenStep {
public:
    NoStep() : TokenStep(Outside{}) {}
};

}  // namespace qe
