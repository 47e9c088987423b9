#include "net/encrypted_delivery.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "net/envelope.h"
#include "sim/delivery_builder.h"
#include "support/freed_memory.h"
#include "support/softhsm.h"
#include "support/test_pki.h"
#include "tls_peer.h"
#include "token/pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using test::HttpReply;

const Bytes kPlaintext = ToBytes("declaratie de acceptanta, pagina 1");

Bytes Deliver(const Bytes& plaintext, EVP_PKEY* key, const sim::DeliveryOptions& options = {}) {
    X509NamePtr issuer(X509_NAME_new());
    OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free> serial(ASN1_INTEGER_new());
    return *sim::BuildDelivery(plaintext, sim::RecipientFromKey(key, issuer.get(), serial.get()),
                               options);
}

// Deliveries from a TLS server for a key pair on a SoftHSM2 token reached through the fault
// module.
class EncryptedDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        pki_ = test::TestPki::Create(dir_.path());
        setenv("SSL_CERT_FILE", pki_.caFile.c_str(), 1);
        hsm_.InitToken("Token", "1234");
        {
            test::SoftHsm::Session session("Token", "1234");
            modulus_ = session.GenerateRsaKeyPair(2048, "new");
            key_ = test::RsaPublicKey(modulus_, session.PublicExponent(modulus_));
        }
        hsm_.WriteModuleList({test::FaultModuleLibrary()});
        ASSERT_EQ(CPKI().SelectToken(token_), CKR_OK);
        server_ =
            std::make_unique<test::TlsPeer>(pki_, std::vector<std::string>{"-HTTP"}, files_.path());
        Answer("/missing", HttpReply(404, "nu există"));
        ClearPinnedKeyId();
    }

    // The server answers a GET of `path` with `reply`.
    void Answer(const std::string& path, const std::string& reply) {
        test::WriteFile(files_ / path, reply);
    }
    void Serve(const std::string& path, const Bytes& plaintext, EVP_PKEY* key,
               const sim::DeliveryOptions& options = {}) {
        Answer(path, HttpReply(200, ToString(Deliver(plaintext, key, options))));
    }

    ErrorId Fetch(const std::wstring& path, Bytes& out, const char* pin = "1234") {
        CHttpsClient client;
        client.Connect(L"localhost", static_cast<std::uint16_t>(server_->port()));
        return RequestAndDecrypt(client, Secret(pin), out, token_, false, path);
    }

    test::ScopedDir dir_{"delivery"};
    test::SoftHsm hsm_;
    test::TestPki pki_;
    zel_token token_;
    Bytes modulus_;
    PkeyPtr key_;
    test::ScopedDir files_{"deliveries"};
    std::unique_ptr<test::TlsPeer> server_;
};

// Signatures and segmented contents are walked by the download and installation flows.
TEST_F(EncryptedDeliveryTest, OpensOnTheTokenPinsTheKeyAndLeavesNoPlaintextBehind) {
    const Bytes declaration(4096, 'D');
    Serve("/pv", declaration, key_.get());
    Bytes out = ToBytes("an earlier plaintext");
    {
        test::FreedMemoryWatch watch(std::string(32, 'D'));
        ASSERT_EQ(Fetch(L"/pv", out), 0);
        EXPECT_EQ(watch.hits(), 0);
    }
    EXPECT_EQ(out, declaration);
    EXPECT_EQ(PinnedKeyId(), modulus_);
}

TEST_F(EncryptedDeliveryTest, EachFailureHasItsIdentifierAndKeepsTheOutput) {
    const PkeyPtr other = test::GenerateRsaKey();
    Serve("/mine", ToBytes("x"), key_.get());
    sim::DeliveryOptions leadingZero;
    leadingZero.keyIdentifierLeadingZero = true;
    Serve("/zero", ToBytes("x"), key_.get(), leadingZero);
    Serve("/other", ToBytes("x"), other.get());
    Answer("/junk", HttpReply(200, "not a delivery"));
    Answer("/error", HttpReply(500, "Comanda nu a fost găsită"));
    const struct {
        const char* fault;
        bool fresh;  // a new download: no key identifier pinned yet
        const wchar_t* path;
        const char* pin;
        ErrorId rc;
        std::wstring message;
    } cases[] = {
        {"", true, L"/error", "1234", ERR_SERVER, L"Comanda nu a fost găsită"},
        {"", true, L"/other", "1234", ERR_KEY_NOT_FOUND, L""},  // pins, then finds no key
        {"", false, L"/mine", "1234", ERR_SERVER, L""},         // not the pinned identifier
        {"", true, L"/zero", "1234", ERR_SUCCESS, L""},         // a leading zero octet
        {"", true, L"/mine", "0000", ERR_WRONG_PIN, L""},
        {"fail C_Login 0xa4", true, L"/mine", "1234", ERR_PIN_LOCKED, L""},
        {"fail C_Login 0x50", true, L"/mine", "1234", ERR_CANCELLED, L""},  // on a reader
        {"", true, L"/junk", "1234", ERR_BAD_RESPONSE, L""},
        {"", true, L"/missing", "1234", ERR_SERVER, L"nu există"},
        {"absent", true, L"/mine", "1234", ERR_NO_TOKEN, L""},  // token pulled out
        // The token's failures are the token's, not a bad answer; what the key cannot open is.
        {"fail C_Decrypt 0x30", true, L"/mine", "1234", ERR_TOKEN_DEVICE, L""},
        {"fail C_DecryptInit 0x70", true, L"/mine", "1234", ERR_TOKEN_DEVICE, L""},
        {"fail C_Decrypt 0x40", true, L"/mine", "1234", ERR_BAD_RESPONSE, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.path << " " << c.fault);
        hsm_.WriteFaultConfig(std::string(c.fault) + "\n");
        if (c.fresh) {
            ClearPinnedKeyId();
        }
        Bytes out = ToBytes("kept");
        EXPECT_EQ(Fetch(c.path, out, c.pin), c.rc);
        EXPECT_EQ(ToString(out), c.rc == ERR_SUCCESS ? "x" : "kept");
        EXPECT_EQ(ServerMessage(), c.message);
    }
}

