#include "net/encrypted_delivery.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "net/envelope.h"
#include "scripted_pins.h"
#include "sim/delivery_builder.h"
#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "test_pki.h"
#include "tls_test_server.h"
#include "token/pki.h"

namespace qe {
namespace {

using test::Reply;
using test::TlsTestServer;

// Deliveries from a TLS server for a key pair generated on a SoftHSM2 token.
class EncryptedDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        pki_ = test::TestPki::Create(dir_.path());
        setenv("SSL_CERT_FILE", pki_.caFile.c_str(), 1);
        hsm_.InitToken("Token", "1234");
        {
            test::SoftHsm::Session session("Token", "1234");
            modulus_ = session.GenerateRsaKeyPair(2048, "new");
            publicKey_ = test::RsaPublicKey(modulus_, session.PublicExponent(modulus_));
        }
        hsm_.WriteModuleList({test::SoftHsmLibrary()});
        ASSERT_EQ(CPKI().SelectToken(token_), CKR_OK);
        other_ = test::GenerateRsaKey();
        server_ = std::make_unique<TlsTestServer>(pki_, TlsTestServer::Options{});
        server_->SetHandler([this](const test::RecordedRequest& r) {
            const auto it = replies_.find(r.path);
            return it != replies_.end() ? it->second : Reply(404, "nu există");
        });
        ClearPinnedKeyId();
    }

    Bytes Delivery(const Bytes& plaintext, EVP_PKEY* key, sim::DeliveryOptions options = {}) {
        X509NamePtr issuer(X509_NAME_new());
        OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free> serial(ASN1_INTEGER_new());
        ASN1_INTEGER_set(serial.get(), 5);
        return *sim::BuildDelivery(plaintext,
                                   sim::RecipientFromKey(key, issuer.get(), serial.get()), options);
    }

    void Serve(const std::string& path, const Bytes& body, int status = 200) {
        replies_[path] = Reply(status, ToString(body), {}, "application/octet-stream");
    }

    ErrorId Fetch(const std::wstring& path, Bytes& out, const char* pin = "1234",
                  bool sign = false) {
        CHttpsClient client;
        client.Connect(L"localhost", static_cast<std::uint16_t>(server_->port()));
        return RequestAndDecrypt(client, Secret(pin), out, token_, sign, path);
    }

    test::ScopedDir dir_{"delivery"};
    test::SoftHsm hsm_;
    test::TestPki pki_;
    zel_token token_;
    Bytes modulus_;
    PkeyPtr publicKey_;
    PkeyPtr other_;
    std::unique_ptr<TlsTestServer> server_;
    std::map<std::string, Reply> replies_;
};

TEST_F(EncryptedDeliveryTest, OpensOnTheTokenAndPinsTheKeyIdentifier) {
    const Bytes certificate = ToBytes("the new certificate");
    Serve("/public/rest/certificate", Delivery(certificate, publicKey_.get()));
    sim::DeliveryOptions segmented;
    segmented.segments = 5;
    Serve("/public/rest/sign/preview?type=pdf",
          Delivery(ToBytes("%PDF-1.4"), publicKey_.get(), segmented));
    Bytes out;
    ASSERT_EQ(Fetch(L"/public/rest/certificate", out), 0);
    EXPECT_EQ(out, certificate);
    EXPECT_EQ(PinnedKeyId(), modulus_);
    ASSERT_EQ(Fetch(L"/public/rest/sign/preview?type=pdf", out), 0);
    EXPECT_EQ(ToString(out), "%PDF-1.4");
}

TEST_F(EncryptedDeliveryTest, SignsThePlaintextOnTheToken) {
    const Bytes declaration = ToBytes("data to be signed");
    Serve("/public/rest/sign/pv", Delivery(declaration, publicKey_.get()));
    Bytes signature;
    ASSERT_EQ(Fetch(L"/public/rest/sign/pv", signature, "1234", true), 0);
    MdCtxPtr md(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, publicKey_.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(md.get(), signature.data(), signature.size(), declaration.data(),
                               declaration.size()),
              1);
}

TEST_F(EncryptedDeliveryTest, ResultMapping) {
    Serve("/mine", Delivery(ToBytes("x"), publicKey_.get()));
    Serve("/zero", [&] {
        sim::DeliveryOptions options;
        options.keyIdentifierLeadingZero = true;
        return Delivery(ToBytes("x"), publicKey_.get(), options);
    }());
    Serve("/other", Delivery(ToBytes("x"), other_.get()));
    Serve("/junk", ToBytes("not a delivery"));
    Serve("/error", ToBytes("Comanda nu a fost găsită"), 500);

    Bytes out = ToBytes("kept");
    EXPECT_EQ(Fetch(L"/other", out), ERR_KEY_NOT_FOUND);  // first delivery: pins, then no key
    EXPECT_EQ(ToString(out), "kept");
    EXPECT_EQ(Fetch(L"/mine", out), ERR_SERVER);  // another key identifier than the pinned one
    ClearPinnedKeyId();
    EXPECT_EQ(Fetch(L"/zero", out), 0);  // a leading zero octet finds the same key
    EXPECT_EQ(ToString(out), "x");
    out = ToBytes("kept");
    ClearPinnedKeyId();
    EXPECT_EQ(Fetch(L"/mine", out, "0000"), ERR_WRONG_PIN);
    EXPECT_EQ(Fetch(L"/junk", out), ERR_BAD_RESPONSE);
    EXPECT_EQ(Fetch(L"/error", out), ERR_SERVER);
    EXPECT_EQ(ServerMessage(), L"Comanda nu a fost găsită");
    EXPECT_EQ(ToString(out), "kept");
}

}  // namespace
}  // namespace qe
