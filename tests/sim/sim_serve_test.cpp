// The simulator as the wizard meets it: a separate process, reached over TLS with libcurl, the
// curl and openssl command-line tools, and its control listener.
#include <gtest/gtest.h>

#include <regex>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/x509v3.h>

#include "sim/cert_issuer.h"
#include "sim/cert_util.h"
#include "sim/delivery_builder.h"
#include "sim/header_blocks.h"
#include "sim/sim_fixtures.h"
#include "sim/sim_process.h"
#include "sim/test_client.h"
#include "support/scoped_dir.h"
#include "toolkit/der.h"

namespace qe::test {
namespace {

constexpr const char* kTokenSerial = "A1B2C3D4E5F60708";
constexpr const char* kManufacturer = "SoftHSM";
constexpr const char* kModel = "SoftHSM";

std::string TokenHash() {
    return sim::TokenHashOf(kTokenSerial, kManufacturer, kModel);
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

Bytes AsBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

QJsonObject Json(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

QJsonObject OrderOf(const std::string& state, const std::string& tokenHash) {
    for (const QJsonValue& order : Json(state)["orders"].toArray()) {
        if (order["tokenHash"].toString().toStdString() == tokenHash) {
            return order.toObject();
        }
    }
    return {};
}

// The width and height in a JPEG's start-of-frame segment; {0, 0} when there is none.
std::pair<int, int> JpegSize(const Bytes& jpeg) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
        return {0, 0};
    }
    for (std::size_t i = 2; i + 9 < jpeg.size();) {
        if (jpeg[i] != 0xFF) {
            return {0, 0};
        }
        const int marker = jpeg[i + 1];
        const std::size_t length = (jpeg[i + 2] << 8) | jpeg[i + 3];
        if (marker >= 0xC0 && marker <= 0xC3) {
            return {(jpeg[i + 7] << 8) | jpeg[i + 8], (jpeg[i + 5] << 8) | jpeg[i + 6]};
        }
        i += 2 + length;
    }
    return {0, 0};
}

// Whether the parts occur in the text one after the other.
bool InOrder(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const std::string& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) {
            ADD_FAILURE() << "missing in order: " << part;
            return false;
        }
        at += part.size();
    }
    return true;
}

// PDF page objects ("/Type /Page", not "/Type /Pages").
std::size_t CountPages(const std::string& pdf) {
    std::size_t pages = 0;
    for (std::size_t at = pdf.find("/Type"); at != std::string::npos;
         at = pdf.find("/Type", at + 1)) {
        const std::size_t name = pdf.find_first_not_of(" \r\n", at + 5);
        if (name != std::string::npos && pdf.compare(name, 5, "/Page") == 0 &&
            pdf.compare(name, 6, "/Pages") != 0) {
            ++pages;
        }
    }
    return pages;
}

class SimServeTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = std::make_unique<SimProcess>(dir_ / "state");
        customer_ = MakeSoftwareCustomer(dir_ / "state", "C=RO,O=Persoană fizică,CN=Ion Popescu",
                                         dir_ / "customer");
    }

    HttpResult Api(const std::string& target, const std::string& method = "GET",
                   const std::string& body = "") {
        HttpOptions options;
        options.method = method;
        options.body = body;
        options.caFile = sim_->caPath();
        options.headers = TokenHashHeaders(TokenHash());
        return HttpFetch("https://" + sim_->api() + target, options);
    }

    HttpResult Rekey(const std::string& target, const std::string& method = "GET",
                     const std::string& body = "") {
        HttpOptions options;
        options.method = method;
        options.body = body;
        options.caFile = sim_->caPath();
        options.clientCert = customer_.certPath;
        options.clientKey = customer_.keyPath;
        options.headers =
            TokenDescriptionHeaders(kTokenSerial, kManufacturer, kModel, "SoftHSM Token");
        return HttpFetch("https://" + sim_->rekey() + target, options);
    }

    HttpResult Status(const std::vector<std::string>& serials) {
        std::string query;
        for (const std::string& serial : serials) {
            query += "&serial=" + serial;
        }
        return Api("/public/rest/certificate/status" +
                   (query.empty() ? "" : "?" + query.substr(1)));
    }

    // Uploads a request for a fresh key and returns that key.
    PkeyPtr Upload(const std::string& subject = "C=RO,CN=Ion Popescu") {
        PkeyPtr key = NewRsaKey();
        const HttpResult answer =
            Rekey("/rest/certificate/pkcs10", "POST", MakeRequestPem(key.get(), subject));
        EXPECT_EQ(answer.status, 200) << answer.body << answer.error;
        return key;
    }

    // A delivery opened with OpenSSL's CMS code.
    Bytes Open(const std::string& target, EVP_PKEY* key) {
        const HttpResult answer = Api(target);
        EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
        const std::optional<Bytes> plaintext = OpenDelivery(AsBytes(answer.body), key, nullptr);
        EXPECT_TRUE(plaintext) << target;
        return plaintext.value_or(Bytes{});
    }

    ScopedDir dir_{"sim"};
    std::unique_ptr<SimProcess> sim_;
    SoftwareCustomer customer_;
};

