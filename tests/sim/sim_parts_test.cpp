// The simulator's parts that decide what it accepts and what it delivers: request checks, names,
// scenarios, state, and the delivery builder against two readers written without it (OpenSSL's
// CMS code, and a walk with the toolkit's DER splitter along the layout the wizard reads).
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/cert_issuer.h"
#include "sim/cert_util.h"
#include "sim/delivery_builder.h"
#include "sim/order_state.h"
#include "sim/request_check.h"
#include "sim/scenario.h"
#include "sim/sim_process.h"
#include "sim/subject_text.h"
#include "support/scoped_dir.h"
#include "support/test_pki.h"
#include "toolkit/der.h"

namespace qe::sim {
namespace {

// The ASN.1 string types of a name's attributes, in order.
std::vector<int> Types(const X509_NAME* name) {
    std::vector<int> types;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        types.push_back(ASN1_STRING_type(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i))));
    }
    return types;
}

TEST(RequestCheckTest, RefusesWhatTheAuthorityMustNotCertify) {
    test::ScopedDir dir("check");
    const test::SoftwareCustomer customer =
        test::MakeSoftwareCustomer(dir / "state", "CN=Ion", dir / "customer");
    const PkeyPtr key = test::GenerateRsaKey();
    const PkeyPtr small = test::GenerateRsaKey(1024);
    const std::string good = test::MakeRequestPem(key.get(), "C=RO,CN=Ion Popescu");
    const std::string smallPem = test::MakeRequestPem(small.get(), "CN=Ion");
    const std::string noSubject = test::MakeRequestPem(key.get(), "");
    // One character of its signature, at the end of the PEM, changed; the last character before
    // the padding may carry padding bits only, the one before it never.
    std::string tampered = good;
    char& flipped = tampered[tampered.find_last_not_of("=\r\n", tampered.find("-----END") - 1) - 1];
    flipped = flipped == 'A' ? 'B' : 'A';
    struct Case {
        std::string pem;
        std::vector<int> offered;
        bool subjectFromFields;
        const char* says;  // empty: accepted
    };
    const Case cases[] = {
        {good, {2048}, false, ""},
        {"nu este o cerere", {2048}, false, "nu este o cerere PKCS#10 în format PEM"},
        {test::MakeRequestPem(key.get(), "CN=Ion", EVP_sha1()),
         {2048},
         false,
         "semnată cu algoritmul sha256WithRSAEncryption"},
        {smallPem,
         {2048, 4096},
         false,
         "are 1024 de biți; sunt acceptate doar cheile de 2048, 4096"},
        {smallPem, {4096, 1024}, false, ""},
        {tampered, {2048}, false, "Semnătura cererii de certificat nu este validă"},
        {test::MakeRequestPem(customer.key.get(), "CN=Ion"), {2048}, false, "deja certificată"},
        {noSubject, {2048}, false, "nu conține numele titularului"},
        {noSubject, {2048}, true, ""},
    };
    for (const Case& c : cases) {
        CheckedRequest checked;
        const std::string refusal = CheckRequest(c.pem, c.offered, customer.certificate.get(),
                                                 c.subjectFromFields, checked);
        EXPECT_EQ(refusal.empty(), *c.says == '\0') << refusal;
        EXPECT_NE(refusal.find(c.says), std::string::npos) << refusal;
    }
}

TEST(SubjectTextTest, NamesFromTextAndFromTheFieldListWithTheirStringTypes) {
    std::string error;
    const X509NamePtr name = ParseSubjectText("C=RO,O=Firma\\, SRL,CN=Ștefan Ionescu", error);
    ASSERT_TRUE(name) << error;
    EXPECT_EQ(NameLine(name.get()), "C=RO, O=\"Firma, SRL\", CN=Ștefan Ionescu");
    const int printable = V_ASN1_PRINTABLESTRING;
    const int utf8 = V_ASN1_UTF8STRING;
    EXPECT_EQ(Types(name.get()), (std::vector<int>{printable, utf8, utf8}));
    for (const char* bad : {"C=RO,XX=1", "C=Romania", "CN=", "CN=a\\", "CN"}) {
        EXPECT_FALSE(ParseSubjectText(bad, error)) << bad;
    }
    const X509NamePtr fields = NameFromFields(
        "CN=Ion Popescu\nOU=Vânzări//Contabilitate\nC=RO\r\n L =\nCN=Maria Pop\nX=ignored\n"
        "SN=PNORO-123\nO=A=B\n",
        error);
    ASSERT_TRUE(fields) << error;
    EXPECT_EQ(NameLine(fields.get()),
              "C=RO, O=A=B, OU=Vânzări, OU=Contabilitate, CN=Maria Pop, serialNumber=PNORO-123");
    EXPECT_EQ(Types(fields.get()),
              (std::vector<int>{printable, utf8, utf8, utf8, utf8, printable}));
    for (const char* bad : {"CN=\n", "C=RO\nPHONE=+40 (21) ăî\n", "nothing useful\n"}) {
        EXPECT_FALSE(NameFromFields(bad, error)) << bad;
    }
}

