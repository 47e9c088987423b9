#include "net/envelope.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <openssl/rsa.h>

#include "sim/delivery_builder.h"
#include "test_pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using sim::BuildDelivery;
using sim::DeliveryOptions;

// While watching, every heap block handed back is searched for these bytes first.
std::atomic<bool> g_watching{false};
Bytes g_secret;
std::atomic<int> g_leaks{0};

void Release(void* block) {
    if (block != nullptr && g_watching &&
        memmem(block, malloc_usable_size(block), g_secret.data(), g_secret.size()) != nullptr) {
        ++g_leaks;
    }
    std::free(block);
}

// Software stand-ins for the token's operations, checking that they are asked for the right key.
class SoftwareKey {
public:
    SoftwareKey() : key_(test::GenerateRsaKey()), modulus_(sim::RsaModulus(key_.get())) {}

    EnvelopeKeyOperations Operations() {
        return {[this](const Bytes& keyId, const Bytes& in, Bytes& out) {
                    return Run(keyId, in, out, false);
                },
                [this](const Bytes& keyId, const Bytes& in, Bytes& out) {
                    return Run(keyId, in, out, true);
                }};
    }
    EVP_PKEY* key() { return key_.get(); }
    const Bytes& modulus() const { return modulus_; }
    int decryptions = 0;
    int signatures = 0;

private:
    int Run(const Bytes& keyId, const Bytes& in, Bytes& out, bool sign) {
        Bytes id = keyId;
        while (!id.empty() && id.front() == 0) {
            id.erase(id.begin());
        }
        if (id != modulus_) {
            return kDeliveryNoKey;
        }
        PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
        std::size_t size = 0;
        if (sign) {
            ++signatures;
            MdCtxPtr md(EVP_MD_CTX_new());
            EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key_.get());
            EVP_DigestSign(md.get(), nullptr, &size, in.data(), in.size());
            out.resize(size);
            return EVP_DigestSign(md.get(), out.data(), &size, in.data(), in.size()) == 1 ? 0 : 1;
        }
        ++decryptions;
        EVP_PKEY_decrypt_init(ctx.get());
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        EVP_PKEY_decrypt(ctx.get(), nullptr, &size, in.data(), in.size());
        out.resize(size);
        const int ok = EVP_PKEY_decrypt(ctx.get(), out.data(), &size, in.data(), in.size());
        out.resize(size);
        return ok == 1 ? 0 : 1;
    }
    PkeyPtr key_;
    Bytes modulus_;
};

class EnvelopeTest : public ::testing::Test {
protected:
    Bytes Deliver(const Bytes& plaintext, const DeliveryOptions& options = {}) {
        static const ASN1_INTEGER* serial = [] {
            ASN1_INTEGER* s = ASN1_INTEGER_new();
            ASN1_INTEGER_set(s, 7);
            return s;
        }();
        X509NamePtr issuer(X509_NAME_new());
        const auto message = BuildDelivery(
            plaintext, sim::RecipientFromKey(key_.key(), issuer.get(), serial), options);
        EXPECT_TRUE(message.has_value());
        return message.value_or(Bytes());
    }

    SoftwareKey key_;
    const Bytes plaintext_ = ToBytes("declaratie de acceptanta, pagina 1");
};

TEST_F(EnvelopeTest, OpensTheDefaultDeliveryAndReadsItsKeyId) {
    const Bytes message = Deliver(plaintext_);
    Bytes keyId;
    ASSERT_EQ(GetEnvelopeKeyId(message, keyId), 0);
    EXPECT_EQ(keyId, key_.modulus());
    Bytes result{9, 9};
    ASSERT_EQ(OpenEnvelopeWith(message, false, key_.Operations(), result), 0);
    EXPECT_EQ(result, plaintext_);
}

TEST_F(EnvelopeTest, SegmentsAndLeadingZeroDoNotChangeTheResult) {
    for (std::size_t segments : {1u, 3u, 64u}) {
        DeliveryOptions options;
        options.segments = segments;
        options.keyIdentifierLeadingZero = true;
        Bytes result;
        ASSERT_EQ(OpenEnvelopeWith(Deliver(plaintext_, options), false, key_.Operations(), result),
                  0)
            << segments;
        EXPECT_EQ(result, plaintext_);
    }
}