TEST_F(EncryptedDeliveryTest, EnvelopeRefusalsLeaveTheResultAsItWas) {
    const int bad = kDeliveryMalformed;
    const struct {
        const char* what;
        void (*set)(sim::DeliveryOptions&);
        int rc, keyIdRc;
        const char* fault = "";
    } cases[] = {
        {"four children", [](auto& o) { o.originatorInfo = false; }, bad, bad},
        {"version 0", [](auto& o) { o.envelopedDataVersion = 0; }, bad, bad},
        {"recipient version 2", [](auto& o) { o.recipientInfoVersion = 2; }, bad, 0},
        {"primitive content", [](auto& o) { o.primitiveContent = true; }, bad, 0},
        {"zero key identifier", [](auto& o) { o.keyIdentifier = Bytes(256, 0); }, bad, bad},
        {"another key", [](auto& o) { o.keyIdentifier = Bytes(256, 0x42); }, kDeliveryNoKey, 0},
        {"a byte after the message", nullptr, kToolkitDecodeError, kToolkitDecodeError},
        {"signature fails", nullptr, CKR_DEVICE_ERROR, 0, "fail C_Sign 0x30"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        hsm_.WriteFaultConfig(std::string(c.fault) + "\n");
        sim::DeliveryOptions options;
        if (c.set != nullptr) {
            c.set(options);
        }
        Bytes message = Deliver(kPlaintext, key_.get(), options);
        if (c.rc == kToolkitDecodeError) {
            message.push_back(0);
        }
        Bytes keyId = ToBytes("kept");
        EXPECT_EQ(GetEnvelopeKeyId(message, keyId), c.keyIdRc);
        Bytes result = ToBytes("kept");
        EXPECT_EQ(OpenEnvelope(message, Secret("1234"), token_, c.rc == CKR_DEVICE_ERROR, result),
                  c.rc);
        EXPECT_EQ(ToString(result), "kept");
    }
    // A token that gives back a content key of the wrong size.
    const EnvelopeKeyOperations shortKey{
        [](const Bytes&, const Bytes&, Bytes& out) { return out.assign(16, 1), 0; }, nullptr};
    Bytes result = ToBytes("kept");
    EXPECT_EQ(OpenEnvelopeWith(Deliver(kPlaintext, key_.get()), false, shortKey, result),
              kDeliveryMalformed);
    EXPECT_EQ(ToString(result), "kept");
}

// The content key opened in software: a token's library would reuse, and free again, blocks the
// delivery's builder left behind.
int SoftwareDecrypt(const Bytes&, const Bytes& in, Bytes& out) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(test::SharedKey(), nullptr));
    std::size_t size = 256;
    out.resize(size);
    const bool ok = EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                    EVP_PKEY_decrypt(ctx.get(), out.data(), &size, in.data(), in.size()) == 1;
    out.resize(size);
    return ok ? 0 : 1;
}

TEST(Envelope, EveryTruncationIsRefused) {
    const Bytes message = Deliver(kPlaintext, test::SharedKey());
    Bytes result;
    for (std::size_t cut = 0; cut < message.size(); cut += 7) {
        const Bytes truncated(message.begin(), message.begin() + static_cast<long>(cut));
        Bytes keyId;
        EXPECT_NE(GetEnvelopeKeyId(truncated, keyId), 0);
        EXPECT_NE(OpenEnvelopeWith(truncated, false, {SoftwareDecrypt, nullptr}, result), 0);
    }
}

// The plaintext's buffers are watched on the token, where the delivery is opened whole.
TEST(Envelope, ReleasedBuffersKeepNoCiphertext) {
    const Bytes message = Deliver(Bytes(4096, 0x5A), test::SharedKey());
    const auto middle = message.begin() + static_cast<long>(message.size() / 2);
    Bytes result;
    test::FreedMemoryWatch watch(std::string(middle, middle + 32));
    EXPECT_EQ(OpenEnvelopeWith(message, false, {SoftwareDecrypt, nullptr}, result), 0);
    EXPECT_EQ(watch.hits(), 0);
}

}  // namespace
}  // namespace qe
