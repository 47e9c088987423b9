#include "net/envelope.h"

#include <gtest/gtest.h>

#include <openssl/rsa.h>

#include "sim/delivery_builder.h"
#include "support/freed_memory.h"
#include "test_pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using sim::DeliveryOptions;

// The token's decryption in software, found by the key's modulus as the token finds it.
int Decrypt(const Bytes& keyId, const Bytes& in, Bytes& out) {
    const auto first = std::find_if(keyId.begin(), keyId.end(), [](auto b) { return b != 0; });
    if (Bytes(first, keyId.end()) != sim::RsaModulus(test::SharedKey())) {
        return kDeliveryNoKey;
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(test::SharedKey(), nullptr));
    std::size_t size = 256;
    out.resize(size);
    EVP_PKEY_decrypt_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    const int ok = EVP_PKEY_decrypt(ctx.get(), out.data(), &size, in.data(), in.size());
    out.resize(size);
    return ok == 1 ? 0 : 1;
}

int Sign(const Bytes&, const Bytes& in, Bytes& out) {
    MdCtxPtr md(EVP_MD_CTX_new());
    std::size_t size = 256;
    out.resize(size);
    return EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, test::SharedKey()) == 1 &&
                   EVP_DigestSign(md.get(), out.data(), &size, in.data(), in.size()) == 1
               ? 0
               : 1;
}

const EnvelopeKeyOperations kSoftware{Decrypt, Sign};

Bytes Deliver(const Bytes& plaintext, const DeliveryOptions& options = {}) {
    X509NamePtr issuer(X509_NAME_new());
    OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free> serial(ASN1_INTEGER_new());
    ASN1_INTEGER_set(serial.get(), 7);
    return sim::BuildDelivery(plaintext,
                              sim::RecipientFromKey(test::SharedKey(), issuer.get(), serial.get()),
                              options)
        .value();
}

const Bytes kPlaintext = ToBytes("declaratie de acceptanta, pagina 1");

TEST(Envelope, RefusalsLeaveTheResultAsItWas) {
    const auto returns = [](int rc) {
        return [rc](const Bytes&, const Bytes&, Bytes& out) { return out.assign(16, 1), rc; };
    };
    const auto options = [](auto set) {
        DeliveryOptions o;
        set(o);
        return o;
    };
    const struct {
        const char* what;
        DeliveryOptions options;
        EnvelopeKeyOperations token;
        bool trailingByte;
        int rc;
        int keyIdRc;
    } cases[] = {
        {"four children", options([](auto& o) { o.originatorInfo = false; }), kSoftware, false,
         kDeliveryMalformed, kDeliveryMalformed},
        {"version 0", options([](auto& o) { o.envelopedDataVersion = 0; }), kSoftware, false,
         kDeliveryMalformed, kDeliveryMalformed},
        {"recipient version 2", options([](auto& o) { o.recipientInfoVersion = 2; }), kSoftware,
         false, kDeliveryMalformed, 0},
        {"primitive content", options([](auto& o) { o.primitiveContent = true; }), kSoftware, false,
         kDeliveryMalformed, 0},
        {"zero key identifier", options([](auto& o) { o.keyIdentifier = Bytes(256, 0); }),
         kSoftware, false, kDeliveryMalformed, kDeliveryMalformed},
        {"another key", options([](auto& o) { o.keyIdentifier = Bytes(256, 0x42); }), kSoftware,
         false, kDeliveryNoKey, 0},
        {"a byte after the message", {}, kSoftware, true, kToolkitDecodeError, kToolkitDecodeError},
        {"wrong PIN", {}, {returns(160), Sign}, false, 160, 0},
        {"a 16-byte content key", {}, {returns(0), Sign}, false, kDeliveryMalformed, 0},
        {"signature fails", {}, {Decrypt, returns(0x30)}, false, 0x30, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes message = Deliver(kPlaintext, c.options);
        if (c.trailingByte) {
            message.push_back(0);
        }
        Bytes keyId = ToBytes("kept");
        EXPECT_EQ(GetEnvelopeKeyId(message, keyId), c.keyIdRc);
        Bytes result = ToBytes("kept");
        EXPECT_EQ(OpenEnvelopeWith(message, c.rc == 0x30, c.token, result), c.rc);
        EXPECT_EQ(ToString(result), "kept");
    }
}

TEST(Envelope, EveryTruncationIsRefused) {
    const Bytes message = Deliver(kPlaintext);
    Bytes result;
    for (std::size_t cut = 0; cut < message.size(); cut += 7) {
        const Bytes truncated(message.begin(), message.begin() + static_cast<long>(cut));
        Bytes keyId;
        EXPECT_NE(GetEnvelopeKeyId(truncated, keyId), 0);
        EXPECT_NE(OpenEnvelopeWith(truncated, false, kSoftware, result), 0);
    }
}

TEST(Envelope, ReleasedBuffersKeepNoCiphertextOrPlaintext) {
    const Bytes plaintext(4096, 0x5A);
    const Bytes message = Deliver(plaintext);
    const auto middle = message.begin() + static_cast<long>(message.size() / 2);
    for (const Bytes& secret :
         {Bytes(middle, middle + 32), Bytes(plaintext.begin() + 64, plaintext.begin() + 96)}) {
        Bytes result;
        test::FreedMemoryWatch watch(ToString(secret));
        EXPECT_EQ(OpenEnvelopeWith(message, false, kSoftware, result), 0);
        EXPECT_EQ(watch.hits(), 0);
    }
}

}  // namespace
}  // namespace qe