TEST(ScenarioTest, ReadsKnownKeysWithinTheirLimitsAndRefusesOthersLeavingTheOldOne) {
    Scenario scenario;
    ASSERT_EQ(ParseScenario(R"({"ask4dn": true, "segments": 4096, "force": {"path": "/a",
        "method": "POST", "status": 599, "body": "Nu", "headers": {"pkcs10": " "}}})",
                            scenario),
              "");
    EXPECT_EQ(scenario.ask4dn, "1");
    EXPECT_EQ(scenario.segments, 4096u);
    EXPECT_EQ(scenario.forced->headers.at(0).second, " ");
    Scenario again;
    EXPECT_EQ(ParseScenario(ScenarioJson(scenario), again), "");
    EXPECT_EQ(ScenarioJson(again), ScenarioJson(scenario));
    for (const char* bad :
         {"[]", "{", R"({"segmnets": 2})", R"({"segments": -1})", R"({"segments": 4097})",
          R"({"segments": 1.5})", R"({"force": {"path": "a"}})", R"({"force": {"status": 200}})",
          R"({"force": {"path": "/a", "status": 99}})",
          R"({"force": {"path": "/a", "status": 600}})",
          R"({"force": {"path": "/a", "headers": {"a": 1}}})"}) {
        EXPECT_NE(ParseScenario(bad, scenario), "") << bad;
    }
    EXPECT_EQ(scenario.segments, 4096u);

    // Key sizes by record, records numbered from 1 to 1001.
    EXPECT_EQ(OfferedKeySizes("# comentariu\r\n\r\ngenAlgorithms.2.keySize=4096\r\n"
                              "genAlgorithms.1.keySize=2048\r\ngenAlgorithms.0.keySize=1024\n"
                              "genAlgorithms.1001.keySize=3072\ngenAlgorithms.1002.keySize=512\n"
                              "restrictedTokens.1.manufacturer=X\n"),
              (std::vector<int>{2048, 4096, 3072}));
    EXPECT_EQ(OfferedKeySizes("genAlgorithms.keySize=3072"), std::vector<int>{3072});
    EXPECT_FALSE(TargetMatches("/a?type=pdf", "/a", "/a?type=jpeg"));
    EXPECT_FALSE(TargetMatches("", "/", "/"));
}

TEST(OrderStateTest, ChangesReachTheFileWholeOrAreUndone) {
    test::ScopedDir dir("orders");
    OrderBook book(dir / "orders.json");
    std::string error;
    ASSERT_TRUE(book.Load(error)) << error;  // no file yet: empty
    ASSERT_TRUE(book.Update([](OrderState& state) {
        state.orders["ab"] = {"ab", {"-----BEGIN\r\nx\r\n"}, "", "", true, false, {{"A", "1"}}};
        state.renewedSerials.insert("00ff");
        return true;
    }));
    OrderBook reopened(dir / "orders.json");
    ASSERT_TRUE(reopened.Load(error)) << error;
    EXPECT_EQ(reopened.Json(), book.Json());
    // Nothing but the state file is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    OrderBook unwritable(dir / "missing/orders.json");
    EXPECT_FALSE(unwritable.Update(
        [](OrderState& state) { return state.renewedSerials.insert("01").second; }));
    EXPECT_TRUE(unwritable.Snapshot().renewedSerials.empty());
    test::WriteFile(dir / "damaged.json", R"({"orders": [ {"tokenHash": 5)");
    OrderBook damaged(dir / "damaged.json");
    EXPECT_FALSE(damaged.Load(error));
    EXPECT_NE(error, "");
}

std::vector<Bytes> Children(const Bytes& element) {
    std::vector<Bytes> children;
    EXPECT_EQ(SplitDer(element, children), 0);
    return children;
}

