#pragma once

#include <list>
#include <map>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "support/scoped_dir.h"
#include "token/pkcs11_module.h"
#include "token/pkcs11_session.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"

namespace qe::test {

// Paths of the libraries the token tests load.
const char* SoftHsmLibrary();          // SoftHSM2 itself
const char* FaultModuleLibrary();      // the fault-injecting module
const char* FaultModuleTwinLibrary();  // the same module under another file name

// One call the fault module recorded: "C_Name field=value ... [type=hex,...] -> 0xRV".
struct RecordedCall {
    std::string name;
    std::map<std::string, std::string> fields;
    // Attribute templates in the order they stand; for C_GetAttributeValue the types only.
    std::vector<std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>> templates;
    CK_RV rv = CKR_OK;
};

// The value bytes of a CK_ULONG / CK_BBOOL attribute as the fault module records them.
Bytes UlongBytes(CK_ULONG value);
Bytes BoolBytes(bool value);

// A private SoftHSM2 for one test: its own configuration and token directory, its own XDG
// configuration homes (user and machine) and its own fault-module configuration, all set in the
// environment for the life of the object and removed afterwards. Throws std::runtime_error when
// the token cannot be set up.
class SoftHsm {
public:
    SoftHsm();

    const std::string& dir() const { return dir_.path(); }
    std::string UserConfigHome() const { return dir_ / "config"; }
    std::string MachineConfigHome() const { return dir_ / "xdg"; }

    // Initialises a new token with its label, user PIN and SO PIN; returns its serial number.
    std::string InitToken(const std::string& label, const std::string& userPin,
                          const std::string& soPin = "87654321");

    // A logged-in read-write session on the token with `label`, straight on SoftHSM2 (or on
    // another library).
    class Session {
    public:
        Session(const std::string& label, const std::string& pin,
                const std::string& library = SoftHsmLibrary());
        CK_FUNCTION_LIST* fn() const { return module_.fn(); }
        CK_SESSION_HANDLE handle() const { return session_.handle(); }

        // Generates an RSA key pair with these labels and identifier; returns the modulus.
        Bytes GenerateRsaKeyPair(CK_ULONG bits, const std::string& id,
                                 const std::string& publicLabel = "Test Public Key",
                                 const std::string& privateLabel = "Test Private Key");
        // Creates an X.509 certificate object holding `der`, with its subject, issuer and
        // serial number when it is a certificate with an RSA key.
        void CreateCertificate(const Bytes& der, const Bytes& id, const std::string& label);
        // Every object as its class, identifier, label, modulus and value in hex, sorted.
        std::vector<std::string> Objects();
        // Objects of a class (and, when given, a modulus), in C_FindObjects order.
        std::vector<CK_OBJECT_HANDLE> Find(CK_OBJECT_CLASS objectClass, const Bytes& modulus = {});
        Bytes Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
        Bytes PublicExponent(const Bytes& modulus);

    private:
        Pkcs11Module module_;
        Pkcs11Session session_;
        Pkcs11Login login_;
    };

    // Writes the user's module list (one name a line).
    void WriteModuleList(const std::vector<std::string>& names);
    // Writes the fault module's configuration; a "record" line for RecordPath() comes first.
    void WriteFaultConfig(const std::string& text) {
        WriteFile(dir_ / "fault.conf", "record " + RecordPath() + "\n" + text);
    }
    std::string RecordPath() const { return dir_ / "calls.txt"; }
    std::vector<RecordedCall> RecordedCalls() const;
    void ClearRecord() { std::filesystem::remove(RecordPath()); }

private:
    ScopedDir dir_;
    std::list<ScopedEnv> environment_;
};

// The tokens the token layer lists through the library.
std::vector<zel_token> ListedTokens(const std::string& module = FaultModuleLibrary());

// Names of recorded calls, in order, filtered to those listed (all when `only` is empty).
std::vector<std::string> CallNames(const std::vector<RecordedCall>& calls,
                                   const std::vector<std::string>& only = {});

}  // namespace qe::test
