// provision-token on a SoftHSM2 token, read back through the token layer and the openssl tool.
#include <gtest/gtest.h>

#include <regex>

#include "sim/cert_util.h"
#include "sim/delivery_builder.h"
#include "sim/issued_registry.h"
#include "sim/sim_process.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"

namespace qe::test {
namespace {

constexpr const char* kPin = "1234";

TEST(ProvisionTokenTest, PutsTheCertificateNextToItsKeysAndRefusalsWriteNothing) {
    SoftHsm hsm;
    hsm.InitToken("Client", kPin);
    ScopedDir dir("provision");
    // Refused: a wrong PIN, another token, a subject a name cannot hold, no PIN. The PIN is
    // never shown.
    const std::tuple<const char*, const char*, const char*, int, const char*> refused[] = {
        {"Client", "9999", "CN=Ion", 1, "CKR_PIN_INCORRECT"},
        {"Altul", kPin, "CN=Ion", 1, "no token labelled"},
        {"Client", kPin, "C=ROU,CN=Ion", 2, "subject"},
        {"Client", "", "CN=Ion", 2, "usage"},
    };
    for (const auto& [label, pin, subject, status, says] : refused) {
        const CommandResult result =
            ProvisionToken(dir / "state", SoftHsmLibrary(), label, pin, subject);
        EXPECT_EQ(result.status, status) << says;
        EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find(kPin), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("9999"), std::string::npos) << result.err;
    }
    EXPECT_TRUE(SoftHsm::Session("Client", kPin).Find(CKO_PRIVATE_KEY).empty());

    const CommandResult result =
        ProvisionToken(dir / "state", SoftHsmLibrary(), "Client", kPin,
                       "C=RO,O=Persoană fizică,CN=Ion Popescu", "ion@example.ro", "ion@firma.ro");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(std::regex_match(result.out, std::regex("(00)?[0-9a-f]{32}\n"))) << result.out;
    const std::string serial = result.out.substr(0, result.out.size() - 1);
    const X509Ptr certificate = sim::FindIssued(dir / "state", serial);  // recorded as issued
    ASSERT_TRUE(certificate);
    EXPECT_EQ(sim::NameLine(X509_get_subject_name(certificate.get())),
              "C=RO, O=Persoană fizică, CN=Ion Popescu");

    // The private key never leaves the token; how the wizard finds it next to the certificate
    // the flows show.
    SoftHsm::Session session("Client", kPin);
    const CK_OBJECT_HANDLE key = session.Find(CKO_PRIVATE_KEY).at(0);
    EXPECT_EQ(session.Attribute(key, CKA_SENSITIVE), BoolBytes(true));
    EXPECT_EQ(session.Attribute(key, CKA_EXTRACTABLE), BoolBytes(false));
    EXPECT_EQ(session.Attribute(session.Find(CKO_CERTIFICATE).at(0), CKA_VALUE),
              sim::CertificateDer(certificate.get()));
}

}  // namespace
}  // namespace qe::test
