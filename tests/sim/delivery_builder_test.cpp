// The delivery builder against two readers written without it: OpenSSL's CMS code, and a walk
// with the toolkit's DER splitter along the layout the wizard reads.
#include "sim/delivery_builder.h"

#include <gtest/gtest.h>

#include "sim/cert_issuer.h"
#include "sim/sim_fixtures.h"
#include "toolkit/der.h"

namespace qe::sim {
namespace {

using test::OpenDelivery;

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
    const PkeyPtr key = test::NewRsaKey();
    CertificateSpec fields;
    fields.subject = X509_NAME_new();
    fields.publicKey = fields.signingKey = key.get();
    const X509Ptr certificate = MakeCertificate(fields);
    X509_NAME_free(const_cast<X509_NAME*>(fields.subject));
    const Bytes plaintext(3000, 0x5A);
    const Layout standard{5,
                          2,
                          0,
                          1,
                          IssuerAndSerialNumber(X509_get_issuer_name(certificate.get()),
                                                X509_get0_serialNumber(certificate.get())),
                          RsaModulus(key.get())};
    const auto variant = [&](auto change, auto expect) {
        std::pair<DeliveryOptions, Layout> c{{}, standard};
        change(c.first);
        expect(c.second);
        return c;
    };
    const std::pair<DeliveryOptions, Layout> cases[] = {
        {{}, standard},
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
        EXPECT_EQ(OpenDelivery(*message, key.get(), certificate.get()), plaintext) << i;
    }

    // A bare key, under the identifier it is given; nothing for keys that are not RSA.
    const PkeyPtr other = test::NewRsaKey();
    const Asn1IntegerPtr serial = FreshSerial();
    const DeliveryRecipient bare =
        RecipientFromKey(other.get(), X509_get_subject_name(certificate.get()), serial.get());
    const std::optional<Bytes> message = BuildDelivery(Bytes{}, bare);
    ASSERT_TRUE(message);
    EXPECT_EQ(Walk(*message).recipient, bare.identifier);
    EXPECT_FALSE(OpenDelivery(*message, key.get(), certificate.get()));
    EXPECT_EQ(OpenDelivery(*message, other.get(), nullptr), Bytes{});
    const PkeyPtr ec(EVP_EC_gen("P-256"));
    for (const DeliveryRecipient& unusable :
         {DeliveryRecipient{ec.get(), bare.identifier}, DeliveryRecipient{nullptr, bare.identifier},
          DeliveryRecipient{other.get(), Bytes{}}}) {
        EXPECT_FALSE(BuildDelivery(plaintext, unusable));
    }
}

}  // namespace
}  // namespace qe::sim