TEST_F(SimServeTest, PrintsOneReadyLineAndEndsCleanlyOnSigterm) {
    EXPECT_TRUE(std::regex_match(
        sim_->readyLine(),
        std::regex(R"(ready api=127\.0\.0\.1:\d+ rekey=127\.0\.0\.1:\d+ control=127\.0\.0\.1:\d+ )"
                   R"(ca=/\S+/state/pki/ca\.pem\n)")))
        << sim_->readyLine();
    EXPECT_EQ(Status({}).status, 200);
    EXPECT_EQ(sim_->Stop(), 0);
    EXPECT_EQ(sim_->laterStdout(), "");
    EXPECT_NE(sim_->Log().find("api GET /public/rest/certificate/status 200 "
                               "ENROLL_VERSION=2.7.23 ENROLL_LANG=RO TOKEN_HASH=" +
                               TokenHash()),
              std::string::npos)
        << sim_->Log();
}

TEST_F(SimServeTest, AFixedPortInUseIsRefused) {
    const std::string apiPort = sim_->api().substr(sim_->api().rfind(':') + 1);
    EXPECT_THROW(SimProcess(dir_ / "other", {"--api-port", apiPort}), std::runtime_error);
    EXPECT_EQ(Status({}).status, 200);
}

TEST_F(SimServeTest, RekeyHostNamesTheIssuingCaAndRefusesOtherCertificates) {
    const CommandResult probe =
        RunCommand({"openssl", "s_client", "-connect", sim_->rekey(), "-CAfile", sim_->caPath()});
    const std::regex onlyIssuingCa(
        "Acceptable client certificate CA names\nC = RO, O = Quorvane Demo, CN = Quorvane Demo "
        "Qualified CA\n(Requested|Client Certificate Types)");
    EXPECT_TRUE(std::regex_search(probe.out, onlyIssuingCa)) << probe.out;

    // No certificate: no answer.
    HttpOptions none;
    none.caFile = sim_->caPath();
    EXPECT_NE(HttpFetch("https://" + sim_->rekey() + "/", none).code, CURLE_OK);

    // A self-signed certificate and one the root signed directly (not the issuing CA).
    std::string error;
    std::optional<sim::Pki> pki = sim::LoadOrCreatePki(dir_ / "state", "127.0.0.1", error);
    ASSERT_TRUE(pki) << error;
    PkeyPtr key = NewRsaKey();
    X509NamePtr name(X509_NAME_new());
    X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Intrus"), -1, -1, 0);
    sim::CertificateSpec selfSigned;
    selfSigned.subject = name.get();
    selfSigned.publicKey = key.get();
    selfSigned.signingKey = key.get();
    sim::CertificateSpec rootSigned = selfSigned;
    rootSigned.issuer = pki->rootCa.get();
    rootSigned.signingKey = pki->rootKey.get();
    WriteFile(dir_ / "stranger.key", PemOf(key.get()));
    for (const sim::CertificateSpec& spec : {selfSigned, rootSigned}) {
        X509Ptr certificate = sim::MakeCertificate(spec);
        WriteFile(dir_ / "stranger.pem", PemOf(certificate.get()));
        const CommandResult tls12 =
            RunCommand({"curl", "-sS", "--tls-max", "1.2", "--cacert", sim_->caPath(), "--cert",
                        dir_ / "stranger.pem", "--key", dir_ / "stranger.key",
                        "https://" + sim_->rekey() + "/"});
        EXPECT_NE(tls12.status, 0);
        EXPECT_NE(tls12.err.find("alert certificate unknown"), std::string::npos) << tls12.err;
        // TLS 1.3: the verdict arrives after the client's side of the handshake.
        const CommandResult tls13 = RunCommand(
            {"openssl", "s_client", "-tls1_3", "-ign_eof", "-connect", sim_->rekey(), "-CAfile",
             sim_->caPath(), "-cert", dir_ / "stranger.pem", "-key", dir_ / "stranger.key"});
        EXPECT_NE((tls13.out + tls13.err).find("alert certificate unknown"), std::string::npos)
            << tls13.out << tls13.err;
    }

    const HttpResult root = Rekey("/");
    EXPECT_EQ(root.status, 200) << root.error;
    EXPECT_NE(root.body.find("CN=Ion Popescu"), std::string::npos);
}

