#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "token/pkcs11_module.h"

namespace qe {

// One step of the customer's (a status check, a register, a download with its acceptance): while
// it lives, the token cycles of this thread share one load and initialisation of each library and
// one login per token. A library a cycle initialised stays initialised when the cycle ends, and
// later cycles use it without loading or initialising it again; a user login stays in place (a
// session of the step's keeps it) and later logins on that token find it instead of asking the
// PIN or the reader's keypad again. At the end the step logs out, closes its sessions and
// finalises what was initialised in it: slow libraries then cost once, never inside a TLS
// handshake. Steps nest; an inner one adds nothing.
class TokenStep {
public:
    TokenStep();
    ~TokenStep();
    TokenStep(const TokenStep&) = delete;
    TokenStep& operator=(const TokenStep&) = delete;

    // The hooks of the module and login guards.

    // The function list of a library the step holds initialised, or null.
    static CK_FUNCTION_LIST* HeldLibrary(const std::string& name);
    // Takes over a module that initialised its library, so that it stays initialised until the
    // step ends; false when no step is active (the module then finalises as usual).
    static bool KeepLibrary(Pkcs11Module& module);
    // Whether the step holds a user login on the token of `session` that is still in place.
    static bool HoldsLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session);
    // Keeps the user login just made on `session` in place until the step ends; false when no
    // step is active or the login cannot be kept (the guard then logs out as usual).
    static bool KeepLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session);
    // The step's library `name` was finalised by someone else: the step lets it go, with its
    // logins, without finalising it. False when the step did not hold it.
    static bool LibraryLost(const std::string& name);
    // Whether a step is active on this thread: other sessions on a slot may be the step's.
    static bool Active();
    // Whether `what` is looked at for the first time in the step (it is then remembered); always
    // true outside a step. What a step cannot change need be read only once in it.
    static bool FirstLook(const std::string& what);
    // A logged-in session of this thread that stays open across cycles (key generation's, which
    // holds its pair's handles): until EndLoan the step's cycles on that slot run in it rather
    // than open one more, for tokens that allow two sessions at once (the step's keeps the other).
    static void LendSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_SESSION_HANDLE session);
    static void EndLoan(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session);
    // The session lent for `slot` of `fn`'s library, or CK_INVALID_HANDLE.
    static CK_SESSION_HANDLE LentSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot);

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

    TokenStep* outer_;
    std::vector<Loan> loans_;
    std::map<std::string, Pkcs11Module> libraries_;
    std::vector<Login> logins_;
    std::set<std::string> looked_;
};

}  // namespace qe
