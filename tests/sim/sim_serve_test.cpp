// The simulator as the wizard meets it: a separate process reached over TLS (also by the curl and
// openssl tools), its control listener, and provision-token on a SoftHSM2 token read back
// through the token layer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include <QImage>

#include "sim/cert_issuer.h"
#include "sim/cert_util.h"
#include "sim/header_blocks.h"
#include "sim/sim_process.h"
#include "sim/test_client.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"
#include "support/test_pki.h"

namespace qe::test {
namespace {

const std::string kStatus = "/public/rest/certificate/status";
const std::string kTokenHash = sim::TokenHashOf("A1B2C3D4E5F60708", "SoftHSM", "SoftHSM");
httplib::Headers TokenHashHeaders(const std::string& tokenHash = kTokenHash) {
    return {{"ENROLL_VERSION", "2.7.23"}, {"ENROLL_LANG", "RO"}, {"TOKEN_HASH", tokenHash}};
}

class SimServeTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = std::make_unique<SimProcess>(dir_ / "state");
        customer_ = MakeSoftwareCustomer(dir_ / "state", "C=RO,CN=Ion Popescu", dir_ / "customer");
    }

    HttpResult Api(const std::string& target, const std::optional<std::string>& body = {}) {
        return HttpFetch(sim_->api(), target,
                         {.caFile = sim_->caPath(), .headers = TokenHashHeaders()}, body);
    }

    HttpResult Rekey(const std::string& target, const std::optional<std::string>& body = {}) {
        const httplib::Headers headers = {
            {"ENROLL_VERSION", "2.7.23"},         {"ENROLL_LANG", "RO"},
            {"TOKEN_SERIAL", "A1B2C3D4E5F60708"}, {"TOKEN_MANUFACTURER", "SoftHSM"},
            {"TOKEN_MODEL", "SoftHSM"},           {"TOKEN_PRODUCT_NAME", "SoftHSM Token"}};
        return HttpFetch(sim_->rekey(), target,
                         {sim_->caPath(), customer_.certPath, customer_.keyPath, headers}, body);
    }

    // Uploads a request for a fresh key and returns that key.
    PkeyPtr Upload() {
        PkeyPtr key = GenerateRsaKey();
        EXPECT_EQ(Rekey("/rest/certificate/pkcs10", MakeRequestPem(key.get(), "CN=Ion")).status,
                  200);
        return key;
    }

    // A delivery opened with OpenSSL's CMS code.
    Bytes Open(const std::string& target, EVP_PKEY* key) {
        const HttpResult answer = Api(target);
        EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
        return OpenDelivery(ToBytes(answer.body), key, nullptr).value_or(Bytes{});
    }

    ScopedDir dir_{"sim"};
    std::unique_ptr<SimProcess> sim_;
    SoftwareCustomer customer_;
};

TEST_F(SimServeTest, OneReadyLineAPortOfItsOwnALogLinePerRequestAndACleanStop) {
    // A second server asking for a port in use does not share it.
    const std::string apiPort = sim_->api().substr(sim_->api().rfind(':') + 1);
    EXPECT_THROW(SimProcess(dir_ / "other", {"--api-port", apiPort}), std::runtime_error);
    EXPECT_EQ(Api(kStatus).status, 200);
    EXPECT_EQ(sim_->Stop(), 0);
    const std::string output = sim_->Output();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_THAT(
        SplitLines(sim_->Log()),
        ::testing::Contains("api GET " + kStatus +
                            " 200 ENROLL_VERSION=2.7.23 ENROLL_LANG=RO TOKEN_HASH=" + kTokenHash));
}

// Only certificates of the issuing CA open the rekey host, and the refusal says why. The CA
// name it asks for, the status check's issuer list shows.
TEST_F(SimServeTest, RekeyHostTrustsTheIssuingCaAlone) {
    EXPECT_EQ(HttpFetch(sim_->rekey(), "/", {.caFile = sim_->caPath()}).status, 0);
    // A self-signed certificate, and one the root signed directly.
    std::string error;
    const std::optional<sim::Pki> pki = sim::LoadOrCreatePki(dir_ / "state", "127.0.0.1", error);
    const PkeyPtr key = GenerateRsaKey();
    const std::string pem = dir_ / "stranger.pem";
    const std::string pemKey = dir_ / "stranger.key";
    WriteFile(pemKey, sim::PrivateKeyPem(key.get()));
    for (const auto& [issuer, signer] :
         {std::pair<X509*, EVP_PKEY*>{nullptr, nullptr}, {pki->rootCa.get(), pki->rootKey.get()}}) {
        const Bytes der = MakeCertificate({{{"CN", "Intrus"}}}, key.get(), issuer, signer);
        WriteFile(pem, sim::CertificatePem(FromDer(der).get()));
        const CommandResult tls12 =
            RunCommand({"curl", "-sS", "--tls-max", "1.2", "--cacert", sim_->caPath(), "--cert",
                        pem, "--key", pemKey, "https://" + sim_->rekey() + "/"});
        // TLS 1.3: the verdict comes after the client's side of the handshake.
        const CommandResult tls13 =
            RunCommand({"openssl", "s_client", "-tls1_3", "-ign_eof", "-connect", sim_->rekey(),
                        "-CAfile", sim_->caPath(), "-cert", pem, "-key", pemKey});
        for (const std::string& said : {tls12.err, tls13.out + tls13.err}) {
            EXPECT_NE(said.find("alert certificate unknown"), std::string::npos) << said;
        }
    }
    EXPECT_EQ(Rekey("/").body, "Conexiune autentificată cu certificatul C=RO, CN=Ion Popescu.");
}

