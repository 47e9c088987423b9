// The whole renewal on a real PKCS#11 implementation other than the one every other test uses:
// the stack named by QE_TOKEN_STACK (softhsm, tpm, opencryptoki), set up by its script in
// tests/tokens/, the simulator, and the flows behind a scripted window, in this process as the
// wizard runs them. The customer's key wants the PIN for every signature, as qualified keys do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <list>

#include <unistd.h>

// Before any Qt header, whose keywords (slots) the token headers use as names.
#include "token/pkcs11_find.h"
#include "token/pkcs11_template.h"
#include "token/pki.h"

#include "flows/e2e_fixture.h"
#include "sim/cert_util.h"
#include "sim/delivery_builder.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr const char* kLabel = "Ion Popescu";
constexpr const char* kPin = "4711";  // opencryptoki takes 4 to 8 characters
constexpr const char* kSoPin = "24681357";

std::string Stack() {
    const char* stack = std::getenv("QE_TOKEN_STACK");
    return stack != nullptr ? stack : "softhsm";
}

// One stack's token, started by its script in a directory of its own and stopped at the end;
// the environment it prints stays set for the life of the object.
class TokenStack {
public:
    explicit TokenStack(const std::string& dir) : dir_(dir) {
        const CommandResult started = RunCommand({Script(), "start", dir_, kLabel, kPin, kSoPin});
        if (started.status != 0) {
            throw std::runtime_error(Stack() + " did not start: " + started.err);
        }
        for (const std::string& line : SplitLines(started.out)) {
            const std::size_t equals = line.find('=');
            const std::string name = line.substr(0, equals);
            const std::string value = line.substr(equals + 1);
            if (name == "QE_TOKEN_MODULE") {
                module_ = value;
            } else {
                environment_.emplace_back(name, value.c_str());
            }
        }
    }
    ~TokenStack() { RunCommand({Script(), "stop", dir_}); }
    TokenStack(const TokenStack&) = delete;
    TokenStack& operator=(const TokenStack&) = delete;

    const std::string& module() const { return module_; }

private:
    static std::string Script() { return std::string(QE_TOKEN_SCRIPTS) + "/" + Stack() + ".sh"; }

    std::string dir_;
    std::string module_;
    std::list<ScopedEnv> environment_;
};

// A logged-in session on the stack's token, straight through its library.
class TokenSession {
public:
    explicit TokenSession(const std::string& module) {
        std::vector<CK_SLOT_ID> present;
        if (LoadWithPresentSlots(module, module_, present) != CKR_OK) {
            throw std::runtime_error("cannot load " + module);
        }
        for (const CK_SLOT_ID slot : present) {
            CK_TOKEN_INFO info{};
            if (module_.fn()->C_GetTokenInfo(slot, &info) == CKR_OK &&
                TrimmedField(info.label, sizeof info.label) == kLabel &&
                session_.Open(module_.fn(), slot, CKF_SERIAL_SESSION | CKF_RW_SESSION) == CKR_OK &&
                login_.Login(module_.fn(), session_.handle(), Secret(kPin)) == CKR_OK) {
                return;
            }
        }
        throw std::runtime_error("no session on the token " + std::string(kLabel));
    }
    std::vector<CK_OBJECT_HANDLE> Find(CK_OBJECT_CLASS objectClass) {
        AttributeTemplate pattern;
        pattern.Ulong(CKA_CLASS, objectClass);
        std::vector<CK_OBJECT_HANDLE> found;
        FindAllObjects(module_.fn(), session_.handle(), pattern, found);
        return found;
    }
    // The attribute's value, or the token's refusal as "CKR ..." text.
    std::string Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        Bytes value;
        const CK_RV rv = ReadAttribute(module_.fn(), session_.handle(), object, type, value);
        return rv == CKR_OK ? ToString(value) : "CKR " + std::to_string(rv);
    }

private:
    Pkcs11Module module_;
    Pkcs11Session session_;
    Pkcs11Login login_;
};

class TokensTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (Stack() == "opencryptoki" && geteuid() != 0) {
            GTEST_SKIP() << "opencryptoki's slot daemon and store are the machine's: run as root";
        }
        stack_ = std::make_unique<TokenStack>(dir_ / "token");
        std::filesystem::create_directories(dir_ / "config/Nolt/zelenroll/PKCS11Modules");
        WriteFile(dir_ / "config/Nolt/zelenroll/PKCS11Modules/PKCS11Modules", stack_->module());
        const CommandResult provisioned = ProvisionToken(
            dir_ / "sim", stack_->module(), kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
            "ion.popescu@example.ro", "ion.popescu@firma.local", true);
        ASSERT_EQ(provisioned.status, 0) << provisioned.err;
        sim_ = std::make_unique<SimProcess>(dir_ / "sim");
        PointWizardAt(*sim_);
    }

    // One command as a new run of the wizard would run it, after its status check.
    void Run(int mode) {
        window_.mode = 0;
        StatusCheckThread(window_);
        window_.ClearPin();
        window_.Clear();
        window_.pinAnswers = {kPin};
        window_.mode = mode;
        (mode == 1 ? RegisterThread : DownloadThread)(window_);
    }
    QJsonObject Order() const {
        return QJsonDocument::fromJson(QByteArray::fromStdString(sim_->ControlState()))["orders"][0]
            .toObject();
    }

    ScopedDir dir_{"tokens"};
    ScopedEnv config_{"XDG_CONFIG_HOME", (dir_ / "config").c_str()};
    ScopedEnv machineConfig_{"XDG_CONFIG_DIRS", (dir_ / "xdg").c_str()};
    ScopedEnv temp_{"TMPDIR", dir_.path().c_str()};
    std::unique_ptr<TokenStack> stack_;
    std::unique_ptr<SimProcess> sim_;
    ScriptedWindow window_;
};

TEST_F(TokensTest, WholeRenewalLeavesTheNewCertificateWithAProtectedKey) {
    Run(1);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS)) << sim_->Log();
    Bytes issued;
    window_.acceptance = [&issued](const Bytes& certificate, auto&&...) {
        issued = certificate;
        return AcceptanceOutcome{0, true};
    };
    Run(2);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    const QJsonObject order = Order();
    EXPECT_TRUE(order["signatureVerified"].toBool() && order["installed"].toBool());

    // Only the new certificate; its key pair beside the old one's, and no other key.
    TokenSession token(stack_->module());
    std::vector<std::string> certificates;
    for (const CK_OBJECT_HANDLE object : token.Find(CKO_CERTIFICATE)) {
        certificates.push_back(token.Attribute(object, CKA_VALUE));
    }
    EXPECT_THAT(certificates, ElementsAre(ToString(issued)));
    const Bytes modulus = sim::RsaModulus(X509_get0_pubkey(sim::CertificateFromDer(issued).get()));
    std::vector<std::string> privateKeys;
    for (const CK_OBJECT_HANDLE key : token.Find(CKO_PRIVATE_KEY)) {
        const bool renewed = token.Attribute(key, CKA_MODULUS) == ToString(modulus);
        privateKeys.push_back(renewed ? "new" : "old");
        if (renewed) {
            // Never readable, never exportable, whatever the token's defaults are.
            EXPECT_EQ(token.Attribute(key, CKA_SENSITIVE), ToString(BoolBytes(true)));
            EXPECT_EQ(token.Attribute(key, CKA_EXTRACTABLE), ToString(BoolBytes(false)));
            EXPECT_THAT(token.Attribute(key, CKA_PRIVATE_EXPONENT), ::testing::StartsWith("CKR "));
        }
    }
    EXPECT_THAT(privateKeys, UnorderedElementsAre("old", "new"));
    EXPECT_EQ(token.Find(CKO_PUBLIC_KEY).size(), 2u);

    // Nothing left to install; the new certificate is the one to renew next.
    window_.mode = 0;
    StatusCheckThread(window_);
    EXPECT_FALSE(window_.Status().canDownload);
    ASSERT_EQ(window_.Status().renewableStore.size(), 1u);
    EXPECT_EQ(window_.Status().renewableStore[0].der, issued);
}

}  // namespace
}  // namespace qe::test
