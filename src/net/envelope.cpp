#include "net/envelope.h"

#include <algorithm>

#include "toolkit/der.h"
#include "toolkit/des3.h"
#include "toolkit/secret.h"
#include "toolkit/status.h"

namespace qe {
namespace {

constexpr const char* kEnvelopedData = "1.2.840.113549.1.7.3";
constexpr const char* kData = "1.2.840.113549.1.7.1";
constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kDesEde3Cbc = "1.2.840.113549.3.7";

// One step of the walk: the element decoded, plus its children when asked to split it. The
// children are copies of the message (ciphertext among them), wiped when the step is done.
struct Node {
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node() {
        for (Bytes& child : children) {
            Wipe(child);
        }
    }
    DerElement element;
    std::vector<Bytes> children;
};

int Decode(const Bytes& der, DerElement& element) {
    if (DecodeDerElement(der.data(), der.size(), element) != 0 ||
        element.TotalSize() != der.size()) {
        return kToolkitDecodeError;
    }
    return 0;
}

// Splits `der`, which must have the given class, form and tag, into at least `minChildren`
// children (exactly that many when `exact`).
int Open(const Bytes& der, DerClass cls, std::uint32_t tag, std::size_t minChildren, bool exact,
         Node& node) {
    if (int rc = Decode(der, node.element); rc != 0) {
        return rc;
    }
    if (!node.element.Is(cls, true, tag)) {
        return kDeliveryMalformed;
    }
    if (int rc = SplitDer(der, node.children); rc != 0) {
        return rc;
    }
    if (node.children.size() < minChildren || (exact && node.children.size() != minChildren)) {
        return kDeliveryMalformed;
    }
    return 0;
}

bool IsOid(const Bytes& der, const char* dotted) {
    return der == EncodeOid(dotted);
}

// The value octets of a universal primitive element of `tag`; false for anything else.
bool PrimitiveValue(const Bytes& der, std::uint32_t tag, Bytes& value) {
    DerElement e;
    if (Decode(der, e) != 0 || !e.Is(DerClass::Universal, false, tag)) {
        return false;
    }
    value.assign(e.value, e.value + e.valueSize);
    return true;
}

bool IntegerEquals(const Bytes& der, std::int64_t expected) {
    std::int64_t value = 0;
    return ReadSmallInteger(der, value) && value == expected;
}

// ContentInfo -> content -> EnvelopedData, checked; `enveloped` gets the five children.
int OpenEnvelopedData(const Bytes& message, Node& enveloped) {
    Node contentInfo;
    if (int rc = Open(message, DerClass::Universal, kDerTagSequence, 2, true, contentInfo);
        rc != 0) {
        return rc;
    }
    if (!IsOid(contentInfo.children[0], kEnvelopedData)) {
        return kDeliveryMalformed;
    }
    Node content;
    if (int rc = Open(contentInfo.children[1], DerClass::Context, 0, 1, true, content); rc != 0) {
        return rc;
    }
    if (int rc =
            Open(content.children[0], DerClass::Universal, kDerTagSequence, 5, true, enveloped);
        rc != 0) {
        return rc;
    }
    return IntegerEquals(enveloped.children[0], 2) ? 0 : kDeliveryMalformed;
}

int ReadKeyId(const Node& enveloped, Bytes& keyId) {
    Node attributes;
    Node attribute;
    Node values;
    if (int rc = Open(enveloped.children[4], DerClass::Context, 1, 1, false, attributes); rc != 0) {
        return rc;
    }
    if (int rc =
            Open(attributes.children[0], DerClass::Universal, kDerTagSequence, 2, false, attribute);
        rc != 0) {
        return rc;
    }
    if (int rc = Open(attribute.children[1], DerClass::Universal, kDerTagSet, 1, false, values);
        rc != 0) {
        return rc;
    }
    Bytes id;
    if (!PrimitiveValue(values.children[0], kDerTagOctetString, id) ||
        std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; })) {
        return kDeliveryMalformed;
    }
    keyId = std::move(id);
    return 0;
}

}  // namespace

