// Deliveries encrypted for the token's key pair, fetched from a TLS server and opened on the
// token, and envelopes opened in software.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "https_fixture.h"
#include "net/encrypted_delivery.h"
#include "net/envelope.h"
#include "sim/delivery_builder.h"
#include "support/freed_memory.h"

namespace qe {
namespace {

const Bytes kPlaintext = ToBytes("declaratie de acceptanta, pagina 1");

Bytes Deliver(const Bytes& plaintext, EVP_PKEY* key, const sim::DeliveryOptions& options = {}) {
    X509NamePtr issuer(X509_NAME_new());
    OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free> serial(ASN1_INTEGER_new());
    return *sim::BuildDelivery(plaintext, sim::RecipientFromKey(key, issuer.get(), serial.get()),
                               options);
}

// Deliveries from a TLS server for the token's key pair.
class EncryptedDeliveryTest : public TokenTlsTest {
protected:
    void SetUp() override {
        TokenTlsTest::SetUp();
        ASSERT_EQ(CPKI(test::NoTokenStep()).SelectToken(token_), CKR_OK);
        server_ = std::make_unique<TlsPeer>(pki_, Options{"-HTTP"}, files_.path());
    }

    // The server answers a GET of `path` with `reply`.
    void Answer(const std::string& path, const std::string& reply) {
        test::WriteFile(files_ / path, reply);
    }
    void Serve(const std::string& path, const Bytes& plaintext, EVP_PKEY* key,
               const sim::DeliveryOptions& options = {}) {
        Answer(path, HttpReply(200, ToString(Deliver(plaintext, key, options))));
    }

    ErrorId Fetch(const std::wstring& path, Bytes& out) {
        CHttpsClient client(Step());
        client.Connect(L"localhost", static_cast<std::uint16_t>(server_->port()));
        return RequestAndDecrypt(test::NoTokenStep(), client, Secret("1234"), out, token_, false,
                                 path, pinned_);
    }

    zel_token token_;
    Bytes pinned_;  // the key identifier of the download under way, as its step keeps it
    test::ScopedDir files_{"deliveries"};
    std::unique_ptr<TlsPeer> server_;
};

// What a delivery opens to and the key identifier it pins, the failure table and the download flow
// check; signatures and segmented contents are walked by the download and installation flows.
TEST_F(EncryptedDeliveryTest, OpensOnTheTokenAndLeavesNoPlaintextBehind) {
    Serve("/pv", Bytes(4096, 'D'), key_.get());
    Bytes out = ToBytes("an earlier plaintext");
    const test::FreedMemoryWatch watch(std::string(32, 'D'));
    ASSERT_EQ(Fetch(L"/pv", out), 0);
    EXPECT_EQ(watch.hits(), 0);
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
        const wchar_t* path;
        ErrorId rc;
        std::wstring message;
    } cases[] = {
        {"", L"/error", ERR_SERVER, L"Comanda nu a fost găsită"},
        {"", L"/other", ERR_KEY_NOT_FOUND, L""},
        {"", L"/zero", ERR_SUCCESS, L""},  // a leading zero octet
        {"fail C_Login 0xa4", L"/mine", ERR_PIN_LOCKED, L""},
        {"fail C_Login 0x50", L"/mine", ERR_CANCELLED, L""},  // on a reader
        {"", L"/junk", ERR_BAD_RESPONSE, L""},
        {"absent", L"/mine", ERR_NO_TOKEN, L""},  // token pulled out
        // The token's failures are the token's, not a bad answer; what the key cannot open is.
        {"fail C_Decrypt 0x30", L"/mine", ERR_TOKEN_DEVICE, L""},
        {"fail C_DecryptInit 0x70", L"/mine", ERR_TOKEN_DEVICE, L""},
        {"fail C_Decrypt 0x40", L"/mine", ERR_BAD_RESPONSE, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.path << " " << c.fault);
        hsm_.WriteFaultConfig(std::string(c.fault) + "\n");
        pinned_.clear();  // each a new download
        Bytes out = ToBytes("kept");
        EXPECT_EQ(Fetch(c.path, out), c.rc);
        EXPECT_EQ(ToString(out), c.rc == ERR_SUCCESS ? "x" : "kept");
        EXPECT_EQ(Step().ServerMessage(), c.message);
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
        EXPECT_EQ(OpenEnvelope(test::NoTokenStep(), message, Secret("1234"), token_,
                               c.rc == CKR_DEVICE_ERROR, result),
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

// Every truncation refused; opened whole, no released buffer keeps ciphertext (the plaintext's are
// watched on the token).
TEST(Envelope, TruncationsRefusedAndReleasedBuffersKeepNoCiphertext) {
    Bytes result, keyId;
    const Bytes small = Deliver(kPlaintext, test::SharedKey());
    for (std::size_t cut = 0; cut < small.size(); cut += 7) {
        const Bytes truncated(small.begin(), small.begin() + static_cast<long>(cut));
        EXPECT_NE(GetEnvelopeKeyId(truncated, keyId), 0);
        EXPECT_NE(OpenEnvelopeWith(truncated, false, {SoftwareDecrypt, nullptr}, result), 0);
    }
    const Bytes message = Deliver(Bytes(4096, 0x5A), test::SharedKey());
    const auto middle = message.begin() + static_cast<long>(message.size() / 2);
    test::FreedMemoryWatch watch(std::string(middle, middle + 32));
    EXPECT_EQ(OpenEnvelopeWith(message, false, {SoftwareDecrypt, nullptr}, result), 0);
    EXPECT_EQ(watch.hits(), 0);
}

}  // namespace
}  // namespace qe
