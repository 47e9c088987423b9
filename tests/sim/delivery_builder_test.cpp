// The delivery builder against two independent readers: OpenSSL's CMS code and a walk with the
// toolkit's DER splitter along the layout the wizard reads.
#include "sim/delivery_builder.h"

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/rsa.h>

#include "sim/cert_issuer.h"
#include "sim/sim_fixtures.h"
#include "toolkit/der.h"
#include "toolkit/des3.h"

namespace qe::sim {
namespace {

using test::OpenDelivery;

std::vector<Bytes> Children(const Bytes& element) {
    std::vector<Bytes> children;
    EXPECT_EQ(SplitDer(element, children), 0);
    return children;
}

// The child at `index`, or an empty element (and a failure) when there is none.
Bytes At(const std::vector<Bytes>& children, std::size_t index) {
    if (index >= children.size()) {
        ADD_FAILURE() << "no child " << index << " of " << children.size();
        return Bytes{0x05, 0x00};
    }
    return children[index];
}

DerElement Decode(const Bytes& element) {
    DerElement decoded;
    EXPECT_EQ(DecodeDerElement(element.data(), element.size(), decoded), 0);
    return decoded;
}

Bytes Value(const Bytes& element) {
    const DerElement decoded = Decode(element);
    return Bytes(decoded.value, decoded.value + decoded.valueSize);
}

// The parts of a delivery the wizard reads, found the way it finds them.
struct Walked {
    std::vector<Bytes> enveloped;  // the EnvelopedData's children
    std::vector<Bytes> recipient;  // first KeyTransRecipientInfo's children
    Bytes encryptedContent;        // [0] with its segments
    Bytes iv;
    Bytes keyIdentifier;
};

Walked Walk(const Bytes& message) {
    Walked walked;
    const std::vector<Bytes> contentInfo = Children(message);
    EXPECT_EQ(contentInfo.size(), 2u);
    EXPECT_EQ(At(contentInfo, 0), EncodeOid("1.2.840.113549.1.7.3"));
    const std::vector<Bytes> explicitContent = Children(At(contentInfo, 1));
    EXPECT_EQ(explicitContent.size(), 1u);
    walked.enveloped = Children(At(explicitContent, 0));
    const std::size_t n = walked.enveloped.size();
    if (n < 4) {
        ADD_FAILURE() << "EnvelopedData has " << n << " children";
        return walked;
    }
    walked.recipient = Children(At(Children(walked.enveloped[n - 3]), 0));
    const std::vector<Bytes> contentPart = Children(walked.enveloped[n - 2]);
    EXPECT_EQ(At(contentPart, 0), EncodeOid("1.2.840.113549.1.7.1"));
    const std::vector<Bytes> algorithm = Children(At(contentPart, 1));
    EXPECT_EQ(At(algorithm, 0), EncodeOid("1.2.840.113549.3.7"));
    walked.iv = Value(At(algorithm, 1));
    walked.encryptedContent = At(contentPart, 2);
    const std::vector<Bytes> attribute = Children(At(Children(walked.enveloped[n - 1]), 0));
    walked.keyIdentifier = Value(At(Children(At(attribute, 1)), 0));
    return walked;
}

class DeliveryBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = test::NewRsaKey();
        issuerKey_ = test::NewRsaKey();
        X509NamePtr name(X509_NAME_new());
        X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Ion Popescu"), -1, -1,
                                   0);
        CertificateSpec spec;
        spec.subject = name.get();
        spec.publicKey = key_.get();
        spec.signingKey = issuerKey_.get();
        certificate_ = MakeCertificate(spec);
        ASSERT_TRUE(certificate_);
        plaintext_.resize(3000);
        for (std::size_t i = 0; i < plaintext_.size(); ++i) {
            plaintext_[i] = static_cast<std::uint8_t>(i * 7);
        }
    }

    Bytes Build(const DeliveryOptions& options) {
        const std::optional<Bytes> message =
            BuildDelivery(plaintext_, RecipientFromCertificate(certificate_.get()), options);
        EXPECT_TRUE(message);
        return message.value_or(Bytes{});
    }

    // The wizard's way: the content key opened with the private key, the content with the
    // toolkit's triple DES.
    Bytes OpenLikeTheWizard(const Walked& walked) {
        const Bytes encryptedKey = Value(At(walked.recipient, 3));
        PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
        EVP_PKEY_decrypt_init(ctx.get());
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        Bytes contentKey(512);
        std::size_t size = contentKey.size();
        EXPECT_EQ(EVP_PKEY_decrypt(ctx.get(), contentKey.data(), &size, encryptedKey.data(),
                                   encryptedKey.size()),
                  1);
        contentKey.resize(size);
        EXPECT_EQ(contentKey.size(), kDes3KeySize);
        Bytes ciphertext;
        for (const Bytes& segment : Children(walked.encryptedContent)) {
            const Bytes value = Value(segment);
            ciphertext.insert(ciphertext.end(), value.begin(), value.end());
        }
        Bytes plaintext;
        EXPECT_EQ(ZEL_3DES_Decrypt_Data(ciphertext.data(), ciphertext.size(), contentKey.data(),
                                        walked.iv.data(), plaintext),
                  0);
        return plaintext;
    }

    PkeyPtr key_;
    PkeyPtr issuerKey_;
    X509Ptr certificate_;
    Bytes plaintext_;
};