int GetEnvelopeKeyId(const Bytes& message, Bytes& keyId) {
    Node enveloped;
    if (int rc = OpenEnvelopedData(message, enveloped); rc != 0) {
        return rc;
    }
    return ReadKeyId(enveloped, keyId);
}

int OpenEnvelopeWith(const Bytes& message, bool sign, const EnvelopeKeyOperations& token,
                     Bytes& result) {
    Node enveloped;
    Bytes keyId;
    if (int rc = OpenEnvelopedData(message, enveloped); rc != 0) {
        return rc == kToolkitDecodeError ? rc : kDeliveryMalformed;
    }
    if (int rc = ReadKeyId(enveloped, keyId); rc != 0) {
        return rc;
    }

    // The first recipient: version 0, rsaEncryption, the encrypted key.
    Node recipients;
    Node recipient;
    Node keyAlgorithm;
    if (int rc = Open(enveloped.children[2], DerClass::Universal, kDerTagSet, 1, false, recipients);
        rc != 0) {
        return rc;
    }
    if (int rc =
            Open(recipients.children[0], DerClass::Universal, kDerTagSequence, 4, false, recipient);
        rc != 0) {
        return rc;
    }
    if (!IntegerEquals(recipient.children[0], 0)) {
        return kDeliveryMalformed;
    }
    if (int rc = Open(recipient.children[2], DerClass::Universal, kDerTagSequence, 2, true,
                      keyAlgorithm);
        rc != 0) {
        return rc;
    }
    Bytes encryptedKey;
    if (!IsOid(keyAlgorithm.children[0], kRsaEncryption) ||
        !PrimitiveValue(recipient.children[3], kDerTagOctetString, encryptedKey)) {
        return kDeliveryMalformed;
    }

    Bytes contentKey;
    WipeOnExit wipeKey(contentKey);
    if (int rc = token.decrypt(keyId, encryptedKey, contentKey); rc != 0) {
        return rc;
    }
    if (contentKey.size() != kDes3KeySize) {
        return kDeliveryMalformed;
    }

    // The content: data, des-ede3-cbc with its IV, the ciphertext in segments.
    Node contentInfo;
    Node contentAlgorithm;
    Node segments;
    if (int rc = Open(enveloped.children[3], DerClass::Universal, kDerTagSequence, 3, false,
                      contentInfo);
        rc != 0) {
        return rc;
    }
    if (!IsOid(contentInfo.children[0], kData)) {
        return kDeliveryMalformed;
    }
    if (int rc = Open(contentInfo.children[1], DerClass::Universal, kDerTagSequence, 2, false,
                      contentAlgorithm);
        rc != 0) {
        return rc;
    }
    Bytes iv;
    if (!IsOid(contentAlgorithm.children[0], kDesEde3Cbc) ||
        !PrimitiveValue(contentAlgorithm.children[1], kDerTagOctetString, iv) ||
        iv.size() != kDes3IvSize) {
        return kDeliveryMalformed;
    }
    if (int rc = Open(contentInfo.children[2], DerClass::Context, 0, 0, false, segments); rc != 0) {
        return rc;
    }
    SecretBytes ciphertext;
    for (const Bytes& segment : segments.children) {
        DerElement e;
        if (Decode(segment, e) != 0) {
            return kToolkitDecodeError;
        }
        ciphertext.insert(ciphertext.end(), e.value, e.value + e.valueSize);
    }

    Bytes plaintext;
    WipeOnExit wipePlaintext(plaintext);
    if (int rc = ZEL_3DES_Decrypt_Data(ciphertext.data(), ciphertext.size(), contentKey.data(),
                                       iv.data(), plaintext);
        rc != 0) {
        return rc;
    }
    if (!sign) {
        Wipe(result);
        result = plaintext;
        return 0;
    }
    Bytes signature;
    if (int rc = token.sign(keyId, plaintext, signature); rc != 0) {
        return rc;
    }
    Wipe(result);
    result = std::move(signature);
    return 0;
}

}  // namespace qe
