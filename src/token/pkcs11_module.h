#pragma once

#include <string>

#include <p11-kit/pkcs11.h>

namespace qe {

class TokenStep;

// Results of loading a PKCS#11 library (beside the CK_RV of its C_GetFunctionList).
inline constexpr CK_RV kModuleNotLoaded = 7;  // the file could not be loaded (CKR_ARGUMENTS_BAD)
inline constexpr CK_RV kNoFunctionList = 84;  // no C_GetFunctionList (CKR_FUNCTION_NOT_SUPPORTED)

// One loaded PKCS#11 library: dlopen by the stored name, its function list, and whether this
// object initialised it. The destructor finalises what it initialised and releases its reference
// on every path, unless told to keep it initialised. The library itself is loaded once per
// process and never unloaded (RTLD_NODELETE). Movable, never copied.
class Pkcs11Module {
public:
    Pkcs11Module() = default;
    ~Pkcs11Module();
    Pkcs11Module(Pkcs11Module&& other) noexcept;
    Pkcs11Module& operator=(Pkcs11Module&& other) noexcept;
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    // Loads the library by `name` exactly as given (the dynamic linker's search order applies to
    // bare names), looks up C_GetFunctionList and calls it. Returns 0, kModuleNotLoaded,
    // kNoFunctionList or the failing result of C_GetFunctionList (CKR_GENERAL_ERROR when it
    // succeeds without a list). On failure nothing stays loaded. Any earlier library is released.
    // Within `step` a library is loaded and initialised once: a library the step holds is
    // borrowed, and one this object initialises goes to the step at the end rather than being
    // finalised. A step of the customer's outlives the object.
    CK_RV Load(const std::string& name, TokenStep& step);

    // C_Initialize with no arguments. On CKR_OK the destructor will call C_Finalize; any other
    // result (CKR_CRYPTOKI_ALREADY_INITIALIZED included) is returned and leaves finalisation to
    // someone else unless AdoptInitialization is called. A library that another live object of
    // this process initialised (a step holding its session open) is shared: CKR_OK, shared()
    // true, and its finalisation stays with that object.
    CK_RV Initialize();
    // Makes the destructor finalise even though Initialize reported that the library was already
    // initialised (the listing finalises in that case too).
    void AdoptInitialization();
    // Leaves the library initialised at destruction (a login found in place stays in place).
    void KeepInitialized() { keepInitialized_ = true; }
    // C_Finalize now, when this object initialised the library; returns its result (0 otherwise).
    CK_RV Finalize();
    // Finalises as the destructor would and releases the library.
    void Reset() noexcept;

    bool loaded() const { return functions_ != nullptr; }
    bool shared() const { return shared_; }
    CK_FUNCTION_LIST* fn() const { return functions_; }
    const std::string& name() const { return name_; }

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool initialized_ = false;
    bool keepInitialized_ = false;
    bool shared_ = false;
    bool borrowed_ = false;  // the step's library: neither loaded nor initialised here
    TokenStep* step_ = nullptr;
    std::string name_;
};

}  // namespace qe