TEST_F(SimServeTest, AnOrderGoesFromRenewableToInstalledOnlyStepByStep) {
    const std::string serial = sim::SerialHex(customer_.certificate.get());
    std::string upper = serial;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    // Renewable: only what the issuing CA issued, in upper case; then waiting for installation.
    EXPECT_EQ(Api(kStatus + "?serial=" + serial + "&serial=00ff").Header("pkcs10"), upper);
    const PkeyPtr newKey = Upload();
    const HttpResult status = Api(kStatus + "?serial=" + serial);
    EXPECT_EQ(status.Header("pkcs10") + status.Header("install"), upper + "1");
    // JPEG previews of the declaration, of a width within the limits.
    const std::pair<const char*, int> widths[] = {
        {"width=16", 16},  {"width=2480", 2480}, {"width=00600", 600}, {"width=15", 0},
        {"width=2481", 0}, {"width=999999", 0},  {"width=12a", 0},     {"", 0}};
    for (const auto& [query, width] : widths) {
        const std::string target = std::string("/public/rest/sign/preview?type=jpeg&") + query;
        if (width == 0) {
            EXPECT_EQ(Api(target).status, 400) << query;
            continue;
        }
        const Bytes jpeg = Open(target, newKey.get());
        const QImage image = QImage::fromData(jpeg.data(), static_cast<int>(jpeg.size()), "JPEG");
        EXPECT_EQ(image.width(), width) << query;
        EXPECT_EQ(image.height(), std::lround(width * 842.0 / 595.0)) << query;
    }
    EXPECT_EQ(Api("/public/rest/sign/preview?type=gif&width=600").status, 400);

    // The certificate is for the new key and /old gives the renewed one: the renewal flow's end
    // shows both, with the new certificate next to its keys and the old one gone.
    const Bytes der = Open("/public/rest/certificate", newKey.get());
    const Bytes toSign = Open("/public/rest/sign/pv", newKey.get());
    WriteFile(dir_ / "new.key", sim::PrivateKeyPem(newKey.get()));
    WriteFile(dir_ / "pv", ToString(toSign));
    const Bytes signature = ToBytes(
        RunCommand({"openssl", "dgst", "-sha256", "-sign", dir_ / "new.key", dir_ / "pv"}).out);
    Bytes wrongSignature = signature;
    wrongSignature.at(10) ^= 0x01;
    Bytes otherCertificate = der;
    otherCertificate.back() ^= 0x01;
    const std::tuple<const char*, Bytes, int> steps[] = {
        {"sign/pv", wrongSignature, 400},
        {"certificate/installed", der, 409},  // the declaration is not signed yet
        {"sign/pv", signature, 200},
        {"certificate/installed", otherCertificate, 400},
        {"certificate/installed", der, 200},
        {"certificate/installed", der, 404},  // nothing waits any more
    };
    for (const auto& [path, body, expected] : steps) {
        EXPECT_EQ(Api(std::string("/public/rest/") + path, ToString(body)).status, expected)
            << path;
    }
    // Renewed: neither renewable nor waiting, and the certificate opens the rekey host no more.
    const HttpResult after = Api(kStatus + "?serial=" + serial);
    EXPECT_EQ(after.Header("pkcs10") + after.Header("install"), "0");
    EXPECT_EQ(
        Rekey("/rest/certificate/pkcs10", MakeRequestPem(GenerateRsaKey().get(), "CN=Ion")).status,
        403);
}

