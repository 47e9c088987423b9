#include "token/pkcs11_session.h"

#include "log/enroll_log.h"
#include "token/pkcs11_call.h"
#include "token/token_status.h"

namespace qe {

Pkcs11Session::~Pkcs11Session() {
    if (open_) {
        fn_->C_CloseSession(handle_);
    }
}

CK_RV Pkcs11Session::Open(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_FLAGS flags) {
    Close();
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    const CK_RV rv = Checked(fn->C_OpenSession(slot, flags, nullptr, nullptr, &handle));
    if (rv == CKR_OK) {
        fn_ = fn;
        handle_ = handle;
        open_ = true;
    }
    return rv;
}

CK_RV Pkcs11Session::Close() {
    if (!open_) {
        return CKR_OK;
    }
    open_ = false;
    return Checked(fn_->C_CloseSession(handle_));
}

Pkcs11Login::~Pkcs11Login() {
    if (loggedIn_) {
        fn_->C_Logout(session_);
    }
}

namespace {

// The reader's prompt from before C_Login until it returned, whatever it returned.
class ReaderPrompt {
public:
    ReaderPrompt(const TokenStep& step, CK_FLAGS tokenFlags) : port_(step.pins()) {
        if (port_ != nullptr) {
            port_->ReaderLoginStarts(PinWarningFlags(step, tokenFlags));
        }
    }
    ~ReaderPrompt() {
        if (port_ != nullptr) {
            port_->ReaderLoginEnds();
        }
    }
    ReaderPrompt(const ReaderPrompt&) = delete;
    ReaderPrompt& operator=(const ReaderPrompt&) = delete;

private:
    PinPort* port_;
};

CK_RV LoginAs(TokenStep& step, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_USER_TYPE user,
              CK_FLAGS tokenFlags, const Secret& pin) {
    CK_RV rv = CKR_OK;
    if (PinOnReader(tokenFlags)) {
        // The reader takes the PIN itself; a PIN sent along would be refused or ignored.
        const ReaderPrompt prompt(step, tokenFlags);
        rv = Checked(fn->C_Login(session, user, nullptr, 0));
    } else {
        // Some libraries refuse a null PIN pointer even with length 0; an empty PIN still needs
        // one.
        CK_UTF8CHAR noPin[1] = {0};
        CK_UTF8CHAR* pinBytes =
            pin.empty()
                ? noPin
                : const_cast<CK_UTF8CHAR*>(reinterpret_cast<const CK_UTF8CHAR*>(pin.data()));
        rv = Checked(fn->C_Login(session, user, pinBytes, pin.size()));
    }
    // Some tokens answer a wrong PIN with a bare failure and never count the tries: the PIN is
    // taken as refused and the customer told so, rather than sent again.
    if (user == CKU_USER && rv == CKR_GENERAL_ERROR) {
        rv = kTokenLoginRefused;
    }
    if (rv == CKR_OK || rv == CKR_PIN_INCORRECT || rv == kTokenLoginRefused) {
        step.NotePinChecked(rv != CKR_OK);
    }
    return rv;
}

// Whether the token of `session` still shows that its user PIN has to be changed.
bool ChangeStillDemanded(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) {
    CK_SESSION_INFO sessionInfo{};
    CK_TOKEN_INFO info{};
    return fn->C_GetSessionInfo(session, &sessionInfo) == CKR_OK &&
           fn->C_GetTokenInfo(sessionInfo.slotID, &info) == CKR_OK &&
           (info.flags & CKF_USER_PIN_TO_BE_CHANGED) != 0;
}

CK_UTF8CHAR* PinBytes(const Secret& pin) {
    return const_cast<CK_UTF8CHAR*>(reinterpret_cast<const CK_UTF8CHAR*>(pin.data()));
}

}  // namespace

CK_RV ChangeDemandedPin(TokenStep& step, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                        CK_FLAGS tokenFlags, const Secret& oldPin, Secret& renewed) {
    renewed.Clear();
    PinPort* port = step.pins();
    if (port == nullptr) {
        return CKR_PIN_EXPIRED;
    }
    Log().Write("The token demands a new PIN before its key is used");
    CK_RV rv = CKR_OK;
    if (PinOnReader(tokenFlags)) {
        const ReaderPrompt prompt(step, tokenFlags | kPinChangeOnReader);
        rv = Checked(fn->C_SetPIN(session, nullptr, 0, nullptr, 0));
    } else {
        CK_SESSION_INFO sessionInfo{};
        CK_TOKEN_INFO info{};
        if ((rv = Checked(fn->C_GetSessionInfo(session, &sessionInfo))) != CKR_OK ||
            (rv = Checked(fn->C_GetTokenInfo(sessionInfo.slotID, &info))) != CKR_OK) {
            return rv;
        }
        renewed = port->AskNewPin(info.ulMinPinLen, info.ulMaxPinLen);
        if (renewed.empty()) {
            return CKR_FUNCTION_CANCELED;
        }
        rv = Checked(fn->C_SetPIN(session, PinBytes(oldPin), oldPin.size(), PinBytes(renewed),
                                  renewed.size()));
    }
    Log().Write("PIN change status: " + std::to_string(rv));
    if (rv == CKR_OK) {
        port->ReplacePin(renewed.Clone());
        return CKR_OK;
    }
    renewed.Clear();
    return rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE ? kTokenNewPinRefused : rv;
}

CK_FLAGS PinWarningFlags(const TokenStep& step, CK_FLAGS tokenFlags) {
    const CK_FLAGS flags =
        tokenFlags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    // Many tokens never set the count flags: after a refused PIN, say that the count is unknown.
    return flags == 0 && step.PinRefusedSinceAccepted() ? kPinTriesUnknown : flags;
}

CK_RV AuthenticateKeyUse(TokenStep& step, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                         CK_OBJECT_HANDLE key, CK_FLAGS tokenFlags, const Secret& pin) {
    CK_BBOOL always = CK_FALSE;
    CK_ATTRIBUTE attribute{CKA_ALWAYS_AUTHENTICATE, &always, sizeof always};
    if (fn->C_GetAttributeValue(session, key, &attribute, 1) != CKR_OK || always != CK_TRUE) {
        return CKR_OK;
    }
    // Some libraries keep the attribute without enforcing it and know no context-specific user:
    // the operation then goes ahead as it is, and fails by itself if the key did want a login.
    const CK_RV rv = LoginAs(step, fn, session, CKU_CONTEXT_SPECIFIC, tokenFlags, pin);
    return rv == CKR_USER_TYPE_INVALID ? CKR_OK : rv;
}

CK_RV Pkcs11Login::Login(TokenStep& step, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                         CK_FLAGS tokenFlags, const Secret& pin, bool acceptAlreadyLoggedIn) {
    step_ = &step;
    fn_ = fn;
    session_ = session;
    if (step.HoldsLogin(fn, session)) {
        return CKR_OK;  // the step's login: no PIN, no keypad, no logout here
    }
    CK_RV rv = CKR_USER_ALREADY_LOGGED_IN;
    CK_SESSION_INFO info{};
    // A reader may ask for the PIN on its keypad before it looks at the login in place.
    if (!acceptAlreadyLoggedIn || !PinOnReader(tokenFlags) ||
        Checked(fn->C_GetSessionInfo(session, &info)) != CKR_OK ||
        (info.state != CKS_RO_USER_FUNCTIONS && info.state != CKS_RW_USER_FUNCTIONS)) {
        rv = LoginAs(step, fn, session, CKU_USER, tokenFlags, renewed_.empty() ? pin : renewed_);
    }
    // A token that demands a new PIN: refused as expired, or logged in but keeping its key back.
    if (rv == CKR_PIN_EXPIRED || (rv == CKR_OK && (tokenFlags & CKF_USER_PIN_TO_BE_CHANGED) != 0 &&
                                  ChangeStillDemanded(fn, session))) {
        rv = Renew(tokenFlags, renewed_.empty() ? pin : renewed_, rv == CKR_PIN_EXPIRED);
    }
    if (rv == CKR_OK) {
        loggedIn_ = !step.KeepLogin(fn, session);
    } else if (rv == CKR_USER_ALREADY_LOGGED_IN && (acceptAlreadyLoggedIn || step.Active())) {
        alreadyLoggedIn_ = true;
    }
    return rv;
}

CK_RV Pkcs11Login::Renew(CK_FLAGS tokenFlags, const Secret& pin, bool expired) {
    Secret renewed;
    CK_RV rv = ChangeDemandedPin(*step_, fn_, session_, tokenFlags, pin, renewed);
    if (rv == CKR_OK && expired) {
        rv = LoginAs(*step_, fn_, session_, CKU_USER, tokenFlags, renewed);
    } else if (rv != CKR_OK && !expired) {
        fn_->C_Logout(session_);  // not kept: the step ends here
    }
    if (rv == CKR_OK && !renewed.empty()) {
        renewed_ = std::move(renewed);
    }
    return rv;
}

CK_RV Pkcs11Login::Logout() {
    if (!loggedIn_) {
        return CKR_OK;
    }
    loggedIn_ = false;
    return Checked(fn_->C_Logout(session_));
}

}  // namespace qe
