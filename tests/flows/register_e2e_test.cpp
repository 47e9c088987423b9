#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "app/result_decision.h"
#include "e2e_fixture.h"
#include "flows/flow_support.h"
#include "flows/workers.h"
#include "json_text.h"
#include "net/https_client.h"
#include "sim/sim_process.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

X509ReqPtr ParseRequest(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509ReqPtr(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr ParseCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

class RegisterTest : public FlowTest {
protected:
    void Register() {
        RunStatusCheck();
        window_.Clear();
        window_.mode = 1;
        RegisterThread(window_);
    }
};

TEST_F(RegisterTest, RequestReachesTheAuthorityAndRepeatsTheOldCertificate) {
    window_.pinAnswers = {kPin};
    Register();
    EXPECT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_EQ(window_.EventsStartingWith("result"), std::vector<std::string>{"result 0 108 0"});
    EXPECT_THAT(window_.StepTexts(), ElementsAre(130, 132, 133));
    EXPECT_THAT(window_.EventsStartingWith("progress"),
                ElementsAre("progress 0", "progress 5", "progress 8", "progress 10",
                            "progress 20 95 600", "progress 95", "progress 100"));
    EXPECT_EQ(window_.EventsStartingWith("pin").size(), 1u);  // asked once, for the handshake
    EXPECT_EQ(window_.EventsStartingWith("start-status-check").size(), 1u);

    const std::string state = ControlState();
    const auto requests = PemBlocks(state, "CERTIFICATE REQUEST");
    ASSERT_EQ(requests.size(), 1u) << state;
    const X509ReqPtr request = ParseRequest(requests[0]);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);

    const std::vector<Bytes> onToken = TokenCertificates();
    ASSERT_EQ(onToken.size(), 1u);
    const X509Ptr old = ParseCertificate(onToken[0]);
    EXPECT_EQ(
        X509_NAME_cmp(X509_REQ_get_subject_name(request.get()), X509_get_subject_name(old.get())),
        0);
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request.get());
    GeneralNamesPtr requested(static_cast<GENERAL_NAMES*>(
        X509V3_get_d2i(extensions, NID_subject_alt_name, nullptr, nullptr)));
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    GeneralNamesPtr original(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(old.get(), NID_subject_alt_name, nullptr, nullptr)));
    ASSERT_TRUE(requested && original);
    // The same names; the request writes the otherName first, then the e-mail address.
    ASSERT_EQ(sk_GENERAL_NAME_num(requested.get()), sk_GENERAL_NAME_num(original.get()));
    EXPECT_EQ(sk_GENERAL_NAME_value(requested.get(), 0)->type, GEN_OTHERNAME);
    for (int i = 0; i < sk_GENERAL_NAME_num(original.get()); ++i) {
        bool found = false;
        for (int j = 0; j < sk_GENERAL_NAME_num(requested.get()); ++j) {
            found = found || GENERAL_NAME_cmp(sk_GENERAL_NAME_value(original.get(), i),
                                              sk_GENERAL_NAME_value(requested.get(), j)) == 0;
        }
        EXPECT_TRUE(found) << "alternative name " << i;
    }
    EXPECT_THAT(LogText(), HasSubstr("[Step 1][BuildDNFromCertificate] BuildDNFromCertificate\n"));
    EXPECT_THAT(LogText(), HasSubstr("[GetSubjectAlternativeNames] GetSubjectAlternativeNames\n"));
    // The new key pair is on the token under its provisional labels.
    EXPECT_THAT(PrivateKeyLabels(), ::testing::Contains("Tarnwick Private Key"));

    // The status check afterwards offers the installation.
    RunStatusCheck();
    EXPECT_TRUE(window_.Status().canDownload);
}

TEST_F(RegisterTest, SubjectFromTheFieldsWhenTheAuthorityAsks) {
    SetScenario(R"({"ask4dn": "1", "fields": "C=RO\nO=Alta Firma SRL\nCN=Ion Popescu\n"})");
    window_.pinAnswers = {kPin};
    Register();
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    const auto requests = PemBlocks(ControlState(), "CERTIFICATE REQUEST");
    ASSERT_EQ(requests.size(), 1u);
    const X509ReqPtr request = ParseRequest(requests[0]);
    char organization[64] = {};
    X509_NAME_get_text_by_NID(X509_REQ_get_subject_name(request.get()), NID_organizationName,
                              organization, sizeof organization);
    EXPECT_STREQ(organization, "Alta Firma SRL");
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 0);  // no extensions from a field list
    EXPECT_THAT(SimLogWith("/rest/certificate/fields"), HasSubstr("GET /rest/certificate/fields"));
}

TEST_F(RegisterTest, RestrictedTokenMissingSizesAndServerErrors) {
    SetScenario(
        R"({"keygen": "genAlgorithms.1.algo=RSA\ngenAlgorithms.1.keySize=2048\nrestrictedTokens.1.manufacturer=SoftHSM\n"})");
    window_.pinAnswers = {kPin};
    Register();
    EXPECT_THAT(window_.results, ElementsAre(ERR_TOKEN_RESTRICTED));
    EXPECT_THAT(LogText(), HasSubstr("Token restriction applies at manufacturer: 'SoftHSM' and "
                                     "productName: ''"));

    SetScenario(R"({"keygen": "# nothing offered\nrestrictedTokens.1.productName=X\n"})");
    Register();
    EXPECT_THAT(window_.results, ElementsAre(ERR_KEYGEN_DATA));

    SetScenario(R"({"force": {"path": "/rest/certificate/pkcs10", "status": 409,
                              "body": "Există deja o cerere în lucru"}})");
    Register();
    EXPECT_THAT(window_.results, ElementsAre(ERR_SERVER));
    EXPECT_EQ(ServerMessage(), L"Există deja o cerere în lucru");
    EXPECT_THAT(window_.EventsStartingWith("freeze"), ::testing::SizeIs(1));
}

TEST_F(RegisterTest, TwoRenewableCertificatesLetTheCustomerChoose) {
    const CommandResult second = ProvisionToken(sim_->stateDir(), SoftHsmLibrary(), kLabel, kPin,
                                                "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu");
    ASSERT_EQ(second.status, 0) << second.err;
    window_.certificateChoices = {std::nullopt};  // cancelled: no certificate, 7
    Register();
    EXPECT_THAT(window_.results, ElementsAre(ERR_CONNECTION));
    EXPECT_EQ(window_.EventsStartingWith("choose"), std::vector<std::string>{"choose 2"});

    window_.pinAnswers = {kPin};
    window_.certificateChoices = {1};
    Register();
    EXPECT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    const std::string state = ControlState();
    const std::string chosen = SerialNumberText(window_.Status().renewableStore.at(1).der);
    EXPECT_THAT(state, HasSubstr(chosen)) << "the chosen certificate authenticated the upload";
}

TEST_F(RegisterTest, CancelledPinEndsSilently) {
    window_.pinAnswers = {""};
    Register();
    EXPECT_THAT(window_.results, ElementsAre(ERR_CANCELLED));
    EXPECT_EQ(window_.LastProgress(), 5);  // no answer came: the bar stays at the certificate
    EXPECT_THAT(PemBlocks(ControlState(), "CERTIFICATE REQUEST"), IsEmpty());
    EXPECT_THAT(PrivateKeyLabels(), ::testing::Not(::testing::Contains("Tarnwick Private Key")));
}

}  // namespace
}  // namespace qe::test
