// The simulator's parts that decide what it accepts: request checks, names, scenarios, state.
#include <gtest/gtest.h>

#include <filesystem>

#include <openssl/pem.h>

#include "sim/atomic_file.h"
#include "sim/cert_util.h"
#include "sim/header_blocks.h"
#include "sim/order_state.h"
#include "sim/request_check.h"
#include "sim/scenario.h"
#include "sim/sim_fixtures.h"
#include "sim/subject_text.h"
#include "support/scoped_dir.h"

namespace qe::sim {
namespace {

std::string Line(const X509_NAME* name) {
    return NameLine(name);
}

// The ASN.1 string type of the attribute at `index`.
int TypeAt(const X509_NAME* name, int index) {
    return ASN1_STRING_type(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

class RequestCheckTest : public ::testing::Test {
protected:
    PkeyPtr key_ = test::NewRsaKey();
    const std::vector<int> offered_{2048};
};

TEST_F(RequestCheckTest, AcceptsAGoodRequestWithItsAltNames) {
    GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
    GENERAL_NAME* email =
        a2i_GENERAL_NAME(nullptr, nullptr, nullptr, GEN_EMAIL, "ion@example.ro", 0);
    sk_GENERAL_NAME_push(names.get(), email);
    const std::string pem = test::MakeRequestPem(key_.get(), "C=RO,CN=Ion Popescu", names.get());
    CheckedRequest checked;
    EXPECT_EQ(CheckRequest(pem, offered_, nullptr, false, checked), "");
    ASSERT_TRUE(checked.altNames);
    EXPECT_EQ(sk_GENERAL_NAME_num(checked.altNames.get()), 1);
    EXPECT_EQ(EVP_PKEY_eq(checked.publicKey.get(), key_.get()), 1);
}

TEST_F(RequestCheckTest, RefusesWhatTheAuthorityMustNotCertify) {
    CheckedRequest checked;
    EXPECT_NE(CheckRequest("nu este o cerere", offered_, nullptr, false, checked), "");

    const std::string sha1 = test::MakeRequestPem(key_.get(), "CN=Ion", nullptr, EVP_sha1());
    EXPECT_NE(CheckRequest(sha1, offered_, nullptr, false, checked).find("sha256WithRSA"),
              std::string::npos);

    PkeyPtr small = test::NewRsaKey(1024);
    const std::string smallPem = test::MakeRequestPem(small.get(), "CN=Ion");
    EXPECT_NE(CheckRequest(smallPem, offered_, nullptr, false, checked).find("1024"),
              std::string::npos);
    EXPECT_EQ(CheckRequest(smallPem, {4096, 1024}, nullptr, false, checked), "");

    // One flipped bit in the signature, the last element of the DER.
    const std::string good = test::MakeRequestPem(key_.get(), "CN=Ion");
    BioPtr in(BIO_new_mem_buf(good.data(), static_cast<int>(good.size())));
    X509ReqPtr request(PEM_read_bio_X509_REQ(in.get(), nullptr, nullptr, nullptr));
    unsigned char* der = nullptr;
    const int size = i2d_X509_REQ(request.get(), &der);
    ASSERT_GT(size, 0);
    der[size - 1] ^= 0x01;
    const unsigned char* p = der;
    X509ReqPtr tampered(d2i_X509_REQ(nullptr, &p, size));
    OPENSSL_free(der);
    BioPtr out(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509_REQ(out.get(), tampered.get());
    char* pem = nullptr;
    const long pemSize = BIO_get_mem_data(out.get(), &pem);
    EXPECT_NE(CheckRequest(std::string(pem, static_cast<std::size_t>(pemSize)), offered_, nullptr,
                           false, checked)
                  .find("Semnătura"),
              std::string::npos);

    const std::string noSubject = test::MakeRequestPem(key_.get(), "");
    EXPECT_NE(CheckRequest(noSubject, offered_, nullptr, false, checked), "");
    EXPECT_EQ(CheckRequest(noSubject, offered_, nullptr, true, checked), "");
}

TEST_F(RequestCheckTest, RefusesTheKeyOfTheCertificateBeingRenewed) {
    test::ScopedDir dir("check");
    const test::SoftwareCustomer customer =
        test::MakeSoftwareCustomer(dir / "state", "CN=Ion", dir / "customer");
    const std::string pem = test::MakeRequestPem(customer.key.get(), "CN=Ion");
    CheckedRequest checked;
    EXPECT_NE(CheckRequest(pem, offered_, customer.certificate.get(), false, checked), "");
}

TEST(SubjectTextTest, ParsesEscapesAndChoosesStringTypes) {
    std::string error;
    X509NamePtr name = ParseSubjectText("C=RO,O=Firma\\, SRL,CN=Ștefan Ionescu", error);
    ASSERT_TRUE(name) << error;
    EXPECT_EQ(Line(name.get()), "C=RO, O=\"Firma, SRL\", CN=Ștefan Ionescu");
    EXPECT_EQ(TypeAt(name.get(), 0), V_ASN1_PRINTABLESTRING);
    EXPECT_EQ(TypeAt(name.get(), 2), V_ASN1_UTF8STRING);

    EXPECT_FALSE(ParseSubjectText("C=RO,XX=1", error));
    EXPECT_FALSE(ParseSubjectText("C=Romania", error));
    EXPECT_FALSE(ParseSubjectText("CN=", error));
    EXPECT_FALSE(ParseSubjectText("CN=a\\", error));
}

TEST(SubjectTextTest, FieldsBecomeANameInTheWizardsOrder) {
    std::string error;
    X509NamePtr name = NameFromFields(
        "CN=Ion Popescu\nOU=Vânzări//Contabilitate\nC=RO\r\n L =\nCN=Maria Pop\nX=ignored\n"
        "SN=PNORO-123\nO=A=B\n",
        error);
    ASSERT_TRUE(name) << error;
    EXPECT_EQ(Line(name.get()),
              "C=RO, O=A=B, OU=Vânzări, OU=Contabilitate, CN=Maria Pop, serialNumber=PNORO-123");
    EXPECT_EQ(TypeAt(name.get(), 0), V_ASN1_PRINTABLESTRING);
    EXPECT_EQ(TypeAt(name.get(), 4), V_ASN1_UTF8STRING);
    EXPECT_EQ(TypeAt(name.get(), 5), V_ASN1_PRINTABLESTRING);

    EXPECT_FALSE(NameFromFields("CN=\n", error));
    EXPECT_FALSE(NameFromFields("C=RO\nPHONE=+40 (21) ăî\n", error));
    EXPECT_FALSE(NameFromFields("nothing useful\n", error));
}

TEST(ScenarioTest, ReadsKnownKeysAndRefusesOthersWithoutChangingTheOldOne) {
    Scenario scenario;
    EXPECT_EQ(ParseScenario(R"({"ask4dn": true, "segments": 3, "statusText": "Gata",
        "force": {"path": "/public/rest/sign/pv", "method": "POST", "status": 503,
                  "body": "Indisponibil", "headers": {"pkcs10": " "}}})",
                            scenario),
              "");
    EXPECT_EQ(scenario.ask4dn, "1");
    EXPECT_EQ(scenario.segments, 3u);
    EXPECT_EQ(scenario.statusText, "Gata");
    ASSERT_TRUE(scenario.forced);
    EXPECT_EQ(scenario.forced->status, 503);
    EXPECT_EQ(scenario.forced->headers.at(0).second, " ");

    // A round trip through JSON keeps everything.
    Scenario again;
    EXPECT_EQ(ParseScenario(ScenarioJson(scenario), again), "");
    EXPECT_EQ(ScenarioJson(again), ScenarioJson(scenario));

    for (const char* bad : {"[]", "{\"segmnets\": 2}", "{\"segments\": -1}", "{\"segments\": 1.5}",
                            "{\"force\": {\"path\": \"x\"}}",
                            "{\"force\": {\"path\": \"/a\", \"status\": 42}}", "{"}) {
        EXPECT_NE(ParseScenario(bad, scenario), "") << bad;
    }
    EXPECT_EQ(scenario.segments, 3u);
}

TEST(ScenarioTest, OfferedKeySizesFollowTheKeygenGrammar) {
    EXPECT_EQ(OfferedKeySizes("# comentariu\r\n\r\ngenAlgorithms.2.keySize=4096\r\n"
                              "genAlgorithms.1.keySize=2048\r\ngenAlgorithms.0.keySize=1024\n"
                              "restrictedTokens.1.manufacturer=X\n"),
              (std::vector<int>{2048, 4096}));
    EXPECT_EQ(OfferedKeySizes("genAlgorithms.keySize=3072"), std::vector<int>{3072});
    EXPECT_EQ(OfferedKeySizes("genAlgorithms.99999999999999999999.keySize=3072"),
              std::vector<int>{});
}

TEST(ScenarioTest, PathsMatchWithOrWithoutTheirQuery) {
    EXPECT_TRUE(TargetMatches("/public/rest/sign/preview", "/public/rest/sign/preview",
                              "/public/rest/sign/preview?type=pdf"));
    EXPECT_TRUE(TargetMatches("/public/rest/sign/preview?type=pdf", "/public/rest/sign/preview",
                              "/public/rest/sign/preview?type=pdf"));
    EXPECT_FALSE(TargetMatches("/public/rest/sign/preview?type=pdf", "/public/rest/sign/preview",
                               "/public/rest/sign/preview?type=jpeg&width=600"));
    EXPECT_FALSE(TargetMatches("", "/", "/"));
}

TEST(OrderStateTest, SurvivesARoundTripThroughItsFile) {
    test::ScopedDir dir("orders");
    OrderBook book(dir / "orders.json");
    std::string error;
    ASSERT_TRUE(book.Load(error)) << error;  // no file yet: empty
    ASSERT_TRUE(book.Update([](OrderState& state) {
        Order& order = state.orders["ab"];
        order.tokenHash = "ab";
        order.requests = {"-----BEGIN CERTIFICATE REQUEST-----\r\nx\r\n"};
        order.signatureVerified = true;
        order.lastHeaders = {{"ENROLL_LANG", "RO"}, {"TOKEN_HASH", "ab"}};
        state.renewedSerials.insert("00ff");
        return true;
    }));

    OrderBook reopened(dir / "orders.json");
    ASSERT_TRUE(reopened.Load(error)) << error;
    const OrderState state = reopened.Snapshot();
    ASSERT_EQ(state.orders.count("ab"), 1u);
    EXPECT_EQ(state.orders.at("ab").requests, book.Snapshot().orders.at("ab").requests);
    EXPECT_TRUE(state.orders.at("ab").signatureVerified);
    EXPECT_FALSE(state.orders.at("ab").installed);
    EXPECT_EQ(state.orders.at("ab").lastHeaders.size(), 2u);
    EXPECT_EQ(state.renewedSerials.count("00ff"), 1u);

    // Nothing but the state file is left in the directory.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST(OrderStateTest, AFailedWriteUndoesTheChangeAndADamagedFileIsReported) {
    test::ScopedDir dir("orders");
    OrderBook book(dir / "missing-dir/orders.json");
    EXPECT_FALSE(book.Update([](OrderState& state) {
        state.renewedSerials.insert("01");
        return true;
    }));
    EXPECT_TRUE(book.Snapshot().renewedSerials.empty());

    test::WriteFile(dir / "damaged.json", "{\"orders\": [ {\"tokenHash\": 5");
    OrderBook damaged(dir / "damaged.json");
    std::string error;
    EXPECT_FALSE(damaged.Load(error));
    EXPECT_NE(error, "");
}

TEST(HeaderBlocksTest, TokenHashIsSha1OfSerialManufacturerModel) {
    // SHA-1 of "0123456789ABCDEFAcmeToken".
    EXPECT_EQ(TokenHashOf("0123456789ABCDEF", "Acme", "Token"),
              "b36f9de3c2f4876f94c498e4652209f7cdaa8cad");
}

}  // namespace
}  // namespace qe::sim
