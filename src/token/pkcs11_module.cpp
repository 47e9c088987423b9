#include "token/pkcs11_module.h"

#include <dlfcn.h>

#include <cstring>

#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "log/last_error.h"
#include "token/pkcs11_call.h"
#include "token/token_step.h"

namespace qe {
namespace {

// dlerror's text for the last failed dl* call, or a fallback when it has none.
void RecordDlError(CK_RV code) {
    const char* text = dlerror();
    SetLastSystemError(static_cast<std::uint32_t>(code), text != nullptr ? text : "");
}

// Process-wide because a library's initialisation is: C_Initialize holds for the whole process.
// Libraries whose C_Finalize failed in this process and so may still hold its initialisation.
std::mutex g_leftMutex;
std::set<std::string> g_leftInitialised;
// Live objects that initialised a library, by its name: another cycle meanwhile shares it.
std::map<std::string, int> g_holders;

void Hold(const std::string& name, int change) {
    const std::lock_guard<std::mutex> lock(g_leftMutex);
    if ((g_holders[name] += change) <= 0) {
        g_holders.erase(name);
    }
}

// Notes whether the library of `name` stays initialised after our C_Finalize answered `rv`.
CK_RV NoteFinalized(const std::string& name, CK_RV rv) {
    const std::lock_guard<std::mutex> lock(g_leftMutex);
    if (rv == CKR_OK) {
        g_leftInitialised.erase(name);
    } else {
        g_leftInitialised.insert(name);
    }
    return rv;
}

}  // namespace

Pkcs11Module::~Pkcs11Module() {
    Reset();
}

Pkcs11Module::Pkcs11Module(Pkcs11Module&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      functions_(std::exchange(other.functions_, nullptr)),
      initialized_(std::exchange(other.initialized_, false)),
      keepInitialized_(std::exchange(other.keepInitialized_, false)),
      shared_(std::exchange(other.shared_, false)),
      borrowed_(std::exchange(other.borrowed_, false)),
      step_(std::exchange(other.step_, nullptr)),
      name_(std::move(other.name_)) {}

Pkcs11Module& Pkcs11Module::operator=(Pkcs11Module&& other) noexcept {
    if (this != &other) {
        Reset();
        handle_ = std::exchange(other.handle_, nullptr);
        functions_ = std::exchange(other.functions_, nullptr);
        initialized_ = std::exchange(other.initialized_, false);
        keepInitialized_ = std::exchange(other.keepInitialized_, false);
        shared_ = std::exchange(other.shared_, false);
        borrowed_ = std::exchange(other.borrowed_, false);
        step_ = std::exchange(other.step_, nullptr);
        name_ = std::move(other.name_);
    }
    return *this;
}

CK_RV Pkcs11Module::Load(const std::string& name, TokenStep& step) {
    Reset();
    name_ = name;
    step_ = step.Active() ? &step : nullptr;  // a NoStep may end before the module
    // Within a step a library is loaded and initialised once.
    if (CK_FUNCTION_LIST* held = step.HeldLibrary(name); held != nullptr) {
        functions_ = held;
        borrowed_ = true;
        return CKR_OK;
    }
    dlerror();
    // Never unloaded while the process runs: some libraries crash in C_Initialize when they are
    // loaded again after an unload, and a library's threads may outlive its C_Finalize. Each
    // cycle still initialises and finalises; dlclose only drops this cycle's reference.
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        RecordDlError(kModuleNotLoaded);
        return kModuleNotLoaded;
    }
    void* symbol = dlsym(handle, "C_GetFunctionList");
    if (symbol == nullptr) {
        RecordDlError(kNoFunctionList);
        dlclose(handle);
        return kNoFunctionList;
    }
    CK_C_GetFunctionList getFunctionList = nullptr;
    static_assert(sizeof getFunctionList == sizeof symbol);
    std::memcpy(&getFunctionList, &symbol, sizeof symbol);

    CK_FUNCTION_LIST* functions = nullptr;
    CK_RV rv = Checked(getFunctionList(&functions));
    if (rv == CKR_OK && functions == nullptr) {
        rv = Checked(CKR_GENERAL_ERROR);
    }
    if (rv != CKR_OK) {
        dlclose(handle);
        return rv;
    }
    handle_ = handle;
    functions_ = functions;
    return CKR_OK;
}

CK_RV Pkcs11Module::Initialize() {
    if (functions_ == nullptr) {
        return Checked(CKR_CRYPTOKI_NOT_INITIALIZED);
    }
    if (borrowed_) {
        shared_ = true;
        return CKR_OK;
    }
    const CK_RV rv = Checked(functions_->C_Initialize(nullptr));
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        const std::lock_guard<std::mutex> lock(g_leftMutex);
        // Our own initialisation that a failed C_Finalize left behind is taken over, or every
        // later cycle would fail on it.
        if (g_leftInitialised.erase(name_) != 0) {
            initialized_ = true;
            ++g_holders[name_];
            return CKR_OK;
        }
        if (g_holders.count(name_) != 0) {
            shared_ = true;
            return CKR_OK;
        }
    }
    if (rv == CKR_OK) {
        AdoptInitialization();
    }
    return rv;
}

void Pkcs11Module::AdoptInitialization() {
    if (!initialized_) {
        initialized_ = true;
        Hold(name_, 1);
    }
}

CK_RV Pkcs11Module::Finalize() {
    if (!initialized_ || functions_ == nullptr) {
        return CKR_OK;
    }
    initialized_ = false;
    Hold(name_, -1);
    return NoteFinalized(name_, Checked(functions_->C_Finalize(nullptr)));
}

void Pkcs11Module::Reset() noexcept {
    if (!borrowed_ && functions_ != nullptr && initialized_ && !keepInitialized_ &&
        step_ != nullptr && step_->KeepLibrary(*this)) {
        return;  // moved into the step, which finalises it at its end
    }
    if (!borrowed_ && functions_ != nullptr && initialized_) {
        Hold(name_, -1);
        if (!keepInitialized_) {
            NoteFinalized(name_, functions_->C_Finalize(nullptr));
        }
    }
    if (handle_ != nullptr && !borrowed_) {
        dlclose(handle_);
    }
    handle_ = nullptr;
    functions_ = nullptr;
    initialized_ = false;
    keepInitialized_ = false;
    shared_ = false;
    borrowed_ = false;
    step_ = nullptr;
    name_.clear();
}

}  // namespace qe
