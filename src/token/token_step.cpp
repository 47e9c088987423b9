#include "token/token_step.h"

#include <algorithm>

#include "token/pkcs11_call.h"

namespace qe {
namespace {

bool UserState(CK_STATE state) {
    return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
}

}  // namespace

TokenStep::TokenStep(PinPort* pins) : active_(true), pins_(pins) {}

TokenStep::TokenStep(Outside) : active_(false), pins_(nullptr) {}

TokenStep::~TokenStep() {
    // Clean-up results are not recorded: the step's own outcome is the one to report.
    for (const Login& login : logins_) {
        login.fn->C_Logout(login.keeper);
        login.fn->C_CloseSession(login.keeper);
    }
    ending_ = true;
    libraries_.clear();
}

CK_FUNCTION_LIST* TokenStep::HeldLibrary(const std::string& name) const {
    const auto it = libraries_.find(name);
    return it != libraries_.end() ? it->second.fn() : nullptr;
}

bool TokenStep::KeepLibrary(Pkcs11Module& module) {
    if (!active_ || ending_ || libraries_.count(module.name()) != 0) {
        return false;
    }
    const std::string name = module.name();
    libraries_.emplace(name, std::move(module));
    return true;
}

bool TokenStep::HoldsLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) const {
    CK_SESSION_INFO info{};
    if (logins_.empty() || fn->C_GetSessionInfo(session, &info) != CKR_OK) {
        return false;
    }
    // A login reset from outside (another program, a card reset) is not held any more. Slot IDs
    // may change between calls: the library tells the step's login.
    return UserState(info.state) &&
           std::any_of(logins_.begin(), logins_.end(), [&](const Login& l) { return l.fn == fn; });
}

bool TokenStep::KeepLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    if (!active_ || fn->C_GetSessionInfo(session, &info) != CKR_OK) {
        return false;
    }
    // A login lasts while a session on the token is open: the step keeps one of its own (one
    // more for a login made again after a reset; they all close with the step).
    CK_SESSION_HANDLE keeper = CK_INVALID_HANDLE;
    if (Checked(fn->C_OpenSession(info.slotID, CKF_SERIAL_SESSION, nullptr, nullptr, &keeper)) !=
        CKR_OK) {
        return false;
    }
    logins_.push_back({fn, keeper});
    return true;
}

bool TokenStep::LibraryLost(const std::string& name) {
    const auto it = libraries_.find(name);
    if (it == libraries_.end()) {
        return false;
    }
    std::erase_if(logins_, [&](const Login& l) { return l.fn == it->second.fn(); });
    it->second.KeepInitialized();
    libraries_.erase(it);
    return true;
}

bool TokenStep::FirstLook(const std::string& what) {
    return !active_ || looked_.insert(what).second;
}

void TokenStep::LendSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_SESSION_HANDLE session) {
    if (active_) {
        loans_.push_back({fn, slot, session});
    }
}

void TokenStep::EndLoan(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) {
    std::erase_if(loans_, [&](const Loan& l) { return l.fn == fn && l.session == session; });
}

CK_SESSION_HANDLE TokenStep::LentSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot) const {
    const auto it = std::find_if(loans_.begin(), loans_.end(),
                                 [&](const Loan& l) { return l.fn == fn && l.slot == slot; });
    return it != loans_.end() ? it->session : CK_INVALID_HANDLE;
}

void TokenStep::NotePinChecked(bool refused) {
    if (pins_ != nullptr) {
        pins_->SetPinRefused(refused);
    }
    pinRefused_ = refused;
}

bool TokenStep::PinRefusedSinceAccepted() const {
    return pins_ != nullptr ? pins_->PinRefused() : pinRefused_.load();
}

}  // namespace qe
