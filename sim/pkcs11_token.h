#pragma once

#include <memory>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "toolkit/bytes.h"
#include "toolkit/secret.h"

namespace qe::sim {

// Just enough PKCS#11 for provision-token, on its own (the simulator does not use the wizard's
// token layer). Every call that fails leaves its function name and result in `error`.

// "C_Login: CKR_PIN_INCORRECT (0xA0)".
std::string DescribeRv(const char* function, CK_RV rv);

// A loaded and initialised module; finalised and unloaded on destruction.
class Pkcs11Module {
public:
    static std::unique_ptr<Pkcs11Module> Load(const std::string& path, std::string& error);
    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    CK_FUNCTION_LIST* functions() const { return functions_; }

    // The slot whose token label (blank-padded to 32 bytes) equals `label`; false when there is
    // none or several.
    bool FindSlotByLabel(const std::string& label, CK_SLOT_ID& slot, std::string& error) const;

private:
    Pkcs11Module(void* library, CK_FUNCTION_LIST* functions)
        : library_(library), functions_(functions) {}
    void* library_;
    CK_FUNCTION_LIST* functions_;
};

// A read-write session, logged in as the user; logged out and closed on destruction.
class Pkcs11Session {
public:
    Pkcs11Session(const Pkcs11Module& module, CK_SLOT_ID slot)
        : f_(module.functions()), slot_(slot) {}
    ~Pkcs11Session();
    Pkcs11Session(const Pkcs11Session&) = delete;
    Pkcs11Session& operator=(const Pkcs11Session&) = delete;

    bool OpenAndLogin(const Secret& pin, std::string& error);
    CK_SESSION_HANDLE handle() const { return session_; }
    CK_FUNCTION_LIST* functions() const { return f_; }

    // An RSA key pair on the token (private key sensitive, never extractable) under `label`;
    // with `alwaysAuthenticate` the private key wants the PIN again for each signature, as
    // qualified signature keys often do.
    bool GenerateRsaKeyPair(CK_ULONG bits, const std::string& label, bool alwaysAuthenticate,
                            CK_OBJECT_HANDLE& publicKey, CK_OBJECT_HANDLE& privateKey,
                            std::string& error);
    // A byte-string attribute of an object.
    bool ReadAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value,
                       std::string& error);
    // Sets one byte-string attribute (CKA_ID, CKA_LABEL).
    bool SetAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, const Bytes& value,
                      std::string& error);
    // What another program may keep on a token, with identifier "OBJECT ID" and `label`: a
    // 128-bit AES key, or else a data object.
    bool CreateOtherObject(bool secretKey, const std::string& label, std::string& error);
    // An X.509 certificate object carrying `der` and its subject, issuer and serial number.
    bool CreateCertificate(const Bytes& der, const Bytes& subject, const Bytes& issuer,
                           const Bytes& serial, const Bytes& id, const std::string& label,
                           std::string& error);

private:
    CK_FUNCTION_LIST* f_;
    CK_SLOT_ID slot_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    bool loggedIn_ = false;
};

}  // namespace qe::sim
