// The whole renewal on one real PKCS#11 implementation, the one with-stack.sh started beside
// this program (SoftHSM2, a TPM token or opencryptoki; its library in QE_TOKEN_MODULE): the
// simulator and the flows behind a scripted window, in this process as the wizard runs them.
// The customer's key wants the PIN for every signature, as qualified keys do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

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

// As tests/tokens/CMakeLists.txt has with-stack.sh make the token.
constexpr const char* kLabel = "Ion Popescu";
constexpr const char* kPin = "4711";

class TokensTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "config/Nolt/zelenroll/PKCS11Modules");
        WriteFile(dir_ / "config/Nolt/zelenroll/PKCS11Modules/PKCS11Modules", module_);
        const CommandResult provisioned = ProvisionToken(
            dir_ / "sim", module_, kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
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

    ScopedDir dir_{"tokens"};
    ScopedEnv config_{"XDG_CONFIG_HOME", (dir_ / "config").c_str()};
    ScopedEnv machineConfig_{"XDG_CONFIG_DIRS", (dir_ / "xdg").c_str()};
    const std::string module_ = std::getenv("QE_TOKEN_MODULE");
    std::unique_ptr<SimProcess> sim_;
    ScriptedWindow window_;
};

TEST_F(TokensTest, WholeRenewalLeavesTheNewCertificateWithAProtectedKey) {
    // What support sees first: the token ready for a renewal, and the wizard's choice of it.
    const CommandResult doctor = RunCommand({QE_DOCTOR_BINARY, "--offline"});
    const std::vector<std::string> report = SplitLines(doctor.out);
    EXPECT_THAT(report, ::testing::Contains("    renewal check: ready")) << doctor.out;
    EXPECT_THAT(report, ::testing::Contains(::testing::MatchesRegex(
                            "the wizard would find: token .* \\(slot id 0x[0-9a-f]+\\) through " +
                            module_)));
    Run(1);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS)) << sim_->Log();
    Bytes issued;
    window_.acceptance = [&issued](const Bytes& certificate, auto&&...) {
        issued = certificate;
        return AcceptanceOutcome{0, true};
    };
    Run(2);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_THAT(sim_->ControlState(), ::testing::HasSubstr(R"("installed": true)"));

    // Only the new certificate; its key pair beside the old one's, and no other key.
    SoftHsm::Session token(kLabel, kPin, module_);
    std::vector<Bytes> certificates;
    for (const CK_OBJECT_HANDLE object : token.Find(CKO_CERTIFICATE)) {
        certificates.push_back(token.Attribute(object, CKA_VALUE));
    }
    EXPECT_THAT(certificates, ElementsAre(issued));
    const Bytes modulus = sim::RsaModulus(X509_get0_pubkey(sim::CertificateFromDer(issued).get()));
    EXPECT_EQ(token.Find(CKO_PRIVATE_KEY).size(), 2u);
    EXPECT_EQ(token.Find(CKO_PUBLIC_KEY).size(), 2u);
    const std::vector<CK_OBJECT_HANDLE> key = token.Find(CKO_PRIVATE_KEY, modulus);
    ASSERT_EQ(key.size(), 1u);
    // Never readable, never exportable, whatever the token's defaults are.
    EXPECT_EQ(token.Attribute(key[0], CKA_SENSITIVE), BoolBytes(true));
    EXPECT_EQ(token.Attribute(key[0], CKA_EXTRACTABLE), BoolBytes(false));
    Bytes exponent;
    EXPECT_NE(ReadAttribute(token.fn(), token.handle(), key[0], CKA_PRIVATE_EXPONENT, exponent),
              CKR_OK);

    // Nothing left to install; the new certificate is the one to renew next.
    window_.mode = 0;
    StatusCheckThread(window_);
    EXPECT_FALSE(window_.Status().canDownload);
    ASSERT_EQ(window_.Status().renewableStore.size(), 1u);
    EXPECT_EQ(window_.Status().renewableStore[0].der, issued);
}

}  // namespace
}  // namespace qe::test