TEST_F(SimServeTest, StatusFollowsTheOrderFromRenewableToInstalled) {
    const std::string unknownSerial = "00ff00ff00ff00ff00ff00ff00ff00ff";
    const std::string upperSerial = Upper(customer_.serialHex);

    // Renewable: only the certificate the issuing CA issued, in upper case.
    HttpResult status = Status({customer_.serialHex, unknownSerial});
    EXPECT_EQ(status.status, 200);
    EXPECT_EQ(status.Header("pkcs10"), upperSerial);
    EXPECT_EQ(status.Header("install"), "0");
    EXPECT_EQ(status.Header("ask4dn"), "0");
    EXPECT_NE(status.body.find("poate fi reînnoit"), std::string::npos) << status.body;

    const HttpResult keygen = Rekey("/rest/certificate/keygenParameters");
    EXPECT_EQ(keygen.status, 200);
    EXPECT_NE(keygen.body.find("genAlgorithms.1.keySize=2048"), std::string::npos);

    // Request uploaded: issued at once, waiting for installation; still renewable.
    PkeyPtr newKey = Upload();
    QJsonObject order = OrderOf(sim_->ControlState(), TokenHash());
    EXPECT_EQ(order["lastHeaders"].toObject()["TOKEN_SERIAL"].toString().toStdString(),
              kTokenSerial);
    status = Status({customer_.serialHex});
    EXPECT_EQ(status.Header("pkcs10"), upperSerial);
    EXPECT_EQ(status.Header("install"), "1");
    order = OrderOf(sim_->ControlState(), TokenHash());
    ASSERT_EQ(order["requests"].toArray().size(), 1);
    EXPECT_NE(order["requests"][0].toString().toStdString().find("\r\n"), std::string::npos);
    EXPECT_EQ(order["renewedSerial"].toString().toStdString(), customer_.serialHex);
    EXPECT_EQ(order["lastHeaders"].toObject()["TOKEN_HASH"].toString().toStdString(), TokenHash());
    EXPECT_FALSE(order["installed"].toBool());

    // The certificate, for the new key; the subject from the request.
    const Bytes der = Open("/public/rest/certificate", newKey.get());
    X509Ptr issued = sim::CertificateFromDer(der);
    ASSERT_TRUE(issued);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(issued.get()), newKey.get()), 1);
    EXPECT_EQ(sim::NameLine(X509_get_subject_name(issued.get())), "C=RO, CN=Ion Popescu");
    EXPECT_EQ(sim::SerialHex(issued.get()), order["issuedSerial"].toString().toStdString());
    EXPECT_EQ(sim::SerialOctets(X509_get0_serialNumber(issued.get())).size() -
                  (sim::SerialOctets(X509_get0_serialNumber(issued.get()))[0] == 0 ? 1 : 0),
              16u);

    // Signing the declaration: a bad signature is refused, the right one accepted.
    const Bytes toSign = Open("/public/rest/sign/pv", newKey.get());
    const std::string text(toSign.begin(), toSign.end());
    EXPECT_NE(text.find("Ion Popescu"), std::string::npos);
    EXPECT_NE(text.find(Upper(sim::SerialHex(issued.get()))), std::string::npos);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t size = 512;
    Bytes signature(size);
    ASSERT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, newKey.get()), 1);
    ASSERT_EQ(EVP_DigestSign(ctx.get(), signature.data(), &size, toSign.data(), toSign.size()), 1);
    signature.resize(size);
    Bytes wrong = signature;
    wrong[10] ^= 0x01;
    EXPECT_EQ(Api("/public/rest/sign/pv", "POST", std::string(wrong.begin(), wrong.end())).status,
              400);
    // Installing before the declaration is signed is refused.
    EXPECT_EQ(Api("/public/rest/certificate/installed", "POST", std::string(der.begin(), der.end()))
                  .status,
              409);
    const HttpResult signedAnswer =
        Api("/public/rest/sign/pv", "POST", std::string(signature.begin(), signature.end()));
    EXPECT_EQ(signedAnswer.status, 200) << signedAnswer.body;
    EXPECT_TRUE(OrderOf(sim_->ControlState(), TokenHash())["signatureVerified"].toBool());

    // The old certificate, for the new key too.
    EXPECT_EQ(Open("/public/rest/certificate/old", newKey.get()),
              sim::CertificateDer(customer_.certificate.get()));

    // Installed: only the exact certificate bytes confirm it.
    Bytes other = der;
    other.back() ^= 0x01;
    EXPECT_EQ(
        Api("/public/rest/certificate/installed", "POST", std::string(other.begin(), other.end()))
            .status,
        400);
    const HttpResult installed =
        Api("/public/rest/certificate/installed", "POST", std::string(der.begin(), der.end()));
    EXPECT_EQ(installed.status, 200) << installed.body;

    // Not renewable any more, nothing to install, deliveries over.
    status = Status({customer_.serialHex});
    EXPECT_EQ(status.Header("pkcs10"), "");
    EXPECT_EQ(status.Header("install"), "0");
    EXPECT_EQ(Api("/public/rest/certificate").status, 404);
    order = OrderOf(sim_->ControlState(), TokenHash());
    EXPECT_TRUE(order["installed"].toBool());
    EXPECT_EQ(Json(sim_->ControlState())["renewedSerials"][0].toString().toStdString(),
              customer_.serialHex);
    const HttpResult again = Rekey("/rest/certificate/pkcs10", "POST",
                                   MakeRequestPem(NewRsaKey().get(), "CN=Ion Popescu"));
    EXPECT_EQ(again.status, 403);
}