TEST_F(EnvelopeTest, SignsThePlaintextWhenAsked) {
    Bytes signature;
    ASSERT_EQ(OpenEnvelopeWith(Deliver(plaintext_), true, key_.Operations(), signature), 0);
    MdCtxPtr md(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key_.key()), 1);
    EXPECT_EQ(EVP_DigestVerify(md.get(), signature.data(), signature.size(), plaintext_.data(),
                               plaintext_.size()),
              1);
}

TEST_F(EnvelopeTest, StructuralVariantsAreMalformed) {
    const auto refused = [this](DeliveryOptions options) {
        Bytes result = ToBytes("kept");
        const int rc =
            OpenEnvelopeWith(Deliver(plaintext_, options), false, key_.Operations(), result);
        EXPECT_EQ(ToString(result), "kept");
        return rc;
    };
    DeliveryOptions fourChildren;
    fourChildren.originatorInfo = false;
    EXPECT_EQ(refused(fourChildren), kDeliveryMalformed);
    DeliveryOptions version0;
    version0.envelopedDataVersion = 0;
    EXPECT_EQ(refused(version0), kDeliveryMalformed);
    DeliveryOptions recipientV2;
    recipientV2.recipientInfoVersion = 2;
    EXPECT_EQ(refused(recipientV2), kDeliveryMalformed);
    DeliveryOptions primitive;
    primitive.primitiveContent = true;
    EXPECT_EQ(refused(primitive), kDeliveryMalformed);
    DeliveryOptions zeroId;
    zeroId.keyIdentifier = Bytes(256, 0);
    EXPECT_EQ(refused(zeroId), kDeliveryMalformed);
    Bytes keyId;
    EXPECT_EQ(GetEnvelopeKeyId(Deliver(plaintext_, fourChildren), keyId), kDeliveryMalformed);
    EXPECT_EQ(GetEnvelopeKeyId(Deliver(plaintext_, version0), keyId), kDeliveryMalformed);
}

TEST_F(EnvelopeTest, AnotherKeyIdIsNotFoundOnTheToken) {
    DeliveryOptions other;
    other.keyIdentifier = Bytes(256, 0x42);
    Bytes result;
    EXPECT_EQ(OpenEnvelopeWith(Deliver(plaintext_, other), false, key_.Operations(), result),
              kDeliveryNoKey);
}

TEST_F(EnvelopeTest, EveryTruncationAndBitFlipIsRefusedWithoutCrashing) {
    const Bytes message = Deliver(plaintext_);
    Bytes result;
    for (std::size_t cut = 0; cut < message.size(); cut += 7) {
        const Bytes truncated(message.begin(), message.begin() + static_cast<long>(cut));
        Bytes keyId;
        EXPECT_NE(GetEnvelopeKeyId(truncated, keyId), 0);
        EXPECT_NE(OpenEnvelopeWith(truncated, false, key_.Operations(), result), 0);
    }
    // Flipping a bit anywhere gives a failure or, inside the ciphertext, rarely a different text;
    // never a crash and never the original plaintext from a corrupted key identifier.
    for (std::size_t at = 0; at < message.size(); at += 3) {
        Bytes corrupted = message;
        corrupted[at] ^= 0x01;
        Bytes out;
        OpenEnvelopeWith(corrupted, false, key_.Operations(), out);
    }
}

TEST_F(EnvelopeTest, ReleasedBuffersKeepNoCiphertextOrPlaintext) {
    const Bytes plaintext(4096, 0x5A);
    const Bytes message = Deliver(plaintext);
    const auto middle = message.begin() + static_cast<long>(message.size() / 2);
    for (const Bytes& secret :
         {Bytes(middle, middle + 32), Bytes(plaintext.begin() + 64, plaintext.begin() + 96)}) {
        g_secret = secret;
        g_leaks = 0;
        Bytes result;
        g_watching = true;
        EXPECT_EQ(OpenEnvelopeWith(message, false, key_.Operations(), result), 0);
        g_watching = false;
        EXPECT_EQ(g_leaks, 0);
    }
}

TEST(PinnedKeyId, HoldsOneIdentifier) {
    ClearPinnedKeyId();
    EXPECT_TRUE(PinnedKeyId().empty());
    SetPinnedKeyId({1, 2, 3});
    EXPECT_EQ(PinnedKeyId(), (Bytes{1, 2, 3}));
    ClearPinnedKeyId();
    EXPECT_TRUE(PinnedKeyId().empty());
}

}  // namespace
}  // namespace qe

void* operator new(std::size_t size) {
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    qe::Release(block);
}

void operator delete(void* block, std::size_t) noexcept {
    qe::Release(block);
}