// What the wizard finds along its way through a delivery.
struct Layout {
    std::size_t children = 0;  // of the EnvelopedData
    std::int64_t envelopedVersion = -1, recipientVersion = -1;
    std::size_t segments = 0;  // of a constructed content; 0 for a primitive one
    Bytes recipient, keyId;
    bool operator==(const Layout&) const = default;
};

Layout Walk(const Bytes& message) {
    Layout layout;
    const std::vector<Bytes> enveloped = Children(Children(Children(message).at(1)).at(0));
    const std::size_t n = layout.children = enveloped.size();
    const std::vector<Bytes> recipient = Children(Children(enveloped.at(n - 3)).at(0));
    ReadSmallInteger(enveloped[0], layout.envelopedVersion);
    ReadSmallInteger(recipient.at(0), layout.recipientVersion);
    layout.recipient = recipient.at(1);
    const Bytes content = Children(enveloped[n - 2]).at(2);
    layout.segments = (content[0] & 0x20) != 0 ? Children(content).size() : 0;
    const Bytes keyId = Children(Children(Children(enveloped[n - 1]).at(0)).at(1)).at(0);
    DerElement value;
    DecodeDerElement(keyId.data(), keyId.size(), value);
    layout.keyId.assign(value.value, value.value + value.valueSize);
    return layout;
}

TEST(DeliveryBuilderTest, EachVariantChangesOnlyItsOwnElementAndStillOpens) {
    const PkeyPtr key = test::GenerateRsaKey();
    CertificateSpec fields;
    fields.subject = X509_NAME_new();
    fields.publicKey = fields.signingKey = key.get();
    const X509Ptr certificate = MakeCertificate(fields);
    X509_NAME_free(const_cast<X509_NAME*>(fields.subject));
    const Bytes plaintext(3000, 0x5A);
    const Bytes issuerAndSerial = IssuerAndSerialNumber(X509_get_issuer_name(certificate.get()),
                                                        X509_get0_serialNumber(certificate.get()));
    const Layout standard{5, 2, 0, 1, issuerAndSerial, RsaModulus(key.get())};
    const auto variant = [&](auto change, auto expect) {
        std::pair<DeliveryOptions, Layout> c{{}, standard};
        change(c.first);
        expect(c.second);
        return c;
    };
    const std::pair<DeliveryOptions, Layout> cases[] = {
        variant([](auto& o) { o.segments = 0; }, [](auto&) {}),
        variant([](auto& o) { o.segments = 7; }, [](auto& l) { l.segments = 7; }),
        variant([](auto& o) { o.originatorInfo = false; }, [](auto& l) { l.children = 4; }),
        variant([](auto& o) { o.envelopedDataVersion = 0; },
                [](auto& l) { l.envelopedVersion = 0; }),
        variant([](auto& o) { o.recipientInfoVersion = 2; },
                [](auto& l) { l.recipientVersion = 2; }),
        variant([](auto& o) { o.primitiveContent = true; }, [](auto& l) { l.segments = 0; }),
        variant([](auto& o) { o.keyIdentifierLeadingZero = true; },
                [](auto& l) { l.keyId.insert(l.keyId.begin(), 0x00); }),
        variant([](auto& o) { o.keyIdentifier = Bytes(3, 0x07); },
                [](auto& l) { l.keyId = Bytes(3, 0x07); }),
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::optional<Bytes> message =
            BuildDelivery(plaintext, RecipientFromCertificate(certificate.get()), cases[i].first);
        ASSERT_TRUE(message) << i;
        EXPECT_TRUE(Walk(*message) == cases[i].second) << "case " << i;
        EXPECT_EQ(test::OpenDelivery(*message, key.get(), certificate.get()), plaintext) << i;
    }

    // Nothing for a recipient that is not an RSA key with an identifier. Deliveries for a bare key
    // are opened on the token by the client's tests.
    const PkeyPtr ec(EVP_EC_gen("P-256"));
    for (const DeliveryRecipient& unusable :
         {DeliveryRecipient{ec.get(), issuerAndSerial}, DeliveryRecipient{nullptr, issuerAndSerial},
          DeliveryRecipient{key.get(), Bytes{}}}) {
        EXPECT_FALSE(BuildDelivery(plaintext, unusable));
    }
}

}  // namespace
}  // namespace qe::sim