TEST_F(SimServeTest, DeliveriesOpenWithTheOpensslToolsAndHaveTheWizardsLayout) {
    PkeyPtr newKey = Upload();
    const HttpResult answer = Api("/public/rest/certificate");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.Header("content-type"), "application/octet-stream");
    WriteFile(dir_ / "delivery.der", answer.body);
    WriteFile(dir_ / "new.key", PemOf(newKey.get()));
    X509Ptr issued =
        sim::CertificateFromDer(OpenDelivery(AsBytes(answer.body), newKey.get(), nullptr).value());
    ASSERT_TRUE(issued);
    WriteFile(dir_ / "new.pem", PemOf(issued.get()));

    const CommandResult decrypted = RunCommand(
        {"openssl", "cms", "-decrypt", "-binary", "-inform", "DER", "-in", dir_ / "delivery.der",
         "-inkey", dir_ / "new.key", "-recip", dir_ / "new.pem", "-out", dir_ / "plain.der"});
    ASSERT_EQ(decrypted.status, 0) << decrypted.err;
    EXPECT_EQ(AsBytes(ReadFile(dir_ / "plain.der")), sim::CertificateDer(issued.get()));

    const CommandResult parsed =
        RunCommand({"openssl", "asn1parse", "-inform", "DER", "-in", dir_ / "delivery.der"});
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    // Top-down: envelopedData, version 2, originatorInfo [0], a version-0 recipient with
    // rsaEncryption, data with des-ede3-cbc and its IV, constructed [0] content, [1] attributes.
    EXPECT_TRUE(InOrder(
        parsed.out,
        {":pkcs7-envelopedData", "cont [ 0 ]", "INTEGER           :02", "cont [ 0 ]", "SET",
         "INTEGER           :00", ":rsaEncryption", "OCTET STRING", ":pkcs7-data", ":des-ede3-cbc",
         "OCTET STRING", "cons: cont [ 0 ]", "prim: OCTET STRING", "cont [ 1 ]", "OCTET STRING"}))
        << parsed.out;

    // The first attribute's value is the new key's modulus.
    const std::string modulusHex = ToHexUpper(sim::RsaModulus(newKey.get()));
    EXPECT_NE(parsed.out.find(modulusHex.substr(0, 40)), std::string::npos);
}

