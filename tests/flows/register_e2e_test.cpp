#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "e2e_fixture.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Kind = ResultDecision::Kind;

std::string Str(const QJsonValue& value) {
    return value.toString().toStdString();
}

X509ReqPtr ParseRequest(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509ReqPtr(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
}

std::string Subject(const X509ReqPtr& request) {
    char subject[128] = {};
    X509_NAME_oneline(X509_REQ_get_subject_name(request.get()), subject, sizeof subject);
    return subject;
}

class RegisterTest : public FlowTest {
protected:
    void Register(const char* pin) {
        RunStatusCheck();
        RunFlow(1, pin);
    }
    std::size_t PrivateKeys() const {
        return SoftHsm::Session(kLabel, kPin).Find(CKO_PRIVATE_KEY).size();
    }
};

TEST_F(RegisterTest, RequestReachesTheAuthorityWithTheNamesOfTheOldCertificate) {
    Register(kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_EQ(window_.shown[0].text, L"Cererea a fost trimisă cu succes.");
    EXPECT_THAT(window_.Events(),
                ElementsAre("busy", "progress 0", "step 130", "progress 5", "step 132", "pin",
                            "progress 8", "progress 10", "progress 20 95 600", "progress 95",
                            "step 133", "progress 100", "result 0", "done", "start-status-check"));
    // The subject and the alternative names of the old certificate, the otherName first.
    const QJsonObject order = Order();
    const std::string uploaded = Str(order["requests"][0]);
    const X509ReqPtr request = ParseRequest(uploaded);
    ASSERT_TRUE(request);
    EXPECT_EQ(Subject(request), "/C=RO/O=Firma Exemplu SRL/CN=Ion Popescu");
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request.get());
    BioPtr names(BIO_new(BIO_s_mem()));
    X509V3_EXT_print(names.get(), sk_X509_EXTENSION_value(extensions, 0), 0, 0);
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    char* text = nullptr;
    EXPECT_EQ(std::string(text, BIO_get_mem_data(names.get(), &text)),
              "othername: UPN::ion.popescu@firma.local, email:ion.popescu@example.ro");
    // What support reads: the header block as the authority received it, and the request.
    const QJsonObject sent = order["lastHeaders"].toObject();
    std::string headers = "ENROLL_VERSION: 2.7.23\nENROLL_LANG: RO";
    for (const char* name :
         {"TOKEN_SERIAL", "TOKEN_MANUFACTURER", "TOKEN_MODEL", "TOKEN_PRODUCT_NAME"}) {
        headers += std::string("\n") + name + ": " + Str(sent[name]);
    }
    EXPECT_THAT(LogText(), HasSubstr("[Step 1] headers: " + headers + "\n"));
    EXPECT_THAT(LogText(), HasSubstr("[Step 1] PKCS10: " + uploaded + "\n"));
    EXPECT_THAT(NewLogLines("[Step 1] "),
                ElementsAre("[Step 1] Found certs 1", "[Step 1] Selected cert " + oldSerial_,
                            "[Step 1] DN =  2.5.4.3=Ion Popescu\r",
                            "[Step 1] headers: ENROLL_VERSION: 2.7.23",
                            "[Step 1] PKCS10: -----BEGIN CERTIFICATE REQUEST-----\r"));
    EXPECT_EQ(PrivateKeys(), 2u);
    RunStatusCheck();
    EXPECT_TRUE(window_.Status().canDownload);
}

TEST_F(RegisterTest, SubjectFromTheFieldsWhenTheAuthorityAsks) {
    SetScenario(R"({"ask4dn": "1", "fields": "C=RO\nO=Alta Firma SRL\nCN=Ion Popescu\n"})");
    Register(kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    const X509ReqPtr request = ParseRequest(Str(Order()["requests"][0]));
    EXPECT_EQ(Subject(request), "/C=RO/O=Alta Firma SRL/CN=Ion Popescu");
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 0);  // no extensions from a field list
    EXPECT_THAT(LogText(), HasSubstr("[Step 1] CertFields C=RO\nO=Alta Firma SRL\n"));
}

// Each way the command ends early, what the customer sees then, and what support reads.
TEST_F(RegisterTest, RefusalsAndTokenFailuresEndTheCommandWithTheirText) {
    hsm_.WriteModuleList({FaultModuleLibrary()});
    setenv("QUORVANE_DATA_API_HOST", "data.example.test", 1);
    const std::string sizes = R"("keygen": "genAlgorithms.1.keySize=2048\n)";
    // The texts of the identifiers are the catalogue's (the decision's own test); the server's
    // text replaces them for its refusals.
    struct Case {
        std::string scenario;
        const char* pin;
        const char* fault;
        ErrorId id;
        std::wstring serverText;
        std::string log;
    };
    const Case cases[] = {
        {sizes + R"(restrictedTokens.1.manufacturer=SoftHSM\n")", kPin, "", ERR_TOKEN_RESTRICTED,
         L"", "Token restriction applies at manufacturer: 'SoftHSM' and productName: ''"},
        {R"("keygen": "# nimic\nrestrictedTokens.1.productName=X\n")", kPin, "", ERR_KEYGEN_DATA,
         L"", ""},
        {R"("force": {"path": "/rest/certificate/keygenParameters", "status": 500, "body": "Nu"})",
         kPin, "", ERR_SERVER, L"Nu", "Error: Nu"},
        {R"("force": {"path": "/rest/certificate/pkcs10", "status": 409,
                      "body": "Există deja o cerere în lucru"})",
         kPin, "", ERR_SERVER, L"Există deja o cerere în lucru", ""},
        {"", "0000", "", ERR_BAD_CERT_OR_PASSWORD, L"", ""},
        {"", "", "", ERR_CANCELLED, L"", ""},
        {"", kPin, "fail C_GenerateKeyPair 0x31\n", ERR_TOKEN_FULL, L"", ""},
        {"", kPin, "fail C_GenerateKeyPair 0x30\n", ERR_OLD_DRIVER, L"", ""},
        // The token pulled out while the keys are made.
        {"", kPin, "fail C_GenerateKeyPair 0x32\n", ERR_TOKEN_DEVICE, L"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario + c.fault);
        SetScenario("{" + c.scenario + "}");
        hsm_.WriteFaultConfig(c.fault);
        Register(c.pin);
        ASSERT_THAT(window_.results, ElementsAre(c.id));
        const ResultDecision& shown = window_.shown[0];
        if (c.id == ERR_SERVER) {
            EXPECT_EQ(shown.text, c.serverText);
        }
        EXPECT_EQ(shown.flags, shown.kind == Kind::MessageBox ? kBoxIconHand : 0u);  // an OK box
        EXPECT_EQ(window_.Events("freeze").size(), 1u);
        EXPECT_EQ(window_.Events("clear-pin").size(), c.id == ERR_BAD_CERT_OR_PASSWORD ? 1u : 0u);
        if (!c.log.empty()) {
            EXPECT_THAT(NewLogLines("[Step 1] "), ::testing::Contains("[Step 1] " + c.log));
        }
    }
    // The link of the restriction alert names the token by the hash the authority knows.
    std::smatch hash;
    const std::string log = sim_->Log();
    ASSERT_TRUE(std::regex_search(log, hash, std::regex("TOKEN_HASH=([0-9a-f]{40})")));
    EXPECT_EQ(DecideResult(ERR_TOKEN_RESTRICTED, 108, 0, L"", CurrentTokenHash()).link,
              "https://data.example.test/rekey-addr?tkh=" + hash.str(1));
    // Nothing reached the authority; only the request it refused has keys on the token.
    EXPECT_TRUE(Order()["requests"].toArray().isEmpty());
    EXPECT_EQ(PrivateKeys(), 2u);
    unsetenv("QUORVANE_DATA_API_HOST");
}

TEST_F(RegisterTest, TwoRenewableCertificatesLetTheCustomerChoose) {
    const CommandResult second = ProvisionToken(dir_ / "sim", SoftHsmLibrary(), kLabel, kPin,
                                                "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu");
    ASSERT_EQ(second.status, 0) << second.err;
    Register(kPin);  // the choice cancelled: no certificate
    EXPECT_THAT(window_.results, ElementsAre(ERR_CONNECTION));
    EXPECT_THAT(window_.Events("choose"), ElementsAre("choose 2"));
    window_.certificateChoices = {1};
    Register(kPin);
    EXPECT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_EQ(Str(Order()["renewedSerial"]),
              SerialNumberText(window_.Status().renewableStore.at(1).der));
}

}  // namespace
}  // namespace qe::test
