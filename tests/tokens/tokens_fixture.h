#pragma once

// What the tokens tests share: a customer's token on the stack with-stack.sh started (its library
// in QE_TOKEN_MODULE), the simulator, and the wizard's flows behind a scripted window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Before any Qt header, whose keywords (slots) the token headers use as names.
#include "token/pkcs11_find.h"
#include "token/pkcs11_template.h"
#include "token/pki.h"

#include "flows/e2e_fixture.h"
#include "sim/cert_util.h"
#include "sim/delivery_builder.h"

namespace qe::test {

// As tests/tokens/CMakeLists.txt has with-stack.sh make the token.
constexpr const char* kLabel = "Ion Popescu";
constexpr const char* kPin = "4711";

inline Bytes Modulus(const Bytes& der) {
    const X509Ptr certificate = sim::CertificateFromDer(der);
    return certificate ? sim::RsaModulus(X509_get0_pubkey(certificate.get())) : Bytes();
}

// The library under test: the stack's, or on the PIV card (QE_PIV_UNDER=ykcs11) ykcs11.
inline std::string TestedModule() {
    const char* under = std::getenv("QE_PIV_UNDER");
    return std::getenv(under != nullptr && std::string(under) == "ykcs11" ? "QE_PIV_MODULE"
                                                                          : "QE_TOKEN_MODULE");
}

// One command as a new run of the wizard would run it, after its status check; true when success
// was shown.
inline bool RunWizard(ScriptedWindow& window, int mode, const char* pin = kPin) {
    window.mode = 0;
    StatusCheckThread(window);
    window.ClearPin();
    window.Clear();
    window.pinAnswers = {pin};
    window.mode = mode;
    (mode == 1 ? RegisterThread : DownloadThread)(window);
    return std::count(window.results.begin(), window.results.end(), ERR_SUCCESS) != 0;
}

class TokensTest : public ::testing::Test {
protected:
    void SetUp() override {
        ListModule();
        const CommandResult provisioned = ProvisionToken(
            dir_ / "sim", module_, kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
            "ion.popescu@example.ro", "ion.popescu@firma.local", true,
            listed_ != module_);  // the fault rounds meet other programs' objects too
        ASSERT_EQ(provisioned.status, 0) << provisioned.err;
        sim_ = std::make_unique<SimProcess>(dir_ / "sim");
        PointWizardAt(*sim_);
    }

    void ListModule() {
        std::filesystem::create_directories(dir_ / "config/Nolt/zelenroll/PKCS11Modules");
        WriteFile(dir_ / "config/Nolt/zelenroll/PKCS11Modules/PKCS11Modules", listed_);
    }
    bool Run(int mode) { return RunWizard(window_, mode); }

    // The certificates on the token and the moduli of its private keys.
    struct Held {
        std::vector<Bytes> certificates;
        std::set<Bytes> keys;
        bool Has(const Bytes& der) const {
            return std::count(certificates.begin(), certificates.end(), der) != 0;
        }
        bool Usable(const Bytes& der) const { return Has(der) && keys.count(Modulus(der)) != 0; }
    };
    Held Token() const {
        SoftHsm::Session token(kLabel, kPin, module_);
        Held held;
        // A card pulled out while an object was written may keep it half made: it holds nothing.
        Bytes value;
        for (const CK_OBJECT_HANDLE key : token.Find(CKO_PRIVATE_KEY)) {
            if (ReadAttribute(token.fn(), token.handle(), key, CKA_MODULUS, value) == CKR_OK) {
                held.keys.insert(value);
            }
        }
        for (const CK_OBJECT_HANDLE object : token.Find(CKO_CERTIFICATE)) {
            if (ReadAttribute(token.fn(), token.handle(), object, CKA_VALUE, value) == CKR_OK) {
                held.certificates.push_back(value);
            }
        }
        return held;
    }

    ScopedDir dir_{"tokens"};
    ScopedEnv config_{"XDG_CONFIG_HOME", (dir_ / "config").c_str()};
    ScopedEnv machineConfig_{"XDG_CONFIG_DIRS", (dir_ / "xdg").c_str()};
    const std::string module_ = TestedModule();
    std::string listed_ = module_;  // the library the wizard's module list names
    std::unique_ptr<SimProcess> sim_;
    ScriptedWindow window_;
};

}  // namespace qe::test