TEST_F(SimServeTest, PreviewsAreAOnePagePdfAndAJpegOfTheAskedWidth) {
    PkeyPtr newKey = Upload();
    const Bytes pdf = Open("/public/rest/sign/preview?type=pdf", newKey.get());
    const std::string pdfText(pdf.begin(), pdf.end());
    EXPECT_EQ(pdfText.rfind("%PDF-", 0), 0u);
    EXPECT_NE(pdfText.find("%%EOF", pdfText.size() - 16), std::string::npos);
    EXPECT_EQ(CountPages(pdfText), 1u);
    EXPECT_NE(pdfText.find("/FontFile2"), std::string::npos);  // fonts embedded

    for (const int width : {600, 17, 1240}) {
        const Bytes jpeg = Open(
            "/public/rest/sign/preview?type=jpeg&width=" + std::to_string(width), newKey.get());
        const std::pair<int, int> size = JpegSize(jpeg);
        EXPECT_EQ(size.first, width);
        EXPECT_EQ(size.second, static_cast<int>(std::lround(width * 842.0 / 595.0)));
    }
    for (const char* bad : {"type=jpeg", "type=jpeg&width=0", "type=jpeg&width=99999999",
                            "type=jpeg&width=12a", "type=gif"}) {
        const HttpResult answer = Api(std::string("/public/rest/sign/preview?") + bad);
        EXPECT_EQ(answer.status, 400) << bad;
        EXPECT_FALSE(answer.body.empty());
    }
}

TEST_F(SimServeTest, StateSurvivesARestart) {
    PkeyPtr newKey = Upload();
    const std::string stateBefore = sim_->ControlState();
    const std::string caBefore = ReadFile(sim_->caPath());
    ASSERT_EQ(sim_->Stop(), 0);

    sim_ = std::make_unique<SimProcess>(dir_ / "state");
    EXPECT_EQ(sim_->ControlState(), stateBefore);
    EXPECT_EQ(ReadFile(sim_->caPath()), caBefore);
    EXPECT_EQ(Status({customer_.serialHex}).Header("install"), "1");
    EXPECT_FALSE(Open("/public/rest/certificate", newKey.get()).empty());
}