// Malformed or oversized requests are refused with a text, at their limits, and the server
// keeps serving; the scenario replaces an answer only where it says.
TEST_F(SimServeTest, RefusesMalformedRequestsAtTheirLimits) {
    const auto serials = [](int count) {  // distinct: the same pair twice counts once
        std::string query;
        for (int i = 0; i < count; ++i) {
            query += (i == 0 ? "?serial=" : "&serial=") + ToHexLower(Bytes{std::uint8_t(i)});
        }
        return query;
    };
    HttpOptions repeated{.caFile = sim_->caPath(), .headers = TokenHashHeaders()};
    repeated.headers.emplace("TOKEN_HASH", kTokenHash);
    ASSERT_EQ(sim_->SetScenario(R"({"force": {"path": "/public/rest/sign/pv", "method": "POST",
                                              "status": 503, "body": "Indisponibil"}})"),
              200);
    EXPECT_EQ(sim_->SetScenario(R"({"nu": 1})"), 400);
    const std::pair<HttpResult, int> cases[] = {
        {Api(kStatus + serials(64)), 200},
        {Api(kStatus + serials(65)), 400},
        {Api(kStatus + "?serial=" + std::string(64, 'a')), 200},
        {Api(kStatus + "?serial=" + std::string(66, 'a')), 400},
        {Api(kStatus + "?serial=abc"), 400},
        {Api(kStatus + "?serial=../../etc/passwd"), 400},
        {HttpFetch(sim_->api(), kStatus, {.caFile = sim_->caPath()}), 400},
        {HttpFetch(sim_->api(), kStatus,
                   {.caFile = sim_->caPath(), .headers = TokenHashHeaders("ABCDEF")}),
         400},
        {HttpFetch(sim_->api(), kStatus, repeated), 400},
        {Api("/public/rest/sign/pv"), 404},  // the forced answer is for POST only
        {Api("/public/rest/sign/pv", std::string(64 * 1024, 'a')), 503},
        {Api("/public/rest/sign/pv", std::string(64 * 1024 + 1, 'a')), 413},
        {Api("/nu/exista"), 404},
        {Api("/public/rest/nothing", "x"), 404},
        {Rekey("/rest/certificate/pkcs10", "-----BEGIN CERTIFICATE REQUEST-----\n"), 400},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [answer, status] = cases[i];
        EXPECT_EQ(answer.status, status) << "case " << i;
        EXPECT_FALSE(answer.body.empty() || answer.body.rfind("<html>", 0) == 0) << "case " << i;
    }
    // A body on a GET is refused before it is read.
    EXPECT_EQ(RunCommand({"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--cacert",
                          sim_->caPath(), "-H", "Transfer-Encoding: chunked", "--data-binary",
                          "abc", "-X", "GET", "https://" + sim_->api() + kStatus})
                  .out,
              "400");
    EXPECT_EQ(Api(kStatus).status, 200);
}

TEST(ProvisionTokenTest, PutsTheCertificateNextToItsKeysAndRefusalsWriteNothing) {
    SoftHsm hsm;
    hsm.InitToken("Client", "1234");
    ScopedDir dir("provision");
    // Refused: a wrong PIN, another token, a subject a name cannot hold, no PIN. The PIN is
    // never shown.
    const std::tuple<const char*, const char*, const char*, int, const char*> refused[] = {
        {"Client", "9999", "CN=Ion", 1, "CKR_PIN_INCORRECT"},
        {"Altul", "1234", "CN=Ion", 1, "no token labelled"},
        {"Client", "1234", "C=ROU,CN=Ion", 2, "subject"},
        {"Client", "", "CN=Ion", 2, "usage"},
    };
    for (const auto& [label, pin, subject, status, says] : refused) {
        const CommandResult result =
            ProvisionToken(dir / "state", SoftHsmLibrary(), label, pin, subject);
        EXPECT_EQ(result.status, status) << says;
        EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("1234"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("9999"), std::string::npos) << result.err;
    }
    EXPECT_TRUE(SoftHsm::Session("Client", "1234").Find(CKO_PRIVATE_KEY).empty());

    const CommandResult result =
        ProvisionToken(dir / "state", SoftHsmLibrary(), "Client", "1234",
                       "C=RO,O=Persoană fizică,CN=Ion Popescu", "ion@example.ro", "ion@firma.ro");
    ASSERT_EQ(result.status, 0) << result.err;

    // The private key never leaves the token. That the certificate is recorded as issued and
    // found next to its keys, every flow's start shows.
    SoftHsm::Session session("Client", "1234");
    const CK_OBJECT_HANDLE key = session.Find(CKO_PRIVATE_KEY).at(0);
    EXPECT_EQ(session.Attribute(key, CKA_SENSITIVE), BoolBytes(true));
    EXPECT_EQ(session.Attribute(key, CKA_EXTRACTABLE), BoolBytes(false));
}

}  // namespace
}  // namespace qe::test
