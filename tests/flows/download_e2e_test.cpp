#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "e2e_fixture.h"
#include "flows/download.h"
#include "flows/flow_support.h"
#include "flows/sign_and_install.h"
#include "flows/workers.h"
#include "json_text.h"
#include "sim/sim_process.h"
#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

Bytes Modulus(const Bytes& certificateDer) {
    const unsigned char* p = certificateDer.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size())));
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(X509_get0_pubkey(cert.get()), OSSL_PKEY_PARAM_RSA_N, &n);
    Bytes modulus(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    BN_free(n);
    return modulus;
}

class DownloadTest : public FlowTest {
protected:
    // A registered request, so an issued certificate waits for this token.
    void SetUp() override {
        FlowTest::SetUp();
        window_.pinAnswers = {kPin};
        RunStatusCheck();
        window_.mode = 1;
        RegisterThread(window_);
        ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS, ERR_SUCCESS));
        RunStatusCheck();
        ASSERT_TRUE(window_.Status().canDownload);
        window_.ClearPin();  // a new run of the wizard
        window_.Clear();
        oldCertificate_ = TokenCertificates().at(0);
    }

    void Download() {
        window_.mode = 2;
        DownloadThread(window_);
    }

    Bytes oldCertificate_;
};

TEST_F(DownloadTest, AcceptedCertificateIsInstalledAndTheOldOneRemoved) {
    window_.pinAnswers = {kPin};
    Download();
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_EQ(window_.EventsStartingWith("result"), std::vector<std::string>{"result 0 126 0"});
    EXPECT_THAT(window_.StepTexts(), ElementsAre(130, 134, 135, 130, 143, 144, 145, 146, 147));
    EXPECT_EQ(window_.EventsStartingWith("pin").size(), 1u);

    // The acceptance step saw the certificate and both previews, at 60 on the bar.
    const auto events = window_.Events();
    const auto acceptance = std::find(events.begin(), events.end(), "acceptance");
    ASSERT_NE(acceptance, events.end());
    EXPECT_EQ(*std::prev(acceptance), "progress 60");
    ASSERT_EQ(window_.acceptanceSeen.size(), 1u);
    const auto& seen = window_.acceptanceSeen[0];
    EXPECT_EQ(seen.pdfHead.substr(0, 5), "%PDF-");
    EXPECT_EQ(seen.jpegHead, "\xFF\xD8\xFF");
    EXPECT_EQ(seen.pdfPath.rfind(TempDir() + "/quorvaneEnrollPV", 0), 0u);
    EXPECT_NE(access(seen.pdfPath.c_str(), F_OK), 0);  // gone once the step ended
    EXPECT_NE(access(seen.jpegPath.c_str(), F_OK), 0);
    EXPECT_THAT(SimLogWith("type=jpeg&width=600"),
                HasSubstr("/public/rest/sign/preview?type=jpeg&width=600"));

    // The authority verified the signature and knows of the installation.
    const std::string state = ControlState();
    EXPECT_TRUE(JsonTrue(state, "signatureVerified")) << state;
    EXPECT_TRUE(JsonTrue(state, "installed")) << state;

    // On the token: only the new certificate, its keys relabelled to its label and identifier.
    const std::vector<Bytes> certificates = TokenCertificates();
    ASSERT_EQ(certificates.size(), 1u);
    EXPECT_EQ(certificates[0], seen.certificate);
    const Bytes modulus = Modulus(certificates[0]);
    Bytes keyId(SHA_DIGEST_LENGTH);
    SHA1(modulus.data(), modulus.size(), keyId.data());
    SoftHsm::Session session(kLabel, kPin);
    for (CK_OBJECT_CLASS keyClass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        const auto keys = session.Find(keyClass, modulus);
        ASSERT_EQ(keys.size(), 1u);
        EXPECT_EQ(ToString(session.Attribute(keys[0], CKA_LABEL)), "Ion Popescu");
        EXPECT_EQ(session.Attribute(keys[0], CKA_ID), keyId);
    }

    // Nothing is left to install.
    RunStatusCheck();
    EXPECT_FALSE(window_.Status().canDownload);
}

TEST_F(DownloadTest, RejectedDeclarationWritesNothing) {
    window_.pinAnswers = {kPin};
    window_.acceptances = {{1, true}};
    Download();
    EXPECT_THAT(window_.results, ElementsAre(ERR_CANCELLED));
    EXPECT_THAT(TokenCertificates(), ElementsAre(oldCertificate_));
    EXPECT_FALSE(JsonTrue(ControlState(), "installed"));
    EXPECT_THAT(SimLogWith("type=jpeg"), Not(HasSubstr("POST /public/rest/sign/pv")));
}