TEST_F(SimServeTest, ScenarioShapesTheAnswers) {
    ASSERT_EQ(sim_->SetScenario(R"({"statusText": "Mesaj de test",
        "keygen": "genAlgorithms.1.keySize=3072\n", "ask4dn": "1",
        "fields": "C=RO\nO=Firma SRL\nOU=Vânzări//Contabilitate\nCN=Maria Pop\n",
        "force": {"path": "/public/rest/sign/pv", "method": "POST", "status": 503,
                  "body": "Serviciu indisponibil"},
        "foreignKeyFrom": "/public/rest/sign/preview?type=pdf", "segments": 3})"),
              200);
    EXPECT_EQ(sim_->SetScenario("{\"nu\": 1}"), 400);

    HttpResult status = Status({customer_.serialHex});
    EXPECT_EQ(status.body, "Mesaj de test");
    EXPECT_EQ(status.Header("ask4dn"), "1");
    EXPECT_EQ(Rekey("/rest/certificate/fields").body,
              "C=RO\nO=Firma SRL\nOU=Vânzări//Contabilitate\nCN=Maria Pop\n");

    // Only the offered size is accepted; the subject comes from the fields.
    EXPECT_EQ(Rekey("/rest/certificate/pkcs10", "POST",
                    MakeRequestPem(NewRsaKey(2048).get(), "CN=Ion Popescu"))
                  .status,
              400);
    PkeyPtr newKey = NewRsaKey(3072);
    ASSERT_EQ(
        Rekey("/rest/certificate/pkcs10", "POST", MakeRequestPem(newKey.get(), "CN=X")).status,
        200);
    const HttpResult certificate = Api("/public/rest/certificate");
    X509Ptr issued = sim::CertificateFromDer(
        OpenDelivery(AsBytes(certificate.body), newKey.get(), nullptr).value());
    ASSERT_TRUE(issued);
    EXPECT_EQ(sim::NameLine(X509_get_subject_name(issued.get())),
              "C=RO, O=Firma SRL, OU=Vânzări, OU=Contabilitate, CN=Maria Pop");

    // Three segments in every delivery.
    std::vector<Bytes> level;
    Bytes element = AsBytes(certificate.body);
    ASSERT_EQ(SplitDer(element, level), 0);
    Bytes enveloped = level[1];
    ASSERT_EQ(SplitDer(enveloped, level), 0);
    enveloped = level[0];
    ASSERT_EQ(SplitDer(enveloped, level), 0);
    Bytes contentInfo = level[3];
    ASSERT_EQ(SplitDer(contentInfo, level), 0);
    Bytes content = level[2];
    ASSERT_EQ(SplitDer(content, level), 0);
    EXPECT_EQ(level.size(), 3u);

    // From the PDF on, for another key; the next download starts with the right key again.
    EXPECT_FALSE(Open("/public/rest/sign/preview?type=jpeg&width=100", newKey.get()).empty());
    const HttpResult pdf = Api("/public/rest/sign/preview?type=pdf");
    EXPECT_FALSE(OpenDelivery(AsBytes(pdf.body), newKey.get(), nullptr));
    EXPECT_FALSE(OpenDelivery(AsBytes(Api("/public/rest/sign/pv").body), newKey.get(), nullptr));
    EXPECT_FALSE(Open("/public/rest/certificate", newKey.get()).empty());
    EXPECT_FALSE(Open("/public/rest/sign/pv", newKey.get()).empty());

    // The forced answer replaces the normal one for its path and method only.
    const HttpResult forced = Api("/public/rest/sign/pv", "POST", "semnătură");
    EXPECT_EQ(forced.status, 503);
    EXPECT_EQ(forced.body, "Serviciu indisponibil");
}

TEST_F(SimServeTest, RefusesMalformedRequestsWithTextAndKeepsServing) {
    struct Case {
        HttpResult answer;
        long status;
    };
    HttpOptions noHeaders;
    noHeaders.caFile = sim_->caPath();
    HttpOptions badHash = noHeaders;
    badHash.headers = TokenHashHeaders("ABCDEF");
    HttpOptions twice = noHeaders;
    twice.headers = TokenHashHeaders(TokenHash());
    twice.headers.push_back("TOKEN_HASH: " + TokenHash());
    const std::string status = "https://" + sim_->api() + "/public/rest/certificate/status";
    const std::vector<Case> cases = {
        {HttpFetch(status, noHeaders), 400},
        {HttpFetch(status, badHash), 400},
        {HttpFetch(status, twice), 400},
        {Status({"../../etc/passwd"}), 400},
        {Api("/public/rest/certificate"), 404},
        {Api("/nu/exista"), 404},
        {Api("/public/rest/nothing", "POST", "x"), 404},
        {Api("/public/rest/sign/pv", "POST", std::string(200 * 1024, 'a')), 413},
        {Rekey("/rest/certificate/pkcs10", "POST", "-----BEGIN CERTIFICATE REQUEST-----\n"), 400},
        {Rekey("/rest/certificate/pkcs10", "POST", std::string(300, '\0')), 400},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].answer.status, cases[i].status) << "case " << i;
        EXPECT_FALSE(cases[i].answer.body.empty()) << "case " << i;
        EXPECT_NE(cases[i].answer.body.rfind("<html>", 0), 0u) << "case " << i;
    }

    // A chunked body on a GET is refused before it is read.
    const CommandResult chunked =
        RunCommand({"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--cacert",
                    sim_->caPath(), "-H", "Transfer-Encoding: chunked", "--data-binary", "abc",
                    "-X", "GET", "https://" + sim_->api() + "/public/rest/certificate/status"});
    EXPECT_EQ(chunked.out, "400");

    // Still serving.
    EXPECT_EQ(Status({customer_.serialHex}).status, 200);
}

}  // namespace
}  // namespace qe::test
