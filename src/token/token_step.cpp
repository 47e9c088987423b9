#include "token/token_step.h"

#include <algorithm>

#include "token/pkcs11_call.h"

namespace qe {
namespace {

thread_local TokenStep* t_step = nullptr;

bool UserState(CK_STATE state) {
    return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
}

}  // namespace

TokenStep::TokenStep() : outer_(t_step) {
    if (outer_ == nullptr) {
        t_step = this;
    }
}

TokenStep::~TokenStep() {
    if (t_step != this) {
        return;
    }
    // Clean-up results are not recorded: the step's own outcome is the one to report.
    for (const Login& login : logins_) {
        login.fn->C_Logout(login.keeper);
        login.fn->C_CloseSession(login.keeper);
    }
    t_step = nullptr;  // the modules now finalise as they go, not into the step again
    libraries_.clear();
}

CK_FUNCTION_LIST* TokenStep::HeldLibrary(const std::string& name) {
    if (t_step == nullptr) {
        return nullptr;
    }
    const auto it = t_step->libraries_.find(name);
    return it != t_step->libraries_.end() ? it->second.fn() : nullptr;
}

bool TokenStep::KeepLibrary(Pkcs11Module& module) {
    if (t_step == nullptr || t_step->libraries_.count(module.name()) != 0) {
        return false;
    }
    const std::string name = module.name();
    t_step->libraries_.emplace(name, std::move(module));
    return true;
}

bool TokenStep::HoldsLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    if (t_step == nullptr || t_step->logins_.empty() ||
        fn->C_GetSessionInfo(session, &info) != CKR_OK) {
        return false;
    }
    // A login reset from outside (another program, a card reset) is not held any more. Slot IDs
    // may change between calls: the library tells the step's login.
    return UserState(info.state) && std::any_of(t_step->logins_.begin(), t_step->logins_.end(),
                                                [&](const Login& l) { return l.fn == fn; });
}

bool TokenStep::KeepLogin(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    if (t_step == nullptr || fn->C_GetSessionInfo(session, &info) != CKR_OK) {
        return false;
    }
    // A login lasts while a session on the token is open: the step keeps one of its own (one
    // more for a login made again after a reset; they all close with the step).
    CK_SESSION_HANDLE keeper = CK_INVALID_HANDLE;
    if (Checked(fn->C_OpenSession(info.slotID, CKF_SERIAL_SESSION, nullptr, nullptr, &keeper)) !=
        CKR_OK) {
        return false;
    }
    t_step->logins_.push_back({fn, keeper});
    return true;
}

bool TokenStep::LibraryLost(const std::string& name) {
    if (t_step == nullptr) {
        return false;
    }
    const auto it = t_step->libraries_.find(name);
    if (it == t_step->libraries_.end()) {
        return false;
    }
    std::erase_if(t_step->logins_, [&](const Login& l) { return l.fn == it->second.fn(); });
    it->second.KeepInitialized();
    t_step->libraries_.erase(it);
    return true;
}

bool TokenStep::Active() {
    return t_step != nullptr;
}

bool TokenStep::FirstLook(const std::string& what) {
    return t_step == nullptr || t_step->looked_.insert(what).second;
}

void TokenStep::LendSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_SESSION_HANDLE session) {
    if (t_step != nullptr) {
        t_step->loans_.push_back({fn, slot, session});
    }
}

void TokenStep::EndLoan(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) {
    if (t_step != nullptr) {
        std::erase_if(t_step->loans_,
                      [&](const Loan& l) { return l.fn == fn && l.session == session; });
    }
}

CK_SESSION_HANDLE TokenStep::LentSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot) {
    if (t_step == nullptr) {
        return CK_INVALID_HANDLE;
    }
    const auto it = std::find_if(t_step->loans_.begin(), t_step->loans_.end(),
                                 [&](const Loan& l) { return l.fn == fn && l.slot == slot; });
    return it != t_step->loans_.end() ? it->session : CK_INVALID_HANDLE;
}

}  // namespace qe