TEST_F(DownloadTest, KeepingTheOldCertificate) {
    window_.pinAnswers = {kPin};
    window_.acceptances = {{0, false}};
    Download();
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_EQ(TokenCertificates().size(), 2u);
    EXPECT_THAT(SimLogWith("/public/rest/certificate/installed"),
                Not(HasSubstr("/public/rest/certificate/old")));
    // The bar goes from 90 straight to 100, and both last step texts are shown.
    const auto progress = window_.EventsStartingWith("progress");
    EXPECT_EQ(progress[progress.size() - 2], "progress 90");
    EXPECT_EQ(progress.back(), "progress 100");
}

TEST_F(DownloadTest, DeliveryForAnotherKeyStopsWithTen) {
    SetScenario(R"({"foreignKeyFrom": "/public/rest/sign/preview?type=pdf"})");
    window_.pinAnswers = {kPin};
    Download();
    EXPECT_THAT(window_.results, ElementsAre(ERR_SERVER));
    EXPECT_TRUE(window_.acceptanceSeen.empty());
    EXPECT_THAT(TokenCertificates(), ElementsAre(oldCertificate_));
}

TEST_F(DownloadTest, WrongPinIsAskedAgainOnTheNextTry) {
    window_.pinAnswers = {"0000"};
    Download();
    EXPECT_THAT(window_.results, ElementsAre(ERR_WRONG_PIN));
    EXPECT_TRUE(window_.CachedPin().empty());

    window_.pinAnswers = {kPin};
    window_.acceptances = {{1, true}};
    Download();
    EXPECT_THAT(window_.results, ElementsAre(ERR_WRONG_PIN, ERR_CANCELLED));
    EXPECT_EQ(window_.EventsStartingWith("pin").size(), 2u);
}

TEST_F(DownloadTest, CertificateWithoutItsKeyOnTheTokenIsNotWritten) {
    window_.pinAnswers = {kPin};
    window_.mode = 2;
    DownloadedDeclaration declaration;
    ASSERT_EQ(DownloadForAcceptance(window_, declaration, 600), ERR_SUCCESS);
    // A certificate for a key that is nowhere on the token.
    const TestCa ca;
    const PkeyPtr stranger(EVP_RSA_gen(2048));
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(stranger.get(), OSSL_PKEY_PARAM_RSA_N, &n);
    Bytes modulus(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    BN_free(n);
    const Bytes foreign = ca.Issue(modulus, {0x01, 0x00, 0x01}, {{"CN", "Ion Popescu"}}, {0x42});
    EXPECT_EQ(SignAndInstall(window_, foreign, true), ERR_KEY_NOT_FOUND);
    EXPECT_THAT(TokenCertificates(), ElementsAre(oldCertificate_));
    EXPECT_FALSE(JsonTrue(ControlState(), "installed"));
    EXPECT_THAT(SimLogWith("POST /public/rest/sign/pv"),
                Not(HasSubstr("/public/rest/certificate/old")));
}

TEST_F(DownloadTest, WrongCertificateIsNeitherSignedForNorRemoved) {
    hsm_.WriteModuleList({FaultModuleLibrary()});
    window_.pinAnswers = {kPin};
    window_.mode = 2;
    DownloadedDeclaration declaration;
    ASSERT_EQ(DownloadForAcceptance(window_, declaration, 600), ERR_SUCCESS);
    EXPECT_EQ(SignAndInstall(window_, Bytes{0x30, 0x00}, true), ERR_BAD_RESPONSE);
    EXPECT_FALSE(JsonTrue(ControlState(), "signatureVerified"));

    // A token failing while the key is looked for is a token failure, not a missing key.
    window_.onProgress = [this](int position) {
        if (position == 80) {
            hsm_.WriteFaultConfig("fail C_FindObjectsInit 0x30\n");
        }
    };
    EXPECT_EQ(SignAndInstall(window_, oldCertificate_, true), ERR_TOKEN_DEVICE);
    window_.onProgress = nullptr;
    hsm_.WriteFaultConfig("");

    // The server names the certificate being installed as the old one: it stays.
    SetScenario(R"({"force": {"path": "/public/rest/certificate/installed", "status": 200}})");
    EXPECT_EQ(SignAndInstall(window_, oldCertificate_, true), ERR_SUCCESS);
    EXPECT_THAT(TokenCertificates(), ElementsAre(oldCertificate_));
}

TEST_F(DownloadTest, WholeLifeOfARenewal) {
    // status (install pending) -> download and install -> status: nothing left.
    RunStatusCheck();
    EXPECT_TRUE(window_.Status().canDownload);
    window_.pinAnswers = {kPin};
    Download();
    ASSERT_THAT(window_.results, ::testing::Contains(ERR_SUCCESS));
    RunStatusCheck();
    EXPECT_FALSE(window_.Status().canDownload);
    // The renewed certificate can no longer be renewed; the new one can.
    const auto renewable = window_.Status().renewableStore;
    ASSERT_EQ(renewable.size(), 1u);
    EXPECT_NE(renewable[0].der, oldCertificate_);
}

}  // namespace
}  // namespace qe::test