TEST_F(DeliveryBuilderTest, DefaultLayoutIsTheOneTheWizardReadsAndOpensBothWays) {
    const Bytes message = Build({});
    const Walked walked = Walk(message);

    ASSERT_EQ(walked.enveloped.size(), 5u);
    std::int64_t version = -1;
    EXPECT_TRUE(ReadSmallInteger(walked.enveloped[0], version));
    EXPECT_EQ(version, 2);
    EXPECT_TRUE(Decode(walked.enveloped[1]).Is(DerClass::Context, true, 0));  // originatorInfo
    ASSERT_EQ(walked.recipient.size(), 4u);
    EXPECT_TRUE(ReadSmallInteger(walked.recipient[0], version));
    EXPECT_EQ(version, 0);
    EXPECT_EQ(walked.recipient[1],
              IssuerAndSerialNumber(X509_get_issuer_name(certificate_.get()),
                                    X509_get0_serialNumber(certificate_.get())));
    const std::vector<Bytes> keyAlgorithm = Children(walked.recipient[2]);
    ASSERT_EQ(keyAlgorithm.size(), 2u);
    EXPECT_EQ(keyAlgorithm[0], EncodeOid("1.2.840.113549.1.1.1"));
    EXPECT_TRUE(Decode(walked.recipient[3]).Is(DerClass::Universal, false, kDerTagOctetString));
    EXPECT_EQ(walked.iv.size(), kDes3IvSize);
    EXPECT_TRUE(Decode(walked.encryptedContent).Is(DerClass::Context, true, 0));
    EXPECT_EQ(walked.keyIdentifier, RsaModulus(key_.get()));

    EXPECT_EQ(OpenLikeTheWizard(walked), plaintext_);
    EXPECT_EQ(OpenDelivery(message, key_.get(), certificate_.get()), plaintext_);
}

TEST_F(DeliveryBuilderTest, SegmentsSplitTheSameCiphertextInOrder) {
    for (const std::size_t segments : {1u, 2u, 7u}) {
        DeliveryOptions options;
        options.segments = segments;
        const Bytes message = Build(options);
        const Walked walked = Walk(message);
        const std::vector<Bytes> parts = Children(walked.encryptedContent);
        ASSERT_EQ(parts.size(), segments);
        for (const Bytes& part : parts) {
            EXPECT_TRUE(Decode(part).Is(DerClass::Universal, false, kDerTagOctetString));
        }
        EXPECT_EQ(OpenLikeTheWizard(walked), plaintext_) << segments << " segments";
        EXPECT_EQ(OpenDelivery(message, key_.get(), certificate_.get()), plaintext_);
    }
}

TEST_F(DeliveryBuilderTest, StructuralVariantsChangeOnlyTheirOwnElement) {
    DeliveryOptions noOriginator;
    noOriginator.originatorInfo = false;
    EXPECT_EQ(Walk(Build(noOriginator)).enveloped.size(), 4u);

    DeliveryOptions versions;
    versions.envelopedDataVersion = 0;
    versions.recipientInfoVersion = 2;
    const Walked walked = Walk(Build(versions));
    std::int64_t version = -1;
    EXPECT_TRUE(ReadSmallInteger(walked.enveloped[0], version));
    EXPECT_EQ(version, 0);
    EXPECT_TRUE(ReadSmallInteger(walked.recipient[0], version));
    EXPECT_EQ(version, 2);

    DeliveryOptions primitive;
    primitive.primitiveContent = true;
    const Bytes message = Build(primitive);
    EXPECT_TRUE(Decode(Walk(message).encryptedContent).Is(DerClass::Context, false, 0));
    EXPECT_EQ(OpenDelivery(message, key_.get(), certificate_.get()), plaintext_);
}

TEST_F(DeliveryBuilderTest, KeyIdentifierCanBeReplacedOrCarryALeadingZero) {
    DeliveryOptions leadingZero;
    leadingZero.keyIdentifierLeadingZero = true;
    Bytes expected = RsaModulus(key_.get());
    expected.insert(expected.begin(), 0x00);
    EXPECT_EQ(Walk(Build(leadingZero)).keyIdentifier, expected);

    DeliveryOptions other;
    other.keyIdentifier = Bytes{0x01, 0x02, 0x03};
    EXPECT_EQ(Walk(Build(other)).keyIdentifier, (Bytes{0x01, 0x02, 0x03}));
}

TEST_F(DeliveryBuilderTest, BareKeyRecipientGetsTheGivenIdentifier) {
    PkeyPtr otherKey = test::NewRsaKey();
    Asn1IntegerPtr serial = FreshSerial();
    const DeliveryRecipient recipient =
        RecipientFromKey(otherKey.get(), X509_get_subject_name(certificate_.get()), serial.get());
    const std::optional<Bytes> message = BuildDelivery(plaintext_, recipient);
    ASSERT_TRUE(message);
    const Walked walked = Walk(*message);
    EXPECT_EQ(walked.recipient[1], recipient.identifier);
    EXPECT_EQ(walked.keyIdentifier, RsaModulus(otherKey.get()));
    // Meant for the other key: the certificate's key cannot open it.
    EXPECT_FALSE(OpenDelivery(*message, key_.get(), certificate_.get()));
    EXPECT_EQ(OpenDelivery(*message, otherKey.get(), nullptr), plaintext_);
}

TEST_F(DeliveryBuilderTest, EmptyPlaintextAndUnusableKeys) {
    const std::optional<Bytes> empty =
        BuildDelivery(Bytes{}, RecipientFromCertificate(certificate_.get()));
    ASSERT_TRUE(empty);
    EXPECT_EQ(OpenDelivery(*empty, key_.get(), certificate_.get()), Bytes{});

    PkeyPtr ec(EVP_EC_gen("P-256"));
    EXPECT_FALSE(BuildDelivery(plaintext_, DeliveryRecipient{ec.get(), Bytes{0x30, 0x00}}));
    EXPECT_FALSE(BuildDelivery(plaintext_, DeliveryRecipient{nullptr, Bytes{0x30, 0x00}}));
}

}  // namespace
}  // namespace qe::sim
