// provision-token on a SoftHSM2 token, checked with opensc's pkcs11-tool and with the simulator.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "sim/cert_util.h"
#include "sim/issued_registry.h"
#include "sim/sim_process.h"
#include "support/softhsm.h"
#include "sim/test_client.h"
#include "support/scoped_dir.h"

namespace qe::test {
namespace {

constexpr const char* kPin = "1234";

// The CKA_ID of every object pkcs11-tool lists, by object kind ("Certificate", "Private Key",
// "Public Key").
std::multimap<std::string, std::string> ObjectIds(const std::string& listing) {
    std::multimap<std::string, std::string> ids;
    std::istringstream lines(listing);
    std::string line;
    std::string kind;
    while (std::getline(lines, line)) {
        for (const char* candidate : {"Certificate", "Private Key", "Public Key"}) {
            if (line.rfind(std::string(candidate) + " Object", 0) == 0) {
                kind = candidate;
            }
        }
        const std::size_t id = line.find("ID:");
        if (!kind.empty() && id != std::string::npos && line.find_first_not_of(' ') == id) {
            std::istringstream value(line.substr(id + 3));
            std::string hex;
            value >> hex;
            ids.emplace(kind, hex);
            kind.clear();
        }
    }
    return ids;
}

class ProvisionTokenTest : public ::testing::Test {
protected:
    void SetUp() override { hsm_.InitToken("Client", kPin); }

    SoftHsm hsm_;
    ScopedDir dir_{"provision"};
};

TEST_F(ProvisionTokenTest, PutsTheCertificateNextToItsKeysWithOneId) {
    const CommandResult result = ProvisionToken(dir_ / "state", SoftHsmLibrary(), "Client",
                                                kPin, "C=RO,O=Persoană fizică,CN=Ion Popescu",
                                                "ion@example.ro", "ion.popescu@example.ro");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string serial = result.out.substr(0, result.out.find('\n'));
    EXPECT_EQ(result.out, serial + "\n");
    EXPECT_TRUE(std::regex_match(serial, std::regex("(00)?[0-9a-f]{32}"))) << serial;
    EXPECT_EQ(result.err.find(kPin), std::string::npos);

    // The issuing CA recorded it; the alternative names are in it.
    X509Ptr certificate = sim::FindIssued(dir_ / "state", serial);
    ASSERT_TRUE(certificate);
    EXPECT_EQ(sim::NameLine(X509_get_subject_name(certificate.get())),
              "C=RO, O=Persoană fizică, CN=Ion Popescu");
    const CommandResult text = RunCommand({"openssl", "x509", "-noout", "-ext", "subjectAltName",
                                           "-in", dir_ / "state/issued/" + serial + ".pem"});
    EXPECT_NE(text.out.find("email:ion@example.ro"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("UPN::ion.popescu@example.ro"), std::string::npos) << text.out;

    const CommandResult listing =
        RunCommand({"pkcs11-tool", "--module", SoftHsmLibrary(), "--token-label", "Client",
                    "--login", "--pin", kPin, "--list-objects"});
    ASSERT_EQ(listing.status, 0) << listing.err;
    const std::multimap<std::string, std::string> ids = ObjectIds(listing.out);
    ASSERT_EQ(ids.count("Certificate"), 1u) << listing.out;
    ASSERT_EQ(ids.count("Private Key"), 1u) << listing.out;
    ASSERT_EQ(ids.count("Public Key"), 1u) << listing.out;
    const std::string id = ids.find("Certificate")->second;
    EXPECT_EQ(ids.find("Private Key")->second, id);
    EXPECT_EQ(ids.find("Public Key")->second, id);
    EXPECT_EQ(id.size(), 40u);  // SHA-1 of the modulus
    EXPECT_NE(listing.out.find("label:      Ion Popescu"), std::string::npos) << listing.out;
}

TEST_F(ProvisionTokenTest, ATokenCustomerIsRenewableAtTheRunningSimulator) {
    const std::unique_ptr<SimProcess> sim = SimProcess::StartFresh();
    const CommandResult result =
        sim->ProvisionToken(SoftHsmLibrary(), "Client", kPin, "C=RO,CN=Maria Pop");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string serial = result.out.substr(0, result.out.find('\n'));

    HttpOptions options;
    options.caFile = sim->caPath();
    options.headers = TokenHashHeaders(std::string(40, 'a'));
    const HttpResult status = HttpFetch(
        "https://" + sim->api() + "/public/rest/certificate/status?serial=" + serial, options);
    EXPECT_EQ(status.status, 200);
    std::string upper = serial;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(status.Header("pkcs10"), upper);
}

TEST_F(ProvisionTokenTest, RefusesAWrongPinAnUnknownTokenAndABadSubject) {
    CommandResult result =
        ProvisionToken(dir_ / "state", SoftHsmLibrary(), "Client", "9999", "CN=Ion");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("CKR_PIN_INCORRECT"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("9999"), std::string::npos);

    result = ProvisionToken(dir_ / "state", SoftHsmLibrary(), "Altul", kPin, "CN=Ion");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no token labelled"), std::string::npos) << result.err;

    result = ProvisionToken(dir_ / "state", SoftHsmLibrary(), "Client", kPin, "C=ROU,CN=Ion");
    EXPECT_EQ(result.status, 2);

    // Nothing was put on the token by the failed runs.
    const CommandResult listing =
        RunCommand({"pkcs11-tool", "--module", SoftHsmLibrary(), "--token-label", "Client",
                    "--login", "--pin", kPin, "--list-objects"});
    EXPECT_EQ(ObjectIds(listing.out).size(), 0u) << listing.out;
}

}  // namespace
}  // namespace qe::test
